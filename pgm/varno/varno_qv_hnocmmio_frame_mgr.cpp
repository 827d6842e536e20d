#include "varno_qv_hnocmmio_frame_mgr.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "cfg.h"
#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_util.h"

namespace {

// The instance of grid row 1 has id 0; every other row is served by id 1.
constexpr u32 HNOC_ROW_OF_ID0 = 1;
constexpr u32 FIELD_FIRST_WORD = 0;
constexpr u32 FIELD_END_WORD = 1;
constexpr u32 FIELD_WORD_OFFSET = 2;
constexpr u32 FIELD_ADDRESS = 4;
constexpr u32 FIELD_ID = 5;
// A frame opens with the word 1 and its byte count.
constexpr u32 HNOC_FRAME_HEADER_BYTES = 8;
constexpr u32 HNOC_RECORD_BYTES = 8;  // address and length of one record

}  // namespace

VARNO_QV_HNOCMMIO_FRAME_MGR::VARNO_QV_HNOCMMIO_FRAME_MGR()
    : VARNO_QV_FRAME_MGR_BASE(NULLPTR_TEXTS) {}

VARNO_QV_HNOCMMIO_FRAME_MGR::~VARNO_QV_HNOCMMIO_FRAME_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_HNOCMMIO_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  VARNO_GEN* gen = generator_of(block);
  find_sector(gen);
  // The frames carry no CNOC or CNT record, but the sector must have them.
  fetch_cnoc_cnt(array_generator(), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
  const u64 frame_size = u64{4} * descriptor_word(block, 2);
  VARNO_ASSERT_MSG(frame_size <= 0xFFFFFFFFu, "m_frame_size <= 0xFFFFFFFF");
  m_frame_size = static_cast<u32>(frame_size);
  return true;
}

u32 VARNO_QV_HNOCMMIO_FRAME_MGR::sector_grid_row() const {
  VARNO_EBLOCK* eblock = sector_array();
  VARNO_MBLOCK* meta = meta_block();
  VARNO_ASSERT_MSG(eblock != nullptr && meta != nullptr, "m_meta_block != nullptr");
  // The meta block's own x and y hold the sector's CNOC address once it is
  // loaded; the grid position is where the array keeps it.
  for (u32 y = 0; y < eblock->y_sector_count(); ++y) {
    for (u32 x = 0; x < eblock->x_sector_count(); ++x) {
      if (eblock->get_sector(x, y) == meta) return y;
    }
  }
  VARNO_INTERNAL_ERROR("Sector not found in its sector array");
}

// ---- Frame building -------------------------------------------------------------

bool VARNO_QV_HNOCMMIO_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  // Registers are whole 32-bit words.
  const u64 bits = block->get_user_data_size(VARNO_BLOCK_DATA_HNOC_MMIO);
  VARNO_ASSERT_MSG(bits % 32 == 0, "Mismatch in user data size");
  block->clear_frames();
  if (block->get_user_data(VARNO_BLOCK_DATA_HNOC_MMIO) == nullptr) return true;
  return create_partial_frames(block, config, 0, 0);
}

bool VARNO_QV_HNOCMMIO_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*,
                                                        u32, u32) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const BYTE* data = block->get_user_data(VARNO_BLOCK_DATA_HNOC_MMIO);
  if (data == nullptr) return true;
  generator_of(block);
  const u64 user_bytes = (block->get_user_data_size(VARNO_BLOCK_DATA_HNOC_MMIO) + 7) / 8;
  VARNO_ASSERT_MSG(user_bytes <= 0xFFFFFFFFu, "user_data_size <= 0xFFFFFFFF");
  const u32 U = static_cast<u32>(user_bytes);
  const u32 F = m_frame_size;
  const u32 id = sector_grid_row() == HNOC_ROW_OF_ID0 ? 0 : 1;

  u32 count = 0;
  u32 first = 0;
  get_hnoc_seg_info(block, id, count, first);
  u32 frames = 0;
  generate_mmio2_in_addr_order(block, data, U, count, first, F, frames);
  msg_vdebug_impl(2, "Total number of mmio2 frames generated : %d", frames);
  return true;
}

void VARNO_QV_HNOCMMIO_FRAME_MGR::get_hnoc_seg_info(VARNO_DBLOCK* block, u32 id, u32& count,
                                                    u32& first) {
  const u32 width = block->get_arg_width("IMG_OFFSETS");
  VARNO_ASSERT_MSG(width > 0, "seg_arg_width > 0");
  const u32 rows = block->get_arg_size("IMG_OFFSETS") / width;
  count = 0;
  first = 0;
  for (u32 r = 0; r < rows; ++r) {
    if (block->get_arg_value("IMG_OFFSETS", r, FIELD_ID) != id) continue;
    if (count == 0) first = r;
    ++count;
  }
}

void VARNO_QV_HNOCMMIO_FRAME_MGR::generate_mmio2_in_addr_order(VARNO_DBLOCK* block,
                                                               const BYTE* data, u32 U, u32 count,
                                                               u32 first, u32 F, u32& frames) {
  if (count == 0) return;
  const u32 width = block->get_arg_width("IMG_OFFSETS");
  VARNO_ASSERT_MSG(width > 0, "seg_arg_width > 0");
  const u32 rows = block->get_arg_size("IMG_OFFSETS") / width;
  const u32 id = block->get_arg_value("IMG_OFFSETS", first, FIELD_ID);
  // Informational; a frame too small for any data needs no count.
  const i64 payload_bytes = i64{F} - 20 - m_cnoc_size - m_cnt_size;
  const u32 payload = payload_bytes > 0 ? static_cast<u32>(payload_bytes) : 0;

  // The count rows of the id, in row order. Rows of other ids between them
  // are passed over: taking first .. first + count - 1 as one run would write
  // another instance's rows and drop rows of this one.
  std::vector<VARNO_HNOC_MMIO_SEG_INFO> segments;
  for (u32 r = first; r < rows && segments.size() < count; ++r) {
    if (block->get_arg_value("IMG_OFFSETS", r, FIELD_ID) != id) continue;
    const u32 first_word = block->get_arg_value("IMG_OFFSETS", r, FIELD_FIRST_WORD);
    const u32 end_word = block->get_arg_value("IMG_OFFSETS", r, FIELD_END_WORD);
    VARNO_ASSERT_MSG(end_word >= first_word, "seg_end_word >= seg_start_word");
    // In 64 bits: a large word offset must not wrap past the check.
    const u64 start =
        (u64{first_word} + block->get_arg_value("IMG_OFFSETS", r, FIELD_WORD_OFFSET)) * 4;
    const u64 end = start + u64{4} * (end_word - first_word);
    VARNO_ASSERT_MSG(end <= U, "(seg_size + start_offset) <= user_data_size");
    const u32 frames_needed =
        payload == 0 ? 0 : static_cast<u32>((end - start + payload - 1) / payload);
    segments.push_back({static_cast<u32>(start), static_cast<u32>(end), frames_needed, payload,
                        block->get_arg_value("IMG_OFFSETS", r, FIELD_ADDRESS)});
  }
  VARNO_ASSERT_MSG(segments.size() == count, "hnoc_seg_count == count");
  group_multiple_mmio2_segment_data(block, data, segments, F, frames);
}

void VARNO_QV_HNOCMMIO_FRAME_MGR::group_multiple_mmio2_segment_data(
    VARNO_DBLOCK* block, const BYTE* data, std::vector<VARNO_HNOC_MMIO_SEG_INFO>& segments, u32 F,
    u32& frames) {
  if (segments.empty()) return;
  // The first record of a frame needs at least one data byte, else packing
  // never moves on.
  VARNO_ASSERT_MSG(F > HNOC_FRAME_HEADER_BYTES + HNOC_RECORD_BYTES, "mmio2_frame_size > 16");
  const bool single = cfg_is_on("varno_mmio_single_segment", false);
  size_t next = 0;
  while (next < segments.size()) {
    u32 used = HNOC_FRAME_HEADER_BYTES;
    std::vector<VARNO_HNOC_MMIO_SEG_INFO> pieces;
    for (;;) {
      VARNO_HNOC_MMIO_SEG_INFO& segment = segments[next];
      used += HNOC_RECORD_BYTES;
      const u32 room = F - used;
      if (room < segment.end - segment.start) {
        pieces.push_back({segment.start, segment.start + room, 0, 0, segment.addr});
        segment.start += room;
        segment.addr += room;
      } else {
        pieces.push_back({segment.start, segment.end, 0, 0, segment.addr});
        ++next;
      }
      used += pieces.back().end - pieces.back().start;
      if (single || F - 8 <= used || next == segments.size()) break;
    }
    generate_mmio2_frames(block, data, std::move(pieces), frames, used);
  }
  segments.clear();
}

void VARNO_QV_HNOCMMIO_FRAME_MGR::generate_mmio2_frames(
    VARNO_DBLOCK* block, const BYTE* data, std::vector<VARNO_HNOC_MMIO_SEG_INFO> pieces,
    u32& frames, u32 bytes) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  // data is the block's user data: every piece must lie inside it, and the
  // records must fill the frame exactly.
  const u64 user_bytes = (block->get_user_data_size(VARNO_BLOCK_DATA_HNOC_MMIO) + 7) / 8;
  u64 needed = HNOC_FRAME_HEADER_BYTES;
  for (const VARNO_HNOC_MMIO_SEG_INFO& piece : pieces) {
    VARNO_ASSERT_MSG(piece.start <= piece.end && piece.end <= user_bytes,
                     "piece.end <= user_data_size");
    needed += HNOC_RECORD_BYTES + (piece.end - piece.start);
  }
  VARNO_ASSERT_MSG(needed == bytes, "mmio2_frame_bytes == records_bytes");

  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, bytes, true);
  BYTE* dst = segment->data();
  frame->add_frame_segment(segment.release());
  VARNO_UTIL::write_dword_safely(1, dst);
  VARNO_UTIL::write_dword_safely(bytes, dst + 4);
  u64 at = HNOC_FRAME_HEADER_BYTES;
  for (const VARNO_HNOC_MMIO_SEG_INFO& piece : pieces) {
    const u32 length = piece.end - piece.start;
    VARNO_UTIL::write_dword_safely(piece.addr, dst + at);
    VARNO_UTIL::write_dword_safely(length, dst + at + 4);
    if (length > 0) std::copy_n(data + piece.start, length, dst + at + 8);
    at += HNOC_RECORD_BYTES + length;
  }
  append_frame(block, std::move(frame));
  ++frames;
}
