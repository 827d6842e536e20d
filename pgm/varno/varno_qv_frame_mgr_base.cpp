#include "varno_qv_frame_mgr_base.h"

#include <algorithm>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_qv_2d_engine.h"
#include "varno_sblock.h"
#include "varno_util.h"

VARNO_QV_FRAME_MGR_BASE::VARNO_QV_FRAME_MGR_BASE(const CHECK_TEXTS& texts) : m_texts(texts) {}

VARNO_QV_FRAME_MGR_BASE::~VARNO_QV_FRAME_MGR_BASE() = default;

bool VARNO_QV_FRAME_MGR_BASE::init() {
  VARNO_DBLOCK* block = m_parent;
  VARNO_ASSERT_MSG(block != nullptr, m_texts.block);
  VARNO_BLOCK_CONFIG* config = block->get_block_config();
  VARNO_ASSERT_MSG(config != nullptr, m_texts.config);
  return setup_data(block, config);
}

// ---- Sector -------------------------------------------------------------------

VARNO_GEN* VARNO_QV_FRAME_MGR_BASE::generator_of(VARNO_DBLOCK* block) const {
  VARNO_ASSERT_MSG(block != nullptr, m_texts.block);
  VARNO_GEN* gen = block->generator();
  VARNO_ASSERT_MSG(gen != nullptr, m_texts.gen);
  return gen;
}

void VARNO_QV_FRAME_MGR_BASE::find_sector(VARNO_GEN* gen) {
  VARNO_ASSERT_MSG(gen != nullptr, m_texts.gen);
  // The model puts these blocks only into sector generators; a block
  // elsewhere has no sector to address its records to.
  VARNO_MBLOCK* meta = gen->meta_block();
  VARNO_ASSERT_MSG(meta != nullptr, "m_meta_block != nullptr");
  VARNO_EBLOCK* eblock = meta->eblock();
  VARNO_ASSERT_MSG(eblock != nullptr, "m_eblock != nullptr");
  m_meta_block = meta;
  m_eblock = eblock;
  m_array_config = eblock->config();
  m_array_gen = eblock->generator();
}

u32 VARNO_QV_FRAME_MGR_BASE::sector_x() const {
  VARNO_ASSERT_MSG(m_meta_block != nullptr, "m_meta_block != nullptr");
  return m_meta_block->x();
}

u32 VARNO_QV_FRAME_MGR_BASE::sector_y() const {
  VARNO_ASSERT_MSG(m_meta_block != nullptr, "m_meta_block != nullptr");
  return m_meta_block->y();
}

u32 VARNO_QV_FRAME_MGR_BASE::sector_table_index(u32 table_rows, const char* table_name) const {
  VARNO_ASSERT_MSG(m_eblock != nullptr, "m_eblock != nullptr");
  const u32 x = sector_x();
  const u32 y = sector_y();
  const u32 columns = m_eblock->get_param_value("ARRAY_COUNT", 0u);
  const u64 index = static_cast<u64>(y) * columns + x;
  if (x >= columns || index >= table_rows) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Sector (%d, %d) has no row in %s (%d rows)", x, y,
                                             table_name, table_rows));
  }
  return static_cast<u32>(index);
}

// ---- Header blocks and sizes -------------------------------------------------

VARNO_SBLOCK* VARNO_QV_FRAME_MGR_BASE::fetch_header_block(VARNO_GEN* from, const char* name) {
  if (from == nullptr) return nullptr;
  return dynamic_cast<VARNO_SBLOCK*>(from->get_block(name, false));
}

void VARNO_QV_FRAME_MGR_BASE::fetch_cnoc_cnt(VARNO_GEN* from, const char* missing_text) {
  m_cnoc_blk = fetch_header_block(from, "CNOC_HEADER");
  m_cnt_blk = fetch_header_block(from, "CNT_HEADER");
  VARNO_ASSERT_MSG(m_cnoc_blk != nullptr && m_cnt_blk != nullptr, missing_text);
  set_cnoc_cnt_sizes();
}

u32 VARNO_QV_FRAME_MGR_BASE::setup_device_headers(VARNO_DBLOCK* block) {
  find_sector(generator_of(block));
  fetch_cnoc_cnt(array_generator(), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
  const u64 frame_size = u64{4} * descriptor_word(block, 2);
  VARNO_ASSERT_MSG(frame_size <= 0xFFFFFFFFu, "m_frame_size <= 0xFFFFFFFF");
  return static_cast<u32>(frame_size);
}

void VARNO_QV_FRAME_MGR_BASE::set_cnoc_cnt_sizes() {
  VARNO_ASSERT_MSG(m_cnoc_blk != nullptr && m_cnt_blk != nullptr,
                   "m_cnoc_blk != NULL && m_cnt_blk != NULL");
  m_cnoc_size = m_cnoc_blk->get_block_size();
  m_cnt_size = m_cnt_blk->get_block_size();
  m_header_bytes = m_cnoc_size + m_cnt_size;
}

u32 VARNO_QV_FRAME_MGR_BASE::descriptor_word(VARNO_DBLOCK* block, u32 i) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  const VARNO_FRAME_DESCRIPTOR* descriptor = block->get_frame_descriptor();
  VARNO_ASSERT_MSG(descriptor != nullptr, "frame_descriptor != NULL");
  return descriptor->word(i);
}

u32 VARNO_QV_FRAME_MGR_BASE::frame_size_from_descriptor(VARNO_DBLOCK* block) {
  const u64 size = u64{4} * descriptor_word(block, 2);
  VARNO_ASSERT_MSG(size > 0 && size <= 0xFFFFFFFFu, "m_frame_size > 0");
  return static_cast<u32>(size);
}

// ---- Build helpers -----------------------------------------------------------

VARNO_MGR_PARAM* VARNO_QV_FRAME_MGR_BASE::mgr_param(VARNO_DBLOCK* block) const {
  VARNO_MGR_PARAM* param = generator_of(block)->get_mgr_param();
  VARNO_ASSERT_MSG(param != nullptr, "mgr_param != NULL");
  return param;
}

bool VARNO_QV_FRAME_MGR_BASE::headers(VARNO_DBLOCK* block) const {
  return mgr_param(block)->skip_headers == 0;
}

void VARNO_QV_FRAME_MGR_BASE::verify_user_data_size(VARNO_DBLOCK* block, VARNO_BLOCK_DATA_TYPE slot,
                                                    u64 expected, const char* format) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // A length of 0 leaves the size to the caller, who then supplies a full
  // buffer.
  const u64 user = block->get_user_data_size(slot);
  if (user != 0 && user != expected) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(format, user, expected));
  }
}

void VARNO_QV_FRAME_MGR_BASE::frame_range(VARNO_DBLOCK* block, u32 frame_count, u32 block_type,
                                          u32& first, u32& last) const {
  VARNO_ASSERT(block_type < VARNO_MGR_PARAM_BLOCK_TYPES);
  varno_select_frame_range(*mgr_param(block), block_type, frame_count, m_user_frame_count, first,
                           last);
}

bool VARNO_QV_FRAME_MGR_BASE::create_selected_frames(VARNO_DBLOCK* block,
                                                     VARNO_BLOCK_CONFIG* config, u32 frame_count,
                                                     u32 block_type, u32& built) {
  u32 first = 0;
  u32 last = 0;
  frame_range(block, frame_count, block_type, first, last);
  const bool result = create_partial_frames(block, config, first, last);
  built = block->get_number_of_frames();
  msg_vdebug_impl(2, "Generated %d frames", built);
  return result;
}

void VARNO_QV_FRAME_MGR_BASE::attach_2d_engine(VARNO_DBLOCK* block, bool cram_mode) {
  if (block->get_2d_engine() != nullptr) return;
  block->set_2d_engine(std::make_unique<VARNO_QV_2D_ENGINE>(block, cram_mode).release());
}

void VARNO_QV_FRAME_MGR_BASE::append_frame(VARNO_DBLOCK* block, std::unique_ptr<VARNO_FRAME> frame) {
  VARNO_ASSERT(frame != nullptr);
  // The block takes the frame only when the insert succeeds.
  if (block->insert_frame_at_end(frame.get(), 0)) frame.release();
}

void VARNO_QV_FRAME_MGR_BASE::register_engine_with_array(VARNO_DBLOCK* block) {
  VARNO_ASSERT_MSG(block != nullptr, m_texts.block);
  VARNO_QV_2D_ENGINE* engine = block->get_2d_engine();
  if (engine == nullptr) return;
  VARNO_GEN* gen = block->generator();
  VARNO_MBLOCK* meta = gen != nullptr ? gen->meta_block() : nullptr;
  VARNO_EBLOCK* eblock = meta != nullptr ? meta->eblock() : nullptr;
  if (eblock == nullptr) return;
  VARNO_GEN* egen = eblock->generator();
  VARNO_ASSERT_MSG(egen != nullptr, "egen != NULL");
  // Every build registers again; a second entry would be merged twice and
  // deleted twice.
  std::vector<VARNO_QV_2D_ENGINE*>& engines = egen->registered_2d_engines();
  if (std::find(engines.begin(), engines.end(), engine) == engines.end()) engines.push_back(engine);
}

// ---- Expected data -------------------------------------------------------------

VARNO_DBLOCK* VARNO_QV_FRAME_MGR_BASE::expected_data_block(const std::string& path) const {
  VARNO_ASSERT(!path.empty());
  VARNO_DBLOCK* parent_block = m_parent;
  VARNO_ASSERT_MSG(parent_block != nullptr, "parent_block != NULL");
  return parent_block;
}

void VARNO_QV_FRAME_MGR_BASE::write_expected_data(
    const std::string& path, const std::function<void(std::ofstream&)>& writer) {
  std::ofstream stream(path, std::ios::out | std::ios::trunc);
  if (stream.good()) writer(stream);
  stream.close();
}
