// Frames of the transceiver BRAM. The block's custom frame sizes list the
// chunks of the user data, each a length in dwords of at most 14336 bytes;
// every chunk is cut into frames of at most 2048 bytes, and the block's chunk
// list records, per chunk, its first frame and its frame count for the
// decompression threads that issue the BRAM commands.
#pragma once

#include <string>
#include <vector>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

class VARNO_BRAM_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  // The largest chunk, in bytes.
  static constexpr u32 NW_BUFFER_SIZE = 0x3800;
  static constexpr u32 BRAM_FRAME_SIZE = 0x800;

  VARNO_BRAM_FRAME_MGR();
  ~VARNO_BRAM_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Builds every chunk whatever first and last are; appends to the frame list
  // and to the chunk list.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // No expected data.
  void dump_expected_data(std::string& path) override;

  // The most frames of one chunk.
  static constexpr u32 get_max_frame_num() { return 7; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  // Appends the frames of one chunk to the block; returns their number.
  u32 create_frame(VARNO_DBLOCK* block, const std::vector<u8>& chunk);
};
