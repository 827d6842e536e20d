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
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_mgr_param.h"
#include "varno_sblock.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// Frame types of the control records.
constexpr u32 CONTROL_FRTYPE = 3;
constexpr u32 BBUS_END_CHANNEL = 16;
constexpr u32 DELAY_1024 = 1024;
// Device type whose ERAM frames are each followed by a short delay.
constexpr u32 ERAM_DELAY_DEVICE_TYPE = 62;
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
  void delay(u32 s4, u32 n) { header(0, CONTROL_FRTYPE, s4, 1, n, 0); }
  void gap(u32 s4, u32 n) { header(0, CONTROL_FRTYPE, s4, 0, n, 0); }

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

bool is_padding_type(u32 type) {
  return type == VOLD_BLOCK_MORLU_CSR || type == VOLD_BLOCK_EHIP_MMIO ||
         type == VOLD_BLOCK_HIP_MMIO || type == VOLD_BLOCK_MMIO2 || type == VOLD_BLOCK_HNOC_MMIO ||
         type == VOLD_BLOCK_HNOC_AXI4LITE;
}

bool img_offsets_is_rnr(VARNO_DBLOCK* blk) {
  const u32 tile = blk->get_arg_value("IMG_OFFSETS", 0, 3);
  return tile == 7 || tile == 8;
}

}  // namespace

VARNO_DC_THREAD::VARNO_DC_THREAD() = default;

// Masks, buffers and the header copy are released by their owners; the
// blocks and the generator stay their owners'.
VARNO_DC_THREAD::~VARNO_DC_THREAD() = default;

void VARNO_DC_THREAD::set_generator(VARNO_GEN* gen) {
  m_Gen = gen;
  m_CompFrmHdrBlk.reset();
  if (gen == nullptr) return;
  if (dynamic_cast<VARNO_SBLOCK*>(gen->get_block("COMP_FRAME_HDR", false)) != nullptr) {
    std::unique_ptr<VARNO_IBLOCK> copy(gen->get_block("COMP_FRAME_HDR", true));
    if (auto* sblock = dynamic_cast<VARNO_SBLOCK*>(copy.get())) {
      copy.release();
      m_CompFrmHdrBlk.reset(sblock);
    }
  }
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
  if (blk == nullptr) return false;
  const u32 type = blk->block_type();
  return type == VOLD_BLOCK_CNT_FW || type == VOLD_BLOCK_FW_PARAMS ||
         type == VOLD_BLOCK_FW_PARAMS_WEST || type == VOLD_BLOCK_FW_PARAMS_EAST;
}

bool VARNO_DC_THREAD::check_for_mmio_flow_control_supported_tiles(VARNO_DBLOCK* blk) {
  const u32 tile = blk->get_arg_value("IMG_OFFSETS", 0, 3);
  if (cfg_is_on("varno_enable_rnr_mmio2_interrupt_wait", true) && (tile == 7 || tile == 8)) {
    return true;
  }
  if (cfg_is_on("varno_enable_gdr_mmio2_interrupt_wait", true)) return tile == 6 || tile == 9;
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
  const u32 w = p.fw_type;
  const bool a_fw = w == 3 || w == 4 || w == 6 || w == 7;
  const bool b_fw = w == 4 || w == 6 || w == 7;
  const bool c_fw = w == 6 || w == 7;
  const u32 pr_mode = p.pr_mode;

  VOLD_DEVICE_INFO* device_info =
      m_Gen->device_pcf_info() != nullptr ? m_Gen->device_pcf_info()->get_device_info() : nullptr;
  VARNO_ASSERT(device_info != nullptr);
  const u32 device_type = device_info->get_device_type();

  // Thread number of each block: multi-address sector blocks in test mode
  // count among themselves with kind 2, the others with kind 0.
  std::vector<u32> index(n);
  std::vector<u32> kind(n);
  u32 upper = 0;
  u32 lower = 0;
  for (u32 i = 0; i < n; ++i) {
    if (VARNO_GROUP_DETAIL::sector_of(m_DBlocksArray[i]) != nullptr && m_test_mode != 0 &&
        m_multi_address[i]) {
      index[i] = upper++;
      kind[i] = 2;
    } else {
      index[i] = lower++;
      kind[i] = 0;
    }
  }
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

  u32 s4 = 0;
  if (p.s4_variant == 0 && last_type == VOLD_BLOCK_CRAM && p.qv_2d_align != 0) {
    s4 = (p.qv_2d_compression >> 3) & 1u;
  }

  if (m_DcThreadFrames == 0) {
    // No records: the empty stream is still deflated.
  } else if (last_type == VOLD_BLOCK_BRAM || last_type == VOLD_BLOCK_XCVR) {
    VARNO_ASSERT_MSG(n == 1, "blk_count == 1");
    m_stream_room = out.room();
    const VOLD_BLOCK_TYPE type = static_cast<VOLD_BLOCK_TYPE>(last_type);
    const u32 data_size = get_bram_xcvr_compressed_data(type, out.here(), 0,
                                                         dynamic_cast<VARNO_DBLOCK*>(last));
    VARNO_ASSERT(data_size > 0);
    out.advance(data_size);
  } else {
    const u32 group = (m_tk_flow != 0 && m_interleave != 0 && last_type == VOLD_BLOCK_ERAM) ? 2 : n;
    const u32 groups = n / group;
    const u32 per_group = groups == 0 ? 0 : m_DcThreadFrames / groups;
    // A layout the slot mapping would divide by zero for is refused where
    // it is used: firmware pairing maps its slots by the first block's
    // frames instead.
    const bool layout_ok = per_group != 0 && (m_interleave != 0 || per_group >= n);

    u32 current = n - 1;
    u32 ch_ext = 0;
    for (u32 k = 0; k < m_DcThreadFrames; ++k) {
      u32 b = 0;
      u32 f = 0;
      if (w == VARNO_QV_IO_FW && check_is_fw_block(dynamic_cast<VARNO_DBLOCK*>(m_DBlocksArray[current]))) {
        VARNO_ASSERT_MSG(n == 2, "blk_count == 2");
        VARNO_BLOCK* first = m_DBlocksArray[0];
        VARNO_ASSERT_MSG(first != nullptr, "bl != nullptr");
        const u32 f0 = first->get_number_of_frames();
        VARNO_ASSERT_MSG(f0 > 0, "fw_frames > 0");
        b = k / f0;
        f = k % f0;
      } else if (!layout_ok) {
        VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf(
            "Unsupported DC thread layout: %d blocks, %d frame slots", n, m_DcThreadFrames));
      } else if (m_interleave != 0) {
        b = (k / per_group) * group + k % group;
        f = (k % per_group) / group;
      } else {
        const u32 per_block = per_group / n;
        b = k / per_block;
        f = k % per_block;
      }

      u32 thread_no = index.at(b) | kind.at(b);
      if (m_two_col_2d != 0) {
        VARNO_ASSERT_MSG(n == 2, "blk_count == 2");
        VARNO_ASSERT((m_Gen->get_mgr_param()->qv_2d_compression & VARNO_CRAM_2D_COMP_CHECK_BIT) != 0);
        thread_no <<= 1;
      }
      auto* bl = dynamic_cast<VARNO_DBLOCK*>(m_DBlocksArray.at(b));
      VARNO_ASSERT(bl != nullptr);
      current = b;
      const u32 type = bl->block_type();

      // 1. Frame index.
      u32 entry = 0;
      u32 fi = f;
      if (pr_mode == VARNO_QV_PR_SPARSE) {
        if (type == VOLD_BLOCK_CRAM) {
          auto it = m_InterleaveMap[b].find(f);
          entry = it != m_InterleaveMap[b].end() ? it->second : 0;
          if ((entry & PR_SPARSE_SKIP_FLAG) != 0) continue;
          f = entry;
        }
        fi = f - m_frame_offsets[b];
      }

      // 2.
      const u32 size = bl->get_frame_size(fi);
      i64 fw_frames = 0;
      if (b == 0 && a_fw) {
        const u32 morlu_fw_frames = m_DBlocksArray[0]->get_number_of_frames();
        VARNO_ASSERT(morlu_fw_frames > 0);
        fw_frames = morlu_fw_frames;
      }
      const i64 fs = f;

      // 3. Firmware channels.
      if (w != VARNO_QV_NO_FW) {
        m_channel = 0;
        if (b == 1) {
          thread_no = 0;
          m_channel = 1;
          if (f == 0 && !b_fw) out.gap(s4, 4);
        }
        if (b == 0 && !a_fw) {
          if (f == 0) m_channel = 3;
          if (f == 1) m_channel = 2;
          if (f == 1 || f == 2) out.delay(s4, DELAY_1024);
        }
        if (b == 0 && c_fw && f % 2 == 1 && fs < fw_frames - 2) m_channel = 2;
        if (b == 0 && w == 4 && fs == fw_frames - 1) m_channel = 2;
        if (b == 0 && w == 3) {
          if (fs == 0 || fs == 1 || fs == fw_frames - 2 || fs == fw_frames - 1) m_channel = 2;
          if (f == 1 || f == 2) out.delay(s4, DELAY_1024);
        }
      }

      // 4. Block types.
      if (type == VOLD_BLOCK_BBUS) {
        s4 = 0;
        const u32 v = (std::min<u32>(n, 8) - 1) & k;
        m_channel = v & 3;
        thread_no = (v >> 2) | kind[b];
      } else if (type == VOLD_BLOCK_IO_VAMM) {
        if (f == 248) m_channel = 1;
      } else if (type == VOLD_BLOCK_IO_AHB) {
        if (f == 7) m_channel = 1;
      } else if (type == VOLD_BLOCK_REGSCAN) {
        s4 = 0;
        const u32 i = index[b];
        m_channel = i & 3;
        thread_no = ((i & 7) >> 2) | kind[b];
      }

      // 5. Partial-reconfiguration commands and padding slots.
      if (pr_mode == VARNO_QV_PR_SPARSE && type == VOLD_BLOCK_CRAM) {
        if ((entry & 0x80000000u) != 0) {
          m_stream_room = out.room();
          const u32 cmd_size = insert_pr_cmd(out.here(), b, thread_no, entry & 0x7FFFFFFFu);
          VARNO_ASSERT(cmd_size > 0);
          out.advance(cmd_size);
          continue;
        }
        if ((entry & 0x20000000u) != 0) {
          out.header(0, CONTROL_FRTYPE, 0, thread_no,
                     static_cast<u32>(cfg_get_int_value("varno_dummy_nop_size", 140)), 0);
          continue;
        }
      }

      // 6. ERAM.
      if (type == VOLD_BLOCK_ERAM) {
        if (m_tk_flow != 0) {
          const u32 col_count = bl->get_param_value("ERAM_COL_COUNT", 0u);
          const u32 bits_per_col = bl->get_param_value("ERAM_COLS_PER_BLOCK", 0u);
          VARNO_ASSERT(col_count > 0 && bits_per_col > 0);
          m_channel = 0;
          if (pr_mode == VARNO_QV_PR_NONE) {
            const u32 q = col_count / bits_per_col;
            VARNO_ASSERT_MSG(q > 0, "col_count >= bits_per_col");
            const u32 r = f % q;
            if (r == q - 1) m_channel = 1;
            ch_ext = r + 2;
          } else {
            u32 info = 0;
            m_stream_room = out.room();
            out.advance(insert_eram_pr_cmd(out.here(), b, thread_no, f, info));
            if ((info & 0x100) != 0) m_channel = 1;
            ch_ext = (info & 0xFF) + 2;
          }
        } else if (pr_mode != VARNO_QV_PR_NONE) {
          m_thread_type = 0;
          u32 info = 0;
          m_stream_room = out.room();
          out.advance(insert_eram_pr_cmd(out.here(), b, thread_no, f, info));
          const u32 v = (info & 0xFF) + ((info & 0x100) != 0 ? 3 : 0);
          m_channel = v & 3;
          thread_no = (v >> 2) & 1;
        }
      }

      // 7. Data record.
      bool emitted = false;
      VARNO_FRAME* frame = nullptr;
      bool mask_bit = pr_mode == VARNO_QV_PR_NONE;
      if (!mask_bit) {
        const u32 bit = f - m_frame_offsets[b];
        const std::vector<u8>& mask = m_pr_masks[b];
        mask_bit = (bit >> 3) < mask.size() && ((mask[bit >> 3] >> (bit & 7)) & 1) != 0;
      }
      if (size > 0 && mask_bit) {
        frame = bl->get_frame(fi);
        VARNO_ASSERT_MSG(frame != nullptr, "frame != nullptr");
        const u32 ch = frame->m_command_flag ? 2 : m_channel;
        out.header(ch, m_thread_type, s4, thread_no, (size + 3) >> 2, ch_ext);
        const u64 padded = VARNO_GROUP_DETAIL::round_up_8(size);
        out.require(padded);
        VARNO_GEN* own = bl->generator();
        if (own != nullptr && own->get_mgr_param()->qv_2d_compression != 0 &&
            bl->get_2d_engine() != nullptr) {
          const u32 len = bl->get_frame_2d_segments(fi, out.here());
          VARNO_ASSERT_MSG(len <= size, "segments_size <= frame_size");
          out.advance(VARNO_GROUP_DETAIL::round_up_8(len));
        } else {
          bl->get_frame_data(fi, out.here());
          out.advance(padded);
        }
        emitted = true;
      }

      // 8.
      if ((emitted || size == 0) && pr_mode == VARNO_QV_PR_NONE && type == VOLD_BLOCK_ERAM &&
          device_type == ERAM_DELAY_DEVICE_TYPE) {
        out.delay(s4, 100);
      }

      // 9. Trailing records.
      if (type == VOLD_BLOCK_BBUS && b == n - 1) {
        const int dly = cfg_get_int_value("varno_qv_bbus_iph_dly", 0);
        out.delay(s4, dly == 0 ? 100 : static_cast<u32>(dly));
        out.header(BBUS_END_CHANNEL, CONTROL_FRTYPE, s4, 0, 4, 0);
      }
      if (type == VOLD_BLOCK_IO_CSR || type == VOLD_BLOCK_IO_BBUS) out.gap(s4, 200);
      const bool fw_padding = b == 0 && a_fw && fs < fw_frames - 1 && (f != 0 || b_fw);
      if (is_padding_type(type) || fw_padding) {
        u32 pad = 4048;
        if (type == VOLD_BLOCK_HNOC_MMIO || type == VOLD_BLOCK_HNOC_AXI4LITE) pad = 1024;
        if (type == VOLD_BLOCK_MMIO2) pad = 15360;
        if (c_fw && f % 2 == 1) pad = 1024;
        if (fi < bl->get_number_of_frames()) {
          VARNO_FRAME* own_frame = bl->get_frame(fi);
          if (type == VOLD_BLOCK_MMIO2 && check_for_mmio_flow_control_supported_tiles(bl)) {
            out.delay(s4, static_cast<u32>(cfg_get_int_value("varno_gdr_nop_delay_size", 1024)));
          } else if (b_fw && own_frame != nullptr && own_frame->m_command_flag) {
            out.delay(s4, DELAY_1024);
          } else {
            out.delay(s4, pad);
          }
          if (type == VOLD_BLOCK_MMIO2 && img_offsets_is_rnr(bl) &&
              cfg_is_on("varno_increase_rnr_mmio2_delay", false)) {
            out.delay(s4, pad);
          }
          if (emitted && frame->m_command_flag && frame->m_second_command_flag) out.gap(s4, pad);
        }
      }
      if (b == 0) {
        if (c_fw && f % 2 == 1 && fs < fw_frames - 1) out.gap(s4, 4);
        if (w == 3 && fs == fw_frames - 1) out.delay(s4, 1000);
      }
      if (type == VOLD_BLOCK_AIB_CSR) out.delay(s4, 1000);
      if (type == VOLD_BLOCK_UIB_BBUS || type == VOLD_BLOCK_UIB_CSR || type == VOLD_BLOCK_DIB_BBUS) {
        out.gap(s4, 1024);
      }
      if (type == VOLD_BLOCK_UIB_MMR) {
        out.gap(s4, static_cast<u32>(cfg_get_int_value("varno_uibmmr_dly", 1024)));
      }
    }
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
