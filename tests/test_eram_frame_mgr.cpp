// ERAM frames of the earlier families, built from the small device of
// tests/data/early (3 rows of 40 columns, a 32-bit configuration word, two
// header words, CONFIG_DONE 0xABCD). Expected bytes are derived by hand:
//   frame i = [instruction word][core words = 2] [row i, 5 bytes, 3 zero]
//             [filler][CRC-16 of header, core and filler]
// with 0x2C907 on frame 0, 0x3F783 on the last frame and 0x368C1 between.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "early_device.h"
#include "varno_eram_frame_mgr.h"

namespace {

// The device with the ERAM manager under test.
struct ERAM_DEVICE : EARLY_DEVICE<VARNO_ERAM_FRAME_MGR> {
  explicit ERAM_DEVICE(const EDITS& family = {}, const EDITS& device = {})
      : EARLY_DEVICE(VOLD_FRAME_ERAM, "ERAM", family, device) {}
  VARNO_DBLOCK* eram() { return tested(); }
  // Gives the ERAM its image and builds it.
  bool build(BYTES& image, u16 filler = 0x1234) {
    eram()->set_data(VARNO_BLOCK_DATA_ERAM, image.data(), static_cast<u32>(image.size() * 8),
                     nullptr);
    eram()->set_random_filler(filler);
    return eram()->process(false);
  }
  // The words at byte 0 of every frame.
  std::vector<u32> words() {
    std::vector<u32> out;
    for (const BYTES& f : frames()) out.push_back(read_le32(f, 0));
    return out;
  }
  // The number of instruction frames after each frame.
  std::vector<size_t> post_counts() {
    std::vector<size_t> out;
    for (u32 i = 0; i < eram()->get_number_of_frames(); ++i) {
      out.push_back(eram()->get_frame(i)->post_instructions().size());
    }
    return out;
  }
};
using EDITS = ERAM_DEVICE::EDITS;

BYTES counting(u32 bytes) {
  BYTES out(bytes);
  for (u32 i = 0; i < bytes; ++i) out[i] = static_cast<u8>(i + 1);
  return out;
}

// An ERAM of rows rows of 40 columns with the identity maps.
EDITS rows_edit(u32 rows) {
  const std::string map = "width=" + std::to_string(rows) + " 0.." + std::to_string(rows - 1);
  return {{"ERAM_ROW_COUNT 3", "ERAM_ROW_COUNT " + std::to_string(rows)},
          {"ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0..2", "ERAM_BS_FRAME_TO_IMG_FRAME_MAP " + map},
          {"ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=3 0..2", "ERAM_IMG_FRAME_TO_BS_FRAME_MAP " + map}};
}

// The instruction word and the length word.
BYTES header(u32 word, u32 length) { return concat({le32(word), le32(length)}); }

constexpr u32 kFirst = 0x2C907;
constexpr u32 kLast = 0x3F783;
constexpr u32 kMiddle = 0x368C1;

}  // namespace

// ---- Frames -------------------------------------------------------------------

TEST(EramFrames, ThreeFramesByteForByte) {
  ERAM_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(15);
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.mgr()->potential_frames(), 3u);
  EXPECT_EQ(d.mgr()->core_size(), 8u);
  ASSERT_EQ(d.eram()->get_number_of_frames(), 3u);

  // Known answers: the trailer CRCs were worked out apart from this code.
  EXPECT_EQ(d.frame(0), (BYTES{0x07, 0xC9, 0x02, 0x00, 0x02, 0, 0,    0,    1,    2,
                               3,    4,    5,    0,    0,    0, 0x34, 0x12, 0x1F, 0xB4}));
  EXPECT_EQ(d.frame(1), (BYTES{0xC1, 0x68, 0x03, 0x00, 0x02, 0, 0,    0,    6,    7,
                               8,    9,    10,   0,    0,    0, 0x34, 0x12, 0x38, 0x25}));

  // The last frame carries the closing instruction frame (one header word,
  // twenty zero words, no trailer) and CONFIG_DONE after it.
  BYTES last = {0x83, 0xF7, 0x03, 0x00, 0x02, 0, 0,    0,    11,   12,
                13,   14,   15,   0,    0,    0, 0x34, 0x12, 0x81, 0xF7};
  BYTES closing = {0x8B, 0x8A, 0x01, 0x00};
  closing.resize(4 + 80, 0);
  last.insert(last.end(), closing.begin(), closing.end());
  const BYTES config_done = {0xCD, 0xAB, 0x00, 0x00, 0x34, 0x12, 0xA3, 0x13};
  last.insert(last.end(), config_done.begin(), config_done.end());
  EXPECT_EQ(d.frame(2), last);
  EXPECT_EQ(d.post_counts(), (std::vector<size_t>{0, 0, 2}));

  const VARNO_FRAME* closing_frame = d.eram()->get_frame(2)->post_instructions()[0].get();
  ASSERT_EQ(closing_frame->segments().size(), 2u);
  EXPECT_EQ(closing_frame->segments()[1]->type(), VARNO_FRAME_SEGMENT_PADDING);
  EXPECT_EQ(closing_frame->get_segment(VARNO_FRAME_SEGMENT_TRAILER), nullptr);
}

TEST(EramFrames, SingleFrameKeepsTheFirstWord) {
  ERAM_DEVICE d({}, rows_edit(1));
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(5);
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.words(), std::vector<u32>{kFirst});
  EXPECT_EQ(d.post_counts(), std::vector<size_t>{2});
}

TEST(EramFrames, EightyColumnsFillThreeWords) {
  ERAM_DEVICE d({}, {{"ERAM_COL_COUNT 40", "ERAM_COL_COUNT 80"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->core_size(), 12u);
  BYTES image = counting(30);
  ASSERT_TRUE(d.build(image, 0xBEEF));
  // Row 1: image bytes 11 to 20; blocks at core bytes 0 and 5; bytes 10 and
  // 11 stay zero; the length word is 3.
  const BYTES core = {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 0, 0};
  EXPECT_EQ(d.frame(1), framed(header(kMiddle, 3), core, 0xBEEF));
}

TEST(EramFrames, SpareRowsFollowTheMaps) {
  // Four image rows, row 1 spare: bitstream frames 0, 1, 2 = rows 0, 2, 3.
  ERAM_DEVICE d({}, {{"ERAM_ROW_COUNT 3", "ERAM_ROW_COUNT 4\narg ERAM ERAM_SPARE_ROWS width=1 1"},
                     {"ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0..2",
                      "ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0 2 3"},
                     {"ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=3 0..2",
                      "ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=4 0 0xFFFFFFFF 1 2"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->potential_frames(), 3u);
  BYTES image = counting(20);
  ASSERT_TRUE(d.build(image, 0));
  EXPECT_EQ(d.frame(1), framed(header(kMiddle, 2), {11, 12, 13, 14, 15, 0, 0, 0}, 0));
  EXPECT_EQ(d.words(), (std::vector<u32>{kFirst, kMiddle, kLast}));
}

TEST(EramFrames, MapThatDoesNotPointBackIsAnInternalError) {
  ERAM_DEVICE d({}, {{"ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=3 0..2",
                      "ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=3 0 2 1"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(15);
  EXPECT_INTERNAL_ERROR(d.build(image),
                        "img_index < m_rows && m_img_frame_to_bs_frame_map[img_index] == index");
  // Frame 0 was appended before the check failed; nothing leaks.
  EXPECT_EQ(frames_left(d.eram()).size(), 1u);
  // A row past the last one is refused before the reverse map is read.
  ERAM_DEVICE past({}, {{"ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0..2",
                         "ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0 1 9"}});
  ASSERT_EQ(past.load(), VARNO_PCF_OK);
  EXPECT_INTERNAL_ERROR(past.build(image),
                        "img_index < m_rows && m_img_frame_to_bs_frame_map[img_index] == index");
  EXPECT_EQ(frames_left(past.eram()).size(), 2u);
}

// ---- Range selection ------------------------------------------------------------

TEST(EramRange, UserFrameCountEndsEarly) {
  ERAM_DEVICE d({}, rows_edit(5));
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(25);
  d.eram()->overwrite_frame_count(2);
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.words(), (std::vector<u32>{kFirst, kLast}));
  EXPECT_EQ(d.post_counts(), (std::vector<size_t>{0, 2}));

  // A count of all frames or more builds them all.
  d.eram()->overwrite_frame_count(5);
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.words(), (std::vector<u32>{kFirst, kMiddle, kMiddle, kMiddle, kLast}));
}

TEST(EramRange, LastFrameOverride) {
  ERAM_DEVICE d({}, rows_edit(10));
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(50);
  d.param().last_frame[VOLD_BLOCK_ERAM] = 3;
  ASSERT_TRUE(d.build(image));
  // The words follow the bitstream index, so frame 3 keeps 0x368C1 but
  // carries the closing instructions.
  EXPECT_EQ(d.words(), (std::vector<u32>{kFirst, kMiddle, kMiddle, kMiddle}));
  EXPECT_EQ(d.post_counts(), (std::vector<size_t>{0, 0, 0, 2}));

  for (u32 ignored : {9u, VARNO_INVALID_DWORD}) {
    d.param().last_frame[VOLD_BLOCK_ERAM] = ignored;
    ASSERT_TRUE(d.build(image));
    EXPECT_EQ(d.eram()->get_number_of_frames(), 10u);
  }
}

TEST(EramRange, FirstFrameOverride) {
  ERAM_DEVICE d({}, rows_edit(10));
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(50);
  d.param().first_frame[VOLD_BLOCK_ERAM] = 2;
  d.param().last_frame[VOLD_BLOCK_ERAM] = 5;
  ASSERT_TRUE(d.build(image, 7));
  ASSERT_EQ(d.eram()->get_number_of_frames(), 4u);
  EXPECT_EQ(d.frame(0), framed(header(kMiddle, 2), {11, 12, 13, 14, 15, 0, 0, 0}, 7));

  // A first-frame override at the last frame is ignored; a last-frame
  // override below the first is too.
  d.param().first_frame[VOLD_BLOCK_ERAM] = 9;
  d.param().last_frame[VOLD_BLOCK_ERAM] = VARNO_INVALID_DWORD;
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.eram()->get_number_of_frames(), 10u);
  d.param().first_frame[VOLD_BLOCK_ERAM] = 6;
  d.param().last_frame[VOLD_BLOCK_ERAM] = 4;
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.eram()->get_number_of_frames(), 4u);
  EXPECT_EQ(d.words().back(), kLast);
}

TEST(EramRange, EachEnableFlagStopsTheClosingInstructions) {
  ERAM_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(15);
  d.param().eram_last_frame_enable = 0;
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.post_counts(), (std::vector<size_t>{0, 0, 0}));
  d.param().eram_last_frame_enable = 1;
  d.param().last_frame_enable = 0;
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.post_counts(), (std::vector<size_t>{0, 0, 0}));
}

TEST(EramRange, PartialFrames) {
  ERAM_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(15);
  d.eram()->set_data(VARNO_BLOCK_DATA_ERAM, image.data(), 120, nullptr);
  EXPECT_FALSE(d.eram()->partial_process(1, 3));
  EXPECT_TRUE(d.eram()->partial_process(2, 1));
  EXPECT_EQ(d.eram()->get_number_of_frames(), 0u);
  EXPECT_TRUE(d.eram()->partial_process(1, 1));
  EXPECT_TRUE(d.eram()->partial_process(1, 1));
  EXPECT_EQ(d.words(), (std::vector<u32>{kMiddle, kMiddle}));
  EXPECT_EQ(d.post_counts(), (std::vector<size_t>{2, 2}));
}

// ---- User data --------------------------------------------------------------------

TEST(EramUserData, WrongSizeLeavesTheFramesAlone) {
  ERAM_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(15);
  ASSERT_TRUE(d.build(image));
  d.eram()->set_data(VARNO_BLOCK_DATA_ERAM, image.data(), 119, nullptr);
  EXPECT_FALSE(d.eram()->process(false));
  // The frames of the old image stay, and are not handed out as the new.
  EXPECT_GT(d.eram()->get_block_size(), 0u);
  EXPECT_INTERNAL_ERROR(d.eram()->get_number_of_frames(),
                        "Block ERAM read before a rebuild: its design data came after its build, "
                        "and the build since failed");
}

TEST(EramUserData, MissingImageOfTheRightSizeFails) {
  ERAM_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  // set_data refuses a null buffer with a length; the manager's own guard
  // is met by a block whose slot says so.
  d.eram()->m_user_data_size[VARNO_BLOCK_DATA_ERAM] = 120;
  EXPECT_FALSE(d.eram()->process(false));
  EXPECT_FALSE(d.eram()->partial_process(0, 2));
  EXPECT_EQ(frames_left(d.eram()).size(), 0u);
  EXPECT_EQ(d.mgr()->create_frame(d.eram(), d.eram()->get_block_config(), 0, 0), nullptr);
}

TEST(EramUserData, ShortImageIsNotReadByAPartialBuild) {
  ERAM_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(5);
  d.eram()->set_data(VARNO_BLOCK_DATA_ERAM, image.data(), 40, nullptr);
  EXPECT_FALSE(d.eram()->partial_process(0, 2));
  EXPECT_EQ(frames_left(d.eram()).size(), 0u);
}

// ---- Instruction frames -----------------------------------------------------------

TEST(EramInstructions, CustomInstructionWithEverySegment) {
  ERAM_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  d.eram()->set_random_filler(0x0102);
  std::unique_ptr<VARNO_FRAME> f =
      d.mgr()->create_custom_instruction(0x11223344, true, true, 2, false, 1, false);
  ASSERT_NE(f, nullptr);
  // Header with the length 3, two words of 0xFF, trailer, one word of 0xFF.
  const BYTES expected =
      concat({framed(header(0x11223344, 3), BYTES(8, 0xFF), 0x0102), BYTES(4, 0xFF)});
  EXPECT_EQ(frame_bytes(*f), expected);
  ASSERT_EQ(f->segments().size(), 4u);
  EXPECT_EQ(f->segments()[2]->type(), VARNO_FRAME_SEGMENT_TRAILER);
  EXPECT_EQ(f->segments()[3]->type(), VARNO_FRAME_SEGMENT_PADDING);
}

TEST(EramInstructions, ConfigDoneIsRequired) {
  ERAM_DEVICE d(EDITS{{"  instr CONFIG_DONE word=0xABCD\n", ""}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(15);
  EXPECT_INTERNAL_ERROR(d.build(image), "instruction != NULL");
  // Frames 0 and 1 were in the list already; the last one goes with the
  // failing build.
  EXPECT_EQ(frames_left(d.eram()).size(), 2u);
}

TEST(EramInstructions, NegativePaddingIsRefused) {
  // A count for the manager to compute has no rule here; as an unsigned
  // count it would ask for gigabytes.
  ERAM_DEVICE d(
      EDITS{{"instr CONFIG_DONE word=0xABCD", "instr CONFIG_DONE word=0xABCD padding=-1"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES image = counting(15);
  EXPECT_INTERNAL_ERROR(d.build(image), "padding_words >= 0");
}

TEST(EramInstructions, CrcNeedsATrailer) {
  ERAM_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  VARNO_FRAME frame;
  EXPECT_INTERNAL_ERROR(d.mgr()->write_crc(&frame), "crc_segm_size > 0");
}

// ---- Set-up -------------------------------------------------------------------------

TEST(EramSetup, GeometryChecks) {
  const std::vector<std::pair<EDITS, std::string>> cases = {
      {{{"ERAM_COL_COUNT 40", "ERAM_COL_COUNT 50"}},
       "m_cols > 0 && (m_cols % ERAM_BLOCK_WIDTH == 0)"},
      {{{"ERAM_COL_COUNT 40", "ERAM_COL_COUNT 0"}},
       "m_cols > 0 && (m_cols % ERAM_BLOCK_WIDTH == 0)"},
      {{{"param ERAM ERAM_ROW_COUNT 3", ""}}, "m_rows > 0"},
      {{{"arg ERAM ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0..2", ""}}, "arg != NULL"},
      {{{"ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0..2",
         "ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=2 0..3"}},
       "arg_width == m_total_frames && uint_arg_list.size() == 1"},
      {{{"ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=3 0..2",
         "ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=2 0 1"}},
       "arg_width == m_rows && uint_arg_list.size() == 1"},
      // Spare rows that leave no frame would wrap the frame count.
      {{{"ERAM_ROW_COUNT 3", "ERAM_ROW_COUNT 3\narg ERAM ERAM_SPARE_ROWS width=1 0 1 2"}},
       "m_rows > spare_rows"},
  };
  for (const auto& [edits, text] : cases) {
    ERAM_DEVICE d({}, edits);
    EXPECT_INTERNAL_ERROR(d.load(), text);
  }
}

TEST(EramSetup, NarrowConfigurationWordIsRefused) {
  // With one-byte words the length word would overwrite the instruction word
  // and the CRC would not fit in the trailer.
  ERAM_DEVICE d(EDITS{{"config_width 32", "config_width 8"}});
  EXPECT_INTERNAL_ERROR(d.load(), "config_width_bytes >= 4");
}

TEST(EramSetup, InitChecksItsParent) {
  VARNO_ERAM_FRAME_MGR mgr;
  expect_parent_checks(mgr);
  std::string path = "unused";
  mgr.dump_expected_data(path);  // nothing to dump
  EXPECT_EQ(path, "unused");
  EXPECT_EQ(mgr.potential_frames(), 0u);
}
