// Fuzz target: the firmware file manager's whole build from a fuzzed
// firmware file, in each format the manager accepts (HEX records as ".hex"
// or ".ihex", ROM words as ".rom").
//
// Input: 16 header bytes, then the file's bytes.
//   0     format: 0 ".hex", 1 ".ihex", 2 ".rom", 3 an unknown extension
//   1     header version: the block whose frame descriptor word 6 is 0 to 3
//   2     fw_type, added to its default, mod 14
//   3     bit 0 tk_flow; bits 1-2: the file is named 1 to 3 times
//   4-7   firmware size per file, its low 22 bits (0: the file's size);
//         the host names the size, and real images stay below 4 MiB
//   8-9   u16 fw_frame_size (0: the default; at least 64, and raised where
//         the host's sizes would make more than MAX_DATA_FRAMES data frames)
// The block's frames are read back as a host reads them. An internal error
// is an expected outcome; anything the sanitizers or libFuzzer see is a
// finding.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "msg.h"
#include "varno_dblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"

namespace {

constexpr size_t HEADER_SIZE = 16;

// Data frames the host's sizes may ask for over all the files: 16,384.
// Every frame is a few allocations, which the sanitizers make slow: three
// files of 4 MiB in 64-byte frames (196,608 frames) took 4 s, near half the
// 10 s a run may take. Past the bound the frame size is raised, not the
// sizes lowered, so every size still meets the file's records as before;
// the lengths the manager checks need far fewer frames (the sequence byte
// wraps past 255 frames of a file; a boot image, always in 2,048-byte
// frames, takes its frames from the high region past 256), and 5,461
// frames are left to each of three files.
constexpr u32 MAX_DATA_FRAMES = 1u << 14;

// One firmware block per header version, as in tests/data/fw.
constexpr const char* FAMILY =
    "ddb family 1\n"
    "family QUELVO\n"
    "config_width 32\n"
    "block DUMMY1 data frame=QV_FW_FILE\n"
    "block DUMMY2 data frame=QV_FW_FILE w6=1\n"
    "block DUMMY3 data frame=QV_FW_FILE w6=2\n"
    "block CNT_FW data frame=QV_FW_FILE w6=3\n";
constexpr const char* DEVICE =
    "ddb device 1\n"
    "family QUELVO\n"
    "device DUMMY1\n"
    "param DUMMY1 DUMMY1 0\n";
const char* const BLOCKS[] = {"DUMMY1", "DUMMY2", "DUMMY3", "CNT_FW"};
const char* const EXTENSIONS[] = {".hex", ".ihex", ".rom", ".bin"};

void run(const std::uint8_t* data, size_t size) {
  std::vector<std::uint8_t> header(HEADER_SIZE, 0);
  const size_t h = size < HEADER_SIZE ? size : HEADER_SIZE;
  for (size_t i = 0; i < h; ++i) header[i] = data[i];
  const std::string_view body(reinterpret_cast<const char*>(data) + h, size - h);
  auto u32_at = [&](size_t at) {
    return header[at] | header[at + 1] << 8 | header[at + 2] << 16 | static_cast<u32>(header[at + 3]) << 24;
  };

  const std::string family = varno_fuzz::write_work_file("fw_family.ddb", FAMILY);
  const std::string device = varno_fuzz::write_work_file("fw_device.ddb", DEVICE);
  const std::string path = varno_fuzz::write_work_file(std::string("firmware") + EXTENSIONS[header[0] & 3], body);

  std::unique_ptr<VARNO_IGEN> gen(varno_get_factory()->create_generator());
  gen->set_family_pcf(family);
  gen->set_device_pcf(device);
  VARNO_MGR_PARAM& param = *gen->get_mgr_param();
  param.fw_type = (param.fw_type + header[2]) % 14;
  param.tk_flow = header[3] & 1;
  const u32 files = 1 + ((header[3] >> 1) & 3) % 3;
  const u32 size_field = u32_at(4) & 0x3FFFFF;
  const u32 fw_size = size_field != 0 ? size_field : static_cast<u32>(body.size());
  param.fw_sizes.assign(files, fw_size);
  // The default (2,052 bytes) frames each file below 2^22 bytes in fewer
  // than 2,045 frames.
  const u32 frame_size = header[8] | header[9] << 8;
  const u32 per_file = MAX_DATA_FRAMES / files;
  const u32 least = static_cast<u32>((u64{fw_size} + per_file - 1) / per_file);
  param.fw_frame_size = frame_size == 0 ? 0 : std::max({frame_size, u32{64}, least});
  if (gen->process_pcfs(false, false, false, nullptr, 0) != VARNO_PCF_OK) return;

  auto* block = dynamic_cast<VARNO_DBLOCK*>(gen->get_block(BLOCKS[header[1] & 3], false));
  if (block == nullptr) return;
  for (u32 i = 0; i < files; ++i) block->set_data_from_file(VARNO_BLOCK_DATA_MCU, path);
  block->process(false);

  std::vector<u8> frame;
  for (u32 i = 0; i < block->get_number_of_frames(); ++i) {
    frame.assign(block->get_frame_size(i), 0);
    if (!frame.empty()) block->get_frame_data(i, frame.data());
  }
  std::vector<u8> image(block->get_block_size());
  if (!image.empty()) block->read_block_data(image.data());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  varno_fuzz::init_target();
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(std::uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  // The lengths: the firmware size (its low bytes: steps in the third
  // would make images of megabytes, slow to frame) and the frame size.
  static const std::vector<size_t> hot = {4, 5, 8, 9};
  return varno_fuzz::mutate(data, size, max_size, seed, HEADER_SIZE, hot);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  varno_fuzz::clear_work_dir();
  try {
    run(data, size);
  } catch (const msg_internal_error& e) {
    // A failed check of the library: an expected outcome.
    varno_fuzz::note_internal_error(e);
  }
  return 0;
}
