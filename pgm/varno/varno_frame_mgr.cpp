#include "varno_frame_mgr.h"

#include "varno_mgr_param.h"

VARNO_FRAME_MGR::~VARNO_FRAME_MGR() = default;

void VARNO_FRAME_MGR::register_2d_engine(VARNO_DBLOCK*) {}

u32 VARNO_FRAME_MGR::get_lfsr(VARNO_DBLOCK*, u32, u32, u64, u32) { return 0; }

void varno_select_frame_range(const VARNO_MGR_PARAM& param, u32 block_type, u32 frame_count,
                              u32 user_frame_count, u32& first, u32& last) {
  last = (user_frame_count > 0 && user_frame_count < frame_count) ? user_frame_count - 1
                                                                   : frame_count - 1;
  const u32 first_override = param.first_frame[block_type];
  first = (first_override != VARNO_INVALID_DWORD && first_override < last) ? first_override : 0;
  const u32 last_override = param.last_frame[block_type];
  if (last_override != VARNO_INVALID_DWORD && last_override < last && last_override >= first) {
    last = last_override;
  }
}
