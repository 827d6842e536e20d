// The 2D row-prediction engine: library extraction (hash merging, the top
// hashes, library copies, exact matches) and the three predictions that
// rewrite slices as residues (targeted, row-history, and both in one pass).
#include <algorithm>
#include <vector>

#include "cfg.h"
#include "mem.h"
#include "varno_assert.h"
#include "varno_block.h"
#include "varno_qv_2d_engine.h"
#include "varno_util.h"

namespace {

constexpr u32 LIBRARY_TYPES[] = {0, 1, 2, 3, QV_IP_TYPE_ERAM};

// Row-history distance and bounds of the ERAM rows (one frame each).
constexpr u32 ERAM_ROW_DISTANCE = 1;
constexpr u32 ERAM_ROW_LOW = 65535;
constexpr u32 ERAM_ROW_HIGH = 56;
constexpr u32 ERAM_ROW_HIGH_TK = 8;

// Packing limits of a row-history entry.
constexpr u32 ROW_ENTRY_MAX_OFFSET = 8192;
constexpr u32 ROW_ENTRY_MAX_WIDTH = 4096;

u32 slice_width(u32 entry) { return entry & 0xFFFFu; }
u32 slice_type(u32 entry) { return (entry >> 16) & 0xFFu; }
u64 round_up8(u64 v) { return (v + 7) & ~u64{7}; }

}  // namespace

void VARNO_QV_2D_ENGINE::cram_row_geometry(u32& h, u32& lo, u32& hi) const {
  if (m_TkFlow) {
    h = 18;
    lo = 0;
    hi = 25;
  } else {
    h = 4;
    lo = 40;
    hi = 59;
  }
}

// ---- Hashes and libraries ---------------------------------------------------------------

void VARNO_QV_2D_ENGINE::merge_hashes(const VARNO_QV_2D_ENGINE& other) {
  for (u32 type : LIBRARY_TYPES) {
    for (const auto& [crc, count] : other.m_HashCounts[type]) m_HashCounts[type][crc] += count;
  }
}

bool VARNO_QV_2D_ENGINE::find_and_clear_top_hash(VARNO_QV_IP_TYPE ip_type, unsigned& hash) {
  VARNO_ASSERT_MSG(ip_type < QV_IP_TYPE_TOTAL_CNT, "ip_type < QV_IP_TYPE_TOTAL_CNT");
  std::map<u32, u32>& counts = m_HashCounts[ip_type];
  auto top = counts.end();
  u32 top_count = 0;
  // Ascending hash order: only a larger count replaces, so the smallest hash
  // wins a tie.
  for (auto it = counts.begin(); it != counts.end(); ++it) {
    if (it->second > top_count) {
      top = it;
      top_count = it->second;
    }
  }
  if (top == counts.end()) return false;
  msg_vdebug_impl(2, "\tFound %d lib instances", top_count);
  hash = top->first;
  top->second = 0;
  return true;
}

u32 VARNO_QV_2D_ENGINE::get_lib_size(VARNO_QV_IP_TYPE ip_type) const {
  VARNO_ASSERT((ip_type < QV_IP_TYPE_MAX) || (ip_type == QV_IP_TYPE_ERAM));
  const u32 size = m_S4Mode ? m_ip_s4_sizes[ip_type] : m_ip_sizes[ip_type];
  u64 bytes = 0;
  if (ip_type == QV_IP_TYPE_ERAM) {
    bytes = round_up8(get_lib_width(ip_type, size));
  } else {
    bytes = round_up8(u64{m_IpHeight} * get_lib_width(ip_type, size * m_IpWidthFactor));
  }
  VARNO_ASSERT_MSG(bytes <= 0xFFFFFFF8u, "lib_size <= 0xFFFFFFF8");
  return static_cast<u32>(bytes);
}

bool VARNO_QV_2D_ENGINE::find_hash_and_copy_lib(unsigned hash, VARNO_QV_IP_TYPE ip_type,
                                                unsigned char* dst, unsigned dst_size) {
  const u64 key = u64{ip_type} << 32 | hash;
  const auto it = std::find(m_FullHashInfo.begin(), m_FullHashInfo.end(), key);
  if (it == m_FullHashInfo.end()) return false;
  const u64 pos = static_cast<u64>(it - m_FullHashInfo.begin());
  VARNO_ASSERT_MSG(m_NumBlocks != 0 && pos < u64{m_NumBlocks} * m_NumRows,
                   "nPos < (m_NumBlocks * m_NumRows)");
  const u32 row = static_cast<u32>(pos / m_NumBlocks);
  const u32 s = static_cast<u32>(pos % m_NumBlocks);
  const u32 entry = ip_info(s);
  VARNO_ASSERT_MSG(slice_type(entry) == ip_type, "cached_ip_info == (DWORD)ip_type");

  const u32 width = slice_width(entry);
  const u32 lib_width = get_lib_width(ip_type, width);
  // The caller's slot must hold every chunk.
  VARNO_ASSERT_MSG(u64{m_IpHeight} * lib_width <= dst_size,
                   "(lib_ip_width * m_IpHeight) <= lib_size");
  const u32 offset = m_IpOffsets[s];
  std::vector<u8> buffer;
  for (u32 j = 0; j < m_IpHeight; ++j) {
    std::fill(buffer.begin(), buffer.end(), 0);
    read_frame(row * m_IpHeight + j, buffer);
    memcpy_s(dst, lib_width, buffer.data() + offset, width);
    dst += lib_width;
  }
  return true;
}

void VARNO_QV_2D_ENGINE::update_with_libs(VARNO_QV_IP_TYPE ip_type, unsigned hash, unsigned slot,
                                          const unsigned char* lib) {
  // Codes 2 and 3 name the two slots.
  VARNO_ASSERT_MSG(slot <= 1, "lib_index < 2");
  const u64 key = u64{ip_type} << 32 | hash;
  u32 found = 0;
  for (u64 i = 0; i < m_FullHashInfo.size(); ++i) {
    if (m_FullHashInfo[i] != key) continue;
    const u32 row = static_cast<u32>(i / m_NumBlocks);
    const u32 s = static_cast<u32>(i % m_NumBlocks);
    const u32 width = slice_width(ip_info(s));
    if (!validate_lib_with_data(ip_type, lib, m_IpOffsets[s], width, row)) continue;
    m_FullHashInfo[i] |= u64{QV_2D_CODE_LIB0 + slot} << 40;
    ++found;
  }
  msg_vdebug_impl(2, "\t Found %d libs in sector %d %d", found, m_SectorX, m_SectorY);
}

bool VARNO_QV_2D_ENGINE::validate_lib_with_data(VARNO_QV_IP_TYPE ip_type, const unsigned char* lib,
                                                unsigned offset, unsigned width, unsigned row) {
  if (m_IpHeight == 0) return true;
  // The slice must lie inside the frames it is compared with.
  VARNO_ASSERT_MSG(u64{offset} + width <= m_IpArea, "ip_start + ip_width <= ip_area");
  u64 pos = 0;
  for (u32 j = 0; j < m_IpHeight; ++j) {
    const u32 f = row * m_IpHeight + j;
    const u8* frame = m_blk->get_frame_data_ptr(f);
    if (width != 0 && frame != nullptr) {
      frame = frame_ptr(f);
      const u8* slice = frame + offset;
      const auto diff = std::mismatch(slice, slice + width, lib + pos);
      if (diff.first != slice + width) return false;
      pos += width;
    }
    if (ip_type != QV_IP_TYPE_ERAM && m_Align2D)
      pos = width < 12 ? (pos + 3) & ~u64{3} : round_up8(pos);
  }
  return true;
}

// ---- Targeted prediction -----------------------------------------------------------------

u32 VARNO_QV_2D_ENGINE::run_target(VARNO_QV_IP_TYPE ip_type, unsigned char* lib, unsigned lib_size,
                                   unsigned slot) {
  // Codes 10 and 11 name the two slots.
  VARNO_ASSERT_MSG(slot <= 1, "lib_index < 2");
  const u32 frames = m_blk != nullptr ? m_blk->get_number_of_frames() : 0;
  std::vector<u8> buffer;
  m_TargetIps.clear();
  const u32 num_ips = static_cast<u32>(m_IpInfo.size());
  VARNO_ASSERT(num_ips > 0);
  std::vector<u32> mismatches(num_ips, 0);
  msg_vdebug_impl(2, "Running target prediction on sector x:%d y:%d, IP:%d for lib %d\n", m_SectorX,
                  m_SectorY, static_cast<u32>(ip_type), slot);

  u32 limit = static_cast<u32>(cfg_get_int_value("varno_target_mismatch_limit", 80));
  if (ip_type == 2) limit = (limit * 5) >> 1;
  if (ip_type == 3) limit = (limit * 3) >> 1;

  u32 row = 0;
  u64 pos = 0;
  u64 step = 0;
  u32 count = 0;
  for (u32 f = 0; f < frames; ++f) {
    read_frame(f, buffer);
    for (u32 s = 0; s < num_ips; ++s) {
      if (slice_type(m_IpInfo[s]) != ip_type || mismatches[s] >= limit) continue;
      const u32 width = slice_width(m_IpInfo[s]);
      if (width == 0) {
        step = 0;
        continue;
      }
      // The library holds one chunk per frame of the row.
      VARNO_ASSERT_MSG(pos + width <= lib_size, "lib_offset + ip_width <= lib_size");
      const u8* slice = buffer.data() + m_IpOffsets[s];
      for (u32 k = 0; k < width; ++k) mismatches[s] += lib[pos + k] != slice[k] ? 1 : 0;
      step = width;
    }
    step = round_up8(step);
    pos += step;

    if (f % m_IpHeight != m_IpHeight - 1) continue;
    for (u32 s = 0; s < num_ips; ++s) {
      if (slice_type(m_IpInfo[s]) != ip_type || mismatches[s] >= limit) continue;
      u64& rec = record(u64{row} * num_ips + s);
      if (record_code(rec) != QV_2D_CODE_NONE) continue;
      rec |= u64{QV_2D_CODE_TARGET0 + slot} << 40;
      // Offsets travel in the upper 16 bits of the entry.
      VARNO_ASSERT_MSG(m_IpOffsets[s] <= 0xFFFFu, "ip_start <= 0xFFFF");
      m_TargetIps.emplace(row, m_IpOffsets[s] << 16 | slice_width(m_IpInfo[s]));
      msg_vdebug_impl(2, "Found target IP at row: %d IP index: %d, num mismatches: %d\n", row, s,
                      mismatches[s]);
      ++count;
    }
    std::fill(mismatches.begin(), mismatches.end(), 0);
    ++row;
    pos = 0;
  }
  msg_vdebug_impl(2, "Found %d target IP", count);
  if (ip_type != QV_IP_TYPE_ERAM) update_target_frames(ip_type, lib, lib_size, slot, row);
  return count;
}

void VARNO_QV_2D_ENGINE::update_target_frames(VARNO_QV_IP_TYPE ip_type, unsigned char* lib,
                                              unsigned lib_size, unsigned, unsigned rows) {
  if (ip_type == QV_IP_TYPE_ERAM) rows = m_blk != nullptr ? m_blk->get_number_of_frames() : 0;
  for (u32 r = 0; r < rows; ++r) {
    const auto range = m_TargetIps.equal_range(r);
    for (auto it = range.first; it != range.second; ++it) {
      const u32 offset = it->second >> 16;
      const u32 width = it->second & 0xFFFFu;
      const u32 lib_ip_width = get_lib_width(ip_type, width);
      VARNO_ASSERT_MSG(lib_size == (u64{lib_ip_width} * m_IpHeight),
                       "lib_size == (lib_ip_width * m_IpHeight)");
      for (u32 i = 0; i < lib_size; ++i) {
        const u32 j = i / lib_ip_width;
        const u32 k = i % lib_ip_width;
        if (k >= width) continue;
        const u32 actual_frame = r * m_IpHeight + j;
        const u32 actual_offset = offset + k;
        u8 frame_val = 0;
        VARNO_ASSERT_MSG(m_blk->get_frame_single_byte(actual_frame, actual_offset, frame_val),
                         "m_blk->get_frame_single_byte(actual_frame, actual_offset , frame_val)");
        VARNO_ASSERT_MSG(write_frame_byte(actual_frame, actual_offset, frame_val ^ lib[i]),
                         "m_blk->update_frame_data(actual_frame, actual_offset, frame_val ^ "
                         "lib_ptr[lib_offset] )");
      }
    }
  }
}

// ---- Row-history prediction -----------------------------------------------------------

u32 VARNO_QV_2D_ENGINE::run_row_target(VARNO_QV_IP_TYPE ip_type, bool cram_rows) {
  m_RowTargetIps.clear();
  const u32 frames = m_blk != nullptr ? m_blk->get_number_of_frames() : 0;
  const u32 num_ips = static_cast<u32>(m_IpInfo.size());
  // An engine without slices (the library engine) has nothing to predict.
  if (num_ips == 0 || m_IpHeight == 0) return 0;
  std::vector<u8> cur;
  std::vector<u8> ref;
  std::vector<u32> zeros(2 * size_t{num_ips}, 0);
  std::vector<u32> matches(2 * size_t{num_ips}, 0);
  u32 count = 0;
  u32 row = 0;

  u32 dist = ERAM_ROW_DISTANCE;
  u32 lo = ERAM_ROW_LOW;
  u32 hi = m_TkFlow ? ERAM_ROW_HIGH_TK : ERAM_ROW_HIGH;
  if (cram_rows) cram_row_geometry(dist, lo, hi);
  msg_vdebug_impl(2, "Running row prediction on sector x:%d y:%d, IP:%d", m_SectorX, m_SectorY,
                  static_cast<u32>(ip_type));

  for (u32 f = 0; f < frames; ++f) {
    const u32 j = cram_rows ? f % m_IpHeight : f;
    if (row_predicted(j, dist, lo, hi)) {
      read_frame(f - dist, ref);
      read_frame(f, cur);
      for (u32 s = 0; s < num_ips; ++s) {
        const u64 rec = record(u64{row} * num_ips + s);
        const u32 width = slice_width(m_IpInfo[s]);
        if (slice_type(m_IpInfo[s]) != ip_type || record_code(rec) != QV_2D_CODE_NONE ||
            width == 0) {
          continue;
        }
        const u32 o = m_IpOffsets[s];
        for (u32 k = 0; k < width; ++k) {
          const u32 g = get_row_lib_index(ip_type, k);
          if (g != 1 && g != 2) continue;
          zeros[2 * s + g - 1] += cur[o + k] == 0 ? 1 : 0;
          matches[2 * s + g - 1] += cur[o + k] == ref[o + k] ? 1 : 0;
        }
      }
    }
    if (f % m_IpHeight != m_IpHeight - 1) continue;
    for (u32 s = 0; s < num_ips; ++s) {
      u64& rec = record(u64{row} * num_ips + s);
      if (slice_type(m_IpInfo[s]) != ip_type || record_code(rec) != QV_2D_CODE_NONE) continue;
      const u32 width = slice_width(m_IpInfo[s]);
      unsigned group = 0;
      if (!validate_row_prediction(8 * width, &zeros[2 * s], &matches[2 * s], group)) continue;
      rec |= u64{QV_2D_CODE_ROW_GROUP1 - 1 + group} << 40;
      // The entry packs the offset in 13 bits, the width in 12.
      VARNO_ASSERT_MSG(m_IpOffsets[s] < ROW_ENTRY_MAX_OFFSET && width < ROW_ENTRY_MAX_WIDTH,
                       "ip_start < 8192 && ip_width < 4096");
      m_RowTargetIps.emplace(
          row, m_IpOffsets[s] << 19 | static_cast<u32>(ip_type) << 14 | group << 12 | width);
      msg_vdebug_impl(2, "Found row IP at row: %d IP index: %d\n", row, s);
      ++count;
    }
    std::fill(zeros.begin(), zeros.end(), 0);
    std::fill(matches.begin(), matches.end(), 0);
    ++row;
  }

  // Rewriting: the ring keeps every frame as read before its own rewriting,
  // so residues are taken against the original earlier frame.
  const u32 ring_size = 2 * dist;
  const u32 stride = std::max(frame_stride(), m_IpArea);
  std::vector<u8> ring(size_t{ring_size} * stride, 0);
  auto slot_of = [&](u32 i) { return ring.data() + size_t{i % ring_size} * stride; };
  for (u32 r = 0; r < row; ++r) {
    const auto range = m_RowTargetIps.equal_range(r);
    if (range.first == range.second) {
      if (!cram_rows) read_frame_to(r, slot_of(r), stride);
      continue;
    }
    for (u32 j = 0; j < m_IpHeight; ++j) {
      const u32 actual_frame = r * m_IpHeight + j;
      const u32 i = cram_rows ? j : r;
      u8* current = slot_of(i);
      const u8* earlier = slot_of(i + dist);
      read_frame_to(actual_frame, current, stride);
      if (cram_rows && !row_predicted(j, dist, lo, hi)) continue;
      for (auto it = range.first; it != range.second; ++it) {
        const u32 v = it->second;
        const u32 width = v & 0xFFFu;
        const u32 group = (v >> 12) & 3u;
        const auto type = static_cast<VARNO_QV_IP_TYPE>((v >> 14) & 0x1Fu);
        const u32 ip_start = v >> 19;
        for (u32 k = 0; k < width; ++k) {
          if (get_row_lib_index(type, k) != group) continue;
          VARNO_ASSERT_MSG(
              write_frame_byte(actual_frame, ip_start + k,
                               earlier[ip_start + k] ^ current[ip_start + k]),
              "m_blk->update_frame_data(actual_frame, ip_start+k, ref_frame_val ^ frame_val)");
        }
      }
    }
  }
  msg_vdebug_impl(2, "Found %d row IP", count);
  return count;
}

bool VARNO_QV_2D_ENGINE::validate_row_prediction(unsigned n, unsigned* zeros, unsigned* matches,
                                                 unsigned& group) {
  // A slice without bytes gains nothing.
  if (n == 0) return false;
  u32 p[2] = {};
  for (u32 g = 0; g < 2; ++g) {
    p[g] = zeros[g] != 0 ? matches[g] * 100 / zeros[g] : (matches[g] + n) * 100 / n;
  }
  const int threshold = cfg_get_int_value("varno_row_prediction_zero_percentage", 110);
  group = p[0] > p[1] ? 1 : 2;
  return i64{std::max(p[0], p[1])} > threshold;
}

// ---- Combined prediction ------------------------------------------------------------------

u32 VARNO_QV_2D_ENGINE::run_combined_target(VARNO_QV_IP_TYPE ip_type, unsigned char* lib,
                                            unsigned lib_size) {
  const u32 frames = m_blk != nullptr ? m_blk->get_number_of_frames() : 0;
  const u32 num_ips = static_cast<u32>(m_IpInfo.size());
  VARNO_ASSERT(num_ips > 0);
  msg_vdebug_impl(2, "Running targeted and row-history prediction on sector x:%d y:%d, IP:%d \n",
                  m_SectorX, m_SectorY, static_cast<u32>(ip_type));
  const u32 num_frames = frames;
  VARNO_ASSERT(num_frames % m_IpHeight == 0);
  // The ERAM type has its own passes.
  if (ip_type == QV_IP_TYPE_ERAM) return 0;

  const u32 stride = std::max(frame_stride(), m_IpArea);
  std::vector<u8> row_data(size_t{m_IpHeight} * stride, 0);
  u32 count = 0;
  for (u32 frame_no = 0; frame_no < frames; frame_no += m_IpHeight) {
    std::fill(row_data.begin(), row_data.end(), 0);
    for (u32 i = 0; i < m_IpHeight; ++i) {
      VARNO_ASSERT_MSG(
          read_frame_to(frame_no + i, row_data.data() + size_t{i} * stride, stride) != 0,
          "m_blk->get_frame_data(frame_no + i, frame_data + i*frame_size)");
    }
    const u32 row = frame_no / m_IpHeight;
    for (u32 s = 0; s < num_ips; ++s) {
      if (slice_type(m_IpInfo[s]) != ip_type) continue;
      const u32 o = m_IpOffsets[s];
      const u32 width = slice_width(m_IpInfo[s]);
      // Both slots are read, chunk by chunk.
      VARNO_ASSERT_MSG(u64{get_lib_width(ip_type, width)} * m_IpHeight <= lib_size,
                       "(lib_ip_width * m_IpHeight) <= lib_size");
      u32 best = 0;
      for (u32 j = 0; j < m_IpHeight; ++j) {
        const u8* slice = row_data.data() + size_t{j} * stride + o;
        best += static_cast<u32>(std::count(slice, slice + width, u8{0}));
      }
      u32 code = QV_2D_CODE_NONE;
      u32 z = get_targeted_zero_count(row_data.data(), o, width, ip_type, lib);
      if (best < z) {
        best = z;
        code = QV_2D_CODE_TARGET0;
      }
      z = get_targeted_zero_count(row_data.data(), o, width, ip_type, lib + lib_size);
      if (best < z) {
        best = z;
        code = QV_2D_CODE_TARGET0 + 1;
      }
      if (m_TkFlow) {
        z = get_row_history_zero_count(row_data.data(), o, width, ip_type, 1);
        if (best < z) {
          best = z;
          code = QV_2D_CODE_ROW_GROUP1;
        }
        z = get_row_history_zero_count(row_data.data(), o, width, ip_type, 2);
        if (best < z) code = QV_2D_CODE_ROW_GROUP1 + 1;
      }
      u64& rec = record(u64{row} * num_ips + s);
      if (record_code(rec) != QV_2D_CODE_NONE || code == QV_2D_CODE_NONE) continue;
      rec |= u64{code} << 40;
      ++count;
      std::vector<u8> residue;
      if (code == QV_2D_CODE_TARGET0 || code == QV_2D_CODE_TARGET0 + 1) {
        residue = get_targeted_iprow_data(row_data.data(), o, width, ip_type,
                                          code == QV_2D_CODE_TARGET0 ? lib : lib + lib_size);
      } else {
        residue = get_row_history_iprow_data(row_data.data(), o, width, ip_type,
                                             code - QV_2D_CODE_ROW_GROUP1 + 1);
      }
      update_frame_with_iprow_data(frame_no, residue.data(), o, width);
    }
  }
  return count;
}

// ---- Row data -----------------------------------------------------------------------------

std::vector<u8> VARNO_QV_2D_ENGINE::get_targeted_iprow_data(unsigned char* row_data,
                                                            unsigned offset, unsigned width,
                                                            VARNO_QV_IP_TYPE ip_type,
                                                            unsigned char* lib) {
  const size_t stride = m_FrameStride != 0 ? m_FrameStride : frame_stride();
  const u32 lib_width = get_lib_width(ip_type, width);
  std::vector<u8> out(size_t{width} * m_IpHeight);
  for (u32 j = 0; j < m_IpHeight; ++j) {
    for (u32 k = 0; k < width; ++k) {
      out[size_t{j} * width + k] =
          row_data[j * stride + offset + k] ^ lib[size_t{j} * lib_width + k];
    }
  }
  return out;
}

u32 VARNO_QV_2D_ENGINE::get_targeted_zero_count(unsigned char* row_data, unsigned offset,
                                                unsigned width, VARNO_QV_IP_TYPE ip_type,
                                                unsigned char* lib) {
  const size_t stride = m_FrameStride != 0 ? m_FrameStride : frame_stride();
  const u32 lib_width = get_lib_width(ip_type, width);
  u32 zeros = 0;
  for (u32 j = 0; j < m_IpHeight; ++j) {
    for (u32 k = 0; k < width; ++k) {
      zeros += (row_data[j * stride + offset + k] ^ lib[size_t{j} * lib_width + k]) == 0 ? 1 : 0;
    }
  }
  return zeros;
}

std::vector<u8> VARNO_QV_2D_ENGINE::get_row_history_iprow_data(unsigned char* row_data,
                                                               unsigned offset, unsigned width,
                                                               VARNO_QV_IP_TYPE ip_type,
                                                               unsigned group) {
  const size_t stride = m_FrameStride != 0 ? m_FrameStride : frame_stride();
  u32 dist = 0;
  u32 lo = 0;
  u32 hi = 0;
  cram_row_geometry(dist, lo, hi);
  std::vector<u8> out(size_t{width} * m_IpHeight);
  for (u32 j = 0; j < m_IpHeight; ++j) {
    const bool predicted = row_predicted(j, dist, lo, hi);
    for (u32 k = 0; k < width; ++k) {
      u8 v = row_data[j * stride + offset + k];
      if (predicted && get_row_lib_index(ip_type, k) == group) {
        v ^= row_data[(j - dist) * stride + offset + k];
      }
      out[size_t{j} * width + k] = v;
    }
  }
  return out;
}

u32 VARNO_QV_2D_ENGINE::get_row_history_zero_count(unsigned char* row_data, unsigned offset,
                                                   unsigned width, VARNO_QV_IP_TYPE ip_type,
                                                   unsigned group) {
  const std::vector<u8> out = get_row_history_iprow_data(row_data, offset, width, ip_type, group);
  return static_cast<u32>(std::count(out.begin(), out.end(), u8{0}));
}

void VARNO_QV_2D_ENGINE::update_frame_with_iprow_data(unsigned first_frame, unsigned char* data,
                                                      unsigned offset, unsigned width) {
  for (u32 frame_offset = 0; frame_offset < m_IpHeight; ++frame_offset) {
    const u32 actual_frame = first_frame + frame_offset;
    for (u32 i = 0; i < width; ++i) {
      const u32 actual_offset = offset + i;
      VARNO_ASSERT_MSG(write_frame_byte(actual_frame, actual_offset,
                                                data[size_t{frame_offset} * width + i]),
                       "m_blk->update_frame_data(actual_frame, actual_offset, "
                       "iprow_data[frame_offset * ip_width + i] )");
    }
  }
}
