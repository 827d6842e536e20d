#include "varno_qv_ioahb_frame_mgr.h"

#include <memory>

#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_util.h"

namespace {

constexpr VARNO_BLOCK_DATA_TYPE SLOT = VARNO_BLOCK_DATA_IO_AHB;
constexpr u32 IOAHB_ADDRESS_BYTES = 4;

}  // namespace

VARNO_QV_IOAHB_FRAME_MGR::VARNO_QV_IOAHB_FRAME_MGR() : VARNO_QV_WINDOW_FRAME_MGR_BASE(SLOT) {}

bool VARNO_QV_IOAHB_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  const u32 bits = check_user_words(block);
  // A frame of no bytes gives no frame count; it matters only when there is
  // data to frame.
  const bool has_data = block->get_user_data(SLOT) != nullptr;
  VARNO_ASSERT_MSG(m_frame_size > 0 || !has_data, "m_frame_size > 0");
  m_potential_frames = m_frame_size > 0 ? static_cast<u32>(bits / (u64{m_frame_size} * 8)) : 0;
  block->clear_frames();
  if (!has_data) return true;
  return create_partial_frames(block, config, 0, 0);
}

bool VARNO_QV_IOAHB_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*, u32,
                                                     u32) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const u8* data = block->get_user_data(SLOT);
  if (data == nullptr) return true;
  generator_of(block);

  // The count is the last build's: the data may have shrunk since.
  const u64 needed = u64{m_potential_frames} * m_frame_size;
  require_user_bytes(block, needed);
  VARNO_ASSERT_MSG(u64{m_frame_size} * 8 <= 0xFFFFFFFFu, "frame_size * 8 <= 0xFFFFFFFF");
  if (m_potential_frames > 0) {
    VARNO_ASSERT_MSG(
        u64{IOAHB_ADDRESS_BASE} + u64{m_potential_frames - 1} * m_frame_size <= 0xFFFFFFFFu,
        "address <= 0xFFFFFFFF");
  }

  for (u32 i = 0; i < m_potential_frames; ++i) {
    auto frame = std::make_unique<VARNO_FRAME>();
    auto header = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_HEADER,
                                                        IOAHB_ADDRESS_BYTES, true);
    u8* addr = header->data();
    VARNO_ASSERT_MSG(addr != nullptr, "addr != NULL");
    VARNO_UTIL::write_dword_safely(static_cast<u32>(IOAHB_ADDRESS_BASE + u64{i} * m_frame_size),
                                   addr);
    frame->add_frame_segment(header.release());

    auto segment =
        std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, m_frame_size, true);
    u8* frame_data = segment->data();
    VARNO_ASSERT_MSG(frame_data != nullptr, "frame_data != NULL");
    VARNO_UTIL::bit_copy(data + u64{i} * m_frame_size, 0, frame_data, 0, m_frame_size * 8, true);
    frame->add_frame_segment(segment.release());

    append_frame(block, std::move(frame));
  }
  return true;
}

