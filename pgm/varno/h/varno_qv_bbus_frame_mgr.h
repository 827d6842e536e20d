// Frames of the BBUS scan chains of one QV sector. The user data holds the
// chains back to back, each from a byte boundary; each frame carries one
// chain behind a CNOC record, a CNT record and a BBUS header record. Chain 0
// holds the clock-network segments and goes out once per clock-network
// phase: masked by the sector's clock-network variant in phases 0 to 2 (with
// the sector's overwrite bits forced to 1 in phase 0), unmasked in phase 3.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

enum VARNO_QV_CLK_NTW_PHASE : u32 {
  VARNO_QV_CLK_NTW_PHASE_0 = 0,
  VARNO_QV_CLK_NTW_PHASE_1 = 1,
  VARNO_QV_CLK_NTW_PHASE_2 = 2,
  VARNO_QV_CLK_NTW_PHASE_3 = 3,
};

class VARNO_QV_BBUS_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  VARNO_QV_BBUS_FRAME_MGR();
  ~VARNO_QV_BBUS_FRAME_MGR() override;

  // Chain 0 in its four phases.
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Chain 0 in phases 0 to 2, then chains first .. last in phase 3; false
  // when last is not a chain.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // One line of bits per chain, unmasked.
  void dump_expected_data(std::string& path) override;

  // Masks chain 0 (size_bits bits at chain_bytes) for phase 0, 1 or 2.
  void apply_phase_mask(u8* chain_bytes, u32 size_bits, VARNO_QV_CLK_NTW_PHASE phase) const;

  const std::vector<u32>& chain_sizes() const { return m_chain_sizes; }
  u64 total_chain_bits() const { return m_total_chain_bits; }
  const std::vector<u32>& overwrite_bits() const { return m_overwrite_bits; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  // One row of "CLK_NTW_SEGMENTS". Kept as a pair rather than packed into
  // one word, so that neither a long segment nor a large type spills into
  // the other.
  struct SEGMENT {
    u32 type;
    u32 size;  // bits
  };

  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  // Null without user data, and for phases 1 and 2 in the TK-family flow.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 chain, bool headers, VARNO_QV_CLK_NTW_PHASE phase);
  void read_variants(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  void read_overwrite_bits();

  u64 m_total_chain_bits = 0;              // each chain rounded up to whole bytes
  u32 m_total_frames = 0;                  // chains
  VARNO_SBLOCK* m_bbus_hdr_blk = nullptr;  // borrowed
  std::vector<u32> m_chain_sizes;          // bits
  std::vector<u64> m_chain_offsets;        // byte offset of each chain in the user data
  // Variant size in bits -> (first, last) index into m_VariantsSegs.
  std::map<u32, std::pair<u32, u32>> m_variants;
  std::vector<SEGMENT> m_VariantsSegs;
  std::vector<u32> m_overwrite_bits;  // bit indexes into chain 0
};
