#!/usr/bin/env bash
# Writes the output files of every whole-road fuzz seed (text dump,
# expected data, bitstream) under OUT/<seed>/, from the fuzz build. Run it
# before and after a change that must not change a byte, then compare:
#   bash scripts/seed_outputs.sh /tmp/before    # on the old tree
#   bash scripts/seed_outputs.sh /tmp/after     # on the new tree
#   diff -r /tmp/before /tmp/after
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 1 ] || { echo "usage: $0 OUT" >&2; exit 2; }
out=$1
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_BUILD_FUZZ=ON -DVARNO_BUILD_TESTS=OFF \
  -DVARNO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/fuzz -j "${VARNO_JOBS:-$(nproc)}" --target fuzz_whole_road_outputs
rm -rf "$out"
mkdir -p "$out"
ASAN_OPTIONS=detect_leaks=1 build/fuzz/fuzz/fuzz_whole_road_outputs "$out" fuzz/corpus/whole_road/*
echo "seed_outputs: $(ls "$out" | wc -l) seeds, $(find "$out" -type f | wc -l) files in $out"
