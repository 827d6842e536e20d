// Device database stand-in: enumeration look-ups, argument and spare-row
// access, S4/S2 sharing, S4 records and the in-memory builder.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "msg.h"
#include "pb.h"
#include "s4.h"
#include "varno_test.h"
#include "vold.h"

namespace {

// The text of the device database's internal error that fn raises, "" for none.
template <typename FN>
std::string vold_error(FN fn) {
  try {
    fn();
  } catch (const msg_internal_error& e) {
    EXPECT_EQ(e.module(), "VOLD");
    return e.what();
  }
  return "";
}
#define EXPECT_VOLD_ERROR(stmt, text) EXPECT_EQ(vold_error([&] { stmt; }), std::string(text)) << #stmt

struct TABLE {
  VOLD_ENUM_TYPE kind;
  const char* const* names;
  std::uint32_t count;
};

const TABLE s_tables[] = {
    {VOLD_ENUM_TYPE_FAMILY, VOLD_FAMILY_TYPE_NAMES, VOLD_FAMILY_TYPE_NAMES_COUNT},
    {VOLD_ENUM_TYPE_DEVICE, VOLD_DEVICE_TYPE_NAMES, VOLD_DEVICE_TYPE_NAMES_COUNT},
    {VOLD_ENUM_TYPE_BLOCK, VOLD_BLOCK_TYPE_NAMES, VOLD_BLOCK_TYPE_NAMES_COUNT},
    {VOLD_ENUM_TYPE_DYN_DATA, VOLD_DYN_DATA_TYPE_NAMES, VOLD_DYN_DATA_TYPE_NAMES_COUNT},
    {VOLD_ENUM_TYPE_OB_DATA, VOLD_OB_DATA_TYPE_NAMES, VOLD_OB_DATA_TYPE_NAMES_COUNT},
    {VOLD_ENUM_TYPE_FRAME, VOLD_FRAME_TYPE_NAMES, VOLD_FRAME_TYPE_NAMES_COUNT},
    {VOLD_ENUM_TYPE_PARAMETER, VOLD_PARAMETER_TYPE_NAMES, VOLD_PARAMETER_TYPE_NAMES_COUNT},
    {VOLD_ENUM_TYPE_INSTRUCTION, VOLD_INSTRUCTION_TYPE_NAMES, VOLD_INSTRUCTION_TYPE_NAMES_COUNT},
    {VOLD_ENUM_TYPE_ARGUMENT, VOLD_ARGUMENT_TYPE_NAMES, VOLD_ARGUMENT_TYPE_NAMES_COUNT},
};

TEST(VoldLookup, EveryRowAgreesBothWays) {
  for (const TABLE& t : s_tables) {
    EXPECT_EQ(VOLD_MANAGER::enum_count(t.kind), t.count);
    for (std::uint32_t v = 1; v < t.count; ++v) {
      std::string name;
      ASSERT_TRUE(VOLD_MANAGER::check_type_enum_supported(t.kind, v, &name)) << t.kind << " " << v;
      EXPECT_EQ(name, t.names[v]);
      std::uint32_t back = 0;
      ASSERT_TRUE(VOLD_MANAGER::check_type_name_supported(t.kind, name, back));
      EXPECT_EQ(back, v) << name;  // names are unique within a table
    }
  }
}

TEST(VoldLookup, ZeroAndValuesAtOrPastTheCountAreRefused) {
  for (const TABLE& t : s_tables) {
    for (std::uint32_t v : {0u, t.count, t.count + 1, 0xFFFFFFFFu}) {
      std::string name = "kept";
      EXPECT_FALSE(VOLD_MANAGER::check_type_enum_supported(t.kind, v, &name)) << t.kind << " " << v;
      EXPECT_EQ(name, "kept");
    }
  }
  // Counts named as unknown or maximum.
  EXPECT_FALSE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_FAMILY, VOLD_FAMILY_UNKNOWN, nullptr));
  EXPECT_FALSE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DEVICE, VOLD_DEVICE_UNKNOWN, nullptr));
  EXPECT_FALSE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, VOLD_BLOCK_MAX, nullptr));
  EXPECT_FALSE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_INSTRUCTION, VOLD_INSTRUCTION_MAX, nullptr));
  EXPECT_FALSE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_MAX, 1, nullptr));
  EXPECT_EQ(VOLD_MANAGER::enum_count(VOLD_ENUM_TYPE_MAX), 0u);
}

TEST(VoldLookup, KnownRows) {
  std::string name;
  EXPECT_TRUE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, 47, &name));
  EXPECT_EQ(name, "QV_MAIN_DESCR");
  EXPECT_TRUE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_BLOCK, 101, &name));
  EXPECT_EQ(name, "IO_AHB");
  EXPECT_TRUE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_FRAME, 21, &name));
  EXPECT_EQ(name, "BRAM_XCVR");
  EXPECT_TRUE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_DYN_DATA, VOLD_DYN_DATA_OPTION_BITS, &name));
  EXPECT_EQ(name, "OPTION_BITS");
  EXPECT_TRUE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_INSTRUCTION, 16, &name));
  EXPECT_EQ(name, "ERAM_SIZE");
  // A null name pointer only asks whether the value is known.
  EXPECT_TRUE(VOLD_MANAGER::check_type_enum_supported(VOLD_ENUM_TYPE_ARGUMENT, 54, nullptr));
}

TEST(VoldLookup, NamesAreExactAndCaseSensitive) {
  std::uint32_t v = 1234;
  EXPECT_FALSE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, "", v));
  EXPECT_FALSE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, "cram", v));
  EXPECT_FALSE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, "CRAM ", v));
  EXPECT_FALSE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, "CRA", v));
  EXPECT_FALSE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, std::string("CRAM\0", 5), v));
  // A name of another table is unknown here.
  EXPECT_FALSE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, "CRAM_FRAME_COUNT", v));
  EXPECT_EQ(v, 1234u);
  EXPECT_TRUE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_BLOCK, "CRAM", v));
  EXPECT_EQ(v, 37u);
  // Enumeration-typed out values start at the count and get filled in.
  VOLD_PARAMETER_TYPE p = VOLD_PARAMETER_MAX;
  EXPECT_TRUE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_PARAMETER, "ARRAY_COUNT", p));
  EXPECT_EQ(p, VOLD_PARAMETER_ARRAY_COUNT);
  VOLD_ARGUMENT_TYPE a = VOLD_ARGUMENT_MAX;
  EXPECT_FALSE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_ARGUMENT, "NOPE_SPARE_ROWS", a));
  EXPECT_EQ(a, VOLD_ARGUMENT_MAX);
  EXPECT_TRUE(VOLD_MANAGER::check_type_name_supported(VOLD_ENUM_TYPE_ARGUMENT, "ERAM_SPARE_ROWS", a));
  EXPECT_EQ(a, VOLD_ARGUMENT_ERAM_SPARE_ROWS);
}

std::unique_ptr<VOLD_INFO> device_with_args() {
  auto info = std::make_unique<VOLD_INFO>();
  EXPECT_NE(info->create_device_info(VOLD_FAMILY_BORQUENT, 1), nullptr);
  info->add_param(VOLD_BLOCK_CRAM, VOLD_PARAMETER_CRAM_FRAME_COUNT, {4});
  return info;
}

TEST(VoldArgs, UintRowsPointIntoTheArgument) {
  auto info = device_with_args();
  VOLD_ARG* arg = info->add_arg(VOLD_BLOCK_CRAM, VOLD_ARGUMENT_IMG_TO_RAW_MAP, 3, {1, 2, 3, 400, 500, 600});
  unsigned width = 99;
  std::vector<std::uint32_t*> rows = VOLD_MANAGER::get_uint_arg_list(arg, width);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(width, 3u);
  EXPECT_EQ(rows[0][0], 1u);
  EXPECT_EQ(rows[1][2], 600u);
  EXPECT_EQ(rows[1], rows[0] + 3);
  // Same storage on every call: rows stay valid for the record's life.
  unsigned w2 = 0;
  EXPECT_EQ(VOLD_MANAGER::get_uint_arg_list(arg, w2)[1], rows[1]);
  // Values above a byte: no byte rows.
  EXPECT_TRUE(VOLD_MANAGER::get_byte_arg_list(arg, width).empty());
  EXPECT_EQ(width, 0u);
}

TEST(VoldArgs, ByteRowsAndEmptyArguments) {
  auto info = device_with_args();
  VOLD_ARG* bytes = info->add_arg(VOLD_BLOCK_CRAM, VOLD_ARGUMENT_DRA_S4_INFO, 2, {0, 255, 7, 1});
  unsigned width = 0;
  std::vector<std::uint8_t*> rows = VOLD_MANAGER::get_byte_arg_list(bytes, width);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(width, 2u);
  EXPECT_EQ(rows[0][1], 255);
  EXPECT_EQ(rows[1][0], 7);
  // An argument with no rows keeps its width.
  VOLD_ARG* none = info->add_arg(VOLD_BLOCK_CRAM, VOLD_ARGUMENT_MRAM_INFO, 5, {});
  EXPECT_TRUE(VOLD_MANAGER::get_uint_arg_list(none, width).empty());
  EXPECT_EQ(width, 5u);
  EXPECT_TRUE(VOLD_MANAGER::get_byte_arg_list(none, width).empty());
  EXPECT_EQ(width, 5u);
  // No argument: no rows, width 0.
  width = 9;
  EXPECT_TRUE(VOLD_MANAGER::get_uint_arg_list(nullptr, width).empty());
  EXPECT_EQ(width, 0u);
  width = 9;
  EXPECT_TRUE(VOLD_MANAGER::get_byte_arg_list(nullptr, width).empty());
  EXPECT_EQ(width, 0u);
}

TEST(VoldArgs, SpareRows) {
  auto info = device_with_args();
  VOLD_ARG* spare = info->add_arg(VOLD_BLOCK_CRAM, VOLD_ARGUMENT_CRAM_SPARE_ROWS, 1, {12, 40});
  EXPECT_EQ(VOLD_MANAGER::get_total_spare_rows(spare), 2u);
  EXPECT_EQ(VOLD_MANAGER::get_spare_row_location(spare, 0), 12u);
  EXPECT_EQ(VOLD_MANAGER::get_spare_row_location(spare, 1), 40u);
  EXPECT_EQ(VOLD_MANAGER::get_spare_row_location(spare, 2), 0xFFFFFFFFu);
  // Locations are counted row by row over wider rows too.
  VOLD_ARG* wide = info->add_arg(VOLD_BLOCK_ERAM, VOLD_ARGUMENT_ERAM_SPARE_ROWS, 2, {3, 4, 9, 10});
  EXPECT_EQ(VOLD_MANAGER::get_total_spare_rows(wide), 4u);
  EXPECT_EQ(VOLD_MANAGER::get_spare_row_location(wide, 2), 9u);
  VOLD_ARG* empty = info->add_arg(VOLD_BLOCK_ERAM, VOLD_ARGUMENT_QV_DR0_ERAM_PHTOM, 1, {});
  EXPECT_EQ(VOLD_MANAGER::get_total_spare_rows(empty), 0u);
  EXPECT_EQ(VOLD_MANAGER::get_spare_row_location(empty, 0), 0xFFFFFFFFu);
  EXPECT_EQ(VOLD_MANAGER::get_total_spare_rows(nullptr), 0u);
  EXPECT_EQ(VOLD_MANAGER::get_spare_row_location(nullptr, 0), 0xFFFFFFFFu);
}

// Two devices of the same S4/S2 size: one with its own list, one deferred.
struct SHARE_PAIR {
  std::unique_ptr<VOLD_INFO> owner = std::make_unique<VOLD_INFO>();
  std::unique_ptr<VOLD_INFO> borrower = std::make_unique<VOLD_INFO>();
  VOLD_DEVICE_INFO* own = nullptr;
  VOLD_DEVICE_INFO* other = nullptr;
  SHARE_PAIR(std::uint32_t own_size, std::uint32_t other_size, bool other_builds) {
    own = owner->create_device_info(VOLD_FAMILY_QUELVO_SECTOR, 5);
    owner->set_s4_s2_size(own_size, true);
    other = borrower->create_device_info(VOLD_FAMILY_QUELVO_SECTOR, 5);
    borrower->set_s4_s2_size(other_size, other_builds);
  }
};

TEST(VoldShare, SharesTheOtherDevicesList) {
  SHARE_PAIR p(3, 3, false);
  ASSERT_NE(p.own->m_s4_s2_list, nullptr);
  EXPECT_EQ(p.other->m_s4_s2_list, nullptr);
  EXPECT_EQ(p.other->get_s4_s2_list(), nullptr);
  p.other->share_s4_s2_list(*p.own);
  EXPECT_EQ(p.other->m_fake_s4_s2_list, p.own->m_s4_s2_list);
  EXPECT_EQ(p.other->get_s4_s2_list(), p.own->m_s4_s2_list);
  EXPECT_EQ(p.own->get_s4_s2_list(), p.own->m_s4_s2_list);
  // Deleting the borrower leaves the owner's list alone (ASan would see a
  // double free otherwise).
  p.borrower.reset();
  EXPECT_EQ(p.own->m_s4_s2_list->size(), 3u);
}

TEST(VoldShare, ChecksInOrder) {
  {
    SHARE_PAIR p(3, 4, true);  // sizes differ and the borrower has its own list: size first
    EXPECT_VOLD_ERROR(p.other->share_s4_s2_list(*p.own), "m_s4_s2_list_size == s4_size");
  }
  {
    SHARE_PAIR p(3, 3, true);
    EXPECT_VOLD_ERROR(p.other->share_s4_s2_list(*p.own), "m_s4_s2_list == NULL");
  }
  {
    SHARE_PAIR p(3, 3, false);
    p.other->share_s4_s2_list(*p.own);
    EXPECT_VOLD_ERROR(p.other->share_s4_s2_list(*p.own), "m_fake_s4_s2_list == NULL");
  }
  {
    SHARE_PAIR p(3, 3, false);
    EXPECT_VOLD_ERROR(p.other->set_fake_s4_s2_list(nullptr, 3), "s4 != NULL && s4_size != 0");
  }
  {
    SHARE_PAIR p(0, 0, false);  // nothing to share
    EXPECT_VOLD_ERROR(p.other->share_s4_s2_list(*p.own), "s4 != NULL && s4_size != 0");
    EXPECT_EQ(p.other->m_fake_s4_s2_list, nullptr);
  }
}

TEST(VoldS4, RecordsAnswerTheDecodeCalls) {
  S4_STORE store;
  S4_SII* frame = store.new_sii();
  frame->resize(3);
  S4_SII_BIT* cell = store.new_sii_bit(17);
  cell->add_cell(store.new_si(2, 5, 40, true));
  cell->add_cell(store.new_si(1, 6, 41, false));
  frame->dra_list(2)->push_back(cell);

  S4_SII_DRA_LIST* dras = frame->get_data_list();
  ASSERT_EQ(dras->size(), 3u);
  EXPECT_EQ(dras->at(0), nullptr);
  EXPECT_EQ(dras->at(1), nullptr);
  ASSERT_EQ(dras->at(2)->size(), 1u);
  std::uint32_t index = 0;
  S4_SI_LIST* cells = dras->at(2)->at(0)->get_data(index);
  EXPECT_EQ(index, 17u);
  ASSERT_EQ(cells->size(), 2u);
  std::uint32_t f = 0, b = 0;
  bool fl = false;
  EXPECT_EQ(cells->at(0)->get_data(f, b, fl), 2u);
  EXPECT_EQ(f, 5u);
  EXPECT_EQ(b, 40u);
  EXPECT_TRUE(fl);
  EXPECT_EQ(cells->at(1)->get_data(f, b, fl), 1u);
  EXPECT_FALSE(fl);
  // Lists and records keep their addresses while the store grows.
  S4_SII_BIT_LIST* list = dras->at(2);
  for (int i = 0; i < 1000; ++i) store.new_sii_bit(static_cast<std::uint32_t>(i));
  EXPECT_EQ(frame->get_data_list()->at(2), list);
  EXPECT_EQ(list->at(0), cell);
}

TEST(VoldBuilder, FamilyRecordsAndDescriptorWords) {
  VOLD_INFO info;
  VOLD_FAMILY_INFO* f = info.create_family_info(VOLD_FAMILY_BORQUENT, 32);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(info.create_family_info(VOLD_FAMILY_BORQUENT, 32), nullptr);
  EXPECT_EQ(info.create_device_info(VOLD_FAMILY_BORQUENT, 1), nullptr);
  VOLD_BLOCK_ENTRY* ob = info.add_option_block(VOLD_BLOCK_OPTION_BITS, 4, true, false);
  info.add_const_data(ob, 0, 0xA5A5A5A5u);
  VOLD_DYN_DATA* field = info.add_dyn_data(ob, VOLD_DYN_DATA_OPTION_BITS, 1, 0, 64, 0xFFFFFFFFu);
  VOLD_OB_DATA* jtag = info.add_ob_data(field, VOLD_OB_DATA_JTAG_ID, 0, 32, 0x12345678u);
  VOLD_FRAME_DESCRIPTION fd;
  fd.frame_type = VOLD_FRAME_QV_CSR;
  fd.value64 = 0x0000002000000001ull;  // word 1 = 1, word 2 (frame size) = 32
  fd.ptrval = 0x0000000400000003ull;
  fd.u32_a = 5;
  fd.u32_b = 0x80000006u;
  fd.u8_c = 7;
  VOLD_BLOCK_ENTRY* data = info.add_data_block(VOLD_BLOCK_IO_CSR, fd);
  VOLD_INSTRUCTION ins;
  ins.type = VOLD_INSTRUCTION_FIRST_FRAME;
  ins.instruction_word = 0x12;
  info.add_instruction(data, ins);
  VOLD_BLOCK_ENTRY* array = info.add_array_block(VOLD_BLOCK_SECTOR_ARRAY);

  EXPECT_EQ(info.validate(), "");
  ASSERT_EQ(f->block_list.size(), 3u);
  EXPECT_TRUE(ob->is_option_block());
  EXPECT_TRUE(data->is_data_block());
  EXPECT_TRUE(array->is_array_block());
  EXPECT_EQ(array->const_list, nullptr);
  EXPECT_EQ(array->instruction_list, nullptr);
  std::uint32_t bits = 0;
  const std::uint8_t* value = jtag->get_data(bits);
  EXPECT_EQ(bits, 32u);
  EXPECT_EQ(value[0], 0x78);
  EXPECT_EQ(value[3], 0x12);
  const std::uint32_t words[7] = {VOLD_FRAME_QV_CSR, 1, 32, 3, 4, 5, 6};
  for (unsigned w = 0; w < 7; ++w) EXPECT_EQ(data->frame_description->word(w), words[w]) << w;
  EXPECT_TRUE(data->frame_description->flag());
  EXPECT_EQ((*data->instruction_list)[0]->get_instruction_word(), 0x12u);
}

TEST(VoldBuilder, DeviceRecords) {
  VOLD_INFO info;
  VOLD_DEVICE_INFO* d = info.create_device_info(VOLD_FAMILY_QUELVO, 38);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(info.validate(), "a device file needs at least one parameter");
  VOLD_PARAM* p = info.add_param(VOLD_BLOCK_CRAM, VOLD_PARAMETER_DRAS, 4, {{7, 0, ""}, {9, 2, "second"}});
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->get_size(), 4u);
  ASSERT_EQ(p->get_entries()->size(), 2u);
  EXPECT_EQ((*p->get_entries())[1]->get_offset(), 2u);
  EXPECT_EQ((*p->get_entries())[1]->get_name(), "second");
  VOLD_PARAM* none = info.add_param_without_data(VOLD_BLOCK_CRAM, VOLD_PARAMETER_CRAM_ALGO, 1);
  EXPECT_EQ(none->entries, nullptr);
  EXPECT_NE(info.validate(), "");  // a parameter without entries is not file material
  VOLD_OB_DATA* o = info.add_device_ob_data(VOLD_OB_DATA_JTAG_ID, 0, 32, 0xCAFEBABEu);
  EXPECT_EQ(d->option_bit_list->size(), 1u);
  EXPECT_EQ(d->option_bit_list->at(0), o);
  EXPECT_TRUE(d->argument_list->empty());
  // S4 records only exist once the list is built.
  EXPECT_EQ(info.s4_record(0), nullptr);
  info.set_s4_s2_size(2, true);
  S4_SII* r = info.s4_record(1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(info.s4_record(1), r);
  EXPECT_EQ(info.s4_record(2), nullptr);
  EXPECT_EQ((*d->m_s4_s2_list)[0], nullptr);
}

// The programming-sequence message: sections by name, block sections by
// type, register ranges of (offset, length) in words, all surviving the wire.
TEST(VoldProgrammingSequence, FieldsSurviveSerialisation) {
  PB::BLOCKS_PROGRAMMING_SEQUENCE seq;
  PB::PROGRAMMING_SECTION* section = seq.add_sections();
  section->set_name("GDR");
  PB::BLOCK_SECTION* mmio = section->add_block_sections();
  mmio->set_type("MMIO");
  PB::REGISTER_RANGE* r = mmio->add_register_ranges();
  r->set_offset(0);
  r->set_length(4);
  r = mmio->add_register_ranges();
  r->set_offset(0xFFFFFFFFu);
  r->set_length(0xFFFFFFFFu);
  seq.add_sections()->set_name("WHR");

  std::string wire;
  ASSERT_TRUE(seq.SerializeToString(&wire));
  PB::BLOCKS_PROGRAMMING_SEQUENCE back;
  ASSERT_TRUE(back.ParseFromString(wire));
  ASSERT_EQ(back.sections_size(), 2);
  EXPECT_EQ(back.sections(0).name(), "GDR");
  ASSERT_EQ(back.sections(0).block_sections_size(), 1);
  const PB::BLOCK_SECTION& b = back.sections(0).block_sections(0);
  EXPECT_EQ(b.type(), "MMIO");
  ASSERT_EQ(b.register_ranges_size(), 2);
  EXPECT_EQ(b.register_ranges(0).length(), 4u);
  EXPECT_EQ(b.register_ranges(1).offset(), 0xFFFFFFFFu);
  EXPECT_EQ(back.sections(1).block_sections_size(), 0);
}

}  // namespace
