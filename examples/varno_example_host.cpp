// An example host of the bitstream generator. It drives the library the way
// a programming tool does: name a family and a device parameter file, build
// the block model, place the design data in the data blocks (of the top
// device or of single sectors), build the frames, and write the text dump of
// every block, the expected-data files and, for a block group or a flat
// family, the top-level bitstream. It prints what it did and exits non-zero
// with a clear message on any failure.
//
// Exit codes: 0 success; 1 bad command line or unreadable input; 2 the
// library reported a failure (a status or a failed build); 3 an internal
// check of the library failed.
#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "cfg.h"
#include "msg.h"
#include "varno_block.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_iblock.h"
#include "varno_itop_bitstream.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_types.h"
#include "vold.h"
#include "vold_enums.h"

namespace fs = std::filesystem;

namespace {

constexpr int EXIT_USAGE = 1;
constexpr int EXIT_LIBRARY = 2;
constexpr int EXIT_INTERNAL = 3;

constexpr const char* PROGRAM = "varno_example_host";

// set_data takes the length in bits as a u32.
constexpr std::uintmax_t MAX_DATA_BYTES = 0xFFFFFFFFu / 8;

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: %s [options] FAMILY_FILE DEVICE_FILE OUTPUT_DIR\n"
               "\n"
               "Builds the configuration image of one device and writes, into OUTPUT_DIR:\n"
               "  dump.txt                   text dump of every block of the device\n"
               "  dump_<ARRAY>_X<x>Y<y>.txt  text dump of each loaded sector\n"
               "  expected/                  expected-data files (one directory per sector)\n"
               "  bitstream.bin              of a flat family (no sector-array block): the\n"
               "                             top-level bitstream, every block's bytes in\n"
               "                             block order (raw binary)\n"
               "\n"
               "options:\n"
               "  --data BLOCK:SLOT:FILE     design data of a data block of the device\n"
               "  --sector-data ARRAY:X:Y:BLOCK:SLOT:FILE\n"
               "                             design data of a data block of the sector at grid\n"
               "                             column X, row Y of the sector-array block ARRAY\n"
               "  --config FILE              configuration settings (\"key = value\" lines)\n"
               "  --group TYPE               after the frames: one block group of TYPE (CRAM,\n"
               "                             ERAM, ...) over the sectors of the sector-array\n"
               "                             block, written as group_descriptor.bin and\n"
               "                             group_data.bin, and the top-level bitstream with\n"
               "                             SHA-256 hash blocks as bitstream.bin (raw binary)\n"
               "  --debug LEVEL              library messages, 0 (none, the default) to 5\n"
               "  --help                     this text\n"
               "\n"
               "SLOT is a data slot by name (CRAM, ERAM, MCU, CSR, BBUS, REGSCAN, HIP_MMIO,\n"
               "BRAM, HNOC_MMIO, UIB_MMR, IO_MMIO, IO_AHB) or number (0 to 13). FILE is raw\n"
               "binary data; its length in bits is 8 times its size in bytes, except for the\n"
               "CRAM image of a QV_CRAM block and the ERAM image of a QV_ERAM block: those\n"
               "files hold exactly the block's image (rows x bits per row, bit i in bit i mod 8\n"
               "of byte i / 8, rounded up to whole bytes).\n"
               "\n"
               "exit status: 0 success, 1 bad input, 2 the library reported a failure,\n"
               "3 an internal check of the library failed\n",
               PROGRAM);
}

// Reports an internal check of the library. After one, the library's objects
// may be destroyed but not used again (docs/architecture.md); this host has
// nothing left to do with them, so the process ends here.
[[noreturn]] void internal_error_handler(const std::string& text, const char* module,
                                         const char* file, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: internal error in %s (%s:%d): %s\n", PROGRAM,
               module != nullptr ? module : "?", file != nullptr ? file : "?", line, text.c_str());
  // A parameter file that does not load surfaces as an internal error of the
  // generator; the device database knows why.
  const std::string& reason = VOLD_DATA_SERVER::last_error();
  if (!reason.empty()) std::fprintf(stderr, "%s: device database: %s\n", PROGRAM, reason.c_str());
  std::fflush(stderr);
  std::_Exit(EXIT_INTERNAL);
}

// A failure of the host's own: reported by main once everything the host
// made has been released.
struct HOST_FAILURE {
  int code;
  std::string text;
};

[[noreturn]] __attribute__((format(printf, 2, 3))) void fail(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  throw HOST_FAILURE{code, text};
}

// Design data for one data block slot.
struct DATA_INPUT {
  std::string option;  // the option as given, for messages
  std::string array;   // sector-array block name; empty for a block of the device
  u32 x = 0;
  u32 y = 0;
  std::string block;
  VARNO_BLOCK_DATA_TYPE slot = VARNO_BLOCK_DATA_CRAM;
  std::string path;
  std::vector<u8> bytes;  // the block borrows it: every build reads it
};

struct OPTIONS {
  std::string family;
  std::string device;
  std::string output;
  std::string config;
  u32 debug_level = 0;
  std::string group;  // block group type; empty: no group, no bitstream
  std::vector<DATA_INPUT> data;
};

struct SLOT_NAME {
  const char* name;
  VARNO_BLOCK_DATA_TYPE slot;
};

constexpr SLOT_NAME SLOT_NAMES[] = {
    {"CRAM", VARNO_BLOCK_DATA_CRAM},         {"ERAM", VARNO_BLOCK_DATA_ERAM},
    {"MCU", VARNO_BLOCK_DATA_MCU},           {"CSR", VARNO_BLOCK_DATA_CSR},
    {"BBUS", VARNO_BLOCK_DATA_BBUS},         {"REGSCAN", VARNO_BLOCK_DATA_REGSCAN},
    {"HIP_MMIO", VARNO_BLOCK_DATA_HIP_MMIO}, {"BRAM", VARNO_BLOCK_DATA_BRAM},
    {"HNOC_MMIO", VARNO_BLOCK_DATA_HNOC_MMIO}, {"UIB_MMR", VARNO_BLOCK_DATA_UIB_MMR},
    {"IO_MMIO", VARNO_BLOCK_DATA_IO_MMIO},   {"IO_AHB", VARNO_BLOCK_DATA_IO_AHB},
};

const char* slot_name(VARNO_BLOCK_DATA_TYPE slot) {
  for (const SLOT_NAME& s : SLOT_NAMES)
    if (s.slot == slot) return s.name;
  return "unnamed";
}

// A whole decimal number that fits in u32.
bool parse_u32(const std::string& text, u32& value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  return ec == std::errc() && ptr == end;
}

bool parse_slot(const std::string& text, VARNO_BLOCK_DATA_TYPE& slot) {
  for (const SLOT_NAME& s : SLOT_NAMES) {
    if (text == s.name) {
      slot = s.slot;
      return true;
    }
  }
  u32 number = 0;
  if (!parse_u32(text, number) || number >= VARNO_BLOCK_DATA_MAX) return false;
  slot = static_cast<VARNO_BLOCK_DATA_TYPE>(number);
  return true;
}

// Splits text at its first count colons; the last part keeps any further
// colons (a file path may hold some).
bool split_fields(const std::string& text, size_t count, std::vector<std::string>& parts) {
  parts.clear();
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t colon = text.find(':', start);
    if (colon == std::string::npos) return false;
    parts.push_back(text.substr(start, colon - start));
    start = colon + 1;
  }
  parts.push_back(text.substr(start));
  for (const std::string& p : parts)
    if (p.empty()) return false;
  return true;
}

DATA_INPUT parse_data(const std::string& option, const std::string& value, bool sector) {
  DATA_INPUT input;
  input.option = option + " " + value;
  std::vector<std::string> parts;
  const size_t fields = sector ? 5 : 2;
  if (!split_fields(value, fields, parts)) {
    fail(EXIT_USAGE, "%s: expected %s", input.option.c_str(),
         sector ? "ARRAY:X:Y:BLOCK:SLOT:FILE" : "BLOCK:SLOT:FILE");
  }
  size_t k = 0;
  if (sector) {
    input.array = parts[k++];
    if (!parse_u32(parts[k++], input.x) || !parse_u32(parts[k++], input.y))
      fail(EXIT_USAGE, "%s: X and Y must be whole numbers", input.option.c_str());
  }
  input.block = parts[k++];
  if (!parse_slot(parts[k++], input.slot))
    fail(EXIT_USAGE, "%s: unknown data slot \"%s\"", input.option.c_str(), parts[k - 1].c_str());
  input.path = parts[k];
  return input;
}

OPTIONS parse_options(int argc, char** argv) {
  OPTIONS options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(EXIT_USAGE, "%s needs a value (see --help)", arg.c_str());
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      std::exit(0);
    } else if (arg == "--data") {
      options.data.push_back(parse_data(arg, value(), false));
    } else if (arg == "--sector-data") {
      options.data.push_back(parse_data(arg, value(), true));
    } else if (arg == "--config") {
      if (!options.config.empty()) fail(EXIT_USAGE, "--config given twice");
      options.config = value();
    } else if (arg == "--group") {
      if (!options.group.empty()) fail(EXIT_USAGE, "--group given twice");
      options.group = value();
    } else if (arg == "--debug") {
      const std::string level = value();
      if (!parse_u32(level, options.debug_level) || options.debug_level > 5)
        fail(EXIT_USAGE, "--debug %s: the level is 0 to 5", level.c_str());
    } else if (arg.size() > 1 && arg[0] == '-') {
      fail(EXIT_USAGE, "unknown option %s (see --help)", arg.c_str());
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 3)
    fail(EXIT_USAGE, "expected FAMILY_FILE DEVICE_FILE OUTPUT_DIR, got %zu file arguments (see --help)",
         positional.size());
  options.family = positional[0];
  options.device = positional[1];
  options.output = positional[2];

  // A slot given twice would silently keep only the last file.
  for (size_t i = 0; i < options.data.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      const DATA_INPUT& a = options.data[i];
      const DATA_INPUT& b = options.data[j];
      if (a.array == b.array && a.x == b.x && a.y == b.y && a.block == b.block && a.slot == b.slot)
        fail(EXIT_USAGE, "%s: that block slot already has data (%s)", a.option.c_str(),
             b.option.c_str());
    }
  }
  return options;
}

void read_data_file(DATA_INPUT& input) {
  std::error_code ec;
  if (!fs::exists(input.path, ec)) fail(EXIT_USAGE, "%s: no such file", input.path.c_str());
  if (!fs::is_regular_file(input.path, ec)) fail(EXIT_USAGE, "%s: not a regular file", input.path.c_str());
  const std::uintmax_t size = fs::file_size(input.path, ec);
  if (ec) fail(EXIT_USAGE, "%s: cannot read its size", input.path.c_str());
  // A block without data builds no frames: an empty file is a mistake.
  if (size == 0) fail(EXIT_USAGE, "%s: the file is empty", input.path.c_str());
  if (size > MAX_DATA_BYTES)
    fail(EXIT_USAGE, "%s: larger than %ju bytes", input.path.c_str(), MAX_DATA_BYTES);
  input.bytes.resize(static_cast<size_t>(size));
  std::ifstream in(input.path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(input.bytes.data()), static_cast<std::streamsize>(size)))
    fail(EXIT_USAGE, "%s: cannot read the file", input.path.c_str());
}

bool file_or_ddb_exists(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) || fs::is_regular_file(path + ".ddb", ec);
}

// The block's VOLD_BLOCK_TYPE name. The interface's block_type() is 0 for a
// sector-array block, so the name comes from the stored type.
std::string block_name(VARNO_IBLOCK* block) {
  auto* base = dynamic_cast<VARNO_BLOCK*>(block);
  const std::string name = base != nullptr ? base->block_type_name() : "";
  return name.empty() ? "unnamed block" : name;
}

const char* frame_type_name(u32 type) {
  return type > 0 && type < VOLD_FRAME_TYPE_NAMES_COUNT ? VOLD_FRAME_TYPE_NAMES[type] : "none";
}

std::string file_name(const std::string& path) { return fs::path(path).filename().string(); }

// Calls visit(generator, label) for gen and every loaded sector generator
// below it, depth first; label is "" for gen and "<ARRAY>_X<x>Y<y>" for a
// sector (joined by "_" for deeper levels).
template <typename VISIT>
void for_each_generator(VARNO_IGEN* gen, const std::string& label, VISIT&& visit) {
  visit(gen, label);
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    auto* eblock = dynamic_cast<VARNO_EBLOCK*>(gen->get_block_by_index(i));
    if (eblock == nullptr) continue;
    for (u32 y = 0; y < eblock->y_sector_count(); ++y) {
      for (u32 x = 0; x < eblock->x_sector_count(); ++x) {
        VARNO_MBLOCK* sector = eblock->get_sector(x, y);
        if (sector == nullptr || sector->generator() == nullptr) continue;
        const std::string name = block_name(eblock) + "_X" + std::to_string(x) + "Y" + std::to_string(y);
        for_each_generator(sector->generator(), label.empty() ? name : label + "_" + name, visit);
      }
    }
  }
}

// After a failed model build: the first data block of each generator that
// has no frame manager. Model building stops at the block whose manager
// failed, so the blocks after it never got one.
void report_missing_managers(VARNO_IGEN* top) {
  for_each_generator(top, "", [](VARNO_IGEN* gen, const std::string& label) {
    for (u32 i = 0; i < gen->max_block_index(); ++i) {
      auto* dblock = dynamic_cast<VARNO_DBLOCK*>(gen->get_block_by_index(i));
      if (dblock == nullptr || dblock->get_frame_mgr() != nullptr) continue;
      std::fprintf(stderr, "%s:   block %s%s%s (frame type %s) has no frame manager\n", PROGRAM,
                   block_name(dblock).c_str(), label.empty() ? "" : " of sector ", label.c_str(),
                   frame_type_name(dblock->frame_type()));
      return;
    }
  });
}

// After a sector failed to load: sectors are loaded column by column and
// loading stops at the first failure, so the failing sector is the last one
// whose files were named.
void report_failed_sector(VARNO_IGEN* top, u32 status) {
  for (u32 i = 0; i < top->max_block_index(); ++i) {
    auto* eblock = dynamic_cast<VARNO_EBLOCK*>(top->get_block_by_index(i));
    if (eblock == nullptr) continue;
    VARNO_GEN* last = nullptr;
    u32 last_x = 0;
    u32 last_y = 0;
    for (u32 x = 0; x < eblock->x_sector_count(); ++x) {
      for (u32 y = 0; y < eblock->y_sector_count(); ++y) {
        VARNO_MBLOCK* sector = eblock->get_sector(x, y);
        auto* sgen = sector != nullptr ? dynamic_cast<VARNO_GEN*>(sector->generator()) : nullptr;
        if (sgen == nullptr || sgen->family_pcf().empty()) continue;
        last = sgen;
        last_x = x;
        last_y = y;
      }
    }
    if (last == nullptr) continue;
    std::fprintf(stderr, "%s:   sector (%u, %u) of %s: family %s, device %s\n", PROGRAM, last_x,
                 last_y, block_name(eblock).c_str(), last->family_pcf().c_str(),
                 last->device_pcf().c_str());
    if (status == VARNO_PCF_FAMILY_MISSING && last->max_block_index() == 0)
      std::fprintf(stderr, "%s:   its family file is missing\n", PROGRAM);
  }
}

// Where a design data file goes: the generator (the device's, or a sector's)
// and its data block. Every mistake is the user's, so it is reported here
// rather than left to the library's internal checks.
VARNO_DBLOCK* find_data_block(VARNO_IGEN* top, const DATA_INPUT& input, std::string& where) {
  VARNO_IGEN* gen = top;
  where = "the device";
  if (!input.array.empty()) {
    auto* eblock = dynamic_cast<VARNO_EBLOCK*>(top->get_block(input.array, false));
    if (eblock == nullptr)
      fail(EXIT_USAGE, "%s: the device has no sector-array block %s", input.option.c_str(),
           input.array.c_str());
    VARNO_MBLOCK* sector = eblock->get_sector(input.x, input.y);
    if (sector == nullptr)
      fail(EXIT_USAGE, "%s: %s has no sector (%u, %u); its grid is %u x %u", input.option.c_str(),
           input.array.c_str(), input.x, input.y, eblock->x_sector_count(), eblock->y_sector_count());
    gen = sector->generator();
    where = "sector (" + std::to_string(input.x) + ", " + std::to_string(input.y) + ") of " + input.array;
  }
  VARNO_IBLOCK* block = gen->get_block(input.block, false);
  if (block == nullptr)
    fail(EXIT_USAGE, "%s: %s has no block %s", input.option.c_str(), where.c_str(), input.block.c_str());
  auto* dblock = dynamic_cast<VARNO_DBLOCK*>(block);
  if (dblock == nullptr)
    fail(EXIT_USAGE, "%s: block %s of %s is not a data block", input.option.c_str(),
         input.block.c_str(), where.c_str());
  return dblock;
}

// The frame sizes of a data block in build order, runs of equal sizes
// folded: "4 x 40 bytes", "36, 116, 36, 116 bytes". Long lists are cut.
std::string frame_sizes(VARNO_DBLOCK* dblock) {
  constexpr size_t MAX_RUNS = 12;
  std::string text;
  size_t runs = 0;
  const u32 n = dblock->get_number_of_frames();
  for (u32 i = 0; i < n;) {
    const u32 size = dblock->get_frame_size(i);
    u32 j = i + 1;
    while (j < n && dblock->get_frame_size(j) == size) ++j;
    if (runs == MAX_RUNS) {
      text += ", ...";
      break;
    }
    if (runs > 0) text += ", ";
    const u32 count = j - i;
    text += count > 1 ? std::to_string(count) + " x " + std::to_string(size) : std::to_string(size);
    ++runs;
    i = j;
  }
  return text + " bytes";
}

// The frame managers that read a whole image of a fixed size from one slot:
// that slot, and the image's size in bits; 0 bits for any other block.
struct IMAGE_SLOT {
  VARNO_BLOCK_DATA_TYPE slot = VARNO_BLOCK_DATA_CRAM;
  u64 bits = 0;
  const char* shape = "";
};

IMAGE_SLOT image_slot(VARNO_DBLOCK* dblock) {
  IMAGE_SLOT image;
  if (dblock->frame_type() == VOLD_FRAME_QV_CRAM) {
    image.slot = VARNO_BLOCK_DATA_CRAM;
    image.bits = u64{dblock->get_param_value("CRAM_FRAME_COUNT", 0u)} *
                 dblock->get_param_value("CRAM_BIT_COUNT", 0u);
    image.shape = "CRAM_FRAME_COUNT x CRAM_BIT_COUNT";
  } else if (dblock->frame_type() == VOLD_FRAME_QV_ERAM) {
    image.slot = VARNO_BLOCK_DATA_ERAM;
    image.bits = u64{dblock->get_param_value("ERAM_ROW_COUNT", 0u)} *
                 dblock->get_param_value("ERAM_COL_COUNT", 0u);
    image.shape = "ERAM_ROW_COUNT x ERAM_COL_COUNT";
  }
  return image;
}

// The length in bits to hand to set_data. A CRAM or ERAM image must fit its
// block exactly: the library would stop on any other length with an internal
// error, and data in a slot its manager never reads would build nothing.
u32 data_bits(VARNO_DBLOCK* dblock, const DATA_INPUT& input, const std::string& where) {
  const IMAGE_SLOT image = image_slot(dblock);
  if (image.bits == 0) return static_cast<u32>(input.bytes.size() * 8);
  if (input.slot != image.slot) {
    fail(EXIT_USAGE, "%s: block %s of %s (frame type %s) reads its design data from slot %s",
         input.option.c_str(), input.block.c_str(), where.c_str(),
         frame_type_name(dblock->frame_type()), slot_name(image.slot));
  }
  const u64 bytes = (image.bits + 7) / 8;
  if (input.bytes.size() != bytes) {
    fail(EXIT_USAGE, "%s: block %s of %s takes %ju bytes (%ju bits, %s), the file has %zu",
         input.option.c_str(), input.block.c_str(), where.c_str(), static_cast<std::uintmax_t>(bytes),
         static_cast<std::uintmax_t>(image.bits), image.shape, input.bytes.size());
  }
  return static_cast<u32>(image.bits);
}

void print_blocks(VARNO_IGEN* gen, const std::string& indent) {
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    VARNO_IBLOCK* block = gen->get_block_by_index(i);
    const std::string name = block_name(block);
    if (auto* sblock = dynamic_cast<VARNO_SBLOCK*>(block)) {
      std::printf("%s[%u] %-14s option block  %6u bytes", indent.c_str(), i, name.c_str(),
                  sblock->get_block_size());
      if (sblock->has_crc()) std::printf(", CRC word 0x%08X", sblock->crc_word());
      std::printf("\n");
    } else if (auto* dblock = dynamic_cast<VARNO_DBLOCK*>(block)) {
      const u32 frames = dblock->get_number_of_frames();
      std::printf("%s[%u] %-14s data block    %6u bytes, %u frames (frame type %s)", indent.c_str(),
                  i, name.c_str(), dblock->get_block_size(), frames,
                  frame_type_name(dblock->frame_type()));
      if (frames > 0) std::printf(": %s", frame_sizes(dblock).c_str());
      std::printf("\n");
    } else if (auto* eblock = dynamic_cast<VARNO_EBLOCK*>(block)) {
      std::printf("%s[%u] %-14s sector array  %u x %u sectors\n", indent.c_str(), i, name.c_str(),
                  eblock->x_sector_count(), eblock->y_sector_count());
      for (u32 y = 0; y < eblock->y_sector_count(); ++y) {
        for (u32 x = 0; x < eblock->x_sector_count(); ++x) {
          VARNO_MBLOCK* sector = eblock->get_sector(x, y);
          if (sector == nullptr) continue;
          auto* sgen = dynamic_cast<VARNO_GEN*>(sector->generator());
          if (sgen == nullptr || sgen->max_block_index() == 0) {
            std::printf("%s    sector (%u, %u): not loaded\n", indent.c_str(), x, y);
            continue;
          }
          std::printf("%s    sector (%u, %u): CNOC address (%u, %u), flag %u, device %s, %u blocks, "
                      "%u bytes\n",
                      indent.c_str(), x, y, sector->x(), sector->y(), sector->cnoc_flag() ? 1u : 0u,
                      file_name(sgen->device_pcf()).c_str(), sgen->max_block_index(),
                      sgen->bt_size());
          print_blocks(sgen, indent + "        ");
        }
      }
    } else {
      std::printf("%s[%u] %-14s %6u bytes\n", indent.c_str(), i, name.c_str(),
                  block->get_block_size());
    }
  }
}

// The files of the expected-data directory, sorted, with their sizes.
void print_expected_files(const std::string& dir) {
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) std::printf("  (none: no block wrote expected data)\n");
  for (const fs::path& f : files) {
    std::printf("  %s (%ju bytes)\n", f.lexically_relative(dir).string().c_str(),
                fs::file_size(f, ec));
  }
}

// write_to_file says nothing when it cannot open the file: check for it.
void write_dump(VARNO_IGEN* gen, const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
  gen->write_to_file(path, VARNO_OUTPUT_FORMAT_DAT);
  if (!fs::is_regular_file(path, ec)) fail(EXIT_LIBRARY, "cannot write the text dump %s", path.c_str());
  std::printf("text dump: %s (%ju bytes)\n", path.c_str(), fs::file_size(path, ec));
}

// Block size of the merged top-level bitstream: one group data page.
constexpr u32 BITSTREAM_BLOCK_SIZE = VARNO_GROUP_PAGE_SIZE;

// The top-level option blocks that only lay out the group's descriptor and
// streams: they configure nothing, so they stay out of the bitstream.
constexpr const char* GROUP_LAYOUT_BLOCKS[] = {
    "ACTION_HDR",  "SECTOR_GROUP_ACTION", "SECTOR_GROUP_HALF", "DC_THREAD_PARAMS",
    "CNOC_HEADER", "CNT_HEADER",          "ERAM_HEADER",       "COMP_FRAME_HDR"};

bool is_group_layout_block(const std::string& name) {
  for (const char* layout : GROUP_LAYOUT_BLOCKS)
    if (name == layout) return true;
  return false;
}

void write_binary(const std::string& path, const std::vector<u8>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) fail(EXIT_LIBRARY, "cannot write %s", path.c_str());
  std::printf("  %s (%zu bytes)\n", path.c_str(), bytes.size());
}

// The sectors of the device's sector-array block, row by row, for a group of
// the given type. A group gathers each sector's block of that name: a sector
// without one is the user's mistake, told before anything is built.
VARNO_EBLOCK* find_sector_array(VARNO_IGEN* gen) {
  VARNO_EBLOCK* eblock = nullptr;
  for (u32 i = 0; i < gen->max_block_index() && eblock == nullptr; ++i)
    eblock = dynamic_cast<VARNO_EBLOCK*>(gen->get_block_by_index(i));
  return eblock;
}

std::vector<VARNO_MBLOCK*> group_sectors(VARNO_IGEN* gen, const std::string& type) {
  VARNO_EBLOCK* eblock = find_sector_array(gen);
  if (eblock == nullptr) fail(EXIT_USAGE, "--group %s: the family has no sector-array block", type.c_str());

  std::vector<VARNO_MBLOCK*> sectors;
  for (u32 y = 0; y < eblock->y_sector_count(); ++y) {
    for (u32 x = 0; x < eblock->x_sector_count(); ++x) {
      VARNO_MBLOCK* sector = eblock->get_sector(x, y);
      if (sector == nullptr) continue;
      VARNO_IGEN* sgen = sector->generator();
      if (sgen == nullptr || dynamic_cast<VARNO_DBLOCK*>(sgen->get_block(type, false)) == nullptr)
        fail(EXIT_USAGE, "--group %s: sector (%u, %u) of %s has no data block %s", type.c_str(), x,
             y, block_name(eblock).c_str(), type.c_str());
      sectors.push_back(sector);
    }
  }
  if (sectors.empty()) fail(EXIT_USAGE, "--group %s: the sector array has no sectors", type.c_str());
  if (sectors.size() > QV_MAX_DC_THREADS * QV_MAX_BLOCKS_PER_THREAD)
    fail(EXIT_USAGE, "--group %s: %zu sectors, a group takes at most %u", type.c_str(),
         sectors.size(), QV_MAX_DC_THREADS * QV_MAX_BLOCKS_PER_THREAD);
  return sectors;
}

// One block group of the given type over the sectors: the first half on
// thread 0, the rest on thread 1. Writes the descriptor and the group data,
// then the top-level bitstream: the configuring option blocks' images as
// they are, the descriptor and the data pages merged into blocks with
// SHA-256 hash blocks.
void run_group(VARNO_IGEN* gen, const std::string& type, const std::vector<VARNO_MBLOCK*>& sectors,
               const fs::path& out) {
  std::unique_ptr<VARNO_IMBLOCK_GROUP> group(gen->create_group());
  group->set_group_type(type, "");
  const size_t first_half = (sectors.size() + 1) / 2;
  for (size_t i = 0; i < sectors.size(); ++i)
    group->add_mblock(sectors[i], i < first_half ? 0 : 1);
  group->collect_data(false);

  std::printf("block group %s: %zu sectors, %zu on thread 0, %zu on thread 1\n", type.c_str(),
              sectors.size(), first_half, sectors.size() - first_half);
  // What each thread carries: the frames of its sectors' blocks, compressed
  // into the thread's stream.
  std::uintmax_t frame_bytes[QV_MAX_DC_THREADS] = {};
  for (size_t i = 0; i < sectors.size(); ++i) {
    VARNO_IBLOCK* b = sectors[i]->generator()->get_block(type, false);
    frame_bytes[i < first_half ? 0 : 1] += b->get_block_size();
  }
  for (unsigned t = 0; t < QV_MAX_DC_THREADS; ++t) {
    if (!group->is_thread_active(t)) {
      std::printf("  thread %u: idle\n", t);
      continue;
    }
    std::printf("  thread %u: %ju bytes of frames compressed into %u bytes\n", t, frame_bytes[t],
                group->get_thread_size(t));
  }
  const u32 descriptor_size = group->get_group_descriptor_size();
  const u32 full_size = group->get_group_full_size();
  if (descriptor_size == 0 || full_size < descriptor_size)
    fail(EXIT_LIBRARY, "block group %s: no descriptor", type.c_str());
  // The group data is whole pages: the full size less the descriptor.
  const u32 data_size = full_size - descriptor_size;
  if (data_size % VARNO_GROUP_PAGE_SIZE != 0)
    fail(EXIT_LIBRARY, "block group %s: group data of %u bytes is not whole pages", type.c_str(),
         data_size);
  std::printf("  descriptor %u bytes, group data %u bytes (%u pages)\n", descriptor_size, data_size,
              data_size / VARNO_GROUP_PAGE_SIZE);

  std::vector<u8> descriptor(descriptor_size);
  group->get_group_descriptor_data(descriptor.data(), descriptor_size);
  std::vector<u8> data(data_size, 0);
  if (data_size > 0) group->get_group_data(data.data(), data_size);
  write_binary((out / "group_descriptor.bin").string(), descriptor);
  write_binary((out / "group_data.bin").string(), data);

  // The configuring option blocks' images; the bitstream borrows every
  // buffer, so they all live until it is written.
  std::vector<std::vector<u8>> images;
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    auto* sblock = dynamic_cast<VARNO_SBLOCK*>(gen->get_block_by_index(i));
    if (sblock == nullptr || sblock->get_block_size() == 0) continue;
    if (is_group_layout_block(block_name(sblock))) continue;
    images.emplace_back(sblock->get_block_size());
    std::printf("  bit field %zu: option block %s, %u bytes\n", images.size() - 1,
                block_name(sblock).c_str(), sblock->get_block_size());
    sblock->read_block_data(images.back().data());
  }
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  for (std::vector<u8>& image : images) {
    // Not merged: an option block's image goes to the device as it is.
    top->add_bitfield(image.data(), static_cast<u32>(image.size()), VARNO_QV_ROUTING_CONFIG, true, false);
  }
  const u32 first_merged = top->get_bitfield_count();
  if (descriptor_size > BITSTREAM_BLOCK_SIZE)
    fail(EXIT_LIBRARY, "block group %s: descriptor of %u bytes is larger than a bitstream block",
         type.c_str(), descriptor_size);
  top->add_bitfield(descriptor.data(), descriptor_size, VARNO_QV_ROUTING_DESCRIPTOR, true, true);
  for (u32 at = 0; at < data_size; at += VARNO_GROUP_PAGE_SIZE)
    top->add_bitfield(data.data() + at, VARNO_GROUP_PAGE_SIZE, VARNO_QV_ROUTING_GROUP_DATA, true, true);
  const std::vector<u32> hashes = top->merge_by_routing(
      BITSTREAM_BLOCK_SIZE, first_merged, top->get_bitfield_count() - 1, true, VARNO_SHA_MODE_256);

  u64 total = 0;
  for (u32 i = 0; i < top->get_bitfield_count(); ++i) total += top->get_bitfield_size(i);
  std::printf("top-level bitstream: %u bit fields, %ju bytes, %zu hash block%s (SHA-256)",
              top->get_bitfield_count(), static_cast<std::uintmax_t>(total), hashes.size(),
              hashes.size() == 1 ? "" : "s");
  for (size_t i = 0; i < hashes.size(); ++i) std::printf("%s%u", i == 0 ? " at " : ", ", hashes[i]);
  std::printf("\n");
  const std::string raw = (out / "bitstream.bin").string();
  if (!top->write_to_file(raw, VARNO_OUTPUT_FORMAT_RAW, 0, top->get_bitfield_count() - 1, false))
    fail(EXIT_LIBRARY, "cannot write %s", raw.c_str());
  std::error_code ec;
  std::printf("  %s (%ju bytes)\n", raw.c_str(), fs::file_size(raw, ec));
}

// A flat family has no group: its top-level bitstream is its configuration
// image, every block's bytes in block order (option blocks' images with their
// CRC words, data blocks' frames), as the text dump shows them. Nothing is
// merged and there are no hash blocks, so the routing codes reach no byte.
void write_flat_bitstream(VARNO_IGEN* gen, const fs::path& out) {
  std::printf("top-level bitstream of the flat family: every block in block order\n");
  std::vector<std::vector<u8>> images;
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    VARNO_IBLOCK* block = gen->get_block_by_index(i);
    if (block->get_block_size() == 0) continue;
    images.emplace_back(block->get_block_size());
    block->read_block_data(images.back().data());
    std::printf("  bit field %zu: block %s, %u bytes\n", images.size() - 1, block_name(block).c_str(),
                block->get_block_size());
  }
  const std::string raw = (out / "bitstream.bin").string();
  // The writer takes a range of bit fields, and an empty list has none.
  if (images.empty()) return write_binary(raw, {});
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  for (std::vector<u8>& image : images)
    top->add_bitfield(image.data(), static_cast<u32>(image.size()), VARNO_QV_ROUTING_CONFIG, true, false);
  if (!top->write_to_file(raw, VARNO_OUTPUT_FORMAT_RAW, 0, top->get_bitfield_count() - 1, false))
    fail(EXIT_LIBRARY, "cannot write %s", raw.c_str());
  std::error_code ec;
  std::printf("  %s (%ju bytes)\n", raw.c_str(), fs::file_size(raw, ec));
}

int run(OPTIONS& options) {
  if (options.debug_level > 0) msg_set_debug_verbosity(static_cast<int>(options.debug_level));

  if (!options.config.empty()) {
    std::string error;
    if (!cfg_load_file(options.config, &error)) fail(EXIT_USAGE, "configuration: %s", error.c_str());
    std::printf("configuration: %s\n", options.config.c_str());
  }

  // The device's own type is the top-level device type the generator records
  // (and hands to every sector). Loading the file here also turns a missing
  // or broken device file into a plain message.
  if (!file_or_ddb_exists(options.device))
    fail(EXIT_USAGE, "device file %s not found (nor %s.ddb)", options.device.c_str(),
         options.device.c_str());
  u32 device_type = 0;
  {
    std::unique_ptr<VOLD_INFO> device(VOLD_DATA_SERVER::get_vold_info(options.device, true));
    if (device == nullptr || device->get_device_info() == nullptr) {
      fail(EXIT_USAGE, "device file %s: %s", options.device.c_str(),
           device == nullptr ? VOLD_DATA_SERVER::last_error().c_str() : "not a device file");
    }
    device_type = device->get_device_info()->get_device_type();
  }

  for (DATA_INPUT& input : options.data) read_data_file(input);

  std::error_code ec;
  fs::create_directories(options.output, ec);
  if (ec || !fs::is_directory(options.output, ec))
    fail(EXIT_USAGE, "cannot create the output directory %s", options.output.c_str());

  // The generator borrows the data buffers, which belong to options and so
  // outlive it.
  std::unique_ptr<VARNO_IGEN> gen(varno_get_factory()->create_generator());
  if (gen == nullptr) fail(EXIT_LIBRARY, "the generator factory made no generator");
  gen->set_util_debug_level(options.debug_level);
  gen->set_family_pcf(options.family);
  gen->set_device_pcf(options.device);
  // The group's switches live in the top generator's record, which is set
  // before the model build as a host does: compressed thread streams, and no
  // S4 form (the example's CRAM frames are built out of it, so the thread
  // records give the plain data-register lengths).
  if (!options.group.empty()) {
    VARNO_MGR_PARAM* param = gen->get_mgr_param();
    param->group_compressed = 1;
    param->s4_variant = 0;
  }
  std::printf("family: %s\ndevice: %s (device type %u)\n", options.family.c_str(),
              options.device.c_str(), device_type);

  const u32 status = gen->process_pcfs(false, false, false, nullptr, device_type);
  std::printf("process_pcfs: status %u\n", status);
  if (status == VARNO_PCF_FAMILY_MISSING && gen->max_block_index() == 0) {
    fail(EXIT_LIBRARY, "family file %s not found (nor %s.ddb)", options.family.c_str(),
         options.family.c_str());
  }
  if (status != VARNO_PCF_OK) {
    std::fflush(stdout);
    if (status == VARNO_PCF_FRAME_MGR_FAILED) {
      std::fprintf(stderr, "%s: a frame manager could not be set up (status 7)\n", PROGRAM);
      report_missing_managers(gen.get());
    } else {
      // A VARNO_PCF_FAMILY_MISSING after blocks were made comes from the
      // first sector that failed.
      std::fprintf(stderr, "%s: a sector failed to load (status %u)\n", PROGRAM, status);
      report_failed_sector(gen.get(), status);
    }
    return EXIT_LIBRARY;
  }
  std::vector<VARNO_MBLOCK*> group_members;
  if (!options.group.empty()) group_members = group_sectors(gen.get(), options.group);

  // Frames are built from the data by do_all_blocks: place it first.
  for (DATA_INPUT& input : options.data) {
    std::string where;
    VARNO_DBLOCK* dblock = find_data_block(gen.get(), input, where);
    std::vector<u8>& bytes = input.bytes;
    dblock->set_data(input.slot, bytes.data(), data_bits(dblock, input, where), nullptr);
    std::printf("design data: %s of %s, slot %s (%u): %zu bytes from %s\n", input.block.c_str(),
                where.c_str(), slot_name(input.slot), static_cast<u32>(input.slot), bytes.size(),
                input.path.c_str());
  }

  if (!gen->do_all_blocks()) fail(EXIT_LIBRARY, "do_all_blocks failed: a block could not be built");
  std::printf("do_all_blocks: done\n");

  // Linked fields receive the block sizes after the CRC words were computed:
  // recompute them so that every image carries the CRC of its final content.
  for_each_generator(gen.get(), "", [](VARNO_IGEN* g, const std::string&) {
    for (u32 i = 0; i < g->max_block_index(); ++i) g->get_block_by_index(i)->crc_update();
  });

  std::printf("blocks: %u, %u bytes\n", gen->max_block_index(), gen->bt_size());
  print_blocks(gen.get(), "  ");

  const fs::path out(options.output);
  for_each_generator(gen.get(), "", [&](VARNO_IGEN* g, const std::string& label) {
    if (g->max_block_index() == 0) return;
    write_dump(g, (out / (label.empty() ? "dump.txt" : "dump_" + label + ".txt")).string());
  });

  const std::string expected = (out / "expected").string();
  // Only blocks with data write a file: clear what an earlier run left.
  fs::remove_all(expected, ec);
  gen->dump_expected_data(expected);
  std::printf("expected data: %s\n", expected.c_str());
  print_expected_files(expected);

  if (!options.group.empty()) {
    run_group(gen.get(), options.group, group_members, out);
  } else if (find_sector_array(gen.get()) == nullptr) {
    write_flat_bitstream(gen.get(), out);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  msg_set_internal_error_handler(internal_error_handler);
  try {
    OPTIONS options = parse_options(argc, argv);
    return run(options);
  } catch (const HOST_FAILURE& f) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", PROGRAM, f.text.c_str());
    return f.code;
  }
}
