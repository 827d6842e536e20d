// Configuration stand-in: a process-wide key store, read anew at every call.
#pragma once

#include <optional>
#include <string>

// Integer value of key (decimal, or hexadecimal with 0x; an optional sign),
// or def when the key is unset or its value is not a number.
int cfg_get_int_value(const std::string& key, int def);
// On/off value of key (on/off, true/false, yes/no, 1/0, any case), or def.
bool cfg_is_on(const std::string& key, bool def);

// Control interface for hosts and tests; the library never calls these.
void cfg_set_value(const std::string& key, const std::string& value);
void cfg_unset(const std::string& key);
void cfg_clear();
std::optional<std::string> cfg_get_raw(const std::string& key);
// Loads "key = value" lines ('#' starts a comment). Returns false, with a
// "file:line: reason" text in error, on an unreadable file or a malformed line;
// the lines before it stay set.
bool cfg_load_file(const std::string& path, std::string* error = nullptr);

// Sets a key for the life of the object and restores what was there before.
class cfg_scoped_value {
 public:
  cfg_scoped_value(std::string key, const std::string& value);
  ~cfg_scoped_value();
  cfg_scoped_value(const cfg_scoped_value&) = delete;
  cfg_scoped_value& operator=(const cfg_scoped_value&) = delete;

 private:
  std::string m_key;
  std::optional<std::string> m_previous;
};
