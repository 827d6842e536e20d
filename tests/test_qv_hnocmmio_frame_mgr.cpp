// HNOC MMIO frames of real sectors loaded from tests/data/mmio. Expected bytes
// are derived by hand from the fixtures:
//   sector "cl" is grid (0, 0) with CNOC address (7, 1); sector "fc" is grid
//   (0, 1) with CNOC address (2, 0). Both have the HNOC_MMIO rows
//     id 1: 100 bytes at 0 (address 0xA000), 8 bytes at 128 (0xB000);
//     id 0: 8 bytes at 160 (0xC000), 8 bytes at 192 (0xD000).
//   Frames are 64 bytes at most: [1, T, then (address, length, bytes) per
//   record].
#include <unistd.h>

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
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_qv_hipmmio_frame_mgr.h"
#include "varno_qv_hnocmmio_frame_mgr.h"
#include "varno_test.h"
#include "vold.h"

namespace {

const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/mmio";
using BYTES = std::vector<u8>;

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

BYTES slice(const BYTES& data, size_t from, size_t n) {
  return BYTES(data.begin() + from, data.begin() + from + n);
}

BYTES counting(size_t n) {
  BYTES out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<u8>(i);
  return out;
}

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
    char name[] = "/tmp/varno_hnoc_XXXXXX";
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

struct HNOC_DEVICE {
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
  VARNO_DBLOCK* build(u32 x, u32 y, const char* name, BYTES& data) {
    VARNO_DBLOCK* b = block(x, y, name);
    b->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, data.data(), static_cast<u32>(data.size() * 8),
                nullptr);
    EXPECT_TRUE(sector(x, y)->do_all_blocks());
    return b;
  }
  static std::vector<BYTES> frames(VARNO_DBLOCK* block) {
    std::vector<BYTES> out;
    for (u32 i = 0; i < block->get_number_of_frames(); ++i) {
      BYTES f(block->get_frame_size(i));
      block->get_frame_data(i, f.data());
      out.push_back(f);
    }
    return out;
  }

  MMIO_MANAGERS m_managers;
  std::unique_ptr<VARNO_IGEN> m_top;
};

class HnocMmio : public ::testing::Test, public HNOC_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), 0u) << VOLD_DATA_SERVER::last_error(); }
  void TearDown() override { cfg_clear(); }
  BYTES m_data = counting(256);
};

TEST_F(HnocMmio, SectorOutsideGridRowOneTakesIdOne) {
  // Grid row 0 (CNOC row 1): rows 0 and 1. The 100-byte segment goes 48
  // bytes per frame, its address advancing; the last 4 bytes share a frame
  // with the 8 bytes of row 1.
  VARNO_DBLOCK* b = build(0, 0, "HNOC_MMIO", m_data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{cat({le({1, 64, 0xA000, 48}), slice(m_data, 0, 48)}),
                                cat({le({1, 64, 0xA030, 48}), slice(m_data, 48, 48)}),
                                cat({le({1, 36, 0xA060, 4}), slice(m_data, 96, 4),
                                     le({0xB000, 8}), slice(m_data, 128, 8)})}));
  // No command or trailer frames.
  for (u32 i = 0; i < 3; ++i) EXPECT_FALSE(b->get_frame(i)->m_command_flag);
  auto* mgr = dynamic_cast<VARNO_QV_HNOCMMIO_FRAME_MGR*>(b->get_frame_mgr());
  ASSERT_NE(mgr, nullptr);
  EXPECT_EQ(mgr->sector_grid_row(), 0u);
  EXPECT_EQ(mgr->frame_size(), 64u);
}

TEST_F(HnocMmio, SectorOfGridRowOneTakesIdZero) {
  // Grid row 1 (CNOC row 0): rows 2 and 3 in one frame of 8 + 16 + 16 bytes.
  VARNO_DBLOCK* b = build(0, 1, "HNOC_MMIO", m_data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{cat({le({1, 40, 0xC000, 8}), slice(m_data, 160, 8),
                                                le({0xD000, 8}), slice(m_data, 192, 8)})}));

  cfg_scoped_value single("varno_mmio_single_segment", "on");
  EXPECT_TRUE(sector(0, 1)->do_all_blocks());
  EXPECT_EQ(frames(b), (std::vector<BYTES>{cat({le({1, 24, 0xC000, 8}), slice(m_data, 160, 8)}),
                                           cat({le({1, 24, 0xD000, 8}), slice(m_data, 192, 8)})}));
}

TEST_F(HnocMmio, RowsOfOneIdNeedNotBeAdjacent) {
  // AXI4-Lite rows with ids 1, 0, 1: grid row 0 writes rows 0 and 2, not the
  // row of id 0 between them.
  VARNO_DBLOCK* b = build(0, 0, "HNOC_AXI4LITE", m_data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{cat({le({1, 40, 0x100, 8}), slice(m_data, 0, 8),
                                                le({0x300, 8}), slice(m_data, 32, 8)})}));
  u32 count = 0;
  u32 first = 0;
  auto* mgr = dynamic_cast<VARNO_QV_HNOCMMIO_FRAME_MGR*>(b->get_frame_mgr());
  mgr->get_hnoc_seg_info(b, 0, count, first);
  EXPECT_EQ(std::make_pair(count, first), std::make_pair(1u, 1u));
  mgr->get_hnoc_seg_info(b, 7, count, first);
  EXPECT_EQ(std::make_pair(count, first), std::make_pair(0u, 0u));
}

TEST_F(HnocMmio, UserDataChecks) {
  VARNO_DBLOCK* b = block(0, 0, "HNOC_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, m_data.data(), 33, nullptr);
  EXPECT_INTERNAL_ERROR(sector(0, 0)->do_all_blocks(), "Mismatch in user data size");
  // Row 1 ends at byte 136.
  b->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, m_data.data(), 132 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(sector(0, 0)->do_all_blocks(),
                        "(seg_size + start_offset) <= user_data_size");
  b->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, nullptr, 0, nullptr);
  EXPECT_TRUE(sector(0, 0)->do_all_blocks());
  EXPECT_EQ(b->get_number_of_frames(), 0u);
}

TEST(HnocMmioDevice, FrameSizeMustLeaveRoomForData) {
  // 16-byte frames hold a frame header and a record header, and no data.
  VARIANT_DIR dir({{"quelvo_sector_family_vold.ddb", "frame=QV_HNOC_MMIO w2=16",
                    "frame=QV_HNOC_MMIO w2=4"}});
  HNOC_DEVICE d;
  ASSERT_EQ(d.load(dir.path()), 0u);
  BYTES data = counting(256);
  d.block(0, 0, "HNOC_MMIO")->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, data.data(), 256 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(), "mmio2_frame_size > 16");
}

TEST(HnocMmioDevice, SegmentWordsDoNotWrap) {
  // Word offset 0x3FFFFFFF puts the row at byte 2^32 - 4, past the data; an
  // end word below the first word is no segment.
  {
    VARIANT_DIR dir({{"qv_sector_cl.ddb", "width=6 0 25 0 0 0xA000 1",
                      "width=6 1 25 0x3FFFFFFF 0 0xA000 1"}});
    HNOC_DEVICE d;
    ASSERT_EQ(d.load(dir.path()), 0u);
    BYTES data = counting(256);
    d.block(0, 0, "HNOC_MMIO")
        ->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, data.data(), 256 * 8, nullptr);
    EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(),
                          "(seg_size + start_offset) <= user_data_size");
  }
  {
    VARIANT_DIR dir({{"qv_sector_cl.ddb", "width=6 0 25 0 0 0xA000 1",
                      "width=6 25 0 0 0 0xA000 1"}});
    HNOC_DEVICE d;
    ASSERT_EQ(d.load(dir.path()), 0u);
    BYTES data = counting(256);
    d.block(0, 0, "HNOC_MMIO")
        ->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, data.data(), 256 * 8, nullptr);
    EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(), "seg_end_word >= seg_start_word");
  }
}

TEST(HnocMmioDevice, HeaderBlocksAreRequired) {
  VARIANT_DIR dir({{"mmio_family.ddb", "block CNOC_HEADER option", "block CNT_FW option"}});
  HNOC_DEVICE d;
  EXPECT_INTERNAL_ERROR(d.load(dir.path()), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
}

}  // namespace
