#include "cfg.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>

namespace {

std::map<std::string, std::string>& store() {
  static std::map<std::string, std::string> s;
  return s;
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::optional<int> parse_int(const std::string& raw) {
  std::string s = trim(raw);
  if (s.empty()) return std::nullopt;
  bool neg = false;
  size_t i = 0;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    i = 1;
  }
  int base = 10;
  if (s.size() > i + 1 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return std::nullopt;
  long long v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = v * base + d;
    if (v > 0xFFFFFFFFLL) return std::nullopt;
  }
  if (neg) v = -v;
  // Hexadecimal values up to 0xFFFFFFFF are bit patterns: keep their bits.
  if (base == 16 && !neg && v > INT_MAX) return static_cast<int>(static_cast<unsigned>(v));
  if (v > INT_MAX || v < INT_MIN) return std::nullopt;
  return static_cast<int>(v);
}

}  // namespace

int cfg_get_int_value(const std::string& key, int def) {
  auto it = store().find(key);
  if (it == store().end()) return def;
  std::optional<int> v = parse_int(it->second);
  return v ? *v : def;
}

bool cfg_is_on(const std::string& key, bool def) {
  auto it = store().find(key);
  if (it == store().end()) return def;
  std::string v = trim(it->second);
  std::transform(v.begin(), v.end(), v.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (v == "on" || v == "true" || v == "yes" || v == "1") return true;
  if (v == "off" || v == "false" || v == "no" || v == "0") return false;
  return def;
}

void cfg_set_value(const std::string& key, const std::string& value) { store()[key] = value; }
void cfg_unset(const std::string& key) { store().erase(key); }
void cfg_clear() { store().clear(); }

std::optional<std::string> cfg_get_raw(const std::string& key) {
  auto it = store().find(key);
  if (it == store().end()) return std::nullopt;
  return it->second;
}

bool cfg_load_file(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = path + ": cannot open file";
    return false;
  }
  std::string line;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = trim(line);
    if (line.empty()) continue;
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? std::string() : trim(line.substr(0, eq));
    if (key.empty()) {
      if (error) *error = path + ":" + std::to_string(lineno) + ": expected 'key = value'";
      return false;
    }
    store()[key] = trim(line.substr(eq + 1));
  }
  return true;
}

cfg_scoped_value::cfg_scoped_value(std::string key, const std::string& value)
    : m_key(std::move(key)), m_previous(cfg_get_raw(m_key)) {
  cfg_set_value(m_key, value);
}

cfg_scoped_value::~cfg_scoped_value() {
  if (m_previous) cfg_set_value(m_key, *m_previous);
  else cfg_unset(m_key);
}
