// Helpers shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "msg.h"

// Expects stmt to raise an internal error whose text is exactly text.
#define EXPECT_INTERNAL_ERROR(stmt, text)                                       \
  do {                                                                          \
    bool varno_caught_ = false;                                                 \
    try {                                                                       \
      stmt;                                                                     \
    } catch (const msg_internal_error& e) {                                     \
      varno_caught_ = true;                                                     \
      EXPECT_EQ(std::string(e.what()), std::string(text));                      \
      EXPECT_EQ(e.module(), "VARNO");                                           \
    }                                                                           \
    EXPECT_TRUE(varno_caught_) << "no internal error from: " #stmt;             \
  } while (0)

// Expects stmt to raise an internal error whose text starts with prefix.
#define EXPECT_INTERNAL_ERROR_PREFIX(stmt, prefix)                              \
  do {                                                                          \
    bool varno_caught_ = false;                                                 \
    try {                                                                       \
      stmt;                                                                     \
    } catch (const msg_internal_error& e) {                                     \
      varno_caught_ = true;                                                     \
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();        \
    }                                                                           \
    EXPECT_TRUE(varno_caught_) << "no internal error from: " #stmt;             \
  } while (0)
