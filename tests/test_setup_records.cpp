// The generator's decompressor set-up data: S4 setup images of the QUELVO
// and TROSKIVANE families, decompression setup records and literal
// codebooks. Expected bytes are written out by hand from the record layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "msg.h"
#include "varno_block_config.h"
#include "varno_block_group.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_test.h"
#include "varno_util.h"
#include "vold.h"

namespace {

const std::string s_setup_dir = std::string(VARNO_TEST_DATA_DIR) + "/setup/";

// A generator whose 2D library image size the test chooses.
class LIBS_GEN : public VARNO_GEN {
 public:
  u32 libs_size = 0;
  u32 get_2d_libs_size() override { return libs_size; }
};

// A group that only knows the size of its threads' 2D setup data.
class SETUP_GROUP : public VARNO_IMBLOCK_GROUP {
 public:
  u32 setup_size[2] = {0, 0};
  std::vector<unsigned> asked;
  u32 get_2d_setup_size(unsigned thr) override {
    asked.push_back(thr);
    return setup_size[thr];
  }
  void add_mblock(VARNO_IMBLOCK*, unsigned) override {}
  void add_dblock(VARNO_IBLOCK*, unsigned) override {}
  void clear_group() override {}
  u32 group_num_blocks(unsigned) override { return 0; }
  VARNO_IMBLOCK* block(int, unsigned) override { return nullptr; }
  void set_group_type(const std::string&, const std::string&) override {}
  void enable_interleaving(bool) override {}
  u32 get_group_full_size() override { return 0; }
  u32 get_group_descriptor_size() override { return 0; }
  u32 get_thread_size(unsigned) override { return 0; }
  void get_group_data(u8*, unsigned) override {}
  void get_thread_data(u8*, unsigned, unsigned) override {}
  void get_group_descriptor_data(u8*, unsigned) override {}
  void dump(std::ofstream&, VARNO_OUTPUT_FORMAT) override {}
  void set_sector_frame_range(unsigned, unsigned, unsigned, unsigned, unsigned, const std::string&,
                              bool) override {}
  void collect_data(bool) override {}
  bool is_thread_active(unsigned) override { return false; }
  u32 get_comp_ratio(unsigned) override { return 0; }
  u32 get_2d_setup_data(u8*, unsigned) override { return 0; }
  u8* get_sg_param() override { return nullptr; }
};

template <typename GEN = VARNO_GEN>
std::unique_ptr<GEN> load(const std::string& family, const std::string& device) {
  auto gen = std::make_unique<GEN>();
  gen->set_family_pcf(family);
  gen->set_device_pcf(device);
  EXPECT_EQ(gen->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  return gen;
}

template <typename GEN = VARNO_GEN>
std::unique_ptr<GEN> load_setup(const std::string& name) {
  return load<GEN>(s_setup_dir + name + "_family.ddb", s_setup_dir + name + "_device.ddb");
}

// TROSKIVANE family and device files in dir with the given block and
// record lines.
std::string tk_family(const TEMP_DIR& dir, const std::string& blocks) {
  return dir.write("family.ddb", "ddb family 1\nfamily TROSKIVANE\nconfig_width 32\n" + blocks);
}
std::string tk_device(const TEMP_DIR& dir, const std::string& lines,
                      const std::string& name = "device.ddb") {
  return dir.write(name, "ddb device 1\nfamily TROSKIVANE\ndevice PLACEHOLDER_DEVICE_40\n" + lines);
}

// A TROSKIVANE device with the given argument lines for the sector array.
std::unique_ptr<VARNO_GEN> load_tk(const TEMP_DIR& dir, const std::string& args) {
  return load(s_setup_dir + "tk_family.ddb",
              tk_device(dir, "param SECTOR_ARRAY ARRAY_TYPE 1\n" + args));
}

// Error lines of the generator, captured from standard error.
class MESSAGES {
 public:
  MESSAGES() {
    VARNO_UTIL::set_debug_level(1);
    testing::internal::CaptureStderr();
  }
  ~MESSAGES() {
    if (!m_taken) testing::internal::GetCapturedStderr();
    VARNO_UTIL::set_debug_level(0);
  }
  std::string take() {
    m_taken = true;
    return testing::internal::GetCapturedStderr();
  }

 private:
  bool m_taken = false;
};

std::string error_line(const std::string& text) { return "\x1b[0;31mError: " + text + "\x1b[0m\n"; }

}  // namespace

// ---- S4 setup image ---------------------------------------------------------------

TEST(S4Setup, QuelvoImage) {
  auto gen = load_setup("qv");
  EXPECT_EQ(gen->get_s4_setup_size(), 48u);
  const std::vector<u8> expected = {0xf0, 0x1e, 0xf0, 0x1e, 0x0f, 0xf0, 0xde, 0x03, 0xe0, 0xf1,
                                    0xde, 0x03, 0xff, 0x0f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                    0xff, 0x00, 0xde, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x28, 0x20,
                                    0x20, 0x20, 0x30, 0x30, 0x10, 0x10, 0x18, 0x20};
  std::vector<u8> image(48, 0xEE);
  gen->copy_s4_setup(image.data(), 48);
  EXPECT_EQ(image, expected);

  std::vector<u8> again(48, 0);
  gen->copy_s4_setup(again.data(), 48);
  EXPECT_EQ(again, expected);

  // A shorter copy is the image's beginning; nothing past it is written.
  std::vector<u8> part(16, 0xEE);
  gen->copy_s4_setup(part.data(), 12);
  EXPECT_EQ(std::vector<u8>(part.begin(), part.begin() + 12),
            std::vector<u8>(expected.begin(), expected.begin() + 12));
  EXPECT_EQ(part[12], 0xEE);

  std::vector<u8> big(49, 0);
  EXPECT_INTERNAL_ERROR(gen->copy_s4_setup(big.data(), 49), "bytes <= m_s4_setup_size");
  EXPECT_INTERNAL_ERROR(gen->copy_s4_setup(nullptr, 48), "addr != nullptr && bytes > 0");
  EXPECT_INTERNAL_ERROR(gen->copy_s4_setup(big.data(), 0), "addr != nullptr && bytes > 0");
}

TEST(S4Setup, SizeComputedOnFirstCopy) {
  // The copy asks for the size itself when nobody did.
  auto gen = load_setup("qv");
  std::vector<u8> image(48, 0);
  gen->copy_s4_setup(image.data(), 48);
  EXPECT_EQ(image[0], 0xf0);
  EXPECT_EQ(image[47], 0x20);
}

TEST(S4Setup, TroskivaneImage) {
  auto gen = load_setup("tk");
  EXPECT_EQ(gen->get_s4_setup_size(), 136u);
  std::vector<u8> image(136, 0xEE);
  gen->copy_s4_setup(image.data(), 136);
  // Length 0x100 (its second row unused), start 0x20, then the three mask
  // rows (0x12345, 0xAB), (1, 2), (0xFFFF, 0xFFFF).
  const u8 head[] = {0x00, 0x01, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x45, 0x23,
                     0xab, 0x00, 0x01, 0x00, 0x02, 0x00, 0xff, 0xff, 0xff, 0xff};
  std::vector<u8> expected(136, 0);
  std::copy(std::begin(head), std::end(head), expected.begin());
  EXPECT_EQ(image, expected);
}

TEST(S4Setup, TroskivaneImageBuiltOnce) {
  auto gen = load_setup("tk");
  std::vector<u8> first(136, 0);
  gen->copy_s4_setup(first.data(), 136);
  // Later changes of the arguments do not reach the kept image.
  auto* eblock = dynamic_cast<VARNO_EBLOCK*>(gen->get_block("SECTOR_ARRAY", false));
  ASSERT_NE(eblock, nullptr);
  eblock->config()->get_arg(VOLD_ARGUMENT_CORE_IP_START)->values[0] = 0x77;
  std::vector<u8> second(136, 0);
  gen->copy_s4_setup(second.data(), 136);
  EXPECT_EQ(second, first);
  EXPECT_EQ(second[4], 0x20);
}

TEST(S4Setup, TroskivaneMaskRowLimit) {
  TEMP_DIR dir;
  // 32 rows fill the image to its last byte.
  auto full = load_tk(dir,
                      "arg SECTOR_ARRAY CORE_IP_LENGTH width=1 1\n"
                      "arg SECTOR_ARRAY CORE_IP_START width=1 2\n"
                      "arg SECTOR_ARRAY S4_HW_MASK width=2 0x1ABCD*63 0xFEED\n");
  std::vector<u8> image(136, 0);
  full->copy_s4_setup(image.data(), 136);
  EXPECT_EQ(words({1, 2, 0xABCDABCD, 0xABCDABCD}),
            std::vector<u8>(image.begin(), image.begin() + 16));
  EXPECT_EQ(words({0xFEEDABCD}), std::vector<u8>(image.begin() + 132, image.end()));

  // One row more does not fit: refused before anything is stored, and
  // refused again on the next try instead of handing out a partial image.
  auto over = load_tk(dir,
                      "arg SECTOR_ARRAY CORE_IP_LENGTH width=1 1\n"
                      "arg SECTOR_ARRAY CORE_IP_START width=1 2\n"
                      "arg SECTOR_ARRAY S4_HW_MASK width=2 3*66\n");
  EXPECT_INTERNAL_ERROR(over->copy_s4_setup(image.data(), 136), "bytes_written <= m_s4_setup_size");
  EXPECT_INTERNAL_ERROR(over->copy_s4_setup(image.data(), 136), "bytes_written <= m_s4_setup_size");
}

TEST(S4Setup, TroskivaneArgumentErrors) {
  TEMP_DIR dir;
  std::vector<u8> image(136, 0);
  const std::string length = "arg SECTOR_ARRAY CORE_IP_LENGTH width=1 1\n";
  const std::string start = "arg SECTOR_ARRAY CORE_IP_START width=1 2\n";
  const std::string mask = "arg SECTOR_ARRAY S4_HW_MASK width=2 3 4\n";

  EXPECT_INTERNAL_ERROR(load_tk(dir, start + mask)->copy_s4_setup(image.data(), 136),
                        "arg != nullptr");
  EXPECT_INTERNAL_ERROR(load_tk(dir, length + mask)->copy_s4_setup(image.data(), 136),
                        "arg != nullptr");
  EXPECT_INTERNAL_ERROR(load_tk(dir, length + start)->copy_s4_setup(image.data(), 136),
                        "arg != nullptr");
  EXPECT_INTERNAL_ERROR(load_tk(dir, length + "arg SECTOR_ARRAY CORE_IP_START width=2 2 2\n" + mask)
                            ->copy_s4_setup(image.data(), 136),
                        "width == 1");
  EXPECT_INTERNAL_ERROR(load_tk(dir, length + start + "arg SECTOR_ARRAY S4_HW_MASK width=1 3 4\n")
                            ->copy_s4_setup(image.data(), 136),
                        "width == 2");
  // Arguments without rows have no first value.
  EXPECT_INTERNAL_ERROR(load_tk(dir, "arg SECTOR_ARRAY CORE_IP_LENGTH width=1\n" + start + mask)
                            ->copy_s4_setup(image.data(), 136),
                        "!rows.empty()");
  EXPECT_INTERNAL_ERROR(load_tk(dir, length + start + "arg SECTOR_ARRAY S4_HW_MASK width=2\n")
                            ->copy_s4_setup(image.data(), 136),
                        "!rows.empty()");
}

TEST(S4Setup, TroskivaneWithoutSectorArray) {
  TEMP_DIR dir;
  auto gen = load(tk_family(dir, "block OPTION_BITS option words=1\n"),
                  tk_device(dir, "param OPTION_BITS OPTION_BITS_COUNT 1\n"));
  std::vector<u8> image(136, 0);
  EXPECT_INTERNAL_ERROR(gen->copy_s4_setup(image.data(), 136), "eblock != nullptr");
}

TEST(S4Setup, OtherFamiliesHaveNoImage) {
  TEMP_DIR dir;
  auto gen = load(dir.write("family.ddb",
                            "ddb family 1\nfamily WILBERTOSKA\nconfig_width 32\n"
                            "block SECTOR_ARRAY array\n"),
                  dir.write("device.ddb",
                            "ddb device 1\nfamily WILBERTOSKA\ndevice PLACEHOLDER_DEVICE_41\n"
                            "param SECTOR_ARRAY ARRAY_TYPE 1\n"));
  EXPECT_EQ(gen->get_s4_setup_size(), 0u);
  std::vector<u8> image(48, 0);
  EXPECT_INTERNAL_ERROR(gen->copy_s4_setup(image.data(), 48), "m_s4_setup_size > 0");
}

TEST(S4Setup, NeedsLoadedSections) {
  VARNO_GEN fresh;
  EXPECT_INTERNAL_ERROR(fresh.get_s4_setup_size(), "family_info != nullptr");

  // The family loaded, the device file did not.
  TEMP_DIR dir;
  VARNO_GEN half;
  half.set_family_pcf(s_setup_dir + "qv_family.ddb");
  half.set_device_pcf(dir.write("device.ddb", "not a parameter file\n"));
  EXPECT_INTERNAL_ERROR(half.process_pcfs(false, false, false, nullptr, 0),
                        "Invalid device pcf file");
  EXPECT_EQ(VOLD_DATA_SERVER::last_error(),
            dir.file("device.ddb") + ":1: expected 'ddb family 1' or 'ddb device 1' first");
  EXPECT_INTERNAL_ERROR(half.get_s4_setup_size(), "device_info != nullptr");
  std::vector<u8> image(48, 0);
  EXPECT_INTERNAL_ERROR(half.copy_s4_setup(image.data(), 48), "device_info != nullptr");

  // Sections that name no family or device.
  auto gen = load_setup("qv");
  gen->device_pcf_info()->get_device_info()->device_type = VOLD_DEVICE_UNKNOWN;
  EXPECT_INTERNAL_ERROR(gen->get_s4_setup_size(), "d_type != VOLD_DEVICE_UNKNOWN");
  gen->family_pcf_info()->get_family_info()->family_type = VOLD_FAMILY_UNKNOWN;
  EXPECT_INTERNAL_ERROR(gen->get_s4_setup_size(), "f_type != VOLD_FAMILY_UNKNOWN");
}

// ---- Decompression setup records --------------------------------------------------

TEST(DecompSetup, Sizes) {
  VARNO_GEN gen;
  EXPECT_EQ(gen.get_decomp_setup_size(false), 24u);
  EXPECT_EQ(gen.get_decomp_setup_size(true), 40u);
}

TEST(DecompSetup, CodebookRecord) {
  auto gen = load_setup("codebook");
  std::vector<u8> record(28, 0xEE);
  EXPECT_EQ(gen->copy_decomp_setup(record.data(), 28, 1, nullptr, VOLD_BLOCK_CRAM, false), 24u);
  const std::vector<u8> expected = {0x15, 0, 0,    0, 0x18, 0, 0, 0, 1, 0, 0,    0,    1,    0,
                                    0,    0, 0x02, 0, 0,    0, 0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(record, expected);

  // The ERAM codebook is 2400 bytes: still one page.
  EXPECT_EQ(gen->copy_decomp_setup(record.data(), 24, 0, nullptr, VOLD_BLOCK_ERAM, false), 24u);
  EXPECT_EQ(words({0x15, 24, 1, 0, 2, 0}), std::vector<u8>(record.begin(), record.begin() + 24));
}

TEST(DecompSetup, LibraryRecordLongForm) {
  LIBS_GEN gen;
  gen.libs_size = 4097;
  std::vector<u8> record(40, 0xEE);
  // The long form reports its whole size.
  EXPECT_EQ(gen.copy_decomp_setup(record.data(), 40, 0, nullptr, 0, true), 40u);
  EXPECT_EQ(record, words({0x15, 40, 2, 0, 8, 1, 0, 0, 0, 0}));

  gen.libs_size = 4096;
  EXPECT_EQ(gen.copy_decomp_setup(record.data(), 40, 1, nullptr, 0, false), 24u);
  EXPECT_EQ(std::vector<u8>(record.begin(), record.begin() + 24), words({0x15, 24, 1, 1, 8, 0}));

  // The page count of the largest payload does not wrap.
  gen.libs_size = 0xFFFFFFFF;
  EXPECT_EQ(gen.copy_decomp_setup(record.data(), 40, 0, nullptr, 0, false), 24u);
  EXPECT_EQ(std::vector<u8>(record.begin() + 8, record.begin() + 12), words({0x100000}));
}

TEST(DecompSetup, GroupRecord) {
  VARNO_GEN gen;
  SETUP_GROUP group;
  group.setup_size[0] = 8193;
  group.setup_size[1] = 100;
  std::vector<u8> record(24, 0xEE);
  EXPECT_EQ(gen.copy_decomp_setup(record.data(), 24, 0, &group, 0, false), 24u);
  EXPECT_EQ(record, words({0x15, 24, 3, 0, 4, 0}));
  EXPECT_EQ(gen.copy_decomp_setup(record.data(), 24, 1, &group, 0, false), 24u);
  EXPECT_EQ(record, words({0x15, 24, 1, 1, 4, 0}));
  EXPECT_EQ(group.asked, (std::vector<unsigned>{0, 1}));

  // The group's thread without 2D setup data has nothing to announce.
  group.setup_size[1] = 0;
  EXPECT_INTERNAL_ERROR(gen.copy_decomp_setup(record.data(), 24, 1, &group, 0, false),
                        "data_size > 0");
  // A group and a block type at once name two payloads.
  EXPECT_INTERNAL_ERROR(gen.copy_decomp_setup(record.data(), 24, 0, &group, 5, false),
                        "group == nullptr || block_type == 0");
  EXPECT_EQ(group.asked.size(), 3u);
}

TEST(DecompSetup, Errors) {
  LIBS_GEN gen;
  gen.libs_size = 1;
  std::vector<u8> record(40, 0xEE);
  EXPECT_INTERNAL_ERROR(gen.copy_decomp_setup(nullptr, 40, 0, nullptr, 0, false),
                        "addr != nullptr");
  EXPECT_INTERNAL_ERROR(gen.copy_decomp_setup(record.data(), 40, 2, nullptr, 0, false),
                        "DC thread index (2) must be < 2");
  EXPECT_INTERNAL_ERROR(gen.copy_decomp_setup(record.data(), 39, 0, nullptr, 0, true),
                        "bytes >= data_size");
  EXPECT_INTERNAL_ERROR(gen.copy_decomp_setup(record.data(), 23, 0, nullptr, 0, false),
                        "bytes >= data_size");

  // An empty payload is refused before the caller's buffer is touched.
  gen.libs_size = 0;
  EXPECT_INTERNAL_ERROR(gen.copy_decomp_setup(record.data(), 40, 0, nullptr, 0, true),
                        "data_size > 0");
  EXPECT_EQ(record, std::vector<u8>(40, 0xEE));
}

TEST(DecompSetup, CodebookMissing) {
  auto gen = load_setup("fallback");
  std::vector<u8> record(24, 0);
  // The CRAM data block has no codebook of its own.
  MESSAGES messages;
  EXPECT_INTERNAL_ERROR(
      gen->copy_decomp_setup(record.data(), 24, 0, nullptr, VOLD_BLOCK_CRAM, false),
      "data_size > 0");
  EXPECT_EQ(messages.take(),
            error_line("param size is zero for param type (GZIP_KORVIA_LITERALS)"));
}

// ---- Literal codebooks ------------------------------------------------------------

TEST(Codebook, Sizes) {
  auto gen = load_setup("codebook");
  EXPECT_EQ(gen->get_korvia_codebook_size(VOLD_BLOCK_CRAM), 2048u);
  EXPECT_EQ(gen->get_korvia_codebook_size(VOLD_BLOCK_ERAM), 2400u);
  // No data block of that type: the sector array's parameter.
  EXPECT_EQ(gen->get_korvia_codebook_size(VOLD_BLOCK_CRAM_HIPI), 2048u);
}

TEST(Codebook, LowByteFirst) {
  auto gen = load_setup("codebook");
  std::vector<u8> book(2100, 0xEE);
  EXPECT_EQ(gen->copy_korvia_codebook(book.data(), 2100, VOLD_BLOCK_CRAM, true), 2048u);
  for (u32 i = 0; i < 256; ++i) {
    const u8 low = i == 3 ? 0xAB : static_cast<u8>(i == 4 ? 0xFF : i);  // 0x1FF keeps its low byte
    EXPECT_EQ(book[8 * i], low) << i;
    for (u32 k = 1; k < 8; ++k) EXPECT_EQ(book[8 * i + k], 0) << i;
  }
  EXPECT_EQ(book[2048], 0xEE);
}

TEST(Codebook, HighByteFirst) {
  auto gen = load_setup("codebook");
  std::vector<u8> book(2048, 0xEE);
  EXPECT_EQ(gen->copy_korvia_codebook(book.data(), 2048, VOLD_BLOCK_CRAM, false), 2048u);
  EXPECT_EQ(book[31], 0xAB);
  for (u32 k = 24; k < 31; ++k) EXPECT_EQ(book[k], 0) << k;
  EXPECT_EQ(book[39], 0xFF);
  EXPECT_EQ(book[8 * 200 + 7], 200);

  // The sector array's codebook of CRAM_HIPI counts down from 255.
  EXPECT_EQ(gen->copy_korvia_codebook(book.data(), 2048, VOLD_BLOCK_CRAM_HIPI, false), 2048u);
  EXPECT_EQ(book[7], 255);
  EXPECT_EQ(book[8 * 255 + 7], 0);
}

TEST(Codebook, BufferErrors) {
  auto gen = load_setup("codebook");
  std::vector<u8> book(2400, 0xEE);
  EXPECT_INTERNAL_ERROR(gen->copy_korvia_codebook(nullptr, 2048, VOLD_BLOCK_CRAM, true),
                        "addr != nullptr");
  EXPECT_INTERNAL_ERROR(gen->copy_korvia_codebook(book.data(), 2047, VOLD_BLOCK_CRAM, true),
                        "bytes >= TK_GZIP_KORVIA_CODEBOOK_SIZE");
  EXPECT_INTERNAL_ERROR(
      gen->copy_korvia_codebook(book.data(), 2399, VOLD_BLOCK_ERAM, true),
      "GZIP_KORVIA_LITERALS codebook size (2400) can't be greater than buffer size (2399)");
  EXPECT_EQ(book, std::vector<u8>(2400, 0xEE));
  EXPECT_EQ(gen->copy_korvia_codebook(book.data(), 2400, VOLD_BLOCK_ERAM, true), 2400u);
  EXPECT_EQ(book[8 * 299], 7);
}

TEST(Codebook, BelowMinimumSize) {
  TEMP_DIR dir;
  auto gen = load(s_setup_dir + "codebook_family.ddb",
                  tk_device(dir, "param CRAM GZIP_KORVIA_LITERALS 0..254\n"));
  EXPECT_INTERNAL_ERROR(gen->get_korvia_codebook_size(VOLD_BLOCK_CRAM),
                        "codebook_size >= TK_GZIP_KORVIA_CODEBOOK_SIZE");
}

TEST(Codebook, SoftFailures) {
  auto gen = load_setup("codebook");
  std::vector<u8> book(2048, 0xEE);
  {
    // Block types the host may pass that name no codebook parameter, and
    // numbers past the block types.
    MESSAGES messages;
    EXPECT_EQ(gen->get_korvia_codebook_size(VOLD_BLOCK_OPTION_BITS), 0u);
    EXPECT_EQ(gen->get_korvia_codebook_size(VOLD_BLOCK_MAX), 0u);
    EXPECT_EQ(gen->copy_korvia_codebook(book.data(), 2048, 0xFFFFFFFF, true), 0u);
    EXPECT_EQ(messages.take(), error_line("block type (33) not found") +
                                   error_line("block type (102) not found") +
                                   error_line("block type (-1) not found"));
  }
  EXPECT_EQ(book, std::vector<u8>(2048, 0xEE));

  // A data block whose codebook parameter has no values.
  TEMP_DIR dir;
  auto empty = load(s_setup_dir + "fallback_family.ddb",
                    tk_device(dir, "param ERAM GZIP_KORVIA_LITERALS size=0\n"));
  MESSAGES messages;
  EXPECT_EQ(empty->get_korvia_codebook_size(VOLD_BLOCK_ERAM), 0u);
  EXPECT_EQ(empty->copy_korvia_codebook(book.data(), 2048, VOLD_BLOCK_ERAM, true), 0u);
  EXPECT_EQ(messages.take(),
            error_line("param size is zero for param type (GZIP_KORVIA_LITERALS)") +
                error_line("param values not found for param type (GZIP_KORVIA_LITERALS)"));
  EXPECT_EQ(book, std::vector<u8>(2048, 0xEE));
}

TEST(Codebook, DataBlockWithoutTheParameter) {
  // The ERAM data block has no codebook of its own: the size and the copy
  // say so and give 0, nothing written.
  auto fallback = load_setup("fallback");
  std::vector<u8> book(2048, 0xEE);
  MESSAGES messages;
  EXPECT_EQ(fallback->get_korvia_codebook_size(VOLD_BLOCK_ERAM), 0u);
  EXPECT_EQ(fallback->copy_korvia_codebook(book.data(), 2048, VOLD_BLOCK_ERAM, true), 0u);
  EXPECT_EQ(messages.take(),
            error_line("param size is zero for param type (GZIP_KORVIA_LITERALS)") +
                error_line("param values not found for param type (GZIP_KORVIA_LITERALS)"));
  EXPECT_EQ(book, std::vector<u8>(2048, 0xEE));
}

TEST(Codebook, SectorArrayRequired) {
  TEMP_DIR dir;
  auto gen = load(tk_family(dir, "block CRAM data frame=TK_ESRAM_BBUS\n"),
                  tk_device(dir, "param CRAM GZIP_KORVIA_LITERALS 0..255\n"));
  EXPECT_EQ(gen->get_korvia_codebook_size(VOLD_BLOCK_CRAM), 2048u);
  EXPECT_INTERNAL_ERROR(gen->get_korvia_codebook_size(VOLD_BLOCK_ERAM), "eblock != nullptr");
}

// ---- Codebook block types -----------------------------------------------------------

TEST(CodebookTypes, DataBlocksInIndexOrder) {
  auto gen = load_setup("codebook");
  std::vector<u32> types = {99};
  gen->get_korvia_codebook_types(types);
  EXPECT_EQ(types, (std::vector<u32>{VOLD_BLOCK_ERAM, VOLD_BLOCK_CRAM}));
}

TEST(CodebookTypes, SectorArrayFallback) {
  auto gen = load_setup("fallback");
  std::vector<u32> types = {99, 98};
  gen->get_korvia_codebook_types(types);
  EXPECT_EQ(types, (std::vector<u32>{VOLD_BLOCK_CRAM, VOLD_BLOCK_ERAM}));
}

TEST(CodebookTypes, NoBlocks) {
  VARNO_GEN gen;
  std::vector<u32> types = {5};
  MESSAGES messages;
  gen.get_korvia_codebook_types(types);
  EXPECT_EQ(messages.take(), error_line("No blocks found"));
  EXPECT_EQ(types, std::vector<u32>{5});
}

TEST(CodebookTypes, NoCodebookAnywhere) {
  TEMP_DIR dir;
  auto gen = load(s_setup_dir + "fallback_family.ddb",
                  tk_device(dir, "param SECTOR_ARRAY ARRAY_TYPE 1\n"));
  std::vector<u32> types = {5};
  gen->get_korvia_codebook_types(types);
  EXPECT_TRUE(types.empty());

  auto bare = load(tk_family(dir, "block CRAM data frame=TK_ESRAM_BBUS\n"),
                   tk_device(dir, "param CRAM BBUS_BIT_COUNT 0\n", "device2.ddb"));
  EXPECT_INTERNAL_ERROR(bare->get_korvia_codebook_types(types), "eblock != nullptr");
}
