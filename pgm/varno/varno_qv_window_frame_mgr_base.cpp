#include "varno_qv_window_frame_mgr_base.h"

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_dblock.h"

VARNO_QV_WINDOW_FRAME_MGR_BASE::VARNO_QV_WINDOW_FRAME_MGR_BASE(VARNO_BLOCK_DATA_TYPE slot)
    : VARNO_QV_FRAME_MGR_BASE(NULLPTR_TEXTS), m_slot(slot) {}

VARNO_QV_WINDOW_FRAME_MGR_BASE::~VARNO_QV_WINDOW_FRAME_MGR_BASE() = default;

void VARNO_QV_WINDOW_FRAME_MGR_BASE::dump_expected_data(std::string&) {}

bool VARNO_QV_WINDOW_FRAME_MGR_BASE::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  m_frame_size = setup_device_headers(block);
  return true;
}

u32 VARNO_QV_WINDOW_FRAME_MGR_BASE::check_user_words(VARNO_DBLOCK* block) const {
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const u32 bits = static_cast<u32>(block->get_user_data_size(m_slot));
  if (bits != 0 && bits % 32 != 0) VARNO_INTERNAL_ERROR("User data is not DWORD aligned");
  return bits;
}

void VARNO_QV_WINDOW_FRAME_MGR_BASE::require_user_bytes(VARNO_DBLOCK* block, u64 needed) const {
  const u64 bytes = (block->get_user_data_size(m_slot) + 7) / 8;
  if (needed > bytes) {
    VARNO_INTERNAL_ERROR(
        KORVIA::fmt_sprintf("User data too short: %d bytes needed, %d bytes given", needed, bytes));
  }
}
