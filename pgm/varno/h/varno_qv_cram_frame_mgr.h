// Frames of the configuration RAM of one QV sector. Each bitstream row
// becomes one frame carrying the row's two data registers DR0 and DR1, either
// each behind its own CNOC and CNT header records or bare; in S4 mode every
// 2-bit cell is written as a 4-bit code, using the device's S4 cell records.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "varno_bit_plan.h"
#include "varno_cram_common.h"
#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"
#include "vold.h"

// How one S4 cell of a frame was read.
enum CRAM_S4_DECODE_TYPE : u32 {
  CRAM_S4_DECODE_PAIR = 0,   // a 2-bit pair read upward
  CRAM_S4_DECODE_MASK = 1,   // four bits read downward through the 4-bit mask
  CRAM_S4_DECODE_ZERO = 2,   // a cell that is always zero
};

class VARNO_QV_CRAM_FRAME_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  VARNO_QV_CRAM_FRAME_MGR();
  ~VARNO_QV_CRAM_FRAME_MGR() override;

  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // first and last are bitstream rows.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  void register_2d_engine(VARNO_DBLOCK* block) override;
  // Always 0; the frames first .. last are read back.
  u32 get_lfsr(VARNO_DBLOCK* block, u32 first, u32 last, u64, u32) override;
  // The user image, row by row, bit-swapped and bit-reversed, as text of bits.
  void dump_expected_data(std::string& path) override;

  // Applies the bit-swap list to a row of bit_count bits, forward or backward.
  static void swap_dr_bits(u8* row, u32 bit_count, const u32* list, u32 count, bool forward);

  // What the first frame build recorded of its S4 cells.
  const std::vector<CRAM_S4_DECODE_TYPE>& s4_decode() const { return m_s4_decode; }
  u32 core_size() const { return m_core_size; }
  const VARNO_CRAM_MEMBER& member() const { return m_member; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  bool verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
  void init_frame_sizes(bool headers, bool s4);
  // Frame of bitstream row bs_index (IMG row img_index); image replaces the
  // user data as the source when given. Null without user data.
  std::unique_ptr<VARNO_FRAME> create_frame(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                            u32 bs_index, u32 img_index,
                                            S4_SII_BIT_LIST* s2_list, bool s4, bool headers,
                                            const u8* image);
  void fill_core_frame_data(u8* dst, const u8* src, u32 img_index, S4_SII_BIT_LIST* s2_list,
                            u32 offset, bool s4, bool headers);
  // Works out where the plain (not S4) row goes: m_row_plan for the current
  // map, data-register split and header offset, and the first placement the
  // device data gets wrong, if any.
  void plan_plain_row(u32 dr0_bits, u32 offset, u64 base_bit, u64 limit);
  // The S2 cell list of IMG row img, or null when the row is encoded without.
  S4_SII_BIT_LIST* s2_list_of(u32 img, bool s4, bool skip_s2) const;
  // Bit i of the source image; i must lie inside the image.
  bool source_bit(const u8* src, u64 i) const;
  // The 4-bit code of the pair at IMG bit p of the row at base.
  u32 encode_pair(const u8* src, u64 base, u32 p, S4_SII_BIT_LIST* s2_list,
                  CRAM_S4_DECODE_TYPE& kind) const;
  u32 dra(u32 i) const;
  // Bytes of the two data registers.
  u32 dr_bytes() const;
  // Bare-mode gap between DR0 and DR1, in bytes.
  u32 dr_gap() const;

  u32 m_rows = 0;
  u32 m_cols = 0;
  u32 m_core_size = 0;
  u32 m_usable_rows = 0;
  u32 m_spare_rows = 0;
  std::unique_ptr<u32[]> m_dras;  // DRA sizes in bits
  u32 m_dras_count = 0;
  u32 m_dr0_phantom_count = 0;
  u32 m_dr1_phantom_count = 0;
  u32 m_dr0_data = 0;
  u32 m_dr1_data = 0;
  VOLD_ARG* m_spare_arg = nullptr;  // borrowed
  std::vector<u32> m_dr0_phantom_pairs;
  std::vector<u32> m_dr1_phantom_pairs;
  u32 m_bit_swap_count = 0;
  std::unique_ptr<u32[]> m_bit_swap;  // swap kind << 16 | base bit
  const u32* m_raw_to_img_map = nullptr;  // borrowed from m_member
  u32 m_raw_to_img_width = 0;             // entries of m_raw_to_img_map
  u32 m_raw_map_width = 0;                // entries of the plain bitstream-to-IMG map
  u32 m_rev32_map_width = 0;              // entries of its REV32 form
  std::vector<CRAM_S4_DECODE_TYPE> m_s4_decode;
  bool m_decode_recorded = false;
  bool m_s4_decode_mask = false;  // m_s4_decode was recorded through the mask
  // The plain row's placement, worked out once per build (see plan_plain_row).
  struct ROW_PLAN_KEY {
    const u32* map = nullptr;
    u32 dr0_bits = 0;
    u32 offset = 0;
    u64 base_bit = 0;
    u64 limit = 0;
    bool operator==(const ROW_PLAN_KEY&) const = default;
  };
  VARNO_BIT_PLAN m_row_plan;
  bool m_row_plan_ready = false;
  ROW_PLAN_KEY m_row_plan_key;
  // The first bad placement: its text, and whether it is a map entry of
  // bitstream bit 0 (which the device data reports before the row itself).
  std::string m_row_plan_error;
  bool m_row_plan_error_first_map = false;
  VARNO_CRAM_MEMBER m_member;
  bool m_s4_mask_allowed = true;
  bool m_s4_mask_used = true;
};
