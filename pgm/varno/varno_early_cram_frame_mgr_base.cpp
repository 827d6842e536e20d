#include "varno_early_cram_frame_mgr_base.h"

#include "varno_assert.h"
#include "varno_dblock.h"

VARNO_EARLY_CRAM_FRAME_MGR_BASE::VARNO_EARLY_CRAM_FRAME_MGR_BASE() = default;

VARNO_EARLY_CRAM_FRAME_MGR_BASE::~VARNO_EARLY_CRAM_FRAME_MGR_BASE() {
  delete_cram_member_memory(m_member);
}

u32 VARNO_EARLY_CRAM_FRAME_MGR_BASE::potential_frames() {
  return m_member.bs_frame_count == VARNO_INVALID_DWORD ? 0 : m_member.bs_frame_count;
}

void VARNO_EARLY_CRAM_FRAME_MGR_BASE::set_random_filler(u16 filler) {
  VARNO_EARLY_FRAME_MGR_BASE::set_random_filler(filler);
  m_random_filler_copy = filler;
}

bool VARNO_EARLY_CRAM_FRAME_MGR_BASE::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  block->clear_frames();
  verify_user_data(block, config);
  u32 start = 0;
  u32 end = 0;
  frame_range(block, VOLD_BLOCK_CRAM, full_build_frames(block), start, end);
  return create_partial_frames(block, config, start, end);
}

u32 VARNO_EARLY_CRAM_FRAME_MGR_BASE::full_build_frames(VARNO_DBLOCK*) {
  return m_member.bs_frame_count;
}
