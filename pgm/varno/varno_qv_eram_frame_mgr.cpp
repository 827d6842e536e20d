#include "varno_qv_eram_frame_mgr.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"

namespace {

constexpr u32 ERAM_WRITE_OP = 4;
constexpr u32 ERAM_GROUP_END_WRITE_OP = 6;
constexpr u32 ERAM_OFFSET = 0x26000;
// Zero bytes that close a row group, per ERAM block of the group.
constexpr u32 ERAM_GROUP_END_PAD = 40;
// TK-family ERAM blocks are addressed two columns further on.
constexpr u32 TK_ADDRESS_OFFSET = 2;

// The two fields of the ERAM record that change from frame to frame.
const char* const k_eram_frame_fields[] = {"ERAM_HDR_ADDR", "ERAM_HDR_SIZE"};

// Writes value into a resolved option field of the header block's own image.
void write_header_field(VARNO_SBLOCK* block, const VARNO_SBLOCK::OPTION_SLOT& slot, u32 value) {
  const u32 result = block->write_option_value(slot, value, nullptr);
  VARNO_ASSERT(result == VARNO_NO_ERROR);
}

}  // namespace

VARNO_QV_ERAM_FRAME_MGR::VARNO_QV_ERAM_FRAME_MGR() = default;

VARNO_QV_ERAM_FRAME_MGR::~VARNO_QV_ERAM_FRAME_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_ERAM_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // 1. Geometry.
  m_rows = block->get_param_value("ERAM_ROW_COUNT", 0u);
  VARNO_ASSERT(m_rows > 0);
  m_cols = block->get_param_value("ERAM_COL_COUNT", 0u);
  VARNO_ASSERT(m_cols > 0);
  m_rows_per_block = block->get_param_value("ERAM_ROWS_PER_BLOCK", 0u);
  VARNO_ASSERT(m_rows_per_block > 0);
  m_cols_per_block = block->get_param_value("ERAM_COLS_PER_BLOCK", 0u);
  VARNO_ASSERT(m_cols_per_block > 0);
  // ERAM bits are addressed with 32-bit offsets.
  VARNO_ASSERT_MSG(static_cast<u64>(m_rows) * m_cols <= 0xFFFFFFFFu,
                   "(u64)m_rows * m_cols <= 0xFFFFFFFF");

  // 2. Spare rows and the frame count.
  m_spare_arg = config->get_arg(VOLD_ARGUMENT_ERAM_SPARE_ROWS);
  m_spare_rows = VOLD_MANAGER::get_total_spare_rows(m_spare_arg);
  VARNO_ASSERT_MSG(m_spare_rows <= m_rows, "spare_rows <= m_rows");
  const u64 frames = static_cast<u64>(m_cols / m_cols_per_block) *
                     ((m_rows - m_spare_rows) / m_rows_per_block);
  VARNO_ASSERT_MSG(frames <= 0xFFFFFFFFu, "frame_count <= 0xFFFFFFFF");
  m_potential_frames = static_cast<u32>(frames);

  // 3. Spare-row map.
  m_setup_spare_map.clear();
  const u32 size = block->get_arg_size("ERAM_SPARE_ROWS");
  const u32 width = block->get_arg_width("ERAM_SPARE_ROWS");
  if (width != 0 && size >= width) {
    for (u32 i = 0; i < size / width; ++i) {
      const u32 row = block->get_arg_value("ERAM_SPARE_ROWS", i, 0);
      const u32 value = block->get_arg_value("ERAM_SPARE_ROWS", i, 1);
      m_setup_spare_map[row] = value;
    }
  }
  m_spare_map = m_setup_spare_map;
  m_spare_shift = 0;

  // 4. Sector and header blocks.
  VARNO_GEN* gen = generator_of(block);
  find_sector(gen);
  m_eram_hdr_blk = fetch_header_block(gen, "ERAM_HEADER");
  m_cnoc_blk = fetch_header_block(gen, "CNOC_HEADER");
  m_cnt_blk = fetch_header_block(gen, "CNT_HEADER");
  VARNO_ASSERT_MSG(m_eram_hdr_blk != nullptr && m_cnt_blk != nullptr && m_cnoc_blk != nullptr,
                   "m_eram_hdr_blk != NULL && m_cnt_blk != NULL && m_cnoc_blk != NULL");
  set_cnoc_cnt_sizes();
  m_eram_hdr_size = m_eram_hdr_blk->get_block_size();
  m_header_bytes = m_cnoc_size + m_cnt_size + m_eram_hdr_size;
  const u64 block_bytes = (static_cast<u64>(m_rows_per_block) * m_cols_per_block + 7) / 8;
  VARNO_ASSERT_MSG(block_bytes <= 0xFFFFFFFFu, "block_bytes <= 0xFFFFFFFF");
  m_block_bytes = static_cast<u32>(block_bytes);
  return true;
}

bool VARNO_QV_ERAM_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  verify_user_data_size(block, VARNO_BLOCK_DATA_ERAM, static_cast<u64>(m_rows) * m_cols,
                        "Mismatch in user data size:user_eram_size %d != %d: eram_pcf_size");
  return true;
}

// ---- Frame building -------------------------------------------------------------

bool VARNO_QV_ERAM_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  verify_user_data(block, config);
  block->clear_frames();

  u32 n = 0;
  const bool result = create_selected_frames(block, config, m_potential_frames, VOLD_BLOCK_ERAM, n);

  generator_of(block);
  const VARNO_MGR_PARAM* param = mgr_param(block);
  if ((param->qv_2d_compression & 2u) != 0 && n > 0) attach_2d_engine(block, false);
  return result;
}

bool VARNO_QV_ERAM_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                    u32 first, u32 last) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (block->get_user_data(VARNO_BLOCK_DATA_ERAM) == nullptr) return true;
  if (last >= m_potential_frames) return false;
  generator_of(block);
  // A partial build reads the same rows as a full one.
  verify_user_data(block, config);
  const bool hdrs = headers(block);
  reset_spare_state(block, first);
  for (u32 f = first; f <= last; ++f) {
    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, f, hdrs);
    if (frame != nullptr) append_frame(block, std::move(frame));
    if (f == last) break;
  }
  return true;
}

void VARNO_QV_ERAM_FRAME_MGR::reset_spare_state(VARNO_DBLOCK* block, u32 first) {
  m_spare_map = m_setup_spare_map;
  m_spare_shift = 0;
  if (mgr_param(block)->tk_flow != 1) return;
  for (u32 f = 0; f < first && f < m_potential_frames && !m_spare_map.empty(); ++f) {
    apply_spare_shift(f);
  }
}

void VARNO_QV_ERAM_FRAME_MGR::apply_spare_shift(u32 f) {
  // Looked up once per row group, at its first column, so that every column
  // of the group comes from the same rows; spare runs that follow each other
  // are skipped together.
  if (f % blocks_per_group() != 0) return;
  const u32 g = f / blocks_per_group();
  while (!m_spare_map.empty()) {
    const u32 key = g * m_rows_per_block + m_spare_shift;
    auto it = m_spare_map.find(key);
    if (it == m_spare_map.end()) return;
    // The group then starts right after the row the entry names.
    m_spare_shift = m_spare_shift + 1 - key + it->second;
    m_spare_map.erase(it);
  }
}

std::unique_ptr<VARNO_FRAME> VARNO_QV_ERAM_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                   VARNO_BLOCK_CONFIG*, u32 f,
                                                                   bool headers) {
  // 1, 2. The frame's row group and its ERAM block within the group.
  const u8* user = block->get_user_data(VARNO_BLOCK_DATA_ERAM);
  if (user == nullptr) return nullptr;
  const u32 family = mgr_param(block)->tk_flow;
  const u32 b_count = blocks_per_group();
  const u32 g = f / b_count;
  const u32 c = f % b_count;
  const bool group_end = (f + 1) % b_count == 0;

  // 3, 4. Size: the ERAM block, with headers its records and a group end's pad.
  u64 size = m_block_bytes;
  if (headers) {
    size += m_header_bytes;
    if (group_end) size += u64{ERAM_GROUP_END_PAD} * b_count;
  }
  VARNO_ASSERT_MSG(size * 8 <= 0xFFFFFFFFu, "frame_size * 8 <= 0xFFFFFFFF");
  const u32 frame_size = static_cast<u32>(size);
  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, frame_size, true);
  u8* dst = segment->data();
  frame->add_frame_segment(segment.release());

  // 5. First row of the ERAM block.
  u32 shift = m_spare_rows;
  if (family == 1) {
    apply_spare_shift(f);
    shift = m_spare_shift;
  }
  // In 64 bits: a spare entry that points backwards must not wrap the row
  // group onto rows already framed.
  const u64 r0 = u64{g} * m_rows_per_block + shift;
  // A shifted row group must still lie inside the ERAM.
  VARNO_ASSERT(r0 + m_rows_per_block <= m_rows);
  const u64 s = r0 * m_cols + u64{c} * m_cols_per_block;

  // 6. Header records.
  u32 payload = 0;
  if (headers) {
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, frame_size / 4, 0, sector_x(), sector_y(), dst);
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, group_end ? ERAM_GROUP_END_WRITE_OP : ERAM_WRITE_OP, 0, 0,
                              ERAM_OFFSET, 0, dst + m_cnoc_size);
    const std::vector<VARNO_SBLOCK::OPTION_SLOT>& fields = m_eram_hdr_blk->option_slots(
        k_eram_frame_fields, "ERAM_HEADER", k_eram_frame_fields, 2);
    const u32 eram_addr_size = fields[0].size;
    VARNO_ASSERT(eram_addr_size > 0);
    const u32 eram_blk_size = fields[1].size;
    VARNO_ASSERT(eram_blk_size > 0);
    write_header_field(m_eram_hdr_blk, fields[0], c + (family == 1 ? TK_ADDRESS_OFFSET : 0));
    write_header_field(m_eram_hdr_blk, fields[1], m_rows_per_block);
    m_eram_hdr_blk->copy_block_data(dst + m_cnoc_size + m_cnt_size);
    payload = m_header_bytes;
  }

  // 7. Rows of the ERAM block, last first, back to back.
  for (u32 k = 0; k < m_rows_per_block; ++k) {
    const u32 r = m_rows_per_block - 1 - k;
    VARNO_UTIL::bit_copy(user, static_cast<u32>(s + u64{r} * m_cols), dst,
                         static_cast<u32>(u64{payload} * 8 + u64{k} * m_cols_per_block),
                         m_cols_per_block, true);
  }
  return frame;
}

// ---- Other operations ------------------------------------------------------------

void VARNO_QV_ERAM_FRAME_MGR::register_2d_engine(VARNO_DBLOCK* block) {
  register_engine_with_array(block);
}

void VARNO_QV_ERAM_FRAME_MGR::dump_expected_data(std::string& path) {
  VARNO_DBLOCK* block = expected_data_block(path);
  const u8* data = block->get_user_data(VARNO_BLOCK_DATA_ERAM);
  if (data == nullptr) return;
  verify_user_data(block, block->get_block_config());

  write_expected_data(path, [&](std::ofstream& stream) {
    // Rows are addressed by bit, so a row width that is not a multiple of 8
    // neither shifts the rows nor reads past the ERAM.
    const u32 row_bytes = (m_cols + 7) / 8;
    std::vector<u8> row(row_bytes);
    std::vector<u8> out(row_bytes);
    for (u32 r = 0; r < m_rows; ++r) {
      std::fill(row.begin(), row.end(), 0);
      std::fill(out.begin(), out.end(), 0);
      VARNO_UTIL::bit_copy(data, r * m_cols, row.data(), 0, m_cols, true);
      VARNO_UTIL::reverse_bit_copy(row.data(), 0, out.data(), 0, row_bytes * 8, true);
      VARNO_UTIL::dump_to_file(stream, VARNO_OUTPUT_FORMAT_BIT_TEXT, out.data(), row_bytes, "");
    }
  });
}
