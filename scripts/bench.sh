#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them: the CRC and bit-copy
# helpers beside zlib's crc32 and memcpy and the HIP MMIO frame building
# beside memcpy, then the whole flow on synthetic sector devices at 1x
# (2 x 2 sectors) and 4x (4 x 4), with deflate at level 9 and with stored
# threads. Ratios, not times, are what to compare: these machines are shared
# and noisy.
#
#   bash scripts/bench.sh            micro benchmarks, flow at 1x and 4x
#   bash scripts/bench.sh --16x      also the flow at 16x (8 x 8 sectors)
#   bash scripts/bench.sh --flow     only the flow
#   VARNO_BENCH_REPS=9 bash scripts/bench.sh    repetitions of the flow (5)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

grids=(2 4)
micro=1
for a in "$@"; do
  case "$a" in
    --16x) grids+=(8) ;;
    --flow) micro=0 ;;
    *) echo "bench.sh: unknown argument $a" >&2; exit 1 ;;
  esac
done
reps="${VARNO_BENCH_REPS:-5}"

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVARNO_BUILD_BENCH=ON -DVARNO_BUILD_TESTS=OFF -DVARNO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/bench --target varno_bench varno_bench_flow

if [ "$micro" = 1 ]; then ./build/bench/bench/varno_bench; fi

# The digest every output must have, from bench/flow_digests.txt.
expected() { awk -v g="$1" -v m="$2" '$1 == g && $2 == m { print $3 }' bench/flow_digests.txt; }

for g in "${grids[@]}"; do
  dir="build/bench/flow_${g}x${g}"
  [ -f "$dir/ddb/quelvo_device.ddb" ] || python3 bench/make_flow_device.py "$dir" --grid "$g" --frames 4096
  echo
  echo "== whole flow, $g x $g sectors, deflate level 9"
  ./build/bench/bench/varno_bench_flow "$dir" --reps "$reps" --expect "$(expected "$g" level9)"
  echo
  echo "== whole flow, $g x $g sectors, stored threads"
  ./build/bench/bench/varno_bench_flow "$dir" --reps "$reps" --store --expect "$(expected "$g" stored)"
done
