// The block group: its kind, its two threads' block lists, the recording of
// partial-reconfiguration frame ranges and the collection that prepares,
// compresses and describes both threads.
#include "varno_block_group.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_block_group_rules.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

using VARNO_GROUP_DETAIL::option_block_copy;

namespace {

constexpr u32 MAX_PR_FRAME = 16383;
constexpr u32 MAX_PR_OPCODE = 0x1F;
constexpr u32 MAX_SECTOR_COLUMNS_PER_DC = 4;
constexpr u32 MAX_SECTORS_PER_COLUMN = 2;
constexpr u32 TWO_D_EXCEPTION_X = 5;
constexpr u32 TWO_D_EXCEPTION_Y = 2;

const char* on_off(bool on) { return on ? "on" : "off"; }

// The single value of a width-1 argument of the sector-array block.
u32 single_arg_value(VARNO_BLOCK_CONFIG* config, VOLD_ARGUMENT_TYPE type) {
  VOLD_ARG* arg = config->get_arg(type);
  VARNO_ASSERT_MSG(arg != nullptr, "arg != nullptr");
  unsigned width = 0;
  const std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, width);
  VARNO_ASSERT_MSG(width == 1, "width == 1");
  // A device file may give the argument without rows: a failed check for the
  // host's handler, not an exception through the host's call.
  VARNO_ASSERT_MSG(!rows.empty(), "!rows.empty()");
  return rows[0][0];
}

// Ends the collection of bl: "Block group collects the <type> block<sector>"
// and why.
[[noreturn]] void refuse_collecting(VARNO_BLOCK* bl, const std::string& why) {
  VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Block group collects the %s block%s%s",
                                           bl->block_type_name(), bl->sector_position().c_str(),
                                           why.c_str()));
}

// A block the group is about to collect must hold what the host gave it:
// built from its design data as it is now, its frames whole (not residues
// whose 2D tables are gone), and not empty for want of design data, none
// given or given to slots its manager does not read. A skipped block is the
// host's own choice, and a manager may build no frames from data it reads (a
// frame range that selects none).
void check_collectable(VARNO_BLOCK* bl) {
  if (bl->generator() == nullptr) return;
  // A skipped block is taken as it is, unless it was given design data
  // after a build (skipping it lost that data) or its build failed.
  using STATE = VARNO_BLOCK::BUILD_STATE;
  if (bl->skip_processing() && !bl->outdated()) return;
  switch (bl->build_state()) {
    case STATE::NOT_BUILT:
      refuse_collecting(bl, " before do_all_blocks built it");
    case STATE::CHANGED:
    case STATE::FAILED:
      refuse_collecting(bl, " before a rebuild: " + bl->change_text());
    case STATE::BUILT:
      break;
  }
  auto* dblock = dynamic_cast<VARNO_DBLOCK*>(bl);
  if (dblock == nullptr) return;
  if (dblock->two_d_tables_released())
    refuse_collecting(bl, " after clear_2d_data released its 2D tables");
  // A buffer of length 0 may still build frames: the managers then take the
  // whole image from it.
  if (bl->get_number_of_frames() > 0) return;
  switch (dblock->design_data()) {
    case VARNO_DBLOCK::DESIGN_DATA::UNREAD:
      refuse_collecting(
          bl, ", which built no frames: its design data is in a slot its frame manager does not read");
    case VARNO_DBLOCK::DESIGN_DATA::NONE:
      refuse_collecting(bl, ", which built no frames: it was given no design data");
    case VARNO_DBLOCK::DESIGN_DATA::READ:
      break;
  }
}

}  // namespace

// ---- Helpers ------------------------------------------------------------------------

VARNO_MBLOCK* VARNO_GROUP_DETAIL::sector_of(VARNO_IBLOCK* block) {
  auto* b = dynamic_cast<VARNO_BLOCK*>(block);
  if (b == nullptr || b->generator() == nullptr) return nullptr;
  return b->generator()->meta_block();
}

// Every type not named here is of kind OTHER. A switch: the compress loop
// asks once per frame slot.
VARNO_GROUP_DETAIL::BLOCK_KIND VARNO_GROUP_DETAIL::block_kind(u32 type) {
  switch (type) {
    case VOLD_BLOCK_CRAM:
    case VOLD_BLOCK_CRAM_HIPI: return BLOCK_KIND::CRAM;
    case VOLD_BLOCK_ERAM: return BLOCK_KIND::ERAM;
    case VOLD_BLOCK_BBUS: return BLOCK_KIND::BBUS;
    case VOLD_BLOCK_REGSCAN: return BLOCK_KIND::REGSCAN;
    case VOLD_BLOCK_MORLU_CSR:
    case VOLD_BLOCK_HIP_MMIO:
    case VOLD_BLOCK_EHIP_MMIO:
    case VOLD_BLOCK_MMIO2:
    case VOLD_BLOCK_HNOC_MMIO:
    case VOLD_BLOCK_HNOC_AXI4LITE: return BLOCK_KIND::MMIO;
    case VOLD_BLOCK_MORLU_CAL: return BLOCK_KIND::MORLU_CAL;
    case VOLD_BLOCK_AIB_CSR:
    case VOLD_BLOCK_AIBAUX_REFCLK: return BLOCK_KIND::AIB;
    case VOLD_BLOCK_IO_CSR:
    case VOLD_BLOCK_IO_BBUS: return BLOCK_KIND::IO_CSR;
    case VOLD_BLOCK_UIB_BBUS:
    case VOLD_BLOCK_UIB_CSR:
    case VOLD_BLOCK_DIB_BBUS:
    case VOLD_BLOCK_UIB_MMR: return BLOCK_KIND::UIB;
    case VOLD_BLOCK_IO_VAMM:
    case VOLD_BLOCK_IO_AHB: return BLOCK_KIND::IO_WINDOW;
    case VOLD_BLOCK_CNT_FW: return BLOCK_KIND::FW_IMAGE;
    case VOLD_BLOCK_FW_PARAMS:
    case VOLD_BLOCK_FW_PARAMS_WEST:
    case VOLD_BLOCK_FW_PARAMS_EAST: return BLOCK_KIND::FW_PARAMS;
    case VOLD_BLOCK_BRAM:
    case VOLD_BLOCK_XCVR: return BLOCK_KIND::LOAD;
    default: return BLOCK_KIND::OTHER;
  }
}

u32 VARNO_GROUP_DETAIL::eram_column_blocks(VARNO_IBLOCK* blk) {
  const u32 col_count = blk->get_param_value("ERAM_COL_COUNT", 0u);
  const u32 bits_per_col = blk->get_param_value("ERAM_COLS_PER_BLOCK", 0u);
  VARNO_ASSERT(col_count > 0 && bits_per_col > 0);
  return col_count / bits_per_col;
}

VOLD_DEVICE_INFO* VARNO_GROUP_DETAIL::device_info_of(VARNO_GEN* gen) {
  VOLD_DEVICE_INFO* device_info =
      gen->device_pcf_info() != nullptr ? gen->device_pcf_info()->get_device_info() : nullptr;
  VARNO_ASSERT(device_info != nullptr);
  return device_info;
}

std::unique_ptr<VARNO_SBLOCK> VARNO_GROUP_DETAIL::option_block_copy(VARNO_GEN* gen,
                                                                    const char* name) {
  if (dynamic_cast<VARNO_SBLOCK*>(gen->get_block(name, false)) == nullptr) return nullptr;
  std::unique_ptr<VARNO_IBLOCK> copy(gen->get_block(name, true));
  auto* sblock = dynamic_cast<VARNO_SBLOCK*>(copy.get());
  if (sblock == nullptr) return nullptr;
  copy.release();
  return std::unique_ptr<VARNO_SBLOCK>(sblock);
}

u8* VARNO_GROUP_WRITER::reserve(u64 n) {
  if (n > m_capacity || m_pos > m_capacity - n) VARNO_INTERNAL_ERROR(m_overrun_text);
  u8* at = m_base != nullptr ? m_base + m_pos : nullptr;
  m_pos += n;
  return at;
}

void VARNO_GROUP_WRITER::dword(u32 value) {
  u8* at = reserve(4);
  if (at != nullptr) VARNO_UTIL::write_dword_safely(value, at);
}

void VARNO_GROUP_WRITER::bytes(const u8* src, u64 n) {
  u8* at = reserve(n);
  if (at != nullptr && n > 0) std::memcpy(at, src, n);
}

// ---- Construction --------------------------------------------------------------------

VARNO_MBLOCK_GROUP::VARNO_MBLOCK_GROUP(VARNO_GEN* gen) : m_Gen(gen) {
  VARNO_ASSERT(m_Gen != nullptr);
  const VARNO_MGR_PARAM& p = param();
  m_test_mode = p.qv_test_mode != 0;
  m_compressed = p.group_compressed != 0;
  m_tk_flow = p.tk_flow == 1;

  m_action_hdr_blk = option_block_copy(m_Gen, "ACTION_HDR");
  m_cnoc_blk = option_block_copy(m_Gen, "CNOC_HEADER");
  m_cnt_blk = option_block_copy(m_Gen, "CNT_HEADER");
  m_eram_hdr_blk = option_block_copy(m_Gen, "ERAM_HEADER");
  m_sector_grp_action_blk = option_block_copy(m_Gen, "SECTOR_GROUP_ACTION");
  m_sector_grp_half_block = option_block_copy(m_Gen, "SECTOR_GROUP_HALF");
  m_sector_grp_dc_params = option_block_copy(m_Gen, "DC_THREAD_PARAMS");

  auto* eblock = dynamic_cast<VARNO_EBLOCK*>(m_Gen->get_block("SECTOR_ARRAY", false));
  VARNO_ASSERT(eblock != nullptr);
  VARNO_BLOCK_CONFIG* config = eblock->config();
  VARNO_ASSERT(config != nullptr);
  m_brow_size = single_arg_value(config, VOLD_ARGUMENT_BROW_SIZE);
  m_brow_frame_size = single_arg_value(config, VOLD_ARGUMENT_BROW_FRAME_SIZE);
  set_ip_row_info(m_brow_size, m_brow_frame_size);
}

VARNO_MBLOCK_GROUP::~VARNO_MBLOCK_GROUP() = default;

const VARNO_MGR_PARAM& VARNO_MBLOCK_GROUP::param() const { return *m_Gen->get_mgr_param(); }

u32 VARNO_MBLOCK_GROUP::device_type_of_top() const {
  return VARNO_GROUP_DETAIL::device_info_of(m_Gen)->get_device_type();
}

VARNO_DC_THREAD& VARNO_MBLOCK_GROUP::checked_thread(unsigned thr) {
  VARNO_ASSERT_MSG(thr < QV_MAX_DC_THREADS, "thr_index < QV_MAX_DC_THREADS");
  return m_DcThreads[thr];
}

VARNO_DC_THREAD& VARNO_MBLOCK_GROUP::thread(unsigned thr) { return checked_thread(thr); }

// ---- Block lists -----------------------------------------------------------------------

// The group's results exist once collect_data made them, and what it
// collected cannot change after: a read before and a change after would give
// the host a group without its design data.
void VARNO_MBLOCK_GROUP::require_collected(const char* call) const {
  if (!m_collected) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Block group %s() called before collect_data()", call));
  }
  // The group holds the frames as they were collected.
  for (const COLLECTED_BLOCK& c : m_collected_blocks) {
    if (c.block->design_changes() != c.design_changes) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "Block group %s() called after the %s block%s was given design data since "
          "collect_data()",
          call, c.block->block_type_name(), c.block->sector_position().c_str()));
    }
  }
}

namespace {

u64 frames_of(VARNO_BLOCK* block) {
  const auto* dblock = dynamic_cast<const VARNO_DBLOCK*>(block);
  return dblock == nullptr ? 0 : dblock->frames_fingerprint();
}

}  // namespace

// Compared, not tracked: a rebuild that makes the same frames, or a patched
// byte put back, hands out what the blocks hold, and a rebuild from a buffer
// changed in place, a patch or a write through get_frame_data_ptr does not.
void VARNO_MBLOCK_GROUP::require_same_frames(const char* call, unsigned thr) const {
  require_collected(call);
  for (const COLLECTED_BLOCK& c : m_collected_blocks) {
    if (thr < QV_MAX_DC_THREADS && c.thread != thr) continue;
    if (frames_of(c.block) == c.frames) continue;
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Block group %s() called after the frames of the %s block%s changed since collect_data()",
        call, c.block->block_type_name(), c.block->sector_position().c_str()));
  }
}

void VARNO_MBLOCK_GROUP::require_not_collected(const char* call) const {
  if (!m_collected) return;
  VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Block group %s() called after collect_data()", call));
}

bool VARNO_MBLOCK_GROUP::thread_active(unsigned thr) const {
  return m_DcThreads[thr].m_data_size != 0;
}

// A group describes the sectors of its own generator's grid: its
// pre-actions, post-actions and header blocks are that generator's, and only
// its do_all_blocks builds them.
void VARNO_MBLOCK_GROUP::add_mblock(VARNO_IMBLOCK* b, unsigned thr) {
  require_not_collected("add_mblock");
  auto* mblk = dynamic_cast<VARNO_MBLOCK*>(b);
  VARNO_ASSERT_MSG(mblk != nullptr, "b != nullptr");
  VARNO_DC_THREAD& t = checked_thread(thr);
  if (mblk->eblock() == nullptr || mblk->eblock()->generator() != m_Gen) {
    VARNO_INTERNAL_ERROR(
        "Block group add_mblock() of a sector of another generator: a group takes the sectors of "
        "the generator that created it");
  }
  t.m_MBlocksArray.push_back(mblk);
}

void VARNO_MBLOCK_GROUP::add_dblock(VARNO_IBLOCK* b, unsigned thr) {
  require_not_collected("add_dblock");
  auto* blk = dynamic_cast<VARNO_BLOCK*>(b);
  VARNO_ASSERT_MSG(blk != nullptr, "b != nullptr");
  VARNO_DC_THREAD& t = checked_thread(thr);
  // The generator's own blocks, its sectors' and those the block factory
  // made for it.
  const VARNO_GEN* owner = blk->generator();
  if (owner != nullptr && owner != m_Gen) {
    VARNO_MBLOCK* sector = owner->meta_block();
    VARNO_EBLOCK* array = sector != nullptr ? sector->eblock() : nullptr;
    if (array == nullptr || array->generator() != m_Gen) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "Block group add_dblock() of the %s block%s of another generator: a group takes the "
          "blocks of the generator that created it and of its sectors",
          blk->block_type_name(), blk->sector_position().c_str()));
    }
  }
  t.m_DBlocksArray.push_back(blk);
}

void VARNO_MBLOCK_GROUP::clear_group() {
  require_not_collected("clear_group");
  for (VARNO_DC_THREAD& t : m_DcThreads) {
    while (!t.m_MBlocksArray.empty()) {
      const size_t pos = t.m_MBlocksArray.size() - 1;
      t.m_MBlocksArray.pop_back();
      if (m_test_mode) {
        if (pos < QV_MAX_BLOCKS_PER_THREAD) t.m_multi_address[pos] = false;
        t.m_interleave = m_interleave ? 1 : 0;
      }
    }
  }
}

u32 VARNO_MBLOCK_GROUP::group_num_blocks(unsigned thr) {
  return static_cast<u32>(checked_thread(thr).m_MBlocksArray.size());
}

VARNO_IMBLOCK* VARNO_MBLOCK_GROUP::block(int idx, unsigned thr) {
  const auto& list = checked_thread(thr).m_MBlocksArray;
  if (idx < 0 || static_cast<size_t>(idx) >= list.size()) return nullptr;
  return list[static_cast<size_t>(idx)];
}

void VARNO_MBLOCK_GROUP::set_group_type(const std::string& type_name, const std::string& sub_name) {
  require_not_collected("set_group_type");
  m_type_name = type_name;
  m_sub_name = sub_name;
  u32 code = VARNO_GROUP_DETAIL::GROUP_OTHER;
  u32 thread_type = 0;
  if (type_name == "CRAM" || type_name == "CRAM_HIPI") {
    code = VARNO_GROUP_DETAIL::GROUP_CRAM;
    thread_type = 1;
  } else if (type_name == "ERAM") {
    code = VARNO_GROUP_DETAIL::GROUP_ERAM;
    thread_type = 2;
  } else if (type_name == "FW") {
    code = VARNO_GROUP_DETAIL::GROUP_FW;
  } else if (type_name == "REGSCAN") {
    code = VARNO_GROUP_DETAIL::GROUP_REGSCAN;
  } else if (type_name == "BRAM" || type_name == "XCVR") {
    code = VARNO_GROUP_DETAIL::GROUP_LOAD;
  }
  m_group_type = code;
  for (VARNO_DC_THREAD& t : m_DcThreads) t.m_thread_type = thread_type;
}

void VARNO_MBLOCK_GROUP::enable_interleaving(bool on) {
  require_not_collected("enable_interleaving");
  m_interleave = on;
  for (VARNO_DC_THREAD& t : m_DcThreads) t.m_interleave = on ? 1 : 0;
}

bool VARNO_MBLOCK_GROUP::is_thread_active(unsigned thr) {
  checked_thread(thr);
  require_collected("is_thread_active");
  return thread_active(thr);
}

u32 VARNO_MBLOCK_GROUP::get_thread_size(unsigned thr) {
  VARNO_DC_THREAD& t = checked_thread(thr);
  require_collected("get_thread_size");
  return t.m_data_size;
}

u32 VARNO_MBLOCK_GROUP::get_comp_ratio(unsigned thr) {
  VARNO_DC_THREAD& t = checked_thread(thr);
  require_collected("get_comp_ratio");
  return t.m_comp_ratio;
}

void VARNO_MBLOCK_GROUP::dump(std::ofstream&, VARNO_OUTPUT_FORMAT) {}

bool VARNO_MBLOCK_GROUP::compress() {
  if (!m_DcThreads[0].compress()) return false;
  return m_DcThreads[1].compress();
}

bool VARNO_MBLOCK_GROUP::check_is_fw_block(unsigned thr, unsigned idx) {
  VARNO_DC_THREAD& t = checked_thread(thr);
  if (t.m_DBlocksArray.empty()) return false;
  auto* blk = dynamic_cast<VARNO_DBLOCK*>(t.m_DBlocksArray.at(idx));
  VARNO_ASSERT(blk != nullptr);
  return VARNO_GROUP_DETAIL::is_fw_type(blk->block_type());
}

// ---- Frame ranges --------------------------------------------------------------------------

void VARNO_MBLOCK_GROUP::set_sector_frame_range(unsigned start, unsigned end, unsigned thr_index,
                                                unsigned sector_idx, unsigned opcode,
                                                const std::string& type_name,
                                                bool adjust_spare_rows) {
  require_not_collected("set_sector_frame_range");
  if (start > end) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Invalid PR parameter, frame range must be start (%d) <= end (%d)", start, end));
  }
  if (thr_index > 1) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Invalid PR parameter, thr_index (%d) can't be greater than max allowed value (%d)",
        thr_index, QV_MAX_DC_THREADS));
  }
  if (start > MAX_PR_FRAME || end > MAX_PR_FRAME || opcode > MAX_PR_OPCODE) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Invalid PR parameter(s), can't be greater than max allowed values (frame <= %d, opcode "
        "<= 0x%X)",
        MAX_PR_FRAME, MAX_PR_OPCODE));
  }
  if (sector_idx > 3) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Invalid PR parameter, sector_idx (%d) can't be greater than max allowed value (%d)",
        sector_idx, QV_MAX_BLOCKS_PER_THREAD));
  }

  if (adjust_spare_rows) {
    auto* mblk = dynamic_cast<VARNO_MBLOCK*>(block(static_cast<int>(sector_idx), thr_index));
    VARNO_ASSERT(mblk != nullptr);
    VARNO_IGEN* gen = mblk->generator();
    VARNO_ASSERT(gen != nullptr);
    auto* blk = dynamic_cast<VARNO_DBLOCK*>(gen->get_block(type_name, false));
    VARNO_ASSERT(blk != nullptr);

    const std::string name = type_name + "_SPARE_ROWS";
    VOLD_ARGUMENT_TYPE arg_type = VOLD_ARGUMENT_TYPE{};
    if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_ARGUMENT, name, arg_type)) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Unrecognized argument name: %s", name.c_str()));
    }
    const u32 arg_size = blk->get_arg_size(name);
    VARNO_ASSERT(arg_size > 0);
    VARNO_BLOCK_CONFIG* config = blk->get_block_config();
    VARNO_ASSERT(config != nullptr);
    const VOLD_ARG* arg = config->get_arg(arg_type);
    const u32 width = blk->get_arg_width(name);
    VARNO_ASSERT_MSG(arg_size >= width, "num_spare_rows > 0");
    const u32 num_spare_rows = arg_size / width;

    u32 frames = 0;
    if (type_name == "CRAM") {
      frames = m_brow_frame_size;
    } else if (type_name == "ERAM") {
      const u64 frames_per_ip_row =
          u64{blk->get_arg_value(name, 0, 1)} + 1 - blk->get_arg_value(name, 0, 0);
      VARNO_ASSERT_MSG(frames_per_ip_row > 0 && frames_per_ip_row <= 0xFFFFFFFFu,
                       "frames_per_ip_row > 0");
      const u32 cols_count = blk->get_param_value("ERAM_COL_COUNT", 0u);
      VARNO_ASSERT(cols_count > 0);
      const u32 rows_per_block = blk->get_param_value("ERAM_ROWS_PER_BLOCK", 0u);
      VARNO_ASSERT(rows_per_block > 0);
      const u32 cols_per_block = blk->get_param_value("ERAM_COLS_PER_BLOCK", 0u);
      VARNO_ASSERT(cols_per_block > 0);
      frames = static_cast<u32>(frames_per_ip_row / rows_per_block) * (cols_count / cols_per_block);
    } else {
      VARNO_INTERNAL_ERROR("PR frame range setting only supported for CRAM or ERAM");
    }
    // A spare row of no frames would make every range overlap it.
    VARNO_ASSERT_MSG(frames > 0, "frames_per_spare_row > 0");

    u64 shift = 0;
    for (u32 k = 0; k < num_spare_rows; ++k) {
      const u64 first = u64{VOLD_MANAGER::get_spare_row_location(arg, k)} * frames;
      const u64 last = first + frames - 1;
      if ((first <= start && start <= last) || (first <= end && end <= last)) {
        VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
            "Invalid parameter(s), frame range [%d, %d] can't overlap spare row location [%d, %d]",
            start, end, static_cast<u32>(first), static_cast<u32>(last)));
      }
      if (last < start) shift += frames;
    }
    start -= static_cast<u32>(shift);
    end -= static_cast<u32>(shift);
  }

  m_DcThreads[thr_index].m_pr_frame_ranges[sector_idx][start] = (opcode << 16) | end;
}

// ---- Collection ----------------------------------------------------------------------------

void VARNO_MBLOCK_GROUP::collect_data(bool multithread) {
  // Sizes, frame counts and the descriptor are accumulated from zero by the
  // one collection a group gets.
  VARNO_ASSERT_MSG(!m_collected, "Block group collect_data() called more than once");
  // A group of nothing would give a descriptor and no design data.
  const bool any_block = std::any_of(std::begin(m_DcThreads), std::end(m_DcThreads),
                                     [](const VARNO_DC_THREAD& t) {
                                       return !t.m_MBlocksArray.empty() || !t.m_DBlocksArray.empty();
                                     });
  VARNO_ASSERT_MSG(any_block, "Block group collect_data() called on a group with no blocks");
  m_collected = true;

  const VARNO_MGR_PARAM& p = param();
  const u32 pr_mode = p.pr_mode;
  const bool test = p.qv_test_mode != 0;
  bool tk_4cnoc = false;
  bool tk_eram_interleave = false;
  if (!test && p.tk_flow == 1 &&
      (m_type_name == "CRAM" || m_type_name == "ERAM" || m_type_name == "REGSCAN")) {
    tk_4cnoc = true;
    tk_eram_interleave = m_interleave && m_type_name == "ERAM";
  }
  VARNO_UTIL::print_debug_msg(5, "Block group collect_data() called with Multithread: %s\n",
                              on_off(multithread));
  VARNO_UTIL::print_debug_msg(5, "Block group collect_data() called with QV Test Mode: %s\n",
                              on_off(test));
  VARNO_UTIL::print_debug_msg(5, "Block group collect_data() called with TK 4CNOC: %s\n",
                              on_off(tk_4cnoc));
  VARNO_UTIL::print_debug_msg(5, "Block group collect_data() called with TK ERAM Interleave: %s\n",
                              on_off(tk_eram_interleave));

  bool any_multi = false;
  std::map<u32, u32> group_columns;
  const bool cram = m_type_name == "CRAM";

  for (unsigned t = 0; t < QV_MAX_DC_THREADS; ++t) {
    VARNO_DC_THREAD& thr = m_DcThreads[t];
    if (thr.m_DBlocksArray.empty()) {
      expand_meta_blocks(t, tk_4cnoc, tk_eram_interleave, test, group_columns, any_multi);
    }
    thr.m_test_mode = m_test_mode ? 1 : 0;
    if (m_tk_flow && pr_mode != VARNO_QV_PR_NONE) thr.stitch_pr_ranges_for_spare_row();

    // Every per-position table of a thread has room for four blocks.
    VARNO_ASSERT_MSG(thr.m_DBlocksArray.size() <= QV_MAX_BLOCKS_PER_THREAD,
                     "blk_count can't be greater than array boundary");
    u32 max_frames = 0;
    bool fw = false;
    u64 data_size = thr.m_data_size;
    for (size_t i = 0; i < thr.m_DBlocksArray.size(); ++i) {
      VARNO_BLOCK* bl = thr.m_DBlocksArray[i];
      VARNO_ASSERT(bl != nullptr);
      check_collectable(bl);
      m_collected_blocks.push_back({bl, t, bl->design_changes(), frames_of(bl)});
      data_size += bl->get_block_size();
      const u32 frames = bl->get_number_of_frames();
      max_frames = std::max(max_frames, frames);
      if (pr_mode == VARNO_QV_PR_SPARSE && cram && frames > 0) {
        const u32 dr1 = bl->get_param_value("DRAS", 1u);
        VARNO_ASSERT(dr1 > 0);
        data_size += (u64{8} * ((u64{dr1} + 63) / 64) + 48) * thr.m_pr_frame_ranges[i].size();
      }
      if (p.qv_2d_align == 0 && cram && (p.qv_2d_compression & VARNO_CRAM_2D_COMP_CHECK_BIT) != 0) {
        VARNO_MBLOCK* mblk = VARNO_GROUP_DETAIL::sector_of(bl);
        VARNO_ASSERT(mblk != nullptr);
        if (mblk->x() == TWO_D_EXCEPTION_X && mblk->y() == TWO_D_EXCEPTION_Y) {
          VARNO_ASSERT_MSG(thr.m_DBlocksArray.size() == 1,
                           "m_DcThreads[i].m_DBlocksArray.size() == 1");
          m_2d_exception = true;
        }
      }
      fw = check_is_fw_block(t, static_cast<unsigned>(i));
    }
    VARNO_ASSERT_MSG(data_size <= std::numeric_limits<u32>::max(), "data_size <= 0xFFFFFFFF");
    thr.m_data_size = static_cast<u32>(data_size);

    thr.set_generator(m_Gen);

    if (pr_mode != VARNO_QV_PR_NONE) {
      if (cram || m_type_name == "ERAM") thr.create_pr_mask(cram);
      if (pr_mode == VARNO_QV_PR_SPARSE) max_frames = cram ? thr.m_max_pr_slots : max_frames + 1;
    }

    u64 total = 0;
    if (p.fw_type == VARNO_QV_IO_FW && fw) {
      total = max_frames;
      if (t == 0) total += get_cnoc_address_count(VARNO_QV_IO_FW);
    } else {
      total = u64{thr.m_DBlocksArray.size()} * max_frames;
    }
    VARNO_ASSERT_MSG(total <= std::numeric_limits<u32>::max(), "frame_count <= 0xFFFFFFFF");
    thr.m_DcThreadFrames = static_cast<u32>(total);
  }

  if (m_compressed && !compress()) VARNO_INTERNAL_ERROR("Block group compress() failed");
  create_descriptor();
}

void VARNO_MBLOCK_GROUP::expand_meta_blocks(unsigned t, bool tk_4cnoc, bool tk_eram_interleave,
                                            bool test, std::map<u32, u32>& group_columns,
                                            bool& any_multi) {
  VARNO_DC_THREAD& thr = m_DcThreads[t];
  const VARNO_MGR_PARAM& p = param();
  const bool cram_2d = (p.qv_2d_compression & VARNO_CRAM_2D_COMP_CHECK_BIT) != 0;
  const u32 count = static_cast<u32>(thr.m_MBlocksArray.size());

  u32 threshold = 0;
  if (tk_4cnoc) {
    if (count <= 2 && !cram_2d) {
      threshold = 1;
    } else {
      if (count > MAX_SECTOR_COLUMNS_PER_DC) {
        VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
            "dc_blk_count must be < max %d sector x columns per DC in block group",
            MAX_SECTOR_COLUMNS_PER_DC));
      }
      threshold = 2;
    }
    if (tk_eram_interleave) {
      if (count % 2 == 1) {
        thr.m_interleave = 0;
      } else {
        threshold = 1;
        thr.m_interleave = m_interleave ? 1 : 0;
      }
    }
  }

  std::map<u32, u32> columns;
  for (u32 j = 0; j < count; ++j) {
    VARNO_MBLOCK* mblk = thr.m_MBlocksArray[j];
    VARNO_ASSERT(mblk != nullptr);
    VARNO_IGEN* gen = mblk->generator();
    VARNO_ASSERT(gen != nullptr);

    if (tk_4cnoc) {
      // count is at most 4 here: the per-position flags have room.
      bool& flag = thr.m_multi_address[j];
      flag = false;
      const bool interleaved = tk_eram_interleave && thr.m_interleave != 0;
      auto mark = [&] {
        flag = true;
        any_multi = true;
      };
      auto rule_new = [&] {
        if (interleaved) {
          VARNO_ASSERT_MSG(threshold == 1, "test_cnoc_sct_thresh == 1");
          if (j % 2 == 1) mark();
        } else {
          mark();
        }
      };
      auto rule_same = [&] {
        if (interleaved) {
          VARNO_ASSERT_MSG(threshold == 1, "test_cnoc_sct_thresh == 1");
          if (count != 2 && j % 2 == 1) mark();
        } else if (tk_eram_interleave) {
          if (count != 2) mark();
        } else if (count != 2 && thr.m_multi_address[j - 1]) {
          mark();
        }
      };

      const u32 c = mblk->x();
      auto it = columns.find(c);
      if (it == columns.end()) {
        if (group_columns.count(c) != 0) {
          VARNO_INTERNAL_ERROR("Can't have multiple DC (CNOC) address the same sector x column");
        }
        columns[c] = 1;
        if (count == 2 && j == 1) {
          thr.m_two_col_2d = cram_2d ? 1 : 0;
          if (threshold != 2) rule_new();
        } else if (j >= threshold) {
          rule_new();
        }
      } else {
        if (++it->second > MAX_SECTORS_PER_COLUMN) {
          VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
              "No more than %d sectors allowed per sector x column in block group",
              MAX_SECTORS_PER_COLUMN));
        }
        if (j == 0 || thr.m_MBlocksArray[j - 1]->x() != c) {
          VARNO_INTERNAL_ERROR("Sectors with same sector x column must be grouped together");
        }
        if (j == 2) {
          VARNO_INTERNAL_ERROR(
              "Sectors with same sector x column must be grouped before others in block group");
        }
        if (j >= threshold) rule_same();
      }
    }

    auto* blk = dynamic_cast<VARNO_BLOCK*>(gen->get_block(m_type_name, false));
    if (blk == nullptr) VARNO_INTERNAL_ERROR("Invalid block group type name");
    thr.m_DBlocksArray.push_back(blk);
    if (test) {
      const int flag = j < QV_MAX_BLOCKS_PER_THREAD && thr.m_multi_address[j] ? 1 : 0;
      VARNO_UTIL::print_debug_msg(5, "%d ", flag);
    }
  }
  VARNO_UTIL::print_debug_msg(5, "=> DC%d\n", t);

  if (tk_4cnoc) {
    for (const auto& [column, n] : columns) group_columns[column] += n;
    // An empty thread has nothing to reorder.
    if (count != 0) {
      if (any_multi || thr.m_two_col_2d != 0) m_test_mode = true;
      if (tk_eram_interleave) {
        std::vector<u32> scratch(count);
        reorder_cnoc_map(thr.m_multi_address, count, scratch.data(), &thr.m_DBlocksArray);
      }
    }
  }
}
