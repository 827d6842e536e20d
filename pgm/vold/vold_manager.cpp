// Enumeration look-ups on the shared name tables, and argument access.
#include <cstring>

#include "vold.h"

namespace {

struct VOLD_TABLE {
  const char* const* names;
  std::uint32_t count;
};

// In the order of VOLD_ENUM_TYPE.
constexpr VOLD_TABLE s_tables[VOLD_ENUM_TYPE_MAX] = {
    {VOLD_FAMILY_TYPE_NAMES, VOLD_FAMILY_TYPE_NAMES_COUNT},
    {VOLD_DEVICE_TYPE_NAMES, VOLD_DEVICE_TYPE_NAMES_COUNT},
    {VOLD_BLOCK_TYPE_NAMES, VOLD_BLOCK_TYPE_NAMES_COUNT},
    {VOLD_DYN_DATA_TYPE_NAMES, VOLD_DYN_DATA_TYPE_NAMES_COUNT},
    {VOLD_OB_DATA_TYPE_NAMES, VOLD_OB_DATA_TYPE_NAMES_COUNT},
    {VOLD_FRAME_TYPE_NAMES, VOLD_FRAME_TYPE_NAMES_COUNT},
    {VOLD_PARAMETER_TYPE_NAMES, VOLD_PARAMETER_TYPE_NAMES_COUNT},
    {VOLD_INSTRUCTION_TYPE_NAMES, VOLD_INSTRUCTION_TYPE_NAMES_COUNT},
    {VOLD_ARGUMENT_TYPE_NAMES, VOLD_ARGUMENT_TYPE_NAMES_COUNT},
};

const VOLD_TABLE* table(VOLD_ENUM_TYPE kind) {
  const auto k = static_cast<std::uint32_t>(kind);
  return k < VOLD_ENUM_TYPE_MAX ? &s_tables[k] : nullptr;
}

}  // namespace

std::uint32_t VOLD_MANAGER::enum_count(VOLD_ENUM_TYPE kind) {
  const VOLD_TABLE* t = table(kind);
  return t == nullptr ? 0 : t->count;
}

bool VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE kind, std::uint32_t value, std::string* name,
                                             bool* /*unused*/) {
  const VOLD_TABLE* t = table(kind);
  // Row 0 is "none": it has no name to give.
  if (t == nullptr || value == 0 || value >= t->count) return false;
  const char* text = t->names[value];
  if (text == nullptr || text[0] == '\0') return false;
  if (name != nullptr) *name = text;
  return true;
}

bool VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE kind, const std::string& name, std::uint32_t& value,
                                             bool* /*unused*/) {
  const VOLD_TABLE* t = table(kind);
  if (t == nullptr || name.empty()) return false;
  for (std::uint32_t v = 1; v < t->count; ++v) {
    const char* text = t->names[v];
    if (text != nullptr && name.size() == std::strlen(text) && name.compare(text) == 0) {
      value = v;
      return true;
    }
  }
  return false;
}

std::vector<std::uint32_t*> VOLD_MANAGER::get_uint_arg_list(const VOLD_ARG* arg, unsigned& width) {
  std::vector<std::uint32_t*> rows;
  width = 0;
  if (arg == nullptr || arg->width == 0) return rows;
  width = arg->width;
  // The rows belong to the VOLD_INFO, which made the argument writable; the
  // const only says that this call does not change the record.
  auto* base = const_cast<std::uint32_t*>(arg->values.data());
  const std::uint32_t n = arg->row_count();
  rows.reserve(n);
  for (std::uint32_t r = 0; r < n; ++r) rows.push_back(base + static_cast<std::size_t>(r) * arg->width);
  return rows;
}

std::vector<std::uint8_t*> VOLD_MANAGER::get_byte_arg_list(const VOLD_ARG* arg, unsigned& width) {
  std::vector<std::uint8_t*> rows;
  width = 0;
  if (arg == nullptr || arg->width == 0) return rows;
  if (!arg->values.empty() && !arg->has_byte_rows()) return rows;
  width = arg->width;
  auto* base = const_cast<std::uint8_t*>(arg->byte_values.data());
  const std::uint32_t n = arg->row_count();
  rows.reserve(n);
  for (std::uint32_t r = 0; r < n; ++r) rows.push_back(base + static_cast<std::size_t>(r) * arg->width);
  return rows;
}

std::uint32_t VOLD_MANAGER::get_total_spare_rows(const VOLD_ARG* arg) {
  if (arg == nullptr || arg->width == 0) return 0;
  return static_cast<std::uint32_t>(arg->values.size());
}

std::uint32_t VOLD_MANAGER::get_spare_row_location(const VOLD_ARG* arg, unsigned i) {
  if (arg == nullptr || arg->width == 0 || i >= arg->values.size()) return 0xFFFFFFFFu;
  return arg->values[i];
}
