// MMIO2 frame streams of the HIP MMIO frame manager: which byte ranges of the
// user data the WHR, RNR and GDR tiles write, and how they are packed into
// MMIO2 frames with command frames in between.
#include <algorithm>
#include <utility>

#include "korvia_fmt.h"
#include "pb.h"
#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_qv_hipmmio_frame_mgr.h"
#include "varno_sblock.h"
#include "varno_util.h"

const std::map<u32, std::string> VARNO_TILE_TYPE_TO_VARIANT_MAP_LIST = {
    {4, "k3081a"}, {5, "k3092a"}, {6, "k3104a"}, {7, "k3117a"}, {8, "k3117b"}, {9, "k3104b"},
};

namespace {

using SEG_LIST = std::vector<VARNO_MMIO_SEG_INFO>;

// GDR address ranges, half-open byte ranges.
const SEG_LIST GDR_LIST_1 = {{0x200000, 0x20FFFC}};
const SEG_LIST GDR_LIST_2 = {
    {0x2C72000, 0x2C85028}, {0x2D72000, 0x2D85028}, {0x2E72000, 0x2E85028}, {0x2F72000, 0x2F85028}};
const SEG_LIST GDR_LIST_3 = {
    {0x2CF0004, 0x2CF0008}, {0x2DF0004, 0x2DF0008}, {0x2EF0004, 0x2EF0008}, {0x2FF0004, 0x2FF0008}};
const SEG_LIST GDR_LIST_4 = {{0x2AC0004, 0x2AC0008}};
const SEG_LIST GDR_LIST_5 = {{0x2000000, 0x3100000}};
const SEG_LIST GDR_LIST_6 = {{0x2000E4, 0x2000E8}, {0x2000F0, 0x200114}};
const SEG_LIST GDR_LIST_7 = {{0x2C70054, 0x2C7008C}, {0x2D70054, 0x2D7008C},
                             {0x2E70054, 0x2E7008C}, {0x2F70054, 0x2F7008C},
                             {0x3061964, 0x306199C}, {0x30F0400, 0x30F0404}};
const SEG_LIST GDR_LIST_8 = {{0x2C70054, 0x2C7008C}, {0x2D70054, 0x2D7008C},
                             {0x2E70054, 0x2E7008C}, {0x2F70054, 0x2F7008C},
                             {0x306196C, 0x30619AC}, {0x30F0400, 0x30F0404}};

constexpr u32 TILE_GDR = 6;
constexpr u32 TILE_GDR_B = 9;

// Bytes of an MMIO2 frame before its records: the lead word, the two header
// records, the word 1 and the byte count.
constexpr u32 MMIO2_FIXED_BYTES = 12;
constexpr u32 MMIO2_RECORD_BYTES = 8;  // offset and length of one record
constexpr u32 MMIO2_CNT_OP = 6;
constexpr u32 MMIO2_CNT_AREG = 4;
constexpr u32 MAX_DATA_LEN_WORDS = 0x10000;

constexpr u32 CMD_CNOC = 0x2020;
constexpr u32 CMD_CNOC_AREG = 1;
constexpr u32 CMD_INTERRUPT_WAIT = 0x202B;
constexpr u32 GDR_SEPARATOR_ARG = 0x3035;
constexpr u32 CMD_FRAME_BYTES = 12;

constexpr u32 PROGSEQ_SEPARATOR = 0xFFFFFFFFu;

// Frames needed for a range of length bytes at room bytes each; informational.
u32 frames_at(u64 length, u32 room) {
  return room == 0 ? 0 : static_cast<u32>((length + room - 1) / room);
}

}  // namespace

// ---- Sources of ranges ------------------------------------------------------------

u32 VARNO_QV_HIPMMIO_FRAME_MGR::mmio2_room(u32 F) const {
  const i64 room = i64{F} - 20 - m_cnoc_size - m_cnt_size;
  return room > 0 ? static_cast<u32>(room) : 0;
}

void VARNO_QV_HIPMMIO_FRAME_MGR::check_mmio2_frame_size(i64 F) const {
  // The first record of a frame needs at least one data byte, else packing
  // never moves on; a negative size is no size.
  VARNO_ASSERT_MSG(F > i64{m_cnoc_size} + m_cnt_size + 20 && F <= i64{0xFFFFFFFF},
                   "mmio2_frame_size > m_header_bytes + 20");
}

u32 VARNO_QV_HIPMMIO_FRAME_MGR::img_rows(VARNO_DBLOCK* block) {
  const u32 width = block->get_arg_width("IMG_OFFSETS");
  VARNO_ASSERT_MSG(width > 0, "seg_arg_width > 0");
  return block->get_arg_size("IMG_OFFSETS") / width;
}

VARNO_MMIO_SEG_INFO VARNO_QV_HIPMMIO_FRAME_MGR::img_segment(VARNO_DBLOCK* block, u32 row, u32 U,
                                                            u32 F, const char* past_end) const {
  const u32 first_word = block->get_arg_value("IMG_OFFSETS", row, 0);
  const u32 end_word = block->get_arg_value("IMG_OFFSETS", row, 1);
  // A row that ends before it starts would give a length that wraps.
  VARNO_ASSERT_MSG(end_word >= first_word, "seg_end_word >= seg_start_word");
  const u64 start = u64{4} * block->get_arg_value("IMG_OFFSETS", row, 2);
  const u64 end = start + u64{4} * (end_word - first_word);
  VARNO_ASSERT_MSG(end <= U, past_end);
  const u32 room = mmio2_room(F);
  return {static_cast<u32>(start), static_cast<u32>(end), frames_at(end - start, room), room};
}

u32 VARNO_QV_HIPMMIO_FRAME_MGR::create_mmio2_frames(VARNO_DBLOCK* block, const BYTE* data, u32 U,
                                                    u32 F) {
  const u32 rows = img_rows(block);
  u32 count = 0;
  generate_mmio2_in_addr_order(block, data, U, rows, F, count);
  return count;
}

void VARNO_QV_HIPMMIO_FRAME_MGR::generate_mmio2_in_addr_order(VARNO_DBLOCK* block, const BYTE* data,
                                                              u32 U, u32 rows, u32 F, u32& count) {
  SEG_LIST segments;
  segments.reserve(rows);
  // Row order, not sorted: the rows are written in the order the table gives.
  for (u32 r = 0; r < rows; ++r) {
    segments.push_back(img_segment(block, r, U, F, "(seg_size + start_offset) <= user_data_size"));
  }
  group_multiple_mmio2_segment_data(block, data, segments, F, count);
}

bool VARNO_QV_HIPMMIO_FRAME_MGR::compare_start_offset(const VARNO_MMIO_SEG_INFO& a,
                                                      const VARNO_MMIO_SEG_INFO& b) {
  return a.start < b.start;
}

std::vector<VARNO_MMIO_SEG_INFO> VARNO_QV_HIPMMIO_FRAME_MGR::skip_addr_ranges(
    std::vector<VARNO_MMIO_SEG_INFO> ranges, std::vector<VARNO_MMIO_SEG_INFO> skips) {
  u64 excluded = 0;
  for (const VARNO_MMIO_SEG_INFO& skip : skips) {
    SEG_LIST next;
    next.reserve(ranges.size() + 1);
    for (const VARNO_MMIO_SEG_INFO& range : ranges) {
      if (range.start <= skip.start && skip.end <= range.end) {
        next.push_back({range.start, skip.start, 0, 0});
        next.push_back({skip.end, range.end, 0, 0});
        ++excluded;
      } else {
        next.push_back(range);
      }
    }
    ranges = std::move(next);
  }
  VARNO_ASSERT_MSG(excluded == skips.size(),
                   "The number of address range that need to be excluded does not match the "
                   "actual number of address range that has been excluded.");
  std::stable_sort(ranges.begin(), ranges.end(), compare_start_offset);
  return ranges;
}

void VARNO_QV_HIPMMIO_FRAME_MGR::generate_mmio2_frames_from_addr_range(
    VARNO_DBLOCK* block, std::vector<VARNO_MMIO_SEG_INFO> ranges, const BYTE* data, u32 U, u32 rows,
    u32 F, u32& count) {
  const u32 room = mmio2_room(F);
  SEG_LIST segments;
  bool segments_read = false;
  SEG_LIST pieces;
  for (const VARNO_MMIO_SEG_INFO& range : ranges) {
    const u32 s = range.start;
    const u32 e = range.end;
    VARNO_ASSERT_MSG(s <= e, "end_addr >= addr.start_offset");
    VARNO_ASSERT_MSG(s < U, "addr.start_offset < user_data_size");
    VARNO_ASSERT_MSG(e <= U, "end_addr <= user_data_size");
    if (!segments_read) {
      for (u32 r = 0; r < rows; ++r) {
        segments.push_back(img_segment(block, r, U, F, "valid_end_offset <= user_data_size"));
      }
      segments_read = true;
    }
    // Every row is matched against every range, in row order: a walk that
    // resumed at the row where the previous range ended would miss the rows
    // of a range that lies before it, and leave that range unwritten.
    // The range's first piece comes from the first row that holds its start
    // or begins inside it, and may be empty: an empty range, or a row without
    // words. Later rows add only the bytes they share with the range.
    bool first_piece_found = false;
    for (const VARNO_MMIO_SEG_INFO& segment : segments) {
      const u32 g = segment.start;
      const u32 h = segment.end;
      const u32 lo = std::max(s, g);
      const u32 hi = std::min(e, h);
      if (!first_piece_found) {
        const bool holds_start = g <= s && s < h;
        const bool begins_inside = s < g && g < e;
        if (!holds_start && !begins_inside) continue;
        first_piece_found = true;
      } else if (lo >= hi) {
        continue;
      }
      pieces.push_back({lo, hi, frames_at(hi - lo, room), room});
    }
  }
  group_multiple_mmio2_segment_data(block, data, pieces, F, count);
}

u32 VARNO_QV_HIPMMIO_FRAME_MGR::create_gdr_mmio2_frames(VARNO_DBLOCK* block, const BYTE* data,
                                                        u32 U, u32 F) {
  const SEG_LIST A = skip_addr_ranges(GDR_LIST_1, GDR_LIST_6);
  SEG_LIST B = skip_addr_ranges(GDR_LIST_5, GDR_LIST_4);
  const u32 tile = block->get_arg_value("IMG_OFFSETS", 0, 3);
  B = skip_addr_ranges(B, tile == TILE_GDR_B ? GDR_LIST_8 : GDR_LIST_7);
  const SEG_LIST D = skip_addr_ranges(B, GDR_LIST_2);
  const SEG_LIST E = skip_addr_ranges(D, GDR_LIST_3);

  const u32 rows = img_rows(block);
  u32 count = 0;
  generate_mmio2_frames_from_addr_range(block, A, data, U, rows, F, count);
  generate_mmio2_frames_from_addr_range(block, GDR_LIST_2, data, U, rows, F, count);
  generate_mmio2_frames_from_addr_range(block, GDR_LIST_3, data, U, rows, F, count);
  generate_mmio2_frames_from_addr_range(block, GDR_LIST_4, data, U, rows, F, count);
  generate_fw_cnoc_cmd_msg_frames(block, CMD_CNOC, GDR_SEPARATOR_ARG);
  generate_mmio2_frames_from_addr_range(block, E, data, U, rows, F, count);
  return count;
}

u32 VARNO_QV_HIPMMIO_FRAME_MGR::create_mmio2_frames_frm_progseq(VARNO_DBLOCK* block,
                                                                const BYTE* data, u32 U, u32 F) {
  const u32 tile = block->get_arg_value("IMG_OFFSETS", 0, 3);
  const auto variant = VARNO_TILE_TYPE_TO_VARIANT_MAP_LIST.find(tile);
  VARNO_ASSERT_MSG(variant != VARNO_TILE_TYPE_TO_VARIANT_MAP_LIST.end(),
                   "tile type has a variant code");
  const bool gdr = tile == TILE_GDR || tile == TILE_GDR_B;
  const PB::BLOCKS_PROGRAMMING_SEQUENCE* seq = m_programming_seq;
  VARNO_ASSERT_MSG(seq != nullptr, "m_programming_seq != nullptr");
  const u32 room = mmio2_room(F);

  SEG_LIST list;
  u32 count = 0;
  for (const PB::PROGRAMMING_SECTION& section : seq->sections()) {
    if (section.name() != variant->second) continue;
    VARNO_ASSERT_MSG(
        section.block_sections_size() == 1 && section.block_sections(0).type() == "MMIO",
        "Fail to locate the expected programming sequence for MMIO");
    const PB::BLOCK_SECTION& mmio = section.block_sections(0);
    msg_vdebug_impl(2, "Block Section Type : %s", mmio.type().c_str());
    for (const PB::REGISTER_RANGE& range : mmio.register_ranges()) {
      const u32 o = range.offset();
      const u32 l = range.length();
      if (gdr && o == PROGSEQ_SEPARATOR && l == PROGSEQ_SEPARATOR) {
        group_multiple_mmio2_segment_data(block, data, list, F, count);
        generate_fw_cnoc_cmd_msg_frames(block, CMD_CNOC, GDR_SEPARATOR_ARG);
        list.clear();
        continue;
      }
      // In 64 bits: a large offset or length must not wrap past the check.
      const u64 end = (u64{o} + l) * 4;
      VARNO_ASSERT_MSG(end <= U, "(seg_size + start_offset) <= user_data_size");
      list.push_back({o * 4, static_cast<u32>(end), frames_at(u64{4} * l, room), room});
    }
  }
  group_multiple_mmio2_segment_data(block, data, list, F, count);
  return count;
}

// ---- Packing and frames -------------------------------------------------------------

void VARNO_QV_HIPMMIO_FRAME_MGR::group_multiple_mmio2_segment_data(
    VARNO_DBLOCK* block, const BYTE* data, std::vector<VARNO_MMIO_SEG_INFO>& segments, u32 F,
    u32& count) {
  if (segments.empty()) return;
  check_mmio2_frame_size(F);
  size_t next = 0;  // first segment still in the list
  while (next < segments.size()) {
    // F > headers + 20, so used stays below F - 8 until a record is added
    // and every record takes at least one byte of a non-empty segment.
    u32 used = m_cnoc_size + m_cnt_size + MMIO2_FIXED_BYTES;
    SEG_LIST pieces;
    for (;;) {
      VARNO_MMIO_SEG_INFO& segment = segments[next];
      used += MMIO2_RECORD_BYTES;
      const u32 room = F - used;
      if (room < segment.end - segment.start) {
        pieces.push_back({segment.start, segment.start + room, 0, 0});
        segment.start += room;
      } else {
        pieces.push_back({segment.start, segment.end, 0, 0});
        ++next;
      }
      used += pieces.back().end - pieces.back().start;
      if (m_single_segment || F - 8 <= used || next == segments.size()) break;
    }
    generate_mmio2_frames(block, data, std::move(pieces), count, used);
    if (m_interrupt_wait) generate_fw_cnoc_cmd_msg_frames(block, CMD_INTERRUPT_WAIT, 0xFFFFFFFFu);
  }
  segments.clear();
}

void VARNO_QV_HIPMMIO_FRAME_MGR::generate_mmio2_frames(VARNO_DBLOCK* block, const BYTE* data,
                                                       std::vector<VARNO_MMIO_SEG_INFO> pieces,
                                                       u32& count, u32 bytes) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  // data is the block's user data: every piece must lie inside it.
  const u64 user_bytes = (block->get_user_data_size(VARNO_BLOCK_DATA_HIP_MMIO) + 7) / 8;
  u64 needed = u64{m_cnoc_size} + m_cnt_size + MMIO2_FIXED_BYTES;
  for (const VARNO_MMIO_SEG_INFO& piece : pieces) {
    VARNO_ASSERT_MSG(piece.start <= piece.end && piece.end <= user_bytes,
                     "piece.end <= user_data_size");
    needed += MMIO2_RECORD_BYTES + (piece.end - piece.start);
  }
  // The records must fill the frame exactly: no write past its end, no
  // stale gap.
  VARNO_ASSERT_MSG(needed == bytes, "mmio2_frame_bytes == records_bytes");
  const u32 data_len_words = (bytes - 4) / 4;
  VARNO_ASSERT_MSG(data_len_words < MAX_DATA_LEN_WORDS, "data_len_words < 0x10000");

  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, bytes, true);
  BYTE* dst = segment->data();
  frame->add_frame_segment(segment.release());

  VARNO_UTIL::write_dword_safely(((count + 1) & 0xFFu) | (data_len_words << 8), dst);
  VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, 0, 0, 0, 0, dst + 4);
  VARNO_UTIL::WriteCntBlock(m_cnt_blk, MMIO2_CNT_OP, 0, MMIO2_CNT_AREG, 0, 0,
                            dst + 4 + m_cnoc_size);
  const u32 records = m_cnoc_size + m_cnt_size;
  VARNO_UTIL::write_dword_safely(1, dst + 4 + records);
  VARNO_UTIL::write_dword_safely(bytes - 4 - records, dst + 8 + records);
  u64 at = 12 + u64{records};
  for (const VARNO_MMIO_SEG_INFO& piece : pieces) {
    const u32 length = piece.end - piece.start;
    VARNO_UTIL::write_dword_safely(piece.start, dst + at);
    VARNO_UTIL::write_dword_safely(length, dst + at + 4);
    if (length > 0) std::copy_n(data + piece.start, length, dst + at + 8);
    at += MMIO2_RECORD_BYTES + length;
  }
  append_frame(block, std::move(frame));
  ++count;
}

void VARNO_QV_HIPMMIO_FRAME_MGR::generate_fw_cnoc_cmd_msg_frames(VARNO_DBLOCK* block, u32 command,
                                                                 u32 argument) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const u32 records = m_cnoc_size + m_cnt_size;
  const u32 bytes = command == CMD_CNOC ? CMD_FRAME_BYTES + records : CMD_FRAME_BYTES;
  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, bytes, true);
  BYTE* dst = segment->data();
  frame->add_frame_segment(segment.release());
  VARNO_UTIL::write_dword_safely(command, dst);
  if (command == CMD_CNOC) {
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, 0, 0, 0, 0, dst + 4);
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, MMIO2_CNT_OP, 0, CMD_CNOC_AREG, 0, 0,
                              dst + 4 + m_cnoc_size);
    VARNO_UTIL::write_dword_safely(argument, dst + 4 + records);
    VARNO_UTIL::write_dword_safely(1, dst + 8 + records);
  }
  // Group assembly gives command frames their own compressed-frame header.
  frame->m_command_flag = true;
  frame->m_second_command_flag = true;
  append_frame(block, std::move(frame));
}
