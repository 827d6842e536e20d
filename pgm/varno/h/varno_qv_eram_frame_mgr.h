// Frames of the embedded RAM of one QV sector. The ERAM is a bit array of
// rows × columns cut into ERAM blocks of a fixed number of rows and columns;
// each ERAM block becomes one frame holding its rows, last row first, behind a
// CNOC record, a CNT record and an ERAM header record. Spare rows are skipped.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"
#include "vold.h"

class VARNO_QV_ERAM_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  VARNO_QV_ERAM_FRAME_MGR();
  ~VARNO_QV_ERAM_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  void register_2d_engine(VARNO_DBLOCK* block) override;
  // The ERAM rows, each last bit first, as text of bits.
  void dump_expected_data(std::string& path) override;

  u32 block_bytes() const { return m_block_bytes; }
  u32 header_bytes() const { return m_header_bytes; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 f,
                                            bool headers);
  // Restores the spare rows of the set-up and replays the spare shift of
  // frames 0 .. first - 1, so that every frame starts where a full build
  // starts it.
  void reset_spare_state(VARNO_DBLOCK* block, u32 first);
  // The spare-shift step of frame f in the TK-family flow; only the first
  // frame of a row group moves the shift.
  void apply_spare_shift(u32 f);
  u32 blocks_per_group() const { return m_cols / m_cols_per_block; }

  u32 m_rows = 0;
  u32 m_cols = 0;
  u32 m_cols_per_block = 0;
  u32 m_rows_per_block = 0;
  u32 m_block_bytes = 0;
  u32 m_spare_rows = 0;
  VARNO_SBLOCK* m_eram_hdr_blk = nullptr;  // borrowed
  u32 m_eram_hdr_size = 0;
  u32 m_spare_shift = 0;
  VOLD_ARG* m_spare_arg = nullptr;  // borrowed
  std::map<u32, u32> m_spare_map;        // row -> value, used up by frame building
  std::map<u32, u32> m_setup_spare_map;  // as read at set-up
};
