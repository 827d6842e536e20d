// Decompression-thread streams: the records a thread writes for its blocks'
// frames, checked by inflating the compressed stream with zlib's raw
// inflate. The generator is the device of tests/data/group (record header:
// [ch, frtype, ulen(3), s4 | thr << 4, chext, bank]).
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cfg.h"
#include "group_fixture.h"
#include "msg.h"
#include "varno_block_config.h"
#include "varno_test.h"

namespace {

BYTES delay(u32 n) { return hdr(0, 3, 0, 1, n); }
BYTES gap(u32 n) { return hdr(0, 3, 0, 0, n); }

class DcThread : public GroupGen {
 protected:
  // Prepares t as the group would: every block gets max-frames slots.
  void prepare(VARNO_DC_THREAD& t, const std::vector<VARNO_DBLOCK*>& blocks) {
    u32 most = 0;
    for (VARNO_DBLOCK* b : blocks) {
      t.m_DBlocksArray.push_back(b);
      t.m_data_size += b->get_block_size();
      most = std::max(most, b->get_number_of_frames());
    }
    t.m_DcThreadFrames = most * static_cast<u32>(blocks.size());
    t.set_generator(gen());
  }
  // The inflated stream; the stream ends in eight zero bytes.
  static BYTES stream(VARNO_DC_THREAD& t) {
    EXPECT_TRUE(t.compress());
    EXPECT_EQ(t.m_data_size, t.compressed_size());
    BYTES tail;
    const BYTES out = inflate_raw(t.compressed_data(), t.compressed_size(), &tail);
    EXPECT_EQ(tail, BYTES(8, 0));
    return out;
  }
};

TEST_F(DcThread, EmptyThreadsAndEmptyStreams) {
  VARNO_DC_THREAD none;
  none.set_generator(gen());
  EXPECT_TRUE(none.compress());
  EXPECT_EQ(none.compressed_data(), nullptr);
  EXPECT_EQ(none.compressed_size(), 0u);

  // Blocks but no frame slots: no records, and the empty stream is still
  // deflated.
  auto b = block_of(gen(), VOLD_BLOCK_DUMMY1, {4});
  VARNO_DC_THREAD t;
  prepare(t, {b.get()});
  t.m_DcThreadFrames = 0;
  EXPECT_EQ(stream(t), BYTES());
}

TEST_F(DcThread, FramesArePaddedToEightBytes) {
  auto b = block_of(gen(), VOLD_BLOCK_DUMMY1, {5, 8});
  VARNO_DC_THREAD t;
  prepare(t, {b.get()});
  t.m_thread_type = 1;
  BYTES expected = hdr(0, 1, 0, 0, 2);
  put(expected, {1, 2, 3, 4, 5, 0, 0, 0});
  put(expected, record(b.get(), 1, 0, 1, 0));
  EXPECT_EQ(stream(t), expected);
  // The whole stream fits one fixed-Huffman final block.
  EXPECT_EQ(t.compressed_data()[0] & 7, 3);
}

TEST_F(DcThread, StreamIsRawDeflateWithTheDeviceSettings) {
  // Random frames, their copies more than 8 KB later, frames over a
  // four-byte alphabet, and a 200-byte match whose next byte starts a
  // 258-byte one (taken lazily at level 9 only): the bytes differ with
  // another level, window, memory level or strategy.
  std::mt19937 rng(7);
  auto random = [&rng](size_t n, u32 alphabet) {
    BYTES out(n);
    for (u8& x : out) x = static_cast<u8>(alphabet == 256 ? rng() : 0x10 * (rng() % alphabet));
    return out;
  };
  std::vector<BYTES> frames;
  for (u32 i = 0; i < 3; ++i) frames.push_back(random(4000, 256));
  for (u32 i = 0; i < 3; ++i) frames.push_back(frames[i]);
  for (u32 i = 0; i < 3; ++i) frames.push_back(random(4000, 4));
  const BYTES r = random(300, 256);
  BYTES lazy = random(50, 256);
  lazy.insert(lazy.end(), r.begin(), r.begin() + 200);
  put(lazy, random(50, 256));
  lazy.insert(lazy.end(), r.begin() + 1, r.begin() + 260);
  put(lazy, random(50, 256));
  put(lazy, r);
  frames.push_back(lazy);
  auto b = block_from(gen(), VOLD_BLOCK_DUMMY1, frames);
  VARNO_DC_THREAD t;
  prepare(t, {b.get()});
  BYTES records;
  for (u32 f = 0; f < frames.size(); ++f) put(records, record(b.get(), f, 0, 0, 0));

  z_stream zs{};
  ASSERT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, -13, 8, Z_FIXED), Z_OK);
  BYTES expected(deflateBound(&zs, static_cast<uLong>(records.size())));
  zs.next_in = records.data();
  zs.avail_in = static_cast<uInt>(records.size());
  zs.next_out = expected.data();
  zs.avail_out = static_cast<uInt>(expected.size());
  ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  expected.resize(zs.total_out + 8, 0);
  deflateEnd(&zs);

  EXPECT_EQ(stream(t), records);
  EXPECT_EQ(BYTES(t.compressed_data(), t.compressed_data() + t.compressed_size()), expected);
}

TEST_F(DcThread, StoredBlocksWithDeflateLevelZero) {
  param().deflate_store = 1;
  auto b = block_of(gen(), VOLD_BLOCK_DUMMY1, {16, 16});
  VARNO_DC_THREAD t;
  prepare(t, {b.get()});
  const BYTES s = stream(t);
  EXPECT_EQ(s.size(), 48u);
  // One final stored block: 5 header bytes, the 48 bytes, the zeros.
  EXPECT_EQ(t.compressed_data()[0] & 7, 1);
  EXPECT_EQ(t.compressed_size(), 5u + 48 + 8);
  EXPECT_EQ(BYTES(t.compressed_data() + 5, t.compressed_data() + 53), s);
}

TEST_F(DcThread, CommandFramesUseChannelTwo) {
  auto b = block_of(gen(), VOLD_BLOCK_DUMMY1, {4, 4, 4});
  b->get_frame(1)->m_command_flag = true;
  VARNO_DC_THREAD t;
  prepare(t, {b.get()});
  t.m_channel = 3;
  BYTES expected = record(b.get(), 0, 3, 0, 0);
  put(expected, record(b.get(), 1, 2, 0, 0));
  put(expected, record(b.get(), 2, 3, 0, 0));
  EXPECT_EQ(stream(t), expected);
}

TEST_F(DcThread, IoAhbChannelCarriesOverFromCallToCall) {
  std::vector<u32> sizes(9, 4);
  auto b = block_of(gen(), VOLD_BLOCK_IO_AHB, sizes);
  VARNO_DC_THREAD t;
  prepare(t, {b.get()});
  BYTES expected;
  for (u32 f = 0; f < 9; ++f) put(expected, record(b.get(), f, f >= 7 ? 1 : 0, 0, 0));
  EXPECT_EQ(stream(t), expected);
  EXPECT_EQ(t.m_channel, 1u);
  BYTES again;
  for (u32 f = 0; f < 9; ++f) put(again, record(b.get(), f, 1, 0, 0));
  EXPECT_EQ(stream(t), again);
}

TEST_F(DcThread, TrailingRecordsByBlockType) {
  struct CASE {
    u32 type;
    BYTES trailer;
  };
  const std::vector<CASE> cases = {
      {VOLD_BLOCK_AIB_CSR, delay(1000)},  {VOLD_BLOCK_IO_CSR, gap(200)},
      {VOLD_BLOCK_IO_BBUS, gap(200)},     {VOLD_BLOCK_UIB_BBUS, gap(1024)},
      {VOLD_BLOCK_DIB_BBUS, gap(1024)},   {VOLD_BLOCK_UIB_MMR, gap(77)},
      {VOLD_BLOCK_HIP_MMIO, delay(4048)}, {VOLD_BLOCK_HNOC_AXI4LITE, delay(1024)},
  };
  cfg_scoped_value uibmmr("varno_uibmmr_dly", "77");
  for (const CASE& c : cases) {
    auto b = block_of(gen(), c.type, {4});
    VARNO_DC_THREAD t;
    prepare(t, {b.get()});
    BYTES expected = record(b.get(), 0, 0, 0, 0);
    put(expected, c.trailer);
    EXPECT_EQ(stream(t), expected) << c.type;
  }
}

TEST_F(DcThread, BbusRecordsAndTheEndRecord) {
  auto a = block_of(gen(), VOLD_BLOCK_BBUS, {4});
  auto b = block_of(gen(), VOLD_BLOCK_BBUS, {4});
  VARNO_DC_THREAD t;
  prepare(t, {a.get(), b.get()});
  // v = (2 - 1) & k: channel v & 3, thread v >> 2.
  BYTES expected = record(a.get(), 0, 0, 0, 0);
  put(expected, record(b.get(), 0, 1, 0, 0));
  put(expected, delay(100));
  put(expected, hdr(16, 3, 0, 0, 4));
  EXPECT_EQ(stream(t), expected);
}

TEST_F(DcThread, MaskedFramesStillGetTheirTrailers) {
  param().pr_mode = 1;
  auto b = block_of(gen(), VOLD_BLOCK_AIB_CSR, {4, 4, 4});
  VARNO_DC_THREAD t;
  prepare(t, {b.get()});
  t.m_pr_masks[0] = {0x05};  // frames 0 and 2
  BYTES expected = record(b.get(), 0, 0, 0, 0);
  put(expected, delay(1000));
  put(expected, delay(1000));
  put(expected, record(b.get(), 2, 0, 0, 0));
  put(expected, delay(1000));
  EXPECT_EQ(stream(t), expected);
}

TEST_F(DcThread, ThreadNumbersOfMultiAddressSectorBlocks) {
  // Sector blocks flagged in test mode count among themselves with kind 2.
  auto* meta = m_top->get_meta_block("SECTOR_ARRAY", 0, 0);
  VARNO_GEN* sector = dynamic_cast<VARNO_GEN*>(meta->generator());
  auto a = block_of(sector, VOLD_BLOCK_DUMMY1, {4});
  auto b = block_of(sector, VOLD_BLOCK_DUMMY1, {4});
  auto c = block_of(sector, VOLD_BLOCK_DUMMY1, {4});
  VARNO_DC_THREAD t;
  prepare(t, {a.get(), b.get(), c.get()});
  t.m_test_mode = 1;
  t.m_multi_address[1] = true;
  BYTES expected = record(a.get(), 0, 0, 0, 0);
  put(expected, record(b.get(), 0, 0, 0, 2));
  put(expected, record(c.get(), 0, 0, 0, 1));
  EXPECT_EQ(stream(t), expected);
  EXPECT_TRUE(t.is_bus_active(true));
  EXPECT_TRUE(t.is_bus_active(false));
  t.m_multi_address[1] = false;
  EXPECT_FALSE(t.is_bus_active(true));
  t.m_test_mode = 0;
  EXPECT_TRUE(t.is_bus_active(false));
  EXPECT_FALSE(t.is_bus_active(true));
}

TEST_F(DcThread, FirmwareChannelsDelaysAndGaps) {
  // Firmware type 6: block 0 carries the firmware, block 1 the parameters.
  param().fw_type = 6;
  auto fw = block_of(gen(), VOLD_BLOCK_DUMMY1, {4, 4, 4, 4});
  auto params = block_of(gen(), VOLD_BLOCK_DUMMY1, {4, 4, 4, 4}, 0x90);
  VARNO_DC_THREAD t;
  prepare(t, {fw.get(), params.get()});
  BYTES expected = record(fw.get(), 0, 0, 0, 0);
  put(expected, delay(4048));
  put(expected, record(fw.get(), 1, 2, 0, 0));
  put(expected, delay(1024));
  put(expected, gap(4));
  put(expected, record(fw.get(), 2, 0, 0, 0));
  put(expected, delay(4048));
  put(expected, record(fw.get(), 3, 0, 0, 0));
  for (u32 f = 0; f < 4; ++f) put(expected, record(params.get(), f, 1, 0, 0));
  EXPECT_EQ(stream(t), expected);
}

TEST_F(DcThread, IoFirmwarePairingNeedsNoSlotPerBlock) {
  // Two one-frame firmware blocks share one slot: the first block's frame
  // count maps it to block 0, frame 0.
  param().fw_type = VARNO_QV_IO_FW;
  auto a = block_of(gen(), VOLD_BLOCK_FW_PARAMS, {4});
  auto b = block_of(gen(), VOLD_BLOCK_CNT_FW, {4}, 0x90);
  VARNO_DC_THREAD t;
  prepare(t, {a.get(), b.get()});
  t.m_DcThreadFrames = 1;
  EXPECT_EQ(stream(t), record(a.get(), 0, 3, 0, 0));
}

TEST_F(DcThread, MmioTilesWithFlowControl) {
  VOLD_INFO info;
  info.create_device_info(VOLD_FAMILY_QUELVO_SECTOR, 1);
  VOLD_ARG* arg = info.add_arg(VOLD_BLOCK_MMIO2, VOLD_ARGUMENT_IMG_OFFSETS, 4, {0, 0, 0, 7});
  auto b = block_of(gen(), VOLD_BLOCK_MMIO2, {4});
  b->get_block_config()->m_arg_list.push_back(arg);
  EXPECT_TRUE(b->get_block_config() != nullptr);

  {
    VARNO_DC_THREAD t;
    prepare(t, {b.get()});
    EXPECT_TRUE(t.check_for_mmio_flow_control_supported_tiles(b.get()));
    cfg_scoped_value nop("varno_gdr_nop_delay_size", "333");
    BYTES expected = record(b.get(), 0, 0, 0, 0);
    put(expected, delay(333));
    EXPECT_EQ(stream(t), expected);
  }
  {
    cfg_scoped_value off("varno_enable_rnr_mmio2_interrupt_wait", "off");
    cfg_scoped_value more("varno_increase_rnr_mmio2_delay", "on");
    VARNO_DC_THREAD t;
    prepare(t, {b.get()});
    EXPECT_FALSE(t.check_for_mmio_flow_control_supported_tiles(b.get()));
    BYTES expected = record(b.get(), 0, 0, 0, 0);
    put(expected, delay(15360));
    put(expected, delay(15360));
    EXPECT_EQ(stream(t), expected);
  }
  arg->values[3] = 9;
  VARNO_DC_THREAD t;
  EXPECT_TRUE(t.check_for_mmio_flow_control_supported_tiles(b.get()));
  cfg_scoped_value gdr("varno_enable_gdr_mmio2_interrupt_wait", "off");
  EXPECT_FALSE(t.check_for_mmio_flow_control_supported_tiles(b.get()));
}

TEST_F(DcThread, Failures) {
  auto b = block_of(gen(), VOLD_BLOCK_DUMMY1, {4});
  {
    // A sector generator has no COMP_FRAME_HDR block.
    VARNO_DC_THREAD t;
    prepare(t, {b.get()});
    t.set_generator(dynamic_cast<VARNO_GEN*>(
        m_top->get_meta_block("SECTOR_ARRAY", 0, 0)->generator()));
    EXPECT_INTERNAL_ERROR(t.compress(), "m_CompFrmHdrBlk != nullptr");
  }
  {
    auto x = block_of(gen(), VOLD_BLOCK_XCVR, {4});
    VARNO_DC_THREAD t;
    prepare(t, {b.get(), x.get()});
    EXPECT_INTERNAL_ERROR(t.compress(), "blk_count == 1");
    VARNO_DC_THREAD one;
    prepare(one, {x.get()});
    EXPECT_INTERNAL_ERROR(one.compress(), "chunks.size() > 0");
  }
  {
    // Fewer frame slots than blocks cannot be laid out.
    auto c = block_of(gen(), VOLD_BLOCK_DUMMY1, {4});
    VARNO_DC_THREAD t;
    prepare(t, {b.get(), c.get()});
    t.m_DcThreadFrames = 1;
    EXPECT_INTERNAL_ERROR(t.compress(), "Unsupported DC thread layout: 2 blocks, 1 frame slots");
  }
  {
    // The stream buffer is sized from the thread's frame slots and data size;
    // a data size that understates the frames is caught before any write.
    auto big = block_of(gen(), VOLD_BLOCK_DUMMY1, {6000});
    VARNO_DC_THREAD t;
    prepare(t, {big.get()});
    t.m_data_size = 0;
    EXPECT_INTERNAL_ERROR(t.compress(),
                          "Memory Corruption: data_to_compress_size (4142) < offset (6008)");
  }
  {
    VARNO_DC_THREAD t;
    for (int i = 0; i < 5; ++i) t.m_DBlocksArray.push_back(b.get());
    t.m_test_mode = 1;
    EXPECT_INTERNAL_ERROR(t.is_bus_active(true), "blk_count can't be greater than array boundary");
    t.set_generator(gen());
    t.m_DcThreadFrames = 5;
    EXPECT_INTERNAL_ERROR(t.compress(), "blk_count can't be greater than array boundary");
  }
  {
    VARNO_DC_THREAD t;
    prepare(t, {b.get()});
    t.m_two_col_2d = 1;
    EXPECT_INTERNAL_ERROR(t.compress(), "blk_count == 2");
  }
}

TEST_F(DcThread, PhysicalRowsSkipTheSpareRow) {
  VARNO_DC_THREAD t;
  for (u32 row : {0u, 1u, 9u}) {
    u32 r = row;
    t.get_phys_pr_row(0, r);
    EXPECT_EQ(r, row + 1);
  }
}

}  // namespace
