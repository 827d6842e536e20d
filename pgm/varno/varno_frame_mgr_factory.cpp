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

// The manager class of every frame type, indexed by VOLD_FRAME_TYPE; null
// where the type has none. A new frame type needs only its row here.
constexpr std::array<MGR_MAKER, VOLD_FRAME_TYPE_NAMES_COUNT> MGR_MAKERS = [] {
  std::array<MGR_MAKER, VOLD_FRAME_TYPE_NAMES_COUNT> m{};
  m[VOLD_FRAME_IOCSR] = make_mgr<VARNO_IOCSR_FRAME_MGR>;
  m[VOLD_FRAME_CRAM] = make_mgr<VARNO_CRAM_FRAME_MGR>;
  m[VOLD_FRAME_HG_CRAM] = make_mgr<VARNO_HG_CRAM_FRAME_MGR>;
  m[VOLD_FRAME_LEGACY_CRAM] = make_mgr<VARNO_LEGACY_CRAM_FRAME_MGR>;
  m[VOLD_FRAME_ERAM] = make_mgr<VARNO_ERAM_FRAME_MGR>;
  m[VOLD_FRAME_DYN_OB_PAD] = make_mgr<VARNO_DYN_OB_PAD_FRAME_MGR>;
  m[VOLD_FRAME_QV_CRAM] = make_mgr<VARNO_QV_CRAM_FRAME_MGR>;
  m[VOLD_FRAME_QV_ERAM] = make_mgr<VARNO_QV_ERAM_FRAME_MGR>;
  m[VOLD_FRAME_QV_BBUS] = make_mgr<VARNO_QV_BBUS_FRAME_MGR>;
  m[VOLD_FRAME_QV_CSR] = make_mgr<VARNO_QV_CSR_FRAME_MGR>;
  m[VOLD_FRAME_QV_EXT_FILE] = make_mgr<VARNO_QV_EXT_FILE_MGR>;
  m[VOLD_FRAME_QV_FW_FILE] = make_mgr<VARNO_QV_FW_FILE_MGR>;
  m[VOLD_FRAME_QV_FW_PARAMS] = make_mgr<VARNO_QV_SSM_PARAMS_MGR>;
  m[VOLD_FRAME_QV_REGSCAN] = make_mgr<VARNO_QV_REGSCAN_FRAME_MGR>;
  m[VOLD_FRAME_QV_HIP_MMIO] = make_mgr<VARNO_QV_HIPMMIO_FRAME_MGR>;
  m[VOLD_FRAME_QV_UIB_CSR] = make_mgr<VARNO_QV_UIB_CSR_FRAME_MGR>;
  m[VOLD_FRAME_TK_ESRAM_BBUS] = make_mgr<VARNO_DUMMY_FRAME_MGR>;
  m[VOLD_FRAME_BRAM_XCVR] = make_mgr<VARNO_BRAM_FRAME_MGR>;
  m[VOLD_FRAME_QV_HNOC_MMIO] = make_mgr<VARNO_QV_HNOCMMIO_FRAME_MGR>;
  m[VOLD_FRAME_QV_UIB_MMR] = make_mgr<VARNO_QV_UIBMMR_FRAME_MGR>;
  m[VOLD_FRAME_QV_HNOC_AXI4LITE] = make_mgr<VARNO_QV_HNOCMMIO_FRAME_MGR>;
  m[VOLD_FRAME_QV_IO_VAMM] = make_mgr<VARNO_QV_IOVAMM_FRAME_MGR>;
  m[VOLD_FRAME_QV_IO_AHB] = make_mgr<VARNO_QV_IOAHB_FRAME_MGR>;
  m[VOLD_FRAME_WX_ESRAM_BBUS] = make_mgr<VARNO_DUMMY_FRAME_MGR>;
  return m;
}();

}  // namespace

std::unique_ptr<VARNO_FRAME_MGR> varno_create_frame_mgr(VOLD_FRAME_TYPE type) {
  const MGR_MAKER make = type < MGR_MAKERS.size() ? MGR_MAKERS[type] : nullptr;
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
