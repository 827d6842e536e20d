// Block groups of the small QV device of tests/data/group. Expected bytes
// are derived by hand from the fixtures:
//   CNOC header [len, x, y, 0], CNT header [op, len, areg, rsvd, offset(4)],
//   stream record header [ch, frtype, ulen(3), s4 | thr << 4, chext, bank].
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cfg.h"
#include "files.h"
#include "group_fixture.h"
#include "msg.h"
#include "varno_eblock.h"
#include "varno_qv_2d_engine.h"
#include "varno_sblock.h"
#include "varno_test.h"
#include "varno_util.h"

namespace {

// Bare frames of bitstream rows 0, 1, 2 of sector "cl" with the image below
// (DR0, a 4-byte gap, DR1).
const BYTES kBareRow0 = {0x08, 0x04, 0x01, 0x0C, 0, 0, 0, 0, 0x09, 0x05, 0x02, 0x0D};
const BYTES kBareRow1 = {0x10, 0x20, 0x40, 0x80, 0, 0, 0, 0, 0xF0, 0x0F, 0xAA, 0x00};
const BYTES kBareRow2 = {0x88, 0x44, 0x11, 0xCC, 0, 0, 0, 0, 0x99, 0x55, 0x22, 0xDD};

BYTES cl_image() {
  return {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  //
          0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  //
          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  //
          0x80, 0x40, 0x20, 0x10, 0x0F, 0xF0, 0x00, 0xAA};
}

BYTES other_image() {
  BYTES image(32);
  for (u32 i = 0; i < 32; ++i) image[i] = static_cast<u8>(0x30 + 7 * i);
  return image;
}

BYTES cnoc(u32 len, u32 x, u32 y) {
  return {static_cast<u8>(len), static_cast<u8>(x), static_cast<u8>(y), 0};
}
BYTES cnt(u32 op, u32 areg, u32 offset) {
  return concat({{static_cast<u8>(op), 0, static_cast<u8>(areg), 0}, le32(offset)});
}

// The group device framed from the images above.
class CL_DEVICE : public GROUP_DEVICE {
 public:
  CL_DEVICE() : GROUP_DEVICE(cl_image(), other_image()) {}
};

class BlockGroup : public ::testing::Test, public CL_DEVICE {
 protected:
  void SetUp() override { load(); }
};

// ---- Construction, kinds and lists ----------------------------------------------------

TEST_F(BlockGroup, ConstructionReadsTheRowGeometryAndTheSettings) {
  param().qv_test_mode = 1;
  param().tk_flow = 1;
  auto g = group();
  EXPECT_EQ(g->brow_size(), 3u);
  EXPECT_EQ(g->brow_frame_size(), 1u);
  EXPECT_EQ(g->thread(0).m_num_rows, 3u);
  EXPECT_EQ(g->thread(1).m_frames_per_row, 1u);
  EXPECT_TRUE(g->test_mode());
  EXPECT_EQ(*g->get_sg_param(), 0u);
  EXPECT_EQ(g->thread(0).m_comp_ratio, 100u);
  for (u32 i = 0; i < 8; ++i) EXPECT_EQ(g->post_action_counts()[i], 1u);
}

TEST_F(BlockGroup, ConstructionFailures) {
  EXPECT_INTERNAL_ERROR(VARNO_MBLOCK_GROUP(nullptr), "m_Gen != nullptr");
  // A sector generator has no sector-array block.
  EXPECT_INTERNAL_ERROR(VARNO_MBLOCK_GROUP(sector(0)), "eblock != nullptr");
}

TEST_F(BlockGroup, GroupTypesSetCodesAndThreadTypes) {
  auto g = group();
  const std::vector<std::tuple<std::string, u32, u32>> table = {
      {"CRAM", 1, 1}, {"CRAM_HIPI", 1, 1}, {"ERAM", 2, 2}, {"FW", 4, 0}, {"REGSCAN", 5, 0},
      {"BRAM", 6, 0}, {"XCVR", 6, 0},      {"IO_CSR", 0, 0}, {"cram", 0, 0}};
  for (const auto& [name, code, thread_type] : table) {
    g->set_group_type(name, "");
    EXPECT_EQ(g->group_type_code(), code) << name;
    EXPECT_EQ(g->thread(0).m_thread_type, thread_type) << name;
    EXPECT_EQ(g->thread(1).m_thread_type, thread_type) << name;
  }
}

TEST_F(BlockGroup, BlockListsAndTheirChecks) {
  param().qv_test_mode = 1;
  auto g = group();
  g->add_mblock(meta(0), 0);
  g->add_mblock(meta(1), 0);
  EXPECT_EQ(g->group_num_blocks(0), 2u);
  EXPECT_EQ(g->block(1, 0), meta(1));
  EXPECT_EQ(g->block(-1, 0), nullptr);
  EXPECT_EQ(g->block(2, 0), nullptr);
  EXPECT_INTERNAL_ERROR(g->add_mblock(nullptr, 0), "b != nullptr");
  EXPECT_INTERNAL_ERROR(g->add_dblock(nullptr, 0), "b != nullptr");
  EXPECT_INTERNAL_ERROR(g->add_mblock(meta(0), 2), "thr_index < QV_MAX_DC_THREADS");
  EXPECT_INTERNAL_ERROR(g->group_num_blocks(2), "thr_index < QV_MAX_DC_THREADS");

  // Clearing in test mode clears the multi-address flags of the removed
  // positions and copies the group's interleave switch; data blocks stay.
  g->add_dblock(cram(0), 0);
  g->thread(0).m_multi_address[1] = true;
  g->thread(0).m_interleave = 1;
  g->clear_group();
  EXPECT_EQ(g->group_num_blocks(0), 0u);
  EXPECT_FALSE(g->thread(0).m_multi_address[1]);
  EXPECT_EQ(g->thread(0).m_interleave, 0u);
  EXPECT_EQ(g->thread(0).m_DBlocksArray.size(), 1u);
}

TEST_F(BlockGroup, FirmwareBlocksAreRecognisedByType) {
  auto g = group();
  EXPECT_FALSE(g->check_is_fw_block(0, 5));  // no data blocks at all
  auto fw = block_of(gen(), VOLD_BLOCK_FW_PARAMS_EAST, {4}, 0);
  g->add_dblock(cram(0), 0);
  g->add_dblock(fw.get(), 0);
  EXPECT_FALSE(g->check_is_fw_block(0, 0));
  EXPECT_TRUE(g->check_is_fw_block(0, 1));
  EXPECT_THROW(g->check_is_fw_block(0, 2), std::out_of_range);
  VARNO_SBLOCK option(VOLD_BLOCK_CNT_FW, false, 1, false, nullptr);
  g->add_dblock(&option, 0);
  EXPECT_INTERNAL_ERROR(g->check_is_fw_block(0, 2), "blk != nullptr");
}

// ---- Frame ranges -------------------------------------------------------------------

TEST_F(BlockGroup, FrameRangeLimits) {
  auto g = group();
  EXPECT_INTERNAL_ERROR(g->set_sector_frame_range(5, 4, 0, 0, 0, "CRAM", false),
                        "Invalid PR parameter, frame range must be start (5) <= end (4)");
  EXPECT_INTERNAL_ERROR(
      g->set_sector_frame_range(0, 4, 2, 0, 0, "CRAM", false),
      "Invalid PR parameter, thr_index (2) can't be greater than max allowed value (2)");
  const char* limits =
      "Invalid PR parameter(s), can't be greater than max allowed values (frame <= 16383, "
      "opcode <= 0x1F)";
  EXPECT_INTERNAL_ERROR(g->set_sector_frame_range(0, 16384, 0, 0, 0, "CRAM", false), limits);
  EXPECT_INTERNAL_ERROR(g->set_sector_frame_range(0, 1, 0, 0, 0x20, "CRAM", false), limits);
  EXPECT_INTERNAL_ERROR(
      g->set_sector_frame_range(0, 1, 0, 4, 0, "CRAM", false),
      "Invalid PR parameter, sector_idx (4) can't be greater than max allowed value (4)");

  g->set_sector_frame_range(16383, 16383, 1, 3, 0x1F, "CRAM", false);
  EXPECT_EQ(g->thread(1).m_pr_frame_ranges[3].at(16383), 0x1Fu << 16 | 16383);
  g->set_sector_frame_range(10, 20, 0, 1, 2, "ERAM", false);
  g->set_sector_frame_range(10, 12, 0, 1, 3, "ERAM", false);
  EXPECT_EQ(g->thread(0).m_pr_frame_ranges[1].size(), 1u);
  EXPECT_EQ(g->thread(0).m_pr_frame_ranges[1].at(10), 3u << 16 | 12);
}

TEST_F(BlockGroup, FrameRangesSkipTheSpareRows) {
  // One frame per row; the CRAM spare row is physical row 2 (frame 2).
  auto g = group();
  g->add_mblock(meta(0), 0);
  g->set_sector_frame_range(3, 4, 0, 0, 1, "CRAM", true);
  g->set_sector_frame_range(0, 1, 0, 0, 1, "CRAM", true);
  EXPECT_EQ(g->thread(0).m_pr_frame_ranges[0],
            (std::map<u32, u32>{{0, 1u << 16 | 1}, {2, 1u << 16 | 3}}));
  EXPECT_INTERNAL_ERROR(
      g->set_sector_frame_range(1, 2, 0, 0, 1, "CRAM", true),
      "Invalid parameter(s), frame range [1, 2] can't overlap spare row location [2, 2]");
  // A range around the spare row passes; only rows wholly before the range
  // shift it.
  g->set_sector_frame_range(1, 3, 0, 0, 1, "CRAM", true);
  EXPECT_EQ(g->thread(0).m_pr_frame_ranges[0].at(1), 1u << 16 | 3);

  EXPECT_INTERNAL_ERROR(g->set_sector_frame_range(0, 1, 0, 1, 1, "CRAM", true), "mblk != nullptr");
  EXPECT_INTERNAL_ERROR(g->set_sector_frame_range(0, 1, 0, 0, 1, "CRAM_HIPI", true),
                        "blk != nullptr");
  // ERAM: spare rows (4, 5) of 2 frames per IP row in blocks of 4 rows make
  // spare rows of no frames, which cannot be placed.
  EXPECT_INTERNAL_ERROR(g->set_sector_frame_range(0, 1, 0, 0, 1, "ERAM", true),
                        "frames_per_spare_row > 0");
}

// ---- Collection and the descriptor of a real CRAM group -------------------------------------

class CramGroup : public BlockGroup {
 protected:
  void SetUp() override {
    BlockGroup::SetUp();
    param().group_compressed = 1;
  }

  // The expected stream of a thread whose block has frames f at thread number 0.
  static BYTES stream_of(const std::vector<BYTES>& frames) {
    BYTES out;
    for (const BYTES& f : frames) put(out, record(f, 0, 1, 0));
    return out;
  }

  // The CNOC send packet of the pre- and post-actions.
  static BYTES packet(u32 len, u32 thread_word, u32 x, u32 y, u32 areg, u32 offset) {
    BYTES out;
    put(out, 22);
    put(out, 28 + len);
    put(out, thread_word);
    put(out, 0);
    put(out, cnoc(0, x, y));
    put(out, cnt(6, areg, offset));
    return out;
  }

  static BYTES cram_templates(u32 nop, u32 x, u32 y, u32 ifr, u32 irow) {
    BYTES out;
    for (u32 i = 0; i < 2; ++i) {
      put(out, i == 0 ? 0x2F010 : 0x2F011);
      put(out, nop);
      put(out, 0xF);
      put(out, 0);
      put(out, 0);
      put(out, i == 0 ? ifr : irow);
    }
    put(out, 0x30000);
    put(out, cnoc(6, x, y));
    put(out, cnt(4, 4, 0));
    put(out, 0);
    put(out, 0);
    put(out, 0x38001);
    put(out, cnoc(6, x, y));
    put(out, cnt(6, 4, 0x1000));
    put(out, 0);
    put(out, 0);
    return out;
  }

  std::unique_ptr<VARNO_MBLOCK_GROUP> collected() {
    auto g = group();
    g->set_group_type("CRAM", "");
    g->add_mblock(meta(0), 0);
    g->add_mblock(meta(1), 1);
    g->collect_data(false);
    return g;
  }
};

TEST_F(CramGroup, ThreadStreamsInflateToTheRecordStream) {
  auto g = collected();
  ASSERT_EQ(g->thread(0).m_DBlocksArray.size(), 1u);
  EXPECT_EQ(g->thread(0).m_DBlocksArray[0], cram(0));
  EXPECT_EQ(g->thread(0).m_DcThreadFrames, 3u);

  for (u32 t = 0; t < 2; ++t) {
    BYTES data(g->get_thread_size(t));
    ASSERT_GT(data.size(), 8u);
    g->get_thread_data(data.data(), static_cast<unsigned>(data.size()), t);
    BYTES tail;
    const BYTES stream = inflate_raw(data, &tail);
    std::vector<BYTES> frames = {kBareRow0, kBareRow1, kBareRow2};
    if (t == 1) frames = {frame(cram(1), 0), frame(cram(1), 1), frame(cram(1), 2)};
    EXPECT_EQ(stream, stream_of(frames)) << "thread " << t;
    EXPECT_EQ(tail, BYTES(8, 0));
    EXPECT_TRUE(g->is_thread_active(t));
  }
  EXPECT_NE(frame(cram(1), 0), kBareRow0);
}

TEST_F(CramGroup, DescriptorBytes) {
  auto g = collected();
  BYTES expected;
  // Pre-actions: a write command to the CNT of each sector, then a delay.
  put(expected, packet(4, 1, 7, 3, 1, 0));
  put(expected, 0x1008);
  put(expected, packet(4, 2, 4, 1, 1, 0));
  put(expected, 0x1008);
  put(expected, {24, 0, 0, 0, 12, 0, 0, 0, 0x00, 0x50, 0, 0});  // delay 20480
  ASSERT_EQ(expected.size(), 76u);
  const u32 total = 464;
  // Sector-group action header.
  put(expected, 23);
  put(expected, total - 76 - 64);
  put(expected, 2);  // one page per thread
  put(expected, 0);  // no flags
  put(expected, 1);  // CRAM
  put(expected, 0);
  const u32 nops[2] = {0x000B0A00, 0x000D0C00};  // NOP CNOC entries 1 and 2
  const u32 xy[2][2] = {{7, 3}, {4, 1}};
  for (u32 t = 0; t < 2; ++t) {
    put(expected, 1);      // one parameter record
    put(expected, 4);      // four templates on the first list
    put(expected, 0x301);  // 3 rows of 1 frame
    BYTES record;
    put(record, 1u << 16 | 1);  // 32-bit data registers
    record.resize(40, 0);
    put(expected, record);
    // Single-block delays of the sector's parameters.
    put(expected, cram_templates(nops[t], xy[t][0], xy[t][1], 40, 50));
  }
  put(expected, 0x02);  // slot 1 holds thread 1's page
  // Post-actions: the DR1 length of zeros to each sector.
  put(expected, packet(4, 1, 7, 3, 4, 4096));
  put(expected, 0);
  put(expected, packet(4, 2, 4, 1, 4, 4096));
  put(expected, 0);
  ASSERT_EQ(expected.size(), total);

  EXPECT_EQ(g->get_group_descriptor_size(), total);
  BYTES descriptor(total);
  g->get_group_descriptor_data(descriptor.data(), total);
  EXPECT_EQ(descriptor, expected);
  EXPECT_EQ(g->get_group_full_size(), 2 * 4096 + total);

  BYTES prefix(10);
  g->get_group_descriptor_data(prefix.data(), 10);
  EXPECT_EQ(prefix, BYTES(expected.begin(), expected.begin() + 10));
  EXPECT_INTERNAL_ERROR(g->get_group_descriptor_data(descriptor.data(), total + 1),
                        "bytes <= m_DescriptorSize");
}

TEST_F(CramGroup, GroupDataPutsEachThreadInItsPageSlot) {
  auto g = collected();
  BYTES data(2 * 4096, 0xEE);
  g->get_group_data(data.data(), static_cast<unsigned>(data.size()));
  for (u32 t = 0; t < 2; ++t) {
    BYTES thread(g->get_thread_size(t));
    g->get_thread_data(thread.data(), static_cast<unsigned>(thread.size()), t);
    EXPECT_EQ(BYTES(data.begin() + 4096 * t, data.begin() + 4096 * t + thread.size()), thread);
    // The rest of a last page is left as it was.
    EXPECT_EQ(data[4096 * t + thread.size()], 0xEE);
  }
  EXPECT_INTERNAL_ERROR(g->get_group_data(data.data(), 8191), "bytes >= group_data_size");
  EXPECT_INTERNAL_ERROR(g->get_thread_data(data.data(), g->get_thread_size(0) + 1, 0),
                        "bytes <= thread_size");
}

TEST_F(CramGroup, CollectingTwiceIsRefused) {
  auto g = collected();
  EXPECT_INTERNAL_ERROR(g->collect_data(false), "Block group collect_data() called more than once");
}

TEST_F(CramGroup, DebugLinesOfTheCollection) {
  std::vector<std::string> lines;
  VARNO_UTIL::set_debug_level(5);
  testing::internal::CaptureStderr();
  auto g = group();
  g->set_group_type("CRAM", "");
  g->add_mblock(meta(0), 0);
  g->collect_data(true);
  const std::string err = testing::internal::GetCapturedStderr();
  VARNO_UTIL::set_debug_level(0);
  EXPECT_NE(err.find("Block group collect_data() called with Multithread: on"), std::string::npos);
  EXPECT_NE(err.find("Block group collect_data() called with QV Test Mode: off"), std::string::npos);
  EXPECT_NE(err.find("Block group collect_data() called with TK 4CNOC: off"), std::string::npos);
  EXPECT_NE(err.find("=> DC0"), std::string::npos);
  EXPECT_NE(err.find("zlib_version: "), std::string::npos);
}

TEST_F(CramGroup, OnlyThreadZeroActive) {
  auto g = group();
  g->set_group_type("CRAM", "");
  g->add_mblock(meta(0), 0);
  g->collect_data(false);
  EXPECT_FALSE(g->is_thread_active(1));
  EXPECT_EQ(g->pages(1), 0u);
  BYTES d(g->get_group_descriptor_size());
  g->get_group_descriptor_data(d.data(), static_cast<unsigned>(d.size()));
  // Pre-actions of one sector: 8 + 32 + 4 bytes; half 1 follows half 0.
  const size_t s = 44;
  EXPECT_EQ(read_le32(d, s + 8), 1u);
  const size_t half1 = s + 24 + 12 + 40 + 96;
  EXPECT_EQ(read_le32(d, half1), 0u);
  EXPECT_EQ(read_le32(d, half1 + 4), 0u);
  EXPECT_EQ(read_le32(d, half1 + 8), 0x301u);
  EXPECT_EQ(read_le32(d, half1 + 12), 0u);  // the bitmap: one page of thread 0
  EXPECT_EQ(d.size(), half1 + 12 + 4 + 32);
}

TEST_F(CramGroup, UncompressedGroupSumsTheBlockSizes) {
  param().group_compressed = 0;
  auto g = group();
  g->set_group_type("CRAM", "");
  g->add_mblock(meta(0), 0);
  g->add_mblock(meta(1), 1);
  g->collect_data(false);
  EXPECT_EQ(g->get_thread_size(0), 36u);
  EXPECT_EQ(g->pages(0), 1u);
  EXPECT_GT(g->get_group_descriptor_size(), 0u);
  BYTES data(8192, 0xEE);
  EXPECT_INTERNAL_ERROR(g->get_group_data(data.data(), 8192),
                        "Block group get_group_data() called on a group that is not compressed: read its "
                        "threads with get_thread_data(), or set group_compressed in the record of the "
                        "generator that creates the group before create_group()");
  BYTES thread(36);
  g->get_thread_data(thread.data(), 36, 0);
  BYTES expected = kBareRow0;
  put(expected, kBareRow1);
  put(expected, kBareRow2);
  EXPECT_EQ(thread, expected);
}

TEST_F(BlockGroup, UncompressedThreadLayoutSequentialOrInterleaved) {
  auto a = block_of(gen(), VOLD_BLOCK_DUMMY1, {2, 2, 2}, 0x10, 0x40);
  auto b = block_of(gen(), VOLD_BLOCK_DUMMY1, {2, 2, 2}, 0x80, 0x40);
  for (bool interleave : {false, true}) {
    auto g = group();
    g->set_group_type("OTHER", "");
    g->enable_interleaving(interleave);
    g->add_dblock(a.get(), 0);
    g->add_dblock(b.get(), 0);
    g->collect_data(false);
    ASSERT_EQ(g->get_thread_size(0), 12u);
    BYTES out(12);
    g->get_thread_data(out.data(), 12, 0);
    BYTES expected;
    const std::vector<std::pair<VARNO_DBLOCK*, u32>> order =
        interleave ? std::vector<std::pair<VARNO_DBLOCK*, u32>>{{a.get(), 0}, {b.get(), 0},
                                                                {a.get(), 1}, {b.get(), 1},
                                                                {a.get(), 2}, {b.get(), 2}}
                   : std::vector<std::pair<VARNO_DBLOCK*, u32>>{{a.get(), 0}, {a.get(), 1},
                                                                {a.get(), 2}, {b.get(), 0},
                                                                {b.get(), 1}, {b.get(), 2}};
    for (const auto& [blk, f] : order) put(expected, frame(blk, f));
    EXPECT_EQ(out, expected) << interleave;
    EXPECT_INTERNAL_ERROR(g->get_thread_data(out.data(), 11, 0), "offset + frame_size <= bytes");
  }
}

TEST_F(BlockGroup, IoFirmwarePairingOfTwoOneFrameBlocks) {
  // Thread 1 gets the largest frame count as its slots: one slot for two
  // firmware blocks, mapped by the first block's frame count to its frame 0.
  param().fw_type = VARNO_QV_IO_FW;
  auto a = block_of(gen(), VOLD_BLOCK_FW_PARAMS, {4}, 0x10);
  auto b = block_of(gen(), VOLD_BLOCK_CNT_FW, {4}, 0x80);
  for (u32 compressed : {0u, 1u}) {
    param().group_compressed = compressed;
    auto g = group();
    g->set_group_type("FW", "IO");
    g->add_dblock(a.get(), 1);
    g->add_dblock(b.get(), 1);
    g->collect_data(false);
    EXPECT_EQ(g->thread(1).m_DcThreadFrames, 1u);
    BYTES out(g->get_thread_size(1), 0);
    g->get_thread_data(out.data(), static_cast<unsigned>(out.size()), 1);
    BYTES expected = compressed != 0 ? hdr(3, 0, 0, 0, 1) : BYTES();
    // The frame, then its padding or the unwritten rest of the thread.
    put(expected, frame(a.get(), 0));
    put(expected, BYTES(4, 0));
    EXPECT_EQ(compressed != 0 ? inflate_raw(out, nullptr) : out, expected) << compressed;
  }
}

// ---- Page slots of the group data ------------------------------------------------------------

class PageSlots : public BlockGroup {
 protected:
  // A thread whose compressed stream spans about pages pages: random bytes
  // barely compress.
  std::unique_ptr<VARNO_DBLOCK> random_block(u32 pages, u32 seed) {
    std::mt19937 rng(seed);
    // Fixed Huffman codes spend 8.44 bits on a random byte: aim at the
    // middle of the last page.
    BYTES bytes((2 * pages - 1) * 2048 * 1000 / 1055);
    for (u8& b : bytes) b = static_cast<u8>(rng());
    return block_from(gen(), VOLD_BLOCK_DUMMY1, {bytes});
  }

  void check(u32 pages0, u32 pages1, const BYTES& bitmap_bytes) {
    param().group_compressed = 1;
    auto b0 = random_block(pages0, 1);
    auto b1 = random_block(pages1, 2);
    auto g = group();
    g->set_group_type("OTHER", "");
    g->add_dblock(b0.get(), 0);
    g->add_dblock(b1.get(), 1);
    g->collect_data(false);
    ASSERT_EQ(g->pages(0), pages0);
    ASSERT_EQ(g->pages(1), pages1);
    const u32 slots = pages0 + pages1;
    EXPECT_EQ(g->get_group_full_size(), slots * 4096 + g->get_group_descriptor_size());

    BYTES data(slots * 4096, 0);
    g->get_group_data(data.data(), static_cast<unsigned>(data.size()));
    BYTES streams[2];
    for (u32 t = 0; t < 2; ++t) {
      streams[t].resize(g->get_thread_size(t));
      g->get_thread_data(streams[t].data(), static_cast<unsigned>(streams[t].size()), t);
    }
    // Walk the slots with the bitmap and put each thread back together.
    BYTES d(g->get_group_descriptor_size());
    g->get_group_descriptor_data(d.data(), static_cast<unsigned>(d.size()));
    // No pre-actions; the bitmap follows the two halves of 3 words and one
    // 40-byte record each.
    const size_t bitmap = 24 + 2 * (12 + 40);
    EXPECT_EQ(read_le32(d, 8), slots);
    EXPECT_EQ(BYTES(d.begin() + bitmap, d.end()), bitmap_bytes);
    BYTES rebuilt[2];
    for (u32 slot = 0; slot < slots; ++slot) {
      const u32 t = (d[bitmap + slot / 8] >> (slot % 8)) & 1;
      const size_t left = streams[t].size() - rebuilt[t].size();
      rebuilt[t].insert(rebuilt[t].end(), data.begin() + slot * 4096,
                        data.begin() + slot * 4096 + std::min<size_t>(left, 4096));
    }
    EXPECT_EQ(rebuilt[0], streams[0]);
    EXPECT_EQ(rebuilt[1], streams[1]);
  }
};

TEST_F(PageSlots, ThreeAndOnePages) { check(3, 1, {0x02, 0, 0, 0}); }
TEST_F(PageSlots, OneAndThreePages) { check(1, 3, {0x0E, 0, 0, 0}); }
TEST_F(PageSlots, ThirtyThreePagesNeedTwoBitmapWords) {
  check(30, 3, {0x2A, 0, 0, 0, 0, 0, 0, 0});
}

// ---- Descriptor flags --------------------------------------------------------------------

class DescriptorFlags : public BlockGroup {
 protected:
  // The flags word of an empty group's descriptor.
  u32 flags(const std::string& type, const std::string& sub) {
    auto g = group();
    g->set_group_type(type, sub);
    g->create_descriptor();
    const BYTES d = g->descriptor_bytes();
    EXPECT_EQ(d.size(), 48u);
    EXPECT_EQ(read_le32(d, 4), 48u);
    return read_le32(d, 12);
  }
};

TEST_F(DescriptorFlags, ByTypeAndSettings) {
  EXPECT_EQ(flags("CRAM", ""), 0u);
  param().qv_2d_compression = 1;
  param().pr_mode = 1;
  EXPECT_EQ(flags("CRAM", ""), 0x30u);
  EXPECT_EQ(flags("CRAM_HIPI", ""), 0u);
  EXPECT_EQ(flags("ERAM", ""), 0u);
  param().qv_2d_compression = 2;
  EXPECT_EQ(flags("ERAM", ""), 0x10u);
  param().qv_2d_compression = 0;
  param().pr_mode = 0;
  param().qv_2d_align = 1;
  param().s4_variant = 1;
  EXPECT_EQ(flags("CRAM", ""), 0x800u);
  EXPECT_EQ(flags("CRAM_HIPI", ""), 0u);
  param().descriptor_flag4 = 1;
  EXPECT_EQ(flags("FW", "IO"), 0x1000004u);
  EXPECT_EQ(flags("FW", "IO_CONF"), 0x1000004u);
  EXPECT_EQ(flags("FW", "OTHER"), 0x4u);
  EXPECT_EQ(flags("IO_CSR", "x"), 0x1000004u);
  EXPECT_EQ(flags("IO_SERIAL", ""), 0x1000004u);
  EXPECT_EQ(flags("IO_BBUS", ""), 0x1000004u);
  param().qv_test_mode = 1;
  EXPECT_EQ(flags("REGSCAN", ""), 0x2u);
}

TEST_F(BlockGroup, TwoDExceptionSuppressesTheTwoDFlags) {
  // Move sector 1 to CNOC address (5, 2), the sector without 2D prediction.
  dynamic_cast<VARNO_MBLOCK*>(meta(1))->set_cnoc_address(5, 2, false);
  param().qv_2d_compression = 1;
  auto g = group();
  g->set_group_type("CRAM", "");
  g->add_mblock(meta(1), 0);
  g->collect_data(false);
  EXPECT_TRUE(g->two_d_exception());
  BYTES d(g->get_group_descriptor_size());
  g->get_group_descriptor_data(d.data(), static_cast<unsigned>(d.size()));
  EXPECT_EQ(read_le32(d, 44 + 12), 0u);

  auto h = group();
  h->set_group_type("CRAM", "");
  h->add_mblock(meta(1), 0);
  h->add_mblock(meta(0), 0);
  EXPECT_INTERNAL_ERROR(h->collect_data(false), "m_DcThreads[i].m_DBlocksArray.size() == 1");
}

TEST_F(BlockGroup, CollectionFailures) {
  {
    auto g = group();
    g->set_group_type("NO_SUCH_BLOCK", "");
    g->add_mblock(meta(0), 0);
    EXPECT_INTERNAL_ERROR(g->collect_data(false), "Invalid block group type name");
  }
  {
    // Five blocks do not fit the per-position tables of a thread.
    auto g = group();
    g->set_group_type("CRAM", "");
    for (int i = 0; i < 5; ++i) g->add_dblock(cram(0), 0);
    EXPECT_INTERNAL_ERROR(g->collect_data(false), "blk_count can't be greater than array boundary");
  }
  {
    param().pr_mode = 1;
    auto g = group();
    g->set_group_type("CRAM", "");
    g->add_mblock(meta(0), 0);
    // A partial-reconfiguration range past the block's frames.
    g->set_sector_frame_range(0, 5, 0, 0, 0, "CRAM", false);
    EXPECT_INTERNAL_ERROR(g->collect_data(false),
                          "PR frame range [0, 5] lies beyond the 3 frames of block #0");
    param().pr_mode = 0;
  }
}

TEST_F(BlockGroup, ThreadsWithBlocksButNoDataReserveNothing) {
  auto a = block_of(gen(), VOLD_BLOCK_CRAM, {4}, 0);
  auto empty = block_of(gen(), VOLD_BLOCK_CRAM, {}, 0);
  auto g = group();
  g->set_group_type("OTHER", "");
  g->add_dblock(a.get(), 0);
  g->add_dblock(empty.get(), 1);
  g->collect_data(false);
  EXPECT_FALSE(g->is_thread_active(1));
  BYTES d(g->get_group_descriptor_size());
  g->get_group_descriptor_data(d.data(), static_cast<unsigned>(d.size()));
  // Thread 0: one record and the four CRAM templates; thread 1: nothing.
  const size_t half1 = 24 + 12 + 40 + 96;
  EXPECT_EQ(read_le32(d, half1), 0u);
  EXPECT_EQ(read_le32(d, half1 + 4), 0u);
  EXPECT_EQ(d.size(), half1 + 12 + 4);
}

TEST(BlockGroupLayout, HeaderBlocksMustFitTheDescriptorLayout) {
  // A copy of the fixtures whose SECTOR_GROUP_HALF block is 8 bytes.
  const VARIANT_DIR dir(kGroupDir, {{"group_family.ddb", "block SECTOR_GROUP_HALF option words=3",
                                     "block SECTOR_GROUP_HALF option words=2"}});
  auto top = new_generator(dir.file("group_family.ddb"), dir.file("group_device.ddb"));
  ASSERT_EQ(top->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  VARNO_MBLOCK_GROUP g(top.get());
  g.set_group_type("OTHER", "");
  EXPECT_INTERNAL_ERROR(g.create_descriptor(),
                        "m_action_hdr_blk_size + sector_grp_action_size == 24 && "
                        "sector_grp_half_size == 12");
}

TEST(BlockGroupLayout, DoubledS4RegisterLengthsMustFitTheirHalves) {
  // DR1 of 0x7FFF words doubles to 0xFFFE; of 0x8000 words it would spill
  // into the DR0 half of the record's first word.
  for (const u32 dr1 : {1048544u, 1048576u}) {
    const VARIANT_DIR dir(kGroupDir, {{"qv_sector_cl.ddb", "param CRAM DRAS 32 32",
                                       "param CRAM DRAS 32 " + std::to_string(dr1)}});
    CL_DEVICE d;
    ASSERT_NO_FATAL_FAILURE(d.load(dir.file("group_device.ddb"), dir.file("group_family.ddb")));
    d.param().s4_variant = 1;
    auto g = d.group();
    g->set_group_type("CRAM", "");
    g->add_mblock(d.meta(0), 0);
    g->add_dblock(d.cram(0), 0);
    BYTES rec(40, 0);
    if (dr1 == 1048544u) {
      g->fill_dc_params(rec.data(), 0);
      EXPECT_EQ(read_le32(rec, 0), 0xFFFEu << 16 | 2);
    } else {
      EXPECT_INTERNAL_ERROR(g->fill_dc_params(rec.data(), 0),
                            "(dr0 >> 5) <= 0xFFFF && (dr1 >> 5) <= 0xFFFF");
    }
  }
}

TEST(BlockGroupLayout, RowGeometryArgumentsNeedARow) {
  for (const char* name : {"BROW_SIZE width=1 3", "BROW_FRAME_SIZE width=1 1"}) {
    const std::string arg = std::string("arg SECTOR_ARRAY ") + name;
    const VARIANT_DIR dir(kGroupDir, {{"group_device.ddb", arg, arg.substr(0, arg.size() - 2)}});
    auto top = new_generator(dir.file("group_family.ddb"), dir.file("group_device.ddb"));
    ASSERT_EQ(top->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
    EXPECT_INTERNAL_ERROR(VARNO_MBLOCK_GROUP(top.get()), "!rows.empty()");
  }
}

// ---- TK 4-CNOC expansion --------------------------------------------------------------------

class TkColumns : public ::testing::Test, public CL_DEVICE {
 protected:
  void SetUp() override {
    load(kGroupDir + "/group_device_tk.ddb");
    param().tk_flow = 1;
  }
  void column(u32 x, u32 c) { dynamic_cast<VARNO_MBLOCK*>(meta(x))->set_cnoc_address(c, 3, false); }
  // Expands only: the stitched ranges and the collection proper follow.
  std::vector<bool> flags(VARNO_MBLOCK_GROUP& g) {
    std::vector<bool> out;
    for (u32 j = 0; j < g.group_num_blocks(0); ++j) out.push_back(g.thread(0).m_multi_address[j]);
    return out;
  }
};

TEST_F(TkColumns, TwoColumnsMarkTheSecond) {
  auto g = both_sectors("CRAM");
  g->collect_data(false);
  EXPECT_EQ(flags(*g), (std::vector<bool>{false, true}));
  EXPECT_TRUE(g->test_mode());
  EXPECT_EQ(g->thread(0).m_two_col_2d, 0u);
}

TEST_F(TkColumns, OneSharedColumnMarksNothing) {
  column(1, 7);
  auto g = both_sectors("CRAM");
  g->collect_data(false);
  EXPECT_EQ(flags(*g), (std::vector<bool>{false, false}));
  EXPECT_FALSE(g->test_mode());
}

TEST_F(TkColumns, ColumnRuleFailures) {
  {
    auto g = group();
    g->set_group_type("CRAM", "");
    for (int i = 0; i < 5; ++i) g->add_mblock(meta(0), 0);
    EXPECT_INTERNAL_ERROR(g->collect_data(false),
                          "dc_blk_count must be < max 4 sector x columns per DC in block group");
  }
  {
    auto g = group();
    g->set_group_type("CRAM", "");
    g->add_mblock(meta(0), 0);
    g->add_mblock(meta(0), 1);
    EXPECT_INTERNAL_ERROR(g->collect_data(false),
                          "Can't have multiple DC (CNOC) address the same sector x column");
  }
  {
    auto g = group();
    g->set_group_type("CRAM", "");
    for (int i = 0; i < 3; ++i) g->add_mblock(meta(0), 0);
    EXPECT_INTERNAL_ERROR(g->collect_data(false),
                          "No more than 2 sectors allowed per sector x column in block group");
  }
  {
    auto g = both_sectors("CRAM");
    g->add_mblock(meta(0), 0);
    EXPECT_INTERNAL_ERROR(g->collect_data(false),
                          "Sectors with same sector x column must be grouped together");
  }
}

TEST_F(TkColumns, CramHipiGetsNoExpansionRules) {
  auto g = group();
  g->set_group_type("CRAM_HIPI", "");
  for (int i = 0; i < 5; ++i) g->add_mblock(meta(0), 0);
  // No TK 4-CNOC rules: the block type is simply missing.
  EXPECT_INTERNAL_ERROR(g->collect_data(false), "Invalid block group type name");
}

// ---- Parameter records --------------------------------------------------------------------------

// A stand-in 2D engine: the group only passes its pointer to the ops.
struct FAKE_ENGINE {
  u32 slices;
  u32 fsize;
  u32 bbm;
};
VARNO_QV_2D_ENGINE* as_engine(FAKE_ENGINE* e) { return reinterpret_cast<VARNO_QV_2D_ENGINE*>(e); }
FAKE_ENGINE* fake(VARNO_QV_2D_ENGINE* e) { return reinterpret_cast<FAKE_ENGINE*>(e); }

class FakeEngines : public BlockGroup {
 protected:
  void SetUp() override {
    BlockGroup::SetUp();
    VARNO_GROUP_2D_ENGINE_OPS ops;
    ops.slices_per_row = [](VARNO_QV_2D_ENGINE* e) { return fake(e)->slices; };
    ops.fstruct_size = [](VARNO_QV_2D_ENGINE* e) { return fake(e)->fsize; };
    ops.bbm_size = [](VARNO_QV_2D_ENGINE* e) { return fake(e)->bbm; };
    ops.copy_bstruct = [](VARNO_QV_2D_ENGINE*, u8* d) {
      std::fill(d, d + 64, 0xB0);
      return 64u;
    };
    ops.copy_fstruct = [](VARNO_QV_2D_ENGINE* e, u8* d) {
      std::fill(d, d + fake(e)->fsize, 0xF0);
      return fake(e)->fsize;
    };
    ops.copy_bbm = [](VARNO_QV_2D_ENGINE* e, u8* d) {
      std::fill(d, d + fake(e)->bbm, 0xBB);
      return fake(e)->bbm;
    };
    m_previous = VARNO_MBLOCK_GROUP::set_2d_engine_ops(ops);
    cram(0)->set_2d_engine(as_engine(&m_e0));
    cram(1)->set_2d_engine(as_engine(&m_e1));
  }
  void TearDown() override {
    // The blocks must not delete the stand-ins.
    cram(0)->detach_2d_engine();
    cram(1)->detach_2d_engine();
    VARNO_MBLOCK_GROUP::set_2d_engine_ops(m_previous);
  }

  FAKE_ENGINE m_e0{7, 16, 16 * 8};
  FAKE_ENGINE m_e1{9, 16, 16 * 8};
  VARNO_GROUP_2D_ENGINE_OPS m_previous;
};

TEST_F(FakeEngines, RecordsPointIntoTheTwoDSetupData) {
  auto g = both_sectors("CRAM", true);
  BYTES records(80, 0);
  EXPECT_EQ(g->fill_dc_params(records.data(), 0), 0u);
  EXPECT_EQ(read_le32(records, 4), 7u << 8 | 0xF);
  EXPECT_EQ(read_le32(records, 8), 0u);
  EXPECT_EQ(read_le32(records, 12), 10u << 16 | 8);
  EXPECT_EQ(read_le32(records, 20), 10u);
  EXPECT_EQ(read_le32(records, 40 + 4), 9u << 8 | 0xF);
  EXPECT_EQ(read_le32(records, 40 + 8), 26u);
  EXPECT_EQ(read_le32(records, 40 + 12), 36u << 16 | 34);

  g->collect_data(false);
  EXPECT_EQ(g->get_2d_setup_size(0), 2 * (64 + 16 + 128u));
  BYTES setup(g->get_2d_setup_size(0));
  EXPECT_EQ(g->get_2d_setup_data(setup.data(), 0), setup.size());
  EXPECT_EQ(setup[0], 0xB0);
  EXPECT_EQ(setup[64], 0xF0);
  EXPECT_EQ(setup[80], 0xBB);
  EXPECT_EQ(setup[208], 0xB0);
  EXPECT_EQ(g->get_2d_setup_size(1), 0u);
  EXPECT_INTERNAL_ERROR(g->get_2d_setup_size(2), "thr_index < QV_MAX_DC_THREADS");
  EXPECT_INTERNAL_ERROR(g->get_2d_setup_data(setup.data(), 2), "thr_index < QV_MAX_DC_THREADS");
}

TEST_F(FakeEngines, RelativeBbmRangesMoveOnlyTheirOwnBbmOffset) {
  param().pr_mode = 1;
  param().qv_2d_compression = 1;
  auto g = both_sectors("CRAM", true);
  // Rows 1 to 3 and 0 to 1; a row of a 128-byte BBM over 3 rows is 5 units.
  g->thread(0).m_logical_pr_rows[0] = 1 | 3 << 16;
  g->thread(0).m_logical_pr_rows[1] = 0 | 1 << 16;
  EXPECT_EQ(g->get_start_end_bbm_offset(0, 0), 15u << 16 | 5);
  BYTES rec(80, 0);
  g->fill_dc_params(rec.data(), 0);
  EXPECT_EQ(read_le32(rec, 24), 10u << 16);
  EXPECT_EQ(read_le32(rec, 20), 10u + 5);
  EXPECT_EQ(read_le32(rec, 12), 15u << 16 | 8);
  // The next block's structures stay where the setup data puts them.
  EXPECT_EQ(read_le32(rec, 40 + 8), 26u);
  EXPECT_EQ(read_le32(rec, 40 + 20), 36u);
  EXPECT_EQ(read_le32(rec, 40 + 24), 5u << 16);

  param().qv_2d_align = 1;
  std::fill(rec.begin(), rec.end(), 0);
  g->fill_dc_params(rec.data(), 0);
  EXPECT_EQ(read_le32(rec, 24), 15u << 16 | 5);
  EXPECT_EQ(read_le32(rec, 20), 10u);

  g->thread(0).m_logical_pr_rows[1] = 0;
  EXPECT_INTERNAL_ERROR(g->get_start_end_bbm_offset(0, 1), "end_pr_row > 0");
  cram(1)->detach_2d_engine();
  EXPECT_INTERNAL_ERROR(g->get_start_end_bbm_offset(0, 1), "eng != nullptr");
}

TEST_F(BlockGroup, UpperBlocksTakeTheUpperRecordSlots) {
  param().qv_test_mode = 1;
  auto g = both_sectors("ERAM", true);
  g->thread(0).m_multi_address[0] = true;
  ASSERT_EQ(g->get_num_sector_threads(0), 3u);
  BYTES rec(120, 0);
  g->fill_dc_params(rec.data(), 0);
  EXPECT_EQ(read_le32(rec, 16), 2u);       // slot 0: the lower block
  EXPECT_EQ(read_le32(rec, 40 + 16), 0u);  // slot 1: unused
  EXPECT_EQ(read_le32(rec, 80 + 16), 2u);  // slot 2: the upper block
}

TEST_F(BlockGroup, DefaultTwoDOpsReadTheEngine) {
  // An engine without tables; its sizes set by hand.
  auto engine = std::make_unique<VARNO_QV_2D_ENGINE>(nullptr, true);
  engine->m_NumBlocks = 5;
  engine->m_FrameStructSize = 8;
  engine->m_NumRows = 3;
  cram(0)->set_2d_engine(engine.get());
  auto g = group();
  g->set_group_type("CRAM", "");
  g->add_mblock(meta(0), 0);
  g->add_dblock(cram(0), 0);
  const VARNO_GROUP_2D_ENGINE_OPS& ops = VARNO_MBLOCK_GROUP::engine_ops();
  EXPECT_EQ(ops.fstruct_size(engine.get()) + ops.bbm_size(engine.get()), 8u + 24);
  BYTES rec(40, 0);
  g->fill_dc_params(rec.data(), 0);
  EXPECT_EQ(read_le32(rec, 4), 5u << 8 | 0xF);
  EXPECT_EQ(read_le32(rec, 20), (64u + 8) / 8);
  engine->m_CramMode = false;
  engine->m_EramBbmSize = 16;
  EXPECT_EQ(ops.bbm_size(engine.get()), 16u);
  // Without tables nothing is copied.
  BYTES setup(88);
  EXPECT_EQ(ops.copy_bstruct(engine.get(), setup.data()) + ops.copy_fstruct(engine.get(), setup.data()) +
                ops.copy_bbm(engine.get(), setup.data()),
            0u);
  // The group's own read-outs wait for collect_data.
  EXPECT_INTERNAL_ERROR(g->get_2d_setup_size(0), "Block group get_2d_setup_size() called before collect_data()");
  cram(0)->detach_2d_engine();
}

TEST_F(BlockGroup, CramRecordsAndTheirS4Word) {
  auto g = group();
  g->set_group_type("CRAM", "");
  g->add_mblock(meta(0), 0);
  g->add_dblock(cram(0), 0);
  BYTES rec(40, 0);
  g->fill_dc_params(rec.data(), 0);
  EXPECT_EQ(read_le32(rec, 0), 1u << 16 | 1);
  EXPECT_EQ(read_le32(rec, 32), 0u);

  // S4 mode: the register lengths are doubled for frames that are not S4
  // encoded; the spare row is not at row 0 and the sector's y is 3.
  param().s4_variant = 1;
  std::fill(rec.begin(), rec.end(), 0);
  g->fill_dc_params(rec.data(), 0);
  EXPECT_EQ(read_le32(rec, 0), 2u << 16 | 2);
  EXPECT_EQ(read_le32(rec, 32), 0x80000003u);

  // S4-encoded frames also carry the fuse settings 1, 2, 3; the S4 lengths
  // come from DRAS values 2 and 3, which this sector lacks.
  cram(0)->m_s4_mask_used = true;
  EXPECT_INTERNAL_ERROR(g->fill_dc_params(rec.data(), 0),
                        "Parameter DRAS (20) index (2) out of range (2)");
  cram(0)->m_s4_mask_used = false;

  BYTES fs(2, 0);
  g->write_sector_s4_fs(cram(0), fs.data());
  EXPECT_EQ(fs, (BYTES{0x21, 0x03}));
  EXPECT_INTERNAL_ERROR(g->write_sector_s4_fs(cram(0), fs.data(), 1), "(fs_size + 1) / 2 <= room");
  EXPECT_INTERNAL_ERROR(g->write_sector_s4_fs(eram(0), fs.data()), "arg_size == 1");
}

// An odd count of 4-bit fuse settings still takes its last byte: three take
// two bytes, and one byte of room is refused.
TEST(BlockGroupFuseSettings, AnOddCountTakesItsLastByte) {
  const VARIANT_DIR dir(kGroupDir, {{"qv_sector_cl.ddb", "arg CRAM S4_FS_SIZE width=1 4",
                                     "arg CRAM S4_FS_SIZE width=1 3"}});
  GROUP_GEN g;
  ASSERT_NO_FATAL_FAILURE(g.load_model(dir.file("group_device.ddb"), dir.file("group_family.ddb")));
  VARNO_IBLOCK* cram = g.gen()->get_meta_block("SECTOR_ARRAY", 0, 0)->generator()->get_block("CRAM", false);
  VARNO_MBLOCK_GROUP group(g.gen());
  BYTES one(1, 0);
  EXPECT_INTERNAL_ERROR(group.write_sector_s4_fs(cram, one.data(), 1), "(fs_size + 1) / 2 <= room");
  BYTES two(2, 0);
  group.write_sector_s4_fs(cram, two.data(), 2);
  EXPECT_EQ(two, (BYTES{0x21, 0x03}));
}

TEST_F(BlockGroup, EramRecordsHoldTheColumnBlocks) {
  auto g = both_sectors("ERAM", true);
  BYTES rec(80, 0);
  g->fill_dc_params(rec.data(), 0);
  BYTES expected(80, 0);
  expected[16] = 2;  // 64 columns in blocks of 32
  expected[56] = 2;
  EXPECT_EQ(rec, expected);
  // The record area is bounded by the sector-thread count.
  EXPECT_EQ(g->get_num_sector_threads(0), 2u);
}

TEST(BlockGroupSplitRedundancy, UnitOfTheSectorColumn) {
  // The same device under the name "zr4": sector x 7 is in unit 2, x 4 in
  // unit 1.
  const TEMP_DIR dir;
  CL_DEVICE device;
  device.load(dir.write("zr4.ddb", read_file(kGroupDir + "/group_device.ddb")));
  auto g = device.both_sectors("CRAM", true);
  BYTES rec(80, 0);
  g->fill_dc_params(rec.data(), 0);
  EXPECT_EQ(rec[31], 2u);
  EXPECT_EQ(rec[71], 1u);
  dynamic_cast<VARNO_MBLOCK*>(device.meta(1))->set_cnoc_address(9, 1, false);
  EXPECT_INTERNAL_ERROR(g->fill_dc_params(rec.data(), 0), "found == TRUE");
}

// ---- Templates --------------------------------------------------------------------------

TEST_F(BlockGroup, CramTemplatesOfOneAndTwoBlocks) {
  auto g = group();
  g->set_group_type("CRAM", "");
  g->add_dblock(cram(0), 0);
  EXPECT_EQ(g->get_num_templates(0, false), 4u);
  EXPECT_EQ(g->get_num_templates(0, true), 0u);
  BYTES t(96, 0);
  EXPECT_EQ(g->fill_templates(t.data(), 0), 96u);
  EXPECT_EQ(read_le32(t, 0), 0x2F010u);
  EXPECT_EQ(read_le32(t, 4), 0x000B0A00u);
  EXPECT_EQ(read_le32(t, 20), 40u);
  EXPECT_EQ(read_le32(t, 24 + 20), 50u);
  EXPECT_EQ(read_le32(t, 48), 0x30000u);
  EXPECT_EQ(BYTES(t.begin() + 52, t.begin() + 56), cnoc(6, 7, 3));
  EXPECT_EQ(read_le32(t, 72), 0x38001u);

  param().pre_action_flag = 1;
  g->fill_templates(t.data(), 0);
  EXPECT_EQ(read_le32(t, 20), 1024u);
  EXPECT_EQ(read_le32(t, 44), 1024u);
  param().pre_action_flag = 0;
  {
    cfg_scoped_value ifr("varno_qv_cram_ifr_dly", "500");
    g->fill_templates(t.data(), 0);
    EXPECT_EQ(read_le32(t, 20), 500u);
    EXPECT_EQ(read_le32(t, 44), 50u);
  }

  // A second block of the list: the largest configured delays, and the
  // row-count form of the second template.
  g->add_dblock(cram(1), 0);
  EXPECT_EQ(g->get_num_templates(0, false), 6u);
  BYTES two(144, 0);
  EXPECT_EQ(g->fill_templates(two.data(), 0), 144u);
  EXPECT_EQ(read_le32(two, 20), 100u);
  EXPECT_EQ(read_le32(two, 44), 200u);
  EXPECT_EQ(read_le32(two, 96), 0x30004u);
  EXPECT_EQ(read_le32(two, 120), 0x39005u);
  EXPECT_EQ(BYTES(two.begin() + 100, two.begin() + 104), cnoc(6, 4, 1));
}

TEST_F(BlockGroup, FirmwareAndCommandTemplates) {
  auto fw = block_of(gen(), VOLD_BLOCK_FW_PARAMS, {8}, 0);
  auto cnt_fw = block_of(gen(), VOLD_BLOCK_CNT_FW, {8}, 0);
  param().group_compressed = 1;
  auto g = group();
  g->set_group_type("FW", "");
  g->add_dblock(fw.get(), 0);
  g->add_dblock(cnt_fw.get(), 1);
  g->collect_data(false);
  BYTES d(g->get_group_descriptor_size());
  g->get_group_descriptor_data(d.data(), static_cast<unsigned>(d.size()));
  // Half 0 at 24: one record, three templates.
  EXPECT_EQ(read_le32(d, 28), 3u);
  const size_t t0 = 24 + 12 + 40;
  EXPECT_EQ(read_le32(d, t0), 0x23010u);
  EXPECT_EQ(read_le32(d, t0 + 20), 200000u | 1u << 28);  // two active buses
  EXPECT_EQ(read_le32(d, t0 + 24), 0x31001u);
  EXPECT_EQ(BYTES(d.begin() + t0 + 24 + 8, d.begin() + t0 + 24 + 16), cnt(6, 3, 0));
  EXPECT_EQ(read_le32(d, t0 + 48), 0x20014u);
  const size_t t1 = t0 + 72 + 12 + 40;
  EXPECT_EQ(read_le32(d, t1), 0x20000u);
  EXPECT_EQ(read_le32(d, t1 + 4), 0x20000u);
  EXPECT_EQ(read_le32(d, t1 + 8), 4u);
  EXPECT_EQ(read_le32(d, t1 + 48), 0x30003u);
  EXPECT_EQ(read_le32(d, t1 + 56), 0x10006u);

  param().template_count_mode = 1;
  EXPECT_EQ(g->get_num_templates(0, false), 2u);
}

TEST_F(BlockGroup, EramTemplateCounts) {
  auto g = group();
  g->set_group_type("ERAM", "");
  g->add_dblock(eram(0), 0);
  EXPECT_EQ(g->get_num_templates(0, false), 3u);
  EXPECT_EQ(g->get_num_templates(0, true), 0u);
  BYTES t(72, 0);
  g->fill_templates(t.data(), 0);
  EXPECT_EQ(read_le32(t, 0), 0x2F010u);
  EXPECT_EQ(read_le32(t, 20), 200u);
  EXPECT_EQ(read_le32(t, 24), 0x40000u);
  EXPECT_EQ(BYTES(t.begin() + 24 + 16, t.begin() + 24 + 20), (BYTES{0x10, 0x00, 0x02, 0x00}));
  EXPECT_EQ(read_le32(t, 48), 0x48001u);
  EXPECT_EQ(BYTES(t.begin() + 48 + 8, t.begin() + 48 + 16), cnt(6, 4, 0x2000));
  EXPECT_EQ(BYTES(t.begin() + 48 + 16, t.begin() + 48 + 20), (BYTES{0x11, 0x00, 0x02, 0x00}));
}

TEST_F(TkColumns, UncompressedOddSectorEramThreadIsSequential) {
  // An odd sector count clears the thread's interleave flag in an
  // interleaved ERAM group: the uncompressed thread holds every block's
  // frames block after block, the same frames the compressed stream holds.
  // Frames of the test's own, standing for a build of design data.
  BYTES design(8);
  for (u32 x : {0u, 1u}) eram(x)->set_data(VARNO_BLOCK_DATA_ERAM, design.data(), 64, nullptr);
  add_frames(eram(0), {BYTES(8, 0x10), BYTES(8, 0x11)});
  add_frames(eram(1), {BYTES(8, 0x80), BYTES(8, 0x81)});
  // Three sectors (the first twice: its column takes two), and one.
  for (const std::vector<u32>& sectors : {std::vector<u32>{0, 0, 1}, std::vector<u32>{0}}) {
    BYTES data[2];
    for (u32 compressed : {0u, 1u}) {
      param().group_compressed = compressed;
      auto g = group();
      g->set_group_type("ERAM", "");
      g->enable_interleaving(true);
      for (u32 x : sectors) g->add_mblock(meta(x), 0);
      g->collect_data(false);
      EXPECT_EQ(g->thread(0).m_interleave, 0u);
      BYTES out(g->get_thread_size(0));
      g->get_thread_data(out.data(), static_cast<unsigned>(out.size()), 0);
      data[compressed] = compressed != 0 ? inflate_raw(out) : out;
    }
    BYTES expected;
    for (u32 x : sectors) {
      for (const BYTES& f : frames(eram(x))) put(expected, f);
    }
    EXPECT_EQ(data[0], expected) << sectors.size();
    // The stream's records are an 8-byte header and an 8-byte frame each.
    BYTES streamed;
    for (size_t i = 8; i + 8 <= data[1].size(); i += 16) {
      streamed.insert(streamed.end(), data[1].begin() + i, data[1].begin() + i + 8);
    }
    EXPECT_EQ(streamed, expected) << sectors.size();
  }
}

TEST_F(TkColumns, TkEramInterleaveTemplatesEndOrderedByKey) {
  param().pr_mode = 1;
  auto g = group();
  g->set_group_type("ERAM", "");
  g->enable_interleaving(true);
  g->add_dblock(eram(0), 0);
  g->add_dblock(eram(1), 0);
  const u32 n = g->get_num_templates(0, false);
  ASSERT_EQ(n, 9u);
  BYTES t(24 * n, 0);
  g->fill_templates(t.data(), 0);
  std::vector<u32> keys;
  for (u32 i = 0; i < n; ++i) keys.push_back(((t[24 * i + 1] & 1u) << 8) | (t[24 * i] & 0x1Fu));
  EXPECT_EQ(keys, (std::vector<u32>{0, 1, 3, 4, 5, 7, 0x10, 0x11, 0x14}));
}

TEST_F(BlockGroup, TwoColumnThreadsNeedTwoBlocks) {
  auto g = group();
  g->add_dblock(cram(0), 0);
  g->thread(0).m_two_col_2d = 1;
  EXPECT_INTERNAL_ERROR(g->get_num_templates(0, false), "num_blks == 2");
}

TEST(TemplateManager, SortsByKeyAndCopiesBack) {
  BYTES area(3 * 24, 0);
  area[0] = 0x14;
  area[24] = 0x03;
  area[25] = 0x01;  // list bit: key 0x103
  area[48] = 0x21;  // bits above 4 are not part of the key: key 1
  VARNO_TEMPLATE_MGR mgr(area.data(), 3, 24);
  mgr.sort_templates();
  EXPECT_EQ(mgr.templates()[0].m_key, 1u);
  EXPECT_EQ(mgr.templates()[2].m_key, 0x103u);
  EXPECT_EQ(mgr.copy_sorted_templates(area.data()), 72u);
  EXPECT_EQ(area[0], 0x21);
  EXPECT_EQ(area[24], 0x14);
  EXPECT_EQ(area[48], 0x03);
  EXPECT_INTERNAL_ERROR(VARNO_TEMPLATE_MGR(area.data(), 1, 0), "m_size > 0");
}

// ---- Pre- and post-actions and CNOC bookkeeping ------------------------------------------

TEST_F(BlockGroup, PreActionSizesByTypeAndMode) {
  auto g = group();
  g->set_group_type("CRAM", "");
  EXPECT_EQ(g->get_pre_descriptor_size(), 0u);  // no meta blocks
  g->add_mblock(meta(0), 0);
  g->add_mblock(meta(1), 1);
  g->add_dblock(cram(0), 0);
  g->add_dblock(cram(1), 1);
  g->create_descriptor();
  EXPECT_EQ(g->get_pre_descriptor_size(), 76u);
  param().pr_mode = 2;
  EXPECT_EQ(g->get_pre_descriptor_size(), 0u);
  param().pr_mode = 1;
  EXPECT_EQ(g->get_pre_descriptor_size(), 80u);
  // The range pre-action of a block without ranges: row 1, column 0, one
  // frame, opcode 0; the rows are converted past the spare row at 0.
  BYTES pre(80, 0);
  EXPECT_EQ(g->write_pre_actions(pre.data()), 80u);
  EXPECT_EQ(read_le32(pre, 4), 40u);
  EXPECT_EQ(read_le32(pre, 28), 0x1013u);
  EXPECT_EQ(read_le32(pre, 32), 1u | 0u << 8 | 1u << 16);
  EXPECT_EQ(read_le32(pre, 36), 0u);
  EXPECT_EQ(g->thread(0).m_logical_pr_rows[0], 0u | 1u << 16);
  EXPECT_EQ(g->thread(0).m_phys_pr_rows[0], 1u | 2u << 16);

  g->set_group_type("ERAM", "");
  EXPECT_EQ(g->get_pre_descriptor_size(), 0u);
  g->set_group_type("REGSCAN", "");
  param().regscan_31bit = 1;
  EXPECT_EQ(g->get_pre_descriptor_size(), 2u * 40 + 24);
  EXPECT_INTERNAL_ERROR(g->write_pre_actions(pre.data()), "regscan_blk != nullptr");
}

TEST_F(BlockGroup, PostActionsSendTheDataRegisterLength) {
  auto g = group();
  g->set_group_type("CRAM", "");
  g->add_mblock(meta(0), 0);
  g->add_dblock(cram(0), 0);
  g->create_descriptor();
  EXPECT_EQ(g->get_post_descriptor_size(), 32u);
  EXPECT_EQ(g->post_action_counts()[0], 4u);
  BYTES post(32, 0xEE);
  EXPECT_EQ(g->write_post_actions(post.data()), 32u);
  EXPECT_EQ(read_le32(post, 4), 32u);
  EXPECT_EQ(read_le32(post, 12), 0xEEEEEEEEu);  // the fourth word is left alone
  EXPECT_EQ(read_le32(post, 28), 0u);

  // A block outside any sector has no CNOC address.
  auto loose = block_of(gen(), VOLD_BLOCK_DUMMY1, {4}, 0);
  BYTES packet(28);
  EXPECT_INTERNAL_ERROR(g->cnoc_send_no_cmd_packet(packet.data(), loose.get(), 0, 0, 0, 0, 0),
                        "mblk != nullptr");
  BYTES cmd(12);
  EXPECT_EQ(g->intr_wait(cmd.data(), 7), 12u);
  EXPECT_EQ(cmd, (BYTES{29, 0, 0, 0, 12, 0, 0, 0, 7, 0, 0, 0}));
}

TEST_F(BlockGroup, SectorThreadCounts) {
  param().qv_test_mode = 1;
  auto g = group();
  for (int i = 0; i < 3; ++i) g->add_dblock(cram(i % 2), 0);
  EXPECT_EQ(g->get_num_sector_threads(0), 3u);
  g->thread(0).m_multi_address[0] = true;
  g->thread(0).m_multi_address[1] = true;
  EXPECT_EQ(g->get_num_sector_threads(0), 4u);
  g->thread(0).m_multi_address[2] = true;
  EXPECT_INTERNAL_ERROR(g->get_num_sector_threads(0), "result <= QV_MAX_BLOCKS_PER_THREAD");
  for (int i = 0; i < 2; ++i) g->add_dblock(cram(0), 0);
  EXPECT_INTERNAL_ERROR(g->get_num_sector_threads(0),
                        "num_blks can't be greater than array boundary");
  EXPECT_EQ(g->get_num_sector_threads(1), 0u);
}

TEST_F(BlockGroup, ReorderingPutsUnflaggedBlocksFirst) {
  auto g = group();
  std::vector<VARNO_BLOCK*> blocks = {cram(0), cram(1), eram(0), eram(1)};
  const std::vector<VARNO_BLOCK*> entry = blocks;
  bool flags[4] = {true, false, false, false};
  u32 index[4] = {};
  g->reorder_cnoc_map(flags, 4, index, &blocks);
  EXPECT_EQ(std::vector<u32>(index, index + 4), (std::vector<u32>{1, 2, 3, 0}));
  EXPECT_EQ(blocks, (std::vector<VARNO_BLOCK*>{entry[3], entry[0], entry[1], entry[2]}));

  bool two[2] = {false, true};
  std::vector<VARNO_BLOCK*> pair = {cram(0), cram(1)};
  g->reorder_cnoc_map(two, 2, index, &pair);
  EXPECT_EQ(pair, (std::vector<VARNO_BLOCK*>{cram(0), cram(1)}));
  EXPECT_INTERNAL_ERROR(g->reorder_cnoc_map(two, 0, index, nullptr),
                        "arr_size > 0 && blk_index_arr != nullptr");
}

TEST_F(BlockGroup, NopCnocHeaderEntries) {
  auto g = group();
  g->set_group_type("CRAM", "");
  BYTES h(4, 0);
  g->fill_nop_cnoc_header(h.data(), 0);
  EXPECT_EQ(h, cnoc(0, 10, 11));
  g->set_group_type("IO_SERIAL", "");
  g->fill_nop_cnoc_header(h.data(), 1);
  EXPECT_EQ(h, cnoc(0, 9, 9));
  g->set_group_type("CRAM", "");
  EXPECT_INTERNAL_ERROR(g->fill_nop_cnoc_header(h.data(), 2), "Invalid Access");
  param().tk_flow = 1;
  auto tk = group();
  EXPECT_INTERNAL_ERROR(tk->fill_nop_cnoc_header(h.data(), 0),
                        "Only one NOP entry for TK to the first CNT (0,0)");
}

TEST_F(BlockGroup, CnocAddressCountNeedsTheIoArray) {
  auto g = group();
  EXPECT_INTERNAL_ERROR(g->get_cnoc_address_count(3), "fw_type == VARNO_QV_IO_FW");
  EXPECT_INTERNAL_ERROR(g->get_cnoc_address_count(VARNO_QV_IO_FW), "emb_block != nullptr");
}

}  // namespace
