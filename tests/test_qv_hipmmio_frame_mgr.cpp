// HIP MMIO frames of real sectors loaded from tests/data/mmio (see
// mmio_device.h for the records). Sector "cl" (grid (0, 0), CNOC (7, 1)),
// tile type 4, takes the plain path. Expected bytes are derived by hand from
// the fixtures.
#include <memory>
#include <vector>

#include "mmio_device.h"
#include "varno_util.h"

namespace {

class HipMmio : public MmioTest {
 protected:
  // Sets the block's data and builds the sector.
  VARNO_DBLOCK* build(u32 x, u32 y, const char* name, BYTES& data) {
    return SECTOR_DEVICE::build(x, y, name, VARNO_BLOCK_DATA_HIP_MMIO, data);
  }
};

// ---- Plain path -------------------------------------------------------------------

TEST_F(HipMmio, MorluChannelFramesCutWholePages) {
  // B = 3000: D = 2048, two frames of 1024 on channels 0 and 1; S = 16 + 16
  // + 1024 + 52 = 1108; the lead word counts (16 + 1024) / 4 = 260 words.
  BYTES data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u8>(i * 13 + 5);
  VARNO_DBLOCK* b = build(0, 0, "HIP_MMIO", data);
  const auto morlu3 = [](u32 channel_bit) {
    return words({1, 1108, 1, 0, 0, 0, 0, 0, 1, channel_bit, 1024, 0});
  };
  EXPECT_EQ(frames(b), (std::vector<BYTES>{
                           concat({cnoc(1108, 7, 1), cnt(3, 256, 0, 0), words({0x10401}), zeros(8),
                                   cnt(6, 1024, 4, 0), morlu3(1), slice(data, 0, 1024)}),
                           concat({cnoc(1108, 7, 1), cnt(3, 256, 0, 0), words({0x10402}), zeros(8),
                                   cnt(6, 1024, 4, 0), morlu3(2), slice(data, 1024, 1024)}),
                           words({3, 0, 0, 0})}));
  EXPECT_EQ(hip(0, 0, "HIP_MMIO")->frame_size(), 1024u);
}

TEST_F(HipMmio, MorluBelowOnePageGivesOnlyTheTrailer) {
  BYTES data(1024);
  VARNO_DBLOCK* b = build(0, 0, "HIP_MMIO", data);
  EXPECT_EQ(frames(b), std::vector<BYTES>{words({1, 0, 0, 0})});
}

TEST_F(HipMmio, MorluHasThirtyFourChannels) {
  BYTES data(35 * 2048);
  VARNO_DBLOCK* b = block(0, 0, "HIP_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), static_cast<u32>(data.size() * 8), nullptr);
  EXPECT_INTERNAL_ERROR(sector(0, 0)->do_all_blocks(), "frame_no < MORLU3_MAX_CH_COUNT");
  const std::vector<BYTES> left = frames_left(b);
  ASSERT_EQ(left.size(), 34u);
  // Channels 24-27 are type 1 mapped to 0-3, 28-33 type 2 mapped to 0-5.
  const auto channel = [&](u32 i) {
    const BYTES& f = left[i];
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
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({cnoc(56, 7, 1), cnt(3, 4, 0, 0), words({0x2020}), zeros(8),
                                        cnt(6, 0, 1, 0), words({0x3300}), slice(data, 0, 16)}),
                                concat({cnoc(44, 7, 1), cnt(3, 4, 0, 0), words({0x2020}), zeros(8),
                                        cnt(6, 0, 1, 16), words({0x3300}), slice(data, 16, 4)})}));
}

TEST_F(HipMmio, AddressDataFramesOfFullFrames) {
  // R = 2, B = 8, base 0x100: D = 32, two full frames (CNT op 4), S = 52,
  // lead word (32 / 4) << 8 | sequence.
  BYTES data = words({0x11223344, 0x55667788});
  VARNO_DBLOCK* b = build(0, 0, "MMIO2", data);
  const BYTES buffer = words({2, 0, 0, 0, 0x400, 0x11223344, 0x404, 0x55667788});
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({cnoc(52, 7, 1), cnt(3, 4, 0, 0), words({0x801}), zeros(8),
                                        cnt(4, 16, 5, 0), slice(buffer, 0, 16)}),
                                concat({cnoc(52, 7, 1), cnt(3, 4, 0, 0), words({0x802}), zeros(8),
                                        cnt(4, 16, 5, 16), slice(buffer, 16, 16)}),
                                words({3, 0, 0, 0})}));

  // Without headers the frame opens with the lead word.
  sector(0, 0)->get_mgr_param()->skip_headers = 1;
  EXPECT_TRUE(sector(0, 0)->do_all_blocks());
  EXPECT_EQ(frame(b, 0),
            concat({words({0x801}), zeros(8), cnt(4, 16, 5, 0), slice(buffer, 0, 16)}));
}

TEST_F(HipMmio, AddressDataShortLastFrame) {
  // B = 12: D = 40, the third frame carries the buffer's zero tail (P = 8),
  // with CNT op 6; its outer CNT length is still that of a full frame.
  BYTES data = words({1, 2, 3});
  VARNO_DBLOCK* b = build(0, 0, "MMIO2", data);
  ASSERT_EQ(b->get_number_of_frames(), 4u);
  EXPECT_EQ(frame(b, 1)[16 + 12], 4);
  EXPECT_EQ(frame(b, 2), concat({cnoc(44, 7, 1), cnt(3, 4, 0, 0), words({0x603}), zeros(8),
                                 cnt(6, 8, 5, 32), zeros(8)}));
  EXPECT_EQ(frame(b, 3), words({4, 0, 0, 0}));
}

TEST_F(HipMmio, PartialBuildRefusesAShortLastWord) {
  BYTES whole = words({1, 2});
  VARNO_DBLOCK* b = build(0, 0, "MMIO2", whole);
  // 40 bits are two registers for a 26-byte address/data buffer that has
  // room for one pair only; the partial build checks the words itself.
  auto data = std::make_unique<u8[]>(5);
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.get(), 40, nullptr);
  b->clear_frames();
  EXPECT_INTERNAL_ERROR(b->partial_process(0, 0), "Mismatch in user data size");
  EXPECT_EQ(frames_left(b).size(), 0u);
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
  MMIO_DEVICE d;
  EXPECT_INTERNAL_ERROR(
      d.load({{"mmio_family.ddb", "block CNT_HEADER option", "block CNT_FW option"}}),
      "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
}

TEST(HipMmioDevice, PlainPathRefusesFramesOfNoBytes) {
  MMIO_DEVICE d;
  ASSERT_EQ(d.load({{"quelvo_sector_family_vold.ddb", "frame=QV_HIP_MMIO w2=4 w6=2",
                     "frame=QV_HIP_MMIO w2=0 w6=2"}}),
            0u);
  BYTES data(16);
  d.block(0, 0, "EHIP_MMIO")->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 128, nullptr);
  EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(), "m_frame_size > 0");
}

}  // namespace
