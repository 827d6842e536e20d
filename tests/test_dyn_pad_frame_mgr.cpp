// The option-bit padding frame, on the small device of tests/data/early:
// "OPTION_BITS" is 40 bytes; the CRAM block (framed here by a stand-in that
// makes one frame of the CRAM user data's bytes) has a 100-word frame
// (CRAM_PARALLEL_FRAME_SIZE 96 + CRAM_RAW_PADDING 0 + descriptor words
// 1 + 3 + 4 = 1 + 1 + 2); the padding block rounds to A = 4 bytes (word 1)
// with CRAM_SIZE and ERAM_SIZE slots at address 0.
#include <string>
#include <utility>
#include <vector>

#include "early_device.h"
#include "varno_dyn_pad_frame_mgr.h"

namespace {

// The device with the padding block's manager under test.
struct PAD_DEVICE : EARLY_DEVICE<VARNO_DYN_OB_PAD_FRAME_MGR> {
  explicit PAD_DEVICE(const EDITS& family = {}, const EDITS& device = {})
      : EARLY_DEVICE(VOLD_FRAME_DYN_OB_PAD, "DYN_OB_PAD", family, device) {}
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
    EXPECT_EQ(tested()->get_number_of_frames(), 1u);
    return frame(0);
  }

  BYTES m_cram;
  BYTES m_eram;
};
using EDITS = PAD_DEVICE::EDITS;

const char* const kPadLine = "frame=DYN_OB_PAD w1=4 w4=0 w6=0";

}  // namespace

// ---- Sum of sizes -------------------------------------------------------------------

TEST(DynObPadSum, RoundsUpToTheAlignment) {
  PAD_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  ASSERT_TRUE(d.build(1002, 0));
  EXPECT_EQ(d.pad_frame(), BYTES(2, 0xFF));
  // The frame is a single data segment: no header, trailer or instructions.
  const VARNO_FRAME* frame = d.tested()->get_frame(0);
  ASSERT_EQ(frame->segments().size(), 1u);
  EXPECT_EQ(frame->segments()[0]->type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_TRUE(frame->pre_instructions().empty());
  EXPECT_TRUE(frame->post_instructions().empty());

  // CRAM 1002 + ERAM 5 = 1007: one byte to the next multiple of 4.
  ASSERT_TRUE(d.build(1002, 5));
  EXPECT_EQ(d.mgr()->pad_size(), 1u);
}

TEST(DynObPadSum, AlignedSumStillAddsAFullAlignment) {
  PAD_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=0 w6=3"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  ASSERT_TRUE(d.build(1000, 0));
  EXPECT_EQ(d.pad_frame(), BYTES(4 + 3, 0xFF));
}

TEST(DynObPadSum, NoAlignmentGivesWordSix) {
  PAD_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=0 w4=0 w6=9"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  ASSERT_TRUE(d.build(1001, 3));
  EXPECT_EQ(d.mgr()->pad_size(), 9u);
}

TEST(DynObPadSum, WithoutSizeSlotsNothingIsCounted) {
  PAD_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=0 w6=3"},
                     {"  instr CRAM_SIZE word=0\n  instr ERAM_SIZE word=0\n", ""}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  ASSERT_TRUE(d.build(1002, 1));
  EXPECT_EQ(d.mgr()->pad_size(), 7u);
}

TEST(DynObPadSum, SlotWithAnAddressAddsNothing) {
  PAD_DEVICE d(EDITS{{"instr CRAM_SIZE word=0", "instr CRAM_SIZE word=0x10"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  // Only the ERAM's 6 bytes count: 2 to the next multiple of 4.
  ASSERT_TRUE(d.build(1001, 6));
  EXPECT_EQ(d.mgr()->pad_size(), 2u);
}

TEST(DynObPadSum, BuildingTwiceGivesTheSameFrame) {
  PAD_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->potential_frames(), 1u);
  ASSERT_TRUE(d.build(1002, 0));
  ASSERT_TRUE(d.gen()->do_block("DYN_OB_PAD"));
  EXPECT_EQ(d.pad_frame(), BYTES(2, 0xFF));
}

// ---- Complement of a CRAM frame -------------------------------------------------------

TEST(DynObPadCram, FrameLessOneWordAndTheOptionBits) {
  PAD_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  ASSERT_TRUE(d.build(1002, 0));
  // 100 words × 4 bytes - 4 - 40.
  EXPECT_EQ(d.pad_frame(), BYTES(356, 0xFF));
}

TEST(DynObPadCram, RawPaddingIsOptional) {
  PAD_DEVICE d(
      EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"}},
      {{"param CRAM CRAM_RAW_PADDING 0", "param CRAM CRAM_RAW_PADDING 4"},
       {"param CRAM CRAM_PARALLEL_FRAME_SIZE 96", "param CRAM CRAM_PARALLEL_FRAME_SIZE 90"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  ASSERT_TRUE(d.build(0, 0));
  EXPECT_EQ(d.mgr()->pad_size(), 98u * 4 - 4 - 40);

  PAD_DEVICE e(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"}},
               {{"param CRAM CRAM_RAW_PADDING 0", ""}});
  ASSERT_EQ(e.load(), VARNO_PCF_OK);
  ASSERT_TRUE(e.build(0, 0));
  EXPECT_EQ(e.mgr()->pad_size(), 356u);
}

TEST(DynObPadCram, OptionBitsLargerThanTheFrameAreRefused) {
  // 100 words of option bits leave nothing to pad: the length would wrap to
  // some gigabytes of 0xFF.
  PAD_DEVICE d(
      EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"},
            {"block OPTION_BITS option words=10", "block OPTION_BITS option words=100"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_INTERNAL_ERROR(d.build(0, 0), "cram_frame_words * w >= w + ob_size");
  // Exactly one word left over is fine: a frame of no bytes.
  PAD_DEVICE e(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"},
                     {"block OPTION_BITS option words=10", "block OPTION_BITS option words=99"}});
  ASSERT_EQ(e.load(), VARNO_PCF_OK);
  ASSERT_TRUE(e.build(0, 0));
  EXPECT_EQ(e.pad_frame(), BYTES{});
}

TEST(DynObPadCram, NeedsTheCramAndOptionBlocks) {
  PAD_DEVICE d(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"},
                     {"block CRAM data frame=LEGACY_CRAM w1=1 w3=1 w4=2", ""}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_INTERNAL_ERROR(d.gen()->do_block("DYN_OB_PAD"), "cram_block != NULL");

  PAD_DEVICE e(EDITS{{kPadLine, "frame=DYN_OB_PAD w1=4 w4=1 w6=0"},
                     {"block OPTION_BITS option words=10", ""}});
  ASSERT_EQ(e.load(), VARNO_PCF_OK);
  EXPECT_INTERNAL_ERROR(e.gen()->do_block("DYN_OB_PAD"), "ob_block != NULL");
}

// ---- Operations that do not apply ---------------------------------------------------------

TEST(DynObPadOps, SingleFrameOperationsAreNotForThisBlock) {
  PAD_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  VARNO_DBLOCK* pad = d.tested();
  EXPECT_INTERNAL_ERROR(pad->set_random_filler(1), "Should not be called");
  EXPECT_INTERNAL_ERROR(pad->overwrite_frame_count(1), "Should not be called");
  EXPECT_INTERNAL_ERROR(pad->partial_process(0, 0), "Should not be called");
  EXPECT_EQ(frames_left(pad).size(), 0u);
}

TEST(DynObPadOps, InitChecksItsParent) {
  VARNO_DYN_OB_PAD_FRAME_MGR mgr;
  EXPECT_EQ(mgr.potential_frames(), 1u);
  EXPECT_INTERNAL_ERROR(mgr.create_frames(nullptr, nullptr), "block != NULL");
  expect_parent_checks(mgr);
}
