// The top-level bitstream of the sector-based families: the bit fields of a
// configuration image in bitstream order, each with a routing code. On
// request, consecutive bit fields of one routing are merged into fixed-size
// blocks and hash blocks are inserted, each carrying the digests of the
// hashed blocks that follow it and a table of their routing codes.
//
// The host's buffers stay the host's. The buffers made here (merged blocks
// and hash blocks) belong to the top bitstream and live until it is
// destroyed, so pointers handed out earlier stay valid after a later merge.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "varno_itop_bitstream.h"
#include "varno_types.h"

class VARNO_QV_TOP_BITSTREAM : public VARNO_ITOP_BITSTREAM {
 public:
  // Routing code of the hash blocks.
  static constexpr VARNO_QV_BLOCK_ROUTING HASH_ROUTING = VARNO_QV_ROUTING_HASH;

  VARNO_QV_TOP_BITSTREAM();
  ~VARNO_QV_TOP_BITSTREAM() override;
  VARNO_QV_TOP_BITSTREAM(const VARNO_QV_TOP_BITSTREAM&) = delete;
  VARNO_QV_TOP_BITSTREAM& operator=(const VARNO_QV_TOP_BITSTREAM&) = delete;

  // Null data is allowed only for an empty bit field.
  void add_bitfield(unsigned char* data, u32 size, VARNO_QV_BLOCK_ROUTING routing, bool at_end,
                    bool hashed) override;
  // Every bit field of first .. last must hold at most block_size bytes, and
  // with hash every hashed bit field from first to the end of the list at
  // least block_size bytes, and data. A bitstream has one hash chain, and what it
  // hashed stays as it is: a hash block of an earlier merge in first ..
  // last, a merge with hash on a list that holds hash blocks, and a field
  // they cover that this merge would repack are internal errors. On an
  // internal error the list is left as it was.
  std::vector<u32> merge_by_routing(u32 block_size, u32 first, u32 last, bool hash,
                                    VARNO_SHA_MODE mode) override;
  // bytes must not exceed the bit field's size.
  bool insert_block_hash_to_address(u32 index, u32 bytes, VARNO_SHA_MODE mode,
                                    unsigned char* dest) override;
  u32 get_bitfield_count() const override;
  u32 get_bitfield_size(u32 index) const override;
  unsigned char* get_bitfield_data(u32 index) const override;
  void clear(bool) override;
  // Format 1 text (writes nothing), 2 raw binary; other formats write
  // nothing and succeed. Once the list holds hash blocks, every field of
  // first .. last they are meant to cover must hold what they hold the
  // digest of: a hashed field no hash block covers, a field (chained hash
  // blocks included) whose bytes no longer match their digest, and a byte
  // of a hash block outside its digests that is no longer what the merge
  // wrote, are internal errors, before the file is opened.
  bool write_to_file(const std::string& path, VARNO_OUTPUT_FORMAT format, u32 first, u32 last,
                     bool append) override;
  std::vector<u32> get_bitfiled_routings(u32 first, u32 last) const override;

 private:
  struct QV_BITFIELD {
    QV_BITFIELD(VARNO_QV_BLOCK_ROUTING r, unsigned char* d, u32 s, bool h)
        : routing(r), data(d), size(s), hashed(h) {}
    VARNO_QV_BLOCK_ROUTING routing;
    unsigned char* data;  // never freed through the record
    u32 size;
    bool hashed;
    // A hash block a merge inserted (a host's field of the same routing is
    // not one): a later merge must leave it as it is.
    bool hash_block = false;
    // A hash block's place in the chain, 0 the front one.
    u32 chain_place = 0;
    // Where a merge's hash block holds the digest of this field's first
    // digest_bytes bytes (in a buffer of the top bitstream); null while no
    // hash block covers the field. write_to_file compares it with the bytes.
    const u8* digest = nullptr;
    u32 digest_bytes = 0;
    VARNO_SHA_MODE digest_mode = VARNO_SHA_MODE_256;
  };
  // Index access: the writers and the hash scan ask for fields by position.
  using BITFIELD_LIST = std::deque<QV_BITFIELD>;
  using BUFFERS = std::vector<std::unique_ptr<u8[]>>;

  static void hash_bitfield(const BITFIELD_LIST& list, u64 index, u64 bytes, VARNO_SHA_MODE mode,
                            unsigned char* dest);
  // The refusals of write_to_file over first .. last (see there).
  void check_hash_chain(u32 first, u32 last) const;
  // The hash block at index against the bytes the merge wrote of it.
  void check_hash_block(const QV_BITFIELD& f, u32 index) const;
  // The hash-insertion step of merge_by_routing over list, from position
  // start on; m is the number of bit fields the merge left from init on.
  // New hash blocks go to buffers; their positions at insertion, deepest
  // chained block first, are appended to result.
  void insert_hash_blocks_to_list(BITFIELD_LIST& list, BUFFERS& buffers, u64 init, u64 start, u64 m,
                                  u32 block_size, VARNO_SHA_MODE mode, u32 digests_per_block,
                                  u32 digest_size, std::vector<u32>& result) const;

  BITFIELD_LIST m_BitFieldList;
  BUFFERS m_buffers;
  // Each hash block of the chain, front to back, as the merge wrote it
  // outside its digests: its header words, then its routing table and the
  // zero bytes after it. write_to_file compares the blocks with these.
  std::vector<std::vector<u8>> m_chain_written;
  u32 m_hashes_per_block = 126;
  u32 m_hash_size = 32;
};
