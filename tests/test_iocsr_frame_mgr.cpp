// IOCSR frames, on the small device of tests/data/early: a 32-bit word, two
// header words, two rows per frame, the trailer CRC over the header too
// (byte 28), filler rows of 0xFF (byte 29), WRITE_LAST_FRAME 0x1357, and
// eight IOCSR chains of 12 bits. With n chains a row holds K = 32 / n
// positions of every chain: bit b of a row is position d + b / n of chain
// b mod n. Expected rows are worked out by hand in each test.
#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "early_device.h"
#include "varno_iocsr_frame_mgr.h"

namespace {

// Two header words: the WRITE_LAST_FRAME word (last frame only), then the
// rows per frame.
BYTES header(bool last, u8 rows = 2) {
  return {static_cast<u8>(last ? 0x57 : 0), static_cast<u8>(last ? 0x13 : 0), 0, 0, rows, 0, 0, 0};
}

const BYTES kOnes(4, 0xFF);
const BYTES kZeros(4, 0x00);

// The device with the IOCSR manager under test.
struct IOCSR_DEVICE : EARLY_DEVICE<VARNO_IOCSR_FRAME_MGR> {
  explicit IOCSR_DEVICE(const EDITS& family = {}, const EDITS& device = {})
      : EARLY_DEVICE(VOLD_FRAME_IOCSR, "IOCSR", family, device) {}
  VARNO_DBLOCK* iocsr() { return tested(); }
  // Hands the block its IOCSR data (and MCU data when given), then builds it.
  bool build(BYTES& data, u32 data_bits, BYTES* mcu = nullptr, u32 mcu_bits = 0,
             u16 filler = 0x1234) {
    iocsr_data(data, data_bits);
    if (mcu != nullptr) iocsr()->set_data(VARNO_BLOCK_DATA_MCU, mcu->data(), mcu_bits, nullptr);
    iocsr()->set_random_filler(filler);
    return iocsr()->process(false);
  }
  void iocsr_data(BYTES& data, u32 bits) {
    iocsr()->set_data(VARNO_BLOCK_DATA_CSR, data.data(), bits, nullptr);
  }
  BYTES core(u32 i) { return segment(i, VARNO_FRAME_SEGMENT_DATA); }
  std::vector<BYTES> cores() {
    std::vector<BYTES> out;
    for (u32 i = 0; i < iocsr()->get_number_of_frames(); ++i) out.push_back(core(i));
    return out;
  }
};
using EDITS = IOCSR_DEVICE::EDITS;

const char* const kIocsrLine = "frame=IOCSR w1=2 w2=2 b28=1 flag=1";

// Chain j (12 bits from bit 12j) holds a single 1 at position j.
BYTES diagonal() { return with_bits(12, {0, 13, 26, 39, 52, 65, 78, 91}); }

}  // namespace

// ---- Rows -------------------------------------------------------------------------

TEST(IocsrFrames, EightChainsAcrossTheWord) {
  IOCSR_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->positions_per_row(), 4u);
  EXPECT_EQ(d.mgr()->padding(), 0u);
  EXPECT_EQ(d.mgr()->potential_frames(), 2u);
  BYTES data = diagonal();
  ASSERT_TRUE(d.build(data, 96));
  // Row 0 holds positions 0-3: byte i is position i, bit j is chain j. Row 1
  // positions 4-7, row 2 positions 8-11; row 3 lies past the chains.
  ASSERT_EQ(d.iocsr()->get_number_of_frames(), 2u);
  EXPECT_EQ(d.frame(0), framed(header(false), {1, 2, 4, 8, 0x10, 0x20, 0x40, 0x80}, 0x1234));
  EXPECT_EQ(d.frame(1), framed(header(true), concat({kZeros, kOnes}), 0x1234));
  // Without padding the padded image is the user data.
  EXPECT_EQ(BYTES(d.mgr()->padded_iocsr_image(), d.mgr()->padded_iocsr_image() + 12), data);
}

TEST(IocsrFrames, FillerRowsAndCrcFollowTheDescriptor) {
  IOCSR_DEVICE d(EDITS{{kIocsrLine, "frame=IOCSR w1=2 w2=2"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES data = diagonal();
  ASSERT_TRUE(d.build(data, 96, nullptr, 0, 0xA5C3));
  EXPECT_EQ(d.frame(1), framed(header(true), concat({kZeros, kZeros}), 0xA5C3, false));
}

TEST(IocsrFrames, ShorterChainEndsWithTheLongest) {
  // 32 chains, K = 1: chain 0 of 10 ones, chain 1 of 6 ones, the rest 10
  // zeros each. Chain 1 starts at row 4.
  IOCSR_DEVICE d({}, EDITS{{"IOCSR_CFF 12*8", "IOCSR_CFF 10 6 10*30"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->positions_per_row(), 1u);
  EXPECT_EQ(d.mgr()->potential_frames(), 5u);
  BYTES data = with_bits(40, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
  ASSERT_TRUE(d.build(data, 316));
  const BYTES one = {1, 0, 0, 0};
  const BYTES both = {3, 0, 0, 0};
  EXPECT_EQ(d.cores(),
            (std::vector<BYTES>{concat({one, one}), concat({one, one}), concat({both, both}),
                                concat({both, both}), concat({both, both})}));
}

TEST(IocsrFrames, SequenceOrderPicksTheSourceOfEachChain) {
  // Sequence position 0 is chain 1: the first 12 user bits are chain 1's.
  IOCSR_DEVICE d({},
                 EDITS{{"IOCSR_CFF 12*8", "IOCSR_CFF 12*8\nparam IOCSR IOCSR_CFF_SEQ 1 0 2..7"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(std::vector<u32>(d.mgr()->iocsr_offsets(), d.mgr()->iocsr_offsets() + 8),
            (std::vector<u32>{12, 0, 24, 36, 48, 60, 72, 84}));
  BYTES data = with_bits(12, {0, 91});
  ASSERT_TRUE(d.build(data, 96));
  // Chain 1 position 0 is row 0 bit 1; chain 7 position 7 row 1 bit 31.
  EXPECT_EQ(d.core(0), (BYTES{2, 0, 0, 0, 0, 0, 0, 0x80}));
}

TEST(IocsrFrames, SequenceThatIsNotAPermutationIsRefused) {
  for (const char* seq : {"1 1 2..7", "0..6 8", "0 1"}) {
    IOCSR_DEVICE d({}, EDITS{{"IOCSR_CFF 12*8",
                              std::string("IOCSR_CFF 12*8\nparam IOCSR IOCSR_CFF_SEQ ") + seq}});
    EXPECT_INTERNAL_ERROR(d.load(),
                          "iocsr_seq_pos < pcf_iocsr_segments && !iocsr_seq_used[iocsr_seq_pos]");
  }
  IOCSR_DEVICE d({},
                 EDITS{{"IOCSR_CFF 12*8",
                        "IOCSR_CFF 1*32\nparam IOCSR MCU_CFF 1*32\nparam IOCSR MCU_CFF_SEQ 0*32"}});
  EXPECT_INTERNAL_ERROR(d.load(), "mcu_seq_pos < pcf_mcu_segments && !mcu_seq_used[mcu_seq_pos]");
}

TEST(IocsrFrames, McuRowsComeFirst) {
  // 32 MCU chains (chain 0 of 3 bits, the rest of 2) and 32 IOCSR chains of
  // 2 bits: K = 1, rows 0-2 are MCU rows, rows 3-4 IOCSR rows, row 5 filler.
  IOCSR_DEVICE d({}, EDITS{{"IOCSR_CFF 12*8", "IOCSR_CFF 2*32\nparam IOCSR MCU_CFF 3 2*31"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->max_mcu_length(), 3u);
  EXPECT_EQ(d.mgr()->potential_frames(), 3u);
  EXPECT_EQ(std::vector<u32>(d.mgr()->mcu_offsets(), d.mgr()->mcu_offsets() + 3),
            (std::vector<u32>{0, 3, 5}));
  // MCU chain 0 = 111, chain 1 = 1 then 0; IOCSR chain 0 = 11.
  BYTES mcu = with_bits(9, {0, 1, 2, 3});
  BYTES data = with_bits(8, {0, 1});
  ASSERT_TRUE(d.build(data, 64, &mcu, 65));
  EXPECT_EQ(d.cores(), (std::vector<BYTES>{{3, 0, 0, 0, 1, 0, 0, 0},
                                           {1, 0, 0, 0, 1, 0, 0, 0},
                                           concat({{1, 0, 0, 0}, kOnes})}));
}

// ---- Padding ---------------------------------------------------------------------------

TEST(IocsrPadding, ChainsArePaddedToWholeRows) {
  // Eight chains of 5 bits, K = 4: 3 padding positions before every chain.
  // The frame count takes the padding twice: (8 + 3) / 8 rounds up to 2
  // frames, the second all filler.
  IOCSR_DEVICE d({}, EDITS{{"IOCSR_CFF 12*8", "IOCSR_CFF 5*8"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->padding(), 3u);
  EXPECT_EQ(d.mgr()->max_iocsr_length(), 8u);
  EXPECT_EQ(d.mgr()->potential_frames(), 2u);
  BYTES data = {0x1F, 0, 0, 0, 0};  // chain 0 all ones
  ASSERT_TRUE(d.build(data, 40));
  // Padded image: per chain 3 zeros, then its 5 bits.
  ASSERT_EQ(d.mgr()->padded_iocsr_bits(), 64u);
  EXPECT_EQ(BYTES(d.mgr()->padded_iocsr_image(), d.mgr()->padded_iocsr_image() + 8),
            (BYTES{0xF8, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(std::vector<u32>(d.mgr()->iocsr_offsets(), d.mgr()->iocsr_offsets() + 8),
            (std::vector<u32>{0, 8, 16, 24, 32, 40, 48, 56}));
  // Positions 0-2 of every chain are ones (the lead: 3 bytes); position 3
  // is chain 0's first bit.
  EXPECT_EQ(d.cores(),
            (std::vector<BYTES>{{0xFF, 0xFF, 0xFF, 1, 1, 1, 1, 1}, concat({kOnes, kOnes})}));
}

TEST(IocsrPadding, LeadLongerThanTheFirstFrame) {
  // Chains of 4 bits need no padding; two leading rows add 8 positions. One
  // row per frame: positions 0-7 (frames 0 and 1) are ones in every chain,
  // frame 2 holds the data, frames 3 and 4 are empty (0x00 filler).
  IOCSR_DEVICE d(
      EDITS{{kIocsrLine, "frame=IOCSR w1=2 w2=1 b28=1"}},
      EDITS{{"IOCSR_CFF 12*8", "IOCSR_CFF 4*8\nparam IOCSR IOCSR_LEADING_PADDING_COUNT 2"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->padding(), 8u);
  EXPECT_EQ(d.mgr()->potential_frames(), 5u);
  BYTES data = {0x0F, 0, 0, 0};
  ASSERT_TRUE(d.build(data, 32));
  EXPECT_EQ(d.cores(), (std::vector<BYTES>{kOnes, kOnes, {1, 1, 1, 1}, kZeros, kZeros}));
}

TEST(IocsrPadding, LeadLeavesTheMcuRowsAlone) {
  // With MCU chains K = 1, so the only padding is the leading row: it goes
  // before the IOCSR positions (row 3), not over MCU row 0.
  IOCSR_DEVICE d({}, EDITS{{"IOCSR_CFF 12*8",
                            "IOCSR_CFF 2*32\nparam IOCSR MCU_CFF 3 2*31\n"
                            "param IOCSR IOCSR_LEADING_PADDING_COUNT 1"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->padding(), 1u);
  EXPECT_EQ(d.mgr()->potential_frames(), 4u);
  BYTES mcu = with_bits(9, {0, 1, 2, 3});
  BYTES data = with_bits(8, {0, 1});
  ASSERT_TRUE(d.build(data, 64, &mcu, 65));
  EXPECT_EQ(d.mgr()->padded_iocsr_image()[0], 0x06);
  EXPECT_EQ(d.cores(), (std::vector<BYTES>{{3, 0, 0, 0, 1, 0, 0, 0},
                                           concat({{1, 0, 0, 0}, kOnes}),
                                           {1, 0, 0, 0, 1, 0, 0, 0},
                                           concat({kOnes, kOnes})}));
}

// Chains of unequal lengths, in a shuffled sequence order, whose totals are
// rarely whole bytes, padded or not, with a lead or not, with MCU chains or
// not, against the layout written out plainly: in every row past the MCU
// rows, bit b is position q = d + b / n of chain b mod n (d the row's first
// IOCSR position); the first P positions of every chain are ones, and each
// chain's L bits end at the padded longest chain's end M.
TEST(IocsrPadding, UnequalChainsAgainstAModel) {
  std::mt19937 rng(16);
  auto pick = [&rng](u32 lo, u32 hi) { return std::uniform_int_distribution<u32>(lo, hi)(rng); };
  auto bit = [](const BYTES& b, u64 k) { return (b[k / 8] >> (k % 8)) & 1u; };
  for (int round = 0; round < 40; ++round) {
    const bool with_mcu = round % 4 == 3;
    const u32 n = with_mcu ? 32 : 8u << pick(0, 2);
    const u32 per_row = 32 / n;
    const u32 lead = pick(0, 2);
    std::vector<u32> lengths(n), mcu_lengths(with_mcu ? 32 : 0), order(n);
    for (u32& l : lengths) l = pick(1, 13);
    for (u32& l : mcu_lengths) l = pick(1, 3);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), rng);
    auto list = [](const std::vector<u32>& v) {
      std::string out;
      for (u32 x : v) out += " " + std::to_string(x);
      return out;
    };
    std::string params = "IOCSR_CFF" + list(lengths) + "\nparam IOCSR IOCSR_CFF_SEQ" + list(order) +
                         "\nparam IOCSR IOCSR_LEADING_PADDING_COUNT " + std::to_string(lead);
    if (with_mcu) params += "\nparam IOCSR MCU_CFF" + list(mcu_lengths);
    IOCSR_DEVICE d({}, EDITS{{"IOCSR_CFF 12*8", params}});
    ASSERT_EQ(d.load(), 0u) << params;

    // Chain j's bits start at the sum of the lengths before its place in the
    // sequence (IOCSR_CFF_SEQ gives chain j's place).
    std::vector<u32> offsets(n), mcu_offsets(mcu_lengths.size());
    for (u32 j = 0; j < n; ++j)
      for (u32 k = 0; k < n; ++k) offsets[j] += order[k] < order[j] ? lengths[k] : 0;
    for (u32 c = 1; c < mcu_offsets.size(); ++c) mcu_offsets[c] = mcu_offsets[c - 1] + mcu_lengths[c - 1];
    const u32 bits = std::accumulate(lengths.begin(), lengths.end(), 0u);
    const u32 mcu_bits = std::accumulate(mcu_lengths.begin(), mcu_lengths.end(), 0u);
    const u32 longest_mcu =
        mcu_lengths.empty() ? 0 : *std::max_element(mcu_lengths.begin(), mcu_lengths.end());
    const u32 longest = *std::max_element(lengths.begin(), lengths.end());
    const u32 pad = (per_row - (longest_mcu + longest) % per_row) % per_row + lead * per_row;
    const u32 end = longest + pad;  // M
    EXPECT_EQ(d.mgr()->padding(), pad) << params;

    BYTES data((bits + 7) / 8), mcu((mcu_bits + 7) / 8);
    for (u8& b : data) b = static_cast<u8>(rng());
    for (u8& b : mcu) b = static_cast<u8>(rng());
    ASSERT_TRUE(d.build(data, bits, with_mcu ? &mcu : nullptr, mcu_bits)) << params;
    const std::vector<BYTES> cores = d.cores();
    for (u32 f = 0; f < cores.size(); ++f) {
      for (u32 r = 0; r < 2; ++r) {
        const u64 pos = (u64{f} * 2 + r) * per_row;
        BYTES row(4, 0);
        if (pos >= longest_mcu + end) {
          row.assign(4, 0xFF);
        } else if (pos < longest_mcu) {
          for (u32 c = 0; c < 32; ++c)
            if (pos < mcu_lengths[c])
              row[c / 8] |= static_cast<u8>(bit(mcu, mcu_offsets[c] + pos) << (c % 8));
        } else {
          for (u32 b = 0; b < 32; ++b) {
            const u32 chain = b % n;
            const u64 q = pos - longest_mcu + b / n;
            u32 v = 0;
            if (q < pad) {
              v = 1;
            } else if (q >= end - lengths[chain]) {
              v = bit(data, offsets[chain] + q - (end - lengths[chain]));
            }
            row[b / 8] |= static_cast<u8>(v << (b % 8));
          }
        }
        EXPECT_EQ(BYTES(cores[f].begin() + 4 * r, cores[f].begin() + 4 * r + 4), row)
            << params << "\nframe " << f << " row " << r;
      }
    }
  }
}

// ---- Headers and range -----------------------------------------------------------------

TEST(IocsrRange, UserFrameCount) {
  IOCSR_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES data = diagonal();
  d.iocsr()->overwrite_frame_count(1);
  ASSERT_TRUE(d.build(data, 96));
  // Frame 0 only, and without the WRITE_LAST_FRAME word: that goes to the
  // device's last frame.
  ASSERT_EQ(d.iocsr()->get_number_of_frames(), 1u);
  const BYTES only = d.frame(0);
  EXPECT_EQ(BYTES(only.begin(), only.begin() + 8), header(false));

  d.iocsr()->overwrite_frame_count(2);
  ASSERT_TRUE(d.build(data, 96));
  EXPECT_EQ(d.iocsr()->get_number_of_frames(), 2u);
}

TEST(IocsrRange, PartialFrames) {
  IOCSR_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES data = diagonal();
  d.iocsr_data(data, 96);
  // Nothing was verified yet: there is no padded image to frame.
  EXPECT_FALSE(d.iocsr()->partial_process(0, 1));
  ASSERT_TRUE(d.iocsr()->process(false));
  EXPECT_FALSE(d.iocsr()->partial_process(0, 2));
  EXPECT_TRUE(d.iocsr()->partial_process(1, 0));
  EXPECT_TRUE(d.iocsr()->partial_process(1, 1));
  EXPECT_EQ(d.iocsr()->get_number_of_frames(), 3u);
  EXPECT_EQ(d.frame(2), d.frame(1));
}

TEST(IocsrRange, SingleWordHeaderHasNoRowCount) {
  IOCSR_DEVICE d(EDITS{{kIocsrLine, "frame=IOCSR w1=1 w2=2 b28=1 flag=1"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES data = diagonal();
  ASSERT_TRUE(d.build(data, 96));
  EXPECT_EQ(d.frame(0), framed(kZeros, {1, 2, 4, 8, 0x10, 0x20, 0x40, 0x80}, 0x1234));
  EXPECT_EQ(d.frame(1), framed({0x57, 0x13, 0, 0}, concat({kZeros, kOnes}), 0x1234));
}

TEST(IocsrRange, RowsFromTheCramFrame) {
  // 96 + 0 + (1 + 1 + 2) CRAM words less the IOCSR's own 2 + 0 + 0.
  IOCSR_DEVICE d(EDITS{{kIocsrLine, "frame=IOCSR w1=2 w2=0 b28=1 flag=1"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_EQ(d.mgr()->rows_per_frame(), 98u);
  EXPECT_EQ(d.mgr()->potential_frames(), 1u);
}

TEST(IocsrRange, RowsFromTheCramFrameMustBePositive) {
  // A header as long as the CRAM frame leaves no rows (and would divide by
  // zero); a longer one would wrap.
  for (const char* line : {"frame=IOCSR w1=100 w2=0", "frame=IOCSR w1=150 w2=0"}) {
    IOCSR_DEVICE d(EDITS{{kIocsrLine, line}});
    EXPECT_INTERNAL_ERROR(d.load(), "rows_per_frame > 0 && rows_per_frame <= 0xFFFFFFFF");
  }
  IOCSR_DEVICE d(EDITS{{kIocsrLine, "frame=IOCSR w1=2 w2=0"},
                       {"block CRAM data frame=LEGACY_CRAM w1=1 w3=1 w4=2", ""}});
  EXPECT_INTERNAL_ERROR(d.load(), "cram_block != NULL");
}

// ---- User data -----------------------------------------------------------------------

TEST(IocsrUserData, SizesMustMatchTheChains) {
  IOCSR_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES data = diagonal();
  EXPECT_INTERNAL_ERROR(d.build(data, 95), "user_iocsr_size == m_pcf_iocsr_size");
  BYTES mcu(1, 0);
  EXPECT_INTERNAL_ERROR(d.build(data, 96, &mcu, 8), "user_mcu_size == m_pcf_mcu_size");
  d.iocsr()->set_data(VARNO_BLOCK_DATA_MCU, nullptr, 0, nullptr);
  // set_data refuses a null buffer with a length; the manager's own guard
  // is met by a block whose slot says so.
  d.iocsr()->m_user_data[VARNO_BLOCK_DATA_CSR] = nullptr;
  d.iocsr()->m_user_data_size[VARNO_BLOCK_DATA_CSR] = 96;
  EXPECT_INTERNAL_ERROR(d.iocsr()->process(false), "user_iocsr_size > 0 && cff_user_data != NULL");
}

TEST(IocsrUserData, McuDataOfTheRightSizeMustBeThere) {
  IOCSR_DEVICE d({}, EDITS{{"IOCSR_CFF 12*8", "IOCSR_CFF 2*32\nparam IOCSR MCU_CFF 3 2*31"}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES data = with_bits(8, {0});
  d.iocsr()->m_user_data_size[VARNO_BLOCK_DATA_MCU] = 65;  // null data: see above
  d.iocsr_data(data, 64);
  EXPECT_INTERNAL_ERROR(d.iocsr()->process(false), "user_mcu_size == 0 || mcu_user_data != NULL");
}

TEST(IocsrUserData, VerificationComesBeforeClearing) {
  IOCSR_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES data = diagonal();
  ASSERT_TRUE(d.build(data, 96));
  EXPECT_INTERNAL_ERROR(d.build(data, 12), "user_iocsr_size == m_pcf_iocsr_size");
  // The frames of the first build are still there (the block now refuses to
  // show them: its design data changed since).
  EXPECT_NE(d.iocsr()->get_frame(1), nullptr);
  EXPECT_EQ(d.iocsr()->get_frame(2), nullptr);
}

TEST(IocsrUserData, WriteLastFrameIsRequired) {
  IOCSR_DEVICE d(EDITS{{"  instr WRITE_LAST_FRAME word=0x1357\n", ""}});
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  BYTES data = diagonal();
  EXPECT_INTERNAL_ERROR(d.build(data, 96), "instruction != NULL");
}

// ---- Set-up ----------------------------------------------------------------------------

TEST(IocsrSetup, ChainCountChecks) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"IOCSR_CFF 12*12", "pcf_iocsr_segments > 0 && (pcf_iocsr_segments % 8) == 0"},
      {"IOCSR_CFF 0", "pcf_iocsr_segments > 0 && (pcf_iocsr_segments % 8) == 0"},
      {"IOCSR_CFF 12*24",
       "(config_data_width % pcf_iocsr_segments) == 0 && pcf_iocsr_segments <= config_data_width"},
      {"IOCSR_CFF 12*40",
       "(config_data_width % pcf_iocsr_segments) == 0 && pcf_iocsr_segments <= config_data_width"},
      {"IOCSR_CFF 12*8\nparam IOCSR MCU_CFF 1*16",
       "pcf_mcu_segments == 0 || pcf_mcu_segments == CONTROL_BLOCK_DATA_WIDTH_32"},
      {"IOCSR_CFF 12*8\nparam IOCSR MCU_CFF 1*32",
       "pcf_mcu_segments == 0 || pcf_mcu_segments == pcf_iocsr_segments"},
  };
  for (const auto& [cff, text] : cases) {
    IOCSR_DEVICE d({}, EDITS{{"IOCSR_CFF 12*8", cff}});
    EXPECT_INTERNAL_ERROR(d.load(), text);
  }
}

TEST(IocsrSetup, NarrowConfigurationWordIsRefused) {
  // One-byte words hold neither the rows word apart from the instruction
  // word nor the trailer CRC.
  IOCSR_DEVICE d(EDITS{{"config_width 32", "config_width 8"}});
  EXPECT_INTERNAL_ERROR(d.load(), "config_width_bytes >= 4");
}

TEST(IocsrSetup, SetUpRunsOnce) {
  IOCSR_DEVICE d;
  ASSERT_EQ(d.load(), VARNO_PCF_OK);
  EXPECT_INTERNAL_ERROR(d.mgr()->init(), "m_mcu_segments == NULL");
  VARNO_IOCSR_FRAME_MGR fresh;
  EXPECT_EQ(fresh.potential_frames(), 0u);
  expect_parent_checks(fresh);
}

TEST(IocsrSetup, CrcNeedsATrailer) {
  VARNO_IOCSR_FRAME_MGR mgr;
  VARNO_FRAME frame;
  EXPECT_INTERNAL_ERROR(mgr.write_crc(&frame, true), "crc_segm_size > 0");
}
