// The bit plan against a plain per-bit gather, on maps made of forward,
// reversed and scattered stretches, with buffers sized to the bits they
// address so that the address sanitizer sees any stray access.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "varno_bit_plan.h"

namespace {

bool bit(const std::vector<u8>& b, u64 i) { return (b[i / 8] >> (i % 8)) & 1u; }
void set(std::vector<u8>& b, u64 i, bool v) {
  if (v)
    b[i / 8] = static_cast<u8>(b[i / 8] | (1u << (i % 8)));
  else
    b[i / 8] = static_cast<u8>(b[i / 8] & ~(1u << (i % 8)));
}

// A row map of n bits: a shuffle of stretches, each in order, reversed or
// scattered.
std::vector<u32> random_map(std::mt19937& rng, u32 n) {
  std::vector<u32> map(n);
  std::iota(map.begin(), map.end(), 0u);
  for (u32 at = 0; at < n;) {
    const u32 len = std::min<u32>(n - at, 1 + rng() % 200);
    switch (rng() % 3) {
      case 0: break;
      case 1: std::reverse(map.begin() + at, map.begin() + at + len); break;
      default: std::shuffle(map.begin() + at, map.begin() + at + len, rng); break;
    }
    at += len;
  }
  // Swap whole stretches around as well.
  if (rng() % 2 && n > 64) std::rotate(map.begin(), map.begin() + rng() % n, map.end());
  return map;
}

}  // namespace

TEST(BitPlan, MatchesAPerBitGather) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 300; ++iter) {
    const u32 n = 1 + rng() % 700;
    const u32 split = rng() % (n + 1);  // destination gap after this many bits
    const u32 gap = rng() % 70;
    const u32 rows = 1 + rng() % 3;
    const u32 dest_base = rng() % 40;
    const std::vector<u32> map = random_map(rng, n);

    VARNO_BIT_PLAN plan;
    for (u32 i = 0; i < n; ++i) plan.add(i < split ? i : i + gap, map[i]);

    std::vector<u8> src((u64{rows} * n + 7) / 8);
    for (u8& b : src) b = static_cast<u8>(rng());
    for (u32 r = 0; r < rows; ++r) {
      const u64 dest_bits = u64{dest_base} + n + gap;
      std::vector<u8> got((dest_bits + 7) / 8);
      for (u8& b : got) b = static_cast<u8>(rng());
      std::vector<u8> want = got;
      plan.apply(src.data(), r * n, got.data(), dest_base);
      for (u32 i = 0; i < n; ++i)
        set(want, dest_base + (i < split ? i : i + gap), bit(src, u64{r} * n + map[i]));
      ASSERT_EQ(got, want) << "iter " << iter << " row " << r;
    }
  }
}

TEST(BitPlan, OrderedStretchesBecomeRuns) {
  VARNO_BIT_PLAN plan;
  for (u32 i = 0; i < 100; ++i) plan.add(i, i);          // forward
  for (u32 i = 0; i < 100; ++i) plan.add(200 + i, 299 - i);  // reversed
  plan.add(300, 5);                                       // a single bit
  EXPECT_EQ(plan.run_count(), 3u);
}
