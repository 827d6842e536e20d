// The bits of a PASKEVOLT CRAM frame: routing of the user bits, fault
// injection, the frame and column ED-CRCs, the S4 encoding of data
// registers, and the error-correction option-bit values.
#include <cstring>
#include <utility>

#include "varno_assert.h"
#include "varno_cram_frame_mgr.h"
#include "varno_dblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_util.h"

const bool VARNO_CRAM_FRAME_MGR::PV_CRC_POLYNOMIAL_BITS[32] = {
    true,  false, false, false, true,  false, false, false,  // x^0, x^4
    false, false, false, false, false, false, false, true,   // x^15
    false, false, false, false, false, false, false, false,  //
    false, false, false, false, false, false, false, false};

namespace {

bool get_bit(const u8* buf, u32 bit) { return ((buf[bit / 8] >> (bit % 8)) & 1u) != 0; }

void set_bit(u8* buf, u32 bit, bool value) {
  const u8 mask = static_cast<u8>(1u << (bit % 8));
  buf[bit / 8] = static_cast<u8>(value ? (buf[bit / 8] | mask) : (buf[bit / 8] & ~mask));
}

// A forward-only walk over the S2 cells of one data register.
class S2_CURSOR {
 public:
  // A null list (a fake S4 register) is never consulted.
  explicit S2_CURSOR(S4_SII_BIT_LIST* list) : m_list(list) {
    if (m_list != nullptr) load();
  }

  // Moves toward the first entry whose IMG bit index is not below target;
  // stays on the last entry.
  void seek(u32 target) {
    while (m_index < target && m_pos + 1 < m_list->size()) {
      ++m_pos;
      load();
    }
  }
  u32 index() const { return m_index; }
  const S4_SI_LIST& cells() const { return *m_cells; }

 private:
  void load() {
    VARNO_ASSERT_MSG(m_list != nullptr && m_pos < m_list->size(),
                     "s2_bits_list->at(effective_dra)->size() > 0");
    S4_SII_BIT* entry = (*m_list)[m_pos];
    VARNO_ASSERT_MSG(entry != nullptr, "s2_bit != NULL");
    m_cells = entry->get_data(m_index);
    VARNO_ASSERT_MSG(m_cells != nullptr, "s4_si_list != NULL");
  }

  S4_SII_BIT_LIST* m_list;
  size_t m_pos = 0;
  u32 m_index = 0;
  S4_SI_LIST* m_cells = nullptr;
};

}  // namespace

bool VARNO_CRAM_FRAME_MGR::loaded_image_bit(u32 frame, u32 bit) const {
  const VARNO_CRAM_MEMBER& m = m_member;
  // Cells come from the S4 library; one naming a bit outside the image
  // would read past the user's buffer.
  VARNO_ASSERT_MSG(m.image_data != NULL && frame < m.image_frame_count && bit < m.image_frame_bits,
                   "s4_si frame < m_member.image_frame_count && bit < m_member.image_frame_bits");
  const u64 k = static_cast<u64>(frame) * m.image_frame_bits + bit;
  return ((m.image_data[k / 8] >> (k % 8)) & 1u) != 0;
}

// ---- Core data of one frame ---------------------------------------------------------

std::unique_ptr<u8[]> VARNO_CRAM_FRAME_MGR::create_frame_core_data(
    const std::vector<std::vector<u8>>& user_data, u32 index, u32 img_index,
    S4_SII_DRA_LIST* s2_bits_list, u32& frame_bits, u32 dra_mask,
    const std::vector<u32>& fault_bits) {
  const VARNO_CRAM_MEMBER& m = m_member;
  // 1. The frame's user bits, a zeroed core, and a column image when printed.
  VARNO_ASSERT_MSG(!user_data.empty() && (m.dra_bits % 32) == 0,
                   "user_data != NULL && (m_member.dra_bits % 32) == 0");
  VARNO_ASSERT_MSG(
      img_index < user_data.size() && u64{user_data[img_index].size()} * 8 >= m.image_frame_bits,
      "img_index < m_memory_remap_user_cram_data_count");
  // The frame's LUTRAM row and S4 record are indexed by img_index too, also
  // when the caller hands in a longer image.
  VARNO_ASSERT_MSG(img_index < m.image_frame_count, "img_index < m_member.image_frame_count");
  // The frame needs room for its ED-CRC word; verification guarantees it.
  VARNO_ASSERT_MSG(m.bs_frame_bits >= 32 && (m.bs_frame_bits % 32) == 0,
                   "(m_member.bs_frame_bits % 32) == 0");
  const VARNO_MGR_PARAM* param = mgr_param(m_parent);
  frame_bits = m.bs_frame_bits;
  const u32 bytes = frame_bits / 8;
  std::unique_ptr<u8[]> core = std::make_unique<u8[]>(bytes);
  std::unique_ptr<u8[]> column;
  if (param->print_edcrc_columns != 0) column = std::make_unique<u8[]>(bytes);
  std::unique_ptr<u8[]> error;
  bool modified = false;
  const u8* user = user_data[img_index].data();

  // 2. Each set user bit to its bitstream position, unless user data is skipped.
  if (param->cram_skip_user_data == 0) {
    for (u32 b = 0; b < m.image_frame_bits; ++b) {
      if (!get_bit(user, b)) continue;
      const u32 r = m.img_to_raw_map[b];
      if (r == IMG_TO_RAW_SKIP_CONV_EDCRC || r == IMG_TO_RAW_SKIP_CONV_PB3) continue;
      // A bit without bitstream position has no place in the frame.
      if (r == IMG_TO_RAW_INVALID) continue;
      VARNO_ASSERT_MSG(r < frame_bits, "raw_index < m_member.bs_frame_bits");
      set_bit(core.get(), r, true);
      if (column != nullptr) {
        // The column image is a debug aid: a bit without ED-CRC position is
        // left out of it.
        const u32 e = m.img_to_edcrc_map[b];
        if (e < frame_bits) set_bit(column.get(), e, true);
      }
    }
  }

  // 3. Set bits of flagged LUTRAM lines enter the frame's ED-CRC.
  const bool lutram = !m_pv_lutram_info.empty();
  const u32 lines = m.lutram_datalines_count;
  // The frame's row of flags serves this step and the fault step, which runs
  // even when the user data is skipped.
  u32 row = 0;
  if (lutram) {
    VARNO_ASSERT_MSG(m.addrlines_per_row > 0, "m_member.addrlines_per_row > 0");
    row = img_index / m.addrlines_per_row;
    VARNO_ASSERT_MSG(row < m_pv_lutram_info.size() && m_pv_lutram_info[row].size() == lines,
                     "row < m_memory_pv_lutram_info_count");
  }
  if (lutram && param->cram_skip_user_data == 0) {
    error = std::make_unique<u8[]>(bytes);
    for (u32 d = 0; d < lines; ++d) {
      if (m_pv_lutram_info[row][d] == 0) continue;
      const u32 line = m.lutram_datalines[d];
      VARNO_ASSERT_MSG(u64{line} + 16 <= m.image_frame_bits,
                       "m_member.lutram_datalines[d] + 16 <= m_member.image_frame_bits");
      for (u32 b = line; b < line + 16; ++b) {
        if (!get_bit(user, b)) continue;
        const u32 raw_index = m.img_to_raw_map[b];
        if (param->cram_allow_unconverted_bits == 0) {
          VARNO_ASSERT_MSG(raw_index != IMG_TO_RAW_SKIP_CONV_EDCRC,
                           "raw_index != IMG_TO_RAW_SKIP_CONV_EDCRC");
          VARNO_ASSERT_MSG(raw_index != IMG_TO_RAW_SKIP_CONV_PB3,
                           "raw_index != IMG_TO_RAW_SKIP_CONV_PB3");
        }
        if (raw_index == IMG_TO_RAW_SKIP_CONV_EDCRC || raw_index == IMG_TO_RAW_SKIP_CONV_PB3) {
          continue;
        }
        const u32 dest_index = m.img_to_edcrc_map[b];
        VARNO_ASSERT_MSG(dest_index != UINT32_MAX, "dest_index != UINT(-1)");
        VARNO_ASSERT_MSG(dest_index < frame_bits, "dest_index < m_member.bs_frame_bits");
        set_bit(error.get(), dest_index, true);
        modified = true;
      }
    }
  }

  // 4. Fault bits: flipped in the core, entered in the ED-CRC and the talkback.
  if (!fault_bits.empty()) {
    if (error == nullptr) error = std::make_unique<u8[]>(bytes);
    u32 cursor = 0;
    std::vector<u32> img_list;
    std::vector<u32> bs_list;
    std::vector<u32> edcrc_list;
    for (auto iter = fault_bits.begin(); iter != fault_bits.end(); ++iter) {
      // 4.1 A fault bit lies in the frame and has a bitstream position.
      VARNO_ASSERT_MSG(*iter < m.image_frame_bits &&
                           m.img_to_raw_map[*iter] != IMG_TO_RAW_INVALID &&
                           m.img_to_raw_map[*iter] != IMG_TO_RAW_SKIP_CONV_EDCRC &&
                           m.img_to_raw_map[*iter] != IMG_TO_RAW_SKIP_CONV_PB3,
                       "*iter < m_member.image_frame_bits && m_member.img_to_raw_map[*iter] != "
                       "IMG_TO_RAW_INVALID && m_member.img_to_raw_map[*iter] != "
                       "IMG_TO_RAW_SKIP_CONV_EDCRC && m_member.img_to_raw_map[*iter] != "
                       "IMG_TO_RAW_SKIP_CONV_PB3");
      const u32 f = *iter;
      const u32 r = m.img_to_raw_map[f];
      VARNO_ASSERT_MSG(r < frame_bits, "raw_index < m_member.bs_frame_bits");
      // 4.2 Flagged LUTRAM lines keep their bits.
      if (lutram) {
        const std::vector<u8>& info = m_pv_lutram_info[row];
        while (cursor < lines && u64{m.lutram_datalines[cursor]} + 16 <= f) ++cursor;
        if (cursor < lines && m.lutram_datalines[cursor] <= f &&
            f < u64{m.lutram_datalines[cursor]} + 16 && info[cursor] != 0) {
          continue;
        }
      }
      // 4.3 So do the DRAs written as S4.
      if (dra_mask != 0) {
        const u32 p = r / (frame_bits / m.dras_count);
        if (((dra_mask >> m.dras_order[p]) & 1u) != 0) continue;
      }
      // 4.4 Otherwise the bit is applied: ED-CRC, talkback lists, flipped core bit.
      const u32 e = m.img_to_edcrc_map[f];
      VARNO_ASSERT_MSG(e != UINT32_MAX, "dest_index != UINT(-1)");
      VARNO_ASSERT_MSG(e < frame_bits, "dest_index < m_member.bs_frame_bits");
      set_bit(error.get(), e, true);
      if (img_list.empty()) {
        img_list.push_back(img_index);
        bs_list.push_back(index);
        edcrc_list.push_back(index);
      }
      img_list.push_back(f);
      bs_list.push_back(r);
      edcrc_list.push_back(e);
      set_bit(core.get(), r, !get_bit(user, f));
      modified = true;
    }
    if (!img_list.empty()) {
      VARNO_MGR_TALKBACK* tb = talkback(m_parent);
      tb->fault_injection_lists[VARNO_TALKBACK_FI_IMG].push_back(std::move(img_list));
      tb->fault_injection_lists[VARNO_TALKBACK_FI_BS].push_back(std::move(bs_list));
      tb->fault_injection_lists[VARNO_TALKBACK_FI_EDCRC].push_back(std::move(edcrc_list));
    }
  }

  // 5. Frame ED-CRC over those bits; 0 when there are none.
  const u32 edcrc = modified ? VARNO_UTIL::lsb_calculate_crc32(error.get(), 0, frame_bits - 32, 0,
                                                               FRAME_EDCRC_POLY)
                             : 0;

  // 6. Column ED-CRCs, when printed; each runs on across the frames of one build.
  if (column != nullptr) {
    const u32 w = m.dras_count * m.config_data_width;
    VARNO_ASSERT_MSG(m_column_edcrc.size() == m.dras[0] - 1,
                     "m_column_edcrc.size() == m_member.dras[0] - 1");
    for (u32 c = 0; c + 1 < m.dras[0]; ++c) {
      m_column_edcrc[c] = VARNO_UTIL::msb_calculate_crc32(column.get() + c * w / 8, 0, w,
                                                          m_column_edcrc[c], COLUMN_EDCRC_POLY);
    }
  }

  // 7. The last word of the core is cleared for the ED-CRC.
  std::memset(core.get() + bytes - 4, 0, 4);

  // 8. A plain frame ends in its ED-CRC word; a frame with S4 DRAs is encoded.
  if (dra_mask == 0) {
    if (edcrc != 0) VARNO_UTIL::write_dword_safely(edcrc, core.get() + bytes - 4);
  } else {
    encode_s4(core, frame_bits, img_index, s2_bits_list, dra_mask, edcrc, param);
  }

  // 9. After the ED-CRC: an unmapped bit is 1 even inside the ED-CRC word.
  if (param->s4_variant == 0 && param->cram_fill_unmapped_ones != 0) {
    VARNO_ASSERT_MSG(frame_bits == m.bs_frame_bits, "frame_bits == m_member.bs_frame_bits");
    VARNO_ASSERT_MSG(m.raw_to_img_map != NULL, "m_member.raw_to_img_map != NULL");
    for (u32 j = 0; j < frame_bits; ++j) {
      if (m.raw_to_img_map[j] == RAW_TO_IMG_SKIP_CONV_DUMMY) set_bit(core.get(), j, true);
    }
  }

  return core;
}

// ---- S4 encoding ------------------------------------------------------------------------

void VARNO_CRAM_FRAME_MGR::encode_s4(std::unique_ptr<u8[]>& core, u32& frame_bits, u32 img_index,
                                     S4_SII_DRA_LIST* s2_bits_list, u32 dra_mask, u32 edcrc,
                                     const VARNO_MGR_PARAM* param) {
  const VARNO_CRAM_MEMBER& m = m_member;
  const u32 s4 = m.dra_s4_info[img_index];
  // 1. S2 lists: none for a frame with only forced S4 DRAs, else one per DRA.
  if (s4 == 0) {
    VARNO_ASSERT_MSG(m_dra_fake_s4_segment != 0 && s2_bits_list == NULL,
                     "m_dra_fake_s4_segment != 0 && s2_bits_list == NULL");
  } else {
    // A frame whose S4 record was not read (S4 off since the verification)
    // has no list to consult.
    VARNO_ASSERT_MSG(s2_bits_list != NULL, "s2_bits_list != NULL");
    VARNO_ASSERT_MSG(s2_bits_list->size() == m.dras_count,
                     "s2_bits_list->size() == m_member.dras_count");
  }
  auto in = [](u32 mask, u32 e) { return ((mask >> e) & 1u) != 0; };

  // 2. Size: every DRA's rows, twice over for a DRA written as S4.
  u64 rows = 0;
  for (u32 i = 0; i < m.dras_count; ++i) {
    const u32 effective_dra = m.dras_order[i];
    // Each DRA is read from a slice of dras[0] rows of the plain frame.
    VARNO_ASSERT_MSG(m.dras[effective_dra] <= m.dras[0],
                     "m_member.dras[effective_dra] <= m_member.dras[0]");
    rows += m.dras[effective_dra];
    if (in(s4, effective_dra)) {
      rows += m.dras[effective_dra];
      const S4_SII_BIT_LIST* list = s2_bits_list->at(effective_dra);
      VARNO_ASSERT_MSG(list != nullptr && list->size() > 0,
                       "s2_bits_list->at(effective_dra)->size() > 0");
    } else if (in(dra_mask, effective_dra)) {
      rows += m.dras[effective_dra];
      VARNO_ASSERT_MSG(s2_bits_list == NULL || s2_bits_list->at(effective_dra) == NULL,
                       "s2_bits_list == NULL || s2_bits_list->at(effective_dra) == NULL");
    } else if (s4 != 0) {
      VARNO_ASSERT_MSG(s2_bits_list->at(effective_dra) == NULL,
                       "s2_bits_list->at(effective_dra) == NULL");
    }
  }
  const u32 word_bytes = m.config_data_bytes;
  const u64 new_bytes = rows * word_bytes;
  VARNO_ASSERT_MSG(new_bytes >= 8 && new_bytes * 8 <= 0xFFFFFFFFu, "frame_bits <= 0xFFFFFFFF");
  std::unique_ptr<u8[]> out = std::make_unique<u8[]>(new_bytes);

  // 3. DRA by DRA: a plain one copied, an S4 one widened to a 4-bit code per pair.
  u64 o = 0;
  for (u32 i = 0; i < m.dras_count; ++i) {
    const u32 e = m.dras_order[i];
    const u32 n = m.dras[e] * word_bytes;
    const u32 src_bit = i * m.dra_bits;
    if (!in(dra_mask, e)) {
      std::memcpy(out.get() + o, core.get() + src_bit / 8, n);
      o += n;
      continue;
    }
    const bool real = in(s4, e);
    S4_SII_BIT_LIST* list = real ? s2_bits_list->at(e) : nullptr;
    // Both cursors start on the register's first cell.
    S2_CURSOR a(real ? list : nullptr);
    S2_CURSOR b(real ? list : nullptr);
    const u32 bits = m.dras[e] * m.config_data_width;
    for (u32 t = 0; t < bits; t += 2) {
      unsigned bit_index = src_bit + t;
      u8 code = static_cast<u8>(get_bits(core.get(), bit_index, 2, true));
      const u8 value = code;
      const bool check = encode_two_bits(code, !real);
      if (check) {
        // 4. S2 check of a mixed pair: the bitstream positions of its 1 and
        // 0 bits.
        const u32 one_pos = src_bit + t + (value == 2 ? 1 : 0);
        const u32 zero_pos = src_bit + t + (value == 1 ? 1 : 0);
        const u32 s2_checked_bit_index = m.raw_to_img_map[one_pos];
        const u32 zero = m.raw_to_img_map[zero_pos];
        VARNO_ASSERT_MSG(s2_checked_bit_index != RAW_TO_IMG_SKIP_CONV_DUMMY,
                         "s2_checked_bit_index != RAW_TO_IMG_SKIP_CONV_DUMMY");
        a.seek(s2_checked_bit_index);
        if (a.index() == s2_checked_bit_index) {
          for (const S4_SI* cell : a.cells()) {
            VARNO_ASSERT_MSG(cell != nullptr, "s4_si != NULL");
            u32 frame = 0;
            u32 bit = 0;
            bool flag = false;
            const u32 cell_value = cell->get_data(frame, bit, flag);
            if (loaded_image_bit(frame, bit)) {
              code = static_cast<u8>(((cell_value << 2) & 0xCu) | (1u << (flag ? 1 : 0)) | 1u);
              break;
            }
          }
        } else if (param->cram_s2_zero_bit_check != 0 && zero != RAW_TO_IMG_SKIP_CONV_DUMMY) {
          b.seek(zero);
          if (b.index() == zero) {
            if (param->cram_s2_zero_bit_source_check == 0) {
              code = 0;
            } else {
              for (const S4_SI* cell : b.cells()) {
                VARNO_ASSERT_MSG(cell != nullptr, "s4_si != NULL");
                u32 frame = 0;
                u32 bit = 0;
                bool flag = false;
                cell->get_data(frame, bit, flag);
                if (loaded_image_bit(frame, bit)) {
                  code = 0;
                  break;
                }
              }
            }
          }
        }
      }
      for (u32 k = 0; k < 4; ++k) {
        if (((code >> k) & 1u) != 0) set_bit(out.get(), static_cast<u32>(8 * o + 2 * t + k), true);
      }
    }
    o += 2 * u64{n};
  }

  // 5. The new core replaces the old; its ED-CRC is widened when DRA 0 is S4.
  core = std::move(out);
  frame_bits = static_cast<u32>(new_bytes * 8);
  if (edcrc != 0) {
    if ((dra_mask & 1u) != 0) {
      u64 codes = 0;
      for (u32 g = 0; g < 16; ++g) {
        u8 pair = static_cast<u8>((edcrc >> (2 * g)) & 3u);
        encode_two_bits(pair, true);
        codes |= u64{pair} << (4 * g);
      }
      VARNO_UTIL::write_qword_safely(codes, core.get() + new_bytes - 8);
    } else {
      VARNO_UTIL::write_dword_safely(edcrc, core.get() + new_bytes - 4);
    }
  }
}

// ---- Error-correction option values -----------------------------------------------

void VARNO_CRAM_FRAME_MGR::add_error_correction_obs(VARNO_MGR_TALKBACK* tb,
                                                    const VARNO_MGR_PARAM* param) {
  const VARNO_CRAM_MEMBER& m = m_member;
  const u32 x = m.fake_edcrc_frame_count;
  const bool stop_frame = x != 0 && x != m.bs_frame_count;
  const u32 f = stop_frame ? x : m.bs_frame_count;
  // Message lengths in bits; the pattern helper counts them in 32 bits.
  const u64 l1 = u64{m.config_data_width} * m.dras_count * m.dras[0];
  const u64 l2 = u64{m.config_data_width} * m.dras_count * f + m.config_data_width;
  VARNO_ASSERT_MSG(l1 <= 0xFFFFFFFFu && l2 <= 0xFFFFFFFFu, "ec_message_bits <= 0xFFFFFFFF");

  std::vector<VARNO_TALKBACK_OVERWRITE_OB> obs;
  if (param->cram_ec_ob_mode == 0 || param->cram_ec_ob_mode == 1) {
    const bool flag = param->cram_ec_ob_mode == 0;
    struct PATTERN {
      VOLD_OB_DATA_TYPE ob;
      u64 length;
      u32 bit;
    };
    const PATTERN patterns[] = {
        {VOLD_OB_DATA_HORIZONTAL_EC_1, l1, 0},  {VOLD_OB_DATA_HORIZONTAL_EC_2, l1, 1},
        {VOLD_OB_DATA_HORIZONTAL_EC_3, l1, 97}, {VOLD_OB_DATA_VERTICAL_EC_1, l2, 0},
        {VOLD_OB_DATA_VERTICAL_EC_2, l2, 1},    {VOLD_OB_DATA_VERTICAL_EC_3, l2, 31},
        {VOLD_OB_DATA_VERTICAL_EC_4, l2, 32},   {VOLD_OB_DATA_VERTICAL_EC_5, l2, 96},
        {VOLD_OB_DATA_VERTICAL_EC_6, l2, 128},
    };
    for (const PATTERN& p : patterns) {
      const u32 value = VARNO_UTIL::calculate_error_correction_pattern(
          static_cast<u32>(p.length), 0, p.bit, PV_CRC_POLYNOMIAL_BITS);
      obs.push_back({static_cast<u32>(p.ob), value, flag});
    }
    obs.push_back({VOLD_OB_DATA_EN_EC_GEN, 0, flag});
  } else {
    obs.push_back({VOLD_OB_DATA_EN_EC_GEN, 1, false});
  }
  if (stop_frame) obs.push_back({VOLD_OB_DATA_EDCRC_STOP_FRAME, x - 1, true});
  // Appended only once all values are known.
  tb->overwrite_obs.insert(tb->overwrite_obs.end(), obs.begin(), obs.end());
}
