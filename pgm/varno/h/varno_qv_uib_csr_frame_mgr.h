// Frames of the CSR and BBUS scan chains of one UIB sector. The user data
// holds the chains back to back, each from a byte boundary; the block's
// "CHANNEL_MAP" groups them into frames (one chain per frame without it).
// Every frame carries one whole CSR image of its own chains: a 32-byte image
// header, then per chain a record whose data area holds the chain's 32-bit
// words last word first, optionally behind CNOC and CNT records.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_QV_UIB_CSR_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  VARNO_QV_UIB_CSR_FRAME_MGR();
  ~VARNO_QV_UIB_CSR_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Frames first .. last - 1; false when last is past the frame count.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // One line of bits per chain that the user data holds.
  void dump_expected_data(std::string& path) override;

  u32 num_chains() const { return m_num_chains; }
  u32 num_frames() const { return m_num_frames; }
  const std::vector<std::vector<u64>>& frame_chains() const { return m_frame_chains; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  // Null without user data.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 frame_no, bool headers);
  // The user bits: the host's length, or every chain when it gave none.
  u64 user_bits(VARNO_DBLOCK* block) const;
  // Bits from the start of the user data to the end of chain i.
  u64 chain_end_bits(u32 i) const;
  void read_channel_map(VARNO_BLOCK_CONFIG* config);

  u32 m_num_chains = 0;
  std::vector<u64> m_chain_offsets;       // bytes into the user data
  std::vector<u32> m_chain_lengths;       // bits
  std::vector<u64> m_chain_record_sizes;  // data bytes of each chain's record
  u32 m_num_frames = 0;
  std::vector<std::vector<u64>> m_frame_chains;  // per frame, its chains in record order
};
