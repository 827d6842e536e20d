// Sector-array blocks and sector meta blocks: the sector-name tables, the
// grid and its walks, and parameter and argument access by name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "generator_fixture.h"
#include "msg.h"
#include "varno_block_config.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_test.h"
#include "vold.h"

namespace fs = std::filesystem;

namespace {

// A sector-array block owned by a generator-less test, with device records
// from an in-memory parameter file.
struct EBLOCK_FIXTURE {
  EBLOCK_FIXTURE() : gen(new VARNO_GEN()), block(VOLD_BLOCK_SECTOR_ARRAY, gen.get()) {
    device.create_device_info(VOLD_FAMILY_QUELVO, 2);
  }
  void add_param(u32 type, const std::vector<u32>& values) {
    block.config()->m_param_list.push_back(device.add_param(VOLD_BLOCK_SECTOR_ARRAY, type, values));
  }
  void add_arg(u32 type, u32 width, std::vector<u32> values) {
    block.config()->m_arg_list.push_back(device.add_arg(VOLD_BLOCK_SECTOR_ARRAY, type, width, std::move(values)));
  }

  VOLD_INFO device;
  std::unique_ptr<VARNO_GEN> gen;
  VARNO_EBLOCK block;
};

}  // namespace

// ---- Sector-name tables ----------------------------------------------------------------

TEST(SectorNames, TablesByFamily) {
  VARNO_EBLOCK::init_static_data(VOLD_FAMILY_QUELVO);
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 0), "dummy");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 1), "cl");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 18), "f6_top");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 36), "rlprime_top");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("aib_", 0), "1");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("aib_", 9), "10");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("io_", 3), "4");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("uib_", 2), "3");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("dib_", 0), "1");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("esram_", 0), "1");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("crypto_", 0), "1");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("hnoc_", 0), "1");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("nothing_", 0), "");

  VARNO_EBLOCK::init_static_data(VOLD_FAMILY_TROSKIVANE_SECTOR);
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 13), "ansfn");
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 49), "vrnff");
  VARNO_EBLOCK::init_static_data(VOLD_FAMILY_WILBERTOSKA);
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 1), "cbssm");
  // A family without sectors leaves the last sector table in place.
  VARNO_EBLOCK::init_static_data(VOLD_FAMILY_BORQUENT);
  EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 1), "cbssm");
}

TEST(SectorNames, IndexPastATableIsEmpty) {
  struct CASE {
    u32 family;
    const char* part;
    u32 length;
  };
  const CASE cases[] = {
      {VOLD_FAMILY_QUELVO, "sector_", 37}, {VOLD_FAMILY_TROSKIVANE, "sector_", 50},
      {VOLD_FAMILY_WILBERTOSKA, "sector_", 2}, {VOLD_FAMILY_QUELVO, "aib_", 10},
      {VOLD_FAMILY_QUELVO, "io_", 4},       {VOLD_FAMILY_QUELVO, "dib_", 1},
      {VOLD_FAMILY_QUELVO, "uib_", 3},      {VOLD_FAMILY_QUELVO, "esram_", 1},
      {VOLD_FAMILY_QUELVO, "crypto_", 1},   {VOLD_FAMILY_QUELVO, "hnoc_", 1},
  };
  for (const CASE& c : cases) {
    VARNO_EBLOCK::init_static_data(c.family);
    EXPECT_FALSE(VARNO_EBLOCK::get_vold_mapped_name(c.part, c.length - 1).empty()) << c.part;
    EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name(c.part, c.length), "") << c.part;
    EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name(c.part, 0xFFFFFFFFu), "") << c.part;
  }
}

// ---- The grid -----------------------------------------------------------------------------

TEST(SectorGrid, CellsByPosition) {
  EBLOCK_FIXTURE fx;
  VARNO_EBLOCK& e = fx.block;
  EXPECT_EQ(e.get_sector(0, 0), nullptr);
  e.set_sector_counts(2, 3);
  e.create_sectors();
  VARNO_MBLOCK* cells[6] = {};
  for (u32 y = 0; y < 3; ++y) {
    for (u32 x = 0; x < 2; ++x) {
      VARNO_MBLOCK* m = e.get_sector(x, y);
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->x(), x);
      EXPECT_EQ(m->y(), y);
      EXPECT_FALSE(m->cnoc_flag());
      EXPECT_EQ(m->eblock(), &e);
      auto* gen = dynamic_cast<VARNO_GEN*>(m->generator());
      ASSERT_NE(gen, nullptr);
      EXPECT_EQ(gen->meta_block(), m);
      EXPECT_EQ(gen->max_block_index(), 0u);
      cells[y * 2 + x] = m;
    }
  }
  // Cell (1, 2) is the sixth: distinct meta blocks at distinct positions.
  for (int i = 0; i < 6; ++i)
    for (int j = i + 1; j < 6; ++j) EXPECT_NE(cells[i], cells[j]);
  EXPECT_EQ(e.get_sector(2, 0), nullptr);
  EXPECT_EQ(e.get_sector(0, 3), nullptr);
  EXPECT_EQ(e.get_sector(0xFFFFFFFFu, 0xFFFFFFFFu), nullptr);
}

TEST(SectorGrid, SizeMustBePositiveAndBounded) {
  EBLOCK_FIXTURE fx;
  fx.block.set_sector_counts(0, 3);
  EXPECT_INTERNAL_ERROR(fx.block.create_sectors(), "m_XSectorCount > 0 && m_YSectorCount > 0");
  fx.block.set_sector_counts(3, 0);
  EXPECT_INTERNAL_ERROR(fx.block.create_sectors(), "m_XSectorCount > 0 && m_YSectorCount > 0");
  // A product that does not fit 32 bits must not wrap into a small grid.
  fx.block.set_sector_counts(0x10000, 0x10000);
  EXPECT_INTERNAL_ERROR(fx.block.create_sectors(), "Too many sectors in the sector array");
}

TEST(SectorGrid, ProcessWalksByPosition) {
  EBLOCK_FIXTURE fx;
  fx.block.set_sector_counts(2, 3);
  fx.block.create_sectors();
  DEBUG_LINES debug;
  EXPECT_TRUE(fx.block.process(false));
  EXPECT_EQ(debug.lines, std::vector<std::string>({"Processing sector 0 0", "Processing sector 1 0",
                                                   "Processing sector 0 1", "Processing sector 1 1",
                                                   "Processing sector 0 2", "Processing sector 1 2"}));
  fx.block.reset_process();
  fx.block.register_2d_engine();
}

TEST(SectorGrid, WithoutCellsEverythingSucceeds) {
  EBLOCK_FIXTURE fx;
  EXPECT_TRUE(fx.block.process(false));
  fx.block.reset_process();
  fx.block.register_2d_engine();
  // Counts without cells: a cell that is not there is an internal error.
  fx.block.set_sector_counts(1, 1);
  EXPECT_INTERNAL_ERROR(fx.block.process(false), "sector != nullptr");
  EXPECT_INTERNAL_ERROR(fx.block.dump_expected_data("/nonexistent"), "mblock != nullptr");
}

TEST(SectorGrid, ActsAsABlockWithoutContent) {
  EBLOCK_FIXTURE fx;
  VARNO_IBLOCK& b = fx.block;
  EXPECT_EQ(b.block_type(), 0u);  // not overridden
  EXPECT_EQ(b.get_block_size(), 0u);
  EXPECT_EQ(b.get_number_of_frames(), 0u);
  EXPECT_EQ(dump_text(b, VARNO_OUTPUT_FORMAT_DAT), "");
}

TEST(SectorGrid, ExpectedDataPerSectorDirectory) {
  EBLOCK_FIXTURE fx;
  fx.block.set_sector_counts(2, 1);
  fx.block.create_sectors();
  TEMP_DIR dir;
  fx.block.dump_expected_data(dir.file("SECTOR_ARRAY"));
  EXPECT_TRUE(fs::is_directory(dir.file("SECTOR_ARRAYX0Y0")));
  EXPECT_TRUE(fs::is_directory(dir.file("SECTOR_ARRAYX1Y0")));
  EXPECT_FALSE(fs::exists(dir.file("SECTOR_ARRAYX0Y1")));
}

// ---- Parameters and arguments by name ---------------------------------------------------

TEST(SectorParameters, ValuesAndRangeErrors) {
  EBLOCK_FIXTURE fx;
  fx.add_param(VOLD_PARAMETER_ARRAY_COUNT, {2, 3});
  fx.block.config()->m_param_list.push_back(fx.device.add_param(
      VOLD_BLOCK_SECTOR_ARRAY, VOLD_PARAMETER_ARRAY_TYPE, 4, {VOLD_PARAM_ENTRY{7, 0, "first"}, VOLD_PARAM_ENTRY{9, 2, ""}}));
  VARNO_IBLOCK& b = fx.block;
  EXPECT_EQ(b.get_param_size("ARRAY_COUNT"), 2u);
  EXPECT_EQ(b.get_param_size("ARRAY_TYPE"), 4u);
  EXPECT_EQ(b.get_param_size("DRAS"), 0u);
  EXPECT_EQ(b.get_param_value("ARRAY_COUNT", 1u), 3u);
  EXPECT_EQ(b.get_param_value("ARRAY_TYPE", 2u), 9u);
  EXPECT_EQ(b.get_param_value("ARRAY_TYPE", 1u), 0u);  // no entry at that offset
  EXPECT_EQ(b.get_param_value("ARRAY_TYPE", std::string("first")), 7u);
  EXPECT_EQ(b.get_param_value("ARRAY_TYPE", std::string("other")), 0u);
  EXPECT_INTERNAL_ERROR(b.get_param_value("ARRAY_COUNT", 2u), "Parameter ARRAY_COUNT (55) index (2) out of range (2)");
  EXPECT_INTERNAL_ERROR(b.get_param_value("DRAS", 0u), "Parameter DRAS (20) index (0) out of range (0)");
  EXPECT_INTERNAL_ERROR(b.get_param_value("DRAS", std::string()),
                        "Paramter DRAS size is 0 but user expected non-empty return value with name ()");
  // A named entry of a parameter the block lacks is simply not there.
  EXPECT_EQ(b.get_param_value("DRAS", std::string("x")), 0u);
  // An empty name of a parameter that has values is the configuration's
  // refusal, as for a data block, not a silent 0.
  EXPECT_INTERNAL_ERROR(b.get_param_value("ARRAY_TYPE", std::string()), "!name.empty()");
  EXPECT_INTERNAL_ERROR(b.get_param_value("ARRAY_COUNT", std::string()), "!name.empty()");
  EXPECT_INTERNAL_ERROR(b.get_param_size("NOT_A_PARAMETER"), "Unrecognized parameter name");
  EXPECT_INTERNAL_ERROR(b.get_param_value("NOT_A_PARAMETER", 0u), "Unrecognized parameter name");
}

TEST(SectorArguments, RowsWidthsAndRangeErrors) {
  EBLOCK_FIXTURE fx;
  fx.add_arg(VOLD_ARGUMENT_CNOC_ADDRESSES, 3, {1, 2, 3, 4, 5, 6});
  VARNO_EBLOCK& e = fx.block;
  VARNO_IBLOCK& b = e;
  EXPECT_EQ(b.get_arg_value("CNOC_ADDRESSES", 1, 2), 6u);
  EXPECT_EQ(b.get_arg_value("CNOC_ADDRESSES", 0, 0), 1u);
  EXPECT_EQ(b.get_arg_size("CNOC_ADDRESSES"), 6u);
  EXPECT_EQ(b.get_arg_width("CNOC_ADDRESSES"), 3u);
  u32 width = 99;
  EXPECT_EQ(e.get_arg_depth("CNOC_ADDRESSES", width), 2u);
  EXPECT_EQ(width, 3u);
  EXPECT_TRUE(e.arg_exists("CNOC_ADDRESSES"));

  EXPECT_INTERNAL_ERROR(b.get_arg_value("CNOC_ADDRESSES", 2, 0), "index < uint_arg_list.size() && offset < arg_width");
  EXPECT_INTERNAL_ERROR(b.get_arg_value("CNOC_ADDRESSES", 0, 3), "index < uint_arg_list.size() && offset < arg_width");
  // An argument the block lacks.
  EXPECT_INTERNAL_ERROR(b.get_arg_value("NOP_CNOC_ADDRESSES", 0, 0),
                        "index < uint_arg_list.size() && offset < arg_width");
  EXPECT_EQ(b.get_arg_size("NOP_CNOC_ADDRESSES"), 0u);
  EXPECT_EQ(b.get_arg_width("NOP_CNOC_ADDRESSES"), 0u);
  width = 99;
  EXPECT_EQ(e.get_arg_depth("NOP_CNOC_ADDRESSES", width), 0u);
  EXPECT_EQ(width, 99u);
  EXPECT_FALSE(e.arg_exists("NOP_CNOC_ADDRESSES"));
  EXPECT_INTERNAL_ERROR(b.get_arg_size("NOT_AN_ARGUMENT"), "Unrecognized argument name");
  EXPECT_INTERNAL_ERROR(e.arg_exists("NOT_AN_ARGUMENT"), "Unrecognized argument name");
}

TEST(SectorArguments, ZeroWidthIsAnInternalError) {
  EBLOCK_FIXTURE fx;
  fx.add_arg(VOLD_ARGUMENT_CNOC_ADDRESSES, 0, {});
  EXPECT_INTERNAL_ERROR(fx.block.get_arg_width("CNOC_ADDRESSES"), "arg_width > 0");
}

TEST(SectorBlock, DefaultBlockHasNoConfiguration) {
  VARNO_EBLOCK e;
  EXPECT_EQ(e.config(), nullptr);
  EXPECT_EQ(e.generator(), nullptr);
  EXPECT_TRUE(e.process(false));
  EXPECT_INTERNAL_ERROR(e.get_param_size("ARRAY_COUNT"), "m_config != nullptr");
}
