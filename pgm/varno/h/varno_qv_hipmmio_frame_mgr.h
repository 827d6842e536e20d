// Frames of the register contents of a hard-IP block, written over the
// device's MMIO register bus. Most tile types cut the data into frames of the
// block's frame size behind a lead or command word and inner CNOC and CNT
// records (the plain path); the WHR, RNR and GDR tiles (tile types 5 to 9)
// write MMIO2 frames instead: packed lists of (offset, length, data) records
// taken from the image segments, from fixed GDR address ranges or from the
// block's programming sequence, with command frames in between.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

namespace PB {
class BLOCKS_PROGRAMMING_SEQUENCE;
}

// One byte range [start, end) of the user data; a record's offset is both
// its position in the user data and its target offset. frames and room only
// inform: the packing reads start and end.
struct VARNO_MMIO_SEG_INFO {
  u32 start = 0;
  u32 end = 0;
  u32 frames = 0;  // frames the range needs at room bytes each
  u32 room = 0;    // data bytes per MMIO2 frame
};

// Tile type to the tile-variant code that names the programming-sequence
// section of the tile.
extern const std::map<u32, std::string> VARNO_TILE_TYPE_TO_VARIANT_MAP_LIST;

class VARNO_QV_HIPMMIO_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  VARNO_QV_HIPMMIO_FRAME_MGR();
  ~VARNO_QV_HIPMMIO_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // first and last are ignored: every build makes all frames.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // No expected data for register contents.
  void dump_expected_data(std::string&) override {}

  // ---- Plain path -------------------------------------------------------------

  // Plain-path frame frame_no; null when the block has no user data.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 frame_no, bool headers);
  // Writes the header of the block's framing mode at dest (48 bytes in
  // MORLU3 channel mode, the word 0x3300 in raw command mode, nothing
  // otherwise) and returns its byte count.
  u32 insert_morlu3_headers(VARNO_DBLOCK* block, BYTE* dest, u32 frame_no, u32 segment_size);

  // ---- MMIO2 frame streams (U: user-data bytes, F: MMIO2 frame size) --------

  // One range per "IMG_OFFSETS" row, in row order; returns the frames written.
  u32 create_mmio2_frames(VARNO_DBLOCK* block, const BYTE* data, u32 U, u32 F);
  // Packs the segments of rows 0 .. rows - 1.
  void generate_mmio2_in_addr_order(VARNO_DBLOCK* block, const BYTE* data, u32 U, u32 rows, u32 F,
                                    u32& count);
  // The fixed GDR address ranges, cut around their excluded parts and
  // intersected with the image segments; returns the frames written.
  u32 create_gdr_mmio2_frames(VARNO_DBLOCK* block, const BYTE* data, u32 U, u32 F);
  // ranges with every skip cut out, sorted by start.
  std::vector<VARNO_MMIO_SEG_INFO> skip_addr_ranges(std::vector<VARNO_MMIO_SEG_INFO> ranges,
                                                    std::vector<VARNO_MMIO_SEG_INFO> skips);
  static bool compare_start_offset(const VARNO_MMIO_SEG_INFO& a, const VARNO_MMIO_SEG_INFO& b);
  // Packs the parts of ranges that the image segments of rows 0 .. rows - 1
  // cover; a range's first piece may be an empty record (an empty range, or a
  // row without words that begins inside it).
  void generate_mmio2_frames_from_addr_range(VARNO_DBLOCK* block,
                                             std::vector<VARNO_MMIO_SEG_INFO> ranges,
                                             const BYTE* data, u32 U, u32 rows, u32 F, u32& count);
  // The "MMIO" register ranges of the programming-sequence sections named
  // after the tile variant; returns the frames written.
  u32 create_mmio2_frames_frm_progseq(VARNO_DBLOCK* block, const BYTE* data, u32 U, u32 F);
  // Fills MMIO2 frames of at most F bytes from segments, which it empties.
  void group_multiple_mmio2_segment_data(VARNO_DBLOCK* block, const BYTE* data,
                                         std::vector<VARNO_MMIO_SEG_INFO>& segments, u32 F,
                                         u32& count);
  // Appends one MMIO2 frame of bytes bytes holding pieces.
  void generate_mmio2_frames(VARNO_DBLOCK* block, const BYTE* data,
                             std::vector<VARNO_MMIO_SEG_INFO> pieces, u32& count, u32 bytes);
  // Appends one command frame (both command flags set).
  void generate_fw_cnoc_cmd_msg_frames(VARNO_DBLOCK* block, u32 command, u32 argument);

  // ---- State ------------------------------------------------------------------

  bool single_segment() const { return m_single_segment; }
  bool interrupt_wait() const { return m_interrupt_wait; }
  u32 frame_size() const { return m_frame_size; }
  u32 cnoc_size() const { return m_cnoc_size; }
  u32 cnt_size() const { return m_cnt_size; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  // The plain path; returns the frames it built.
  u32 create_plain_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, bool headers, u32 mode,
                          u64 user_bytes, u32 regs);
  // The image segment of an "IMG_OFFSETS" row; past_end is the internal
  // error when it ends past the user data.
  VARNO_MMIO_SEG_INFO img_segment(VARNO_DBLOCK* block, u32 row, u32 U, u32 F,
                                  const char* past_end) const;
  // Rows of "IMG_OFFSETS".
  static u32 img_rows(VARNO_DBLOCK* block);
  // Data bytes per MMIO2 frame at frame size F.
  u32 mmio2_room(u32 F) const;
  // F must leave room for data after the headers of a frame and one record.
  void check_mmio2_frame_size(i64 F) const;
  // The MMIO2 frame size of a configuration key, defaulting to the block's.
  u32 mmio2_frame_size(const char* key) const;

  bool m_single_segment = false;        // an MMIO2 frame carries one record at most
  bool m_interrupt_wait = false;        // every MMIO2 frame is followed by an interrupt wait
  u32 m_frame_size = 0;                 // bytes
  std::unique_ptr<BYTE[]> m_addr_data;  // address/data buffer of one build
  u64 m_data_size = 0;                  // bytes the plain path frames
  const PB::BLOCKS_PROGRAMMING_SEQUENCE* m_programming_seq = nullptr;  // borrowed
};
