// HOLMGRADEN CRAM frames of small devices loaded from tests/data/hg (see the
// comments in hg_device.ddb) or written by the tests. Expected frames are
// derived by hand:
//   user bits: IMG 0 real bits {0,2,3,6,9} set, IMG 1 {1,3,7}, IMG 2 {0,2},
//   IMG 3 the value 0xA5C3.
//   IMG 0 (dr 8, 10 real bits, 1 segment raised to 6, 5 pad words): columns
//     of 2, 2, 1 x 6 bits, rows 3 down; set core bits 177, 184, 185, 188, 191.
//   IMG 1 (dr 4, 5 real bits, raised to 5, 4 pad words): columns of 2, 1, 1,
//     1 bits, rows 7 down; set core bits 152, 156, 158.
//   IMG 2 (dr 8, 3 real bits): set core bits 184, 186.
//   IMG 3 (dr 4, 16 real bits): columns of 4; set core bits 145, 147, 149,
//     150, 152, 155, 156, 158.
// Trailer CRC-16 and image CRC-32 are checked against independent
// implementations of the stated polynomials (zlib for the CRC-32).
#include <zlib.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "early_device.h"
#include "varno_hg_cram_frame_mgr.h"

namespace {

const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/hg";

BYTES zeros_with(u32 size, std::initializer_list<std::pair<u32, u8>> bytes) {
  BYTES out(size, 0);
  for (auto [at, v] : bytes) out[at] = v;
  return out;
}

// A frame: header word, core, filler and CRC-16 over all three, optional tail.
BYTES hg_frame(u32 header_word, const BYTES& core, u16 filler, bool tail) {
  return concat({framed(le32(header_word), core, filler), BYTES(tail ? 64 : 0, 0xFF)});
}

// ---- Expected frames of the fixture -------------------------------------------------

constexpr u16 kFiller = 0x1234;
const BYTES kCore0 = zeros_with(24, {{22, 0x02}, {23, 0x93}});
const BYTES kCore1 = zeros_with(20, {{19, 0x51}});
const BYTES kCore2 = zeros_with(24, {{23, 0x05}});
const BYTES kCore3 = zeros_with(20, {{18, 0x6A}, {19, 0x59}});
const BYTES kFrameImg0 = hg_frame(0x07050000, kCore0, kFiller, true);
const BYTES kFrameImg1 = hg_frame(0x06110000, kCore1, kFiller, false);
const BYTES kFrameImg2 = hg_frame(0x07030000, kCore2, kFiller, false);
const BYTES kFrameImg3 = hg_frame(0x067F0000, kCore3, kFiller, false);

// The user bits at their bitstream positions, frames in bitstream order, the
// memory frame (IMG 2) as zeros.
u32 expected_image_crc() {
  const BYTES bs = {0x00, 0x00, 0x40, 0xB2, 0xA5, 0xC3, 0x00, 0x51};
  return ~static_cast<u32>(crc32(0, bs.data(), static_cast<uInt>(bs.size())));
}

// Image bit of IMG bit k of frame f (frame index fastest).
void set_img(BYTES& image, u32 f, u32 k, u32 frames = 4) {
  const u32 b = f + k * frames;
  image[b / 8] = static_cast<u8>(image[b / 8] | (1u << (b % 8)));
}

BYTES fixture_image() {
  BYTES image(8, 0);
  for (u32 k : {0, 2, 3, 6, 9}) set_img(image, 0, k);
  for (u32 k : {1, 3, 7}) set_img(image, 1, k);
  for (u32 k : {0, 2}) set_img(image, 2, k);
  for (u32 k = 0; k < 16; ++k)
    if ((0xA5C3u >> k) & 1u) set_img(image, 3, k);
  return image;
}

// ---- Harness --------------------------------------------------------------------------

// A device with the HOLMGRADEN manager under test.
struct HG_DEVICE : TESTED_DEVICE<VARNO_HG_CRAM_FRAME_MGR> {
  HG_DEVICE() : TESTED_DEVICE(VOLD_FRAME_HG_CRAM, "CRAM") {}
  // Loads the files of dir, with the edits.
  void load(const FILE_EDITS& edits = {}, const std::string& dir = kDir) {
    ASSERT_EQ(load_files(dir, "hg_family.ddb", "hg_device.ddb", edits), VARNO_PCF_OK)
        << VOLD_DATA_SERVER::last_error();
  }
  VARNO_DBLOCK* cram() { return tested(); }
  // Frames the block with image (bits = the image's length).
  bool build(BYTES& image, u32 bits) {
    cram()->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), bits, nullptr);
    cram()->set_random_filler(kFiller);
    return cram()->process(false);
  }
  bool build() { return build(m_image, 64); }
  u32 image_crc() { return talkback().image_crc; }

  BYTES m_image = fixture_image();
};

class HgCram : public ::testing::Test, public HG_DEVICE {
 protected:
  void SetUp() override { load(); }
};

// A one-frame device of frame_bits bits whose only frame has the given info
// word, real_bits real bits (the first ones) and data-register segment counts.
std::string one_frame_device(u32 frame_bits, u32 info, u32 real_bits, u32 dras0, u32 dras1) {
  std::ostringstream d;
  d << "ddb device 1\nfamily HOLMGRADEN\ndevice DUMMY2\n"
    << "param CRAM CRAM_ALGO 1\nparam CRAM CRAM_FRAME_COUNT 1\n"
    << "param CRAM CRAM_BIT_COUNT " << frame_bits << "\n"
    << "param CRAM DRAS " << dras0 << " " << dras1 << "\n"
    << "arg CRAM CRAM_IMG_FRAME_TO_BS_FRAME_MAP width=1 0\n"
    << "arg CRAM CRAM_BS_FRAME_TO_IMG_FRAME_MAP width=1 0\n"
    << "arg CRAM IMG_TO_RAW_MAP width=" << frame_bits << " 0.." << frame_bits - 1 << "\n"
    << "arg CRAM RAW_TO_IMG_MAP width=" << frame_bits << " 0.." << frame_bits - 1 << "\n";
  const u32 mask_bytes = (frame_bits + 7) / 8;
  d << "arg CRAM PHANTOMLESS_MAP width=" << 16 + mask_bytes;
  for (u32 v : {info, real_bits}) {
    for (int i = 0; i < 4; ++i) d << " " << ((v >> (8 * i)) & 0xFF);
  }
  d << " 0*8";
  for (u32 i = 0; i < mask_bytes; ++i) {
    const u32 from = i * 8;
    const u32 ones = real_bits > from ? std::min(real_bits - from, 8u) : 0;
    d << " " << ((1u << ones) - 1);
  }
  d << "\n";
  return d.str();
}

// A device of one frame whose real bits are all 1.
struct ONE_FRAME : HG_DEVICE {
  ONE_FRAME(u32 frame_bits, u32 info, u32 real_bits, u32 dras0, u32 dras1) {
    m_dir.write("hg_family.ddb",
                "ddb family 1\nfamily HOLMGRADEN\nconfig_width 32\n"
                "block CRAM data frame=HG_CRAM w1=1\n");
    m_dir.write("hg_device.ddb", one_frame_device(frame_bits, info, real_bits, dras0, dras1));
    load({}, m_dir.path());
    m_image.assign((frame_bits + 7) / 8, 0);
    for (u32 k = 0; k < real_bits; ++k) set_img(m_image, 0, k, 1);
    m_bits = frame_bits;
  }
  bool build() { return HG_DEVICE::build(m_image, m_bits); }
  TEMP_DIR m_dir;
  u32 m_bits = 0;
};

// ---- Frames ---------------------------------------------------------------------------

TEST_F(HgCram, FramesInBitstreamOrderWithTheImageCrc) {
  EXPECT_EQ(cram()->get_number_of_potential_frames(), 4u);
  ASSERT_TRUE(build());
  // Bitstream frames 0 to 3 are IMG frames 2, 0, 3, 1. Frame 0 is a
  // non-flash frame, so only the non-flash IMG 0 gets the tail.
  EXPECT_EQ(frames(), (std::vector<BYTES>{kFrameImg2, kFrameImg0, kFrameImg3, kFrameImg1}));
  EXPECT_EQ(image_crc(), expected_image_crc());
  EXPECT_EQ(mgr()->flash_dr_segment(), 4u);
  EXPECT_EQ(mgr()->non_flash_dr_segment(), 8u);
  EXPECT_FALSE(mgr()->first_frame_flash());
  EXPECT_EQ(mgr()->memory_frame_count(), 1u);

  // The frame holds header, core, trailer and tail, in that order.
  const VARNO_FRAME* f = cram()->get_frame(1);
  ASSERT_EQ(f->segments().size(), 4u);
  EXPECT_EQ(f->segments()[0]->type(), VARNO_FRAME_SEGMENT_HEADER);
  EXPECT_EQ(f->segments()[1]->type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_EQ(f->segments()[2]->type(), VARNO_FRAME_SEGMENT_TRAILER);
  EXPECT_EQ(f->segments()[3]->type(), VARNO_FRAME_SEGMENT_TRAILER);
  EXPECT_TRUE(f->pre_instructions().empty() && f->post_instructions().empty());
}

TEST_F(HgCram, RebuildsFromTheCurrentImage) {
  ASSERT_TRUE(build());
  BYTES image(8, 0);
  ASSERT_TRUE(build(image, 64));
  EXPECT_EQ(cram()->get_number_of_frames(), 4u);
  EXPECT_EQ(frame(1), hg_frame(0x07050000, BYTES(24, 0), kFiller, true));
  const BYTES zeros(8, 0);
  EXPECT_EQ(image_crc(), ~static_cast<u32>(crc32(0, zeros.data(), 8)));
}

TEST(HgCramDevice, FirstFrameFlashGivesTheTailToFlashFrames) {
  HG_DEVICE d;
  d.load({{"hg_device.ddb", "BS_FRAME_MAP width=4 1 3 0 2", "BS_FRAME_MAP width=4 1 3 2 0"},
          {"hg_device.ddb", "IMG_FRAME_MAP width=4 2 0 3 1", "IMG_FRAME_MAP width=4 3 0 2 1"}});
  ASSERT_TRUE(d.build());
  EXPECT_TRUE(d.mgr()->first_frame_flash());
  EXPECT_EQ(d.frames(), (std::vector<BYTES>{hg_frame(0x067F0000, kCore3, kFiller, true),
                                            hg_frame(0x07050000, kCore0, kFiller, false),
                                            kFrameImg2, kFrameImg1}));
}

TEST_F(HgCram, SkippedMemoryFramesStillCountInTheImageCrc) {
  param().cram_skip_eram_frame = 1;
  // Known from the set-up, before any build.
  EXPECT_EQ(cram()->get_number_of_potential_frames(), 3u);
  ASSERT_TRUE(build());
  EXPECT_EQ(frames(), (std::vector<BYTES>{kFrameImg0, kFrameImg3, kFrameImg1}));
  EXPECT_EQ(image_crc(), expected_image_crc());
  // A memory frame cannot be framed while memory frames are skipped.
  EXPECT_INTERNAL_ERROR(mgr()->create_frame(cram(), cram()->get_block_config(), 0, 2),
                        "(phantomless_info & 0x20000000) == 0");
}

TEST_F(HgCram, FrameRangeFollowsUserCountAndOverrides) {
  auto run = [&](u32 user, u32 first, u32 last) {
    mgr()->set_user_frame_count(user);
    param().first_frame[VOLD_BLOCK_CRAM] = first;
    param().last_frame[VOLD_BLOCK_CRAM] = last;
    EXPECT_TRUE(build());
    // The image CRC covers the whole image whatever the range.
    EXPECT_EQ(image_crc(), expected_image_crc());
    return frames();
  };
  const u32 none = VARNO_INVALID_DWORD;
  EXPECT_EQ(run(2, none, none), (std::vector<BYTES>{kFrameImg2, kFrameImg0}));
  EXPECT_EQ(run(0, none, none).size(), 4u);
  EXPECT_EQ(run(4, none, none).size(), 4u);
  EXPECT_EQ(run(9, none, none).size(), 4u);
  EXPECT_EQ(run(0, 1, none), (std::vector<BYTES>{kFrameImg0, kFrameImg3, kFrameImg1}));
  // A first override equal to the end is ignored.
  EXPECT_EQ(run(0, 3, none).size(), 4u);
  EXPECT_EQ(run(3, 2, none).size(), 3u);
  EXPECT_EQ(run(0, none, 1), (std::vector<BYTES>{kFrameImg2, kFrameImg0}));
  EXPECT_EQ(run(0, 2, 2), (std::vector<BYTES>{kFrameImg3}));
  // A last override below the start is ignored.
  EXPECT_EQ(run(0, 2, 1), (std::vector<BYTES>{kFrameImg3, kFrameImg1}));
}

TEST_F(HgCram, PartialFramesAppendAndRangeIsChecked) {
  ASSERT_TRUE(build());
  VARNO_BLOCK_CONFIG* config = cram()->get_block_config();
  cram()->clear_frames();
  EXPECT_TRUE(mgr()->create_partial_frames(cram(), config, 2, 3));
  EXPECT_TRUE(mgr()->create_partial_frames(cram(), config, 0, 0));
  EXPECT_EQ(frames(), (std::vector<BYTES>{kFrameImg3, kFrameImg1, kFrameImg2}));
  EXPECT_INTERNAL_ERROR(mgr()->create_partial_frames(cram(), config, 2, 1),
                        "start_frame <= end_frame && end_frame < final_frame_count");
  EXPECT_INTERNAL_ERROR(mgr()->create_partial_frames(cram(), config, 0, 4),
                        "start_frame <= end_frame && end_frame < final_frame_count");
  param().cram_skip_eram_frame = 1;
  EXPECT_INTERNAL_ERROR(mgr()->create_partial_frames(cram(), config, 0, 3),
                        "start_frame <= end_frame && end_frame < final_frame_count");
}

// ---- Core layout ----------------------------------------------------------------------

TEST(HgCramCore, ThirtyTwoSegmentsDealHundredBits) {
  // 100 real bits of 128, flash, dr 32: L = 4, 4 full segments, the other
  // 28 take 3 bits; 4 segments raised to 31 (27 pad words); 4 rows, 3 down.
  ONE_FRAME d(128, 0x80000000, 100, 32, 8);
  ASSERT_TRUE(d.build());
  // Row 0 holds only segments 0-3, rows 1-3 all 32.
  BYTES core(108, 0);
  for (u8 b : {0x0F, 0, 0, 0}) core.push_back(b);
  core.insert(core.end(), 12, 0xFF);
  EXPECT_EQ(d.frame(0), hg_frame(0x20000000, core, kFiller, false));

  // Only real bit 16, the first of segment 4: row 3, column 4.
  BYTES one(16, 0);
  set_img(one, 0, 16, 1);
  ASSERT_TRUE(d.HG_DEVICE::build(one, 128));
  EXPECT_EQ(d.frame(0), hg_frame(0x20000000, zeros_with(124, {{120, 0x10}}), kFiller, false));
}

TEST(HgCramCore, FewSegmentsAreRaisedToTheMinimum) {
  // 70 real bits, non-flash dr 8: 3 segments raised to 6 (top byte 7), 3 zero
  // words; L = 9, 6 full columns, 12 rows from 11 down.
  ONE_FRAME d(96, 0x00000001, 70, 32, 8);
  ASSERT_TRUE(d.build());
  BYTES core(15, 0);
  core.push_back(0x3F);  // row 3: columns 0-5 only
  core.insert(core.end(), 8, 0xFF);
  EXPECT_EQ(d.frame(0), hg_frame(0x07010000, core, kFiller, false));
}

TEST(HgCramCore, SegmentCountMustFitTheHeaderByte) {
  {
    // 8128 bits: 254 segments, top byte 0xFF.
    ONE_FRAME d(8128, 0x80000000, 8128, 32, 8);
    ASSERT_TRUE(d.build());
    EXPECT_EQ(d.frame(0)[3], 0xFF);
  }
  ONE_FRAME d(8160, 0x80000000, 8160, 32, 8);
  EXPECT_INTERNAL_ERROR(d.build(), "segment_count + 1 <= 0xFF");
}

TEST_F(HgCram, CoreChecks) {
  // A masked-out bit that is set.
  set_img(m_image, 1, 0);
  EXPECT_INTERNAL_ERROR(build(), "!bit_set");
  m_image = fixture_image();
  ASSERT_TRUE(build());

  // Direct calls with inconsistent sizes stay inside the caller's buffer.
  const u8* mask0 = mgr()->member().phantomless_map[0] + 16;
  EXPECT_INTERNAL_ERROR(mgr()->create_frame_core_data(mask0, 0, 10, 1, 4, 5, 8),
                        "bit_index < core_data_size * 8");
  EXPECT_INTERNAL_ERROR(mgr()->create_frame_core_data(mask0, 0, 10, 1, 24, 5, 6),
                        "segment_length > 0 && segment_count > 0 && ((segment_count % 4) == 0)");
  EXPECT_INTERNAL_ERROR(mgr()->create_frame_core_data(mask0, 0, 0, 1, 24, 5, 8),
                        "segment_length > 0 && segment_count > 0 && ((segment_count % 4) == 0)");
  // More real bits than the mask holds: the count check at the end.
  EXPECT_INTERNAL_ERROR(mgr()->create_frame_core_data(mask0, 0, 11, 1, 24, 5, 8),
                        "real_bit_detection == real_bit");
  // Fewer: the columns run out.
  EXPECT_INTERNAL_ERROR(mgr()->create_frame_core_data(mask0, 0, 8, 1, 24, 5, 8),
                        "current_segment < segment_count && segment_index >= 0 && "
                        "segment_index < max_segment_length && segment_detection < segment_length");
}

// ---- User data ------------------------------------------------------------------------

TEST(HgCramDevice, LayoutFlagsPlaceTheUserBits) {
  struct CASE {
    const char* seq;
    const char* frame;
    const char* bit;
    u32 image_bit;
    u32 img;
    BYTES buffer;
  };
  // Image bit 20, or bit 0, of a 4 x 16 image; IMG bit i lands on raw bit 15 - i.
  const CASE cases[] = {
      {"1", "1", "1", 20, 0, {0x00, 0x04}},  // frame 0, bit 5
      {"0", "1", "1", 20, 1, {0x00, 0x08}},  // frame 1, bit 4
      {"0", "0", "1", 20, 2, {0x00, 0x08}},  // frame 3 - 1, bit 4
      {"0", "1", "0", 20, 1, {0x10, 0x00}},  // frame 1, bit 15 - 4
      {"0", "0", "0", 0, 3, {0x01, 0x00}},   // frame 3, bit 15
  };
  for (const CASE& c : cases) {
    HG_DEVICE d;
    d.load({{"hg_device.ddb", "IMG_IN_FRAME_SEQ 1", std::string("IMG_IN_FRAME_SEQ ") + c.seq},
            {"hg_device.ddb", "LOWEST_FRAME 1", std::string("LOWEST_FRAME ") + c.frame},
            {"hg_device.ddb", "LOWEST_BIT 1", std::string("LOWEST_BIT ") + c.bit}});
    BYTES image(8, 0);
    image[c.image_bit / 8] = static_cast<u8>(1u << (c.image_bit % 8));
    d.cram()->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 64, nullptr);
    ASSERT_TRUE(d.mgr()->verify_user_data(d.cram(), d.cram()->get_block_config()));
    for (u32 f = 0; f < 4; ++f) {
      const BYTES got(d.mgr()->user_img_data(f), d.mgr()->user_img_data(f) + 2);
      EXPECT_EQ(got, f == c.img ? c.buffer : BYTES(2, 0)) << c.seq << c.frame << c.bit << f;
    }
  }
}

TEST_F(HgCram, UserDataChecks) {
  VARNO_BLOCK_CONFIG* config = cram()->get_block_config();
  EXPECT_INTERNAL_ERROR(mgr()->create_partial_frames(cram(), config, 0, 0),
                        "m_user_img_data != NULL");
  EXPECT_INTERNAL_ERROR(cram()->process(false), "m.image_data != NULL");
  EXPECT_INTERNAL_ERROR(build(m_image, 60),
                        "m.image_bits == (m.image_frame_count * m.image_frame_bits)");
}

TEST_F(HgCram, HeaderSizeIsCountedInSixtyFourBits) {
  set_descriptor_word(cram(), 1, 0x20000000);  // 2^32 header bits
  EXPECT_INTERNAL_ERROR(build(), "header_size * 8 <= 0xFFFFFFFF");
}

TEST(HgCramDevice, EightBitWordsAreRefused) {
  HG_DEVICE d;
  d.load({{"hg_family.ddb", "config_width 32", "config_width 8"}});
  EXPECT_INTERNAL_ERROR(d.build(), "m_member.config_data_width == 32");
}

TEST(HgCramDevice, BitstreamMapsAreChecked) {
  struct CASE {
    const char* from;
    const char* to;
    const char* text;
  };
  const CASE cases[] = {
      {"IMG_FRAME_MAP width=4 2 0 3 1", "IMG_FRAME_MAP width=4 9 0 3 1",
       "m_member.bs_frame_to_img_frame_map[0] < m_member.image_frame_count"},
      // Repeated frames would overrun the memory-free map or leave slots.
      {"IMG_FRAME_MAP width=4 2 0 3 1", "IMG_FRAME_MAP width=4 0 0 3 1",
       "index_without_memory < m_member.bs_frame_count - memory_frame_count"},
      {"IMG_FRAME_MAP width=4 2 0 3 1", "IMG_FRAME_MAP width=4 2 2 3 1",
       "index_without_memory == m_member.bs_frame_count - memory_frame_count"},
      {"BS_FRAME_MAP width=4 1 3 0 2", "BS_FRAME_MAP width=4 1 3 0 1",
       "img_index < m_member.image_frame_count && "
       "(m_member.img_frame_to_bs_frame_map[img_index] == index || "
       "m_parent->get_parent()->get_mgr_param()->cram_skip_eram_frame)"},
      // A set bit whose bitstream position lies outside the frame.
      {"IMG_TO_RAW_MAP width=16 15..0", "IMG_TO_RAW_MAP width=16 16 14..0",
       "img_to_raw_map[bit] < m_member.bs_frame_bits"},
      {"DRAS 4 8", "DRAS 12 8",
       "dr_segment == 4 || dr_segment == 8 || dr_segment == 16 || dr_segment == 32"},
      {"DRAS 4 8", "DRAS 0 8", "m_flash_dr_segment > 0"},
      {"DRAS 4 8", "DRAS 4 0", "m_non_flash_dr_segment > 0"},
      // A real-bit count beyond the frame would only size a huge core.
      {"0x11 0 0 0x80 5 0 0 0", "0x11 0 0 0x80 0xFF 0xFF 0xFF 0xFF",
       "real_bit <= m_member.image_frame_bits"},
  };
  for (const CASE& c : cases) {
    HG_DEVICE d;
    d.load({{"hg_device.ddb", c.from, c.to}});
    EXPECT_INTERNAL_ERROR(d.build(), c.text);
    EXPECT_EQ(d.image_crc(), VARNO_INVALID_DWORD) << c.to;
  }
  // An IMG frame past the phantomless map.
  HG_DEVICE d;
  d.load({{"hg_device.ddb", "IMG_FRAME_MAP width=4 2 0 3 1", "IMG_FRAME_MAP width=4 2 0 3 9"}});
  EXPECT_INTERNAL_ERROR(d.build(), "img < phantomless_map.size()");
}

// ---- Set-up ---------------------------------------------------------------------------

TEST(HgCramDevice, SetupChecksTheHolmgradenInvariants) {
  struct CASE {
    const char* from;
    const char* to;
    const char* text;
  };
  const CASE cases[] = {
      {"CRAM_ALGO 1", "CRAM_ALGO 2", "m_member.algo == VARNO_CRAM_HG_FLOW"},
      {"DRAS 4 8", "DRAS 4 8 8", "m_member.dras_count == 2"},
      {"DRAS 4 8", "DRAS 4 8\nparam CRAM DRAS_ORDER 1 0", "m_member.dras_order == NULL"},
      {"DRAS 4 8", "DRAS 4 8\narg CRAM LUTRAM_INFO width=4 0 0 0 0",
       "m_member.lutram_info == NULL"},
      {"DRAS 4 8", "DRAS 4 8\nparam CRAM CRAM_PARALLEL_FRAME_SIZE 2",
       "m_member.parallel_frame_size == VARNO_INVALID_DWORD"},
      {"DRAS 4 8",
       "DRAS 4 8\narg CRAM S4_IMG_TO_RAW_MAP width=4 0 1 2 3\n"
       "arg CRAM S4_RAW_TO_IMG_MAP width=4 0 1 2 3",
       "m_member.s4_img_to_raw_map == NULL && m_member.image_s4_frame_bits == VARNO_INVALID_DWORD"},
      {"IMG_FRAME_MAP width=4 2 0 3 1",
       "IMG_FRAME_MAP width=3 2 0 3\narg CRAM CRAM_SPARE_ROWS width=1 1",
       "m_member.bs_frame_count == m_member.image_frame_count"},
  };
  for (const CASE& c : cases) {
    HG_DEVICE d;
    EXPECT_INTERNAL_ERROR(d.load({{"hg_device.ddb", c.from, c.to}}), c.text);
  }
}

TEST_F(HgCram, InitChecks) {
  expect_cram_setup_checks<VARNO_HG_CRAM_FRAME_MGR>();

  std::string path = "unused";
  mgr()->dump_expected_data(path);  // nothing to dump
  EXPECT_EQ(path, "unused");
  EXPECT_EQ(mgr()->parent(), cram());
}

}  // namespace
