// CRCs, error-correction patterns and digests: catalogued check values,
// known answers, and the table-driven paths against the bit-by-bit
// definitions for every start bit and length.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bytes.h"
#include "varno_test.h"
#include "varno_util.h"

namespace {

const u8* text(const char* s) { return reinterpret_cast<const u8*>(s); }

u32 bit_at(const u8* b, u64 i) { return b ? (b[i / 8] >> (i % 8)) & 1u : 0u; }

// The definitions, one bit at a time.
u32 ref_lsb(const u8* b, u64 o, u64 n, u32 c, u32 poly) {
  for (u64 i = o; i < o + n; ++i) {
    const u32 t = bit_at(b, i) ^ (c & 1u);
    c >>= 1;
    if (t) c ^= poly;
  }
  return c;
}

u32 ref_msb(const u8* b, u64 o, u64 n, u32 c, u32 poly) {
  for (u64 i = o; i < o + n; ++i) {
    const u32 t = (bit_at(b, i) << 31) ^ c;
    c <<= 1;
    if (t >> 31) c ^= poly;
  }
  return c;
}

// The shift register of the error-correction pattern, tap by tap.
u32 ref_pattern(u32 total, u32 b0, u32 b1, const bool taps[32]) {
  bool r[32] = {};
  for (u32 i = 0; i < total; ++i) {
    const bool f = (i == b0 || i == b1) != r[31];
    for (int k = 31; k >= 1; --k) r[k] = (f && taps[k]) != r[k - 1];
    r[0] = f;
  }
  u32 v = 0;
  for (int k = 0; k < 32; ++k) v |= u32{r[k]} << k;
  return v;
}

void taps_of(u32 poly, bool taps[32]) {
  for (int k = 0; k < 32; ++k) taps[k] = (poly >> k) & 1u;
}

}  // namespace

TEST(UtilCrc, CatalogueCheckValues) {
  const u8* check = text("123456789");
  const u8* abc = text("abc");
  EXPECT_EQ(VARNO_UTIL::calculate_crc16(check, 0, 72, 0xFFFF), 0x4B37);  // CRC-16/MODBUS
  EXPECT_EQ(VARNO_UTIL::calculate_crc16(check, 0, 72, 0x0000), 0xBB3D);  // CRC-16/ARC
  EXPECT_EQ(VARNO_UTIL::calculate_crc16(abc, 0, 24, 0xFFFF), 0x5749);
  // CRC-32/JAMCRC: the published CRC-32 without its final inversion.
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32(check, 0, 72, 0xFFFFFFFFu, 0xEDB88320u), 0x340BC6D9u);
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32(abc, 0, 24, 0xFFFFFFFFu, 0xEDB88320u), 0xCADBBE3Du);
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32(check, 0, 72, 0, 0x88010000u), 0x16737108u);
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32(abc, 0, 24, 0, 0x88010000u), 0xAB7505D4u);
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32(abc, 4, 12, 0, 0x88010000u), 0x6446C4C0u);
  EXPECT_EQ(VARNO_UTIL::msb_calculate_crc32(check, 0, 72, 0, 0x8011u), 0x108ECE68u);
  EXPECT_EQ(VARNO_UTIL::msb_calculate_crc32(abc, 0, 24, 0, 0x8011u), 0x2BA0AED5u);
  EXPECT_EQ(VARNO_UTIL::msb_calculate_crc32(check, 0, 72, 1, 0xF4ACFB13u), 0xE8A12785u);
  EXPECT_EQ(VARNO_UTIL::msb_calculate_crc32(abc, 0, 24, 1, 0xF4ACFB13u), 0x703C1907u);
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32_using_88010000_lookup_table(check, 0, 9, 0),
            0x16737108u);
  // Bits 3..15 of "abc": a run that starts and ends inside bytes.
  EXPECT_EQ(VARNO_UTIL::calculate_crc16(abc, 3, 13, 0xFFFF), 0x69AD);

  EXPECT_EQ(VARNO_CRC32_8801000_LOOKUP_TABLE[1], 0x01100200u);
  EXPECT_EQ(VARNO_CRC32_8801000_LOOKUP_TABLE[128], 0x88010000u);
  EXPECT_EQ(VARNO_CRC32_8801000_LOOKUP_TABLE[255], 0xF0F1FE00u);
}

TEST(UtilCrc, EmptyRunsChainingAndNullBuffers) {
  const u8* check = text("123456789");
  EXPECT_EQ(VARNO_UTIL::calculate_crc16(check, 5, 0, 0x1234), 0x1234);
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32(check, 5, 0, 0xCAFEu, 0x88010000u), 0xCAFEu);
  EXPECT_EQ(VARNO_UTIL::msb_calculate_crc32(check, 5, 0, 0xCAFEu, 0x8011u), 0xCAFEu);

  const u32 part = VARNO_UTIL::lsb_calculate_crc32(check, 0, 13, 0xFFFFFFFFu, 0xEDB88320u);
  EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32(check, 13, 59, part, 0xEDB88320u), 0x340BC6D9u);

  // A null buffer is a run of zero bits, on the table paths too.
  const BYTES zeros(300, 0);
  for (u32 n : {0u, 7u, 8u, 800u, 2395u}) {
    EXPECT_EQ(VARNO_UTIL::lsb_calculate_crc32(nullptr, 0, n, 0x12345678u, 0x88010000u),
              VARNO_UTIL::lsb_calculate_crc32(zeros.data(), 0, n, 0x12345678u, 0x88010000u));
    EXPECT_EQ(VARNO_UTIL::msb_calculate_crc32(nullptr, 0, n, 1, 0xF4ACFB13u),
              ref_msb(zeros.data(), 0, n, 1, 0xF4ACFB13u));
    EXPECT_EQ(VARNO_UTIL::calculate_crc16(nullptr, 0, n, 0xFFFF),
              VARNO_UTIL::calculate_crc16(zeros.data(), 0, n, 0xFFFF));
  }
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::lsb_calculate_crc32_using_88010000_lookup_table(nullptr, 0, 4, 0),
                        "base_address != NULL && num_bytes > 0");
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::lsb_calculate_crc32_using_88010000_lookup_table(check, 0, 0, 0),
                        "base_address != NULL && num_bytes > 0");
}

// The sliced paths against the definitions over random runs: every start bit
// within a word, lengths across the 16-byte blocks, each polynomial in use
// and two that have no precomputed tables.
TEST(UtilCrc, FastPathsMatchReference) {
  std::mt19937 rng(777);
  const u32 lsb_polys[] = {0xEDB88320u, 0x88010000u, 0xA001u, 0x82F63B78u};
  const u32 msb_polys[] = {0x8011u, 0xF4ACFB13u, 0x04C11DB7u};
  BYTES buf(700);
  for (int iter = 0; iter < 1500; ++iter) {
    for (auto& x : buf) x = static_cast<u8>(rng());
    const u32 o = rng() % 64;
    const u32 n = (iter % 3 == 0) ? rng() % 5000 : rng() % 300;
    const u32 init = rng();
    for (u32 p : lsb_polys) {
      ASSERT_EQ(VARNO_UTIL::lsb_calculate_crc32(buf.data(), o, n, init, p),
                ref_lsb(buf.data(), o, n, init, p))
          << std::hex << p << std::dec << " o=" << o << " n=" << n;
    }
    for (u32 p : msb_polys) {
      ASSERT_EQ(VARNO_UTIL::msb_calculate_crc32(buf.data(), o, n, init, p),
                ref_msb(buf.data(), o, n, init, p))
          << std::hex << p << std::dec << " o=" << o << " n=" << n;
    }
    ASSERT_EQ(VARNO_UTIL::calculate_crc16(buf.data(), o, n, static_cast<u16>(init)),
              ref_lsb(buf.data(), o, n, init & 0xFFFF, 0xA001u));
    if (n >= 8) {
      const u32 m = n / 8;
      ASSERT_EQ(VARNO_UTIL::lsb_calculate_crc32_using_88010000_lookup_table(buf.data(), o, m, init),
                ref_lsb(buf.data(), u64{o} * 8, u64{m} * 8, init, 0x88010000u));
      // Independent of both: the published CRC-32 of the same bytes.
      const u32 z = static_cast<u32>(crc32(0, buf.data() + o, m));
      ASSERT_EQ(VARNO_UTIL::lsb_calculate_crc32(buf.data(), o * 8, m * 8, 0xFFFFFFFFu,
                                                0xEDB88320u) ^
                    0xFFFFFFFFu,
                z);
    }
  }
}

TEST(UtilCrc, ErrorCorrectionPattern) {
  bool taps[32];
  taps_of(0x8011u, taps);
  EXPECT_EQ(VARNO_UTIL::calculate_error_correction_pattern(8, 7, 7, taps), 0x8011u);
  EXPECT_EQ(VARNO_UTIL::calculate_error_correction_pattern(100, 0, 99, taps), 0xA008C091u);
  taps_of(0xF4ACFB13u, taps);
  EXPECT_EQ(VARNO_UTIL::calculate_error_correction_pattern(32, 3, 17, taps), 0x77C3343Bu);
  taps_of(0x04C11DB7u, taps);
  EXPECT_EQ(VARNO_UTIL::calculate_error_correction_pattern(5, 2, 2, taps), 0x130476DCu);
  taps[0] = false;  // the x^0 term is always present
  EXPECT_EQ(VARNO_UTIL::calculate_error_correction_pattern(5, 2, 2, taps), 0x130476DCu);

  std::mt19937 rng(5);
  for (int iter = 0; iter < 300; ++iter) {
    taps_of(rng(), taps);
    const u32 total = 1 + rng() % 3000;
    const u32 b0 = rng() % total, b1 = (iter % 5 == 0) ? b0 : rng() % total;
    ASSERT_EQ(VARNO_UTIL::calculate_error_correction_pattern(total, b0, b1, taps),
              ref_pattern(total, b0, b1, taps))
        << total << " " << b0 << " " << b1;
  }
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::calculate_error_correction_pattern(8, 8, 0, taps),
                        "bit0 < total_bit && bit1 < total_bit");
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::calculate_error_correction_pattern(8, 0, 9, taps),
                        "bit0 < total_bit && bit1 < total_bit");
}

TEST(UtilCrc, ShaKnownAnswers) {
  struct vec {
    std::string msg, sha256, sha384;
  };
  const vec vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f1"
       "4898b95b"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
       "34c825a7"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
       "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1f"
       "e3c8452b"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
       "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd8"
       "7f3d8985"},
  };
  for (const vec& v : vectors) {
    u8 out[48];
    const u8* data = reinterpret_cast<const u8*>(v.msg.data());
    const u32 len = static_cast<u32>(v.msg.size());
    ASSERT_TRUE(VARNO_UTIL::get_sha_256(data, len, out));
    EXPECT_EQ(hex(out, 32), v.sha256);
    ASSERT_TRUE(VARNO_UTIL::get_sha_384(data, len, out));
    EXPECT_EQ(hex(out, 48), v.sha384);
  }
  u8 out[48];
  EXPECT_TRUE(VARNO_UTIL::get_sha_256(nullptr, 0, out));
  EXPECT_EQ(hex(out, 32), vectors[0].sha256);
  EXPECT_FALSE(VARNO_UTIL::get_sha_256(nullptr, 4, out));
  EXPECT_FALSE(VARNO_UTIL::get_sha_384(text("abc"), 3, nullptr));
}
