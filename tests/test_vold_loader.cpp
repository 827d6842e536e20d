// Loader of ".ddb" parameter files: the documented examples, round trips,
// name resolution, S4/S2 deferral and every kind of bad file.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "files.h"
#include "vold.h"

namespace {

const std::string s_data_dir = std::string(VARNO_TEST_DATA_DIR) + "/vold";

using INFO = std::unique_ptr<VOLD_INFO>;

INFO load_text(const std::string& text, bool defer = false) {
  return INFO(VOLD_DATA_SERVER::load_from_text(text, "t.ddb", defer));
}

const VOLD_PARAM* find_param(const VOLD_DEVICE_INFO& d, std::uint32_t block, std::uint32_t type) {
  for (const VOLD_PARAM* p : *d.parameter_list)
    if (p->block_type == block && p->type == type) return p;
  return nullptr;
}

const VOLD_ARG* find_arg(const VOLD_DEVICE_INFO& d, std::uint32_t block, std::uint32_t type) {
  for (const VOLD_ARG* a : *d.argument_list)
    if (a->block_type == block && a->type == type) return a;
  return nullptr;
}

std::uint32_t ob_value(const VOLD_OB_DATA& o) {
  std::uint32_t bits = 0;
  const std::uint8_t* v = o.get_data(bits);
  std::uint32_t out = 0;
  for (std::uint32_t i = 0; i < (bits + 7) / 8 && i < 4; ++i) out |= static_cast<std::uint32_t>(v[i]) << (8 * i);
  return out;
}

TEST(VoldLoad, ExampleFamily) {
  INFO info(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/example_family.ddb", false));
  ASSERT_NE(info, nullptr) << VOLD_DATA_SERVER::last_error();
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), "");
  EXPECT_EQ(info->get_device_info(), nullptr);
  const VOLD_FAMILY_INFO* f = info->get_family_info();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->family_type, VOLD_FAMILY_BORQUENT);
  EXPECT_EQ(f->config_data_width, 32u);
  ASSERT_EQ(f->block_list.size(), 3u);

  const VOLD_BLOCK_ENTRY& ob = *f->block_list[0];
  EXPECT_EQ(ob.block_type, VOLD_BLOCK_OPTION_BITS);
  EXPECT_EQ(ob.option_flag, 1);
  EXPECT_EQ(ob.word_count, 4u);
  EXPECT_EQ(ob.crc_flag, 1);
  EXPECT_EQ(ob.init_ones_flag, 0);
  ASSERT_EQ(ob.const_list->size(), 1u);
  EXPECT_EQ((*ob.const_list)[0]->value, 0xA5A5A5A5u);
  ASSERT_EQ(ob.dyn_list->size(), 1u);
  const VOLD_DYN_DATA& field = *(*ob.dyn_list)[0];
  EXPECT_EQ(field.get_dyn_data_type(), VOLD_DYN_DATA_OPTION_BITS);
  EXPECT_EQ(field.word_index, 1u);
  EXPECT_EQ(field.bit_size, 64u);
  EXPECT_EQ(field.word_mask, 0xFFFFFFFFu);
  EXPECT_FALSE(field.column_order);
  ASSERT_EQ(field.ob_list->size(), 3u);
  const VOLD_OB_DATA& pgf = *(*field.ob_list)[1];
  EXPECT_EQ(pgf.type, VOLD_OB_DATA_PGF_LENGTH);
  EXPECT_EQ(pgf.bit_index, 32u);
  EXPECT_EQ(pgf.bit_size, 16u);
  EXPECT_EQ(pgf.link, 2u);
  EXPECT_EQ(ob_value(pgf), 0u);
  EXPECT_EQ(ob_value(*(*field.ob_list)[2]), 1u);

  const VOLD_BLOCK_ENTRY& cram = *f->block_list[1];
  ASSERT_TRUE(cram.is_data_block());
  EXPECT_EQ(cram.frame_description->word(0), VOLD_FRAME_LEGACY_CRAM);
  EXPECT_EQ(cram.frame_description->word(1), 1u);
  EXPECT_EQ(cram.frame_description->word(3), 1u);
  ASSERT_EQ(cram.instruction_list->size(), 2u);
  const VOLD_INSTRUCTION& first = *(*cram.instruction_list)[0];
  EXPECT_EQ(first.type, VOLD_INSTRUCTION_FIRST_FRAME);
  EXPECT_EQ(first.instruction_word, 0x12u);
  EXPECT_TRUE(first.with_length);
  EXPECT_EQ(first.core_words, 2u);
  EXPECT_EQ(first.padding_words, -1);
  EXPECT_FALSE((*cram.instruction_list)[1]->core_zero);

  EXPECT_TRUE(f->block_list[2]->is_array_block());
}

TEST(VoldLoad, ExampleDevice) {
  INFO info(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/example_device.ddb", false));
  ASSERT_NE(info, nullptr) << VOLD_DATA_SERVER::last_error();
  const VOLD_DEVICE_INFO* d = info->get_device_info();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->family_type, VOLD_FAMILY_BORQUENT);
  EXPECT_EQ(d->device_type, 1u);
  EXPECT_EQ(d->top_device_type, 0u);
  EXPECT_EQ(d->parameter_list->size(), 7u);

  const VOLD_PARAM* dras = find_param(*d, VOLD_BLOCK_CRAM, VOLD_PARAMETER_DRAS);
  ASSERT_NE(dras, nullptr);
  EXPECT_EQ(dras->size, 2u);
  ASSERT_EQ(dras->entries->size(), 2u);
  EXPECT_EQ((*dras->entries)[1]->value, 32u);
  const VOLD_PARAM* named = find_param(*d, VOLD_BLOCK_CRAM, VOLD_PARAMETER_LUTRAM_BLOCK_COUNT);
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->size, 4u);
  ASSERT_EQ(named->entries->size(), 2u);
  EXPECT_EQ((*named->entries)[1]->offset, 2u);
  EXPECT_EQ((*named->entries)[1]->value, 7u);
  EXPECT_EQ((*named->entries)[1]->name, "spare");

  unsigned width = 0;
  auto rows = VOLD_MANAGER::get_uint_arg_list(find_arg(*d, VOLD_BLOCK_CRAM, VOLD_ARGUMENT_IMG_TO_RAW_MAP), width);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(width, 64u);
  for (unsigned i = 0; i < 64; ++i) EXPECT_EQ(rows[0][i], 63 - i);
  rows = VOLD_MANAGER::get_uint_arg_list(find_arg(*d, VOLD_BLOCK_CRAM, VOLD_ARGUMENT_CRAM_IMG_FRAME_TO_BS_FRAME_MAP),
                                         width);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][3], 0xFFFFFFFFu);
  auto bytes = VOLD_MANAGER::get_byte_arg_list(find_arg(*d, VOLD_BLOCK_CRAM, VOLD_ARGUMENT_DRA_S4_INFO), width);
  ASSERT_EQ(bytes.size(), 1u);
  EXPECT_EQ(width, 4u);
  EXPECT_EQ(bytes[0][0], 1);
  EXPECT_EQ(bytes[0][3], 0);
  const VOLD_ARG* spare = find_arg(*d, VOLD_BLOCK_CRAM, VOLD_ARGUMENT_CRAM_SPARE_ROWS);
  EXPECT_EQ(VOLD_MANAGER::get_total_spare_rows(spare), 1u);
  EXPECT_EQ(VOLD_MANAGER::get_spare_row_location(spare, 0), 3u);
  rows = VOLD_MANAGER::get_uint_arg_list(find_arg(*d, VOLD_BLOCK_SECTOR_ARRAY, VOLD_ARGUMENT_CNOC_ADDRESSES), width);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][0], 1u);  // continued on a 'data' line

  ASSERT_EQ(d->option_bit_list->size(), 1u);
  EXPECT_EQ(ob_value(*(*d->option_bit_list)[0]), 0xCAFEBABEu);
  EXPECT_EQ(d->lutram_simplified_col, (std::vector<std::uint32_t>{1, 5, 9}));
  ASSERT_EQ(d->lutram_simplified_row.size(), 16u);
  EXPECT_EQ(d->lutram_simplified_row[15], 15u);

  ASSERT_NE(d->m_s4_s2_list, nullptr);
  EXPECT_EQ(d->m_s4_s2_list_size, 4u);
  ASSERT_EQ(d->m_s4_s2_list->size(), 4u);
  EXPECT_EQ((*d->m_s4_s2_list)[1], nullptr);
  S4_SII* frame0 = (*d->m_s4_s2_list)[0];
  ASSERT_NE(frame0, nullptr);
  S4_SII_DRA_LIST* dra = frame0->get_data_list();
  ASSERT_EQ(dra->size(), 2u);
  ASSERT_EQ(dra->at(0)->size(), 2u);
  std::uint32_t index = 0;
  S4_SI_LIST* cells = dra->at(0)->at(0)->get_data(index);
  EXPECT_EQ(index, 17u);
  ASSERT_EQ(cells->size(), 2u);
  std::uint32_t fr = 0, bit = 0;
  bool flag = false;
  EXPECT_EQ(cells->at(1)->get_data(fr, bit, flag), 2u);
  EXPECT_EQ(fr, 1u);
  EXPECT_EQ(bit, 41u);
  EXPECT_TRUE(flag);
  EXPECT_TRUE(dra->at(1)->at(0)->get_data(index)->empty());
  EXPECT_EQ(index, 40u);
}

TEST(VoldLoad, RoundTripsOfTheExamples) {
  for (const char* name : {"example_family.ddb", "example_device.ddb"}) {
    INFO first(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/" + name, false));
    ASSERT_NE(first, nullptr) << VOLD_DATA_SERVER::last_error();
    const std::string text = VOLD_DATA_SERVER::to_text(*first);
    INFO second = load_text(text);
    ASSERT_NE(second, nullptr) << VOLD_DATA_SERVER::last_error() << "\n" << text;
    EXPECT_EQ(VOLD_DATA_SERVER::to_text(*second), text);
  }
}

TEST(VoldLoad, RoundTripOfBuiltRecords) {
  VOLD_INFO built;
  built.create_device_info(VOLD_FAMILY_TROSKIVANE, 64);
  // Values that need every compact form: repeats, rising and falling runs,
  // single values and the extremes.
  std::vector<std::uint32_t> values;
  for (int i = 0; i < 40; ++i) values.push_back(7);
  for (std::uint32_t i = 100; i < 140; ++i) values.push_back(i);
  for (std::uint32_t i = 50; i > 10; --i) values.push_back(i);
  values.insert(values.end(), {0xFFFFFFFFu, 0, 0xFFFFFFFEu, 0xFFFFFFFFu, 3, 9, 4});
  values.push_back(1);
  built.add_arg(VOLD_BLOCK_CRAM, VOLD_ARGUMENT_RAW_TO_IMG_MAP, 8, values);
  built.add_param(VOLD_BLOCK_CRAM, VOLD_PARAMETER_DRAS, 10, {{1, 0, ""}, {2, 1, ""}, {5, 7, "x_1"}, {6, 3, ""}});
  built.add_param(VOLD_BLOCK_CRAM, VOLD_PARAMETER_CRAM_ALGO, 1, {});
  built.add_device_ob_data(VOLD_OB_DATA_ROOT_HASH, 3, 9, 70, {0xFF, 0, 0, 0, 0, 0, 0, 0, 0x2A}, 70);
  built.get_device_info()->lutram_simplified_row = {4, 4, 4, 9};
  ASSERT_EQ(built.validate(), "");
  const std::string text = VOLD_DATA_SERVER::to_text(built);
  INFO loaded = load_text(text);
  ASSERT_NE(loaded, nullptr) << VOLD_DATA_SERVER::last_error() << "\n" << text;
  const VOLD_DEVICE_INFO& d = *loaded->get_device_info();
  EXPECT_EQ(d.device_type, 64u);
  EXPECT_EQ(find_arg(d, VOLD_BLOCK_CRAM, VOLD_ARGUMENT_RAW_TO_IMG_MAP)->values, values);
  const VOLD_PARAM* dras = find_param(d, VOLD_BLOCK_CRAM, VOLD_PARAMETER_DRAS);
  ASSERT_EQ(dras->entries->size(), 4u);
  EXPECT_EQ(dras->size, 10u);
  EXPECT_EQ((*dras->entries)[2]->offset, 7u);
  EXPECT_EQ((*dras->entries)[2]->name, "x_1");
  EXPECT_EQ((*dras->entries)[3]->offset, 3u);
  EXPECT_EQ(find_param(d, VOLD_BLOCK_CRAM, VOLD_PARAMETER_CRAM_ALGO)->entries->size(), 0u);
  const VOLD_OB_DATA& o = *(*d.option_bit_list)[0];
  EXPECT_EQ(o.second_position, 9u);
  EXPECT_EQ(o.value_bits, 70u);
  EXPECT_EQ(o.value, (std::vector<std::uint8_t>{0xFF, 0, 0, 0, 0, 0, 0, 0, 0x2A}));
  EXPECT_EQ(d.lutram_simplified_row, (std::vector<std::uint32_t>{4, 4, 4, 9}));
  EXPECT_EQ(VOLD_DATA_SERVER::to_text(*loaded), text);
}

TEST(VoldLoad, PathFallbackAndSearchPath) {
  // The path itself, then the path with ".ddb".
  INFO by_stem(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/example_family", false));
  ASSERT_NE(by_stem, nullptr) << VOLD_DATA_SERVER::last_error();
  EXPECT_EQ(by_stem->get_source(), s_data_dir + "/example_family.ddb");

  INFO missing(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/no_such_file", false));
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(
      VOLD_DATA_SERVER::last_error(),
      s_data_dir + "/no_such_file: no such file (also tried " + s_data_dir + "/no_such_file.ddb)");

  INFO dir(VOLD_DATA_SERVER::get_vold_info(s_data_dir, false));
  EXPECT_EQ(dir, nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), s_data_dir + ": not a regular file");

  VOLD_DATA_SERVER::set_search_path(s_data_dir);
  EXPECT_EQ(VOLD_DATA_SERVER::get_search_path(), s_data_dir);
  INFO by_name(VOLD_DATA_SERVER::zembric_get_vold_info("example_device", false, false, false));
  ASSERT_NE(by_name, nullptr) << VOLD_DATA_SERVER::last_error();
  EXPECT_NE(by_name->get_device_info(), nullptr);
  // Relative names with directories resolve below the search path too.
  INFO dotted(VOLD_DATA_SERVER::zembric_get_vold_info("./example_device.ddb", false, true, false));
  ASSERT_NE(dotted, nullptr) << VOLD_DATA_SERVER::last_error();
  // Absolute names are taken as they are.
  VOLD_DATA_SERVER::set_search_path("/nonexistent");
  INFO absolute(VOLD_DATA_SERVER::zembric_get_vold_info(s_data_dir + "/example_family", false, true, false));
  EXPECT_NE(absolute, nullptr) << VOLD_DATA_SERVER::last_error();
  INFO relative(VOLD_DATA_SERVER::zembric_get_vold_info("example_family", false, true, false));
  EXPECT_EQ(relative, nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::zembric_get_vold_info("", false, false, false), nullptr);
  VOLD_DATA_SERVER::set_search_path("");
}

TEST(VoldLoad, DeferredS4KeepsTheSizeAndSharesLater) {
  INFO own(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/example_device.ddb", false));
  INFO deferred(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/example_device.ddb", true));
  ASSERT_NE(own, nullptr);
  ASSERT_NE(deferred, nullptr);
  VOLD_DEVICE_INFO* d = deferred->get_device_info();
  EXPECT_EQ(d->m_s4_s2_list, nullptr);
  EXPECT_EQ(d->m_s4_s2_list_size, 4u);
  d->share_s4_s2_list(*own->get_device_info());
  EXPECT_EQ(d->get_s4_s2_list(), own->get_device_info()->m_s4_s2_list);
  // A deferred file is still checked in full.
  INFO bad = load_text("ddb device 1\nfamily QUELVO\ndevice 5\nparam CRAM CRAM_ALGO 0\ns4s2 frames=2\n"
                       "s4 frame=0\ns2 dra=0 bit=5\ns2 dra=0 bit=5\n",
                       true);
  EXPECT_EQ(bad, nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), "t.ddb:8: S4 record of frame 0: S2 cells of data register 0 are not "
                                            "in ascending bit order at bit 5");
}

TEST(VoldLoad, CompactFormsAndDefaults) {
  INFO info = load_text(
      "# leading comment\n"
      "\n"
      "ddb device 1   # trailing comment\r\n"
      "family 10\n"
      "device 38\n"
      "\tparam CRAM DRAS 5*3 0x10..0x12 9..7\n"
      "data 10=1:named 8\n"
      "arg CRAM IMG_TO_RAW_MAP width=2\n"
      "data 1 2\n"
      "data 3 4\n");
  ASSERT_NE(info, nullptr) << VOLD_DATA_SERVER::last_error();
  const VOLD_DEVICE_INFO& d = *info->get_device_info();
  EXPECT_EQ(d.family_type, VOLD_FAMILY_QUELVO);
  EXPECT_EQ(d.device_type, 38u);
  const VOLD_PARAM* p = find_param(d, VOLD_BLOCK_CRAM, VOLD_PARAMETER_DRAS);
  ASSERT_NE(p, nullptr);
  // Offsets 0-8 from the list, 10 named, then 11 from the running offset;
  // the size follows the highest offset.
  const std::uint32_t offsets[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11};
  const std::uint32_t values[] = {5, 5, 5, 16, 17, 18, 9, 8, 7, 1, 8};
  ASSERT_EQ(p->entries->size(), 11u);
  for (std::size_t i = 0; i < 11; ++i) {
    EXPECT_EQ((*p->entries)[i]->offset, offsets[i]) << i;
    EXPECT_EQ((*p->entries)[i]->value, values[i]) << i;
  }
  EXPECT_EQ((*p->entries)[9]->name, "named");
  EXPECT_EQ(p->size, 12u);
  EXPECT_EQ(d.argument_list->at(0)->values, (std::vector<std::uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(d.argument_list->at(0)->row_count(), 2u);
  EXPECT_TRUE(d.option_bit_list->empty());
  EXPECT_EQ(d.m_s4_s2_list, nullptr);
  EXPECT_EQ(d.m_s4_s2_list_size, 0u);
}

struct BAD {
  const char* text;
  const char* error;  // expected last_error(), after "t.ddb:"
};

const char* const F = "ddb family 1\nfamily BORQUENT\nconfig_width 32\n";  // lines 1-3
const char* const D = "ddb device 1\nfamily BORQUENT\ndevice 1\nparam CRAM CRAM_ALGO 2\n";  // lines 1-4

std::string fam(const std::string& rest) { return F + rest; }
std::string dev(const std::string& rest) { return D + rest; }

TEST(VoldLoad, BadFilesNameFileAndLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // header and framing
      {"", "1: empty file: expected 'ddb family 1' or 'ddb device 1'"},
      {"# only a comment\n", "1: empty file: expected 'ddb family 1' or 'ddb device 1'"},
      {"family BORQUENT\n", "1: expected 'ddb family 1' or 'ddb device 1' first"},
      {"ddb family 2\n", "1: unsupported format version '2'"},
      {"ddb family 1\nddb family 1\n", "2: second 'ddb' line"},
      {"ddb family 1\n", "1: missing 'family' line"},
      {"ddb family 1\nfamily BORQUENT\n", "2: missing 'config_width' line"},
      {"ddb device 1\nfamily BORQUENT\n", "2: missing 'device' line"},
      {"ddb device 1\ndevice 1\n", "2: missing 'family' line"},
      {"ddb family 1\nfamily BORQUENT\nblock CRAM array\n", "3: 'family' and 'config_width' must come before 'block'"},
      {"ddb family 1\nfamily\xC3\xA9\n", "2: unexpected character 0xC3"},
      {std::string("ddb family 1\nfam\0ily\n", 21), "2: unexpected character 0x00"},
      {fam("bogus 1\n"), "4: unknown statement 'bogus' in a family file"},
      {dev("block CRAM array\n"), "5: unknown statement 'block' in a device file"},
      {fam("family TELMIS\n"), "4: second 'family' line"},
      // enumerations
      {"ddb family 1\nfamily UNKNOWN_FAMILY\n", "2: unknown family type 'UNKNOWN_FAMILY'"},
      {"ddb family 1\nfamily 27\n", "2: family type '27' is out of range (1 to 26)"},
      {"ddb family 1\nfamily 0\n", "2: family type '0' is out of range (1 to 26)"},
      {"ddb family 1\nfamily borquent\n", "2: unknown family type 'borquent'"},
      {fam("block 102 array\n"), "4: block type '102' is out of range (1 to 101)"},
      {fam("block CRAM data frame=3\n"), "4: block CRAM: frame type 3 has no frame manager (4 to 27)"},
      {fam("block CRAM data frame=28\n"), "4: frame type '28' is out of range (1 to 27)"},
      {"ddb device 1\nfamily BORQUENT\ndevice 77\n", "3: device type '77' is out of range (1 to 76)"},
      {dev("param CRAM 89 1\n"), "5: parameter type '89' is out of range (1 to 88)"},
      {dev("arg CRAM 55 width=1\n"), "5: argument type '55' is out of range (1 to 54)"},
      {fam("block OPTION_BITS option words=1\ndyn 36 word=0 size=1 mask=1\n"),
       "5: field type '36' is out of range (1 to 35)"},
      {fam("block OPTION_BITS option words=1\ndyn OPTION_BITS word=0 size=8 mask=0xFF\nob 454 index=0 size=1\n"),
       "6: option type '454' is out of range (1 to 453)"},
      {fam("block CRAM data frame=CRAM\ninstr 17 word=0\n"), "5: instruction type '17' is out of range (1 to 16)"},
      // numbers and attributes
      {"ddb family 1\nfamily BORQUENT\nconfig_width 0x\n", "3: bad number '0x' for configuration width"},
      {"ddb family 1\nfamily BORQUENT\nconfig_width -32\n", "3: bad number '-32' for configuration width"},
      {"ddb family 1\nfamily BORQUENT\nconfig_width 4294967296\n",
       "3: configuration width '4294967296' is above 4294967295"},
      {"ddb family 1\nfamily BORQUENT\nconfig_width 99999999999999999999999\n",
       "3: bad number '99999999999999999999999' for configuration width"},
      {"ddb family 1\nfamily BORQUENT\nconfig_width 16\nblock CRAM array\n", "2: configuration width 16 is not 8 or 32"},
      {fam("block OPTION_BITS option\n"), "4: missing attribute 'words'"},
      {fam("block OPTION_BITS option words=1 words=2\n"), "4: attribute 'words' given twice"},
      {fam("block OPTION_BITS option words=1 colour=red\n"), "4: unknown attribute 'colour'"},
      {fam("block OPTION_BITS option words=1 crc\n"), "4: expected key=value, found 'crc'"},
      {fam("block OPTION_BITS option words=1 crc=2\n"), "4: crc must be 0 or 1, not '2'"},
      {fam("block OPTION_BITS sideways\n"), "4: block kind must be option, data or array, not 'sideways'"},
      {fam("block CRAM array extra=1\n"), "4: unknown attribute 'extra'"},
      {fam("block CRAM data frame=CRAM w6=0x80000000\n"), "4: w6 '0x80000000' is above 2147483647"},
      {fam("block CRAM data frame=CRAM b28=256\n"), "4: b28 '256' is above 255"},
      {fam("block CRAM data frame=CRAM w2=0x1000001\n"),
       "4: block CRAM: frame descriptor word 2 (16777217) is above 16777216"},
      {fam("block CRAM data frame=CRAM w6=0x1000001\n"),
       "4: block CRAM: frame descriptor word 6 (16777217) is above 16777216"},
      // nesting
      {fam("const word=0 value=1\n"), "4: 'const' belongs to an option block"},
      {fam("block CRAM array\ndyn OPTION_BITS word=0 size=1 mask=1\n"), "5: 'dyn' belongs to an option block"},
      {fam("block OPTION_BITS option words=1\nob JTAG_ID index=0 size=1\n"), "5: 'ob' belongs to a 'dyn' field"},
      {fam("block OPTION_BITS option words=1\ndyn OPTION_BITS word=0 size=8 mask=0xFF\nconst word=0 value=0\n"
           "ob JTAG_ID index=0 size=1\n"),
       "7: 'ob' belongs to a 'dyn' field"},
      {fam("block OPTION_BITS option words=1\ninstr FIRST_FRAME word=0\n"), "5: 'instr' belongs to a data block"},
      {fam("block CRAM data frame=CRAM\ninstr FIRST_FRAME word=0 core_fill=grey\n"),
       "5: fill must be zero or ones, not 'grey'"},
      // option blocks: sizes and placement
      {fam("block OPTION_BITS option words=0\n"), "4: block OPTION_BITS: word count 0 is out of range (1 to 1048576)"},
      {fam("block OPTION_BITS option words=1048577\n"),
       "4: block OPTION_BITS: word count 1048577 is out of range (1 to 1048576)"},
      {fam("block OPTION_BITS option words=2\nconst word=2 value=0\n"),
       "5: block OPTION_BITS: constant word 2 lies outside the 2-word image"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=8 mask=0\n"),
       "5: block OPTION_BITS, field OPTION_BITS: the word mask is empty"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=0 mask=1\n"),
       "5: block OPTION_BITS, field OPTION_BITS: the field has no bits"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=2 size=1 mask=1\n"),
       "5: block OPTION_BITS, field OPTION_BITS: the field starts outside the image"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=1 size=33 mask=0xFFFFFFFF\n"),
       "5: block OPTION_BITS, field OPTION_BITS: the field runs past the end of the image"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=1 offset=1 size=32 mask=0xFFFFFFFF\n"),
       "5: block OPTION_BITS, field OPTION_BITS: the field runs past the end of the image"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=5 mask=0x3 order=column\n"),
       "5: block OPTION_BITS, field OPTION_BITS: the column-order field does not fit the words after its start"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=1 mask=1 order=diagonal\n"),
       "5: order must be row or column, not 'diagonal'"},
      {"ddb family 1\nfamily BORQUENT\nconfig_width 8\nblock OPTION_BITS option words=1\n"
       "dyn OPTION_BITS word=0 size=8 mask=0x1FF\n",
       "5: block OPTION_BITS, field OPTION_BITS: the word mask has bits beyond the configuration width"},
      {fam("block OPTION_BITS option words=1\ndyn OPTION_BITS word=0 size=1 mask=1\n"
           "dyn OPTION_BITS word=0 size=1 mask=2\n"),
       "6: block OPTION_BITS: second field OPTION_BITS"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=16 mask=0xFFFF\n"
           "ob JTAG_ID index=10 size=7\n"),
       "6: block OPTION_BITS, field OPTION_BITS, option JTAG_ID: bits 10 to 16 lie outside the 16-bit field"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=16 mask=0xFFFF\n"
           "ob JTAG_ID index=0 size=4 value=0x10\n"),
       "6: value '0x10' does not fit in 4 bits"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=16 mask=0xFFFF\n"
           "ob JTAG_ID index=0 size=4 value=0xG\n"),
       "6: bad number '0xG' for value"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=16 mask=0xFFFF\n"
           "ob JTAG_ID index=0 size=4\nob JTAG_ID index=4 size=4\n"),
       "7: block OPTION_BITS, field OPTION_BITS: second option JTAG_ID"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=64 mask=0xFFFFFFFF\n"
           "ob PGF_LENGTH index=0 size=8 link=0x100\n"),
       "6: block OPTION_BITS, field OPTION_BITS, option PGF_LENGTH: link must name its first block in bits 7-0 "
       "(from 1) and leave bits 15-8 clear"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=64 mask=0xFFFFFFFF\n"
           "ob PGF_LENGTH index=0 size=33 link=1\n"),
       "6: block OPTION_BITS, field OPTION_BITS, option PGF_LENGTH: a linked option has at most 32 bits and "
       "starts below bit 65536"},
      {fam("block OPTION_BITS option words=2\ndyn OPTION_BITS word=0 size=64 mask=0xFFFFFFFF\n"
           "ob PGF_LENGTH index=0 size=65537\n"),
       "6: size '65537' is above 65536"},
      // data and array blocks
      {fam("block CRAM data frame=CRAM\ninstr FIRST_FRAME word=1\ninstr FIRST_FRAME word=2\n"),
       "6: block CRAM: second instruction FIRST_FRAME"},
      {fam("block CRAM data frame=CRAM\ninstr FIRST_FRAME word=1 core=1048577\n"),
       "5: block CRAM: instruction FIRST_FRAME has too many core or padding words"},
      {fam("block CRAM data frame=CRAM\ninstr FIRST_FRAME word=1 padding=-2147483649\n"),
       "5: padding '-2147483649' is out of range"},
      {fam("block SECTOR_ARRAY array\ninstr FIRST_FRAME word=1\n"), "5: 'instr' belongs to a data block"},
      // device files: parameters
      {"ddb device 1\nfamily BORQUENT\ndevice 1\n", "3: a device file needs at least one parameter"},
      {"ddb device 1\nfamily BORQUENT\ndevice 1\nob JTAG_ID index=0 size=1\n",
       "3: a device file needs at least one parameter"},
      {"ddb device 1\nparam CRAM CRAM_ALGO 2\n", "2: 'family' and 'device' must come before 'param'"},
      {dev("param CRAM CRAM_ALGO 3\n"), "5: second parameter CRAM_ALGO of block CRAM"},
      {dev("param CRAM DRAS size=2 1 2 3\n"), "5: parameter DRAS: entry offset 2 is not below the size 2"},
      {dev("param CRAM DRAS 0=1 0=2\n"), "5: parameter DRAS: two entries at offset 0"},
      {dev("param CRAM DRAS 1 0=2\n"), "5: parameter DRAS: two entries at offset 0"},
      {dev("param CRAM DRAS size=1048577\n"), "5: size '1048577' is above 1048576"},
      {dev("param CRAM DRAS 1048576=1\n"), "5: parameter size 1048577 is above 1048576"},
      // Checked as the entries come, before a continuation makes millions.
      {dev("param CRAM DRAS 1 2\ndata 1*7772161\n"), "6: parameter size 7772163 is above 1048576"},
      {dev("param CRAM DRAS 4294967295=1\n"), "5: parameter size 4294967296 is above 1048576"},
      {dev("param CRAM DRAS 0=1:\n"), "5: empty entry name in '0=1:'"},
      {dev("param CRAM DRAS 0=1:a-b\n"), "5: entry name 'a-b' may hold only letters, digits and '_'"},
      {dev("param CRAM DRAS size=1 size=2\n"), "5: attribute 'size' given twice"},
      {dev("param CRAM\n"), "5: expected: param <BLOCK> <PARAMETER> [size=N] values..."},
      {fam("data 1 2\n"), "4: 'data' continues a param, arg, lutram_col or lutram_row line"},
      {dev("ob JTAG_ID index=0 size=8\ndata 1\n"), "6: 'data' continues a param, arg, lutram_col or lutram_row line"},
      // device files: arguments and value lists
      {dev("arg CRAM IMG_TO_RAW_MAP 1 2\n"), "5: expected width=N after the argument type"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=0\n"), "5: width must be above 0"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=2 1 2 3\n"),
       "5: argument IMG_TO_RAW_MAP: 3 values do not fill rows of width 2"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=2 1\ndata 2\ndata 3\n"),
       "5: argument IMG_TO_RAW_MAP: 3 values do not fill rows of width 2"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 1\narg CRAM IMG_TO_RAW_MAP width=1 2\n"),
       "6: second argument IMG_TO_RAW_MAP of block CRAM"},
      {dev("arg CRAM DRA_S4_INFO width=2 1 256\n"), "5: argument DRA_S4_INFO: its values are bytes (0 to 255)"},
      {dev("arg CRAM LUTRAM_INFO width=1 300\n"), "5: argument LUTRAM_INFO: its values are bytes (0 to 255)"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 1..\n"), "5: bad number '' for range end"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 1*0\n"), "5: repeat count 0 in '1*0'"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 1*x\n"), "5: bad number 'x' for repeat count"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 0*16777217\n"), "5: more than 16777216 values in one file"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 0..4294967295\n"), "5: more than 16777216 values in one file"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 0*16777210\narg CRAM RAW_TO_IMG_MAP width=1 0..9\n"),
       "6: more than 16777216 values in one file"},
      // A repeat count near 2^64 must not wrap the running total.
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 1 0*18446744073709551615\n"), "5: more than 16777216 values in one file"},
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 7\ndata 4294967295..0\n"), "6: more than 16777216 values in one file"},
      // S2 entries count towards the limit too.
      {dev("arg CRAM IMG_TO_RAW_MAP width=1 0*16777215\ns4s2 frames=1\ns4 frame=0\ns2 dra=0 bit=1\n"),
       "8: more than 16777216 values in one file"},
      // Line ends: LF, or CR LF; a CR anywhere else is a stray control character.
      {dev("param CRAM DRAS 1\r2\n"), "5: unexpected character 0x0D"},
      {"ddb device 1\rfamily BORQUENT\rdevice 1\rparam CRAM CRAM_ALGO 2\r", "1: unexpected character 0x0D"},
      {dev("param CRAM DRAS 1\r\r\n"), "5: unexpected character 0x0D"},
      // device option bits and LUTRAM lists
      {dev("ob JTAG_ID index=0 size=8 link=1\n"), "5: unknown attribute 'link'"},
      {dev("ob JTAG_ID index=0 size=8 value=256\n"), "5: value '256' does not fit in 8 bits"},
      {dev("ob JTAG_ID index=0 size=8\nob JTAG_ID index=0 size=8 value=1\n"), "6: option JTAG_ID is given twice"},
      {dev("lutram_col 0..254\n"), "5: the LUTRAM column list has more than 254 entries"},
      {dev("lutram_row 1\nlutram_row 2\n"), "6: second 'lutram_row' line"},
      // sector arrays
      {dev("param SECTOR_ARRAY ARRAY_COUNT 2\n"),
       "5: block SECTOR_ARRAY: ARRAY_COUNT needs the values X and Y at offsets 0 and 1"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 2 2\nparam SECTOR_ARRAY ARRAY_TYPE 1 1 1\n"
           "arg SECTOR_ARRAY CNOC_ADDRESSES width=3 0*12\n"),
       "6: block SECTOR_ARRAY: ARRAY_TYPE must give one value for each of the 4 cells"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 2 2\n"),
       "5: block SECTOR_ARRAY: ARRAY_TYPE must give one value for each of the 4 cells"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 2 2\nparam SECTOR_ARRAY ARRAY_TYPE size=4 1 1 1\n"
           "arg SECTOR_ARRAY CNOC_ADDRESSES width=3 0*12\n"),
       "6: block SECTOR_ARRAY: ARRAY_TYPE must give one value for each of the 4 cells"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 2 2\nparam SECTOR_ARRAY ARRAY_TYPE 1*4\n"
           "arg SECTOR_ARRAY CNOC_ADDRESSES width=3 0*9\n"),
       "7: block SECTOR_ARRAY: CNOC_ADDRESSES must give one row of width 3 or more for each of the 4 cells"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 2 2\nparam SECTOR_ARRAY ARRAY_TYPE 1*4\n"),
       "5: block SECTOR_ARRAY: CNOC_ADDRESSES must give one row of width 3 or more for each of the 4 cells"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 2 2\nparam SECTOR_ARRAY ARRAY_TYPE 1*4\n"
           "arg SECTOR_ARRAY CNOC_ADDRESSES width=2 0*8\n"),
       "7: block SECTOR_ARRAY: CNOC_ADDRESSES must give one row of width 3 or more for each of the 4 cells"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 0 1\nparam SECTOR_ARRAY ARRAY_TYPE size=0\n"
           "arg SECTOR_ARRAY CNOC_ADDRESSES width=3\n"),
       "5: block SECTOR_ARRAY: ARRAY_COUNT 0 x 1 has no cells"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 3 0\n"), "5: block SECTOR_ARRAY: ARRAY_COUNT 3 x 0 has no cells"},
      {dev("param SECTOR_ARRAY ARRAY_COUNT 65537 1\n"),
       "5: block SECTOR_ARRAY: ARRAY_COUNT 65537 x 1 has more than 65536 cells"},
      // S4/S2 cells
      {dev("s4 frame=0\n"), "5: 's4' needs an 's4s2' line before it"},
      {dev("s4s2 frames=2\ns4s2 frames=2\n"), "6: second 's4s2' line"},
      {dev("s4s2 frames=1048577\n"), "5: frames '1048577' is above 1048576"},
      {dev("s4s2 frames=2\ns4 frame=2\n"), "6: frame 2 is not below the 2 frames of 's4s2'"},
      {dev("s4s2 frames=2\ns4 frame=1\ns2 dra=0 bit=1\ns4 frame=1\n"), "8: second 's4' record of frame 1"},
      {dev("s4s2 frames=2\ns4 frame=1 dras=0\n"), "6: dras must be above 0"},
      {dev("s4s2 frames=2\ns4 frame=1 dras=65\n"), "6: dras '65' is above 64"},
      {dev("s4s2 frames=2\ns2 dra=0 bit=1\n"), "6: 's2' belongs to an 's4' record"},
      {dev("s4s2 frames=2\ns4 frame=0\nparam CRAM DRAS 1\ns2 dra=0 bit=1\n"), "8: 's2' belongs to an 's4' record"},
      {dev("s4s2 frames=2\ns4 frame=0 dras=2\ns2 dra=2 bit=1\n"),
       "7: dra 2 is not below the record's 2 data registers"},
      {dev("s4s2 frames=2\ns4 frame=0\ns2 dra=0 bit=4\ns2 dra=0 bit=3\n"),
       "8: S4 record of frame 0: S2 cells of data register 0 are not in ascending bit order at bit 3"},
      {dev("s4s2 frames=2\ns4 frame=0 dras=2\ns2 dra=1 bit=4\n"),
       "6: S4 record of frame 0: data register 0 has no S2 cells"},
      {dev("s4s2 frames=2\ns4 frame=0\ns2 dra=0 bit=4 cells=1:2:0:0\n"),
       "7: S4 record of frame 0: controlling bit names frame 2 of a 2-frame list"},
      {dev("s4s2 frames=2\ns4 frame=0\ns2 dra=0 bit=4 cells=4:0:0:0\n"), "7: cell value '4' is above 3"},
      {dev("s4s2 frames=2\ns4 frame=0\ns2 dra=0 bit=4 cells=1:0:0\n"), "7: cell '1:0:0' is not value:frame:bit:flag"},
      {dev("s4s2 frames=2\ns4 frame=0\ns2 dra=0 bit=4 cells=1:0:0:0:1\n"),
       "7: cell '1:0:0:0:1' is not value:frame:bit:flag"},
      {dev("s4s2 frames=2\ns4 frame=0\ns2 dra=0 bit=4 cells=1:0:0:2\n"), "7: cell flag must be 0 or 1, not '2'"},
      {dev("s4s2 frames=2\ns4 frame=0\ns2 dra=0 bit=4 cells=1:0:0:0,\n"), "7: cell '' is not value:frame:bit:flag"},
  };
  for (const auto& [text, error] : cases) {
    INFO info = load_text(text);
    EXPECT_EQ(info, nullptr) << text;
    EXPECT_EQ(VOLD_DATA_SERVER::last_error(), "t.ddb:" + error) << text;
  }
}

TEST(VoldLoad, FamilyWithoutBlocksAndLimitsAtTheEdge) {
  // A family file of only its header is well formed and has no blocks.
  INFO empty = load_text("ddb family 1\nfamily BORQUENT\nconfig_width 8\n");
  ASSERT_NE(empty, nullptr) << VOLD_DATA_SERVER::last_error();
  EXPECT_EQ(empty->get_family_info()->config_data_width, 8u);
  EXPECT_TRUE(empty->get_family_info()->block_list.empty());
  const std::string text = VOLD_DATA_SERVER::to_text(*empty);
  INFO again = load_text(text);
  ASSERT_NE(again, nullptr) << VOLD_DATA_SERVER::last_error();
  EXPECT_EQ(VOLD_DATA_SERVER::to_text(*again), text);
  // The largest parameter loads, with every offset taken once.
  INFO big = load_text(std::string(D) + "param CRAM DRAS 5*1048575 1048575=9\n");
  ASSERT_NE(big, nullptr) << VOLD_DATA_SERVER::last_error();
  const VOLD_PARAM* dras = find_param(*big->get_device_info(), VOLD_BLOCK_CRAM, VOLD_PARAMETER_DRAS);
  ASSERT_NE(dras, nullptr);
  EXPECT_EQ(dras->size, 1048576u);
  EXPECT_EQ(dras->entries->back()->value, 9u);
  // Repeated offsets: refused once there are more entries than a parameter
  // can have, without waiting for the duplicate check.
  std::string repeated = std::string(D) + "param CRAM DRAS";
  for (int i = 0; i <= 1048576; ++i) repeated += " 0=1";
  EXPECT_EQ(load_text(repeated + "\n"), nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), "t.ddb:5: parameter has more than 1048576 entries");
  // A range up to the last u32 value stays exact.
  INFO top = load_text(std::string(D) + "arg CRAM IMG_TO_RAW_MAP width=2 4294967294..4294967295\n");
  ASSERT_NE(top, nullptr) << VOLD_DATA_SERVER::last_error();
  EXPECT_EQ(top->get_device_info()->argument_list->at(0)->values,
            (std::vector<std::uint32_t>{0xFFFFFFFEu, 0xFFFFFFFFu}));
}

TEST(VoldLoad, ManyOptionBitsLoadInLinearTime) {
  // A file of many device option bits: the duplicate check must not compare
  // every pair (60000 lines took half a minute that way).
  std::string text = D;
  for (int i = 0; i < 60000; ++i) text += "ob JTAG_ID index=" + std::to_string(i) + " size=1\n";
  const auto start = std::chrono::steady_clock::now();
  INFO info = load_text(text + "ob JTAG_ID index=59999 size=1\n");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), "t.ddb:60005: option JTAG_ID is given twice");
  EXPECT_LT(seconds, 15.0);
}

TEST(VoldLoad, EarlierFamilyS4RecordsMayLeaveRegisterZeroEmpty) {
  INFO info = load_text("ddb device 1\nfamily PASKEVOLT\ndevice 2\nparam CRAM CRAM_ALGO 0\n"
                        "s4s2 frames=1\ns4 frame=0 dras=4\ns2 dra=2 bit=4\n");
  ASSERT_NE(info, nullptr) << VOLD_DATA_SERVER::last_error();
  S4_SII_DRA_LIST* dras = (*info->get_device_info()->m_s4_s2_list)[0]->get_data_list();
  ASSERT_EQ(dras->size(), 4u);
  EXPECT_EQ(dras->at(0), nullptr);
  EXPECT_EQ(dras->at(2)->size(), 1u);
}

TEST(VoldLoad, FileErrorsNameTheFile) {
  TEMP_DIR dir;
  const std::string path = dir.write(
      "broken.ddb",
      "ddb device 1\nfamily BORQUENT\ndevice 1\nparam CRAM CRAM_ALGO 2\narg CRAM IMG_TO_RAW_MAP width=2 1\n");
  EXPECT_EQ(VOLD_DATA_SERVER::get_vold_info(dir.file("broken"), false), nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), path + ":5: argument IMG_TO_RAW_MAP: 1 values do not fill rows of width 2");
  // A later good load clears the error.
  INFO good(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/example_family.ddb", false));
  EXPECT_NE(good, nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), "");
}

TEST(VoldLoad, PathsThatAreNoParameterFiles) {
  namespace fs = std::filesystem;
  TEMP_DIR tmp;
  const fs::path dir = tmp.path();
  fs::create_directories(dir / "folder.ddb");
  { std::ofstream empty(dir / "empty.ddb"); }
  fs::create_symlink(dir / "loop_a", dir / "loop_b");
  fs::create_symlink(dir / "loop_b", dir / "loop_a");
  const std::string d = dir.string();

  // A directory found through the ".ddb" fallback.
  EXPECT_EQ(VOLD_DATA_SERVER::get_vold_info(d + "/folder", false), nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), d + "/folder.ddb: not a regular file");
  // An empty file is a file without its first statement.
  EXPECT_EQ(VOLD_DATA_SERVER::get_vold_info(d + "/empty", false), nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(),
            d + "/empty.ddb:1: empty file: expected 'ddb family 1' or 'ddb device 1'");
  // A symbolic-link loop is named as such, not as a missing file.
  EXPECT_EQ(VOLD_DATA_SERVER::get_vold_info(d + "/loop_a", false), nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error().rfind(d + "/loop_a: ", 0), 0u) << VOLD_DATA_SERVER::last_error();
  EXPECT_EQ(VOLD_DATA_SERVER::last_error().find("no such file"), std::string::npos);
  // A device node is no regular file.
  EXPECT_EQ(VOLD_DATA_SERVER::get_vold_info("/dev/null", false), nullptr);
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(), "/dev/null: not a regular file");
}

TEST(VoldLoad, TruncatedExamplesNeverCrash) {
  // Every prefix of the examples either loads or fails with a message.
  for (const char* name : {"example_family.ddb", "example_device.ddb"}) {
    const std::string text = read_file(s_data_dir + "/" + name);
    ASSERT_FALSE(text.empty());
    for (std::size_t n = 0; n <= text.size(); ++n) {
      INFO info = load_text(text.substr(0, n));
      if (info == nullptr) {
        EXPECT_EQ(VOLD_DATA_SERVER::last_error().rfind("t.ddb:", 0), 0u);
      }
    }
  }
}

TEST(VoldLoad, ManyLoadsOwnEverything) {
  // Loading and deleting repeatedly: LeakSanitizer and ASan check ownership.
  for (int i = 0; i < 20; ++i) {
    INFO f(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/example_family.ddb", false));
    INFO d(VOLD_DATA_SERVER::get_vold_info(s_data_dir + "/example_device.ddb", i % 2 == 0));
    ASSERT_NE(f, nullptr);
    ASSERT_NE(d, nullptr);
    VOLD_INFO* raw = d.release();
    delete static_cast<VOLD_INFO*>(raw);  // deletion through the base, as the generator does
  }
}

}  // namespace

namespace {

// The documented examples are the checked-in fixtures, byte for byte.
TEST(VoldDocs, ExamplesMatchTheFixtures) {
  const std::string doc = read_file(std::string(VARNO_TEST_DATA_DIR) + "/../../docs/parameter-files.md");
  ASSERT_FALSE(doc.empty());
  std::vector<std::string> blocks;
  const std::string open = "```ddb\n";
  for (std::size_t pos = doc.find(open); pos != std::string::npos; pos = doc.find(open, pos)) {
    pos += open.size();
    const std::size_t end = doc.find("```", pos);
    ASSERT_NE(end, std::string::npos);
    blocks.push_back(doc.substr(pos, end - pos));
    pos = end;
  }
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0], read_file(s_data_dir + "/example_family.ddb"));
  EXPECT_EQ(blocks[1], read_file(s_data_dir + "/example_device.ddb"));
}

}  // namespace
