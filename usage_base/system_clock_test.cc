#include "usage_base/system_clock.h"

#include <stdlib.h>
#include <time.h>

#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_notification_center.h"
#include "platform/foundation/ns_time_zone.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using platform::foundation::ScopedTestFolder;

int64_t ProcStatBootTimeMilliseconds() {
  std::ifstream stat("/proc/stat");
  std::string key;
  int64_t value = 0;
  while (stat >> key) {
    if (key == "btime" && stat >> value) return value * 1000;
  }
  return 0;
}

class ScopedWallClock {
 public:
  explicit ScopedWallClock(double seconds) {
    platform::foundation::SetWallClock([seconds] { return seconds; });
  }
  ~ScopedWallClock() { platform::foundation::SetWallClock(nullptr); }
};

TEST(JQXSystemClockTest, BootTimeMatchesTheKernel) {
  int64_t btime = ProcStatBootTimeMilliseconds();
  ASSERT_GT(btime, 0);
  EXPECT_NEAR(JQXSystemClock::extractBootTimeMilliseconds(), btime, 1000);
  EXPECT_NEAR(JQXSystemClock::systemClock()->bootTimeMilliseconds(), btime, 1000);
  EXPECT_EQ(JQXSystemClock::systemClock(), JQXSystemClock::systemClock());
}

TEST(JQXSystemClockTest, UptimeIsWallTimeMinusTheCachedBootTime) {
  auto clock = JQXSystemClock::init();
  ScopedWallClock wall(1'700'000'000.1239);
  clock->setCachedBootTimeMilliseconds(1'699'000'000'000);
  EXPECT_EQ(clock->currentTimeMilliseconds(), 1'700'000'000'123);
  EXPECT_EQ(clock->bootTimeMilliseconds(), 1'699'000'000'000);
  EXPECT_EQ(clock->uptimeMilliseconds(), 1'000'000'123);

  // A significant time change reads the boot time from the kernel again.
  NSNotificationCenter::defaultCenter()->postNotificationName(
      UIApplicationSignificantTimeChangeNotification);
  EXPECT_NEAR(clock->bootTimeMilliseconds(), ProcStatBootTimeMilliseconds(), 1000);
  EXPECT_EQ(clock->uptimeMilliseconds(),
            clock->currentTimeMilliseconds() - clock->bootTimeMilliseconds());
}

TEST(JQXSystemClockTest, BootTimeIsReadWhileAnotherThreadRefreshesIt) {
  auto clock = JQXSystemClock::init();
  std::thread poster([] {
    for (int i = 0; i < 200; ++i) {
      NSNotificationCenter::defaultCenter()->postNotificationName(
          UIApplicationSignificantTimeChangeNotification);
    }
  });
  int64_t btime = ProcStatBootTimeMilliseconds();
  for (int i = 0; i < 200; ++i) EXPECT_NEAR(clock->bootTimeMilliseconds(), btime, 1000);
  poster.join();
}

TEST(JQXSystemClockTest, ElapsedTimeAndNowFollowTheWallClock) {
  auto clock = JQXSystemClock::init();
  ScopedWallClock wall(1000.0);
  EXPECT_EQ(clock->now()->timeIntervalSince1970(), 1000.0);
  EXPECT_DOUBLE_EQ(clock->elapsedTimeSince(NSDate(997.5)), 2.5);
  EXPECT_DOUBLE_EQ(clock->elapsedTimeSince(NSDate(1001.0)), -1.0);
}

TEST(JQXSystemClockTest, ZoneNotificationMakesTheOffsetFollowTheNewZone) {
  std::optional<std::string> previous;
  if (const char* tz = getenv("TZ")) previous = tz;
  auto clock = JQXSystemClock::init();
  auto center = NSNotificationCenter::defaultCenter();

  setenv("TZ", "IST-5:30", 1);
  center->postNotificationName(NSSystemTimeZoneDidChangeNotification);
  time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  EXPECT_EQ(clock->timezoneOffsetSeconds(), 19800);
  EXPECT_EQ(clock->timezoneOffsetSeconds(), local.tm_gmtoff);

  setenv("TZ", "UTC0", 1);
  center->postNotificationName(NSSystemTimeZoneDidChangeNotification);
  EXPECT_EQ(clock->timezoneOffsetSeconds(), 0);

  if (previous) {
    setenv("TZ", previous->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  NSTimeZone::resetSystemTimeZone();
}

TEST(JQXSystemClockTest, SchedulingIsAnUnsupportedOperation) {
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  bool ran = false;
  JQXSystemClock::systemClock()->scheduleAfterTimeInterval(0, [&] { ran = true; });
  EXPECT_FALSE(ran);
  ASSERT_EQ(handler->failures().size(), 1u);
  EXPECT_EQ(handler->failures()[0].name, "JQXSystemClock::scheduleAfterTimeInterval");
  EXPECT_EQ(handler->failures()[0].file, "usage_base/system_clock.cc");
}

TEST(JQXSystemClockTest, ReleasedClockStopsObserving) {
  auto clock = JQXSystemClock::init();
  std::weak_ptr<JQXSystemClock> weak = clock;
  clock.reset();
  EXPECT_TRUE(weak.expired());
  NSNotificationCenter::defaultCenter()->postNotificationName(
      UIApplicationSignificantTimeChangeNotification);  // must not reach the freed clock
}

TEST(BootTimeMillisecondsTest, FallsBackToProcStatThenZero) {
  ScopedTestFolder folder;
  auto stat_file = [&](const std::string& name, const std::string& text) {
    std::ofstream(folder.Path(name)) << text;
    return folder.Path(name);
  };
  auto clocks_ok = [](struct timespec* realtime, struct timespec* boottime) {
    *realtime = {1'700'000'000, 900'000'000};
    *boottime = {1'000, 100'000'000};
    return true;
  };
  auto clocks_fail = [](struct timespec*, struct timespec*) { return false; };
  std::string good = stat_file("good", "cpu 1 2 3\nbtime 1699000000\nprocesses 5\n");

  struct Case {
    const char* name;
    bool clocks;
    std::string stat_path;
    int64_t expected;
  };
  const Case cases[] = {
      {"clocks", true, good, 1'699'999'000'800},
      {"stat", false, good, 1'699'000'000'000},
      {"no file", false, folder.Path("missing"), 0},
      {"no btime line", false, stat_file("none", "cpu 1 2 3\nbtimes 7\n"), 0},
      {"garbage", false, stat_file("garbage", "btime 12x\n"), 0},
      {"negative", false, stat_file("negative", "btime -5\n"), 0},
      {"overflow", false, stat_file("overflow", "btime 99999999999999999\n"), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(usage_log_internal::BootTimeMilliseconds(
                  c.clocks ? std::function<bool(timespec*, timespec*)>(clocks_ok)
                           : std::function<bool(timespec*, timespec*)>(clocks_fail),
                  c.stat_path),
              c.expected)
        << c.name;
  }
}

}  // namespace
