// The sector-family device builder. SECTOR_DEVICE loads a family and a
// device file of a test data directory into a generator and reaches the
// device-level blocks, the sectors of its "SECTOR_ARRAY", their blocks,
// parameter records and frame managers, and the frames a block built.
// VARIANT_DIR copies a data directory with some lines replaced, for devices a
// test spoils on purpose; FRAME_MGR_HOOK puts other managers in place of the
// factory's while it lives.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bytes.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_test.h"
#include "vold.h"

// The test data directory of that name.
inline std::string test_data(const std::string& name) {
  return std::string(VARNO_TEST_DATA_DIR) + "/" + name;
}

// The whole text of a file.
inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
// The lines of a file.
inline std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The little-endian bytes of the words, one after the other.
inline BYTES words(std::initializer_list<u32> values) {
  BYTES out;
  for (u32 v : values) put(out, v);
  return out;
}
inline BYTES zeros(size_t n) { return BYTES(n, 0); }
// The n bytes of data from byte from.
inline BYTES slice(const BYTES& data, size_t from, size_t n) {
  return BYTES(data.begin() + static_cast<std::ptrdiff_t>(from),
               data.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// A fresh directory, removed with everything in it when the object goes.
class TEMP_DIR {
 public:
  TEMP_DIR() {
    char name[] = "/tmp/varno_test_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    m_path = name;
  }
  ~TEMP_DIR() { std::filesystem::remove_all(m_path); }
  TEMP_DIR(const TEMP_DIR&) = delete;
  TEMP_DIR& operator=(const TEMP_DIR&) = delete;
  // Writes text to the file name and returns its path.
  std::string write(const std::string& name, const std::string& text) const {
    const std::string path = m_path + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// A copy of the files of source; each edit replaces the first from in its
// file by to.
class VARIANT_DIR : public TEMP_DIR {
 public:
  using EDIT = std::tuple<std::string, std::string, std::string>;  // file, from, to
  VARIANT_DIR(const std::string& source, const std::vector<EDIT>& edits) {
    for (const auto& entry : std::filesystem::directory_iterator(source)) {
      const std::string name = entry.path().filename().string();
      std::string s = read_text(entry.path().string());
      for (const auto& [file, from, to] : edits) {
        if (file != name) continue;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) s.replace(at, from.size(), to);
      }
      write(name, s);
    }
  }
};

// Makes the factory ask hook first for as long as it lives; where the hook
// gives no manager the factory's own serves.
class FRAME_MGR_HOOK {
 public:
  explicit FRAME_MGR_HOOK(VARNO_FRAME_MGR_HOOK hook)
      : m_previous(varno_set_frame_mgr_hook(std::move(hook))) {}
  ~FRAME_MGR_HOOK() { varno_set_frame_mgr_hook(std::move(m_previous)); }
  FRAME_MGR_HOOK(const FRAME_MGR_HOOK&) = delete;
  FRAME_MGR_HOOK& operator=(const FRAME_MGR_HOOK&) = delete;

 private:
  VARNO_FRAME_MGR_HOOK m_previous;
};

struct SECTOR_DEVICE {
  // Loads dir/family and dir/device into a new generator: 0 when they
  // loaded. A manager whose set-up fails raises its internal error.
  u32 load(const std::string& dir, const std::string& family = "quelvo_family.ddb",
           const std::string& device = "qv_device.ddb") {
    m_top.reset(dynamic_cast<VARNO_GEN*>(varno_get_factory()->create_generator()));
    m_top->set_family_pcf(dir + "/" + family);
    m_top->set_device_pcf(dir + "/" + device);
    return m_top->process_pcfs(false, false, false, nullptr, 0);
  }

  // The device level.
  VARNO_MGR_PARAM& param() const { return *m_top->get_mgr_param(); }
  VARNO_DBLOCK* block(const std::string& name) const {
    return dynamic_cast<VARNO_DBLOCK*>(m_top->get_block(name, false));
  }
  // The sector at grid column x, row y.
  VARNO_GEN* sector(u32 x, u32 y = 0) const {
    return dynamic_cast<VARNO_GEN*>(m_top->get_meta_block("SECTOR_ARRAY", x, y)->generator());
  }
  VARNO_MGR_PARAM& param(u32 x, u32 y = 0) const { return *sector(x, y)->get_mgr_param(); }
  VARNO_DBLOCK* block(u32 x, u32 y, const char* name) const {
    return dynamic_cast<VARNO_DBLOCK*>(sector(x, y)->get_block(name, false));
  }
  template <typename MGR>
  MGR* mgr(u32 x, u32 y, const char* name) const {
    return dynamic_cast<MGR*>(block(x, y, name)->get_frame_mgr());
  }

  // Gives b bits of data (all of it by default).
  static void set_data(VARNO_DBLOCK* b, VARNO_BLOCK_DATA_TYPE slot, BYTES& data, u32 bits = ~0u) {
    b->set_data(slot, data.data(), bits == ~0u ? static_cast<u32>(data.size() * 8) : bits, nullptr);
  }
  // Block name of sector (x, y) with all of data, its sector built.
  VARNO_DBLOCK* build(u32 x, u32 y, const char* name, VARNO_BLOCK_DATA_TYPE slot, BYTES& data) {
    VARNO_DBLOCK* b = block(x, y, name);
    set_data(b, slot, data);
    EXPECT_TRUE(sector(x, y)->do_all_blocks());
    return b;
  }
  static BYTES frame(VARNO_DBLOCK* b, u32 i) {
    BYTES out(b->get_frame_size(i));
    if (!out.empty()) b->get_frame_data(i, out.data());
    return out;
  }
  static std::vector<BYTES> frames(VARNO_DBLOCK* b) {
    std::vector<BYTES> out;
    for (u32 i = 0; i < b->get_number_of_frames(); ++i) out.push_back(frame(b, i));
    return out;
  }
  // The expected-data file of block b, or "<none>" when it writes none.
  static std::string dump(VARNO_DBLOCK* b) {
    std::string path = std::filesystem::temp_directory_path() /
                       ("varno_dump_" + std::to_string(getpid()) + ".txt");
    std::filesystem::remove(path);
    b->dump_expected_data(path);
    if (!std::filesystem::exists(path)) return "<none>";
    const std::string text = read_text(path);
    std::filesystem::remove(path);
    return text;
  }

  std::unique_ptr<VARNO_GEN> m_top;
};
