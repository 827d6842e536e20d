// 2D prediction of a whole QV device (tests/data/twod): the CRAM and ERAM
// managers give their blocks engines and register them with the device's
// generator, the blocks scan their frames, and the device's merge builds the
// library image and rewrites the frames. A decoder written here from the
// published tables (B and F structures, BBM, library image and offsets, the
// bytes each frame still sends) must give back the frames of the same device
// built without 2D prediction.
#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "msg.h"
#include "sector_device.h"
#include "varno_qv_2d_engine.h"
#include "varno_util.h"

namespace {

const std::string kDir = test_data("twod");

constexpr u32 kFramesPerRow = 4;
constexpr u32 kEramFrameBytes = 2560;

// Slice contents of the CRAM rows, frame j, byte k.
u8 type0(char kind, u32 j, u32 k) {
  const u8 p = static_cast<u8>(0x10 + 8 * j + k);
  if (kind == 'P') return p;
  if (kind == 'Q') return static_cast<u8>(0x90 + 8 * j + k);
  // T: P with two bytes changed.
  return ((j == 1 && k == 2) || (j == 3 && k == 4)) ? static_cast<u8>(p ^ 0xFF) : p;
}
u8 type1(char kind, u32 j, u32 k) {
  if (kind == 'Z') return 0;
  return static_cast<u8>((kind == 'R' ? 0x30 : 0xB0) + 8 * j + k);
}
u8 type2(char kind, u32 j, u32 k) {
  const u8 u = static_cast<u8>(0x50 + 16 * j + k);
  if (kind == 'V' && j == 0 && k == 0) return u ^ 0x01;
  if (kind == 'W' && j == 1 && k == 5) return u ^ 0x02;
  if (kind == 'X' && ((j == 2 && k == 7) || (j == 3 && k == 8))) return u ^ 0x04;
  return u;
}

// The CRAM image of a sector: three 2D rows of four frames; rows[r] names
// the contents of types 0, 1 and 2.
BYTES cram_image(const std::vector<std::string>& rows) {
  BYTES image;
  for (const std::string& row : rows) {
    for (u32 j = 0; j < kFramesPerRow; ++j) {
      for (u32 k = 0; k < 6; ++k) image.push_back(type0(row[0], j, k));
      for (u32 k = 0; k < 6; ++k) image.push_back(type1(row[1], j, k));
      for (u32 k = 0; k < 12; ++k) image.push_back(type2(row[2], j, k));
    }
  }
  return image;
}

// ERAM frames E, E, E' (10 bytes changed), G (E' with 200 bytes changed).
std::vector<BYTES> eram_frames() {
  BYTES e(kEramFrameBytes);
  for (u32 k = 0; k < kEramFrameBytes; ++k) e[k] = static_cast<u8>(0x40 + k % 13);
  BYTES e2 = e;
  std::fill(e2.begin(), e2.begin() + 10, 0x01);
  BYTES g = e2;
  std::fill(g.begin() + 100, g.begin() + 300, 0x02);
  return {e, e, e2, g};
}

// The ERAM image whose bare frames are these: frame f is row group f / 2,
// column block f % 2, its 32 rows of 80 bytes last row first.
BYTES eram_image(const std::vector<BYTES>& frames) {
  BYTES image(64 * 160);
  for (u32 f = 0; f < 4; ++f) {
    const u32 g = f / 2;
    const u32 c = f % 2;
    for (u32 k = 0; k < 32; ++k)
      for (u32 b = 0; b < 80; ++b)
        image[(g * 32 + 31 - k) * 160 + c * 80 + b] = frames[f][k * 80 + b];
  }
  return image;
}

struct DEVICE : SECTOR_DEVICE {
  explicit DEVICE(u32 compression) {
    EXPECT_EQ(load(kDir), VARNO_PCF_OK) << VOLD_DATA_SERVER::last_error();
    // The library never copies the record: every generator gets the settings.
    std::vector<VARNO_MGR_PARAM*> params = {&param()};
    for (u32 x = 0; x < 2; ++x) params.push_back(&param(x));
    for (VARNO_MGR_PARAM* p : params) {
      p->skip_headers = 1;
      p->s4_variant = 0;
      p->qv_2d_align = 1;
      p->qv_2d_compression = compression;
    }
    m_cram[0] = cram_image({"PRU", "PZV", "QRW"});
    m_cram[1] = cram_image({"PSU", "TRU", "QZX"});
    for (u32 x = 0; x < 2; ++x) {
      m_eram[x] = eram_image(eram_frames());
      set_data(cram(x), VARNO_BLOCK_DATA_CRAM, m_cram[x]);
      set_data(eram(x), VARNO_BLOCK_DATA_ERAM, m_eram[x]);
    }
  }
  VARNO_DBLOCK* cram(u32 x) { return block(x, 0, "CRAM"); }
  VARNO_DBLOCK* eram(u32 x) { return block(x, 0, "ERAM"); }

  BYTES m_cram[2];
  BYTES m_eram[2];
};

// Rebuilds the frames of a block from what the device receives.
class DECODER {
 public:
  explicit DECODER(VARNO_GEN* top) : m_top(top) {
    m_libs.resize(top->get_2d_libs_size());
    EXPECT_EQ(top->copy_2d_libs(m_libs.data(), static_cast<u32>(m_libs.size())), 0);
  }

  std::vector<BYTES> cram(VARNO_DBLOCK* block, std::multiset<u32>& codes) {
    VARNO_QV_2D_ENGINE* e = block->get_2d_engine();
    BYTES b(64);
    EXPECT_EQ(e->copy_bstruct(b.data()), 64u);
    BYTES f(64, 0);
    const u32 fsize = e->copy_fstruct(f.data());
    BYTES bbm(fsize * e->m_NumRows);
    EXPECT_EQ(e->copy_BBM(bbm.data()), bbm.size());
    const u32 height = VARNO_UTIL::get_dword_from_address(b.data()) >> 16;
    std::vector<u32> types;
    for (u32 s = 0; s < 2 * fsize; ++s) {
      const u32 entry = (f[s / 2] >> (4 * (s % 2))) & 0xF;
      if (entry == 0) break;
      types.push_back(entry - 1);
    }
    std::vector<BYTES> out;
    for (u32 frame = 0; frame < block->get_number_of_frames(); ++frame) {
      const u32 r = frame / height;
      const u32 j = frame % height;
      BYTES sent(block->get_frame_size(frame));
      const u32 sent_size = block->get_frame_2d_segments(frame, sent.data());
      u32 pos = 0;
      BYTES decoded;
      for (u32 s = 0; s < types.size(); ++s) {
        const u32 t = types[s];
        const u32 w = ((VARNO_UTIL::get_dword_from_address(b.data() + 4 * t) >> 4) & 0xFFF) / 8;
        const u32 lw = w < 12 ? (w + 3) & ~3u : (w + 7) & ~7u;  // aligned libraries
        const u32 lib_size = (height * lw + 7) & ~7u;
        const u32 code = (bbm[r * fsize + s / 2] >> (4 * (s % 2))) & 0xF;
        if (j == 0) codes.insert(code);
        for (u32 k = 0; k < w; ++k) {
          const auto lib = [&](u32 slot) {
            return m_libs.at(ip_offset(t) + slot * lib_size + j * lw + k);
          };
          u8 v = 0;
          switch (code) {
            case 0:
              v = sent.at(pos++);
              break;
            case 1:
              v = 0;
              break;
            case 2:
            case 3:
              v = lib(code - 2);
              break;
            case 10:
            case 11:
              v = sent.at(pos++) ^ lib(code - 10);
              break;
            default:
              ADD_FAILURE() << "code " << code;
          }
          decoded.push_back(v);
        }
      }
      EXPECT_EQ(pos, sent_size) << frame;
      out.push_back(decoded);
    }
    return out;
  }

  std::vector<BYTES> eram(VARNO_DBLOCK* block, std::multiset<u32>& codes) {
    VARNO_QV_2D_ENGINE* e = block->get_2d_engine();
    BYTES bbm(e->m_EramBbmSize);
    EXPECT_EQ(e->copy_BBM(bbm.data()), bbm.size());
    std::vector<BYTES> out;
    for (u32 frame = 0; frame < block->get_number_of_frames(); ++frame) {
      BYTES sent(block->get_frame_size(frame));
      const u32 sent_size = block->get_frame_2d_segments(frame, sent.data());
      const u32 code = (bbm[frame / 2] >> (4 * (frame % 2))) & 0xF;
      codes.insert(code);
      BYTES decoded(kEramFrameBytes);
      for (u32 k = 0; k < kEramFrameBytes; ++k) {
        const u8 lib = m_libs.at(m_top->get_ip_offset(16) * 8 + k);
        switch (code) {
          case 0:
            decoded[k] = sent[k];
            break;
          case 1:
            decoded[k] = 0;
            break;
          case 2:
            decoded[k] = lib;
            break;
          case 8:
            decoded[k] = sent[k] ^ out.at(frame - 1)[k];
            break;
          case 10:
            decoded[k] = sent[k] ^ lib;
            break;
          default:
            ADD_FAILURE() << "code " << code;
        }
      }
      EXPECT_EQ(sent_size, code == 0 || code >= 8 ? kEramFrameBytes : 0u) << frame;
      out.push_back(decoded);
    }
    return out;
  }

 private:
  u32 ip_offset(u32 t) const { return m_top->get_ip_offset(t) * 8; }
  VARNO_GEN* m_top;
  BYTES m_libs;
};

TEST(TwoDDevice, DecodedFramesEqualTheFramesWithout2D) {
  DEVICE plain(0);
  ASSERT_TRUE(plain.m_top->do_all_blocks());
  DEVICE twod(1 | 2 | 8);
  ASSERT_TRUE(twod.m_top->do_all_blocks());

  // Every block got its engine, registered once with the device generator.
  std::vector<VARNO_QV_2D_ENGINE*> engines;
  for (u32 x = 0; x < 2; ++x) {
    ASSERT_NE(twod.cram(x)->get_2d_engine(), nullptr);
    ASSERT_NE(twod.eram(x)->get_2d_engine(), nullptr);
    engines.push_back(twod.cram(x)->get_2d_engine());
    engines.push_back(twod.eram(x)->get_2d_engine());
    EXPECT_EQ(plain.cram(x)->get_2d_engine(), nullptr);
  }
  EXPECT_EQ(twod.m_top->registered_2d_engines(), engines);
  EXPECT_TRUE(twod.sector(0)->registered_2d_engines().empty());
  // Engines know their sector by its CNOC address.
  EXPECT_EQ(engines[2]->m_SectorX, 2u);
  EXPECT_EQ(engines[2]->m_SectorY, 1u);

  // Libraries: type 0 P and Q, type 1 R and S, type 2 U and one of V, W, X
  // (8, 8 and 16 bytes a frame, 4 frames a row), no type 3, ERAM E.
  EXPECT_EQ(twod.m_top->get_2d_libs_size(), 2u * 32 + 2 * 32 + 2 * 64 + 2560);
  std::vector<u32> offsets;
  for (u32 ip : {0u, 1u, 2u, 3u, 4u}) offsets.push_back(twod.m_top->get_ip_offset(ip));
  EXPECT_EQ(offsets, (std::vector<u32>{0, 8, 16, 32, 32}));

  // Targeted slices travel as residues.
  EXPECT_NE(frames(twod.cram(1)), frames(plain.cram(1)));
  DECODER decoder(twod.m_top.get());
  std::multiset<u32> cram_codes;
  std::multiset<u32> eram_codes;
  for (u32 x = 0; x < 2; ++x) {
    EXPECT_EQ(decoder.cram(twod.cram(x), cram_codes), frames(plain.cram(x))) << x;
    EXPECT_EQ(decoder.eram(twod.eram(x), eram_codes), frames(plain.eram(x))) << x;
  }
  // Zero and padding slices, exact libraries of both slots, targets.
  for (u32 code : {1u, 2u, 3u}) EXPECT_GT(cram_codes.count(code), 0u) << code;
  EXPECT_GT(cram_codes.count(10) + cram_codes.count(11), 0u);
  EXPECT_EQ(eram_codes, (std::multiset<u32>{2, 2, 2, 2, 8, 8, 10, 10}));

  // Building and merging again gives the same result.
  const BYTES image = [&] {
    BYTES out(twod.m_top->get_2d_libs_size());
    EXPECT_EQ(twod.m_top->copy_2d_libs(out.data(), static_cast<u32>(out.size())), 0);
    return out;
  }();
  ASSERT_TRUE(twod.m_top->do_all_blocks());
  EXPECT_EQ(twod.m_top->registered_2d_engines(), engines);
  DECODER again(twod.m_top.get());
  std::multiset<u32> codes2;
  for (u32 x = 0; x < 2; ++x) {
    EXPECT_EQ(again.cram(twod.cram(x), codes2), frames(plain.cram(x))) << x;
    EXPECT_EQ(again.eram(twod.eram(x), codes2), frames(plain.eram(x))) << x;
  }
  BYTES image2(twod.m_top->get_2d_libs_size());
  EXPECT_EQ(twod.m_top->copy_2d_libs(image2.data(), static_cast<u32>(image2.size())), 0);
  EXPECT_EQ(image2, image);

  // Clearing hands the engines' end to the generator: the blocks forget them.
  twod.m_top->clear_2d_data();
  for (u32 x = 0; x < 2; ++x) {
    EXPECT_EQ(twod.cram(x)->get_2d_engine(), nullptr);
    EXPECT_EQ(twod.eram(x)->get_2d_engine(), nullptr);
  }
  EXPECT_TRUE(twod.m_top->registered_2d_engines().empty());
  // Their frames are residues, which a group would send without the tables
  // (collect_data refuses them), until a build makes them anew.
  EXPECT_TRUE(twod.cram(0)->two_d_tables_released());
  EXPECT_TRUE(twod.eram(1)->two_d_tables_released());
  EXPECT_FALSE(plain.cram(0)->two_d_tables_released());
  ASSERT_TRUE(twod.m_top->do_all_blocks());
  EXPECT_FALSE(twod.cram(0)->two_d_tables_released());
}

TEST(TwoDDevice, SectorSettingsDecideWhichBlocksGetEngines) {
  // CRAM only; the device generator keeps 2D off and so merges nothing.
  DEVICE d(1);
  d.m_top->get_mgr_param()->qv_2d_compression = 0;
  ASSERT_TRUE(d.m_top->do_all_blocks());
  EXPECT_NE(d.cram(0)->get_2d_engine(), nullptr);
  EXPECT_EQ(d.eram(0)->get_2d_engine(), nullptr);
  EXPECT_EQ(d.m_top->registered_2d_engines().size(), 2u);
  EXPECT_EQ(d.m_top->get_2d_libs_size(), 0u);
  // Scanned, not merged: the frames are the plain ones.
  DEVICE plain(0);
  ASSERT_TRUE(plain.m_top->do_all_blocks());
  EXPECT_EQ(frames(d.cram(1)), frames(plain.cram(1)));
  EXPECT_EQ(d.cram(0)->get_2d_engine()->m_FullHashInfo.size(), 3u * 4);
  // The blocks still own their engines when the device goes.
}

}  // namespace
