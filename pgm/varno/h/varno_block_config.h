// A block's view of the device parameters and arguments that belong to it.
// The records are borrowed from the device database library; the generator
// appends them to the two lists while it builds the model. A host reaches a
// data block's configuration with
// dynamic_cast<VARNO_DBLOCK*>(block)->get_block_config() (varno_dblock.h)
// and a sector-array block's with dynamic_cast<VARNO_EBLOCK*>(block)->config()
// (varno_eblock.h); an option block has none. It lives as long as its
// block, the records as long as the generator.
#pragma once

#include <string>
#include <vector>

#include "varno_types.h"
#include "vold.h"
#include "vold_enums.h"

class VARNO_BLOCK_CONFIG {
 public:
  VARNO_BLOCK_CONFIG() = default;
  ~VARNO_BLOCK_CONFIG() = default;
  VARNO_BLOCK_CONFIG(const VARNO_BLOCK_CONFIG&) = delete;
  VARNO_BLOCK_CONFIG& operator=(const VARNO_BLOCK_CONFIG&) = delete;

  // The first record of the type, or null (also for a type no parameter
  // has, and before process_pcfs filled the lists).
  VOLD_PARAM* get_param(VOLD_PARAMETER_TYPE type) const;
  // Number of values of the parameter; 0 when the block has none.
  u32 get_param_size(VOLD_PARAMETER_TYPE type) const;
  // Value of the first entry at that offset (index among the values), or of
  // the first entry of that name (exact match); 0 when no entry has it (an
  // offset past the size included). The parameter must exist ("p !=
  // nullptr") and have entries ("data != nullptr"); the name must not be
  // empty ("!name.empty()").
  u32 get_param_value(VOLD_PARAMETER_TYPE type, u32 offset) const;
  u32 get_param_value(VOLD_PARAMETER_TYPE type, const std::string& name) const;
  // Overwrite the value of that entry; nothing when there is none (an
  // offset past the size included). The same checks as the getters.
  void set_param_value(VOLD_PARAMETER_TYPE type, u32 offset, u32 value);
  void set_param_value(VOLD_PARAMETER_TYPE type, const std::string& name, u32 value);
  // All values as a new array (delete[] by the caller) of count = size
  // entries, each entry's value at its offset and 0 where none is given; a
  // parameter of size 0 gives an empty array. The parameter must exist and
  // have entries, each at an offset below the size ("(*it)->get_offset() <
  // length").
  u32* get_param_values(VOLD_PARAMETER_TYPE type, u32& count) const;
  // The first argument record of the type, or null.
  VOLD_ARG* get_arg(VOLD_ARGUMENT_TYPE type) const;

  // In the order the generator met the records.
  std::vector<VOLD_PARAM*> m_param_list;
  std::vector<VOLD_ARG*> m_arg_list;

 private:
  VOLD_PARAM_ENTRY* find_entry(VOLD_PARAMETER_TYPE type, u32 offset) const;
  VOLD_PARAM_ENTRY* find_entry(VOLD_PARAMETER_TYPE type, const std::string& name) const;
};
