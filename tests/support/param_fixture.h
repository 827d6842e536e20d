// Device-database parameter records built in memory for the tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "varno_types.h"
#include "vold.h"

// A parameter with its entries, owning them for the test.
struct PARAM_FIXTURE {
  PARAM_FIXTURE(u32 type, u32 size, std::vector<VOLD_PARAM_ENTRY> values) : entries(std::move(values)) {
    for (auto& e : entries) list.push_back(&e);
    param.type = type;
    param.size = size;
    param.entries = &list;
  }
  std::vector<VOLD_PARAM_ENTRY> entries;
  VOLD_PARAM_ENTRY_LIST list;
  VOLD_PARAM param;
};

inline VOLD_PARAM_ENTRY entry(u32 offset, u32 value, std::string name = "") {
  VOLD_PARAM_ENTRY e;
  e.offset = offset;
  e.value = value;
  e.name = std::move(name);
  return e;
}
