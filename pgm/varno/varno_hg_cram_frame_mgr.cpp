#include "varno_hg_cram_frame_mgr.h"

#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_util.h"

namespace {

// Bits of a frame's phantomless info word.
constexpr u32 INFO_HEADER_BITS = 0x7F;         // copied into bits 16-22 of the header word
constexpr u32 INFO_MEMORY_FRAME = 0x20000000;  // an embedded-RAM frame
constexpr u32 INFO_TAIL = 0x40000000;          // asks for the 0xFF tail
constexpr u32 INFO_FLASH_FRAME = 0x80000000;   // a flash frame

constexpr u32 TAIL_BYTES = 64;

// Reflected CRC-32 of the image, carried across frames.
constexpr u32 IMAGE_CRC_POLY = 0xEDB88320;
constexpr u32 IMAGE_CRC_INIT = 0xFFFFFFFF;

// The header word holds the segment count plus one in its top byte.
constexpr u32 MAX_HEADER_SEGMENT_FIELD = 0xFF;

bool test_bit(const u8* buf, u64 bit) { return ((buf[bit / 8] >> (bit % 8)) & 1u) != 0; }
void set_bit(u8* buf, u64 bit) { buf[bit / 8] = static_cast<u8>(buf[bit / 8] | (1u << (bit % 8))); }

u32 dword_at(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }

u32 ceil_div(u32 a, u32 b) { return static_cast<u32>((u64{a} + b - 1) / b); }

// Fewest segments a frame may have, by its data-register segment count.
u32 minimum_segments(u32 dr_segment) {
  switch (dr_segment) {
    case 4: return 5;
    case 8: return 6;
    case 16: return 11;
    case 32: return 31;
    default: break;
  }
  VARNO_INTERNAL_ERROR(
      "dr_segment == 4 || dr_segment == 8 || dr_segment == 16 || dr_segment == 32");
}

}  // namespace

VARNO_HG_CRAM_FRAME_MGR::VARNO_HG_CRAM_FRAME_MGR() = default;

// ---- Helpers ------------------------------------------------------------------------

u32 VARNO_HG_CRAM_FRAME_MGR::phantomless_info(u32 img) const {
  // Refused as an internal error: a container exception would escape to the host.
  VARNO_ASSERT_MSG(img < m_member.phantomless_map.size(), "img < phantomless_map.size()");
  return dword_at(m_member.phantomless_map[img]);
}

u32 VARNO_HG_CRAM_FRAME_MGR::count_memory_frames() const {
  u32 count = 0;
  for (u32 i = 0; i < m_member.image_frame_count; ++i) {
    if ((phantomless_info(i) & INFO_MEMORY_FRAME) != 0) ++count;
  }
  return count;
}

const u8* VARNO_HG_CRAM_FRAME_MGR::user_img_data(u32 i) const {
  if (m_user_img_data == nullptr || i >= m_memory_user_img_data_count) return nullptr;
  return m_user_img_data[i].get();
}

// ---- Set-up ---------------------------------------------------------------------------

bool VARNO_HG_CRAM_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  VARNO_ASSERT_MSG(config != nullptr, "config != NULL");

  // 1. Description.
  VOLD_DEVICE_INFO* device_pcf = cram_device_of(block);
  setup_cram_member(m_member, device_pcf, block, config);

  // 2. A HOLMGRADEN block: two data registers, one bit map, a phantomless
  // record per frame, and none of the other flows' descriptions.
  VARNO_ASSERT_MSG(m_member.algo == VARNO_CRAM_HG_FLOW, "m_member.algo == VARNO_CRAM_HG_FLOW");
  VARNO_ASSERT_MSG(m_member.img_to_raw_map != nullptr, "m_member.img_to_raw_map != NULL");
  VARNO_ASSERT_MSG(
      m_member.s4_img_to_raw_map == nullptr && m_member.image_s4_frame_bits == VARNO_INVALID_DWORD,
      "m_member.s4_img_to_raw_map == NULL && m_member.image_s4_frame_bits == "
      "VARNO_INVALID_DWORD");
  VARNO_ASSERT(m_member.dras_count == 2);
  VARNO_ASSERT_MSG(m_member.dras != nullptr, "m_member.dras != NULL");
  VARNO_ASSERT_MSG(m_member.dras_order == nullptr, "m_member.dras_order == NULL");
  VARNO_ASSERT(m_member.dra_bits == VARNO_INVALID_DWORD);
  VARNO_ASSERT_MSG(m_member.dra_bit_info == nullptr, "m_member.dra_bit_info == NULL");
  VARNO_ASSERT_MSG(m_member.dra_s4_info == nullptr, "m_member.dra_s4_info == NULL");
  VARNO_ASSERT(m_member.lutram_datalines_count == VARNO_INVALID_DWORD);
  VARNO_ASSERT_MSG(m_member.lutram_datalines == nullptr, "m_member.lutram_datalines == NULL");
  VARNO_ASSERT(m_member.addrlines_per_row == VARNO_INVALID_DWORD);
  VARNO_ASSERT_MSG(m_member.lutram_remap_addrlines == nullptr,
                   "m_member.lutram_remap_addrlines == NULL");
  VARNO_ASSERT_MSG(m_member.img_to_edcrc_map == nullptr, "m_member.img_to_edcrc_map == NULL");
  VARNO_ASSERT_MSG(m_member.edcrc_to_img_map == nullptr, "m_member.edcrc_to_img_map == NULL");
  VARNO_ASSERT(m_member.bs_frame_count == m_member.image_frame_count);
  VARNO_ASSERT(m_member.phantomless_map.size() == m_member.image_frame_count);
  VARNO_ASSERT(m_member.img_include_edcrc_bits == VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.parallel_frame_size == VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.lutram_odd_bit_flip == false);
  VARNO_ASSERT_MSG(m_member.lutram_info == nullptr, "m_member.lutram_info == NULL");
  VARNO_ASSERT(m_member.lutram_block_count == VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.lutram_block_bits == VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.lutram_block_bits_offset == VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.lutram_row_size == VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.rscnt26_bit_col_offset == VARNO_INVALID_DWORD);
  VARNO_ASSERT(m_member.rscnt26_bit_row_offset == VARNO_INVALID_DWORD);

  // 3. Frame bytes. The memory frames are known from the phantomless map
  // already, so the frame count is right before the first build too.
  m_bs_frame_bytes = static_cast<u32>((u64{m_member.bs_frame_bits} + 7) / 8);
  m_memory_frame_count = count_memory_frames();
  return true;
}

bool VARNO_HG_CRAM_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // 1. The image. Only a 32-bit word gives the trailer room for the filler
  // and the CRC-16, and gives every data-register column its full height.
  verify_cram_user_data(m_member, block, config);
  VARNO_ASSERT(m_member.config_data_width == 32);

  // 2-4. Per-frame buffers, each user bit at its bitstream position.
  delete_memory();
  VARNO_ASSERT_MSG(
      m_user_img_data == nullptr && m_bs_frame_to_img_frame_map_without_memory == nullptr,
      "m_user_img_data == NULL && m_bs_frame_to_img_frame_map_without_memory == NULL");
  m_user_img_data = split_cram_image(m_member, m_bs_frame_bytes, true);
  m_memory_user_img_data_count = m_member.image_frame_count;

  // 5. Data-register segment counts.
  m_flash_dr_segment = m_member.dras[0];
  m_non_flash_dr_segment = m_member.dras[1];
  VARNO_ASSERT(m_flash_dr_segment > 0);
  VARNO_ASSERT(m_non_flash_dr_segment > 0);

  // 6. Whether bitstream frame 0 is a flash frame.
  VARNO_ASSERT(m_member.bs_frame_to_img_frame_map[0] < m_member.image_frame_count);
  m_first_frame_flash =
      (phantomless_info(m_member.bs_frame_to_img_frame_map[0]) & INFO_FLASH_FRAME) != 0;

  // 7, 8. The bitstream order without the memory frames. It must hold every
  // other frame exactly once in its slots: a map that repeats frames would
  // overrun the slots or leave some to frame 0.
  m_memory_frame_count = count_memory_frames();
  const u32 count_without_memory = m_member.bs_frame_count - m_memory_frame_count;
  auto without_memory = std::make_unique<u32[]>(count_without_memory);
  u32 index_without_memory = 0;
  for (u32 i = 0; i < m_member.bs_frame_count; ++i) {
    const u32 s = m_member.bs_frame_to_img_frame_map[i];
    if ((phantomless_info(s) & INFO_MEMORY_FRAME) != 0) continue;
    VARNO_ASSERT_MSG(index_without_memory < count_without_memory,
                     "index_without_memory < m_member.bs_frame_count - memory_frame_count");
    without_memory[index_without_memory++] = s;
  }
  VARNO_ASSERT_MSG(index_without_memory == count_without_memory,
                   "index_without_memory == m_member.bs_frame_count - memory_frame_count");
  m_bs_frame_to_img_frame_map_without_memory = std::move(without_memory);
  m_bs_frame_to_img_frame_map_without_memory_count = count_without_memory;
  return true;
}

void VARNO_HG_CRAM_FRAME_MGR::delete_memory() {
  m_bs_frame_to_img_frame_map_without_memory.reset();
  m_bs_frame_to_img_frame_map_without_memory_count = 0;
  if (m_user_img_data != nullptr) {
    VARNO_ASSERT(m_memory_user_img_data_count > 0);
    m_user_img_data.reset();
  }
  m_memory_user_img_data_count = 0;
}

u32 VARNO_HG_CRAM_FRAME_MGR::potential_frames() {
  if (m_member.bs_frame_count == VARNO_INVALID_DWORD) return 0;
  VARNO_GEN* gen = m_parent != nullptr ? m_parent->generator() : nullptr;
  return frame_count(gen != nullptr && gen->get_mgr_param()->cram_skip_eram_frame != 0);
}

u32 VARNO_HG_CRAM_FRAME_MGR::frame_count(bool skip_memory) const {
  return skip_memory ? m_member.bs_frame_count - m_memory_frame_count : m_member.bs_frame_count;
}

// ---- Frame building -------------------------------------------------------------------

u32 VARNO_HG_CRAM_FRAME_MGR::full_build_frames(VARNO_DBLOCK* block) {
  return frame_count(mgr_param(block)->cram_skip_eram_frame != 0);
}

bool VARNO_HG_CRAM_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                    u32 start, u32 end) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  // The frames and the CRC read the buffers of the last verification.
  VARNO_ASSERT_MSG(
      m_user_img_data != nullptr && m_bs_frame_to_img_frame_map_without_memory != nullptr,
      "m_user_img_data != NULL");
  VARNO_GEN* gen = generator_of(block);
  const bool skip_memory = mgr_param(block)->cram_skip_eram_frame != 0;

  // 1. Range.
  const u32 final_frame_count = frame_count(skip_memory);
  const u32* map = skip_memory ? m_bs_frame_to_img_frame_map_without_memory.get()
                               : m_member.bs_frame_to_img_frame_map;
  VARNO_ASSERT_MSG(start <= end && end < final_frame_count,
                   "start_frame <= end_frame && end_frame < final_frame_count");

  // 2. Frames, in bitstream order.
  for (u32 index = start; index <= end; ++index) {
    const u32 img_index = map[index];
    VARNO_ASSERT_MSG(img_index < m_member.image_frame_count &&
                         (m_member.img_frame_to_bs_frame_map[img_index] == index || skip_memory),
                     "img_index < m_member.image_frame_count && "
                     "(m_member.img_frame_to_bs_frame_map[img_index] == index || "
                     "m_parent->get_parent()->get_mgr_param()->cram_skip_eram_frame)");
    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, index, img_index);
    VARNO_ASSERT_MSG(frame != nullptr, "frame != NULL");
    // With no frame after it the block always takes the frame.
    VARNO_FRAME* raw = frame.release();
    block->insert_frame_at_end(raw, 0);
    if (index == end) break;  // end may be the last u32
  }

  // 3. CRC of the whole image in bitstream order; memory frames count as
  // zeros.
  u32 crc = IMAGE_CRC_INIT;
  for (u32 k = 0; k < m_member.bs_frame_count; ++k) {
    const u32 s = m_member.bs_frame_to_img_frame_map[k];
    VARNO_ASSERT_MSG(s < m_memory_user_img_data_count, "s < m_memory_user_img_data_count");
    const bool memory = (phantomless_info(s) & INFO_MEMORY_FRAME) != 0;
    crc = VARNO_UTIL::lsb_calculate_crc32(memory ? nullptr : m_user_img_data[s].get(), 0,
                                          m_member.bs_frame_bits, crc, IMAGE_CRC_POLY);
  }

  // 4. The image CRC goes to the talkback.
  VARNO_MGR_TALKBACK* talkback = gen->get_mgr_talkback();
  VARNO_ASSERT_MSG(talkback != nullptr, "mgr_talkback != NULL");
  talkback->image_crc = crc;
  return true;
}

std::unique_ptr<VARNO_FRAME> VARNO_HG_CRAM_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                   VARNO_BLOCK_CONFIG*, u32,
                                                                   u32 img) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  const VARNO_FRAME_DESCRIPTOR* descriptor = block->get_frame_descriptor();
  VARNO_ASSERT_MSG(descriptor != nullptr, "frame_descriptor != NULL");
  const u32 word_bits = m_member.config_data_width;
  const u32 word_bytes = m_member.config_data_bytes;
  VARNO_ASSERT(m_member.config_data_width == 32);

  // 1. Header; its bits are counted in 32 bits below.
  const u64 header_bytes = u64{descriptor->word(1)} * word_bytes;
  VARNO_ASSERT_MSG(header_bytes * 8 <= 0xFFFFFFFFu, "header_size * 8 <= 0xFFFFFFFF");
  auto frame = std::make_unique<VARNO_FRAME>();
  frame->add_frame_segment(
      new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_HEADER, static_cast<u32>(header_bytes), true));

  // 2. The frame's phantomless record.
  VARNO_ASSERT_MSG(img < m_member.phantomless_map.size(), "img < phantomless_map.size()");
  const u8* entry = m_member.phantomless_map[img];
  const u32 phantomless_info = dword_at(entry);
  const u32 real_bit = dword_at(entry + 4);
  const u8* mask = entry + PGM_PHANTOMLESS_INFO_REVERSED_BYTE;
  // The mask has one bit per IMG bit; a larger count could never match it and
  // would only size an oversized core.
  VARNO_ASSERT(real_bit <= m_member.image_frame_bits);

  // 3-5. Segments: the real bits' words, raised to the register's minimum.
  const u32 segment_count = ceil_div(real_bit, word_bits);
  const u32 dr_segment =
      (phantomless_info & INFO_FLASH_FRAME) != 0 ? m_flash_dr_segment : m_non_flash_dr_segment;
  const u32 minimum = minimum_segments(dr_segment);
  const u32 pad_segment = segment_count < minimum ? minimum - segment_count : 0;
  const u32 total_segments = segment_count < minimum ? minimum : segment_count;

  // 6. Header word; the count must fit its byte.
  VARNO_ASSERT_MSG(u64{total_segments} + 1 <= MAX_HEADER_SEGMENT_FIELD,
                   "segment_count + 1 <= 0xFF");
  const u32 header_word =
      ((phantomless_info & INFO_HEADER_BITS) << 16) | ((total_segments + 1) << 24);
  frame->write_dword_to_segment(VARNO_FRAME_SEGMENT_HEADER, header_word, 0);

  // 7. With memory frames skipped, this must not be one.
  if (mgr_param(block)->cram_skip_eram_frame != 0) {
    VARNO_ASSERT((phantomless_info & 0x20000000) == 0);
  }

  // 8. Core.
  const u32 core_bytes = total_segments * word_bytes;
  std::unique_ptr<u8[]> core_data = create_frame_core_data(mask, img, real_bit, segment_count,
                                                           core_bytes, pad_segment, dr_segment);
  VARNO_ASSERT_MSG(core_data != nullptr, "core_data != NULL");
  frame->add_frame_segment(
      new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_DATA, core_bytes, core_data.release()));

  // 9. Trailer: filler and the CRC-16 of header, core and filler.
  frame->add_frame_segment(new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TRAILER, word_bytes, true));
  const VARNO_FRAME_SEGMENT* header = frame->get_segment(VARNO_FRAME_SEGMENT_HEADER);
  const VARNO_FRAME_SEGMENT* core = frame->get_segment(VARNO_FRAME_SEGMENT_DATA);
  u16 crc = 0xFFFF;
  crc = VARNO_UTIL::calculate_crc16(header->data(), 0, static_cast<u32>(header_bytes * 8), crc);
  crc = VARNO_UTIL::calculate_crc16(core->data(), 0, core_bytes * 8, crc);
  const u8 filler[2] = {static_cast<u8>(m_random_filler_copy & 0xFF),
                        static_cast<u8>(m_random_filler_copy >> 8)};
  crc = VARNO_UTIL::calculate_crc16(filler, 0, 16, crc);
  frame->write_word_to_segment(VARNO_FRAME_SEGMENT_TRAILER, m_random_filler, 0);
  frame->write_word_to_segment(VARNO_FRAME_SEGMENT_TRAILER, crc, 2);

  // 10. The tail of the frames of the same kind as frame 0 that ask for it.
  const bool flash = (phantomless_info & INFO_FLASH_FRAME) != 0;
  if ((phantomless_info & INFO_TAIL) != 0 && flash == m_first_frame_flash) {
    frame->add_frame_segment(
        new VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TRAILER, TAIL_BYTES, false));
  }
  return frame;
}

std::unique_ptr<u8[]> VARNO_HG_CRAM_FRAME_MGR::create_frame_core_data(
    const u8* mask, u32 img, u32 real_bit, u32 segment_count, u32 core_bytes, u32 pad_segment,
    u32 dr_segment) {
  VARNO_ASSERT_MSG(mask != nullptr, "mask != NULL");
  VARNO_ASSERT_MSG(m_member.image_data != nullptr, "m_member.image_data != NULL");
  VARNO_ASSERT(img < m_member.image_frame_count);
  const u32 word_bits = m_member.config_data_width;

  // 1. Geometry: columns of segment_length bits, max_segment_length rows.
  auto core_data = std::make_unique<u8[]>(core_bytes);
  const u32 segment_length = dr_segment > 0 ? ceil_div(real_bit, dr_segment) : 0;
  const u64 max_segment_length =
      dr_segment > 0 ? (u64{segment_count} * word_bits + dr_segment - 1) / dr_segment : 0;

  // 2. The columns must hold every real bit.
  VARNO_ASSERT_MSG(segment_length > 0 && dr_segment > 0 && ((dr_segment % 4) == 0),
                   "segment_length > 0 && segment_count > 0 && ((segment_count % 4) == 0)");
  VARNO_ASSERT_MSG(u64{segment_length} * dr_segment >= real_bit,
                   "(segment_length * segment_count) >= real_bit");
  const u64 safe_segment = u64{real_bit} + dr_segment - u64{segment_length} * dr_segment;
  VARNO_ASSERT_MSG(safe_segment <= dr_segment, "safe_segment <= segment_count");

  // 3. State.
  u32 current_segment = 0;
  u32 segment_detection = 0;
  i64 segment_index = static_cast<i64>(max_segment_length) - 1;
  u64 safe_left = safe_segment;
  u32 real_bit_detection = 0;
  const u64 core_bits = u64{core_bytes} * 8;
  const u64 base = u64{pad_segment} * word_bits;

  // 4. The user image is read with the frame index fastest.
  const u8* image = m_member.image_data;
  for (u32 k = 0; k < m_member.image_frame_bits; ++k) {
    const bool bit_set = test_bit(image, img + u64{k} * m_member.image_frame_count);
    if (!test_bit(mask, k)) {
      VARNO_ASSERT(!bit_set);
      continue;
    }
    VARNO_ASSERT_MSG(current_segment < dr_segment && segment_index >= 0 &&
                         static_cast<u64>(segment_index) < max_segment_length &&
                         segment_detection < segment_length,
                     "current_segment < segment_count && segment_index >= 0 && "
                     "segment_index < max_segment_length && segment_detection < segment_length");
    if (bit_set) {
      const u64 bit_index = base + current_segment + static_cast<u64>(segment_index) * dr_segment;
      VARNO_ASSERT_MSG(bit_index < core_bits, "bit_index < core_data_size * 8");
      set_bit(core_data.get(), bit_index);
    }
    ++segment_detection;
    --segment_index;
    ++real_bit_detection;
    if (segment_detection == segment_length) {
      ++current_segment;
      segment_detection = 0;
      segment_index = static_cast<i64>(max_segment_length) - 1;
      if (safe_left > 0) --safe_left;
    } else if (safe_left == 0 && segment_detection == segment_length - 1) {
      ++current_segment;
      segment_detection = 0;
      segment_index = static_cast<i64>(max_segment_length) - 1;
    }
  }

  // 5. Every real bit must have been placed.
  VARNO_ASSERT(real_bit_detection == real_bit);
  return core_data;
}
