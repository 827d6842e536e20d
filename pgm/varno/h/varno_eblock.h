// Sector-array blocks and sector meta blocks. A device of the sector-based
// families is a grid of sectors: the sector-array block owns one meta block
// per grid cell, and each meta block owns a child generator that loads the
// sector's own parameter files and builds the sector's blocks.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "varno_block.h"
#include "varno_types.h"
#include "vold_enums.h"

class VARNO_BLOCK_CONFIG;
class VARNO_EBLOCK;
class VARNO_IGEN;

// A sector of a sector-array block as the host and the group assembly see
// it. The order of the operations is binding: do not reorder.
class VARNO_IMBLOCK {
 public:
  virtual ~VARNO_IMBLOCK() = default;
  // The sector's generator (owned by the meta block).
  virtual VARNO_IGEN* generator() = 0;
  // The sector-array block the sector belongs to.
  virtual VARNO_EBLOCK* eblock() = 0;
};

class VARNO_MBLOCK : public VARNO_IMBLOCK {
 public:
  // Grid position (x, y) of eblock; the child generator comes from the
  // process-wide generator factory.
  VARNO_MBLOCK(u32 x, u32 y, VARNO_EBLOCK* eblock);
  ~VARNO_MBLOCK() override;
  VARNO_MBLOCK(const VARNO_MBLOCK&) = delete;
  VARNO_MBLOCK& operator=(const VARNO_MBLOCK&) = delete;

  VARNO_IGEN* generator() override { return m_generator; }
  VARNO_EBLOCK* eblock() override { return m_eblock; }

  // The grid position until the sector is loaded, then its CNOC address.
  u32 x() const { return m_x; }
  u32 y() const { return m_y; }
  bool cnoc_flag() const { return m_cnoc_flag != 0; }
  void set_cnoc_address(u32 x, u32 y, bool flag) {
    m_x = x;
    m_y = y;
    m_cnoc_flag = flag ? 1 : 0;
  }

 private:
  VARNO_IGEN* m_generator = nullptr;  // owned
  VARNO_EBLOCK* m_eblock = nullptr;   // borrowed
  u32 m_x = 0;
  u32 m_y = 0;
  u32 m_cnoc_flag = 0;  // 0 or 1
};

class VARNO_EBLOCK : public VARNO_BLOCK {
 public:
  // A block without configuration or sectors.
  VARNO_EBLOCK();
  // A block of that type with an empty configuration and no sectors yet.
  VARNO_EBLOCK(u32 type, VARNO_GEN* gen);
  ~VARNO_EBLOCK() override;

  using VARNO_BLOCK::dump;
  u32 get_param_value(const std::string& name, u32 index) override;
  u32 get_param_value(const std::string& name, std::string entry) override;
  u32 get_param_size(const std::string& name) override;
  u32 get_arg_value(const std::string& name, u32 index, u32 offset) override;
  u32 get_arg_size(const std::string& name) override;
  u32 get_arg_width(const std::string& name) override;
  // Writes nothing: the sectors' blocks belong to their own generators.
  void dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) override;
  // Runs do_all_blocks of every sector generator by grid position; false at
  // the first failure. The argument is not used.
  bool process(bool defer_2d) override;
  void reset_process() override;
  void register_2d_engine() override;

  // Fills the process-wide sector-name tables for a family type.
  static void init_static_data(u32 family_type);
  // Text at index of the table of a name part ("sector_", "aib_", ...); ""
  // when the part has no table or the index is past its end.
  static std::string get_vold_mapped_name(const std::string& part, u32 index);

  // Sizes the grid; create_sectors then makes its meta blocks.
  void set_sector_counts(u32 x_count, u32 y_count) {
    m_XSectorCount = x_count;
    m_YSectorCount = y_count;
  }
  u32 x_sector_count() const { return m_XSectorCount; }
  u32 y_sector_count() const { return m_YSectorCount; }
  void create_sectors();
  // The meta block at (x, y); null outside the grid.
  VARNO_MBLOCK* get_sector(u32 x, u32 y) const;
  // Every sector's expected data, under path followed by "X<x>Y<y>".
  void dump_expected_data(const std::string& path);
  // Rows of the argument, with width set; 0 (width unchanged) when the block
  // has no such argument.
  u32 get_arg_depth(const std::string& name, u32& width);
  bool arg_exists(const std::string& name);

  // The block's device parameters and arguments (owned); null for a block
  // made by the default constructor.
  VARNO_BLOCK_CONFIG* config() const { return m_config; }

 private:
  VOLD_PARAMETER_TYPE parameter_type(const std::string& name) const;
  VOLD_ARGUMENT_TYPE argument_type(const std::string& name) const;
  VARNO_IGEN* sector_generator(u64 index) const;

  std::vector<VARNO_MBLOCK*> m_sectors;  // owned; cell (x, y) at y * X + x
  u32 m_XSectorCount = 0;
  u32 m_YSectorCount = 0;
  VARNO_BLOCK_CONFIG* m_config = nullptr;  // owned
};
