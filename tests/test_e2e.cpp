// End to end on the example device databases: a host's whole run (model
// build, design data, frames, CRC update, text dump, expected data) on the
// flat example and the sector example, the statuses of process_pcfs, sector
// failures, sectors that share device data, and the sectors' CNOC addresses
// and generators.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame_mgr.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "varno_test.h"
#include "vold.h"

namespace fs = std::filesystem;

namespace {

const std::string s_borquent = std::string(VARNO_EXAMPLES_DIR) + "/ddb/borquent/";
const std::string s_quelvo = std::string(VARNO_EXAMPLES_DIR) + "/ddb/quelvo/";
const std::string s_data = std::string(VARNO_EXAMPLES_DIR) + "/data/";
const std::string s_expected = std::string(VARNO_TEST_DATA_DIR) + "/e2e/";

// The example device's type, which a host hands to process_pcfs.
constexpr u32 BORQUENT_DEVICE_TYPE = 1;
constexpr u32 QUELVO_DEVICE_TYPE = 2;

class TEMP_DIR {
 public:
  TEMP_DIR() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_path = fs::temp_directory_path() / ("varno_e2e_" + std::to_string(::getpid()) + "_" +
                                          info->test_suite_name() + "_" + info->name());
    fs::remove_all(m_path);
    fs::create_directories(m_path);
  }
  ~TEMP_DIR() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  std::string path(const std::string& name) const { return (m_path / name).string(); }
  std::string dir() const { return m_path.string() + "/"; }

 private:
  fs::path m_path;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<u8> read_bytes(const std::string& path) {
  const std::string text = read_file(path);
  return std::vector<u8>(text.begin(), text.end());
}

std::unique_ptr<VARNO_GEN> new_generator(const std::string& family, const std::string& device) {
  auto gen = std::unique_ptr<VARNO_GEN>(dynamic_cast<VARNO_GEN*>(varno_get_factory()->create_generator()));
  gen->set_family_pcf(family);
  gen->set_device_pcf(device);
  return gen;
}

std::vector<u8> block_bytes(VARNO_IBLOCK* block) {
  std::vector<u8> out(block->get_block_size());
  block->read_block_data(out.data());
  return out;
}

// The option-block CRC, bit by bit (reflected, polynomial 0xA001), written
// apart from the library. It gives 0x4B37 over "123456789".
u16 crc16(const std::vector<u8>& bytes, u16 crc = 0xFFFF) {
  for (u8 b : bytes) {
    for (int i = 0; i < 8; ++i) {
      const bool t = (((b >> i) & 1) != 0) != ((crc & 1) != 0);
      crc >>= 1;
      if (t) crc ^= 0xA001;
    }
  }
  return crc;
}

VARNO_MBLOCK* sector(VARNO_GEN* top, u32 x, u32 y) {
  return dynamic_cast<VARNO_MBLOCK*>(top->get_meta_block("SECTOR_ARRAY", x, y));
}

VARNO_GEN* sector_gen(VARNO_GEN* top, u32 x, u32 y) {
  VARNO_MBLOCK* s = sector(top, x, y);
  return s != nullptr ? dynamic_cast<VARNO_GEN*>(s->generator()) : nullptr;
}

// A frame manager whose set-up fails in the generators whose device file
// name contains a given text (every generator when it is empty, none when it
// is "*").
std::string s_failing_device;

class FAILING_MGR : public VARNO_FRAME_MGR {
 public:
  bool create_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*) override { return true; }
  bool create_partial_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*, u32, u32) override { return true; }
  void set_parent(VARNO_DBLOCK* block) override { m_parent = block; }
  VARNO_DBLOCK* parent() override { return m_parent; }
  u32 potential_frames() override { return 0; }
  bool init() override {
    return s_failing_device == "*" ||
           m_parent->generator()->device_pcf().find(s_failing_device) == std::string::npos;
  }
  void set_random_filler(u16) override {}
  void set_user_frame_count(u32) override {}
  void dump_expected_data(std::string&) override {}

 private:
  VARNO_DBLOCK* m_parent = nullptr;
};

std::set<u32> s_routed_types;

// Routes the blocks of the given frame types to FAILING_MGR for the life of
// the object; device names which generators fail (see above).
class FAILING_MANAGERS {
 public:
  explicit FAILING_MANAGERS(std::string device, std::set<u32> types = {VOLD_FRAME_TK_ESRAM_BBUS}) {
    s_failing_device = std::move(device);
    s_routed_types = std::move(types);
    varno_set_frame_mgr_hook([](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
      return s_routed_types.count(type) != 0 ? new FAILING_MGR() : nullptr;
    });
  }
  ~FAILING_MANAGERS() { varno_set_frame_mgr_hook({}); }
};

// ---- The flat example ------------------------------------------------------------

// The expected dump tests/data/e2e/borquent_dump.txt was derived by hand from
// borquent_family.ddb and borquent_device.ddb, then compared with the
// library's output:
// - OPTION_BITS (16-byte image, then the CRC word): word 0 the constant
//   0x0F1E2D3C; word 1 JTAG_ID 0x12AB34CD from the device file; word 2
//   PGF_LENGTH in bits 0-15 = (8 bytes of SYNC1 + 0 of ESRAM_BBUS) / 4 = 2 and
//   PR_ENABLE in bit 16, so 0x00010002; word 3 zero. Lines are 16-bit words,
//   low half first.
// - CRC word: the CRC-16 (initial 0xFFFF, reflected 0xA001) over the 16 image
//   bytes and the two filler bytes 00 00, computed apart from the library
//   with a bit-serial implementation (crc16 above, which gives 0x4B37 over
//   "123456789"): 0x502C, so the word is 0x502C0000 and its lines 0000, 502C.
// - SYNC1 starts as all ones; word 0 is the constant 0x7E57C0DE.
// - ESRAM_BBUS has no frames and so writes nothing.
TEST(E2eBorquent, HostRunGivesTheHandDerivedDump) {
  TEMP_DIR dir;
  auto gen = new_generator(s_borquent + "borquent_family.ddb", s_borquent + "borquent_device.ddb");
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, BORQUENT_DEVICE_TYPE), 0u);

  std::vector<u8> data = read_bytes(s_data + "borquent/esram_bbus.bin");
  ASSERT_EQ(data.size(), 16u);
  gen->get_block("ESRAM_BBUS", false)->set_data(VARNO_BLOCK_DATA_BBUS, data.data(), 128, nullptr);
  ASSERT_TRUE(gen->do_all_blocks());
  for (u32 i = 0; i < gen->max_block_index(); ++i) gen->get_block_by_index(i)->crc_update();

  const std::vector<u8> image = {0x3C, 0x2D, 0x1E, 0x0F, 0xCD, 0x34, 0xAB, 0x12,
                                 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(crc16({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x4B37);
  std::vector<u8> with_filler = image;
  with_filler.insert(with_filler.end(), {0x00, 0x00});
  ASSERT_EQ(crc16(with_filler), 0x502C);
  std::vector<u8> option_bits = image;
  option_bits.insert(option_bits.end(), {0x00, 0x00, 0x2C, 0x50});
  EXPECT_EQ(block_bytes(gen->get_block("OPTION_BITS", false)), option_bits);
  EXPECT_EQ(block_bytes(gen->get_block("SYNC1", false)),
            (std::vector<u8>{0xDE, 0xC0, 0x57, 0x7E, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(gen->get_block("ESRAM_BBUS", false)->get_number_of_frames(), 0u);
  EXPECT_EQ(gen->bt_size(), 28u);

  gen->write_to_file(dir.path("dump.txt"), VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_EQ(read_file(dir.path("dump.txt")), read_file(s_expected + "borquent_dump.txt"));

  // Expected data: the directory, and nothing in it from a manager that
  // makes no frames.
  gen->dump_expected_data(dir.path("expected"));
  EXPECT_TRUE(fs::is_directory(dir.path("expected")));
  EXPECT_TRUE(fs::is_empty(dir.path("expected")));
}

TEST(E2eBorquent, LinkedLengthLeavesTheCrcStaleUntilCrcUpdate) {
  auto gen = new_generator(s_borquent + "borquent_family.ddb", s_borquent + "borquent_device.ddb");
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, BORQUENT_DEVICE_TYPE), 0u);
  ASSERT_TRUE(gen->do_all_blocks());
  auto* option_bits = dynamic_cast<VARNO_SBLOCK*>(gen->get_block("OPTION_BITS", false));
  ASSERT_NE(option_bits, nullptr);
  // The CRC was computed while PGF_LENGTH still held its default 0.
  const std::vector<u8> before_link = {0x3C, 0x2D, 0x1E, 0x0F, 0xCD, 0x34, 0xAB, 0x12, 0x00,
                                       0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(option_bits->crc_word(), u32{crc16(before_link)} << 16);
  EXPECT_EQ(option_bits->crc_word(), 0x9A8D0000u);
  option_bits->crc_update();
  EXPECT_EQ(option_bits->crc_word(), 0x502C0000u);
}

// ---- Statuses ---------------------------------------------------------------------

TEST(E2eStatus, MissingFamilyFileIsStatus1WithNothingBuilt) {
  TEMP_DIR dir;
  auto gen = new_generator(dir.path("no_family"), s_borquent + "borquent_device.ddb");
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, BORQUENT_DEVICE_TYPE), 1u);
  EXPECT_EQ(gen->max_block_index(), 0u);
  EXPECT_EQ(gen->device_pcf_info(), nullptr);
}

TEST(E2eStatus, FrameManagerThatFailsSetUpIsStatus7) {
  FAILING_MANAGERS managers("");
  auto gen = new_generator(s_borquent + "borquent_family.ddb", s_borquent + "borquent_device.ddb");
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, BORQUENT_DEVICE_TYPE), 7u);
  // The blocks and the device information are there all the same.
  EXPECT_EQ(gen->max_block_index(), 3u);
  EXPECT_NE(gen->device_pcf_info(), nullptr);
}

TEST(E2eStatus, SectorExampleIsStatus0) {
  auto gen = new_generator(s_quelvo + "quelvo_family.ddb", s_quelvo + "quelvo_device.ddb");
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), 0u);
}

// ---- Sectors ----------------------------------------------------------------------

// Copies the sector example into dir, leaving out the files named in skip.
void copy_quelvo(const TEMP_DIR& dir, const std::set<std::string>& skip) {
  for (const char* name : {"quelvo_family.ddb", "quelvo_device.ddb", "quelvo_sector_family_vold.ddb",
                           "qv_sector_cl.ddb", "qv_sector_f1.ddb"}) {
    if (skip.count(name) == 0) fs::copy_file(s_quelvo + name, dir.path(name));
  }
}

TEST(E2eSectors, MissingSectorFamilyFailsTheFirstSector) {
  TEMP_DIR dir;
  copy_quelvo(dir, {"quelvo_sector_family_vold.ddb"});
  auto gen = new_generator(dir.path("quelvo_family.ddb"), dir.path("quelvo_device.ddb"));
  // The sector's status 1, with the device's own blocks built.
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), 1u);
  EXPECT_EQ(gen->max_block_index(), 2u);
  VARNO_GEN* first = sector_gen(gen.get(), 0, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->family_pcf(), dir.dir() + "quelvo_sector_family_vold");
  EXPECT_EQ(first->max_block_index(), 0u);
  // Its CNOC address is recorded even though it failed; no later sector is
  // named.
  EXPECT_EQ(sector(gen.get(), 0, 0)->x(), 4u);
  EXPECT_EQ(sector(gen.get(), 0, 0)->y(), 8u);
  EXPECT_TRUE(sector_gen(gen.get(), 0, 1)->family_pcf().empty());
  EXPECT_TRUE(sector_gen(gen.get(), 1, 1)->family_pcf().empty());
}

TEST(E2eSectors, FailingSectorStopsLoadingTheRest) {
  FAILING_MANAGERS managers("qv_sector_f1");
  auto gen = new_generator(s_quelvo + "quelvo_family.ddb", s_quelvo + "quelvo_device.ddb");
  // Loading order is (0, 0) cl, (0, 1) f1: the f1 sector fails with 7.
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), 7u);
  EXPECT_EQ(sector_gen(gen.get(), 0, 0)->max_block_index(), 4u);
  EXPECT_EQ(sector_gen(gen.get(), 0, 1)->max_block_index(), 4u);
  EXPECT_EQ(sector(gen.get(), 0, 1)->x(), 4u);
  EXPECT_EQ(sector(gen.get(), 0, 1)->y(), 9u);
  // Column 1 is never loaded: no blocks, and the grid position stays.
  for (u32 y = 0; y < 2; ++y) {
    EXPECT_EQ(sector_gen(gen.get(), 1, y)->max_block_index(), 0u);
    EXPECT_EQ(sector(gen.get(), 1, y)->x(), 1u);
    EXPECT_EQ(sector(gen.get(), 1, y)->y(), y);
  }
  // Sectors without blocks build nothing and succeed.
  EXPECT_TRUE(sector_gen(gen.get(), 1, 0)->do_all_blocks());
}

TEST(E2eSectors, SectorsOfOneTypeShareOneS4ListPerDeviceFile) {
  auto gen = new_generator(s_quelvo + "quelvo_family.ddb", s_quelvo + "quelvo_device.ddb");
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), 0u);
  auto device = [&](u32 x, u32 y) { return sector_gen(gen.get(), x, y)->device_pcf_info()->get_device_info(); };
  // Loaded in the order (0, 0) cl, (0, 1) f1, (1, 0) f1, (1, 1) cl: the first
  // sector of each device file builds the list, the second shares it.
  VOLD_DEVICE_INFO* cl = device(0, 0);
  VOLD_DEVICE_INFO* f1 = device(0, 1);
  ASSERT_NE(cl->m_s4_s2_list, nullptr);
  ASSERT_NE(f1->m_s4_s2_list, nullptr);
  EXPECT_NE(cl->m_s4_s2_list, f1->m_s4_s2_list);
  EXPECT_EQ(device(1, 1)->m_s4_s2_list, nullptr);
  EXPECT_EQ(device(1, 1)->get_s4_s2_list(), cl->m_s4_s2_list);
  EXPECT_EQ(device(1, 0)->m_s4_s2_list, nullptr);
  EXPECT_EQ(device(1, 0)->get_s4_s2_list(), f1->m_s4_s2_list);
  EXPECT_EQ(device(1, 0)->m_s4_s2_list_size, 4u);

  // Each sector reads its own type's parameters.
  EXPECT_EQ(sector_gen(gen.get(), 0, 0)->get_block("ESRAM_BBUS", false)->get_param_value("BBUS_BIT_COUNT", 0u), 64u);
  EXPECT_EQ(sector_gen(gen.get(), 1, 0)->get_block("ESRAM_BBUS", false)->get_param_value("BBUS_BIT_COUNT", 0u), 32u);
}

TEST(E2eSectors, MetaBlocksCarryCnocAddressesAndTheirOwnGenerators) {
  auto gen = new_generator(s_quelvo + "quelvo_family.ddb", s_quelvo + "quelvo_device.ddb");
  gen->get_mgr_param()->skip_headers = 1;
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), 0u);
  auto* array = dynamic_cast<VARNO_EBLOCK*>(gen->get_block("SECTOR_ARRAY", false));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->x_sector_count(), 2u);
  EXPECT_EQ(array->y_sector_count(), 2u);

  struct CELL {
    u32 x, y, cnoc_x, cnoc_y;
    bool flag;
    const char* device;
  };
  const CELL cells[] = {{0, 0, 4, 8, true, "qv_sector_cl"},
                        {1, 0, 5, 8, false, "qv_sector_f1"},
                        {0, 1, 4, 9, false, "qv_sector_f1"},
                        {1, 1, 5, 9, true, "qv_sector_cl"}};
  std::set<VARNO_IGEN*> generators;
  for (const CELL& c : cells) {
    SCOPED_TRACE(testing::Message() << "sector " << c.x << " " << c.y);
    VARNO_MBLOCK* meta = sector(gen.get(), c.x, c.y);
    ASSERT_NE(meta, nullptr);
    EXPECT_EQ(meta->x(), c.cnoc_x);
    EXPECT_EQ(meta->y(), c.cnoc_y);
    EXPECT_EQ(meta->cnoc_flag(), c.flag);
    EXPECT_EQ(meta->eblock(), array);
    auto* sgen = dynamic_cast<VARNO_GEN*>(meta->generator());
    ASSERT_NE(sgen, nullptr);
    generators.insert(sgen);
    EXPECT_EQ(sgen->meta_block(), meta);
    EXPECT_EQ(sgen->family_pcf(), s_quelvo + "quelvo_sector_family_vold");
    EXPECT_EQ(sgen->device_pcf(), s_quelvo + c.device);
    // The sector's own blocks, in its family's order.
    ASSERT_EQ(sgen->max_block_index(), 4u);
    EXPECT_EQ(sgen->block_index("CNOC_HEADER"), 0u);
    EXPECT_EQ(sgen->block_index("ERAM_HEADER"), 2u);
    EXPECT_EQ(sgen->block_index("ESRAM_BBUS"), 3u);
    // Sectors start from the default record and get the top device type.
    EXPECT_EQ(sgen->get_mgr_param()->skip_headers, 0u);
    EXPECT_EQ(sgen->device_pcf_info()->get_device_info()->top_device_type, QUELVO_DEVICE_TYPE);
  }
  EXPECT_EQ(generators.size(), 4u);
  EXPECT_EQ(gen->get_meta_block("SECTOR_ARRAY", 2, 0), nullptr);
  EXPECT_EQ(gen->get_meta_block("SECTOR_ARRAY", 0, 2), nullptr);
}

// The sector files are ready for the CRAM and ERAM blocks: with the two
// block lines of the sector family enabled (and stand-in managers for the
// two frame types), each sector's blocks get a consistent geometry from its
// device file.
TEST(E2eSectors, SectorFilesCarryTheCramAndEramGeometry) {
  TEMP_DIR dir;
  copy_quelvo(dir, {"quelvo_sector_family_vold.ddb"});
  std::string family = read_file(s_quelvo + "quelvo_sector_family_vold.ddb");
  for (const std::string line : {"block CRAM data frame=QV_CRAM w6=1", "block ERAM data frame=QV_ERAM"}) {
    const size_t at = family.find("#" + line + "\n");
    ASSERT_NE(at, std::string::npos) << line;
    family.erase(at, 1);
  }
  std::ofstream(dir.path("quelvo_sector_family_vold.ddb"), std::ios::binary) << family;

  FAILING_MANAGERS managers("*", {VOLD_FRAME_QV_CRAM, VOLD_FRAME_QV_ERAM, VOLD_FRAME_TK_ESRAM_BBUS});
  auto gen = new_generator(dir.path("quelvo_family.ddb"), dir.path("quelvo_device.ddb"));
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), 0u);
  for (u32 cell = 0; cell < 4; ++cell) {
    VARNO_GEN* sgen = sector_gen(gen.get(), cell % 2, cell / 2);
    SCOPED_TRACE(sgen->device_pcf());
    ASSERT_EQ(sgen->max_block_index(), 6u);
    EXPECT_EQ(sgen->block_index("CRAM"), 3u);
    EXPECT_EQ(sgen->block_index("ERAM"), 4u);
    EXPECT_EQ(sgen->get_block("CRAM", false)->frame_type(), VOLD_FRAME_QV_CRAM);
    // Header records: CNOC and CNT of two words, ERAM of one.
    EXPECT_EQ(sgen->get_block("CNOC_HEADER", false)->get_block_size(), 8u);
    EXPECT_EQ(sgen->get_block("CNT_HEADER", false)->get_block_size(), 8u);
    EXPECT_EQ(sgen->get_block("ERAM_HEADER", false)->get_block_size(), 4u);

    // CRAM: the two data registers fill a frame, whole 32-bit words each; the
    // maps cover every frame and bit.
    VARNO_IBLOCK* cram = sgen->get_block("CRAM", false);
    const u32 frames = cram->get_param_value("CRAM_FRAME_COUNT", 0u);
    const u32 bits = cram->get_param_value("CRAM_BIT_COUNT", 0u);
    ASSERT_EQ(cram->get_param_size("DRAS"), 2u);
    const u32 dr0 = cram->get_param_value("DRAS", 0u);
    const u32 dr1 = cram->get_param_value("DRAS", 1u);
    EXPECT_EQ(dr0 + dr1, bits);
    EXPECT_EQ(dr0 % 32, 0u);
    EXPECT_EQ(dr1 % 32, 0u);
    EXPECT_EQ(cram->get_arg_width("CRAM_IMG_FRAME_TO_BS_FRAME_MAP"), frames);
    EXPECT_EQ(cram->get_arg_width("CRAM_BS_FRAME_TO_IMG_FRAME_MAP"), frames);
    EXPECT_EQ(cram->get_arg_width("IMG_TO_RAW_MAP"), bits);
    EXPECT_EQ(cram->get_arg_width("RAW_TO_IMG_MAP"), bits);
    EXPECT_EQ(cram->get_arg_width("IMG_TO_RAW_MAP_REV32"), bits);
    EXPECT_EQ(cram->get_arg_width("RAW_TO_IMG_MAP_REV32"), bits);
    EXPECT_EQ(cram->get_arg_width("DRA_S4_INFO"), frames);
    EXPECT_GT(cram->get_arg_value("BROW_FRAME_SIZE", 0, 0), 0u);
    EXPECT_EQ(sgen->device_pcf_info()->get_device_info()->m_s4_s2_list_size, frames);

    // ERAM: whole blocks of whole bytes.
    VARNO_IBLOCK* eram = sgen->get_block("ERAM", false);
    const u32 cols = eram->get_param_value("ERAM_COL_COUNT", 0u);
    const u32 cols_per_block = eram->get_param_value("ERAM_COLS_PER_BLOCK", 0u);
    EXPECT_EQ(cols % cols_per_block, 0u);
    EXPECT_EQ(cols_per_block % 8, 0u);
    EXPECT_EQ(eram->get_param_value("ERAM_ROW_COUNT", 0u) % eram->get_param_value("ERAM_ROWS_PER_BLOCK", 0u), 0u);
  }
}

TEST(E2eSectors, HostRunOfTheSectorExample) {
  TEMP_DIR dir;
  auto gen = new_generator(s_quelvo + "quelvo_family.ddb", s_quelvo + "quelvo_device.ddb");
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), 0u);
  std::vector<u8> cl = read_bytes(s_data + "quelvo/esram_bbus_cl.bin");
  std::vector<u8> f1 = read_bytes(s_data + "quelvo/esram_bbus_f1.bin");
  ASSERT_EQ(cl.size(), 8u);
  ASSERT_EQ(f1.size(), 4u);
  sector_gen(gen.get(), 0, 0)->get_block("ESRAM_BBUS", false)->set_data(VARNO_BLOCK_DATA_BBUS, cl.data(), 64, nullptr);
  sector_gen(gen.get(), 1, 0)->get_block("ESRAM_BBUS", false)->set_data(VARNO_BLOCK_DATA_BBUS, f1.data(), 32, nullptr);
  ASSERT_TRUE(gen->do_all_blocks());

  // The top dump holds only the option bits: 0x5EC70A11, JTAG_ID 0x0A51C0DE,
  // and the CRC word 0xD58E0000 (the CRC-16 of the eight image bytes and the
  // two filler bytes, by crc16 above). A sector-array block writes nothing.
  EXPECT_EQ(crc16({0x11, 0x0A, 0xC7, 0x5E, 0xDE, 0xC0, 0x51, 0x0A, 0x00, 0x00}), 0xD58E);
  gen->write_to_file(dir.path("dump.txt"), VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_EQ(read_file(dir.path("dump.txt")), read_file(s_expected + "quelvo_dump.txt"));

  // A sector's dump: the header blocks with their defaults (ERAM_HDR_CMD 1
  // in bits 8-11 of the ERAM record).
  sector_gen(gen.get(), 1, 0)->write_to_file(dir.path("sector.txt"), VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_EQ(read_file(dir.path("sector.txt")), read_file(s_expected + "quelvo_sector_dump.txt"));
  EXPECT_EQ(gen->bt_size(), 12u);
  EXPECT_EQ(sector_gen(gen.get(), 1, 1)->bt_size(), 20u);

  // One expected-data directory per sector.
  gen->dump_expected_data(dir.path("expected"));
  for (const char* name : {"SECTOR_ARRAYX0Y0", "SECTOR_ARRAYX1Y0", "SECTOR_ARRAYX0Y1", "SECTOR_ARRAYX1Y1"})
    EXPECT_TRUE(fs::is_directory(dir.path("expected/") + name)) << name;
}

}  // namespace
