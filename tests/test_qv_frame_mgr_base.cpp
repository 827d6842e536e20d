// The set-up the sector-family frame managers share: the sector a block
// lies in and its row in the array's tables, the frame size of the
// descriptor. Sectors of tests/data/qv: "cl" at CNOC address (7, 3), "fc" at
// (1, 0) of a 3-column array.
#include "sector_device.h"
#include "varno_qv_cram_frame_mgr.h"

namespace {

const std::string kDir = test_data("qv");

// A manager with the base's helpers at hand.
struct PROBE : VARNO_QV_CRAM_FRAME_MGR {
  using VARNO_QV_FRAME_MGR_BASE::frame_size_from_descriptor;
  using VARNO_QV_FRAME_MGR_BASE::sector_table_index;
};

class QvFrameMgrBase : public ::testing::Test, public SECTOR_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), 0u) << VOLD_DATA_SERVER::last_error(); }
  VARNO_DBLOCK* cram(u32 x) { return block(x, 0, "CRAM"); }
};

TEST_F(QvFrameMgrBase, SectorRowsAreCheckedAgainstTheirTable) {
  PROBE probe;
  probe.set_parent(cram(2));
  ASSERT_TRUE(probe.init());
  // "fc" has CNOC address (1, 0) in a 3-column array: row 1.
  EXPECT_EQ(probe.sector_table_index(3, "BBUS_CHAIN_SIZES"), 1u);
  EXPECT_INTERNAL_ERROR(probe.sector_table_index(1, "BBUS_CHAIN_SIZES"),
                        "Sector (1, 0) has no row in BBUS_CHAIN_SIZES (1 rows)");
  // "cl" at (7, 3) lies outside the 3 columns whatever the table.
  PROBE cl;
  cl.set_parent(cram(0));
  ASSERT_TRUE(cl.init());
  EXPECT_EQ(cl.sector_x(), 7u);
  EXPECT_EQ(cl.sector_y(), 3u);
  EXPECT_INTERNAL_ERROR(cl.sector_table_index(100, "T"), "Sector (7, 3) has no row in T (100 rows)");
}

TEST_F(QvFrameMgrBase, FrameSizeFromDescriptor) {
  VARNO_FRAME_DESCRIPTOR descriptor = *cram(0)->get_frame_descriptor();
  descriptor.words[2] = 5;
  cram(0)->set_frame_descriptor(descriptor);
  EXPECT_EQ(PROBE::frame_size_from_descriptor(cram(0)), 20u);
  descriptor.words[2] = 0;
  cram(0)->set_frame_descriptor(descriptor);
  EXPECT_INTERNAL_ERROR(PROBE::frame_size_from_descriptor(cram(0)), "m_frame_size > 0");
}

}  // namespace
