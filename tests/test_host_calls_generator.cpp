// Bad input at the host calls of the generator (all but the block-building
// and sector calls), the two factories, the block configuration and the
// top-level bitstream, one kind of bad input a test: each walks every call
// that takes that kind and checks the one answer docs/host.md gives, a
// refusal's exact text or a result.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "generator_fixture.h"
#include "group_fixture.h"
#include "host_calls.h"
#include "param_fixture.h"
#include "varno_block_config.h"
#include "varno_block_factory.h"
#include "varno_block_group.h"
#include "varno_itop_bitstream.h"
#include "varno_qv_top_bitstream.h"
#include "varno_test.h"
#include "varno_util.h"
#include "vold.h"

namespace fs = std::filesystem;

namespace {

const std::string s_data = VARNO_TEST_DATA_DIR;
constexpr u32 B = VARNO_GROUP_PAGE_SIZE;
constexpr u32 CRAM = VOLD_BLOCK_CRAM;

std::unique_ptr<VARNO_GEN> loaded(const std::string& name) {
  auto gen = new_generator(s_data + name + "_family.ddb", s_data + name + "_device.ddb");
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  return gen;
}
// A QUELVO family of a sector-array block alone, built: the 48-byte S4 image
// and the 2048-byte CRAM codebook of its sectors, no 2D library image.
std::unique_ptr<VARNO_GEN> setup_gen() {
  auto gen = loaded("/setup/qv");
  EXPECT_TRUE(gen->do_all_blocks());
  return gen;
}
// Data blocks with codebooks of their own: CRAM 2048 bytes, ERAM 2400.
std::unique_ptr<VARNO_GEN> codebook_gen() { return loaded("/setup/codebook"); }
// An option block with a CRC word and a data block, not built.
std::unique_ptr<VARNO_GEN> flat_gen() { return loaded("/model/flat"); }

BYTES filled(size_t n, u8 seed) {
  BYTES b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<u8>(seed + i * 7);
  return b;
}

// What a bit-field list holds, to see that a refused call left it alone.
struct LIST_STATE {
  std::vector<u32> sizes;
  std::vector<const u8*> data;
  std::vector<u32> routings;
  std::vector<BYTES> bytes;
  bool operator==(const LIST_STATE&) const = default;
};
LIST_STATE state_of(const VARNO_ITOP_BITSTREAM& top) {
  LIST_STATE s;
  for (u32 i = 0; i < top.get_bitfield_count(); ++i) {
    s.sizes.push_back(top.get_bitfield_size(i));
    s.data.push_back(top.get_bitfield_data(i));
    const u8* d = top.get_bitfield_data(i);
    s.bytes.push_back(d == nullptr ? BYTES{} : BYTES(d, d + top.get_bitfield_size(i)));
  }
  s.routings = top.get_bitfiled_routings(0, 0xFFFFFFFFu);
  return s;
}

}  // namespace

TEST(HostCallsGenerator, NullPointers) {
  auto gen = setup_gen();
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  BYTES field = filled(64, 1);
  top->add_bitfield(field.data(), 64, VARNO_QV_ROUTING_CONFIG, true, true);
  top->add_bitfield(nullptr, 0, VARNO_QV_ROUTING_CONFIG, true, true);
  const TEMP_DIR dir;
  const std::string path = dir.file("top.bin");
  u8 digest[48] = {};
  expect_host_calls({
      {"copy_2d_libs(nullptr, 1)", [&] { gen->copy_2d_libs(nullptr, 1); },
       "dst != nullptr || bytes == 0"},
      {"copy_2d_libs(nullptr, 0)", [&] { EXPECT_EQ(gen->copy_2d_libs(nullptr, 0), 0); }, ""},
      {"copy_s4_setup", [&] { gen->copy_s4_setup(nullptr, 48); }, "addr != nullptr && bytes > 0"},
      {"copy_decomp_setup",
       [&] { gen->copy_decomp_setup(nullptr, 24, 0, nullptr, CRAM, false); }, "addr != nullptr"},
      {"copy_korvia_codebook", [&] { gen->copy_korvia_codebook(nullptr, 2048, CRAM, true); },
       "addr != nullptr"},
      {"create_block(type, gen)", [&] { varno_get_block_factory()->create_block(CRAM, nullptr); },
       "parent != nullptr"},
      {"add_bitfield", [&] { top->add_bitfield(nullptr, 1, 0, true, false); },
       "data != NULL || size == 0"},
      {"insert_block_hash_to_address, dest",
       [&] { top->insert_block_hash_to_address(0, 64, VARNO_SHA_MODE_256, nullptr); },
       "dest != NULL"},
      {"insert_block_hash_to_address, a field without data",
       [&] { top->insert_block_hash_to_address(1, 0, VARNO_SHA_MODE_256, digest); },
       "blk_data != NULL"},
      {"merge_by_routing with hash, a hashed field without data behind last",
       [&] { top->merge_by_routing(64, 0, 0, true, VARNO_SHA_MODE_256); }, "blk_data != NULL"},
      {"write_to_file over a field without data",
       [&] {
         EXPECT_TRUE(top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 1, false));
         EXPECT_EQ(read_bytes(path), field);
       },
       ""},
  });
  EXPECT_EQ(top->get_bitfield_count(), 2u);
}

TEST(HostCallsGenerator, ZeroLengths) {
  auto gen = setup_gen();
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  BYTES field = filled(100, 2);
  BYTES empty;
  const TEMP_DIR dir;
  const std::string path = dir.write("top.bin", "kept");
  u8 out[64];
  std::fill(std::begin(out), std::end(out), u8{0xEE});
  expect_host_calls({
      {"copy_2d_libs",
       [&] {
         EXPECT_EQ(gen->copy_2d_libs(out, 0), 0);
         EXPECT_EQ(out[0], 0xEE);
       },
       ""},
      {"copy_s4_setup", [&] { gen->copy_s4_setup(out, 0); }, "addr != nullptr && bytes > 0"},
      {"copy_decomp_setup", [&] { gen->copy_decomp_setup(out, 0, 0, nullptr, CRAM, false); },
       "bytes >= data_size"},
      {"copy_korvia_codebook", [&] { gen->copy_korvia_codebook(out, 0, CRAM, true); },
       "bytes >= TK_GZIP_KORVIA_CODEBOOK_SIZE"},
      {"create_block(type, crc, 0 words, ones)",
       [&] {
         VARNO_IBLOCK_FACTORY* f = varno_get_block_factory();
         std::unique_ptr<VARNO_IBLOCK> bare(f->create_block(VOLD_BLOCK_OPTION_BITS, false, 0, true));
         std::unique_ptr<VARNO_IBLOCK> crc(f->create_block(VOLD_BLOCK_OPTION_BITS, true, 0, true));
         EXPECT_EQ(bare->get_block_size(), 0u);
         EXPECT_EQ(crc->get_block_size(), 4u);
       },
       ""},
      {"add_bitfield, then merge_by_routing over it",
       [&] {
         top->add_bitfield(field.data(), 100, 1, true, false);
         top->add_bitfield(empty.data(), 0, 1, true, false);
         EXPECT_EQ(top->get_bitfield_count(), 2u);
         EXPECT_EQ(top->get_bitfield_size(1), 0u);
         // An empty field has no bytes to pack: the merge drops it.
         EXPECT_TRUE(top->merge_by_routing(B, 0, 1, false, VARNO_SHA_MODE_256).empty());
         EXPECT_EQ(top->get_bitfield_count(), 1u);
         EXPECT_EQ(top->get_bitfield_size(0), B);
       },
       ""},
      {"merge_by_routing with hash over no hashed field: no hash block",
       [&] {
         EXPECT_TRUE(top->merge_by_routing(B, 0, 0, true, VARNO_SHA_MODE_256).empty());
         EXPECT_EQ(top->get_bitfield_count(), 1u);
       },
       ""},
      {"merge_by_routing(0, ...)", [&] { top->merge_by_routing(0, 0, 0, false, VARNO_SHA_MODE_256); },
       "block_size > 0"},
      {"insert_block_hash_to_address(i, 0, ...)",
       [&] {
         EXPECT_TRUE(top->insert_block_hash_to_address(0, 0, VARNO_SHA_MODE_256, out));
         // SHA-256 of no bytes.
         EXPECT_EQ(slice(BYTES(out, out + 32), 0, 4), (BYTES{0xE3, 0xB0, 0xC4, 0x42}));
       },
       ""},
      {"write_to_file(path, RAW, 1, 0, ...)",
       [&] {
         EXPECT_TRUE(top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 1, 0, true));
         EXPECT_EQ(read_file(path), "kept");
         EXPECT_TRUE(top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 1, 0, false));
         EXPECT_TRUE(fs::exists(path));
         EXPECT_EQ(read_file(path), "");
         const std::string fresh = dir.file("fresh.bin");
         EXPECT_TRUE(top->write_to_file(fresh, VARNO_OUTPUT_FORMAT_RAW, 1, 0, true));
         EXPECT_TRUE(fs::exists(fresh));
       },
       ""},
      {"get_param_value / set_param_value by an empty name",
       [&] {
         PARAM_FIXTURE dras(VOLD_PARAMETER_DRAS, 1, {entry(0, 7)});
         VARNO_BLOCK_CONFIG config;
         config.m_param_list = {&dras.param};
         EXPECT_INTERNAL_ERROR(config.set_param_value(VOLD_PARAMETER_DRAS, std::string(), 1), "!name.empty()");
         config.get_param_value(VOLD_PARAMETER_DRAS, std::string());
       },
       "!name.empty()"},
      {"get_param_values of a parameter of size 0",
       [&] {
         PARAM_FIXTURE none(VOLD_PARAMETER_DRAS, 0, {});
         VARNO_BLOCK_CONFIG config;
         config.m_param_list = {&none.param};
         u32 count = 99;
         std::unique_ptr<u32[]> values(config.get_param_values(VOLD_PARAMETER_DRAS, count));
         EXPECT_NE(values, nullptr);
         EXPECT_EQ(count, 0u);
       },
       ""},
  });
}

TEST(HostCallsGenerator, PastTheEnd) {
  auto gen = setup_gen();
  auto books = codebook_gen();
  auto flat = flat_gen();
  const TEMP_DIR dir;
  u8 out[4096];
  PARAM_FIXTURE dras(VOLD_PARAMETER_DRAS, 2, {entry(0, 7), entry(1, 7)});
  PARAM_FIXTURE stray(VOLD_PARAMETER_DRAS, 2, {entry(0, 7), entry(2, 7)});
  VARNO_BLOCK_CONFIG config;
  config.m_param_list = {&dras.param};
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  BYTES a = filled(B, 3), b = filled(B + 1, 4), c = filled(B, 5);
  top->add_bitfield(a.data(), B, 1, true, true);
  top->add_bitfield(b.data(), B + 1, 1, true, false);
  const std::string path = dir.write("top.bin", "kept");
  expect_host_calls({
      {"get_block(VOLD_BLOCK_MAX, ...)",
       [&] {
         EXPECT_EQ(flat->get_block(VOLD_BLOCK_MAX, false), nullptr);
         EXPECT_EQ(flat->get_block(0xFFFFFFFFu, true), nullptr);
         EXPECT_EQ(flat->get_block("NO_SUCH_BLOCK", false), nullptr);
         EXPECT_EQ(flat->block_index("NO_SUCH_BLOCK"), 0xFFFFFFFFu);
       },
       ""},
      {"get_block_by_index(max_block_index())",
       [&] { EXPECT_EQ(flat->get_block_by_index(flat->max_block_index()), nullptr); }, ""},
      {"overwrite_block_param_type(name, 4096, 0, 1)",
       [&] {
         auto fresh = new_generator();
         fresh->overwrite_block_param_type("SECTOR_ARRAY", 4096, 0, 1);
         fresh->overwrite_block_param_type("SECTOR_ARRAY", 0, 0, 256);
         u32 type = 77;
         fresh->overwrite_block_type("SECTOR_ARRAY", 0, 1, type);
         fresh->overwrite_block_type("SECTOR_ARRAY", 0, 0, type);
         EXPECT_EQ(type, 77u);  // ignored
       },
       ""},
      {"write_to_file(path, format)", [&] { gen->write_to_file(dir.file("d"), VARNO_OUTPUT_FORMAT_RAW); },
       "Invalid output format"},
      {"set_util_debug_level(9)",
       [&] {
         gen->set_util_debug_level(9);
         EXPECT_EQ(VARNO_UTIL::get_debug_level(), 5u);
         gen->set_util_debug_level(0);
       },
       ""},
      {"copy_2d_libs(dst, size + 1)", [&] { gen->copy_2d_libs(out, gen->get_2d_libs_size() + 1); },
       "bytes <= m_2d_libs_size"},
      {"get_ip_offset(ip past the types)",
       [&] { EXPECT_EQ(gen->get_ip_offset(99), gen->get_ip_offset(4)); }, ""},
      {"get_2d_pred_settings(2)", [&] { gen->get_2d_pred_settings(2); },
       "wrd_idx == 0 || wrd_idx == 1"},
      {"copy_s4_setup(addr, 49)", [&] { gen->copy_s4_setup(out, 49); }, "bytes <= m_s4_setup_size"},
      {"copy_decomp_setup(..., dc_idx 2, ...)",
       [&] { gen->copy_decomp_setup(out, 24, 2, nullptr, CRAM, false); },
       "DC thread index (2) must be < 2"},
      {"get_korvia_codebook_size / copy_korvia_codebook of a type past the block types",
       [&] {
         out[0] = 0xEE;
         EXPECT_EQ(gen->get_korvia_codebook_size(VOLD_BLOCK_MAX), 0u);
         EXPECT_EQ(gen->copy_korvia_codebook(out, 2048, VOLD_BLOCK_MAX, true), 0u);
         EXPECT_EQ(out[0], 0xEE);
       },
       ""},
      {"copy_korvia_codebook, a codebook past the buffer",
       [&] { books->copy_korvia_codebook(out, 2048, VOLD_BLOCK_ERAM, true); },
       "GZIP_KORVIA_LITERALS codebook size (2400) can't be greater than buffer size (2048)"},
      {"create_block(type past the block types, gen)",
       [&] {
         std::unique_ptr<VARNO_IBLOCK> block(
             varno_get_block_factory()->create_block(VOLD_BLOCK_MAX, flat.get()));
         EXPECT_STREQ(dynamic_cast<VARNO_BLOCK*>(block.get())->block_type_name(), "");
       },
       ""},
      {"create_block(type, crc, 0x08000000 words, ones)",
       [&] { varno_get_block_factory()->create_block(CRAM, false, 0x08000000u, false); },
       "word_count <= k_max_word_count"},
      {"get_param / get_arg of a type past the types",
       [&] {
         EXPECT_EQ(config.get_param(VOLD_PARAMETER_MAX), nullptr);
         EXPECT_EQ(config.get_param_size(VOLD_PARAMETER_MAX), 0u);
         EXPECT_EQ(config.get_arg(VOLD_ARGUMENT_MAX), nullptr);
       },
       ""},
      {"get_param_value / set_param_value at an offset past the size",
       [&] {
         config.set_param_value(VOLD_PARAMETER_DRAS, 2u, 9);
         EXPECT_EQ(config.get_param_value(VOLD_PARAMETER_DRAS, 2u), 0u);
         EXPECT_EQ(config.get_param_value(VOLD_PARAMETER_DRAS, 1u), 7u);
       },
       ""},
      {"get_param_values with an entry past the size",
       [&] {
         VARNO_BLOCK_CONFIG bad;
         bad.m_param_list = {&stray.param};
         u32 count = 0;
         delete[] bad.get_param_values(VOLD_PARAMETER_DRAS, count);
       },
       "(*it)->get_offset() < length"},
      {"get_bitfield_size / get_bitfield_data / get_bitfiled_routings past the list",
       [&] {
         EXPECT_EQ(top->get_bitfield_size(2), 0u);
         EXPECT_EQ(top->get_bitfield_data(2), nullptr);
         EXPECT_TRUE(top->get_bitfiled_routings(2, 5).empty());
         EXPECT_EQ(top->get_bitfiled_routings(1, 5), std::vector<u32>{1});
       },
       ""},
      {"insert_block_hash_to_address(count, ...)",
       [&] { top->insert_block_hash_to_address(2, 0, VARNO_SHA_MODE_256, out); },
       "block_idx < m_BitFieldList.size()"},
      {"insert_block_hash_to_address(i, size + 1, ...)",
       [&] { top->insert_block_hash_to_address(0, B + 1, VARNO_SHA_MODE_256, out); },
       "num_bytes <= blk_size"},
      {"merge_by_routing(..., last = count, ...)",
       [&] { EXPECT_TRUE(top->merge_by_routing(B, 0, 2, true, VARNO_SHA_MODE_256).empty()); }, ""},
      {"merge_by_routing over a field past the block size",
       [&] { top->merge_by_routing(B, 1, 1, false, VARNO_SHA_MODE_256); }, "blk_size <= block_size"},
      {"write_to_file(path, RAW, 0, count, ...)",
       [&] {
         EXPECT_FALSE(top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 2, false));
         EXPECT_EQ(read_file(path), "kept");
       },
       ""},
      {"write_to_file(path, format past the formats, ...)",
       [&] {
         EXPECT_TRUE(top->write_to_file(dir.file("none"), static_cast<VARNO_OUTPUT_FORMAT>(9), 0, 1, false));
         EXPECT_FALSE(fs::exists(dir.file("none")));
       },
       ""},
      {"add_bitfield with routing 7, merged with hash",
       [&] {
         top->add_bitfield(c.data(), B, 7, true, true);
         ASSERT_EQ(top->merge_by_routing(B, 2, 2, true, VARNO_SHA_MODE_256), std::vector<u32>{2});
         EXPECT_EQ(top->get_bitfiled_routings(0, 3), (std::vector<u32>{1, 1, 2, 7}));
         // The routing table keeps the code's low two bits.
         const u8* hash = top->get_bitfield_data(2);
         EXPECT_EQ(read_le32(BYTES(hash, hash + 16), 12), 1u);  // one routing entry
         EXPECT_EQ(hash[16 + 32] & 3u, 3u);
       },
       ""},
  });
}

TEST(HostCallsGenerator, BeforeWhatItNeeds) {
  const TEMP_DIR dir;
  u8 out[4096];
  // Before process_pcfs.
  auto fresh = new_generator(s_data + "/setup/qv_family.ddb", s_data + "/setup/qv_device.ddb");
  // After process_pcfs, before do_all_blocks.
  auto flat = flat_gen();
  auto unbuilt = loaded("/setup/qv");
  GROUP_GEN grouped;
  grouped.load_model();
  std::unique_ptr<VARNO_IMBLOCK_GROUP> group(grouped.gen()->create_group());
  std::unique_ptr<VARNO_IBLOCK> loose(varno_get_block_factory()->create_block(CRAM, fresh.get()));
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(fresh->create_top_bitstream());
  std::vector<u32> types = {99};
  expect_host_calls({
      {"lookups before process_pcfs",
       [&] {
         EXPECT_EQ(fresh->get_block("SECTOR_ARRAY", false), nullptr);
         EXPECT_EQ(fresh->get_block(VOLD_BLOCK_SECTOR_ARRAY, true), nullptr);
         EXPECT_EQ(fresh->get_block_by_index(0), nullptr);
         EXPECT_EQ(fresh->block_index("SECTOR_ARRAY"), 0xFFFFFFFFu);
         EXPECT_EQ(fresh->max_block_index(), 0u);
         EXPECT_EQ(fresh->bt_size(), 0u);
       },
       ""},
      {"write_to_file before process_pcfs",
       [&] {
         fresh->write_to_file(dir.file("empty.txt"), VARNO_OUTPUT_FORMAT_DAT);
         EXPECT_TRUE(fs::exists(dir.file("empty.txt")));
         EXPECT_EQ(read_file(dir.file("empty.txt")), "");
       },
       ""},
      {"write_to_file before do_all_blocks",
       [&] { flat->write_to_file(dir.file("dump.txt"), VARNO_OUTPUT_FORMAT_DAT); },
       "Text dump before do_all_blocks built any block"},
      {"dump_expected_data before process_pcfs",
       [&] {
         fresh->dump_expected_data(dir.file("expected"));
         EXPECT_TRUE(fs::is_directory(dir.file("expected")));
         EXPECT_TRUE(fs::is_empty(dir.file("expected")));
       },
       ""},
      {"dump_expected_data before do_all_blocks",
       [&] {
         flat->dump_expected_data(dir.file("flat"));
         EXPECT_TRUE(fs::is_directory(dir.file("flat")));
       },
       ""},
      {"dump_expected_data without a frame manager",
       [&] {
         struct FAILING_MGR : STUB_FRAME_MGR {
           bool init() override { return false; }
         };
         FRAME_MGR_HOOK_SCOPE failing([](VOLD_FRAME_TYPE) -> VARNO_FRAME_MGR* { return new FAILING_MGR(); });
         // Two data blocks: the second is left without a manager.
         auto failed =
             new_generator(s_data + "/setup/codebook_family.ddb", s_data + "/setup/codebook_device.ddb");
         EXPECT_EQ(failed->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_FRAME_MGR_FAILED);
         failed->dump_expected_data(dir.file("failed"));
       },
       "m_frame_mgr != nullptr"},
      {"process_pcfs before the names",
       [&] {
         auto nameless = new_generator();
         EXPECT_EQ(nameless->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_FAMILY_MISSING);
         nameless->set_family_pcf(s_data + "/setup/qv_family.ddb");
         nameless->process_pcfs(false, false, false, nullptr, 0);
       },
       "Invalid device pcf file"},
      {"bt_size before do_all_blocks",
       [&] {
         const u32 unbuilt_size = flat->bt_size();
         auto built = flat_gen();
         ASSERT_TRUE(built->do_all_blocks());
         EXPECT_EQ(unbuilt_size, built->bt_size());
         EXPECT_EQ(unbuilt_size, 20u);  // the option block: 4 words and its CRC word
       },
       ""},
      {"the 2D library image before do_all_blocks",
       [&] {
         EXPECT_EQ(unbuilt->get_2d_libs_size(), 0u);
         EXPECT_EQ(unbuilt->get_ip_offset(0), 0u);
         EXPECT_EQ(unbuilt->get_ip_offset(4), 0u);
         unbuilt->clear_2d_data();
       },
       ""},
      {"copy_2d_libs before do_all_blocks", [&] { unbuilt->copy_2d_libs(out, 1); },
       "bytes <= m_2d_libs_size"},
      {"get_s4_setup_size before process_pcfs", [&] { fresh->get_s4_setup_size(); },
       "family_info != nullptr"},
      {"copy_s4_setup before process_pcfs", [&] { fresh->copy_s4_setup(out, 48); },
       "family_info != nullptr"},
      {"copy_decomp_setup of the 2D library image before do_all_blocks",
       [&] { unbuilt->copy_decomp_setup(out, 24, 0, nullptr, 0, false); }, "data_size > 0"},
      {"copy_decomp_setup of a group before collect_data",
       [&] { grouped.gen()->copy_decomp_setup(out, 24, 0, group.get(), 0, false); },
       "Block group get_2d_setup_size() called before collect_data()"},
      {"copy_decomp_setup of a codebook before process_pcfs",
       [&] { fresh->copy_decomp_setup(out, 24, 0, nullptr, CRAM, false); }, "eblock != nullptr"},
      {"get_korvia_codebook_size before process_pcfs", [&] { fresh->get_korvia_codebook_size(CRAM); },
       "eblock != nullptr"},
      {"copy_korvia_codebook before process_pcfs",
       [&] { fresh->copy_korvia_codebook(out, 2048, CRAM, true); }, "eblock != nullptr"},
      {"get_korvia_codebook_types before process_pcfs",
       [&] {
         fresh->get_korvia_codebook_types(types);
         EXPECT_EQ(types, std::vector<u32>{99});
       },
       ""},
      {"a stand-alone block's configuration",
       [&] {
         const VARNO_BLOCK_CONFIG* config = dynamic_cast<VARNO_DBLOCK*>(loose.get())->get_block_config();
         EXPECT_EQ(config->get_param(VOLD_PARAMETER_DRAS), nullptr);
         config->get_param_value(VOLD_PARAMETER_DRAS, 0u);
       },
       "p != nullptr"},
      {"the top bitstream, empty",
       [&] {
         EXPECT_EQ(top->get_bitfield_count(), 0u);
         EXPECT_TRUE(top->get_bitfiled_routings(0, 0).empty());
         EXPECT_TRUE(top->merge_by_routing(B, 0, 0, true, VARNO_SHA_MODE_256).empty());
         EXPECT_FALSE(top->write_to_file(dir.file("top.bin"), VARNO_OUTPUT_FORMAT_RAW, 0, 0, false));
         EXPECT_FALSE(fs::exists(dir.file("top.bin")));
       },
       ""},
      {"insert_block_hash_to_address on an empty bitstream",
       [&] { top->insert_block_hash_to_address(0, 0, VARNO_SHA_MODE_256, out); },
       "block_idx < m_BitFieldList.size()"},
      // An option block's CRC word is of its image as it was: a write of the
      // bits already there leaves it right, another write stale until
      // crc_update.
      {"read_block_data of an option block written since its CRC word",
       [&] {
         auto built = flat_gen();
         ASSERT_TRUE(built->do_all_blocks());
         VARNO_IBLOCK* options = built->get_block("OPTION_BITS", false);
         u8 pgf[2] = {};
         options->read_option_bits("PGF_LENGTH", "OPTION_BITS", pgf, 16);
         options->write_option_bits("PGF_LENGTH", "OPTION_BITS", pgf, 16, nullptr);
         options->read_block_data(out);
         pgf[0] ^= 1;
         options->write_option_bits("PGF_LENGTH", "OPTION_BITS", pgf, 16, nullptr);
         EXPECT_INTERNAL_ERROR(built->write_to_file(dir.file("stale.txt"), VARNO_OUTPUT_FORMAT_DAT),
                               "Text dump with a stale CRC word of block OPTION_BITS: its image changed after "
                               "the CRC was computed; call crc_update() first");
         EXPECT_FALSE(fs::exists(dir.file("stale.txt")));
         options->read_block_data(out);
       },
       "Block OPTION_BITS read with a stale CRC word: its image changed after the CRC was computed; call "
       "crc_update() first"},
  });
}

TEST(HostCallsGenerator, SecondCall) {
  const TEMP_DIR dir;
  auto gen = setup_gen();
  auto flat = flat_gen();
  ASSERT_TRUE(flat->do_all_blocks());
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  BYTES field = filled(B, 6);
  PARAM_FIXTURE dras(VOLD_PARAMETER_DRAS, 2, {entry(0, 7), entry(1, 7)});
  VARNO_BLOCK_CONFIG config;
  config.m_param_list = {&dras.param};
  // The same bytes from both calls.
  auto twice = [](auto call) {
    BYTES first(4096, 0xEE), second(4096, 0xEE);
    call(first.data());
    call(second.data());
    EXPECT_EQ(first, second);
  };
  expect_host_calls({
      {"varno_get_factory / create_generator",
       [&] {
         EXPECT_EQ(varno_get_factory(), varno_get_factory());
         std::unique_ptr<VARNO_IGEN> a(varno_get_factory()->create_generator());
         std::unique_ptr<VARNO_IGEN> b(varno_get_factory()->create_generator());
         EXPECT_NE(a.get(), b.get());
       },
       ""},
      {"varno_get_block_factory / create_block",
       [&] {
         VARNO_IBLOCK_FACTORY* f = varno_get_block_factory();
         EXPECT_EQ(varno_get_block_factory(), f);
         std::unique_ptr<VARNO_IBLOCK> a(f->create_block(CRAM, flat.get()));
         std::unique_ptr<VARNO_IBLOCK> b(f->create_block(CRAM, flat.get()));
         std::unique_ptr<VARNO_IBLOCK> c(f->create_block(VOLD_BLOCK_OPTION_BITS, false, 1, false));
         std::unique_ptr<VARNO_IBLOCK> d(f->create_block(VOLD_BLOCK_OPTION_BITS, false, 1, false));
         EXPECT_NE(a.get(), b.get());
         EXPECT_NE(c.get(), d.get());
       },
       ""},
      {"set_family_pcf / set_device_pcf before process_pcfs",
       [&] {
         auto fresh = new_generator("a", "b");
         fresh->set_family_pcf("c");
         fresh->set_device_pcf("d");
         EXPECT_EQ(fresh->family_pcf(), "c");
         EXPECT_EQ(fresh->device_pcf(), "d");
       },
       ""},
      {"set_family_pcf after process_pcfs", [&] { gen->set_family_pcf("other"); },
       "set_family_pcf after process_pcfs"},
      {"set_device_pcf after process_pcfs", [&] { gen->set_device_pcf("other"); },
       "set_device_pcf after process_pcfs"},
      {"overwrite_block_param_type after process_pcfs",
       [&] { gen->overwrite_block_param_type("SECTOR_ARRAY", 0, 0, 1); },
       "overwrite_block_param_type after process_pcfs"},
      {"overwrite_block_param_type twice for a cell",
       [&] {
         auto fresh = new_generator();
         fresh->overwrite_block_param_type("SECTOR_ARRAY", 1, 0, 3);
         fresh->overwrite_block_param_type("SECTOR_ARRAY", 1, 0, 4);
         u32 type = 0;
         fresh->overwrite_block_type("SECTOR_ARRAY", 1, 0, type);
         EXPECT_EQ(type, 3u);
       },
       ""},
      {"process_pcfs", [&] { gen->process_pcfs(false, false, false, nullptr, 0); },
       "m_family_pcf_info == nullptr"},
      {"process_pcfs after VARNO_PCF_FAMILY_MISSING",
       [&] {
         auto retry = new_generator(dir.file("missing"), s_data + "/setup/qv_device.ddb");
         EXPECT_EQ(retry->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_FAMILY_MISSING);
         retry->set_family_pcf(s_data + "/setup/qv_family.ddb");
         EXPECT_EQ(retry->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
         EXPECT_EQ(retry->max_block_index(), 1u);
       },
       ""},
      {"get_block(name, true)",
       [&] {
         std::unique_ptr<VARNO_IBLOCK> a(flat->get_block("OPTION_BITS", true));
         std::unique_ptr<VARNO_IBLOCK> b(flat->get_block("OPTION_BITS", true));
         EXPECT_NE(a.get(), b.get());
         EXPECT_EQ(block_bytes(a.get()), block_bytes(b.get()));
       },
       ""},
      {"write_to_file (text dump)",
       [&] {
         flat->write_to_file(dir.file("dump.txt"), VARNO_OUTPUT_FORMAT_DAT);
         const std::string once = read_file(dir.file("dump.txt"));
         flat->write_to_file(dir.file("dump.txt"), VARNO_OUTPUT_FORMAT_DAT);
         EXPECT_FALSE(once.empty());
         EXPECT_EQ(read_file(dir.file("dump.txt")), once);
       },
       ""},
      {"dump_expected_data",
       [&] {
         flat->dump_expected_data(dir.file("expected"));
         flat->dump_expected_data(dir.file("expected"));
         EXPECT_TRUE(fs::is_directory(dir.file("expected")));
       },
       ""},
      {"clear_2d_data", [&] { gen->clear_2d_data(); gen->clear_2d_data(); }, ""},
      {"copy_s4_setup", [&] { twice([&](u8* out) { gen->copy_s4_setup(out, 48); }); }, ""},
      {"copy_decomp_setup",
       [&] { twice([&](u8* out) { EXPECT_EQ(gen->copy_decomp_setup(out, 40, 1, nullptr, CRAM, true), 40u); }); },
       ""},
      {"copy_korvia_codebook",
       [&] { twice([&](u8* out) { EXPECT_EQ(gen->copy_korvia_codebook(out, 4096, CRAM, false), 2048u); }); },
       ""},
      {"get_korvia_codebook_types",
       [&] {
         std::vector<u32> types;
         gen->get_korvia_codebook_types(types);
         gen->get_korvia_codebook_types(types);
         EXPECT_EQ(types, std::vector<u32>{CRAM});
       },
       ""},
      {"set_util_debug_level",
       [&] {
         gen->set_util_debug_level(3);
         gen->set_util_debug_level(0);
         EXPECT_EQ(VARNO_UTIL::get_debug_level(), 0u);
       },
       ""},
      {"create_top_bitstream",
       [&] {
         std::unique_ptr<VARNO_ITOP_BITSTREAM> other(gen->create_top_bitstream());
         EXPECT_NE(other.get(), top.get());
         EXPECT_EQ(other->get_bitfield_count(), 0u);
       },
       ""},
      {"add_bitfield of one buffer twice",
       [&] {
         top->add_bitfield(field.data(), B, 3, true, true);
         top->add_bitfield(field.data(), B, 3, true, true);
         EXPECT_EQ(top->get_bitfield_count(), 2u);
         EXPECT_EQ(top->get_bitfield_data(0), top->get_bitfield_data(1));
       },
       ""},
      {"insert_block_hash_to_address",
       [&] { twice([&](u8* out) { top->insert_block_hash_to_address(0, B, VARNO_SHA_MODE_384, out); }); },
       ""},
      {"write_to_file (bitstream)",
       [&] {
         const std::string path = dir.file("top.bin");
         EXPECT_TRUE(top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 0, false));
         EXPECT_TRUE(top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 0, false));
         EXPECT_EQ(read_bytes(path), field);
         EXPECT_TRUE(top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 1, 1, true));
         EXPECT_EQ(read_bytes(path), concat({field, field}));
       },
       ""},
      {"set_param_value / get_param_values",
       [&] {
         config.set_param_value(VOLD_PARAMETER_DRAS, 1u, 8);
         config.set_param_value(VOLD_PARAMETER_DRAS, 1u, 9);
         u32 count = 0;
         std::unique_ptr<u32[]> a(config.get_param_values(VOLD_PARAMETER_DRAS, count));
         std::unique_ptr<u32[]> b(config.get_param_values(VOLD_PARAMETER_DRAS, count));
         EXPECT_NE(a.get(), b.get());
         EXPECT_EQ(a[1], 9u);
       },
       ""},
  });
}

// A bitstream has one hash chain, and a merge leaves what it hashed as it
// was: its hash blocks hold the digests of the hashed fields behind them, in
// order, and the routing codes of the fields merged with them.
TEST(HostCallsGenerator, MergeOverAnEarlierMergesHashBlocks) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES option = filled(100, 7);
  std::vector<BYTES> pages;
  for (u8 i = 0; i < 6; ++i) pages.push_back(filled(B, static_cast<u8>(0x20 + i)));
  top.add_bitfield(option.data(), 100, VARNO_QV_ROUTING_CONFIG, true, false);
  for (u32 i = 0; i < 3; ++i) top.add_bitfield(pages[i].data(), B, VARNO_QV_ROUTING_GROUP_DATA, true, true);
  // Hashed and a whole block behind the merged range: the hash block covers it.
  top.add_bitfield(pages[3].data(), B, VARNO_QV_ROUTING_GROUP_DATA, true, true);
  ASSERT_EQ(top.merge_by_routing(B, 1, 2, true, VARNO_SHA_MODE_256), std::vector<u32>{1});
  // option, hash block, pages 0 to 3
  ASSERT_EQ(top.get_bitfield_count(), 6u);

  const std::string over = "merge_by_routing over a hash block of an earlier merge";
  const std::string one_chain =
      "merge_by_routing with hash on a bit-field list that holds hash blocks already: a bitstream has one "
      "hash chain, so add every hashed field, then merge once";
  const std::string repack =
      "merge_by_routing repacks bit fields that hash blocks of an earlier merge cover";
  struct REFUSED {
    u32 block_size, first, last;
    bool hash;
    std::string text;
  };
  const LIST_STATE before = state_of(top);
  for (const REFUSED& r : std::vector<REFUSED>{
           {B, 1, 3, false, over},
           {B, 1, 1, true, over},
           {B, 0, 5, false, over},
           // In front of the hash block, and behind it.
           {B, 0, 0, true, one_chain},
           {B, 5, 5, true, one_chain},
           {2 * B, 2, 3, false, repack},
       }) {
    SCOPED_TRACE(std::to_string(r.first) + ".." + std::to_string(r.last));
    EXPECT_INTERNAL_ERROR(top.merge_by_routing(r.block_size, r.first, r.last, r.hash, VARNO_SHA_MODE_256),
                          r.text);
    EXPECT_TRUE(state_of(top) == before);
  }

  // Whole blocks of the same size pass as they are, and the unhashed field
  // in front is packed where no hash block reaches: nothing covered changes.
  EXPECT_TRUE(top.merge_by_routing(B, 2, 5, false, VARNO_SHA_MODE_256).empty());
  EXPECT_TRUE(top.merge_by_routing(B, 0, 0, false, VARNO_SHA_MODE_256).empty());
  EXPECT_EQ(top.get_bitfield_size(0), B);
  const LIST_STATE after = state_of(top);
  for (u32 i = 1; i < 6; ++i) {
    EXPECT_EQ(after.data[i], before.data[i]);
    EXPECT_EQ(after.bytes[i], before.bytes[i]);
  }

  // Hashed fields added after the merge, in front or behind: no second
  // chain covers them, so they are not written.
  const TEMP_DIR dir;
  const std::string path = dir.file("top.bin");
  top.add_bitfield(pages[4].data(), B, VARNO_QV_ROUTING_DESCRIPTOR, false, true);
  EXPECT_INTERNAL_ERROR(top.merge_by_routing(B, 0, 0, true, VARNO_SHA_MODE_256), one_chain);
  EXPECT_INTERNAL_ERROR(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 1, false),
                        "Top bitstream write_to_file() over bit field 0, marked hashed, which no hash block "
                        "covers: it stands in front of the hash chain, which merge_by_routing() started at its "
                        "first field");
  const u32 next = top.get_bitfield_count();
  top.add_bitfield(pages[5].data(), B, VARNO_QV_ROUTING_GROUP_DATA, true, true);
  EXPECT_INTERNAL_ERROR(top.merge_by_routing(B, next, next, true, VARNO_SHA_MODE_256), one_chain);
  EXPECT_INTERNAL_ERROR(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 1, next, false),
                        "Top bitstream write_to_file() over bit field 7, marked hashed, which no hash block "
                        "covers: it came after merge_by_routing() inserted the hash blocks");
  EXPECT_FALSE(fs::exists(path));
  // A host's own fields of the hash blocks' routing are no hash blocks:
  // they merge again.
  BYTES own = filled(100, 9);
  top.add_bitfield(own.data(), 100, VARNO_QV_ROUTING_HASH, true, false);
  top.add_bitfield(own.data(), 100, VARNO_QV_ROUTING_HASH, true, false);
  EXPECT_TRUE(top.merge_by_routing(B, next + 1, next + 2, false, VARNO_SHA_MODE_256).empty());
  EXPECT_TRUE(top.merge_by_routing(B, next + 1, next + 1, false, VARNO_SHA_MODE_256).empty());
  // The chain and what it covers go out, but not a first hash block changed
  // outside its digests (four: pages 0 to 3); a byte put back is taken.
  u8* head = top.get_bitfield_data(2);
  for (const auto& [at, where] : std::vector<std::pair<u32, std::string>>{
           {8, "its header words"}, {16 + 4 * 32, "its routing table"}, {B - 1, "the zero bytes after its routing table"}}) {
    head[at] ^= 0x40;
    EXPECT_INTERNAL_ERROR(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 1, next - 1, false),
                          "Top bitstream write_to_file() over bit field 2, the chain's first hash block, whose byte " +
                              std::to_string(at) + " (in " + where +
                              ") changed after merge_by_routing() wrote it: only its digests may be put anew, with "
                              "insert_block_hash_to_address()");
    head[at] ^= 0x40;
  }
  EXPECT_TRUE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 1, next - 1, false));
}
