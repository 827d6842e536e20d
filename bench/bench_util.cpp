// Throughput of the CRC and bit-copy helpers over 64 MiB, each beside the
// system's zlib crc32 or memcpy on the same buffer. After the table of runs,
// the ratios to those baselines are printed with the targets they must meet.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "varno_util.h"

namespace {

constexpr u32 k_bytes = 64u << 20;
constexpr u32 k_bits = k_bytes * 8;

const std::vector<u8>& source() {
  static const std::vector<u8> data = [] {
    std::vector<u8> d(k_bytes);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i < d.size(); i += 8) {
      const u64 v = rng();
      std::memcpy(&d[i], &v, 8);
    }
    return d;
  }();
  return data;
}

std::vector<u8>& destination() {
  static std::vector<u8> d(k_bytes + 8, 0);
  return d;
}

void finish(benchmark::State& state, u64 bytes_per_iteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes_per_iteration));
}

void BM_zlib_crc32(benchmark::State& state) {
  const u8* p = source().data();
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, p, k_bytes));
  finish(state, k_bytes);
}

void BM_lsb_crc32_EDB88320(benchmark::State& state) {
  const u8* p = source().data();
  for (auto _ : state)
    benchmark::DoNotOptimize(VARNO_UTIL::lsb_calculate_crc32(p, 0, k_bits, ~0u, 0xEDB88320u));
  finish(state, k_bytes);
}

void BM_lsb_crc32_88010000(benchmark::State& state) {
  const u8* p = source().data();
  for (auto _ : state)
    benchmark::DoNotOptimize(VARNO_UTIL::lsb_calculate_crc32(p, 0, k_bits, 0, 0x88010000u));
  finish(state, k_bytes);
}

// A run that starts and ends inside bytes.
void BM_lsb_crc32_EDB88320_unaligned(benchmark::State& state) {
  const u8* p = source().data();
  for (auto _ : state)
    benchmark::DoNotOptimize(
        VARNO_UTIL::lsb_calculate_crc32(p, 3, k_bits - 8, ~0u, 0xEDB88320u));
  finish(state, k_bytes - 1);
}

void BM_msb_crc32_F4ACFB13(benchmark::State& state) {
  const u8* p = source().data();
  for (auto _ : state)
    benchmark::DoNotOptimize(VARNO_UTIL::msb_calculate_crc32(p, 0, k_bits, 1, 0xF4ACFB13u));
  finish(state, k_bytes);
}

void BM_msb_crc32_8011(benchmark::State& state) {
  const u8* p = source().data();
  for (auto _ : state)
    benchmark::DoNotOptimize(VARNO_UTIL::msb_calculate_crc32(p, 0, k_bits, 0, 0x8011u));
  finish(state, k_bytes);
}

void BM_crc16(benchmark::State& state) {
  const u8* p = source().data();
  for (auto _ : state) benchmark::DoNotOptimize(VARNO_UTIL::calculate_crc16(p, 0, k_bits, 0xFFFF));
  finish(state, k_bytes);
}

void BM_memcpy(benchmark::State& state) {
  const u8* p = source().data();
  u8* q = destination().data();
  for (auto _ : state) {
    std::memcpy(q, p, k_bytes);
    benchmark::ClobberMemory();
  }
  finish(state, k_bytes);
}

void BM_bit_copy_aligned(benchmark::State& state) {
  const u8* p = source().data();
  u8* q = destination().data();
  for (auto _ : state) {
    VARNO_UTIL::bit_copy(p, 0, q, 0, k_bits, true);
    benchmark::ClobberMemory();
  }
  finish(state, k_bytes);
}

void BM_bit_copy_aligned_complemented(benchmark::State& state) {
  const u8* p = source().data();
  u8* q = destination().data();
  for (auto _ : state) {
    VARNO_UTIL::bit_copy(p, 0, q, 0, k_bits, false);
    benchmark::ClobberMemory();
  }
  finish(state, k_bytes);
}

// Source and destination at different bit positions: the shifting path.
void BM_bit_copy_unaligned(benchmark::State& state) {
  const u8* p = source().data();
  u8* q = destination().data();
  for (auto _ : state) {
    VARNO_UTIL::bit_copy(p, 3, q, 5, k_bits - 8, true);
    benchmark::ClobberMemory();
  }
  finish(state, k_bytes - 1);
}

void BM_bit_copy_unaligned_complemented(benchmark::State& state) {
  const u8* p = source().data();
  u8* q = destination().data();
  for (auto _ : state) {
    VARNO_UTIL::bit_copy(p, 3, q, 5, k_bits - 8, false);
    benchmark::ClobberMemory();
  }
  finish(state, k_bytes - 1);
}

void BM_reverse_bit_copy(benchmark::State& state) {
  const u8* p = source().data();
  u8* q = destination().data();
  for (auto _ : state) {
    VARNO_UTIL::reverse_bit_copy(p, 3, q, 0, k_bits - 8, true);
    benchmark::ClobberMemory();
  }
  finish(state, k_bytes - 1);
}

BENCHMARK(BM_zlib_crc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_lsb_crc32_EDB88320)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_lsb_crc32_88010000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_lsb_crc32_EDB88320_unaligned)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_msb_crc32_F4ACFB13)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_msb_crc32_8011)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_crc16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bit_copy_aligned)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bit_copy_aligned_complemented)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bit_copy_unaligned)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bit_copy_unaligned_complemented)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_reverse_bit_copy)->Unit(benchmark::kMillisecond);

// The console table, then each run's throughput as a ratio to its baseline.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) m_rates[run.benchmark_name()] = it->second.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-38s %10s %-14s %8s %s\n", "benchmark", "GB/s", "baseline", "ratio",
                "target");
    line("BM_lsb_crc32_EDB88320", "BM_zlib_crc32", 0.5, 0);
    line("BM_lsb_crc32_88010000", "BM_zlib_crc32", 0.5, 0);
    line("BM_lsb_crc32_EDB88320_unaligned", "BM_zlib_crc32", 0, 0);
    line("BM_msb_crc32_F4ACFB13", "BM_zlib_crc32", 0, 0);
    line("BM_msb_crc32_8011", "BM_zlib_crc32", 0, 0);
    line("BM_crc16", "BM_zlib_crc32", 0, 1e9);
    line("BM_bit_copy_aligned", "BM_memcpy", 0.5, 0);
    line("BM_bit_copy_aligned_complemented", "BM_memcpy", 0, 0);
    line("BM_bit_copy_unaligned", "BM_memcpy", 0, 0);
    line("BM_bit_copy_unaligned_complemented", "BM_memcpy", 0, 0);
    line("BM_reverse_bit_copy", "BM_bit_copy_unaligned", 0.3, 0);
    std::fflush(stdout);
  }

 private:
  // min_ratio: least throughput relative to the baseline; min_rate: least
  // bytes per second. Zero means no target.
  void line(const char* name, const char* baseline, double min_ratio, double min_rate) {
    const auto r = m_rates.find(name);
    const auto b = m_rates.find(baseline);
    if (r == m_rates.end() || b == m_rates.end() || b->second <= 0) return;
    const double ratio = r->second / b->second;
    std::string target = "-";
    if (min_ratio > 0) {
      target = ">= " + std::to_string(min_ratio).substr(0, 4) + "x " +
               (ratio >= min_ratio ? "met" : "MISSED");
    } else if (min_rate > 0) {
      target = ">= " + std::to_string(min_rate / 1e9).substr(0, 3) + " GB/s " +
               (r->second >= min_rate ? "met" : "MISSED");
    }
    std::printf("%-38s %10.2f %-14s %8.2f %s\n", name + 3, r->second / 1e9, baseline + 3, ratio,
                target.c_str());
  }

  std::map<std::string, double> m_rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  source();
  destination();
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
