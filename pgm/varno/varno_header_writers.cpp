#include "varno_header_writers.h"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <vector>

#include "varno_assert.h"
#include "varno_frame.h"
#include "varno_iblock.h"
#include "varno_util.h"

namespace {

struct HEADER_FIELD {
  const char* option;
  u32 value;
  bool only_if_nonzero;
  const char* failure;  // the internal error when the block refuses the write
};

// Writes the fields in order. Widths are asked of this block on every call:
// header blocks of different families or sector types differ.
void write_header(VARNO_IBLOCK* block, const char* dyn_name,
                  std::initializer_list<HEADER_FIELD> fields, BYTE* dest) {
  if (block == nullptr) return;
  std::vector<u32> sizes;
  sizes.reserve(fields.size());
  for (const HEADER_FIELD& f : fields) sizes.push_back(block->get_option_size(f.option, dyn_name));
  size_t i = 0;
  for (const HEADER_FIELD& f : fields) {
    const u32 size = sizes[i++];
    if (f.only_if_nonzero && f.value == 0) continue;
    // The value is a u32: a wider field gets zeros above it instead of bytes
    // read past the value.
    std::vector<BYTE> bytes(std::max<u64>(4, (u64{size} + 7) / 8), 0);
    VARNO_UTIL::write_dword_safely(f.value, bytes.data());
    const u32 result = block->write_option_bits(f.option, dyn_name, bytes.data(), size, dest);
    VARNO_ASSERT_MSG(result == VARNO_NO_ERROR, f.failure);
  }
}

}  // namespace

void VARNO_HEADER_WRITERS::WriteCntBlock(VARNO_IBLOCK* block, u32 op, u32 len, u32 areg,
                                         u32 offset, u32 rsvd, BYTE* dest) {
  write_header(
      block, "CNT_HEADER",
      {
          {"CNT_HDR_WRITE_OP", op, false,
           "block->write_option_bits(\"CNT_HDR_WRITE_OP\", \"CNT_HEADER\", (BYTE*)&op, op_size, "
           "dest) == VARNO_NO_ERROR"},
          {"CNT_HDR_LEN", len, false,
           "block->write_option_bits(\"CNT_HDR_LEN\", \"CNT_HEADER\", (BYTE*)&len, len_size, "
           "dest) == VARNO_NO_ERROR"},
          {"CNT_HDR_AREG", areg, false,
           "block->write_option_bits(\"CNT_HDR_AREG\", \"CNT_HEADER\", (BYTE*)&areg, areg_size, "
           "dest) == VARNO_NO_ERROR"},
          {"CNT_HDR_OFFSET", offset, false,
           "block->write_option_bits(\"CNT_HDR_OFFSET\", \"CNT_HEADER\", (BYTE*)&offset, "
           "offset_size, dest) == VARNO_NO_ERROR"},
          {"CNT_HDR_RSVD", rsvd, true,
           "block->write_option_bits(\"CNT_HDR_RSVD\", \"CNT_HEADER\", (BYTE*)&rsvd, rsvd_size, "
           "dest) == VARNO_NO_ERROR"},
      },
      dest);
}

void VARNO_HEADER_WRITERS::WriteCnocBlock(VARNO_IBLOCK* block, u32 src, u32 len, u32 type, u32 x,
                                          u32 y, BYTE* dest) {
  write_header(
      block, "CNOC_HEADER",
      {
          {"CNOC_HDR_SRC", src, false,
           "block->write_option_bits(\"CNOC_HDR_SRC\", \"CNOC_HEADER\", (BYTE*)&src, src_size, "
           "dest) == VARNO_NO_ERROR"},
          {"CNOC_HDR_LEN", len, false,
           "block->write_option_bits(\"CNOC_HDR_LEN\", \"CNOC_HEADER\", (BYTE*)&len, len_size, "
           "dest) == VARNO_NO_ERROR"},
          {"CNOC_HDR_MSG_TYPE", type, false,
           "block->write_option_bits(\"CNOC_HDR_MSG_TYPE\", \"CNOC_HEADER\", (BYTE*)&type, "
           "type_size, dest) == VARNO_NO_ERROR"},
          {"CNOC_HDR_X", x, false,
           "block->write_option_bits(\"CNOC_HDR_X\", \"CNOC_HEADER\", (BYTE*)&x, x_size, dest) == "
           "VARNO_NO_ERROR"},
          {"CNOC_HDR_Y", y, false,
           "block->write_option_bits(\"CNOC_HDR_Y\", \"CNOC_HEADER\", (BYTE*)&y, y_size, dest) == "
           "VARNO_NO_ERROR"},
      },
      dest);
}

void VARNO_HEADER_WRITERS::WriteCompHdrBlock(VARNO_IBLOCK* block, u32 ch, u32 f_type, u32 s4,
                                             u32 thr, u32 len, u32 ch_ext, u32 bank,
                                             BYTE* dest) {
  write_header(
      block, "COMP_FRAME_HDR",
      {
          {"COMP_HDR_CH", ch, false,
           "block->write_option_bits(\"COMP_HDR_CH\", \"COMP_FRAME_HDR\", (BYTE*)&ch, ch_size, "
           "dest) == VARNO_NO_ERROR"},
          {"COMP_HDR_FRTYPE", f_type, false,
           "block->write_option_bits(\"COMP_HDR_FRTYPE\", \"COMP_FRAME_HDR\", (BYTE*)&f_type, "
           "fr_type_size, dest) == VARNO_NO_ERROR"},
          {"COMP_HDR_ULEN", len, false,
           "block->write_option_bits(\"COMP_HDR_ULEN\", \"COMP_FRAME_HDR\", (BYTE*)&len, "
           "fr_len_size, dest) == VARNO_NO_ERROR"},
          {"COMP_HDR_S4", s4, false,
           "block->write_option_bits(\"COMP_HDR_S4\", \"COMP_FRAME_HDR\", (BYTE*)&s4, s4_size, "
           "dest) == VARNO_NO_ERROR"},
          {"COMP_HDR_THR", thr, false,
           "block->write_option_bits(\"COMP_HDR_THR\", \"COMP_FRAME_HDR\", (BYTE*)&thr, "
           "thr_size, dest) == VARNO_NO_ERROR"},
          {"COMP_HDR_CHEXT", ch_ext, true,
           "block->write_option_bits(\"COMP_HDR_CHEXT\", \"COMP_FRAME_HDR\", (BYTE*)&ch_ext, "
           "ch_ext_size, dest) == VARNO_NO_ERROR"},
          {"COMP_HDR_BANK", bank, true,
           "block->write_option_bits(\"COMP_HDR_BANK\", \"COMP_FRAME_HDR\", (BYTE*)&bank, "
           "bank_size, dest) == VARNO_NO_ERROR"},
      },
      dest);
}

void VARNO_HEADER_WRITERS::WriteCompHdrDbgBlock(VARNO_IBLOCK* block, u32 g_len, u32 f_num,
                                                BYTE* dest) {
  write_header(
      block, "COMP_FRAME_HDR",
      {
          {"COMP_HDR_OLEN", g_len, false,
           "block->write_option_bits(\"COMP_HDR_OLEN\", \"COMP_FRAME_HDR\", (BYTE*)&g_len, "
           "fr_glen_size, dest) == VARNO_NO_ERROR"},
          {"COMP_HDR_FRNUM", f_num, false,
           "block->write_option_bits(\"COMP_HDR_FRNUM\", \"COMP_FRAME_HDR\", (BYTE*)&f_num, "
           "fr_num_size, dest) == VARNO_NO_ERROR"},
      },
      dest);
}

void VARNO_HEADER_WRITERS::WriteEramHdrBlock(VARNO_IBLOCK* block, u32 addr, u32 cmd, u32 size,
                                             u32 rsrvd, BYTE* dest) {
  write_header(
      block, "ERAM_HEADER",
      {
          {"ERAM_HDR_ADDR", addr, false,
           "block->write_option_bits(\"ERAM_HDR_ADDR\", \"ERAM_HEADER\", (BYTE*)&addr, "
           "addr_size, dest) == VARNO_NO_ERROR"},
          {"ERAM_HDR_CMD", cmd, false,
           "block->write_option_bits(\"ERAM_HDR_CMD\", \"ERAM_HEADER\", (BYTE*)&cmd, cmd_size, "
           "dest) == VARNO_NO_ERROR"},
          {"ERAM_HDR_SIZE", size, false,
           "block->write_option_bits(\"ERAM_HDR_SIZE\", \"ERAM_HEADER\", (BYTE*)&size, sz_size, "
           "dest) == VARNO_NO_ERROR"},
          {"ERAM_HDR_RESERVED", rsrvd, false,
           "block->write_option_bits(\"ERAM_HDR_RESERVED\", \"ERAM_HEADER\", (BYTE*)&rsrvd, "
           "rsrvd_size, dest) == VARNO_NO_ERROR"},
      },
      dest);
}

VARNO_FRAME* VARNO_HEADER_WRITERS::create_custom_instruction(u32 address, u32 w, bool with_length,
                                                             u32 core_words, bool core_zero,
                                                             u32 padding_words, bool padding_zero,
                                                             u16 instruction) {
  // The address and length words and the instruction with its CRC take four
  // bytes of a word each.
  VARNO_ASSERT(w >= 4);
  const u64 header_bytes = u64{w} * (with_length ? 2 : 1);
  const u64 core_bytes = u64{w} * core_words;
  const u64 padding_bytes = u64{w} * padding_words;
  VARNO_ASSERT_MSG(core_bytes <= 0xFFFFFFFFu && padding_bytes <= 0xFFFFFFFFu &&
                       header_bytes <= 0xFFFFFFFFu,
                   "segment sizes fit in 32 bits");

  auto frame = std::make_unique<VARNO_FRAME>();
  auto* header = new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_HEADER,
                                         static_cast<u32>(header_bytes), true);
  frame->add_frame_segment(header);
  VARNO_FRAME_SEGMENT* core = nullptr;
  if (core_words > 0) {
    core = new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, static_cast<u32>(core_bytes),
                                   core_zero);
    frame->add_frame_segment(core);
    VARNO_ASSERT_MSG(core->data() != nullptr, "core_address != NULL");
  }
  auto* trailer = new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TRAILER, w, true);
  frame->add_frame_segment(trailer);
  VARNO_UTIL::write_word_safely(instruction, trailer->data());
  if (padding_words > 0) {
    auto* padding = new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_PADDING,
                                            static_cast<u32>(padding_bytes), padding_zero);
    frame->add_frame_segment(padding);
    VARNO_ASSERT_MSG(padding->data() != nullptr, "padd_address != NULL");
  }

  VARNO_UTIL::write_dword_safely(address, header->data());
  if (with_length) VARNO_UTIL::write_dword_safely(core_words + padding_words, header->data() + w);

  u16 crc = crc16_over_bytes(header->data(), header_bytes, 0xFFFF);
  if (core != nullptr) crc = crc16_over_bytes(core->data(), core_bytes, crc);
  crc = VARNO_UTIL::calculate_crc16(trailer->data(), 0, 16, crc);
  VARNO_UTIL::write_word_safely(crc, trailer->data() + 2);
  return frame.release();
}

u16 VARNO_HEADER_WRITERS::crc16_over_bytes(const BYTE* data, u64 bytes, u16 crc) {
  constexpr u64 piece = u64{1} << 28;
  while (bytes > 0) {
    const u64 n = std::min(bytes, piece);
    crc = VARNO_UTIL::calculate_crc16(data, 0, static_cast<u32>(n * 8), crc);
    data += n;
    bytes -= n;
  }
  return crc;
}

void VARNO_HEADER_WRITERS::write_trailer_crc16(VARNO_FRAME* frame, bool with_header) {
  VARNO_ASSERT_MSG(frame != nullptr, "frame != NULL");
  const VARNO_FRAME_SEGMENT* trailer = frame->get_segment(VARNO_FRAME_SEGMENT_TRAILER);
  const u32 crc_segm_size = trailer != nullptr ? trailer->size() : 0;
  VARNO_ASSERT(crc_segm_size > 0);
  // The CRC covers the 16 filler bits and lands on bytes 2 and 3.
  VARNO_ASSERT(crc_segm_size >= 4);

  u16 crc = 0xFFFF;
  if (with_header) {
    if (const VARNO_FRAME_SEGMENT* header = frame->get_segment(VARNO_FRAME_SEGMENT_HEADER)) {
      crc = crc16_over_bytes(header->data(), header->size(), crc);
    }
  }
  if (const VARNO_FRAME_SEGMENT* core = frame->get_segment(VARNO_FRAME_SEGMENT_DATA)) {
    crc = crc16_over_bytes(core->data(), core->size(), crc);
  }
  crc = VARNO_UTIL::calculate_crc16(trailer->data(), 0, 16, crc);
  frame->write_word_to_segment(VARNO_FRAME_SEGMENT_TRAILER, crc, 2);
}
