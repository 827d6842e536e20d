// Partial reconfiguration of a decompression thread: range stitching, row
// widening, frame masks, ERAM folding, sparse padding, interleave maps, the
// physical-row look-up and the command records. Blocks are made outside any
// sector with their parameters given in memory; the generator is the device
// of tests/data/group (record header: [ch, frtype, ulen(3), s4 | thr << 4,
// chext, bank]).
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cfg.h"
#include "group_fixture.h"
#include "varno_block_config.h"
#include "varno_mgr_param.h"
#include "varno_test.h"

namespace {

using RANGES = std::map<u32, u32>;
constexpr u32 CMD = 0x80000000u;
constexpr u32 DUMMY = 0x20000000u;

RANGES range(u32 start, u32 end, u32 opcode = 0) { return {{start, opcode << 16 | end}}; }

// The frames of a mask, in order.
std::vector<u32> mask_frames(const std::vector<u8>& mask) {
  std::vector<u32> out;
  for (u32 f = 0; f < mask.size() * 8; ++f) {
    if ((mask[f >> 3] >> (f & 7)) & 1) out.push_back(f);
  }
  return out;
}
std::vector<u32> span(u32 first, u32 last) {
  std::vector<u32> out;
  for (u32 f = first; f <= last; ++f) out.push_back(f);
  return out;
}

class PrThread : public GroupGen {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(load_model());
    m_info.create_device_info(VOLD_FAMILY_QUELVO, 1);
  }

  // A block of frames 4-byte frames: the frame number, then 0xA0 + the
  // block's number (from 1).
  VARNO_DBLOCK* block(u32 type, u32 frames) {
    std::vector<BYTES> bytes;
    const u8 number = static_cast<u8>(0xA1 + m_blocks.size());
    for (u32 f = 0; f < frames; ++f) bytes.push_back({static_cast<u8>(f), number, 0, 0});
    m_blocks.push_back(block_from(gen(), type, bytes));
    return m_blocks.back().get();
  }
  void param_of(VARNO_DBLOCK* b, VOLD_PARAMETER_TYPE type, const std::vector<u32>& values) {
    b->get_block_config()->m_param_list.push_back(m_info.add_param(b->block_type(), type, values));
  }
  VARNO_DBLOCK* cram(u32 frames, u32 dr1 = 32) {
    VARNO_DBLOCK* b = block(VOLD_BLOCK_CRAM, frames);
    param_of(b, VOLD_PARAMETER_DRAS, {32, dr1});
    return b;
  }
  VARNO_DBLOCK* eram(u32 frames, u32 col_count = 16, u32 cols_per_block = 4) {
    VARNO_DBLOCK* b = block(VOLD_BLOCK_ERAM, frames);
    param_of(b, VOLD_PARAMETER_ERAM_COL_COUNT, {col_count});
    param_of(b, VOLD_PARAMETER_ERAM_COLS_PER_BLOCK, {cols_per_block});
    return b;
  }
  void prepare(VARNO_DC_THREAD& t, const std::vector<VARNO_DBLOCK*>& blocks, u32 fpr, u32 rows) {
    for (VARNO_DBLOCK* b : blocks) t.m_DBlocksArray.push_back(b);
    t.m_frames_per_row = fpr;
    t.m_num_rows = rows;
    t.set_generator(gen());
  }

  VOLD_INFO m_info;
  std::vector<std::unique_ptr<VARNO_DBLOCK>> m_blocks;
};

// ---- Stitching across spare rows ------------------------------------------------------

TEST_F(PrThread, AdjacentRangesFoldIntoTheFirst) {
  VARNO_DC_THREAD t;
  prepare(t, {cram(64), cram(64), cram(64)}, 8, 8);
  t.m_pr_frame_ranges[0] = {{0, 3u << 16 | 9}, {10, 5u << 16 | 19}};
  t.m_pr_frame_ranges[1] = {{10, 20}, {22, 30}};
  t.m_pr_frame_ranges[2] = {{1, 1u << 16 | 2}, {3, 4}, {5, 6}, {9, 9}, {10, 12}};
  t.stitch_pr_ranges_for_spare_row();
  EXPECT_EQ(t.m_pr_frame_ranges[0], (RANGES{{0, 3u << 16 | 19}}));
  EXPECT_EQ(t.m_pr_frame_ranges[1], (RANGES{{10, 20}, {22, 30}}));
  EXPECT_EQ(t.m_pr_frame_ranges[2], (RANGES{{1, 1u << 16 | 6}, {9, 12}}));

  for (int i = 0; i < 2; ++i) t.m_DBlocksArray.push_back(t.m_DBlocksArray[0]);
  EXPECT_INTERNAL_ERROR(t.stitch_pr_ranges_for_spare_row(),
                        "blk_count can't be greater than array boundary");
  EXPECT_INTERNAL_ERROR(t.create_pr_mask(true), "blk_count can't be greater than array boundary");
  EXPECT_INTERNAL_ERROR(t.adjust_pr_ranges_for_sparse_interleaving(),
                        "blk_count can't be greater than array boundary");
  EXPECT_INTERNAL_ERROR(t.fill_interleaving_masks(),
                        "num_blks can't be greater than array boundary");
}

// ---- Masks --------------------------------------------------------------------------------

TEST_F(PrThread, RowModeWidensToCommonWholeRows) {
  param().pr_mode = VARNO_QV_PR_ROW;
  VARNO_DC_THREAD t;
  // The third block is shorter than the widened rows: its mask stops at its
  // last frame.
  prepare(t, {cram(256), cram(256), cram(100), cram(256)}, 64, 4);
  t.m_pr_frame_ranges[0] = range(5, 7, 1);
  t.m_pr_frame_ranges[1] = {{130, 2u << 16 | 140}, {150, 3u << 16 | 151}};
  t.m_pr_frame_ranges[2] = range(60, 70, 4);
  t.create_pr_mask(true);
  EXPECT_EQ(t.m_pr_frame_ranges[0], (RANGES{{0, 1u << 16 | 191}}));
  EXPECT_EQ(t.m_pr_frame_ranges[1], (RANGES{{0, 2u << 16 | 191}}));
  EXPECT_EQ(t.m_pr_frame_ranges[2], (RANGES{{0, 4u << 16 | 191}}));
  EXPECT_TRUE(t.m_pr_frame_ranges[3].empty());
  EXPECT_EQ(mask_frames(t.m_pr_masks[0]), span(0, 191));
  EXPECT_EQ(t.m_pr_masks[0].size(), 32u);
  EXPECT_EQ(t.m_pr_masks[2].size(), 13u);
  EXPECT_EQ(mask_frames(t.m_pr_masks[2]), span(0, 99));
  EXPECT_EQ(t.m_pr_masks[3], std::vector<u8>(32, 0));
  EXPECT_TRUE(t.m_InterleaveMap[0].empty());
}

TEST_F(PrThread, EramMasksLastColumnsAndFolding) {
  param().pr_mode = VARNO_QV_PR_ROW + 1;  // sparse: an ERAM thread gets no interleave maps
  VARNO_DC_THREAD t;
  prepare(t, {eram(24), eram(0)}, 4, 6);
  t.m_pr_frame_ranges[0] = {{0, 7u << 16 | 1}, {5, 6}, {20, 2u << 16 | 21}};
  t.m_pr_frame_ranges[1] = range(0, 1);
  t.create_pr_mask(false);
  EXPECT_EQ(t.m_eram_cols[0], 4u);
  EXPECT_EQ(t.m_pr_frame_ranges[0],
            (RANGES{{0, 7u << 16 | 6}, {5, 0x8000 | 6}, {20, 2u << 16 | 21}}));
  EXPECT_EQ(mask_frames(t.m_pr_masks[0]), (std::vector<u32>{0, 1, 5, 6, 20, 21}));
  EXPECT_EQ(t.m_pr_masks[0].size(), 3u);
  EXPECT_EQ(t.m_eram_row_last_col[0], (RANGES{{0, 1}, {1, 2}, {5, 1}}));
  EXPECT_TRUE(t.m_InterleaveMap[0].empty());
  // A block of no frames keeps no mask.
  EXPECT_TRUE(t.m_pr_masks[1].empty());
  EXPECT_EQ(t.m_pr_frame_ranges[1], range(0, 1));
}

TEST_F(PrThread, MaskFailures) {
  param().pr_mode = VARNO_QV_PR_SPARSE;
  {
    VARNO_DC_THREAD t;
    prepare(t, {block(VOLD_BLOCK_DUMMY1, 4)}, 4, 4);
    EXPECT_INTERNAL_ERROR(t.create_pr_mask(false),
                          "VOLD_BLOCK_CRAM == (VOLD_BLOCK_TYPE)bl->block_type() || "
                          "VOLD_BLOCK_ERAM == (VOLD_BLOCK_TYPE)bl->block_type()");
  }
  {
    VARNO_DC_THREAD t;
    prepare(t, {eram(8, 2, 4)}, 4, 4);
    EXPECT_INTERNAL_ERROR(t.create_pr_mask(false), "eram_cols > 0");
  }
  {
    // Columns per block of 0 would divide by zero.
    VARNO_DC_THREAD t;
    prepare(t, {eram(8, 16, 0)}, 4, 4);
    EXPECT_INTERNAL_ERROR(t.create_pr_mask(false), "eram_cols_per_block > 0");
  }
  {
    // A range past the block's frames would set bits past its mask.
    VARNO_DC_THREAD t;
    prepare(t, {cram(16), cram(16)}, 4, 4);
    t.m_pr_frame_ranges[1] = range(10, 16);
    EXPECT_INTERNAL_ERROR(t.create_pr_mask(true),
                          "PR frame range [10, 16] lies beyond the 16 frames of block #1");
  }
  {
    param().pr_mode = VARNO_QV_PR_ROW;
    VARNO_DC_THREAD t;
    prepare(t, {cram(16)}, 0, 4);
    t.m_pr_frame_ranges[0] = range(1, 2);
    EXPECT_INTERNAL_ERROR(t.create_pr_mask(true), "frames_per_row > 0");
  }
}

// ---- Sparse interleaving ------------------------------------------------------------------

TEST_F(PrThread, SparsePaddingMovesRangesEarlier) {
  param().pr_mode = VARNO_QV_PR_SPARSE;
  param().tk_flow = 2;
  VARNO_DC_THREAD t;
  prepare(t, {cram(16), cram(16)}, 16, 1);
  t.m_pr_frame_ranges[0] = range(0, 3, 1);
  t.m_pr_frame_ranges[1] = range(10, 11, 2);
  t.create_pr_mask(true);
  EXPECT_EQ(t.m_max_pr_slots, 5u);
  EXPECT_EQ(t.m_pr_frame_ranges[1], range(8, 11, 2));
  EXPECT_EQ(t.m_InterleaveMap[0], (RANGES{{0, CMD}, {1, 0}, {2, 1}, {3, 2}, {4, 3}}));
  EXPECT_EQ(t.m_InterleaveMap[1], (RANGES{{0, CMD | 8}, {1, 8}, {2, 9}, {3, 10}, {4, 11}}));
  EXPECT_EQ(mask_frames(t.m_pr_masks[1]), span(8, 11));
}

TEST_F(PrThread, SparsePaddingExtendsTheLastRangeAndFillsEmptyBlocks) {
  param().pr_mode = VARNO_QV_PR_SPARSE;
  param().tk_flow = 2;
  VARNO_DC_THREAD t;
  prepare(t, {cram(16), cram(16), cram(16)}, 4, 4);
  t.m_pr_frame_ranges[0] = range(0, 5);
  t.m_pr_frame_ranges[1] = range(1, 1, 3);
  t.create_pr_mask(true);
  EXPECT_EQ(t.m_max_pr_slots, 7u);
  // Moved to frame 0 (one slot), then extended by the four still missing.
  EXPECT_EQ(t.m_pr_frame_ranges[1], range(0, 5, 3));
  // A block without ranges gets one whose command and frames fill the
  // seven slots.
  EXPECT_EQ(t.m_pr_frame_ranges[2], range(0, 5));
  EXPECT_EQ(t.m_InterleaveMap[2], t.m_InterleaveMap[0]);
  EXPECT_EQ(t.m_InterleaveMap[1], t.m_InterleaveMap[0]);

  VARNO_DC_THREAD small;
  prepare(small, {cram(16), cram(16)}, 1, 5);
  small.m_pr_frame_ranges[0] = range(0, 5);
  small.m_pr_frame_ranges[1] = range(0, 1);
  EXPECT_INTERNAL_ERROR(small.create_pr_mask(true),
                        "dummy_frames + end_bit < (m_frames_per_row * m_num_rows)");

  VARNO_DC_THREAD tight;
  prepare(tight, {cram(16), cram(16)}, 4, 4);
  tight.m_pr_frame_ranges[0] = range(0, 9);
  tight.m_pr_frame_ranges[1] = {{0, 3}, {4, 5}};
  EXPECT_INTERNAL_ERROR(tight.create_pr_mask(true), "start_bit >= top_frame_range");
}

TEST_F(PrThread, SelectorZeroCommandSlotsAreSkippedByLaterBlocks) {
  param().pr_mode = VARNO_QV_PR_SPARSE;
  param().tk_flow = 0;
  VARNO_DC_THREAD t;
  prepare(t, {cram(8), cram(8)}, 8, 1);
  t.m_pr_frame_ranges[0] = range(0, 1);
  t.m_pr_frame_ranges[1] = range(4, 4);
  t.create_pr_mask(true);
  EXPECT_EQ(t.m_max_pr_slots, 3u);
  EXPECT_EQ(t.m_InterleaveMap[0], (RANGES{{0, CMD}, {1, 0}, {2, 1}}));
  EXPECT_EQ(t.m_InterleaveMap[1], (RANGES{{0, PR_SPARSE_SKIP_FLAG}, {1, CMD | 4}, {2, 4}}));
}

TEST_F(PrThread, UnequalInterleaveMapsAreReported) {
  param().tk_flow = 2;
  VARNO_DC_THREAD t;
  prepare(t, {cram(8), cram(8)}, 8, 1);
  t.m_pr_frame_ranges[0] = range(0, 1);
  t.m_pr_frame_ranges[1] = range(4, 4);
  testing::internal::CaptureStdout();
  EXPECT_INTERNAL_ERROR(t.fill_interleaving_masks(), "size == m_InterleaveMap[i].size()");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "first block size = 3 but block #1 size is 2\n");
}

TEST_F(PrThread, TkRunsOfRowsShareOneCommand) {
  param().pr_mode = VARNO_QV_PR_SPARSE;
  param().tk_flow = 1;
  VARNO_DC_THREAD t;
  prepare(t, {cram(80), cram(80)}, 10, 8);
  ASSERT_EQ(t.m_tk_flow, 1);
  // Column 3, two frames, in rows 2, 3 and 4; then a run of one row at
  // column 6 of row 3.
  t.m_pr_frame_ranges[0] = {{23, 24}, {33, 34}, {36, 37}, {43, 44}};
  t.m_pr_frame_ranges[1] = range(5, 5, 9);
  t.create_pr_mask(true);
  ASSERT_EQ(t.m_partial_request_frame_info[0].size(), 2u);
  EXPECT_EQ(t.m_partial_request_frame_info[0][0].frame_start, 23u);
  EXPECT_EQ(t.m_partial_request_frame_info[0][0].length, 2u);
  EXPECT_EQ(t.m_partial_request_frame_info[0][0].row_count, 3u);
  EXPECT_EQ(t.m_partial_request_frame_info[0][1].frame_start, 36u);
  EXPECT_EQ(t.m_partial_request_frame_info[0][1].row_count, 1u);
  EXPECT_EQ(t.m_max_pr_slots, 10u);
  EXPECT_EQ(t.m_InterleaveMap[0],
            (RANGES{{0, CMD | 3 << 16 | 23}, {1, 23}, {2, 24}, {3, 33}, {4, 34}, {5, 43}, {6, 44},
                    {7, CMD | 1 << 16 | 36}, {8, 36}, {9, 37}}));
  // Eight padding slots.
  EXPECT_EQ(t.m_pr_frame_ranges[1], (RANGES{{5, 9u << 16 | 5}, {0x8000, 0x7FFF + 8}}));
  RANGES expected1 = {{0, CMD | 1 << 16 | 5}, {1, 5}};
  for (u32 s = 2; s < 10; ++s) expected1[s] = DUMMY;
  EXPECT_EQ(t.m_InterleaveMap[1], expected1);
  EXPECT_EQ(mask_frames(t.m_pr_masks[1]), (std::vector<u32>{5}));

  // The run records are built once.
  EXPECT_INTERNAL_ERROR(t.adjust_pr_ranges_for_sparse_interleaving(),
                        "m_partial_request_frame_info[i].size() == 0");
}

TEST_F(PrThread, TkRunOf256RowsIsRefused) {
  param().pr_mode = VARNO_QV_PR_SPARSE;
  param().tk_flow = 1;
  VARNO_DC_THREAD t;
  prepare(t, {cram(256)}, 1, 256);
  for (u32 f = 0; f < 256; ++f) t.m_pr_frame_ranges[0][f] = f;
  EXPECT_INTERNAL_ERROR(t.create_pr_mask(true), "number of row exceeds 0xFF");
}

// ---- Physical rows ------------------------------------------------------------------------

TEST_F(PrThread, TkPhysicalRowsSkipOneOrTwoSpareRows) {
  param().tk_flow = 1;
  VARNO_DBLOCK* two = block(VOLD_BLOCK_CRAM, 1);
  param_of(two, VOLD_PARAMETER_CRAM_ALGO, {5});
  VARNO_DBLOCK* one = block(VOLD_BLOCK_CRAM, 1);
  param_of(one, VOLD_PARAMETER_CRAM_ALGO, {0});
  for (VARNO_DBLOCK* b : {two, one}) {
    b->get_block_config()->m_arg_list.push_back(
        m_info.add_arg(VOLD_BLOCK_CRAM, VOLD_ARGUMENT_CRAM_SPARE_ROWS, 1, {10, 20}));
  }
  VARNO_DBLOCK* bare = block(VOLD_BLOCK_CRAM, 1);
  VARNO_DBLOCK* no_rows = block(VOLD_BLOCK_CRAM, 1);
  param_of(no_rows, VOLD_PARAMETER_CRAM_ALGO, {5});
  VARNO_DC_THREAD t;
  prepare(t, {two, one, bare, no_rows}, 1, 1);
  const std::vector<std::pair<u32, u32>> algo5 = {{9, 9}, {10, 11}, {18, 19}, {19, 21}};
  for (const auto& [logical, physical] : algo5) {
    u32 row = logical;
    t.get_phys_pr_row(0, row);
    EXPECT_EQ(row, physical) << logical;
  }
  u32 row = 19;
  t.get_phys_pr_row(1, row);
  EXPECT_EQ(row, 20u);
  EXPECT_INTERNAL_ERROR(t.get_phys_pr_row(2, row), "blk->get_param_size(\"CRAM_ALGO\") > 0");
  EXPECT_INTERNAL_ERROR(t.get_phys_pr_row(3, row), "spare_rows != nullptr");
  EXPECT_THROW(t.get_phys_pr_row(4, row), std::out_of_range);
}

// ---- CRAM commands ------------------------------------------------------------------------

TEST_F(PrThread, CramCommandsOutsideTheTkFlow) {
  VARNO_DC_THREAD t;
  prepare(t, {cram(256)}, 64, 4);
  t.m_pr_frame_ranges[0] = {{0, 2u << 16 | 63}, {128, 2u << 16 | 191}};
  t.m_stream_room = 256;
  BYTES out(256, 0xEE);
  ASSERT_EQ(t.insert_pr_cmd(out.data(), 0, 0, 0), 32u);
  BYTES expected = hdr(2, 0, 0, 0, 3);
  put(expected, words({0x1013, 1 | 0 << 8 | 64 << 16, 2, 0}));
  put(expected, hdr(0, 3, 0, 0, 1280));
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 32), expected);

  // A later range clears the 32-bit data register first: ULEN
  // ((32 + 7) / 8 + 3) / 4 = 1, one 8-byte zero body.
  std::fill(out.begin(), out.end(), 0xEE);
  ASSERT_EQ(t.insert_pr_cmd(out.data(), 0, 2, 128), 56u);
  expected = hdr(1, 0, 0, 2, 1);
  put(expected, BYTES(8, 0));
  put(expected, hdr(0, 3, 0, 2, 1280));
  put(expected, hdr(2, 0, 0, 2, 3));
  put(expected, words({0x1013, 3 | 0 << 8 | 64 << 16, 2, 0}));
  put(expected, hdr(0, 3, 0, 2, 1280));
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 56), expected);
  EXPECT_EQ(out[56], 0xEE);

  // Inside a range, not at its start: nothing.
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(t.insert_pr_cmd(out.data(), 0, 0, 5), 0u);
  EXPECT_EQ(out, BYTES(256, 0xEE));
  EXPECT_THROW(t.insert_pr_cmd(out.data(), 1, 0, 0), std::out_of_range);
}

TEST_F(PrThread, CramDataRegisterPreambleOfAnOddWidth) {
  VARNO_DC_THREAD t;
  prepare(t, {cram(256, 70)}, 64, 4);
  t.m_pr_frame_ranges[0] = {{0, 1}, {64, 65}};
  t.m_stream_room = 256;
  BYTES out(256, 0xEE);
  // 70 bits: ULEN ((70 + 7) / 8 + 3) / 4 = 3; body ((72 + 63) / 64) * 8 = 16.
  ASSERT_EQ(t.insert_pr_cmd(out.data(), 0, 0, 64), 8 + 16 + 8 + 8 + 16 + 8u);
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 8), hdr(1, 0, 0, 0, 3));
  EXPECT_EQ(BYTES(out.begin() + 8, out.begin() + 24), BYTES(16, 0));
  EXPECT_EQ(BYTES(out.begin() + 24, out.begin() + 32), hdr(0, 3, 0, 0, 1280));
}

TEST_F(PrThread, CramCommandsOfTheTkFlow) {
  param().tk_flow = 1;
  VARNO_DC_THREAD t;
  prepare(t, {cram(256)}, 64, 4);
  t.m_pr_frame_ranges[0] = range(70, 79, 4);
  t.m_InterleaveMap[0] = {{0, CMD | 3 << 16 | 70}, {1, 70}};
  t.m_stream_room = 256;
  BYTES out(256, 0xEE);
  ASSERT_EQ(t.insert_pr_cmd(out.data(), 0, 1, 3 << 16 | 70), 32u);
  BYTES expected = hdr(2, 0, 0, 1, 3);
  put(expected, words({0x1013, 2 | 6 << 8 | 30 << 16, 4 | 3 << 8 | 10 << 16 | 0x40000000, 0}));
  put(expected, hdr(0, 3, 0, 1, 500));
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 32), expected);

  // Not the first frame the block's slots carry: the preamble comes first;
  // the NOP count is configurable.
  cfg_scoped_value nop("varno_pr_sparse_cmd_nop", "77");
  t.m_InterleaveMap[0] = {{0, CMD | 1 << 16 | 3}, {1, 3}};
  ASSERT_EQ(t.insert_pr_cmd(out.data(), 0, 1, 1 << 16 | 70), 56u);
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 8), hdr(1, 0, 0, 1, 1));
  EXPECT_EQ(BYTES(out.begin() + 16, out.begin() + 24), hdr(0, 3, 0, 1, 77));
  EXPECT_EQ(BYTES(out.begin() + 48, out.begin() + 56), hdr(0, 3, 0, 1, 77));
}

TEST_F(PrThread, CramCommandFailures) {
  param().tk_flow = 1;
  BYTES out(256, 0);
  {
    VARNO_DC_THREAD t;
    prepare(t, {cram(7000)}, 64, 110);
    t.m_pr_frame_ranges[0] = range(0, 6999);
    t.m_stream_room = 256;
    EXPECT_INTERNAL_ERROR(t.insert_pr_cmd(out.data(), 0, 0, 10 << 16), "frame_count <= 0xFFFF");
  }
  param().tk_flow = 0;
  {
    // Row 301 does not fit the command's 8-bit row field.
    VARNO_DC_THREAD t;
    prepare(t, {cram(400)}, 1, 400);
    t.m_pr_frame_ranges[0] = range(300, 300);
    t.m_stream_room = 256;
    EXPECT_INTERNAL_ERROR(t.insert_pr_cmd(out.data(), 0, 0, 300),
                          "pr_row <= 0xFF && pr_col <= 0xFF");
  }
  {
    VARNO_DC_THREAD t;
    prepare(t, {cram(64, 0)}, 8, 8);
    t.m_pr_frame_ranges[0] = {{0, 1}, {8, 9}};
    t.m_stream_room = 256;
    EXPECT_INTERNAL_ERROR(t.insert_pr_cmd(out.data(), 0, 0, 8), "dr1 > 0");
    // The writer stops at the room it is given.
    t.m_stream_room = 31;
    EXPECT_INTERNAL_ERROR(t.insert_pr_cmd(out.data(), 0, 0, 0),
                          "Memory Corruption: stream room exceeded");
    t.set_generator(nullptr);
    EXPECT_INTERNAL_ERROR(t.insert_pr_cmd(out.data(), 0, 0, 0), "m_CompFrmHdrBlk != nullptr");
  }
}

// ---- ERAM commands ------------------------------------------------------------------------

TEST_F(PrThread, EramCommands) {
  VARNO_DC_THREAD t;
  prepare(t, {eram(64), eram(64)}, 4, 16);
  t.m_eram_cols[0] = t.m_eram_cols[1] = 4;
  t.m_pr_frame_ranges[0] = {{0, 1}, {5, 13}, {20, 0x8000 | 21}};
  t.m_pr_frame_ranges[1] = range(2, 2);
  t.m_eram_row_last_col[0] = {{1, 1}, {5, 1}};
  t.m_stream_room = 256;
  BYTES out(256, 0xEE);
  u32 info = 0xFFFF;
  // Not the first range: one delay header first.
  ASSERT_EQ(t.insert_eram_pr_cmd(out.data(), 0, 3, 5, info), 40u);
  BYTES expected = hdr(1, 3, 0, 0, 256);
  put(expected, hdr(3, 0, 0, 1, 3));
  put(expected, words({0x1014, 2 | 3 << 16, 0, 0}));
  put(expected, hdr(1, 3, 0, 2, 256));
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 40), expected);
  EXPECT_EQ(info, 0x101u);  // column 1, the last PR column of row 1

  // The first range of the first block has no preamble.
  ASSERT_EQ(t.insert_eram_pr_cmd(out.data(), 0, 0, 0, info), 32u);
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 8), hdr(3, 0, 0, 1, 3));
  EXPECT_EQ(info, 0u);
  // ... that of a later block two.
  ASSERT_EQ(t.insert_eram_pr_cmd(out.data(), 1, 1, 2, info), 48u);
  expected = hdr(1, 3, 0, 0, 256);
  put(expected, hdr(0, 3, 0, 1, 100));
  put(expected, hdr(3, 0, 0, 1, 3));
  put(expected, words({0x1014, 1 | 1 << 16, 0, 0}));
  put(expected, hdr(1, 3, 0, 0, 256));
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 48), expected);
  EXPECT_EQ(info, 2u);

  // A folded range and a frame inside a range write nothing but still
  // report their column.
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(t.insert_eram_pr_cmd(out.data(), 0, 0, 20, info), 0u);
  EXPECT_EQ(info, 0u);
  EXPECT_EQ(t.insert_eram_pr_cmd(out.data(), 0, 0, 21, info), 0u);
  EXPECT_EQ(info, 0x101u);
  EXPECT_EQ(out, BYTES(256, 0xEE));
}

TEST_F(PrThread, EramCommandsOfTheTkFlowUseTheThreadValue) {
  param().tk_flow = 1;
  VARNO_DC_THREAD t;
  prepare(t, {eram(64)}, 4, 16);
  t.m_eram_cols[0] = 4;
  t.m_pr_frame_ranges[0] = range(8, 8);
  t.m_stream_room = 64;
  BYTES out(64, 0);
  u32 info = 0;
  ASSERT_EQ(t.insert_eram_pr_cmd(out.data(), 0, 2, 8, info), 32u);
  EXPECT_EQ(BYTES(out.begin(), out.begin() + 8), hdr(3, 0, 0, 2, 3));
  EXPECT_EQ(BYTES(out.begin() + 24, out.begin() + 32), hdr(1, 3, 0, 2, 256));
  t.m_eram_cols[0] = 0;
  EXPECT_INTERNAL_ERROR(t.insert_eram_pr_cmd(out.data(), 0, 2, 8, info), "cols > 0");
}

// ---- The stream of a sparse CRAM thread -----------------------------------------------------

TEST_F(PrThread, SparseCramStreamCarriesCommandsAndMaskedFrames) {
  param().pr_mode = VARNO_QV_PR_SPARSE;
  param().tk_flow = 2;
  VARNO_DBLOCK* a = cram(16);
  VARNO_DBLOCK* b = cram(16);
  VARNO_DC_THREAD t;
  prepare(t, {a, b}, 16, 1);
  t.m_thread_type = 1;
  t.m_pr_frame_ranges[0] = range(0, 3, 1);
  t.m_pr_frame_ranges[1] = range(10, 11, 2);
  t.create_pr_mask(true);
  // As the group sizes it: one slot row per block, room for each command.
  t.m_DcThreadFrames = 2 * t.m_max_pr_slots;
  t.m_data_size = a->get_block_size() + b->get_block_size() + 2 * (8 + 48);
  ASSERT_TRUE(t.compress());

  BYTES expected = hdr(2, 0, 0, 0, 3);
  put(expected, words({0x1013, 1 | 0 << 8 | 4 << 16, 1, 0}));
  put(expected, hdr(0, 3, 0, 0, 1280));
  for (u32 f = 0; f < 4; ++f) put(expected, record({static_cast<u8>(f), 0xA1, 0, 0}, 0, 1, 0));
  put(expected, hdr(2, 0, 0, 1, 3));
  put(expected, words({0x1013, 1 | 8 << 8 | 4 << 16, 2, 0}));
  put(expected, hdr(0, 3, 0, 1, 1280));
  for (u32 f = 8; f < 12; ++f) put(expected, record({static_cast<u8>(f), 0xA2, 0, 0}, 0, 1, 1));
  EXPECT_EQ(inflate_raw(t.compressed_data(), t.compressed_size()), expected);
}

// ---- Through the group ----------------------------------------------------------------------

// The device of tests/data/group with both sectors framed: three CRAM frames
// per sector, one frame per IP row.
class PrGroup : public ::testing::Test, public GROUP_DEVICE {
 protected:
  PrGroup() : GROUP_DEVICE(BYTES(32, 0x5A), BYTES(32, 0x5A)) {}
  void SetUp() override { load(); }
};

TEST_F(PrGroup, RowModeCollectsCommonRows) {
  param().pr_mode = VARNO_QV_PR_ROW;
  auto g = both_sectors("CRAM");
  g->set_sector_frame_range(1, 1, 0, 0, 3, "CRAM", false);
  g->set_sector_frame_range(2, 2, 0, 1, 4, "CRAM", false);
  g->collect_data(false);
  const VARNO_DC_THREAD& t = g->thread(0);
  EXPECT_EQ(t.m_pr_frame_ranges[0], (RANGES{{1, 3u << 16 | 2}}));
  EXPECT_EQ(t.m_pr_frame_ranges[1], (RANGES{{1, 4u << 16 | 2}}));
  EXPECT_EQ(mask_frames(t.m_pr_masks[0]), (std::vector<u32>{1, 2}));
  EXPECT_EQ(mask_frames(t.m_pr_masks[1]), (std::vector<u32>{1, 2}));
}

TEST_F(PrGroup, RangesPastTheBlockAreRefused) {
  param().pr_mode = VARNO_QV_PR_ROW;
  auto g = both_sectors("CRAM");
  g->set_sector_frame_range(0, 5, 0, 0, 0, "CRAM", false);
  EXPECT_INTERNAL_ERROR(g->collect_data(false),
                        "PR frame range [0, 5] lies beyond the 3 frames of block #0");
  // One frame past the last, in either block; up to the last frame is taken.
  g = both_sectors("CRAM");
  g->set_sector_frame_range(2, 3, 0, 1, 0, "CRAM", false);
  EXPECT_INTERNAL_ERROR(g->collect_data(false),
                        "PR frame range [2, 3] lies beyond the 3 frames of block #1");
  g = both_sectors("CRAM");
  g->set_sector_frame_range(2, 2, 0, 1, 0, "CRAM", false);
  g->collect_data(false);
  EXPECT_EQ(mask_frames(g->thread(0).m_pr_masks[1]), (std::vector<u32>{2}));
}

}  // namespace
