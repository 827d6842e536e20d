// Canonical text form of loaded records: every attribute written, large
// lists in compact runs. Loading the text gives equal records.
#include <cstdio>
#include <sstream>

#include "vold_internal.h"

namespace {

std::string enum_text(VOLD_ENUM_TYPE kind, std::uint32_t value) {
  std::string name;
  if (VOLD_MANAGER::check_type_enum_supported(kind, value, &name)) return name;
  return std::to_string(value);
}

std::string hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

// The value's bits as one hexadecimal number.
std::string bits_hex(const VOLD_OB_DATA& o) {
  const std::uint32_t digits = o.value_bits == 0 ? 1 : (o.value_bits + 3) / 4;
  std::string out = "0x";
  for (std::uint32_t d = digits; d-- > 0;) {
    unsigned nibble = 0;
    for (unsigned k = 0; k < 4; ++k) {
      const std::uint64_t bit = static_cast<std::uint64_t>(d) * 4 + k;
      if (bit < o.value_bits && bit / 8 < o.value.size() && ((o.value[bit / 8] >> (bit % 8)) & 1)) nibble |= 1u << k;
    }
    out += "0123456789ABCDEF"[nibble];
  }
  return out;
}

// Values as run tokens (v*n, a..b), several lines: the first on the
// statement's own line, the rest as 'data' lines.
void write_values(std::ostream& out, const std::vector<std::uint32_t>& values) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < values.size()) {
    std::size_t j = i + 1;
    while (j < values.size() && values[j] == values[i]) ++j;
    if (j - i >= 3) {
      tokens.push_back(std::to_string(values[i]) + "*" + std::to_string(j - i));
      i = j;
      continue;
    }
    std::size_t up = i + 1, down = i + 1;
    while (up < values.size() && values[up - 1] != 0xFFFFFFFFu && values[up] == values[up - 1] + 1) ++up;
    while (down < values.size() && values[down - 1] != 0 && values[down] == values[down - 1] - 1) ++down;
    const std::size_t run = std::max(up, down);
    if (run - i >= 3) {
      tokens.push_back(std::to_string(values[i]) + ".." + std::to_string(values[run - 1]));
      i = run;
      continue;
    }
    tokens.push_back(std::to_string(values[i]));
    ++i;
  }
  for (std::size_t t = 0; t < tokens.size(); ++t) {
    if (t > 0 && t % 16 == 0) out << "\ndata";
    out << ' ' << tokens[t];
  }
  out << '\n';
}

void write_family(std::ostream& out, const VOLD_FAMILY_INFO& f) {
  out << "ddb family 1\n";
  out << "family " << enum_text(VOLD_ENUM_TYPE_FAMILY, f.family_type) << '\n';
  out << "config_width " << f.config_data_width << '\n';
  for (const VOLD_BLOCK_ENTRY* b : f.block_list) {
    if (b == nullptr) continue;
    out << "block " << enum_text(VOLD_ENUM_TYPE_BLOCK, b->block_type);
    if (b->is_option_block()) {
      out << " option words=" << b->word_count << " crc=" << int(b->crc_flag != 0)
          << " ones=" << int(b->init_ones_flag != 0) << '\n';
      if (b->const_list != nullptr)
        for (const VOLD_CONST_DATA* c : *b->const_list)
          out << "  const word=" << c->word_index << " value=" << hex(c->value) << '\n';
      if (b->dyn_list != nullptr) {
        for (const VOLD_DYN_DATA* d : *b->dyn_list) {
          out << "  dyn " << enum_text(VOLD_ENUM_TYPE_DYN_DATA, d->type) << " word=" << d->word_index
              << " offset=" << d->bit_offset << " size=" << d->bit_size << " mask=" << hex(d->word_mask)
              << " order=" << (d->column_order ? "column" : "row") << '\n';
          if (d->ob_list == nullptr) continue;
          for (const VOLD_OB_DATA* o : *d->ob_list)
            out << "    ob " << enum_text(VOLD_ENUM_TYPE_OB_DATA, o->type) << " index=" << o->bit_index
                << " second=" << o->second_position << " size=" << o->bit_size << " link=" << hex(o->link)
                << " value=" << bits_hex(*o) << '\n';
        }
      }
    } else if (b->frame_description != nullptr) {
      const VOLD_FRAME_DESCRIPTION& fd = *b->frame_description;
      out << " data frame=" << enum_text(VOLD_ENUM_TYPE_FRAME, fd.frame_type);
      for (unsigned w = 1; w <= 6; ++w) out << " w" << w << '=' << hex(fd.word(w));
      out << " flag=" << int(fd.flag()) << " b28=" << hex(fd.u8_c) << '\n';
      if (b->instruction_list != nullptr)
        for (const VOLD_INSTRUCTION* i : *b->instruction_list)
          out << "  instr " << enum_text(VOLD_ENUM_TYPE_INSTRUCTION, i->type) << " word=" << hex(i->instruction_word)
              << " length=" << int(i->with_length) << " core=" << i->core_words
              << " core_fill=" << (i->core_zero ? "zero" : "ones") << " padding=" << i->padding_words
              << " padding_fill=" << (i->padding_zero ? "zero" : "ones") << '\n';
    } else {
      out << " array\n";
    }
  }
}

void write_param(std::ostream& out, const VOLD_PARAM& p) {
  out << "param " << enum_text(VOLD_ENUM_TYPE_BLOCK, p.block_type) << ' '
      << enum_text(VOLD_ENUM_TYPE_PARAMETER, p.type) << " size=" << p.size;
  if (p.entries == nullptr) {
    out << '\n';
    return;
  }
  // Unnamed entries at consecutive offsets from 0 go as a compact list; the
  // rest as offset=value[:name].
  std::size_t i = 0;
  std::vector<std::uint32_t> run;
  while (i < p.entries->size() && (*p.entries)[i]->offset == i && (*p.entries)[i]->name.empty())
    run.push_back((*p.entries)[i++]->value);
  if (i == p.entries->size()) {
    if (run.empty()) out << '\n';
    else write_values(out, run);
    return;
  }
  if (!run.empty()) {
    std::ostringstream list;
    write_values(list, run);
    std::string text = list.str();
    text.pop_back();
    out << text;
  }
  std::size_t n = 0;
  for (; i < p.entries->size(); ++i, ++n) {
    const VOLD_PARAM_ENTRY& e = *(*p.entries)[i];
    if (n > 0 && n % 16 == 0) out << "\ndata";
    out << ' ' << e.offset << '=' << e.value;
    if (!e.name.empty()) out << ':' << e.name;
  }
  out << '\n';
}

void write_device(std::ostream& out, const VOLD_DEVICE_INFO& d) {
  out << "ddb device 1\n";
  out << "family " << enum_text(VOLD_ENUM_TYPE_FAMILY, d.family_type) << '\n';
  out << "device " << enum_text(VOLD_ENUM_TYPE_DEVICE, d.device_type) << '\n';
  if (d.parameter_list != nullptr)
    for (const VOLD_PARAM* p : *d.parameter_list) write_param(out, *p);
  if (d.argument_list != nullptr) {
    for (const VOLD_ARG* a : *d.argument_list) {
      out << "arg " << enum_text(VOLD_ENUM_TYPE_BLOCK, a->block_type) << ' '
          << enum_text(VOLD_ENUM_TYPE_ARGUMENT, a->type) << " width=" << a->width;
      write_values(out, a->values);
    }
  }
  if (d.option_bit_list != nullptr)
    for (const VOLD_OB_DATA* o : *d.option_bit_list)
      out << "ob " << enum_text(VOLD_ENUM_TYPE_OB_DATA, o->type) << " index=" << o->bit_index
          << " second=" << o->second_position << " size=" << o->bit_size << " value=" << bits_hex(*o) << '\n';
  if (!d.lutram_simplified_col.empty()) {
    out << "lutram_col";
    write_values(out, d.lutram_simplified_col);
  }
  if (!d.lutram_simplified_row.empty()) {
    out << "lutram_row";
    write_values(out, d.lutram_simplified_row);
  }
  if (d.m_s4_s2_list_size == 0) return;
  out << "s4s2 frames=" << d.m_s4_s2_list_size << '\n';
  if (d.m_s4_s2_list == nullptr) return;
  for (std::size_t frame = 0; frame < d.m_s4_s2_list->size(); ++frame) {
    const S4_SII* r = (*d.m_s4_s2_list)[frame];
    if (r == nullptr) continue;
    out << "s4 frame=" << frame << " dras=" << r->dra_lists().size() << '\n';
    for (std::size_t dra = 0; dra < r->dra_lists().size(); ++dra) {
      const S4_SII_BIT_LIST* list = r->dra_lists()[dra];
      if (list == nullptr) continue;
      for (const S4_SII_BIT* bit : *list) {
        out << "  s2 dra=" << dra << " bit=" << bit->img_bit();
        const char* sep = " cells=";
        for (const S4_SI* c : bit->cells()) {
          out << sep << c->value() << ':' << c->frame() << ':' << c->bit() << ':' << int(c->flag());
          sep = ",";
        }
        out << '\n';
      }
    }
  }
}

}  // namespace

std::string VOLD_DATA_SERVER::to_text(const VOLD_INFO& info) {
  std::ostringstream out;
  if (const VOLD_FAMILY_INFO* f = info.get_family_info()) write_family(out, *f);
  else if (const VOLD_DEVICE_INFO* d = info.get_device_info()) write_device(out, *d);
  return out.str();
}
