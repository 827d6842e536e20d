#!/usr/bin/env bash
# The fuzz stage of the test command: builds the fuzz targets (clang with
# libFuzzer, the library and its stand-ins instrumented) and fuzzes each for
# a bounded time on its committed seeds (fuzz/corpus, made from the fixtures;
# fuzz/kept, inputs kept from longer runs; fuzz/edges, the seeds moved onto
# the bounds of the checks by fuzz/find_edges.py; the seeds with one number
# moved by one, made here by fuzz/make_variants.py) and the corpus kept under
# build/fuzz/corpus from earlier runs. Exits non-zero on a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${VARNO_JOBS:-$(nproc)}"

# VARNO_FUZZ_SECONDS is the wall time of all fuzzing: the three
# targets run side by side for all of it, from the first second; where they
# must share cores, the firmware and parameter-file targets run at a lower
# priority, so that the whole road, which reaches most of the library, keeps
# a core to itself. A crash, sanitizer report, leak, hang (10 s) or an input
# that takes more than 2 GiB (or one allocation of more than 1 GiB) fails the
# command with the reproducer's path.
FUZZ_SECONDS="${VARNO_FUZZ_SECONDS:-600}"
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
  local dict=() kept=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  [ -d "fuzz/kept/$name" ] && kept+=("fuzz/kept/$name")
  [ -d "fuzz/edges/$name" ] && kept+=("fuzz/edges/$name")
  [ -d "build/fuzz/variants/$name" ] && kept+=("build/fuzz/variants/$name")
  echo "fuzz: $name for ${seconds}s"
  if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     nice -n "$niceness" "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
       -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$findings/$name-" "${dict[@]}" \
       "$work" "fuzz/corpus/$name" "${kept[@]}" >"build/fuzz/$name.log" 2>&1; then
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
# The seeds with one number moved by one (fuzz/make_variants.py), made
# afresh: each runs once at the start.
rm -rf build/fuzz/variants
for name in whole_road firmware_file; do
  python3 fuzz/make_variants.py "$name" "build/fuzz/variants/$name" | sed 's/^/fuzz: /'
done
lower=0
[ "$JOBS" -lt 3 ] && lower=3
pids=()
fuzz whole_road "$FUZZ_SECONDS" & pids+=($!)
fuzz firmware_file "$FUZZ_SECONDS" "$lower" & pids+=($!)
fuzz ddb_loader "$FUZZ_SECONDS" "$lower" & pids+=($!)
fuzz_ok=0
for pid in "${pids[@]}"; do wait "$pid" || fuzz_ok=1; done
[ "$fuzz_ok" -eq 0 ] || exit 1

echo "fuzz: ${FUZZ_SECONDS}s without findings"
