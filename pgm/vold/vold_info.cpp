// Records of a loaded parameter file, their owner and the in-memory builder.
#include <deque>

#include "msg.h"
#include "vold.h"
#include "vold_internal.h"

#define VOLD_REPORT(text) MSG_INTERNAL_ERROR::report((text), "VOLD", __FILE__, __LINE__)

std::uint32_t VOLD_FRAME_DESCRIPTION::word(unsigned i) const {
  switch (i) {
    case 0: return frame_type;
    case 1: return static_cast<std::uint32_t>(value64);
    case 2: return static_cast<std::uint32_t>(value64 >> 32);
    case 3: return static_cast<std::uint32_t>(ptrval);
    case 4: return static_cast<std::uint32_t>(ptrval >> 32);
    case 5: return u32_a;
    case 6: return u32_b & 0x7FFFFFFFu;
    default: return 0;
  }
}

void VOLD_DEVICE_INFO::set_fake_s4_s2_list(S4_SII_LIST* s4, std::uint32_t s4_size) {
  // Checked in this order so that the first broken expectation is named.
  if (!(m_s4_s2_list_size == s4_size)) VOLD_REPORT("m_s4_s2_list_size == s4_size");
  if (!(m_s4_s2_list == nullptr)) VOLD_REPORT("m_s4_s2_list == NULL");
  if (!(m_fake_s4_s2_list == nullptr)) VOLD_REPORT("m_fake_s4_s2_list == NULL");
  if (!(s4 != nullptr && s4_size != 0)) VOLD_REPORT("s4 != NULL && s4_size != 0");
  m_fake_s4_s2_list = s4;
}

// Storage of every record of one VOLD_INFO. Deques keep element addresses
// stable while they grow.
struct VOLD_INFO::STORE {
  std::deque<VOLD_BLOCK_ENTRY> blocks;
  std::deque<VOLD_FRAME_DESCRIPTION> frames;
  std::deque<VOLD_CONST_DATA> consts;
  std::deque<VOLD_DYN_DATA> dyns;
  std::deque<VOLD_OB_DATA> obs;
  std::deque<VOLD_INSTRUCTION> instructions;
  std::deque<VOLD_PARAM> params;
  std::deque<VOLD_PARAM_ENTRY> entries;
  std::deque<VOLD_ARG> args;
  std::deque<VOLD_CONST_DATA_LIST> const_lists;
  std::deque<VOLD_DYN_DATA_LIST> dyn_lists;
  std::deque<VOLD_OB_DATA_LIST> ob_lists;
  std::deque<VOLD_INSTRUCTION_LIST> instruction_lists;
  std::deque<VOLD_PARAM_ENTRY_LIST> entry_lists;
  VOLD_PARAM_LIST param_list;
  VOLD_ARG_LIST arg_list;
  VOLD_OB_DATA_LIST device_ob_list;
  std::unique_ptr<S4_SII_LIST> s4_list;
  S4_STORE s4;
};

VOLD_INFO::VOLD_INFO() : m_store(std::make_unique<STORE>()) {}

// Everything goes with the store; a shared S4/S2 list is another device's.
VOLD_INFO::~VOLD_INFO() = default;

VOLD_FAMILY_INFO* VOLD_INFO::create_family_info(std::uint32_t family_type, std::uint32_t config_data_width) {
  if (m_family || m_device) return nullptr;
  m_family = std::make_unique<VOLD_FAMILY_INFO>();
  m_family->family_type = family_type;
  m_family->config_data_width = config_data_width;
  return m_family.get();
}

namespace {
VOLD_BLOCK_ENTRY* append_block(VOLD_FAMILY_INFO* family, std::deque<VOLD_BLOCK_ENTRY>& store,
                               std::uint32_t block_type) {
  if (family == nullptr) return nullptr;
  VOLD_BLOCK_ENTRY& entry = store.emplace_back();
  entry.block_type = block_type;
  family->block_list.push_back(&entry);
  return &entry;
}

std::vector<std::uint8_t> u64_bytes(std::uint64_t value, std::uint32_t bits) {
  std::vector<std::uint8_t> bytes((bits + 7) / 8, 0);
  for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  if (bits % 8 != 0 && !bytes.empty()) bytes.back() &= static_cast<std::uint8_t>((1u << (bits % 8)) - 1);
  return bytes;
}
}  // namespace

VOLD_BLOCK_ENTRY* VOLD_INFO::add_option_block(std::uint32_t block_type, std::uint32_t word_count, bool crc,
                                              bool init_ones) {
  VOLD_BLOCK_ENTRY* entry = append_block(m_family.get(), m_store->blocks, block_type);
  if (entry == nullptr) return nullptr;
  entry->option_flag = 1;
  entry->word_count = word_count;
  entry->crc_flag = crc ? 1 : 0;
  entry->init_ones_flag = init_ones ? 1 : 0;
  return entry;
}

VOLD_BLOCK_ENTRY* VOLD_INFO::add_data_block(std::uint32_t block_type, const VOLD_FRAME_DESCRIPTION& frame) {
  VOLD_BLOCK_ENTRY* entry = append_block(m_family.get(), m_store->blocks, block_type);
  if (entry == nullptr) return nullptr;
  entry->frame_description = &m_store->frames.emplace_back(frame);
  return entry;
}

VOLD_BLOCK_ENTRY* VOLD_INFO::add_array_block(std::uint32_t block_type) {
  return append_block(m_family.get(), m_store->blocks, block_type);
}

VOLD_CONST_DATA* VOLD_INFO::add_const_data(VOLD_BLOCK_ENTRY* block, std::uint32_t word_index, std::uint32_t value) {
  if (block == nullptr) return nullptr;
  if (block->const_list == nullptr) block->const_list = &m_store->const_lists.emplace_back();
  VOLD_CONST_DATA& c = m_store->consts.emplace_back();
  c.word_index = word_index;
  c.value = value;
  block->const_list->push_back(&c);
  return &c;
}

VOLD_DYN_DATA* VOLD_INFO::add_dyn_data(VOLD_BLOCK_ENTRY* block, std::uint32_t type, std::uint32_t word_index,
                                       std::uint32_t bit_offset, std::uint32_t bit_size, std::uint32_t word_mask,
                                       bool column_order) {
  if (block == nullptr) return nullptr;
  if (block->dyn_list == nullptr) block->dyn_list = &m_store->dyn_lists.emplace_back();
  VOLD_DYN_DATA& d = m_store->dyns.emplace_back();
  d.type = type;
  d.word_index = word_index;
  d.bit_offset = bit_offset;
  d.bit_size = bit_size;
  d.word_mask = word_mask;
  d.column_order = column_order;
  block->dyn_list->push_back(&d);
  return &d;
}

VOLD_OB_DATA* VOLD_INFO::add_ob_data(VOLD_DYN_DATA* field, std::uint32_t type, std::uint32_t bit_index,
                                     std::uint32_t second_position, std::uint32_t bit_size, std::uint32_t link,
                                     std::vector<std::uint8_t> value, std::uint32_t value_bits) {
  if (field == nullptr) return nullptr;
  if (field->ob_list == nullptr) field->ob_list = &m_store->ob_lists.emplace_back();
  VOLD_OB_DATA& o = m_store->obs.emplace_back();
  o.type = type;
  o.bit_index = bit_index;
  o.second_position = second_position;
  o.bit_size = bit_size;
  o.link = link;
  // Keep get_data's buffer at least as long as the bit count says.
  if (value.size() < (static_cast<std::size_t>(value_bits) + 7) / 8) value.resize((static_cast<std::size_t>(value_bits) + 7) / 8, 0);
  o.value = std::move(value);
  o.value_bits = value_bits;
  field->ob_list->push_back(&o);
  return &o;
}

VOLD_OB_DATA* VOLD_INFO::add_ob_data(VOLD_DYN_DATA* field, std::uint32_t type, std::uint32_t bit_index,
                                     std::uint32_t bit_size, std::uint64_t value, std::uint32_t link,
                                     std::uint32_t second_position) {
  return add_ob_data(field, type, bit_index, second_position, bit_size, link, u64_bytes(value, bit_size), bit_size);
}

VOLD_INSTRUCTION* VOLD_INFO::add_instruction(VOLD_BLOCK_ENTRY* block, const VOLD_INSTRUCTION& instruction) {
  if (block == nullptr) return nullptr;
  if (block->instruction_list == nullptr) block->instruction_list = &m_store->instruction_lists.emplace_back();
  VOLD_INSTRUCTION& i = m_store->instructions.emplace_back(instruction);
  block->instruction_list->push_back(&i);
  return &i;
}

VOLD_DEVICE_INFO* VOLD_INFO::create_device_info(std::uint32_t family_type, std::uint32_t device_type) {
  if (m_family || m_device) return nullptr;
  m_device = std::make_unique<VOLD_DEVICE_INFO>();
  m_device->family_type = family_type;
  m_device->device_type = device_type;
  m_device->parameter_list = &m_store->param_list;
  m_device->argument_list = &m_store->arg_list;
  m_device->option_bit_list = &m_store->device_ob_list;
  return m_device.get();
}

VOLD_PARAM* VOLD_INFO::add_param(std::uint32_t block_type, std::uint32_t type, std::uint32_t size,
                                 const std::vector<VOLD_PARAM_ENTRY>& entries) {
  VOLD_PARAM* p = add_param_without_data(block_type, type, size);
  if (p == nullptr) return nullptr;
  p->entries = &m_store->entry_lists.emplace_back();
  p->entries->reserve(entries.size());
  for (const VOLD_PARAM_ENTRY& e : entries) p->entries->push_back(&m_store->entries.emplace_back(e));
  return p;
}

VOLD_PARAM* VOLD_INFO::add_param(std::uint32_t block_type, std::uint32_t type,
                                 const std::vector<std::uint32_t>& values) {
  std::vector<VOLD_PARAM_ENTRY> entries(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    entries[i].value = values[i];
    entries[i].offset = static_cast<std::uint32_t>(i);
  }
  return add_param(block_type, type, static_cast<std::uint32_t>(values.size()), entries);
}

VOLD_PARAM* VOLD_INFO::add_param_without_data(std::uint32_t block_type, std::uint32_t type, std::uint32_t size) {
  if (!m_device) return nullptr;
  VOLD_PARAM& p = m_store->params.emplace_back();
  p.block_type = block_type;
  p.type = type;
  p.size = size;
  m_store->param_list.push_back(&p);
  return &p;
}

VOLD_ARG* VOLD_INFO::add_arg(std::uint32_t block_type, std::uint32_t type, std::uint32_t width,
                             std::vector<std::uint32_t> values) {
  if (!m_device) return nullptr;
  VOLD_ARG& a = m_store->args.emplace_back();
  a.block_type = block_type;
  a.type = type;
  a.width = width;
  a.values = std::move(values);
  bool bytes = true;
  for (std::uint32_t v : a.values) {
    if (v > 0xFF) {
      bytes = false;
      break;
    }
  }
  if (bytes) a.byte_values.assign(a.values.begin(), a.values.end());
  m_store->arg_list.push_back(&a);
  return &a;
}

VOLD_OB_DATA* VOLD_INFO::add_device_ob_data(std::uint32_t type, std::uint32_t bit_index,
                                            std::uint32_t second_position, std::uint32_t bit_size,
                                            std::vector<std::uint8_t> value, std::uint32_t value_bits) {
  if (!m_device) return nullptr;
  VOLD_OB_DATA& o = m_store->obs.emplace_back();
  o.type = type;
  o.bit_index = bit_index;
  o.second_position = second_position;
  o.bit_size = bit_size;
  if (value.size() < (static_cast<std::size_t>(value_bits) + 7) / 8) value.resize((static_cast<std::size_t>(value_bits) + 7) / 8, 0);
  o.value = std::move(value);
  o.value_bits = value_bits;
  m_store->device_ob_list.push_back(&o);
  return &o;
}

VOLD_OB_DATA* VOLD_INFO::add_device_ob_data(std::uint32_t type, std::uint32_t bit_index, std::uint32_t bit_size,
                                            std::uint64_t value, std::uint32_t second_position) {
  return add_device_ob_data(type, bit_index, second_position, bit_size, u64_bytes(value, bit_size), bit_size);
}

void VOLD_INFO::set_s4_s2_size(std::uint32_t frames, bool build) {
  if (!m_device) return;
  m_device->m_s4_s2_list_size = frames;
  if (build && frames > 0) {
    m_store->s4_list = std::make_unique<S4_SII_LIST>(frames, nullptr);
    m_device->m_s4_s2_list = m_store->s4_list.get();
  } else {
    m_store->s4_list.reset();
    m_device->m_s4_s2_list = nullptr;
  }
}

S4_SII* VOLD_INFO::s4_record(std::uint32_t frame) {
  if (!m_device || m_device->m_s4_s2_list == nullptr || frame >= m_device->m_s4_s2_list->size()) return nullptr;
  S4_SII*& slot = (*m_device->m_s4_s2_list)[frame];
  if (slot == nullptr) slot = m_store->s4.new_sii();
  return slot;
}

S4_STORE& VOLD_INFO::s4_store() { return m_store->s4; }

std::string VOLD_INFO::validate() const {
  VOLD_PROBLEM problem = vold_validate(*this);
  return problem.text;
}
