// Frames of the IO AHB window: the user data cut into whole frames of the
// frame size, each behind a 4-byte address segment counting up from
// 0x47B000. A partial last frame is not sent.
#pragma once


#include "varno_qv_window_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_QV_IOAHB_FRAME_MGR : public VARNO_QV_WINDOW_FRAME_MGR_BASE {
 public:
  static constexpr u32 IOAHB_ADDRESS_BASE = 0x47B000;

  VARNO_QV_IOAHB_FRAME_MGR();

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Builds the frames counted by the last create_frames, whatever first and
  // last are.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
};
