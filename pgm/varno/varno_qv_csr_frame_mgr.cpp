#include "varno_qv_csr_frame_mgr.h"

#include <algorithm>
#include <cstring>

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_config.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

namespace {

constexpr u32 CSR_IMAGE_HEADER_BYTES = 32;
constexpr u32 CSR_RECORD_HEADER_BYTES = 16;
constexpr u32 CSR_AUX_HEADER_BYTES = 48;
constexpr u32 CSR_CLOSING_FRAME_BYTES = 16;
constexpr u32 CSR_WRITE_OP = 4;
constexpr u32 CSR_INNER_WRITE_OP = 6;
constexpr u32 CSR_INNER_AREG = 6;

enum CSR_FRAME_KIND : u32 {
  CSR_FRAME_PLAIN = 0,
  CSR_FRAME_NUMBERED = 1,
  CSR_FRAME_IOSSM = 2,
};

u64 chain_bytes(u32 bits) { return (u64{bits} + 7) / 8; }
u64 chain_words(u32 bits) { return (u64{bits} + 31) / 32; }

void put_dword(u8* dest, u64 value) {
  VARNO_UTIL::write_dword_safely(static_cast<u32>(value), dest);
}

// Writes the 32-byte image (or slice) header.
void write_image_header(u8* dest, u64 size, u32 records) {
  put_dword(dest, size);
  put_dword(dest + 4, CSR_IMAGE_HEADER_BYTES);
  put_dword(dest + 8, 0);
  put_dword(dest + 12, records);
}

// Writes the 16-byte header of a chain record.
void write_record_header(u8* dest, u64 record_size, u32 index) {
  put_dword(dest, record_size);
  put_dword(dest + 4, index);
}

}  // namespace

VARNO_QV_CSR_FRAME_MGR::VARNO_QV_CSR_FRAME_MGR() = default;

VARNO_QV_CSR_FRAME_MGR::~VARNO_QV_CSR_FRAME_MGR() = default;

// ---- Set-up ---------------------------------------------------------------------

bool VARNO_QV_CSR_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  // 1. The block's generator.
  VARNO_GEN* gen = generator_of(block);

  // 2. Chain count; numbered and IOSSM frames allow a block without chains.
  const u32 n = block->get_param_size("CSR_OFFSETS");
  m_total_frames = n;
  m_potential_frames = n;
  m_frame_kind = descriptor_word(block, 6);
  if (n == 0 && (m_frame_kind == CSR_FRAME_NUMBERED || m_frame_kind == CSR_FRAME_IOSSM)) {
    return true;
  }
  VARNO_ASSERT(m_total_frames > 0);

  // 3. Chain sizes and the common data-area size.
  if (m_chain_sizes.empty()) {
    u64 max_bytes = 0;
    for (u32 i = 0; i < n; ++i) {
      const u32 size = block->get_param_value("CSR_OFFSETS", i);
      m_chain_sizes.push_back(size);
      max_bytes = std::max(max_bytes, chain_bytes(size));
    }
    m_max_frame_size = static_cast<u32>((max_bytes + 3) / 4 * 4);
  }

  // 4. Sector and the header blocks of the device level.
  find_sector(gen);
  fetch_cnoc_cnt(array_generator(), "m_cnt_blk != nullptr && m_cnoc_blk != nullptr");

  // 5, 6. Frame size, and the configuration of the sector array.
  m_core_frame_size = frame_size_from_descriptor(block);
  VARNO_BLOCK_CONFIG* econfig = array_config();
  VARNO_ASSERT_MSG(econfig != nullptr, "econfig != NULL");

  // 7. IOSSM auxiliary master: the last chain is then not a chain record.
  const u32 aux_count = econfig->get_param_size(VOLD_PARAMETER_IOSSM_AUX_MASTER);
  m_io_aux_size = 0;
  if (aux_count == 0) {
    m_iossm_mode = 0;
    m_used = n;
  } else {
    const u32 index = sector_table_index(aux_count, "IOSSM_AUX_MASTER");
    if (econfig->get_param_value(VOLD_PARAMETER_IOSSM_AUX_MASTER, index) == 1) {
      m_iossm_mode = 2;
      m_io_aux_size = static_cast<u32>(chain_words(aux_chain_bits()) * 4);
    } else {
      m_iossm_mode = 1;
    }
    m_used = n - 1;
  }

  // 8, 9. Where the framed chains lie in the user data. A sector whose only
  // chain is the auxiliary one frames no chain record.
  if (m_chain_offsets.empty()) {
    u64 offset = 0;
    for (u32 i = 0; i < m_used; ++i) {
      m_chain_offsets.push_back(offset);
      offset += chain_bytes(m_chain_sizes[i]);
    }
    m_csr_data_size = offset;
  }
  m_set_up = true;
  return true;
}

bool VARNO_QV_CSR_FRAME_MGR::verify_user_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  const u64 bits = block->get_user_data_size(VARNO_BLOCK_DATA_CSR);
  if (bits == 0) return true;
  const u64 user_bytes = (bits + 7) / 8;
  u64 expected = m_csr_data_size;
  if (m_iossm_mode == 2) expected += chain_bytes(aux_chain_bits());
  if (user_bytes != expected) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Mismatch in user data size: csr_user_size (%d bytes) != csr_pcf_size (%d bytes), where "
        "total chain size is %d bytes",
        user_bytes, expected, m_csr_data_size));
  }
  return true;
}

// ---- Frame building -------------------------------------------------------------

bool VARNO_QV_CSR_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  verify_user_data(block, config);
  block->clear_frames();
  if (m_frame_kind == CSR_FRAME_IOSSM) return create_partial_iossm_frames(block, config, 0, 1);
  return create_partial_frames(block, config, 0, 1);
}

bool VARNO_QV_CSR_FRAME_MGR::ready_to_build(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  VARNO_ASSERT_MSG(block != nullptr, "block != NULL");
  if (block->get_user_data(VARNO_BLOCK_DATA_CSR) == nullptr) return false;
  generator_of(block);
  // The image is read from the user data, in partial builds too.
  verify_user_data(block, config);
  // Without chains set-up found neither header blocks nor a frame size:
  // there is nothing to frame.
  return m_set_up;
}

void VARNO_QV_CSR_FRAME_MGR::copy_chain_word(const u8* user, u64 offset, u32 size_bits, u32 k,
                                             u8* dest) const {
  const u64 first_bit = u64{k} * 32;
  VARNO_ASSERT_MSG(first_bit < size_bits, "k < chain_num_words");
  const u32 bits = static_cast<u32>(std::min<u64>(32, size_bits - first_bit));
  VARNO_UTIL::bit_copy(user + offset + u64{k} * 4, 0, dest, 0, bits, true);
}

void VARNO_QV_CSR_FRAME_MGR::write_aux_record(const u8* user, u8* dest) const {
  VARNO_ASSERT((m_io_aux_size % 4 == 0));
  write_image_header(dest, u64{m_io_aux_size} + CSR_AUX_HEADER_BYTES, 1);
  write_record_header(dest + CSR_IMAGE_HEADER_BYTES, u64{m_io_aux_size} + CSR_RECORD_HEADER_BYTES,
                      CSR_IMAGE_HEADER_BYTES);
  const u32 bits = aux_chain_bits();
  const u64 words = chain_words(bits);
  VARNO_ASSERT_MSG(words * 4 == m_io_aux_size, "aux_num_words * 4 == m_io_aux_size");
  u8* data = dest + CSR_AUX_HEADER_BYTES;
  for (u32 k = 0; k < words; ++k) {
    copy_chain_word(user, m_csr_data_size, bits, k, data + m_io_aux_size - 4 - u64{k} * 4);
  }
}

bool VARNO_QV_CSR_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config,
                                                   u32 first, u32 last) {
  // A partial build of an IOSSM block (the block's partial processing comes
  // here) must cut slices, not plain pieces.
  if (m_frame_kind == CSR_FRAME_IOSSM) {
    return create_partial_iossm_frames(block, config, first, last);
  }
  // 1. Nothing to build without user data or chains.
  if (!ready_to_build(block, config)) return true;
  const u8* user = block->get_user_data(VARNO_BLOCK_DATA_CSR);
  const bool hdrs = headers(block);

  // 2. Image size.
  const u64 record_size = u64{m_max_frame_size} + CSR_RECORD_HEADER_BYTES;
  const u64 main_size = CSR_IMAGE_HEADER_BYTES + u64{m_used} * record_size;
  u64 image_size = main_size;
  if (m_iossm_mode == 2) {
    VARNO_ASSERT(m_io_aux_size > 0);
    image_size += u64{m_io_aux_size} + CSR_AUX_HEADER_BYTES;
  }
  VARNO_ASSERT_MSG(image_size <= 0xFFFFFFFFu, "m_image_size <= 0xFFFFFFFF");

  // 3. The image; released however the build ends.
  struct IMAGE_SCOPE {
    std::vector<u8>& image;
    ~IMAGE_SCOPE() { std::vector<u8>().swap(image); }
  } scope{m_image};
  m_image.assign(image_size, 0);
  m_image_size = image_size;
  u8* image = m_image.data();
  write_image_header(image, main_size, m_used);
  for (u32 i = 0; i < m_used; ++i) {
    u8* record = image + CSR_IMAGE_HEADER_BYTES + u64{i} * record_size;
    VARNO_ASSERT((m_max_frame_size % 4 == 0));
    const u64 chain_num_words = chain_words(m_chain_sizes[i]);
    VARNO_ASSERT(m_max_frame_size / 4 >= chain_num_words);
    write_record_header(record, record_size, i);
    u8* data = record + CSR_RECORD_HEADER_BYTES;
    for (u32 k = 0; k < chain_num_words; ++k) {
      copy_chain_word(user, m_chain_offsets[i], m_chain_sizes[i], k,
                      data + m_max_frame_size - 4 - u64{k} * 4);
    }
  }
  if (m_iossm_mode == 2) write_aux_record(user, image + main_size);

  // 4. Pieces of the frame size.
  const u64 frames = (image_size + m_core_frame_size - 1) / m_core_frame_size;
  for (u32 j = 0; j < frames; ++j) {
    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, j, hdrs);
    if (frame != nullptr) append_frame(block, std::move(frame));
  }

  // 5. Numbered frames close with the count of frames sent, this one included.
  if (m_frame_kind == CSR_FRAME_NUMBERED) {
    auto frame = std::make_unique<VARNO_FRAME>();
    auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA,
                                                         CSR_CLOSING_FRAME_BYTES, true);
    put_dword(segment->data(), frames + 1);
    frame->add_frame_segment(segment.release());
    append_frame(block, std::move(frame));
  }
  return true;
}

bool VARNO_QV_CSR_FRAME_MGR::create_partial_iossm_frames(VARNO_DBLOCK* block,
                                                         VARNO_BLOCK_CONFIG* config, u32, u32) {
  // 1. Nothing to build without user data or chains.
  if (!ready_to_build(block, config)) return true;
  const u8* user = block->get_user_data(VARNO_BLOCK_DATA_CSR);
  const bool hdrs = headers(block);

  // 2. One slice per frame size of data area.
  const u32 fs = m_core_frame_size;
  const u64 n_frames = (u64{m_max_frame_size} + fs - 1) / fs;
  VARNO_ASSERT_MSG(n_frames > 0, "m_max_frame_size > (n_frames - 1) * m_core_frame_size");
  const u64 image_size = u64{16} * n_frames * (u64{m_used} + 2) + u64{m_used} * m_max_frame_size;
  VARNO_ASSERT_MSG(image_size <= 0xFFFFFFFFu, "m_image_size <= 0xFFFFFFFF");
  if (m_iossm_mode == 2) VARNO_ASSERT(m_io_aux_size > 0);

  // 3. The slices, back to back.
  struct IMAGE_SCOPE {
    std::vector<u8>& image;
    ~IMAGE_SCOPE() { std::vector<u8>().swap(image); }
  } scope{m_image};
  m_image.assign(image_size, 0);
  m_image_size = image_size;
  u8* p = m_image.data();
  for (u64 s = 0; s < n_frames; ++s) {
    const u32 rest = m_max_frame_size % fs;
    const u32 words_per_chain = (s + 1 < n_frames || rest == 0) ? fs / 4 : rest / 4;
    VARNO_ASSERT(words_per_chain > 0);
    const u64 slice_record = CSR_RECORD_HEADER_BYTES + u64{words_per_chain} * 4;
    write_image_header(p, CSR_IMAGE_HEADER_BYTES + u64{m_used} * slice_record, m_used);
    p += CSR_IMAGE_HEADER_BYTES;
    for (u32 i = 0; i < m_used; ++i) {
      write_record_header(p, slice_record, i);
      p += CSR_RECORD_HEADER_BYTES;
      const u64 chain_num_words = chain_words(m_chain_sizes[i]);
      for (u32 w = 0; w < words_per_chain; ++w, p += 4) {
        // Data-area byte q of the chain record holds chain word k.
        const u64 q = s * fs + u64{w} * 4;
        const u64 k = (m_max_frame_size - 4 - q) / 4;
        if (k < chain_num_words) {
          copy_chain_word(user, m_chain_offsets[i], m_chain_sizes[i], static_cast<u32>(k), p);
        }
      }
    }
  }
  VARNO_ASSERT_MSG(p == m_image.data() + image_size, "p == image + m_image_size");

  // 4. One frame per slice.
  for (u32 j = 0; j < n_frames; ++j) {
    std::unique_ptr<VARNO_FRAME> frame = create_frame(block, config, j, hdrs);
    if (frame != nullptr) append_frame(block, std::move(frame));
  }

  // 5. The auxiliary record travels alone, without records in front.
  if (m_iossm_mode == 2) {
    auto frame = std::make_unique<VARNO_FRAME>();
    auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(
        VARNO_FRAME_SEGMENT_DATA, m_io_aux_size + CSR_AUX_HEADER_BYTES, true);
    write_aux_record(user, segment->data());
    frame->add_frame_segment(segment.release());
    append_frame(block, std::move(frame));
  }
  return true;
}

std::unique_ptr<VARNO_FRAME> VARNO_QV_CSR_FRAME_MGR::create_frame(VARNO_DBLOCK* block,
                                                                  VARNO_BLOCK_CONFIG*, u32 j,
                                                                  bool headers) {
  if (block->get_user_data(VARNO_BLOCK_DATA_CSR) == nullptr) return nullptr;
  // Piece j of the image: frame-size pieces, or whole slices in kind 2; the
  // last one is what remains.
  const u64 stride = m_frame_kind == CSR_FRAME_IOSSM
                         ? CSR_IMAGE_HEADER_BYTES +
                               u64{m_used} * (CSR_RECORD_HEADER_BYTES + u64{m_core_frame_size})
                         : m_core_frame_size;
  u64 piece = stride;
  if ((u64{j} + 1) * piece > m_image_size) piece = m_image_size % piece;
  const u64 start = u64{j} * stride;
  VARNO_ASSERT_MSG(start + piece <= m_image.size(), "j * stride + piece <= m_image_size");

  const bool numbered = m_frame_kind == CSR_FRAME_NUMBERED;
  const u64 inner = numbered ? 4 + u64{m_cnoc_size} + m_cnt_size : 0;
  const u64 bytes = piece + (headers ? m_header_bytes : 0) + inner;
  VARNO_ASSERT_MSG(bytes * 8 <= 0xFFFFFFFFu, "frame_size * 8 <= 0xFFFFFFFF");
  const u32 frame_bytes = static_cast<u32>(bytes);
  auto frame = std::make_unique<VARNO_FRAME>();
  auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, frame_bytes, true);
  u8* dst = segment->data();
  frame->add_frame_segment(segment.release());

  // Records; the CNOC length and the CNT length count the whole frame.
  u8* p = dst;
  if (headers) {
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, frame_bytes, 0, sector_x(), sector_y(), p);
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, CSR_WRITE_OP, frame_bytes / 4, 0, 0, 0, p + m_cnoc_size);
    p += m_header_bytes;
  }
  if (numbered) {
    // The frame number takes the low byte only, so that it never runs into
    // the length above it.
    const u64 length_words = (u64{m_cnoc_size} + m_cnt_size + piece) / 4;
    put_dword(p, (length_words << 8) | ((u64{j} + 1) & 0xFF));
    p += 4;
    VARNO_UTIL::WriteCnocBlock(m_cnoc_blk, 0, 0, 0, 0, 0, p);
    p += m_cnoc_size;
    VARNO_UTIL::WriteCntBlock(m_cnt_blk, CSR_INNER_WRITE_OP, 0, CSR_INNER_AREG, 0, 0, p);
    p += m_cnt_size;
  }
  if (piece > 0) std::memcpy(p, m_image.data() + start, piece);
  return frame;
}

// ---- Expected data ---------------------------------------------------------------

void VARNO_QV_CSR_FRAME_MGR::dump_expected_data(std::string& path) {
  VARNO_DBLOCK* block = expected_data_block(path);
  const u8* data = block->get_user_data(VARNO_BLOCK_DATA_CSR);
  if (data == nullptr) return;
  // The chains are read from the user data: it must hold them.
  verify_user_data(block, block->get_block_config());
  write_expected_data(path, [&](std::ofstream& stream) {
    for (u32 i = 0; i < m_used; ++i) {
      VARNO_UTIL::dump_to_file(stream, VARNO_OUTPUT_FORMAT_BIT_TEXT, data + m_chain_offsets[i],
                               static_cast<u32>(chain_bytes(m_chain_sizes[i])), "");
    }
  });
}
