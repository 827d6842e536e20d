#include "varno_legacy_cram_frame_mgr.h"

#include <cstring>

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_util.h"

namespace {

// IMG bits that belong to the ED-CRC have no place in the core.
constexpr u32 IMG_TO_RAW_SKIP_CONV_EDCRC = 0xFFFFFFFE;

// MSB-first ED-CRC register.
constexpr u32 EDCRC_POLY = 0xF4ACFB13;
constexpr u32 EDCRC_INIT = 1;

constexpr u8 NO_LUTRAM = 0xFF;

bool test_bit(const u8* buf, u64 bit) { return ((buf[bit / 8] >> (bit % 8)) & 1u) != 0; }
void set_bit(u8* buf, u64 bit) { buf[bit / 8] = static_cast<u8>(buf[bit / 8] | (1u << (bit % 8))); }
void clear_bit(u8* buf, u64 bit) {
  buf[bit / 8] = static_cast<u8>(buf[bit / 8] & ~(1u << (bit % 8)));
}

}  // namespace

VARNO_LEGACY_CRAM_FRAME_MGR::VARNO_LEGACY_CRAM_FRAME_MGR() = default;

// ---- Helpers ------------------------------------------------------------------------

const u8* VARNO_LEGACY_CRAM_FRAME_MGR::user_img_data(u32 i) const {
  if (m_user_img_data == nullptr || i >= m_memory_user_img_data_count) return nullptr;
  return m_user_img_data[i].get();
}

bool VARNO_LEGACY_CRAM_FRAME_MGR::is_mram_frame(u32 img) const {
  // Without an MRAM mask no frame is a memory frame.
  return m_member.mram_info != nullptr && test_bit(m_member.mram_info, img);
}

S4_SII_BIT_LIST* VARNO_LEGACY_CRAM_FRAME_MGR::s2_list_of(u32 img) const {
  // The block's SECTOR_S4_FS list decides which frames are S4 frames; the
  // device's S4 records only give their cells. A frame outside that list, or
  // without a record, is a plain frame.
  if (m_member.sector_s4_fs == nullptr || img >= m_member.sector_s4_fs_count) return nullptr;
  S4_SII_LIST* list = m_member.s4_sii_list;
  if (list == nullptr || img >= m_member.s4_sii_count || img >= list->size()) return nullptr;
  S4_SII* record = (*list)[img];
  if (record == nullptr) return nullptr;
  S4_SII_DRA_LIST* s2_bits_list = record->get_data_list();
  VARNO_ASSERT_MSG(s2_bits_list != nullptr, "s2_bits_list != NULL");
  // An exception of the container would escape to the host: refuse the empty
  // record as an internal error instead.
  VARNO_ASSERT_MSG(!s2_bits_list->empty(), "!s2_bits_list->empty()");
  S4_SII_BIT_LIST* s2_bit_list = (*s2_bits_list)[0];
  VARNO_ASSERT_MSG(s2_bit_list != nullptr, "s2_bit_list != NULL");
  return s2_bit_list;
}

// ---- Set-up ---------------------------------------------------------------------------

bool VARNO_LEGACY_CRAM_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  VARNO_ASSERT_MSG(config != nullptr, "config != NULL");

  // 1. Description.
  VOLD_DEVICE_INFO* device_pcf = cram_device_of(block);
  setup_cram_member(m_member, device_pcf, block, config);

  // 2. A legacy block: S4 maps and S4 register information, a register array,
  // LUTRAM and ED-CRC geometry, and no phantomless records.
  VARNO_ASSERT_MSG(m_member.algo == VARNO_CRAM_LEGACY_FLOW,
                   "m_member.algo == VARNO_CRAM_LEGACY_FLOW");
  VARNO_ASSERT_MSG(m_member.img_to_raw_map != nullptr, "m_member.img_to_raw_map != NULL");
  VARNO_ASSERT_MSG(
      m_member.s4_img_to_raw_map != nullptr && m_member.image_s4_frame_bits != VARNO_INVALID_DWORD,
      "m_member.s4_img_to_raw_map != NULL && m_member.image_s4_frame_bits != "
      "VARNO_INVALID_DWORD");
  VARNO_ASSERT(m_member.dras_count != VARNO_INVALID_DWORD);
  VARNO_ASSERT_MSG(m_member.dras != nullptr, "m_member.dras != NULL");
  VARNO_ASSERT_MSG(m_member.dras_order == nullptr, "m_member.dras_order == NULL");
  VARNO_ASSERT(m_member.dra_bits == VARNO_INVALID_DWORD);
  VARNO_ASSERT_MSG(m_member.dra_bit_info == nullptr, "m_member.dra_bit_info == NULL");
  VARNO_ASSERT_MSG(m_member.dra_s4_info != nullptr, "m_member.dra_s4_info != NULL");
  VARNO_ASSERT(m_member.lutram_datalines_count == VARNO_INVALID_DWORD);
  VARNO_ASSERT_MSG(m_member.lutram_datalines == nullptr, "m_member.lutram_datalines == NULL");
  VARNO_ASSERT(m_member.addrlines_per_row == VARNO_INVALID_DWORD);
  VARNO_ASSERT_MSG(m_member.lutram_remap_addrlines == nullptr,
                   "m_member.lutram_remap_addrlines == NULL");
  VARNO_ASSERT_MSG(m_member.img_to_edcrc_map == nullptr, "m_member.img_to_edcrc_map == NULL");
  VARNO_ASSERT_MSG(m_member.edcrc_to_img_map == nullptr, "m_member.edcrc_to_img_map == NULL");
  VARNO_ASSERT(m_member.phantomless_map.size() == 0);
  VARNO_ASSERT(m_member.img_include_edcrc_bits != VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.parallel_frame_size != VARNO_INVALID_DWORD);
  VARNO_ASSERT_MSG(m_member.lutram_info != nullptr, "m_member.lutram_info != NULL");
  VARNO_ASSERT(m_member.lutram_block_count != VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.lutram_block_bits != VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.lutram_block_bits_offset != VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.lutram_row_size != VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.rscnt26_bit_col_offset != VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.rscnt26_bit_row_offset != VARNO_INVALID_DWORD);

  // 3. LUTRAM lists; a column index must fit the byte of LUTRAM_INFO.
  m_lutram_simplified_col = device_pcf->lutram_simplified_col;
  m_lutram_simplified_row = device_pcf->lutram_simplified_row;
  VARNO_ASSERT(m_lutram_simplified_col.size() < 255);

  // 4. Instruction words, and the bytes of an IMG frame.
  setup_instruction(m_member, block);
  m_img_frame_bytes = static_cast<u32>((u64{m_member.image_frame_bits} + 7) / 8);
  return true;
}

bool VARNO_LEGACY_CRAM_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block,
                                                   VARNO_BLOCK_CONFIG* config) {
  // 1. The image. Only a 32-bit word gives the trailer room for the filler
  // and the CRC-16.
  verify_cram_user_data(m_member, block, config);
  VARNO_ASSERT(m_member.config_data_width == 32);

  // 2. Whole words, and one data register per data line.
  VARNO_ASSERT((m_member.bs_frame_bits % m_member.config_data_width) == 0);
  VARNO_ASSERT((m_member.bs_s4_frame_bits % m_member.config_data_width) == 0);
  VARNO_ASSERT(m_member.dras_count == m_member.config_data_width);

  // 3. Bytes of a plain and of an S4 bitstream frame.
  m_bs_frame_bytes = m_member.bs_frame_bits / 8;
  m_bs_s4_frame_bytes = m_member.bs_s4_frame_bits / 8;

  // 4, 5. Per-frame buffers, each user bit at its IMG position.
  delete_memory();
  VARNO_ASSERT_MSG(m_user_img_data == nullptr, "m_user_img_data == NULL");
  m_user_img_data = split_cram_image(m_member, m_img_frame_bytes, false);
  m_memory_user_img_data_count = m_member.image_frame_count;
  return true;
}

void VARNO_LEGACY_CRAM_FRAME_MGR::delete_memory() {
  if (m_user_img_data != nullptr) {
    VARNO_ASSERT(m_memory_user_img_data_count > 0);
    m_user_img_data.reset();
  }
  m_memory_user_img_data_count = 0;
}

// ---- Frame building -------------------------------------------------------------------

bool VARNO_LEGACY_CRAM_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block,
                                                        VARNO_BLOCK_CONFIG* config, u32 start,
                                                        u32 end) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // The frames read the buffers of the last verification.
  VARNO_ASSERT_MSG(m_user_img_data != nullptr, "m_user_img_data != NULL");

  // 1. The range must lie within the bitstream frames.
  VARNO_ASSERT_MSG(start <= end && end < m_member.bs_frame_count,
                   "start_frame <= end_frame && end_frame < m_member.bs_frame_count");

  for (u32 index = start; index <= end; ++index) {
    // 2. The frame's IMG frame, whose map entry must point back.
    const u32 img_index = m_member.bs_frame_to_img_frame_map[index];
    VARNO_ASSERT_MSG(img_index < m_member.image_frame_count &&
                         m_member.img_frame_to_bs_frame_map[img_index] == index,
                     "img_index < m_member.image_frame_count && "
                     "m_member.img_frame_to_bs_frame_map[img_index] == index");
    // 3, 4. The frame, with its S2 list if it is an S4 frame, appended to the block.
    S4_SII_BIT_LIST* s2_list = s2_list_of(img_index);
    std::unique_ptr<VARNO_FRAME> frame =
        create_frame(block, config, index, img_index, s2_list, index == start, index == end);
    VARNO_ASSERT_MSG(frame != nullptr, "frame != NULL");
    // With no frame after it the block always takes the frame.
    VARNO_FRAME* raw = frame.release();
    block->insert_frame_at_end(raw, 0);
    if (index == end) break;  // end may be the last u32
  }
  return true;
}

std::unique_ptr<VARNO_FRAME> VARNO_LEGACY_CRAM_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                       VARNO_BLOCK_CONFIG*,
                                                                       u32 index, u32 img,
                                                                       S4_SII_BIT_LIST* s2_list,
                                                                       bool first, bool last) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  const VARNO_FRAME_DESCRIPTOR* descriptor = block->get_frame_descriptor();
  VARNO_ASSERT_MSG(descriptor != nullptr, "frame_descriptor != NULL");
  VARNO_ASSERT(m_member.config_data_width == 32);
  const u32 word_bits = m_member.config_data_width;
  const u32 word_bytes = m_member.config_data_bytes;

  // 1. Header with the instruction word. The trailer CRC reads its first
  // word, so there must be one; the segment sizes are counted in 32 bits.
  const u32 header_length = descriptor->word(1);
  const u32 edcrc_length = descriptor->word(3);
  VARNO_ASSERT(header_length > 0);
  const u64 header_bytes = u64{header_length} * word_bytes;
  const u64 edcrc_bytes = u64{edcrc_length} * word_bytes;
  VARNO_ASSERT_MSG(header_bytes * 8 <= 0xFFFFFFFFu, "header_size * 8 <= 0xFFFFFFFF");
  VARNO_ASSERT_MSG(edcrc_bytes * 8 <= 0xFFFFFFFFu, "edcrc_size * 8 <= 0xFFFFFFFF");
  auto frame = std::make_unique<VARNO_FRAME>();
  frame->add_frame_segment(
      new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_HEADER, static_cast<u32>(header_bytes), true));
  frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_HEADER,
                                get_instruction(m_member, first, last, s2_list != nullptr), 0);

  // 2, 3. Core, with the ED-CRC of a plain frame outside the memory blocks.
  const bool want_edcrc = edcrc_length != 0 && s2_list == nullptr && !is_mram_frame(img);
  u32 edcrc = 0;
  u32 core_size = 0;
  std::unique_ptr<u8[]> core_data =
      create_frame_core_data(index, img, s2_list, core_size, want_edcrc ? &edcrc : nullptr);
  VARNO_ASSERT_MSG(core_data != nullptr, "core_data != NULL");
  frame->add_frame_segment(
      new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, core_size, core_data.release()));

  // 4. ED-CRC segment; zero where none was computed.
  if (edcrc_length != 0) {
    frame->add_frame_segment(
        new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_EDCRC, static_cast<u32>(edcrc_bytes), true));
    if (want_edcrc) frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_EDCRC, edcrc, 0);
  }

  // 5. Trailer: filler and the CRC-16 of the first header word, the core,
  // the ED-CRC segment and the filler.
  frame->add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TRAILER, word_bytes, true));
  u16 crc = 0xFFFF;
  crc = VARNO_UTIL::calculate_crc16(frame->get_segment(VARNO_FRAME_SEGMENT_HEADER)->data(), 0,
                                    word_bits, crc);
  crc = VARNO_UTIL::calculate_crc16(frame->get_segment(VARNO_FRAME_SEGMENT_DATA)->data(), 0,
                                    core_size * 8, crc);
  if (const VARNO_FRAME_SEGMENT* segment = frame->get_segment(VARNO_FRAME_SEGMENT_EDCRC)) {
    crc = VARNO_UTIL::calculate_crc16(segment->data(), 0, segment->size() * 8, crc);
  }
  const u8 filler[2] = {static_cast<u8>(m_random_filler_copy & 0xFF),
                        static_cast<u8>(m_random_filler_copy >> 8)};
  crc = VARNO_UTIL::calculate_crc16(filler, 0, 16, crc);
  frame->write_word_to_segment(VARNO_FRAME_SEGMENT_TRAILER, m_random_filler, 0);
  frame->write_word_to_segment(VARNO_FRAME_SEGMENT_TRAILER, crc, 2);
  return frame;
}

u8 VARNO_LEGACY_CRAM_FRAME_MGR::encode_pair(const u8* data, u32 pos, S4_SII_BIT_LIST* s2_list,
                                            size_t& cursor, u32& cursor_index,
                                            S4_SI_LIST*& cursor_cells) const {
  // A last pair may end in the zero padding of the frame buffer, which reads
  // as 0; only a bit past the buffer is refused.
  VARNO_ASSERT_MSG(pos + u64{1} < u64{m_img_frame_bytes} * 8, "pos + 1 < m_img_frame_bytes * 8");
  unsigned at = pos;
  const u32 v = get_bits(const_cast<u8*>(data), at, 2, true);
  u8 code = static_cast<u8>(v);
  if (!encode_two_bits(code, false)) return code;

  // A 01 or 10 pair: the S2 cell of its set bit may name a source bit that
  // decides the code. The cells are ascending, so one cursor serves the frame.
  const u32 target = v == 1 ? pos : pos + 1;
  while (cursor < s2_list->size() && cursor_index < target) {
    ++cursor;
    if (cursor < s2_list->size()) {
      S4_SII_BIT* s2_bit = (*s2_list)[cursor];
      VARNO_ASSERT_MSG(s2_bit != nullptr, "s2_bit != NULL");
      cursor_cells = s2_bit->get_data(cursor_index);
    }
  }
  if (cursor >= s2_list->size() || cursor_index != target || cursor_cells == nullptr ||
      cursor_cells->empty()) {
    return code;
  }
  for (const S4_SI* cell : *cursor_cells) {
    VARNO_ASSERT_MSG(cell != nullptr, "s4_si != NULL");
    u32 s4_frame = 0;
    u32 s4_bit = 0;
    bool flag = false;
    const u32 value = cell->get_data(s4_frame, s4_bit, flag);
    // A cell bit in the padding of the frame buffer reads as 0.
    VARNO_ASSERT_MSG(s4_frame < m_member.image_frame_count && s4_bit < u64{m_img_frame_bytes} * 8,
                     "s4_frame < m_member.image_frame_count && s4_bit < m_img_frame_bytes * 8");
    if (test_bit(m_user_img_data[s4_frame].get(), s4_bit)) {
      return static_cast<u8>(((value & 3u) << 2) | (flag ? 3u : 1u));
    }
  }
  return code;
}

std::unique_ptr<u8[]> VARNO_LEGACY_CRAM_FRAME_MGR::create_frame_core_data(u32, u32 img,
                                                                          S4_SII_BIT_LIST* s2_list,
                                                                          u32& core_size,
                                                                          u32* edcrc) {
  VARNO_ASSERT_MSG(m_user_img_data != nullptr, "m_user_img_data != NULL");
  VARNO_ASSERT(img < m_memory_user_img_data_count);
  const u8* data = m_user_img_data[img].get();

  if (s2_list == nullptr) {
    // 1, 2. Plain frame: every IMG bit to its bitstream position.
    core_size = m_bs_frame_bytes;
    auto core_data = std::make_unique<u8[]>(core_size);
    const u64 core_data_bit_size = u64{core_size} * 8;
    for (u32 k = 0; k < m_member.image_frame_bits; ++k) {
      const u32 dest = m_member.img_to_raw_map[k];
      if (dest == IMG_TO_RAW_SKIP_CONV_EDCRC) continue;
      VARNO_ASSERT(dest < core_data_bit_size);
      if (test_bit(data, k)) set_bit(core_data.get(), dest);
    }
    // 3. ED-CRC over the IMG frame, when wanted.
    if (edcrc != nullptr) *edcrc = calculate_edcrc(data, img);
    return core_data;
  }

  // 1. S4 frame: a core of the S4 frame size, and no ED-CRC.
  core_size = m_bs_s4_frame_bytes;
  auto core_data = std::make_unique<u8[]>(core_size);
  const u64 core_data_bit_size = u64{core_size} * 8;

  // 2. Cursor on the first S2 cell; an empty list has none to look up.
  size_t cursor = 0;
  u32 cursor_index = 0;
  S4_SI_LIST* cursor_cells = nullptr;
  if (!s2_list->empty()) {
    S4_SII_BIT* s2_bit = s2_list->front();
    VARNO_ASSERT_MSG(s2_bit != nullptr, "s2_bit != NULL");
    cursor_cells = s2_bit->get_data(cursor_index);
  }

  // 3. One 4-bit code per pair from the ED-CRC bits on.
  const u32 first = m_member.img_include_edcrc_bits;
  u64 k = 0;
  for (u64 pos = first; pos < m_member.image_frame_bits; pos += 2, ++k) {
    const u8 code =
        encode_pair(data, static_cast<u32>(pos), s2_list, cursor, cursor_index, cursor_cells);
    for (u32 e = 0; e < 4; ++e) {
      const u64 s4_index = first + 4 * k + e;
      VARNO_ASSERT_MSG(s4_index < m_member.image_s4_frame_bits,
                       "s4_index < m_member.image_s4_frame_bits");
      const u32 dest = m_member.s4_img_to_raw_map[s4_index];
      VARNO_ASSERT(dest < core_data_bit_size);
      if (((code >> e) & 1u) != 0) set_bit(core_data.get(), dest);
    }
  }
  return core_data;
}

// ---- ED-CRC ---------------------------------------------------------------------------

u32 VARNO_LEGACY_CRAM_FRAME_MGR::calculate_edcrc(const u8* data) {
  VARNO_ASSERT_MSG(data != nullptr, "data != NULL");
  VARNO_ASSERT_MSG(m_member.dras != nullptr, "m_member.dras != NULL");
  VARNO_ASSERT(m_member.dras_count == m_member.config_data_width);

  // 1. The register starts at 1, the data at bit img_include_edcrc_bits.
  u32 crc = EDCRC_INIT;
  u64 offset = m_member.img_include_edcrc_bits;
  u64 calculated_size = 0;
  const u32 parallel = m_member.parallel_frame_size;

  // 2. Registers from the last down: its leading zero bits, then its data.
  // Each feed is checked before it reads, so a register longer than the
  // parallel frame or data past the frame never reaches the CRC.
  for (u32 j = m_member.config_data_width; j-- > 0;) {
    const u32 zero_bits = m_member.dras[j];
    VARNO_ASSERT_MSG(zero_bits <= parallel, "m_member.dras[j] <= m_member.parallel_frame_size");
    if (zero_bits > 0) {
      crc = VARNO_UTIL::msb_calculate_crc32(nullptr, 0, zero_bits, crc, EDCRC_POLY);
      calculated_size += zero_bits;
    }
    const u32 data_bits = parallel - zero_bits;
    VARNO_ASSERT_MSG(offset + data_bits <= m_member.image_frame_bits,
                     "offset + data_bits <= m_member.image_frame_bits");
    crc =
        VARNO_UTIL::msb_calculate_crc32(data, static_cast<u32>(offset), data_bits, crc, EDCRC_POLY);
    offset += data_bits;
    calculated_size += data_bits;
  }

  // 3. The registers must have read the whole frame, a parallel frame each.
  VARNO_ASSERT_MSG(
      offset == m_member.image_frame_bits &&
          calculated_size == u64{m_member.parallel_frame_size} * m_member.config_data_width,
      "offset == m_member.image_frame_bits && (calculated_size == "
      "(m_member.parallel_frame_size * m_member.config_data_width))");
  return crc;
}

u32 VARNO_LEGACY_CRAM_FRAME_MGR::calculate_edcrc(const u8* data, u32 img_frame_no) {
  VARNO_ASSERT_MSG(data != nullptr, "data != NULL");
  VARNO_ASSERT_MSG(m_member.lutram_info != nullptr, "m_member.lutram_info != NULL");
  VARNO_ASSERT(img_frame_no < m_member.image_frame_count);

  // 1. A frame without a LUTRAM column is not masked.
  const u8 column = m_member.lutram_info[img_frame_no];
  if (column == NO_LUTRAM) return calculate_edcrc(data);

  // 2. Its LUTRAM column must be in the simplified list.
  VARNO_ASSERT(m_lutram_simplified_col.size() > 0 && m_lutram_simplified_row.size() > 0);
  VARNO_ASSERT(m_member.lutram_info[img_frame_no] < BYTE(m_lutram_simplified_col.size()));
  VARNO_ASSERT_MSG(m_user_img_data != nullptr, "m_user_img_data != NULL");

  // 3. Only a copy is masked: the core keeps the LUTRAM bits.
  auto scratch = std::make_unique<u8[]>(m_img_frame_bytes);
  std::memcpy(scratch.get(), data, m_img_frame_bytes);
  const u64 column_frame = u64{m_member.rscnt26_bit_col_offset} + m_lutram_simplified_col[column];
  VARNO_ASSERT(column_frame < m_member.image_frame_count);
  const u8* column_data = m_user_img_data[column_frame].get();

  // Every row spans the same blocks and gaps; it must span the row size.
  const u32 block_count = m_member.lutram_block_count;
  const u32 block_bits = m_member.lutram_block_bits;
  const u32 block_gap = m_member.lutram_block_bits_offset;
  const u64 covered = u64{block_count} * block_bits;
  const u64 gaps = block_count > 0 ? u64{block_count - 1} * block_gap : 0;
  const u64 total_lutram_row = covered + gaps;
  VARNO_ASSERT_MSG(total_lutram_row == m_member.lutram_row_size,
                   "total_lutram_row == m_member.lutram_row_size");

  // 4. Clear the bits of each row: all of them when the row is in use, else
  // with the odd-bit flip the middle two of every four.
  for (const u32 lutram_row : m_lutram_simplified_row) {
    const u64 in_use_bit = u64{m_member.rscnt26_bit_row_offset} + lutram_row;
    VARNO_ASSERT(in_use_bit < m_member.image_frame_bits);
    const bool in_use = test_bit(column_data, in_use_bit);
    VARNO_ASSERT_MSG(lutram_row + u64{m_member.lutram_row_size} <= m_member.image_frame_bits,
                     "lutram_row + m_member.lutram_row_size <= m_member.image_frame_bits");
    if (block_bits == 0 || (!in_use && !m_member.lutram_odd_bit_flip)) continue;
    u64 p = lutram_row;
    for (u32 b = 0; b < block_count; ++b) {
      for (u32 i = 0; i < block_bits; ++i) {
        const u32 phase = i % 4;
        if (in_use || phase == 1 || phase == 2) clear_bit(scratch.get(), p + i);
      }
      p += block_bits;
      if (b + 1 < block_count) p += block_gap;
    }
  }

  // 5. ED-CRC of the masked copy.
  return calculate_edcrc(scratch.get());
}
