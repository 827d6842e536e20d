// QV CRAM frames of real sectors loaded from tests/data/qv. Expected bytes
// are derived by hand from the fixtures (see the comments in the .ddb files):
//   sector "cl" (grid 0, CNOC address (7, 3)): bitstream rows 0, 1, 2 are
//     IMG rows 0, 3, 1; bitstream bit i is IMG bit i ^ 10, so data byte k of
//     a row is row byte k ^ 1 with the two bit pairs of each nibble swapped.
//   header records: CNOC [len, x, y, 0], CNT [op, len, areg, rsvd, offset].
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "msg.h"
#include "sector_device.h"
#include "varno_qv_cram_frame_mgr.h"

namespace {

const std::string kDir = test_data("qv");

// IMG rows 0 to 3 of sector "cl"; row 2 is the spare row and never framed.
BYTES cl_image() {
  return {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  //
          0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  //
          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  //
          0x80, 0x40, 0x20, 0x10, 0x0F, 0xF0, 0x00, 0xAA};
}

// Header-mode frames of bitstream rows 0, 1, 2 of "cl".
const BYTES kHeaderRow0 = {0x04, 0x07, 0x03, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x40, 0x02,
                           0x00, 0x08, 0x04, 0x01, 0x0C, 0x04, 0x07, 0x03, 0x00, 0x05, 0x01,
                           0x00, 0x00, 0x00, 0x50, 0x02, 0x00, 0x09, 0x05, 0x02, 0x0D};
const BYTES kHeaderRow1 = {0x04, 0x07, 0x03, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x40, 0x02,
                           0x00, 0x10, 0x20, 0x40, 0x80, 0x04, 0x07, 0x03, 0x00, 0x05, 0x01,
                           0x00, 0x00, 0x00, 0x50, 0x02, 0x00, 0xF0, 0x0F, 0xAA, 0x00};
const BYTES kHeaderRow2 = {0x04, 0x07, 0x03, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x40, 0x02,
                           0x00, 0x88, 0x44, 0x11, 0xCC, 0x04, 0x07, 0x03, 0x00, 0x05, 0x01,
                           0x00, 0x00, 0x00, 0x50, 0x02, 0x00, 0x99, 0x55, 0x22, 0xDD};
// Bare frames: DR0, a 4-byte gap (DRAS[0] = 32), DR1.
const BYTES kBareRow0 = {0x08, 0x04, 0x01, 0x0C, 0, 0, 0, 0, 0x09, 0x05, 0x02, 0x0D};
const BYTES kBareRow1 = {0x10, 0x20, 0x40, 0x80, 0, 0, 0, 0, 0xF0, 0x0F, 0xAA, 0x00};
const BYTES kBareRow2 = {0x88, 0x44, 0x11, 0xCC, 0, 0, 0, 0, 0x99, 0x55, 0x22, 0xDD};
// S4 codes of row 0 through the plain map: code k is pair (k ^ 5) of the row
// shifted left by 2; the S2 cells turn code 1 into 0xD and code 5 into 7.
const BYTES kS4Row0 = {0xD0, 0x00, 0x70, 0x00, 0x04, 0x00, 0xC0, 0x00,
                       0x84, 0x00, 0x44, 0x00, 0x08, 0x00, 0xC4, 0x00};
const BYTES kS4Row0NoS2 = {0x80, 0x00, 0x40, 0x00, 0x04, 0x00, 0xC0, 0x00,
                           0x84, 0x00, 0x44, 0x00, 0x08, 0x00, 0xC4, 0x00};
const BYTES kS4Row1 = {0x00, 0x04, 0x00, 0x08, 0x00, 0x40, 0x00, 0x80,
                       0x00, 0xCC, 0xCC, 0x00, 0x88, 0x88, 0x00, 0x00};
// S4 codes through the 16-cell mask: 0xFFFFFFFF, pair at 0 (S2: 7), bits
// 17..14 (3), bits 19..16 (0xC), pair at 2, then zero cells.
const BYTES kMaskRow0 = {0x70, 0xC3, 0, 0, 0, 0, 0, 0};

// An argument record placed in front of a block's own of the same type, for
// as long as the guard lives.
class ARG_OVERRIDE {
 public:
  ARG_OVERRIDE(VARNO_BLOCK_CONFIG* config, VOLD_ARGUMENT_TYPE type, u32 width,
               std::vector<u32> values)
      : m_config(config) {
    m_info.create_device_info(VOLD_FAMILY_QUELVO_SECTOR, 1);
    m_arg = m_info.add_arg(VOLD_BLOCK_CRAM, type, width, std::move(values));
    m_config->m_arg_list.insert(m_config->m_arg_list.begin(), m_arg);
  }
  ~ARG_OVERRIDE() { std::erase(m_config->m_arg_list, m_arg); }

 private:
  VARNO_BLOCK_CONFIG* m_config;
  VOLD_INFO m_info;
  VOLD_ARG* m_arg = nullptr;
};

// The sectors' CRAM blocks.
struct QV_DEVICE : SECTOR_DEVICE {
  VARNO_DBLOCK* cram(u32 x) { return block(x, 0, "CRAM"); }
  VARNO_QV_CRAM_FRAME_MGR* mgr(u32 x) {
    return SECTOR_DEVICE::mgr<VARNO_QV_CRAM_FRAME_MGR>(x, 0, "CRAM");
  }
  // Sector x with the "cl" image, processed with its own parameters.
  VARNO_DBLOCK* build(u32 x, u32 s4_variant, u32 skip_headers) {
    param(x).s4_variant = static_cast<u8>(s4_variant);
    param(x).skip_headers = skip_headers;
    return SECTOR_DEVICE::build(x, 0, "CRAM", VARNO_BLOCK_DATA_CRAM, m_image);
  }

  BYTES m_image = cl_image();
};

class QvCram : public ::testing::Test, public QV_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
};

// ---- Frame layouts -----------------------------------------------------------------

TEST_F(QvCram, HeaderFramesCarryTwoRecordPairsAndTheCnocAddress) {
  VARNO_DBLOCK* block = build(0, 0, 0);
  EXPECT_EQ(block->get_number_of_potential_frames(), 3u);
  EXPECT_EQ(frames(block), (std::vector<BYTES>{kHeaderRow0, kHeaderRow1, kHeaderRow2}));
  EXPECT_FALSE(block->m_s4_mask_used);
  EXPECT_EQ(mgr(0)->core_size(), 32u);
}

TEST_F(QvCram, BareFramesLeaveAGapBetweenTheRegisters) {
  VARNO_DBLOCK* block = build(0, 0, 1);
  EXPECT_EQ(frames(block), (std::vector<BYTES>{kBareRow0, kBareRow1, kBareRow2}));
}

TEST_F(QvCram, AlignedRowsUseTheRev32Map) {
  param(0).qv_2d_align = 1;
  VARNO_DBLOCK* block = build(0, 0, 1);
  // The REV32 map is the identity: DR0 and DR1 are the row's own bytes.
  EXPECT_EQ(frame(block, 0), (BYTES{0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0x05, 0x06, 0x07, 0x08}));
  EXPECT_TRUE(block->m_s4_mask_used);
}

TEST_F(QvCram, S4FramesWithoutTheMask) {
  VARNO_DBLOCK* block = build(0, 2, 1);
  EXPECT_FALSE(block->m_s4_mask_used);
  ASSERT_EQ(block->get_number_of_frames(), 3u);
  EXPECT_EQ(frame(block, 0), kS4Row0);
  // IMG row 3 has no S4 information: no S2 cell is consulted.
  EXPECT_EQ(frame(block, 1), kS4Row1);
  // Only the first build is recorded: 32 pair cells.
  EXPECT_EQ(mgr(0)->s4_decode(),
            std::vector<CRAM_S4_DECODE_TYPE>(32, CRAM_S4_DECODE_PAIR));
  cram(0)->reset_process();
  EXPECT_TRUE(sector(0)->do_all_blocks());
  EXPECT_EQ(mgr(0)->s4_decode().size(), 32u);

  param(0).cram_skip_s4_data = 1;
  EXPECT_TRUE(sector(0)->do_all_blocks());
  EXPECT_EQ(frame(block, 0), kS4Row0NoS2);
}

TEST_F(QvCram, S4FramesThroughTheMask) {
  VARNO_DBLOCK* block = build(0, 3, 1);
  EXPECT_TRUE(block->m_s4_mask_used);
  EXPECT_EQ(frame(block, 0), kMaskRow0);
  std::vector<CRAM_S4_DECODE_TYPE> kinds(16, CRAM_S4_DECODE_ZERO);
  kinds[1] = CRAM_S4_DECODE_PAIR;
  kinds[2] = CRAM_S4_DECODE_MASK;
  kinds[3] = CRAM_S4_DECODE_MASK;
  kinds[4] = CRAM_S4_DECODE_PAIR;
  EXPECT_EQ(mgr(0)->s4_decode(), kinds);
}

TEST_F(QvCram, VariantOneFollowsTheDevice) {
  // "cl" may use the mask, "f1" (device type 41) may not.
  EXPECT_EQ(frame(build(0, 1, 1), 0), kMaskRow0);
  VARNO_DBLOCK* f1 = build(1, 1, 1);
  EXPECT_FALSE(f1->m_s4_mask_used);
  EXPECT_EQ(frame(f1, 0), kS4Row0);
}

TEST_F(QvCram, HeadersAndS4Conflict) {
  param(0).s4_variant = 1;
  cram(0)->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 256, nullptr);
  EXPECT_INTERNAL_ERROR(sector(0)->do_all_blocks(), "S4 and LSM mode not supported");
  // A block whose descriptor variant is 1 is never written in S4 form.
  set_descriptor_word(cram(0), 6, 1);
  EXPECT_TRUE(sector(0)->do_all_blocks());
  // Variant 1 still selects the mask, and with it the identity REV32 map.
  BYTES expected = kHeaderRow0;
  std::copy_n(m_image.begin(), 4, expected.begin() + 12);
  std::copy_n(m_image.begin() + 4, 4, expected.begin() + 28);
  EXPECT_EQ(frame(cram(0), 0), expected);
  EXPECT_TRUE(cram(0)->m_s4_mask_used);
}

// ---- Frame ranges -----------------------------------------------------------------

TEST_F(QvCram, FrameRangeFollowsUserCountAndOverrides) {
  VARNO_DBLOCK* block = build(0, 0, 1);
  VARNO_BLOCK_CONFIG* config = block->get_block_config();
  auto count = [&] {
    EXPECT_TRUE(mgr(0)->create_frames(block, config));
    return block->get_number_of_frames();
  };
  block->overwrite_frame_count(2);
  EXPECT_EQ(count(), 2u);
  block->overwrite_frame_count(3);
  EXPECT_EQ(count(), 3u);
  block->overwrite_frame_count(0);

  VARNO_MGR_PARAM& p = param(0);
  p.first_frame[VOLD_BLOCK_CRAM] = 1;
  EXPECT_EQ(count(), 2u);
  EXPECT_EQ(frame(block, 0), kBareRow1);
  p.first_frame[VOLD_BLOCK_CRAM] = 2;  // not below the last row: ignored
  EXPECT_EQ(count(), 3u);
  p.first_frame[VOLD_BLOCK_CRAM] = 1;
  p.last_frame[VOLD_BLOCK_CRAM] = 0;  // below the first: ignored
  EXPECT_EQ(count(), 2u);
  p.first_frame[VOLD_BLOCK_CRAM] = VARNO_INVALID_DWORD;
  p.last_frame[VOLD_BLOCK_CRAM] = 1;
  EXPECT_EQ(count(), 2u);
  EXPECT_EQ(frame(block, 1), kBareRow1);
  p.last_frame[VOLD_BLOCK_CRAM] = VARNO_INVALID_DWORD;

  block->clear_frames();
  EXPECT_FALSE(mgr(0)->create_partial_frames(block, config, 0, 3));
  EXPECT_TRUE(mgr(0)->create_partial_frames(block, config, 2, 1));
  EXPECT_EQ(block->get_number_of_frames(), 0u);
}

TEST_F(QvCram, PartialBuildEqualsTheSameFramesOfAFullBuild) {
  for (u32 skip : {0u, 1u}) {
    VARNO_DBLOCK* block = build(0, 0, skip);
    const std::vector<BYTES> full = frames(block);
    block->clear_frames();
    EXPECT_TRUE(block->partial_process(1, 2));
    EXPECT_EQ(frames(block), (std::vector<BYTES>{full[1], full[2]}));
    EXPECT_TRUE(block->partial_process(0, 0));
    EXPECT_EQ(frame(block, 2), full[0]);
  }
}

TEST_F(QvCram, UserDataChecks) {
  param(0).s4_variant = 0;
  VARNO_DBLOCK* block = cram(0);
  // No data: nothing to frame.
  EXPECT_TRUE(sector(0)->do_all_blocks());
  EXPECT_EQ(block->get_number_of_frames(), 0u);
  // Length 0 leaves the size to the caller.
  block->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 0, nullptr);
  EXPECT_TRUE(sector(0)->do_all_blocks());
  EXPECT_EQ(frame(block, 0), kHeaderRow0);
  block->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 255, nullptr);
  EXPECT_INTERNAL_ERROR(sector(0)->do_all_blocks(),
                        "Mismatch in user data size:user_cram_size 255 != 256: cram_pcf_size");
  // The failed build leaves the change standing: a partial build is refused.
  EXPECT_FALSE(block->partial_process(0, 0));
}

TEST_F(QvCram, SecondDataPointerIsNotFramed) {
  BYTES other(32, 0x5A);
  param(0).s4_variant = 0;
  cram(0)->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 256, other.data());
  EXPECT_TRUE(sector(0)->do_all_blocks());
  EXPECT_EQ(frames(cram(0)), (std::vector<BYTES>{kHeaderRow0, kHeaderRow1, kHeaderRow2}));
}

// ---- Unsound device data ------------------------------------------------------------

TEST_F(QvCram, RowWiderThanTheRegistersStopsAtTheSegmentEnd) {
  // "fc" has 70-bit rows but two 32-bit registers: with headers the segment
  // has 8 + 2 × 12 bytes, and DR1 bit 64 would land on segment bit 256.
  BYTES image(35, 0xFF);
  param(2).s4_variant = 0;
  cram(2)->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 280, nullptr);
  EXPECT_INTERNAL_ERROR(sector(2)->do_all_blocks(), "Write to out-of-range index 256 (max 256)");
  EXPECT_EQ(frames_left(cram(2)).size(), 0u);
  EXPECT_INTERNAL_ERROR(cram(2)->get_number_of_frames(),
                        "Block CRAM of sector (2, 0) read before a rebuild: its build failed");
}

TEST_F(QvCram, MapEntriesAreChecked) {
  VARNO_DBLOCK* block = cram(0);
  VARNO_BLOCK_CONFIG* config = block->get_block_config();
  block->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 256, nullptr);
  param(0).skip_headers = 1;
  auto fresh = [&] {
    auto m = std::make_unique<VARNO_QV_CRAM_FRAME_MGR>();
    m->set_parent(block);
    EXPECT_TRUE(m->init());
    return m;
  };
  {
    std::vector<u32> map(64);
    for (u32 i = 0; i < 64; ++i) map[i] = i;
    map[5] = 64;
    ARG_OVERRIDE o(config, VOLD_ARGUMENT_RAW_TO_IMG_MAP, 64, map);
    param(0).s4_variant = 0;
    EXPECT_INTERNAL_ERROR(fresh()->create_frames(block, config),
                          "Bitstream bit 5 maps to IMG bit 64 outside the row (64 bits)");
    // The same entry as the first of an S4 pair.
    map[5] = 5;
    map[2] = 63;
    ARG_OVERRIDE pair(config, VOLD_ARGUMENT_RAW_TO_IMG_MAP, 64, map);
    param(0).s4_variant = 2;
    EXPECT_INTERNAL_ERROR(fresh()->create_frames(block, config),
                          "S4 cell at IMG bit 63 lies outside the row (64 bits)");
  }
  {
    std::vector<u32> narrow(32);
    ARG_OVERRIDE o(config, VOLD_ARGUMENT_RAW_TO_IMG_MAP, 32, narrow);
    param(0).s4_variant = 0;
    EXPECT_INTERNAL_ERROR(fresh()->create_frames(block, config), "raw_to_img_map width >= m_cols");
  }
  param(0).s4_variant = 3;
  {
    std::vector<u32> mask(16, 0xFFFFFFFFu);
    mask[3] = 0x80000002u;
    ARG_OVERRIDE o(config, VOLD_ARGUMENT_S4_4BIT_MASK, 16, mask);
    EXPECT_INTERNAL_ERROR(fresh()->create_frames(block, config), "(src_bit & 0x1) != 0");
  }
  // The downward read of four bits would reach into the row before, or
  // start past the row.
  for (const u32 entry : {2u, 64u}) {
    std::vector<u32> mask(16, 0xFFFFFFFFu);
    mask[3] = entry;
    ARG_OVERRIDE o(config, VOLD_ARGUMENT_S4_4BIT_MASK, 16, mask);
    EXPECT_INTERNAL_ERROR(fresh()->create_frames(block, config),
                          "S4 mask entry " + std::to_string(entry) + " lies outside the row (64 bits)");
  }
  {
    ARG_OVERRIDE o(config, VOLD_ARGUMENT_CRAM_BS_FRAME_TO_IMG_FRAME_MAP, 3, {0, 3, 3});
    param(0).s4_variant = 0;
    EXPECT_INTERNAL_ERROR(fresh()->create_frames(block, config), "Invalid frame range");
  }
  {
    ARG_OVERRIDE o(config, VOLD_ARGUMENT_CRAM_BS_FRAME_TO_IMG_FRAME_MAP, 3, {0, 3, 9});
    EXPECT_INTERNAL_ERROR(fresh()->create_frames(block, config), "Invalid frame range");
  }
}

TEST(QvCramDevice, S4CellPositionsAreChecked) {
  QV_DEVICE l;
  ASSERT_EQ(l.load(kDir, {{"qv_sector_cl.ddb", "cells=3:1:0:0", "cells=3:1:64:0"}}), VARNO_PCF_OK);
  BYTES image = cl_image();
  l.param(0).s4_variant = 2;
  l.param(0).skip_headers = 1;
  l.cram(0)->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 256, nullptr);
  EXPECT_INTERNAL_ERROR(l.sector(0)->do_all_blocks(),
                        "S4 cell control bit (1, 64) lies outside the CRAM image");
}

TEST(QvCramDevice, OneBitPerFrameS4InformationIsReadAsBits) {
  // With algorithm 1 the S4 information holds a bit per IMG frame: only IMG
  // row 0 has S2 cells. Reading it as bytes would run past its one byte.
  QV_DEVICE l;
  ASSERT_EQ(l.load(kDir, {{"qv_sector_cl.ddb", "param CRAM CRAM_ALGO 0", "param CRAM CRAM_ALGO 1"},
                          {"qv_sector_cl.ddb", "arg CRAM DRA_S4_INFO width=4 1 0 0 0",
                           "arg CRAM DRA_S4_INFO width=1 1"}}),
            0u);
  VARNO_DBLOCK* block = l.build(0, 2, 1);
  ASSERT_EQ(frames(block).size(), 3u);
  EXPECT_EQ(frames(block)[0], kS4Row0);
  EXPECT_EQ(frames(block)[1], kS4Row1);
}

TEST(QvCramDevice, RegisterLengthsFitSixteenBitWordCounts) {
  // 0xFFFF words still load; one word more is refused before any frame of
  // that size is made.
  QV_DEVICE ok;
  EXPECT_EQ(ok.load(kDir, {{"qv_sector_cl.ddb", "param CRAM DRAS 32 32", "param CRAM DRAS 32 2097120"}}),
            VARNO_PCF_OK);
  QV_DEVICE d;
  EXPECT_INTERNAL_ERROR(
      d.load(kDir, {{"qv_sector_cl.ddb", "param CRAM DRAS 32 32", "param CRAM DRAS 2097152 32"}}),
      "(dras[i] >> 5) <= 0xFFFF");
}

TEST(QvCramDevice, MissingHeaderBlocksFailSetUp) {
  // The CNT_HEADER block becomes a BBUS_HEADER block.
  QV_DEVICE d;
  EXPECT_INTERNAL_ERROR(
      d.load(kDir, {{"quelvo_sector_family_vold.ddb", "block CNT_HEADER", "block BBUS_HEADER"}}),
      "m_cnoc_blk != NULL && m_cnt_blk != NULL");
}

// ---- Expected data ------------------------------------------------------------------

TEST_F(QvCram, ExpectedDataIsEachRowLastBitFirst) {
  const TEMP_DIR dir;
  std::string path = dir.file("cl.txt");
  mgr(0)->dump_expected_data(path);
  EXPECT_FALSE(std::filesystem::exists(path));  // no user data, no file

  cram(0)->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 256, nullptr);
  mgr(0)->dump_expected_data(path);
  const std::vector<std::string> lines = read_lines(path);
  ASSERT_EQ(lines.size(), 4u);  // every IMG row, the spare row too
  EXPECT_EQ(lines[0],
            "00001000" "00000111" "00000110" "00000101" "00000100" "00000011" "00000010" "00000001");
  EXPECT_EQ(lines[1],
            "10001000"
            "01110111"
            "01100110"
            "01010101"
            "01000100"
            "00110011"
            "00100010"
            "00010001");
  EXPECT_EQ(lines[2], std::string(64, '1'));
  EXPECT_EQ(lines[3],
            "10101010"
            "00000000"
            "11110000"
            "00001111"
            "00010000"
            "00100000"
            "01000000"
            "10000000");

  std::string empty;
  EXPECT_INTERNAL_ERROR(mgr(0)->dump_expected_data(empty), "!path.empty()");
}

TEST_F(QvCram, ExpectedDataOfRowsThatAreNotWholeBytes) {
  // "fc": 70-bit rows, swap entries (0, kind 0), (8, kind 4), (40, kind 3),
  // (1, kind 1). Row 0 holds bit 1 only, row 1 bit 8 only (image bit 78).
  BYTES image(35, 0);
  image[0] = 0x02;
  image[9] = 0x40;
  cram(2)->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 280, nullptr);
  const TEMP_DIR dir;
  std::string path = dir.file("fc.txt");
  auto line_with = [](std::initializer_list<int> ones) {
    std::string s(72, '0');
    for (int i : ones) s[i] = '1';
    return s;
  };
  // Forward: kind 0 moves bit 1 to bit 4, kind 1 copies bits 4, 5 to 33, 34;
  // kind 4 moves bit 8 to bit 64. Reversed over 72 bits: 71 - bit.
  mgr(2)->dump_expected_data(path);
  std::vector<std::string> lines = read_lines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], line_with({71 - 4, 71 - 33}));
  EXPECT_EQ(lines[1], line_with({71 - 64}));
  EXPECT_EQ(lines[2], line_with({}));
  EXPECT_EQ(lines[3], line_with({}));
  // Backward: kind 0 in reverse moves bit 1 to bit 2; the copy goes 32 -> 3.
  param(2).dump_swap_dr_bits = 0;
  mgr(2)->dump_expected_data(path);
  lines = read_lines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], line_with({71 - 2}));
  // A second set-up keeps the list it built, with its count of 4 entries.
  ASSERT_TRUE(mgr(2)->init());
  mgr(2)->dump_expected_data(path);
  EXPECT_EQ(read_lines(path)[0], line_with({71 - 2}));
}

TEST(QvCramSwap, KindsForwardAndBackward) {
  auto run = [](BYTES row, u32 entry, bool forward) {
    VARNO_QV_CRAM_FRAME_MGR::swap_dr_bits(row.data(), 64, &entry, 1, forward);
    return row;
  };
  const BYTES bits_1_3 = {0x0A, 0, 0, 0, 0, 0, 0, 0};
  const BYTES bits_4_5 = {0x30, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(run(bits_1_3, 0, true), bits_4_5);
  EXPECT_EQ(run(bits_4_5, 0, false), bits_1_3);
  EXPECT_EQ(run({0x01, 0, 0, 0, 0, 0, 0, 0}, 5u << 16, true), (BYTES{0x04, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(run({0x04, 0, 0, 0, 0, 0, 0, 0}, 5u << 16, false), (BYTES{0x01, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(run({0x03, 0, 0, 0, 0, 0, 0, 0}, 2u << 16, true),
            (BYTES{0x03, 0, 0, 0, 0, 0, 0, 0x30}));
  EXPECT_EQ(run({0, 0, 0, 0, 0, 0, 0, 0x30}, 2u << 16, false),
            (BYTES{0x03, 0, 0, 0, 0, 0, 0, 0x30}));
  EXPECT_EQ(run({0x18, 0, 0, 0, 0, 0, 0, 0}, 1u << 16 | 0, true),
            (BYTES{0x18, 0, 0, 0, 0x03, 0, 0, 0}));
  EXPECT_EQ(run({0x01, 0, 0, 0, 0, 0, 0, 0}, 4u << 16, true), (BYTES{0, 0, 0, 0, 0, 0, 0, 0x01}));
  const BYTES any = {0x5A, 0xA5, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(run(any, 3u << 16, true), any);
  EXPECT_EQ(run(any, 6u << 16, false), any);
  // An entry whose bits run past the row is refused before anything moves.
  EXPECT_INTERNAL_ERROR(run(any, 2u << 16 | 3, true),
                        "Bit-swap entry 0 (bit 3, kind 2) lies outside the row (64 bits)");
}

// ---- Other operations -----------------------------------------------------------------

TEST_F(QvCram, EngineIsRegisteredOnceWithTheArrayGenerator) {
  VARNO_DBLOCK* block = build(0, 0, 1);
  mgr(0)->register_2d_engine(block);
  EXPECT_TRUE(m_top->registered_2d_engines().empty());
  expect_engine_registered_once(block);
}

TEST_F(QvCram, TwoDCompressionNeedsTheEngineArguments) {
  DEBUG_LINES debug;
  param(0).qv_2d_compression = 1;
  param(1).qv_2d_compression = 1;
  // "cl" gives no BROW_SIZE: its CRAM engine cannot be built.
  EXPECT_INTERNAL_ERROR(build(0, 0, 1), "arg_size > 0");
  build(1, 0, 1);  // CNOC address (5, 2): kept out of 2D prediction
  EXPECT_EQ(cram(0)->get_2d_engine(), nullptr);
  EXPECT_EQ(cram(1)->get_2d_engine(), nullptr);
  EXPECT_EQ(debug.count("Generating CRAM frames ..."), 2u);
  EXPECT_EQ(debug.count("Generated 3 frames"), 2u);
}

TEST_F(QvCram, LfsrIsZeroAndReadsOnlyBuiltFrames) {
  VARNO_DBLOCK* block = build(0, 0, 1);
  EXPECT_EQ(block->get_user_data_lfsr(0, 1000, 0, 0), 0u);
  EXPECT_EQ(block->get_user_data_lfsr(5, 1, 0, 0), 0u);
}

TEST_F(QvCram, LfsrChecksTheDecodeListOfTheS4FramesBuilt) {
  // Without the mask a frame holds m_cols / 2 = 32 cells (4 × D): the host
  // call succeeds.
  VARNO_DBLOCK* block = build(0, 2, 1);
  ASSERT_EQ(mgr(0)->s4_decode().size(), 32u);
  EXPECT_EQ(block->get_user_data_lfsr(0, 2, 0, 0), 0u);

  VARNO_BLOCK_CONFIG* config = block->get_block_config();
  auto fresh = [&] {
    auto m = std::make_unique<VARNO_QV_CRAM_FRAME_MGR>();
    m->set_parent(block);
    EXPECT_TRUE(m->init());
    return m;
  };
  // Through the 16-cell mask: 2 × D = 16 cells.
  param(0).s4_variant = 3;
  auto masked = fresh();
  EXPECT_TRUE(masked->create_frames(block, config));
  EXPECT_EQ(masked->get_lfsr(block, 0, 2, 0, 0), 0u);
  {
    // A mask of 32 cells makes frames that are not 2 × D cells long.
    ARG_OVERRIDE o(config, VOLD_ARGUMENT_S4_4BIT_MASK, 32, std::vector<u32>(32, 0xFFFFFFFFu));
    auto wide = fresh();
    EXPECT_TRUE(wide->create_frames(block, config));
    EXPECT_INTERNAL_ERROR(wide->get_lfsr(block, 0, 2, 0, 0), "decode_size == m_s4_decode.size()");
  }
  // A block that is never written in S4 form has no cells to check.
  param(0).s4_variant = 1;
  param(0).skip_headers = 0;
  set_descriptor_word(block, 6, 1);
  auto plain = fresh();
  EXPECT_TRUE(plain->create_frames(block, config));
  EXPECT_TRUE(plain->s4_decode().empty());
  EXPECT_EQ(plain->get_lfsr(block, 0, 2, 0, 0), 0u);
}

// ---- Set-up ----------------------------------------------------------------------------

TEST_F(QvCram, InitChecks) {
  VARNO_QV_CRAM_FRAME_MGR none;
  expect_parent_checks(none);

  // A CRAM block of a generator that is not a sector has no sector to
  // address its records to.
  VARNO_GEN* top = m_top.get();
  VARNO_DBLOCK outside(VOLD_BLOCK_CRAM, top);
  outside.set_frame_descriptor(*cram(0)->get_frame_descriptor());
  outside.get_block_config()->m_param_list = cram(0)->get_block_config()->m_param_list;
  outside.get_block_config()->m_arg_list = cram(0)->get_block_config()->m_arg_list;
  VARNO_QV_CRAM_FRAME_MGR m;
  m.set_parent(&outside);
  EXPECT_INTERNAL_ERROR(m.init(), "m_meta_block != nullptr");
}

}  // namespace
