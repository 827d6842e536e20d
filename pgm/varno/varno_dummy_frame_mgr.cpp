#include "varno_dummy_frame_mgr.h"

VARNO_DUMMY_FRAME_MGR::~VARNO_DUMMY_FRAME_MGR() = default;

// The block's frame list is left as it is: these blocks never hold frames.
bool VARNO_DUMMY_FRAME_MGR::create_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*) { return true; }
bool VARNO_DUMMY_FRAME_MGR::create_partial_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*, u32, u32) {
  return true;
}
void VARNO_DUMMY_FRAME_MGR::set_parent(VARNO_DBLOCK*) {}
VARNO_DBLOCK* VARNO_DUMMY_FRAME_MGR::parent() { return nullptr; }
u32 VARNO_DUMMY_FRAME_MGR::potential_frames() { return 0; }
bool VARNO_DUMMY_FRAME_MGR::init() { return true; }
void VARNO_DUMMY_FRAME_MGR::set_random_filler(u16) {}
void VARNO_DUMMY_FRAME_MGR::set_user_frame_count(u32) {}
void VARNO_DUMMY_FRAME_MGR::dump_expected_data(std::string&) {}
