// The frame-manager interface. Every data block turns its user data into
// frames through a manager chosen by its frame type and talks to it only
// through this interface. The order of the operations is binding: do not
// reorder.
#pragma once

#include <string>

#include "varno_types.h"

class VARNO_DBLOCK;
class VARNO_BLOCK_CONFIG;
struct VARNO_MGR_PARAM;

class VARNO_FRAME_MGR {
 public:
  virtual ~VARNO_FRAME_MGR();

  // Leaves the block's frame list holding exactly the frames built now, in
  // output order.
  virtual bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) = 0;
  // Appends frames first to last (inclusive) to the block's frame list.
  virtual bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                                     u32 last) = 0;
  virtual void set_parent(VARNO_DBLOCK* block) = 0;
  virtual VARNO_DBLOCK* parent() = 0;
  // Frames a full create_frames would build.
  virtual u32 potential_frames() = 0;
  // Computes the frame layout; false fails model building.
  virtual bool init() = 0;
  virtual void set_random_filler(u16 filler) = 0;
  virtual void set_user_frame_count(u32 count) = 0;
  virtual void dump_expected_data(std::string& path) = 0;
  // Registers the block's 2D engine with the generator; only the managers
  // that attach an engine do anything.
  virtual void register_2d_engine(VARNO_DBLOCK* block);
  virtual u32 get_lfsr(VARNO_DBLOCK* block, u32 a, u32 b, u64 c, u32 d);
};

// The frames a full build of frame_count frames makes: all of them, or the
// first user_frame_count when that is fewer (0 = all), narrowed by the
// block type's entries of the manager parameters' first_frame and last_frame
// overrides. block_type must index those arrays.
void varno_select_frame_range(const VARNO_MGR_PARAM& param, u32 block_type, u32 frame_count,
                              u32 user_frame_count, u32& first, u32& last);
