// Memory and string services stand-in.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// Marks a translation unit that relies on the host's memory services being
// set up; the stand-in needs no set-up.
struct MEM_INITIALIZER {
  MEM_INITIALIZER() = default;
};

// Bounded copy: 0 on success; EINVAL for a null pointer (dst zeroed when it
// can be); ERANGE when count exceeds dst_size (dst zeroed, nothing copied).
int memcpy_s(void* dst, size_t dst_size, const void* src, size_t count);

namespace MEM_DETAIL {
// printf-style formatting into a new string.
std::string stl_raw_sprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
}  // namespace MEM_DETAIL

// printf-style formatting of a va_list into out (replacing its contents).
void stl_vsprintf(std::string& out, const char* format, va_list args);

// Lower-case copy (ASCII).
std::string stl_tolower(const std::string& text);

namespace STL_STRING {
inline constexpr size_t npos = std::string::npos;
}
