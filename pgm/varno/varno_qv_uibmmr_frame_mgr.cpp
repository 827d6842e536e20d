#include "varno_qv_uibmmr_frame_mgr.h"

#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_util.h"

namespace {

constexpr VARNO_BLOCK_DATA_TYPE SLOT = VARNO_BLOCK_DATA_UIB_MMR;

}  // namespace

VARNO_QV_UIBMMR_FRAME_MGR::VARNO_QV_UIBMMR_FRAME_MGR() : VARNO_QV_WINDOW_FRAME_MGR_BASE(SLOT) {}

bool VARNO_QV_UIBMMR_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  check_user_words(block);
  block->clear_frames();
  // The count follows the frame list, which starts empty again.
  m_potential_frames = 0;
  if (block->get_user_data(SLOT) == nullptr) return true;
  return create_partial_frames(block, config, 0, 0);
}

bool VARNO_QV_UIBMMR_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*, u32,
                                                      u32) {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const u8* data = block->get_user_data(SLOT);
  if (data == nullptr) return true;
  generator_of(block);
  // The last page read must lie inside the user data.
  const u64 needed =
      u64{UIBMMR_FIRST_PAGE + UIBMMR_FRAME_COUNT - 1} * UIBMMR_PAGE_SIZE + m_frame_size;
  require_user_bytes(block, needed);
  for (u32 i = 0; i < UIBMMR_FRAME_COUNT; ++i) {
    std::unique_ptr<VARNO_FRAME> frame = create_single_frame(block, data, i, m_frame_size);
    if (frame == nullptr) continue;
    append_frame(block, std::move(frame));
    ++m_potential_frames;
  }
  return true;
}

std::unique_ptr<VARNO_FRAME> VARNO_QV_UIBMMR_FRAME_MGR::create_single_frame(VARNO_DBLOCK*,
                                                                            const u8* data,
                                                                            u32 index,
                                                                            u32 frame_size) {
  if (data == nullptr) return nullptr;
  VARNO_ASSERT_MSG(u64{frame_size} * 8 <= 0xFFFFFFFFu, "frame_size * 8 <= 0xFFFFFFFF");
  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, frame_size, true);
  const u64 source = u64{index + UIBMMR_FIRST_PAGE} * UIBMMR_PAGE_SIZE;
  VARNO_UTIL::bit_copy(data + source, 0, segment->data(), 0, frame_size * 8, true);
  frame->add_frame_segment(segment.release());
  return frame;
}

