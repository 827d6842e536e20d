// Block configuration over device-database records built in memory.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "param_fixture.h"
#include "varno_block_config.h"
#include "varno_test.h"

TEST(BlockConfig, EmptyConfiguration) {
  VARNO_BLOCK_CONFIG config;
  EXPECT_EQ(config.get_param(VOLD_PARAMETER_DRAS), nullptr);
  EXPECT_EQ(config.get_param_size(VOLD_PARAMETER_DRAS), 0u);
  EXPECT_EQ(config.get_arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP), nullptr);
  // Reading a parameter the block does not have is a caller error.
  EXPECT_INTERNAL_ERROR(config.get_param_value(VOLD_PARAMETER_DRAS, 0u), "p != nullptr");
  // The parameter check comes before the name check.
  EXPECT_INTERNAL_ERROR(config.get_param_value(VOLD_PARAMETER_DRAS, std::string()), "p != nullptr");
  u32 count = 99;
  EXPECT_INTERNAL_ERROR(config.get_param_values(VOLD_PARAMETER_DRAS, count), "p != nullptr");
}

TEST(BlockConfig, LookupsTakeTheFirstRecordOfAType) {
  PARAM_FIXTURE first(VOLD_PARAMETER_DRAS, 1, {entry(0, 5)});
  PARAM_FIXTURE second(VOLD_PARAMETER_DRAS, 3, {entry(0, 6)});
  VOLD_ARG arg_a, arg_b;
  arg_a.type = arg_b.type = VOLD_ARGUMENT_IMG_TO_RAW_MAP;
  VARNO_BLOCK_CONFIG config;
  config.m_param_list = {&first.param, &second.param};
  config.m_arg_list = {&arg_a, &arg_b};
  EXPECT_EQ(config.get_param(VOLD_PARAMETER_DRAS), &first.param);
  EXPECT_EQ(config.get_param_size(VOLD_PARAMETER_DRAS), 1u);
  EXPECT_EQ(config.get_param_value(VOLD_PARAMETER_DRAS, 0u), 5u);
  EXPECT_EQ(config.get_arg(VOLD_ARGUMENT_IMG_TO_RAW_MAP), &arg_a);
  EXPECT_EQ(config.get_arg(VOLD_ARGUMENT_RAW_TO_IMG_MAP), nullptr);
}

TEST(BlockConfig, ValuesByOffsetAndName) {
  PARAM_FIXTURE p(VOLD_PARAMETER_DRAS, 4,
                  {entry(2, 9, "B"), entry(0, 7, "A"), entry(1, 8, "A"), entry(2, 10, "C")});
  VARNO_BLOCK_CONFIG config;
  config.m_param_list.push_back(&p.param);
  EXPECT_EQ(config.get_param_value(VOLD_PARAMETER_DRAS, 2u), 9u);  // first entry at offset 2
  EXPECT_EQ(config.get_param_value(VOLD_PARAMETER_DRAS, 3u), 0u);  // no entry: 0, no error
  EXPECT_EQ(config.get_param_value(VOLD_PARAMETER_DRAS, std::string("A")), 7u);  // first "A"
  EXPECT_EQ(config.get_param_value(VOLD_PARAMETER_DRAS, std::string("a")), 0u);  // case-sensitive
  EXPECT_INTERNAL_ERROR(config.get_param_value(VOLD_PARAMETER_DRAS, std::string()), "!name.empty()");

  config.set_param_value(VOLD_PARAMETER_DRAS, 3u, 42);  // no entry: nothing changes
  EXPECT_EQ(config.get_param_value(VOLD_PARAMETER_DRAS, 3u), 0u);
  config.set_param_value(VOLD_PARAMETER_DRAS, 2u, 11);
  EXPECT_EQ(p.entries[0].value, 11u);
  EXPECT_EQ(p.entries[3].value, 10u);
  config.set_param_value(VOLD_PARAMETER_DRAS, std::string("A"), 12);
  EXPECT_EQ(p.entries[1].value, 12u);
  EXPECT_EQ(p.entries[2].value, 8u);
  config.set_param_value(VOLD_PARAMETER_DRAS, std::string("Z"), 13);  // nothing
  EXPECT_INTERNAL_ERROR(config.set_param_value(VOLD_PARAMETER_DRAS, std::string(), 1),
                        "!name.empty()");
}

TEST(BlockConfig, AllValuesAsAnArray) {
  PARAM_FIXTURE p(VOLD_PARAMETER_DRAS, 4, {entry(0, 7), entry(2, 9)});
  PARAM_FIXTURE later(VOLD_PARAMETER_DRAS_ORDER, 2, {entry(1, 3), entry(1, 4)});
  PARAM_FIXTURE none(VOLD_PARAMETER_CRAM_ALGO, 0, {});
  VARNO_BLOCK_CONFIG config;
  config.m_param_list = {&p.param, &later.param, &none.param};

  u32 count = 0;
  std::unique_ptr<u32[]> values(config.get_param_values(VOLD_PARAMETER_DRAS, count));
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(values[0], 7u);
  EXPECT_EQ(values[1], 0u);
  EXPECT_EQ(values[2], 9u);
  EXPECT_EQ(values[3], 0u);

  values.reset(config.get_param_values(VOLD_PARAMETER_DRAS_ORDER, count));
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(values[1], 4u);  // a later entry at the same offset wins

  values.reset(config.get_param_values(VOLD_PARAMETER_CRAM_ALGO, count));
  EXPECT_EQ(count, 0u);
}

// An entry whose offset is not below the parameter's size would be stored
// past the end of the array.
TEST(BlockConfig, EntryOutsideTheParameterIsRefused) {
  PARAM_FIXTURE p(VOLD_PARAMETER_DRAS, 2, {entry(0, 1), entry(2, 5)});
  VARNO_BLOCK_CONFIG config;
  config.m_param_list.push_back(&p.param);
  u32 count = 77;
  EXPECT_INTERNAL_ERROR(config.get_param_values(VOLD_PARAMETER_DRAS, count),
                        "(*it)->get_offset() < length");
  EXPECT_EQ(count, 77u);
}

TEST(BlockConfig, ParameterWithoutData) {
  VOLD_PARAM p;
  p.type = VOLD_PARAMETER_DRAS;
  p.size = 3;
  VARNO_BLOCK_CONFIG config;
  config.m_param_list.push_back(&p);
  EXPECT_EQ(config.get_param_size(VOLD_PARAMETER_DRAS), 3u);
  EXPECT_INTERNAL_ERROR(config.get_param_value(VOLD_PARAMETER_DRAS, 0u), "data != nullptr");
  EXPECT_INTERNAL_ERROR(config.get_param_value(VOLD_PARAMETER_DRAS, std::string("A")),
                        "data != nullptr");
  EXPECT_INTERNAL_ERROR(config.set_param_value(VOLD_PARAMETER_DRAS, 0u, 1), "data != nullptr");
  u32 count = 0;
  EXPECT_INTERNAL_ERROR(config.get_param_values(VOLD_PARAMETER_DRAS, count), "data != nullptr");
}
