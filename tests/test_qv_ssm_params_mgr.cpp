// SSM parameter frames of the device of tests/data/fw (quelvo_family.ddb,
// qv_device.ddb): a 2 x 2 sector grid, cells 0 to 3 of types cl, f1, cl, f1
// at CNOC columns 0, 40, 1, 41, a 3 x 2 IO array and a 2 x 1 UIB array. The
// CNOC distances (fourth field of CNOC_ADDRESSES, which the device files do
// not hold) are set in memory: 1000000, 1234567, 500000 and 0.
//
// LSM records, derived by hand from the fixtures (see the .ddb comments):
//   timer bases in single precision: T1 = ceil(133 * 1234567 / 1e6) + 3 =
//   168, T2 = ceil(200 * 1234567 / 1e6) + 3 = 250; D = T - round(f * d / 1e6):
//     cell 0: 168 - 133 = 35, 250 - 200 = 50     -> 0x00013223
//     cell 1: 168 - 164 = 4,  250 - 247 = 3      -> 0x01020304
//     cell 2: 168 - 67 = 101 (66.5 rounds up), 250 - 100 = 150 -> 0x02019665
//     cell 3: 168, 250                           -> 0x0302FAA8
//   (timer | type << 16 | cell << 24).
//   cl: MLB offsets 20 and 60; clock network 60: the running sum first
//     reaches 60 after the first segment (60 of phase 0) -> 00 3C.
//   f1: MLB offsets 0 and 0; clock network 364: 300 of phase 3 -> E9 CC, 64
//     of phase 1 -> 62.
#include <string>
#include <tuple>
#include <vector>

#include "msg.h"
#include "sector_device.h"
#include "varno_block_config.h"
#include "varno_dummy_frame_mgr.h"
#include "varno_qv_ssm_params_mgr.h"

namespace {

const std::string kDir = test_data("fw");

BYTES halves(std::initializer_list<u32> values) {
  BYTES out;
  for (u32 v : values) {
    out.push_back(static_cast<u8>(v));
    out.push_back(static_cast<u8>(v >> 8));
  }
  return out;
}

BYTES operator+(BYTES a, const BYTES& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

BYTES padded(BYTES b, size_t size) {
  b.resize(size, 0);
  return b;
}

// One 104-byte LSM record.
struct LSM {
  u32 ret_path_sel, cntr_sel0, cntr_sel1, timer;
  u32 dr0, dr1, eram0, eram1, pwrup, bias, clk;
  std::vector<u32> mlb;
  BYTES masks;

  BYTES bytes() const {
    BYTES mlb_bytes;
    for (u32 m : mlb) mlb_bytes = mlb_bytes + halves({m});
    return words({ret_path_sel, cntr_sel0, cntr_sel1, timer}) +
           halves({dr0, dr1, eram0, eram1, pwrup, bias, clk, static_cast<u32>(mlb.size())}) +
           padded(mlb_bytes, 40) + padded(masks, 32);
  }
};

LSM cl(u32 timer, u32 pwrup, u32 bias) {
  return {0x11, 0x22, 0x33, timer, 2, 3, 2, 4, pwrup, bias, 60, {20, 60}, {0x00, 0x3C}};
}
LSM f1(u32 timer, u32 pwrup, u32 bias) {
  return {0x44, 0x55, 0x66, timer, 1, 1, 3, 3, pwrup, bias, 364, {0, 0}, {0xE9, 0xCC, 0x62}};
}

const BYTES kRoom(12, 0);  // CNOC and CNT header room
const BYTES kS1 = cl(0x00013223, 7, 8).bytes();
const BYTES kS2 = f1(0x01020304, 9, 10).bytes();
const BYTES kS3 = cl(0x02019665, 11, 12).bytes();
const BYTES kS4 = f1(0x0302FAA8, 13, 14).bytes();

// The device's SSM parameter blocks; the sectors' own blocks make no frames
// here, the SSM manager reads their parameters only.
struct SSM_DEVICE : SECTOR_DEVICE {
  // Rows (column, row, flag, distance) of the sector array's CNOC_ADDRESSES.
  void set_cnoc(const std::vector<std::vector<u32>>& rows) {
    auto* array = dynamic_cast<VARNO_EBLOCK*>(m_top->get_block("SECTOR_ARRAY", false));
    ASSERT_NE(array, nullptr);
    VOLD_ARG* arg = array->config()->get_arg(VOLD_ARGUMENT_CNOC_ADDRESSES);
    ASSERT_NE(arg, nullptr);
    arg->width = 4;
    arg->values.clear();
    for (const std::vector<u32>& row : rows)
      arg->values.insert(arg->values.end(), row.begin(), row.end());
    arg->byte_values.clear();
  }
  void set_distances() {
    set_cnoc({{0, 1, 1, 1000000}, {40, 1, 1, 1234567}, {1, 2, 1, 500000}, {41, 2, 1, 0}});
  }
  // Loads the fixtures with the edits and the distances set, to build LSM
  // records (firmware type 0).
  u32 load_lsm(const FILE_EDITS& edits) {
    const u32 status = load(kDir, edits);
    if (status != VARNO_PCF_OK) return status;
    set_distances();
    param().fw_type = 0;
    return status;
  }
  VARNO_QV_SSM_PARAMS_MGR* mgr(const std::string& name) {
    return dynamic_cast<VARNO_QV_SSM_PARAMS_MGR*>(block(name)->get_frame_mgr());
  }
  std::vector<BYTES> build(const std::string& name) {
    VARNO_DBLOCK* b = block(name);
    EXPECT_TRUE(b->process(false));
    return frames(b);
  }

  FRAME_MGR_HOOK_SCOPE m_dummies{[](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
    switch (type) {
      case VOLD_FRAME_QV_CRAM:
      case VOLD_FRAME_QV_ERAM:
      case VOLD_FRAME_QV_BBUS:
      case VOLD_FRAME_QV_REGSCAN:
        return new VARNO_DUMMY_FRAME_MGR();
      default:
        return nullptr;
    }
  }};
};

class SsmParams : public ::testing::Test, public SSM_DEVICE {
 protected:
  void SetUp() override {
    ASSERT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error();
    set_distances();
  }
};

// ---- Set-up ---------------------------------------------------------------------

TEST_F(SsmParams, SetUpReadsTheHalfOfTheDevice) {
  EXPECT_EQ(mgr("FW_PARAMS")->header_bytes(), 12u);
  EXPECT_EQ(mgr("FW_PARAMS")->lsm_blk_param_size(), 104u);
  EXPECT_EQ(mgr("FW_PARAMS")->lowest_cnoc_column(), 0u);
  EXPECT_EQ(mgr("FW_PARAMS")->column_limit(), 65535u);
  EXPECT_EQ(mgr("FW_PARAMS_WEST")->column_limit(), 32u);
  EXPECT_EQ(mgr("FW_PARAMS_EAST")->lowest_cnoc_column(), 32u);
  EXPECT_EQ(mgr("FW_PARAMS")->potential_frames(), 0u);
}

TEST(SsmParamsDevice, MissingHeaderBlock) {
  SSM_DEVICE d;
  EXPECT_INTERNAL_ERROR(d.load(kDir, {{"quelvo_family.ddb", "block CNT_HEADER option words=2",
                                       "block DUMMY1 option words=2"},
                                      {"quelvo_family.ddb", "dyn CNT_HEADER", "dyn DUMMY1"}}),
                        "m_cnt_blk != NULL && m_cnoc_blk != NULL");
}

// ---- Firmware types ----------------------------------------------------------------

TEST_F(SsmParams, TypesWithoutParameterFrames) {
  for (u32 type : {13u, 1u, 3u, 4u, 6u, 12u}) {
    param().fw_type = type;
    EXPECT_TRUE(build("FW_PARAMS").empty()) << type;
  }
  param().fw_type = 14;
  EXPECT_INTERNAL_ERROR(block("FW_PARAMS")->process(false),
                        "fw_type >= 0 && fw_type < VARNO_QV_FW_TYPE_MAX");
}

TEST_F(SsmParams, IossmFramePerIoSector) {
  param().fw_type = 2;
  param().skip_headers = 1;
  std::vector<BYTES> expected(6, BYTES(16, 0));
  expected[0] = words({1, 0, 0, 0});
  EXPECT_EQ(build("FW_PARAMS"), expected);
  // With headers every frame is header room and zeros.
  param().skip_headers = 0;
  EXPECT_EQ(build("FW_PARAMS"), std::vector<BYTES>(6, BYTES(28, 0)));
}

TEST_F(SsmParams, UibssmFramePerUibSector) {
  param().fw_type = 5;
  EXPECT_EQ(build("FW_PARAMS"), std::vector<BYTES>(2, BYTES(16, 0)));
  param().skip_headers = 1;
  EXPECT_EQ(build("FW_PARAMS"), std::vector<BYTES>(2, BYTES(4, 0)));
}

// ---- LSM records ----------------------------------------------------------------

TEST_F(SsmParams, LsmRecordsWestFirstThenEastReversed) {
  param().fw_type = 0;
  EXPECT_EQ(build("FW_PARAMS"),
            (std::vector<BYTES>{kRoom + kS1, kRoom + kS3, kRoom + kS4, kRoom + kS2}));
  // A rebuild starts from an empty list.
  EXPECT_EQ(build("FW_PARAMS").size(), 4u);
}

TEST_F(SsmParams, LsmRecordsOfEachHalf) {
  param().fw_type = 0;
  param().skip_headers = 1;
  EXPECT_EQ(build("FW_PARAMS_WEST"), (std::vector<BYTES>{kS1, kS3}));
  EXPECT_EQ(build("FW_PARAMS_EAST"), (std::vector<BYTES>{kS4, kS2}));
}

TEST_F(SsmParams, TkFlowKeepsSectorOrderWithoutMlabOffsets) {
  param().fw_type = 0;
  param().tk_flow = 1;
  param().skip_headers = 1;
  auto tk = [](LSM r) {
    r.mlb.clear();
    return r.bytes();
  };
  EXPECT_EQ(build("FW_PARAMS"),
            (std::vector<BYTES>{tk(cl(0x00013223, 7, 8)), tk(f1(0x01020304, 9, 10)),
                                tk(cl(0x02019665, 11, 12)), tk(f1(0x0302FAA8, 13, 14))}));
}

TEST_F(SsmParams, AlignedClocks) {
  // Clocks 200 and 250: T1 = 250, T2 = ceil(308.64...) + 3 = 312; cell 0
  // gets 250 - 200 = 50 and 312 - 250 = 62.
  param().fw_type = 0;
  param().qv_2d_align = 1;
  param().skip_headers = 1;
  const std::vector<BYTES> frames = build("FW_PARAMS");
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(BYTES(frames[0].begin() + 12, frames[0].begin() + 16), words({0x00013E32}));
}

TEST_F(SsmParams, SectorsWithoutCnocAddressAreSkipped) {
  param().fw_type = 0;
  param().skip_headers = 1;
  // Cell 1 at (63, 63) has no record; (63, 5) is a column past the west half.
  set_cnoc({{0, 1, 1, 1000000}, {63, 63, 1, 1234567}, {1, 2, 1, 500000}, {63, 5, 1, 0}});
  const std::vector<BYTES> frames = build("FW_PARAMS");
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], kS1);
  EXPECT_EQ(frames[1], kS3);
  EXPECT_EQ(BYTES(frames[2].begin() + 12, frames[2].begin() + 16), words({0x0302FAA8}));
}

TEST_F(SsmParams, DebugTextOfASector) {
  param().fw_type = 0;
  DEBUG_LINES debug;
  build("FW_PARAMS_WEST");
  const std::vector<std::string>& lines = debug.lines;
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "LSM Properties:\n");
  EXPECT_EQ(lines[1],
            "\nx: 0, y: 1\nret_path_sel = 17\ncntr_sel0 = 34\ncntr_sel1 = 51\n"
            "global_tmr_delta = 12835\nsector_type = 0x1\ndr0_width_words = 2\n"
            "dr1_width_words = 3\ndr0_eram_columns = 2\ndr1_eram_columns = 4\n"
            "cram_pwrup_bb_len = 7\nbias_gen_bb_len = 8\nmlb_byte_offsets[] = \n20,\n60,\n"
            "clk_network_bb_len = 60\nmlb_byte_offsets_len = 2\nclk_network_masks[] = \n"
            "0x3c00,\n");
}

TEST_F(SsmParams, LsmNeedsTheCnocDistance) {
  // The device files give three fields per cell; the distance is the fourth.
  SSM_DEVICE d;
  ASSERT_EQ(d.load(kDir), VARNO_PCF_OK);
  d.param().fw_type = 0;
  EXPECT_INTERNAL_ERROR(d.block("FW_PARAMS")->process(false),
                        "index < uint_arg_list.size() && offset < arg_width");
}

// ---- Devices and sectors with other data ----------------------------------------

TEST(SsmParamsDevice, ShortRecordDevicesStopEveryBuild) {
  SSM_DEVICE d;
  ASSERT_EQ(d.load_lsm({{"qv_device.ddb", "device DUMMY1", "device PLACEHOLDER_DEVICE_41"}}), VARNO_PCF_OK);
  VARNO_DBLOCK* b = d.block("FW_PARAMS");
  VARNO_QV_SSM_PARAMS_MGR* m = d.mgr("FW_PARAMS");
  EXPECT_EQ(m->lsm_blk_param_size(), 92u);
  const char* mismatch =
      "Mismatch in lsm param size: m_lsm_blk_param_size (92 bytes) != fw_lsm_param_size (104 "
      "bytes)";
  for (u32 type : {13u, 2u, 0u}) {
    d.param().fw_type = type;
    EXPECT_INTERNAL_ERROR(b->process(false), mismatch);
  }
  // The check comes before the frame list is emptied, and the partial build
  // does not make it: its IOSSM frames stay.
  d.param().fw_type = 2;
  EXPECT_TRUE(m->create_partial_frames(b, b->get_block_config(), 0, 0));
  EXPECT_INTERNAL_ERROR(m->create_frames(b, b->get_block_config()), mismatch);
  EXPECT_EQ(b->get_number_of_frames(), 6u);
  // A short record has room for 10 MLB offsets of 4 bytes, not 2.
  d.param().fw_type = 0;
  EXPECT_INTERNAL_ERROR(m->create_partial_frames(b, b->get_block_config(), 0, 0),
                        "mlb_byte_offsets_elem_size == sizeof(int16_t)");
}

TEST(SsmParamsDevice, ClockNetworkSearch) {
  // Edits of cell 0 (cl: variants 100 and 60, segments 60, 40 | 20, 40) and
  // its record, or the error.
  const std::string cell0 = "BBUS_CHAIN_SIZES width=3 60 7 8";
  auto record = [](u32 clk, BYTES masks) {
    LSM r = cl(0x00013223, 7, 8);
    r.clk = clk;
    r.masks = std::move(masks);
    return r.bytes();
  };
  struct CASE {
    std::vector<FILE_EDIT> edits;
    BYTES record;
    std::string error;
  };
  const std::vector<CASE> cases = {
      // The first segment of variant 1 is a sum the search meets.
      {{{"qv_device.ddb", cell0, "BBUS_CHAIN_SIZES width=3 20 7 8"}}, record(20, {0x94}), ""},
      // 30 is no running sum.
      {{{"qv_device.ddb", cell0, "BBUS_CHAIN_SIZES width=3 30 7 8"}},
       {},
       "Clock network size 30 not found!"},
      // A length of 0 met by a segment of 0 bits: no mask.
      {{{"qv_device.ddb", cell0, "BBUS_CHAIN_SIZES width=3 0 7 8"},
        {"qv_sector_cl.ddb", "CLK_NTW_SEGMENTS width=3 60 0 0",
         "CLK_NTW_SEGMENTS width=3 0 0 1\ndata 60 0 0"}},
       record(0, {}),
       ""},
  };
  for (const CASE& c : cases) {
    SSM_DEVICE d;
    ASSERT_EQ(d.load_lsm(c.edits), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error();
    d.param().skip_headers = 1;
    if (!c.error.empty()) {
      EXPECT_INTERNAL_ERROR(d.block("FW_PARAMS_WEST")->process(false), c.error);
      continue;
    }
    EXPECT_EQ(d.build("FW_PARAMS_WEST"), (std::vector<BYTES>{c.record, kS3}));
  }
}

TEST(SsmParamsDevice, ClockMaskHoldsNoTwoByteSegmentInItsLastByte) {
  // f1: one variant of 71 bits: 40 bits (a two-byte segment), then 31
  // segments of 1 bit. Backwards the 31 one-byte segments fill bytes 0 to 30;
  // the two-byte one no longer fits and is left out.
  std::string segments = "arg BBUS CLK_NTW_SEGMENTS width=3 40 0 0";
  for (int k = 0; k < 31; ++k) segments += " 1 0 0";
  SSM_DEVICE d;
  ASSERT_EQ(d.load_lsm(
                {{"qv_sector_f1.ddb", "param BBUS CLK_NTW_VARIANTS 364",
                  "param BBUS CLK_NTW_VARIANTS 71"},
                 {"qv_sector_f1.ddb", "arg BBUS CLK_NTW_SEGMENTS width=3 64 0 1 300 0 3", segments},
                 {"qv_device.ddb", "data 364 9 10", "data 71 9 10"},
                 {"qv_device.ddb", "data 364 13 14", "data 71 13 14"}}),
            0u)
      << VOLD_DATA_SERVER::last_error();
  d.param().skip_headers = 1;
  const std::vector<BYTES> frames = d.build("FW_PARAMS_EAST");
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(BYTES(frames[0].begin() + 72, frames[0].end()), BYTES(31, 0x01) + BYTES{0x00});
}

TEST(SsmParamsDevice, SectorDataErrors) {
  const std::vector<std::tuple<FILE_EDIT, std::string>> cases = {
      {{"qv_sector_cl.ddb", "param ERAM ERAM_COLS_PER_BLOCK 20",
        "param ERAM ERAM_COLS_PER_BLOCK 0"},
       "eram_bits_per_col > 0"},
      {{"quelvo_sector_family_vold.ddb", "block REGSCAN data frame=QV_REGSCAN", ""},
       "regscan_blk != NULL"},
      {{"qv_sector_cl.ddb", "param BBUS CLK_NTW_VARIANTS 100 60", ""}, "num_variants > 0"},
      // Argument tables without rows.
      {{"qv_sector_cl.ddb", "arg CRAM IP_INFO width=2 1 0 0 0 2 0 0 0", "arg CRAM IP_INFO width=2"},
       "ip_count > 0"},
      {{"qv_sector_cl.ddb",
        "arg BBUS CLK_NTW_SEGMENTS width=3 60 0 0\ndata 40 0 1\ndata 20 0 2\ndata 40 0 0",
        "arg BBUS CLK_NTW_SEGMENTS width=3"},
       "arg_size > 0"},
      // An MLB column past the 16 bits of its offset field.
      {{"qv_sector_cl.ddb", "arg CRAM IP_SIZES width=3 10 20 30",
        "arg CRAM IP_SIZES width=3 10 70000 30"},
       "mlb_byte_offset <= 0xFFFF"},
  };
  for (const auto& [edit, text] : cases) {
    SSM_DEVICE d;
    ASSERT_EQ(d.load_lsm({edit}), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error();
    EXPECT_INTERNAL_ERROR(d.block("FW_PARAMS")->process(false), text);
  }
}

TEST(SsmParamsDevice, MlabOffsetsNeedTheIpList) {
  SSM_DEVICE d;
  ASSERT_EQ(d.load_lsm({{"qv_sector_cl.ddb", "arg CRAM IP_INFO width=2 1 0 0 0 2 0 0 0\n", ""}}),
            0u)
      << VOLD_DATA_SERVER::last_error();
  EXPECT_INTERNAL_ERROR(d.block("FW_PARAMS")->process(false), "arg_width > 0");
}

// ---- Clock-segment encoding ------------------------------------------------------

TEST(SsmClockSegments, Encodings) {
  auto enc = [](u32 length, u32 phase) {
    u8 out[2] = {0xEE, 0xEE};
    const u32 n = VARNO_QV_SSM_PARAMS_MGR::encode_clock_segment(length, phase, out);
    return BYTES(out, out + n);
  };
  EXPECT_EQ(enc(64, 1), BYTES{0x62});
  EXPECT_EQ(enc(40, 0), (BYTES{0x00, 0x28}));
  EXPECT_EQ(enc(5, 2), BYTES{0x85});
  EXPECT_EQ(enc(31, 3), BYTES{0xDF});
  EXPECT_EQ(enc(992, 0), BYTES{0x3F});
  EXPECT_EQ(enc(255, 1), (BYTES{0x40, 0xFF}));
  EXPECT_EQ(enc(300, 3), (BYTES{0xE9, 0xCC}));
  // Lengths past the five bits of 32-bit units, and phases past two bits.
  EXPECT_INTERNAL_ERROR(enc(1024, 0), "clk_ntw_segment_length < 1024");
  EXPECT_INTERNAL_ERROR(enc(1100, 0), "clk_ntw_segment_length < 1024");
  EXPECT_INTERNAL_ERROR(enc(5, 4), "clk_ntw_segment_phase <= 3");
}

}  // namespace
