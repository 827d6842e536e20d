// The manager of external-file blocks: their frames come from elsewhere, so
// it checks the block and builds none.
#pragma once

#include <string>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_QV_EXT_FILE_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  VARNO_QV_EXT_FILE_MGR();
  ~VARNO_QV_EXT_FILE_MGR() override;

  // Empties the block's frame list.
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Builds nothing.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // No expected data.
  void dump_expected_data(std::string& path) override;

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
};
