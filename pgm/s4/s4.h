// S4 bit-decode records: the decoded CRAM cell lists of one device.
//
// For every IMG frame that holds S4/S2 cells the device has one S4_SII record.
// The record keeps one list per data register (DRA); a list names the S2 cells
// of that register in ascending IMG bit order (S4_SII_BIT), and each S2 cell
// names the controlling bits that decide its code (S4_SI).
//
// Every object is owned by an S4_STORE, which the device record holds; all
// pointers handed out stay valid, and unchanged, for the store's life.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class S4_SI;
class S4_SII_BIT;
class S4_SII;

// Controlling bits of one S2 cell, in the order they are tried.
using S4_SI_LIST = std::vector<S4_SI*>;
// The S2 cells of one data register, ascending by IMG bit index.
using S4_SII_BIT_LIST = std::vector<S4_SII_BIT*>;
// One entry per data register of a frame; an entry is null when that
// register has no S2 cells.
using S4_SII_DRA_LIST = std::vector<S4_SII_BIT_LIST*>;
// One entry per IMG frame of the device; null for a frame without S4 cells.
using S4_SII_LIST = std::vector<S4_SII*>;

// A controlling bit: a linked IMG (frame, bit), a flag, and a value whose low
// two bits enter the cell's 4-bit code.
class S4_SI {
 public:
  S4_SI(std::uint32_t value, std::uint32_t frame, std::uint32_t bit, bool flag)
      : m_value(value), m_frame(frame), m_bit(bit), m_flag(flag) {}

  // Returns the value and names the linked IMG frame, bit and flag.
  std::uint32_t get_data(std::uint32_t& frame, std::uint32_t& bit, bool& flag) const {
    frame = m_frame;
    bit = m_bit;
    flag = m_flag;
    return m_value;
  }

  std::uint32_t value() const { return m_value; }  // code value (low two bits used)
  std::uint32_t frame() const { return m_frame; }  // linked IMG frame
  std::uint32_t bit() const { return m_bit; }      // linked IMG bit within that frame
  bool flag() const { return m_flag; }             // selects code bit 1 (set) or bit 0

 private:
  std::uint32_t m_value;
  std::uint32_t m_frame;
  std::uint32_t m_bit;
  bool m_flag;
};

// One S2 cell: its IMG bit index within the frame and its controlling bits.
class S4_SII_BIT {
 public:
  explicit S4_SII_BIT(std::uint32_t img_bit) : m_img_bit(img_bit) {}

  // Returns the cell's controlling-bit list (never null, may be empty) and
  // sets index to the cell's IMG bit index.
  S4_SI_LIST* get_data(std::uint32_t& index) {
    index = m_img_bit;
    return &m_cells;
  }

  std::uint32_t img_bit() const { return m_img_bit; }  // IMG bit index of the cell
  const S4_SI_LIST& cells() const { return m_cells; }  // controlling bits, in order
  void add_cell(S4_SI* cell) { m_cells.push_back(cell); }

 private:
  std::uint32_t m_img_bit;
  S4_SI_LIST m_cells;  // borrowed from the store
};

// The S4/S2 cells of one IMG frame, one list per data register.
class S4_SII {
 public:
  S4_SII() = default;
  S4_SII(const S4_SII&) = delete;
  S4_SII& operator=(const S4_SII&) = delete;

  // The per-register lists (never null; entries may be null).
  S4_SII_DRA_LIST* get_data_list() { return &m_dra_lists; }
  const S4_SII_DRA_LIST& dra_lists() const { return m_dra_lists; }

  // Sets the number of registers; new entries are null.
  void resize(std::size_t dra_count) {
    if (dra_count > m_dra_lists.size()) m_dra_lists.resize(dra_count, nullptr);
  }
  // The list of register dra, created (empty) on first use; grows the
  // register count when needed.
  S4_SII_BIT_LIST* dra_list(std::size_t dra) {
    resize(dra + 1);
    if (m_dra_lists[dra] == nullptr) {
      m_owned.push_back(std::make_unique<S4_SII_BIT_LIST>());
      m_dra_lists[dra] = m_owned.back().get();
    }
    return m_dra_lists[dra];
  }

 private:
  S4_SII_DRA_LIST m_dra_lists;
  std::vector<std::unique_ptr<S4_SII_BIT_LIST>> m_owned;  // storage of the lists above
};

// Owner of every S4 object of one device. Not copyable; pointers it returns
// stay valid until it is destroyed.
class S4_STORE {
 public:
  S4_STORE() = default;
  S4_STORE(const S4_STORE&) = delete;
  S4_STORE& operator=(const S4_STORE&) = delete;

  S4_SI* new_si(std::uint32_t value, std::uint32_t frame, std::uint32_t bit, bool flag) {
    return &m_si.emplace_back(value, frame, bit, flag);
  }
  S4_SII_BIT* new_sii_bit(std::uint32_t img_bit) { return &m_bits.emplace_back(img_bit); }
  S4_SII* new_sii() { return &m_sii.emplace_back(); }

  std::size_t si_count() const { return m_si.size(); }
  std::size_t sii_bit_count() const { return m_bits.size(); }
  std::size_t sii_count() const { return m_sii.size(); }

 private:
  // deque: growth never moves existing elements.
  std::deque<S4_SI> m_si;
  std::deque<S4_SII_BIT> m_bits;
  std::deque<S4_SII> m_sii;
};
