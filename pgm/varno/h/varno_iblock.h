// The block interface: the host, the generator and the group assembly hold
// every block through it, whatever the block's kind. The order of the
// operations is part of the binary interface with the host: do not reorder.
#pragma once

#include <fstream>
#include <string>

#include "varno_types.h"
#include "vold_enums.h"

namespace PB {
class BLOCKS_PROGRAMMING_SEQUENCE;
}

// The user-data slots of a data block; the slot tells which manager reads it.
enum VARNO_BLOCK_DATA_TYPE : u32 {
  VARNO_BLOCK_DATA_CRAM = 0,
  VARNO_BLOCK_DATA_ERAM = 1,
  VARNO_BLOCK_DATA_MCU = 2,
  VARNO_BLOCK_DATA_CSR = 3,
  VARNO_BLOCK_DATA_BBUS = 4,
  VARNO_BLOCK_DATA_SPARE5 = 5,
  VARNO_BLOCK_DATA_SPARE6 = 6,
  VARNO_BLOCK_DATA_REGSCAN = 7,
  VARNO_BLOCK_DATA_HIP_MMIO = 8,
  VARNO_BLOCK_DATA_BRAM = 9,
  VARNO_BLOCK_DATA_HNOC_MMIO = 10,
  VARNO_BLOCK_DATA_UIB_MMR = 11,
  VARNO_BLOCK_DATA_IO_MMIO = 12,
  VARNO_BLOCK_DATA_IO_AHB = 13,
  VARNO_BLOCK_DATA_MAX = 14,
};

// How a block repeats in the image. The block only stores the mode.
enum VARNO_BLOCK_REPETITION : u32 {
  VARNO_BLOCK_REPETITION_NONE = 0,
};

class VARNO_IBLOCK {
 public:
  virtual ~VARNO_IBLOCK() = default;

  // Option-bit and dynamic-data access (option blocks).
  virtual u32 write_dyn_value(const std::string& name, const u8* data, u32 index, u32 bits,
                              u8* dest) = 0;
  virtual u32 read_dyn_value(const std::string& name, u8* out, u32 index, u32 bits) = 0;
  virtual u32 get_dyn_value_size(const std::string& name) = 0;
  virtual u32 write_option_bits(const std::string& option, const std::string& dyn_name,
                                const u8* value, u32 bits, u8* dest) = 0;
  virtual u32 read_option_bits(const std::string& option, const std::string& dyn_name, u8* out,
                               u32 bits) = 0;
  virtual u32 get_option_size(const std::string& option, const std::string& dyn_name) = 0;
  virtual void set_option_shadow_mask(const std::string& dyn_name, const u8* mask, u32 bits) = 0;
  virtual u32 get_option_info(const std::string& option, const std::string& dyn_name, u32& index,
                              u32& second, u32& size) = 0;

  // User-data input (data blocks; other blocks ignore it). Buffers stay the
  // caller's and are read at every build of the block: they must live,
  // unchanged, until its last build (the block is given new data, or the
  // generator is deleted); a change in place is seen by the next build and
  // nothing before it. The library cannot check a buffer shorter than its
  // length. Each of these
  // calls (and set_random_filler, and the generator's adjust_num_frames) on
  // a data block already built is taken, and the block then stays changed
  // until a build makes its frames from the new data (do_all_blocks,
  // do_block, process(false)). A build that skips the block
  // (skip_block_processing), passes over a block built with process(true)
  // (until reset_process) or fails leaves it changed. Until then its frame
  // read-outs, a group's collect_data and the text dump refuse it, with the
  // reason ("Block ... read before a rebuild: its design data came after
  // do_all_blocks built it", or "... after its build, and the build since
  // skipped it (skip_block_processing)", "... after process(true) built it,
  // and a build passes it over until reset_process()", "... after its build,
  // and the build since failed"); the generator's do_partial_block on it
  // returns false and appends nothing; and a group that collected it
  // refuses its read-outs.
  // set_data: the design data of one slot; size is its length in bits, not
  // bytes (bit i is bit i mod 8 of byte i / 8). Each frame manager reads its
  // own slots only (QV CRAM: VARNO_BLOCK_DATA_CRAM, QV ERAM: ..._ERAM, QV
  // BBUS: ..._BBUS); data in another slot builds nothing, and a block group
  // refuses a block that built no frames so (collect_data). The managers check
  // the length against the block's parameters when they build: the QV CRAM
  // manager wants CRAM_FRAME_COUNT x CRAM_BIT_COUNT bits, the QV ERAM manager
  // ERAM_ROW_COUNT x ERAM_COL_COUNT; another length is an internal error
  // ("Mismatch in user data size ...") in do_all_blocks. A length of 0 with
  // a buffer is not checked: the manager takes the whole image from it. Null
  // data with length 0 is no data; with a length it is an internal error
  // ("set_data on block ...: null data of ... bits"). extra is kept and read
  // by no manager: pass null. A slot at or past VARNO_BLOCK_DATA_MAX is an
  // internal error. A later call replaces the slot.
  virtual void set_data(VARNO_BLOCK_DATA_TYPE slot, u8* data, u32 size, u8* extra) = 0;
  virtual void set_programming_seq_vdata(const PB::BLOCKS_PROGRAMMING_SEQUENCE* seq) = 0;
  // set_data_from_file: names a file of design data, for the firmware blocks
  // (frame type QV_FW_FILE), whose manager reads every named file in call
  // order when the frames are built; the slot is not used. On a data block
  // whose manager reads no data file it is an internal error ("set_data_from_file
  // on block ..., whose frame manager reads no data file"); other kinds of
  // block ignore it, as they ignore set_data. set_custom_frame_sizes copies
  // the list; null or a count of 0 leaves none.
  virtual void set_data_from_file(VARNO_BLOCK_DATA_TYPE slot, const std::string& path) = 0;
  virtual void set_custom_frame_sizes(const u32* sizes, u32 count) = 0;
  virtual void set_custom_interframe_delay(u32 delay) = 0;

  // Frames (data blocks). get_frame_data writes exactly get_frame_size(frame)
  // bytes: size out from get_frame_size first; a null out is an internal
  // error ("out != nullptr"). get_number_of_frames, get_frame_data,
  // get_frame_data_ptr and get_frame_single_byte are an internal error
  // ("Block ... read before do_all_blocks built it") on a generator's block
  // that is not built yet (do_all_blocks, do_block, do_partial_block), and
  // on one given design data since its build (see above), or whose last
  // build failed ("Block ... read before a rebuild: its build failed", the
  // first build as much as a rebuild, until a build succeeds; a group's
  // collect_data, the text dump and do_partial_block refuse it too). A frame or offset
  // past the end gives 0, null or false. get_frame_single_byte and
  // update_frame_data read and patch one byte of a frame's core segment (its
  // data segment, offset from that segment's first byte); a group that
  // collected the block before refuses its read-outs of bytes while the
  // frames differ from those it collected ("Block group ...() called after
  // the frames of the ... block ... changed since collect_data()"), as it
  // does after a write through get_frame_data_ptr or a rebuild that made
  // other frames; a rebuild makes the frames anew.
  virtual u32 get_number_of_frames() = 0;
  virtual u32 get_number_of_potential_frames() = 0;
  virtual u32 get_frame_size(u32 frame) = 0;
  virtual u32 get_frame_data(u32 frame, u8* out) = 0;
  virtual u8* get_frame_data_ptr(u32 frame) = 0;
  virtual bool get_frame_single_byte(u32 frame, u32 offset, u8& out) = 0;
  virtual bool update_frame_data(u32 frame, u32 offset, u8 value) = 0;

  virtual void set_repetition_mode(VARNO_BLOCK_REPETITION mode) = 0;
  // get_block_size: an option block's image with its CRC word, a data
  // block's frames; read_block_data writes exactly that many bytes (a null
  // out is an internal error, "out != nullptr"), and is an internal error
  // before the block is built, as the frame reads are. On an option block
  // whose image changed after its CRC word was computed (the link words of
  // do_all_blocks, option or dynamic-value writes, a new random filler) it
  // is an internal error until crc_update ("Block OPTION_BITS read with a
  // stale CRC word: its image changed after the CRC was computed; call
  // crc_update() first"): the image is compared with the word, so a write
  // of the bits already there leaves it right. A block whose CRC word was
  // never computed (a skipped one, say) has no word to go stale.
  virtual u32 get_block_size() = 0;
  virtual void read_block_data(u8* out) = 0;
  virtual VOLD_FRAME_TYPE frame_type() = 0;
  virtual u32 block_type() = 0;

  // Device parameters and arguments by name (data blocks and sector-array
  // blocks), e.g. get_param_value("CRAM_FRAME_COUNT", 0u): value 0 of the
  // parameter. An index past its values is an internal error ("Parameter
  // ... index ... out of range ...").
  virtual u32 get_param_value(const std::string& name, u32 index) = 0;
  virtual u32 get_param_value(const std::string& name, std::string entry) = 0;
  virtual u32 get_param_size(const std::string& name) = 0;
  virtual u32 get_arg_value(const std::string& name, u32 index, u32 offset) = 0;
  virtual u32 get_arg_size(const std::string& name) = 0;
  virtual u32 get_arg_width(const std::string& name) = 0;

  virtual void clean_up() = 0;
  // Recomputes an option block's CRC word over its image and filler as they
  // are now (other blocks do nothing): after do_all_blocks has written
  // linked fields, and after any later write into the image, before the
  // image is read (read_block_data, the text dump).
  virtual void crc_update() = 0;
  virtual void set_random_filler(u16 filler) = 0;
  virtual void dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) = 0;
  // Builds this block alone, as do_all_blocks does (defer_2d false). On a
  // data block defer_2d true leaves the registration of the block's 2D
  // engine to a later register_2d_engine and marks the block processed:
  // later process calls, do_all_blocks' included, pass it over until
  // reset_process, and design data given to it meanwhile stays refused (see
  // the user-data input).
  virtual bool process(bool defer_2d) = 0;
  virtual u32 get_user_data_lfsr(u32 a, u32 b, u64 c, u32 d) = 0;
  virtual void reset_process() = 0;
  virtual void register_2d_engine() = 0;
  virtual void dump(std::ofstream* stream, VARNO_OUTPUT_FORMAT format) = 0;
  virtual void update_links() = 0;
};
