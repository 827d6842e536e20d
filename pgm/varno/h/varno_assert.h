// Internal checks. A failed check goes to the host's message library, which
// does not return to the failing code.
#pragma once

#include <string>

#include "msg.h"

#define VARNO_MODULE_TAG "VARNO"

// Reports the condition as written.
#define VARNO_ASSERT(cond)                                                        \
  do {                                                                            \
    if (!(cond)) MSG_INTERNAL_ERROR::report(#cond, VARNO_MODULE_TAG, __FILE__, __LINE__); \
  } while (0)

// Reports text instead of the condition, where the message differs from the
// expression.
#define VARNO_ASSERT_MSG(cond, text)                                              \
  do {                                                                            \
    if (!(cond)) MSG_INTERNAL_ERROR::report((text), VARNO_MODULE_TAG, __FILE__, __LINE__); \
  } while (0)

// Unconditional internal error.
#define VARNO_INTERNAL_ERROR(text) \
  MSG_INTERNAL_ERROR::report((text), VARNO_MODULE_TAG, __FILE__, __LINE__)
