// Frames of the IOCSR shift chains of a device of the earlier families, and
// of its MCU shift chains where it has them. The device database gives the
// chains' lengths and their sequence order; the user gives one bit string
// for all IOCSR chains and one for all MCU chains, chain after chain in
// sequence order. The manager lays the chains side by side across the
// configuration word, so that shifting the rows into the device fills every
// chain at once: MCU rows first (one MCU chain per configuration bit), then
// the IOCSR rows, where bit b of a row is position b / n of chain b mod n.
// Chains are aligned at their ends; a shorter chain receives empty
// positions first. Each IOCSR chain is preceded by padding positions that
// make the chains fill whole rows (plus any leading padding rows the device
// asks for); the first that many positions of every chain are sent as ones.
#pragma once

#include <memory>

#include "varno_early_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_FRAME;

class VARNO_IOCSR_FRAME_MGR : public VARNO_EARLY_FRAME_MGR_BASE {
 public:
  // The only MCU chain count besides none: one chain per bit of a 32-bit
  // configuration word.
  static constexpr u32 CONTROL_BLOCK_DATA_WIDTH_32 = 32;

  VARNO_IOCSR_FRAME_MGR();

  // Verifies the user data (rebuilding the padded image), then replaces the
  // block's frames with frames 0 to the last one the user frame count allows.
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Appends frames first to last; false when last is not below the frame
  // count or the user data was not verified by a create_frames yet (or has
  // changed size since); true without frames when last < first.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  u32 potential_frames() override { return m_frame_count; }

  // Chain tables, padding, rows per frame and frame count; init runs it once.
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Checks the user data against the chain lengths and builds the padded
  // IOCSR image.
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Frame index; null when there is no verified user data to frame.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 index);
  // CRC-16 (initial 0xFFFF) over the header (with_header), the core and the
  // filler, written at trailer byte 2.
  void write_crc(VARNO_FRAME* frame, bool with_header);

  u32 rows_per_frame() const { return m_rows_per_frame; }
  u32 positions_per_row() const { return m_positions_per_row; }
  u32 padding() const { return m_padding; }
  u32 max_mcu_length() const { return m_max_mcu_length; }
  u32 max_iocsr_length() const { return m_max_iocsr_length; }
  u32 iocsr_chain_count() const { return m_iocsr_chain_count; }
  const u32* iocsr_offsets() const { return m_iocsr_offsets.get(); }
  const u32* iocsr_segments() const { return m_iocsr_segments.get(); }
  const u32* mcu_offsets() const { return m_mcu_offsets.get(); }
  // The IOCSR user data with the padding inserted; null before a verify.
  const u8* padded_iocsr_image() const { return m_padded_iocsr.get(); }
  u64 padded_iocsr_bits() const { return m_padded_iocsr_bits; }

 private:
  // The block's MCU data when it matches the chain lengths (null when the
  // device has no MCU chains); sets ok to false on a mismatch.
  const u8* current_mcu_data(VARNO_DBLOCK* block, bool& ok) const;
  // Writes row row (global row number) into core at byte offset, bits of
  // cdw bits.
  void fill_row(const u8* mcu, u64 row, u8* core, u64 offset, u32 cdw, bool ones) const;

  u32 m_max_mcu_length = 0;
  u32 m_max_iocsr_length = 0;  // with the padding
  std::unique_ptr<u32[]> m_mcu_segments;
  std::unique_ptr<u32[]> m_iocsr_segments;  // with the padding
  std::unique_ptr<u32[]> m_mcu_offsets;
  std::unique_ptr<u32[]> m_iocsr_offsets;
  u32 m_pcf_iocsr_size = 0;
  u32 m_pcf_mcu_size = 0;
  u32 m_rows_per_frame = 0;
  u32 m_frame_count = 0;
  u32 m_positions_per_row = 0;  // K
  u32 m_padding = 0;
  std::unique_ptr<u8[]> m_padded_iocsr;
  std::unique_ptr<u32[]> m_iocsr_seg_order;
  u64 m_padded_iocsr_bits = 0;
  u32 m_mcu_chain_count = 0;    // m
  u32 m_iocsr_chain_count = 0;  // n
};
