// The generator and its factory: the interface order, the records, block
// lookup and the option-block copy, block-type overrides, the text dump and
// the expected-data dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "generator_fixture.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_itop_bitstream.h"
#include "varno_sblock.h"
#include "varno_tables.h"
#include "varno_test.h"
#include "vold.h"
#include "vtable.h"

namespace fs = std::filesystem;

namespace {

const std::string s_model_dir = std::string(VARNO_TEST_DATA_DIR) + "/model";

std::unique_ptr<VARNO_GEN> flat_generator() {
  auto g = new_generator(s_model_dir + "/flat_family.ddb", s_model_dir + "/flat_device.ddb");
  EXPECT_EQ(g->process_pcfs(false, false, false, nullptr, 1), VARNO_PCF_OK);
  return g;
}

}  // namespace

// ---- Interface and factory -----------------------------------------------------------

// Slots 0 and 1 are the destructors, then the 38 operations in binding order.
TEST(GeneratorInterface, OperationOrderIsBinding) {
  using I = VARNO_IGEN;
  using S = const std::string&;
  EXPECT_EQ(slot_of(&I::set_family_pcf), 2);
  EXPECT_EQ(slot_of(&I::set_device_pcf), 3);
  EXPECT_EQ(slot_of(&I::get_meta_block), 4);
  EXPECT_EQ(slot_of(static_cast<VARNO_IBLOCK* (I::*)(S, bool)>(&I::get_block)), 5);
  EXPECT_EQ(slot_of(static_cast<VARNO_IBLOCK* (I::*)(u32, bool)>(&I::get_block)), 6);
  EXPECT_EQ(slot_of(&I::get_block_by_index), 7);
  EXPECT_EQ(slot_of(&I::process_pcfs), 8);
  EXPECT_EQ(slot_of(&I::do_all_blocks), 9);
  EXPECT_EQ(slot_of(&I::reset_all_blocks), 10);
  EXPECT_EQ(slot_of(&I::register_all_blocks_2d_engine), 11);
  EXPECT_EQ(slot_of(&I::do_block), 12);
  EXPECT_EQ(slot_of(&I::do_partial_block), 13);
  EXPECT_EQ(slot_of(&I::adjust_num_frames), 14);
  EXPECT_EQ(slot_of(&I::skip_block_processing), 15);
  EXPECT_EQ(slot_of(&I::overwrite_block_param_type), 16);
  EXPECT_EQ(slot_of(&I::block_index), 17);
  EXPECT_EQ(slot_of(&I::max_block_index), 18);
  EXPECT_EQ(slot_of(&I::bt_size), 19);
  EXPECT_EQ(slot_of(&I::create_group), 20);
  EXPECT_EQ(slot_of(&I::create_top_bitstream), 21);
  EXPECT_EQ(slot_of(&I::write_to_file), 22);
  EXPECT_EQ(slot_of(&I::get_mgr_param), 23);
  EXPECT_EQ(slot_of(&I::get_mgr_talkback), 24);
  EXPECT_EQ(slot_of(&I::set_util_debug_level), 25);
  EXPECT_EQ(slot_of(&I::dump_expected_data), 26);
  EXPECT_EQ(slot_of(&I::get_2d_libs_size), 27);
  EXPECT_EQ(slot_of(&I::copy_2d_libs), 28);
  EXPECT_EQ(slot_of(&I::get_2d_ip_libs_count), 29);
  EXPECT_EQ(slot_of(&I::get_ip_offset), 30);
  EXPECT_EQ(slot_of(&I::clear_2d_data), 31);
  EXPECT_EQ(slot_of(&I::get_2d_pred_settings), 32);
  EXPECT_EQ(slot_of(&I::get_s4_setup_size), 33);
  EXPECT_EQ(slot_of(&I::copy_s4_setup), 34);
  EXPECT_EQ(slot_of(&I::get_decomp_setup_size), 35);
  EXPECT_EQ(slot_of(&I::copy_decomp_setup), 36);
  EXPECT_EQ(slot_of(&I::get_korvia_codebook_size), 37);
  EXPECT_EQ(slot_of(&I::copy_korvia_codebook), 38);
  EXPECT_EQ(slot_of(&I::get_korvia_codebook_types), 39);
  EXPECT_EQ(slot_of(&VARNO_IGEN_FACTORY::create_generator), 2);
  EXPECT_EQ(slot_of(&VARNO_IMBLOCK::generator), 2);
  EXPECT_EQ(slot_of(&VARNO_IMBLOCK::eblock), 3);
}

TEST(GeneratorFactory, OneFactoryUntilDestroyed) {
  VARNO_IGEN_FACTORY* f = varno_get_factory();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(varno_get_factory(), f);
  EXPECT_EQ(VARNO_GEN_FACTORY::get_instance(), f);
  std::unique_ptr<VARNO_IGEN> a(f->create_generator());
  std::unique_ptr<VARNO_IGEN> b(f->create_generator());
  EXPECT_NE(a.get(), b.get());
  EXPECT_NE(dynamic_cast<VARNO_GEN*>(a.get()), nullptr);

  delete f;
  VARNO_IGEN_FACTORY* again = varno_get_factory();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(varno_get_factory(), again);
  std::unique_ptr<VARNO_IGEN> c(again->create_generator());
  EXPECT_NE(c.get(), nullptr);
}

TEST(Generator, RecordsStartAtTheirDefaultsPerGenerator) {
  auto g = new_generator();
  auto h = new_generator();
  VARNO_MGR_PARAM* p = g->get_mgr_param();
  EXPECT_EQ(p, g->get_mgr_param());
  EXPECT_NE(p, h->get_mgr_param());
  EXPECT_EQ(p->fw_type, 13u);
  EXPECT_EQ(p->template_count_mode, 2u);
  EXPECT_EQ(p->first_frame[VOLD_BLOCK_CRAM], VARNO_INVALID_DWORD);
  EXPECT_EQ(p->skip_block[VOLD_BLOCK_CRAM], 0);
  EXPECT_EQ(p->qv_2d_compression, 0u);
  EXPECT_EQ(g->get_mgr_talkback()->image_crc, VARNO_INVALID_DWORD);
  // What the host writes stays in that generator only.
  p->fw_type = 3;
  g->get_mgr_talkback()->pr_write_count = 5;
  EXPECT_EQ(g->get_mgr_param()->fw_type, 3u);
  EXPECT_EQ(h->get_mgr_param()->fw_type, 13u);
  EXPECT_EQ(h->get_mgr_talkback()->pr_write_count, 0u);
  EXPECT_EQ(g->config_data_width(), 0u);
  EXPECT_EQ(g->meta_block(), nullptr);
  EXPECT_EQ(g->device_lsm_delays(), &s_device_lsm_delays);
  EXPECT_EQ(g->family_lsm_delays(), &s_family_lsm_delays);
}

// ---- An empty generator -----------------------------------------------------------------

TEST(Generator, WithoutBlocks) {
  TEMP_DIR dir;
  auto g = new_generator();
  EXPECT_EQ(g->bt_size(), 0u);
  EXPECT_EQ(g->max_block_index(), 0u);
  EXPECT_EQ(g->get_block_by_index(0), nullptr);
  EXPECT_EQ(g->get_block("CRAM", false), nullptr);
  EXPECT_EQ(g->get_block("NOT_A_BLOCK", true), nullptr);
  EXPECT_EQ(g->get_block("", false), nullptr);
  EXPECT_EQ(g->block_index("NOT_A_BLOCK"), VARNO_INVALID_DWORD);
  EXPECT_EQ(g->skip_block_processing("CRAM"), nullptr);
  EXPECT_FALSE(g->do_block("CRAM"));
  EXPECT_TRUE(g->do_all_blocks());

  // The dump truncates the file to nothing.
  const std::string path = dir.write("dump.dat", "old contents");
  g->write_to_file(path, VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(read_file(path), "");

  // The expected data is only a directory.
  const std::string golden = dir.file("golden/sub");
  g->dump_expected_data(golden);
  EXPECT_TRUE(fs::is_directory(golden));
  EXPECT_TRUE(fs::is_empty(golden));
}

TEST(Generator, BlockTypePastTheLastIsNoBlock) {
  auto g = flat_generator();
  EXPECT_EQ(g->get_block(VOLD_BLOCK_MAX, false), nullptr);
  EXPECT_EQ(g->get_block(VOLD_BLOCK_MAX, true), nullptr);
  EXPECT_EQ(g->get_block(0xFFFFFFFFu, true), nullptr);
  EXPECT_EQ(g->get_block(0u, false), nullptr);
}

TEST(Generator, GroupNeedsASectorArrayAndEachTopBitstreamIsNew) {
  auto g = new_generator();
  // A group needs the generator's sector array.
  EXPECT_INTERNAL_ERROR(g->create_group(), "eblock != nullptr");
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(g->create_top_bitstream());
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->get_bitfield_count(), 0u);
  std::unique_ptr<VARNO_ITOP_BITSTREAM> second(g->create_top_bitstream());
  EXPECT_NE(second.get(), top.get());
}

// ---- Lookup and the option-block copy ---------------------------------------------------

TEST(Generator, LookupByNameTypeAndIndex) {
  auto g = flat_generator();
  VARNO_IBLOCK* ob = g->get_block_by_index(0);
  VARNO_IBLOCK* bbus = g->get_block_by_index(1);
  EXPECT_EQ(g->get_block("OPTION_BITS", false), ob);
  EXPECT_EQ(g->get_block(VOLD_BLOCK_OPTION_BITS, false), ob);
  EXPECT_EQ(g->get_block("ESRAM_BBUS", false), bbus);
  EXPECT_EQ(g->get_block_by_index(2), nullptr);
  EXPECT_EQ(g->block_index("ESRAM_BBUS"), 1u);
  EXPECT_EQ(g->get_block("option_bits", false), nullptr);  // names are exact
  EXPECT_INTERNAL_ERROR(g->get_meta_block("OPTION_BITS", 0, 0), "meta_block != nullptr");
  EXPECT_INTERNAL_ERROR(g->get_meta_block("CRAM", 0, 0), "meta_block != nullptr");
}

TEST(Generator, CopyOfAnOptionBlockIsNewAndProcessed) {
  auto g = flat_generator();
  VARNO_IBLOCK* source = g->get_block("OPTION_BITS", false);
  // A host write into the source that the copy does not see.
  const u8 pgf[2] = {0x34, 0x12};
  ASSERT_TRUE(g->do_all_blocks());
  ASSERT_EQ(source->write_option_bits("PGF_LENGTH", "OPTION_BITS", pgf, 16, nullptr), VARNO_NO_ERROR);
  source->crc_update();
  const std::vector<u8> source_bytes = block_bytes(source);

  std::unique_ptr<VARNO_IBLOCK> a(g->get_block("OPTION_BITS", true));
  std::unique_ptr<VARNO_IBLOCK> b(g->get_block(VOLD_BLOCK_OPTION_BITS, true));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a.get(), source);
  EXPECT_NE(a.get(), b.get());
  auto* sa = dynamic_cast<VARNO_SBLOCK*>(a.get());
  ASSERT_NE(sa, nullptr);
  EXPECT_EQ(sa->generator(), g.get());
  EXPECT_EQ(sa->block_type(), static_cast<u32>(VOLD_BLOCK_OPTION_BITS));
  EXPECT_TRUE(sa->has_crc());
  EXPECT_EQ(sa->word_count(), 4u);
  // Constants and defaults (with the device's JTAG identifier), not the
  // host's write.
  const std::vector<u8> expected = {0xA5, 0xA5, 0xA5, 0xA5, 0xBE, 0xBA, 0xFE, 0xCA, 0, 0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0x99, 0xA0};
  EXPECT_EQ(block_bytes(a.get()), expected);
  EXPECT_EQ(block_bytes(b.get()), expected);
  // The records are shared, not copied.
  auto* src = dynamic_cast<VARNO_SBLOCK*>(source);
  EXPECT_EQ(sa->dyn_data_list(), src->dyn_data_list());
  EXPECT_EQ(sa->const_data_list(), src->const_data_list());
  a.reset();
  b.reset();
  EXPECT_EQ(block_bytes(source), source_bytes);
  EXPECT_EQ(g->max_block_index(), 2u);

  EXPECT_INTERNAL_ERROR(g->get_block("ESRAM_BBUS", true), "sblock != nullptr");
}

TEST(Generator, SkipBlockProcessingAndSizes) {
  auto g = flat_generator();
  VARNO_IBLOCK* ob = g->skip_block_processing("OPTION_BITS");
  EXPECT_EQ(ob, g->get_block_by_index(0));
  EXPECT_TRUE(dynamic_cast<VARNO_BLOCK*>(ob)->skip_processing());
  EXPECT_TRUE(g->do_all_blocks());
  // Not processed: the image keeps its initial fill, with a CRC word of 0.
  EXPECT_EQ(block_bytes(ob), std::vector<u8>(20, 0));
  EXPECT_EQ(g->bt_size(), 20u);
  EXPECT_TRUE(g->do_block("ESRAM_BBUS"));
}

// ---- Block-type overrides ----------------------------------------------------------------

TEST(Overrides, PackingAndMatching) {
  auto g = new_generator();
  u32 out = 77;
  g->overwrite_block_type("CRAM", 1, 2, out);  // no overrides at all
  EXPECT_EQ(out, 77u);

  g->overwrite_block_param_type("CRAM", 1, 2, 3);  // stored as 3 << 24 | 2 << 12 | 1
  g->overwrite_block_type("CRAM", 1, 2, out);
  EXPECT_EQ(out, 3u);
  out = 77;
  g->overwrite_block_type("CRAM", 2, 1, out);
  EXPECT_EQ(out, 77u);
  g->overwrite_block_type("ERAM", 1, 2, out);
  EXPECT_EQ(out, 77u);

  // The first entry for a cell wins.
  g->overwrite_block_param_type("CRAM", 1, 2, 9);
  g->overwrite_block_param_type("CRAM", 4095, 4095, 255);
  g->overwrite_block_type("CRAM", 1, 2, out);
  EXPECT_EQ(out, 3u);
  g->overwrite_block_type("CRAM", 4095, 4095, out);
  EXPECT_EQ(out, 255u);
}

TEST(Overrides, ValuesOutsideTheirFieldsAreRefused) {
  auto g = new_generator();
  // Unchecked, column 4096 would pack as cell (0, 1), and type 256 as type 0
  // of cell (0, 0) | 1 << 24.
  g->overwrite_block_param_type("SECTOR_ARRAY", 4096, 0, 5);
  g->overwrite_block_param_type("SECTOR_ARRAY", 0, 4096, 6);
  g->overwrite_block_param_type("SECTOR_ARRAY", 0, 0, 256);
  u32 out = 77;
  g->overwrite_block_type("SECTOR_ARRAY", 0, 1, out);
  EXPECT_EQ(out, 77u);
  g->overwrite_block_type("SECTOR_ARRAY", 0, 0, out);
  EXPECT_EQ(out, 77u);
  // Nor does a query of a cell beyond the field match a stored one.
  g->overwrite_block_param_type("SECTOR_ARRAY", 0, 1, 8);
  g->overwrite_block_type("SECTOR_ARRAY", 4096, 0, out);
  EXPECT_EQ(out, 77u);
  g->overwrite_block_type("SECTOR_ARRAY", 0, 1, out);
  EXPECT_EQ(out, 8u);
}

// ---- Text dump ------------------------------------------------------------------------------

TEST(WriteToFile, OnlyTheTextFormat) {
  TEMP_DIR dir;
  auto g = flat_generator();
  ASSERT_TRUE(g->do_all_blocks());
  EXPECT_INTERNAL_ERROR(g->write_to_file(dir.file("a.bin"), VARNO_OUTPUT_FORMAT_RAW), "Invalid output format");
  EXPECT_INTERNAL_ERROR(g->write_to_file(dir.file("a_bits.txt"), VARNO_OUTPUT_FORMAT_BIT_TEXT), "Invalid output format");
  EXPECT_FALSE(fs::exists(dir.file("a.bin")));
  // An unwritable path writes nothing and raises nothing.
  g->write_to_file(dir.file("missing/dir/a.dat"), VARNO_OUTPUT_FORMAT_DAT);
  EXPECT_FALSE(fs::exists(dir.file("missing")));
  // Blocks in index order; the data block without frames writes nothing.
  g->write_to_file(dir.file("a.dat"), VARNO_OUTPUT_FORMAT_DAT);
  const std::string text = read_file(dir.file("a.dat"));
  EXPECT_EQ(text.rfind("A5A5\t// OPTION_BITS  - 20 Bytes\n", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10);
}

// ---- Expected-data dump ------------------------------------------------------------------

namespace {

// A manager that writes its block's frame type into its expected-data file.
class TYPE_MGR : public STUB_FRAME_MGR {
 public:
  void dump_expected_data(std::string& path) override {
    std::ofstream(path) << m_parent->frame_type() << "\n";
  }
};

const char* const s_duplicate_family = R"(ddb family 1
family BORQUENT
config_width 32
block OPTION_BITS option words=1
block ESRAM_BBUS data frame=TK_ESRAM_BBUS
block CNT_FW data frame=QV_CSR
block ESRAM_BBUS data frame=WX_ESRAM_BBUS
block ESRAM_BBUS data frame=QV_BBUS
)";

}  // namespace

TEST(DumpExpectedData, OneFilePerDataBlockWithDistinctNames) {
  FRAME_MGR_HOOK_SCOPE managers([](VOLD_FRAME_TYPE) -> VARNO_FRAME_MGR* { return new TYPE_MGR(); });
  TEMP_DIR dir;
  auto g = new_generator(dir.write("fam.ddb", s_duplicate_family), s_model_dir + "/flat_device.ddb");
  ASSERT_EQ(g->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);

  for (const std::string& out : {dir.file("golden"), dir.file("golden2") + "/"}) {
    g->dump_expected_data(out);
    const std::string base = out.back() == '/' ? out : out + "/";
    // The second and third ESRAM_BBUS blocks do not overwrite the first.
    EXPECT_EQ(read_file(base + "ESRAM_BBUS.img"), "20\n");
    EXPECT_EQ(read_file(base + "ESRAM_BBUS_2.img"), "27\n");
    EXPECT_EQ(read_file(base + "ESRAM_BBUS_3.img"), "12\n");
    EXPECT_EQ(read_file(base + "CNT_FW.img"), "13\n");
    EXPECT_FALSE(fs::exists(base + "OPTION_BITS"));
    EXPECT_FALSE(fs::exists(base + "OPTION_BITS.img"));
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(base)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 4u);
  }
}

TEST(DumpExpectedData, UnusablePathIsAnInternalError) {
  TEMP_DIR dir;
  auto g = new_generator();
  // A directory cannot be made below a file.
  const std::string file = dir.write("plain", "x");
  EXPECT_INTERNAL_ERROR(g->dump_expected_data(file + "/sub"), "Invalid path for dumping golden image");
}
