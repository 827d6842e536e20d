// Legacy CRAM frames of a small device loaded from tests/data/hg (see the
// comments in legacy_device.ddb). Expected frames are derived by hand:
//   user bits: IMG 0 {0,2,5,6,9,17,30,35}, IMG 1 {1,4,7,8,9,12,15,17,18,20,
//   34,35}, IMG 2 {4,10}, IMG 3 {24} (row 4 of the LUTRAM column in use).
//   IMG 0 core: bits k + 8 but for bit 2: 00 61 02 02 40 08 00 00. Its ED-CRC
//     sees bits {0,2,9,30,35} (row 4 blocks 4-7 and 16-19 cleared).
//   IMG 1 (S4): pair codes 9 F C 0 8 4 4 8 5 0 0 0 0 0 0 C, nibble k at core
//     bits 4k: F9 0C 48 84 05 00 00 C0.
//   IMG 2 (MRAM): core 00 10 04 00 00 00 00 00, zero ED-CRC.
// The CRC-16 and the ED-CRC are checked against independent bitwise
// implementations of the stated polynomials.
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "early_device.h"
#include "varno_legacy_cram_frame_mgr.h"

namespace {

const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/hg";
using BITS = std::set<u32>;

// ---- Independent references ---------------------------------------------------------

// MSB-first CRC-32 of a message of n bits whose ones are listed.
u32 edcrc_ref(u32 n, const BITS& ones, u32 crc = 1) {
  for (u32 i = 0; i < n; ++i) {
    const bool x = (ones.count(i) != 0) != ((crc >> 31) != 0);
    crc <<= 1;
    if (x) crc ^= 0xF4ACFB13;
  }
  return crc;
}

// The ED-CRC message of a frame with the given set bits: registers 31 down
// to 0 of the fixture: bits 4 and 5, then (zero, bit m) for m = 6 .. 35,
// then two zeros.
u32 fixture_edcrc(const BITS& frame_bits) {
  BITS ones;
  for (u32 m : frame_bits) {
    if (m == 4 || m == 5) ones.insert(m - 4);
    if (m >= 6 && m <= 35) ones.insert(3 + 2 * (m - 6));
  }
  return edcrc_ref(64, ones);
}

// Header of two words (instruction, zero), core, optional ED-CRC segment,
// trailer with the CRC over the first header word only.
BYTES legacy_frame(u32 instruction, const BYTES& core, const BYTES& edcrc, u16 filler) {
  return concat({le32(instruction), BYTES(4, 0), core, edcrc,
                 trailer(concat({le32(instruction), core, edcrc}), filler)});
}

// ---- Fixture values -------------------------------------------------------------------

constexpr u16 kFiller = 0x1234;
constexpr u32 kFirst = 0xA1000001, kLast = 0xA2000002, kDefault = 0xA3000003;
constexpr u32 kFirstS4 = 0xB1000011, kLastS4 = 0xB2000012, kDefaultS4 = 0xB3000013;
const BITS kImg0 = {0, 2, 5, 6, 9, 17, 30, 35};
const BITS kImg1 = {1, 4, 7, 8, 9, 12, 15, 17, 18, 20, 34, 35};
const BITS kImg2 = {4, 10};
const BITS kImg3 = {24};
const BYTES kCore0 = {0x00, 0x61, 0x02, 0x02, 0x40, 0x08, 0x00, 0x00};
const BYTES kCore1 = {0xF9, 0x0C, 0x48, 0x84, 0x05, 0x00, 0x00, 0xC0};
const BYTES kCore2 = {0x00, 0x10, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
const BITS kMasked0 = {0, 2, 9, 30, 35};

BYTES image_of(const std::vector<BITS>& frames) {
  BYTES image(18, 0);
  for (u32 f = 0; f < frames.size(); ++f) {
    for (u32 k : frames[f]) {
      const u32 b = 36 * f + k;
      image[b / 8] = static_cast<u8>(image[b / 8] | (1u << (b % 8)));
    }
  }
  return image;
}

// ---- Harness --------------------------------------------------------------------------

// A device with the legacy CRAM manager under test.
struct LEGACY_DEVICE : TESTED_DEVICE<VARNO_LEGACY_CRAM_FRAME_MGR> {
  LEGACY_DEVICE() : TESTED_DEVICE(VOLD_FRAME_LEGACY_CRAM, "CRAM") {}
  // Loads the fixture with the edits.
  void load(const FILE_EDITS& edits = {}) {
    ASSERT_EQ(load_files(kDir, "legacy_family.ddb", "legacy_device.ddb", edits), VARNO_PCF_OK)
        << VOLD_DATA_SERVER::last_error();
  }
  VOLD_DEVICE_INFO* device() { return gen()->device_pcf_info()->get_device_info(); }
  VARNO_DBLOCK* cram() { return tested(); }
  VARNO_BLOCK_CONFIG* config() { return cram()->get_block_config(); }
  S4_SII* s4_record(u32 img) { return device()->m_s4_s2_list->at(img); }
  bool build() {
    cram()->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 144, nullptr);
    cram()->set_random_filler(kFiller);
    return cram()->process(false);
  }

  BYTES m_image = image_of({kImg0, kImg1, kImg2, kImg3});
};

class LegacyCram : public ::testing::Test, public LEGACY_DEVICE {
 protected:
  void SetUp() override { load(); }
};

const BYTES kZeroEdcrc(4, 0);

BYTES frame_of_img1(u32 instruction) {
  return legacy_frame(instruction, kCore1, kZeroEdcrc, kFiller);
}
BYTES frame_of_img0(u32 instruction) {
  return legacy_frame(instruction, kCore0, le32(fixture_edcrc(kMasked0)), kFiller);
}
BYTES frame_of_img2(u32 instruction) {
  return legacy_frame(instruction, kCore2, kZeroEdcrc, kFiller);
}

// ---- References -----------------------------------------------------------------------

TEST(LegacyCramReference, EdcrcReferenceKnownAnswer) {
  // "abc", bits least significant first in each byte.
  BITS ones;
  const u8 abc[] = {'a', 'b', 'c'};
  for (u32 i = 0; i < 24; ++i)
    if ((abc[i / 8] >> (i % 8)) & 1) ones.insert(i);
  EXPECT_EQ(edcrc_ref(24, ones), 0x703C1907u);
}

// ---- Frames ---------------------------------------------------------------------------

TEST_F(LegacyCram, FramesWithInstructionEdcrcAndTrailer) {
  EXPECT_EQ(cram()->get_number_of_potential_frames(), 3u);
  ASSERT_TRUE(build());
  // Bitstream frames 0, 1, 2 are IMG frames 1 (S4, first), 0 (plain), 2
  // (MRAM, last); the S4 and the MRAM frame keep a zero ED-CRC.
  EXPECT_EQ(frames(), (std::vector<BYTES>{frame_of_img1(kFirstS4), frame_of_img0(kDefault),
                                          frame_of_img2(kLast)}));
  const VARNO_FRAME* f = cram()->get_frame(1);
  ASSERT_EQ(f->segments().size(), 4u);
  EXPECT_EQ(f->segments()[0]->type(), VARNO_FRAME_SEGMENT_HEADER);
  EXPECT_EQ(f->segments()[1]->type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_EQ(f->segments()[2]->type(), VARNO_FRAME_SEGMENT_EDCRC);
  EXPECT_EQ(f->segments()[3]->type(), VARNO_FRAME_SEGMENT_TRAILER);
  EXPECT_TRUE(f->pre_instructions().empty() && f->post_instructions().empty());
  // The user data per IMG frame, at IMG bit positions.
  EXPECT_EQ(BYTES(mgr()->user_img_data(3), mgr()->user_img_data(3) + 5), with_bits(5, kImg3));
  EXPECT_EQ(mgr()->img_frame_bytes(), 5u);
}

TEST(LegacyCramDevice, WithoutEdcrcWordsThereIsNoEdcrcSegment) {
  LEGACY_DEVICE d;
  d.load({{"legacy_family.ddb", "w1=2 w3=1", "w1=2 w3=0"}});
  ASSERT_TRUE(d.build());
  EXPECT_EQ(d.frames(), (std::vector<BYTES>{legacy_frame(kFirstS4, kCore1, {}, kFiller),
                                            legacy_frame(kDefault, kCore0, {}, kFiller),
                                            legacy_frame(kLast, kCore2, {}, kFiller)}));
  EXPECT_EQ(d.cram()->get_frame(1)->get_segment(VARNO_FRAME_SEGMENT_EDCRC), nullptr);
}

TEST_F(LegacyCram, FrameRangeAndInstructionWords) {
  auto run = [&](u32 user, u32 first, u32 last) {
    mgr()->set_user_frame_count(user);
    param().first_frame[VOLD_BLOCK_CRAM] = first;
    param().last_frame[VOLD_BLOCK_CRAM] = last;
    EXPECT_TRUE(build());
    return frames();
  };
  const u32 none = VARNO_INVALID_DWORD;
  EXPECT_EQ(run(2, none, none),
            (std::vector<BYTES>{frame_of_img1(kFirstS4), frame_of_img0(kLast)}));
  // A single frame takes the first-frame word.
  EXPECT_EQ(run(1, none, none), (std::vector<BYTES>{frame_of_img1(kFirstS4)}));
  EXPECT_EQ(run(0, 1, none), (std::vector<BYTES>{frame_of_img0(kFirst), frame_of_img2(kLast)}));
  EXPECT_EQ(run(0, 1, 1), (std::vector<BYTES>{frame_of_img0(kFirst)}));
  // A first override equal to the end, a last override below the start.
  EXPECT_EQ(run(0, 2, none).size(), 3u);
  EXPECT_EQ(run(0, 1, 0).size(), 2u);
  EXPECT_EQ(run(3, none, none).size(), 3u);

  // The S4 words by position.
  S4_SII_BIT_LIST* list = s4_record(1)->get_data_list()->at(0);
  for (auto [first, last, word] :
       {std::tuple{true, true, kFirstS4}, std::tuple{false, true, kLastS4},
        std::tuple{false, false, kDefaultS4}}) {
    std::unique_ptr<VARNO_FRAME> f = mgr()->create_frame(cram(), config(), 0, 1, list, first, last);
    EXPECT_EQ(BYTES(f->get_segment(VARNO_FRAME_SEGMENT_HEADER)->data(),
                    f->get_segment(VARNO_FRAME_SEGMENT_HEADER)->data() + 4),
              le32(word));
  }
}

TEST_F(LegacyCram, PartialFramesAppend) {
  ASSERT_TRUE(build());
  cram()->clear_frames();
  EXPECT_TRUE(mgr()->create_partial_frames(cram(), config(), 1, 2));
  EXPECT_TRUE(mgr()->create_partial_frames(cram(), config(), 0, 0));
  EXPECT_EQ(frames(), (std::vector<BYTES>{frame_of_img0(kFirst), frame_of_img2(kLast),
                                          frame_of_img1(kFirstS4)}));
  EXPECT_INTERNAL_ERROR(mgr()->create_partial_frames(cram(), config(), 2, 1),
                        "start_frame <= end_frame && end_frame < m_member.bs_frame_count");
  EXPECT_INTERNAL_ERROR(mgr()->create_partial_frames(cram(), config(), 0, 3),
                        "start_frame <= end_frame && end_frame < m_member.bs_frame_count");
}

// ---- ED-CRC ---------------------------------------------------------------------------

TEST_F(LegacyCram, EdcrcRunsThroughTheRegistersAndMasksLutramRows) {
  ASSERT_TRUE(build());
  const u8* img0 = mgr()->user_img_data(0);
  EXPECT_EQ(mgr()->calculate_edcrc(img0), fixture_edcrc(kImg0));
  // Row 4 is in use: its blocks (bits 4-7, 16-19) are cleared for the CRC.
  EXPECT_EQ(mgr()->calculate_edcrc(img0, 0), fixture_edcrc(kMasked0));
  // The core keeps the bits that the mask cleared (5, 6, 17 at 13, 14, 25).
  const BYTES f1 = frame(1);
  EXPECT_EQ(BYTES(f1.begin() + 8, f1.begin() + 16), kCore0);
  // A frame without LUTRAM is not masked.
  const u8* img2 = mgr()->user_img_data(2);
  EXPECT_EQ(mgr()->calculate_edcrc(img2, 2), fixture_edcrc(kImg2));
  EXPECT_NE(fixture_edcrc(kImg0), fixture_edcrc(kMasked0));
}

TEST(LegacyCramDevice, OddBitFlipClearsTheMiddleBitsOfRowsNotInUse) {
  LEGACY_DEVICE d;
  d.load({{"legacy_device.ddb", "LUTRAM_ODD_BIT_FLIP 0", "LUTRAM_ODD_BIT_FLIP 1"}});
  const BITS img0 = {0, 2, 4, 5, 6, 7, 9, 16, 17, 18, 19, 30, 35};
  // No row in use: rows 4 and 5 lose bits 1 and 2 of every block of four.
  d.m_image = image_of({img0, kImg1, kImg2, {}});
  ASSERT_TRUE(d.build());
  const u8* data = d.mgr()->user_img_data(0);
  EXPECT_EQ(d.mgr()->calculate_edcrc(data, 0), fixture_edcrc({0, 2, 4, 9, 16, 30, 35}));
  // Row 4 in use as well: all of its block bits go.
  d.m_image = image_of({img0, kImg1, kImg2, kImg3});
  ASSERT_TRUE(d.build());
  data = d.mgr()->user_img_data(0);
  EXPECT_EQ(d.mgr()->calculate_edcrc(data, 0), fixture_edcrc({0, 2, 9, 30, 35}));
  EXPECT_EQ(d.frame(1),
            legacy_frame(kDefault, with_bits(8, {8, 12, 13, 14, 15, 17, 24, 25, 26, 27, 38, 43}),
                         le32(fixture_edcrc({0, 2, 9, 30, 35})), kFiller));
}

// ---- S4 codes -------------------------------------------------------------------------

TEST_F(LegacyCram, S4CellsWithoutEntriesKeepTheirPlainCodes) {
  s4_record(1)->get_data_list()->at(0)->clear();
  ASSERT_TRUE(build());
  EXPECT_EQ(frame(0), legacy_frame(kFirstS4, {0x48, 0x0C, 0x48, 0x84, 0x08, 0x00, 0x00, 0xC0},
                                   kZeroEdcrc, kFiller));
}

TEST_F(LegacyCram, S4ListsAreChecked) {
  S4_SII_BIT_LIST* list = s4_record(1)->get_data_list()->at(0);
  list->insert(list->begin() + 1, nullptr);
  EXPECT_INTERNAL_ERROR(build(), "s2_bit != NULL");
  list->insert(list->begin(), nullptr);
  EXPECT_INTERNAL_ERROR(build(), "s2_bit != NULL");
  s4_record(1)->get_data_list()->at(0) = nullptr;
  EXPECT_INTERNAL_ERROR(build(), "s2_bit_list != NULL");
  s4_record(1)->get_data_list()->clear();
  EXPECT_INTERNAL_ERROR(build(), "!s2_bits_list->empty()");
}

TEST(LegacyCramDevice, OnlyFramesInSectorS4FsAreS4Frames) {
  // Without the list, or with one that ends before IMG frame 1, the device's
  // S4 record of that frame is not used: it is a plain frame with an ED-CRC.
  for (const char* to : {"", "arg CRAM SECTOR_S4_FS width=1 1\n"}) {
    LEGACY_DEVICE d;
    d.load({{"legacy_device.ddb", "arg CRAM SECTOR_S4_FS width=2 1 1\n", to}});
    ASSERT_TRUE(d.build());
    EXPECT_EQ(d.frame(0),
              legacy_frame(kFirst, with_bits(8, {9, 12, 15, 16, 17, 20, 23, 25, 26, 28, 42, 43}),
                           le32(fixture_edcrc(kImg1)), kFiller))
        << to;
  }
}

TEST(LegacyCramDevice, S4PairsAndCellsReadTheZeroPaddingOfTheFrame) {
  // From ED-CRC bit 5 on the last pair is bits 35 and 36, bit 36 in the
  // padding of the 5-byte frame buffer; a cell on padding bit 39 reads 0, so
  // the cell after it decides. Pair codes 0 C 8 4 0 8 C 5 0*6 4 8, nibble k
  // at core bits 4k.
  const std::string dev = "legacy_device.ddb";
  {
    LEGACY_DEVICE d;
    d.load({{dev, "EDCRC_BITS 4", "EDCRC_BITS 5"},
            {dev, "DRAS 2 1*30 0", "DRAS 2 1*30 1"},
            {dev, "S4_IMG_TO_RAW_MAP width=68 0*4 0..63", "S4_IMG_TO_RAW_MAP width=69 0*5 0..63"},
            {dev, "cells=1:2:10:0", "cells=1:3:39:0,1:2:10:0"}});
    ASSERT_TRUE(d.build());
    EXPECT_EQ(d.frame(0), legacy_frame(kFirstS4, {0xC0, 0x48, 0x80, 0x5C, 0x00, 0x00, 0x00, 0x84},
                                       kZeroEdcrc, kFiller));
  }
  // Frames of 40 bits have no padding: the last pair ends past the buffer.
  LEGACY_DEVICE d;
  d.load({{dev, "CRAM_BIT_COUNT 36", "CRAM_BIT_COUNT 40"},
          {dev, "IMG_TO_RAW_MAP width=36 8 9 0xFFFFFFFE 11..43",
           "IMG_TO_RAW_MAP width=40 8 9 0xFFFFFFFE 11..47"},
          {dev, "EDCRC_BITS 4", "EDCRC_BITS 5"},
          {dev, "S4_IMG_TO_RAW_MAP width=68 0*4 0..63", "S4_IMG_TO_RAW_MAP width=73 0*9 0..63"}});
  BYTES image(20, 0);
  d.cram()->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 160, nullptr);
  EXPECT_INTERNAL_ERROR(d.cram()->process(false), "pos + 1 < m_img_frame_bytes * 8");
}

// ---- Checks ---------------------------------------------------------------------------

TEST(LegacyCramDevice, DeviceDataIsCheckedBeforeUse) {
  struct CASE {
    const char* from;
    const char* to;
    const char* text;
    const char* from2 = nullptr;  // a second edit, when needed
    const char* to2 = nullptr;
  };
  const CASE cases[] = {
      // Widths.
      {"RAW_TO_IMG_MAP width=64 0..63", "RAW_TO_IMG_MAP width=48 0..47",
       "(m_member.bs_frame_bits % m_member.config_data_width) == 0"},
      {"S4_RAW_TO_IMG_MAP width=64 0..63", "S4_RAW_TO_IMG_MAP width=48 0..47",
       "(m_member.bs_s4_frame_bits % m_member.config_data_width) == 0"},
      {"DRAS 2 1*30 0", "DRAS 2 1*14 0", "m_member.dras_count == m_member.config_data_width"},
      // Bit maps: only the ED-CRC marker is skipped.
      {"8 9 0xFFFFFFFE 11..43", "8 9 0xFFFFFFFF 11..43", "dest < core_data_bit_size"},
      {"S4_IMG_TO_RAW_MAP width=68 0*4 0..63", "S4_IMG_TO_RAW_MAP width=68 0*4 0..62 64",
       "dest < core_data_bit_size"},
      {"S4_IMG_TO_RAW_MAP width=68 0*4 0..63", "S4_IMG_TO_RAW_MAP width=66 0*4 0..61",
       "s4_index < m_member.image_s4_frame_bits"},
      // A cell bit past the frame buffer (5 bytes).
      {"cells=2:0:9:0", "cells=2:0:40:0",
       "s4_frame < m_member.image_frame_count && s4_bit < m_img_frame_bytes * 8"},
      {"BS_FRAME_MAP width=4 1 0 2 0xFFFFFFFF", "BS_FRAME_MAP width=4 1 0 0 0xFFFFFFFF",
       "img_index < m_member.image_frame_count && m_member.img_frame_to_bs_frame_map[img_index] == "
       "index"},
      // ED-CRC feeds are checked before they read.
      {"DRAS 2 1*30 0", "DRAS 2 1*30 3", "m_member.dras[j] <= m_member.parallel_frame_size"},
      {"PARALLEL_FRAME_SIZE 2", "PARALLEL_FRAME_SIZE 3",
       "offset + data_bits <= m_member.image_frame_bits"},
      {"DRAS 2 1*30 0", "DRAS 2 1*30 1",
       "offset == m_member.image_frame_bits && (calculated_size == "
       "(m_member.parallel_frame_size * m_member.config_data_width))"},
      // LUTRAM geometry.
      {"lutram_col 2", "lutram_col 5", "column_frame < m_member.image_frame_count"},
      {"lutram_row 4 5", "lutram_row 4 25",
       "lutram_row + m_member.lutram_row_size <= m_member.image_frame_bits", "ROW_OFFSET 20",
       "ROW_OFFSET 0"},
      {"ROW_OFFSET 20", "ROW_OFFSET 40", "in_use_bit < m_member.image_frame_bits"},
      {"LUTRAM_ROW_SIZE 16", "LUTRAM_ROW_SIZE 15", "total_lutram_row == m_member.lutram_row_size"},
      {"LUTRAM_INFO width=4 0 0xFF", "LUTRAM_INFO width=4 3 0xFF",
       "m_member.lutram_info[img_frame_no] < BYTE(m_lutram_simplified_col.size())"},
      {"lutram_row 4 5", "",
       "m_lutram_simplified_col.size() > 0 && m_lutram_simplified_row.size() > 0"},
  };
  for (const CASE& c : cases) {
    FILE_EDITS edits = {{"legacy_device.ddb", c.from, c.to}};
    if (c.from2 != nullptr) edits.emplace_back("legacy_device.ddb", c.from2, c.to2);
    LEGACY_DEVICE d;
    d.load(edits);
    EXPECT_INTERNAL_ERROR(d.build(), c.text);
  }
}

TEST(LegacyCramDevice, FrameWordsAreChecked) {
  {
    LEGACY_DEVICE d;
    d.load({{"legacy_family.ddb", "config_width 32", "config_width 8"}});
    EXPECT_INTERNAL_ERROR(d.build(), "m_member.config_data_width == 32");
  }
  {
    // The trailer CRC reads the first header word.
    LEGACY_DEVICE d;
    d.load({{"legacy_family.ddb", "w1=2 w3=1", "w1=0 w3=1"}});
    EXPECT_INTERNAL_ERROR(d.build(), "header_length > 0");
  }
  LEGACY_DEVICE d;
  d.load();
  set_descriptor_word(d.cram(), 3, 0x20000000);
  EXPECT_INTERNAL_ERROR(d.build(), "edcrc_size * 8 <= 0xFFFFFFFF");
  set_descriptor_word(d.cram(), 1, 0x20000000);
  EXPECT_INTERNAL_ERROR(d.build(), "header_size * 8 <= 0xFFFFFFFF");
}

TEST(LegacyCramDevice, LayoutFlagsPlaceTheUserBits) {
  struct CASE {
    const char* seq;
    const char* frame;
    const char* bit;
    u32 img;
    u32 bit_index;
  };
  // Image bit 9 of a 4 x 36 image.
  const CASE cases[] = {
      {"0", "1", "1", 0, 9},  {"1", "1", "1", 1, 2},  // frame 9 % 4, bit 9 / 4
      {"0", "0", "1", 3, 9},                          // frame 3 - 0
      {"0", "1", "0", 0, 26},                         // bit 35 - 9
      {"1", "0", "0", 2, 33},                         // frame 3 - 1, bit 35 - 2
  };
  for (const CASE& c : cases) {
    LEGACY_DEVICE d;
    d.load({{"legacy_device.ddb", "IMG_IN_FRAME_SEQ 0", std::string("IMG_IN_FRAME_SEQ ") + c.seq},
            {"legacy_device.ddb", "LOWEST_FRAME 1", std::string("LOWEST_FRAME ") + c.frame},
            {"legacy_device.ddb", "LOWEST_BIT 1", std::string("LOWEST_BIT ") + c.bit}});
    BYTES image(18, 0);
    image[1] = 0x02;  // image bit 9
    d.cram()->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 144, nullptr);
    ASSERT_TRUE(d.mgr()->verify_user_data(d.cram(), d.config()));
    for (u32 f = 0; f < 4; ++f) {
      const BYTES got(d.mgr()->user_img_data(f), d.mgr()->user_img_data(f) + 5);
      EXPECT_EQ(got, f == c.img ? with_bits(5, {c.bit_index}) : BYTES(5, 0))
          << c.seq << c.frame << c.bit << f;
    }
  }
}

TEST_F(LegacyCram, UserDataChecks) {
  EXPECT_INTERNAL_ERROR(mgr()->create_partial_frames(cram(), config(), 0, 0),
                        "m_user_img_data != NULL");
  EXPECT_INTERNAL_ERROR(cram()->process(false), "m.image_data != NULL");
  cram()->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 140, nullptr);
  EXPECT_INTERNAL_ERROR(cram()->process(false),
                        "m.image_bits == (m.image_frame_count * m.image_frame_bits)");
  // Longer than the frames, in a buffer that holds every bit it claims: a
  // bit of a fifth frame would have no frame to go to.
  BYTES longer(36, 0);
  longer[200 / 8] = 1u << (200 % 8);
  cram()->set_data(VARNO_BLOCK_DATA_CRAM, longer.data(), 288, nullptr);
  EXPECT_INTERNAL_ERROR(cram()->process(false),
                        "m.image_bits == (m.image_frame_count * m.image_frame_bits)");
}

// The loader checks a cell's frame against the S4 list's frames only; the
// manager checks it against the image's.
TEST(LegacyCramDevice, S4CellFramePastTheImageIsRefused) {
  LEGACY_DEVICE d;
  d.load({{"legacy_device.ddb", "s4s2 frames=4", "s4s2 frames=8"},
          {"legacy_device.ddb", "cells=2:0:9:0", "cells=2:6:9:0"}});
  BYTES image(18, 0);
  image[(36 + 4) / 8] |= 1u << ((36 + 4) % 8);  // IMG frame 1, bit 4: its pair asks the cell
  d.cram()->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 144, nullptr);
  EXPECT_INTERNAL_ERROR(d.cram()->process(false),
                        "s4_frame < m_member.image_frame_count && s4_bit < m_img_frame_bytes * 8");
}

TEST(LegacyCramDevice, SetupChecksTheLegacyInvariants) {
  struct CASE {
    const char* from;
    const char* to;
    const char* text;
  };
  const CASE cases[] = {
      {"CRAM_ALGO 2", "CRAM_ALGO 1", "m_member.algo == VARNO_CRAM_LEGACY_FLOW"},
      {"arg CRAM S4_IMG_TO_RAW_MAP width=68 0*4 0..63\narg CRAM S4_RAW_TO_IMG_MAP width=64 0..63",
       "",
       "m_member.s4_img_to_raw_map != NULL && m_member.image_s4_frame_bits != VARNO_INVALID_DWORD"},
      {"DRAS 2 1*30 0", "DRAS 2 1*30 0\nparam CRAM DRAS_ORDER 0..31",
       "m_member.dras_order == NULL"},
      {"arg CRAM DRA_S4_INFO width=1 0x02", "", "m_member.dra_s4_info != NULL"},
      {"param CRAM CRAM_PARALLEL_FRAME_SIZE 2", "",
       "m_member.parallel_frame_size != VARNO_INVALID_DWORD"},
      {"arg CRAM LUTRAM_INFO width=4 0 0xFF 0xFF 0xFF", "", "m_member.lutram_info != NULL"},
      {"param CRAM RSCNT26_BIT_ROW_OFFSET 20", "",
       "m_member.rscnt26_bit_row_offset != VARNO_INVALID_DWORD"},
      {"arg CRAM MRAM_INFO", "arg CRAM PHANTOMLESS_MAP width=21 0*84\narg CRAM MRAM_INFO",
       "m_member.phantomless_map.size() == 0"},
  };
  for (const CASE& c : cases) {
    LEGACY_DEVICE d;
    EXPECT_INTERNAL_ERROR(d.load({{"legacy_device.ddb", c.from, c.to}}), c.text);
  }
}

TEST_F(LegacyCram, InitChecks) {
  expect_cram_setup_checks<VARNO_LEGACY_CRAM_FRAME_MGR>();

  // A column list longer than the byte of LUTRAM_INFO can index.
  device()->lutram_simplified_col.resize(255);
  VARNO_LEGACY_CRAM_FRAME_MGR wide;
  wide.set_parent(cram());
  EXPECT_INTERNAL_ERROR(wide.init(), "m_lutram_simplified_col.size() < 255");

  std::string path = "unused";
  mgr()->dump_expected_data(path);  // nothing to dump
  EXPECT_EQ(path, "unused");
  EXPECT_EQ(mgr()->parent(), cram());
}

}  // namespace
