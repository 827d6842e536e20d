#include "varno_early_cram_frame_mgr_base.h"

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
