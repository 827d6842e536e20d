// Device database stand-in: the records of family and device parameter
// files, the enumeration look-ups, argument and spare-row access, and the
// loaders of the ".ddb" text format (see docs/parameter-files.md).
//
// Ownership: a VOLD_INFO owns every record reachable from it (lists, records,
// S4 objects) except a shared ("fake") S4/S2 list, which belongs to another
// device. Records are plain data borrowed by their users; nobody but the
// VOLD_INFO frees them. Pointers stay valid for the VOLD_INFO's life.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "s4.h"
#include "vold_enums.h"

struct VOLD_CONST_DATA;
struct VOLD_DYN_DATA;
struct VOLD_OB_DATA;
struct VOLD_INSTRUCTION;
struct VOLD_PARAM;
struct VOLD_PARAM_ENTRY;
struct VOLD_ARG;
struct VOLD_BLOCK_ENTRY;

using VOLD_CONST_DATA_LIST = std::vector<VOLD_CONST_DATA*>;
using VOLD_DYN_DATA_LIST = std::vector<VOLD_DYN_DATA*>;
using VOLD_OB_DATA_LIST = std::vector<VOLD_OB_DATA*>;
using VOLD_INSTRUCTION_LIST = std::vector<VOLD_INSTRUCTION*>;
using VOLD_PARAM_LIST = std::vector<VOLD_PARAM*>;
using VOLD_PARAM_ENTRY_LIST = std::vector<VOLD_PARAM_ENTRY*>;
using VOLD_ARG_LIST = std::vector<VOLD_ARG*>;
using VOLD_BLOCK_LIST = std::vector<VOLD_BLOCK_ENTRY*>;

// A constant configuration word of an option block.
struct VOLD_CONST_DATA {
  std::uint32_t value = 0;       // the word's value
  std::uint32_t word_index = 0;  // index of the 32-bit word in the block image

  std::uint32_t get_value() const { return value; }
  std::uint32_t get_word_index() const { return word_index; }
};

// An option-bit field inside a dynamic-data field. The first four words
// (type, bit_index, second_position, bit_size) are the record's key.
struct VOLD_OB_DATA {
  std::uint32_t type = 0;             // VOLD_OB_DATA_TYPE
  std::uint32_t bit_index = 0;        // first bit of the option within its field
  std::uint32_t second_position = 0;  // second position word (reported only)
  std::uint32_t bit_size = 0;         // bits of the option
  std::uint32_t link = 0;             // 0, or bits 7-0 first linked block (1-based), bits 31-16 further blocks
  std::vector<std::uint8_t> value;    // default value, bit 0 of byte 0 first; (value_bits + 7) / 8 bytes
  std::uint32_t value_bits = 0;       // bit count of the default value

  // Pointer to the default value's bytes (writable: a device file's option
  // bits are copied over the family's) and its bit count through bits.
  std::uint8_t* get_data(std::uint32_t& bits) {
    bits = value_bits;
    return value.data();
  }
  const std::uint8_t* get_data(std::uint32_t& bits) const {
    bits = value_bits;
    return value.data();
  }
  std::uint32_t get_ob_data_type() const { return type; }
  // True when the four key words equal those of other.
  bool same_key(const VOLD_OB_DATA& other) const {
    return type == other.type && bit_index == other.bit_index &&
           second_position == other.second_position && bit_size == other.bit_size;
  }
};

// A dynamic-data field of an option block: where its bits lie in the image
// and the option bits it holds.
struct VOLD_DYN_DATA {
  std::uint32_t type = 0;        // VOLD_DYN_DATA_TYPE
  std::uint32_t word_index = 0;  // configuration word of the field's first bit
  std::uint32_t bit_offset = 0;  // bit offset within that start
  std::uint32_t bit_size = 0;    // bits of the field
  std::uint32_t word_mask = 0;   // bit positions of each configuration word that belong to the field (non-zero)
  bool column_order = false;     // fill column by column instead of word by word
  VOLD_OB_DATA_LIST* ob_list = nullptr;  // the field's options in order; may be null

  std::uint32_t get_dyn_data_type() const { return type; }
  VOLD_OB_DATA_LIST* get_ob_list() const { return ob_list; }
};

// An instruction of a data block (an instruction frame the managers attach).
struct VOLD_INSTRUCTION {
  std::uint32_t type = 0;              // VOLD_INSTRUCTION_TYPE
  std::uint32_t instruction_word = 0;  // the instruction word
  bool with_length = false;            // the frame carries a length word
  std::uint32_t core_words = 0;        // words of the core segment
  bool core_zero = true;               // core filled with 0x00 (else 0xFF)
  std::int32_t padding_words = 0;      // padding words; negative: the manager computes them
  bool padding_zero = true;            // padding filled with 0x00 (else 0xFF)

  std::uint32_t get_instruction_type() const { return type; }
  std::uint32_t get_instruction_word() const { return instruction_word; }
};

// The framing record of a data block. Packed by the data block into its
// eight-word descriptor: word 0 frame_type, words 1-2 value64 (low, high;
// word 2 is the frame size), words 3-4 ptrval (low, high), word 5 u32_a,
// word 6 u32_b without bit 31, byte 28 u8_c, byte 29 bit 31 of u32_b.
struct VOLD_FRAME_DESCRIPTION {
  std::uint32_t frame_type = 0;  // VOLD_FRAME_TYPE (4 to 27)
  std::uint64_t value64 = 0;     // descriptor words 1 (low half) and 2 (high half)
  std::uint64_t ptrval = 0;      // descriptor words 3 (low half) and 4 (high half)
  std::uint32_t u32_a = 0;       // descriptor word 5
  std::uint32_t u32_b = 0;       // bits 30-0: descriptor word 6; bit 31: flag (byte 29)
  std::uint8_t u8_c = 0;         // descriptor byte 28

  std::uint32_t word(unsigned i) const;  // descriptor word i (0 to 6) as packed
  bool flag() const { return (u32_b >> 31) != 0; }
};

// One entry of the family's block list.
struct VOLD_BLOCK_ENTRY {
  std::uint32_t block_type = 0;      // VOLD_BLOCK_TYPE (below VOLD_BLOCK_MAX)
  std::uint8_t option_flag = 0;      // non-zero: an option block
  std::uint32_t word_count = 0;      // option block size in configuration words
  std::uint8_t crc_flag = 0;         // option block carries a CRC word
  std::uint8_t init_ones_flag = 0;   // option block image starts as all ones
  VOLD_CONST_DATA_LIST* const_list = nullptr;            // option block constants; may be null
  VOLD_DYN_DATA_LIST* dyn_list = nullptr;                // option block fields; may be null
  VOLD_FRAME_DESCRIPTION* frame_description = nullptr;   // data block framing; null for option and sector-array entries
  VOLD_INSTRUCTION_LIST* instruction_list = nullptr;     // data block instructions (one per type at most); may be null

  bool is_option_block() const { return option_flag != 0; }
  bool is_array_block() const { return option_flag == 0 && frame_description == nullptr; }
  bool is_data_block() const { return option_flag == 0 && frame_description != nullptr; }
};

// Header of a family parameter file.
struct VOLD_FAMILY_INFO {
  std::uint32_t family_type = 0;        // VOLD_FAMILY_TYPE
  std::uint32_t config_data_width = 0;  // configuration data width in bits (8 or 32)
  VOLD_BLOCK_LIST block_list;           // block entries in file order, none null
};

// One value of a device parameter.
struct VOLD_PARAM_ENTRY {
  std::uint32_t value = 0;   // the value (writable: ARRAY_TYPE values are written back)
  std::uint32_t offset = 0;  // index among the parameter's values (below the parameter's size)
  std::string name;          // entry name; may be empty

  std::uint32_t get_value() const { return value; }
  std::uint32_t get_offset() const { return offset; }
  const std::string& get_name() const { return name; }
};

// A device parameter: a sized, possibly sparse, list of values of one block.
struct VOLD_PARAM {
  std::uint32_t block_type = 0;  // VOLD_BLOCK_TYPE of the block it belongs to
  std::uint32_t type = 0;        // VOLD_PARAMETER_TYPE
  std::uint32_t size = 0;        // number of values (the parameter's length)
  VOLD_PARAM_ENTRY_LIST* entries = nullptr;  // entries in file order; null: no data

  std::uint32_t get_block_type() const { return block_type; }
  std::uint32_t get_param_type() const { return type; }
  std::uint32_t get_size() const { return size; }
  VOLD_PARAM_ENTRY_LIST* get_entries() const { return entries; }
};

// A device argument: a table of rows of a fixed width. Values are u32; when
// every value fits in a byte a byte copy exists too, for byte-row readers.
struct VOLD_ARG {
  std::uint32_t block_type = 0;  // VOLD_BLOCK_TYPE of the block it belongs to
  std::uint32_t type = 0;        // VOLD_ARGUMENT_TYPE
  std::uint32_t width = 0;       // entries per row (> 0)
  std::vector<std::uint32_t> values;     // rows one after another: row r is values[r * width ...]
  std::vector<std::uint8_t> byte_values; // same values as bytes; empty when a value exceeds 0xFF

  std::uint32_t get_block_type() const { return block_type; }
  std::uint32_t get_arg_type() const { return type; }
  std::uint32_t row_count() const { return width == 0 ? 0 : static_cast<std::uint32_t>(values.size() / width); }
  bool has_byte_rows() const { return !values.empty() && byte_values.size() == values.size(); }
};

// Section of a device parameter file.
struct VOLD_DEVICE_INFO {
  std::uint32_t family_type = 0;      // word 0: VOLD_FAMILY_TYPE of the device
  std::uint32_t device_type = 0;      // word 1: VOLD_DEVICE_TYPE
  std::uint32_t top_device_type = 0;  // word 2: device type of the top-level device (set by the generator)
  VOLD_PARAM_LIST* parameter_list = nullptr;   // parameters in file order (never empty once loaded)
  VOLD_ARG_LIST* argument_list = nullptr;      // arguments in file order (may be empty)
  VOLD_OB_DATA_LIST* option_bit_list = nullptr;  // device option bits (may be empty)
  S4_SII_LIST* m_s4_s2_list = nullptr;         // own S4/S2 list, one entry per IMG frame; null when absent or deferred
  std::uint32_t m_s4_s2_list_size = 0;         // entries of the S4/S2 list, known also when it was not built
  S4_SII_LIST* m_fake_s4_s2_list = nullptr;    // list shared from another device (not owned)
  std::vector<std::uint32_t> lutram_simplified_col;  // LUTRAM column list (fewer than 255 entries)
  std::vector<std::uint32_t> lutram_simplified_row;  // LUTRAM row list

  // Shares another device's S4/S2 list (s4 with s4_size entries). Checks, in
  // order, each an internal error of the device database: equal sizes, no own
  // list, no shared list yet, a non-empty list to share.
  void set_fake_s4_s2_list(S4_SII_LIST* s4, std::uint32_t s4_size);
  // The same with the other device's own list.
  void share_s4_s2_list(const VOLD_DEVICE_INFO& other) {
    set_fake_s4_s2_list(other.m_s4_s2_list, other.m_s4_s2_list_size);
  }
  // The own list if there is one, else the shared one (may be null).
  S4_SII_LIST* get_s4_s2_list() const { return m_s4_s2_list != nullptr ? m_s4_s2_list : m_fake_s4_s2_list; }

  std::uint32_t get_family_type() const { return family_type; }
  std::uint32_t get_device_type() const { return device_type; }
};

// One loaded parameter file: a family header or a device section, and the
// owner of every record reachable from it. Also an in-memory builder: the
// add_* and create_* operations make records owned by this object (the
// loader uses them; tests may too). Builders do not validate: validate()
// applies the loader's checks.
class VOLD_INFO {
 public:
  VOLD_INFO();
  virtual ~VOLD_INFO();
  VOLD_INFO(const VOLD_INFO&) = delete;
  VOLD_INFO& operator=(const VOLD_INFO&) = delete;

  VOLD_FAMILY_INFO* get_family_info() const { return m_family.get(); }  // null for a device file
  VOLD_DEVICE_INFO* get_device_info() const { return m_device.get(); }  // null for a family file
  const std::string& get_source() const { return m_source; }           // file path or text name it came from
  void set_source(std::string source) { m_source = std::move(source); }

  // Family building. create_family_info replaces nothing: a second call, or a
  // call on a device, returns null.
  VOLD_FAMILY_INFO* create_family_info(std::uint32_t family_type, std::uint32_t config_data_width);
  VOLD_BLOCK_ENTRY* add_option_block(std::uint32_t block_type, std::uint32_t word_count, bool crc = false,
                                     bool init_ones = false);
  VOLD_BLOCK_ENTRY* add_data_block(std::uint32_t block_type, const VOLD_FRAME_DESCRIPTION& frame);
  VOLD_BLOCK_ENTRY* add_array_block(std::uint32_t block_type);
  VOLD_CONST_DATA* add_const_data(VOLD_BLOCK_ENTRY* block, std::uint32_t word_index, std::uint32_t value);
  VOLD_DYN_DATA* add_dyn_data(VOLD_BLOCK_ENTRY* block, std::uint32_t type, std::uint32_t word_index,
                              std::uint32_t bit_offset, std::uint32_t bit_size, std::uint32_t word_mask,
                              bool column_order = false);
  // Option of a field (value_bits = bits given, or bit_size with the u64 form).
  VOLD_OB_DATA* add_ob_data(VOLD_DYN_DATA* field, std::uint32_t type, std::uint32_t bit_index,
                            std::uint32_t second_position, std::uint32_t bit_size, std::uint32_t link,
                            std::vector<std::uint8_t> value, std::uint32_t value_bits);
  VOLD_OB_DATA* add_ob_data(VOLD_DYN_DATA* field, std::uint32_t type, std::uint32_t bit_index,
                            std::uint32_t bit_size, std::uint64_t value = 0, std::uint32_t link = 0,
                            std::uint32_t second_position = 0);
  VOLD_INSTRUCTION* add_instruction(VOLD_BLOCK_ENTRY* block, const VOLD_INSTRUCTION& instruction);

  // Device building. create_device_info makes the section with empty
  // parameter, argument and option-bit lists; null when one exists already or
  // this is a family.
  VOLD_DEVICE_INFO* create_device_info(std::uint32_t family_type, std::uint32_t device_type);
  // Parameter with the given entries (copied) and size.
  VOLD_PARAM* add_param(std::uint32_t block_type, std::uint32_t type, std::uint32_t size,
                        const std::vector<VOLD_PARAM_ENTRY>& entries);
  // Parameter whose values sit at offsets 0, 1, ...; size = values.size().
  VOLD_PARAM* add_param(std::uint32_t block_type, std::uint32_t type, const std::vector<std::uint32_t>& values);
  // Parameter without entry list (no data).
  VOLD_PARAM* add_param_without_data(std::uint32_t block_type, std::uint32_t type, std::uint32_t size);
  // Argument of rows of width values (values.size() a multiple of width).
  VOLD_ARG* add_arg(std::uint32_t block_type, std::uint32_t type, std::uint32_t width,
                    std::vector<std::uint32_t> values);
  // Device option bit (value bits = bit_size with the u64 form).
  VOLD_OB_DATA* add_device_ob_data(std::uint32_t type, std::uint32_t bit_index, std::uint32_t second_position,
                                   std::uint32_t bit_size, std::vector<std::uint8_t> value,
                                   std::uint32_t value_bits);
  VOLD_OB_DATA* add_device_ob_data(std::uint32_t type, std::uint32_t bit_index, std::uint32_t bit_size,
                                   std::uint64_t value, std::uint32_t second_position = 0);
  // S4/S2 data: sets the list size; with build the device gets its own list
  // of that many (null) entries, without it only the size is recorded.
  void set_s4_s2_size(std::uint32_t frames, bool build);
  // The S4 record of IMG frame (below the list size), made on first use;
  // null when the device has no own list or frame is out of range.
  S4_SII* s4_record(std::uint32_t frame);
  // Owner of the S4 objects of this device (cells and S2 entries are made here).
  S4_STORE& s4_store();

  // Applies the loader's consistency checks. Returns an empty text when the
  // records are sound, else the first problem found.
  std::string validate() const;

 private:
  std::string m_source;
  std::unique_ptr<VOLD_FAMILY_INFO> m_family;
  std::unique_ptr<VOLD_DEVICE_INFO> m_device;
  struct STORE;
  std::unique_ptr<STORE> m_store;  // storage of every record and list
};

// Enumeration look-ups and argument access, on the name tables of
// vold_enums.h (one source of truth). Static operations only.
class VOLD_MANAGER {
 public:
  // True, with *name (when name is not null) set to the table text, when
  // value names an entry of kind's table; value 0 and values at or past the
  // table's count are refused. The bool* is accepted and not used.
  static bool check_type_enum_supported(VOLD_ENUM_TYPE kind, std::uint32_t value, std::string* name,
                                        bool* unused = nullptr);
  // True, with value set, when name is exactly (case-sensitively) a text of
  // kind's table; value is left alone otherwise. "" is never a name.
  static bool check_type_name_supported(VOLD_ENUM_TYPE kind, const std::string& name, std::uint32_t& value,
                                        bool* unused = nullptr);
  // The same for an enumeration-typed out value (VOLD_PARAMETER_TYPE, ...).
  template <typename E>
    requires std::is_enum_v<E>
  static bool check_type_name_supported(VOLD_ENUM_TYPE kind, const std::string& name, E& value,
                                        bool* unused = nullptr) {
    std::uint32_t v = static_cast<std::uint32_t>(value);
    if (!check_type_name_supported(kind, name, v, unused)) return false;
    value = static_cast<E>(v);
    return true;
  }
  // Number of rows of kind's name table (0 for an unknown kind).
  static std::uint32_t enum_count(VOLD_ENUM_TYPE kind);

  // The argument's rows (pointers into the argument, valid for the life of
  // its VOLD_INFO) and width = entries per row. A null argument gives no
  // rows and width 0.
  static std::vector<std::uint32_t*> get_uint_arg_list(const VOLD_ARG* arg, unsigned& width);
  // The same as byte rows; an argument holding a value above 0xFF has none
  // (empty list, width 0).
  static std::vector<std::uint8_t*> get_byte_arg_list(const VOLD_ARG* arg, unsigned& width);
  // A spare-row argument lists the physical spare-row locations (counted
  // from 0), row by row. Total: how many; null gives 0.
  static std::uint32_t get_total_spare_rows(const VOLD_ARG* arg);
  // Location of spare row i; 0xFFFFFFFF when i is not below the total.
  static std::uint32_t get_spare_row_location(const VOLD_ARG* arg, unsigned i);
};

// Loaders of ".ddb" parameter files. The caller owns the returned VOLD_INFO.
// Every failure returns null and leaves a "file:line: reason" text in
// last_error(); nothing is thrown.
class VOLD_DATA_SERVER {
 public:
  // Loads path, or path + ".ddb" when path does not exist. defer_s4: record
  // the S4/S2 list size but build no own list (it will be shared).
  static VOLD_INFO* get_vold_info(const std::string& path, bool defer_s4);
  // Loads a file by name: an absolute name as is, any other name relative to
  // the search directory (set_search_path; the current directory when
  // unset), each with the ".ddb" fallback. The first and last flags are
  // accepted and not used.
  static VOLD_INFO* zembric_get_vold_info(const std::string& name, bool unused, bool defer_s4, bool unused2);
  // Loads from text in memory; source names it in messages.
  static VOLD_INFO* load_from_text(std::string_view text, const std::string& source = "<text>",
                                   bool defer_s4 = false);
  // Writes info in the canonical text form, which loads back to equal records.
  static std::string to_text(const VOLD_INFO& info);

  static void set_search_path(const std::string& directory);
  static const std::string& get_search_path();
  // The reason of the last failed load ("" after a successful one).
  static const std::string& last_error();
};
