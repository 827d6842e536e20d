// Fixtures of the frame-manager tests of the earlier families (IOCSR, ERAM,
// padding block, and the CRAM managers of tests/data/hg and tests/data/pv):
// the trailer CRC, edited copies of fixture files, a generator whose frame
// type is served by the manager under test, and the small device of
// tests/data/early built from them.
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
#include "varno_frame.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_test.h"
#include "vold.h"

// The reflected CRC-16 (0xA001) of the bytes, least significant bit first,
// worked bit by bit apart from the library's table.
inline u16 crc16_ref(const BYTES& bytes, u16 crc = 0xFFFF) {
  for (u8 b : bytes) {
    for (u32 i = 0; i < 8; ++i) {
      const bool x = (((b >> i) ^ crc) & 1) != 0;
      crc = static_cast<u16>(crc >> 1);
      if (x) crc ^= 0xA001;
    }
  }
  return crc;
}

// A frame trailer: the filler, then the CRC-16 of the covered bytes and the
// filler.
inline BYTES trailer(const BYTES& covered, u16 filler) {
  const BYTES fill = {static_cast<u8>(filler), static_cast<u8>(filler >> 8)};
  const u16 crc = crc16_ref(concat({covered, fill}));
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

// Text edits of fixture files: in file, the first from becomes to.
using FILE_EDITS = std::vector<std::tuple<std::string, std::string, std::string>>;

// A temporary directory, removed with the object: empty, or holding copies
// of files of dir with the edits applied (an edit whose text is not found
// fails the test).
class FIXTURE_COPY {
 public:
  FIXTURE_COPY() {
    char name[] = "/tmp/varno_test_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    m_path = name;
  }
  FIXTURE_COPY(const std::string& dir, std::initializer_list<std::string> files,
               const FILE_EDITS& edits)
      : FIXTURE_COPY() {
    for (const std::string& file : files) {
      std::stringstream text;
      text << std::ifstream(dir + "/" + file).rdbuf();
      std::string s = text.str();
      for (const auto& [f, from, to] : edits) {
        if (f != file) continue;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) s.replace(at, from.size(), to);
      }
      write(file, s);
    }
  }
  FIXTURE_COPY(const FIXTURE_COPY&) = delete;
  FIXTURE_COPY& operator=(const FIXTURE_COPY&) = delete;
  ~FIXTURE_COPY() { std::filesystem::remove_all(m_path); }

  void write(const std::string& file, const std::string& text) const {
    std::ofstream(m_path + "/" + file) << text;
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// A top generator whose frame type `type` is served by a new M while the
// object lives (the others by `others`, or the built-in managers where that
// gives none), with the block of that type at hand.
template <class M>
class TESTED_DEVICE {
 public:
  TESTED_DEVICE(VOLD_FRAME_TYPE type, const char* block, VARNO_FRAME_MGR_HOOK others = {})
      : m_block(block) {
    m_previous_hook = varno_set_frame_mgr_hook(
        [type, others = std::move(others)](VOLD_FRAME_TYPE t) -> VARNO_FRAME_MGR* {
          if (t == type) return new M();
          return others ? others(t) : nullptr;
        });
  }
  TESTED_DEVICE(const TESTED_DEVICE&) = delete;
  TESTED_DEVICE& operator=(const TESTED_DEVICE&) = delete;
  ~TESTED_DEVICE() {
    m_gen.reset();
    varno_set_frame_mgr_hook(std::move(m_previous_hook));
  }

  // Loads the family and device files of dir, or of a copy with the edits;
  // the result of process_pcfs.
  u32 load_files(const std::string& dir, const std::string& family, const std::string& device,
                 const FILE_EDITS& edits = {}) {
    if (!edits.empty()) {
      FIXTURE_COPY copy(dir, {family, device}, edits);
      return load_files(copy.path(), family, device);
    }
    m_gen.reset(varno_get_factory()->create_generator());
    m_gen->set_family_pcf(dir + "/" + family);
    m_gen->set_device_pcf(dir + "/" + device);
    return m_gen->process_pcfs(false, false, false, nullptr, 0);
  }

  VARNO_GEN* gen() { return dynamic_cast<VARNO_GEN*>(m_gen.get()); }
  VARNO_MGR_PARAM& param() { return *m_gen->get_mgr_param(); }
  VARNO_MGR_TALKBACK& talkback() { return *m_gen->get_mgr_talkback(); }
  VARNO_DBLOCK* block(const std::string& name) {
    return dynamic_cast<VARNO_DBLOCK*>(m_gen->get_block(name, false));
  }
  VARNO_DBLOCK* tested() { return block(m_block); }
  M* mgr() { return dynamic_cast<M*>(tested()->get_frame_mgr()); }

  // The bytes of frame i of the tested block, of all its frames, and of one
  // segment of frame i (none when the frame has no such segment).
  BYTES frame(u32 i) {
    BYTES out(tested()->get_frame_size(i));
    if (!out.empty()) tested()->get_frame_data(i, out.data());
    return out;
  }
  std::vector<BYTES> frames() {
    std::vector<BYTES> out;
    for (u32 i = 0; i < tested()->get_number_of_frames(); ++i) out.push_back(frame(i));
    return out;
  }
  BYTES segment(u32 i, VARNO_FRAME_SEGMENT_TYPE type) {
    const VARNO_FRAME_SEGMENT* s = tested()->get_frame(i)->get_segment(type);
    return s == nullptr ? BYTES{} : BYTES(s->data(), s->data() + s->size());
  }

 private:
  std::unique_ptr<VARNO_IGEN> m_gen;
  std::string m_block;
  VARNO_FRAME_MGR_HOOK m_previous_hook;
};

// A CRAM block of a generator that has loaded no device: a parent whose
// managers find no device description.
struct UNLOADED_BLOCK {
  std::unique_ptr<VARNO_IGEN> gen{varno_get_factory()->create_generator()};
  VARNO_DBLOCK block{VOLD_BLOCK_CRAM, dynamic_cast<VARNO_GEN*>(gen.get())};
};

// Stands in for the manager of a block that a test does not cover: one frame
// of the bytes of the block's user data in slot, so that the test chooses
// the block's size.
class USER_DATA_FRAME_MGR : public VARNO_FRAME_MGR {
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
  bool create_partial_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*, u32, u32) override { return true; }
  void set_parent(VARNO_DBLOCK* block) override { m_parent = block; }
  VARNO_DBLOCK* parent() override { return m_parent; }
  u32 potential_frames() override { return 1; }
  bool init() override { return true; }
  void set_random_filler(u16) override {}
  void set_user_frame_count(u32) override {}
  void dump_expected_data(std::string&) override {}

 private:
  VARNO_BLOCK_DATA_TYPE m_slot;
  VARNO_DBLOCK* m_parent = nullptr;
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
    for (const auto& [from, to] : family) m_edits.emplace_back(kFamily, from, to);
    for (const auto& [from, to] : device) m_edits.emplace_back(kDevice, from, to);
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
