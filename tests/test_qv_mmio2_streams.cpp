// MMIO2 frame streams of the HIP MMIO manager on real sectors loaded from
// tests/data/mmio (see mmio_device.h for the records): sectors "f1" (grid
// (1, 0), WHR), "f6" ((2, 0), RNR), "fc" ((0, 1), GDR), "ir" ((1, 1), GDR,
// tile 9) and "jl" ((2, 1), RNR, tile 8). Their CRYPTO_MMIO block has
// 64-byte frames in address/data mode, so a trailer frame follows. An MMIO2
// frame opens with 28 bytes (mmio2_head), then the records; each record is
// (offset, length) and its bytes. Expected bytes are derived by hand.
#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "mmio_device.h"
#include "msg.h"
#include "pb.h"

namespace {

using SEGS = std::vector<VARNO_MMIO_SEG_INFO>;

class Mmio2Streams : public MmioTest {
 protected:
  // Sets the block's data and builds the sector.
  VARNO_DBLOCK* build(u32 x, u32 y, const char* name, BYTES& data) {
    return SECTOR_DEVICE::build(x, y, name, VARNO_BLOCK_DATA_HIP_MMIO, data);
  }
};

// ---- MMIO2: image segments ----------------------------------------------------------

TEST_F(Mmio2Streams, WhrCutsOneSegmentAcrossFrames) {
  // One segment [64, 164), F = 64: 28 data bytes per frame, then 16 bytes in
  // a 52-byte frame. Address/data mode: a trailer follows with word 0 = 5.
  BYTES data = counting(168);
  VARNO_DBLOCK* b = build(1, 0, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(1, 64), words({64, 28}), slice(data, 64, 28)}),
                                concat({mmio2_head(2, 64), words({92, 28}), slice(data, 92, 28)}),
                                concat({mmio2_head(3, 64), words({120, 28}), slice(data, 120, 28)}),
                                concat({mmio2_head(4, 52), words({148, 16}), slice(data, 148, 16)}),
                                words({5, 0, 0, 0})}));
  EXPECT_EQ(frame(b, 0)[0], 1);
  EXPECT_EQ(frame(b, 0)[1], 15);
  EXPECT_EQ(frame(b, 3)[1], 12);
  for (u32 i = 0; i < 5; ++i) EXPECT_FALSE(b->get_frame(i)->m_command_flag);
}

TEST_F(Mmio2Streams, WhrSingleSegmentFlag) {
  // Segments [64, 72) and [128, 136) fit one frame of 28 + 16 + 16 bytes.
  cfg_scoped_value size("varno_whr_mmio2_frame_size", "64");
  // The WHR tile has no interrupt waits whatever the RNR key says.
  cfg_scoped_value wait("varno_enable_rnr_mmio2_interrupt_wait", "on");
  BYTES data = counting(160);
  VARNO_DBLOCK* b = build(1, 0, "MMIO2", data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(1, 60), words({64, 8}), slice(data, 64, 8),
                                        words({128, 8}), slice(data, 128, 8)}),
                                words({2, 0, 0, 0})}));
  EXPECT_FALSE(hip(1, 0, "MMIO2")->interrupt_wait());

  cfg_scoped_value single("varno_mmio_single_segment", "on");
  EXPECT_TRUE(sector(1, 0)->do_all_blocks());
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(1, 44), words({64, 8}), slice(data, 64, 8)}),
                                concat({mmio2_head(2, 44), words({128, 8}), slice(data, 128, 8)}),
                                words({3, 0, 0, 0})}));
}

TEST_F(Mmio2Streams, SequenceByteWrapsAfter255Frames) {
  // One segment of 7200 bytes at F = 64: 257 frames of 28 bytes and one of 4.
  // Raw command mode: no trailer. Row 0 counts 1801 registers, so the data
  // holds one word past the segment.
  cfg_scoped_value size("varno_whr_mmio2_frame_size", "64");
  BYTES data = counting(7204);
  VARNO_DBLOCK* b = build(1, 0, "EHIP_MMIO", data);
  ASSERT_EQ(b->get_number_of_frames(), 258u);
  EXPECT_EQ(slice(frame(b, 254), 0, 4), words({0x0FFF}));
  EXPECT_EQ(slice(frame(b, 255), 0, 4), words({0x0F00}));
  EXPECT_EQ(slice(frame(b, 256), 0, 4), words({0x0F01}));
  EXPECT_EQ(frame(b, 257), concat({mmio2_head(2, 40), words({7196, 4}), slice(data, 7196, 4)}));
}

TEST_F(Mmio2Streams, MmioFrameSizeMustLeaveRoomForData) {
  BYTES data = counting(160);
  VARNO_DBLOCK* b = block(1, 0, "MMIO2");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 160 * 8, nullptr);
  // The block's own 16 bytes, 16 + 20 bytes, and a negative size.
  EXPECT_INTERNAL_ERROR(sector(1, 0)->do_all_blocks(), "mmio2_frame_size > m_header_bytes + 20");
  for (const char* size : {"36", "-64"}) {
    cfg_scoped_value key("varno_whr_mmio2_frame_size", size);
    EXPECT_INTERNAL_ERROR(sector(1, 0)->do_all_blocks(), "mmio2_frame_size > m_header_bytes + 20");
  }
  cfg_scoped_value key("varno_whr_mmio2_frame_size", "37");
  EXPECT_TRUE(sector(1, 0)->do_all_blocks());
  // One data byte per frame.
  EXPECT_EQ(b->get_number_of_frames(), 17u);
}

TEST_F(Mmio2Streams, SegmentsMustLieInTheUserData) {
  BYTES data = counting(160);  // the segment ends at 164
  VARNO_DBLOCK* b = block(1, 0, "CRYPTO_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 160 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(sector(1, 0)->do_all_blocks(),
                        "(seg_size + start_offset) <= user_data_size");
}

TEST(Mmio2StreamsDevice, SegmentOffsetDoesNotWrap) {
  // Word offset 0x40000000 is byte 2^32: in 32 bits it would read the
  // segment from byte 0.
  MMIO_DEVICE d;
  ASSERT_EQ(d.load({{"qv_sector_f1.ddb", "width=4 0 25 0x10 5", "width=4 0 25 0x40000000 5"}}), VARNO_PCF_OK);
  BYTES data = counting(168);
  d.block(1, 0, "CRYPTO_MMIO")->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 168 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(d.sector(1, 0)->do_all_blocks(),
                        "(seg_size + start_offset) <= user_data_size");
}

TEST_F(Mmio2Streams, RnrWritesRowsInTableOrderWithInterruptWaits) {
  // Rows [16, 24) then [0, 8).
  BYTES data = counting(24);
  VARNO_DBLOCK* b = build(2, 0, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(1, 60), words({16, 8}), slice(data, 16, 8),
                                        words({0, 8}), slice(data, 0, 8)}),
                                kInterruptWait, words({2, 0, 0, 0})}));
  EXPECT_FALSE(command(b, 0));
  EXPECT_TRUE(command(b, 1));
  EXPECT_FALSE(command(b, 2));

  // Frames of 44 bytes hold one record each.
  cfg_scoped_value size("varno_rnr_mmio2_frame_size", "44");
  EXPECT_TRUE(sector(2, 0)->do_all_blocks());
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(1, 44), words({16, 8}), slice(data, 16, 8)}),
                                kInterruptWait,
                                concat({mmio2_head(2, 44), words({0, 8}), slice(data, 0, 8)}),
                                kInterruptWait, words({3, 0, 0, 0})}));

  cfg_scoped_value wait("varno_enable_rnr_mmio2_interrupt_wait", "off");
  EXPECT_TRUE(sector(2, 0)->do_all_blocks());
  EXPECT_EQ(b->get_number_of_frames(), 3u);
}

TEST_F(Mmio2Streams, RangesMeetEveryRowInRowOrder) {
  // Rows [16, 24) then [0, 8). The range [4, 20) has a piece in both rows,
  // the second lying before the first; an empty range yields one empty
  // record where a row holds its start.
  BYTES data = counting(24);
  VARNO_DBLOCK* b = build(2, 0, "CRYPTO_MMIO", data);
  VARNO_QV_HIPMMIO_FRAME_MGR* m = hip(2, 0, "CRYPTO_MMIO");
  b->clear_frames();
  u32 count = 7;
  m->generate_mmio2_frames_from_addr_range(b, {{4, 20}, {6, 6}}, data.data(), 24, 2, 64, count);
  EXPECT_EQ(count, 8u);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(8, 60), words({16, 4}), slice(data, 16, 4),
                                        words({4, 4}), slice(data, 4, 4), words({6, 0})}),
                                kInterruptWait}));
  EXPECT_INTERNAL_ERROR(
      m->generate_mmio2_frames_from_addr_range(b, {{8, 4}}, data.data(), 24, 2, 64, count),
      "end_addr >= addr.start_offset");
  EXPECT_INTERNAL_ERROR(
      m->generate_mmio2_frames_from_addr_range(b, {{8, 30}}, data.data(), 24, 2, 64, count),
      "end_addr <= user_data_size");
  // The row [16, 24) ends past 20 bytes of data.
  EXPECT_INTERNAL_ERROR(
      m->generate_mmio2_frames_from_addr_range(b, {{0, 4}}, data.data(), 20, 2, 64, count),
      "valid_end_offset <= user_data_size");
}

TEST(Mmio2StreamsDevice, EmptyRowStartingInsideARangeIsItsFirstRecord) {
  // Rows [16, 24), [12, 12) and [0, 8). The empty row is the first piece of
  // [10, 14) and gives an empty record; after a range's first piece, and at
  // a range's start, it gives none.
  MMIO_DEVICE d;
  ASSERT_EQ(d.load({{"qv_sector_f6.ddb", "data 0 2 0 7", "data 5 5 3 7\ndata 0 2 0 7"}}), VARNO_PCF_OK);
  VARNO_DBLOCK* b = d.block(2, 0, "CRYPTO_MMIO");
  BYTES data = counting(24);
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 24 * 8, nullptr);
  u32 count = 0;
  d.hip(2, 0, "CRYPTO_MMIO")
      ->generate_mmio2_frames_from_addr_range(b, {{4, 20}, {10, 14}, {12, 14}}, data.data(), 24, 3,
                                              64, count);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(1, 60), words({16, 4}), slice(data, 16, 4),
                                        words({4, 4}), slice(data, 4, 4), words({12, 0})})}));
}

TEST_F(Mmio2Streams, Mmio2FrameLengthFitsSixteenBits) {
  // A frame of T bytes counts (T - 4) / 4 words in 16 bits: 0x40000 bytes
  // is the largest.
  cfg_scoped_value size("varno_whr_mmio2_frame_size", "64");
  BYTES data = counting(0x40000);
  VARNO_DBLOCK* b = build(1, 0, "MMIO2", data);
  VARNO_QV_HIPMMIO_FRAME_MGR* m = hip(1, 0, "MMIO2");
  b->clear_frames();
  u32 count = 0;
  m->generate_mmio2_frames(b, data.data(), {{0, 0x3FFDC}}, count, 0x40000);
  EXPECT_EQ(slice(frame(b, 0), 0, 4), words({0xFFFF01}));
  EXPECT_INTERNAL_ERROR(m->generate_mmio2_frames(b, data.data(), {{0, 0x3FFE0}}, count, 0x40004),
                        "data_len_words < 0x10000");
  // A piece past the user data, or records that do not fill the frame.
  EXPECT_INTERNAL_ERROR(m->generate_mmio2_frames(b, data.data(), {{0x3FFFC, 0x40004}}, count, 44),
                        "piece.end <= user_data_size");
  EXPECT_INTERNAL_ERROR(m->generate_mmio2_frames(b, data.data(), {{0, 8}}, count, 64),
                        "mmio2_frame_bytes == records_bytes");
  EXPECT_EQ(count, 1u);
}

// ---- MMIO2: GDR address ranges --------------------------------------------------------

const u32 kGdrBytes = 0x3100000;

TEST_F(Mmio2Streams, GdrAddressRangesInListOrder) {
  // A: [0x2000E0, 0x2000E4) and [0x2000E8, 0x2000F0) (list 6 cut out);
  // list 3: [0x2FF0004, +4); list 4: [0x2AC0004, +4), which lies before the
  // row of the list-3 piece; the separator; E: [0x2AC0000, +4),
  // [0x2AC0008, +8), [0x2FF0000, +4), [0x2FF0008, +4). Interrupt waits follow
  // every MMIO2 frame.
  BYTES data = counting(kGdrBytes);
  VARNO_DBLOCK* b = build(0, 1, "CRYPTO_MMIO", data);
  const std::vector<BYTES> expected = {
      concat({mmio2_head(1, 56),
              words({0x2000E0, 4}),
              {0xE0, 0xE1, 0xE2, 0xE3},
              words({0x2000E8, 8}),
              {0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF}}),
      kInterruptWait,
      concat({mmio2_head(2, 40), words({0x2FF0004, 4}), {4, 5, 6, 7}}),
      kInterruptWait,
      concat({mmio2_head(3, 40), words({0x2AC0004, 4}), {4, 5, 6, 7}}),
      kInterruptWait,
      kSeparator,
      concat({mmio2_head(4, 56),
              words({0x2AC0000, 4}),
              {0, 1, 2, 3},
              words({0x2AC0008, 8}),
              {8, 9, 10, 11, 12, 13, 14, 15}}),
      kInterruptWait,
      concat({mmio2_head(5, 52),
              words({0x2FF0000, 4}),
              {0, 1, 2, 3},
              words({0x2FF0008, 4}),
              {8, 9, 10, 11}}),
      kInterruptWait,
      words({6, 0, 0, 0})};
  EXPECT_EQ(frames(b), expected);
  EXPECT_TRUE(command(b, 6));
}

TEST_F(Mmio2Streams, GdrTileNineExcludesItsOwnRange) {
  // The segment [0x3061960, 0x30619B0) keeps [0x3061960, 0x306196C) and
  // [0x30619AC, 0x30619B0) around the tile-9 range [0x306196C, 0x30619AC).
  BYTES data = counting(kGdrBytes);
  VARNO_DBLOCK* b = build(1, 1, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b), (std::vector<BYTES>{kSeparator,
                                           concat({mmio2_head(1, 60),
                                                   words({0x3061960, 12}),
                                                   slice(data, 0x3061960, 12),
                                                   words({0x30619AC, 4}),
                                                   {0xAC, 0xAD, 0xAE, 0xAF}}),
                                           kInterruptWait, words({2, 0, 0, 0})}));
}

TEST_F(Mmio2Streams, GdrRangesMustLieInTheUserData) {
  BYTES data = counting(64);
  VARNO_DBLOCK* b = block(0, 1, "CRYPTO_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 64 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(sector(0, 1)->do_all_blocks(), "addr.start_offset < user_data_size");
}

TEST(Mmio2StreamsRanges, SkipAddrRangesBuildsTheGdrLists) {
  VARNO_QV_HIPMMIO_FRAME_MGR mgr;
  const SEGS a =
      mgr.skip_addr_ranges({{0x200000, 0x20FFFC}}, {{0x2000E4, 0x2000E8}, {0x2000F0, 0x200114}});
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(std::make_pair(a[0].start, a[0].end), std::make_pair(0x200000u, 0x2000E4u));
  EXPECT_EQ(std::make_pair(a[1].start, a[1].end), std::make_pair(0x2000E8u, 0x2000F0u));
  EXPECT_EQ(std::make_pair(a[2].start, a[2].end), std::make_pair(0x200114u, 0x20FFFCu));

  SEGS e = mgr.skip_addr_ranges({{0x2000000, 0x3100000}}, {{0x2AC0004, 0x2AC0008}});
  e = mgr.skip_addr_ranges(e, {{0x2C70054, 0x2C7008C},
                               {0x2D70054, 0x2D7008C},
                               {0x2E70054, 0x2E7008C},
                               {0x2F70054, 0x2F7008C},
                               {0x3061964, 0x306199C},
                               {0x30F0400, 0x30F0404}});
  e = mgr.skip_addr_ranges(e, {{0x2C72000, 0x2C85028},
                               {0x2D72000, 0x2D85028},
                               {0x2E72000, 0x2E85028},
                               {0x2F72000, 0x2F85028}});
  e = mgr.skip_addr_ranges(e, {{0x2CF0004, 0x2CF0008},
                               {0x2DF0004, 0x2DF0008},
                               {0x2EF0004, 0x2EF0008},
                               {0x2FF0004, 0x2FF0008}});
  ASSERT_EQ(e.size(), 16u);
  EXPECT_EQ(std::make_pair(e[0].start, e[0].end), std::make_pair(0x2000000u, 0x2AC0004u));
  EXPECT_EQ(std::make_pair(e[1].start, e[1].end), std::make_pair(0x2AC0008u, 0x2C70054u));
  EXPECT_EQ(std::make_pair(e[13].start, e[13].end), std::make_pair(0x2FF0008u, 0x3061964u));
  EXPECT_EQ(std::make_pair(e[15].start, e[15].end), std::make_pair(0x30F0404u, 0x3100000u));
  for (size_t i = 1; i < e.size(); ++i) EXPECT_LT(e[i - 1].end, e[i].start);
}

TEST(Mmio2StreamsRanges, SkipAddrRangesKeepsEmptyHalvesAndCountsSkips) {
  VARNO_QV_HIPMMIO_FRAME_MGR mgr;
  const SEGS r = mgr.skip_addr_ranges({{0, 10}}, {{0, 4}});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(std::make_pair(r[0].start, r[0].end), std::make_pair(0u, 0u));
  EXPECT_EQ(std::make_pair(r[1].start, r[1].end), std::make_pair(4u, 10u));
  const char* text =
      "The number of address range that need to be excluded does not match the actual number of "
      "address range that has been excluded.";
  // A skip inside no range, and one inside two.
  EXPECT_INTERNAL_ERROR(mgr.skip_addr_ranges({{0, 10}}, {{8, 12}}), text);
  EXPECT_INTERNAL_ERROR(mgr.skip_addr_ranges({{0, 10}, {0, 10}}, {{2, 4}}), text);
  EXPECT_TRUE(VARNO_QV_HIPMMIO_FRAME_MGR::compare_start_offset({1, 0}, {0x80000000u, 0}));
  EXPECT_FALSE(VARNO_QV_HIPMMIO_FRAME_MGR::compare_start_offset({0x80000000u, 0}, {1, 0}));
}

// ---- MMIO2: programming sequence ----------------------------------------------------

PB::BLOCK_SECTION* add_section(PB::BLOCKS_PROGRAMMING_SEQUENCE& seq, const std::string& name,
                               const std::string& type,
                               std::initializer_list<std::pair<u32, u32>> ranges) {
  PB::PROGRAMMING_SECTION* section = seq.add_sections();
  section->set_name(name);
  PB::BLOCK_SECTION* block = section->add_block_sections();
  block->set_type(type);
  for (const auto& [offset, length] : ranges) {
    PB::REGISTER_RANGE* range = block->add_register_ranges();
    range->set_offset(offset);
    range->set_length(length);
  }
  return block;
}

TEST_F(Mmio2Streams, GdrProgrammingSequenceWithSeparator) {
  // (0, 4), separator, (8, 2): a pack of [0, 16), the separator, a pack of
  // [32, 40), the frame counter going on.
  PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
  add_section(seq, "k3104a", "MMIO", {{0, 4}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {8, 2}});
  BYTES data = counting(64);
  VARNO_DBLOCK* b = block(0, 1, "CRYPTO_MMIO");
  b->set_programming_seq_vdata(&seq);
  DEBUG_LINES debug;
  build(0, 1, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(1, 52), words({0, 16}), slice(data, 0, 16)}),
                                kInterruptWait, kSeparator,
                                concat({mmio2_head(2, 44), words({32, 8}), slice(data, 32, 8)}),
                                kInterruptWait, words({3, 0, 0, 0})}));
  EXPECT_TRUE(debug.has("Block Section Type : MMIO"));
  EXPECT_TRUE(debug.has("Total number of mmio2 frames generated : 2"));

  // With the key off the GDR address ranges are written, which this data
  // does not reach.
  cfg_scoped_value key("varno_gdr_mmio2_frm_prog_seq", "off");
  EXPECT_INTERNAL_ERROR(sector(0, 1)->do_all_blocks(), "addr.start_offset < user_data_size");
}

TEST_F(Mmio2Streams, RnrProgrammingSequenceOfItsVariant) {
  // Tile 8 reads the section "k3117b" only; ranges in sequence order.
  PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
  add_section(seq, "k3117a", "MMIO", {{0, 1}});
  add_section(seq, "k3117b", "MMIO", {{2, 1}, {0, 1}});
  BYTES data = counting(16);
  VARNO_DBLOCK* b = block(2, 1, "CRYPTO_MMIO");
  b->set_programming_seq_vdata(&seq);
  build(2, 1, "CRYPTO_MMIO", data);
  EXPECT_EQ(frames(b),
            (std::vector<BYTES>{concat({mmio2_head(1, 52), words({8, 4}), slice(data, 8, 4),
                                        words({0, 4}), slice(data, 0, 4)}),
                                kInterruptWait, words({2, 0, 0, 0})}));
}

TEST_F(Mmio2Streams, ProgrammingSequenceFailures) {
  BYTES data = counting(16);
  VARNO_DBLOCK* b = block(2, 1, "CRYPTO_MMIO");
  b->set_data(VARNO_BLOCK_DATA_HIP_MMIO, data.data(), 16 * 8, nullptr);
  const auto run = [&](const PB::BLOCKS_PROGRAMMING_SEQUENCE& seq) {
    b->set_programming_seq_vdata(&seq);
    return sector(2, 1)->do_all_blocks();
  };
  {
    // No section of the variant: no MMIO2 frame, only the trailer.
    PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
    add_section(seq, "k3117a", "MMIO", {{0, 1}});
    EXPECT_TRUE(run(seq));
    EXPECT_EQ(frames(b), std::vector<BYTES>{words({1, 0, 0, 0})});
  }
  {
    PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
    add_section(seq, "k3117b", "CSR", {{0, 1}});
    EXPECT_INTERNAL_ERROR(run(seq), "Fail to locate the expected programming sequence for MMIO");
  }
  {
    PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
    add_section(seq, "k3117b", "MMIO", {{0, 1}});
    seq.mutable_sections(0)->add_block_sections()->set_type("MMIO");
    EXPECT_INTERNAL_ERROR(run(seq), "Fail to locate the expected programming sequence for MMIO");
  }
  // Outside the GDR tiles all ones is an ordinary range; and (0x3FFFFFFF, 2)
  // ends at byte 2^32 + 4, which 32 bits would take for byte 4.
  for (const std::pair<u32, u32>& range :
       {std::pair<u32, u32>{0xFFFFFFFFu, 0xFFFFFFFFu}, {0x3FFFFFFFu, 2}, {3, 2}}) {
    PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
    add_section(seq, "k3117b", "MMIO", {range});
    EXPECT_INTERNAL_ERROR(run(seq), "(seg_size + start_offset) <= user_data_size");
  }
}

}  // namespace
