// Files for the tests: a scratch directory per test and whole-file reads.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "varno_types.h"

// A directory of its own for the running test (and tag), made empty on
// entry and removed afterwards.
class TEMP_DIR {
 public:
  explicit TEMP_DIR(const std::string& tag = "") {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_path = std::filesystem::temp_directory_path() /
             ("varno_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" +
              info->name() + tag);
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
  }
  ~TEMP_DIR() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  TEMP_DIR(const TEMP_DIR&) = delete;
  TEMP_DIR& operator=(const TEMP_DIR&) = delete;

  std::string file(const std::string& name) const { return (m_path / name).string(); }
  // The directory, without and with a closing '/'.
  std::string path() const { return m_path.string(); }
  std::string dir() const { return path() + "/"; }
  // Writes text to name in the directory and returns the path.
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary) << text;
    return file(name);
  }

 private:
  std::filesystem::path m_path;
};

// The whole file; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline std::vector<u8> read_bytes(const std::string& path) {
  const std::string text = read_file(path);
  return std::vector<u8>(text.begin(), text.end());
}

// What fn writes to a stream open on a fresh file.
template <typename FN>
std::string dumped(FN fn) {
  const TEMP_DIR dir("_dump");
  const std::string path = dir.file("dump");
  {
    std::ofstream stream(path, std::ios::binary);
    fn(stream);
  }
  return read_file(path);
}
