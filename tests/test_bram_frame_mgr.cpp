// BRAM frames of the device of tests/data/regwin (see regwin_device.h): the
// custom frame sizes name chunks of 4-byte entries, cut into frames of 2048
// bytes, with a record of each chunk's frames.
#include <vector>

#include "regwin_device.h"
#include "varno_bram_frame_mgr.h"

namespace {

class Bram : public RegwinTest {};

TEST_F(Bram, ChunksAndTheirRecords) {
  VARNO_DBLOCK* b = block(0, "BRAM");
  BYTES data = pattern(2448);
  const u32 entries[] = {512, 100};
  b->set_custom_frame_sizes(entries, 2);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8));
  EXPECT_EQ(frames(b), (std::vector<BYTES>{slice(data, 0, 2048), slice(data, 2048, 400)}));
  const std::vector<std::pair<u32, u32>> records = {{0, 1}, {1, 1}};
  EXPECT_EQ(b->m_chunks, records);
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 0u);
  // A rebuild lists the chunks of the new frames only.
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8));
  EXPECT_EQ(b->m_chunks, records);
  // Appended chunks are numbered after the frames already there.
  EXPECT_TRUE(b->get_frame_mgr()->create_partial_frames(b, b->get_block_config(), 0, 0));
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
}

TEST_F(Bram, LargestChunkIsSevenFrames) {
  VARNO_DBLOCK* b = block(0, "BRAM");
  BYTES data = pattern(14340);
  const u32 full = 3584;
  b->set_custom_frame_sizes(&full, 1);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 14336 * 8));
  std::vector<BYTES> expected;
  for (u32 i = 0; i < 7; ++i) expected.push_back(slice(data, i * 2048, 2048));
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 7}}));

  const u32 over = 3585;
  b->set_custom_frame_sizes(&over, 1);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 14340 * 8),
                        "data_size_bytes <= static_cast<DWORD>(NW_BUFFER_SIZE)");
  // 4 × 0x40000001 wraps to 4 in 32 bits.
  const u32 wrapping = 0x40000001;
  b->set_custom_frame_sizes(&wrapping, 1);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 14340 * 8),
                        "data_size_bytes <= static_cast<DWORD>(NW_BUFFER_SIZE)");
}

TEST_F(Bram, ChunkCutShortByTheUserData) {
  VARNO_DBLOCK* b = block(0, "BRAM");
  BYTES data = pattern(2448);
  // The second chunk asks for 4096 bytes; 400 remain: one frame, one record
  // of one frame.
  const u32 entries[] = {512, 1024};
  b->set_custom_frame_sizes(entries, 2);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8));
  EXPECT_EQ(frames(b), (std::vector<BYTES>{slice(data, 0, 2048), slice(data, 2048, 400)}));
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 1}, {1, 1}}));

  // A chunk after the end of the data; an empty chunk makes no frame.
  const u32 past[] = {512, 100, 0, 5};
  b->set_custom_frame_sizes(past, 4);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8),
                        "start_loc < user_data_bytes");
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 1}, {1, 1}}));
  const u32 empty[] = {0, 1};
  b->set_custom_frame_sizes(empty, 2);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8));
  EXPECT_EQ(frames(b), std::vector<BYTES>{slice(data, 0, 4)});
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 0}, {0, 1}}));
}

TEST_F(Bram, UserDataChecks) {
  VARNO_DBLOCK* b = block(0, "BRAM");
  BYTES data = pattern(64);
  // No custom sizes: nothing to frame.
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 512));
  EXPECT_EQ(b->get_number_of_frames(), 0u);
  EXPECT_TRUE(b->m_chunks.empty());
  const u32 entry = 16;
  b->set_custom_frame_sizes(&entry, 1);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 33), "Mismatch in user data size");
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 0), "start_loc < user_data_bytes");
}

}  // namespace
