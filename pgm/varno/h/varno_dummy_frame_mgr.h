// The manager of the frame types that carry no data: it makes no frames and
// every operation succeeds.
#pragma once

#include <string>

#include "varno_frame_mgr.h"

class VARNO_DUMMY_FRAME_MGR : public VARNO_FRAME_MGR {
 public:
  VARNO_DUMMY_FRAME_MGR() = default;
  ~VARNO_DUMMY_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // Keeps no parent: parent() is always null.
  void set_parent(VARNO_DBLOCK* block) override;
  VARNO_DBLOCK* parent() override;
  u32 potential_frames() override;
  bool init() override;
  void set_random_filler(u16 filler) override;
  void set_user_frame_count(u32 count) override;
  void dump_expected_data(std::string& path) override;
};
