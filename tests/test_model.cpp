// Building the block model from parameter files: statuses, block kinds,
// routing of device records, option-bit copies, sector grids with their
// child generators, and processing all blocks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "generator_fixture.h"
#include "msg.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame.h"
#include "varno_sblock.h"
#include "varno_test.h"
#include "vold.h"

namespace fs = std::filesystem;

namespace {

const std::string s_model_dir = std::string(VARNO_TEST_DATA_DIR) + "/model";

// ---- Scripted frame managers --------------------------------------------------

// What a scripted manager does, per frame type.
struct SCRIPT {
  bool init_ok = true;
  bool create_ok = true;
  u32 frames = 0;       // frames built by create_frames
  u32 frame_bytes = 8;  // bytes of each (a data segment)
};

std::map<u32, SCRIPT> s_scripts;
std::vector<std::string> s_log;  // "init 13", "create 13", ...
u32 s_init_calls = 0;
u32 s_fail_init_call = 0;  // the init call (1-based) that fails; 0 none

class SCRIPTED_MGR : public STUB_FRAME_MGR {
 public:
  explicit SCRIPTED_MGR(u32 type) : m_type(type) {}
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) override {
    s_log.push_back("create " + std::to_string(m_type));
    const SCRIPT& s = s_scripts[m_type];
    block->clear_frames();
    for (u32 i = 0; i < s.frames; ++i) {
      auto frame = std::make_unique<VARNO_FRAME>();
      frame->add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, s.frame_bytes, true));
      frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_DATA, 0x11110000u + i, 0);
      if (block->insert_frame_at_end(frame.get(), 0)) frame.release();
    }
    return s.create_ok;
  }
  bool create_partial_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*, u32 first, u32 last) override {
    s_log.push_back("partial " + std::to_string(first) + " " + std::to_string(last));
    return true;
  }
  u32 potential_frames() override { return s_scripts[m_type].frames; }
  bool init() override {
    s_log.push_back("init " + std::to_string(m_type));
    ++s_init_calls;
    if (s_fail_init_call != 0 && s_init_calls == s_fail_init_call) return false;
    return s_scripts[m_type].init_ok;
  }
  void set_user_frame_count(u32 count) override { s_log.push_back("count " + std::to_string(count)); }
  void dump_expected_data(std::string& path) override { std::ofstream(path) << "expected " << m_type << "\n"; }

 private:
  u32 m_type;
};

// Routes the frame types listed in s_scripts to scripted managers for the
// life of the object.
class SCRIPTED_MANAGERS {
 public:
  SCRIPTED_MANAGERS() {
    s_scripts.clear();
    s_log.clear();
    s_init_calls = 0;
    s_fail_init_call = 0;
  }
  ~SCRIPTED_MANAGERS() { s_scripts.clear(); }

 private:
  FRAME_MGR_HOOK_SCOPE m_hook{[](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
    return s_scripts.count(type) == 0 ? nullptr : new SCRIPTED_MGR(type);
  }};
};

const char* const s_flat_device = R"(ddb device 1
family BORQUENT
device DUMMY1
param ESRAM_BBUS BBUS_BIT_COUNT 0
ob JTAG_ID index=0 size=32 value=0xCAFEBABE
)";

}  // namespace

// ---- The minimal host scenario ---------------------------------------------------

TEST(MinimalHost, FlatFamilyByteForByte) {
  TEMP_DIR out;
  VARNO_IGEN_FACTORY* f = varno_get_factory();
  std::unique_ptr<VARNO_IGEN> g(f->create_generator());
  g->set_family_pcf(s_model_dir + "/flat_family.ddb");
  g->set_device_pcf(s_model_dir + "/flat_device.ddb");
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 1), VARNO_PCF_OK);

  u8 bbus[4] = {1, 2, 3, 4};
  g->get_block("ESRAM_BBUS", false)->set_data(VARNO_BLOCK_DATA_BBUS, bbus, 32, nullptr);
  EXPECT_TRUE(g->do_all_blocks());

  const std::string path = out.file("dump.dat");
  g->write_to_file(path, VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_EQ(read_file(path),
            "A5A5\t// OPTION_BITS  - 20 Bytes\n"
            "A5A5\n"
            "BABE\n"
            "CAFE\n"
            "0000\n"
            "0000\n"
            "0000\n"
            "0000\n"
            "0000\n"
            "A099\n");

  EXPECT_EQ(g->bt_size(), 20u);
  const std::vector<u8> image = block_bytes(g->get_block_by_index(0));
  const std::vector<u8> expected = {0xA5, 0xA5, 0xA5, 0xA5, 0xBE, 0xBA, 0xFE, 0xCA, 0, 0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0x99, 0xA0};
  EXPECT_EQ(image, expected);
  // The CRC word is the CRC-16 of the image and the 16-bit filler (0) above
  // the filler.
  const u16 crc = crc16({0, 0}, crc16(std::vector<u8>(image.begin(), image.begin() + 16), 0xFFFF));
  EXPECT_EQ(crc, 0xA099);
  EXPECT_EQ(g->get_block_by_index(1)->get_number_of_frames(), 0u);
  EXPECT_EQ(g->block_index("ESRAM_BBUS"), 1u);
  EXPECT_EQ(g->block_index("OPTION_BITS"), 0u);
}

TEST(MinimalHost, FramesFillTheLinkedLength) {
  SCRIPTED_MANAGERS managers;
  s_scripts[VOLD_FRAME_TK_ESRAM_BBUS] = SCRIPT{true, true, 2, 8};
  TEMP_DIR out;
  auto g = new_generator(s_model_dir + "/flat_family.ddb", s_model_dir + "/flat_device.ddb");
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 1), VARNO_PCF_OK);
  EXPECT_TRUE(g->do_all_blocks());
  // Two 8-byte frames: 16 bytes, 4 configuration words.
  g->get_block("OPTION_BITS", false)->crc_update();
  g->write_to_file(out.file("dump.dat"), VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_EQ(read_file(out.file("dump.dat")),
            "A5A5\t// OPTION_BITS  - 20 Bytes\n"
            "A5A5\n"
            "BABE\n"
            "CAFE\n"
            "0004\n"
            "0000\n"
            "0000\n"
            "0000\n"
            "0000\n"
            "75D8\n"
            "0000\t// ESRAM_BBUS - Index 0 - 8 Bytes\n"
            "1111\n"
            "0000\n"
            "0000\n"
            "0001\t// ESRAM_BBUS - Index 1 - 8 Bytes\n"
            "1111\n"
            "0000\n"
            "0000\n");
  const std::vector<u8> image = block_bytes(g->get_block_by_index(0));
  EXPECT_EQ(crc16({0, 0}, crc16(std::vector<u8>(image.begin(), image.begin() + 16), 0xFFFF)), 0x75D8);
  EXPECT_EQ(g->bt_size(), 36u);
}

// ---- Statuses ------------------------------------------------------------------------

TEST(ProcessPcfs, MissingFamilyByPathIsStatus1) {
  TEMP_DIR dir;
  // The device is never looked at: a missing one would be an internal error.
  auto g = new_generator(dir.file("nothing"), dir.file("no_device"));
  EXPECT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_FAMILY_MISSING);
  EXPECT_EQ(g->max_block_index(), 0u);
  EXPECT_EQ(g->family_pcf_info(), nullptr);
  EXPECT_EQ(g->device_pcf_info(), nullptr);
}

TEST(ProcessPcfs, MissingFamilyByNameIsStatus1) {
  TEMP_DIR dir;
  dir.write("fam.ddb", read_file(s_model_dir + "/flat_family.ddb"));
  dir.write("dev.ddb", s_flat_device);
  const std::string previous = VOLD_DATA_SERVER::get_search_path();
  VOLD_DATA_SERVER::set_search_path(dir.dir());
  {
    auto g = new_generator("absent", "dev");
    EXPECT_EQ(g->process_pcfs(true, false, false, nullptr, 0), VARNO_PCF_FAMILY_MISSING);
    EXPECT_EQ(g->max_block_index(), 0u);
  }
  {
    // The same names by name, with the ".ddb" fallback, load.
    auto g = new_generator("fam", "dev");
    EXPECT_EQ(g->process_pcfs(true, false, false, nullptr, 0), VARNO_PCF_OK);
    EXPECT_EQ(g->max_block_index(), 2u);
  }
  VOLD_DATA_SERVER::set_search_path(previous);
}

TEST(ProcessPcfs, NameWithoutExtensionLoadsTheDdbFile) {
  TEMP_DIR dir;
  dir.write("fam.ddb", read_file(s_model_dir + "/flat_family.ddb"));
  dir.write("dev.ddb", s_flat_device);
  auto g = new_generator(dir.file("fam"), dir.file("dev"));
  EXPECT_EQ(g->process_pcfs(false, false, false, nullptr, 9), VARNO_PCF_OK);
  EXPECT_EQ(g->config_data_width(), 32u);
  // The top-level device type goes into the device section.
  EXPECT_EQ(g->device_pcf_info()->get_device_info()->top_device_type, 9u);
}

TEST(ProcessPcfs, RunsOnce) {
  auto g = new_generator(s_model_dir + "/flat_family.ddb", s_model_dir + "/flat_device.ddb");
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 1), VARNO_PCF_OK);
  EXPECT_INTERNAL_ERROR(g->process_pcfs(false, false, false, nullptr, 1), "m_family_pcf_info == nullptr");
}

TEST(ProcessPcfs, BadFilesAreInternalErrors) {
  TEMP_DIR dir;
  const std::string family = s_model_dir + "/flat_family.ddb";
  const std::string device = s_model_dir + "/flat_device.ddb";
  const std::string broken = dir.write("broken.ddb", "ddb family 1\nfamily NOT_A_FAMILY\n");
  // The loader's own message says why a file did not load.
  struct CASE {
    std::string family, device, text, error;
  };
  const CASE cases[] = {
      {broken, device, "Invalid family pcf file",
       broken + ":2: unknown family type 'NOT_A_FAMILY'"},
      {device, device, "Invalid family info section", ""},
      {family, dir.file("absent"), "Invalid device pcf file",
       dir.file("absent") + ": no such file (also tried " + dir.file("absent.ddb") + ")"},
      {family, family, "Invalid device info section", ""},
  };
  for (const CASE& c : cases) {
    auto g = new_generator(c.family, c.device);
    EXPECT_INTERNAL_ERROR(g->process_pcfs(false, false, false, nullptr, 0), c.text);
    EXPECT_EQ(VOLD_DATA_SERVER::last_error(), c.error) << c.text;
  }
}

// ---- Block kinds, routing of device records --------------------------------------------

namespace {

const char* const s_mixed_family = R"(ddb family 1
family BORQUENT
config_width 32
block CNOC_HEADER option words=2
  const word=1 value=0x12345678
block ESRAM_BBUS data frame=TK_ESRAM_BBUS w1=0x11 w2=0x22 w3=0x33 w4=0x44 w5=0x55 w6=0x66 flag=1 b28=0x77
  instr FIRST_FRAME word=0xF1
  instr LAST_FRAME word=0xF2
block SECTOR_ARRAY array
block CNOC_HEADER option words=3
block ESRAM_BBUS data frame=WX_ESRAM_BBUS
)";

const char* const s_mixed_device = R"(ddb device 1
family BORQUENT
device DUMMY1
param ESRAM_BBUS BBUS_BIT_COUNT 5
param CNOC_HEADER BBUS_BIT_COUNT 6
param SECTOR_ARRAY ARRAY_TYPE 1 2
arg ESRAM_BBUS CNOC_ADDRESSES width=2 1 2 3 4
arg SECTOR_ARRAY CNOC_ADDRESSES width=3 7 8 9
arg CNOC_HEADER CNOC_ADDRESSES width=1 5
)";

}  // namespace

TEST(ProcessPcfs, BlockKindsInListOrder) {
  TEMP_DIR dir;
  auto g = new_generator(dir.write("fam.ddb", s_mixed_family), dir.write("dev.ddb", s_mixed_device));
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  ASSERT_EQ(g->max_block_index(), 5u);
  EXPECT_NE(dynamic_cast<VARNO_SBLOCK*>(g->get_block_by_index(0)), nullptr);
  EXPECT_NE(dynamic_cast<VARNO_DBLOCK*>(g->get_block_by_index(1)), nullptr);
  EXPECT_NE(dynamic_cast<VARNO_EBLOCK*>(g->get_block_by_index(2)), nullptr);
  EXPECT_NE(dynamic_cast<VARNO_SBLOCK*>(g->get_block_by_index(3)), nullptr);
  EXPECT_NE(dynamic_cast<VARNO_DBLOCK*>(g->get_block_by_index(4)), nullptr);
  // Lookups find the first block of a type.
  EXPECT_EQ(g->get_block("CNOC_HEADER", false), g->get_block_by_index(0));
  EXPECT_EQ(g->get_block(VOLD_BLOCK_ESRAM_BBUS, false), g->get_block_by_index(1));
  EXPECT_EQ(g->block_index("SECTOR_ARRAY"), 2u);
  EXPECT_EQ(g->get_block_by_index(0)->get_block_size(), 8u);
  EXPECT_EQ(g->get_block_by_index(3)->get_block_size(), 12u);
  // Every data block has its manager.
  EXPECT_NE(dynamic_cast<VARNO_DBLOCK*>(g->get_block_by_index(4))->get_frame_mgr(), nullptr);
}

TEST(ProcessPcfs, FrameDescriptorAndInstructions) {
  TEMP_DIR dir;
  auto g = new_generator(dir.write("fam.ddb", s_mixed_family), dir.write("dev.ddb", s_mixed_device));
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  auto* d = dynamic_cast<VARNO_DBLOCK*>(g->get_block_by_index(1));
  const VARNO_FRAME_DESCRIPTOR* fd = d->get_frame_descriptor();
  ASSERT_NE(fd, nullptr);
  EXPECT_EQ(fd->word(0), static_cast<u32>(VOLD_FRAME_TK_ESRAM_BBUS));
  EXPECT_EQ(fd->word(1), 0x11u);
  EXPECT_EQ(fd->word(2), 0x22u);
  EXPECT_EQ(fd->word(3), 0x33u);
  EXPECT_EQ(fd->word(4), 0x44u);
  EXPECT_EQ(fd->word(5), 0x55u);
  EXPECT_EQ(fd->word(6), 0x66u);  // the flag bit is cleared here...
  EXPECT_EQ(fd->byte(28), 0x77u);
  EXPECT_EQ(fd->byte(29), 1u);  // ...and lands in byte 29
  EXPECT_EQ(fd->byte(30), 0u);
  ASSERT_NE(d->get_instruction(VOLD_INSTRUCTION_FIRST_FRAME), nullptr);
  EXPECT_EQ(d->get_instruction(VOLD_INSTRUCTION_FIRST_FRAME)->get_instruction_word(), 0xF1u);
  EXPECT_EQ(d->get_instruction(VOLD_INSTRUCTION_LAST_FRAME)->get_instruction_word(), 0xF2u);
  // The second block of the type has none.
  auto* d2 = dynamic_cast<VARNO_DBLOCK*>(g->get_block_by_index(4));
  EXPECT_EQ(d2->get_instruction(VOLD_INSTRUCTION_FIRST_FRAME), nullptr);
  EXPECT_EQ(d2->frame_type(), VOLD_FRAME_WX_ESRAM_BBUS);
}

TEST(ProcessPcfs, DeviceRecordsGoToTheFirstDataOrArrayBlockOfTheirType) {
  TEMP_DIR dir;
  auto g = new_generator(dir.write("fam.ddb", s_mixed_family), dir.write("dev.ddb", s_mixed_device));
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  auto* d1 = dynamic_cast<VARNO_DBLOCK*>(g->get_block_by_index(1));
  auto* d2 = dynamic_cast<VARNO_DBLOCK*>(g->get_block_by_index(4));
  auto* e = dynamic_cast<VARNO_EBLOCK*>(g->get_block_by_index(2));
  EXPECT_EQ(d1->get_param_value("BBUS_BIT_COUNT", 0u), 5u);
  EXPECT_EQ(d1->get_arg_size("CNOC_ADDRESSES"), 4u);
  EXPECT_TRUE(d2->get_block_config()->m_param_list.empty());
  EXPECT_TRUE(d2->get_block_config()->m_arg_list.empty());
  EXPECT_EQ(e->get_param_size("ARRAY_TYPE"), 2u);
  EXPECT_EQ(e->get_arg_value("CNOC_ADDRESSES", 0, 2), 9u);
  // Option blocks take no device records: both CNOC_HEADER records were
  // dropped without complaint.
  EXPECT_EQ(e->config()->m_param_list.size(), 1u);
}

TEST(ProcessPcfs, SkippedBlockTypeMakesNoBlockAndDropsItsRecords) {
  TEMP_DIR dir;
  auto g = new_generator(dir.write("fam.ddb", s_mixed_family), dir.write("dev.ddb", s_mixed_device));
  g->get_mgr_param()->skip_block[VOLD_BLOCK_ESRAM_BBUS] = 1;
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  EXPECT_EQ(g->max_block_index(), 3u);
  EXPECT_EQ(g->get_block("ESRAM_BBUS", false), nullptr);
  EXPECT_EQ(g->block_index("ESRAM_BBUS"), VARNO_INVALID_DWORD);
}

TEST(ProcessPcfs, Paskevolt5OptionBlockOfType26HasThirtyOneWords) {
  TEMP_DIR dir;
  const std::string family = R"(ddb family 1
family PASKEVOLT
config_width 32
block PAD5 option words=4
block PAD6 option words=4
block ESRAM_BBUS data frame=TK_ESRAM_BBUS
)";
  dir.write("paskevolt_fam.ddb", family);
  dir.write("paskevolt5_dev.ddb", s_flat_device);
  dir.write("paskevolt4_dev.ddb", s_flat_device);
  struct CASE {
    std::string family, device;
    u32 pad5_bytes;
  };
  const CASE cases[] = {
      {"paskevolt_fam.ddb", "paskevolt5_dev.ddb", 31 * 4},
      {"paskevolt_fam.ddb", "paskevolt4_dev.ddb", 16},
  };
  for (const CASE& c : cases) {
    auto g = new_generator(dir.file(c.family), dir.file(c.device));
    ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
    EXPECT_EQ(g->get_block("PAD5", false)->get_block_size(), c.pad5_bytes) << c.device;
    EXPECT_EQ(g->get_block("PAD6", false)->get_block_size(), 16u);
  }
  // A family path without "paskevolt" keeps the entry's count.
  dir.write("other_fam.ddb", family);
  auto g = new_generator(dir.file("other_fam.ddb"), dir.file("paskevolt5_dev.ddb"));
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  EXPECT_EQ(g->get_block("PAD5", false)->get_block_size(), 16u);
}

TEST(PostProcess, UnmatchedDeviceOptionBitIsAnInternalError) {
  TEMP_DIR dir;
  auto g = new_generator(s_model_dir + "/flat_family.ddb", dir.write("dev.ddb", R"(ddb device 1
family BORQUENT
device DUMMY1
param ESRAM_BBUS BBUS_BIT_COUNT 0
ob JTAG_ID index=8 size=32 value=1
)"));
  EXPECT_INTERNAL_ERROR(g->process_pcfs(false, false, false, nullptr, 0),
                        "Cannot match device option bits with family option bits");
}

TEST(PostProcess, DeviceBitsReplaceTheFamilyDefault) {
  auto g = new_generator(s_model_dir + "/flat_family.ddb", s_model_dir + "/flat_device.ddb");
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  auto* ob = dynamic_cast<VARNO_SBLOCK*>(g->get_block("OPTION_BITS", false));
  VOLD_OB_DATA* jtag = ob->get_ob_data_by_name("JTAG_ID", "OPTION_BITS");
  ASSERT_NE(jtag, nullptr);
  u32 bits = 0;
  const u8* data = jtag->get_data(bits);
  EXPECT_EQ(bits, 32u);
  EXPECT_EQ(data[0], 0xBE);
  EXPECT_EQ(data[3], 0xCA);
}

// ---- Frame managers: status 7 and managers made on demand ---------------------------------

namespace {

const char* const s_two_data_family = R"(ddb family 1
family BORQUENT
config_width 32
block CNOC_HEADER option words=2
  dyn LINK_BLOCK_SIZE word=0 size=16 mask=0xFFFF
    ob PGF_LENGTH index=0 size=16 link=2
block CNT_FW data frame=QV_CSR
block ESRAM_BBUS data frame=QV_BBUS
)";

const char* const s_two_data_device = R"(ddb device 1
family BORQUENT
device DUMMY1
param ESRAM_BBUS BBUS_BIT_COUNT 0
)";

}  // namespace

TEST(InitFrameMgrs, FailedInitGivesStatus7AndLaterBlocksNoManager) {
  SCRIPTED_MANAGERS managers;
  s_scripts[VOLD_FRAME_QV_CSR] = SCRIPT{false, true, 1, 8};
  s_scripts[VOLD_FRAME_QV_BBUS] = SCRIPT{true, true, 1, 4};
  TEMP_DIR dir;
  auto g = new_generator(dir.write("fam.ddb", s_two_data_family), dir.write("dev.ddb", s_two_data_device));
  EXPECT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_FRAME_MGR_FAILED);
  auto* d1 = dynamic_cast<VARNO_DBLOCK*>(g->get_block("CNT_FW", false));
  auto* d2 = dynamic_cast<VARNO_DBLOCK*>(g->get_block("ESRAM_BBUS", false));
  EXPECT_NE(d1->get_frame_mgr(), nullptr);
  EXPECT_EQ(d2->get_frame_mgr(), nullptr);
  EXPECT_EQ(s_log, std::vector<std::string>({"init 13"}));

  // The failed manager builds nothing; the one made on demand is set up
  // before it builds.
  s_log.clear();
  EXPECT_FALSE(g->do_block("CNT_FW"));
  EXPECT_TRUE(g->do_block("ESRAM_BBUS"));
  EXPECT_EQ(s_log, std::vector<std::string>({"init 12", "create 12"}));
  EXPECT_EQ(d2->get_number_of_frames(), 1u);
}

TEST(DoAllBlocks, StopsAtTheFirstFailureButStillLinks) {
  SCRIPTED_MANAGERS managers;
  s_scripts[VOLD_FRAME_QV_CSR] = SCRIPT{true, false, 3, 8};  // builds 24 bytes, then fails
  s_scripts[VOLD_FRAME_QV_BBUS] = SCRIPT{true, true, 1, 4};
  TEMP_DIR dir;
  auto g = new_generator(dir.write("fam.ddb", s_two_data_family), dir.write("dev.ddb", s_two_data_device));
  g->get_mgr_param()->qv_2d_compression = 1;
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  s_log.clear();
  DEBUG_LINES debug;
  EXPECT_FALSE(g->do_all_blocks());
  EXPECT_EQ(s_log, std::vector<std::string>({"create 13"}));  // block 2 not processed
  // The link of the option block was still written: 24 bytes = 6 words.
  u8 length[2] = {};
  EXPECT_EQ(g->get_block("CNOC_HEADER", false)->read_option_bits("PGF_LENGTH", "LINK_BLOCK_SIZE", length, 16),
            16u);
  EXPECT_EQ(length[0], 6u);
  EXPECT_EQ(length[1], 0u);
  // The 2D merge step still comes; without registered engines it has
  // nothing to merge.
  EXPECT_TRUE(debug.lines.empty());
  EXPECT_EQ(g->combined_2d_engine(), nullptr);
  EXPECT_EQ(g->get_2d_libs_size(), 0u);
}

TEST(DoPartialBlock, ForwardsTheRangeAndCount) {
  SCRIPTED_MANAGERS managers;
  s_scripts[VOLD_FRAME_QV_CSR] = SCRIPT{};
  s_scripts[VOLD_FRAME_QV_BBUS] = SCRIPT{};
  TEMP_DIR dir;
  auto g = new_generator(dir.write("fam.ddb", s_two_data_family), dir.write("dev.ddb", s_two_data_device));
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  s_log.clear();
  EXPECT_TRUE(g->do_partial_block("CNT_FW", 3, 7));
  g->adjust_num_frames("CNT_FW", 12);
  EXPECT_FALSE(g->do_partial_block("CNOC_HEADER", 0, 1));
  EXPECT_FALSE(g->do_partial_block("CRAM", 0, 1));
  g->adjust_num_frames("CNOC_HEADER", 1);
  g->adjust_num_frames("CRAM", 1);
  EXPECT_EQ(s_log, std::vector<std::string>({"partial 3 7", "count 12"}));
}

// ---- Sector grids --------------------------------------------------------------------------

namespace {

// A QV device of one 2 x 3 SECTOR_ARRAY (types per cell by position) and
// optional further arrays, with its sector files.
struct QV_FIXTURE {
  explicit QV_FIXTURE(const TEMP_DIR& d) : dir(d) {}

  // Writes the top family with the given array blocks and the top device
  // with the given extra lines.
  void write_top(const std::string& arrays, const std::string& device_lines) {
    dir.write("top_family.ddb", "ddb family 1\nfamily QUELVO\nconfig_width 32\n"
                                "block CNOC_HEADER option words=1\n" + arrays);
    dir.write("top_device.ddb", "ddb device 1\nfamily QUELVO\ndevice DUMMY2\n" + device_lines);
  }
  // The sector family and one device file per mapped sector name.
  void write_sector_files(const std::vector<std::string>& device_names) {
    dir.write("quelvo_sector_family_vold.ddb",
              "ddb family 1\nfamily QUELVO_SECTOR\nconfig_width 32\n"
              "block CNOC_HEADER option words=1\n  const word=0 value=0x5EC7\n"
              "block ESRAM_BBUS data frame=TK_ESRAM_BBUS\n");
    for (const std::string& name : device_names) {
      dir.write(name + ".ddb", std::string("ddb device 1\nfamily QUELVO_SECTOR\ndevice DUMMY3\n"
                                           "param ESRAM_BBUS BBUS_BIT_COUNT 0\n"
                                           "s4s2 frames=2\n"));
    }
  }
  std::unique_ptr<VARNO_GEN> load(u32& status, u32 top_device_type = 41) {
    auto g = new_generator(dir.file("top_family.ddb"), dir.file("top_device.ddb"));
    status = g->process_pcfs(false, false, false, nullptr, top_device_type);
    return g;
  }

  const TEMP_DIR& dir;
};

const char* const s_grid_2x3 =
    "param SECTOR_ARRAY ARRAY_COUNT 2 3\n"
    // by position: (0,0) cl, (1,0) f1, (0,1) f1, (1,1) cl, (0,2) f6, (1,2) cl
    "param SECTOR_ARRAY ARRAY_TYPE 1 2 2 1 3 1\n"
    "arg SECTOR_ARRAY CNOC_ADDRESSES width=3 10 20 1 11 21 0 12 22 1 13 23 0 14 24 1 15 25 0\n";

VARNO_GEN* sector_gen(VARNO_IGEN* g, const std::string& array, u32 x, u32 y) {
  VARNO_IMBLOCK* m = g->get_meta_block(array, x, y);
  return m == nullptr ? nullptr : dynamic_cast<VARNO_GEN*>(m->generator());
}

}  // namespace

TEST(Sectors, GridIsLoadedAndNamed) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block SECTOR_ARRAY array\n", s_grid_2x3);
  fx.write_sector_files({"qv_sector_cl", "qv_sector_f1", "qv_sector_f6"});
  u32 status = 99;
  auto g = fx.load(status);
  ASSERT_EQ(status, VARNO_PCF_OK);
  auto* e = dynamic_cast<VARNO_EBLOCK*>(g->get_block("SECTOR_ARRAY", false));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->x_sector_count(), 2u);
  EXPECT_EQ(e->y_sector_count(), 3u);
  const char* const names[6] = {"cl", "f1", "f1", "cl", "f6", "cl"};
  for (u32 i = 0; i < 6; ++i) {
    const u32 x = i % 2, y = i / 2;
    VARNO_MBLOCK* m = e->get_sector(x, y);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->eblock(), e);
    VARNO_GEN* s = dynamic_cast<VARNO_GEN*>(m->generator());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->meta_block(), m);
    EXPECT_EQ(s->family_pcf(), dir.dir() + "quelvo_sector_family_vold");
    EXPECT_EQ(s->device_pcf(), dir.dir() + "qv_sector_" + names[i]);
    EXPECT_EQ(s->max_block_index(), 2u);
    // Each sector builds from its own defaults and the top device type.
    EXPECT_EQ(s->device_pcf_info()->get_device_info()->top_device_type, 41u);
    // The CNOC address replaces the grid position.
    EXPECT_EQ(m->x(), 10 + i);
    EXPECT_EQ(m->y(), 20 + i);
    EXPECT_EQ(m->cnoc_flag(), i % 2 == 0);
  }
  EXPECT_EQ(e->get_sector(2, 0), nullptr);
  EXPECT_EQ(g->get_meta_block("SECTOR_ARRAY", 1, 2), e->get_sector(1, 2));
  EXPECT_EQ(g->get_meta_block("SECTOR_ARRAY", 0, 3), nullptr);
}

TEST(Sectors, SameDeviceFileSharesOneS4List) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block SECTOR_ARRAY array\n", s_grid_2x3);
  fx.write_sector_files({"qv_sector_cl", "qv_sector_f1", "qv_sector_f6"});
  u32 status = 99;
  auto g = fx.load(status);
  ASSERT_EQ(status, VARNO_PCF_OK);
  auto device = [&](u32 x, u32 y) { return sector_gen(g.get(), "SECTOR_ARRAY", x, y)->device_pcf_info()->get_device_info(); };
  // Cells load column by column: (0,1) loads f1 before (1,0), and (0,0)
  // loads cl before (1,1) and (1,2).
  ASSERT_NE(device(0, 1)->m_s4_s2_list, nullptr);
  EXPECT_EQ(device(1, 0)->m_s4_s2_list, nullptr);
  EXPECT_EQ(device(1, 0)->m_fake_s4_s2_list, device(0, 1)->m_s4_s2_list);
  ASSERT_NE(device(0, 0)->m_s4_s2_list, nullptr);
  EXPECT_EQ(device(1, 1)->m_fake_s4_s2_list, device(0, 0)->m_s4_s2_list);
  EXPECT_EQ(device(1, 2)->m_fake_s4_s2_list, device(0, 0)->m_s4_s2_list);
  EXPECT_NE(device(0, 2)->m_s4_s2_list, nullptr);
  EXPECT_EQ(device(0, 2)->m_fake_s4_s2_list, nullptr);
}

TEST(Sectors, ProcessingRunsByPosition) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block SECTOR_ARRAY array\n", s_grid_2x3);
  fx.write_sector_files({"qv_sector_cl", "qv_sector_f1", "qv_sector_f6"});
  u32 status = 99;
  auto g = fx.load(status);
  ASSERT_EQ(status, VARNO_PCF_OK);
  DEBUG_LINES debug;
  EXPECT_TRUE(g->do_all_blocks());
  EXPECT_EQ(debug.lines, std::vector<std::string>({"Processing sector 0 0", "Processing sector 1 0",
                                                   "Processing sector 0 1", "Processing sector 1 1",
                                                   "Processing sector 0 2", "Processing sector 1 2"}));
  // Each sector processed its option block.
  std::vector<u8> bytes = block_bytes(sector_gen(g.get(), "SECTOR_ARRAY", 1, 2)->get_block_by_index(0));
  EXPECT_EQ(bytes, std::vector<u8>({0xC7, 0x5E, 0, 0}));
}

TEST(Sectors, HostOverrideChoosesTheSectorType) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block SECTOR_ARRAY array\n", s_grid_2x3);
  fx.write_sector_files({"qv_sector_cl", "qv_sector_f1", "qv_sector_f6", "qv_sector_fc"});
  auto g = new_generator(dir.file("top_family.ddb"), dir.file("top_device.ddb"));
  g->overwrite_block_param_type("SECTOR_ARRAY", 1, 2, 4);  // (1, 2): fc
  g->overwrite_block_param_type("AIB_ARRAY", 0, 0, 3);      // another block: no effect
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 41), VARNO_PCF_OK);
  EXPECT_EQ(sector_gen(g.get(), "SECTOR_ARRAY", 1, 2)->device_pcf(), dir.dir() + "qv_sector_fc");
  EXPECT_EQ(sector_gen(g.get(), "SECTOR_ARRAY", 0, 0)->device_pcf(), dir.dir() + "qv_sector_cl");
  // The chosen type is written back into the parameter.
  VARNO_IBLOCK* e = g->get_block("SECTOR_ARRAY", false);
  EXPECT_EQ(e->get_param_value("ARRAY_TYPE", 5u), 4u);
  EXPECT_EQ(e->get_param_value("ARRAY_TYPE", 4u), 3u);
}

TEST(Sectors, FirstFailingSectorStopsLoading) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  // AIB sectors have no family file here: the first AIB cell fails with 1.
  fx.write_top("block SECTOR_ARRAY array\nblock AIB_ARRAY array\nblock IO_ARRAY array\n"
               "block ESRAM_BBUS data frame=TK_ESRAM_BBUS\n",
               std::string(s_grid_2x3) +
                   "param AIB_ARRAY ARRAY_COUNT 1 2\n"
                   "param AIB_ARRAY ARRAY_TYPE 2 2\n"
                   "arg AIB_ARRAY CNOC_ADDRESSES width=3 30 31 1 32 33 1\n"
                   "param IO_ARRAY ARRAY_COUNT 1 1\n"
                   "param IO_ARRAY ARRAY_TYPE 0\n"
                   "arg IO_ARRAY CNOC_ADDRESSES width=3 40 41 0\n");
  fx.write_sector_files({"qv_sector_cl", "qv_sector_f1", "qv_sector_f6"});
  u32 status = 99;
  auto g = fx.load(status);
  EXPECT_EQ(status, VARNO_PCF_FAMILY_MISSING);
  EXPECT_EQ(g->max_block_index(), 5u);
  // The failing cell named its files and took its CNOC address.
  VARNO_GEN* failed = sector_gen(g.get(), "AIB_ARRAY", 0, 0);
  EXPECT_EQ(failed->family_pcf(), dir.dir() + "quelvo_aib_family_vold");
  EXPECT_EQ(failed->device_pcf(), dir.dir() + "aib_3");
  EXPECT_EQ(failed->max_block_index(), 0u);
  EXPECT_EQ(g->get_meta_block("AIB_ARRAY", 0, 0)->generator(), failed);
  auto* m = dynamic_cast<VARNO_MBLOCK*>(g->get_meta_block("AIB_ARRAY", 0, 0));
  EXPECT_EQ(m->x(), 30u);
  EXPECT_TRUE(m->cnoc_flag());
  // Later cells and blocks keep an empty generator and their grid position.
  auto* later = dynamic_cast<VARNO_MBLOCK*>(g->get_meta_block("AIB_ARRAY", 0, 1));
  EXPECT_EQ(later->x(), 0u);
  EXPECT_EQ(later->y(), 1u);
  EXPECT_TRUE(sector_gen(g.get(), "AIB_ARRAY", 0, 1)->family_pcf().empty());
  ASSERT_NE(g->get_meta_block("IO_ARRAY", 0, 0), nullptr);
  EXPECT_EQ(sector_gen(g.get(), "IO_ARRAY", 0, 0)->max_block_index(), 0u);
  // Frame managers were still made after the failure.
  EXPECT_NE(dynamic_cast<VARNO_DBLOCK*>(g->get_block("ESRAM_BBUS", false))->get_frame_mgr(), nullptr);
  // Processing runs over the empty sectors too.
  EXPECT_TRUE(g->do_all_blocks());
}

TEST(Sectors, AibCellOfType9IsEmpty) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block AIB_ARRAY array\n",
               "param AIB_ARRAY ARRAY_COUNT 2 1\n"
               "param AIB_ARRAY ARRAY_TYPE 9 9\n"
               "arg AIB_ARRAY CNOC_ADDRESSES width=3 1 2 1 3 4 1\n");
  u32 status = 99;
  auto g = fx.load(status);
  EXPECT_EQ(status, VARNO_PCF_OK);
  auto* m = dynamic_cast<VARNO_MBLOCK*>(g->get_meta_block("AIB_ARRAY", 1, 0));
  EXPECT_EQ(m->x(), 1u);
  EXPECT_EQ(m->y(), 0u);
  EXPECT_FALSE(m->cnoc_flag());
  EXPECT_EQ(sector_gen(g.get(), "AIB_ARRAY", 1, 0)->max_block_index(), 0u);
  EXPECT_TRUE(g->do_all_blocks());
}

TEST(Sectors, TypePastTheNameTableIsRefused) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block SECTOR_ARRAY array\n",
               "param SECTOR_ARRAY ARRAY_COUNT 1 1\n"
               "param SECTOR_ARRAY ARRAY_TYPE 37\n"
               "arg SECTOR_ARRAY CNOC_ADDRESSES width=3 0 0 0\n");
  u32 status = 99;
  EXPECT_INTERNAL_ERROR(fx.load(status), "dev_type.size() > 0");
}

TEST(Sectors, ArrayWithoutCountHasNoSectors) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block SECTOR_ARRAY array\n", "param SECTOR_ARRAY ARRAY_TYPE 1\n");
  u32 status = 99;
  auto g = fx.load(status);
  EXPECT_EQ(status, VARNO_PCF_OK);
  EXPECT_EQ(g->get_meta_block("SECTOR_ARRAY", 0, 0), nullptr);
  EXPECT_TRUE(g->do_all_blocks());
}

TEST(Sectors, TkRevisionADeviceNames) {
  TEMP_DIR dir;
  dir.write("top_family.ddb", "ddb family 1\nfamily TROSKIVANE\nconfig_width 32\n"
                              "block IO_ARRAY array\nblock AIB_ARRAY array\n");
  dir.write("top_device.ddb", "ddb device 1\nfamily TROSKIVANE\ndevice 64\n"
                              "param IO_ARRAY ARRAY_COUNT 1 1\nparam IO_ARRAY ARRAY_TYPE 1\n"
                              "arg IO_ARRAY CNOC_ADDRESSES width=3 0 0 0\n"
                              "param AIB_ARRAY ARRAY_COUNT 1 1\nparam AIB_ARRAY ARRAY_TYPE 1\n"
                              "arg AIB_ARRAY CNOC_ADDRESSES width=3 0 0 0\n");
  dir.write("troskivane_io_family_vold.ddb", "ddb family 1\nfamily TROSKIVANE_IO\nconfig_width 32\n"
                                             "block IO_CSR option words=1\n");
  dir.write("tk_reva_io_2.ddb", "ddb device 1\nfamily TROSKIVANE_IO\ndevice 64\n"
                                "param IO_CSR BBUS_BIT_COUNT 0\n");
  auto g = new_generator(dir.file("top_family.ddb"), dir.file("top_device.ddb"));
  // The AIB family is missing: status 1 after the IO sector loaded.
  EXPECT_EQ(g->process_pcfs(false, false, false, nullptr, 64), VARNO_PCF_FAMILY_MISSING);
  EXPECT_EQ(sector_gen(g.get(), "IO_ARRAY", 0, 0)->device_pcf(), dir.dir() + "tk_reva_io_2");
  EXPECT_EQ(sector_gen(g.get(), "IO_ARRAY", 0, 0)->max_block_index(), 1u);
  EXPECT_EQ(sector_gen(g.get(), "AIB_ARRAY", 0, 0)->family_pcf(), dir.dir() + "troskivane_aib_family_vold");
  EXPECT_EQ(sector_gen(g.get(), "AIB_ARRAY", 0, 0)->device_pcf(), dir.dir() + "aib_2");
}

// Sector files whose sectors name themselves again would nest generators
// without end; the nesting stops at a controlled error instead of running
// out of stack.
TEST(Sectors, SelfNestingSectorFilesAreRefused) {
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block SECTOR_ARRAY array\n",
               "param SECTOR_ARRAY ARRAY_COUNT 1 1\n"
               "param SECTOR_ARRAY ARRAY_TYPE 1\n"
               "arg SECTOR_ARRAY CNOC_ADDRESSES width=3 0 0 0\n");
  // A sector family with a sector array of its own; sector families have no
  // file prefixes, so every level below names the same two files again.
  const std::string family =
      "ddb family 1\nfamily QUELVO_SECTOR\nconfig_width 32\nblock SECTOR_ARRAY array\n";
  const std::string device =
      "ddb device 1\nfamily QUELVO_SECTOR\ndevice DUMMY3\n"
      "param SECTOR_ARRAY ARRAY_COUNT 1 1\n"
      "param SECTOR_ARRAY ARRAY_TYPE 1\n"
      "arg SECTOR_ARRAY CNOC_ADDRESSES width=3 0 0 0\n";
  dir.write("quelvo_sector_family_vold.ddb", family);
  dir.write("qv_sector_cl.ddb", device);
  dir.write("sector_family_vold.ddb", family);
  dir.write("sector_cl.ddb", device);
  u32 status = 99;
  EXPECT_INTERNAL_ERROR(fx.load(status), "Sector arrays nested too deeply");
}

TEST(Sectors, ExpectedDataHasADirectoryPerSector) {
  SCRIPTED_MANAGERS managers;
  s_scripts[VOLD_FRAME_TK_ESRAM_BBUS] = SCRIPT{};
  TEMP_DIR dir;
  QV_FIXTURE fx(dir);
  fx.write_top("block SECTOR_ARRAY array\n", s_grid_2x3);
  fx.write_sector_files({"qv_sector_cl", "qv_sector_f1", "qv_sector_f6"});
  u32 status = 99;
  auto g = fx.load(status);
  ASSERT_EQ(status, VARNO_PCF_OK);
  const std::string out = dir.file("golden");
  g->dump_expected_data(out);
  for (u32 x = 0; x < 2; ++x) {
    for (u32 y = 0; y < 3; ++y) {
      const std::string sector = out + "/SECTOR_ARRAYX" + std::to_string(x) + "Y" + std::to_string(y);
      EXPECT_TRUE(fs::is_directory(sector)) << sector;
      EXPECT_EQ(read_file(sector + "/ESRAM_BBUS.img"), "expected 20\n");
      EXPECT_FALSE(fs::exists(sector + "/CNOC_HEADER"));
    }
  }
}

// ---- Destruction ------------------------------------------------------------------------------

namespace {

// A manager that keeps its block's device records from init and reads them
// again when it is deleted, as a manager releasing what it derived from
// them may.
class RECORD_READING_MGR : public SCRIPTED_MGR {
 public:
  RECORD_READING_MGR() : SCRIPTED_MGR(VOLD_FRAME_TK_ESRAM_BBUS) {}
  ~RECORD_READING_MGR() override {
    u32 total = 0;
    for (const VOLD_PARAM* p : m_params) total += p->get_size();
    s_sizes_seen.push_back(total);
  }
  bool init() override {
    m_params = m_parent->get_block_config()->m_param_list;
    return true;
  }
  static std::vector<u32> s_sizes_seen;

 private:
  std::vector<VOLD_PARAM*> m_params;
};
std::vector<u32> RECORD_READING_MGR::s_sizes_seen;

}  // namespace

// Blocks borrow the parameter records: the generator deletes them first, so
// the records are still there while the blocks go (AddressSanitizer would
// report a read of freed records otherwise).
TEST(Destruction, BlocksGoBeforeTheParameterInformation) {
  RECORD_READING_MGR::s_sizes_seen.clear();
  {
    FRAME_MGR_HOOK_SCOPE managers(
        [](VOLD_FRAME_TYPE) -> VARNO_FRAME_MGR* { return new RECORD_READING_MGR(); });
    auto g = new_generator(s_model_dir + "/flat_family.ddb", s_model_dir + "/flat_device.ddb");
    ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  }
  EXPECT_EQ(RECORD_READING_MGR::s_sizes_seen, std::vector<u32>({1u}));
}
