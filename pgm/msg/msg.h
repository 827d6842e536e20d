// Message library stand-in: internal errors and the host's debug channel.
#pragma once

#include <cstdarg>
#include <functional>
#include <stdexcept>
#include <string>

// Handler for internal errors. It must not return to the failing code: either
// it ends the process or it throws (tests throw msg_internal_error).
using msg_internal_error_handler =
    void (*)(const std::string& text, const char* module, const char* file, int line);

// Installs handler (null restores the default) and returns the previous one.
msg_internal_error_handler msg_set_internal_error_handler(msg_internal_error_handler handler);

struct MSG_INTERNAL_ERROR {
  // Calls the installed handler; aborts if the handler returns.
  [[noreturn]] static void report(const std::string& text, const char* module,
                                  const char* file, int line);
};

// What the throwing test handler raises.
class msg_internal_error : public std::runtime_error {
 public:
  msg_internal_error(const std::string& text, std::string module, std::string file, int line)
      : std::runtime_error(text), m_module(std::move(module)), m_file(std::move(file)),
        m_line(line) {}
  const std::string& module() const { return m_module; }
  const std::string& file() const { return m_file; }
  int line() const { return m_line; }

 private:
  std::string m_module;
  std::string m_file;
  int m_line;
};

// A ready-made handler that throws msg_internal_error.
[[noreturn]] void msg_throwing_handler(const std::string& text, const char* module,
                                       const char* file, int line);

// Debug channel. Lines at or below the verbosity go to standard error
// (verbosity 0, the default, shows nothing), or to the sink when one is set.
void msg_local_vdebug(const char* module, int level, const char* format, va_list args);
void msg_set_debug_verbosity(int level);
using msg_debug_sink = std::function<void(const char* module, int level, const std::string& text)>;
// Sink receives every line whatever the verbosity; an empty function removes it.
void msg_set_debug_sink(msg_debug_sink sink);
