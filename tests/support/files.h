// Files for the tests: scratch directories (empty, or an edited copy of a
// data directory) and whole-file reads.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "varno_types.h"

// A fresh directory under the temporary directory, named after the running
// test when there is one, removed with everything in it when the object goes.
class TEMP_DIR {
 public:
  TEMP_DIR() {
    std::string name = "varno_";
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info())
      name += std::string(info->test_suite_name()) + "_" + info->name() + "_";
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised test names
    std::string path = (std::filesystem::temp_directory_path() / (name + "XXXXXX")).string();
    EXPECT_NE(mkdtemp(path.data()), nullptr) << path;
    m_path = path;
  }
  ~TEMP_DIR() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  TEMP_DIR(const TEMP_DIR&) = delete;
  TEMP_DIR& operator=(const TEMP_DIR&) = delete;

  std::string file(const std::string& name) const { return m_path + "/" + name; }
  // The directory, without and with a closing '/'.
  const std::string& path() const { return m_path; }
  std::string dir() const { return m_path + "/"; }
  // Writes text to name in the directory and returns the path.
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary) << text;
    return file(name);
  }

 private:
  std::string m_path;
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
inline std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A text edit of a data file: in file, the first from becomes to.
struct FILE_EDIT {
  std::string file, from, to;
};
using FILE_EDITS = std::vector<FILE_EDIT>;

// A copy of the files of source (all of them, or the listed ones) with the
// edits applied, for devices a test spoils on purpose. An edit whose text is
// not found fails the test.
class VARIANT_DIR : public TEMP_DIR {
 public:
  VARIANT_DIR(const std::string& source, const FILE_EDITS& edits,
              std::vector<std::string> files = {}) {
    if (files.empty()) {
      for (const auto& entry : std::filesystem::directory_iterator(source))
        if (entry.is_regular_file()) files.push_back(entry.path().filename().string());
    }
    std::map<std::string, std::string> texts;
    for (const std::string& name : files) texts[name] = read_file(source + "/" + name);
    for (const auto& [name, from, to] : edits) {
      const auto it = texts.find(name);
      const size_t at = it == texts.end() ? std::string::npos : it->second.find(from);
      EXPECT_NE(at, std::string::npos) << name << ": " << from;
      if (at != std::string::npos) it->second.replace(at, from.size(), to);
    }
    for (const auto& [name, text] : texts) write(name, text);
  }
};

// What fn writes to a stream open on a fresh file.
template <typename FN>
std::string dumped(FN fn) {
  const TEMP_DIR dir;
  const std::string path = dir.file("dump");
  {
    std::ofstream stream(path, std::ios::binary);
    fn(stream);
  }
  return read_file(path);
}
