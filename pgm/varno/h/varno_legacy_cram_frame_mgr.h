// Frames of the configuration RAM of the older families. Each bitstream frame
// is one IMG frame whose bits are moved to their bitstream positions or, for
// frames with S4 cells, whose bit pairs become four-bit codes. Plain frames
// carry an ED-CRC computed over the frame in its parallel data-register
// layout, with the bits of LUTRAM rows in use masked out; memory (MRAM)
// frames and S4 frames carry a zero ED-CRC.
#pragma once

#include <memory>
#include <vector>

#include "varno_early_cram_frame_mgr_base.h"
#include "varno_types.h"
#include "vold.h"

class VARNO_FRAME;

class VARNO_LEGACY_CRAM_FRAME_MGR : public VARNO_EARLY_CRAM_FRAME_MGR_BASE {
 public:
  VARNO_LEGACY_CRAM_FRAME_MGR();

  // ---- Frame-manager interface ----------------------------------------------

  // Appends bitstream frames start .. end; start takes the first-frame
  // instruction, end the last-frame one.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 start,
                             u32 end) override;

  // ---- Steps, open to the host's tools and the tests ------------------------

  // Fills the CRAM description, checks that it describes a legacy block, and
  // takes the LUTRAM lists and the instruction words.
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Checks the widths and rebuilds the per-frame user data.
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Frame of bitstream frame index (IMG frame img); s2_list is the frame's S2
  // cell list, null for a plain frame.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 index, u32 img, S4_SII_BIT_LIST* s2_list,
                                            bool first, bool last);
  // Core of IMG frame img; core_size gets its bytes. With edcrc given, a plain
  // frame also computes its ED-CRC into it.
  std::unique_ptr<u8[]> create_frame_core_data(u32 index, u32 img, S4_SII_BIT_LIST* s2_list,
                                               u32& core_size, u32* edcrc);
  // ED-CRC of IMG frame data with the bits of the LUTRAM rows of IMG frame
  // img masked out.
  u32 calculate_edcrc(const u8* data, u32 img);
  // ED-CRC of IMG frame data as it is.
  u32 calculate_edcrc(const u8* data);
  // Frees the per-frame buffers.
  void delete_memory();

  // ---- State, for inspection ------------------------------------------------

  // Buffer of IMG frame i (IMG frame bytes long); null when absent.
  const u8* user_img_data(u32 i) const;
  u32 img_frame_bytes() const { return m_img_frame_bytes; }

 private:
  // The S2 cell list of IMG frame img, or null for a plain frame.
  S4_SII_BIT_LIST* s2_list_of(u32 img) const;
  bool is_mram_frame(u32 img) const;
  // Code of the pair of IMG bits pos, pos + 1 of IMG frame img, looked up
  // through the S2 cells from the cursor on.
  u8 encode_pair(const u8* data, u32 pos, S4_SII_BIT_LIST* s2_list, size_t& cursor,
                 u32& cursor_index, S4_SI_LIST*& cursor_cells) const;

  // One buffer per IMG frame, holding its user bits at IMG bit positions.
  std::unique_ptr<std::unique_ptr<u8[]>[]> m_user_img_data;
  u32 m_memory_user_img_data_count = 0;
  u32 m_img_frame_bytes = 0;
  u32 m_bs_frame_bytes = 0;
  u32 m_bs_s4_frame_bytes = 0;
  std::vector<u32> m_lutram_simplified_col;
  std::vector<u32> m_lutram_simplified_row;
};
