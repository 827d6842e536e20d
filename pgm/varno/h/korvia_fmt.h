// printf-style formatting of message texts that never fails: when the
// arguments do not fit the format, the text says so and lists them.
#pragma once

#include <fmt/format.h>
#include <fmt/printf.h>

#include <exception>
#include <string>
#include <type_traits>

#include "varno_types.h"

namespace KORVIA {

namespace detail {

// The formatting library takes only character pointers as strings and
// refuses other typed pointers; enumerations go as their numbers.
template <typename T>
decltype(auto) fmt_arg(const T& value) {
  if constexpr (std::is_enum_v<T>) {
    return static_cast<std::underlying_type_t<T>>(value);
  } else if constexpr (std::is_pointer_v<T> &&
                       !std::is_same_v<std::remove_cv_t<std::remove_pointer_t<T>>, char>) {
    return static_cast<const void*>(value);
  } else {
    return (value);
  }
}

template <typename T>
void fmt_append_arg(std::string& out, u64 index, const T& value) {
  out += fmt::format("arg[{}]: ", index);
  try {
    out += fmt::format("{}\n", fmt_arg(value));
  } catch (const std::exception&) {
    out += "(unprintable)\n";
  }
}

}  // namespace detail

// Formats into out and returns true; on failure out is "(unprintable)" and
// the result false.
template <typename... Args>
bool fmt_sprintf_helper(std::string& out, const char* const& format, const Args&... args) {
  if (format == nullptr) {
    out = "(unprintable)";
    return false;
  }
  try {
    out = fmt::sprintf(format, detail::fmt_arg(args)...);
    return true;
  } catch (const std::exception&) {
    out = "(unprintable)";
    return false;
  }
}

// Text that explains a format/argument mismatch: the format, then each of
// the first count arguments on a line of its own.
template <typename... Args>
void fmt_args_error(std::string& out, const char* const& format, u64 count, const Args&... args) {
  out = "ERROR: args not compatible with format string\nformat: ";
  out += format ? format : "(null)";
  out += "\n";
  u64 index = 0;
  (
      [&] {
        if (index < count) detail::fmt_append_arg(out, index, args);
        ++index;
      }(),
      ...);
}

// The printf-style text of format and args, or the fmt_args_error text.
template <typename... Args>
std::string fmt_sprintf(const char* const& format, const Args&... args) {
  std::string out;
  if (!fmt_sprintf_helper(out, format, args...)) {
    fmt_args_error(out, format, sizeof...(Args), args...);
  }
  return out;
}

}  // namespace KORVIA
