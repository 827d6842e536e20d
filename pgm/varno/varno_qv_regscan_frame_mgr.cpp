#include "varno_qv_regscan_frame_mgr.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"

namespace {

// CNT record values of the two modes.
constexpr u32 REGSCAN_WRITE_OP = 3;
constexpr u32 REGSCAN_AREG = 0;
constexpr u32 REGSCAN_OFFSET = 0x21000;
constexpr u32 REGSCAN_31BIT_WRITE_OP = 5;
constexpr u32 REGSCAN_31BIT_AREG = 4;
constexpr u32 REGSCAN_31BIT_OFFSET = 0;
// The marker dword and the zero dword that close a 31-bit chain.
constexpr u32 REGSCAN_31BIT_TRAILER_BYTES = 8;

constexpr VARNO_BLOCK_DATA_TYPE SLOT = VARNO_BLOCK_DATA_REGSCAN;

// In 64 bits: a length near 2^32 bits must not wrap to a few bytes.
u64 user_bytes(VARNO_DBLOCK* block) { return (block->get_user_data_size(SLOT) + 7) / 8; }

}  // namespace

VARNO_QV_REGSCAN_FRAME_MGR::VARNO_QV_REGSCAN_FRAME_MGR() : VARNO_QV_FRAME_MGR_BASE(NULL_TEXTS) {}

VARNO_QV_REGSCAN_FRAME_MGR::~VARNO_QV_REGSCAN_FRAME_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_REGSCAN_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  VARNO_GEN* gen = generator_of(block);
  // The CNOC records carry the sector's address.
  find_sector(gen);

  // 1, 2. Header blocks of the sector itself.
  fetch_cnoc_cnt(gen, "m_cnt_blk != NULL && m_cnoc_blk != NULL");

  // 3. Core frame size: descriptor word 2, a byte count here.
  m_core_frame_size = descriptor_word(block, 2);
  VARNO_ASSERT(m_core_frame_size > 0);
  return true;
}

bool VARNO_QV_REGSCAN_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  const u64 bytes = user_bytes(block);
  if (bytes == 0) return true;
  if (block->m_custom_frame_sizes.empty() && m_core_frame_size != REGSCAN_CORE_FRAME_SIZE) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Mismatch in core frame size: m_core_frame_size (%d bytes) != expected size (%d bytes)",
        m_core_frame_size, REGSCAN_CORE_FRAME_SIZE));
  }
  if (mgr_param(block)->regscan_31bit != 0) {
    if (bytes != REGSCAN_31BIT_USER_SIZE) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "Mismatch in user data size: regscan_user_size (%d bytes) != expected size (%d bytes)",
          bytes, REGSCAN_31BIT_USER_SIZE));
    }
    // The whole chain is one frame.
    const u32 size = REGSCAN_31BIT_USER_SIZE;
    block->set_custom_frame_sizes(&size, 1);
  }
  return true;
}

// ---- Frame building -------------------------------------------------------------

u64 VARNO_QV_REGSCAN_FRAME_MGR::frame_count(VARNO_DBLOCK* block) const {
  if (!block->m_custom_frame_sizes.empty()) return block->m_custom_frame_sizes.size();
  VARNO_ASSERT(m_core_frame_size > 0);
  const u64 bytes = user_bytes(block);
  return (bytes + m_core_frame_size - 1) / m_core_frame_size;
}

bool VARNO_QV_REGSCAN_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // 1, 2. The user data checked against the frame size and the 31-bit mode.
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  verify_user_data(block, config);
  // 3. The old frames go; without user data there are no new ones.
  block->clear_frames();
  if (block->get_user_data(SLOT) == nullptr) return true;
  // 4. Every frame of the user data. Without user bytes and custom sizes there
  // is none to build (the last index would wrap to 2^32 - 1).
  const u64 n = frame_count(block);
  if (n == 0) return true;
  VARNO_ASSERT_MSG(n <= 0xFFFFFFFFu, "frame_count <= 0xFFFFFFFF");
  return create_partial_frames(block, config, 0, static_cast<u32>(n - 1));
}

bool VARNO_QV_REGSCAN_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block,
                                                       VARNO_BLOCK_CONFIG* config, u32 first,
                                                       u32 last) {
  generator_of(block);
  const bool with_headers = headers(block);
  if (block->get_user_data(SLOT) == nullptr) return true;

  // Only frames of the current user data exist.
  const u64 n = frame_count(block);
  if (n == 0 || first > last || first >= n) return true;
  const u64 end = std::min<u64>(last, n - 1);

  // Custom sizes are read straight from the user data: together they must
  // lie inside it.
  const std::vector<u32>& custom = block->m_custom_frame_sizes;
  if (!custom.empty()) {
    const u64 total = std::accumulate(custom.begin(), custom.end(), u64{0});
    const u64 bytes = user_bytes(block);
    if (total > bytes) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "User data too short: %d bytes needed, %d bytes given", total, bytes));
    }
  }

  // Source offset of frame first; each later frame starts where the one
  // before it ended.
  u64 source = u64{first} * m_core_frame_size;
  if (!custom.empty()) source = std::accumulate(custom.begin(), custom.begin() + first, u64{0});
  for (u64 i = first; i <= end; ++i) {
    std::unique_ptr<VARNO_FRAME> frame =
        create_frame(block, config, static_cast<u32>(i), with_headers, source);
    if (frame != nullptr) append_frame(block, std::move(frame));
    source += custom.empty() ? m_core_frame_size : custom[i];
  }
  return true;
}

std::unique_ptr<VARNO_FRAME> VARNO_QV_REGSCAN_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                      VARNO_BLOCK_CONFIG*,
                                                                      u32 index, bool with_headers,
                                                                      u64 source) {
  // 1. No frame without user data, nor past the last frame.
  const u8* user = block->get_user_data(SLOT);
  if (user == nullptr) return nullptr;
  const u64 n = frame_count(block);
  if (index >= n) return nullptr;
  const bool last = index == n - 1;
  const bool mode31 = mgr_param(block)->regscan_31bit != 0;
  const u64 user_bits = block->get_user_data_size(SLOT);
  const u64 bytes = user_bytes(block);

  // 2. Data size: the frame's custom size, else the core frame size.
  const std::vector<u32>& custom = block->m_custom_frame_sizes;
  const bool has_custom = !custom.empty();
  const u64 core = has_custom ? custom[index] : m_core_frame_size;

  // 3. Frame length and the bits to copy.
  const u64 header = with_headers ? m_header_bytes : 0;
  const bool remainder = !has_custom && last && bytes % core != 0;
  u64 length = header + core;
  u64 bit_count = core * 8;
  if (remainder) {
    length = header + ((bytes - source + 3) / 4) * 4;
    bit_count = user_bits - source * 8;
  }
  if (mode31 && last) length += REGSCAN_31BIT_TRAILER_BYTES;
  // Never read past the user data.
  if (source * 8 + bit_count > u64{bytes} * 8) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("User data too short: %d bytes needed, %d bytes given",
                                             source + (bit_count + 7) / 8, bytes));
  }
  VARNO_ASSERT_MSG(length <= 0xFFFFFFFFu && bit_count <= 0xFFFFFFFFu,
                   "frame_size * 8 <= 0xFFFFFFFF");

  // 4. One zero-filled data segment of that length.
  const u32 frame_len = static_cast<u32>(length);
  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, frame_len, true);
  u8* dst = segment->data();
  frame->add_frame_segment(segment.release());

  // 5. Header records.
  u32 data_at = 0;
  if (with_headers) {
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, frame_len, 0, sector_x(), sector_y(), dst);
    if (mode31) {
      VARNO_UTIL::WriteCntBlock(m_cnt_blk, REGSCAN_31BIT_WRITE_OP, frame_len / 4,
                                REGSCAN_31BIT_AREG, REGSCAN_31BIT_OFFSET, 0, dst + m_cnoc_size);
    } else {
      VARNO_UTIL::WriteCntBlock(m_cnt_blk, REGSCAN_WRITE_OP, frame_len / 4, REGSCAN_AREG,
                                REGSCAN_OFFSET, 0, dst + m_cnoc_size);
    }
    data_at = m_cnoc_size + m_cnt_size;
  }

  const u8* src = user + source;
  const u32 bits = static_cast<u32>(bit_count);
  if (!mode31) {
    // 6. Normal mode: the bits as they are.
    VARNO_UTIL::bit_copy(src, 0, dst + data_at, 0, bits, true);
    return frame;
  }

  // 7. Dwords with bit 31 set, then in the last frame the marker dword and
  // a zero dword.
  const u64 dwords = (u64{bits} + 31) / 32;
  VARNO_ASSERT(data_at + dwords * 4 + (last ? REGSCAN_31BIT_TRAILER_BYTES : 0) <= frame_len);
  for (u64 k = 0; k < dwords; ++k) {
    const u32 run = static_cast<u32>(std::min<u64>(32, bits - k * 32));
    VARNO_UTIL::bit_copy(src + 4 * k, 0, dst + data_at + 4 * k, 0, run, true);
    dst[data_at + 4 * k + 3] |= 0x80;
  }
  if (last) dst[data_at + 4 * dwords + 3] = 0x80;
  return frame;
}

// ---- Other operations ------------------------------------------------------------

void VARNO_QV_REGSCAN_FRAME_MGR::dump_expected_data(std::string&) {}
