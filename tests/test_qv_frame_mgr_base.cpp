// The set-up the sector-family frame managers share: the sector a block
// lies in and its row in the array's tables, the frame size of the
// descriptor, the checks of the block and the header blocks taken from the
// sector or the device level. Sectors of tests/data/qv: "cl" at CNOC
// address (7, 3), "fc" at (1, 0) of a 3-column array; the device of
// tests/data/regwin is described in regwin_device.h.
#include <vector>

#include "regwin_device.h"
#include "varno_bram_frame_mgr.h"
#include "varno_dummy_frame_mgr.h"
#include "varno_qv_cram_frame_mgr.h"
#include "varno_qv_ext_file_mgr.h"
#include "varno_qv_ioahb_frame_mgr.h"
#include "varno_qv_iovamm_frame_mgr.h"
#include "varno_qv_regscan_frame_mgr.h"
#include "varno_qv_uibmmr_frame_mgr.h"

namespace {

const std::string kDir = test_data("qv");

// A manager with the base's helpers at hand.
struct CRAM_PROBE : VARNO_QV_CRAM_FRAME_MGR {
  using VARNO_QV_FRAME_MGR_BASE::frame_size_from_descriptor;
  using VARNO_QV_FRAME_MGR_BASE::sector_table_index;
};

class QvFrameMgrBase : public ::testing::Test, public SECTOR_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
  VARNO_DBLOCK* cram(u32 x) { return block(x, 0, "CRAM"); }
};

TEST_F(QvFrameMgrBase, SectorRowsAreCheckedAgainstTheirTable) {
  CRAM_PROBE probe;
  probe.set_parent(cram(2));
  ASSERT_TRUE(probe.init());
  // "fc" has CNOC address (1, 0) in a 3-column array: row 1.
  EXPECT_EQ(probe.sector_table_index(3, "BBUS_CHAIN_SIZES"), 1u);
  EXPECT_INTERNAL_ERROR(probe.sector_table_index(1, "BBUS_CHAIN_SIZES"),
                        "Sector (1, 0) has no row in BBUS_CHAIN_SIZES (1 rows)");
  // "cl" at (7, 3) lies outside the 3 columns whatever the table.
  CRAM_PROBE cl;
  cl.set_parent(cram(0));
  ASSERT_TRUE(cl.init());
  EXPECT_EQ(cl.sector_x(), 7u);
  EXPECT_EQ(cl.sector_y(), 3u);
  EXPECT_INTERNAL_ERROR(cl.sector_table_index(100, "T"),
                        "Sector (7, 3) has no row in T (100 rows)");
}

TEST_F(QvFrameMgrBase, FrameSizeFromDescriptor) {
  set_descriptor_word(cram(0), 2, 5);
  EXPECT_EQ(CRAM_PROBE::frame_size_from_descriptor(cram(0)), 20u);
  set_descriptor_word(cram(0), 2, 0);
  EXPECT_INTERNAL_ERROR(CRAM_PROBE::frame_size_from_descriptor(cram(0)), "m_frame_size > 0");
}

// ---- Header blocks ---------------------------------------------------------------------

class QvFrameMgrSetUp : public RegwinTest {};

TEST_F(QvFrameMgrSetUp, HeaderBlocksComeFromTheSectorOrTheDevice) {
  PROBE<VARNO_QV_REGSCAN_FRAME_MGR> regscan_probe;
  regscan_probe.set_parent(block(0, "REGSCAN"));
  ASSERT_TRUE(regscan_probe.init());
  EXPECT_EQ(regscan_probe.m_cnoc_size, 8u);
  EXPECT_EQ(regscan_probe.m_cnt_size, 12u);

  PROBE<VARNO_QV_UIBMMR_FRAME_MGR> uib;
  PROBE<VARNO_QV_IOVAMM_FRAME_MGR> vamm;
  PROBE<VARNO_QV_IOAHB_FRAME_MGR> ahb;
  PROBE<VARNO_BRAM_FRAME_MGR> bram;
  uib.set_parent(block(0, "UIB_MMR"));
  vamm.set_parent(block(0, "IO_VAMM"));
  ahb.set_parent(block(0, "IO_AHB"));
  bram.set_parent(block(0, "BRAM"));
  for (VARNO_FRAME_MGR* m : std::vector<VARNO_FRAME_MGR*>{&uib, &vamm, &ahb, &bram}) {
    ASSERT_TRUE(m->init());
  }
  EXPECT_EQ(uib.m_header_bytes, 12u);
  EXPECT_EQ(vamm.m_header_bytes, 12u);
  EXPECT_EQ(ahb.m_header_bytes, 12u);
  EXPECT_EQ(bram.m_cnoc_size, 4u);
  EXPECT_EQ(bram.m_cnt_size, 8u);
}

TEST(QvFrameMgrSetUpDevice, InitChecksTheBlock) {
  VARNO_QV_REGSCAN_FRAME_MGR regscan;
  VARNO_QV_EXT_FILE_MGR ext;
  VARNO_QV_UIBMMR_FRAME_MGR uib;
  VARNO_QV_IOVAMM_FRAME_MGR vamm;
  VARNO_QV_IOAHB_FRAME_MGR ahb;
  VARNO_BRAM_FRAME_MGR bram;
  EXPECT_INTERNAL_ERROR(regscan.init(), "block != NULL");
  EXPECT_INTERNAL_ERROR(ext.init(), "block != NULL");
  EXPECT_INTERNAL_ERROR(uib.init(), "block != nullptr");
  EXPECT_INTERNAL_ERROR(bram.init(), "block != nullptr");
  VARNO_DBLOCK loose;
  for (VARNO_FRAME_MGR* m : std::vector<VARNO_FRAME_MGR*>{&regscan, &ext}) {
    m->set_parent(&loose);
    EXPECT_INTERNAL_ERROR(m->init(), "config != NULL");
  }
  for (VARNO_FRAME_MGR* m : std::vector<VARNO_FRAME_MGR*>{&uib, &vamm, &ahb, &bram}) {
    m->set_parent(&loose);
    EXPECT_INTERNAL_ERROR(m->init(), "config != nullptr");
  }
  EXPECT_INTERNAL_ERROR(regscan.create_frames(nullptr, nullptr), "block != NULL");
  EXPECT_INTERNAL_ERROR(ext.create_frames(nullptr, nullptr), "block != NULL");
  EXPECT_INTERNAL_ERROR(vamm.create_frames(nullptr, nullptr), "block != nullptr");
  EXPECT_INTERNAL_ERROR(ahb.create_frames(nullptr, nullptr), "block != nullptr");
}

TEST(QvFrameMgrSetUpDevice, WindowManagersNeedTheDeviceHeaderBlocks) {
  const FILE_EDITS edits = {{"quelvo_family.ddb", "block CNOC_HEADER", "block BBUS_HEADER"}};
  {
    REGWIN_DEVICE d;
    EXPECT_INTERNAL_ERROR(d.load(kRegwinDir, edits),
                          "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
  }
  // Loaded with do-nothing managers, each manager's own set-up fails.
  FRAME_MGR_HOOK_SCOPE dummies([](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
    switch (type) {
      case VOLD_FRAME_QV_REGSCAN:
      case VOLD_FRAME_QV_UIB_MMR:
      case VOLD_FRAME_QV_IO_VAMM:
      case VOLD_FRAME_QV_IO_AHB:
      case VOLD_FRAME_BRAM_XCVR:
      case VOLD_FRAME_QV_EXT_FILE:
        return new VARNO_DUMMY_FRAME_MGR();
      default:
        return nullptr;
    }
  });
  REGWIN_DEVICE d;
  ASSERT_EQ(d.load(kRegwinDir, edits), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error();
  VARNO_QV_UIBMMR_FRAME_MGR uib;
  VARNO_QV_IOVAMM_FRAME_MGR vamm;
  VARNO_QV_IOAHB_FRAME_MGR ahb;
  VARNO_BRAM_FRAME_MGR bram;
  uib.set_parent(d.block(1, "UIB_MMR"));
  vamm.set_parent(d.block(1, "IO_VAMM"));
  ahb.set_parent(d.block(1, "IO_AHB"));
  bram.set_parent(d.block(1, "BRAM"));
  for (VARNO_FRAME_MGR* m : std::vector<VARNO_FRAME_MGR*>{&uib, &vamm, &ahb, &bram}) {
    EXPECT_INTERNAL_ERROR(m->init(), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
  }
  // The sector's own header blocks are still there.
  VARNO_QV_REGSCAN_FRAME_MGR regscan;
  regscan.set_parent(d.block(1, "REGSCAN"));
  EXPECT_TRUE(regscan.init());
}

}  // namespace
