#include "varno_qv_cram_frame_mgr.h"

#include <algorithm>
#include <memory>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"

namespace {

// Devices whose S4 cells never go through the 4-bit mask.
bool s4_mask_disallowed(u32 device_type) {
  return device_type == 41 || device_type == 53 || device_type == 63;
}

// Register offsets and write operations of the two data registers.
constexpr u32 DR0_WRITE_OP = 3;
constexpr u32 DR1_WRITE_OP = 5;
constexpr u32 DR0_OFFSET = 0x24000;
constexpr u32 DR1_OFFSET = 0x25000;

// A frame descriptor variant of 1 marks a CRAM block that is never written in
// S4 form.
constexpr u32 CRAM_NO_S4_VARIANT = 1;

// The sector that keeps its CRAM frames out of 2D prediction unless the rows
// are aligned.
constexpr u32 NO_2D_SECTOR_X = 5;
constexpr u32 NO_2D_SECTOR_Y = 2;

u32 width_of(const VOLD_ARG* arg) {
  unsigned width = 0;
  VOLD_MANAGER::get_uint_arg_list(arg, width);
  return width;
}

}  // namespace

VARNO_QV_CRAM_FRAME_MGR::VARNO_QV_CRAM_FRAME_MGR() = default;

VARNO_QV_CRAM_FRAME_MGR::~VARNO_QV_CRAM_FRAME_MGR() { delete_cram_member_memory(m_member); }

u32 VARNO_QV_CRAM_FRAME_MGR::dra(u32 i) const {
  VARNO_ASSERT_MSG(m_dras != nullptr && i < m_dras_count, "m_dras != NULL");
  return m_dras[i];
}

u32 VARNO_QV_CRAM_FRAME_MGR::dr_bytes() const {
  return static_cast<u32>((u64{dra(0)} + dra(1) + 7) / 8);
}

u32 VARNO_QV_CRAM_FRAME_MGR::dr_gap() const { return (dra(0) / 8) & 4u; }

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_CRAM_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_GEN* gen = generator_of(block);

  // 1. Device.
  VOLD_INFO* device_info = gen->device_pcf_info();
  VOLD_DEVICE_INFO* device_pcf = device_info != nullptr ? device_info->get_device_info() : nullptr;
  VARNO_ASSERT_MSG(device_pcf != nullptr, "device_pcf != NULL");
  if (s4_mask_disallowed(device_pcf->get_device_type())) m_s4_mask_allowed = false;

  // 2, 3. Image description and geometry.
  setup_cram_member(m_member, device_pcf, block, config);
  m_rows = config->get_param_value(VOLD_PARAMETER_CRAM_FRAME_COUNT, 0u);
  VARNO_ASSERT(m_rows > 0);
  m_cols = config->get_param_value(VOLD_PARAMETER_CRAM_BIT_COUNT, 0u);
  VARNO_ASSERT(m_cols > 0);
  // Image bits are addressed with 32-bit offsets.
  VARNO_ASSERT_MSG(static_cast<u64>(m_rows) * m_cols <= 0xFFFFFFFFu,
                   "(u64)m_rows * m_cols <= 0xFFFFFFFF");

  // 4. Phantom rows of the two data registers.
  struct PHANTOM {
    VOLD_ARGUMENT_TYPE type;
    u32* count;
    std::vector<u32>* pairs;
  };
  const PHANTOM phantoms[] = {
      {VOLD_ARGUMENT_QV_DR0_ERAM_PHTOM, &m_dr0_phantom_count, &m_dr0_phantom_pairs},
      {VOLD_ARGUMENT_QV_DR1_ERAM_PHTOM, &m_dr1_phantom_count, &m_dr1_phantom_pairs},
  };
  for (const PHANTOM& p : phantoms) {
    const VOLD_ARG* arg = config->get_arg(p.type);
    if (arg == nullptr) continue;
    *p.count = VOLD_MANAGER::get_total_spare_rows(arg);
    unsigned width = 0;
    const std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, width);
    VARNO_ASSERT(width == 2);
    p.pairs->clear();
    for (const u32* row : rows) {
      p.pairs->push_back(row[0]);
      p.pairs->push_back(row[1]);
    }
  }

  // 5. Spare rows are never framed.
  m_spare_arg = config->get_arg(VOLD_ARGUMENT_CRAM_SPARE_ROWS);
  m_spare_rows = VOLD_MANAGER::get_total_spare_rows(m_spare_arg);
  VARNO_ASSERT(m_spare_rows <= m_rows);
  m_usable_rows = m_rows - m_spare_rows;
  m_potential_frames = m_usable_rows;

  // 6. Sector and header blocks.
  find_sector(gen);
  fetch_cnoc_cnt(gen, "m_cnoc_blk != NULL && m_cnt_blk != NULL");

  // 7. Data registers.
  u32 dras_count = 0;
  m_dras.reset(config->get_param_values(VOLD_PARAMETER_DRAS, dras_count));
  m_dras_count = dras_count;
  VARNO_ASSERT(dras_count == 2 || dras_count == 4);
  // Register lengths travel as 16-bit word counts in the thread and sector
  // parameter records; a longer one would spill into its neighbour's field
  // there, and here make every frame up to a gigabyte.
  for (u32 i = 0; i < dras_count; ++i)
    VARNO_ASSERT_MSG((m_dras[i] >> 5) <= 0xFFFF, "(dras[i] >> 5) <= 0xFFFF");
  VARNO_ASSERT_MSG(m_dr0_phantom_count <= m_dras[0] && m_dr1_phantom_count <= m_dras[1],
                   "phantom_count <= dras");
  m_dr0_data = m_dras[0] - m_dr0_phantom_count;
  m_dr1_data = m_dras[1] - m_dr1_phantom_count;
  VARNO_ASSERT(m_dr0_data % 32 == 0);
  VARNO_ASSERT(m_dr1_data % 32 == 0);

  // 8. Bit-swap list of the expected data.
  // A list built by an earlier set-up stays with its own count.
  const u32 swap_size = block->get_arg_size("CRAM_BIT_SWAP_IDX");
  if (m_bit_swap == nullptr) m_bit_swap_count = swap_size;
  if (m_bit_swap == nullptr && m_bit_swap_count != 0) {
    const u32 arg_width = block->get_arg_width("CRAM_BIT_SWAP_IDX");
    VARNO_ASSERT(arg_width > 0);
    m_bit_swap_count = m_bit_swap_count / arg_width;
    m_bit_swap.reset(new u32[m_bit_swap_count]());
    for (u32 j = 0; j < m_bit_swap_count; ++j) {
      m_bit_swap[j] = block->get_arg_value("CRAM_BIT_SWAP_IDX", j, 1) << 16 |
                      block->get_arg_value("CRAM_BIT_SWAP_IDX", j, 0);
    }
  }

  // Widths of the two bitstream-to-IMG maps, to bound their reads.
  m_raw_map_width = width_of(config->get_arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP));
  m_rev32_map_width = width_of(config->get_arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP_REV32));
  return true;
}

bool VARNO_QV_CRAM_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  verify_user_data_size(block, VARNO_BLOCK_DATA_CRAM, static_cast<u64>(m_rows) * m_cols,
                        "Mismatch in user data size:user_cram_size %d != %d: cram_pcf_size");
  return true;
}

// ---- Frame building ---------------------------------------------------------------

bool VARNO_QV_CRAM_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  verify_user_data(block, config);
  block->clear_frames();
  msg_vdebug_impl(2, "Generating CRAM frames ...");

  u32 n = 0;
  const bool result = create_selected_frames(block, config, m_usable_rows, VOLD_BLOCK_CRAM, n);

  generator_of(block);
  const VARNO_MGR_PARAM* param = mgr_param(block);
  const bool sector_exception =
      param->qv_2d_align == 0 && sector_x() == NO_2D_SECTOR_X && sector_y() == NO_2D_SECTOR_Y;
  const u32 arg_size = block->get_arg_size("BROW_FRAME_SIZE");
  VARNO_ASSERT(arg_size > 0);
  const u32 frames_per_row = block->get_arg_value("BROW_FRAME_SIZE", 0, 0);
  VARNO_ASSERT(frames_per_row > 0);
  if ((param->qv_2d_compression & 1u) != 0 && descriptor_word(block, 6) != CRAM_NO_S4_VARIANT &&
      n > 0 && n % frames_per_row == 0 && !sector_exception) {
    attach_2d_engine(block, true);
  }
  return result;
}

bool VARNO_QV_CRAM_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                    u32 first, u32 last) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (block->get_user_data(VARNO_BLOCK_DATA_CRAM) == nullptr) return true;
  if (last >= m_usable_rows) return false;
  generator_of(block);
  // A partial build reads the same rows as a full one.
  verify_user_data(block, config);

  // 1. Mode.
  const VARNO_MGR_PARAM* param = mgr_param(block);
  const bool headers = param->skip_headers == 0;
  const bool s4 = param->s4_variant != 0 && descriptor_word(block, 6) != CRAM_NO_S4_VARIANT;
  const bool skip_s2 = param->cram_skip_s4_data == 1;

  // 2. Core size: both registers, plus their record pairs with headers (not with S4).
  const u64 core = u64{dr_bytes()} + (headers ? u64{2} * m_header_bytes : 0);
  VARNO_ASSERT_MSG(core <= 0xFFFFFFFFu, "m_core_size <= 0xFFFFFFFF");
  m_core_size = static_cast<u32>(core);
  if (headers && s4) VARNO_INTERNAL_ERROR("S4 and LSM mode not supported");

  // 3. S4 mask.
  m_s4_mask_used = param->qv_2d_align != 0;
  switch (param->s4_variant) {
    case 1: m_s4_mask_used = m_s4_mask_allowed; break;
    case 2: m_s4_mask_used = false; break;
    case 3: m_s4_mask_used = true; break;
    default: break;
  }
  block->m_s4_mask_used = m_s4_mask_used;

  // 4. Bitstream-to-IMG map.
  m_raw_to_img_map = m_s4_mask_used ? m_member.raw_to_img_map_rev32 : m_member.raw_to_img_map;
  VARNO_ASSERT(m_raw_to_img_map);
  m_raw_to_img_width = m_s4_mask_used ? m_rev32_map_width : m_raw_map_width;
  // Every bit of a row is looked up, except with S4 cells through the mask.
  if (!s4 || !m_s4_mask_used) {
    VARNO_ASSERT_MSG(m_raw_to_img_width >= m_cols, "raw_to_img_map width >= m_cols");
  }

  // 5. Core size of the layout: S4 codes, or plain bits with the register gap.
  init_frame_sizes(headers, s4);

  // 6. The frames of the range, each from its IMG row.
  m_row_plan_ready = false;
  if (first > last) return true;
  for (u32 i = first; i <= last; ++i) {
    const u32 img = i < m_member.bs_frame_count ? m_member.bs_frame_to_img_frame_map[i]
                                                : VARNO_INVALID_DWORD;
    if (img >= m_member.image_frame_count || m_member.img_frame_to_bs_frame_map[img] != i) {
      VARNO_INTERNAL_ERROR("Invalid frame range");
    }
    S4_SII_BIT_LIST* s2_list = s2_list_of(img, s4, skip_s2);
    std::unique_ptr<VARNO_FRAME> frame =
        create_frame(block, config, i, img, s2_list, s4, headers, nullptr);
    if (frame != nullptr) append_frame(block, std::move(frame));
    // The block's data slot may carry a second pointer; its meaning is not
    // settled, so it is not framed: each row is built once, from the user
    // data.
    if (i == last) break;
  }
  return true;
}

void VARNO_QV_CRAM_FRAME_MGR::init_frame_sizes(bool headers, bool s4) {
  const u32 d = dr_bytes();
  if (s4 && !m_s4_mask_used) {
    m_core_size += d;
  } else if (s4) {
    VARNO_ASSERT_MSG(m_member.s4_4bit_mask_count > 0 && m_member.s4_4bit_mask != nullptr,
                     "m_member.s4_4bit_mask_count > 0 && m_member.s4_4bit_mask != NULL");
    VARNO_ASSERT_MSG((u64{m_member.s4_4bit_mask_count} * 4) % 64 == 0,
                     "((m_member.s4_4bit_mask_count * 4) % 64) == 0");
    m_core_size = m_core_size + static_cast<u32>(u64{m_member.s4_4bit_mask_count} * 4 / 8) - d;
  } else if (!headers) {
    VARNO_ASSERT((m_core_size % 4) == 0);
    m_core_size += dr_gap();
  }
}

S4_SII_BIT_LIST* VARNO_QV_CRAM_FRAME_MGR::s2_list_of(u32 img, bool s4, bool skip_s2) const {
  if (skip_s2 || !s4) return nullptr;
  VARNO_ASSERT_MSG(m_member.dra_s4_info != nullptr, "m_member.dra_s4_info != NULL");
  // The row holds a byte or a bit per IMG frame, as the set-up checked.
  const bool has_s4 = cram_dra_s4_info_is_bytes(m_member.algo)
                          ? m_member.dra_s4_info[img] != 0
                          : ((m_member.dra_s4_info[img / 8] >> (img % 8)) & 1u) != 0;
  if (!has_s4) return nullptr;
  const S4_SII_LIST* list = m_member.s4_sii_list;
  VARNO_ASSERT_MSG(list != nullptr && img < m_member.s4_sii_count && img < list->size(),
                   "img_index < m_member.s4_sii_count");
  S4_SII* record = (*list)[img];
  S4_SII_DRA_LIST* s2_bits_list = record != nullptr ? record->get_data_list() : nullptr;
  VARNO_ASSERT_MSG(s2_bits_list != nullptr, "s2_bits_list != NULL");
  S4_SII_BIT_LIST* s2_bit_list = s2_bits_list->empty() ? nullptr : s2_bits_list->front();
  VARNO_ASSERT_MSG(s2_bit_list != nullptr, "s2_bit_list != NULL");
  return s2_bit_list;
}

std::unique_ptr<VARNO_FRAME> VARNO_QV_CRAM_FRAME_MGR::create_frame(
    VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*, u32, u32 img_index, S4_SII_BIT_LIST* s2_list,
    bool s4, bool headers, const u8* image) {
  const u8* user = block->get_user_data(VARNO_BLOCK_DATA_CRAM);
  if (user == nullptr) return nullptr;
  const u8* source = image != nullptr ? image : user;

  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, m_core_size, true);
  u8* dst = segment->data();
  frame->add_frame_segment(segment.release());

  if (headers) {
    fill_core_frame_data(dst, source, img_index, s2_list, m_cnoc_size + m_cnt_size, s4, true);
    const u32 w0 = static_cast<u32>((u64{dra(0)} + 31) / 32);
    const u32 w1 = static_cast<u32>((u64{dra(1)} + 31) / 32);
    const u64 second = u64{m_header_bytes} + u64{4} * w0;
    // Both record pairs must lie inside the segment.
    VARNO_ASSERT_MSG(second + m_header_bytes <= m_core_size, "header records fit the frame");
    const u32 x = sector_x();
    const u32 y = sector_y();
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, m_header_bytes / 4 + w0, 0, x, y, dst);
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, DR0_WRITE_OP, w0, 0, DR0_OFFSET, 0, dst + m_cnoc_size);
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, m_header_bytes / 4 + w1, 0, x, y, dst + second);
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, DR1_WRITE_OP, w1, 0, DR1_OFFSET, 0,
                              dst + second + m_cnoc_size);
  } else {
    fill_core_frame_data(dst, source, img_index, s2_list, s4 ? 0 : dr_gap(), s4, false);
  }
  m_decode_recorded = true;
  return frame;
}

bool VARNO_QV_CRAM_FRAME_MGR::source_bit(const u8* src, u64 i) const {
  VARNO_ASSERT_MSG(i < static_cast<u64>(m_rows) * m_cols, "source bit inside the image");
  return ((src[i / 8] >> (i % 8)) & 1u) != 0;
}

u32 VARNO_QV_CRAM_FRAME_MGR::encode_pair(const u8* src, u64 base, u32 p, S4_SII_BIT_LIST* s2_list,
                                         CRAM_S4_DECODE_TYPE& kind) const {
  if (u64{p} + 1 >= m_cols) {
    VARNO_INTERNAL_ERROR(
        KORVIA::fmt_sprintf("S4 cell at IMG bit %d lies outside the row (%d bits)", p, m_cols));
  }
  const u32 v = static_cast<u32>(source_bit(src, base + p)) |
                static_cast<u32>(source_bit(src, base + p + 1)) << 1;
  kind = CRAM_S4_DECODE_PAIR;
  u32 code = v << 2;
  if ((v != 1 && v != 2) || s2_list == nullptr) return code;

  const u32 target = p + (v == 2 ? 1 : 0);
  for (S4_SII_BIT* entry : *s2_list) {
    VARNO_ASSERT_MSG(entry != nullptr, "s2_bit != NULL");
    u32 value = 0;
    S4_SI_LIST* cells = entry->get_data(value);
    if (value < target) continue;
    if (value == target && cells != nullptr && !cells->empty()) {
      for (const S4_SI* cell : *cells) {
        VARNO_ASSERT_MSG(cell != nullptr, "s4_si != NULL");
        u32 frame = 0;
        u32 bit = 0;
        bool flag = false;
        const u32 r = cell->get_data(frame, bit, flag);
        if (frame >= m_rows || bit >= m_cols) {
          VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
              "S4 cell control bit (%d, %d) lies outside the CRAM image", frame, bit));
        }
        if (source_bit(src, static_cast<u64>(frame) * m_cols + bit)) {
          code = ((r * 4) & 0xCu) | (1u << (flag ? 1 : 0)) | 1u;
          break;
        }
      }
    }
    break;
  }
  return code;
}

void VARNO_QV_CRAM_FRAME_MGR::fill_core_frame_data(u8* dst, const u8* src, u32 img_index,
                                                   S4_SII_BIT_LIST* s2_list, u32 offset, bool s4,
                                                   bool headers) {
  const u32 dr0_bits = dra(0);
  const u32 dr1_bits = dra(1);
  VARNO_ASSERT(dr0_bits != 0 && dr1_bits != 0);

  // Bits are placed from base_bit on; every position is checked against the
  // end of the segment, so no row can reach past it.
  const u64 base_bit = headers ? u64{offset} * 8 : 0;
  const u64 limit = u64{m_core_size} * 8;
  auto put = [&](u64 bit, bool value) {
    const u64 index = base_bit + bit;
    if (index >= limit) {
      VARNO_INTERNAL_ERROR(
          KORVIA::fmt_sprintf("Write to out-of-range index %d (max %d)", index, limit));
    }
    if (value) dst[index / 8] = static_cast<u8>(dst[index / 8] | (1u << (index % 8)));
  };

  const u64 base = static_cast<u64>(img_index) * m_cols;
  if (!s4 && limit > 0xFFFFFFFFu) {
    // A core of 512 MiB or more has bit addresses past 32 bits, which the run
    // copies do not take: bit by bit.
    for (u32 i = 0; i < m_cols; ++i) {
      const u32 m = m_raw_to_img_map[i];
      if (m >= m_cols) {
        VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
            "Bitstream bit %d maps to IMG bit %d outside the row (%d bits)", i, m, m_cols));
      }
      const u64 dest_bit = i < dr0_bits ? u64{i} : u64{8} * offset + i;
      put(dest_bit, source_bit(src, base + m));
    }
    return;
  }
  if (!s4) {
    // The placement is the same for every row: checked and planned once, then
    // moved run by run. Failures come out in the order a walk of the row's
    // bits would meet them.
    plan_plain_row(dr0_bits, offset, base_bit, limit);
    if (m_row_plan_error_first_map) VARNO_INTERNAL_ERROR(m_row_plan_error);
    source_bit(src, base + u64{m_cols} - 1);  // the whole row lies inside the image
    m_row_plan.apply(src, static_cast<u32>(base), dst, static_cast<u32>(base_bit));
    if (!m_row_plan_error.empty()) VARNO_INTERNAL_ERROR(m_row_plan_error);
    return;
  }

  const u32 codes = m_s4_mask_used ? m_member.s4_4bit_mask_count : m_cols / 2;
  if (!m_decode_recorded) m_s4_decode_mask = m_s4_mask_used;
  for (u32 k = 0; k < codes; ++k) {
    CRAM_S4_DECODE_TYPE kind = CRAM_S4_DECODE_PAIR;
    u32 code = 0;
    if (!m_s4_mask_used) {
      const u32 p = m_raw_to_img_map[2 * k];
      code = encode_pair(src, base, p, s2_list, kind);
    } else {
      const u32 e = m_member.s4_4bit_mask[k];
      if (e == 0xFFFFFFFFu) {
        kind = CRAM_S4_DECODE_ZERO;
      } else if ((e & 0x80000000u) != 0) {
        const u32 src_bit = e & 0x7FFFFFFFu;
        VARNO_ASSERT((src_bit & 0x1) != 0);
        code = encode_pair(src, base, src_bit - 1, s2_list, kind);
      } else {
        // Four bits read downward from e: they must all lie in this row.
        if (e < 3 || e >= m_cols) {
          VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
              "S4 mask entry %d lies outside the row (%d bits)", e, m_cols));
        }
        unsigned index = static_cast<unsigned>(base + e);
        const u32 a = get_bits(const_cast<u8*>(src), index, 2, false);
        index = static_cast<unsigned>(base + e - 2);
        const u32 b = get_bits(const_cast<u8*>(src), index, 2, false);
        code = a | b << 2;
        kind = CRAM_S4_DECODE_MASK;
      }
    }
    if (!m_decode_recorded) m_s4_decode.push_back(kind);
    const u64 at = base_bit + u64{4} * k;
    if (at + 4 <= limit && at % 8 <= 4) {
      // The code's four bits lie in one byte; dst is zero-filled, so setting
      // the ones is all.
      dst[at / 8] = static_cast<u8>(dst[at / 8] | ((code & 0xFu) << (at % 8)));
    } else {
      for (u32 j = 0; j < 4; ++j) put(u64{4} * k + j, ((code >> j) & 1u) != 0);
    }
  }
}

void VARNO_QV_CRAM_FRAME_MGR::plan_plain_row(u32 dr0_bits, u32 offset, u64 base_bit, u64 limit) {
  const ROW_PLAN_KEY key{m_raw_to_img_map, dr0_bits, offset, base_bit, limit};
  if (m_row_plan_ready && key == m_row_plan_key) return;
  m_row_plan.clear();
  m_row_plan_error.clear();
  m_row_plan_error_first_map = false;
  // Bitstream bit i comes from IMG bit map[i]; DR1 starts offset bytes
  // further on. The planned prefix stops at the first bad placement.
  for (u32 i = 0; i < m_cols; ++i) {
    const u32 m = m_raw_to_img_map[i];
    if (m >= m_cols) {
      m_row_plan_error = KORVIA::fmt_sprintf(
          "Bitstream bit %d maps to IMG bit %d outside the row (%d bits)", i, m, m_cols);
      m_row_plan_error_first_map = i == 0;
      break;
    }
    const u64 dest_bit = i < dr0_bits ? u64{i} : u64{8} * offset + i;
    const u64 index = base_bit + dest_bit;
    if (index >= limit) {
      m_row_plan_error =
          KORVIA::fmt_sprintf("Write to out-of-range index %d (max %d)", index, limit);
      break;
    }
    m_row_plan.add(static_cast<u32>(dest_bit), m);
  }
  m_row_plan_key = key;
  m_row_plan_ready = true;
}

// ---- Other operations ------------------------------------------------------------

void VARNO_QV_CRAM_FRAME_MGR::register_2d_engine(VARNO_DBLOCK* block) {
  register_engine_with_array(block);
}

u32 VARNO_QV_CRAM_FRAME_MGR::get_lfsr(VARNO_DBLOCK* block, u32 first, u32 last, u64, u32) {
  if (first > last) return 0;
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // Only frames that exist are read back.
  const u32 n = block->get_number_of_frames();
  const u32 end = n == 0 ? 0 : std::min(last, n - 1);
  for (u32 i = first; n > 0 && i <= end; ++i) {
    std::vector<u8> data(block->get_frame_size(i));
    if (!data.empty()) block->get_frame_data(i, data.data());
    if (i == end) break;
  }
  // The decode list describes the cells of the first S4 frame built: 2 × D
  // of them through the mask, m_cols / 2 without it (twice as many, as each
  // 2-bit cell takes 4 bits). Blocks built without S4 cells have no list.
  if (mgr_param(block)->s4_variant != 0 && !m_s4_decode.empty()) {
    const size_t decode_size = m_s4_decode_mask ? size_t{2} * dr_bytes() : size_t{m_cols} / 2;
    VARNO_ASSERT(decode_size == m_s4_decode.size());
  }
  return 0;
}

void VARNO_QV_CRAM_FRAME_MGR::swap_dr_bits(u8* row, u32 bit_count, const u32* list, u32 count,
                                           bool forward) {
  if (count == 0) return;
  VARNO_ASSERT_MSG(row != nullptr && list != nullptr, "row != NULL && list != NULL");
  auto swap = [row](u64 u, u64 v) {
    VARNO_UTIL::swap_bits(row + u / 8, static_cast<u16>(u % 8), row + v / 8,
                          static_cast<u16>(v % 8));
  };
  auto copy = [row](u64 u, u64 v) {
    VARNO_UTIL::bit_copy(row, static_cast<u32>(u), row, static_cast<u32>(v), 2, true);
  };
  for (u32 j = 0; j < count; ++j) {
    const u64 b = list[j] & 0xFFFFu;
    const u32 kind = list[j] >> 16;
    // Highest bit each kind touches, above b.
    static constexpr u32 s_reach[6] = {6, 33, 61, 0, 57, 7};
    if (kind == 3 || kind > 5) continue;
    if (b + s_reach[kind] >= bit_count) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "Bit-swap entry %d (bit %d, kind %d) lies outside the row (%d bits)", j, b, kind,
          bit_count));
    }
    switch (kind) {
      case 0:
        if (forward) {
          swap(b + 1, b + 2);
          swap(b + 2, b + 4);
          swap(b + 3, b + 6);
          swap(b + 5, b + 6);
        } else {
          swap(b + 5, b + 6);
          swap(b + 3, b + 6);
          swap(b + 2, b + 4);
          swap(b + 1, b + 2);
        }
        break;
      case 1:
        if (forward) {
          copy(b + 3, b + 32);
        } else {
          copy(b + 32, b + 3);
        }
        break;
      case 2:
        if (forward) {
          copy(b, b + 60);
        } else {
          copy(b + 60, b);
        }
        break;
      case 4:
        swap(b, b + 56);
        swap(b + 1, b + 57);
        break;
      case 5:
        if (forward) {
          swap(b, b + 4);
          swap(b + 1, b + 6);
          swap(b + 2, b + 4);
          swap(b + 3, b + 4);
          swap(b + 4, b + 5);
          swap(b + 5, b + 7);
        } else {
          swap(b + 5, b + 7);
          swap(b + 4, b + 5);
          swap(b + 3, b + 4);
          swap(b + 2, b + 4);
          swap(b + 1, b + 6);
          swap(b, b + 4);
        }
        break;
      default:
        break;
    }
  }
}

void VARNO_QV_CRAM_FRAME_MGR::dump_expected_data(std::string& path) {
  VARNO_DBLOCK* block = expected_data_block(path);
  const u32 dr_size = block->get_param_value("CRAM_BIT_COUNT", 0u);
  VARNO_ASSERT(dr_size > 0);
  generator_of(block);
  const u8* data = block->get_user_data(VARNO_BLOCK_DATA_CRAM);
  if (data == nullptr) return;
  verify_user_data(block, block->get_block_config());
  const bool forward = mgr_param(block)->dump_swap_dr_bits != 0;

  write_expected_data(path, [&](std::ofstream& stream) {
    // Rows are addressed by bit, so a row width that is not a multiple of 8
    // neither shifts the rows nor reads past the image.
    const u32 row_bytes = (m_cols + 7) / 8;
    std::vector<u8> row(row_bytes);
    std::vector<u8> out(row_bytes);
    for (u32 r = 0; r < m_rows; ++r) {
      std::fill(row.begin(), row.end(), 0);
      std::fill(out.begin(), out.end(), 0);
      VARNO_UTIL::bit_copy(data, r * m_cols, row.data(), 0, m_cols, true);
      swap_dr_bits(row.data(), row_bytes * 8, m_bit_swap.get(), m_bit_swap_count, forward);
      VARNO_UTIL::reverse_bit_copy(row.data(), 0, out.data(), 0, row_bytes * 8, true);
      VARNO_UTIL::dump_to_file(stream, VARNO_OUTPUT_FORMAT_BIT_TEXT, out.data(), row_bytes, "");
    }
  });
}
