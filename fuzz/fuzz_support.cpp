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

size_t mutate(std::uint8_t* data, size_t size, size_t max_size, unsigned seed, size_t header_size,
              const std::vector<size_t>& hot) {
  std::minstd_rand rng(seed);
  const unsigned pick = rng() % 8;
  // A step of 1 to 8 units either way, or at times any value.
  auto moved = [&rng](std::uint64_t value) -> std::uint64_t {
    const std::uint64_t step = 1 + rng() % 8;
    switch (rng() % 4) {
      case 0: return value + step;
      case 1: return value - step;
      case 2: return value ^ (std::uint64_t{1} << (rng() % 16));
      default: return rng() % 2 == 0 ? value + 32 * step : value - 32 * step;
    }
  };
  if (pick < 2 && size >= header_size && header_size > 0) {
    // Half the time one of the lengths.
    const size_t at = rng() % 2 == 0 && !hot.empty() ? hot[rng() % hot.size()] : rng() % header_size;
    data[at] = static_cast<std::uint8_t>(rng() % 8 == 0 ? rng() : moved(data[at]));
    return size;
  }
  if (pick == 2 && size > header_size) {
    // The numbers of the binary sections: the length of design data (bytes
    // 2 to 9 of its body), every word of frame sizes and locations.
    std::vector<size_t> numbers;
    const std::string_view rest(reinterpret_cast<const char*>(data) + header_size, size - header_size);
    size_t title = rest.substr(0, 2) == "@@" ? 0 : rest.find("\n@@");
    for (; title != std::string_view::npos; title = rest.find("\n@@", title + 1)) {
      if (rest[title] == '\n') ++title;
      if (title + 2 >= rest.size()) break;
      const char kind = rest[title + 2];
      const size_t eol = rest.find('\n', title);
      if (eol == std::string_view::npos) break;
      const size_t body = header_size + eol + 1;
      if (kind == 'D' && body + 10 <= size) numbers.push_back(body + 2);
      if (kind == 'S' || kind == 'L') {
        for (size_t w = body; w + 4 <= size && numbers.size() < 4096; w += 4) {
          if (data[w] == '\n' && w + 2 < size && data[w + 1] == '@' && data[w + 2] == '@') break;
          numbers.push_back(w);
        }
      }
    }
    if (!numbers.empty()) {
      const size_t at = numbers[rng() % numbers.size()];
      std::uint32_t value = 0;
      std::memcpy(&value, data + at, 4);
      value = static_cast<std::uint32_t>(moved(value));
      std::memcpy(data + at, &value, 4);
      return size;
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
