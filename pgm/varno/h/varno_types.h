// Basic types and constants shared by the whole module.
#pragma once

#include <cstdint>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;
using i64 = std::int64_t;
using BYTE = std::uint8_t;

// An unset 32-bit count, width or index.
inline constexpr u32 VARNO_INVALID_DWORD = 0xFFFFFFFFu;

// Results of option-bit writes.
inline constexpr u32 VARNO_NO_ERROR = 0;
inline constexpr u32 VARNO_ERROR_OB_SIZE = 5;
inline constexpr u32 VARNO_ERROR_OB_NOT_FOUND = 6;

// Output formats of dumps and bitstream files.
enum VARNO_OUTPUT_FORMAT : u32 {
  VARNO_OUTPUT_FORMAT_DAT = 1,       // text of hexadecimal words
  VARNO_OUTPUT_FORMAT_RAW = 2,       // raw binary
  VARNO_OUTPUT_FORMAT_BIT_TEXT = 3,  // text of bits
};
