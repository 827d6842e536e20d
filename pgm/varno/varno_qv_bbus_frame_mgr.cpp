#include "varno_qv_bbus_frame_mgr.h"

#include <algorithm>
#include <cstring>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

namespace {

constexpr u32 BBUS_WRITE_OP = 6;
constexpr u32 BBUS_AREG = 2;
constexpr u32 BBUS_CH_CLOCK_NETWORK = 2;
constexpr u32 BBUS_CH_OTHER = 3;
constexpr u32 BBUS_OP_MASKED = 3;
constexpr u32 BBUS_OP_PLAIN = 0;

u64 chain_bytes(u32 bits) { return (u64{bits} + 7) / 8; }

// Writes value into an option field of width bits of the header block's own
// image.
void write_header_field(VARNO_SBLOCK* block, const char* field, u32 value, u32 width) {
  std::vector<u8> bytes(std::max<u64>(4, (u64{width} + 7) / 8), 0);
  VARNO_UTIL::write_dword_safely(value, bytes.data());
  block->write_option_bits(field, "BBUS_HEADER", bytes.data(), width, nullptr);
}

void set_bit(u8* data, u64 bit, bool value) {
  const u8 mask = static_cast<u8>(1u << (bit % 8));
  if (value) {
    data[bit / 8] |= mask;
  } else {
    data[bit / 8] &= static_cast<u8>(~mask);
  }
}

bool get_bit(const u8* data, u64 bit) { return ((data[bit / 8] >> (bit % 8)) & 1u) != 0; }

}  // namespace

VARNO_QV_BBUS_FRAME_MGR::VARNO_QV_BBUS_FRAME_MGR() = default;

VARNO_QV_BBUS_FRAME_MGR::~VARNO_QV_BBUS_FRAME_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_BBUS_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // 1. Chain count.
  m_total_frames = block->get_param_value("BBUS_BIT_COUNT", 0u);
  m_potential_frames = m_total_frames;

  // 2. Current sector and its array configuration.
  VARNO_GEN* gen = generator_of(block);
  find_sector(gen);
  VARNO_BLOCK_CONFIG* econfig = array_config();
  VARNO_ASSERT_MSG(econfig != nullptr, "econfig != NULL");

  // 3, 4. Chain sizes of this sector.
  const VOLD_ARG* arg = econfig->get_arg(VOLD_ARGUMENT_BBUS_CHAIN_SIZES);
  VARNO_ASSERT_MSG(arg != nullptr, "arg != NULL");
  unsigned arg_width = 0;
  const std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  VARNO_ASSERT(arg_width == m_total_frames);
  if (m_chain_sizes.empty()) {
    const u32 row = sector_table_index(static_cast<u32>(rows.size()), "BBUS_CHAIN_SIZES");
    VARNO_ASSERT_MSG(rows[row] != nullptr, "arg_line != NULL");
    m_chain_sizes.assign(rows[row], rows[row] + m_total_frames);
    m_chain_offsets.clear();
    m_total_chain_bits = 0;
    for (u32 size : m_chain_sizes) {
      m_chain_offsets.push_back(m_total_chain_bits / 8);
      m_total_chain_bits += chain_bytes(size) * 8;
    }
  }

  // 5, 6. Clock-network variants and overwrite bits.
  read_variants(block, config);
  read_overwrite_bits();

  // 7. Header blocks.
  m_bbus_hdr_blk = fetch_header_block(gen, "BBUS_HEADER");
  m_cnoc_blk = fetch_header_block(gen, "CNOC_HEADER");
  m_cnt_blk = fetch_header_block(gen, "CNT_HEADER");
  VARNO_ASSERT_MSG(m_bbus_hdr_blk != nullptr && m_cnt_blk != nullptr && m_cnoc_blk != nullptr,
                   "m_bbus_hdr_blk != NULL && m_cnt_blk != NULL && m_cnoc_blk != NULL");
  set_cnoc_cnt_sizes();
  return true;
}

void VARNO_QV_BBUS_FRAME_MGR::read_variants(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  m_variants.clear();
  m_VariantsSegs.clear();
  const u32 variant_count = block->get_param_size("CLK_NTW_VARIANTS");
  if (variant_count == 0) return;

  u32 v = block->get_param_value("CLK_NTW_VARIANTS", 0u);
  const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_CLK_NTW_SEGMENTS);
  VARNO_ASSERT_MSG(arg != nullptr, "arg != NULL");
  unsigned arg_width = 0;
  const std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  VARNO_ASSERT(arg_width == 3);

  u32 start = 0;
  u64 sum = 0;
  u32 closed = 0;
  for (u32 i = 0; i < rows.size(); ++i) {
    const u32* row = rows[i];
    VARNO_ASSERT_MSG(row != nullptr, "arg_line != NULL");
    m_VariantsSegs.push_back(SEGMENT{row[1], row[0]});
    sum += row[0];
    if (sum < v) continue;
    if (sum > v) VARNO_INTERNAL_ERROR("VOLD incorrect bbus variant size");
    // The first variant of a size wins.
    m_variants.emplace(v, std::make_pair(start, i));
    ++closed;
    start = i + 1;
    if (closed < variant_count) {
      v = block->get_param_value("CLK_NTW_VARIANTS", closed);
      sum = 0;
    } else if (i + 1 != rows.size()) {
      VARNO_INTERNAL_ERROR("VOLD incorrect bbus segment chain size");
    }
  }
  // Variants left open when the rows run out get no entry.
}

void VARNO_QV_BBUS_FRAME_MGR::read_overwrite_bits() {
  m_overwrite_bits.clear();
  const VOLD_ARG* arg = array_config()->get_arg(VOLD_ARGUMENT_BBUS_BIT_OVERWRITE);
  if (arg == nullptr) return;
  unsigned arg_width = 0;
  const std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  VARNO_ASSERT(arg_width == 1);
  const u32 x = sector_x();
  const u32 y = sector_y();
  for (const u32* row : rows) {
    VARNO_ASSERT_MSG(row != nullptr, "arg_line != NULL");
    const u32 val = row[0];
    if ((val >> 28) != x || ((val >> 24) & 0xFu) != y) continue;
    // A sector without chains has no bit to overwrite.
    VARNO_ASSERT_MSG(!m_chain_sizes.empty() && (val & 0xFFFFF) < m_chain_sizes[0],
                     "(val & 0xFFFFF) < m_chain_sizes[0]");
    m_overwrite_bits.push_back(val & 0xFFFFF);
  }
}

bool VARNO_QV_BBUS_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  verify_user_data_size(
      block, VARNO_BLOCK_DATA_BBUS, m_total_chain_bits,
      "Mismatch in user data size: bbus_user_size (%d bytes) != bbus_pcf_size (%d bytes)");
  return true;
}

// ---- Frame building -------------------------------------------------------------

bool VARNO_QV_BBUS_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  verify_user_data(block, config);
  block->clear_frames();
  // Only chain 0 in a full build: the other chains are framed when the
  // host's partial processing asks for them.
  return create_partial_frames(block, config, 0, 0);
}

bool VARNO_QV_BBUS_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                    u32 first, u32 last) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (block->get_user_data(VARNO_BLOCK_DATA_BBUS) == nullptr) return true;
  if (last >= m_total_frames) return false;
  generator_of(block);
  // A partial build reads the same chains as a full one.
  verify_user_data(block, config);
  const bool hdrs = headers(block);

  auto build = [&](u32 chain, VARNO_QV_CLK_NTW_PHASE phase) {
    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, chain, hdrs, phase);
    if (frame != nullptr) append_frame(block, std::move(frame));
  };
  build(0, VARNO_QV_CLK_NTW_PHASE_0);
  build(0, VARNO_QV_CLK_NTW_PHASE_1);
  build(0, VARNO_QV_CLK_NTW_PHASE_2);
  // last < m_total_frames, so the loop ends without wrapping.
  for (u32 i = first; i <= last; ++i) build(i, VARNO_QV_CLK_NTW_PHASE_3);
  return true;
}

std::unique_ptr<VARNO_FRAME> VARNO_QV_BBUS_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                   VARNO_BLOCK_CONFIG*, u32 chain,
                                                                   bool headers,
                                                                   VARNO_QV_CLK_NTW_PHASE phase) {
  // 1. No frame without user data, nor for phases 1 and 2 in the TK-family flow.
  const u8* user = block->get_user_data(VARNO_BLOCK_DATA_BBUS);
  if (user == nullptr) return nullptr;
  generator_of(block);
  if ((phase == VARNO_QV_CLK_NTW_PHASE_1 || phase == VARNO_QV_CLK_NTW_PHASE_2) &&
      mgr_param(block)->tk_flow == 1) {
    return nullptr;
  }
  VARNO_ASSERT_MSG(chain < m_chain_sizes.size(), "chain < m_total_frames");

  // 2. Size: chain bytes behind the records, rounded up to whole words.
  const u32 size_bits = m_chain_sizes[chain];
  const u64 payload_bytes = chain_bytes(size_bits);
  const u32 bbus_size = m_bbus_hdr_blk->get_block_size();
  const u32 p = headers ? m_header_bytes : 0;
  const u64 size = (payload_bytes + p + bbus_size + 3) / 4 * 4;
  VARNO_ASSERT_MSG(size * 8 <= 0xFFFFFFFFu, "frame_size * 8 <= 0xFFFFFFFF");
  const u32 frame_size = static_cast<u32>(size);
  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, frame_size, true);
  u8* dst = segment->data();
  frame->add_frame_segment(segment.release());

  // 3. Header records; the CNOC length counts bytes.
  if (headers) {
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, frame_size, 0, sector_x(), sector_y(), dst);
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, BBUS_WRITE_OP,
                              static_cast<u32>((u64{size_bits} + 31) / 32), BBUS_AREG, 0, 0,
                              dst + m_cnoc_size);
  }

  // 4. BBUS header record, present with or without the other records.
  const u32 ch_opt_size = m_bbus_hdr_blk->get_option_size("BBUS_HDR_CH", "BBUS_HEADER");
  VARNO_ASSERT(ch_opt_size > 0);
  const u32 op_size = m_bbus_hdr_blk->get_option_size("BBUS_HDR_OP", "BBUS_HEADER");
  const u32 sdl_size = m_bbus_hdr_blk->get_option_size("BBUS_HDR_SDL", "BBUS_HEADER");
  VARNO_ASSERT(sdl_size > 0);
  write_header_field(m_bbus_hdr_blk, "BBUS_HDR_CH",
                     chain == 0 ? BBUS_CH_CLOCK_NETWORK : BBUS_CH_OTHER, ch_opt_size);
  write_header_field(m_bbus_hdr_blk, "BBUS_HDR_OP",
                     phase == VARNO_QV_CLK_NTW_PHASE_3 ? BBUS_OP_PLAIN : BBUS_OP_MASKED, op_size);
  write_header_field(m_bbus_hdr_blk, "BBUS_HDR_SDL", size_bits, sdl_size);
  m_bbus_hdr_blk->copy_block_data(dst + p);

  // 5. The chain, masked for the clock-network phases.
  std::vector<u8> work(payload_bytes, 0);
  if (payload_bytes > 0) std::memcpy(work.data(), user + m_chain_offsets[chain], payload_bytes);
  if (chain == 0 && phase != VARNO_QV_CLK_NTW_PHASE_3)
    apply_phase_mask(work.data(), size_bits, phase);
  VARNO_UTIL::bit_copy(work.data(), 0, dst + p + bbus_size, 0, size_bits, true);
  return frame;
}

void VARNO_QV_BBUS_FRAME_MGR::apply_phase_mask(u8* chain_bytes, u32 size_bits,
                                               VARNO_QV_CLK_NTW_PHASE phase) const {
  // 1. The segments of the variant of this size.
  auto it = m_variants.find(size_bits);
  if (it == m_variants.end()) VARNO_INTERNAL_ERROR("Variant size not found");
  const u32 start_idx = it->second.first;
  const u32 end_idx = it->second.second;
  VARNO_ASSERT(start_idx < m_VariantsSegs.size() && end_idx < m_VariantsSegs.size());

  // 2. Mask segment by segment.
  u64 pos = 0;
  for (u32 s = start_idx; s <= end_idx; ++s) {
    const u32 seg_size = m_VariantsSegs[s].size;
    const u32 type = m_VariantsSegs[s].type;
    // The variant's segments add up to its size, which is the chain's.
    VARNO_ASSERT_MSG(pos + seg_size <= size_bits, "pos + seg_size <= size_bits");
    bool clear = false;
    bool triples = false;
    switch (phase) {
      case VARNO_QV_CLK_NTW_PHASE_0: clear = type != 0; break;
      case VARNO_QV_CLK_NTW_PHASE_1:
        clear = type == 1 || type == 3;
        triples = type == 2;
        break;
      case VARNO_QV_CLK_NTW_PHASE_2: clear = type == 3; break;
      default: break;
    }
    if (clear) {
      for (u64 b = pos; b < pos + seg_size; ++b) set_bit(chain_bytes, b, false);
    } else if (triples) {
      VARNO_ASSERT((seg_size % 3) == 0);
      // Only a triple of three set bits survives.
      for (u64 b = pos; b < pos + seg_size; b += 3) {
        if (get_bit(chain_bytes, b) && get_bit(chain_bytes, b + 1) && get_bit(chain_bytes, b + 2)) {
          continue;
        }
        set_bit(chain_bytes, b, false);
        set_bit(chain_bytes, b + 1, false);
        set_bit(chain_bytes, b + 2, false);
      }
    }
    pos += seg_size;
  }

  // 3. Overwrite bits, phase 0 only.
  if (phase != VARNO_QV_CLK_NTW_PHASE_0) return;
  for (u32 b : m_overwrite_bits) {
    VARNO_ASSERT_MSG(b < size_bits, "overwrite_bit < size_bits");
    set_bit(chain_bytes, b, true);
  }
}

// ---- Expected data ---------------------------------------------------------------

void VARNO_QV_BBUS_FRAME_MGR::dump_expected_data(std::string& path) {
  VARNO_DBLOCK* block = expected_data_block(path);
  const u8* data = block->get_user_data(VARNO_BLOCK_DATA_BBUS);
  if (data == nullptr) return;
  // The chains are read from the user data: it must hold them.
  verify_user_data(block, block->get_block_config());
  write_expected_data(path, [&](std::ofstream& stream) {
    for (u32 i = 0; i < m_chain_sizes.size(); ++i) {
      const u64 bytes = chain_bytes(m_chain_sizes[i]);
      VARNO_UTIL::dump_to_file(stream, VARNO_OUTPUT_FORMAT_BIT_TEXT, data + m_chain_offsets[i],
                               static_cast<u32>(bytes), "");
    }
  });
}
