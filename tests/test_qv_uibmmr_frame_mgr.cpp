// UIB MMR frames of the device of tests/data/regwin (see regwin_device.h):
// 64-byte frames, the first 64 bytes of pages 44 to 51 of the user data.
#include <vector>

#include "regwin_device.h"
#include "varno_qv_uibmmr_frame_mgr.h"

namespace {

class QvUibMmr : public RegwinTest {};

TEST_F(QvUibMmr, FramesArePagesFortyFourToFiftyOne) {
  VARNO_DBLOCK* b = block(0, "UIB_MMR");
  const u32 bytes = 51 * 4096 + 64;
  BYTES data = pattern(bytes);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, bytes * 8));
  std::vector<BYTES> expected;
  for (u32 i = 0; i < 8; ++i) expected.push_back(slice(data, (44 + i) * 4096, 64));
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->get_frame(0)->segments().front()->type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 8u);
  b->get_frame_mgr()->set_user_frame_count(2);

  // A rebuild counts the frames of the new list only.
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, bytes * 8));
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 8u);
}

TEST_F(QvUibMmr, UserDataChecks) {
  VARNO_DBLOCK* b = block(0, "UIB_MMR");
  BYTES data = pattern(51 * 4096 + 64);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, 33),
                        "User data is not DWORD aligned");
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, (51 * 4096 + 60) * 8),
                        "User data too short: 208960 bytes needed, 208956 bytes given");
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, 0),
                        "User data too short: 208960 bytes needed, 0 bytes given");
  EXPECT_EQ(b->get_number_of_frames(), 0u);
  b->set_data(VARNO_BLOCK_DATA_UIB_MMR, nullptr, 0, nullptr);
  EXPECT_TRUE(b->get_frame_mgr()->create_frames(b, b->get_block_config()));
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 0u);
}

}  // namespace
