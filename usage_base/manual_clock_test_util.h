// A clock for tests whose wall time, boot time and zone offset the test sets.
#ifndef USAGE_BASE_MANUAL_CLOCK_TEST_UTIL_H_
#define USAGE_BASE_MANUAL_CLOCK_TEST_UTIL_H_

#include <atomic>
#include <cstdint>

#include "usage_base/system_clock.h"

class ManualClock : public JQXClockProtocol {
 public:
  explicit ManualClock(int64_t now = 1700000000000, int64_t boot = 1699999000000,
                       int64_t offset = -18000)
      : now_(now), boot_(boot), offset_(offset) {}

  void set(int64_t now) { now_.store(now); }
  void advance(int64_t milliseconds) { now_.fetch_add(milliseconds); }

  double elapsedTimeSince(const NSDate& date) override {
    return now_.load() / 1000.0 - date.timeIntervalSince1970();
  }
  std::shared_ptr<NSDate> now() override {
    return NSDate::dateWithTimeIntervalSince1970(now_.load() / 1000.0);
  }
  void scheduleAfterTimeInterval(double, std::function<void()>) override {}
  int64_t currentTimeMilliseconds() override { return now_.load(); }
  int64_t bootTimeMilliseconds() override { return boot_; }
  // Deliberately not now - boot: events must take their uptime from the boot time.
  int64_t uptimeMilliseconds() override { return 7; }
  int64_t timezoneOffsetSeconds() override { return offset_; }

 private:
  std::atomic<int64_t> now_;
  const int64_t boot_;
  const int64_t offset_;
};

#endif  // USAGE_BASE_MANUAL_CLOCK_TEST_UTIL_H_
