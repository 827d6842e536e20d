#include "varno_block.h"

#include "korvia_fmt.h"
#include "varno_assert.h"
#include "varno_eblock.h"
#include "varno_gen.h"

VARNO_BLOCK::VARNO_BLOCK(u32 block_type, VARNO_GEN* gen) : m_block_type(block_type), m_gen(gen) {}

VARNO_BLOCK::~VARNO_BLOCK() {
  delete[] m_data;
  m_data = nullptr;
}

u32 VARNO_BLOCK::write_dyn_value(const std::string&, const u8*, u32, u32, u8*) { return 0; }
u32 VARNO_BLOCK::read_dyn_value(const std::string&, u8*, u32, u32) { return 0; }
u32 VARNO_BLOCK::get_dyn_value_size(const std::string&) { return 0; }
u32 VARNO_BLOCK::write_option_bits(const std::string&, const std::string&, const u8*, u32, u8*) {
  return 0;
}
u32 VARNO_BLOCK::read_option_bits(const std::string&, const std::string&, u8*, u32) { return 0; }
u32 VARNO_BLOCK::get_option_size(const std::string&, const std::string&) { return 0; }
void VARNO_BLOCK::set_option_shadow_mask(const std::string&, const u8*, u32) {}
// The out-values are left as the caller set them.
u32 VARNO_BLOCK::get_option_info(const std::string&, const std::string&, u32&, u32&, u32&) {
  return 0;
}

void VARNO_BLOCK::set_data(VARNO_BLOCK_DATA_TYPE, u8*, u32, u8*) {}
void VARNO_BLOCK::set_programming_seq_vdata(const PB::BLOCKS_PROGRAMMING_SEQUENCE*) {}
void VARNO_BLOCK::set_data_from_file(VARNO_BLOCK_DATA_TYPE, const std::string&) {}
void VARNO_BLOCK::set_custom_frame_sizes(const u32*, u32) {}
void VARNO_BLOCK::set_custom_interframe_delay(u32) {}

u32 VARNO_BLOCK::get_number_of_frames() { return 0; }
u32 VARNO_BLOCK::get_number_of_potential_frames() { return 0; }
u32 VARNO_BLOCK::get_frame_size(u32) { return 0; }
u32 VARNO_BLOCK::get_frame_data(u32, u8*) { return 0; }
u8* VARNO_BLOCK::get_frame_data_ptr(u32) { return nullptr; }
bool VARNO_BLOCK::get_frame_single_byte(u32, u32, u8&) { return false; }
bool VARNO_BLOCK::update_frame_data(u32, u32, u8) { return false; }

void VARNO_BLOCK::set_repetition_mode(VARNO_BLOCK_REPETITION mode) { m_repetition_mode = mode; }
u32 VARNO_BLOCK::get_block_size() { return 0; }
void VARNO_BLOCK::read_block_data(u8*) {}
VOLD_FRAME_TYPE VARNO_BLOCK::frame_type() { return static_cast<VOLD_FRAME_TYPE>(VOLD_FRAME_MAX); }
u32 VARNO_BLOCK::block_type() { return 0; }

u32 VARNO_BLOCK::get_param_value(const std::string&, u32) { return 0; }
u32 VARNO_BLOCK::get_param_value(const std::string&, std::string) { return 0; }
u32 VARNO_BLOCK::get_param_size(const std::string&) { return 0; }
u32 VARNO_BLOCK::get_arg_value(const std::string&, u32, u32) { return 0; }
u32 VARNO_BLOCK::get_arg_size(const std::string&) { return 0; }
u32 VARNO_BLOCK::get_arg_width(const std::string&) { return 0; }

void VARNO_BLOCK::clean_up() {}
void VARNO_BLOCK::crc_update() {}
void VARNO_BLOCK::set_random_filler(u16 filler) { m_random_filler = filler; }
bool VARNO_BLOCK::process(bool) { return false; }
u32 VARNO_BLOCK::get_user_data_lfsr(u32, u32, u64, u32) { return 0; }
void VARNO_BLOCK::reset_process() {}
void VARNO_BLOCK::register_2d_engine() {}
void VARNO_BLOCK::dump(std::ofstream*, VARNO_OUTPUT_FORMAT) {}
void VARNO_BLOCK::update_links() {}

u32 VARNO_BLOCK::get_config_data_width() const {
  if (m_gen == nullptr) return 32;
  return m_gen->config_data_width();
}

std::string VARNO_BLOCK::sector_position() const {
  // A loaded sector's x and y hold its CNOC address, so the position is
  // found in the grid.
  VARNO_MBLOCK* sector = m_gen != nullptr ? m_gen->meta_block() : nullptr;
  const VARNO_EBLOCK* array = sector != nullptr ? sector->eblock() : nullptr;
  for (u32 y = 0; array != nullptr && y < array->y_sector_count(); ++y) {
    for (u32 x = 0; x < array->x_sector_count(); ++x) {
      if (array->get_sector(x, y) == sector) return KORVIA::fmt_sprintf(" of sector (%d, %d)", x, y);
    }
  }
  return "";
}

std::string VARNO_BLOCK::change_text() const {
  if (m_build_state == BUILD_STATE::FAILED) return "its build failed";
  switch (m_passed_by) {
    case PASSED_BY::SKIPPED:
      return "its design data came after its build, and the build since skipped it "
             "(skip_block_processing)";
    case PASSED_BY::DEFERRED:
      return "its design data came after process(true) built it, and a build passes it over "
             "until reset_process()";
    case PASSED_BY::FAILED:
      return "its design data came after its build, and the build since failed";
    case PASSED_BY::NONE:
      break;
  }
  return "its design data came after do_all_blocks built it";
}

void VARNO_BLOCK::require_built() const {
  if (m_build_state == BUILD_STATE::BUILT || m_gen == nullptr) return;
  if (outdated()) {
    VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Block %s%s read before a rebuild: %s",
                                             block_type_name(), sector_position().c_str(),
                                             change_text().c_str()));
  }
  VARNO_INTERNAL_ERROR(KORVIA::fmt_sprintf("Block %s%s read before do_all_blocks built it",
                                           block_type_name(), sector_position().c_str()));
}

const char* VARNO_BLOCK::block_type_name() const {
  if (m_block_type >= VOLD_BLOCK_MAX) return "";
  return VOLD_BLOCK_TYPE_NAMES[m_block_type];
}
