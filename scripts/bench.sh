#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them. Extra arguments go to the
# benchmark program (for example --benchmark_filter=crc).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVARNO_BUILD_BENCH=ON -DVARNO_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench --target varno_bench
./build/bench/bench/varno_bench "$@"
