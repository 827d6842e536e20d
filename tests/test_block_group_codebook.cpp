// The inverse literal codebook of a decompression thread, built from
// codebook parameters given in memory, and the remapped stream checked by
// inflating it (record header of tests/data/group: [ch, frtype, ulen(3),
// s4 | thr << 4, chext, bank]).
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "files.h"
#include "group_fixture.h"
#include "varno_block_config.h"
#include "varno_test.h"

namespace {

std::vector<u32> identity_rows() {
  std::vector<u32> rows(256);
  std::iota(rows.begin(), rows.end(), 0u);
  return rows;
}

class Codebook : public ::testing::Test {
 protected:
  void SetUp() override { m_info.create_device_info(VOLD_FAMILY_QUELVO, 1); }
  void add(VOLD_PARAMETER_TYPE type, const std::vector<u32>& rows) {
    m_config.m_param_list.push_back(m_info.add_param(VOLD_BLOCK_SECTOR_ARRAY, type, rows));
  }
  int reverse(BYTES& table, u32 block_type = VOLD_BLOCK_CRAM) {
    return m_thread.copy_reversed_korvia_literals(table.data(), static_cast<unsigned>(table.size()),
                                                  &m_config, block_type);
  }

  VOLD_INFO m_info;
  VARNO_BLOCK_CONFIG m_config;
  VARNO_DC_THREAD m_thread;
};

TEST_F(Codebook, IdentityGivesTheIdentityTable) {
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS, identity_rows());
  BYTES table(256, 0xEE);
  EXPECT_EQ(reverse(table), 256);
  for (u32 i = 0; i < 256; ++i) EXPECT_EQ(table[i], i);
}

TEST_F(Codebook, SwappedRowsSwapTheirBytes) {
  std::vector<u32> rows = identity_rows();
  rows[0] = 0x41;
  rows[0x41] = 0;
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS, rows);
  BYTES table(256);
  EXPECT_EQ(reverse(table), 256);
  EXPECT_EQ(table[0x41], 0x00);
  EXPECT_EQ(table[0x00], 0x41);
  EXPECT_EQ(table[0x42], 0x42);
}

TEST_F(Codebook, ReversedCodebookInvertsARotation) {
  // Row i holds (i + 3) mod 256: the inverse of byte x is (x - 3) mod 256.
  std::vector<u32> rows(256);
  for (u32 i = 0; i < 256; ++i) rows[i] = (i + 3) & 0xFF;
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS, rows);
  BYTES table(256);
  EXPECT_EQ(reverse(table), 256);
  for (u32 x = 0; x < 256; ++x) EXPECT_EQ(rows[table[x]], x);
  EXPECT_EQ(table[0], 253);
}

TEST_F(Codebook, GenericFormWinsOverTheBlockTypeForm) {
  std::vector<u32> swapped = identity_rows();
  std::swap(swapped[1], swapped[2]);
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS_CRAM, swapped);
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS, identity_rows());
  BYTES table(256);
  EXPECT_EQ(reverse(table), 256);
  EXPECT_EQ(table[1], 1);
}

TEST_F(Codebook, BlockTypeFormWhenNoGenericOne) {
  std::vector<u32> swapped = identity_rows();
  std::swap(swapped[1], swapped[2]);
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS_ERAM, swapped);
  BYTES table(256);
  EXPECT_EQ(reverse(table, VOLD_BLOCK_ERAM), 256);
  EXPECT_EQ(table[1], 2);
  EXPECT_EQ(table[2], 1);
  // The CRAM form is absent.
  EXPECT_INTERNAL_ERROR(reverse(table, VOLD_BLOCK_CRAM), "param != nullptr");
  // A block type with no codebook form of its own.
  EXPECT_INTERNAL_ERROR(reverse(table, VOLD_BLOCK_BRAM),
                        "Unrecognized parameter name: GZIP_KORVIA_LITERALS_BRAM");
  EXPECT_INTERNAL_ERROR(reverse(table, 0), "Unrecognized parameter name: GZIP_KORVIA_LITERALS_");
  EXPECT_INTERNAL_ERROR(reverse(table, 5000), "Unrecognized parameter name: GZIP_KORVIA_LITERALS_");
}

TEST_F(Codebook, ShortCodebookReturnsItsRows) {
  std::vector<u32> rows = identity_rows();
  rows.pop_back();
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS, rows);
  BYTES table(256, 0xEE);
  EXPECT_EQ(reverse(table), 255);
  EXPECT_EQ(table[254], 254);
  EXPECT_EQ(table[255], 0xEE);  // only the first size bytes are cleared
}

TEST_F(Codebook, Failures) {
  BYTES table(256);
  EXPECT_INTERNAL_ERROR(m_thread.copy_reversed_korvia_literals(table.data(), 256, nullptr, 37),
                        "config != nullptr");
  EXPECT_INTERNAL_ERROR(m_thread.copy_reversed_korvia_literals(nullptr, 256, &m_config, 37),
                        "addr != nullptr");
  EXPECT_INTERNAL_ERROR(m_thread.copy_reversed_korvia_literals(table.data(), 0, &m_config, 37),
                        "bytes > 0");
  {
    VARNO_BLOCK_CONFIG config;
    config.m_param_list.push_back(
        m_info.add_param(VOLD_BLOCK_SECTOR_ARRAY, VOLD_PARAMETER_GZIP_KORVIA_LITERALS, identity_rows()));
    BYTES small(100);
    EXPECT_INTERNAL_ERROR(
        m_thread.copy_reversed_korvia_literals(small.data(), 100, &config, 37),
        "GZIP_KORVIA_LITERALS param size (256) can't be greater than buffer size (100)");
  }
  {
    VARNO_BLOCK_CONFIG config;
    config.m_param_list.push_back(m_info.add_param_without_data(
        VOLD_BLOCK_SECTOR_ARRAY, VOLD_PARAMETER_GZIP_KORVIA_LITERALS, 256));
    EXPECT_INTERNAL_ERROR(m_thread.copy_reversed_korvia_literals(table.data(), 256, &config, 37),
                          "literals_data != nullptr");
  }
  {
    std::vector<u32> rows = identity_rows();
    rows[200] = 7;
    VARNO_BLOCK_CONFIG config;
    config.m_param_list.push_back(
        m_info.add_param(VOLD_BLOCK_SECTOR_ARRAY, VOLD_PARAMETER_GZIP_KORVIA_LITERALS, rows));
    EXPECT_INTERNAL_ERROR(m_thread.copy_reversed_korvia_literals(table.data(), 256, &config, 37),
                          "tmp_map.count(byte_val) == 0");
  }
  {
    std::vector<u32> rows = identity_rows();
    rows[9] = 256;
    VARNO_BLOCK_CONFIG config;
    config.m_param_list.push_back(
        m_info.add_param(VOLD_BLOCK_SECTOR_ARRAY, VOLD_PARAMETER_GZIP_KORVIA_LITERALS, rows));
    EXPECT_INTERNAL_ERROR(m_thread.copy_reversed_korvia_literals(table.data(), 256, &config, 37),
                          "byte_val <= MAXBYTE");
  }
  {
    // A value past the end of a short table is refused before any byte of
    // the table is written.
    VARNO_BLOCK_CONFIG config;
    config.m_param_list.push_back(m_info.add_param(
        VOLD_BLOCK_SECTOR_ARRAY, VOLD_PARAMETER_GZIP_KORVIA_LITERALS, {0, 1, 2, 16}));
    BYTES small(16, 0xEE);
    EXPECT_INTERNAL_ERROR(m_thread.copy_reversed_korvia_literals(small.data(), 16, &config, 37),
                          "byte_val < bytes");
    EXPECT_EQ(small, BYTES(16, 0xEE));
  }
}

// ---- The remapped stream of a thread --------------------------------------------------

class CodebookStream : public GroupGen {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(load_model());
    m_info.create_device_info(VOLD_FAMILY_QUELVO, 1);
    auto* eblock = dynamic_cast<VARNO_EBLOCK*>(gen()->get_block("SECTOR_ARRAY", false));
    ASSERT_NE(eblock, nullptr);
    m_array = eblock->config();
  }
  void add(VOLD_PARAMETER_TYPE type, const std::vector<u32>& rows) {
    m_array->m_param_list.push_back(m_info.add_param(VOLD_BLOCK_SECTOR_ARRAY, type, rows));
  }
  // A CRAM block outside any sector with one 8-byte frame.
  std::unique_ptr<VARNO_DBLOCK> cram_block(const BYTES& bytes) {
    return block_from(gen(), VOLD_BLOCK_CRAM, {bytes});
  }
  void prepare(VARNO_DC_THREAD& t, VARNO_DBLOCK* b) {
    t.m_DBlocksArray.push_back(b);
    t.m_data_size = b->get_block_size();
    t.m_DcThreadFrames = 1;
    t.set_generator(gen());
  }

  VOLD_INFO m_info;
  VARNO_BLOCK_CONFIG* m_array = nullptr;
};

TEST_F(CodebookStream, StreamBytesAreRemappedBeforeDeflate) {
  std::vector<u32> rows = identity_rows();
  rows[0] = 0x41;
  rows[0x41] = 0;
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS_CRAM, rows);
  gen()->get_mgr_param()->use_codebook = 1;
  auto b = cram_block({0x41, 0x00, 0x42, 0x41, 1, 2, 3, 4});
  VARNO_DC_THREAD t;
  prepare(t, b.get());
  t.m_thread_type = 1;
  ASSERT_TRUE(t.compress());
  // Header (0, 1, 0, 0, 2) and the frame, every 0x00 and 0x41 exchanged.
  const BYTES expected = {0x41, 0x01, 0x02, 0x41, 0x41, 0x41, 0x41, 0x41,
                          0x00, 0x41, 0x42, 0x00, 0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(inflate_raw(t.compressed_data(), t.compressed_size()), expected);
}

TEST_F(CodebookStream, SectorArrayTypeFormIsTheOneTheHostGets) {
  // The host's codebook of a type comes from the sector array's type form,
  // even when the sector array holds a generic one too: the stream must be
  // remapped with the inverse of exactly that form, or the device decodes
  // wrong bytes. A short generic codebook is therefore not in the way.
  std::vector<u32> cram = identity_rows();
  cram[1] = 0x80;
  cram[0x80] = 1;
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS_CRAM, cram);
  std::vector<u32> generic = identity_rows();
  generic.pop_back();
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS, generic);
  gen()->get_mgr_param()->use_codebook = 1;

  BYTES host(2048);
  ASSERT_EQ(gen()->copy_korvia_codebook(host.data(), 2048, VOLD_BLOCK_CRAM, true), 2048u);
  VARNO_DC_THREAD t;
  auto b = cram_block({1, 2, 3, 0x80, 5, 6, 7, 8});
  prepare(t, b.get());
  BYTES table(256);
  ASSERT_EQ(t.copy_reversed_host_literals(table.data(), 256, VOLD_BLOCK_CRAM), 256);
  // The device maps each stream byte back through the host's codebook.
  for (u32 x = 0; x < 256; ++x) EXPECT_EQ(host[8 * table[x]], x) << x;

  t.m_thread_type = 1;
  ASSERT_TRUE(t.compress());
  const BYTES expected = {0x00, 0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x80, 0x02, 0x03, 0x01, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(inflate_raw(t.compressed_data(), t.compressed_size()), expected);
}

// The group's devices with a top-level CRAM data block that carries its own
// codebook (row i holds 255 - i), and a sector array that holds an identity
// generic codebook and a type form of its own.
TEST(CodebookSource, DataBlockCodebookIsTheOneTheHostGets) {
  TEMP_DIR dir;
  // The sector devices are found beside the device file.
  for (const char* name : {"qv_sector_cl.ddb", "quelvo_sector_family_vold.ddb"})
    dir.write(name, read_file(kGroupDir + "/" + name));
  auto gen = new_generator(
      dir.write("family.ddb", read_file(kGroupDir + "/group_family.ddb") +
                                  "\nblock CRAM data frame=TK_ESRAM_BBUS\n"),
      dir.write("device.ddb", read_file(kGroupDir + "/group_device.ddb") +
                                  "\nparam CRAM GZIP_KORVIA_LITERALS 255..0\n"
                                  "param SECTOR_ARRAY GZIP_KORVIA_LITERALS 0..255\n"
                                  "param SECTOR_ARRAY GZIP_KORVIA_LITERALS_CRAM 0..255\n"));
  ASSERT_EQ(gen->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK);
  ASSERT_NE(dynamic_cast<VARNO_DBLOCK*>(gen->get_block(VOLD_BLOCK_CRAM, false)), nullptr);

  BYTES host(2048);
  ASSERT_EQ(gen->copy_korvia_codebook(host.data(), 2048, VOLD_BLOCK_CRAM, true), 2048u);
  EXPECT_EQ(host[0], 255);
  VARNO_DC_THREAD t;
  t.set_generator(gen.get());
  BYTES table(256);
  ASSERT_EQ(t.copy_reversed_host_literals(table.data(), 256, VOLD_BLOCK_CRAM), 256);
  for (u32 x = 0; x < 256; ++x) EXPECT_EQ(host[8 * table[x]], x) << x;
  EXPECT_EQ(table[0], 255);
  EXPECT_EQ(table[255], 0);

  // The stream is remapped with that inverse, not with the sector array's
  // identity codebook.
  gen->get_mgr_param()->use_codebook = 1;
  auto block = block_from(gen.get(), VOLD_BLOCK_CRAM, {{0, 1, 2, 3, 0x80, 0xFE, 0xFF, 0x10}});
  ASSERT_EQ(block->get_number_of_frames(), 1u);
  t.m_DBlocksArray.push_back(block.get());
  t.m_data_size = block->get_block_size();
  t.m_DcThreadFrames = 1;
  t.m_thread_type = 1;
  ASSERT_TRUE(t.compress());
  // Header (0, 1, 2, 0, 0, 0, 0, 0) and the frame, every byte x as 255 - x.
  const BYTES expected = {0xFF, 0xFE, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                          0xFF, 0xFE, 0xFD, 0xFC, 0x7F, 0x01, 0x00, 0xEF};
  EXPECT_EQ(inflate_raw(t.compressed_data(), t.compressed_size()), expected);
}

TEST_F(CodebookStream, ShortHostCodebookStopsTheStream) {
  std::vector<u32> rows = identity_rows();
  rows.pop_back();
  // 255 rows size the host's codebook below its minimum; the inverse alone
  // reports its own short count.
  add(VOLD_PARAMETER_GZIP_KORVIA_LITERALS_CRAM, rows);
  auto b = cram_block({1, 2, 3, 4, 5, 6, 7, 8});
  VARNO_DC_THREAD t;
  prepare(t, b.get());
  BYTES table(256);
  EXPECT_EQ(t.copy_reversed_host_literals(table.data(), 256, VOLD_BLOCK_CRAM), 255);
}

}  // namespace
