#include "base/logging.h"

#include <cerrno>
#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

std::string CaptureLog(const std::function<void()>& statement) {
  testing::internal::CaptureStderr();
  statement();
  return testing::internal::GetCapturedStderr();
}

TEST(LogTest, LineHasPrefixWithSeverityDateTimeThreadAndLocation) {
  int line = 0;
  const std::string out = CaptureLog([&] {
    line = __LINE__; LOG(WARNING) << "hello " << 42 << " " << true;
  });
  EXPECT_THAT(out, MatchesRegex("W[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} [ 0-9]{7,} "
                                "logging_test\\.cc:" + std::to_string(line) +
                                "\\] hello 42 true\n"));
}

TEST(LogDeathTest, CheckEqDiesWithValuesAndStackTrace) {
  EXPECT_DEATH(CHECK_EQ(1, 2) << "extra",
               "Check failed: 1 == 2 \\(1 vs. 2\\) extra\n"
               "\\*\\*\\* Check failure stack trace: \\*\\*\\*\n"
               "    @ +0x[0-9a-f]+  .*\n");
}

}  // namespace
