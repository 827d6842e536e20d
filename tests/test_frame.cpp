// Frames and frame segments: serialised layout, clipped segment access,
// ownership and the dump's comment placement.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "generator_fixture.h"
#include "varno_frame.h"
#include "varno_test.h"

namespace {

// A segment holding the given bytes.
VARNO_FRAME_SEGMENT* make_segment(VARNO_FRAME_SEGMENT_TYPE type, const std::vector<u8>& bytes) {
  u8* buffer = new u8[bytes.size()];
  for (size_t i = 0; i < bytes.size(); ++i) buffer[i] = bytes[i];
  return new VARNO_FRAME_SEGMENT(type, static_cast<u32>(bytes.size()), buffer);
}

std::string dump_text(const VARNO_FRAME& frame, const std::string& comment,
                      VARNO_OUTPUT_FORMAT format = VARNO_OUTPUT_FORMAT_DAT) {
  return dumped([&](std::ofstream& s) { frame.dump(s, format, comment); });
}

// pre (8 bytes, itself with a 2-byte instruction before its 6-byte header),
// header 4, data 16, post 8: 36 bytes.
std::unique_ptr<VARNO_FRAME> layered_frame() {
  auto frame = std::make_unique<VARNO_FRAME>();
  auto* pre = new VARNO_FRAME();
  auto* nested = new VARNO_FRAME();
  nested->add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_HEADER, {0xE0, 0xE1}));
  pre->add_instruction(nested, true);
  pre->add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_HEADER, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
  frame->add_instruction(pre, true);
  auto* post = new VARNO_FRAME();
  post->add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_TRAILER, {0xC0, 0xC1, 0xC2, 0xC3}));
  post->add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_PADDING, {0xD0, 0xD1, 0xD2, 0xD3}));
  frame->add_instruction(post, false);
  frame->add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_HEADER, {0x10, 0x11, 0x12, 0x13}));
  std::vector<u8> data(16);
  for (u8 i = 0; i < 16; ++i) data[i] = static_cast<u8>(0x20 + i);
  frame->add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_DATA, data));
  return frame;
}

}  // namespace

TEST(FrameSegment, FillAndAdopt) {
  VARNO_FRAME_SEGMENT ones(VARNO_FRAME_SEGMENT_DATA, 5, false);
  VARNO_FRAME_SEGMENT zeros(VARNO_FRAME_SEGMENT_TRAILER, 5, true);
  for (u32 i = 0; i < 5; ++i) {
    EXPECT_EQ(ones.data()[i], 0xFF);
    EXPECT_EQ(zeros.data()[i], 0x00);
  }
  EXPECT_EQ(ones.type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_EQ(zeros.size(), 5u);

  u8* buffer = new u8[3]{1, 2, 3};
  VARNO_FRAME_SEGMENT adopted(VARNO_FRAME_SEGMENT_HEADER, 3, buffer);
  EXPECT_EQ(adopted.data(), buffer);  // not copied; released with the segment

  VARNO_FRAME_SEGMENT empty(VARNO_FRAME_SEGMENT_HEADER, 0, static_cast<BYTE*>(nullptr));
  EXPECT_EQ(empty.size(), 0u);
  // A null buffer claiming bytes would be read later.
  EXPECT_INTERNAL_ERROR(VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, 4, static_cast<BYTE*>(nullptr)),
                        "buffer != NULL || size == 0");
}

TEST(Frame, SerialisedLayout) {
  auto frame = layered_frame();
  EXPECT_EQ(frame->get_frame_size(), 36u);
  EXPECT_EQ(frame->get_total_instr_size(), 16u);
  const std::vector<u8> expected = {
      0xE0, 0xE1, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,                  // pre, nested first
      0x10, 0x11, 0x12, 0x13,                                          // header
      0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A,  // data
      0x2B, 0x2C, 0x2D, 0x2E, 0x2F,                                    //
      0xC0, 0xC1, 0xC2, 0xC3, 0xD0, 0xD1, 0xD2, 0xD3};                 // post
  EXPECT_EQ(frame_bytes(*frame), expected);
  EXPECT_FALSE(frame->m_command_flag);
  EXPECT_FALSE(frame->m_second_command_flag);
}

TEST(Frame, CapacityIsCheckedBeforeWriting) {
  auto frame = layered_frame();
  std::vector<u8> out(40, 0x55);
  EXPECT_EQ(frame->get_frame_data(out.data(), 35), 0u);
  for (u8 b : out) EXPECT_EQ(b, 0x55);
  EXPECT_EQ(frame->get_frame_data(out.data(), 36), 36u);
  EXPECT_EQ(out[36], 0x55);  // nothing past the frame

  VARNO_FRAME empty;
  EXPECT_EQ(empty.get_frame_size(), 0u);
  EXPECT_EQ(empty.get_frame_data_ptr(), nullptr);
  EXPECT_EQ(empty.get_frame_data(out.data(), 40), 0u);
  EXPECT_EQ(empty.get_frame_data(nullptr, 0), 0u);

  EXPECT_INTERNAL_ERROR(frame->get_frame_data(nullptr, 36), "dest != NULL");
}

TEST(Frame, FrameDataPointerIsTheFirstSegment) {
  VARNO_FRAME frame;
  frame.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_TRAILER, {9, 8}));
  frame.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_HEADER, {1}));
  EXPECT_EQ(frame.get_frame_data_ptr(), frame.get_segment(VARNO_FRAME_SEGMENT_TRAILER)->data());
}

TEST(Frame, LookupsSeeTheFirstSegmentOfAType) {
  VARNO_FRAME frame;
  frame.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_HEADER, {0}));
  frame.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_DATA, {1, 2, 3}));
  frame.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_DATA, {4, 5, 6, 7, 8}));
  EXPECT_EQ(frame.get_segment_size(VARNO_FRAME_SEGMENT_DATA), 3u);
  EXPECT_EQ(frame.get_segment_size(VARNO_FRAME_SEGMENT_EDCRC), 0u);
  EXPECT_EQ(frame.get_segment(VARNO_FRAME_SEGMENT_EDCRC), nullptr);

  EXPECT_EQ(frame.write_word_to_segment(VARNO_FRAME_SEGMENT_DATA, 0xBBAA, 1), 2u);
  u8 out[5] = {};
  EXPECT_EQ(frame.get_segment_data(VARNO_FRAME_SEGMENT_DATA, out, 5, 0), 3u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 0xAA);
  EXPECT_EQ(out[2], 0xBB);
  EXPECT_EQ(frame.segments()[2]->data()[0], 4);  // the second data segment is untouched
  EXPECT_EQ(frame.get_segment_data(VARNO_FRAME_SEGMENT_EDCRC, out, 5, 0), 0u);
}

// Copies are clipped at the segment's end; an offset at or past the end moves
// nothing, and no size or offset can reach past the segment.
TEST(Frame, ClippedSegmentAccess) {
  VARNO_FRAME frame;
  frame.add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, 8, true));
  const u8* seg = frame.get_segment(VARNO_FRAME_SEGMENT_DATA)->data();

  EXPECT_EQ(frame.write_dword_to_segment(VARNO_FRAME_SEGMENT_DATA, 0x11223344, 6), 2u);
  EXPECT_EQ(seg[6], 0x44);
  EXPECT_EQ(seg[7], 0x33);
  EXPECT_EQ(frame.write_dword_to_segment(VARNO_FRAME_SEGMENT_DATA, 0x11223344, 0), 4u);
  EXPECT_EQ(seg[0], 0x44);
  EXPECT_EQ(seg[3], 0x11);

  for (u32 offset : {8u, 9u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(frame.write_dword_to_segment(VARNO_FRAME_SEGMENT_DATA, 0xFFFFFFFF, offset), 0u);
    u8 out[4] = {0x66, 0x66, 0x66, 0x66};
    EXPECT_EQ(frame.get_segment_data(VARNO_FRAME_SEGMENT_DATA, out, 4, offset), 0u);
    EXPECT_EQ(out[0], 0x66);
  }
  // offset + size wraps in 32 bits; still clipped to the segment.
  std::vector<u8> out(8, 0);
  EXPECT_EQ(frame.get_segment_data(VARNO_FRAME_SEGMENT_DATA, out.data(), 0xFFFFFFFFu, 2), 6u);
  EXPECT_EQ(out[4], 0x44);
  const u8 src[2] = {0x99, 0x98};
  EXPECT_EQ(frame.write_segment_data(VARNO_FRAME_SEGMENT_DATA, src, 0xFFFFFFFEu, 6), 2u);
  EXPECT_EQ(seg[7], 0x98);
  EXPECT_EQ(frame.write_segment_data(VARNO_FRAME_SEGMENT_DATA, src, 0, 0), 0u);
  EXPECT_INTERNAL_ERROR(frame.get_segment_data(VARNO_FRAME_SEGMENT_DATA, nullptr, 1, 0),
                        "dest != NULL");
  EXPECT_INTERNAL_ERROR(frame.write_segment_data(VARNO_FRAME_SEGMENT_DATA, nullptr, 1, 0),
                        "src != NULL");
}

TEST(Frame, RefusesWhatItCannotOwn) {
  VARNO_FRAME frame;
  EXPECT_INTERNAL_ERROR(frame.add_frame_segment(nullptr), "segment != NULL");
  EXPECT_INTERNAL_ERROR(frame.add_instruction(nullptr, true), "instruction != NULL");
  EXPECT_INTERNAL_ERROR(frame.add_instruction(&frame, false), "instruction != this");
  EXPECT_EQ(frame.get_frame_size(), 0u);
}

TEST(FrameDump, CommentGoesWithTheFirstItem) {
  // Two segments: the comment only on the first; two bytes a line, the
  // second byte's digits first.
  VARNO_FRAME two;
  two.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_HEADER, {0x34, 0x12, 0xAB}));
  two.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_DATA, {0x01, 0x02}));
  EXPECT_EQ(dump_text(two, "blk"), "1234\t// blk\nAB\n0201\n");

  // With an instruction before, the instruction takes it.
  VARNO_FRAME with_pre;
  auto* pre = new VARNO_FRAME();
  pre->add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_HEADER, {0xEF, 0xBE}));
  with_pre.add_instruction(pre, true);
  with_pre.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_DATA, {0x01, 0x02}));
  EXPECT_EQ(dump_text(with_pre, "c"), "BEEF\t// c\n0201\n");
}

TEST(FrameDump, FrameWithoutBodyRepeatsCommentOnEveryPostInstruction) {
  VARNO_FRAME frame;
  for (u8 v : {0x11, 0x22}) {
    auto* post = new VARNO_FRAME();
    post->add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_HEADER, {v}));
    frame.add_instruction(post, false);
  }
  EXPECT_EQ(dump_text(frame, "x"), "11\t// x\n22\t// x\n");
}

// An empty segment shows no DAT line and leaves the comment for the next
// item; as bit text it is an empty line, like any empty buffer.
TEST(FrameDump, EmptySegment) {
  VARNO_FRAME frame;
  frame.add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_HEADER, 0, true));
  frame.add_frame_segment(make_segment(VARNO_FRAME_SEGMENT_DATA, {0x0F}));
  EXPECT_EQ(dump_text(frame, "cm"), "0F\t// cm\n");
  EXPECT_EQ(dump_text(frame, "cm", VARNO_OUTPUT_FORMAT_BIT_TEXT), "\n11110000\n");
  EXPECT_EQ(dump_text(frame, "cm", VARNO_OUTPUT_FORMAT_RAW), "");
  EXPECT_EQ(frame_bytes(frame), std::vector<u8>{0x0F});
}
