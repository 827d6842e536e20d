// What the CRAM managers of the earlier families share besides the common
// set-up: the CRAM image description, the copy of the random filler that
// their trailer CRC reads, and the frame count the description gives.
#pragma once

#include "varno_cram_common.h"
#include "varno_early_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_EARLY_CRAM_FRAME_MGR_BASE : public VARNO_EARLY_FRAME_MGR_BASE {
 public:
  // The description's own arrays are its only raw allocations.
  ~VARNO_EARLY_CRAM_FRAME_MGR_BASE() override;

  // The bitstream frames of the description; 0 before set-up.
  u32 potential_frames() override;
  // Keeps the copy that the trailer CRC reads as well.
  void set_random_filler(u16 filler) override;

  const VARNO_CRAM_MEMBER& member() const { return m_member; }

 protected:
  VARNO_EARLY_CRAM_FRAME_MGR_BASE();

  VARNO_CRAM_MEMBER m_member;
  u16 m_random_filler_copy = 0;
};
