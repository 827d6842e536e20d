// Templates: the fixed 24-byte command records from which the device's
// decompressor builds the packets, register writes, ERAM headers and delays
// around each block's frames.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cfg.h"
#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_tables.h"
#include "varno_util.h"

namespace {

const char* const TEMPLATE_OVERRUN = "templates_size == 24 * template_count";
constexpr u32 DEFAULT_FW_LOAD_DELAY = 200000;
constexpr u32 ERAM_DELAY_DEVICE_TYPE = 62;

bool is_mmio_type(u32 type) {
  return type == VOLD_BLOCK_MORLU_CSR || type == VOLD_BLOCK_HIP_MMIO || type == VOLD_BLOCK_MMIO2 ||
         type == VOLD_BLOCK_EHIP_MMIO || type == VOLD_BLOCK_HNOC_MMIO ||
         type == VOLD_BLOCK_HNOC_AXI4LITE;
}

bool is_fw_params_type(u32 type) {
  return type == VOLD_BLOCK_FW_PARAMS || type == VOLD_BLOCK_FW_PARAMS_WEST ||
         type == VOLD_BLOCK_FW_PARAMS_EAST;
}

bool is_uib_type(u32 type) {
  return type == VOLD_BLOCK_UIB_BBUS || type == VOLD_BLOCK_UIB_CSR || type == VOLD_BLOCK_DIB_BBUS ||
         type == VOLD_BLOCK_UIB_MMR;
}

// ERAM column blocks per row of a block.
u32 eram_column_blocks(VARNO_IBLOCK* blk) {
  const u32 col_count = blk->get_param_value("ERAM_COL_COUNT", 0u);
  const u32 bits_per_col = blk->get_param_value("ERAM_COLS_PER_BLOCK", 0u);
  VARNO_ASSERT(col_count > 0 && bits_per_col > 0);
  return col_count / bits_per_col;
}

}  // namespace

// Which list each data block of a thread belongs to, its position k in that
// list and the number of sector blocks of each list. Templates and their
// counts share it, so the two always agree.
struct VARNO_MBLOCK_GROUP::BLOCK_LIST {
  std::vector<bool> second;
  std::vector<u32> k;
  u32 n_list[2] = {0, 0};
};

VARNO_MBLOCK_GROUP::BLOCK_LIST VARNO_MBLOCK_GROUP::classify_blocks(unsigned thr) {
  VARNO_DC_THREAD& t = checked_thread(thr);
  const size_t n = t.m_DBlocksArray.size();
  if (t.m_two_col_2d != 0) VARNO_ASSERT_MSG(n == 2, "num_blks == 2");
  BLOCK_LIST list;
  u32 seen[2] = {0, 0};
  for (size_t i = 0; i < n; ++i) {
    VARNO_BLOCK* blk = t.m_DBlocksArray.at(i);
    VARNO_ASSERT(blk != nullptr);
    const bool sector = VARNO_GROUP_DETAIL::sector_of(blk) != nullptr;
    bool second = false;
    if (sector && t.m_two_col_2d != 0) {
      // Block 0 of a two-column thread leads the first list.
      second = i != 0;
    } else if (sector && m_test_mode) {
      VARNO_ASSERT_MSG(i < QV_MAX_BLOCKS_PER_THREAD, "i<QV_MAX_BLOCKS_PER_THREAD");
      second = t.m_multi_address[i];
    }
    list.second.push_back(second);
    list.k.push_back(seen[second ? 1 : 0]++);
    if (sector) ++list.n_list[second ? 1 : 0];
  }
  return list;
}

u32 VARNO_MBLOCK_GROUP::get_num_templates(unsigned thr, bool second) {
  VARNO_DC_THREAD& t = checked_thread(thr);
  if (t.m_DBlocksArray.empty()) return 0;
  const BLOCK_LIST list = classify_blocks(thr);
  const VARNO_MGR_PARAM& p = param();
  const bool pr = p.pr_mode != VARNO_QV_PR_NONE;
  const bool sparse = p.pr_mode == VARNO_QV_PR_SPARSE;
  u32 count = 0;
  for (size_t i = 0; i < t.m_DBlocksArray.size(); ++i) {
    if (list.second[i] != second) continue;
    VARNO_BLOCK* blk = t.m_DBlocksArray[i];
    const bool first = list.k[i] == 0;
    const u32 type = blk->block_type();
    if (type == VOLD_BLOCK_CRAM || type == VOLD_BLOCK_CRAM_HIPI) {
      count += first ? (sparse ? 6 : 4) : (sparse ? 3 : 2);
    } else if (type == VOLD_BLOCK_ERAM) {
      if (m_tk_flow) {
        count += first ? (pr ? 6 : 3) : (pr ? 3 : 2);
      } else if (!pr) {
        const u32 m = eram_column_blocks(blk);
        count += first ? m + 1 + (device_type_of_top() == ERAM_DELAY_DEVICE_TYPE ? 1 : 0) : m;
      } else {
        count += first ? 11 : 0;
      }
    } else if (type == VOLD_BLOCK_BBUS) {
      count += first ? 4 : 1;
    } else if (type == VOLD_BLOCK_REGSCAN) {
      count += first ? 3 : 1;
    } else if (is_mmio_type(type)) {
      count += first ? 5 : 3;
    } else if (type == VOLD_BLOCK_AIB_CSR || type == VOLD_BLOCK_IO_CSR ||
               type == VOLD_BLOCK_IO_BBUS || is_uib_type(type) ||
               type == VOLD_BLOCK_AIBAUX_REFCLK) {
      count += first ? 2 : 1;
    } else if (type == VOLD_BLOCK_MORLU_CAL || type == VOLD_BLOCK_IO_VAMM ||
               type == VOLD_BLOCK_IO_AHB) {
      count += 2;
    } else if (type == VOLD_BLOCK_CNT_FW) {
      count += 3;
    } else if (is_fw_params_type(type)) {
      count += p.template_count_mode == 1 ? 2 : 3;
    } else if (type == VOLD_BLOCK_BRAM || type == VOLD_BLOCK_XCVR) {
      count += t.m_multi_frame_chunk != 0 ? 5 : 4;
    }
  }
  return count;
}

// ---- Writing --------------------------------------------------------------------------------

// What the template writers of one thread share.
struct VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT {
  VARNO_MBLOCK_GROUP* group;
  VARNO_GROUP_WRITER* w;
  u32 x = 0;
  u32 y = 0;
  u8* current = nullptr;  // the template being written

  // Starts a zero-filled template with its control word.
  void begin(u32 control) {
    current = w->reserve(VARNO_TEMPLATE_SIZE);
    if (current != nullptr) {
      std::memset(current, 0, VARNO_TEMPLATE_SIZE);
      VARNO_UTIL::write_dword_safely(control, current);
    }
  }
  void word(u32 offset, u32 value) {
    if (current != nullptr) VARNO_UTIL::write_dword_safely(value, current + offset);
  }
  void image(VARNO_SBLOCK* block, u32 offset) {
    if (current != nullptr) block->read_block_data(current + offset);
  }
  void cnoc(u32 len) {
    VARNO_UTIL::WriteCnocBlock(group->m_cnoc_blk.get(), 0, len, 0, x, y, nullptr);
    image(group->m_cnoc_blk.get(), 4);
  }
  void cnt(u32 op, u32 areg, u32 offset) {
    VARNO_UTIL::WriteCntBlock(group->m_cnt_blk.get(), op, 0, areg, offset, 0, nullptr);
    image(group->m_cnt_blk.get(), 4 + group->m_cnoc_blk_size);
  }
  void eram(u32 addr) {
    VARNO_UTIL::WriteEramHdrBlock(group->m_eram_hdr_blk.get(), addr, 1, 512, 0, nullptr);
    image(group->m_eram_hdr_blk.get(), 16);
  }
  // [control, nop, 0xF] with an optional word at 20 (and at 12).
  void literal(u32 control, u32 nop, u32 w5 = 0) {
    begin(control);
    word(4, nop);
    word(8, 0xF);
    word(20, w5);
  }
  u8* position() const { return current; }
};

unsigned VARNO_MBLOCK_GROUP::fill_tk_eram_templates(u8* out, unsigned thr, bool first, u32 nop,
                                                    u32 fifteen, u32 len, u32 k, u32 x, u32 y,
                                                    u32 u, VARNO_QV_PR_MODE mode) {
  checked_thread(thr);
  const u32 count = (first ? (mode != 0 ? 3 : 1) : 0) + (mode != 0 ? 1 : 0) + 2;
  VARNO_GROUP_WRITER w(out, u64{count} * VARNO_TEMPLATE_SIZE, TEMPLATE_OVERRUN);
  TEMPLATE_CONTEXT c{this, &w};
  tk_eram_templates(w, c, first, nop, fifteen, len, k, x, y, u, mode);
  return static_cast<unsigned>(w.position());
}

void VARNO_MBLOCK_GROUP::tk_eram_templates(VARNO_GROUP_WRITER&, TEMPLATE_CONTEXT& c, bool first,
                                           u32 nop, u32 fifteen, u32 len, u32 k, u32 x, u32 y,
                                           u32 u, VARNO_QV_PR_MODE mode) {
  c.x = x;
  c.y = y;
  if (first && mode != 0) {
    c.literal(0x20011 | u, nop, 4096);
    c.word(8, fifteen);
    c.literal(0x22014 | u, nop);
    c.word(8, fifteen);
    c.word(12, 255);
  }
  if (first) {
    c.literal(0x2F010 | u, nop, 200);
    c.word(8, fifteen);
  }
  if (mode != 0) {
    c.begin((k * 4 + 3) | u | 0x30000);
    c.cnoc(len);
    c.cnt(6, 1, 0);
  }
  c.begin((k * 4) | u | 0x40000);
  c.cnoc(0);
  c.cnt(4, 4, 8192);
  c.eram(0);
  c.begin((k * 4) | u | 0x48001);
  c.cnoc(0);
  c.cnt(6, 4, 8192);
  c.eram(0);
}

unsigned VARNO_MBLOCK_GROUP::fill_templates(u8* out, unsigned thr) {
  const u64 count = u64{get_num_templates(thr, false)} + get_num_templates(thr, true);
  VARNO_GROUP_WRITER w(out, count * VARNO_TEMPLATE_SIZE, TEMPLATE_OVERRUN);
  templates(w, thr);
  VARNO_ASSERT_MSG(w.position() == count * VARNO_TEMPLATE_SIZE, TEMPLATE_OVERRUN);
  return static_cast<unsigned>(w.position());
}

void VARNO_MBLOCK_GROUP::templates(VARNO_GROUP_WRITER& w, unsigned thr) {
  VARNO_DC_THREAD& t = checked_thread(thr);
  const VARNO_MGR_PARAM& p = param();
  const u32 g = p.pr_mode;
  const bool tk = m_tk_flow;
  const u8 sg_param = m_sg_param;

  // The header images are laid out at fixed places: CNOC at 4, CNT behind it
  // up to 16, ERAM at 16.
  VARNO_ASSERT_MSG(m_cnoc_blk != nullptr, "m_cnoc_blk != nullptr");
  VARNO_ASSERT_MSG(m_cnt_blk != nullptr, "m_cnt_blk != nullptr");
  VARNO_ASSERT_MSG(m_eram_hdr_blk != nullptr, "m_eram_hdr_blk != nullptr");
  VARNO_ASSERT_MSG(m_cnoc_blk->get_block_size() + m_cnt_blk->get_block_size() == 12 &&
                       m_eram_hdr_blk->get_block_size() <= 4,
                   "cnoc_size + cnt_size == 12 && eram_hdr_size <= 4");
  m_cnoc_blk_size = m_cnoc_blk->get_block_size();

  // NOP CNOC header word.
  u32 nop = p.tk_flow == 0 ? 0xFBF00000u : 0;
  {
    std::vector<u8> image(std::max<u32>(4, m_cnoc_blk_size), 0);
    VARNO_UTIL::write_dword_safely(nop, image.data());
    fill_nop_cnoc_header(image.data(), thr);
    nop = VARNO_UTIL::get_dword_from_address(image.data());
  }
  const u32 f8 = (p.s4_variant == 0 && m_type_name == "CRAM" && p.qv_2d_align != 0 &&
                  (p.qv_2d_compression & 8) != 0)
                     ? 8
                     : 0;

  VOLD_DEVICE_INFO* device_info =
      m_Gen->device_pcf_info() != nullptr ? m_Gen->device_pcf_info()->get_device_info() : nullptr;
  VARNO_ASSERT(device_info != nullptr);
  std::string suffix;
  {
    const auto& devices = *m_Gen->device_lsm_delays();
    const auto& families = *m_Gen->family_lsm_delays();
    auto d = devices.find(device_info->get_device_type());
    auto f = families.find(device_info->get_family_type());
    if (d != devices.end()) {
      suffix = d->second;
    } else if (f != families.end()) {
      suffix = f->second;
    } else {
      const u32 ft = device_info->get_family_type();
      const u32 dt = device_info->get_device_type();
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "lsm_delay not found for family: %s, device: %s",
          ft < VOLD_FAMILY_TYPE_NAMES_COUNT ? VOLD_FAMILY_TYPE_NAMES[ft] : "",
          dt < VOLD_DEVICE_TYPE_NAMES_COUNT ? VOLD_DEVICE_TYPE_NAMES[dt] : ""));
    }
  }

  const BLOCK_LIST list = classify_blocks(thr);

  u32 buses = 0;
  for (unsigned i = 0; i < QV_MAX_DC_THREADS; ++i) {
    if (!is_thread_active(i)) continue;
    if (m_DcThreads[i].is_bus_active(false)) ++buses;
    if (m_DcThreads[i].is_bus_active(true)) ++buses;
  }
  const u32 block_mask = (1u << std::min<size_t>(t.m_DBlocksArray.size(), 8)) - 1;
  const u32 maskw = (buses - 1) << 28 | 0xFFFFFF;
  const int fw_load = cfg_get_int_value("varno_qv_fw_load_dly", 0);
  const u32 fwl = (fw_load != 0 ? static_cast<u32>(fw_load) : DEFAULT_FW_LOAD_DELAY) |
                  (buses - 1) << 28;

  TEMPLATE_CONTEXT c{this, &w};
  u32 ifr = 1;
  u32 irow = 1;
  u8* delay_pair = nullptr;
  bool cram_seen = false;
  const u64 start = w.position();
  const u32 cram_ifr_override = static_cast<u32>(cfg_get_int_value("varno_qv_cram_ifr_dly", 0));
  const u32 cram_irow_override = static_cast<u32>(cfg_get_int_value("varno_qv_cram_irow_dly", 0));

  for (size_t i = 0; i < t.m_DBlocksArray.size(); ++i) {
    VARNO_BLOCK* blk = t.m_DBlocksArray.at(i);
    VARNO_ASSERT(blk != nullptr);
    VARNO_MBLOCK* mblk = VARNO_GROUP_DETAIL::sector_of(blk);
    c.x = mblk != nullptr ? mblk->x() : 0;
    c.y = mblk != nullptr ? mblk->y() : 0;
    const bool second = list.second[i];
    const u32 u = second ? 0x100 : 0;
    const u32 k = list.k[i];
    const bool first = k == 0;
    const u32 n_list = list.n_list[second ? 1 : 0];
    const u32 len = (u64{blk->get_frame_size(0)} + m_cnoc_blk_size + m_cnt_blk->get_block_size()) >> 2;
    const u32 type = blk->block_type();

    if (type == VOLD_BLOCK_CRAM || type == VOLD_BLOCK_CRAM_HIPI) {
      const bool interleaved = m_interleave && n_list > 1 && g == VARNO_QV_PR_NONE &&
                               (m_type_name == "CRAM" || m_type_name == "CRAM_HIPI");
      if (first) {
        c.literal(0x2F010 | u, nop);
        delay_pair = c.position();
        c.literal(0x2F011 | u, nop);
      }
      if (k == 0 && interleaved) {
        c.begin((k * 4) | f8 | u | 0x1034000);
        c.word(20, (m_brow_frame_size - 1) << 24 | (n_list * 4 - 3));
      } else {
        c.begin((k * 4) | f8 | u | 0x30000);
      }
      c.cnoc(len);
      c.cnt(4, 4, 0);
      u32 c1 = 0;
      if (k == 0) {
        c1 = 0x38000 | (k * 4 + 1) | f8 | u;
      } else {
        const u32 a = interleaved && k == n_list - 1 ? 0 : 1;
        c1 = ((m_brow_frame_size - a) << 24) | (k * 4 + 1) | 0x39000 | f8 | u;
      }
      c.begin(c1);
      c.cnoc(len);
      c.cnt(6, 4, 0x1000);
      if (g == VARNO_QV_PR_SPARSE) {
        c.begin((k * 4 + 2) | u | 0x30000);
        c.cnoc(len);
        c.cnt(6, 1, 0);
        if (first) c.literal(0x20014 | u, nop);
      }

      // Delays: the largest over the blocks, unless one block stands alone.
      auto lsm = [&](const char* base) {
        return blk->get_param_value("LSM_DELAY_WRITE", std::string(base) + suffix);
      };
      const u32 pr_delay = tk ? static_cast<u32>(cfg_get_int_value("varno_pr_interframe_delay_size", 10))
                              : lsm("CRAM_INTER_FRAME_DELAY_PR");
      ifr = std::max(ifr, g != 0 ? pr_delay : lsm("CRAM_INTER_FRAME_DELAY_CONFIG"));
      irow = std::max(irow, g != 0 ? pr_delay : lsm("CRAM_INTER_ROW_DELAY_CONFIG"));
      cram_seen = true;
    } else if (type == VOLD_BLOCK_ERAM && tk) {
      tk_eram_templates(w, c, first, nop, 0xF, len, k, c.x, c.y, u,
                        static_cast<VARNO_QV_PR_MODE>(g));
    } else if (type == VOLD_BLOCK_ERAM && g == VARNO_QV_PR_NONE) {
      if (first) {
        c.literal(0x2F010 | u, nop, 200);
        if (device_info->get_device_type() == ERAM_DELAY_DEVICE_TYPE) c.literal(0x20014 | u, nop);
      }
      const u32 m = eram_column_blocks(blk);
      for (u32 j = 0; j < m; ++j) {
        const bool last = j == m - 1;
        c.begin((k * 4 + j) | u | (last ? 0x48000 : 0x40000));
        c.cnoc(0);
        c.cnt(last ? 6 : 4, 4, 0x2000);
        c.eram(j);
      }
    } else if (type == VOLD_BLOCK_ERAM) {
      if (first) {
        for (u32 j = 0; j <= 6; ++j) {
          c.begin(j | u | (j <= 2 ? 0x40000 : 0x48000));
          c.cnoc(0);
          c.cnt(j < 3 ? 4 : 6, 4, 0x2000);
          c.eram(j <= 2 ? j : j - 3);
        }
        c.begin(0x30007);
        c.cnoc(len);
        c.cnt(6, 1, 0);
        c.literal(0x2F010 | u, nop, 200);
        c.literal(0x20011 | u, nop, 0x1000);
        c.literal(0x22014 | u, nop);
        c.word(12, 0xFF);
      }
    } else if (type == VOLD_BLOCK_BBUS) {
      if (first) {
        c.literal(0x23010 | u, nop, maskw);
        c.literal(0x20011 | u, nop, 0x1000);
        c.literal(0x20014 | u, nop);
      }
      c.begin(k | u | 0x30000 | (i == 0 ? 0x2000 : 0));
      c.cnoc(0);
      c.cnt(6, 2, 0);
      if (i == 0) c.word(20, block_mask);
    } else if (is_mmio_type(type)) {
      if (first) {
        c.literal(0x23010, nop, 0x1000);
        c.literal(0x20014 | u, nop);
      }
      const bool multicast = cfg_is_on("varno_qv_mmio_multicast", false);
      for (u32 s = 0; s < 3; ++s) {
        const u32 r = s < 2 ? (type == VOLD_BLOCK_HNOC_AXI4LITE ? 6 : 5) : 1;
        c.begin((k * 4 + s) | u | 0x30000);
        if (s == 0 && multicast) {
          c.word(4, 0x20000);
        } else {
          c.cnoc(0);
        }
        c.cnt(6, r, 0);
      }
    } else if (type == VOLD_BLOCK_MORLU_CAL) {
      c.begin(0x30000);
      c.word(4, 0x20000);
      c.cnt(6, 5, 0);
      c.begin(0x30002);
      c.word(4, 0x20000);
      c.cnt(6, 1, 0);
    } else if (type == VOLD_BLOCK_AIB_CSR || type == VOLD_BLOCK_AIBAUX_REFCLK) {
      if (first) c.literal(0x20014 | u, nop);
      const bool aib = type == VOLD_BLOCK_AIB_CSR;
      const bool multicast = aib ? cfg_is_on("varno_qv_aib_csr_multicast", false)
                                 : cfg_is_on("varno_qv_aib_refclk_multicast", false);
      c.begin((k * 4) | u | 0x30000);
      if (multicast) {
        c.word(4, 0x20000);
      } else {
        c.cnoc(0);
      }
      c.cnt(6, aib ? 6 : 1, 0);
    } else if (type == VOLD_BLOCK_IO_CSR || type == VOLD_BLOCK_IO_BBUS) {
      if (first) c.literal(0x23010, nop, maskw);
      c.begin((k * 4) | u | 0x30000);
      c.cnoc(0);
      c.cnt(6, 6, 0);
    } else if (type == VOLD_BLOCK_CNT_FW) {
      const u32 words[3][3] = {
          {0x20000, 0x20000, 4}, {0x20002, 0x20000, 0}, {0x30003, 0x20000, 0x10006}};
      for (const auto& tpl : words) {
        c.begin(tpl[0]);
        c.word(4, tpl[1]);
        c.word(8, tpl[2]);
      }
    } else if (is_fw_params_type(type)) {
      c.literal(0x23010, nop, fwl);
      if (p.template_count_mode != 1) {
        c.begin(0x31001);
        c.cnt(6, 3, 0);
      }
      c.literal(0x20014, nop);
    } else if (type == VOLD_BLOCK_REGSCAN) {
      if (first) {
        c.literal(0x22010 | u, nop, block_mask);
        c.literal(0x20011 | u, nop, 0x1000);
      }
      c.begin(k | u | 0x30000);
      if (sg_param != 0) {
        c.word(4, 0x20000);
      } else {
        c.cnoc(0);
      }
      if (p.regscan_31bit != 0) {
        c.cnt(5, 4, 0);
      } else {
        c.cnt(3, 0, 0x21000);
      }
    } else if (is_uib_type(type)) {
      if (first) c.literal(0x20010 | u, nop);
      c.begin((k * 4) | u | 0x30000);
      c.cnoc(0);
      c.cnt(6, 6, 0);
    } else if (type == VOLD_BLOCK_BRAM || type == VOLD_BLOCK_XCVR) {
      c.begin(0x30000);
      c.cnoc(0);
      c.cnt(6, 1, 0);
      if (t.m_multi_frame_chunk != 0) {
        c.begin(0x20002);
        c.cnoc(0);
        c.cnt(4, 4, 0);
      }
      c.begin(0x20003);
      c.cnoc(0);
      c.cnt(6, 4, 0);
      c.literal(0x23010, nop, 0x1000);
      c.literal(0x20011, nop);
    } else if (type == VOLD_BLOCK_IO_VAMM || type == VOLD_BLOCK_IO_AHB) {
      c.begin((k * 4) | u | 0x20000);
      c.cnoc(0);
      c.cnt(4, 2, 0);
      c.begin((k * 4 + 1) | u | 0x20000);
      c.cnoc(0);
      c.cnt(6, 2, 0);
    }

    if (cram_seen && (type == VOLD_BLOCK_CRAM || type == VOLD_BLOCK_CRAM_HIPI)) {
      auto lsm = [&](const char* base) {
        return blk->get_param_value("LSM_DELAY_WRITE", std::string(base) + suffix);
      };
      if (n_list == 1 || t.m_two_col_2d != 0) {
        if (g == VARNO_QV_PR_NONE) {
          ifr = lsm("CRAM_INTER_FRAME_DELAY_SINGLE");
          irow = lsm("CRAM_INTER_ROW_DELAY_SINGLE");
        } else {
          ifr = tk ? static_cast<u32>(cfg_get_int_value("varno_pr_interframe_delay_size_single", 140))
                   : lsm("CRAM_INTER_FRAME_DELAY_PR_SINGLE");
          irow = ifr;
        }
      }
      if (p.pre_action_flag != 0) {
        ifr = 1024;
        irow = 1024;
      }
      if (delay_pair != nullptr) {
        VARNO_UTIL::write_dword_safely(cram_ifr_override != 0 ? cram_ifr_override : ifr,
                                       delay_pair + 20);
        VARNO_UTIL::write_dword_safely(cram_irow_override != 0 ? cram_irow_override : irow,
                                       delay_pair + VARNO_TEMPLATE_SIZE + 20);
      }
    }
  }

  if (m_tk_flow && m_interleave && (m_type_name == "ERAM" || m_type_name == "REGSCAN") &&
      w.base() != nullptr) {
    u8* area = w.base() + start;
    const u64 bytes = w.position() - start;
    VARNO_TEMPLATE_MGR mgr(area, static_cast<unsigned>(bytes / VARNO_TEMPLATE_SIZE),
                           VARNO_TEMPLATE_SIZE);
    mgr.sort_templates();
    mgr.copy_sorted_templates(area);
  }
}

// ---- Template reordering ---------------------------------------------------------------------

VARNO_TEMPLATE::VARNO_TEMPLATE(const u8* data, u32 size) : m_size(size) {
  std::memcpy(m_data, data, size);
  m_key = (u32{m_data[1] & 1u} << 8) | (m_data[0] & 0x1Fu);
}

void VARNO_TEMPLATE::print_template() const {
  for (u32 i = 0; i < m_size; ++i) std::printf("%d ", m_data[i]);
  std::printf("\n key: %d \n", m_key);
}

VARNO_TEMPLATE_MGR::VARNO_TEMPLATE_MGR(u8* data, unsigned count, unsigned size)
    : m_data(data), m_count(count), m_size(size) {
  VARNO_ASSERT(m_size > 0);
  VARNO_ASSERT_MSG(m_size <= VARNO_TEMPLATE_SIZE, "m_size <= 24");
  m_templates.reserve(count);
  for (u32 i = 0; i < count; ++i) m_templates.emplace_back(data + u64{i} * size, size);
}

void VARNO_TEMPLATE_MGR::sort_templates() {
  // Keys are unique in the flows that sort; a stable order keeps ties as
  // written.
  std::stable_sort(m_templates.begin(), m_templates.end(),
                   [](const VARNO_TEMPLATE& a, const VARNO_TEMPLATE& b) { return a.m_key < b.m_key; });
}

unsigned VARNO_TEMPLATE_MGR::copy_sorted_templates(u8* out) {
  for (u32 i = 0; i < m_templates.size(); ++i) {
    std::memmove(out + u64{i} * m_size, m_templates[i].m_data, m_size);
  }
  return m_count * m_size;
}

void VARNO_TEMPLATE_MGR::print_templates() const {
  std::printf("Total templates: %d\n", m_count);
  for (u32 i = 0; i < m_templates.size(); ++i) {
    std::printf("template %d : ", i);
    m_templates[i].print_template();
  }
}

void VARNO_TEMPLATE_MGR::print_data() const {
  std::printf("All templates data: ");
  for (u64 i = 0; i < u64{m_count} * m_size; ++i) std::printf("%d ", m_data[i]);
  std::printf("\n");
}
