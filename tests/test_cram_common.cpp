// The CRAM image description, its bit helpers and the fault-injection lists.
#include <memory>
#include <vector>

#include "varno_block_config.h"
#include "varno_cram_common.h"
#include "varno_dblock.h"
#include "varno_test.h"
#include "vold.h"

namespace {

constexpr u32 kFamily = VOLD_FAMILY_QUELVO_SECTOR;  // device word 0
constexpr u32 kDevice = 7;                          // device word 1

std::vector<u32> range(u32 n) {
  std::vector<u32> v(n);
  for (u32 i = 0; i < n; ++i) v[i] = i;
  return v;
}

// A CRAM block configuration built in memory: by default 4 IMG frames of 8
// bits, no spare rows, identity frame maps.
struct CRAM_CONFIG {
  explicit CRAM_CONFIG(u32 frames = 4, u32 bits = 8, u32 algo = 0, bool maps = true) {
    device = info.create_device_info(kFamily, kDevice);
    param(VOLD_PARAMETER_CRAM_ALGO, {algo});
    param(VOLD_PARAMETER_CRAM_FRAME_COUNT, {frames});
    param(VOLD_PARAMETER_CRAM_BIT_COUNT, {bits});
    if (maps) {
      arg(VOLD_ARGUMENT_CRAM_IMG_FRAME_TO_BS_FRAME_MAP, frames, range(frames));
      arg(VOLD_ARGUMENT_CRAM_BS_FRAME_TO_IMG_FRAME_MAP, frames, range(frames));
    }
  }
  ~CRAM_CONFIG() { delete_cram_member_memory(m); }

  void param(VOLD_PARAMETER_TYPE type, const std::vector<u32>& values) {
    config.m_param_list.push_back(info.add_param(VOLD_BLOCK_CRAM, type, values));
  }
  void arg(VOLD_ARGUMENT_TYPE type, u32 width, std::vector<u32> values) {
    config.m_arg_list.push_back(info.add_arg(VOLD_BLOCK_CRAM, type, width, std::move(values)));
  }
  void setup() { setup_cram_member(m, device, nullptr, &config); }

  VOLD_INFO info;
  VOLD_DEVICE_INFO* device = nullptr;
  VARNO_BLOCK_CONFIG config;
  VARNO_CRAM_MEMBER m;
};

// ---- setup_cram_member ----------------------------------------------------------

TEST(CramMember, SetUpFillsEveryPresentField) {
  CRAM_CONFIG c(4, 8, 0, false);
  c.arg(VOLD_ARGUMENT_CRAM_SPARE_ROWS, 1, {2});
  c.arg(VOLD_ARGUMENT_CRAM_IMG_FRAME_TO_BS_FRAME_MAP, 4, {0, 2, 0xFFFFFFFF, 1});
  c.arg(VOLD_ARGUMENT_CRAM_BS_FRAME_TO_IMG_FRAME_MAP, 3, {0, 3, 1});
  c.arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP, 8, range(8));
  c.arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP, 8, range(8));
  c.arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP_REV32, 8, range(8));
  c.arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP_REV32, 12, range(12));
  c.arg(VOLD_ARGUMENT_S4_IMG_TO_RAW_MAP, 16, range(16));
  c.arg(VOLD_ARGUMENT_S4_RAW_TO_IMG_MAP, 20, range(20));
  c.arg(VOLD_ARGUMENT_S4_4BIT_MASK, 16, range(16));
  c.arg(VOLD_ARGUMENT_SECTOR_S4_FS, 3, {7, 8, 9});
  c.param(VOLD_PARAMETER_DRAS, {32, 64});
  c.param(VOLD_PARAMETER_DRAS_ORDER, {1, 0});
  c.arg(VOLD_ARGUMENT_DRA_BIT_INFO, 5, {1, 2, 3, 4, 5});
  c.arg(VOLD_ARGUMENT_DRA_S4_INFO, 4, {1, 0, 0, 1});
  c.arg(VOLD_ARGUMENT_LUTRAM_DATALINES, 2, {4, 5});
  c.arg(VOLD_ARGUMENT_LUTRAM_REMAP_ADDRLINES, 3, {6, 7, 8});
  c.arg(VOLD_ARGUMENT_IMG_TO_EDCRC_MAP, 8, range(8));
  c.arg(VOLD_ARGUMENT_EDCRC_TO_IMG_MAP, 12, range(12));
  c.arg(VOLD_ARGUMENT_PHANTOMLESS_MAP, 17, std::vector<u32>(4 * 17, 0));
  c.param(VOLD_PARAMETER_IMG_IN_FRAME_SEQ, {2});
  c.param(VOLD_PARAMETER_CRAM_PARALLEL_FRAME_SIZE, {11});
  c.arg(VOLD_ARGUMENT_MRAM_INFO, 1, {0x5});
  c.arg(VOLD_ARGUMENT_LUTRAM_INFO, 4, {0, 1, 0, 1});
  c.param(VOLD_PARAMETER_LUTRAM_ODD_BIT_FLIP, {1});
  c.param(VOLD_PARAMETER_RSCNT26_BIT_ROW_OFFSET, {13});
  c.param(VOLD_PARAMETER_FAKE_EDCRC_FRAME_COUNT, {3});
  c.info.set_s4_s2_size(4, true);
  c.setup();

  const VARNO_CRAM_MEMBER& m = c.m;
  EXPECT_EQ(m.algo, 0u);
  EXPECT_EQ(m.image_frame_count, 4u);
  EXPECT_EQ(m.image_frame_bits, 8u);
  EXPECT_EQ(m.bs_frame_count, 3u);
  EXPECT_EQ(m.bs_frame_to_img_frame_map[1], 3u);
  EXPECT_EQ(m.img_frame_to_bs_frame_map[3], 1u);
  EXPECT_EQ(m.bs_frame_bits, 12u);  // the REV32 width wins
  EXPECT_EQ(m.raw_to_img_map_rev32[11], 11u);
  EXPECT_EQ(m.image_s4_frame_bits, 16u);
  EXPECT_EQ(m.bs_s4_frame_bits, 20u);
  EXPECT_EQ(m.s4_4bit_mask_count, 16u);
  EXPECT_EQ(m.sector_s4_fs_count, 3u);
  EXPECT_EQ(m.sector_s4_fs[2], 9u);
  EXPECT_EQ(m.s4_sii_count, 4u);
  EXPECT_EQ(m.s4_sii_list, c.device->m_s4_s2_list);
  ASSERT_EQ(m.dras_count, 2u);
  EXPECT_EQ(m.dras[1], 64u);
  EXPECT_EQ(m.dras_order[0], 1u);
  EXPECT_EQ(m.dra_bits, 5u);
  EXPECT_EQ(m.dra_s4_info[3], 1);
  EXPECT_EQ(m.lutram_datalines_count, 2u);
  EXPECT_EQ(m.addrlines_per_row, 3u);
  EXPECT_NE(m.edcrc_to_img_map, nullptr);
  EXPECT_EQ(m.phantomless_map.size(), 4u);
  EXPECT_TRUE(m.img_in_frame_seq);
  EXPECT_FALSE(m.img_filled_with_lowest_bit);
  EXPECT_EQ(m.parallel_frame_size, 11u);
  EXPECT_EQ(m.img_include_edcrc_bits, VARNO_INVALID_DWORD);
  EXPECT_EQ(m.mram_info[0], 0x5);
  EXPECT_EQ(m.lutram_info[3], 1);
  EXPECT_TRUE(m.lutram_odd_bit_flip);
  EXPECT_EQ(m.rscnt26_bit_row_offset, 13u);
  EXPECT_EQ(m.lutram_block_count, VARNO_INVALID_DWORD);
  EXPECT_EQ(m.fake_edcrc_frame_count, 3u);

  // A second set-up replaces the owned arrays instead of losing them.
  c.setup();
  EXPECT_EQ(c.m.dras[0], 32u);
}

TEST(CramMember, FrameMapsMustFitTheFrameCounts) {
  {
    CRAM_CONFIG c(4, 8, 0, false);
    EXPECT_INTERNAL_ERROR(c.setup(), "arg != NULL");
  }
  {
    // With a spare row the bitstream-to-IMG map has three entries.
    CRAM_CONFIG c;
    c.config.m_arg_list.clear();
    c.arg(VOLD_ARGUMENT_CRAM_SPARE_ROWS, 1, {3});
    c.arg(VOLD_ARGUMENT_CRAM_IMG_FRAME_TO_BS_FRAME_MAP, 4, range(4));
    c.arg(VOLD_ARGUMENT_CRAM_BS_FRAME_TO_IMG_FRAME_MAP, 4, range(4));
    EXPECT_INTERNAL_ERROR(c.setup(), "arg_width == m.bs_frame_count && uint_arg_list.size() == 1");
  }
  {
    CRAM_CONFIG c(0, 8);
    EXPECT_INTERNAL_ERROR(c.setup(), "m.image_frame_count > 0");
  }
}

TEST(CramMember, BitMapsComeInPairs) {
  {
    CRAM_CONFIG c;
    c.arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP, 8, range(8));
    EXPECT_INTERNAL_ERROR(c.setup(), "config->get_arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP) == NULL");
  }
  {
    CRAM_CONFIG c;
    c.setup();
    EXPECT_EQ(c.m.img_to_raw_map, nullptr);
    EXPECT_EQ(c.m.raw_to_img_map, nullptr);
    EXPECT_EQ(c.m.bs_frame_bits, VARNO_INVALID_DWORD);
    EXPECT_EQ(c.m.s4_sii_count, VARNO_INVALID_DWORD);  // the device has no S4 list
  }
  {
    CRAM_CONFIG c;
    c.arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP, 8, range(8));
    EXPECT_INTERNAL_ERROR(c.setup(), "arg != NULL");
  }
  {
    // An S4 map without rows is refused like the others.
    CRAM_CONFIG c;
    c.arg(VOLD_ARGUMENT_S4_IMG_TO_RAW_MAP, 8, {});
    EXPECT_INTERNAL_ERROR(c.setup(), "!uint_arg_list.empty()");
  }
}

TEST(CramMember, DraS4InfoWidthFollowsTheAlgorithm) {
  for (u32 algo : {0u, 3u, 6u}) {
    CRAM_CONFIG c(4, 8, algo);
    c.arg(VOLD_ARGUMENT_DRA_S4_INFO, 4, {1, 0, 0, 0});
    c.setup();
    EXPECT_TRUE(cram_dra_s4_info_is_bytes(algo));
    EXPECT_EQ(c.m.dra_s4_info[0], 1);
  }
  for (u32 algo : {1u, 2u}) {
    CRAM_CONFIG bytes(4, 8, algo);
    bytes.arg(VOLD_ARGUMENT_DRA_S4_INFO, 4, {1, 0, 0, 0});
    EXPECT_INTERNAL_ERROR(bytes.setup(), "(m.image_frame_count + 7)/8 == arg_width");
    CRAM_CONFIG bits(4, 8, algo);
    bits.arg(VOLD_ARGUMENT_DRA_S4_INFO, 1, {0x9});
    bits.setup();
    EXPECT_FALSE(cram_dra_s4_info_is_bytes(algo));
    EXPECT_EQ(bits.m.dra_s4_info[0], 0x9);  // kept packed, a bit per frame
  }
}

TEST(CramMember, OtherChecks) {
  {
    CRAM_CONFIG c;
    c.param(VOLD_PARAMETER_FAKE_EDCRC_FRAME_COUNT, {0});
    EXPECT_INTERNAL_ERROR(c.setup(), "m.fake_edcrc_frame_count != 0");
  }
  {
    CRAM_CONFIG c;
    c.param(VOLD_PARAMETER_DRAS_ORDER, {0});
    EXPECT_INTERNAL_ERROR(c.setup(), "config->get_param(VOLD_PARAMETER_DRAS_ORDER) == NULL");
  }
  {
    // The arrays made before the failing check are still freed.
    CRAM_CONFIG c;
    c.param(VOLD_PARAMETER_DRAS, {32, 32});
    c.param(VOLD_PARAMETER_DRAS_ORDER, {0, 1, 2});
    EXPECT_INTERNAL_ERROR(c.setup(), "param_length == m.dras_count");
  }
  {
    CRAM_CONFIG c;
    c.arg(VOLD_ARGUMENT_PHANTOMLESS_MAP, 16, std::vector<u32>(16, 0));
    EXPECT_INTERNAL_ERROR(c.setup(),
                          "(PGM_PHANTOMLESS_INFO_REVERSED_BYTE + (m.image_frame_bits + 7)/8) == arg_width");
  }
  {
    CRAM_CONFIG c;
    c.arg(VOLD_ARGUMENT_MRAM_INFO, 4, {0, 0, 0, 0});
    EXPECT_INTERNAL_ERROR(c.setup(),
                          "(arg_width == (m.image_frame_count + 7)/8) && byte_arg_list.size() == 1");
  }
  {
    // A shared S4 list serves when the device has none of its own.
    CRAM_CONFIG c;
    S4_SII_LIST shared(4, nullptr);
    c.device->m_fake_s4_s2_list = &shared;
    c.setup();
    EXPECT_EQ(c.m.s4_sii_list, &shared);
    EXPECT_EQ(c.m.s4_sii_count, 4u);
  }
}

TEST(CramMember, UserImageSizeIsComparedIn64Bits) {
  VARNO_DBLOCK block;  // outside a generator: 32-bit configuration words
  VARNO_CRAM_MEMBER m;
  m.image_frame_count = 4;
  m.image_frame_bits = 8;
  EXPECT_INTERNAL_ERROR(verify_cram_user_data(m, &block, nullptr), "m.image_data != NULL");
  std::vector<u8> image(8192);
  block.set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 32, nullptr);
  verify_cram_user_data(m, &block, nullptr);
  EXPECT_EQ(m.config_data_width, 32u);
  EXPECT_EQ(m.config_data_bytes, 4u);
  EXPECT_EQ(m.image_bits, 32u);
  EXPECT_EQ(m.image_data, image.data());
  // 65536 × 65537 wraps to 65536 in 32 bits: a 65536-bit image must not pass.
  m.image_frame_count = 65536;
  m.image_frame_bits = 65537;
  block.set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 65536, nullptr);
  EXPECT_INTERNAL_ERROR(verify_cram_user_data(m, &block, nullptr),
                        "m.image_bits == (m.image_frame_count * m.image_frame_bits)");
}

TEST(CramMember, InstructionWords) {
  VARNO_DBLOCK block;
  VOLD_INSTRUCTION first{VOLD_INSTRUCTION_FIRST_FRAME, 0x11};
  VOLD_INSTRUCTION last{VOLD_INSTRUCTION_LAST_FRAME, 0x22};
  VOLD_INSTRUCTION s4_default{VOLD_INSTRUCTION_DEFAULT_S4_FRAME, 0x66};
  block.set_instruction(VOLD_INSTRUCTION_FIRST_FRAME, &first);
  block.set_instruction(VOLD_INSTRUCTION_LAST_FRAME, &last);
  block.set_instruction(VOLD_INSTRUCTION_DEFAULT_S4_FRAME, &s4_default);
  VARNO_CRAM_MEMBER m;
  m.default_frame_instr = 0x33;
  setup_instruction(m, &block);
  EXPECT_EQ(m.first_frame_instr, 0x11u);
  EXPECT_EQ(m.default_frame_instr, 0x33u);  // no instruction: kept
  EXPECT_EQ(m.first_s4_frame_instr, VARNO_INVALID_DWORD);
  EXPECT_EQ(get_instruction(m, true, true, false), 0x11u);  // first wins
  EXPECT_EQ(get_instruction(m, false, true, false), 0x22u);
  EXPECT_EQ(get_instruction(m, false, false, false), 0x33u);
  EXPECT_EQ(get_instruction(m, false, false, true), 0x66u);
  EXPECT_EQ(get_instruction(m, true, false, true), VARNO_INVALID_DWORD);
}

// ---- Bit helpers ---------------------------------------------------------------------

TEST(CramBits, ReadingUpAndDown) {
  unsigned char bits[2] = {0xB4, 0x01};  // bits 2, 4, 5, 7, 8
  unsigned index = 4;
  EXPECT_EQ(get_bits(bits, index, 5, true), 0x1Bu);  // bits 4..8: 1, 1, 0, 1, 1
  EXPECT_EQ(index, 8u);
  EXPECT_EQ(get_bits(bits, index, 4, false), 0xBu);  // bits 8, 7, 6, 5: 1, 1, 0, 1
  EXPECT_EQ(index, 5u);
  index = 0;
  EXPECT_EQ(get_bits(bits, index, 1, false), 0u);  // one bit needs no move
  EXPECT_EQ(index, 0u);
  EXPECT_INTERNAL_ERROR(get_bits(bits, index, 2, false), "index > 0");
  EXPECT_INTERNAL_ERROR(get_bits(bits, index, 9, true), "count > 0 && count <= 8");

  unsigned word_index = 28;
  EXPECT_EQ(get_bits(0xA0000000u, word_index, 4), 0xAu);
  EXPECT_EQ(word_index, 31u);
  word_index = 29;
  EXPECT_INTERNAL_ERROR(get_bits(0u, word_index, 4),
                        "count > 0 && count <= 8 && index < 32 && (index + count) <= 32");
}

TEST(CramBits, TwoBitCodes) {
  const unsigned char expected[4] = {0, 8, 4, 12};
  for (unsigned char v = 0; v < 4; ++v) {
    for (bool flag : {false, true}) {
      unsigned char code = v;
      const bool result = encode_two_bits(code, flag);
      EXPECT_EQ(code, expected[v]);
      EXPECT_EQ(result, (v == 1 || v == 2) ? !flag : false);
    }
  }
  unsigned char bad = 4;
  EXPECT_INTERNAL_ERROR(encode_two_bits(bad, false), "two_bits < 4");
}

// ---- Fault-injection lists ------------------------------------------------------------

TEST(CramFaultInjection, GroupingByFrame) {
  VOLD_INFO info;
  VOLD_DEVICE_INFO* device = info.create_device_info(kFamily, kDevice);
  const std::vector<u32> list = {kFamily, kDevice, 5, 9, 2, 3, 5, 1};
  const std::vector<std::vector<u32>> groups = {{2, 3}, {5, 1, 9}};
  EXPECT_EQ(process_fi_locations(device, 10, 10, list), groups);

  std::vector<u32> duplicate = list;
  duplicate.insert(duplicate.end(), {5, 9});
  EXPECT_TRUE(process_fi_locations(device, 10, 10, duplicate).empty());
  EXPECT_TRUE(process_fi_locations(device, 5, 10, list).empty());  // frame 5 out of range
  EXPECT_TRUE(process_fi_locations(device, 10, 10, {kFamily, kDevice + 1, 1, 1}).empty());
  EXPECT_TRUE(process_fi_locations(device, 10, 10, {kFamily, kDevice, 1}).empty());
  EXPECT_TRUE(process_fi_locations(device, 10, 10, {kFamily, kDevice}).empty());

  unsigned cursor = 0;
  EXPECT_EQ(search_fi_bits(groups, 2, cursor, true), std::vector<u32>{3});
  EXPECT_EQ(cursor, 1u);
  EXPECT_TRUE(search_fi_bits(groups, 4, cursor, true).empty());
  EXPECT_EQ(cursor, 1u);
  EXPECT_EQ(search_fi_bits(groups, 5, cursor, true), (std::vector<u32>{1, 9}));
  EXPECT_EQ(cursor, 2u);
  EXPECT_TRUE(search_fi_bits(groups, 5, cursor, true).empty());

  cursor = 0;
  EXPECT_EQ(search_fi_bits(groups, 5, cursor, false), (std::vector<u32>{1, 9}));
  EXPECT_TRUE(search_fi_bits(groups, 3, cursor, false).empty());  // frame 2 lies beyond
  EXPECT_EQ(cursor, 1u);
  EXPECT_EQ(search_fi_bits(groups, 2, cursor, false), std::vector<u32>{3});
  cursor = 3;
  EXPECT_INTERNAL_ERROR(search_fi_bits(groups, 2, cursor, true), "index <= DWORD(locations.size())");
}

TEST(CramFaultInjection, ConversionToImgLocations) {
  VOLD_INFO info;
  VOLD_DEVICE_INFO* device = info.create_device_info(kFamily, kDevice);
  u32 frame_map[3] = {2, 0, 1};
  u32 bit_map[4] = {3, 0xFFFFFFFE, 0xFFFFFFFF, 0};
  const std::vector<u32> list = {kFamily, kDevice, 0, 0, 1, 1, 2, 2, 2, 3};
  EXPECT_EQ(convert_bs_to_img_format(device, frame_map, bit_map, 3, 4, list),
            (std::vector<u32>{kFamily, kDevice, 2, 3, 1, 0}));
  EXPECT_EQ(convert_edcrc_to_img_format(device, frame_map, bit_map, 3, 4, list),
            (std::vector<u32>{kFamily, kDevice, 2, 3, 0, 0xFFFFFFFE, 1, 0}));
  // Nothing kept: no device words either.
  const std::vector<u32> dropped = {kFamily, kDevice, 0, 1, 1, 1};
  EXPECT_TRUE(convert_bs_to_img_format(device, frame_map, bit_map, 3, 4, dropped).empty());
  EXPECT_EQ(convert_edcrc_to_img_format(device, frame_map, bit_map, 3, 4, dropped).size(), 6u);
  EXPECT_TRUE(
      convert_bs_to_img_format(device, frame_map, bit_map, 3, 4, {kFamily, kDevice, 3, 0}).empty());
}

}  // namespace
