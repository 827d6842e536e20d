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

  // Clears the block's frames and takes its user data afresh, then builds
  // the frames that the user frame count and the CRAM entries of the first-
  // and last-frame overrides select.
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // The bitstream frames of the description; 0 before set-up.
  u32 potential_frames() override;
  // Keeps the copy that the trailer CRC reads as well.
  void set_random_filler(u16 filler) override;

  const VARNO_CRAM_MEMBER& member() const { return m_member; }

 protected:
  VARNO_EARLY_CRAM_FRAME_MGR_BASE();

  // The frames a full build makes of the block, once its user data is taken.
  virtual u32 full_build_frames(VARNO_DBLOCK* block);

  VARNO_CRAM_MEMBER m_member;
  u16 m_random_filler_copy = 0;
};
