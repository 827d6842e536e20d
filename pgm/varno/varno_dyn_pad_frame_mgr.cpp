#include "varno_dyn_pad_frame_mgr.h"

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "vold.h"

namespace {

// Value 0 of a parameter; 0 when the block lacks it or it has no entries.
u32 param_or_zero(VARNO_BLOCK_CONFIG* config, VOLD_PARAMETER_TYPE type) {
  const VOLD_PARAM* p = config->get_param(type);
  if (p == nullptr || p->get_entries() == nullptr || p->get_size() == 0) return 0;
  return config->get_param_value(type, 0u);
}

const VARNO_FRAME_DESCRIPTOR& descriptor_of(VARNO_DBLOCK* block) {
  const VARNO_FRAME_DESCRIPTOR* descriptor = block->get_frame_descriptor();
  VARNO_ASSERT_MSG(descriptor != nullptr, "frame_descriptor != NULL");
  return *descriptor;
}

// Bytes of the generator's block of that type when the block's instruction
// of kind exists with address 0; 0 otherwise.
u64 counted_block_size(VARNO_DBLOCK* block, VOLD_INSTRUCTION_TYPE kind, const char* name) {
  const VOLD_INSTRUCTION* instruction = block->get_instruction(kind);
  if (instruction == nullptr || instruction->instruction_word != 0) return 0;
  VARNO_GEN* gen = block->generator();
  VARNO_IBLOCK* other = gen != nullptr ? gen->get_block(name, false) : nullptr;
  return other != nullptr ? other->get_block_size() : 0;
}

}  // namespace

VARNO_DYN_OB_PAD_FRAME_MGR::VARNO_DYN_OB_PAD_FRAME_MGR() = default;

bool VARNO_DYN_OB_PAD_FRAME_MGR::setup_data(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*) { return true; }

bool VARNO_DYN_OB_PAD_FRAME_MGR::create_partial_frames(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*, u32,
                                                       u32) {
  VARNO_INTERNAL_ERROR("Should not be called");
}

void VARNO_DYN_OB_PAD_FRAME_MGR::set_random_filler(u16) {
  VARNO_INTERNAL_ERROR("Should not be called");
}

void VARNO_DYN_OB_PAD_FRAME_MGR::set_user_frame_count(u32) {
  VARNO_INTERNAL_ERROR("Should not be called");
}

bool VARNO_DYN_OB_PAD_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  m_pad_size = 0;
  const VARNO_FRAME_DESCRIPTOR& descriptor = descriptor_of(block);
  u64 pad_size = 0;

  if (descriptor.word(4) == 0) {
    // Sum of sizes. The instruction slots are only markers here.
    const u64 sum = counted_block_size(block, VOLD_INSTRUCTION_CRAM_SIZE, "CRAM") +
                    counted_block_size(block, VOLD_INSTRUCTION_ERAM_SIZE, "ERAM");
    const u32 align = descriptor.word(1);
    if (align != 0) pad_size += align - sum % align;
    pad_size += descriptor.word(6);
  } else {
    // Complement of a CRAM frame.
    const u64 w = block->get_config_data_width() / 8;
    VARNO_GEN* gen = block->generator();
    VARNO_DBLOCK* cram_block =
        gen != nullptr ? dynamic_cast<VARNO_DBLOCK*>(gen->get_block("CRAM", false)) : nullptr;
    VARNO_ASSERT(cram_block != NULL);
    VARNO_SBLOCK* ob_block = dynamic_cast<VARNO_SBLOCK*>(gen->get_block("OPTION_BITS", false));
    VARNO_ASSERT(ob_block != NULL);
    VARNO_BLOCK_CONFIG* cram_config = cram_block->get_block_config();
    VARNO_ASSERT(cram_config != NULL);
    const VARNO_FRAME_DESCRIPTOR& cram_descriptor = descriptor_of(cram_block);
    const u64 frame_words =
        u64{param_or_zero(cram_config, VOLD_PARAMETER_CRAM_PARALLEL_FRAME_SIZE)} +
        param_or_zero(cram_config, VOLD_PARAMETER_CRAM_RAW_PADDING) + cram_descriptor.word(1) +
        cram_descriptor.word(3) + cram_descriptor.word(4);
    const u64 ob_size = ob_block->get_block_size();
    // A CRAM frame shorter than what it must make room for would wrap the
    // length to some gigabytes of padding.
    VARNO_ASSERT_MSG(frame_words * w >= w + ob_size, "cram_frame_words * w >= w + ob_size");
    pad_size = frame_words * w - w - ob_size;
  }
  VARNO_ASSERT_MSG(pad_size <= 0xFFFFFFFFu, "pad_size <= 0xFFFFFFFF");
  m_pad_size = static_cast<u32>(pad_size);
  return true;
}

bool VARNO_DYN_OB_PAD_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  block->clear_frames();
  verify_user_data(block, config);
  auto frame = std::make_unique<VARNO_FRAME>();
  // Zero fill off: every byte 0xFF.
  frame->add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, m_pad_size, false));
  if (block->insert_frame_at_end(frame.get(), 0)) frame.release();
  return true;
}
