// A flat generator for the 2D engine and library tests: a CRAM and an ERAM
// block whose manager makes no frames, so tests put their own frames in. The
// device file is written per test from a table of lines that tests edit.
#pragma once

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "generator_fixture.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_qv_2d_engine.h"
#include "varno_test.h"
#include "vold.h"

namespace twod {

// The reflected CRC-32 of the 2D hashes (polynomial constant 0x88010000, no
// final XOR), one bit at a time.
inline u32 crc_model(u32 crc, const BYTES& bytes) {
  for (u8 byte : bytes) {
    for (u32 bit = 0; bit < 8; ++bit) {
      const u32 x = ((byte >> bit) & 1u) ^ (crc & 1u);
      crc >>= 1;
      if (x != 0) crc ^= 0x88010000u;
    }
  }
  return crc;
}

inline u64 rec(u32 crc, u32 type, u32 code) { return u64{crc} | u64{type} << 32 | u64{code} << 40; }

inline u32 code_of(u64 record) { return static_cast<u32>(record >> 40) & 0xFF; }

inline void set_code(u64& record, u32 code) {
  record = (record & ~(u64{0xFF} << 40)) | u64{code} << 40;
}

const char* const kFamily = R"(ddb family 1
family QUELVO_SECTOR
config_width 32
block CRAM data frame=TK_ESRAM_BBUS
block ERAM data frame=TK_ESRAM_BBUS
)";

// The slice lengths in bits the decompressor expects, per IP type.
const char* const kIpLengths = "48 48 96 96 96 96 96 16 96 40 8 16 16 24 32 0 20480";
const char* const kS4IpLengths = "64 64 128 128 192 128 192 64 128 64 64 64 64 64 64 0 20480";

class FLAT_DEVICE {
 public:
  FLAT_DEVICE() {
    m_lines = {
        {"device", "device DUMMY1"},
        {"CRAM DRAS", "param CRAM DRAS 64 64"},
        {"CRAM BROW_SIZE", "arg CRAM BROW_SIZE width=1 2"},
        {"CRAM BROW_FRAME_SIZE", "arg CRAM BROW_FRAME_SIZE width=1 4"},
        {"CRAM DC_IP_LENGTH", std::string("arg CRAM DC_IP_LENGTH width=1 ") + kIpLengths},
        {"CRAM DC_S4_IP_LENGTH", std::string("arg CRAM DC_S4_IP_LENGTH width=1 ") + kS4IpLengths},
        {"CRAM IP_INFO", "arg CRAM IP_INFO width=1 0 1 2 3"},
        {"ERAM ERAM_COL_COUNT", "param ERAM ERAM_COL_COUNT 4"},
        {"ERAM ERAM_COLS_PER_BLOCK", "param ERAM ERAM_COLS_PER_BLOCK 4"},
        {"ERAM BROW_SIZE", "arg ERAM BROW_SIZE width=1 2"},
        {"ERAM BROW_FRAME_SIZE", "arg ERAM BROW_FRAME_SIZE width=1 1"},
        {"ERAM DC_IP_LENGTH", std::string("arg ERAM DC_IP_LENGTH width=1 ") + kIpLengths},
        {"ERAM DC_S4_IP_LENGTH", std::string("arg ERAM DC_S4_IP_LENGTH width=1 ") + kS4IpLengths},
        {"ERAM IP_INFO", "arg ERAM IP_INFO width=1 16"},
    };
  }

  // Replaces (or, with an empty text, drops) the device line of that key.
  void line(const std::string& key, const std::string& text) { m_lines[key] = text; }

  // Loads the generator; the record then keeps its defaults but for s4_variant
  // (0: no S4, width factor 1), which most tests want.
  VARNO_GEN* load(u32 top_device_type = 0) {
    std::string device = "ddb device 1\nfamily QUELVO_SECTOR\n";
    device += m_lines["device"] + "\n";
    for (const auto& [key, text] : m_lines) {
      if (key != "device" && !text.empty()) device += text + "\n";
    }
    m_gen = new_generator(m_dir.write("fam.ddb", kFamily), m_dir.write("dev.ddb", device));
    EXPECT_EQ(m_gen->process_pcfs(false, false, false, nullptr, top_device_type), VARNO_PCF_OK)
        << VOLD_DATA_SERVER::last_error();
    m_gen->get_mgr_param()->s4_variant = 0;
    return m_gen.get();
  }

  VARNO_GEN* gen() const { return m_gen.get(); }
  VARNO_MGR_PARAM& param() { return *m_gen->get_mgr_param(); }
  VARNO_DBLOCK* cram() const { return block(0); }
  VARNO_DBLOCK* eram() const { return block(1); }
  VARNO_DBLOCK* block(u32 i) const {
    return dynamic_cast<VARNO_DBLOCK*>(m_gen->get_block_by_index(i));
  }

 private:
  std::map<std::string, std::string> m_lines;
  // Declared first: the generator goes before its files.
  TEMP_DIR m_dir;
  std::unique_ptr<VARNO_GEN> m_gen;
};

}  // namespace twod
