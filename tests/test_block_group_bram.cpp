// BRAM and transceiver load sequences of a decompression thread, checked by
// inflating the thread stream (record header of tests/data/group: [ch,
// frtype, ulen(3), s4 | thr << 4, chext, bank]) and by writing them directly.
#include <memory>
#include <string>
#include <vector>

#include "cfg.h"
#include "group_fixture.h"
#include "varno_test.h"

namespace {

// The command preamble with the default delays.
BYTES commands(u32 start_word, u32 count_word, u32 chunks, u32 preamble = 200, u32 load = 4096) {
  BYTES out = hdr(0, 0, 0, 0, 1);
  put(out, start_word);
  put(out, 0u);
  put(out, hdr(1, 3, 0, 0, preamble));
  put(out, hdr(0, 3, 0, 0, 2));
  put(out, hdr(0, 0, 0, 0, 2));
  put(out, count_word);
  put(out, chunks);
  put(out, hdr(1, 3, 0, 0, load));
  return out;
}

class BramLoad : public GroupGen {
 protected:
  // Frame i holds bytes counting up from 0x10 * (i + 1).
  std::unique_ptr<VARNO_DBLOCK> block(u32 type, const std::vector<u32>& sizes) {
    return block_of(gen(), type, sizes, 0x10, 0x10);
  }
  // A frame record as loaded: header, load address, data, zeros up to 8.
  static BYTES load_record(VARNO_DBLOCK* b, u32 f, u32 ch, u32 address) {
    return record(concat({le32(address), frame(b, f)}), ch, 0, 0);
  }
  BYTES stream(VARNO_DC_THREAD& t, VARNO_DBLOCK* b) {
    t.m_DBlocksArray.push_back(b);
    t.m_data_size = b->get_block_size();
    t.m_DcThreadFrames = b->get_number_of_frames();
    t.set_generator(gen());
    EXPECT_TRUE(t.compress());
    return inflate_raw(t.compressed_data(), t.compressed_size());
  }
};

TEST_F(BramLoad, OneChunkOfOneFrame) {
  auto b = block(VOLD_BLOCK_BRAM, {10});
  b->m_chunks = {{0, 1}};
  VARNO_DC_THREAD t;
  BYTES expected = commands(0xA014, 0xA012, 1);
  // A 10-byte frame: ULEN 4, then the address, the data and two zeros.
  put(expected, hdr(3, 0, 0, 0, 4));
  put(expected, {0, 0, 0, 0, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0, 0});
  put(expected, hdr(0, 3, 0, 0, 2));
  EXPECT_EQ(stream(t, b.get()), expected);
  EXPECT_EQ(t.m_multi_frame_chunk, 0);
  EXPECT_EQ(t.m_channel, 3u);
}

TEST_F(BramLoad, ChunksAlternateTheirLoadBuffers) {
  auto b = block(VOLD_BLOCK_BRAM, {4, 8, 12, 3, 5, 16});
  b->m_chunks = {{0, 1}, {1, 3}, {4, 2}};
  VARNO_DC_THREAD t;
  BYTES expected = commands(0xA014, 0xA012, 3);
  put(expected, load_record(b.get(), 0, 3, 0));
  put(expected, hdr(1, 3, 0, 0, 10000));
  put(expected, load_record(b.get(), 1, 2, 0x3800));
  put(expected, load_record(b.get(), 2, 2, 0x4000));
  put(expected, load_record(b.get(), 3, 3, 0x4800));
  put(expected, hdr(1, 3, 0, 0, 10000));
  put(expected, load_record(b.get(), 4, 2, 0));
  put(expected, load_record(b.get(), 5, 3, 0x800));
  put(expected, hdr(0, 3, 0, 0, 2));
  EXPECT_EQ(stream(t, b.get()), expected);
  EXPECT_EQ(t.m_multi_frame_chunk, 1);
}

TEST_F(BramLoad, TransceiverWordsAndConfiguredDelays) {
  auto b = block(VOLD_BLOCK_XCVR, {4, 4});
  b->m_chunks = {{0, 1}, {1, 1}};
  {
    VARNO_DC_THREAD t;
    BYTES expected = commands(0xA018, 0xA016, 2);
    put(expected, load_record(b.get(), 0, 3, 0));
    put(expected, hdr(1, 3, 0, 0, 12000));
    put(expected, load_record(b.get(), 1, 3, 0x3800));
    put(expected, hdr(0, 3, 0, 0, 2));
    EXPECT_EQ(stream(t, b.get()), expected);
  }
  // Only the keys of the block's own kind apply.
  cfg_scoped_value a("varno_usr_bram_preamble_dly", "1");
  cfg_scoped_value c("varno_usr_xcvr_preamble_dly", "33");
  cfg_scoped_value d("varno_usr_xcvr_load_dly", "44");
  cfg_scoped_value e("varno_usr_xcvr_chunk_dly", "55");
  cfg_scoped_value f("varno_usr_bram_chunk_dly", "2");
  VARNO_DC_THREAD t;
  BYTES expected = commands(0xA018, 0xA016, 2, 33, 44);
  put(expected, load_record(b.get(), 0, 3, 0));
  put(expected, hdr(1, 3, 0, 0, 55));
  put(expected, load_record(b.get(), 1, 3, 0x3800));
  put(expected, hdr(0, 3, 0, 0, 2));
  EXPECT_EQ(stream(t, b.get()), expected);
}

TEST_F(BramLoad, PartsWrittenDirectly) {
  auto b = block(VOLD_BLOCK_BRAM, {8});
  b->m_chunks = {{0, 1}};
  VARNO_DC_THREAD t;
  t.set_generator(gen());
  t.m_DcThreadFrames = 1;
  t.m_thread_type = 5;
  t.m_stream_room = 200;
  BYTES out(200, 0xCC);
  const VOLD_BLOCK_TYPE type = VOLD_BLOCK_BRAM;
  EXPECT_EQ(t.get_bram_xcvr_commands(type, out.data(), 0, b.get()), 5 * 8 + 16u);
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 56), commands(0xA014, 0xA012, 1));
  EXPECT_EQ(t.get_bram_xcvr_frames(type, out.data(), 0, b.get()), 8 + 16 + 8u);
  EXPECT_EQ(out[1], 5);  // the thread type is the frame type
  EXPECT_EQ(t.get_bram_xcvr_compressed_data(type, out.data(), 0, b.get()), 56 + 32u);
  EXPECT_EQ(t.m_stream_room, 200u);
}

TEST_F(BramLoad, Failures) {
  auto b = block(VOLD_BLOCK_BRAM, {8, 8});
  b->m_chunks = {{0, 2}};
  VARNO_DC_THREAD t;
  BYTES out(256, 0);
  VOLD_BLOCK_TYPE type = VOLD_BLOCK_BRAM;
  const char* type_text = "block_type == VOLD_BLOCK_BRAM || block_type == VOLD_BLOCK_XCVR";
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_commands(type, out.data(), 0, b.get()),
                        "m_CompFrmHdrBlk != nullptr");
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_frames(type, out.data(), 0, b.get()),
                        "m_CompFrmHdrBlk != nullptr");
  t.set_generator(gen());
  t.m_stream_room = out.size();
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_frames(type, out.data(), 0, b.get()),
                        "m_DcThreadFrames > 0");
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_compressed_data(type, out.data(), 0, b.get()),
                        "m_DcThreadFrames > 0");
  t.m_DcThreadFrames = 2;
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_commands(type, out.data(), 1, b.get()), "thr_data == 0");
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_frames(type, out.data(), 2, b.get()), "thr_data == 0");
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_commands(type, out.data(), 0, nullptr), "bl != nullptr");
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_compressed_data(type, out.data(), 0, nullptr),
                        "bl != nullptr");
  type = VOLD_BLOCK_CRAM;
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_commands(type, out.data(), 0, b.get()), type_text);
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_frames(type, out.data(), 0, b.get()), type_text);
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_compressed_data(type, out.data(), 0, b.get()), type_text);
  type = VOLD_BLOCK_XCVR;

  auto empty = block(VOLD_BLOCK_XCVR, {8});
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_commands(type, out.data(), 0, empty.get()),
                        "chunks.size() > 0");
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_frames(type, out.data(), 0, empty.get()),
                        "chunks.size() > 0");

  const char* past_thread = "(chunk->frame_start + chunk->frame_num) <= m_DcThreadFrames";
  b->m_chunks = {{1, 2}};
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_frames(type, out.data(), 0, b.get()), past_thread);
  // A sum that wraps in 32 bits is still past the thread's frames.
  b->m_chunks = {{0xFFFFFFFFu, 2}};
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_frames(type, out.data(), 0, b.get()), past_thread);
  // Within the thread's frame slots but past the block's frames.
  t.m_DcThreadFrames = 5;
  b->m_chunks = {{1, 2}};
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_frames(type, out.data(), 0, b.get()),
                        "(chunk->frame_start + chunk->frame_num) <= bl->get_number_of_frames()");

  // The writers stop at the room they are given instead of writing past it.
  b->m_chunks = {{0, 2}};
  t.m_stream_room = 55;
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_commands(type, out.data(), 0, b.get()),
                        "Memory Corruption: stream room exceeded");
  t.m_stream_room = 56 + 40;
  EXPECT_INTERNAL_ERROR(t.get_bram_xcvr_compressed_data(type, out.data(), 0, b.get()),
                        "Memory Corruption: stream room exceeded");
}

}  // namespace
