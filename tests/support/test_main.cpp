#include <gtest/gtest.h>

#include "msg.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Internal errors become exceptions so a test can check their exact text.
  msg_set_internal_error_handler(&msg_throwing_handler);
  return RUN_ALL_TESTS();
}
