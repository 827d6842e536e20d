// The generator's 2D library image: the merge over the registered engines,
// the image layout and offsets, the choice of the top hashes, the two
// targeting flows, the prediction settings and clear_2d_data. Engines sit on
// flat blocks whose frames the tests lay out; expected images are built by
// hand from those frames.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cfg.h"
#include "flat_2d_device.h"
#include "varno_util.h"

namespace {

using namespace twod;

class Libs2DMerge : public ::testing::Test, public FLAT_DEVICE {
 protected:
  // A block engine, owned by its block and registered with the generator.
  static VARNO_QV_2D_ENGINE* attach(VARNO_GEN* gen, VARNO_DBLOCK* block, bool cram) {
    auto* engine = new VARNO_QV_2D_ENGINE(block, cram);
    block->set_2d_engine(engine);
    engine->run();
    gen->registered_2d_engines().push_back(engine);
    return engine;
  }
  VARNO_QV_2D_ENGINE* attach(VARNO_DBLOCK* block, bool cram) { return attach(gen(), block, cram); }
  BYTES image() {
    BYTES out(gen()->get_2d_libs_size(), 0xEE);
    EXPECT_EQ(gen()->copy_2d_libs(out.data(), static_cast<u32>(out.size())), 0);
    return out;
  }
  std::vector<u32> offsets() {
    std::vector<u32> out;
    for (u32 ip : {0u, 1u, 2u, 3u, 4u, 16u, 99u}) out.push_back(gen()->get_ip_offset(ip));
    return out;
  }
  // CRAM rows of one frame: types 0, 1, 2, 3 at bytes 0, 6, 12, 24 (36
  // bytes), aligned libraries of 8, 8, 16 and 16 bytes.
  void cram_rows(u32 rows) {
    line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 " + std::to_string(rows));
    line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 1");
  }
  static BYTES lib_chunk(const BYTES& frame, u32 offset, u32 width, u32 lib_width) {
    BYTES out = slice(frame, offset, width);
    out.resize(lib_width, 0);
    return out;
  }
};

constexpr u32 kOffsets[4] = {0, 6, 12, 24};
constexpr u32 kWidths[4] = {6, 6, 12, 12};
constexpr u32 kLibWidths[4] = {8, 8, 16, 16};

BYTES pattern(u32 size, u8 seed) {
  BYTES out(size);
  for (u32 k = 0; k < size; ++k) out[k] = static_cast<u8>(seed + k);
  return out;
}

// ---- Read-out without a merge --------------------------------------------------------

TEST_F(Libs2DMerge, NoEngineLeavesTheImageEmpty) {
  load();
  param().qv_2d_compression = 3;
  gen()->merge_and_create_2d_libs();
  EXPECT_EQ(gen()->get_2d_libs_size(), 0u);
  EXPECT_EQ(offsets(), std::vector<u32>(7, 0));
  u8 dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(gen()->copy_2d_libs(dst, 0), 0);
  EXPECT_EQ(dst[0], 0xEE);
  EXPECT_INTERNAL_ERROR(gen()->copy_2d_libs(dst, 1), "bytes <= m_2d_libs_size");
  EXPECT_EQ(gen()->get_2d_ip_libs_count(), 5u);
  EXPECT_EQ(gen()->combined_2d_engine(), nullptr);
  gen()->clear_2d_data();
}

TEST_F(Libs2DMerge, PredictionSettings) {
  load();
  EXPECT_EQ(gen()->get_2d_pred_settings(0), 0x38284u);
  EXPECT_EQ(gen()->get_2d_pred_settings(1), 0u);
  param().tk_flow = 1;
  EXPECT_EQ(gen()->get_2d_pred_settings(0), 0x80012u);
  EXPECT_EQ(gen()->get_2d_pred_settings(1), 0x32651034u);
  param().tk_flow = 2;
  EXPECT_EQ(gen()->get_2d_pred_settings(0), 0x38284u);
  EXPECT_INTERNAL_ERROR(gen()->get_2d_pred_settings(2), "wrd_idx == 0 || wrd_idx == 1");
}

// ---- Image layout ---------------------------------------------------------------------

TEST_F(Libs2DMerge, TwoLibrariesPerCramTypeAndOneForEram) {
  // CRAM rows P, P, Q; ERAM rows E, E, F.
  cram_rows(3);
  line("ERAM BROW_SIZE", "arg ERAM BROW_SIZE width=1 3");
  load();
  param().qv_2d_align = 1;
  param().qv_2d_compression = 3;
  const BYTES p = pattern(36, 0x10);
  const BYTES q = pattern(36, 0x80);
  add_frames(cram(), {p, p, q});
  const BYTES e = pattern(2560, 1);
  const BYTES f = pattern(2560, 7);
  add_frames(eram(), {e, e, f});
  VARNO_QV_2D_ENGINE* ce = attach(cram(), true);
  VARNO_QV_2D_ENGINE* ee = attach(eram(), false);

  DEBUG_LINES debug;
  gen()->merge_and_create_2d_libs();
  BYTES expected;
  for (u32 t = 0; t < 4; ++t) {
    for (const BYTES* row : {&p, &q}) {
      const BYTES chunk = lib_chunk(*row, kOffsets[t], kWidths[t], kLibWidths[t]);
      expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
  }
  expected.insert(expected.end(), e.begin(), e.end());
  EXPECT_EQ(gen()->get_2d_libs_size(), 2656u);  // 2 x (8 + 8 + 16 + 16) + 2560
  EXPECT_EQ(image(), expected);
  EXPECT_EQ(offsets(), (std::vector<u32>{0, 2, 4, 8, 12, 12, 12}));
  EXPECT_TRUE(debug.has("Running cram lib extraction..."));
  EXPECT_TRUE(debug.has("Clear lib 1 for IP 3"));
  EXPECT_TRUE(debug.has("Running eram lib extraction..."));

  // Every CRAM slice matches a library; the ERAM row F does not.
  BYTES bbm(24);
  EXPECT_EQ(ce->copy_BBM(bbm.data()), 24u);
  EXPECT_EQ(bbm, (BYTES{0x22, 0x22, 0, 0, 0, 0, 0, 0, 0x22, 0x22, 0, 0, 0, 0, 0, 0,  //
                        0x33, 0x33, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ce->m_2DSegments, (std::vector<u32>{0x0000FFFF, 0x0001FFFF, 0x0002FFFF}));
  BYTES eram_bbm(8);
  EXPECT_EQ(ee->copy_BBM(eram_bbm.data()), 8u);
  EXPECT_EQ(eram_bbm, (BYTES{0x22, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ee->m_2DSegments, (std::vector<u32>{0x0000FFFF, 0x0001FFFF, 0x0002FFFF, 2560}));
  // The sent bytes of a frame follow the list.
  BYTES out(2560);
  EXPECT_EQ(cram()->get_frame_2d_segments(0, out.data()), 0u);
  EXPECT_EQ(eram()->get_frame_2d_segments(2, out.data()), 2560u);
  EXPECT_EQ(out, f);
  // Without targets no frame is rewritten.
  EXPECT_EQ(frame(eram(), 2), f);
}

TEST_F(Libs2DMerge, TypeWithOneHashLeavesNoGap) {
  // Type 1 holds the same bytes in every row: one library only.
  cram_rows(3);
  load();
  param().qv_2d_align = 1;
  param().qv_2d_compression = 1;
  const BYTES p = pattern(36, 0x10);
  BYTES q = pattern(36, 0x80);
  std::copy(p.begin() + 6, p.begin() + 12, q.begin() + 6);
  add_frames(cram(), {p, p, q});
  attach(cram(), true);
  gen()->merge_and_create_2d_libs();
  // Type 1 at 16, type 2 right after its one library at 24.
  EXPECT_EQ(offsets(), (std::vector<u32>{0, 2, 3, 7, 11, 11, 11}));
  EXPECT_EQ(gen()->get_2d_libs_size(), 88u);  // 2656 reserved, less 8 and the ERAM library
  const BYTES img = image();
  EXPECT_EQ(BYTES(img.begin() + 16, img.begin() + 24), lib_chunk(p, 6, 6, 8));
  EXPECT_EQ(BYTES(img.begin() + 24, img.begin() + 40), lib_chunk(p, 12, 12, 16));
}

TEST_F(Libs2DMerge, EqualCountsPutTheSmallerHashFirst) {
  // Three type-0 contents, once each: the two smaller hashes become the
  // libraries, in ascending order; the third stays unpredicted.
  cram_rows(3);
  load();
  param().qv_2d_compression = 1;
  std::vector<BYTES> rows = {pattern(36, 0x10), pattern(36, 0x30), pattern(36, 0x50)};
  add_frames(cram(), rows);
  VARNO_QV_2D_ENGINE* ce = attach(cram(), true);
  std::vector<std::pair<u32, u32>> by_hash;
  for (u32 r = 0; r < 3; ++r) by_hash.emplace_back(crc_model(0, slice(rows[r], 0, 6)), r);
  std::sort(by_hash.begin(), by_hash.end());
  gen()->merge_and_create_2d_libs();
  // Without alignment a type-0 library is 6 bytes, rounded up to 8.
  const BYTES img = image();
  EXPECT_EQ(BYTES(img.begin(), img.begin() + 6), slice(rows[by_hash[0].second], 0, 6));
  EXPECT_EQ(BYTES(img.begin() + 8, img.begin() + 14), slice(rows[by_hash[1].second], 0, 6));
  EXPECT_EQ(code_of(ce->m_FullHashInfo[4 * by_hash[0].second]), 2u);
  EXPECT_EQ(code_of(ce->m_FullHashInfo[4 * by_hash[1].second]), 3u);
  EXPECT_EQ(code_of(ce->m_FullHashInfo[4 * by_hash[2].second]), 0u);
}

// ---- Targets ----------------------------------------------------------------------------

// Type-0 rows P, P, Q, Q, R (the other slices zero): R shares bytes 4 and 5
// with P and bytes 0 to 3 with Q.
class Targets2D : public Libs2DMerge {
 protected:
  void SetUp() override {
    cram_rows(5);
    load();
    param().qv_2d_align = 1;
    param().qv_2d_compression = 1 | 8;
    m_p = BYTES(36, 0);
    m_q = BYTES(36, 0);
    m_r = BYTES(36, 0);
    for (u32 k = 0; k < 6; ++k) {
      m_p[k] = static_cast<u8>(0x10 + k);
      m_q[k] = static_cast<u8>(0x20 + k);
      m_r[k] = k < 4 ? m_q[k] : m_p[k];
    }
    add_frames(cram(), {m_p, m_p, m_q, m_q, m_r});
    m_engine = attach(cram(), true);
    // P and Q have two rows each: the smaller hash takes slot 0.
    m_q_slot = crc_model(0, slice(m_q, 0, 6)) < crc_model(0, slice(m_p, 0, 6)) ? 0 : 1;
  }
  BYTES m_p, m_q, m_r;
  u32 m_q_slot = 0;
  VARNO_QV_2D_ENGINE* m_engine = nullptr;
};

TEST_F(Targets2D, CombinedFlowTakesTheSlotWithMoreZeros) {
  gen()->merge_and_create_2d_libs();
  // R against Q leaves 4 zero bytes, against P 2.
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[16]), 10u + m_q_slot);
  const BYTES img = image();
  const BYTES residue = frame(cram(), 4);
  for (u32 k = 0; k < 6; ++k) EXPECT_EQ(residue[k] ^ img[8 * m_q_slot + k], m_r[k]) << k;
  EXPECT_EQ(std::count(residue.begin(), residue.begin() + 6, 0), 4);
  // Zero slices stay zero.
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[17]), 1u);
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[0]), 2u + (1 - m_q_slot));
}

TEST_F(Targets2D, SeparateFlowTakesSlotZeroFirst) {
  cfg_scoped_value flow("varno_use_combined_2dpred_flow", "off");
  gen()->merge_and_create_2d_libs();
  // Slot 0 is tried first and R differs from it in fewer than 80 bytes.
  EXPECT_EQ(code_of(m_engine->m_FullHashInfo[16]), 10u);
  const BYTES img = image();
  const BYTES residue = frame(cram(), 4);
  for (u32 k = 0; k < 6; ++k) EXPECT_EQ(residue[k] ^ img[k], m_r[k]) << k;
}

TEST_F(Libs2DMerge, MissingSlotIsNotATarget) {
  // Rows P, P, S, P, P, where S has one non-zero byte. S's hash is taken out
  // of the counts (as if another row owned it), so type 0 gets one library,
  // P. With a limit of 2, S is too far from P; against the empty second
  // slot (zero bytes while targets run) it would differ in one byte only,
  // and the image would later hold other bytes there.
  cfg_scoped_value flow("varno_use_combined_2dpred_flow", "off");
  cfg_scoped_value limit("varno_target_mismatch_limit", "2");
  cram_rows(5);
  load();
  param().qv_2d_align = 1;
  param().qv_2d_compression = 1 | 8;
  BYTES p(36, 0);
  for (u32 k = 0; k < 6; ++k) p[k] = static_cast<u8>(0x10 + k);
  BYTES sparse(36, 0);
  sparse[3] = 0x42;
  add_frames(cram(), {p, p, sparse, p, p});
  VARNO_QV_2D_ENGINE* ce = attach(cram(), true);
  ce->m_HashCounts[0].erase(crc_model(0, slice(sparse, 0, 6)));
  gen()->merge_and_create_2d_libs();
  EXPECT_EQ(gen()->get_2d_libs_size(), 8u);  // P only
  EXPECT_EQ(code_of(ce->m_FullHashInfo[8]), 0u);
  EXPECT_EQ(frame(cram(), 2), sparse);
}

TEST_F(Libs2DMerge, EramTargetsAreWrittenAfterRowHistory) {
  // ERAM rows E, E, E' (E with 10 bytes changed), G (E' with 200 bytes
  // changed): E' is targeted, G follows E' by row history.
  line("ERAM BROW_SIZE", "arg ERAM BROW_SIZE width=1 4");
  load();
  param().qv_2d_align = 1;
  param().qv_2d_compression = 2 | 8;
  BYTES e(2560);
  for (u32 k = 0; k < 2560; ++k) e[k] = static_cast<u8>(0x40 + k % 13);
  BYTES e2 = e;
  std::fill(e2.begin(), e2.begin() + 10, 0x01);
  BYTES g = e2;
  std::fill(g.begin() + 100, g.begin() + 300, 0x02);
  add_frames(eram(), {e, e, e2, g});
  VARNO_QV_2D_ENGINE* ee = attach(eram(), false);
  gen()->merge_and_create_2d_libs();
  EXPECT_EQ(image(), e);
  std::vector<u32> codes;
  for (u64 r : ee->m_FullHashInfo) codes.push_back(code_of(r));
  EXPECT_EQ(codes, (std::vector<u32>{2, 2, 10, 8}));
  BYTES bbm(8);
  EXPECT_EQ(ee->copy_BBM(bbm.data()), 8u);
  EXPECT_EQ(bbm[0], 0x22);
  EXPECT_EQ(bbm[1], 0x8A);
  EXPECT_EQ(slice(bbm, 2, 6), zeros(6));  // four frames fill two bytes
  // E' holds its residue against the library, G its residue against E' as
  // it was before.
  BYTES e2_residue(2560);
  BYTES g_residue(2560);
  for (u32 k = 0; k < 2560; ++k) {
    e2_residue[k] = e2[k] ^ e[k];
    g_residue[k] = g[k] ^ e2[k];
  }
  EXPECT_EQ(frame(eram(), 2), e2_residue);
  EXPECT_EQ(frame(eram(), 3), g_residue);
}

// ---- Failures ----------------------------------------------------------------------------

TEST_F(Libs2DMerge, HashThatNoEngineHolds) {
  cram_rows(2);
  load();
  param().qv_2d_compression = 1;
  add_frames(cram(), {pattern(36, 1), pattern(36, 2)});
  VARNO_QV_2D_ENGINE* ce = attach(cram(), true);
  ce->m_HashCounts[0][0x1234] = 99;
  EXPECT_INTERNAL_ERROR(gen()->merge_and_create_2d_libs(), "found_lib");
  // A failed merge leaves no image.
  EXPECT_EQ(gen()->get_2d_libs_size(), 0u);
}

TEST_F(Libs2DMerge, EnginesOfOtherLibrarySizesAreRefused) {
  // The first engine (ERAM) sizes a type-0 library at 1 x 8 bytes, the CRAM
  // engine of 4 frames per row needs 4 x 8.
  load();
  param().qv_2d_align = 1;
  param().qv_2d_compression = 3;
  add_frames(eram(), {pattern(2560, 1), pattern(2560, 2)});
  add_frames(cram(), std::vector<BYTES>(8, pattern(36, 3)));
  attach(eram(), false);
  attach(cram(), true);
  EXPECT_INTERNAL_ERROR(gen()->merge_and_create_2d_libs(),
                        "eng->get_lib_size(ip_type) == first_eng->get_lib_size(ip_type)");
}

TEST_F(Libs2DMerge, MergeNeedsTheDeviceSection) {
  cram_rows(1);
  load();
  add_frames(cram(), {pattern(36, 1)});
  VARNO_QV_2D_ENGINE* ce = attach(cram(), true);
  VARNO_GEN bare;
  bare.registered_2d_engines().push_back(ce);
  EXPECT_INTERNAL_ERROR(bare.merge_and_create_2d_libs(), "device_pcf != nullptr");
  bare.registered_2d_engines().clear();
  bare.registered_2d_engines().push_back(nullptr);
  EXPECT_INTERNAL_ERROR(bare.merge_and_create_2d_libs(), "first_eng != nullptr");
  bare.clear_2d_data();  // a null entry is skipped
  EXPECT_TRUE(bare.registered_2d_engines().empty());
}

TEST_F(Libs2DMerge, CombinedEngineS4Rule) {
  struct CASE {
    u32 top_type;
    u8 variant;
    bool s4;
  };
  for (const CASE c : {CASE{0, 3, true}, CASE{41, 1, false}, CASE{53, 1, false}, CASE{63, 1, false},
                       CASE{40, 1, true}, CASE{40, 2, false}, CASE{40, 0, false}}) {
    FLAT_DEVICE d;
    d.line("CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 1");
    d.line("CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 1");
    d.load(c.top_type);
    d.param().qv_2d_align = 1;
    add_frames(d.cram(), {pattern(36, 1)});
    attach(d.gen(), d.cram(), true);
    d.param().s4_variant = c.variant;
    d.gen()->merge_and_create_2d_libs();
    const VARNO_QV_2D_ENGINE* combined = d.gen()->combined_2d_engine();
    ASSERT_NE(combined, nullptr);
    EXPECT_EQ(combined->m_S4Mode, c.s4) << c.top_type << " " << int{c.variant};
    EXPECT_EQ(combined->m_IpWidthFactor, c.s4 ? 1u : 2u);
    EXPECT_TRUE(combined->m_Align2D);
    EXPECT_EQ(combined->m_blk, nullptr);
  }
}

// ---- Clearing and repeated merges ----------------------------------------------------------

TEST_F(Libs2DMerge, ClearDetachesAndDeletesTheEngines) {
  cram_rows(2);
  line("ERAM BROW_SIZE", "arg ERAM BROW_SIZE width=1 1");
  load();
  param().qv_2d_compression = 3;
  add_frames(cram(), {pattern(36, 1), pattern(36, 1)});
  add_frames(eram(), {pattern(2560, 1)});
  attach(cram(), true);
  attach(eram(), false);
  gen()->registered_2d_engines().push_back(nullptr);
  gen()->merge_and_create_2d_libs();
  EXPECT_NE(gen()->get_2d_libs_size(), 0u);
  EXPECT_NE(gen()->combined_2d_engine(), nullptr);

  gen()->clear_2d_data();
  EXPECT_EQ(gen()->get_2d_libs_size(), 0u);
  EXPECT_EQ(offsets(), std::vector<u32>(7, 0));
  EXPECT_TRUE(gen()->registered_2d_engines().empty());
  EXPECT_EQ(gen()->combined_2d_engine(), nullptr);
  EXPECT_EQ(cram()->get_2d_engine(), nullptr);
  EXPECT_EQ(eram()->get_2d_engine(), nullptr);
  u8 dst[1];
  EXPECT_EQ(gen()->copy_2d_libs(dst, 0), 0);
  gen()->clear_2d_data();  // nothing left to release
}

TEST_F(Libs2DMerge, RepeatedMergeStartsAfresh) {
  cram_rows(3);
  load();
  param().qv_2d_compression = 1;
  const BYTES p = pattern(36, 0x10);
  const BYTES q = pattern(36, 0x80);
  add_frames(cram(), {p, p, q});
  VARNO_QV_2D_ENGINE* ce = attach(cram(), true);
  gen()->merge_and_create_2d_libs();
  const BYTES first = image();
  const std::vector<u32> first_offsets = offsets();
  // The block's frames are built again, the engine scans them again.
  ce->run();
  gen()->merge_and_create_2d_libs();
  EXPECT_EQ(image(), first);
  EXPECT_EQ(offsets(), first_offsets);
  EXPECT_EQ(gen()->combined_2d_engine()->m_HashCounts[0].size(), 2u);
}

}  // namespace
