// Frames of the register contents of the hard network-on-chip, for its MMIO
// and AXI4-Lite register interfaces. The rows of the block's "IMG_OFFSETS"
// give segments of the user data, each with a target address and the id of
// its network-on-chip instance; the rows of the instance that serves the
// current sector are packed into frames of (address, length, data) records.
#pragma once

#include <string>
#include <vector>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

// One segment of the user data. frames and payload only inform: the packing
// reads start, end and addr.
struct VARNO_HNOC_MMIO_SEG_INFO {
  u32 start = 0;    // byte offset in the user data
  u32 end = 0;      // one past the last byte
  u32 frames = 0;   // frames the segment needs at payload bytes each
  u32 payload = 0;  // data bytes per frame
  u32 addr = 0;     // target address of the byte at start
};

class VARNO_QV_HNOCMMIO_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  VARNO_QV_HNOCMMIO_FRAME_MGR();
  ~VARNO_QV_HNOCMMIO_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // first and last are ignored: every build makes all frames.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // No expected data for register contents.
  void dump_expected_data(std::string&) override {}

  // The rows of network-on-chip id: first is the first of them (0 when there
  // is none) and count their number.
  void get_hnoc_seg_info(VARNO_DBLOCK* block, u32 id, u32& count, u32& first);
  // Packs the segments of the count rows of the id of row first, from row
  // first on (U: user-data bytes, F: frame size).
  void generate_mmio2_in_addr_order(VARNO_DBLOCK* block, const BYTE* data, u32 U, u32 count,
                                    u32 first, u32 F, u32& frames);
  // Fills frames of at most F bytes from segments, which it empties.
  void group_multiple_mmio2_segment_data(VARNO_DBLOCK* block, const BYTE* data,
                                         std::vector<VARNO_HNOC_MMIO_SEG_INFO>& segments, u32 F,
                                         u32& frames);
  // Appends one frame of bytes bytes holding pieces.
  void generate_mmio2_frames(VARNO_DBLOCK* block, const BYTE* data,
                             std::vector<VARNO_HNOC_MMIO_SEG_INFO> pieces, u32& frames, u32 bytes);

  // Grid row of the current sector (not its CNOC address).
  u32 sector_grid_row() const;
  u32 frame_size() const { return m_frame_size; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  u32 m_frame_size = 0;  // bytes
};
