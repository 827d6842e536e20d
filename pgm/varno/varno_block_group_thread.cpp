// A decompression thread: the record stream of its blocks' frames and the
// raw deflate of that stream.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "cfg.h"
#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_block_group.h"
#include "varno_block_group_rules.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

using VARNO_GROUP_DETAIL::BLOCK_KIND;

namespace {

// Deflate: raw stream, 8 KB window, fixed Huffman codes only.
constexpr int DEFLATE_WINDOW_BITS = -13;
constexpr int DEFLATE_MEM_LEVEL = 8;

// The zero-filled record stream of one compress run. Every write is checked
// against the buffer before it happens. Header images are built once per
// distinct set of field values.
class RECORD_STREAM {
 public:
  RECORD_STREAM(VARNO_SBLOCK* hdr_block, u32 hdr_size, u64 capacity)
      : m_buf(capacity, 0), m_hdr_block(hdr_block), m_hdr_size(hdr_size) {}

  std::vector<u8>& buffer() { return m_buf; }
  u64 offset() const { return m_off; }
  u64 room() const { return m_buf.size() - m_off; }
  u8* here() { return m_buf.data() + m_off; }

  // Checks that n bytes fit at the current offset.
  void require(u64 n) const {
    if (n > m_buf.size() - m_off) {
      VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
          "Memory Corruption: data_to_compress_size (%d) < offset (%d)",
          static_cast<u32>(m_buf.size()), static_cast<u32>(std::min<u64>(m_off + n, 0xFFFFFFFFu))));
    }
  }
  void advance(u64 n) {
    require(n);
    m_off += n;
  }

  void header(u32 ch, u32 f_type, u32 s4, u32 thr, u32 len, u32 ch_ext) {
    require(m_hdr_size);
    const std::array<u32, 6> key = {ch, f_type, s4, thr, len, ch_ext};
    auto it = m_headers.find(key);
    if (it == m_headers.end()) {
      std::vector<u8> image(m_hdr_size, 0);
      VARNO_UTIL::WriteCompHdrBlock(m_hdr_block, ch, f_type, s4, thr, len, ch_ext, 0, image.data());
      it = m_headers.emplace(key, std::move(image)).first;
    }
    std::memcpy(here(), it->second.data(), m_hdr_size);
    m_off += m_hdr_size;
  }
  void delay(u32 s4, u32 n) { header(0, VARNO_COMP_FRTYPE_CONTROL, s4, 1, n, 0); }
  void gap(u32 s4, u32 n) { header(0, VARNO_COMP_FRTYPE_CONTROL, s4, 0, n, 0); }

 private:
  std::vector<u8> m_buf;
  u64 m_off = 0;
  VARNO_SBLOCK* m_hdr_block;
  u32 m_hdr_size;
  std::map<std::array<u32, 6>, std::vector<u8>> m_headers;
};

// deflateEnd on every path that leaves the stream initialised.
class DEFLATE_GUARD {
 public:
  explicit DEFLATE_GUARD(z_stream& stream) : m_stream(stream) {}
  ~DEFLATE_GUARD() {
    if (m_active) deflateEnd(&m_stream);
  }
  int end() {
    m_active = false;
    return deflateEnd(&m_stream);
  }

 private:
  z_stream& m_stream;
  bool m_active = true;
};

// What the firmware type asks of the records of block 0, the firmware image,
// and block 1, its parameters.
struct FW_RULES {
  explicit FW_RULES(u32 fw_type)
      : type(fw_type),
        present(fw_type != VARNO_QV_FW_TYPE_MAX),
        versioned(fw_type == VARNO_QV_HEADER_V2_FW || fw_type == VARNO_QV_HEADER_V3_FW ||
                  fw_type == VARNO_QV_HEADER_V3_SERDES_FW),
        v3(fw_type == VARNO_QV_HEADER_V3_FW || fw_type == VARNO_QV_HEADER_V3_SERDES_FW) {
    paced = versioned || fw_type == VARNO_QV_BLOCK_HEADER_FW;
  }

  u32 type;
  bool present;       // the firmware channel rules apply
  bool versioned;     // a fixed header version (2 or 3)
  bool v3;            // header version 3: every odd frame is a command frame
  bool paced = false;  // block 0's frames are each followed by a padding delay
};

// Channels of the record header besides the block's own.
constexpr u32 FW_PARAMS_CHANNEL = 1;
constexpr u32 COMMAND_CHANNEL = 2;
constexpr u32 FW_FIRST_FRAME_CHANNEL = 3;
// The channel of the control record behind each frame of the last block of
// a BBUS thread.
constexpr u32 BBUS_END_CHANNEL = 16;

// The last of the 249 frames of a full IO MMIO build, and the IO AHB frame:
// from these on the thread's records go to channel 1.
constexpr u32 IO_VAMM_CHANNEL_1_FRAME = 248;
constexpr u32 IO_AHB_CHANNEL_1_FRAME = 7;

// The argument of a PR command entry of the interleave map.
constexpr u32 PR_CMD_ARGUMENT = ~PR_CMD_FLAG;

// Column information of the ERAM partial-reconfiguration command: the column
// number and the flag of a row's last column.
constexpr u32 ERAM_COLUMN_MASK = 0xFF;
constexpr u32 ERAM_LAST_COLUMN = 0x100;
// Channel extensions 0 and 1 are not ERAM columns.
constexpr u32 ERAM_FIRST_COLUMN_EXT = 2;

// Delay and gap lengths of the control records.
constexpr u32 DELAY_1024 = 1024;
constexpr u32 FW_BLOCK1_GAP = 4;
constexpr u32 FW_COMMAND_GAP = 4;
constexpr u32 FW_LAST_FRAME_DELAY = 1000;
constexpr u32 ERAM_FRAME_DELAY = 100;
constexpr u32 BBUS_DEFAULT_END_DELAY = 100;
constexpr u32 BBUS_END_LENGTH = 4;
constexpr u32 IO_CSR_GAP = 200;
constexpr u32 MMIO_PAD = 4048;
constexpr u32 HNOC_PAD = 1024;
constexpr u32 MMIO2_PAD = 15360;
constexpr u32 FW_COMMAND_PAD = 1024;
constexpr u32 AIB_CSR_DELAY = 1000;
constexpr u32 UIB_GAP = 1024;

// The tile of a register-window block, from its image offsets.
u32 mmio_tile(VARNO_DBLOCK* blk) { return blk->get_arg_value("IMG_OFFSETS", 0, 3); }
bool is_rnr_tile(u32 tile) { return tile == 7 || tile == 8; }
bool is_gdr_tile(u32 tile) { return tile == 6 || tile == 9; }

// One compress run: the stream, the values fixed for the run, and what the
// records carry from one slot to the next.
struct COMPRESS_RUN {
  COMPRESS_RUN(VARNO_DC_THREAD& thread, RECORD_STREAM& stream, const VARNO_MGR_PARAM& param,
               u32 device)
      : thr(thread),
        out(stream),
        p(param),
        fw(param.fw_type),
        pr_mode(param.pr_mode),
        device_type(device),
        n(static_cast<u32>(thread.m_DBlocksArray.size())) {}

  VARNO_DC_THREAD& thr;
  RECORD_STREAM& out;
  const VARNO_MGR_PARAM& p;
  const FW_RULES fw;
  const u32 pr_mode;
  const u32 device_type;
  const u32 n;
  u32 s4 = 0;      // cleared for good by a BBUS or REGSCAN block
  u32 ch_ext = 0;  // set by the ERAM rules, kept from slot to slot
};

// One frame slot of the thread and what its rules decided.
struct SLOT {
  u32 k = 0;          // slot number
  u32 b = 0;          // block position
  u32 f = 0;          // frame of the block, or its sparse map entry
  u32 fi = 0;         // index into the block's frame list
  u32 entry = 0;      // sparse map entry of a CRAM block
  u32 thread_no = 0;  // thread number of the record header
  VARNO_DBLOCK* bl = nullptr;
  u32 type = 0;
  BLOCK_KIND kind = BLOCK_KIND::OTHER;
  u32 size = 0;
  i64 fw_frames = 0;  // frames of the firmware block, when the firmware is paced
  i64 fs = 0;         // f, signed, compared against fw_frames
  VARNO_FRAME* frame = nullptr;  // the frame of the data record
  bool emitted = false;
};

// Thread number of each block: multi-address sector blocks in test mode
// count among themselves with kind 2, the others with kind 0.
void thread_numbers(const COMPRESS_RUN& run, std::vector<u32>& index, std::vector<u32>& kind) {
  const VARNO_DC_THREAD& t = run.thr;
  index.assign(run.n, 0);
  kind.assign(run.n, 0);
  u32 upper = 0;
  u32 lower = 0;
  for (u32 i = 0; i < run.n; ++i) {
    if (VARNO_GROUP_DETAIL::sector_of(t.m_DBlocksArray[i]) != nullptr && t.m_test_mode != 0 &&
        t.m_multi_address[i]) {
      index[i] = upper++;
      kind[i] = 2;
    } else {
      index[i] = lower++;
      kind[i] = 0;
    }
  }
}

// The slot's thread number and block.
void take_block(COMPRESS_RUN& run, const std::vector<u32>& index, const std::vector<u32>& kind,
                SLOT& s) {
  VARNO_DC_THREAD& t = run.thr;
  s.thread_no = index.at(s.b) | kind.at(s.b);
  if (t.m_two_col_2d != 0) {
    VARNO_ASSERT_MSG(run.n == 2, "blk_count == 2");
    VARNO_ASSERT((t.m_Gen->get_mgr_param()->qv_2d_compression & VARNO_CRAM_2D_COMP_CHECK_BIT) != 0);
    s.thread_no <<= 1;
  }
  s.bl = dynamic_cast<VARNO_DBLOCK*>(t.m_DBlocksArray.at(s.b));
  VARNO_ASSERT(s.bl != nullptr);
  s.type = s.bl->block_type();
  s.kind = VARNO_GROUP_DETAIL::block_kind(s.type);
}

// The frame's index in the block; false when the sparse map skips the slot.
bool frame_index(COMPRESS_RUN& run, SLOT& s) {
  VARNO_DC_THREAD& t = run.thr;
  s.fi = s.f;
  if (run.pr_mode == VARNO_QV_PR_SPARSE) {
    if (s.type == VOLD_BLOCK_CRAM) {
      auto it = t.m_InterleaveMap[s.b].find(s.f);
      s.entry = it != t.m_InterleaveMap[s.b].end() ? it->second : 0;
      if ((s.entry & PR_SPARSE_SKIP_FLAG) != 0) return false;
      s.f = s.entry;
    }
    s.fi = s.f - t.m_frame_offsets[s.b];
  }
  return true;
}

void frame_size(COMPRESS_RUN& run, SLOT& s) {
  s.size = s.bl->get_frame_size(s.fi);
  if (s.b == 0 && run.fw.paced) {
    const u32 morlu_fw_frames = run.thr.m_DBlocksArray[0]->get_number_of_frames();
    VARNO_ASSERT(morlu_fw_frames > 0);
    s.fw_frames = morlu_fw_frames;
  }
  s.fs = s.f;
}

// Channels of the firmware image (block 0) and its parameters (block 1),
// with the control records that go before some of their frames.
void firmware_channel_rules(COMPRESS_RUN& run, SLOT& s) {
  if (!run.fw.present) return;
  u32& channel = run.thr.m_channel;
  const FW_RULES& fw = run.fw;
  channel = 0;
  if (s.b == 1) {
    s.thread_no = 0;
    channel = FW_PARAMS_CHANNEL;
    if (s.f == 0 && !fw.versioned) run.out.gap(run.s4, FW_BLOCK1_GAP);
  }
  if (s.b != 0) return;
  if (!fw.paced) {
    if (s.f == 0) channel = FW_FIRST_FRAME_CHANNEL;
    if (s.f == 1) channel = COMMAND_CHANNEL;
    if (s.f == 1 || s.f == 2) run.out.delay(run.s4, DELAY_1024);
  }
  if (fw.v3 && s.f % 2 == 1 && s.fs < s.fw_frames - 2) channel = COMMAND_CHANNEL;
  if (fw.type == VARNO_QV_HEADER_V2_FW && s.fs == s.fw_frames - 1) channel = COMMAND_CHANNEL;
  if (fw.type == VARNO_QV_BLOCK_HEADER_FW) {
    if (s.fs == 0 || s.fs == 1 || s.fs == s.fw_frames - 2 || s.fs == s.fw_frames - 1) {
      channel = COMMAND_CHANNEL;
    }
    if (s.f == 1 || s.f == 2) run.out.delay(run.s4, DELAY_1024);
  }
}

// Channels and thread numbers that the block type decides.
void block_type_rules(COMPRESS_RUN& run, const std::vector<u32>& index,
                      const std::vector<u32>& kind, SLOT& s) {
  u32& channel = run.thr.m_channel;
  if (s.type == VOLD_BLOCK_BBUS) {
    run.s4 = 0;
    const u32 v = (std::min<u32>(run.n, 8) - 1) & s.k;
    channel = v & 3;
    s.thread_no = (v >> 2) | kind[s.b];
  } else if (s.type == VOLD_BLOCK_IO_VAMM) {
    if (s.f == IO_VAMM_CHANNEL_1_FRAME) channel = 1;
  } else if (s.type == VOLD_BLOCK_IO_AHB) {
    if (s.f == IO_AHB_CHANNEL_1_FRAME) channel = 1;
  } else if (s.type == VOLD_BLOCK_REGSCAN) {
    run.s4 = 0;
    const u32 i = index[s.b];
    channel = i & 3;
    s.thread_no = ((i & 7) >> 2) | kind[s.b];
  }
}

// A command or NOP slot of the sparse map; true when it took the slot.
bool sparse_pr_slot(COMPRESS_RUN& run, SLOT& s) {
  if (run.pr_mode != VARNO_QV_PR_SPARSE || s.type != VOLD_BLOCK_CRAM) return false;
  RECORD_STREAM& out = run.out;
  if ((s.entry & PR_CMD_FLAG) != 0) {
    run.thr.m_stream_room = out.room();
    const u32 cmd_size =
        run.thr.insert_pr_cmd(out.here(), s.b, s.thread_no, s.entry & PR_CMD_ARGUMENT);
    VARNO_ASSERT(cmd_size > 0);
    out.advance(cmd_size);
    return true;
  }
  if ((s.entry & PR_DUMMY_FLAG) != 0) {
    out.header(0, VARNO_COMP_FRTYPE_CONTROL, 0, s.thread_no,
               static_cast<u32>(cfg_get_int_value("varno_dummy_nop_size", 140)), 0);
    return true;
  }
  return false;
}

// Channel and channel extension of an ERAM frame, with its
// partial-reconfiguration command.
void eram_rules(COMPRESS_RUN& run, SLOT& s) {
  if (s.type != VOLD_BLOCK_ERAM) return;
  VARNO_DC_THREAD& t = run.thr;
  RECORD_STREAM& out = run.out;
  if (t.m_tk_flow != 0) {
    const u32 q = VARNO_GROUP_DETAIL::eram_column_blocks(s.bl);
    t.m_channel = 0;
    if (run.pr_mode == VARNO_QV_PR_NONE) {
      VARNO_ASSERT_MSG(q > 0, "col_count >= bits_per_col");
      const u32 r = s.f % q;
      if (r == q - 1) t.m_channel = 1;
      run.ch_ext = r + ERAM_FIRST_COLUMN_EXT;
    } else {
      u32 info = 0;
      t.m_stream_room = out.room();
      out.advance(t.insert_eram_pr_cmd(out.here(), s.b, s.thread_no, s.f, info));
      if ((info & ERAM_LAST_COLUMN) != 0) t.m_channel = 1;
      run.ch_ext = (info & ERAM_COLUMN_MASK) + ERAM_FIRST_COLUMN_EXT;
    }
  } else if (run.pr_mode != VARNO_QV_PR_NONE) {
    t.m_thread_type = 0;
    u32 info = 0;
    t.m_stream_room = out.room();
    out.advance(t.insert_eram_pr_cmd(out.here(), s.b, s.thread_no, s.f, info));
    const u32 v = (info & ERAM_COLUMN_MASK) + ((info & ERAM_LAST_COLUMN) != 0 ? 3 : 0);
    t.m_channel = v & 3;
    s.thread_no = (v >> 2) & 1;
  }
}

// The frame's record, when it has bytes and its mask bit (in partial
// reconfiguration) is set.
void data_record(COMPRESS_RUN& run, SLOT& s) {
  VARNO_DC_THREAD& t = run.thr;
  RECORD_STREAM& out = run.out;
  bool mask_bit = run.pr_mode == VARNO_QV_PR_NONE;
  if (!mask_bit) {
    const u32 bit = s.f - t.m_frame_offsets[s.b];
    const std::vector<u8>& mask = t.m_pr_masks[s.b];
    mask_bit = (bit >> 3) < mask.size() && ((mask[bit >> 3] >> (bit & 7)) & 1) != 0;
  }
  if (s.size == 0 || !mask_bit) return;
  s.frame = s.bl->get_frame(s.fi);
  VARNO_ASSERT_MSG(s.frame != nullptr, "frame != nullptr");
  const u32 ch = s.frame->m_command_flag ? COMMAND_CHANNEL : t.m_channel;
  out.header(ch, t.m_thread_type, run.s4, s.thread_no, (s.size + 3) >> 2, run.ch_ext);
  const u64 padded = VARNO_GROUP_DETAIL::round_up_8(s.size);
  out.require(padded);
  VARNO_GEN* own = s.bl->generator();
  if (own != nullptr && own->get_mgr_param()->qv_2d_compression != 0 &&
      s.bl->get_2d_engine() != nullptr) {
    const u32 len = s.bl->get_frame_2d_segments(s.fi, out.here());
    VARNO_ASSERT_MSG(len <= s.size, "segments_size <= frame_size");
    out.advance(VARNO_GROUP_DETAIL::round_up_8(len));
  } else {
    s.bl->get_frame_data(s.fi, out.here());
    out.advance(padded);
  }
  s.emitted = true;
}

// The delay that follows each ERAM frame of one device type.
void eram_frame_delay(COMPRESS_RUN& run, const SLOT& s) {
  if ((s.emitted || s.size == 0) && run.pr_mode == VARNO_QV_PR_NONE &&
      s.type == VOLD_BLOCK_ERAM && run.device_type == VARNO_GROUP_DETAIL::ERAM_DELAY_DEVICE_TYPE) {
    run.out.delay(run.s4, ERAM_FRAME_DELAY);
  }
}

// The padding delay after a register-window frame or a paced firmware frame.
void padding_records(COMPRESS_RUN& run, const SLOT& s) {
  const FW_RULES& fw = run.fw;
  const bool fw_padding =
      s.b == 0 && fw.paced && s.fs < s.fw_frames - 1 && (s.f != 0 || fw.versioned);
  if (s.kind != BLOCK_KIND::MMIO && !fw_padding) return;
  u32 pad = MMIO_PAD;
  if (s.type == VOLD_BLOCK_HNOC_MMIO || s.type == VOLD_BLOCK_HNOC_AXI4LITE) pad = HNOC_PAD;
  if (s.type == VOLD_BLOCK_MMIO2) pad = MMIO2_PAD;
  if (fw.v3 && s.f % 2 == 1) pad = FW_COMMAND_PAD;
  if (s.fi >= s.bl->get_number_of_frames()) return;
  RECORD_STREAM& out = run.out;
  VARNO_FRAME* own_frame = s.bl->get_frame(s.fi);
  if (s.type == VOLD_BLOCK_MMIO2 && run.thr.check_for_mmio_flow_control_supported_tiles(s.bl)) {
    out.delay(run.s4, static_cast<u32>(cfg_get_int_value("varno_gdr_nop_delay_size", 1024)));
  } else if (fw.versioned && own_frame != nullptr && own_frame->m_command_flag) {
    out.delay(run.s4, DELAY_1024);
  } else {
    out.delay(run.s4, pad);
  }
  if (s.type == VOLD_BLOCK_MMIO2 && is_rnr_tile(mmio_tile(s.bl)) &&
      cfg_is_on("varno_increase_rnr_mmio2_delay", false)) {
    out.delay(run.s4, pad);
  }
  if (s.emitted && s.frame->m_command_flag && s.frame->m_second_command_flag) out.gap(run.s4, pad);
}

// The control records that close a slot.
void trailing_records(COMPRESS_RUN& run, const SLOT& s) {
  RECORD_STREAM& out = run.out;
  const u32 type = s.type;
  if (type == VOLD_BLOCK_BBUS && s.b == run.n - 1) {
    const int dly = cfg_get_int_value("varno_qv_bbus_iph_dly", 0);
    out.delay(run.s4, dly == 0 ? BBUS_DEFAULT_END_DELAY : static_cast<u32>(dly));
    out.header(BBUS_END_CHANNEL, VARNO_COMP_FRTYPE_CONTROL, run.s4, 0, BBUS_END_LENGTH, 0);
  }
  if (s.kind == BLOCK_KIND::IO_CSR) out.gap(run.s4, IO_CSR_GAP);
  padding_records(run, s);
  if (s.b == 0) {
    if (run.fw.v3 && s.f % 2 == 1 && s.fs < s.fw_frames - 1) out.gap(run.s4, FW_COMMAND_GAP);
    if (run.fw.type == VARNO_QV_BLOCK_HEADER_FW && s.fs == s.fw_frames - 1) {
      out.delay(run.s4, FW_LAST_FRAME_DELAY);
    }
  }
  if (type == VOLD_BLOCK_AIB_CSR) out.delay(run.s4, AIB_CSR_DELAY);
  if (s.kind == BLOCK_KIND::UIB) {
    out.gap(run.s4, type == VOLD_BLOCK_UIB_MMR
                        ? static_cast<u32>(cfg_get_int_value("varno_uibmmr_dly", 1024))
                        : UIB_GAP);
  }
}

// The records of every frame slot of the thread, in slot order.
void write_slot_records(COMPRESS_RUN& run, VARNO_BLOCK* last) {
  VARNO_DC_THREAD& t = run.thr;
  std::vector<u32> index;
  std::vector<u32> kind;
  thread_numbers(run, index, kind);
  // The type of the last block decides the pairing; the slot before the
  // first counts as one of the last block.
  const VARNO_GROUP_DETAIL::SLOT_LAYOUT layout(t.m_DBlocksArray, t.m_DcThreadFrames,
                                               t.m_tk_flow != 0, t.m_interleave != 0, last,
                                               "bl != nullptr");
  u32 current = run.n - 1;
  for (u32 k = 0; k < t.m_DcThreadFrames; ++k) {
    SLOT s;
    s.k = k;
    const bool after_fw =
        run.fw.type == VARNO_QV_IO_FW &&
        t.check_is_fw_block(dynamic_cast<VARNO_DBLOCK*>(t.m_DBlocksArray[current]));
    layout.place(k, after_fw, s.b, s.f);
    take_block(run, index, kind, s);
    current = s.b;
    if (!frame_index(run, s)) continue;
    frame_size(run, s);
    firmware_channel_rules(run, s);
    block_type_rules(run, index, kind, s);
    if (sparse_pr_slot(run, s)) continue;
    eram_rules(run, s);
    data_record(run, s);
    eram_frame_delay(run, s);
    trailing_records(run, s);
  }
}

}  // namespace

VARNO_GROUP_DETAIL::SLOT_LAYOUT::SLOT_LAYOUT(const std::vector<VARNO_BLOCK*>& blocks, u32 slots,
                                             bool tk_flow, bool interleave,
                                             VARNO_BLOCK* pairing_block, const char* missing_first)
    : m_blocks(blocks),
      m_n(static_cast<u32>(blocks.size())),
      m_slots(slots),
      m_interleave(interleave),
      m_missing_first(missing_first) {
  const bool pairs = tk_flow && interleave && pairing_block != nullptr &&
                     pairing_block->block_type() == VOLD_BLOCK_ERAM;
  m_group = pairs ? 2 : m_n;
  const u32 groups = m_group == 0 ? 0 : m_n / m_group;
  m_per_group = groups == 0 ? 0 : slots / groups;
  m_ok = m_per_group != 0 && (interleave || m_per_group >= m_n);
}

void VARNO_GROUP_DETAIL::SLOT_LAYOUT::place(u32 k, bool after_fw, u32& block, u32& frame) const {
  if (after_fw) {
    VARNO_ASSERT_MSG(m_n == 2, "blk_count == 2");
    VARNO_BLOCK* first = m_blocks[0];
    VARNO_ASSERT_MSG(first != nullptr, m_missing_first);
    const u32 f0 = first->get_number_of_frames();
    VARNO_ASSERT_MSG(f0 > 0, "fw_frames > 0");
    block = k / f0;
    frame = k % f0;
  } else if (!m_ok) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
        "Unsupported DC thread layout: %d blocks, %d frame slots", m_n, m_slots));
  } else if (m_interleave) {
    block = (k / m_per_group) * m_group + k % m_group;
    frame = (k % m_per_group) / m_group;
  } else {
    const u32 per_block = m_per_group / m_n;
    block = k / per_block;
    frame = k % per_block;
  }
}

VARNO_DC_THREAD::VARNO_DC_THREAD() = default;

// Masks, buffers and the header copy are released by their owners; the
// blocks and the generator stay their owners'.
VARNO_DC_THREAD::~VARNO_DC_THREAD() = default;

void VARNO_DC_THREAD::set_generator(VARNO_GEN* gen) {
  m_Gen = gen;
  m_CompFrmHdrBlk.reset();
  if (gen == nullptr) return;
  m_CompFrmHdrBlk = VARNO_GROUP_DETAIL::option_block_copy(gen, "COMP_FRAME_HDR");
  m_tk_flow = gen->get_mgr_param()->tk_flow == 1 ? 1 : 0;
  if (m_tk_flow != 0) m_tk_pr = 1;
}

bool VARNO_DC_THREAD::is_bus_active(bool bus) {
  if (m_test_mode == 0) return !bus;
  const size_t n = m_DBlocksArray.size();
  VARNO_ASSERT_MSG(n <= QV_MAX_BLOCKS_PER_THREAD, "blk_count can't be greater than array boundary");
  for (size_t i = 0; i < n; ++i) {
    if (VARNO_GROUP_DETAIL::sector_of(m_DBlocksArray[i]) != nullptr && m_multi_address[i] == bus) {
      return true;
    }
  }
  return false;
}

bool VARNO_DC_THREAD::check_is_fw_block(VARNO_DBLOCK* blk) {
  return blk != nullptr && VARNO_GROUP_DETAIL::is_fw_type(blk->block_type());
}

bool VARNO_DC_THREAD::check_for_mmio_flow_control_supported_tiles(VARNO_DBLOCK* blk) {
  const u32 tile = mmio_tile(blk);
  if (cfg_is_on("varno_enable_rnr_mmio2_interrupt_wait", true) && is_rnr_tile(tile)) return true;
  if (cfg_is_on("varno_enable_gdr_mmio2_interrupt_wait", true)) return is_gdr_tile(tile);
  return false;
}

bool VARNO_DC_THREAD::compress() {
  const u32 n = static_cast<u32>(m_DBlocksArray.size());
  if (n == 0) return true;

  m_compressed.reset();
  m_compressed_size = 0;
  VARNO_ASSERT(m_CompFrmHdrBlk != nullptr);
  const u32 frame_hdr_size = m_CompFrmHdrBlk->get_block_size();
  VARNO_ASSERT(frame_hdr_size > 0);
  // Every per-position table has room for four blocks.
  VARNO_ASSERT_MSG(n <= QV_MAX_BLOCKS_PER_THREAD, "blk_count can't be greater than array boundary");

  const u64 capacity = (u64{frame_hdr_size} * 5 + 4) * m_DcThreadFrames + m_data_size + 4098;
  RECORD_STREAM out(m_CompFrmHdrBlk.get(), frame_hdr_size, capacity);

  const VARNO_MGR_PARAM& p = *m_Gen->get_mgr_param();
  COMPRESS_RUN run(*this, out, p, VARNO_GROUP_DETAIL::device_info_of(m_Gen)->get_device_type());

  VARNO_BLOCK* last = m_DBlocksArray[n - 1];
  VARNO_ASSERT_MSG(last != nullptr, "bl != nullptr");
  const u32 last_type = last->block_type();

  std::array<u8, 256> table{};
  bool remap = false;
  if (p.use_codebook != 0 && m_Gen->get_korvia_codebook_size(last_type) != 0) {
    // The inverse must match the codebook the device is loaded with.
    const int size = copy_reversed_host_literals(table.data(), 256, last_type);
    if (size != 256) {
      VARNO_INTERNAL_ERROR(
          KORVIA::fmt_sprintf("Unsupported literals size (%d) != %d", size, 256));
    }
    remap = true;
  }

  if (p.s4_variant == 0 && last_type == VOLD_BLOCK_CRAM && p.qv_2d_align != 0) {
    run.s4 = (p.qv_2d_compression & VARNO_GROUP_DETAIL::S4_FLAG_COMPRESSION_BIT) != 0 ? 1 : 0;
  }

  if (m_DcThreadFrames == 0) {
    // No records: the empty stream is still deflated.
  } else if (VARNO_GROUP_DETAIL::block_kind(last_type) == BLOCK_KIND::LOAD) {
    VARNO_ASSERT_MSG(n == 1, "blk_count == 1");
    m_stream_room = out.room();
    const VOLD_BLOCK_TYPE type = static_cast<VOLD_BLOCK_TYPE>(last_type);
    const u32 data_size = get_bram_xcvr_compressed_data(type, out.here(), 0,
                                                         dynamic_cast<VARNO_DBLOCK*>(last));
    VARNO_ASSERT(data_size > 0);
    out.advance(data_size);
  } else {
    write_slot_records(run, last);
  }

  return deflate_stream(out.buffer(), out.offset(), remap ? table.data() : nullptr);
}

bool VARNO_DC_THREAD::deflate_stream(std::vector<u8>& stream, u64 length, const u8* table) {
  VARNO_ASSERT_MSG(length <= std::numeric_limits<uInt>::max() / 2,
                   "data_to_compress_size <= 0x7FFFFFFF");
  const int level = m_Gen->get_mgr_param()->deflate_store != 0 ? 0 : 9;
  VARNO_UTIL::print_debug_msg(5, "zlib_version: %s\n", zlibVersion());

  z_stream zs{};
  int err = deflateInit2(&zs, level, Z_DEFLATED, DEFLATE_WINDOW_BITS, DEFLATE_MEM_LEVEL, Z_FIXED);
  if (err != Z_OK) {
    VARNO_UTIL::print_error_msg("zlib_deflateInit2() failed with error: %d", err);
    return false;
  }
  DEFLATE_GUARD guard(zs);

  // At least the room zlib itself promises for this input, so that one
  // finishing call always completes; 8 bytes more for the closing zeros.
  const u64 room = std::max<u64>(length * 12 / 10 + 16, u64{deflateBound(&zs, static_cast<uLong>(length))} + 8);
  VARNO_ASSERT_MSG(room <= std::numeric_limits<u32>::max(), "compressed_size <= 0xFFFFFFFF");
  // Not zero-filled: only the output and the eight bytes behind it are ever
  // read, and untouched pages of a large buffer then cost no memory.
  m_compressed.reset(new u8[room]);

  if (table != nullptr) {
    for (u64 i = 0; i < length; ++i) stream[i] = table[stream[i]];
  }

  zs.next_in = stream.data();
  zs.avail_in = static_cast<uInt>(length);
  zs.next_out = m_compressed.get();
  zs.avail_out = static_cast<uInt>(room - 8);
  err = deflate(&zs, Z_NO_FLUSH);
  if (err != Z_OK) {
    VARNO_UTIL::print_error_msg("zlib_deflate() failed with error: %d", err);
    return false;
  }
  err = deflate(&zs, Z_FINISH);
  VARNO_ASSERT_MSG(err == Z_STREAM_END, "err == ZLIB_STREAM_END");
  const u64 produced = zs.total_out;
  err = guard.end();
  if (err != Z_OK) {
    VARNO_UTIL::print_error_msg("zlib_deflateEnd() failed with error: %d", err);
    return false;
  }
  // The eight closing zero bytes behind the output.
  std::memset(m_compressed.get() + produced, 0, 8);
  m_compressed_size = static_cast<u32>(produced + 8);
  m_data_size = m_compressed_size;
  return true;
}
