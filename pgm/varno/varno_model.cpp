// Building the block model from the family and device parameter files, the
// sector grids with their child generators, and processing all blocks.
#include <map>
#include <memory>
#include <string>

#include "fio.h"
#include "mem.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// The paskevolt5 devices carry a longer option block of type 26 than their
// family file says.
constexpr u32 VARNO_PASKEVOLT5_BLOCK_TYPE = 26;
constexpr u32 VARNO_PASKEVOLT5_WORD_COUNT = 31;

// Device type whose TK sectors use the revision-A device files.
constexpr u32 VARNO_TK_REVA_DEVICE_TYPE = 64;

// The sector-type name that marks a cell without a sector.
constexpr const char* VARNO_EMPTY_CELL_NAME = "10";

// A generator this many levels below its top generator loads no sectors of
// its own. Devices nest sector arrays one or two levels deep; parameter files
// whose sectors name themselves again would otherwise nest without end.
constexpr u32 VARNO_MAX_SECTOR_DEPTH = 8;

// Number of sector generators from gen up to its top generator.
u32 sector_depth(const VARNO_GEN* gen) {
  u32 depth = 0;
  while (gen != nullptr && gen->meta_block() != nullptr) {
    ++depth;
    const VARNO_EBLOCK* eblock = gen->meta_block()->eblock();
    gen = eblock != nullptr ? eblock->generator() : nullptr;
  }
  return depth;
}

bool file_or_ddb_exists(const std::string& path) {
  return FIO_FILE_SYSTEM::exists(path) || FIO_FILE_SYSTEM::exists(path + ".ddb");
}

// The path a load by name reads: the device database resolves a relative
// name against its search directory.
std::string path_of_name(const std::string& name) {
  const std::string& dir = VOLD_DATA_SERVER::get_search_path();
  if (name.empty() || name[0] == '/' || dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

u32 VARNO_GEN::process_pcfs(bool by_name, bool defer_s4, bool c, void* shared,
                            u32 top_device_type) {
  VARNO_ASSERT(m_family_pcf_info == nullptr);

  // A family file that is not there is an expected condition, whether the
  // host names it by path or by name.
  if (by_name) {
    if (!file_or_ddb_exists(path_of_name(m_family_pcf))) return VARNO_PCF_FAMILY_MISSING;
    m_family_pcf_info = VOLD_DATA_SERVER::zembric_get_vold_info(m_family_pcf, false, true, c);
  } else {
    if (!file_or_ddb_exists(m_family_pcf)) return VARNO_PCF_FAMILY_MISSING;
    m_family_pcf_info = VOLD_DATA_SERVER::get_vold_info(m_family_pcf, false);
  }
  VARNO_ASSERT_MSG(m_family_pcf_info != nullptr, "Invalid family pcf file");
  VOLD_FAMILY_INFO* family_info = m_family_pcf_info->get_family_info();
  VARNO_ASSERT_MSG(family_info != nullptr, "Invalid family info section");
  m_config_data_width = family_info->config_data_width;
  VARNO_ASSERT_MSG(m_config_data_width != 0, "Invalid configuration data width");
  const u32 f_type = family_info->family_type;
  VARNO_ASSERT(f_type != VOLD_FAMILY_UNKNOWN);

  VARNO_EBLOCK::init_static_data(f_type);

  for (auto it = family_info->block_list.begin(); it != family_info->block_list.end(); ++it) {
    VARNO_ASSERT((*it) != nullptr);
    create_block(**it);
  }

  process_device_parameters(by_name, defer_s4, c, shared, top_device_type);
  post_process();
  u32 status = init_sectors(by_name, defer_s4);
  // Runs also after a sector failed, so every data block that can get a
  // manager has one.
  if (!init_frame_mgrs()) status = VARNO_PCF_FRAME_MGR_FAILED;
  return status;
}

void VARNO_GEN::add_block(std::unique_ptr<VARNO_IBLOCK> block, u32 type) {
  VARNO_IBLOCK* raw = block.get();
  m_Blocks.push_back(raw);
  block.release();
  m_type_map.emplace(type, raw);
  m_BlockToNameMap.emplace(raw, type);
}

void VARNO_GEN::create_block(const VOLD_BLOCK_ENTRY& entry) {
  const u32 block_type_val = entry.block_type;
  VARNO_ASSERT(block_type_val < VOLD_BLOCK_MAX);
  if (m_mgr_param.skip_block[block_type_val] != 0) return;

  if (entry.option_flag != 0) {
    u32 word_count = entry.word_count;
    if (m_family_pcf.find("paskevolt") != std::string::npos &&
        m_device_pcf.find("paskevolt5") != std::string::npos &&
        block_type_val == VARNO_PASKEVOLT5_BLOCK_TYPE) {
      word_count = VARNO_PASKEVOLT5_WORD_COUNT;
    }
    auto sblock = std::make_unique<VARNO_SBLOCK>(block_type_val, entry.crc_flag != 0, word_count,
                                                 entry.init_ones_flag != 0, this);
    // The block points at the family information's records.
    if (entry.const_list != nullptr) {
      for (VOLD_CONST_DATA* record : *entry.const_list) sblock->add_const_data(record);
    }
    if (entry.dyn_list != nullptr) {
      for (VOLD_DYN_DATA* record : *entry.dyn_list) sblock->add_dyn_data(record);
    }
    add_block(std::move(sblock), block_type_val);
    return;
  }

  if (entry.frame_description == nullptr) {
    if (entry.instruction_list != nullptr && !entry.instruction_list->empty()) {
      // A sector-array block has no instructions; its sectors carry their own.
      VARNO_UTIL::print_warning_msg("Instructions of sector-array block type %u ignored",
                                    block_type_val);
    }
    add_block(std::make_unique<VARNO_EBLOCK>(block_type_val, this), block_type_val);
    return;
  }

  auto dblock = std::make_unique<VARNO_DBLOCK>(block_type_val, this);
  dblock->set_frame_descriptor(VARNO_FRAME_DESCRIPTOR::pack(*entry.frame_description));
  if (entry.instruction_list != nullptr) {
    for (VOLD_INSTRUCTION* instruction : *entry.instruction_list) {
      // A null record goes in with an out-of-range type, which the block
      // refuses with its own check.
      const VOLD_INSTRUCTION_TYPE type =
          instruction != nullptr ? static_cast<VOLD_INSTRUCTION_TYPE>(instruction->get_instruction_type())
                                 : VOLD_INSTRUCTION_MAX;
      dblock->set_instruction(type, instruction);
    }
  }
  add_block(std::move(dblock), block_type_val);
}

bool VARNO_GEN::process_device_parameters(bool by_name, bool defer_s4, bool c, void* shared,
                                          u32 top_device_type) {
  VARNO_ASSERT(m_device_pcf_info == nullptr);
  m_device_pcf_info = by_name ? VOLD_DATA_SERVER::zembric_get_vold_info(m_device_pcf, false, defer_s4, c)
                              : VOLD_DATA_SERVER::get_vold_info(m_device_pcf, defer_s4);
  VARNO_ASSERT_MSG(m_device_pcf_info != nullptr, "Invalid device pcf file");
  VOLD_DEVICE_INFO* device_info = m_device_pcf_info->get_device_info();
  VARNO_ASSERT_MSG(device_info != nullptr, "Invalid device info section");

  device_info->top_device_type = top_device_type;

  if (shared != nullptr && defer_s4) {
    // The device database checks that the lists fit together.
    device_info->share_s4_s2_list(*static_cast<const VOLD_DEVICE_INFO*>(shared));
  }

  const VOLD_PARAM_LIST* parameter_list = device_info->parameter_list;
  VARNO_ASSERT(parameter_list != nullptr && parameter_list->size() > 0);
  for (VOLD_PARAM* p : *parameter_list) {
    VARNO_ASSERT(p != nullptr);
    const u32 btype = p->get_block_type();
    VARNO_ASSERT(btype < VOLD_BLOCK_MAX);
    std::string block_name;
    VARNO_ASSERT(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, btype, &block_name));
    VARNO_IBLOCK* block = get_block(block_name, false);
    if (VARNO_DBLOCK* dblock = dynamic_cast<VARNO_DBLOCK*>(block)) {
      VARNO_BLOCK_CONFIG* config = dblock->get_block_config();
      VARNO_ASSERT(config != nullptr);
      config->m_param_list.push_back(p);
    } else if (VARNO_EBLOCK* eblock = dynamic_cast<VARNO_EBLOCK*>(block)) {
      VARNO_BLOCK_CONFIG* econfig = eblock->config();
      VARNO_ASSERT(econfig != nullptr);
      econfig->m_param_list.push_back(p);
    }
  }

  const VOLD_ARG_LIST* arg_list = device_info->argument_list;
  VARNO_ASSERT(arg_list != nullptr);
  for (VOLD_ARG* arg : *arg_list) {
    VARNO_ASSERT_MSG(arg != nullptr, "a != nullptr");
    const u32 btype = arg->get_block_type();
    VARNO_ASSERT_MSG(btype < VOLD_BLOCK_MAX, "btype < static_cast<VOLD_BLOCK_TYPE>(VOLD_BLOCK_MAX)");
    VARNO_IBLOCK* block = get_block(btype, false);
    if (VARNO_DBLOCK* dblock = dynamic_cast<VARNO_DBLOCK*>(block)) {
      VARNO_BLOCK_CONFIG* config = dblock->get_block_config();
      VARNO_ASSERT(config != nullptr);
      config->m_arg_list.push_back(arg);
    } else if (VARNO_EBLOCK* eblock = dynamic_cast<VARNO_EBLOCK*>(block)) {
      VARNO_BLOCK_CONFIG* econfig = eblock->config();
      VARNO_ASSERT(econfig != nullptr);
      econfig->m_arg_list.push_back(arg);
    }
  }

  m_device_option_bits = device_info->option_bit_list;
  return true;
}

void VARNO_GEN::post_process() {
  VARNO_SBLOCK* sblock = dynamic_cast<VARNO_SBLOCK*>(get_block("OPTION_BITS", false));
  if (sblock == nullptr) return;
  std::string ob_name;
  VARNO_ASSERT(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DYN_DATA, VOLD_DYN_DATA_OPTION_BITS, &ob_name));
  const VOLD_DYN_DATA* dyn = sblock->get_dyn_data_by_name(ob_name);
  if (dyn == nullptr || dyn->get_ob_list() == nullptr || m_device_option_bits == nullptr ||
      m_device_option_bits->empty()) {
    return;
  }
  for (const VOLD_OB_DATA* device_ob : *m_device_option_bits) {
    VARNO_ASSERT(device_ob != nullptr);
    VOLD_OB_DATA* family_ob = nullptr;
    for (VOLD_OB_DATA* candidate : *dyn->get_ob_list()) {
      if (candidate != nullptr && candidate->same_key(*device_ob)) {
        family_ob = candidate;
        break;
      }
    }
    VARNO_ASSERT_MSG(family_ob != nullptr, "Cannot match device option bits with family option bits");
    u32 dev_length = 0;
    u32 family_length = 0;
    const u8* dev_data = device_ob->get_data(dev_length);
    u8* family_data = family_ob->get_data(family_length);
    VARNO_ASSERT(dev_length == family_length);
    VARNO_UTIL::bit_copy(dev_data, 0, family_data, 0, dev_length, true);
  }
}

u32 VARNO_GEN::init_sectors(bool by_name, bool defer_s4) {
  u32 status = VARNO_PCF_OK;
  bool failed = false;
  // Device file path to the device section of the sector that loaded it
  // first with its own S4/S2 list; later sectors of that file share it.
  std::map<std::string, VOLD_DEVICE_INFO*> loaded_devices;

  for (VARNO_IBLOCK* block : m_Blocks) {
    VARNO_EBLOCK* eblock = dynamic_cast<VARNO_EBLOCK*>(block);
    if (eblock == nullptr) continue;

    auto it = m_BlockToNameMap.find(block);
    VARNO_ASSERT(it != m_BlockToNameMap.end());
    std::string block_name;
    VARNO_ASSERT(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, it->second, &block_name));

    VARNO_BLOCK_CONFIG* config = eblock->config();
    VARNO_ASSERT(config != nullptr);
    if (config->get_param(VOLD_PARAMETER_ARRAY_COUNT) == nullptr) continue;
    VARNO_ASSERT_MSG(sector_depth(this) < VARNO_MAX_SECTOR_DEPTH, "Sector arrays nested too deeply");

    const VOLD_FAMILY_INFO* family_info =
        m_family_pcf_info != nullptr ? m_family_pcf_info->get_family_info() : nullptr;
    VARNO_ASSERT(family_info != nullptr);
    const u32 f_type = family_info->family_type;
    VARNO_ASSERT(f_type != VOLD_FAMILY_UNKNOWN);
    const VOLD_DEVICE_INFO* device_info =
        m_device_pcf_info != nullptr ? m_device_pcf_info->get_device_info() : nullptr;
    VARNO_ASSERT(device_info != nullptr);
    const u32 d_type = device_info->device_type;
    VARNO_ASSERT(d_type != VOLD_DEVICE_UNKNOWN);

    const size_t i = block_name.find('_');
    VARNO_ASSERT(i != STL_STRING::npos);
    const std::string part = stl_tolower(block_name.substr(0, i + 1));

    std::string family_prefix;
    std::string device_prefix;
    switch (f_type) {
      case VOLD_FAMILY_QUELVO:
        family_prefix = "quelvo_";
        device_prefix = "qv_";
        break;
      case VOLD_FAMILY_TROSKIVANE:
        family_prefix = "troskivane_";
        if (part != "aib_" && d_type == VARNO_TK_REVA_DEVICE_TYPE)
          device_prefix = "tk_reva_";
        else
          device_prefix = "tk_";
        break;
      case VOLD_FAMILY_WILBERTOSKA:
        family_prefix = "wilbertoska_";
        device_prefix = "wx_";
        break;
      default:
        break;
    }
    const std::string family_file = family_prefix + part + "family_vold";

    const u32 x_count = config->get_param_value(VOLD_PARAMETER_ARRAY_COUNT, 0u);
    const u32 y_count = config->get_param_value(VOLD_PARAMETER_ARRAY_COUNT, 1u);
    eblock->set_sector_counts(x_count, y_count);
    eblock->create_sectors();

    const std::string directory = FIO_PATH(m_family_pcf).full_directory();

    if (failed) continue;

    // Every cell needs its sector type; a short list would silently give
    // the missing cells type 0.
    VARNO_ASSERT_MSG(static_cast<u64>(config->get_param_size(VOLD_PARAMETER_ARRAY_TYPE)) >=
                         static_cast<u64>(x_count) * y_count,
                     "ARRAY_TYPE has fewer values than the sector array has cells");

    // Sectors get the top-level device type this generator was given.
    const u32 top_device_type = device_info->top_device_type;

    for (u32 x = 0; x < x_count && !failed; ++x) {
      for (u32 y = 0; y < y_count; ++y) {
        const u32 cell = y * x_count + x;
        const u32 c0 = eblock->get_arg_value("CNOC_ADDRESSES", cell, 0);
        const u32 c1 = eblock->get_arg_value("CNOC_ADDRESSES", cell, 1);
        const u32 c2 = eblock->get_arg_value("CNOC_ADDRESSES", cell, 2);

        u32 type = config->get_param_value(VOLD_PARAMETER_ARRAY_TYPE, cell);
        overwrite_block_type(block_name, x, y, type);
        config->set_param_value(VOLD_PARAMETER_ARRAY_TYPE, cell, type);

        const std::string mapped = VARNO_EBLOCK::get_vold_mapped_name(part, type);
        const std::string device_name =
            part == "aib_" ? part + mapped : device_prefix + part + mapped;
        if (mapped == VARNO_EMPTY_CELL_NAME) continue;
        const std::string& dev_type = mapped;
        VARNO_ASSERT(dev_type.size() > 0);

        VARNO_MBLOCK* sector = eblock->get_sector(x, y);
        VARNO_ASSERT(sector != nullptr);
        VARNO_GEN* sector_gen = dynamic_cast<VARNO_GEN*>(sector->generator());
        VARNO_ASSERT(sector_gen != nullptr);
        const std::string device_path = directory + device_name;
        sector_gen->set_family_pcf(directory + family_file);
        sector_gen->set_device_pcf(device_path);

        auto found = loaded_devices.find(device_path);
        const bool real_rif_exist = found != loaded_devices.end();
        if (real_rif_exist) {
          status = sector_gen->process_pcfs(by_name, true, false, found->second, top_device_type);
        } else {
          status = sector_gen->process_pcfs(by_name, defer_s4, false, nullptr, top_device_type);
        }

        if (status == VARNO_PCF_OK) {
          VOLD_DEVICE_INFO* sector_device = sector_gen->device_pcf_info()->get_device_info();
          if (sector_device->m_s4_s2_list != nullptr) {
            VARNO_ASSERT(!real_rif_exist);
            loaded_devices.emplace(device_path, sector_device);
          }
        }

        sector->set_cnoc_address(c0, c1, c2 == 1);

        if (status != VARNO_PCF_OK) {
          failed = true;
          break;
        }
      }
    }
  }
  return status;
}

bool VARNO_GEN::init_frame_mgrs() {
  for (VARNO_IBLOCK* block : m_Blocks) {
    VARNO_DBLOCK* dblock = dynamic_cast<VARNO_DBLOCK*>(block);
    if (dblock != nullptr && !dblock->init_frame_mgr()) return false;
  }
  return true;
}

bool VARNO_GEN::do_all_blocks() {
  bool result = true;
  for (VARNO_IBLOCK* block : m_Blocks) {
    result = block->process(false);
    if (!result) break;
  }
  do_block_links();
  if (m_mgr_param.qv_2d_compression != 0) merge_and_create_2d_libs();
  return result;
}

void VARNO_GEN::do_block_links() {
  for (VARNO_IBLOCK* block : m_Blocks) block->update_links();
}
