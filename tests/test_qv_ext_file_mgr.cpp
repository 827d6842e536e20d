// The external-file blocks of the device of tests/data/regwin (see
// regwin_device.h): their manager makes no frames, like the do-nothing
// manager of the other blocks without frames.
#include "regwin_device.h"
#include "varno_qv_ext_file_mgr.h"

namespace {

class QvExtFile : public RegwinTest {};

TEST_F(QvExtFile, ExternalFileAndDummyBlocksHaveNoFrames) {
  EXPECT_TRUE(sector(0)->do_all_blocks());
  for (const char* name : {"CMF_DESCRIPTOR", "ESRAM_BBUS"}) {
    VARNO_DBLOCK* b = block(0, name);
    EXPECT_EQ(b->get_number_of_frames(), 0u) << name;
    EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 0u) << name;
  }
  VARNO_DBLOCK* ext = block(0, "CMF_DESCRIPTOR");
  EXPECT_NE(dynamic_cast<VARNO_QV_EXT_FILE_MGR*>(ext->get_frame_mgr()), nullptr);
  EXPECT_EQ(ext->get_frame_mgr()->parent(), ext);
  VARNO_DBLOCK* dummy = block(0, "ESRAM_BBUS");
  EXPECT_EQ(dummy->get_frame_mgr()->parent(), nullptr);
}

}  // namespace
