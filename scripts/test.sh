#!/usr/bin/env bash
# Installs what is missing, builds everything under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs the fuzz targets for a bounded time and
# then every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

JOBS="${VARNO_JOBS:-$(nproc)}"

# Fuzz targets: clang with libFuzzer, the library and its stand-ins
# instrumented. VARNO_FUZZ_SECONDS is the wall time of all fuzzing: the three
# targets run side by side for all of it, from the first second; where they
# must share cores, the firmware and parameter-file targets run at a lower
# priority, so that the whole road, which reaches most of the library, keeps
# a core to itself. A crash, sanitizer report, leak, hang (10 s) or an input
# that takes more than 2 GiB (or one allocation of more than 1 GiB) fails the
# command with the reproducer's path.
FUZZ_SECONDS="${VARNO_FUZZ_SECONDS:-480}"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_BUILD_FUZZ=ON -DVARNO_BUILD_TESTS=OFF \
  -DVARNO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/fuzz -j "$JOBS"

# fuzz NAME SECONDS [NICE]: runs fuzz_NAME on its committed seeds and the
# corpus it built in earlier runs, at nice level NICE; returns non-zero on a
# finding.
fuzz() {
  local name=$1 seconds=$2 niceness=${3:-0}
  local bin=build/fuzz/fuzz/fuzz_$name work=build/fuzz/corpus/$name findings=build/fuzz/findings
  mkdir -p "$work" "$findings"
  local dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  echo "fuzz: $name for ${seconds}s"
  if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     nice -n "$niceness" "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
       -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$findings/$name-" "${dict[@]}" \
       "$work" "fuzz/corpus/$name" >"build/fuzz/$name.log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "build/fuzz/$name.log" | sed "s/^/fuzz: $name: /" || true
    return 0
  fi
  tail -n 60 "build/fuzz/$name.log"
  local unit
  unit=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "build/fuzz/$name.log" | tail -n 1)
  echo "fuzz: $name FAILED; reproducer: ${unit:-none written, see build/fuzz/$name.log}"
  [ -n "$unit" ] && echo "fuzz: rerun it with: $bin $unit"
  return 1
}

rm -rf build/fuzz/findings
lower=0
[ "$JOBS" -lt 3 ] && lower=3
pids=()
fuzz whole_road "$FUZZ_SECONDS" & pids+=($!)
fuzz firmware_file "$FUZZ_SECONDS" "$lower" & pids+=($!)
fuzz ddb_loader "$FUZZ_SECONDS" "$lower" & pids+=($!)
fuzz_ok=0
for pid in "${pids[@]}"; do wait "$pid" || fuzz_ok=1; done
[ "$fuzz_ok" -eq 0 ] || exit 1

# Tests: g++ with the sanitizers, leak checking on.
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNO_SANITIZE=ON \
  -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_EXAMPLES=ON >/dev/null
cmake --build build/test -j "$JOBS"
ctest --test-dir build/test --output-on-failure -j "$JOBS"

# The library as a host project takes it: installed into a scratch prefix,
# then the example host built on its own against that package alone and run
# on the QUELVO example.
prefix="$PWD/build/test-prefix"
rm -rf "$prefix" build/test-host
cmake --install build/test --prefix "$prefix" >/dev/null
# Only what a host includes is installed, and each header stands on its own
# under a host's strictest warnings.
internal=$(ls "$prefix/include/varno" | grep -E 'frame_mgr|2d_engine|_common|util|tables|korvia|bit_plan|header_writers|group_rules' || true)
[ -z "$internal" ] || { echo "installed package: internal headers installed: $internal"; exit 1; }
for header in "$prefix"/include/varno/*.h; do
  echo "#include \"$(basename "$header")\"" | g++ -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic \
    -Werror -I"$prefix/include/varno" -x c++ - || {
    echo "installed package: $(basename "$header") does not compile on its own"; exit 1; }
done
cmake -S examples -B build/test-host -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build build/test-host
data=examples/data/quelvo
sector_data=()
for cell in 0:0:cl 1:0:f1 0:1:f1 1:1:cl; do
  xy=${cell%:*}
  type=${cell##*:}
  sector_data+=(--sector-data "SECTOR_ARRAY:$xy:CRAM:CRAM:$data/cram_$type.bin"
                --sector-data "SECTOR_ARRAY:$xy:ERAM:ERAM:$data/eram_$type.bin"
                --sector-data "SECTOR_ARRAY:$xy:ESRAM_BBUS:BBUS:$data/esram_bbus_$type.bin")
done
ASAN_OPTIONS=detect_leaks=1 build/test-host/varno_example_host \
  examples/ddb/quelvo/quelvo_family.ddb examples/ddb/quelvo/quelvo_device.ddb build/test-host/out \
  --config examples/example.cfg "${sector_data[@]}" --group CRAM >build/test-host/run.log
cmp -s build/test-host/out/dump.txt tests/data/e2e/quelvo_dump.txt || {
  echo "installed package: the example host's dump differs from tests/data/e2e/quelvo_dump.txt"; exit 1; }
cmp -s build/test-host/out/bitstream.bin tests/data/e2e/quelvo_bitstream.bin || {
  echo "installed package: the example host's bitstream differs from tests/data/e2e/quelvo_bitstream.bin"; exit 1; }
echo "installed package: example host built against $prefix and run: $(tail -n 1 build/test-host/run.log)"

# The guide host of docs/host.md (whose pieces of code ctest compares with
# its source): built against the package it writes the example's bitstream.
ASAN_OPTIONS=detect_leaks=1 build/test-host/varno_guide_host examples/ddb/quelvo examples/data/quelvo \
  build/test-host/guide.bin >build/test-host/guide.log
cmp -s build/test-host/guide.bin tests/data/e2e/quelvo_bitstream.bin || {
  echo "installed package: the guide host's bitstream differs from tests/data/e2e/quelvo_bitstream.bin"; exit 1; }
# A family file that does not load: the internal error with the loader's
# reason, everything released on the way out.
broken=build/test-host/broken
mkdir -p "$broken"
printf 'ddb family 1\nfamily NOT_A_FAMILY\n' >"$broken/quelvo_family.ddb"
cp examples/ddb/quelvo/quelvo_device.ddb "$broken/"
rc=0
ASAN_OPTIONS=detect_leaks=1 build/test-host/varno_guide_host "$broken" examples/data/quelvo \
  build/test-host/broken.bin >/dev/null 2>build/test-host/broken.log || rc=$?
[ "$rc" -eq 3 ] && grep -q "device database: $broken/quelvo_family.ddb:2: unknown family type" \
  build/test-host/broken.log || {
  echo "installed package: the guide host on a broken family file (status $rc):"; cat build/test-host/broken.log; exit 1; }
echo "installed package: guide host built and run: $(tail -n 1 build/test-host/guide.log)"
