// The root of the block classes. It holds what every block has and answers
// every operation of the block interface with a do-nothing default, so each
// kind overrides only what it supports and a caller may ask any block anything.
#pragma once

#include <fstream>
#include <string>

#include "varno_iblock.h"
#include "varno_types.h"
#include "vold_enums.h"

class VARNO_GEN;
class VARNO_FRAME;
class VARNO_QV_2D_ENGINE;

class VARNO_BLOCK : public VARNO_IBLOCK {
 public:
  ~VARNO_BLOCK() override;
  VARNO_BLOCK(const VARNO_BLOCK&) = delete;
  VARNO_BLOCK& operator=(const VARNO_BLOCK&) = delete;

  u32 write_dyn_value(const std::string& name, const u8* data, u32 index, u32 bits,
                      u8* dest) override;
  u32 read_dyn_value(const std::string& name, u8* out, u32 index, u32 bits) override;
  u32 get_dyn_value_size(const std::string& name) override;
  u32 write_option_bits(const std::string& option, const std::string& dyn_name, const u8* value,
                        u32 bits, u8* dest) override;
  u32 read_option_bits(const std::string& option, const std::string& dyn_name, u8* out,
                       u32 bits) override;
  u32 get_option_size(const std::string& option, const std::string& dyn_name) override;
  void set_option_shadow_mask(const std::string& dyn_name, const u8* mask, u32 bits) override;
  u32 get_option_info(const std::string& option, const std::string& dyn_name, u32& index,
                      u32& second, u32& size) override;

  void set_data(VARNO_BLOCK_DATA_TYPE slot, u8* data, u32 size, u8* extra) override;
  void set_programming_seq_vdata(const PB::BLOCKS_PROGRAMMING_SEQUENCE* seq) override;
  void set_data_from_file(VARNO_BLOCK_DATA_TYPE slot, const std::string& path) override;
  void set_custom_frame_sizes(const u32* sizes, u32 count) override;
  void set_custom_interframe_delay(u32 delay) override;

  u32 get_number_of_frames() override;
  u32 get_number_of_potential_frames() override;
  u32 get_frame_size(u32 frame) override;
  u32 get_frame_data(u32 frame, u8* out) override;
  u8* get_frame_data_ptr(u32 frame) override;
  bool get_frame_single_byte(u32 frame, u32 offset, u8& out) override;
  bool update_frame_data(u32 frame, u32 offset, u8 value) override;

  void set_repetition_mode(VARNO_BLOCK_REPETITION mode) override;
  u32 get_block_size() override;
  void read_block_data(u8* out) override;
  // VOLD_FRAME_MAX: a block without frames.
  VOLD_FRAME_TYPE frame_type() override;
  u32 block_type() override;

  u32 get_param_value(const std::string& name, u32 index) override;
  u32 get_param_value(const std::string& name, std::string entry) override;
  u32 get_param_size(const std::string& name) override;
  u32 get_arg_value(const std::string& name, u32 index, u32 offset) override;
  u32 get_arg_size(const std::string& name) override;
  u32 get_arg_width(const std::string& name) override;

  void clean_up() override;
  void crc_update() override;
  void set_random_filler(u16 filler) override;
  void dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) override = 0;
  bool process(bool defer_2d) override;
  u32 get_user_data_lfsr(u32 a, u32 b, u64 c, u32 d) override;
  void reset_process() override;
  void register_2d_engine() override;
  void dump(std::ofstream* stream, VARNO_OUTPUT_FORMAT format) override;
  void update_links() override;

  // Configuration data width in bits of the owning generator; 32 for a block
  // made outside any generator. One configuration word is (width + 7) / 8 bytes.
  u32 get_config_data_width() const;

  // The generator that owns the block (not owned here); null for a block made
  // outside a generator.
  VARNO_GEN* generator() const { return m_gen; }

  // Once set, process succeeds at once without doing anything (option and
  // data blocks). Never cleared.
  void set_skip_processing() { m_skip_processing = true; }
  bool skip_processing() const { return m_skip_processing; }

  VARNO_BLOCK_REPETITION repetition_mode() const { return m_repetition_mode; }
  u16 random_filler() const { return m_random_filler; }

  // Name of the stored block type for dumps; "" for a type without a name,
  // including any value at or past VOLD_BLOCK_MAX that a host may pass.
  const char* block_type_name() const;

  // Where the block stands with its build. NOT_BUILT: its process (or a
  // data block's partial_process) has not run yet, so an option block holds
  // no image and a data block no frames. BUILT: it has run and succeeded.
  // CHANGED: built, then the host changed what its frames are made from
  // (design data, data files, a programming sequence, frame sizes or count,
  // the filler); the frames are of the old data until a rebuild. FAILED: its
  // last build returned false or ended in an internal error, so what it
  // holds is part of a build at best, until a build succeeds.
  enum class BUILD_STATE : u8 { NOT_BUILT, BUILT, CHANGED, FAILED };
  BUILD_STATE build_state() const { return m_build_state; }
  bool built() const { return m_build_state == BUILD_STATE::BUILT; }
  // CHANGED or FAILED: what the block holds is not made from its design
  // data as it is, and every read-out of it is refused.
  bool outdated() const {
    return m_build_state == BUILD_STATE::CHANGED || m_build_state == BUILD_STATE::FAILED;
  }
  // Why a CHANGED block is still not rebuilt, for the refusals: no build
  // since the change, a build that passed the block over (skipped, or
  // built already with its 2D registration deferred), or one that failed.
  enum class PASSED_BY : u8 { NONE, SKIPPED, DEFERRED, FAILED };
  // "its design data came after ..." or "its build failed": the end of
  // every refusal of a CHANGED or FAILED block.
  std::string change_text() const;
  // How many times the host changed what the frames are made from: a block
  // group compares it with the count it collected the block at.
  u32 design_changes() const { return m_design_changes; }

  // " of sector (x, y)" for a block of a sector's generator, by the grid
  // position the host reaches the sector by; "" for any other block.
  std::string sector_position() const;

  // The host's read-outs of an image or frames: an internal error naming the
  // block while a generator's block is not built, was given new design data
  // since, or its build failed, as what it would read is not the design. A
  // block made outside a generator has no build to wait for.
  void require_built() const;

 protected:
  // One build of the block, from its start: unless done() is called, the
  // build failed (it returned false, or an internal error unwound out of
  // it), and the block is left FAILED, or CHANGED when it was built to take
  // new design data, which then still waits for a build.
  class BUILD_SCOPE {
   public:
    explicit BUILD_SCOPE(VARNO_BLOCK& block)
        : m_block(block), m_start(block.m_build_state) {}
    ~BUILD_SCOPE() {
      if (m_done) return;
      if (m_start == BUILD_STATE::CHANGED) {
        m_block.keep_changed(PASSED_BY::FAILED);
      } else {
        m_block.m_build_state = BUILD_STATE::FAILED;
      }
    }
    BUILD_SCOPE(const BUILD_SCOPE&) = delete;
    BUILD_SCOPE& operator=(const BUILD_SCOPE&) = delete;
    // The state the block was in when the build started.
    BUILD_STATE start() const { return m_start; }
    void done() {
      m_done = true;
      m_block.mark_built();
    }
    // A build that made nothing: the block stays as it was.
    void undo() {
      m_done = true;
      m_block.m_build_state = m_start;
    }

   private:
    VARNO_BLOCK& m_block;
    BUILD_STATE m_start;
    bool m_done = false;
  };

  explicit VARNO_BLOCK(u32 block_type = 0, VARNO_GEN* gen = nullptr);

  void mark_built() { m_build_state = BUILD_STATE::BUILT; }
  // A change of what the frames are made from: a built block counts as not
  // built again until it is rebuilt.
  void mark_design_changed() {
    ++m_design_changes;
    if (m_build_state == BUILD_STATE::NOT_BUILT) return;
    m_build_state = BUILD_STATE::CHANGED;
    // No build has passed this change over yet.
    m_passed_by = PASSED_BY::NONE;
  }
  // A build that ended without making the frames of the changed data: the
  // change stands, and the refusals say why.
  void keep_changed(PASSED_BY why) {
    m_build_state = BUILD_STATE::CHANGED;
    m_passed_by = why;
  }

  // Image of an option block (array allocation, released here so that it is
  // freed even when a derived constructor fails); null in the other kinds.
  u8* m_data = nullptr;
  u64 m_block_length = 0;  // bytes of m_data
  u32 m_block_type = 0;    // VOLD_BLOCK_TYPE
  VARNO_BLOCK_REPETITION m_repetition_mode = VARNO_BLOCK_REPETITION_NONE;
  VARNO_GEN* m_gen = nullptr;
  bool m_skip_processing = false;
  BUILD_STATE m_build_state = BUILD_STATE::NOT_BUILT;
  PASSED_BY m_passed_by = PASSED_BY::NONE;
  u32 m_design_changes = 0;
  u16 m_random_filler = 0;
};
