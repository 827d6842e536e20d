// Fuzz target: the ".ddb" loader fed with arbitrary text.
//
// Properties checked on every input:
// - the load returns a record or null with a "source:line: reason" text,
//   never crashing, reading out of bounds or raising an internal error;
// - a loaded file written back as text loads again to the same text;
// - the look-ups and argument accessors stay inside the loaded records.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "msg.h"
#include "vold.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_ddb_loader: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// Reads every value the generator would read through the accessors.
void walk(VOLD_INFO& info) {
  if (VOLD_DEVICE_INFO* d = info.get_device_info()) {
    std::uint64_t sum = 0;
    for (VOLD_ARG* a : *d->argument_list) {
      unsigned width = 0;
      for (std::uint32_t* row : VOLD_MANAGER::get_uint_arg_list(a, width))
        for (unsigned i = 0; i < width; ++i) sum += row[i];
      for (std::uint8_t* row : VOLD_MANAGER::get_byte_arg_list(a, width))
        for (unsigned i = 0; i < width; ++i) sum += row[i];
      const std::uint32_t spare = VOLD_MANAGER::get_total_spare_rows(a);
      for (std::uint32_t i = 0; i <= spare && i < 64; ++i) sum += VOLD_MANAGER::get_spare_row_location(a, i);
    }
    for (VOLD_OB_DATA* o : *d->option_bit_list) {
      std::uint32_t bits = 0;
      const std::uint8_t* v = o->get_data(bits);
      for (std::uint32_t i = 0; i < (bits + 7) / 8; ++i) sum += v[i];
    }
    if (S4_SII_LIST* list = d->get_s4_s2_list()) {
      for (S4_SII* r : *list) {
        if (r == nullptr) continue;
        for (S4_SII_BIT_LIST* bits : *r->get_data_list()) {
          if (bits == nullptr) continue;
          for (S4_SII_BIT* b : *bits) {
            std::uint32_t index = 0;
            for (S4_SI* c : *b->get_data(index)) {
              std::uint32_t f = 0, bit = 0;
              bool flag = false;
              sum += c->get_data(f, bit, flag) + f + bit + index;
            }
          }
        }
      }
    }
    if (sum == 0x123456789ull) std::fputc(' ', stderr);  // keep the reads
  }
  if (VOLD_FAMILY_INFO* f = info.get_family_info()) {
    for (VOLD_BLOCK_ENTRY* b : f->block_list) {
      std::string name;
      if (!VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, b->block_type, &name))
        fail("loaded block type has no name", std::to_string(b->block_type));
      std::uint32_t back = 0;
      if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, name, back) || back != b->block_type)
        fail("block name does not map back", name);
    }
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(std::uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  return varno_fuzz::mutate_text_input(data, size, max_size, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool defer = size > 0 && (data[0] & 1) != 0;
  std::unique_ptr<VOLD_INFO> info(VOLD_DATA_SERVER::load_from_text(text, "fuzz.ddb", defer));
  if (!info) {
    if (VOLD_DATA_SERVER::last_error().rfind("fuzz.ddb:", 0) != 0)
      fail("failure without a file:line text", VOLD_DATA_SERVER::last_error());
    varno_fuzz::note("device file: %s", VOLD_DATA_SERVER::last_error().c_str());
    return 0;
  }
  walk(*info);
  const std::string written = VOLD_DATA_SERVER::to_text(*info);
  std::unique_ptr<VOLD_INFO> again(VOLD_DATA_SERVER::load_from_text(written, "again.ddb", false));
  if (!again) fail("written text does not load", VOLD_DATA_SERVER::last_error() + "\n" + written);
  // A deferred device writes only its S4/S2 size, which loads as an empty list.
  if (!defer && VOLD_DATA_SERVER::to_text(*again) != written) fail("round trip changed the text", written);
  return 0;
}
