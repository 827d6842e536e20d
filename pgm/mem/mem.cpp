#include "mem.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

int memcpy_s(void* dst, size_t dst_size, const void* src, size_t count) {
  if (dst == nullptr) return EINVAL;
  if (src == nullptr) {
    if (dst_size) std::memset(dst, 0, dst_size);
    return EINVAL;
  }
  if (count > dst_size) {
    if (dst_size) std::memset(dst, 0, dst_size);
    return ERANGE;
  }
  if (count) std::memmove(dst, src, count);
  return 0;
}

void stl_vsprintf(std::string& out, const char* format, va_list args) {
  out.clear();
  if (!format) return;
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return;
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  std::vsnprintf(buf.data(), buf.size(), format, args);
  out.assign(buf.data(), static_cast<size_t>(n));
}

namespace MEM_DETAIL {
std::string stl_raw_sprintf(const char* format, ...) {
  std::string out;
  va_list args;
  va_start(args, format);
  stl_vsprintf(out, format, args);
  va_end(args);
  return out;
}
}  // namespace MEM_DETAIL

std::string stl_tolower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}
