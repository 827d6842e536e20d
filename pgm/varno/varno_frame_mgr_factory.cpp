#include "varno_frame_mgr_factory.h"

#include <array>
#include <utility>

#include "varno_assert.h"
#include "varno_bram_frame_mgr.h"
#include "varno_cram_frame_mgr.h"
#include "varno_dummy_frame_mgr.h"
#include "varno_dyn_pad_frame_mgr.h"
#include "varno_eram_frame_mgr.h"
#include "varno_hg_cram_frame_mgr.h"
#include "varno_iocsr_frame_mgr.h"
#include "varno_legacy_cram_frame_mgr.h"
#include "varno_qv_bbus_frame_mgr.h"
#include "varno_qv_cram_frame_mgr.h"
#include "varno_qv_csr_frame_mgr.h"
#include "varno_qv_eram_frame_mgr.h"
#include "varno_qv_ext_file_mgr.h"
#include "varno_qv_fw_file_mgr.h"
#include "varno_qv_hipmmio_frame_mgr.h"
#include "varno_qv_hnocmmio_frame_mgr.h"
#include "varno_qv_ioahb_frame_mgr.h"
#include "varno_qv_iovamm_frame_mgr.h"
#include "varno_qv_regscan_frame_mgr.h"
#include "varno_qv_ssm_params_mgr.h"
#include "varno_qv_uib_csr_frame_mgr.h"
#include "varno_qv_uibmmr_frame_mgr.h"
#include "varno_util.h"

namespace {

VARNO_FRAME_MGR_HOOK& frame_mgr_hook() {
  static VARNO_FRAME_MGR_HOOK hook;
  return hook;
}

using MGR_MAKER = std::unique_ptr<VARNO_FRAME_MGR> (*)();

template <typename MGR>
std::unique_ptr<VARNO_FRAME_MGR> make_mgr() {
  return std::make_unique<MGR>();
}

// The design data a manager reads: a bit per user-data slot, and FILES for
// the block's data-file list.
constexpr u32 slot(VARNO_BLOCK_DATA_TYPE s) { return 1u << s; }
constexpr u32 FILES = 1u << VARNO_BLOCK_DATA_MAX;
static_assert(VARNO_BLOCK_DATA_MAX < 31);

struct MGR_ROW {
  MGR_MAKER make = nullptr;
  u32 reads = 0;
};

template <typename MGR>
constexpr MGR_ROW row(u32 reads) {
  return MGR_ROW{make_mgr<MGR>, reads};
}

// The manager class of every frame type, indexed by VOLD_FRAME_TYPE, with the
// design data it reads; no class where the type has none. A new frame type
// needs only its row here.
constexpr std::array<MGR_ROW, VOLD_FRAME_TYPE_NAMES_COUNT> MGR_ROWS = [] {
  std::array<MGR_ROW, VOLD_FRAME_TYPE_NAMES_COUNT> m{};
  m[VOLD_FRAME_IOCSR] =
      row<VARNO_IOCSR_FRAME_MGR>(slot(VARNO_BLOCK_DATA_CSR) | slot(VARNO_BLOCK_DATA_MCU));
  m[VOLD_FRAME_CRAM] = row<VARNO_CRAM_FRAME_MGR>(slot(VARNO_BLOCK_DATA_CRAM));
  m[VOLD_FRAME_HG_CRAM] = row<VARNO_HG_CRAM_FRAME_MGR>(slot(VARNO_BLOCK_DATA_CRAM));
  m[VOLD_FRAME_LEGACY_CRAM] = row<VARNO_LEGACY_CRAM_FRAME_MGR>(slot(VARNO_BLOCK_DATA_CRAM));
  m[VOLD_FRAME_ERAM] = row<VARNO_ERAM_FRAME_MGR>(slot(VARNO_BLOCK_DATA_ERAM));
  m[VOLD_FRAME_DYN_OB_PAD] = row<VARNO_DYN_OB_PAD_FRAME_MGR>(0);
  m[VOLD_FRAME_QV_CRAM] = row<VARNO_QV_CRAM_FRAME_MGR>(slot(VARNO_BLOCK_DATA_CRAM));
  m[VOLD_FRAME_QV_ERAM] = row<VARNO_QV_ERAM_FRAME_MGR>(slot(VARNO_BLOCK_DATA_ERAM));
  m[VOLD_FRAME_QV_BBUS] = row<VARNO_QV_BBUS_FRAME_MGR>(slot(VARNO_BLOCK_DATA_BBUS));
  m[VOLD_FRAME_QV_CSR] = row<VARNO_QV_CSR_FRAME_MGR>(slot(VARNO_BLOCK_DATA_CSR));
  m[VOLD_FRAME_QV_EXT_FILE] = row<VARNO_QV_EXT_FILE_MGR>(0);
  m[VOLD_FRAME_QV_FW_FILE] = row<VARNO_QV_FW_FILE_MGR>(FILES);
  m[VOLD_FRAME_QV_FW_PARAMS] = row<VARNO_QV_SSM_PARAMS_MGR>(0);
  m[VOLD_FRAME_QV_REGSCAN] = row<VARNO_QV_REGSCAN_FRAME_MGR>(slot(VARNO_BLOCK_DATA_REGSCAN));
  m[VOLD_FRAME_QV_HIP_MMIO] = row<VARNO_QV_HIPMMIO_FRAME_MGR>(slot(VARNO_BLOCK_DATA_HIP_MMIO));
  m[VOLD_FRAME_QV_UIB_CSR] = row<VARNO_QV_UIB_CSR_FRAME_MGR>(slot(VARNO_BLOCK_DATA_CSR));
  m[VOLD_FRAME_TK_ESRAM_BBUS] = row<VARNO_DUMMY_FRAME_MGR>(0);
  m[VOLD_FRAME_BRAM_XCVR] = row<VARNO_BRAM_FRAME_MGR>(slot(VARNO_BLOCK_DATA_BRAM));
  m[VOLD_FRAME_QV_HNOC_MMIO] = row<VARNO_QV_HNOCMMIO_FRAME_MGR>(slot(VARNO_BLOCK_DATA_HNOC_MMIO));
  m[VOLD_FRAME_QV_UIB_MMR] = row<VARNO_QV_UIBMMR_FRAME_MGR>(slot(VARNO_BLOCK_DATA_UIB_MMR));
  m[VOLD_FRAME_QV_HNOC_AXI4LITE] =
      row<VARNO_QV_HNOCMMIO_FRAME_MGR>(slot(VARNO_BLOCK_DATA_HNOC_MMIO));
  m[VOLD_FRAME_QV_IO_VAMM] = row<VARNO_QV_IOVAMM_FRAME_MGR>(slot(VARNO_BLOCK_DATA_IO_MMIO));
  m[VOLD_FRAME_QV_IO_AHB] = row<VARNO_QV_IOAHB_FRAME_MGR>(slot(VARNO_BLOCK_DATA_IO_AHB));
  m[VOLD_FRAME_WX_ESRAM_BBUS] = row<VARNO_DUMMY_FRAME_MGR>(0);
  return m;
}();

u32 reads_of(VOLD_FRAME_TYPE type) { return type < MGR_ROWS.size() ? MGR_ROWS[type].reads : 0; }

}  // namespace

std::unique_ptr<VARNO_FRAME_MGR> varno_create_frame_mgr(VOLD_FRAME_TYPE type) {
  const MGR_MAKER make = type < MGR_ROWS.size() ? MGR_ROWS[type].make : nullptr;
  if (make == nullptr) VARNO_INTERNAL_ERROR("Unsupported Dynamic Block");
  if (const VARNO_FRAME_MGR_HOOK& hook = frame_mgr_hook()) {
    if (VARNO_FRAME_MGR* mgr = hook(type)) return std::unique_ptr<VARNO_FRAME_MGR>(mgr);
  }
  return make();
}

VARNO_FRAME_MGR_HOOK varno_set_frame_mgr_hook(VARNO_FRAME_MGR_HOOK hook) {
  VARNO_FRAME_MGR_HOOK previous = std::move(frame_mgr_hook());
  frame_mgr_hook() = std::move(hook);
  return previous;
}

bool varno_frame_mgr_reads_slot(VOLD_FRAME_TYPE type, VARNO_BLOCK_DATA_TYPE s) {
  return s < VARNO_BLOCK_DATA_MAX && (reads_of(type) & slot(s)) != 0;
}

bool varno_frame_mgr_reads_files(VOLD_FRAME_TYPE type) { return (reads_of(type) & FILES) != 0; }
