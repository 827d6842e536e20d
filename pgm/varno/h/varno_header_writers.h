// Header records and custom instruction frames.
//
// A header record (CNT, CNOC, compressed-frame, ERAM) has no fixed layout in
// the code: its fields are the option-bit fields of a header option block of
// the family's parameter file. The writers place each value, by field name,
// into dest, a buffer laid out like that block's image and at least
// get_block_size() bytes long (with dest null, into the block's own image).
// Field widths come from the block given to each call, so blocks of
// different families or sector types are each written with their own
// widths; a value wider than its field keeps only its low bits. A null
// block, or one that is not an option block (it has no option fields),
// writes nothing.
//
// VARNO_UTIL exposes these as its own static helpers.
#pragma once

#include "varno_types.h"

class VARNO_IBLOCK;
class VARNO_FRAME;

class VARNO_HEADER_WRITERS {
 public:
  VARNO_HEADER_WRITERS() = delete;

  // "CNT_HEADER": CNT_HDR_WRITE_OP, CNT_HDR_LEN, CNT_HDR_AREG, CNT_HDR_OFFSET,
  // and CNT_HDR_RSVD when rsvd is not 0.
  static void WriteCntBlock(VARNO_IBLOCK* block, u32 op, u32 len, u32 areg, u32 offset, u32 rsvd,
                            BYTE* dest);
  // "CNOC_HEADER": CNOC_HDR_SRC, CNOC_HDR_LEN, CNOC_HDR_MSG_TYPE, CNOC_HDR_X,
  // CNOC_HDR_Y.
  static void WriteCnocBlock(VARNO_IBLOCK* block, u32 src, u32 len, u32 type, u32 x, u32 y,
                             BYTE* dest);
  // "COMP_FRAME_HDR", written in the order COMP_HDR_CH, COMP_HDR_FRTYPE,
  // COMP_HDR_ULEN (len), COMP_HDR_S4, COMP_HDR_THR, then COMP_HDR_CHEXT and
  // COMP_HDR_BANK each only when not 0.
  static void WriteCompHdrBlock(VARNO_IBLOCK* block, u32 ch, u32 f_type, u32 s4, u32 thr, u32 len,
                                u32 ch_ext, u32 bank, BYTE* dest);
  // "COMP_FRAME_HDR": COMP_HDR_OLEN, COMP_HDR_FRNUM.
  static void WriteCompHdrDbgBlock(VARNO_IBLOCK* block, u32 g_len, u32 f_num, BYTE* dest);
  // "ERAM_HEADER": ERAM_HDR_ADDR, ERAM_HDR_CMD, ERAM_HDR_SIZE, ERAM_HDR_RESERVED.
  static void WriteEramHdrBlock(VARNO_IBLOCK* block, u32 addr, u32 cmd, u32 size, u32 rsrvd,
                                BYTE* dest);

  // A new instruction frame (the caller owns it) of w-byte words, w >= 4:
  // a header word holding address (and, with_length, a second word holding
  // core_words + padding_words); core_words words of 0x00 (core_zero) or
  // 0xFF; a trailer word holding the instruction and the CRC-16 (initial
  // 0xFFFF) of header, core and instruction; padding_words words of 0x00
  // (padding_zero) or 0xFF, outside the CRC.
  static VARNO_FRAME* create_custom_instruction(u32 address, u32 w, bool with_length,
                                                u32 core_words, bool core_zero,
                                                u32 padding_words, bool padding_zero,
                                                u16 instruction);

  // CRC-16 continued over whole bytes of any length (in pieces short enough
  // for 32-bit bit counts).
  static u16 crc16_over_bytes(const BYTE* data, u64 bytes, u16 crc);

  // The trailer CRC-16 of an earlier-family frame: initial 0xFFFF over the
  // header (when with_header) and the core, then over the 16 filler bits at
  // trailer bytes 0-1; the result goes to trailer bytes 2-3.
  static void write_trailer_crc16(VARNO_FRAME* frame, bool with_header);
};
