// Bit, byte and word helpers.
#include "varno_util.h"

#include <bit>
#include <cctype>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "mem.h"
#include "varno_assert.h"
#include "vold.h"

namespace {

// Little-endian 64-bit load and store without alignment requirements.
inline u64 load_le64(const u8* p) {
  u64 v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline void store_le64(u8* p, u64 v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

inline u64 low_mask(u32 n) { return n >= 64 ? ~u64{0} : (u64{1} << n) - 1; }

// Reads n (at most 56) bits at bit position pos, touching only the bytes that
// hold them.
inline u64 read_bits(const u8* src, u64 pos, u32 n) {
  const u8* p = src + pos / 8;
  const u32 shift = static_cast<u32>(pos % 8);
  const u32 bytes = (shift + n + 7) / 8;
  u64 v = 0;
  for (u32 i = 0; i < bytes; ++i) v |= static_cast<u64>(p[i]) << (8 * i);
  return (v >> shift) & low_mask(n);
}

inline bool get_bit(const u8* buf, u64 pos) { return (buf[pos / 8] >> (pos % 8)) & 1u; }

inline void put_bit(u8* buf, u64 pos, bool value) {
  const u8 m = static_cast<u8>(1u << (pos % 8));
  if (value)
    buf[pos / 8] |= m;
  else
    buf[pos / 8] &= static_cast<u8>(~m);
}

// True when the byte ranges [a, a + na) and [b, b + nb) share a byte.
inline bool ranges_overlap(const u8* a, u64 na, const u8* b, u64 nb) {
  const auto ia = reinterpret_cast<std::uintptr_t>(a);
  const auto ib = reinterpret_cast<std::uintptr_t>(b);
  return ia < ib + nb && ib < ia + na;
}

inline bool bit_runs_overlap(const u8* src, u64 s, const u8* dest, u64 d, u64 n) {
  return ranges_overlap(src + s / 8, (s % 8 + n + 7) / 8, dest + d / 8, (d % 8 + n + 7) / 8);
}

// Forward bit-by-bit copy: the reference behaviour, also the one that
// defines copies between overlapping runs.
void bit_copy_slow(const u8* src, u64 s, u8* dest, u64 d, u64 n, bool straight) {
  for (u64 i = 0; i < n; ++i) put_bit(dest, d + i, get_bit(src, s + i) == straight);
}

enum class bit_op { assign, assign_inverted, or_into };

template <bit_op OP>
inline u64 apply(u64 dest, u64 value, u64 mask) {
  if constexpr (OP == bit_op::assign) return (dest & ~mask) | (value & mask);
  if constexpr (OP == bit_op::assign_inverted) return (dest & ~mask) | (~value & mask);
  return dest | (value & mask);
}

// Word-wise combination of a source bit run into a destination bit run that
// do not overlap. Reads and writes only the bytes that hold the runs.
template <bit_op OP>
void combine_bits(const u8* src, u64 s, u8* dest, u64 d, u64 n) {
  // Bring the destination to a byte boundary.
  u32 head = static_cast<u32>((8 - d % 8) % 8);
  if (head > n) head = static_cast<u32>(n);
  if (head) {
    const u64 v = read_bits(src, s, head);
    const u32 dshift = static_cast<u32>(d % 8);
    u8& byte = dest[d / 8];
    byte = static_cast<u8>(apply<OP>(byte, v << dshift, low_mask(head) << dshift));
    s += head;
    d += head;
    n -= head;
  }
  if (n == 0) return;

  const u8* p = src + s / 8;
  u8* q = dest + d / 8;
  const u32 shift = static_cast<u32>(s % 8);
  u64 bytes = n / 8;
  const u32 tail = static_cast<u32>(n % 8);

  if (shift == 0) {
    if constexpr (OP == bit_op::assign) {
      std::memcpy(q, p, bytes);
      p += bytes;
      q += bytes;
      bytes = 0;
    }
    for (; bytes >= 8; bytes -= 8, p += 8, q += 8)
      store_le64(q, apply<OP>(load_le64(q), load_le64(p), ~u64{0}));
    for (; bytes; --bytes, ++p, ++q) *q = static_cast<u8>(apply<OP>(*q, *p, 0xFF));
  } else {
    // Each 8 destination bytes take 9 source bytes, all inside the run.
    for (; bytes >= 8; bytes -= 8, p += 8, q += 8) {
      const u64 v = (load_le64(p) >> shift) | (static_cast<u64>(p[8]) << (64 - shift));
      if constexpr (OP == bit_op::or_into)
        store_le64(q, load_le64(q) | v);
      else
        store_le64(q, OP == bit_op::assign ? v : ~v);
    }
    for (; bytes; --bytes, ++p, ++q) {
      const u32 v = (static_cast<u32>(p[0]) >> shift) | (static_cast<u32>(p[1]) << (8 - shift));
      *q = static_cast<u8>(apply<OP>(*q, v, 0xFF));
    }
  }
  if (tail) {
    const u64 v = read_bits(p, shift, tail);
    *q = static_cast<u8>(apply<OP>(*q, v, low_mask(tail)));
  }
}

// The 64 bits of v in reverse order.
inline u64 reverse_bits64(u64 v) {
  v = __builtin_bswap64(v);
  v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
  v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
  return ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
}

// reverse_bit_copy's word loop, two words at a time where the processor has
// byte shuffles: destination word j (at q + 8j) is the reversed source word
// at p - 8j shifted up by shift, with the top bits of the word before it
// (upper for j = 0). Returns the words done (an even number, 0 without the
// shuffles) and leaves upper at the last word's reversed source.
#if defined(__x86_64__) && !defined(VARNO_NO_WIDE_REVERSE)
__attribute__((target("ssse3"))) u64 reverse_words_ssse3(const u8* p, u8* q, u64 words, u32 shift,
                                                          u64 flip, u64& upper) {
  const __m128i byte_order = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  // Each nibble reversed, for the low nibble (into the high) and the high.
  const __m128i rev_lo = _mm_set_epi8(
      static_cast<char>(0xF0), 0x70, static_cast<char>(0xB0), 0x30, static_cast<char>(0xD0), 0x50,
      static_cast<char>(0x90), 0x10, static_cast<char>(0xE0), 0x60, static_cast<char>(0xA0), 0x20,
      static_cast<char>(0xC0), 0x40, static_cast<char>(0x80), 0x00);
  const __m128i rev_hi = _mm_set_epi8(0x0F, 0x07, 0x0B, 0x03, 0x0D, 0x05, 0x09, 0x01, 0x0E, 0x06,
                                      0x0A, 0x02, 0x0C, 0x04, 0x08, 0x00);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i up = _mm_cvtsi32_si128(static_cast<int>(shift));
  const __m128i down = _mm_cvtsi32_si128(static_cast<int>(64 - shift));  // 64 gives 0
  const __m128i invert = _mm_set1_epi64x(static_cast<long long>(flip));
  __m128i prev = _mm_set_epi64x(static_cast<long long>(upper), 0);
  u64 done = 0;
  for (; words - done >= 2; done += 2, p -= 16, q += 16) {
    // Source words p - 8 and p, byte order reversed: lane 0 is the word at p.
    __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 8)), byte_order);
    v = _mm_or_si128(_mm_shuffle_epi8(rev_lo, _mm_and_si128(v, nibble)),
                     _mm_shuffle_epi8(rev_hi, _mm_and_si128(_mm_srli_epi16(v, 4), nibble)));
    const __m128i before = _mm_alignr_epi8(v, prev, 8);  // the upper half of each word
    const __m128i out = _mm_or_si128(_mm_sll_epi64(v, up), _mm_srl_epi64(before, down));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_xor_si128(out, invert));
    prev = v;
  }
  if (done > 0) upper = static_cast<u64>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(prev, prev)));
  return done;
}

u64 reverse_words_wide(const u8* p, u8* q, u64 words, u32 shift, u64 flip, u64& upper) {
  static const bool have_ssse3 = __builtin_cpu_supports("ssse3");
  return have_ssse3 ? reverse_words_ssse3(p, q, words, shift, flip, upper) : 0;
}
#else
u64 reverse_words_wide(const u8*, u8*, u64, u32, u64, u64&) { return 0; }
#endif

constexpr u8 k_nibble_ones[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

}  // namespace

void VARNO_UTIL::bit_copy(const u8* src, u32 src_bit, u8* dest, u32 dest_bit, u32 count,
                          bool straight) {
  if (count == 0) return;
  if (src_bit % 8 == 0 && dest_bit % 8 == 0 && count % 8 == 0) {
    byte_copy(src, src_bit / 8, dest, dest_bit / 8, count / 8, straight);
    return;
  }
  if (bit_runs_overlap(src, src_bit, dest, dest_bit, count)) {
    bit_copy_slow(src, src_bit, dest, dest_bit, count, straight);
    return;
  }
  if (straight)
    combine_bits<bit_op::assign>(src, src_bit, dest, dest_bit, count);
  else
    combine_bits<bit_op::assign_inverted>(src, src_bit, dest, dest_bit, count);
}

void VARNO_UTIL::byte_copy(const u8* src, u32 src_byte, u8* dest, u32 dest_byte, u32 count,
                           bool straight) {
  if (count == 0) return;
  const u8* p = src + src_byte;
  u8* q = dest + dest_byte;
  if (straight) {
    memcpy_s(q, count, p, count);
    return;
  }
  u64 n = count;
  if (!ranges_overlap(p, n, q, n)) {
    for (; n >= 8; n -= 8, p += 8, q += 8) store_le64(q, ~load_le64(p));
  }
  for (; n; --n, ++p, ++q) *q = static_cast<u8>(~*p);
}

void VARNO_UTIL::reverse_bit_copy(const u8* src, u32 src_bit, u8* dest, u32 dest_bit,
                                  u32 count, bool straight) {
  if (count == 0) return;
  const u64 last = static_cast<u64>(src_bit) + count - 1;
  const u64 d = dest_bit;
  const u64 n = count;
  // Overlapping runs are defined by the bit-by-bit order.
  if (bit_runs_overlap(src, src_bit, dest, d, n)) {
    for (u64 j = last + 1; j-- > src_bit;) put_bit(dest, d + (last - j), get_bit(src, j) == straight);
    return;
  }
  // k counts destination bits; destination bit d + k takes source bit last - k.
  u64 k = 0;
  for (; k < n && (d + k) % 8 != 0; ++k) put_bit(dest, d + k, get_bit(src, last - k) == straight);
  const u64 flip = straight ? 0 : ~u64{0};
  // Whole destination words: the 64 source bits from last - k down, reversed.
  // The source bit shift is the same for every word; reversed, the word of
  // source bits [lo, lo + 64) is rev(w0) << shift | rev(w1) >> (64 - shift)
  // for the two source words around it, and each source word is reversed
  // once as it moves from the upper to the lower half.
  if (n - k >= 64) {
    const u64 lo0 = last - k - 63;
    const u32 shift = static_cast<u32>(lo0 % 8);
    const u8* p = src + lo0 / 8;
    u8* q = dest + (d + k) / 8;
    // The byte above the first word belongs to the run only when the words
    // do not start on a byte; upper halves after it are the words read
    // before. A shift of 0 takes nothing from the upper half.
    u64 upper = shift != 0 ? reverse_bits64(p[8]) : 0;
    const u64 words = (n - k) / 64;
    const u64 done = reverse_words_wide(p, q, words, shift, flip, upper);
    k += 64 * done;
    p -= 8 * done;
    q += 8 * done;
    for (; n - k >= 64; k += 64, p -= 8, q += 8) {
      const u64 lower = reverse_bits64(load_le64(p));
      const u64 from_upper = shift != 0 ? upper >> (64 - shift) : 0;
      store_le64(q, ((lower << shift) | from_upper) ^ flip);
      upper = lower;
    }
  }
  for (; n - k >= 8; k += 8) {
    const u64 v = read_bits(src, last - k - 7, 8);
    dest[(d + k) / 8] = static_cast<u8>((reverse_bits64(v) >> 56) ^ flip);
  }
  for (; k < n; ++k) put_bit(dest, d + k, get_bit(src, last - k) == straight);
}

void VARNO_UTIL::reverse_byte_copy(const u8* src, u32 src_byte, u8* dest, u32 dest_byte,
                                   u32 count, bool straight) {
  const u8 flip = straight ? 0x00 : 0xFF;
  for (u64 i = 0; i < count; ++i) {
    dest[dest_byte + i] = static_cast<u8>(src[src_byte + (count - 1 - i)] ^ flip);
  }
}

void VARNO_UTIL::bit_set(const u8* src, u32 src_bit, u8* dest, u32 dest_bit, u32 count) {
  if (count == 0) return;
  if (bit_runs_overlap(src, src_bit, dest, dest_bit, count)) {
    for (u64 i = 0; i < count; ++i)
      if (get_bit(src, static_cast<u64>(src_bit) + i)) put_bit(dest, u64{dest_bit} + i, true);
    return;
  }
  combine_bits<bit_op::or_into>(src, src_bit, dest, dest_bit, count);
}

bool VARNO_UTIL::all_bits_set(const u8* buf, u32 bit, u32 count) {
  u64 pos = bit;
  u64 n = count;
  while (n && pos % 8) {
    if (!get_bit(buf, pos)) return false;
    ++pos;
    --n;
  }
  const u8* p = buf + pos / 8;
  for (; n >= 64; n -= 64, p += 8)
    if (load_le64(p) != ~u64{0}) return false;
  for (; n >= 8; n -= 8, ++p)
    if (*p != 0xFF) return false;
  return n == 0 || (*p & low_mask(static_cast<u32>(n))) == low_mask(static_cast<u32>(n));
}

u32 VARNO_UTIL::count_ones(u8 value) { return k_nibble_ones[value >> 4] + k_nibble_ones[value & 0xF]; }

void VARNO_UTIL::swap_bits(u8* a, u16 bit_a, u8* b, u16 bit_b) {
  VARNO_ASSERT(bit_a < 8 && bit_b < 8);
  const bool va = (*a >> bit_a) & 1u;
  const bool vb = (*b >> bit_b) & 1u;
  if (va != vb) {
    *a = static_cast<u8>(*a ^ (1u << bit_a));
    *b = static_cast<u8>(*b ^ (1u << bit_b));
  }
}

u32 VARNO_UTIL::get_mask_idx(u16* out, u32 mask) {
  u32 n = 0;
  for (u16 i = 0; i < 32; ++i)
    if (mask & (u32{1} << i)) out[n++] = i;
  return n;
}

u32 VARNO_UTIL::get_bit_location_in_region(u32 word_bytes, u32 image_bytes, u32 first_word,
                                           u32 first_bit, u32 reg_bit_cnt, u16 mask_bit_cnt,
                                           const u16* mask_pos, bool column_order, u32 bit_no) {
  VARNO_ASSERT(bit_no < reg_bit_cnt);
  // The rule divides by the word size and the mask count and indexes the mask
  // positions: refuse what would divide by zero or read past them.
  VARNO_ASSERT(word_bytes > 0);
  VARNO_ASSERT(mask_bit_cnt > 0 && mask_pos != NULL);
  const u64 n = u64{bit_no} + first_bit;
  u64 word;
  u64 pos_index;
  if (column_order) {
    const u32 image_words = image_bytes / word_bytes;
    VARNO_ASSERT(first_word < image_words);
    const u64 words = image_words - first_word;
    word = first_word + n % words;
    pos_index = n / words;
  } else {
    word = first_word + n / mask_bit_cnt;
    pos_index = n % mask_bit_cnt;
  }
  VARNO_ASSERT(pos_index < mask_bit_cnt);
  const u64 pos = mask_pos[pos_index];
  const u64 location = (word * word_bytes + pos / 8) * 8 + pos % 8;
  // Every write through this address must stay inside the image.
  VARNO_ASSERT_MSG(location < u64{image_bytes} * 8, "location < image_bytes * 8");
  return static_cast<u32>(location);
}

void VARNO_UTIL::write_qword_safely(u64 value, u8* dest) {
  for (int i = 0; i < 8; ++i) dest[i] = static_cast<u8>(value >> (8 * i));
}

void VARNO_UTIL::write_dword_safely(u32 value, u8* dest) {
  for (int i = 0; i < 4; ++i) dest[i] = static_cast<u8>(value >> (8 * i));
}

void VARNO_UTIL::write_word_safely(u16 value, u8* dest) {
  dest[0] = static_cast<u8>(value);
  dest[1] = static_cast<u8>(value >> 8);
}

u32 VARNO_UTIL::get_dword_from_address(const u8* src) {
  return u32{src[0]} | (u32{src[1]} << 8) | (u32{src[2]} << 16) | (u32{src[3]} << 24);
}

u8 VARNO_UTIL::hexvalue(char c) {
  if (c >= '0' && c <= '9') return static_cast<u8>(c - '0');
  return static_cast<u8>(std::toupper(static_cast<unsigned char>(c)) - 55);
}

std::string VARNO_UTIL::convert_dword_to_hex_string(u32 value) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = digits[value & 0xF];
  return text;
}

u32 VARNO_UTIL::get_ob_value_from_ob_list(const std::vector<VOLD_OB_DATA*>* ob_list,
                                          VOLD_OB_DATA_TYPE type, bool* found) {
  VARNO_ASSERT(ob_list != NULL);
  u32 value = 0;
  u32 dest_index = 0;
  bool found_ob = false;
  for (VOLD_OB_DATA* ob : *ob_list) {
    if (ob == nullptr || ob->get_ob_data_type() != type) continue;
    found_ob = true;
    u32 length = 0;
    const u8* ob_data = ob->get_data(length);
    VARNO_ASSERT(ob_data != NULL && length > 0 && length <= 32 && dest_index <= 32 &&
                 (dest_index + length) <= 32);
    value |= static_cast<u32>(read_bits(ob_data, 0, length) << dest_index);
    dest_index += length;
  }
  if (found) *found = found_ob;
  VARNO_ASSERT(found_ob || found != NULL);
  return value;
}

// ---- Fingerprints ------------------------------------------------------------------

namespace {

constexpr u64 FP_MUL_IN = 0x9E3779B97F4A7C15u;
constexpr u64 FP_MUL_OUT = 0xC2B2AE3D27D4EB4Fu;

// Each step is a bijection of the lane for a fixed word and of the word for
// a fixed lane, so one changed word always changes the result; the rotation
// carries the high bits of a product into the next one.
inline u64 fp_round(u64 acc, u64 word) { return std::rotl((acc ^ word) * FP_MUL_IN, 29); }

inline u64 fp_load(const u8* p) {
  u64 word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

}  // namespace

// Four independent lanes over 32-byte stripes, so that the multiplies of one
// stripe overlap: frames are fingerprinted whole at every group read-out.
void VARNO_FINGERPRINT::add(const u8* data, u64 size) {
  u64 i = 0;
  if (data != nullptr) {
    for (; i + 32 <= size; i += 32) {
      m_lanes[0] = fp_round(m_lanes[0], fp_load(data + i));
      m_lanes[1] = fp_round(m_lanes[1], fp_load(data + i + 8));
      m_lanes[2] = fp_round(m_lanes[2], fp_load(data + i + 16));
      m_lanes[3] = fp_round(m_lanes[3], fp_load(data + i + 24));
    }
    for (u32 lane = 0; i + 8 <= size; i += 8, ++lane) {
      m_lanes[lane] = fp_round(m_lanes[lane], fp_load(data + i));
    }
    if (i < size) {
      u64 tail = 0;
      std::memcpy(&tail, data + i, static_cast<size_t>(size - i));
      m_lanes[3] = fp_round(m_lanes[3], tail);
    }
  }
  add_word(size);
}

void VARNO_FINGERPRINT::add_word(u64 value) {
  m_lanes[m_count % 4] = fp_round(m_lanes[m_count % 4], value);
  ++m_count;
}

u64 VARNO_FINGERPRINT::value() const {
  u64 h = std::rotl(m_lanes[0], 1) + std::rotl(m_lanes[1], 7) + std::rotl(m_lanes[2], 12) +
          std::rotl(m_lanes[3], 18);
  h ^= m_count;
  h ^= h >> 33;
  h *= FP_MUL_OUT;
  h ^= h >> 29;
  h *= FP_MUL_IN;
  h ^= h >> 32;
  return h;
}
