// Frames and frame segments: the unit in which a data block holds and hands
// out its configuration data. A frame is its instruction frames before, its
// typed byte segments in order, and its instruction frames after; it owns all
// of them, and a segment owns its bytes.
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "varno_types.h"

class VARNO_FINGERPRINT;

enum VARNO_FRAME_SEGMENT_TYPE : u32 {
  VARNO_FRAME_SEGMENT_HEADER = 0,   // header words of a frame or an instruction
  VARNO_FRAME_SEGMENT_DATA = 1,     // core data
  VARNO_FRAME_SEGMENT_EDCRC = 2,    // ED-CRC words
  VARNO_FRAME_SEGMENT_TRAILER = 3,  // check word, random filler
  VARNO_FRAME_SEGMENT_PADDING = 4,  // padding of a custom instruction frame
};

class VARNO_FRAME_SEGMENT {
 public:
  // size bytes of 0x00 (zero_fill) or 0xFF.
  VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TYPE type, u32 size, bool zero_fill);
  // Adopts buffer, an array (new BYTE[]) of at least size bytes; nothing is
  // copied. A null buffer is accepted only with size 0.
  VARNO_FRAME_SEGMENT(VARNO_FRAME_SEGMENT_TYPE type, u32 size, BYTE* buffer);
  ~VARNO_FRAME_SEGMENT() = default;
  VARNO_FRAME_SEGMENT(const VARNO_FRAME_SEGMENT&) = delete;
  VARNO_FRAME_SEGMENT& operator=(const VARNO_FRAME_SEGMENT&) = delete;

  VARNO_FRAME_SEGMENT_TYPE type() const { return m_type; }
  BYTE* data() const { return m_data.get(); }
  u32 size() const { return m_size; }

 private:
  VARNO_FRAME_SEGMENT_TYPE m_type;
  std::unique_ptr<BYTE[]> m_data;
  u32 m_size;
};

class VARNO_FRAME {
 public:
  VARNO_FRAME() = default;
  ~VARNO_FRAME();
  VARNO_FRAME(const VARNO_FRAME&) = delete;
  VARNO_FRAME& operator=(const VARNO_FRAME&) = delete;

  // Appends; the frame owns the segment from now on.
  void add_frame_segment(VARNO_FRAME_SEGMENT* segment);
  // Appends an instruction frame sent before (true) or after (false) this
  // frame's segments; the frame owns it from now on.
  void add_instruction(VARNO_FRAME* instruction, bool before);

  // Lookups by type see the first segment of that type.
  VARNO_FRAME_SEGMENT* get_segment(VARNO_FRAME_SEGMENT_TYPE type) const;
  u32 get_segment_size(VARNO_FRAME_SEGMENT_TYPE type) const;
  // Copy up to size bytes from or to the segment at byte offset, clipped at
  // the segment's end; return the count moved (0 when there is no segment of
  // the type or the offset is at or past its end).
  u32 get_segment_data(VARNO_FRAME_SEGMENT_TYPE type, BYTE* dest, u32 size, u32 offset) const;
  u32 write_segment_data(VARNO_FRAME_SEGMENT_TYPE type, const BYTE* src, u32 size, u32 offset);
  // Little-endian stores through write_segment_data, clipped likewise.
  u32 write_dword_to_segment(VARNO_FRAME_SEGMENT_TYPE type, u32 value, u32 offset);
  u32 write_word_to_segment(VARNO_FRAME_SEGMENT_TYPE type, u16 value, u32 offset);

  // Bytes of the instruction frames before and after.
  u32 get_total_instr_size() const;
  // Bytes of the serialised frame: instruction frames and segments.
  u32 get_frame_size() const;
  // Serialises the pre-instruction frames, the segments and the
  // post-instruction frames back to back into dest; returns the frame size,
  // or 0 without writing when it exceeds capacity.
  u32 get_frame_data(BYTE* dest, u32 capacity) const;
  // Bytes of the first segment, whatever its type; null without segments.
  BYTE* get_frame_data_ptr() const;

  // Feeds what the frame holds (its instruction frames, its segments'
  // types and bytes, its command marks) to fp.
  void fingerprint(VARNO_FINGERPRINT& fp) const;

  // Writes the frame to a dump file; the comment goes with the first item
  // dumped (see the definition for instruction frames after).
  void dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format, std::string comment) const;

  const std::vector<std::unique_ptr<VARNO_FRAME_SEGMENT>>& segments() const { return m_segments; }
  const std::vector<std::unique_ptr<VARNO_FRAME>>& pre_instructions() const { return m_pre; }
  const std::vector<std::unique_ptr<VARNO_FRAME>>& post_instructions() const { return m_post; }

  // Command-frame marks for the group assembly; set by the managers that build
  // command frames; serialisation and dumps ignore them.
  bool m_command_flag = false;
  bool m_second_command_flag = false;

 private:
  u64 total_size() const;
  VARNO_FRAME_SEGMENT* find_segment(VARNO_FRAME_SEGMENT_TYPE type) const;

  std::vector<std::unique_ptr<VARNO_FRAME_SEGMENT>> m_segments;
  std::vector<std::unique_ptr<VARNO_FRAME>> m_pre;
  std::vector<std::unique_ptr<VARNO_FRAME>> m_post;
};
