// The stand-alone block factory.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bytes.h"
#include "generator_fixture.h"
#include "varno_block_factory.h"
#include "varno_dblock.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "varno_test.h"

namespace {

TEST(BlockFactory, OneProcessWideFactoryUntilDestroyed) {
  VARNO_IBLOCK_FACTORY* f = varno_get_block_factory();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(varno_get_block_factory(), f);
  EXPECT_EQ(VARNO_BLOCK_FACTORY::get_instance(), f);

  // A factory of the host's own does not disturb the process-wide one.
  { VARNO_BLOCK_FACTORY own; }
  EXPECT_EQ(varno_get_block_factory(), f);

  delete f;
  VARNO_IBLOCK_FACTORY* next = varno_get_block_factory();
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(varno_get_block_factory(), next);
  std::unique_ptr<VARNO_IBLOCK> block(next->create_block(VOLD_BLOCK_OPTION_BITS, false, 1, false));
  EXPECT_EQ(block->get_block_size(), 4u);
}

TEST(BlockFactory, OptionBlocksAreIndependent) {
  VARNO_IBLOCK_FACTORY* f = varno_get_block_factory();
  std::unique_ptr<VARNO_IBLOCK> ones(f->create_block(VOLD_BLOCK_OPTION_BITS, true, 2, true));
  std::unique_ptr<VARNO_IBLOCK> zeros(f->create_block(VOLD_BLOCK_OPTION_BITS, false, 3, false));
  ASSERT_NE(ones, nullptr);
  ASSERT_NE(zeros, nullptr);
  EXPECT_NE(ones.get(), zeros.get());
  EXPECT_NE(dynamic_cast<VARNO_SBLOCK*>(ones.get()), nullptr);
  EXPECT_EQ(ones->block_type(), static_cast<u32>(VOLD_BLOCK_OPTION_BITS));
  EXPECT_EQ(ones->frame_type(), VOLD_FRAME_MAX);
  EXPECT_EQ(dynamic_cast<VARNO_SBLOCK*>(ones.get())->get_config_data_width(), 32u);
  // Two words of ones and a CRC word not yet computed; three words of zeros.
  EXPECT_EQ(block_bytes(*ones), (BYTES{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  zeros.reset();
  EXPECT_EQ(block_bytes(*ones), (BYTES{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
}

TEST(BlockFactory, DataBlockBelongsToTheGivenGenerator) {
  VARNO_IBLOCK_FACTORY* f = varno_get_block_factory();
  VARNO_GEN gen;
  std::unique_ptr<VARNO_IBLOCK> block(f->create_block(VOLD_BLOCK_CRAM, &gen));
  auto* dblock = dynamic_cast<VARNO_DBLOCK*>(block.get());
  ASSERT_NE(dblock, nullptr);
  EXPECT_EQ(dblock->generator(), &gen);
  EXPECT_EQ(block->block_type(), static_cast<u32>(VOLD_BLOCK_CRAM));
  // Nothing is built yet: the frames are not there to read.
  EXPECT_INTERNAL_ERROR(block->get_number_of_frames(), "Block CRAM read before do_all_blocks built it");
  EXPECT_NE(dblock->get_block_config(), nullptr);

  // The family entry's framing never reaches a stand-alone block: it has no
  // frame type, and building frames stops at the controlled error.
  EXPECT_EQ(block->frame_type(), VOLD_FRAME_MAX);
  EXPECT_INTERNAL_ERROR(block->process(false), "Unsupported Dynamic Block");
  EXPECT_INTERNAL_ERROR(dblock->init_frame_mgr(), "Unsupported Dynamic Block");

  EXPECT_INTERNAL_ERROR(f->create_block(VOLD_BLOCK_CRAM, nullptr), "parent != nullptr");
}

}  // namespace
