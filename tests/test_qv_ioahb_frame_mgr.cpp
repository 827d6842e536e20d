// IO AHB frames of the device of tests/data/regwin (see regwin_device.h):
// frames of 32 bytes behind their 4-byte address.
#include <vector>

#include "regwin_device.h"
#include "varno_qv_ioahb_frame_mgr.h"

namespace {

class QvIoAhb : public RegwinTest {};

TEST_F(QvIoAhb, DropsThePartialLastFrame) {
  VARNO_DBLOCK* b = block(0, "IO_AHB");
  BYTES data = pattern(100);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_IO_AHB, data, 800));
  EXPECT_EQ(frames(b), (std::vector<BYTES>{concat({le32(0x47B000), slice(data, 0, 32)}),
                                           concat({le32(0x47B020), slice(data, 32, 32)}),
                                           concat({le32(0x47B040), slice(data, 64, 32)})}));
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 3u);
  EXPECT_EQ(b->get_frame(0)->segments()[0]->type(), VARNO_FRAME_SEGMENT_HEADER);

  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_IO_AHB, data, 33),
                        "User data is not DWORD aligned");
  // The count is the last build's; data that shrank since is not read past.
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_IO_AHB, data, 800));
  b->set_data(VARNO_BLOCK_DATA_IO_AHB, data.data(), 512, nullptr);
  EXPECT_INTERNAL_ERROR(b->get_frame_mgr()->create_partial_frames(b, b->get_block_config(), 0, 0),
                        "User data too short: 96 bytes needed, 64 bytes given");
}

TEST_F(QvIoAhb, FrameSizeOfZero) {
  VARNO_DBLOCK* b = block(0, "IO_AHB");
  set_descriptor_word(b, 2, 0);
  VARNO_QV_IOAHB_FRAME_MGR m;
  m.set_parent(b);
  ASSERT_TRUE(m.init());
  // Without data there is nothing to count.
  EXPECT_TRUE(m.create_frames(b, b->get_block_config()));
  EXPECT_EQ(m.potential_frames(), 0u);
  BYTES data = pattern(64);
  b->set_data(VARNO_BLOCK_DATA_IO_AHB, data.data(), 512, nullptr);
  EXPECT_INTERNAL_ERROR(m.create_frames(b, b->get_block_config()), "m_frame_size > 0");
}

}  // namespace
