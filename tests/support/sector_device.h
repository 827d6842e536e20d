// The sector-family device builder. SECTOR_DEVICE loads the family and
// device file of a test data directory, or of a copy with text edits, into a
// generator and reaches the device-level blocks, the sectors of its
// "SECTOR_ARRAY", their blocks, parameter records and frame managers, and
// what a block built (its frames through frame/frames, its expected-data
// file, its 2D engine's registration). expect_load_errors loads edited copies
// whose set-up must fail.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "generator_fixture.h"
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

struct SECTOR_DEVICE {
  // Loads the family and device files of dir, or of a copy of dir with the
  // edits, into a new generator: 0 when they loaded. A manager whose set-up
  // fails raises its internal error.
  u32 load(const std::string& dir, const FILE_EDITS& edits = {}) {
    if (!edits.empty()) {
      const VARIANT_DIR copy(dir, edits);
      return load(copy.path());
    }
    m_top = new_generator(dir + "/" + m_family, dir + "/" + m_device);
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
  // Registers a stand-in engine of block b through its manager twice: the
  // device's generator holds it once (detached and dropped afterwards).
  void expect_engine_registered_once(VARNO_DBLOCK* b) const {
    int token = 0;
    auto* engine = reinterpret_cast<VARNO_QV_2D_ENGINE*>(&token);
    b->set_2d_engine(engine);
    b->get_frame_mgr()->register_2d_engine(b);
    b->get_frame_mgr()->register_2d_engine(b);
    EXPECT_EQ(m_top->registered_2d_engines(), std::vector<VARNO_QV_2D_ENGINE*>{engine});
    b->detach_2d_engine();
    m_top->registered_2d_engines().clear();
  }
  // The expected-data file of block b, or "<none>" when it writes none.
  static std::string dump(VARNO_DBLOCK* b) {
    const TEMP_DIR dir;
    std::string path = dir.file("expected.txt");
    b->dump_expected_data(path);
    return std::filesystem::exists(path) ? read_file(path) : "<none>";
  }

  // The files load reads.
  std::string m_family = "quelvo_family.ddb";
  std::string m_device = "qv_device.ddb";
  std::unique_ptr<VARNO_GEN> m_top;
};

// An edit of the fixture files and the internal error that loading the
// edited copy raises.
struct LOAD_ERROR {
  FILE_EDIT edit;
  std::string text;
};
// Loads a copy of dir with each edit in turn: each raises its error.
inline void expect_load_errors(const std::string& dir, const std::vector<LOAD_ERROR>& cases) {
  for (const auto& [edit, text] : cases) {
    SCOPED_TRACE(edit.to);
    SECTOR_DEVICE d;
    EXPECT_INTERNAL_ERROR(d.load(dir, {edit}), text);
  }
}
