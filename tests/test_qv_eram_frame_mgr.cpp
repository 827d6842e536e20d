// QV ERAM frames of real sectors loaded from tests/data/qv. Expected bytes
// are derived by hand from the fixtures:
//   sector "cl" (grid 0, CNOC (7, 3)): 10 rows x 64 columns, blocks of 4 rows
//     x 32 columns, spare rows (4, 5): 4 frames. Row r byte j holds r * 16 + j.
//   sector "f1" (grid 1, CNOC (5, 2)): 8 rows, no spare rows.
//   sector "fc" (grid 2): 4 rows x 12 columns, blocks of 2 rows x 6 columns.
//   header records: CNOC [len, x, y, 0], CNT [op, len, areg, rsvd, offset],
//   ERAM [addr, cmd 0xA5, size, reserved 0x3C].
#include <algorithm>
#include <string>
#include <vector>

#include "msg.h"
#include "sector_device.h"
#include "varno_qv_eram_frame_mgr.h"
#include "varno_sblock.h"

namespace {

const std::string kDir = test_data("qv");

BYTES rows_image(u32 rows) {
  BYTES image(rows * 8);
  for (u32 r = 0; r < rows; ++r)
    for (u32 j = 0; j < 8; ++j) image[r * 8 + j] = static_cast<u8>(r * 16 + j);
  return image;
}

// Payload of an ERAM block: rows r0 + 3 down to r0, 4 bytes from byte b.
BYTES payload(u32 r0, u32 b) {
  BYTES out;
  for (u32 k = 0; k < 4; ++k)
    for (u32 j = 0; j < 4; ++j) out.push_back(static_cast<u8>((r0 + 3 - k) * 16 + b + j));
  return out;
}

// The spare-row entry of "cl": rows 4 and 5 are spare.
const std::string kSpareRows = "arg ERAM ERAM_SPARE_ROWS width=2 4 5";

BYTES header_frame(u8 x, u8 y, u32 c, bool group_end, u8 addr, u32 r0) {
  const u8 len = group_end ? 0x1C : 0x08;  // frame bytes / 4
  BYTES out = {len, x, y, 0x00, static_cast<u8>(group_end ? 6 : 4), 0, 0, 0, 0x00, 0x60, 0x02, 0x00,
               addr, 0xA5, 0x04, 0x3C};
  const BYTES p = payload(r0, c * 4);
  out.insert(out.end(), p.begin(), p.end());
  if (group_end) out.insert(out.end(), 80, 0);
  return out;
}

// The sectors' ERAM blocks.
struct QV_DEVICE : SECTOR_DEVICE {
  VARNO_DBLOCK* eram(u32 x) { return block(x, 0, "ERAM"); }
  VARNO_QV_ERAM_FRAME_MGR* mgr(u32 x) {
    return SECTOR_DEVICE::mgr<VARNO_QV_ERAM_FRAME_MGR>(x, 0, "ERAM");
  }
  // Sector x with data, processed; CRAM has no data and builds nothing.
  VARNO_DBLOCK* build(u32 x, BYTES& image, u32 skip_headers, u32 tk_flow) {
    param(x).skip_headers = skip_headers;
    param(x).tk_flow = tk_flow;
    return SECTOR_DEVICE::build(x, 0, "ERAM", VARNO_BLOCK_DATA_ERAM, image);
  }
};

class QvEram : public ::testing::Test, public QV_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
  BYTES m_cl = rows_image(10);
};

// ---- Frames -------------------------------------------------------------------

TEST_F(QvEram, HeaderFramesSkipTheSpareRows) {
  VARNO_DBLOCK* block = build(0, m_cl, 0, 0);
  EXPECT_EQ(block->get_number_of_potential_frames(), 4u);
  EXPECT_EQ(mgr(0)->header_bytes(), 16u);
  // Without the TK flow the frames skip as many rows as there are spare
  // rows, from the top: row group 0 is rows 2 to 5.
  EXPECT_EQ(frames(block), (std::vector<BYTES>{header_frame(7, 3, 0, false, 0, 2),
                                               header_frame(7, 3, 1, true, 1, 2),
                                               header_frame(7, 3, 0, false, 0, 6),
                                               header_frame(7, 3, 1, true, 1, 6)}));
  // The header block keeps the values of the last frame.
  VARNO_SBLOCK* header = dynamic_cast<VARNO_SBLOCK*>(sector(0)->get_block("ERAM_HEADER", false));
  BYTES image(header->get_block_size());
  header->read_block_data(image.data());
  EXPECT_EQ(image, (BYTES{0x01, 0xA5, 0x04, 0x3C}));
}

TEST_F(QvEram, BareFramesAreExactlyTheBlockBytes) {
  VARNO_DBLOCK* block = build(0, m_cl, 1, 0);
  EXPECT_EQ(frames(block), (std::vector<BYTES>{payload(2, 0), payload(2, 4), payload(6, 0),
                                               payload(6, 4)}));
}

TEST_F(QvEram, RowGroupsWithoutSpareRows) {
  BYTES image = rows_image(8);
  VARNO_DBLOCK* block = build(1, image, 0, 0);
  ASSERT_EQ(block->get_number_of_frames(), 4u);
  for (u32 f : {1u, 3u}) {
    const BYTES bytes = frame(block, f);
    ASSERT_EQ(bytes.size(), 112u);
    EXPECT_EQ(bytes[4], 6);  // CNT op of a row-group end
    EXPECT_TRUE(std::all_of(bytes.begin() + 32, bytes.end(), [](u8 b) { return b == 0; }));
  }
  // Frame 2 starts at user bit 4 × 64; its first payload row is row 7.
  EXPECT_EQ(frame(block, 2), header_frame(5, 2, 0, false, 0, 4));
}

TEST_F(QvEram, TkFlowShiftIsTheSameOnEveryBuild) {
  // Frames 0, 1 start at row 0; frame 2 meets the spare entry (4 -> 5) and
  // starts at row 6, and so does frame 3. Addresses are 2 columns on.
  const std::vector<BYTES> expected = {
      header_frame(7, 3, 0, false, 2, 0), header_frame(7, 3, 1, true, 3, 0),
      header_frame(7, 3, 0, false, 2, 6), header_frame(7, 3, 1, true, 3, 6)};
  VARNO_DBLOCK* block = build(0, m_cl, 0, 1);
  EXPECT_EQ(frames(block), expected);
  block->reset_process();
  EXPECT_TRUE(sector(0)->do_all_blocks());
  EXPECT_EQ(frames(block), expected);

  // A partial build starts its frames where the full build does.
  block->clear_frames();
  EXPECT_TRUE(block->partial_process(3, 3));
  EXPECT_TRUE(block->partial_process(2, 3));
  EXPECT_EQ(frames(block), (std::vector<BYTES>{expected[3], expected[2], expected[3]}));
  // A range that builds nothing replays no more than the frames there are.
  EXPECT_TRUE(block->partial_process(0xFFFFFFFFu, 0));
  EXPECT_EQ(block->get_number_of_frames(), 3u);
}

TEST(QvEramDevice, AdjacentSpareRunsMoveTheWholeRowGroup) {
  // Spare rows 4, 5 and 6, 7 of a 12-row ERAM: row group 1 skips both runs
  // and starts at row 8 in both of its columns.
  QV_DEVICE d;
  ASSERT_EQ(
      d.load(kDir,
             {{"qv_sector_cl.ddb", "param ERAM ERAM_ROW_COUNT 10", "param ERAM ERAM_ROW_COUNT 12"},
              {"qv_sector_cl.ddb", kSpareRows, "arg ERAM ERAM_SPARE_ROWS width=2 4 5 6 7"}}),
      0u);
  BYTES image = rows_image(12);
  const std::vector<BYTES> expected = {
      header_frame(7, 3, 0, false, 2, 0), header_frame(7, 3, 1, true, 3, 0),
      header_frame(7, 3, 0, false, 2, 8), header_frame(7, 3, 1, true, 3, 8)};
  VARNO_DBLOCK* block = d.build(0, image, 0, 1);
  EXPECT_EQ(frames(block), expected);
  block->clear_frames();
  EXPECT_TRUE(block->partial_process(3, 3));
  EXPECT_EQ(frames(block), std::vector<BYTES>{expected[3]});
}

TEST(QvEramDevice, BackwardSpareEntryIsRefused) {
  // (4 -> 1) would move row group 1 back onto rows 2 to 5.
  QV_DEVICE d;
  ASSERT_EQ(
      d.load(kDir, {{"qv_sector_cl.ddb", kSpareRows, "arg ERAM ERAM_SPARE_ROWS width=2 4 1"}}), VARNO_PCF_OK);
  BYTES image = rows_image(10);
  EXPECT_INTERNAL_ERROR(d.build(0, image, 0, 1), "r0 + m_rows_per_block <= m_rows");
  EXPECT_EQ(frames_left(d.eram(0)).size(), 2u);
}

TEST(QvEramDevice, ShiftedRowGroupStaysInsideTheEram) {
  // The entry (4 -> 7) moves row group 1 to rows 8 to 11 of a 10-row ERAM.
  QV_DEVICE d;
  ASSERT_EQ(
      d.load(kDir, {{"qv_sector_cl.ddb", kSpareRows, "arg ERAM ERAM_SPARE_ROWS width=2 4 7"}}), VARNO_PCF_OK);
  BYTES image = rows_image(10);
  EXPECT_INTERNAL_ERROR(d.build(0, image, 0, 1), "r0 + m_rows_per_block <= m_rows");
  EXPECT_EQ(frames_left(d.eram(0)).size(), 2u);
}

TEST_F(QvEram, BlocksOfColumnsThatAreNotWholeBytes) {
  // "fc": row 0 = columns 0-5; row 1 = columns 0, 2, 10, 11; row 3 = column 11.
  BYTES image = {0x3F, 0x50, 0xC0, 0x00, 0x00, 0x80};
  VARNO_DBLOCK* block = build(2, image, 1, 0);
  // Rows sit back to back, 6 bits each, last row of the block first.
  EXPECT_EQ(frames(block), (std::vector<BYTES>{{0xC5, 0x0F}, {0x30, 0x00}, {0, 0}, {0x20, 0x00}}));

  param(2).skip_headers = 0;
  EXPECT_TRUE(sector(2)->do_all_blocks());
  EXPECT_EQ(frame(block, 0), (BYTES{0x04, 0x01, 0x00, 0x00, 4, 0, 0, 0, 0x00, 0x60, 0x02, 0x00,
                                    0x00, 0xA5, 0x02, 0x3C, 0xC5, 0x0F}));
  EXPECT_EQ(frame(block, 1).size(), 18u + 80u);
}

// ---- Ranges and user data -----------------------------------------------------------

TEST_F(QvEram, FrameRangeAndUserData) {
  VARNO_DBLOCK* block = eram(0);
  VARNO_BLOCK_CONFIG* config = block->get_block_config();
  param(0).skip_headers = 1;
  EXPECT_TRUE(mgr(0)->create_frames(block, config));  // no data
  EXPECT_EQ(block->get_number_of_frames(), 0u);

  block->set_data(VARNO_BLOCK_DATA_ERAM, m_cl.data(), 0, nullptr);
  EXPECT_TRUE(mgr(0)->create_frames(block, config));
  EXPECT_EQ(block->get_number_of_frames(), 4u);

  block->set_data(VARNO_BLOCK_DATA_ERAM, m_cl.data(), 8, nullptr);
  EXPECT_INTERNAL_ERROR(mgr(0)->create_frames(block, config),
                        "Mismatch in user data size:user_eram_size 8 != 640: eram_pcf_size");

  block->set_data(VARNO_BLOCK_DATA_ERAM, m_cl.data(), 640, nullptr);
  param(0).first_frame[VOLD_BLOCK_ERAM] = 3;  // equal to the last frame: ignored
  EXPECT_TRUE(mgr(0)->create_frames(block, config));
  EXPECT_EQ(block->get_number_of_frames(), 4u);
  param(0).first_frame[VOLD_BLOCK_ERAM] = 1;
  param(0).last_frame[VOLD_BLOCK_ERAM] = 2;
  EXPECT_TRUE(mgr(0)->create_frames(block, config));
  EXPECT_EQ(frames(block), (std::vector<BYTES>{payload(2, 4), payload(6, 0)}));
  param(0).first_frame[VOLD_BLOCK_ERAM] = VARNO_INVALID_DWORD;
  param(0).last_frame[VOLD_BLOCK_ERAM] = VARNO_INVALID_DWORD;
  block->overwrite_frame_count(3);
  EXPECT_TRUE(mgr(0)->create_frames(block, config));
  EXPECT_EQ(block->get_number_of_frames(), 3u);
  block->overwrite_frame_count(4);
  EXPECT_TRUE(mgr(0)->create_frames(block, config));
  EXPECT_EQ(block->get_number_of_frames(), 4u);

  EXPECT_FALSE(mgr(0)->create_partial_frames(block, config, 0, 4));
  EXPECT_TRUE(mgr(0)->create_partial_frames(block, config, 2, 1));
  EXPECT_EQ(block->get_number_of_frames(), 4u);
}

// ---- Set-up failures ---------------------------------------------------------------

TEST(QvEramDevice, MissingEramHeaderFailsSetUp) {
  QV_DEVICE d;
  EXPECT_INTERNAL_ERROR(
      d.load(kDir, {{"quelvo_sector_family_vold.ddb", "block ERAM_HEADER", "block BBUS_HEADER"}}),
      "m_eram_hdr_blk != NULL && m_cnt_blk != NULL && m_cnoc_blk != NULL");
}

TEST(QvEramDevice, EramHeaderNeedsItsAddressField) {
  QV_DEVICE d;
  ASSERT_EQ(d.load(kDir, {{"quelvo_sector_family_vold.ddb", "ob ERAM_HDR_ADDR index=0 size=8",
                           "ob CNT_HDR_LEN index=0 size=8"}}),
            0u);
  BYTES image = rows_image(10);
  EXPECT_INTERNAL_ERROR(d.build(0, image, 0, 0), "eram_addr_size > 0");
  EXPECT_EQ(frames_left(d.eram(0)).size(), 0u);
}

// ---- Expected data and 2D ------------------------------------------------------------

TEST_F(QvEram, ExpectedDataAddressesRowsByBit) {
  BYTES image = {0x3F, 0x50, 0xC0, 0x00, 0x00, 0x80};  // 4 rows of 12 bits
  eram(2)->set_data(VARNO_BLOCK_DATA_ERAM, image.data(), 48, nullptr);
  const TEMP_DIR dir;
  std::string path = dir.file("fc.txt");
  mgr(2)->dump_expected_data(path);
  EXPECT_EQ(read_lines(path), (std::vector<std::string>{"0000000000111111", "0000110000000101",
                                                        "0000000000000000", "0000100000000000"}));

  eram(0)->set_data(VARNO_BLOCK_DATA_ERAM, m_cl.data(), 640, nullptr);
  mgr(0)->dump_expected_data(path);
  const std::vector<std::string> lines = read_lines(path);
  ASSERT_EQ(lines.size(), 10u);
  // Row r: bytes r0 .. r7 (hex), last bit first.
  EXPECT_EQ(lines[1], "00010111" "00010110" "00010101" "00010100"
                      "00010011" "00010010" "00010001" "00010000");
  EXPECT_EQ(lines[9],
            "10010111"
            "10010110"
            "10010101"
            "10010100"
            "10010011"
            "10010010"
            "10010001"
            "10010000");

  std::string empty;
  EXPECT_INTERNAL_ERROR(mgr(0)->dump_expected_data(empty), "!path.empty()");
}

TEST_F(QvEram, TwoDCompressionNeedsTheEngineArguments) {
  DEBUG_LINES debug;
  param(0).qv_2d_compression = 2;
  // "cl" gives no BROW_SIZE: its ERAM engine cannot be built.
  EXPECT_INTERNAL_ERROR(build(0, m_cl, 0, 0), "arg_size > 0");
  VARNO_DBLOCK* block = eram(0);
  EXPECT_EQ(block->get_2d_engine(), nullptr);
  EXPECT_EQ(frames_left(block).size(), 4u);
  EXPECT_EQ(debug.count("Generated 4 frames"), 1u);
  expect_engine_registered_once(block);
}

}  // namespace
