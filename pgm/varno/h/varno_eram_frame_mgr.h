// Frames of the embedded RAM of a device of the earlier families. The user
// image is rows × columns bits, row after row; each bitstream frame carries
// one image row (spare rows are left out through the two frame maps), copied
// in ERAM blocks of 40 columns, behind a header with the frame's instruction
// word and length and before a trailer with the random filler and a CRC-16.
// The last frame of a build carries a fixed instruction frame and the block's
// CONFIG_DONE instruction after it.
#pragma once

#include <memory>

#include "varno_early_frame_mgr_base.h"
#include "varno_types.h"
#include "vold_enums.h"

class VARNO_FRAME;

class VARNO_ERAM_FRAME_MGR : public VARNO_EARLY_FRAME_MGR_BASE {
 public:
  // Columns of one ERAM block: the unit in which a row is copied.
  static constexpr u32 ERAM_BLOCK_WIDTH = 40;
  // Instruction words of the first, the last and every other frame.
  static constexpr u32 FIRST_FRAME_WORD = 0x2C907;
  static constexpr u32 LAST_FRAME_WORD = 0x3F783;
  static constexpr u32 DEFAULT_FRAME_WORD = 0x368C1;
  // The instruction frame that closes the ERAM ahead of CONFIG_DONE.
  static constexpr u32 LAST_INSTRUCTION_ADDRESS = 0x18A8B;
  static constexpr u32 LAST_INSTRUCTION_PADDING_WORDS = 20;

  VARNO_ERAM_FRAME_MGR();

  // Builds the frames the range selection picks (user frame count, then the
  // ERAM entries of the first- and last-frame overrides). False, with the
  // block's frames untouched, when the user image is missing or its size is
  // not rows × columns bits.
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Appends frames start to end (inclusive); false when end is past the last
  // frame or the user image is missing or of the wrong size.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 start,
                             u32 end) override;
  u32 potential_frames() override { return m_total_frames; }

  // Reads the geometry and the two frame maps.
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // The user image is present and holds exactly rows × columns bits.
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Bitstream frame index built from image row img_index; null when the
  // block's user image is missing or not of the block's size.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 index, u32 img_index);
  // An instruction frame of the parent's configuration words: header (with
  // the length word core_words + pad_words when with_length), core_words of
  // 0x00 (core_zero) or 0xFF, a trailer with filler and CRC when
  // with_trailer, then pad_words of 0x00 (pad_zero) or 0xFF.
  std::unique_ptr<VARNO_FRAME> create_custom_instruction(u32 address, bool with_length,
                                                         bool with_trailer, u32 core_words,
                                                         bool core_zero, u32 pad_words,
                                                         bool pad_zero);
  // The block's instruction of that type as an instruction frame.
  std::unique_ptr<VARNO_FRAME> create_instruction(VOLD_INSTRUCTION_TYPE type, VARNO_DBLOCK* block);
  // CRC-16 (initial 0xFFFF) of the header, the core and the filler, written
  // at trailer byte 2.
  void write_crc(VARNO_FRAME* frame);

  u32 rows() const { return m_rows; }
  u32 cols() const { return m_cols; }
  u32 core_size() const { return m_core_size; }

 private:
  // The frame that carries LAST_FRAME_WORD.
  u32 last_frame_index() const;
  // Bytes of a configuration word of block, after the checks every frame
  // builder makes of the width.
  static u32 config_word_bytes(VARNO_DBLOCK* block);

  u32 m_rows = 0;
  u32 m_cols = 0;
  u32 m_core_size = 0;
  u32 m_total_frames = 0;
  // Both belong to the device database's argument records.
  const u32* m_bs_frame_to_img_frame_map = nullptr;  // m_total_frames entries
  const u32* m_img_frame_to_bs_frame_map = nullptr;  // m_rows entries
};
