#include "base/logging.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/strings/match.h"
#include "absl/strings/str_format.h"
#include "absl/strings/str_split.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "base/raw_logging.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

std::string CaptureStderrOf(const std::function<void()>& statement) {
  testing::internal::CaptureStderr();
  statement();
  return testing::internal::GetCapturedStderr();
}

// The text after the "] " that ends a log prefix, without the newline.
std::string TextOf(const std::string& line) {
  const size_t start = line.find("] ");
  std::string text = line.substr(start + 2);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST(LogTest, PrefixHasSeverityDateTimeThreadAndLocation) {
  int line = 0;
  const std::string out = CaptureStderrOf([&] {
    line = __LINE__; LOG(WARNING) << "hello " << 42;
  });
  EXPECT_THAT(out, MatchesRegex("W[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} .* "
                                "logging_test\\.cc:" + std::to_string(line) + "\\] hello 42\n"));
  // Month and day are the local date; the thread id is right-aligned in 7 columns.
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  EXPECT_EQ(out.substr(1, 4), absl::StrFormat("%02d%02d", local.tm_mon + 1, local.tm_mday));
  const std::string tid = absl::StrFormat(" %7u ", GetCachedTID());
  EXPECT_EQ(out.substr(21, tid.size()), tid);
}

TEST(LogTest, SeverityIsClampedAndNamedByItsLetter) {
  struct Case {
    int severity;
    char letter;
  };
  for (const Case& c : {Case{0, 'I'}, Case{1, 'W'}, Case{2, 'E'}, Case{7, 'E'}, Case{-1, 'I'}}) {
    const std::string out = CaptureStderrOf([&] {
      absl::logging_internal::LogMessage(__FILE__, __LINE__,
                                         static_cast<absl::LogSeverity>(c.severity))
          << "x";
    });
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0], c.letter) << "severity " << c.severity;
  }
}

TEST(LogTest, NoPrefixOrLineMinusOneWritesTextOnly) {
  EXPECT_EQ(CaptureStderrOf([] { LOG(INFO).NoPrefix() << "bare"; }), "bare\n");
  EXPECT_EQ(CaptureStderrOf([] {
              absl::logging_internal::LogMessage("f.cc", -1, absl::LogSeverity::kInfo) << "t";
            }),
            "t\n");
}

TEST(LogTest, StreamsBoolsAsWordsNumbersWithBaseAndNullCStringsAsNull) {
  const char* null_text = nullptr;
  const std::string out = CaptureStderrOf([&] {
    LOG(INFO) << true << " " << std::hex << 255 << std::dec << " " << null_text << " after";
  });
  EXPECT_EQ(TextOf(out), "true 0xff (null) after");
}

TEST(LogTest, AtLocationAttributesTheLineElsewhere) {
  const std::string out = CaptureStderrOf([] {
    std::string file = "some/dir/timed_site.cc";
    LOG(INFO).AtLocation(file, 77) << "moved";
  });
  EXPECT_THAT(out, HasSubstr(" timed_site.cc:77] moved\n"));
}

TEST(LogTest, TextIsCutAt15000Bytes) {
  const std::string exact(15000, 'a');
  EXPECT_EQ(TextOf(CaptureStderrOf([&] { LOG(INFO) << exact; })), exact);

  // The piece that overflows is cut; what follows it, including a PLOG suffix, is dropped.
  const std::string out = CaptureStderrOf([&] {
    errno = ENOENT;
    PLOG(INFO) << std::string(14999, 'a') << "bc" << "d";
  });
  EXPECT_EQ(TextOf(out), std::string(14999, 'a') + "b");
}

TEST(LogTest, StatementsLeaveErrnoUnchanged) {
  errno = EACCES;
  const std::string out = CaptureStderrOf([] {
    LOG(INFO) << "a" << (close(-1), "b");  // close(-1) sets EBADF inside the statement
    PLOG(ERROR) << "open failed";
    VLOG(0) << "v";
    RAW_LOG(INFO, "raw");
  });
  EXPECT_EQ(errno, EACCES);
  EXPECT_THAT(out, HasSubstr("] open failed: Permission denied [13]\n"));
}

TEST(LogTest, LinesOfConcurrentThreadsDoNotInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  const std::string out = CaptureStderrOf([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) {
          LOG(INFO) << "thread " << t << " line " << i << " " << std::string(200, 'a' + t);
          LOG_EVERY_N(INFO, 50) << "every fifty";
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  });
  std::vector<std::string> lines = absl::StrSplit(out, '\n', absl::SkipEmpty());
  int every_fifty = 0;
  int ordinary = 0;
  for (const std::string& line : lines) {
    if (absl::EndsWith(line, "] every fifty")) {
      ++every_fifty;
      continue;
    }
    ASSERT_THAT(line, MatchesRegex("I.*\\] thread [0-3] line [0-9]+ [a-d]{200}"));
    const int thread = line[line.find("] thread ") + 9] - '0';
    ASSERT_THAT(line, EndsWith(" " + std::string(200, 'a' + thread)));
    ++ordinary;
  }
  EXPECT_EQ(ordinary, kThreads * kLines);
  EXPECT_EQ(every_fifty, kThreads * kLines / 50);
}

TEST(LogTest, RateLimitedFormsLogTheRightCalls) {
  auto logged_calls = [](const std::function<void(int)>& statement) {
    std::vector<int> calls;
    for (int i = 1; i <= 210; ++i) {
      if (!CaptureStderrOf([&] { statement(i); }).empty()) calls.push_back(i);
    }
    return calls;
  };
  EXPECT_THAT(logged_calls([](int i) { LOG_EVERY_N(INFO, 100) << i; }), ElementsAre(1, 101, 201));
  EXPECT_THAT(logged_calls([](int i) { LOG_EVERY_N(INFO, 0) << i; }), ElementsAre());
  EXPECT_THAT(logged_calls([](int i) { LOG_FIRST_N(INFO, 3) << i; }), ElementsAre(1, 2, 3));
  EXPECT_THAT(logged_calls([](int i) { LOG_EVERY_POW_2(INFO) << i; }),
              ElementsAre(1, 2, 4, 8, 16, 32, 64, 128));
}

TEST(LogTest, VerboseLevelZeroIsOnAndHigherLevelsAreOff) {
  int evaluated = 0;
  auto count = [&] { return ++evaluated; };
  const std::string out = CaptureStderrOf([&] {
    VLOG(0) << "level zero " << count();
    VLOG(1) << "level one " << count();
    VLOG(2) << "level two " << count();
  });
  EXPECT_THAT(out, HasSubstr("] level zero 1\n"));
  EXPECT_THAT(out, Not(HasSubstr("level one")));
  EXPECT_EQ(evaluated, 1);  // an off statement evaluates nothing
}

// A sink that records entries and, when asked, logs from inside Send.
class RecordingSink : public absl::LogSink {
 public:
  void Send(const absl::LogEntry& entry) override {
    entries.push_back({std::string(entry.source_basename()), entry.verbosity(),
                       std::string(entry.text_message())});
    if (log_inside_send) LOG(INFO) << "nested";
  }
  struct Seen {
    std::string basename;
    int verbosity;
    std::string text;
  };
  std::vector<Seen> entries;
  bool log_inside_send = false;
};

TEST(LogTest, SinksReceiveEntriesAndNestedMessagesAreWrittenBare) {
  RecordingSink sink;
  absl::AddLogSink(&sink);
  const std::string out = CaptureStderrOf([] {
    LOG(INFO) << "plain";
    VLOG(0) << "verbose";
  });
  sink.log_inside_send = true;
  const std::string nested = CaptureStderrOf([] { LOG(WARNING) << "outer"; });
  absl::RemoveLogSink(&sink);
  absl::RemoveLogSink(&sink);  // not registered any more: no effect
  CaptureStderrOf([] { LOG(INFO) << "unseen"; });

  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[0].basename, "logging_test.cc");
  EXPECT_EQ(sink.entries[0].verbosity, -1);
  EXPECT_EQ(sink.entries[0].text, "plain");
  EXPECT_EQ(sink.entries[1].verbosity, 0);
  EXPECT_EQ(sink.entries[2].text, "outer");
  // The message made inside Send is written as its bare text: no prefix, no newline.
  EXPECT_THAT(nested, MatchesRegex("W.*\\] outer\nnested"));
}

// A message made while another is still being streamed (not sent) is an ordinary line.
struct LogsWhenPrinted {};
std::ostream& operator<<(std::ostream& os, LogsWhenPrinted) {
  LOG(INFO) << "inner";
  return os << "value";
}

TEST(LogTest, MessageMadeWhileStreamingAnotherIsItsOwnLine) {
  const std::string out = CaptureStderrOf([] { LOG(INFO) << "outer " << LogsWhenPrinted(); });
  EXPECT_THAT(out, MatchesRegex("I.*\\] inner\nI.*\\] outer value\n"));
}

TEST(LogTest, AbseilDiagnosticsAndStreamersBecomeOrdinaryLines) {
  int line = 0;
  const std::string out = CaptureStderrOf([&] {
    line = __LINE__; ABSL_INTERNAL_LOG(WARNING, "from abseil");
    absl::LogStreamer streamer(absl::LogSeverity::kError, "handler/site.cc", 9);
    streamer.stream() << "collected " << 3;
  });
  EXPECT_THAT(out, MatchesRegex("W.* logging_test\\.cc:" + std::to_string(line) +
                                "\\] from abseil\nE.* site\\.cc:9\\] collected 3\n"));
}

TEST(CheckOpStringTest, WritesOperandsByType) {
  auto text = [](auto a, auto b) {
    std::unique_ptr<std::string> s(absl::logging_internal::MakeCheckOpString(a, b, "x == y"));
    return *s;
  };
  const char* null_text = nullptr;
  EXPECT_EQ(text('a', '\n'), "x == y ('a' vs. char value 10)");
  EXPECT_EQ(text(static_cast<signed char>(-3), static_cast<unsigned char>(200)),
            "x == y (signed char value -3 vs. unsigned char value 200)");
  EXPECT_EQ(text(null_text, null_text), "x == y ((null) vs. (null))");
  EXPECT_EQ(text(true, false), "x == y (1 vs. 0)");
  EXPECT_EQ(text(1.5, 2LL), "x == y (1.5 vs. 2)");
  EXPECT_EQ(text(std::string("ab"), "cd"), "x == y (ab vs. cd)");
  EXPECT_EQ(text(static_cast<const void*>(nullptr), nullptr), "x == y ((null) vs. (null))");
}

TEST(CheckOpStringTest, StringChecks) {
  using absl::logging_internal::CheckstrcasecmptrueImpl;
  using absl::logging_internal::CheckstrcmpfalseImpl;
  using absl::logging_internal::CheckstrcmptrueImpl;
  EXPECT_EQ(CheckstrcmptrueImpl(nullptr, nullptr, "a == b"), nullptr);
  EXPECT_EQ(CheckstrcmptrueImpl("x", "x", "a == b"), nullptr);
  EXPECT_EQ(CheckstrcasecmptrueImpl("AbC", "aBc", "a == b"), nullptr);
  std::unique_ptr<std::string> failed(CheckstrcmptrueImpl(nullptr, "", "a == b"));
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(*failed, "a == b ( vs. )");
  failed.reset(CheckstrcmpfalseImpl("x", "x", "a != b"));
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(*failed, "a != b (x vs. x)");
}

TEST(StackTraceTest, CurrentStackTraceNamesTheCaller) {
  const std::string trace = CurrentStackTrace();
  EXPECT_THAT(trace, StartsWith("Stack trace:\n    @ "));
  EXPECT_THAT(trace, HasSubstr("StackTraceTest_CurrentStackTraceNamesTheCaller"));
}

TEST(StackTraceTest, UnsymbolizedLinesHoldOnlyTheAddress) {
  FLAGS_symbolize_stacktrace = false;
  std::string trace;
  DumpStackTrace(0, DebugWriteToString, &trace);
  FLAGS_symbolize_stacktrace = true;
  EXPECT_THAT(trace, MatchesRegex("(    @ +0x[0-9a-f]+\n)+"));
  const std::string first = trace.substr(0, trace.find('\n'));
  EXPECT_EQ(first.size(), 4 + 2 + 18u);
}

TEST(StrErrorTest, KnownAndUnknownNumbers) {
  errno = EINTR;
  EXPECT_EQ(base::StrError(ENOENT), "No such file or directory");
  EXPECT_EQ(base::StrError(99999), "Unknown error 99999");
  EXPECT_EQ(errno, EINTR);
}

TEST(LogDeathTest, CheckEqDiesWithValuesThenStackTrace) {
  EXPECT_DEATH(CHECK_EQ(1, 2) << "extra",
               "F[0-9]{4} .* logging_test\\.cc:[0-9]+\\] Check failed: 1 == 2 \\(1 vs\\. 2\\) "
               "extra\n"
               "\\*\\*\\* Check failure stack trace: \\*\\*\\*\n"
               "    @ +0x[0-9a-f]+  .*\n"
               "    @ +0x[0-9a-f]+  .*LogDeathTest_CheckEqDiesWithValuesThenStackTrace");
}

TEST(LogDeathTest, FatalFormsDie) {
  int* null_pointer = nullptr;
  EXPECT_DEATH(LOG(FATAL) << "bye", "\\] bye\n\\*\\*\\* Check failure stack trace");
  EXPECT_DEATH(CHECK(1 + 1 == 3) << "math", "\\] Check failed: 1 \\+ 1 == 3 math\n");
  EXPECT_DEATH(CHECK_NOTNULL(null_pointer),
               "logging_test\\.cc:[0-9]+\\] Check failed: 'null_pointer' Must be non-null \n");
  EXPECT_DEATH(CHECK_STREQ("a", "b"), "Check failed: \"a\" == \"b\" \\(a vs\\. b\\) \n");
}

// Reprints the first fatal text when it is sent.
class ReprintingSink : public absl::LogSink {
 public:
  void Send(const absl::LogEntry&) override {
    base_logging::logging_internal::ReprintFatalMessage();
  }
};

TEST(LogDeathTest, FirstFatalTextIsKeptUpTo510Bytes) {
  ReprintingSink sink;
  EXPECT_DEATH(LOG(FATAL).ToSinkAlso(&sink) << "short",
               "\\] short\nshort\n\\*\\*\\* Check failure");
  const std::string long_text(600, 'z');
  EXPECT_DEATH(LOG(FATAL).ToSinkAlso(&sink) << long_text,
               "z\n" + std::string(510, 'z') + "\n\\*\\*\\* Check failure");
}

TEST(LogDeathTest, QuietCheckExitsWithOneAndNoStackTrace) {
  EXPECT_EXIT(QCHECK(false) << "quiet", testing::ExitedWithCode(1),
              "\\] Check failed: false quiet\n$");
}

// Each statement runs in the death-test child, so the raised minloglevel stays there.
TEST(LogDeathTest, MessagesBelowMinLogLevelAreDroppedButFatalOnesStillEnd) {
  EXPECT_EXIT(
      {
        absl::SetFlag(&FLAGS_minloglevel, 4);
        LOG(ERROR) << "dropped";
        // A plain message of severity FATAL that is dropped does not end the process.
        absl::logging_internal::LogMessage(__FILE__, __LINE__, absl::LogSeverity::kFatal) << "f";
        _exit(7);
      },
      testing::ExitedWithCode(7), "^$");
  EXPECT_DEATH(
      {
        absl::SetFlag(&FLAGS_minloglevel, 4);
        LOG(FATAL) << "gone";
      },
      "^$");
  EXPECT_EXIT(
      {
        absl::SetFlag(&FLAGS_minloglevel, 4);
        QCHECK(false);
      },
      testing::ExitedWithCode(1), "^$");
}

TEST(LogDeathTest, CheckNotNullPassesTheValueOn) {
  int value = 5;
  int* pointer = &value;
  EXPECT_EQ(CHECK_NOTNULL(pointer), &value);
}

TEST(RawLogTest, PrefixCarriesUnixSecondsWithoutTimeZone) {
  int line = 0;
  const time_t before = time(nullptr);
  const std::string out = CaptureStderrOf([&] {
    line = __LINE__; RAW_LOG(INFO, "raw %d", 5);
  });
  const time_t after = time(nullptr);
  EXPECT_THAT(out, MatchesRegex("I0000 00:00:[0-9]+\\.[0-9]{6} .* logging_test\\.cc:" +
                                std::to_string(line) + "\\] RAW: raw 5\n"));
  const long seconds = std::stol(out.substr(12));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  const std::string tid = absl::StrFormat(" %7u ", GetCachedTID());
  EXPECT_EQ(out.substr(out.find('.') + 7, tid.size()), tid);
}

TEST(RawLogDeathTest, LoadedTimeZoneGivesTheLocalDateAndTime) {
  // Runs in the child: the zone stays loaded there only.
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  EXPECT_EXIT(
      {
        base_raw_logging::InitRawLog();
        RAW_LOG(WARNING, "zoned");
        _exit(0);
      },
      testing::ExitedWithCode(0),
      absl::StrFormat("^W%02d%02d [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} .*\\] RAW: zoned\n$",
                      local.tm_mon + 1, local.tm_mday));
}

TEST(RawLogTest, LongMessageIsTruncatedWithMarker) {
  const std::string long_text(3000, 'r');
  const std::string out = CaptureStderrOf([&] { RAW_LOG(WARNING, "%s", long_text.c_str()); });
  EXPECT_THAT(out, EndsWith(" ... (message truncated)\n"));
  EXPECT_GT(out.size(), 2900u);  // the whole line buffer, written at once
  EXPECT_LE(out.size(), 3000u);
}

TEST(RawLogDeathTest, FatalLineIsFollowedByStackTrace) {
  EXPECT_DEATH(RAW_LOG(FATAL, "raw fatal %d", 1),
               "F0000 00:00:[0-9]+\\.[0-9]{6} .*\\] RAW: raw fatal 1\n    @ +0x[0-9a-f]+  ");
}

}  // namespace

namespace {

// Restores the temporary-directory variables a test changes.
class TempDirectoriesTest : public testing::Test {
 protected:
  TempDirectoriesTest() {
    for (const char* name : kNames) {
      const char* value = getenv(name);
      saved_.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  ~TempDirectoriesTest() override {
    for (size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i]) {
        setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }
  static constexpr const char* kNames[] = {"TEST_TMPDIR", "TMPDIR", "TMP"};
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(TempDirectoriesTest, FirstExistingCandidateEndsTheScan) {
  platform::foundation::ScopedTestFolder folder;
  const std::string dir = folder.path();
  setenv("TEST_TMPDIR", dir.c_str(), 1);
  std::vector<std::string> list = {"stale"};
  GetExistingTempDirectories(&list);
  const std::string expected = dir.back() == '/' ? dir : dir + "/";
  EXPECT_THAT(list, ElementsAre(expected));

  // Candidates that do not exist are dropped; /tmp ends the scan.
  setenv("TEST_TMPDIR", "/nonexistent-quillmere-dir", 1);
  unsetenv("TMPDIR");
  unsetenv("TMP");
  GetExistingTempDirectories(&list);
  EXPECT_THAT(list, Not(testing::Contains("/nonexistent-quillmere-dir/")));
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.back(), "/tmp/");
}

}  // namespace
