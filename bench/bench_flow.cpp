// The whole road, driven through the public calls as a host drives it, on a
// synthetic device written by bench/make_flow_device.py: process_pcfs, the
// design data into every sector's CRAM, ERAM and bus block, do_all_blocks,
// one CRAM block group per eight sectors with compressed threads, and the
// top-level bitstream with SHA-256 hash blocks written as a raw binary file.
//
// Beside the flow, on the same bytes in the same process: a bare raw deflate
// of the thread streams at the group's own settings (recovered by inflating
// the group's output) and a memcpy of them. Prints the median of each stage
// over the repetitions, the two ratios, the peak resident memory per byte of
// design data, and a SHA-256 of every output byte (frames, group data,
// bitstream file) so that two builds can be compared.
//
// usage: varno_bench_flow DIR [--reps N] [--store] [--expect SHA256]
//   DIR       what make_flow_device.py wrote (DIR/ddb, DIR/data)
//   --store   deflate_store: the threads are stored (level 0), not deflated
//   --expect  the digest the output must have (bench/flow_digests.txt): the
//             program fails when the output differs
#include <openssl/evp.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "msg.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_itop_bitstream.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_types.h"

namespace fs = std::filesystem;

namespace {

using CLOCK = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& text) {
  std::fprintf(stderr, "varno_bench_flow: %s\n", text.c_str());
  std::exit(1);
}

[[noreturn]] void internal_error(const std::string& text, const char*, const char* file, int line) {
  die("internal error (" + std::string(file ? file : "?") + ":" + std::to_string(line) + "): " + text);
}

std::vector<u8> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read " + path.string());
  return std::vector<u8>(std::istreambuf_iterator<char>(in), {});
}

// SHA-256 over everything the flow hands back.
class DIGEST {
 public:
  DIGEST() : m_ctx(EVP_MD_CTX_new()) { EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr); }
  ~DIGEST() { EVP_MD_CTX_free(m_ctx); }
  void add(const u8* p, size_t n) { EVP_DigestUpdate(m_ctx, p, n); }
  std::string hex() {
    unsigned char md[32];
    unsigned len = 0;
    EVP_DigestFinal_ex(m_ctx, md, &len);
    std::string s;
    char b[3];
    for (unsigned i = 0; i < len; ++i) {
      std::snprintf(b, sizeof b, "%02x", md[i]);
      s += b;
    }
    return s;
  }

 private:
  EVP_MD_CTX* m_ctx;
};

struct SECTOR_DATA {
  u32 x, y;
  std::vector<u8> cram, eram, bbus;
};

struct TIMES {
  double load = 0, place = 0, frames = 0, groups = 0, top = 0;
  double flow() const { return load + place + frames + groups + top; }
};

struct RUN_RESULT {
  TIMES t;
  std::vector<std::vector<u8>> threads;  // compressed thread streams, as handed back
  std::string digest;
};

double since(CLOCK::time_point start) {
  return std::chrono::duration<double>(CLOCK::now() - start).count();
}

VARNO_EBLOCK* sector_array(VARNO_IGEN* gen) {
  for (u32 i = 0; i < gen->max_block_index(); ++i)
    if (auto* e = dynamic_cast<VARNO_EBLOCK*>(gen->get_block_by_index(i))) return e;
  die("the family has no sector-array block");
}

VARNO_DBLOCK* data_block(VARNO_MBLOCK* sector, const char* name) {
  auto* b = dynamic_cast<VARNO_DBLOCK*>(sector->generator()->get_block(name, false));
  if (b == nullptr) die(std::string("a sector has no data block ") + name);
  return b;
}

RUN_RESULT run_flow(const fs::path& dir, std::vector<SECTOR_DATA>& data, bool store,
                    const fs::path& out_file) {
  RUN_RESULT r;
  auto t0 = CLOCK::now();
  std::unique_ptr<VARNO_IGEN> gen(varno_get_factory()->create_generator());
  gen->set_family_pcf((dir / "ddb" / "quelvo_family.ddb").string());
  gen->set_device_pcf((dir / "ddb" / "quelvo_device.ddb").string());
  VARNO_MGR_PARAM* param = gen->get_mgr_param();
  param->group_compressed = 1;
  param->s4_variant = 0;
  param->deflate_store = store ? 1 : 0;
  if (gen->process_pcfs(false, false, false, nullptr, 2) != 0) die("process_pcfs failed");
  r.t.load = since(t0);

  t0 = CLOCK::now();
  VARNO_EBLOCK* array = sector_array(gen.get());
  std::vector<VARNO_MBLOCK*> sectors;
  for (SECTOR_DATA& s : data) {
    VARNO_MBLOCK* m = array->get_sector(s.x, s.y);
    if (m == nullptr) die("missing sector");
    data_block(m, "CRAM")->set_data(VARNO_BLOCK_DATA_CRAM, s.cram.data(),
                                   static_cast<u32>(s.cram.size() * 8), nullptr);
    data_block(m, "ERAM")->set_data(VARNO_BLOCK_DATA_ERAM, s.eram.data(),
                                   static_cast<u32>(s.eram.size() * 8), nullptr);
    data_block(m, "ESRAM_BBUS")->set_data(VARNO_BLOCK_DATA_BBUS, s.bbus.data(),
                                         static_cast<u32>(s.bbus.size() * 8), nullptr);
    sectors.push_back(m);
  }
  r.t.place = since(t0);

  t0 = CLOCK::now();
  if (!gen->do_all_blocks()) die("do_all_blocks failed");
  r.t.frames = since(t0);

  DIGEST digest;
  for (VARNO_MBLOCK* m : sectors) {
    for (const char* name : {"CRAM", "ERAM"}) {
      VARNO_DBLOCK* b = data_block(m, name);
      for (u32 f = 0; f < b->get_number_of_frames(); ++f)
        digest.add(b->get_frame_data_ptr(f), b->get_frame_size(f));
    }
  }

  // One CRAM group per eight sectors, split over the two threads.
  t0 = CLOCK::now();
  std::vector<std::unique_ptr<VARNO_IMBLOCK_GROUP>> groups;
  for (size_t first = 0; first < sectors.size(); first += 8) {
    const size_t n = std::min<size_t>(8, sectors.size() - first);
    std::unique_ptr<VARNO_IMBLOCK_GROUP> g(gen->create_group());
    g->set_group_type("CRAM", "");
    for (size_t i = 0; i < n; ++i) g->add_mblock(sectors[first + i], i < (n + 1) / 2 ? 0 : 1);
    g->collect_data(false);
    groups.push_back(std::move(g));
  }
  r.t.groups = since(t0);

  t0 = CLOCK::now();
  std::vector<std::vector<u8>> buffers;
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  auto* ob = dynamic_cast<VARNO_SBLOCK*>(gen->get_block("OPTION_BITS", false));
  if (ob == nullptr) die("no OPTION_BITS block");
  buffers.emplace_back(ob->get_block_size());
  ob->read_block_data(buffers.back().data());
  top->add_bitfield(buffers.back().data(), static_cast<u32>(buffers.back().size()), 0, true, false);
  const u32 first_merged = top->get_bitfield_count();
  for (auto& g : groups) {
    const u32 dsize = g->get_group_descriptor_size();
    const u32 full = g->get_group_full_size();
    buffers.emplace_back(dsize);
    g->get_group_descriptor_data(buffers.back().data(), dsize);
    // A descriptor of many pages (stored threads) goes in block-sized pieces.
    for (u32 at = 0; at < dsize; at += VARNO_GROUP_PAGE_SIZE)
      top->add_bitfield(buffers.back().data() + at, std::min(VARNO_GROUP_PAGE_SIZE, dsize - at), 1,
                        true, true);
    buffers.emplace_back(full - dsize);
    std::vector<u8>& pages = buffers.back();
    if (!pages.empty()) g->get_group_data(pages.data(), static_cast<u32>(pages.size()));
    for (size_t at = 0; at < pages.size(); at += VARNO_GROUP_PAGE_SIZE)
      top->add_bitfield(pages.data() + at, VARNO_GROUP_PAGE_SIZE, 3, true, true);
  }
  top->merge_by_routing(VARNO_GROUP_PAGE_SIZE, first_merged, top->get_bitfield_count() - 1, true,
                        VARNO_SHA_MODE_256);
  if (!top->write_to_file(out_file.string(), VARNO_OUTPUT_FORMAT_RAW, 0,
                          top->get_bitfield_count() - 1, false))
    die("cannot write " + out_file.string());
  r.t.top = since(t0);

  for (auto& g : groups) {
    for (unsigned t = 0; t < 2; ++t) {
      if (!g->is_thread_active(t)) continue;
      std::vector<u8> s(g->get_thread_size(t));
      g->get_thread_data(s.data(), static_cast<u32>(s.size()), t);
      r.threads.push_back(std::move(s));
    }
  }
  std::ifstream file(out_file, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || file.gcount() > 0)
    digest.add(reinterpret_cast<const u8*>(chunk.data()), static_cast<size_t>(file.gcount()));
  r.digest = digest.hex();
  return r;
}

// The thread's record stream, recovered from its raw deflate output.
std::vector<u8> inflate_raw(const std::vector<u8>& in) {
  z_stream zs{};
  if (inflateInit2(&zs, -13) != Z_OK) die("inflateInit2");
  std::vector<u8> out(in.size() * 4 + 1024);
  zs.next_in = const_cast<u8*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (zs.total_out == out.size()) out.resize(out.size() * 2);
    zs.next_out = out.data() + zs.total_out;
    zs.avail_out = static_cast<uInt>(out.size() - zs.total_out);
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) die("inflate failed");
    if (rc == Z_BUF_ERROR && zs.avail_out != 0) die("truncated thread stream");
  }
  out.resize(zs.total_out);
  inflateEnd(&zs);
  return out;
}

// A bare raw deflate at the group's settings.
size_t deflate_raw(const std::vector<u8>& in, int level, std::vector<u8>& out) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, -13, 8, Z_FIXED) != Z_OK) die("deflateInit2");
  out.resize(deflateBound(&zs, static_cast<uLong>(in.size())) + 16);
  zs.next_in = const_cast<u8*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) die("deflate");
  const size_t n = zs.total_out;
  deflateEnd(&zs);
  return n;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  msg_set_internal_error_handler(internal_error);
  if (argc < 2) die("usage: varno_bench_flow DIR [--reps N] [--store]");
  const fs::path dir = argv[1];
  int reps = 5;
  bool store = false;
  std::string expect;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--reps" && i + 1 < argc) reps = std::max(1, std::atoi(argv[++i]));
    else if (a == "--store") store = true;
    else if (a == "--expect" && i + 1 < argc) expect = argv[++i];
    else die("unknown argument " + a);
  }

  std::vector<SECTOR_DATA> data;
  u64 design_bytes = 0;
  for (u32 y = 0;; ++y) {
    if (!fs::exists(dir / "data" / ("sector_0_" + std::to_string(y) + "_cram.bin"))) break;
    for (u32 x = 0;; ++x) {
      const std::string base = "sector_" + std::to_string(x) + "_" + std::to_string(y) + "_";
      if (!fs::exists(dir / "data" / (base + "cram.bin"))) break;
      SECTOR_DATA s{x, y, read_file(dir / "data" / (base + "cram.bin")),
                    read_file(dir / "data" / (base + "eram.bin")),
                    read_file(dir / "data" / (base + "bbus.bin"))};
      design_bytes += s.cram.size() + s.eram.size() + s.bbus.size();
      data.push_back(std::move(s));
    }
  }
  if (data.empty()) die("no design data under " + (dir / "data").string());

  // The bitstream file goes to memory where the machine has it, so that the
  // disk does not time the library.
  std::error_code shm;
  const fs::path tmp = fs::is_directory("/dev/shm", shm) ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path out_file = tmp / ("varno_bench_flow_" + std::to_string(::getpid()) + ".bin");
  std::vector<TIMES> times;
  std::vector<double> deflate_t, memcpy_t;
  std::string digest;
  u64 stream_bytes = 0, compressed_bytes = 0;
  const int level = store ? 0 : 9;
  double peak = 0;
  for (int rep = 0; rep < reps; ++rep) {
    RUN_RESULT r = run_flow(dir, data, store, out_file);
    if (rep == 0) {
      // The flow's own peak, with the host's design data: what follows holds
      // copies of the streams that only the bench makes.
      rusage ru{};
      getrusage(RUSAGE_SELF, &ru);
      peak = static_cast<double>(ru.ru_maxrss) * 1024.0;
    }
    if (!digest.empty() && r.digest != digest) die("the output changed between repetitions");
    digest = r.digest;
    times.push_back(r.t);

    std::vector<std::vector<u8>> streams;
    for (const std::vector<u8>& t : r.threads) streams.push_back(inflate_raw(t));
    r.threads.clear();
    stream_bytes = compressed_bytes = 0;
    std::vector<u8> out;
    auto t0 = CLOCK::now();
    for (const std::vector<u8>& s : streams) compressed_bytes += deflate_raw(s, level, out);
    deflate_t.push_back(since(t0));
    for (const std::vector<u8>& s : streams) stream_bytes += s.size();
    t0 = CLOCK::now();
    for (const std::vector<u8>& s : streams) {
      out.resize(s.size());
      std::memcpy(out.data(), s.data(), s.size());
      asm volatile("" : : "r"(out.data()) : "memory");
    }
    memcpy_t.push_back(since(t0));
  }
  std::error_code ec;
  fs::remove(out_file, ec);

  auto med = [&](double TIMES::*m) {
    std::vector<double> v;
    for (const TIMES& t : times) v.push_back(t.*m);
    return median(v);
  };
  std::vector<double> flow;
  for (const TIMES& t : times) flow.push_back(t.flow());
  const double f = median(flow), d = median(deflate_t), m = median(memcpy_t);

  std::printf("sectors %zu, design data %.1f MB, thread streams %.1f MB -> %.1f MB (%s), %d repetitions\n",
              data.size(), design_bytes / 1e6, stream_bytes / 1e6, compressed_bytes / 1e6,
              store ? "stored" : "level 9", reps);
  std::printf("median seconds: load %.3f  place %.3f  frames %.3f  groups %.3f  top %.3f  flow %.3f\n",
              med(&TIMES::load), med(&TIMES::place), med(&TIMES::frames), med(&TIMES::groups),
              med(&TIMES::top), f);
  std::printf("median seconds: bare deflate %.4f  memcpy %.5f\n", d, m);
  std::printf("flow / bare deflate %.3f\n", f / d);
  std::printf("flow / memcpy %.1f\n", f / m);
  std::printf("peak resident memory %.1f MB, %.2f bytes per byte of design data\n", peak / 1e6,
              peak / static_cast<double>(design_bytes));
  std::printf("output sha256 %s\n", digest.c_str());
  if (!expect.empty()) {
    const bool same = digest == expect;
    std::printf("output %s the bit-by-bit path's\n", same ? "matches" : "DIFFERS FROM");
    if (!same) return 2;
  }
  return 0;
}
