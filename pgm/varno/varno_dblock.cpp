#include "varno_dblock.h"

#include <algorithm>
#include <utility>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_frame_mgr_factory.h"
#include "varno_qv_2d_engine.h"
#include "varno_util.h"

// ---- 2D engine calls --------------------------------------------------------
//
// The engine is its own component. These three functions are the only places
// where a data block reaches into it.

namespace {

void engine_run(VARNO_QV_2D_ENGINE* engine) { engine->run(); }

void engine_destroy(VARNO_QV_2D_ENGINE* engine) { delete engine; }

const std::vector<u32>* engine_segments(VARNO_QV_2D_ENGINE* engine) { return &engine->m_2DSegments; }

VARNO_DBLOCK_2D_ENGINE_OPS& engine_ops() {
  static VARNO_DBLOCK_2D_ENGINE_OPS ops{engine_run, engine_destroy, engine_segments};
  return ops;
}

constexpr u32 SEGMENT_ROW_MARK = 0xFFFF;

}  // namespace

VARNO_DBLOCK_2D_ENGINE_OPS VARNO_DBLOCK::set_2d_engine_ops(const VARNO_DBLOCK_2D_ENGINE_OPS& ops) {
  VARNO_DBLOCK_2D_ENGINE_OPS previous = engine_ops();
  engine_ops().run = ops.run != nullptr ? ops.run : engine_run;
  engine_ops().destroy = ops.destroy != nullptr ? ops.destroy : engine_destroy;
  engine_ops().segments = ops.segments != nullptr ? ops.segments : engine_segments;
  return previous;
}

// ---- Frame descriptor ---------------------------------------------------------

u32 VARNO_FRAME_DESCRIPTOR::word(u32 i) const {
  VARNO_ASSERT(i < 8);
  return words[i];
}

u8 VARNO_FRAME_DESCRIPTOR::byte(u32 i) const {
  VARNO_ASSERT(i < 32);
  return static_cast<u8>(words[i / 4] >> (8 * (i % 4)));
}

VARNO_FRAME_DESCRIPTOR VARNO_FRAME_DESCRIPTOR::pack(const VOLD_FRAME_DESCRIPTION& description) {
  VARNO_FRAME_DESCRIPTOR d;
  d.words[0] = description.frame_type;
  d.words[1] = static_cast<u32>(description.value64);
  d.words[2] = static_cast<u32>(description.value64 >> 32);
  d.words[3] = static_cast<u32>(description.ptrval);
  d.words[4] = static_cast<u32>(description.ptrval >> 32);
  d.words[5] = description.u32_a;
  d.words[6] = description.u32_b & 0x7FFFFFFFu;
  d.words[7] = static_cast<u32>(description.u8_c) | ((description.u32_b >> 31) << 8);
  return d;
}

// ---- Construction -------------------------------------------------------------

VARNO_DBLOCK::VARNO_DBLOCK(u32 type, VARNO_GEN* gen) : VARNO_BLOCK(type, gen) {
  VARNO_ASSERT_MSG(gen != nullptr, "parent != nullptr");
  m_block_config = std::make_unique<VARNO_BLOCK_CONFIG>();
}

VARNO_DBLOCK::VARNO_DBLOCK() = default;

VARNO_DBLOCK::~VARNO_DBLOCK() {
  clear_frames();
  m_block_config.reset();
  m_frame_descriptor.reset();
  m_frame_mgr.reset();
  if (m_2d_engine != nullptr) {
    VARNO_QV_2D_ENGINE* engine = std::exchange(m_2d_engine, nullptr);
    engine_ops().destroy(engine);
  }
}

void VARNO_DBLOCK::set_frame_descriptor(const VARNO_FRAME_DESCRIPTOR& descriptor) {
  m_frame_descriptor = std::make_unique<VARNO_FRAME_DESCRIPTOR>(descriptor);
}

void VARNO_DBLOCK::set_instruction(VOLD_INSTRUCTION_TYPE type, VOLD_INSTRUCTION* instruction) {
  VARNO_ASSERT_MSG(type < VOLD_INSTRUCTION_MAX && instruction != nullptr &&
                       m_instructions[static_cast<u32>(type)] == nullptr,
                   "type < VOLD_INSTRUCTION_MAX && instruction != nullptr && "
                   "m_instructions[static_cast<DWORD>(type)] == nullptr");
  m_instructions[type] = instruction;
}

VOLD_INSTRUCTION* VARNO_DBLOCK::get_instruction(VOLD_INSTRUCTION_TYPE type) const {
  VARNO_ASSERT_MSG(type < VOLD_INSTRUCTION_MAX, "type < VOLD_INSTRUCTION_MAX");
  return m_instructions[type];
}

// ---- User data ----------------------------------------------------------------

void VARNO_DBLOCK::set_data(VARNO_BLOCK_DATA_TYPE slot, u8* data, u32 size, u8* extra) {
  // The slot indexes the three arrays.
  VARNO_ASSERT(slot < VARNO_BLOCK_DATA_MAX);
  // The managers take a null pointer for "no data" and would build nothing
  // from a length the host meant to give.
  if (data == nullptr && size != 0) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("set_data on block %s%s: null data of %u bits",
                                             block_type_name(), sector_position().c_str(), size));
  }
  mark_design_changed();
  m_user_data[slot] = data;
  m_user_extra[slot] = extra;
  m_user_data_size[slot] = size;
}

void VARNO_DBLOCK::set_programming_seq_vdata(const PB::BLOCKS_PROGRAMMING_SEQUENCE* seq) {
  mark_design_changed();
  m_programming_seq = seq;
}

void VARNO_DBLOCK::set_data_from_file(VARNO_BLOCK_DATA_TYPE, const std::string& path) {
  // Only a manager that reads the list ever opens these files; anywhere else
  // the block would build as if it had no design data.
  if (!varno_frame_mgr_reads_files(frame_type())) {
    VARNO_INTERNAL_ERROR(
        KORVIA::fmt_sprintf("set_data_from_file on block %s%s, whose frame manager reads no data file",
                            block_type_name(), sector_position().c_str()));
  }
  mark_design_changed();
  m_data_files.push_back(path);
}

void VARNO_DBLOCK::set_custom_frame_sizes(const u32* sizes, u32 count) {
  mark_design_changed();
  m_custom_frame_sizes.clear();
  if (sizes != nullptr && count > 0) m_custom_frame_sizes.assign(sizes, sizes + count);
}

void VARNO_DBLOCK::set_custom_interframe_delay(u32 delay) { m_custom_interframe_delay = delay; }

u8* VARNO_DBLOCK::get_user_data(VARNO_BLOCK_DATA_TYPE slot) const {
  VARNO_ASSERT(slot < VARNO_BLOCK_DATA_MAX);
  return m_user_data[slot];
}

u8* VARNO_DBLOCK::get_user_extra(VARNO_BLOCK_DATA_TYPE slot) const {
  VARNO_ASSERT(slot < VARNO_BLOCK_DATA_MAX);
  return m_user_extra[slot];
}

u64 VARNO_DBLOCK::get_user_data_size(VARNO_BLOCK_DATA_TYPE slot) const {
  VARNO_ASSERT(slot < VARNO_BLOCK_DATA_MAX);
  return m_user_data_size[slot];
}

VARNO_DBLOCK::DESIGN_DATA VARNO_DBLOCK::design_data() {
  const VOLD_FRAME_TYPE type = frame_type();
  // A data-file list is only ever taken by a manager that reads it.
  bool reads = varno_frame_mgr_reads_files(type);
  bool read = !m_data_files.empty();
  bool unread = false;
  for (u32 slot = 0; slot < VARNO_BLOCK_DATA_MAX; ++slot) {
    const bool reads_slot = varno_frame_mgr_reads_slot(type, static_cast<VARNO_BLOCK_DATA_TYPE>(slot));
    reads = reads || reads_slot;
    if (m_user_data[slot] == nullptr || m_user_data_size[slot] == 0) continue;
    (reads_slot ? read : unread) = true;
  }
  if (read) return DESIGN_DATA::READ;
  if (unread) return DESIGN_DATA::UNREAD;
  return reads ? DESIGN_DATA::NONE : DESIGN_DATA::READ;
}

// ---- Frame list ---------------------------------------------------------------

// Every manager's build starts by clearing the list or appends to it, so a
// block whose frames a manager was asked for directly counts as built too.
void VARNO_DBLOCK::clear_frames() {
  mark_built();
  m_2d_tables_released = false;
  while (!m_frames.empty()) m_frames.pop_back();
}

bool VARNO_DBLOCK::insert_frame_at_end(VARNO_FRAME* frame, u32 n) {
  // Every reader of the list expects a frame in each place.
  VARNO_ASSERT(frame != nullptr);
  if (n > m_frames.size()) return false;
  mark_built();
  std::unique_ptr<VARNO_FRAME> owned(frame);
  m_frames.insert(m_frames.end() - static_cast<std::ptrdiff_t>(n), std::move(owned));
  return true;
}

VARNO_FRAME* VARNO_DBLOCK::get_frame(u32 i) const {
  return i < m_frames.size() ? m_frames[i].get() : nullptr;
}

u64 VARNO_DBLOCK::frames_fingerprint() const {
  VARNO_FINGERPRINT fp;
  fp.add_word(m_frames.size());
  for (const auto& frame : m_frames) {
    VARNO_ASSERT(frame != nullptr);
    frame->fingerprint(fp);
  }
  for (const auto& [first, count] : m_chunks) fp.add_word((u64{first} << 32) | count);
  return fp.value();
}

u32 VARNO_DBLOCK::get_number_of_frames() {
  require_built();
  return static_cast<u32>(m_frames.size());
}

u32 VARNO_DBLOCK::get_number_of_potential_frames() {
  return m_frame_mgr != nullptr ? m_frame_mgr->potential_frames() : 0;
}

u32 VARNO_DBLOCK::get_frame_size(u32 frame) {
  if (frame >= m_frames.size()) return 0;
  VARNO_FRAME* f = m_frames[frame].get();
  VARNO_ASSERT(f != nullptr);
  return f->get_frame_size();
}

u32 VARNO_DBLOCK::get_frame_data(u32 frame, u8* out) {
  require_built();
  const u32 size = get_frame_size(frame);
  if (size == 0) return 0;
  VARNO_ASSERT(out != nullptr);
  return m_frames[frame]->get_frame_data(out, size);
}

u8* VARNO_DBLOCK::get_frame_data_ptr(u32 frame) {
  require_built();
  if (frame >= m_frames.size()) return nullptr;
  VARNO_FRAME* f = m_frames[frame].get();
  VARNO_ASSERT(f != nullptr);
  return f->get_frame_data_ptr();
}

VARNO_FRAME_SEGMENT* VARNO_DBLOCK::core_segment_at(u32 frame, u32 offset) {
  if (frame >= m_frames.size() || offset >= get_frame_size(frame)) return nullptr;
  VARNO_FRAME* f = m_frames[frame].get();
  VARNO_ASSERT(f != nullptr);
  VARNO_FRAME_SEGMENT* seg = f->get_segment(VARNO_FRAME_SEGMENT_DATA);
  VARNO_ASSERT(seg != nullptr);
  // The offset addresses the core segment, which is shorter than the frame
  // whenever the frame has headers, trailers or instructions.
  return offset < seg->size() ? seg : nullptr;
}

bool VARNO_DBLOCK::get_frame_single_byte(u32 frame, u32 offset, u8& out) {
  require_built();
  const VARNO_FRAME_SEGMENT* seg = core_segment_at(frame, offset);
  if (seg == nullptr) return false;
  out = seg->data()[offset];
  return true;
}

bool VARNO_DBLOCK::update_frame_data(u32 frame, u32 offset, u8 value) {
  return write_frame_byte(frame, offset, value);
}

bool VARNO_DBLOCK::write_frame_byte(u32 frame, u32 offset, u8 value) {
  if (frame >= m_frames.size() || offset >= get_frame_size(frame)) return false;
  VARNO_FRAME* f = m_frames[frame].get();
  VARNO_ASSERT(f != nullptr);
  if (offset >= f->get_segment_size(VARNO_FRAME_SEGMENT_DATA)) return false;
  return f->write_segment_data(VARNO_FRAME_SEGMENT_DATA, &value, 1, offset) == 1;
}

u32 VARNO_DBLOCK::get_block_size() {
  u32 total = 0;
  for (u32 i = 0; i < m_frames.size(); ++i) total += get_frame_size(i);
  return total;
}

void VARNO_DBLOCK::read_block_data(u8* out) {
  require_built();
  u64 position = 0;
  for (const auto& frame : m_frames) {
    VARNO_ASSERT(frame != nullptr);
    const u32 size = frame->get_frame_size();
    if (size == 0) continue;
    VARNO_ASSERT(out != nullptr);
    position += frame->get_frame_data(out + position, size);
  }
}

// ---- Manager ------------------------------------------------------------------

VARNO_FRAME_MGR* VARNO_DBLOCK::get_a_frame_manager(VOLD_FRAME_TYPE type) {
  std::unique_ptr<VARNO_FRAME_MGR> mgr = varno_create_frame_mgr(type);
  if (mgr != nullptr) mgr->set_parent(this);
  return mgr.release();
}

bool VARNO_DBLOCK::init_frame_mgr() {
  std::unique_ptr<VARNO_FRAME_MGR> mgr(get_a_frame_manager(frame_type()));
  // The manager it replaces, with whatever it was told, is deleted here.
  m_frame_mgr = std::move(mgr);
  m_mgr_state = MGR_STATE::NONE;
  if (m_frame_mgr == nullptr) return false;
  m_mgr_state = MGR_STATE::CREATED;
  const bool ok = m_frame_mgr->init();
  m_mgr_state = ok ? MGR_STATE::READY : MGR_STATE::FAILED;
  return ok;
}

bool VARNO_DBLOCK::create_frame_mgr_if_needed() {
  if (m_frame_mgr != nullptr) return true;
  m_frame_mgr.reset(get_a_frame_manager(frame_type()));
  if (m_frame_mgr == nullptr) {
    VARNO_UTIL::print_error_msg("No frame manager for block %s", block_type_name());
    return false;
  }
  m_mgr_state = MGR_STATE::CREATED;
  return true;
}

bool VARNO_DBLOCK::ready_frame_mgr() {
  if (!create_frame_mgr_if_needed()) return false;
  VARNO_ASSERT(m_block_config != nullptr);
  // A manager made on demand (a stand-alone block, or a block after a failed
  // model build) has not computed its layout yet.
  if (m_mgr_state == MGR_STATE::CREATED) {
    m_mgr_state = m_frame_mgr->init() ? MGR_STATE::READY : MGR_STATE::FAILED;
  }
  if (m_mgr_state == MGR_STATE::FAILED) {
    VARNO_UTIL::print_error_msg("Frame manager of block %s is not initialised", block_type_name());
    return false;
  }
  return true;
}

// A partial build appends to the frames there are: on a block whose design
// data changed since they were built, or whose build failed, it would put
// frames of two designs, or of a failed build, in one list, so it is
// refused and the block stays as it is. A range refused appends nothing
// and leaves the block as it was.
bool VARNO_DBLOCK::partial_process(u32 first, u32 last) {
  if (outdated()) {
    VARNO_UTIL::print_error_msg(
        "do_partial_block on block %s%s refused: %s; build the whole block again first",
        block_type_name(), sector_position().c_str(), change_text().c_str());
    return false;
  }
  BUILD_SCOPE build(*this);
  const bool result = ready_frame_mgr() &&
                      m_frame_mgr->create_partial_frames(this, m_block_config.get(), first, last);
  if (result || build.start() == BUILD_STATE::BUILT) {
    build.done();
  } else if (m_frames.empty()) {
    build.undo();
  }
  return result;
}

void VARNO_DBLOCK::overwrite_frame_count(u32 count) {
  if (m_frame_mgr == nullptr) return;
  mark_design_changed();
  m_frame_mgr->set_user_frame_count(count);
}

void VARNO_DBLOCK::dump_expected_data(std::string& path) {
  VARNO_ASSERT(m_frame_mgr != nullptr);
  m_frame_mgr->dump_expected_data(path);
}

VOLD_FRAME_TYPE VARNO_DBLOCK::frame_type() {
  // A block made outside a generator has no descriptor and so no frames.
  if (m_frame_descriptor == nullptr) return VOLD_FRAME_MAX;
  return static_cast<VOLD_FRAME_TYPE>(m_frame_descriptor->words[0]);
}

u32 VARNO_DBLOCK::block_type() { return m_block_type; }

void VARNO_DBLOCK::set_random_filler(u16 filler) {
  // The manager writes the filler into its frames; the base field stays 0.
  if (!create_frame_mgr_if_needed()) return;
  VARNO_ASSERT(m_block_config != nullptr);
  mark_design_changed();
  m_frame_mgr->set_random_filler(filler);
}

// Only a build that makes the frames from the design data as it is now takes
// back a change of it: one that passes the block over leaves the block
// changed, with the reason for the refusals, and one that fails leaves it
// changed or failed.
bool VARNO_DBLOCK::process(bool defer_2d) {
  const bool changed = build_state() == BUILD_STATE::CHANGED;
  if (build_state() == BUILD_STATE::NOT_BUILT) mark_built();
  if (m_skip_processing) {
    // The host's own choice: the block is taken as it is, but not as the
    // design data given since its build.
    if (changed) keep_changed(PASSED_BY::SKIPPED);
    return true;
  }
  // A deferred build already made the frames; a change of the design data
  // since stays until reset_process lets the block build again.
  if (m_processed) {
    if (changed) keep_changed(PASSED_BY::DEFERRED);
    return true;
  }
  // Until the build has ended well, also when an internal error unwinds
  // out of it.
  BUILD_SCOPE build(*this);
  if (!ready_frame_mgr()) return false;
  const bool result = m_frame_mgr->create_frames(this, m_block_config.get());
  if (!defer_2d) m_frame_mgr->register_2d_engine(this);
  if (result && m_2d_engine != nullptr) engine_ops().run(m_2d_engine);
  m_processed = defer_2d;
  if (result) build.done();
  return result;
}

u32 VARNO_DBLOCK::get_user_data_lfsr(u32 a, u32 b, u64 c, u32 d) {
  return m_frame_mgr != nullptr ? m_frame_mgr->get_lfsr(this, a, b, c, d) : 0;
}

void VARNO_DBLOCK::reset_process() { m_processed = false; }

void VARNO_DBLOCK::register_2d_engine() {
  if (m_2d_engine == nullptr || m_frame_mgr == nullptr) return;
  VARNO_ASSERT(m_processed);
  m_frame_mgr->register_2d_engine(this);
}

// ---- Parameters and arguments -------------------------------------------------

VARNO_BLOCK_CONFIG* VARNO_DBLOCK::config() const {
  VARNO_ASSERT(m_block_config != nullptr);
  return m_block_config.get();
}

VOLD_PARAMETER_TYPE VARNO_DBLOCK::param_type(const std::string& name) const {
  VOLD_PARAMETER_TYPE type = VOLD_PARAMETER_TYPE{};
  if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_PARAMETER, name, type)) {
    VARNO_INTERNAL_ERROR("Unrecognized parameter name");
  }
  return type;
}

VOLD_ARGUMENT_TYPE VARNO_DBLOCK::arg_type(const std::string& name) const {
  VOLD_ARGUMENT_TYPE type = VOLD_ARGUMENT_TYPE{};
  if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_ARGUMENT, name, type)) {
    VARNO_INTERNAL_ERROR("Unrecognized argument name");
  }
  return type;
}

u32 VARNO_DBLOCK::get_param_size(const std::string& name) {
  const VOLD_PARAMETER_TYPE type = param_type(name);
  return config()->get_param_size(type);
}

u32 VARNO_DBLOCK::get_param_value(const std::string& name, u32 index) {
  const VOLD_PARAMETER_TYPE type = param_type(name);
  const u32 size = config()->get_param_size(type);
  if (index >= size) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Parameter %s (%d) index (%d) out of range (%d)",
                                             name.c_str(), static_cast<u32>(type), index, size));
  }
  return config()->get_param_value(type, index);
}

u32 VARNO_DBLOCK::get_param_value(const std::string& name, std::string entry) {
  const VOLD_PARAMETER_TYPE type = param_type(name);
  const u32 size = config()->get_param_size(type);
  if (size == 0 && entry.empty()) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Paramter %s size is 0 but user expected non-empty return value with name (%s)",
        name.c_str(), entry.c_str()));
  }
  // A named entry of a parameter the block lacks, or that has no values, is
  // simply not there.
  const VOLD_PARAM* p = config()->get_param(type);
  if (!entry.empty() && (p == nullptr || p->get_entries() == nullptr)) return 0;
  return config()->get_param_value(type, entry);
}

u32 VARNO_DBLOCK::get_arg_size(const std::string& name) {
  const VOLD_ARGUMENT_TYPE type = arg_type(name);
  const VOLD_ARG* arg = config()->get_arg(type);
  if (arg == nullptr) return 0;
  unsigned width = 0;
  const std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, width);
  return static_cast<u32>(rows.size()) * width;
}

u32 VARNO_DBLOCK::get_arg_width(const std::string& name) {
  const VOLD_ARGUMENT_TYPE type = arg_type(name);
  const VOLD_ARG* arg = config()->get_arg(type);
  if (arg == nullptr) return 0;
  unsigned arg_width = 0;
  VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  VARNO_ASSERT(arg_width > 0);
  return arg_width;
}

u32 VARNO_DBLOCK::get_arg_value(const std::string& name, u32 index, u32 offset) {
  const VOLD_ARGUMENT_TYPE type = arg_type(name);
  const VOLD_ARG* arg = config()->get_arg(type);
  // Without a record there is nothing to read: no rows, no width.
  std::vector<u32*> rows;
  unsigned width = 0;
  if (arg != nullptr) rows = VOLD_MANAGER::get_uint_arg_list(arg, width);
  if (index >= rows.size() || offset >= width) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Invalid PCF argument access (%s): Index %d (max size %d), Offset %d (max size %d)",
        name.c_str(), index, static_cast<u32>(rows.size()), offset, static_cast<u32>(width)));
  }
  return rows[index][offset];
}

// ---- 2D engine ----------------------------------------------------------------

void VARNO_DBLOCK::set_2d_engine(VARNO_QV_2D_ENGINE* engine) {
  if (engine == m_2d_engine) return;
  VARNO_QV_2D_ENGINE* old = std::exchange(m_2d_engine, engine);
  if (old != nullptr) engine_ops().destroy(old);
}

u32 VARNO_DBLOCK::get_frame_2d_segments(u32 frame, u8* out) {
  if (m_2d_engine == nullptr) return 0;
  const u32 arg_size = get_arg_size("BROW_FRAME_SIZE");
  VARNO_ASSERT(arg_size > 0);
  const u32 frames_per_row = get_arg_value("BROW_FRAME_SIZE", 0, 0);
  VARNO_ASSERT(frames_per_row > 0);
  const u32 row = frame / frames_per_row;

  static const std::vector<u32> no_segments;
  const std::vector<u32>* list = engine_ops().segments(m_2d_engine);
  const std::vector<u32>& two_d_segs = list != nullptr ? *list : no_segments;
  const u32 marker = (row << 16) + SEGMENT_ROW_MARK;
  auto it = std::find(two_d_segs.begin(), two_d_segs.end(), marker);
  VARNO_ASSERT(it != two_d_segs.end());

  const bool has_frame = get_frame_size(frame) != 0;
  const u32 core_size = has_frame ? m_frames[frame]->get_segment_size(VARNO_FRAME_SEGMENT_DATA) : 0;
  u32 total = 0;
  for (++it; it != two_d_segs.end() && (*it & 0xFFFFu) != SEGMENT_ROW_MARK; ++it) {
    if (!has_frame) continue;
    const u32 start = *it >> 16;
    const u32 end = *it & 0xFFFFu;
    // A range the engine got wrong would copy the wrong bytes or leave a gap
    // in out.
    VARNO_ASSERT(start <= end && end <= core_size);
    const u32 copied =
        m_frames[frame]->get_segment_data(VARNO_FRAME_SEGMENT_DATA, out, end - start, start);
    out += copied;
    total += copied;
  }
  return total;
}

// ---- Dump ---------------------------------------------------------------------

void VARNO_DBLOCK::dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) {
  // Unbuilt frames are dumped as they are (a build that stopped before the
  // block), but not frames of data the host has replaced since, nor what a
  // failed build left.
  if (outdated()) require_built();
  std::string name;
  if (!VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, m_block_type, &name)) {
    name.clear();
  }
  for (u32 i = 0; i < m_frames.size(); ++i) {
    const VARNO_FRAME* frame = m_frames[i].get();
    VARNO_ASSERT(frame != nullptr);
    const u32 size = frame->get_frame_size();
    // An empty frame has no words to show.
    if (size == 0) continue;
    frame->dump(stream, format,
                KORVIA::fmt_sprintf("%s - Index %d - %d Bytes", name.c_str(), i, size));
  }
}
