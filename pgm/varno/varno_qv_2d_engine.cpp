// The 2D row-prediction engine: construction, the scan of a block's rows and
// the setup structures (B structure, F structure, BBM, segment list). The
// library extraction and the predictions are in varno_qv_2d_engine_predict.cpp.
#include "varno_qv_2d_engine.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "mem.h"
#include "varno_assert.h"
#include "varno_block.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_gen.h"
#include "varno_util.h"
#include "vold.h"

namespace {

// Slice sizes in bytes per IP type, and their S4 forms, as the decompressor
// expects them; the device's own lengths are checked against them.
const std::map<u32, u32> s_ip_sizes = {{0, 6},  {1, 6},  {2, 12}, {3, 12}, {4, 12},   {5, 12},
                                       {6, 12}, {7, 2},  {8, 12}, {9, 5},  {10, 1},   {11, 2},
                                       {12, 2}, {13, 3}, {14, 4}, {15, 0}, {16, 2560}};
const std::map<u32, u32> s_ip_s4_sizes = {{0, 8},  {1, 8},  {2, 16}, {3, 16}, {4, 24},   {5, 16},
                                          {6, 24}, {7, 8},  {8, 16}, {9, 8},  {10, 8},   {11, 8},
                                          {12, 8}, {13, 8}, {14, 8}, {15, 0}, {16, 2560}};

// Row masks of the library types: sixteen 2-bit row-history selectors, one
// per pair of bytes of a slice.
const std::map<u32, u32> s_ip_row_masks = {{0, 0x1}, {1, 0x1}, {2, 0x0}, {3, 0x0}};
const std::map<u32, u32> s_ip_s4_row_masks = {{0, 0xA5}, {1, 0xA5}, {2, 0x5A5A}, {3, 0x5A5A}};
const std::map<u32, u32> s_tk_ip_row_masks = {{0, 0x60}, {1, 0x9}, {2, 0x900}, {3, 0x90}};
const std::map<u32, u32> s_tk_ip_s4_row_masks = {{0, 0x180}, {1, 0x9}, {2, 0x2400}, {3, 0x90}};

constexpr u32 PAD_IP_TYPE = 14;
constexpr u32 PAD_IP_WIDTH = 4;
constexpr u32 SEGMENT_ROW_MARK = 0xFFFFu;
// Rows and byte offsets travel in 16-bit halves of the segment words; an
// end offset of 0xFFFF would read as a row marker.
constexpr u64 MAX_ROWS = 0x10000u;
constexpr u32 MAX_SEGMENT_END = 0xFFFEu;
constexpr u32 B_STRUCT_SIZE = 64;
// Device types whose S4 cells never go through the 2D tables.
constexpr bool is_no_s4_device(u32 device_type) {
  return device_type == 41 || device_type == 53 || device_type == 63;
}

u32 slice_width(u32 entry) { return entry & 0xFFFFu; }
u32 slice_type(u32 entry) { return (entry >> 16) & 0xFFu; }

}  // namespace

// ---- Construction ------------------------------------------------------------------

VARNO_QV_2D_ENGINE::VARNO_QV_2D_ENGINE(VARNO_BLOCK* blk, bool cram_mode)
    : m_blk(blk), m_IpWidthFactor(cram_mode ? 2 : 1), m_CramMode(cram_mode) {
  if (blk == nullptr) {
    m_IpHeight = 0;
    m_NumRows = 0;
    return;
  }
  m_dblk = dynamic_cast<VARNO_DBLOCK*>(blk);

  u32 arg_size = m_blk->get_arg_size("BROW_SIZE");
  VARNO_ASSERT(arg_size > 0);
  const u32 num_rows = m_blk->get_arg_value("BROW_SIZE", 0, 0);
  VARNO_ASSERT(num_rows > 0);
  arg_size = m_blk->get_arg_size("BROW_FRAME_SIZE");
  VARNO_ASSERT(arg_size > 0);
  const u32 frames_per_row = m_blk->get_arg_value("BROW_FRAME_SIZE", 0, 0);
  VARNO_ASSERT(frames_per_row > 0);
  m_IpHeight = frames_per_row;

  VARNO_GEN* gen = m_blk->generator();
  VARNO_ASSERT_MSG(gen != nullptr, "gen != NULL");
  m_TkFlow = gen->get_mgr_param()->tk_flow == 1;

  u64 rows = num_rows;
  if (!m_CramMode) {
    const u32 eram_cols = m_blk->get_param_value("ERAM_COL_COUNT", 0);
    const u32 eram_bit_per_col = m_blk->get_param_value("ERAM_COLS_PER_BLOCK", 0);
    VARNO_ASSERT(eram_bit_per_col > 0);
    VARNO_ASSERT_MSG(eram_cols >= eram_bit_per_col, "eram_cols > 0");
    rows = u64{num_rows} * (eram_cols / eram_bit_per_col);
  }
  // Row numbers are 16-bit in the segment list; more rows would alias.
  VARNO_ASSERT_MSG(rows <= MAX_ROWS, "m_NumRows <= 0x10000");
  m_NumRows = static_cast<u32>(rows);
  if (!m_CramMode) m_EramBbmSize = ((4 * m_NumRows + 63) >> 6) * 8;

  read_ip_sizes();
  init_parameters();
  read_ip_row_masks();
  init_bstruct();
  init_fstruct();
  init_bbm();
}

VARNO_QV_2D_ENGINE::~VARNO_QV_2D_ENGINE() = default;

void VARNO_QV_2D_ENGINE::read_ip_sizes() {
  VARNO_ASSERT_MSG(m_blk != nullptr, "m_blk != NULL");
  VARNO_ASSERT_MSG(m_blk->get_arg_size("DC_IP_LENGTH") == QV_IP_TYPE_TOTAL_CNT &&
                       m_blk->get_arg_size("DC_S4_IP_LENGTH") == QV_IP_TYPE_TOTAL_CNT,
                   "arg_size == QV_IP_TYPE_TOTAL_CNT");
  for (u32 i = 0; i < QV_IP_TYPE_TOTAL_CNT; ++i) {
    m_ip_sizes[i] = m_blk->get_arg_value("DC_IP_LENGTH", i, 0) >> 3;
    m_ip_s4_sizes[i] = m_blk->get_arg_value("DC_S4_IP_LENGTH", i, 0) >> 3;
    if (m_TkFlow) {
      if (i == PAD_IP_TYPE) {
        m_ip_sizes[i] = s_ip_sizes.at(i);
        m_ip_s4_sizes[i] = s_ip_s4_sizes.at(i);
      }
    } else if ((m_CramMode && i < QV_IP_TYPE_MAX) || (!m_CramMode && i == QV_IP_TYPE_ERAM)) {
      VARNO_ASSERT_MSG(m_ip_sizes[i] == s_ip_sizes.at(i), "m_ip_sizes[i] == s_ip_sizes[i]");
      VARNO_ASSERT_MSG(m_ip_s4_sizes[i] == s_ip_s4_sizes.at(i),
                       "m_ip_s4_sizes[i] == s_ip_s4_sizes[i]");
    }
  }
}

void VARNO_QV_2D_ENGINE::init_parameters() {
  VARNO_GEN* gen = m_blk->generator();
  VARNO_ASSERT_MSG(gen != nullptr, "gen != NULL");
  const VARNO_MGR_PARAM* param = gen->get_mgr_param();
  m_Align2D = param->qv_2d_align != 0;
  const VOLD_DEVICE_INFO* device =
      gen->device_pcf_info() != nullptr ? gen->device_pcf_info()->get_device_info() : nullptr;
  VARNO_ASSERT_MSG(device != nullptr, "device_pcf != NULL");

  const u32 s4_mode = param->s4_variant;
  m_S4Mode = s4_mode == 3 || (s4_mode == 1 && !is_no_s4_device(device->get_device_type()));
  m_IpWidthFactor = (m_CramMode && !m_S4Mode && s4_mode != 0) ? 2 : 1;

  const u32 dras = m_CramMode ? m_blk->get_param_value("DRAS", 0) : 0;
  const bool pad = s4_mode == 0 && m_CramMode && dras != 0 && m_Align2D && (dras & 0x20u) != 0;

  const u32 arg_width = m_blk->get_arg_width("IP_INFO");
  VARNO_ASSERT(arg_width > 0);
  const u32 ip_size = m_blk->get_arg_size("IP_INFO");
  VARNO_ASSERT_MSG(ip_size >= arg_width, "ip_count > 0");
  const u32 ip_count = ip_size / arg_width;

  // Key to (types << 4 | count): 64 bits wide, so that all eight types a
  // 32-bit list holds survive the shift.
  std::map<u32, u64> s4_to_dc;
  const u32 map_size = m_blk->get_arg_size("S4_TO_DC_IP_TYPE");
  if (map_size != 0) {
    const u32 map_width = m_blk->get_arg_width("S4_TO_DC_IP_TYPE");
    for (u32 i = 0; i < map_size / map_width; ++i) {
      const u32 key = m_blk->get_arg_value("S4_TO_DC_IP_TYPE", i, 0);
      s4_to_dc[key] = (u64{m_blk->get_arg_value("S4_TO_DC_IP_TYPE", i, 1)} << 4) |
                      m_blk->get_arg_value("S4_TO_DC_IP_TYPE", i, 3);
    }
  }

  u64 bits = 0;
  u32 total = 0;
  auto append = [&](u32 type) {
    // The per-type tables hold QV_IP_TYPE_TOTAL_CNT entries.
    VARNO_ASSERT_MSG(type < QV_IP_TYPE_TOTAL_CNT, "ip_type < QV_IP_TYPE_TOTAL_CNT");
    const u32 width = m_S4Mode ? m_ip_s4_sizes[type] : m_ip_sizes[type] * m_IpWidthFactor;
    // A slice entry keeps the width in 16 bits.
    VARNO_ASSERT_MSG(width <= 0xFFFFu, "ip_width <= 0xFFFF");
    m_IpInfo.push_back(type << 16 | width);
    bits += u64{8} * width;
  };
  for (u32 i = 0; i < ip_count; ++i) {
    const u32 type = m_blk->get_arg_value("IP_INFO", i, 0);
    if (s4_to_dc.empty()) {
      append(type);
    } else {
      const auto it = s4_to_dc.find(type);
      const u64 v = it != s4_to_dc.end() ? it->second : 0;
      const u32 dc_ip_cnt = v & 0xFu;
      total += dc_ip_cnt;
      VARNO_ASSERT(dc_ip_cnt > 0);
      // The type list is one 32-bit value: eight 4-bit types at most.
      VARNO_ASSERT(dc_ip_cnt <= 8);
      for (u32 k = 1; k <= dc_ip_cnt; ++k) append(static_cast<u32>(v >> (4 * k)) & 0xFu);
    }
    if (m_CramMode && pad && bits == dras) m_IpInfo.push_back(PAD_IP_TYPE << 16 | PAD_IP_WIDTH);
  }

  const u32 slices = (m_CramMode && m_TkFlow) ? total : ip_count;
  m_FrameStructSize = m_CramMode ? ((4 * slices + 67) >> 6) * 8 : 0;
  m_NumBlocks = slices + (pad ? 1 : 0);

  u64 offset = 0;
  for (u32 entry : m_IpInfo) {
    m_IpOffsets.push_back(static_cast<u32>(std::min<u64>(offset, 0xFFFFFFFFu)));
    offset += slice_width(entry);
  }
  VARNO_ASSERT_MSG(offset <= 0xFFFFFFFFu, "ip_area <= 0xFFFFFFFF");
  m_IpArea = static_cast<u32>(offset);

  if (VARNO_MBLOCK* meta = gen->meta_block()) {
    m_SectorX = meta->x();
    m_SectorY = meta->y();
  }
}

void VARNO_QV_2D_ENGINE::read_ip_row_masks() {
  const std::map<u32, u32>& masks = m_TkFlow ? (m_S4Mode ? s_tk_ip_s4_row_masks : s_tk_ip_row_masks)
                                             : (m_S4Mode ? s_ip_s4_row_masks : s_ip_row_masks);
  for (u32 k = 0; k < QV_2D_MAX_IP_LIBS; ++k) m_ip_row_masks[k] = masks.at(k);
}

// ---- Small operations ------------------------------------------------------------

u32 VARNO_QV_2D_ENGINE::get_ip_width(VARNO_QV_IP_TYPE ip_type) const {
  VARNO_ASSERT((ip_type < QV_IP_TYPE_MAX) || (ip_type == QV_IP_TYPE_ERAM));
  const u32 size = m_S4Mode ? m_ip_s4_sizes[ip_type] : m_ip_sizes[ip_type];
  return size * (ip_type == QV_IP_TYPE_ERAM ? 1 : m_IpWidthFactor);
}

u32 VARNO_QV_2D_ENGINE::get_lib_width(VARNO_QV_IP_TYPE ip_type, unsigned width) const {
  VARNO_ASSERT((ip_type < QV_IP_TYPE_MAX) || (ip_type == QV_IP_TYPE_ERAM));
  if (ip_type == QV_IP_TYPE_ERAM || !m_Align2D) return width;
  return width < 12 ? (width + 3) & ~3u : (width + 7) & ~7u;
}

u32 VARNO_QV_2D_ENGINE::get_row_lib_index(VARNO_QV_IP_TYPE ip_type, unsigned k) const {
  if (ip_type == QV_IP_TYPE_ERAM) return 1;
  // Only the library types have row masks.
  VARNO_ASSERT((ip_type < QV_2D_MAX_IP_LIBS) || (ip_type == QV_IP_TYPE_ERAM));
  return (m_ip_row_masks[ip_type] >> (k & 0x1Eu)) & 3u;
}

void VARNO_QV_2D_ENGINE::unregister_from_block() {
  // A block that holds another engine by now keeps it.
  if (m_dblk != nullptr && m_dblk->get_2d_engine() == this) m_dblk->detach_2d_engine();
}

void VARNO_QV_2D_ENGINE::update_2d_segments() {}

bool VARNO_QV_2D_ENGINE::has_ip_type(VARNO_QV_IP_TYPE ip_type) const {
  return std::any_of(m_IpInfo.begin(), m_IpInfo.end(),
                     [&](u32 entry) { return slice_type(entry) == ip_type; });
}

u32 VARNO_QV_2D_ENGINE::ip_info(u32 s) const {
  VARNO_ASSERT_MSG(s < m_IpInfo.size(), "ip_index < m_IpInfo.size()");
  return m_IpInfo[s];
}

u64& VARNO_QV_2D_ENGINE::record(u64 idx) {
  VARNO_ASSERT_MSG(idx < m_FullHashInfo.size(), "ip_idx < m_FullHashInfo.size()");
  return m_FullHashInfo[idx];
}

const u8* VARNO_QV_2D_ENGINE::frame_ptr(u32 f) {
  const u8* data = m_blk->get_frame_data_ptr(f);
  VARNO_ASSERT_MSG(data != nullptr, "frame_data != NULL");
  // The pointer reaches the frame's first segment only.
  u32 size = 0;
  if (m_dblk != nullptr) {
    const VARNO_FRAME* frame = m_dblk->get_frame(f);
    size = frame->segments().front()->size();
  } else {
    size = m_blk->get_frame_size(f);
  }
  VARNO_ASSERT_MSG(m_IpArea <= size, "ip_area <= frame_size");
  return data;
}

u32 VARNO_QV_2D_ENGINE::read_frame(u32 f, std::vector<u8>& buf) {
  // Slices are read from the buffer even when the frame is missing.
  const u32 size = std::max(m_blk->get_frame_size(f), m_IpArea);
  if (buf.size() < size) buf.resize(size, 0);
  return read_frame_to(f, buf.data(), static_cast<u32>(buf.size()));
}

u32 VARNO_QV_2D_ENGINE::read_frame_to(u32 f, u8* dst, u32 room) {
  const u32 size = m_blk->get_frame_size(f);
  if (size == 0) return 0;
  VARNO_ASSERT_MSG(size <= room, "frame_size <= buffer_size");
  // Slices are addressed inside every frame.
  VARNO_ASSERT_MSG(m_IpArea <= size, "ip_area <= frame_size");
  return m_blk->get_frame_data(f, dst);
}

bool VARNO_QV_2D_ENGINE::write_frame_byte(u32 f, u32 offset, u8 value) {
  return m_dblk != nullptr ? m_dblk->write_frame_byte(f, offset, value)
                           : m_blk->update_frame_data(f, offset, value);
}

u32 VARNO_QV_2D_ENGINE::frame_stride() {
  u32 stride = 0;
  const u32 frames = m_blk != nullptr ? m_blk->get_number_of_frames() : 0;
  for (u32 f = 0; f < frames; ++f) stride = std::max(stride, m_blk->get_frame_size(f));
  m_FrameStride = stride;
  return stride;
}

// ---- Scan ------------------------------------------------------------------------------

void VARNO_QV_2D_ENGINE::run() {
  if (m_blk == nullptr) return;
  // The frames were (re)built: what an earlier scan found is gone with them.
  m_FullHashInfo.clear();
  for (auto& counts : m_HashCounts) counts.clear();
  m_2DSegments.clear();
  m_TargetIps.clear();
  m_RowTargetIps.clear();
  if (m_BBM != nullptr) {
    std::memset(m_BBM.get(), 0,
                m_FrameStructSize != 0 ? size_t{m_FrameStructSize} * m_NumRows : m_EramBbmSize);
  }

  const u32 frames = m_blk->get_number_of_frames();
  if (u64{frames} != u64{m_NumRows} * m_IpHeight) return;
  const u32 num_ips = static_cast<u32>(m_IpInfo.size());
  VARNO_ASSERT(num_ips > 0);
  std::vector<u32> crc(num_ips, 0);
  std::vector<u8> zero(num_ips, 1);
  msg_vdebug_impl(2, "Running 2D engine on sector x:%d y:%d", m_SectorX, m_SectorY);
  m_FullHashInfo.reserve(size_t{m_NumRows} * num_ips);

  for (u32 f = 0; f < frames; ++f) {
    const u8* data = frame_ptr(f);
    for (u32 s = 0; s < num_ips; ++s) {
      const u32 width = slice_width(m_IpInfo[s]);
      if (width == 0) continue;
      const u8* slice = data + m_IpOffsets[s];
      // The reflected CRC-32 of polynomial constant 0x88010000, run on.
      crc[s] = VARNO_UTIL::lsb_calculate_crc32_using_88010000_lookup_table(slice, 0, width, crc[s]);
      if (zero[s] != 0 && std::any_of(slice, slice + width, [](u8 b) { return b != 0; })) {
        zero[s] = 0;
      }
    }
    if (f % m_IpHeight != m_IpHeight - 1) continue;
    const u32 row = f / m_IpHeight;
    for (u32 s = 0; s < num_ips; ++s) {
      const u32 type = slice_type(m_IpInfo[s]);
      u64 rec = u64{crc[s]} | u64{type} << 32;
      if (zero[s] != 0) {
        rec |= u64{QV_2D_CODE_ZERO} << 40;
        msg_vdebug_impl(2, "\t All zero ip found, row:%d ip_index:%d", row, s);
      }
      m_FullHashInfo.push_back(rec);
      const bool library_type = type < QV_2D_MAX_IP_LIBS || type == QV_IP_TYPE_ERAM;
      if (library_type && zero[s] == 0) {
        ++m_HashCounts[type][crc[s]];
        crc[s] = 0;
        zero[s] = 1;
      }
    }
  }
  VARNO_ASSERT_MSG(m_FullHashInfo.size() == u64{m_NumRows} * m_NumBlocks,
                   "m_FullHashInfo.size() == (m_NumRows * m_NumBlocks)");
}

// ---- Setup structures ---------------------------------------------------------------

void VARNO_QV_2D_ENGINE::init_bstruct() {
  VARNO_ASSERT_MSG(m_BStruct == nullptr, "m_BStruct == NULL");
  m_BStruct = std::make_unique<u8[]>(B_STRUCT_SIZE);
  for (u32 k = 0; k < QV_IP_TYPE_MAX; ++k) {
    // Sizes of types the device does not check may be anything: count the
    // bits wide enough that a huge one cannot wrap into a small width.
    const u64 bits = m_S4Mode ? u64{m_ip_s4_sizes[k]} * 8 : u64{m_ip_sizes[k]} * m_IpWidthFactor * 8;
    // The word holds the width in 12 bits and the height in 16.
    VARNO_ASSERT_MSG(bits <= 0xFFFu && m_IpHeight <= 0xFFFFu,
                     "ip_bits <= 0xFFF && m_IpHeight <= 0xFFFF");
    VARNO_UTIL::write_dword_safely(m_IpHeight << 16 | static_cast<u32>(bits) << 4 | (k + 1),
                                   m_BStruct.get() + 4 * k);
  }
}

void VARNO_QV_2D_ENGINE::init_fstruct() {
  if (m_FrameStructSize == 0) return;
  VARNO_ASSERT_MSG(m_FrameStruct == nullptr, "m_FrameStruct == NULL");
  m_FrameStruct = std::make_unique<u8[]>(m_FrameStructSize);
  for (u32 s = 0; s < m_IpInfo.size(); ++s) {
    const u32 type = slice_type(m_IpInfo[s]);
    // One nibble per slice: CRAM types only, and no more slices than the
    // area was sized for.
    VARNO_ASSERT_MSG(type < QV_IP_TYPE_MAX, "ip_type < QV_IP_TYPE_MAX");
    VARNO_ASSERT_MSG((s >> 1) < m_FrameStructSize, "(ip_idx >> 1) < m_FrameStructSize");
    m_FrameStruct[s >> 1] |= static_cast<u8>((type + 1) << (4 * (s & 1)));
  }
}

void VARNO_QV_2D_ENGINE::init_bbm() {
  VARNO_ASSERT_MSG(m_BBM == nullptr, "m_BBM == NULL");
  const size_t size =
      m_FrameStructSize != 0 ? size_t{m_FrameStructSize} * m_NumRows : m_EramBbmSize;
  m_BBM = std::make_unique<u8[]>(size);
}

void VARNO_QV_2D_ENGINE::write_bbm() {
  u8* tmp = m_BBM.get();
  VARNO_ASSERT(tmp != NULL);
  if (m_NumRows == 0) return;
  // Every slice of every row needs its record; a scan that recorded nothing
  // (or a different geometry) leaves nothing to write.
  VARNO_ASSERT_MSG(
      m_FullHashInfo.size() == u64{m_NumRows} * m_NumBlocks && m_IpInfo.size() == m_NumBlocks,
      "m_FullHashInfo.size() == (m_NumRows * m_NumBlocks)");
  // Ends of runs travel in 16 bits and must not read as a row marker.
  VARNO_ASSERT_MSG(m_IpArea <= MAX_SEGMENT_END, "ip_end < 0xFFFF");
  // The BBM and the list describe the current codes only.
  std::memset(tmp, 0,
              m_FrameStructSize != 0 ? size_t{m_FrameStructSize} * m_NumRows : m_EramBbmSize);
  m_2DSegments.clear();

  u64 g = 0;
  for (u32 r = 0; r < m_NumRows; ++r) {
    m_2DSegments.push_back(r << 16 | SEGMENT_ROW_MARK);
    bool in_skip = false;
    u32 start = 0;
    u32 end = 0;
    u32 offset = 0;
    for (u32 s = 0; s < m_IpInfo.size(); ++s, ++g) {
      const u32 width = slice_width(m_IpInfo[s]);
      const u32 code = record_code(record(g));
      const u32 entry = m_CramMode ? s : r;
      u8* area = m_CramMode ? tmp + size_t{r} * m_FrameStructSize : tmp;
      area[entry >> 1] |= static_cast<u8>((code & 0xFu) << (4 * (entry & 1)));
      if (code == QV_2D_CODE_NONE || code >= QV_2D_CODE_ROW_GROUP1) {
        if (in_skip) {
          start = offset;
          end = offset + width;
          in_skip = false;
        } else {
          end += width;
        }
      } else {
        if (!in_skip && end != 0) {
          m_2DSegments.push_back(start << 16 | end);
          start = 0;
          end = 0;
        }
        in_skip = true;
      }
      offset += width;
    }
    if (start < end) m_2DSegments.push_back(start << 16 | end);
  }
}

u32 VARNO_QV_2D_ENGINE::copy_bstruct(unsigned char* dst) const {
  if (m_BStruct == nullptr) return 0;
  memcpy_s(dst, B_STRUCT_SIZE, m_BStruct.get(), B_STRUCT_SIZE);
  return B_STRUCT_SIZE;
}

u32 VARNO_QV_2D_ENGINE::copy_fstruct(unsigned char* dst) const {
  if (m_FrameStruct == nullptr) return 0;
  memcpy_s(dst, m_FrameStructSize, m_FrameStruct.get(), m_FrameStructSize);
  return m_FrameStructSize;
}

u32 VARNO_QV_2D_ENGINE::copy_BBM(unsigned char* dst) const {
  if (m_BBM == nullptr) return 0;
  const u32 size =
      m_CramMode ? static_cast<u32>(u64{m_FrameStructSize} * m_NumRows) : m_EramBbmSize;
  memcpy_s(dst, size, m_BBM.get(), size);
  return size;
}
