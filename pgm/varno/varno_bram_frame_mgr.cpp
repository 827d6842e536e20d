#include "varno_bram_frame_mgr.h"

#include <algorithm>
#include <memory>

#include "varno_assert.h"
#include "varno_dblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "varno_util.h"

namespace {

constexpr VARNO_BLOCK_DATA_TYPE SLOT = VARNO_BLOCK_DATA_BRAM;

u64 user_bytes(VARNO_DBLOCK* block) { return (block->get_user_data_size(SLOT) + 7) / 8; }

u64 frames_of(u64 bytes) {
  return bytes / VARNO_BRAM_FRAME_MGR::BRAM_FRAME_SIZE +
         (bytes % VARNO_BRAM_FRAME_MGR::BRAM_FRAME_SIZE != 0 ? 1 : 0);
}

}  // namespace

VARNO_BRAM_FRAME_MGR::VARNO_BRAM_FRAME_MGR() : VARNO_QV_FRAME_MGR_BASE(NULLPTR_TEXTS) {}

VARNO_BRAM_FRAME_MGR::~VARNO_BRAM_FRAME_MGR() = default;

bool VARNO_BRAM_FRAME_MGR::setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*) {
  setup_device_headers(block);
  return true;
}

bool VARNO_BRAM_FRAME_MGR::create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) {
  // The user data is whole dwords; the frame list and the chunk list start empty.
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const u32 bits = static_cast<u32>(block->get_user_data_size(SLOT));
  if (bits != 0 && bits % 32 != 0) VARNO_INTERNAL_ERROR("Mismatch in user data size");
  block->clear_frames();
  // One chunk record per chunk of the frames built now.
  block->m_chunks.clear();
  if (block->get_user_data(SLOT) == nullptr) return true;
  return create_partial_frames(block, config, 0, 0);
}

bool VARNO_BRAM_FRAME_MGR::create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG*, u32,
                                                 u32) {
  // 1. The chunk sizes; without user data or chunk sizes there are no frames.
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const u8* data = block->get_user_data(SLOT);
  const std::vector<u32>& entries = block->m_custom_frame_sizes;
  if (data == nullptr || entries.empty()) return true;
  const u64 user_data_bytes = user_bytes(block);
  u64 start_loc = 0;
  VARNO_ASSERT(start_loc < user_data_bytes);
  // Frame numbers within the block: the frames already in its list come
  // first.
  u32 first_frame = block->get_number_of_frames();

  // 2. The chunks, back to back in the user data, each with its chunk record.
  for (size_t e = 0; e < entries.size(); ++e) {
    // In 64 bits: an entry of 2^30 dwords or more must not wrap to a small
    // chunk.
    const u64 data_size_bytes = u64{4} * entries[e];
    VARNO_ASSERT_MSG(data_size_bytes <= NW_BUFFER_SIZE,
                     "data_size_bytes <= static_cast<DWORD>(NW_BUFFER_SIZE)");
    const u64 total_frames_in_chunk = frames_of(data_size_bytes);
    VARNO_ASSERT(total_frames_in_chunk <= get_max_frame_num());

    const u64 end = std::min(start_loc + data_size_bytes, user_data_bytes);
    const std::vector<u8> chunk(data + start_loc, data + end);
    const u32 built = create_frame(block, chunk);
    // A last chunk cut short by the end of the user data has fewer frames
    // than its entry asks for; the record must count the frames there are.
    block->m_chunks.emplace_back(first_frame, built);
    first_frame += built;

    if (e + 1 == entries.size()) break;
    start_loc += data_size_bytes;
    VARNO_ASSERT(start_loc < user_data_bytes);
  }
  return true;
}

u32 VARNO_BRAM_FRAME_MGR::create_frame(VARNO_DBLOCK* block, const std::vector<u8>& chunk) {
  // The chunk cut into frames of at most BRAM_FRAME_SIZE bytes.
  VARNO_ASSERT_MSG(block != nullptr, "block != nullptr");
  const u64 data_size = chunk.size();
  VARNO_ASSERT_MSG(data_size <= NW_BUFFER_SIZE, "data_size <= static_cast<DWORD>(NW_BUFFER_SIZE)");
  if (data_size == 0) return 0;
  const u64 total_frames = frames_of(data_size);
  VARNO_ASSERT(total_frames <= get_max_frame_num());
  for (u64 offset = 0; offset < data_size; offset += BRAM_FRAME_SIZE) {
    const u32 size = static_cast<u32>(std::min<u64>(BRAM_FRAME_SIZE, data_size - offset));
    auto frame = std::make_unique<VARNO_FRAME>();
    auto segment = std::make_unique<VARNO_FRAME_SEGMENT>(VARNO_FRAME_SEGMENT_DATA, size, true);
    VARNO_UTIL::bit_copy(chunk.data() + offset, 0, segment->data(), 0, size * 8, true);
    frame->add_frame_segment(segment.release());
    append_frame(block, std::move(frame));
  }
  return static_cast<u32>(total_frames);
}

void VARNO_BRAM_FRAME_MGR::dump_expected_data(std::string&) {}
