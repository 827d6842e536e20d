// A fixed bit gather, worked out once and applied to many rows: destination
// bit d of every pair takes source bit s. Frame managers whose device maps
// place a row's bits in order (or in reverse order) over long stretches move
// each stretch as one run through the word-wise copies instead of bit by bit.
#pragma once

#include <cstddef>
#include <vector>

#include "varno_types.h"

class VARNO_BIT_PLAN {
 public:
  void clear() { m_runs.clear(); }
  bool empty() const { return m_runs.empty(); }
  // Appends the pair (dest bit, source bit); it joins the last run when both
  // advance by one, or the destination by one and the source back by one.
  // Distinct pairs must name distinct destination bits.
  void add(u32 dest_bit, u32 src_bit);
  // Destination bit dest_base + d takes source bit src_base + s for every
  // pair. The caller has checked that every bit lies inside its buffer and
  // that the sums fit in 32 bits; the buffers must not overlap.
  void apply(const u8* src, u32 src_base, u8* dest, u32 dest_base) const;
  size_t run_count() const { return m_runs.size(); }

 private:
  struct RUN {
    u32 dest;   // first destination bit
    u32 src;    // source bit of the first destination bit
    u32 count;  // bits
    bool reversed;  // source bits run downward from src
  };
  std::vector<RUN> m_runs;
};
