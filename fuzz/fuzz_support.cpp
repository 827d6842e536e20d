#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "cfg.h"
#include "msg.h"
#include "vold.h"

namespace fs = std::filesystem;

// libFuzzer's own mutation, for custom mutators.
extern "C" size_t LLVMFuzzerMutate(std::uint8_t* data, size_t size, size_t max_size);

namespace varno_fuzz {

namespace {

bool is_name(std::string_view name, bool dot_allowed) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || (dot_allowed && c == '.');
    if (!ok) return false;
  }
  return name != "." && name != "..";
}

SECTION make_section(std::string_view text) {
  SECTION s;
  const size_t eol = text.find('\n');
  const std::string_view title = text.substr(0, eol);
  s.body = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
  if (title.empty()) return s;
  const char kind = title[0];
  const std::string_view name = title.size() > 2 && title[1] == ' ' ? title.substr(2) : std::string_view();
  switch (kind) {
    case 'F':
    case 'X':
      if (!is_name(name, kind == 'X')) return s;
      s.name = std::string(name);
      break;
    case 'D': {
      // An optional block name, and after it an optional device file name.
      const size_t space = name.find(' ');
      if (!name.empty() && !is_name(name.substr(0, space), false)) return s;
      if (space != std::string_view::npos && !is_name(name.substr(space + 1), false)) return s;
      s.name = std::string(name);
      break;
    }
    case 'S':
    case 'Q':
    case 'C':
    case 'L':
      break;
    default:
      return s;
  }
  s.kind = kind;
  return s;
}

std::string s_dir;

void remove_dir() {
  std::error_code ec;
  if (!s_dir.empty()) fs::remove_all(s_dir, ec);
}

}  // namespace

INPUT split_input(const std::uint8_t* data, size_t size, size_t header_size) {
  INPUT in;
  in.header.assign(header_size, 0);
  const size_t h = size < header_size ? size : header_size;
  for (size_t i = 0; i < h; ++i) in.header[i] = data[i];
  const std::string_view rest(reinterpret_cast<const char*>(data) + h, size - h);

  // Section starts: "@@" at 0 or after a line end.
  std::vector<size_t> starts;
  if (rest.substr(0, 2) == "@@") starts.push_back(0);
  for (size_t at = rest.find("\n@@"); at != std::string_view::npos; at = rest.find("\n@@", at + 1))
    starts.push_back(at + 1);
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t from = starts[k] + 2;
    // The line end before the next section's "@@" belongs to neither, so
    // that a body may end in any byte.
    const size_t to = k + 1 < starts.size() ? starts[k + 1] - 1 : rest.size();
    SECTION s = make_section(rest.substr(from, to - from));
    if (s.kind != 0) in.sections.push_back(std::move(s));
  }
  return in;
}

std::uint32_t body_u32(std::string_view body, size_t at) {
  std::uint32_t v = 0;
  for (size_t k = 0; k < 4; ++k) {
    if (at + k < body.size()) v |= std::uint32_t{static_cast<std::uint8_t>(body[at + k])} << (8 * k);
  }
  return v;
}

const std::string& work_dir() {
  if (s_dir.empty()) {
    // Memory-backed when there is such a place: every input writes files.
    const char* tmp = std::getenv("TMPDIR");
    std::error_code ec;
    const std::string base = tmp != nullptr && *tmp != '\0' ? tmp : fs::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/varno_fuzz_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("varno fuzz: mkdtemp");
      std::abort();
    }
    s_dir = pattern;
    std::atexit(remove_dir);
  }
  return s_dir;
}

void clear_work_dir() {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(work_dir(), ec)) fs::remove_all(e.path(), ec);
}

std::string write_work_file(const std::string& name, std::string_view bytes) {
  const std::string path = work_dir() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

void note_internal_error(const msg_internal_error& e) {
  if (std::getenv("VARNO_FUZZ_VERBOSE") == nullptr) return;
  std::fprintf(stderr, "internal error (%s:%d): %s\n", e.file().c_str(), e.line(), e.what());
  if (!VOLD_DATA_SERVER::last_error().empty())
    std::fprintf(stderr, "  device database: %s\n", VOLD_DATA_SERVER::last_error().c_str());
}

void note(const char* format, ...) {
  if (std::getenv("VARNO_FUZZ_VERBOSE") == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

namespace {

// A step of 1 to 8 units either way, or at times any value.
std::uint64_t moved(std::minstd_rand& rng, std::uint64_t value) {
  const std::uint64_t step = 1 + rng() % 8;
  switch (rng() % 4) {
    case 0: return value + step;
    case 1: return value - step;
    case 2: return value ^ (std::uint64_t{1} << (rng() % 16));
    default: return rng() % 2 == 0 ? value + 32 * step : value - 32 * step;
  }
}

// A value at a bound: other (another number of the same file or section: a
// count, a width, a row number) or one beside it, a power of two or one below
// it, twice or half the value; otherwise moved(). Sizes and indexes are
// checked against each other, so the bound an index must keep is usually
// written elsewhere in the same file.
std::uint64_t bounded(std::minstd_rand& rng, std::uint64_t value, std::uint64_t other) {
  switch (rng() % 8) {
    case 0: return other - 1 + rng() % 3;
    case 1: return other;
    case 2: return (std::uint64_t{1} << (rng() % 33)) - rng() % 2;
    case 3: return rng() % 2 == 0 ? value * 2 : value / 2;
    default: return moved(rng, value);
  }
}

bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(std::uint8_t c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Replaces bytes [from, to) of data by text; false when the result would
// pass max_size.
bool splice(std::uint8_t* data, size_t& size, size_t max_size, size_t from, size_t to, const std::string& text) {
  if (size - (to - from) + text.size() > max_size) return false;
  std::memmove(data + from + text.size(), data + to, size - to);
  std::memcpy(data + from, text.data(), text.size());
  size = size - (to - from) + text.size();
  return true;
}

// One edit of the text [begin, end) of data, as a parameter file is edited by
// hand: a number moved by a few units or set to a bound (decimal stays
// decimal, 0x hex stays hex), a line dropped or doubled, or a range "a..b"
// written out as its values. Table sizes, row counts and indexes are numbers
// and lines of the text: each bound they must keep is one such edit away,
// where libFuzzer's byte mutations would need several that agree.
bool mutate_text(std::uint8_t* data, size_t& size, size_t max_size, size_t begin, size_t end,
                 std::minstd_rand& rng) {
  if (end <= begin) return false;
  const unsigned what = rng() % 8;
  if (what < 5) {
    // A number: its start, whether it is hex, its end.
    std::vector<size_t> starts;
    for (size_t i = begin; i < end; ++i) {
      if (is_digit(data[i]) && (i == begin || !is_hex_digit(data[i - 1])) && (i == begin || data[i - 1] != 'x'))
        starts.push_back(i);
    }
    if (starts.empty()) return false;
    // The number at start (decimal, or hex after 0x): its end and value.
    struct NUMBER {
      size_t stop;
      bool hex;
      std::uint64_t value;
    };
    auto number_at = [&](size_t at) {
      const bool hex = at + 2 < end && data[at] == '0' && (data[at + 1] == 'x' || data[at + 1] == 'X') &&
                       is_hex_digit(data[at + 2]);
      size_t stop = hex ? at + 2 : at;
      while (stop < end && (hex ? is_hex_digit(data[stop]) : is_digit(data[stop])) && stop - at < 18) ++stop;
      const std::string token(reinterpret_cast<const char*>(data) + at, stop - at);
      return NUMBER{stop, hex, std::strtoull(token.c_str(), nullptr, hex ? 16 : 10)};
    };
    const size_t at = starts[rng() % starts.size()];
    const auto [stop, hex, value] = number_at(at);
    const std::uint64_t other = number_at(starts[rng() % starts.size()]).value;
    std::uint64_t next = bounded(rng, value, other) & 0xFFFFFFFFu;
    if (rng() % 8 == 0) next = rng() % 2 == 0 ? 0 : 0xFFFFFFFFu;
    char text[24];
    std::snprintf(text, sizeof text, hex ? "0x%llX" : "%llu", static_cast<unsigned long long>(next));
    return splice(data, size, max_size, at, stop, text);
  }
  // Line starts of the text.
  std::vector<size_t> lines = {begin};
  for (size_t i = begin; i + 1 < end; ++i) {
    if (data[i] == '\n') lines.push_back(i + 1);
  }
  const size_t line = lines[rng() % lines.size()];
  size_t line_end = line;
  while (line_end < end && data[line_end] != '\n') ++line_end;
  if (line_end < end) ++line_end;  // with its line end
  if (what == 5) return splice(data, size, max_size, line, line_end, "");
  if (what == 6) {
    const std::string copy(reinterpret_cast<const char*>(data) + line, line_end - line);
    return copy.empty() || copy.back() != '\n' ? false : splice(data, size, max_size, line_end, line_end, copy);
  }
  // A range of the line written out.
  for (size_t i = line; i + 2 < line_end; ++i) {
    if (data[i] != '.' || data[i + 1] != '.' || i == line || !is_digit(data[i - 1]) || !is_digit(data[i + 2]))
      continue;
    size_t from = i;
    while (from > line && is_digit(data[from - 1])) --from;
    size_t to = i + 2;
    while (to < line_end && is_digit(data[to])) ++to;
    const std::uint64_t a = std::strtoull(std::string(reinterpret_cast<const char*>(data) + from, i - from).c_str(), nullptr, 10);
    const std::uint64_t b = std::strtoull(std::string(reinterpret_cast<const char*>(data) + i + 2, to - i - 2).c_str(), nullptr, 10);
    if (b < a || b - a > 64) return false;
    std::string text;
    for (std::uint64_t v = a; v <= b; ++v) text += (v == a ? "" : " ") + std::to_string(v);
    return splice(data, size, max_size, from, to, text);
  }
  return false;
}

}  // namespace

size_t mutate_text_input(std::uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  std::minstd_rand rng(seed);
  if (rng() % 4 == 0 && mutate_text(data, size, max_size, 0, size, rng)) return size;
  return LLVMFuzzerMutate(data, size, max_size);
}

size_t mutate(std::uint8_t* data, size_t size, size_t max_size, unsigned seed, size_t header_size,
              const std::vector<size_t>& hot) {
  std::minstd_rand rng(seed);
  const unsigned pick = rng() % 8;
  auto moved = [&rng](std::uint64_t value) { return varno_fuzz::moved(rng, value); };
  if (pick < 2 && size >= header_size && header_size > 0) {
    // Half the time one of the lengths.
    const size_t at = rng() % 2 == 0 && !hot.empty() ? hot[rng() % hot.size()] : rng() % header_size;
    data[at] = static_cast<std::uint8_t>(rng() % 8 == 0 ? rng() : moved(data[at]));
    return size;
  }
  if ((pick == 2 || pick == 3) && size > header_size) {
    // Offsets in data of the sections' bodies, as the targets read them.
    const INPUT in = split_input(data, size, header_size);
    std::vector<std::pair<size_t, size_t>> texts;
    std::vector<size_t> numbers;
    for (const SECTION& section : in.sections) {
      if (section.body.empty()) continue;
      const size_t body = static_cast<size_t>(section.body.data() - reinterpret_cast<const char*>(data));
      const size_t end = body + section.body.size();
      if (section.kind == 'F' || section.kind == 'C') texts.emplace_back(body, end);
      // The numbers of the binary sections: the length of design data
      // (bytes 2 to 9 of its body), every word of frame sizes and locations.
      if (section.kind == 'D' && body + 10 <= end) numbers.push_back(body + 2);
      if (section.kind == 'S' || section.kind == 'L') {
        for (size_t w = body; w + 4 <= end && numbers.size() < 4096; w += 4) numbers.push_back(w);
      }
    }
    if (pick == 2 && !numbers.empty()) {
      auto word_at = [data](size_t at) {
        std::uint32_t word = 0;
        std::memcpy(&word, data + at, 4);
        return word;
      };
      const size_t at = numbers[rng() % numbers.size()];
      const std::uint32_t other = word_at(numbers[rng() % numbers.size()]);
      const auto value = static_cast<std::uint32_t>(bounded(rng, word_at(at), other));
      std::memcpy(data + at, &value, 4);
      return size;
    }
    // The text of one parameter file or of the configuration.
    if (pick == 3 && !texts.empty()) {
      const auto [begin, end] = texts[rng() % texts.size()];
      if (mutate_text(data, size, max_size, begin, end, rng)) return size;
    }
  }
  return LLVMFuzzerMutate(data, size, max_size);
}

void init_target() {
  msg_set_internal_error_handler(msg_throwing_handler);
  // VARNO_FUZZ_VERBOSE=2 to 5 also shows the library's debug channel.
  if (const char* verbose = std::getenv("VARNO_FUZZ_VERBOSE"); verbose != nullptr && std::atoi(verbose) > 1)
    msg_set_debug_verbosity(std::atoi(verbose));
  if (std::getenv("VARNO_FUZZ_VERBOSE") == nullptr) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      close(null);
    }
  }
  work_dir();
}

}  // namespace varno_fuzz
