#include "varno_block_config.h"

#include <memory>

#include "varno_assert.h"

VOLD_PARAM* VARNO_BLOCK_CONFIG::get_param(VOLD_PARAMETER_TYPE type) const {
  for (VOLD_PARAM* p : m_param_list) {
    if (p != nullptr && p->get_param_type() == static_cast<u32>(type)) return p;
  }
  return nullptr;
}

u32 VARNO_BLOCK_CONFIG::get_param_size(VOLD_PARAMETER_TYPE type) const {
  const VOLD_PARAM* p = get_param(type);
  return p == nullptr ? 0 : p->get_size();
}

VOLD_PARAM_ENTRY* VARNO_BLOCK_CONFIG::find_entry(VOLD_PARAMETER_TYPE type, u32 offset) const {
  const VOLD_PARAM* p = get_param(type);
  VARNO_ASSERT(p != nullptr);
  const VOLD_PARAM_ENTRY_LIST* data = p->get_entries();
  VARNO_ASSERT(data != nullptr);
  for (VOLD_PARAM_ENTRY* entry : *data) {
    if (entry != nullptr && entry->get_offset() == offset) return entry;
  }
  return nullptr;
}

VOLD_PARAM_ENTRY* VARNO_BLOCK_CONFIG::find_entry(VOLD_PARAMETER_TYPE type,
                                                 const std::string& name) const {
  const VOLD_PARAM* p = get_param(type);
  VARNO_ASSERT(p != nullptr);
  VARNO_ASSERT(!name.empty());
  const VOLD_PARAM_ENTRY_LIST* data = p->get_entries();
  VARNO_ASSERT(data != nullptr);
  for (VOLD_PARAM_ENTRY* entry : *data) {
    if (entry != nullptr && entry->get_name() == name) return entry;
  }
  return nullptr;
}

u32 VARNO_BLOCK_CONFIG::get_param_value(VOLD_PARAMETER_TYPE type, u32 offset) const {
  const VOLD_PARAM_ENTRY* entry = find_entry(type, offset);
  return entry == nullptr ? 0 : entry->get_value();
}

u32 VARNO_BLOCK_CONFIG::get_param_value(VOLD_PARAMETER_TYPE type, const std::string& name) const {
  const VOLD_PARAM_ENTRY* entry = find_entry(type, name);
  return entry == nullptr ? 0 : entry->get_value();
}

void VARNO_BLOCK_CONFIG::set_param_value(VOLD_PARAMETER_TYPE type, u32 offset, u32 value) {
  VOLD_PARAM_ENTRY* entry = find_entry(type, offset);
  if (entry != nullptr) entry->value = value;
}

void VARNO_BLOCK_CONFIG::set_param_value(VOLD_PARAMETER_TYPE type, const std::string& name,
                                         u32 value) {
  VOLD_PARAM_ENTRY* entry = find_entry(type, name);
  if (entry != nullptr) entry->value = value;
}

u32* VARNO_BLOCK_CONFIG::get_param_values(VOLD_PARAMETER_TYPE type, u32& count) const {
  const VOLD_PARAM* p = get_param(type);
  VARNO_ASSERT(p != nullptr);
  const VOLD_PARAM_ENTRY_LIST* data = p->get_entries();
  VARNO_ASSERT(data != nullptr);
  const u32 length = p->get_size();
  std::unique_ptr<u32[]> values(new u32[length]());
  for (auto it = data->begin(); it != data->end(); ++it) {
    if (*it == nullptr) continue;
    // An entry past the parameter's size would land outside the array.
    VARNO_ASSERT((*it)->get_offset() < length);
    values[(*it)->get_offset()] = (*it)->get_value();
  }
  count = length;
  return values.release();
}

VOLD_ARG* VARNO_BLOCK_CONFIG::get_arg(VOLD_ARGUMENT_TYPE type) const {
  for (VOLD_ARG* a : m_arg_list) {
    if (a != nullptr && a->get_arg_type() == static_cast<u32>(type)) return a;
  }
  return nullptr;
}
