// The host of docs/host.md: the QUELVO example device (a 2 x 2 sector grid),
// CRAM design data for every sector, one CRAM block group over the four
// sectors and the top-level bitstream with SHA-256 hash blocks, written as a
// raw file.
//
//   varno_guide_host DDB_DIR DATA_DIR BITSTREAM_FILE
//
// Exit status: 0 success, 1 bad input, 2 the library reported a failure,
// 3 an internal check of the library failed.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "msg.h"
#include "varno_block_group.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_itop_bitstream.h"
#include "vold.h"

namespace {

// Thrown by the handler: main catches it once everything is released.
struct INTERNAL_ERROR {};

// The library's internal errors, with the device database's reason when a
// parameter file did not load.
[[noreturn]] void on_internal_error(const std::string& text, const char* module,
                                    const char* file, int line) {
  std::fprintf(stderr, "internal error in %s (%s:%d): %s\n", module, file, line, text.c_str());
  const std::string& reason = VOLD_DATA_SERVER::last_error();
  if (!reason.empty()) std::fprintf(stderr, "device database: %s\n", reason.c_str());
  throw INTERNAL_ERROR{};
}

bool read_file(const std::string& path, std::vector<u8>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int run(const std::string& ddb, const std::string& data_dir, const std::string& output) {
  const std::string family = ddb + "/quelvo_family.ddb";
  const std::string device = ddb + "/quelvo_device.ddb";

  // 1. The device type of the top-level device, from its device file.
  u32 device_type = 0;
  {
    std::unique_ptr<VOLD_INFO> info(VOLD_DATA_SERVER::get_vold_info(device, true));
    if (info == nullptr || info->get_device_info() == nullptr) {
      std::fprintf(stderr, "%s: %s\n", device.c_str(), VOLD_DATA_SERVER::last_error().c_str());
      return 1;
    }
    device_type = info->get_device_info()->get_device_type();
  }

  // 2. The generator, and the top generator's switches for a CRAM group.
  std::unique_ptr<VARNO_IGEN> gen(varno_get_factory()->create_generator());
  gen->set_family_pcf(family);
  gen->set_device_pcf(device);
  VARNO_MGR_PARAM* param = gen->get_mgr_param();
  param->group_compressed = 1;
  param->s4_variant = 0;

  // 3. The model: the top-level blocks, then every sector's.
  const u32 status = gen->process_pcfs(false, false, false, nullptr, device_type);
  if (status != VARNO_PCF_OK) {
    std::fprintf(stderr, "process_pcfs: status %u\n", status);
    return 2;
  }
  std::printf("process_pcfs: %u blocks\n", gen->max_block_index());

  // 4. Each sector's CRAM image, in bits. Every build reads the buffers, so
  // they live, unchanged, as long as the generator: here until the end.
  VARNO_IBLOCK* array = gen->get_block("SECTOR_ARRAY", false);
  const u32 columns = array->get_param_value("ARRAY_COUNT", 0u);
  const u32 rows = array->get_param_value("ARRAY_COUNT", 1u);
  std::vector<std::vector<u8>> images(columns * rows);
  std::vector<VARNO_IMBLOCK*> sectors;
  for (u32 y = 0; y < rows; ++y) {
    for (u32 x = 0; x < columns; ++x) {
      VARNO_IMBLOCK* sector = gen->get_meta_block("SECTOR_ARRAY", x, y);
      const u32 cell = y * columns + x;
      const std::string type =
          VARNO_EBLOCK::get_vold_mapped_name("sector_", array->get_param_value("ARRAY_TYPE", cell));
      VARNO_IBLOCK* cram = sector->generator()->get_block("CRAM", false);
      if (cram == nullptr) {
        std::fprintf(stderr, "sector (%u, %u) of type %s has no CRAM block\n", x, y, type.c_str());
        return 1;
      }
      const u64 bits = u64{cram->get_param_value("CRAM_FRAME_COUNT", 0u)} *
                       cram->get_param_value("CRAM_BIT_COUNT", 0u);
      const std::string path = data_dir + "/cram_" + type + ".bin";
      std::vector<u8>& image = images[cell];
      if (!read_file(path, image) || image.size() != (bits + 7) / 8) {
        std::fprintf(stderr, "%s: sector (%u, %u) takes %llu bits of CRAM image\n", path.c_str(),
                     x, y, static_cast<unsigned long long>(bits));
        return 1;
      }
      cram->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), static_cast<u32>(bits), nullptr);
      sectors.push_back(sector);
      std::printf("sector (%u, %u): type %s, %llu bits of CRAM\n", x, y, type.c_str(),
                  static_cast<unsigned long long>(bits));
    }
  }

  // 5. The frames, then the CRC word of the option block the bitstream takes.
  if (!gen->do_all_blocks()) {
    std::fprintf(stderr, "do_all_blocks: a block could not be built\n");
    return 2;
  }
  VARNO_IBLOCK* options = gen->get_block("OPTION_BITS", false);
  options->crc_update();
  std::vector<u8> option_image(options->get_block_size());
  options->read_block_data(option_image.data());

  // 6. One CRAM group: the first half of the sectors on thread 0, the rest
  // on thread 1.
  std::unique_ptr<VARNO_IMBLOCK_GROUP> group(gen->create_group());
  group->set_group_type("CRAM", "");
  for (size_t i = 0; i < sectors.size(); ++i)
    group->add_mblock(sectors[i], i < (sectors.size() + 1) / 2 ? 0 : 1);
  group->collect_data(false);
  const u32 descriptor_size = group->get_group_descriptor_size();
  const u32 data_size = group->get_group_full_size() - descriptor_size;
  std::vector<u8> descriptor(descriptor_size);
  group->get_group_descriptor_data(descriptor.data(), descriptor_size);
  std::vector<u8> data(data_size, 0);
  group->get_group_data(data.data(), data_size);
  std::printf("group: descriptor %u bytes, data %u bytes (threads %u and %u bytes)\n",
              descriptor_size, data_size, group->get_thread_size(0), group->get_thread_size(1));

  // 7. The bitstream: the option bits as they are, then the descriptor and
  // the data pages, hashed, merged into pages with SHA-256 hash blocks.
  std::unique_ptr<VARNO_ITOP_BITSTREAM> top(gen->create_top_bitstream());
  top->add_bitfield(option_image.data(), static_cast<u32>(option_image.size()),
                    VARNO_QV_ROUTING_CONFIG, true, false);
  const u32 first = top->get_bitfield_count();
  for (u32 at = 0; at < descriptor_size; at += VARNO_GROUP_PAGE_SIZE) {
    top->add_bitfield(descriptor.data() + at, std::min(VARNO_GROUP_PAGE_SIZE, descriptor_size - at),
                      VARNO_QV_ROUTING_DESCRIPTOR, true, true);
  }
  for (u32 at = 0; at < data_size; at += VARNO_GROUP_PAGE_SIZE)
    top->add_bitfield(data.data() + at, VARNO_GROUP_PAGE_SIZE, VARNO_QV_ROUTING_GROUP_DATA, true, true);
  const std::vector<u32> hashes = top->merge_by_routing(
      VARNO_GROUP_PAGE_SIZE, first, top->get_bitfield_count() - 1, true, VARNO_SHA_MODE_256);
  const u32 count = top->get_bitfield_count();
  if (!top->write_to_file(output, VARNO_OUTPUT_FORMAT_RAW, 0, count - 1, false)) {
    std::fprintf(stderr, "%s: cannot write the bitstream\n", output.c_str());
    return 2;
  }
  u64 total = 0;
  for (u32 i = 0; i < count; ++i) total += top->get_bitfield_size(i);
  std::printf("bitstream: %u bit fields, %zu hash block(s), %llu bytes in %s\n", count,
              hashes.size(), static_cast<unsigned long long>(total), output.c_str());
  return 0;
}

}  // namespace

// 8. The unique_ptrs free the bitstream, the group and the generator, in
// that order, also when the handler throws.
int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s DDB_DIR DATA_DIR BITSTREAM_FILE\n", argv[0]);
    return 1;
  }
  msg_set_internal_error_handler(on_internal_error);
  try {
    return run(argv[1], argv[2], argv[3]);
  } catch (const INTERNAL_ERROR&) {
    return 3;
  }
}
