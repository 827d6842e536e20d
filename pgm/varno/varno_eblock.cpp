#include "varno_eblock.h"

#include <map>
#include <memory>
#include <span>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_gen.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// More cells than any device has; keeps a damaged file from asking for an
// enormous grid.
constexpr u64 VARNO_MAX_SECTOR_CELLS = 1u << 16;

using NAME_TABLE = std::span<const char* const>;

constexpr const char* const s_qv_sector_types[] = {
    "dummy",       "cl",          "f1",          "f6",          "fc",
    "ir",          "jl",          "kl",          "kr",          "lr",
    "mi",          "pl",          "pr",          "rl",          "yl",
    "g1",          "pb",          "ll",          "f6_top",      "lr_top",
    "rl_top",      "ir_top",      "jl_top",      "f1_top",      "ip",
    "mp",          "f1prime",     "f6prime",     "irprime",     "jlprime",
    "pbprime",     "rlprime",     "f1prime_top", "f6prime_top", "irprime_top",
    "jlprime_top", "rlprime_top",
};
static_assert(std::size(s_qv_sector_types) == 37);

constexpr const char* const s_tk_sector_types[] = {
    "dummy",  "fs",     "apls",   "afs",    "pls",    "vpls",   "vfs",    "f7",     "apl7",
    "af7",    "pl7",    "vpl7",   "vf7",    "ansfn",  "anspln", "aqsfn",  "arsfn",  "nnmfn",
    "nnmpln", "nnnfn",  "nnnpln", "nnsfn",  "nnspln", "nqmfn",  "nqnfn",  "nqsfn",  "nrmfn",
    "nrnfn",  "nrsfn",  "vnnfn",  "vnnpln", "vnspln", "vqnfn",  "vrnfn",  "vrsfn",  "ansplf",
    "ansff",  "arsff",  "nnsplf", "nnsff",  "nrsff",  "nnmplf", "nnmff",  "nrmff",  "nnnplf",
    "nnnff",  "nrnff",  "vnnplf", "vnnff",  "vrnff",
};
static_assert(std::size(s_tk_sector_types) == 50);

constexpr const char* const s_wx_sector_types[] = {"dummy", "cbssm"};
constexpr const char* const s_aib_types[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
constexpr const char* const s_io_types[] = {"1", "2", "3", "4"};
constexpr const char* const s_dib_types[] = {"1"};
constexpr const char* const s_uib_types[] = {"1", "2", "3"};
constexpr const char* const s_esram_types[] = {"1"};
constexpr const char* const s_crypto_types[] = {"1"};
constexpr const char* const s_hnoc_types[] = {"1"};

// Name part to the table of sector names; lives for the process. The span
// keeps each table's length so that no index reads past its end.
std::map<std::string, NAME_TABLE>& vold_map() {
  static std::map<std::string, NAME_TABLE> s_vold_map;
  return s_vold_map;
}

}  // namespace

// ---- Meta block -------------------------------------------------------------

VARNO_MBLOCK::VARNO_MBLOCK(u32 x, u32 y, VARNO_EBLOCK* eblock)
    : m_eblock(eblock), m_x(x), m_y(y), m_cnoc_flag(0) {
  VARNO_IGEN_FACTORY* f = varno_get_factory();
  VARNO_ASSERT(f != nullptr);
  m_generator = f->create_generator();
  VARNO_ASSERT(m_generator != nullptr);
}

VARNO_MBLOCK::~VARNO_MBLOCK() {
  delete m_generator;
  m_generator = nullptr;
}

// ---- Sector-array block -------------------------------------------------------

VARNO_EBLOCK::VARNO_EBLOCK() : VARNO_BLOCK(0, nullptr) {}

VARNO_EBLOCK::VARNO_EBLOCK(u32 type, VARNO_GEN* gen)
    : VARNO_BLOCK(type, gen), m_config(new VARNO_BLOCK_CONFIG()) {}

VARNO_EBLOCK::~VARNO_EBLOCK() {
  delete m_config;
  m_config = nullptr;
  while (!m_sectors.empty()) {
    delete m_sectors.back();
    m_sectors.pop_back();
  }
}

void VARNO_EBLOCK::init_static_data(u32 family_type) {
  auto& map = vold_map();
  switch (family_type) {
    case VOLD_FAMILY_QUELVO:
    case VOLD_FAMILY_QUELVO_SECTOR:
      map["sector_"] = NAME_TABLE(s_qv_sector_types);
      break;
    case VOLD_FAMILY_TROSKIVANE:
    case VOLD_FAMILY_TROSKIVANE_SECTOR:
      map["sector_"] = NAME_TABLE(s_tk_sector_types);
      break;
    case VOLD_FAMILY_WILBERTOSKA:
    case VOLD_FAMILY_WILBERTOSKA_SECTOR:
      map["sector_"] = NAME_TABLE(s_wx_sector_types);
      break;
    default:
      break;
  }
  map["aib_"] = NAME_TABLE(s_aib_types);
  map["io_"] = NAME_TABLE(s_io_types);
  map["dib_"] = NAME_TABLE(s_dib_types);
  map["uib_"] = NAME_TABLE(s_uib_types);
  map["esram_"] = NAME_TABLE(s_esram_types);
  map["crypto_"] = NAME_TABLE(s_crypto_types);
  map["hnoc_"] = NAME_TABLE(s_hnoc_types);
}

std::string VARNO_EBLOCK::get_vold_mapped_name(const std::string& part, u32 index) {
  const auto& map = vold_map();
  auto it = map.find(part);
  if (it == map.end() || index >= it->second.size()) return std::string();
  return it->second[index];
}

void VARNO_EBLOCK::create_sectors() {
  VARNO_ASSERT(m_XSectorCount > 0 && m_YSectorCount > 0);
  const u64 cells = static_cast<u64>(m_XSectorCount) * m_YSectorCount;
  VARNO_ASSERT_MSG(cells <= VARNO_MAX_SECTOR_CELLS, "Too many sectors in the sector array");
  m_sectors.reserve(m_sectors.size() + cells);
  for (u64 i = 0; i < cells; ++i) {
    auto sector = std::make_unique<VARNO_MBLOCK>(static_cast<u32>(i % m_XSectorCount),
                                                 static_cast<u32>(i / m_XSectorCount), this);
    VARNO_GEN* gen = dynamic_cast<VARNO_GEN*>(sector->generator());
    VARNO_ASSERT(gen != nullptr);
    gen->set_meta_block(sector.get());
    m_sectors.push_back(sector.release());
  }
}

VARNO_MBLOCK* VARNO_EBLOCK::get_sector(u32 x, u32 y) const {
  if (x >= m_XSectorCount || y >= m_YSectorCount) return nullptr;
  const u64 index = static_cast<u64>(y) * m_XSectorCount + x;
  // Cells exist once create_sectors ran.
  if (index >= m_sectors.size()) return nullptr;
  return m_sectors[index];
}

VARNO_IGEN* VARNO_EBLOCK::sector_generator(u64 index) const {
  VARNO_MBLOCK* sector = index < m_sectors.size() ? m_sectors[index] : nullptr;
  VARNO_ASSERT(sector != nullptr);
  VARNO_IGEN* gen = sector->generator();
  VARNO_ASSERT(gen != nullptr);
  return gen;
}

bool VARNO_EBLOCK::process(bool) {
  mark_built();
  const u64 cells = static_cast<u64>(m_XSectorCount) * m_YSectorCount;
  for (u64 i = 0; i < cells; ++i) {
    VARNO_IGEN* gen = sector_generator(i);
    msg_vdebug_impl(2, "Processing sector %d %d", static_cast<int>(i % m_XSectorCount),
                    static_cast<int>(i / m_XSectorCount));
    if (!gen->do_all_blocks()) return false;
  }
  return true;
}

void VARNO_EBLOCK::reset_process() {
  const u64 cells = static_cast<u64>(m_XSectorCount) * m_YSectorCount;
  for (u64 i = 0; i < cells; ++i) sector_generator(i)->reset_all_blocks();
}

void VARNO_EBLOCK::register_2d_engine() {
  const u64 cells = static_cast<u64>(m_XSectorCount) * m_YSectorCount;
  for (u64 i = 0; i < cells; ++i) sector_generator(i)->register_all_blocks_2d_engine();
}

void VARNO_EBLOCK::dump(std::ofstream&, VARNO_OUTPUT_FORMAT) {}

void VARNO_EBLOCK::dump_expected_data(const std::string& path) {
  for (u32 x = 0; x < m_XSectorCount; ++x) {
    for (u32 y = 0; y < m_YSectorCount; ++y) {
      VARNO_MBLOCK* mblock = get_sector(x, y);
      VARNO_ASSERT(mblock != nullptr);
      VARNO_IGEN* gen = mblock->generator();
      VARNO_ASSERT(gen != nullptr);
      gen->dump_expected_data(path + KORVIA::fmt_sprintf("X%dY%d", x, y));
    }
  }
}

// ---- Parameters and arguments by name ---------------------------------------------

VOLD_PARAMETER_TYPE VARNO_EBLOCK::parameter_type(const std::string& name) const {
  VOLD_PARAMETER_TYPE type = VOLD_PARAMETER_MAX;
  if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_PARAMETER, name, type)) {
    VARNO_INTERNAL_ERROR("Unrecognized parameter name");
  }
  VARNO_ASSERT(m_config != nullptr);
  return type;
}

VOLD_ARGUMENT_TYPE VARNO_EBLOCK::argument_type(const std::string& name) const {
  VOLD_ARGUMENT_TYPE type = VOLD_ARGUMENT_MAX;
  if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_ARGUMENT, name, type)) {
    VARNO_INTERNAL_ERROR("Unrecognized argument name");
  }
  VARNO_ASSERT(m_config != nullptr);
  return type;
}

u32 VARNO_EBLOCK::get_param_size(const std::string& name) {
  const VOLD_PARAMETER_TYPE type = parameter_type(name);
  return m_config->get_param_size(type);
}

u32 VARNO_EBLOCK::get_param_value(const std::string& name, u32 index) {
  const VOLD_PARAMETER_TYPE type = parameter_type(name);
  const u32 count = m_config->get_param_size(type);
  if (index >= count) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Parameter %s (%d) index (%d) out of range (%d)",
                                             name.c_str(), static_cast<u32>(type), index, count));
  }
  return m_config->get_param_value(type, index);
}

u32 VARNO_EBLOCK::get_param_value(const std::string& name, std::string entry) {
  const VOLD_PARAMETER_TYPE type = parameter_type(name);
  const u32 count = m_config->get_param_size(type);
  if (count == 0 && entry.empty()) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Paramter %s size is 0 but user expected non-empty return value with name (%s)",
        name.c_str(), entry.c_str()));
  }
  // A named entry of a parameter the block lacks, or that has no entries, is
  // simply not there. An empty name of a parameter with values goes to the
  // configuration, which refuses it.
  const VOLD_PARAM* param = m_config->get_param(type);
  if (!entry.empty() && (param == nullptr || param->get_entries() == nullptr)) return 0;
  return m_config->get_param_value(type, entry);
}

u32 VARNO_EBLOCK::get_arg_value(const std::string& name, u32 index, u32 offset) {
  const VOLD_ARGUMENT_TYPE type = argument_type(name);
  unsigned arg_width = 0;
  // A missing argument has no rows, so every access fails the check below.
  const std::vector<u32*> uint_arg_list =
      VOLD_MANAGER::get_uint_arg_list(m_config->get_arg(type), arg_width);
  VARNO_ASSERT(index < uint_arg_list.size() && offset < arg_width);
  return uint_arg_list[index][offset];
}

u32 VARNO_EBLOCK::get_arg_size(const std::string& name) {
  const VOLD_ARGUMENT_TYPE type = argument_type(name);
  const VOLD_ARG* arg = m_config->get_arg(type);
  if (arg == nullptr) return 0;
  unsigned arg_width = 0;
  const std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  return static_cast<u32>(rows.size() * arg_width);
}

u32 VARNO_EBLOCK::get_arg_width(const std::string& name) {
  const VOLD_ARGUMENT_TYPE type = argument_type(name);
  const VOLD_ARG* arg = m_config->get_arg(type);
  if (arg == nullptr) return 0;
  unsigned arg_width = 0;
  VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  VARNO_ASSERT(arg_width > 0);
  return arg_width;
}

u32 VARNO_EBLOCK::get_arg_depth(const std::string& name, u32& width) {
  const VOLD_ARGUMENT_TYPE type = argument_type(name);
  const VOLD_ARG* arg = m_config->get_arg(type);
  if (arg == nullptr) return 0;
  unsigned arg_width = 0;
  const std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, arg_width);
  width = arg_width;
  return static_cast<u32>(rows.size());
}

bool VARNO_EBLOCK::arg_exists(const std::string& name) {
  const VOLD_ARGUMENT_TYPE type = argument_type(name);
  return m_config->get_arg(type) != nullptr;
}
