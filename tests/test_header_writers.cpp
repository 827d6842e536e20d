// Header records written by field name into option-block layouts, and
// custom instruction frames with their CRC-16.
#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "generator_fixture.h"
#include "varno_eblock.h"
#include "varno_frame.h"
#include "varno_header_writers.h"
#include "varno_sblock.h"
#include "varno_test.h"
#include "vold.h"

namespace {

struct OPTION { u32 type, index, size; };

// A one-field header option block of words 32-bit words, the field covering
// the whole image in row order.
struct HEADER_BLOCK {
  VOLD_INFO info;
  std::unique_ptr<VARNO_SBLOCK> block;

  HEADER_BLOCK(u32 block_type, u32 dyn_type, u32 words, std::vector<OPTION> options) {
    info.create_family_info(4, 32);
    auto* entry = info.add_option_block(block_type, words, false, false);
    auto* field = info.add_dyn_data(entry, dyn_type, 0, 0, words * 32, 0xFFFFFFFF);
    for (const OPTION& o : options) info.add_ob_data(field, o.type, o.index, o.size);
    block = std::make_unique<VARNO_SBLOCK>(block_type, false, words, false, nullptr);
    block->add_dyn_data(field);
  }
  std::vector<u8> image() { return block_bytes(block.get()); }
};

HEADER_BLOCK cnt_block() {
  return HEADER_BLOCK(VOLD_BLOCK_CNT_HEADER, VOLD_DYN_DATA_CNT_HEADER, 2,
                      {{VOLD_OB_DATA_CNT_HDR_WRITE_OP, 0, 4},
                       {VOLD_OB_DATA_CNT_HDR_LEN, 4, 12},
                       {VOLD_OB_DATA_CNT_HDR_AREG, 16, 8},
                       {VOLD_OB_DATA_CNT_HDR_OFFSET, 24, 24},
                       {VOLD_OB_DATA_CNT_HDR_RSVD, 48, 16}});
}

}  // namespace

// ---- Header records -------------------------------------------------------------

TEST(HeaderWriters, CntFieldsLandAtTheirOptionBits) {
  HEADER_BLOCK h = cnt_block();
  std::vector<u8> dest(8, 0xFF);
  VARNO_HEADER_WRITERS::WriteCntBlock(h.block.get(), 0xA, 0x123, 0x45, 0x6789AB, 0, dest.data());
  // 0xFFFF 6789AB 45 123 A: the reserved bits keep the caller's 0xFF.
  EXPECT_EQ(dest, (std::vector<u8>{0x3A, 0x12, 0x45, 0xAB, 0x89, 0x67, 0xFF, 0xFF}));
  EXPECT_EQ(h.image(), std::vector<u8>(8, 0));  // the block's own image is not touched

  VARNO_HEADER_WRITERS::WriteCntBlock(h.block.get(), 0xA, 0x123, 0x45, 0x6789AB, 1, dest.data());
  EXPECT_EQ(dest, (std::vector<u8>{0x3A, 0x12, 0x45, 0xAB, 0x89, 0x67, 0x01, 0x00}));

  // Without dest the block's image receives the record; values keep only the
  // bits their field holds.
  VARNO_HEADER_WRITERS::WriteCntBlock(h.block.get(), 0x1F, 0, 0, 0, 0, nullptr);
  EXPECT_EQ(h.image(), (std::vector<u8>{0x0F, 0, 0, 0, 0, 0, 0, 0}));
}

// A block that is not an option block has no option fields: like a null
// block, it gets nothing written, into dest or anywhere.
TEST(HeaderWriters, NullOrNonOptionBlockWritesNothing) {
  VARNO_EBLOCK array;
  for (VARNO_IBLOCK* block : {static_cast<VARNO_IBLOCK*>(nullptr),
                              static_cast<VARNO_IBLOCK*>(&array)}) {
    std::vector<u8> dest(8, 0x5A);
    VARNO_HEADER_WRITERS::WriteCntBlock(block, 1, 2, 3, 4, 5, dest.data());
    VARNO_HEADER_WRITERS::WriteCnocBlock(block, 1, 2, 3, 4, 5, dest.data());
    VARNO_HEADER_WRITERS::WriteCompHdrBlock(block, 1, 2, 3, 4, 5, 6, 7, dest.data());
    VARNO_HEADER_WRITERS::WriteCompHdrDbgBlock(block, 1, 2, dest.data());
    VARNO_HEADER_WRITERS::WriteEramHdrBlock(block, 1, 2, 3, 4, nullptr);
    EXPECT_EQ(dest, std::vector<u8>(8, 0x5A));
  }
}

// Widths come from the block of each call: a second block of the same kind
// with other widths is written with its own.
TEST(HeaderWriters, EachBlockUsesItsOwnWidths) {
  HEADER_BLOCK wide = cnt_block();
  HEADER_BLOCK narrow(VOLD_BLOCK_CNT_HEADER, VOLD_DYN_DATA_CNT_HEADER, 1,
                      {{VOLD_OB_DATA_CNT_HDR_WRITE_OP, 0, 8},
                       {VOLD_OB_DATA_CNT_HDR_LEN, 8, 8},
                       {VOLD_OB_DATA_CNT_HDR_AREG, 16, 8},
                       {VOLD_OB_DATA_CNT_HDR_OFFSET, 24, 8}});
  std::vector<u8> first(8, 0);
  VARNO_HEADER_WRITERS::WriteCntBlock(wide.block.get(), 1, 2, 3, 4, 0, first.data());
  std::vector<u8> second(4, 0);
  VARNO_HEADER_WRITERS::WriteCntBlock(narrow.block.get(), 0x12, 0x34, 0x56, 0x78, 0,
                                      second.data());
  EXPECT_EQ(second, (std::vector<u8>{0x12, 0x34, 0x56, 0x78}));
  std::vector<u8> again(8, 0);
  VARNO_HEADER_WRITERS::WriteCntBlock(wide.block.get(), 0x12, 0x345, 0x67, 0x89ABCD, 0,
                                      again.data());
  EXPECT_EQ(again, (std::vector<u8>{0x52, 0x34, 0x67, 0xCD, 0xAB, 0x89, 0, 0}));
}

TEST(HeaderWriters, MissingFieldIsAnInternalError) {
  HEADER_BLOCK h(VOLD_BLOCK_CNT_HEADER, VOLD_DYN_DATA_CNT_HEADER, 2,
                 {{VOLD_OB_DATA_CNT_HDR_WRITE_OP, 0, 4}});
  std::vector<u8> dest(8, 0);
  EXPECT_INTERNAL_ERROR(
      VARNO_HEADER_WRITERS::WriteCntBlock(h.block.get(), 1, 2, 3, 4, 0, dest.data()),
      "block->write_option_bits(\"CNT_HDR_LEN\", \"CNT_HEADER\", (BYTE*)&len, len_size, dest) "
      "== VARNO_NO_ERROR");
  // A field of the wrong header kind.
  EXPECT_INTERNAL_ERROR(
      VARNO_HEADER_WRITERS::WriteEramHdrBlock(h.block.get(), 1, 2, 3, 4, dest.data()),
      "block->write_option_bits(\"ERAM_HDR_ADDR\", \"ERAM_HEADER\", (BYTE*)&addr, addr_size, "
      "dest) == VARNO_NO_ERROR");
}

TEST(HeaderWriters, CnocFields) {
  HEADER_BLOCK h(VOLD_BLOCK_CNOC_HEADER, VOLD_DYN_DATA_CNOC_HEADER, 1,
                 {{VOLD_OB_DATA_CNOC_HDR_SRC, 0, 4},
                  {VOLD_OB_DATA_CNOC_HDR_LEN, 4, 12},
                  {VOLD_OB_DATA_CNOC_HDR_MSG_TYPE, 16, 4},
                  {VOLD_OB_DATA_CNOC_HDR_X, 20, 6},
                  {VOLD_OB_DATA_CNOC_HDR_Y, 26, 6}});
  std::vector<u8> dest(4, 0);
  VARNO_HEADER_WRITERS::WriteCnocBlock(h.block.get(), 0x1, 0x234, 0x5, 0x3, 0x2A, dest.data());
  // y 101010, x 000011, type 0101, len 0x234, src 1
  EXPECT_EQ(dest, (std::vector<u8>{0x41, 0x23, 0x35, 0xA8}));
}

TEST(HeaderWriters, CompHeaderOptionalFieldsAndArgumentOrder) {
  HEADER_BLOCK h(VOLD_BLOCK_COMP_FRAME_HDR, VOLD_DYN_DATA_COMP_FRAME_HDR, 2,
                 {{VOLD_OB_DATA_COMP_HDR_CH, 0, 8},
                  {VOLD_OB_DATA_COMP_HDR_FRTYPE, 8, 8},
                  {VOLD_OB_DATA_COMP_HDR_ULEN, 16, 16},
                  {VOLD_OB_DATA_COMP_HDR_S4, 32, 4},
                  {VOLD_OB_DATA_COMP_HDR_THR, 36, 4},
                  {VOLD_OB_DATA_COMP_HDR_CHEXT, 40, 8},
                  {VOLD_OB_DATA_COMP_HDR_BANK, 48, 8},
                  {VOLD_OB_DATA_COMP_HDR_OLEN, 40, 16},
                  {VOLD_OB_DATA_COMP_HDR_FRNUM, 56, 8}});
  std::vector<u8> dest(8, 0xEE);
  // ch, f_type, s4, thr, len, ch_ext, bank
  VARNO_HEADER_WRITERS::WriteCompHdrBlock(h.block.get(), 0x11, 0x22, 0x3, 0x4, 0xBEEF, 0, 5,
                                          dest.data());
  EXPECT_EQ(dest, (std::vector<u8>{0x11, 0x22, 0xEF, 0xBE, 0x43, 0xEE, 0x05, 0xEE}));
  VARNO_HEADER_WRITERS::WriteCompHdrBlock(h.block.get(), 0x11, 0x22, 0x3, 0x4, 0xBEEF, 0x77, 0,
                                          dest.data());
  EXPECT_EQ(dest[5], 0x77);
  EXPECT_EQ(dest[6], 0x05);  // bank 0 leaves the field alone

  VARNO_HEADER_WRITERS::WriteCompHdrDbgBlock(h.block.get(), 0x1234, 0x56, dest.data());
  EXPECT_EQ(dest, (std::vector<u8>{0x11, 0x22, 0xEF, 0xBE, 0x43, 0x34, 0x12, 0x56}));
}

// A field wider than the 32-bit argument gets zeros above it: the value is
// never read past its four bytes.
TEST(HeaderWriters, EramFieldsWiderThanTheArgument) {
  HEADER_BLOCK h(VOLD_BLOCK_ERAM_HEADER, VOLD_DYN_DATA_ERAM_HEADER, 3,
                 {{VOLD_OB_DATA_ERAM_HDR_ADDR, 0, 40},
                  {VOLD_OB_DATA_ERAM_HDR_CMD, 40, 8},
                  {VOLD_OB_DATA_ERAM_HDR_SIZE, 48, 16},
                  {VOLD_OB_DATA_ERAM_HDR_RESERVED, 64, 32}});
  std::vector<u8> dest(12, 0xFF);
  VARNO_HEADER_WRITERS::WriteEramHdrBlock(h.block.get(), 0xDEADBEEF, 0x3C, 0x0102, 0, dest.data());
  EXPECT_EQ(dest, (std::vector<u8>{0xEF, 0xBE, 0xAD, 0xDE, 0x00, 0x3C, 0x02, 0x01, 0, 0, 0, 0}));

  // Wider than 64 bits and not whole bytes: the value's staging buffer is
  // its bits rounded up (100 bits: 13 bytes), and the fields after it land
  // mid-byte.
  HEADER_BLOCK wide(VOLD_BLOCK_ERAM_HEADER, VOLD_DYN_DATA_ERAM_HEADER, 4,
                    {{VOLD_OB_DATA_ERAM_HDR_ADDR, 0, 100},
                     {VOLD_OB_DATA_ERAM_HDR_CMD, 100, 8},
                     {VOLD_OB_DATA_ERAM_HDR_SIZE, 108, 16},
                     {VOLD_OB_DATA_ERAM_HDR_RESERVED, 124, 4}});
  dest.assign(16, 0xFF);
  VARNO_HEADER_WRITERS::WriteEramHdrBlock(wide.block.get(), 0xDEADBEEF, 0x3C, 0x0102, 0, dest.data());
  EXPECT_EQ(dest, (std::vector<u8>{0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x23, 0x10, 0x00}));
}

// Random CNT records against a plain model, bit by bit: a row-order field
// of a random place, size and word mask in a block of 1 to 4 words, options
// that reach past 32 bits or past the field's end (cut there), that overlap
// (the later one wins) and share bytes, written into a host buffer of
// random bytes and into the block's image, twice per block.
TEST(HeaderWriters, RandomRecordsMatchABitModel) {
  std::mt19937 rng(11);
  const auto pick = [&](u32 lo, u32 hi) { return std::uniform_int_distribution<u32>(lo, hi)(rng); };
  const u32 types[] = {VOLD_OB_DATA_CNT_HDR_WRITE_OP, VOLD_OB_DATA_CNT_HDR_LEN,
                       VOLD_OB_DATA_CNT_HDR_AREG, VOLD_OB_DATA_CNT_HDR_OFFSET,
                       VOLD_OB_DATA_CNT_HDR_RSVD};
  for (int round = 0; round < 3000; ++round) {
    const u32 words = pick(1, 4);
    const u32 mask = pick(0, 2) == 0 ? (pick(1, 0xFFFFFFFE) | 1u << pick(0, 31)) : 0xFFFFFFFF;
    std::vector<u32> pos;  // the mask's bits: the field's bits of each word
    for (u32 p = 0; p < 32; ++p)
      if ((mask >> p) & 1) pos.push_back(p);
    const u32 n = static_cast<u32>(pos.size());
    const u32 word = pick(0, words - 1);
    const u32 offset = pick(0, std::min<u32>(7, (words - word) * n - 1));
    const u32 field_bits = pick(1, (words - word) * n - offset);
    SCOPED_TRACE(testing::Message() << "round " << round << ": " << words << " words, mask "
                                    << mask << ", word " << word << ", offset " << offset
                                    << ", " << field_bits << " bits");

    VOLD_INFO info;
    info.create_family_info(4, 32);
    auto* entry = info.add_option_block(VOLD_BLOCK_CNT_HEADER, words, false, false);
    auto* field = info.add_dyn_data(entry, VOLD_DYN_DATA_CNT_HEADER, word, offset, field_bits, mask);
    u32 index[5];
    u32 size[5];
    for (int i = 0; i < 5; ++i) {
      index[i] = pick(0, field_bits - 1);
      size[i] = pick(1, pick(0, 3) == 0 ? 40 : 12);
      info.add_ob_data(field, types[i], index[i], size[i]);
    }
    VARNO_SBLOCK block(VOLD_BLOCK_CNT_HEADER, false, words, false, nullptr);
    block.add_dyn_data(field);

    for (int pass = 0; pass < 2; ++pass) {
      u32 values[5];
      for (u32& v : values) v = pick(0, 3) == 0 ? pick(0, 3) : static_cast<u32>(rng());
      const bool own_image = pick(0, 3) == 0;
      std::vector<u8> dest(u64{words} * 4);
      for (u8& b : dest) b = static_cast<u8>(rng());
      std::vector<u8> model = own_image ? block_bytes(&block) : dest;
      for (int i = 0; i < 5; ++i) {
        if (i == 4 && values[i] == 0) continue;  // the reserved field only when set
        for (u32 j = 0; j < size[i] && index[i] + j < field_bits; ++j) {
          const u32 m = offset + index[i] + j;
          const u32 bit = (word + m / n) * 32 + pos[m % n];
          const bool one = j < 32 && ((values[i] >> j) & 1) != 0;
          model[bit / 8] = static_cast<u8>(one ? model[bit / 8] | 1u << (bit % 8)
                                               : model[bit / 8] & ~(1u << (bit % 8)));
        }
      }
      VARNO_HEADER_WRITERS::WriteCntBlock(&block, values[0], values[1], values[2], values[3],
                                          values[4], own_image ? nullptr : dest.data());
      EXPECT_EQ(own_image ? block_bytes(&block) : dest, model) << "pass " << pass;
    }
  }
}

// ---- Custom instruction frames --------------------------------------------------

TEST(CustomInstruction, BareInstruction) {
  std::unique_ptr<VARNO_FRAME> f(
      VARNO_HEADER_WRITERS::create_custom_instruction(0x12345678, 4, false, 0, true, 0, true,
                                                      0xABCD));
  EXPECT_EQ(frame_bytes(*f), (std::vector<u8>{0x78, 0x56, 0x34, 0x12, 0xCD, 0xAB, 0xF9, 0x75}));
  ASSERT_EQ(f->segments().size(), 2u);
  EXPECT_EQ(f->segments()[0]->type(), VARNO_FRAME_SEGMENT_HEADER);
  EXPECT_EQ(f->segments()[1]->type(), VARNO_FRAME_SEGMENT_TRAILER);

  std::unique_ptr<VARNO_FRAME> z(
      VARNO_HEADER_WRITERS::create_custom_instruction(0, 4, false, 0, false, 0, false, 0));
  EXPECT_EQ(frame_bytes(*z), (std::vector<u8>{0, 0, 0, 0, 0, 0, 0x00, 0x1B}));
}

TEST(CustomInstruction, LengthCoreAndPadding) {
  std::unique_ptr<VARNO_FRAME> f(
      VARNO_HEADER_WRITERS::create_custom_instruction(0x10, 4, true, 2, false, 1, true, 0x0005));
  // The CRC 0x4145 covers the first 18 bytes, not the padding.
  EXPECT_EQ(frame_bytes(*f),
            (std::vector<u8>{0x10, 0, 0, 0, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                             0xFF, 0x05, 0x00, 0x45, 0x41, 0, 0, 0, 0}));
  ASSERT_EQ(f->segments().size(), 4u);
  EXPECT_EQ(f->segments()[1]->type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_EQ(f->segments()[3]->type(), VARNO_FRAME_SEGMENT_PADDING);
}

TEST(CustomInstruction, WideWords) {
  std::unique_ptr<VARNO_FRAME> f(VARNO_HEADER_WRITERS::create_custom_instruction(
      0xFFFFFFFF, 8, true, 1, true, 2, false, 0x1234));
  const std::vector<u8> expected = {
      0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0,  // address, instruction
      0, 0, 0, 0, 0, 0, 0, 0,                                        // core words
      0x34, 0x12, 0x1C, 0x7E, 0, 0, 0, 0,                            // filler, CRC-16
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,                // padding
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(frame_bytes(*f), expected);
}

// Narrower words cannot hold the address and the instruction with its CRC.
TEST(CustomInstruction, WordsBelowFourBytesAreRefused) {
  EXPECT_INTERNAL_ERROR(
      VARNO_HEADER_WRITERS::create_custom_instruction(0x1234, 2, true, 0, true, 0, true, 1),
      "w >= 4");
}
