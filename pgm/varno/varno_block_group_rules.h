// What the block group's sources share, kept in one place: the kinds of data
// block by block type. Internal to the library: not installed.
#pragma once

#include "varno_block_group.h"

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

}  // namespace VARNO_GROUP_DETAIL
