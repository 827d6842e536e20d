// The generator and the generator factory: block lookup, block-type
// overrides, the text and expected-data dumps, and destruction. Building the
// model lives in varno_model.cpp.
#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "cfg.h"
#include "fio.h"
#include "korvia_fmt.h"
#include "mem.h"
#include "varno_assert.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_qv_2d_engine.h"
#include "varno_qv_top_bitstream.h"
#include "varno_sblock.h"
#include "varno_tables.h"
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

VARNO_GEN::VARNO_GEN()
    : m_device_lsm_delays(&s_device_lsm_delays), m_family_lsm_delays(&s_family_lsm_delays) {}

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
  // Registered engines are not touched: their data blocks, deleted above,
  // still owned those that clear_2d_data had not taken.
  delete m_combined_engine;
  m_combined_engine = nullptr;
}

// ---- Names and records -------------------------------------------------------------

// The model is built from the names once: a name given after it would not
// be loaded, while a block group still reads the device name and would take
// another device's settings.
void VARNO_GEN::set_family_pcf(const std::string& name) {
  VARNO_ASSERT_MSG(m_family_pcf_info == nullptr, "set_family_pcf after process_pcfs");
  m_family_pcf = name;
}
void VARNO_GEN::set_device_pcf(const std::string& name) {
  VARNO_ASSERT_MSG(m_family_pcf_info == nullptr, "set_device_pcf after process_pcfs");
  m_device_pcf = name;
}
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
  // The sectors chose their files in process_pcfs: a later override would
  // not reach them.
  VARNO_ASSERT_MSG(m_family_pcf_info == nullptr, "overwrite_block_param_type after process_pcfs");
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
  // Before any build the dump would show empty images and no frames as if
  // they were the design. A build that stopped early still dumps what it
  // made.
  // A block given new design data since its build would show frames of the
  // old data, and an option block whose image changed since its CRC word a
  // word of the old image.
  using STATE = VARNO_BLOCK::BUILD_STATE;
  bool built = m_Blocks.empty();
  for (VARNO_IBLOCK* b : m_Blocks) {
    const auto* block = dynamic_cast<const VARNO_BLOCK*>(b);
    const STATE state = block != nullptr ? block->build_state() : STATE::BUILT;
    if (block != nullptr && block->outdated()) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "Text dump before a rebuild of block %s%s: %s", block->block_type_name(),
          block->sector_position().c_str(), block->change_text().c_str()));
    }
    const auto* sblock = dynamic_cast<const VARNO_SBLOCK*>(b);
    if (sblock != nullptr && sblock->crc_stale()) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Text dump with a stale CRC word of block %s%s: %s",
                                               sblock->block_type_name(),
                                               sblock->sector_position().c_str(),
                                               VARNO_SBLOCK::STALE_CRC_TEXT));
    }
    built = built || state == STATE::BUILT;
  }
  VARNO_ASSERT_MSG(built, "Text dump before do_all_blocks built any block");
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

// The caller owns the new group, bound to this generator.
VARNO_IMBLOCK_GROUP* VARNO_GEN::create_group() { return new VARNO_MBLOCK_GROUP(this); }

// The caller owns the new, empty bitstream.
VARNO_ITOP_BITSTREAM* VARNO_GEN::create_top_bitstream() { return new VARNO_QV_TOP_BITSTREAM(); }

// ---- 2D library image ------------------------------------------------------------------

namespace {

// The library types: CRAM IP types 0 to 3, then ERAM.
constexpr u32 VARNO_2D_IP_LIBS_COUNT = QV_2D_MAX_IP_LIBS + 1;
constexpr u32 VARNO_2D_PRED_SETTINGS_TK[2] = {0x80012u, 0x32651034u};
constexpr u32 VARNO_2D_PRED_SETTINGS_QV[2] = {0x38284u, 0u};

}  // namespace

u32 VARNO_GEN::get_2d_libs_size() { return m_2d_libs_size; }

int VARNO_GEN::copy_2d_libs(u8* dst, u32 bytes) {
  VARNO_ASSERT(dst != nullptr || bytes == 0);
  VARNO_ASSERT(bytes <= m_2d_libs_size);
  // Nothing to copy is no failure, image or not.
  if (bytes == 0) return 0;
  return memcpy_s(dst, bytes, m_2d_libs, bytes);
}

u32 VARNO_GEN::get_2d_ip_libs_count() { return VARNO_2D_IP_LIBS_COUNT; }

u32 VARNO_GEN::get_ip_offset(u32 ip) {
  return (ip < QV_2D_MAX_IP_LIBS ? m_cram_lib_offsets[ip] : m_eram_lib_offset) / 8;
}

void VARNO_GEN::clear_2d_data() {
  m_2d_libs_size = 0;
  for (u32& offset : m_cram_lib_offsets) offset = 0;
  m_eram_lib_offset = 0;
  delete[] m_2d_libs;
  m_2d_libs = nullptr;
  // The block forgets its engine before the engine goes, so that neither
  // deletes it twice. After a merge the blocks' frames are residues, which
  // mean nothing without the engines' tables.
  const bool merged = m_combined_engine != nullptr;
  while (!m_2d_engines.empty()) {
    VARNO_QV_2D_ENGINE* engine = m_2d_engines.back();
    m_2d_engines.pop_back();
    if (engine == nullptr) continue;
    auto* block = dynamic_cast<VARNO_DBLOCK*>(engine->m_blk);
    if (merged && block != nullptr && block->get_2d_engine() == engine) block->mark_2d_tables_released();
    engine->unregister_from_block();
    delete engine;
  }
  delete m_combined_engine;
  m_combined_engine = nullptr;
}

u32 VARNO_GEN::get_2d_pred_settings(u32 wrd_idx) {
  VARNO_ASSERT(wrd_idx == 0 || wrd_idx == 1);
  return m_mgr_param.tk_flow == 1 ? VARNO_2D_PRED_SETTINGS_TK[wrd_idx]
                                  : VARNO_2D_PRED_SETTINGS_QV[wrd_idx];
}

void VARNO_GEN::merge_and_create_2d_libs() {
  if (m_2d_engines.empty()) return;
  VARNO_QV_2D_ENGINE* first_eng = m_2d_engines.front();
  VARNO_ASSERT(first_eng != nullptr);

  // A repeated merge starts afresh: the image, its offsets and the merged
  // statistics describe the engines' current data only.
  if (m_2d_libs != nullptr || m_2d_libs_size != 0 || m_combined_engine != nullptr) {
    delete[] m_2d_libs;
    m_2d_libs = nullptr;
    m_2d_libs_size = 0;
    for (u32& offset : m_cram_lib_offsets) offset = 0;
    m_eram_lib_offset = 0;
    delete m_combined_engine;
    m_combined_engine = nullptr;
  }

  const u8 align = m_mgr_param.qv_2d_align;
  if (m_combined_engine == nullptr) {
    auto engine = std::make_unique<VARNO_QV_2D_ENGINE>(nullptr, true);
    engine->m_Align2D = align != 0;
    const u8 variant = m_mgr_param.s4_variant;
    const VOLD_DEVICE_INFO* device =
        m_device_pcf_info != nullptr ? m_device_pcf_info->get_device_info() : nullptr;
    VARNO_ASSERT_MSG(device != nullptr, "device_pcf != nullptr");
    const u32 top_type = device->top_device_type;
    if (variant == 3 || (variant == 1 && top_type != 41 && top_type != 53 && top_type != 63)) {
      engine->m_S4Mode = true;
      engine->m_IpWidthFactor = 1;
    } else {
      engine->m_S4Mode = false;
    }
    m_combined_engine = engine.release();
  }
  const bool targets = align != 0 && (m_mgr_param.qv_2d_compression & 8u) != 0;

  std::vector<VARNO_QV_2D_ENGINE*> engines;
  for (VARNO_QV_2D_ENGINE* engine : m_2d_engines) {
    if (engine != nullptr) engines.push_back(engine);
  }
  for (VARNO_QV_2D_ENGINE* engine : engines) m_combined_engine->merge_hashes(*engine);

  // Every library of a type takes the first engine's size. An engine whose
  // own libraries of that type differ would copy, compare or target past
  // its slot.
  const VARNO_QV_IP_TYPE lib_types[VARNO_2D_IP_LIBS_COUNT] = {
      VARNO_QV_IP_TYPE{0}, VARNO_QV_IP_TYPE{1}, VARNO_QV_IP_TYPE{2}, VARNO_QV_IP_TYPE{3},
      QV_IP_TYPE_ERAM};
  u32 lib_sizes[VARNO_2D_IP_LIBS_COUNT] = {};
  u64 reserved = 0;
  for (u32 i = 0; i < VARNO_2D_IP_LIBS_COUNT; ++i) {
    const VARNO_QV_IP_TYPE ip = lib_types[i];
    lib_sizes[i] = first_eng->get_lib_size(ip);
    reserved += (ip == QV_IP_TYPE_ERAM ? 1u : 2u) * u64{lib_sizes[i]};
    for (VARNO_QV_2D_ENGINE* engine : engines) {
      VARNO_ASSERT_MSG(!engine->has_ip_type(ip) || engine->get_lib_size(ip) == lib_sizes[i],
                       "eng->get_lib_size(ip_type) == first_eng->get_lib_size(ip_type)");
    }
  }
  VARNO_ASSERT_MSG(reserved <= 0xFFFFFFFFu, "m_2d_libs_size <= 0xFFFFFFFF");
  // Built aside and committed at the end, so that a failed merge leaves the
  // cleared state.
  std::unique_ptr<u8[]> image;
  if (reserved != 0) image = std::make_unique<u8[]>(reserved);
  u8* const base = image.get();
  u64 cursor = 0;
  u32 cram_offsets[QV_2D_MAX_IP_LIBS] = {};

  msg_vdebug_impl(2, "Running cram lib extraction...");
  for (u32 ip_index = 0; ip_index < QV_2D_MAX_IP_LIBS; ++ip_index) {
    const VARNO_QV_IP_TYPE ip = lib_types[ip_index];
    cram_offsets[ip_index] = static_cast<u32>(cursor);
    const u32 lib_size = lib_sizes[ip_index];
    bool found[2] = {false, false};
    for (u32 lib = 0; lib < 2; ++lib) {
      msg_vdebug_impl(2, "Clear lib %d for IP %d", lib, ip_index);
      unsigned hash = 0;
      if (!m_combined_engine->find_and_clear_top_hash(ip, hash)) continue;
      bool found_lib = false;
      for (VARNO_QV_2D_ENGINE* engine : engines) {
        if (engine->find_hash_and_copy_lib(hash, ip, base + cursor, lib_size)) {
          found_lib = true;
          break;
        }
      }
      VARNO_ASSERT(found_lib);
      for (VARNO_QV_2D_ENGINE* engine : engines) engine->update_with_libs(ip, hash, lib, base + cursor);
      cursor += lib_size;
      found[lib] = true;
    }

    const bool combined_flow = cfg_is_on("varno_use_combined_2dpred_flow", true);
    if (!targets) continue;
    u8* const libs = base != nullptr ? base + cram_offsets[ip_index] : nullptr;
    if (combined_flow) {
      // A slot without a library is zero, which never beats the raw bytes.
      for (VARNO_QV_2D_ENGINE* engine : engines) engine->run_combined_target(ip, libs, lib_size);
    } else {
      for (u32 t = 0; t < 2; ++t) {
        // A slot without a library would code slices against bytes the
        // image will not hold there.
        if (!found[t]) continue;
        for (VARNO_QV_2D_ENGINE* engine : engines) {
          engine->run_target(ip, libs + t * lib_size, lib_size, t);
        }
      }
      if (m_mgr_param.tk_flow == 1) {
        for (VARNO_QV_2D_ENGINE* engine : engines) engine->run_row_target(ip, true);
      }
    }
  }

  msg_vdebug_impl(2, "Running eram lib extraction...");
  const u32 eram_offset = static_cast<u32>(cursor);
  const u32 eram_lib_size = lib_sizes[QV_2D_MAX_IP_LIBS];
  unsigned hash = 0;
  if (m_combined_engine->find_and_clear_top_hash(QV_IP_TYPE_ERAM, hash)) {
    bool found_lib = false;
    for (VARNO_QV_2D_ENGINE* engine : engines) {
      if (engine->find_hash_and_copy_lib(hash, QV_IP_TYPE_ERAM, base + cursor, eram_lib_size)) {
        found_lib = true;
        break;
      }
    }
    VARNO_ASSERT(found_lib);
    u8* const lib = base + eram_offset;
    for (VARNO_QV_2D_ENGINE* engine : engines) {
      engine->update_with_libs(QV_IP_TYPE_ERAM, hash, 0, lib);
      if (targets) {
        engine->run_target(QV_IP_TYPE_ERAM, lib, eram_lib_size, 0);
        engine->run_row_target(QV_IP_TYPE_ERAM, false);
        engine->update_target_frames(QV_IP_TYPE_ERAM, lib, eram_lib_size, 0, 0);
      }
    }
    cursor += eram_lib_size;
  }

  for (VARNO_QV_2D_ENGINE* engine : engines) {
    engine->write_bbm();
    engine->update_2d_segments();
  }

  m_2d_libs = image.release();
  m_2d_libs_size = static_cast<u32>(cursor);
  for (u32 i = 0; i < QV_2D_MAX_IP_LIBS; ++i) m_cram_lib_offsets[i] = cram_offsets[i];
  m_eram_lib_offset = eram_offset;
}
