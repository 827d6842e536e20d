#include "varno_qv_hipmmio_frame_mgr.h"

#include <utility>

#include "cfg.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "varno_util.h"

namespace {

// Framing modes, word 6 of the frame descriptor; any other value frames
// address/data pairs.
constexpr u32 MODE_MORLU3 = 1;
constexpr u32 MODE_RAW_COMMAND = 2;

// Tile types, field 3 of "IMG_OFFSETS" row 0.
constexpr u32 TILE_WHR = 5;
constexpr u32 TILE_GDR = 6;
constexpr u32 TILE_RNR = 7;
constexpr u32 TILE_RNR_B = 8;
constexpr u32 TILE_GDR_B = 9;

// MORLU3 channel mode cuts whole 2 KiB pages.
constexpr u64 MORLU3_PAGE_MASK = ~u64{2047};
constexpr u32 MORLU3_MAX_CH_COUNT = 34;
constexpr u32 MORLU3_HEADER_BYTES = 48;
// Channel = frame number: 24 channels of type 0, 4 of type 1, 6 of type 2.
constexpr u32 morlu3_channel_type[MORLU3_MAX_CH_COUNT] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // channels 0-23
    1, 1, 1, 1,                                                              // channels 24-27
    2, 2, 2, 2, 2, 2,                                                        // channels 28-33
};
constexpr u32 morlu3_channel_map[MORLU3_MAX_CH_COUNT] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,  // channels 0-11
    12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,  // channels 12-23
    0,  1,  2,  3,                                   // channels 24-27
    0,  1,  2,  3,  4,  5,                           // channels 28-33
};

constexpr u32 RAW_COMMAND_WORD = 0x2020;
constexpr u32 RAW_COMMAND_TRAILER_WORD = 0x3300;
constexpr u32 OUTER_CNT_OP = 3;
constexpr u32 INNER_CNT_OP = 6;
constexpr u32 INNER_CNT_OP_FULL = 4;  // address/data mode, full frame
constexpr u32 AREG_MORLU3 = 4;
constexpr u32 AREG_RAW_COMMAND = 1;
constexpr u32 AREG_ADDR_DATA = 5;
// Address/data buffer: four header words, then (address, data) pairs.
constexpr u64 ADDR_DATA_HEADER_BYTES = 16;
constexpr u32 TRAILER_BYTES = 16;

}  // namespace

VARNO_QV_HIPMMIO_FRAME_MGR::VARNO_QV_HIPMMIO_FRAME_MGR() : VARNO_QV_FRAME_MGR_BASE(NULLPTR_TEXTS) {}

VARNO_QV_HIPMMIO_FRAME_MGR::~VARNO_QV_HIPMMIO_FRAME_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_HIPMMIO_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  VARNO_GEN* gen = generator_of(block);
  find_sector(gen);
  fetch_cnoc_cnt(array_generator(), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
  const u64 frame_size = u64{4} * descriptor_word(block, 2);
  VARNO_ASSERT_MSG(frame_size <= 0xFFFFFFFFu, "m_frame_size <= 0xFFFFFFFF");
  m_frame_size = static_cast<u32>(frame_size);
  return true;
}

// ---- Frame building -------------------------------------------------------------

bool VARNO_QV_HIPMMIO_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  // Registers are whole 32-bit words.
  const u64 bits = block->get_user_data_size(VARNO_BLOCK_DATA_HIP_MMIO);
  VARNO_ASSERT_MSG(bits % 32 == 0, "Mismatch in user data size");
  block->clear_frames();
  if (block->get_user_data(VARNO_BLOCK_DATA_HIP_MMIO) == nullptr) return true;
  return create_partial_frames(block, config, 0, 0);
}

bool VARNO_QV_HIPMMIO_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block,
                                                       VARNO_BLOCK_CONFIG* config, u32, u32) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const BYTE* data = block->get_user_data(VARNO_BLOCK_DATA_HIP_MMIO);
  if (data == nullptr) return true;
  generator_of(block);
  const bool hdrs = headers(block);
  // A buffer left by a build that failed belongs to no build now.
  m_addr_data.reset();
  m_data_size = 0;

  const u64 bits = block->get_user_data_size(VARNO_BLOCK_DATA_HIP_MMIO);
  // A partial build comes here without create_frames: a short last word
  // would put the address/data pairs past their buffer and the last word
  // past the user data.
  VARNO_ASSERT_MSG(bits % 32 == 0, "Mismatch in user data size");
  const u64 user_bytes = (bits + 7) / 8;
  const u64 user_words = (bits + 31) / 32;
  VARNO_ASSERT_MSG(user_bytes <= 0xFFFFFFFFu, "user_data_size <= 0xFFFFFFFF");

  // In 64 bits: an end register below the first would wrap to a huge count.
  const i64 regs = i64{block->get_arg_value("IMG_OFFSETS", 0, 1)} -
                   i64{block->get_arg_value("IMG_OFFSETS", 0, 0)} + 1;
  VARNO_ASSERT_MSG(regs >= 0 && static_cast<u64>(regs) <= user_words,
                   "config_regs_cnt <= user_data_wrds");

  const u32 mode = descriptor_word(block, 6);
  const u32 tile = block->get_arg_value("IMG_OFFSETS", 0, 3);
  m_programming_seq = block->m_programming_seq;
  const u32 U = static_cast<u32>(user_bytes);

  // Every run sets the flags it uses; nothing carries over from a run of
  // another path.
  m_single_segment = false;
  m_interrupt_wait = false;

  u32 n = 0;
  if (tile == TILE_WHR || tile == TILE_RNR || tile == TILE_RNR_B) {
    m_single_segment = cfg_is_on("varno_mmio_single_segment", false);
    u32 F = 0;
    if (tile == TILE_WHR) {
      F = mmio2_frame_size("varno_whr_mmio2_frame_size");
    } else {
      F = mmio2_frame_size("varno_rnr_mmio2_frame_size");
      m_interrupt_wait = cfg_is_on("varno_enable_rnr_mmio2_interrupt_wait", true);
    }
    n = m_programming_seq != nullptr ? create_mmio2_frames_frm_progseq(block, data, U, F)
                                     : create_mmio2_frames(block, data, U, F);
  } else if (tile == TILE_GDR || tile == TILE_GDR_B) {
    m_interrupt_wait = cfg_is_on("varno_enable_gdr_mmio2_interrupt_wait", true);
    m_single_segment = cfg_is_on("varno_mmio_single_segment", false) ||
                       cfg_is_on("varno_gdr_mmio_single_segment", false);
    const u32 F = mmio2_frame_size("varno_gdr_mmio2_frame_size");
    if (m_programming_seq != nullptr && cfg_is_on("varno_gdr_mmio2_frm_prog_seq", true)) {
      n = create_mmio2_frames_frm_progseq(block, data, U, F);
    } else {
      n = create_gdr_mmio2_frames(block, data, U, F);
    }
  } else {
    n = create_plain_frames(block, config, hdrs, mode, user_bytes, static_cast<u32>(regs));
  }

  msg_vdebug_impl(2, "Total number of mmio2 frames generated : %d", n);

  if (mode != MODE_RAW_COMMAND) {
    auto frame = std::make_unique<VARNO_FRAME>();
    auto segment =
        std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, TRAILER_BYTES, true);
    VARNO_UTIL::write_dword_safely((n + 1) & 0xFFu, segment->data());
    frame->add_frame_segment(segment.release());
    append_frame(block, std::move(frame));
  }
  m_addr_data.reset();
  return true;
}

u32 VARNO_QV_HIPMMIO_FRAME_MGR::mmio2_frame_size(const char* key) const {
  const i64 F = cfg_get_int_value(key, static_cast<int>(m_frame_size));
  check_mmio2_frame_size(F);
  return static_cast<u32>(F);
}

u32 VARNO_QV_HIPMMIO_FRAME_MGR::create_plain_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                    bool headers, u32 mode, u64 user_bytes,
                                                    u32 regs) {
  // A frame of no bytes would never cover the data.
  VARNO_ASSERT_MSG(m_frame_size > 0, "m_frame_size > 0");
  const BYTE* data = block->get_user_data(VARNO_BLOCK_DATA_HIP_MMIO);

  if (mode == MODE_MORLU3) {
    m_data_size = user_bytes & MORLU3_PAGE_MASK;
  } else if (mode == MODE_RAW_COMMAND) {
    m_data_size = user_bytes;
  } else {
    m_data_size = 2 * user_bytes + ADDR_DATA_HEADER_BYTES;
    VARNO_ASSERT_MSG(m_data_size <= 0xFFFFFFFFu, "m_data_size <= 0xFFFFFFFF");
    m_addr_data = std::make_unique<BYTE[]>(m_data_size);  // zero-filled
    BYTE* buffer = m_addr_data.get();
    VARNO_UTIL::write_dword_safely(regs, buffer);
    const u32 base = block->get_arg_value("IMG_OFFSETS", 0, 2);
    // regs <= user words, so the pairs fit in the buffer and every data word
    // lies inside the user data.
    for (u32 k = 0; k < regs; ++k) {
      BYTE* pair = buffer + ADDR_DATA_HEADER_BYTES + u64{8} * k;
      VARNO_UTIL::write_dword_safely((base + k) * 4, pair);
      VARNO_UTIL::write_dword_safely(VARNO_UTIL::get_dword_from_address(data + u64{4} * k),
                                     pair + 4);
    }
  }

  const u64 count = (m_data_size + m_frame_size - 1) / m_frame_size;
  for (u64 frame_no = 0; frame_no < count; ++frame_no) {
    std::unique_ptr<VARNO_FRAME> frame =
        create_frame(block, config, static_cast<u32>(frame_no), headers);
    if (frame != nullptr) append_frame(block, std::move(frame));
  }
  return static_cast<u32>(count);
}

std::unique_ptr<VARNO_FRAME> VARNO_QV_HIPMMIO_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                      VARNO_BLOCK_CONFIG*,
                                                                      u32 frame_no, bool headers) {
  const BYTE* user = block->get_user_data(VARNO_BLOCK_DATA_HIP_MMIO);
  if (user == nullptr) return nullptr;
  const u32 mode = descriptor_word(block, 6);
  const bool addr_data = mode != MODE_MORLU3 && mode != MODE_RAW_COMMAND;
  const BYTE* source = addr_data ? m_addr_data.get() : user;
  VARNO_ASSERT_MSG(source != nullptr, "m_addr_data != nullptr");
  const u32 fs = m_frame_size;
  VARNO_ASSERT_MSG(fs > 0, "m_frame_size > 0");

  // The frame must start inside the data this build frames.
  const u64 from = u64{frame_no} * fs;
  VARNO_ASSERT_MSG(from < m_data_size, "frame_no * m_frame_size < m_data_size");
  const bool short_frame = from + fs > m_data_size;
  const u32 P = short_frame ? static_cast<u32>(m_data_size % fs) : fs;

  const u64 records = u64{m_cnoc_size} + m_cnt_size;
  const u64 mode_bytes = mode == MODE_MORLU3 ? 52 : (mode == MODE_RAW_COMMAND ? 8 : 4);
  const u64 S = (headers ? records : 0) + records + P + mode_bytes;
  VARNO_ASSERT_MSG(S <= 0xFFFFFFFFu, "segment_size <= 0xFFFFFFFF");

  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment =
      std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, static_cast<u32>(S), true);
  BYTE* dst = segment->data();
  frame->add_frame_segment(segment.release());

  u64 o = 0;
  if (headers) {
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, static_cast<u32>(S), 0, sector_x(), sector_y(), dst);
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, OUTER_CNT_OP, (fs + 3) / 4, 0, 0, 0, dst + m_cnoc_size);
    o = records;
  }

  if (mode == MODE_RAW_COMMAND) {
    VARNO_UTIL::write_dword_safely(RAW_COMMAND_WORD, dst + o);
  } else {
    // Counts the inner records and the payload in words, without the MORLU3
    // header; the sequence byte wraps at 256.
    const u32 lead = static_cast<u32>(((records + P) / 4) << 8) | ((frame_no + 1) & 0xFFu);
    VARNO_UTIL::write_dword_safely(lead, dst + o);
  }
  VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, 0, 0, 0, 0, dst + o + 4);
  BYTE* cnt = dst + o + 4 + m_cnoc_size;
  if (mode == MODE_MORLU3) {
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, INNER_CNT_OP, P, AREG_MORLU3, 0, 0, cnt);
  } else if (mode == MODE_RAW_COMMAND) {
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, INNER_CNT_OP, 0, AREG_RAW_COMMAND, frame_no * fs, 0, cnt);
  } else {
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, short_frame ? INNER_CNT_OP : INNER_CNT_OP_FULL, P,
                              AREG_ADDR_DATA, frame_no * fs, 0, cnt);
  }

  BYTE* after = dst + o + 4 + records;
  const u32 mode_header = insert_morlu3_headers(block, after, frame_no, static_cast<u32>(S));
  VARNO_ASSERT_MSG(u64{P} * 8 <= 0xFFFFFFFFu, "payload_bits <= 0xFFFFFFFF");
  VARNO_UTIL::bit_copy(source + from, 0, after + mode_header, 0, P * 8, true);
  return frame;
}

u32 VARNO_QV_HIPMMIO_FRAME_MGR::insert_morlu3_headers(VARNO_DBLOCK* block, BYTE* dest, u32 frame_no,
                                                      u32 segment_size) {
  const u32 mode = descriptor_word(block, 6);
  if (mode == MODE_MORLU3) {
    VARNO_ASSERT_MSG(frame_no < MORLU3_MAX_CH_COUNT, "frame_no < MORLU3_MAX_CH_COUNT");
    VARNO_UTIL::write_dword_safely(1, dest);
    VARNO_UTIL::write_dword_safely(segment_size, dest + 4);
    VARNO_UTIL::write_dword_safely(1, dest + 8);
    VARNO_UTIL::write_dword_safely(1, dest + 32);
    VARNO_UTIL::write_dword_safely(
        (morlu3_channel_type[frame_no] << 24) | (1u << morlu3_channel_map[frame_no]), dest + 36);
    VARNO_UTIL::write_dword_safely(m_frame_size, dest + 40);
    return MORLU3_HEADER_BYTES;
  }
  if (mode == MODE_RAW_COMMAND) {
    VARNO_UTIL::write_dword_safely(RAW_COMMAND_TRAILER_WORD, dest);
    return 4;
  }
  return 0;
}
