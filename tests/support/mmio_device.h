// The MMIO device of tests/data/mmio: sectors with hard-IP and
// network-on-chip MMIO blocks, whose managers take their CNOC and CNT header
// blocks from the device level. Built here: the 8-byte device-level records
// CNOC [len16, x, y, 0, 0, 0, 0, 0] and CNT [op, len16, areg, offset32],
// and the pieces of MMIO2 frames.
#pragma once

#include "cfg.h"
#include "sector_device.h"
#include "varno_frame.h"
#include "varno_qv_hipmmio_frame_mgr.h"

inline const std::string kMmioDir = test_data("mmio");

// Byte i holds i mod 256.
inline BYTES counting(size_t n) {
  BYTES out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<u8>(i);
  return out;
}

inline BYTES cnoc(u32 len, u8 x, u8 y) {
  return {static_cast<u8>(len), static_cast<u8>(len >> 8), x, y, 0, 0, 0, 0};
}
inline BYTES cnt(u8 op, u32 len, u8 areg, u32 offset) {
  return concat({{op, static_cast<u8>(len), static_cast<u8>(len >> 8), areg}, le32(offset)});
}

// The fixed part of an MMIO2 frame of T bytes with sequence byte seq: word
// 0, zero CNOC, CNT (6, 0, 4, 0), 1 and the byte count after word 0.
inline BYTES mmio2_head(u32 seq, u32 T) {
  return concat({words({seq | ((T - 4) / 4) << 8}), zeros(8), cnt(6, 0, 4, 0), words({1, T - 20})});
}
inline const BYTES kInterruptWait = words({0x202B, 0, 0});
inline const BYTES kSeparator =
    concat({words({0x2020}), zeros(8), cnt(6, 0, 1, 0), words({0x3035, 1})});

struct MMIO_DEVICE : SECTOR_DEVICE {
  MMIO_DEVICE() {
    m_family = "mmio_family.ddb";
    m_device = "mmio_device.ddb";
  }
  // The fixtures, or a copy with the edits.
  u32 load(const FILE_EDITS& edits = {}) { return SECTOR_DEVICE::load(kMmioDir, edits); }
  VARNO_QV_HIPMMIO_FRAME_MGR* hip(u32 x, u32 y, const char* name) const {
    return mgr<VARNO_QV_HIPMMIO_FRAME_MGR>(x, y, name);
  }
  static bool command(VARNO_DBLOCK* block, u32 i) {
    const VARNO_FRAME* f = block->get_frame(i);
    return f->m_command_flag && f->m_second_command_flag;
  }
};

// The device of the fixtures; configuration keys a test sets go with it.
class MmioTest : public ::testing::Test, public MMIO_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
  void TearDown() override { cfg_clear(); }
};
