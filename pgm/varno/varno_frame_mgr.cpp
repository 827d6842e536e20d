#include "varno_frame_mgr.h"

VARNO_FRAME_MGR::~VARNO_FRAME_MGR() = default;

void VARNO_FRAME_MGR::register_2d_engine(VARNO_DBLOCK*) {}

u32 VARNO_FRAME_MGR::get_lfsr(VARNO_DBLOCK*, u32, u32, u64, u32) { return 0; }
