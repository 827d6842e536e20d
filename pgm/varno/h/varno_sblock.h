// The option block: a fixed image of configuration words described by the
// device database, made of constant words and named dynamic-data fields that
// hold named option-bit fields. Processing writes the constants and the
// default option values (except options protected by a shadow mask) and
// appends a CRC word; after all blocks are processed, linked fields receive
// the sizes of the blocks they point at.
//
// Image: word_count 32-bit words. Field placement uses the generator's
// configuration word of B = (width + 7) / 8 bytes: bit p of configuration
// word w is bit p mod 8 of image byte w * B + p / 8. Every access, into the
// image or into a caller's buffer laid out like it, is bounded by the image
// length.
#pragma once

#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "varno_block.h"
#include "varno_types.h"

struct VOLD_CONST_DATA;
struct VOLD_DYN_DATA;
struct VOLD_OB_DATA;

class VARNO_SBLOCK : public VARNO_BLOCK {
 public:
  // Allocates word_count * 4 bytes of image, all 0xFF with init_ones, else
  // 0x00. gen may be null (a stand-alone block).
  VARNO_SBLOCK(u32 type, bool crc, u32 word_count, bool init_ones, VARNO_GEN* gen);
  // An empty block: no image, no records, every flag clear.
  VARNO_SBLOCK();
  ~VARNO_SBLOCK() override;

  // ---- Records -------------------------------------------------------------
  //
  // The model builder and the generator's copy operation append the records
  // of the family information here. The records stay the family
  // information's: the block only points at them, and copies of a block
  // share them.
  void add_const_data(VOLD_CONST_DATA* record) { m_const_list.push_back(record); }
  void add_dyn_data(VOLD_DYN_DATA* record) {
    m_slot_cache.clear();
    m_dyn_list.push_back(record);
  }
  std::vector<VOLD_CONST_DATA*>& const_data_list() { return m_const_list; }
  std::vector<VOLD_DYN_DATA*>& dyn_data_list() {
    m_slot_cache.clear();
    return m_dyn_list;
  }
  const std::vector<VOLD_CONST_DATA*>& const_data_list() const { return m_const_list; }
  const std::vector<VOLD_DYN_DATA*>& dyn_data_list() const { return m_dyn_list; }

  bool has_crc() const { return m_crc; }
  bool init_ones() const { return m_init_ones; }
  u32 word_count() const { return m_word_count; }
  u32 crc_word() const { return m_crc_word; }
  // The image (m_block_length bytes, without the CRC word).
  const u8* image() const { return m_data; }
  u64 image_length() const { return m_block_length; }

  // ---- Look-ups ------------------------------------------------------------

  // First field whose type name is name; null when none.
  VOLD_DYN_DATA* get_dyn_data_by_name(const std::string& name);
  // First option named option in the field named dyn_name; null when none.
  VOLD_OB_DATA* get_ob_data_by_name(const std::string& option, const std::string& dyn_name);
  // The option's bit index within its field; 0 when not found.
  u32 get_option_index(const std::string& option, const std::string& dyn_name);
  // The 32-bit little-endian word at byte 4 * i of the image.
  u32 get_dword_data(u32 i);

  // ---- Options resolved once ---------------------------------------------
  //
  // Frame managers write the same header options for every frame: they look
  // each option up once and write through the slot.

  // An option of a field: where it lies and how wide it is. Size 0: the
  // block has no such option (or it has no bits).
  struct OPTION_SLOT {
    const VOLD_DYN_DATA* field = nullptr;
    u32 index = 0;
    u32 size = 0;
    // A field that fills whole configuration words in row order holds the
    // option as one run of image bits from run_start on.
    bool single_run = false;
    u64 run_start = 0;
    // The whole option is one such run inside the field and the image, in
    // at most 8 bytes: span bytes from image byte first, the option's bits
    // at mask from bit shift on (bit 0 of the mask is bit 0 of the first
    // byte). span 0: no such run.
    u64 first = 0;
    u32 span = 0;
    u32 shift = 0;
    u64 mask = 0;
  };
  OPTION_SLOT resolve_option(const std::string& option, const std::string& dyn_name);
  // write_option_bits through a slot: the same result codes, the same bits.
  u32 write_option_slot(const OPTION_SLOT& slot, const u8* value, u32 bits, u8* dest);
  // write_option_slot of value over the option's whole size, zeros above
  // its 32 bits. A slot with a span needs no staging buffer and no general
  // bit copy; like write_option_slot it touches only the option's bytes.
  u32 write_option_value(const OPTION_SLOT& slot, u32 value, u8* dest);

  // A fixed list of options of one field written together, as a header
  // record is for every frame. When every option has a span and all of them
  // lie within span bytes (at most 8) from image byte first, the record is
  // written with one load and one store; span 0: option by option.
  struct OPTION_RECORD {
    std::vector<OPTION_SLOT> slots;
    u64 first = 0;
    u32 span = 0;
  };
  // The record of these options, resolved on the first call with this key
  // (the address of the caller's list) and kept until the block's records
  // change.
  const OPTION_RECORD& option_record(const void* key, const char* dyn_name,
                                     const char* const* options, size_t count);
  // Its slots.
  const std::vector<OPTION_SLOT>& option_slots(const void* key, const char* dyn_name,
                                               const char* const* options, size_t count);
  // Writes values[i] into option i of the record, as write_option_value
  // does, for every i whose bit is set in fields, in order, with one load
  // and one store of the record's bytes. False, writing nothing, when the
  // record has no span or there is no image to write to: the caller then
  // writes option by option.
  bool write_option_record(const OPTION_RECORD& record, const u32* values, u32 fields, u8* dest);

  // ---- Block interface -----------------------------------------------------

  // Writes bits bits of data (bit 0 of data[0] first) into the field from
  // field bit index on, into dest (a buffer laid out like the image and at
  // least as long) or, with dest null, into the image. Stops at the field's
  // last bit; returns the number of bits written (0 without such a field).
  u32 write_dyn_value(const std::string& name, const u8* data, u32 index, u32 bits,
                      u8* dest) override;
  // The reverse, from the image into out (from bit 0 of out[0]).
  u32 read_dyn_value(const std::string& name, u8* out, u32 index, u32 bits) override;
  u32 get_dyn_value_size(const std::string& name) override;
  // VARNO_NO_ERROR, VARNO_ERROR_OB_SIZE (value wider than the option) or
  // VARNO_ERROR_OB_NOT_FOUND (no such option, or an option of size 0).
  u32 write_option_bits(const std::string& option, const std::string& dyn_name, const u8* value,
                        u32 bits, u8* dest) override;
  // Bits read; the read may run on past the option up to the field's end.
  u32 read_option_bits(const std::string& option, const std::string& dyn_name, u8* out,
                       u32 bits) override;
  u32 get_option_size(const std::string& option, const std::string& dyn_name) override;
  // Protects the field's options whose bits are all set in mask from
  // process. The first mask of a field stays; the mask's first bits bits
  // are copied, so the caller may release it at once.
  void set_option_shadow_mask(const std::string& dyn_name, const u8* mask, u32 bits) override;
  // Sets index, second and size (all 0 when not found) and returns size.
  u32 get_option_info(const std::string& option, const std::string& dyn_name, u32& index,
                      u32& second, u32& size) override;

  // The image, then the CRC word (4 bytes little-endian) when the block has
  // one. read_block_data is the host's read-out: an internal error before the
  // block is built (see VARNO_BLOCK::require_built), and while the CRC word
  // is stale (see crc_stale).
  u32 get_block_size() override;
  void read_block_data(u8* out) override;
  // The same bytes as they are now, built or not: the frame managers and
  // groups copy header blocks whose fields they have just written.
  void copy_block_data(u8* out) const;
  u32 block_type() override;

  // Records are not freed here: they belong to the family information; the
  // lists are emptied.
  void clean_up() override;
  void crc_update() override;
  // Whether the CRC word, once computed (by process or crc_update), is not
  // the CRC of the image and filler as they are now: option or dynamic-value
  // writes into the image, or the link words, came after it.
  bool crc_stale() const;
  // What every refusal of a stale CRC word says after the block's name.
  static constexpr const char* STALE_CRC_TEXT =
      "its image changed after the CRC was computed; call crc_update() first";
  void dump(std::ofstream& stream, VARNO_OUTPUT_FORMAT format) override;
  // Writes constants and unprotected defaults, then the CRC word. False when
  // a constant lies outside the image (the defaults are then not written).
  bool process(bool defer_2d) override;
  void reset_process() override;
  void register_2d_engine() override;
  // Writes the sizes of the linked blocks into the linked fields. Does not
  // recompute the CRC word (crc_update does). Nothing happens without a
  // generator.
  void update_links() override;

 protected:
  // update_links over an explicit block list: block_count blocks, block i
  // from block_at(i).
  void update_links_with(u32 block_count, const std::function<VARNO_IBLOCK*(u32)>& block_at);

 private:
  // A copied shadow mask and its bit count.
  struct SHADOW_MASK {
    VOLD_DYN_DATA* field;
    std::vector<u8> bytes;
    u32 bits;
  };
  // A linked field: where the size goes and which blocks it counts.
  struct LINK {
    VOLD_DYN_DATA* field;
    u32 link;   // bits 7-0 first block (1-based), bits 31-16 further blocks
    u32 index;  // field bit of the value
    u32 bits;   // bits of the value
  };

  u32 config_bytes() const;
  std::string dyn_data_name(const VOLD_DYN_DATA* dyn, const char* failure_text) const;
  // Copies bits between a field and a buffer laid out like the image.
  u32 transfer(const std::string& name, u8* image, const u8* src_data, u8* dst_data, u32 index,
               u32 bits, bool to_image);
  u32 transfer_field(const VOLD_DYN_DATA* dyn, u8* image, const u8* src_data, u8* dst_data,
                     u32 index, u32 bits, bool to_image);
  u32 crc_of_image() const;
  // The host's read-outs of the image with its CRC word.
  void require_crc_current() const;
  void compute_crc();

  bool m_crc = false;
  bool m_init_ones = false;
  std::vector<VOLD_CONST_DATA*> m_const_list;
  std::vector<VOLD_DYN_DATA*> m_dyn_list;
  std::vector<SHADOW_MASK> m_shadow_masks;  // in the order given; one per field
  std::map<const VOLD_OB_DATA*, bool> m_masked;
  std::vector<LINK> m_links;  // in the order found; one per field
  // Resolved option lists by key; few per block, so a search beats a map.
  // A deque keeps the lists in place as more are added.
  std::deque<std::pair<const void*, OPTION_RECORD>> m_slot_cache;
  u32 m_crc_word = 0;
  // A block whose CRC was never computed (not built, or skipped) has no word
  // to go stale: it is taken as it is.
  bool m_crc_computed = false;
  u32 m_word_count = 0;
};
