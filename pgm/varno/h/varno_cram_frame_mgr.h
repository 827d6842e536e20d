// Frames of the configuration RAM of a PASKEVOLT device (frame type CRAM,
// CRAM algorithm 0). Every bitstream frame is a header (instruction word,
// 0xFFFFFFFC, DRA word), the frame's core bits in bitstream order closed by
// their 32-bit ED-CRC word, and a trailer (random filler, CRC-16). Data
// registers marked S4 in a frame have each pair of bits widened to a 4-bit
// code. Around the frames of a build go the ASSERT_ARIN / SKIP_DOWN frames
// before the first and WRITE_LAST_FRAME / CLEAR_AR / CONFIG_DONE after the
// last one.
//
// Besides the frames the manager reports into the talkback record of the
// block's generator: partial-reconfiguration counts, the frame size in
// words, the fault-injection locations it applied and the error-correction
// option-bit values for the host to write back.
#pragma once

#include <memory>
#include <vector>

#include "varno_early_cram_frame_mgr_base.h"
#include "varno_types.h"
#include "vold.h"

class VARNO_FRAME;
struct VARNO_MGR_PARAM;
struct VARNO_MGR_TALKBACK;

class VARNO_CRAM_FRAME_MGR : public VARNO_EARLY_CRAM_FRAME_MGR_BASE {
 public:
  // Markers of the IMG-to-bitstream map: a value up to 0xFFFFFFFC is a
  // bitstream bit.
  static constexpr u32 IMG_TO_RAW_INVALID = 0xFFFFFFFD;          // no bitstream position
  static constexpr u32 IMG_TO_RAW_SKIP_CONV_EDCRC = 0xFFFFFFFE;  // not converted (ED-CRC bit)
  static constexpr u32 IMG_TO_RAW_SKIP_CONV_PB3 = 0xFFFFFFFF;    // not converted
  // Bitstream bit without an IMG source.
  static constexpr u32 RAW_TO_IMG_SKIP_CONV_DUMMY = 0xFFFFFFFF;
  // Frame ED-CRC: reflected CRC-32, start 0.
  static constexpr u32 FRAME_EDCRC_POLY = 0x88010000;
  // Column ED-CRCs: MSB-first CRC-32.
  static constexpr u32 COLUMN_EDCRC_POLY = 0x8011;
  // Taps of the error-correction patterns (x^0, x^4, x^15).
  static const bool PV_CRC_POLYNOMIAL_BITS[32];

  VARNO_CRAM_FRAME_MGR();

  // ---- Frame-manager interface ------------------------------------------

  // Appends bitstream frames start .. end, on the state of the last
  // create_frames.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 start,
                             u32 end) override;

  // ---- Steps, public for the host's tools and the tests -----------------

  // Image description, invariants of the flow, DRA words, instruction words
  // and the talkback counts.
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Checks the image against the description and rebuilds every per-image
  // array, the fault groups and the option-bit values of the talkback.
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Bitstream frame index of IMG frame img_index; s2_bits_list is its S4
  // record's per-DRA lists (null without). The caller owns the frame.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 index, u32 img_index, S4_SII_DRA_LIST* s2_bits_list,
                                            const std::vector<u32>& fault_bits, bool first,
                                            bool last);
  // The core bits of one frame; frame_bits receives their count. dra_mask
  // names the DRAs written as S4 (0 for a plain frame); fault_bits are IMG
  // bits of the frame, ascending.
  std::unique_ptr<u8[]> create_frame_core_data(const std::vector<std::vector<u8>>& user_data,
                                               u32 index, u32 img_index,
                                               S4_SII_DRA_LIST* s2_bits_list, u32& frame_bits,
                                               u32 dra_mask, const std::vector<u32>& fault_bits);
  // The DRA mask of a frame: its S4 DRAs plus the forced ones up to the
  // limit.
  u32 dra_mask_of(u32 img_index) const;

  // Option-bit arithmetic over the generator's "OPTION_BITS" block (unsigned
  // 32-bit, wrapping).
  u32 calculate_pr_min();
  u32 get_n_edcrc_column();
  u32 calculate_pr_write_count();
  u32 calculate_pr_read_count();
  bool check_pr_fail_to_write_last_frame();
  u32 calculate_write_last_size(VARNO_BLOCK_CONFIG* config, u32 unused);

  // Instruction frames from the block's records; the caller owns them.
  std::unique_ptr<VARNO_FRAME> create_assert_arin_frame();
  std::unique_ptr<VARNO_FRAME> create_clear_ar_frame();
  std::unique_ptr<VARNO_FRAME> create_skip_down_frame(u32 index);
  std::unique_ptr<VARNO_FRAME> create_last_frame();
  std::unique_ptr<VARNO_FRAME> create_done_frame();

  void delete_memory();

  // ---- State, read by the tests ------------------------------------------

  const std::vector<std::vector<u8>>& remapped_user_data() const {
    return m_memory_remap_user_cram_data;
  }
  const std::vector<std::vector<u8>>& lutram_info() const { return m_pv_lutram_info; }
  const std::vector<u32>& column_edcrc() const { return m_column_edcrc; }
  const std::vector<std::vector<u32>>& fi_lists() const { return m_fi_lists; }
  u16 random_filler() const { return m_random_filler; }
  u32 dra_word() const { return m_dra_word; }
  u32 dra_word_s4() const { return m_dra_word_s4; }
  u8 dra_fake_s4_segment() const { return m_dra_fake_s4_segment; }
  u32 s4_dra_limit() const { return m_s4_dra_limit; }

 private:
  // The block's instruction record of kind, checked.
  const VOLD_INSTRUCTION* instruction_record(VOLD_INSTRUCTION_TYPE kind,
                                             const char* type_check) const;
  // The instruction frame of the record with padding words of padding.
  std::unique_ptr<VARNO_FRAME> instruction_frame(const VOLD_INSTRUCTION* record, u32 padding) const;
  // The record's own padding count, which must not be negative.
  static u32 record_padding(const VOLD_INSTRUCTION* record);
  // OB(type) of the generator's option-bit list; found null makes a missing
  // option bit an internal error.
  u32 ob_value(VOLD_OB_DATA_TYPE type, bool* found);
  VARNO_MGR_TALKBACK* talkback(VARNO_DBLOCK* block) const;
  // Header bytes of a frame: header rows x configuration-word bytes.
  u32 header_bytes(VARNO_DBLOCK* block) const;
  // The S4 record lists of IMG frame img.
  S4_SII_DRA_LIST* s2_bits_list_of(u32 img) const;
  void split_user_image();
  void remap_lutram();
  void build_lutram_info();
  void add_error_correction_obs(VARNO_MGR_TALKBACK* tb, const VARNO_MGR_PARAM* param);
  // S4 encoding of a frame's core (which it replaces).
  void encode_s4(std::unique_ptr<u8[]>& core, u32& frame_bits, u32 img_index,
                 S4_SII_DRA_LIST* s2_bits_list, u32 dra_mask, u32 edcrc,
                 const VARNO_MGR_PARAM* param);
  // Bit of the user image as loaded (before LUTRAM remapping).
  bool loaded_image_bit(u32 frame, u32 bit) const;

  u32 m_memory_remap_user_cram_data_count = 0;
  std::vector<std::vector<u8>> m_memory_remap_user_cram_data;
  u32 m_dra_word_s4 = 0;
  u32 m_dra_word = 0;
  u32 m_memory_pv_lutram_info_count = 0;
  std::vector<std::vector<u8>> m_pv_lutram_info;  // empty while the LUTRAM information is off
  u8 m_dra_fake_s4_segment = 0;
  u32 m_s4_dra_limit = 0;
  std::vector<std::vector<u32>> m_fi_lists;
  std::vector<u32> m_column_edcrc;  // dras[0] - 1 accumulators
};
