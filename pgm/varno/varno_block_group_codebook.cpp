// The inverse literal codebook of a decompression thread's stream: the
// device translates every decoded byte through its codebook, so the stream
// is remapped beforehand through the inverse.
#include <memory>
#include <string>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "vold.h"

namespace {

constexpr u32 MAXBYTE = 0xFF;
const char* const LITERALS_NAME = "GZIP_KORVIA_LITERALS";
const char* const LITERALS_PREFIX = "GZIP_KORVIA_LITERALS_";

VOLD_PARAMETER_TYPE literals_type(const std::string& name) {
  VOLD_PARAMETER_TYPE type = VOLD_PARAMETER_TYPE{};
  if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_PARAMETER, name, type)) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Unrecognized parameter name: %s", name.c_str()));
  }
  return type;
}

// Steps shared by both sources: the inverse of parameter type of config
// into addr; returns the rows consumed.
int invert_literals(u8* addr, unsigned bytes, VARNO_BLOCK_CONFIG* config,
                    VOLD_PARAMETER_TYPE type, const std::string& name) {
  const VOLD_PARAM* param = config->get_param(type);
  VARNO_ASSERT(param != nullptr);
  const u32 size = config->get_param_size(type);
  if (size > bytes) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "%s param size (%d) can't be greater than buffer size (%d)", name.c_str(), size, bytes));
  }

  const VOLD_PARAM_ENTRY_LIST* literals_data = param->get_entries();
  VARNO_ASSERT(literals_data != nullptr);

  // Row i is the value at offset i, as the host's copy of the codebook lays
  // it out, so the inverse matches that copy exactly.
  u32 count = 0;
  const std::unique_ptr<u32[]> rows(config->get_param_values(type, count));
  // Every row is checked before the table is touched: a value at or past
  // the end of a short table would be written outside it.
  bool seen[MAXBYTE + 1] = {};
  for (u32 i = 0; i < count; ++i) {
    const u32 byte_val = rows[i];
    VARNO_ASSERT_MSG(byte_val > MAXBYTE || !seen[byte_val], "tmp_map.count(byte_val) == 0");
    VARNO_ASSERT(byte_val <= MAXBYTE);
    VARNO_ASSERT(byte_val < bytes);
    seen[byte_val] = true;
  }
  for (u32 i = 0; i < size; ++i) addr[i] = 0;
  for (u32 i = 0; i < count; ++i) addr[rows[i]] = static_cast<u8>(i);
  return static_cast<int>(count);
}

std::string block_type_name(unsigned block_type) {
  // An unnamed block type has no specific form; its name lookup fails.
  return block_type < VOLD_BLOCK_MAX ? VOLD_BLOCK_TYPE_NAMES[block_type] : "";
}

}  // namespace

int VARNO_DC_THREAD::copy_reversed_korvia_literals(u8* addr, unsigned bytes,
                                                   VARNO_BLOCK_CONFIG* config,
                                                   unsigned block_type) {
  VARNO_ASSERT(config != nullptr);
  VARNO_ASSERT(addr != nullptr);
  VARNO_ASSERT(bytes > 0);

  // The generic codebook wins over the one of the block type.
  VOLD_PARAMETER_TYPE type = literals_type(LITERALS_NAME);
  std::string name = LITERALS_NAME;
  if (config->get_param(type) == nullptr) {
    name = LITERALS_PREFIX + block_type_name(block_type);
    type = literals_type(name);
  }
  return invert_literals(addr, bytes, config, type, name);
}

int VARNO_DC_THREAD::copy_reversed_host_literals(u8* addr, unsigned bytes, unsigned block_type) {
  VARNO_ASSERT(addr != nullptr);
  VARNO_ASSERT(bytes > 0);
  VARNO_ASSERT(m_Gen != nullptr);

  // The device decodes with the codebook the generator hands the host, so
  // the inverse is taken from the same place: a data block of the type with
  // its generic codebook, else the sector array's form for the type (even
  // when the sector array also holds a generic one).
  VOLD_PARAMETER_TYPE type = literals_type(LITERALS_NAME);
  std::string name = LITERALS_NAME;
  VARNO_BLOCK_CONFIG* config = nullptr;
  if (auto* dblock = dynamic_cast<VARNO_DBLOCK*>(m_Gen->get_block(block_type, false))) {
    config = dblock->get_block_config();
  } else {
    auto* eblock = dynamic_cast<VARNO_EBLOCK*>(m_Gen->get_block("SECTOR_ARRAY", false));
    VARNO_ASSERT(eblock != nullptr);
    config = eblock->config();
    name = LITERALS_PREFIX + block_type_name(block_type);
    type = literals_type(name);
  }
  VARNO_ASSERT(config != nullptr);
  return invert_literals(addr, bytes, config, type, name);
}
