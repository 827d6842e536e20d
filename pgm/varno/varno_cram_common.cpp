#include "varno_cram_common.h"

#include <algorithm>
#include <type_traits>

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_gen.h"

namespace {

// Rows of a u32 argument with its width.
struct UINT_ROWS {
  std::vector<u32*> rows;
  unsigned width = 0;
};

UINT_ROWS uint_rows(const VOLD_ARG* arg) {
  UINT_ROWS r;
  r.rows = VOLD_MANAGER::get_uint_arg_list(arg, r.width);
  return r;
}

struct BYTE_ROWS {
  std::vector<u8*> rows;
  unsigned width = 0;
};

BYTE_ROWS byte_rows(const VOLD_ARG* arg) {
  BYTE_ROWS r;
  r.rows = VOLD_MANAGER::get_byte_arg_list(arg, r.width);
  return r;
}

// Value 0 of the parameter when the block has it; value unchanged otherwise.
template <typename T>
void optional_param(VARNO_BLOCK_CONFIG* config, VOLD_PARAMETER_TYPE type, T& value) {
  if (config->get_param(type) == nullptr) return;
  const u32 v = config->get_param_value(type, 0u);
  if constexpr (std::is_same_v<T, bool>) {
    value = v != 0;
  } else {
    value = v;
  }
}

// True when the location list belongs to the device and holds at least one
// (frame, bit) pair.
bool fi_list_matches(const VOLD_DEVICE_INFO* device, const std::vector<u32>& locations) {
  if (device == nullptr || locations.empty() || locations.size() % 2 != 0) return false;
  if (locations[0] != device->family_type || locations[1] != device->device_type) return false;
  return locations.size() >= 4;
}

std::vector<u32> convert_locations(VOLD_DEVICE_INFO* device, const u32* frame_map,
                                   const u32* bit_map, unsigned frame_count, unsigned bit_count,
                                   const std::vector<u32>& locations, bool drop_fffffffe) {
  std::vector<u32> out;
  if (!fi_list_matches(device, locations)) return out;
  for (size_t i = 2; i + 1 < locations.size(); i += 2) {
    const u32 f = locations[i];
    const u32 b = locations[i + 1];
    if (f >= frame_count || b >= bit_count) return {};
    VARNO_ASSERT(frame_map != nullptr && bit_map != nullptr);
    const u32 img_frame = frame_map[f];
    const u32 img_bit = bit_map[b];
    if (img_bit == 0xFFFFFFFFu || (drop_fffffffe && img_bit == 0xFFFFFFFEu)) continue;
    if (out.empty()) {
      out.push_back(locations[0]);
      out.push_back(locations[1]);
    }
    out.push_back(img_frame);
    out.push_back(img_bit);
  }
  return out;
}

}  // namespace

VOLD_DEVICE_INFO* cram_device_of(VARNO_DBLOCK* block) {
  VARNO_GEN* gen = block != nullptr ? block->generator() : nullptr;
  VOLD_INFO* info = gen != nullptr ? gen->device_pcf_info() : nullptr;
  VOLD_DEVICE_INFO* device_pcf = info != nullptr ? info->get_device_info() : nullptr;
  VARNO_ASSERT_MSG(device_pcf != nullptr, "device_pcf != NULL");
  return device_pcf;
}

bool cram_dra_s4_info_is_bytes(u32 algo) { return algo == 0 || (algo >= 3 && algo <= 6); }

void setup_cram_member(VARNO_CRAM_MEMBER& m, VOLD_DEVICE_INFO* device, VARNO_DBLOCK*,
                       VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(config != nullptr, "config != NULL");
  VARNO_ASSERT_MSG(device != nullptr, "device != NULL");

  // 1. Geometry.
  m.algo = config->get_param_value(VOLD_PARAMETER_CRAM_ALGO, 0u);
  m.image_frame_count = config->get_param_value(VOLD_PARAMETER_CRAM_FRAME_COUNT, 0u);
  m.image_frame_bits = config->get_param_value(VOLD_PARAMETER_CRAM_BIT_COUNT, 0u);
  VARNO_ASSERT(m.image_frame_count > 0);
  VARNO_ASSERT(m.image_frame_bits > 0);

  // 2. Spare rows are not part of the bitstream.
  m.bs_frame_count = m.image_frame_count;
  if (const VOLD_ARG* spare = config->get_arg(VOLD_ARGUMENT_CRAM_SPARE_ROWS)) {
    m.bs_frame_count = m.image_frame_count - VOLD_MANAGER::get_total_spare_rows(spare);
  }

  // 3, 4. Frame maps.
  {
    const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_CRAM_IMG_FRAME_TO_BS_FRAME_MAP);
    VARNO_ASSERT_MSG(arg != nullptr, "arg != NULL");
    const UINT_ROWS l = uint_rows(arg);
    const unsigned arg_width = l.width;
    const std::vector<u32*>& uint_arg_list = l.rows;
    VARNO_ASSERT(arg_width == m.image_frame_count && uint_arg_list.size() == 1);
    m.img_frame_to_bs_frame_map = uint_arg_list[0];
    VARNO_ASSERT_MSG(m.img_frame_to_bs_frame_map != nullptr, "m.img_frame_to_bs_frame_map != NULL");
  }
  {
    const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_CRAM_BS_FRAME_TO_IMG_FRAME_MAP);
    VARNO_ASSERT_MSG(arg != nullptr, "arg != NULL");
    const UINT_ROWS l = uint_rows(arg);
    const unsigned arg_width = l.width;
    const std::vector<u32*>& uint_arg_list = l.rows;
    VARNO_ASSERT(arg_width == m.bs_frame_count && uint_arg_list.size() == 1);
    m.bs_frame_to_img_frame_map = uint_arg_list[0];
    VARNO_ASSERT_MSG(m.bs_frame_to_img_frame_map != nullptr, "m.bs_frame_to_img_frame_map != NULL");
  }

  // 5. Bit maps.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP)) {
    {
      const UINT_ROWS l = uint_rows(arg);
      const unsigned arg_width = l.width;
      const std::vector<u32*>& uint_arg_list = l.rows;
      VARNO_ASSERT(arg_width == m.image_frame_bits && uint_arg_list.size() == 1);
      m.img_to_raw_map = uint_arg_list[0];
    }
    const VOLD_ARG* raw = config->get_arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP);
    VARNO_ASSERT_MSG(raw != nullptr, "arg != NULL");
    const UINT_ROWS l = uint_rows(raw);
    const std::vector<u32*>& uint_arg_list = l.rows;
    m.bs_frame_bits = l.width;
    VARNO_ASSERT(uint_arg_list.size() == 1);
    m.raw_to_img_map = uint_arg_list[0];
  } else {
    VARNO_ASSERT_MSG(config->get_arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP) == nullptr,
                     "config->get_arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP) == NULL");
  }

  // 6. The second form of the bit maps; its width wins.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP_REV32)) {
    {
      const UINT_ROWS l = uint_rows(arg);
      const unsigned arg_width = l.width;
      const std::vector<u32*>& uint_arg_list = l.rows;
      VARNO_ASSERT(arg_width == m.image_frame_bits && uint_arg_list.size() == 1);
      m.img_to_raw_map_rev32 = uint_arg_list[0];
    }
    const VOLD_ARG* raw = config->get_arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP_REV32);
    VARNO_ASSERT_MSG(raw != nullptr, "arg != NULL");
    const UINT_ROWS l = uint_rows(raw);
    const std::vector<u32*>& uint_arg_list = l.rows;
    VARNO_ASSERT(uint_arg_list.size() == 1);
    m.raw_to_img_map_rev32 = uint_arg_list[0];
    m.bs_frame_bits = l.width;
  }

  // 7. S4 bit maps. A map without rows is refused like every other map.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_S4_IMG_TO_RAW_MAP)) {
    {
      const UINT_ROWS l = uint_rows(arg);
      const std::vector<u32*>& uint_arg_list = l.rows;
      VARNO_ASSERT(!uint_arg_list.empty());
      m.image_s4_frame_bits = l.width;
      m.s4_img_to_raw_map = uint_arg_list[0];
    }
    const VOLD_ARG* raw = config->get_arg(VOLD_ARGUMENT_S4_RAW_TO_IMG_MAP);
    VARNO_ASSERT_MSG(raw != nullptr, "arg != NULL");
    const UINT_ROWS l = uint_rows(raw);
    const std::vector<u32*>& uint_arg_list = l.rows;
    m.bs_s4_frame_bits = l.width;
    VARNO_ASSERT(uint_arg_list.size() == 1);
    m.s4_raw_to_img_map = uint_arg_list[0];
  } else {
    VARNO_ASSERT_MSG(config->get_arg(VOLD_ARGUMENT_S4_RAW_TO_IMG_MAP) == nullptr,
                     "config->get_arg(VOLD_ARGUMENT_S4_RAW_TO_IMG_MAP) == NULL");
  }

  // 8. S4 mask and per-sector S4 frame list.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_S4_4BIT_MASK)) {
    const UINT_ROWS l = uint_rows(arg);
    const std::vector<u32*>& uint_arg_list = l.rows;
    VARNO_ASSERT(uint_arg_list.size() == 1);
    m.s4_4bit_mask_count = l.width;
    m.s4_4bit_mask = uint_arg_list[0];
  }
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_SECTOR_S4_FS)) {
    const UINT_ROWS l = uint_rows(arg);
    const std::vector<u32*>& uint_arg_list = l.rows;
    VARNO_ASSERT(uint_arg_list.size() == 1);
    m.sector_s4_fs_count = l.width;
    m.sector_s4_fs = uint_arg_list[0];
  }

  // 9. The device's S4 cell records.
  S4_SII_LIST* s4_list = device->m_s4_s2_list != nullptr ? device->m_s4_s2_list
                                                          : device->m_fake_s4_s2_list;
  m.s4_sii_list = s4_list;
  if (s4_list != nullptr) m.s4_sii_count = static_cast<u32>(s4_list->size());

  // 10. Data registers. A second set-up must not lose the arrays of the first.
  if (config->get_param(VOLD_PARAMETER_DRAS) != nullptr) {
    delete[] m.dras;
    m.dras = nullptr;
    u32 count = 0;
    m.dras = config->get_param_values(VOLD_PARAMETER_DRAS, count);
    m.dras_count = count;
    if (config->get_param(VOLD_PARAMETER_DRAS_ORDER) != nullptr) {
      delete[] m.dras_order;
      m.dras_order = nullptr;
      u32 param_length = 0;
      m.dras_order = config->get_param_values(VOLD_PARAMETER_DRAS_ORDER, param_length);
      VARNO_ASSERT(param_length == m.dras_count);
    }
  } else {
    VARNO_ASSERT_MSG(config->get_param(VOLD_PARAMETER_DRAS_ORDER) == nullptr,
                     "config->get_param(VOLD_PARAMETER_DRAS_ORDER) == NULL");
  }

  // 11, 12. DRA bit and S4 information.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_DRA_BIT_INFO)) {
    const BYTE_ROWS l = byte_rows(arg);
    const std::vector<u8*>& byte_arg_list = l.rows;
    VARNO_ASSERT(byte_arg_list.size() == 1);
    m.dra_bit_info = byte_arg_list[0];
    m.dra_bits = l.width;
  }
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_DRA_S4_INFO)) {
    const BYTE_ROWS l = byte_rows(arg);
    const std::vector<u8*>& byte_arg_list = l.rows;
    const unsigned arg_width = l.width;
    VARNO_ASSERT(byte_arg_list.size() == 1);
    m.dra_s4_info = byte_arg_list[0];
    if (cram_dra_s4_info_is_bytes(m.algo)) {
      VARNO_ASSERT(m.image_frame_count == arg_width);
    } else {
      VARNO_ASSERT((m.image_frame_count + 7)/8 == arg_width);
    }
  }

  // 13. LUTRAM remapping.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_LUTRAM_DATALINES)) {
    const UINT_ROWS l = uint_rows(arg);
    const std::vector<u32*>& uint_arg_list = l.rows;
    m.lutram_datalines_count = l.width;
    VARNO_ASSERT(uint_arg_list.size() == 1);
    m.lutram_datalines = uint_arg_list[0];
  }
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_LUTRAM_REMAP_ADDRLINES)) {
    const UINT_ROWS l = uint_rows(arg);
    const std::vector<u32*>& uint_arg_list = l.rows;
    m.addrlines_per_row = l.width;
    VARNO_ASSERT(uint_arg_list.size() == 1);
    m.lutram_remap_addrlines = uint_arg_list[0];
  }

  // 14. ED-CRC maps.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_IMG_TO_EDCRC_MAP)) {
    const UINT_ROWS l = uint_rows(arg);
    const unsigned arg_width = l.width;
    const std::vector<u32*>& uint_arg_list = l.rows;
    VARNO_ASSERT(arg_width == m.image_frame_bits && uint_arg_list.size() == 1);
    m.img_to_edcrc_map = uint_arg_list[0];
  }
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_EDCRC_TO_IMG_MAP)) {
    const UINT_ROWS l = uint_rows(arg);
    const unsigned arg_width = l.width;
    const std::vector<u32*>& uint_arg_list = l.rows;
    VARNO_ASSERT(arg_width == m.bs_frame_bits && uint_arg_list.size() == 1);
    m.edcrc_to_img_map = uint_arg_list[0];
  }

  // 15. Phantomless rows.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_PHANTOMLESS_MAP)) {
    BYTE_ROWS l = byte_rows(arg);
    const unsigned arg_width = l.width;
    m.phantomless_map = std::move(l.rows);
    VARNO_ASSERT((PGM_PHANTOMLESS_INFO_REVERSED_BYTE + (m.image_frame_bits + 7)/8) == arg_width);
  }

  // 16. Image layout flags.
  optional_param(config, VOLD_PARAMETER_IMG_IN_FRAME_SEQ, m.img_in_frame_seq);
  optional_param(config, VOLD_PARAMETER_IMG_FILLED_WITH_LOWEST_FRAME,
                 m.img_filled_with_lowest_frame);
  optional_param(config, VOLD_PARAMETER_IMG_FILLED_WITH_LOWEST_BIT, m.img_filled_with_lowest_bit);
  optional_param(config, VOLD_PARAMETER_IMG_CRAM_INCLUDE_EDCRC_BITS, m.img_include_edcrc_bits);
  optional_param(config, VOLD_PARAMETER_CRAM_PARALLEL_FRAME_SIZE, m.parallel_frame_size);

  // 17. MRAM and LUTRAM frame information.
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_MRAM_INFO)) {
    const BYTE_ROWS l = byte_rows(arg);
    const unsigned arg_width = l.width;
    const std::vector<u8*>& byte_arg_list = l.rows;
    VARNO_ASSERT((arg_width == (m.image_frame_count + 7)/8) && byte_arg_list.size() == 1);
    m.mram_info = byte_arg_list[0];
  }
  if (const VOLD_ARG* arg = config->get_arg(VOLD_ARGUMENT_LUTRAM_INFO)) {
    const BYTE_ROWS l = byte_rows(arg);
    const unsigned arg_width = l.width;
    const std::vector<u8*>& byte_arg_list = l.rows;
    VARNO_ASSERT(arg_width == m.image_frame_count && byte_arg_list.size() == 1);
    m.lutram_info = byte_arg_list[0];
  }

  // 18. LUTRAM block layout and the fake ED-CRC frames.
  optional_param(config, VOLD_PARAMETER_LUTRAM_ODD_BIT_FLIP, m.lutram_odd_bit_flip);
  optional_param(config, VOLD_PARAMETER_LUTRAM_BLOCK_COUNT, m.lutram_block_count);
  optional_param(config, VOLD_PARAMETER_LUTRAM_BLOCK_BITS, m.lutram_block_bits);
  optional_param(config, VOLD_PARAMETER_LUTRAM_BLOCK_BITS_OFFSET, m.lutram_block_bits_offset);
  optional_param(config, VOLD_PARAMETER_LUTRAM_ROW_SIZE, m.lutram_row_size);
  optional_param(config, VOLD_PARAMETER_RSCNT26_BIT_COL_OFFSET, m.rscnt26_bit_col_offset);
  optional_param(config, VOLD_PARAMETER_RSCNT26_BIT_ROW_OFFSET, m.rscnt26_bit_row_offset);
  if (config->get_param(VOLD_PARAMETER_FAKE_EDCRC_FRAME_COUNT) != nullptr) {
    m.fake_edcrc_frame_count =
        config->get_param_value(VOLD_PARAMETER_FAKE_EDCRC_FRAME_COUNT, 0u);
    VARNO_ASSERT(m.fake_edcrc_frame_count != 0);
  }
}

void verify_cram_user_data(VARNO_CRAM_MEMBER& m, VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  m.config_data_width = block->get_config_data_width();
  VARNO_ASSERT(m.config_data_width == 8 || m.config_data_width == 32);
  m.config_data_bytes = m.config_data_width / 8;
  const u64 bits = block->get_user_data_size(VARNO_BLOCK_DATA_CRAM);
  m.image_data = block->get_user_data(VARNO_BLOCK_DATA_CRAM);
  VARNO_ASSERT_MSG(m.image_data != nullptr, "m.image_data != NULL");
  // Compared in 64 bits: a wrapped product would let a short image pass.
  VARNO_ASSERT_MSG(bits == static_cast<u64>(m.image_frame_count) * m.image_frame_bits,
                   "m.image_bits == (m.image_frame_count * m.image_frame_bits)");
  m.image_bits = static_cast<u32>(bits);
}

std::unique_ptr<std::unique_ptr<u8[]>[]> split_cram_image(const VARNO_CRAM_MEMBER& m,
                                                          u32 buffer_bytes, bool to_bitstream) {
  const u32 frame_count = m.image_frame_count;
  const u32 frame_bits = m.image_frame_bits;
  auto buffers = std::make_unique<std::unique_ptr<u8[]>[]>(frame_count);
  for (u32 i = 0; i < frame_count; ++i) buffers[i] = std::make_unique<u8[]>(buffer_bytes);

  const u8* image = m.image_data;
  for (u64 b = 0; b < m.image_bits; ++b) {
    if (((image[b / 8] >> (b % 8)) & 1u) == 0) continue;
    u32 frame = 0;
    u32 bit = 0;
    if (m.img_in_frame_seq) {
      frame = static_cast<u32>(b % frame_count);
      bit = static_cast<u32>(b / frame_count);
    } else {
      frame = static_cast<u32>(b / frame_bits);
      bit = static_cast<u32>(b % frame_bits);
    }
    if (!m.img_filled_with_lowest_frame) frame = frame_count - 1 - frame;
    if (!m.img_filled_with_lowest_bit) bit = frame_bits - 1 - bit;
    u32 place = bit;
    if (to_bitstream) {
      // A set bit must land inside its frame; a marker or a stray map entry
      // would write past the buffer.
      place = m.img_to_raw_map[bit];
      VARNO_ASSERT_MSG(place < m.bs_frame_bits, "img_to_raw_map[bit] < m_member.bs_frame_bits");
    }
    u8* buffer = buffers[frame].get();
    buffer[place / 8] = static_cast<u8>(buffer[place / 8] | (1u << (place % 8)));
  }
  return buffers;
}

void setup_instruction(VARNO_CRAM_MEMBER& m, VARNO_DBLOCK* block) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  struct SLOT {
    VOLD_INSTRUCTION_TYPE type;
    u32* field;
  };
  const SLOT slots[] = {
      {VOLD_INSTRUCTION_FIRST_FRAME, &m.first_frame_instr},
      {VOLD_INSTRUCTION_LAST_FRAME, &m.last_frame_instr},
      {VOLD_INSTRUCTION_DEFAULT_FRAME, &m.default_frame_instr},
      {VOLD_INSTRUCTION_FIRST_S4_FRAME, &m.first_s4_frame_instr},
      {VOLD_INSTRUCTION_LAST_S4_FRAME, &m.last_s4_frame_instr},
      {VOLD_INSTRUCTION_DEFAULT_S4_FRAME, &m.default_s4_frame_instr},
  };
  for (const SLOT& s : slots) {
    if (const VOLD_INSTRUCTION* instruction = block->get_instruction(s.type)) {
      *s.field = instruction->get_instruction_word();
    }
  }
}

u32 get_instruction(const VARNO_CRAM_MEMBER& m, bool first, bool last, bool s4) {
  if (s4) {
    if (first) return m.first_s4_frame_instr;
    if (last) return m.last_s4_frame_instr;
    return m.default_s4_frame_instr;
  }
  if (first) return m.first_frame_instr;
  if (last) return m.last_frame_instr;
  return m.default_frame_instr;
}

void delete_cram_member_memory(VARNO_CRAM_MEMBER& m) {
  delete[] m.dras;
  m.dras = nullptr;
  delete[] m.dras_order;
  m.dras_order = nullptr;
}

u32 get_bits(unsigned char* bits, unsigned& index, unsigned count, bool up) {
  VARNO_ASSERT(count > 0 && count <= 8);
  VARNO_ASSERT_MSG(bits != nullptr, "bits != NULL");
  u32 result = 0;
  for (unsigned k = 0; k < count; ++k) {
    if (k > 0) {
      if (up) {
        ++index;
      } else {
        VARNO_ASSERT(index > 0);
        --index;
      }
    }
    const u32 bit = (bits[index / 8] >> (index % 8)) & 1u;
    result |= bit << k;
  }
  return result;
}

u32 get_bits(unsigned word, unsigned& index, unsigned count) {
  VARNO_ASSERT(count > 0 && count <= 8 && index < 32 && (index + count) <= 32);
  const u32 result = (word >> index) & ((1u << count) - 1u);
  index = index + count - 1;
  return result;
}

bool encode_two_bits(unsigned char& two_bits, bool flag) {
  VARNO_ASSERT(two_bits < 4);
  static constexpr unsigned char s_codes[4] = {0, 8, 4, 12};
  const unsigned char v = two_bits;
  two_bits = s_codes[v];
  return (v == 1 || v == 2) ? !flag : false;
}

std::vector<std::vector<u32>> process_fi_locations(VOLD_DEVICE_INFO* device, unsigned frame_count,
                                                   unsigned bit_count,
                                                   const std::vector<u32>& locations) {
  std::vector<std::vector<u32>> groups;
  if (!fi_list_matches(device, locations)) return groups;
  for (size_t i = 2; i + 1 < locations.size(); i += 2) {
    const u32 frame = locations[i];
    const u32 bit = locations[i + 1];
    if (frame >= frame_count || bit >= bit_count) return {};
    auto iter = groups.begin();
    for (; iter != groups.end(); ++iter) {
      VARNO_ASSERT((*iter).size() > 1);
      if ((*iter)[0] >= frame) break;
    }
    if (iter != groups.end() && (*iter)[0] == frame) {
      auto pos = std::lower_bound(iter->begin() + 1, iter->end(), bit);
      if (pos != iter->end() && *pos == bit) return {};
      iter->insert(pos, bit);
    } else {
      groups.insert(iter, std::vector<u32>{frame, bit});
    }
  }
  return groups;
}

std::vector<u32> convert_bs_to_img_format(VOLD_DEVICE_INFO* device, u32* frame_map, u32* bit_map,
                                          unsigned frame_count, unsigned bit_count,
                                          const std::vector<u32>& locations) {
  return convert_locations(device, frame_map, bit_map, frame_count, bit_count, locations, true);
}

std::vector<u32> convert_edcrc_to_img_format(VOLD_DEVICE_INFO* device, u32* frame_map,
                                             u32* bit_map, unsigned frame_count,
                                             unsigned bit_count,
                                             const std::vector<u32>& locations) {
  return convert_locations(device, frame_map, bit_map, frame_count, bit_count, locations, false);
}

std::vector<u32> search_fi_bits(const std::vector<std::vector<u32>>& locations, unsigned frame,
                                unsigned& index, bool forward) {
  const size_t count = locations.size();
  VARNO_ASSERT_MSG(index <= count, "index <= DWORD(locations.size())");
  while (index < count) {
    const std::vector<u32>& group = forward ? locations[index] : locations[count - 1 - index];
    VARNO_ASSERT_MSG(group.size() > 1, "(*iter).size() > 1");
    const u32 group_frame = group[0];
    if (group_frame == frame) {
      ++index;
      return std::vector<u32>(group.begin() + 1, group.end());
    }
    // A group beyond the frame in the walking direction ends the search.
    if (forward ? group_frame > frame : group_frame < frame) return {};
    ++index;
  }
  return {};
}
