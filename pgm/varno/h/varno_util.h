// Static helpers shared by every component: bit copies over (buffer, bit
// offset) pairs, little-endian stores, CRCs over bit runs, digests, messages
// gated by a debug level, dump files and the top-bitstream writers.
//
// Bit addressing: bit i of a buffer is bit i mod 8 (value 1 << (i mod 8)) of
// byte i / 8; a run of n bits at offset o covers bits o .. o + n - 1 in that
// order. Multi-byte values are stored little-endian, byte by byte, so that no
// alignment is needed.
#pragma once

#include <array>
#include <cstdarg>
#include <fstream>
#include <string>
#include <vector>

#include "vold_enums.h"
#include "varno_header_writers.h"
#include "varno_types.h"

struct VOLD_OB_DATA;
class VARNO_ITOP_BITSTREAM;

// Kinds of diagnostic line.
enum VARNO_MSG_TYPE : u32 {
  VARNO_MSG_ERROR = 0,
  VARNO_MSG_WARNING = 1,
  VARNO_MSG_DEBUG = 2,
};

// Level of a debug message, compared with the process-wide debug level
// (0 to 5).
using VARNO_MSG_LEVEL = u32;

// Level of a line on the host's debug channel.
using MSG_D_LEVEL = int;

// Register of the reflected CRC-32 with polynomial 0x88010000 after the eight
// shift steps of each byte value.
extern const std::array<u32, 256> VARNO_CRC32_8801000_LOOKUP_TABLE;

class VARNO_UTIL : public VARNO_HEADER_WRITERS {
 public:
  VARNO_UTIL() = delete;

  // ---- Bits, bytes and words -------------------------------------------

  // Copies count bits from src at src_bit to dest at dest_bit, straight or
  // complemented; destination bits outside the run keep their values.
  // Whole-byte runs go through byte_copy; other overlapping runs copy
  // forward, bit by bit.
  static void bit_copy(const u8* src, u32 src_bit, u8* dest, u32 dest_bit, u32 count,
                       bool straight);
  // Copies count bytes, straight or each byte inverted.
  static void byte_copy(const u8* src, u32 src_byte, u8* dest, u32 dest_byte, u32 count,
                        bool straight);
  // Source bit src_bit + count - 1 goes to dest_bit, source bit src_bit to
  // dest_bit + count - 1.
  static void reverse_bit_copy(const u8* src, u32 src_bit, u8* dest, u32 dest_bit, u32 count,
                               bool straight);
  // Source byte src_byte + count - 1 goes to dest_byte, and so on.
  static void reverse_byte_copy(const u8* src, u32 src_byte, u8* dest, u32 dest_byte, u32 count,
                                bool straight);
  // ORs the source run into the destination run.
  static void bit_set(const u8* src, u32 src_bit, u8* dest, u32 dest_bit, u32 count);
  // True when every bit of the run is 1 (and for an empty run).
  static bool all_bits_set(const u8* buf, u32 bit, u32 count);
  static u32 count_ones(u8 value);
  // Exchanges bit bit_a (0 to 7) of *a with bit bit_b (0 to 7) of *b.
  static void swap_bits(u8* a, u16 bit_a, u8* b, u16 bit_b);
  // Writes the positions of the 1 bits of mask, lowest first, to out (which
  // must hold 32 entries) and returns their number.
  static u32 get_mask_idx(u16* out, u32 mask);
  // Bit address in a block image of bit bit_no of an option-block field.
  static u32 get_bit_location_in_region(u32 word_bytes, u32 image_bytes, u32 first_word,
                                        u32 first_bit, u32 reg_bit_cnt, u16 mask_bit_cnt,
                                        const u16* mask_pos, bool column_order, u32 bit_no);

  static void write_qword_safely(u64 value, u8* dest);
  static void write_dword_safely(u32 value, u8* dest);
  static void write_word_safely(u16 value, u8* dest);
  static u32 get_dword_from_address(const u8* src);

  // The bits of every option-bit record of type, joined in list order with
  // the first record in the lowest bits (32 bits at most).
  static u32 get_ob_value_from_ob_list(const std::vector<VOLD_OB_DATA*>* ob_list,
                                       VOLD_OB_DATA_TYPE type, bool* found);

  // Value of one hexadecimal digit ('0'-'9', 'A'-'F', 'a'-'f').
  static u8 hexvalue(char c);
  // Exactly eight upper-case hexadecimal digits, no prefix.
  static std::string convert_dword_to_hex_string(u32 value);

  // ---- CRCs, error correction and digests ------------------------------
  //
  // Bits are fed in run order (so least significant bit first in each
  // byte); no CRC reflects its result or applies a final XOR, so a run may be
  // checked in pieces, each piece starting from the previous result.

  // Reflected CRC-16 with generator 0x8005 (register XOR 0xA001).
  static u16 calculate_crc16(const u8* buf, u32 bit_offset, u32 bit_count, u16 init);
  // Reflected CRC-32 register with the reflected polynomial poly. A null
  // buffer is a run of zero bits.
  static u32 lsb_calculate_crc32(const u8* buf, u32 bit_offset, u32 bit_count, u32 init,
                                 u32 poly);
  // The reflected CRC-32 with polynomial 0x88010000 over whole bytes.
  static u32 lsb_calculate_crc32_using_88010000_lookup_table(const u8* buf, u32 byte_offset,
                                                             u32 byte_count, u32 init);
  // MSB-first CRC-32 register with the normal polynomial poly (without its
  // x^32 term). A null buffer is a run of zero bits.
  static u32 msb_calculate_crc32(const u8* buf, u32 bit_offset, u32 bit_count, u32 init,
                                 u32 poly);
  // Remainder of a total_bit-bit message holding ones at bit0 and bit1 over
  // the polynomial whose taps are set (the x^0 term is always present).
  static u32 calculate_error_correction_pattern(u32 total_bit, u32 bit0, u32 bit1,
                                                const bool taps[32]);
  // Digest of length bytes into out (32 and 48 bytes); false when any step
  // of the digest library fails.
  static bool get_sha_256(const u8* data, u32 length, u8* out);
  static bool get_sha_384(const u8* data, u32 length, u8* out);

  // ---- Messages ---------------------------------------------------------

  // Level 0 to 5; values above 5 become 5.
  static void set_debug_level(u32 level);
  static u32 get_debug_level();
  // Flush standard output, then write the line when the debug level is
  // above 0.
  static void print_error_msg(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static void print_warning_msg(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // Flush standard output, then write the line when the debug level is at
  // least 1 and at least level.
  static void print_debug_msg(VARNO_MSG_LEVEL level, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  // Writes one coloured diagnostic line to standard error.
  static void print_msg(VARNO_MSG_TYPE type, const char* format, va_list args);

  // ---- Dump and output files ---------------------------------------------

  // Format 1 opens path for writing as text (truncating) and returns true,
  // leaving the stream failed when the open fails; other formats return
  // false without opening.
  static bool open_ostream_by_type(std::ofstream& stream, const std::string& path,
                                   VARNO_OUTPUT_FORMAT format);
  // Format 1: hexadecimal words of two bytes a line, the comment after the
  // first; format 3: text of bits; other formats write nothing.
  static void dump_to_file(std::ofstream& stream, VARNO_OUTPUT_FORMAT format, const u8* data,
                           u32 size, std::string comment);
  static void print_to_dat(std::ofstream& stream, const u8* data, u32 size, u32 bytes_per_line,
                           std::string comment);
  static void print_bin_to_file(std::ofstream& stream, const u8* data, u32 size);
  static void print_to_raw(std::ofstream& stream, const u8* data, u32 size);
  // Writes bit fields first to last as raw binary; false when the range or a
  // field is invalid (the file is then left alone), or when opening, writing
  // or closing fails.
  static bool write_raw_top_bitstream(VARNO_ITOP_BITSTREAM* top, u32 first, u32 last,
                                      const std::string& path, bool append);
  // Writes nothing and returns true.
  static bool write_dat_top_bitstream(VARNO_ITOP_BITSTREAM* top, u32 first, u32 last,
                                      const std::string& path);

 private:
  static u32 m_debug_level;
};

// A 64-bit fingerprint of a sequence of byte runs, to tell whether bytes
// are still the ones seen before: fast, but no digest (it is not meant to
// hold against collisions made on purpose). The runs' lengths count, so the
// same bytes cut into other runs give another value.
class VARNO_FINGERPRINT {
 public:
  void add(const u8* data, u64 size);
  void add_word(u64 value);
  u64 value() const;

 private:
  u64 m_lanes[4] = {0x243F6A8885A308D3u, 0x13198A2E03707344u, 0xA4093822299F31D0u,
                    0x082EFA98EC4E6C89u};
  u64 m_count = 0;
};

// Passes the module tag "VARNO" and the line to the host's debug channel.
void msg_vdebug_impl(MSG_D_LEVEL level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
