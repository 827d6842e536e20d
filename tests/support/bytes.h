// Byte helpers shared by the tests: byte strings, little-endian words,
// joining and cutting pieces, reading words back, a hex text for messages,
// and the CRC-16 of frame trailers and option blocks.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "varno_types.h"

using BYTES = std::vector<u8>;

// The four bytes of v, least significant first.
inline BYTES le32(u32 v) {
  return {static_cast<u8>(v), static_cast<u8>(v >> 8), static_cast<u8>(v >> 16),
          static_cast<u8>(v >> 24)};
}

// The pieces one after the other.
inline BYTES concat(std::initializer_list<BYTES> parts) {
  BYTES out;
  for (const BYTES& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Appends the four bytes of v, or the bytes of b.
inline void put(BYTES& out, u32 v) {
  const BYTES w = le32(v);
  out.insert(out.end(), w.begin(), w.end());
}
inline void put(BYTES& out, const BYTES& b) { out.insert(out.end(), b.begin(), b.end()); }

// The words one after the other, each least significant byte first.
inline BYTES words(const std::vector<u32>& values) {
  BYTES out;
  for (u32 v : values) put(out, v);
  return out;
}
inline BYTES zeros(size_t n) { return BYTES(n, 0); }
// The n bytes of data from byte from.
inline BYTES slice(const BYTES& data, size_t from, size_t n) {
  return BYTES(data.begin() + static_cast<std::ptrdiff_t>(from),
               data.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// The little-endian word at byte at of b.
inline u32 read_le16(const BYTES& b, size_t at) { return b.at(at) | u32{b.at(at + 1)} << 8; }
inline u32 read_le32(const BYTES& b, size_t at) {
  return read_le16(b, at) | read_le16(b, at + 2) << 16;
}
inline u32 read_le32(const u8* p) {
  return p[0] | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24;
}

// Lower-case hex digits, two a byte, no separators ("0a1b..."): digests
// compare with their published texts, bytes read well in failure messages.
inline std::string hex(const u8* d, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}
inline std::string hex(const BYTES& b) { return hex(b.data(), b.size()); }

// The reflected CRC-16 (polynomial 0xA001) of the bytes, least significant
// bit first, worked bit by bit apart from the library's table. It gives
// 0x4B37 over "123456789".
inline u16 crc16(const BYTES& bytes, u16 crc = 0xFFFF) {
  for (u8 b : bytes) {
    for (u32 i = 0; i < 8; ++i) {
      const bool x = (((b >> i) ^ crc) & 1) != 0;
      crc = static_cast<u16>(crc >> 1);
      if (x) crc ^= 0xA001;
    }
  }
  return crc;
}
