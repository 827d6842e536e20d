// The generator's decompressor set-up data: the S4 setup image, the
// decompression setup record put in front of every payload, and the GZIP
// literal codebooks that remap block data before deflate.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "korvia_fmt.h"
#include "mem.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_util.h"
#include "vold.h"
#include "vold_enums.h"

namespace {

constexpr u32 QV_S4_SETUP_SIZE = 48;
constexpr u32 TK_S4_SETUP_SIZE = 136;

// Mask words of the QV S4 image; the four words after them are fixed too.
constexpr u32 s4_mask_regs[8] = {0x1EF01EF0, 0x03DEF00F, 0x03DEF1E0, 0xFFFF0FFF,
                                 0xFFFFFFFF, 0x03DE00FF, 0x00000000, 0x00000000};
constexpr u32 s4_qv_tail[4] = {0x30303030, 0x20283030, 0x30302020, 0x20181010};

// Decompression setup record.
constexpr u32 DECOMP_SETUP_MAGIC = 0x15;
constexpr u32 DECOMP_SETUP_SIZE = 24;
constexpr u32 DECOMP_SETUP_EXT_SIZE = 40;
constexpr u32 DECOMP_SETUP_PAGE_SIZE = 4096;
constexpr u32 DECOMP_PAYLOAD_2D_SETUP = 4;
constexpr u32 DECOMP_PAYLOAD_CODEBOOK = 2;
constexpr u32 DECOMP_PAYLOAD_2D_LIBS = 8;

// A codebook holds one 8-byte slot per literal; 256 literals at least.
constexpr u32 TK_GZIP_KORVIA_CODEBOOK_SIZE = 2048;
constexpr u32 CODEBOOK_SLOT_SIZE = 8;

const char* const CODEBOOK_PARAM_NAME = "GZIP_KORVIA_LITERALS";
const char* const CODEBOOK_PARAM_PREFIX = "GZIP_KORVIA_LITERALS_";

// The family type of a loaded generator, after the checks that every S4
// operation makes.
u32 checked_family_type(const VOLD_INFO* family_pcf, const VOLD_INFO* device_pcf) {
  const VOLD_FAMILY_INFO* family_info =
      family_pcf != nullptr ? family_pcf->get_family_info() : nullptr;
  VARNO_ASSERT(family_info != nullptr);
  const u32 f_type = family_info->family_type;
  VARNO_ASSERT(f_type != VOLD_FAMILY_UNKNOWN);
  const VOLD_DEVICE_INFO* device_info =
      device_pcf != nullptr ? device_pcf->get_device_info() : nullptr;
  VARNO_ASSERT(device_info != nullptr);
  const u32 d_type = device_info->device_type;
  VARNO_ASSERT(d_type != VOLD_DEVICE_UNKNOWN);
  return f_type;
}

// Writes the S4 image words in order, each checked against the image size
// before it is stored.
class S4_IMAGE_WRITER {
 public:
  S4_IMAGE_WRITER(u8* image, u32 size) : m_image(image), m_s4_setup_size(size) {}

  void put(u32 value) {
    const u64 bytes_written = static_cast<u64>(m_offset) + 4;
    VARNO_ASSERT(bytes_written <= m_s4_setup_size);
    VARNO_UTIL::write_dword_safely(value, m_image + m_offset);
    m_offset += 4;
  }

 private:
  u8* m_image;
  u32 m_s4_setup_size;
  u32 m_offset = 0;
};

// The rows of one argument of the sector-array block, of the given width.
std::vector<u32*> s4_arg_rows(const VARNO_BLOCK_CONFIG& config, VOLD_ARGUMENT_TYPE type,
                              unsigned expected_width) {
  const VOLD_ARG* arg = config.get_arg(type);
  VARNO_ASSERT(arg != nullptr);
  unsigned width = 0;
  std::vector<u32*> rows = VOLD_MANAGER::get_uint_arg_list(arg, width);
  if (expected_width == 1) {
    VARNO_ASSERT(width == 1);
  } else {
    VARNO_ASSERT(width == 2);
  }
  // An argument without rows has no first value to give.
  VARNO_ASSERT(!rows.empty());
  return rows;
}

void build_tk_s4_image(VARNO_GEN& gen, S4_IMAGE_WRITER& writer) {
  VARNO_EBLOCK* eblock = dynamic_cast<VARNO_EBLOCK*>(gen.get_block("SECTOR_ARRAY", false));
  VARNO_ASSERT(eblock != nullptr);
  const VARNO_BLOCK_CONFIG* config = eblock->config();
  VARNO_ASSERT(config != nullptr);
  const std::vector<u32*> length = s4_arg_rows(*config, VOLD_ARGUMENT_CORE_IP_LENGTH, 1);
  const std::vector<u32*> start = s4_arg_rows(*config, VOLD_ARGUMENT_CORE_IP_START, 1);
  const std::vector<u32*> masks = s4_arg_rows(*config, VOLD_ARGUMENT_S4_HW_MASK, 2);
  writer.put(length[0][0]);
  writer.put(start[0][0]);
  for (const u32* row : masks) writer.put((row[1] << 16) | (row[0] & 0xFFFF));
}

std::string parameter_name(VOLD_PARAMETER_TYPE type) {
  std::string name;
  VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_PARAMETER, type, &name);
  return name;
}

// Where the codebook of a block type lives: a configuration and the
// parameter in it. config is null when the block type has no codebook
// source (after the message).
struct CODEBOOK_SOURCE {
  VARNO_BLOCK_CONFIG* config = nullptr;
  VOLD_PARAMETER_TYPE type = VOLD_PARAMETER_GZIP_KORVIA_LITERALS;
};

CODEBOOK_SOURCE find_codebook(VARNO_GEN& gen, u32 block_type) {
  CODEBOOK_SOURCE source;
  VOLD_PARAMETER_TYPE own_type = VOLD_PARAMETER_GZIP_KORVIA_LITERALS;
  if (!VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_PARAMETER, CODEBOOK_PARAM_NAME,
                                               own_type)) {
    VARNO_INTERNAL_ERROR(
        KORVIA::fmt_sprintf("Unrecognized parameter name: %s", CODEBOOK_PARAM_NAME));
  }

  // A data block of the type carries its own codebook.
  if (VARNO_DBLOCK* dblock = dynamic_cast<VARNO_DBLOCK*>(gen.get_block(block_type, false))) {
    VARNO_BLOCK_CONFIG* config = dblock->get_block_config();
    VARNO_ASSERT(config != nullptr);
    source.config = config;
    source.type = own_type;
    return source;
  }

  // Otherwise the sector array holds the codebook of the sectors' blocks.
  VARNO_EBLOCK* eblock = dynamic_cast<VARNO_EBLOCK*>(gen.get_block("SECTOR_ARRAY", false));
  VARNO_ASSERT(eblock != nullptr);
  std::string block_name;
  VOLD_PARAMETER_TYPE array_type = VOLD_PARAMETER_GZIP_KORVIA_LITERALS;
  // The host may pass any number: only a named block type can have one.
  if (!VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, block_type, &block_name) ||
      !VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_PARAMETER,
                                               CODEBOOK_PARAM_PREFIX + block_name, array_type)) {
    VARNO_UTIL::print_error_msg("block type (%d) not found", block_type);
    return source;
  }
  VARNO_BLOCK_CONFIG* config = eblock->config();
  VARNO_ASSERT(config != nullptr);
  source.config = config;
  source.type = array_type;
  return source;
}

}  // namespace

// ---- S4 setup image -------------------------------------------------------------

u32 VARNO_GEN::get_s4_setup_size() {
  const u32 f_type = checked_family_type(m_family_pcf_info, m_device_pcf_info);
  if (f_type == VOLD_FAMILY_QUELVO) {
    m_s4_setup_size = QV_S4_SETUP_SIZE;
  } else if (f_type == VOLD_FAMILY_TROSKIVANE) {
    m_s4_setup_size = TK_S4_SETUP_SIZE;
  }
  return m_s4_setup_size;
}

void VARNO_GEN::copy_s4_setup(u8* addr, u32 bytes) {
  VARNO_ASSERT_MSG(addr != nullptr && bytes > 0, "addr != nullptr && bytes > 0");
  if (m_s4_setup_size == 0) m_s4_setup_size = get_s4_setup_size();
  VARNO_ASSERT(m_s4_setup_size > 0);
  VARNO_ASSERT(bytes <= m_s4_setup_size);

  if (m_s4_setup == nullptr) {
    // Built aside and kept only when complete, so a failed build leaves no
    // half-written image for later copies.
    std::unique_ptr<u8[]> image(new u8[m_s4_setup_size]());
    const u32 f_type = checked_family_type(m_family_pcf_info, m_device_pcf_info);
    S4_IMAGE_WRITER writer(image.get(), m_s4_setup_size);
    if (f_type == VOLD_FAMILY_QUELVO) {
      for (u32 word : s4_mask_regs) writer.put(word);
      for (u32 word : s4_qv_tail) writer.put(word);
    } else if (f_type == VOLD_FAMILY_TROSKIVANE) {
      build_tk_s4_image(*this, writer);
    }
    m_s4_setup = image.release();
  }
  VARNO_ASSERT(memcpy_s(addr, bytes, m_s4_setup, bytes) == 0);
}

// ---- Decompression setup record --------------------------------------------------

u32 VARNO_GEN::get_decomp_setup_size(bool ext) {
  return ext ? DECOMP_SETUP_EXT_SIZE : DECOMP_SETUP_SIZE;
}

u32 VARNO_GEN::copy_decomp_setup(u8* addr, u32 bytes, u32 dc_idx, VARNO_IMBLOCK_GROUP* group,
                                 u32 block_type, bool ext) {
  VARNO_ASSERT(addr != nullptr);
  VARNO_ASSERT(group == nullptr || block_type == 0);
  if (dc_idx >= QV_MAX_DC_THREADS) {
    VARNO_INTERNAL_ERROR(
        KORVIA::fmt_sprintf("DC thread index (%d) must be < %d", dc_idx, QV_MAX_DC_THREADS));
  }
  const u32 record_size = ext ? DECOMP_SETUP_EXT_SIZE : DECOMP_SETUP_SIZE;
  VARNO_ASSERT_MSG(bytes >= record_size, "bytes >= data_size");

  // The payload is sized before anything is written, so a failure leaves
  // the caller's buffer untouched.
  u32 kind = DECOMP_PAYLOAD_2D_LIBS;
  u32 data_size = 0;
  if (group != nullptr) {
    kind = DECOMP_PAYLOAD_2D_SETUP;
    data_size = group->get_2d_setup_size(dc_idx);
  } else if (block_type != 0) {
    kind = DECOMP_PAYLOAD_CODEBOOK;
    data_size = get_korvia_codebook_size(block_type);
  } else {
    data_size = get_2d_libs_size();
  }
  VARNO_ASSERT(data_size > 0);

  std::memset(addr, 0, record_size);
  const u32 pages = static_cast<u32>((static_cast<u64>(data_size) + DECOMP_SETUP_PAGE_SIZE - 1) /
                                     DECOMP_SETUP_PAGE_SIZE);
  const u32 words[6] = {DECOMP_SETUP_MAGIC, record_size, pages, dc_idx, kind, ext ? 1u : 0u};
  for (u32 i = 0; i < 6; ++i) VARNO_UTIL::write_dword_safely(words[i], addr + 4 * i);
  // The whole record, so a caller that moves on by the result lands past the
  // long form's zero tail too.
  return record_size;
}

// ---- Literal codebooks ---------------------------------------------------------------

u32 VARNO_GEN::get_korvia_codebook_size(u32 block_type) {
  const CODEBOOK_SOURCE source = find_codebook(*this, block_type);
  if (source.config == nullptr) return 0;
  const u32 n = source.config->get_param_size(source.type);
  if (n == 0) {
    VARNO_UTIL::print_error_msg("param size is zero for param type (%s)",
                                parameter_name(source.type).c_str());
    return 0;
  }
  const u64 codebook_size = static_cast<u64>(n) * CODEBOOK_SLOT_SIZE;
  VARNO_ASSERT(codebook_size >= TK_GZIP_KORVIA_CODEBOOK_SIZE);
  // Only a parameter built in memory can be this long; the size must still
  // be representable.
  VARNO_ASSERT(codebook_size <= 0xFFFFFFFFu);
  return static_cast<u32>(codebook_size);
}

u32 VARNO_GEN::copy_korvia_codebook(u8* addr, u32 bytes, u32 block_type, bool low_byte_first) {
  VARNO_ASSERT(addr != nullptr);
  VARNO_ASSERT(bytes >= TK_GZIP_KORVIA_CODEBOOK_SIZE);
  const CODEBOOK_SOURCE source = find_codebook(*this, block_type);
  if (source.config == nullptr) return 0;

  const std::string name = parameter_name(source.type);
  // A block of the type without the parameter, or one without values, has
  // no codebook to copy.
  u32 n = 0;
  std::unique_ptr<u32[]> values;
  if (source.config->get_param(source.type) != nullptr)
    values.reset(source.config->get_param_values(source.type, n));
  if (n == 0) {
    VARNO_UTIL::print_error_msg("param values not found for param type (%s)", name.c_str());
    return 0;
  }

  const u64 codebook_size = static_cast<u64>(n) * CODEBOOK_SLOT_SIZE;
  if (codebook_size > bytes) {
    VARNO_INTERNAL_ERROR(
        KORVIA::fmt_sprintf("%s codebook size (%d) can't be greater than buffer size (%d)",
                            name.c_str(), codebook_size, bytes));
  }
  std::memset(addr, 0, static_cast<size_t>(codebook_size));
  const u32 byte_in_slot = low_byte_first ? 0 : CODEBOOK_SLOT_SIZE - 1;
  for (u32 i = 0; i < n; ++i) {
    addr[static_cast<u64>(i) * CODEBOOK_SLOT_SIZE + byte_in_slot] =
        static_cast<u8>(values[i] & 0xFF);
  }
  return static_cast<u32>(codebook_size);
}

void VARNO_GEN::get_korvia_codebook_types(std::vector<u32>& types) {
  if (max_block_index() == 0) {
    VARNO_UTIL::print_error_msg("No blocks found");
    return;
  }
  types.clear();
  for (u32 i = 0; i < max_block_index(); ++i) {
    VARNO_DBLOCK* dblock = dynamic_cast<VARNO_DBLOCK*>(get_block_by_index(i));
    if (dblock == nullptr) continue;
    const VARNO_BLOCK_CONFIG* config = dblock->get_block_config();
    VARNO_ASSERT(config != nullptr);
    if (config->get_param(VOLD_PARAMETER_GZIP_KORVIA_LITERALS) != nullptr) {
      types.push_back(dblock->block_type());
    }
  }
  if (!types.empty()) return;

  // No data block has its own codebook: the sector array lists the block
  // types of its sectors that have one.
  VARNO_EBLOCK* eblock = dynamic_cast<VARNO_EBLOCK*>(get_block("SECTOR_ARRAY", false));
  VARNO_ASSERT(eblock != nullptr);
  const VARNO_BLOCK_CONFIG* config = eblock->config();
  VARNO_ASSERT(config != nullptr);
  const std::string prefix = CODEBOOK_PARAM_PREFIX;
  for (u32 p = 0; p < VOLD_PARAMETER_MAX; ++p) {
    const std::string name = parameter_name(static_cast<VOLD_PARAMETER_TYPE>(p));
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (config->get_param(static_cast<VOLD_PARAMETER_TYPE>(p)) == nullptr) continue;
    u32 block_type = 0;
    if (VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, name.substr(prefix.size()),
                                                block_type)) {
      types.push_back(block_type);
    }
  }
}
