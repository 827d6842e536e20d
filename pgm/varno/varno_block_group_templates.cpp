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
#include "varno_block_group_rules.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_tables.h"
#include "varno_util.h"

using VARNO_GROUP_DETAIL::BLOCK_KIND;
using VARNO_GROUP_DETAIL::ERAM_DELAY_DEVICE_TYPE;
using VARNO_GROUP_DETAIL::eram_column_blocks;

namespace {

const char* const TEMPLATE_OVERRUN = "templates_size == 24 * template_count";
constexpr u32 DEFAULT_FW_LOAD_DELAY = 200000;

// Literal words of a template at offsets 12 (w3) and 20 (w5): delays, masks
// and counts.
constexpr u32 W3_OFFSET = 12;
constexpr u32 W5_OFFSET = 20;
// Bit of the control word that marks the thread's second list (U).
constexpr u32 SECOND_LIST_BIT = 0x100;
// Templates of a block are numbered k * 4 + s: s counts within the block.
constexpr u32 TEMPLATES_PER_BLOCK = 4;
// Word in place of the CNOC header of a multicast template.
constexpr u32 MULTICAST_WORD = 0x20000;
// The CRAM templates' S4 flag (F8).
constexpr u32 CRAM_S4_FLAG = 8;
// Delay words of the CRAM templates under a pre-action.
constexpr u32 PRE_ACTION_CRAM_DELAY = 1024;
// Count field of the second CRAM template after the first block.
constexpr u32 CRAM_COUNT_SHIFT = 24;

// Values of one thread that its templates read.
struct THREAD_TEMPLATE_VALUES {
  u32 nop = 0;  // N: the NOP CNOC header word
  u32 f8 = 0;   // CRAM_S4_FLAG when the CRAM templates carry it
  u32 block_mask = 0;
  u32 maskw = 0;  // MASKW: active buses and the frame mask
  u32 fwl = 0;    // FWL: firmware load delay and active buses
  std::string lsm_suffix;
  VOLD_DEVICE_INFO* device = nullptr;
};

// One data block of the thread as its templates see it.
struct TEMPLATE_BLOCK {
  VARNO_BLOCK* blk = nullptr;
  size_t i = 0;    // position in the thread
  u32 u = 0;       // SECOND_LIST_BIT on the second list
  u32 k = 0;       // position in its list
  bool first = false;
  u32 n_list = 0;  // sector blocks of its list
  u32 len = 0;     // L: words of frame 0 with the CNOC and CNT headers
  u32 type = 0;
  BLOCK_KIND kind = BLOCK_KIND::OTHER;
};

// The CRAM delay words, which run on over the blocks of the thread, and the
// delay pair they go into.
struct CRAM_DELAYS {
  u32 ifr = 1;
  u32 irow = 1;
  u8* pair = nullptr;
  bool seen = false;
  // Configured words that replace them when non-zero.
  u32 ifr_override = 0;
  u32 irow_override = 0;
};

// The block's LSM delay parameter base + the thread's suffix.
u32 lsm_delay(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b, const char* base) {
  return b.blk->get_param_value("LSM_DELAY_WRITE", std::string(base) + v.lsm_suffix);
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
    const BLOCK_KIND kind = VARNO_GROUP_DETAIL::block_kind(blk->block_type());
    if (kind == BLOCK_KIND::CRAM) {
      count += first ? (sparse ? 6 : 4) : (sparse ? 3 : 2);
    } else if (kind == BLOCK_KIND::ERAM) {
      if (m_tk_flow) {
        count += first ? (pr ? 6 : 3) : (pr ? 3 : 2);
      } else if (!pr) {
        const u32 m = eram_column_blocks(blk);
        count += first ? m + 1 + (device_type_of_top() == ERAM_DELAY_DEVICE_TYPE ? 1 : 0) : m;
      } else {
        count += first ? 11 : 0;
      }
    } else if (kind == BLOCK_KIND::BBUS) {
      count += first ? 4 : 1;
    } else if (kind == BLOCK_KIND::REGSCAN) {
      count += first ? 3 : 1;
    } else if (kind == BLOCK_KIND::MMIO) {
      count += first ? 5 : 3;
    } else if (kind == BLOCK_KIND::AIB || kind == BLOCK_KIND::IO_CSR || kind == BLOCK_KIND::UIB) {
      count += first ? 2 : 1;
    } else if (kind == BLOCK_KIND::MORLU_CAL || kind == BLOCK_KIND::IO_WINDOW) {
      count += 2;
    } else if (kind == BLOCK_KIND::FW_IMAGE) {
      count += 3;
    } else if (kind == BLOCK_KIND::FW_PARAMS) {
      count += p.template_count_mode == 1 ? 2 : 3;
    } else if (kind == BLOCK_KIND::LOAD) {
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
    if (current != nullptr) block->copy_block_data(current + offset);
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
  // The words [control, nop, 0xF, 0, 0, w5].
  void literal(u32 control, u32 nop, u32 w5 = 0) {
    begin(control);
    word(4, nop);
    word(8, 0xF);
    word(W5_OFFSET, w5);
  }
  u8* position() const { return current; }

  // ---- Steps of fill_templates ---------------------------------------------

  // N, F8 and the LSM suffix.
  THREAD_TEMPLATE_VALUES thread_values(unsigned thr) const;
  // The block mask, MASKW and FWL, from the buses of the group.
  void bus_values(const VARNO_DC_THREAD& t, THREAD_TEMPLATE_VALUES& v) const;
  // The templates of one block by its block type.
  void block_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b,
                       const VARNO_DC_THREAD& t, CRAM_DELAYS& delays);
  void cram_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b,
                      CRAM_DELAYS& delays);
  void eram_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b);
  void bbus_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b);
  void mmio_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b);
  void morlu_cal_templates();
  void aib_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b);
  void io_csr_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b);
  void cnt_fw_templates();
  void fw_params_templates(const THREAD_TEMPLATE_VALUES& v);
  void regscan_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b);
  void uib_templates(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b);
  void bram_xcvr_templates(const THREAD_TEMPLATE_VALUES& v, const VARNO_DC_THREAD& t);
  void io_window_templates(const TEMPLATE_BLOCK& b);
  // Rewrites the delay pair with the delays the blocks so far ask for.
  void cram_delays(const THREAD_TEMPLATE_VALUES& v, const TEMPLATE_BLOCK& b,
                   const VARNO_DC_THREAD& t, CRAM_DELAYS& delays) const;
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
    c.word(W3_OFFSET, 255);
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

  // The header images are laid out at fixed places: CNOC at 4, CNT behind it
  // up to 16, ERAM at 16.
  VARNO_ASSERT_MSG(m_cnoc_blk != nullptr, "m_cnoc_blk != nullptr");
  VARNO_ASSERT_MSG(m_cnt_blk != nullptr, "m_cnt_blk != nullptr");
  VARNO_ASSERT_MSG(m_eram_hdr_blk != nullptr, "m_eram_hdr_blk != nullptr");
  VARNO_ASSERT_MSG(m_cnoc_blk->get_block_size() + m_cnt_blk->get_block_size() == 12 &&
                       m_eram_hdr_blk->get_block_size() <= 4,
                   "cnoc_size + cnt_size == 12 && eram_hdr_size <= 4");
  m_cnoc_blk_size = m_cnoc_blk->get_block_size();

  TEMPLATE_CONTEXT c{this, &w};
  THREAD_TEMPLATE_VALUES v = c.thread_values(thr);
  const BLOCK_LIST list = classify_blocks(thr);
  c.bus_values(t, v);
  CRAM_DELAYS delays;
  delays.ifr_override = static_cast<u32>(cfg_get_int_value("varno_qv_cram_ifr_dly", 0));
  delays.irow_override = static_cast<u32>(cfg_get_int_value("varno_qv_cram_irow_dly", 0));
  const u64 start = w.position();
  for (size_t i = 0; i < t.m_DBlocksArray.size(); ++i) {
    TEMPLATE_BLOCK b;
    b.blk = t.m_DBlocksArray.at(i);
    VARNO_ASSERT(b.blk != nullptr);
    VARNO_MBLOCK* mblk = VARNO_GROUP_DETAIL::sector_of(b.blk);
    c.x = mblk != nullptr ? mblk->x() : 0;
    c.y = mblk != nullptr ? mblk->y() : 0;
    const bool second = list.second[i];
    b.i = i;
    b.u = second ? SECOND_LIST_BIT : 0;
    b.k = list.k[i];
    b.first = b.k == 0;
    b.n_list = list.n_list[second ? 1 : 0];
    b.len = static_cast<u32>(
        (u64{b.blk->get_frame_size(0)} + m_cnoc_blk_size + m_cnt_blk->get_block_size()) >> 2);
    b.type = b.blk->block_type();
    b.kind = VARNO_GROUP_DETAIL::block_kind(b.type);
    c.block_templates(v, b, t, delays);
    if (delays.seen && b.kind == BLOCK_KIND::CRAM) {
      c.cram_delays(v, b, t, delays);
    }
  }

  // The TK interleaved flows hand the decompressor their templates by key.
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

THREAD_TEMPLATE_VALUES VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::thread_values(unsigned thr) const {
  const VARNO_MGR_PARAM& p = group->param();
  THREAD_TEMPLATE_VALUES v;

  // The NOP CNOC header word, as the device's NOP addresses make it.
  v.nop = p.tk_flow == 0 ? 0xFBF00000u : 0;
  {
    std::vector<u8> image(std::max<u32>(4, group->m_cnoc_blk_size), 0);
    VARNO_UTIL::write_dword_safely(v.nop, image.data());
    group->fill_nop_cnoc_header(image.data(), thr);
    v.nop = VARNO_UTIL::get_dword_from_address(image.data());
  }
  v.f8 = (p.s4_variant == 0 && group->m_type_name == "CRAM" && p.qv_2d_align != 0 &&
          (p.qv_2d_compression & VARNO_GROUP_DETAIL::S4_FLAG_COMPRESSION_BIT) != 0)
             ? CRAM_S4_FLAG
             : 0;

  // The suffix of the LSM delay parameters: by device, else by family.
  VARNO_GEN* gen = group->m_Gen;
  v.device = VARNO_GROUP_DETAIL::device_info_of(gen);
  const auto& devices = *gen->device_lsm_delays();
  const auto& families = *gen->family_lsm_delays();
  auto d = devices.find(v.device->get_device_type());
  auto f = families.find(v.device->get_family_type());
  if (d != devices.end()) {
    v.lsm_suffix = d->second;
  } else if (f != families.end()) {
    v.lsm_suffix = f->second;
  } else {
    const u32 ft = v.device->get_family_type();
    const u32 dt = v.device->get_device_type();
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "lsm_delay not found for family: %s, device: %s",
        ft < VOLD_FAMILY_TYPE_NAMES_COUNT ? VOLD_FAMILY_TYPE_NAMES[ft] : "",
        dt < VOLD_DEVICE_TYPE_NAMES_COUNT ? VOLD_DEVICE_TYPE_NAMES[dt] : ""));
  }
  return v;
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::bus_values(const VARNO_DC_THREAD& t,
                                                      THREAD_TEMPLATE_VALUES& v) const {
  u32 buses = 0;
  for (unsigned i = 0; i < QV_MAX_DC_THREADS; ++i) {
    if (!group->thread_active(i)) continue;
    if (group->m_DcThreads[i].is_bus_active(false)) ++buses;
    if (group->m_DcThreads[i].is_bus_active(true)) ++buses;
  }
  v.block_mask = (1u << std::min<size_t>(t.m_DBlocksArray.size(), 8)) - 1;
  v.maskw = (buses - 1) << 28 | 0xFFFFFF;
  const int fw_load = cfg_get_int_value("varno_qv_fw_load_dly", 0);
  v.fwl = (fw_load != 0 ? static_cast<u32>(fw_load) : DEFAULT_FW_LOAD_DELAY) | (buses - 1) << 28;
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::block_templates(const THREAD_TEMPLATE_VALUES& v,
                                                           const TEMPLATE_BLOCK& b,
                                                           const VARNO_DC_THREAD& t,
                                                           CRAM_DELAYS& delays) {
  const BLOCK_KIND kind = b.kind;
  if (kind == BLOCK_KIND::CRAM) {
    cram_templates(v, b, delays);
  } else if (kind == BLOCK_KIND::ERAM) {
    eram_templates(v, b);
  } else if (kind == BLOCK_KIND::BBUS) {
    bbus_templates(v, b);
  } else if (kind == BLOCK_KIND::MMIO) {
    mmio_templates(v, b);
  } else if (kind == BLOCK_KIND::MORLU_CAL) {
    morlu_cal_templates();
  } else if (kind == BLOCK_KIND::AIB) {
    aib_templates(v, b);
  } else if (kind == BLOCK_KIND::IO_CSR) {
    io_csr_templates(v, b);
  } else if (kind == BLOCK_KIND::FW_IMAGE) {
    cnt_fw_templates();
  } else if (kind == BLOCK_KIND::FW_PARAMS) {
    fw_params_templates(v);
  } else if (kind == BLOCK_KIND::REGSCAN) {
    regscan_templates(v, b);
  } else if (kind == BLOCK_KIND::UIB) {
    uib_templates(v, b);
  } else if (kind == BLOCK_KIND::LOAD) {
    bram_xcvr_templates(v, t);
  } else if (kind == BLOCK_KIND::IO_WINDOW) {
    io_window_templates(b);
  }
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::cram_templates(const THREAD_TEMPLATE_VALUES& v,
                                                          const TEMPLATE_BLOCK& b,
                                                          CRAM_DELAYS& delays) {
  const u32 g = group->param().pr_mode;
  const u32 k = b.k;
  const u32 u = b.u;
  const u32 f8 = v.f8;
  const u32 nop = v.nop;
  const u32 len = b.len;
  const u32 brow = group->m_brow_frame_size;
  const bool interleaved = group->m_interleave && b.n_list > 1 && g == VARNO_QV_PR_NONE &&
                           group->m_group_type == VARNO_GROUP_DETAIL::GROUP_CRAM;
  if (b.first) {
    literal(0x2F010 | u, nop);
    delays.pair = position();
    literal(0x2F011 | u, nop);
  }
  if (k == 0 && interleaved) {
    begin((k * TEMPLATES_PER_BLOCK) | f8 | u | 0x1034000);
    word(W5_OFFSET, (brow - 1) << CRAM_COUNT_SHIFT | (b.n_list * TEMPLATES_PER_BLOCK - 3));
  } else {
    begin((k * TEMPLATES_PER_BLOCK) | f8 | u | 0x30000);
  }
  cnoc(len);
  cnt(4, 4, 0);
  u32 c1 = 0;
  if (k == 0) {
    c1 = 0x38000 | (k * TEMPLATES_PER_BLOCK + 1) | f8 | u;
  } else {
    const u32 a = interleaved && k == b.n_list - 1 ? 0 : 1;
    c1 = ((brow - a) << CRAM_COUNT_SHIFT) | (k * TEMPLATES_PER_BLOCK + 1) | 0x39000 | f8 | u;
  }
  begin(c1);
  cnoc(len);
  cnt(6, 4, 0x1000);
  if (g == VARNO_QV_PR_SPARSE) {
    begin((k * TEMPLATES_PER_BLOCK + 2) | u | 0x30000);
    cnoc(len);
    cnt(6, 1, 0);
    if (b.first) literal(0x20014 | u, nop);
  }

  // Delays: the largest over the blocks, unless one block stands alone.
  const bool tk = group->m_tk_flow;
  const u32 pr_delay =
      tk ? static_cast<u32>(cfg_get_int_value("varno_pr_interframe_delay_size", 10))
         : lsm_delay(v, b, "CRAM_INTER_FRAME_DELAY_PR");
  const u32 config_ifr = g != 0 ? pr_delay : lsm_delay(v, b, "CRAM_INTER_FRAME_DELAY_CONFIG");
  delays.ifr = std::max(delays.ifr, config_ifr);
  const u32 config_irow = g != 0 ? pr_delay : lsm_delay(v, b, "CRAM_INTER_ROW_DELAY_CONFIG");
  delays.irow = std::max(delays.irow, config_irow);
  delays.seen = true;
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::cram_delays(const THREAD_TEMPLATE_VALUES& v,
                                                       const TEMPLATE_BLOCK& b,
                                                       const VARNO_DC_THREAD& t,
                                                       CRAM_DELAYS& delays) const {
  const VARNO_MGR_PARAM& p = group->param();
  const u32 g = p.pr_mode;
  if (b.n_list == 1 || t.m_two_col_2d != 0) {
    if (g == VARNO_QV_PR_NONE) {
      delays.ifr = lsm_delay(v, b, "CRAM_INTER_FRAME_DELAY_SINGLE");
      delays.irow = lsm_delay(v, b, "CRAM_INTER_ROW_DELAY_SINGLE");
    } else {
      delays.ifr =
          group->m_tk_flow
              ? static_cast<u32>(cfg_get_int_value("varno_pr_interframe_delay_size_single", 140))
              : lsm_delay(v, b, "CRAM_INTER_FRAME_DELAY_PR_SINGLE");
      delays.irow = delays.ifr;
    }
  }
  if (p.pre_action_flag != 0) {
    delays.ifr = PRE_ACTION_CRAM_DELAY;
    delays.irow = PRE_ACTION_CRAM_DELAY;
  }
  if (delays.pair != nullptr) {
    const u32 ifr = delays.ifr_override != 0 ? delays.ifr_override : delays.ifr;
    const u32 irow = delays.irow_override != 0 ? delays.irow_override : delays.irow;
    VARNO_UTIL::write_dword_safely(ifr, delays.pair + W5_OFFSET);
    VARNO_UTIL::write_dword_safely(irow, delays.pair + VARNO_TEMPLATE_SIZE + W5_OFFSET);
  }
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::eram_templates(const THREAD_TEMPLATE_VALUES& v,
                                                          const TEMPLATE_BLOCK& b) {
  const u32 g = group->param().pr_mode;
  const u32 u = b.u;
  const u32 nop = v.nop;
  if (group->m_tk_flow) {
    group->tk_eram_templates(*w, *this, b.first, nop, 0xF, b.len, b.k, x, y, u,
                             static_cast<VARNO_QV_PR_MODE>(g));
  } else if (g == VARNO_QV_PR_NONE) {
    if (b.first) {
      literal(0x2F010 | u, nop, 200);
      if (v.device->get_device_type() == ERAM_DELAY_DEVICE_TYPE) literal(0x20014 | u, nop);
    }
    const u32 m = eram_column_blocks(b.blk);
    for (u32 j = 0; j < m; ++j) {
      const bool last = j == m - 1;
      begin((b.k * TEMPLATES_PER_BLOCK + j) | u | (last ? 0x48000 : 0x40000));
      cnoc(0);
      cnt(last ? 6 : 4, 4, 0x2000);
      eram(j);
    }
  } else if (b.first) {
    for (u32 j = 0; j <= 6; ++j) {
      begin(j | u | (j <= 2 ? 0x40000 : 0x48000));
      cnoc(0);
      cnt(j < 3 ? 4 : 6, 4, 0x2000);
      eram(j <= 2 ? j : j - 3);
    }
    begin(0x30007);
    cnoc(b.len);
    cnt(6, 1, 0);
    literal(0x2F010 | u, nop, 200);
    literal(0x20011 | u, nop, 0x1000);
    literal(0x22014 | u, nop);
    word(W3_OFFSET, 0xFF);
  }
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::bbus_templates(const THREAD_TEMPLATE_VALUES& v,
                                                          const TEMPLATE_BLOCK& b) {
  const u32 u = b.u;
  if (b.first) {
    literal(0x23010 | u, v.nop, v.maskw);
    literal(0x20011 | u, v.nop, 0x1000);
    literal(0x20014 | u, v.nop);
  }
  begin(b.k | u | 0x30000 | (b.i == 0 ? 0x2000 : 0));
  cnoc(0);
  cnt(6, 2, 0);
  if (b.i == 0) word(W5_OFFSET, v.block_mask);
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::mmio_templates(const THREAD_TEMPLATE_VALUES& v,
                                                          const TEMPLATE_BLOCK& b) {
  if (b.first) {
    literal(0x23010, v.nop, 0x1000);
    literal(0x20014 | b.u, v.nop);
  }
  const bool multicast = cfg_is_on("varno_qv_mmio_multicast", false);
  for (u32 s = 0; s < 3; ++s) {
    const u32 r = s < 2 ? (b.type == VOLD_BLOCK_HNOC_AXI4LITE ? 6 : 5) : 1;
    begin((b.k * TEMPLATES_PER_BLOCK + s) | b.u | 0x30000);
    if (s == 0 && multicast) {
      word(4, MULTICAST_WORD);
    } else {
      cnoc(0);
    }
    cnt(6, r, 0);
  }
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::morlu_cal_templates() {
  begin(0x30000);
  word(4, MULTICAST_WORD);
  cnt(6, 5, 0);
  begin(0x30002);
  word(4, MULTICAST_WORD);
  cnt(6, 1, 0);
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::aib_templates(const THREAD_TEMPLATE_VALUES& v,
                                                         const TEMPLATE_BLOCK& b) {
  if (b.first) literal(0x20014 | b.u, v.nop);
  const bool csr = b.type == VOLD_BLOCK_AIB_CSR;
  const bool multicast = csr ? cfg_is_on("varno_qv_aib_csr_multicast", false)
                             : cfg_is_on("varno_qv_aib_refclk_multicast", false);
  begin((b.k * TEMPLATES_PER_BLOCK) | b.u | 0x30000);
  if (multicast) {
    word(4, MULTICAST_WORD);
  } else {
    cnoc(0);
  }
  cnt(6, csr ? 6 : 1, 0);
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::io_csr_templates(const THREAD_TEMPLATE_VALUES& v,
                                                            const TEMPLATE_BLOCK& b) {
  if (b.first) literal(0x23010, v.nop, v.maskw);
  begin((b.k * TEMPLATES_PER_BLOCK) | b.u | 0x30000);
  cnoc(0);
  cnt(6, 6, 0);
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::cnt_fw_templates() {
  const u32 words[3][3] = {
      {0x20000, 0x20000, 4}, {0x20002, 0x20000, 0}, {0x30003, 0x20000, 0x10006}};
  for (const auto& tpl : words) {
    begin(tpl[0]);
    word(4, tpl[1]);
    word(8, tpl[2]);
  }
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::fw_params_templates(const THREAD_TEMPLATE_VALUES& v) {
  literal(0x23010, v.nop, v.fwl);
  if (group->param().template_count_mode != 1) {
    begin(0x31001);
    cnt(6, 3, 0);
  }
  literal(0x20014, v.nop);
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::regscan_templates(const THREAD_TEMPLATE_VALUES& v,
                                                             const TEMPLATE_BLOCK& b) {
  if (b.first) {
    literal(0x22010 | b.u, v.nop, v.block_mask);
    literal(0x20011 | b.u, v.nop, 0x1000);
  }
  begin(b.k | b.u | 0x30000);
  if (group->m_sg_param != 0) {
    word(4, MULTICAST_WORD);
  } else {
    cnoc(0);
  }
  if (group->param().regscan_31bit != 0) {
    cnt(5, 4, 0);
  } else {
    cnt(3, 0, 0x21000);
  }
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::uib_templates(const THREAD_TEMPLATE_VALUES& v,
                                                         const TEMPLATE_BLOCK& b) {
  if (b.first) literal(0x20010 | b.u, v.nop);
  begin((b.k * TEMPLATES_PER_BLOCK) | b.u | 0x30000);
  cnoc(0);
  cnt(6, 6, 0);
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::bram_xcvr_templates(const THREAD_TEMPLATE_VALUES& v,
                                                               const VARNO_DC_THREAD& t) {
  begin(0x30000);
  cnoc(0);
  cnt(6, 1, 0);
  if (t.m_multi_frame_chunk != 0) {
    begin(0x20002);
    cnoc(0);
    cnt(4, 4, 0);
  }
  begin(0x20003);
  cnoc(0);
  cnt(6, 4, 0);
  literal(0x23010, v.nop, 0x1000);
  literal(0x20011, v.nop);
}

void VARNO_MBLOCK_GROUP::TEMPLATE_CONTEXT::io_window_templates(const TEMPLATE_BLOCK& b) {
  begin((b.k * TEMPLATES_PER_BLOCK) | b.u | 0x20000);
  cnoc(0);
  cnt(4, 2, 0);
  begin((b.k * TEMPLATES_PER_BLOCK + 1) | b.u | 0x20000);
  cnoc(0);
  cnt(6, 2, 0);
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
