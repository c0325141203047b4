#include "platform/foundation/ns_time_zone.h"

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

#include "gtest/gtest.h"

namespace {

// Sets TZ for one test and restores the previous zone afterwards.
class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    if (const char* old = getenv("TZ")) previous_ = old;
    setenv("TZ", zone, 1);
  }
  ~ScopedZone() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    NSTimeZone::resetSystemTimeZone();
  }

 private:
  std::optional<std::string> previous_;
};

TEST(NSTimeZoneTest, ResetReadsTheNewZone) {
  ScopedZone utc("UTC0");
  NSTimeZone::resetSystemTimeZone();
  auto before = NSTimeZone::defaultTimeZone();
  EXPECT_EQ(before->secondsFromGMT(), 0);

  setenv("TZ", "IST-5:30", 1);
  EXPECT_EQ(before->secondsFromGMT(), 0) << "the zone's rules are kept until a reset";
  NSTimeZone::resetSystemTimeZone();
  auto after = NSTimeZone::defaultTimeZone();
  EXPECT_NE(after, before);
  EXPECT_EQ(after->secondsFromGMT(), 19800);
  time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  EXPECT_EQ(after->secondsFromGMT(), local.tm_gmtoff);
}

TEST(NSTimeZoneTest, OffsetFollowsDaylightSavingTime) {
  // Central European rules: +1 h in winter, +2 h from the last Sunday of March.
  ScopedZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
  NSTimeZone::resetSystemTimeZone();
  auto zone = NSTimeZone::systemTimeZone();
  EXPECT_EQ(zone->secondsFromGMTForDate(NSDate(1767225600)), 3600);  // 2026-01-01
  EXPECT_EQ(zone->secondsFromGMTForDate(NSDate(1782864000)), 7200);  // 2026-07-01
}

}  // namespace
