// Frames of the register scan chains of one QV sector. The user data is cut
// into core-size pieces (or into the block's custom frame sizes), each behind
// a CNOC and a CNT header record. In 31-bit mode the whole chain goes into one
// frame of dwords whose bit 31 is set, closed by a marker dword and a zero
// dword.
#pragma once

#include <memory>
#include <string>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_FRAME;

class VARNO_QV_REGSCAN_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  // The core frame size every block without custom sizes must have.
  static constexpr u32 REGSCAN_CORE_FRAME_SIZE = 4096;
  // The user data of a 31-bit chain, in bytes.
  static constexpr u32 REGSCAN_31BIT_USER_SIZE = 11808;

  VARNO_QV_REGSCAN_FRAME_MGR();
  ~VARNO_QV_REGSCAN_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Frames past the last one of the current user data are not built.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // No expected data.
  void dump_expected_data(std::string& path) override;

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

  // Bytes of data per frame, from the frame descriptor; kept as set up, so
  // that a build with custom sizes does not change the next one.
  u32 m_core_frame_size = 0;

 private:
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  // The frames the current user data makes.
  u64 frame_count(VARNO_DBLOCK* block) const;
  // Frame index, whose data starts at byte source of the user data; null
  // when there is no such frame.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 index, bool with_headers, u64 source);
};
