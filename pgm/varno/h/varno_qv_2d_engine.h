// The 2D row-prediction engine of one QV CRAM or ERAM data block.
//
// The block's frames form rows of a fixed number of consecutive frames, and
// every row is cut into IP slices (one fixed byte range of each frame of the
// row per IP). The engine hashes every slice of every row (run), the
// generator merges the hash counts of all engines into shared libraries and
// lets each engine mark the slices that equal a library or rewrite them as
// XOR residues against a library or an earlier frame, and finally each engine
// records its choices in the three setup tables the decompressor reads (B
// structure, F structure, BBM) and in the list of byte ranges of every row
// that are still sent.
//
// An engine without a block (the generator's library engine) only collects
// merged hash counts. The block group, the thread parameter records and the
// data block read some members directly, so the data members are public.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "varno_types.h"

class VARNO_BLOCK;
class VARNO_DBLOCK;

// IP types of the slices. 0 to 14 are CRAM types, 16 the single ERAM type;
// per-type tables have QV_IP_TYPE_TOTAL_CNT entries (index 15 holds 0).
enum VARNO_QV_IP_TYPE : u32 {
  QV_IP_TYPE_MAX = 15,
  QV_IP_TYPE_ERAM = 16,
  QV_IP_TYPE_TOTAL_CNT = 17,
};

// CRAM IP types that get libraries (0 to 3).
inline constexpr u32 QV_2D_MAX_IP_LIBS = 4;

// Prediction codes of a slice (the 4-bit BBM entries).
enum VARNO_QV_2D_CODE : u32 {
  QV_2D_CODE_NONE = 0,        // sent as it is
  QV_2D_CODE_ZERO = 1,        // zero in every frame of the row
  QV_2D_CODE_LIB0 = 2,        // equals library slot 0 (QV_2D_CODE_LIB0 + 1: slot 1)
  QV_2D_CODE_ROW_GROUP1 = 8,  // residue against an earlier frame, byte group 1 (+ 1: group 2)
  QV_2D_CODE_TARGET0 = 10,    // residue against library slot 0 (+ 1: slot 1)
};

class VARNO_QV_2D_ENGINE {
 public:
  // With a block: reads the geometry, the slice sizes and the parameters of
  // the block and its generator and builds the three setup tables. Without
  // one: the library engine, which only takes merged hash counts.
  VARNO_QV_2D_ENGINE(VARNO_BLOCK* blk, bool cram_mode);
  // Frees the tables and lists; never touches the block.
  ~VARNO_QV_2D_ENGINE();
  VARNO_QV_2D_ENGINE(const VARNO_QV_2D_ENGINE&) = delete;
  VARNO_QV_2D_ENGINE& operator=(const VARNO_QV_2D_ENGINE&) = delete;

  // ---- Scan -------------------------------------------------------------------

  // Hashes every slice of every row of the block's current frames. Records
  // nothing when the frame count is not rows x frames per row. Running it
  // again (the block's frames were rebuilt) starts from scratch.
  void run();
  // Width in bytes of a library chunk of a slice of that type and width.
  u32 get_lib_width(VARNO_QV_IP_TYPE ip_type, unsigned width) const;
  // Width in bytes of a slice of that type.
  u32 get_ip_width(VARNO_QV_IP_TYPE ip_type) const;
  // Row-history byte group (0: none, 1 or 2) of byte k of a slice of a type
  // with libraries (0 to 3) or of the ERAM type.
  u32 get_row_lib_index(VARNO_QV_IP_TYPE ip_type, unsigned k) const;
  // Makes the block forget this engine (when it still holds it), so that the
  // block does not delete it.
  void unregister_from_block();
  // Does nothing.
  void update_2d_segments();
  // True when a slice of a row has that type.
  bool has_ip_type(VARNO_QV_IP_TYPE ip_type) const;

  // ---- Library extraction and prediction ------------------------------------

  // Adds other's hash counts of the library types (0 to 3, 16).
  void merge_hashes(const VARNO_QV_2D_ENGINE& other);
  // The most frequent hash of the type (smallest hash on a tie); its count is
  // cleared so the next call finds the next one. False when none is left.
  bool find_and_clear_top_hash(VARNO_QV_IP_TYPE ip_type, unsigned& hash);
  // Bytes of one library of the type, a multiple of 8.
  u32 get_lib_size(VARNO_QV_IP_TYPE ip_type) const;
  // Copies the library chunks of the first unpredicted slice of that type
  // and hash to dst; dst_size is the room there (the library must fit).
  // False, writing nothing, when the block has no such slice.
  bool find_hash_and_copy_lib(unsigned hash, VARNO_QV_IP_TYPE ip_type, unsigned char* dst,
                              unsigned dst_size = 0xFFFFFFFFu);
  // Codes slot + 2 every unpredicted slice of the type whose hash is hash and
  // whose bytes equal the library.
  void update_with_libs(VARNO_QV_IP_TYPE ip_type, unsigned hash, unsigned slot,
                        const unsigned char* lib);
  // True when the slice at offset (width bytes) of every frame of the row
  // equals the library's chunks.
  bool validate_lib_with_data(VARNO_QV_IP_TYPE ip_type, const unsigned char* lib, unsigned offset,
                              unsigned width, unsigned row);
  // Targeted prediction against one library slot; returns the slices coded.
  // CRAM residues are written at once, ERAM residues by update_target_frames.
  u32 run_target(VARNO_QV_IP_TYPE ip_type, unsigned char* lib, unsigned lib_size, unsigned slot);
  // XORs the library into the frames of the slices the latest run_target
  // chose in rows 0 to rows - 1 (every frame of an ERAM block).
  void update_target_frames(VARNO_QV_IP_TYPE ip_type, unsigned char* lib, unsigned lib_size,
                            unsigned slot, unsigned rows);
  // Row-history prediction; cram_rows false for the ERAM type. Returns the
  // slices coded.
  u32 run_row_target(VARNO_QV_IP_TYPE ip_type, bool cram_rows);
  // Whether row history raises the zero bytes of one byte group enough, and
  // which group (1 or 2); zeros and matches hold two counters each.
  bool validate_row_prediction(unsigned n, unsigned* zeros, unsigned* matches, unsigned& group);
  // Targeted (both slots, lib and lib + lib_size) and, in the TK flow,
  // row-history prediction in one pass; returns the slices coded.
  u32 run_combined_target(VARNO_QV_IP_TYPE ip_type, unsigned char* lib, unsigned lib_size);

  // Row-data operations: row_data holds the frames of one row, frame j at
  // byte j x frame_stride(). The arrays hold width bytes per frame.
  std::vector<u8> get_targeted_iprow_data(unsigned char* row_data, unsigned offset, unsigned width,
                                          VARNO_QV_IP_TYPE ip_type, unsigned char* lib);
  u32 get_targeted_zero_count(unsigned char* row_data, unsigned offset, unsigned width,
                              VARNO_QV_IP_TYPE ip_type, unsigned char* lib);
  std::vector<u8> get_row_history_iprow_data(unsigned char* row_data, unsigned offset,
                                             unsigned width, VARNO_QV_IP_TYPE ip_type,
                                             unsigned group);
  u32 get_row_history_zero_count(unsigned char* row_data, unsigned offset, unsigned width,
                                 VARNO_QV_IP_TYPE ip_type, unsigned group);
  // Writes data (width bytes per frame) over the slice of the row's frames.
  void update_frame_with_iprow_data(unsigned first_frame, unsigned char* data, unsigned offset,
                                    unsigned width);
  // Bytes between two frames in a row buffer: the largest frame of the
  // block, so that every frame fits.
  u32 frame_stride();

  // ---- Setup structures -------------------------------------------------------

  void init_bstruct();
  void init_fstruct();
  void init_bbm();
  // Fills the BBM and the segment list from the codes of every slice.
  void write_bbm();
  // Each copies its table to dst (room for the whole table) and returns its
  // size; 0 without the table.
  u32 copy_bstruct(unsigned char* dst) const;
  u32 copy_fstruct(unsigned char* dst) const;
  u32 copy_BBM(unsigned char* dst) const;

  // ---- State --------------------------------------------------------------------

  VARNO_BLOCK* m_blk = nullptr;  // borrowed; null for the library engine
  // Slice entries of a row: bits 0-15 width in bytes, 16-23 IP type.
  std::vector<u32> m_IpInfo;
  // Per IP type: hash -> rows that carry it (library types only).
  std::map<u32, u32> m_HashCounts[QV_IP_TYPE_TOTAL_CNT];
  // Per row and slice: bits 0-31 hash, 32-39 IP type, 40-47 prediction code.
  std::vector<u64> m_FullHashInfo;
  // Per row: marker row << 16 | 0xFFFF, then start << 16 | end of every run
  // of slices still sent.
  std::vector<u32> m_2DSegments;
  // Targeted slices of the latest run_target: row -> offset << 16 | width.
  std::multimap<u32, u32> m_TargetIps;
  // Row-history slices of the latest run_row_target: row -> offset << 19 |
  // type << 14 | group << 12 | width.
  std::multimap<u32, u32> m_RowTargetIps;
  u32 m_ip_sizes[QV_IP_TYPE_TOTAL_CNT] = {};
  u32 m_ip_s4_sizes[QV_IP_TYPE_TOTAL_CNT] = {};
  u32 m_ip_row_masks[QV_2D_MAX_IP_LIBS] = {};
  u32 m_NumRows = 0;
  u32 m_IpHeight = 0;   // frames per row
  u32 m_NumBlocks = 0;  // slices per row
  std::unique_ptr<u8[]> m_BStruct;
  std::unique_ptr<u8[]> m_FrameStruct;
  std::unique_ptr<u8[]> m_BBM;
  u32 m_FrameStructSize = 0;  // 0 for an ERAM engine
  u32 m_IpWidthFactor = 1;
  u32 m_EramBbmSize = 0;
  bool m_CramMode = false;
  bool m_S4Mode = false;
  bool m_Align2D = false;
  u32 m_SectorX = 0;
  u32 m_SectorY = 0;
  bool m_TkFlow = false;

 private:
  void read_ip_sizes();
  void init_parameters();
  void read_ip_row_masks();
  // The slice entry s, checked.
  u32 ip_info(u32 s) const;
  // The record idx, checked.
  u64& record(u64 idx);
  static u32 record_code(u64 rec) { return static_cast<u32>(rec >> 40) & 0xFF; }
  // Frame f's bytes as the block holds them; every slice lies inside.
  const u8* frame_ptr(u32 f);
  // Copies frame f into buf (grown to fit) and returns its size.
  u32 read_frame(u32 f, std::vector<u8>& buf);
  // Copies frame f to dst, which has room bytes; returns its size.
  u32 read_frame_to(u32 f, u8* dst, u32 room);
  // Rewrites one byte of frame f's core segment. A data block's frames are
  // rewritten as its own build's, not as a host's patch of them.
  bool write_frame_byte(u32 f, u32 offset, u8 value);
  // Whether frame position j of a row is predicted from the frame h earlier.
  static bool row_predicted(u32 j, u32 h, u32 lo, u32 hi) { return (j >= h && j < lo) || j > hi; }
  // Row-history distance and bounds of the CRAM rows of this engine.
  void cram_row_geometry(u32& h, u32& lo, u32& hi) const;

  VARNO_DBLOCK* m_dblk = nullptr;  // m_blk as a data block, when it is one
  std::vector<u32> m_IpOffsets;    // byte offset of every slice in a frame
  u32 m_IpArea = 0;                // bytes of a row's slices in a frame
  u32 m_FrameStride = 0;           // set by frame_stride()
};
