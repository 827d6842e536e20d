// The whole road's last stage: every public call a host can make, at the
// bounds the library states and one past them, on whatever the input built.
//
// The road makes each host call in the shapes its header chooses, one shape
// an input. A check that guards a bound is met only when a mutation happens
// to write that bound; here every input meets every bound of what it built:
// block and frame indices at the count and past it, buffers of exactly the
// size asked for and one byte short or long, segment reads and writes
// clipped at a segment's end, parameter and argument reads at their sizes,
// group threads and blocks past their counts, bit fields past the list.
// A refusal (an internal error) of one probe does not end the others: the
// probes that may be refused only read, or write back what they read, so a
// refused call leaves nothing half done, and the road's outputs stay as they
// were. The calls that change a block (a partial build from a new, shorter
// buffer) come last, one block at a time.
#pragma once

#include <vector>

#include "varno_itop_bitstream.h"
#include "varno_types.h"

class VARNO_DBLOCK;
class VARNO_IGEN;
class VARNO_IMBLOCK_GROUP;
class VARNO_ITOP_BITSTREAM;

namespace varno_fuzz {

// The design data a data block was given last, as the host still holds it.
struct FED_BLOCK {
  VARNO_DBLOCK* block;
  u32 slot;
  const u8* data;
  u32 bits;
};

// gen and its sector generators, their blocks and frames, and their setup
// records. Changes nothing: every write puts back what was read.
void probe_generator(VARNO_IGEN* gen);
// A collected group's threads, blocks and images.
void probe_group(VARNO_IGEN* gen, VARNO_IMBLOCK_GROUP* group);
// The top-level bitstream's bit fields, and merges over what the road's
// merge (into blocks of block_size, giving hashes) hashed, which must be
// refused.
void probe_top(VARNO_ITOP_BITSTREAM* top, u32 block_size, const std::vector<u32>& hashes);
// Every field of the option blocks given a shadow mask of the field's size
// with a bit count past the field, then written.
void probe_shadow_masks(VARNO_IGEN* gen);
// A new group set up past its counts (threads, blocks, sectors), never
// built.
void probe_group_setup(VARNO_IGEN* gen);
// Each fed block rebuilt in part: frame ranges at and past its end; then
// given a copy of its data that is one byte, then one frame's core, too
// short, which a partial build refuses and the whole build refuses or stays
// inside; a block of more than 4,096 frames is not rebuilt. Adds frames to
// the blocks: the road's last step.
void probe_shorter_data(const std::vector<FED_BLOCK>& fed);
// The host's mistakes the library refuses, each made on what the input
// built; a mistake that is not refused is a finding (the process aborts).
// Of the groups: a collected group's read-outs into null buffers, a sector
// added after its collection and a second collection; a new group read
// before its collection and collected with no blocks. Changes nothing.
void probe_refused_group_mistakes(VARNO_IGEN* gen, VARNO_IMBLOCK_GROUP* group);
// Of outputs read after what they were made from changed: an option block's
// image changed after its CRC word (put back after); a frame of a collected
// block patched, written through its pointer, and rebuilt from its design
// buffer changed in place, each put back after (the group refuses its
// read-outs of bytes exactly while the frames differ from a plain copy of
// those it collected); a byte of a field the road's merge hashed (top,
// block_size, hashes, mode) and of the chain's hash blocks outside their
// digests changed, which write_to_file refuses until it is put back, also
// with the digests above it renewed, and a page patched with them renewed
// is taken; and a
// hashed field added behind the hash blocks, which neither write_to_file
// nor a second merge with hash takes.
void probe_refused_stale_outputs(VARNO_IGEN* gen, VARNO_IMBLOCK_GROUP* group, const std::vector<FED_BLOCK>& fed,
                                 VARNO_ITOP_BITSTREAM* top, u32 block_size, const std::vector<u32>& hashes,
                                 VARNO_SHA_MODE mode);
// Of the design data: null data of a length, and the data given again after
// the build, which the block's read-outs and a group that collected it then
// refuse, as a partial build and a skipped build leave it. Leaves the fed
// blocks changed since their build (the first one skipped): the road's last
// step but the 2D data's release.
void probe_refused_data_mistakes(VARNO_IMBLOCK_GROUP* group, const std::vector<FED_BLOCK>& fed);

}  // namespace varno_fuzz
