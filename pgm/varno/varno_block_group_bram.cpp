// BRAM and transceiver load sequences of a decompression thread: a command
// preamble announcing the load and its chunk count, then each chunk's frames
// with their load addresses, each chunk closed by a delay.
#include <cstring>

#include "cfg.h"
#include "varno_assert.h"
#include "varno_block_group.h"
#include "varno_block_group_rules.h"
#include "varno_dblock.h"
#include "varno_header_writers.h"
#include "varno_sblock.h"
#include "varno_util.h"

namespace {

// Consecutive frames of a chunk load 2 KB apart; chunks alternate between
// two load buffers.
constexpr u32 FRAME_ADDRESS_STEP = 0x800;
constexpr u32 SECOND_BUFFER_BASE = 0x3800;

struct LOAD_WORDS {
  u32 load_start;
  u32 chunk_count;
};

void check_type(VOLD_BLOCK_TYPE block_type) {
  using VARNO_GROUP_DETAIL::BLOCK_KIND;
  VARNO_ASSERT_MSG(VARNO_GROUP_DETAIL::block_kind(block_type) == BLOCK_KIND::LOAD,
                   "block_type == VOLD_BLOCK_BRAM || block_type == VOLD_BLOCK_XCVR");
}

LOAD_WORDS load_words(VOLD_BLOCK_TYPE type) {
  return type == VOLD_BLOCK_BRAM ? LOAD_WORDS{0xA014, 0xA012} : LOAD_WORDS{0xA018, 0xA016};
}

// Both keys of a pair are read; the block type picks one.
u32 delay_of(VOLD_BLOCK_TYPE type, const char* bram_key, const char* xcvr_key, int bram_default,
             int xcvr_default) {
  const int bram = cfg_get_int_value(bram_key, bram_default);
  const int xcvr = cfg_get_int_value(xcvr_key, xcvr_default);
  return static_cast<u32>(type == VOLD_BLOCK_BRAM ? bram : xcvr);
}

// The checks both halves of a load sequence open with, in their order, and
// the block's chunk list; slots, when given, is the thread's frame-slot
// count, which the frame half also checks.
const std::vector<std::pair<u32, u32>>& checked_chunks(VOLD_BLOCK_TYPE block_type, unsigned thr_data,
                                                      VARNO_SBLOCK* hdr_block, VARNO_DBLOCK* bl,
                                                      const u32* slots, const u8* dest) {
  check_type(block_type);
  VARNO_ASSERT(thr_data == 0);
  VARNO_ASSERT_MSG(hdr_block != nullptr, "m_CompFrmHdrBlk != nullptr");
  VARNO_ASSERT_MSG(hdr_block->get_block_size() > 0, "frame_hdr_size > 0");
  VARNO_ASSERT(bl != nullptr);
  if (slots != nullptr) VARNO_ASSERT_MSG(*slots > 0, "m_DcThreadFrames > 0");
  VARNO_ASSERT_MSG(bl->m_chunks.size() > 0, "chunks.size() > 0");
  VARNO_ASSERT_MSG(dest != nullptr, "dest != nullptr");
  return bl->m_chunks;
}

}  // namespace

u32 VARNO_DC_THREAD::get_bram_xcvr_commands(const VOLD_BLOCK_TYPE& type, u8* dest,
                                            const unsigned& thr, VARNO_DBLOCK* blk) {
  const VOLD_BLOCK_TYPE block_type = type;
  const unsigned thr_data = thr;
  const std::vector<std::pair<u32, u32>>& chunks =
      checked_chunks(block_type, thr_data, m_CompFrmHdrBlk.get(), blk, nullptr, dest);

  const LOAD_WORDS words = load_words(block_type);
  const u32 preamble_dly = delay_of(block_type, "varno_usr_bram_preamble_dly",
                                    "varno_usr_xcvr_preamble_dly", 200, 200);
  const u32 load_dly =
      delay_of(block_type, "varno_usr_bram_load_dly", "varno_usr_xcvr_load_dly", 4096, 4096);

  VARNO_GROUP_WRITER w(dest, m_stream_room, VARNO_GROUP_DETAIL::STREAM_OVERRUN);
  m_channel = 0;
  write_comp_header(w, 0, 0, 0, thr_data, 1);
  w.dword(words.load_start);
  w.dword(0);
  write_comp_header(w, 1, VARNO_COMP_FRTYPE_CONTROL, 0, thr_data, preamble_dly);
  write_comp_header(w, 0, VARNO_COMP_FRTYPE_CONTROL, 0, thr_data, 2);
  write_comp_header(w, m_channel, 0, 0, thr_data, 2);
  w.dword(words.chunk_count);
  w.dword(static_cast<u32>(chunks.size()));
  write_comp_header(w, 1, VARNO_COMP_FRTYPE_CONTROL, 0, thr_data, load_dly);
  return static_cast<u32>(w.position());
}

u32 VARNO_DC_THREAD::get_bram_xcvr_frames(const VOLD_BLOCK_TYPE& type, u8* dest,
                                          const unsigned& thr, VARNO_DBLOCK* blk) {
  const VOLD_BLOCK_TYPE block_type = type;
  const unsigned thr_data = thr;
  const std::vector<std::pair<u32, u32>>& chunks =
      checked_chunks(block_type, thr_data, m_CompFrmHdrBlk.get(), blk, &m_DcThreadFrames, dest);
  VARNO_DBLOCK* bl = blk;

  const u32 chunk_dly =
      delay_of(block_type, "varno_usr_bram_chunk_dly", "varno_usr_xcvr_chunk_dly", 10000, 12000);
  const u32 block_frames = bl->get_number_of_frames();

  VARNO_GROUP_WRITER w(dest, m_stream_room, VARNO_GROUP_DETAIL::STREAM_OVERRUN);
  u32 base = SECOND_BUFFER_BASE;
  for (size_t c = 0; c < chunks.size(); ++c) {
    const u32 frame_start = chunks[c].first;
    const u32 frame_num = chunks[c].second;
    if (frame_num > 1) m_multi_frame_chunk = 1;
    base = base == 0 ? SECOND_BUFFER_BASE : 0;
    // Summed in 64 bits so that a wrapping sum cannot pass.
    const u64 chunk_end = u64{frame_start} + frame_num;
    VARNO_ASSERT_MSG(chunk_end <= m_DcThreadFrames,
                     "(chunk->frame_start + chunk->frame_num) <= m_DcThreadFrames");
    // A frame the block does not have would be loaded as an empty record.
    VARNO_ASSERT_MSG(chunk_end <= block_frames,
                     "(chunk->frame_start + chunk->frame_num) <= bl->get_number_of_frames()");
    for (u32 j = 0; j < frame_num; ++j) {
      const u32 f = frame_start + j;
      const u32 size = bl->get_frame_size(f);
      m_channel = j + 1 == frame_num ? 3 : 2;
      write_comp_header(w, m_channel, m_thread_type, 0, thr_data,
                        static_cast<u32>((u64{size} + 7) >> 2));
      const u64 body = VARNO_GROUP_DETAIL::round_up_8(u64{size} + 4);
      u8* at = w.reserve(body);
      std::memset(at, 0, body);
      VARNO_UTIL::write_dword_safely(base + j * FRAME_ADDRESS_STEP, at);
      if (size > 0) bl->get_frame_data(f, at + 4);
    }
    if (c + 1 == chunks.size()) {
      write_comp_header(w, 0, VARNO_COMP_FRTYPE_CONTROL, 0, thr_data, 2);
    } else {
      write_comp_header(w, 1, VARNO_COMP_FRTYPE_CONTROL, 0, thr_data, chunk_dly);
    }
  }
  return static_cast<u32>(w.position());
}

u32 VARNO_DC_THREAD::get_bram_xcvr_compressed_data(const VOLD_BLOCK_TYPE& type, u8* dest,
                                                   const unsigned& thr, VARNO_DBLOCK* blk) {
  const VOLD_BLOCK_TYPE block_type = type;
  check_type(block_type);
  VARNO_DBLOCK* bl = blk;
  VARNO_ASSERT(bl != nullptr);
  VARNO_ASSERT(m_DcThreadFrames > 0);

  u32 data_size = get_bram_xcvr_commands(type, dest, thr, blk);
  VARNO_ASSERT(data_size > 0);
  const u32 commands = data_size;
  // The frames get the room the commands left.
  const u64 room = m_stream_room;
  m_stream_room = room - commands;
  data_size = get_bram_xcvr_frames(type, dest + commands, thr, blk);
  m_stream_room = room;
  VARNO_ASSERT(data_size > 0);
  return commands + data_size;
}
