// UIB CSR frames of real sectors loaded from tests/data/bbus. Expected bytes
// are derived by hand from the fixtures:
//   chains of 40 and 8 bits, one per frame; user bytes 0-4 and 5.
//   device-level records: CNOC [len, x, y, src | msg << 4],
//     CNT [op, areg, len lo, len hi, offset x3, rsvd].
//   image: [size, 32, 0, records, 16 zeros], then per chain [record size
//     + 16, position, 8 zeros, words last first]. Sector (0, 0) has CNOC
//     address (4, 8).
#include "sector_device.h"

namespace {

const std::string kDir = test_data("bbus");

const BYTES kZero8(8, 0);

BYTES image_header(u32 size, u32 records) {
  return concat({le32(size), le32(32), le32(0), le32(records), BYTES(16, 0)});
}
BYTES record(u32 data_bytes, u32 position, const BYTES& data) {
  return concat({le32(data_bytes + 16), le32(position), kZero8, data});
}
// CNOC and CNT records of a frame of len bytes: op 6, areg 6.
BYTES records(u8 len, u8 x = 4, u8 y = 8) {
  return {len, x, y, 0, 6, 6, static_cast<u8>(len / 4), 0, 0, 0, 0, 0};
}

const BYTES kChain0 = {0x05, 0, 0, 0, 0x01, 0x02, 0x03, 0x04};  // bits 32-39, then 0-31
const BYTES kChain1 = {0xA5, 0, 0, 0};
const BYTES kChain2 = {0x34, 0x12, 0, 0};

class QvUibCsr : public ::testing::Test, public SECTOR_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
  VARNO_DBLOCK* uib() { return block(0, 0, "UIB_CSR"); }
  VARNO_DBLOCK* build(BYTES& data, u32 bits = ~0u, u32 skip_headers = 0) {
    param(0, 0).skip_headers = skip_headers;
    set_data(uib(), VARNO_BLOCK_DATA_CSR, data, bits);
    EXPECT_TRUE(sector(0, 0)->do_all_blocks());
    return uib();
  }
  BYTES m_data = {0x01, 0x02, 0x03, 0x04, 0x05, 0xA5};
};

// A device whose UIB CSR block has other chains and channel map.
class UIB_VARIANT : public SECTOR_DEVICE {
 public:
  explicit UIB_VARIANT(const std::string& lines) : m_lines(lines + "\n") {}
  u32 load_it() {
    return load(kDir, {{"qv_sector_cl.ddb", "param UIB_CSR CSR_OFFSETS 40 8\n", m_lines}});
  }
  VARNO_DBLOCK* uib() { return block(0, 0, "UIB_CSR"); }
  std::vector<BYTES> build(BYTES& data, u32 bits = ~0u) {
    set_data(uib(), VARNO_BLOCK_DATA_CSR, data, bits);
    EXPECT_TRUE(sector(0, 0)->do_all_blocks());
    return frames(uib());
  }

 private:
  std::string m_lines;
};

// ---- Frames -------------------------------------------------------------------

TEST_F(QvUibCsr, OneChainPerFrameWithoutAChannelMap) {
  EXPECT_EQ(uib()->get_number_of_potential_frames(), 2u);
  VARNO_DBLOCK* b = build(m_data);
  // 32 + 16 + 8 = 56 image bytes behind 12 bytes of records.
  EXPECT_EQ(frames(b), (std::vector<BYTES>{
                           concat({records(68), image_header(56, 1), record(8, 0, kChain0)}),
                           concat({records(64), image_header(52, 1), record(4, 0, kChain1)})}));
  b = build(m_data, ~0u, 1);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{concat({image_header(56, 1), record(8, 0, kChain0)}),
                                           concat({image_header(52, 1), record(4, 0, kChain1)})}));
}

TEST_F(QvUibCsr, PartialBuildsStopBeforeLast) {
  VARNO_DBLOCK* b = build(m_data, ~0u, 1);
  b->clear_frames();
  EXPECT_TRUE(b->partial_process(1, 2));
  EXPECT_EQ(frames(b), std::vector<BYTES>{concat({image_header(52, 1), record(4, 0, kChain1)})});
  EXPECT_TRUE(b->partial_process(1, 1));
  EXPECT_EQ(b->get_number_of_frames(), 1u);
  // Frame 2 does not exist.
  EXPECT_FALSE(b->partial_process(0, 3));
  EXPECT_EQ(b->get_number_of_frames(), 1u);
}

TEST(QvUibCsrDevice, ChannelMapGroupsChainsIntoFrames) {
  UIB_VARIANT d("param UIB_CSR CSR_OFFSETS 40 8 16\narg UIB_CSR CHANNEL_MAP width=2 0 0 0 1 1 0");
  ASSERT_EQ(d.load_it(), VARNO_PCF_OK);
  d.param(0, 0).skip_headers = 1;
  BYTES data = {0x01, 0x02, 0x03, 0x04, 0x05, 0xA5, 0x34, 0x12};
  EXPECT_EQ(d.build(data),
            (std::vector<BYTES>{
                concat({image_header(76, 2), record(8, 0, kChain0), record(4, 1, kChain1)}),
                concat({image_header(52, 1), record(4, 0, kChain2)})}));
}

TEST(QvUibCsrDevice, AnUnusedPositionCarriesChainZero) {
  UIB_VARIANT d("param UIB_CSR CSR_OFFSETS 40 8 16\narg UIB_CSR CHANNEL_MAP width=2 0 0 0 2 1 0");
  ASSERT_EQ(d.load_it(), VARNO_PCF_OK);
  d.param(0, 0).skip_headers = 1;
  BYTES data = {0x01, 0x02, 0x03, 0x04, 0x05, 0xA5, 0x34, 0x12};
  const std::vector<BYTES> f = d.build(data);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0], concat({image_header(100, 3), record(8, 0, kChain0), record(8, 1, kChain0),
                          record(4, 2, kChain1)}));
}

TEST(QvUibCsrDevice, AChainOfNoBitsHasAnEmptyRecord) {
  UIB_VARIANT d("param UIB_CSR CSR_OFFSETS 40 0 8");
  ASSERT_EQ(d.load_it(), VARNO_PCF_OK);
  d.param(0, 0).skip_headers = 1;
  BYTES data = {0x01, 0x02, 0x03, 0x04, 0x05, 0xA5};
  const std::vector<BYTES> f = d.build(data);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[1], concat({image_header(48, 1), le32(16), le32(0), kZero8}));
  EXPECT_EQ(f[2], concat({image_header(52, 1), record(4, 0, kChain1)}));
}

// ---- Short user data ------------------------------------------------------------

TEST(QvUibCsrDevice, DataMayStopAfterTheThirdChainFromTheEnd) {
  UIB_VARIANT d("param UIB_CSR CSR_OFFSETS 40 8 16");
  ASSERT_EQ(d.load_it(), VARNO_PCF_OK);
  d.param(0, 0).skip_headers = 1;
  BYTES data = {0x01, 0x02, 0x03, 0x04, 0x05};
  // The last two chains go out as zeros.
  EXPECT_EQ(d.build(data),
            (std::vector<BYTES>{concat({image_header(56, 1), record(8, 0, kChain0)}),
                                concat({image_header(52, 1), record(4, 0, BYTES(4, 0))}),
                                concat({image_header(52, 1), record(4, 0, BYTES(4, 0))})}));
  // Only the chains the data holds are expected data.
  EXPECT_EQ(SECTOR_DEVICE::dump(d.uib()), "1000000001000000110000000010000010100000\n");
  // Any other length is refused.
  d.set_data(d.uib(), VARNO_BLOCK_DATA_CSR, data, 48);
  EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(),
                        "UIB bbus or csr data size (48 bits) doesn't mach the expected size is 40 "
                        "bits");
}

TEST(QvUibCsrDevice, LeftOutChainsMayLieInAnyFrame) {
  // Chains 1 and 2, the ones the data may leave out, travel in frame 0.
  UIB_VARIANT d("param UIB_CSR CSR_OFFSETS 40 8 16\narg UIB_CSR CHANNEL_MAP width=2 1 0 0 0 0 1");
  ASSERT_EQ(d.load_it(), VARNO_PCF_OK);
  d.param(0, 0).skip_headers = 1;
  BYTES data = {0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(d.build(data),
            (std::vector<BYTES>{
                concat({image_header(72, 2), record(4, 0, BYTES(4, 0)), record(4, 1, BYTES(4, 0))}),
                concat({image_header(56, 1), record(8, 0, kChain0)})}));
}

TEST_F(QvUibCsr, UserDataLength) {
  // No data, no frames, no expected-data file.
  EXPECT_TRUE(sector(0, 0)->do_all_blocks());
  EXPECT_EQ(uib()->get_number_of_frames(), 0u);
  EXPECT_EQ(dump(uib()), "<none>");
  // With two chains the data must hold both.
  set_data(uib(), VARNO_BLOCK_DATA_CSR, m_data, 41);
  EXPECT_INTERNAL_ERROR(
      sector(0, 0)->do_all_blocks(),
      "UIB bbus or csr data size (41 bits) doesn't mach the expected size is 48 bits");
  // The failed build leaves the change standing: a partial build is refused.
  EXPECT_FALSE(uib()->partial_process(0, 1));
  // A length of 0 leaves the size to the host, who gives every chain.
  build(m_data, 0, 1);
  EXPECT_EQ(frame(uib(), 1), concat({image_header(52, 1), record(4, 0, kChain1)}));
  EXPECT_EQ(dump(uib()), "1000000001000000110000000010000010100000\n10100101\n");
}

// ---- Set-up failures ------------------------------------------------------------

TEST(QvUibCsrSetUp, FaultyChannelMapsAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {"param UIB_CSR CSR_OFFSETS 40 8 16\narg UIB_CSR CHANNEL_MAP width=3 0 0 0 1 1 0 0 0 0",
       "arg_width == 2 && arg_list.size() == m_num_chains"},
      {"param UIB_CSR CSR_OFFSETS 40 8 16\narg UIB_CSR CHANNEL_MAP width=2 0 0 0 1",
       "arg_width == 2 && arg_list.size() == m_num_chains"},
      // A frame number far past the chains would only grow the frame list.
      {"param UIB_CSR CSR_OFFSETS 40 8 16\narg UIB_CSR CHANNEL_MAP width=2 0 0 0 1 0x7FFFFFFF 0",
       "CHANNEL_MAP row 2: frame 2147483647, position 0 out of range (3 chains)"},
      {"param UIB_CSR CSR_OFFSETS 40 8 16\narg UIB_CSR CHANNEL_MAP width=2 0 0 0 3 1 0",
       "CHANNEL_MAP row 1: frame 0, position 3 out of range (3 chains)"},
      // Two chains at one place would leave one of them unsent.
      {"param UIB_CSR CSR_OFFSETS 40 8 16\narg UIB_CSR CHANNEL_MAP width=2 0 0 1 0 0 0",
       "CHANNEL_MAP row 2: frame 0, position 0 already holds chain 0"},
      {"", "m_num_frames > 0"},
  };
  for (const auto& [lines, text] : cases) {
    SCOPED_TRACE(lines);
    UIB_VARIANT d(lines);
    EXPECT_INTERNAL_ERROR(d.load_it(), text);
  }
}

TEST(QvUibCsrSetUp, HeaderBlocksComeFromTheDeviceLevel) {
  SECTOR_DEVICE d;
  // The sector has its own CNOC_HEADER; the manager must not take it.
  EXPECT_INTERNAL_ERROR(
      d.load(kDir, {{"quelvo_family.ddb", "block CNOC_HEADER option", "block ERAM_HEADER option"},
                    {"quelvo_sector_family_vold.ddb",
                     "block MORLU_CSR data frame=QV_CSR w2=16 w6=0\n"
                     "block AIB_CSR data frame=QV_CSR w2=16 w6=1\n"
                     "block IO_CSR data frame=QV_CSR w2=1 w6=2\n",
                     ""}}),
      "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
}

}  // namespace
