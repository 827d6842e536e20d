// The set-up that the managers of the UIB MMR, IO MMIO and IO AHB windows
// share: a user-data slot of whole 32-bit words, a frame size from the frame
// descriptor, the device's header blocks (which their frames do not carry),
// and no user frame count or expected data.
#pragma once

#include <string>

#include "varno_iblock.h"
#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_QV_WINDOW_FRAME_MGR_BASE : public VARNO_QV_FRAME_MGR_BASE {
 public:
  ~VARNO_QV_WINDOW_FRAME_MGR_BASE() override;

  // The frame count is the manager's own; the user's is ignored.
  void set_user_frame_count(u32) override {}
  // No expected data.
  void dump_expected_data(std::string& path) override;

 protected:
  explicit VARNO_QV_WINDOW_FRAME_MGR_BASE(VARNO_BLOCK_DATA_TYPE slot);

  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

  // Internal error unless the slot's user data is whole 32-bit words;
  // returns its bits.
  u32 check_user_words(VARNO_DBLOCK* block) const;
  // Internal error unless the slot's user data holds needed bytes.
  void require_user_bytes(VARNO_DBLOCK* block, u64 needed) const;

  const VARNO_BLOCK_DATA_TYPE m_slot;
  u32 m_frame_size = 0;  // bytes
};
