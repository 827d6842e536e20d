// Parameter frames that go with a firmware image of the QV, TK and WX
// families, chosen by the firmware type of the manager parameters: one LSM
// parameter record per sector of the sector array, computed from the device
// parameters of the array and of each sector's CRAM, ERAM, BBUS and REGSCAN
// blocks; or one zero-filled IOSSM or UIBSSM frame per sector of the IO or
// UIB array. The block takes no user data.
#pragma once

#include <string>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_EBLOCK;
class VARNO_GEN;

class VARNO_QV_SSM_PARAMS_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  // Bytes of the LSM record the firmware reads.
  static constexpr u32 FW_LSM_PARAM_SIZE = 104;

  VARNO_QV_SSM_PARAMS_MGR();
  ~VARNO_QV_SSM_PARAMS_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Builds the frames of the firmware type; first and last are not used.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // Parameter blocks have no expected data.
  void dump_expected_data(std::string&) override {}

  // Internal error when this device's LSM record is not the firmware's.
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  bool create_lsm_params_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, bool headers);
  bool create_iossm_params_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, bool headers);
  bool create_uibssm_params_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, bool headers);

  u32 lsm_blk_param_size() const { return m_lsm_blk_param_size; }
  u32 header_bytes() const { return m_header_bytes; }
  u32 lowest_cnoc_column() const { return m_lowest_cnoc_column; }
  u32 column_limit() const { return m_column_limit; }

  // One byte pair or two of the clock-network mask for a segment of length
  // and phase; returns the bytes written to out (1 or 2).
  static u32 encode_clock_segment(u32 length, u32 phase, u8 out[2]);

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  // One zero-filled frame per sector of the array block name; payload bytes
  // each, after the header room when headers is set.
  bool create_array_frames(VARNO_DBLOCK* block, const char* name, u32 payload, bool headers,
                           bool first_word_one);

  u32 m_lsm_blk_param_size = 0;
  u32 m_lowest_cnoc_column = 0;
  u32 m_column_limit = 65535;
};
