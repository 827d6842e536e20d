#include "varno_qv_uib_csr_frame_mgr.h"

#include <algorithm>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

namespace {

constexpr u32 UIB_IMAGE_HEADER_BYTES = 32;
constexpr u32 UIB_RECORD_HEADER_BYTES = 16;
constexpr u32 UIB_WRITE_OP = 6;
constexpr u32 UIB_AREG = 6;

void put_dword(u8* dest, u64 value) {
  VARNO_UTIL::write_dword_safely(static_cast<u32>(value), dest);
}

}  // namespace

VARNO_QV_UIB_CSR_FRAME_MGR::VARNO_QV_UIB_CSR_FRAME_MGR() = default;

VARNO_QV_UIB_CSR_FRAME_MGR::~VARNO_QV_UIB_CSR_FRAME_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_UIB_CSR_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // 1. The block's generator.
  VARNO_GEN* gen = generator_of(block);

  // 2. Chains, one after the other in the user data, each from a byte.
  m_num_chains = config->get_param_size(VOLD_PARAMETER_CSR_OFFSETS);
  m_chain_lengths.clear();
  m_chain_offsets.clear();
  m_chain_record_sizes.clear();
  u64 offset = 0;
  for (u32 i = 0; i < m_num_chains; ++i) {
    const u32 length = config->get_param_value(VOLD_PARAMETER_CSR_OFFSETS, i);
    m_chain_lengths.push_back(length);
    m_chain_offsets.push_back(offset);
    m_chain_record_sizes.push_back((u64{length} + 31) / 32 * 4);
    offset += (u64{length} + 7) / 8;
  }

  // 3, 4. Chains per frame.
  read_channel_map(config);

  // 5. Frame count: one per frame of the map, and at least one.
  m_num_frames = static_cast<u32>(m_frame_chains.size());
  m_potential_frames = m_num_frames;
  VARNO_ASSERT(m_num_frames > 0);

  // 6. Header blocks of the device level.
  find_sector(gen);
  fetch_cnoc_cnt(array_generator(), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");
  return true;
}

void VARNO_QV_UIB_CSR_FRAME_MGR::read_channel_map(VARNO_BLOCK_CONFIG* config) {
  m_frame_chains.clear();
  const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_CHANNEL_MAP);
  if (arg == nullptr) {
    for (u32 i = 0; i < m_num_chains; ++i) m_frame_chains.push_back({i});
    return;
  }
  unsigned arg_width = 0;
  const std::vector<u32*> arg_list = VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  VARNO_ASSERT(arg_width == 2 && arg_list.size() == m_num_chains);
  // Which entries a row has set; an entry no row sets keeps chain 0.
  std::vector<std::vector<bool>> taken;
  for (u32 i = 0; i < m_num_chains; ++i) {
    const u32* arg_line = arg_list[i];
    VARNO_ASSERT(arg_line);
    const u32 frame_no = arg_line[0];
    const u32 position = arg_line[1];
    // Every frame and position holds at least one chain, so neither can
    // reach the chain count; a larger value would only grow the lists.
    if (frame_no >= m_num_chains || position >= m_num_chains) {
      VARNO_INTERNAL_ERROR(
          KORVIA::fmt_sprintf("CHANNEL_MAP row %d: frame %d, position %d out of range (%d chains)",
                              i, frame_no, position, m_num_chains));
    }
    if (m_frame_chains.size() <= frame_no) {
      m_frame_chains.resize(frame_no + 1);
      taken.resize(frame_no + 1);
    }
    std::vector<u64>& chains = m_frame_chains[frame_no];
    if (chains.size() <= position) {
      chains.resize(position + 1, 0);
      taken[frame_no].resize(position + 1, false);
    }
    // A second chain at the same place would push the first out of every
    // frame.
    if (taken[frame_no][position]) {
      VARNO_INTERNAL_ERROR(
          KORVIA::fmt_sprintf("CHANNEL_MAP row %d: frame %d, position %d already holds chain %d", i,
                              frame_no, position, static_cast<u32>(chains[position])));
    }
    chains[position] = i;
    taken[frame_no][position] = true;
  }
}

u64 VARNO_QV_UIB_CSR_FRAME_MGR::chain_end_bits(u32 i) const {
  return 8 * (m_chain_offsets[i] + (u64{m_chain_lengths[i]} + 7) / 8);
}

u64 VARNO_QV_UIB_CSR_FRAME_MGR::user_bits(VARNO_DBLOCK* block) const {
  const u64 bits = block->get_user_data_size(VARNO_BLOCK_DATA_CSR);
  // A length of 0 leaves the size to the caller, who supplies every chain.
  if (bits == 0 && m_num_chains > 0) return chain_end_bits(m_num_chains - 1);
  return bits;
}

bool VARNO_QV_UIB_CSR_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  const u64 user = block->get_user_data_size(VARNO_BLOCK_DATA_CSR);
  if (user == 0 || m_num_chains == 0) return true;
  // Every chain, or all but the last two.
  u64 expected = chain_end_bits(m_num_chains - 1);
  if (expected > user && m_num_chains > 2) expected = chain_end_bits(m_num_chains - 3);
  if (user != expected) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "UIB bbus or csr data size (%d bits) doesn't mach the expected size is %d bits", user,
        expected));
  }
  return true;
}

// ---- Frame building -------------------------------------------------------------

bool VARNO_QV_UIB_CSR_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (!verify_user_data(block, config)) return false;
  block->clear_frames();
  return create_partial_frames(block, config, 0, m_num_frames);
}

bool VARNO_QV_UIB_CSR_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block,
                                                       VARNO_BLOCK_CONFIG* config, u32 first,
                                                       u32 last) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (block->get_user_data(VARNO_BLOCK_DATA_CSR) == nullptr) return true;
  generator_of(block);
  // last itself is not built; frames past the end do not exist.
  if (last > m_num_frames) return false;
  // A partial build reads the same chains as a full one.
  verify_user_data(block, config);
  const bool hdrs = headers(block);
  for (u32 f = first; f < last; ++f) {
    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, f, hdrs);
    if (frame != nullptr) append_frame(block, std::move(frame));
  }
  return true;
}

std::unique_ptr<VARNO_FRAME> VARNO_QV_UIB_CSR_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                      VARNO_BLOCK_CONFIG*,
                                                                      u32 frame_no, bool headers) {
  // 1. The user data and this frame's chains.
  const u8* user = block->get_user_data(VARNO_BLOCK_DATA_CSR);
  if (user == nullptr) return nullptr;
  VARNO_ASSERT_MSG(frame_no < m_num_frames, "frame_no < m_num_frames");
  const std::vector<u64>& chains = m_frame_chains[frame_no];
  const u32 num_channels = static_cast<u32>(chains.size());

  // 2. Size of this frame's image, the segment, the records.
  u64 image_size = UIB_IMAGE_HEADER_BYTES;
  for (u64 c : chains) image_size += m_chain_record_sizes[c] + UIB_RECORD_HEADER_BYTES;
  const u64 size = image_size + (headers ? m_header_bytes : 0);
  VARNO_ASSERT_MSG(size * 8 <= 0xFFFFFFFFu, "full_frame_size * 8 <= 0xFFFFFFFF");
  const u32 full_frame_size = static_cast<u32>(size);
  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment =
      std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, full_frame_size, true);
  u8* frame_data = segment->data();
  frame->add_frame_segment(segment.release());

  u8* p = frame_data;
  if (headers) {
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, full_frame_size, 0, sector_x(), sector_y(), p);
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, UIB_WRITE_OP, full_frame_size / 4, UIB_AREG, 0, 0,
                              p + m_cnoc_size);
    p += m_header_bytes;
  }
  put_dword(p, image_size);
  put_dword(p + 4, UIB_IMAGE_HEADER_BYTES);
  put_dword(p + 12, num_channels);
  p += UIB_IMAGE_HEADER_BYTES;

  // 3. One record per chain; the chain's words fill its data area, last
  // word first.
  const u64 available = user_bits(block);
  u32 channel_idx = 0;
  for (u64 c : chains) {
    const u64 record = m_chain_record_sizes[c];
    put_dword(p, record + UIB_RECORD_HEADER_BYTES);
    put_dword(p + 4, channel_idx);
    p += UIB_RECORD_HEADER_BYTES;
    const u32 length = m_chain_lengths[c];
    if (m_chain_offsets[c] * 8 + length > available) {
      // The host may leave out the last two chains; they go out as zeros.
      VARNO_ASSERT(m_num_chains > 2);
      VARNO_ASSERT(c >= m_num_chains - 2);
    } else {
      const u64 words = record / 4;
      for (u64 j = 0; j < words; ++j) {
        const u32 bits = static_cast<u32>(std::min<u64>(32, length - 32 * j));
        VARNO_UTIL::bit_copy(user + m_chain_offsets[c] + 4 * j, 0, p + record - 4 - 4 * j, 0, bits,
                             true);
      }
    }
    p += record;
    ++channel_idx;
  }

  // 4. Every chain written, and the frame filled exactly.
  VARNO_ASSERT(channel_idx == num_channels);
  VARNO_ASSERT(p == (frame_data + full_frame_size));
  return frame;
}

// ---- Expected data ---------------------------------------------------------------

void VARNO_QV_UIB_CSR_FRAME_MGR::dump_expected_data(std::string& path) {
  VARNO_DBLOCK* block = expected_data_block(path);
  const u8* data = block->get_user_data(VARNO_BLOCK_DATA_CSR);
  if (data == nullptr) return;
  verify_user_data(block, block->get_block_config());
  const u64 available = user_bits(block);
  write_expected_data(path, [&](std::ofstream& stream) {
    for (u32 i = 0; i < m_num_chains; ++i) {
      // Chains the host left out are not in its data to be read.
      if (chain_end_bits(i) > available) continue;
      VARNO_UTIL::dump_to_file(stream, VARNO_OUTPUT_FORMAT_BIT_TEXT, data + m_chain_offsets[i],
                               static_cast<u32>((u64{m_chain_lengths[i]} + 7) / 8), "");
    }
  });
}
