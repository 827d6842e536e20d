// Pieces of a host's run for the tests: a generator on given parameter
// files, a block's frame descriptor words, frames added by hand, the bytes
// and dump of a block or frame, a frame manager that does nothing (the base
// of scripted stand-ins), the parent checks of a manager's set-up, a scope
// for the frame-manager hook, and the debug channel's lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "msg.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_frame_mgr.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_test.h"

// A new generator from the factory, with its family and device files set
// when given; nothing is loaded yet.
inline std::unique_ptr<VARNO_GEN> new_generator(const std::string& family = "",
                                                const std::string& device = "") {
  std::unique_ptr<VARNO_GEN> gen(dynamic_cast<VARNO_GEN*>(varno_get_factory()->create_generator()));
  if (!family.empty()) gen->set_family_pcf(family);
  if (!device.empty()) gen->set_device_pcf(device);
  return gen;
}

// The block's image as read_block_data gives it.
inline std::vector<u8> block_bytes(VARNO_IBLOCK* block) {
  std::vector<u8> out(block->get_block_size());
  block->read_block_data(out.data());
  return out;
}
inline std::vector<u8> block_bytes(VARNO_IBLOCK& block) { return block_bytes(&block); }

// Sets word i of the block's frame descriptor to value.
inline void set_descriptor_word(VARNO_DBLOCK* block, u32 i, u32 value) {
  VARNO_FRAME_DESCRIPTOR descriptor = *block->get_frame_descriptor();
  descriptor.words[i] = value;
  block->set_frame_descriptor(descriptor);
}

// Frame i of the block, and all its frames, as get_frame_data gives them;
// all of each is written.
inline BYTES frame(VARNO_IBLOCK* block, u32 i) {
  BYTES out(block->get_frame_size(i));
  EXPECT_EQ(block->get_frame_data(i, out.data()), out.size()) << "frame " << i;
  return out;
}
inline std::vector<BYTES> frames(VARNO_IBLOCK* block) {
  std::vector<BYTES> out;
  for (u32 i = 0; i < block->get_number_of_frames(); ++i) out.push_back(frame(block, i));
  return out;
}
// The frames a failed build left behind, past the read-outs' refusal.
inline std::vector<BYTES> frames_left(const VARNO_DBLOCK* block) {
  std::vector<BYTES> out;
  for (u32 i = 0; const VARNO_FRAME* f = block->get_frame(i); ++i)
    f->get_frame_data(out.emplace_back(f->get_frame_size()).data(), f->get_frame_size());
  return out;
}
// What the block's dump writes in format.
inline std::string dump_text(VARNO_IBLOCK& block, VARNO_OUTPUT_FORMAT format) {
  return dumped([&](std::ofstream& stream) { block.dump(stream, format); });
}

// Appends to the block one frame of one data segment per bytes.
inline void add_frames(VARNO_DBLOCK* block, const std::vector<BYTES>& frames) {
  for (const BYTES& bytes : frames) {
    auto frame = std::make_unique<VARNO_FRAME>();
    auto* segment =
        new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, static_cast<u32>(bytes.size()), true);
    std::copy(bytes.begin(), bytes.end(), segment->data());
    frame->add_frame_segment(segment);
    ASSERT_TRUE(block->insert_frame_at_end(frame.release(), 0));
  }
}
// The frame serialised; all of it is written.
inline std::vector<u8> frame_bytes(const VARNO_FRAME& frame) {
  std::vector<u8> out(frame.get_frame_size());
  EXPECT_EQ(frame.get_frame_data(out.data(), static_cast<u32>(out.size())), out.size());
  return out;
}

// A frame manager that builds nothing and succeeds at everything; stand-ins
// override what their tests script.
class STUB_FRAME_MGR : public VARNO_FRAME_MGR {
 public:
  bool create_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*) override { return true; }
  bool create_partial_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*, u32, u32) override { return true; }
  void set_parent(VARNO_DBLOCK* block) override { m_parent = block; }
  VARNO_DBLOCK* parent() override { return m_parent; }
  u32 potential_frames() override { return 0; }
  bool init() override { return true; }
  void set_random_filler(u16) override {}
  void set_user_frame_count(u32) override {}
  void dump_expected_data(std::string&) override {}

 protected:
  VARNO_DBLOCK* m_parent = nullptr;
};

// The checks of a manager's init on its parent: without one it stops at
// "block != NULL", on one outside any generator (so without a block
// configuration) at "config != NULL". The manager is left without a parent.
inline void expect_parent_checks(VARNO_FRAME_MGR& m) {
  EXPECT_INTERNAL_ERROR(m.init(), "block != NULL");
  VARNO_DBLOCK loose;
  m.set_parent(&loose);
  EXPECT_EQ(m.parent(), &loose);
  EXPECT_INTERNAL_ERROR(m.init(), "config != NULL");
  m.set_parent(nullptr);
}

// Routes the library's manager requests through hook for the life of the
// object, then puts the previous hook back.
class FRAME_MGR_HOOK_SCOPE {
 public:
  explicit FRAME_MGR_HOOK_SCOPE(VARNO_FRAME_MGR_HOOK hook)
      : m_previous(varno_set_frame_mgr_hook(std::move(hook))) {}
  ~FRAME_MGR_HOOK_SCOPE() { varno_set_frame_mgr_hook(std::move(m_previous)); }
  FRAME_MGR_HOOK_SCOPE(const FRAME_MGR_HOOK_SCOPE&) = delete;
  FRAME_MGR_HOOK_SCOPE& operator=(const FRAME_MGR_HOOK_SCOPE&) = delete;

 private:
  VARNO_FRAME_MGR_HOOK m_previous;
};

// The library's lines on the host's debug channel (level 2), for the life
// of the object.
class DEBUG_LINES {
 public:
  DEBUG_LINES() {
    msg_set_debug_sink([this](const char* module, int level, const std::string& text) {
      if (level == 2 && std::string(module) == "VARNO") lines.push_back(text);
    });
  }
  ~DEBUG_LINES() { msg_set_debug_sink({}); }
  DEBUG_LINES(const DEBUG_LINES&) = delete;
  DEBUG_LINES& operator=(const DEBUG_LINES&) = delete;
  bool has(const std::string& text) const { return count(text) != 0; }
  size_t count(const std::string& text) const {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
  }

  std::vector<std::string> lines;
};
