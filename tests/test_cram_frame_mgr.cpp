// PASKEVOLT CRAM frames of the device in tests/data/pv. Expected bytes are
// derived by hand from the fixture (its comments give the maps); check words
// come from an independent bit-serial model of the CRC definitions.
//
// The user image used throughout (IMG frame: bits set):
//   0: 0, 9, 33, 50, 57, 60, 62, 63    1: 1, 20    3: 0, 3, 4, 5, 6, 9
//   5: 0    7: 2
// The LUTRAM remap exchanges the data-line bits (8..23, 40..55) of IMG
// frames 0 and 1: IMG 0 becomes 0, 20, 33, 57, 60, 62, 63 and IMG 1
// becomes 1, 9, 50.
#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "early_device.h"
#include "varno_cram_frame_mgr.h"
#include "varno_sblock.h"
#include "varno_util.h"

namespace {

const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/pv";
using WORDS = std::vector<u32>;
using LISTS = std::vector<std::vector<u32>>;

WORDS seq(u32 a, u32 b) {
  WORDS out;
  for (u32 v = a; v <= b; ++v) out.push_back(v);
  return out;
}
WORDS cat(std::initializer_list<WORDS> parts) {
  WORDS out;
  for (const WORDS& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
WORDS rep(u32 v, u32 n) { return WORDS(n, v); }

// Frame headers: instruction word, 0xFFFFFFFC, DRA word.
BYTES header(u32 instruction, u32 dra_word) {
  return concat({le32(instruction), le32(0xFFFFFFFC), le32(dra_word)});
}
constexpr u32 kDraWord = 2 << 18 | 2 << 4;    // dras[0] twice
constexpr u32 kDraWordS4 = 2 << 18 | 1 << 4;  // dras[0], dras[3]

// Core of bitstream frame 0 (IMG 0): bitstream bits 0, 65, 137, 192, 212.
const BYTES kCore0 = {0x01, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0,    0, 0, 0, 0, 0,
                      0,    2, 0, 0, 0, 0, 0, 0, 0x01, 0, 0x10, 0, 0, 0, 0, 0};
// S4 core of IMG 3: DRA 3 (4 bytes), DRA 2 and DRA 1 (8 bytes each), DRA 0 as
// 32 codes. Pairs 0..4: value 1 whose S2 cell's second control bit (IMG 5,
// 0) is set: 0x9; value 2 without a lit cell: 0x4; 3: 0xC; value 1 without
// S2 cell: 0x8; value 2 with a lit flag-1 cell of value 2: 0xB.
const BYTES kS4Core3 = concat({BYTES(20, 0), {0x49, 0x8C, 0x0B}, BYTES(13, 0)});
// Instruction frames (filler 0).
const BYTES kAssertArin = {0x01, 0xAA, 0, 0, 0, 0, 0x19, 0xD2, 0, 0, 0, 0};
const BYTES kClearAr = {0x04, 0xAA, 0, 0, 0, 0, 0x19, 0x87};
const BYTES kConfigDone = concat({{0x05, 0xAA, 0, 0, 0, 0, 0x18, 0x56}, BYTES(8, 0xFF)});
// Length word 1 + 20: the write-last size is 1 + 4 x 2 + 2 + 2 + 3 + 4.
const BYTES kWriteLast = concat(
    {{0x03, 0xAA, 0, 0, 0x15, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x21, 0x13}, BYTES(80, 0)});
const BYTES kSkipDown5 = concat({{0x02, 0xAA, 0, 0, 5, 0, 0, 0, 0, 0, 0x57, 0x3F}, BYTES(20, 0)});

void set_bit(BYTES& image, u32 frame, u32 bit) {
  const u32 k = frame * 64 + bit;
  image[k / 8] = static_cast<u8>(image[k / 8] | 1u << (k % 8));
}

BYTES user_image() {
  BYTES image(52 * 8, 0);
  const std::vector<std::pair<u32, WORDS>> bits = {{0, {0, 9, 33, 50, 57, 60, 62, 63}},
                                                   {1, {1, 20}},
                                                   {3, {0, 3, 4, 5, 6, 9}},
                                                   {5, {0}},
                                                   {7, {2}}};
  for (const auto& [frame, list] : bits) {
    for (u32 b : list) set_bit(image, frame, b);
  }
  return image;
}

// Device records put in front of the block's own of the same type while the
// guard lives.
class OVERRIDES {
 public:
  explicit OVERRIDES(VARNO_BLOCK_CONFIG* config) : m_config(config) {
    m_info.create_device_info(VOLD_FAMILY_PASKEVOLT, 1);
  }
  ~OVERRIDES() {
    for (VOLD_PARAM* p : m_params) std::erase(m_config->m_param_list, p);
    for (VOLD_ARG* a : m_args) std::erase(m_config->m_arg_list, a);
  }
  void param(VOLD_PARAMETER_TYPE type, const WORDS& values) {
    m_params.push_back(m_info.add_param(VOLD_BLOCK_CRAM, type, values));
    m_config->m_param_list.insert(m_config->m_param_list.begin(), m_params.back());
  }
  void arg(VOLD_ARGUMENT_TYPE type, u32 width, const WORDS& values) {
    m_args.push_back(m_info.add_arg(VOLD_BLOCK_CRAM, type, width, values));
    m_config->m_arg_list.insert(m_config->m_arg_list.begin(), m_args.back());
  }

 private:
  VARNO_BLOCK_CONFIG* m_config;
  VOLD_INFO m_info;
  std::vector<VOLD_PARAM*> m_params;
  std::vector<VOLD_ARG*> m_args;
};

class PvCram : public ::testing::Test, public TESTED_DEVICE<VARNO_CRAM_FRAME_MGR> {
 protected:
  PvCram() : TESTED_DEVICE(VOLD_FRAME_CRAM, "CRAM") {}
  void SetUp() override { load(); }

  // Loads the fixture, some lines replaced when edits are given.
  void load(const FILE_EDITS& edits = {}) {
    ASSERT_EQ(load_files(kDir, "pv_family.ddb", "pv_device.ddb", edits), VARNO_PCF_OK)
        << VOLD_DATA_SERVER::last_error();
    cram()->set_data(VARNO_BLOCK_DATA_CRAM, m_image.data(), 52 * 64, nullptr);
  }
  VARNO_MGR_TALKBACK& tb() { return talkback(); }
  VARNO_DBLOCK* cram() { return tested(); }
  VARNO_BLOCK_CONFIG* config() { return cram()->get_block_config(); }
  bool build() { return mgr()->create_frames(cram(), config()); }
  BYTES tail(u32 i, u32 n) {
    const BYTES core = segment(i, VARNO_FRAME_SEGMENT_DATA);
    return BYTES(core.end() - n, core.end());
  }
  void set_ob(const char* name, u32 value) {
    auto* ob_block = dynamic_cast<VARNO_SBLOCK*>(gen()->get_block("OPTION_BITS", false));
    VOLD_OB_DATA* ob = ob_block->get_ob_data_by_name(name, "OPTION_BITS");
    for (u32 k = 0; k < ob->value.size(); ++k) ob->value[k] = static_cast<u8>(value >> (8 * k));
  }

  BYTES m_image = user_image();
};

// ---- Set-up and option-bit arithmetic ------------------------------------------------

TEST_F(PvCram, InitReportsTheCountsAndTheDraWords) {
  EXPECT_EQ(tb().frame_words, 8u);
  EXPECT_EQ(tb().pr_write_count, 38u);
  EXPECT_EQ(tb().pr_read_count, 10u);
  EXPECT_EQ(tb().pr_last_frame_fail, 1u);  // 4 x 2 <= 30 - 6
  EXPECT_EQ(mgr()->potential_frames(), 52u);
  EXPECT_EQ(mgr()->dra_word(), kDraWord);
  EXPECT_EQ(mgr()->dra_word_s4(), kDraWordS4);
  EXPECT_EQ(VARNO_CRAM_FRAME_MGR().potential_frames(), 0u);
}

TEST_F(PvCram, OptionBitArithmeticWrapsAndCountsMissingBitsOnlyForPrMin) {
  EXPECT_EQ(mgr()->calculate_write_last_size(config(), 0), 20u);
  set_ob("N_EDCRC_COLUMNS", 7);
  EXPECT_EQ(mgr()->calculate_pr_write_count(), 58u);
  EXPECT_FALSE(mgr()->check_pr_fail_to_write_last_frame());  // 28 > 24
  set_ob("USR_READ_13", 0xFFFFFFEC);                         // pr_min 5: 5 - 6 wraps
  EXPECT_EQ(mgr()->calculate_pr_min(), 5u);
  EXPECT_TRUE(mgr()->check_pr_fail_to_write_last_frame());

  auto* ob_block = dynamic_cast<VARNO_SBLOCK*>(gen()->get_block("OPTION_BITS", false));
  VOLD_OB_DATA_LIST* list = ob_block->get_dyn_data_by_name("OPTION_BITS")->get_ob_list();
  list->erase(list->begin(), list->begin() + 5);  // USR_READ_13 .. N_EDCRC_COLUMNS
  EXPECT_EQ(mgr()->calculate_pr_min(), 12u);
  EXPECT_INTERNAL_ERROR(mgr()->get_n_edcrc_column(), "found_ob || found != NULL");
}

TEST_F(PvCram, SetUpRefusesDescriptionsOfOtherFlows) {
  {
    OVERRIDES o(config());
    o.param(VOLD_PARAMETER_CRAM_ALGO, {3});
    EXPECT_INTERNAL_ERROR(mgr()->init(), "m_member.algo == VARNO_CRAM_PV_FLOW");
  }
  OVERRIDES o(config());
  o.arg(VOLD_ARGUMENT_LUTRAM_INFO, 52, rep(0, 52));
  EXPECT_INTERNAL_ERROR(mgr()->init(), "m_member.lutram_info == NULL");
}

TEST(PvCramInit, InitChecksItsParent) { expect_cram_setup_checks<VARNO_CRAM_FRAME_MGR>(); }

// ---- Frames ---------------------------------------------------------------------------

TEST_F(PvCram, FullBuildFramesByteForByte) {
  ASSERT_TRUE(gen()->do_all_blocks());
  ASSERT_EQ(cram()->get_number_of_frames(), 52u);
  // Frame 0 opens the range: ASSERT_ARIN only (no SKIP_DOWN at frame 0).
  EXPECT_EQ(frame(0), concat({kAssertArin, header(0xF1, kDraWord), kCore0, {0, 0, 0xF5, 0xA9}}));
  EXPECT_EQ(frame(1), concat({header(0xD1, kDraWord), BYTES(32, 0), {0, 0, 0xE5, 0x80}}));
  BYTES core2(32, 0);  // IMG 1: bitstream bits 130, 193, 201
  core2[16] = 0x04;
  core2[24] = 0x02;
  core2[25] = 0x02;
  EXPECT_EQ(frame(2), concat({header(0xD1, kDraWord), core2, {0, 0, 0x1C, 0x1B}}));
  // IMG 3 has an S2 list: S4 word, DRA 0 in the mask, 9 rows.
  EXPECT_EQ(frame(3), concat({header(0xD4, kDraWordS4 | 1), kS4Core3, {0, 0, 0xC6, 0xAA}}));
  EXPECT_EQ(
      frame(51),
      concat({header(0xA1, kDraWord), BYTES(32, 0), {0, 0, 0xDB, 0x7F}, kWriteLast, kConfigDone}));
  // No bit was faulted and no LUTRAM line is flagged: no ED-CRC anywhere.
  EXPECT_EQ(tail(0, 4), BYTES(4, 0));
}

TEST_F(PvCram, S2ChecksOfTheZeroBit) {
  param().cram_s2_zero_bit_check = 1;
  ASSERT_TRUE(build());
  // Pair 3 (1-bit IMG 6, no cell) has an S2 cell on its 0-bit (IMG 7).
  EXPECT_EQ(segment(3, VARNO_FRAME_SEGMENT_DATA)[21], 0x0C);
  param().cram_s2_zero_bit_source_check = 1;  // its control bit IMG (8, 0) is clear
  ASSERT_TRUE(build());
  EXPECT_EQ(segment(3, VARNO_FRAME_SEGMENT_DATA)[21], 0x8C);
  set_bit(m_image, 8, 0);
  ASSERT_TRUE(build());
  EXPECT_EQ(segment(3, VARNO_FRAME_SEGMENT_DATA)[21], 0x0C);
}

TEST_F(PvCram, WithoutS4TheS4FrameIsPlain) {
  param().s4_variant = 0;
  ASSERT_TRUE(build());
  BYTES core(32, 0);
  core[24] = 0x79;
  core[25] = 0x02;
  EXPECT_EQ(segment(3, VARNO_FRAME_SEGMENT_HEADER), header(0xD1, kDraWord));
  EXPECT_EQ(segment(3, VARNO_FRAME_SEGMENT_DATA), core);
}

TEST_F(PvCram, FakeS4RegistersAreEncodedWithoutS2Check) {
  param().cram_fake_s4_dra_mask = 0x2;  // DRA 1 in every frame
  ASSERT_TRUE(build());
  // IMG 0 has no S2 list: plain instruction word, S4 DRA word. DRA 1 (bits
  // 128..191) holds bit 137 only: pair 4, value 2, code 0x4.
  EXPECT_EQ(segment(0, VARNO_FRAME_SEGMENT_HEADER), header(0xF1, kDraWordS4 | 2));
  EXPECT_EQ(segment(0, VARNO_FRAME_SEGMENT_DATA),
            concat({{0x01, 0, 0, 0},
                    {0x02, 0, 0, 0, 0, 0, 0, 0},
                    {0, 0, 0x04},
                    BYTES(13, 0),
                    {0x01, 0, 0x10, 0, 0, 0, 0, 0}}));
  // IMG 3: real DRA 0 and fake DRA 1, 11 rows.
  EXPECT_EQ(segment(3, VARNO_FRAME_SEGMENT_HEADER), header(0xD4, kDraWordS4 | 3));
  EXPECT_EQ(segment(3, VARNO_FRAME_SEGMENT_DATA),
            concat({BYTES(28, 0), {0x49, 0x8C, 0x0B}, BYTES(13, 0)}));
}

TEST_F(PvCram, FakeMaskAndLimitRules) {
  param().cram_fake_s4_dra_mask = 0x6;
  param().cram_s4_dra_limit = 1;
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->dra_mask_of(3), 0x1u);  // the real register fills the limit
  EXPECT_EQ(mgr()->dra_mask_of(2), 0x2u);
  param().cram_s4_dra_limit = 5;  // above the DRA count: no limit
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->dra_mask_of(3), 0x7u);
  param().cram_fake_s4_dra_mask = 0x10;  // names a fifth DRA: unused
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->dra_fake_s4_segment(), 0u);
  param().cram_fake_s4_dra_mask = 0x2;
  param().s4_variant = 0;
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->dra_fake_s4_segment(), 0u);
}

TEST_F(PvCram, UnmappedBitsAreOnesEvenInTheEdcrcWord) {
  param().s4_variant = 0;
  param().cram_fill_unmapped_ones = 1;
  ASSERT_TRUE(build());
  // Mapped: 0, 64..79, 128..139, 192..223.
  const BYTES core = concat({{0xFE},
                             BYTES(7, 0xFF),
                             {0, 0},
                             BYTES(6, 0xFF),
                             {0, 0xF0},
                             BYTES(6, 0xFF),
                             BYTES(4, 0),
                             BYTES(4, 0xFF)});
  EXPECT_EQ(segment(1, VARNO_FRAME_SEGMENT_DATA), core);
}

// ---- Range and instruction frames -----------------------------------------------------

TEST_F(PvCram, RangeFromUserCountAndOverrides) {
  auto range = [&]() {
    EXPECT_TRUE(build());
    const VARNO_FRAME* first = cram()->get_frame(0);
    return std::pair<u32, u32>(
        cram()->get_number_of_frames(),
        VARNO_UTIL::get_dword_from_address(first->get_segment(VARNO_FRAME_SEGMENT_HEADER)->data()));
  };
  mgr()->set_user_frame_count(3);
  EXPECT_EQ(range().first, 3u);
  param().first_frame[VOLD_BLOCK_CRAM] = 2;  // equal to the end: ignored
  EXPECT_EQ(range(), std::make_pair(3u, 0xF1u));
  for (u32 count : {0u, 52u, 60u}) {
    mgr()->set_user_frame_count(count);
    param().first_frame[VOLD_BLOCK_CRAM] = 1;
    param().last_frame[VOLD_BLOCK_CRAM] = 0;  // below the start: ignored
    EXPECT_EQ(range().first, 51u);
  }
}

TEST_F(PvCram, OneFrameRangeGetsBothInstructionGroups) {
  param().first_frame[VOLD_BLOCK_CRAM] = 5;
  param().last_frame[VOLD_BLOCK_CRAM] = 5;
  ASSERT_TRUE(build());
  ASSERT_EQ(cram()->get_number_of_frames(), 1u);
  BYTES core5(32, 0);
  core5[24] = 0x01;
  const BYTES plain = concat({header(0xF1, kDraWord), core5});
  BYTES framed = frame(0);
  EXPECT_EQ(BYTES(framed.begin(), framed.begin() + 12 + 32 + 44),
            concat({kAssertArin, kSkipDown5, plain}));
  EXPECT_EQ(BYTES(framed.end() - 112, framed.end()), concat({kWriteLast, kConfigDone}));

  // CLEAR_AR needs both the ERAM skip flag and its own flag.
  param().skip_block[VOLD_BLOCK_ERAM] = 1;
  ASSERT_TRUE(build());
  EXPECT_EQ(cram()->get_frame(0)->post_instructions().size(), 2u);
  param().cram_clear_ar_enable = 1;
  ASSERT_TRUE(build());
  framed = frame(0);
  EXPECT_EQ(BYTES(framed.end() - 120, framed.end()), concat({kWriteLast, kClearAr, kConfigDone}));

  param().assert_arin_enable = 0;
  param().cram_last_frame_enable = 0;
  ASSERT_TRUE(build());
  EXPECT_EQ(cram()->get_frame(0)->pre_instructions().size(), 0u);
  EXPECT_EQ(cram()->get_frame(0)->post_instructions().size(), 0u);
}

TEST_F(PvCram, RandomFillerGoesIntoEveryTrailer) {
  param().cram_random_filler = 0x12345;
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->random_filler(), 0x2345);
  const BYTES trailer = segment(1, VARNO_FRAME_SEGMENT_TRAILER);
  EXPECT_EQ(BYTES(trailer.begin(), trailer.begin() + 2), (BYTES{0x45, 0x23}));
  const VARNO_FRAME* arin = cram()->get_frame(0)->pre_instructions()[0].get();
  EXPECT_EQ(arin->get_segment(VARNO_FRAME_SEGMENT_TRAILER)->data()[0], 0x45);
}

TEST_F(PvCram, PartialFramesNeedAVerifiedImageAndAValidRange) {
  VARNO_CRAM_FRAME_MGR fresh;
  fresh.set_parent(cram());
  EXPECT_INTERNAL_ERROR(fresh.create_partial_frames(cram(), config(), 0, 0),
                        "user_data != NULL && (m_member.dra_bits % 32) == 0");
  ASSERT_TRUE(build());
  ASSERT_TRUE(mgr()->create_partial_frames(cram(), config(), 10, 12));
  EXPECT_EQ(cram()->get_number_of_frames(), 55u);
  EXPECT_INTERNAL_ERROR(mgr()->create_partial_frames(cram(), config(), 3, 52),
                        "start_frame <= end_frame && end_frame < m_member.bs_frame_count");
  EXPECT_INTERNAL_ERROR(mgr()->create_frame(cram(), config(), 0, 0, nullptr, {}, false, true),
                        "first");
  EXPECT_INTERNAL_ERROR(mgr()->create_frame(cram(), config(), 51, 51, nullptr, {}, false, false),
                        "last");
}

TEST_F(PvCram, InstructionRecordsAreChecked) {
  ASSERT_TRUE(build());
  VOLD_INSTRUCTION* arin = cram()->get_instruction(VOLD_INSTRUCTION_ASSERT_ARIN);
  arin->padding_words = -1;  // only SKIP_DOWN and WRITE_LAST_FRAME compute one
  EXPECT_INTERNAL_ERROR(mgr()->create_assert_arin_frame(), "instruction->padding_words >= 0");
  cram()->get_instruction(VOLD_INSTRUCTION_CLEAR_AR)->type = VOLD_INSTRUCTION_CONFIG_DONE;
  EXPECT_INTERNAL_ERROR(mgr()->create_clear_ar_frame(),
                        "VOLD_INSTRUCTION_TYPE(type) == VOLD_INSTRUCTION_CLEAR_AR");
  load({{"pv_family.ddb", "instr CONFIG_DONE", "instr DUMMY1"}});
  EXPECT_INTERNAL_ERROR(build(), "instruction != NULL");
}

// ---- LUTRAM -----------------------------------------------------------------------------

TEST_F(PvCram, LutramRemapExchangesDataLinesOnly) {
  ASSERT_TRUE(build());
  const auto& frames = mgr()->remapped_user_data();
  EXPECT_EQ(frames[0], (BYTES{0x01, 0, 0x10, 0, 0x02, 0, 0, 0xD2}));
  EXPECT_EQ(frames[1], (BYTES{0x02, 0x02, 0, 0, 0, 0, 0x04, 0}));
  param().cram_lutram_remap = 0;
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->remapped_user_data()[0], BYTES(m_image.begin(), m_image.begin() + 8));
}

TEST_F(PvCram, FlaggedLutramLinesEnterTheFrameEdcrc) {
  set_bit(m_image, 50, 24);  // flags data line 0 (bits 8..23)
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->lutram_info(), (std::vector<BYTES>{{1, 0}}));
  EXPECT_EQ(tail(0, 4), (BYTES{0x73, 0x32, 0x26, 0x14}));  // IMG 0 bit 20: ED-CRC 84
  EXPECT_EQ(tail(1, 4), BYTES(4, 0));
  EXPECT_EQ(tail(2, 4), (BYTES{0x06, 0x18, 0x84, 0x4A}));  // IMG 1 bit 9: ED-CRC 73
}

TEST_F(PvCram, LutramDeviceDataIsBounded) {
  {
    OVERRIDES o(config());
    o.arg(VOLD_ARGUMENT_LUTRAM_REMAP_ADDRLINES, 52, cat({{52}, seq(1, 51)}));
    ASSERT_TRUE(mgr()->init());
    EXPECT_INTERNAL_ERROR(build(),
                          "m_member.lutram_remap_addrlines[k] < m_member.addrlines_per_row");
  }
  {
    OVERRIDES o(config());
    o.arg(VOLD_ARGUMENT_LUTRAM_DATALINES, 2, {8, 48});
    ASSERT_TRUE(mgr()->init());
    EXPECT_INTERNAL_ERROR(build(), "m_member.lutram_datalines[d] + 16 < m_member.image_frame_bits");
  }
  OVERRIDES o(config());
  o.arg(VOLD_ARGUMENT_LUTRAM_REMAP_ADDRLINES, 4, {1, 0, 2, 3});
  ASSERT_TRUE(mgr()->init());
  EXPECT_INTERNAL_ERROR(build(), "m_member.addrlines_per_row > 50");
  param().cram_lutram_edcrc_info = 0;  // rows of 4 serve the remap alone
  EXPECT_TRUE(build());
}

// ---- Fault injection ------------------------------------------------------------------

TEST_F(PvCram, FaultBitsFlipTheirBitAndCloseTheFrameWithTheirEdcrc) {
  param().cram_fi_mode = 2;
  param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 0, 33, 0, 34};
  ASSERT_TRUE(build());
  BYTES core = kCore0;
  core[8] = 0x04;   // bit 65 (user 1) cleared, 66 (user 0) set
  core[28] = 0xF2;  // CRC of ED-CRC positions 97 and 98
  core[29] = 0xA7;
  core[30] = 0x36;
  core[31] = 0x65;
  EXPECT_EQ(segment(0, VARNO_FRAME_SEGMENT_DATA), core);
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_IMG], (LISTS{{0, 33, 34}}));
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_BS], (LISTS{{0, 65, 66}}));
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_EDCRC], (LISTS{{0, 97, 98}}));

  // A rebuild lists only its own faults but appends the option bits again.
  param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 2, 40};
  ASSERT_TRUE(build());
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_IMG], (LISTS{{2, 40}}));
  EXPECT_EQ(tb().overwrite_obs.size(), 20u);
}

TEST_F(PvCram, FaultsInFlaggedLutramLinesOrS4RegistersAreDropped) {
  set_bit(m_image, 50, 24);
  param().cram_fi_mode = 2;
  // IMG 0 bit 9 lies in the flagged line; IMG 3 bit 2 in its S4 DRA 0.
  param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 0, 9, 0, 33, 3, 2, 3, 33};
  ASSERT_TRUE(build());
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_IMG], (LISTS{{0, 33}, {3, 33}}));
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_BS], (LISTS{{0, 65}, {3, 65}}));
  EXPECT_EQ(tail(0, 4), (BYTES{0xDD, 0x50, 0x34, 0x37}));  // ED-CRC 84 (LUTRAM) and 97
  // IMG 3: LUTRAM bit 9 (ED-CRC 73) and fault 97, as sixteen S4 codes.
  EXPECT_EQ(segment(3, VARNO_FRAME_SEGMENT_DATA),
            concat({{0, 0, 0, 0, 0x02},
                    BYTES(15, 0),
                    {0x49, 0x8C, 0x0B},
                    BYTES(5, 0),
                    {0x40, 0x44, 0x44, 0x8C, 0x84, 0x48, 0x48, 0x84}}));
}

TEST_F(PvCram, FlaggedLineBoundsAreExactAndTheLineCursorMovesOn) {
  param().cram_fi_mode = 2;
  // Around both data lines (8..23, 40..55) of IMG 0.
  param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 0, 7,  0, 8,  0, 23, 0, 24,
                               0,                     39, 0, 40, 0, 55, 0, 56};
  set_bit(m_image, 50, 56);  // flags data line 1 only
  ASSERT_TRUE(build());
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_IMG], (LISTS{{0, 7, 8, 23, 24, 39, 56}}));
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_BS],
            (LISTS{{0, 199, 200, 215, 216, 71, 136}}));

  m_image[(50 * 64 + 56) / 8] = 0;
  set_bit(m_image, 50, 24);  // data line 0 only
  ASSERT_TRUE(build());
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_IMG], (LISTS{{0, 7, 24, 39, 40, 55, 56}}));
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_EDCRC],
            (LISTS{{0, 71, 88, 103, 104, 119, 120}}));
}

TEST_F(PvCram, CoreDataRefusesAFrameBeyondTheImage) {
  ASSERT_TRUE(build());
  // The fault step reads the frame's LUTRAM row even when user data is
  // skipped; an IMG frame past the image has none.
  param().cram_skip_user_data = 1;
  const std::vector<BYTES> longer(53, BYTES(8, 0));
  u32 bits = 0;
  EXPECT_INTERNAL_ERROR(
      mgr()->create_frame_core_data(longer, 0, 52, nullptr, bits, 0, WORDS{33}),
      "img_index < m_member.image_frame_count");
  EXPECT_NE(mgr()->create_frame_core_data(longer, 0, 51, nullptr, bits, 0, WORDS{33}), nullptr);
  EXPECT_EQ(bits, 256u);
}

TEST_F(PvCram, FaultLocationsInBitstreamAndEdcrcForm) {
  param().cram_fi_mode = 1;  // bitstream frame 1 (IMG 2), bit 65 (IMG bit 33)
  param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 1, 65};
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->fi_lists(), (LISTS{{2, 33}}));
  EXPECT_EQ(tb().fault_injection_lists[VARNO_TALKBACK_FI_EDCRC], (LISTS{{1, 97}}));
  param().cram_fi_mode = 0;  // bitstream frame 2 (IMG 1), ED-CRC 97 (IMG bit 33)
  param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 2, 97};
  ASSERT_TRUE(build());
  EXPECT_EQ(mgr()->fi_lists(), (LISTS{{1, 33}}));
}

TEST_F(PvCram, SkippedUserDataLeavesOnlyTheFaults) {
  param().cram_skip_user_data = 1;
  param().cram_fi_mode = 2;
  param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 0, 34};
  ASSERT_TRUE(build());
  BYTES core(28, 0);
  core[8] = 0x04;
  BYTES got = segment(0, VARNO_FRAME_SEGMENT_DATA);
  got.resize(28);  // then the ED-CRC of the fault
  EXPECT_EQ(got, core);
  EXPECT_EQ(segment(2, VARNO_FRAME_SEGMENT_DATA), BYTES(32, 0));
}

TEST_F(PvCram, FaultsOnMarkedBitsStopTheBuild) {
  param().cram_fi_mode = 2;
  for (u32 bit : {60u, 61u, 62u}) {
    param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 4, bit};
    EXPECT_INTERNAL_ERROR(
        build(),
        "*iter < m_member.image_frame_bits && m_member.img_to_raw_map[*iter] != "
        "IMG_TO_RAW_INVALID && m_member.img_to_raw_map[*iter] != IMG_TO_RAW_SKIP_CONV_EDCRC && "
        "m_member.img_to_raw_map[*iter] != IMG_TO_RAW_SKIP_CONV_PB3");
  }
  param().cram_fi_locations = {VOLD_FAMILY_PASKEVOLT, 1, 4, 63};  // no ED-CRC position
  EXPECT_INTERNAL_ERROR(build(), "dest_index != UINT(-1)");
}

// ---- ED-CRC columns and option values -------------------------------------------------

TEST_F(PvCram, ColumnEdcrcRunsAcrossTheFramesOfABuild) {
  param().print_edcrc_columns = 1;
  mgr()->set_user_frame_count(3);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(build());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Column edcrc for col 0 is 63E11DA7.\n");
}

TEST_F(PvCram, OneRowDrasHaveNoColumns) {
  OVERRIDES o(config());
  o.param(VOLD_PARAMETER_DRAS, {1, 1, 1, 1});
  o.arg(VOLD_ARGUMENT_DRA_BIT_INFO, 32, rep(0, 32));
  o.arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP, 64,
        cat({seq(0, 59), {0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFD, 60}}));
  o.arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP, 128, cat({seq(0, 59), {63}, rep(0xFFFFFFFF, 67)}));
  o.arg(VOLD_ARGUMENT_EDCRC_TO_IMG_MAP, 128, cat({rep(0xFFFFFFFF, 64), seq(0, 62), {0xFFFFFFFF}}));
  ASSERT_TRUE(mgr()->init());
  param().print_edcrc_columns = 1;
  param().s4_variant = 0;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(build());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(mgr()->column_edcrc().empty());
  EXPECT_EQ(segment(0, VARNO_FRAME_SEGMENT_DATA).size(), 16u);
}

TEST_F(PvCram, ErrorCorrectionOptionValues) {
  // L1 = 32 x 4 x 2 = 256; L2 = 32 x 4 x 52 + 32 = 6688.
  auto expected = [](bool flag, u32 v1, u32 v2, u32 v3, u32 v4, u32 v5, u32 v6) {
    return std::vector<std::tuple<u32, u32, bool>>{
        {288, 0x28EAC819, flag}, {289, 0xBC9FEC1D, flag}, {290, 0x30FB9C79, flag}, {291, v1, flag},
        {292, v2, flag},         {293, v3, flag},         {294, v4, flag},         {295, v5, flag},
        {296, v6, flag},         {271, 0, flag}};
  };
  auto obs = [&]() {
    std::vector<std::tuple<u32, u32, bool>> out;
    for (const auto& ob : tb().overwrite_obs) out.emplace_back(ob.ob_id, ob.value, ob.flag);
    tb().overwrite_obs.clear();
    return out;
  };
  ASSERT_TRUE(build());
  EXPECT_EQ(obs(),
            expected(true, 0x95B7921D, 0x5F6C1B1B, 0x67CA16B7, 0xEC895048, 0x9B94EE11, 0xA5D5FAE3));
  param().cram_ec_ob_mode = 1;
  ASSERT_TRUE(build());
  EXPECT_EQ(obs(), expected(false, 0x95B7921D, 0x5F6C1B1B, 0x67CA16B7, 0xEC895048, 0x9B94EE11,
                            0xA5D5FAE3));
  param().cram_ec_ob_mode = 2;
  ASSERT_TRUE(build());
  EXPECT_EQ(obs(), (std::vector<std::tuple<u32, u32, bool>>{{271, 1, false}}));

  // Five fake ED-CRC frames: L2 = 32 x 4 x 5 + 32 = 672 and a stop frame.
  param().cram_ec_ob_mode = 0;
  OVERRIDES o(config());
  o.param(VOLD_PARAMETER_FAKE_EDCRC_FRAME_COUNT, {5});
  ASSERT_TRUE(mgr()->init());
  ASSERT_TRUE(build());
  auto with_stop =
      expected(true, 0x06E6C7A2, 0x0595A473, 0xD82ED7CF, 0xE9828F9C, 0x3A9001F8, 0x7088A568);
  with_stop.emplace_back(150, 4, true);
  EXPECT_EQ(obs(), with_stop);
}

// ---- Device data that would reach out of bounds ---------------------------------------

TEST_F(PvCram, VerificationRefusesInconsistentGeometry) {
  {
    OVERRIDES o(config());
    o.param(VOLD_PARAMETER_DRAS_ORDER, {3, 3, 1, 0});
    ASSERT_TRUE(mgr()->init());
    EXPECT_INTERNAL_ERROR(build(),
                          "m_member.dras_order[dra] < m_member.dras_count && "
                          "dra_checked[m_member.dras_order[dra]] == false");
  }
  {
    OVERRIDES o(config());
    o.param(VOLD_PARAMETER_DRAS, {2, 2, 16384, 1});
    ASSERT_TRUE(mgr()->init());
    EXPECT_INTERNAL_ERROR(build(), "(m_member.dras[dra] & dra_max_mask) == 0");
  }
  OVERRIDES o(config());
  o.arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP, 64, cat({{256}, seq(1, 63)}));
  ASSERT_TRUE(mgr()->init());
  EXPECT_INTERNAL_ERROR(build(), "raw_index < m_member.bs_frame_bits");
}

TEST_F(PvCram, HeaderAndTrailerMustHoldTheirWords) {
  load({{"pv_family.ddb", "w1=3", "w1=2"}});
  EXPECT_INTERNAL_ERROR(build(), "header_rows * config_data_bytes >= 12");
  // An 8-bit word leaves the trailer no room for its CRC-16.
  load({{"pv_family.ddb", "config_width 32", "config_width 8"},
        {"pv_family.ddb", "mask=0xFFFFFFFF", "mask=0xFF"},
        {"pv_family.ddb", "w1=3", "w1=12"},
        {"pv_device.ddb", "DRAS 2 2 2 1", "DRAS 8 8 8 4"}});
  EXPECT_INTERNAL_ERROR(build(), "m_member.config_data_bytes >= 4");
}

TEST_F(PvCram, S4DeviceDataIsChecked) {
  {
    OVERRIDES o(config());  // IMG 4 is S4 but has no S4 record
    o.arg(VOLD_ARGUMENT_DRA_S4_INFO, 52, cat({{0, 0, 0, 1, 1}, rep(0, 47)}));
    ASSERT_TRUE(mgr()->init());
    EXPECT_INTERNAL_ERROR(build(), "s2_bits_list != NULL");
  }
  {
    OVERRIDES o(config());  // DRA 1 of IMG 3 is S4 but has no cells
    o.arg(VOLD_ARGUMENT_DRA_S4_INFO, 52, cat({{0, 0, 0, 3}, rep(0, 48)}));
    ASSERT_TRUE(mgr()->init());
    EXPECT_INTERNAL_ERROR(build(), "s2_bits_list->at(effective_dra)->size() > 0");
  }
  {
    OVERRIDES o(config());  // DRA 3 is wider than its slice
    o.param(VOLD_PARAMETER_DRAS, {2, 2, 2, 3});
    ASSERT_TRUE(mgr()->init());
    EXPECT_INTERNAL_ERROR(build(), "m_member.dras[effective_dra] <= m_member.dras[0]");
  }
  {
    OVERRIDES o(config());  // the 1-bit of IMG 3's pair 0 has no IMG source
    o.arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP, 256,
          cat({{63}, rep(0xFFFFFFFF, 191), {0xFFFFFFFF}, seq(1, 31), rep(0xFFFFFFFF, 32)}));
    ASSERT_TRUE(mgr()->init());
    EXPECT_INTERNAL_ERROR(build(), "s2_checked_bit_index != RAW_TO_IMG_SKIP_CONV_DUMMY");
  }
  // A control bit outside the image, tried after IMG 3's unlit cell (6, 1).
  ASSERT_TRUE(mgr()->init());  // back on the device's own records
  VOLD_INFO* device = gen()->device_pcf_info();
  S4_SII* record = device->get_device_info()->m_s4_s2_list->at(3);
  record->get_data_list()->at(0)->at(1)->add_cell(device->s4_store().new_si(0, 0, 64, false));
  EXPECT_INTERNAL_ERROR(
      build(), "s4_si frame < m_member.image_frame_count && bit < m_member.image_frame_bits");
}

}  // namespace
