// CRC, error-correction and digest helpers.
//
// All three CRC forms run on one engine: a reflected 32-bit register fed one
// bit at a time, least significant bit of each byte first. The CRC-16 is that
// register with polynomial 0xA001 (its upper half stays zero), and the
// MSB-first CRC-32 is its mirror image: reversing the register, the initial
// value and the polynomial turns one into the other. Whole bytes go through
// slice-by-16 tables for the polynomials in use; only the bits before the
// first and after the last whole byte go bit by bit.
#include <openssl/evp.h>

#include <bit>
#include <cstring>
#include <memory>

#include "varno_assert.h"
#include "varno_util.h"

namespace {

constexpr u32 k_poly_crc16 = 0xA001u;
constexpr u32 k_poly_8801 = 0x88010000u;
constexpr u32 k_poly_edb8 = 0xEDB88320u;

constexpr u32 rev32(u32 v) {
  v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
  v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
  v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
  v = ((v >> 8) & 0x00FF00FFu) | ((v & 0x00FF00FFu) << 8);
  return (v >> 16) | (v << 16);
}

// The reflected MSB-first frame ED-CRC polynomial.
constexpr u32 k_poly_f4ac = rev32(0xF4ACFB13u);

constexpr u32 step(u32 c, u32 bit, u32 poly) {
  const u32 t = (bit ^ c) & 1u;
  c >>= 1;
  return t ? c ^ poly : c;
}

constexpr u32 byte_entry(u32 value, u32 poly) {
  u32 c = value;
  for (int i = 0; i < 8; ++i) c = step(c, 0, poly);
  return c;
}

// t[k][x]: the register contribution of byte x followed by k zero bytes.
struct slice_tables {
  u32 t[16][256];
};

constexpr slice_tables make_tables(u32 poly) {
  slice_tables s{};
  for (u32 i = 0; i < 256; ++i) s.t[0][i] = byte_entry(i, poly);
  for (int k = 1; k < 16; ++k)
    for (u32 i = 0; i < 256; ++i) {
      const u32 prev = s.t[k - 1][i];
      s.t[k][i] = (prev >> 8) ^ s.t[0][prev & 0xFF];
    }
  return s;
}

alignas(64) constexpr slice_tables k_tables_crc16 = make_tables(k_poly_crc16);
alignas(64) constexpr slice_tables k_tables_8801 = make_tables(k_poly_8801);
alignas(64) constexpr slice_tables k_tables_edb8 = make_tables(k_poly_edb8);
alignas(64) constexpr slice_tables k_tables_f4ac = make_tables(k_poly_f4ac);

const slice_tables* tables_for(u32 poly) {
  switch (poly) {
    case k_poly_crc16:
      return &k_tables_crc16;
    case k_poly_8801:
      return &k_tables_8801;
    case k_poly_edb8:
      return &k_tables_edb8;
    case k_poly_f4ac:
      return &k_tables_f4ac;
    default:
      return nullptr;
  }
}

inline u32 load_le32(const u8* p) {
  u32 v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

u32 sliced_bytes(const slice_tables& s, u32 c, const u8* p, u64 m) {
  const auto& t = s.t;
  for (; m >= 16; m -= 16, p += 16) {
    const u32 a = load_le32(p) ^ c;
    const u32 b = load_le32(p + 4);
    const u32 d = load_le32(p + 8);
    const u32 e = load_le32(p + 12);
    c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
        t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
        t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
        t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
  }
  for (; m; --m, ++p) c = (c >> 8) ^ t[0][(c ^ *p) & 0xFF];
  return c;
}

// m zero bytes: only the register feeds the tables.
u32 sliced_zero_bytes(const slice_tables& s, u32 c, u64 m) {
  const auto& t = s.t;
  for (; m >= 16; m -= 16)
    c = t[15][c & 0xFF] ^ t[14][(c >> 8) & 0xFF] ^ t[13][(c >> 16) & 0xFF] ^ t[12][c >> 24];
  for (; m; --m) c = (c >> 8) ^ t[0][c & 0xFF];
  return c;
}

// Whole bytes with any polynomial; a null p means zero bytes.
u32 crc_bytes(const u8* p, u64 m, u32 c, u32 poly) {
  if (const slice_tables* s = tables_for(poly)) {
    return p ? sliced_bytes(*s, c, p, m) : sliced_zero_bytes(*s, c, m);
  }
  if (m >= 64) {
    // Long runs with another polynomial: one byte table pays for itself.
    u32 table[256];
    for (u32 i = 0; i < 256; ++i) table[i] = byte_entry(i, poly);
    for (u64 i = 0; i < m; ++i) c = (c >> 8) ^ table[(c ^ (p ? p[i] : 0u)) & 0xFF];
    return c;
  }
  for (u64 i = 0; i < m; ++i) {
    c ^= p ? p[i] : 0u;
    for (int k = 0; k < 8; ++k) c = step(c, 0, poly);
  }
  return c;
}

// The reflected register over bits o .. o + n - 1 of buf (zeros when buf is
// null).
u32 reflected_crc(const u8* buf, u64 o, u64 n, u32 c, u32 poly) {
  for (; n && (o % 8); ++o, --n) c = step(c, buf ? (buf[o / 8] >> (o % 8)) & 1u : 0u, poly);
  const u64 m = n / 8;
  if (m) {
    c = crc_bytes(buf ? buf + o / 8 : nullptr, m, c, poly);
    o += m * 8;
    n -= m * 8;
  }
  for (; n; ++o, --n) c = step(c, buf ? (buf[o / 8] >> (o % 8)) & 1u : 0u, poly);
  return c;
}

std::array<u32, 256> make_8801_table() {
  std::array<u32, 256> t{};
  for (u32 i = 0; i < 256; ++i) t[i] = k_tables_8801.t[0][i];
  return t;
}

bool digest(const EVP_MD* md, u32 digest_size, const u8* data, u32 length, u8* out) {
  if (md == nullptr || out == nullptr || (data == nullptr && length > 0)) return false;
  // One context per thread, reset by every Init: the top-level bitstream
  // digests thousands of pages one after the other.
  thread_local std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                            &EVP_MD_CTX_free);
  if (!ctx) return false;
  unsigned char result[EVP_MAX_MD_SIZE];
  unsigned int result_size = 0;
  // Every step must succeed: a digest that failed half-way is no digest.
  if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
  if (EVP_DigestUpdate(ctx.get(), data, length) != 1) return false;
  if (EVP_DigestFinal_ex(ctx.get(), result, &result_size) != 1) return false;
  if (result_size != digest_size) return false;
  std::memcpy(out, result, digest_size);
  return true;
}

}  // namespace

const std::array<u32, 256> VARNO_CRC32_8801000_LOOKUP_TABLE = make_8801_table();

u16 VARNO_UTIL::calculate_crc16(const u8* buf, u32 bit_offset, u32 bit_count, u16 init) {
  return static_cast<u16>(reflected_crc(buf, bit_offset, bit_count, init, k_poly_crc16));
}

u32 VARNO_UTIL::lsb_calculate_crc32(const u8* buf, u32 bit_offset, u32 bit_count, u32 init,
                                    u32 poly) {
  return reflected_crc(buf, bit_offset, bit_count, init, poly);
}

u32 VARNO_UTIL::lsb_calculate_crc32_using_88010000_lookup_table(const u8* buf, u32 byte_offset,
                                                                u32 byte_count, u32 init) {
  VARNO_ASSERT_MSG(buf != nullptr && byte_count > 0, "base_address != NULL && num_bytes > 0");
  return sliced_bytes(k_tables_8801, init, buf + byte_offset, byte_count);
}

u32 VARNO_UTIL::msb_calculate_crc32(const u8* buf, u32 bit_offset, u32 bit_count, u32 init,
                                    u32 poly) {
  return rev32(reflected_crc(buf, bit_offset, bit_count, rev32(init), rev32(poly)));
}

u32 VARNO_UTIL::calculate_error_correction_pattern(u32 total_bit, u32 bit0, u32 bit1,
                                                   const bool taps[32]) {
  VARNO_ASSERT_MSG(bit0 < total_bit && bit1 < total_bit, "bit0 < total_bit && bit1 < total_bit");
  VARNO_ASSERT(taps != NULL);
  u32 poly = 1;
  for (u32 k = 1; k < 32; ++k)
    if (taps[k]) poly |= u32{1} << k;
  // The message is zero but for one or two ones: zeros before the first one
  // leave the register clear, the runs of zeros after it need no buffer.
  const u32 rpoly = rev32(poly);
  const u32 lo = bit0 < bit1 ? bit0 : bit1;
  const u32 hi = bit0 < bit1 ? bit1 : bit0;
  u32 c = step(0, 1, rpoly);
  if (hi != lo) {
    c = reflected_crc(nullptr, 0, hi - lo - 1, c, rpoly);
    c = step(c, 1, rpoly);
  }
  c = reflected_crc(nullptr, 0, total_bit - hi - 1, c, rpoly);
  return rev32(c);
}

bool VARNO_UTIL::get_sha_256(const u8* data, u32 length, u8* out) {
  return digest(EVP_sha256(), 32, data, length, out);
}

bool VARNO_UTIL::get_sha_384(const u8* data, u32 length, u8* out) {
  return digest(EVP_sha384(), 48, data, length, out);
}
