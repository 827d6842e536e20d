// Data blocks: frame list and serialisation, the manager life cycle driven by
// a scripted manager, parameter and argument access, 2D segments, dumps.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "generator_fixture.h"
#include "varno_dblock.h"
#include "varno_dummy_frame_mgr.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_test.h"
#include "vold.h"

namespace {

VARNO_FRAME_SEGMENT* segment(VARNO_FRAME_SEGMENT_TYPE type, const BYTES& content) {
  auto* seg = new VARNO_FRAME_SEGMENT(type, static_cast<u32>(content.size()), true);
  for (size_t i = 0; i < content.size(); ++i) seg->data()[i] = content[i];
  return seg;
}

// A frame made of the given segments, in order.
VARNO_FRAME* frame_of(std::initializer_list<std::pair<VARNO_FRAME_SEGMENT_TYPE, BYTES>> segs) {
  auto* frame = new VARNO_FRAME();
  for (const auto& [type, content] : segs) frame->add_frame_segment(segment(type, content));
  return frame;
}

// What the scripted manager was asked, shared by every manager a test makes.
struct SCRIPT {
  bool init_result = true;
  bool create_result = true;
  u32 frames_to_build = 0;
  int inits = 0, creates = 0, partials = 0, registers = 0, destroyed = 0;
  u32 partial_first = 0, partial_last = 0;
  u16 filler = 0;
  u32 user_frames = 0;
  std::string expected_path;
  VARNO_DBLOCK* parent = nullptr;
};

class SCRIPTED_MGR : public VARNO_FRAME_MGR {
 public:
  explicit SCRIPTED_MGR(SCRIPT& script) : m_script(script) {}
  ~SCRIPTED_MGR() override { ++m_script.destroyed; }
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) override {
    ++m_script.creates;
    block->clear_frames();
    for (u32 i = 0; i < m_script.frames_to_build; ++i) {
      block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_DATA, {static_cast<u8>(i)}}}), 0);
    }
    return m_script.create_result;
  }
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*, u32 first,
                             u32 last) override {
    ++m_script.partials;
    m_script.partial_first = first;
    m_script.partial_last = last;
    for (u32 i = first; i <= last; ++i) {
      block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_DATA, {static_cast<u8>(i)}}}), 0);
    }
    return true;
  }
  void set_parent(VARNO_DBLOCK* block) override { m_script.parent = block; }
  VARNO_DBLOCK* parent() override { return m_script.parent; }
  u32 potential_frames() override { return 42; }
  bool init() override {
    ++m_script.inits;
    return m_script.init_result;
  }
  void set_random_filler(u16 filler) override { m_script.filler = filler; }
  void set_user_frame_count(u32 count) override { m_script.user_frames = count; }
  void dump_expected_data(std::string& path) override { m_script.expected_path = path; }
  void register_2d_engine(VARNO_DBLOCK*) override { ++m_script.registers; }
  u32 get_lfsr(VARNO_DBLOCK* block, u32 a, u32 b, u64 c, u32 d) override {
    return block == m_script.parent ? a + b + static_cast<u32>(c) + d : 0;
  }

 private:
  SCRIPT& m_script;
};

// Counts what the block asks of its 2D engine; the engine itself is only an
// address here.
struct ENGINE_LOG {
  int runs = 0;
  int destroyed = 0;
  std::vector<u32> segments;
};
ENGINE_LOG* g_engine_log = nullptr;

VARNO_QV_2D_ENGINE* fake_engine(int& storage) {
  return reinterpret_cast<VARNO_QV_2D_ENGINE*>(&storage);
}

class DblockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_engine_log = &m_engine_log;
    VARNO_DBLOCK_2D_ENGINE_OPS ops;
    ops.run = [](VARNO_QV_2D_ENGINE*) { ++g_engine_log->runs; };
    ops.destroy = [](VARNO_QV_2D_ENGINE*) { ++g_engine_log->destroyed; };
    ops.segments = [](VARNO_QV_2D_ENGINE*) -> const std::vector<u32>* {
      return &g_engine_log->segments;
    };
    m_saved_ops = VARNO_DBLOCK::set_2d_engine_ops(ops);
  }
  void TearDown() override {
    VARNO_DBLOCK::set_2d_engine_ops(m_saved_ops);
    g_engine_log = nullptr;
  }

  // A data block of frame type frame_type in m_gen.
  std::unique_ptr<VARNO_DBLOCK> make_block(u32 frame_type = VOLD_FRAME_QV_CRAM,
                                           u32 block_type = VOLD_BLOCK_CRAM) {
    auto block = std::make_unique<VARNO_DBLOCK>(block_type, &m_gen);
    VOLD_FRAME_DESCRIPTION description;
    description.frame_type = frame_type;
    block->set_frame_descriptor(VARNO_FRAME_DESCRIPTOR::pack(description));
    return block;
  }

  VARNO_GEN m_gen;
  SCRIPT m_script;
  ENGINE_LOG m_engine_log;
  VARNO_DBLOCK_2D_ENGINE_OPS m_saved_ops;
  FRAME_MGR_HOOK_SCOPE m_hook{[this](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
    return type == VOLD_FRAME_QV_CRAM ? new SCRIPTED_MGR(m_script) : nullptr;
  }};
};

// ---- Descriptor and construction ---------------------------------------------

TEST_F(DblockTest, DescriptorPacksTheFamilyEntry) {
  VOLD_FRAME_DESCRIPTION d;
  d.frame_type = 18;
  d.value64 = 0x1122334455667788ull;
  d.ptrval = 0xAABBCCDD99887766ull;
  d.u32_a = 0x01020304;
  d.u32_b = 0x80000005;
  d.u8_c = 0x7E;
  const VARNO_FRAME_DESCRIPTOR p = VARNO_FRAME_DESCRIPTOR::pack(d);
  const u32 expected[8] = {18, 0x55667788, 0x11223344, 0x99887766, 0xAABBCCDD, 0x01020304, 5, 0x17E};
  for (u32 i = 0; i < 8; ++i) EXPECT_EQ(p.word(i), expected[i]) << i;
  EXPECT_EQ(p.byte(8), 0x44);   // low byte of word 2, the frame size
  EXPECT_EQ(p.byte(28), 0x7E);
  EXPECT_EQ(p.byte(29), 1);     // top bit of the second u32
  EXPECT_EQ(p.byte(30), 0);
  EXPECT_INTERNAL_ERROR(p.word(8), "i < 8");
  EXPECT_INTERNAL_ERROR(p.byte(32), "i < 32");

  auto block = make_block(18, VOLD_BLOCK_HIP_MMIO);
  EXPECT_EQ(block->frame_type(), VOLD_FRAME_QV_HIP_MMIO);
  EXPECT_EQ(block->block_type(), static_cast<u32>(VOLD_BLOCK_HIP_MMIO));
}

TEST_F(DblockTest, ConstructionNeedsAGenerator) {
  EXPECT_INTERNAL_ERROR(VARNO_DBLOCK(VOLD_BLOCK_CRAM, nullptr), "parent != nullptr");
  VARNO_DBLOCK empty;
  EXPECT_EQ(empty.get_block_config(), nullptr);
  EXPECT_EQ(empty.frame_type(), VOLD_FRAME_MAX);
}

// Without a descriptor the block has no frame type: every path that needs a
// manager stops at the controlled error instead of reading a null descriptor.
TEST_F(DblockTest, BlockWithoutDescriptorHasNoFrameType) {
  VARNO_DBLOCK block(VOLD_BLOCK_CRAM, &m_gen);
  EXPECT_EQ(block.frame_type(), VOLD_FRAME_MAX);
  EXPECT_INTERNAL_ERROR(block.partial_process(0, 1), "Unsupported Dynamic Block");
  EXPECT_INTERNAL_ERROR(block.process(false), "Unsupported Dynamic Block");
  EXPECT_INTERNAL_ERROR(block.set_random_filler(3), "Unsupported Dynamic Block");
  EXPECT_INTERNAL_ERROR(block.init_frame_mgr(), "Unsupported Dynamic Block");
  // A failed build is no build, and no partial build adds to it.
  EXPECT_INTERNAL_ERROR(block.get_number_of_frames(), "Block CRAM read before a rebuild: its build failed");
  EXPECT_FALSE(block.partial_process(0, 1));
  EXPECT_EQ(block.get_block_size(), 0u);
}

// ---- Manager table -----------------------------------------------------------

// Every frame type from the first to the last has a manager of the
// library's own; any other type is refused.
TEST_F(DblockTest, FrameTypesOfTheTableHaveManagersOthersAreUnsupported) {
  varno_set_frame_mgr_hook({});
  for (u32 type = VOLD_FRAME_IOCSR; type <= VOLD_FRAME_WX_ESRAM_BBUS; ++type) {
    auto block = make_block(type);
    std::unique_ptr<VARNO_FRAME_MGR> mgr(block->get_a_frame_manager(block->frame_type()));
    EXPECT_NE(mgr, nullptr) << type;
  }
  auto block = make_block();
  for (u32 type : {0u, 3u, 28u, 200u}) {
    EXPECT_INTERNAL_ERROR(block->get_a_frame_manager(static_cast<VOLD_FRAME_TYPE>(type)),
                          "Unsupported Dynamic Block");
  }
  auto bad = make_block(3);
  EXPECT_INTERNAL_ERROR(bad->process(false), "Unsupported Dynamic Block");
}

TEST_F(DblockTest, DataLessFrameTypesGetTheDummyManager) {
  varno_set_frame_mgr_hook({});
  for (u32 type : {20u, 27u}) {
    auto block = make_block(type, VOLD_BLOCK_ESRAM_BBUS);
    std::unique_ptr<VARNO_FRAME_MGR> mgr(block->get_a_frame_manager(block->frame_type()));
    ASSERT_NE(dynamic_cast<VARNO_DUMMY_FRAME_MGR*>(mgr.get()), nullptr);
    EXPECT_EQ(mgr->parent(), nullptr);
    u8 data[4] = {1, 2, 3, 4};
    block->set_data(VARNO_BLOCK_DATA_BBUS, data, 32, nullptr);
    EXPECT_TRUE(block->init_frame_mgr());
    EXPECT_TRUE(block->process(false));
    EXPECT_TRUE(block->partial_process(0, 3));
    EXPECT_EQ(block->get_number_of_frames(), 0u);
    EXPECT_EQ(block->get_block_size(), 0u);
    EXPECT_EQ(block->get_number_of_potential_frames(), 0u);
  }
}

// ---- Frames through the block ------------------------------------------------

TEST_F(DblockTest, FramesSerialiseWithTheirInstructionFrames) {
  auto block = make_block();
  VARNO_FRAME* f0 = frame_of({{VARNO_FRAME_SEGMENT_HEADER, {0xAA, 0xBB}},
                              {VARNO_FRAME_SEGMENT_DATA, {0x10, 0x11, 0x12, 0x13}},
                              {VARNO_FRAME_SEGMENT_TRAILER, {0xCC, 0xDD}}});
  f0->add_instruction(frame_of({{VARNO_FRAME_SEGMENT_HEADER, {0x01, 0x02, 0x03, 0x04}}}), true);
  f0->add_instruction(frame_of({{VARNO_FRAME_SEGMENT_DATA, {0xEE, 0xFF}}}), false);
  ASSERT_TRUE(block->insert_frame_at_end(f0, 0));
  ASSERT_TRUE(block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_DATA, {7, 8, 9}}}), 0));

  EXPECT_EQ(block->get_number_of_frames(), 2u);
  EXPECT_EQ(block->get_frame_size(0), 14u);
  EXPECT_EQ(frame(block.get(), 0), (BYTES{0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0x10, 0x11, 0x12,
                                          0x13, 0xCC, 0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(block->get_frame_data_ptr(0)[0], 0xAA);  // first segment, whatever its type
  EXPECT_EQ(block->get_block_size(), 17u);
  BYTES all(17);
  block->read_block_data(all.data());
  EXPECT_EQ(all, (BYTES{0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0x10, 0x11, 0x12, 0x13, 0xCC, 0xDD,
                        0xEE, 0xFF, 7, 8, 9}));

  // Past the end: nothing, and nothing written.
  BYTES sentinel(4, 0x5A);
  EXPECT_EQ(block->get_frame_size(2), 0u);
  EXPECT_EQ(block->get_frame_data(2, sentinel.data()), 0u);
  EXPECT_EQ(sentinel, BYTES(4, 0x5A));
  EXPECT_EQ(block->get_frame_data_ptr(2), nullptr);
  u8 out = 0;
  EXPECT_FALSE(block->get_frame_single_byte(2, 0, out));
  EXPECT_FALSE(block->update_frame_data(2, 0, 1));
  EXPECT_EQ(block->get_frame(2), nullptr);
}

// The offset addresses the core segment: offsets inside the frame but past
// that segment would read and write beyond its bytes.
TEST_F(DblockTest, SingleByteAccessStaysInsideTheCoreSegment) {
  auto block = make_block();
  VARNO_FRAME* f = frame_of({{VARNO_FRAME_SEGMENT_HEADER, {0xAA, 0xBB}},
                             {VARNO_FRAME_SEGMENT_DATA, {0x10, 0x11, 0x12, 0x13}},
                             {VARNO_FRAME_SEGMENT_TRAILER, BYTES(8, 0xCC)}});
  ASSERT_TRUE(block->insert_frame_at_end(f, 0));
  ASSERT_EQ(block->get_frame_size(0), 14u);

  u8 out = 0;
  EXPECT_TRUE(block->get_frame_single_byte(0, 3, out));
  EXPECT_EQ(out, 0x13);
  out = 0x77;
  EXPECT_FALSE(block->get_frame_single_byte(0, 4, out));
  EXPECT_FALSE(block->get_frame_single_byte(0, 13, out));
  EXPECT_EQ(out, 0x77);

  EXPECT_TRUE(block->update_frame_data(0, 1, 0x99));
  EXPECT_FALSE(block->update_frame_data(0, 4, 0x99));
  EXPECT_FALSE(block->update_frame_data(0, 13, 0x99));
  EXPECT_EQ(frame(block.get(), 0), (BYTES{0xAA, 0xBB, 0x10, 0x99, 0x12, 0x13, 0xCC, 0xCC, 0xCC,
                                          0xCC, 0xCC, 0xCC, 0xCC, 0xCC}));

  // A frame without core segment.
  ASSERT_TRUE(block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_HEADER, {1, 2}}}), 0));
  EXPECT_INTERNAL_ERROR(block->get_frame_single_byte(1, 0, out), "seg != nullptr");
  EXPECT_FALSE(block->update_frame_data(1, 0, 5));
}

TEST_F(DblockTest, InsertFrameAtEndCountsFromTheBack) {
  auto block = make_block();
  EXPECT_TRUE(block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_DATA, {1}}}), 0));
  EXPECT_TRUE(block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_DATA, {2}}}), 0));
  EXPECT_TRUE(block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_DATA, {0}}}), 2));
  EXPECT_TRUE(block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_DATA, {9}}}), 1));
  BYTES all(block->get_block_size());
  block->read_block_data(all.data());
  EXPECT_EQ(all, (BYTES{0, 1, 9, 2}));

  std::unique_ptr<VARNO_FRAME> refused(frame_of({{VARNO_FRAME_SEGMENT_DATA, {5}}}));
  EXPECT_FALSE(block->insert_frame_at_end(refused.get(), 5));  // not taken: still ours
  EXPECT_INTERNAL_ERROR(block->insert_frame_at_end(nullptr, 0), "frame != nullptr");
  EXPECT_EQ(block->get_number_of_frames(), 4u);

  block->clear_frames();
  EXPECT_EQ(block->get_number_of_frames(), 0u);
  EXPECT_EQ(block->get_block_size(), 0u);
}

// ---- Manager life cycle ------------------------------------------------------

TEST_F(DblockTest, ProcessBuildsRegistersAndRunsTheEngine) {
  auto block = make_block();
  m_script.frames_to_build = 2;
  ASSERT_TRUE(block->init_frame_mgr());
  EXPECT_EQ(m_script.parent, block.get());
  EXPECT_EQ(m_script.inits, 1);

  // process(false) builds and registers every time.
  EXPECT_TRUE(block->process(false));
  EXPECT_TRUE(block->process(false));
  EXPECT_EQ(m_script.creates, 2);
  EXPECT_EQ(m_script.registers, 2);
  EXPECT_FALSE(block->is_processed());
  EXPECT_EQ(block->get_number_of_frames(), 2u);
  EXPECT_EQ(m_script.inits, 1);

  // With an engine attached it runs after a successful build only; the
  // registration happens whatever the build returned.
  int engine_storage = 0;
  block->set_2d_engine(fake_engine(engine_storage));
  EXPECT_TRUE(block->process(false));
  EXPECT_EQ(m_engine_log.runs, 1);
  m_script.create_result = false;
  EXPECT_FALSE(block->process(false));
  EXPECT_EQ(m_engine_log.runs, 1);
  EXPECT_EQ(m_script.registers, 4);

  // Deferred: one build, no registration until register_2d_engine.
  m_script.create_result = true;
  EXPECT_TRUE(block->process(true));
  EXPECT_TRUE(block->process(true));
  EXPECT_TRUE(block->process(false));
  EXPECT_EQ(m_script.creates, 5);
  EXPECT_EQ(m_script.registers, 4);
  EXPECT_TRUE(block->is_processed());
  block->register_2d_engine();
  EXPECT_EQ(m_script.registers, 5);
  block->reset_process();
  EXPECT_TRUE(block->process(false));
  EXPECT_EQ(m_script.creates, 6);

  // Registering the engine needs a deferred build first.
  EXPECT_INTERNAL_ERROR(block->register_2d_engine(), "m_processed");
  block.reset();
  EXPECT_EQ(m_engine_log.destroyed, 1);
}

TEST_F(DblockTest, SkippedBlockSucceedsWithoutBuilding) {
  auto block = make_block();
  block->set_skip_processing();
  EXPECT_TRUE(block->process(false));
  EXPECT_EQ(m_script.creates, 0);
  EXPECT_EQ(block->get_frame_mgr(), nullptr);
}

TEST_F(DblockTest, PartialProcessAppends) {
  auto block = make_block();
  m_script.frames_to_build = 1;
  ASSERT_TRUE(block->process(true));
  EXPECT_TRUE(block->partial_process(2, 3));
  EXPECT_EQ(m_script.partial_first, 2u);
  EXPECT_EQ(m_script.partial_last, 3u);
  EXPECT_TRUE(block->partial_process(2, 3));
  BYTES all(block->get_block_size());
  block->read_block_data(all.data());
  EXPECT_EQ(all, (BYTES{0, 2, 3, 2, 3}));
  EXPECT_TRUE(block->is_processed());
}

// A manager made on demand computes its layout before its first build, once;
// a failed set-up is not followed by a build.
TEST_F(DblockTest, ManagerMadeOnDemandIsInitialisedFirst) {
  auto block = make_block();
  EXPECT_TRUE(block->process(false));
  EXPECT_EQ(m_script.inits, 1);
  EXPECT_EQ(m_script.creates, 1);
  EXPECT_TRUE(block->process(false));
  EXPECT_EQ(m_script.inits, 1);

  auto failing = make_block();
  m_script.init_result = false;
  EXPECT_FALSE(failing->process(false));
  EXPECT_FALSE(failing->process(false));
  EXPECT_FALSE(failing->partial_process(0, 0));
  EXPECT_EQ(m_script.inits, 2);
  EXPECT_EQ(m_script.creates, 2);
  EXPECT_EQ(m_script.partials, 0);

  // After set_random_filler made the manager, the first build still sets it up.
  auto filled = make_block();
  m_script.init_result = true;
  filled->set_random_filler(0xBEEF);
  EXPECT_EQ(m_script.filler, 0xBEEF);
  EXPECT_EQ(filled->random_filler(), 0);
  EXPECT_TRUE(filled->partial_process(0, 0));
  EXPECT_EQ(m_script.inits, 3);
}

TEST_F(DblockTest, InitFrameMgrReplacesAndDeletesTheOldManager) {
  auto block = make_block();
  EXPECT_TRUE(block->init_frame_mgr());
  VARNO_FRAME_MGR* first = block->get_frame_mgr();
  m_script.init_result = false;
  EXPECT_FALSE(block->init_frame_mgr());
  EXPECT_NE(block->get_frame_mgr(), first);
  EXPECT_EQ(m_script.destroyed, 1);
  // The failed set-up sticks: no build.
  EXPECT_FALSE(block->process(false));
  EXPECT_EQ(m_script.creates, 0);
  block.reset();
  EXPECT_EQ(m_script.destroyed, 2);
}

TEST_F(DblockTest, ManagerPassThroughs) {
  auto block = make_block();
  std::string path = "/tmp/expected";
  EXPECT_EQ(block->get_number_of_potential_frames(), 0u);
  EXPECT_EQ(block->get_user_data_lfsr(1, 2, 3, 4), 0u);
  block->overwrite_frame_count(9);
  EXPECT_INTERNAL_ERROR(block->dump_expected_data(path), "m_frame_mgr != nullptr");

  ASSERT_TRUE(block->init_frame_mgr());
  EXPECT_EQ(block->get_number_of_potential_frames(), 42u);
  EXPECT_EQ(block->get_user_data_lfsr(1, 2, 3, 4), 10u);
  block->overwrite_frame_count(9);
  EXPECT_EQ(m_script.user_frames, 9u);
  block->dump_expected_data(path);
  EXPECT_EQ(m_script.expected_path, path);
}

// ---- User data and instructions ----------------------------------------------

TEST_F(DblockTest, UserDataSlotsFilesAndCustomSizes) {
  auto block = make_block();
  u8 data[2] = {1, 2};
  u8 extra[1] = {3};
  block->set_data(VARNO_BLOCK_DATA_IO_AHB, data, 0xFFFFFFFFu, extra);
  EXPECT_EQ(block->get_user_data(VARNO_BLOCK_DATA_IO_AHB), data);
  EXPECT_EQ(block->get_user_extra(VARNO_BLOCK_DATA_IO_AHB), extra);
  EXPECT_EQ(block->get_user_data_size(VARNO_BLOCK_DATA_IO_AHB), 0xFFFFFFFFull);
  block->set_data(VARNO_BLOCK_DATA_IO_AHB, nullptr, 0, nullptr);
  EXPECT_EQ(block->get_user_data(VARNO_BLOCK_DATA_IO_AHB), nullptr);
  // One past the last slot would write past all three arrays.
  EXPECT_INTERNAL_ERROR(block->set_data(VARNO_BLOCK_DATA_MAX, data, 16, nullptr),
                        "slot < VARNO_BLOCK_DATA_MAX");
  EXPECT_INTERNAL_ERROR(block->set_data(static_cast<VARNO_BLOCK_DATA_TYPE>(1000), data, 16, nullptr),
                        "slot < VARNO_BLOCK_DATA_MAX");

  // Only the firmware-file manager reads data files: elsewhere a path would
  // build nothing. Its list keeps every path in call order, whatever the slot.
  EXPECT_INTERNAL_ERROR(block->set_data_from_file(VARNO_BLOCK_DATA_CRAM, "b.hex"),
                        "set_data_from_file on block CRAM, whose frame manager reads no data file");
  EXPECT_TRUE(block->m_data_files.empty());
  auto firmware = make_block(VOLD_FRAME_QV_FW_FILE, VOLD_BLOCK_FW_PARAMS);
  firmware->set_data_from_file(VARNO_BLOCK_DATA_CRAM, "b.hex");
  firmware->set_data_from_file(VARNO_BLOCK_DATA_MCU, "a.hex");
  EXPECT_EQ(firmware->m_data_files, (std::vector<std::string>{"b.hex", "a.hex"}));

  const u32 sizes[3] = {4096, 2048, 12};
  block->set_custom_frame_sizes(sizes, 3);
  EXPECT_EQ(block->m_custom_frame_sizes, (std::vector<u32>{4096, 2048, 12}));
  block->set_custom_frame_sizes(nullptr, 5);
  EXPECT_TRUE(block->m_custom_frame_sizes.empty());
  block->set_custom_frame_sizes(sizes, 3);
  block->set_custom_frame_sizes(sizes, 0);
  EXPECT_TRUE(block->m_custom_frame_sizes.empty());
}

TEST_F(DblockTest, InstructionsOnePerType) {
  auto block = make_block();
  VOLD_INSTRUCTION first;
  first.type = VOLD_INSTRUCTION_FIRST_FRAME;
  EXPECT_EQ(block->get_instruction(VOLD_INSTRUCTION_FIRST_FRAME), nullptr);
  block->set_instruction(VOLD_INSTRUCTION_FIRST_FRAME, &first);
  EXPECT_EQ(block->get_instruction(VOLD_INSTRUCTION_FIRST_FRAME), &first);
  const char* text =
      "type < VOLD_INSTRUCTION_MAX && instruction != nullptr && "
      "m_instructions[static_cast<DWORD>(type)] == nullptr";
  EXPECT_INTERNAL_ERROR(block->set_instruction(VOLD_INSTRUCTION_FIRST_FRAME, &first), text);
  EXPECT_INTERNAL_ERROR(block->set_instruction(VOLD_INSTRUCTION_LAST_FRAME, nullptr), text);
  EXPECT_INTERNAL_ERROR(block->set_instruction(VOLD_INSTRUCTION_MAX, &first), text);
  EXPECT_INTERNAL_ERROR(block->get_instruction(VOLD_INSTRUCTION_MAX), "type < VOLD_INSTRUCTION_MAX");
}

// ---- Parameters and arguments ------------------------------------------------

class DblockConfigTest : public DblockTest {
 protected:
  void SetUp() override {
    DblockTest::SetUp();
    m_info.create_device_info(0, 1);
    m_block = make_block();
    VARNO_BLOCK_CONFIG* config = m_block->get_block_config();
    config->m_param_list.push_back(
        m_info.add_param(VOLD_BLOCK_CRAM, VOLD_PARAMETER_CRAM_FRAME_COUNT, {11, 22}));
    config->m_param_list.push_back(m_info.add_param(
        VOLD_BLOCK_CRAM, VOLD_PARAMETER_DRAS, 3, {{5, 0, "alpha"}, {6, 2, "beta"}}));
    config->m_param_list.push_back(
        m_info.add_param_without_data(VOLD_BLOCK_CRAM, VOLD_PARAMETER_COL_AS_FRAME, 0));
    config->m_arg_list.push_back(
        m_info.add_arg(VOLD_BLOCK_CRAM, VOLD_ARGUMENT_BROW_FRAME_SIZE, 2, {3, 9, 4, 8}));
  }
  void TearDown() override {
    // Its engine goes before the test's engine calls are taken away.
    m_block.reset();
    DblockTest::TearDown();
  }
  VOLD_INFO m_info;
  std::unique_ptr<VARNO_DBLOCK> m_block;
};

TEST_F(DblockConfigTest, ParametersByName) {
  EXPECT_EQ(m_block->get_param_size("CRAM_FRAME_COUNT"), 2u);
  EXPECT_EQ(m_block->get_param_value("CRAM_FRAME_COUNT", 1u), 22u);
  EXPECT_EQ(m_block->get_param_value("DRAS", 1u), 0u);  // no entry at that offset
  EXPECT_EQ(m_block->get_param_value("DRAS", std::string("beta")), 6u);
  EXPECT_EQ(m_block->get_param_value("DRAS", std::string("gamma")), 0u);
  EXPECT_INTERNAL_ERROR(m_block->get_param_size("NOT_A_PARAMETER"), "Unrecognized parameter name");
  EXPECT_INTERNAL_ERROR(
      m_block->get_param_value("CRAM_FRAME_COUNT", 2u),
      "Parameter CRAM_FRAME_COUNT (" + std::to_string(VOLD_PARAMETER_CRAM_FRAME_COUNT) +
          ") index (2) out of range (2)");
  EXPECT_INTERNAL_ERROR(m_block->get_param_value("DRAS", std::string()), "!name.empty()");
}

TEST_F(DblockConfigTest, NamedEntryOfAnEmptyParameter) {
  // Not in the configuration at all, or without values.
  for (const char* name : {"ARRAY_COUNT", "COL_AS_FRAME"}) {
    EXPECT_INTERNAL_ERROR(m_block->get_param_value(name, std::string()),
                          std::string("Paramter ") + name +
                              " size is 0 but user expected non-empty return value with name ()");
    EXPECT_EQ(m_block->get_param_value(name, std::string("x")), 0u);
  }
}

TEST_F(DblockConfigTest, ArgumentsByName) {
  EXPECT_EQ(m_block->get_arg_size("BROW_FRAME_SIZE"), 4u);
  EXPECT_EQ(m_block->get_arg_width("BROW_FRAME_SIZE"), 2u);
  EXPECT_EQ(m_block->get_arg_value("BROW_FRAME_SIZE", 1, 1), 8u);
  EXPECT_EQ(m_block->get_arg_value("BROW_FRAME_SIZE", 0, 1), 9u);
  EXPECT_INTERNAL_ERROR(
      m_block->get_arg_value("BROW_FRAME_SIZE", 2, 0),
      "Invalid PCF argument access (BROW_FRAME_SIZE): Index 2 (max size 2), Offset 0 (max size 2)");
  EXPECT_INTERNAL_ERROR(
      m_block->get_arg_value("BROW_FRAME_SIZE", 0, 2),
      "Invalid PCF argument access (BROW_FRAME_SIZE): Index 0 (max size 2), Offset 2 (max size 2)");
  // A known argument the block lacks: nothing to read, and the read is an
  // invalid access rather than a look-up of no record.
  EXPECT_EQ(m_block->get_arg_size("BROW_SIZE"), 0u);
  EXPECT_EQ(m_block->get_arg_width("BROW_SIZE"), 0u);
  EXPECT_INTERNAL_ERROR(
      m_block->get_arg_value("BROW_SIZE", 0, 0),
      "Invalid PCF argument access (BROW_SIZE): Index 0 (max size 0), Offset 0 (max size 0)");
  EXPECT_INTERNAL_ERROR(m_block->get_arg_size("CRAM_FRAME_COUNT"), "Unrecognized argument name");
  EXPECT_INTERNAL_ERROR(m_block->get_arg_value("", 0, 0), "Unrecognized argument name");
}

// ---- 2D segments ---------------------------------------------------------------

TEST_F(DblockConfigTest, FrameTwoDSegmentsCopyTheListedCoreRanges) {
  for (u8 f = 0; f < 4; ++f) {
    m_block->insert_frame_at_end(
        frame_of({{VARNO_FRAME_SEGMENT_HEADER, {0xEE, 0xEE}},
                  {VARNO_FRAME_SEGMENT_DATA,
                   {u8(f * 16), u8(f * 16 + 1), u8(f * 16 + 2), u8(f * 16 + 3), u8(f * 16 + 4),
                    u8(f * 16 + 5), u8(f * 16 + 6), u8(f * 16 + 7)}}}),
        0);
  }
  BYTES out(12, 0x5A);
  EXPECT_EQ(m_block->get_frame_2d_segments(0, out.data()), 0u);  // no engine

  int engine_storage = 0;
  m_block->set_2d_engine(fake_engine(engine_storage));
  // BROW_FRAME_SIZE row 0 gives 3 frames per row: frames 0-2 are row 0, 3 is row 1.
  m_engine_log.segments = {0x0000FFFF, (1u << 16) | 3, (5u << 16) | 8, 0x0001FFFF, (0u << 16) | 2,
                           0x0003FFFF};
  EXPECT_EQ(m_block->get_frame_2d_segments(1, out.data()), 5u);
  EXPECT_EQ(out, (BYTES{0x11, 0x12, 0x15, 0x16, 0x17, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}));
  EXPECT_EQ(m_block->get_frame_2d_segments(3, out.data()), 2u);
  EXPECT_EQ(out[0], 0x30);
  EXPECT_EQ(out[1], 0x31);
  // Row 3 is listed without segments; frame 9 does not exist.
  EXPECT_EQ(m_block->get_frame_2d_segments(9, out.data()), 0u);
  EXPECT_INTERNAL_ERROR(m_block->get_frame_2d_segments(6, out.data()),
                        "it != two_d_segs.end()");

  // Ranges past the core segment or reversed are refused before any copy.
  std::fill(out.begin(), out.end(), 0x5A);
  for (u32 word : {(6u << 16) | 12, (5u << 16) | 3}) {
    m_engine_log.segments = {0x0000FFFF, (0u << 16) | 1, word};
    EXPECT_INTERNAL_ERROR(m_block->get_frame_2d_segments(0, out.data()),
                          "start <= end && end <= core_size");
  }
  EXPECT_EQ(out[1], 0x5A);

  // A host sizes out by what the ranges hold. Advancing by a clipped range's
  // nominal length would put the next range past the end of this buffer.
  m_engine_log.segments = {0x0000FFFF, (6u << 16) | 12, (0u << 16) | 4};
  std::unique_ptr<u8[]> exact(new u8[6]);
  EXPECT_INTERNAL_ERROR(m_block->get_frame_2d_segments(0, exact.get()),
                        "start <= end && end <= core_size");
}

TEST_F(DblockTest, FrameTwoDSegmentsNeedFramesPerRow) {
  VOLD_INFO info;
  info.create_device_info(0, 1);
  auto block = make_block();
  int engine_storage = 0;
  block->set_2d_engine(fake_engine(engine_storage));
  u8 out[4] = {};
  EXPECT_INTERNAL_ERROR(block->get_frame_2d_segments(0, out), "arg_size > 0");
  block->get_block_config()->m_arg_list.push_back(
      info.add_arg(VOLD_BLOCK_CRAM, VOLD_ARGUMENT_BROW_FRAME_SIZE, 1, {0}));
  EXPECT_INTERNAL_ERROR(block->get_frame_2d_segments(0, out), "frames_per_row > 0");

  // Replacing the engine deletes the one held; a detached one is not deleted.
  int other_storage = 0;
  block->set_2d_engine(fake_engine(other_storage));
  EXPECT_EQ(m_engine_log.destroyed, 1);
  block->detach_2d_engine();
  block.reset();
  EXPECT_EQ(m_engine_log.destroyed, 1);
}

// ---- Dump ------------------------------------------------------------------------

TEST_F(DblockTest, DumpWritesEachFrameWithItsComment) {
  auto block = make_block(VOLD_FRAME_TK_ESRAM_BBUS, VOLD_BLOCK_ESRAM_BBUS);
  ASSERT_TRUE(block->insert_frame_at_end(
      frame_of({{VARNO_FRAME_SEGMENT_DATA, {0x01, 0x02, 0x03, 0x04}}}), 0));
  ASSERT_TRUE(block->insert_frame_at_end(new VARNO_FRAME(), 0));  // empty: skipped
  ASSERT_TRUE(
      block->insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_HEADER, {}}}), 0));  // empty too
  VARNO_FRAME* f = frame_of({{VARNO_FRAME_SEGMENT_DATA, {0xCC, 0xDD, 0x0E}}});
  f->add_instruction(frame_of({{VARNO_FRAME_SEGMENT_HEADER, {0xAA, 0xBB}}}), true);
  ASSERT_TRUE(block->insert_frame_at_end(f, 0));

  EXPECT_EQ(dump_text(*block, VARNO_OUTPUT_FORMAT_DAT),
            "0201\t// ESRAM_BBUS - Index 0 - 4 Bytes\n"
            "0403\n"
            "BBAA\t// ESRAM_BBUS - Index 3 - 5 Bytes\n"
            "DDCC\n"
            "0E\n");
  EXPECT_EQ(dump_text(*block, VARNO_OUTPUT_FORMAT_RAW), "");

  // A block type without a name leaves the name out.
  VARNO_DBLOCK unnamed(0, &m_gen);
  ASSERT_TRUE(unnamed.insert_frame_at_end(frame_of({{VARNO_FRAME_SEGMENT_DATA, {0x12, 0x34}}}), 0));
  EXPECT_EQ(dump_text(unnamed, VARNO_OUTPUT_FORMAT_DAT), "3412\t//  - Index 0 - 2 Bytes\n");
}

}  // namespace
