// What every frame manager of the earlier families shares: the parent block,
// the user frame count and the random filler, the set-up run that init
// starts, the generator's records, and the frame range of a full build.
#pragma once

#include <string>

#include "varno_frame_mgr.h"
#include "varno_types.h"

class VARNO_BLOCK_CONFIG;
class VARNO_DBLOCK;
class VARNO_GEN;
struct VARNO_MGR_PARAM;

class VARNO_EARLY_FRAME_MGR_BASE : public VARNO_FRAME_MGR {
 public:
  ~VARNO_EARLY_FRAME_MGR_BASE() override;
  VARNO_EARLY_FRAME_MGR_BASE(const VARNO_EARLY_FRAME_MGR_BASE&) = delete;
  VARNO_EARLY_FRAME_MGR_BASE& operator=(const VARNO_EARLY_FRAME_MGR_BASE&) = delete;

  // Checks the parent block and its configuration, then runs setup_data.
  bool init() override;
  void set_parent(VARNO_DBLOCK* block) override { m_parent = block; }
  VARNO_DBLOCK* parent() override { return m_parent; }
  void set_random_filler(u16 filler) override { m_random_filler = filler; }
  void set_user_frame_count(u32 count) override { m_user_frame_count = count; }
  // These frames have no expected-data file.
  void dump_expected_data(std::string& path) override;

  // The manager's own set-up, run by init.
  virtual bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) = 0;
  // Takes the block's current user data, ahead of a build.
  virtual bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) = 0;

 protected:
  VARNO_EARLY_FRAME_MGR_BASE();

  // The block's generator; internal error when there is none.
  static VARNO_GEN* generator_of(VARNO_DBLOCK* block);
  // The manager parameters of the block's generator.
  static VARNO_MGR_PARAM* mgr_param(VARNO_DBLOCK* block);
  // The frames a full build makes of frame_count frames: the user frame count
  // and the block type's first- and last-frame overrides decide.
  void frame_range(VARNO_DBLOCK* block, u32 block_type, u32 frame_count, u32& first,
                   u32& last) const;

  VARNO_DBLOCK* m_parent = nullptr;  // borrowed
  u32 m_user_frame_count = 0;        // 0 = all frames
  u16 m_random_filler = 0;
};
