// Block groups: the blocks of up to four sectors per hardware decompression
// thread, two threads per group. A group turns its threads' frames into
// command/data streams compressed with raw deflate, and lays out the group
// descriptor that tells the device's decompressor how to unpack them:
// pre-actions, one half per thread with its parameter records and templates,
// a page bitmap, and post-actions.
//
// The order of the virtual operations of VARNO_IMBLOCK_GROUP is part of the
// binary interface with the host: do not reorder.
#pragma once

#include <array>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "varno_iblock.h"
#include "varno_types.h"
#include "vold_enums.h"

class VARNO_GEN;
class VARNO_BLOCK;
class VARNO_DBLOCK;
class VARNO_SBLOCK;
class VARNO_EBLOCK;
class VARNO_IMBLOCK;
class VARNO_MBLOCK;
class VARNO_BLOCK_CONFIG;
class VARNO_QV_2D_ENGINE;
struct VARNO_MGR_PARAM;

inline constexpr u32 QV_MAX_DC_THREADS = 2;
inline constexpr u32 QV_MAX_BLOCKS_PER_THREAD = 4;
// Bytes of a CNOC send packet without its payload.
inline constexpr u32 CNOC_SEND_ACTION_SIZE = 28;
// Interleave-map entry: the block contributes nothing in this slot.
inline constexpr u32 PR_SPARSE_SKIP_FLAG = 0x40000000;
// Interleave-map entry: a PR command (its argument in the low 31 bits) or a
// NOP record stands in the slot instead of a frame.
inline constexpr u32 PR_CMD_FLAG = 0x80000000u;
inline constexpr u32 PR_DUMMY_FLAG = 0x20000000u;
// Bit of qv_2d_compression that switches CRAM 2D compression on.
inline constexpr u32 VARNO_CRAM_2D_COMP_CHECK_BIT = 1;
// The group data is cut into pages of this size.
inline constexpr u32 VARNO_GROUP_PAGE_SIZE = 4096;
// Bytes of one template record of the descriptor.
inline constexpr u32 VARNO_TEMPLATE_SIZE = 24;

// Partial-reconfiguration mode (manager parameter pr_mode).
enum VARNO_QV_PR_MODE : u32 {
  VARNO_QV_PR_NONE = 0,
  VARNO_QV_PR_ROW = 1,
  VARNO_QV_PR_SPARSE = 2,
};

// The frame type of a compressed-frame header that carries no frame: a
// delay, gap or command record.
inline constexpr u32 VARNO_COMP_FRTYPE_CONTROL = 3;

// A bounded write cursor over a caller's buffer. Every write is checked
// against the capacity before it happens; an overrun raises the internal
// error given at construction. A null base only counts.
class VARNO_GROUP_WRITER {
 public:
  VARNO_GROUP_WRITER(u8* base, u64 capacity, const char* overrun_text)
      : m_base(base), m_capacity(capacity), m_overrun_text(overrun_text) {}

  // The next n bytes, which the caller fills; null when only counting.
  u8* reserve(u64 n);
  void dword(u32 value);
  void bytes(const u8* src, u64 n);
  // Leaves n bytes as they are.
  void skip(u64 n) { reserve(n); }
  u64 position() const { return m_pos; }
  u64 capacity() const { return m_capacity; }
  u8* base() const { return m_base; }

 private:
  u8* m_base;
  u64 m_capacity;
  u64 m_pos = 0;
  const char* m_overrun_text;
};

// A run of partial-reconfiguration ranges with the same column and length in
// consecutive IP rows.
struct VARNO_PR_RUN {
  u32 frame_start = 0;
  u32 length = 0;
  u32 row_count = 0;
};

// One hardware decompression thread of a block group. The group fills its
// lists, flags and sizes, then has it build and compress its stream.
class VARNO_DC_THREAD {
 public:
  VARNO_DC_THREAD();
  ~VARNO_DC_THREAD();
  VARNO_DC_THREAD(const VARNO_DC_THREAD&) = delete;
  VARNO_DC_THREAD& operator=(const VARNO_DC_THREAD&) = delete;

  // Stores gen and takes a private copy of its "COMP_FRAME_HDR" block.
  void set_generator(VARNO_GEN* gen);
  // Whether the first (false) or second (true) bus of the thread carries
  // blocks.
  bool is_bus_active(bool bus);
  bool check_is_fw_block(VARNO_DBLOCK* blk);
  bool check_for_mmio_flow_control_supported_tiles(VARNO_DBLOCK* blk);
  // Builds the record stream and compresses it; true on success and for a
  // thread without blocks.
  bool compress();

  // ---- Partial reconfiguration ---------------------------------------------
  void stitch_pr_ranges_for_spare_row();
  void create_pr_mask(bool cram);
  void adjust_pr_ranges_for_sparse_interleaving();
  void fill_interleaving_masks();
  // Logical IP row in, physical IP row out.
  void get_phys_pr_row(const u32& block_index, u32& row);
  // Writers into the stream at out; at most m_stream_room bytes. Each returns
  // the bytes written.
  u32 insert_pr_cmd(u8* out, u32 block_index, u32 thr, u32 frame);
  u32 insert_eram_pr_cmd(u8* out, u32 block_index, u32 thr, u32 frame, u32& col_info);

  // ---- BRAM and transceiver loads --------------------------------------------
  u32 get_bram_xcvr_commands(const VOLD_BLOCK_TYPE& type, u8* dest, const unsigned& thr,
                             VARNO_DBLOCK* blk);
  u32 get_bram_xcvr_frames(const VOLD_BLOCK_TYPE& type, u8* dest, const unsigned& thr,
                           VARNO_DBLOCK* blk);
  u32 get_bram_xcvr_compressed_data(const VOLD_BLOCK_TYPE& type, u8* dest, const unsigned& thr,
                                    VARNO_DBLOCK* blk);

  // ---- Literal codebook ----------------------------------------------------
  // Inverse of the codebook into addr; returns the codebook rows consumed.
  int copy_reversed_korvia_literals(u8* addr, unsigned bytes, VARNO_BLOCK_CONFIG* config,
                                    unsigned block_type);
  // Inverse of the codebook that the generator hands the host for
  // block_type (same source as VARNO_GEN::copy_korvia_codebook).
  int copy_reversed_host_literals(u8* addr, unsigned bytes, unsigned block_type);

  // The compressed stream (deflate output and 8 zero bytes) after compress.
  const u8* compressed_data() const { return m_compressed.get(); }
  u32 compressed_size() const { return m_compressed_size; }
  VARNO_SBLOCK* comp_frame_hdr_block() const { return m_CompFrmHdrBlk.get(); }

  // ---- State read and written by the group ----------------------------------
  std::vector<VARNO_MBLOCK*> m_MBlocksArray;  // borrowed, in add order
  std::vector<VARNO_BLOCK*> m_DBlocksArray;   // borrowed, in thread order
  // Per block position: start frame -> opcode << 16 | last frame.
  std::map<u32, u32> m_pr_frame_ranges[QV_MAX_BLOCKS_PER_THREAD];
  std::map<u32, u32> m_eram_row_last_col[QV_MAX_BLOCKS_PER_THREAD];
  std::map<u32, u32> m_InterleaveMap[QV_MAX_BLOCKS_PER_THREAD];
  u32 m_eram_cols[QV_MAX_BLOCKS_PER_THREAD] = {};
  u32 m_frame_offsets[QV_MAX_BLOCKS_PER_THREAD] = {};
  bool m_multi_address[QV_MAX_BLOCKS_PER_THREAD] = {};
  u32 m_comp_ratio = 100;
  // Payload bytes before compress, compressed bytes after it.
  u32 m_data_size = 0;
  u32 m_DcThreadFrames = 0;
  u32 m_max_pr_slots = 0;
  VARNO_GEN* m_Gen = nullptr;  // borrowed
  // COMP_HDR_CH register: keeps its value from record to record.
  u32 m_channel = 0;
  u32 m_thread_type = 0;  // 1 CRAM, 2 ERAM, 0 otherwise
  u8 m_interleave = 0;
  u8 m_test_mode = 0;
  // Frame bit masks per block position, least significant bit first; empty
  // until built.
  std::vector<u8> m_pr_masks[QV_MAX_BLOCKS_PER_THREAD];
  std::vector<VARNO_PR_RUN> m_partial_request_frame_info[QV_MAX_BLOCKS_PER_THREAD];
  u32 m_num_rows = 0;
  u32 m_frames_per_row = 0;
  u8 m_tk_flow = 0;
  u8 m_two_col_2d = 0;
  u8 m_multi_frame_chunk = 0;
  u8 m_tk_pr = 0;
  // Row ranges of the CRAM range pre-action: start row | end row << 16.
  u32 m_logical_pr_rows[QV_MAX_BLOCKS_PER_THREAD] = {};
  u32 m_phys_pr_rows[QV_MAX_BLOCKS_PER_THREAD] = {};
  // Room left at the destination of the PR and BRAM writers during compress.
  u64 m_stream_room = 0;

 private:
  // Raw deflate of the first length bytes of stream (remapped through table
  // when given) into the compressed buffer; false when zlib fails.
  bool deflate_stream(std::vector<u8>& stream, u64 length, const u8* table);
  // A zero-based COMP_FRAME_HDR image with these fields, appended to w.
  void write_comp_header(VARNO_GROUP_WRITER& w, u32 ch, u32 f_type, u32 s4, u32 thr, u32 len);

  std::unique_ptr<u8[]> m_compressed;
  u32 m_compressed_size = 0;
  std::unique_ptr<VARNO_SBLOCK> m_CompFrmHdrBlk;
};

// The group's calls into a data block's 2D engine. Process-wide; tests may
// install their own.
struct VARNO_GROUP_2D_ENGINE_OPS {
  u32 (*slices_per_row)(VARNO_QV_2D_ENGINE* engine) = nullptr;
  u32 (*fstruct_size)(VARNO_QV_2D_ENGINE* engine) = nullptr;
  // F-structure size times rows for a CRAM engine, the ERAM BBM size else.
  u32 (*bbm_size)(VARNO_QV_2D_ENGINE* engine) = nullptr;
  u32 (*copy_bstruct)(VARNO_QV_2D_ENGINE* engine, u8* dst) = nullptr;
  u32 (*copy_fstruct)(VARNO_QV_2D_ENGINE* engine, u8* dst) = nullptr;
  u32 (*copy_bbm)(VARNO_QV_2D_ENGINE* engine, u8* dst) = nullptr;
};

// The host's view of a block group (VARNO_IGEN::create_group). The host owns
// it and deletes it before its generator (no call once the generator is
// deleted; deleting the group then is safe). Order of use: set_group_type,
// the sectors with add_mblock, collect_data once, then the read-outs. The
// set-up calls after collect_data are internal errors ("Block group
// add_mblock() called after collect_data()", each by its name), and so are
// the sizes and read-outs before it ("Block group get_group_data() called
// before collect_data()") and after a block it collected was given design
// data since ("Block group get_group_data() called after the CRAM block of
// sector (0, 0) was given design data since collect_data()"). The read-outs
// of bytes (descriptor, group data, thread data) are refused too while the
// frames of a block they were made from differ from the frames collected
// (rebuilt from a buffer changed in place, patched, written through
// get_frame_data_ptr: "Block group get_group_data() called after the frames
// of the CRAM block of sector (0, 0) changed since collect_data()"); the
// same frames again are taken. A thread past
// 1 is an internal error ("thr_index < QV_MAX_DC_THREADS"); a null out where
// bytes would be written is one too ("out != nullptr").
class VARNO_IMBLOCK_GROUP {
 public:
  virtual ~VARNO_IMBLOCK_GROUP() = default;
  // A sector (a meta block of the generator's sector-array block) on thread
  // thr, 0 or 1; at most QV_MAX_BLOCKS_PER_THREAD a thread. A sector of
  // another generator is an internal error ("Block group add_mblock() of a
  // sector of another generator: ..."). collect_data
  // takes each sector's first block of the group's type, in add order, and
  // the descriptor gets the sectors' pre-actions.
  virtual void add_mblock(VARNO_IMBLOCK* b, unsigned thr) = 0;
  // A data block itself on thread thr, for blocks that are not a sector's
  // block of the group's type (top-level or stand-alone data blocks); a
  // thread given data blocks ignores its sectors. A group of data blocks
  // alone writes no pre-actions: a sector's CRAM block added here instead
  // of its sector costs the descriptor its per-sector packets (140 bytes on
  // the QUELVO example's group of four). A block of another generator than
  // the group's or one of its sectors' is an internal error ("Block group
  // add_dblock() of the CRAM block of sector (0, 0) of another generator:
  // ...").
  virtual void add_dblock(VARNO_IBLOCK* b, unsigned thr) = 0;
  virtual void clear_group() = 0;
  // The sectors of add_mblock on thread thr, and sector idx of them (null
  // past the end); the blocks of add_dblock are not counted.
  virtual u32 group_num_blocks(unsigned thr) = 0;
  virtual VARNO_IMBLOCK* block(int idx, unsigned thr) = 0;
  // type_name: the block type the group gathers ("CRAM", "ERAM", "FW",
  // "REGSCAN", "BRAM", "XCVR", ...); sub_name: the firmware kind of a FW
  // group ("IO", "IO_CONF"), else "".
  virtual void set_group_type(const std::string& type_name, const std::string& sub_name) = 0;
  virtual void enable_interleaving(bool on) = 0;
  // Descriptor plus page slots: get_group_descriptor_size() + 4096 x (pages
  // of thread 0 + pages of thread 1), a thread's pages being its size
  // rounded up to VARNO_GROUP_PAGE_SIZE. The group data alone is the full
  // size less the descriptor.
  virtual u32 get_group_full_size() = 0;
  virtual u32 get_group_descriptor_size() = 0;
  // Bytes of a thread's data: its raw-deflate stream and 8 zero bytes in a
  // compressed group, its frames' bytes in an uncompressed one.
  virtual u32 get_thread_size(unsigned thr) = 0;
  // The group data of a compressed group (group_compressed) in 4096-byte
  // page slots, page 0 of thread 0, page 0 of thread 1, page 1 of thread 0,
  // ...; a thread without that page has no slot. bytes must hold every slot.
  // The bytes after a thread's stream in its last page are not written:
  // clear the buffer first. On an uncompressed group it is an internal
  // error ("Block group get_group_data() called on a group that is not
  // compressed: ..."): its data is read with get_thread_data. Whether a
  // group is compressed is group_compressed of its generator's record when
  // create_group made it.
  virtual void get_group_data(u8* out, unsigned bytes) = 0;
  // Thread thr's data: in a compressed group the first bytes of its stream
  // (at most get_thread_size(thr)); in an uncompressed one its frames, which
  // bytes must have room for.
  virtual void get_thread_data(u8* out, unsigned bytes, unsigned thr) = 0;
  // The first bytes of the descriptor (at most its size).
  virtual void get_group_descriptor_data(u8* out, unsigned bytes) = 0;
  virtual void dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) = 0;
  // Adds the partial-reconfiguration frame range start .. end, with its
  // opcode, of sector slot sector_idx of thread thr_index; a range of the
  // same start replaces the one before. Refused at the call: start >
  // end ("Invalid PR parameter, frame range must be start (5) <= end (4)"),
  // thr_index above 1 ("Invalid PR parameter, thr_index (2) can't be greater
  // than max allowed value (2)"), a frame above 16383 or an opcode above
  // 0x1F ("Invalid PR parameter(s), can't be greater than max allowed values
  // (frame <= 16383, opcode <= 0x1F)"), sector_idx above 3 ("Invalid PR
  // parameter, sector_idx (4) can't be greater than max allowed value (4)").
  // With adjust_spare_rows the range is moved past the spare rows of the
  // sector's type_name block ("CRAM" or "ERAM"; the sector must be added at
  // sector_idx, "mblk != nullptr"), and a range that starts or ends in a
  // spare row is refused ("Invalid parameter(s), frame range [8, 8] can't
  // overlap spare row location [8, 9]").
  virtual void set_sector_frame_range(unsigned start, unsigned end, unsigned thr_index,
                                      unsigned sector_idx, unsigned opcode,
                                      const std::string& type_name, bool adjust_spare_rows) = 0;
  // Builds both threads' streams, compresses them when the group is
  // compressed and lays out the descriptor; once per group (a second call is
  // an internal error, and so is a group of no blocks). Every block it
  // collects must be built (do_all_blocks) from its design data as it is
  // now, and must not have built no frames for want of design data, none
  // given or given to slots its frame manager does not read: each is an
  // internal error that names the block and its sector, and for a block
  // given design data after its build says why no build since made its
  // frames (skipped, deferred by process(true), failed). A block whose last
  // build failed, its first as much as a rebuild, is refused until a build
  // of it succeeds ("Block group collects the CRAM block of sector (1, 1)
  // before a rebuild: its build failed"). A block the host skipped
  // (skip_block_processing) is taken as it is, unless it was given design
  // data after a build or its build failed. multithread is not used.
  virtual void collect_data(bool multithread) = 0;
  virtual bool is_thread_active(unsigned thr) = 0;
  virtual u32 get_comp_ratio(unsigned thr) = 0;
  virtual u32 get_2d_setup_size(unsigned thr) = 0;
  virtual u32 get_2d_setup_data(u8* out, unsigned thr) = 0;
  virtual u8* get_sg_param() = 0;
};

class VARNO_MBLOCK_GROUP : public VARNO_IMBLOCK_GROUP {
 public:
  // gen must not be null; the group borrows it.
  explicit VARNO_MBLOCK_GROUP(VARNO_GEN* gen);
  ~VARNO_MBLOCK_GROUP() override;
  VARNO_MBLOCK_GROUP(const VARNO_MBLOCK_GROUP&) = delete;
  VARNO_MBLOCK_GROUP& operator=(const VARNO_MBLOCK_GROUP&) = delete;

  // ---- Host interface --------------------------------------------------------
  void add_mblock(VARNO_IMBLOCK* b, unsigned thr) override;
  void add_dblock(VARNO_IBLOCK* b, unsigned thr) override;
  void clear_group() override;
  u32 group_num_blocks(unsigned thr) override;
  VARNO_IMBLOCK* block(int idx, unsigned thr) override;
  void set_group_type(const std::string& type_name, const std::string& sub_name) override;
  void enable_interleaving(bool on) override;
  u32 get_group_full_size() override;
  u32 get_group_descriptor_size() override;
  u32 get_thread_size(unsigned thr) override;
  // out must hold (pages of thread 0 + pages of thread 1) * 4096 bytes.
  void get_group_data(u8* out, unsigned bytes) override;
  void get_thread_data(u8* out, unsigned bytes, unsigned thr) override;
  void get_group_descriptor_data(u8* out, unsigned bytes) override;
  void dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) override;
  void set_sector_frame_range(unsigned start, unsigned end, unsigned thr_index,
                              unsigned sector_idx, unsigned opcode, const std::string& type_name,
                              bool adjust_spare_rows) override;
  void collect_data(bool multithread) override;
  bool is_thread_active(unsigned thr) override;
  u32 get_comp_ratio(unsigned thr) override;
  u32 get_2d_setup_size(unsigned thr) override;
  // out must hold get_2d_setup_size(thr) bytes.
  u32 get_2d_setup_data(u8* out, unsigned thr) override;
  u8* get_sg_param() override { return &m_sg_param; }

  // ---- Assembly ----------------------------------------------------------------
  bool compress();
  void create_descriptor();
  bool check_is_fw_block(unsigned thr, unsigned idx);

  // ---- Templates -----------------------------------------------------------------
  // Writes the thread's templates at out (room for get_num_templates of both
  // lists); returns the bytes written.
  unsigned fill_templates(u8* out, unsigned thr);
  u32 get_num_templates(unsigned thr, bool second);
  unsigned fill_tk_eram_templates(u8* out, unsigned thr, bool first, u32 nop, u32 fifteen, u32 len,
                                  u32 k, u32 x, u32 y, u32 u, VARNO_QV_PR_MODE mode);

  // ---- Thread parameter records ----------------------------------------------------
  // Writes get_num_sector_threads(thr) records of the DC_THREAD_PARAMS size
  // at out; returns 0.
  unsigned fill_dc_params(u8* out, unsigned thr);
  u32 get_start_end_bbm_offset(unsigned thr, unsigned i);
  // ORs the S4 fuse settings into out, which has room bytes.
  void write_sector_s4_fs(VARNO_IBLOCK* block, u8* out, u32 room = VARNO_INVALID_DWORD);

  // ---- Pre- and post-actions and CNOC packets -----------------------------------------
  u32 cnoc_send_no_cmd_packet(u8* dest, VARNO_BLOCK* blk, u32 len, u32 thr, u32 idx, u32 areg,
                              u32 offset);
  u32 cnoc_delay(u8* dest, u32 delay);
  u32 intr_wait(u8* dest, u32 value);
  u32 cnoc_send_to_cnts(u8* dest, u32 fill, u32 delay, u32 areg, u32 offset, u32 skip,
                        const u32* counts);
  u32 get_pre_descriptor_size();
  u32 get_post_descriptor_size();
  // dest must hold get_pre_descriptor_size() (get_post_descriptor_size())
  // bytes.
  u32 write_pre_actions(u8* dest);
  u32 write_post_actions(u8* dest);
  u32 get_num_sector_threads(unsigned thr);
  u32 get_cnoc_address_count(u32 fw_type);
  // dest holds the image size of the CNOC_HEADER block.
  void fill_nop_cnoc_header(u8* dest, unsigned index);
  void reorder_cnoc_map(const bool* flags, u32 n, u32* index, std::vector<VARNO_BLOCK*>* blocks);
  void set_ip_row_info(u32 rows, u32 frames);

  // ---- Read access for tests and neighbours ----------------------------------------------
  VARNO_DC_THREAD& thread(unsigned thr);
  const std::string& type_name() const { return m_type_name; }
  u32 group_type_code() const { return m_group_type; }
  bool test_mode() const { return m_test_mode; }
  bool two_d_exception() const { return m_2d_exception; }
  u32 pages(unsigned thr) const { return m_pages[thr < QV_MAX_DC_THREADS ? thr : 0]; }
  u32 brow_size() const { return m_brow_size; }
  u32 brow_frame_size() const { return m_brow_frame_size; }
  const u32* post_action_counts() const { return m_post_counts; }
  // The descriptor as create_descriptor laid it out, whether or not
  // collect_data ran.
  std::vector<u8> descriptor_bytes() const {
    return std::vector<u8>(m_descriptor.get(), m_descriptor.get() + m_DescriptorSize);
  }

  // Installs ops (every null member keeps the one in force) and returns the
  // ones in force before.
  static VARNO_GROUP_2D_ENGINE_OPS set_2d_engine_ops(const VARNO_GROUP_2D_ENGINE_OPS& ops);
  static const VARNO_GROUP_2D_ENGINE_OPS& engine_ops();

 private:
  struct TEMPLATE_CONTEXT;
  struct BLOCK_LIST;

  // The generator's manager parameters.
  const VARNO_MGR_PARAM& param() const;
  // VOLD_DEVICE_TYPE of the generator's device; its device data must exist.
  u32 device_type_of_top() const;
  VARNO_DC_THREAD& checked_thread(unsigned thr);
  // Internal errors for a host's read of the group's results before
  // collect_data, and for a change of what it collects after.
  void require_collected(const char* call) const;
  void require_not_collected(const char* call) const;
  // require_collected, and for the read-outs that hand out bytes made from
  // the frames (of thread thr, or of both threads when thr is
  // QV_MAX_DC_THREADS): those frames still as the blocks hold them.
  void require_same_frames(const char* call, unsigned thr) const;
  // Whether thread thr (below QV_MAX_DC_THREADS) has data.
  bool thread_active(unsigned thr) const;
  void expand_meta_blocks(unsigned t, bool tk_4cnoc, bool tk_eram_interleave, bool test,
                          std::map<u32, u32>& group_columns, bool& any_multi);
  void get_uncompressed_thread_data(u8* out, unsigned bytes, unsigned thr);

  // Writer-based forms of the packet builders and action writers.
  void packet(VARNO_GROUP_WRITER& w, VARNO_BLOCK* blk, u32 len, u32 thr, u32 idx, u32 areg,
              u32 offset);
  void send_to_cnts(VARNO_GROUP_WRITER& w, u32 fill, u32 delay, u32 areg, u32 offset, u32 skip,
                    const u32* counts);
  void pre_actions(VARNO_GROUP_WRITER& w);
  void post_actions(VARNO_GROUP_WRITER& w);
  void dc_params(VARNO_GROUP_WRITER& w, unsigned thr);
  void templates(VARNO_GROUP_WRITER& w, unsigned thr);
  void tk_eram_templates(VARNO_GROUP_WRITER& w, TEMPLATE_CONTEXT& c, bool first, u32 nop,
                         u32 fifteen, u32 len, u32 k, u32 x, u32 y, u32 u, VARNO_QV_PR_MODE mode);
  BLOCK_LIST classify_blocks(unsigned thr);

  VARNO_DC_THREAD m_DcThreads[QV_MAX_DC_THREADS];
  u32 m_pages[QV_MAX_DC_THREADS] = {};
  // Post-action byte counts, one per data block over both threads.
  u32 m_post_counts[2 * QV_MAX_BLOCKS_PER_THREAD] = {1, 1, 1, 1, 1, 1, 1, 1};
  VARNO_GEN* m_Gen = nullptr;  // borrowed
  std::string m_type_name;
  std::string m_sub_name;
  bool m_interleave = false;
  bool m_test_mode = false;
  bool m_compressed = false;
  bool m_collected = false;
  // Each collected block with its thread, its design_changes() and the
  // fingerprint of its frames when collected (0 for a block of no frames).
  struct COLLECTED_BLOCK {
    VARNO_BLOCK* block;
    unsigned thread;
    u32 design_changes;
    u64 frames;
  };
  std::vector<COLLECTED_BLOCK> m_collected_blocks;
  u32 m_DescriptorSize = 0;
  std::unique_ptr<u8[]> m_descriptor;
  u32 m_group_type = 0;
  std::unique_ptr<VARNO_SBLOCK> m_action_hdr_blk;
  std::unique_ptr<VARNO_SBLOCK> m_cnoc_blk;
  std::unique_ptr<VARNO_SBLOCK> m_cnt_blk;
  std::unique_ptr<VARNO_SBLOCK> m_eram_hdr_blk;
  std::unique_ptr<VARNO_SBLOCK> m_sector_grp_action_blk;
  std::unique_ptr<VARNO_SBLOCK> m_sector_grp_half_block;
  std::unique_ptr<VARNO_SBLOCK> m_sector_grp_dc_params;
  u32 m_cnoc_blk_size = 0;
  u32 m_cnt_blk_size = 0;
  u32 m_action_hdr_blk_size = 0;
  u32 m_eram_hdr_blk_size = 0;
  u32 m_brow_size = 0;
  u32 m_brow_frame_size = 0;
  bool m_2d_exception = false;
  bool m_tk_flow = false;
  u8 m_sg_param = 0;
};

namespace VARNO_GROUP_DETAIL {
// The meta block of the sector whose generator owns block; null for a block
// outside any sector.
VARNO_MBLOCK* sector_of(VARNO_IBLOCK* block);
// Rounds up to a multiple of 8.
inline u64 round_up_8(u64 n) { return (n + 7) & ~u64{7}; }
}  // namespace VARNO_GROUP_DETAIL

// Device name -> split-redundancy units, each a list of sector x positions.
using VARNO_SPLIT_REDUNDANCY_MAPPING = std::vector<std::vector<unsigned>>;
extern const std::map<std::string, VARNO_SPLIT_REDUNDANCY_MAPPING> M_VARNO_SPLIT_REDUNDANCY_MAP;

// One template of a finished list, for reordering by key.
class VARNO_TEMPLATE {
 public:
  VARNO_TEMPLATE(const u8* data, u32 size);
  void print_template() const;
  u8 m_data[VARNO_TEMPLATE_SIZE] = {};
  u32 m_size = 0;
  // Bit 8: the list bit of the control word; bits 0-4: its index bits.
  u32 m_key = 0;
};

// Cuts a template area into templates, sorts them by key and writes them back.
class VARNO_TEMPLATE_MGR {
 public:
  // data stays the caller's; size is 1 to 24.
  VARNO_TEMPLATE_MGR(u8* data, unsigned count, unsigned size);
  void sort_templates();
  unsigned copy_sorted_templates(u8* out);
  void print_templates() const;
  void print_data() const;
  const std::vector<VARNO_TEMPLATE>& templates() const { return m_templates; }

 private:
  u8* m_data;
  u32 m_count;
  u32 m_size;
  std::vector<VARNO_TEMPLATE> m_templates;
};
