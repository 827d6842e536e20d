// The top-level bitstream: bit fields, merging by routing, hash blocks with
// their digests and routing tables, and the raw file.
#include <gtest/gtest.h>
#include <openssl/provider.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "generator_fixture.h"
#include "varno_itop_bitstream.h"
#include "varno_qv_top_bitstream.h"
#include "varno_test.h"
#include "vtable.h"

namespace fs = std::filesystem;

namespace {

constexpr u32 B = 4096;

BYTES pattern(u32 size, u32 seed) {
  BYTES b(size);
  for (u32 i = 0; i < size; ++i) b[i] = static_cast<u8>(seed * 31 + i * 7 + (i >> 8));
  return b;
}

BYTES digest(bool sha256, const u8* data, size_t n) {
  BYTES out(sha256 ? 32 : 48);
  if (sha256)
    SHA256(data, n, out.data());
  else
    SHA384(data, n, out.data());
  return out;
}

u32 routing_at(const VARNO_QV_TOP_BITSTREAM& top, u32 pos) {
  const std::vector<u32> r = top.get_bitfiled_routings(pos, pos);
  return r.empty() ? 0xFFFFFFFFu : r[0];
}

// What a hash block at pos must hold: the digests of the listed positions
// (over B bytes each) and the routing codes of r positions from table_from.
struct HASH_EXPECT {
  u32 pos;
  u32 h;
  u32 r;
  u32 action;
  std::vector<u32> digested;
  u32 table_from;
};

void check_hash_block(const VARNO_QV_TOP_BITSTREAM& top, bool sha256, const HASH_EXPECT& e) {
  SCOPED_TRACE("hash block at " + std::to_string(e.pos));
  ASSERT_EQ(top.get_bitfield_size(e.pos), B);
  EXPECT_EQ(routing_at(top, e.pos), VARNO_QV_ROUTING_HASH);
  const u8* blk = top.get_bitfield_data(e.pos);
  EXPECT_EQ(read_le32(blk), 1u);
  EXPECT_EQ(read_le32(blk + 4), e.action);
  EXPECT_EQ(read_le32(blk + 8), e.h);
  EXPECT_EQ(read_le32(blk + 12), e.r);
  const u32 s = sha256 ? 32 : 48;
  ASSERT_EQ(e.digested.size(), e.h);
  for (u32 k = 0; k < e.h; ++k) {
    ASSERT_EQ(top.get_bitfield_size(e.digested[k]), B);
    const BYTES d = digest(sha256, top.get_bitfield_data(e.digested[k]), B);
    EXPECT_EQ(std::memcmp(blk + 16 + k * s, d.data(), s), 0) << "digest " << k;
  }
  const u8* table = blk + 16 + e.h * s;
  for (u32 j = 0; j < e.r; ++j)
    EXPECT_EQ((table[j / 4] >> (2 * (j % 4))) & 3u, routing_at(top, e.table_from + j) & 3u)
        << "entry " << j;
  // Everything past the used table bits is zero.
  for (u32 i = 16 + e.h * s + (e.r + 3) / 4; i < B; ++i) ASSERT_EQ(blk[i], 0) << "byte " << i;
}

std::vector<u32> range(u32 from, u32 to) {
  std::vector<u32> v;
  for (u32 i = from; i <= to; ++i) v.push_back(i);
  return v;
}

const u32 s_routes[3] = {0, 1, 3};

// n hashed bit fields of B bytes, each with its own contents, routings 0, 1
// and 3 in turn.
struct FIELDS {
  std::vector<BYTES> data;
  void fill(VARNO_QV_TOP_BITSTREAM& top, u32 n) {
    data.clear();
    for (u32 i = 0; i < n; ++i) data.push_back(pattern(B, i + 1));
    for (u32 i = 0; i < n; ++i) top.add_bitfield(data[i].data(), B, s_routes[i % 3], true, true);
  }
};

}  // namespace

// ---- Interface and bit fields -------------------------------------------------------

TEST(TopBitstreamInterface, OperationOrderIsBinding) {
  using I = VARNO_ITOP_BITSTREAM;
  EXPECT_EQ(slot_of(&I::add_bitfield), 2);
  EXPECT_EQ(slot_of(&I::merge_by_routing), 3);
  EXPECT_EQ(slot_of(&I::insert_block_hash_to_address), 4);
  EXPECT_EQ(slot_of(&I::get_bitfield_count), 5);
  EXPECT_EQ(slot_of(&I::get_bitfield_size), 6);
  EXPECT_EQ(slot_of(&I::get_bitfield_data), 7);
  EXPECT_EQ(slot_of(&I::clear), 8);
  EXPECT_EQ(slot_of(&I::write_to_file), 9);
  EXPECT_EQ(slot_of(&I::get_bitfiled_routings), 10);
}

TEST(TopBitstreamInterface, ReaderOnlyImplementationRefusesTheRest) {
  struct READER : VARNO_ITOP_BITSTREAM {
    u32 get_bitfield_count() const override { return 0; }
    u32 get_bitfield_size(u32) const override { return 0; }
    unsigned char* get_bitfield_data(u32) const override { return nullptr; }
    bool write_to_file(const std::string&, VARNO_OUTPUT_FORMAT, u32, u32, bool) override {
      return true;
    }
  } reader;
  u8 out[48];
  EXPECT_INTERNAL_ERROR(reader.add_bitfield(out, 1, 0, true, false),
                        "add_bitfield is not available");
  EXPECT_INTERNAL_ERROR(reader.merge_by_routing(B, 0, 0, false, VARNO_SHA_MODE_256),
                        "merge_by_routing is not available");
  EXPECT_INTERNAL_ERROR(reader.insert_block_hash_to_address(0, 0, VARNO_SHA_MODE_256, out),
                        "insert_block_hash_to_address is not available");
  EXPECT_INTERNAL_ERROR(reader.get_bitfiled_routings(0, 0),
                        "get_bitfiled_routings is not available");
  reader.clear(true);
}

TEST(TopBitstream, AddAndRead) {
  VARNO_QV_TOP_BITSTREAM top;
  EXPECT_EQ(top.get_bitfield_count(), 0u);
  u8 a[3] = {1, 2, 3}, b[2] = {4, 5}, c[1] = {6};
  top.add_bitfield(a, 3, 1, true, false);
  top.add_bitfield(b, 2, 3, true, true);
  top.add_bitfield(c, 1, 0, false, false);  // to the front
  top.add_bitfield(nullptr, 0, 2, true, false);
  ASSERT_EQ(top.get_bitfield_count(), 4u);
  EXPECT_EQ(top.get_bitfield_data(0), c);
  EXPECT_EQ(top.get_bitfield_data(1), a);
  EXPECT_EQ(top.get_bitfield_data(2), b);
  EXPECT_EQ(top.get_bitfield_data(3), nullptr);
  EXPECT_EQ(top.get_bitfield_size(1), 3u);
  EXPECT_EQ(top.get_bitfield_size(4), 0u);
  EXPECT_EQ(top.get_bitfield_data(4), nullptr);

  EXPECT_EQ(top.get_bitfiled_routings(0, 3), (std::vector<u32>{0, 1, 3, 2}));
  EXPECT_EQ(top.get_bitfiled_routings(2, 100), (std::vector<u32>{3, 2}));
  EXPECT_TRUE(top.get_bitfiled_routings(2, 1).empty());
  EXPECT_TRUE(top.get_bitfiled_routings(4, 9).empty());

  top.clear(true);
  EXPECT_EQ(top.get_bitfield_count(), 4u);

  // A size without a buffer is refused where it is given.
  EXPECT_INTERNAL_ERROR(top.add_bitfield(nullptr, 5, 0, true, false), "data != NULL || size == 0");
  EXPECT_EQ(top.get_bitfield_count(), 4u);
}

TEST(TopBitstream, BlockHashKnownAnswers) {
  VARNO_QV_TOP_BITSTREAM top;
  u8 abc[3] = {'a', 'b', 'c'};
  top.add_bitfield(abc, 3, 0, true, true);
  u8 out[48] = {};
  EXPECT_TRUE(top.insert_block_hash_to_address(0, 3, VARNO_SHA_MODE_256, out));
  const u8 sha256_abc[4] = {0xBA, 0x78, 0x16, 0xBF};
  EXPECT_EQ(std::memcmp(out, sha256_abc, 4), 0);
  EXPECT_EQ(out[31], 0xAD);
  EXPECT_EQ(out[32], 0);  // nothing past the digest
  // Any mode but 1 is SHA-384.
  EXPECT_TRUE(top.insert_block_hash_to_address(0, 3, static_cast<VARNO_SHA_MODE>(7), out));
  const u8 sha384_abc[4] = {0xCB, 0x00, 0x75, 0x3F};
  EXPECT_EQ(std::memcmp(out, sha384_abc, 4), 0);
  EXPECT_EQ(out[47], 0xA7);
  // The empty prefix.
  EXPECT_TRUE(top.insert_block_hash_to_address(0, 0, VARNO_SHA_MODE_256, out));
  EXPECT_EQ(out[0], 0xE3);

  EXPECT_INTERNAL_ERROR(top.insert_block_hash_to_address(1, 3, VARNO_SHA_MODE_256, out),
                        "block_idx < m_BitFieldList.size()");
  // Never past the end of the field.
  EXPECT_INTERNAL_ERROR(top.insert_block_hash_to_address(0, 4, VARNO_SHA_MODE_256, out),
                        "num_bytes <= blk_size");
  EXPECT_INTERNAL_ERROR(top.insert_block_hash_to_address(0, 3, VARNO_SHA_MODE_256, nullptr),
                        "dest != NULL");
  top.add_bitfield(nullptr, 0, 0, true, true);
  EXPECT_INTERNAL_ERROR(top.insert_block_hash_to_address(1, 0, VARNO_SHA_MODE_256, out),
                        "blk_data != NULL");
}

// The digest library failing is an internal error. Only a process in which
// nothing has loaded the default provider yet can make it fail, hence the
// re-executed child, which exits with status 0 exactly when the failure was
// reported as it should be.
static void digest_failure_child() {
  OSSL_PROVIDER* null_provider = OSSL_PROVIDER_load(nullptr, "null");
  std::string text;
  {
    VARNO_QV_TOP_BITSTREAM top;
    u8 abc[3] = {'a', 'b', 'c'};
    u8 out[48];
    top.add_bitfield(abc, 3, 0, true, true);
    try {
      top.insert_block_hash_to_address(0, 3, VARNO_SHA_MODE_256, out);
    } catch (const msg_internal_error& e) {
      text = e.what();
    }
  }
  if (null_provider != nullptr) OSSL_PROVIDER_unload(null_provider);
  std::fprintf(stderr, "[%s]", text.c_str());
  std::_Exit(null_provider != nullptr && text == "Failed to calculate SHA" ? 0 : 1);
}

TEST(TopBitstreamDeathTest, DigestFailureIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(digest_failure_child(), ::testing::ExitedWithCode(0),
              "\\[Failed to calculate SHA\\]");
}

// ---- Merging ---------------------------------------------------------------------------

TEST(TopBitstreamMerge, PacksRunsIntoBlocks) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES a = pattern(1000, 1), b = pattern(2000, 2), c = pattern(1500, 3);
  top.add_bitfield(a.data(), 1000, 1, true, false);
  top.add_bitfield(b.data(), 2000, 1, true, false);
  top.add_bitfield(c.data(), 1500, 1, true, false);
  EXPECT_TRUE(top.merge_by_routing(B, 0, 2, false, VARNO_SHA_MODE_256).empty());

  ASSERT_EQ(top.get_bitfield_count(), 2u);
  BYTES first(B, 0), second(B, 0);
  std::memcpy(first.data(), a.data(), 1000);
  std::memcpy(first.data() + 1000, b.data(), 2000);
  std::memcpy(second.data(), c.data(), 1500);
  ASSERT_EQ(top.get_bitfield_size(0), B);
  ASSERT_EQ(top.get_bitfield_size(1), B);
  EXPECT_EQ(BYTES(top.get_bitfield_data(0), top.get_bitfield_data(0) + B), first);
  EXPECT_EQ(BYTES(top.get_bitfield_data(1), top.get_bitfield_data(1) + B), second);
  EXPECT_EQ(top.get_bitfiled_routings(0, 1), (std::vector<u32>{1, 1}));
  // The host's buffers are untouched.
  EXPECT_EQ(a, pattern(1000, 1));
}

TEST(TopBitstreamMerge, BlockBoundaries) {
  // Exactly full: 1000 + 3096 closes a block; the next field opens one.
  VARNO_QV_TOP_BITSTREAM top;
  BYTES a = pattern(1000, 1), b = pattern(3096, 2), c = pattern(10, 3);
  top.add_bitfield(a.data(), 1000, 0, true, false);
  top.add_bitfield(b.data(), 3096, 0, true, false);
  top.add_bitfield(c.data(), 10, 0, true, false);
  top.merge_by_routing(B, 0, 2, false, VARNO_SHA_MODE_256);
  ASSERT_EQ(top.get_bitfield_count(), 2u);
  const u8* m0 = top.get_bitfield_data(0);
  EXPECT_EQ(std::memcmp(m0, a.data(), 1000), 0);
  EXPECT_EQ(std::memcmp(m0 + 1000, b.data(), 3096), 0);
  const u8* m1 = top.get_bitfield_data(1);
  EXPECT_EQ(std::memcmp(m1, c.data(), 10), 0);
  EXPECT_EQ(m1[10], 0);
  EXPECT_EQ(m1[B - 1], 0);

  // Overflowing: 3000 + 2000 leaves the first block's tail zero.
  VARNO_QV_TOP_BITSTREAM top2;
  BYTES d = pattern(3000, 4), e = pattern(2000, 5);
  top2.add_bitfield(d.data(), 3000, 3, true, true);
  top2.add_bitfield(e.data(), 2000, 3, true, true);
  top2.merge_by_routing(B, 0, 1, false, VARNO_SHA_MODE_256);
  ASSERT_EQ(top2.get_bitfield_count(), 2u);
  EXPECT_EQ(std::memcmp(top2.get_bitfield_data(0), d.data(), 3000), 0);
  EXPECT_EQ(top2.get_bitfield_data(0)[3000], 0);
  EXPECT_EQ(std::memcmp(top2.get_bitfield_data(1), e.data(), 2000), 0);
}

TEST(TopBitstreamMerge, WholeBlocksPassThrough) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES w0 = pattern(B, 1), w1 = pattern(B, 2), small = pattern(100, 3), w2 = pattern(B, 4);
  BYTES before = pattern(7, 5), after = pattern(9, 6);
  top.add_bitfield(before.data(), 7, 1, true, false);
  top.add_bitfield(w0.data(), B, 0, true, false);
  top.add_bitfield(w1.data(), B, 0, true, false);
  top.add_bitfield(small.data(), 100, 0, true, false);
  top.add_bitfield(w2.data(), B, 1, true, false);  // a change of routing
  top.add_bitfield(after.data(), 9, 0, true, false);
  top.merge_by_routing(B, 1, 4, false, VARNO_SHA_MODE_256);

  ASSERT_EQ(top.get_bitfield_count(), 6u);
  EXPECT_EQ(top.get_bitfield_data(0), before.data());
  EXPECT_EQ(top.get_bitfield_size(0), 7u);
  EXPECT_EQ(top.get_bitfield_data(1), w0.data());
  EXPECT_EQ(top.get_bitfield_data(2), w1.data());
  EXPECT_NE(top.get_bitfield_data(3), small.data());
  EXPECT_EQ(top.get_bitfield_size(3), B);
  EXPECT_EQ(top.get_bitfield_data(4), w2.data());
  EXPECT_EQ(top.get_bitfield_data(5), after.data());
  EXPECT_EQ(top.get_bitfield_size(5), 9u);
  EXPECT_EQ(top.get_bitfiled_routings(0, 5), (std::vector<u32>{1, 0, 0, 0, 1, 0}));
}

TEST(TopBitstreamMerge, RoutingAndHashedFlagSplitRuns) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES a = pattern(10, 1), b = pattern(20, 2), c = pattern(30, 3), d = pattern(40, 4);
  u8 none = 0;
  top.add_bitfield(a.data(), 10, 0, true, false);
  top.add_bitfield(b.data(), 20, 0, true, true);  // other flag
  top.add_bitfield(&none, 0, 0, true, true);      // empty: leaves nothing behind
  top.add_bitfield(c.data(), 30, 0, true, true);
  top.add_bitfield(d.data(), 40, 3, true, true);  // other routing
  top.merge_by_routing(B, 0, 4, false, VARNO_SHA_MODE_256);
  ASSERT_EQ(top.get_bitfield_count(), 3u);
  EXPECT_EQ(std::memcmp(top.get_bitfield_data(0), a.data(), 10), 0);
  EXPECT_EQ(top.get_bitfield_data(0)[10], 0);
  EXPECT_EQ(std::memcmp(top.get_bitfield_data(1), b.data(), 20), 0);
  EXPECT_EQ(std::memcmp(top.get_bitfield_data(1) + 20, c.data(), 30), 0);
  EXPECT_EQ(top.get_bitfield_data(1)[50], 0);
  EXPECT_EQ(std::memcmp(top.get_bitfield_data(2), d.data(), 40), 0);
  EXPECT_EQ(top.get_bitfiled_routings(0, 2), (std::vector<u32>{0, 0, 3}));
}

TEST(TopBitstreamMerge, RangesThatChangeNothing) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES a = pattern(10, 1), b = pattern(10, 2);
  top.add_bitfield(a.data(), 10, 0, true, false);
  top.add_bitfield(b.data(), 10, 0, true, false);
  EXPECT_TRUE(top.merge_by_routing(B, 0, 2, true, VARNO_SHA_MODE_256).empty());
  EXPECT_TRUE(top.merge_by_routing(B, 1, 0, true, VARNO_SHA_MODE_256).empty());
  ASSERT_EQ(top.get_bitfield_count(), 2u);
  EXPECT_EQ(top.get_bitfield_data(0), a.data());
  EXPECT_EQ(top.get_bitfield_data(1), b.data());
}

TEST(TopBitstreamMerge, FieldLongerThanBlockIsRefused) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES a = pattern(10, 1), big = pattern(B + 1, 2);
  top.add_bitfield(a.data(), 10, 0, true, false);
  top.add_bitfield(big.data(), B + 1, 0, true, false);
  EXPECT_INTERNAL_ERROR(top.merge_by_routing(B, 0, 1, false, VARNO_SHA_MODE_256),
                        "blk_size <= block_size");
  ASSERT_EQ(top.get_bitfield_count(), 2u);
  EXPECT_EQ(top.get_bitfield_data(0), a.data());
  EXPECT_EQ(top.get_bitfield_data(1), big.data());
  // Outside the merged range it is left alone.
  top.merge_by_routing(B, 0, 0, false, VARNO_SHA_MODE_256);
  EXPECT_EQ(top.get_bitfield_size(0), B);
  EXPECT_EQ(top.get_bitfield_size(1), B + 1);
}

// ---- Hash blocks -----------------------------------------------------------------------

// A merge from position 1 with hashed and plain fields; the block covers the
// hashed fields to the end of the list but routes only the merged ones.
TEST(TopBitstreamHash, SingleBlockLayout) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES x = pattern(50, 1), a = pattern(B, 2), b = pattern(1000, 3), c = pattern(2000, 4),
        d = pattern(100, 5), e = pattern(10, 6);
  top.add_bitfield(x.data(), 50, 0, true, false);
  top.add_bitfield(a.data(), B, 1, true, true);
  top.add_bitfield(b.data(), 1000, 3, true, true);
  top.add_bitfield(c.data(), 2000, 3, true, true);
  top.add_bitfield(d.data(), 100, 0, true, false);
  top.add_bitfield(e.data(), 10, 1, true, false);
  EXPECT_EQ(top.merge_by_routing(B, 1, 4, true, VARNO_SHA_MODE_256), (std::vector<u32>{1}));

  // X, hash, A, B+C, D, E.
  ASSERT_EQ(top.get_bitfield_count(), 6u);
  EXPECT_EQ(top.get_bitfield_data(0), x.data());
  EXPECT_EQ(top.get_bitfield_data(2), a.data());
  EXPECT_EQ(top.get_bitfield_data(5), e.data());
  EXPECT_EQ(top.get_bitfiled_routings(0, 5), (std::vector<u32>{0, 2, 1, 3, 0, 1}));

  BYTES bc(B, 0);
  std::memcpy(bc.data(), b.data(), 1000);
  std::memcpy(bc.data() + 1000, c.data(), 2000);
  ASSERT_EQ(BYTES(top.get_bitfield_data(3), top.get_bitfield_data(3) + B), bc);

  // Header 1, 16 + 2 * 32 + 4 = 84, two digests, three routes: A (1), B+C
  // (3), D (0) packed as 01 | 11 << 2 | 00 << 4.
  BYTES want(B, 0);
  const u8 header[16] = {1, 0, 0, 0, 84, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  std::memcpy(want.data(), header, 16);
  SHA256(a.data(), B, want.data() + 16);
  SHA256(bc.data(), B, want.data() + 48);
  want[80] = 0x0D;
  ASSERT_EQ(top.get_bitfield_size(1), B);
  EXPECT_EQ(BYTES(top.get_bitfield_data(1), top.get_bitfield_data(1) + B), want);
}

// 200 hashed fields of B bytes, SHA-256: the first block covers 125 fields
// and chains to a second block covering the other 75.
TEST(TopBitstreamHash, Sha256Chain) {
  VARNO_QV_TOP_BITSTREAM top;
  FIELDS fields;
  fields.fill(top, 200);
  DEBUG_LINES debug;
  EXPECT_EQ(top.merge_by_routing(B, 0, 199, true, VARNO_SHA_MODE_256), (std::vector<u32>{125, 0}));

  // hash 1, fields 0..124, hash 2, fields 125..199.
  ASSERT_EQ(top.get_bitfield_count(), 202u);
  EXPECT_EQ(top.get_bitfield_data(1), fields.data[0].data());
  EXPECT_EQ(top.get_bitfield_data(125), fields.data[124].data());
  EXPECT_EQ(top.get_bitfield_data(127), fields.data[125].data());
  EXPECT_EQ(top.get_bitfield_data(201), fields.data[199].data());

  // 125 field digests and hash 2's; 192 routes: positions 1 to 192.
  std::vector<u32> d1 = range(1, 125);
  d1.push_back(126);
  check_hash_block(top, true, {0, 126, 192, 16 + 126 * 32 + 48, d1, 1});
  // 75 digests; 9 routes: fields 191..199 at positions 193..201.
  check_hash_block(top, true, {126, 75, 9, 16 + 75 * 32 + 4, range(127, 201), 193});

  const std::vector<std::string> want = {
      "Start insert hash function at init index 0, start index 0 for 200 blocks, 0 hash block "
      "index and 0 routes info\n  ",
      "\t Non hashed:0, hashed:125\n",
      "\t Routable blocks: 192, pre routes: 0, routes_in_queue: 66\n",
      "Start insert hash function at init index 0, start index 125 for 200 blocks, 1 hash block "
      "index and 4200c0 routes info\n  ",
      "\t Non hashed:0, hashed:75\n",
      "\t Routable blocks: 174, pre routes: 192, routes_in_queue: 164\n",
  };
  EXPECT_EQ(debug.lines, want);

  // The second block is read on trust like the first: a byte changed outside
  // its digests is refused though its digest is renewed in the first. A page
  // behind it patched, with both digests above it renewed, is written.
  const TEMP_DIR dir;
  const std::string path = dir.file("chain.bin");
  u8* second = top.get_bitfield_data(126);
  u8* chain_digest = top.get_bitfield_data(0) + 16 + 125 * 32;
  for (const auto& [at, where] : std::vector<std::pair<u32, std::string>>{
           {12, "its header words"}, {16 + 75 * 32 + 1, "its routing table"},
           {B - 1, "the zero bytes after its routing table"}}) {
    second[at] ^= 0x10;
    top.insert_block_hash_to_address(126, B, VARNO_SHA_MODE_256, chain_digest);
    EXPECT_INTERNAL_ERROR(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 201, false),
                          "Top bitstream write_to_file() over bit field 126, the chain's hash block 2, whose byte " +
                              std::to_string(at) + " (in " + where +
                              ") changed after merge_by_routing() wrote it: only its digests may be put anew, with "
                              "insert_block_hash_to_address()");
    second[at] ^= 0x10;
    top.insert_block_hash_to_address(126, B, VARNO_SHA_MODE_256, chain_digest);
  }
  EXPECT_FALSE(fs::exists(path));
  fields.data[150][7] ^= 1;  // at 152, the 26th field behind the second block
  top.insert_block_hash_to_address(152, B, VARNO_SHA_MODE_256, second + 16 + 25 * 32);
  top.insert_block_hash_to_address(126, B, VARNO_SHA_MODE_256, chain_digest);
  ASSERT_TRUE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 201, false));
  EXPECT_EQ(read_file(path)[152 * B + 7], static_cast<char>(fields.data[150][7]));
}

// 200 hashed fields, SHA-384: 83 + 1 digests a block, three blocks; the
// last one routes nothing, its entries being covered by the two in front.
TEST(TopBitstreamHash, Sha384Chain) {
  VARNO_QV_TOP_BITSTREAM top;
  FIELDS fields;
  fields.fill(top, 200);
  EXPECT_EQ(top.merge_by_routing(B, 0, 199, true, VARNO_SHA_MODE_384),
            (std::vector<u32>{166, 83, 0}));

  // hash 1, fields 0..82, hash 2, fields 83..165, hash 3, fields 166..199.
  ASSERT_EQ(top.get_bitfield_count(), 203u);
  EXPECT_EQ(top.get_bitfield_data(85), fields.data[83].data());
  EXPECT_EQ(top.get_bitfield_data(169), fields.data[166].data());

  std::vector<u32> d1 = range(1, 83), d2 = range(85, 167);
  d1.push_back(84);
  d2.push_back(168);
  check_hash_block(top, false, {0, 84, 192, 4096, d1, 1});
  check_hash_block(top, false, {84, 84, 10, 16 + 84 * 48 + 4, d2, 193});
  check_hash_block(top, false, {168, 34, 0, 16 + 34 * 48, range(169, 202), 0});
}

// Hashing continues past the merged range, so a short hashed field there
// cannot be digested over a whole block.
TEST(TopBitstreamHash, ShortHashedFieldIsRefused) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES a = pattern(B, 1), s = pattern(100, 2);
  top.add_bitfield(a.data(), B, 0, true, true);
  top.add_bitfield(s.data(), 100, 0, true, true);
  EXPECT_INTERNAL_ERROR(top.merge_by_routing(B, 0, 0, true, VARNO_SHA_MODE_256),
                        "num_bytes <= blk_size");
  ASSERT_EQ(top.get_bitfield_count(), 2u);
  EXPECT_EQ(top.get_bitfield_data(0), a.data());
}

// A hash block must hold its digests and table; the list is left as it was.
TEST(TopBitstreamHash, ActionLargerThanBlockIsRefused) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES a = pattern(1024, 1);
  for (int i = 0; i < 40; ++i) top.add_bitfield(a.data(), 1024, 0, true, true);
  // 16 + 40 * 32 + 12 = 1308 bytes.
  EXPECT_INTERNAL_ERROR(top.merge_by_routing(1024, 0, 39, true, VARNO_SHA_MODE_256),
                        "action_size <= block_size");
  ASSERT_EQ(top.get_bitfield_count(), 40u);
  for (u32 i = 0; i < 40; ++i) EXPECT_EQ(top.get_bitfield_data(i), a.data());
}

// 192 routes at most for one block: 191 plain fields leave no room for the
// block's own entry.
TEST(TopBitstreamHash, TooManyEntriesForTheRouteQueue) {
  VARNO_QV_TOP_BITSTREAM top;
  BYTES a = pattern(B, 1);
  for (int i = 0; i < 190; ++i) top.add_bitfield(a.data(), B, 0, true, false);
  EXPECT_TRUE(top.merge_by_routing(B, 0, 189, true, VARNO_SHA_MODE_256).empty());
  EXPECT_EQ(top.get_bitfield_count(), 190u);
  top.add_bitfield(a.data(), B, 0, true, false);
  EXPECT_INTERNAL_ERROR(top.merge_by_routing(B, 0, 190, true, VARNO_SHA_MODE_256),
                        "routes_in_queue > (num_hashed_blocks + non_hashed + 1)");
  EXPECT_EQ(top.get_bitfield_count(), 191u);
}

// A chain long enough that the routed-entry count passes 65535: the tables
// of all blocks, read in order, still route every entry after the first
// block exactly once and in order.
TEST(TopBitstreamHash, LongChainRoutesEveryEntryOnce) {
  constexpr u32 n = 70000;
  std::vector<BYTES> buffers;
  for (u32 i = 0; i < 5; ++i) buffers.push_back(pattern(B, 100 + i));
  VARNO_QV_TOP_BITSTREAM top;
  u32 lcg = 12345;
  for (u32 i = 0; i < n; ++i) {
    lcg = lcg * 1103515245u + 12345u;
    top.add_bitfield(buffers[i % 5].data(), B, s_routes[(lcg >> 16) % 3], true, true);
  }
  const std::vector<u32> result = top.merge_by_routing(B, 0, n - 1, true, VARNO_SHA_MODE_256);
  const u32 count = top.get_bitfield_count();
  ASSERT_EQ(count, n + result.size());
  ASSERT_GE(result.size(), 560u);
  ASSERT_GT(count - 1u, 65535u);
  EXPECT_EQ(result.back(), 0u);

  const std::vector<u32> routings = top.get_bitfiled_routings(0, count - 1);
  std::vector<u32> blocks;
  for (u32 i = 0; i < count; ++i)
    if (routings[i] == 2) blocks.push_back(i);
  ASSERT_EQ(blocks.size(), result.size());
  ASSERT_EQ(blocks[0], 0u);

  std::vector<u32> routed;
  for (size_t k = 0; k < blocks.size(); ++k) {
    const u8* blk = top.get_bitfield_data(blocks[k]);
    const u32 next = k + 1 < blocks.size() ? blocks[k + 1] : count;
    const u32 h = read_le32(blk + 8), r = read_le32(blk + 12);
    ASSERT_EQ(h, next - blocks[k] - 1 + (k + 1 < blocks.size() ? 1 : 0)) << "block " << k;
    ASSERT_LE(read_le32(blk + 4), B);
    for (u32 j = 0; j < r; ++j) routed.push_back((blk[16 + h * 32 + j / 4] >> (2 * (j % 4))) & 3u);
  }
  ASSERT_EQ(routed.size(), count - 1u);
  for (u32 i = 1; i < count; ++i) ASSERT_EQ(routed[i - 1], routings[i] & 3u) << "entry " << i;

  // The digests at the far end: the last block's first field and the chain
  // digest in front of it.
  const u32 last = blocks.back(), prev = blocks[blocks.size() - 2];
  const u8* lb = top.get_bitfield_data(last);
  const u8* pb = top.get_bitfield_data(prev);
  EXPECT_EQ(std::memcmp(lb + 16, digest(true, top.get_bitfield_data(last + 1), B).data(), 32), 0);
  EXPECT_EQ(std::memcmp(pb + 16 + 125 * 32, digest(true, lb, B).data(), 32), 0);
}

// ---- Files -----------------------------------------------------------------------------

TEST(TopBitstreamFile, RawFileHoldsTheMergedBlocks) {
  VARNO_QV_TOP_BITSTREAM top;
  FIELDS fields;
  fields.fill(top, 130);
  ASSERT_EQ(top.merge_by_routing(B, 0, 129, true, VARNO_SHA_MODE_256), (std::vector<u32>{125, 0}));
  const u32 count = top.get_bitfield_count();
  TEMP_DIR dir;
  const std::string path = dir.file("raw");
  ASSERT_TRUE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, count - 1, false));

  const std::string file = read_file(path);
  ASSERT_EQ(file.size(), static_cast<size_t>(count) * B);
  for (u32 i = 0; i < count; ++i)
    ASSERT_EQ(std::memcmp(file.data() + static_cast<size_t>(i) * B, top.get_bitfield_data(i), B),
              0);
  // Read back from the file alone: block 0's first digest is that of the
  // next 4096 bytes, its last that of the chained block at 126.
  const u8* raw = reinterpret_cast<const u8*>(file.data());
  EXPECT_EQ(std::memcmp(raw + 16, digest(true, raw + B, B).data(), 32), 0);
  EXPECT_EQ(std::memcmp(raw + 16 + 125 * 32, digest(true, raw + 126 * B, B).data(), 32), 0);
  EXPECT_EQ(read_le32(raw + 126 * B + 8), 5u);

  // Appending one field.
  ASSERT_TRUE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 1, 1, true));
  EXPECT_EQ(read_file(path).size(), static_cast<size_t>(count + 1) * B);
}

TEST(TopBitstreamFile, RangesAndFormats) {
  VARNO_QV_TOP_BITSTREAM top;
  u8 a[3] = {1, 2, 3}, b[2] = {0xFE, 0xFF};
  top.add_bitfield(a, 3, 0, true, false);
  top.add_bitfield(b, 2, 1, true, false);
  TEMP_DIR dir;
  const std::string path = dir.file("ranges");

  ASSERT_TRUE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 1, false));
  EXPECT_EQ(read_file(path), std::string("\x01\x02\x03\xFE\xFF"));
  // Past the end: refused, the file kept.
  EXPECT_FALSE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, 2, false));
  EXPECT_EQ(read_file(path).size(), 5u);
  // An empty range truncates.
  EXPECT_TRUE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 1, 0, false));
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(read_file(path), "");
  EXPECT_FALSE(top.write_to_file(path + "_no_dir/x", VARNO_OUTPUT_FORMAT_RAW, 0, 1, false));
  fs::remove(path);

  // The text format and unknown formats write nothing.
  EXPECT_TRUE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_DAT, 0, 1, false));
  EXPECT_TRUE(top.write_to_file(path, VARNO_OUTPUT_FORMAT_BIT_TEXT, 0, 1, false));
  EXPECT_FALSE(fs::exists(path));
}
