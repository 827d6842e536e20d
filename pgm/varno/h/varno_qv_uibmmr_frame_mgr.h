// Frames of the memory-mapped registers of a UIB: eight frames without
// header, each the first frame-size bytes of one 4096-byte page of the user
// data, pages 44 to 51.
#pragma once

#include <memory>

#include "varno_qv_window_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_FRAME;

class VARNO_QV_UIBMMR_FRAME_MGR : public VARNO_QV_WINDOW_FRAME_MGR_BASE {
 public:
  static constexpr u32 UIBMMR_PAGE_SIZE = 4096;
  static constexpr u32 UIBMMR_FIRST_PAGE = 44;
  static constexpr u32 UIBMMR_FRAME_COUNT = 8;

  VARNO_QV_UIBMMR_FRAME_MGR();

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Builds all eight frames whatever first and last are.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;

 private:
  std::unique_ptr<VARNO_FRAME> create_single_frame(VARNO_DBLOCK* block, const u8* data, u32 index,
                                                   u32 frame_size);
};
