// The 2D row-prediction engine on blocks whose frames the tests lay out by
// hand: geometry and setup tables, the scan, library copies and exact
// matches, the three predictions, the BBM and the segment list. Expected
// hashes come from a bit-at-a-time model of the CRC; tables and residues
// are derived by hand in the comments.
#include <algorithm>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "cfg.h"
#include "flat_2d_device.h"
#include "varno_util.h"

namespace {

using namespace twod;

using ENGINE = std::unique_ptr<VARNO_QV_2D_ENGINE>;

constexpr auto T0 = VARNO_QV_IP_TYPE{0};
constexpr auto T1 = VARNO_QV_IP_TYPE{1};
constexpr auto T2 = VARNO_QV_IP_TYPE{2};

class Engine2D : public ::testing::Test, public FLAT_DEVICE {
 protected:
  ENGINE cram_engine() { return std::make_unique<VARNO_QV_2D_ENGINE>(cram(), true); }
  ENGINE eram_engine() { return std::make_unique<VARNO_QV_2D_ENGINE>(eram(), false); }
  static std::vector<u32> words(const u8* bytes, u32 count) {
    std::vector<u32> out;
    for (u32 i = 0; i < count; ++i)
      out.push_back(VARNO_UTIL::get_dword_from_address(bytes + 4 * i));
    return out;
  }
};

// ---- Geometry and setup tables -------------------------------------------------------

TEST_F(Engine2D, CrcModelKnownAnswer) {
  EXPECT_EQ(crc_model(0, {'a', 'b', 'c'}), 0xAB7505D4u);
  const BYTES bytes = {'a', 'b', 'c'};
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32_using_88010000_lookup_table(bytes.data(), 0, 3, 0),
            0xAB7505D4u);
}

TEST_F(Engine2D, CramEngineTables) {
  load();
  ENGINE e = cram_engine();
  // No S4 (s4_variant 0), so width factor 1: widths 6, 6, 12, 12.
  EXPECT_EQ(e->m_IpInfo, (std::vector<u32>{0x00006, 0x10006, 0x2000C, 0x3000C}));
  EXPECT_FALSE(e->m_S4Mode);
  EXPECT_EQ(e->m_IpWidthFactor, 1u);
  EXPECT_EQ(e->m_NumRows, 2u);
  EXPECT_EQ(e->m_IpHeight, 4u);
  EXPECT_EQ(e->m_NumBlocks, 4u);
  // ((4 x 4 + 67) >> 6) x 8 = 8 bytes: entries type + 1.
  EXPECT_EQ(e->m_FrameStructSize, 8u);
  BYTES f(8, 0xEE);
  EXPECT_EQ(e->copy_fstruct(f.data()), 8u);
  EXPECT_EQ(f, (BYTES{0x21, 0x43, 0, 0, 0, 0, 0, 0}));
  // B structure: height 4, width in bits, type + 1; word 15 zero.
  const u32 bits[15] = {48, 48, 96, 96, 96, 96, 96, 16, 96, 40, 8, 16, 16, 24, 32};
  std::vector<u32> expected;
  for (u32 k = 0; k < 15; ++k) expected.push_back(4u << 16 | bits[k] << 4 | (k + 1));
  expected.push_back(0);
  BYTES b(64, 0xEE);
  EXPECT_EQ(e->copy_bstruct(b.data()), 64u);
  EXPECT_EQ(words(b.data(), 16), expected);
  EXPECT_EQ(expected[0], 0x40301u);
  // An all-zero BBM of 8 bytes per row.
  BYTES bbm(16, 0xEE);
  EXPECT_EQ(e->copy_BBM(bbm.data()), 16u);
  EXPECT_EQ(bbm, BYTES(16, 0));
  EXPECT_EQ(std::vector<u32>(e->m_ip_row_masks, e->m_ip_row_masks + 4),
            (std::vector<u32>{1, 1, 0, 0}));
}

TEST_F(Engine2D, NineSliceFrameStructure) {
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 1 2 3 4 5 6 7 8");
  load();
  ENGINE e = cram_engine();
  BYTES f(8);
  EXPECT_EQ(e->copy_fstruct(f.data()), 8u);
  EXPECT_EQ(f, (BYTES{0x21, 0x43, 0x65, 0x87, 0x09, 0x00, 0x00, 0x00}));
}

TEST_F(Engine2D, BStructureOfAWidthFactorTwoEngine) {
  line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 20");
  load();
  param().s4_variant = 2;
  ENGINE e = cram_engine();
  BYTES b(64);
  EXPECT_EQ(e->copy_bstruct(b.data()), 64u);
  EXPECT_EQ(VARNO_UTIL::get_dword_from_address(b.data()), (20u << 16) | (96u << 4) | 1u);
  EXPECT_EQ(VARNO_UTIL::get_dword_from_address(b.data() + 60), 0u);
}

// The TK flow checks no slice length but the padding one: a huge length of
// an unused type, doubled and counted in bits, must not wrap into a small
// width word.
TEST_F(Engine2D, BStructureRefusesAWidthThatWouldWrap) {
  line("CRAM DC_IP_LENGTH",
       "arg CRAM DC_IP_LENGTH width=1 48 48 96 96 96 2147483648 96 16 96 40 8 16 16 24 32 0 "
       "20480");
  load();
  param().tk_flow = 1;
  param().s4_variant = 2;
  EXPECT_INTERNAL_ERROR(cram_engine(), "ip_bits <= 0xFFF && m_IpHeight <= 0xFFFF");
}

TEST_F(Engine2D, S4RuleAndWidthFactor) {
  line("device", "device PLACEHOLDER_DEVICE_53");
  load();
  param().s4_variant = 1;
  param().qv_2d_align = 1;
  {
    // s4_mode 1 on device 53: no S4, so widths doubled.
    ENGINE e = cram_engine();
    EXPECT_FALSE(e->m_S4Mode);
    EXPECT_EQ(e->m_IpWidthFactor, 2u);
    EXPECT_EQ(e->get_ip_width(T0), 12u);
    EXPECT_EQ(e->get_lib_width(T0, 12), 16u);
    EXPECT_EQ(e->get_ip_width(QV_IP_TYPE_ERAM), 2560u);
    EXPECT_EQ(e->get_lib_width(QV_IP_TYPE_ERAM, 2560), 2560u);
  }
  param().s4_variant = 3;
  EXPECT_TRUE(cram_engine()->m_S4Mode);
  param().s4_variant = 2;
  EXPECT_FALSE(cram_engine()->m_S4Mode);
  EXPECT_EQ(cram_engine()->m_IpWidthFactor, 2u);
  EXPECT_EQ(eram_engine()->m_IpWidthFactor, 1u);
  param().s4_variant = 0;
  EXPECT_EQ(cram_engine()->m_IpWidthFactor, 1u);
}

TEST_F(Engine2D, S4EngineOnAnOrdinaryDevice) {
  load();
  param().s4_variant = 1;
  ENGINE e = cram_engine();
  EXPECT_TRUE(e->m_S4Mode);
  EXPECT_EQ(e->m_IpWidthFactor, 1u);
  EXPECT_EQ(e->get_ip_width(T0), 8u);
  EXPECT_EQ(e->m_IpInfo, (std::vector<u32>{0x00008, 0x10008, 0x20010, 0x30010}));
  EXPECT_EQ(std::vector<u32>(e->m_ip_row_masks, e->m_ip_row_masks + 4),
            (std::vector<u32>{0xA5, 0xA5, 0x5A5A, 0x5A5A}));
  // 0x5A5A: selectors 2, 2, 1, 1, ... one per byte pair, every 32 bytes.
  EXPECT_EQ(e->get_row_lib_index(T2, 0), 2u);
  EXPECT_EQ(e->get_row_lib_index(T2, 3), 2u);
  EXPECT_EQ(e->get_row_lib_index(T2, 4), 1u);
  EXPECT_EQ(e->get_row_lib_index(T2, 32), 2u);
  EXPECT_EQ(e->get_row_lib_index(QV_IP_TYPE_ERAM, 7), 1u);
  EXPECT_INTERNAL_ERROR(e->get_row_lib_index(VARNO_QV_IP_TYPE{5}, 0),
                        "(ip_type < QV_2D_MAX_IP_LIBS) || (ip_type == QV_IP_TYPE_ERAM)");
  BYTES b(64);
  EXPECT_EQ(e->copy_bstruct(b.data()), 64u);
  EXPECT_EQ(VARNO_UTIL::get_dword_from_address(b.data() + 16), 4u << 16 | 192u << 4 | 5u);

  param().tk_flow = 1;
  ENGINE tk = cram_engine();
  EXPECT_TRUE(tk->m_TkFlow);
  EXPECT_EQ(std::vector<u32>(tk->m_ip_row_masks, tk->m_ip_row_masks + 4),
            (std::vector<u32>{0x180, 0x9, 0x2400, 0x90}));
  param().s4_variant = 0;
  tk = cram_engine();
  EXPECT_EQ(std::vector<u32>(tk->m_ip_row_masks, tk->m_ip_row_masks + 4),
            (std::vector<u32>{0x60, 0x9, 0x900, 0x90}));
}

TEST_F(Engine2D, WidthOperations) {
  load();
  ENGINE e = cram_engine();
  EXPECT_EQ(e->get_lib_width(T0, 6), 6u);  // no alignment
  param().qv_2d_align = 1;
  e = cram_engine();
  EXPECT_EQ(e->get_lib_width(T0, 6), 8u);
  EXPECT_EQ(e->get_lib_width(T0, 1), 4u);
  EXPECT_EQ(e->get_lib_width(T0, 11), 12u);
  EXPECT_EQ(e->get_lib_width(T0, 12), 16u);
  EXPECT_EQ(e->get_lib_width(T0, 24), 24u);
  EXPECT_EQ(e->get_lib_width(QV_IP_TYPE_ERAM, 5), 5u);
  EXPECT_EQ(e->get_row_lib_index(T0, 1), 1u);
  EXPECT_EQ(e->get_row_lib_index(T0, 2), 0u);
  EXPECT_INTERNAL_ERROR(e->get_ip_width(VARNO_QV_IP_TYPE{15}),
                        "(ip_type < QV_IP_TYPE_MAX) || (ip_type == QV_IP_TYPE_ERAM)");
  EXPECT_INTERNAL_ERROR(e->get_lib_width(VARNO_QV_IP_TYPE{17}, 4),
                        "(ip_type < QV_IP_TYPE_MAX) || (ip_type == QV_IP_TYPE_ERAM)");
}

TEST_F(Engine2D, PaddingSliceFollowsTheFirstDataRegister) {
  // DRAS 96 has bit 5 set: after types 0 and 1 (96 bits) a 4-byte type-14
  // slice fills the gap before the second register.
  line("CRAM DRAS", "param CRAM DRAS 96 96");
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 1 2");
  load();
  param().qv_2d_align = 1;
  ENGINE e = cram_engine();
  EXPECT_EQ(e->m_IpInfo, (std::vector<u32>{0x00006, 0x10006, 0xE0004, 0x2000C}));
  EXPECT_EQ(e->m_NumBlocks, 4u);
  BYTES f(8);
  EXPECT_EQ(e->copy_fstruct(f.data()), 8u);
  EXPECT_EQ(f, (BYTES{0x21, 0x3F, 0, 0, 0, 0, 0, 0}));

  param().qv_2d_align = 0;
  EXPECT_EQ(cram_engine()->m_NumBlocks, 3u);
  param().qv_2d_align = 1;
  param().s4_variant = 2;
  EXPECT_EQ(cram_engine()->m_NumBlocks, 3u);
}

TEST_F(Engine2D, PaddingNeverReachedFailsTheScan) {
  line("CRAM DRAS", "param CRAM DRAS 96 96");
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 2");  // 48, then 144 bits
  load();
  param().qv_2d_align = 1;
  ENGINE e = cram_engine();
  EXPECT_EQ(e->m_IpInfo.size(), 2u);
  EXPECT_EQ(e->m_NumBlocks, 3u);
  add_frames(cram(), std::vector<BYTES>(8, BYTES(18, 1)));
  EXPECT_INTERNAL_ERROR(e->run(), "m_FullHashInfo.size() == (m_NumRows * m_NumBlocks)");
  EXPECT_INTERNAL_ERROR(e->write_bbm(), "m_FullHashInfo.size() == (m_NumRows * m_NumBlocks)");
}

TEST_F(Engine2D, ExpansionMapInTheTkFlow) {
  // Key 5 expands to types 1 then 2; key 6 is given twice, the later entry
  // (type 8) wins. Type 4's length is not checked in the TK flow.
  line("CRAM S4_TO_DC_IP_TYPE", "arg CRAM S4_TO_DC_IP_TYPE width=4 6 3 0 1 5 0x21 9 2 6 8 0 1");
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 5 6");
  line("CRAM DC_IP_LENGTH",
       "arg CRAM DC_IP_LENGTH width=1 48 48 96 96 88 96 96 16 96 40 8 16 16 24 32 0 20480");
  load();
  param().tk_flow = 1;
  ENGINE e = cram_engine();
  EXPECT_EQ(e->m_IpInfo, (std::vector<u32>{0x10006, 0x2000C, 0x8000C}));
  EXPECT_EQ(e->m_NumBlocks, 3u);
  BYTES f(8);
  EXPECT_EQ(e->copy_fstruct(f.data()), 8u);
  EXPECT_EQ(f, (BYTES{0x32, 0x09, 0, 0, 0, 0, 0, 0}));
  // Outside the TK flow the length of type 4 is checked...
  param().tk_flow = 0;
  EXPECT_INTERNAL_ERROR(cram_engine(), "m_ip_sizes[i] == s_ip_sizes[i]");
}

TEST_F(Engine2D, ExpansionListsEightTypesAtMost) {
  // Eight types fill the list's 32 bits; a ninth has no place.
  line("CRAM S4_TO_DC_IP_TYPE", "arg CRAM S4_TO_DC_IP_TYPE width=4 5 0x87654321 0 8");
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 5");
  line("CRAM DC_IP_LENGTH",
       "arg CRAM DC_IP_LENGTH width=1 48 48 96 96 88 96 96 16 96 40 8 16 16 24 32 0 20480");
  load();
  param().tk_flow = 1;
  EXPECT_EQ(cram_engine()->m_IpInfo, (std::vector<u32>{0x10006, 0x2000C, 0x3000C, 0x4000B, 0x5000C,
                                                        0x6000C, 0x70002, 0x8000C}));
  line("CRAM S4_TO_DC_IP_TYPE", "arg CRAM S4_TO_DC_IP_TYPE width=4 5 0x87654321 0 9");
  load();
  param().tk_flow = 1;
  EXPECT_INTERNAL_ERROR(cram_engine(), "dc_ip_cnt <= 8");
}

TEST_F(Engine2D, FrameStructureHoldsEverySliceItIsSizedFor) {
  // Four IP_INFO entries size the F structure for 16 slices: two entries
  // expanded into seven types each and two into one fill it; a third
  // entry of seven does not fit.
  line("CRAM S4_TO_DC_IP_TYPE", "arg CRAM S4_TO_DC_IP_TYPE width=4 5 0x0123012 0 7 6 1 0 1");
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 5 5 6 6");
  load();
  BYTES f(8);
  EXPECT_EQ(cram_engine()->copy_fstruct(f.data()), 8u);
  // A nibble per slice, type + 1, the first slice low.
  EXPECT_EQ(f, (BYTES{0x23, 0x41, 0x23, 0x31, 0x12, 0x34, 0x12, 0x22}));
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 5 5 5 6");
  load();
  EXPECT_INTERNAL_ERROR(cram_engine(), "(ip_idx >> 1) < m_FrameStructSize");
}

TEST_F(Engine2D, ExpansionOutsideTheTkFlowCountsIpInfoEntries) {
  line("CRAM S4_TO_DC_IP_TYPE", "arg CRAM S4_TO_DC_IP_TYPE width=4 5 0x21 0 2 6 3 0 1");
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 5 6");
  load();
  ENGINE e = cram_engine();
  // Three slices, but a row counts two.
  EXPECT_EQ(e->m_IpInfo.size(), 3u);
  EXPECT_EQ(e->m_NumBlocks, 2u);
  add_frames(cram(), std::vector<BYTES>(8, BYTES(30, 1)));
  EXPECT_INTERNAL_ERROR(e->run(), "m_FullHashInfo.size() == (m_NumRows * m_NumBlocks)");

  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 5 7");  // 7 is not in the map
  load();
  EXPECT_INTERNAL_ERROR(cram_engine(), "dc_ip_cnt > 0");
}

TEST_F(Engine2D, EramGeometry) {
  line("ERAM BROW_SIZE", "arg ERAM BROW_SIZE width=1 4");
  line("ERAM ERAM_COL_COUNT", "param ERAM ERAM_COL_COUNT 12");
  load();
  ENGINE e = eram_engine();
  EXPECT_EQ(e->m_NumRows, 12u);
  EXPECT_EQ(e->m_EramBbmSize, 8u);
  EXPECT_EQ(e->m_FrameStructSize, 0u);
  EXPECT_EQ(e->m_IpInfo, (std::vector<u32>{0x100A00}));
  BYTES out(16, 0xEE);
  EXPECT_EQ(e->copy_fstruct(out.data()), 0u);
  EXPECT_EQ(out, BYTES(16, 0xEE));
  EXPECT_EQ(e->copy_BBM(out.data()), 8u);
  BYTES b(64);
  EXPECT_EQ(e->copy_bstruct(b.data()), 64u);
}

TEST_F(Engine2D, ConstructionFailures) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"CRAM BROW_SIZE", "", "arg_size > 0"},
      {"CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 0", "num_rows > 0"},
      {"CRAM BROW_FRAME_SIZE", "", "arg_size > 0"},
      {"CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 0", "frames_per_row > 0"},
      {"CRAM DC_IP_LENGTH",
       "arg CRAM DC_IP_LENGTH width=1 48 48 96 96 96 96 96 16 96 40 8 16 16 24 32 0",
       "arg_size == QV_IP_TYPE_TOTAL_CNT"},
      {"CRAM DC_S4_IP_LENGTH", "", "arg_size == QV_IP_TYPE_TOTAL_CNT"},
      {"CRAM DC_IP_LENGTH",
       "arg CRAM DC_IP_LENGTH width=1 48 48 96 96 88 96 96 16 96 40 8 16 16 24 32 0 20480",
       "m_ip_sizes[i] == s_ip_sizes[i]"},
      {"CRAM DC_S4_IP_LENGTH",
       "arg CRAM DC_S4_IP_LENGTH width=1 64 64 128 128 192 128 192 64 128 64 64 64 64 64 72 0 "
       "20480",
       "m_ip_s4_sizes[i] == s_ip_s4_sizes[i]"},
      {"CRAM IP_INFO", "", "arg_width > 0"},
      {"CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 17", "ip_type < QV_IP_TYPE_TOTAL_CNT"},
  };
  for (const auto& [key, text, error] : cases) {
    FLAT_DEVICE d;
    d.line(key, text);
    d.load();
    SCOPED_TRACE(key + ": " + text);
    EXPECT_INTERNAL_ERROR(VARNO_QV_2D_ENGINE(d.cram(), true), error);
  }
  const std::vector<std::tuple<std::string, std::string, std::string>> eram_cases = {
      {"ERAM ERAM_COLS_PER_BLOCK", "param ERAM ERAM_COLS_PER_BLOCK 0", "eram_bit_per_col > 0"},
      {"ERAM ERAM_COL_COUNT", "param ERAM ERAM_COL_COUNT 3", "eram_cols > 0"},
      {"ERAM DC_IP_LENGTH",
       "arg ERAM DC_IP_LENGTH width=1 48 48 96 96 96 96 96 16 96 40 8 16 16 24 32 0 20472",
       "m_ip_sizes[i] == s_ip_sizes[i]"},
      {"ERAM BROW_SIZE", "arg ERAM BROW_SIZE width=1 70000", "m_NumRows <= 0x10000"},
  };
  for (const auto& [key, text, error] : eram_cases) {
    FLAT_DEVICE d;
    d.line(key, text);
    d.load();
    SCOPED_TRACE(key + ": " + text);
    EXPECT_INTERNAL_ERROR(VARNO_QV_2D_ENGINE(d.eram(), false), error);
  }
  // An ERAM engine does not check the CRAM lengths, nor a CRAM engine the
  // ERAM length.
  FLAT_DEVICE d;
  d.line("ERAM DC_IP_LENGTH",
         "arg ERAM DC_IP_LENGTH width=1 48 48 96 96 88 96 96 16 96 40 8 16 16 24 32 0 20480");
  d.line("CRAM DC_IP_LENGTH",
         "arg CRAM DC_IP_LENGTH width=1 48 48 96 96 96 96 96 16 96 40 8 16 16 24 32 0 20472");
  d.load();
  EXPECT_NO_THROW(VARNO_QV_2D_ENGINE(d.eram(), false));
  EXPECT_NO_THROW(VARNO_QV_2D_ENGINE(d.cram(), true));
}

TEST_F(Engine2D, TablesWithoutABlock) {
  VARNO_QV_2D_ENGINE lib(nullptr, true);
  EXPECT_EQ(lib.m_IpHeight, 0u);
  EXPECT_EQ(lib.m_NumRows, 0u);
  u8 out[64] = {};
  EXPECT_EQ(lib.copy_bstruct(out), 0u);
  EXPECT_EQ(lib.copy_fstruct(out), 0u);
  EXPECT_EQ(lib.copy_BBM(out), 0u);
  EXPECT_INTERNAL_ERROR(lib.write_bbm(), "tmp != NULL");
  lib.run();  // nothing to scan
  EXPECT_TRUE(lib.m_FullHashInfo.empty());
  EXPECT_EQ(lib.run_row_target(T0, true), 0u);
  lib.unregister_from_block();
}

// ---- Scan -----------------------------------------------------------------------------

// Six rows of two frames with slices of types 0 (6 bytes), 2 (12) and 8
// (12).
class Scan2D : public Engine2D {
 protected:
  void SetUp() override {
    line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 2 8");
    line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 6");
    line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 2");
    load();
    for (u32 r = 0; r < 6; ++r) {
      for (u32 j = 0; j < 2; ++j) {
        BYTES f(30, 0);
        // Type 0: A in rows 0, 1, 3, 4; B in row 2; C in row 5.
        const u8 lead = r == 2 ? 0x20 : r == 5 ? 0x30 : 0x10;
        f[0] = static_cast<u8>(lead + j);
        for (u32 k = 1; k < 6; ++k) f[k] = static_cast<u8>(k);
        // Type 2: zero in rows 2 and 5, different in every other row.
        if (r != 2 && r != 5) {
          f[6] = static_cast<u8>(r + 1);
          f[7] = static_cast<u8>(j);
        }
        // Type 8: non-zero in row 0 only.
        if (r == 0 && j == 0) f[18] = 0x77;
        m_frames.push_back(f);
      }
    }
    add_frames(cram(), m_frames);
  }
  BYTES row_slice(u32 r, u32 offset, u32 width) const {
    return concat(
        {slice(m_frames[2 * r], offset, width), slice(m_frames[2 * r + 1], offset, width)});
  }
  std::vector<BYTES> m_frames;
};

TEST_F(Scan2D, RecordsHashesZeroSlicesAndCounts) {
  ENGINE e = cram_engine();
  DEBUG_LINES debug;
  e->run();
  ASSERT_EQ(e->m_FullHashInfo.size(), 18u);
  u32 crc8 = 0;
  for (u32 r = 0; r < 6; ++r) {
    const u64* rec4 = &e->m_FullHashInfo[3 * r];
    EXPECT_EQ(rec4[0], rec(crc_model(0, row_slice(r, 0, 6)), 0, 0)) << r;
    if (r == 2 || r == 5) {
      EXPECT_EQ(rec4[1], rec(0, 2, 1)) << r;
    } else {
      // A fresh CRC every row, also after an all-zero row.
      EXPECT_EQ(rec4[1], rec(crc_model(0, row_slice(r, 6, 12)), 2, 0)) << r;
    }
    // Type 8 keeps its CRC and its zero flag from row to row: non-zero in
    // row 0, so never coded zero afterwards.
    crc8 = crc_model(crc8, row_slice(r, 18, 12));
    EXPECT_EQ(rec4[2], rec(crc8, 8, 0)) << r;
  }
  const u32 a = crc_model(0, row_slice(0, 0, 6));
  const u32 b = crc_model(0, row_slice(2, 0, 6));
  const u32 c = crc_model(0, row_slice(5, 0, 6));
  EXPECT_EQ(e->m_HashCounts[0], (std::map<u32, u32>{{a, 4}, {b, 1}, {c, 1}}));
  EXPECT_EQ(e->m_HashCounts[2].size(), 4u);
  EXPECT_TRUE(e->m_HashCounts[8].empty());
  EXPECT_TRUE(debug.has("Running 2D engine on sector x:0 y:0"));
  EXPECT_TRUE(debug.has("\t All zero ip found, row:5 ip_index:1"));
  EXPECT_FALSE(debug.has("\t All zero ip found, row:1 ip_index:2"));

  // Scanning rebuilt frames starts afresh.
  const std::vector<u64> first = e->m_FullHashInfo;
  e->run();
  EXPECT_EQ(e->m_FullHashInfo, first);
  EXPECT_EQ(e->m_HashCounts[0][a], 4u);
}

TEST_F(Scan2D, WrongFrameCountRecordsNothing) {
  cram()->clear_frames();
  add_frames(cram(), std::vector<BYTES>(11, BYTES(30, 1)));
  ENGINE e = cram_engine();
  e->run();
  EXPECT_TRUE(e->m_FullHashInfo.empty());
  EXPECT_TRUE(e->m_HashCounts[0].empty());
  // The later steps need the records.
  u8 lib[64] = {};
  EXPECT_INTERNAL_ERROR(e->run_target(T0, lib, 64, 0), "ip_idx < m_FullHashInfo.size()");
  EXPECT_INTERNAL_ERROR(e->run_row_target(T0, true), "ip_idx < m_FullHashInfo.size()");
  EXPECT_INTERNAL_ERROR(e->write_bbm(), "m_FullHashInfo.size() == (m_NumRows * m_NumBlocks)");
}

TEST_F(Scan2D, SlicesBeyondTheFrameAreRefused) {
  // The three slices need 30 bytes of every frame.
  cram()->clear_frames();
  add_frames(cram(), std::vector<BYTES>(12, BYTES(29, 1)));
  ENGINE e = cram_engine();
  EXPECT_INTERNAL_ERROR(e->run(), "ip_area <= frame_size");
}

TEST_F(Engine2D, SliceWithoutBytesIsZero) {
  // TK flow: type 9 has no bytes there; the expansion map gives the slices.
  line("CRAM DC_IP_LENGTH",
       "arg CRAM DC_IP_LENGTH width=1 48 48 96 96 96 96 96 16 96 0 8 16 16 24 32 0 20480");
  line("CRAM S4_TO_DC_IP_TYPE", "arg CRAM S4_TO_DC_IP_TYPE width=4 0 0 0 1 9 9 0 1");
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 9");
  load();
  param().tk_flow = 1;
  add_frames(cram(), std::vector<BYTES>(8, BYTES(6, 3)));
  ENGINE e = cram_engine();
  EXPECT_EQ(e->m_IpInfo, (std::vector<u32>{0x00006, 0x90000}));
  e->run();
  ASSERT_EQ(e->m_FullHashInfo.size(), 4u);
  EXPECT_EQ(e->m_FullHashInfo[1], rec(0, 9, 1));
  EXPECT_EQ(e->m_FullHashInfo[3], rec(0, 9, 1));
  EXPECT_EQ(code_of(e->m_FullHashInfo[2]), 0u);
}

TEST_F(Engine2D, FrameStructureTakesCramTypesOnly) {
  // Type 15 + 1 does not fit an F-structure entry.
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 15");
  load();
  EXPECT_INTERNAL_ERROR(cram_engine(), "ip_type < QV_IP_TYPE_MAX");
}

// ---- Hashes and libraries ----------------------------------------------------------------

TEST_F(Engine2D, TopHashTakesTheSmallestOfEqualCounts) {
  VARNO_QV_2D_ENGINE source(nullptr, true);
  source.m_HashCounts[0] = {{0x30, 2}, {0x10, 3}, {0x20, 3}};
  source.m_HashCounts[5] = {{0x1, 9}};
  source.m_HashCounts[16] = {{0x7, 1}};
  VARNO_QV_2D_ENGINE lib(nullptr, true);
  lib.merge_hashes(source);
  lib.merge_hashes(source);
  EXPECT_EQ(lib.m_HashCounts[0], (std::map<u32, u32>{{0x10, 6}, {0x20, 6}, {0x30, 4}}));
  EXPECT_TRUE(lib.m_HashCounts[5].empty());  // not a library type

  DEBUG_LINES debug;
  unsigned hash = 0xDEAD;
  EXPECT_TRUE(lib.find_and_clear_top_hash(T0, hash));
  EXPECT_EQ(hash, 0x10u);
  EXPECT_TRUE(debug.has("\tFound 6 lib instances"));
  EXPECT_TRUE(lib.find_and_clear_top_hash(T0, hash));
  EXPECT_EQ(hash, 0x20u);
  EXPECT_TRUE(lib.find_and_clear_top_hash(T0, hash));
  EXPECT_EQ(hash, 0x30u);
  EXPECT_FALSE(lib.find_and_clear_top_hash(T0, hash));
  EXPECT_EQ(hash, 0x30u);
  EXPECT_EQ(lib.m_HashCounts[0].size(), 3u);  // cleared entries stay
  EXPECT_FALSE(lib.find_and_clear_top_hash(T1, hash));
  EXPECT_TRUE(lib.find_and_clear_top_hash(QV_IP_TYPE_ERAM, hash));
  EXPECT_EQ(hash, 0x7u);
  EXPECT_INTERNAL_ERROR(lib.find_and_clear_top_hash(VARNO_QV_IP_TYPE{17}, hash),
                        "ip_type < QV_IP_TYPE_TOTAL_CNT");
}

TEST_F(Engine2D, LibrarySizes) {
  load();
  param().qv_2d_align = 1;
  ENGINE e = cram_engine();                              // 4 frames per row, width factor 1
  EXPECT_EQ(e->get_lib_size(T0), 32u);                   // 4 x 8
  EXPECT_EQ(e->get_lib_size(T2), 64u);                   // 4 x 16
  EXPECT_EQ(e->get_lib_size(VARNO_QV_IP_TYPE{9}), 32u);  // 4 x 8 (5 bytes)
  EXPECT_EQ(e->get_lib_size(QV_IP_TYPE_ERAM), 2560u);
  param().qv_2d_align = 0;
  e = cram_engine();
  EXPECT_EQ(e->get_lib_size(T0), 24u);                    // 4 x 6
  EXPECT_EQ(e->get_lib_size(VARNO_QV_IP_TYPE{9}), 24u);   // 20, rounded up
  EXPECT_EQ(e->get_lib_size(VARNO_QV_IP_TYPE{13}), 16u);  // 12, rounded up
  param().s4_variant = 3;
  e = cram_engine();
  EXPECT_EQ(e->get_lib_size(VARNO_QV_IP_TYPE{4}), 96u);  // 4 x 24
  EXPECT_INTERNAL_ERROR(e->get_lib_size(VARNO_QV_IP_TYPE{15}),
                        "(ip_type < QV_IP_TYPE_MAX) || (ip_type == QV_IP_TYPE_ERAM)");
}

// Three rows of two frames, slices of types 0 and 1 (6 bytes each); type 0
// holds A in rows 0 and 2 and B in row 1.
class Libs2D : public Engine2D {
 protected:
  void SetUp() override {
    line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 1");
    line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 3");
    line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 2");
    load();
    param().qv_2d_align = 1;
    for (u32 r = 0; r < 3; ++r) {
      for (u32 j = 0; j < 2; ++j) {
        BYTES f = {static_cast<u8>(0xA0 + j), 2, 3, 4, 5, static_cast<u8>(r == 1 ? 0x66 : 6),
                   static_cast<u8>(r + 1),    0, 0, 0, 0, 9};
        m_frames.push_back(f);
      }
    }
    add_frames(cram(), m_frames);
    m_engine = cram_engine();
    m_engine->run();
    m_hash_a = crc_model(0, concat({slice(m_frames[0], 0, 6), slice(m_frames[1], 0, 6)}));
  }
  ENGINE m_engine;
  std::vector<BYTES> m_frames;
  u32 m_hash_a = 0;
};

TEST_F(Libs2D, CopyLeavesThePaddingAlone) {
  BYTES lib(16, 0xEE);
  EXPECT_TRUE(m_engine->find_hash_and_copy_lib(m_hash_a, T0, lib.data(), 16));
  EXPECT_EQ(lib, (BYTES{0xA0, 2, 3, 4, 5, 6, 0xEE, 0xEE, 0xA1, 2, 3, 4, 5, 6, 0xEE, 0xEE}));
  BYTES untouched(16, 0xEE);
  EXPECT_FALSE(m_engine->find_hash_and_copy_lib(m_hash_a ^ 1, T0, untouched.data(), 16));
  EXPECT_FALSE(m_engine->find_hash_and_copy_lib(m_hash_a, T1, untouched.data(), 16));
  EXPECT_EQ(untouched, BYTES(16, 0xEE));
  // The library must fit in the room given.
  EXPECT_INTERNAL_ERROR(m_engine->find_hash_and_copy_lib(m_hash_a, T0, untouched.data(), 15),
                        "(lib_ip_width * m_IpHeight) <= lib_size");
  EXPECT_EQ(untouched, BYTES(16, 0xEE));
}

TEST_F(Libs2D, ExactMatchesTakeTheSlotCode) {
  BYTES lib(16, 0xEE);
  ASSERT_TRUE(m_engine->find_hash_and_copy_lib(m_hash_a, T0, lib.data(), 16));
  // A library differing in one byte matches nothing.
  BYTES bad = lib;
  bad[9] ^= 1;
  m_engine->update_with_libs(T0, m_hash_a, 0, bad.data());
  for (u32 r = 0; r < 3; ++r) EXPECT_EQ(code_of(m_engine->m_FullHashInfo[2 * r]), 0u);

  DEBUG_LINES debug;
  m_engine->update_with_libs(T0, m_hash_a, 1, lib.data());
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[0]), 3u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[2]), 0u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[4]), 3u);
  EXPECT_TRUE(debug.has("\t Found 2 libs in sector 0 0"));
  // Coded slices are no longer a source of libraries.
  EXPECT_FALSE(m_engine->find_hash_and_copy_lib(m_hash_a, T0, lib.data(), 16));
  EXPECT_INTERNAL_ERROR(m_engine->update_with_libs(T0, m_hash_a, 2, lib.data()), "lib_index < 2");

  EXPECT_TRUE(m_engine->validate_lib_with_data(T0, lib.data(), 0, 6, 0));
  EXPECT_FALSE(m_engine->validate_lib_with_data(T0, lib.data(), 0, 6, 1));
  EXPECT_TRUE(m_engine->validate_lib_with_data(T0, lib.data(), 0, 0, 1));  // nothing to compare
}

// ---- Targeted prediction ------------------------------------------------------------------

// One slice of type t over rows of ten frames, width factor 2, aligned.
class Target2D : public Engine2D {
 protected:
  void build(u32 type, const std::vector<u32>& differing_per_row) {
    line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 " + std::to_string(type));
    line("CRAM BROW_SIZE",
         "arg CRAM BROW_SIZE width=1 " + std::to_string(differing_per_row.size()));
    line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 10");
    load();
    param().s4_variant = 2;
    param().qv_2d_align = 1;
    m_type = static_cast<VARNO_QV_IP_TYPE>(type);
    m_engine = cram_engine();
    m_width = m_engine->get_ip_width(m_type);
    m_lib_width = m_engine->get_lib_width(m_type, m_width);
    m_lib.assign(size_t{m_lib_width} * 10, 0xCC);
    for (u32 i = 0; i < m_lib.size(); ++i) m_lib[i] = static_cast<u8>(i * 7 + 1) | 1;
    // Row-order byte n (frame n / width) differs from the library for the
    // first count bytes of the row.
    for (u32 count : differing_per_row) {
      for (u32 j = 0; j < 10; ++j) {
        BYTES f(m_width);
        for (u32 k = 0; k < m_width; ++k) {
          f[k] = m_lib[j * m_lib_width + k] ^ (j * m_width + k < count ? 0x80 : 0);
        }
        m_frames.push_back(f);
      }
    }
    add_frames(cram(), m_frames);
    m_engine->run();
  }
  VARNO_QV_IP_TYPE m_type = T0;
  u32 m_width = 0;
  u32 m_lib_width = 0;
  BYTES m_lib;
  ENGINE m_engine;
  std::vector<BYTES> m_frames;
};

TEST_F(Target2D, TypeTwoAllowsFewerThanTwoHundredDifferences) {
  build(2, {199, 200});
  ASSERT_EQ(m_width, 24u);
  ASSERT_EQ(m_lib_width, 24u);
  DEBUG_LINES debug;
  EXPECT_EQ(m_engine->run_target(m_type, m_lib.data(), 240, 0), 1u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[0]), 10u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[1]), 0u);
  EXPECT_EQ(m_engine->m_TargetIps, (std::multimap<u32, u32>{{0, 24}}));
  EXPECT_TRUE(debug.has("Found target IP at row: 0 IP index: 0, num mismatches: 199\n"));
  EXPECT_TRUE(debug.has("Found 1 target IP"));
  // Row 0 now holds its residue: 0x80 where it differed, else 0.
  for (u32 j = 0; j < 10; ++j) {
    const BYTES f = frame(cram(), j);
    for (u32 k = 0; k < 24; ++k) EXPECT_EQ(f[k], j * 24 + k < 199 ? 0x80 : 0) << j << " " << k;
    EXPECT_EQ(frame(cram(), 10 + j), m_frames[10 + j]);
  }
}

TEST_F(Target2D, TypeTwoLimitFollowsTheConfiguration) {
  cfg_scoped_value limit("varno_target_mismatch_limit", "100");  // 250 for type 2
  build(2, {199, 200});
  EXPECT_EQ(m_engine->run_target(m_type, m_lib.data(), 240, 1), 2u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[1]), 11u);
}

TEST_F(Target2D, TypeZeroAllowsFewerThanEightyDifferences) {
  build(0, {79, 80});
  ASSERT_EQ(m_width, 12u);
  ASSERT_EQ(m_lib_width, 16u);  // chunks of 16, the last 4 bytes padding
  EXPECT_EQ(m_engine->run_target(m_type, m_lib.data(), 160, 0), 1u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[0]), 10u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[1]), 0u);
  EXPECT_EQ(frame(cram(), 9), BYTES(12, 0));
  EXPECT_EQ(frame(cram(), 6)[6], 0x80);  // row-order byte 78
  EXPECT_EQ(frame(cram(), 6)[7], 0);     // row-order byte 79 matched
  EXPECT_INTERNAL_ERROR(m_engine->run_target(m_type, m_lib.data(), 100, 0),
                        "lib_offset + ip_width <= lib_size");
  EXPECT_INTERNAL_ERROR(m_engine->run_target(m_type, m_lib.data(), 160, 2), "lib_index < 2");
}

TEST_F(Target2D, CodedSlicesAreNeverTargeted) {
  build(0, {1, 2});
  set_code(m_engine->m_FullHashInfo[1], 2);
  EXPECT_EQ(m_engine->run_target(m_type, m_lib.data(), 160, 0), 1u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[1]), 2u);
  for (u32 j = 10; j < 20; ++j) EXPECT_EQ(frame(cram(), j), m_frames[j]);
  // Nor row-predicted.
  EXPECT_EQ(m_engine->run_row_target(m_type, true), 0u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[1]), 2u);
}

TEST_F(Target2D, UpdateTargetFramesNeedsTheWholeLibrary) {
  build(0, {1});
  m_engine->m_TargetIps.emplace(0, 12);
  EXPECT_INTERNAL_ERROR(m_engine->update_target_frames(m_type, m_lib.data(), 150, 0, 1),
                        "lib_size == (lib_ip_width * m_IpHeight)");
  // A slice past the core segment cannot be rewritten.
  m_engine->m_TargetIps.clear();
  m_engine->m_TargetIps.emplace(0, 4u << 16 | 12);
  EXPECT_INTERNAL_ERROR(m_engine->update_target_frames(m_type, m_lib.data(), 160, 0, 1),
                        "m_blk->get_frame_single_byte(actual_frame, actual_offset , frame_val)");
}

// ---- Row-history prediction --------------------------------------------------------------

TEST_F(Engine2D, CramRowHistorySkipsTheReferenceFrames) {
  // One row of 64 frames, one type-0 slice: bytes 0 and 1 form group 1.
  // Byte 0 repeats every 4 frames, byte 1 is the frame number.
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0");
  line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 1");
  line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 64");
  load();
  std::vector<BYTES> frames;
  for (u32 j = 0; j < 64; ++j)
    frames.push_back({static_cast<u8>(j % 4 + 1), static_cast<u8>(j), 0x11, 0x22, 0x33, 0x44});
  add_frames(cram(), frames);
  ENGINE e = cram_engine();
  e->run();
  // 40 predicted frames (4-39, 60-63): 40 matches of 48 bits, no zeros, so
  // group 1 scores (40 + 48) x 100 / 48 = 183.
  EXPECT_EQ(e->run_row_target(T0, true), 1u);
  EXPECT_EQ(code_of(e->m_FullHashInfo[0]), 8u);
  EXPECT_EQ(e->m_RowTargetIps, (std::multimap<u32, u32>{{0, 1u << 12 | 6}}));
  for (u32 j = 0; j < 64; ++j) {
    const bool predicted = (j >= 4 && j < 40) || j > 59;
    const BYTES expected =
        predicted ? BYTES{0, static_cast<u8>(j ^ (j - 4)), 0x11, 0x22, 0x33, 0x44} : frames[j];
    EXPECT_EQ(frame(cram(), j), expected) << j;
  }
  EXPECT_EQ(frame(cram(), 60)[1], 60 ^ 56);
}

TEST_F(Engine2D, EramRowHistoryUsesTheFramesAsRead) {
  line("ERAM BROW_SIZE", "arg ERAM BROW_SIZE width=1 5");
  load();
  std::vector<BYTES> frames(5, BYTES(2560));
  for (u32 k = 0; k < 2560; ++k) {
    frames[0][k] = 0x11;
    frames[1][k] = static_cast<u8>(0x22 + k % 7);
  }
  frames[2] = frames[1];
  std::fill(frames[2].begin(), frames[2].begin() + 100, 0x33);
  frames[3] = frames[2];
  std::fill(frames[3].begin() + 100, frames[3].begin() + 200, 0x44);
  frames[4] = frames[3];
  std::fill(frames[4].begin() + 200, frames[4].begin() + 300, 0x55);
  add_frames(eram(), frames);
  ENGINE e = eram_engine();
  e->run();
  ASSERT_EQ(e->m_FullHashInfo.size(), 5u);
  // Frame 1 never matches frame 0; frames 2 to 4 match their predecessor in
  // 2460 of 2560 bytes.
  EXPECT_EQ(e->run_row_target(QV_IP_TYPE_ERAM, false), 3u);
  const std::vector<u32> codes = {0, 0, 8, 8, 8};
  for (u32 r = 0; r < 5; ++r) EXPECT_EQ(code_of(e->m_FullHashInfo[r]), codes[r]) << r;
  EXPECT_EQ(frame(eram(), 0), frames[0]);
  EXPECT_EQ(frame(eram(), 1), frames[1]);
  for (u32 f = 2; f < 5; ++f) {
    BYTES expected(2560);
    for (u32 k = 0; k < 2560; ++k) expected[k] = frames[f][k] ^ frames[f - 1][k];
    EXPECT_EQ(frame(eram(), f), expected) << f;
  }
  // Frame 3's residue is against frame 2 before frame 2 was rewritten.
  EXPECT_EQ(frame(eram(), 3)[150], 0x44 ^ frames[1][150]);
  EXPECT_EQ(frame(eram(), 3)[50], 0);
}

TEST_F(Engine2D, ValidateRowPrediction) {
  load();
  ENGINE e = cram_engine();
  unsigned zeros[2] = {0, 10};
  unsigned matches[2] = {0, 12};
  unsigned group = 0;
  EXPECT_TRUE(e->validate_row_prediction(96, zeros, matches, group));  // 100 and 120
  EXPECT_EQ(group, 2u);
  matches[1] = 11;  // 110 is not above 110
  EXPECT_FALSE(e->validate_row_prediction(96, zeros, matches, group));
  unsigned z2[2] = {4, 0};
  unsigned m2[2] = {5, 0};
  EXPECT_TRUE(e->validate_row_prediction(96, z2, m2, group));  // 125 and 100
  EXPECT_EQ(group, 1u);
  unsigned none[2] = {0, 0};
  EXPECT_FALSE(e->validate_row_prediction(96, none, none, group));  // a tie: group 2
  EXPECT_EQ(group, 2u);
  {
    cfg_scoped_value threshold("varno_row_prediction_zero_percentage", "99");
    EXPECT_TRUE(e->validate_row_prediction(96, none, none, group));
  }
  // A slice without bytes is never predicted.
  EXPECT_FALSE(e->validate_row_prediction(0, none, none, group));
}

// ---- Combined prediction -----------------------------------------------------------------

TEST_F(Engine2D, CombinedPredictionKeepsTheEarlierOfEqualCandidates) {
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0");
  line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 1");
  line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 10");
  load();
  param().s4_variant = 2;
  param().qv_2d_align = 1;
  // Row-order byte n of the row (frame n / 12, byte n % 12): zero below 50.
  // Slot 0 equals the row below 60, slot 1 from 10 to 69: 60 zero
  // residue bytes each, against 50 raw zero bytes.
  BYTES libs(320, 0x03);
  std::vector<BYTES> frames(10, BYTES(12));
  for (u32 n = 0; n < 120; ++n) {
    const u8 v = n < 50 ? 0 : 0x5A;
    frames[n / 12][n % 12] = v;
    libs[(n / 12) * 16 + n % 12] = n < 60 ? v : 0x01;
    libs[160 + (n / 12) * 16 + n % 12] = (n >= 10 && n < 70) ? v : 0x02;
  }
  add_frames(cram(), frames);
  ENGINE e = cram_engine();
  e->run();
  EXPECT_EQ(e->run_combined_target(T0, libs.data(), 160), 1u);
  EXPECT_EQ(code_of(e->m_FullHashInfo[0]), 10u);
  for (u32 n = 0; n < 120; ++n) {
    EXPECT_EQ(frame(cram(), n / 12)[n % 12], frames[n / 12][n % 12] ^ libs[(n / 12) * 16 + n % 12]);
  }
  // A second pass finds the slice coded.
  EXPECT_EQ(e->run_combined_target(T0, libs.data(), 160), 0u);
  EXPECT_INTERNAL_ERROR(e->run_combined_target(T0, libs.data(), 150),
                        "(lib_ip_width * m_IpHeight) <= lib_size");
  EXPECT_EQ(e->run_combined_target(QV_IP_TYPE_ERAM, libs.data(), 160), 0u);
}

TEST_F(Engine2D, CombinedPredictionWithoutABetterCandidate) {
  line("CRAM IP_INFO", "arg CRAM IP_INFO width=1 0");
  line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 1");
  line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 2");
  load();
  add_frames(cram(), {{1, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 2}});
  ENGINE e = cram_engine();
  e->run();
  // Zero libraries never beat the raw bytes.
  BYTES libs(24, 0);
  EXPECT_EQ(e->run_combined_target(T0, libs.data(), 12), 0u);
  EXPECT_EQ(code_of(e->m_FullHashInfo[0]), 0u);
  cram()->clear_frames();
  add_frames(cram(), {{1, 0, 0, 0, 0, 0}});
  EXPECT_INTERNAL_ERROR(e->run_combined_target(T0, libs.data(), 12),
                        "num_frames % m_IpHeight == 0");
}

// ---- BBM and segment list -------------------------------------------------------------------

TEST_F(Engine2D, BbmAndSegmentsOfACramEngine) {
  // Widths 12, 12, 24, 24 (width factor 2); three rows of one frame.
  line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 3");
  line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 1");
  load();
  param().s4_variant = 2;
  std::vector<BYTES> frames;
  for (u32 r = 0; r < 3; ++r) {
    BYTES f(72);
    std::iota(f.begin(), f.end(), static_cast<u8>(1 + 80 * r));
    frames.push_back(f);
  }
  add_frames(cram(), frames);
  VARNO_QV_2D_ENGINE* e = new VARNO_QV_2D_ENGINE(cram(), true);
  cram()->set_2d_engine(e);  // the block owns it
  e->run();
  const u32 codes[3][4] = {{0, 1, 0, 10}, {2, 2, 2, 2}, {0, 0, 0, 0}};
  for (u32 r = 0; r < 3; ++r)
    for (u32 s = 0; s < 4; ++s) set_code(e->m_FullHashInfo[4 * r + s], codes[r][s]);
  for (int pass = 0; pass < 2; ++pass) {
    // Writing again gives the same tables, not twice the list.
    e->write_bbm();
    BYTES bbm(24, 0xEE);
    EXPECT_EQ(e->copy_BBM(bbm.data()), 24u);
    EXPECT_EQ(bbm, (BYTES{0x10, 0xA0, 0, 0, 0, 0, 0, 0,  //
                          0x22, 0x22, 0, 0, 0, 0, 0, 0,  //
                          0,    0,    0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(e->m_2DSegments, (std::vector<u32>{0x0000FFFF, 0 << 16 | 12, 24u << 16 | 72,
                                                 0x0001FFFF, 0x0002FFFF, 0 << 16 | 72}));
  }
  e->update_2d_segments();
  // The block sends what the list keeps of each frame.
  BYTES out(72, 0xEE);
  EXPECT_EQ(cram()->get_frame_2d_segments(0, out.data()), 60u);
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 60),
            concat({slice(frames[0], 0, 12), slice(frames[0], 24, 48)}));
  EXPECT_EQ(cram()->get_frame_2d_segments(1, out.data()), 0u);
  EXPECT_EQ(cram()->get_frame_2d_segments(2, out.data()), 72u);
  EXPECT_EQ(out, frames[2]);
  // Only the engine's own rows are listed.
  ASSERT_TRUE(cram()->insert_frame_at_end(new VARNO_FRAME(), 0));
  EXPECT_INTERNAL_ERROR(cram()->get_frame_2d_segments(3, out.data()), "it != two_d_segs.end()");
}

TEST_F(Engine2D, SkippedSlicesSplitTheRuns) {
  line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 1");
  line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 1");
  load();
  add_frames(cram(), {BYTES(36, 5)});
  ENGINE e = cram_engine();  // widths 6, 6, 12, 12
  e->run();
  const u32 codes[4] = {1, 8, 7, 11};
  for (u32 s = 0; s < 4; ++s) set_code(e->m_FullHashInfo[s], codes[s]);
  e->write_bbm();
  EXPECT_EQ(e->m_2DSegments, (std::vector<u32>{0xFFFF, 6u << 16 | 12, 24u << 16 | 36}));
  BYTES bbm(8);
  EXPECT_EQ(e->copy_BBM(bbm.data()), 8u);
  EXPECT_EQ(bbm, (BYTES{0x81, 0xB7, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Engine2D, BbmOfAnEramEngine) {
  line("ERAM BROW_SIZE", "arg ERAM BROW_SIZE width=1 12");
  load();
  std::vector<BYTES> frames;
  for (u32 r = 0; r < 12; ++r) frames.push_back(BYTES(2560, static_cast<u8>(r + 1)));
  add_frames(eram(), frames);
  ENGINE e = eram_engine();
  e->run();
  ASSERT_EQ(e->m_FullHashInfo.size(), 12u);
  set_code(e->m_FullHashInfo[0], 10);
  set_code(e->m_FullHashInfo[1], 8);
  for (u32 r = 2; r < 12; ++r) set_code(e->m_FullHashInfo[r], 2);
  e->write_bbm();
  BYTES bbm(8, 0xEE);
  EXPECT_EQ(e->copy_BBM(bbm.data()), 8u);
  EXPECT_EQ(bbm, (BYTES{0x8A, 0x22, 0x22, 0x22, 0x22, 0x22, 0, 0}));
  std::vector<u32> segments = {0x0000FFFF, 2560, 0x0001FFFF, 2560};
  for (u32 r = 2; r < 12; ++r) segments.push_back(r << 16 | 0xFFFF);
  EXPECT_EQ(e->m_2DSegments, segments);
}

TEST_F(Engine2D, UnregisterLeavesAnotherEngineAlone) {
  load();
  VARNO_QV_2D_ENGINE* held = new VARNO_QV_2D_ENGINE(cram(), true);
  cram()->set_2d_engine(held);
  held->unregister_from_block();
  EXPECT_EQ(cram()->get_2d_engine(), nullptr);
  std::unique_ptr<VARNO_QV_2D_ENGINE> owned(held);
  VARNO_QV_2D_ENGINE* other = new VARNO_QV_2D_ENGINE(cram(), true);
  cram()->set_2d_engine(other);
  owned->unregister_from_block();
  EXPECT_EQ(cram()->get_2d_engine(), other);  // deleted with the block
}

}  // namespace
