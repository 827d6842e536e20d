#include "varno_block_factory.h"

#include "varno_dblock.h"
#include "varno_gen.h"
#include "varno_sblock.h"

namespace {
VARNO_BLOCK_FACTORY* s_block_factory = nullptr;
}

VARNO_BLOCK_FACTORY::~VARNO_BLOCK_FACTORY() {
  // Another factory in the pointer may still be in use by whoever got it:
  // only this one is forgotten, and nothing else is deleted.
  if (s_block_factory == this) s_block_factory = nullptr;
}

VARNO_IBLOCK_FACTORY* VARNO_BLOCK_FACTORY::get_instance() {
  if (s_block_factory == nullptr) s_block_factory = new VARNO_BLOCK_FACTORY();
  return s_block_factory;
}

VARNO_IBLOCK* VARNO_BLOCK_FACTORY::create_block(u32 type, VARNO_IGEN* gen) {
  // Only a generator of this library can own a data block; anything else is
  // refused by the block as a missing parent.
  VARNO_GEN* parent = dynamic_cast<VARNO_GEN*>(gen);
  return new VARNO_DBLOCK(type, parent);
}

VARNO_IBLOCK* VARNO_BLOCK_FACTORY::create_block(u32 type, bool crc, u32 word_count,
                                                bool init_ones) {
  return new VARNO_SBLOCK(type, crc, word_count, init_ones, nullptr);
}

extern "C" VARNO_IBLOCK_FACTORY* varno_get_block_factory() {
  return VARNO_BLOCK_FACTORY::get_instance();
}
