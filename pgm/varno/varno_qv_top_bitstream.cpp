#include "varno_qv_top_bitstream.h"

#include <algorithm>
#include <cstring>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_util.h"

namespace {

// Hash-block header: format word, action size, digest count, routing-entry
// count.
constexpr u64 HASH_HEADER_BYTES = 16;
constexpr u32 HASH_BLOCK_FORMAT = 1;
// Routing entries the device can queue, and at most per hash block.
constexpr u64 ROUTE_QUEUE_LIMIT = 240;
constexpr u64 ROUTES_PER_BLOCK = 192;
// A chaining block routes whole table words of 16 entries.
constexpr u64 ROUTE_WORD_ENTRIES = 16;

u64 routing_table_bytes(u64 entries) {
  return 4 * ((entries + ROUTE_WORD_ENTRIES - 1) / ROUTE_WORD_ENTRIES);
}

}  // namespace

VARNO_QV_TOP_BITSTREAM::VARNO_QV_TOP_BITSTREAM() = default;

VARNO_QV_TOP_BITSTREAM::~VARNO_QV_TOP_BITSTREAM() = default;

void VARNO_QV_TOP_BITSTREAM::add_bitfield(unsigned char* data, u32 size,
                                          VARNO_QV_BLOCK_ROUTING routing, bool at_end,
                                          bool hashed) {
  // A missing buffer would only fail later, in a merge, a digest or a write.
  VARNO_ASSERT(data != NULL || size == 0);
  if (at_end)
    m_BitFieldList.emplace_back(routing, data, size, hashed);
  else
    m_BitFieldList.emplace_front(routing, data, size, hashed);
}

std::vector<u32> VARNO_QV_TOP_BITSTREAM::merge_by_routing(u32 block_size, u32 first, u32 last,
                                                          bool hash, VARNO_SHA_MODE mode) {
  std::vector<u32> result;
  if (first > last || last >= m_BitFieldList.size()) return result;

  VARNO_ASSERT(block_size > 0);
  // A longer bit field fits no block; splitting it would change what the
  // hash blocks cover.
  for (u64 i = first; i <= last; ++i)
    VARNO_ASSERT_MSG(m_BitFieldList[i].size <= block_size, "blk_size <= block_size");

  // The hash blocks of an earlier merge hold the digests of the hashed
  // fields behind them, in order, and the routing codes of the fields they
  // were merged with. Packing those fields anew leaves digests and entries
  // that no longer match. A second chain would be covered by no digest and
  // routed by no entry of the first, which the device starts from.
  for (u64 i = first; i <= last; ++i) {
    const QV_BITFIELD& f = m_BitFieldList[i];
    VARNO_ASSERT_MSG(!f.hash_block, "merge_by_routing over a hash block of an earlier merge");
    // A covered field holds exactly a block of the earlier merge: only a
    // merge into blocks of another size would repack it.
    VARNO_ASSERT_MSG(f.digest == nullptr || f.size == block_size,
                     "merge_by_routing repacks bit fields that hash blocks of an earlier merge "
                     "cover");
  }
  if (hash) {
    for (const QV_BITFIELD& f : m_BitFieldList) {
      VARNO_ASSERT_MSG(!f.hash_block,
                       "merge_by_routing with hash on a bit-field list that holds hash blocks "
                       "already: a bitstream has one hash chain, so add every hashed field, then "
                       "merge once");
    }
  }

  // The new list and its buffers replace the old ones only once everything
  // has succeeded.
  BITFIELD_LIST list(m_BitFieldList.begin(), m_BitFieldList.begin() + first);
  BUFFERS buffers;

  unsigned char* acc = nullptr;
  u64 fill = 0;
  VARNO_QV_BLOCK_ROUTING acc_routing = m_BitFieldList[first].routing;
  bool acc_hashed = m_BitFieldList[first].hashed;

  auto emit = [&]() {
    list.emplace_back(acc_routing, acc, block_size, acc_hashed);
    acc = nullptr;
    fill = 0;
  };
  auto append = [&](const QV_BITFIELD& f) {
    if (f.size > 0) std::memcpy(acc + fill, f.data, f.size);
    fill += f.size;
  };
  // The bit field against an empty accumulator: a whole block passes as it
  // is, anything shorter opens a new zero-filled block.
  auto open = [&](const QV_BITFIELD& f) {
    if (f.size == block_size) {
      list.push_back(f);
      return;
    }
    if (f.size == 0) return;
    buffers.push_back(std::make_unique<u8[]>(block_size));
    acc = buffers.back().get();
    append(f);
  };

  for (u64 i = first; i <= last; ++i) {
    const QV_BITFIELD& f = m_BitFieldList[i];
    if (f.routing != acc_routing || f.hashed != acc_hashed) {
      if (fill > 0) emit();
      acc_routing = f.routing;
      acc_hashed = f.hashed;
      open(f);
    } else if (fill == 0) {
      open(f);
    } else if (fill + f.size < block_size) {
      append(f);
    } else if (fill + f.size == block_size) {
      append(f);
      emit();
    } else {
      emit();
      open(f);
    }
  }
  if (fill > 0) emit();

  const u64 merged = list.size() - first;
  list.insert(list.end(), m_BitFieldList.begin() + last + 1, m_BitFieldList.end());

  u32 digests_per_block = m_hashes_per_block;
  u32 digest_size = m_hash_size;
  if (hash) {
    const bool sha256 = mode == VARNO_SHA_MODE_256;
    digests_per_block = sha256 ? 126 : 84;
    digest_size = sha256 ? 32 : 48;
    insert_hash_blocks_to_list(list, buffers, first, first, merged, block_size, mode,
                               digests_per_block, digest_size, result);
  }

  if (hash) {
    // What the merge wrote of each hash block outside its digests, front to
    // back: no digest vouches for a block's header and routing table, so the
    // write compares them with this. Only this merge's chain is in the list.
    std::vector<std::vector<u8>> written;
    for (QV_BITFIELD& f : list) {
      if (!f.hash_block) continue;
      const u64 end =
          HASH_HEADER_BYTES + u64{VARNO_UTIL::get_dword_from_address(f.data + 8)} * digest_size;
      VARNO_ASSERT(end <= f.size);
      f.chain_place = static_cast<u32>(written.size());
      std::vector<u8>& outside = written.emplace_back(f.data, f.data + HASH_HEADER_BYTES);
      outside.insert(outside.end(), f.data + end, f.data + f.size);
    }
    m_chain_written.swap(written);
  }
  m_BitFieldList.swap(list);
  m_buffers.reserve(m_buffers.size() + buffers.size());
  for (auto& b : buffers) m_buffers.push_back(std::move(b));
  m_hashes_per_block = digests_per_block;
  m_hash_size = digest_size;
  return result;
}

void VARNO_QV_TOP_BITSTREAM::hash_bitfield(const BITFIELD_LIST& list, u64 index, u64 bytes,
                                           VARNO_SHA_MODE mode, unsigned char* dest) {
  VARNO_ASSERT_MSG(index < list.size(), "block_idx < m_BitFieldList.size()");
  const QV_BITFIELD& f = list[index];
  VARNO_ASSERT_MSG(f.data != NULL, "blk_data != NULL");
  // The digest covers bytes of the field and no more.
  VARNO_ASSERT_MSG(bytes <= f.size, "num_bytes <= blk_size");
  VARNO_ASSERT(dest != NULL);
  const u32 n = static_cast<u32>(bytes);
  const bool ok = mode == VARNO_SHA_MODE_256 ? VARNO_UTIL::get_sha_256(f.data, n, dest)
                                             : VARNO_UTIL::get_sha_384(f.data, n, dest);
  VARNO_ASSERT_MSG(ok, "Failed to calculate SHA");
}

bool VARNO_QV_TOP_BITSTREAM::insert_block_hash_to_address(u32 index, u32 bytes, VARNO_SHA_MODE mode,
                                                          unsigned char* dest) {
  hash_bitfield(m_BitFieldList, index, bytes, mode, dest);
  return true;
}

// Each hash block covers the hashed bit fields that follow it up to the
// next hash block, which it chains to through its last digest. A chain is
// built in two passes with the same results as building it block by block
// from the front with each block finished after the ones behind it:
// forwards, each block's scan, digests and route budget; backwards, from
// the last block, linking each block, its chain digest and its routing
// table. The counters are kept whole, so long chains cannot carry one
// count into another.
void VARNO_QV_TOP_BITSTREAM::insert_hash_blocks_to_list(BITFIELD_LIST& list, BUFFERS& buffers,
                                                        u64 init, u64 start, u64 m, u32 block_size,
                                                        VARNO_SHA_MODE mode, u32 digests_per_block,
                                                        u32 digest_size,
                                                        std::vector<u32>& result) const {
  struct LEVEL {
    u64 start = 0;
    u64 pre_routes = 0;  // routing entries the blocks in front cover
    u64 routes = 0;      // routing entries this block may cover
    u64 hashed = 0;
    u64 non_hashed = 0;
    bool chains = false;
    std::vector<u8> digests;
    std::vector<u64> covered;  // positions of the hashed fields, in order
  };
  std::vector<LEVEL> levels;

  u64 routes_in_queue = 0;
  u64 pre_routes = 0;
  const u64 d = digests_per_block;
  const u64 s = digest_size;
  for (u64 level = 0; start < list.size(); ++level) {
    msg_vdebug_impl(2,
                    "Start insert hash function at init index %d, start index %d for %d "
                    "blocks, %x hash block index and %x routes info\n  ",
                    static_cast<int>(init), static_cast<int>(start), static_cast<int>(m),
                    static_cast<unsigned>(level),
                    static_cast<unsigned>((routes_in_queue << 16) | pre_routes));
    LEVEL lv;
    lv.start = start;
    lv.pre_routes = pre_routes;
    u64 scanned = 0;
    while (start + scanned < list.size()) {
      const u64 pos = start + scanned;
      if (list[pos].hashed) {
        lv.digests.resize((lv.hashed + 1) * s);
        hash_bitfield(list, pos, block_size, mode, lv.digests.data() + lv.hashed * s);
        lv.covered.push_back(pos);
        ++lv.hashed;
      } else {
        ++lv.non_hashed;
      }
      ++scanned;
      if (lv.hashed == d) break;
      if (lv.hashed == d - 1 && pos + 1 < list.size()) {
        lv.chains = true;
        break;
      }
    }

    u64 routes = routes_in_queue >= ROUTE_QUEUE_LIMIT
                     ? 0
                     : std::min(ROUTE_QUEUE_LIMIT - routes_in_queue, ROUTES_PER_BLOCK);
    if (lv.chains) routes -= routes % ROUTE_WORD_ENTRIES;
    routes_in_queue += routes;
    const u64 used = lv.non_hashed + lv.hashed;
    VARNO_ASSERT_MSG(routes_in_queue > used + 1,
                     "routes_in_queue > (num_hashed_blocks + non_hashed + 1)");
    msg_vdebug_impl(2, "\t Non hashed:%d, hashed:%d\n", static_cast<int>(lv.non_hashed),
                    static_cast<int>(lv.hashed));
    msg_vdebug_impl(2, "\t Routable blocks: %d, pre routes: %d, routes_in_queue: %d\n",
                    static_cast<int>(routes), static_cast<int>(pre_routes),
                    static_cast<int>(routes_in_queue - 1 - used));
    lv.routes = routes;
    const bool chains = lv.chains;
    levels.push_back(std::move(lv));
    if (!chains) break;
    routes_in_queue -= 1 + used;
    pre_routes += routes;
    start += scanned;
  }

  // Backwards: hl is the block's place in the chain, hh the number of
  // blocks behind it.
  bool chained_block = false;
  u64 chained_hh = 0;
  for (u64 hl = levels.size(); hl-- > 0;) {
    LEVEL& lv = levels[hl];
    if (lv.hashed == 0) {
      chained_block = false;
      continue;
    }
    u64 h = lv.hashed;
    u64 hh = 0;
    if (chained_block) {
      lv.digests.resize((h + 1) * s);
      hash_bitfield(list, levels[hl + 1].start, block_size, mode, lv.digests.data() + h * s);
      lv.covered.push_back(levels[hl + 1].start);
      ++h;
      hh = chained_hh + 1;
    }

    const u64 entries_total = m + hh + hl;
    const u64 r =
        lv.pre_routes < entries_total ? std::min(entries_total - lv.pre_routes, lv.routes) : 0;
    const u64 action_size = HASH_HEADER_BYTES + h * s + routing_table_bytes(r);
    VARNO_ASSERT_MSG(action_size <= block_size, "action_size <= block_size");

    buffers.push_back(std::make_unique<u8[]>(block_size));
    u8* blk = buffers.back().get();
    QV_BITFIELD hash_field(HASH_ROUTING, blk, block_size, true);
    hash_field.hash_block = true;
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(lv.start), hash_field);
    result.push_back(static_cast<u32>(lv.start));

    VARNO_UTIL::write_dword_safely(HASH_BLOCK_FORMAT, blk);
    VARNO_UTIL::write_dword_safely(static_cast<u32>(action_size), blk + 4);
    VARNO_UTIL::write_dword_safely(static_cast<u32>(h), blk + 8);
    VARNO_UTIL::write_dword_safely(static_cast<u32>(r), blk + 12);
    if (h > 0) std::memcpy(blk + HASH_HEADER_BYTES, lv.digests.data(), h * s);
    // The fields behind the new block, the chained block last, stand one
    // further on now.
    for (u64 k = 0; k < h; ++k) {
      QV_BITFIELD& covered = list[lv.covered[k] + 1];
      covered.digest = blk + HASH_HEADER_BYTES + k * s;
      covered.digest_bytes = block_size;
      covered.digest_mode = mode;
    }
    if (r > 0) {
      // The entries follow this block in the final list; the blocks in
      // front of it are not linked yet.
      const u64 from = lv.pre_routes + init + 1;
      VARNO_ASSERT_MSG(from >= hl && from - hl + r <= list.size(), "it != m_BitFieldList.end()");
      u8* table = blk + HASH_HEADER_BYTES + h * s;
      for (u64 j = 0; j < r; ++j) {
        const u32 code = list[from - hl + j].routing & 3u;
        table[j / 4] = static_cast<u8>(table[j / 4] | (code << (2 * (j % 4))));
      }
    }
    chained_block = true;
    chained_hh = hh;
  }
}

u32 VARNO_QV_TOP_BITSTREAM::get_bitfield_count() const {
  return static_cast<u32>(m_BitFieldList.size());
}

u32 VARNO_QV_TOP_BITSTREAM::get_bitfield_size(u32 index) const {
  return index < m_BitFieldList.size() ? m_BitFieldList[index].size : 0;
}

unsigned char* VARNO_QV_TOP_BITSTREAM::get_bitfield_data(u32 index) const {
  return index < m_BitFieldList.size() ? m_BitFieldList[index].data : nullptr;
}

void VARNO_QV_TOP_BITSTREAM::clear(bool) {}

// Once a merge has chained hash blocks, the device checks every hashed field
// against their digests, starting from the first hash block: a hashed field
// they do not cover (in front of the chain, or added after the merge) or
// bytes changed since they were hashed, a chained hash block's included,
// would fail there. It reads each hash block's header words and routing
// table on trust, so those are compared with what the merge wrote, before
// the block's own digest: a renewed digest does not make them right.
// Compared, not tracked: a patch put back, or a new digest put in place, is
// taken.
void VARNO_QV_TOP_BITSTREAM::check_hash_chain(u32 first, u32 last) const {
  // Hash blocks never leave the list, so it holds some exactly while the
  // merge's copies are kept.
  if (m_chain_written.empty()) return;
  for (u64 i = first; i <= last && i < m_BitFieldList.size(); ++i) {
    const QV_BITFIELD& f = m_BitFieldList[i];
    if (f.hash_block) check_hash_block(f, static_cast<u32>(i));
    if (f.digest == nullptr) {
      if (!f.hashed || f.hash_block) continue;
      const auto end = m_BitFieldList.begin() + static_cast<std::ptrdiff_t>(i);
      const bool in_front = std::none_of(m_BitFieldList.begin(), end,
                                         [](const QV_BITFIELD& g) { return g.hash_block; });
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "Top bitstream write_to_file() over bit field %u, marked hashed, which no hash block "
          "covers: %s",
          static_cast<u32>(i),
          in_front ? "it stands in front of the hash chain, which merge_by_routing() started at "
                     "its first field"
                   : "it came after merge_by_routing() inserted the hash blocks"));
    }
    u8 digest[48];
    hash_bitfield(m_BitFieldList, i, f.digest_bytes, f.digest_mode, digest);
    const u64 digest_size = f.digest_mode == VARNO_SHA_MODE_256 ? 32 : 48;
    if (std::memcmp(digest, f.digest, digest_size) == 0) continue;
    u64 holder = 0;
    while (holder < m_BitFieldList.size() &&
           !(m_BitFieldList[holder].hash_block && f.digest >= m_BitFieldList[holder].data &&
             f.digest < m_BitFieldList[holder].data + m_BitFieldList[holder].size)) {
      ++holder;
    }
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Top bitstream write_to_file() over bit field %u, whose bytes changed after "
        "merge_by_routing() hashed them: they no longer match their digest in the hash block at "
        "bit field %u (put the new digest there with insert_block_hash_to_address())",
        static_cast<u32>(i), static_cast<u32>(holder)));
  }
}

// A byte changed in a hash block's header words, routing table or the zero
// bytes after it would route or count the fields behind it wrongly.
void VARNO_QV_TOP_BITSTREAM::check_hash_block(const QV_BITFIELD& f, u32 index) const {
  VARNO_ASSERT(f.chain_place < m_chain_written.size());
  const std::vector<u8>& written = m_chain_written[f.chain_place];
  VARNO_ASSERT(written.size() >= HASH_HEADER_BYTES && written.size() - HASH_HEADER_BYTES <= f.size);
  const u8* w = written.data();
  const u64 digests_end = f.size - (written.size() - HASH_HEADER_BYTES);
  // The offset in the block of the first byte of [from, to) that changed,
  // that range standing at offset at in the block; at + its size if none.
  const auto changed_at = [&](const u8* from, const u8* to, u64 at) {
    return at + static_cast<u64>(std::mismatch(from, to, f.data + at).first - from);
  };
  u64 b = changed_at(w, w + HASH_HEADER_BYTES, 0);
  if (b == HASH_HEADER_BYTES) b = changed_at(w + HASH_HEADER_BYTES, w + written.size(), digests_end);
  if (b == f.size) return;
  const u64 table_end = digests_end + routing_table_bytes(VARNO_UTIL::get_dword_from_address(w + 12));
  const char* where = b < HASH_HEADER_BYTES ? "its header words"
                      : b < table_end       ? "its routing table"
                                            : "the zero bytes after its routing table";
  const std::string which = f.chain_place == 0
                                ? std::string("the chain's first hash block")
                                : KORVIA::fmt_sprintf("the chain's hash block %u", f.chain_place + 1);
  VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
      "Top bitstream write_to_file() over bit field %u, %s, whose byte %u (in %s) changed after "
      "merge_by_routing() wrote it: only its digests may be put anew, with "
      "insert_block_hash_to_address()",
      index, which.c_str(), static_cast<u32>(b), where));
}

bool VARNO_QV_TOP_BITSTREAM::write_to_file(const std::string& path, VARNO_OUTPUT_FORMAT format,
                                           u32 first, u32 last, bool append) {
  check_hash_chain(first, last);
  switch (format) {
    case VARNO_OUTPUT_FORMAT_DAT:
      return VARNO_UTIL::write_dat_top_bitstream(this, first, last, path);
    case VARNO_OUTPUT_FORMAT_RAW:
      return VARNO_UTIL::write_raw_top_bitstream(this, first, last, path, append);
    default:
      return true;
  }
}

std::vector<u32> VARNO_QV_TOP_BITSTREAM::get_bitfiled_routings(u32 first, u32 last) const {
  std::vector<u32> routings;
  if (first > last || first >= m_BitFieldList.size()) return routings;
  const u64 end = std::min<u64>(last, m_BitFieldList.size() - 1);
  routings.reserve(end - first + 1);
  for (u64 i = first; i <= end; ++i) routings.push_back(m_BitFieldList[i].routing);
  return routings;
}
