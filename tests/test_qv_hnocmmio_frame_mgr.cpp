// HNOC MMIO frames of real sectors loaded from tests/data/mmio. Expected bytes
// are derived by hand from the fixtures:
//   sector "cl" is grid (0, 0) with CNOC address (7, 1); sector "fc" is grid
//   (0, 1) with CNOC address (2, 0). Both have the HNOC_MMIO rows
//     id 1: 100 bytes at 0 (address 0xA000), 8 bytes at 128 (0xB000);
//     id 0: 8 bytes at 160 (0xC000), 8 bytes at 192 (0xD000).
//   Frames are 64 bytes at most: [1, T, then (address, length, bytes) per
//   record].
#include <utility>
#include <vector>

#include "mmio_device.h"
#include "varno_qv_hnocmmio_frame_mgr.h"

namespace {

class HnocMmio : public MmioTest {
 protected:
  // Sets the block's data and builds the sector.
  VARNO_DBLOCK* build(u32 x, u32 y, const char* name, BYTES& data) {
    return SECTOR_DEVICE::build(x, y, name, VARNO_BLOCK_DATA_HNOC_MMIO, data);
  }
  BYTES m_data = counting(256);
};

TEST_F(HnocMmio, SectorOutsideGridRowOneTakesIdOne) {
  // Grid row 0 (CNOC row 1): rows 0 and 1. The 100-byte segment goes 48
  // bytes per frame, its address advancing; the last 4 bytes share a frame
  // with the 8 bytes of row 1.
  VARNO_DBLOCK* b = build(0, 0, "HNOC_MMIO", m_data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({words({1, 64, 0xA000, 48}), slice(m_data, 0, 48)}),
                                concat({words({1, 64, 0xA030, 48}), slice(m_data, 48, 48)}),
                                concat({words({1, 36, 0xA060, 4}), slice(m_data, 96, 4),
                                        words({0xB000, 8}), slice(m_data, 128, 8)})}));
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
  EXPECT_EQ(frames(b), (std::vector<BYTES>{concat({words({1, 40, 0xC000, 8}), slice(m_data, 160, 8),
                                                   words({0xD000, 8}), slice(m_data, 192, 8)})}));

  cfg_scoped_value single("varno_mmio_single_segment", "on");
  EXPECT_TRUE(sector(0, 1)->do_all_blocks());
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({words({1, 24, 0xC000, 8}), slice(m_data, 160, 8)}),
                                concat({words({1, 24, 0xD000, 8}), slice(m_data, 192, 8)})}));
}

TEST_F(HnocMmio, RowsOfOneIdNeedNotBeAdjacent) {
  // AXI4-Lite rows with ids 1, 0, 1: grid row 0 writes rows 0 and 2, not the
  // row of id 0 between them.
  VARNO_DBLOCK* b = build(0, 0, "HNOC_AXI4LITE", m_data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{concat({words({1, 40, 0x100, 8}), slice(m_data, 0, 8),
                                                   words({0x300, 8}), slice(m_data, 32, 8)})}));
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
  MMIO_DEVICE d;
  ASSERT_EQ(d.load({{"quelvo_sector_family_vold.ddb", "frame=QV_HNOC_MMIO w2=16",
                     "frame=QV_HNOC_MMIO w2=4"}}),
            0u);
  BYTES data = counting(256);
  d.block(0, 0, "HNOC_MMIO")->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, data.data(), 256 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(), "mmio2_frame_size > 16");
}

TEST(HnocMmioDevice, SegmentWordsDoNotWrap) {
  // Word offset 0x3FFFFFFF puts the row at byte 2^32 - 4, past the data; an
  // end word below the first word is no segment.
  {
    MMIO_DEVICE d;
    ASSERT_EQ(d.load({{"qv_sector_cl.ddb", "width=6 0 25 0 0 0xA000 1",
                       "width=6 1 25 0x3FFFFFFF 0 0xA000 1"}}),
              0u);
    BYTES data = counting(256);
    d.block(0, 0, "HNOC_MMIO")->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, data.data(), 256 * 8, nullptr);
    EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(),
                          "(seg_size + start_offset) <= user_data_size");
  }
  {
    MMIO_DEVICE d;
    ASSERT_EQ(
        d.load({{"qv_sector_cl.ddb", "width=6 0 25 0 0 0xA000 1", "width=6 25 0 0 0 0xA000 1"}}),
        0u);
    BYTES data = counting(256);
    d.block(0, 0, "HNOC_MMIO")->set_data(VARNO_BLOCK_DATA_HNOC_MMIO, data.data(), 256 * 8, nullptr);
    EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(), "seg_end_word >= seg_start_word");
  }
}

TEST(HnocMmioDevice, HeaderBlocksAreRequired) {
  MMIO_DEVICE d;
  EXPECT_INTERNAL_ERROR(
      d.load({{"mmio_family.ddb", "block CNOC_HEADER option", "block CNT_FW option"}}),
      "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
}

}  // namespace
