// IO MMIO frames of the device of tests/data/regwin (see regwin_device.h):
// frames of 0x800 bytes behind their 4-byte address, in three address
// ranges.
#include <vector>

#include "regwin_device.h"
#include "varno_qv_iovamm_frame_mgr.h"

namespace {

class QvIoMmio : public RegwinTest {};

TEST_F(QvIoMmio, BuildsThreeAddressRanges) {
  VARNO_DBLOCK* b = block(0, "IO_VAMM");
  // The high range ends at 0x80400 + 2 × 0x800.
  const u32 bytes = 0x81400;
  BYTES data = pattern(bytes);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_IO_MMIO, data, bytes * 8));
  ASSERT_EQ(b->get_number_of_frames(), 249u);
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 249u);
  EXPECT_EQ(frame(b, 0), concat({le32(0), slice(data, 0, 1024)}));
  EXPECT_EQ(frame(b, 1), concat({le32(0x400000), slice(data, 0x400, 0x800)}));
  EXPECT_EQ(frame(b, 246), concat({le32(0x47A800), slice(data, 0x7AC00, 0x800)}));
  EXPECT_EQ(frame(b, 247), concat({le32(0x47F000), slice(data, 0x80400, 0x800)}));
  EXPECT_EQ(frame(b, 248), concat({le32(0x47F800), slice(data, 0x80C00, 0x800)}));
  const auto& segments = b->get_frame(5)->segments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0]->type(), VARNO_FRAME_SEGMENT_HEADER);
  EXPECT_EQ(segments[1]->type(), VARNO_FRAME_SEGMENT_DATA);

  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_IO_MMIO, data, bytes * 8));
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 249u);

  // Appending a range counts on.
  VARNO_FRAME_MGR* m = b->get_frame_mgr();
  EXPECT_TRUE(m->create_partial_frames(b, b->get_block_config(), 255, 255));
  EXPECT_EQ(m->potential_frames(), 250u);
  EXPECT_EQ(frame(b, 249), frame(b, 247));
}

TEST_F(QvIoMmio, Checks) {
  VARNO_DBLOCK* b = block(0, "IO_VAMM");
  VARNO_FRAME_MGR* m = b->get_frame_mgr();
  VARNO_BLOCK_CONFIG* config = b->get_block_config();
  BYTES data = pattern(0x81400);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_IO_MMIO, data, 33),
                        "User data is not DWORD aligned");
  EXPECT_INTERNAL_ERROR(m->create_partial_frames(b, config, 5, 4), "end_frame >= start_frame");
  EXPECT_INTERNAL_ERROR(m->create_partial_frames(b, config, 2, 3), "false");
  // The high range needs 0x81400 bytes.
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_IO_MMIO, data, 0x813FC * 8),
                        "User data too short: 529408 bytes needed, 529404 bytes given");
  EXPECT_EQ(b->get_number_of_frames(), 247u);
  // A range past the data is refused before any of its frames is built.
  b->clear_frames();
  EXPECT_INTERNAL_ERROR(m->create_partial_frames(b, config, 0, 0xFFFFFFFFu),
                        "User data too short: 4398046511104 bytes needed, 529404 bytes given");
  EXPECT_EQ(b->get_number_of_frames(), 0u);
}

TEST_F(QvIoMmio, FrameSizeOfZero) {
  VARNO_DBLOCK* b = block(0, "IO_VAMM");
  set_descriptor_word(b, 2, 0);
  VARNO_QV_IOVAMM_FRAME_MGR m;
  m.set_parent(b);
  ASSERT_TRUE(m.init());
  BYTES data = pattern(0x81400);
  b->set_data(VARNO_BLOCK_DATA_IO_MMIO, data.data(), 0x81400 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(m.create_frames(b, b->get_block_config()), "frame_data != NULL");
  // The frame at address 0 has its own size; the next one has no data bytes.
  EXPECT_EQ(frames(b), std::vector<BYTES>{concat({le32(0), slice(data, 0, 1024)})});
}

}  // namespace
