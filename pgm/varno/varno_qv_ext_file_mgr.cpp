#include "varno_qv_ext_file_mgr.h"

#include "varno_assert.h"
#include "varno_dblock.h"

VARNO_QV_EXT_FILE_MGR::VARNO_QV_EXT_FILE_MGR() : VARNO_QV_FRAME_MGR_BASE(NULL_TEXTS) {}

VARNO_QV_EXT_FILE_MGR::~VARNO_QV_EXT_FILE_MGR() = default;

bool VARNO_QV_EXT_FILE_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  generator_of(block);
  return true;
}

bool VARNO_QV_EXT_FILE_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  block->clear_frames();
  return create_partial_frames(block, config, 0, 0);
}

bool VARNO_QV_EXT_FILE_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*, u32,
                                                  u32) {
  generator_of(block);
  return true;
}

void VARNO_QV_EXT_FILE_MGR::dump_expected_data(std::string&) {}
