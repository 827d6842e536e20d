#include "varno_sblock.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_gen.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// Images larger than this would have bit addresses beyond 32 bits.
constexpr u32 k_max_word_count = 0x07FFFFFF;

bool get_bit(const u8* buf, u64 bit) { return ((buf[bit / 8] >> (bit % 8)) & 1u) != 0; }

void put_bit(u8* buf, u64 bit, bool value) {
  const u8 m = static_cast<u8>(1u << (bit % 8));
  if (value)
    buf[bit / 8] = static_cast<u8>(buf[bit / 8] | m);
  else
    buf[bit / 8] = static_cast<u8>(buf[bit / 8] & ~m);
}

std::string ob_data_name(const VOLD_OB_DATA* ob) {
  std::string name;
  if (!VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_OB_DATA, ob->get_ob_data_type(),
                                               &name))
    VARNO_INTERNAL_ERROR("Unrecognized OB Data type");
  return name;
}

// Little-endian 16- and 32-bit accesses without alignment requirements.
template <typename T>
T swapped(T v) {
  if constexpr (sizeof(T) == 2)
    return __builtin_bswap16(v);
  else
    return __builtin_bswap32(v);
}

template <typename T>
T load_le(const u8* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = swapped(v);
  return v;
}

template <typename T>
void store_le(u8* p, T v) {
  if constexpr (std::endian::native == std::endian::big) v = swapped(v);
  std::memcpy(p, &v, sizeof v);
}

// The span bytes (1 to 8) at p as a little-endian word, and back, each in
// at most two fixed-size accesses: two that overlap where the span is not
// a power of two (the bytes they share are the same bytes of the word).
u64 load_span(const u8* p, u32 span) {
  if (span >= 4) {
    const u32 high = span - 4;
    return load_le<u32>(p) | u64{load_le<u32>(p + high)} << (8 * high);
  }
  if (span >= 2) {
    const u32 high = span - 2;
    return load_le<u16>(p) | u64{load_le<u16>(p + high)} << (8 * high);
  }
  return p[0];
}

void store_span(u8* p, u32 span, u64 v) {
  if (span >= 4) {
    const u32 high = span - 4;
    store_le<u32>(p + high, static_cast<u32>(v >> (8 * high)));
    store_le<u32>(p, static_cast<u32>(v));
  } else if (span >= 2) {
    const u32 high = span - 2;
    store_le<u16>(p + high, static_cast<u16>(v >> (8 * high)));
    store_le<u16>(p, static_cast<u16>(v));
  } else {
    p[0] = static_cast<u8>(v);
  }
}

// A value of bits bits whose low 32 come from value and the rest are zero,
// so that a wider field never reads past the 4 bytes of a u32.
std::vector<u8> widened_u32(u32 value, u32 bits) {
  std::vector<u8> bytes(std::max<u64>(4, (u64{bits} + 7) / 8), 0);
  VARNO_UTIL::write_dword_safely(value, bytes.data());
  return bytes;
}

}  // namespace

VARNO_SBLOCK::VARNO_SBLOCK(u32 type, bool crc, u32 word_count, bool init_ones, VARNO_GEN* gen)
    : VARNO_BLOCK(type, gen), m_crc(crc), m_init_ones(init_ones), m_word_count(word_count) {
  VARNO_ASSERT(m_data == nullptr);
  VARNO_ASSERT_MSG(get_config_data_width() > 0, "config_width > 0");
  VARNO_ASSERT(word_count <= k_max_word_count);
  m_block_length = u64{word_count} * 4;
  m_data = new u8[m_block_length];
  std::memset(m_data, init_ones ? 0xFF : 0x00, m_block_length);
  m_crc_word = 0;
}

VARNO_SBLOCK::VARNO_SBLOCK() = default;

// The base frees the image; the records are not the block's.
VARNO_SBLOCK::~VARNO_SBLOCK() = default;

u32 VARNO_SBLOCK::config_bytes() const {
  const u32 width = get_config_data_width();
  VARNO_ASSERT_MSG(width > 0, "config_width > 0");
  return (width + 7) / 8;
}

std::string VARNO_SBLOCK::dyn_data_name(const VOLD_DYN_DATA* dyn, const char* failure_text) const {
  std::string name;
  if (!VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DYN_DATA, dyn->get_dyn_data_type(),
                                               &name))
    VARNO_INTERNAL_ERROR(failure_text);
  return name;
}

// ---- Look-ups ---------------------------------------------------------------

VOLD_DYN_DATA* VARNO_SBLOCK::get_dyn_data_by_name(const std::string& name) {
  for (VOLD_DYN_DATA* dyn : m_dyn_list) {
    VARNO_ASSERT(dyn != nullptr);
    std::string dyn_name;
    if (!VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DYN_DATA,
                                                 dyn->get_dyn_data_type(), &dyn_name))
      VARNO_INTERNAL_ERROR("Unrecognized Dynamic Data type");
    if (dyn_name == name) return dyn;
  }
  return nullptr;
}

VOLD_OB_DATA* VARNO_SBLOCK::get_ob_data_by_name(const std::string& option,
                                                const std::string& dyn_name) {
  VOLD_DYN_DATA* dyn = get_dyn_data_by_name(dyn_name);
  if (dyn == nullptr || dyn->get_ob_list() == nullptr) return nullptr;
  for (VOLD_OB_DATA* ob : *dyn->get_ob_list()) {
    VARNO_ASSERT(ob != nullptr);
    if (ob_data_name(ob) == option) return ob;
  }
  return nullptr;
}

u32 VARNO_SBLOCK::get_option_index(const std::string& option, const std::string& dyn_name) {
  const VOLD_OB_DATA* ob = get_ob_data_by_name(option, dyn_name);
  return ob == nullptr ? 0 : ob->bit_index;
}

u32 VARNO_SBLOCK::get_dword_data(u32 i) {
  VARNO_ASSERT_MSG(u64{i} * 4 < m_block_length && u64{i} * 4 + 4 <= m_block_length,
                   "offset * sizeof(DWORD) < m_block_length");
  return VARNO_UTIL::get_dword_from_address(m_data + u64{i} * 4);
}

// ---- Field placement --------------------------------------------------------

// Moves bits between user bits (bit 0 of user[0] first) and a buffer laid out
// like the image. Every bit address is computed and checked against the image
// length before the first bit moves, so a field that does not fit is refused
// without touching memory.
u32 VARNO_SBLOCK::transfer(const std::string& name, u8* image, const u8* src_data, u8* dst_data,
                           u32 index, u32 bits, bool to_image) {
  const VOLD_DYN_DATA* dyn = get_dyn_data_by_name(name);
  if (dyn == nullptr) return 0;
  return transfer_field(dyn, image, src_data, dst_data, index, bits, to_image);
}

u32 VARNO_SBLOCK::transfer_field(const VOLD_DYN_DATA* dyn, u8* image, const u8* src_data,
                                 u8* dst_data, u32 index, u32 bits, bool to_image) {
  const char* bound_text =
      to_image ? "dest_base_address < m_block_length" : "src_base_address < m_block_length";
  const u64 length = m_block_length;
  const u32 width = get_config_data_width();
  const u64 word_bytes = config_bytes();
  const u32 size = dyn->bit_size;
  std::array<u16, 32> pos{};
  const u32 mask_count = VARNO_UTIL::get_mask_idx(pos.data(), dyn->word_mask);

  u64 count = 0;
  bool single_run = false;
  if (mask_count == width && !dyn->column_order && u64{index} + bits <= size) {
    single_run = true;
    count = bits;
  } else if (bits > 0 && index < size) {
    count = std::min<u64>(bits, u64{size} - index);
  }
  if (count == 0) return 0;
  VARNO_ASSERT(image != nullptr);
  // The host's buffer, named as the block interface names it.
  if (to_image) {
    VARNO_ASSERT_MSG(src_data != nullptr, "data != nullptr");
  } else {
    VARNO_ASSERT_MSG(dst_data != nullptr, "out != nullptr");
  }

  if (single_run) {
    const u64 start = u64{dyn->word_index} * word_bytes * 8 + dyn->bit_offset + index;
    VARNO_ASSERT_MSG(start + count <= length * 8, bound_text);
    if (to_image)
      VARNO_UTIL::bit_copy(src_data, 0, image, static_cast<u32>(start), static_cast<u32>(count),
                           true);
    else
      VARNO_UTIL::bit_copy(image, static_cast<u32>(start), dst_data, 0, static_cast<u32>(count),
                           true);
    return static_cast<u32>(count);
  }

  // The rule divides by the mask count and, in column order, by the words
  // from the field's first word to the image end.
  VARNO_ASSERT_MSG(mask_count > 0, "word_mask != 0");
  u64 column_words = 0;
  if (dyn->column_order) {
    const u64 image_words = length / word_bytes;
    VARNO_ASSERT_MSG(dyn->word_index < image_words, "word_index < image_words");
    column_words = image_words - dyn->word_index;
  }
  // Distinct field bits map to distinct image bits, so a run longer than the
  // image cannot fit; refusing it here also keeps a field size from the
  // device database from sizing the address list below.
  VARNO_ASSERT_MSG(count <= length * 8, bound_text);
  std::vector<u64> address(count);
  for (u64 i = 0; i < count; ++i) {
    const u64 m = u64{index} + i + dyn->bit_offset;
    u64 word;
    u64 pos_index;
    if (dyn->column_order) {
      word = dyn->word_index + m % column_words;
      pos_index = m / column_words;
    } else {
      word = dyn->word_index + m / mask_count;
      pos_index = m % mask_count;
    }
    VARNO_ASSERT_MSG(pos_index < mask_count, "mask_index < mask_bit_count");
    const u64 p = pos[pos_index];
    const u64 byte = word * word_bytes + p / 8;
    VARNO_ASSERT_MSG(byte < length, bound_text);
    address[i] = byte * 8 + p % 8;
  }
  for (u64 i = 0; i < count; ++i) {
    if (to_image)
      put_bit(image, address[i], get_bit(src_data, i));
    else
      put_bit(dst_data, i, get_bit(image, address[i]));
  }
  return static_cast<u32>(count);
}

u32 VARNO_SBLOCK::write_dyn_value(const std::string& name, const u8* data, u32 index, u32 bits,
                                  u8* dest) {
  return transfer(name, dest != nullptr ? dest : m_data, data, nullptr, index, bits, true);
}

u32 VARNO_SBLOCK::read_dyn_value(const std::string& name, u8* out, u32 index, u32 bits) {
  return transfer(name, m_data, nullptr, out, index, bits, false);
}

u32 VARNO_SBLOCK::get_dyn_value_size(const std::string& name) {
  const VOLD_DYN_DATA* dyn = get_dyn_data_by_name(name);
  return dyn == nullptr ? 0 : dyn->bit_size;
}

// ---- Options ----------------------------------------------------------------

u32 VARNO_SBLOCK::write_option_bits(const std::string& option, const std::string& dyn_name,
                                    const u8* value, u32 bits, u8* dest) {
  const u32 size = get_option_size(option, dyn_name);
  if (size == 0) return VARNO_ERROR_OB_NOT_FOUND;
  if (size < bits) return VARNO_ERROR_OB_SIZE;
  write_dyn_value(dyn_name, value, get_option_index(option, dyn_name), bits, dest);
  return VARNO_NO_ERROR;
}

VARNO_SBLOCK::OPTION_SLOT VARNO_SBLOCK::resolve_option(const std::string& option,
                                                       const std::string& dyn_name) {
  OPTION_SLOT slot;
  const VOLD_OB_DATA* ob = get_ob_data_by_name(option, dyn_name);
  if (ob == nullptr) return slot;
  slot.field = get_dyn_data_by_name(dyn_name);
  slot.index = ob->bit_index;
  slot.size = ob->bit_size;
  const VOLD_DYN_DATA* dyn = slot.field;
  const u32 width = get_config_data_width();
  if (dyn != nullptr && !dyn->column_order && width > 0 &&
      static_cast<u32>(std::popcount(dyn->word_mask)) == width) {
    slot.single_run = true;
    slot.run_start = u64{dyn->word_index} * config_bytes() * 8 + dyn->bit_offset + slot.index;
    const u64 shift = slot.run_start % 8;
    if (slot.size > 0 && shift + slot.size <= 64 &&
        u64{slot.index} + slot.size <= dyn->bit_size &&
        slot.run_start + slot.size <= m_block_length * 8) {
      slot.first = slot.run_start / 8;
      slot.span = static_cast<u32>((shift + slot.size + 7) / 8);
      slot.shift = static_cast<u32>(shift);
      slot.mask = (~u64{0} >> (64 - slot.size)) << shift;
    }
  }
  return slot;
}

u32 VARNO_SBLOCK::write_option_slot(const OPTION_SLOT& slot, const u8* value, u32 bits, u8* dest) {
  if (slot.size == 0) return VARNO_ERROR_OB_NOT_FOUND;
  if (slot.size < bits) return VARNO_ERROR_OB_SIZE;
  u8* image = dest != nullptr ? dest : m_data;
  // The run that transfer_field would find, without working it out again.
  if (slot.single_run && bits > 0 && image != nullptr && value != nullptr &&
      u64{slot.index} + bits <= slot.field->bit_size &&
      slot.run_start + bits <= m_block_length * 8) {
    VARNO_UTIL::bit_copy(value, 0, image, static_cast<u32>(slot.run_start), bits, true);
    return VARNO_NO_ERROR;
  }
  transfer_field(slot.field, image, value, nullptr, slot.index, bits, true);
  return VARNO_NO_ERROR;
}

u32 VARNO_SBLOCK::write_option_value(const OPTION_SLOT& slot, u32 value, u8* dest) {
  u8* image = dest != nullptr ? dest : m_data;
  if (slot.span != 0 && image != nullptr) {
    u8* at = image + slot.first;
    const u64 bits = (u64{value} << slot.shift) & slot.mask;
    store_span(at, slot.span, (load_span(at, slot.span) & ~slot.mask) | bits);
    return VARNO_NO_ERROR;
  }
  const std::vector<u8> bytes = widened_u32(value, slot.size);
  return write_option_slot(slot, bytes.data(), slot.size, dest);
}

const VARNO_SBLOCK::OPTION_RECORD& VARNO_SBLOCK::option_record(const void* key,
                                                               const char* dyn_name,
                                                               const char* const* options,
                                                               size_t count) {
  for (const auto& entry : m_slot_cache)
    if (entry.first == key) return entry.second;
  OPTION_RECORD record;
  record.slots.reserve(count);
  const std::string dyn(dyn_name);
  for (size_t i = 0; i < count; ++i) record.slots.push_back(resolve_option(options[i], dyn));
  // The bytes from the first option's first byte to the last one's end.
  u64 first = ~u64{0};
  u64 end = 0;
  bool spans = count > 0 && count <= 32;
  for (const OPTION_SLOT& slot : record.slots) {
    spans = spans && slot.span != 0;
    first = std::min(first, slot.first);
    end = std::max(end, slot.first + slot.span);
  }
  if (spans && end - first <= 8) {
    record.first = first;
    record.span = static_cast<u32>(end - first);
  }
  m_slot_cache.emplace_back(key, std::move(record));
  return m_slot_cache.back().second;
}

const std::vector<VARNO_SBLOCK::OPTION_SLOT>& VARNO_SBLOCK::option_slots(
    const void* key, const char* dyn_name, const char* const* options, size_t count) {
  return option_record(key, dyn_name, options, count).slots;
}

bool VARNO_SBLOCK::write_option_record(const OPTION_RECORD& record, const u32* values, u32 fields,
                                       u8* dest) {
  u8* image = dest != nullptr ? dest : m_data;
  if (record.span == 0 || image == nullptr) return false;
  u8* at = image + record.first;
  u64 bits = load_span(at, record.span);
  for (size_t i = 0; i < record.slots.size(); ++i) {
    if (((fields >> i) & 1u) == 0) continue;
    const OPTION_SLOT& slot = record.slots[i];
    // The slot's place, moved from its own first byte to the record's.
    const u32 offset = static_cast<u32>(slot.first - record.first) * 8;
    const u64 mask = slot.mask << offset;
    bits = (bits & ~mask) | ((u64{values[i]} << (slot.shift + offset)) & mask);
  }
  store_span(at, record.span, bits);
  return true;
}

u32 VARNO_SBLOCK::read_option_bits(const std::string& option, const std::string& dyn_name,
                                   u8* out, u32 bits) {
  if (get_option_size(option, dyn_name) == 0) return 0;
  return read_dyn_value(dyn_name, out, get_option_index(option, dyn_name), bits);
}

u32 VARNO_SBLOCK::get_option_size(const std::string& option, const std::string& dyn_name) {
  const VOLD_OB_DATA* ob = get_ob_data_by_name(option, dyn_name);
  return ob == nullptr ? 0 : ob->bit_size;
}

u32 VARNO_SBLOCK::get_option_info(const std::string& option, const std::string& dyn_name,
                                  u32& index, u32& second, u32& size) {
  const VOLD_OB_DATA* ob = get_ob_data_by_name(option, dyn_name);
  index = ob == nullptr ? 0 : ob->bit_index;
  second = ob == nullptr ? 0 : ob->second_position;
  size = ob == nullptr ? 0 : ob->bit_size;
  return size;
}

void VARNO_SBLOCK::set_option_shadow_mask(const std::string& dyn_name, const u8* mask, u32 bits) {
  VOLD_DYN_DATA* dyn = get_dyn_data_by_name(dyn_name);
  if (dyn == nullptr) return;
  VARNO_ASSERT_MSG(bits > 0, "bit_size > 0");
  VARNO_ASSERT(mask != nullptr);
  for (const SHADOW_MASK& s : m_shadow_masks)
    if (s.field == dyn) return;
  // A copy: the host's buffer need not outlive this call. Only the whole
  // bytes that hold the given bits are read, and never more than the field
  // has: a host that passes a count past its field still only owns a mask of
  // the field's size.
  const u64 read_bits = std::min<u64>(bits, dyn->bit_size);
  SHADOW_MASK s{dyn, std::vector<u8>(mask, mask + (read_bits + 7) / 8), bits};
  m_shadow_masks.push_back(std::move(s));
}

// ---- Serialised block -------------------------------------------------------

u32 VARNO_SBLOCK::get_block_size() {
  return static_cast<u32>(m_block_length + (m_crc ? 4 : 0));
}

void VARNO_SBLOCK::read_block_data(u8* out) {
  require_built();
  require_crc_current();
  copy_block_data(out);
}

void VARNO_SBLOCK::require_crc_current() const {
  if (!crc_stale()) return;
  VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Block %s%s read with a stale CRC word: %s",
                                           block_type_name(), sector_position().c_str(),
                                           STALE_CRC_TEXT));
}

void VARNO_SBLOCK::copy_block_data(u8* out) const {
  VARNO_ASSERT(out != nullptr);
  if (m_block_length > 0) std::memcpy(out, m_data, m_block_length);
  if (m_crc) VARNO_UTIL::write_dword_safely(m_crc_word, out + m_block_length);
}

u32 VARNO_SBLOCK::block_type() { return m_block_type; }

void VARNO_SBLOCK::clean_up() {
  m_slot_cache.clear();
  while (!m_const_list.empty()) m_const_list.pop_back();
  while (!m_dyn_list.empty()) m_dyn_list.pop_back();
}

u32 VARNO_SBLOCK::crc_of_image() const {
  const u32 filler = m_random_filler;
  u16 crc = VARNO_UTIL::calculate_crc16(m_data, 0, static_cast<u32>(m_block_length * 8), 0xFFFF);
  u8 filler_bytes[2];
  VARNO_UTIL::write_word_safely(static_cast<u16>(filler), filler_bytes);
  crc = VARNO_UTIL::calculate_crc16(filler_bytes, 0, 16, crc);
  return (u32{crc} << 16) | filler;
}

void VARNO_SBLOCK::compute_crc() {
  m_crc_word = crc_of_image();
  m_crc_computed = true;
}

void VARNO_SBLOCK::crc_update() {
  if (m_crc) compute_crc();
}

// Compared, not tracked: a write of the bits already there leaves the word
// right, and the image has more writers (options, dynamic values, links,
// the frame managers' header fields) than one flag would follow.
bool VARNO_SBLOCK::crc_stale() const {
  return m_crc && m_crc_computed && crc_of_image() != m_crc_word;
}

void VARNO_SBLOCK::reset_process() {}
void VARNO_SBLOCK::register_2d_engine() {}

// ---- Processing -------------------------------------------------------------

bool VARNO_SBLOCK::process(bool) {
  mark_built();
  if (m_skip_processing) return true;
  // An image whose build stopped half way is no option image.
  BUILD_SCOPE build(*this);

  // Shadow masks: an option that starts below the mask's bit count is
  // protected when every one of its bits is set in its field's mask (an
  // option of size 0 counts as all set). Bits past the bytes copied were
  // never the host's to give, so an option reaching past them is not
  // protected.
  for (const SHADOW_MASK& s : m_shadow_masks) {
    const VOLD_DYN_DATA* dyn = s.field;
    VARNO_ASSERT(dyn != nullptr);
    if (dyn->get_ob_list() == nullptr) continue;
    for (const VOLD_OB_DATA* ob : *dyn->get_ob_list()) {
      VARNO_ASSERT(ob != nullptr);
      const u64 first = ob->bit_index;
      const u64 end = first + ob->bit_size;
      const bool masked =
          first < s.bits &&
          (ob->bit_size == 0 ||
           (end <= u64{s.bytes.size()} * 8 &&
            VARNO_UTIL::all_bits_set(s.bytes.data(), ob->bit_index, ob->bit_size)));
      m_masked.emplace(ob, masked);
    }
  }

  // Constants: 32-bit words at 4 * index; one that does not fit ends the
  // step with failure.
  const u32 data_width = get_config_data_width();
  VARNO_ASSERT(data_width > 0);
  const u64 word_bytes = (data_width + 7) / 8;
  bool result = true;
  for (const VOLD_CONST_DATA* const_data : m_const_list) {
    VARNO_ASSERT(const_data != nullptr);
    const u64 index = const_data->get_word_index();
    if (index * word_bytes >= m_block_length || index * 4 + 4 > m_block_length) {
      result = false;
      break;
    }
    VARNO_UTIL::write_dword_safely(const_data->get_value(), m_data + index * 4);
  }

  if (result) {
    for (VOLD_DYN_DATA* dyn_data : m_dyn_list) {
      VARNO_ASSERT(dyn_data != nullptr);
      if (dyn_data->get_ob_list() == nullptr) continue;
      for (const VOLD_OB_DATA* ob_data : *dyn_data->get_ob_list()) {
        VARNO_ASSERT(ob_data != nullptr);
        const auto it = m_masked.find(ob_data);
        if (it != m_masked.end() && it->second) continue;
        const std::string dyn_name = dyn_data_name(
            dyn_data,
            "VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DYN_DATA, "
            "dyn_data->get_dyn_data_type(), &dyn_name)");
        u32 k = 0;
        const u8* value = ob_data->get_data(k);
        write_dyn_value(dyn_name, value, ob_data->bit_index, k, nullptr);
        if (ob_data->link != 0) {
          const bool known = std::any_of(m_links.begin(), m_links.end(),
                                         [&](const LINK& l) { return l.field == dyn_data; });
          if (!known) m_links.push_back(LINK{dyn_data, ob_data->link, ob_data->bit_index, k});
        }
      }
    }
  }

  crc_update();
  if (result) build.done();
  return result;
}

// ---- Links ------------------------------------------------------------------

void VARNO_SBLOCK::update_links() {
  // A stand-alone block has no other blocks to measure.
  if (m_gen == nullptr) return;
  VARNO_GEN* gen = m_gen;
  update_links_with(gen->max_block_index(),
                    [gen](u32 i) -> VARNO_IBLOCK* { return gen->get_block_by_index(i); });
}

void VARNO_SBLOCK::update_links_with(u32 block_count,
                                     const std::function<VARNO_IBLOCK*(u32)>& block_at) {
  for (const LINK& l : m_links) {
    const u32 lblock = l.link & 0xFF;
    VARNO_ASSERT(lblock > 0);
    const u32 extra = l.link >> 16;
    if (u64{lblock} + extra > block_count) continue;
    u64 total = 0;
    for (u64 i = lblock - 1; i <= u64{lblock} - 1 + extra; ++i) {
      VARNO_IBLOCK* block = block_at(static_cast<u32>(i));
      if (block != nullptr) total += block->get_block_size();
    }
    const u32 config_bytes = (get_config_data_width() + 7) / 8;
    VARNO_ASSERT(config_bytes != 0);
    const u32 words = static_cast<u32>(total / config_bytes);
    const std::string dyn_name = dyn_data_name(
        l.field,
        "VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DYN_DATA, "
        "dyn->get_dyn_data_type(), &dyn_name)");
    const std::vector<u8> value = widened_u32(words, l.bits);
    write_dyn_value(dyn_name, value.data(), l.index, l.bits, nullptr);
  }
}

// ---- Dump -------------------------------------------------------------------

void VARNO_SBLOCK::dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) {
  // The generator's text dump refuses this before it opens its file.
  require_crc_current();
  std::string type_name;
  if (!VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, m_block_type, &type_name))
    type_name.clear();
  const std::string comment =
      KORVIA::fmt_sprintf("%s  - %d Bytes", type_name.c_str(), get_block_size());
  // An empty image writes no DAT lines (dump_to_file) and a lone newline as
  // bit text.
  VARNO_UTIL::dump_to_file(stream, format, m_data, static_cast<u32>(m_block_length), comment);
  if (m_crc) {
    u8 crc[4];
    VARNO_UTIL::write_dword_safely(m_crc_word, crc);
    VARNO_UTIL::dump_to_file(stream, format, crc, 4, "");
  }
}
