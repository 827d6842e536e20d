#!/usr/bin/env bash
# The whole test command: installs what is missing, fuzzes the library for a
# bounded time (scripts/fuzz.sh), builds and runs every test under
# AddressSanitizer and UndefinedBehaviorSanitizer with leak checking, then
# installs the library into a scratch prefix and builds and runs the example
# and guide hosts against that package alone. Its last line is the verdict.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${VARNO_JOBS:-$(nproc)}"
FUZZ_SECONDS="${VARNO_FUZZ_SECONDS:-600}"

stage="setup"
passed=""
verdict() {
  local rc=$?
  if [ "$rc" -eq 0 ]; then
    echo "test.sh: $passed; fuzzing ${FUZZ_SECONDS}s without findings; installed package OK"
  else
    echo "test.sh: FAILED in the $stage stage (exit status $rc)"
  fi
}
trap verdict EXIT

bash scripts/setup.sh

# Fuzzing first: a finding stops the command with the reproducer's path.
stage="fuzz"
VARNO_JOBS=$JOBS VARNO_FUZZ_SECONDS=$FUZZ_SECONDS bash scripts/fuzz.sh

# Tests: g++ with the sanitizers, leak checking on.
stage="tests"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNO_SANITIZE=ON \
  -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_EXAMPLES=ON >/dev/null
cmake --build build/test -j "$JOBS"
ctest --test-dir build/test --output-on-failure -j "$JOBS" | tee build/test/ctest.log
passed=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1 passed, 0 failed/p' build/test/ctest.log)
[ -n "$passed" ]

# The library as a host project takes it: installed into a scratch prefix,
# then the example host built on its own against that package alone and run
# on the QUELVO example.
stage="installed-package"
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
