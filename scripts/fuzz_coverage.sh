#!/usr/bin/env bash
# Line coverage of the library from the fuzz targets' corpora: builds the
# fuzz targets with source-based coverage in build/cov, replays the committed
# seeds (fuzz/corpus, fuzz/kept, fuzz/edges), the seeds' one-off variants
# (fuzz/make_variants.py) and the corpora the test command
# keeps (build/fuzz/corpus) through them, and prints the coverage of every
# source under pgm/varno.
#   bash scripts/fuzz_coverage.sh [CORPUS_ROOT]
# CORPUS_ROOT holds one directory per target (default build/fuzz/corpus).
# The report is in build/cov/report.txt, per-line counts with
#   llvm-cov show build/cov/fuzz/fuzz_whole_road -instr-profile=build/cov/all.profdata \
#     $(cat build/cov/objects) pgm/varno/FILE.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
corpora=${1:-build/fuzz/corpus}
JOBS="${VARNO_JOBS:-$(nproc)}"

flags="-fprofile-instr-generate -fcoverage-mapping"
CC=clang CXX=clang++ cmake -S . -B build/cov -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNO_BUILD_FUZZ=ON -DVARNO_BUILD_TESTS=OFF -DVARNO_BUILD_EXAMPLES=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
cmake --build build/cov -j "$JOBS"

rm -rf build/cov/profiles
mkdir -p build/cov/profiles
for name in whole_road firmware_file ddb_loader; do
  dirs=("fuzz/corpus/$name")
  [ -d "fuzz/kept/$name" ] && dirs+=("fuzz/kept/$name")
  [ -d "fuzz/edges/$name" ] && dirs+=("fuzz/edges/$name")
  if [ "$name" != ddb_loader ]; then
    rm -rf "build/cov/variants/$name"
    python3 fuzz/make_variants.py "$name" "build/cov/variants/$name" >/dev/null
    dirs+=("build/cov/variants/$name")
  fi
  [ -d "$corpora/$name" ] && dirs+=("$corpora/$name")
  LLVM_PROFILE_FILE="$PWD/build/cov/profiles/$name-%p.profraw" ASAN_OPTIONS=detect_leaks=0 \
    "build/cov/fuzz/fuzz_$name" -runs=0 -timeout=60 -rss_limit_mb=4096 "${dirs[@]}" >"build/cov/$name.log" 2>&1
done
llvm-profdata merge -sparse build/cov/profiles/*.profraw -o build/cov/all.profdata
find build/cov -name '*.so' -printf '-object=%p\n' >build/cov/objects
printf -- '-object=%s\n' build/cov/fuzz/fuzz_firmware_file build/cov/fuzz/fuzz_ddb_loader >>build/cov/objects
llvm-cov report build/cov/fuzz/fuzz_whole_road $(cat build/cov/objects) \
  -instr-profile=build/cov/all.profdata pgm/varno/*.cpp >build/cov/report.txt
cat build/cov/report.txt
