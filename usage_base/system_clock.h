// The clock of usage logging and the experiment-flag store.
//
// Components of both libraries never ask the platform for the time: each is given a clock and
// asks it for wall time, boot time, uptime and the time-zone offset, so that tests can hand in
// a clock of their own. `ZRBClock` is the base interface, `JQXClockProtocol` adds the zone
// offset, and `JQXSystemClock` answers from the system:
//
//   std::shared_ptr<JQXClockProtocol> clock = JQXSystemClock::systemClock();
//   int64_t now = clock->currentTimeMilliseconds();   // since 1970
//   int64_t up = clock->uptimeMilliseconds();          // now minus the boot time
//
// All millisecond values are signed 64-bit counts from 1 January 1970 00:00 UTC (wall time, boot
// time) or from boot (uptime); seconds are doubles.
//
// The system clock computes uptime as wall time minus a cached boot time, so uptime and wall
// time move together: a change of the wall clock shifts uptime by the same amount until the
// application reports a significant time change (UIApplicationSignificantTimeChangeNotification),
// which reads the boot time again. A time-zone change (NSSystemTimeZoneDidChangeNotification)
// makes the platform read the zone again, so the offset follows from the next call.
#ifndef USAGE_BASE_SYSTEM_CLOCK_H_
#define USAGE_BASE_SYSTEM_CLOCK_H_

#include <time.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/ns_date.h"

class ZRBClock {
 public:
  virtual ~ZRBClock() = default;

  // Seconds from `date` to now: positive for a past date, negative for a future one.
  virtual double elapsedTimeSince(const NSDate& date) = 0;
  // A new date for the current instant.
  virtual std::shared_ptr<NSDate> now() = 0;
  // Runs `block` after `seconds`, where the clock supports it.
  virtual void scheduleAfterTimeInterval(double seconds, std::function<void()> block) = 0;
  virtual int64_t currentTimeMilliseconds() = 0;
  virtual int64_t bootTimeMilliseconds() = 0;
  virtual int64_t uptimeMilliseconds() = 0;
};

class JQXClockProtocol : public ZRBClock {
 public:
  // Seconds east of UTC of the default time zone at this moment.
  virtual int64_t timezoneOffsetSeconds() = 0;
};

class JQXSystemClock : public JQXClockProtocol,
                       public std::enable_shared_from_this<JQXSystemClock> {
 public:
  // The process's clock, made at the first call; it lives for the process.
  static std::shared_ptr<JQXSystemClock> systemClock();
  // A clock of its own: reads the boot time and observes the two notifications for as long
  // as it lives.
  static std::shared_ptr<JQXSystemClock> init();

  // The time when the machine booted, in milliseconds since 1970: CLOCK_REALTIME minus
  // CLOCK_BOOTTIME; when the clocks cannot be read, the "btime" line of /proc/stat; 0 only
  // when both fail.
  static int64_t extractBootTimeMilliseconds();

  double elapsedTimeSince(const NSDate& date) override;
  std::shared_ptr<NSDate> now() override;
  // Not supported by this clock: reports an assertion failure and never runs `block`.
  void scheduleAfterTimeInterval(double seconds, std::function<void()> block) override;
  // The wall clock of platform/foundation (ns_date.h), truncated to milliseconds.
  int64_t currentTimeMilliseconds() override;
  // The cached boot time.
  int64_t bootTimeMilliseconds() override;
  // currentTimeMilliseconds() minus the cached boot time.
  int64_t uptimeMilliseconds() override;
  int64_t timezoneOffsetSeconds() override;

  // The cached boot time; any thread may read it without a lock.
  int64_t cachedBootTimeMilliseconds() const { return cached_boot_time_milliseconds_.load(); }
  void setCachedBootTimeMilliseconds(int64_t milliseconds) {
    cached_boot_time_milliseconds_.store(milliseconds);
  }

  // Notification handlers: read the boot time again; make the platform drop its cached zone.
  void handleSignificantTimeChange();
  void timeZoneDidChange();

  // Use the factories above.
  JQXSystemClock();
  ~JQXSystemClock() override;
  JQXSystemClock(const JQXSystemClock&) = delete;
  JQXSystemClock& operator=(const JQXSystemClock&) = delete;

 private:
  void StartObserving();

  std::atomic<int64_t> cached_boot_time_milliseconds_;
};

namespace usage_log_internal {

// The boot time from two sources, tried in order: `read_clocks` fills CLOCK_REALTIME and
// CLOCK_BOOTTIME and answers whether both could be read; then the "btime" line (seconds) of the
// file at `stat_path`. 0 when neither gives a value.
int64_t BootTimeMilliseconds(
    const std::function<bool(struct timespec* realtime, struct timespec* boottime)>& read_clocks,
    const std::string& stat_path);

}  // namespace usage_log_internal

#endif  // USAGE_BASE_SYSTEM_CLOCK_H_
