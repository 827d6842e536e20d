// The vtable slot of a virtual member function: the host calls the library's
// interfaces through their vtables, so the slot order is binding.
#pragma once

#include <cstddef>
#include <cstring>

// Under the Itanium C++ ABI a pointer to a virtual member holds 1 + the
// slot's byte offset.
template <typename F>
std::ptrdiff_t slot_of(F f) {
  struct {
    std::ptrdiff_t ptr;
    std::ptrdiff_t adj;
  } rep;
  static_assert(sizeof(f) == sizeof(rep));
  std::memcpy(&rep, &f, sizeof(rep));
  return (rep.ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}
