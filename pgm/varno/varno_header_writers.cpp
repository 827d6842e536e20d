#include "varno_header_writers.h"

#include <algorithm>
#include <memory>

#include "varno_assert.h"
#include "varno_frame.h"
#include "varno_iblock.h"
#include "varno_sblock.h"
#include "varno_util.h"

namespace {

// One header record: its dynamic-data field and its options in write order.
// Options marked only_if_nonzero are skipped when their value is 0; failure
// is the internal error when the block refuses a write.
struct HEADER_LAYOUT {
  static constexpr size_t k_max_fields = 7;
  const char* dyn_name;
  size_t count;
  const char* option[k_max_fields];
  bool only_if_nonzero[k_max_fields];
  const char* failure[k_max_fields];
};

#define VARNO_HDR_FAILURE(opt, dyn, arg, size) \
  "block->write_option_bits(\"" opt "\", \"" dyn "\", (BYTE*)&" arg ", " size ", dest) == VARNO_NO_ERROR"

const HEADER_LAYOUT k_cnt = {
    "CNT_HEADER",
    5,
    {"CNT_HDR_WRITE_OP", "CNT_HDR_LEN", "CNT_HDR_AREG", "CNT_HDR_OFFSET", "CNT_HDR_RSVD"},
    {false, false, false, false, true},
    {VARNO_HDR_FAILURE("CNT_HDR_WRITE_OP", "CNT_HEADER", "op", "op_size"),
     VARNO_HDR_FAILURE("CNT_HDR_LEN", "CNT_HEADER", "len", "len_size"),
     VARNO_HDR_FAILURE("CNT_HDR_AREG", "CNT_HEADER", "areg", "areg_size"),
     VARNO_HDR_FAILURE("CNT_HDR_OFFSET", "CNT_HEADER", "offset", "offset_size"),
     VARNO_HDR_FAILURE("CNT_HDR_RSVD", "CNT_HEADER", "rsvd", "rsvd_size")}};

const HEADER_LAYOUT k_cnoc = {
    "CNOC_HEADER",
    5,
    {"CNOC_HDR_SRC", "CNOC_HDR_LEN", "CNOC_HDR_MSG_TYPE", "CNOC_HDR_X", "CNOC_HDR_Y"},
    {false, false, false, false, false},
    {VARNO_HDR_FAILURE("CNOC_HDR_SRC", "CNOC_HEADER", "src", "src_size"),
     VARNO_HDR_FAILURE("CNOC_HDR_LEN", "CNOC_HEADER", "len", "len_size"),
     VARNO_HDR_FAILURE("CNOC_HDR_MSG_TYPE", "CNOC_HEADER", "type", "type_size"),
     VARNO_HDR_FAILURE("CNOC_HDR_X", "CNOC_HEADER", "x", "x_size"),
     VARNO_HDR_FAILURE("CNOC_HDR_Y", "CNOC_HEADER", "y", "y_size")}};

const HEADER_LAYOUT k_comp = {
    "COMP_FRAME_HDR",
    7,
    {"COMP_HDR_CH", "COMP_HDR_FRTYPE", "COMP_HDR_ULEN", "COMP_HDR_S4", "COMP_HDR_THR",
     "COMP_HDR_CHEXT", "COMP_HDR_BANK"},
    {false, false, false, false, false, true, true},
    {VARNO_HDR_FAILURE("COMP_HDR_CH", "COMP_FRAME_HDR", "ch", "ch_size"),
     VARNO_HDR_FAILURE("COMP_HDR_FRTYPE", "COMP_FRAME_HDR", "f_type", "fr_type_size"),
     VARNO_HDR_FAILURE("COMP_HDR_ULEN", "COMP_FRAME_HDR", "len", "fr_len_size"),
     VARNO_HDR_FAILURE("COMP_HDR_S4", "COMP_FRAME_HDR", "s4", "s4_size"),
     VARNO_HDR_FAILURE("COMP_HDR_THR", "COMP_FRAME_HDR", "thr", "thr_size"),
     VARNO_HDR_FAILURE("COMP_HDR_CHEXT", "COMP_FRAME_HDR", "ch_ext", "ch_ext_size"),
     VARNO_HDR_FAILURE("COMP_HDR_BANK", "COMP_FRAME_HDR", "bank", "bank_size")}};

const HEADER_LAYOUT k_comp_dbg = {
    "COMP_FRAME_HDR",
    2,
    {"COMP_HDR_OLEN", "COMP_HDR_FRNUM"},
    {false, false},
    {VARNO_HDR_FAILURE("COMP_HDR_OLEN", "COMP_FRAME_HDR", "g_len", "fr_glen_size"),
     VARNO_HDR_FAILURE("COMP_HDR_FRNUM", "COMP_FRAME_HDR", "f_num", "fr_num_size")}};

const HEADER_LAYOUT k_eram = {
    "ERAM_HEADER",
    4,
    {"ERAM_HDR_ADDR", "ERAM_HDR_CMD", "ERAM_HDR_SIZE", "ERAM_HDR_RESERVED"},
    {false, false, false, false},
    {VARNO_HDR_FAILURE("ERAM_HDR_ADDR", "ERAM_HEADER", "addr", "addr_size"),
     VARNO_HDR_FAILURE("ERAM_HDR_CMD", "ERAM_HEADER", "cmd", "cmd_size"),
     VARNO_HDR_FAILURE("ERAM_HDR_SIZE", "ERAM_HEADER", "size", "sz_size"),
     VARNO_HDR_FAILURE("ERAM_HDR_RESERVED", "ERAM_HEADER", "rsrvd", "rsrvd_size")}};

#undef VARNO_HDR_FAILURE

// Writes the values in the layout's order. Widths are those of the block
// given: header blocks of different families or sector types differ. The
// option block resolves its layout once and keeps it, so a frame manager
// writing the same record for every frame looks nothing up by name, and
// writes a record whose options lie within 8 bytes with one load and one
// store. Every header block is an option block; any other block has no
// option fields (each reports a size of 0 and ignores writes), so, as for a
// null block, nothing is written.
void write_header(VARNO_IBLOCK* block, const HEADER_LAYOUT& layout, const u32* values,
                  BYTE* dest) {
  auto* sblock = dynamic_cast<VARNO_SBLOCK*>(block);
  if (sblock == nullptr) return;
  const VARNO_SBLOCK::OPTION_RECORD& record =
      sblock->option_record(&layout, layout.dyn_name, layout.option, layout.count);
  u32 fields = 0;
  for (size_t i = 0; i < layout.count; ++i)
    if (!layout.only_if_nonzero[i] || values[i] != 0) fields |= 1u << i;
  if (sblock->write_option_record(record, values, fields, dest)) return;
  for (size_t i = 0; i < layout.count; ++i) {
    if (((fields >> i) & 1u) == 0) continue;
    const u32 result = sblock->write_option_value(record.slots[i], values[i], dest);
    VARNO_ASSERT_MSG(result == VARNO_NO_ERROR, layout.failure[i]);
  }
}

}  // namespace

void VARNO_HEADER_WRITERS::WriteCntBlock(VARNO_IBLOCK* block, u32 op, u32 len, u32 areg,
                                         u32 offset, u32 rsvd, BYTE* dest) {
  const u32 values[] = {op, len, areg, offset, rsvd};
  write_header(block, k_cnt, values, dest);
}

void VARNO_HEADER_WRITERS::WriteCnocBlock(VARNO_IBLOCK* block, u32 src, u32 len, u32 type, u32 x,
                                          u32 y, BYTE* dest) {
  const u32 values[] = {src, len, type, x, y};
  write_header(block, k_cnoc, values, dest);
}

// The arguments come in another order than the fields: len is written third.
void VARNO_HEADER_WRITERS::WriteCompHdrBlock(VARNO_IBLOCK* block, u32 ch, u32 f_type, u32 s4,
                                             u32 thr, u32 len, u32 ch_ext, u32 bank,
                                             BYTE* dest) {
  const u32 values[] = {ch, f_type, len, s4, thr, ch_ext, bank};
  write_header(block, k_comp, values, dest);
}

void VARNO_HEADER_WRITERS::WriteCompHdrDbgBlock(VARNO_IBLOCK* block, u32 g_len, u32 f_num,
                                                BYTE* dest) {
  const u32 values[] = {g_len, f_num};
  write_header(block, k_comp_dbg, values, dest);
}

void VARNO_HEADER_WRITERS::WriteEramHdrBlock(VARNO_IBLOCK* block, u32 addr, u32 cmd, u32 size,
                                             u32 rsrvd, BYTE* dest) {
  const u32 values[] = {addr, cmd, size, rsrvd};
  write_header(block, k_eram, values, dest);
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
