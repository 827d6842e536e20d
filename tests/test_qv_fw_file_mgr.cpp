// Firmware frames of the blocks of tests/data/fw/fw_family.ddb: DUMMY1 has
// header version 0, DUMMY2 version 1, DUMMY3 version 2 and CNT_FW version 3.
// Firmware files (same directory):
//   fw_small.hex: 00..0F at 0, DE AD BE EF at 4104, 01 02 03 04 at 4196
//     (the image ends at 4200);
//   fw_words.rom: the words 123, 0AB, FFF: bytes 23 01 AB 00 FF 0F;
//   fw_boot.hex: B0 07 B0 07 at 0, 11.. at 0x1000000, 22.. at 0x1000800,
//     55.. at 0x107F800, 33.. at 0x5000000, 44.. at 0x5000800 (4 bytes each).
// Expected frames are derived by hand; all words are little-endian and a
// frame reads as its segments back to back.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "msg.h"
#include "sector_device.h"
#include "varno_frame.h"
#include "varno_qv_fw_file_mgr.h"

namespace {

const std::string kDir = test_data("fw");

BYTES operator+(BYTES a, const BYTES& b) { return concat({a, b}); }

// Image bytes [from, from + n) of fw_small.hex.
BYTES small_image(size_t from, size_t n) {
  BYTES image(4200, 0);
  for (u8 k = 0; k < 16; ++k) image[k] = k;
  const BYTES a = {0xDE, 0xAD, 0xBE, 0xEF};
  const BYTES b = {1, 2, 3, 4};
  std::copy(a.begin(), a.end(), image.begin() + 4104);
  std::copy(b.begin(), b.end(), image.begin() + 4196);
  BYTES out(n, 0);
  for (size_t k = 0; k < n && from + k < image.size(); ++k) out[k] = image[from + k];
  return out;
}

const BYTES kRomWords = {0x23, 0x01, 0xAB, 0x00, 0xFF, 0x0F};
// The opening frames A and B of block DUMMY2, behind its MORLU header.
const BYTES kDummy2A = words({0x2020, 0, 0x10006, 0, 7, 0});
const BYTES kDummy2B = words({0x2020, 0, 0, 0, 0, 0});

// The firmware blocks of fw_family.ddb on the device level.
class FwFile : public ::testing::Test, public SECTOR_DEVICE {
 protected:
  FwFile() {
    m_family = "fw_family.ddb";
    m_device = "fw_device.ddb";
  }
  void SetUp() override { ASSERT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error(); }
  VARNO_QV_FW_FILE_MGR* mgr(const std::string& name) {
    return dynamic_cast<VARNO_QV_FW_FILE_MGR*>(block(name)->get_frame_mgr());
  }
  // Block name with the files, built.
  VARNO_DBLOCK* build(const std::string& name, const std::vector<std::string>& files,
                      bool expect = true) {
    VARNO_DBLOCK* b = block(name);
    for (const std::string& f : files) b->set_data_from_file(VARNO_BLOCK_DATA_CRAM, f);
    EXPECT_EQ(b->process(false), expect);
    return b;
  }

  TEMP_DIR m_tmp;
};

// ---- Frame layouts by header version ---------------------------------------------

TEST_F(FwFile, VersionZeroCutsTheImageIntoFramesOfTheFrameSize) {
  param().fw_type = 0;
  param().fw_sizes = {5000};
  VARNO_DBLOCK* b = build("DUMMY1", {kDir + "/fw_small.hex"});
  // A, B, D, three data frames of 2052, 2052 and 896 bytes, F. The copy stops
  // at the end of the image (4200): the last frame holds 96 image bytes.
  const std::vector<BYTES> expected = {words({7, 0}),
                                       zeros(12),
                                       words({0x4000148, 3, 0}),
                                       words({0}) + small_image(0, 2052),
                                       words({2052}) + small_image(2052, 2052),
                                       words({4104}) + small_image(4104, 96) + zeros(800),
                                       words({0x40000E8, 0, 2})};
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->get_number_of_potential_frames(), 7u);
  // Data frames are an address header and the data.
  const VARNO_FRAME* data_frame = b->get_frame(3);
  ASSERT_EQ(data_frame->segments().size(), 2u);
  EXPECT_EQ(data_frame->segments()[0]->type(), VARNO_FRAME_SEGMENT_HEADER);
  EXPECT_EQ(data_frame->segments()[0]->size(), 4u);
  EXPECT_EQ(data_frame->segments()[1]->type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_EQ(data_frame->segments()[1]->size(), 2052u);
  EXPECT_EQ(frame(b, 5)[4 + 92], 1);
}

TEST_F(FwFile, VersionZeroTkFlowOpensWithTheTkCommands) {
  param().fw_type = 0;
  param().tk_flow = 1;
  param().fw_sizes = {4200};
  VARNO_DBLOCK* b = build("DUMMY1", {kDir + "/fw_small.hex"});
  // A, B, the TK command and D, the data frames (the last one unpadded), F.
  ASSERT_EQ(b->get_number_of_frames(), 8u);
  EXPECT_EQ(frame(b, 0), words({7, 0}));
  EXPECT_EQ(frame(b, 1), zeros(12));
  EXPECT_EQ(frame(b, 2), words({0x4000168, 1, 0}));
  EXPECT_EQ(frame(b, 3), words({0x4000148, 7, 0}));
  EXPECT_EQ(frame(b, 4), words({0}) + small_image(0, 2052));
  EXPECT_EQ(frame(b, 5), words({2052}) + small_image(2052, 2052));
  EXPECT_EQ(frame(b, 6), words({4104}) + small_image(4104, 96));
  EXPECT_EQ(frame(b, 7), words({0x40000E8, 0, 2}));
}

TEST_F(FwFile, VersionOneRomWords) {
  param().fw_type = 0;
  param().fw_frame_size = 16;
  param().fw_sizes = {20};
  VARNO_DBLOCK* b = build("DUMMY2", {kDir + "/fw_words.rom"});
  // Data frames of 16 and 4 bytes: MORLU word 0 is ((c + 12) >> 2) << 8 | seq.
  const std::vector<BYTES> expected = {kDummy2A,
                                       kDummy2B,
                                       words({0x701, 0, 4, 0}) + kRomWords + zeros(10),
                                       words({0x402, 0, 4, 16}) + zeros(4),
                                       words({3, 0, 0}),
                                       words({0x2020, 0, 4, 0x40000E8, 0, 2}),
                                       words({0x2026, 0, 0})};
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->get_number_of_potential_frames(), 7u);
  EXPECT_EQ(mgr("DUMMY2")->get_morlu_hdr_size(), 12u);
}

TEST_F(FwFile, VersionTwoJoinsFilesWithACommandFrame) {
  param().fw_type = 0;
  param().fw_sizes = {6, 5000};
  VARNO_DBLOCK* b = build("DUMMY3", {kDir + "/fw_words.rom", kDir + "/fw_small.hex"});
  const BYTES close = words({0x2020, 0, 0x10006, 0, 0x3019, 0, 0});
  const std::vector<BYTES> expected = {
      // First file: one data frame of 6 bytes, G, I and the joining J.
      words({0x401, 0, 0x40004, 0}) + kRomWords, words({2, 0, 0}), close, words({0x202B, 0, 0}),
      // Second file: 2052, 2052 and 896 bytes, G and I.
      words({0x20401, 0, 0x40004, 0}) + small_image(0, 2052),
      words({0x20402, 0, 0x40004, 2052}) + small_image(2052, 2052),
      words({0xE303, 0, 0x40004, 4104}) + small_image(4104, 896), words({4, 0, 0}), close};
  EXPECT_EQ(frames(b), expected);
  // Frame I is a command frame; J also marks the file boundary.
  for (u32 i : {2u, 8u}) {
    EXPECT_TRUE(b->get_frame(i)->m_command_flag) << i;
    EXPECT_FALSE(b->get_frame(i)->m_second_command_flag) << i;
  }
  EXPECT_TRUE(b->get_frame(3)->m_command_flag);
  EXPECT_TRUE(b->get_frame(3)->m_second_command_flag);
  EXPECT_FALSE(b->get_frame(0)->m_command_flag);
  // The count is that of the last file.
  EXPECT_EQ(b->get_number_of_potential_frames(), 5u);
}

TEST_F(FwFile, VersionThreeSerdesFrames) {
  param().fw_type = 7;
  param().fw_frame_size = 16;
  param().fw_sizes = {20};
  VARNO_DBLOCK* b = build("CNT_FW", {kDir + "/fw_words.rom"});
  // MORLU length c + 8, the SPICO word ((c + 1) >> 1) << 8 | seq and the
  // SerDes flag word; a 0x202B frame after each data frame.
  const std::vector<BYTES> expected = {
      words({0x901, 0, 0x20006, 0, 0x801, 0x1000000}) + kRomWords + zeros(10),
      words({0x202B, 0, 0}),
      words({0x602, 0, 0x20006, 0, 0x202, 0x1000000}) + zeros(4),
      words({0x202B, 0, 0}),
      words({0x503, 0, 0x20006, 0, 3, 0x1000000}),
      words({4, 0, 0})};
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->get_number_of_potential_frames(), 6u);

  // Type 6 has no SerDes flag word.
  param().fw_type = 6;
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(frame(b, 0), words({0x901, 0, 0x20006, 0, 0x801, 0}) + kRomWords + zeros(10));
  EXPECT_EQ(frame(b, 4), words({0x503, 0, 0x20006, 0, 3, 0}));
}

TEST_F(FwFile, ForcedHeaderVersionGetsItsHeaderRoom) {
  // Type 4 asks for version 2 on a block of version 0: the MORLU header then
  // needs its 12 bytes.
  param().fw_type = 4;
  param().fw_sizes = {6};
  VARNO_DBLOCK* b = build("DUMMY1", {kDir + "/fw_words.rom"});
  const std::vector<BYTES> expected = {words({0x401, 0, 0x40004, 0}) + kRomWords, words({2, 0, 0}),
                                       words({0x2020, 0, 0x10006, 0, 0x3019, 0, 0})};
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->get_frame(0)->segments()[0]->size(), 16u);
  EXPECT_EQ(mgr("DUMMY1")->header_version(), 2u);

  // Type 6 asks for version 3.
  param().fw_type = 6;
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(frame(b, 0), words({0x601, 0, 0x20006, 0, 0x301, 0}) + kRomWords);
  EXPECT_EQ(b->get_frame(0)->segments()[0]->size(), 24u);
}

TEST_F(FwFile, BootImageFramesFromTwoRegions) {
  // 258 frames of 2048 bytes after the boot frame; the last holds 100 bytes.
  param().fw_type = 12;
  param().fw_sizes = {0x400 + 257 * 2048 + 100};
  VARNO_DBLOCK* b = build("DUMMY2", {kDir + "/fw_boot.hex"});
  ASSERT_EQ(b->get_number_of_frames(), 264u);  // A, B, boot, 258 data, G, F, H
  EXPECT_EQ(frame(b, 2), zeros(16) + BYTES({0xB0, 0x07, 0xB0, 0x07}) + zeros(1020));
  auto data = [](u32 w0, u32 address, u8 fill, size_t size) {
    return words({w0, 0, 4, address}) + BYTES(4, fill) + zeros(size - 4);
  };
  EXPECT_EQ(frame(b, 3), data(0x20301, 0x1000000, 0x11, 2048));
  EXPECT_EQ(frame(b, 4), data(0x20302, 0x1000800, 0x22, 2048));
  EXPECT_EQ(frame(b, 3 + 255), data(0x20300, 0x107F800, 0x55, 2048));
  EXPECT_EQ(frame(b, 3 + 256), data(0x20301, 0x5000000, 0x33, 2048));
  // Sequence 258 keeps to its byte: 0x1C00 | 0x02, not 0x1D02.
  EXPECT_EQ(frame(b, 3 + 257), data(0x1C02, 0x5000800, 0x44, 100));
  EXPECT_EQ(frame(b, 261), words({259, 0, 0}));
  // A, B, F and H are those of the ROM-word image.
  EXPECT_EQ(frame(b, 0), kDummy2A);
  EXPECT_EQ(frame(b, 1), kDummy2B);
  EXPECT_EQ(frame(b, 262), words({0x2020, 0, 4, 0x40000E8, 0, 2}));
  EXPECT_EQ(frame(b, 263), words({0x2026, 0, 0}));
  EXPECT_EQ(b->get_number_of_potential_frames(), 264u);
}

TEST_F(FwFile, BootImageSizeLimits) {
  // The high region ends at 0x5000804: the least size holds the boot frame
  // and 0x80804 bytes after it.
  param().fw_type = 12;
  VARNO_DBLOCK* b = block("DUMMY2");
  b->m_data_files = {kDir + "/fw_boot.hex"};
  param().fw_sizes = {0x3FF};
  EXPECT_INTERNAL_ERROR(b->process(false), "fw_size >= 0x400");
  param().fw_sizes = {0x400 + 0x80804 - 1};
  EXPECT_INTERNAL_ERROR(b->process(false), "fw_size >= (m_last_blk_address + m_last_blk_len)");
  param().fw_sizes = {0x400 + 0x80804};
  ASSERT_TRUE(b->process(false));
  // 258 data frames, the last of the 4 bytes at 0x5000800.
  ASSERT_EQ(b->get_number_of_frames(), 264u);
  EXPECT_EQ(frame(b, 3 + 257), words({0x402, 0, 4, 0x5000800}) + BYTES(4, 0x44));
}

TEST_F(FwFile, BootImageNeedsItsHighRegion) {
  param().fw_type = 12;
  param().fw_sizes = {0x100000};
  VARNO_DBLOCK* b = block("DUMMY2");
  b->set_data_from_file(VARNO_BLOCK_DATA_CRAM, kDir + "/fw_small.hex");
  EXPECT_INTERNAL_ERROR(b->process(false), "m_last_blk_address >= 0x4F80000");
  // A and B come before the check.
  EXPECT_EQ(frames_left(b), (std::vector<BYTES>{kDummy2A, kDummy2B}));
}

TEST_F(FwFile, MorluHeadersByOperation) {
  VARNO_QV_FW_FILE_MGR* m = mgr("DUMMY2");
  auto header = [&](MORLU_WRITE_OP_TYPE op, u32 length, u32 seq) {
    BYTES out(12, 0xEE);
    m->write_morlu_hdr(out.data(), op, length, seq);
    return out;
  };
  EXPECT_EQ(header(MORLU_WRITE_OP_CMD1, 0, 0), words({0x2020, 0, 0x10006}));
  EXPECT_EQ(header(MORLU_WRITE_OP_CMD2, 0, 0), words({0x2020, 0, 0}));
  EXPECT_EQ(header(MORLU_WRITE_OP_CMD3, 0, 0), words({0x2020, 0, 0x10006}));
  EXPECT_EQ(header(MORLU_WRITE_OP_CMD4, 0, 0), words({0x2020, 0, 4}));
  EXPECT_EQ(header(static_cast<MORLU_WRITE_OP_TYPE>(9), 0, 0), words({0x2020, 0, 0}));
  EXPECT_EQ(header(MORLU_WRITE_OP_DATA, 8, 0x1FF), words({0x5FF, 0, 4}));
  // Version 0 writes no header; version 1 writes no SPICO word.
  BYTES untouched(12, 0xEE);
  mgr("DUMMY1")->write_morlu_hdr(untouched.data(), MORLU_WRITE_OP_CMD1, 0, 0);
  m->write_morlu3_spico_serdes_hdr(untouched.data(), 4, 1, true);
  EXPECT_EQ(untouched, BYTES(12, 0xEE));
}

// ---- Files ----------------------------------------------------------------------

TEST_F(FwFile, EmptyFileListLeavesTheFrames) {
  param().fw_type = 0;
  param().fw_sizes = {6};
  VARNO_DBLOCK* b = build("DUMMY3", {kDir + "/fw_words.rom"});
  ASSERT_EQ(b->get_number_of_frames(), 3u);
  b->m_data_files.clear();
  EXPECT_TRUE(b->process(false));
  EXPECT_EQ(b->get_number_of_frames(), 3u);
}

TEST_F(FwFile, ExtensionsAreCaseInsensitive) {
  const std::string text = read_file(kDir + "/fw_small.hex");
  param().fw_type = 0;
  param().fw_sizes = {4200, 6};
  const std::string rom = m_tmp.write("w.Rom", "123\n0AB\nFFF\n");
  VARNO_DBLOCK* b = build("DUMMY3", {m_tmp.write("fw.IHEX", text), rom});
  // Three data frames, G, I and J, then the ROM file's three frames.
  EXPECT_EQ(b->get_number_of_frames(), 6u + 3u);
  EXPECT_EQ(frame(b, 6), words({0x401, 0, 0x40004, 0}) + kRomWords);
}

TEST_F(FwFile, AFailedFileFailsTheBuild) {
  param().fw_type = 0;
  param().fw_sizes = {6, 6};
  const std::string bad = m_tmp.write("bad.hex", ":0300000001020304FF\n");
  // A bad first file: the second is still framed, and the build fails.
  testing::internal::CaptureStdout();
  VARNO_DBLOCK* b = build("DUMMY3", {bad, kDir + "/fw_words.rom"}, false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: bad line length or unspported record type 0 at line 1\n");
  EXPECT_EQ(frames_left(b),
            (std::vector<BYTES>{words({0x401, 0, 0x40004, 0}) + kRomWords, words({2, 0, 0}),
                                words({0x2020, 0, 0x10006, 0, 0x3019, 0, 0})}));
  // A bad last file keeps the frames of the first.
  b->m_data_files = {kDir + "/fw_words.rom", bad};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(b->process(false));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(frames_left(b).size(), 4u);
}

TEST_F(FwFile, FileErrors) {
  param().fw_type = 0;
  VARNO_DBLOCK* b = block("DUMMY1");
  b->m_data_files = {m_tmp.path() + "/image.bin"};
  EXPECT_INTERNAL_ERROR(b->process(false), "Unknown firmware format");
  b->m_data_files = {m_tmp.path() + "/firmware"};
  EXPECT_INTERNAL_ERROR(b->process(false), "Unknown firmware format");
  b->m_data_files = {m_tmp.path() + "/missing.hex"};
  EXPECT_INTERNAL_ERROR(b->process(false),
                        "Unable to open firmware file (" + m_tmp.path() + "/missing.hex)");
  b->m_data_files = {m_tmp.path() + "/missing.rom"};
  EXPECT_INTERNAL_ERROR(b->process(false),
                        "Unable to open firmware file (" + m_tmp.path() + "/missing.rom)");
}

TEST_F(FwFile, FirmwareSizeErrors) {
  param().fw_type = 0;
  VARNO_DBLOCK* b = block("DUMMY1");
  b->m_data_files = {kDir + "/fw_small.hex", kDir + "/fw_words.rom"};
  // One size for two files.
  param().fw_sizes = {4200};
  EXPECT_INTERNAL_ERROR(b->process(false), "m_file_counter < fw_sizes.size()");
  // The image does not fit the size.
  param().fw_sizes = {4199, 6};
  EXPECT_INTERNAL_ERROR(b->process(false), "fw_size >= (m_last_blk_address + m_last_blk_len)");
}

// A few records can name addresses a gigabyte apart: an image that does not
// fit the firmware size is refused before it is allocated.
TEST_F(FwFile, AnImagePastTheFirmwareSizeIsNeverAllocated) {
  param().fw_sizes = {0x1000};
  VARNO_DBLOCK* b = block("DUMMY1");
  for (const auto& [type, base] : {std::pair<u32, const char*>{0, "4400"}, {12, "0508"}}) {
    param().fw_type = type;
    b->m_data_files = {m_tmp.write("far.hex", std::string(":02000004") + base + "00\n:0400000011223344EE\n")};
    EXPECT_INTERNAL_ERROR(b->process(false), "fw_size >= (m_last_blk_address + m_last_blk_len)");
    EXPECT_EQ(mgr("DUMMY1")->image(), nullptr);
  }
}

TEST_F(FwFile, RecordsPastTheImageEndAreRefused) {
  param().fw_type = 0;
  param().fw_sizes = {100};
  // The image ends with the last record in file order (1 byte at 0); the
  // earlier record at 0x10 lies past it.
  const std::string past =
      m_tmp.write("past.hex", ":04001000AABBCCDDEE\n:0100000042BD\n:00000001FF\n");
  testing::internal::CaptureStdout();
  VARNO_DBLOCK* b = build("DUMMY1", {past}, false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: data record at address 0x10 (4 bytes) lies past the end of the image (1 bytes) "
            "in firmware file " +
                past + "\n");
  EXPECT_EQ(frames_left(b).size(), 0u);

  // One that starts inside the image (4 bytes at 0) and ends past it.
  const std::string across = m_tmp.write(
      "across.hex", ":10000000000102030405060708090A0B0C0D0E0F78\n:0400000011223344AA\n:00000001FF\n");
  b->m_data_files = {across};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(b->process(false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: data record at address 0x0 (16 bytes) lies past the end of the image (4 bytes) "
            "in firmware file " +
                across + "\n");

  // A file without data records has no image.
  const std::string empty = m_tmp.write("empty.hex", ":00000001FF\n");
  b->m_data_files = {empty};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(b->process(false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: no data record in firmware file " + empty + "\n");
}

TEST_F(FwFile, AnImageEndingPastFourGiBIsRefused) {
  VARNO_QV_FW_FILE_MGR* m = mgr("DUMMY1");
  // Linear base 0xFFFF0000 plus offset 0xFFFF: two bytes at 0xFFFFFFFF end at
  // 0x100000001, which no 32-bit image size holds.
  const std::string path = m_tmp.write("top.hex", ":02000004FFFF00\n:02FFFF00AABB00\n");
  m->set_path(path);
  ASSERT_TRUE(m->process_fw_file());
  EXPECT_EQ(m->last_blk_address(), 0xFFFFFFFFu);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m->merge_blocks());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: firmware image of 4294967297 bytes is too large in firmware file " + path +
                "\n");
  EXPECT_EQ(m->image(), nullptr);
}

TEST_F(FwFile, MergeOrdersBlocksAndTheHigherAddressWins) {
  VARNO_QV_FW_FILE_MGR* m = mgr("DUMMY1");
  // Records at 0x20 (A1), 0x00 (B1 B2), 0x1F (C1 C2), 0x1F again (D1 D2).
  m->set_path(
      m_tmp.write("o.hex", ":01002000A13E\n:02000000B1B29B\n:02001F00C1C25B\n:02001F00D1D23B\n"));
  ASSERT_TRUE(m->process_fw_file());
  ASSERT_TRUE(m->merge_blocks());
  ASSERT_EQ(m->image_size(), 0x21u);
  const u8* image = m->image();
  EXPECT_EQ(image[0], 0xB1);
  EXPECT_EQ(image[1], 0xB2);
  EXPECT_EQ(image[2], 0x00);
  // Of the two records at 0x1F the later one in the file wins; the record at
  // 0x20 wins over both.
  EXPECT_EQ(image[0x1F], 0xD1);
  EXPECT_EQ(image[0x20], 0xA1);
}

// ---- HEX records ----------------------------------------------------------------

class FwHex : public FwFile {
 protected:
  // Reads text as a HEX file; out receives what was printed.
  bool read(const std::string& text, std::string* out = nullptr) {
    VARNO_QV_FW_FILE_MGR* m = mgr("DUMMY1");
    m->set_path(m_tmp.write("t.hex", text));
    testing::internal::CaptureStdout();
    const bool ok = m->process_fw_file();
    const std::string printed = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = printed;
    return ok;
  }
  const std::vector<std::unique_ptr<VARNO_QV_FW_FILE_MGR::BLOCK>>& blocks() {
    return mgr("DUMMY1")->blocks();
  }
};

TEST_F(FwHex, ChecksumIsNotChecked) {
  std::string printed;
  EXPECT_TRUE(read(":10000000000102030405060708090A0B0C0D0E0F00\n", &printed));
  EXPECT_EQ(printed, "");
  ASSERT_EQ(blocks().size(), 1u);
  EXPECT_EQ(blocks()[0]->length, 16u);
  EXPECT_EQ(blocks()[0]->data[15], 0x0F);
}

TEST_F(FwHex, RecordLengthMustMatchItsByteCount) {
  std::string printed;
  // Byte count 3 with four data bytes; byte counts 2 and 0xFF with one, on a
  // line the record would read past; no block is added either way.
  for (const char* record : {":0300000001020304FF\n", ":0200000042BD\n", ":FF00000042BD\n"}) {
    EXPECT_FALSE(read(record, &printed)) << record;
    EXPECT_EQ(printed, "Error: bad line length or unspported record type 0 at line 1\n");
    EXPECT_TRUE(blocks().empty());
  }
  // A bare ':' holds no byte at all; its type reads as 0.
  EXPECT_FALSE(read("# firmware\n\n:\n", &printed));
  EXPECT_EQ(printed, "Error: bad line length or unspported record type 0 at line 3\n");
  EXPECT_FALSE(read(":00000006FA\n", &printed));
  EXPECT_EQ(printed, "Error: bad line length or unspported record type 6 at line 1\n");
}

TEST_F(FwHex, LineLengthLimits) {
  std::string printed;
  // 59 data bytes: 129 characters.
  const std::string r59 = ":3B000000" + std::string(118, 'A') + "00\n";
  ASSERT_EQ(r59.size(), 130u);
  EXPECT_TRUE(read(r59, &printed));
  EXPECT_EQ(blocks().back()->length, 59u);
  // 60 data bytes, or an even length: refused without a message.
  EXPECT_FALSE(read(":3C000000" + std::string(120, 'A') + "00\n", &printed));
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(read(":0100000042B\n", &printed));
  EXPECT_EQ(printed, "");
  // A line longer than the line buffer is not a whole record.
  EXPECT_FALSE(read(":" + std::string(1100, '0') + "\n", &printed));
  EXPECT_EQ(printed, "");
}

TEST_F(FwHex, ALastLineWithoutLineEndFails) {
  EXPECT_FALSE(read(":0100000042BD\n:00000001FF"));
  EXPECT_EQ(blocks().size(), 1u);
  // With line ends, CR LF ones too, the file reads.
  EXPECT_TRUE(read(":0100000042BD\r\n:00000001FF\r\n"));
}

TEST_F(FwHex, ExtendedAddresses) {
  EXPECT_TRUE(read(":020000021000EC\n:0100000042BD\n"));
  EXPECT_EQ(mgr("DUMMY1")->last_blk_address(), 0x10000u);
  EXPECT_TRUE(read(":020000040001F9\n:0100200042BD\n"));
  EXPECT_EQ(mgr("DUMMY1")->last_blk_address(), 0x10020u);
  EXPECT_EQ(mgr("DUMMY1")->last_blk_len(), 1u);
  // Start-address records of four bytes are ignored (the reader adds to the
  // blocks of the reads before).
  const size_t before = blocks().size();
  EXPECT_TRUE(read(":0400000300001234B3\n:04000005000012349B\n:00000001FF\n"));
  EXPECT_EQ(blocks().size(), before);
}

TEST_F(FwHex, AddressRecordByteCounts) {
  std::string printed;
  EXPECT_FALSE(read(":0400000200001234B4\n", &printed));
  EXPECT_EQ(printed, "Error: bad type 02 record with incorrect byte count 4 at line 1\n");
  EXPECT_FALSE(read(":0100000400FB\n", &printed));
  EXPECT_EQ(printed, "Error: bad type 04 record with incorrect byte count 1 at line 1\n");
  // Type 03 is reported with the text of type 05.
  EXPECT_FALSE(read(":020000031234B5\n", &printed));
  EXPECT_EQ(printed, "Error: bad type 05 record with incorrect byte count 2 at line 1\n");
  EXPECT_FALSE(read(":0100000500FA\n", &printed));
  EXPECT_EQ(printed, "Error: bad type 05 record with incorrect byte count 1 at line 1\n");
}

TEST_F(FwHex, ANonHexCharacterFailsAfterItsRecord) {
  EXPECT_FALSE(read(":0100000042BZ\n:0100010042BC\n"));
  // The record is applied, the file stops there.
  ASSERT_EQ(blocks().size(), 1u);
  EXPECT_EQ(blocks()[0]->data[0], 0x42);
  // The end record with a non-hex character fails the file too.
  EXPECT_FALSE(read(":0100000042BD\n:00000001FZ\n"));
  EXPECT_TRUE(read(":0100000042BD\n:00000001FF\nnot a record\n"));
}

// ---- ROM words ------------------------------------------------------------------

TEST_F(FwFile, RomWordsAreTwelveBitsLittleEndian) {
  VARNO_QV_FW_FILE_MGR* m = mgr("DUMMY1");
  m->set_path(kDir + "/fw_words.rom");
  ASSERT_TRUE(m->process_rom_file());
  ASSERT_EQ(m->blocks().size(), 3u);
  for (u32 k = 0; k < 3; ++k) {
    EXPECT_EQ(m->blocks()[k]->address, 2 * k);
    EXPECT_EQ(m->blocks()[k]->length, 2u);
    EXPECT_EQ(m->blocks()[k]->data[0], kRomWords[2 * k]);
    EXPECT_EQ(m->blocks()[k]->data[1], kRomWords[2 * k + 1]);
  }
  ASSERT_TRUE(m->merge_blocks());
  EXPECT_EQ(BYTES(m->image(), m->image() + m->image_size()), kRomWords);
}

TEST_F(FwFile, RomLineErrors) {
  VARNO_QV_FW_FILE_MGR* m = mgr("DUMMY1");
  m->set_path(m_tmp.write("a.rom", "123\n12"));
  EXPECT_INTERNAL_ERROR(m->process_rom_file(), "strlen(line) >= 3");
  m->set_path(m_tmp.write("b.rom", "123\n\n456\n"));
  EXPECT_INTERNAL_ERROR(m->process_rom_file(), "strlen(line) >= 3");
  // Two digits and the line end: the line end is no digit.
  m->set_path(m_tmp.write("c.rom", "123\n12\n"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m->process_rom_file());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: bad ROM word at line 2\n");
  m->set_path(m_tmp.write("d.rom", "1G3\n"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m->process_rom_file());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: bad ROM word at line 1\n");
}

TEST_F(FwFile, RomLongLinesGiveOneWord) {
  VARNO_QV_FW_FILE_MGR* m = mgr("DUMMY2");
  m->set_path(m_tmp.write("long.rom", "ABC" + std::string(2000, 'F') + "\r\n123\r\n"));
  ASSERT_TRUE(m->process_rom_file());
  ASSERT_EQ(m->blocks().size(), 2u);
  EXPECT_EQ(m->blocks()[0]->data[0], 0xBC);
  EXPECT_EQ(m->blocks()[0]->data[1], 0x0A);
  EXPECT_EQ(m->blocks()[1]->address, 2u);
  EXPECT_EQ(m->blocks()[1]->data[0], 0x23);
}

// ---- Set-up ---------------------------------------------------------------------

TEST(FwFileSetup, InitChecks) {
  VARNO_QV_FW_FILE_MGR m;
  expect_parent_checks(m);
  // Without a read file there is nothing to frame.
  EXPECT_EQ(m.potential_frames(), 0u);
}

TEST_F(FwFile, HeaderVersionsAboveThreeAreRefused) {
  EXPECT_INTERNAL_ERROR(load(kDir, {{"fw_family.ddb", "w6=3", "w6=5"}}), "header_version <= 3");
}

TEST_F(FwFile, PartialBuildWithoutAFileBuildsNothing) {
  VARNO_DBLOCK* b = block("DUMMY1");
  EXPECT_FALSE(b->partial_process(0, 1));
  EXPECT_EQ(frames_left(b).size(), 0u);
}

TEST_F(FwFile, PartialBuildAfterTheFileListFramesNoFileAgain) {
  param().fw_type = 0;
  param().fw_frame_size = 16;
  // A size past the one file: the last image must not be framed with it.
  param().fw_sizes = {20, 40};
  VARNO_DBLOCK* b = build("DUMMY2", {kDir + "/fw_words.rom"});
  const std::vector<BYTES> built = frames(b);
  EXPECT_FALSE(b->partial_process(0, 1));
  EXPECT_EQ(frames(b), built);
  param().fw_sizes = {20};
  EXPECT_FALSE(b->partial_process(0, 1));
  EXPECT_EQ(frames(b), built);
}

}  // namespace
