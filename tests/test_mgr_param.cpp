// Manager-parameter and talkback records: the layout shared with the host and
// the defaults of a fresh record.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "varno_mgr_param.h"

namespace {

template <typename T>
std::vector<u8> bytes_of(const T& record) {
  std::vector<u8> out(sizeof(T));
  std::memcpy(out.data(), static_cast<const void*>(&record), sizeof(T));
  return out;
}

bool in_range(size_t i, size_t begin, size_t size) { return i >= begin && i < begin + size; }

}  // namespace

TEST(MgrParam, SizesMatchTheHostLayout) {
  EXPECT_EQ(sizeof(VARNO_MGR_PARAM), 1048u);
  EXPECT_EQ(sizeof(VARNO_MGR_TALKBACK), 120u);
}

// Every byte of a fresh record, vectors aside, derived from the defaults
// table: ones at 0, 1, 941, 994, 1004-1007, 1043; all-ones frame overrides at
// 104-919; fw_type 13 at 924; template_count_mode 2 at 976; zero elsewhere,
// padding included.
TEST(MgrParam, FreshRecordBytes) {
  const VARNO_MGR_PARAM param;
  const std::vector<u8> bytes = bytes_of(param);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (in_range(i, 952, 24) || in_range(i, 1016, 24)) continue;  // the two vectors
    u8 expected = 0;
    if (i == 0 || i == 1 || i == 941 || i == 994 || (i >= 1004 && i <= 1007) || i == 1043) {
      expected = 1;
    } else if (i >= 104 && i < 920) {
      expected = 0xFF;
    } else if (i == 924) {
      expected = 13;
    } else if (i == 976) {
      expected = 2;
    }
    EXPECT_EQ(bytes[i], expected) << "byte " << i;
  }
  EXPECT_TRUE(param.fw_sizes.empty());
  EXPECT_TRUE(param.cram_fi_locations.empty());
}

TEST(MgrParam, FreshRecordFields) {
  const VARNO_MGR_PARAM param;
  EXPECT_EQ(param.first_frame[VOLD_BLOCK_CRAM], 0xFFFFFFFFu);
  EXPECT_EQ(param.last_frame[VOLD_BLOCK_MAX - 1], 0xFFFFFFFFu);
  EXPECT_EQ(param.fw_type, 13u);
  EXPECT_EQ(param.template_count_mode, 2u);
  EXPECT_EQ(param.s4_variant, 1);
  EXPECT_EQ(param.dump_swap_dr_bits, 1);
  EXPECT_EQ(param.cram_lutram_remap, 1);
  EXPECT_EQ(param.cram_lutram_edcrc_info, 1);
  EXPECT_EQ(param.eram_last_frame_enable, 1);
  EXPECT_EQ(param.cram_fi_mode, 0);
  EXPECT_EQ(param.cram_ec_ob_mode, 0);
}

// A value written through a field lands at the shared offset, little-endian.
TEST(MgrParam, FieldsLandAtTheirOffsets) {
  VARNO_MGR_PARAM param;
  param.first_frame[VOLD_BLOCK_CRAM] = 0x11223344;  // 104 + 4 * 37 = 252
  param.last_frame[VOLD_BLOCK_ERAM] = 0x55667788;   // 512 + 4 * 38 = 664
  param.skip_block[VOLD_BLOCK_ERAM] = 0xA5;         // 2 + 38 = 40
  param.cram_fake_s4_dra_mask = 0x0A0B0C0D;         // 996
  param.cram_s4_dra_limit = 0x01020304;             // 1000
  param.cram_skip_user_data = 0x21;                 // 1008
  param.cram_s2_zero_bit_source_check = 0x22;       // 1013
  param.cram_fi_mode = 0x23;                        // 1015
  param.cram_ec_ob_mode = 0x24;                     // 1041
  const std::vector<u8> b = bytes_of(param);
  EXPECT_EQ(b[252], 0x44);
  EXPECT_EQ(b[255], 0x11);
  EXPECT_EQ(b[664], 0x88);
  EXPECT_EQ(b[667], 0x55);
  EXPECT_EQ(b[40], 0xA5);
  EXPECT_EQ(b[996], 0x0D);
  EXPECT_EQ(b[999], 0x0A);
  EXPECT_EQ(b[1000], 0x04);
  EXPECT_EQ(b[1003], 0x01);
  EXPECT_EQ(b[1008], 0x21);
  EXPECT_EQ(b[1013], 0x22);
  EXPECT_EQ(b[1015], 0x23);
  EXPECT_EQ(b[1041], 0x24);
}

TEST(MgrTalkback, FreshRecordBytes) {
  const VARNO_MGR_TALKBACK talkback;
  const std::vector<u8> bytes = bytes_of(talkback);
  for (size_t i = 24; i < 48; ++i) {
    EXPECT_EQ(bytes[i], (i >= 36 && i < 40) ? 0xFF : 0x00) << "byte " << i;
  }
  EXPECT_EQ(talkback.image_crc, 0xFFFFFFFFu);
  EXPECT_TRUE(talkback.overwrite_obs.empty());
  for (const auto& list : talkback.fault_injection_lists) EXPECT_TRUE(list.empty());
}

// The host hands vector storage to the record; the record frees it.
TEST(MgrTalkback, VectorsOwnTheirStorage) {
  VARNO_MGR_PARAM param;
  param.fw_sizes = {2052, 4096};
  param.cram_fi_locations = {1, 2, 3, 4};
  VARNO_MGR_TALKBACK talkback;
  talkback.overwrite_obs.push_back({288, 0xDEADBEEF, true});
  talkback.fault_injection_lists[VARNO_TALKBACK_FI_EDCRC].push_back({7, 8, 9});
  EXPECT_EQ(talkback.overwrite_obs[0].ob_id, 288u);
  EXPECT_EQ(talkback.fault_injection_lists[2][0][2], 9u);
  VARNO_MGR_PARAM copy = param;
  EXPECT_EQ(copy.cram_fi_locations.size(), 4u);
}
