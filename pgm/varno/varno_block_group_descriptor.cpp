// The group descriptor and the group's read-out images: the descriptor,
// the group data in 4 KiB page slots, each thread's data and the 2D setup
// data.
#include <algorithm>
#include <cstring>
#include <limits>

#include "varno_assert.h"
#include "varno_block_group.h"
#include "varno_block_group_rules.h"
#include "varno_dblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"

using VARNO_GROUP_DETAIL::B_STRUCT_SIZE;

namespace {

constexpr u32 SECTOR_GROUP_ACTION_CODE = 23;
constexpr u32 HEADER_SIZE = 24;
constexpr u32 HALF_SIZE = 12;

const char* const DESCRIPTOR_OVERRUN = "descriptor_offset <= m_DescriptorSize";

u64 pages_of(u32 bytes) { return (u64{bytes} + VARNO_GROUP_PAGE_SIZE - 1) / VARNO_GROUP_PAGE_SIZE; }

}  // namespace

void VARNO_MBLOCK_GROUP::create_descriptor() {
  // 1. Auxiliary blocks.
  VARNO_ASSERT(m_action_hdr_blk != nullptr);
  m_action_hdr_blk_size = m_action_hdr_blk->get_block_size();
  VARNO_ASSERT(m_action_hdr_blk_size > 0);
  VARNO_ASSERT(m_cnoc_blk != nullptr);
  m_cnoc_blk_size = m_cnoc_blk->get_block_size();
  VARNO_ASSERT(m_cnoc_blk_size > 0);
  VARNO_ASSERT(m_cnt_blk != nullptr);
  m_cnt_blk_size = m_cnt_blk->get_block_size();
  VARNO_ASSERT(m_cnt_blk_size > 0);
  VARNO_ASSERT(m_eram_hdr_blk != nullptr);
  m_eram_hdr_blk_size = m_eram_hdr_blk->get_block_size();
  VARNO_ASSERT(m_eram_hdr_blk_size > 0);
  VARNO_ASSERT(m_sector_grp_action_blk != nullptr);
  VARNO_ASSERT(m_sector_grp_half_block != nullptr);
  VARNO_ASSERT(m_sector_grp_dc_params != nullptr);
  const u32 action_size = m_sector_grp_action_blk->get_block_size();
  const u32 half_size = m_sector_grp_half_block->get_block_size();
  const u32 record_size = m_sector_grp_dc_params->get_block_size();
  // The layout below writes a 24-byte header and two 12-byte halves into the
  // room these blocks reserve.
  VARNO_ASSERT_MSG(u64{m_action_hdr_blk_size} + action_size == HEADER_SIZE && half_size == HALF_SIZE,
                   "m_action_hdr_blk_size + sector_grp_action_size == 24 && "
                   "sector_grp_half_size == 12");

  // 2. Pages, templates and records of the active threads.
  u64 size = 0;
  u32 first_count[QV_MAX_DC_THREADS] = {};
  u32 second_count[QV_MAX_DC_THREADS] = {};
  u32 records[QV_MAX_DC_THREADS] = {};
  for (unsigned t = 0; t < QV_MAX_DC_THREADS; ++t) {
    m_pages[t] = 0;
    if (!thread_active(t)) continue;
    m_pages[t] = static_cast<u32>(pages_of(m_DcThreads[t].m_data_size));
    first_count[t] = get_num_templates(t, false);
    second_count[t] = get_num_templates(t, true);
    records[t] = get_num_sector_threads(t);
    size += u64{VARNO_TEMPLATE_SIZE} * first_count[t] + u64{VARNO_TEMPLATE_SIZE} * second_count[t] +
            u64{records[t]} * record_size;
  }
  const u64 total_pages = u64{m_pages[0]} + m_pages[1];
  const u64 bitmap_size = 4 * ((total_pages + 31) / 32);

  // 3. The rest of the size: header, both halves, page bitmap, pre- and
  // post-actions.
  size += m_action_hdr_blk_size + action_size + 2 * u64{half_size} + bitmap_size;
  const u32 pre_action_size = get_pre_descriptor_size();
  const u32 post_action_size = get_post_descriptor_size();
  size += u64{pre_action_size} + post_action_size;
  VARNO_ASSERT_MSG(size <= std::numeric_limits<u32>::max(), "m_DescriptorSize <= 0xFFFFFFFF");

  // 4. The zero-filled descriptor buffer.
  m_DescriptorSize = static_cast<u32>(size);
  m_descriptor.reset(new u8[m_DescriptorSize]());
  u8* buffer = m_descriptor.get();

  // 5. Pre-actions at the front.
  {
    VARNO_GROUP_WRITER pre(buffer, pre_action_size, "pre_written == pre_action_size");
    pre_actions(pre);
    const u64 pre_written = pre.position();
    VARNO_ASSERT(pre_written == pre_action_size);
  }

  VARNO_GROUP_WRITER w(buffer + pre_action_size, u64{m_DescriptorSize} - pre_action_size - post_action_size,
                       DESCRIPTOR_OVERRUN);
  // 6. Header.
  const VARNO_MGR_PARAM& p = param();
  u32 flags = 0;
  if (m_test_mode) flags |= 0x2;
  if (!m_test_mode && p.descriptor_flag4 != 0) flags |= 0x4;
  if (p.use_codebook != 0) {
    std::vector<u32> types;
    m_Gen->get_korvia_codebook_types(types);
    for (u32 type : types) {
      if (type < VOLD_BLOCK_TYPE_NAMES_COUNT && m_type_name == VOLD_BLOCK_TYPE_NAMES[type]) {
        flags |= 0x8;
      }
    }
  }
  const bool cram = m_type_name == "CRAM";
  const bool cram_2d = (p.qv_2d_compression & VARNO_CRAM_2D_COMP_CHECK_BIT) != 0;
  if ((cram && !m_2d_exception && cram_2d) || (m_type_name == "ERAM" && (p.qv_2d_compression & 2) != 0)) {
    flags |= 0x10;
  }
  if (cram && !m_2d_exception && cram_2d && p.pr_mode == VARNO_QV_PR_ROW) flags |= 0x20;
  if (cram && p.qv_2d_align != 0 && p.s4_variant != 0) flags |= 0x800;
  if (m_type_name == "IO_CSR" || m_type_name == "IO_SERIAL" || m_type_name == "IO_BBUS" ||
      (m_type_name == "FW" && (m_sub_name == "IO" || m_sub_name == "IO_CONF"))) {
    flags |= 0x1000000;
  }
  w.dword(SECTOR_GROUP_ACTION_CODE);
  w.dword(m_DescriptorSize - pre_action_size - post_action_size);
  w.dword(static_cast<u32>(total_pages));
  w.dword(flags);
  w.dword(m_group_type);
  w.dword(0);

  // 7. Halves.
  for (unsigned t = 0; t < QV_MAX_DC_THREADS; ++t) {
    VARNO_DC_THREAD& thr = m_DcThreads[t];
    const bool active = thread_active(t);
    u32 column = 0;
    if (m_tk_flow) {
      if (m_type_name == "ERAM" && thr.m_interleave != 0) column |= 1;
      if ((m_type_name == "ERAM" || cram) && !thr.m_MBlocksArray.empty()) {
        u32 c0 = 0;
        u32 c1 = 0;
        for (size_t j = 0; j < thr.m_MBlocksArray.size(); ++j) {
          const bool flag = j < QV_MAX_BLOCKS_PER_THREAD && thr.m_multi_address[j];
          ++(flag ? c1 : c0);
        }
        if (c0 >= 1) column |= 2 * (c0 - 1);
        if (c1 >= 1) column |= 8 * (c1 - 1);
      }
    }
    const u32 thread_word = (first_count[t] & 0xFF) | (second_count[t] & 0xFF) << 8 |
                            (column & 0xFF) << 16 | u32{thr.m_two_col_2d} << 24;
    // An inactive thread reserved nothing: it gets no records and no
    // templates.
    w.dword(active ? records[t] : 0);
    w.dword(thread_word);
    w.dword(m_brow_size << 8 | m_brow_frame_size);
    if (!active) continue;
    dc_params(w, t);
    const u64 before = w.position();
    templates(w, t);
    VARNO_ASSERT_MSG(w.position() - before ==
                         u64{VARNO_TEMPLATE_SIZE} * (first_count[t] + second_count[t]),
                     "templates_size == 24 * template_count");
  }

  // 8. Page bitmap: a bit per page slot of thread 1.
  u8* bitmap = w.reserve(bitmap_size);
  for (u32 i = 0; i < m_pages[1]; ++i) {
    const u64 slot = i < m_pages[0] ? 2 * u64{i} + 1 : u64{m_pages[0]} + i;
    bitmap[slot / 8] |= static_cast<u8>(1u << (slot % 8));
  }
  VARNO_ASSERT_MSG(w.position() == w.capacity(), DESCRIPTOR_OVERRUN);

  // 9. Post-actions at the end.
  {
    VARNO_GROUP_WRITER post(buffer + m_DescriptorSize - post_action_size, post_action_size,
                            "post_written == post_action_size");
    post_actions(post);
    const u64 post_written = post.position();
    VARNO_ASSERT(post_written == post_action_size);
  }
}

u32 VARNO_MBLOCK_GROUP::get_group_descriptor_size() {
  require_collected("get_group_descriptor_size");
  return m_DescriptorSize;
}

u32 VARNO_MBLOCK_GROUP::get_group_full_size() {
  require_collected("get_group_full_size");
  const u64 size = (u64{m_pages[0]} + m_pages[1]) * VARNO_GROUP_PAGE_SIZE + m_DescriptorSize;
  VARNO_ASSERT_MSG(size <= std::numeric_limits<u32>::max(), "group_full_size <= 0xFFFFFFFF");
  return static_cast<u32>(size);
}

void VARNO_MBLOCK_GROUP::get_group_descriptor_data(u8* out, unsigned bytes) {
  require_same_frames("get_group_descriptor_data", QV_MAX_DC_THREADS);
  VARNO_ASSERT(bytes <= m_DescriptorSize);
  if (bytes == 0) return;
  VARNO_ASSERT(out != nullptr);
  std::memcpy(out, m_descriptor.get(), bytes);
}

void VARNO_MBLOCK_GROUP::get_group_data(u8* out, unsigned bytes) {
  require_same_frames("get_group_data", QV_MAX_DC_THREADS);
  // The page slots hold compressed streams only: an uncompressed group would
  // leave the host's buffer as it was, a bitstream of no design data.
  if (!m_compressed) {
    VARNO_INTERNAL_ERROR(
        "Block group get_group_data() called on a group that is not compressed: read its threads "
        "with get_thread_data(), or set group_compressed in the record of the generator that "
        "creates the group before create_group()");
  }
  const u32 most = std::max(m_pages[0], m_pages[1]);
  if (most == 0) return;
  // The caller's buffer must hold every page slot.
  VARNO_ASSERT_MSG(u64{bytes} >= (u64{m_pages[0]} + m_pages[1]) * VARNO_GROUP_PAGE_SIZE,
                   "bytes >= group_data_size");
  VARNO_ASSERT(out != nullptr);
  u64 cursor = 0;
  for (u64 k = 0; k < 2 * u64{most}; ++k) {
    const unsigned t = static_cast<unsigned>(k % 2);
    const u64 page = k / 2;
    const u64 start = page * VARNO_GROUP_PAGE_SIZE;
    VARNO_DC_THREAD& thr = m_DcThreads[t];
    if (!thread_active(t) || thr.m_data_size <= start) continue;
    const u64 end = std::min<u64>(start + VARNO_GROUP_PAGE_SIZE, thr.compressed_size());
    if (end > start) std::memcpy(out + cursor, thr.compressed_data() + start, end - start);
    cursor += VARNO_GROUP_PAGE_SIZE;
  }
}

void VARNO_MBLOCK_GROUP::get_thread_data(u8* out, unsigned bytes, unsigned thr) {
  VARNO_DC_THREAD& t = checked_thread(thr);
  require_same_frames("get_thread_data", thr);
  if (m_compressed) {
    VARNO_ASSERT_MSG(bytes <= t.compressed_size(), "bytes <= thread_size");
    if (bytes == 0) return;
    VARNO_ASSERT(out != nullptr);
    std::memcpy(out, t.compressed_data(), bytes);
    return;
  }
  get_uncompressed_thread_data(out, bytes, thr);
}

void VARNO_MBLOCK_GROUP::get_uncompressed_thread_data(u8* out, unsigned bytes, unsigned thr) {
  VARNO_DC_THREAD& t = m_DcThreads[thr];
  const u32 n = static_cast<u32>(t.m_DBlocksArray.size());
  const u32 frames = t.m_DcThreadFrames;
  if (n == 0 || frames == 0) return;
  // The thread's interleave flag decides the layout, as in the compressed
  // stream and the descriptor: the TK ERAM expansion clears it for an odd
  // sector count. Unlike the compressed stream, the first block's type
  // decides the pairing, and the slot before the first counts as one of
  // the first block.
  const VARNO_GROUP_DETAIL::SLOT_LAYOUT layout(t.m_DBlocksArray, frames, m_tk_flow,
                                               t.m_interleave != 0, t.m_DBlocksArray[0],
                                               "blk != nullptr");
  const bool io_fw = param().fw_type == VARNO_QV_IO_FW;

  u64 cursor = 0;
  u32 b = 0;
  for (u32 i = 0; i < frames; ++i) {
    u32 block_index = 0;
    u32 frame = 0;
    layout.place(i, io_fw && check_is_fw_block(thr, b), block_index, frame);
    VARNO_BLOCK* blk = t.m_DBlocksArray.at(block_index);
    VARNO_ASSERT(blk != nullptr);
    const u32 size = blk->get_frame_size(frame);
    if (size != 0) {
      VARNO_ASSERT_MSG(cursor + size <= bytes, "offset + frame_size <= bytes");
      VARNO_ASSERT(out != nullptr);
      blk->get_frame_data(frame, out + cursor);
      cursor += size;
    }
    b = block_index;
  }
}

u32 VARNO_MBLOCK_GROUP::get_2d_setup_size(unsigned thr_index) {
  VARNO_ASSERT(thr_index < QV_MAX_DC_THREADS);
  require_collected("get_2d_setup_size");
  VARNO_DC_THREAD& t = m_DcThreads[thr_index];
  u64 size = 0;
  for (size_t i = 0; i < t.m_DBlocksArray.size(); ++i) {
    auto* blk = dynamic_cast<VARNO_DBLOCK*>(t.m_DBlocksArray.at(i));
    VARNO_ASSERT(blk != nullptr);
    VARNO_QV_2D_ENGINE* eng = blk->get_2d_engine();
    if (eng == nullptr) continue;
    size += B_STRUCT_SIZE + u64{engine_ops().fstruct_size(eng)} + engine_ops().bbm_size(eng);
  }
  VARNO_ASSERT_MSG(size <= std::numeric_limits<u32>::max(), "2d_setup_size <= 0xFFFFFFFF");
  return static_cast<u32>(size);
}

u32 VARNO_MBLOCK_GROUP::get_2d_setup_data(u8* out, unsigned thr_index) {
  VARNO_ASSERT(thr_index < QV_MAX_DC_THREADS);
  require_collected("get_2d_setup_data");
  VARNO_DC_THREAD& t = m_DcThreads[thr_index];
  u64 written = 0;
  for (size_t i = 0; i < t.m_DBlocksArray.size(); ++i) {
    auto* blk = dynamic_cast<VARNO_DBLOCK*>(t.m_DBlocksArray.at(i));
    VARNO_ASSERT(blk != nullptr);
    VARNO_QV_2D_ENGINE* eng = blk->get_2d_engine();
    if (eng == nullptr) continue;
    VARNO_ASSERT(out != nullptr);
    const VARNO_GROUP_2D_ENGINE_OPS& ops = engine_ops();
    // Each copy may write no more than the size the setup size counted.
    const u64 f_size = ops.fstruct_size(eng);
    const u64 bbm = ops.bbm_size(eng);
    u64 n = ops.copy_bstruct(eng, out + written);
    VARNO_ASSERT_MSG(n <= B_STRUCT_SIZE, "bstruct_size <= 64");
    written += n;
    n = ops.copy_fstruct(eng, out + written);
    VARNO_ASSERT_MSG(n <= f_size, "fstruct_copied <= fstruct_size");
    written += n;
    n = ops.copy_bbm(eng, out + written);
    VARNO_ASSERT_MSG(n <= bbm, "bbm_copied <= bbm_size");
    written += n;
  }
  return static_cast<u32>(written);
}
