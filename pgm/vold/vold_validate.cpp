// Consistency checks of loaded records: everything the generator library
// relies on without checking it again (enumeration values inside their
// tables, option records inside their field, fields inside the image,
// parameter offsets inside the size, argument widths, sector-array sizes, S4
// ordering). The loader runs them on every file.
#include <bit>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "vold_internal.h"

namespace {

std::string name_of(VOLD_ENUM_TYPE kind, std::uint32_t value) {
  std::string name;
  if (VOLD_MANAGER::check_type_enum_supported(kind, value, &name)) return name;
  return std::to_string(value);
}

// Value must name a row of kind's table (1 to count - 1).
bool enum_ok(VOLD_ENUM_TYPE kind, std::uint32_t value) {
  return value >= 1 && value < VOLD_MANAGER::enum_count(kind);
}

std::string range_text(const char* what, std::uint32_t value, VOLD_ENUM_TYPE kind) {
  return std::string(what) + " " + std::to_string(value) + " is out of range (1 to " +
         std::to_string(VOLD_MANAGER::enum_count(kind) - 1) + ")";
}

class VALIDATOR {
 public:
  explicit VALIDATOR(const VOLD_INFO& info) : m_info(info) {}

  VOLD_PROBLEM run() {
    if (m_info.get_family_info() != nullptr && m_info.get_device_info() != nullptr)
      return fail("a file holds either a family or a device", nullptr);
    if (const VOLD_FAMILY_INFO* f = m_info.get_family_info()) family(*f);
    else if (const VOLD_DEVICE_INFO* d = m_info.get_device_info()) device(*d);
    else fail("neither a family nor a device", nullptr);
    return m_problem;
  }

 private:
  bool failed() const { return !m_problem.text.empty(); }
  VOLD_PROBLEM fail(std::string text, const void* where) {
    if (!failed()) {
      m_problem.text = std::move(text);
      m_problem.where = where;
    }
    return m_problem;
  }

  void family(const VOLD_FAMILY_INFO& f) {
    if (!enum_ok(VOLD_ENUM_TYPE_FAMILY, f.family_type)) {
      fail(range_text("family type", f.family_type, VOLD_ENUM_TYPE_FAMILY), &f);
      return;
    }
    if (f.config_data_width != 8 && f.config_data_width != 32) {
      fail("configuration width " + std::to_string(f.config_data_width) + " is not 8 or 32", &f);
      return;
    }
    for (const VOLD_BLOCK_ENTRY* b : f.block_list) {
      if (b == nullptr) {
        fail("null block entry", &f);
        return;
      }
      block(f, *b);
      if (failed()) return;
    }
  }

  void block(const VOLD_FAMILY_INFO& f, const VOLD_BLOCK_ENTRY& b) {
    if (!enum_ok(VOLD_ENUM_TYPE_BLOCK, b.block_type)) {
      fail(range_text("block type", b.block_type, VOLD_ENUM_TYPE_BLOCK), &b);
      return;
    }
    const std::string bname = "block " + name_of(VOLD_ENUM_TYPE_BLOCK, b.block_type);
    if (b.option_flag != 0) {
      if (b.frame_description != nullptr || b.instruction_list != nullptr) {
        fail(bname + ": an option block has no frame description or instructions", &b);
        return;
      }
      if (b.word_count == 0 || b.word_count > VOLD_MAX_WORD_COUNT) {
        fail(bname + ": word count " + std::to_string(b.word_count) + " is out of range (1 to " +
                 std::to_string(VOLD_MAX_WORD_COUNT) + ")",
             &b);
        return;
      }
      option_block(f, b, bname);
      return;
    }
    if (b.const_list != nullptr || b.dyn_list != nullptr) {
      fail(bname + ": only option blocks hold constants and fields", &b);
      return;
    }
    if (b.frame_description == nullptr) {
      if (b.instruction_list != nullptr) fail(bname + ": a sector-array block has no instructions", &b);
      return;
    }
    const VOLD_FRAME_DESCRIPTION& fd = *b.frame_description;
    if (fd.frame_type < VOLD_FRAME_IOCSR || fd.frame_type >= VOLD_FRAME_MAX) {
      fail(bname + ": frame type " + std::to_string(fd.frame_type) + " has no frame manager (4 to 27)", &b);
      return;
    }
    // Managers size frames and segments from these words.
    for (unsigned w : {1u, 2u, 3u, 4u, 6u}) {
      if (fd.word(w) > VOLD_MAX_DESCRIPTOR_WORD) {
        fail(bname + ": frame descriptor word " + std::to_string(w) + " (" + std::to_string(fd.word(w)) +
                 ") is above " + std::to_string(VOLD_MAX_DESCRIPTOR_WORD),
             &b);
        return;
      }
    }
    if (b.instruction_list == nullptr) return;
    std::set<std::uint32_t> seen;
    for (const VOLD_INSTRUCTION* i : *b.instruction_list) {
      if (i == nullptr) {
        fail(bname + ": null instruction", &b);
        return;
      }
      if (!enum_ok(VOLD_ENUM_TYPE_INSTRUCTION, i->type)) {
        fail(bname + ": " + range_text("instruction type", i->type, VOLD_ENUM_TYPE_INSTRUCTION), i);
        return;
      }
      if (!seen.insert(i->type).second) {
        fail(bname + ": second instruction " + name_of(VOLD_ENUM_TYPE_INSTRUCTION, i->type), i);
        return;
      }
      if (i->core_words > VOLD_MAX_INSTRUCTION_WORDS ||
          i->padding_words > static_cast<std::int32_t>(VOLD_MAX_INSTRUCTION_WORDS) ||
          i->padding_words < -static_cast<std::int32_t>(VOLD_MAX_INSTRUCTION_WORDS)) {
        fail(bname + ": instruction " + name_of(VOLD_ENUM_TYPE_INSTRUCTION, i->type) +
                 " has too many core or padding words",
             i);
        return;
      }
    }
  }

  void option_block(const VOLD_FAMILY_INFO& f, const VOLD_BLOCK_ENTRY& b, const std::string& bname) {
    if (b.const_list != nullptr) {
      for (const VOLD_CONST_DATA* c : *b.const_list) {
        if (c == nullptr) {
          fail(bname + ": null constant", &b);
          return;
        }
        // Constants are stored as 32-bit words whatever the width.
        if (c->word_index >= b.word_count) {
          fail(bname + ": constant word " + std::to_string(c->word_index) + " lies outside the " +
                   std::to_string(b.word_count) + "-word image",
               c);
          return;
        }
      }
    }
    if (b.dyn_list == nullptr) return;
    std::set<std::uint32_t> types;
    for (const VOLD_DYN_DATA* d : *b.dyn_list) {
      if (d == nullptr) {
        fail(bname + ": null field", &b);
        return;
      }
      if (!enum_ok(VOLD_ENUM_TYPE_DYN_DATA, d->type)) {
        fail(bname + ": " + range_text("field type", d->type, VOLD_ENUM_TYPE_DYN_DATA), d);
        return;
      }
      if (!types.insert(d->type).second) {
        fail(bname + ": second field " + name_of(VOLD_ENUM_TYPE_DYN_DATA, d->type), d);
        return;
      }
      field(f, b, *d, bname + ", field " + name_of(VOLD_ENUM_TYPE_DYN_DATA, d->type));
      if (failed()) return;
    }
  }

  void field(const VOLD_FAMILY_INFO& f, const VOLD_BLOCK_ENTRY& b, const VOLD_DYN_DATA& d,
             const std::string& dname) {
    const std::uint32_t width = f.config_data_width;
    if (d.word_mask == 0) {
      fail(dname + ": the word mask is empty", &d);
      return;
    }
    if (width < 32 && (d.word_mask >> width) != 0) {
      fail(dname + ": the word mask has bits beyond the configuration width", &d);
      return;
    }
    if (d.bit_size == 0) {
      fail(dname + ": the field has no bits", &d);
      return;
    }
    // Placement inside the image: image bytes L, B bytes per configuration word.
    const std::uint64_t bytes_per_word = (width + 7) / 8;
    const std::uint64_t image_words = static_cast<std::uint64_t>(b.word_count) * 4 / bytes_per_word;
    const std::uint64_t k = static_cast<std::uint64_t>(std::popcount(d.word_mask));
    const std::uint64_t last = static_cast<std::uint64_t>(d.bit_offset) + d.bit_size - 1;
    if (d.word_index >= image_words) {
      fail(dname + ": the field starts outside the image", &d);
      return;
    }
    if (!d.column_order) {
      if (d.word_index + last / k >= image_words) {
        fail(dname + ": the field runs past the end of the image", &d);
        return;
      }
    } else {
      const std::uint64_t r = image_words - d.word_index;
      if (last / r >= k) {
        fail(dname + ": the column-order field does not fit the words after its start", &d);
        return;
      }
    }
    if (d.ob_list == nullptr) return;
    std::set<std::uint32_t> types;
    for (const VOLD_OB_DATA* o : *d.ob_list) {
      if (o == nullptr) {
        fail(dname + ": null option", &d);
        return;
      }
      option(*o, dname, d.bit_size);
      if (failed()) return;
      if (!types.insert(o->type).second) {
        fail(dname + ": second option " + name_of(VOLD_ENUM_TYPE_OB_DATA, o->type), o);
        return;
      }
    }
  }

  // field_bits: the enclosing field's size, or 0 for a device option bit.
  void option(const VOLD_OB_DATA& o, const std::string& where, std::uint32_t field_bits) {
    if (!enum_ok(VOLD_ENUM_TYPE_OB_DATA, o.type)) {
      fail(where + ": " + range_text("option type", o.type, VOLD_ENUM_TYPE_OB_DATA), &o);
      return;
    }
    const std::string oname = where + (where.empty() ? "" : ", ") + "option " + name_of(VOLD_ENUM_TYPE_OB_DATA, o.type);
    if (o.bit_size > VOLD_MAX_OB_BITS) {
      fail(oname + ": more than " + std::to_string(VOLD_MAX_OB_BITS) + " bits", &o);
      return;
    }
    if (field_bits != 0 && static_cast<std::uint64_t>(o.bit_index) + o.bit_size > field_bits) {
      fail(oname + ": bits " + std::to_string(o.bit_index) + " to " +
               std::to_string(static_cast<std::uint64_t>(o.bit_index) + o.bit_size - 1) + " lie outside the " +
               std::to_string(field_bits) + "-bit field",
           &o);
      return;
    }
    // Family and device values of one option are copied onto each other bit
    // for bit, so both carry exactly the option's size.
    if (o.value_bits != o.bit_size || o.value.size() < (static_cast<std::size_t>(o.value_bits) + 7) / 8) {
      fail(oname + ": the value must have exactly " + std::to_string(o.bit_size) + " bits", &o);
      return;
    }
    if (o.link != 0) {
      if (field_bits == 0) {
        fail(oname + ": a device option bit has no link", &o);
        return;
      }
      if ((o.link & 0xFFu) == 0 || (o.link & 0xFF00u) != 0) {
        fail(oname + ": link must name its first block in bits 7-0 (from 1) and leave bits 15-8 clear", &o);
        return;
      }
      // The linked size is written from a 32-bit word, with the index kept
      // in 16 bits of the link record.
      if (o.bit_size > 32 || o.bit_index > 0xFFFFu) {
        fail(oname + ": a linked option has at most 32 bits and starts below bit 65536", &o);
        return;
      }
    }
  }

  void device(const VOLD_DEVICE_INFO& d) {
    if (!enum_ok(VOLD_ENUM_TYPE_FAMILY, d.family_type)) {
      fail(range_text("family type", d.family_type, VOLD_ENUM_TYPE_FAMILY), &d);
      return;
    }
    if (!enum_ok(VOLD_ENUM_TYPE_DEVICE, d.device_type)) {
      fail(range_text("device type", d.device_type, VOLD_ENUM_TYPE_DEVICE), &d);
      return;
    }
    if (d.parameter_list == nullptr || d.parameter_list->empty()) {
      fail("a device file needs at least one parameter", &d);
      return;
    }
    if (d.argument_list == nullptr || d.option_bit_list == nullptr) {
      fail("missing argument or option-bit list", &d);
      return;
    }
    std::map<std::pair<std::uint32_t, std::uint32_t>, const VOLD_PARAM*> params;
    std::uint64_t values = 0;
    for (const VOLD_PARAM* p : *d.parameter_list) {
      if (p == nullptr) {
        fail("null parameter", &d);
        return;
      }
      param(*p);
      if (failed()) return;
      if (!params.emplace(std::make_pair(p->block_type, p->type), p).second) {
        fail("second parameter " + name_of(VOLD_ENUM_TYPE_PARAMETER, p->type) + " of block " +
                 name_of(VOLD_ENUM_TYPE_BLOCK, p->block_type),
             p);
        return;
      }
      values += p->entries->size();
    }
    std::map<std::pair<std::uint32_t, std::uint32_t>, const VOLD_ARG*> args;
    for (const VOLD_ARG* a : *d.argument_list) {
      if (a == nullptr) {
        fail("null argument", &d);
        return;
      }
      arg(*a);
      if (failed()) return;
      if (!args.emplace(std::make_pair(a->block_type, a->type), a).second) {
        fail("second argument " + name_of(VOLD_ENUM_TYPE_ARGUMENT, a->type) + " of block " +
                 name_of(VOLD_ENUM_TYPE_BLOCK, a->block_type),
             a);
        return;
      }
      values += a->values.size();
    }
    values += d.lutram_simplified_col.size() + d.lutram_simplified_row.size();
    if (values > VOLD_MAX_VALUES) {
      fail("more than " + std::to_string(VOLD_MAX_VALUES) + " values in one file", &d);
      return;
    }
    // Keys seen so far; a set keeps a file of many option bits linear-ish.
    std::set<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> keys;
    for (const VOLD_OB_DATA* o : *d.option_bit_list) {
      if (o == nullptr) {
        fail("null option bit", &d);
        return;
      }
      option(*o, "", 0);
      if (failed()) return;
      if (!keys.emplace(o->type, o->bit_index, o->second_position, o->bit_size).second) {
        fail("option " + name_of(VOLD_ENUM_TYPE_OB_DATA, o->type) + " is given twice", o);
        return;
      }
    }
    arrays(params, args);
    if (failed()) return;
    if (d.lutram_simplified_col.size() > VOLD_MAX_LUTRAM_COLS) {
      fail("the LUTRAM column list has more than " + std::to_string(VOLD_MAX_LUTRAM_COLS) + " entries",
           &d.lutram_simplified_col);
      return;
    }
    s4(d);
  }

  void param(const VOLD_PARAM& p) {
    if (!enum_ok(VOLD_ENUM_TYPE_BLOCK, p.block_type)) {
      fail("parameter: " + range_text("block type", p.block_type, VOLD_ENUM_TYPE_BLOCK), &p);
      return;
    }
    if (!enum_ok(VOLD_ENUM_TYPE_PARAMETER, p.type)) {
      fail(range_text("parameter type", p.type, VOLD_ENUM_TYPE_PARAMETER), &p);
      return;
    }
    const std::string pname = "parameter " + name_of(VOLD_ENUM_TYPE_PARAMETER, p.type);
    if (p.size > VOLD_MAX_PARAM_SIZE) {
      fail(pname + ": size " + std::to_string(p.size) + " is above " + std::to_string(VOLD_MAX_PARAM_SIZE), &p);
      return;
    }
    if (p.entries == nullptr) {
      fail(pname + ": no entry list", &p);
      return;
    }
    std::vector<bool> taken(p.size, false);
    for (const VOLD_PARAM_ENTRY* e : *p.entries) {
      if (e == nullptr) {
        fail(pname + ": null entry", &p);
        return;
      }
      if (e->offset >= p.size) {
        fail(pname + ": entry offset " + std::to_string(e->offset) + " is not below the size " +
                 std::to_string(p.size),
             &p);
        return;
      }
      if (taken[e->offset]) {
        fail(pname + ": two entries at offset " + std::to_string(e->offset), &p);
        return;
      }
      taken[e->offset] = true;
    }
  }

  void arg(const VOLD_ARG& a) {
    if (!enum_ok(VOLD_ENUM_TYPE_BLOCK, a.block_type)) {
      fail("argument: " + range_text("block type", a.block_type, VOLD_ENUM_TYPE_BLOCK), &a);
      return;
    }
    if (!enum_ok(VOLD_ENUM_TYPE_ARGUMENT, a.type)) {
      fail(range_text("argument type", a.type, VOLD_ENUM_TYPE_ARGUMENT), &a);
      return;
    }
    const std::string aname = "argument " + name_of(VOLD_ENUM_TYPE_ARGUMENT, a.type);
    if (a.width == 0) {
      fail(aname + ": width 0", &a);
      return;
    }
    if (a.values.size() % a.width != 0) {
      fail(aname + ": " + std::to_string(a.values.size()) + " values do not fill rows of width " +
               std::to_string(a.width),
           &a);
      return;
    }
    const bool bytes_consistent = a.byte_values.empty() || a.byte_values.size() == a.values.size();
    if (!bytes_consistent) {
      fail(aname + ": byte copy does not match the values", &a);
      return;
    }
    if (vold_is_byte_argument(a.type) && !a.values.empty() && !a.has_byte_rows()) {
      fail(aname + ": its values are bytes (0 to 255)", &a);
      return;
    }
  }

  // Sector arrays: ARRAY_COUNT gives X and Y; every cell needs its sector
  // type and three CNOC address values.
  void arrays(const std::map<std::pair<std::uint32_t, std::uint32_t>, const VOLD_PARAM*>& params,
              const std::map<std::pair<std::uint32_t, std::uint32_t>, const VOLD_ARG*>& args) {
    for (const auto& [key, p] : params) {
      if (key.second != VOLD_PARAMETER_ARRAY_COUNT) continue;
      const std::string bname = "block " + name_of(VOLD_ENUM_TYPE_BLOCK, key.first);
      std::uint64_t xy[2] = {0, 0};
      bool have[2] = {false, false};
      for (const VOLD_PARAM_ENTRY* e : *p->entries) {
        if (e->offset < 2) {
          xy[e->offset] = e->value;
          have[e->offset] = true;
        }
      }
      if (!have[0] || !have[1]) {
        fail(bname + ": ARRAY_COUNT needs the values X and Y at offsets 0 and 1", p);
        return;
      }
      // The block builds an X x Y grid of sectors, which needs both.
      if (xy[0] == 0 || xy[1] == 0) {
        fail(bname + ": ARRAY_COUNT " + std::to_string(xy[0]) + " x " + std::to_string(xy[1]) + " has no cells", p);
        return;
      }
      const std::uint64_t cells = xy[0] * xy[1];
      if (cells > VOLD_MAX_ARRAY_CELLS) {
        fail(bname + ": ARRAY_COUNT " + std::to_string(xy[0]) + " x " + std::to_string(xy[1]) +
                 " has more than " + std::to_string(VOLD_MAX_ARRAY_CELLS) + " cells",
             p);
        return;
      }
      auto t = params.find({key.first, VOLD_PARAMETER_ARRAY_TYPE});
      if (t == params.end() || t->second->size != cells || t->second->entries->size() != cells) {
        fail(bname + ": ARRAY_TYPE must give one value for each of the " + std::to_string(cells) + " cells",
             t == params.end() ? static_cast<const void*>(p) : t->second);
        return;
      }
      auto c = args.find({key.first, VOLD_ARGUMENT_CNOC_ADDRESSES});
      if (c == args.end() || c->second->width < 3 || c->second->row_count() != cells) {
        fail(bname + ": CNOC_ADDRESSES must give one row of width 3 or more for each of the " + std::to_string(cells) +
                 " cells",
             c == args.end() ? static_cast<const void*>(p) : c->second);
        return;
      }
    }
  }

  void s4(const VOLD_DEVICE_INFO& d) {
    if (d.m_s4_s2_list_size > VOLD_MAX_S4_FRAMES) {
      fail("S4/S2 list of " + std::to_string(d.m_s4_s2_list_size) + " frames is above " +
               std::to_string(VOLD_MAX_S4_FRAMES),
           &d);
      return;
    }
    if (d.m_s4_s2_list == nullptr) return;
    if (d.m_s4_s2_list->size() != d.m_s4_s2_list_size) {
      fail("S4/S2 list size does not match its entries", &d);
      return;
    }
    // Earlier-family CRAM leaves registers without S2 cells as null entries,
    // including the first; every other reader takes the first register's list.
    const bool first_may_be_null =
        d.family_type == VOLD_FAMILY_PASKEVOLT || d.family_type == VOLD_FAMILY_PASKEVOLTES;
    for (std::uint32_t frame = 0; frame < d.m_s4_s2_list->size(); ++frame) {
      S4_SII* r = (*d.m_s4_s2_list)[frame];
      if (r == nullptr) continue;
      const std::string rname = "S4 record of frame " + std::to_string(frame);
      const S4_SII_DRA_LIST& dras = r->dra_lists();
      if (dras.empty() || dras.size() > VOLD_MAX_S4_DRAS) {
        fail(rname + ": 1 to " + std::to_string(VOLD_MAX_S4_DRAS) + " data registers expected", r);
        return;
      }
      if (dras[0] == nullptr && !first_may_be_null) {
        fail(rname + ": data register 0 has no S2 cells", r);
        return;
      }
      for (std::size_t dra = 0; dra < dras.size(); ++dra) {
        const S4_SII_BIT_LIST* list = dras[dra];
        if (list == nullptr) continue;
        if (list->empty()) {
          fail(rname + ": data register " + std::to_string(dra) + " has an empty S2 list", r);
          return;
        }
        for (std::size_t i = 0; i < list->size(); ++i) {
          const S4_SII_BIT* bit = (*list)[i];
          if (bit == nullptr) {
            fail(rname + ": null S2 cell", r);
            return;
          }
          if (i > 0 && bit->img_bit() <= (*list)[i - 1]->img_bit()) {
            fail(rname + ": S2 cells of data register " + std::to_string(dra) +
                     " are not in ascending bit order at bit " + std::to_string(bit->img_bit()),
                 bit);
            return;
          }
          for (const S4_SI* cell : bit->cells()) {
            if (cell == nullptr) {
              fail(rname + ": null controlling bit", bit);
              return;
            }
            if (cell->frame() >= d.m_s4_s2_list_size) {
              fail(rname + ": controlling bit names frame " + std::to_string(cell->frame()) +
                       " of a " + std::to_string(d.m_s4_s2_list_size) + "-frame list",
                   bit);
              return;
            }
          }
        }
      }
    }
  }

  const VOLD_INFO& m_info;
  VOLD_PROBLEM m_problem;
};

}  // namespace

VOLD_PROBLEM vold_validate(const VOLD_INFO& info) { return VALIDATOR(info).run(); }

bool vold_is_byte_argument(std::uint32_t type) {
  switch (type) {
    case VOLD_ARGUMENT_DRA_BIT_INFO:
    case VOLD_ARGUMENT_DRA_S4_INFO:
    case VOLD_ARGUMENT_PHANTOMLESS_MAP:
    case VOLD_ARGUMENT_MRAM_INFO:
    case VOLD_ARGUMENT_LUTRAM_INFO:
      return true;
    default:
      return false;
  }
}
