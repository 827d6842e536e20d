// The QV device of this directory, loaded for the BBUS, CSR and UIB CSR
// manager tests: a 3 x 2 sector grid whose sectors hold a BBUS block, three
// CSR blocks and a UIB CSR block. See the comments in the .ddb files.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_qv_bbus_frame_mgr.h"
#include "varno_qv_csr_frame_mgr.h"
#include "varno_qv_uib_csr_frame_mgr.h"
#include "varno_sblock.h"
#include "varno_test.h"
#include "vold.h"

namespace bbus_test {

inline const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/bbus";
using BYTES = std::vector<u8>;

inline BYTES concat(std::initializer_list<BYTES> parts) {
  BYTES out;
  for (const BYTES& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline BYTES le32(u32 v) {
  return {static_cast<u8>(v), static_cast<u8>(v >> 8), static_cast<u8>(v >> 16),
          static_cast<u8>(v >> 24)};
}

// Gives the blocks of these frame types their managers for as long as it
// lives.
class MANAGERS {
 public:
  MANAGERS() {
    varno_set_frame_mgr_hook([](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
      switch (type) {
        case VOLD_FRAME_QV_BBUS: return new VARNO_QV_BBUS_FRAME_MGR();
        case VOLD_FRAME_QV_CSR: return new VARNO_QV_CSR_FRAME_MGR();
        case VOLD_FRAME_QV_UIB_CSR: return new VARNO_QV_UIB_CSR_FRAME_MGR();
        default: return nullptr;
      }
    });
  }
  ~MANAGERS() { varno_set_frame_mgr_hook({}); }
  MANAGERS(const MANAGERS&) = delete;
  MANAGERS& operator=(const MANAGERS&) = delete;
};

// A copy of this directory with some lines replaced.
class VARIANT_DIR {
 public:
  using EDIT = std::tuple<std::string, std::string, std::string>;  // file, from, to
  explicit VARIANT_DIR(const std::vector<EDIT>& edits) {
    char name[] = "/tmp/varno_bbus_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    m_path = name;
    for (const auto& entry : std::filesystem::directory_iterator(kDir)) {
      if (entry.path().extension() != ".ddb") continue;
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      std::string s = text.str();
      for (const auto& [file, from, to] : edits) {
        if (file != entry.path().filename().string()) continue;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) s.replace(at, from.size(), to);
      }
      std::ofstream(m_path + "/" + entry.path().filename().string()) << s;
    }
  }
  ~VARIANT_DIR() { std::filesystem::remove_all(m_path); }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

struct SECTOR_DEVICE {
  // Loads the device; a failing manager set-up raises its internal error.
  void load(const std::string& dir = kDir) {
    m_top.reset(varno_get_factory()->create_generator());
    m_top->set_family_pcf(dir + "/quelvo_family.ddb");
    m_top->set_device_pcf(dir + "/qv_device.ddb");
    ASSERT_EQ(m_top->process_pcfs(false, false, false, nullptr, 0), 0u)
        << VOLD_DATA_SERVER::last_error();
  }
  VARNO_GEN* sector(u32 x, u32 y) {
    return dynamic_cast<VARNO_GEN*>(m_top->get_meta_block("SECTOR_ARRAY", x, y)->generator());
  }
  VARNO_MGR_PARAM& param(u32 x, u32 y) { return *sector(x, y)->get_mgr_param(); }
  VARNO_DBLOCK* block(u32 x, u32 y, const char* name) {
    return dynamic_cast<VARNO_DBLOCK*>(sector(x, y)->get_block(name, false));
  }
  template <typename MGR>
  MGR* mgr(u32 x, u32 y, const char* name) {
    return dynamic_cast<MGR*>(block(x, y, name)->get_frame_mgr());
  }
  // Gives the block data of bits bits (all of data by default).
  static void set_data(VARNO_DBLOCK* b, VARNO_BLOCK_DATA_TYPE slot, BYTES& data, u32 bits = ~0u) {
    b->set_data(slot, data.data(), bits == ~0u ? static_cast<u32>(data.size() * 8) : bits, nullptr);
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
  // The expected-data file of block b, or "<none>" when none was written.
  static std::string dump(VARNO_DBLOCK* b) {
    std::string path = std::filesystem::temp_directory_path() /
                       ("varno_bbus_dump_" + std::to_string(getpid()) + ".txt");
    std::filesystem::remove(path);
    b->dump_expected_data(path);
    if (!std::filesystem::exists(path)) return "<none>";
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::filesystem::remove(path);
    return text.str();
  }

  MANAGERS m_managers;
  std::unique_ptr<VARNO_IGEN> m_top;
};

}  // namespace bbus_test
