#include "varno_eram_frame_mgr.h"

#include <algorithm>
#include <vector>

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// Value 0 of a parameter; 0 when the block lacks it or it has no entries.
u32 param_or_zero(VARNO_BLOCK_CONFIG* config, VOLD_PARAMETER_TYPE type) {
  const VOLD_PARAM* p = config->get_param(type);
  if (p == nullptr || p->get_entries() == nullptr || p->get_size() == 0) return 0;
  return config->get_param_value(type, 0u);
}

// The one row of a frame-map argument, which must hold exactly width entries.
const u32* map_row(VARNO_BLOCK_CONFIG* config, VOLD_ARGUMENT_TYPE type, u32 width,
                   const char* check) {
  const VOLD_ARG* arg = config->get_arg(type);
  VARNO_ASSERT_MSG(arg != nullptr, "arg != NULL");
  unsigned arg_width = 0;
  const std::vector<u32*> uint_arg_list = VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  VARNO_ASSERT_MSG(arg_width == width && uint_arg_list.size() == 1, check);
  return uint_arg_list[0];
}

}  // namespace

VARNO_ERAM_FRAME_MGR::VARNO_ERAM_FRAME_MGR() = default;

u32 VARNO_ERAM_FRAME_MGR::config_word_bytes(VARNO_DBLOCK* block) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  const u32 width = block->get_config_data_width();
  VARNO_ASSERT_MSG(width != 0, "config_data_width != 0");
  const u32 bytes = (width + 7) / 8;
  // The header's length word sits at byte B and the trailer's CRC at byte 2
  // of a B-byte word: narrower words would overlap them or drop the CRC.
  VARNO_ASSERT_MSG(bytes >= 4, "config_width_bytes >= 4");
  return bytes;
}

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_ERAM_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  VARNO_ASSERT_MSG(config != nullptr, "config != NULL");
  // 1. Configuration width, and the bytes of a configuration word.
  const u32 config_data_width = block->get_config_data_width();
  VARNO_ASSERT(config_data_width > 0);
  const u32 config_width_bytes = config_word_bytes(block);

  // 2. Geometry: rows, and columns in whole ERAM blocks.
  m_rows = param_or_zero(config, VOLD_PARAMETER_ERAM_ROW_COUNT);
  VARNO_ASSERT(m_rows > 0);
  m_cols = param_or_zero(config, VOLD_PARAMETER_ERAM_COL_COUNT);
  VARNO_ASSERT(m_cols > 0 && (m_cols % ERAM_BLOCK_WIDTH == 0));
  const u32 num_blocks = m_cols / ERAM_BLOCK_WIDTH;
  VARNO_ASSERT(num_blocks > 0);

  // 3. The row rounded up to whole configuration words.
  const u64 words = (u64{m_cols} + config_data_width - 1) / config_data_width;
  m_core_size = static_cast<u32>(words * config_width_bytes);

  // 4. Frames: the rows less the spare rows, which must leave one and not wrap.
  const u32 spare_rows =
      VOLD_MANAGER::get_total_spare_rows(config->get_arg(VOLD_ARGUMENT_ERAM_SPARE_ROWS));
  VARNO_ASSERT(m_rows > spare_rows);
  m_total_frames = m_rows - spare_rows;

  // 5. The two frame maps, one row each: bitstream to IMG and IMG to bitstream.
  m_bs_frame_to_img_frame_map =
      map_row(config, VOLD_ARGUMENT_ERAM_BS_FRAME_TO_IMG_FRAME_MAP, m_total_frames,
              "arg_width == m_total_frames && uint_arg_list.size() == 1");
  VARNO_ASSERT_MSG(m_bs_frame_to_img_frame_map != nullptr, "m_bs_frame_to_img_frame_map != NULL");
  m_img_frame_to_bs_frame_map = map_row(config, VOLD_ARGUMENT_ERAM_IMG_FRAME_TO_BS_FRAME_MAP,
                                        m_rows, "arg_width == m_rows && uint_arg_list.size() == 1");
  VARNO_ASSERT_MSG(m_img_frame_to_bs_frame_map != nullptr, "m_img_frame_to_bs_frame_map != NULL");
  return true;
}

bool VARNO_ERAM_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // Every frame reads a whole image row, so the image must be there and
  // complete; the size is a bit count.
  if (m_rows == 0 || block->get_user_data(VARNO_BLOCK_DATA_ERAM) == nullptr) return false;
  return u64{m_rows} * m_cols == block->get_user_data_size(VARNO_BLOCK_DATA_ERAM);
}

// ---- Frame building -------------------------------------------------------------

u32 VARNO_ERAM_FRAME_MGR::last_frame_index() const {
  if (m_user_frame_count > 0 && m_user_frame_count < m_total_frames) return m_user_frame_count - 1;
  return m_total_frames - 1;
}

bool VARNO_ERAM_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // 1, 2. Without a complete user image nothing changes.
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (!verify_user_data(block, config)) return false;
  // 3. Only then the old frames go.
  block->clear_frames();

  // 4 to 6. Range: the user frame count, then the first- and last-frame overrides.
  u32 first = 0;
  u32 last = 0;
  frame_range(block, VOLD_BLOCK_ERAM, m_total_frames, first, last);
  // 7. The frames of the range.
  return create_partial_frames(block, config, first, last);
}

bool VARNO_ERAM_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                 u32 start, u32 end) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // 1. False past the last frame or without a complete user image.
  if (end >= m_total_frames) return false;
  // A partial build reads the image like a full one.
  if (!verify_user_data(block, config)) return false;

  // 2. Whether the last frame carries the closing instruction frames.
  const VARNO_MGR_PARAM& param = *mgr_param(block);
  const bool post_instructions = param.last_frame_enable != 0 && param.eram_last_frame_enable != 0;

  // 3. Each frame from its image row; the last with the closing instruction frames.
  for (u32 index = start; index <= end; ++index) {
    const u32 img_index = m_bs_frame_to_img_frame_map[index];
    VARNO_ASSERT_MSG(img_index < m_rows && m_img_frame_to_bs_frame_map[img_index] == index,
                     "img_index < m_rows && m_img_frame_to_bs_frame_map[img_index] == index");
    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, index, img_index);
    if (frame != nullptr) {
      if (index == end && post_instructions) {
        std::unique_ptr<VARNO_FRAME> lf_instr = create_custom_instruction(
            LAST_INSTRUCTION_ADDRESS, false, false, 0, true, LAST_INSTRUCTION_PADDING_WORDS, true);
        VARNO_ASSERT_MSG(lf_instr != nullptr, "lf_instr != NULL");
        std::unique_ptr<VARNO_FRAME> cd_instr =
            create_instruction(VOLD_INSTRUCTION_CONFIG_DONE, block);
        VARNO_ASSERT_MSG(cd_instr != nullptr, "cd_instr != NULL");
        frame->add_instruction(lf_instr.release(), false);
        frame->add_instruction(cd_instr.release(), false);
      }
      if (block->insert_frame_at_end(frame.get(), 0)) frame.release();
    }
    // end may be the largest index there is.
    if (index == end) break;
  }
  // 4. True, also for an empty range.
  return true;
}

std::unique_ptr<VARNO_FRAME> VARNO_ERAM_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                VARNO_BLOCK_CONFIG* config,
                                                                u32 index, u32 img_index) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // 1. The row is read straight from the image: it must be complete.
  const u8* user = block->get_user_data(VARNO_BLOCK_DATA_ERAM);
  if (user == nullptr || !verify_user_data(block, config)) return nullptr;
  VARNO_ASSERT(img_index < m_rows);

  // 2. Bytes of a configuration word; the core is whole words.
  const u32 config_width_bytes = config_word_bytes(block);
  VARNO_ASSERT(m_core_size % config_width_bytes == 0);

  // 3. Segments; header: instruction word by position, then the core in words.
  const VARNO_FRAME_DESCRIPTOR* descriptor = block->get_frame_descriptor();
  VARNO_ASSERT_MSG(descriptor != nullptr, "frame_descriptor != NULL");
  const u64 header_size = u64{config_width_bytes} * descriptor->word(1);
  VARNO_ASSERT_MSG(header_size <= 0xFFFFFFFFu, "header_size <= 0xFFFFFFFF");
  auto frame = std::make_unique<VARNO_FRAME>();
  frame->add_frame_segment(
      new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_HEADER, static_cast<u32>(header_size), true));
  auto* core = new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, m_core_size, true);
  frame->add_frame_segment(core);
  frame->add_frame_segment(
      new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TRAILER, config_width_bytes, true));

  u32 instruction = DEFAULT_FRAME_WORD;
  if (index == 0) {
    instruction = FIRST_FRAME_WORD;
  } else if (index == last_frame_index()) {
    instruction = LAST_FRAME_WORD;
  }
  frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_HEADER, instruction, 0);
  frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_HEADER, m_core_size / config_width_bytes,
                                config_width_bytes);

  // 4. ERAM block b lands at core byte 5b; the image holds rows × columns
  // bits in 32-bit bit offsets (its size is a u32 bit count).
  u8* frame_data = core->data();
  VARNO_ASSERT_MSG(frame_data != nullptr, "frame_data != NULL");
  const u32 row_start = img_index * m_cols;
  for (u32 b = 0; b < m_cols / ERAM_BLOCK_WIDTH; ++b) {
    VARNO_UTIL::bit_copy(user, row_start + b * ERAM_BLOCK_WIDTH, frame_data, b * ERAM_BLOCK_WIDTH,
                         ERAM_BLOCK_WIDTH, true);
  }

  // 5. Trailer: random filler and CRC-16.
  frame->write_word_to_segment(VARNO_FRAME_SEGMENT_TRAILER, m_random_filler, 0);
  write_crc(frame.get());
  return frame;
}

void VARNO_ERAM_FRAME_MGR::write_crc(VARNO_FRAME* frame) {
  VARNO_HEADER_WRITERS::write_trailer_crc16(frame, true);
}

// ---- Instruction frames --------------------------------------------------------

std::unique_ptr<VARNO_FRAME> VARNO_ERAM_FRAME_MGR::create_custom_instruction(
    u32 address, bool with_length, bool with_trailer, u32 core_words, bool core_zero, u32 pad_words,
    bool pad_zero) {
  const u32 config_width_bytes = config_word_bytes(m_parent);
  const u64 header_size = u64{config_width_bytes} * (with_length ? 2 : 1);
  const u64 core_size = u64{config_width_bytes} * core_words;
  const u64 pad_size = u64{config_width_bytes} * pad_words;
  const u64 length = u64{core_words} + pad_words;
  VARNO_ASSERT_MSG(core_size <= 0xFFFFFFFFu && pad_size <= 0xFFFFFFFFu && length <= 0xFFFFFFFFu,
                   "segment sizes fit in 32 bits");

  auto frame = std::make_unique<VARNO_FRAME>();
  frame->add_frame_segment(
      new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_HEADER, static_cast<u32>(header_size), true));
  if (core_words > 0) {
    auto* core =
        new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, static_cast<u32>(core_size), core_zero);
    frame->add_frame_segment(core);
    VARNO_ASSERT_MSG(core->data() != nullptr, "core_address != NULL");
  }
  if (with_trailer) {
    frame->add_frame_segment(
        new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TRAILER, config_width_bytes, true));
  }
  if (pad_words > 0) {
    auto* padding =
        new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_PADDING, static_cast<u32>(pad_size), pad_zero);
    frame->add_frame_segment(padding);
    VARNO_ASSERT_MSG(padding->data() != nullptr, "padd_address != NULL");
  }

  frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_HEADER, address, 0);
  if (with_length) {
    frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_HEADER, static_cast<u32>(length),
                                  config_width_bytes);
  }
  if (with_trailer) {
    frame->write_word_to_segment(VARNO_FRAME_SEGMENT_TRAILER, m_random_filler, 0);
    write_crc(frame.get());
  }
  return frame;
}

std::unique_ptr<VARNO_FRAME> VARNO_ERAM_FRAME_MGR::create_instruction(VOLD_INSTRUCTION_TYPE type,
                                                                      VARNO_DBLOCK* block) {
  const u32 config_width_bytes = config_word_bytes(block);
  const VOLD_INSTRUCTION* instruction = block->get_instruction(type);
  VARNO_ASSERT_MSG(instruction != nullptr, "instruction != NULL");
  // A negative count asks the manager to work it out, which this manager has
  // no rule for; as an unsigned count it would ask for gigabytes.
  VARNO_ASSERT_MSG(instruction->padding_words >= 0, "padding_words >= 0");
  return std::unique_ptr<VARNO_FRAME>(VARNO_UTIL::create_custom_instruction(
      instruction->instruction_word, config_width_bytes, instruction->with_length,
      instruction->core_words, instruction->core_zero, static_cast<u32>(instruction->padding_words),
      instruction->padding_zero, m_random_filler));
}
