// The register-window device of tests/data/regwin: sector 0 ("cl", CNOC
// address (6, 9)) and sector 1 ("f1", (3, 2)) with REGSCAN, UIB MMR, IO
// MMIO, IO AHB, BRAM and external-file blocks. The sectors have header
// blocks of their own (CNOC 8 bytes, CNT 12), the device level others (4 and
// 8 bytes). Frame sizes: REGSCAN 4096, UIB MMR 64, IO MMIO 0x800, IO AHB 32
// bytes. Test images are built so that pages of 256 bytes differ.
#pragma once

#include "sector_device.h"

inline const std::string kRegwinDir = test_data("regwin");

// Byte j of a test image is j + 3 * (j >> 8) + 5 * (j >> 16), mod 256.
inline BYTES pattern(u64 n) {
  BYTES out(n);
  for (u64 j = 0; j < n; ++j) out[j] = static_cast<u8>(j + 3 * (j >> 8) + 5 * (j >> 16));
  return out;
}

struct REGWIN_DEVICE : SECTOR_DEVICE {
  using SECTOR_DEVICE::block;
  VARNO_DBLOCK* block(u32 x, const char* name) const { return block(x, 0, name); }
  // Sets the slot's data and runs the block's own manager.
  static bool build(VARNO_DBLOCK* block, VARNO_BLOCK_DATA_TYPE slot, BYTES& data, u32 bits) {
    block->set_data(slot, data.data(), bits, nullptr);
    return block->get_frame_mgr()->create_frames(block, block->get_block_config());
  }
};

class RegwinTest : public ::testing::Test, public REGWIN_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kRegwinDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
};

// Reads the set-up values that the managers keep to themselves.
template <typename MGR>
struct PROBE : MGR {
  using MGR::m_cnoc_size;
  using MGR::m_cnt_size;
  using MGR::m_header_bytes;
};
