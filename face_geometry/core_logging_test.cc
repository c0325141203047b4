#include "face_geometry/core_logging.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "face_geometry/high_res_timer.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vrk {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

class CoreLoggingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    g_LogLevel = INFO;
    g_LogAbortLevel = CRITICAL;
    SetLogMessageFn(&LogMessageDefault);
    SetAssertFunction(&OnAssertFailedDefault);
  }
};

TEST_F(CoreLoggingTest, LineHasPrologSourcePointAndMessage) {
  testing::internal::CaptureStderr();
  VRK_LOG(INFO, "fitted", 3, "points in", 0.25);
  const std::string out = testing::internal::GetCapturedStderr();

  EXPECT_THAT(out, MatchesRegex("LOG TID\\([0-9]+\\) INFO +[0-9.e+-]+ "
                                "face_geometry/core_logging_test.cc:[0-9]+ TestBody\\(\\) "
                                "fitted 3 points in 0.25\n"));
  // The level name and the right-aligned seconds take 16 columns together.
  const size_t name = out.find("INFO ");
  ASSERT_NE(name, std::string::npos);
  const std::string seconds = out.substr(name + 5, 12);
  EXPECT_EQ(out[name + 5 + 12], ' ');
  EXPECT_NE(seconds.back(), ' ');
  EXPECT_GE(std::stod(seconds), 0.0);
}

void LogFromTwoThreadsAndExit() {
  VRK_LOG(WARNING, "first");
  std::thread([] { VRK_LOG(WARNING, "second"); }).join();
  VRK_LOG(WARNING, "third");
  std::exit(0);
}

TEST_F(CoreLoggingTest, ThreadsAreNumberedInOrderOfTheirFirstLine) {
  // A fresh process, so that no thread has logged before.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LogFromTwoThreadsAndExit(), ::testing::ExitedWithCode(0),
              "LOG TID\\(1\\) WARNING .* first\nLOG TID\\(2\\) WARNING .* second\n"
              "LOG TID\\(1\\) WARNING .* third\n");
}

TEST_F(CoreLoggingTest, FilteredStatementBuildsNothing) {
  int evaluations = 0;
  auto expensive = [&evaluations] {
    ++evaluations;
    return std::string("text");
  };
  testing::internal::CaptureStderr();
  VRK_LOG(DEBUG, expensive());
  g_LogLevel = ERROR;
  VRK_LOG(WARNING, expensive());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(evaluations, 0);
}

TEST_F(CoreLoggingTest, CriticalMessageIsFollowedByAssertBlockAndReturns) {
  testing::internal::CaptureStderr();
  VRK_LOG(CRITICAL, "broken");
  const std::vector<std::string> lines = SplitLines(testing::internal::GetCapturedStderr());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[0], MatchesRegex("LOG TID\\([0-9]+\\) CRITICAL +[0-9.e+-]+ .* broken"));
  EXPECT_EQ(lines[1], "ASSERT FAILED");
  EXPECT_THAT(lines[2], MatchesRegex("face_geometry/core_logging.cc:[0-9]+"));
  EXPECT_EQ(lines[3], "VRK_CHECK(level < g_LogAbortLevel) 4 4 Abort. Log level is too serious 4");
}

TEST_F(CoreLoggingTest, UnusualLevelsAndSourcePoints) {
  // A source point without a line has no source part; a level outside the defined
  // ones prints as its number and, being above the abort level, is also a failed check.
  testing::internal::CaptureStderr();
  LogMessageDefault(static_cast<LogLevel>(7), SrcPoint{"a/b.cc", 0, "F", "()"}, "odd");
  const std::vector<std::string> lines = SplitLines(testing::internal::GetCapturedStderr());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[0], MatchesRegex("LOG TID\\([0-9]+\\) 7 +[0-9.e+-]+ odd"));
  EXPECT_EQ(lines[0].find("odd") - lines[0].find(" 7 "), 1 + 1 + 1 + 15 + 1u);
  EXPECT_EQ(lines[3], "VRK_CHECK(level < g_LogAbortLevel) 7 4 Abort. Log level is too serious 7");
}

TEST_F(CoreLoggingTest, TruncateFileNameKeepsLastDirectoryAndFile) {
  const struct {
    const char* path;
    const char* expected;
  } kCases[] = {
      {"d.cc", "d.cc"},
      {"c/d.cc", "c/d.cc"},
      {"a/b/c/d.cc", "c/d.cc"},
      {"/x/y/z.cc", "y/z.cc"},
      {"a\\b\\c.cc", "b\\c.cc"},
      {"a/b\\c.cc", "b\\c.cc"},
      {"", ""},
  };
  for (const auto& c : kCases) {
    SrcPoint src{c.path, 1, "f", "()"};
    src.TruncateFileName();
    EXPECT_STREQ(src.file, c.expected) << c.path;
  }
}

std::vector<std::string>* g_captured = nullptr;
void CaptureMessage(LogLevel level, const SrcPoint& src, const std::string& message) {
  g_captured->push_back(DebugPrint(level) + "|" + DebugPrint(src) + "|" + message);
}
void IgnoreAssert(const SrcPoint&, const std::string& text) { g_captured->push_back(text); }

TEST_F(CoreLoggingTest, ReplaceableFunctions) {
  std::vector<std::string> captured;
  g_captured = &captured;
  EXPECT_EQ(SetLogMessageFn(&CaptureMessage), &LogMessageDefault);
  EXPECT_EQ(SetLogMessageFn(&CaptureMessage), &CaptureMessage);
  EXPECT_EQ(SetAssertFunction(&IgnoreAssert), &OnAssertFailedDefault);

  VRK_LOG(ERROR, "value", 1.5f);
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_THAT(captured[0], MatchesRegex("3\\|face_geometry/core_logging_test.cc:[0-9]+ "
                                        "TestBody\\(\\) \\|value 1.5"));

  // The test log function writes the bare message and still checks the abort level.
  SetLogMessageFn(&LogMessageTests);
  g_LogAbortLevel = ERROR;
  testing::internal::CaptureStderr();
  VRK_LOG(ERROR, "bare");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "bare\n");
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[1],
            "VRK_CHECK(level < g_LogAbortLevel) 3 3 Abort. Log level is too serious 3");
  g_captured = nullptr;
}

TEST_F(CoreLoggingTest, TimerLogsElapsedSecondsAndRestarts) {
  // Without a start the timer reports the raw steady-clock reading.
  const auto now = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  const int64_t before = now();
  HighResTimer timer(false);
  const int64_t raw = timer.ElapsedNano();
  EXPECT_LE(before, raw);
  EXPECT_LE(raw, now());

  // The restart happens even when the line is filtered out.
  g_LogLevel = WARNING;
  testing::internal::CaptureStderr();
  timer.LogElapsedSeconds("load");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GE(timer.start(), before);

  g_LogLevel = INFO;
  testing::internal::CaptureStderr();
  timer.LogElapsedSeconds("load");
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              MatchesRegex("LOG .* face_geometry/high_res_timer.cc:[0-9]+ "
                           "LogElapsedSeconds\\(\\) load  \\(Timer, secs\\):  [0-9.e+-]+\n"));

  EXPECT_EQ(TimeTToSecondsSinceEpoch(SecondsSinceEpochToTimeT(1700000000u)), 1700000000u);
}

}  // namespace
}  // namespace vrk
