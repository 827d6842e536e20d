// Throughput of the CRC and bit-copy helpers over 64 MiB, each beside the
// system's zlib crc32 or memcpy on the same buffer, and of the HIP MMIO
// frame building beside a memcpy of the bytes its frames hold. After the
// table of runs, the ratios to those baselines are printed with the targets
// they must meet.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "msg.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_iblock.h"
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

// What a block group reads at collect_data and at each read-out of its
// bytes, to tell whether the frames changed.
void BM_fingerprint(benchmark::State& state) {
  const u8* p = source().data();
  for (auto _ : state) {
    VARNO_FINGERPRINT fp;
    fp.add(p, k_bytes);
    benchmark::DoNotOptimize(fp.value());
  }
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

// HIP MMIO frames: 1 MiB of registers in address/data mode, in 16-byte
// frames that each carry four header records (an outer and an inner CNOC
// and CNT pair), the shape in which header writes weigh most. The device,
// one sector under a device level with 8-byte header records, is written to
// a scratch directory for process_pcfs and removed after it.
class HIP_MMIO_BENCH {
 public:
  static constexpr u32 k_registers = 1u << 18;

  HIP_MMIO_BENCH()
      : m_dir(std::filesystem::temp_directory_path() /
              ("varno_bench_hipmmio_" + std::to_string(getpid()))),
        m_data(u64{k_registers} * 4) {
    std::filesystem::create_directories(m_dir);
    write("quelvo_family.ddb",
          "ddb family 1\nfamily QUELVO\nconfig_width 32\n"
          "block CNOC_HEADER option words=2\n"
          "  dyn CNOC_HEADER word=0 size=64 mask=0xFFFFFFFF\n"
          "    ob CNOC_HDR_LEN index=0 size=16\n    ob CNOC_HDR_X index=16 size=8\n"
          "    ob CNOC_HDR_Y index=24 size=8\n    ob CNOC_HDR_SRC index=32 size=4\n"
          "    ob CNOC_HDR_MSG_TYPE index=36 size=4\n"
          "block CNT_HEADER option words=2\n"
          "  dyn CNT_HEADER word=0 size=64 mask=0xFFFFFFFF\n"
          "    ob CNT_HDR_WRITE_OP index=0 size=8\n    ob CNT_HDR_LEN index=8 size=16\n"
          "    ob CNT_HDR_AREG index=24 size=4\n    ob CNT_HDR_RSVD index=28 size=4\n"
          "    ob CNT_HDR_OFFSET index=32 size=32\n"
          "block SECTOR_ARRAY array\n");
    write("quelvo_device.ddb",
          "ddb device 1\nfamily QUELVO\ndevice DUMMY1\n"
          "param SECTOR_ARRAY ARRAY_COUNT 1 1\nparam SECTOR_ARRAY ARRAY_TYPE 1\n"
          "arg SECTOR_ARRAY CNOC_ADDRESSES width=3 7 1 1\n");
    write("quelvo_sector_family_vold.ddb",
          "ddb family 1\nfamily QUELVO_SECTOR\nconfig_width 32\n"
          "block MMIO2 data frame=QV_HIP_MMIO w2=4\n");
    write("qv_sector_cl.ddb", "ddb device 1\nfamily QUELVO_SECTOR\ndevice DUMMY1\n"
                              "param HIP_MMIO DUMMY1 0\n"
                              "arg MMIO2 IMG_OFFSETS width=4 0 " +
                                  std::to_string(k_registers - 1) + " 0x100 4\n");
    m_gen.reset(varno_get_factory()->create_generator());
    m_gen->set_family_pcf((m_dir / "quelvo_family.ddb").string());
    m_gen->set_device_pcf((m_dir / "quelvo_device.ddb").string());
    const u32 status = m_gen->process_pcfs(false, false, false, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
    if (status != VARNO_PCF_OK) fail("the HIP MMIO device does not load");
    m_sector = m_gen->get_meta_block("SECTOR_ARRAY", 0, 0)->generator();
    m_block = m_sector->get_block("MMIO2", false);
    std::mt19937_64 rng(7);
    for (u8& b : m_data) b = static_cast<u8>(rng());
    m_block->set_data(VARNO_BLOCK_DATA_HIP_MMIO, m_data.data(),
                      static_cast<u32>(m_data.size() * 8), nullptr);
    build();
    for (u32 i = 0; i < m_block->get_number_of_frames(); ++i)
      m_frame_bytes += m_block->get_frame_size(i);
  }
  void build() {
    if (!m_sector->do_block("MMIO2")) fail("the HIP MMIO frames do not build");
  }
  u64 frame_bytes() const { return m_frame_bytes; }

 private:
  [[noreturn]] static void fail(const char* text) {
    std::fprintf(stderr, "varno_bench: %s\n", text);
    std::exit(1);
  }
  void write(const char* name, const std::string& text) {
    std::ofstream(m_dir / name) << text;
  }

  std::filesystem::path m_dir;
  std::vector<u8> m_data;
  std::unique_ptr<VARNO_IGEN> m_gen;
  VARNO_IGEN* m_sector = nullptr;
  VARNO_IBLOCK* m_block = nullptr;
  u64 m_frame_bytes = 0;
};

HIP_MMIO_BENCH& hip_mmio() {
  static HIP_MMIO_BENCH bench;
  return bench;
}

void BM_hipmmio_frames(benchmark::State& state) {
  HIP_MMIO_BENCH& bench = hip_mmio();
  for (auto _ : state) bench.build();
  finish(state, bench.frame_bytes());
}

void BM_memcpy_hipmmio(benchmark::State& state) {
  const u64 bytes = hip_mmio().frame_bytes();
  const u8* p = source().data();
  u8* q = destination().data();
  for (auto _ : state) {
    std::memcpy(q, p, bytes);
    benchmark::ClobberMemory();
  }
  finish(state, bytes);
}

BENCHMARK(BM_zlib_crc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_lsb_crc32_EDB88320)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_lsb_crc32_88010000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_lsb_crc32_EDB88320_unaligned)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_msb_crc32_F4ACFB13)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_msb_crc32_8011)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_crc16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fingerprint)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bit_copy_aligned)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bit_copy_aligned_complemented)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bit_copy_unaligned)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bit_copy_unaligned_complemented)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_reverse_bit_copy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memcpy_hipmmio)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hipmmio_frames)->Unit(benchmark::kMillisecond);

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
    line("BM_hipmmio_frames", "BM_memcpy_hipmmio", 0, 0);
    line("BM_fingerprint", "BM_memcpy", 0.8, 0);
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
    std::printf("%-38s %10.2f %-14s %8.3f %s\n", name + 3, r->second / 1e9, baseline + 3, ratio,
                target.c_str());
  }

  std::map<std::string, double> m_rates;
};

}  // namespace

[[noreturn]] static void internal_error(const std::string& text, const char*, const char* file,
                                       int line) {
  std::fprintf(stderr, "varno_bench: internal error (%s:%d): %s\n", file != nullptr ? file : "?",
               line, text.c_str());
  std::exit(1);
}

int main(int argc, char** argv) {
  msg_set_internal_error_handler(internal_error);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  source();
  destination();
  hip_mmio();
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
