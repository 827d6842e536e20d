#include "msg.h"

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

void default_handler(const std::string& text, const char* module, const char* file, int line) {
  std::fprintf(stderr, "Internal error (%s): %s at %s:%d\n", module ? module : "", text.c_str(),
               file ? file : "", line);
  std::fflush(stderr);
  std::abort();
}

msg_internal_error_handler g_handler = &default_handler;
int g_verbosity = 0;

msg_debug_sink& sink() {
  static msg_debug_sink s;
  return s;
}

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  std::vsnprintf(buf.data(), buf.size(), format, args);
  return std::string(buf.data(), static_cast<size_t>(n));
}

}  // namespace

msg_internal_error_handler msg_set_internal_error_handler(msg_internal_error_handler handler) {
  msg_internal_error_handler old = g_handler;
  g_handler = handler ? handler : &default_handler;
  return old;
}

void MSG_INTERNAL_ERROR::report(const std::string& text, const char* module, const char* file,
                                int line) {
  g_handler(text, module, file, line);
  // A handler that returns would resume the failing code: never allow that.
  std::abort();
}

void msg_throwing_handler(const std::string& text, const char* module, const char* file,
                          int line) {
  throw msg_internal_error(text, module ? module : "", file ? file : "", line);
}

void msg_local_vdebug(const char* module, int level, const char* format, va_list args) {
  if (!format) return;
  msg_debug_sink& s = sink();
  if (!s && level > g_verbosity) return;
  std::string text = vformat(format, args);
  if (s) {
    s(module ? module : "", level, text);
    return;
  }
  std::fprintf(stderr, "[%s:%d] %s\n", module ? module : "", level, text.c_str());
}

void msg_set_debug_verbosity(int level) { g_verbosity = level; }

void msg_set_debug_sink(msg_debug_sink s) { sink() = std::move(s); }
