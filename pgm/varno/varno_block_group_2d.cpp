// The group's calls into a data block's 2D engine: the sizes and copies of
// the B structure, F structure and BBM that make up the thread's 2D setup
// data.
#include "varno_assert.h"
#include "varno_block_group.h"
#include "varno_qv_2d_engine.h"

namespace {

u32 slices_per_row(VARNO_QV_2D_ENGINE* engine) { return engine->m_NumBlocks; }
u32 fstruct_size(VARNO_QV_2D_ENGINE* engine) { return engine->m_FrameStructSize; }
u32 bbm_size(VARNO_QV_2D_ENGINE* engine) {
  if (!engine->m_CramMode) return engine->m_EramBbmSize;
  const u64 size = u64{engine->m_FrameStructSize} * engine->m_NumRows;
  VARNO_ASSERT_MSG(size <= 0xFFFFFFFFu, "bbm_size <= 0xFFFFFFFF");
  return static_cast<u32>(size);
}
u32 copy_bstruct(VARNO_QV_2D_ENGINE* engine, u8* dst) { return engine->copy_bstruct(dst); }
u32 copy_fstruct(VARNO_QV_2D_ENGINE* engine, u8* dst) { return engine->copy_fstruct(dst); }
u32 copy_bbm(VARNO_QV_2D_ENGINE* engine, u8* dst) { return engine->copy_BBM(dst); }

VARNO_GROUP_2D_ENGINE_OPS& ops() {
  static VARNO_GROUP_2D_ENGINE_OPS s_ops{slices_per_row, fstruct_size, bbm_size,
                                         copy_bstruct,   copy_fstruct, copy_bbm};
  return s_ops;
}

}  // namespace

const VARNO_GROUP_2D_ENGINE_OPS& VARNO_MBLOCK_GROUP::engine_ops() { return ops(); }

VARNO_GROUP_2D_ENGINE_OPS VARNO_MBLOCK_GROUP::set_2d_engine_ops(
    const VARNO_GROUP_2D_ENGINE_OPS& replacement) {
  VARNO_GROUP_2D_ENGINE_OPS previous = ops();
  VARNO_GROUP_2D_ENGINE_OPS& current = ops();
  if (replacement.slices_per_row != nullptr) current.slices_per_row = replacement.slices_per_row;
  if (replacement.fstruct_size != nullptr) current.fstruct_size = replacement.fstruct_size;
  if (replacement.bbm_size != nullptr) current.bbm_size = replacement.bbm_size;
  if (replacement.copy_bstruct != nullptr) current.copy_bstruct = replacement.copy_bstruct;
  if (replacement.copy_fstruct != nullptr) current.copy_fstruct = replacement.copy_fstruct;
  if (replacement.copy_bbm != nullptr) current.copy_bbm = replacement.copy_bbm;
  return previous;
}
