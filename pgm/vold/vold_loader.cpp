// Loader of ".ddb" parameter files (format: docs/parameter-files.md).
//
// A file is read as a whole, parsed line by line into a VOLD_INFO and then
// validated. Any problem ends the load with a "file:line: reason" text and a
// null result; no exception leaves this file.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <sstream>
#include <unordered_map>

#include "vold_internal.h"

namespace {

constexpr std::uintmax_t VOLD_MAX_FILE_BYTES = 256u << 20;

std::string& error_text() {
  static std::string s_error;
  return s_error;
}

std::string& search_path() {
  static std::string s_path;
  return s_path;
}

// A problem at a line; caught at the top of the load.
struct PARSE_ERROR {
  int line;
  std::string text;
};

// One statement: its line number and its whitespace-separated words.
struct LINE {
  int number = 0;
  std::vector<std::string_view> words;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string quote(std::string_view s) {
  std::string out = "'";
  // Keep messages short for very long words.
  out.append(s.substr(0, 64));
  if (s.size() > 64) out += "...";
  out += "'";
  return out;
}

class PARSER {
 public:
  PARSER(std::string_view text, std::string source, bool defer_s4)
      : m_text(text), m_source(std::move(source)), m_defer_s4(defer_s4) {}

  std::unique_ptr<VOLD_INFO> run() {
    m_info = std::make_unique<VOLD_INFO>();
    m_info->set_source(m_source);
    read_lines();
    finish_pending();
    if (!m_header_seen) throw PARSE_ERROR{last_line(), "empty file: expected 'ddb family 1' or 'ddb device 1'"};
    if (m_family_file) {
      if (!m_family_type) throw PARSE_ERROR{last_line(), "missing 'family' line"};
      if (!m_width) throw PARSE_ERROR{last_line(), "missing 'config_width' line"};
      // A family without blocks is well formed: its header is all there is.
      if (m_info->get_family_info() == nullptr)
        remember(m_info->create_family_info(*m_family_type, *m_width), m_header_line);
    } else {
      if (!m_family_type) throw PARSE_ERROR{last_line(), "missing 'family' line"};
      if (!m_device_type) throw PARSE_ERROR{last_line(), "missing 'device' line"};
      // Without further statements the checks below name what is missing.
      if (m_info->get_device_info() == nullptr)
        remember(m_info->create_device_info(*m_family_type, *m_device_type), m_header_line);
    }
    const VOLD_PROBLEM problem = vold_validate(*m_info);
    if (!problem.text.empty()) throw PARSE_ERROR{line_of(problem.where), problem.text};
    if (!m_family_file && m_defer_s4 && m_info->get_device_info()->m_s4_s2_list != nullptr)
      m_info->set_s4_s2_size(m_info->get_device_info()->m_s4_s2_list_size, false);
    return std::move(m_info);
  }

 private:
  // ---- lines and words ----
  // Splits the text into lines and runs each statement as soon as it is
  // read, so that a limit stops a huge file before all of it is held as words.
  void read_lines() {
    int number = 0;
    std::size_t pos = 0;
    LINE line;
    // A final newline ends the last line; it does not start another.
    while (pos < m_text.size()) {
      std::size_t end = m_text.find('\n', pos);
      if (end == std::string_view::npos) end = m_text.size();
      if (number == std::numeric_limits<int>::max()) throw PARSE_ERROR{number, "too many lines"};
      ++number;
      std::string_view raw = m_text.substr(pos, end - pos);
      pos = end + 1;
      // CR LF line ends: the CR belongs to the line end. Any other CR is a
      // stray control character like the rest.
      if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
      line.number = number;
      line.words.clear();
      m_last_line = number;
      std::size_t stop = raw.find('#');
      if (stop == std::string_view::npos) stop = raw.size();
      for (std::size_t i = 0; i < stop; ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if ((c < 0x21 || c > 0x7E) && c != ' ' && c != '\t') {
          char buf[8];
          std::snprintf(buf, sizeof buf, "0x%02X", c);
          throw PARSE_ERROR{number, std::string("unexpected character ") + buf};
        }
      }
      std::size_t i = 0;
      while (i < stop) {
        const char c = raw[i];
        if (c == ' ' || c == '\t') {
          ++i;
          continue;
        }
        std::size_t j = i;
        while (j < stop && raw[j] != ' ' && raw[j] != '\t') ++j;
        line.words.push_back(raw.substr(i, j - i));
        i = j;
      }
      if (!line.words.empty()) statement(line);
    }
  }

  int last_line() const { return m_last_line > 0 ? m_last_line : 1; }

  int line_of(const void* where) const {
    auto it = m_where.find(where);
    return it == m_where.end() ? last_line() : it->second;
  }
  void remember(const void* record, int line) { m_where.emplace(record, line); }

  // ---- numbers ----
  static std::optional<std::uint64_t> number(std::string_view s) {
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
      for (std::size_t i = 2; i < s.size(); ++i) {
        const int d = hex_digit(s[i]);
        if (d < 0 || (v >> 60) != 0) return std::nullopt;
        v = (v << 4) | static_cast<std::uint64_t>(d);
      }
      return v;
    }
    for (char c : s) {
      if (!is_digit(c)) return std::nullopt;
      const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
      if (v > (UINT64_MAX - d) / 10) return std::nullopt;
      v = v * 10 + d;
    }
    return v;
  }

  std::uint64_t u64(std::string_view s, int line, const char* what) const {
    auto v = number(s);
    if (!v) throw PARSE_ERROR{line, std::string("bad number ") + quote(s) + " for " + what};
    return *v;
  }

  std::uint32_t u32(std::string_view s, int line, const char* what, std::uint64_t max = 0xFFFFFFFFu) const {
    const std::uint64_t v = u64(s, line, what);
    if (v > max) throw PARSE_ERROR{line, std::string(what) + " " + quote(s) + " is above " + std::to_string(max)};
    return static_cast<std::uint32_t>(v);
  }

  std::int32_t i32(std::string_view s, int line, const char* what) const {
    if (!s.empty() && s[0] == '-') {
      const std::uint64_t v = u64(s.substr(1), line, what);
      if (v > 0x80000000u) throw PARSE_ERROR{line, std::string(what) + " " + quote(s) + " is out of range"};
      return static_cast<std::int32_t>(-static_cast<std::int64_t>(v));
    }
    return static_cast<std::int32_t>(u32(s, line, what, 0x7FFFFFFFu));
  }

  bool flag(std::string_view s, int line, const char* what) const {
    if (s == "0") return false;
    if (s == "1") return true;
    throw PARSE_ERROR{line, std::string(what) + " must be 0 or 1, not " + quote(s)};
  }

  // An enumeration value by name or by number; 0 and values at or past the
  // table's count are refused.
  std::uint32_t enumeration(VOLD_ENUM_TYPE kind, std::string_view s, int line, const char* what) const {
    std::uint32_t value = 0;
    if (!s.empty() && is_digit(s[0])) {
      auto v = number(s);
      if (!v) throw PARSE_ERROR{line, std::string("bad number ") + quote(s) + " for " + what};
      if (*v == 0 || *v >= VOLD_MANAGER::enum_count(kind))
        throw PARSE_ERROR{line, std::string(what) + " " + quote(s) + " is out of range (1 to " +
                                    std::to_string(VOLD_MANAGER::enum_count(kind) - 1) + ")"};
      return static_cast<std::uint32_t>(*v);
    }
    if (!VOLD_MANAGER::check_type_name_supported(kind, std::string(s), value))
      throw PARSE_ERROR{line, std::string("unknown ") + what + " " + quote(s)};
    return value;
  }

  // A value of bits bits (hex of any length, or decimal up to 64 bits) as
  // little-endian bytes.
  std::vector<std::uint8_t> bit_value(std::string_view s, std::uint32_t bits, int line) const {
    std::vector<std::uint8_t> bytes((static_cast<std::size_t>(bits) + 7) / 8, 0);
    auto too_big = [&] { return PARSE_ERROR{line, "value " + quote(s) + " does not fit in " + std::to_string(bits) + " bits"}; };
    auto set_bit = [&](std::uint64_t bit) {
      if (bit >= bits) throw too_big();
      bytes[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    };
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
      std::uint64_t bit = 0;
      for (std::size_t i = s.size(); i > 2; --i, bit += 4) {
        const int d = hex_digit(s[i - 1]);
        if (d < 0) throw PARSE_ERROR{line, "bad number " + quote(s) + " for value"};
        for (int k = 0; k < 4; ++k)
          if ((d >> k) & 1) set_bit(bit + k);
      }
      return bytes;
    }
    const std::uint64_t v = u64(s, line, "value");
    for (unsigned k = 0; k < 64; ++k)
      if ((v >> k) & 1) set_bit(k);
    return bytes;
  }

  // ---- attributes: key=value words after the positional ones ----
  class ATTRS {
   public:
    ATTRS(const LINE& line, std::size_t first, std::initializer_list<const char*> keys)
        : m_line(line.number) {
      for (std::size_t i = first; i < line.words.size(); ++i) {
        std::string_view w = line.words[i];
        const std::size_t eq = w.find('=');
        if (eq == std::string_view::npos || eq == 0)
          throw PARSE_ERROR{m_line, "expected key=value, found " + quote(w)};
        std::string_view key = w.substr(0, eq);
        bool known = false;
        for (const char* k : keys) known = known || key == k;
        if (!known) throw PARSE_ERROR{m_line, "unknown attribute " + quote(key)};
        if (!m_values.emplace(std::string(key), w.substr(eq + 1)).second)
          throw PARSE_ERROR{m_line, "attribute " + quote(key) + " given twice"};
      }
    }
    std::optional<std::string_view> get(const char* key) const {
      auto it = m_values.find(key);
      if (it == m_values.end()) return std::nullopt;
      return it->second;
    }
    std::string_view need(const char* key) const {
      auto v = get(key);
      if (!v) throw PARSE_ERROR{m_line, std::string("missing attribute '") + key + "'"};
      return *v;
    }

   private:
    int m_line;
    std::map<std::string, std::string_view> m_values;
  };

  void need_words(const LINE& line, std::size_t n, const char* form) const {
    if (line.words.size() < n) throw PARSE_ERROR{line.number, std::string("expected: ") + form};
  }

  // ---- value lists: N, A..B (inclusive, either direction), V*N ----
  void count_values(std::uint64_t n, int line) {
    // Compared before adding: a repeat count near 2^64 must not wrap the sum.
    if (n > VOLD_MAX_VALUES - m_value_count)
      throw PARSE_ERROR{line, "more than " + std::to_string(VOLD_MAX_VALUES) + " values in one file"};
    m_value_count += n;
  }

  void list_value(std::string_view w, int line, std::vector<std::uint32_t>& out) {
    const std::size_t dots = w.find("..");
    const std::size_t star = w.find('*');
    if (dots != std::string_view::npos) {
      const std::uint32_t a = u32(w.substr(0, dots), line, "range start");
      const std::uint32_t b = u32(w.substr(dots + 2), line, "range end");
      const std::uint64_t n = (a <= b ? b - a : a - b) + 1ull;
      count_values(n, line);
      if (a <= b)
        for (std::uint64_t v = a; v <= b; ++v) out.push_back(static_cast<std::uint32_t>(v));
      else
        for (std::uint64_t v = a + 1ull; v-- > b;) out.push_back(static_cast<std::uint32_t>(v));
      return;
    }
    if (star != std::string_view::npos) {
      const std::uint32_t v = u32(w.substr(0, star), line, "value");
      const std::uint64_t n = u64(w.substr(star + 1), line, "repeat count");
      if (n == 0) throw PARSE_ERROR{line, "repeat count 0 in " + quote(w)};
      count_values(n, line);
      out.insert(out.end(), static_cast<std::size_t>(n), v);
      return;
    }
    count_values(1, line);
    out.push_back(u32(w, line, "value"));
  }

  // ---- statements ----
  void statement(const LINE& line) {
    const std::string_view key = line.words[0];
    if (!m_header_seen) {
      if (key != "ddb" || line.words.size() != 3 || (line.words[1] != "family" && line.words[1] != "device"))
        throw PARSE_ERROR{line.number, "expected 'ddb family 1' or 'ddb device 1' first"};
      if (line.words[2] != "1")
        throw PARSE_ERROR{line.number, "unsupported format version " + quote(line.words[2])};
      m_header_seen = true;
      m_family_file = line.words[1] == "family";
      return;
    }
    if (key == "data") {
      data_line(line);
      return;
    }
    finish_pending();
    if (key == "ddb") throw PARSE_ERROR{line.number, "second 'ddb' line"};
    if (m_family_file)
      family_statement(line, key);
    else
      device_statement(line, key);
  }

  // ---- family files ----
  void family_statement(const LINE& line, std::string_view key) {
    if (key == "family") {
      need_words(line, 2, "family <FAMILY>");
      if (line.words.size() != 2) throw PARSE_ERROR{line.number, "expected: family <FAMILY>"};
      if (m_family_type) throw PARSE_ERROR{line.number, "second 'family' line"};
      m_family_type = enumeration(VOLD_ENUM_TYPE_FAMILY, line.words[1], line.number, "family type");
      m_header_line = line.number;
      return;
    }
    if (key == "config_width") {
      if (line.words.size() != 2) throw PARSE_ERROR{line.number, "expected: config_width <BITS>"};
      if (m_width) throw PARSE_ERROR{line.number, "second 'config_width' line"};
      m_width = u32(line.words[1], line.number, "configuration width");
      if (m_header_line == 0) m_header_line = line.number;
      return;
    }
    VOLD_FAMILY_INFO* family = m_info->get_family_info();
    if (family == nullptr) {
      if (!m_family_type || !m_width)
        throw PARSE_ERROR{line.number, "'family' and 'config_width' must come before " + quote(key)};
      family = m_info->create_family_info(*m_family_type, *m_width);
      remember(family, m_header_line);
    }
    if (key == "block") {
      block_statement(line);
    } else if (key == "const") {
      m_dyn = nullptr;
      if (m_block == nullptr || !m_block->is_option_block())
        throw PARSE_ERROR{line.number, "'const' belongs to an option block"};
      ATTRS a(line, 1, {"word", "value"});
      remember(m_info->add_const_data(m_block, u32(a.need("word"), line.number, "word"),
                                      u32(a.need("value"), line.number, "value")),
               line.number);
    } else if (key == "dyn") {
      if (m_block == nullptr || !m_block->is_option_block())
        throw PARSE_ERROR{line.number, "'dyn' belongs to an option block"};
      need_words(line, 2, "dyn <FIELD> word=N size=N mask=V");
      const std::uint32_t type = enumeration(VOLD_ENUM_TYPE_DYN_DATA, line.words[1], line.number, "field type");
      ATTRS a(line, 2, {"word", "offset", "size", "mask", "order"});
      bool column = false;
      if (auto o = a.get("order")) {
        if (*o == "column") column = true;
        else if (*o != "row") throw PARSE_ERROR{line.number, "order must be row or column, not " + quote(*o)};
      }
      const std::uint32_t offset = a.get("offset") ? u32(*a.get("offset"), line.number, "offset") : 0;
      m_dyn = m_info->add_dyn_data(m_block, type, u32(a.need("word"), line.number, "word"), offset,
                                   u32(a.need("size"), line.number, "size"), u32(a.need("mask"), line.number, "mask"),
                                   column);
      remember(m_dyn, line.number);
    } else if (key == "ob") {
      if (m_dyn == nullptr) throw PARSE_ERROR{line.number, "'ob' belongs to a 'dyn' field"};
      need_words(line, 2, "ob <OPTION> index=N size=N");
      const std::uint32_t type = enumeration(VOLD_ENUM_TYPE_OB_DATA, line.words[1], line.number, "option type");
      ATTRS a(line, 2, {"index", "second", "size", "link", "value"});
      const std::uint32_t size = u32(a.need("size"), line.number, "size", VOLD_MAX_OB_BITS);
      const std::uint32_t second = a.get("second") ? u32(*a.get("second"), line.number, "second") : 0;
      const std::uint32_t link = a.get("link") ? u32(*a.get("link"), line.number, "link") : 0;
      std::vector<std::uint8_t> value =
          a.get("value") ? bit_value(*a.get("value"), size, line.number) : std::vector<std::uint8_t>((size + 7) / 8, 0);
      remember(m_info->add_ob_data(m_dyn, type, u32(a.need("index"), line.number, "index"), second, size, link,
                                   std::move(value), size),
               line.number);
    } else if (key == "instr") {
      m_dyn = nullptr;
      if (m_block == nullptr || !m_block->is_data_block())
        throw PARSE_ERROR{line.number, "'instr' belongs to a data block"};
      need_words(line, 2, "instr <INSTRUCTION> word=V");
      VOLD_INSTRUCTION ins;
      ins.type = enumeration(VOLD_ENUM_TYPE_INSTRUCTION, line.words[1], line.number, "instruction type");
      ATTRS a(line, 2, {"word", "length", "core", "core_fill", "padding", "padding_fill"});
      ins.instruction_word = u32(a.need("word"), line.number, "word");
      if (auto v = a.get("length")) ins.with_length = flag(*v, line.number, "length");
      if (auto v = a.get("core")) ins.core_words = u32(*v, line.number, "core");
      if (auto v = a.get("core_fill")) ins.core_zero = fill(*v, line.number);
      if (auto v = a.get("padding")) ins.padding_words = i32(*v, line.number, "padding");
      if (auto v = a.get("padding_fill")) ins.padding_zero = fill(*v, line.number);
      remember(m_info->add_instruction(m_block, ins), line.number);
    } else {
      throw PARSE_ERROR{line.number, "unknown statement " + quote(key) + " in a family file"};
    }
  }

  bool fill(std::string_view s, int line) const {
    if (s == "zero") return true;
    if (s == "ones") return false;
    throw PARSE_ERROR{line, "fill must be zero or ones, not " + quote(s)};
  }

  void block_statement(const LINE& line) {
    need_words(line, 3, "block <BLOCK> option|data|array ...");
    const std::uint32_t type = enumeration(VOLD_ENUM_TYPE_BLOCK, line.words[1], line.number, "block type");
    const std::string_view kind = line.words[2];
    m_dyn = nullptr;
    if (kind == "option") {
      ATTRS a(line, 3, {"words", "crc", "ones"});
      const bool crc = a.get("crc") ? flag(*a.get("crc"), line.number, "crc") : false;
      const bool ones = a.get("ones") ? flag(*a.get("ones"), line.number, "ones") : false;
      m_block = m_info->add_option_block(type, u32(a.need("words"), line.number, "words"), crc, ones);
    } else if (kind == "data") {
      ATTRS a(line, 3, {"frame", "w1", "w2", "w3", "w4", "w5", "w6", "flag", "b28"});
      VOLD_FRAME_DESCRIPTION fd;
      fd.frame_type = enumeration(VOLD_ENUM_TYPE_FRAME, a.need("frame"), line.number, "frame type");
      auto word = [&](const char* k, std::uint64_t max = 0xFFFFFFFFu) -> std::uint64_t {
        auto v = a.get(k);
        return v ? u32(*v, line.number, k, max) : 0;
      };
      fd.value64 = word("w1") | (word("w2") << 32);
      fd.ptrval = word("w3") | (word("w4") << 32);
      fd.u32_a = static_cast<std::uint32_t>(word("w5"));
      fd.u32_b = static_cast<std::uint32_t>(word("w6", 0x7FFFFFFFu));
      if (auto f = a.get("flag"); f && flag(*f, line.number, "flag")) fd.u32_b |= 0x80000000u;
      fd.u8_c = static_cast<std::uint8_t>(word("b28", 0xFF));
      m_block = m_info->add_data_block(type, fd);
    } else if (kind == "array") {
      ATTRS a(line, 3, {});
      m_block = m_info->add_array_block(type);
    } else {
      throw PARSE_ERROR{line.number, "block kind must be option, data or array, not " + quote(kind)};
    }
    remember(m_block, line.number);
  }

  // ---- device files ----
  enum class PENDING { NONE, PARAM, ARG, LUTRAM_COL, LUTRAM_ROW };

  void device_statement(const LINE& line, std::string_view key) {
    if (key == "family") {
      if (line.words.size() != 2) throw PARSE_ERROR{line.number, "expected: family <FAMILY>"};
      if (m_family_type) throw PARSE_ERROR{line.number, "second 'family' line"};
      m_family_type = enumeration(VOLD_ENUM_TYPE_FAMILY, line.words[1], line.number, "family type");
      return;
    }
    if (key == "device") {
      if (line.words.size() != 2) throw PARSE_ERROR{line.number, "expected: device <DEVICE>"};
      if (m_device_type) throw PARSE_ERROR{line.number, "second 'device' line"};
      m_device_type = enumeration(VOLD_ENUM_TYPE_DEVICE, line.words[1], line.number, "device type");
      m_header_line = line.number;
      return;
    }
    VOLD_DEVICE_INFO* device = m_info->get_device_info();
    if (device == nullptr) {
      if (!m_family_type || !m_device_type)
        throw PARSE_ERROR{line.number, "'family' and 'device' must come before " + quote(key)};
      device = m_info->create_device_info(*m_family_type, *m_device_type);
      remember(device, m_header_line);
    }
    // An s2 line belongs to the s4 record right before it.
    if (key != "s2" && key != "s4") m_s4 = nullptr;
    if (key == "param") {
      need_words(line, 3, "param <BLOCK> <PARAMETER> [size=N] values...");
      m_pending = PENDING::PARAM;
      m_pending_line = line.number;
      m_pending_block = enumeration(VOLD_ENUM_TYPE_BLOCK, line.words[1], line.number, "block type");
      m_pending_type = enumeration(VOLD_ENUM_TYPE_PARAMETER, line.words[2], line.number, "parameter type");
      m_pending_size.reset();
      m_pending_entries.clear();
      m_cursor = 0;
      param_words(line, 3);
    } else if (key == "arg") {
      need_words(line, 4, "arg <BLOCK> <ARGUMENT> width=N values...");
      m_pending = PENDING::ARG;
      m_pending_line = line.number;
      m_pending_block = enumeration(VOLD_ENUM_TYPE_BLOCK, line.words[1], line.number, "block type");
      m_pending_type = enumeration(VOLD_ENUM_TYPE_ARGUMENT, line.words[2], line.number, "argument type");
      const std::string_view w = line.words[3];
      if (w.substr(0, 6) != "width=") throw PARSE_ERROR{line.number, "expected width=N after the argument type"};
      m_pending_width = u32(w.substr(6), line.number, "width");
      if (m_pending_width == 0) throw PARSE_ERROR{line.number, "width must be above 0"};
      m_pending_values.clear();
      for (std::size_t i = 4; i < line.words.size(); ++i) list_value(line.words[i], line.number, m_pending_values);
    } else if (key == "ob") {
      need_words(line, 2, "ob <OPTION> index=N size=N value=V");
      const std::uint32_t type = enumeration(VOLD_ENUM_TYPE_OB_DATA, line.words[1], line.number, "option type");
      ATTRS a(line, 2, {"index", "second", "size", "value"});
      const std::uint32_t size = u32(a.need("size"), line.number, "size", VOLD_MAX_OB_BITS);
      const std::uint32_t second = a.get("second") ? u32(*a.get("second"), line.number, "second") : 0;
      std::vector<std::uint8_t> value =
          a.get("value") ? bit_value(*a.get("value"), size, line.number) : std::vector<std::uint8_t>((size + 7) / 8, 0);
      remember(m_info->add_device_ob_data(type, u32(a.need("index"), line.number, "index"), second, size,
                                          std::move(value), size),
               line.number);
    } else if (key == "lutram_col" || key == "lutram_row") {
      const bool col = key == "lutram_col";
      bool& seen = col ? m_lutram_col_seen : m_lutram_row_seen;
      if (seen) throw PARSE_ERROR{line.number, "second " + quote(key) + " line"};
      seen = true;
      m_pending = col ? PENDING::LUTRAM_COL : PENDING::LUTRAM_ROW;
      m_pending_line = line.number;
      m_pending_values.clear();
      for (std::size_t i = 1; i < line.words.size(); ++i) list_value(line.words[i], line.number, m_pending_values);
    } else if (key == "s4s2") {
      if (m_s4_frames) throw PARSE_ERROR{line.number, "second 's4s2' line"};
      ATTRS a(line, 1, {"frames"});
      m_s4_frames = u32(a.need("frames"), line.number, "frames", VOLD_MAX_S4_FRAMES);
      m_info->set_s4_s2_size(*m_s4_frames, true);
      remember(device, line.number);
    } else if (key == "s4") {
      if (!m_s4_frames) throw PARSE_ERROR{line.number, "'s4' needs an 's4s2' line before it"};
      ATTRS a(line, 1, {"frame", "dras"});
      const std::uint32_t frame = u32(a.need("frame"), line.number, "frame");
      if (frame >= *m_s4_frames)
        throw PARSE_ERROR{line.number, "frame " + std::to_string(frame) + " is not below the " +
                                           std::to_string(*m_s4_frames) + " frames of 's4s2'"};
      if ((*device->m_s4_s2_list)[frame] != nullptr)
        throw PARSE_ERROR{line.number, "second 's4' record of frame " + std::to_string(frame)};
      const std::uint32_t dras = a.get("dras") ? u32(*a.get("dras"), line.number, "dras", VOLD_MAX_S4_DRAS) : 1;
      if (dras == 0) throw PARSE_ERROR{line.number, "dras must be above 0"};
      m_s4 = m_info->s4_record(frame);
      m_s4->resize(dras);
      m_s4_dras = dras;
      remember(m_s4, line.number);
    } else if (key == "s2") {
      if (m_s4 == nullptr) throw PARSE_ERROR{line.number, "'s2' belongs to an 's4' record"};
      ATTRS a(line, 1, {"dra", "bit", "cells"});
      const std::uint32_t dra = u32(a.need("dra"), line.number, "dra");
      if (dra >= m_s4_dras)
        throw PARSE_ERROR{line.number, "dra " + std::to_string(dra) + " is not below the record's " +
                                           std::to_string(m_s4_dras) + " data registers"};
      count_values(1, line.number);
      S4_SII_BIT* bit = m_info->s4_store().new_sii_bit(u32(a.need("bit"), line.number, "bit"));
      if (auto cells = a.get("cells")) s2_cells(*bit, *cells, line.number);
      m_s4->dra_list(dra)->push_back(bit);
      remember(bit, line.number);
    } else {
      throw PARSE_ERROR{line.number, "unknown statement " + quote(key) + " in a device file"};
    }
  }

  // value:frame:bit:flag[,value:frame:bit:flag...]
  void s2_cells(S4_SII_BIT& bit, std::string_view text, int line) {
    std::size_t pos = 0;
    while (true) {
      std::size_t end = text.find(',', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view cell = text.substr(pos, end - pos);
      std::string_view part[4];
      std::size_t p = 0;
      for (int k = 0; k < 4; ++k) {
        std::size_t c = k < 3 ? cell.find(':', p) : cell.size();
        if (c == std::string_view::npos) throw PARSE_ERROR{line, "cell " + quote(cell) + " is not value:frame:bit:flag"};
        part[k] = cell.substr(p, c - p);
        p = c + 1;
      }
      if (part[3].find(':') != std::string_view::npos)
        throw PARSE_ERROR{line, "cell " + quote(cell) + " is not value:frame:bit:flag"};
      count_values(4, line);
      bit.add_cell(m_info->s4_store().new_si(u32(part[0], line, "cell value", 3), u32(part[1], line, "cell frame"),
                                             u32(part[2], line, "cell bit"), flag(part[3], line, "cell flag")));
      if (end == text.size()) break;
      pos = end + 1;
    }
  }

  void param_size_limit(std::uint64_t size, int line) const {
    if (size > VOLD_MAX_PARAM_SIZE)
      throw PARSE_ERROR{line, "parameter size " + std::to_string(size) + " is above " +
                                  std::to_string(VOLD_MAX_PARAM_SIZE)};
  }

  // Offsets are unique and below the size, so there are never more entries.
  void param_entries_limit(std::uint64_t more, int line) const {
    if (m_pending_entries.size() + more > VOLD_MAX_PARAM_SIZE)
      throw PARSE_ERROR{line, "parameter has more than " + std::to_string(VOLD_MAX_PARAM_SIZE) + " entries"};
  }

  // Entries of a parameter: size=N, off=value[:name], or list values placed
  // at the running offset.
  void param_words(const LINE& line, std::size_t first) {
    for (std::size_t i = first; i < line.words.size(); ++i) {
      const std::string_view w = line.words[i];
      const std::size_t eq = w.find('=');
      if (eq != std::string_view::npos && w.substr(0, eq) == "size") {
        if (m_pending_size) throw PARSE_ERROR{line.number, "attribute 'size' given twice"};
        m_pending_size = u32(w.substr(eq + 1), line.number, "size", VOLD_MAX_PARAM_SIZE);
        continue;
      }
      if (eq != std::string_view::npos) {
        VOLD_PARAM_ENTRY e;
        e.offset = u32(w.substr(0, eq), line.number, "entry offset");
        std::string_view rest = w.substr(eq + 1);
        const std::size_t colon = rest.find(':');
        if (colon != std::string_view::npos) {
          std::string_view name = rest.substr(colon + 1);
          if (name.empty()) throw PARSE_ERROR{line.number, "empty entry name in " + quote(w)};
          for (char c : name)
            if (!(is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'))
              throw PARSE_ERROR{line.number, "entry name " + quote(name) + " may hold only letters, digits and '_'"};
          e.name = std::string(name);
          rest = rest.substr(0, colon);
        }
        e.value = u32(rest, line.number, "entry value");
        param_size_limit(static_cast<std::uint64_t>(e.offset) + 1, line.number);
        param_entries_limit(1, line.number);
        count_values(1, line.number);
        m_pending_entries.push_back(std::move(e));
        m_cursor = static_cast<std::uint64_t>(m_pending_entries.back().offset) + 1;
        continue;
      }
      std::vector<std::uint32_t> values;
      list_value(w, line.number, values);
      // Refused before the entries are made: each entry is a record of its own.
      param_size_limit(m_cursor + values.size(), line.number);
      param_entries_limit(values.size(), line.number);
      for (std::uint32_t v : values) {
        VOLD_PARAM_ENTRY e;
        e.offset = static_cast<std::uint32_t>(m_cursor++);
        e.value = v;
        m_pending_entries.push_back(std::move(e));
      }
    }
  }

  void data_line(const LINE& line) {
    switch (m_pending) {
      case PENDING::PARAM:
        param_words(line, 1);
        return;
      case PENDING::ARG:
      case PENDING::LUTRAM_COL:
      case PENDING::LUTRAM_ROW:
        for (std::size_t i = 1; i < line.words.size(); ++i) list_value(line.words[i], line.number, m_pending_values);
        return;
      case PENDING::NONE:
        break;
    }
    throw PARSE_ERROR{line.number, "'data' continues a param, arg, lutram_col or lutram_row line"};
  }

  void finish_pending() {
    VOLD_DEVICE_INFO* device = m_info->get_device_info();
    switch (m_pending) {
      case PENDING::NONE:
        return;
      case PENDING::PARAM: {
        std::uint64_t size = 0;
        for (const VOLD_PARAM_ENTRY& e : m_pending_entries) size = std::max<std::uint64_t>(size, e.offset + 1ull);
        if (m_pending_size) size = *m_pending_size;
        param_size_limit(size, m_pending_line);
        remember(m_info->add_param(m_pending_block, m_pending_type, static_cast<std::uint32_t>(size), m_pending_entries),
                 m_pending_line);
        m_pending_entries.clear();
        break;
      }
      case PENDING::ARG:
        remember(m_info->add_arg(m_pending_block, m_pending_type, m_pending_width, std::move(m_pending_values)),
                 m_pending_line);
        break;
      case PENDING::LUTRAM_COL:
        device->lutram_simplified_col = std::move(m_pending_values);
        remember(&device->lutram_simplified_col, m_pending_line);
        break;
      case PENDING::LUTRAM_ROW:
        device->lutram_simplified_row = std::move(m_pending_values);
        break;
    }
    m_pending_values = {};
    m_pending = PENDING::NONE;
  }

  std::string_view m_text;
  std::string m_source;
  bool m_defer_s4;
  int m_last_line = 0;
  std::unique_ptr<VOLD_INFO> m_info;
  std::unordered_map<const void*, int> m_where;
  std::uint64_t m_value_count = 0;
  bool m_header_seen = false;
  bool m_family_file = false;
  int m_header_line = 0;
  std::optional<std::uint32_t> m_family_type;
  std::optional<std::uint32_t> m_width;
  std::optional<std::uint32_t> m_device_type;
  // family nesting
  VOLD_BLOCK_ENTRY* m_block = nullptr;
  VOLD_DYN_DATA* m_dyn = nullptr;
  // device records being collected
  PENDING m_pending = PENDING::NONE;
  int m_pending_line = 0;
  std::uint32_t m_pending_block = 0;
  std::uint32_t m_pending_type = 0;
  std::uint32_t m_pending_width = 0;
  std::optional<std::uint32_t> m_pending_size;
  std::vector<VOLD_PARAM_ENTRY> m_pending_entries;
  std::vector<std::uint32_t> m_pending_values;
  std::uint64_t m_cursor = 0;
  bool m_lutram_col_seen = false;
  bool m_lutram_row_seen = false;
  std::optional<std::uint32_t> m_s4_frames;
  S4_SII* m_s4 = nullptr;
  std::uint32_t m_s4_dras = 0;
};

VOLD_INFO* load(std::string_view text, const std::string& source, bool defer_s4) {
  try {
    std::unique_ptr<VOLD_INFO> info = PARSER(text, source, defer_s4).run();
    error_text().clear();
    return info.release();
  } catch (const PARSE_ERROR& e) {
    error_text() = source + ":" + std::to_string(e.line) + ": " + e.text;
  } catch (const std::bad_alloc&) {
    error_text() = source + ": out of memory";
  } catch (const std::exception& e) {
    error_text() = source + ": " + e.what();
  }
  return nullptr;
}

// Whether path names something; a failure other than "not found" (a
// symbolic-link loop, a path that passes through a file) is reported.
bool path_exists(const std::string& path, std::string& problem) {
  std::error_code ec;
  const bool found = std::filesystem::exists(path, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) problem = path + ": " + ec.message();
  return found;
}

VOLD_INFO* load_file(const std::string& path, bool defer_s4) {
  std::string problem;
  std::string chosen = path;
  if (!path_exists(chosen, problem)) {
    if (!problem.empty()) {
      error_text() = problem;
      return nullptr;
    }
    chosen = path + ".ddb";
    if (!path_exists(chosen, problem)) {
      error_text() = !problem.empty() ? problem : path + ": no such file (also tried " + chosen + ")";
      return nullptr;
    }
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(chosen, ec)) {
    error_text() = chosen + ": not a regular file";
    return nullptr;
  }
  try {
    std::ifstream in(chosen, std::ios::binary);
    if (!in) {
      error_text() = chosen + ": cannot open";
      return nullptr;
    }
    // Read to the end rather than trusting the size the file system reports
    // (it can change, and some files report none).
    std::string text;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
      if (text.size() + static_cast<std::size_t>(in.gcount()) > VOLD_MAX_FILE_BYTES) {
        error_text() = chosen + ": larger than 256 MiB";
        return nullptr;
      }
      text.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
      error_text() = chosen + ": cannot read";
      return nullptr;
    }
    return load(text, chosen, defer_s4);
  } catch (const std::exception&) {
    error_text() = chosen + ": cannot read";
    return nullptr;
  }
}

}  // namespace

VOLD_INFO* VOLD_DATA_SERVER::get_vold_info(const std::string& path, bool defer_s4) {
  return load_file(path, defer_s4);
}

VOLD_INFO* VOLD_DATA_SERVER::zembric_get_vold_info(const std::string& name, bool /*unused*/, bool defer_s4,
                                                   bool /*unused2*/) {
  if (name.empty()) {
    error_text() = "empty parameter-file name";
    return nullptr;
  }
  const std::string& dir = search_path();
  if (name[0] == '/' || dir.empty()) return load_file(name, defer_s4);
  return load_file(dir.back() == '/' ? dir + name : dir + "/" + name, defer_s4);
}

VOLD_INFO* VOLD_DATA_SERVER::load_from_text(std::string_view text, const std::string& source, bool defer_s4) {
  return load(text, source, defer_s4);
}

void VOLD_DATA_SERVER::set_search_path(const std::string& directory) { search_path() = directory; }

const std::string& VOLD_DATA_SERVER::get_search_path() { return search_path(); }

const std::string& VOLD_DATA_SERVER::last_error() { return error_text(); }
