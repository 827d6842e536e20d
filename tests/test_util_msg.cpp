// Messages, formatting, dump texts and the top-bitstream writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "korvia_fmt.h"
#include "msg.h"
#include "varno_itop_bitstream.h"
#include "varno_test.h"
#include "varno_util.h"

namespace {

namespace fs = std::filesystem;
// A top bitstream of given fields; a null entry with a size is a field whose
// buffer went missing.
class fake_top : public VARNO_ITOP_BITSTREAM {
 public:
  std::vector<BYTES> fields;
  std::vector<bool> missing;
  u32 get_bitfield_count() const override { return static_cast<u32>(fields.size()); }
  u32 get_bitfield_size(u32 i) const override {
    return i < fields.size() ? static_cast<u32>(fields[i].size()) : 0;
  }
  unsigned char* get_bitfield_data(u32 i) const override {
    if (i >= fields.size() || (i < missing.size() && missing[i])) return nullptr;
    return const_cast<unsigned char*>(fields[i].data());
  }
  bool write_to_file(const std::string&, VARNO_OUTPUT_FORMAT, u32, u32, bool) override {
    return false;
  }
};

struct debug_level_guard {
  ~debug_level_guard() { VARNO_UTIL::set_debug_level(0); }
};

}  // namespace

TEST(UtilMsg, DebugLevelGatesLines) {
  debug_level_guard guard;
  EXPECT_EQ(VARNO_UTIL::get_debug_level(), 0u);
  VARNO_UTIL::set_debug_level(9);
  EXPECT_EQ(VARNO_UTIL::get_debug_level(), 5u);

  VARNO_UTIL::set_debug_level(0);
  testing::internal::CaptureStderr();
  VARNO_UTIL::print_error_msg("e %d", 1);
  VARNO_UTIL::print_warning_msg("w");
  VARNO_UTIL::print_debug_msg(0, "d");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  VARNO_UTIL::set_debug_level(3);
  testing::internal::CaptureStderr();
  VARNO_UTIL::print_debug_msg(5, "hidden");
  VARNO_UTIL::print_debug_msg(3, "shown %s", "here");
  VARNO_UTIL::print_error_msg("bad %u", 7u);
  VARNO_UTIL::print_warning_msg("careful");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\x1b[0;34mDebug: shown here\x1b[0m\n"
            "\x1b[0;31mError: bad 7\x1b[0m\n"
            "\x1b[0;36mWarning: careful\x1b[0m\n");
}

// Standard output is flushed even when the level hides the line, so that
// the two streams interleave in order.
TEST(UtilMsg, StandardOutputFlushedAtLevelZero) {
  debug_level_guard guard;
  VARNO_UTIL::set_debug_level(0);
  TEMP_DIR dir;
  const std::string path = dir.file("stdout");
  std::fflush(stdout);
  const int saved = ::dup(1);
  FILE* target = std::fopen(path.c_str(), "w");
  ASSERT_NE(target, nullptr);
  ::dup2(::fileno(target), 1);
  static char buffer[256];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  std::fputs("pending", stdout);
  const std::string before = read_file(path);
  VARNO_UTIL::print_error_msg("x");
  const std::string after = read_file(path);
  std::fflush(stdout);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ::dup2(saved, 1);
  ::close(saved);
  std::fclose(target);
  EXPECT_EQ(before, "");
  EXPECT_EQ(after, "pending");
}

TEST(UtilMsg, HostDebugChannel) {
  std::vector<std::string> lines;
  msg_set_debug_sink([&](const char* module, int level, const std::string& text) {
    lines.push_back(std::string(module) + "|" + std::to_string(level) + "|" + text);
  });
  msg_vdebug_impl(2, "Processing sector %d %d", 1, 2);
  msg_set_debug_sink({});
  EXPECT_EQ(lines, std::vector<std::string>{"VARNO|2|Processing sector 1 2"});
}

TEST(UtilMsg, FormattedTexts) {
  EXPECT_EQ(KORVIA::fmt_sprintf("Parameter %s (%d) index (%d) out of range (%d)", "DRAS", 3, 4u, 2),
            "Parameter DRAS (3) index (4) out of range (2)");
  EXPECT_EQ(KORVIA::fmt_sprintf("%u-%u %08X", 1u, 2u, 0xABCu), "1-2 00000ABC");
  EXPECT_EQ(KORVIA::fmt_sprintf("%d", VOLD_OB_DATA_DUMMY2), "2");

  // Too few arguments: every argument is listed, not only the first.
  EXPECT_EQ(KORVIA::fmt_sprintf("%d %s %d", 5, "x"),
            "ERROR: args not compatible with format string\nformat: %d %s %d\n"
            "arg[0]: 5\narg[1]: x\n");
  EXPECT_EQ(KORVIA::fmt_sprintf("%d %d", 5),
            "ERROR: args not compatible with format string\nformat: %d %d\narg[0]: 5\n");
  // A conversion of the wrong kind.
  EXPECT_EQ(KORVIA::fmt_sprintf("%s", 5),
            "ERROR: args not compatible with format string\nformat: %s\narg[0]: 5\n");

  std::string out;
  EXPECT_FALSE(KORVIA::fmt_sprintf_helper(out, "%d %d", 1));
  EXPECT_EQ(out, "(unprintable)");
  EXPECT_TRUE(KORVIA::fmt_sprintf_helper(out, "%d", 1));
  EXPECT_EQ(out, "1");
  KORVIA::fmt_args_error(out, "%s", 1, "a", 2u);
  EXPECT_EQ(out, "ERROR: args not compatible with format string\nformat: %s\narg[0]: a\n");
}

TEST(UtilMsg, DumpTexts) {
  const BYTES d = {0x34, 0x12, 0xAB};
  auto dat = [&](std::string comment) {
    return dumped([&](std::ofstream& s) {
      VARNO_UTIL::dump_to_file(s, VARNO_OUTPUT_FORMAT_DAT, d.data(), 3, comment);
    });
  };
  EXPECT_EQ(dat("blk"), "1234\t// blk\nAB\n");
  EXPECT_EQ(dat(""), "1234\nAB\n");
  EXPECT_EQ(dumped([&](std::ofstream& s) {
              VARNO_UTIL::dump_to_file(s, VARNO_OUTPUT_FORMAT_DAT, d.data(), 0, "c");
            }),
            "");

  const u8 one = 0x01;
  EXPECT_EQ(dumped([&](std::ofstream& s) {
              VARNO_UTIL::dump_to_file(s, VARNO_OUTPUT_FORMAT_BIT_TEXT, &one, 1, "ignored");
            }),
            "10000000\n");
  EXPECT_EQ(dumped([&](std::ofstream& s) {
              VARNO_UTIL::dump_to_file(s, VARNO_OUTPUT_FORMAT_BIT_TEXT, nullptr, 0, "");
            }),
            "\n");
  EXPECT_EQ(dumped([&](std::ofstream& s) {
              VARNO_UTIL::dump_to_file(s, VARNO_OUTPUT_FORMAT_RAW, d.data(), 3, "c");
            }),
            "");

  const BYTES six = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(dumped([&](std::ofstream& s) { VARNO_UTIL::print_to_dat(s, six.data(), 6, 4, "c"); }),
            "04030201\t// c\n0605\n");
  EXPECT_EQ(dumped([&](std::ofstream& s) { VARNO_UTIL::print_to_raw(s, six.data(), 3); }),
            std::string("\x01\x02\x03"));
  const char* text = "data != NULL && data_size > 0 && bytes_per_line > 0";
  // The refused calls write nothing.
  EXPECT_EQ(dumped([&](std::ofstream& s) {
              EXPECT_INTERNAL_ERROR(VARNO_UTIL::print_to_dat(s, nullptr, 6, 4, ""), text);
              EXPECT_INTERNAL_ERROR(VARNO_UTIL::print_to_dat(s, six.data(), 0, 4, ""), text);
              EXPECT_INTERNAL_ERROR(VARNO_UTIL::print_to_dat(s, six.data(), 6, 0, ""), text);
              EXPECT_INTERNAL_ERROR(VARNO_UTIL::print_bin_to_file(s, nullptr, 1),
                                    "data != NULL || size == 0");
            }),
            "");
}

TEST(UtilMsg, OpenStreamByType) {
  TEMP_DIR dir;
  const std::string path = dir.write("open", "old");
  std::ofstream s1;
  EXPECT_FALSE(VARNO_UTIL::open_ostream_by_type(s1, path, VARNO_OUTPUT_FORMAT_RAW));
  EXPECT_FALSE(s1.is_open());
  EXPECT_EQ(read_file(path), "old");
  std::ofstream s2;
  EXPECT_TRUE(VARNO_UTIL::open_ostream_by_type(s2, path, VARNO_OUTPUT_FORMAT_DAT));
  EXPECT_TRUE(s2.good());
  s2.close();
  EXPECT_EQ(read_file(path), "");
  std::ofstream s3;
  EXPECT_TRUE(VARNO_UTIL::open_ostream_by_type(s3, path + "_no_dir/x", VARNO_OUTPUT_FORMAT_DAT));
  EXPECT_TRUE(s3.fail());
}

TEST(UtilMsg, RawTopBitstream) {
  fake_top top;
  top.fields = {{0x01, 0x02, 0x03}, {}, {0xFE, 0xFF}};
  TEMP_DIR dir;
  const std::string path = dir.file("raw");

  EXPECT_TRUE(VARNO_UTIL::write_raw_top_bitstream(&top, 0, 2, path, false));
  EXPECT_EQ(read_file(path), std::string("\x01\x02\x03\xFE\xFF"));
  EXPECT_TRUE(VARNO_UTIL::write_raw_top_bitstream(&top, 2, 2, path, true));
  EXPECT_EQ(read_file(path), std::string("\x01\x02\x03\xFE\xFF\xFE\xFF"));

  // A refused range leaves the existing file as it was.
  EXPECT_FALSE(VARNO_UTIL::write_raw_top_bitstream(&top, 0, 3, path, false));
  EXPECT_EQ(read_file(path).size(), 7u);
  // A field without its buffer is refused the same way.
  top.missing = {false, false, true};
  EXPECT_FALSE(VARNO_UTIL::write_raw_top_bitstream(&top, 0, 2, path, false));
  EXPECT_EQ(read_file(path).size(), 7u);
  top.missing.clear();

  EXPECT_TRUE(VARNO_UTIL::write_raw_top_bitstream(&top, 2, 1, path, true));
  EXPECT_EQ(read_file(path).size(), 7u);
  EXPECT_TRUE(VARNO_UTIL::write_raw_top_bitstream(&top, 2, 1, path, false));
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(read_file(path), "");

  EXPECT_FALSE(VARNO_UTIL::write_raw_top_bitstream(&top, 0, 2, path + "_no_dir/x", false));
  EXPECT_FALSE(VARNO_UTIL::write_raw_top_bitstream(nullptr, 0, 0, path, false));
  // Every write to the full device fails: that is no success.
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(VARNO_UTIL::write_raw_top_bitstream(&top, 0, 2, "/dev/full", false));
  }
  fs::remove(path);

  EXPECT_TRUE(VARNO_UTIL::write_dat_top_bitstream(&top, 0, 2, path));
  EXPECT_FALSE(fs::exists(path));
}
