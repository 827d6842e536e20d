// The manager-parameter record, by which the host steers a generator and its
// frame managers, and the talkback record, by which frame managers report back
// to the host. Both are shared with the host byte for byte, so every field
// sits at a fixed offset: the static_asserts below hold the layout.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

#include "varno_types.h"
#include "vold_enums.h"

// Number of entries of the per-block-type arrays (one per VOLD_BLOCK_TYPE).
inline constexpr u32 VARNO_MGR_PARAM_BLOCK_TYPES = 102;
static_assert(VARNO_MGR_PARAM_BLOCK_TYPES == VOLD_BLOCK_MAX,
              "per-block-type arrays must cover every block type");

// Firmware types of the record's fw_type: which firmware the firmware-file,
// SSM-parameter and group code build for.
enum VARNO_QV_FW_TYPE : u32 {
  VARNO_QV_LSM_FW = 0,               // LSM parameter records, one per sector
  VARNO_QV_IO_FW = 2,                // IO firmware, with IOSSM parameter frames
  VARNO_QV_BLOCK_HEADER_FW = 3,      // packet header version from the block's descriptor
  VARNO_QV_HEADER_V2_FW = 4,         // packet header version 2
  VARNO_QV_UIB_FW = 5,               // UIB firmware, with UIBSSM parameter frames
  VARNO_QV_HEADER_V3_FW = 6,         // packet header version 3
  VARNO_QV_HEADER_V3_SERDES_FW = 7,  // version 3 with the SerDes flag
  VARNO_QV_BOOT_FW = 12,             // boot layout: a boot frame, then two file regions
  VARNO_QV_FW_TYPE_MAX = 13,         // no firmware; also the number of types
};

// Filled by the host; the library only reads it. Each reader takes the record
// of its own generator: a frame manager the record of its block's generator
// (for a sector's blocks the sector generator's, which starts with these
// defaults: the library never copies the top generator's record into it),
// a block group and the 2D library merge the record of the generator they
// were made from or run on. The top generator's fields are set before
// process_pcfs (skip_block is read there); a sector generator's after
// process_pcfs, which makes it, and before do_all_blocks.
//
// For a CRAM block group over the sector families' example devices a host
// sets, on the top generator, group_compressed = 1 and s4_variant = 0, and
// leaves every other field at its default.
struct VARNO_MGR_PARAM {
  VARNO_MGR_PARAM() {
    for (u32 i = 0; i < VARNO_MGR_PARAM_BLOCK_TYPES; ++i) {
      first_frame[i] = VARNO_INVALID_DWORD;
      last_frame[i] = VARNO_INVALID_DWORD;
    }
  }

  u8 assert_arin_enable = 1;                     // 0
  u8 last_frame_enable = 1;                      // 1
  u8 skip_block[VARNO_MGR_PARAM_BLOCK_TYPES] = {};  // 2: no block made for that type (process_pcfs)
  u32 first_frame[VARNO_MGR_PARAM_BLOCK_TYPES];  // 104: all ones = no override
  u32 last_frame[VARNO_MGR_PARAM_BLOCK_TYPES];   // 512: all ones = no override
  // 920, of the block's generator (a sector's own): non-zero builds the
  // sector managers' frames without their CNOC and CNT records. A group
  // takes such frames as they are, beside other sectors' headed frames,
  // under one descriptor that gives their length but not the records' lack.
  u32 skip_headers = 0;
  u32 fw_type = 13;                              // 924: VARNO_QV_FW_TYPE, 13 = none
  u32 cram_random_filler = 0;                    // 928: low 16 bits used when non-zero
  // 932, read by create_group: 1 deflates the group's thread streams. With 0
  // get_group_full_size still counts pages, but get_group_data is an
  // internal error: the data is then read per thread with get_thread_data.
  u8 group_compressed = 0;
  u8 pad_933[3] = {};
  u32 qv_2d_compression = 0;                     // 936: bit 0 CRAM, bit 1 ERAM, bit 3 targets
  u8 deflate_store = 0;                          // 940: 1 = the group's deflate stores, not compresses
  u8 dump_swap_dr_bits = 1;                      // 941
  u8 pad_942[2] = {};
  u32 fw_frame_size = 0;                         // 944: 0 means 2052
  u32 unused_948 = 0;                            // 948: read by nothing
  std::vector<u32> fw_sizes;                     // 952: bytes per firmware file
  u32 template_count_mode = 2;                   // 976
  u8 qv_test_mode = 0;                           // 980
  u8 descriptor_flag4 = 0;                       // 981
  u8 regscan_31bit = 0;                          // 982
  u8 use_codebook = 0;                           // 983
  u32 pr_mode = 0;                               // 984: VARNO_QV_PR_MODE
  u32 tk_flow = 0;                               // 988: 1 = TK-family behaviour
  u8 cram_skip_s4_data = 0;                      // 992
  u8 qv_2d_align = 0;                            // 993
  // 994: the S4 form. QV CRAM frames (their generator's record): 0 none;
  // else S4 cell codes where the block's frame description allows them, and
  // the S4 mask 1 where the device allows it, 2 never, 3 always. A CRAM
  // group (its generator's record): non-zero gives thread records the S4
  // data-register lengths, DRAS values 2 and 3 of the blocks built with the
  // mask, which a device with two DRAS values does not have
  // ("Parameter DRAS (20) index (2) out of range (2)" in collect_data).
  u8 s4_variant = 1;
  u8 pad_995 = 0;
  u32 cram_fake_s4_dra_mask = 0;                 // 996
  u32 cram_s4_dra_limit = 0;                     // 1000: 0 = no limit
  u8 cram_assert_arin_enable = 1;                // 1004
  u8 cram_last_frame_enable = 1;                 // 1005
  u8 cram_lutram_remap = 1;                      // 1006
  u8 cram_lutram_edcrc_info = 1;                 // 1007
  u8 cram_skip_user_data = 0;                    // 1008
  u8 cram_clear_ar_enable = 0;                   // 1009
  u8 cram_fill_unmapped_ones = 0;                // 1010
  u8 cram_allow_unconverted_bits = 0;            // 1011
  u8 cram_s2_zero_bit_check = 0;                 // 1012
  u8 cram_s2_zero_bit_source_check = 0;          // 1013
  u8 cram_skip_eram_frame = 0;                   // 1014
  u8 cram_fi_mode = 0;                           // 1015: form of cram_fi_locations
  std::vector<u32> cram_fi_locations;            // 1016: two device words, then frame/bit pairs
  u8 print_edcrc_columns = 0;                    // 1040
  u8 cram_ec_ob_mode = 0;                        // 1041
  u8 pre_action_flag = 0;                        // 1042
  u8 eram_last_frame_enable = 1;                 // 1043
  u8 pad_1044[4] = {};
};

// An option-bit value computed by a frame manager for the host to write back.
struct VARNO_TALKBACK_OVERWRITE_OB {
  u32 ob_id = 0;  // VOLD_OB_DATA_TYPE
  u32 value = 0;
  bool flag = false;
};

// Rows of VARNO_MGR_TALKBACK::fault_injection_lists.
enum VARNO_TALKBACK_FI_LIST : u32 {
  VARNO_TALKBACK_FI_IMG = 0,    // [IMG frame, IMG bit ...]
  VARNO_TALKBACK_FI_BS = 1,     // [bitstream frame, bitstream bit ...]
  VARNO_TALKBACK_FI_EDCRC = 2,  // [bitstream frame, ED-CRC position ...]
  VARNO_TALKBACK_FI_MAX = 3,
};

// Written by frame managers, read by the host.
struct VARNO_MGR_TALKBACK {
  std::vector<VARNO_TALKBACK_OVERWRITE_OB> overwrite_obs;  // 0
  u32 pr_write_count = 0;                                  // 24
  u32 pr_read_count = 0;                                   // 28
  u32 frame_words = 0;                                     // 32: frame bits / 32
  u32 image_crc = VARNO_INVALID_DWORD;                     // 36
  u8 pr_last_frame_fail = 0;                               // 40
  u8 pad_41[7] = {};
  std::vector<std::vector<u32>> fault_injection_lists[VARNO_TALKBACK_FI_MAX];  // 48
};

// The shared layout.
static_assert(std::is_standard_layout_v<VARNO_MGR_PARAM>);
static_assert(sizeof(std::vector<u32>) == 24, "the record layout assumes 24-byte vectors");
static_assert(sizeof(VARNO_MGR_PARAM) == 1048);
static_assert(offsetof(VARNO_MGR_PARAM, assert_arin_enable) == 0);
static_assert(offsetof(VARNO_MGR_PARAM, last_frame_enable) == 1);
static_assert(offsetof(VARNO_MGR_PARAM, skip_block) == 2);
static_assert(offsetof(VARNO_MGR_PARAM, first_frame) == 104);
static_assert(offsetof(VARNO_MGR_PARAM, last_frame) == 512);
static_assert(offsetof(VARNO_MGR_PARAM, skip_headers) == 920);
static_assert(offsetof(VARNO_MGR_PARAM, fw_type) == 924);
static_assert(offsetof(VARNO_MGR_PARAM, cram_random_filler) == 928);
static_assert(offsetof(VARNO_MGR_PARAM, group_compressed) == 932);
static_assert(offsetof(VARNO_MGR_PARAM, qv_2d_compression) == 936);
static_assert(offsetof(VARNO_MGR_PARAM, deflate_store) == 940);
static_assert(offsetof(VARNO_MGR_PARAM, dump_swap_dr_bits) == 941);
static_assert(offsetof(VARNO_MGR_PARAM, fw_frame_size) == 944);
static_assert(offsetof(VARNO_MGR_PARAM, unused_948) == 948);
static_assert(offsetof(VARNO_MGR_PARAM, fw_sizes) == 952);
static_assert(offsetof(VARNO_MGR_PARAM, template_count_mode) == 976);
static_assert(offsetof(VARNO_MGR_PARAM, qv_test_mode) == 980);
static_assert(offsetof(VARNO_MGR_PARAM, descriptor_flag4) == 981);
static_assert(offsetof(VARNO_MGR_PARAM, regscan_31bit) == 982);
static_assert(offsetof(VARNO_MGR_PARAM, use_codebook) == 983);
static_assert(offsetof(VARNO_MGR_PARAM, pr_mode) == 984);
static_assert(offsetof(VARNO_MGR_PARAM, tk_flow) == 988);
static_assert(offsetof(VARNO_MGR_PARAM, cram_skip_s4_data) == 992);
static_assert(offsetof(VARNO_MGR_PARAM, qv_2d_align) == 993);
static_assert(offsetof(VARNO_MGR_PARAM, s4_variant) == 994);
static_assert(offsetof(VARNO_MGR_PARAM, cram_fake_s4_dra_mask) == 996);
static_assert(offsetof(VARNO_MGR_PARAM, cram_s4_dra_limit) == 1000);
static_assert(offsetof(VARNO_MGR_PARAM, cram_assert_arin_enable) == 1004);
static_assert(offsetof(VARNO_MGR_PARAM, cram_last_frame_enable) == 1005);
static_assert(offsetof(VARNO_MGR_PARAM, cram_lutram_remap) == 1006);
static_assert(offsetof(VARNO_MGR_PARAM, cram_lutram_edcrc_info) == 1007);
static_assert(offsetof(VARNO_MGR_PARAM, cram_skip_user_data) == 1008);
static_assert(offsetof(VARNO_MGR_PARAM, cram_clear_ar_enable) == 1009);
static_assert(offsetof(VARNO_MGR_PARAM, cram_fill_unmapped_ones) == 1010);
static_assert(offsetof(VARNO_MGR_PARAM, cram_allow_unconverted_bits) == 1011);
static_assert(offsetof(VARNO_MGR_PARAM, cram_s2_zero_bit_check) == 1012);
static_assert(offsetof(VARNO_MGR_PARAM, cram_s2_zero_bit_source_check) == 1013);
static_assert(offsetof(VARNO_MGR_PARAM, cram_skip_eram_frame) == 1014);
static_assert(offsetof(VARNO_MGR_PARAM, cram_fi_mode) == 1015);
static_assert(offsetof(VARNO_MGR_PARAM, cram_fi_locations) == 1016);
static_assert(offsetof(VARNO_MGR_PARAM, print_edcrc_columns) == 1040);
static_assert(offsetof(VARNO_MGR_PARAM, cram_ec_ob_mode) == 1041);
static_assert(offsetof(VARNO_MGR_PARAM, pre_action_flag) == 1042);
static_assert(offsetof(VARNO_MGR_PARAM, eram_last_frame_enable) == 1043);
static_assert(offsetof(VARNO_MGR_PARAM, pad_1044) == 1044);

static_assert(std::is_standard_layout_v<VARNO_MGR_TALKBACK>);
static_assert(sizeof(VARNO_MGR_TALKBACK) == 120);
static_assert(offsetof(VARNO_MGR_TALKBACK, overwrite_obs) == 0);
static_assert(offsetof(VARNO_MGR_TALKBACK, pr_write_count) == 24);
static_assert(offsetof(VARNO_MGR_TALKBACK, pr_read_count) == 28);
static_assert(offsetof(VARNO_MGR_TALKBACK, frame_words) == 32);
static_assert(offsetof(VARNO_MGR_TALKBACK, image_crc) == 36);
static_assert(offsetof(VARNO_MGR_TALKBACK, pr_last_frame_fail) == 40);
static_assert(offsetof(VARNO_MGR_TALKBACK, fault_injection_lists) == 48);
