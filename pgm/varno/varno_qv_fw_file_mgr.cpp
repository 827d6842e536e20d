#include "varno_qv_fw_file_mgr.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "fio.h"
#include "korvia_fmt.h"
#include "mem.h"
#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_util.h"

namespace {

// Bytes of a MORLU packet header.
constexpr u32 MORLU_HDR_SIZE = 12;
constexpr u32 DEFAULT_FW_FRAME_SIZE = 2052;
// Line buffer of the readers: a longer HEX line is not a whole record.
constexpr int LINE_BUFFER = 1023;
// A HEX record line (with its ':') holds at most 64 bytes.
constexpr size_t MAX_HEX_LINE = 129;

// The boot layout: a 1 KiB boot frame, then 2 KiB data frames, the first 256
// of them taken from one region of the file and the rest from another.
constexpr u32 BOOT_SIZE = 0x400;
constexpr u32 BOOT_FRAME_SIZE = 2048;
constexpr u32 BOOT_LOW_FRAMES = 256;
constexpr u64 BOOT_LOW_BASE = 0x1000000;
constexpr u64 BOOT_HIGH_BASE = 0x5000000;
// The address of the high region minus the bytes of the low frames: the
// offset that turns file addresses of the high region into frame offsets.
constexpr u32 BOOT_ADDRESS_BIAS = 0x4F80000;

// The sequence field of a MORLU header word is its low byte.
constexpr u32 SEQUENCE_MASK = 0xFF;

// A zero-filled segment of size bytes appended to frame; returns its bytes.
u8* add_segment(VARNO_FRAME& frame, VARNO_FRAME_SEGMENT_TYPE type, u64 size) {
  VARNO_ASSERT_MSG(size <= 0xFFFFFFFFu, "segment_size <= 0xFFFFFFFF");
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(type, static_cast<u32>(size), true);
  u8* data = segment->data();
  if (type == VARNO_FRAME_SEGMENT_HEADER) {
    VARNO_ASSERT_MSG(data != nullptr, "addr != NULL");
  } else {
    VARNO_ASSERT_MSG(data != nullptr || size == 0, "frame_data != NULL");
  }
  frame.add_frame_segment(segment.release());
  return data;
}

// Stores value at offset of a segment of size bytes.
void put_word(u8* data, u64 size, u64 offset, u32 value) {
  VARNO_ASSERT(offset + 4 <= size);
  VARNO_UTIL::write_dword_safely(value, data + offset);
}

// A frame of one data segment of 12 bytes holding three words.
std::unique_ptr<VARNO_FRAME> command_frame(u32 w0, u32 w1, u32 w2) {
  auto frame = std::make_unique<VARNO_FRAME>();
  u8* data = add_segment(*frame, VARNO_FRAME_SEGMENT_DATA, 12);
  put_word(data, 12, 0, w0);
  put_word(data, 12, 4, w1);
  put_word(data, 12, 8, w2);
  return frame;
}

bool is_hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

// ---- BLOCK ------------------------------------------------------------------------

VARNO_QV_FW_FILE_MGR::BLOCK::BLOCK(u32 address_, u32 length_, const u8* src)
    : address(address_), length(length_), data(std::make_unique<u8[]>(length_)) {
  if (src != nullptr && length_ > 0) std::memcpy(data.get(), src, length_);
}

bool VARNO_QV_FW_FILE_MGR::BLOCK::compare(const std::unique_ptr<BLOCK>& a,
                                          const std::unique_ptr<BLOCK>& b) {
  return a->address < b->address;
}

// ---- Set-up ---------------------------------------------------------------------

VARNO_QV_FW_FILE_MGR::VARNO_QV_FW_FILE_MGR() = default;

VARNO_QV_FW_FILE_MGR::~VARNO_QV_FW_FILE_MGR() = default;

bool VARNO_QV_FW_FILE_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  generator_of(block);
  m_setup_header_version = descriptor_word(block, 6);
  // Versions 0 to 3 are the header layouts there are.
  VARNO_ASSERT_MSG(m_setup_header_version <= 3, "header_version <= 3");
  m_header_version = m_setup_header_version;
  m_header_size = m_header_version != 0 ? MORLU_HDR_SIZE : 0;
  return true;
}

// ---- Files ----------------------------------------------------------------------

bool VARNO_QV_FW_FILE_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  m_files = block->m_data_files;
  if (m_files.empty()) return true;
  m_multiple_files = m_files.size() > 1 ? 1 : 0;
  block->clear_frames();
  m_file_counter = 0;

  // Every file is framed; a file that fails makes the build fail, whichever
  // file it was.
  bool result = true;
  for (size_t k = 0; k < m_files.size(); ++k) {
    VARNO_ASSERT_MSG(m_file_counter < m_files.size(),
                     "Counter exceed the total number of firmware file.");
    m_last_file = m_file_counter + 1 == m_files.size() ? 1 : 0;
    reset_file_state();
    m_potential_frames = 0;
    m_path = m_files[m_file_counter];

    const size_t dot = m_path.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : stl_tolower(m_path.substr(dot + 1));
    bool ok = false;
    if (ext == "hex" || ext == "ihex") {
      ok = process_fw_file();
    } else if (ext == "rom") {
      ok = process_rom_file();
    } else {
      VARNO_INTERNAL_ERROR("Unknown firmware format");
    }
    if (ok) ok = merge_blocks();
    if (ok) ok = create_partial_frames(block, config, 0, 1);
    if (!ok) result = false;
    ++m_file_counter;
  }
  return result;
}

void VARNO_QV_FW_FILE_MGR::reset_file_state() {
  m_blocks.clear();
  m_image.reset();
  m_image_size = 0;
  // A file without records must not inherit the end of the previous file.
  m_last_blk_address = 0;
  m_last_blk_len = 0;
}

VARNO_QV_FW_FILE_MGR::FILE_PTR VARNO_QV_FW_FILE_MGR::open_path() const {
  FILE_PTR file(FIO_FILE_SYSTEM::fopen(m_path.c_str(), "r"));
  if (file == nullptr) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Unable to open firmware file (%s)", m_path.c_str()));
  }
  return file;
}

void VARNO_QV_FW_FILE_MGR::add_block(u32 address, u32 length, const u8* bytes) {
  m_blocks.push_back(std::make_unique<BLOCK>(address, length, bytes));
}

bool VARNO_QV_FW_FILE_MGR::process_rom_file() {
  FILE_PTR file = open_path();
  char line[LINE_BUFFER];
  u64 address = 0;
  u32 line_no = 0;
  bool at_line_start = true;
  while (std::fgets(line, LINE_BUFFER, file.get()) != nullptr) {
    const size_t len = std::strlen(line);
    const bool line_end = len > 0 && line[len - 1] == '\n';
    // Only the first three characters of a line are a word: the rest of a
    // line longer than the buffer is no further word.
    const bool starts_line = at_line_start;
    at_line_start = line_end;
    if (!starts_line) continue;
    ++line_no;
    VARNO_ASSERT_MSG(len >= 3, "strlen(line) >= 3");
    // A short line would read its line end as a digit.
    if (!is_hex_digit(line[0]) || !is_hex_digit(line[1]) || !is_hex_digit(line[2])) {
      std::printf("Error: bad ROM word at line %u\n", line_no);
      std::fflush(stdout);
      return false;
    }
    VARNO_ASSERT_MSG(address <= 0xFFFFFFFEu, "rom_address <= 0xFFFFFFFE");
    const u8 word[2] = {
        static_cast<u8>(VARNO_UTIL::hexvalue(line[1]) * 16 + VARNO_UTIL::hexvalue(line[2])),
        VARNO_UTIL::hexvalue(line[0])};
    add_block(static_cast<u32>(address), 2, word);
    m_last_blk_address = static_cast<u32>(address);
    address += 2;
    m_last_blk_len = 2;
  }
  return true;
}

bool VARNO_QV_FW_FILE_MGR::process_fw_file() {
  FILE_PTR file = open_path();
  char line[LINE_BUFFER];
  u32 line_no = 0;
  u32 base = 0;
  while (std::fgets(line, LINE_BUFFER, file.get()) != nullptr) {
    ++line_no;
    size_t len = std::strlen(line);
    // A record ends with its line end: a last line without one, or a line
    // cut by the buffer, is not a whole record.
    if (len == 0 || !is_space(line[len - 1])) return false;
    while (len > 0 && is_space(line[len - 1])) --len;
    if (len == 0 || line[0] != ':') continue;
    if (len % 2 == 0 || len > MAX_HEX_LINE) return false;

    const size_t n = len / 2;
    bool all_hex = true;
    for (size_t k = 1; k < len; ++k) {
      if (!is_hex_digit(line[k])) all_hex = false;
    }
    // Bytes a short line does not hold read as 0.
    u8 bytes[MAX_HEX_LINE / 2] = {};
    for (size_t k = 0; k < n; ++k) {
      bytes[k] = static_cast<u8>(VARNO_UTIL::hexvalue(line[1 + 2 * k]) * 16 +
                                 VARNO_UTIL::hexvalue(line[2 + 2 * k]));
    }
    const u32 count = bytes[0];
    const u32 offset = (u32{bytes[1]} << 8) | bytes[2];
    const u32 type = bytes[3];
    if (n == 0 || count + 5 != n || type > 5) {
      std::printf("Error: bad line length or unspported record type %d at line %d\n", type,
                  line_no);
      std::fflush(stdout);
      return false;
    }
    const u8* data = bytes + 4;
    switch (type) {
      case 0: {
        // base is at most 0xFFFF0000, so the address fits 32 bits.
        const u32 address = base + offset;
        add_block(address, count, data);
        m_last_blk_address = address;
        m_last_blk_len = count;
        break;
      }
      case 1: return all_hex;
      case 2:
        if (count != 2) {
          std::printf("Error: bad type 02 record with incorrect byte count %d at line %d\n", count,
                      line_no);
          std::fflush(stdout);
          return false;
        }
        base = ((u32{data[0]} << 8) | data[1]) << 4;
        break;
      case 4:
        if (count != 2) {
          std::printf("Error: bad type 04 record with incorrect byte count %d at line %d\n", count,
                      line_no);
          std::fflush(stdout);
          return false;
        }
        base = ((u32{data[0]} << 8) | data[1]) << 16;
        break;
      default:  // 3 and 5: start addresses, not part of the image
        if (count != 4) {
          std::printf("Error: bad type 05 record with incorrect byte count %d at line %d\n", count,
                      line_no);
          std::fflush(stdout);
          return false;
        }
        break;
    }
    if (!all_hex) return false;
  }
  return true;
}

bool VARNO_QV_FW_FILE_MGR::merge_blocks() {
  if (m_blocks.empty()) {
    std::printf("Error: no data record in firmware file %s\n", m_path.c_str());
    std::fflush(stdout);
    return false;
  }
  // The image ends where the last record in file order ends.
  const u64 size = u64{m_last_blk_address} + m_last_blk_len;
  // Blocks of the same address keep their file order: the later one wins.
  std::stable_sort(m_blocks.begin(), m_blocks.end(), BLOCK::compare);
  for (const std::unique_ptr<BLOCK>& b : m_blocks) {
    if (u64{b->address} + b->length > size) {
      std::printf(
          "Error: data record at address 0x%X (%u bytes) lies past the end of the image (%llu "
          "bytes) in firmware file %s\n",
          b->address, b->length, static_cast<unsigned long long>(size), m_path.c_str());
      std::fflush(stdout);
      return false;
    }
  }
  // Frames address the image with 32 bits: a record that ends past 4 GiB
  // (an extended linear address near the top plus its offset) is no image.
  if (size > 0xFFFFFFFFu) {
    std::printf("Error: firmware image of %llu bytes is too large in firmware file %s\n",
                static_cast<unsigned long long>(size), m_path.c_str());
    std::fflush(stdout);
    return false;
  }
  check_image_fits(size);
  // The size comes from the file: running short of memory fails the file
  // rather than throwing out of the build.
  m_image.reset(new (std::nothrow) u8[size]());
  if (m_image == nullptr) {
    std::printf("Error: no memory for a firmware image of %llu bytes in firmware file %s\n",
                static_cast<unsigned long long>(size), m_path.c_str());
    std::fflush(stdout);
    return false;
  }
  m_image_size = size;
  for (const std::unique_ptr<BLOCK>& b : m_blocks) {
    if (b->length > 0) std::memcpy(m_image.get() + b->address, b->data.get(), b->length);
  }
  return true;
}

void VARNO_QV_FW_FILE_MGR::check_image_fits(u64 end) const {
  // Without a parent or a size for this file the frame layout reports it.
  if (m_parent == nullptr) return;
  const VARNO_MGR_PARAM* param = generator_of(m_parent)->get_mgr_param();
  if (param == nullptr || m_file_counter >= param->fw_sizes.size()) return;
  const u64 S = param->fw_sizes[m_file_counter];
  if (param->fw_type != VARNO_QV_BOOT_FW) {
    VARNO_ASSERT_MSG(S >= end, "fw_size >= (m_last_blk_address + m_last_blk_len)");
    return;
  }
  // A boot image's data lies in the high region; one that does not is
  // reported by the frame layout.
  if (m_last_blk_address < BOOT_ADDRESS_BIAS) return;
  VARNO_ASSERT_MSG(S >= BOOT_SIZE, "fw_size >= 0x400");
  VARNO_ASSERT_MSG(S - BOOT_SIZE >= end - BOOT_ADDRESS_BIAS,
                   "fw_size >= (m_last_blk_address + m_last_blk_len)");
}

// ---- Headers --------------------------------------------------------------------

void VARNO_QV_FW_FILE_MGR::write_morlu_hdr(u8* dest, MORLU_WRITE_OP_TYPE op, u32 length,
                                           u32 sequence) const {
  if (m_header_version == 0) return;
  VARNO_ASSERT(dest != nullptr);
  u32 w0 = 0x2020;
  u32 w2 = 0;
  switch (op) {
    case MORLU_WRITE_OP_DATA: {
      const u64 words = (u64{length} + m_header_size) >> 2;
      // The packet length is the word's upper 24 bits.
      VARNO_ASSERT_MSG(words <= 0xFFFFFF, "((length + header_size) >> 2) <= 0xFFFFFF");
      w0 = static_cast<u32>(words << 8) | (sequence & SEQUENCE_MASK);
      w2 = m_header_version == 1 ? 4 : m_header_version == 3 ? 0x20006 : 0x40004;
      break;
    }
    case MORLU_WRITE_OP_CMD1: w2 = 0x10006; break;
    case MORLU_WRITE_OP_CMD2: w2 = 0; break;
    case MORLU_WRITE_OP_CMD3: w2 = 0x10006; break;
    case MORLU_WRITE_OP_CMD4: w2 = 4; break;
    default: break;
  }
  VARNO_UTIL::write_dword_safely(w0, dest);
  VARNO_UTIL::write_dword_safely(0, dest + 4);
  VARNO_UTIL::write_dword_safely(w2, dest + 8);
}

void VARNO_QV_FW_FILE_MGR::write_morlu3_spico_serdes_hdr(u8* dest, u32 length, u32 sequence,
                                                         bool flag) const {
  if (m_header_version != 3) return;
  VARNO_ASSERT(dest != nullptr);
  const u64 half_words = (u64{length} + 1) >> 1;
  VARNO_ASSERT_MSG(half_words <= 0xFFFFFF, "((length + 1) >> 1) <= 0xFFFFFF");
  VARNO_UTIL::write_dword_safely(static_cast<u32>(half_words << 8) | (sequence & SEQUENCE_MASK),
                                 dest);
  if (flag) VARNO_UTIL::write_dword_safely(0x1000000, dest + 4);
}

// ---- Frames ---------------------------------------------------------------------

bool VARNO_QV_FW_FILE_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*, u32,
                                                 u32) {
  VARNO_GEN* gen = generator_of(block);
  const VARNO_MGR_PARAM* param = gen->get_mgr_param();
  VARNO_ASSERT_MSG(param != nullptr, "mgr_param != NULL");
  // Frames are cut from the image of the file just read; without one there
  // is nothing to frame. Once a build has framed its whole file list, no file
  // is being read: a later partial build would frame the last image again
  // with the size of a file past the list.
  if (m_image == nullptr || m_file_counter >= m_files.size()) return false;

  const u32 T = param->fw_type;
  const u32 tk_flow = param->tk_flow;
  // 1. The firmware type may choose the header version; a header then
  // always has its room, whatever the block's descriptor gave.
  u32 v = m_setup_header_version;
  if (T == VARNO_QV_HEADER_V2_FW) v = 2;
  if (T == VARNO_QV_HEADER_V3_FW || T == VARNO_QV_HEADER_V3_SERDES_FW) v = 3;
  m_header_version = v;
  m_header_size = v != 0 ? MORLU_HDR_SIZE : 0;
  const u32 h = m_header_size;

  auto emit = [&](std::unique_ptr<VARNO_FRAME> frame) {
    append_frame(block, std::move(frame));
    ++m_potential_frames;
  };
  // A frame of one data segment of size bytes; data receives its bytes.
  auto data_frame = [](u64 size, u8*& data) {
    auto frame = std::make_unique<VARNO_FRAME>();
    data = add_segment(*frame, VARNO_FRAME_SEGMENT_DATA, size);
    return frame;
  };

  // 2. Opening frames.
  if (v == 0 || v == 1) {
    u8* data = nullptr;
    const u64 a_size = u64{h} + (v == 1 ? 12 : 8);
    auto a = data_frame(a_size, data);
    if (v == 1) {
      put_word(data, a_size, 0, 0x2020);
      put_word(data, a_size, 8, 0x10006);
      put_word(data, a_size, h + 4, 7);
    } else {
      put_word(data, a_size, 0, 7);
    }
    emit(std::move(a));

    auto b = data_frame(u64{h} + 12, data);
    write_morlu_hdr(data, MORLU_WRITE_OP_CMD2, 0, 0);
    emit(std::move(b));

    if (v == 0) {
      if (tk_flow == 1) emit(command_frame(0x4000168, 1, 0));
      emit(command_frame(0x4000148, tk_flow == 1 ? 7 : 3, 0));
    }
  }

  // 3. Frame size and firmware size.
  u64 fs = param->fw_frame_size != 0 ? param->fw_frame_size : DEFAULT_FW_FRAME_SIZE;
  VARNO_ASSERT_MSG(m_file_counter < param->fw_sizes.size(), "m_file_counter < fw_sizes.size()");
  const u64 S = param->fw_sizes[m_file_counter];

  // 4. Frame layout. E is the end of the data in frame offsets.
  u64 E = u64{m_last_blk_address} + m_last_blk_len;
  u64 n = 0;
  u64 r = 0;
  if (T != VARNO_QV_BOOT_FW) {
    VARNO_ASSERT_MSG(S >= E, "fw_size >= (m_last_blk_address + m_last_blk_len)");
    n = (S + fs - 1) / fs;
    r = S % fs;
  } else {
    // The data of a boot image lies in the high region.
    VARNO_ASSERT_MSG(m_last_blk_address >= BOOT_ADDRESS_BIAS, "m_last_blk_address >= 0x4F80000");
    VARNO_ASSERT_MSG(S >= BOOT_SIZE, "fw_size >= 0x400");
    E -= BOOT_ADDRESS_BIAS;
    VARNO_ASSERT_MSG(S - BOOT_SIZE >= E, "fw_size >= (m_last_blk_address + m_last_blk_len)");
    r = (S - BOOT_SIZE) % BOOT_FRAME_SIZE;
    n = (S + BOOT_SIZE - 1) / BOOT_FRAME_SIZE;
    fs = BOOT_FRAME_SIZE;

    auto boot = std::make_unique<VARNO_FRAME>();
    add_segment(*boot, VARNO_FRAME_SEGMENT_HEADER, u64{h} + (v == 3 ? 12 : 4));
    u8* data = add_segment(*boot, VARNO_FRAME_SEGMENT_DATA, BOOT_SIZE);
    VARNO_ASSERT(m_image_size >= BOOT_SIZE);
    VARNO_UTIL::byte_copy(m_image.get(), 0, data, 0, BOOT_SIZE, true);
    emit(std::move(boot));
  }

  // 5. Data frames.
  bool cut = false;
  for (u64 i = 0; i < n; ++i) {
    const u64 o = i * fs;
    const u64 c = (i + 1 == n && r != 0) ? r : fs;
    const u32 seq = static_cast<u32>(i + 1);
    // Boot images take their first frames from the low region and the rest
    // from the high one; the address word names the same place.
    u64 src = o;
    if (T == VARNO_QV_BOOT_FW) {
      src = i < BOOT_LOW_FRAMES ? BOOT_LOW_BASE + o : BOOT_HIGH_BASE + (i - BOOT_LOW_FRAMES) * fs;
    }
    VARNO_ASSERT_MSG(src <= 0xFFFFFFFFu, "fw_address <= 0xFFFFFFFF");

    auto frame = std::make_unique<VARNO_FRAME>();
    const u64 hs = u64{h} + (v == 3 ? 12 : 4);
    u8* hdr = add_segment(*frame, VARNO_FRAME_SEGMENT_HEADER, hs);
    u8* data = add_segment(*frame, VARNO_FRAME_SEGMENT_DATA, c);
    if (v == 3) {
      write_morlu_hdr(hdr, MORLU_WRITE_OP_DATA, static_cast<u32>(c + 8), seq);
      write_morlu3_spico_serdes_hdr(hdr + h + 4, static_cast<u32>(c), seq, T == VARNO_QV_HEADER_V3_SERDES_FW);
    } else if (v == 1 || v == 2) {
      write_morlu_hdr(hdr, MORLU_WRITE_OP_DATA, static_cast<u32>(c), seq);
      put_word(hdr, hs, h, static_cast<u32>(src));
    } else {
      put_word(hdr, hs, 0, static_cast<u32>(src));
    }

    if (!cut) {
      u64 len = c;
      if (E <= o + c) {
        len = E > o ? E - o : 0;
        cut = true;
      }
      VARNO_ASSERT(src + len <= m_image_size);
      if (len > 0)
        VARNO_UTIL::byte_copy(m_image.get() + src, 0, data, 0, static_cast<u32>(len), true);
    }
    emit(std::move(frame));
    if (v == 3) emit(command_frame(0x202B, 0, 0));
  }

  // 6. Closing frames.
  if (v == 3) {
    u8* data = nullptr;
    const u64 size = u64{h} + 12;
    auto e = data_frame(size, data);
    write_morlu_hdr(data, MORLU_WRITE_OP_DATA, 8, static_cast<u32>(n + 1));
    write_morlu3_spico_serdes_hdr(data + h + 4, 0, static_cast<u32>(n + 1), T == VARNO_QV_HEADER_V3_SERDES_FW);
    emit(std::move(e));
  }
  if (v != 0) emit(command_frame(static_cast<u32>(v == 3 ? n + 2 : n + 1), 0, 0));
  if (v == 0 || v == 1) {
    u8* data = nullptr;
    const u64 size = u64{h} + 12;
    auto f = data_frame(size, data);
    write_morlu_hdr(data, MORLU_WRITE_OP_CMD4, 0, 0);
    put_word(data, size, h, 0x40000E8);
    put_word(data, size, h + 8, 2);
    emit(std::move(f));
    if (v == 1) emit(command_frame(0x2026, 0, 0));
  }
  if (v == 2) {
    u8* data = nullptr;
    const u64 size = u64{h} + 16;
    auto i_frame = data_frame(size, data);
    i_frame->m_command_flag = true;
    write_morlu_hdr(data, MORLU_WRITE_OP_CMD3, 0, 0);
    put_word(data, size, h + 4, 0x3019);
    emit(std::move(i_frame));
    if (m_multiple_files != 0 && m_last_file == 0) {
      auto j = command_frame(0x202B, 0, 0);
      j->m_command_flag = true;
      j->m_second_command_flag = true;
      // Not counted: it joins this file's frames to the next file's.
      append_frame(block, std::move(j));
    }
  }
  return true;
}
