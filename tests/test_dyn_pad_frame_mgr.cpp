// The option-bit padding frame, on the small device of tests/data/early:
// "OPTION_BITS" is 40 bytes; the CRAM block (framed here by a stand-in that
// makes one frame of the CRAM user data's bytes) has a 100-word frame
// (CRAM_PARALLEL_FRAME_SIZE 96 + CRAM_RAW_PADDING 0 + descriptor words
// 1 + 3 + 4 = 1 + 1 + 2); the padding block rounds to A = 4 bytes (word 1)
// with CRAM_SIZE and ERAM_SIZE slots at address 0.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "varno_dblock.h"
#include "varno_dyn_pad_frame_mgr.h"
#include "varno_frame.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_test.h"
#include "vold.h"

namespace {

const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/early";
using BYTES = std::vector<u8>;
using EDITS = std::vector<std::pair<std::string, std::string>>;

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Frames of the CRAM and ERAM blocks: one frame of the user data's bytes
// (CRAM or ERAM slot), so that the tests choose the blocks' sizes.
class SIZED_STUB : public VARNO_FRAME_MGR {
 public:
  explicit SIZED_STUB(VARNO_BLOCK_DATA_TYPE slot) : m_slot(slot) {}
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

class EARLY_DEVICE {
 public:
  explicit EARLY_DEVICE(const EDITS& family = {}, const EDITS& device = {}) {
    char name[] = "/tmp/varno_early_pad_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    m_dir = name;
    write("early_family.ddb", family);
    write("early_device.ddb", device);
    varno_set_frame_mgr_hook([](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
      if (type == VOLD_FRAME_DYN_OB_PAD) return new VARNO_DYN_OB_PAD_FRAME_MGR();
      return new SIZED_STUB(type == VOLD_FRAME_ERAM ? VARNO_BLOCK_DATA_ERAM
                                                    : VARNO_BLOCK_DATA_CRAM);
    });
  }
  ~EARLY_DEVICE() {
    m_gen.reset();
    varno_set_frame_mgr_hook({});
    std::filesystem::remove_all(m_dir);
  }

  u32 load() {
    m_gen.reset(varno_get_factory()->create_generator());
    m_gen->set_family_pcf(m_dir + "/early_family.ddb");
    m_gen->set_device_pcf(m_dir + "/early_device.ddb");
    return m_gen->process_pcfs(false, false, false, nullptr, 0);
  }
  VARNO_GEN* gen() { return dynamic_cast<VARNO_GEN*>(m_gen.get()); }
  VARNO_DBLOCK* block(const char* name) {
    return dynamic_cast<VARNO_DBLOCK*>(gen()->get_block(name, false));
  }
  VARNO_DYN_OB_PAD_FRAME_MGR* mgr() {
    return dynamic_cast<VARNO_DYN_OB_PAD_FRAME_MGR*>(block("DYN_OB_PAD")->get_frame_mgr());
  }
  // Gives the CRAM and ERAM blocks frames of these sizes, then builds the
  // padding block.
  bool build(u32 cram_bytes, u32 eram_bytes) {
    m_cram.assign(cram_bytes, 0);
    m_eram.assign(eram_bytes, 0);
    block("CRAM")->set_data(VARNO_BLOCK_DATA_CRAM, m_cram.data(), cram_bytes * 8, nullptr);
    block("ERAM")->set_data(VARNO_BLOCK_DATA_ERAM, m_eram.data(), eram_bytes * 8, nullptr);
    EXPECT_TRUE(gen()->do_block("CRAM"));
    EXPECT_TRUE(gen()->do_block("ERAM"));
    return gen()->do_block("DYN_OB_PAD");
  }
  BYTES pad_frame() {
    VARNO_DBLOCK* pad = block("DYN_OB_PAD");
    EXPECT_EQ(pad->get_number_of_frames(), 1u);
    BYTES out(pad->get_frame_size(0));
    if (!out.empty()) pad->get_frame_data(0, out.data());
    return out;
  }

 private:
  void write(const std::string& file, const EDITS& edits) {
    std::string text = read_text(kDir + "/" + file);
    for (const auto& [from, to] : edits) {
      const size_t at = text.find(from);
      EXPECT_NE(at, std::string::npos) << from;
      if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    std::ofstream(m_dir + "/" + file) << text;
  }

  std::string m_dir;
  std::unique_ptr<VARNO_IGEN> m_gen;
  BYTES m_cram;
  BYTES m_eram;
};

const char* const kPadLine = "frame=DYN_OB_PAD w1=4 w4=0 w6=0";

}  // namespace

// ---- Sum of sizes -------------------------------------------------------------------

TEST(DynObPadSum, RoundsUpToTheAlignment) {
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
  ASSERT_TRUE(d.build(1002, 0));
  EXPECT_EQ(d.pad_frame(), BYTES(2, 0xFF));
  // The frame is a single data segment: no header, trailer or instructions.
  const VARNO_FRAME* frame = d.block("DYN_OB_PAD")->get_frame(0);
  ASSERT_EQ(frame->segments().size(), 1u);
  EXPECT_EQ(frame->segments()[0]->type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_TRUE(frame->pre_instructions().empty());
  EXPECT_TRUE(frame->post_instructions().empty());

  // CRAM 1002 + ERAM 5 = 1007: one byte to the next multiple of 4.
  ASSERT_TRUE(d.build(1002, 5));
  EXPECT_EQ(d.mgr()->pad_size(), 1u);
}

TEST(DynObPadSum, AlignedSumStillAddsAFullAlignment) {
  EARLY_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=0 w6=3"}});
  ASSERT_EQ(d.load(), 0u);
  ASSERT_TRUE(d.build(1000, 0));
  EXPECT_EQ(d.pad_frame(), BYTES(4 + 3, 0xFF));
}

TEST(DynObPadSum, NoAlignmentGivesWordSix) {
  EARLY_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=0 w4=0 w6=9"}});
  ASSERT_EQ(d.load(), 0u);
  ASSERT_TRUE(d.build(1001, 3));
  EXPECT_EQ(d.mgr()->pad_size(), 9u);
}

TEST(DynObPadSum, WithoutSizeSlotsNothingIsCounted) {
  EARLY_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=0 w6=3"},
                       {"  instr CRAM_SIZE word=0\n  instr ERAM_SIZE word=0\n", ""}});
  ASSERT_EQ(d.load(), 0u);
  ASSERT_TRUE(d.build(1002, 1));
  EXPECT_EQ(d.mgr()->pad_size(), 7u);
}

TEST(DynObPadSum, SlotWithAnAddressAddsNothing) {
  EARLY_DEVICE d(EDITS{{"instr CRAM_SIZE word=0", "instr CRAM_SIZE word=0x10"}});
  ASSERT_EQ(d.load(), 0u);
  // Only the ERAM's 6 bytes count: 2 to the next multiple of 4.
  ASSERT_TRUE(d.build(1001, 6));
  EXPECT_EQ(d.mgr()->pad_size(), 2u);
}

TEST(DynObPadSum, BuildingTwiceGivesTheSameFrame) {
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
  EXPECT_EQ(d.mgr()->potential_frames(), 1u);
  ASSERT_TRUE(d.build(1002, 0));
  ASSERT_TRUE(d.gen()->do_block("DYN_OB_PAD"));
  EXPECT_EQ(d.pad_frame(), BYTES(2, 0xFF));
}

// ---- Complement of a CRAM frame -------------------------------------------------------

TEST(DynObPadCram, FrameLessOneWordAndTheOptionBits) {
  EARLY_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"}});
  ASSERT_EQ(d.load(), 0u);
  ASSERT_TRUE(d.build(1002, 0));
  // 100 words × 4 bytes - 4 - 40.
  EXPECT_EQ(d.pad_frame(), BYTES(356, 0xFF));
}

TEST(DynObPadCram, RawPaddingIsOptional) {
  EARLY_DEVICE d(
      EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"}},
      {{"param CRAM CRAM_RAW_PADDING 0", "param CRAM CRAM_RAW_PADDING 4"},
       {"param CRAM CRAM_PARALLEL_FRAME_SIZE 96", "param CRAM CRAM_PARALLEL_FRAME_SIZE 90"}});
  ASSERT_EQ(d.load(), 0u);
  ASSERT_TRUE(d.build(0, 0));
  EXPECT_EQ(d.mgr()->pad_size(), 98u * 4 - 4 - 40);

  EARLY_DEVICE e(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"}},
                 {{"param CRAM CRAM_RAW_PADDING 0", ""}});
  ASSERT_EQ(e.load(), 0u);
  ASSERT_TRUE(e.build(0, 0));
  EXPECT_EQ(e.mgr()->pad_size(), 356u);
}

TEST(DynObPadCram, OptionBitsLargerThanTheFrameAreRefused) {
  // 100 words of option bits leave nothing to pad: the length would wrap to
  // some gigabytes of 0xFF.
  EARLY_DEVICE d(
      EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"},
            {"block OPTION_BITS option words=10", "block OPTION_BITS option words=100"}});
  ASSERT_EQ(d.load(), 0u);
  EXPECT_INTERNAL_ERROR(d.build(0, 0), "cram_frame_words * w >= w + ob_size");
  // Exactly one word left over is fine: a frame of no bytes.
  EARLY_DEVICE e(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"},
                       {"block OPTION_BITS option words=10", "block OPTION_BITS option words=99"}});
  ASSERT_EQ(e.load(), 0u);
  ASSERT_TRUE(e.build(0, 0));
  EXPECT_EQ(e.pad_frame(), BYTES{});
}

TEST(DynObPadCram, NeedsTheCramAndOptionBlocks) {
  EARLY_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"},
                       {"block CRAM data frame=LEGACY_CRAM w1=1 w3=1 w4=2", ""}});
  ASSERT_EQ(d.load(), 0u);
  EXPECT_INTERNAL_ERROR(d.gen()->do_block("DYN_OB_PAD"), "cram_block != NULL");

  EARLY_DEVICE e(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"},
                       {"block OPTION_BITS option words=10", ""}});
  ASSERT_EQ(e.load(), 0u);
  EXPECT_INTERNAL_ERROR(e.gen()->do_block("DYN_OB_PAD"), "ob_block != NULL");
}

// ---- Operations that do not apply ---------------------------------------------------------

TEST(DynObPadOps, SingleFrameOperationsAreNotForThisBlock) {
  EARLY_DEVICE d;
  ASSERT_EQ(d.load(), 0u);
  VARNO_DBLOCK* pad = d.block("DYN_OB_PAD");
  EXPECT_INTERNAL_ERROR(pad->set_random_filler(1), "Should not be called");
  EXPECT_INTERNAL_ERROR(pad->overwrite_frame_count(1), "Should not be called");
  EXPECT_INTERNAL_ERROR(pad->partial_process(0, 0), "Should not be called");
  EXPECT_EQ(pad->get_number_of_frames(), 0u);
}

TEST(DynObPadOps, InitChecksItsParent) {
  VARNO_DYN_OB_PAD_FRAME_MGR mgr;
  EXPECT_EQ(mgr.potential_frames(), 1u);
  EXPECT_INTERNAL_ERROR(mgr.init(), "block != NULL");
  EXPECT_INTERNAL_ERROR(mgr.create_frames(nullptr, nullptr), "block != NULL");
}
