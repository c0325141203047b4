#include "base/vlog.h"

#include <atomic>
#include <cstring>
#include <string>

#include "absl/time/clock.h"
#include "gtest/gtest.h"
#include "base/logging.h"

namespace {

bool Match(const char* pattern, const char* subject) {
  return SafeFNMatch_(pattern, strlen(pattern), subject, strlen(subject));
}

TEST(SafeFNMatchTest, GlobCases) {
  struct Case {
    const char* pattern;
    const char* subject;
    bool matches;
  };
  const Case cases[] = {
      {"a*", "a", true},     {"a**", "a", true},   {"*x", "ax", true},   {"a?c", "abc", true},
      {"a?c", "ac", false},  {"", "", true},       {"", "a", false},     {"abc", "abc", true},
      {"abc", "abd", false}, {"a*c*e", "abcde", true}, {"a*c", "abd", false},
      {"a", "*", false},     {"?", "*", true},     {"*b", "a*b", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Match(c.pattern, c.subject), c.matches) << c.pattern << " on " << c.subject;
  }
}

// The level a VLOG statement in `file` would see, through a fresh site word.
int LevelOf(const char* file) {
  std::atomic<int32_t> site{base::internal::kVLogSiteUninitialized};
  for (int level = 9; level >= 0; --level) {
    if (base::internal::VLogSiteIsOn(&site, level, file)) return level;
  }
  return -1;
}

// Patterns are process-wide and never removed, so each test uses names of its own.
TEST(VLogTest, ModulePatternsSetTheLevelOfMatchingFiles) {
  EXPECT_EQ(SetVLOGLevel("alpha", 2), 0);  // the global level applied before
  EXPECT_EQ(LevelOf("dir/alpha.cc"), 2);
  EXPECT_EQ(LevelOf("dir/alpha-inl.h"), 2);
  EXPECT_EQ(LevelOf("dir/alphabet.cc"), 0);

  // A pattern with "/" is matched against the path without extension.
  SetVLOGLevel("beta_dir/g*", 3);
  EXPECT_EQ(LevelOf("beta_dir/gamma.cc"), 3);
  EXPECT_EQ(LevelOf("other/gamma.cc"), 0);
}

TEST(VLogTest, SetVLOGLevelReplacesEqualPatternsAndSkipsCoveredOnes) {
  SetVLOGLevel("delta", 1);
  EXPECT_EQ(SetVLOGLevel("delta", 4), 1);
  EXPECT_EQ(LevelOf("x/delta.cc"), 4);

  SetVLOGLevel("eps*", 2);
  EXPECT_EQ(SetVLOGLevel("epsilon", 5), 2);  // covered by eps*: not added
  EXPECT_EQ(LevelOf("x/epsilon.cc"), 2);
}

TEST(VLogTest, CachedStatementsSeeLaterChanges) {
  int written = 0;
  auto statement = [&] { VLOG(3) << (++written, "x"); };
  testing::internal::CaptureStderr();
  statement();
  SetVLOGLevel("vlog_test", 3);
  statement();
  SetVLOGLevel("vlog_test", 0);
  statement();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(written, 1);
}

TEST(VLogTest, VModuleSettingIsParsedIntoPatterns) {
  FLAGS_vmodule = "zeta=2,eta=x,theta=3";
  ParseVModuleFlag();
  FLAGS_vmodule = "";
  EXPECT_EQ(LevelOf("zeta.cc"), 2);
  EXPECT_EQ(LevelOf("eta.cc"), 0);  // unparsable level: skipped
  EXPECT_EQ(LevelOf("theta.cc"), 3);
}

TEST(VLogTest, BurstMaskSelectsMilliseconds) {
  EXPECT_TRUE(base::internal::IsVLogBurstTime());  // mask 0: always
  absl::SetFlag(&FLAGS_vlog_burst, 1);             // odd milliseconds only
  int samples = 0;
  while (samples < 20) {
    const int64_t before = absl::ToUnixMillis(absl::Now());
    const bool on = base::internal::IsVLogBurstTime();
    if (absl::ToUnixMillis(absl::Now()) != before) continue;  // the millisecond changed
    EXPECT_EQ(on, (before & 1) == 1) << before;
    ++samples;
  }
  absl::SetFlag(&FLAGS_vlog_burst, 0);
}

}  // namespace
