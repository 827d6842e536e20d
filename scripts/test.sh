#!/usr/bin/env bash
# Installs what is missing, builds everything under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs the fuzz targets for a bounded time and
# then every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

JOBS="$(nproc)"
FUZZ_SECONDS="${VARNO_FUZZ_SECONDS:-60}"

# Fuzz targets: clang with libFuzzer.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_BUILD_FUZZ=ON -DVARNO_BUILD_TESTS=OFF \
  -DVARNO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/fuzz -j "$JOBS"
shopt -s nullglob
targets=(build/fuzz/fuzz/fuzz_*)
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name="$(basename "$t")"
  corpus_seed="fuzz/corpus/${name#fuzz_}"
  work="build/fuzz/corpus-${name}"
  mkdir -p "$work"
  per=$(( FUZZ_SECONDS / ${#targets[@]} ))
  [ "$per" -ge 5 ] || per=5
  echo "fuzz: $name for ${per}s"
  dict=()
  [ -f "fuzz/${name#fuzz_}.dict" ] && dict=(-dict="fuzz/${name#fuzz_}.dict")
  "$t" -max_total_time="$per" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 "${dict[@]}" \
    "$work" "$corpus_seed" 2>"build/fuzz/${name}.log" || {
      tail -n 60 "build/fuzz/${name}.log"; echo "fuzz: $name FAILED"; exit 1; }
  tail -n 3 "build/fuzz/${name}.log"
done

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
echo "installed package: example host built against $prefix and run: $(tail -n 1 build/test-host/run.log)"
