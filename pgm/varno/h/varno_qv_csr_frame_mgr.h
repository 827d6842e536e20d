// Frames of the CSR scan chains of one QV sector. The chains are packed into
// a CSR image: a 32-byte image header, one record per chain whose data area
// (as large as the largest chain, in whole words) holds the chain's 32-bit
// words last word first, and, in the sector that is the IOSSM auxiliary
// master, an auxiliary record carrying the last chain. Word 6 of the frame
// descriptor selects how the image travels: 0 cut into frames of the block's
// frame size; 1 the same with a numbered inner header in every frame and a
// closing count frame; 2 built in slices of the data areas, one slice per
// frame, with the auxiliary record in a frame of its own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_QV_CSR_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  VARNO_QV_CSR_FRAME_MGR();
  ~VARNO_QV_CSR_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // The whole image, whatever first and last are; frame kind 2 goes to
  // create_partial_iossm_frames.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // Frame kind 2: the whole image in slices, whatever first and last are.
  bool create_partial_iossm_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                                   u32 last);
  // One line of bits per framed chain; the auxiliary chain is not written.
  void dump_expected_data(std::string& path) override;

  u32 max_frame_size() const { return m_max_frame_size; }
  u32 core_frame_size() const { return m_core_frame_size; }
  u32 used_chains() const { return m_used; }
  u32 iossm_mode() const { return m_iossm_mode; }
  u32 io_aux_size() const { return m_io_aux_size; }
  u64 csr_data_size() const { return m_csr_data_size; }
  const std::vector<u64>& chain_offsets() const { return m_chain_offsets; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  // Frame j of the image (slice j in kind 2); null without user data.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 j,
                                            bool headers);
  // Common start of both builders: false when there is nothing to build.
  bool ready_to_build(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  // Word k of chain i (or of the auxiliary chain) into dest, k below the
  // chain's word count.
  void copy_chain_word(const u8* user, u64 offset, u32 size_bits, u32 k, u8* dest) const;
  // The auxiliary record at dest (m_io_aux_size + 48 bytes, zeroed).
  void write_aux_record(const u8* user, u8* dest) const;
  u32 aux_chain_bits() const { return m_chain_sizes.back(); }

  u32 m_total_frames = 0;            // chains n
  u32 m_max_frame_size = 0;          // data-area bytes of every chain record
  u32 m_core_frame_size = 0;         // frame size in bytes
  u32 m_frame_kind = 0;              // word 6 of the frame descriptor
  std::vector<u32> m_chain_sizes;    // bits, n entries
  std::vector<u64> m_chain_offsets;  // byte offsets of the framed chains
  u64 m_csr_data_size = 0;           // user bytes of the framed chains
  std::vector<u8> m_image;           // exists during one frame build
  u64 m_image_size = 0;
  u32 m_used = 0;        // framed chains
  u32 m_iossm_mode = 0;  // 0 no IOSSM auxiliary master; 1 not this sector; 2 this sector
  u32 m_io_aux_size = 0;
  bool m_set_up = false;  // false when set-up found no chains
};
