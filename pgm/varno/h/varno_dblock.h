// The data block: a block whose content is a list of frames that a frame
// manager, chosen by the block's frame type, builds from the host's user
// data. The block serves the frames to the host, the dumps and the group
// assembly, and gives the managers by-name access to its device parameters
// and arguments.
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "varno_block.h"
#include "varno_block_config.h"
#include "varno_frame.h"
#include "varno_types.h"
#include "vold.h"
#include "vold_enums.h"

class VARNO_FRAME_MGR;
class VARNO_GEN;
class VARNO_QV_2D_ENGINE;

// The eight 32-bit words a data block keeps from its family entry. Word 0 is
// the VOLD_FRAME_TYPE, word 2 the frame size, word 6 a variant per frame
// type; word 7 holds byte 28 (a flag of the IOCSR frames) and byte 29 (the
// top bit of the entry's second 32-bit value). The other words belong to the
// managers that read them.
struct VARNO_FRAME_DESCRIPTOR {
  u32 words[8] = {};

  // Word i (below 8).
  u32 word(u32 i) const;
  // Byte i (below 32) of the little-endian packing.
  u8 byte(u32 i) const;

  // Packs a family entry's frame description: bytes 0-3 the frame type, 4-11
  // the 64-bit value, 12-19 the pointer-sized value, 20-23 the first u32,
  // 24-27 the second u32 without its top bit, 28 the u8, 29 that top bit.
  static VARNO_FRAME_DESCRIPTOR pack(const VOLD_FRAME_DESCRIPTION& description);
};

// The block's calls into its 2D prediction engine, which is its own
// component: the block runs it after a successful build, deletes it when it
// still holds it, and reads its 2D segment list. Process-wide; tests may
// install their own to observe the block.
struct VARNO_DBLOCK_2D_ENGINE_OPS {
  void (*run)(VARNO_QV_2D_ENGINE* engine) = nullptr;
  void (*destroy)(VARNO_QV_2D_ENGINE* engine) = nullptr;
  // The engine's 2D segment list (null: the engine has none).
  const std::vector<u32>* (*segments)(VARNO_QV_2D_ENGINE* engine) = nullptr;
};

class VARNO_DBLOCK : public VARNO_BLOCK {
 public:
  // gen must not be null. The block starts with an empty configuration, no
  // frame descriptor, no manager and no frames.
  VARNO_DBLOCK(u32 type, VARNO_GEN* gen);
  // An empty block without generator or configuration.
  VARNO_DBLOCK();
  ~VARNO_DBLOCK() override;

  // ---- Set-up by the model builder -----------------------------------------

  void set_frame_descriptor(const VARNO_FRAME_DESCRIPTOR& descriptor);
  // Null until set (a block made outside a generator never has one).
  const VARNO_FRAME_DESCRIPTOR* get_frame_descriptor() const { return m_frame_descriptor.get(); }
  // One instruction per type; the record stays the device database's.
  void set_instruction(VOLD_INSTRUCTION_TYPE type, VOLD_INSTRUCTION* instruction);
  // Null when the device data gave none of that type.
  VOLD_INSTRUCTION* get_instruction(VOLD_INSTRUCTION_TYPE type) const;
  VARNO_BLOCK_CONFIG* get_block_config() const { return m_block_config.get(); }

  // ---- User data (block interface) ------------------------------------------

  // size is the data's length in bits. The buffers stay the caller's and are
  // read at every build of the block.
  void set_data(VARNO_BLOCK_DATA_TYPE slot, u8* data, u32 size, u8* extra) override;
  void set_programming_seq_vdata(const PB::BLOCKS_PROGRAMMING_SEQUENCE* seq) override;
  // Every path goes to the one data-file list, in call order. A block whose
  // frame manager reads no data file refuses it (internal error).
  void set_data_from_file(VARNO_BLOCK_DATA_TYPE slot, const std::string& path) override;
  void set_custom_frame_sizes(const u32* sizes, u32 count) override;
  void set_custom_interframe_delay(u32 delay) override;

  // User-data slot accessors for the managers (slot below VARNO_BLOCK_DATA_MAX).
  u8* get_user_data(VARNO_BLOCK_DATA_TYPE slot) const;
  u8* get_user_extra(VARNO_BLOCK_DATA_TYPE slot) const;
  u64 get_user_data_size(VARNO_BLOCK_DATA_TYPE slot) const;  // bits
  // What the block's frame type's manager finds of the design data given to
  // it (a slot counts with data of non-zero length). READ: data in a slot it
  // reads, or a named data file, or a manager that reads no design data and
  // none given. UNREAD: data only in slots it does not read, so it builds as
  // if it had none. NONE: it builds from design data and was given none.
  enum class DESIGN_DATA { READ, UNREAD, NONE };
  DESIGN_DATA design_data();

  // ---- Frame list -----------------------------------------------------------

  // Deletes every frame, last first.
  void clear_frames();
  // Inserts frame so that n frames follow it (0 appends); false, without
  // taking the frame, when n exceeds the frame count. The block owns the
  // frame once inserted.
  bool insert_frame_at_end(VARNO_FRAME* frame, u32 n);
  // Frame i, or null when i is past the end.
  VARNO_FRAME* get_frame(u32 i) const;

  // The frame read-outs (count, data, pointer, single byte, whole block) are
  // an internal error before the block is built (VARNO_BLOCK::require_built).
  u32 get_number_of_frames() override;
  u32 get_number_of_potential_frames() override;
  u32 get_frame_size(u32 frame) override;
  u32 get_frame_data(u32 frame, u8* out) override;
  u8* get_frame_data_ptr(u32 frame) override;
  // Byte offset of the frame's core segment.
  bool get_frame_single_byte(u32 frame, u32 offset, u8& out) override;
  // The host's patch of one byte of a frame's core segment; a group that
  // collected the block before refuses to hand out what it made of the
  // unpatched frames while the byte differs.
  bool update_frame_data(u32 frame, u32 offset, u8 value) override;
  // The same write for the library's own rewrites of the frames it builds
  // (the 2D engine's residues).
  bool write_frame_byte(u32 frame, u32 offset, u8 value);
  u32 get_block_size() override;
  void read_block_data(u8* out) override;
  // What the frames hold, as a block group compares it with the frames it
  // collected: every frame's bytes and layout, and the load chunks.
  u64 frames_fingerprint() const;

  // ---- Manager --------------------------------------------------------------

  // A new manager for the frame type with this block as its parent; the
  // caller owns it. Internal error for a type that has none.
  VARNO_FRAME_MGR* get_a_frame_manager(VOLD_FRAME_TYPE type);
  // Installs a new manager for the block's frame type (deleting the one it
  // had) and initialises it.
  bool init_frame_mgr();
  VARNO_FRAME_MGR* get_frame_mgr() const { return m_frame_mgr.get(); }
  // Appends frames first to last (inclusive); the list is not cleared first.
  bool partial_process(u32 first, u32 last);
  void overwrite_frame_count(u32 count);
  void dump_expected_data(std::string& path);

  VOLD_FRAME_TYPE frame_type() override;
  u32 block_type() override;
  void set_random_filler(u16 filler) override;
  bool process(bool defer_2d) override;
  u32 get_user_data_lfsr(u32 a, u32 b, u64 c, u32 d) override;
  void reset_process() override;
  void register_2d_engine() override;
  bool is_processed() const { return m_processed; }

  // ---- Parameters and arguments by name -------------------------------------

  u32 get_param_value(const std::string& name, u32 index) override;
  u32 get_param_value(const std::string& name, std::string entry) override;
  u32 get_param_size(const std::string& name) override;
  u32 get_arg_value(const std::string& name, u32 index, u32 offset) override;
  u32 get_arg_size(const std::string& name) override;
  u32 get_arg_width(const std::string& name) override;

  // ---- 2D engine ------------------------------------------------------------

  VARNO_QV_2D_ENGINE* get_2d_engine() const { return m_2d_engine; }
  // The block owns engine from now on; an engine it held before is deleted.
  void set_2d_engine(VARNO_QV_2D_ENGINE* engine);
  // Forgets the engine without deleting it (its new owner deletes it).
  void detach_2d_engine() { m_2d_engine = nullptr; }
  // The generator released the engine after the merge had rewritten the
  // frames as residues: until the block is built again its frames cannot be
  // sent without the engine's tables.
  void mark_2d_tables_released() { m_2d_tables_released = true; }
  bool two_d_tables_released() const { return m_2d_tables_released; }
  // Copies the core-segment byte ranges that the engine lists for the row of
  // frame into out, back to back; returns the bytes copied.
  u32 get_frame_2d_segments(u32 frame, u8* out);
  // Installs ops (every null member keeps the library's own) and returns the
  // ones in force before.
  static VARNO_DBLOCK_2D_ENGINE_OPS set_2d_engine_ops(const VARNO_DBLOCK_2D_ENGINE_OPS& ops);

  // ---- Dumps ----------------------------------------------------------------

  void dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) override;
  using VARNO_BLOCK::dump;

  // ---- Data the managers and the group assembly read directly ---------------

  u8* m_user_data[VARNO_BLOCK_DATA_MAX] = {};       // borrowed buffers
  u8* m_user_extra[VARNO_BLOCK_DATA_MAX] = {};      // borrowed second pointers
  u64 m_user_data_size[VARNO_BLOCK_DATA_MAX] = {};  // bits
  std::vector<std::string> m_data_files;
  const PB::BLOCKS_PROGRAMMING_SEQUENCE* m_programming_seq = nullptr;  // borrowed
  // (first frame index within the block, frame count) per BRAM chunk.
  std::vector<std::pair<u32, u32>> m_chunks;
  std::vector<u32> m_custom_frame_sizes;
  u32 m_custom_interframe_delay = 0;  // stored only
  bool m_s4_mask_used = false;        // set by the CRAM manager's partial build

 private:
  bool m_2d_tables_released = false;
  enum class MGR_STATE { NONE, CREATED, READY, FAILED };

  // Creates the manager when there is none; false when none can be had.
  bool create_frame_mgr_if_needed();
  // The manager, created and initialised; false when either fails.
  bool ready_frame_mgr();
  VOLD_PARAMETER_TYPE param_type(const std::string& name) const;
  VOLD_ARGUMENT_TYPE arg_type(const std::string& name) const;
  VARNO_BLOCK_CONFIG* config() const;
  // Frame i and its core segment when offset lies inside that segment.
  VARNO_FRAME_SEGMENT* core_segment_at(u32 frame, u32 offset);

  std::unique_ptr<VARNO_FRAME_DESCRIPTOR> m_frame_descriptor;
  std::vector<std::unique_ptr<VARNO_FRAME>> m_frames;
  std::unique_ptr<VARNO_BLOCK_CONFIG> m_block_config;
  std::unique_ptr<VARNO_FRAME_MGR> m_frame_mgr;
  MGR_STATE m_mgr_state = MGR_STATE::NONE;
  VARNO_QV_2D_ENGINE* m_2d_engine = nullptr;  // owned until detached
  VOLD_INSTRUCTION* m_instructions[VOLD_INSTRUCTION_MAX] = {};  // borrowed
  bool m_processed = false;
};
