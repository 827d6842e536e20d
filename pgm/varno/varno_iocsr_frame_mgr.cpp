#include "varno_iocsr_frame_mgr.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// Every value of a parameter by offset (0 where the file gives none); empty
// when the block lacks the parameter.
std::vector<u32> param_values(VARNO_BLOCK_CONFIG* config, VOLD_PARAMETER_TYPE type) {
  std::vector<u32> values;
  const VOLD_PARAM* p = config->get_param(type);
  if (p == nullptr) return values;
  values.assign(p->get_size(), 0);
  if (p->get_entries() == nullptr) return values;
  for (const VOLD_PARAM_ENTRY* entry : *p->get_entries()) {
    if (entry != nullptr && entry->get_offset() < values.size()) {
      values[entry->get_offset()] = entry->get_value();
    }
  }
  return values;
}

u32 first_value_or_zero(VARNO_BLOCK_CONFIG* config, VOLD_PARAMETER_TYPE type) {
  const std::vector<u32> values = param_values(config, type);
  return values.empty() ? 0 : values[0];
}

const VARNO_FRAME_DESCRIPTOR& descriptor_of(VARNO_DBLOCK* block) {
  const VARNO_FRAME_DESCRIPTOR* descriptor = block->get_frame_descriptor();
  VARNO_ASSERT_MSG(descriptor != nullptr, "frame_descriptor != NULL");
  return *descriptor;
}

void set_bit(u8* buffer, u64 bit) {
  buffer[bit / 8] = static_cast<u8>(buffer[bit / 8] | (1u << (bit % 8)));
}

// One bit from src to dest, least significant bit first (as bit_copy); a
// row interleaves its chains bit by bit, so a call of the general copy per
// bit would cost most of a build.
void copy_bit(const u8* src, u64 src_bit, u8* dest, u64 dest_bit) {
  const unsigned mask = 1u << (dest_bit % 8);
  const unsigned bit = (src[src_bit / 8] >> (src_bit % 8)) & 1u;
  u8& byte = dest[dest_bit / 8];
  byte = static_cast<u8>(bit != 0 ? (byte | mask) : (byte & ~mask));
}

}  // namespace

VARNO_IOCSR_FRAME_MGR::VARNO_IOCSR_FRAME_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_IOCSR_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  VARNO_ASSERT_MSG(config != nullptr, "config != NULL");

  // 1. Configuration width. The rows-per-frame word sits at header byte W and
  // the CRC at trailer byte 2: a word narrower than 4 bytes cannot hold them.
  const u32 config_data_width = block->get_config_data_width();
  VARNO_ASSERT(config_data_width > 0);
  VARNO_ASSERT_MSG((config_data_width + 7) / 8 >= 4, "config_width_bytes >= 4");

  // 2. Chain counts: n IOCSR chains, and m MCU chains (none, or one per bit).
  const std::vector<u32> mcu_cff = param_values(config, VOLD_PARAMETER_MCU_CFF);
  const std::vector<u32> iocsr_cff = param_values(config, VOLD_PARAMETER_IOCSR_CFF);
  const u64 pcf_mcu_segments = mcu_cff.size();
  const u64 pcf_iocsr_segments = iocsr_cff.size();
  VARNO_ASSERT(pcf_mcu_segments == 0 || pcf_mcu_segments == CONTROL_BLOCK_DATA_WIDTH_32);
  VARNO_ASSERT(pcf_iocsr_segments > 0 && (pcf_iocsr_segments % 8) == 0);
  VARNO_ASSERT((config_data_width % pcf_iocsr_segments) == 0 &&
               pcf_iocsr_segments <= config_data_width);
  VARNO_ASSERT(pcf_mcu_segments == 0 || pcf_mcu_segments == pcf_iocsr_segments);
  // MCU rows give every configuration bit its own MCU chain.
  VARNO_ASSERT(pcf_mcu_segments == 0 || pcf_mcu_segments == config_data_width);
  const u32 m = static_cast<u32>(pcf_mcu_segments);
  const u32 n = static_cast<u32>(pcf_iocsr_segments);
  m_mcu_chain_count = m;
  m_iocsr_chain_count = n;

  // 3. Positions per row: K of each IOCSR chain.
  m_positions_per_row = config_data_width / n;
  const u32 k_positions = m_positions_per_row;

  // 4. Chain tables, which a second set-up must not find filled.
  VARNO_ASSERT_MSG(!m_mcu_segments, "m_mcu_segments == NULL");
  m_mcu_segments = std::make_unique<u32[]>(m);
  VARNO_ASSERT_MSG(!m_iocsr_segments, "m_iocsr_segments == NULL");
  m_iocsr_segments = std::make_unique<u32[]>(n);
  VARNO_ASSERT_MSG(!m_mcu_offsets, "m_mcu_offsets == NULL");
  m_mcu_offsets = std::make_unique<u32[]>(m);
  VARNO_ASSERT_MSG(!m_iocsr_offsets, "m_iocsr_offsets == NULL");
  m_iocsr_offsets = std::make_unique<u32[]>(n);
  VARNO_ASSERT_MSG(!m_iocsr_seg_order, "m_iocsr_seg_order == NULL");
  m_iocsr_seg_order = std::make_unique<u32[]>(n);
  m_pcf_iocsr_size = 0;
  m_pcf_mcu_size = 0;

  // 5. MCU chain lengths and sequence order. The sequence positions must name
  // every chain once: they index the order tables.
  const std::vector<u32> mcu_seq = param_values(config, VOLD_PARAMETER_MCU_CFF_SEQ);
  std::vector<u32> mcu_order(m, 0);
  std::vector<bool> mcu_seq_used(m, false);
  u64 mcu_size = 0;
  for (u32 i = 0; i < m; ++i) {
    const u32 length = mcu_cff[i];
    mcu_size += length;
    m_mcu_segments[i] = length;
    m_max_mcu_length = std::max(m_max_mcu_length, length);
    u32 mcu_seq_pos = i;
    if (!mcu_seq.empty()) mcu_seq_pos = i < mcu_seq.size() ? mcu_seq[i] : VARNO_INVALID_DWORD;
    VARNO_ASSERT(mcu_seq_pos < pcf_mcu_segments && !mcu_seq_used[mcu_seq_pos]);
    mcu_seq_used[mcu_seq_pos] = true;
    mcu_order[mcu_seq_pos] = i;
  }
  VARNO_ASSERT_MSG(mcu_size <= 0xFFFFFFFFu, "pcf_mcu_size <= 0xFFFFFFFF");
  m_pcf_mcu_size = static_cast<u32>(mcu_size);

  // 6. IOCSR chain lengths and sequence order, checked alike.
  const std::vector<u32> iocsr_seq = param_values(config, VOLD_PARAMETER_IOCSR_CFF_SEQ);
  std::vector<bool> iocsr_seq_used(n, false);
  u64 iocsr_size = 0;
  for (u32 j = 0; j < n; ++j) {
    const u32 length = iocsr_cff[j];
    iocsr_size += length;
    m_iocsr_segments[j] = length;
    m_max_iocsr_length = std::max(m_max_iocsr_length, length);
    u32 iocsr_seq_pos = j;
    if (!iocsr_seq.empty())
      iocsr_seq_pos = j < iocsr_seq.size() ? iocsr_seq[j] : VARNO_INVALID_DWORD;
    VARNO_ASSERT(iocsr_seq_pos < pcf_iocsr_segments && !iocsr_seq_used[iocsr_seq_pos]);
    iocsr_seq_used[iocsr_seq_pos] = true;
    m_iocsr_seg_order[iocsr_seq_pos] = j;
  }
  VARNO_ASSERT_MSG(iocsr_size <= 0xFFFFFFFFu, "pcf_iocsr_size <= 0xFFFFFFFF");
  m_pcf_iocsr_size = static_cast<u32>(iocsr_size);

  // 7. Rows per frame: descriptor word 2, else derived from the CRAM block, in
  // 64 bits, as it may come out at 0 or below, which would divide by zero or wrap.
  const VARNO_FRAME_DESCRIPTOR& descriptor = descriptor_of(block);
  i64 rows_per_frame = descriptor.word(2);
  if (rows_per_frame == 0) {
    VARNO_GEN* gen = block->generator();
    VARNO_DBLOCK* cram_block =
        gen != nullptr ? dynamic_cast<VARNO_DBLOCK*>(gen->get_block("CRAM", false)) : nullptr;
    VARNO_ASSERT(cram_block != NULL);
    VARNO_BLOCK_CONFIG* cram_config = cram_block->get_block_config();
    VARNO_ASSERT(cram_config != NULL);
    const VARNO_FRAME_DESCRIPTOR& cram_descriptor = descriptor_of(cram_block);
    rows_per_frame =
        i64{first_value_or_zero(cram_config, VOLD_PARAMETER_CRAM_PARALLEL_FRAME_SIZE)} +
        first_value_or_zero(cram_config, VOLD_PARAMETER_CRAM_RAW_PADDING) +
        cram_descriptor.word(1) + cram_descriptor.word(3) + cram_descriptor.word(4) -
        descriptor.word(1) - descriptor.word(3) - descriptor.word(4);
  }
  VARNO_ASSERT_MSG(rows_per_frame > 0 && rows_per_frame <= 0xFFFFFFFF,
                   "rows_per_frame > 0 && rows_per_frame <= 0xFFFFFFFF");
  m_rows_per_frame = static_cast<u32>(rows_per_frame);
  const u64 core_size = u64{m_rows_per_frame} * ((config_data_width + 7) / 8);
  VARNO_ASSERT_MSG(core_size <= 0xFFFFFFFFu, "core_size <= 0xFFFFFFFF");

  // 8. Padding: the chain positions up to whole rows, plus any leading rows.
  const u64 chain_positions = u64{m_max_mcu_length} + m_max_iocsr_length;
  u64 padding =
      chain_positions % k_positions == 0 ? 0 : k_positions - chain_positions % k_positions;
  const std::vector<u32> leading = param_values(config, VOLD_PARAMETER_IOCSR_LEADING_PADDING_COUNT);
  if (!leading.empty()) padding += u64{leading[0]} * k_positions;
  // Every chain and the padded image are addressed in 32-bit bit offsets.
  VARNO_ASSERT_MSG(
      u64{m_max_iocsr_length} + padding <= 0xFFFFFFFFu && iocsr_size + padding * n <= 0xFFFFFFFFu,
      "padded_iocsr_bits <= 0xFFFFFFFF");
  m_padding = static_cast<u32>(padding);

  // 9. Every IOCSR chain is lengthened by the padding.
  if (m_padding != 0) {
    for (u32 j = 0; j < n; ++j) m_iocsr_segments[j] += m_padding;
    m_max_iocsr_length += m_padding;
  }

  // 10. Frame count. The maximum here already holds the padding, so the
  // padding counts twice.
  const u64 positions =
      u64{descriptor.word(6)} / n + m_max_mcu_length + m_max_iocsr_length + m_padding;
  const u64 per_frame = u64{m_rows_per_frame} * k_positions;
  const u64 frame_count = (positions + per_frame - 1) / per_frame;
  VARNO_ASSERT_MSG(frame_count <= 0xFFFFFFFFu, "frame_count <= 0xFFFFFFFF");
  m_frame_count = static_cast<u32>(frame_count);

  // 11. Chain offsets: each chain starts where the one before it in sequence ends.
  u32 offset = 0;
  for (u32 p = 0; p < m; ++p) {
    m_mcu_offsets[mcu_order[p]] = offset;
    offset += m_mcu_segments[mcu_order[p]];
  }
  offset = 0;
  for (u32 p = 0; p < n; ++p) {
    m_iocsr_offsets[m_iocsr_seg_order[p]] = offset;
    offset += m_iocsr_segments[m_iocsr_seg_order[p]];
  }
  return true;
}

bool VARNO_IOCSR_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // 1. The user data sizes must match the chains; the old padded image goes.
  const u64 user_iocsr_size = block->get_user_data_size(VARNO_BLOCK_DATA_CSR);
  const u64 user_mcu_size = block->get_user_data_size(VARNO_BLOCK_DATA_MCU);
  VARNO_ASSERT(user_iocsr_size == m_pcf_iocsr_size);
  VARNO_ASSERT(user_mcu_size == m_pcf_mcu_size);
  // MCU rows read the buffer for every bit its size promises.
  const u8* mcu_user_data = block->get_user_data(VARNO_BLOCK_DATA_MCU);
  VARNO_ASSERT(user_mcu_size == 0 || mcu_user_data != NULL);
  m_padded_iocsr.reset();
  m_padded_iocsr_bits = 0;

  // 2. There must be IOCSR data.
  const u8* cff_user_data = block->get_user_data(VARNO_BLOCK_DATA_CSR);
  VARNO_ASSERT(user_iocsr_size > 0 && cff_user_data != NULL);

  // 3. Without padding the image is a copy of the IOCSR data.
  if (m_padding == 0) {
    const u64 bytes = (user_iocsr_size + 7) / 8;
    auto image = std::make_unique<u8[]>(bytes);
    std::memcpy(image.get(), cff_user_data, bytes);
    m_padded_iocsr = std::move(image);
    m_padded_iocsr_bits = user_iocsr_size;
    return true;
  }

  // 4. Else each chain behind zero padding; set-up checked that the sizes fit 32 bits.
  const u64 extra_bits = u64{m_iocsr_chain_count} * m_padding;
  const u64 bits = user_iocsr_size + extra_bits;
  auto image = std::make_unique<u8[]>((bits + 7) / 8);  // zero-filled
  u64 src_index = 0;
  u64 dest_index = 0;
  for (u32 p = 0; p < m_iocsr_chain_count; ++p) {
    const u32 chain = m_iocsr_seg_order[p];
    const u32 length = m_iocsr_segments[chain] - m_padding;
    dest_index += m_padding;
    VARNO_UTIL::bit_copy(cff_user_data, static_cast<u32>(src_index), image.get(),
                         static_cast<u32>(dest_index), length, true);
    src_index += length;
    dest_index += length;
  }
  VARNO_ASSERT(src_index == user_iocsr_size);
  VARNO_ASSERT(dest_index == (user_iocsr_size + extra_bits));
  m_padded_iocsr = std::move(image);
  m_padded_iocsr_bits = bits;
  return true;
}

// ---- Frame building -------------------------------------------------------------

bool VARNO_IOCSR_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // 1. Verification comes before the clearing.
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (!verify_user_data(block, config)) return false;
  block->clear_frames();
  // 2. Last frame by the user frame count; no manager-parameter overrides apply.
  const u32 last = (m_user_frame_count > 0 && m_user_frame_count < m_frame_count)
                       ? m_user_frame_count - 1
                       : m_frame_count - 1;
  // 3. Frames 0 to last.
  return create_partial_frames(block, config, 0, last);
}

bool VARNO_IOCSR_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                  u32 first, u32 last) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (last >= m_frame_count) return false;
  if (last < first) return true;
  // Frames are cut from the image the last verify built and from MCU data of
  // the verified size; without them nothing can be framed.
  bool mcu_ok = true;
  current_mcu_data(block, mcu_ok);
  if (m_padded_iocsr == nullptr || !mcu_ok) return false;
  for (u32 index = first; index <= last; ++index) {
    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, index);
    if (frame != nullptr && block->insert_frame_at_end(frame.get(), 0)) frame.release();
    if (index == last) break;
  }
  return true;
}

const u8* VARNO_IOCSR_FRAME_MGR::current_mcu_data(VARNO_DBLOCK* block, bool& ok) const {
  const u8* mcu = block->get_user_data(VARNO_BLOCK_DATA_MCU);
  ok = block->get_user_data_size(VARNO_BLOCK_DATA_MCU) == m_pcf_mcu_size &&
       (m_pcf_mcu_size == 0 || mcu != nullptr);
  return mcu;
}

std::unique_ptr<VARNO_FRAME> VARNO_IOCSR_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                 VARNO_BLOCK_CONFIG*, u32 index) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // 1. No frame without verified user data.
  bool mcu_ok = true;
  const u8* mcu = current_mcu_data(block, mcu_ok);
  if (m_padded_iocsr == nullptr || !mcu_ok) return nullptr;
  VARNO_ASSERT(index < m_frame_count);

  // 2. Bytes of a configuration word.
  const u32 config_data_width = block->get_config_data_width();
  VARNO_ASSERT(config_data_width != 0);
  const u32 word_bytes = (config_data_width + 7) / 8;

  // 3. Segments: header with the rows per frame (and the last frame's instruction).
  const VARNO_FRAME_DESCRIPTOR& descriptor = descriptor_of(block);
  const u64 header_size = u64{descriptor.word(1)} * word_bytes;
  const u64 core_size = u64{m_rows_per_frame} * word_bytes;
  VARNO_ASSERT_MSG(header_size <= 0xFFFFFFFFu && core_size <= 0xFFFFFFFFu,
                   "segment sizes fit in 32 bits");
  auto frame = std::make_unique<VARNO_FRAME>();
  frame->add_frame_segment(
      new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_HEADER, static_cast<u32>(header_size), true));
  auto* core = new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, static_cast<u32>(core_size), true);
  frame->add_frame_segment(core);
  frame->add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TRAILER, word_bytes, true));
  frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_HEADER, m_rows_per_frame, word_bytes);
  if (index == m_frame_count - 1) {
    const VOLD_INSTRUCTION* instruction = block->get_instruction(VOLD_INSTRUCTION_WRITE_LAST_FRAME);
    VARNO_ASSERT(instruction != NULL);
    frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_HEADER, instruction->instruction_word, 0);
  }

  // 4. The core must hold at least one row.
  VARNO_ASSERT(core_size > 0);
  u8* frame_data = core->data();
  VARNO_ASSERT(frame_data != NULL);

  // 5. The rows: MCU, then IOCSR, then empty ones (0xFF by descriptor byte 29).
  const bool ones = descriptor.byte(29) != 0;
  for (u32 q = 0; q < m_rows_per_frame; ++q) {
    fill_row(mcu, u64{index} * m_rows_per_frame + q, frame_data, u64{q} * word_bytes,
             config_data_width, ones);
  }

  // 6. The leading padding positions are set by fill_row, in whichever frame
  // they fall; the lead must still be whole bytes.
  if (index == 0 && m_padding != 0) {
    const u64 totol_lead_padding_bits = u64{m_iocsr_chain_count} * m_padding;
    VARNO_ASSERT((totol_lead_padding_bits % 8) == 0);
  }

  // 7. Trailer: random filler and CRC-16 (over the header by descriptor byte 28).
  frame->write_word_to_segment(VARNO_FRAME_SEGMENT_TRAILER, m_random_filler, 0);
  write_crc(frame.get(), descriptor.byte(28) != 0);
  return frame;
}

void VARNO_IOCSR_FRAME_MGR::fill_row(const u8* mcu, u64 row, u8* core, u64 offset, u32 cdw,
                                     bool ones) const {
  const u32 word_bytes = (cdw + 7) / 8;
  const u64 pos = row * m_positions_per_row;
  const u64 end = u64{m_max_mcu_length} + m_max_iocsr_length;
  u8* row_data = core + offset;

  if (pos >= end) {
    if (ones) std::memset(row_data, 0xFF, word_bytes);
    return;
  }

  if (pos < m_max_mcu_length) {
    // One MCU chain per configuration bit (set-up made the chain count the
    // width); chains start together, a shorter one ends early.
    for (u32 c = 0; c < cdw; ++c) {
      if (m_mcu_segments[c] <= pos) continue;
      copy_bit(mcu, static_cast<u32>(m_mcu_offsets[c] + pos), row_data, c);
    }
    return;
  }

  const u64 d = pos - m_max_mcu_length;
  const u32 n = m_iocsr_chain_count;
  for (u32 b = 0; b < cdw; ++b) {
    const u32 chain = b % n;
    const u64 k = b / n;
    const u64 length = m_iocsr_segments[chain];
    if (d + k < m_padding) {
      // Leading padding: ones across every chain.
      set_bit(row_data, b);
      continue;
    }
    // Chains end together at the last position.
    if (d + k < m_max_iocsr_length - length) continue;
    const u64 src = m_iocsr_offsets[chain] + length - m_max_iocsr_length + d + k;
    VARNO_ASSERT(src < m_padded_iocsr_bits);
    copy_bit(m_padded_iocsr.get(), static_cast<u32>(src), row_data, b);
  }
}

void VARNO_IOCSR_FRAME_MGR::write_crc(VARNO_FRAME* frame, bool with_header) {
  VARNO_HEADER_WRITERS::write_trailer_crc16(frame, with_header);
}
