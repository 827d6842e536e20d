// Frames of the configuration RAM of a HOLMGRADEN-family device. Each
// bitstream frame carries one IMG frame's real (non-phantom) bits, dealt over
// a small number of data-register segments and interleaved column by column
// into the core. Flash and non-flash frames have their own segment counts;
// memory frames can be left out of the bitstream. After building, the CRC-32
// of the whole image in bitstream order goes to the talkback record.
#pragma once

#include <memory>

#include "varno_early_cram_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_FRAME;

class VARNO_HG_CRAM_FRAME_MGR : public VARNO_EARLY_CRAM_FRAME_MGR_BASE {
 public:
  VARNO_HG_CRAM_FRAME_MGR();

  // ---- Frame-manager interface ----------------------------------------------

  // Appends bitstream frames start .. end, then writes the CRC of the whole
  // image (whatever the range) into the talkback record.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 start,
                             u32 end) override;
  // The bitstream frames, less the memory frames when they are skipped; 0
  // before set-up.
  u32 potential_frames() override;

  // ---- Steps, open to the host's tools and the tests ------------------------

  // Fills the CRAM description and checks that it describes a HOLMGRADEN
  // block.
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Takes the user image: the per-frame buffers at bitstream bit positions,
  // the segment counts, the first frame's flash flag and the memory-free map.
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Frame of IMG frame img (bitstream index index, which the content does not
  // use).
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 index, u32 img);
  // Core of IMG frame img: its real bits (mask bit k set = IMG bit k is real)
  // dealt over dr_segment columns, placed after pad_segment zero words, in a
  // buffer of core_bytes bytes. segment_count is the count before raising it
  // to the minimum.
  std::unique_ptr<u8[]> create_frame_core_data(const u8* mask, u32 img, u32 real_bit,
                                               u32 segment_count, u32 core_bytes, u32 pad_segment,
                                               u32 dr_segment);
  // Frees the per-frame buffers and the memory-free map.
  void delete_memory();

  // ---- State, for inspection ------------------------------------------------

  u32 flash_dr_segment() const { return m_flash_dr_segment; }
  u32 non_flash_dr_segment() const { return m_non_flash_dr_segment; }
  bool first_frame_flash() const { return m_first_frame_flash; }
  u32 memory_frame_count() const { return m_memory_frame_count; }
  // Buffer of IMG frame i (bs frame bytes long); null when absent.
  const u8* user_img_data(u32 i) const;

 private:
  // Word 0 of the phantomless record of IMG frame img.
  u32 phantomless_info(u32 img) const;
  // The bitstream frames, less the memory frames when they are skipped.
  u32 frame_count(bool skip_memory) const;
  // frame_count as the block's manager parameters ask.
  u32 full_build_frames(VARNO_DBLOCK* block) override;
  // Number of IMG frames marked as memory frames.
  u32 count_memory_frames() const;

  // One buffer per IMG frame, holding its user bits at bitstream positions;
  // only the image CRC reads them.
  std::unique_ptr<std::unique_ptr<u8[]>[]> m_user_img_data;
  u32 m_memory_user_img_data_count = 0;
  u32 m_bs_frame_bytes = 0;
  u32 m_flash_dr_segment = 0;
  u32 m_non_flash_dr_segment = 0;
  bool m_first_frame_flash = false;
  u32 m_memory_frame_count = 0;
  std::unique_ptr<u32[]> m_bs_frame_to_img_frame_map_without_memory;
  u32 m_bs_frame_to_img_frame_map_without_memory_count = 0;
};
