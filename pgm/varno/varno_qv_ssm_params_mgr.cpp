#include "varno_qv_ssm_params_mgr.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// The LSM record without its REGSCAN prefix, on the devices whose firmware
// has no room for it.
constexpr u32 LSM_RECORD_SIZE_SHORT = 92;
constexpr u32 LSM_PREFIX_SIZE = 12;
constexpr u32 MLB_OFFSETS_BYTES = 40;
constexpr u32 MLB_OFFSETS_ENTRIES = 20;
constexpr u32 MLB_OFFSETS_ENTRIES_SHORT = 10;
constexpr u32 CLK_MASK_BYTES = 32;

constexpr u32 IOSSM_PARAM_SIZE = 16;
constexpr u32 UIBSSM_PARAM_SIZE = 4;

// CNOC columns of the two halves of the device: the west half runs up to
// 31, and a CNOC address of (63, 63) marks a cell without a sector.
constexpr u32 HALF_COLUMNS = 32;
constexpr u32 NO_CNOC_ADDRESS = 63;

bool short_lsm_record(u32 device_type) {
  return device_type == 41 || device_type == 53 || device_type == 63;
}

VOLD_DEVICE_INFO* device_info_of(VARNO_GEN* gen) {
  VOLD_INFO* info = gen->device_pcf_info();
  VOLD_DEVICE_INFO* device_pcf = info != nullptr ? info->get_device_info() : nullptr;
  VARNO_ASSERT_MSG(device_pcf != nullptr, "device_pcf != NULL");
  return device_pcf;
}

// The sector-array block name of gen, with its grid size.
VARNO_EBLOCK* array_block(VARNO_GEN* gen, const char* name, u32& x_count, u32& y_count) {
  VARNO_EBLOCK* blk = dynamic_cast<VARNO_EBLOCK*>(gen->get_block(name, false));
  VARNO_ASSERT_MSG(blk != nullptr, "blk != NULL");
  x_count = blk->get_param_value("ARRAY_COUNT", 0u);
  y_count = blk->get_param_value("ARRAY_COUNT", 1u);
  VARNO_ASSERT_MSG(x_count > 0 && y_count > 0, "xSectors > 0 && ySectors > 0");
  return blk;
}

// A frame of one zero-filled data segment of size bytes.
std::unique_ptr<VARNO_FRAME> zero_frame(u32 size, u8*& data) {
  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, size, true);
  data = segment->data();
  VARNO_ASSERT_MSG(data != nullptr, "frame_data != NULL");
  frame->add_frame_segment(segment.release());
  return frame;
}

}  // namespace

VARNO_QV_SSM_PARAMS_MGR::VARNO_QV_SSM_PARAMS_MGR() = default;

VARNO_QV_SSM_PARAMS_MGR::~VARNO_QV_SSM_PARAMS_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_SSM_PARAMS_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  VARNO_GEN* gen = generator_of(block);
  fetch_cnoc_cnt(gen, "m_cnt_blk != NULL && m_cnoc_blk != NULL");
  m_lsm_blk_param_size = FW_LSM_PARAM_SIZE;
  if (short_lsm_record(device_info_of(gen)->get_device_type())) {
    m_lsm_blk_param_size = LSM_RECORD_SIZE_SHORT;
  }
  // Word 1 of the descriptor chooses the half of the device whose sectors
  // get records: 1 the west half, 2 the east half.
  m_column_limit = 65535;
  m_lowest_cnoc_column = 0;
  const u32 half = descriptor_word(block, 1);
  if (half == 1) m_column_limit = HALF_COLUMNS;
  if (half == 2) m_lowest_cnoc_column = HALF_COLUMNS;
  return true;
}

bool VARNO_QV_SSM_PARAMS_MGR::verify_user_data(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*) {
  if (m_lsm_blk_param_size != 0 && m_lsm_blk_param_size != FW_LSM_PARAM_SIZE) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Mismatch in lsm param size: m_lsm_blk_param_size (%d bytes) != fw_lsm_param_size (%d "
        "bytes)",
        m_lsm_blk_param_size, FW_LSM_PARAM_SIZE));
  }
  return true;
}

// ---- Frames ---------------------------------------------------------------------

bool VARNO_QV_SSM_PARAMS_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // The build stops with an internal error on a device whose record the
  // firmware cannot take, whatever the firmware type.
  verify_user_data(block, config);
  block->clear_frames();
  return create_partial_frames(block, config, 0, 0);
}

bool VARNO_QV_SSM_PARAMS_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                    u32, u32) {
  VARNO_GEN* gen = generator_of(block);
  const VARNO_MGR_PARAM* param = gen->get_mgr_param();
  VARNO_ASSERT_MSG(param != nullptr, "mgr_param != NULL");
  const u32 fw_type = param->fw_type;
  if (fw_type == VARNO_QV_FW_TYPE_MAX) return true;
  const bool hdrs = param->skip_headers == 0;
  switch (fw_type) {
    case VARNO_QV_LSM_FW: return create_lsm_params_frames(block, config, hdrs);
    case VARNO_QV_IO_FW: return create_iossm_params_frames(block, config, hdrs);
    case VARNO_QV_UIB_FW: return create_uibssm_params_frames(block, config, hdrs);
    default: break;
  }
  VARNO_ASSERT_MSG(fw_type < VARNO_QV_FW_TYPE_MAX, "fw_type >= 0 && fw_type < VARNO_QV_FW_TYPE_MAX");
  return true;
}

bool VARNO_QV_SSM_PARAMS_MGR::create_iossm_params_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*,
                                                         bool headers) {
  return create_array_frames(block, "IO_ARRAY", IOSSM_PARAM_SIZE, headers, true);
}

bool VARNO_QV_SSM_PARAMS_MGR::create_uibssm_params_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*,
                                                          bool headers) {
  return create_array_frames(block, "UIB_ARRAY", UIBSSM_PARAM_SIZE, headers, false);
}

bool VARNO_QV_SSM_PARAMS_MGR::create_array_frames(VARNO_DBLOCK* block, const char* name,
                                                  u32 payload, bool headers, bool first_word_one) {
  VARNO_GEN* gen = generator_of(block);
  u32 x_count = 0;
  u32 y_count = 0;
  array_block(gen, name, x_count, y_count);
  const u32 size = payload + (headers ? m_header_bytes : 0);
  for (u32 y = 0; y < y_count; ++y) {
    for (u32 x = 0; x < x_count; ++x) {
      u8* data = nullptr;
      std::unique_ptr<VARNO_FRAME> frame = zero_frame(size, data);
      if (first_word_one && !headers && x == 0 && y == 0) VARNO_UTIL::write_dword_safely(1, data);
      append_frame(block, std::move(frame));
    }
  }
  return true;
}

u32 VARNO_QV_SSM_PARAMS_MGR::encode_clock_segment(u32 length, u32 phase, u8 out[2]) {
  // Two bits of phase and five bits of length in units of 32: anything wider
  // would run into the neighbouring fields.
  VARNO_ASSERT_MSG(phase <= 3, "clk_ntw_segment_phase <= 3");
  const u32 p = phase << 6;
  if (length <= 31) {
    out[0] = static_cast<u8>(length | p);
    return 1;
  }
  if (length % 32 == 0) {
    VARNO_ASSERT_MSG(length < 1024, "clk_ntw_segment_length < 1024");
    out[0] = static_cast<u8>((length >> 5) | 0x20 | p);
    return 1;
  }
  if (length <= 255) {
    out[0] = static_cast<u8>(p);
    out[1] = static_cast<u8>(length);
    return 2;
  }
  VARNO_ASSERT_MSG(length < 1024, "clk_ntw_segment_length < 1024");
  out[0] = static_cast<u8>((length >> 5) | 0x20 | p);
  out[1] = static_cast<u8>((length & 0x1F) | p);
  return 2;
}

bool VARNO_QV_SSM_PARAMS_MGR::create_lsm_params_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*,
                                                       bool headers) {
  // 1. The sector array.
  VARNO_GEN* gen = generator_of(block);
  const bool prefix = !short_lsm_record(device_info_of(gen)->get_device_type());
  const VARNO_MGR_PARAM* param = gen->get_mgr_param();
  VARNO_ASSERT_MSG(param != nullptr, "mgr_param != NULL");
  const u32 tk_flow = param->tk_flow;
  u32 x_count = 0;
  u32 y_count = 0;
  VARNO_EBLOCK* blk = array_block(gen, "SECTOR_ARRAY", x_count, y_count);
  const u64 cells = u64{x_count} * y_count;

  // 2. Timer bases from the farthest sector.
  u32 dmax = 0;
  for (u64 i = 0; i < cells; ++i) {
    dmax = std::max(dmax, blk->get_arg_value("CNOC_ADDRESSES", static_cast<u32>(i), 3));
  }
  const float f1 = param->qv_2d_align == 0 ? 133.0f : 200.0f;
  const float f2 = param->qv_2d_align == 0 ? 200.0f : 250.0f;
  const float dmax_f = static_cast<float>(dmax);
  const i64 t1 = static_cast<i64>(std::ceil(f1 * dmax_f / 1000000.0f) + 3.0f);
  const i64 t2 = static_cast<i64>(std::ceil(f2 * dmax_f / 1000000.0f) + 3.0f);

  // 3. Record layout: the REGSCAN prefix, the MLB offset entries, the header room.
  msg_vdebug_impl(2, "LSM Properties:\n");

  const u32 p0 = prefix ? LSM_PREFIX_SIZE : 0;
  const u32 mlb_entries = prefix ? MLB_OFFSETS_ENTRIES : MLB_OFFSETS_ENTRIES_SHORT;
  const u32 room = headers ? m_header_bytes : 0;
  u32 east_frames = 0;

  // 4. One record per sector.
  for (u32 y = 0; y < y_count; ++y) {
    for (u32 x = 0; x < x_count; ++x) {
      const u32 i = y * x_count + x;
      // 4.1 No record for a cell without a sector, nor for a sector outside the chosen half.
      const u32 cx = blk->get_arg_value("CNOC_ADDRESSES", i, 0);
      const u32 cy = blk->get_arg_value("CNOC_ADDRESSES", i, 1);
      if (cx == NO_CNOC_ADDRESS && cy == NO_CNOC_ADDRESS) continue;
      if (cx < m_lowest_cnoc_column || cx >= m_column_limit) continue;

      // 4.2 A zeroed frame, the record behind the header room; writes stay inside it.
      u8* data = nullptr;
      std::unique_ptr<VARNO_FRAME> frame = zero_frame(room + m_lsm_blk_param_size, data);
      u8* rec = data + room;
      u8* const rec_end = rec + m_lsm_blk_param_size;
      auto put32 = [&](u32 offset, u32 value) {
        VARNO_ASSERT(rec + offset + 4 <= rec_end);
        VARNO_UTIL::write_dword_safely(value, rec + offset);
      };
      auto put16 = [&](u32 offset, u32 value) {
        VARNO_ASSERT(rec + offset + 2 <= rec_end);
        VARNO_UTIL::write_word_safely(static_cast<u16>(value), rec + offset);
      };

      // 4.3 The sector's own generator.
      VARNO_IMBLOCK* m_blk = gen->get_meta_block("SECTOR_ARRAY", x, y);
      VARNO_ASSERT_MSG(m_blk != nullptr, "mBlk != NULL");
      VARNO_IGEN* sgen = m_blk->generator();
      VARNO_ASSERT_MSG(sgen != nullptr, "sgen != NULL");

      std::string text = KORVIA::fmt_sprintf("\nx: %d, y: %d\n", cx, cy);

      // 4.4 REGSCAN prefix: the return-path select and the two counter selects.
      if (prefix) {
        VARNO_IBLOCK* regscan_blk = sgen->get_block("REGSCAN", false);
        VARNO_ASSERT_MSG(regscan_blk != nullptr, "regscan_blk != NULL");
        const u32 ret_path_sel = regscan_blk->get_param_value("RET_PATH_SEL", 0u);
        const u32 cntr_sel0 = regscan_blk->get_param_value("CNTR_SEL", 0u);
        const u32 cntr_sel1 = regscan_blk->get_param_value("CNTR_SEL", 1u);
        put32(0, ret_path_sel);
        put32(4, cntr_sel0);
        put32(8, cntr_sel1);
        text += KORVIA::fmt_sprintf("ret_path_sel = %d\ncntr_sel0 = %d\ncntr_sel1 = %d\n",
                                    ret_path_sel, cntr_sel0, cntr_sel1);
      }

      // 4.5 Timer word: two deltas, sector type and cell index, OR-ed as they
      // are: each fits its byte on the devices there are.
      const u32 d = blk->get_arg_value("CNOC_ADDRESSES", i, 3);
      const float d_f = static_cast<float>(d);
      const u32 d1 = static_cast<u32>(t1 - static_cast<i64>(std::round(f1 * d_f / 1000000.0f)));
      const u32 d2 = static_cast<u32>(t2 - static_cast<i64>(std::round(f2 * d_f / 1000000.0f)));
      const u32 sector_type = blk->get_param_value("ARRAY_TYPE", i);
      const u32 timer = d1 | (d2 << 8) | (sector_type << 16) | (i << 24);
      put32(p0 + 0, timer);

      // 4.6 Data-register widths, their ERAM columns and the BBUS chain lengths.
      VARNO_IBLOCK* cram_blk = sgen->get_block("CRAM", false);
      VARNO_ASSERT_MSG(cram_blk != nullptr, "cram_blk != NULL");
      const u32 dr0_width_words = cram_blk->get_param_value("DRAS", 0u) >> 5;
      const u32 dr1_width_words = cram_blk->get_param_value("DRAS", 1u) >> 5;
      put16(p0 + 4, dr0_width_words);
      put16(p0 + 6, dr1_width_words);

      VARNO_IBLOCK* eramblk = sgen->get_block("ERAM", false);
      VARNO_ASSERT_MSG(eramblk != nullptr, "eramblk != NULL");
      const u32 eram_bits_per_col = eramblk->get_param_value("ERAM_COLS_PER_BLOCK", 0u);
      VARNO_ASSERT_MSG(eram_bits_per_col > 0, "eram_bits_per_col > 0");
      const u32 dr0_eram_columns = eramblk->get_param_value("DRAS_ERAM", 0u) / eram_bits_per_col;
      const u32 dr1_eram_columns = eramblk->get_param_value("DRAS_ERAM", 1u) / eram_bits_per_col;
      put16(p0 + 8, dr0_eram_columns);
      put16(p0 + 10, dr1_eram_columns);

      const u32 clk_network_bb_len = blk->get_arg_value("BBUS_CHAIN_SIZES", i, 0);
      const u32 cram_pwrup_bb_len = blk->get_arg_value("BBUS_CHAIN_SIZES", i, 1);
      const u32 bias_gen_bb_len = blk->get_arg_value("BBUS_CHAIN_SIZES", i, 2);
      put16(p0 + 12, cram_pwrup_bb_len);
      put16(p0 + 14, bias_gen_bb_len);
      put16(p0 + 16, clk_network_bb_len);

      text += KORVIA::fmt_sprintf(
          "global_tmr_delta = %d\nsector_type = 0x%x\ndr0_width_words = %d\ndr1_width_words = "
          "%d\ndr0_eram_columns = %d\ndr1_eram_columns = %d\ncram_pwrup_bb_len = %d\n"
          "bias_gen_bb_len = %d\n",
          timer & 0xFFFFu, timer >> 16, dr0_width_words, dr1_width_words, dr0_eram_columns,
          dr1_eram_columns, cram_pwrup_bb_len, bias_gen_bb_len);

      // 4.7 MLB byte offsets.
      const u32 arg_width = cram_blk->get_arg_width("IP_INFO");
      VARNO_ASSERT_MSG(arg_width > 0, "arg_width > 0");
      const u32 ip_count = cram_blk->get_arg_size("IP_INFO") / arg_width;
      VARNO_ASSERT_MSG(ip_count > 0, "ip_count > 0");
      const u32 mlb_byte_offsets_elem_size = MLB_OFFSETS_BYTES / mlb_entries;
      VARNO_ASSERT_MSG(mlb_byte_offsets_elem_size == sizeof(int16_t),
                       "mlb_byte_offsets_elem_size == sizeof(int16_t)");
      text += "mlb_byte_offsets[] = \n";
      u32 mlb_count = 0;
      if (tk_flow == 1) {
        msg_vdebug_impl(2, "not supported in TK, thus all zeros");
      } else {
        const bool has_sizes = cram_blk->get_arg_size("IP_SIZES") != 0;
        u64 offset = 0;
        for (u32 row = 0; row < ip_count && mlb_count < MLB_OFFSETS_ENTRIES; ++row) {
          const u32 ip_type = cram_blk->get_arg_value("IP_INFO", row, 0);
          if (ip_type == 0) {
            // The offsets are 16-bit fields: a larger one would name the
            // wrong byte.
            VARNO_ASSERT_MSG(offset <= 0xFFFF, "mlb_byte_offset <= 0xFFFF");
            put16(p0 + 20 + 2 * mlb_count, static_cast<u32>(offset));
            text += KORVIA::fmt_sprintf("%d,\n", static_cast<u32>(offset));
            ++mlb_count;
          }
          if (has_sizes) offset += cram_blk->get_arg_value("IP_SIZES", 0, ip_type);
        }
      }
      put16(p0 + 18, mlb_count);

      // 4.8 Clock-network masks.
      VARNO_IBLOCK* bbus_blk = sgen->get_block("BBUS", false);
      VARNO_ASSERT_MSG(bbus_blk != nullptr, "bbus_blk != NULL");
      const u32 seg_width = bbus_blk->get_arg_width("CLK_NTW_SEGMENTS");
      VARNO_ASSERT_MSG(seg_width > 0, "arg_width > 0");
      const u32 seg_rows = bbus_blk->get_arg_size("CLK_NTW_SEGMENTS") / seg_width;
      VARNO_ASSERT_MSG(seg_rows > 0, "arg_size > 0");
      const u32 num_variants = bbus_blk->get_param_size("CLK_NTW_VARIANTS");
      VARNO_ASSERT_MSG(num_variants > 0, "num_variants > 0");

      // The segments run variant after variant, the sum starting afresh
      // with each; the sector's chain ends at the first segment where the sum
      // equals its length, which may lie inside a variant. The last variant's
      // length serves for any segments after it.
      u64 sum = 0;
      u32 variant = 0;
      bool found = false;
      u32 match = 0;
      for (u32 row = 0; row < seg_rows; ++row) {
        sum += bbus_blk->get_arg_value("CLK_NTW_SEGMENTS", row, 0);
        if (sum == clk_network_bb_len) {
          found = true;
          match = row;
          break;
        }
        const u32 variant_len =
            bbus_blk->get_param_value("CLK_NTW_VARIANTS", std::min(variant, num_variants - 1));
        if (sum >= variant_len) {
          sum = 0;
          ++variant;
        }
      }
      if (!found) {
        VARNO_INTERNAL_ERROR(
            KORVIA::fmt_sprintf("Clock network size %d not found!", clk_network_bb_len));
      }
      u8 masks[CLK_MASK_BYTES] = {};
      u32 used = 0;
      if (sum != 0) {
        u64 new_sum = 0;
        for (u64 row = u64{match} + 1; row-- > 0 && new_sum < clk_network_bb_len && used <= 31;) {
          const u32 length = bbus_blk->get_arg_value("CLK_NTW_SEGMENTS", static_cast<u32>(row), 0);
          const u32 phase = bbus_blk->get_arg_value("CLK_NTW_SEGMENTS", static_cast<u32>(row), 2);
          new_sum += length;
          u8 bytes[2] = {};
          const u32 count = encode_clock_segment(length, phase, bytes);
          // The last byte of the mask holds no two-byte segment.
          if (count == 2 && used == 31) continue;
          for (u32 k = 0; k < count; ++k) masks[used++] = bytes[k];
        }
      }
      VARNO_ASSERT(rec + p0 + 60 + CLK_MASK_BYTES <= rec_end);
      for (u32 k = 0; k < CLK_MASK_BYTES; ++k) rec[p0 + 60 + k] = masks[k];

      text += KORVIA::fmt_sprintf("clk_network_bb_len = %d\nmlb_byte_offsets_len = %d\n",
                                  clk_network_bb_len, mlb_count);
      text += "clk_network_masks[] = \n";
      for (u32 k = 0; k + 1 < used; k += 2) {
        text += KORVIA::fmt_sprintf("0x%04x,\n", masks[k] | (masks[k + 1] << 8));
      }
      if (used % 2 != 0) text += KORVIA::fmt_sprintf("0x%02x\n", masks[used - 1]);
      msg_vdebug_impl(2, "%s", text.c_str());

      // 4.9 With the TK flow off, the records of the east half follow those
      // of the west half, in reverse sector order.
      if (!block->insert_frame_at_end(frame.get(), east_frames)) {
        VARNO_INTERNAL_ERROR("Unable to add sector parameter block");
      }
      frame.release();
      if (tk_flow == 0 && cx > HALF_COLUMNS - 1) ++east_frames;
    }
  }
  return true;
}
