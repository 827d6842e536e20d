// The platform stand-ins: message handler, configuration store, file system,
// memory and string services.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cfg.h"
#include "files.h"
#include "fio.h"
#include "mem.h"
#include "msg.h"
#include "varno_assert.h"
#include "varno_test.h"

namespace {

void failing_check(int value) { VARNO_ASSERT(value > 0); }
void failing_check_msg() { VARNO_ASSERT_MSG(false, "Invalid output format"); }

}  // namespace

TEST(Msg, InternalErrorCarriesConditionModuleFileAndLine) {
  try {
    failing_check(0);
    FAIL() << "no internal error";
  } catch (const msg_internal_error& e) {
    EXPECT_STREQ(e.what(), "value > 0");
    EXPECT_EQ(e.module(), "VARNO");
    EXPECT_NE(e.file().find("test_platform.cpp"), std::string::npos);
    EXPECT_GT(e.line(), 0);
  }
  EXPECT_INTERNAL_ERROR(failing_check_msg(), "Invalid output format");
  failing_check(1);  // passes silently
}

TEST(Msg, UnwindReleasesWhatTheFailingCodeHolds) {
  // The leak checker of the test build proves the vector is released.
  auto f = [] {
    std::vector<int> held(1000, 7);
    VARNO_ASSERT(held.empty());
  };
  EXPECT_INTERNAL_ERROR(f(), "held.empty()");
}

TEST(Msg, HandlerCanBeSwappedAndRestored) {
  msg_internal_error_handler old = msg_set_internal_error_handler(nullptr);
  EXPECT_EQ(old, &msg_throwing_handler);
  EXPECT_NE(msg_set_internal_error_handler(old), &msg_throwing_handler);
}

TEST(MsgDeathTest, DefaultHandlerPrintsAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        msg_set_internal_error_handler(nullptr);
        MSG_INTERNAL_ERROR::report("m_rows > 0", "VARNO", "f.cpp", 12);
      },
      "Internal error \\(VARNO\\): m_rows > 0 at f.cpp:12");
}

TEST(MsgDeathTest, AHandlerThatReturnsStillNeverResumesTheCaller) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        msg_set_internal_error_handler([](const std::string&, const char*, const char*, int) {});
        MSG_INTERNAL_ERROR::report("x", "VARNO", "f.cpp", 1);
      },
      "");
}

namespace {
void debug_line(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  msg_local_vdebug("VARNO", level, format, args);
  va_end(args);
}
}  // namespace

TEST(Msg, DebugSinkReceivesFormattedLines) {
  std::vector<std::string> got;
  msg_set_debug_sink([&](const char* module, int level, const std::string& text) {
    got.push_back(std::string(module) + ":" + std::to_string(level) + ":" + text);
  });
  debug_line(2, "Processing sector %d %d", 1, 0);
  msg_set_debug_sink({});
  debug_line(2, "not captured");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], "VARNO:2:Processing sector 1 0");
}

TEST(Cfg, IntegersDecimalHexAndDefaults) {
  cfg_clear();
  EXPECT_EQ(cfg_get_int_value("varno_target_mismatch_limit", 80), 80);
  {
    cfg_scoped_value v("varno_target_mismatch_limit", "120");
    EXPECT_EQ(cfg_get_int_value("varno_target_mismatch_limit", 80), 120);
    cfg_set_value("varno_target_mismatch_limit", "0x10");  // read anew, never cached
    EXPECT_EQ(cfg_get_int_value("varno_target_mismatch_limit", 80), 16);
  }
  EXPECT_EQ(cfg_get_int_value("varno_target_mismatch_limit", 80), 80);
  cfg_scoped_value a("k1", "-5");
  EXPECT_EQ(cfg_get_int_value("k1", 0), -5);
  cfg_scoped_value b("k2", "0xFFFFFFFF");
  EXPECT_EQ(cfg_get_int_value("k2", 0), -1);
  cfg_scoped_value c("k3", "12abc");
  EXPECT_EQ(cfg_get_int_value("k3", 7), 7);
  cfg_scoped_value d("k4", "99999999999");
  EXPECT_EQ(cfg_get_int_value("k4", 7), 7);
  cfg_scoped_value e("k5", "0x");
  EXPECT_EQ(cfg_get_int_value("k5", 7), 7);
}

TEST(Cfg, OnOffWords) {
  for (const char* on : {"on", "ON", "true", "yes", "1", " On "}) {
    cfg_scoped_value v("varno_mmio_single_segment", on);
    EXPECT_TRUE(cfg_is_on("varno_mmio_single_segment", false)) << on;
  }
  for (const char* off : {"off", "false", "No", "0"}) {
    cfg_scoped_value v("varno_mmio_single_segment", off);
    EXPECT_FALSE(cfg_is_on("varno_mmio_single_segment", true)) << off;
  }
  cfg_scoped_value v("varno_mmio_single_segment", "maybe");
  EXPECT_TRUE(cfg_is_on("varno_mmio_single_segment", true));
  EXPECT_FALSE(cfg_is_on("varno_unset_key", false));
}

TEST(Cfg, LoadFile) {
  const TEMP_DIR dir;
  std::string err;
  EXPECT_TRUE(cfg_load_file(
      dir.write("a.cfg", "# settings\nvarno_a = 5\n\n  varno_b=on # trailing\n"), &err));
  EXPECT_EQ(cfg_get_int_value("varno_a", 0), 5);
  EXPECT_TRUE(cfg_is_on("varno_b", false));
  EXPECT_FALSE(cfg_load_file(dir.write("bad.cfg", "varno_c = 1\njust words\n"), &err));
  EXPECT_EQ(err, dir.file("bad.cfg") + ":2: expected 'key = value'");
  EXPECT_FALSE(cfg_load_file(dir.file("missing.cfg"), &err));
  EXPECT_EQ(err, dir.file("missing.cfg") + ": cannot open file");
  cfg_clear();
}

TEST(Mem, MemcpySNeverCopiesOutOfBounds) {
  unsigned char dst[4] = {1, 2, 3, 4};
  const unsigned char src[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(memcpy_s(dst, sizeof dst, src, 8), ERANGE);
  for (unsigned char c : dst) EXPECT_EQ(c, 0);
  EXPECT_EQ(memcpy_s(dst, sizeof dst, src, 4), 0);
  for (unsigned char c : dst) EXPECT_EQ(c, 9);
  EXPECT_EQ(memcpy_s(nullptr, 4, src, 4), EINVAL);
  EXPECT_EQ(memcpy_s(dst, sizeof dst, nullptr, 4), EINVAL);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(memcpy_s(dst, sizeof dst, src, 0), 0);
}

TEST(Mem, Strings) {
  EXPECT_EQ(MEM_DETAIL::stl_raw_sprintf("%s - Index %d - %d Bytes", "CRAM", 3, 80),
            "CRAM - Index 3 - 80 Bytes");
  EXPECT_EQ(MEM_DETAIL::stl_raw_sprintf("%s", std::string(5000, 'x').c_str()).size(), 5000u);
  EXPECT_EQ(stl_tolower("SECTOR_"), "sector_");
  EXPECT_EQ(STL_STRING::npos, std::string::npos);
}

TEST(Fio, ExistsMkdirFopenAndDirectories) {
  const TEMP_DIR tmp;
  const std::string dir = tmp.file("fio");
  EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir));
  EXPECT_FALSE(FIO_FILE_SYSTEM::exists(""));
  EXPECT_EQ(FIO_FILE_SYSTEM::mkdir(dir + "/a/b"), 0);
  EXPECT_EQ(FIO_FILE_SYSTEM::mkdir(dir + "/a/b"), 0);  // already there
  EXPECT_TRUE(FIO_FILE_SYSTEM::exists(dir + "/a/b"));
  { std::ofstream(dir + "/file") << "x"; }
  EXPECT_NE(FIO_FILE_SYSTEM::mkdir(dir + "/file"), 0);  // a file is in the way
  FILE* f = FIO_FILE_SYSTEM::fopen((dir + "/file").c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(FIO_FILE_SYSTEM::fopen((dir + "/none").c_str(), "r"), nullptr);
  EXPECT_EQ(FIO_PATH("/x/y/fam.ddb").full_directory(), "/x/y/");
  EXPECT_EQ(FIO_PATH("fam.ddb").full_directory(), "./");
  EXPECT_EQ(FIO_PATH("/fam").full_directory(), "/");
}
