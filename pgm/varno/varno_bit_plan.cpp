#include "varno_bit_plan.h"

#include "varno_util.h"

void VARNO_BIT_PLAN::add(u32 dest_bit, u32 src_bit) {
  if (!m_runs.empty()) {
    RUN& r = m_runs.back();
    if (u64{r.dest} + r.count == dest_bit) {
      // A run of one bit takes the direction of its second bit.
      const u64 next_up = u64{r.src} + r.count;
      const u64 next_down = u64{r.src} - r.count;
      if ((r.count == 1 || !r.reversed) && next_up == src_bit) {
        r.reversed = false;
        ++r.count;
        return;
      }
      if ((r.count == 1 || r.reversed) && u64{r.src} >= r.count && next_down == src_bit) {
        r.reversed = true;
        ++r.count;
        return;
      }
    }
  }
  m_runs.push_back({dest_bit, src_bit, 1, false});
}

void VARNO_BIT_PLAN::apply(const u8* src, u32 src_base, u8* dest, u32 dest_base) const {
  for (const RUN& r : m_runs) {
    const u32 d = dest_base + r.dest;
    if (r.count == 1) {
      const u32 s = src_base + r.src;
      const u8 m = static_cast<u8>(1u << (d % 8));
      if ((src[s / 8] >> (s % 8)) & 1u)
        dest[d / 8] = static_cast<u8>(dest[d / 8] | m);
      else
        dest[d / 8] = static_cast<u8>(dest[d / 8] & ~m);
    } else if (r.reversed) {
      VARNO_UTIL::reverse_bit_copy(src, src_base + r.src - (r.count - 1), dest, d, r.count, true);
    } else {
      VARNO_UTIL::bit_copy(src, src_base + r.src, dest, d, r.count, true);
    }
  }
}
