// Register-window frame managers (REGSCAN, UIB MMR, IO MMIO, IO AHB, BRAM,
// external file) over real sectors loaded from tests/data/regwin. Expected
// bytes are derived by hand from the fixtures:
//   sector 0 ("cl") has CNOC address (6, 9), sector 1 ("f1") (3, 2);
//   sector header records: CNOC [len lo, len hi, x, y, 0, 0, 0, 0],
//     CNT [op, areg, len lo, len hi, offset (4 bytes), rsvd (4 bytes)]: 20 bytes;
//   the device's own header blocks are 4 + 8 bytes;
//   frame sizes: REGSCAN 4096, UIB MMR 64, IO MMIO 0x800, IO AHB 32 bytes.
// The factory does not map these frame types yet: a hook installs them.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "varno_bram_frame_mgr.h"
#include "varno_dblock.h"
#include "varno_dummy_frame_mgr.h"
#include "varno_eblock.h"
#include "varno_frame_mgr_factory.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_qv_ext_file_mgr.h"
#include "varno_qv_ioahb_frame_mgr.h"
#include "varno_qv_iovamm_frame_mgr.h"
#include "varno_qv_regscan_frame_mgr.h"
#include "varno_qv_uibmmr_frame_mgr.h"
#include "varno_test.h"
#include "vold.h"

namespace {

const std::string kDir = std::string(VARNO_TEST_DATA_DIR) + "/regwin";
using BYTES = std::vector<u8>;

// Byte j of a test image; pages of 256 bytes differ from each other.
u8 pattern_byte(u64 j) { return static_cast<u8>(j + 3 * (j >> 8) + 5 * (j >> 16)); }
BYTES pattern(u64 n) {
  BYTES out(n);
  for (u64 j = 0; j < n; ++j) out[j] = pattern_byte(j);
  return out;
}
BYTES slice(const BYTES& from, u64 at, u64 n) {
  return BYTES(from.begin() + static_cast<std::ptrdiff_t>(at),
               from.begin() + static_cast<std::ptrdiff_t>(at + n));
}
BYTES cat(BYTES a, const BYTES& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
BYTES le32(u32 v) {
  return {static_cast<u8>(v), static_cast<u8>(v >> 8), static_cast<u8>(v >> 16),
          static_cast<u8>(v >> 24)};
}

// CNOC and CNT records of a REGSCAN frame of len bytes in sector (x, y).
BYTES regscan_header(u32 len, u8 x, u8 y, u8 op, u8 areg, u32 offset) {
  const u32 words = len / 4;
  BYTES out = {static_cast<u8>(len),   static_cast<u8>(len >> 8),  x, y, 0, 0, 0, 0, op, areg,
               static_cast<u8>(words), static_cast<u8>(words >> 8)};
  out = cat(out, le32(offset));
  return cat(out, {0, 0, 0, 0});
}
BYTES normal_header(u32 len) { return regscan_header(len, 6, 9, 3, 0, 0x21000); }

// The managers of this file, or do-nothing managers in their place (for
// loading a device on which a manager's set-up would fail).
enum class HOOK_MODE { REAL, DUMMY };

class MGR_HOOK {
 public:
  explicit MGR_HOOK(HOOK_MODE mode) {
    m_previous = varno_set_frame_mgr_hook([mode](VOLD_FRAME_TYPE type) -> VARNO_FRAME_MGR* {
      VARNO_FRAME_MGR* mgr = nullptr;
      switch (type) {
        case VOLD_FRAME_QV_REGSCAN:
          mgr = new VARNO_QV_REGSCAN_FRAME_MGR();
          break;
        case VOLD_FRAME_QV_UIB_MMR:
          mgr = new VARNO_QV_UIBMMR_FRAME_MGR();
          break;
        case VOLD_FRAME_QV_IO_VAMM:
          mgr = new VARNO_QV_IOVAMM_FRAME_MGR();
          break;
        case VOLD_FRAME_QV_IO_AHB:
          mgr = new VARNO_QV_IOAHB_FRAME_MGR();
          break;
        case VOLD_FRAME_BRAM_XCVR:
          mgr = new VARNO_BRAM_FRAME_MGR();
          break;
        case VOLD_FRAME_QV_EXT_FILE:
          mgr = new VARNO_QV_EXT_FILE_MGR();
          break;
        default:
          return nullptr;
      }
      if (mode == HOOK_MODE::REAL) return mgr;
      delete mgr;
      return new VARNO_DUMMY_FRAME_MGR();
    });
  }
  ~MGR_HOOK() { varno_set_frame_mgr_hook(std::move(m_previous)); }
  MGR_HOOK(const MGR_HOOK&) = delete;
  MGR_HOOK& operator=(const MGR_HOOK&) = delete;

 private:
  VARNO_FRAME_MGR_HOOK m_previous;
};

// A copy of the fixture directory with text replaced in some files.
class VARIANT_DIR {
 public:
  using EDIT = std::tuple<std::string, std::string, std::string>;  // file, from, to
  explicit VARIANT_DIR(const std::vector<EDIT>& edits) {
    char name[] = "/tmp/varno_qv_regwin_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    m_path = name;
    for (const auto& entry : std::filesystem::directory_iterator(kDir)) {
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      std::string s = text.str();
      for (const auto& [file, from, to] : edits) {
        if (file != entry.path().filename().string()) continue;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) s.replace(at, from.size(), to);
      }
      std::ofstream(m_path + "/" + entry.path().filename().string()) << s;
    }
  }
  ~VARIANT_DIR() { std::filesystem::remove_all(m_path); }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

struct QV_DEVICE {
  explicit QV_DEVICE(HOOK_MODE mode = HOOK_MODE::REAL) : m_hook(mode) {}
  u32 load(const std::string& dir) {
    m_top.reset(varno_get_factory()->create_generator());
    m_top->set_family_pcf(dir + "/quelvo_family.ddb");
    m_top->set_device_pcf(dir + "/qv_device.ddb");
    return m_top->process_pcfs(false, false, false, nullptr, 0);
  }
  VARNO_GEN* sector(u32 x) {
    return dynamic_cast<VARNO_GEN*>(m_top->get_meta_block("SECTOR_ARRAY", x, 0)->generator());
  }
  VARNO_MGR_PARAM& param(u32 x) { return *sector(x)->get_mgr_param(); }
  VARNO_DBLOCK* block(u32 x, const char* name) {
    return dynamic_cast<VARNO_DBLOCK*>(sector(x)->get_block(name, false));
  }
  static BYTES frame(VARNO_DBLOCK* block, u32 i) {
    BYTES out(block->get_frame_size(i));
    if (!out.empty()) block->get_frame_data(i, out.data());
    return out;
  }
  static std::vector<BYTES> frames(VARNO_DBLOCK* block) {
    std::vector<BYTES> out;
    for (u32 i = 0; i < block->get_number_of_frames(); ++i) out.push_back(frame(block, i));
    return out;
  }
  // Sets the slot's data and runs the block's own manager.
  bool build(VARNO_DBLOCK* block, VARNO_BLOCK_DATA_TYPE slot, BYTES& data, u32 bits) {
    block->set_data(slot, data.data(), bits, nullptr);
    return block->get_frame_mgr()->create_frames(block, block->get_block_config());
  }

  MGR_HOOK m_hook;
  std::unique_ptr<VARNO_IGEN> m_top;
};

class QvRegwin : public ::testing::Test, public QV_DEVICE {
 protected:
  void SetUp() override { ASSERT_EQ(load(kDir), 0u) << VOLD_DATA_SERVER::last_error(); }
  VARNO_DBLOCK* regscan() { return block(0, "REGSCAN"); }
  VARNO_FRAME_MGR* regscan_mgr() { return regscan()->get_frame_mgr(); }
};

// Reads the set-up values that the managers keep to themselves.
template <typename MGR>
struct PROBE : MGR {
  using MGR::m_cnoc_size;
  using MGR::m_cnt_size;
  using MGR::m_header_bytes;
};
struct REGSCAN_PROBE : PROBE<VARNO_QV_REGSCAN_FRAME_MGR> {
  using VARNO_QV_REGSCAN_FRAME_MGR::m_core_frame_size;
};

// ---- REGSCAN ---------------------------------------------------------------------

TEST_F(QvRegwin, RegscanCutsTheUserDataIntoCoreFrames) {
  BYTES data = pattern(10000);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80000));
  // 4096 + 4096 + 1808 bytes, each behind 20 header bytes; CNT length in dwords.
  EXPECT_EQ(frames(regscan()),
            (std::vector<BYTES>{cat(normal_header(4116), slice(data, 0, 4096)),
                                cat(normal_header(4116), slice(data, 4096, 4096)),
                                cat(normal_header(1828), slice(data, 8192, 1808))}));
  EXPECT_EQ(regscan_mgr()->potential_frames(), 0u);

  // Through the block, as the generator builds it.
  EXPECT_TRUE(sector(0)->do_all_blocks());
  EXPECT_EQ(regscan()->get_number_of_frames(), 3u);
}

TEST_F(QvRegwin, RegscanLastFrameCopiesOnlyTheUserBits) {
  // 10001 bytes of which the last holds 3 bits: the last frame copies
  // 14467 bits and is padded to 1812 bytes.
  BYTES data = pattern(10001);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80003));
  ASSERT_EQ(regscan()->get_number_of_frames(), 3u);
  BYTES payload = slice(data, 8192, 1809);
  payload.back() &= 0x07;
  payload.resize(1812, 0);
  EXPECT_EQ(frame(regscan(), 2), cat(normal_header(1832), payload));
}

TEST_F(QvRegwin, RegscanWithoutHeadersStartsAtByteZero) {
  param(0).skip_headers = 1;
  BYTES data = pattern(10000);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80000));
  EXPECT_EQ(frames(regscan()), (std::vector<BYTES>{slice(data, 0, 4096), slice(data, 4096, 4096),
                                                   slice(data, 8192, 1808)}));
}

TEST_F(QvRegwin, RegscanSecondSectorCarriesItsOwnAddress) {
  BYTES data = pattern(8);
  VARNO_DBLOCK* b = block(1, "REGSCAN");
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_REGSCAN, data, 64));
  EXPECT_EQ(frames(b), std::vector<BYTES>{cat(regscan_header(28, 3, 2, 3, 0, 0x21000), data)});
}

TEST_F(QvRegwin, Regscan31BitChainIsOneFrameOfMarkedDwords) {
  param(0).regscan_31bit = 1;
  BYTES data = pattern(11808);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 11808 * 8));
  EXPECT_EQ(regscan()->m_custom_frame_sizes, std::vector<u32>{11808});
  // 20 + 11808 + 8 = 11836 bytes = 2959 dwords.
  BYTES expected = regscan_header(11836, 6, 9, 5, 4, 0);
  for (u32 k = 0; k < 2952; ++k) {
    BYTES dword = slice(data, 4 * k, 4);
    dword[3] |= 0x80;
    expected = cat(expected, dword);
  }
  expected = cat(expected, {0, 0, 0, 0x80, 0, 0, 0, 0});
  EXPECT_EQ(frames(regscan()), std::vector<BYTES>{expected});

  param(0).skip_headers = 1;
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 11808 * 8));
  EXPECT_EQ(frames(regscan()), std::vector<BYTES>{slice(expected, 20, 11816)});
}

TEST_F(QvRegwin, Regscan31BitNeedsTheExactChainSize) {
  param(0).regscan_31bit = 1;
  BYTES data = pattern(11809);
  EXPECT_INTERNAL_ERROR(
      build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 11807 * 8),
      "Mismatch in user data size: regscan_user_size (11807 bytes) != expected size (11808 bytes)");
  EXPECT_INTERNAL_ERROR(
      build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 11809 * 8),
      "Mismatch in user data size: regscan_user_size (11809 bytes) != expected size (11808 bytes)");
  // The byte count of a length near 2^32 bits does not wrap to 0 (which
  // would skip the check and build nothing).
  EXPECT_INTERNAL_ERROR(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 0xFFFFFFFFu),
                        "Mismatch in user data size: regscan_user_size (536870912 bytes) != "
                        "expected size (11808 bytes)");
  EXPECT_TRUE(regscan()->m_custom_frame_sizes.empty());
}

TEST_F(QvRegwin, RegscanCoreSizeIsCheckedOnlyWithoutCustomSizes) {
  VARNO_FRAME_DESCRIPTOR descriptor = *regscan()->get_frame_descriptor();
  descriptor.words[2] = 2048;
  regscan()->set_frame_descriptor(descriptor);
  REGSCAN_PROBE m;
  m.set_parent(regscan());
  ASSERT_TRUE(m.init());
  EXPECT_EQ(m.m_core_frame_size, 2048u);
  EXPECT_EQ(m.m_header_bytes, 20u);

  BYTES data = pattern(136);
  regscan()->set_data(VARNO_BLOCK_DATA_REGSCAN, data.data(), 136 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(
      m.create_frames(regscan(), regscan()->get_block_config()),
      "Mismatch in core frame size: m_core_frame_size (2048 bytes) != expected size (4096 bytes)");

  // Custom sizes: no core check, no rounding of the last frame.
  const u32 sizes[] = {100, 30, 6};
  regscan()->set_custom_frame_sizes(sizes, 3);
  ASSERT_TRUE(m.create_frames(regscan(), regscan()->get_block_config()));
  EXPECT_EQ(frames(regscan()), (std::vector<BYTES>{cat(normal_header(120), slice(data, 0, 100)),
                                                   cat(normal_header(50), slice(data, 100, 30)),
                                                   cat(normal_header(26), slice(data, 130, 6))}));
  // The set-up size stays.
  EXPECT_EQ(m.m_core_frame_size, 2048u);

  descriptor.words[2] = 0;
  regscan()->set_frame_descriptor(descriptor);
  VARNO_QV_REGSCAN_FRAME_MGR zero;
  zero.set_parent(regscan());
  EXPECT_INTERNAL_ERROR(zero.init(), "m_core_frame_size > 0");
}

TEST_F(QvRegwin, RegscanBuildWithCustomSizesDoesNotChangeTheNextOne) {
  BYTES data = pattern(10000);
  const u32 size = 100;
  regscan()->set_custom_frame_sizes(&size, 1);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80000));
  EXPECT_EQ(frames(regscan()), std::vector<BYTES>{cat(normal_header(120), slice(data, 0, 100))});
  regscan()->set_custom_frame_sizes(nullptr, 0);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 80000));
  EXPECT_EQ(regscan()->get_number_of_frames(), 3u);
  EXPECT_EQ(frame(regscan(), 0).size(), 4116u);
}

TEST_F(QvRegwin, RegscanReadsOnlyInsideTheUserData) {
  BYTES data = pattern(150);
  // No pointer, or a pointer with no bytes: no frames.
  EXPECT_TRUE(regscan_mgr()->create_frames(regscan(), regscan()->get_block_config()));
  EXPECT_EQ(regscan()->get_number_of_frames(), 0u);
  ASSERT_TRUE(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 0));
  EXPECT_EQ(regscan()->get_number_of_frames(), 0u);

  const u32 sizes[] = {100, 100};
  regscan()->set_custom_frame_sizes(sizes, 2);
  EXPECT_INTERNAL_ERROR(build(regscan(), VARNO_BLOCK_DATA_REGSCAN, data, 150 * 8),
                        "User data too short: 200 bytes needed, 150 bytes given");
  EXPECT_EQ(regscan()->get_number_of_frames(), 0u);
}

TEST_F(QvRegwin, RegscanPartialFramesStopAtTheLastFrame) {
  BYTES data = pattern(10000);
  regscan()->set_data(VARNO_BLOCK_DATA_REGSCAN, data.data(), 80000, nullptr);
  VARNO_BLOCK_CONFIG* config = regscan()->get_block_config();
  EXPECT_TRUE(regscan_mgr()->create_partial_frames(regscan(), config, 2, 0xFFFFFFFFu));
  EXPECT_TRUE(regscan_mgr()->create_partial_frames(regscan(), config, 1, 0));
  EXPECT_TRUE(regscan_mgr()->create_partial_frames(regscan(), config, 3, 9));
  EXPECT_TRUE(regscan_mgr()->create_partial_frames(regscan(), config, 1, 1));
  EXPECT_EQ(frames(regscan()),
            (std::vector<BYTES>{cat(normal_header(1828), slice(data, 8192, 1808)),
                                cat(normal_header(4116), slice(data, 4096, 4096))}));
}

// ---- UIB MMR -----------------------------------------------------------------------

TEST_F(QvRegwin, UibMmrFramesArePagesFortyFourToFiftyOne) {
  VARNO_DBLOCK* b = block(0, "UIB_MMR");
  const u32 bytes = 51 * 4096 + 64;
  BYTES data = pattern(bytes);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, bytes * 8));
  std::vector<BYTES> expected;
  for (u32 i = 0; i < 8; ++i) expected.push_back(slice(data, (44 + i) * 4096, 64));
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->get_frame(0)->segments().front()->type(), VARNO_FRAME_SEGMENT_DATA);
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 8u);
  b->get_frame_mgr()->set_user_frame_count(2);

  // A rebuild counts the frames of the new list only.
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, bytes * 8));
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 8u);
}

TEST_F(QvRegwin, UibMmrUserDataChecks) {
  VARNO_DBLOCK* b = block(0, "UIB_MMR");
  BYTES data = pattern(51 * 4096 + 64);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, 33),
                        "User data is not DWORD aligned");
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, (51 * 4096 + 60) * 8),
                        "User data too short: 208960 bytes needed, 208956 bytes given");
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_UIB_MMR, data, 0),
                        "User data too short: 208960 bytes needed, 0 bytes given");
  EXPECT_EQ(b->get_number_of_frames(), 0u);
  b->set_data(VARNO_BLOCK_DATA_UIB_MMR, nullptr, 0, nullptr);
  EXPECT_TRUE(b->get_frame_mgr()->create_frames(b, b->get_block_config()));
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 0u);
}

// ---- IO MMIO ------------------------------------------------------------------------

TEST_F(QvRegwin, IoMmioBuildsThreeAddressRanges) {
  VARNO_DBLOCK* b = block(0, "IO_VAMM");
  // The high range ends at 0x80400 + 2 × 0x800.
  const u32 bytes = 0x81400;
  BYTES data = pattern(bytes);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_IO_MMIO, data, bytes * 8));
  ASSERT_EQ(b->get_number_of_frames(), 249u);
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 249u);
  EXPECT_EQ(frame(b, 0), cat(le32(0), slice(data, 0, 1024)));
  EXPECT_EQ(frame(b, 1), cat(le32(0x400000), slice(data, 0x400, 0x800)));
  EXPECT_EQ(frame(b, 246), cat(le32(0x47A800), slice(data, 0x7AC00, 0x800)));
  EXPECT_EQ(frame(b, 247), cat(le32(0x47F000), slice(data, 0x80400, 0x800)));
  EXPECT_EQ(frame(b, 248), cat(le32(0x47F800), slice(data, 0x80C00, 0x800)));
  const auto& segments = b->get_frame(5)->segments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0]->type(), VARNO_FRAME_SEGMENT_HEADER);
  EXPECT_EQ(segments[1]->type(), VARNO_FRAME_SEGMENT_DATA);

  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_IO_MMIO, data, bytes * 8));
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 249u);

  // Appending a range counts on.
  VARNO_FRAME_MGR* m = b->get_frame_mgr();
  EXPECT_TRUE(m->create_partial_frames(b, b->get_block_config(), 255, 255));
  EXPECT_EQ(m->potential_frames(), 250u);
  EXPECT_EQ(frame(b, 249), frame(b, 247));
}

TEST_F(QvRegwin, IoMmioChecks) {
  VARNO_DBLOCK* b = block(0, "IO_VAMM");
  VARNO_FRAME_MGR* m = b->get_frame_mgr();
  VARNO_BLOCK_CONFIG* config = b->get_block_config();
  BYTES data = pattern(0x81400);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_IO_MMIO, data, 33),
                        "User data is not DWORD aligned");
  EXPECT_INTERNAL_ERROR(m->create_partial_frames(b, config, 5, 4), "end_frame >= start_frame");
  EXPECT_INTERNAL_ERROR(m->create_partial_frames(b, config, 2, 3), "false");
  // The high range needs 0x81400 bytes.
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_IO_MMIO, data, 0x813FC * 8),
                        "User data too short: 529408 bytes needed, 529404 bytes given");
  EXPECT_EQ(b->get_number_of_frames(), 247u);
  // A range past the data is refused before any of its frames is built.
  b->clear_frames();
  EXPECT_INTERNAL_ERROR(m->create_partial_frames(b, config, 0, 0xFFFFFFFFu),
                        "User data too short: 4398046511104 bytes needed, 529404 bytes given");
  EXPECT_EQ(b->get_number_of_frames(), 0u);
}

TEST_F(QvRegwin, IoMmioFrameSizeOfZero) {
  VARNO_DBLOCK* b = block(0, "IO_VAMM");
  VARNO_FRAME_DESCRIPTOR descriptor = *b->get_frame_descriptor();
  descriptor.words[2] = 0;
  b->set_frame_descriptor(descriptor);
  VARNO_QV_IOVAMM_FRAME_MGR m;
  m.set_parent(b);
  ASSERT_TRUE(m.init());
  BYTES data = pattern(0x81400);
  b->set_data(VARNO_BLOCK_DATA_IO_MMIO, data.data(), 0x81400 * 8, nullptr);
  EXPECT_INTERNAL_ERROR(m.create_frames(b, b->get_block_config()), "frame_data != NULL");
  // The frame at address 0 has its own size; the next one has no data bytes.
  EXPECT_EQ(frames(b), std::vector<BYTES>{cat(le32(0), slice(data, 0, 1024))});
}

// ---- IO AHB --------------------------------------------------------------------------

TEST_F(QvRegwin, IoAhbDropsThePartialLastFrame) {
  VARNO_DBLOCK* b = block(0, "IO_AHB");
  BYTES data = pattern(100);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_IO_AHB, data, 800));
  EXPECT_EQ(frames(b), (std::vector<BYTES>{cat(le32(0x47B000), slice(data, 0, 32)),
                                           cat(le32(0x47B020), slice(data, 32, 32)),
                                           cat(le32(0x47B040), slice(data, 64, 32))}));
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 3u);
  EXPECT_EQ(b->get_frame(0)->segments()[0]->type(), VARNO_FRAME_SEGMENT_HEADER);

  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_IO_AHB, data, 33),
                        "User data is not DWORD aligned");
  // The count is the last build's; data that shrank since is not read past.
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_IO_AHB, data, 800));
  b->set_data(VARNO_BLOCK_DATA_IO_AHB, data.data(), 512, nullptr);
  EXPECT_INTERNAL_ERROR(b->get_frame_mgr()->create_partial_frames(b, b->get_block_config(), 0, 0),
                        "User data too short: 96 bytes needed, 64 bytes given");
}

TEST_F(QvRegwin, IoAhbFrameSizeOfZero) {
  VARNO_DBLOCK* b = block(0, "IO_AHB");
  VARNO_FRAME_DESCRIPTOR descriptor = *b->get_frame_descriptor();
  descriptor.words[2] = 0;
  b->set_frame_descriptor(descriptor);
  VARNO_QV_IOAHB_FRAME_MGR m;
  m.set_parent(b);
  ASSERT_TRUE(m.init());
  // Without data there is nothing to count.
  EXPECT_TRUE(m.create_frames(b, b->get_block_config()));
  EXPECT_EQ(m.potential_frames(), 0u);
  BYTES data = pattern(64);
  b->set_data(VARNO_BLOCK_DATA_IO_AHB, data.data(), 512, nullptr);
  EXPECT_INTERNAL_ERROR(m.create_frames(b, b->get_block_config()), "m_frame_size > 0");
}

// ---- BRAM ----------------------------------------------------------------------------

TEST_F(QvRegwin, BramChunksAndTheirRecords) {
  VARNO_DBLOCK* b = block(0, "BRAM");
  BYTES data = pattern(2448);
  const u32 entries[] = {512, 100};
  b->set_custom_frame_sizes(entries, 2);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8));
  EXPECT_EQ(frames(b), (std::vector<BYTES>{slice(data, 0, 2048), slice(data, 2048, 400)}));
  const std::vector<std::pair<u32, u32>> records = {{0, 1}, {1, 1}};
  EXPECT_EQ(b->m_chunks, records);
  EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 0u);
  // A rebuild lists the chunks of the new frames only.
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8));
  EXPECT_EQ(b->m_chunks, records);
  // Appended chunks are numbered after the frames already there.
  EXPECT_TRUE(b->get_frame_mgr()->create_partial_frames(b, b->get_block_config(), 0, 0));
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
}

TEST_F(QvRegwin, BramLargestChunkIsSevenFrames) {
  VARNO_DBLOCK* b = block(0, "BRAM");
  BYTES data = pattern(14340);
  const u32 full = 3584;
  b->set_custom_frame_sizes(&full, 1);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 14336 * 8));
  std::vector<BYTES> expected;
  for (u32 i = 0; i < 7; ++i) expected.push_back(slice(data, i * 2048, 2048));
  EXPECT_EQ(frames(b), expected);
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 7}}));

  const u32 over = 3585;
  b->set_custom_frame_sizes(&over, 1);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 14340 * 8),
                        "data_size_bytes <= static_cast<DWORD>(NW_BUFFER_SIZE)");
  // 4 × 0x40000001 wraps to 4 in 32 bits.
  const u32 wrapping = 0x40000001;
  b->set_custom_frame_sizes(&wrapping, 1);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 14340 * 8),
                        "data_size_bytes <= static_cast<DWORD>(NW_BUFFER_SIZE)");
}

TEST_F(QvRegwin, BramChunkCutShortByTheUserData) {
  VARNO_DBLOCK* b = block(0, "BRAM");
  BYTES data = pattern(2448);
  // The second chunk asks for 4096 bytes; 400 remain: one frame, one record
  // of one frame.
  const u32 entries[] = {512, 1024};
  b->set_custom_frame_sizes(entries, 2);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8));
  EXPECT_EQ(frames(b), (std::vector<BYTES>{slice(data, 0, 2048), slice(data, 2048, 400)}));
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 1}, {1, 1}}));

  // A chunk after the end of the data; an empty chunk makes no frame.
  const u32 past[] = {512, 100, 0, 5};
  b->set_custom_frame_sizes(past, 4);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8),
                        "start_loc < user_data_bytes");
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 1}, {1, 1}}));
  const u32 empty[] = {0, 1};
  b->set_custom_frame_sizes(empty, 2);
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 2448 * 8));
  EXPECT_EQ(frames(b), std::vector<BYTES>{slice(data, 0, 4)});
  EXPECT_EQ(b->m_chunks, (std::vector<std::pair<u32, u32>>{{0, 0}, {0, 1}}));
}

TEST_F(QvRegwin, BramUserDataChecks) {
  VARNO_DBLOCK* b = block(0, "BRAM");
  BYTES data = pattern(64);
  // No custom sizes: nothing to frame.
  ASSERT_TRUE(build(b, VARNO_BLOCK_DATA_BRAM, data, 512));
  EXPECT_EQ(b->get_number_of_frames(), 0u);
  EXPECT_TRUE(b->m_chunks.empty());
  const u32 entry = 16;
  b->set_custom_frame_sizes(&entry, 1);
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 33), "Mismatch in user data size");
  EXPECT_INTERNAL_ERROR(build(b, VARNO_BLOCK_DATA_BRAM, data, 0), "start_loc < user_data_bytes");
}

// ---- External file, dummy ----------------------------------------------------------

TEST_F(QvRegwin, ExternalFileAndDummyBlocksHaveNoFrames) {
  EXPECT_TRUE(sector(0)->do_all_blocks());
  for (const char* name : {"CMF_DESCRIPTOR", "ESRAM_BBUS"}) {
    VARNO_DBLOCK* b = block(0, name);
    EXPECT_EQ(b->get_number_of_frames(), 0u) << name;
    EXPECT_EQ(b->get_frame_mgr()->potential_frames(), 0u) << name;
  }
  VARNO_DBLOCK* ext = block(0, "CMF_DESCRIPTOR");
  EXPECT_NE(dynamic_cast<VARNO_QV_EXT_FILE_MGR*>(ext->get_frame_mgr()), nullptr);
  EXPECT_EQ(ext->get_frame_mgr()->parent(), ext);
  VARNO_DBLOCK* dummy = block(0, "ESRAM_BBUS");
  EXPECT_EQ(dummy->get_frame_mgr()->parent(), nullptr);
}

// ---- Set-up --------------------------------------------------------------------------

TEST_F(QvRegwin, HeaderBlocksComeFromTheSectorOrTheDevice) {
  PROBE<VARNO_QV_REGSCAN_FRAME_MGR> regscan_probe;
  regscan_probe.set_parent(regscan());
  ASSERT_TRUE(regscan_probe.init());
  EXPECT_EQ(regscan_probe.m_cnoc_size, 8u);
  EXPECT_EQ(regscan_probe.m_cnt_size, 12u);

  PROBE<VARNO_QV_UIBMMR_FRAME_MGR> uib;
  PROBE<VARNO_QV_IOVAMM_FRAME_MGR> vamm;
  PROBE<VARNO_QV_IOAHB_FRAME_MGR> ahb;
  PROBE<VARNO_BRAM_FRAME_MGR> bram;
  uib.set_parent(block(0, "UIB_MMR"));
  vamm.set_parent(block(0, "IO_VAMM"));
  ahb.set_parent(block(0, "IO_AHB"));
  bram.set_parent(block(0, "BRAM"));
  for (VARNO_FRAME_MGR* m : std::vector<VARNO_FRAME_MGR*>{&uib, &vamm, &ahb, &bram}) {
    ASSERT_TRUE(m->init());
  }
  EXPECT_EQ(uib.m_header_bytes, 12u);
  EXPECT_EQ(vamm.m_header_bytes, 12u);
  EXPECT_EQ(ahb.m_header_bytes, 12u);
  EXPECT_EQ(bram.m_cnoc_size, 4u);
  EXPECT_EQ(bram.m_cnt_size, 8u);
}

TEST(QvRegwinDevice, InitChecksTheBlock) {
  VARNO_QV_REGSCAN_FRAME_MGR regscan;
  VARNO_QV_EXT_FILE_MGR ext;
  VARNO_QV_UIBMMR_FRAME_MGR uib;
  VARNO_QV_IOVAMM_FRAME_MGR vamm;
  VARNO_QV_IOAHB_FRAME_MGR ahb;
  VARNO_BRAM_FRAME_MGR bram;
  EXPECT_INTERNAL_ERROR(regscan.init(), "block != NULL");
  EXPECT_INTERNAL_ERROR(ext.init(), "block != NULL");
  EXPECT_INTERNAL_ERROR(uib.init(), "block != nullptr");
  EXPECT_INTERNAL_ERROR(bram.init(), "block != nullptr");
  VARNO_DBLOCK loose;
  for (VARNO_FRAME_MGR* m : std::vector<VARNO_FRAME_MGR*>{&regscan, &ext}) {
    m->set_parent(&loose);
    EXPECT_INTERNAL_ERROR(m->init(), "config != NULL");
  }
  for (VARNO_FRAME_MGR* m : std::vector<VARNO_FRAME_MGR*>{&uib, &vamm, &ahb, &bram}) {
    m->set_parent(&loose);
    EXPECT_INTERNAL_ERROR(m->init(), "config != nullptr");
  }
  EXPECT_INTERNAL_ERROR(regscan.create_frames(nullptr, nullptr), "block != NULL");
  EXPECT_INTERNAL_ERROR(ext.create_frames(nullptr, nullptr), "block != NULL");
  EXPECT_INTERNAL_ERROR(vamm.create_frames(nullptr, nullptr), "block != nullptr");
  EXPECT_INTERNAL_ERROR(ahb.create_frames(nullptr, nullptr), "block != nullptr");
}

TEST(QvRegwinDevice, RegscanNeedsTheSectorHeaderBlocks) {
  VARIANT_DIR dir({{"quelvo_sector_family_vold.ddb", "block CNT_HEADER", "block BBUS_HEADER"}});
  QV_DEVICE d;
  EXPECT_INTERNAL_ERROR(d.load(dir.path()), "m_cnt_blk != NULL && m_cnoc_blk != NULL");
}

TEST(QvRegwinDevice, WindowManagersNeedTheDeviceHeaderBlocks) {
  VARIANT_DIR dir({{"quelvo_family.ddb", "block CNOC_HEADER", "block BBUS_HEADER"}});
  {
    QV_DEVICE d;
    EXPECT_INTERNAL_ERROR(d.load(dir.path()), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
  }
  // Loaded with do-nothing managers, each manager's own set-up fails.
  QV_DEVICE d(HOOK_MODE::DUMMY);
  ASSERT_EQ(d.load(dir.path()), 0u) << VOLD_DATA_SERVER::last_error();
  VARNO_QV_UIBMMR_FRAME_MGR uib;
  VARNO_QV_IOVAMM_FRAME_MGR vamm;
  VARNO_QV_IOAHB_FRAME_MGR ahb;
  VARNO_BRAM_FRAME_MGR bram;
  uib.set_parent(d.block(1, "UIB_MMR"));
  vamm.set_parent(d.block(1, "IO_VAMM"));
  ahb.set_parent(d.block(1, "IO_AHB"));
  bram.set_parent(d.block(1, "BRAM"));
  for (VARNO_FRAME_MGR* m : std::vector<VARNO_FRAME_MGR*>{&uib, &vamm, &ahb, &bram}) {
    EXPECT_INTERNAL_ERROR(m->init(), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
  }
  // The sector's own header blocks are still there.
  VARNO_QV_REGSCAN_FRAME_MGR regscan;
  regscan.set_parent(d.block(1, "REGSCAN"));
  EXPECT_TRUE(regscan.init());
}

}  // namespace
