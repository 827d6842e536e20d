// Bit, byte and word helpers: worked examples, the fast copy paths against a
// bit-by-bit reference, and the checks that keep indexes inside their arrays.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bytes.h"
#include "varno_test.h"
#include "varno_util.h"
#include "vold.h"

namespace {

bool ref_get(const u8* b, u64 i) { return (b[i / 8] >> (i % 8)) & 1u; }
void ref_put(u8* b, u64 i, bool v) {
  if (v)
    b[i / 8] |= static_cast<u8>(1u << (i % 8));
  else
    b[i / 8] &= static_cast<u8>(~(1u << (i % 8)));
}

// The definition: forward, one bit at a time.
void ref_copy(const u8* s, u64 so, u8* d, u64 dof, u64 n, bool straight) {
  for (u64 i = 0; i < n; ++i) ref_put(d, dof + i, ref_get(s, so + i) == straight);
}

// The definition of the reversed copy: source bits from the top down.
void ref_reverse(const u8* s, u64 so, u8* d, u64 dof, u64 n, bool straight) {
  for (u64 j = so + n; j-- > so;) ref_put(d, dof + (so + n - 1 - j), ref_get(s, j) == straight);
}

BYTES random_bytes(std::mt19937& rng, size_t n) {
  BYTES b(n);
  for (auto& x : b) x = static_cast<u8>(rng());
  return b;
}

}  // namespace

TEST(UtilBits, CopyExamples) {
  const u8 src = 0xB5;
  u8 dest = 0;
  VARNO_UTIL::bit_copy(&src, 0, &dest, 3, 5, true);
  EXPECT_EQ(dest, 0xA8);
  dest = 0x07;  // bits 0..2 must survive the complemented copy
  VARNO_UTIL::bit_copy(&src, 0, &dest, 3, 5, false);
  EXPECT_EQ(dest, 0x57);

  const BYTES s = {0x00, 0x11, 0x22, 0x33};
  BYTES d(5, 0xEE);
  VARNO_UTIL::bit_copy(s.data(), 8, d.data(), 16, 24, true);
  EXPECT_EQ(d, (BYTES{0xEE, 0xEE, 0x11, 0x22, 0x33}));
  d.assign(5, 0xEE);
  VARNO_UTIL::bit_copy(s.data(), 8, d.data(), 16, 20, true);
  EXPECT_EQ(d, (BYTES{0xEE, 0xEE, 0x11, 0x22, 0xE3}));

  const u8 one = 0x01;
  u8 out = 0;
  VARNO_UTIL::reverse_bit_copy(&one, 0, &out, 0, 8, true);
  EXPECT_EQ(out, 0x80);
  out = 0;
  VARNO_UTIL::reverse_bit_copy(&one, 0, &out, 0, 8, false);
  EXPECT_EQ(out, 0x7F);

  const BYTES r = {0x01, 0x02, 0x03};
  BYTES rd(6, 0);
  VARNO_UTIL::reverse_byte_copy(r.data(), 0, rd.data(), 2, 3, true);
  EXPECT_EQ(rd, (BYTES{0, 0, 0x03, 0x02, 0x01, 0}));
  VARNO_UTIL::reverse_byte_copy(r.data(), 0, rd.data(), 2, 3, false);
  EXPECT_EQ(rd, (BYTES{0, 0, 0xFC, 0xFD, 0xFE, 0}));

  BYTES bd = {0x00, 0xFF, 0x0F};
  VARNO_UTIL::byte_copy(r.data(), 1, bd.data(), 1, 2, false);
  EXPECT_EQ(bd, (BYTES{0x00, 0xFD, 0xFC}));

  u8 set = 0x01;
  const u8 ors = 0x0A;
  VARNO_UTIL::bit_set(&ors, 1, &set, 4, 3);  // source bits 1..3 = 1,0,1
  EXPECT_EQ(set, 0x51);
}

// Every (offset, length) pair the fast paths distinguish, on buffers sized to
// the run so that any read or write outside it trips the address sanitizer.
TEST(UtilBits, FastPathsMatchReference) {
  std::mt19937 rng(1234);
  for (int iter = 0; iter < 6000; ++iter) {
    const u32 so = rng() % 40;
    const u32 dof = rng() % 40;
    const u32 n = (iter % 4 == 0) ? rng() % 1200 : rng() % 150;
    const bool straight = rng() & 1;
    const BYTES src = random_bytes(rng, (so + n + 7) / 8);
    BYTES got = random_bytes(rng, (dof + n + 7) / 8);
    BYTES want = got;
    BYTES or_got = got;
    BYTES or_want = got;
    VARNO_UTIL::bit_copy(src.data(), so, got.data(), dof, n, straight);
    ref_copy(src.data(), so, want.data(), dof, n, straight);
    ASSERT_EQ(got, want) << "so=" << so << " do=" << dof << " n=" << n << " s=" << straight;

    VARNO_UTIL::reverse_bit_copy(src.data(), so, got.data(), dof, n, straight);
    ref_reverse(src.data(), so, want.data(), dof, n, straight);
    ASSERT_EQ(got, want) << "reverse so=" << so << " do=" << dof << " n=" << n;

    VARNO_UTIL::bit_set(src.data(), so, or_got.data(), dof, n);
    for (u64 i = 0; i < n; ++i)
      if (ref_get(src.data(), so + i)) ref_put(or_want.data(), dof + i, true);
    ASSERT_EQ(or_got, or_want) << "so=" << so << " do=" << dof << " n=" << n;

    bool all = true;
    for (u64 i = 0; i < n; ++i) all = all && ref_get(src.data(), so + i);
    ASSERT_EQ(VARNO_UTIL::all_bits_set(src.data(), so, n), all);
  }
}

// Any one bit changed, anywhere in any run, changes the fingerprint; the
// same runs give the same value, the same bytes cut otherwise another one.
TEST(UtilBits, FingerprintSeesEveryChangedBit) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 300; ++trial) {
    BYTES a = random_bytes(rng, 1 + rng() % 150), b = random_bytes(rng, rng() % 90);
    const auto of = [&](size_t cut) {
      VARNO_FINGERPRINT fp;
      fp.add(a.data(), cut);
      fp.add(a.data() + cut, a.size() - cut);
      fp.add(b.data(), b.size());
      return fp.value();
    };
    const u64 before = of(a.size() / 2);
    EXPECT_EQ(of(a.size() / 2), before);
    if (a.size() > 1) {
      EXPECT_NE(of(a.size() / 2 + 1), before);
    }
    const size_t bit = rng() % (a.size() * 8);
    a[bit / 8] ^= static_cast<u8>(1u << (bit % 8));
    EXPECT_NE(of(a.size() / 2), before) << trial;
  }
}

TEST(UtilBits, AllBitsSetLongRuns) {
  BYTES b(40, 0xFF);
  EXPECT_TRUE(VARNO_UTIL::all_bits_set(b.data(), 3, 300));
  EXPECT_TRUE(VARNO_UTIL::all_bits_set(nullptr, 0, 0));
  b[30] = 0xEF;  // bit 244
  EXPECT_FALSE(VARNO_UTIL::all_bits_set(b.data(), 3, 300));
  EXPECT_TRUE(VARNO_UTIL::all_bits_set(b.data(), 3, 241));
  EXPECT_FALSE(VARNO_UTIL::all_bits_set(b.data(), 3, 242));
}

// Copies within one buffer keep the bit-by-bit meaning of their definitions.
TEST(UtilBits, OverlappingCopyIsForward) {
  std::mt19937 rng(99);
  for (int iter = 0; iter < 500; ++iter) {
    BYTES got = random_bytes(rng, 24);
    BYTES want = got;
    const u32 so = rng() % 64, dof = rng() % 64;
    u32 n = 1 + rng() % 120;
    if (so % 8 == 0 && dof % 8 == 0 && n % 8 == 0) ++n;  // whole bytes go through byte_copy
    const bool straight = rng() & 1;
    VARNO_UTIL::bit_copy(got.data(), so, got.data(), dof, n, straight);
    ref_copy(want.data(), so, want.data(), dof, n, straight);
    ASSERT_EQ(got, want) << so << " " << dof << " " << n;
    VARNO_UTIL::reverse_bit_copy(got.data(), so, got.data(), dof, n, straight);
    ref_reverse(want.data(), so, want.data(), dof, n, straight);
    ASSERT_EQ(got, want) << "reverse " << so << " " << dof << " " << n;
  }
}

TEST(UtilBits, SmallHelpers) {
  EXPECT_EQ(VARNO_UTIL::count_ones(0xFF), 8u);
  EXPECT_EQ(VARNO_UTIL::count_ones(0xA4), 3u);
  u16 idx[32] = {};
  EXPECT_EQ(VARNO_UTIL::get_mask_idx(idx, 0x80000001u), 2u);
  EXPECT_EQ(idx[0], 0);
  EXPECT_EQ(idx[1], 31);
  EXPECT_EQ(VARNO_UTIL::get_mask_idx(idx, 0), 0u);

  u8 a = 0x01, b = 0x00;
  VARNO_UTIL::swap_bits(&a, 0, &b, 7);
  EXPECT_EQ(a, 0x00);
  EXPECT_EQ(b, 0x80);
  VARNO_UTIL::swap_bits(&a, 3, &b, 3);  // equal bits: nothing changes
  EXPECT_EQ(a, 0x00);
  EXPECT_EQ(b, 0x80);
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::swap_bits(&a, 8, &b, 0), "bit_a < 8 && bit_b < 8");

  u8 w[8] = {};
  VARNO_UTIL::write_dword_safely(0x88010000u, w);
  EXPECT_EQ(BYTES(w, w + 4), (BYTES{0x00, 0x00, 0x01, 0x88}));
  EXPECT_EQ(VARNO_UTIL::get_dword_from_address(w), 0x88010000u);
  VARNO_UTIL::write_qword_safely(0x0102030405060708ull, w);
  EXPECT_EQ(BYTES(w, w + 8), (BYTES{8, 7, 6, 5, 4, 3, 2, 1}));
  VARNO_UTIL::write_word_safely(0xBEEF, w);
  EXPECT_EQ(w[0], 0xEF);
  EXPECT_EQ(w[1], 0xBE);

  EXPECT_EQ(VARNO_UTIL::hexvalue('7'), 7);
  EXPECT_EQ(VARNO_UTIL::hexvalue('a'), 10);
  EXPECT_EQ(VARNO_UTIL::hexvalue('F'), 15);
  EXPECT_EQ(VARNO_UTIL::convert_dword_to_hex_string(0xEDB88320u), "EDB88320");
  EXPECT_EQ(VARNO_UTIL::convert_dword_to_hex_string(0x1A2Bu), "00001A2B");
  EXPECT_EQ(VARNO_UTIL::convert_dword_to_hex_string(0), "00000000");
}

TEST(UtilBits, BitLocationInRegion) {
  u16 pos[32];
  const u16 k = static_cast<u16>(VARNO_UTIL::get_mask_idx(pos, 0x0000FF00u));  // 8 .. 15
  // Row order: n = 3 -> word 2, position 11 -> (2*4 + 1)*8 + 3.
  EXPECT_EQ(VARNO_UTIL::get_bit_location_in_region(4, 16, 2, 3, 8, k, pos, false, 0), 75u);
  // Next word after the eight mask positions: n = 8 -> word 3, position 8.
  EXPECT_EQ(VARNO_UTIL::get_bit_location_in_region(4, 16, 2, 0, 9, k, pos, false, 8), 104u);
  // Column order over the 4 words 2..5: bit 5 -> word 3, position pos[1] = 9.
  EXPECT_EQ(VARNO_UTIL::get_bit_location_in_region(4, 24, 2, 0, 8, k, pos, true, 5), 105u);

  EXPECT_INTERNAL_ERROR(VARNO_UTIL::get_bit_location_in_region(4, 16, 2, 3, 8, k, pos, false, 8),
                        "bit_no < reg_bit_cnt");
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::get_bit_location_in_region(0, 16, 2, 3, 8, k, pos, false, 0),
                        "word_bytes > 0");
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::get_bit_location_in_region(4, 16, 2, 3, 8, 0, pos, false, 0),
                        "mask_bit_cnt > 0 && mask_pos != NULL");
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::get_bit_location_in_region(4, 8, 2, 0, 8, k, pos, true, 0),
                        "first_word < image_words");
  // 4 words x 8 positions hold 32 bits; bit 32 would read past the positions.
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::get_bit_location_in_region(4, 24, 2, 0, 40, k, pos, true, 32),
                        "pos_index < mask_bit_cnt");
  // Row order past the image end.
  EXPECT_INTERNAL_ERROR(
      VARNO_UTIL::get_bit_location_in_region(4, 16, 2, 0, 100, k, pos, false, 16),
      "location < image_bytes * 8");
}

TEST(UtilBits, OptionValueFromList) {
  auto make = [](u32 type, BYTES value, u32 bits) {
    VOLD_OB_DATA ob;
    ob.type = type;
    ob.value = std::move(value);
    ob.value_bits = bits;
    return ob;
  };
  VOLD_OB_DATA a = make(VOLD_OB_DATA_JTAG_ID, {0x05}, 3);  // 101b
  VOLD_OB_DATA other = make(VOLD_OB_DATA_DUMMY1, {0xFF}, 8);
  VOLD_OB_DATA b = make(VOLD_OB_DATA_JTAG_ID, {0x03}, 2);  // 11b
  std::vector<VOLD_OB_DATA*> list = {&a, &other, &b};
  bool found = false;
  EXPECT_EQ(VARNO_UTIL::get_ob_value_from_ob_list(&list, VOLD_OB_DATA_JTAG_ID, &found), 0x1Du);
  EXPECT_TRUE(found);
  EXPECT_EQ(VARNO_UTIL::get_ob_value_from_ob_list(&list, VOLD_OB_DATA_DUMMY2, &found), 0u);
  EXPECT_FALSE(found);
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::get_ob_value_from_ob_list(&list, VOLD_OB_DATA_DUMMY2, nullptr),
                        "found_ob || found != NULL");
  EXPECT_INTERNAL_ERROR(VARNO_UTIL::get_ob_value_from_ob_list(nullptr, VOLD_OB_DATA_DUMMY2, &found),
                        "ob_list != NULL");
  VOLD_OB_DATA wide = make(VOLD_OB_DATA_JTAG_ID, {0xFF, 0xFF, 0xFF, 0xFF}, 32);
  std::vector<VOLD_OB_DATA*> too_long = {&wide, &b};
  EXPECT_INTERNAL_ERROR(
      VARNO_UTIL::get_ob_value_from_ob_list(&too_long, VOLD_OB_DATA_JTAG_ID, &found),
      "ob_data != NULL && length > 0 && length <= 32 && dest_index <= 32 && "
      "(dest_index + length) <= 32");
  std::vector<VOLD_OB_DATA*> just_wide = {&wide};
  EXPECT_EQ(VARNO_UTIL::get_ob_value_from_ob_list(&just_wide, VOLD_OB_DATA_JTAG_ID, nullptr),
            0xFFFFFFFFu);
}
