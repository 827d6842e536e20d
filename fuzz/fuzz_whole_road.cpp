// Fuzz target: a host's whole road through the library, from parameter
// files and design data of the fuzzer's making.
//
// The input (layout in fuzz_support.h) holds the files "family" and
// "device" (the top generator's parameter files), the sector files the
// family's sector arrays name (e.g. "quelvo_sector_family_vold",
// "qv_sector_cl"), firmware files, design data, frame sizes, programming
// sequences, CRAM fault-injection locations and configuration. The header's
// bytes choose the manager parameters (XORed with the record's defaults, so
// zeros keep them), which steps run and the shapes of the host's calls:
//   a sector-type override, process_pcfs (by path or by name, S4 lists
//   deferred or not), the design data into every data block (of the top and
//   of every sector), a frame count for one block and a shadow mask for one
//   option field, do_all_blocks, the host's reads of the generator's setup
//   records (S4 setup image, codebooks, decompression setup records, 2D
//   libraries), option-field and frame reads and writes, CRC update, text
//   dump and expected data, one block group over the sectors with the
//   host's reads of its images, and the top-level bitstream: the images cut
//   into bit fields of the input's sizes, merged into blocks of the input's
//   size, with hash blocks, written as a raw file.
// Every buffer the host hands the library is exactly as long as the host
// says; the input moves those lengths off the sizes the library asks for,
// both ways. On the way, and last, every public host call is made at and
// one past each bound of what the input built (host_probes.h). A build that
// refuses a design data length runs once more at the length the library
// named (FIT).
// An internal error is an expected outcome; anything the sanitizers or
// libFuzzer see (crash, leak after the unwind, hang, memory) is a finding.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/stubs/logging.h>

#include "cfg.h"
#include "fuzz_support.h"
#include "host_probes.h"
#include "msg.h"
#include "pb.h"
#include "varno_block.h"
#include "varno_block_config.h"
#include "varno_block_factory.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_iblock.h"
#include "varno_itop_bitstream.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "vold.h"
#include "vold_enums.h"

namespace {

using varno_fuzz::INPUT;
using varno_fuzz::SECTION;

// Header bytes.
enum : size_t {
  H_ROAD = 0,          // road flags (R_*)
  H_2D = 1,            // qv_2d_compression (bits 0, 1, 3)
  H_GROUP_FLAGS = 2,   // pr_mode (bits 0-1), tk_flow, group switches
  H_FLAGS_A = 3,       // one-bit fields, XORed with their defaults
  H_CRAM_A = 4,        // CRAM one-bit fields
  H_CRAM_B = 5,        // more one-bit fields, cram_fi_mode (bits 6-7)
  H_TEMPLATE = 6,      // bits 0-1 template_count_mode, added to its default, mod 4; bits
                       // 2-3 XORed into s4_variant, bits 4-5 into tk_flow
  H_FW_TYPE = 7,       // fw_type, added to its default, mod 14
  H_FILLER = 8,        // u16 cram_random_filler
  H_FAKE_DRA = 10,     // u32 cram_fake_s4_dra_mask
  H_DRA_LIMIT = 14,    // u16 cram_s4_dra_limit
  H_SKIP_TYPE = 16,    // block type skipped (0: none)
  H_RANGE_TYPE = 17,   // block type of the first and last frame override (0: none)
  H_FIRST = 18,        // u16 first frame (0xFFFF: no override)
  H_LAST = 20,         // u16 last frame (0xFFFF: no override)
  H_GROUP_TYPE = 22,   // group type: a name of the list, or a data block of the first sector
  H_THREADS = 23,      // sector i goes to thread bit i (after the first half on 0)
  H_PR_COUNT = 24,     // partial-reconfiguration ranges (low 2 bits)
  H_PR = 25,           // 2 ranges of 4 bytes: start, length, sector | thread << 3, opcode
  H_PARTIAL = 33,      // do_partial_block: block index, first, count
  H_FW_SIZE = 36,      // firmware size, low 20 bits of a u32 (0: the file's size); bit 20
                       // drops the last size of the list, bit 21 repeats it
  H_FW_FRAME = 40,     // u16 fw_frame_size (0: the default; at least 256)
  H_MERGE = 42,        // bits 0-3 trim the top bitstream's merge range; bit 4 builds
                       // twice; bit 5 clears the 2D data at the end
  H_HOST = 44,         // host-call switches (B_*)
  H_SETUP = 45,        // setup reads (S_*)
  H_DELTA = 46,        // 8 signed moves of the host's buffer lengths (D_*; see moved())
  H_BLOCK = 54,        // u16 block size of the merge (0: 4096)
  H_FIELD = 56,        // 2 i16 added to the block size: the sizes of the bit fields the images are
                       // cut into, in turn (at least 1)
  H_ROUTE = 60,        // XORed into every routing code
  H_CELL = 61,         // sector-type override: column, row, type + 1 (0: none)
  H_OPTION = 64,       // option-field calls (O_*), option block, field, option, u16 bit index,
                       // u16 bit count
  H_FRAME = 72,        // a top data block, u16 frame count for it (0: none)
  H_BYTE = 75,         // that block's u16 frame, u16 byte offset: read, update, frame read
  H_DATA_DELTA = 79,   // signed, added to every design data length in its unit (bytes or bits)
  H_SIZE_DELTA = 80,   // signed, added to the last custom frame size of every list
  HEADER_SIZE = 81,
};

enum : std::uint8_t {
  R_GROUP = 1,          // a block group over the sectors
  R_DUMPS = 2,          // text dump and expected-data files
  R_SECTOR_PARAMS = 4,  // the manager parameters into every sector generator too
  R_SHA384 = 8,         // SHA-384 hash blocks (else SHA-256)
  R_INTERLEAVE = 16,    // interleaving on
  R_NO_HASH = 32,       // merge without hash blocks
  R_PARTIAL = 64,       // do_partial_block of one top block after the build
  R_NO_SETUP_READS = 128,  // skip the host's reads of the generator's setup records
};

enum : std::uint8_t {
  B_BY_NAME = 1,        // process_pcfs names the files (else paths)
  B_DEFER_S4 = 2,       // process_pcfs defers the S4 lists
  B_DBLOCKS = 4,        // the group gets the sectors' data blocks (else the sectors)
  B_MULTITHREAD = 8,    // collect_data(true)
  B_FRONT = 16,         // the option blocks' images go in at the front
  B_MERGE_ALL = 32,     // the merge range starts at the first bit field
  B_WHOLE = 64,         // the last bit field of an image is padded to the field size
  B_APPEND = 128,       // the bitstream is written twice, the second time appended
};

enum : std::uint8_t {
  S_NO_S4 = 1,          // no S4 setup read
  S_NO_CODEBOOKS = 2,   // no codebook reads
  S_LOW_FIRST = 4,      // codebooks low byte first (else by block type)
  S_HASHED = 8,         // the setup records' bit fields are hashed
  S_EXT = 16,           // long decompression setup records for codebooks and libraries
  S_BAD_THREAD = 32,    // the libraries' setup record names thread 2
  S_PRED = 64,          // the 2D prediction word read is 2 (else 0 and 1)
};

// Deltas of the buffer lengths (signed bytes, after H_DELTA).
enum : size_t { D_S4, D_CODEBOOK, D_DECOMP, D_LIBS, D_THREAD, D_DESCRIPTOR, D_GROUP, D_HASH };

enum : std::uint8_t {
  O_MASK = 1,           // shadow mask of the field before the build
  O_WRITE = 2,          // write_dyn_value
  O_READ = 4,           // read_dyn_value
  O_OPTION_WRITE = 8,   // write_option_bits
  O_OPTION_READ = 16,   // read_option_bits and get_option_info
  O_HOST_IMAGE = 32,    // the writes go to a host buffer as long as the image
  O_COPY = 64,          // on a copy of the option block (get_block with copy)
  O_STANDALONE = 128,   // stand-alone blocks of the block factory: an option block as long as
                        // the picked one, a data block of the framed block's type
};

// Largest design data handed to a block: 1 MiB, room for the IO MMIO
// and UIB MMR windows. The fuzz devices are small; larger images only slow
// every input down.
constexpr std::uint32_t MAX_DATA_BITS = 1u << 23;

// All the design data of one build, over every block: 2 MiB. Every byte may
// become frames of a few bytes with headers of their own (a device file can
// say so), and one input must stay well within the 10 s a run may take.
constexpr u64 MAX_BUILD_DATA_BITS = u64{1} << 24;

constexpr size_t MAX_FIRMWARE_FILES = 4;

// All the firmware data frames of one build, over every firmware block:
// 16,384, what one block makes of four files of 1 MiB in 256-byte frames.
// Every firmware block frames every file, and each frame is a few
// allocations, which the sanitizers make slow: a device file naming 16
// firmware blocks took 7 s. The blocks past the bound get no file.
constexpr u64 MAX_BUILD_FIRMWARE_FRAMES = u64{1} << 14;

// Largest design whose text dump and expected data a run writes: 16 MiB of
// blocks.
constexpr u64 MAX_DUMP_BYTES = u64{1} << 24;

const char* const GROUP_TYPES[] = {"CRAM", "ERAM", "REGSCAN", "FW", "BRAM", "XCVR", "CRAM_HIPI"};

// A design data section; its bytes are made when a block first takes it.
struct DATA_CHUNK {
  std::uint16_t slots = 0;
  bool stream = false;
  std::uint32_t bits = 0;
  std::string_view payload;
  std::vector<u8> bytes;

  // The payload, then either the payload again and again or a
  // pseudo-random stream seeded by the payload, to the length.
  u8* data() {
    if (bytes.empty() && bits > 0) {
      bytes.resize((u64{bits} + 7) / 8);
      size_t filled = std::min(payload.size(), bytes.size());
      if (filled > 0) std::memcpy(bytes.data(), payload.data(), filled);
      if (stream) {
        std::uint64_t x = 0x9E3779B97F4A7C15ull;
        for (char c : payload) x = (x ^ static_cast<u8>(c)) * 0x100000001B3ull;
        for (; filled < bytes.size(); ++filled) {
          x ^= x << 13;
          x ^= x >> 7;
          x ^= x << 17;
          bytes[filled] = static_cast<u8>(x >> 24);
        }
      }
      while (filled > 0 && filled < bytes.size()) {
        const size_t n = std::min(filled, bytes.size() - filled);
        std::memcpy(bytes.data() + filled, bytes.data(), n);
        filled += n;
      }
    }
    return bytes.data();
  }
};

// The length is 64 bits wide so that the fuzzer's comparison-guided
// mutations, which match the library's 64-bit size checks by their width,
// can write a size a check wants; in bytes or in bits, since the checks
// count both ways. The header's delta moves every length by a few units at
// once: seeds hold lengths at the bounds, one edit puts them all past.
DATA_CHUNK make_chunk(std::string_view body, const INPUT& in) {
  DATA_CHUNK c;
  const std::uint16_t mask = static_cast<std::uint16_t>(varno_fuzz::body_u32(body, 0) & 0xFFFF);
  c.slots = mask & 0x3FFF;
  c.stream = (mask & 0x4000) != 0;
  const u64 field = varno_fuzz::body_u32(body, 2) | u64{varno_fuzz::body_u32(body, 6)} << 32;
  const std::int8_t delta = static_cast<std::int8_t>(in.u8(H_DATA_DELTA));
  const u64 length = delta < 0 && field < u64(-delta) ? 0 : field + static_cast<u64>(std::int64_t{delta});
  const u64 bits = (mask & 0x8000) != 0 ? std::min<u64>(length, u64{MAX_DATA_BITS} / 8) * 8 : length;
  c.bits = static_cast<std::uint32_t>(std::min<u64>(bits, MAX_DATA_BITS));
  c.payload = body.size() > 10 ? body.substr(10) : std::string_view();
  return c;
}

// A design data length the library named. When a build refuses a block's
// data as the wrong length ("Mismatch in user data size ... given ...
// wanted ..."), the road runs once more with every chunk of the given
// length, in bits or in bytes, made the wanted length in the same unit: an
// edit of a device file that changes what a block needs then takes the
// design data along, as a host's does, and reaches the frames behind the
// length check.
struct FIT {
  bool active = false;
  u64 given = 0;
  u64 wanted = 0;
};

// The first two numbers of a length refusal.
FIT parse_fit(const std::string& text) {
  FIT fit;
  if (text.find("Mismatch in user data size") == std::string::npos) return fit;
  u64 numbers[2];
  size_t found = 0;
  for (size_t at = 0; at < text.size() && found < 2;) {
    if (text[at] < '0' || text[at] > '9') {
      ++at;
      continue;
    }
    u64 n = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && n < (u64{1} << 40); ++at)
      n = n * 10 + static_cast<u64>(text[at] - '0');
    numbers[found++] = n;
  }
  if (found == 2 && numbers[0] != numbers[1]) fit = {true, numbers[0], numbers[1]};
  return fit;
}

// The chunk itself, or under fit a copy of the wanted length kept in store.
DATA_CHUNK& fitted(DATA_CHUNK& c, const FIT& fit, std::deque<DATA_CHUNK>& store) {
  if (!fit.active) return c;
  u64 bits = 0;
  if (c.bits == fit.given) {
    bits = fit.wanted;
  } else if ((u64{c.bits} + 7) / 8 == fit.given) {
    bits = fit.wanted * 8;
  } else {
    return c;
  }
  DATA_CHUNK& copy = store.emplace_back();
  copy.slots = c.slots;
  copy.stream = c.stream;
  copy.payload = c.payload;
  copy.bits = static_cast<std::uint32_t>(std::min<u64>(bits, MAX_DATA_BITS));
  return copy;
}

bool bit(std::uint8_t byte, unsigned n) { return ((byte >> n) & 1) != 0; }
u8 flag(std::uint8_t def, std::uint8_t byte, unsigned n) { return static_cast<u8>(def ^ (bit(byte, n) ? 1 : 0)); }

void fill_params(VARNO_MGR_PARAM& p, const INPUT& in) {
  const VARNO_MGR_PARAM d;
  p.qv_2d_compression = in.u8(H_2D) & 0x0B;
  const std::uint8_t g = in.u8(H_GROUP_FLAGS);
  p.pr_mode = (g & 3) % 3;
  p.tk_flow = (bit(g, 2) ? 1u : 0u) ^ ((in.u8(H_TEMPLATE) >> 4) & 3u);
  p.group_compressed = flag(d.group_compressed, g, 3);
  p.deflate_store = flag(d.deflate_store, g, 4);
  p.use_codebook = flag(d.use_codebook, g, 5);
  p.qv_test_mode = flag(d.qv_test_mode, g, 6);
  p.descriptor_flag4 = flag(d.descriptor_flag4, g, 7);
  const std::uint8_t a = in.u8(H_FLAGS_A);
  p.s4_variant = static_cast<u8>(flag(d.s4_variant, a, 0) ^ ((in.u8(H_TEMPLATE) >> 2) & 3));
  p.qv_2d_align = flag(d.qv_2d_align, a, 1);
  p.skip_headers = bit(a, 2) ? 1 : 0;
  p.regscan_31bit = flag(d.regscan_31bit, a, 3);
  p.pre_action_flag = flag(d.pre_action_flag, a, 4);
  p.dump_swap_dr_bits = flag(d.dump_swap_dr_bits, a, 5);
  p.cram_skip_s4_data = flag(d.cram_skip_s4_data, a, 6);
  p.eram_last_frame_enable = flag(d.eram_last_frame_enable, a, 7);
  const std::uint8_t c = in.u8(H_CRAM_A);
  p.cram_assert_arin_enable = flag(d.cram_assert_arin_enable, c, 0);
  p.cram_last_frame_enable = flag(d.cram_last_frame_enable, c, 1);
  p.cram_lutram_remap = flag(d.cram_lutram_remap, c, 2);
  p.cram_lutram_edcrc_info = flag(d.cram_lutram_edcrc_info, c, 3);
  p.cram_skip_user_data = flag(d.cram_skip_user_data, c, 4);
  p.cram_clear_ar_enable = flag(d.cram_clear_ar_enable, c, 5);
  p.cram_fill_unmapped_ones = flag(d.cram_fill_unmapped_ones, c, 6);
  p.cram_allow_unconverted_bits = flag(d.cram_allow_unconverted_bits, c, 7);
  const std::uint8_t e = in.u8(H_CRAM_B);
  p.cram_s2_zero_bit_check = flag(d.cram_s2_zero_bit_check, e, 0);
  p.cram_s2_zero_bit_source_check = flag(d.cram_s2_zero_bit_source_check, e, 1);
  p.cram_skip_eram_frame = flag(d.cram_skip_eram_frame, e, 2);
  p.cram_ec_ob_mode = flag(d.cram_ec_ob_mode, e, 3);
  p.assert_arin_enable = flag(d.assert_arin_enable, e, 4);
  p.last_frame_enable = flag(d.last_frame_enable, e, 5);
  p.cram_fi_mode = static_cast<u8>(e >> 6);
  p.template_count_mode = (d.template_count_mode + (in.u8(H_TEMPLATE) & 3u)) % 4;
  p.fw_type = (d.fw_type + in.u8(H_FW_TYPE)) % 14;
  p.cram_random_filler = in.u16(H_FILLER);
  p.cram_fake_s4_dra_mask = in.u32(H_FAKE_DRA);
  p.cram_s4_dra_limit = in.u16(H_DRA_LIMIT);
  const u32 skip = in.u8(H_SKIP_TYPE);
  if (skip != 0 && skip < VARNO_MGR_PARAM_BLOCK_TYPES) p.skip_block[skip] = 1;
  const u32 range = in.u8(H_RANGE_TYPE);
  if (range != 0 && range < VARNO_MGR_PARAM_BLOCK_TYPES) {
    const u32 first = in.u16(H_FIRST);
    const u32 last = in.u16(H_LAST);
    p.first_frame[range] = first == 0xFFFF ? VARNO_INVALID_DWORD : first;
    p.last_frame[range] = last == 0xFFFF ? VARNO_INVALID_DWORD : last;
  }
  p.fw_frame_size = in.u16(H_FW_FRAME) == 0 ? 0 : std::max<u32>(in.u16(H_FW_FRAME), 256);
}

// Calls visit(gen) for gen and every sector generator below it, depth first.
template <typename VISIT>
void for_each_generator(VARNO_IGEN* gen, VISIT&& visit) {
  visit(gen);
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    auto* eblock = dynamic_cast<VARNO_EBLOCK*>(gen->get_block_by_index(i));
    if (eblock == nullptr) continue;
    for (u32 y = 0; y < eblock->y_sector_count(); ++y) {
      for (u32 x = 0; x < eblock->x_sector_count(); ++x) {
        VARNO_MBLOCK* sector = eblock->get_sector(x, y);
        if (sector != nullptr && sector->generator() != nullptr) for_each_generator(sector->generator(), visit);
      }
    }
  }
}

// The sectors of the first sector-array block, row by row.
std::vector<VARNO_MBLOCK*> sectors_of(VARNO_IGEN* gen) {
  std::vector<VARNO_MBLOCK*> out;
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    auto* eblock = dynamic_cast<VARNO_EBLOCK*>(gen->get_block_by_index(i));
    if (eblock == nullptr) continue;
    for (u32 y = 0; y < eblock->y_sector_count(); ++y) {
      for (u32 x = 0; x < eblock->x_sector_count(); ++x) {
        VARNO_MBLOCK* sector = eblock->get_sector(x, y);
        if (sector != nullptr && sector->generator() != nullptr) out.push_back(sector);
      }
    }
    break;
  }
  return out;
}

std::string block_name(VARNO_IBLOCK* block) {
  auto* base = dynamic_cast<VARNO_BLOCK*>(block);
  return base != nullptr ? base->block_type_name() : std::string();
}

// The loaded device section of a generator; null when there is none.
const VOLD_DEVICE_INFO* device_info(VARNO_IGEN* gen) {
  auto* g = dynamic_cast<VARNO_GEN*>(gen);
  return g != nullptr && g->device_pcf_info() != nullptr ? g->device_pcf_info()->get_device_info() : nullptr;
}

// The device file's name without directory and ".ddb".
std::string device_name(VARNO_IGEN* gen) {
  auto* g = dynamic_cast<VARNO_GEN*>(gen);
  if (g == nullptr) return std::string();
  std::string name = g->device_pcf().substr(g->device_pcf().rfind('/') + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ddb") == 0) name.resize(name.size() - 4);
  return name;
}

// A length the library asked for, moved by the input's delta (at least 0):
// up to 64 bytes either way, beyond that by whole 4,096-byte pages, as a
// host that sized a buffer for a thread more or less would.
u32 moved(u64 size, const INPUT& in, size_t delta) {
  std::int64_t d = static_cast<std::int8_t>(in.u8(H_DELTA + delta));
  if (d > 64) d = (d - 64) * VARNO_GROUP_PAGE_SIZE;
  if (d < -64) d = (d + 64) * VARNO_GROUP_PAGE_SIZE;
  const std::int64_t n = static_cast<std::int64_t>(size) + d;
  return static_cast<u32>(std::clamp<std::int64_t>(n, 0, 0xFFFFFFFF));
}

// A buffer of that length.
std::vector<u8> host_buffer(u64 size, const INPUT& in, size_t delta) {
  return std::vector<u8>(moved(size, in, delta));
}

u32 length(const std::vector<u8>& buffer) { return static_cast<u32>(buffer.size()); }

// The top-level bitstream as a host fills it: images cut into bit fields of
// the input's sizes, each field's buffer kept until the bitstream goes.
class TOP_FIELDS {
 public:
  TOP_FIELDS(VARNO_ITOP_BITSTREAM& top, const INPUT& in)
      : m_top(top), m_in(in), m_block(in.u16(H_BLOCK) != 0 ? in.u16(H_BLOCK) : VARNO_GROUP_PAGE_SIZE) {
    // Relative to the block, so that one small step crosses it either way.
    for (size_t k = 0; k < 2; ++k) {
      const std::int64_t size = std::int64_t{m_block} + static_cast<std::int16_t>(in.u16(H_FIELD + 2 * k));
      m_field[k] = static_cast<u32>(std::max<std::int64_t>(size, 1));
    }
  }

  u32 block_size() const { return m_block; }

  // One image in fields of the two sizes in turn; the last one shorter, or
  // padded with zeros to its size. At most MAX_FIELDS fields an image: a
  // larger image takes longer fields.
  void add(const std::vector<u8>& bytes, u32 routing, bool hashed, bool at_end = true) {
    const u64 floor = (bytes.size() + MAX_FIELDS - 1) / MAX_FIELDS;
    size_t turn = 0;
    for (size_t at = 0; at < bytes.size(); turn ^= 1) {
      const u64 size = std::max<u64>(m_field[turn], floor);
      const size_t n = static_cast<size_t>(std::min<u64>(size, bytes.size() - at));
      const bool whole = (m_in.u8(H_HOST) & B_WHOLE) != 0;
      m_keep.emplace_back(whole ? static_cast<size_t>(size) : n, 0);
      std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                bytes.begin() + static_cast<std::ptrdiff_t>(at + n), m_keep.back().begin());
      m_top.add_bitfield(m_keep.back().data(), length(m_keep.back()), routing ^ m_in.u8(H_ROUTE), at_end,
                         hashed);
      at += n;
    }
  }

 private:
  static constexpr u64 MAX_FIELDS = 1024;
  VARNO_ITOP_BITSTREAM& m_top;
  const INPUT& m_in;
  u32 m_block;
  u32 m_field[2];
  std::deque<std::vector<u8>> m_keep;
};

// The host's reads of the generator's setup records after the build, each
// record a bit field of the top-level bitstream.
void read_setup(VARNO_IGEN* gen, const INPUT& in, TOP_FIELDS& fields) {
  const std::uint8_t s = in.u8(H_SETUP);
  const bool hashed = (s & S_HASHED) != 0;
  const bool ext = (s & S_EXT) != 0;
  if ((s & S_NO_S4) != 0) {
  } else if (const u32 size = gen->get_s4_setup_size(); size > 0) {
    std::vector<u8> buffer = host_buffer(size, in, D_S4);
    gen->copy_s4_setup(buffer.data(), length(buffer));
    fields.add(buffer, VARNO_QV_ROUTING_CONFIG, hashed);
  }
  for (u32 ip = 0; ip <= gen->get_2d_ip_libs_count(); ++ip) gen->get_ip_offset(ip);
  if ((s & S_PRED) != 0) {
    gen->get_2d_pred_settings(2);
  } else {
    gen->get_2d_pred_settings(0);
    gen->get_2d_pred_settings(1);
  }
  if (const u32 size = gen->get_2d_libs_size(); size > 0) {
    std::vector<u8> record = host_buffer(gen->get_decomp_setup_size(ext), in, D_DECOMP);
    gen->copy_decomp_setup(record.data(), length(record), (s & S_BAD_THREAD) != 0 ? QV_MAX_DC_THREADS : 1,
                           nullptr, 0, ext);
    fields.add(record, VARNO_QV_ROUTING_CONFIG, hashed);
    std::vector<u8> buffer = host_buffer(size, in, D_LIBS);
    gen->copy_2d_libs(buffer.data(), length(buffer));
    fields.add(buffer, VARNO_QV_ROUTING_CONFIG, hashed);
  }
  varno_fuzz::note("setup reads: S4 %u, 2D libraries %u bytes",
                   (s & S_NO_S4) != 0 ? 0 : gen->get_s4_setup_size(), gen->get_2d_libs_size());
  if ((s & S_NO_CODEBOOKS) != 0) return;
  // The codebooks of the block types that have one: those the sector array
  // lists, or without a sector array those of the data blocks themselves.
  std::vector<u32> types;
  if (gen->get_block("SECTOR_ARRAY", false) != nullptr) {
    gen->get_korvia_codebook_types(types);
  } else {
    for (u32 i = 0; i < gen->max_block_index(); ++i) {
      auto* dblock = dynamic_cast<VARNO_DBLOCK*>(gen->get_block_by_index(i));
      if (dblock != nullptr &&
          dblock->get_block_config()->get_param(VOLD_PARAMETER_GZIP_KORVIA_LITERALS) != nullptr)
        types.push_back(dblock->block_type());
    }
  }
  for (u32 type : types) {
    const u32 size = gen->get_korvia_codebook_size(type);
    if (size == 0) continue;
    std::vector<u8> record = host_buffer(gen->get_decomp_setup_size(ext), in, D_DECOMP);
    gen->copy_decomp_setup(record.data(), length(record), 0, nullptr, type, ext);
    fields.add(record, VARNO_QV_ROUTING_CONFIG, hashed);
    std::vector<u8> buffer = host_buffer(size, in, D_CODEBOOK);
    const bool low_first = ((s & S_LOW_FIRST) != 0) != ((type & 1) != 0);
    gen->copy_korvia_codebook(buffer.data(), length(buffer), type, low_first);
    fields.add(buffer, VARNO_QV_ROUTING_CONFIG, hashed);
    varno_fuzz::note("setup reads: codebook of block type %u, %u bytes", type, size);
  }
}

// The host's reads of a collected group.
void read_group(VARNO_IGEN* gen, VARNO_IMBLOCK_GROUP* group, const INPUT& in) {
  for (unsigned t = 0; t < QV_MAX_DC_THREADS; ++t) {
    group->is_thread_active(t);
    group->get_comp_ratio(t);
    group->group_num_blocks(t);
    group->block(0, t);
    std::vector<u8> buffer = host_buffer(group->get_thread_size(t), in, D_THREAD);
    if (!buffer.empty()) group->get_thread_data(buffer.data(), length(buffer), t);
    const u32 setup = group->get_2d_setup_size(t);
    if (setup > 0) {
      buffer.assign(setup, 0);
      group->get_2d_setup_data(buffer.data(), t);
      buffer = host_buffer(gen->get_decomp_setup_size(true), in, D_DECOMP);
      gen->copy_decomp_setup(buffer.data(), length(buffer), t, group, 0, true);
    }
  }
}

// Option-field calls on one option block of the top generator: the field
// and option by their names in the device file, as a host names them.
struct OPTION_CALLS {
  VARNO_SBLOCK* block = nullptr;
  std::string field;
  std::string option;
};

OPTION_CALLS pick_option(VARNO_IGEN* gen, const INPUT& in) {
  OPTION_CALLS c;
  std::vector<VARNO_SBLOCK*> blocks;
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    auto* b = dynamic_cast<VARNO_SBLOCK*>(gen->get_block_by_index(i));
    if (b != nullptr && !b->dyn_data_list().empty()) blocks.push_back(b);
  }
  if (blocks.empty()) return c;
  c.block = blocks[in.u8(H_OPTION + 1) % blocks.size()];
  const std::vector<VOLD_DYN_DATA*>& fields = c.block->dyn_data_list();
  const VOLD_DYN_DATA* field = fields[in.u8(H_OPTION + 2) % fields.size()];
  VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DYN_DATA, field->get_dyn_data_type(), &c.field);
  if (field->get_ob_list() != nullptr && !field->get_ob_list()->empty()) {
    const VOLD_OB_DATA* ob = (*field->get_ob_list())[in.u8(H_OPTION + 3) % field->get_ob_list()->size()];
    VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_OB_DATA, ob->get_ob_data_type(), &c.option);
  }
  return c;
}

void option_calls(VARNO_IGEN* gen, const OPTION_CALLS& c, const INPUT& in) {
  const std::uint8_t ops = in.u8(H_OPTION);
  if (c.block == nullptr || (ops & ~O_MASK) == 0) return;
  varno_fuzz::note("option calls: %s.%s, bits %u at %u", c.field.c_str(), c.option.c_str(),
                   in.u16(H_OPTION + 6), in.u16(H_OPTION + 4));
  std::unique_ptr<VARNO_IBLOCK> copy;
  VARNO_IBLOCK* block = c.block;
  if ((ops & O_COPY) != 0) {
    copy.reset(gen->get_block(c.block->block_type(), true));
    block = copy.get();
  }
  const u32 index = in.u16(H_OPTION + 4);
  const u32 bits = in.u16(H_OPTION + 6);
  std::vector<u8> value((u64{bits} + 7) / 8);
  for (size_t k = 0; k < value.size(); ++k) value[k] = static_cast<u8>(0xA5 ^ (k * 0x3B));
  std::vector<u8> image;
  u8* dest = nullptr;
  if ((ops & O_HOST_IMAGE) != 0) {
    image.resize(block->get_block_size());
    if (!image.empty()) block->read_block_data(image.data());
    dest = image.data();
  }
  std::vector<u8> out(value.size());
  block->get_dyn_value_size(c.field);
  if ((ops & O_WRITE) != 0) block->write_dyn_value(c.field, value.data(), index, bits, dest);
  if ((ops & O_READ) != 0) block->read_dyn_value(c.field, out.data(), index, bits);
  if (c.option.empty()) return;
  if ((ops & O_OPTION_WRITE) != 0) block->write_option_bits(c.option, c.field, value.data(), bits, dest);
  if ((ops & O_OPTION_READ) != 0) {
    u32 at = 0, second = 0, size = 0;
    block->get_option_info(c.option, c.field, at, second, size);
    block->get_option_size(c.option, c.field);
    block->read_option_bits(c.option, c.field, out.data(), bits);
  }
}

// Blocks a host makes outside the generator's list, read as the host reads
// the generator's own (a stand-alone data block has no frame manager to
// process with).
void standalone_calls(VARNO_IGEN* gen, const OPTION_CALLS& c, VARNO_IBLOCK* framed) {
  VARNO_IBLOCK_FACTORY* factory = varno_get_block_factory();
  std::vector<std::unique_ptr<VARNO_IBLOCK>> blocks;
  if (c.block != nullptr)
    blocks.emplace_back(factory->create_block(c.block->block_type(), c.block->has_crc(),
                                              c.block->word_count(), c.block->init_ones()));
  if (framed != nullptr) blocks.emplace_back(factory->create_block(framed->block_type(), gen));
  for (const std::unique_ptr<VARNO_IBLOCK>& b : blocks) {
    if (dynamic_cast<VARNO_SBLOCK*>(b.get()) != nullptr) b->process(false);
    b->crc_update();
    std::vector<u8> image(b->get_block_size());
    if (!image.empty()) b->read_block_data(image.data());
    b->get_frame_size(0);
  }
}

// A top data block's frames as a host reads and patches them.
void frame_calls(VARNO_IBLOCK* block, const INPUT& in) {
  const u32 frame = in.u16(H_BYTE);
  const u32 offset = in.u16(H_BYTE + 2);
  block->get_number_of_potential_frames();
  std::vector<u8> bytes(block->get_frame_size(frame));
  if (!bytes.empty()) block->get_frame_data(frame, bytes.data());
  u8 byte = 0;
  if (block->get_frame_single_byte(frame, offset, byte))
    block->update_frame_data(frame, offset, static_cast<u8>(~byte));
  block->get_user_data_lfsr(frame, frame + offset, 0, 0);
}

void run(const INPUT& in, const FIT& fit) {
  std::vector<DATA_CHUNK> chunks;
  std::map<std::string, std::vector<DATA_CHUNK>> named_chunks;
  std::vector<std::vector<u32>> frame_sizes;
  std::vector<std::unique_ptr<PB::BLOCKS_PROGRAMMING_SEQUENCE>> sequences;
  std::vector<std::string> firmware;
  std::vector<u32> firmware_sizes;
  std::vector<u32> fault_locations;
  std::string family;
  std::string device;
  for (const SECTION& s : in.sections) {
    switch (s.kind) {
      case 'F': {
        const std::string path = varno_fuzz::write_work_file(s.name + ".ddb", s.body);
        if (s.name == "family") family = path;
        if (s.name == "device") device = path;
        break;
      }
      case 'X':
        // The host names the firmware files, their sizes and the frame
        // size: at most four files of up to 1 MiB in frames of at least 256
        // bytes here, as every firmware block frames every file and the text
        // dump writes every frame (the firmware target takes larger ones).
        if (firmware.size() == MAX_FIRMWARE_FILES) break;
        firmware.push_back(varno_fuzz::write_work_file(s.name, s.body));
        firmware_sizes.push_back((in.u32(H_FW_SIZE) & 0xFFFFF) != 0 ? in.u32(H_FW_SIZE) & 0xFFFFF
                                                                     : static_cast<u32>(s.body.size()));
        break;
      case 'D':
        (s.name.empty() ? chunks : named_chunks[s.name]).push_back(make_chunk(s.body, in));
        break;
      case 'S': {
        std::vector<u32> sizes;
        for (size_t at = 0; at < s.body.size() && sizes.size() < 1024; at += 4)
          sizes.push_back(varno_fuzz::body_u32(s.body, at));
        if (!sizes.empty()) sizes.back() += static_cast<u32>(static_cast<std::int8_t>(in.u8(H_SIZE_DELTA)));
        frame_sizes.push_back(std::move(sizes));
        break;
      }
      case 'Q': {
        auto seq = std::make_unique<PB::BLOCKS_PROGRAMMING_SEQUENCE>();
        if (seq->ParseFromArray(s.body.data(), static_cast<int>(s.body.size())))
          sequences.push_back(std::move(seq));
        break;
      }
      case 'C': {
        const std::string path = varno_fuzz::write_work_file("settings.cfg", s.body);
        if (!cfg_load_file(path)) cfg_clear();
        break;
      }
      case 'L':
        for (size_t at = 0; at < s.body.size() && fault_locations.size() < 1024; at += 4)
          fault_locations.push_back(varno_fuzz::body_u32(s.body, at));
        break;
      default:
        break;
    }
  }
  if (family.empty() || device.empty()) return;

  // The device type the host hands to process_pcfs, from the device file,
  // as a host reads it.
  u32 device_type = 0;
  {
    std::unique_ptr<VOLD_INFO> info(VOLD_DATA_SERVER::get_vold_info(device, true));
    if (info == nullptr || info->get_device_info() == nullptr) {
      varno_fuzz::note("device file: %s", VOLD_DATA_SERVER::last_error().c_str());
      return;
    }
    device_type = info->get_device_info()->get_device_type();
  }

  const std::uint8_t road = in.u8(H_ROAD);
  const std::uint8_t host = in.u8(H_HOST);
  std::unique_ptr<VARNO_IGEN> gen(varno_get_factory()->create_generator());
  gen->set_family_pcf(family);
  gen->set_device_pcf(device);
  if (in.u8(H_CELL + 2) != 0)
    gen->overwrite_block_param_type("SECTOR_ARRAY", in.u8(H_CELL), in.u8(H_CELL + 1), in.u8(H_CELL + 2) - 1u);
  VARNO_MGR_PARAM& param = *gen->get_mgr_param();
  fill_params(param, in);
  // A host's size list need not match its file list.
  if ((in.u32(H_FW_SIZE) >> 20 & 1) != 0 && !firmware_sizes.empty()) firmware_sizes.pop_back();
  if ((in.u32(H_FW_SIZE) >> 21 & 1) != 0 && !firmware_sizes.empty())
    firmware_sizes.push_back(firmware_sizes.back());
  param.fw_sizes = firmware_sizes;
  // The data frames each firmware block makes of the files, counted in
  // frames of at most 2,048 bytes, a boot image's (the default is 2,052).
  const u64 fw_frame = std::min<u64>(param.fw_frame_size != 0 ? param.fw_frame_size : 2048, 2048);
  u64 firmware_frames = 0;
  for (size_t k = 0; k < firmware.size() && k < firmware_sizes.size(); ++k)
    firmware_frames += (firmware_sizes[k] + fw_frame - 1) / fw_frame;
  u64 build_firmware_frames = 0;
  const u32 status =
      gen->process_pcfs((host & B_BY_NAME) != 0, (host & B_DEFER_S4) != 0, false, nullptr, device_type);
  varno_fuzz::note("process_pcfs: status %u", status);
  if (status != VARNO_PCF_OK) return;

  // Design data into every data block, top first, then the sectors row by
  // row: the sections named after the block's type, else the unnamed ones,
  // taken in turn and starting over when they run out.
  size_t block_no = 0;
  std::map<std::string, size_t> named_no;
  std::vector<varno_fuzz::FED_BLOCK> fed;
  std::deque<DATA_CHUNK> fitted_chunks;
  u64 data_bits = 0;
  for_each_generator(gen.get(), [&](VARNO_IGEN* g) {
    if (g != gen.get() && (road & R_SECTOR_PARAMS) != 0) fill_params(*g->get_mgr_param(), in);
    // The fault-injection list names the family and device it is meant for.
    const VOLD_DEVICE_INFO* info = device_info(g);
    if (!fault_locations.empty() && info != nullptr) {
      std::vector<u32>& list = g->get_mgr_param()->cram_fi_locations;
      list = {info->family_type, info->device_type};
      list.insert(list.end(), fault_locations.begin(), fault_locations.end());
    }
    for (u32 i = 0; i < g->max_block_index(); ++i) {
      auto* dblock = dynamic_cast<VARNO_DBLOCK*>(g->get_block_by_index(i));
      if (dblock == nullptr) continue;
      const std::string name = block_name(dblock);
      auto named = named_chunks.find(name + " " + device_name(g));
      if (named == named_chunks.end()) named = named_chunks.find(name);
      DATA_CHUNK* chunk = nullptr;
      if (named != named_chunks.end()) {
        chunk = &named->second[named_no[named->first]++ % named->second.size()];
      } else if (!chunks.empty()) {
        chunk = &chunks[block_no % chunks.size()];
      }
      if (chunk != nullptr) {
        DATA_CHUNK& c = fitted(*chunk, fit, fitted_chunks);
        for (u32 slot = 0; slot < VARNO_BLOCK_DATA_MAX; ++slot) {
          if (c.slots != 0 && ((c.slots >> slot) & 1) == 0) continue;
          if (data_bits + c.bits > MAX_BUILD_DATA_BITS) continue;
          data_bits += c.bits;
          dblock->set_data(static_cast<VARNO_BLOCK_DATA_TYPE>(slot), c.data(), c.bits, nullptr);
          if (c.bits > 0) fed.push_back({dblock, slot, c.data(), c.bits});
        }
      }
      if (!frame_sizes.empty()) {
        const std::vector<u32>& sizes = frame_sizes[block_no % frame_sizes.size()];
        dblock->set_custom_frame_sizes(sizes.data(), static_cast<u32>(sizes.size()));
      }
      if (!sequences.empty()) dblock->set_programming_seq_vdata(sequences[block_no % sequences.size()].get());
      if (dblock->frame_type() == VOLD_FRAME_QV_FW_FILE &&
          build_firmware_frames + firmware_frames <= MAX_BUILD_FIRMWARE_FRAMES) {
        build_firmware_frames += firmware_frames;
        for (const std::string& f : firmware) dblock->set_data_from_file(VARNO_BLOCK_DATA_MCU, f);
      }
      ++block_no;
    }
  });
  varno_fuzz::note("design data: %llu bits", static_cast<unsigned long long>(data_bits));

  // One top block the host handles frame by frame, with a frame count of
  // its own; one option field the host masks and writes.
  VARNO_IBLOCK* framed =
      gen->max_block_index() > 0 ? gen->get_block_by_index(in.u8(H_FRAME) % gen->max_block_index()) : nullptr;
  if (framed != nullptr && in.u16(H_FRAME + 1) != 0)
    gen->adjust_num_frames(block_name(framed), in.u16(H_FRAME + 1));
  const OPTION_CALLS option = pick_option(gen.get(), in);
  if (option.block != nullptr && (in.u8(H_OPTION) & O_MASK) != 0) {
    const u32 bits = in.u16(H_OPTION + 6);
    const std::vector<u8> mask((u64{bits} + 7) / 8, 0xFF);
    option.block->set_option_shadow_mask(option.field, mask.data(), bits);
  }

  // A host may build again: frames, engines and libraries start afresh.
  if ((in.u8(H_MERGE) & 16) != 0 && !gen->do_all_blocks()) return;
  const bool built = gen->do_all_blocks();
  varno_fuzz::note("do_all_blocks: %s", built ? "built" : "failed");
  if (!built) return;
  if ((road & R_PARTIAL) != 0 && gen->max_block_index() > 0) {
    VARNO_IBLOCK* block = gen->get_block_by_index(in.u8(H_PARTIAL) % gen->max_block_index());
    const u32 first = in.u8(H_PARTIAL + 1);
    gen->do_partial_block(block_name(block), first, first + in.u8(H_PARTIAL + 2));
  }
  if (framed != nullptr) frame_calls(framed, in);
  option_calls(gen.get(), option, in);
  if ((in.u8(H_OPTION) & O_STANDALONE) != 0) standalone_calls(gen.get(), option, framed);
  for_each_generator(gen.get(), [](VARNO_IGEN* g) {
    for (u32 i = 0; i < g->max_block_index(); ++i) g->get_block_by_index(i)->crc_update();
  });
  varno_fuzz::probe_generator(gen.get());
  // The text dump takes a few characters a byte: a design of more than
  // MAX_DUMP_BYTES (which a small device file can ask for) is not dumped, as
  // its text alone would take longer than a run may.
  u64 design_bytes = 0;
  for_each_generator(gen.get(), [&](VARNO_IGEN* g) { design_bytes += g->bt_size(); });
  if ((road & R_DUMPS) != 0 && design_bytes <= MAX_DUMP_BYTES) {
    gen->write_to_file(varno_fuzz::work_dir() + "/dump.txt", VARNO_OUTPUT_FORMAT_DAT);
    gen->dump_expected_data(varno_fuzz::work_dir() + "/expected");
  }
  varno_fuzz::note("dumps: %llu bytes of blocks", static_cast<unsigned long long>(design_bytes));

  // The top-level bitstream's bit fields: the option blocks' images, the
  // setup records, then the group's descriptor and data, or, without a
  // group, the data blocks' images.
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  TOP_FIELDS fields(*top, in);
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    auto* sblock = dynamic_cast<VARNO_SBLOCK*>(gen->get_block_by_index(i));
    if (sblock == nullptr || sblock->get_block_size() == 0) continue;
    std::vector<u8> image(sblock->get_block_size());
    sblock->read_block_data(image.data());
    fields.add(image, VARNO_QV_ROUTING_CONFIG, false, (host & B_FRONT) == 0);
  }
  const u32 first_merged = (host & B_MERGE_ALL) != 0 ? 0 : top->get_bitfield_count();
  varno_fuzz::note("setup reads: %s", (road & R_NO_SETUP_READS) != 0 ? "skipped" : "made");
  if ((road & R_NO_SETUP_READS) == 0) read_setup(gen.get(), in, fields);

  std::unique_ptr<VARNO_IMBLOCK_GROUP> group;
  const std::vector<VARNO_MBLOCK*> sectors = sectors_of(gen.get());
  if ((road & R_GROUP) != 0 && !sectors.empty()) {
    group.reset(gen->create_group());
    const u32 pick = in.u8(H_GROUP_TYPE);
    std::string type;
    if (pick < std::size(GROUP_TYPES)) {
      type = GROUP_TYPES[pick];
    } else {
      // A data block of the first sector.
      std::vector<std::string> names;
      VARNO_IGEN* s = sectors.front()->generator();
      for (u32 i = 0; i < s->max_block_index(); ++i) {
        if (dynamic_cast<VARNO_DBLOCK*>(s->get_block_by_index(i)) != nullptr)
          names.push_back(block_name(s->get_block_by_index(i)));
      }
      if (!names.empty()) type = names[pick % names.size()];
    }
    group->set_group_type(type, "");
    group->enable_interleaving((road & R_INTERLEAVE) != 0);
    const size_t first_half = (sectors.size() + 1) / 2;
    const std::uint8_t threads = in.u8(H_THREADS);
    for (size_t i = 0; i < sectors.size() && i < 8; ++i) {
      const unsigned thread = (i < first_half ? 0u : 1u) ^ ((threads >> i) & 1u);
      if ((host & B_DBLOCKS) == 0) {
        group->add_mblock(sectors[i], thread);
      } else if (VARNO_IBLOCK* b = sectors[i]->generator()->get_block(type, false); b != nullptr) {
        group->add_dblock(b, thread);
      }
    }
    for (u32 r = 0; r < (in.u8(H_PR_COUNT) & 3u) && r < 2; ++r) {
      const size_t at = H_PR + 4 * r;
      const u32 start = in.u8(at);
      const u32 where = in.u8(at + 2);
      group->set_sector_frame_range(start, start + in.u8(at + 1), (where >> 3) & 1, where & 7, in.u8(at + 3),
                                    type, (where & 0x80) != 0);
    }
    group->collect_data((host & B_MULTITHREAD) != 0);
    varno_fuzz::note("group: collected");
    read_group(gen.get(), group.get(), in);
    varno_fuzz::probe_group(gen.get(), group.get());

    const u32 descriptor_size = group->get_group_descriptor_size();
    const u32 full = group->get_group_full_size();
    std::vector<u8> descriptor = host_buffer(descriptor_size, in, D_DESCRIPTOR);
    group->get_group_descriptor_data(descriptor.data(), length(descriptor));
    fields.add(descriptor, VARNO_QV_ROUTING_DESCRIPTOR, true);
    if (full > descriptor_size && gen->get_mgr_param()->group_compressed != 0) {
      std::vector<u8> data = host_buffer(full - descriptor_size, in, D_GROUP);
      group->get_group_data(data.data(), length(data));
      fields.add(data, VARNO_QV_ROUTING_GROUP_DATA, true);
    } else if (full > descriptor_size) {
      // An uncompressed group's data is its threads' frames.
      for (unsigned thread = 0; thread < QV_MAX_DC_THREADS; ++thread) {
        std::vector<u8> data = host_buffer(group->get_thread_size(thread), in, D_GROUP);
        if (data.empty()) continue;
        group->get_thread_data(data.data(), length(data), thread);
        fields.add(data, VARNO_QV_ROUTING_GROUP_DATA, true);
      }
    }
  } else {
    for (u32 i = 0; i < gen->max_block_index(); ++i) {
      auto* dblock = dynamic_cast<VARNO_DBLOCK*>(gen->get_block_by_index(i));
      if (dblock == nullptr || dblock->get_block_size() == 0) continue;
      std::vector<u8> image(dblock->get_block_size());
      dblock->read_block_data(image.data());
      // Under the hash blocks' code: the merge meets its own routing among
      // the host's fields.
      fields.add(image, VARNO_QV_ROUTING_HASH, true);
    }
  }
  const u32 count = top->get_bitfield_count();
  const u32 trim = in.u8(H_MERGE);
  std::vector<u32> hashes;
  const VARNO_SHA_MODE mode = (road & R_SHA384) != 0 ? VARNO_SHA_MODE_384 : VARNO_SHA_MODE_256;
  if (count > 0) {
    const u32 first = first_merged + (trim & 3);
    const u32 last = count - 1 - std::min<u32>(count - 1, (trim >> 2) & 3);
    hashes = top->merge_by_routing(fields.block_size(), first, last, (road & R_NO_HASH) == 0, mode);
    varno_fuzz::note("merge: %u bit fields, %zu hash blocks", top->get_bitfield_count(), hashes.size());
    const u32 merged = top->get_bitfield_count();
    top->get_bitfiled_routings(first, last);
    // A host's digest of one bit field, of its length moved by the input.
    const u32 index = hashes.empty() ? 0 : hashes.front() + 1;
    u8 digest[48];
    top->insert_block_hash_to_address(index, moved(top->get_bitfield_size(index), in, D_HASH), mode, digest);
    const std::string path = varno_fuzz::work_dir() + "/bitstream.bin";
    top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, merged - 1, false);
    if ((host & B_APPEND) != 0) {
      top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, first, std::min(last, merged - 1), true);
      top->write_to_file(path, VARNO_OUTPUT_FORMAT_DAT, 0, merged - 1, false);
    }
  }
  varno_fuzz::probe_top(top.get(), fields.block_size(), hashes);
  varno_fuzz::probe_group_setup(gen.get());
  varno_fuzz::probe_shadow_masks(gen.get());
  varno_fuzz::probe_refused_group_mistakes(gen.get(), group.get());
  varno_fuzz::probe_refused_stale_outputs(gen.get(), group.get(), fed, top.get(), fields.block_size(), hashes,
                                          mode);
  varno_fuzz::probe_shorter_data(fed);
  varno_fuzz::probe_refused_data_mistakes(group.get(), fed);
  if ((trim & 32) != 0) gen->clear_2d_data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  varno_fuzz::init_target();
  // The runtime complains of every sequence with non-UTF-8 names it parses.
  google::protobuf::SetLogHandler(nullptr);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(std::uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  // The lengths: the host's buffer deltas, the merge's block and field
  // sizes, the design data and frame size deltas, the firmware size, the
  // option field's bit index and count, the partial build's frames.
  static const std::vector<size_t> hot = {H_DELTA,      H_DELTA + 1,  H_DELTA + 2,    H_DELTA + 3,
                                          H_DELTA + 4,  H_DELTA + 5,  H_DELTA + 6,    H_DELTA + 7,
                                          H_BLOCK,      H_FIELD,      H_FIELD + 2,    H_DATA_DELTA,
                                          H_SIZE_DELTA, H_FW_SIZE,    H_FW_SIZE + 1,  H_OPTION + 4,
                                          H_OPTION + 6, H_PARTIAL + 1, H_PARTIAL + 2};
  return varno_fuzz::mutate(data, size, max_size, seed, HEADER_SIZE, hot);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const INPUT in = varno_fuzz::split_input(data, size, HEADER_SIZE);
  FIT fit;
  for (int pass = 0; pass < 2; ++pass) {
    cfg_clear();
    varno_fuzz::clear_work_dir();
    try {
      run(in, fit);
      break;
    } catch (const msg_internal_error& e) {
      // A failed check of the library: an expected outcome.
      varno_fuzz::note_internal_error(e);
      if (pass > 0 || !(fit = parse_fit(e.what())).active) break;
      varno_fuzz::note("fit: design data of %llu made %llu", static_cast<unsigned long long>(fit.given),
                       static_cast<unsigned long long>(fit.wanted));
    }
  }
  return 0;
}
