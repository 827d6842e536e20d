// The group's CNOC packets, pre- and post-actions, and the per-thread
// sector bookkeeping they share with the templates and the collection.
#include <utility>

#include "cfg.h"
#include "varno_assert.h"
#include "varno_block_group.h"
#include "varno_block_group_rules.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"

using VARNO_GROUP_DETAIL::GROUP_CRAM;
using VARNO_GROUP_DETAIL::GROUP_ERAM;
using VARNO_GROUP_DETAIL::GROUP_REGSCAN;

namespace {

constexpr u32 CNOC_SEND_CMD = 22;
constexpr u32 DELAY_CMD = 24;
constexpr u32 INTR_WAIT_CMD = 29;
constexpr u32 SHORT_CMD_SIZE = 12;
// A CNOC address coordinate of 63 marks an absent address.
constexpr u32 NO_CNOC_ADDRESS = 63;

const char* const PACKET_OVERRUN = "result == CNOC_SEND_ACTION_SIZE";
const char* const PRE_OVERRUN = "pre_written == pre_action_size";
const char* const POST_OVERRUN = "post_written == post_action_size";

// The block image of an option block, header records included.
void copy_image(VARNO_SBLOCK* block, VARNO_GROUP_WRITER& w) {
  const u32 size = block->get_block_size();
  u8* at = w.reserve(size);
  if (at != nullptr) block->copy_block_data(at);
}

}  // namespace

// ---- Packets ---------------------------------------------------------------------------------

void VARNO_MBLOCK_GROUP::packet(VARNO_GROUP_WRITER& w, VARNO_BLOCK* blk, u32 len, u32 thr,
                                u32 idx, u32 areg, u32 offset) {
  VARNO_ASSERT_MSG(m_cnoc_blk != nullptr, "m_cnoc_blk != nullptr");
  VARNO_ASSERT_MSG(m_cnt_blk != nullptr, "m_cnt_blk != nullptr");
  const u64 cnoc_size = m_cnoc_blk->get_block_size();
  const u64 cnt_size = m_cnt_blk->get_block_size();
  // The headers must fill the packet exactly; checked before writing.
  VARNO_ASSERT_MSG(16 + cnoc_size + cnt_size == CNOC_SEND_ACTION_SIZE, PACKET_OVERRUN);
  VARNO_MBLOCK* mblk = VARNO_GROUP_DETAIL::sector_of(blk);
  VARNO_ASSERT(mblk != nullptr);

  const u64 start = w.position();
  w.dword(CNOC_SEND_CMD);
  w.dword(len + CNOC_SEND_ACTION_SIZE);
  const bool multi = m_test_mode && idx < QV_MAX_BLOCKS_PER_THREAD &&
                     thr < QV_MAX_DC_THREADS && m_DcThreads[thr].m_multi_address[idx];
  w.dword(multi ? (thr + 1) * 4 : thr + 1);
  w.skip(4);
  VARNO_UTIL::WriteCnocBlock(m_cnoc_blk.get(), 0, 0, 0, mblk->x(), mblk->y(), nullptr);
  copy_image(m_cnoc_blk.get(), w);
  VARNO_UTIL::WriteCntBlock(m_cnt_blk.get(), 6, 0, areg, offset, 0, nullptr);
  copy_image(m_cnt_blk.get(), w);
  VARNO_ASSERT_MSG(w.position() - start == CNOC_SEND_ACTION_SIZE, PACKET_OVERRUN);
}

u32 VARNO_MBLOCK_GROUP::cnoc_send_no_cmd_packet(u8* dest, VARNO_BLOCK* blk, u32 len, u32 thr,
                                                u32 idx, u32 areg, u32 offset) {
  VARNO_GROUP_WRITER w(dest, CNOC_SEND_ACTION_SIZE, PACKET_OVERRUN);
  packet(w, blk, len, thr, idx, areg, offset);
  return static_cast<u32>(w.position());
}

u32 VARNO_MBLOCK_GROUP::cnoc_delay(u8* dest, u32 delay) {
  VARNO_GROUP_WRITER w(dest, SHORT_CMD_SIZE, "cnoc_delay_size == 12");
  w.dword(DELAY_CMD);
  w.dword(SHORT_CMD_SIZE);
  w.dword(delay);
  return SHORT_CMD_SIZE;
}

u32 VARNO_MBLOCK_GROUP::intr_wait(u8* dest, u32 value) {
  VARNO_GROUP_WRITER w(dest, SHORT_CMD_SIZE, "intr_wait_size == 12");
  w.dword(INTR_WAIT_CMD);
  w.dword(SHORT_CMD_SIZE);
  w.dword(value);
  return SHORT_CMD_SIZE;
}

void VARNO_MBLOCK_GROUP::send_to_cnts(VARNO_GROUP_WRITER& w, u32 fill, u32 delay, u32 areg,
                                      u32 offset, u32 skip, const u32* counts) {
  u32 k = 0;
  for (u32 t = 0; t < QV_MAX_DC_THREADS; ++t) {
    const auto& blocks = m_DcThreads[t].m_DBlocksArray;
    for (u32 i = 0; i < blocks.size(); ++i, ++k) {
      VARNO_BLOCK* bl = blocks[i];
      VARNO_ASSERT(bl != nullptr);
      if (counts != nullptr) {
        VARNO_ASSERT_MSG(k < 2 * QV_MAX_BLOCKS_PER_THREAD,
                         "blk_count can't be greater than array boundary");
        packet(w, bl, 4 * skip + counts[k], t, i, areg, offset);
        for (u32 n = 0; n < counts[k] / 4; ++n) w.dword(fill);
      } else {
        packet(w, bl, 4 * skip + 4, t, i, areg, offset);
        w.dword(fill);
      }
      w.skip(u64{4} * skip);
      if (delay != 0) {
        w.dword(DELAY_CMD);
        w.dword(SHORT_CMD_SIZE);
        w.dword(delay);
      }
    }
  }
}

u32 VARNO_MBLOCK_GROUP::cnoc_send_to_cnts(u8* dest, u32 fill, u32 delay, u32 areg, u32 offset,
                                          u32 skip, const u32* counts) {
  // The size the writer will produce bounds it.
  VARNO_GROUP_WRITER count(nullptr, ~u64{0}, "cnoc_send_size <= 0xFFFFFFFF");
  send_to_cnts(count, fill, delay, areg, offset, skip, counts);
  VARNO_GROUP_WRITER w(dest, count.position(), "cnoc_send_size <= 0xFFFFFFFF");
  send_to_cnts(w, fill, delay, areg, offset, skip, counts);
  return static_cast<u32>(w.position());
}

// ---- Sizes -------------------------------------------------------------------------------------

u32 VARNO_MBLOCK_GROUP::get_pre_descriptor_size() {
  const u64 n = m_DcThreads[0].m_MBlocksArray.size() + m_DcThreads[1].m_MBlocksArray.size();
  if (n == 0) return 0;
  const u64 a = m_cnoc_blk_size;
  const u64 b = m_cnt_blk_size;
  const u64 c = m_action_hdr_blk_size;
  const u32 g = param().pr_mode;
  u64 size = 0;
  if (m_group_type == GROUP_CRAM && g == VARNO_QV_PR_NONE) {
    size = c + n * (a + b + c + 12) + 4;
  } else if (m_group_type == GROUP_CRAM && g == VARNO_QV_PR_ROW) {
    size = n * (a + b + c + 20);
  } else if (m_group_type == GROUP_ERAM && g == VARNO_QV_PR_NONE) {
    size = c + n * (a + b + c + 12) + 4;
  } else if (m_group_type == GROUP_REGSCAN && param().regscan_31bit != 0) {
    size = n * (a + b + c + 20) + 2 * c + 8;
  }
  VARNO_ASSERT_MSG(size <= 0xFFFFFFFFu, "pre_action_size <= 0xFFFFFFFF");
  return static_cast<u32>(size);
}

u32 VARNO_MBLOCK_GROUP::get_post_descriptor_size() {
  if (m_group_type != GROUP_CRAM) return 0;
  const u64 a = m_cnoc_blk_size;
  const u64 b = m_cnt_blk_size;
  const u64 c = m_action_hdr_blk_size;
  u64 size = 0;
  u32 k = 0;
  for (VARNO_DC_THREAD& t : m_DcThreads) {
    for (VARNO_BLOCK* bl : t.m_DBlocksArray) {
      VARNO_ASSERT_MSG(k < 2 * QV_MAX_BLOCKS_PER_THREAD,
                       "blk_count can't be greater than array boundary");
      VARNO_ASSERT(bl != nullptr);
      const u32 dr1 = bl->get_param_value("DRAS", 1u);
      VARNO_ASSERT(dr1 > 0);
      m_post_counts[k] = dr1 >> 3;
      size += a + b + c + 8 + m_post_counts[k];
      ++k;
    }
  }
  VARNO_ASSERT_MSG(size <= 0xFFFFFFFFu, "post_action_size <= 0xFFFFFFFF");
  return static_cast<u32>(size);
}

// ---- Writers ---------------------------------------------------------------------------------

void VARNO_MBLOCK_GROUP::pre_actions(VARNO_GROUP_WRITER& w) {
  // A group without sectors reserves no pre-actions.
  if (m_DcThreads[0].m_MBlocksArray.empty() && m_DcThreads[1].m_MBlocksArray.empty()) return;
  const VARNO_MGR_PARAM& p = param();
  const u32 g = p.pr_mode;
  if (m_group_type == GROUP_CRAM && g == VARNO_QV_PR_NONE) {
    u32 cmd = p.pre_action_flag != 0 ? 0x1037 : 0x1008;
    if (m_type_name == "CRAM_HIPI") cmd = 0x100A;
    send_to_cnts(w, cmd, 0, 1, 0, 0, nullptr);
    w.dword(DELAY_CMD);
    w.dword(SHORT_CMD_SIZE);
    w.dword(static_cast<u32>(cfg_get_int_value("varno_usr_cram_wr_dly", 20480)));
  } else if (m_group_type == GROUP_CRAM && g == VARNO_QV_PR_ROW) {
    for (u32 t = 0; t < QV_MAX_DC_THREADS; ++t) {
      VARNO_DC_THREAD& thr = m_DcThreads[t];
      VARNO_ASSERT_MSG(thr.m_DBlocksArray.size() <= QV_MAX_BLOCKS_PER_THREAD,
                       "blk_count can't be greater than array boundary");
      for (u32 i = 0; i < thr.m_DBlocksArray.size(); ++i) {
        VARNO_BLOCK* bl = thr.m_DBlocksArray[i];
        VARNO_ASSERT(bl != nullptr);
        u32 s = 0;
        u32 v = 0;
        if (!thr.m_pr_frame_ranges[i].empty()) {
          s = thr.m_pr_frame_ranges[i].begin()->first;
          v = thr.m_pr_frame_ranges[i].begin()->second;
        }
        const u32 fpr = m_brow_frame_size;
        VARNO_ASSERT_MSG(fpr > 0, "frames_per_row > 0");
        const u32 count = (v & 0xFFFF) - s + 1;
        const u32 row_word = (s / fpr + 1) | (s % fpr) << 8 | count << 16;
        const u32 start_row = s / fpr;
        const u32 end_row = ((v & 0xFFFF) + 1) / fpr;
        thr.m_logical_pr_rows[i] = start_row | end_row << 16;
        u32 phys_start = start_row;
        u32 phys_end = end_row;
        thr.get_phys_pr_row(i, phys_start);
        thr.get_phys_pr_row(i, phys_end);
        thr.m_phys_pr_rows[i] = phys_start | phys_end << 16;

        packet(w, bl, 12, t, i, 1, 0);
        w.dword(0x1013);
        w.dword(row_word);
        w.dword(v >> 16);
      }
    }
  } else if (m_group_type == GROUP_ERAM && g == VARNO_QV_PR_NONE) {
    send_to_cnts(w, 0x1009, 0, 1, 0, 0, nullptr);
    w.dword(DELAY_CMD);
    w.dword(SHORT_CMD_SIZE);
    w.dword(8192);
  } else if (m_group_type == GROUP_REGSCAN && p.regscan_31bit != 0) {
    for (u32 t = 0; t < QV_MAX_DC_THREADS; ++t) {
      const auto& blocks = m_DcThreads[t].m_DBlocksArray;
      for (u32 i = 0; i < blocks.size(); ++i) {
        VARNO_BLOCK* bl = blocks[i];
        VARNO_ASSERT(bl != nullptr);
        VARNO_MBLOCK* mblk = VARNO_GROUP_DETAIL::sector_of(bl);
        VARNO_ASSERT(mblk != nullptr);
        VARNO_IBLOCK* regscan_blk = mblk->generator()->get_block("REGSCAN", false);
        VARNO_ASSERT(regscan_blk != nullptr);
        const u32 sel = regscan_blk->get_param_value("CNTR_SEL", 0u) |
                        regscan_blk->get_param_value("CNTR_SEL", 1u);
        packet(w, bl, 12, t, i, 1, 0);
        w.dword(0x1038);
        w.dword(0xB8A01);
        w.dword(~sel);
      }
    }
    w.dword(DELAY_CMD);
    w.dword(SHORT_CMD_SIZE);
    w.dword(1280);
    w.dword(INTR_WAIT_CMD);
    w.dword(SHORT_CMD_SIZE);
    w.dword(20480);
  }
}

void VARNO_MBLOCK_GROUP::post_actions(VARNO_GROUP_WRITER& w) {
  if (m_group_type != GROUP_CRAM) return;
  send_to_cnts(w, 0, 0, 4, 4096, 0, m_post_counts);
}

u32 VARNO_MBLOCK_GROUP::write_pre_actions(u8* dest) {
  VARNO_GROUP_WRITER w(dest, get_pre_descriptor_size(), PRE_OVERRUN);
  pre_actions(w);
  return static_cast<u32>(w.position());
}

u32 VARNO_MBLOCK_GROUP::write_post_actions(u8* dest) {
  VARNO_GROUP_WRITER w(dest, get_post_descriptor_size(), POST_OVERRUN);
  post_actions(w);
  return static_cast<u32>(w.position());
}

// ---- Sector bookkeeping ---------------------------------------------------------------------

u32 VARNO_MBLOCK_GROUP::get_num_sector_threads(unsigned thr) {
  VARNO_DC_THREAD& t = checked_thread(thr);
  if (t.m_MBlocksArray.size() > QV_MAX_BLOCKS_PER_THREAD) return 0;
  VARNO_ASSERT_MSG(t.m_DBlocksArray.size() <= QV_MAX_BLOCKS_PER_THREAD,
                   "num_blks can't be greater than array boundary");
  const u32 m = static_cast<u32>(t.m_DBlocksArray.size());
  if (m == 0) return 0;
  u32 x = 0;
  for (u32 i = 0; i < m; ++i) {
    VARNO_BLOCK* blk = t.m_DBlocksArray[i];
    VARNO_ASSERT(blk != nullptr);
    if (VARNO_GROUP_DETAIL::sector_of(blk) != nullptr && t.m_multi_address[i] && m_test_mode) ++x;
  }
  if (x == 0) return m;
  const u32 result = x + 2;
  VARNO_ASSERT(result <= QV_MAX_BLOCKS_PER_THREAD);
  return result;
}

u32 VARNO_MBLOCK_GROUP::get_cnoc_address_count(u32 fw_type) {
  VARNO_ASSERT(fw_type == VARNO_QV_IO_FW);
  auto* emb_block = dynamic_cast<VARNO_EBLOCK*>(m_Gen->get_block("IO_ARRAY", false));
  VARNO_ASSERT(emb_block != nullptr);
  const u32 width = emb_block->get_param_value("ARRAY_COUNT", 0u);
  const u32 height = emb_block->get_param_value("ARRAY_COUNT", 1u);
  if (height == 0) return 0;
  u32 count = 0;
  for (u32 r = 0; r < height; ++r) {
    for (u32 q = 0; q < width; ++q) {
      const u32 e = r * width + q;
      const u32 x = emb_block->get_arg_value("CNOC_ADDRESSES", e, 0);
      const u32 y = emb_block->get_arg_value("CNOC_ADDRESSES", e, 1);
      if (x != NO_CNOC_ADDRESS && y != NO_CNOC_ADDRESS) ++count;
    }
  }
  return count;
}

void VARNO_MBLOCK_GROUP::fill_nop_cnoc_header(u8* dest, unsigned index) {
  auto* blk = dynamic_cast<VARNO_EBLOCK*>(m_Gen->get_block("SECTOR_ARRAY", false));
  VARNO_ASSERT(blk != nullptr);
  if (!blk->arg_exists("NOP_CNOC_ADDRESSES")) return;
  u32 width = 0;
  const u32 depth = blk->get_arg_depth("NOP_CNOC_ADDRESSES", width);
  u64 row = 0;
  if (m_tk_flow) {
    VARNO_ASSERT_MSG(depth == 1, "Only one NOP entry for TK to the first CNT (0,0)");
  } else if (m_type_name == "IO_CSR" || m_type_name == "IO_SERIAL" ||
             (m_type_name == "FW" && m_sub_name == "IO")) {
    row = 0;
  } else {
    row = u64{index} + 1;
  }
  VARNO_ASSERT_MSG(row < depth, "Invalid Access");
  const u32 x = blk->get_arg_value("NOP_CNOC_ADDRESSES", static_cast<u32>(row), 0);
  const u32 y = blk->get_arg_value("NOP_CNOC_ADDRESSES", static_cast<u32>(row), 1);
  VARNO_UTIL::WriteCnocBlock(m_cnoc_blk.get(), 0, 0, 0, x, y, dest);
}

void VARNO_MBLOCK_GROUP::reorder_cnoc_map(const bool* flags, u32 n, u32* index,
                                          std::vector<VARNO_BLOCK*>* blocks) {
  VARNO_ASSERT_MSG(n > 0 && index != nullptr, "arr_size > 0 && blk_index_arr != nullptr");
  for (u32 i = 0; i < n; ++i) index[i] = i;
  for (u32 i = 1; i < n; ++i) {
    for (u32 j = i; j < n; ++j) {
      if (flags[index[i - 1]] > flags[index[j]]) {
        const u32 a = index[i - 1];
        const u32 b = index[j];
        std::swap(index[i - 1], index[j]);
        if (blocks != nullptr) std::swap(blocks->at(a), blocks->at(b));
      }
    }
  }
}

void VARNO_MBLOCK_GROUP::set_ip_row_info(u32 rows, u32 frames) {
  for (VARNO_DC_THREAD& t : m_DcThreads) {
    t.m_num_rows = rows;
    t.m_frames_per_row = frames;
  }
}
