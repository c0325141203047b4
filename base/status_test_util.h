// ASSERT_OK / EXPECT_OK for tests: fail with the status's text when `expr` is not OK; more
// text may be streamed after them.
//
//   ASSERT_OK(graph.Initialize(config)) << "while starting";
#ifndef BASE_STATUS_TEST_UTIL_H_
#define BASE_STATUS_TEST_UTIL_H_

#include "base/status.h"
#include "gtest/gtest.h"

#define ASSERT_OK(expr)                                          \
  if (const absl::Status qm_status_ = (expr); qm_status_.ok()) { \
  } else                                                         \
    FAIL() << qm_status_
#define EXPECT_OK(expr)                                          \
  if (const absl::Status qm_status_ = (expr); qm_status_.ok()) { \
  } else                                                         \
    ADD_FAILURE() << qm_status_

#endif  // BASE_STATUS_TEST_UTIL_H_
