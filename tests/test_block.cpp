// Block interface and base block: the binding order of the interface and the
// default answer of every operation.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "varno_assert.h"
#include "varno_block.h"
#include "varno_test.h"
#include "vtable.h"

namespace {

// The smallest block: the base with the one operation it leaves open.
class PLAIN_BLOCK : public VARNO_BLOCK {
 public:
  explicit PLAIN_BLOCK(u32 type) : VARNO_BLOCK(type, nullptr) {}
  using VARNO_BLOCK::dump;
  void dump(std::ofstream&, VARNO_OUTPUT_FORMAT) override { ++m_dumps; }
  int m_dumps = 0;
};

// Allocates an image and then fails, as a derived constructor may.
class FAILING_BLOCK : public VARNO_BLOCK {
 public:
  FAILING_BLOCK() : VARNO_BLOCK(VOLD_BLOCK_CRAM, nullptr) {
    m_data = new u8[64];
    m_block_length = 64;
    VARNO_INTERNAL_ERROR("config_width > 0");
  }
  void dump(std::ofstream&, VARNO_OUTPUT_FORMAT) override {}
};

}  // namespace

// The host calls through the vtable: slots 0 and 1 are the destructors, then
// the 41 operations in their binding order.
TEST(BlockInterface, OperationOrderIsBinding) {
  using I = VARNO_IBLOCK;
  using S = const std::string&;
  EXPECT_EQ(slot_of(&I::write_dyn_value), 2);
  EXPECT_EQ(slot_of(&I::read_dyn_value), 3);
  EXPECT_EQ(slot_of(&I::get_dyn_value_size), 4);
  EXPECT_EQ(slot_of(&I::write_option_bits), 5);
  EXPECT_EQ(slot_of(&I::read_option_bits), 6);
  EXPECT_EQ(slot_of(&I::get_option_size), 7);
  EXPECT_EQ(slot_of(&I::set_option_shadow_mask), 8);
  EXPECT_EQ(slot_of(&I::get_option_info), 9);
  EXPECT_EQ(slot_of(&I::set_data), 10);
  EXPECT_EQ(slot_of(&I::set_programming_seq_vdata), 11);
  EXPECT_EQ(slot_of(&I::set_data_from_file), 12);
  EXPECT_EQ(slot_of(&I::set_custom_frame_sizes), 13);
  EXPECT_EQ(slot_of(&I::set_custom_interframe_delay), 14);
  EXPECT_EQ(slot_of(&I::get_number_of_frames), 15);
  EXPECT_EQ(slot_of(&I::get_number_of_potential_frames), 16);
  EXPECT_EQ(slot_of(&I::get_frame_size), 17);
  EXPECT_EQ(slot_of(&I::get_frame_data), 18);
  EXPECT_EQ(slot_of(&I::get_frame_data_ptr), 19);
  EXPECT_EQ(slot_of(&I::get_frame_single_byte), 20);
  EXPECT_EQ(slot_of(&I::update_frame_data), 21);
  EXPECT_EQ(slot_of(&I::set_repetition_mode), 22);
  EXPECT_EQ(slot_of(&I::get_block_size), 23);
  EXPECT_EQ(slot_of(&I::read_block_data), 24);
  EXPECT_EQ(slot_of(&I::frame_type), 25);
  EXPECT_EQ(slot_of(&I::block_type), 26);
  EXPECT_EQ(slot_of(static_cast<u32 (I::*)(S, u32)>(&I::get_param_value)), 27);
  EXPECT_EQ(slot_of(static_cast<u32 (I::*)(S, std::string)>(&I::get_param_value)), 28);
  EXPECT_EQ(slot_of(&I::get_param_size), 29);
  EXPECT_EQ(slot_of(&I::get_arg_value), 30);
  EXPECT_EQ(slot_of(&I::get_arg_size), 31);
  EXPECT_EQ(slot_of(&I::get_arg_width), 32);
  EXPECT_EQ(slot_of(&I::clean_up), 33);
  EXPECT_EQ(slot_of(&I::crc_update), 34);
  EXPECT_EQ(slot_of(&I::set_random_filler), 35);
  EXPECT_EQ(slot_of(static_cast<void (I::*)(std::ofstream&, VARNO_OUTPUT_FORMAT)>(&I::dump)), 36);
  EXPECT_EQ(slot_of(&I::process), 37);
  EXPECT_EQ(slot_of(&I::get_user_data_lfsr), 38);
  EXPECT_EQ(slot_of(&I::reset_process), 39);
  EXPECT_EQ(slot_of(&I::register_2d_engine), 40);
  EXPECT_EQ(slot_of(static_cast<void (I::*)(std::ofstream*, VARNO_OUTPUT_FORMAT)>(&I::dump)), 41);
  EXPECT_EQ(slot_of(&I::update_links), 42);
}

TEST(BaseBlock, EveryOperationAnswersItsDefault) {
  auto owned = std::make_unique<PLAIN_BLOCK>(VOLD_BLOCK_CRAM);
  VARNO_IBLOCK* block = owned.get();
  u8 buf[8] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};

  EXPECT_EQ(block->write_dyn_value("F", buf, 0, 8, buf), 0u);
  EXPECT_EQ(block->read_dyn_value("F", buf, 0, 8), 0u);
  EXPECT_EQ(block->get_dyn_value_size("F"), 0u);
  EXPECT_EQ(block->write_option_bits("O", "F", buf, 8, nullptr), 0u);
  EXPECT_EQ(block->read_option_bits("O", "F", buf, 8), 0u);
  EXPECT_EQ(block->get_option_size("O", "F"), 0u);
  block->set_option_shadow_mask("F", buf, 8);
  u32 index = 11, second = 22, size = 33;
  EXPECT_EQ(block->get_option_info("O", "F", index, second, size), 0u);
  EXPECT_EQ(index, 11u);  // out-values untouched
  EXPECT_EQ(second, 22u);
  EXPECT_EQ(size, 33u);

  block->set_data(VARNO_BLOCK_DATA_CRAM, buf, 64, nullptr);
  block->set_programming_seq_vdata(nullptr);
  block->set_data_from_file(VARNO_BLOCK_DATA_CSR, "/nonexistent");
  const u32 sizes[2] = {4, 8};
  block->set_custom_frame_sizes(sizes, 2);
  block->set_custom_interframe_delay(100);

  EXPECT_EQ(block->get_number_of_frames(), 0u);
  EXPECT_EQ(block->get_number_of_potential_frames(), 0u);
  EXPECT_EQ(block->get_frame_size(0), 0u);
  EXPECT_EQ(block->get_frame_data(0, buf), 0u);
  EXPECT_EQ(block->get_frame_data_ptr(0), nullptr);
  u8 single = 0x77;
  EXPECT_FALSE(block->get_frame_single_byte(0, 0, single));
  EXPECT_EQ(single, 0x77);
  EXPECT_FALSE(block->update_frame_data(0, 0, 1));

  EXPECT_EQ(block->get_block_size(), 0u);
  block->read_block_data(buf);
  EXPECT_EQ(block->frame_type(), 28u);  // one past the last frame type
  EXPECT_EQ(block->block_type(), 0u);   // only the kinds that keep a type report it

  EXPECT_EQ(block->get_param_value("CRAM_BIT_COUNT", 0u), 0u);
  EXPECT_EQ(block->get_param_value("CRAM_BIT_COUNT", std::string("X")), 0u);
  EXPECT_EQ(block->get_param_size("CRAM_BIT_COUNT"), 0u);
  EXPECT_EQ(block->get_arg_value("IMG_TO_RAW_MAP", 0, 0), 0u);
  EXPECT_EQ(block->get_arg_size("IMG_TO_RAW_MAP"), 0u);
  EXPECT_EQ(block->get_arg_width("IMG_TO_RAW_MAP"), 0u);

  block->clean_up();
  block->crc_update();
  EXPECT_FALSE(block->process(false));
  EXPECT_FALSE(block->process(true));
  EXPECT_EQ(block->get_user_data_lfsr(1, 2, 3, 4), 0u);
  block->reset_process();
  block->register_2d_engine();
  block->dump(static_cast<std::ofstream*>(nullptr), VARNO_OUTPUT_FORMAT_DAT);  // does nothing
  block->update_links();
  EXPECT_EQ(owned->m_dumps, 0);

  for (u8 b : buf) EXPECT_EQ(b, 0x5A);  // no default touched the caller's buffer
}

TEST(BaseBlock, StoredFields) {
  PLAIN_BLOCK block(VOLD_BLOCK_ERAM);
  EXPECT_EQ(block.generator(), nullptr);
  EXPECT_EQ(block.get_config_data_width(), 32u);  // no generator
  EXPECT_EQ(block.random_filler(), 0u);
  EXPECT_EQ(block.repetition_mode(), VARNO_BLOCK_REPETITION_NONE);
  EXPECT_FALSE(block.skip_processing());

  block.set_random_filler(0xBEEF);
  EXPECT_EQ(block.random_filler(), 0xBEEFu);
  block.set_repetition_mode(static_cast<VARNO_BLOCK_REPETITION>(3));
  EXPECT_EQ(static_cast<u32>(block.repetition_mode()), 3u);
  block.set_skip_processing();
  EXPECT_TRUE(block.skip_processing());
}

// A host may create a block of any type; only types inside the table name it.
TEST(BaseBlock, TypeNameNeverLeavesTheTable) {
  EXPECT_STREQ(PLAIN_BLOCK(VOLD_BLOCK_CRAM).block_type_name(), "CRAM");
  EXPECT_STREQ(PLAIN_BLOCK(VOLD_BLOCK_IO_AHB).block_type_name(), VOLD_BLOCK_TYPE_NAMES[101]);
  EXPECT_STREQ(PLAIN_BLOCK(0).block_type_name(), "");
  EXPECT_STREQ(PLAIN_BLOCK(VOLD_BLOCK_MAX).block_type_name(), "");
  EXPECT_STREQ(PLAIN_BLOCK(0xFFFFFFFFu).block_type_name(), "");
}

// The image is the base's: it is released even when a derived constructor
// fails after allocating it (LeakSanitizer checks).
TEST(BaseBlock, ImageReleasedWhenDerivedConstructorFails) {
  EXPECT_INTERNAL_ERROR(FAILING_BLOCK block, "config_width > 0");
}
