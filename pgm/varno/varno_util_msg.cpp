// Messages, dump files and the top-bitstream writers.
#include <cstdio>
#include <string>

#include "mem.h"
#include "msg.h"
#include "varno_assert.h"
#include "varno_itop_bitstream.h"
#include "varno_util.h"

u32 VARNO_UTIL::m_debug_level = 0;

namespace {

constexpr char k_hex_digits[] = "0123456789ABCDEF";

inline void append_hex_byte(std::string& out, u8 value) {
  out += k_hex_digits[value >> 4];
  out += k_hex_digits[value & 0xF];
}

}  // namespace

// ---- Messages ---------------------------------------------------------------

void VARNO_UTIL::set_debug_level(u32 level) { m_debug_level = level > 5 ? 5 : level; }

u32 VARNO_UTIL::get_debug_level() { return m_debug_level; }

void VARNO_UTIL::print_error_msg(const char* format, ...) {
  std::fflush(stdout);
  if (m_debug_level == 0) return;
  va_list args;
  va_start(args, format);
  print_msg(VARNO_MSG_ERROR, format, args);
  va_end(args);
}

void VARNO_UTIL::print_warning_msg(const char* format, ...) {
  std::fflush(stdout);
  if (m_debug_level == 0) return;
  va_list args;
  va_start(args, format);
  print_msg(VARNO_MSG_WARNING, format, args);
  va_end(args);
}

void VARNO_UTIL::print_debug_msg(VARNO_MSG_LEVEL level, const char* format, ...) {
  std::fflush(stdout);
  if (m_debug_level < 1 || m_debug_level < level) return;
  va_list args;
  va_start(args, format);
  print_msg(VARNO_MSG_DEBUG, format, args);
  va_end(args);
}

void VARNO_UTIL::print_msg(VARNO_MSG_TYPE type, const char* format, va_list args) {
  std::string text;
  stl_vsprintf(text, format, args);
  const char* colour = "34m";
  const char* label = "Debug";
  if (type == VARNO_MSG_ERROR) {
    colour = "31m";
    label = "Error";
  } else if (type == VARNO_MSG_WARNING) {
    colour = "36m";
    label = "Warning";
  }
  std::string line = "\x1b[0;";
  line += colour;
  line += label;
  line += ": ";
  line += text;
  line += "\x1b[0m\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void msg_vdebug_impl(MSG_D_LEVEL level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  msg_local_vdebug(VARNO_MODULE_TAG, level, format, args);
  va_end(args);
}

// ---- Dump and output files ----------------------------------------------------

bool VARNO_UTIL::open_ostream_by_type(std::ofstream& stream, const std::string& path,
                                      VARNO_OUTPUT_FORMAT format) {
  if (format != VARNO_OUTPUT_FORMAT_DAT) return false;
  stream.open(path, std::ios::out | std::ios::trunc);
  return true;
}

void VARNO_UTIL::dump_to_file(std::ofstream& stream, VARNO_OUTPUT_FORMAT format, const u8* data,
                              u32 size, std::string comment) {
  if (format == VARNO_OUTPUT_FORMAT_DAT) {
    // An empty buffer has no words to show; a dump of an empty segment must
    // not end the host's process.
    if (size == 0) return;
    print_to_dat(stream, data, size, 2, std::move(comment));
  } else if (format == VARNO_OUTPUT_FORMAT_BIT_TEXT) {
    print_bin_to_file(stream, data, size);
  }
}

void VARNO_UTIL::print_to_dat(std::ofstream& stream, const u8* data, u32 size,
                              u32 bytes_per_line, std::string comment) {
  VARNO_ASSERT_MSG(data != NULL && size > 0 && bytes_per_line > 0,
                   "data != NULL && data_size > 0 && bytes_per_line > 0");
  std::string out;
  out.reserve(static_cast<size_t>(size) * 2 + (size / bytes_per_line + 1) + comment.size() + 8);
  bool first_line = true;
  for (u64 start = 0; start < size; start += bytes_per_line) {
    const u64 end = start + bytes_per_line < size ? start + bytes_per_line : size;
    // Each byte's digits go in front of the line built so far: the last byte
    // of the line comes first.
    for (u64 i = end; i-- > start;) append_hex_byte(out, data[i]);
    if (first_line && !comment.empty()) {
      out += "\t// ";
      out += comment;
    }
    first_line = false;
    out += '\n';
  }
  stream.write(out.data(), static_cast<std::streamsize>(out.size()));
}

void VARNO_UTIL::print_bin_to_file(std::ofstream& stream, const u8* data, u32 size) {
  VARNO_ASSERT(data != NULL || size == 0);
  std::string out;
  out.reserve(static_cast<size_t>(size) * 8 + 1);
  for (u64 i = 0; i < size; ++i)
    for (int b = 0; b < 8; ++b) out += ((data[i] >> b) & 1u) ? '1' : '0';
  out += '\n';
  stream.write(out.data(), static_cast<std::streamsize>(out.size()));
}

void VARNO_UTIL::print_to_raw(std::ofstream& stream, const u8* data, u32 size) {
  VARNO_ASSERT(data != NULL || size == 0);
  if (size) stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

bool VARNO_UTIL::write_raw_top_bitstream(VARNO_ITOP_BITSTREAM* top, u32 first, u32 last,
                                         const std::string& path, bool append) {
  if (top == nullptr) return false;
  // Check the range and the fields before the open, which truncates: a
  // refused request leaves an existing file as it was.
  const u32 count = top->get_bitfield_count();
  if (last >= count) return false;
  for (u64 i = first; i <= last; ++i) {
    if (top->get_bitfield_size(static_cast<u32>(i)) > 0 &&
        top->get_bitfield_data(static_cast<u32>(i)) == nullptr)
      return false;
  }

  std::ofstream stream(path, std::ios::binary | std::ios::out |
                                 (append ? std::ios::app : std::ios::trunc));
  if (!stream) return false;
  for (u64 i = first; i <= last && stream; ++i) {
    const u32 size = top->get_bitfield_size(static_cast<u32>(i));
    if (size)
      stream.write(reinterpret_cast<const char*>(top->get_bitfield_data(static_cast<u32>(i))),
                   static_cast<std::streamsize>(size));
  }
  // A full disk shows only at the flush or the close.
  stream.close();
  return !stream.fail();
}

bool VARNO_UTIL::write_dat_top_bitstream(VARNO_ITOP_BITSTREAM* top, u32 first, u32 last,
                                         const std::string& path) {
  return true;
}
