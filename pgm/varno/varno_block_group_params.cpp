// Decompression-thread parameter records: per sector slot of a thread, the
// data-register lengths, the place of the sector's 2D tables in the thread's
// 2D setup data, its spare rows, split-redundancy unit, y position and S4
// settings.
#include <cstring>

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_block_group.h"
#include "varno_block_group_rules.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

const std::map<std::string, VARNO_SPLIT_REDUNDANCY_MAPPING> M_VARNO_SPLIT_REDUNDANCY_MAP = {
    {"zr4", {{1, 2}, {3, 4, 5, 6}, {7, 8}}},
};

using VARNO_GROUP_DETAIL::B_STRUCT_SIZE;

namespace {

// Bytes of a record that fill_dc_params writes: nine words.
constexpr u32 RECORD_WORDS_SIZE = 36;
constexpr u32 CRAM_ALGO_TWO_SPARE_ROWS = 5;

// The device name of a parameter-file name: without directories and
// without the ".ddb" extension.
std::string device_name_of(const std::string& pcf) {
  std::string name = pcf;
  const size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  const std::string ext = ".ddb";
  if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
    name.resize(name.size() - ext.size());
  }
  return name;
}

void put(u8* record, u32 offset, u32 value) { VARNO_UTIL::write_dword_safely(value, record + offset); }

}  // namespace

unsigned VARNO_MBLOCK_GROUP::fill_dc_params(u8* out, unsigned thr) {
  VARNO_ASSERT(m_sector_grp_dc_params != nullptr);
  const u64 area = u64{get_num_sector_threads(thr)} * m_sector_grp_dc_params->get_block_size();
  VARNO_GROUP_WRITER w(out, area, "records_size == num_sector_threads * dc_params_size");
  dc_params(w, thr);
  return 0;
}

void VARNO_MBLOCK_GROUP::dc_params(VARNO_GROUP_WRITER& w, unsigned thr) {
  VARNO_ASSERT(m_sector_grp_dc_params != nullptr);
  const u32 size = m_sector_grp_dc_params->get_block_size();
  const u32 records = get_num_sector_threads(thr);
  u8* area = w.reserve(u64{records} * size);
  VARNO_DC_THREAD& t = checked_thread(thr);
  const u32 n = group_num_blocks(thr);
  const VARNO_MGR_PARAM& p = param();
  const bool cram = m_group_type == VARNO_GROUP_DETAIL::GROUP_CRAM;
  const bool s4_mode = p.s4_variant != 0 && m_type_name == "CRAM";
  if (n == 0 || area == nullptr) return;
  VARNO_ASSERT_MSG(size >= RECORD_WORDS_SIZE, "dc_params_size >= 36");

  const std::string device = device_name_of(m_Gen->device_pcf());
  const auto split = M_VARNO_SPLIT_REDUNDANCY_MAP.find(device);

  u64 pos = 0;  // running byte offset in the thread's 2D setup data
  u32 lower_slots = 0;
  u32 upper_slots = 0;
  std::vector<bool> used(records, false);
  for (u32 i = 0; i < n; ++i) {
    auto* blk = dynamic_cast<VARNO_DBLOCK*>(t.m_DBlocksArray.at(i));
    VARNO_ASSERT(blk != nullptr);
    VARNO_MBLOCK* mblk = VARNO_GROUP_DETAIL::sector_of(blk);
    bool upper = false;
    if (mblk != nullptr && m_test_mode) {
      VARNO_ASSERT_MSG(i < QV_MAX_BLOCKS_PER_THREAD, "i<QV_MAX_BLOCKS_PER_THREAD");
      upper = t.m_multi_address[i];
    }
    const u32 slot = upper ? 2 + upper_slots++ : lower_slots++;
    // A record outside the reserved area, or two blocks in one record, would
    // corrupt the descriptor.
    VARNO_ASSERT_MSG(slot < records && !used[slot], "slot < num_sector_threads");
    used[slot] = true;
    u8* rec = area + u64{slot} * size;

    if (cram) {
      const u32 d0 = blk->get_param_value("DRAS", 0u);
      const u32 d1 = blk->get_param_value("DRAS", 1u);
      const bool encoded = blk->m_s4_mask_used;
      VARNO_ASSERT_MSG(d0 != 0 && d1 != 0, "dr0_bits != 0 && dr1_bits != 0");
      u32 dr0 = d0;
      u32 dr1 = d1;
      if (s4_mode) {
        // The S4 lengths are only needed for S4-encoded frames.
        dr0 = encoded ? blk->get_param_value("DRAS", 2u) : 2 * d0;
        dr1 = encoded ? blk->get_param_value("DRAS", 3u) : 2 * d1;
      }
      // Doubled S4 lengths must still fit their 16-bit halves.
      VARNO_ASSERT_MSG((dr0 >> 5) <= 0xFFFF && (dr1 >> 5) <= 0xFFFF,
                       "(dr0 >> 5) <= 0xFFFF && (dr1 >> 5) <= 0xFFFF");
      put(rec, 0, (dr1 >> 5) << 16 | (dr0 >> 5));

      VARNO_ASSERT(blk->get_arg_size("CRAM_SPARE_ROWS") > 0);
      VARNO_BLOCK_CONFIG* config = blk->get_block_config();
      const VOLD_ARG* spare_rows =
          config != nullptr ? config->get_arg(VOLD_ARGUMENT_CRAM_SPARE_ROWS) : nullptr;
      VARNO_ASSERT(spare_rows != nullptr);
      const u32 number_spare_rows = VOLD_MANAGER::get_total_spare_rows(spare_rows);
      VARNO_ASSERT_MSG(number_spare_rows >= m_brow_frame_size && m_brow_frame_size > 0,
                       "number_spare_rows > 0");
      const u32 lower = VOLD_MANAGER::get_spare_row_location(spare_rows, 0);

      VARNO_ASSERT(blk->get_param_size("CRAM_ALGO") > 0);
      if (blk->get_param_value("CRAM_ALGO", 0u) == CRAM_ALGO_TWO_SPARE_ROWS) {
        VARNO_ASSERT_MSG(number_spare_rows / m_brow_frame_size == 2, "number_spare_rows == 2");
        const u32 upper_row = VOLD_MANAGER::get_spare_row_location(spare_rows, 1);
        put(rec, 28, ((upper_row << 8) & 0xFFFF) | (lower & 0xFF));
      }

      if (split != M_VARNO_SPLIT_REDUNDANCY_MAP.end()) {
        VARNO_ASSERT(mblk != nullptr);
        bool found = false;
        u32 unit = 0;
        for (u32 j = 0; j < split->second.size() && !found; ++j) {
          for (unsigned x : split->second[j]) {
            if (x == mblk->x()) {
              found = true;
              unit = j;
              break;
            }
          }
        }
        VARNO_ASSERT_MSG(found, "found == TRUE");
        put(rec, 28, VARNO_UTIL::get_dword_from_address(rec + 28) | unit << 24);
      }

      if (s4_mode) {
        VARNO_ASSERT(mblk != nullptr);
        u32 v = 0;
        if (p.pr_mode == VARNO_QV_PR_NONE) {
          v = lower == 0 ? 1 : 0;
        } else {
          VARNO_ASSERT_MSG(i < QV_MAX_BLOCKS_PER_THREAD, "i<QV_MAX_BLOCKS_PER_THREAD");
          v = t.m_phys_pr_rows[i] & 0xFFFF;
          VARNO_ASSERT_MSG(v != lower, "start_row != spare_row_lower");
        }
        u32 word = v << 8 | mblk->y();
        if (encoded) {
          word |= 0xC0000000u;
          write_sector_s4_fs(blk, rec + RECORD_WORDS_SIZE, size - RECORD_WORDS_SIZE);
        } else {
          word |= 0x80000000u;
        }
        put(rec, 32, word);
      }
    }

    // BBM range; the relative form points the BBM offsets at the first row
    // of the range.
    u32 bbm_adjust = 0;
    const u32 range = get_start_end_bbm_offset(thr, i);
    if (range != 0) {
      if (p.qv_2d_align != 0) {
        put(rec, 24, range);
      } else {
        put(rec, 24, ((range >> 16) - (range & 0xFFFF)) << 16);
        bbm_adjust = range & 0xFFFF;
      }
    }

    if (VARNO_QV_2D_ENGINE* eng = blk->get_2d_engine()) {
      const VARNO_GROUP_2D_ENGINE_OPS& ops = engine_ops();
      const u64 f_size = ops.fstruct_size(eng);
      const u64 bbm = ops.bbm_size(eng);
      const u64 f_offset = (pos + B_STRUCT_SIZE) >> 3;
      const u64 bbm_offset = ((pos + B_STRUCT_SIZE + f_size) >> 3) + bbm_adjust;
      // The offsets are 16-bit fields of 8-byte units.
      VARNO_ASSERT_MSG(bbm_offset <= 0xFFFF && f_offset <= 0xFFFF, "2d_setup_offset <= 0xFFFF");
      put(rec, 4, ops.slices_per_row(eng) << 8 | 0xF);
      put(rec, 8, static_cast<u32>(pos >> 3));
      put(rec, 12, f_size == 0 ? 0 : static_cast<u32>(bbm_offset << 16 | f_offset));
      put(rec, 20, static_cast<u32>(bbm_offset));
      pos += B_STRUCT_SIZE + f_size + bbm;
    }

    if (m_type_name == "ERAM") put(rec, 16, VARNO_GROUP_DETAIL::eram_column_blocks(blk));
  }
}

u32 VARNO_MBLOCK_GROUP::get_start_end_bbm_offset(unsigned thr, unsigned i) {
  const VARNO_MGR_PARAM& p = param();
  if (m_type_name != "CRAM" || p.pr_mode != VARNO_QV_PR_ROW || m_2d_exception ||
      (p.qv_2d_compression & VARNO_CRAM_2D_COMP_CHECK_BIT) == 0) {
    return 0;
  }
  VARNO_DC_THREAD& t = checked_thread(thr);
  auto* blk = dynamic_cast<VARNO_DBLOCK*>(t.m_DBlocksArray.at(i));
  VARNO_ASSERT(blk != nullptr);
  VARNO_QV_2D_ENGINE* eng = blk->get_2d_engine();
  VARNO_ASSERT(eng != nullptr);
  const u32 bbm_size = engine_ops().bbm_size(eng);
  VARNO_ASSERT(bbm_size > 0);
  VARNO_ASSERT_MSG(m_brow_size > 0, "brow_size > 0");
  const u64 q = (bbm_size / m_brow_size) >> 3;
  VARNO_ASSERT_MSG(i < QV_MAX_BLOCKS_PER_THREAD, "i<QV_MAX_BLOCKS_PER_THREAD");
  const u32 start_pr_row = t.m_logical_pr_rows[i] & 0xFFFF;
  const u32 end_pr_row = t.m_logical_pr_rows[i] >> 16;
  VARNO_ASSERT(end_pr_row > 0);
  const u64 start = start_pr_row * q;
  const u64 end = end_pr_row * q;
  VARNO_ASSERT_MSG(end <= 0xFFFF, "bbm_range <= 0xFFFF");
  return static_cast<u32>(end << 16 | start);
}

void VARNO_MBLOCK_GROUP::write_sector_s4_fs(VARNO_IBLOCK* block, u8* out, u32 room) {
  u32 arg_size = block->get_arg_size("S4_FS_SIZE");
  VARNO_ASSERT(arg_size == 1);
  const u32 arg_val = block->get_arg_value("S4_FS_SIZE", 0, 0);
  VARNO_ASSERT(arg_val > 0);
  const u32 fs_size = arg_val;
  arg_size = block->get_arg_size("SECTOR_S4_FS");
  VARNO_ASSERT(arg_size > 0);
  VARNO_ASSERT(arg_size <= fs_size);
  VARNO_ASSERT_MSG((u64{fs_size} + 1) / 2 <= room, "(fs_size + 1) / 2 <= room");
  for (u32 k = 0; k < arg_size; ++k) {
    const u32 value = block->get_arg_value("SECTOR_S4_FS", 0, k);
    out[k / 2] |= static_cast<u8>((value << (4 * (k % 2))) & 0xFF);
  }
}
