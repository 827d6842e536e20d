#include "varno_cram_frame_mgr.h"

#include <iostream>
#include <string>
#include <utility>

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"

namespace {

// Every DRAS entry stays below 16384 rows, so that it fits its field of the
// DRA word.
constexpr u32 DRA_MAX_MASK = 0xFFFFC000;
// Second word of every frame header.
constexpr u32 FRAME_HEADER_MARK = 0xFFFFFFFC;
// Byte offsets in the frame header and the trailer.
constexpr u32 HEADER_INSTRUCTION_OFFSET = 0;
constexpr u32 HEADER_MARK_OFFSET = 4;
constexpr u32 HEADER_DRA_WORD_OFFSET = 8;
constexpr u32 HEADER_MIN_BYTES = 12;
constexpr u32 TRAILER_CRC_OFFSET = 2;
constexpr u32 TRAILER_MIN_BYTES = 4;
// The LUTRAM ED-CRC flag of a data line sits in this IMG frame of each row.
constexpr u32 LUTRAM_INFO_FRAME = 50;
constexpr u32 LUTRAM_LINE_BITS = 16;

}  // namespace

VARNO_CRAM_FRAME_MGR::VARNO_CRAM_FRAME_MGR() = default;

// ---- Access to the generator ----------------------------------------------------

VARNO_MGR_TALKBACK* VARNO_CRAM_FRAME_MGR::talkback(VARNO_DBLOCK* block) const {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  VARNO_GEN* gen = block->generator();
  VARNO_ASSERT_MSG(gen != nullptr, "gen != NULL");
  return gen->get_mgr_talkback();
}

u32 VARNO_CRAM_FRAME_MGR::header_bytes(VARNO_DBLOCK* block) const {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  const VARNO_FRAME_DESCRIPTOR* descriptor = block->get_frame_descriptor();
  VARNO_ASSERT_MSG(descriptor != nullptr, "frame_descriptor != NULL");
  // Compared in 64 bits: a wrapped product would size a short header.
  const u64 bytes = u64{descriptor->word(1)} * m_member.config_data_bytes;
  VARNO_ASSERT_MSG(bytes >= HEADER_MIN_BYTES && bytes <= 0xFFFFFFFFu,
                   "header_rows * config_data_bytes >= 12");
  return static_cast<u32>(bytes);
}

// ---- Set-up -------------------------------------------------------------------------

bool VARNO_CRAM_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // 1, 2. The device record, and the image description from it and the configuration.
  VOLD_DEVICE_INFO* device_pcf = cram_device_of(block);
  setup_cram_member(m_member, device_pcf, block, config);

  // 3. What this flow reads of the description, and what it cannot honour.
  const VARNO_CRAM_MEMBER& m = m_member;
  VARNO_ASSERT_MSG(m.algo == VARNO_CRAM_PV_FLOW, "m_member.algo == VARNO_CRAM_PV_FLOW");
  VARNO_ASSERT_MSG(m.img_to_raw_map != NULL, "m_member.img_to_raw_map != NULL");
  VARNO_ASSERT_MSG(m.s4_img_to_raw_map == NULL && m.image_s4_frame_bits == VARNO_INVALID_DWORD,
                   "m_member.s4_img_to_raw_map == NULL && m_member.image_s4_frame_bits == "
                   "VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.dras_count > 0 && m.dras_count <= 8,
                   "m_member.dras_count > 0 && m_member.dras_count <= 8");
  VARNO_ASSERT_MSG(m.dras != NULL, "m_member.dras != NULL");
  VARNO_ASSERT_MSG(m.dras_order != NULL, "m_member.dras_order != NULL");
  VARNO_ASSERT_MSG(m.dra_bits != VARNO_INVALID_DWORD, "m_member.dra_bits != VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.dra_bit_info != NULL, "m_member.dra_bit_info != NULL");
  VARNO_ASSERT_MSG(m.dra_s4_info != NULL, "m_member.dra_s4_info != NULL");
  VARNO_ASSERT_MSG(m.lutram_datalines_count > 0, "m_member.lutram_datalines_count > 0");
  VARNO_ASSERT_MSG(m.lutram_datalines != NULL, "m_member.lutram_datalines != NULL");
  VARNO_ASSERT_MSG(m.addrlines_per_row > 0, "m_member.addrlines_per_row > 0");
  VARNO_ASSERT_MSG(m.lutram_remap_addrlines != NULL, "m_member.lutram_remap_addrlines != NULL");
  VARNO_ASSERT_MSG(m.img_to_edcrc_map != NULL, "m_member.img_to_edcrc_map != NULL");
  VARNO_ASSERT_MSG(m.edcrc_to_img_map != NULL, "m_member.edcrc_to_img_map != NULL");
  VARNO_ASSERT_MSG(m.phantomless_map.size() == 0, "m_member.phantomless_map.size() == 0");
  VARNO_ASSERT_MSG(m.img_in_frame_seq == false, "m_member.img_in_frame_seq == false");
  VARNO_ASSERT_MSG(m.img_filled_with_lowest_frame == false,
                   "m_member.img_filled_with_lowest_frame == false");
  VARNO_ASSERT_MSG(m.img_filled_with_lowest_bit == false,
                   "m_member.img_filled_with_lowest_bit == false");
  VARNO_ASSERT_MSG(m.img_include_edcrc_bits == VARNO_INVALID_DWORD,
                   "m_member.img_include_edcrc_bits == VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.parallel_frame_size == VARNO_INVALID_DWORD,
                   "m_member.parallel_frame_size == VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.lutram_odd_bit_flip == false, "m_member.lutram_odd_bit_flip == false");
  VARNO_ASSERT_MSG(m.lutram_info == NULL, "m_member.lutram_info == NULL");
  VARNO_ASSERT_MSG(m.lutram_block_count == VARNO_INVALID_DWORD,
                   "m_member.lutram_block_count == VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.lutram_block_bits == VARNO_INVALID_DWORD,
                   "m_member.lutram_block_bits == VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.lutram_block_bits_offset == VARNO_INVALID_DWORD,
                   "m_member.lutram_block_bits_offset == VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.lutram_row_size == VARNO_INVALID_DWORD,
                   "m_member.lutram_row_size == VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.rscnt26_bit_col_offset == VARNO_INVALID_DWORD,
                   "m_member.rscnt26_bit_col_offset == VARNO_INVALID_DWORD");
  VARNO_ASSERT_MSG(m.rscnt26_bit_row_offset == VARNO_INVALID_DWORD,
                   "m_member.rscnt26_bit_row_offset == VARNO_INVALID_DWORD");

  // 4. DRA words: the plain one, and the S4 one to which a frame adds its DRA mask.
  m_dra_word_s4 = m.dras[m.dras_count - 1] << 4 | m.dras[0] << 18;
  m_dra_word = m.dras[0] << 18 | m.dras[0] << 4;

  // 5. Instruction words of the block's frame instructions.
  setup_instruction(m_member, block);

  // 6. Talkback: partial-reconfiguration counts and the frame size in words.
  VARNO_MGR_TALKBACK* tb = talkback(block);
  tb->pr_write_count = calculate_pr_write_count();
  tb->pr_read_count = calculate_pr_read_count();
  VARNO_ASSERT_MSG((m.bs_frame_bits % 32) == 0, "(m_member.bs_frame_bits % 32) == 0");
  tb->frame_words = m.bs_frame_bits / 32;
  tb->pr_last_frame_fail = check_pr_fail_to_write_last_frame() ? 1 : 0;
  return true;
}

// ---- Verification of the user image -----------------------------------------------

bool VARNO_CRAM_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // 1. The user image and the configuration data width.
  verify_cram_user_data(m_member, block, config);
  const VARNO_CRAM_MEMBER& m = m_member;
  // The DRA description comes from the set-up; without it nothing below can
  // be read.
  VARNO_ASSERT_MSG(m.dras_count > 0 && m.dras_count <= 8,
                   "m_member.dras_count > 0 && m_member.dras_count <= 8");
  VARNO_ASSERT_MSG(m.dras != NULL, "m_member.dras != NULL");
  VARNO_ASSERT_MSG(m.dras_order != NULL, "m_member.dras_order != NULL");

  // 2. Every DRA fits its field of the DRA word; dras_order is a permutation of them.
  bool dra_checked[8] = {};
  for (u32 dra = 0; dra < m.dras_count; ++dra) {
    VARNO_ASSERT_MSG((m.dras[dra] & DRA_MAX_MASK) == 0, "(m_member.dras[dra] & dra_max_mask) == 0");
    VARNO_ASSERT_MSG(m.dras_order[dra] < m.dras_count && dra_checked[m.dras_order[dra]] == false,
                     "m_member.dras_order[dra] < m_member.dras_count && "
                     "dra_checked[m_member.dras_order[dra]] == false");
    dra_checked[m.dras_order[dra]] = true;
  }

  // 3. Geometry: DRA and frame bits, and room for the header and the trailer.
  VARNO_ASSERT_MSG(m.dra_bits == (m.dras[0] * m.config_data_width),
                   "m_member.dra_bits == (m_member.dras[0] * m_member.config_data_width)");
  VARNO_ASSERT_MSG(u64{m.bs_frame_bits} == u64{m.dra_bits} * m.dras_count &&
                       (m.bs_frame_bits % m.config_data_width) == 0,
                   "m_member.bs_frame_bits == m_member.dra_bits * m_member.dras_count && "
                   "(m_member.bs_frame_bits % m_member.config_data_width) == 0");
  // A DRA of no rows would leave no room for the ED-CRC word and make the
  // column count wrap.
  VARNO_ASSERT_MSG(m.dras[0] > 0, "m_member.dras[0] > 0");
  // The header holds three words and the trailer the filler and its CRC-16.
  header_bytes(block);
  VARNO_ASSERT_MSG(m.config_data_bytes >= TRAILER_MIN_BYTES, "m_member.config_data_bytes >= 4");

  // 4. The image cut afresh into one buffer per IMG frame.
  delete_memory();
  split_user_image();

  const VARNO_MGR_PARAM* param = mgr_param(block);
  // 5. LUTRAM address lines remapped, when asked for.
  if (param->cram_lutram_remap != 0) remap_lutram();
  // 6. LUTRAM ED-CRC flags, when asked for.
  if (param->cram_lutram_edcrc_info != 0) build_lutram_info();

  // 7. Forced S4 DRAs and their limit; a mask naming a DRA past the last forces none.
  m_dra_fake_s4_segment = 0;
  if (param->cram_fake_s4_dra_mask != 0 && param->s4_variant != 0 &&
      (param->cram_fake_s4_dra_mask >> m.dras_count) == 0) {
    m_dra_fake_s4_segment = static_cast<u8>(param->cram_fake_s4_dra_mask & 0xFF);
  }
  m_s4_dra_limit = 0;
  if (m_dra_fake_s4_segment != 0 && param->cram_s4_dra_limit <= m.dras_count) {
    m_s4_dra_limit = param->cram_s4_dra_limit;
  }

  // 8. Fault-injection locations, converted to IMG bits and grouped by frame.
  m_fi_lists.clear();
  if (!param->cram_fi_locations.empty()) {
    VOLD_DEVICE_INFO* device = cram_device_of(block);
    const std::vector<u32>& list = param->cram_fi_locations;
    std::vector<u32> converted;
    switch (param->cram_fi_mode) {
      case 1:
        converted = convert_bs_to_img_format(device, m.bs_frame_to_img_frame_map, m.raw_to_img_map,
                                             m.bs_frame_count, m.bs_frame_bits, list);
        break;
      case 2:
        converted = list;
        break;
      default:
        converted =
            convert_edcrc_to_img_format(device, m.bs_frame_to_img_frame_map, m.edcrc_to_img_map,
                                        m.bs_frame_count, m.bs_frame_bits, list);
        break;
    }
    m_fi_lists = process_fi_locations(device, m.image_frame_count, m.image_frame_bits, converted);
  }

  // 9. The talkback's fault-injection lists start empty; the frames fill them.
  VARNO_MGR_TALKBACK* tb = talkback(block);
  for (auto& list : tb->fault_injection_lists) list.clear();

  // 10. Random filler from the manager parameters, when one is given.
  if (param->cram_random_filler != 0) {
    set_random_filler(static_cast<u16>(param->cram_random_filler & 0xFFFF));
  }

  // 11. Column ED-CRC accumulators, zeroed: dras[0] - 1 of them.
  m_column_edcrc.assign(m.dras[0] - 1, 0);

  // 12. Error-correction option-bit values for the talkback.
  add_error_correction_obs(tb, param);
  return true;
}

void VARNO_CRAM_FRAME_MGR::split_user_image() {
  const VARNO_CRAM_MEMBER& m = m_member;
  VARNO_ASSERT_MSG(m.image_data != NULL, "m.image_data != NULL");
  const u32 bytes = (m.image_frame_bits + 7) / 8;
  m_memory_remap_user_cram_data.assign(m.image_frame_count, std::vector<u8>(bytes, 0));
  m_memory_remap_user_cram_data_count = m.image_frame_count;
  // The image holds image_frame_count x image_frame_bits bits (verified),
  // so every offset below fits in 32 bits.
  for (u32 i = 0; i < m.image_frame_count; ++i) {
    VARNO_UTIL::bit_copy(m.image_data, i * m.image_frame_bits,
                         m_memory_remap_user_cram_data[i].data(), 0, m.image_frame_bits, true);
  }
}

void VARNO_CRAM_FRAME_MGR::remap_lutram() {
  const VARNO_CRAM_MEMBER& m = m_member;
  const u32 a = m.addrlines_per_row;
  VARNO_ASSERT_MSG((m.image_frame_count % m.addrlines_per_row) == 0,
                   "(m_member.image_frame_count % m_member.addrlines_per_row) == 0");
  // Device data: a remapped address line stays in its row, a data line in
  // its frame.
  for (u32 k = 0; k < a; ++k) {
    VARNO_ASSERT_MSG(m.lutram_remap_addrlines[k] < a,
                     "m_member.lutram_remap_addrlines[k] < m_member.addrlines_per_row");
  }
  const u32 lines = m.lutram_datalines_count;
  for (u32 d = 0; d < lines; ++d) {
    VARNO_ASSERT_MSG(u64{m.lutram_datalines[d]} + LUTRAM_LINE_BITS <= m.image_frame_bits,
                     "m_member.lutram_datalines[d] + 16 <= m_member.image_frame_bits");
  }

  auto& frames = m_memory_remap_user_cram_data;
  // All reads of a row come before its writes, so that address lines may
  // be exchanged.
  std::vector<std::vector<u8>> read(a, std::vector<u8>(u64{lines} * LUTRAM_LINE_BITS));
  for (u32 r = 0; r < m.image_frame_count / a; ++r) {
    for (u32 k = 0; k < a; ++k) {
      const std::vector<u8>& src = frames[r * a + m.lutram_remap_addrlines[k]];
      for (u32 d = 0; d < lines; ++d) {
        for (u32 j = 0; j < LUTRAM_LINE_BITS; ++j) {
          const u32 bit = m.lutram_datalines[d] + j;
          read[k][d * LUTRAM_LINE_BITS + j] = (src[bit / 8] >> (bit % 8)) & 1u;
        }
      }
    }
    for (u32 k = 0; k < a; ++k) {
      std::vector<u8>& dst = frames[r * a + k];
      for (u32 d = 0; d < lines; ++d) {
        for (u32 j = 0; j < LUTRAM_LINE_BITS; ++j) {
          const u32 bit = m.lutram_datalines[d] + j;
          const u8 mask = static_cast<u8>(1u << (bit % 8));
          if (read[k][d * LUTRAM_LINE_BITS + j] != 0) {
            dst[bit / 8] = static_cast<u8>(dst[bit / 8] | mask);
          } else {
            dst[bit / 8] = static_cast<u8>(dst[bit / 8] & ~mask);
          }
        }
      }
    }
  }
}

void VARNO_CRAM_FRAME_MGR::build_lutram_info() {
  const VARNO_CRAM_MEMBER& m = m_member;
  const u32 a = m.addrlines_per_row;
  VARNO_ASSERT_MSG(m_pv_lutram_info.empty() && (m.image_frame_count % m.addrlines_per_row) == 0,
                   "m_pv_lutram_info == NULL && (m_member.image_frame_count % "
                   "m_member.addrlines_per_row) == 0");
  // The flags sit in IMG frame 50 of each row, which a shorter row lacks.
  VARNO_ASSERT_MSG(a > LUTRAM_INFO_FRAME, "m_member.addrlines_per_row > 50");
  const u32 lines = m.lutram_datalines_count;
  for (u32 d = 0; d < lines; ++d) {
    VARNO_ASSERT_MSG(u64{m.lutram_datalines[d]} + LUTRAM_LINE_BITS < m.image_frame_bits,
                     "m_member.lutram_datalines[d] + 16 < m_member.image_frame_bits");
  }
  const u32 rows = m.image_frame_count / a;
  m_pv_lutram_info.assign(rows, std::vector<u8>(lines, 0));
  m_memory_pv_lutram_info_count = rows;
  for (u32 r = 0; r < rows; ++r) {
    const std::vector<u8>& frame = m_memory_remap_user_cram_data[r * a + LUTRAM_INFO_FRAME];
    for (u32 d = 0; d < lines; ++d) {
      const u32 bit = m.lutram_datalines[d] + LUTRAM_LINE_BITS;
      m_pv_lutram_info[r][d] = (frame[bit / 8] >> (bit % 8)) & 1u;
    }
  }
}

void VARNO_CRAM_FRAME_MGR::delete_memory() {
  if (!m_memory_remap_user_cram_data.empty()) {
    VARNO_ASSERT_MSG(m_memory_remap_user_cram_data_count > 0,
                     "m_memory_remap_user_cram_data_count > 0");
  }
  m_memory_remap_user_cram_data.clear();
  m_memory_remap_user_cram_data_count = 0;
  if (!m_pv_lutram_info.empty()) {
    VARNO_ASSERT_MSG(m_memory_pv_lutram_info_count > 0, "m_memory_pv_lutram_info_count > 0");
  }
  m_pv_lutram_info.clear();
  m_memory_pv_lutram_info_count = 0;
  m_column_edcrc.clear();
}

// ---- Frame range ----------------------------------------------------------------------

S4_SII_DRA_LIST* VARNO_CRAM_FRAME_MGR::s2_bits_list_of(u32 img) const {
  // A missing list, a frame past its end and a frame without record all
  // leave the frame without its S2 cells.
  const S4_SII_LIST* list = m_member.s4_sii_list;
  S4_SII* record = (list != nullptr && img < list->size()) ? (*list)[img] : nullptr;
  S4_SII_DRA_LIST* s2_bits_list = record != nullptr ? record->get_data_list() : nullptr;
  VARNO_ASSERT_MSG(s2_bits_list != NULL, "s2_bits_list != NULL");
  return s2_bits_list;
}

bool VARNO_CRAM_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                 u32 start, u32 end) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // Frames are built from the arrays of the last verification; without one
  // the geometry is not known yet.
  VARNO_ASSERT_MSG(!m_memory_remap_user_cram_data.empty() && (m_member.dra_bits % 32) == 0,
                   "user_data != NULL && (m_member.dra_bits % 32) == 0");
  const VARNO_CRAM_MEMBER& m = m_member;
  const VARNO_MGR_PARAM* param = mgr_param(block);

  // 1. Whether instruction frames go before the first frame and after the last.
  const bool pre = param->assert_arin_enable != 0 && param->cram_assert_arin_enable != 0;
  const bool post = param->last_frame_enable != 0 && param->cram_last_frame_enable != 0;
  // 2. The range must lie within the bitstream frames.
  VARNO_ASSERT_MSG(start <= end && end < m.bs_frame_count,
                   "start_frame <= end_frame && end_frame < m_member.bs_frame_count");
  // 3. A single frame has no direction; either gives the same groups.
  const bool ascending =
      m.bs_frame_count < 2 || m.bs_frame_to_img_frame_map[0] < m.bs_frame_to_img_frame_map[1];
  unsigned cursor = 0;

  // 4. Each frame with its fault bits and S2 cells, instruction frames at the ends.
  for (u32 index = start;; ++index) {
    const u32 img_index = m.bs_frame_to_img_frame_map[index];
    VARNO_ASSERT_MSG(
        img_index < m.image_frame_count && m.img_frame_to_bs_frame_map[img_index] == index,
        "img_index < m_member.image_frame_count && "
        "m_member.img_frame_to_bs_frame_map[img_index] == index");
    const std::vector<u32> fault_bits = search_fi_bits(m_fi_lists, img_index, cursor, ascending);
    S4_SII_DRA_LIST* s2_bits_list = nullptr;
    if (m.dra_s4_info[img_index] != 0 && param->s4_variant != 0) {
      s2_bits_list = s2_bits_list_of(img_index);
    }

    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, index, img_index, s2_bits_list,
                                                      fault_bits, index == start, index == end);
    VARNO_ASSERT_MSG(frame != nullptr, "frame != NULL");

    if (index == start && pre) {
      std::unique_ptr<VARNO_FRAME> cf_instr = create_assert_arin_frame();
      VARNO_ASSERT_MSG(cf_instr != nullptr, "cf_instr != NULL");
      frame->add_instruction(cf_instr.release(), true);
      if (index > 0) {
        std::unique_ptr<VARNO_FRAME> sdf_instr = create_skip_down_frame(index);
        VARNO_ASSERT_MSG(sdf_instr != nullptr, "sdf_instr != NULL");
        frame->add_instruction(sdf_instr.release(), true);
      }
    }
    if (index == end && post) {
      std::unique_ptr<VARNO_FRAME> lf_instr = create_last_frame();
      VARNO_ASSERT_MSG(lf_instr != nullptr, "lf_instr != NULL");
      frame->add_instruction(lf_instr.release(), false);
      if (param->skip_block[VOLD_BLOCK_ERAM] != 0 && param->cram_clear_ar_enable != 0) {
        std::unique_ptr<VARNO_FRAME> car_instr = create_clear_ar_frame();
        VARNO_ASSERT_MSG(car_instr != nullptr, "car_instr != NULL");
        frame->add_instruction(car_instr.release(), false);
      }
      std::unique_ptr<VARNO_FRAME> cd_instr = create_done_frame();
      VARNO_ASSERT_MSG(cd_instr != nullptr, "cd_instr != NULL");
      frame->add_instruction(cd_instr.release(), false);
    }

    // Appending at the end always succeeds; the block owns the frame then.
    const bool frame_inserted = block->insert_frame_at_end(frame.get(), 0);
    VARNO_ASSERT(frame_inserted);
    frame.release();
    if (index == end) break;
  }

  // 5. Column ED-CRCs printed, when asked for.
  if (param->print_edcrc_columns != 0 && m.dras[0] != 1) {
    for (u32 c = 0; c + 1 < m.dras[0] && c < m_column_edcrc.size(); ++c) {
      std::cout << "Column edcrc for col " << c << " is "
                << VARNO_UTIL::convert_dword_to_hex_string(m_column_edcrc[c]) << ".\n";
    }
    std::cout.flush();
  }
  return true;
}

// ---- One frame --------------------------------------------------------------------------

u32 VARNO_CRAM_FRAME_MGR::dra_mask_of(u32 img_index) const {
  const VARNO_CRAM_MEMBER& m = m_member;
  VARNO_ASSERT_MSG(m.dra_s4_info != NULL && img_index < m.image_frame_count,
                   "img_index < m_member.image_frame_count");
  // 1. The frame's own S4 DRAs.
  u32 mask = 0;
  u32 count = 0;
  for (u32 d = 0; d < m.dras_count; ++d) {
    if (((m.dra_s4_info[img_index] >> d) & 1u) != 0) {
      mask |= 1u << d;
      ++count;
    }
  }
  // 2. Forced DRAs added in DRA order, up to the limit (0: no limit).
  const u32 limit = m_s4_dra_limit;
  if (m_dra_fake_s4_segment != 0 && (count < limit || limit == 0)) {
    for (u32 d = 0; d < m.dras_count && (count < limit || limit == 0); ++d) {
      if (((m_dra_fake_s4_segment >> d) & 1u) != 0 && ((mask >> d) & 1u) == 0) {
        mask |= 1u << d;
        ++count;
      }
    }
  }
  return mask;
}

std::unique_ptr<VARNO_FRAME> VARNO_CRAM_FRAME_MGR::create_frame(
    VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*, u32 index, u32 img_index,
    S4_SII_DRA_LIST* s2_bits_list, const std::vector<u32>& fault_bits, bool first, bool last) {
  const VARNO_CRAM_MEMBER& m = m_member;
  // 1. Bitstream frame 0 must open a build and the last frame close one.
  auto frame = std::make_unique<VARNO_FRAME>();
  VARNO_ASSERT_MSG(index != 0 || first, "first");
  VARNO_ASSERT_MSG(index != m.bs_frame_count - 1 || last, "last");

  // 2. Header: instruction word, mark and DRA word (with the DRA mask, if any).
  const u32 header_size = header_bytes(block);
  auto header =
      std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_HEADER, header_size, true);
  const bool s4 = s2_bits_list != nullptr;
  u32 dra_mask = 0;
  u32 dra_word = m_dra_word;
  if (s4 || m_dra_fake_s4_segment != 0) {
    dra_mask = dra_mask_of(img_index);
    dra_word = m_dra_word_s4 | dra_mask;
  }
  VARNO_UTIL::write_dword_safely(get_instruction(m, first, last, s4),
                                 header->data() + HEADER_INSTRUCTION_OFFSET);
  VARNO_UTIL::write_dword_safely(FRAME_HEADER_MARK, header->data() + HEADER_MARK_OFFSET);
  VARNO_UTIL::write_dword_safely(dra_word, header->data() + HEADER_DRA_WORD_OFFSET);
  const u8* header_data = header->data();
  frame->add_frame_segment(header.release());

  // 3. Core: the frame's bits in bitstream order, closed by their ED-CRC.
  u32 frame_bits = 0;
  std::unique_ptr<u8[]> core_data =
      create_frame_core_data(m_memory_remap_user_cram_data, index, img_index, s2_bits_list,
                             frame_bits, dra_mask, fault_bits);
  VARNO_ASSERT_MSG(core_data != nullptr && frame_bits > 0 && (frame_bits % 8) == 0,
                   "core_data != NULL && frame_bits > 0 && (frame_bits % 8) == 0");
  const u8* core_bytes = core_data.get();
  auto core = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, frame_bits / 8,
                                                    core_data.get());
  core_data.release();  // the segment owns the buffer now
  frame->add_frame_segment(core.release());

  // 4. Trailer: random filler and the CRC-16 of header, core and filler copy.
  auto trailer =
      std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_TRAILER, m.config_data_bytes, true);
  VARNO_UTIL::write_word_safely(m_random_filler, trailer->data());
  u16 crc = VARNO_UTIL::calculate_crc16(header_data, 0, header_size * 8, 0xFFFF);
  crc = VARNO_UTIL::calculate_crc16(core_bytes, 0, frame_bits, crc);
  const u8 filler[2] = {static_cast<u8>(m_random_filler_copy & 0xFF),
                        static_cast<u8>(m_random_filler_copy >> 8)};
  crc = VARNO_UTIL::calculate_crc16(filler, 0, 16, crc);
  VARNO_UTIL::write_word_safely(crc, trailer->data() + TRAILER_CRC_OFFSET);
  frame->add_frame_segment(trailer.release());

  return frame;
}

// ---- Instruction frames ----------------------------------------------------------------

const VOLD_INSTRUCTION* VARNO_CRAM_FRAME_MGR::instruction_record(VOLD_INSTRUCTION_TYPE kind,
                                                                 const char* type_check) const {
  VARNO_ASSERT_MSG(m_parent != nullptr, "m_parent != NULL");
  const VOLD_INSTRUCTION* instruction = m_parent->get_instruction(kind);
  VARNO_ASSERT_MSG(instruction != NULL, "instruction != NULL");
  VARNO_ASSERT_MSG(instruction->get_instruction_type() == static_cast<u32>(kind), type_check);
  return instruction;
}

u32 VARNO_CRAM_FRAME_MGR::record_padding(const VOLD_INSTRUCTION* record) {
  // Only SKIP_DOWN and WRITE_LAST_FRAME know a count to put in place of a
  // negative one; elsewhere it would pass as some four billion words.
  VARNO_ASSERT_MSG(record->padding_words >= 0, "instruction->padding_words >= 0");
  return static_cast<u32>(record->padding_words);
}

std::unique_ptr<VARNO_FRAME> VARNO_CRAM_FRAME_MGR::instruction_frame(const VOLD_INSTRUCTION* record,
                                                                     u32 padding) const {
  return std::unique_ptr<VARNO_FRAME>(VARNO_UTIL::create_custom_instruction(
      record->get_instruction_word(), m_member.config_data_bytes, record->with_length,
      record->core_words, record->core_zero, padding, record->padding_zero, m_random_filler));
}

std::unique_ptr<VARNO_FRAME> VARNO_CRAM_FRAME_MGR::create_assert_arin_frame() {
  const VOLD_INSTRUCTION* r = instruction_record(
      VOLD_INSTRUCTION_ASSERT_ARIN, "VOLD_INSTRUCTION_TYPE(type) == VOLD_INSTRUCTION_ASSERT_ARIN");
  return instruction_frame(r, record_padding(r));
}

std::unique_ptr<VARNO_FRAME> VARNO_CRAM_FRAME_MGR::create_clear_ar_frame() {
  const VOLD_INSTRUCTION* r = instruction_record(
      VOLD_INSTRUCTION_CLEAR_AR, "VOLD_INSTRUCTION_TYPE(type) == VOLD_INSTRUCTION_CLEAR_AR");
  return instruction_frame(r, record_padding(r));
}

std::unique_ptr<VARNO_FRAME> VARNO_CRAM_FRAME_MGR::create_skip_down_frame(u32 index) {
  const VOLD_INSTRUCTION* r = instruction_record(
      VOLD_INSTRUCTION_SKIP_DOWN, "VOLD_INSTRUCTION_TYPE(type) == VOLD_INSTRUCTION_SKIP_DOWN");
  return instruction_frame(r, r->padding_words < 0 ? index : static_cast<u32>(r->padding_words));
}

std::unique_ptr<VARNO_FRAME> VARNO_CRAM_FRAME_MGR::create_last_frame() {
  const VOLD_INSTRUCTION* r =
      instruction_record(VOLD_INSTRUCTION_WRITE_LAST_FRAME,
                         "VOLD_INSTRUCTION_TYPE(type) == VOLD_INSTRUCTION_WRITE_LAST_FRAME");
  const u32 padding = r->padding_words < 0
                          ? calculate_write_last_size(m_parent->get_block_config(), 0)
                          : static_cast<u32>(r->padding_words);
  return instruction_frame(r, padding);
}

std::unique_ptr<VARNO_FRAME> VARNO_CRAM_FRAME_MGR::create_done_frame() {
  const VOLD_INSTRUCTION* r = instruction_record(
      VOLD_INSTRUCTION_CONFIG_DONE, "VOLD_INSTRUCTION_TYPE(type) == VOLD_INSTRUCTION_CONFIG_DONE");
  return instruction_frame(r, record_padding(r));
}

// ---- Option-bit arithmetic --------------------------------------------------------------

u32 VARNO_CRAM_FRAME_MGR::ob_value(VOLD_OB_DATA_TYPE type, bool* found) {
  // Looked up afresh each time: the host may replace option bits between
  // builds.
  VARNO_ASSERT_MSG(m_parent != NULL, "m_parent != NULL");
  VARNO_GEN* gen = m_parent->generator();
  VARNO_SBLOCK* ob_block =
      gen != nullptr ? dynamic_cast<VARNO_SBLOCK*>(gen->get_block("OPTION_BITS", false)) : nullptr;
  VARNO_ASSERT_MSG(ob_block != NULL, "ob_block != NULL");
  std::string ob_name;
  const bool supported = VOLD_MANAGER::check_type_enum_supported(
      VOLD_ENUM_TYPE_DYN_DATA, VOLD_DYN_DATA_OPTION_BITS, &ob_name);
  VARNO_ASSERT_MSG(supported,
                   "VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DYN_DATA, "
                   "VOLD_DYN_DATA_OPTION_BITS, &ob_name)");
  VOLD_DYN_DATA* dyn_data = ob_block->get_dyn_data_by_name(ob_name);
  VARNO_ASSERT_MSG(dyn_data != NULL, "dyn_data != NULL");
  const VOLD_OB_DATA_LIST* ob_list = dyn_data->get_ob_list();
  VARNO_ASSERT_MSG(ob_list != NULL, "ob_list != NULL");
  return VARNO_UTIL::get_ob_value_from_ob_list(ob_list, type, found);
}

u32 VARNO_CRAM_FRAME_MGR::calculate_pr_min() {
  // Option bits the list lacks count as 0 here.
  bool found = false;
  const u32 read13 = ob_value(VOLD_OB_DATA_USR_READ_13, &found);
  const u32 r2w10 = ob_value(VOLD_OB_DATA_USR_R2W_10, &found);
  const u32 w2r9 = ob_value(VOLD_OB_DATA_USR_W2R_9, &found);
  const u32 write16 = ob_value(VOLD_OB_DATA_USR_WRITE_16, &found);
  return read13 + 12 + r2w10 + w2r9 + 2 * write16;
}

u32 VARNO_CRAM_FRAME_MGR::get_n_edcrc_column() {
  return ob_value(VOLD_OB_DATA_N_EDCRC_COLUMNS, nullptr);
}

u32 VARNO_CRAM_FRAME_MGR::calculate_pr_write_count() {
  const u32 pr_min = calculate_pr_min();
  return pr_min + 4 * get_n_edcrc_column();
}

u32 VARNO_CRAM_FRAME_MGR::calculate_pr_read_count() {
  return ob_value(VOLD_OB_DATA_USR_READ_7, nullptr) + 3;
}

bool VARNO_CRAM_FRAME_MGR::check_pr_fail_to_write_last_frame() {
  const u32 columns = 4 * get_n_edcrc_column();
  // Wraps on purpose: a pr_min below 6 always fails.
  return columns <= calculate_pr_min() - 6;
}

u32 VARNO_CRAM_FRAME_MGR::calculate_write_last_size(VARNO_BLOCK_CONFIG*, u32) {
  VARNO_ASSERT_MSG(m_member.dras != NULL, "m_member.dras != NULL");
  const u32 nwb = ob_value(VOLD_OB_DATA_CFG_WRITE_NWB_CNT, nullptr);
  const u32 rows = 4 * m_member.dras[0] + 2;
  const u32 adden_high = ob_value(VOLD_OB_DATA_CFG_WRITE_ADDEN_HIGH, nullptr);
  const u32 wb = ob_value(VOLD_OB_DATA_CFG_WRITE_WB_CNT, nullptr);
  const u32 adden_low = ob_value(VOLD_OB_DATA_CFG_WRITE_ADDEN_LOW, nullptr);
  return nwb + rows + adden_high + wb + adden_low;
}
