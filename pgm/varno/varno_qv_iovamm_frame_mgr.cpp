#include "varno_qv_iovamm_frame_mgr.h"

#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_util.h"

namespace {

constexpr VARNO_BLOCK_DATA_TYPE SLOT = VARNO_BLOCK_DATA_IO_MMIO;

// The three address ranges, each selected by its first frame number.
struct IOVAMM_RANGE {
  u32 start_frame;
  u32 end_frame;
  u32 address_base;
  u32 data_base;
};
constexpr IOVAMM_RANGE IOVAMM_BASE_RANGE{0, 0, 0, 0};
constexpr IOVAMM_RANGE IOVAMM_LOW_RANGE{1, 246, 0x400000, 0x400};
constexpr IOVAMM_RANGE IOVAMM_HIGH_RANGE{255, 256, 0x47F000, 0x80400};
// The frame at address 0 has its own size.
constexpr u32 IOVAMM_BASE_FRAME_SIZE = 1024;
constexpr u32 IOVAMM_ADDRESS_BYTES = 4;

}  // namespace

VARNO_QV_IOVAMM_FRAME_MGR::VARNO_QV_IOVAMM_FRAME_MGR() : VARNO_QV_WINDOW_FRAME_MGR_BASE(SLOT) {}

bool VARNO_QV_IOVAMM_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  check_user_words(block);
  block->clear_frames();
  // The count follows the frame list, which starts empty again.
  m_potential_frames = 0;
  if (block->get_user_data(SLOT) == nullptr) return true;
  bool result = false;
  for (const IOVAMM_RANGE& range : {IOVAMM_BASE_RANGE, IOVAMM_LOW_RANGE, IOVAMM_HIGH_RANGE}) {
    result = create_partial_frames(block, config, range.start_frame, range.end_frame) || result;
  }
  return result;
}

bool VARNO_QV_IOVAMM_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*,
                                                      u32 start_frame, u32 end_frame) {
  // 1. The range must run forward; without user data there is nothing to frame.
  VARNO_ASSERT_MSG(end_frame >= start_frame, "end_frame >= start_frame");
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const u8* data = block->get_user_data(SLOT);
  if (data == nullptr) return true;

  // 2. Address base, data base and frame size of the range, by its first frame.
  u32 address_base = 0;
  u32 data_base = 0;
  u32 frame_size = m_frame_size;
  if (start_frame == IOVAMM_LOW_RANGE.start_frame) {
    address_base = IOVAMM_LOW_RANGE.address_base;
    data_base = IOVAMM_LOW_RANGE.data_base;
  } else if (start_frame == IOVAMM_HIGH_RANGE.start_frame) {
    address_base = IOVAMM_HIGH_RANGE.address_base;
    data_base = IOVAMM_HIGH_RANGE.data_base;
  } else if (start_frame == IOVAMM_BASE_RANGE.start_frame) {
    frame_size = IOVAMM_BASE_FRAME_SIZE;
  } else {
    VARNO_INTERNAL_ERROR("false");
  }

  // 3. The block must have a generator.
  generator_of(block);

  // Every frame of the range is read from inside the user data.
  const u64 count = u64{end_frame} - start_frame + 1;
  const u64 needed = data_base + count * frame_size;
  require_user_bytes(block, needed);
  VARNO_ASSERT_MSG(u64{frame_size} * 8 <= 0xFFFFFFFFu, "frame_size * 8 <= 0xFFFFFFFF");
  // Addresses are 32-bit.
  VARNO_ASSERT_MSG(address_base + (count - 1) * frame_size <= 0xFFFFFFFFu, "address <= 0xFFFFFFFF");

  // 4. One frame per frame number: its 32-bit address, then its frame-size bytes.
  for (u64 k = 0; k < count; ++k) {
    auto frame = std::make_unique<VARNO_FRAME>();
    auto header = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_HEADER,
                                                        IOVAMM_ADDRESS_BYTES, true);
    u8* addr = header->data();
    VARNO_ASSERT_MSG(addr != nullptr, "addr != NULL");
    VARNO_UTIL::write_dword_safely(static_cast<u32>(address_base + k * frame_size), addr);
    frame->add_frame_segment(header.release());

    auto segment =
        std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, frame_size, true);
    u8* frame_data = segment->data();
    // A frame size of 0 would leave a frame with an address and nothing to
    // write there.
    VARNO_ASSERT_MSG(frame_size > 0 && frame_data != nullptr, "frame_data != NULL");
    VARNO_UTIL::bit_copy(data + data_base + k * frame_size, 0, frame_data, 0, frame_size * 8, true);
    frame->add_frame_segment(segment.release());

    append_frame(block, std::move(frame));
    ++m_potential_frames;
  }
  return true;
}

