// The generator and the generator factory: block lookup, block-type
// overrides, the text and expected-data dumps, and destruction. Building the
// model lives in varno_model.cpp.
#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "fio.h"
#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

namespace {

VARNO_GEN_FACTORY* s_gen_factory = nullptr;

// The packed override key of a sector cell.
constexpr u32 VARNO_OVERRIDE_CELL_LIMIT = 4096;  // columns and rows: 12 bits each
constexpr u32 VARNO_OVERRIDE_TYPE_LIMIT = 256;   // sector types: 8 bits

}  // namespace

// ---- Factory ------------------------------------------------------------------

VARNO_GEN_FACTORY* VARNO_GEN_FACTORY::get_instance() {
  if (s_gen_factory == nullptr) s_gen_factory = new VARNO_GEN_FACTORY();
  return s_gen_factory;
}

VARNO_GEN_FACTORY::~VARNO_GEN_FACTORY() {
  if (s_gen_factory == this) s_gen_factory = nullptr;
}

VARNO_IGEN* VARNO_GEN_FACTORY::create_generator() { return new VARNO_GEN(); }

extern "C" VARNO_IGEN_FACTORY* varno_get_factory() { return VARNO_GEN_FACTORY::get_instance(); }

// ---- Construction and destruction ------------------------------------------------

VARNO_GEN::VARNO_GEN() = default;

VARNO_GEN::~VARNO_GEN() {
  // Blocks go first: their configurations, option-block record lists and
  // managers point into the parameter information deleted after them.
  while (!m_Blocks.empty()) {
    delete m_Blocks.back();
    m_Blocks.back() = nullptr;
    m_Blocks.pop_back();
  }
  delete m_family_pcf_info;
  m_family_pcf_info = nullptr;
  delete m_device_pcf_info;
  m_device_pcf_info = nullptr;
  m_device_option_bits = nullptr;
  delete[] m_2d_libs;
  m_2d_libs = nullptr;
  delete[] m_s4_setup;
  m_s4_setup = nullptr;
  // The combined 2D engine is made only by the library merge, which is not
  // part of this build: m_combined_engine is always null here. Registered
  // engines belong to their data blocks.
}

// ---- Names and records -------------------------------------------------------------

void VARNO_GEN::set_family_pcf(const std::string& name) { m_family_pcf = name; }
void VARNO_GEN::set_device_pcf(const std::string& name) { m_device_pcf = name; }
VARNO_MGR_PARAM* VARNO_GEN::get_mgr_param() { return &m_mgr_param; }
VARNO_MGR_TALKBACK* VARNO_GEN::get_mgr_talkback() { return &m_mgr_talkback; }
void VARNO_GEN::set_util_debug_level(u32 level) { VARNO_UTIL::set_debug_level(level); }

// ---- Block lookup ---------------------------------------------------------------------

VARNO_IMBLOCK* VARNO_GEN::get_meta_block(std::string name, u32 x, u32 y) {
  VARNO_EBLOCK* eblock = dynamic_cast<VARNO_EBLOCK*>(get_block(name, false));
  VARNO_ASSERT_MSG(eblock != nullptr, "meta_block != nullptr");
  return eblock->get_sector(x, y);
}

VARNO_IBLOCK* VARNO_GEN::get_block(const std::string& name, bool copy) {
  u32 type = 0;
  if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, name, type)) return nullptr;
  return get_block(type, copy);
}

VARNO_IBLOCK* VARNO_GEN::get_block(u32 type, bool copy) {
  // A host may pass any number; only block types can be in the map.
  if (type >= VOLD_BLOCK_MAX) return nullptr;
  auto it = m_type_map.find(type);
  if (it == m_type_map.end()) return nullptr;
  VARNO_IBLOCK* result = it->second;
  VARNO_ASSERT(result != nullptr);
  if (!copy) return result;

  VARNO_SBLOCK* sblock = dynamic_cast<VARNO_SBLOCK*>(result);
  VARNO_ASSERT(sblock != nullptr);
  auto block = std::make_unique<VARNO_SBLOCK>(sblock->block_type(), sblock->has_crc(),
                                              sblock->word_count(), sblock->init_ones(), this);
  // The copy shares the records with its source.
  block->const_data_list() = sblock->const_data_list();
  block->dyn_data_list() = sblock->dyn_data_list();
  block->process(false);
  return block.release();
}

VARNO_IBLOCK* VARNO_GEN::get_block_by_index(u32 i) {
  if (i >= max_block_index()) return nullptr;
  return m_Blocks[i];
}

u32 VARNO_GEN::block_index(const std::string& name) {
  VARNO_IBLOCK* block = get_block(name, false);
  if (block == nullptr) return VARNO_INVALID_DWORD;
  auto it = std::find(m_Blocks.begin(), m_Blocks.end(), block);
  VARNO_ASSERT(it != m_Blocks.end());
  return static_cast<u32>(it - m_Blocks.begin());
}

u32 VARNO_GEN::max_block_index() { return static_cast<u32>(m_Blocks.size()); }

u32 VARNO_GEN::bt_size() {
  u32 total = 0;
  for (VARNO_IBLOCK* block_val : m_Blocks) {
    VARNO_ASSERT(block_val != nullptr);
    total += block_val->get_block_size();
  }
  return total;
}

// ---- Processing by block ------------------------------------------------------------------

void VARNO_GEN::reset_all_blocks() {
  for (VARNO_IBLOCK* block : m_Blocks) block->reset_process();
}

void VARNO_GEN::register_all_blocks_2d_engine() {
  for (VARNO_IBLOCK* block : m_Blocks) block->register_2d_engine();
}

bool VARNO_GEN::do_block(const std::string& name) {
  VARNO_IBLOCK* block = get_block(name, false);
  if (block == nullptr) return false;
  return block->process(false);
}

bool VARNO_GEN::do_partial_block(const std::string& name, u32 first, u32 last) {
  VARNO_DBLOCK* dblock = dynamic_cast<VARNO_DBLOCK*>(get_block(name, false));
  if (dblock == nullptr) return false;
  return dblock->partial_process(first, last);
}

void VARNO_GEN::adjust_num_frames(const std::string& name, u32 count) {
  VARNO_DBLOCK* dblock = dynamic_cast<VARNO_DBLOCK*>(get_block(name, false));
  if (dblock != nullptr) dblock->overwrite_frame_count(count);
}

VARNO_IBLOCK* VARNO_GEN::skip_block_processing(const std::string& name) {
  VARNO_IBLOCK* block = get_block(name, false);
  VARNO_BLOCK* base = dynamic_cast<VARNO_BLOCK*>(block);
  if (base == nullptr) return nullptr;
  base->set_skip_processing();
  return block;
}

// ---- Block-type overrides --------------------------------------------------------------------

void VARNO_GEN::overwrite_block_param_type(const std::string& name, u32 a, u32 b, u32 c) {
  // Wider values would spill into the neighbouring fields of the packed key
  // and make the override match another cell.
  if (a >= VARNO_OVERRIDE_CELL_LIMIT || b >= VARNO_OVERRIDE_CELL_LIMIT ||
      c >= VARNO_OVERRIDE_TYPE_LIMIT) {
    VARNO_UTIL::print_error_msg(
        "Block type override for %s (%u, %u) -> %u ignored: column and row must be below %u, "
        "type below %u",
        name.c_str(), a, b, c, VARNO_OVERRIDE_CELL_LIMIT, VARNO_OVERRIDE_TYPE_LIMIT);
    return;
  }
  m_block_type_overrides.emplace(name, c << 24 | b << 12 | a);
}

void VARNO_GEN::overwrite_block_type(std::string name, u32 a, u32 b, u32& out) {
  if (m_block_type_overrides.empty()) return;
  // No stored key can name a cell beyond the 12-bit range.
  if (a >= VARNO_OVERRIDE_CELL_LIMIT || b >= VARNO_OVERRIDE_CELL_LIMIT) return;
  const u32 key = b << 12 | a;
  auto range = m_block_type_overrides.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) {
    if ((it->second & 0x00FFFFFFu) == key) {
      out = it->second >> 24;
      return;
    }
  }
}

// ---- Dumps ----------------------------------------------------------------------------------------

void VARNO_GEN::write_to_file(const std::string& path, VARNO_OUTPUT_FORMAT format) {
  std::ofstream stream;
  if (!VARNO_UTIL::open_ostream_by_type(stream, path, format)) {
    VARNO_INTERNAL_ERROR("Invalid output format");
  }
  if (!stream.good()) {
    stream.close();
    VARNO_UTIL::print_error_msg("Cannot open %s for writing", path.c_str());
    return;
  }
  for (u32 i = 0; i < max_block_index(); ++i) get_block_by_index(i)->dump(stream, format);
  stream.close();
}

void VARNO_GEN::dump_expected_data(const std::string& path) {
  if (!FIO_FILE_SYSTEM::exists(path) && FIO_FILE_SYSTEM::mkdir(path) != 0) {
    VARNO_INTERNAL_ERROR("Invalid path for dumping golden image");
  }
  const std::string base = (!path.empty() && path.back() == '/') ? path : path + "/";
  // Two blocks of one type would write the same file: later ones get a
  // "_<n>" suffix (the second "_2") so that none is overwritten.
  std::map<u32, u32> seen;
  for (VARNO_IBLOCK* block : m_Blocks) {
    auto itt = m_BlockToNameMap.find(block);
    VARNO_ASSERT(itt != m_BlockToNameMap.end());
    std::string block_name;
    VARNO_ASSERT(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, itt->second, &block_name));
    const u32 occurrence = ++seen[itt->second];
    if (occurrence > 1) {
      block_name += '_';
      block_name += std::to_string(occurrence);
    }
    std::string file = base + block_name;
    if (VARNO_DBLOCK* dblock = dynamic_cast<VARNO_DBLOCK*>(block)) {
      file += ".img";
      dblock->dump_expected_data(file);
    } else if (VARNO_EBLOCK* eblock = dynamic_cast<VARNO_EBLOCK*>(block)) {
      eblock->dump_expected_data(file);
    }
  }
}

// ---- Operations of later components ------------------------------------------------------------------

VARNO_IMBLOCK_GROUP* VARNO_GEN::create_group() {
  VARNO_INTERNAL_ERROR("create_group is not available");
}

VARNO_ITOP_BITSTREAM* VARNO_GEN::create_top_bitstream() {
  VARNO_INTERNAL_ERROR("create_top_bitstream is not available");
}

u32 VARNO_GEN::get_2d_libs_size() { VARNO_INTERNAL_ERROR("get_2d_libs_size is not available"); }

int VARNO_GEN::copy_2d_libs(u8*, u32) { VARNO_INTERNAL_ERROR("copy_2d_libs is not available"); }

u32 VARNO_GEN::get_2d_ip_libs_count() {
  VARNO_INTERNAL_ERROR("get_2d_ip_libs_count is not available");
}

u32 VARNO_GEN::get_ip_offset(u32) { VARNO_INTERNAL_ERROR("get_ip_offset is not available"); }

void VARNO_GEN::clear_2d_data() { VARNO_INTERNAL_ERROR("clear_2d_data is not available"); }

u32 VARNO_GEN::get_2d_pred_settings(u32) {
  VARNO_INTERNAL_ERROR("get_2d_pred_settings is not available");
}

u32 VARNO_GEN::get_s4_setup_size() { VARNO_INTERNAL_ERROR("get_s4_setup_size is not available"); }

void VARNO_GEN::copy_s4_setup(u8*, u32) { VARNO_INTERNAL_ERROR("copy_s4_setup is not available"); }

u32 VARNO_GEN::get_decomp_setup_size(bool) {
  VARNO_INTERNAL_ERROR("get_decomp_setup_size is not available");
}

u32 VARNO_GEN::copy_decomp_setup(u8*, u32, u32, VARNO_IMBLOCK_GROUP*, u32, bool) {
  VARNO_INTERNAL_ERROR("copy_decomp_setup is not available");
}

u32 VARNO_GEN::get_korvia_codebook_size(u32) {
  VARNO_INTERNAL_ERROR("get_korvia_codebook_size is not available");
}

u32 VARNO_GEN::copy_korvia_codebook(u8*, u32, u32, bool) {
  VARNO_INTERNAL_ERROR("copy_korvia_codebook is not available");
}

void VARNO_GEN::get_korvia_codebook_types(std::vector<u32>&) {
  VARNO_INTERNAL_ERROR("get_korvia_codebook_types is not available");
}

void VARNO_GEN::merge_and_create_2d_libs() {
  VARNO_INTERNAL_ERROR("merge_and_create_2d_libs is not available");
}
