#include "varno_frame_mgr_factory.h"

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

}  // namespace

std::unique_ptr<VARNO_FRAME_MGR> varno_create_frame_mgr(VOLD_FRAME_TYPE type) {
  if (type < VOLD_FRAME_IOCSR || type > VOLD_FRAME_WX_ESRAM_BBUS) {
    VARNO_INTERNAL_ERROR("Unsupported Dynamic Block");
  }
  if (const VARNO_FRAME_MGR_HOOK& hook = frame_mgr_hook()) {
    if (VARNO_FRAME_MGR* mgr = hook(type)) return std::unique_ptr<VARNO_FRAME_MGR>(mgr);
  }
  switch (type) {
    case VOLD_FRAME_IOCSR: return std::make_unique<VARNO_IOCSR_FRAME_MGR>();
    case VOLD_FRAME_CRAM: return std::make_unique<VARNO_CRAM_FRAME_MGR>();
    case VOLD_FRAME_HG_CRAM: return std::make_unique<VARNO_HG_CRAM_FRAME_MGR>();
    case VOLD_FRAME_LEGACY_CRAM: return std::make_unique<VARNO_LEGACY_CRAM_FRAME_MGR>();
    case VOLD_FRAME_ERAM: return std::make_unique<VARNO_ERAM_FRAME_MGR>();
    case VOLD_FRAME_DYN_OB_PAD: return std::make_unique<VARNO_DYN_OB_PAD_FRAME_MGR>();
    case VOLD_FRAME_QV_CRAM: return std::make_unique<VARNO_QV_CRAM_FRAME_MGR>();
    case VOLD_FRAME_QV_ERAM: return std::make_unique<VARNO_QV_ERAM_FRAME_MGR>();
    case VOLD_FRAME_QV_BBUS: return std::make_unique<VARNO_QV_BBUS_FRAME_MGR>();
    case VOLD_FRAME_QV_CSR: return std::make_unique<VARNO_QV_CSR_FRAME_MGR>();
    case VOLD_FRAME_QV_EXT_FILE: return std::make_unique<VARNO_QV_EXT_FILE_MGR>();
    case VOLD_FRAME_QV_FW_FILE: return std::make_unique<VARNO_QV_FW_FILE_MGR>();
    case VOLD_FRAME_QV_FW_PARAMS: return std::make_unique<VARNO_QV_SSM_PARAMS_MGR>();
    case VOLD_FRAME_QV_REGSCAN: return std::make_unique<VARNO_QV_REGSCAN_FRAME_MGR>();
    case VOLD_FRAME_QV_HIP_MMIO: return std::make_unique<VARNO_QV_HIPMMIO_FRAME_MGR>();
    case VOLD_FRAME_QV_UIB_CSR: return std::make_unique<VARNO_QV_UIB_CSR_FRAME_MGR>();
    case VOLD_FRAME_TK_ESRAM_BBUS: return std::make_unique<VARNO_DUMMY_FRAME_MGR>();
    case VOLD_FRAME_BRAM_XCVR: return std::make_unique<VARNO_BRAM_FRAME_MGR>();
    case VOLD_FRAME_QV_HNOC_MMIO: return std::make_unique<VARNO_QV_HNOCMMIO_FRAME_MGR>();
    case VOLD_FRAME_QV_UIB_MMR: return std::make_unique<VARNO_QV_UIBMMR_FRAME_MGR>();
    case VOLD_FRAME_QV_HNOC_AXI4LITE: return std::make_unique<VARNO_QV_HNOCMMIO_FRAME_MGR>();
    case VOLD_FRAME_QV_IO_VAMM: return std::make_unique<VARNO_QV_IOVAMM_FRAME_MGR>();
    case VOLD_FRAME_QV_IO_AHB: return std::make_unique<VARNO_QV_IOAHB_FRAME_MGR>();
    case VOLD_FRAME_WX_ESRAM_BBUS: return std::make_unique<VARNO_DUMMY_FRAME_MGR>();
    default: break;
  }
  VARNO_INTERNAL_ERROR("Unsupported Dynamic Block");
}

VARNO_FRAME_MGR_HOOK varno_set_frame_mgr_hook(VARNO_FRAME_MGR_HOOK hook) {
  VARNO_FRAME_MGR_HOOK previous = std::move(frame_mgr_hook());
  frame_mgr_hook() = std::move(hook);
  return previous;
}
