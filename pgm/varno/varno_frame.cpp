#include "varno_frame.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "varno_assert.h"
#include "varno_util.h"

VARNO_FRAME_SEGMENT::VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TYPE type, u32 size, bool zero_fill)
    : m_type(type), m_data(new BYTE[size]), m_size(size) {
  std::memset(m_data.get(), zero_fill ? 0x00 : 0xFF, size);
}

VARNO_FRAME_SEGMENT::VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TYPE type, u32 size, BYTE* buffer)
    : m_type(type), m_data(buffer), m_size(size) {
  // Serialising or dumping would read size bytes through it.
  VARNO_ASSERT(buffer != NULL || size == 0);
}

VARNO_FRAME::~VARNO_FRAME() {
  // Segments, then instructions before, then instructions after; each list
  // last first.
  while (!m_segments.empty()) m_segments.pop_back();
  while (!m_pre.empty()) m_pre.pop_back();
  while (!m_post.empty()) m_post.pop_back();
}

void VARNO_FRAME::add_frame_segment(VARNO_FRAME_SEGMENT* segment) {
  VARNO_ASSERT(segment != NULL);
  std::unique_ptr<VARNO_FRAME_SEGMENT> owned(segment);
  m_segments.push_back(std::move(owned));
}

void VARNO_FRAME::add_instruction(VARNO_FRAME* instruction, bool before) {
  VARNO_ASSERT(instruction != NULL);
  // A frame holding itself would be serialised and deleted without end.
  VARNO_ASSERT(instruction != this);
  std::unique_ptr<VARNO_FRAME> owned(instruction);
  (before ? m_pre : m_post).push_back(std::move(owned));
}

VARNO_FRAME_SEGMENT* VARNO_FRAME::find_segment(VARNO_FRAME_SEGMENT_TYPE type) const {
  for (const auto& seg : m_segments) {
    VARNO_ASSERT(seg != NULL);
    if (seg->type() == type) return seg.get();
  }
  return nullptr;
}

VARNO_FRAME_SEGMENT* VARNO_FRAME::get_segment(VARNO_FRAME_SEGMENT_TYPE type) const {
  return find_segment(type);
}

u32 VARNO_FRAME::get_segment_size(VARNO_FRAME_SEGMENT_TYPE type) const {
  const VARNO_FRAME_SEGMENT* seg = find_segment(type);
  return seg == nullptr ? 0 : seg->size();
}

namespace {
// Bytes that fit from offset on in a segment of seg_size bytes, at most size.
// An offset at or past the end moves nothing.
u32 clipped_count(u32 seg_size, u32 size, u32 offset) {
  if (offset >= seg_size) return 0;
  return std::min(size, seg_size - offset);
}
}  // namespace

u32 VARNO_FRAME::get_segment_data(VARNO_FRAME_SEGMENT_TYPE type, BYTE* dest, u32 size,
                                  u32 offset) const {
  const VARNO_FRAME_SEGMENT* seg = find_segment(type);
  if (seg == nullptr) return 0;
  const u32 count = clipped_count(seg->size(), size, offset);
  if (count == 0) return 0;
  VARNO_ASSERT(dest != NULL);
  std::memcpy(dest, seg->data() + offset, count);
  return count;
}

u32 VARNO_FRAME::write_segment_data(VARNO_FRAME_SEGMENT_TYPE type, const BYTE* src, u32 size,
                                    u32 offset) {
  VARNO_FRAME_SEGMENT* seg = find_segment(type);
  if (seg == nullptr) return 0;
  const u32 count = clipped_count(seg->size(), size, offset);
  if (count == 0) return 0;
  VARNO_ASSERT(src != NULL);
  std::memmove(seg->data() + offset, src, count);
  return count;
}

u32 VARNO_FRAME::write_dword_to_segment(VARNO_FRAME_SEGMENT_TYPE type, u32 value, u32 offset) {
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                         static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  return write_segment_data(type, bytes, 4, offset);
}

u32 VARNO_FRAME::write_word_to_segment(VARNO_FRAME_SEGMENT_TYPE type, u16 value, u32 offset) {
  const BYTE bytes[2] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8)};
  return write_segment_data(type, bytes, 2, offset);
}

u32 VARNO_FRAME::get_total_instr_size() const {
  u32 total = 0;
  for (const auto& instr : m_pre) total += instr->get_frame_size();
  for (const auto& instr : m_post) total += instr->get_frame_size();
  return total;
}

u32 VARNO_FRAME::get_frame_size() const {
  u32 total = 0;
  for (const auto& seg : m_segments) {
    VARNO_ASSERT(seg != NULL);
    total += seg->size();
  }
  return total + get_total_instr_size();
}

// Full-width size, so that a frame too large for 32 bits can never pass the
// capacity check of get_frame_data.
u64 VARNO_FRAME::total_size() const {
  u64 total = 0;
  for (const auto& instr : m_pre) total += instr->total_size();
  for (const auto& seg : m_segments) {
    VARNO_ASSERT(seg != NULL);
    total += seg->size();
  }
  for (const auto& instr : m_post) total += instr->total_size();
  return total;
}

u32 VARNO_FRAME::get_frame_data(BYTE* dest, u32 capacity) const {
  const u64 frame_size = total_size();
  if (frame_size > capacity || frame_size == 0) return 0;
  VARNO_ASSERT(dest != NULL);

  u64 current_index = 0;
  for (const auto& instr : m_pre) {
    current_index += instr->get_frame_data(dest + current_index,
                                           static_cast<u32>(capacity - current_index));
  }
  for (const auto& seg : m_segments) {
    VARNO_ASSERT(seg != NULL);
    if (seg->size() > 0) std::memcpy(dest + current_index, seg->data(), seg->size());
    current_index += seg->size();
  }
  for (const auto& instr : m_post) {
    current_index += instr->get_frame_data(dest + current_index,
                                           static_cast<u32>(capacity - current_index));
  }
  VARNO_ASSERT(current_index == frame_size);
  return static_cast<u32>(frame_size);
}

BYTE* VARNO_FRAME::get_frame_data_ptr() const {
  if (m_segments.empty()) return nullptr;
  VARNO_ASSERT(m_segments.front() != NULL);
  return m_segments.front()->data();
}

void VARNO_FRAME::fingerprint(VARNO_FINGERPRINT& fp) const {
  fp.add_word((u64{m_command_flag} << 1) | u64{m_second_command_flag});
  fp.add_word((u64{m_pre.size()} << 32) | m_post.size());
  for (const auto& instr : m_pre) instr->fingerprint(fp);
  for (const auto& seg : m_segments) {
    fp.add_word(seg->type());
    fp.add(seg->data(), seg->size());
  }
  for (const auto& instr : m_post) instr->fingerprint(fp);
}

void VARNO_FRAME::dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format,
                       std::string comment) const {
  for (const auto& instr : m_pre) {
    instr->dump(stream, format, comment);
    comment.clear();
  }
  for (const auto& seg : m_segments) {
    VARNO_ASSERT(seg != NULL);
    // An empty segment has no DAT lines, so the comment waits for the next
    // item; as bit text it is a lone newline like any empty buffer.
    if (seg->size() == 0 && format == VARNO_OUTPUT_FORMAT_DAT) continue;
    VARNO_UTIL::dump_to_file(stream, format, seg->data(), seg->size(), comment);
    comment.clear();
  }
  // A frame with neither instructions before nor segments hands the comment
  // to every instruction after it.
  for (const auto& instr : m_post) instr->dump(stream, format, comment);
}
