// Frames of the IO MMIO window. Each frame is a 4-byte address segment and a
// data segment: one 1024-byte frame at address 0, then frame-size frames
// from address 0x400000 and from address 0x47F000, each range read from its
// own place in the user data.
#pragma once

#include <memory>

#include "varno_qv_window_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_QV_IOVAMM_FRAME_MGR : public VARNO_QV_WINDOW_FRAME_MGR_BASE {
 public:
  VARNO_QV_IOVAMM_FRAME_MGR();

  // The three ranges (0, 0), (1, 246) and (255, 256).
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // start_frame selects the range (0, 1 or 255); end_frame - start_frame + 1
  // frames are built from its start.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 start_frame,
                             u32 end_frame) override;
};
