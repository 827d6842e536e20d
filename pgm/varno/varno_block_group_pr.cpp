// Partial reconfiguration of a decompression thread: range normalisation,
// frame masks, interleave maps and the commands spliced into the stream.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <set>
#include <utility>
#include <vector>

#include "cfg.h"
#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block.h"
#include "varno_block_config.h"
#include "varno_block_group.h"
#include "varno_block_group_rules.h"
#include "varno_dblock.h"
#include "varno_gen.h"
#include "varno_header_writers.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// Range value: bits 0-14 last frame, bit 15 ERAM continuation, bits 16-31
// opcode.
constexpr u32 END_MASK = 0x7FFF;
constexpr u32 OPCODE_MASK = 0xFFFF0000u;
constexpr u32 ERAM_CONTINUATION = 0x8000;
// Key of the padding entry of the TK sparse mode; sorts after every range.
constexpr u32 PAD_KEY = 0x8000;
constexpr u32 PR_TK_CMD_FLAG = 0x40000000u;
constexpr u32 CRAM_PR_CMD = 0x1013;
constexpr u32 ERAM_PR_CMD = 0x1014;
constexpr u32 CRAM_NOP = 1280;

u32 end_of(u32 value) { return value & END_MASK; }

bool is_range_key(u32 key) { return key < PAD_KEY; }

}  // namespace

void VARNO_DC_THREAD::write_comp_header(VARNO_GROUP_WRITER& w, u32 ch, u32 f_type, u32 s4,
                                        u32 thr, u32 len) {
  const u32 size = m_CompFrmHdrBlk->get_block_size();
  // Fields left out (CHEXT, BANK) read as zero, as in the zero-filled stream.
  std::vector<u8> image(size, 0);
  VARNO_UTIL::WriteCompHdrBlock(m_CompFrmHdrBlk.get(), ch, f_type, s4, thr, len, 0, 0,
                                image.data());
  w.bytes(image.data(), size);
}

void VARNO_DC_THREAD::stitch_pr_ranges_for_spare_row() {
  const size_t n = m_DBlocksArray.size();
  VARNO_ASSERT_MSG(n <= QV_MAX_BLOCKS_PER_THREAD, "blk_count can't be greater than array boundary");
  for (size_t i = 0; i < n; ++i) {
    std::map<u32, u32>& ranges = m_pr_frame_ranges[i];
    if (ranges.size() < 2) continue;
    auto prev = ranges.begin();
    auto cur = std::next(prev);
    while (cur != ranges.end()) {
      if (u64{end_of(prev->second)} + 1 == cur->first) {
        // The joined range keeps the opcode of its first part.
        prev->second = (prev->second & OPCODE_MASK) | (cur->second & 0xFFFF);
        cur = ranges.erase(cur);
      } else {
        prev = cur;
        ++cur;
      }
    }
  }
}

void VARNO_DC_THREAD::create_pr_mask(bool cram) {
  const size_t n = m_DBlocksArray.size();
  VARNO_ASSERT_MSG(n <= QV_MAX_BLOCKS_PER_THREAD, "blk_count can't be greater than array boundary");
  VARNO_ASSERT(m_Gen != nullptr);
  const u32 mode = m_Gen->get_mgr_param()->pr_mode;

  // A host range past the block's frames would name frames the stream
  // cannot carry.
  for (size_t i = 0; i < n; ++i) {
    VARNO_BLOCK* bl = m_DBlocksArray[i];
    VARNO_ASSERT_MSG(bl != nullptr, "bl != nullptr");
    const u32 frames = bl->get_number_of_frames();
    if (frames == 0) continue;
    for (const auto& [start, value] : m_pr_frame_ranges[i]) {
      if (is_range_key(start) && end_of(value) >= frames) {
        VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
            "PR frame range [%d, %d] lies beyond the %d frames of block #%d", start,
            end_of(value), frames, static_cast<u32>(i)));
      }
    }
  }

  bool sparse = false;
  if (mode == VARNO_QV_PR_ROW) {
    VARNO_ASSERT_MSG(m_frames_per_row > 0, "frames_per_row > 0");
    const u64 fpr = m_frames_per_row;
    u64 lo = fpr * m_num_rows;
    u64 hi = 0;
    for (size_t i = 0; i < n; ++i) {
      for (const auto& [start, value] : m_pr_frame_ranges[i]) {
        lo = std::min<u64>(lo, start);
        hi = std::max<u64>(hi, end_of(value));
      }
    }
    lo = (lo / fpr) * fpr;
    hi = (hi / fpr + 1) * fpr - 1;
    for (size_t i = 0; i < n; ++i) {
      std::map<u32, u32>& ranges = m_pr_frame_ranges[i];
      if (ranges.empty()) continue;
      // Whole rows still have to fit the last-frame bits of a range.
      VARNO_ASSERT_MSG(hi <= END_MASK && lo <= hi, "pr_row_range <= 0x7FFF");
      const u32 opcode = ranges.begin()->second & OPCODE_MASK;
      ranges.clear();
      ranges[static_cast<u32>(lo)] = opcode | static_cast<u32>(hi);
    }
  } else {
    sparse = mode == VARNO_QV_PR_SPARSE && cram;
    if (sparse) {
      adjust_pr_ranges_for_sparse_interleaving();
      fill_interleaving_masks();
    }
  }

  for (size_t i = 0; i < n; ++i) {
    VARNO_BLOCK* bl = m_DBlocksArray[i];
    const u32 type = bl->block_type();
    VARNO_ASSERT_MSG(type == VOLD_BLOCK_CRAM || type == VOLD_BLOCK_ERAM,
                     "VOLD_BLOCK_CRAM == (VOLD_BLOCK_TYPE)bl->block_type() || VOLD_BLOCK_ERAM == "
                     "(VOLD_BLOCK_TYPE)bl->block_type()");
    if (!cram) {
      const u32 col_count = bl->get_param_value("ERAM_COL_COUNT", 0u);
      const u32 cols_per_block = bl->get_param_value("ERAM_COLS_PER_BLOCK", 0u);
      VARNO_ASSERT_MSG(cols_per_block > 0, "eram_cols_per_block > 0");
      m_eram_cols[i] = col_count / cols_per_block;
      VARNO_ASSERT_MSG(m_eram_cols[i] > 0, "eram_cols > 0");
    }

    std::vector<u8>& mask = m_pr_masks[i];
    mask.clear();
    const u32 frames = bl->get_number_of_frames();
    if (frames == 0) continue;
    mask.assign((u64{frames} + 7) / 8, 0);

    std::map<u32, u32>& ranges = m_pr_frame_ranges[i];
    for (const auto& [start, value] : ranges) {
      if (sparse && start == PAD_KEY) continue;
      // Frames past the block (whole rows of a short block) are not in
      // its stream.
      const u32 last = std::min(end_of(value), frames - 1);
      for (u32 f = start; f <= last; ++f) {
        mask[f >> 3] = static_cast<u8>(mask[f >> 3] | (1u << (f & 7)));
        if (!cram) m_eram_row_last_col[i][f / m_eram_cols[i]] = f % m_eram_cols[i];
      }
    }

    if (!cram) {
      // A range that starts in the row where the previous one ended, or in
      // the next row, is loaded by the command of its group's first range.
      const u32 cols = m_eram_cols[i];
      u32 group = 0;
      u32 prev_end = 0;
      bool first = true;
      for (auto& [start, value] : ranges) {
        if (!is_range_key(start)) continue;
        const u32 end = end_of(value);
        if (first || start / cols - prev_end / cols > 1) {
          group = start;
          first = false;
        } else {
          u32& head = ranges[group];
          head = (head & OPCODE_MASK) | end;
          value |= ERAM_CONTINUATION;
        }
        prev_end = end;
      }
    }
  }
}

void VARNO_DC_THREAD::adjust_pr_ranges_for_sparse_interleaving() {
  const size_t n = m_DBlocksArray.size();
  VARNO_ASSERT_MSG(n <= QV_MAX_BLOCKS_PER_THREAD, "blk_count can't be greater than array boundary");
  VARNO_ASSERT(m_Gen != nullptr);
  const u32 selector = m_Gen->get_mgr_param()->tk_flow;
  const bool tk = m_tk_flow != 0;

  if (tk) {
    VARNO_ASSERT_MSG(m_frames_per_row > 0, "frames_per_row > 0");
    const u32 fpr = m_frames_per_row;
    for (size_t i = 0; i < n; ++i) {
      VARNO_ASSERT(m_partial_request_frame_info[i].size() == 0);
      const std::map<u32, u32>& ranges = m_pr_frame_ranges[i];
      std::set<std::pair<u32, u32>> shapes;  // (column, length)
      for (const auto& [start, value] : ranges) {
        if (is_range_key(start)) shapes.emplace(start % fpr, end_of(value) - start + 1);
      }
      for (const auto& [col, len] : shapes) {
        u32 next_row = 0xFFFFFFFFu;
        for (const auto& [start, value] : ranges) {
          if (!is_range_key(start) || start % fpr != col || end_of(value) - start + 1 != len) {
            continue;
          }
          const u32 row = start / fpr;
          if (row == next_row) {
            ++m_partial_request_frame_info[i].back().row_count;
          } else {
            m_partial_request_frame_info[i].push_back({start, len, 1});
          }
          next_row = row + 1;
        }
      }
    }
  }

  u64 totals[QV_MAX_BLOCKS_PER_THREAD] = {};
  u64 commands_before = 0;
  u64 most = 0;
  for (size_t i = 0; i < n; ++i) {
    u64 frames = 0;
    u64 ranges = 0;
    for (const auto& [start, value] : m_pr_frame_ranges[i]) {
      if (!is_range_key(start)) continue;
      frames += u64{end_of(value)} - start + 1;
      ++ranges;
    }
    u64 commands = 0;
    if (tk) {
      commands = m_partial_request_frame_info[i].size();
    } else {
      // With selector 0 a command slot of a block is a skip slot of every
      // later block.
      commands = ranges + (selector == 0 ? commands_before : 0);
      commands_before = commands;
    }
    totals[i] = frames + commands;
    most = std::max(most, totals[i]);
  }
  VARNO_ASSERT_MSG(most <= 0xFFFFFFFFu, "max_pr_slots <= 0xFFFFFFFF");
  m_max_pr_slots = static_cast<u32>(most);
  if (n == 0) return;

  for (size_t i = 0; i < n; ++i) {
    u64 d = most - totals[i];
    if (d == 0) continue;
    std::map<u32, u32>& ranges = m_pr_frame_ranges[i];
    if (tk) {
      // The padding count must stay within the entry's low 16 bits.
      VARNO_ASSERT_MSG(d <= 0x8000, "dummy_frames <= 0x8000");
      ranges[PAD_KEY] = 0x7FFF + static_cast<u32>(d);
      continue;
    }

    u64 floor = 0;
    std::vector<std::pair<u32, u32>> moves;  // old start, new start
    for (const auto& [start, value] : ranges) {
      if (d == 0) break;
      if (!is_range_key(start)) continue;
      VARNO_ASSERT_MSG(start >= floor, "start_bit >= top_frame_range");
      const u64 gap = start - floor;
      u64 new_start = 0;
      if (gap < d) {
        new_start = floor;
        d -= gap;
      } else {
        new_start = start - d;
        d = 0;
      }
      if (new_start != start) moves.emplace_back(start, static_cast<u32>(new_start));
      floor = u64{end_of(value)} + 2;
    }
    std::vector<std::pair<u32, u32>> moved;
    for (const auto& [from, to] : moves) {
      moved.emplace_back(to, ranges[from]);
      ranges.erase(from);
    }
    for (const auto& [to, value] : moved) ranges[to] = value;

    if (d > 0) {
      auto last = ranges.empty() ? ranges.end() : std::prev(ranges.end());
      if (last == ranges.end()) {
        // The new range takes a command slot besides its frames.
        VARNO_ASSERT_MSG(d - 1 <= END_MASK, "dummy_frames <= 0x7FFF");
        ranges[0] = static_cast<u32>(d >= 2 ? d - 2 : 0);
      } else {
        const u64 end = end_of(last->second);
        if (end + d >= u64{m_frames_per_row} * m_num_rows) {
          VARNO_INTERNAL_ERROR("dummy_frames + end_bit < (m_frames_per_row * m_num_rows)");
        }
        VARNO_ASSERT_MSG(end + d <= END_MASK, "dummy_frames + end_bit <= 0x7FFF");
        last->second += static_cast<u32>(d);
      }
    }
  }
}

void VARNO_DC_THREAD::fill_interleaving_masks() {
  const size_t n = m_DBlocksArray.size();
  VARNO_ASSERT_MSG(n <= QV_MAX_BLOCKS_PER_THREAD, "num_blks can't be greater than array boundary");
  if (n == 0) return;
  VARNO_ASSERT(m_Gen != nullptr);
  const u32 selector = m_Gen->get_mgr_param()->tk_flow;
  for (auto& map : m_InterleaveMap) map.clear();

  auto next_free = [this](size_t i, u32 s) {
    for (auto it = m_InterleaveMap[i].find(s); it != m_InterleaveMap[i].end();
         it = m_InterleaveMap[i].find(s)) {
      VARNO_ASSERT_MSG(it->second == PR_SPARSE_SKIP_FLAG, "imap_it->second == PR_SPARSE_SKIP_FLAG");
      ++s;
    }
    return s;
  };

  for (size_t i = 0; i < n; ++i) {
    std::map<u32, u32>& imap = m_InterleaveMap[i];
    const std::map<u32, u32>& ranges = m_pr_frame_ranges[i];
    u32 s = 0;
    if (m_tk_flow == 0) {
      for (const auto& [start, value] : ranges) {
        if (!is_range_key(start)) continue;
        // One command slot, then the frames start .. end.
        for (u64 f = start; f <= u64{end_of(value)} + 1; ++f) {
          s = next_free(i, s);
          if (f == start) {
            imap[s] = PR_CMD_FLAG | start;
            if (selector == 0) {
              for (size_t j = i + 1; j < n; ++j) m_InterleaveMap[j][s] = PR_SPARSE_SKIP_FLAG;
            }
          } else {
            imap[s] = static_cast<u32>(f - 1);
          }
          ++s;
        }
      }
    } else {
      VARNO_ASSERT_MSG(m_frames_per_row > 0, "frames_per_row > 0");
      const u32 fpr = m_frames_per_row;
      for (const VARNO_PR_RUN& run : m_partial_request_frame_info[i]) {
        const u64 run_end = run.frame_start + u64{run.row_count} * fpr;
        for (const auto& [start, value] : ranges) {
          if (!is_range_key(start) || start % fpr != run.frame_start % fpr ||
              end_of(value) - start + 1 != run.length) {
            continue;
          }
          if (start == run.frame_start) {
            s = next_free(i, s);
            VARNO_ASSERT_MSG(run.row_count <= 0xFF, "number of row exceeds 0xFF");
            imap[s] = PR_CMD_FLAG | run.row_count << 16 | run.frame_start;
            ++s;
          }
          if (run.frame_start <= start && start < run_end) {
            for (u32 f = start; f <= end_of(value); ++f) {
              s = next_free(i, s);
              imap[s] = f;
              ++s;
            }
          }
        }
      }
      if (!ranges.empty()) {
        const auto& [key, value] = *ranges.rbegin();
        if (key == PAD_KEY && (value & 0x8000) != 0) {
          for (u32 k = PAD_KEY; k <= (value & 0xFFFF); ++k) {
            s = next_free(i, s);
            imap[s] = PR_DUMMY_FLAG;
            ++s;
          }
        }
      }
    }
  }

  const size_t size = m_InterleaveMap[0].size();
  for (size_t i = 1; i < n; ++i) {
    if (m_InterleaveMap[i].size() != size) {
      std::cout << "first block size = " << size << " but block #" << i << " size is "
                << m_InterleaveMap[i].size() << std::endl;
      VARNO_INTERNAL_ERROR("size == m_InterleaveMap[i].size()");
    }
  }
}

u32 VARNO_DC_THREAD::insert_pr_cmd(u8* out, u32 block_index, u32 thr, u32 frame) {
  VARNO_BLOCK* block = m_DBlocksArray.at(block_index);
  VARNO_ASSERT_MSG(block_index < QV_MAX_BLOCKS_PER_THREAD,
                   "blk_count can't be greater than array boundary");
  const bool tk = m_tk_flow != 0;
  u32 rows = 0;
  u32 nop = CRAM_NOP;
  if (tk) {
    rows = (frame >> 16) & 0xFF;
    frame &= 0xFFFF;
    nop = static_cast<u32>(cfg_get_int_value("varno_pr_sparse_cmd_nop", 500));
  }

  // The first frame the block's slots carry.
  bool has_first = true;
  u32 first_frame = 0;
  const std::map<u32, u32>& imap = m_InterleaveMap[block_index];
  if (!imap.empty()) {
    auto it = std::find_if(imap.begin(), imap.end(),
                           [](const auto& slot) { return slot.second <= 0xFFFF; });
    has_first = it != imap.end();
    if (has_first) first_frame = it->second;
  }

  const std::map<u32, u32>& ranges = m_pr_frame_ranges[block_index];
  const auto range = ranges.find(frame);
  if (range == ranges.end() || !is_range_key(frame)) return 0;

  VARNO_ASSERT(m_CompFrmHdrBlk != nullptr);
  const u32 frame_hdr_size = m_CompFrmHdrBlk->get_block_size();
  VARNO_ASSERT(frame_hdr_size > 0);
  auto* bl = dynamic_cast<VARNO_DBLOCK*>(block);
  VARNO_ASSERT(bl != nullptr);
  VARNO_ASSERT_MSG(out != nullptr, "out != nullptr");
  VARNO_GROUP_WRITER w(out, m_stream_room, VARNO_GROUP_DETAIL::STREAM_OVERRUN);

  const bool preamble = tk ? (!has_first || frame != first_frame) : range != ranges.begin();
  if (preamble) {
    // The data registers are cleared before the next range.
    const u32 dr1 = bl->get_param_value("DRAS", 1u);
    VARNO_ASSERT(dr1 > 0);
    write_comp_header(w, 1, 0, 0, thr, ((dr1 + 7) / 8 + 3) / 4);
    const u64 body = ((VARNO_GROUP_DETAIL::round_up_8(dr1) + 63) / 64) * 8;
    std::memset(w.reserve(body), 0, body);
    write_comp_header(w, 0, VARNO_COMP_FRTYPE_CONTROL, 0, thr, nop);
  }

  VARNO_ASSERT_MSG(m_frames_per_row > 0, "frames_per_row > 0");
  const u32 end = end_of(range->second);
  const u32 opcode = range->second >> 16;
  const u64 length = u64{end} - frame + 1;
  u64 frame_count = length;
  u32 op_word = opcode;
  if (tk) {
    frame_count = rows * length;
    VARNO_ASSERT(frame_count <= 0xFFFF);
    op_word = opcode | rows << 8 | static_cast<u32>(length) << 16 | PR_TK_CMD_FLAG;
  }
  const u32 row = frame / m_frames_per_row + 1;
  const u32 col = frame % m_frames_per_row;
  // The command holds 8 bits for each; a wider value would address another
  // row.
  VARNO_ASSERT_MSG(row <= 0xFF && col <= 0xFF, "pr_row <= 0xFF && pr_col <= 0xFF");

  write_comp_header(w, 2, 0, 0, thr, 3);
  w.dword(CRAM_PR_CMD);
  w.dword(row | col << 8 | static_cast<u32>(frame_count) << 16);
  w.dword(op_word);
  w.dword(0);
  write_comp_header(w, 0, VARNO_COMP_FRTYPE_CONTROL, 0, thr, nop);
  return static_cast<u32>(w.position());
}

u32 VARNO_DC_THREAD::insert_eram_pr_cmd(u8* out, u32 block_index, u32 thr, u32 frame,
                                        u32& col_info) {
  (void)m_DBlocksArray.at(block_index);
  VARNO_ASSERT_MSG(block_index < QV_MAX_BLOCKS_PER_THREAD,
                   "blk_count can't be greater than array boundary");
  const u32 cols = m_eram_cols[block_index];
  VARNO_ASSERT(cols > 0);

  const std::map<u32, u32>& ranges = m_pr_frame_ranges[block_index];
  const auto range = ranges.find(frame);
  const bool command =
      range != ranges.end() && is_range_key(frame) && (range->second & ERAM_CONTINUATION) == 0;

  u64 written = 0;
  if (command) {
    VARNO_ASSERT(m_CompFrmHdrBlk != nullptr);
    const u32 frame_hdr_size = m_CompFrmHdrBlk->get_block_size();
    VARNO_ASSERT(frame_hdr_size > 0);
    VARNO_ASSERT_MSG(out != nullptr, "out != nullptr");
    VARNO_GROUP_WRITER w(out, m_stream_room, VARNO_GROUP_DETAIL::STREAM_OVERRUN);
    std::vector<u8> image(frame_hdr_size, 0);
    // These headers come from the option block's own image.
    auto header = [&](u32 ch, u32 f_type, u32 s4, u32 t, u32 len) {
      VARNO_UTIL::WriteCompHdrBlock(m_CompFrmHdrBlk.get(), ch, f_type, s4, t, len, 0, 0, nullptr);
      m_CompFrmHdrBlk->copy_block_data(image.data());
      w.bytes(image.data(), frame_hdr_size);
    };

    if (range == ranges.begin()) {
      if (block_index != 0) {
        header(1, VARNO_COMP_FRTYPE_CONTROL, 0, 0, 256);
        header(0, VARNO_COMP_FRTYPE_CONTROL, 0, 1, 100);
      }
    } else {
      header(1, VARNO_COMP_FRTYPE_CONTROL, 0, 0, 256);
    }
    const u32 end = end_of(range->second);
    header(3, 0, 0, m_tk_flow != 0 ? thr : 1, 3);
    w.dword(ERAM_PR_CMD);
    w.dword((frame / cols + 1) | (end / cols - frame / cols + 1) << 16);
    w.dword(0);
    w.dword(0);
    header(1, VARNO_COMP_FRTYPE_CONTROL, 0, thr & 2, 256);
    written = w.position();
  }

  const u32 col = frame % cols;
  const auto last = m_eram_row_last_col[block_index].find(frame / cols);
  const bool last_col = last != m_eram_row_last_col[block_index].end() && last->second == col;
  col_info = col | (last_col ? 0x100u : 0u);
  return static_cast<u32>(written);
}

void VARNO_DC_THREAD::get_phys_pr_row(const u32& block_index, u32& row) {
  // Without the TK flow every sector has one spare row, at physical row 0.
  u32 loc0 = 0;
  u32 loc1 = 0xFFFFFFFFu;
  if (m_tk_flow != 0) {
    auto* blk = dynamic_cast<VARNO_DBLOCK*>(m_DBlocksArray.at(block_index));
    VARNO_ASSERT(blk != nullptr);
    VARNO_ASSERT(blk->get_param_size("CRAM_ALGO") > 0);
    const u32 algo = blk->get_param_value("CRAM_ALGO", 0u);
    VARNO_BLOCK_CONFIG* config = blk->get_block_config();
    const VOLD_ARG* spare_rows =
        config != nullptr ? config->get_arg(VOLD_ARGUMENT_CRAM_SPARE_ROWS) : nullptr;
    VARNO_ASSERT(spare_rows != nullptr);
    loc0 = VOLD_MANAGER::get_spare_row_location(spare_rows, 0);
    loc1 = algo == 5 ? VOLD_MANAGER::get_spare_row_location(spare_rows, 1) : 0xFFFFFFFFu;
  }
  if (row >= loc0) row += 1;
  if (row >= loc1) row += 1;
}
