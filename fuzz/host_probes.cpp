// Host calls at and past the library's bounds; see host_probes.h.
#include "host_probes.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "msg.h"
#include "varno_block.h"
#include "varno_block_config.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_itop_bitstream.h"
#include "varno_sblock.h"
#include "vold.h"
#include "vold_enums.h"

namespace varno_fuzz {
namespace {

// No probe asks for a buffer larger than this; the road's own reads have
// handed out anything larger already.
constexpr u64 MAX_PROBE_BYTES = u64{1} << 26;

// The shorter-data probes build a block again several times. A block of
// more frames than this is not rebuilt: a small device file can cut 1 MiB of
// design data into over 100,000 frames of a few bytes, each with header
// records of its own, and those rebuilds would take an input past its time,
// while the ends the probes meet are the same at any frame count.
constexpr u32 MAX_REBUILT_FRAMES = 4096;
// Nor is a block of more bytes of frames than this: a few large frames
// (an IOCSR block's rows are built bit by bit) cost as much.
constexpr u32 MAX_REBUILT_BYTES = 1u << 20;

// Runs one call; a refusal ends that call only.
template <typename CALL>
void refusable(CALL&& call) {
  try {
    call();
  } catch (const msg_internal_error& e) {
    note_internal_error(e);
  }
}

// Runs one call that the library must refuse with exactly text: another
// text, or no refusal, is a finding.
template <typename CALL>
void expect_refused(const std::string& text, CALL&& call) {
  try {
    call();
  } catch (const msg_internal_error& e) {
    if (text == e.what()) return;
    std::fprintf(stderr, "refused with \"%s\" (%s:%d), expected \"%s\"\n", e.what(),
                 e.file().c_str(), e.line(), text.c_str());
    std::abort();
  }
  std::fprintf(stderr, "not refused, expected \"%s\"\n", text.c_str());
  std::abort();
}

// Runs one call that the library must take: a refusal is a finding.
template <typename CALL>
void expect_taken(const char* what, CALL&& call) {
  try {
    call();
  } catch (const msg_internal_error& e) {
    std::fprintf(stderr, "%s refused with \"%s\" (%s:%d)\n", what, e.what(), e.file().c_str(), e.line());
    std::abort();
  }
}

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// The first block group collected (thread 0's first) that was fed design
// data; null without one.
VARNO_BLOCK* first_fed_collected(VARNO_IMBLOCK_GROUP* group, const std::vector<FED_BLOCK>& fed) {
  auto* mgroup = dynamic_cast<VARNO_MBLOCK_GROUP*>(group);
  if (mgroup == nullptr) return nullptr;
  for (u32 thread = 0; thread < QV_MAX_DC_THREADS; ++thread) {
    for (VARNO_BLOCK* block : mgroup->thread(thread).m_DBlocksArray) {
      if (std::any_of(fed.begin(), fed.end(), [&](const FED_BLOCK& f) { return f.block == block; })) return block;
    }
  }
  return nullptr;
}

// A buffer of exactly n bytes, zeroed: the sanitizers see a byte past it.
// new u8[0] is a real allocation of its own, unlike an empty vector's null.
struct BYTES {
  explicit BYTES(u64 n) : size(static_cast<u32>(n)), bytes(new u8[n]()) {}
  u32 size;
  std::unique_ptr<u8[]> bytes;
  u8* data() const { return bytes.get(); }
};

bool fits(u64 n) { return n <= MAX_PROBE_BYTES; }

u32 read_u32(const u8* p) { return p[0] | p[1] << 8 | p[2] << 16 | u32{p[3]} << 24; }

// count - 1, count and count + 1 (those that exist), and 0.
std::vector<u32> around(u32 count) {
  std::vector<u32> at = {0};
  if (count > 1) at.push_back(count - 1);
  at.push_back(count);
  if (count < 0xFFFFFFFFu) at.push_back(count + 1);
  std::sort(at.begin(), at.end());
  at.erase(std::unique(at.begin(), at.end()), at.end());
  return at;
}

// Sizes n - 1, n and n + 1 of a buffer the library fills from a count it
// gave: one byte short is refused or clipped, one long is left alone.
std::vector<u64> sizes_around(u64 n) {
  std::vector<u64> at;
  if (n > 0) at.push_back(n - 1);
  at.push_back(n);
  at.push_back(n + 1);
  return at;
}

std::string enum_name(VOLD_ENUM_TYPE kind, u32 value) {
  std::string name;
  VOLD_MANAGER::check_type_enum_supported(kind, value, &name);
  return name;
}

// Segment reads and writes of one frame: whole, from the last byte, at the
// end and with room to spare; the writes put back what was read.
void probe_segments(VARNO_FRAME* frame) {
  if (frame == nullptr) return;
  for (u32 t = VARNO_FRAME_SEGMENT_HEADER; t <= VARNO_FRAME_SEGMENT_PADDING + 1; ++t) {
    const auto type = static_cast<VARNO_FRAME_SEGMENT_TYPE>(t);
    const u32 size = frame->get_segment_size(type);
    if (!fits(u64{size} + 16)) continue;
    BYTES copy(u64{size} + 16);
    const u32 read = frame->get_segment_data(type, copy.data(), copy.size, 0);
    frame->write_segment_data(type, copy.data(), std::min(read, copy.size), 0);
    for (u32 offset : around(size)) {
      BYTES tail(16);
      const u32 n = frame->get_segment_data(type, tail.data(), tail.size, offset);
      if (offset < size) frame->write_segment_data(type, tail.data(), std::min(n, tail.size), offset);
    }
  }
  const u32 whole = frame->get_frame_size();
  if (!fits(u64{whole} + 1)) return;
  for (u64 capacity : sizes_around(whole)) {
    BYTES out(capacity);
    frame->get_frame_data(out.data(), out.size);
  }
  for (const auto& pre : frame->pre_instructions()) probe_segments(pre.get());
  for (const auto& post : frame->post_instructions()) probe_segments(post.get());
}

// Frames of a block at both ends of its list and past it.
void probe_frames(VARNO_IBLOCK* block) {
  const u32 count = block->get_number_of_frames();
  refusable([&] { block->get_number_of_potential_frames(); });
  auto* dblock = dynamic_cast<VARNO_DBLOCK*>(block);
  for (u32 frame : around(count)) {
    u32 size = 0;
    refusable([&] { size = block->get_frame_size(frame); });
    if (fits(size)) {
      BYTES out(size);
      refusable([&] { block->get_frame_data(frame, out.data()); });
    }
    refusable([&] { block->get_frame_data_ptr(frame); });
    u32 core = 0;
    if (dblock != nullptr && dblock->get_frame(frame) != nullptr) {
      core = dblock->get_frame(frame)->get_segment_size(VARNO_FRAME_SEGMENT_DATA);
      refusable([&] { probe_segments(dblock->get_frame(frame)); });
    }
    std::vector<u32> offsets = around(core);
    offsets.push_back(size);
    for (u32 offset : offsets) {
      refusable([&] {
        u8 byte = 0;
        if (block->get_frame_single_byte(frame, offset, byte)) block->update_frame_data(frame, offset, byte);
      });
    }
  }
}

// Parameters and arguments by name at their sizes.
void probe_params(VARNO_IBLOCK* block, const VARNO_BLOCK_CONFIG* config) {
  if (config == nullptr) return;
  for (u32 t = 0; t < VOLD_PARAMETER_TYPE_NAMES_COUNT; ++t) {
    if (config->get_param(static_cast<VOLD_PARAMETER_TYPE>(t)) == nullptr) continue;
    const std::string name = VOLD_PARAMETER_TYPE_NAMES[t];
    u32 size = 0;
    refusable([&] { size = block->get_param_size(name); });
    for (u32 index : around(size)) refusable([&] { block->get_param_value(name, index); });
  }
  for (u32 t = 0; t < VOLD_ARGUMENT_TYPE_NAMES_COUNT; ++t) {
    if (config->get_arg(static_cast<VOLD_ARGUMENT_TYPE>(t)) == nullptr) continue;
    const std::string name = VOLD_ARGUMENT_TYPE_NAMES[t];
    u32 size = 0, width = 0;
    refusable([&] { size = block->get_arg_size(name); });
    refusable([&] { width = block->get_arg_width(name); });
    const u32 rows = width == 0 ? 0 : size / width;
    for (u32 row : around(rows)) {
      for (u32 column : around(width)) refusable([&] { block->get_arg_value(name, row, column); });
    }
  }
}

// Every field and option of an option block: whole, its last bit, past its
// end; written back with what was read, to the block and to a host image.
void probe_options(VARNO_SBLOCK* block) {
  const u32 image_size = block->get_block_size();
  if (!fits(image_size)) return;
  BYTES image(image_size);
  if (image_size > 0) block->read_block_data(image.data());
  for (const VOLD_DYN_DATA* field : block->dyn_data_list()) {
    const std::string name = enum_name(VOLD_ENUM_TYPE_DYN_DATA, field->get_dyn_data_type());
    const u32 bits = block->get_dyn_value_size(name);
    BYTES value((u64{bits} + 16) / 8);
    refusable([&] {
      block->read_dyn_value(name, value.data(), 0, bits);
      block->write_dyn_value(name, value.data(), 0, bits, nullptr);
      block->write_dyn_value(name, value.data(), 0, bits, image.data());
    });
    for (u32 index : around(bits)) {
      refusable([&] {
        BYTES one(1);
        block->read_dyn_value(name, one.data(), index, 1);
        block->write_dyn_value(name, one.data(), index, 1, nullptr);
      });
    }
    refusable([&] { block->read_dyn_value(name, value.data(), 0, bits + 1); });
    if (field->get_ob_list() == nullptr) continue;
    for (const VOLD_OB_DATA* ob : *field->get_ob_list()) {
      const std::string option = enum_name(VOLD_ENUM_TYPE_OB_DATA, ob->get_ob_data_type());
      refusable([&] {
        u32 index = 0, second = 0, size = 0;
        block->get_option_info(option, name, index, second, size);
        const u32 option_bits = block->get_option_size(option, name);
        BYTES bytes((u64{option_bits} + 7) / 8);
        block->read_option_bits(option, name, bytes.data(), option_bits);
        block->write_option_bits(option, name, bytes.data(), option_bits, image.data());
        block->write_option_bits(option, name, bytes.data(), option_bits, nullptr);
      });
    }
  }
}

void probe_block(VARNO_IBLOCK* block) {
  refusable([&] {
    const u32 size = block->get_block_size();
    if (!fits(size)) return;
    BYTES image(size);
    block->read_block_data(image.data());
  });
  if (auto* sblock = dynamic_cast<VARNO_SBLOCK*>(block); sblock != nullptr) {
    probe_options(sblock);
    return;
  }
  if (auto* dblock = dynamic_cast<VARNO_DBLOCK*>(block); dblock != nullptr) {
    probe_frames(block);
    probe_params(block, dblock->get_block_config());
  }
}

// The sector grid of a sector-array block at its edges and past them.
void probe_sectors(VARNO_IGEN* gen, VARNO_EBLOCK* eblock) {
  const std::string name = dynamic_cast<VARNO_BLOCK*>(eblock)->block_type_name();
  const u32 columns = eblock->x_sector_count();
  const u32 rows = eblock->y_sector_count();
  for (u32 x : around(columns)) {
    for (u32 y : around(rows)) refusable([&] { gen->get_meta_block(name, x, y); });
  }
}

}  // namespace

void probe_generator(VARNO_IGEN* gen) {
  // The model's inputs once the model is built (a sector of an empty cell
  // has none).
  if (auto* g = dynamic_cast<VARNO_GEN*>(gen); g != nullptr && g->family_pcf_info() != nullptr) {
    expect_refused("set_family_pcf after process_pcfs", [&] { gen->set_family_pcf(""); });
    expect_refused("set_device_pcf after process_pcfs", [&] { gen->set_device_pcf(""); });
    expect_refused("overwrite_block_param_type after process_pcfs",
                   [&] { gen->overwrite_block_param_type("SECTOR_ARRAY", 0, 0, 0); });
    expect_refused("m_family_pcf_info == nullptr",
                   [&] { gen->process_pcfs(false, false, false, nullptr, 0); });
  }
  const u32 count = gen->max_block_index();
  for (u32 i : around(count)) refusable([&] { gen->get_block_by_index(i); });
  refusable([&] { gen->get_block_by_index(0xFFFFFFFFu); });
  refusable([&] { gen->bt_size(); });
  refusable([&] { gen->get_block("", false); });
  refusable([&] { gen->block_index(""); });
  for (u32 i = 0; i < count; ++i) {
    VARNO_IBLOCK* block = gen->get_block_by_index(i);
    if (block == nullptr) continue;
    auto* base = dynamic_cast<VARNO_BLOCK*>(block);
    if (base != nullptr) {
      const std::string name = base->block_type_name();
      refusable([&] { gen->block_index(name); });
      refusable([&] { gen->get_block(name, false); });
    }
    refusable([&] { gen->get_block(block->block_type(), false); });
    // Only an option block is copied.
    VARNO_IBLOCK* of_type = gen->get_block(block->block_type(), false);
    if (of_type != nullptr && dynamic_cast<VARNO_SBLOCK*>(of_type) == nullptr)
      expect_refused("sblock != nullptr", [&] { gen->get_block(block->block_type(), true); });
    if (auto* eblock = dynamic_cast<VARNO_EBLOCK*>(block); eblock != nullptr) {
      probe_sectors(gen, eblock);
      for (u32 y = 0; y < eblock->y_sector_count(); ++y) {
        for (u32 x = 0; x < eblock->x_sector_count(); ++x) {
          VARNO_MBLOCK* sector = eblock->get_sector(x, y);
          if (sector != nullptr && sector->generator() != nullptr) probe_generator(sector->generator());
        }
      }
      continue;
    }
    probe_block(block);
  }

  // The setup records: every read at its size, a byte short and a byte long.
  u32 libs_count = 0;
  refusable([&] { libs_count = gen->get_2d_ip_libs_count(); });
  for (u32 ip : around(libs_count + 1)) refusable([&] { gen->get_ip_offset(ip); });
  for (u32 word = 0; word < 2; ++word) refusable([&] { gen->get_2d_pred_settings(word); });
  for (u32 word = 2; word < 4; ++word)
    expect_refused("wrd_idx == 0 || wrd_idx == 1", [&] { gen->get_2d_pred_settings(word); });
  u32 libs = 0;
  refusable([&] { libs = gen->get_2d_libs_size(); });
  for (u64 n : sizes_around(libs)) {
    if (!fits(n)) break;
    BYTES out(n);
    if (n > libs)
      expect_refused("bytes <= m_2d_libs_size", [&] { gen->copy_2d_libs(out.data(), out.size); });
    else
      refusable([&] { gen->copy_2d_libs(out.data(), out.size); });
  }
  expect_refused("dst != nullptr || bytes == 0", [&] { gen->copy_2d_libs(nullptr, libs + 1); });
  u32 s4 = 0;
  bool s4_sized = false;
  refusable([&] {
    s4 = gen->get_s4_setup_size();
    s4_sized = true;
  });
  for (u64 n : sizes_around(s4)) {
    if (!fits(n)) break;
    BYTES out(n);
    if (n == 0) {
      expect_refused("addr != nullptr && bytes > 0", [&] { gen->copy_s4_setup(out.data(), out.size); });
    } else if (s4_sized && n > s4) {
      expect_refused(s4 == 0 ? "m_s4_setup_size > 0" : "bytes <= m_s4_setup_size",
                     [&] { gen->copy_s4_setup(out.data(), out.size); });
    } else {
      refusable([&] { gen->copy_s4_setup(out.data(), out.size); });
    }
  }
  expect_refused("addr != nullptr && bytes > 0", [&] { gen->copy_s4_setup(nullptr, s4); });
  std::vector<u32> types;
  refusable([&] { gen->get_korvia_codebook_types(types); });
  for (u32 i = 0; i < count; ++i) {
    if (VARNO_IBLOCK* b = gen->get_block_by_index(i); b != nullptr) types.push_back(b->block_type());
  }
  std::sort(types.begin(), types.end());
  types.erase(std::unique(types.begin(), types.end()), types.end());
  for (bool ext : {false, true}) {
    u32 setup = 0;
    refusable([&] { setup = gen->get_decomp_setup_size(ext); });
    if (!fits(u64{setup} + 1)) continue;
    for (u64 n : sizes_around(setup)) {
      for (u32 thread : around(QV_MAX_DC_THREADS)) {
        BYTES out(n);
        auto copy = [&] { gen->copy_decomp_setup(out.data(), out.size, thread, nullptr, 0, ext); };
        if (thread >= QV_MAX_DC_THREADS)
          expect_refused("DC thread index (" + std::to_string(thread) + ") must be < 2", copy);
        else if (n < setup)
          expect_refused("bytes >= data_size", copy);
        else
          refusable(copy);
      }
      for (u32 type : types) {
        BYTES out(n);
        auto copy = [&] { gen->copy_decomp_setup(out.data(), out.size, 0, nullptr, type, ext); };
        if (n < setup)
          expect_refused("bytes >= data_size", copy);
        else
          refusable(copy);
      }
    }
    expect_refused("addr != nullptr", [&] { gen->copy_decomp_setup(nullptr, setup, 0, nullptr, 0, ext); });
  }
  for (u32 type : types) {
    u32 size = 0;
    refusable([&] { size = gen->get_korvia_codebook_size(type); });
    if (size == 0 || !fits(u64{size} + 1)) continue;
    std::vector<u64> lengths = sizes_around(size);
    lengths.insert(lengths.end(), {1, 255, 256, 257});
    for (u64 n : lengths) {
      for (bool low_first : {false, true}) {
        BYTES out(n);
        auto copy = [&] { gen->copy_korvia_codebook(out.data(), out.size, type, low_first); };
        if (n < 2048)
          expect_refused("bytes >= TK_GZIP_KORVIA_CODEBOOK_SIZE", copy);
        else
          refusable(copy);
      }
    }
    expect_refused("addr != nullptr", [&] { gen->copy_korvia_codebook(nullptr, size, type, true); });
  }
}

void probe_group(VARNO_IGEN* gen, VARNO_IMBLOCK_GROUP* group) {
  for (u32 thread : around(QV_MAX_DC_THREADS)) {
    refusable([&] { group->is_thread_active(thread); });
    refusable([&] { group->get_comp_ratio(thread); });
    u32 blocks = 0;
    refusable([&] { blocks = group->group_num_blocks(thread); });
    for (u32 k : around(blocks)) refusable([&] { group->block(static_cast<int>(k), thread); });
    refusable([&] { group->block(-1, thread); });
    u32 size = 0;
    refusable([&] { size = group->get_thread_size(thread); });
    if (fits(u64{size} + 1)) {
      for (u64 n : sizes_around(size)) {
        BYTES out(n);
        refusable([&] { group->get_thread_data(out.data(), out.size, thread); });
      }
    }
    u32 setup = 0;
    refusable([&] { setup = group->get_2d_setup_size(thread); });
    if (fits(setup)) {
      BYTES out(setup);
      refusable([&] { group->get_2d_setup_data(out.data(), thread); });
    }
    for (bool ext : {false, true}) {
      u32 record = 0;
      refusable([&] { record = gen->get_decomp_setup_size(ext); });
      if (!fits(u64{record} + 1)) continue;
      for (u64 n : sizes_around(record)) {
        BYTES out(n);
        refusable([&] { gen->copy_decomp_setup(out.data(), out.size, thread, group, 0, ext); });
      }
    }
  }
  refusable([&] { group->get_sg_param(); });
  u32 descriptor = 0, full = 0;
  refusable([&] {
    descriptor = group->get_group_descriptor_size();
    full = group->get_group_full_size();
  });
  if (fits(u64{descriptor} + 1)) {
    for (u64 n : sizes_around(descriptor)) {
      BYTES out(n);
      refusable([&] { group->get_group_descriptor_data(out.data(), out.size); });
    }
  }
  const u64 data = full > descriptor ? full - descriptor : 0;
  if (fits(data + 1)) {
    for (u64 n : sizes_around(data)) {
      BYTES out(n);
      refusable([&] { group->get_group_data(out.data(), out.size); });
    }
  }
}

namespace {

const char* const ONE_CHAIN =
    "merge_by_routing with hash on a bit-field list that holds hash blocks already: a bitstream has one hash "
    "chain, so add every hashed field, then merge once";

// The positions of a merge's hash blocks, the front one first.
std::vector<u32> chain_positions(const std::vector<u32>& hashes) {
  std::vector<u32> chain = hashes;
  std::sort(chain.begin(), chain.end());
  for (u32 k = 0; k < chain.size(); ++k) chain[k] += k;
  return chain;
}

}  // namespace

void probe_top(VARNO_ITOP_BITSTREAM* top, u32 block_size, const std::vector<u32>& hashes) {
  const u32 count = top->get_bitfield_count();
  expect_refused("data != NULL || size == 0", [&] { top->add_bitfield(nullptr, 1, 0, true, false); });
  if (count > 0) {
    expect_refused("block_size > 0",
                   [&] { top->merge_by_routing(0, 0, count - 1, false, VARNO_SHA_MODE_256); });
    if (top->get_bitfield_data(0) != nullptr) {
      expect_refused("dest != NULL",
                     [&] { top->insert_block_hash_to_address(0, 0, VARNO_SHA_MODE_256, nullptr); });
    }
  }
  // A merge returns where it linked each hash block of its chain, the
  // front one last: block k of the chain was linked before the k in front
  // of it, so it stands k further on. A merge over any of them would change
  // what they hashed, and one with hash would start a second chain.
  const std::vector<u32> chain = chain_positions(hashes);
  for (const u32 at : chain) {
    for (bool hash : {false, true}) {
      expect_refused("merge_by_routing over a hash block of an earlier merge",
                     [&] { top->merge_by_routing(block_size, at, at, hash, VARNO_SHA_MODE_256); });
    }
  }
  if (!chain.empty() && chain.front() > 0 && top->get_bitfield_size(chain.front() - 1) <= block_size) {
    const u32 before = chain.front() - 1;
    expect_refused(ONE_CHAIN, [&] { top->merge_by_routing(block_size, before, before, true, VARNO_SHA_MODE_256); });
  }
  for (u32 index : around(count)) {
    refusable([&] {
      top->get_bitfield_size(index);
      top->get_bitfield_data(index);
    });
    refusable([&] { top->get_bitfiled_routings(index, count); });
    refusable([&] { top->get_bitfiled_routings(0, index); });
    const u32 size = top->get_bitfield_size(index);
    for (u64 n : sizes_around(size)) {
      for (VARNO_SHA_MODE mode : {VARNO_SHA_MODE_256, VARNO_SHA_MODE_384}) {
        u8 digest[64];
        refusable([&] { top->insert_block_hash_to_address(index, static_cast<u32>(n), mode, digest); });
      }
    }
  }
}

void probe_group_setup(VARNO_IGEN* gen) {
  auto* eblock = dynamic_cast<VARNO_EBLOCK*>(gen->get_block("SECTOR_ARRAY", false));
  if (eblock == nullptr) return;
  const std::string name = "SECTOR_ARRAY";
  const u32 columns = eblock->x_sector_count();
  const u32 rows = eblock->y_sector_count();
  refusable([&] {
    std::unique_ptr<VARNO_IMBLOCK_GROUP> group(gen->create_group());
    VARNO_IMBLOCK* first = gen->get_meta_block(name, 0, 0);
    if (first == nullptr) return;
    refusable([&] { group->add_mblock(first, QV_MAX_DC_THREADS); });
    for (u32 k = 0; k <= QV_MAX_BLOCKS_PER_THREAD; ++k) refusable([&] { group->add_mblock(first, 0); });
    for (u32 thread : around(QV_MAX_DC_THREADS)) {
      refusable([&] { group->group_num_blocks(thread); });
      for (u32 k : around(QV_MAX_BLOCKS_PER_THREAD)) refusable([&] { group->block(static_cast<int>(k), thread); });
      refusable([&] { group->block(-1, thread); });
    }
    for (u32 sector : around(columns * rows)) {
      refusable([&] { group->set_sector_frame_range(0, 1, 0, sector, 0, "CRAM", false); });
    }
    refusable([&] { group->set_sector_frame_range(0, 1, QV_MAX_DC_THREADS, 0, 0, "CRAM", false); });
  });
}

void probe_shadow_masks(VARNO_IGEN* gen) {
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    auto* block = dynamic_cast<VARNO_SBLOCK*>(gen->get_block_by_index(i));
    if (block == nullptr) continue;
    for (const VOLD_DYN_DATA* field : block->dyn_data_list()) {
      const std::string name = enum_name(VOLD_ENUM_TYPE_DYN_DATA, field->get_dyn_data_type());
      const u32 bits = block->get_dyn_value_size(name);
      if (!fits((u64{bits} + 7) / 8)) continue;
      // A mask of the field's size with a count past the field: the
      // library reads only what the field holds.
      BYTES mask((u64{bits} + 7) / 8);
      std::fill(mask.data(), mask.data() + mask.size, u8{0xFF});
      refusable([&] { block->set_option_shadow_mask(name, mask.data(), bits + 9); });
      refusable([&] {
        BYTES value((u64{bits} + 7) / 8);
        block->read_dyn_value(name, value.data(), 0, bits);
        block->write_dyn_value(name, value.data(), 0, bits, nullptr);
      });
    }
  }
}

namespace {

// A byte of a hashed field changed after the merge, behind the chain's
// first hash block and behind its second: write_to_file names the field and
// the hash block that holds its digest, and takes a range that leaves the
// field out, the field with its new digest where the old one stood and
// every digest above it in the chain renewed, and the byte put back. The
// first digest of a hash block is that of the first hashed field behind
// it; a field before it with the same bytes is not hashed, and is taken; so
// is a changed byte in front of the chain, which no digest covers. A byte
// of a hash block outside its digests is refused, even with every digest
// above the block renewed, and taken put back.
void probe_changed_hashed_bytes(VARNO_ITOP_BITSTREAM* top, u32 block_size, const std::vector<u32>& hashes,
                                VARNO_SHA_MODE mode) {
  const std::vector<u32> chain = chain_positions(hashes);
  const u32 count = top->get_bitfield_count();
  const u32 digest_size = mode == VARNO_SHA_MODE_256 ? 32 : 48;
  const std::string path = work_dir() + "/changed.bin";
  const auto write = [&](u32 first) {
    top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, first, count - 1, false);
    std::remove(path.c_str());
  };
  // Digests put anew, each with the one it replaced, to be put back.
  using SAVED = std::vector<std::pair<u8*, std::vector<u8>>>;
  const auto put = [&](u32 field, u8* slot, SAVED& saved) {
    saved.emplace_back(slot, std::vector<u8>(slot, slot + digest_size));
    top->insert_block_hash_to_address(field, block_size, mode, slot);
  };
  // The digest of chain block k > 0 is the last one of the block before it.
  const auto renew_above = [&](size_t k, SAVED& saved) {
    for (; k > 0; --k) {
      u8* before = top->get_bitfield_data(chain[k - 1]);
      put(chain[k], before + 16 + (read_u32(before + 8) - 1) * digest_size, saved);
    }
  };
  const auto put_back = [&](SAVED& saved) {
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) std::memcpy(it->first, it->second.data(), digest_size);
    saved.clear();
  };
  const auto changed = [&](u32 field, size_t k) {
    const u32 holder = chain[k];
    u8 old_digest[48];
    top->insert_block_hash_to_address(field, block_size, mode, old_digest);
    u8* byte = top->get_bitfield_data(field);
    *byte ^= 1;
    bool refused = false;
    try {
      write(0);
    } catch (const msg_internal_error& e) {
      const std::string text = "Top bitstream write_to_file() over bit field " + std::to_string(field) +
                               ", whose bytes changed after merge_by_routing() hashed them: they no longer "
                               "match their digest in the hash block at bit field " + std::to_string(holder) +
                               " (put the new digest there with insert_block_hash_to_address())";
      if (text != e.what()) {
        std::fprintf(stderr, "refused with \"%s\", expected \"%s\"\n", e.what(), text.c_str());
        finding("a changed hashed byte refused with another text");
      }
      if (std::filesystem::exists(path)) finding("a refused bitstream was written");
      refused = true;
    }
    if (field + 1 < count) expect_taken("write_to_file of a range without the changed field", [&] { write(field + 1); });
    u8* holder_data = top->get_bitfield_data(holder);
    u32 at = 16;
    while (at + digest_size <= top->get_bitfield_size(holder) &&
           std::memcmp(holder_data + at, old_digest, digest_size) != 0) {
      at += digest_size;
    }
    if (refused && at + digest_size > top->get_bitfield_size(holder)) {
      finding("the hash block a refusal names holds no digest of the field");
    } else if (refused) {
      SAVED saved;
      put(field, holder_data + at, saved);
      renew_above(k, saved);
      expect_taken("write_to_file of a field patched with every digest above it renewed", [&] { write(0); });
      put_back(saved);
    }
    *byte ^= 1;
    expect_taken("write_to_file with the byte put back", [&] { write(0); });
    return refused;
  };
  if (chain.front() > 0 && top->get_bitfield_data(0) != nullptr && top->get_bitfield_size(0) > 0) {
    top->get_bitfield_data(0)[0] ^= 1;
    expect_taken("write_to_file with a changed field in front of the chain", [&] { write(0); });
    top->get_bitfield_data(0)[0] ^= 1;
  }
  for (size_t k = 0; k < std::min<size_t>(chain.size(), 2); ++k) {
    const u8* block = top->get_bitfield_data(chain[k]);
    for (u32 j = chain[k] + 1; j < count; ++j) {
      if (std::find(chain.begin(), chain.end(), j) != chain.end()) break;
      if (top->get_bitfield_size(j) < block_size || top->get_bitfield_data(j) == nullptr) continue;
      u8 digest[48];
      top->insert_block_hash_to_address(j, block_size, mode, digest);
      if (std::memcmp(digest, block + 16, digest_size) != 0) continue;
      if (changed(j, k)) {
        note("changed hashed bytes: bit field %u behind hash block %zu refused", j, k + 1);
        break;
      }
    }
  }

  // The front, second and last hash blocks outside their digests: a byte
  // of the header words, routing table or zero tail changed is refused,
  // with every digest above the block renewed; put back, taken.
  std::vector<size_t> probed = {0};
  if (chain.size() > 1) probed.push_back(1);
  if (chain.size() > 2) probed.push_back(chain.size() - 1);
  for (const size_t k : probed) {
    u8* block = top->get_bitfield_data(chain[k]);
    const u32 size = top->get_bitfield_size(chain[k]);
    const u32 digests_end = 16 + read_u32(block + 8) * digest_size;
    const u32 table_end = digests_end + 4 * ((read_u32(block + 12) + 15) / 16);
    const std::string which =
        k == 0 ? "the chain's first hash block" : "the chain's hash block " + std::to_string(k + 1);
    for (const u32 at : {0u, 4u, 8u, 12u, digests_end, table_end, size - 1}) {
      if (at >= size || (at >= 16 && at < digests_end)) continue;
      const char* where = at < 16 ? "its header words" : at < table_end ? "its routing table"
                                                                        : "the zero bytes after its routing table";
      block[at] ^= 0x08;
      SAVED saved;
      renew_above(k, saved);
      expect_refused("Top bitstream write_to_file() over bit field " + std::to_string(chain[k]) + ", " + which +
                         ", whose byte " + std::to_string(at) + " (in " + where +
                         ") changed after merge_by_routing() wrote it: only its digests may be put anew, with "
                         "insert_block_hash_to_address()",
                     [&] { write(0); });
      put_back(saved);
      block[at] ^= 0x08;
    }
    note("hash block %zu of %zu refused outside its digests", k + 1, chain.size());
  }
  expect_taken("write_to_file with the hash blocks put back", [&] { write(0); });
}

// The frames of every block a group collected, thread 0's then thread 1's,
// as a plain model of what the group compares: each frame's bytes and
// command marks.
using FRAMES = std::vector<std::vector<u8>>;
FRAMES frames_of(VARNO_MBLOCK_GROUP* group) {
  FRAMES all;
  for (u32 thread = 0; thread < QV_MAX_DC_THREADS; ++thread) {
    for (VARNO_BLOCK* block : group->thread(thread).m_DBlocksArray) {
      std::vector<u8>& out = all.emplace_back();
      auto* dblock = dynamic_cast<VARNO_DBLOCK*>(block);
      for (u32 i = 0; dblock != nullptr && dblock->get_frame(i) != nullptr; ++i) {
        const VARNO_FRAME* frame = dblock->get_frame(i);
        const u32 size = frame->get_frame_size();
        const size_t at = out.size();
        out.resize(at + 5 + size);
        std::memcpy(out.data() + at, &size, 4);
        out[at + 4] = static_cast<u8>(frame->m_command_flag | frame->m_second_command_flag << 1);
        frame->get_frame_data(out.data() + at + 5, size);
      }
    }
  }
  return all;
}

// A collected group hands out what its blocks hold. After a frame of a fed
// block it collected is patched, written through its pointer, or rebuilt
// from its buffer changed in place, the read-outs that hand out bytes (the
// descriptor, the block's thread's data) refuse, naming the first collected
// block whose frames now differ, exactly when one does; once put back (and
// rebuilt), they hand out the same bytes as before.
void probe_changed_frames(VARNO_IGEN* gen, VARNO_MBLOCK_GROUP* group, const FED_BLOCK& fed) {
  VARNO_DBLOCK* block = fed.block;
  if (group == nullptr || !block->built() || block->get_number_of_frames() == 0) return;
  const u32 thread = std::find(group->thread(0).m_DBlocksArray.begin(), group->thread(0).m_DBlocksArray.end(),
                               block) != group->thread(0).m_DBlocksArray.end() ? 0 : 1;
  const u32 descriptor_size = group->get_group_descriptor_size();
  const u32 thread_size = group->get_thread_size(thread);
  if (!fits(u64{descriptor_size} + thread_size)) return;
  const auto read = [&] {
    std::vector<u8> out(u64{descriptor_size} + thread_size);
    group->get_group_descriptor_data(out.data(), descriptor_size);
    group->get_thread_data(out.data() + descriptor_size, thread_size, thread);
    return out;
  };
  // A thread the road could not read (a layout the library refuses) has
  // nothing to compare.
  std::vector<u8> collected;
  bool readable = false;
  refusable([&] {
    collected = read();
    readable = true;
  });
  if (!readable) return;
  const FRAMES frames = frames_of(group);
  const auto check = [&](const char* what) {
    const FRAMES now = frames_of(group);
    const std::vector<VARNO_BLOCK*>& t0 = group->thread(0).m_DBlocksArray;
    const auto first_changed = [&](u32 from, u32 to) -> VARNO_BLOCK* {
      for (u32 i = from; i < to; ++i) {
        if (now[i] != frames[i]) return i < t0.size() ? t0[i] : group->thread(1).m_DBlocksArray[i - t0.size()];
      }
      return nullptr;
    };
    const auto text = [](const char* call, VARNO_BLOCK* b) {
      return "Block group " + std::string(call) + "() called after the frames of the " + b->block_type_name() +
             " block" + b->sector_position() + " changed since collect_data()";
    };
    VARNO_BLOCK* any = first_changed(0, static_cast<u32>(frames.size()));
    VARNO_BLOCK* own = thread == 0 ? first_changed(0, static_cast<u32>(t0.size()))
                                   : first_changed(static_cast<u32>(t0.size()), static_cast<u32>(frames.size()));
    note("%s: %s", what, any == nullptr ? "taken" : "refused");
    if (any == nullptr) {
      expect_taken(what, [&] {
        if (read() != collected) finding("a group read out with its frames as collected gave other bytes");
      });
      return;
    }
    std::vector<u8> out(u64{descriptor_size} + thread_size);
    expect_refused(text("get_group_descriptor_data", any),
                   [&] { group->get_group_descriptor_data(out.data(), descriptor_size); });
    if (own != nullptr) {
      expect_refused(text("get_thread_data", own), [&] { group->get_thread_data(out.data(), thread_size, thread); });
    }
  };

  u8 byte = 0;
  if (block->get_frame_single_byte(0, 0, byte)) {
    for (const u8 value : {static_cast<u8>(~byte), byte}) {
      if (!block->update_frame_data(0, 0, value)) finding("update_frame_data of a byte just read failed");
      check("a group with a frame patched");
    }
  }
  const VARNO_FRAME* frame = block->get_frame(0);
  if (!frame->segments().empty() && frame->segments().front()->size() > 0) {
    for (int k = 0; k < 2; ++k) {
      block->get_frame_data_ptr(0)[0] ^= 0x80;
      check("a group with a frame written through its pointer");
    }
  }
  // Rebuilt from the host's buffer changed in place: the block alone, or
  // the whole generator where the 2D merge rewrites the frames.
  if (block->get_number_of_frames() > MAX_REBUILT_FRAMES || block->get_block_size() > MAX_REBUILT_BYTES) return;
  const bool two_d = gen->get_mgr_param()->qv_2d_compression != 0 || block->get_2d_engine() != nullptr;
  const auto rebuild = [&] { return two_d ? gen->do_all_blocks() : block->process(false); };
  u8* design = const_cast<u8*>(fed.data);
  design[0] ^= 0x01;
  refusable([&] {
    if (rebuild()) check("a group rebuilt from changed design data");
  });
  design[0] ^= 0x01;
  bool rebuilt = false;
  expect_taken("a rebuild from the design data put back", [&] { rebuilt = rebuild(); });
  if (!rebuilt) finding("a rebuild from the design data put back failed");
  check("a group rebuilt from its design data put back");
}

}  // namespace

void probe_refused_stale_outputs(VARNO_IGEN* gen, VARNO_IMBLOCK_GROUP* group, const std::vector<FED_BLOCK>& fed,
                                 VARNO_ITOP_BITSTREAM* top, u32 block_size, const std::vector<u32>& hashes,
                                 VARNO_SHA_MODE mode) {
  // An option block's CRC word: one bit of a field flipped makes it stale
  // and the read-out refuses; flipped back it is right again.
  for (u32 i = 0; i < gen->max_block_index(); ++i) {
    auto* block = dynamic_cast<VARNO_SBLOCK*>(gen->get_block_by_index(i));
    if (block == nullptr || !block->built() || !block->has_crc() || block->crc_stale()) continue;
    const u32 size = block->get_block_size();
    if (!fits(size)) continue;
    BYTES image(size);
    for (const VOLD_DYN_DATA* field : block->dyn_data_list()) {
      const std::string name = enum_name(VOLD_ENUM_TYPE_DYN_DATA, field->get_dyn_data_type());
      u8 bit = 0;
      if (block->read_dyn_value(name, &bit, 0, 1) != 1) continue;
      bit ^= 1;
      block->write_dyn_value(name, &bit, 0, 1, nullptr);
      if (block->crc_stale()) {
        expect_refused("Block " + std::string(block->block_type_name()) + block->sector_position() +
                           " read with a stale CRC word: its image changed after the CRC was computed; call "
                           "crc_update() first",
                       [&] { block->read_block_data(image.data()); });
      }
      bit ^= 1;
      block->write_dyn_value(name, &bit, 0, 1, nullptr);
      if (block->crc_stale()) finding("an option block's image put back leaves its CRC word stale");
      expect_taken("read_block_data of an option block put back", [&] { block->read_block_data(image.data()); });
      break;
    }
  }
  if (VARNO_BLOCK* block = first_fed_collected(group, fed); block != nullptr) {
    const auto f = std::find_if(fed.begin(), fed.end(), [&](const FED_BLOCK& x) { return x.block == block; });
    probe_changed_frames(gen, dynamic_cast<VARNO_MBLOCK_GROUP*>(group), *f);
  }
  if (top != nullptr && !hashes.empty()) probe_changed_hashed_bytes(top, block_size, hashes, mode);
  // A hashed field added behind the road's hash blocks has no digest in
  // them, and no second chain may cover it: the bitstream is not written.
  if (top != nullptr && !hashes.empty()) {
    static u8 extra[16];
    const u32 at = top->get_bitfield_count();
    top->add_bitfield(extra, sizeof extra, VARNO_QV_ROUTING_GROUP_DATA, true, true);
    const std::string path = work_dir() + "/uncovered.bin";
    expect_refused("Top bitstream write_to_file() over bit field " + std::to_string(at) +
                       ", marked hashed, which no hash block covers: it came after merge_by_routing() inserted "
                       "the hash blocks",
                   [&] { top->write_to_file(path, VARNO_OUTPUT_FORMAT_RAW, 0, at, false); });
    if (std::filesystem::exists(path)) finding("a refused bitstream was written");
    if (block_size >= sizeof extra) {
      expect_refused(ONE_CHAIN, [&] { top->merge_by_routing(block_size, at, at, true, VARNO_SHA_MODE_256); });
    }
  }
}

namespace {

// A host that rebuilds a built block in part: frame ranges at and past its
// end, then from a new buffer, shorter than the one it was built from,
// which the build must refuse or stay inside.
void shorter_data(const FED_BLOCK& fed) {
  VARNO_DBLOCK* block = fed.block;
  // A block fed in two slots was given its data again by the probe of the
  // first: its frames no longer read.
  if (block->build_state() != VARNO_BLOCK::BUILD_STATE::BUILT) return;
  const u32 frames = block->get_number_of_frames();
  if (frames == 0) return;
  if (frames > MAX_REBUILT_FRAMES || block->get_block_size() > MAX_REBUILT_BYTES) {
    note("shorter data: %u frames of %u bytes, not rebuilt", frames, block->get_block_size());
    return;
  }
  u32 core = 0;
  if (VARNO_FRAME* last = block->get_frame(frames - 1); last != nullptr)
    core = last->get_segment_size(VARNO_FRAME_SEGMENT_DATA);
  const u32 potential = block->get_number_of_potential_frames();
  const u32 last = (potential > 0 ? potential : frames) - 1;
  // Ranges that end at the last frame, run past it or start past it.
  for (u32 first : {last, last + 1}) refusable([&] { block->partial_process(first, last + 1); });
  refusable([&] { block->partial_process(last, last); });
  for (u64 cut : {u64{8}, u64{core} * 8}) {
    if (cut == 0 || cut >= fed.bits) continue;
    const u64 bits = fed.bits - cut;
    std::unique_ptr<u8[]> shorter(new u8[(bits + 7) / 8]);
    std::memcpy(shorter.get(), fed.data, (bits + 7) / 8);
    const auto slot = static_cast<VARNO_BLOCK_DATA_TYPE>(fed.slot);
    refusable([&] {
      block->set_data(slot, shorter.get(), static_cast<u32>(bits), nullptr);
      // A partial build would add frames of the new data to those of the
      // old; the whole build must refuse the buffer or stay inside it.
      if (block->partial_process(0, last)) finding("a partial build of a changed block was not refused");
      block->process(false);
    });
    // The block must not keep a pointer to a buffer that is about to go.
    refusable([&] { block->set_data(slot, const_cast<u8*>(fed.data), fed.bits, nullptr); });
  }
}

}  // namespace

void probe_shorter_data(const std::vector<FED_BLOCK>& fed) {
  for (const FED_BLOCK& f : fed) shorter_data(f);
}

void probe_refused_group_mistakes(VARNO_IGEN* gen, VARNO_IMBLOCK_GROUP* group) {
  if (group != nullptr) {
    const u32 descriptor = group->get_group_descriptor_size();
    const u32 data = group->get_group_full_size() - descriptor;
    if (descriptor > 0)
      expect_refused("out != nullptr", [&] { group->get_group_descriptor_data(nullptr, descriptor); });
    // An uncompressed group has no group data, and its threads' data only
    // where a frame of its blocks has bytes.
    // The road sets the flag before it creates the group, which reads it.
    const bool compressed = gen->get_mgr_param()->group_compressed != 0;
    if (data > 0 && compressed) expect_refused("out != nullptr", [&] { group->get_group_data(nullptr, data); });
    if (!compressed && fits(data)) {
      BYTES out(data);
      expect_refused("Block group get_group_data() called on a group that is not compressed: read its threads "
                     "with get_thread_data(), or set group_compressed in the record of the generator that "
                     "creates the group before create_group()",
                     [&] { group->get_group_data(out.data(), out.size); });
    }
    for (u32 thread = 0; thread < QV_MAX_DC_THREADS; ++thread) {
      const u32 size = group->get_thread_size(thread);
      if (size > 0 && compressed)
        expect_refused("out != nullptr", [&] { group->get_thread_data(nullptr, size, thread); });
      if (VARNO_IMBLOCK* sector = group->block(0, thread); sector != nullptr) {
        expect_refused("Block group add_mblock() called after collect_data()",
                       [&] { group->add_mblock(sector, thread); });
      }
    }
    expect_refused("Block group collect_data() called more than once", [&] { group->collect_data(false); });
  }
  if (gen->get_block("SECTOR_ARRAY", false) != nullptr) {
    refusable([&] {
      std::unique_ptr<VARNO_IMBLOCK_GROUP> fresh(gen->create_group());
      expect_refused("Block group get_group_full_size() called before collect_data()",
                     [&] { fresh->get_group_full_size(); });
      expect_refused("Block group collect_data() called on a group with no blocks",
                     [&] { fresh->collect_data(false); });
    });
  }
}

void probe_refused_data_mistakes(VARNO_IMBLOCK_GROUP* group, const std::vector<FED_BLOCK>& fed) {
  for (const FED_BLOCK& f : fed) {
    const auto slot = static_cast<VARNO_BLOCK_DATA_TYPE>(f.slot);
    const std::string name = std::string(f.block->block_type_name()) + f.block->sector_position();
    expect_refused("set_data on block " + name + ": null data of " + std::to_string(f.bits) + " bits",
                   [&] { f.block->set_data(slot, nullptr, f.bits, nullptr); });
    f.block->set_data(slot, const_cast<u8*>(f.data), f.bits, nullptr);
    const std::string changed = "Block " + name + " read before a rebuild: its design data came after ";
    expect_refused(changed + "do_all_blocks built it", [&] { f.block->get_number_of_frames(); });
    // A partial build would mix the frames of two designs.
    if (f.block->partial_process(0, 0)) finding("a partial build of a changed block was not refused");
    expect_refused(changed + "do_all_blocks built it", [&] { f.block->get_number_of_frames(); });
  }
  // A build that skips a changed block does not take the change back.
  if (!fed.empty()) {
    const FED_BLOCK& f = fed.front();
    f.block->set_skip_processing();
    expect_taken("a skipped build", [&] { f.block->process(false); });
    expect_refused("Block " + std::string(f.block->block_type_name()) + f.block->sector_position() +
                       " read before a rebuild: its design data came after its build, and the build since "
                       "skipped it (skip_block_processing)",
                   [&] { f.block->get_number_of_frames(); });
  }
  // Every fed block is changed now: a group that collected one names the
  // first it collected.
  if (VARNO_BLOCK* block = first_fed_collected(group, fed); block != nullptr) {
    expect_refused("Block group get_group_full_size() called after the " + std::string(block->block_type_name()) +
                       " block" + block->sector_position() + " was given design data since collect_data()",
                   [&] { group->get_group_full_size(); });
  }
}

}  // namespace varno_fuzz
