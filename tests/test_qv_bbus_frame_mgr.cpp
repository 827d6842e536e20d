// QV BBUS frames of real sectors loaded from tests/data/bbus. Expected bytes
// are derived by hand from the fixtures:
//   sector records: CNOC [len lo, len hi, x, y, src, msg, 0, 0],
//     CNT [op, len, areg, rsvd, offset x4], BBUS [ch | op << 4, 0x5A, 0x77, 0, sdl x4].
//   variant of 24 bits: bits 0-3 type 0, 4-7 type 1, 8-13 type 2, 14-17
//     type 3, 18-23 type 4. Chain 0 = FF F7 FF: bits 8-13 read 1 1 1 0 1 1.
//     phase 0: types 1-4 cleared -> 0F 00 00 (+ overwrite bit 6 in (0, 0));
//     phase 1: types 1, 3 cleared, type 2 by triples (111 kept, 011 -> 000)
//              -> 0F 07 FC;
//     phase 2: type 3 cleared -> FF 37 FC; phase 3: unmasked.
//   variant of 12 bits: bits 0-5 type 5, 6-11 type 0.
#include "sector_device.h"
#include "varno_qv_bbus_frame_mgr.h"
#include "varno_sblock.h"

namespace {

const std::string kDir = test_data("bbus");

// A frame of the sector at CNOC address (4, 8) with headers: records, the
// chain bytes, zeros up to len.
BYTES bbus_frame(u8 x, u8 y, u8 len, u8 cnt_len, u8 ch_op, u32 sdl, const BYTES& payload) {
  BYTES out = {len, 0, x, y, 0, 0, 0, 0, 6, cnt_len, 2, 0, 0, 0, 0, 0, ch_op, 0x5A, 0x77, 0};
  const BYTES s = le32(sdl);
  out.insert(out.end(), s.begin(), s.end());
  out.insert(out.end(), payload.begin(), payload.end());
  out.resize(len, 0);
  return out;
}

BYTES chain0_frame(const BYTES& payload, u8 ch_op, u8 x = 4, u8 y = 8) {
  return bbus_frame(x, y, 28, 1, ch_op, 24, payload);
}

const BYTES kPhase0 = {0x4F, 0x00, 0x00};
const BYTES kPhase1 = {0x0F, 0x07, 0xFC};
const BYTES kPhase2 = {0xFF, 0x37, 0xFC};
const BYTES kPhase3 = {0xFF, 0xF7, 0xFF};

class QvBbus : public ::testing::Test, public SECTOR_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
  VARNO_DBLOCK* bbus(u32 x, u32 y) { return block(x, y, "BBUS"); }
  VARNO_QV_BBUS_FRAME_MGR* bbus_mgr(u32 x, u32 y) {
    return mgr<VARNO_QV_BBUS_FRAME_MGR>(x, y, "BBUS");
  }
  // Sector (x, y) with data, built.
  VARNO_DBLOCK* build(u32 x, u32 y, BYTES& data, u32 skip_headers = 0, u32 tk_flow = 0) {
    param(x, y).skip_headers = skip_headers;
    param(x, y).tk_flow = tk_flow;
    return SECTOR_DEVICE::build(x, y, "BBUS", VARNO_BLOCK_DATA_BBUS, data);
  }

  // Chains of 24, 100, 8 and 16 bits; the last byte of chain 1 carries 4
  // bits beyond the chain.
  BYTES m_data = {0xFF, 0xF7, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                  0x08, 0x09, 0x0A, 0x0B, 0x0C, 0xFD, 0xA5, 0x34, 0x12};
  BYTES m_small = {0xFF, 0xF7, 0xFF, 0x11, 0x22, 0x33};  // chains of 24, 8, 8, 8 bits
};

// ---- Set-up -------------------------------------------------------------------

TEST_F(QvBbus, SetUpReadsTheSectorsRowAndItsOverwriteBits) {
  EXPECT_EQ(bbus_mgr(0, 0)->chain_sizes(), (std::vector<u32>{24, 100, 8, 16}));
  EXPECT_EQ(bbus_mgr(0, 0)->total_chain_bits(), 152u);  // 100 bits take 13 bytes
  EXPECT_EQ(bbus(0, 0)->get_number_of_potential_frames(), 4u);
  EXPECT_EQ(bbus_mgr(1, 0)->chain_sizes(), (std::vector<u32>{12, 8, 8, 8}));
  // Overwrite entries are matched against the grid position.
  EXPECT_EQ(bbus_mgr(0, 0)->overwrite_bits(), std::vector<u32>{6});
  EXPECT_EQ(bbus_mgr(2, 1)->overwrite_bits(), std::vector<u32>{5});
  EXPECT_TRUE(bbus_mgr(1, 1)->overwrite_bits().empty());
}

// ---- Frames -------------------------------------------------------------------

TEST_F(QvBbus, FullBuildFramesChainZeroInEveryPhase) {
  VARNO_DBLOCK* b = build(0, 0, m_data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{chain0_frame(kPhase0, 0x32), chain0_frame(kPhase1, 0x32),
                                chain0_frame(kPhase2, 0x32), chain0_frame(kPhase3, 0x02)}));
  // The header block keeps the values of the last frame.
  VARNO_SBLOCK* header = dynamic_cast<VARNO_SBLOCK*>(sector(0, 0)->get_block("BBUS_HEADER", false));
  BYTES image(header->get_block_size());
  header->read_block_data(image.data());
  EXPECT_EQ(image, (BYTES{0x02, 0x5A, 0x77, 0x00, 24, 0, 0, 0}));
}

TEST_F(QvBbus, TkFlowSendsNeitherPhaseOneNorTwo) {
  VARNO_DBLOCK* b = build(0, 0, m_data, 0, 1);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{chain0_frame(kPhase0, 0x32), chain0_frame(kPhase3, 0x02)}));
}

TEST_F(QvBbus, WithoutHeadersTheBbusRecordStays) {
  VARNO_DBLOCK* b = build(0, 0, m_data, 1);
  ASSERT_EQ(b->get_number_of_frames(), 4u);
  // 8 + 3 bytes, rounded up to 12.
  EXPECT_EQ(frame(b, 0), (BYTES{0x32, 0x5A, 0x77, 0x00, 24, 0, 0, 0, 0x4F, 0x00, 0x00, 0x00}));
  EXPECT_EQ(frame(b, 3), (BYTES{0x02, 0x5A, 0x77, 0x00, 24, 0, 0, 0, 0xFF, 0xF7, 0xFF, 0x00}));
}

TEST_F(QvBbus, PartialBuildSendsThePhasesFirstThenTheChains) {
  VARNO_DBLOCK* b = build(0, 0, m_data);
  b->clear_frames();
  EXPECT_TRUE(b->partial_process(2, 3));
  EXPECT_EQ(frames(b), (std::vector<BYTES>{chain0_frame(kPhase0, 0x32), chain0_frame(kPhase1, 0x32),
                                           chain0_frame(kPhase2, 0x32),
                                           bbus_frame(4, 8, 28, 1, 0x03, 8, {0xA5}),
                                           bbus_frame(4, 8, 28, 1, 0x03, 16, {0x34, 0x12})}));

  // A chain of 100 bits: 16 + 8 + 13 = 37 bytes, sent as 40; CNT len 4;
  // the 4 bits behind the chain stay out.
  b->clear_frames();
  EXPECT_TRUE(b->partial_process(1, 1));
  ASSERT_EQ(b->get_number_of_frames(), 4u);
  EXPECT_EQ(frame(b, 3), bbus_frame(4, 8, 40, 4, 0x03, 100,
                                    {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                                     0x0B, 0x0C, 0x0D}));

  // The range must name chains; an empty range sends only the phases.
  EXPECT_FALSE(b->partial_process(0, 4));
  b->clear_frames();
  EXPECT_TRUE(b->partial_process(3, 2));
  EXPECT_EQ(b->get_number_of_frames(), 3u);
}

TEST_F(QvBbus, OverwriteBitsApplyToTheirSectorInPhaseZeroOnly) {
  VARNO_DBLOCK* b = build(2, 1, m_small);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{
                chain0_frame({0x2F, 0x00, 0x00}, 0x32, 6, 9), chain0_frame(kPhase1, 0x32, 6, 9),
                chain0_frame(kPhase2, 0x32, 6, 9), chain0_frame(kPhase3, 0x02, 6, 9)}));
  b = build(1, 1, m_small);
  EXPECT_EQ(frame(b, 0), chain0_frame({0x0F, 0x00, 0x00}, 0x32, 5, 9));
}

TEST_F(QvBbus, SecondVariantStartsAfterTheFirstsSegments) {
  // 12 bits: type 5 then type 0; bits 12-15 of the data are not the chain's.
  BYTES data = {0xFF, 0xFF, 0x11, 0x22, 0x33};
  VARNO_DBLOCK* b = build(1, 0, data);
  auto f = [](const BYTES& payload, u8 ch_op) {
    return bbus_frame(5, 8, 28, 1, ch_op, 12, payload);
  };
  EXPECT_EQ(frames(b), (std::vector<BYTES>{f({0xC0, 0x0F}, 0x32), f({0xFF, 0x0F}, 0x32),
                                           f({0xFF, 0x0F}, 0x32), f({0xFF, 0x0F}, 0x02)}));
}

TEST_F(QvBbus, PhaseMaskRulesOnTheirOwn) {
  VARNO_QV_BBUS_FRAME_MGR* m = bbus_mgr(1, 1);
  // Type-2 bits 8-13 = 1 1 1 0 1 1 become 1 1 1 0 0 0 in phase 1.
  BYTES chain = {0x00, 0x37, 0x00};
  m->apply_phase_mask(chain.data(), 24, VARNO_QV_CLK_NTW_PHASE_1);
  EXPECT_EQ(chain, (BYTES{0x00, 0x07, 0x00}));
  // A size that is no variant's.
  EXPECT_INTERNAL_ERROR(m->apply_phase_mask(chain.data(), 20, VARNO_QV_CLK_NTW_PHASE_0),
                        "Variant size not found");
}

TEST_F(QvBbus, ChainZeroOfNoVariantSizeFailsInPhaseZero) {
  BYTES data = {0xFF, 0xFF, 0x0F, 0x11, 0x22, 0x33};  // 20 + 8 + 8 + 8 bits
  set_data(bbus(0, 1), VARNO_BLOCK_DATA_BBUS, data);
  EXPECT_INTERNAL_ERROR(sector(0, 1)->do_all_blocks(), "Variant size not found");
  EXPECT_EQ(frames_left(bbus(0, 1)).size(), 0u);
  // In the TK-family flow phase 0 still needs the variant.
  param(0, 1).tk_flow = 1;
  EXPECT_INTERNAL_ERROR(sector(0, 1)->do_all_blocks(), "Variant size not found");
}

// ---- User data ------------------------------------------------------------------

TEST_F(QvBbus, UserDataLength) {
  // No data: nothing to frame.
  EXPECT_TRUE(sector(0, 0)->do_all_blocks());
  EXPECT_EQ(bbus(0, 0)->get_number_of_frames(), 0u);
  EXPECT_EQ(dump(bbus(0, 0)), "<none>");

  // A length of 0 leaves the size to the host, who gives every chain.
  set_data(bbus(0, 0), VARNO_BLOCK_DATA_BBUS, m_data, 0);
  EXPECT_TRUE(sector(0, 0)->do_all_blocks());
  EXPECT_EQ(frame(bbus(0, 0), 3), chain0_frame(kPhase3, 0x02));

  set_data(bbus(0, 0), VARNO_BLOCK_DATA_BBUS, m_data, 151);
  EXPECT_INTERNAL_ERROR(
      sector(0, 0)->do_all_blocks(),
      "Mismatch in user data size: bbus_user_size (151 bytes) != bbus_pcf_size (152 bytes)");
  // A partial build reads the same chains, so it checks the same length.
  bbus(0, 0)->clear_frames();
  EXPECT_INTERNAL_ERROR(
      bbus(0, 0)->partial_process(1, 3),
      "Mismatch in user data size: bbus_user_size (151 bytes) != bbus_pcf_size (152 bytes)");
  EXPECT_EQ(frames_left(bbus(0, 0)).size(), 0u);
}

TEST_F(QvBbus, ExpectedDataIsOneUnmaskedLinePerChain) {
  set_data(bbus(0, 0), VARNO_BLOCK_DATA_BBUS, m_data);
  EXPECT_EQ(dump(bbus(0, 0)),
            "111111111110111111111111\n"
            "1000000001000000110000000010000010100000011000001110000000010000"
            "1001000001010000110100000011000010111111\n"
            "10100101\n"
            "0010110001001000\n");
  std::string empty;
  EXPECT_INTERNAL_ERROR(bbus(0, 0)->dump_expected_data(empty), "!path.empty()");
}

// ---- Set-up failures ------------------------------------------------------------

TEST(QvBbusSetUp, FaultyDeviceDataIsRefused) {
  const std::vector<LOAD_ERROR> cases = {
      {"qv_sector_cl.ddb", "BBUS_BIT_COUNT 4", "BBUS_BIT_COUNT 3", "arg_width == m_total_frames"},
      {"qv_device.ddb", "arg SECTOR_ARRAY BBUS_CHAIN_SIZES", "arg SECTOR_ARRAY CHANNEL_MAP",
       "arg != NULL"},
      {"qv_sector_cl.ddb", "arg BBUS CLK_NTW_SEGMENTS width=3", "arg BBUS CLK_NTW_SEGMENTS width=1",
       "arg_width == 3"},
      {"qv_sector_cl.ddb", "arg BBUS CLK_NTW_SEGMENTS", "arg BBUS CHANNEL_MAP", "arg != NULL"},
      // Segments of 4 and 4 run past a variant of 6.
      {"qv_sector_cl.ddb", "CLK_NTW_VARIANTS 24 12", "CLK_NTW_VARIANTS 6 12",
       "VOLD incorrect bbus variant size"},
      // The last variant closes before the last segment.
      {"qv_sector_cl.ddb", "CLK_NTW_VARIANTS 24 12", "CLK_NTW_VARIANTS 24",
       "VOLD incorrect bbus segment chain size"},
      {"qv_device.ddb", "BBUS_BIT_OVERWRITE width=1 0x00000006",
       "BBUS_BIT_OVERWRITE width=1 0x00000018", "(val & 0xFFFFF) < m_chain_sizes[0]"},
      {"qv_device.ddb", "BBUS_BIT_OVERWRITE width=1", "BBUS_BIT_OVERWRITE width=2",
       "arg_width == 1"},
      {"quelvo_sector_family_vold.ddb", "block BBUS_HEADER option", "block ERAM_HEADER option",
       "m_bbus_hdr_blk != NULL && m_cnt_blk != NULL && m_cnoc_blk != NULL"},
      // The last sector has no row left.
      {"qv_device.ddb", "data 24 8 8 8\ndata 24 8 8 8\n", "data 24 8 8 8\n",
       "Sector (2, 1) has no row in BBUS_CHAIN_SIZES (5 rows)"},
  };
  expect_load_errors(kDir, cases);
}

TEST(QvBbusSetUp, VariantsThatStayOpenGetNoEntry) {
  // The rows close 24 and 12; 6 never closes and is no error.
  SECTOR_DEVICE d;
  ASSERT_EQ(
      d.load(kDir, {{"qv_sector_cl.ddb", "CLK_NTW_VARIANTS 24 12", "CLK_NTW_VARIANTS 24 12 6"}}),
      0u);
  BYTES chain = {0xFF, 0xFF, 0xFF};
  EXPECT_INTERNAL_ERROR(d.mgr<VARNO_QV_BBUS_FRAME_MGR>(0, 0, "BBUS")
                            ->apply_phase_mask(chain.data(), 6, VARNO_QV_CLK_NTW_PHASE_2),
                        "Variant size not found");
  // The first variant of a size wins: a second 24 reuses the first rows.
  SECTOR_DEVICE d2;
  ASSERT_EQ(
      d2.load(kDir, {{"qv_sector_cl.ddb", "CLK_NTW_VARIANTS 24 12", "CLK_NTW_VARIANTS 24 12 24"},
                     {"qv_sector_cl.ddb", "data 6 0 0\n", "data 6 0 0\ndata 24 3 0\n"}}),
      0u);
  d2.mgr<VARNO_QV_BBUS_FRAME_MGR>(1, 1, "BBUS")
      ->apply_phase_mask(chain.data(), 24, VARNO_QV_CLK_NTW_PHASE_2);
  EXPECT_EQ(chain, (BYTES{0xFF, 0x3F, 0xFC}));
}

TEST(QvBbusSetUp, LongSegmentsAndLargeTypesKeepTheirValues) {
  // A variant of one 70000-bit segment of type 0x10001: both would spill
  // into each other if packed into one word. Type 0x10001 is "4 and up":
  // cleared in phase 0, kept in phase 1.
  SECTOR_DEVICE d;
  ASSERT_EQ(
      d.load(kDir, {{"qv_sector_cl.ddb", "CLK_NTW_VARIANTS 24 12", "CLK_NTW_VARIANTS 24 12 70000"},
                    {"qv_sector_cl.ddb", "data 6 0 0\n", "data 6 0 0\ndata 70000 0x10001 0\n"}}),
      0u);
  auto* m = d.mgr<VARNO_QV_BBUS_FRAME_MGR>(1, 1, "BBUS");
  BYTES chain(8750, 0xFF);
  m->apply_phase_mask(chain.data(), 70000, VARNO_QV_CLK_NTW_PHASE_1);
  EXPECT_EQ(chain, BYTES(8750, 0xFF));
  m->apply_phase_mask(chain.data(), 70000, VARNO_QV_CLK_NTW_PHASE_0);
  EXPECT_EQ(chain, BYTES(8750, 0x00));
}

}  // namespace
