// The process-wide factory of stand-alone blocks: data blocks and option
// blocks that the host makes outside any generator's block list. The caller
// owns every block it gets and deletes it through the block interface.
//
// The order of the virtual operations is part of the binary interface with
// the host: do not reorder.
#pragma once

#include "varno_iblock.h"
#include "varno_types.h"

class VARNO_IGEN;

class VARNO_IBLOCK_FACTORY {
 public:
  virtual ~VARNO_IBLOCK_FACTORY() = default;
  // A new data block of block type type bound to gen (a generator of this
  // library; null or any other is an internal error, "parent != nullptr"),
  // a new one each call. gen must outlive it. A type past the block types
  // gives a block without a type name.
  virtual VARNO_IBLOCK* create_block(u32 type, VARNO_IGEN* gen) = 0;
  // A new option block of word_count configuration words, bound to no
  // generator (configuration width 32), a new one each call. 0 words give an
  // empty image (with crc, the CRC word alone); more than 0x07FFFFFF words
  // are an internal error ("word_count <= k_max_word_count").
  virtual VARNO_IBLOCK* create_block(u32 type, bool crc, u32 word_count, bool init_ones) = 0;
};

class VARNO_BLOCK_FACTORY : public VARNO_IBLOCK_FACTORY {
 public:
  VARNO_BLOCK_FACTORY() = default;
  // The process-wide factory forgets this one when it was this one; the next
  // get_instance then makes a new factory.
  ~VARNO_BLOCK_FACTORY() override;
  VARNO_BLOCK_FACTORY(const VARNO_BLOCK_FACTORY&) = delete;
  VARNO_BLOCK_FACTORY& operator=(const VARNO_BLOCK_FACTORY&) = delete;

  // The process-wide factory, made on first call.
  static VARNO_IBLOCK_FACTORY* get_instance();

  VARNO_IBLOCK* create_block(u32 type, VARNO_IGEN* gen) override;
  VARNO_IBLOCK* create_block(u32 type, bool crc, u32 word_count, bool init_ones) override;
};

// Entry point of the host: the process-wide block factory, made on first
// call; the same object on every call until something deletes it, then a
// new one. Blocks made by a deleted factory stay valid.
extern "C" VARNO_IBLOCK_FACTORY* varno_get_block_factory();
