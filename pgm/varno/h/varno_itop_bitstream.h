// The top-level bitstream as the host and the writers see it: an ordered
// list of bit fields, each a byte buffer with a routing code, whose buffers
// stay their owners'.
//
// The order of the virtual operations is part of the binary interface with
// the host: do not reorder. The operations beyond the four the writers read
// have bodies here only so that a reader-side stand-in need not define them
// (their parameters unnamed: a host may build with every warning on).
#pragma once

#include <string>
#include <vector>

#include "varno_assert.h"
#include "varno_types.h"

// Routing code of a bit field: where the device sends the field's bytes.
// The routing tables of the hash blocks keep its low two bits.
using VARNO_QV_BLOCK_ROUTING = u32;
// The codes. The library itself gives a code only to the hash blocks that
// merge_by_routing inserts; the host gives the others to its bit fields.
inline constexpr VARNO_QV_BLOCK_ROUTING VARNO_QV_ROUTING_CONFIG = 0;      // option-block images, as they are
inline constexpr VARNO_QV_BLOCK_ROUTING VARNO_QV_ROUTING_DESCRIPTOR = 1;  // a block group's descriptor
inline constexpr VARNO_QV_BLOCK_ROUTING VARNO_QV_ROUTING_HASH = 2;        // hash blocks
inline constexpr VARNO_QV_BLOCK_ROUTING VARNO_QV_ROUTING_GROUP_DATA = 3;  // a block group's data pages

// Digest of the hash blocks: 1 selects SHA-256, any other value SHA-384.
enum VARNO_SHA_MODE : u32 {
  VARNO_SHA_MODE_256 = 1,
  VARNO_SHA_MODE_384 = 2,
};

class VARNO_ITOP_BITSTREAM {
 public:
  virtual ~VARNO_ITOP_BITSTREAM() = default;

  // Links a bit field of size bytes at data at the end (at_end) or at the
  // front of the list. The buffer stays the caller's and must live,
  // unchanged, until the bitstream is written (a merge copies a field shorter
  // than its block size into a block of its own; a whole block stays the
  // caller's buffer); null only with size 0. hashed: the hash blocks of a
  // merge cover the field. A bitstream has one hash chain, so every hashed
  // field is added before the one merge with hash: one added after it is
  // covered by nothing, and write_to_file refuses it.
  virtual void add_bitfield(unsigned char* /*data*/, u32 /*size*/,
                            VARNO_QV_BLOCK_ROUTING /*routing*/, bool /*at_end*/,
                            bool /*hashed*/) {
    VARNO_INTERNAL_ERROR("add_bitfield is not available");
  }
  // Merges bit fields first to last into blocks of block_size bytes by
  // routing, then, with hash, inserts hash blocks; returns where it linked
  // each hash block, the last of the chain first. Each block was linked
  // before the ones in front of it: block k of the chain (0 the front one)
  // stands at its position + k after the merge. Each run of fields of one
  // routing and hashed flag is packed into zero-padded blocks; a field of
  // exactly block_size bytes passes as it is, an empty one is dropped. A
  // field longer than block_size is an internal error ("blk_size <=
  // block_size"): a host cuts long data into blocks. With hash, a hash block
  // (VARNO_QV_ROUTING_HASH, block_size bytes) goes in front of the fields
  // from first on when a hashed field stands from first to the end of the
  // list (none: no hash block, no positions), and every hashed field from
  // first to the end of the list must then hold block_size bytes: one behind
  // last is not merged, so a shorter one is an internal error ("num_bytes <=
  // blk_size"), one without data too ("blk_data != NULL"); a mode other than
  // VARNO_SHA_MODE_256 is SHA-384. The merged and hash blocks belong to the
  // bitstream. first > last or last past the end: no change, no positions. A
  // block_size of 0 is an internal error ("block_size > 0"). A bitstream has
  // one hash chain, and a merge leaves what an earlier merge hashed as it
  // is; these are internal errors, checked in this order: a hash block of an
  // earlier merge in first .. last ("merge_by_routing over a hash block of
  // an earlier merge") and a covered field in first .. last that is not a
  // whole block of block_size ("merge_by_routing repacks bit fields that
  // hash blocks of an earlier merge cover"), field by field; then, with
  // hash, a list that holds hash blocks already ("merge_by_routing with hash
  // on a bit-field list that holds hash blocks already: a bitstream has one
  // hash chain, so add every hashed field, then merge once"), whose chain
  // would cover neither the new blocks nor their fields. A later merge
  // without hash over fields added since is accepted, but the chain routes
  // none of them: the routing entries end at the hashed merge's last field.
  // On an internal error the list is left as it was.
  virtual std::vector<u32> merge_by_routing(u32 /*block_size*/, u32 /*first*/, u32 /*last*/,
                                            bool /*hash*/, VARNO_SHA_MODE /*mode*/) {
    VARNO_INTERNAL_ERROR("merge_by_routing is not available");
  }
  // Digest of the first bytes bytes of bit field index into dest (32 bytes
  // for VARNO_SHA_MODE_256, 48 otherwise; bytes 0 gives the digest of no
  // bytes). index past the end, bytes past the field's size, a field
  // without data and a null dest are internal errors.
  virtual bool insert_block_hash_to_address(u32 /*index*/, u32 /*bytes*/,
                                            VARNO_SHA_MODE /*mode*/, unsigned char* /*dest*/) {
    VARNO_INTERNAL_ERROR("insert_block_hash_to_address is not available");
  }
  // Number of bit fields held.
  virtual u32 get_bitfield_count() const = 0;
  // Byte size of bit field index; 0 when there is no such field.
  virtual u32 get_bitfield_size(u32 index) const = 0;
  // The bytes of bit field index; null when there is no such field.
  virtual unsigned char* get_bitfield_data(u32 index) const = 0;
  // Kept for the host's binary interface; does nothing.
  virtual void clear(bool) {}
  // Writes bit fields first to last to path in the given format:
  // VARNO_OUTPUT_FORMAT_RAW writes their bytes back to back (append: after
  // the file's bytes), false when last is past the end (an empty bitstream
  // has no last field) or the file cannot be written, with an existing file
  // left as it was; last < first (and last in the list) writes no field but
  // still opens the file: it is created, or truncated unless append, and the
  // result is true. The other formats write nothing, make no file and
  // return true. Once the list holds hash blocks a merge inserted, these
  // fields in first .. last are internal errors in any format, before the
  // file is opened: one marked hashed that no hash block covers (added after
  // the merge: "Top bitstream write_to_file() over bit field 5, marked
  // hashed, which no hash block covers: it came after merge_by_routing()
  // inserted the hash blocks"; in front of the chain: "... it stands in
  // front of the hash chain, which merge_by_routing() started at its first
  // field"); a hash block of the chain with a byte outside its digests no
  // longer as the merge wrote it, which the device reads on trust, also with
  // the block's own digest renewed ("Top bitstream write_to_file() over bit
  // field 1, the chain's first hash block, whose byte 8 (in its header
  // words) changed after merge_by_routing() wrote it: only its digests may
  // be put anew, with insert_block_hash_to_address()"; a later block is
  // "the chain's hash block 2", counted from 1 at the front, checked before
  // its digest); one whose bytes no longer match the digest a hash block
  // holds of them, a chained hash block's digests included ("Top
  // bitstream write_to_file() over bit field 3, whose bytes changed after
  // merge_by_routing() hashed them: they no longer match their digest in
  // the hash block at bit field 1 (put the new digest there with
  // insert_block_hash_to_address())"), compared, not tracked, so a field
  // patched together with its digest is taken. A list without hash blocks
  // is written as it is.
  virtual bool write_to_file(const std::string& path, VARNO_OUTPUT_FORMAT format, u32 first,
                             u32 last, bool append) = 0;
  // Routing codes of bit fields first to last (clipped at the end); empty
  // when first > last or first is past the end.
  virtual std::vector<u32> get_bitfiled_routings(u32 /*first*/, u32 /*last*/) const {
    VARNO_INTERNAL_ERROR("get_bitfiled_routings is not available");
  }
};
