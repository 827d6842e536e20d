// HIP MMIO frames of real sectors loaded from tests/data/mmio. Expected bytes
// are derived by hand from the fixtures:
//   device-level header records: CNOC [len16, x, y, 0, 0, 0, 0, 0],
//   CNT [op, len16, areg, offset32]; 8 bytes each, so a frame's two records
//   take 16 bytes.
//   sector "cl" (grid (0, 0), CNOC (7, 1)): tile type 4, the plain path.
//   sectors "f1" (WHR), "f6" (RNR), "fc" (GDR), "ir" (GDR, tile 9) and "jl"
//   (RNR, tile 8) write MMIO2 frames; their CRYPTO_MMIO block has 64-byte
//   frames in address/data mode (so a trailer frame follows).
//   An MMIO2 frame opens with 28 bytes: word 0, zero CNOC, CNT (6, 0, 4, 0),
//   1, the byte count after word 0 and the records; each record is
//   (offset, length) and its bytes.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cfg.h"
#include "msg.h"
#include "pb.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_qv_hipmmio_frame_mgr.h"
#include "varno_qv_hnocmmio_frame_mgr.h"
#include "varno_test.h"
#include "varno_util.h"
#include "vold.h"

namespace {

const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/mmio";
using BYTES = std::vector<u8>;
using SEGS = std::vector<VARNO_MMIO_SEG_INFO>;

// ---- Bytes ------------------------------------------------------------------------

BYTES le(std::initializer_list<u32> words) {
  BYTES out;
  for (u32 w : words)
    for (u32 i = 0; i < 4; ++i) out.push_back(static_cast<u8>(w >> (8 * i)));
  return out;
}

BYTES cat(std::initializer_list<BYTES> parts) {
  BYTES out;
  for (const BYTES& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

BYTES zeros(size_t n) { return BYTES(n, 0); }

BYTES cnoc(u32 len, u8 x, u8 y) {
  return {static_cast<u8>(len), static_cast<u8>(len >> 8), x, y, 0, 0, 0, 0};
}

BYTES cnt(u8 op, u32 len, u8 areg, u32 offset) {
  return cat({{op, static_cast<u8>(len), static_cast<u8>(len >> 8), areg}, le({offset})});
}

BYTES slice(const BYTES& data, size_t from, size_t n) {
  return BYTES(data.begin() + from, data.begin() + from + n);
}

// Byte i holds i mod 256.
BYTES counting(size_t n) {
  BYTES out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<u8>(i);
  return out;
}

// The fixed part of an MMIO2 frame of T bytes with sequence byte seq.
BYTES mmio2_head(u32 seq, u32 T) {
  return cat({le({seq | ((T - 4) / 4) << 8}), zeros(8), cnt(6, 0, 4, 0), le({1, T - 20})});
}

const BYTES kInterruptWait = le({0x202B, 0, 0});
const BYTES kSeparator = cat({le({0x2020}), zeros(8), cnt(6, 0, 1, 0), le({0x3035, 1})});

// ---- Device -----------------------------------------------------------------------

// The library does not map the MMIO frame types to these managers yet.
class MMIO_MANAGERS {
 public:
  MMIO_MANAGERS() {
    varno_set_frame_mgr_hook([](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
      if (type == VOLD_FRAME_QV_HIP_MMIO) return new VARNO_QV_HIPMMIO_FRAME_MGR();
      if (type == VOLD_FRAME_QV_HNOC_MMIO || type == VOLD_FRAME_QV_HNOC_AXI4LITE)
        return new VARNO_QV_HNOCMMIO_FRAME_MGR();
      return nullptr;
    });
  }
  ~MMIO_MANAGERS() { varno_set_frame_mgr_hook({}); }
};

class VARIANT_DIR {
 public:
  using EDIT = std::tuple<std::string, std::string, std::string>;  // file, from, to
  explicit VARIANT_DIR(const std::vector<EDIT>& edits) {
    char name[] = "/tmp/varno_mmio_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    m_path = name;
    for (const auto& entry : std::filesystem::directory_iterator(kDir)) {
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      std::string s = text.str();
      for (const auto& [file, from, to] : edits) {
        if (file != entry.path().filename().string()) continue;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) s.replace(at, from.size(), to);
      }
      std::ofstream(m_path + "/" + entry.path().filename().string()) << s;
    }
  }
  ~VARIANT_DIR() { std::filesystem::remove_all(m_path); }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

struct MMIO_DEVICE {
  u32 load(const std::string& dir) {
    m_top.reset(varno_get_factory()->create_generator());
    m_top->set_family_pcf(dir + "/mmio_family.ddb");
    m_top->set_device_pcf(dir + "/mmio_device.ddb");
    return m_top->process_pcfs(false, false, false, nullptr, 0);
  }
  VARNO_GEN* sector(u32 x, u32 y) {
    return dynamic_cast<VARNO_GEN*>(m_top->get_meta_block("SECTOR_ARRAY", x, y)->generator());
  }
  VARNO_DBLOCK* block(u32 x, u32 y, const char* name) {
    return dynamic_cast<VARNO_DBLOCK*>(sector(x, y)->get_block(name, false));
  }
  VARNO_QV_HIPMMIO_FRAME_MGR* mgr(u32 x, u32 y, const char* name) {
    return dynamic_cast<VARNO_QV_HIPMMIO_FRAME_MGR*>(block(x, y, name)->get_frame_mgr());
  }
  // Sets the block's data and builds the sector.
  VARNO_DBLOCK* build(u32 x, u32 y, const char* name, BYTES& data) {
    VARNO_DBLOCK* b = block(x, y, name);
    b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), static_cast<u32>(data.size() * 8), nullptr);
    EXPECT_TRUE(sector(x, y)->do_all_blocks());
    return b;
  }
  static BYTES frame(VARNO_DBLOCK* block, u32 i) {
    BYTES out(block->get_frame_size(i));
    if (!out.empty()) block->get_frame_data(i, out.data());
    return out;
  }
  static std::vector<BYTES> frames(VARNO_DBLOCK* block) {
    std::vector<BYTES> out;
    for (u32 i = 0; i < block->get_number_of_frames(); ++i) out.push_back(frame(block, i));
    return out;
  }
  static bool command(VARNO_DBLOCK* block, u32 i) {
    const VARNO_FRAME* f = block->get_frame(i);
    return f->m_command_flag && f->m_second_command_flag;
  }

  MMIO_MANAGERS m_managers;
  std::unique_ptr<VARNO_IGEN> m_top;
};

class HipMmio : public ::testing::Test, public MMIO_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), 0u) << VOLD_DATA_SERVER::last_error(); }
  void TearDown() override { cfg_clear(); }
};

// ---- Plain path -------------------------------------------------------------------

TEST_F(HipMmio, MorluChannelFramesCutWholePages) {
  // B = 3000: D = 2048, two frames of 1024 on channels 0 and 1; S = 16 + 16
  // + 1024 + 52 = 1108; the lead word counts (16 + 1024) / 4 = 260 words.
  BYTES data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u8>(i * 13 + 5);
  VARNO_DBLOCK* b = build(0, 0, "HIP_MMIO", data);
  const auto morlu3 = [](u32 channel_bit) {
    return le({1, 1108, 1, 0, 0, 0, 0, 0, 1, channel_bit, 1024, 0});
  };
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{
                cat({cnoc(1108, 7, 1), cnt(3, 256, 0, 0), le({0x10401}), zeros(8),
                     cnt(6, 1024, 4, 0), morlu3(1), slice(data, 0, 1024)}),
                cat({cnoc(1108, 7, 1), cnt(3, 256, 0, 0), le({0x10402}), zeros(8),
                     cnt(6, 1024, 4, 0), morlu3(2), slice(data, 1024, 1024)}),
                le({3, 0, 0, 0})}));
  EXPECT_EQ(mgr(0, 0, "HIP_MMIO")->frame_size(), 1024u);
}

TEST_F(HipMmio, MorluBelowOnePageGivesOnlyTheTrailer) {
  BYTES data(1024);
  VARNO_DBLOCK* b = build(0, 0, "HIP_MMIO", data);
  EXPECT_EQ(frames(b), std::vector<BYTES>{le({1, 0, 0, 0})});
}

TEST_F(HipMmio, MorluHasThirtyFourChannels) {
  BYTES data(35 * 2048);
  VARNO_DBLOCK* b = block(0, 0, "HIP_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), static_cast<u32>(data.size() * 8), nullptr);
  EXPECT_INTERNAL_ERROR(sector(0, 0)->do_all_blocks(), "frame_no < MORLU3_MAX_CH_COUNT");
  ASSERT_EQ(b->get_number_of_frames(), 34u);
  // Channels 24-27 are type 1 mapped to 0-3, 28-33 type 2 mapped to 0-5.
  const auto channel = [&](u32 i) {
    const BYTES f = frame(b, i);
    return VARNO_UTIL::get_dword_from_address(f.data() + 36 + 36);
  };
  EXPECT_EQ(channel(23), 1u << 23);
  EXPECT_EQ(channel(24), (1u << 24) | 1u);
  EXPECT_EQ(channel(27), (1u << 24) | 8u);
  EXPECT_EQ(channel(28), (2u << 24) | 1u);
  EXPECT_EQ(channel(33), (2u << 24) | 32u);
}

TEST_F(HipMmio, RawCommandFramesHaveNoTrailer) {
  // fs 16, B = 20: a full frame (S = 56) and a short one (S = 44); the outer
  // CNT length stays (16 + 3) / 4 words.
  BYTES data = counting(20);
  VARNO_DBLOCK* b = build(0, 0, "EHIP_MMIO", data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{
                           cat({cnoc(56, 7, 1), cnt(3, 4, 0, 0), le({0x2020}), zeros(8),
                                cnt(6, 0, 1, 0), le({0x3300}), slice(data, 0, 16)}),
                           cat({cnoc(44, 7, 1), cnt(3, 4, 0, 0), le({0x2020}), zeros(8),
                                cnt(6, 0, 1, 16), le({0x3300}), slice(data, 16, 4)})}));
}

TEST_F(HipMmio, AddressDataFramesOfFullFrames) {
  // R = 2, B = 8, base 0x100: D = 32, two full frames (CNT op 4), S = 52,
  // lead word (32 / 4) << 8 | sequence.
  BYTES data = le({0x11223344, 0x55667788});
  VARNO_DBLOCK* b = build(0, 0, "MMIO2", data);
  const BYTES buffer = le({2, 0, 0, 0, 0x400, 0x11223344, 0x404, 0x55667788});
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{cat({cnoc(52, 7, 1), cnt(3, 4, 0, 0), le({0x801}), zeros(8),
                                     cnt(4, 16, 5, 0), slice(buffer, 0, 16)}),
                                cat({cnoc(52, 7, 1), cnt(3, 4, 0, 0), le({0x802}), zeros(8),
                                     cnt(4, 16, 5, 16), slice(buffer, 16, 16)}),
                                le({3, 0, 0, 0})}));

  // Without headers the frame opens with the lead word.
  sector(0, 0)->get_mgr_param()->skip_headers = 1;
  EXPECT_TRUE(sector(0, 0)->do_all_blocks());
  EXPECT_EQ(frame(b, 0), cat({le({0x801}), zeros(8), cnt(4, 16, 5, 0), slice(buffer, 0, 16)}));
}

TEST_F(HipMmio, AddressDataShortLastFrame) {
  // B = 12: D = 40, the third frame carries the buffer's zero tail (P = 8),
  // with CNT op 6; its outer CNT length is still that of a full frame.
  BYTES data = le({1, 2, 3});
  VARNO_DBLOCK* b = build(0, 0, "MMIO2", data);
  ASSERT_EQ(b->get_number_of_frames(), 4u);
  EXPECT_EQ(frame(b, 1)[16 + 12], 4);
  EXPECT_EQ(frame(b, 2), cat({cnoc(44, 7, 1), cnt(3, 4, 0, 0), le({0x603}), zeros(8),
                              cnt(6, 8, 5, 32), zeros(8)}));
  EXPECT_EQ(frame(b, 3), le({4, 0, 0, 0}));
}

TEST_F(HipMmio, PartialBuildRefusesAShortLastWord) {
  BYTES whole = le({1, 2});
  VARNO_DBLOCK* b = build(0, 0, "MMIO2", whole);
  // 40 bits are two registers for a 26-byte address/data buffer that has
  // room for one pair only; the partial build checks the words itself.
  auto data = std::make_unique<u8[]>(5);
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.get(), 40, nullptr);
  b->clear_frames();
  EXPECT_INTERNAL_ERROR(b->partial_process(0, 0), "Mismatch in user data size");
  EXPECT_EQ(b->get_number_of_frames(), 0u);
}

TEST_F(HipMmio, UserDataChecks) {
  VARNO_DBLOCK* b = block(0, 0, "HIP_MMIO");
  BYTES data(64);
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 33, nullptr);
  EXPECT_INTERNAL_ERROR(sector(0, 0)->do_all_blocks(), "Mismatch in user data size");
  // 9 words hold fewer than the 10 registers of row 0.
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 9 * 32, nullptr);
  EXPECT_INTERNAL_ERROR(sector(0, 0)->do_all_blocks(), "config_regs_cnt <= user_data_wrds");
  // Without data there is nothing to frame.
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, nullptr, 0, nullptr);
  EXPECT_TRUE(b->get_frame_mgr()->create_frames(b, b->get_block_config()));
  EXPECT_EQ(b->get_number_of_frames(), 0u);
}

TEST(HipMmioDevice, HeaderBlocksComeFromTheDeviceLevel) {
  // The sectors keep their own CNT_HEADER; the device level has none.
  VARIANT_DIR dir({{"mmio_family.ddb", "block CNT_HEADER option", "block CNT_FW option"}});
  MMIO_DEVICE d;
  EXPECT_INTERNAL_ERROR(d.load(dir.path()), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
}

TEST(HipMmioDevice, PlainPathRefusesFramesOfNoBytes) {
  VARIANT_DIR dir({{"quelvo_sector_family_vold.ddb", "frame=QV_HIP_MMIO w2=4 w6=2",
                    "frame=QV_HIP_MMIO w2=0 w6=2"}});
  MMIO_DEVICE d;
  ASSERT_EQ(d.load(dir.path()), 0u);
  BYTES data(16);
  d.block(0, 0, "EHIP_MMIO")->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 128, nullptr);
  EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(), "m_frame_size > 0");
}

// ---- MMIO2: image segments ----------------------------------------------------------

TEST_F(HipMmio, WhrCutsOneSegmentAcrossFrames) {
  // One segment [64, 164), F = 64: 28 data bytes per frame, then 16 bytes in
  // a 52-byte frame. Address/data mode: a trailer follows with word 0 = 5.
  BYTES data = counting(168);
  VARNO_DBLOCK* b = build(1, 0, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{cat({mmio2_head(1, 64), le({64, 28}), slice(data, 64, 28)}),
                                cat({mmio2_head(2, 64), le({92, 28}), slice(data, 92, 28)}),
                                cat({mmio2_head(3, 64), le({120, 28}), slice(data, 120, 28)}),
                                cat({mmio2_head(4, 52), le({148, 16}), slice(data, 148, 16)}),
                                le({5, 0, 0, 0})}));
  EXPECT_EQ(frame(b, 0)[0], 1);
  EXPECT_EQ(frame(b, 0)[1], 15);
  EXPECT_EQ(frame(b, 3)[1], 12);
  for (u32 i = 0; i < 5; ++i) EXPECT_FALSE(b->get_frame(i)->m_command_flag);
}

TEST_F(HipMmio, WhrSingleSegmentFlag) {
  // Segments [64, 72) and [128, 136) fit one frame of 28 + 16 + 16 bytes.
  cfg_scoped_value size("varno_whr_mmio2_frame_size", "64");
  // The WHR tile has no interrupt waits whatever the RNR key says.
  cfg_scoped_value wait("varno_enable_rnr_mmio2_interrupt_wait", "on");
  BYTES data = counting(160);
  VARNO_DBLOCK* b = build(1, 0, "MMIO2", data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{cat({mmio2_head(1, 60), le({64, 8}), slice(data, 64, 8),
                                                le({128, 8}), slice(data, 128, 8)}),
                                           le({2, 0, 0, 0})}));
  EXPECT_FALSE(mgr(1, 0, "MMIO2")->interrupt_wait());

  cfg_scoped_value single("varno_mmio_single_segment", "on");
  EXPECT_TRUE(sector(1, 0)->do_all_blocks());
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{cat({mmio2_head(1, 44), le({64, 8}), slice(data, 64, 8)}),
                                cat({mmio2_head(2, 44), le({128, 8}), slice(data, 128, 8)}),
                                le({3, 0, 0, 0})}));
}

TEST_F(HipMmio, SequenceByteWrapsAfter255Frames) {
  // One segment of 7200 bytes at F = 64: 257 frames of 28 bytes and one of 4.
  // Raw command mode: no trailer. Row 0 counts 1801 registers, so the data
  // holds one word past the segment.
  cfg_scoped_value size("varno_whr_mmio2_frame_size", "64");
  BYTES data = counting(7204);
  VARNO_DBLOCK* b = build(1, 0, "EHIP_MMIO", data);
  ASSERT_EQ(b->get_number_of_frames(), 258u);
  EXPECT_EQ(slice(frame(b, 254), 0, 4), le({0x0FFF}));
  EXPECT_EQ(slice(frame(b, 255), 0, 4), le({0x0F00}));
  EXPECT_EQ(slice(frame(b, 256), 0, 4), le({0x0F01}));
  EXPECT_EQ(frame(b, 257), cat({mmio2_head(2, 40), le({7196, 4}), slice(data, 7196, 4)}));
}

TEST_F(HipMmio, MmioFrameSizeMustLeaveRoomForData) {
  BYTES data = counting(160);
  VARNO_DBLOCK* b = block(1, 0, "MMIO2");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 160 * 8, nullptr);
  // The block's own 16 bytes, 16 + 20 bytes, and a negative size.
  EXPECT_INTERNAL_ERROR(sector(1, 0)->do_all_blocks(), "mmio2_frame_size > m_header_bytes + 20");
  for (const char* size : {"36", "-64"}) {
    cfg_scoped_value key("varno_whr_mmio2_frame_size", size);
    EXPECT_INTERNAL_ERROR(sector(1, 0)->do_all_blocks(), "mmio2_frame_size > m_header_bytes + 20");
  }
  cfg_scoped_value key("varno_whr_mmio2_frame_size", "37");
  EXPECT_TRUE(sector(1, 0)->do_all_blocks());
  // One data byte per frame.
  EXPECT_EQ(b->get_number_of_frames(), 17u);
}

TEST_F(HipMmio, SegmentsMustLieInTheUserData) {
  BYTES data = counting(160);  // the segment ends at 164
  VARNO_DBLOCK* b = block(1, 0, "CRYPTO_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 160 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(sector(1, 0)->do_all_blocks(),
                        "(seg_size + start_offset) <= user_data_size");
}

TEST(HipMmioDevice, SegmentOffsetDoesNotWrap) {
  // Word offset 0x40000000 is byte 2^32: in 32 bits it would read the
  // segment from byte 0.
  VARIANT_DIR dir({{"qv_sector_f1.ddb", "width=4 0 25 0x10 5", "width=4 0 25 0x40000000 5"}});
  MMIO_DEVICE d;
  ASSERT_EQ(d.load(dir.path()), 0u);
  BYTES data = counting(168);
  d.block(1, 0, "CRYPTO_MMIO")
      ->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 168 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(d.sector(1, 0)->do_all_blocks(),
                        "(seg_size + start_offset) <= user_data_size");
}

TEST_F(HipMmio, RnrWritesRowsInTableOrderWithInterruptWaits) {
  // Rows [16, 24) then [0, 8).
  BYTES data = counting(24);
  VARNO_DBLOCK* b = build(2, 0, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{cat({mmio2_head(1, 60), le({16, 8}), slice(data, 16, 8),
                                                le({0, 8}), slice(data, 0, 8)}),
                                           kInterruptWait, le({2, 0, 0, 0})}));
  EXPECT_FALSE(command(b, 0));
  EXPECT_TRUE(command(b, 1));
  EXPECT_FALSE(command(b, 2));

  // Frames of 44 bytes hold one record each.
  cfg_scoped_value size("varno_rnr_mmio2_frame_size", "44");
  EXPECT_TRUE(sector(2, 0)->do_all_blocks());
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{cat({mmio2_head(1, 44), le({16, 8}), slice(data, 16, 8)}),
                                kInterruptWait,
                                cat({mmio2_head(2, 44), le({0, 8}), slice(data, 0, 8)}),
                                kInterruptWait, le({3, 0, 0, 0})}));

  cfg_scoped_value wait("varno_enable_rnr_mmio2_interrupt_wait", "off");
  EXPECT_TRUE(sector(2, 0)->do_all_blocks());
  EXPECT_EQ(b->get_number_of_frames(), 3u);
}

TEST_F(HipMmio, RangesMeetEveryRowInRowOrder) {
  // Rows [16, 24) then [0, 8). The range [4, 20) has a piece in both rows,
  // the second lying before the first; an empty range yields one empty
  // record where a row holds its start.
  BYTES data = counting(24);
  VARNO_DBLOCK* b = build(2, 0, "CRYPTO_MMIO", data);
  VARNO_QV_HIPMMIO_FRAME_MGR* m = mgr(2, 0, "CRYPTO_MMIO");
  b->clear_frames();
  u32 count = 7;
  m->generate_mmio2_frames_from_addr_range(b, {{4, 20}, {6, 6}}, data.data(), 24, 2, 64, count);
  EXPECT_EQ(count, 8u);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{cat({mmio2_head(8, 60), le({16, 4}), slice(data, 16, 4),
                                                le({4, 4}), slice(data, 4, 4), le({6, 0})}),
                                           kInterruptWait}));
  EXPECT_INTERNAL_ERROR(
      m->generate_mmio2_frames_from_addr_range(b, {{8, 4}}, data.data(), 24, 2, 64, count),
      "end_addr >= addr.start_offset");
  EXPECT_INTERNAL_ERROR(
      m->generate_mmio2_frames_from_addr_range(b, {{8, 30}}, data.data(), 24, 2, 64, count),
      "end_addr <= user_data_size");
  // The row [16, 24) ends past 20 bytes of data.
  EXPECT_INTERNAL_ERROR(
      m->generate_mmio2_frames_from_addr_range(b, {{0, 4}}, data.data(), 20, 2, 64, count),
      "valid_end_offset <= user_data_size");
}

TEST(HipMmioDevice, EmptyRowStartingInsideARangeIsItsFirstRecord) {
  // Rows [16, 24), [12, 12) and [0, 8). The empty row is the first piece of
  // [10, 14) and gives an empty record; after a range's first piece, and at
  // a range's start, it gives none.
  VARIANT_DIR dir({{"qv_sector_f6.ddb", "data 0 2 0 7", "data 5 5 3 7\ndata 0 2 0 7"}});
  MMIO_DEVICE d;
  ASSERT_EQ(d.load(dir.path()), 0u);
  VARNO_DBLOCK* b = d.block(2, 0, "CRYPTO_MMIO");
  BYTES data = counting(24);
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 24 * 8, nullptr);
  u32 count = 0;
  d.mgr(2, 0, "CRYPTO_MMIO")
      ->generate_mmio2_frames_from_addr_range(b, {{4, 20}, {10, 14}, {12, 14}}, data.data(), 24, 3,
                                              64, count);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(MMIO_DEVICE::frames(b),
            (std::vector<BYTES>{cat({mmio2_head(1, 60), le({16, 4}), slice(data, 16, 4),
                                     le({4, 4}), slice(data, 4, 4), le({12, 0})})}));
}

TEST_F(HipMmio, Mmio2FrameLengthFitsSixteenBits) {
  // A frame of T bytes counts (T - 4) / 4 words in 16 bits: 0x40000 bytes
  // is the largest.
  cfg_scoped_value size("varno_whr_mmio2_frame_size", "64");
  BYTES data = counting(0x40000);
  VARNO_DBLOCK* b = build(1, 0, "MMIO2", data);
  VARNO_QV_HIPMMIO_FRAME_MGR* m = mgr(1, 0, "MMIO2");
  b->clear_frames();
  u32 count = 0;
  m->generate_mmio2_frames(b, data.data(), {{0, 0x3FFDC}}, count, 0x40000);
  EXPECT_EQ(slice(frame(b, 0), 0, 4), le({0xFFFF01}));
  EXPECT_INTERNAL_ERROR(m->generate_mmio2_frames(b, data.data(), {{0, 0x3FFE0}}, count, 0x40004),
                        "data_len_words < 0x10000");
  // A piece past the user data, or records that do not fill the frame.
  EXPECT_INTERNAL_ERROR(m->generate_mmio2_frames(b, data.data(), {{0x3FFFC, 0x40004}}, count, 44),
                        "piece.end <= user_data_size");
  EXPECT_INTERNAL_ERROR(m->generate_mmio2_frames(b, data.data(), {{0, 8}}, count, 64),
                        "mmio2_frame_bytes == records_bytes");
  EXPECT_EQ(count, 1u);
}

// ---- MMIO2: GDR address ranges --------------------------------------------------------

const u32 kGdrBytes = 0x3100000;

TEST_F(HipMmio, GdrAddressRangesInListOrder) {
  // A: [0x2000E0, 0x2000E4) and [0x2000E8, 0x2000F0) (list 6 cut out);
  // list 3: [0x2FF0004, +4); list 4: [0x2AC0004, +4), which lies before the
  // row of the list-3 piece; the separator; E: [0x2AC0000, +4),
  // [0x2AC0008, +8), [0x2FF0000, +4), [0x2FF0008, +4). Interrupt waits follow
  // every MMIO2 frame.
  BYTES data = counting(kGdrBytes);
  VARNO_DBLOCK* b = build(0, 1, "CRYPTO_MMIO", data);
  const std::vector<BYTES> expected = {
      cat({mmio2_head(1, 56), le({0x2000E0, 4}), {0xE0, 0xE1, 0xE2, 0xE3}, le({0x2000E8, 8}),
           {0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF}}),
      kInterruptWait,
      cat({mmio2_head(2, 40), le({0x2FF0004, 4}), {4, 5, 6, 7}}),
      kInterruptWait,
      cat({mmio2_head(3, 40), le({0x2AC0004, 4}), {4, 5, 6, 7}}),
      kInterruptWait,
      kSeparator,
      cat({mmio2_head(4, 56), le({0x2AC0000, 4}), {0, 1, 2, 3}, le({0x2AC0008, 8}),
           {8, 9, 10, 11, 12, 13, 14, 15}}),
      kInterruptWait,
      cat({mmio2_head(5, 52), le({0x2FF0000, 4}), {0, 1, 2, 3}, le({0x2FF0008, 4}),
           {8, 9, 10, 11}}),
      kInterruptWait,
      le({6, 0, 0, 0})};
  EXPECT_EQ(frames(b), expected);
  EXPECT_TRUE(command(b, 6));
}

TEST_F(HipMmio, GdrTileNineExcludesItsOwnRange) {
  // The segment [0x3061960, 0x30619B0) keeps [0x3061960, 0x306196C) and
  // [0x30619AC, 0x30619B0) around the tile-9 range [0x306196C, 0x30619AC).
  BYTES data = counting(kGdrBytes);
  VARNO_DBLOCK* b = build(1, 1, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{kSeparator,
                                cat({mmio2_head(1, 60), le({0x3061960, 12}),
                                     slice(data, 0x3061960, 12), le({0x30619AC, 4}),
                                     {0xAC, 0xAD, 0xAE, 0xAF}}),
                                kInterruptWait, le({2, 0, 0, 0})}));
}

TEST_F(HipMmio, GdrRangesMustLieInTheUserData) {
  BYTES data = counting(64);
  VARNO_DBLOCK* b = block(0, 1, "CRYPTO_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 64 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(sector(0, 1)->do_all_blocks(), "addr.start_offset < user_data_size");
}

TEST(HipMmioRanges, SkipAddrRangesBuildsTheGdrLists) {
  VARNO_QV_HIPMMIO_FRAME_MGR mgr;
  const SEGS a = mgr.skip_addr_ranges({{0x200000, 0x20FFFC}},
                                      {{0x2000E4, 0x2000E8}, {0x2000F0, 0x200114}});
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(std::make_pair(a[0].start, a[0].end), std::make_pair(0x200000u, 0x2000E4u));
  EXPECT_EQ(std::make_pair(a[1].start, a[1].end), std::make_pair(0x2000E8u, 0x2000F0u));
  EXPECT_EQ(std::make_pair(a[2].start, a[2].end), std::make_pair(0x200114u, 0x20FFFCu));

  SEGS e = mgr.skip_addr_ranges({{0x2000000, 0x3100000}}, {{0x2AC0004, 0x2AC0008}});
  e = mgr.skip_addr_ranges(e, {{0x2C70054, 0x2C7008C}, {0x2D70054, 0x2D7008C},
                               {0x2E70054, 0x2E7008C}, {0x2F70054, 0x2F7008C},
                               {0x3061964, 0x306199C}, {0x30F0400, 0x30F0404}});
  e = mgr.skip_addr_ranges(e, {{0x2C72000, 0x2C85028}, {0x2D72000, 0x2D85028},
                               {0x2E72000, 0x2E85028}, {0x2F72000, 0x2F85028}});
  e = mgr.skip_addr_ranges(e, {{0x2CF0004, 0x2CF0008}, {0x2DF0004, 0x2DF0008},
                               {0x2EF0004, 0x2EF0008}, {0x2FF0004, 0x2FF0008}});
  ASSERT_EQ(e.size(), 16u);
  EXPECT_EQ(std::make_pair(e[0].start, e[0].end), std::make_pair(0x2000000u, 0x2AC0004u));
  EXPECT_EQ(std::make_pair(e[1].start, e[1].end), std::make_pair(0x2AC0008u, 0x2C70054u));
  EXPECT_EQ(std::make_pair(e[13].start, e[13].end), std::make_pair(0x2FF0008u, 0x3061964u));
  EXPECT_EQ(std::make_pair(e[15].start, e[15].end), std::make_pair(0x30F0404u, 0x3100000u));
  for (size_t i = 1; i < e.size(); ++i) EXPECT_LT(e[i - 1].end, e[i].start);
}

TEST(HipMmioRanges, SkipAddrRangesKeepsEmptyHalvesAndCountsSkips) {
  VARNO_QV_HIPMMIO_FRAME_MGR mgr;
  const SEGS r = mgr.skip_addr_ranges({{0, 10}}, {{0, 4}});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(std::make_pair(r[0].start, r[0].end), std::make_pair(0u, 0u));
  EXPECT_EQ(std::make_pair(r[1].start, r[1].end), std::make_pair(4u, 10u));
  const char* text =
      "The number of address range that need to be excluded does not match the actual number of "
      "address range that has been excluded.";
  // A skip inside no range, and one inside two.
  EXPECT_INTERNAL_ERROR(mgr.skip_addr_ranges({{0, 10}}, {{8, 12}}), text);
  EXPECT_INTERNAL_ERROR(mgr.skip_addr_ranges({{0, 10}, {0, 10}}, {{2, 4}}), text);
  EXPECT_TRUE(VARNO_QV_HIPMMIO_FRAME_MGR::compare_start_offset({1, 0}, {0x80000000u, 0}));
  EXPECT_FALSE(VARNO_QV_HIPMMIO_FRAME_MGR::compare_start_offset({0x80000000u, 0}, {1, 0}));
}

// ---- MMIO2: programming sequence ----------------------------------------------------

PB::BLOCK_SECTION* add_section(PB::BLOCKS_PROGRAMMING_SEQUENCE& seq, const std::string& name,
                               const std::string& type,
                               std::initializer_list<std::pair<u32, u32>> ranges) {
  PB::PROGRAMMING_SECTION* section = seq.add_sections();
  section->set_name(name);
  PB::BLOCK_SECTION* block = section->add_block_sections();
  block->set_type(type);
  for (const auto& [offset, length] : ranges) {
    PB::REGISTER_RANGE* range = block->add_register_ranges();
    range->set_offset(offset);
    range->set_length(length);
  }
  return block;
}

TEST_F(HipMmio, GdrProgrammingSequenceWithSeparator) {
  // (0, 4), separator, (8, 2): a pack of [0, 16), the separator, a pack of
  // [32, 40), the frame counter going on.
  PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
  add_section(seq, "k3104a", "MMIO", {{0, 4}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {8, 2}});
  BYTES data = counting(64);
  VARNO_DBLOCK* b = block(0, 1, "CRYPTO_MMIO");
  b->set_programming_seq_vdata(&seq);
  std::vector<std::string> lines;
  msg_set_debug_sink([&](const char*, int level, const std::string& text) {
    if (level == 2) lines.push_back(text);
  });
  build(0, 1, "CRYPTO_MMIO", data);
  msg_set_debug_sink({});
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{cat({mmio2_head(1, 52), le({0, 16}), slice(data, 0, 16)}),
                                kInterruptWait, kSeparator,
                                cat({mmio2_head(2, 44), le({32, 8}), slice(data, 32, 8)}),
                                kInterruptWait, le({3, 0, 0, 0})}));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Block Section Type : MMIO"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Total number of mmio2 frames generated : 2"),
            lines.end());

  // With the key off the GDR address ranges are written, which this data
  // does not reach.
  cfg_scoped_value key("varno_gdr_mmio2_frm_prog_seq", "off");
  EXPECT_INTERNAL_ERROR(sector(0, 1)->do_all_blocks(), "addr.start_offset < user_data_size");
}

TEST_F(HipMmio, RnrProgrammingSequenceOfItsVariant) {
  // Tile 8 reads the section "k3117b" only; ranges in sequence order.
  PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
  add_section(seq, "k3117a", "MMIO", {{0, 1}});
  add_section(seq, "k3117b", "MMIO", {{2, 1}, {0, 1}});
  BYTES data = counting(16);
  VARNO_DBLOCK* b = block(2, 1, "CRYPTO_MMIO");
  b->set_programming_seq_vdata(&seq);
  build(2, 1, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{cat({mmio2_head(1, 52), le({8, 4}), slice(data, 8, 4),
                                                le({0, 4}), slice(data, 0, 4)}),
                                           kInterruptWait, le({2, 0, 0, 0})}));
}

TEST_F(HipMmio, ProgrammingSequenceFailures) {
  BYTES data = counting(16);
  VARNO_DBLOCK* b = block(2, 1, "CRYPTO_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 16 * 8, nullptr);
  const auto run = [&](const PB::BLOCKS_PROGRAMMING_SEQUENCE& seq) {
    b->set_programming_seq_vdata(&seq);
    return sector(2, 1)->do_all_blocks();
  };
  {
    // No section of the variant: no MMIO2 frame, only the trailer.
    PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
    add_section(seq, "k3117a", "MMIO", {{0, 1}});
    EXPECT_TRUE(run(seq));
    EXPECT_EQ(frames(b), std::vector<BYTES>{le({1, 0, 0, 0})});
  }
  {
    PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
    add_section(seq, "k3117b", "CSR", {{0, 1}});
    EXPECT_INTERNAL_ERROR(run(seq), "Fail to locate the expected programming sequence for MMIO");
  }
  {
    PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
    add_section(seq, "k3117b", "MMIO", {{0, 1}});
    seq.mutable_sections(0)->add_block_sections()->set_type("MMIO");
    EXPECT_INTERNAL_ERROR(run(seq), "Fail to locate the expected programming sequence for MMIO");
  }
  // Outside the GDR tiles all ones is an ordinary range; and (0x3FFFFFFF, 2)
  // ends at byte 2^32 + 4, which 32 bits would take for byte 4.
  for (const std::pair<u32, u32>& range :
       {std::pair<u32, u32>{0xFFFFFFFFu, 0xFFFFFFFFu}, {0x3FFFFFFFu, 2}, {3, 2}}) {
    PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
    add_section(seq, "k3117b", "MMIO", {range});
    EXPECT_INTERNAL_ERROR(run(seq), "(seg_size + start_offset) <= user_data_size");
  }
}

}  // namespace
