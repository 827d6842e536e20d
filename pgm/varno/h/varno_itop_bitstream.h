// The top-level bitstream as the writers see it: an ordered list of bit
// fields, each a byte buffer that stays its owner's.
#pragma once

#include <string>

#include "varno_types.h"

class VARNO_ITOP_BITSTREAM {
 public:
  virtual ~VARNO_ITOP_BITSTREAM() = default;

  // Number of bit fields held.
  virtual u32 get_bitfield_count() const = 0;
  // Byte size of bit field index; 0 when there is no such field.
  virtual u32 get_bitfield_size(u32 index) const = 0;
  // The bytes of bit field index; null when there is no such field.
  virtual unsigned char* get_bitfield_data(u32 index) const = 0;
  // Writes bit fields first to last to path in the given format.
  virtual bool write_to_file(const std::string& path, VARNO_OUTPUT_FORMAT format, u32 first,
                             u32 last, bool append) = 0;
};
