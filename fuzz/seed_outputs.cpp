// Replays fuzz inputs through a target once each and keeps every file the
// run left in the work directory (parameter files, text dump, expected
// data, bitstream) under OUT/<input file name>/, so that the outputs of two
// builds of the library can be compared byte for byte:
//   fuzz_whole_road_outputs OUT INPUT...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size);

namespace fs = std::filesystem;

// The replay never mutates, but the targets' mutator calls libFuzzer's,
// which only the fuzzing driver brings.
extern "C" size_t LLVMFuzzerMutate(std::uint8_t*, size_t size, size_t) { return size; }

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT INPUT...\n", argv[0]);
    return 2;
  }
  LLVMFuzzerInitialize(&argc, &argv);
  const fs::path out = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "%s: cannot read\n", argv[i]);
      return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    const fs::path dest = out / fs::path(argv[i]).filename();
    fs::remove_all(dest);
    fs::create_directories(dest);
    fs::copy(varno_fuzz::work_dir(), dest, fs::copy_options::recursive);
  }
  return 0;
}
