// End to end on the example device databases: a host's whole run (model
// build, design data, frames, CRC update, text dump, expected data) on the
// flat example and the sector example, the statuses of process_pcfs, sector
// failures, sectors that share device data, the sectors' CNOC addresses and
// generators, and the CRAM and ERAM frames and expected data of every sector.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "files.h"
#include "generator_fixture.h"
#include "group_fixture.h"
#include "varno_block_config.h"
#include "varno_itop_bitstream.h"
#include "varno_mgr_param.h"
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

class FAILING_MGR : public STUB_FRAME_MGR {
 public:
  bool init() override {
    return s_failing_device == "*" ||
           m_parent->generator()->device_pcf().find(s_failing_device) == std::string::npos;
  }
};

std::set<u32> s_routed_types;

// Routes the blocks of the given frame types to FAILING_MGR for the life of
// the object; device names which generators fail (see above).
class FAILING_MANAGERS {
 public:
  explicit FAILING_MANAGERS(std::string device, std::set<u32> types = {VOLD_FRAME_TK_ESRAM_BBUS}) {
    s_failing_device = std::move(device);
    s_routed_types = std::move(types);
  }

 private:
  FRAME_MGR_HOOK_SCOPE m_hook{[](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
    return s_routed_types.count(type) != 0 ? new FAILING_MGR() : nullptr;
  }};
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
//   with a bit-serial implementation (the tests' crc16, which gives 0x4B37
//   over "123456789"): 0x502C, so the word is 0x502C0000 and its lines 0000, 502C.
// - SYNC1 starts as all ones; word 0 is the constant 0x7E57C0DE.
// - ESRAM_BBUS has no frames and so writes nothing.
// The top-level bitstream tests/data/e2e/borquent_bitstream.bin is the same
// bytes in binary: the 20 of OPTION_BITS, then the 8 of SYNC1.
TEST(E2eBorquent, HostRunGivesTheHandDerivedDump) {
  TEMP_DIR dir;
  auto gen = new_generator(s_borquent + "borquent_family.ddb", s_borquent + "borquent_device.ddb");
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, BORQUENT_DEVICE_TYPE), VARNO_PCF_OK);

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
  const std::vector<u8> sync1 = {0xDE, 0xC0, 0x57, 0x7E, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(block_bytes(gen->get_block("SYNC1", false)), sync1);
  EXPECT_EQ(gen->get_block("ESRAM_BBUS", false)->get_number_of_frames(), 0u);
  EXPECT_EQ(gen->bt_size(), 28u);
  // The example host's top-level bitstream of the flat family: every block's
  // bytes in block order, neither merged nor hashed.
  std::vector<u8> bitstream = option_bits;
  bitstream.insert(bitstream.end(), sync1.begin(), sync1.end());
  EXPECT_EQ(read_bytes(s_expected + "borquent_bitstream.bin"), bitstream);

  gen->write_to_file(dir.file("dump.txt"), VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_EQ(read_file(dir.file("dump.txt")), read_file(s_expected + "borquent_dump.txt"));

  // Expected data: the directory, and nothing in it from a manager that
  // makes no frames.
  gen->dump_expected_data(dir.file("expected"));
  EXPECT_TRUE(fs::is_directory(dir.file("expected")));
  EXPECT_TRUE(fs::is_empty(dir.file("expected")));
}

TEST(E2eBorquent, LinkedLengthLeavesTheCrcStaleUntilCrcUpdate) {
  auto gen = new_generator(s_borquent + "borquent_family.ddb", s_borquent + "borquent_device.ddb");
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, BORQUENT_DEVICE_TYPE), VARNO_PCF_OK);
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
  auto gen = new_generator(dir.file("no_family"), s_borquent + "borquent_device.ddb");
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, BORQUENT_DEVICE_TYPE), VARNO_PCF_FAMILY_MISSING);
  EXPECT_EQ(gen->max_block_index(), 0u);
  EXPECT_EQ(gen->device_pcf_info(), nullptr);
}

TEST(E2eStatus, FrameManagerThatFailsSetUpIsStatus7) {
  FAILING_MANAGERS managers("");
  auto gen = new_generator(s_borquent + "borquent_family.ddb", s_borquent + "borquent_device.ddb");
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, BORQUENT_DEVICE_TYPE), VARNO_PCF_FRAME_MGR_FAILED);
  // The blocks and the device information are there all the same.
  EXPECT_EQ(gen->max_block_index(), 3u);
  EXPECT_NE(gen->device_pcf_info(), nullptr);
}

TEST(E2eStatus, SectorExampleIsStatus0) {
  auto gen = new_generator(s_quelvo + "quelvo_family.ddb", s_quelvo + "quelvo_device.ddb");
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), VARNO_PCF_OK);
}

// ---- Sectors ----------------------------------------------------------------------

// Copies the sector example into dir, leaving out the files named in skip.
void copy_quelvo(const TEMP_DIR& dir, const std::set<std::string>& skip) {
  for (const char* name : {"quelvo_family.ddb", "quelvo_device.ddb", "quelvo_sector_family_vold.ddb",
                           "qv_sector_cl.ddb", "qv_sector_f1.ddb"}) {
    if (skip.count(name) == 0) fs::copy_file(s_quelvo + name, dir.file(name));
  }
}

TEST(E2eSectors, MissingSectorFamilyFailsTheFirstSector) {
  TEMP_DIR dir;
  copy_quelvo(dir, {"quelvo_sector_family_vold.ddb"});
  auto gen = new_generator(dir.file("quelvo_family.ddb"), dir.file("quelvo_device.ddb"));
  // The sector's status 1, with the device's own blocks built.
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), VARNO_PCF_FAMILY_MISSING);
  EXPECT_EQ(gen->max_block_index(), 10u);
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
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), VARNO_PCF_FRAME_MGR_FAILED);
  EXPECT_EQ(sector_gen(gen.get(), 0, 0)->max_block_index(), 6u);
  EXPECT_EQ(sector_gen(gen.get(), 0, 1)->max_block_index(), 6u);
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
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), VARNO_PCF_OK);
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
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), VARNO_PCF_OK);
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
    ASSERT_EQ(sgen->max_block_index(), 6u);
    EXPECT_EQ(sgen->block_index("CNOC_HEADER"), 0u);
    EXPECT_EQ(sgen->block_index("ERAM_HEADER"), 2u);
    EXPECT_EQ(sgen->block_index("CRAM"), 3u);
    EXPECT_EQ(sgen->block_index("ERAM"), 4u);
    EXPECT_EQ(sgen->block_index("ESRAM_BBUS"), 5u);
    // Sectors start from the default record and get the top device type.
    EXPECT_EQ(sgen->get_mgr_param()->skip_headers, 0u);
    EXPECT_EQ(sgen->device_pcf_info()->get_device_info()->top_device_type, QUELVO_DEVICE_TYPE);
  }
  EXPECT_EQ(generators.size(), 4u);
  EXPECT_EQ(gen->get_meta_block("SECTOR_ARRAY", 2, 0), nullptr);
  EXPECT_EQ(gen->get_meta_block("SECTOR_ARRAY", 0, 2), nullptr);
}

// ---- CRAM and ERAM frames of the sector example -------------------------------------

// The example's design data, as the README's run passes it: CRAM, ERAM and
// bus data for every sector. The files are runs of consecutive byte values:
//   cram_cl.bin  0x20..0x3F (4 rows of 64 bits, 8 bytes a row)
//   cram_f1.bin  0x80..0xAF (4 rows of 96 bits, 12 bytes a row)
//   eram_cl.bin  0x40..0x7F (8 rows of 64 bits, 8 bytes a row)
//   eram_f1.bin  0xC0..0xDF (8 rows of 32 bits, 4 bytes a row)
struct SECTOR_TYPE {
  const char* name;
  u32 cram_rows, cram_row_bytes, eram_rows, eram_row_bytes;
  u8 cram_first, eram_first;
};
const SECTOR_TYPE s_cl{"cl", 4, 8, 8, 8, 0x20, 0x40};
const SECTOR_TYPE s_f1{"f1", 4, 12, 8, 4, 0x80, 0xC0};

// Grid cell, its CNOC address (from CNOC_ADDRESSES of the device file) and
// type. Every address differs from its grid position.
struct CELL {
  u32 x, y, cnoc_x, cnoc_y;
  const SECTOR_TYPE* type;
};
const CELL s_cells[] = {{0, 0, 4, 8, &s_cl}, {1, 0, 5, 8, &s_f1}, {0, 1, 4, 9, &s_f1}, {1, 1, 5, 9, &s_cl}};

// The sector example loaded, with the design data of every sector in place
// (the buffers outlive the generator, which borrows them) and nothing built.
// With group_switches, the top record is set up for a compressed block group
// before the model build, as the example host does.
class QUELVO_RUN {
 public:
  explicit QUELVO_RUN(bool group_switches = false) {
    gen = new_generator(s_quelvo + "quelvo_family.ddb", s_quelvo + "quelvo_device.ddb");
    if (group_switches) {
      gen->get_mgr_param()->group_compressed = 1;
      gen->get_mgr_param()->s4_variant = 0;
    }
    status = gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE);
    if (status != VARNO_PCF_OK) return;
    for (const char* type : {"cl", "f1"}) {
      for (const char* kind : {"cram", "eram", "esram_bbus"})
        m_files[std::string(kind) + "_" + type] = read_bytes(s_data + "quelvo/" + kind + "_" + type + ".bin");
    }
    for (const CELL& c : s_cells) {
      VARNO_GEN* sgen = sector_gen(gen.get(), c.x, c.y);
      const std::string t = c.type->name;
      place(sgen, "CRAM", VARNO_BLOCK_DATA_CRAM, m_files["cram_" + t]);
      place(sgen, "ERAM", VARNO_BLOCK_DATA_ERAM, m_files["eram_" + t]);
      place(sgen, "ESRAM_BBUS", VARNO_BLOCK_DATA_BBUS, m_files["esram_bbus_" + t]);
    }
  }

  VARNO_IBLOCK* block(u32 x, u32 y, const char* name) const {
    return sector_gen(gen.get(), x, y)->get_block(name, false);
  }

  std::unique_ptr<VARNO_GEN> gen;
  u32 status = ~0u;

 private:
  static void place(VARNO_GEN* sgen, const char* name, VARNO_BLOCK_DATA_TYPE slot, std::vector<u8>& bytes) {
    sgen->get_block(name, false)->set_data(slot, bytes.data(), static_cast<u32>(bytes.size() * 8), nullptr);
  }
  std::map<std::string, std::vector<u8>> m_files;
};

std::vector<u32> frame_sizes(VARNO_IBLOCK* block) {
  std::vector<u32> sizes;
  for (u32 i = 0; i < block->get_number_of_frames(); ++i) sizes.push_back(block->get_frame_size(i));
  return sizes;
}

// The example's CNOC record (8 bytes): SRC bits 0-3, MSG_TYPE 4-7, LEN 8-23
// (32-bit words), X 32-47, Y 48-63. CNT record (8 bytes): WRITE_OP bits 0-3,
// AREG 4-7, RSVD 8-15, LEN 16-31, OFFSET 32-63.
struct CNOC_FIELDS {
  u32 src, type, len, x, y;
};
CNOC_FIELDS cnoc_at(const std::vector<u8>& b, size_t at) {
  return {b.at(at) & 0xFu, u32{b.at(at)} >> 4, read_le16(b, at + 1), read_le16(b, at + 4),
          read_le16(b, at + 6)};
}
struct CNT_FIELDS {
  u32 op, areg, rsvd, len, offset;
};
CNT_FIELDS cnt_at(const std::vector<u8>& b, size_t at) {
  return {b.at(at) & 0xFu, u32{b.at(at)} >> 4, b.at(at + 1), read_le16(b, at + 2), read_le32(b, at + 4)};
}

// Frame counts and sizes, from the sector files and the frame layouts:
// - CNOC and CNT records are 8 bytes each, so H = 16; the ERAM record adds 4.
// - CRAM, with records (w6=1 turns S4 off; skip_headers is 0): one frame per
//   IMG row (4 rows, no spare rows), D + 2H bytes, D = (DRAS[0] + DRAS[1]) / 8:
//   cl 64 bits, 8 + 32 = 40; f1 96 bits, 12 + 32 = 44.
// - ERAM: B = cols / 32 blocks per row group, (8 / 4) row groups; a frame is
//   4 × 32 / 8 = 16 bytes + 20 of records, and 40 × B zero bytes more at a row
//   group's end: cl B = 2: 36, 116, 36, 116; f1 B = 1: 76, 76.
TEST(E2eSectorFrames, EverySectorFramesItsCramAndEram) {
  QUELVO_RUN run;
  ASSERT_EQ(run.status, VARNO_PCF_OK);
  ASSERT_TRUE(run.gen->do_all_blocks());
  for (const CELL& c : s_cells) {
    SCOPED_TRACE(testing::Message() << "sector " << c.x << " " << c.y);
    VARNO_GEN* sgen = sector_gen(run.gen.get(), c.x, c.y);
    ASSERT_EQ(sgen->max_block_index(), 6u);
    EXPECT_EQ(sgen->block_index("CRAM"), 3u);
    EXPECT_EQ(sgen->block_index("ERAM"), 4u);
    VARNO_IBLOCK* cram = run.block(c.x, c.y, "CRAM");
    VARNO_IBLOCK* eram = run.block(c.x, c.y, "ERAM");
    EXPECT_EQ(cram->frame_type(), VOLD_FRAME_QV_CRAM);
    EXPECT_EQ(eram->frame_type(), VOLD_FRAME_QV_ERAM);
    if (c.type == &s_cl) {
      EXPECT_EQ(frame_sizes(cram), (std::vector<u32>{40, 40, 40, 40}));
      EXPECT_EQ(frame_sizes(eram), (std::vector<u32>{36, 116, 36, 116}));
      EXPECT_EQ(cram->get_block_size(), 160u);
      EXPECT_EQ(eram->get_block_size(), 304u);
      // 20 bytes of header blocks, the frames, no bus frames.
      EXPECT_EQ(sgen->bt_size(), 484u);
    } else {
      EXPECT_EQ(frame_sizes(cram), (std::vector<u32>{44, 44, 44, 44}));
      EXPECT_EQ(frame_sizes(eram), (std::vector<u32>{76, 76}));
      EXPECT_EQ(cram->get_block_size(), 176u);
      EXPECT_EQ(eram->get_block_size(), 152u);
      EXPECT_EQ(sgen->bt_size(), 348u);
    }
    EXPECT_EQ(run.block(c.x, c.y, "ESRAM_BBUS")->get_number_of_frames(), 0u);
  }
  // The device's own image: the option bits (12 bytes) and the group's
  // layout blocks, 8 + 16 + 12 + 40 + 4 + 8 + 4 + 8 bytes.
  EXPECT_EQ(run.gen->bt_size(), 112u);
}

// Every record of every frame carries the sector's CNOC address, which the
// meta block holds after the sectors were set up, not its grid position.
// CRAM frames: CNOC (len H / 4 + W0) and CNT (op 3, len W0, offset 0x24000)
// at bytes 0 and 8, then CNOC (len H / 4 + W1) and CNT (op 5, len W1, offset
// 0x25000) at H + 4 × W0; W0 = DRAS[0] / 32 (cl 1, f1 2), W1 = 1. ERAM
// frames: CNOC (len = frame bytes / 4), CNT op 4, or 6 at a row group's end,
// len 0, offset 0x26000.
TEST(E2eSectorFrames, RecordsCarryTheSectorsCnocAddress) {
  QUELVO_RUN run;
  ASSERT_EQ(run.status, VARNO_PCF_OK);
  ASSERT_TRUE(run.gen->do_all_blocks());
  for (const CELL& c : s_cells) {
    SCOPED_TRACE(testing::Message() << "sector " << c.x << " " << c.y);
    VARNO_MBLOCK* meta = sector(run.gen.get(), c.x, c.y);
    ASSERT_EQ(meta->x(), c.cnoc_x);
    ASSERT_EQ(meta->y(), c.cnoc_y);
    const u32 w0 = c.type == &s_cl ? 1 : 2;
    VARNO_IBLOCK* cram = run.block(c.x, c.y, "CRAM");
    ASSERT_EQ(cram->get_number_of_frames(), 4u);
    for (u32 i = 0; i < 4; ++i) {
      SCOPED_TRACE(testing::Message() << "CRAM frame " << i);
      const std::vector<u8> f = frame(cram, i);
      const size_t second = 16 + 4 * w0;
      for (size_t at : {size_t{0}, second}) {
        const CNOC_FIELDS cnoc = cnoc_at(f, at);
        EXPECT_EQ(cnoc.src, 0u);
        EXPECT_EQ(cnoc.type, 0u);
        EXPECT_EQ(cnoc.len, at == 0 ? 4 + w0 : 5u);
        EXPECT_EQ(cnoc.x, c.cnoc_x);
        EXPECT_EQ(cnoc.y, c.cnoc_y);
        const CNT_FIELDS cnt = cnt_at(f, at + 8);
        EXPECT_EQ(cnt.op, at == 0 ? 3u : 5u);
        EXPECT_EQ(cnt.areg, 0u);
        EXPECT_EQ(cnt.rsvd, 0u);
        EXPECT_EQ(cnt.len, at == 0 ? w0 : 1u);
        EXPECT_EQ(cnt.offset, at == 0 ? 0x24000u : 0x25000u);
      }
    }
    VARNO_IBLOCK* eram = run.block(c.x, c.y, "ERAM");
    const u32 b_count = c.type == &s_cl ? 2 : 1;
    for (u32 i = 0; i < eram->get_number_of_frames(); ++i) {
      SCOPED_TRACE(testing::Message() << "ERAM frame " << i);
      const std::vector<u8> f = frame(eram, i);
      const bool group_end = (i + 1) % b_count == 0;
      const CNOC_FIELDS cnoc = cnoc_at(f, 0);
      EXPECT_EQ(cnoc.len, f.size() / 4);
      EXPECT_EQ(cnoc.x, c.cnoc_x);
      EXPECT_EQ(cnoc.y, c.cnoc_y);
      const CNT_FIELDS cnt = cnt_at(f, 8);
      EXPECT_EQ(cnt.op, group_end ? 6u : 4u);
      EXPECT_EQ(cnt.len, 0u);
      EXPECT_EQ(cnt.offset, 0x26000u);
    }
  }
}

// Whole frames, derived by hand from the files:
// - CRAM frame 1 of sector (1, 0), type f1, CNOC address (5, 8): the maps are
//   the identity, so bitstream row 1 is IMG row 1 = bytes 12..23 of
//   cram_f1.bin = 0x8C..0x97; DR0 (64 bits) is 8C..93, DR1 (32 bits) 94..97.
//   Bytes 0-7 CNOC len 16 / 4 + 2 = 6, x 5, y 8; 8-15 CNT op 3, len 2, offset
//   0x24000; 16-23 DR0; 24-31 CNOC len 4 + 1 = 5; 32-39 CNT op 5, len 1,
//   offset 0x25000; 40-43 DR1.
// - ERAM frame 1 of sector (1, 0): B = 1, so row group 1 (rows 4..7) and the
//   end of its group: 76 bytes, CNOC len 19, CNT op 6. The ERAM record: ADDR
//   0 (bits 0-7), CMD 1 as the family file sets it (bits 8-11), SIZE 4 rows
//   (bits 12-23): 0x00004100. Then rows 7, 6, 5, 4, 4 bytes each from
//   eram_f1.bin (row r at 0xC0 + 4r), then 40 zero bytes.
// - ERAM frame 2 of sector (0, 0), type cl, CNOC address (4, 8): B = 2, row
//   group 1, block column 0, not a group end: 36 bytes, CNOC len 9, CNT op 4,
//   ADDR 0; it starts at ERAM bit 4 × 64 = 256, and its payload is columns
//   0..31 of rows 7, 6, 5, 4 (row r at 0x40 + 8r in eram_cl.bin).
// - ERAM frame 3 of sector (0, 0): block column 1 ends the group: 116 bytes,
//   CNOC len 29, op 6, ADDR 1, columns 32..63 (bytes 4..7 of each row), 80
//   zero bytes.
TEST(E2eSectorFrames, WholeFramesMatchTheHandDerivedBytes) {
  QUELVO_RUN run;
  ASSERT_EQ(run.status, VARNO_PCF_OK);
  ASSERT_TRUE(run.gen->do_all_blocks());

  const std::vector<u8> cram_f1_1 = {
      0x00, 0x06, 0x00, 0x00, 0x05, 0x00, 0x08, 0x00,  // CNOC
      0x03, 0x00, 0x02, 0x00, 0x00, 0x40, 0x02, 0x00,  // CNT
      0x8C, 0x8D, 0x8E, 0x8F, 0x90, 0x91, 0x92, 0x93,  // DR0
      0x00, 0x05, 0x00, 0x00, 0x05, 0x00, 0x08, 0x00,  // CNOC
      0x05, 0x00, 0x01, 0x00, 0x00, 0x50, 0x02, 0x00,  // CNT
      0x94, 0x95, 0x96, 0x97};                         // DR1
  EXPECT_EQ(frame(run.block(1, 0, "CRAM"), 1), cram_f1_1);

  std::vector<u8> eram_f1_1 = {
      0x00, 0x13, 0x00, 0x00, 0x05, 0x00, 0x08, 0x00,  // CNOC
      0x06, 0x00, 0x00, 0x00, 0x00, 0x60, 0x02, 0x00,  // CNT
      0x00, 0x41, 0x00, 0x00,                          // ERAM record
      0xDC, 0xDD, 0xDE, 0xDF, 0xD8, 0xD9, 0xDA, 0xDB,  // rows 7, 6
      0xD4, 0xD5, 0xD6, 0xD7, 0xD0, 0xD1, 0xD2, 0xD3};  // rows 5, 4
  eram_f1_1.resize(76, 0);
  EXPECT_EQ(frame(run.block(1, 0, "ERAM"), 1), eram_f1_1);

  const std::vector<u8> eram_cl_2 = {
      0x00, 0x09, 0x00, 0x00, 0x04, 0x00, 0x08, 0x00,  // CNOC
      0x04, 0x00, 0x00, 0x00, 0x00, 0x60, 0x02, 0x00,  // CNT
      0x00, 0x41, 0x00, 0x00,                          // ERAM record
      0x78, 0x79, 0x7A, 0x7B, 0x70, 0x71, 0x72, 0x73,  // rows 7, 6
      0x68, 0x69, 0x6A, 0x6B, 0x60, 0x61, 0x62, 0x63};  // rows 5, 4
  EXPECT_EQ(frame(run.block(0, 0, "ERAM"), 2), eram_cl_2);

  std::vector<u8> eram_cl_3 = {
      0x00, 0x1D, 0x00, 0x00, 0x04, 0x00, 0x08, 0x00,  // CNOC
      0x06, 0x00, 0x00, 0x00, 0x00, 0x60, 0x02, 0x00,  // CNT
      0x01, 0x41, 0x00, 0x00,                          // ERAM record
      0x7C, 0x7D, 0x7E, 0x7F, 0x74, 0x75, 0x76, 0x77,  // rows 7, 6
      0x6C, 0x6D, 0x6E, 0x6F, 0x64, 0x65, 0x66, 0x67};  // rows 5, 4
  eram_cl_3.resize(116, 0);
  EXPECT_EQ(frame(run.block(0, 0, "ERAM"), 3), eram_cl_3);

  // Every CRAM frame holds its IMG row's bytes in order: DR0 at byte H = 16,
  // DR1 at byte 2H + 4 × W0 (cl 36, f1 40), so row byte j >= 4 × W0 sits at
  // byte 32 + j.
  for (const CELL& c : s_cells) {
    const SECTOR_TYPE& t = *c.type;
    const size_t dr0_bytes = t.cram_row_bytes == 8 ? 4 : 8;
    for (u32 i = 0; i < t.cram_rows; ++i) {
      SCOPED_TRACE(testing::Message() << "sector " << c.x << " " << c.y << " CRAM frame " << i);
      const std::vector<u8> f = frame(run.block(c.x, c.y, "CRAM"), i);
      for (size_t j = 0; j < t.cram_row_bytes; ++j) {
        const size_t at = j < dr0_bytes ? 16 + j : 32 + j;
        EXPECT_EQ(f.at(at), t.cram_first + i * t.cram_row_bytes + j) << "byte " << j;
      }
    }
  }

  // The ERAM record block keeps the last frame's fields (cl: column 1, f1:
  // column 0); the CNOC and CNT blocks were written only into the frames.
  for (const CELL& c : s_cells) {
    EXPECT_EQ(block_bytes(run.block(c.x, c.y, "ERAM_HEADER")),
              (std::vector<u8>{c.type == &s_cl ? u8{1} : u8{0}, 0x41, 0x00, 0x00}));
    EXPECT_EQ(block_bytes(run.block(c.x, c.y, "CNOC_HEADER")), std::vector<u8>(8, 0));
    EXPECT_EQ(block_bytes(run.block(c.x, c.y, "CNT_HEADER")), std::vector<u8>(8, 0));
  }
}

// A sector's record is its own: the host switches records off for one
// sector and narrows another's CRAM range; the other sectors keep theirs.
TEST(E2eSectorFrames, EachSectorsManagerRecordRulesItsFrames) {
  QUELVO_RUN run;
  ASSERT_EQ(run.status, VARNO_PCF_OK);
  // Sector (1, 0): bare frames. CRAM: D + P bytes, P = (DRAS[0] / 8) & 4 =
  // 8 & 4 = 0, so 12 bytes, DR0 then DR1 back to back; ERAM: the 16 bytes of
  // the ERAM block, also at a group end.
  sector_gen(run.gen.get(), 1, 0)->get_mgr_param()->skip_headers = 1;
  // Sector (0, 1): CRAM rows 1 to 2 only.
  VARNO_MGR_PARAM* param = sector_gen(run.gen.get(), 0, 1)->get_mgr_param();
  param->first_frame[VOLD_BLOCK_CRAM] = 1;
  param->last_frame[VOLD_BLOCK_CRAM] = 2;
  ASSERT_TRUE(run.gen->do_all_blocks());

  EXPECT_EQ(frame_sizes(run.block(1, 0, "CRAM")), (std::vector<u32>{12, 12, 12, 12}));
  const std::vector<u8> bare = frame(run.block(1, 0, "CRAM"), 3);
  EXPECT_EQ(bare, (std::vector<u8>{0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF}));
  EXPECT_EQ(frame_sizes(run.block(1, 0, "ERAM")), (std::vector<u32>{16, 16}));
  EXPECT_EQ(frame(run.block(1, 0, "ERAM"), 0),
            (std::vector<u8>{0xCC, 0xCD, 0xCE, 0xCF, 0xC8, 0xC9, 0xCA, 0xCB, 0xC4, 0xC5, 0xC6, 0xC7,
                             0xC0, 0xC1, 0xC2, 0xC3}));

  // Rows 1 and 2 of the f1 image: DR0 starts with bytes 0x8C and 0x98, DR1
  // (byte 40) holds the rows' last four bytes.
  VARNO_IBLOCK* narrowed = run.block(0, 1, "CRAM");
  ASSERT_EQ(frame_sizes(narrowed), (std::vector<u32>{44, 44}));
  EXPECT_EQ(frame(narrowed, 0).at(16), 0x8C);
  EXPECT_EQ(frame(narrowed, 1).at(16), 0x98);
  EXPECT_EQ(slice(frame(narrowed, 0), 40, 4), (BYTES{0x94, 0x95, 0x96, 0x97}));
  EXPECT_EQ(slice(frame(narrowed, 1), 40, 4), (BYTES{0xA0, 0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(frame_sizes(run.block(0, 1, "ERAM")), (std::vector<u32>{76, 76}));
  EXPECT_EQ(frame_sizes(run.block(1, 1, "CRAM")), (std::vector<u32>{40, 40, 40, 40}));
}

// A sector without design data builds no CRAM or ERAM frames and writes no
// expected-data file for them.
TEST(E2eSectorFrames, SectorsWithoutDesignDataBuildNothing) {
  TEMP_DIR dir;
  auto gen = new_generator(s_quelvo + "quelvo_family.ddb", s_quelvo + "quelvo_device.ddb");
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, QUELVO_DEVICE_TYPE), VARNO_PCF_OK);
  std::vector<u8> eram = read_bytes(s_data + "quelvo/eram_f1.bin");
  sector_gen(gen.get(), 0, 1)->get_block("ERAM", false)->set_data(VARNO_BLOCK_DATA_ERAM, eram.data(), 256,
                                                                  nullptr);
  ASSERT_TRUE(gen->do_all_blocks());
  for (const CELL& c : s_cells) {
    VARNO_GEN* sgen = sector_gen(gen.get(), c.x, c.y);
    EXPECT_EQ(sgen->get_block("CRAM", false)->get_number_of_frames(), 0u);
    EXPECT_EQ(sgen->get_block("ERAM", false)->get_number_of_frames(), c.x == 0 && c.y == 1 ? 2u : 0u);
  }
  gen->dump_expected_data(dir.file("expected"));
  EXPECT_TRUE(fs::is_regular_file(dir.file("expected/SECTOR_ARRAYX0Y1/ERAM.img")));
  EXPECT_FALSE(fs::exists(dir.file("expected/SECTOR_ARRAYX0Y1/CRAM.img")));
  EXPECT_TRUE(fs::is_empty(dir.file("expected/SECTOR_ARRAYX0Y0")));
}

// The expected-data text of an image: one line per row, the row's bits from
// the last to the first (so its bytes from the last, each most significant
// bit first). No bit-swap list is given, so CRAM rows are not swapped.
std::string image_lines(u8 first, u32 rows, u32 row_bytes) {
  std::string text;
  for (u32 r = 0; r < rows; ++r) {
    for (u32 j = row_bytes; j-- > 0;) {
      const u32 byte = first + r * row_bytes + j;
      for (int b = 7; b >= 0; --b) text += ((byte >> b) & 1) != 0 ? '1' : '0';
    }
    text += '\n';
  }
  return text;
}

// The CRAM image: its four rows of design data, then the two spare rows
// (image frames 4 and 5), zero in the design data files.
std::string cram_lines(u8 first, u32 row_bytes) {
  const std::string spare = std::string(8 * row_bytes, '0') + "\n";
  return image_lines(first, 4, row_bytes) + spare + spare;
}

TEST(E2eSectors, HostRunOfTheSectorExample) {
  TEMP_DIR dir;
  QUELVO_RUN run;
  ASSERT_EQ(run.status, VARNO_PCF_OK);
  ASSERT_TRUE(run.gen->do_all_blocks());
  for (u32 i = 0; i < run.gen->max_block_index(); ++i) run.gen->get_block_by_index(i)->crc_update();

  // The top dump holds the option bits: 0x5EC70A11, JTAG_ID 0x0A51C0DE, and
  // the CRC word 0xD58E0000 (the CRC-16 of the eight image bytes and the two
  // filler bytes, by crc16 above); then the group's layout blocks, all zero.
  // A sector-array block writes nothing.
  EXPECT_EQ(crc16({0x11, 0x0A, 0xC7, 0x5E, 0xDE, 0xC0, 0x51, 0x0A, 0x00, 0x00}), 0xD58E);
  run.gen->write_to_file(dir.file("dump.txt"), VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_EQ(read_file(dir.file("dump.txt")), read_file(s_expected + "quelvo_dump.txt"));

  // Sector (1, 0)'s dump, derived by hand (the frames as above; 16-bit words,
  // low half first): the header blocks (ERAM_HEADER as the last ERAM frame
  // left it, 0x00004100), the four CRAM frames, the two ERAM frames.
  sector_gen(run.gen.get(), 1, 0)->write_to_file(dir.file("sector.txt"), VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_EQ(read_file(dir.file("sector.txt")), read_file(s_expected + "quelvo_sector_dump.txt"));

  // Expected data: CRAM.img and ERAM.img in every sector's directory.
  run.gen->dump_expected_data(dir.file("expected"));
  EXPECT_EQ(cram_lines(0x80, 12), read_file(s_expected + "quelvo_sector_cram.img"));
  EXPECT_EQ(image_lines(0xC0, 8, 4), read_file(s_expected + "quelvo_sector_eram.img"));
  for (const CELL& c : s_cells) {
    const std::string sector_dir =
        dir.file("expected/SECTOR_ARRAYX" + std::to_string(c.x) + "Y" + std::to_string(c.y));
    SCOPED_TRACE(sector_dir);
    const SECTOR_TYPE& t = *c.type;
    EXPECT_EQ(read_file(sector_dir + "/CRAM.img"), cram_lines(t.cram_first, t.cram_row_bytes));
    EXPECT_EQ(read_file(sector_dir + "/ERAM.img"), image_lines(t.eram_first, t.eram_rows, t.eram_row_bytes));
    // The bus chain writes no expected data.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(sector_dir))
      names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"CRAM.img", "ERAM.img"}));
  }
  // Row 0 of cram_f1.bin, by hand: bytes 0x8B down to 0x80.
  EXPECT_EQ(read_file(s_expected + "quelvo_sector_cram.img").substr(0, 97),
            "10001011" "10001010" "10001001" "10001000" "10000111" "10000110"
            "10000101" "10000100" "10000011" "10000010" "10000001" "10000000\n");
}

// ---- The whole road: block group, compressed threads, top-level bitstream ------------

// The example host's road through the library: a CRAM group over the four
// sectors, (0, 0) and (1, 0) on thread 0, (0, 1) and (1, 1) on thread 1; then
// the option bits, the descriptor and the two data pages as a top-level
// bitstream merged into 4096-byte blocks with one SHA-256 hash block.
// Host mistakes that would give a well-formed bitstream without the design
// data end in internal errors that name the cause; the calls a host may
// make in another order still work.
TEST(E2eRoad, MistakesThatLoseTheDesignDataAreRefused) {
  TEMP_DIR dir;
  auto cram_group = [](QUELVO_RUN& run, const char* type = "CRAM") {
    std::unique_ptr<VARNO_IMBLOCK_GROUP> group(run.gen->create_group());
    group->set_group_type(type, "");
    for (const CELL& c : s_cells) group->add_mblock(sector(run.gen.get(), c.x, c.y), c.y);
    return group;
  };
  {
    SCOPED_TRACE("do_all_blocks left out");
    QUELVO_RUN run(true);
    VARNO_IBLOCK* options = run.gen->get_block("OPTION_BITS", false);
    std::vector<u8> image(options->get_block_size());
    options->crc_update();
    EXPECT_INTERNAL_ERROR(options->read_block_data(image.data()),
                          "Block OPTION_BITS read before do_all_blocks built it");
    EXPECT_INTERNAL_ERROR(run.block(1, 0, "CRAM")->get_number_of_frames(),
                          "Block CRAM of sector (1, 0) read before do_all_blocks built it");
    EXPECT_INTERNAL_ERROR(run.gen->write_to_file(dir.file("dump.txt"), VARNO_OUTPUT_FORMAT_DAT),
                          "Text dump before do_all_blocks built any block");
    EXPECT_FALSE(fs::exists(dir.file("dump.txt")));
    EXPECT_INTERNAL_ERROR(cram_group(run)->collect_data(false),
                          "Block group collects the CRAM block of sector (0, 0) before do_all_blocks built it");
    // Built late, everything reads.
    ASSERT_TRUE(run.gen->do_all_blocks());
    options->read_block_data(image.data());
    EXPECT_EQ(run.block(1, 0, "CRAM")->get_number_of_frames(), 4u);
    cram_group(run)->collect_data(false);
  }
  {
    SCOPED_TRACE("a file named to a block that reads none");
    QUELVO_RUN run(true);
    EXPECT_INTERNAL_ERROR(
        run.block(0, 0, "CRAM")->set_data_from_file(VARNO_BLOCK_DATA_CRAM, s_data + "quelvo/cram_cl.bin"),
        "set_data_from_file on block CRAM of sector (0, 0), whose frame manager reads no data file");
  }
  {
    SCOPED_TRACE("design data in a slot the manager does not read");
    QUELVO_RUN run(true);
    std::vector<u8> cram = read_bytes(s_data + "quelvo/cram_f1.bin");
    VARNO_IBLOCK* block = run.block(1, 1, "CRAM");
    block->set_data(VARNO_BLOCK_DATA_CRAM, nullptr, 0, nullptr);
    block->set_data(VARNO_BLOCK_DATA_ERAM, cram.data(), static_cast<u32>(cram.size() * 8), nullptr);
    ASSERT_TRUE(run.gen->do_all_blocks());
    EXPECT_INTERNAL_ERROR(cram_group(run)->collect_data(false),
                          "Block group collects the CRAM block of sector (1, 1), which built no frames: its "
                          "design data is in a slot its frame manager does not read");
    // The example's bus blocks have a manager that reads no design data.
    EXPECT_INTERNAL_ERROR(cram_group(run, "ESRAM_BBUS")->collect_data(false),
                          "Block group collects the ESRAM_BBUS block of sector (0, 0), which built no "
                          "frames: its design data is in a slot its frame manager does not read");
    // A block the host skips is its own choice.
    QUELVO_RUN skipped(true);
    for (const CELL& c : s_cells) sector_gen(skipped.gen.get(), c.x, c.y)->skip_block_processing("ESRAM_BBUS");
    ASSERT_TRUE(skipped.gen->do_all_blocks());
    cram_group(skipped, "ESRAM_BBUS")->collect_data(false);
  }
  {
    SCOPED_TRACE("no design data, or none at all to group");
    QUELVO_RUN run(true);
    VARNO_IBLOCK* block = run.block(0, 1, "CRAM");
    EXPECT_INTERNAL_ERROR(block->set_data(VARNO_BLOCK_DATA_CRAM, nullptr, 384, nullptr),
                          "set_data on block CRAM of sector (0, 1): null data of 384 bits");
    block->set_data(VARNO_BLOCK_DATA_CRAM, nullptr, 0, nullptr);
    ASSERT_TRUE(run.gen->do_all_blocks());
    EXPECT_INTERNAL_ERROR(cram_group(run)->collect_data(false),
                          "Block group collects the CRAM block of sector (0, 1), which built no frames: it was given no "
                          "design data");
    std::unique_ptr<VARNO_IMBLOCK_GROUP> empty(run.gen->create_group());
    empty->set_group_type("CRAM", "");
    EXPECT_INTERNAL_ERROR(empty->collect_data(false), "Block group collect_data() called on a group with no blocks");
  }
  {
    SCOPED_TRACE("design data after the build");
    QUELVO_RUN run(true);
    ASSERT_TRUE(run.gen->do_all_blocks());
    // Sector (0, 0) takes another image of its type's length.
    std::vector<u8> other = read_bytes(s_data + "quelvo/cram_cl.bin");
    for (u8& b : other) b = static_cast<u8>(~b);
    VARNO_IBLOCK* block = run.block(0, 0, "CRAM");
    const std::vector<u8> before = block_bytes(block);
    block->set_data(VARNO_BLOCK_DATA_CRAM, other.data(), static_cast<u32>(other.size() * 8), nullptr);
    const char* changed = "Block CRAM of sector (0, 0) read before a rebuild: its design data came after "
                          "do_all_blocks built it";
    EXPECT_INTERNAL_ERROR(block->get_number_of_frames(), changed);
    std::vector<u8> image(block->get_block_size());
    EXPECT_INTERNAL_ERROR(block->read_block_data(image.data()), changed);
    EXPECT_INTERNAL_ERROR(cram_group(run)->collect_data(false),
                          "Block group collects the CRAM block of sector (0, 0) before a rebuild: its design "
                          "data came after do_all_blocks built it");
    EXPECT_INTERNAL_ERROR(sector_gen(run.gen.get(), 0, 0)->write_to_file(dir.file("sector.txt"), VARNO_OUTPUT_FORMAT_DAT),
                          "Text dump before a rebuild of block CRAM of sector (0, 0): its design data came after "
                          "do_all_blocks built it");
    EXPECT_FALSE(fs::exists(dir.file("sector.txt")));
    // Rebuilt, the block holds the frames of the new data, as a first build
    // of it makes them.
    ASSERT_TRUE(run.gen->do_all_blocks());
    QUELVO_RUN fresh(true);
    fresh.block(0, 0, "CRAM")->set_data(VARNO_BLOCK_DATA_CRAM, other.data(), static_cast<u32>(other.size() * 8),
                                        nullptr);
    ASSERT_TRUE(fresh.gen->do_all_blocks());
    EXPECT_EQ(block_bytes(block), block_bytes(fresh.block(0, 0, "CRAM")));
    EXPECT_NE(block_bytes(block), before);
    cram_group(run)->collect_data(false);
  }
}

TEST(E2eRoad, GroupAndTopBitstreamOfTheSectorExample) {
  TEMP_DIR dir;
  QUELVO_RUN run(true);
  ASSERT_EQ(run.status, VARNO_PCF_OK);
  ASSERT_TRUE(run.gen->do_all_blocks());
  for (u32 i = 0; i < run.gen->max_block_index(); ++i) run.gen->get_block_by_index(i)->crc_update();

  std::unique_ptr<VARNO_IMBLOCK_GROUP> group(run.gen->create_group());
  group->set_group_type("CRAM", "");
  for (const CELL& c : s_cells) group->add_mblock(sector(run.gen.get(), c.x, c.y), c.y);
  group->collect_data(false);

  // Descriptor, by hand. Pre-actions: one 32-byte CNOC send packet per
  // sector (16 bytes of action, CNOC and CNT headers of 4 and 8, a 4-byte
  // payload), then a 12-byte delay: 140. The sector-group action: a 24-byte
  // header, per thread a 12-byte half, two 40-byte parameter records and six
  // 24-byte templates (236), a 4-byte page bitmap: 500. Post-actions: four
  // 32-byte packets: 128.
  const u32 size = group->get_group_descriptor_size();
  ASSERT_EQ(size, 140u + 500u + 128u);
  std::vector<u8> d(size);
  group->get_group_descriptor_data(d.data(), size);
  for (u32 i = 0; i < 4; ++i) {
    const CELL& c = s_cells[i];
    SCOPED_TRACE("sector " + std::to_string(i));
    for (const u32 at : {32 * i, 640 + 32 * i}) {
      EXPECT_EQ(read_le32(d, at), 22u);
      EXPECT_EQ(read_le32(d, at + 4), 28u + 4u);
      // Thread word: bit 0 thread 0, bit 1 thread 1.
      EXPECT_EQ(read_le32(d, at + 8), c.y == 0 ? 1u : 2u);
      // CNOC header: length 0, the sector's CNOC address.
      EXPECT_EQ(read_le32(d, at + 16), c.cnoc_x << 8 | c.cnoc_y << 16);
      // CNT header: write op 6; pre-actions to address register 1, the
      // post-actions' DR1 zeros to register 4 at 0x1000.
      EXPECT_EQ(read_le32(d, at + 20), at < 640 ? 0x00010006u : 0x00040006u);
      EXPECT_EQ(read_le32(d, at + 24), at < 640 ? 0u : 0x1000u);
    }
  }
  // Action header: type 23, the action's size, one page per thread, CRAM.
  EXPECT_EQ(read_le32(d, 140), 23u);
  EXPECT_EQ(read_le32(d, 144), 500u);
  EXPECT_EQ(read_le32(d, 148), 2u);
  EXPECT_EQ(read_le32(d, 156), 1u);
  for (u32 t = 0; t < 2; ++t) {
    const u32 half = 164 + 236 * t;
    EXPECT_EQ(read_le32(d, half), 2u);       // two parameter records
    EXPECT_EQ(read_le32(d, half + 4), 6u);   // six templates
    EXPECT_EQ(read_le32(d, half + 8), 0x202u);  // BROW_SIZE 2 rows of BROW_FRAME_SIZE 2
    // Data-register lengths in words, DR1 << 16 | DR0: cl 32 and 32 bits,
    // f1 64 and 32. Thread 0 holds cl then f1, thread 1 f1 then cl.
    EXPECT_EQ(read_le32(d, half + 12), t == 0 ? 0x10001u : 0x10002u);
    EXPECT_EQ(read_le32(d, half + 52), t == 0 ? 0x10002u : 0x10001u);
  }
  // Page bitmap: slot 1 holds thread 1's page.
  EXPECT_EQ(read_le32(d, 636), 2u);

  // Each thread stream inflates to records holding its sectors' CRAM frames
  // in order: an 8-byte stream header, the frame as built (its CNOC and CNT
  // records included), zeros to 8 bytes.
  for (u32 t = 0; t < 2; ++t) {
    SCOPED_TRACE("thread " + std::to_string(t));
    std::vector<u8> data(group->get_thread_size(t));
    group->get_thread_data(data.data(), static_cast<unsigned>(data.size()), t);
    std::vector<u8> tail;
    const std::vector<u8> stream = inflate_raw(data, &tail);
    EXPECT_EQ(tail, std::vector<u8>(8, 0));
    std::vector<u8> want;
    for (u32 x = 0; x < 2; ++x) {
      VARNO_IBLOCK* cram = run.block(x, t, "CRAM");
      ASSERT_EQ(cram->get_number_of_frames(), 4u);
      for (u32 f = 0; f < 4; ++f) {
        // CH 0, frame type 1, THR: the block's position in its thread.
        put(want, record(cram, f, 0, 1, x));
      }
    }
    EXPECT_EQ(stream, want);
  }

  std::vector<u8> data(2 * 4096);
  group->get_group_data(data.data(), static_cast<unsigned>(data.size()));
  std::vector<u8> options(run.gen->get_block("OPTION_BITS", false)->get_block_size());
  ASSERT_EQ(options.size(), 12u);
  run.gen->get_block("OPTION_BITS", false)->read_block_data(options.data());

  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(run.gen->create_top_bitstream());
  top->add_bitfield(options.data(), 12, VARNO_QV_ROUTING_CONFIG, true, false);
  top->add_bitfield(d.data(), size, VARNO_QV_ROUTING_DESCRIPTOR, true, true);
  top->add_bitfield(data.data(), 4096, VARNO_QV_ROUTING_GROUP_DATA, true, true);
  top->add_bitfield(data.data() + 4096, 4096, VARNO_QV_ROUTING_GROUP_DATA, true, true);
  EXPECT_EQ(top->merge_by_routing(4096, 1, 3, true, VARNO_SHA_MODE_256), (std::vector<u32>{1}));
  ASSERT_EQ(top->get_bitfield_count(), 5u);
  u64 sum = 0;
  for (u32 i = 0; i < 5; ++i) sum += top->get_bitfield_size(i);
  ASSERT_TRUE(top->write_to_file(dir.file("bitstream.bin"), VARNO_OUTPUT_FORMAT_RAW, 0, 4, false));
  const std::vector<u8> raw = read_bytes(dir.file("bitstream.bin"));
  ASSERT_EQ(raw.size(), sum);
  ASSERT_EQ(raw.size(), 12u + 4 * 4096u);

  // Option bits, hash block, descriptor padded with zeros, the two pages.
  EXPECT_EQ(std::vector<u8>(raw.begin(), raw.begin() + 12), options);
  const size_t hash_at = 12, desc_at = hash_at + 4096;
  std::vector<u8> desc_block(d);
  desc_block.resize(4096, 0);
  EXPECT_EQ(std::vector<u8>(raw.begin() + desc_at, raw.begin() + desc_at + 4096), desc_block);
  EXPECT_EQ(std::vector<u8>(raw.begin() + desc_at + 4096, raw.end()), data);

  // Hash block: format 1, action size 16 + 3 x 32 + 4, three digests and
  // three routes; the digests are SHA-256 of the three 4096-byte blocks that
  // follow, and the routes 1, 3, 3 packed two bits each.
  const std::vector<u8> hash(raw.begin() + hash_at, raw.begin() + hash_at + 4096);
  EXPECT_EQ(read_le32(hash, 0), 1u);
  EXPECT_EQ(read_le32(hash, 4), 116u);
  EXPECT_EQ(read_le32(hash, 8), 3u);
  EXPECT_EQ(read_le32(hash, 12), 3u);
  for (u32 k = 0; k < 3; ++k) {
    u8 digest[SHA256_DIGEST_LENGTH];
    SHA256(raw.data() + desc_at + 4096 * k, 4096, digest);
    EXPECT_EQ(std::vector<u8>(hash.begin() + 16 + 32 * k, hash.begin() + 48 + 32 * k),
              std::vector<u8>(digest, digest + 32))
        << "digest " << k;
  }
  EXPECT_EQ(hash[112], 1 | 3 << 2 | 3 << 4);
  EXPECT_EQ(std::vector<u8>(hash.begin() + 113, hash.end()), std::vector<u8>(4096 - 113, 0));
}

}  // namespace
