// What the library's fuzz targets share: the split of an input into a
// header and sections, a per-process directory for the files the library
// reads, and the internal-error handler that turns a failed check into an
// exception the target catches.
//
// Input layout: HEADER bytes (missing ones read as 0), then sections. A
// section starts with "@@" at the start of the rest or right after a line
// end, and runs to the line end before the next such start. Its first line
// is its title, the rest its body:
//   "@@F NAME"  a file: the body is written to NAME.ddb in the directory
//               (NAME of letters, digits and '_'; the targets say which
//               names they read);
//   "@@D [BLOCK [DEVICE]]" design data: u16 slot mask (bits 0-13, none:
//               every slot; bit 14: after the bytes a pseudo-random stream
//               seeded by them, else the bytes repeated; bit 15: the length
//               counts bytes, else bits), u64 length (both little-endian),
//               then the bytes, continued to the length; with a BLOCK only
//               for the data blocks of that
//               block type, with a DEVICE too only for those of the
//               generators that load the device file DEVICE;
//   "@@S"       custom frame sizes: little-endian u32 words;
//   "@@Q"       a programming sequence (the message's binary form);
//   "@@C"       configuration: "key = value" lines;
//   "@@L"       CRAM fault-injection locations: little-endian u32 frame and
//               bit pairs;
//   "@@X NAME"  a firmware file: the body is written to NAME as it is.
// Anything else, and a section with a bad name, is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "msg.h"

namespace varno_fuzz {

struct SECTION {
  char kind = 0;
  std::string name;
  std::string_view body;
};

struct INPUT {
  std::vector<std::uint8_t> header;  // exactly the header size
  std::vector<SECTION> sections;

  std::uint8_t u8(size_t at) const { return header[at]; }
  std::uint16_t u16(size_t at) const { return static_cast<std::uint16_t>(header[at] | header[at + 1] << 8); }
  std::uint32_t u32(size_t at) const { return u16(at) | std::uint32_t{u16(at + 2)} << 16; }
};

INPUT split_input(const std::uint8_t* data, size_t size, size_t header_size);

// Little-endian reads of a section body; missing bytes read as 0.
std::uint32_t body_u32(std::string_view body, size_t at);

// The process's own directory for the library's input and output files,
// made on first use and removed at exit.
const std::string& work_dir();
// Removes everything in the directory.
void clear_work_dir();
// Writes bytes to name in the directory; returns the path.
std::string write_work_file(const std::string& name, std::string_view bytes);

// Prints the error's text, place and the device database's last complaint
// when VARNO_FUZZ_VERBOSE is set (to see where inputs end up).
void note_internal_error(const msg_internal_error& e);

// printf to standard error when VARNO_FUZZ_VERBOSE is set.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A mutation for LLVMFuzzerCustomMutator: most often libFuzzer's own
// (LLVMFuzzerMutate), else one of the header's bytes (half the time one of
// the lengths, the header bytes at the offsets hot) or one number of a
// binary section ("@@D" lengths, "@@S" sizes, "@@L" locations) moved by a
// few units or set to a bound (another of the section's numbers or one
// beside it, a power of two or one below), or one edit of a parameter
// file's or the configuration's text (see mutate_text_input). The sizes and
// switches the checks compare sit in those few bytes of an input of
// kilobytes: libFuzzer alone, which picks positions evenly, seldom touches
// them.
size_t mutate(std::uint8_t* data, size_t size, size_t max_size, unsigned seed, size_t header_size,
              const std::vector<size_t>& hot);
// The same for an input that is one parameter file's text: at times one
// edit as a parameter file is edited by hand (a number moved by a few units
// or set to a bound as above, a line dropped or doubled, a range written out
// as its values), else libFuzzer's own.
size_t mutate_text_input(std::uint8_t* data, size_t size, size_t max_size, unsigned seed);

// Installs the throwing internal-error handler and sends standard output
// (the library's firmware messages) to /dev/null unless VARNO_FUZZ_VERBOSE
// is set. Call once, from LLVMFuzzerInitialize.
void init_target();

}  // namespace varno_fuzz
