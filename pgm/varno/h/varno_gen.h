// The generator: turns the family and device parameter files of one device,
// or of one sector of a sector-based device, into a list of blocks, and the
// process-wide factory that makes generators for the host and for sectors.
//
// The order of the virtual operations of VARNO_IGEN and VARNO_IGEN_FACTORY is
// part of the binary interface with the host: do not reorder.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "varno_iblock.h"
#include "varno_mgr_param.h"
#include "varno_types.h"
#include "vold.h"

class VARNO_IMBLOCK;
class VARNO_MBLOCK;
class VARNO_IMBLOCK_GROUP;
class VARNO_ITOP_BITSTREAM;
class VARNO_QV_2D_ENGINE;

// Suffixes of the LSM-delay parameter names by device or family type (the
// tables are in varno_tables.h).
using VARNO_LSM_DELAY_MAP = std::map<u32, std::string>;

// Statuses of process_pcfs. A sector that fails gives the same values, and
// the first failing sector's status is the generator's.
inline constexpr u32 VARNO_PCF_OK = 0;
// The family file is not there (nor with ".ddb" appended): the top
// generator's (it then has no blocks) or a sector's.
inline constexpr u32 VARNO_PCF_FAMILY_MISSING = 1;
// A data block's frame manager could not be made or set up, here or in a
// sector; the blocks after it have none.
inline constexpr u32 VARNO_PCF_FRAME_MGR_FAILED = 7;

// The host's view of a generator. A host gets one from the factory
// (varno_get_factory()->create_generator()), owns it and deletes it after the
// groups made from it. Every failed check of the library is an internal error
// through the host's message handler (msg.h), which does not return; the
// expected failures are the statuses and false results told here. The
// library takes calls from one thread at a time, also on different
// generators: the factories, the sector-name tables, the device database's
// last error and the debug level are shared by the whole process.
class VARNO_IGEN {
 public:
  virtual ~VARNO_IGEN() = default;

  // Names of the family and device parameter files, before process_pcfs:
  // paths, or with process_pcfs(by_name = true) names that a relative name
  // takes against the device database's search directory
  // (VOLD_DATA_SERVER::set_search_path). A name that does not exist is
  // tried with ".ddb" appended. Sector files are named by the library, in
  // the family file's directory (see process_pcfs). A later call replaces
  // the name. Once process_pcfs has loaded the model (any outcome but
  // VARNO_PCF_FAMILY_MISSING) they are internal errors ("set_family_pcf after
  // process_pcfs", "set_device_pcf after process_pcfs"): the new name would
  // not be loaded.
  virtual void set_family_pcf(const std::string& name) = 0;
  virtual void set_device_pcf(const std::string& name) = 0;
  // Sector (x, y) of the sector-array block of that name; null outside the
  // grid. A name that is no sector-array block of this generator is an
  // internal error.
  virtual VARNO_IMBLOCK* get_meta_block(std::string name, u32 x, u32 y) = 0;
  // Block lookup by block-type name or VOLD_BLOCK_TYPE: the first block of
  // the type, or null (an unknown name, a type past the block types, no such
  // block, no model yet); the generator owns it. With copy, a new copy of an
  // option block that the caller owns, a new one each call (another kind is
  // an internal error, "sblock != nullptr"): built afresh from the family's
  // constants and defaults and the device's option values, without the
  // option writes the host made to the generator's block and without link
  // words. It reads the generator's records: use it while the generator
  // lives.
  virtual VARNO_IBLOCK* get_block(const std::string& name, bool copy) = 0;
  virtual VARNO_IBLOCK* get_block(u32 type, bool copy) = 0;
  // Block i of max_block_index() in family order; null past the end.
  virtual VARNO_IBLOCK* get_block_by_index(u32 i) = 0;

  // Builds the block model, once per generator (a second call is an
  // internal error, "m_family_pcf_info == nullptr"; after
  // VARNO_PCF_FAMILY_MISSING nothing was loaded, and the host may name
  // another family file and call again): loads the family file, makes its blocks, hands them the
  // device file's parameters, then loads every sector and sets up every
  // data block's frame manager. Returns a VARNO_PCF_* status.
  //   by_name: the files are names for the search directory (see
  //     set_family_pcf); false: paths.
  //   defer_s4: the device's S4/S2 list is only sized, to be shared; shared:
  //     with defer_s4, the VOLD_DEVICE_INFO whose list it shares. A host
  //     passes false and null: sectors that load one device file share its
  //     list on their own.
  //   c: handed to the device database's by-name loader; not used by the
  //     library.
  //   top_device_type: the VOLD_DEVICE_TYPE of the top-level device (a host
  //     reads it from its device file); every sector records it.
  // Sector files: for each sector-array block with an ARRAY_COUNT parameter,
  // each cell's sector loads, from the family file's directory, the family
  // file <f><part>family_vold and the device file <d><part><type>, where
  // part is the block's name up to its first '_' in lower case ("sector_"),
  // f and d the family's prefixes (QUELVO "quelvo_" and "qv_", TROSKIVANE
  // "troskivane_" and "tk_", WILBERTOSKA "wilbertoska_" and "wx_"; "aib_"
  // devices have no prefix) and type the name of the cell's ARRAY_TYPE value
  // (or overwrite_block_param_type's) in the family's sector-name table.
  // A family or device file that is there but does not load is an internal
  // error ("Invalid family pcf file", "Invalid device pcf file");
  // VOLD_DATA_SERVER::last_error() then holds the loader's reason.
  virtual u32 process_pcfs(bool by_name, bool defer_s4, bool c, void* shared, u32 top_device_type) = 0;
  // Builds every block in index order, the sectors' blocks included: option
  // blocks compute their images and CRC words, data blocks their frames from
  // the data set_data gave them (those buffers must be alive here, at every
  // build). Stops at the first block whose build fails and returns false;
  // true otherwise. A block whose build failed (false, or an internal error
  // out of it) is refused by its read-outs, a group and the text dump until
  // a build of it succeeds.
  // Then, always, linked fields of option blocks receive the sizes of the
  // blocks they point at: their CRC words are stale until crc_update, which
  // a host calls on every block it reads after this, sectors' included
  // (read_block_data and the text dump refuse a stale word).
  // Until a block is built, reading its image or frames is an internal error.
  // A second call builds every block again, from the design data as it is
  // now: the way to frames of design data given after the first. It passes
  // over the blocks the host skipped and those built with process(true)
  // (until reset_process): a data block of them given design data since its
  // build stays refused, and so does one whose rebuild failed. Before
  // process_pcfs there is nothing to build (true).
  virtual bool do_all_blocks() = 0;
  // reset_process on every block (a sector-array block: every sector's), so
  // that blocks built with process(true) build again.
  virtual void reset_all_blocks() = 0;
  virtual void register_all_blocks_2d_engine() = 0;
  // Builds the block of that name alone (process(false)); false for an
  // unknown name or a failed build.
  virtual bool do_block(const std::string& name) = 0;
  // Builds frames first to last of the data block of that name and appends
  // them to its frames; on a block not built yet it is the block's first
  // build. False for an unknown name or another kind of block, a range past
  // the frames, and a block given design data since its build or whose
  // last build failed: a partial build adds frames of the same data, and of
  // a build that succeeded, only, so it appends nothing and the block stays
  // as it is (from debug level 1 the library says why). A first build that
  // returns false, or any partial build an internal error ends, leaves the
  // block failed.
  virtual bool do_partial_block(const std::string& name, u32 first, u32 last) = 0;
  // The frame count of the data block of that name; after its build it
  // counts as new design data (see VARNO_IBLOCK's user-data input).
  virtual void adjust_num_frames(const std::string& name, u32 count) = 0;
  // Has every later build pass the block of that name over; returns it, or
  // null. A block skipped before any build is taken as it is (a group takes
  // it, with what it holds); one given design data after a build is refused
  // like any changed block, for good: the skip is not taken back.
  virtual VARNO_IBLOCK* skip_block_processing(const std::string& name) = 0;
  // Makes the sector at column a, row b of the sector-array block name use
  // sector type c (a, b below 4096, c below 256), before process_pcfs (after
  // it, an internal error: "overwrite_block_param_type after process_pcfs").
  // Values outside those fields are ignored, with an error message from debug
  // level 1 on; an override that names no cell of a sector-array block is
  // not used. For one cell the first override counts.
  virtual void overwrite_block_param_type(const std::string& name, u32 a, u32 b, u32 c) = 0;
  // Index of the block get_block(name, false) finds; 0xFFFFFFFF for none.
  virtual u32 block_index(const std::string& name) = 0;
  // Number of blocks of this generator (sectors' blocks not counted); 0
  // before process_pcfs.
  virtual u32 max_block_index() = 0;
  // Sum of get_block_size() over this generator's blocks (a sector-array
  // block counts 0), modulo 2^32; 0 without blocks.
  virtual u32 bt_size() = 0;
  // A new block group bound to this generator, which must have a
  // SECTOR_ARRAY block. The caller owns it and deletes it before the
  // generator. It reads group_compressed, qv_test_mode and tk_flow of this
  // generator's manager parameters now: set later, or only on the sector
  // generators, group_compressed is not seen, and the group's
  // get_group_data is then an internal error. The group's collect_data
  // reads this record again: deflate_store, tk_flow and qv_test_mode.
  virtual VARNO_IMBLOCK_GROUP* create_group() = 0;
  // A new, empty top-level bitstream; the caller owns it. It holds no
  // pointer to the generator.
  virtual VARNO_ITOP_BITSTREAM* create_top_bitstream() = 0;

  // Text dump of this generator's blocks in index order (format
  // VARNO_OUTPUT_FORMAT_DAT only; another format is an internal error). A
  // sector-array block writes nothing: a host dumps each sector's generator
  // itself. A file that does not open is not reported: check for it. Before
  // any of the generator's blocks is built it is an internal error ("Text
  // dump before do_all_blocks built any block"), and no file is made; so is
  // a dump of a data block given design data since its build ("Text dump
  // before a rebuild of block CRAM of sector (0, 0): its design data came
  // after do_all_blocks built it", or another reason) and of an option block
  // whose image changed after its CRC word ("Text dump with a stale CRC word
  // of block OPTION_BITS: its image changed after the CRC was computed; call
  // crc_update() first"). A generator without blocks (before process_pcfs)
  // writes an empty file. A second dump rewrites the file.
  virtual void write_to_file(const std::string& path, VARNO_OUTPUT_FORMAT format) = 0;
  // The generator's manager-parameter record, which the host fills before
  // process_pcfs and the library only reads. Sector generators have records
  // of their own, with the defaults.
  virtual VARNO_MGR_PARAM* get_mgr_param() = 0;
  virtual VARNO_MGR_TALKBACK* get_mgr_talkback() = 0;
  // Level of the library's own messages on standard error, 0 (none, the
  // default) to 5; process-wide.
  virtual void set_util_debug_level(u32 level) = 0;
  // One expected-data file per data block that has data and a manager that
  // writes one: path/<BLOCK>.img, and a directory path/<ARRAY>X<x>Y<y> per
  // sector. The directory path is made when missing (one that cannot be made
  // is an internal error, "Invalid path for dumping golden image"); files
  // already there stay. Every data block must have its frame manager
  // (status 0). The files come from the design data, so the blocks need not
  // be built; before process_pcfs only the directory is made.
  virtual void dump_expected_data(const std::string& path) = 0;

  // 2D library image, made by do_all_blocks when qv_2d_compression is set;
  // before that, and after clear_2d_data, its size and offsets are 0.
  virtual u32 get_2d_libs_size() = 0;
  // Copies the first bytes bytes of the image to dst and returns 0. bytes
  // above the size is an internal error ("bytes <= m_2d_libs_size"), and so
  // is a null dst with bytes above 0 ("dst != nullptr || bytes == 0").
  virtual int copy_2d_libs(u8* dst, u32 bytes) = 0;
  // 5: CRAM IP types 0 to 3, then ERAM.
  virtual u32 get_2d_ip_libs_count() = 0;
  // Offset in 8-byte units of the libraries of CRAM IP type ip (0 to 3);
  // any larger ip gives the ERAM library's.
  virtual u32 get_ip_offset(u32 ip) = 0;
  // Releases the image and the data blocks' 2D engines; again, nothing.
  // After a merge the blocks' frames are residues: a group collected after
  // this refuses them until the blocks are built again.
  virtual void clear_2d_data() = 0;
  // Word 0 or 1 of the prediction settings (by tk_flow); another index is an
  // internal error ("wrd_idx == 0 || wrd_idx == 1").
  virtual u32 get_2d_pred_settings(u32 wrd_idx) = 0;

  // Decompressor set-up records and literal codebooks. All of them need the
  // model: before process_pcfs the S4 calls are internal errors
  // ("family_info != nullptr"), and so are the codebook calls on a
  // generator without a "SECTOR_ARRAY" block ("eblock != nullptr").
  //
  // Bytes of the S4 setup image: 48 (QUELVO), 136 (TROSKIVANE), 0 for other
  // families.
  virtual u32 get_s4_setup_size() = 0;
  // Copies the first bytes bytes of the S4 setup image to addr. A null addr
  // or bytes 0 ("addr != nullptr && bytes > 0"), bytes above the size
  // ("bytes <= m_s4_setup_size") and a family without an image
  // ("m_s4_setup_size > 0") are internal errors.
  virtual void copy_s4_setup(u8* addr, u32 bytes) = 0;
  // 40 with ext, else 24.
  virtual u32 get_decomp_setup_size(bool ext) = 0;
  // Writes one decompression setup record to addr and returns its size: for
  // thread dc_idx's 2D setup data of group, or the codebook of block_type,
  // or (neither) the 2D library image. Internal errors: a null addr
  // ("addr != nullptr"), both a group and a block type ("group == nullptr ||
  // block_type == 0"), dc_idx above 1 ("DC thread index (2) must be < 2"),
  // bytes below the record ("bytes >= data_size"), an empty payload
  // ("data_size > 0": no image before do_all_blocks, no codebook for the
  // type, a group without 2D setup data).
  virtual u32 copy_decomp_setup(u8* addr, u32 bytes, u32 dc_idx, VARNO_IMBLOCK_GROUP* group,
                                u32 block_type, bool ext) = 0;
  // Bytes of block_type's codebook (8 a literal), 0 when it has none.
  virtual u32 get_korvia_codebook_size(u32 block_type) = 0;
  // Writes block_type's codebook to addr and returns its size; 0, with
  // nothing written, when the type has none. Internal errors: a null addr
  // ("addr != nullptr"), bytes below 2048 ("bytes >=
  // TK_GZIP_KORVIA_CODEBOOK_SIZE"), a codebook longer than bytes.
  virtual u32 copy_korvia_codebook(u8* addr, u32 bytes, u32 block_type, bool low_byte_first) = 0;
  // Replaces types with the block types that have a codebook. A generator
  // without blocks (before process_pcfs) leaves types as they were.
  virtual void get_korvia_codebook_types(std::vector<u32>& types) = 0;
};

class VARNO_GEN : public VARNO_IGEN {
 public:
  VARNO_GEN();
  ~VARNO_GEN() override;
  VARNO_GEN(const VARNO_GEN&) = delete;
  VARNO_GEN& operator=(const VARNO_GEN&) = delete;

  void set_family_pcf(const std::string& name) override;
  void set_device_pcf(const std::string& name) override;
  VARNO_IMBLOCK* get_meta_block(std::string name, u32 x, u32 y) override;
  VARNO_IBLOCK* get_block(const std::string& name, bool copy) override;
  VARNO_IBLOCK* get_block(u32 type, bool copy) override;
  VARNO_IBLOCK* get_block_by_index(u32 i) override;
  u32 process_pcfs(bool by_name, bool defer_s4, bool c, void* shared, u32 top_device_type) override;
  bool do_all_blocks() override;
  void reset_all_blocks() override;
  void register_all_blocks_2d_engine() override;
  bool do_block(const std::string& name) override;
  bool do_partial_block(const std::string& name, u32 first, u32 last) override;
  void adjust_num_frames(const std::string& name, u32 count) override;
  VARNO_IBLOCK* skip_block_processing(const std::string& name) override;
  void overwrite_block_param_type(const std::string& name, u32 a, u32 b, u32 c) override;
  u32 block_index(const std::string& name) override;
  u32 max_block_index() override;
  u32 bt_size() override;
  VARNO_IMBLOCK_GROUP* create_group() override;
  VARNO_ITOP_BITSTREAM* create_top_bitstream() override;
  void write_to_file(const std::string& path, VARNO_OUTPUT_FORMAT format) override;
  VARNO_MGR_PARAM* get_mgr_param() override;
  VARNO_MGR_TALKBACK* get_mgr_talkback() override;
  void set_util_debug_level(u32 level) override;
  void dump_expected_data(const std::string& path) override;
  u32 get_2d_libs_size() override;
  int copy_2d_libs(u8* dst, u32 bytes) override;
  u32 get_2d_ip_libs_count() override;
  u32 get_ip_offset(u32 ip) override;
  void clear_2d_data() override;
  u32 get_2d_pred_settings(u32 wrd_idx) override;
  u32 get_s4_setup_size() override;
  void copy_s4_setup(u8* addr, u32 bytes) override;
  u32 get_decomp_setup_size(bool ext) override;
  u32 copy_decomp_setup(u8* addr, u32 bytes, u32 dc_idx, VARNO_IMBLOCK_GROUP* group,
                        u32 block_type, bool ext) override;
  u32 get_korvia_codebook_size(u32 block_type) override;
  u32 copy_korvia_codebook(u8* addr, u32 bytes, u32 block_type, bool low_byte_first) override;
  void get_korvia_codebook_types(std::vector<u32>& types) override;

  // Steps of process_pcfs, in the order it runs them.
  bool process_device_parameters(bool by_name, bool defer_s4, bool c, void* shared,
                                 u32 top_device_type);
  void post_process();
  u32 init_sectors(bool by_name, bool defer_s4);
  bool init_frame_mgrs();
  // Lets every block write the sizes of the blocks it refers to.
  void do_block_links();
  void merge_and_create_2d_libs();
  // Sets out to the sector type the host chose for cell (a, b) of the
  // sector-array block name; out is left alone without such a choice.
  void overwrite_block_type(std::string name, u32 a, u32 b, u32& out);

  // Configuration data width in bits from the family header; 0 before
  // process_pcfs.
  u32 config_data_width() const { return m_config_data_width; }
  const std::string& family_pcf() const { return m_family_pcf; }
  const std::string& device_pcf() const { return m_device_pcf; }
  // The loaded parameter information (owned here); null before loading.
  VOLD_INFO* family_pcf_info() const { return m_family_pcf_info; }
  VOLD_INFO* device_pcf_info() const { return m_device_pcf_info; }
  // The sector this generator serves; null for a top generator. Frame
  // managers of a sector reach the top generator through it.
  VARNO_MBLOCK* meta_block() const { return m_meta_block; }
  void set_meta_block(VARNO_MBLOCK* meta_block) { m_meta_block = meta_block; }
  const VARNO_LSM_DELAY_MAP* device_lsm_delays() const { return m_device_lsm_delays; }
  const VARNO_LSM_DELAY_MAP* family_lsm_delays() const { return m_family_lsm_delays; }
  // 2D engines of the data blocks of this generator and of its sectors (not
  // owned here).
  std::vector<VARNO_QV_2D_ENGINE*>& registered_2d_engines() { return m_2d_engines; }
  // The engine that holds the merged hash counts; null until the first
  // library merge and after clear_2d_data.
  const VARNO_QV_2D_ENGINE* combined_2d_engine() const { return m_combined_engine; }

 private:
  // Creates the block of one family block-list entry and enters it.
  void create_block(const VOLD_BLOCK_ENTRY& entry);
  void add_block(std::unique_ptr<VARNO_IBLOCK> block, u32 type);

  u32 m_config_data_width = 0;
  std::vector<VARNO_IBLOCK*> m_Blocks;            // owned; position = block index
  std::map<u32, VARNO_IBLOCK*> m_type_map;        // first block of each type
  std::map<VARNO_IBLOCK*, u32> m_BlockToNameMap;  // block to its VOLD_BLOCK_TYPE
  std::multimap<std::string, u32> m_block_type_overrides;  // name to c << 24 | b << 12 | a
  std::string m_family_pcf;
  std::string m_device_pcf;
  VOLD_INFO* m_family_pcf_info = nullptr;  // owned
  VOLD_INFO* m_device_pcf_info = nullptr;  // owned
  VOLD_OB_DATA_LIST* m_device_option_bits = nullptr;  // borrowed from the device information
  const VARNO_LSM_DELAY_MAP* m_device_lsm_delays;  // the library's tables
  const VARNO_LSM_DELAY_MAP* m_family_lsm_delays;
  VARNO_MGR_PARAM m_mgr_param;
  VARNO_MGR_TALKBACK m_mgr_talkback;
  VARNO_MBLOCK* m_meta_block = nullptr;
  u32 m_2d_libs_size = 0;
  u32 m_s4_setup_size = 0;
  u8* m_2d_libs = nullptr;   // owned, array
  u8* m_s4_setup = nullptr;  // owned, array
  std::vector<VARNO_QV_2D_ENGINE*> m_2d_engines;
  u32 m_cram_lib_offsets[4] = {};
  u32 m_eram_lib_offset = 0;
  VARNO_QV_2D_ENGINE* m_combined_engine = nullptr;  // owned; made by the library merge
};

class VARNO_IGEN_FACTORY {
 public:
  virtual ~VARNO_IGEN_FACTORY() = default;
  // A new generator with default settings, a new one each call; the caller
  // owns it. It does not refer to the factory.
  virtual VARNO_IGEN* create_generator() = 0;
};

// The process-wide generator factory: at most one exists at a time.
class VARNO_GEN_FACTORY : public VARNO_IGEN_FACTORY {
 public:
  // The factory, made on first call.
  static VARNO_GEN_FACTORY* get_instance();
  ~VARNO_GEN_FACTORY() override;
  VARNO_IGEN* create_generator() override;

 private:
  VARNO_GEN_FACTORY() = default;
};

// Entry point of the host: the process-wide generator factory, made on first
// call; the same object on every call until something deletes it (nothing
// in the library does), then a new one.
extern "C" VARNO_IGEN_FACTORY* varno_get_factory();
