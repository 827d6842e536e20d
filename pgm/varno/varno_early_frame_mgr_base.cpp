#include "varno_early_frame_mgr_base.h"

#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"

VARNO_EARLY_FRAME_MGR_BASE::VARNO_EARLY_FRAME_MGR_BASE() = default;

VARNO_EARLY_FRAME_MGR_BASE::~VARNO_EARLY_FRAME_MGR_BASE() = default;

bool VARNO_EARLY_FRAME_MGR_BASE::init() {
  VARNO_DBLOCK* block = m_parent;
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  VARNO_BLOCK_CONFIG* config = block->get_block_config();
  VARNO_ASSERT_MSG(config != nullptr, "config != NULL");
  return setup_data(block, config);
}

void VARNO_EARLY_FRAME_MGR_BASE::dump_expected_data(std::string&) {}

VARNO_GEN* VARNO_EARLY_FRAME_MGR_BASE::generator_of(VARNO_DBLOCK* block) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  VARNO_GEN* gen = block->generator();
  VARNO_ASSERT_MSG(gen != nullptr, "gen != NULL");
  return gen;
}

VARNO_MGR_PARAM* VARNO_EARLY_FRAME_MGR_BASE::mgr_param(VARNO_DBLOCK* block) {
  VARNO_MGR_PARAM* param = generator_of(block)->get_mgr_param();
  VARNO_ASSERT_MSG(param != nullptr, "mgr_param != NULL");
  return param;
}

void VARNO_EARLY_FRAME_MGR_BASE::frame_range(VARNO_DBLOCK* block, u32 block_type, u32 frame_count,
                                             u32& first, u32& last) const {
  varno_select_frame_range(*mgr_param(block), block_type, frame_count, m_user_frame_count, first,
                           last);
}
