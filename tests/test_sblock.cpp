// Option blocks: image layout, field placement, option access, shadow masks,
// processing with its CRC word, links and the dump text.
#include <array>
#include <fstream>
#include <memory>
#include <vector>

#include "files.h"
#include "generator_fixture.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "varno_test.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// Gives the tests the link update over a block list of their own.
class LINKED_SBLOCK : public VARNO_SBLOCK {
 public:
  using VARNO_SBLOCK::update_links_with;
  using VARNO_SBLOCK::VARNO_SBLOCK;
};

// A block that only has a size.
class SIZED_BLOCK : public VARNO_BLOCK {
 public:
  explicit SIZED_BLOCK(u32 size) : m_size(size) {}
  u32 get_block_size() override { return m_size; }
  void dump(std::ofstream&, VARNO_OUTPUT_FORMAT) override {}

 private:
  u32 m_size;
};

// Family records of one option block; the records stay owned by info.
struct FAMILY {
  VOLD_INFO info;
  VOLD_BLOCK_ENTRY* entry = nullptr;

  FAMILY(u32 words, bool crc) {
    info.create_family_info(4, 32);
    entry = info.add_option_block(VOLD_BLOCK_OPTION_BITS, words, crc, false);
  }
  VOLD_DYN_DATA* field(u32 type, u32 word, u32 offset, u32 size, u32 mask, bool column = false) {
    return info.add_dyn_data(entry, type, word, offset, size, mask, column);
  }
  std::unique_ptr<LINKED_SBLOCK> make(bool init_ones = false) {
    auto b = std::make_unique<LINKED_SBLOCK>(entry->block_type, entry->crc_flag != 0,
                                             entry->word_count, init_ones, nullptr);
    if (entry->const_list)
      for (auto* c : *entry->const_list) b->add_const_data(c);
    if (entry->dyn_list)
      for (auto* d : *entry->dyn_list) b->add_dyn_data(d);
    return b;
  }
};

// The option-bit block of a flat family: constant word 0, a 64-bit field at
// word 1 holding JTAG_ID (bits 0-31) and PGF_LENGTH (bits 32-47, linked).
struct OPTION_BITS_FAMILY : FAMILY {
  VOLD_DYN_DATA* ob_field;
  VOLD_OB_DATA* jtag;
  VOLD_OB_DATA* pgf;
  explicit OPTION_BITS_FAMILY(u32 link = 2, bool crc = true) : FAMILY(4, crc) {
    info.add_const_data(entry, 0, 0xA5A5A5A5);
    ob_field = field(VOLD_DYN_DATA_OPTION_BITS, 1, 0, 64, 0xFFFFFFFF);
    jtag = info.add_ob_data(ob_field, VOLD_OB_DATA_JTAG_ID, 0, 32, 0xCAFEBABE);
    pgf = info.add_ob_data(ob_field, VOLD_OB_DATA_PGF_LENGTH, 32, 16, 0, link);
  }
};

}  // namespace

// ---- Image, CRC word and dump ----------------------------------------------

TEST(SblockImage, ProcessedOptionBitsImageAndCrcWord) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  EXPECT_EQ(b->get_block_size(), 20u);
  EXPECT_EQ(b->crc_word(), 0u);
  EXPECT_TRUE(b->process(false));
  const std::vector<u8> expected = {0xA5, 0xA5, 0xA5, 0xA5, 0xBE, 0xBA, 0xFE, 0xCA, 0, 0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0x99, 0xA0};
  EXPECT_EQ(block_bytes(*b), expected);
  EXPECT_EQ(b->crc_word(), 0xA0990000u);
  EXPECT_EQ(b->block_type(), u32{VOLD_BLOCK_OPTION_BITS});
  EXPECT_EQ(b->get_dword_data(1), 0xCAFEBABEu);
}

TEST(SblockImage, FillerGoesIntoTheCrcWord) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  b->set_random_filler(0x1234);
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(b->crc_word(), 0x6D0F1234u);
  const auto bytes = block_bytes(*b);
  EXPECT_EQ(std::vector<u8>(bytes.begin() + 16, bytes.end()),
            (std::vector<u8>{0x34, 0x12, 0x0F, 0x6D}));
}

TEST(SblockImage, WithoutCrcTheBlockIsTheImage) {
  OPTION_BITS_FAMILY fam(2, false);
  auto b = fam.make(true);
  EXPECT_EQ(b->get_block_size(), 16u);
  EXPECT_EQ(block_bytes(*b), std::vector<u8>(16, 0xFF));  // all ones before processing
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(b->get_dword_data(2), 0xFFFF0000u);  // PGF_LENGTH 0, the rest of the fill kept
  EXPECT_EQ(b->crc_word(), 0u);
}

TEST(SblockImage, SkippedBlockChangesNothing) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  b->set_skip_processing();
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(block_bytes(*b), std::vector<u8>(20, 0));
}

TEST(SblockImage, ConstantOutsideImageFailsButCrcIsStillComputed) {
  OPTION_BITS_FAMILY fam;
  fam.info.add_const_data(fam.entry, 4, 0x11223344);  // word 4 of a 4-word image
  auto b = fam.make();
  EXPECT_FALSE(b->process(false));
  EXPECT_EQ(b->get_dword_data(0), 0xA5A5A5A5u);
  EXPECT_EQ(b->get_dword_data(1), 0u);       // defaults not written
  EXPECT_EQ(b->crc_word(), 0x28F60000u);     // CRC-16 of A5A5A5A5 and zeros
}

TEST(SblockImage, DwordReadOutsideImageIsRefused) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  EXPECT_EQ(b->get_dword_data(3), 0u);
  EXPECT_INTERNAL_ERROR(b->get_dword_data(4), "offset * sizeof(DWORD) < m_block_length");
}

TEST(SblockDump, DatLinesOfImageAndCrc) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  ASSERT_TRUE(b->process(false));
  EXPECT_EQ(dump_text(*b, VARNO_OUTPUT_FORMAT_DAT),
            "A5A5\t// OPTION_BITS  - 20 Bytes\nA5A5\nBABE\nCAFE\n0000\n0000\n0000\n0000\n"
            "0000\nA099\n");
}

TEST(SblockDump, EmptyImageIsSkipped) {
  FAMILY with_crc(0, true);
  auto b = with_crc.make();
  ASSERT_TRUE(b->process(false));
  EXPECT_EQ(b->crc_word(), 0xB0010000u);  // CRC-16 of the two filler bytes alone
  EXPECT_EQ(dump_text(*b, VARNO_OUTPUT_FORMAT_DAT), "0000\nB001\n");
  FAMILY without_crc(0, false);
  auto e = without_crc.make();
  EXPECT_EQ(dump_text(*e, VARNO_OUTPUT_FORMAT_DAT), "");
  // As bit text an empty buffer is a lone newline; the CRC word its own line.
  EXPECT_EQ(dump_text(*e, VARNO_OUTPUT_FORMAT_BIT_TEXT), "\n");
  EXPECT_EQ(dump_text(*b, VARNO_OUTPUT_FORMAT_BIT_TEXT),
            "\n00000000000000001000000000001101\n");
}

// ---- Placement ---------------------------------------------------------------

TEST(SblockPlacement, RowOrderSparseMask) {
  FAMILY fam(4, false);
  // Positions 0-3 and 12-15 of each word; the field starts at position index 2.
  fam.field(VOLD_DYN_DATA_OPTION_BITS, 1, 2, 10, 0x0000F00F);
  auto b = fam.make();
  const u8 ones[2] = {0xFF, 0x03};
  EXPECT_EQ(b->write_dyn_value("OPTION_BITS", ones, 0, 10, nullptr), 10u);
  EXPECT_EQ(b->get_dword_data(1), 0x0000F00Cu);
  EXPECT_EQ(b->get_dword_data(2), 0x0000000Fu);

  const u8 pattern[2] = {0x5A, 0x02};  // 10 0101 1010
  EXPECT_EQ(b->write_dyn_value("OPTION_BITS", pattern, 0, 10, nullptr), 10u);
  u8 back[2] = {0, 0};
  EXPECT_EQ(b->read_dyn_value("OPTION_BITS", back, 0, 10), 10u);
  EXPECT_EQ(back[0], 0x5A);
  EXPECT_EQ(back[1], 0x02);
}

TEST(SblockPlacement, ColumnOrder) {
  FAMILY fam(4, false);
  fam.field(VOLD_DYN_DATA_OPTION_BITS, 1, 0, 6, 0x3, true);
  auto b = fam.make();
  const u8 value = 0x2D;  // 101101
  EXPECT_EQ(b->write_dyn_value("OPTION_BITS", &value, 0, 6, nullptr), 6u);
  EXPECT_EQ(block_bytes(*b), (std::vector<u8>{0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}));
  u8 back = 0;
  EXPECT_EQ(b->read_dyn_value("OPTION_BITS", &back, 0, 6), 6u);
  EXPECT_EQ(back, 0x2D);
  // From field bit 2 on: bits 2..5 of the field.
  back = 0;
  EXPECT_EQ(b->read_dyn_value("OPTION_BITS", &back, 2, 4), 4u);
  EXPECT_EQ(back, 0x0B);
}

TEST(SblockPlacement, FullMaskIsOneRun) {
  FAMILY fam(4, false);
  fam.field(VOLD_DYN_DATA_OPTION_BITS, 1, 3, 40, 0xFFFFFFFF);
  auto b = fam.make();
  const u8 value[3] = {0xDE, 0xBC, 0x0A};
  EXPECT_EQ(b->write_dyn_value("OPTION_BITS", value, 5, 20, nullptr), 20u);
  // Field bits 5..24 are word bits 8..27.
  EXPECT_EQ(b->get_dword_data(1), 0x0ABCDE00u);
  // A caller's buffer laid out like the image receives the same bits.
  std::vector<u8> dest(16, 0);
  EXPECT_EQ(b->write_dyn_value("OPTION_BITS", value, 5, 20, dest.data()), 20u);
  EXPECT_EQ(dest, block_bytes(*b));
}

TEST(SblockPlacement, WriteRunningPastFieldEndIsCut) {
  FAMILY fam(4, false);
  fam.field(VOLD_DYN_DATA_OPTION_BITS, 1, 0, 10, 0xFFFFFFFF);
  auto b = fam.make();
  const u8 ones = 0xFF;
  EXPECT_EQ(b->write_dyn_value("OPTION_BITS", &ones, 6, 8, nullptr), 4u);
  EXPECT_EQ(b->get_dword_data(1), 0x3C0u);
  EXPECT_EQ(b->write_dyn_value("OPTION_BITS", &ones, 10, 1, nullptr), 0u);
  EXPECT_EQ(b->write_dyn_value("NO_SUCH_FIELD", &ones, 0, 1, nullptr), 0u);
  EXPECT_EQ(b->get_dyn_value_size("OPTION_BITS"), 10u);
  EXPECT_EQ(b->get_dyn_value_size("CNT_HEADER"), 0u);
}

// Fields that do not fit are refused before any byte is touched; each of
// these would write outside the 16-byte image, divide by zero or index past
// the mask positions otherwise.
TEST(SblockPlacement, FieldsOutsideTheImageAreRefused) {
  const u8 value[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  u8 out[8] = {};
  for (u32 mask : {0xFFFFFFFFu, 0x0000FFFFu}) {
    // Up to the image's last bit, as one run and bit by bit, into the image
    // and into a host buffer of the image's length.
    FAMILY fam(4, false);
    fam.field(VOLD_DYN_DATA_OPTION_BITS, mask == 0xFFFFFFFF ? 3 : 2, 0, 32, mask);
    auto b = fam.make();
    EXPECT_EQ(b->write_dyn_value("OPTION_BITS", value, 0, 32, nullptr), 32u);
    std::vector<u8> dest(16, 0);
    EXPECT_EQ(b->write_dyn_value("OPTION_BITS", value, 0, 32, dest.data()), 32u);
    EXPECT_EQ(dest, block_bytes(*b));
    EXPECT_EQ(b->read_dyn_value("OPTION_BITS", out, 0, 32), 32u);
    EXPECT_EQ(block_bytes(*b)[15], mask == 0xFFFFFFFF ? 0xFF : 0x00);
    EXPECT_EQ(block_bytes(*b)[13], 0xFF);
  }
  {
    FAMILY fam(4, false);  // one run from bit 112 to bit 143
    fam.field(VOLD_DYN_DATA_OPTION_BITS, 3, 16, 32, 0xFFFFFFFF);
    auto b = fam.make();
    EXPECT_INTERNAL_ERROR(b->write_dyn_value("OPTION_BITS", value, 0, 32, nullptr),
                          "dest_base_address < m_block_length");
    std::vector<u8> dest(16, 0);
    EXPECT_INTERNAL_ERROR(b->write_dyn_value("OPTION_BITS", value, 0, 32, dest.data()),
                          "dest_base_address < m_block_length");
    EXPECT_INTERNAL_ERROR(b->read_dyn_value("OPTION_BITS", out, 0, 32),
                          "src_base_address < m_block_length");
    EXPECT_EQ(block_bytes(*b), std::vector<u8>(16, 0));
  }
  {
    FAMILY fam(4, false);  // bit by bit: bit 1 lies in word 4
    fam.field(VOLD_DYN_DATA_OPTION_BITS, 3, 0, 4, 0x1);
    auto b = fam.make();
    EXPECT_INTERNAL_ERROR(b->write_dyn_value("OPTION_BITS", value, 0, 4, nullptr),
                          "dest_base_address < m_block_length");
    EXPECT_EQ(b->get_dword_data(3), 0u);  // nothing written before the refusal
    EXPECT_INTERNAL_ERROR(b->read_dyn_value("OPTION_BITS", out, 0, 4),
                          "src_base_address < m_block_length");
  }
  {
    FAMILY fam(4, false);
    fam.field(VOLD_DYN_DATA_OPTION_BITS, 1, 0, 8, 0);
    auto b = fam.make();
    EXPECT_INTERNAL_ERROR(b->write_dyn_value("OPTION_BITS", value, 0, 8, nullptr),
                          "word_mask != 0");
  }
  {
    FAMILY fam(4, false);  // column order starting at the image end
    fam.field(VOLD_DYN_DATA_OPTION_BITS, 4, 0, 2, 0x3, true);
    auto b = fam.make();
    EXPECT_INTERNAL_ERROR(b->write_dyn_value("OPTION_BITS", value, 0, 2, nullptr),
                          "word_index < image_words");
    EXPECT_INTERNAL_ERROR(b->read_dyn_value("OPTION_BITS", out, 0, 2),
                          "word_index < image_words");
  }
  {
    FAMILY fam(4, false);  // two words of one position hold only 2 of 5 bits
    fam.field(VOLD_DYN_DATA_OPTION_BITS, 2, 0, 5, 0x1, true);
    auto b = fam.make();
    EXPECT_INTERNAL_ERROR(b->write_dyn_value("OPTION_BITS", value, 0, 5, nullptr),
                          "mask_index < mask_bit_count");
    EXPECT_EQ(block_bytes(*b), std::vector<u8>(16, 0));
  }
  {
    // A field size far beyond the image (a damaged record) is refused
    // before anything is sized from it.
    FAMILY fam(4, false);
    fam.field(VOLD_DYN_DATA_OPTION_BITS, 1, 0, 0xFFFFFFFF, 0x1);
    auto b = fam.make();
    EXPECT_INTERNAL_ERROR(b->write_dyn_value("OPTION_BITS", value, 0, 0xFFFFFFFF, nullptr),
                          "dest_base_address < m_block_length");
    EXPECT_INTERNAL_ERROR(b->read_dyn_value("OPTION_BITS", out, 0, 0xFFFFFFFF),
                          "src_base_address < m_block_length");
    EXPECT_EQ(block_bytes(*b), std::vector<u8>(16, 0));
  }
  {
    // process reaches the same checks through the defaults.
    FAMILY fam(4, false);
    auto* f = fam.field(VOLD_DYN_DATA_OPTION_BITS, 3, 16, 32, 0xFFFFFFFF);
    fam.info.add_ob_data(f, VOLD_OB_DATA_JTAG_ID, 0, 32, 0x1);
    auto b = fam.make();
    EXPECT_INTERNAL_ERROR(b->process(false), "dest_base_address < m_block_length");
  }
}

// ---- Options -----------------------------------------------------------------

TEST(SblockOptions, WriteResultCodes) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  const u8 value[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(b->write_option_bits("PGF_LENGTH", "OPTION_BITS", value, 16, nullptr),
            VARNO_NO_ERROR);
  EXPECT_EQ(b->get_dword_data(2), 0x0000FFFFu);
  EXPECT_EQ(b->write_option_bits("PGF_LENGTH", "OPTION_BITS", value, 17, nullptr),
            VARNO_ERROR_OB_SIZE);
  EXPECT_EQ(b->write_option_bits("CHECK_ID", "OPTION_BITS", value, 1, nullptr),
            VARNO_ERROR_OB_NOT_FOUND);
  EXPECT_EQ(b->write_option_bits("PGF_LENGTH", "CNT_HEADER", value, 1, nullptr),
            VARNO_ERROR_OB_NOT_FOUND);
  // Only the given bits change; the rest of the option keeps its value.
  const u8 zero = 0;
  EXPECT_EQ(b->write_option_bits("PGF_LENGTH", "OPTION_BITS", &zero, 4, nullptr),
            VARNO_NO_ERROR);
  EXPECT_EQ(b->get_dword_data(2), 0x0000FFF0u);
}

TEST(SblockOptions, ReadsAndInfo) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  ASSERT_TRUE(b->process(false));
  u8 out[4] = {};
  EXPECT_EQ(b->read_option_bits("JTAG_ID", "OPTION_BITS", out, 32), 32u);
  EXPECT_EQ(out[0], 0xBE);
  EXPECT_EQ(out[3], 0xCA);
  // A read longer than the option runs on to the field's end.
  EXPECT_EQ(b->read_option_bits("PGF_LENGTH", "OPTION_BITS", out, 40), 32u);
  EXPECT_EQ(b->read_option_bits("CHECK_ID", "OPTION_BITS", out, 8), 0u);

  u32 index = 7, second = 7, size = 7;
  EXPECT_EQ(b->get_option_info("PGF_LENGTH", "OPTION_BITS", index, second, size), 16u);
  EXPECT_EQ(index, 32u);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(size, 16u);
  index = second = size = 7;
  EXPECT_EQ(b->get_option_info("CHECK_ID", "OPTION_BITS", index, second, size), 0u);
  EXPECT_EQ(index + second + size, 0u);
  EXPECT_EQ(b->get_option_index("PGF_LENGTH", "OPTION_BITS"), 32u);
  EXPECT_EQ(b->get_option_index("CHECK_ID", "OPTION_BITS"), 0u);
  EXPECT_EQ(b->get_ob_data_by_name("JTAG_ID", "OPTION_BITS"), fam.jtag);
  EXPECT_EQ(b->get_dyn_data_by_name("OPTION_BITS"), fam.ob_field);
}

// ---- Shadow masks -------------------------------------------------------------

TEST(SblockShadowMask, ProtectsHostValuesAcrossProcess) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  const u8 jtag[4] = {0x78, 0x56, 0x34, 0x12};
  const u8 pgf[2] = {0xEF, 0xBE};
  ASSERT_EQ(b->write_option_bits("JTAG_ID", "OPTION_BITS", jtag, 32, nullptr), VARNO_NO_ERROR);
  ASSERT_EQ(b->write_option_bits("PGF_LENGTH", "OPTION_BITS", pgf, 16, nullptr), VARNO_NO_ERROR);
  {
    // The block keeps its own copy: the host's buffer is gone before process.
    auto mask = std::make_unique<u8[]>(4);
    std::fill_n(mask.get(), 4, 0xFF);
    b->set_option_shadow_mask("OPTION_BITS", mask.get(), 32);
  }
  const u8 none[8] = {};
  b->set_option_shadow_mask("OPTION_BITS", none, 64);  // the first mask stays
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(b->get_dword_data(1), 0x12345678u);  // protected
  EXPECT_EQ(b->get_dword_data(2), 0u);           // index 32 is not below the mask's 32 bits
}

TEST(SblockShadowMask, PartlySetMaskDoesNotProtect) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  const u8 jtag[4] = {0x78, 0x56, 0x34, 0x12};
  ASSERT_EQ(b->write_option_bits("JTAG_ID", "OPTION_BITS", jtag, 32, nullptr), VARNO_NO_ERROR);
  const u8 mask[8] = {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
  b->set_option_shadow_mask("OPTION_BITS", mask, 64);
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(b->get_dword_data(1), 0xCAFEBABEu);
}

TEST(SblockShadowMask, NeverReadsPastTheMaskBits) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  const u8 jtag[4] = {0x78, 0x56, 0x34, 0x12};
  ASSERT_EQ(b->write_option_bits("JTAG_ID", "OPTION_BITS", jtag, 32, nullptr), VARNO_NO_ERROR);
  // One byte of mask: JTAG_ID starts inside it but ends past it, so its
  // other bits are unknown and it is not protected.
  auto mask = std::make_unique<u8[]>(1);
  mask[0] = 0xFF;
  b->set_option_shadow_mask("OPTION_BITS", mask.get(), 8);
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(b->get_dword_data(1), 0xCAFEBABEu);
}

// A 12-bit option that starts in a one-byte mask and ends in the byte after
// it: its last bits are unknown, so it is not protected, and the byte after
// the mask is never read.
TEST(SblockShadowMask, AnOptionEndingInTheByteAfterTheMaskIsNotProtected) {
  FAMILY fam(4, false);
  VOLD_DYN_DATA* f = fam.field(VOLD_DYN_DATA_OPTION_BITS, 1, 0, 32, 0xFFFFFFFF);
  fam.info.add_ob_data(f, VOLD_OB_DATA_JTAG_ID, 0, 12, 0xABC);
  auto b = fam.make();
  const u8 host[4] = {0xAA, 0xBB, 0xCC, 0xDD};
  EXPECT_EQ(b->write_dyn_value("OPTION_BITS", host, 0, 32, nullptr), 32u);
  const u8 mask[1] = {0xFF};
  b->set_option_shadow_mask("OPTION_BITS", mask, 8);
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(b->get_dword_data(1) & 0xFFFu, 0xABCu);
}

// Options at bits 0-7 and 8-31 of a 32-bit field; the host wrote its own
// values into both.
TEST(SblockShadowMask, ReadsAtMostTheFieldAndProtectsFromTheStartBit) {
  const auto run = [](u32 mask_bytes, u32 bits) {
    FAMILY fam(4, false);
    VOLD_DYN_DATA* f = fam.field(VOLD_DYN_DATA_OPTION_BITS, 1, 0, 32, 0xFFFFFFFF);
    fam.info.add_ob_data(f, VOLD_OB_DATA_JTAG_ID, 0, 8, 0x11);
    fam.info.add_ob_data(f, VOLD_OB_DATA_PGF_LENGTH, 8, 24, 0x222222);
    auto b = fam.make();
    const u8 host[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(b->write_dyn_value("OPTION_BITS", host, 0, 32, nullptr), 32u);
    auto mask = std::make_unique<u8[]>(mask_bytes);  // exact size: ASan sees any over-read
    std::fill_n(mask.get(), mask_bytes, 0xFF);
    b->set_option_shadow_mask("OPTION_BITS", mask.get(), bits);
    EXPECT_TRUE(b->process(false));
    return b->get_dword_data(1);
  };
  // A whole-field mask with a count past the field: both protected, and the
  // fifth byte is never read.
  EXPECT_EQ(run(4, 33), 0xDDCCBBAAu);
  // A count of 4: the option at bits 0-7 starts below it and its mask bits
  // are set, so it is protected; the one at bit 8 is not.
  EXPECT_EQ(run(1, 4), 0x222222AAu);
}

TEST(SblockShadowMask, ArgumentChecks) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  b->set_option_shadow_mask("CNT_HEADER", nullptr, 0);  // no such field: nothing happens
  const u8 mask = 0xFF;
  EXPECT_INTERNAL_ERROR(b->set_option_shadow_mask("OPTION_BITS", &mask, 0), "bit_size > 0");
}

// ---- Links ---------------------------------------------------------------------

TEST(SblockLinks, SizesOfLinkedBlocksInConfigurationWords) {
  OPTION_BITS_FAMILY fam;  // PGF_LENGTH linked to block index 1
  auto b = fam.make();
  ASSERT_TRUE(b->process(false));
  SIZED_BLOCK data(16);
  std::vector<VARNO_IBLOCK*> blocks = {b.get(), &data};
  b->update_links_with(2, [&](u32 i) { return blocks.at(i); });
  EXPECT_EQ(b->get_dword_data(2), 4u);
  EXPECT_EQ(b->crc_word(), 0xA0990000u);  // left to crc_update
  b->crc_update();
  EXPECT_EQ(b->crc_word(), 0x75D80000u);
}

TEST(SblockLinks, SelfLinkCountsTheCrcWord) {
  OPTION_BITS_FAMILY fam(1);
  auto b = fam.make();
  ASSERT_TRUE(b->process(false));
  b->update_links_with(1, [&](u32) -> VARNO_IBLOCK* { return b.get(); });
  EXPECT_EQ(b->get_dword_data(2), 5u);  // 20 bytes
  b->crc_update();
  EXPECT_EQ(b->crc_word(), 0xB0890000u);
}

TEST(SblockLinks, LinksThatCannotApply) {
  OPTION_BITS_FAMILY fam(0x00010002);  // blocks 2 and 3
  auto b = fam.make();
  ASSERT_TRUE(b->process(false));
  SIZED_BLOCK data(16);
  std::vector<VARNO_IBLOCK*> blocks = {b.get(), &data};
  b->update_links_with(2, [&](u32 i) { return blocks.at(i); });
  EXPECT_EQ(b->get_dword_data(2), 0u);  // beyond the last block: left alone

  OPTION_BITS_FAMILY zero_first(0x00010000);
  auto z = zero_first.make();
  ASSERT_TRUE(z->process(false));
  EXPECT_INTERNAL_ERROR(z->update_links_with(2, [&](u32 i) { return blocks.at(i); }),
                        "lblock > 0");

  // A block made outside a generator has no blocks to link to.
  OPTION_BITS_FAMILY self(1);
  auto s = self.make();
  ASSERT_TRUE(s->process(false));
  s->update_links();
  EXPECT_EQ(s->get_dword_data(2), 0u);
}

// A 48-bit linked option receives the size zero-extended, never bytes past
// the 32-bit count.
TEST(SblockLinks, WideLinkedOption) {
  FAMILY fam(4, true);
  auto* f = fam.field(VOLD_DYN_DATA_LINK_BLOCK_SIZE, 1, 0, 64, 0xFFFFFFFF);
  fam.info.add_ob_data(f, VOLD_OB_DATA_LINK_BLOCK_SIZE, 0, 48, 0, 1);
  auto b = fam.make(true);
  ASSERT_TRUE(b->process(false));
  EXPECT_EQ(b->get_dword_data(2), 0xFFFF0000u);
  b->update_links_with(1, [&](u32) -> VARNO_IBLOCK* { return b.get(); });
  EXPECT_EQ(b->get_dword_data(1), 5u);
  EXPECT_EQ(b->get_dword_data(2), 0xFFFF0000u);
}

TEST(SblockRecords, CleanUpEmptiesTheListsOnly) {
  OPTION_BITS_FAMILY fam;
  auto b = fam.make();
  EXPECT_EQ(b->const_data_list().size(), 1u);
  b->clean_up();
  EXPECT_TRUE(b->const_data_list().empty());
  EXPECT_TRUE(b->dyn_data_list().empty());
  EXPECT_EQ(fam.jtag->bit_size, 32u);  // the records stay the family's
  VARNO_SBLOCK empty;
  EXPECT_EQ(empty.get_block_size(), 0u);
  EXPECT_TRUE(empty.process(false));
}

// ---- Blocks of a generator ------------------------------------------------------

namespace {

const char* const k_device =
    "ddb device 1\nfamily BORQUENT\ndevice DUMMY1\nparam ESRAM_BBUS BBUS_BIT_COUNT 0\n";

}  // namespace

TEST(SblockInGenerator, GeneratorWithoutWidthIsRefused) {
  VARNO_GEN gen;  // no family loaded: width 0
  EXPECT_INTERNAL_ERROR(VARNO_SBLOCK b(VOLD_BLOCK_OPTION_BITS, false, 4, false, &gen),
                        "config_width > 0");
}

// With 8-bit configuration words a field's word is one byte, while constants
// stay 32-bit words at 4 * index: a constant at word 1 of a one-word image
// does not fit even though 1 * 1 byte lies inside it.
TEST(SblockInGenerator, ByteWideConfigurationWords) {
  TEMP_DIR dir;
  VARNO_GEN gen;
  gen.set_family_pcf(dir.write("fam.ddb",
                              "ddb family 1\nfamily BORQUENT\nconfig_width 8\n"
                              "block OPTION_BITS option words=1\n"
                              "  dyn OPTION_BITS word=1 size=8 mask=0xFF\n"
                              "    ob JTAG_ID index=0 size=8 value=0x5A\n"));
  gen.set_device_pcf(dir.write("dev.ddb", k_device));
  ASSERT_EQ(gen.process_pcfs(false, false, false, nullptr, 1), VARNO_PCF_OK);
  auto* b = dynamic_cast<VARNO_SBLOCK*>(gen.get_block("OPTION_BITS", false));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->get_config_data_width(), 8u);
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(b->get_dword_data(0), 0x00005A00u);  // configuration word 1 is image byte 1

  VOLD_CONST_DATA outside{0x11223344, 1};
  b->add_const_data(&outside);
  EXPECT_FALSE(b->process(false));
  EXPECT_EQ(b->get_dword_data(0), 0x00005A00u);
  b->clean_up();  // the record is this test's
}

TEST(SblockInGenerator, LinksAfterAllBlocks) {
  TEMP_DIR dir;
  VARNO_GEN gen;
  gen.set_family_pcf(dir.write("fam.ddb",
                              "ddb family 1\nfamily BORQUENT\nconfig_width 32\n"
                              "block OPTION_BITS option words=4 crc=1\n"
                              "  const word=0 value=0xA5A5A5A5\n"
                              "  dyn OPTION_BITS word=1 size=64 mask=0xFFFFFFFF\n"
                              "    ob JTAG_ID index=0 size=32 value=0xCAFEBABE\n"
                              "    ob PGF_LENGTH index=32 size=16 link=1\n"));
  gen.set_device_pcf(dir.write("dev.ddb", k_device));
  ASSERT_EQ(gen.process_pcfs(false, false, false, nullptr, 1), VARNO_PCF_OK);
  ASSERT_TRUE(gen.do_all_blocks());
  auto* b = dynamic_cast<VARNO_SBLOCK*>(gen.get_block("OPTION_BITS", false));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->get_dword_data(2), 5u);
  b->crc_update();
  EXPECT_EQ(b->crc_word(), 0xB0890000u);
}
