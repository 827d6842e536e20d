// The set-up that every frame manager of the sector-based families shares:
// the parent block and its generator, the current sector with its
// sector-array block, the header option blocks and their sizes, the frame
// size of the frame descriptor, the user-data size check, the frame range
// that the manager parameters select, and the expected-data file.
#pragma once

#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "varno_frame_mgr.h"
#include "varno_iblock.h"
#include "varno_types.h"

class VARNO_BLOCK_CONFIG;
class VARNO_DBLOCK;
class VARNO_EBLOCK;
class VARNO_FRAME;
class VARNO_GEN;
class VARNO_MBLOCK;
class VARNO_SBLOCK;
struct VARNO_MGR_PARAM;

class VARNO_QV_FRAME_MGR_BASE : public VARNO_FRAME_MGR {
 public:
  ~VARNO_QV_FRAME_MGR_BASE() override;
  VARNO_QV_FRAME_MGR_BASE(const VARNO_QV_FRAME_MGR_BASE&) = delete;
  VARNO_QV_FRAME_MGR_BASE& operator=(const VARNO_QV_FRAME_MGR_BASE&) = delete;

  // Checks the parent block and its configuration, then runs setup_data.
  bool init() override;
  void set_parent(VARNO_DBLOCK* block) override { m_parent = block; }
  VARNO_DBLOCK* parent() override { return m_parent; }
  u32 potential_frames() override { return m_potential_frames; }
  // These managers write no filler.
  void set_random_filler(u16) override {}
  void set_user_frame_count(u32 count) override { m_user_frame_count = count; }

  // Position of the current sector: the meta block's x and y, which hold the
  // sector's CNOC address once the sector is loaded. Read at every use, since
  // the address is set after the sector's managers are initialised.
  u32 sector_x() const;
  u32 sector_y() const;

 protected:
  // Texts of the checks common to all managers; some managers word them with
  // "nullptr" instead of "NULL".
  struct CHECK_TEXTS {
    const char* block;
    const char* config;
    const char* gen;
  };
  static constexpr CHECK_TEXTS NULL_TEXTS{"block != NULL", "config != NULL", "gen != NULL"};
  static constexpr CHECK_TEXTS NULLPTR_TEXTS{"block != nullptr", "config != nullptr",
                                             "gen != nullptr"};

  explicit VARNO_QV_FRAME_MGR_BASE(const CHECK_TEXTS& texts = NULL_TEXTS);

  // The manager's own set-up; called once by init.
  virtual bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) = 0;

  // ---- Set-up helpers -------------------------------------------------------

  // The block's generator; internal error when there is none.
  VARNO_GEN* generator_of(VARNO_DBLOCK* block) const;
  // Finds the sector that owns gen, its sector-array block, the array
  // configuration and the array generator. The block must belong to a sector.
  void find_sector(VARNO_GEN* gen);
  // The option block of that name held by gen itself (not a copy), or null
  // when gen has none or it is not an option block.
  static VARNO_SBLOCK* fetch_header_block(VARNO_GEN* from, const char* name);
  // Fetches "CNOC_HEADER" and "CNT_HEADER"; missing_text is the manager's
  // condition text when either is missing. Sets the two sizes and the header
  // bytes.
  void fetch_cnoc_cnt(VARNO_GEN* from, const char* missing_text);
  // Sizes of the two header blocks, once all header blocks were found.
  void set_cnoc_cnt_sizes();
  // Set-up of the managers that write to device registers: finds the sector,
  // requires the device's (not the sector's) "CNOC_HEADER" and "CNT_HEADER",
  // which they do not write, and returns 4 × word 2 of the frame descriptor
  // in bytes (checked to fit 32 bits; 0 allowed).
  u32 setup_device_headers(VARNO_DBLOCK* block);
  // Word i of the block's frame descriptor.
  static u32 descriptor_word(VARNO_DBLOCK* block, u32 i);
  // 4 × word 2 of the frame descriptor, in bytes; a frame of no bytes is an
  // internal error (it would never fill).
  static u32 frame_size_from_descriptor(VARNO_DBLOCK* block);
  // Row y × W + x of a per-sector table of table_rows rows, W being value 0
  // of the array's "ARRAY_COUNT"; internal error when the sector has no row.
  u32 sector_table_index(u32 table_rows, const char* table_name) const;

  VARNO_MBLOCK* meta_block() const { return m_meta_block; }
  VARNO_EBLOCK* sector_array() const { return m_eblock; }
  VARNO_BLOCK_CONFIG* array_config() const { return m_array_config; }
  VARNO_GEN* array_generator() const { return m_array_gen; }

  // ---- Build helpers --------------------------------------------------------

  // The manager parameters of the block's generator.
  VARNO_MGR_PARAM* mgr_param(VARNO_DBLOCK* block) const;
  // Frames open with their header records unless skip_headers is set.
  bool headers(VARNO_DBLOCK* block) const;
  // Internal error with the formatted mismatch text (format takes the user
  // length and the expected length, in bits) when the slot's length is not 0
  // and differs from expected.
  static void verify_user_data_size(VARNO_DBLOCK* block, VARNO_BLOCK_DATA_TYPE slot, u64 expected,
                                    const char* format);
  // The frames a full build makes: all frame_count frames, or the first user
  // frame count of them, narrowed by the first_frame and last_frame entries of
  // block_type in the manager parameters.
  void frame_range(VARNO_DBLOCK* block, u32 frame_count, u32 block_type, u32& first,
                   u32& last) const;
  // Builds the frames of that range through create_partial_frames and reports
  // how many the block then holds (built gets the count); returns the build's
  // result. The managers that may attach a 2D engine decide on that count.
  bool create_selected_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 frame_count,
                              u32 block_type, u32& built);
  // Gives the block a 2D prediction engine in CRAM or ERAM mode, which the
  // block owns; an engine already attached is kept.
  static void attach_2d_engine(VARNO_DBLOCK* block, bool cram_mode);
  // Appends frame at the end of the block's frame list.
  static void append_frame(VARNO_DBLOCK* block, std::unique_ptr<VARNO_FRAME> frame);
  // Registers the block's 2D engine, once, with the generator of the current
  // sector's sector-array block.
  void register_engine_with_array(VARNO_DBLOCK* block);

  // ---- Expected data --------------------------------------------------------

  // The parent block, after the checks every dump makes of path and parent.
  VARNO_DBLOCK* expected_data_block(const std::string& path) const;
  // Truncates path and has writer fill it. A file that does not open is
  // skipped silently.
  static void write_expected_data(const std::string& path,
                                  const std::function<void(std::ofstream&)>& writer);

  const CHECK_TEXTS m_texts;
  VARNO_DBLOCK* m_parent = nullptr;  // borrowed
  u32 m_potential_frames = 0;
  u32 m_user_frame_count = 0;

  VARNO_SBLOCK* m_cnoc_blk = nullptr;  // borrowed from a generator
  VARNO_SBLOCK* m_cnt_blk = nullptr;
  u32 m_cnoc_size = 0;
  u32 m_cnt_size = 0;
  u32 m_header_bytes = 0;  // bytes of header records that open a frame

 private:
  VARNO_MBLOCK* m_meta_block = nullptr;          // borrowed
  VARNO_EBLOCK* m_eblock = nullptr;              // borrowed
  VARNO_BLOCK_CONFIG* m_array_config = nullptr;  // borrowed
  VARNO_GEN* m_array_gen = nullptr;              // borrowed
};
