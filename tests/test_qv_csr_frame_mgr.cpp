// QV CSR frames of real sectors loaded from tests/data/bbus. Expected bytes
// are derived by hand from the fixtures:
//   chains of 40, 64 and 10 bits: user bytes 0-4, 5-12, 13-14; data areas
//     of 8 bytes (the largest chain, 64 bits); image 32 + 3 x 24 = 104 bytes.
//   device-level records: CNOC [len, x, y, src | msg << 4],
//     CNT [op, areg, len lo, len hi, offset x3, rsvd].
//   MORLU_CSR: kind 0, 64-byte frames; AIB_CSR: kind 1, 64-byte frames;
//   IO_CSR: kind 2, 4-byte frames. Sector (0, 0) has CNOC address (4, 8).
#include "sector_device.h"
#include "varno_qv_csr_frame_mgr.h"

namespace {

const std::string kDir = test_data("bbus");

const BYTES kZero8(8, 0);
const BYTES kZero16(16, 0);

// Chain records of the user data below, data areas last word first.
const BYTES kChain0Area = {0x05, 0, 0, 0, 0x01, 0x02, 0x03, 0x04};
const BYTES kChain1Area = {0x15, 0x16, 0x17, 0x18, 0x11, 0x12, 0x13, 0x14};
const BYTES kChain2Area = {0, 0, 0, 0, 0x21, 0x02, 0, 0};  // 10 bits: 0x21, then 2 bits of 0xFE

BYTES record(u32 size, u32 index, const BYTES& area) {
  return concat({le32(size), le32(index), kZero8, area});
}
BYTES image_header(u32 size, u32 records) {
  return concat({le32(size), le32(32), le32(0), le32(records), kZero16});
}
// Device-level CNOC and CNT records of a frame of len bytes.
BYTES records(u8 len, u8 x, u8 y, u8 op = 4, u8 areg = 0) {
  return {len, x, y, 0, op, areg, static_cast<u8>(len / 4), 0, 0, 0, 0, 0};
}

// Sector (2, 0) becomes the IOSSM auxiliary master.
const FILE_EDIT kAuxMaster = {
    "qv_device.ddb", "param SECTOR_ARRAY ARRAY_TYPE 1*6\n",
    "param SECTOR_ARRAY ARRAY_TYPE 1*6\nparam SECTOR_ARRAY IOSSM_AUX_MASTER 0 0 1 0 0 0\n"};

const BYTES kImage = concat({image_header(104, 3), record(24, 0, kChain0Area),
                             record(24, 1, kChain1Area), record(24, 2, kChain2Area)});

class QvCsr : public ::testing::Test, public SECTOR_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
  VARNO_QV_CSR_FRAME_MGR* csr_mgr(u32 x, u32 y, const char* name) {
    return mgr<VARNO_QV_CSR_FRAME_MGR>(x, y, name);
  }
  VARNO_DBLOCK* build(u32 x, u32 y, const char* name, BYTES& data, u32 skip_headers = 0) {
    param(x, y).skip_headers = skip_headers;
    return SECTOR_DEVICE::build(x, y, name, VARNO_BLOCK_DATA_CSR, data);
  }

  BYTES m_data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x11, 0x12, 0x13,
                  0x14, 0x15, 0x16, 0x17, 0x18, 0x21, 0xFE};
};

// ---- Set-up -------------------------------------------------------------------

TEST_F(QvCsr, SetUpLaysTheChainsOut) {
  VARNO_QV_CSR_FRAME_MGR* m = csr_mgr(0, 0, "MORLU_CSR");
  EXPECT_EQ(m->max_frame_size(), 8u);
  EXPECT_EQ(m->chain_offsets(), (std::vector<u64>{0, 5, 13}));
  EXPECT_EQ(m->csr_data_size(), 15u);
  EXPECT_EQ(m->core_frame_size(), 64u);
  EXPECT_EQ(m->used_chains(), 3u);
  EXPECT_EQ(m->iossm_mode(), 0u);
  EXPECT_EQ(block(0, 0, "MORLU_CSR")->get_number_of_potential_frames(), 3u);
  EXPECT_EQ(csr_mgr(0, 0, "IO_CSR")->core_frame_size(), 4u);
}

// ---- Frame kinds ----------------------------------------------------------------

TEST_F(QvCsr, PlainFramesCutTheImage) {
  VARNO_DBLOCK* b = build(0, 0, "MORLU_CSR", m_data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{concat({records(76, 4, 8), slice(kImage, 0, 64)}),
                                           concat({records(52, 4, 8), slice(kImage, 64, 40)})}));
  // Without headers the frames are the bare pieces.
  b = build(0, 0, "MORLU_CSR", m_data, 1);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{slice(kImage, 0, 64), slice(kImage, 64, 40)}));
  // Any range builds the whole image.
  b->clear_frames();
  EXPECT_TRUE(b->partial_process(7, 3));
  EXPECT_EQ(b->get_number_of_frames(), 2u);
}

TEST_F(QvCsr, NumberedFramesCarryAnInnerHeaderAndACount) {
  const BYTES inner_records = {0, 0, 0, 0, 6, 6, 0, 0, 0, 0, 0, 0};
  VARNO_DBLOCK* b = build(0, 0, "AIB_CSR", m_data);
  EXPECT_EQ(
      frames(b),
      (std::vector<BYTES>{
          // ((4 + 8 + 64) / 4) << 8 | 1
          concat({records(92, 4, 8), {0x01, 0x13, 0, 0}, inner_records, slice(kImage, 0, 64)}),
          // ((4 + 8 + 40) / 4) << 8 | 2
          concat({records(68, 4, 8), {0x02, 0x0D, 0, 0}, inner_records, slice(kImage, 64, 40)}),
          concat({le32(3), BYTES(12, 0)})}));
  // Without headers the inner header stays.
  b = build(0, 0, "AIB_CSR", m_data, 1);
  ASSERT_EQ(b->get_number_of_frames(), 3u);
  EXPECT_EQ(frame(b, 0), concat({{0x01, 0x13, 0, 0}, inner_records, slice(kImage, 0, 64)}));
}

TEST_F(QvCsr, IossmFramesCarrySlicesOfEveryDataArea) {
  VARNO_DBLOCK* b = build(0, 0, "IO_CSR", m_data);
  // Slices of 32 + 3 x 20 bytes; slice 0 holds data-area bytes 0-3, slice
  // 1 bytes 4-7.
  auto slice_frame = [](u32 from) {
    return concat(
        {records(104, 4, 8), image_header(92, 3), record(20, 0, slice(kChain0Area, from, 4)),
         record(20, 1, slice(kChain1Area, from, 4)), record(20, 2, slice(kChain2Area, from, 4))});
  };
  EXPECT_EQ(frames(b), (std::vector<BYTES>{slice_frame(0), slice_frame(4)}));
  // The block's partial processing cuts the same slices, not plain pieces.
  b->clear_frames();
  EXPECT_TRUE(b->partial_process(0, 1));
  EXPECT_EQ(frames(b), (std::vector<BYTES>{slice_frame(0), slice_frame(4)}));
}

TEST(QvCsrDevice, IossmSlicesKeepEveryBitOfAShortLastWord) {
  SECTOR_DEVICE d;
  ASSERT_EQ(d.load(kDir, {{"qv_sector_cl.ddb", "param IO_CSR CSR_OFFSETS 40 64 10",
                           "param IO_CSR CSR_OFFSETS 39 64 10"}}),
            0u);
  BYTES data = {0x01, 0x02, 0x03, 0x04, 0xFF, 0x11, 0x12, 0x13,
                0x14, 0x15, 0x16, 0x17, 0x18, 0x21, 0xFE};
  d.param(0, 0).skip_headers = 1;
  d.set_data(d.block(0, 0, "IO_CSR"), VARNO_BLOCK_DATA_CSR, data);
  ASSERT_TRUE(d.sector(0, 0)->do_all_blocks());
  // Chain 0's word 1 holds its bits 32-38: seven bits of 0xFF.
  const BYTES f = frame(d.block(0, 0, "IO_CSR"), 0);
  ASSERT_EQ(f.size(), 92u);
  EXPECT_EQ(slice(f, 48, 4), (BYTES{0x7F, 0, 0, 0}));
}

TEST(QvCsrDevice, FrameNumbersTakeTheLowByteOnly) {
  // One chain of 8000 bits in 4-byte frames: 32 + 1016 image bytes, 262
  // frames. Frame 255 carries number 256, which must not reach the length.
  SECTOR_DEVICE d;
  ASSERT_EQ(d.load(kDir, {{"quelvo_sector_family_vold.ddb", "block AIB_CSR data frame=QV_CSR w2=16",
                           "block AIB_CSR data frame=QV_CSR w2=1"},
                          {"qv_sector_cl.ddb", "param AIB_CSR CSR_OFFSETS 40 64 10",
                           "param AIB_CSR CSR_OFFSETS 8000"}}),
            0u);
  BYTES data(1000, 0x5A);
  d.set_data(d.block(0, 0, "AIB_CSR"), VARNO_BLOCK_DATA_CSR, data);
  ASSERT_TRUE(d.sector(0, 0)->do_all_blocks());
  VARNO_DBLOCK* b = d.block(0, 0, "AIB_CSR");
  ASSERT_EQ(b->get_number_of_frames(), 263u);
  // (4 + 8 + 4) / 4 = 4 words behind the number.
  EXPECT_EQ(slice(frame(b, 0), 12, 4), (BYTES{0x01, 0x04, 0, 0}));
  EXPECT_EQ(slice(frame(b, 254), 12, 4), (BYTES{0xFF, 0x04, 0, 0}));
  EXPECT_EQ(slice(frame(b, 255), 12, 4), (BYTES{0x00, 0x04, 0, 0}));
  EXPECT_EQ(frame(b, 262), concat({le32(263), BYTES(12, 0)}));
}

// ---- IOSSM auxiliary master -------------------------------------------------------

class QvCsrIossm : public ::testing::Test, public SECTOR_DEVICE {
 protected:
  void SetUp() override {
    ASSERT_EQ(load(kDir, {kAuxMaster}), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error();
  }
  BYTES m_data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x11, 0x12, 0x13,
                  0x14, 0x15, 0x16, 0x17, 0x18, 0x21, 0xFE};
};

TEST_F(QvCsrIossm, TheMasterSendsTheLastChainAsAuxiliaryRecord) {
  VARNO_QV_CSR_FRAME_MGR* m = mgr<VARNO_QV_CSR_FRAME_MGR>(2, 0, "MORLU_CSR");
  EXPECT_EQ(m->iossm_mode(), 2u);
  EXPECT_EQ(m->used_chains(), 2u);
  EXPECT_EQ(m->io_aux_size(), 4u);
  // Main part 32 + 2 x 24; auxiliary record 4 + 48.
  const BYTES aux = concat({image_header(52, 1), le32(20), le32(32), kZero8, {0x21, 0x02, 0, 0}});
  const BYTES image =
      concat({image_header(80, 2), record(24, 0, kChain0Area), record(24, 1, kChain1Area), aux});
  param(2, 0).skip_headers = 1;
  set_data(block(2, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, m_data);
  set_data(block(2, 0, "IO_CSR"), VARNO_BLOCK_DATA_CSR, m_data);
  ASSERT_TRUE(sector(2, 0)->do_all_blocks());
  EXPECT_EQ(frames(block(2, 0, "MORLU_CSR")),
            (std::vector<BYTES>{slice(image, 0, 64), slice(image, 64, 64), slice(image, 128, 4)}));
  // Kind 2: two slices of 32 + 2 x 20 bytes, then the auxiliary record alone.
  const std::vector<BYTES> io = frames(block(2, 0, "IO_CSR"));
  ASSERT_EQ(io.size(), 3u);
  EXPECT_EQ(io[0], concat({image_header(72, 2), record(20, 0, slice(kChain0Area, 0, 4)),
                           record(20, 1, slice(kChain1Area, 0, 4))}));
  EXPECT_EQ(io[2], aux);
  // The auxiliary chain is not expected data.
  EXPECT_EQ(dump(block(2, 0, "MORLU_CSR")),
            "1000000001000000110000000010000010100000\n"
            "1000100001001000110010000010100010101000011010001110100000011000\n");

  // Headers: the last piece of 4 bytes behind 12 bytes of records.
  param(2, 0).skip_headers = 0;
  ASSERT_TRUE(sector(2, 0)->do_all_blocks());
  EXPECT_EQ(frame(block(2, 0, "MORLU_CSR"), 2), concat({records(16, 6, 8), {0x21, 0x02, 0, 0}}));
}

TEST_F(QvCsrIossm, UserDataHoldsTheAuxiliaryChainOnlyInTheMaster) {
  EXPECT_EQ(mgr<VARNO_QV_CSR_FRAME_MGR>(0, 0, "MORLU_CSR")->iossm_mode(), 1u);
  set_data(block(0, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, m_data);
  EXPECT_INTERNAL_ERROR(sector(0, 0)->do_all_blocks(),
                        "Mismatch in user data size: csr_user_size (15 bytes) != csr_pcf_size (13 "
                        "bytes), where total chain size is 13 bytes");
  set_data(block(0, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, m_data, 13 * 8);
  ASSERT_TRUE(sector(0, 0)->do_all_blocks());
  // Two chain records, no auxiliary record: 32 + 2 x 24 = 80 bytes.
  VARNO_DBLOCK* b = block(0, 0, "MORLU_CSR");
  ASSERT_EQ(b->get_number_of_frames(), 2u);
  EXPECT_EQ(frame(b, 1), concat({records(28, 4, 8), kZero8, kChain1Area}));

  set_data(block(2, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, m_data, 13 * 8);
  EXPECT_INTERNAL_ERROR(sector(2, 0)->do_all_blocks(),
                        "Mismatch in user data size: csr_user_size (13 bytes) != csr_pcf_size (15 "
                        "bytes), where total chain size is 13 bytes");
}

TEST(QvCsrDevice, AnAuxiliaryChainOfNoBitsIsRefused) {
  SECTOR_DEVICE d;
  ASSERT_EQ(d.load(kDir, {kAuxMaster,
                          {"qv_sector_cl.ddb", "param MORLU_CSR CSR_OFFSETS 40 64 10",
                           "param MORLU_CSR CSR_OFFSETS 40 64 0"}}),
            0u);
  BYTES data(13, 0);
  d.set_data(d.block(2, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, data);
  EXPECT_INTERNAL_ERROR(d.sector(2, 0)->do_all_blocks(), "m_io_aux_size > 0");
}

TEST(QvCsrDevice, ASectorWhoseOnlyChainIsAuxiliary) {
  SECTOR_DEVICE d;
  ASSERT_EQ(d.load(kDir, {kAuxMaster,
                          {"qv_sector_cl.ddb", "param MORLU_CSR CSR_OFFSETS 40 64 10",
                           "param MORLU_CSR CSR_OFFSETS 40"}}),
            0u);
  BYTES data = {0x01, 0x02, 0x03, 0x04, 0x05};
  d.param(2, 0).skip_headers = 1;
  d.set_data(d.block(2, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, data);
  ASSERT_TRUE(d.sector(2, 0)->do_all_blocks());
  // No chain record; the auxiliary record holds the chain's two words.
  const std::vector<BYTES> f = frames(d.block(2, 0, "MORLU_CSR"));
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(concat({f[0], f[1]}), concat({image_header(32, 0),
                                          image_header(56, 1),
                                          le32(24),
                                          le32(32),
                                          kZero8,
                                          {0x05, 0, 0, 0, 0x01, 0x02, 0x03, 0x04}}));
  // A sector that is not the master frames nothing but the image header.
  BYTES none(1, 0);
  d.param(0, 0).skip_headers = 1;
  d.set_data(d.block(0, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, none, 0);
  ASSERT_TRUE(d.sector(0, 0)->do_all_blocks());
  EXPECT_EQ(frames(d.block(0, 0, "MORLU_CSR")),
            std::vector<BYTES>{image_header(32, 0)});
}

// ---- User data and expected data --------------------------------------------------

TEST_F(QvCsr, UserDataLength) {
  EXPECT_TRUE(sector(0, 0)->do_all_blocks());
  EXPECT_EQ(block(0, 0, "MORLU_CSR")->get_number_of_frames(), 0u);
  // The length counts whole bytes: 113 to 120 bits are all 15 bytes.
  set_data(block(0, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, m_data, 113);
  EXPECT_TRUE(sector(0, 0)->do_all_blocks());
  set_data(block(0, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, m_data, 112);
  EXPECT_INTERNAL_ERROR(sector(0, 0)->do_all_blocks(),
                        "Mismatch in user data size: csr_user_size (14 bytes) != csr_pcf_size (15 "
                        "bytes), where total chain size is 15 bytes");
  // A partial build reads the same image, before any build.
  set_data(block(1, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, m_data, 112);
  EXPECT_INTERNAL_ERROR(block(1, 0, "MORLU_CSR")->partial_process(0, 1),
                        "Mismatch in user data size: csr_user_size (14 bytes) != csr_pcf_size (15 "
                        "bytes), where total chain size is 15 bytes");
}

TEST_F(QvCsr, ExpectedDataIsOneLinePerChain) {
  set_data(block(0, 0, "MORLU_CSR"), VARNO_BLOCK_DATA_CSR, m_data);
  EXPECT_EQ(dump(block(0, 0, "MORLU_CSR")),
            "1000000001000000110000000010000010100000\n"
            "1000100001001000110010000010100010101000011010001110100000011000\n"
            "1000010001111111\n");
  EXPECT_EQ(dump(block(0, 0, "AIB_CSR")), "<none>");
}

// ---- Set-up failures ----------------------------------------------------------------

TEST(QvCsrSetUp, FaultyDeviceDataIsRefused) {
  const std::vector<LOAD_ERROR> cases = {
      {"qv_sector_cl.ddb", "param MORLU_CSR CSR_OFFSETS 40 64 10\n", "", "m_total_frames > 0"},
      {"quelvo_sector_family_vold.ddb", "block MORLU_CSR data frame=QV_CSR w2=16",
       "block MORLU_CSR data frame=QV_CSR w2=0", "m_frame_size > 0"},
      {"quelvo_family.ddb", "block CNT_HEADER option", "block ERAM_HEADER option",
       "m_cnt_blk != nullptr && m_cnoc_blk != nullptr"},
      // IOSSM_AUX_MASTER with fewer values than sectors.
      {"qv_device.ddb", "param SECTOR_ARRAY ARRAY_TYPE 1*6\n",
       "param SECTOR_ARRAY ARRAY_TYPE 1*6\nparam SECTOR_ARRAY IOSSM_AUX_MASTER 0 0 1 0\n",
       "Sector (1, 1) has no row in IOSSM_AUX_MASTER (4 rows)"},
  };
  expect_load_errors(kDir, cases);
}

TEST(QvCsrSetUp, NumberedAndIossmBlocksMayHaveNoChains) {
  SECTOR_DEVICE d;
  ASSERT_EQ(d.load(kDir, {{"qv_sector_cl.ddb", "param AIB_CSR CSR_OFFSETS 40 64 10\n", ""},
                          {"qv_sector_cl.ddb", "param IO_CSR CSR_OFFSETS 40 64 10\n", ""}}),
            0u);
  EXPECT_EQ(d.block(0, 0, "AIB_CSR")->get_number_of_potential_frames(), 0u);
  // Such a block has nothing to frame: data for it is a mismatch, and a
  // buffer without a length frames nothing.
  BYTES data(1, 0xFF);
  d.set_data(d.block(0, 0, "AIB_CSR"), VARNO_BLOCK_DATA_CSR, data);
  EXPECT_INTERNAL_ERROR(d.sector(0, 0)->do_all_blocks(),
                        "Mismatch in user data size: csr_user_size (1 bytes) != csr_pcf_size (0 "
                        "bytes), where total chain size is 0 bytes");
  d.set_data(d.block(0, 0, "AIB_CSR"), VARNO_BLOCK_DATA_CSR, data, 0);
  d.set_data(d.block(0, 0, "IO_CSR"), VARNO_BLOCK_DATA_CSR, data, 0);
  EXPECT_TRUE(d.sector(0, 0)->do_all_blocks());
  EXPECT_EQ(d.block(0, 0, "AIB_CSR")->get_number_of_frames(), 0u);
  EXPECT_EQ(d.block(0, 0, "IO_CSR")->get_number_of_frames(), 0u);
}

}  // namespace
