// REGSCAN frames of the device of tests/data/regwin (see regwin_device.h).
// Expected bytes are derived by hand from the fixtures: a sector's header
// records are CNOC [len lo, len hi, x, y, 0, 0, 0, 0] and CNT [op, areg,
// len lo, len hi, offset (4 bytes), rsvd (4 bytes)], 20 bytes together.
#include <vector>

#include "regwin_device.h"
#include "varno_qv_regscan_frame_mgr.h"

namespace {

// CNOC and CNT records of a REGSCAN frame of len bytes in sector (x, y).
BYTES regscan_header(u32 len, u8 x, u8 y, u8 op, u8 areg, u32 offset) {
  const u32 dwords = len / 4;
  return concat({{static_cast<u8>(len), static_cast<u8>(len >> 8), x, y, 0, 0, 0, 0, op, areg,
                  static_cast<u8>(dwords), static_cast<u8>(dwords >> 8)},
                 le32(offset),
                 zeros(4)});
}
BYTES normal_header(u32 len) { return regscan_header(len, 6, 9, 3, 0, 0x21000); }

class QvRegscan : public RegwinTest {
 protected:
  VARNO_DBLOCK* regscan() { return block(0, "REGSCAN"); }
  VARNO_FRAME_MGR* regscan_mgr() { return regscan()->get_frame_mgr(); }
};

struct REGSCAN_PROBE : PROBE<VARNO_QV_REGSCAN_FRAME_MGR> {
  using VARNO_QV_REGSCAN_FRAME_MGR::m_core_frame_size;
};

TEST_F(QvRegscan, CutsTheUserDataIntoCoreFrames) {
  BYTES data = pattern(10000);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80000));
  // 4096 + 4096 + 1808 bytes, each behind 20 header bytes; CNT length in dwords.
  EXPECT_EQ(frames(regscan()),
            (std::vector<BYTES>{concat({normal_header(4116), slice(data, 0, 4096)}),
                                concat({normal_header(4116), slice(data, 4096, 4096)}),
                                concat({normal_header(1828), slice(data, 8192, 1808)})}));
  EXPECT_EQ(regscan_mgr()->potential_frames(), 0u);

  // Through the block, as the generator builds it.
  EXPECT_TRUE(sector(0)->do_all_blocks());
  EXPECT_EQ(regscan()->get_number_of_frames(), 3u);
}

TEST_F(QvRegscan, LastFrameCopiesOnlyTheUserBits) {
  // 10001 bytes of which the last holds 3 bits: the last frame copies
  // 14467 bits and is padded to 1812 bytes.
  BYTES data = pattern(10001);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80003));
  ASSERT_EQ(regscan()->get_number_of_frames(), 3u);
  BYTES payload = slice(data, 8192, 1809);
  payload.back() &= 0x07;
  payload.resize(1812, 0);
  EXPECT_EQ(frame(regscan(), 2), concat({normal_header(1832), payload}));
}

TEST_F(QvRegscan, WithoutHeadersStartsAtByteZero) {
  param(0).skip_headers = 1;
  BYTES data = pattern(10000);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80000));
  EXPECT_EQ(frames(regscan()), (std::vector<BYTES>{slice(data, 0, 4096), slice(data, 4096, 4096),
                                                   slice(data, 8192, 1808)}));
}

TEST_F(QvRegscan, SecondSectorCarriesItsOwnAddress) {
  BYTES data = pattern(8);
  VARNO_DBLOCK* b = block(1, "REGSCAN");
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_REGSCAN, data, 64));
  EXPECT_EQ(frames(b), std::vector<BYTES>{concat({regscan_header(28, 3, 2, 3, 0, 0x21000), data})});
}

TEST_F(QvRegscan, ThirtyOneBitChainIsOneFrameOfMarkedDwords) {
  param(0).regscan_31bit = 1;
  BYTES data = pattern(11808);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 11808 * 8));
  EXPECT_EQ(regscan()->m_custom_frame_sizes, std::vector<u32>{11808});
  // 20 + 11808 + 8 = 11836 bytes = 2959 dwords.
  BYTES expected = regscan_header(11836, 6, 9, 5, 4, 0);
  for (u32 k = 0; k < 2952; ++k) {
    BYTES dword = slice(data, 4 * k, 4);
    dword[3] |= 0x80;
    expected = concat({expected, dword});
  }
  expected = concat({expected, {0, 0, 0, 0x80, 0, 0, 0, 0}});
  EXPECT_EQ(frames(regscan()), std::vector<BYTES>{expected});

  param(0).skip_headers = 1;
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 11808 * 8));
  EXPECT_EQ(frames(regscan()), std::vector<BYTES>{slice(expected, 20, 11816)});
}

TEST_F(QvRegscan, ThirtyOneBitNeedsTheExactChainSize) {
  param(0).regscan_31bit = 1;
  BYTES data = pattern(11809);
  EXPECT_INTERNAL_ERROR(
      build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 11807 * 8),
      "Mismatch in user data size: regscan_user_size (11807 bytes) != expected size (11808 bytes)");
  EXPECT_INTERNAL_ERROR(
      build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 11809 * 8),
      "Mismatch in user data size: regscan_user_size (11809 bytes) != expected size (11808 bytes)");
  // The byte count of a length near 2^32 bits does not wrap to 0 (which
  // would skip the check and build nothing).
  EXPECT_INTERNAL_ERROR(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 0xFFFFFFFFu),
                        "Mismatch in user data size: regscan_user_size (536870912 bytes) != "
                        "expected size (11808 bytes)");
  EXPECT_TRUE(regscan()->m_custom_frame_sizes.empty());
}

TEST_F(QvRegscan, CoreSizeIsCheckedOnlyWithoutCustomSizes) {
  set_descriptor_word(regscan(), 2, 2048);
  REGSCAN_PROBE m;
  m.set_parent(regscan());
  ASSERT_TRUE(m.init());
  EXPECT_EQ(m.m_core_frame_size, 2048u);
  EXPECT_EQ(m.m_header_bytes, 20u);

  BYTES data = pattern(136);
  regscan()->set_data(VARNO_BLOCK_DATA_REGSCAN, data.data(), 136 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(
      m.create_frames(regscan(), regscan()->get_block_config()),
      "Mismatch in core frame size: m_core_frame_size (2048 bytes) != expected size (4096 bytes)");

  // Custom sizes: no core check, no rounding of the last frame.
  const u32 sizes[] = {100, 30, 6};
  regscan()->set_custom_frame_sizes(sizes, 3);
  ASSERT_TRUE(m.create_frames(regscan(), regscan()->get_block_config()));
  EXPECT_EQ(frames(regscan()),
            (std::vector<BYTES>{concat({normal_header(120), slice(data, 0, 100)}),
                                concat({normal_header(50), slice(data, 100, 30)}),
                                concat({normal_header(26), slice(data, 130, 6)})}));
  // The set-up size stays.
  EXPECT_EQ(m.m_core_frame_size, 2048u);

  set_descriptor_word(regscan(), 2, 0);
  VARNO_QV_REGSCAN_FRAME_MGR zero;
  zero.set_parent(regscan());
  EXPECT_INTERNAL_ERROR(zero.init(), "m_core_frame_size > 0");
}

TEST_F(QvRegscan, BuildWithCustomSizesDoesNotChangeTheNextOne) {
  BYTES data = pattern(10000);
  const u32 size = 100;
  regscan()->set_custom_frame_sizes(&size, 1);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80000));
  EXPECT_EQ(frames(regscan()),
            std::vector<BYTES>{concat({normal_header(120), slice(data, 0, 100)})});
  regscan()->set_custom_frame_sizes(nullptr, 0);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80000));
  EXPECT_EQ(regscan()->get_number_of_frames(), 3u);
  EXPECT_EQ(frame(regscan(), 0).size(), 4116u);
}

TEST_F(QvRegscan, ReadsOnlyInsideTheUserData) {
  BYTES data = pattern(150);
  // No pointer, or a pointer with no bytes: no frames.
  EXPECT_TRUE(regscan_mgr()->create_frames(regscan(), regscan()->get_block_config()));
  EXPECT_EQ(regscan()->get_number_of_frames(), 0u);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 0));
  EXPECT_EQ(regscan()->get_number_of_frames(), 0u);

  const u32 sizes[] = {100, 100};
  regscan()->set_custom_frame_sizes(sizes, 2);
  EXPECT_INTERNAL_ERROR(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 150 * 8),
                        "User data too short: 200 bytes needed, 150 bytes given");
  EXPECT_EQ(regscan()->get_number_of_frames(), 0u);
}

TEST_F(QvRegscan, PartialFramesStopAtTheLastFrame) {
  BYTES data = pattern(10000);
  regscan()->set_data(VARNO_BLOCK_DATA_REGSCAN, data.data(), 80000, nullptr);
  VARNO_BLOCK_CONFIG* config = regscan()->get_block_config();
  EXPECT_TRUE(regscan_mgr()->create_partial_frames(regscan(), config, 2, 0xFFFFFFFFu));
  EXPECT_TRUE(regscan_mgr()->create_partial_frames(regscan(), config, 1, 0));
  EXPECT_TRUE(regscan_mgr()->create_partial_frames(regscan(), config, 3, 9));
  EXPECT_TRUE(regscan_mgr()->create_partial_frames(regscan(), config, 1, 1));
  EXPECT_EQ(frames(regscan()),
            (std::vector<BYTES>{concat({normal_header(1828), slice(data, 8192, 1808)}),
                                concat({normal_header(4116), slice(data, 4096, 4096)})}));
}

TEST(QvRegscanDevice, NeedsTheSectorHeaderBlocks) {
  REGWIN_DEVICE d;
  EXPECT_INTERNAL_ERROR(d.load(kRegwinDir, {{"quelvo_sector_family_vold.ddb", "block CNT_HEADER",
                                             "block BBUS_HEADER"}}),
                        "m_cnt_blk != NULL && m_cnoc_blk != NULL");
}

}  // namespace
