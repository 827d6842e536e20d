// ERAM frames of the earlier families, built from the small device of
// tests/data/early (3 rows of 40 columns, a 32-bit configuration word, two
// header words, CONFIG_DONE 0xABCD). Expected bytes are derived by hand:
//   frame i = [instruction word][core words = 2] [row i, 5 bytes, 3 zero]
//             [filler][CRC-16 of header, core and filler]
// with 0x2C907 on frame 0, 0x3F783 on the last frame and 0x368C1 between.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "varno_dblock.h"
#include "varno_eram_frame_mgr.h"
#include "varno_frame.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_test.h"
#include "vold.h"

namespace {

const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/early";
using BYTES = std::vector<u8>;
using EDITS = std::vector<std::pair<std::string, std::string>>;

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The reflected CRC-16 (0xA001) of the bytes, least significant bit first.
u16 crc16(const BYTES& bytes, u16 crc = 0xFFFF) {
  for (u8 b : bytes) {
    for (u32 i = 0; i < 8; ++i) {
      const bool x = (((b >> i) ^ crc) & 1) != 0;
      crc = static_cast<u16>(crc >> 1);
      if (x) crc ^= 0xA001;
    }
  }
  return crc;
}

void put32(BYTES& out, u32 v) {
  for (u32 i = 0; i < 4; ++i) out.push_back(static_cast<u8>(v >> (8 * i)));
}

// Header, core and a trailer with filler and CRC over all of them.
BYTES framed(const BYTES& header, const BYTES& core, u16 filler) {
  BYTES out = header;
  out.insert(out.end(), core.begin(), core.end());
  out.push_back(static_cast<u8>(filler));
  out.push_back(static_cast<u8>(filler >> 8));
  const u16 crc = crc16(out);
  out.push_back(static_cast<u8>(crc));
  out.push_back(static_cast<u8>(crc >> 8));
  return out;
}

// The CRAM block's frames are not part of these tests: one frame of the CRAM
// user data's bytes stands in for them.
class CRAM_STUB : public VARNO_FRAME_MGR {
 public:
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) override {
    block->clear_frames();
    auto frame = std::make_unique<VARNO_FRAME>();
    const u32 bytes = static_cast<u32>(block->get_user_data_size(VARNO_BLOCK_DATA_CRAM) / 8);
    frame->add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, bytes, true));
    if (block->insert_frame_at_end(frame.get(), 0)) frame.release();
    return true;
  }
  bool create_partial_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*, u32, u32) override { return true; }
  void set_parent(VARNO_DBLOCK* block) override { m_parent = block; }
  VARNO_DBLOCK* parent() override { return m_parent; }
  u32 potential_frames() override { return 1; }
  bool init() override { return true; }
  void set_random_filler(u16) override {}
  void set_user_frame_count(u32) override {}
  void dump_expected_data(std::string&) override {}

 private:
  VARNO_DBLOCK* m_parent = nullptr;
};

// The fixture device, with text edits to its family and device files, loaded
// by a top generator whose frame types are served by the manager under test.
class EARLY_DEVICE {
 public:
  explicit EARLY_DEVICE(const EDITS& family = {}, const EDITS& device = {}) {
    char name[] = "/tmp/varno_early_eram_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    m_dir = name;
    write("early_family.ddb", family);
    write("early_device.ddb", device);
    varno_set_frame_mgr_hook([](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
      if (type == VOLD_FRAME_ERAM) return new VARNO_ERAM_FRAME_MGR();
      return new CRAM_STUB();
    });
  }
  ~EARLY_DEVICE() {
    m_gen.reset();
    varno_set_frame_mgr_hook({});
    std::filesystem::remove_all(m_dir);
  }

  u32 load() {
    m_gen.reset(varno_get_factory()->create_generator());
    m_gen->set_family_pcf(m_dir + "/early_family.ddb");
    m_gen->set_device_pcf(m_dir + "/early_device.ddb");
    return m_gen->process_pcfs(false, false, false, nullptr, 0);
  }
  VARNO_GEN* gen() { return dynamic_cast<VARNO_GEN*>(m_gen.get()); }
  VARNO_MGR_PARAM& param() { return *gen()->get_mgr_param(); }
  VARNO_DBLOCK* eram() { return dynamic_cast<VARNO_DBLOCK*>(gen()->get_block("ERAM", false)); }
  VARNO_ERAM_FRAME_MGR* mgr() {
    return dynamic_cast<VARNO_ERAM_FRAME_MGR*>(eram()->get_frame_mgr());
  }
  // Gives the ERAM its image and builds it.
  bool build(BYTES& image, u16 filler = 0x1234) {
    eram()->set_data(VARNO_BLOCK_DATA_ERAM, image.data(), static_cast<u32>(image.size() * 8),
                     nullptr);
    eram()->set_random_filler(filler);
    return eram()->process(false);
  }
  BYTES frame(u32 i) {
    BYTES out(eram()->get_frame_size(i));
    if (!out.empty()) eram()->get_frame_data(i, out.data());
    return out;
  }
  // The words at byte 0 of every frame.
  std::vector<u32> words() {
    std::vector<u32> out;
    for (u32 i = 0; i < eram()->get_number_of_frames(); ++i) {
      const BYTES f = frame(i);
      out.push_back(f[0] | f[1] << 8 | f[2] << 16 | static_cast<u32>(f[3]) << 24);
    }
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

 private:
  void write(const std::string& file, const EDITS& edits) {
    std::string text = read_text(kDir + "/" + file);
    for (const auto& [from, to] : edits) {
      const size_t at = text.find(from);
      EXPECT_NE(at, std::string::npos) << from;
      if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    std::ofstream(m_dir + "/" + file) << text;
  }

  std::string m_dir;
  std::unique_ptr<VARNO_IGEN> m_gen;
};

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

constexpr u32 kFirst = 0x2C907;
constexpr u32 kLast = 0x3F783;
constexpr u32 kMiddle = 0x368C1;

}  // namespace

// ---- Frames -------------------------------------------------------------------

TEST(EramFrames, ThreeFramesByteForByte) {
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
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
  EARLY_DEVICE d({}, rows_edit(1));
  ASSERT_EQ(d.load(), 0u);
  BYTES image = counting(5);
  ASSERT_TRUE(d.build(image));
  EXPECT_EQ(d.words(), std::vector<u32>{kFirst});
  EXPECT_EQ(d.post_counts(), std::vector<size_t>{2});
}

TEST(EramFrames, EightyColumnsFillThreeWords) {
  EARLY_DEVICE d({}, {{"ERAM_COL_COUNT 40", "ERAM_COL_COUNT 80"}});
  ASSERT_EQ(d.load(), 0u);
  EXPECT_EQ(d.mgr()->core_size(), 12u);
  BYTES image = counting(30);
  ASSERT_TRUE(d.build(image, 0xBEEF));
  // Row 1: image bytes 11 to 20; blocks at core bytes 0 and 5; bytes 10 and
  // 11 stay zero; the length word is 3.
  const BYTES core = {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 0, 0};
  BYTES header;
  put32(header, kMiddle);
  put32(header, 3);
  EXPECT_EQ(d.frame(1), framed(header, core, 0xBEEF));
}

TEST(EramFrames, SpareRowsFollowTheMaps) {
  // Four image rows, row 1 spare: bitstream frames 0, 1, 2 = rows 0, 2, 3.
  EARLY_DEVICE d({}, {{"ERAM_ROW_COUNT 3", "ERAM_ROW_COUNT 4\narg ERAM ERAM_SPARE_ROWS width=1 1"},
                      {"ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0..2",
                       "ERAM_BS_FRAME_TO_IMG_FRAME_MAP width=3 0 2 3"},
                      {"ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=3 0..2",
                       "ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=4 0 0xFFFFFFFF 1 2"}});
  ASSERT_EQ(d.load(), 0u);
  EXPECT_EQ(d.mgr()->potential_frames(), 3u);
  BYTES image = counting(20);
  ASSERT_TRUE(d.build(image, 0));
  BYTES header;
  put32(header, kMiddle);
  put32(header, 2);
  EXPECT_EQ(d.frame(1), framed(header, {11, 12, 13, 14, 15, 0, 0, 0}, 0));
  EXPECT_EQ(d.words(), (std::vector<u32>{kFirst, kMiddle, kLast}));
}

TEST(EramFrames, MapThatDoesNotPointBackIsAnInternalError) {
  EARLY_DEVICE d({}, {{"ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=3 0..2",
                       "ERAM_IMG_FRAME_TO_BS_FRAME_MAP width=3 0 2 1"}});
  ASSERT_EQ(d.load(), 0u);
  BYTES image = counting(15);
  EXPECT_INTERNAL_ERROR(d.build(image),
                        "img_index < m_rows && m_img_frame_to_bs_frame_map[img_index] == index");
  // Frame 0 was appended before the check failed; nothing leaks.
  EXPECT_EQ(d.eram()->get_number_of_frames(), 1u);
}

// ---- Range selection ------------------------------------------------------------

TEST(EramRange, UserFrameCountEndsEarly) {
  EARLY_DEVICE d({}, rows_edit(5));
  ASSERT_EQ(d.load(), 0u);
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
  EARLY_DEVICE d({}, rows_edit(10));
  ASSERT_EQ(d.load(), 0u);
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
  EARLY_DEVICE d({}, rows_edit(10));
  ASSERT_EQ(d.load(), 0u);
  BYTES image = counting(50);
  d.param().first_frame[VOLD_BLOCK_ERAM] = 2;
  d.param().last_frame[VOLD_BLOCK_ERAM] = 5;
  ASSERT_TRUE(d.build(image, 7));
  ASSERT_EQ(d.eram()->get_number_of_frames(), 4u);
  BYTES header;
  put32(header, kMiddle);
  put32(header, 2);
  EXPECT_EQ(d.frame(0), framed(header, {11, 12, 13, 14, 15, 0, 0, 0}, 7));

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
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
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
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
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
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
  BYTES image = counting(15);
  ASSERT_TRUE(d.build(image));
  d.eram()->set_data(VARNO_BLOCK_DATA_ERAM, image.data(), 119, nullptr);
  EXPECT_FALSE(d.eram()->process(false));
  EXPECT_EQ(d.eram()->get_number_of_frames(), 3u);
}

TEST(EramUserData, MissingImageOfTheRightSizeFails) {
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
  d.eram()->set_data(VARNO_BLOCK_DATA_ERAM, nullptr, 120, nullptr);
  EXPECT_FALSE(d.eram()->process(false));
  EXPECT_FALSE(d.eram()->partial_process(0, 2));
  EXPECT_EQ(d.eram()->get_number_of_frames(), 0u);
  EXPECT_EQ(d.mgr()->create_frame(d.eram(), d.eram()->get_block_config(), 0, 0), nullptr);
}

TEST(EramUserData, ShortImageIsNotReadByAPartialBuild) {
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
  BYTES image = counting(5);
  d.eram()->set_data(VARNO_BLOCK_DATA_ERAM, image.data(), 40, nullptr);
  EXPECT_FALSE(d.eram()->partial_process(0, 2));
  EXPECT_EQ(d.eram()->get_number_of_frames(), 0u);
}

// ---- Instruction frames -----------------------------------------------------------

TEST(EramInstructions, CustomInstructionWithEverySegment) {
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
  d.eram()->set_random_filler(0x0102);
  std::unique_ptr<VARNO_FRAME> f =
      d.mgr()->create_custom_instruction(0x11223344, true, true, 2, false, 1, false);
  ASSERT_NE(f, nullptr);
  // Header with the length 3, two words of 0xFF, trailer, one word of 0xFF.
  BYTES header;
  put32(header, 0x11223344);
  put32(header, 3);
  BYTES expected = framed(header, BYTES(8, 0xFF), 0x0102);
  expected.insert(expected.end(), 4, 0xFF);
  BYTES out(f->get_frame_size());
  f->get_frame_data(out.data(), static_cast<u32>(out.size()));
  EXPECT_EQ(out, expected);
  ASSERT_EQ(f->segments().size(), 4u);
  EXPECT_EQ(f->segments()[2]->type(), VARNO_FRAME_SEGMENT_TRAILER);
  EXPECT_EQ(f->segments()[3]->type(), VARNO_FRAME_SEGMENT_PADDING);
}

TEST(EramInstructions, ConfigDoneIsRequired) {
  EARLY_DEVICE d(EDITS{{"  instr CONFIG_DONE word=0xABCD\n", ""}});
  ASSERT_EQ(d.load(), 0u);
  BYTES image = counting(15);
  EXPECT_INTERNAL_ERROR(d.build(image), "instruction != NULL");
  // Frames 0 and 1 were in the list already; the last one goes with the
  // failing build.
  EXPECT_EQ(d.eram()->get_number_of_frames(), 2u);
}

TEST(EramInstructions, NegativePaddingIsRefused) {
  // A count for the manager to compute has no rule here; as an unsigned
  // count it would ask for gigabytes.
  EARLY_DEVICE d(
      EDITS{{"instr CONFIG_DONE word=0xABCD", "instr CONFIG_DONE word=0xABCD padding=-1"}});
  ASSERT_EQ(d.load(), 0u);
  BYTES image = counting(15);
  EXPECT_INTERNAL_ERROR(d.build(image), "padding_words >= 0");
}

TEST(EramInstructions, CrcNeedsATrailer) {
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
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
    EARLY_DEVICE d({}, edits);
    EXPECT_INTERNAL_ERROR(d.load(), text);
  }
}

TEST(EramSetup, NarrowConfigurationWordIsRefused) {
  // With one-byte words the length word would overwrite the instruction word
  // and the CRC would not fit in the trailer.
  EARLY_DEVICE d(EDITS{{"config_width 32", "config_width 8"}});
  EXPECT_INTERNAL_ERROR(d.load(), "config_width_bytes >= 4");
}

TEST(EramSetup, InitChecksItsParent) {
  VARNO_ERAM_FRAME_MGR mgr;
  EXPECT_INTERNAL_ERROR(mgr.init(), "block != NULL");
  std::string path = "unused";
  mgr.dump_expected_data(path);
  EXPECT_EQ(mgr.potential_frames(), 0u);
}
