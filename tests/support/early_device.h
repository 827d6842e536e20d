// Fixtures of the frame-manager tests of the earlier families (IOCSR, ERAM,
// padding block, and the CRAM managers of tests/data/hg and tests/data/pv):
// frame trailers, a generator whose frame type is served by the manager
// under test (loaded from fixture files, or edited copies of them), and the
// small device of tests/data/early built from them.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "generator_fixture.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_test.h"
#include "vold.h"

// A frame trailer: the filler, then the CRC-16 of the covered bytes and the
// filler.
inline BYTES trailer(const BYTES& covered, u16 filler) {
  const BYTES fill = {static_cast<u8>(filler), static_cast<u8>(filler >> 8)};
  const u16 crc = crc16(concat({covered, fill}));
  return concat({fill, {static_cast<u8>(crc), static_cast<u8>(crc >> 8)}});
}

// Header, core and a trailer whose CRC covers the core, and the header first
// when with_header.
inline BYTES framed(const BYTES& header, const BYTES& core, u16 filler, bool with_header = true) {
  return concat({header, core, trailer(with_header ? concat({header, core}) : core, filler)});
}

// bytes bytes with the listed bits set (bit k is bit k % 8 of byte k / 8).
template <class BITS = std::initializer_list<u32>>
BYTES with_bits(u32 bytes, const BITS& bits) {
  BYTES out(bytes, 0);
  for (u32 k : bits) out[k / 8] = static_cast<u8>(out[k / 8] | (1u << (k % 8)));
  return out;
}

// A top generator whose frame type `type` is served by a new M while the
// object lives (the others by `others`, or the built-in managers where that
// gives none), with the block of that type at hand.
template <class M>
class TESTED_DEVICE {
 public:
  TESTED_DEVICE(VOLD_FRAME_TYPE type, const char* block, VARNO_FRAME_MGR_HOOK others = {})
      : m_hook([type, others = std::move(others)](VOLD_FRAME_TYPE t) -> VARNO_FRAME_MGR* {
          if (t == type) return new M();
          return others ? others(t) : nullptr;
        }),
        m_block(block) {}

  // Loads the family and device files of dir, or of a copy with the edits;
  // the result of process_pcfs.
  u32 load_files(const std::string& dir, const std::string& family, const std::string& device,
                 const FILE_EDITS& edits = {}) {
    if (!edits.empty()) {
      const VARIANT_DIR copy(dir, edits, {family, device});
      return load_files(copy.path(), family, device);
    }
    m_gen = new_generator(dir + "/" + family, dir + "/" + device);
    return m_gen->process_pcfs(false, false, false, nullptr, 0);
  }

  VARNO_GEN* gen() { return m_gen.get(); }
  VARNO_MGR_PARAM& param() { return *m_gen->get_mgr_param(); }
  VARNO_MGR_TALKBACK& talkback() { return *m_gen->get_mgr_talkback(); }
  VARNO_DBLOCK* block(const std::string& name) {
    return dynamic_cast<VARNO_DBLOCK*>(m_gen->get_block(name, false));
  }
  VARNO_DBLOCK* tested() { return block(m_block); }
  M* mgr() { return dynamic_cast<M*>(tested()->get_frame_mgr()); }

  // The bytes of frame i of the tested block, of all its frames, and of one
  // segment of frame i (none when the frame has no such segment).
  BYTES frame(u32 i) { return ::frame(tested(), i); }
  std::vector<BYTES> frames() { return ::frames(tested()); }
  BYTES segment(u32 i, VARNO_FRAME_SEGMENT_TYPE type) {
    const VARNO_FRAME_SEGMENT* s = tested()->get_frame(i)->get_segment(type);
    return s == nullptr ? BYTES{} : BYTES(s->data(), s->data() + s->size());
  }

 private:
  // Declared first: the generator goes before the hook is put back.
  FRAME_MGR_HOOK_SCOPE m_hook;
  std::string m_block;
  std::unique_ptr<VARNO_GEN> m_gen;
};

// The set-up checks of a CRAM manager M: none built before set-up, its
// parent (expect_parent_checks), and the CRAM block of a generator that has
// loaded no device, where it finds no device description.
template <class M>
void expect_cram_setup_checks() {
  M none;
  EXPECT_EQ(none.potential_frames(), 0u);
  expect_parent_checks(none);
  const auto gen = new_generator();
  VARNO_DBLOCK block(VOLD_BLOCK_CRAM, gen.get());
  M m;
  m.set_parent(&block);
  EXPECT_INTERNAL_ERROR(m.init(), "device_pcf != NULL");
}

// Stands in for the manager of a block that a test does not cover: one frame
// of the bytes of the block's user data in slot, so that the test chooses
// the block's size.
class USER_DATA_FRAME_MGR : public STUB_FRAME_MGR {
 public:
  explicit USER_DATA_FRAME_MGR(VARNO_BLOCK_DATA_TYPE slot) : m_slot(slot) {}
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) override {
    block->clear_frames();
    auto frame = std::make_unique<VARNO_FRAME>();
    const u32 bytes = static_cast<u32>(block->get_user_data_size(m_slot) / 8);
    frame->add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, bytes, true));
    if (block->insert_frame_at_end(frame.get(), 0)) frame.release();
    return true;
  }
  u32 potential_frames() override { return 1; }

 private:
  VARNO_BLOCK_DATA_TYPE m_slot;
};

// The small device of tests/data/early (its files say what it holds), with
// text edits to its family and device files, loaded by a top generator
// whose frame type `type` (of block `block`) is served by a new M. Every
// other block gets a USER_DATA_FRAME_MGR: the ERAM slot for the ERAM, the
// CRAM slot otherwise.
template <class M>
class EARLY_DEVICE : public TESTED_DEVICE<M> {
 public:
  using EDITS = std::vector<std::pair<std::string, std::string>>;

  EARLY_DEVICE(VOLD_FRAME_TYPE type, const char* block, const EDITS& family, const EDITS& device)
      : TESTED_DEVICE<M>(type, block, [](VOLD_FRAME_TYPE t) -> VARNO_FRAME_MGR* {
          return new USER_DATA_FRAME_MGR(t == VOLD_FRAME_ERAM ? VARNO_BLOCK_DATA_ERAM
                                                             : VARNO_BLOCK_DATA_CRAM);
        }) {
    for (const auto& [from, to] : family) m_edits.push_back({kFamily, from, to});
    for (const auto& [from, to] : device) m_edits.push_back({kDevice, from, to});
  }

  // The result of process_pcfs.
  u32 load() {
    return this->load_files(std::string(VARNO_TEST_DATA_DIR) + "/early", kFamily, kDevice,
                            m_edits);
  }

 private:
  static constexpr const char* kFamily = "early_family.ddb";
  static constexpr const char* kDevice = "early_device.ddb";
  FILE_EDITS m_edits;
};
