// Shared pieces of the device database stand-in's sources.
#pragma once

#include <cstdint>
#include <string>

#include "vold.h"

// Limits that keep a small file from asking for huge allocations.
inline constexpr std::uint64_t VOLD_MAX_VALUES = 1u << 24;        // argument and list values per file
inline constexpr std::uint32_t VOLD_MAX_PARAM_SIZE = 1u << 20;    // values of one parameter
inline constexpr std::uint32_t VOLD_MAX_WORD_COUNT = 1u << 20;    // words of one option block
inline constexpr std::uint32_t VOLD_MAX_OB_BITS = 1u << 16;       // bits of one option-bit value
inline constexpr std::uint32_t VOLD_MAX_S4_FRAMES = 1u << 20;     // entries of an S4/S2 list
inline constexpr std::uint32_t VOLD_MAX_S4_DRAS = 64;             // data registers of one S4 record
inline constexpr std::uint32_t VOLD_MAX_INSTRUCTION_WORDS = 1u << 20;  // core or padding words of an instruction
inline constexpr std::uint32_t VOLD_MAX_ARRAY_CELLS = 1u << 16;   // cells of one sector array
inline constexpr std::uint32_t VOLD_MAX_DESCRIPTOR_WORD = 1u << 24;  // lengths and counts in a frame descriptor
inline constexpr std::uint32_t VOLD_MAX_LUTRAM_COLS = 254;        // entries of the LUTRAM column list

// The first problem found in a set of records, and the record it concerns
// (the loader turns that into a line number).
struct VOLD_PROBLEM {
  std::string text;             // empty: no problem
  const void* where = nullptr;  // the offending record, or null
};

VOLD_PROBLEM vold_validate(const VOLD_INFO& info);

// True for the arguments that are read as byte rows.
bool vold_is_byte_argument(std::uint32_t type);
