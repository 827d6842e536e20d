// The description of one CRAM image, shared by every CRAM frame manager, and
// the small helpers those managers have in common: bit readers, the 2-bit
// cell encoder and the fault-injection location lists.
//
// The record is filled from the CRAM block's configuration and the device
// record. Maps and rows are borrowed from the device database's argument
// lists; the record owns only dras and dras_order (freed by
// delete_cram_member_memory) and its phantomless row list.
#pragma once

#include <memory>
#include <vector>

#include "varno_types.h"
#include "vold.h"

class VARNO_DBLOCK;
class VARNO_BLOCK_CONFIG;

// CRAM algorithm of the parameter CRAM_ALGO.
enum VARNO_CRAM_FLOW : u32 {
  VARNO_CRAM_PV_FLOW = 0,
  VARNO_CRAM_HG_FLOW = 1,
  VARNO_CRAM_LEGACY_FLOW = 2,
};

// Header bytes in front of each row of the phantomless map.
inline constexpr u32 PGM_PHANTOMLESS_INFO_REVERSED_BYTE = 16;

struct VARNO_CRAM_MEMBER {
  u32 algo = VARNO_INVALID_DWORD;  // VARNO_CRAM_FLOW
  u32 image_bits = 0;
  u8* image_data = nullptr;  // borrowed user image
  u32 image_frame_count = VARNO_INVALID_DWORD;
  u32 image_frame_bits = VARNO_INVALID_DWORD;
  u32 image_s4_frame_bits = VARNO_INVALID_DWORD;
  u32 config_data_width = VARNO_INVALID_DWORD;
  u32 config_data_bytes = VARNO_INVALID_DWORD;
  u32 bs_frame_count = VARNO_INVALID_DWORD;
  u32* img_frame_to_bs_frame_map = nullptr;  // image_frame_count entries
  u32* bs_frame_to_img_frame_map = nullptr;  // bs_frame_count entries
  u32 bs_frame_bits = VARNO_INVALID_DWORD;
  u32 bs_s4_frame_bits = VARNO_INVALID_DWORD;
  u32* img_to_raw_map = nullptr;
  u32* raw_to_img_map = nullptr;
  u32* img_to_raw_map_rev32 = nullptr;
  u32* raw_to_img_map_rev32 = nullptr;
  u32* s4_img_to_raw_map = nullptr;
  u32* s4_raw_to_img_map = nullptr;
  u32 s4_4bit_mask_count = 0;
  u32* s4_4bit_mask = nullptr;
  S4_SII_LIST* s4_sii_list = nullptr;  // borrowed from the device record
  u32 s4_sii_count = VARNO_INVALID_DWORD;
  u32 sector_s4_fs_count = 0;
  u32* sector_s4_fs = nullptr;
  u32 dras_count = VARNO_INVALID_DWORD;
  u32* dras = nullptr;        // owned array
  u32* dras_order = nullptr;  // owned array
  u32 dra_bits = VARNO_INVALID_DWORD;
  u8* dra_bit_info = nullptr;
  u8* dra_s4_info = nullptr;  // a byte or a bit per IMG frame, by algo
  u32 lutram_datalines_count = VARNO_INVALID_DWORD;
  u32* lutram_datalines = nullptr;
  u32 addrlines_per_row = VARNO_INVALID_DWORD;
  u32* lutram_remap_addrlines = nullptr;
  u32* img_to_edcrc_map = nullptr;
  u32* edcrc_to_img_map = nullptr;
  u32 first_frame_instr = VARNO_INVALID_DWORD;
  u32 last_frame_instr = VARNO_INVALID_DWORD;
  u32 default_frame_instr = VARNO_INVALID_DWORD;
  u32 first_s4_frame_instr = VARNO_INVALID_DWORD;
  u32 last_s4_frame_instr = VARNO_INVALID_DWORD;
  u32 default_s4_frame_instr = VARNO_INVALID_DWORD;
  std::vector<u8*> phantomless_map;  // rows borrowed
  bool img_in_frame_seq = false;
  bool img_filled_with_lowest_frame = false;
  bool img_filled_with_lowest_bit = false;
  u32 img_include_edcrc_bits = VARNO_INVALID_DWORD;
  u32 parallel_frame_size = VARNO_INVALID_DWORD;
  u8* mram_info = nullptr;    // a bit per IMG frame
  u8* lutram_info = nullptr;  // a byte per IMG frame
  bool lutram_odd_bit_flip = false;
  u32 lutram_block_count = VARNO_INVALID_DWORD;
  u32 lutram_block_bits = VARNO_INVALID_DWORD;
  u32 lutram_block_bits_offset = VARNO_INVALID_DWORD;
  u32 lutram_row_size = VARNO_INVALID_DWORD;
  u32 rscnt26_bit_col_offset = VARNO_INVALID_DWORD;
  u32 rscnt26_bit_row_offset = VARNO_INVALID_DWORD;
  u32 fake_edcrc_frame_count = 0;
};

// True when dra_s4_info holds one byte per IMG frame for this algorithm, false
// when it holds one bit per frame.
bool cram_dra_s4_info_is_bytes(u32 algo);

// The device record of the block's generator; internal error when there is
// none.
VOLD_DEVICE_INFO* cram_device_of(VARNO_DBLOCK* block);
// Fills m from the configuration and the device record (block is not read).
void setup_cram_member(VARNO_CRAM_MEMBER& m, VOLD_DEVICE_INFO* device, VARNO_DBLOCK* block,
                       VARNO_BLOCK_CONFIG* config);
// Records the block's CRAM user image and the configuration data width.
void verify_cram_user_data(VARNO_CRAM_MEMBER& m, VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config);
// Copies the instruction words of the block's six frame instructions.
void setup_instruction(VARNO_CRAM_MEMBER& m, VARNO_DBLOCK* block);
// The instruction word that opens a frame; first wins over last.
u32 get_instruction(const VARNO_CRAM_MEMBER& m, bool first, bool last, bool s4);
void delete_cram_member_memory(VARNO_CRAM_MEMBER& m);
// The user image cut into one zero-filled buffer of buffer_bytes per IMG
// frame, each set bit read in the layout the image's flags give and placed
// at its bitstream position (img_to_raw_map) when to_bitstream, else at its
// IMG bit.
std::unique_ptr<std::unique_ptr<u8[]>[]> split_cram_image(const VARNO_CRAM_MEMBER& m,
                                                          u32 buffer_bytes, bool to_bitstream);

// Reads count (1 to 8) bits of bits, bit k of the result from the index
// reached at step k; the index moves up or down between reads and ends on
// the last bit read.
u32 get_bits(unsigned char* bits, unsigned& index, unsigned count, bool up);
// Bits index .. index + count - 1 of word; the index ends on the last bit read.
u32 get_bits(unsigned word, unsigned& index, unsigned count);
// Maps a 2-bit code to its 4-bit form (0 -> 0, 1 -> 8, 2 -> 4, 3 -> 12);
// returns !flag for the codes 1 and 2, false otherwise.
bool encode_two_bits(unsigned char& two_bits, bool flag);

// Fault-injection location lists: [device word 0, device word 1, frame, bit,
// frame, bit, ...]. A list that does not fit yields an empty result.
std::vector<std::vector<u32>> process_fi_locations(VOLD_DEVICE_INFO* device, unsigned frame_count,
                                                   unsigned bit_count,
                                                   const std::vector<u32>& locations);
std::vector<u32> convert_bs_to_img_format(VOLD_DEVICE_INFO* device, u32* frame_map, u32* bit_map,
                                          unsigned frame_count, unsigned bit_count,
                                          const std::vector<u32>& locations);
std::vector<u32> convert_edcrc_to_img_format(VOLD_DEVICE_INFO* device, u32* frame_map,
                                             u32* bit_map, unsigned frame_count,
                                             unsigned bit_count, const std::vector<u32>& locations);
// Walks the groups of process_fi_locations frame by frame; index counts the
// groups already passed (from the front when forward, else from the back).
std::vector<u32> search_fi_bits(const std::vector<std::vector<u32>>& locations, unsigned frame,
                                unsigned& index, bool forward);
