// The padding frame that stands after the option bits of a device of the
// earlier families: a run of 0xFF bytes whose length makes the configuration
// image come out at the size the device expects. The block takes no user
// data; the length follows from other blocks of the same generator, chosen
// by the mode word (word 4) of the block's frame descriptor:
//   0     rounds the sizes of the "CRAM" and "ERAM" blocks (each counted when
//         the block's CRAM_SIZE / ERAM_SIZE instruction has address 0) up to
//         a multiple of word 1, then adds word 6;
//   other the bytes of one CRAM frame less one configuration word and the
//         "OPTION_BITS" block.
#pragma once

#include "varno_early_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_DYN_OB_PAD_FRAME_MGR : public VARNO_EARLY_FRAME_MGR_BASE {
 public:
  VARNO_DYN_OB_PAD_FRAME_MGR();

  // Replaces the block's frames with the one padding frame.
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // The block has one frame, built whole: these three are internal errors
  // "Should not be called".
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  u32 potential_frames() override { return 1; }
  void set_random_filler(u16 filler) override;
  void set_user_frame_count(u32 count) override;

  // Nothing to set up: the size depends on the other blocks' frames.
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Computes the pad size afresh.
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

  u32 pad_size() const { return m_pad_size; }

 private:
  u32 m_pad_size = 0;
};
