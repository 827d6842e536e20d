// Tables of host calls for the tests of bad input: each call with the one
// answer docs/host.md gives it, an internal error's exact text or a result
// the call checks itself.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "varno_test.h"

struct HOST_CALL {
  std::string name;
  std::function<void()> run;
  std::string refusal = "";  // empty: the call is taken, and run checks its result
};

inline void expect_host_calls(const std::vector<HOST_CALL>& calls) {
  for (const HOST_CALL& c : calls) {
    SCOPED_TRACE(c.name);
    if (c.refusal.empty()) {
      EXPECT_NO_THROW(c.run());
    } else {
      EXPECT_INTERNAL_ERROR(c.run(), c.refusal);
    }
  }
}
