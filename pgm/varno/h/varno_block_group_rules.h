// What the block group's sources share, kept in one place: the kinds of data
// block by block type, the group type codes, constants and helpers that more
// than one source needs, and where a thread's frame slots take their frames
// from. Internal to the library: not installed.
#pragma once

#include <memory>
#include <vector>

#include "varno_block_group.h"

class VARNO_BLOCK;
class VARNO_GEN;
class VARNO_IBLOCK;
class VARNO_SBLOCK;
struct VOLD_DEVICE_INFO;

namespace VARNO_GROUP_DETAIL {

// The kinds of data block whose templates and records differ.
enum class BLOCK_KIND {
  OTHER,      // no templates and no control records of its own
  CRAM,       // CRAM, CRAM_HIPI
  ERAM,
  BBUS,
  REGSCAN,
  MMIO,       // register windows: MORLU_CSR, HIP_MMIO, EHIP_MMIO, MMIO2, HNOC_MMIO, HNOC_AXI4LITE
  MORLU_CAL,
  AIB,        // AIB_CSR, AIBAUX_REFCLK
  IO_CSR,     // IO_CSR, IO_BBUS
  UIB,        // UIB_BBUS, UIB_CSR, DIB_BBUS, UIB_MMR
  IO_WINDOW,  // IO_VAMM, IO_AHB
  FW_IMAGE,   // CNT_FW
  FW_PARAMS,  // FW_PARAMS, FW_PARAMS_WEST, FW_PARAMS_EAST
  LOAD,       // BRAM, XCVR: the thread's only block, loaded in chunks
};

BLOCK_KIND block_kind(u32 type);

// A firmware block: the firmware image or its parameters.
inline bool is_fw_type(u32 type) {
  const BLOCK_KIND kind = block_kind(type);
  return kind == BLOCK_KIND::FW_IMAGE || kind == BLOCK_KIND::FW_PARAMS;
}

// Device type whose ERAM frames are each followed by a delay: a delay
// record behind every frame and a delay template for the first ERAM block.
inline constexpr u32 ERAM_DELAY_DEVICE_TYPE = 62;

// ERAM column blocks per row of an ERAM block.
u32 eram_column_blocks(VARNO_IBLOCK* blk);

// Group type code of the descriptor header, from the group's type name.
enum GROUP_TYPE : u32 {
  GROUP_OTHER = 0,
  GROUP_CRAM = 1,     // "CRAM", "CRAM_HIPI"
  GROUP_ERAM = 2,     // "ERAM"
  GROUP_FW = 4,       // "FW"
  GROUP_REGSCAN = 5,  // "REGSCAN"
  GROUP_LOAD = 6,     // "BRAM", "XCVR"
};

// Bit of qv_2d_compression that turns on the S4 flag of the CRAM records
// and templates.
inline constexpr u32 S4_FLAG_COMPRESSION_BIT = 8;

// Bytes of a 2D engine's B structure in the thread's 2D setup data.
inline constexpr u32 B_STRUCT_SIZE = 64;

// What a thread's stream writers report when they would pass the room left.
inline constexpr const char* STREAM_OVERRUN = "Memory Corruption: stream room exceeded";

// The device information of gen's device; it must exist.
VOLD_DEVICE_INFO* device_info_of(VARNO_GEN* gen);

// A private copy of one of gen's option blocks; null when gen has none of
// that name or the block is no option block.
std::unique_ptr<VARNO_SBLOCK> option_block_copy(VARNO_GEN* gen, const char* name);

// Where each frame slot of a decompression thread takes its frame from, the
// same for the compressed stream and the uncompressed thread data. The
// blocks take the slots one after the other, or in turn frame by frame
// (interleaved), or, for an interleaved ERAM thread of the TK flow, in
// turn by pairs of blocks. An IO firmware thread instead maps a slot that
// follows a firmware block by the frames of its first block.
class SLOT_LAYOUT {
 public:
  // blocks: the thread's data blocks; slots: its frame slots. The pairing
  // block's type decides the pairing of an interleaved TK thread (null: no
  // pairing). missing_first is the text a missing first block reports.
  SLOT_LAYOUT(const std::vector<VARNO_BLOCK*>& blocks, u32 slots, bool tk_flow, bool interleave,
              VARNO_BLOCK* pairing_block, const char* missing_first);

  // Block and frame of slot k; after_fw: the slot follows a firmware block
  // of an IO firmware thread.
  void place(u32 k, bool after_fw, u32& block, u32& frame) const;

 private:
  const std::vector<VARNO_BLOCK*>& m_blocks;
  u32 m_n;
  u32 m_slots;
  bool m_interleave;
  const char* m_missing_first;
  // Groups of m_group blocks share m_per_group slots.
  u32 m_group = 0;
  u32 m_per_group = 0;
  // A layout the mapping would divide by zero for is refused where it is
  // used: firmware pairing maps its slots by the first block's frames.
  bool m_ok = false;
};

}  // namespace VARNO_GROUP_DETAIL
