#include "usage_base/system_clock.h"

#include <time.h>

#include <charconv>
#include <fstream>
#include <limits>

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_notification_center.h"
#include "platform/foundation/ns_time_zone.h"

namespace usage_log_internal {
namespace {

// The "btime" value of /proc/stat in milliseconds, or 0 when the file or the line is unusable.
int64_t BootTimeFromStat(const std::string& stat_path) {
  std::ifstream stat(stat_path);
  std::string line;
  while (std::getline(stat, line)) {
    if (line.rfind("btime ", 0) != 0) continue;
    const char* first = line.data() + 6;
    const char* last = line.data() + line.size();
    while (first < last && *first == ' ') ++first;
    int64_t seconds = 0;
    auto [end, error] = std::from_chars(first, last, seconds);
    if (error != std::errc() || end == first || end != last || seconds <= 0 ||
        seconds > std::numeric_limits<int64_t>::max() / 1000) {
      return 0;
    }
    return seconds * 1000;
  }
  return 0;
}

}  // namespace

int64_t BootTimeMilliseconds(
    const std::function<bool(struct timespec* realtime, struct timespec* boottime)>& read_clocks,
    const std::string& stat_path) {
  struct timespec realtime = {};
  struct timespec boottime = {};
  if (read_clocks(&realtime, &boottime)) {
    int64_t realtime_ns = int64_t{realtime.tv_sec} * 1'000'000'000 + realtime.tv_nsec;
    int64_t boottime_ns = int64_t{boottime.tv_sec} * 1'000'000'000 + boottime.tv_nsec;
    return (realtime_ns - boottime_ns) / 1'000'000;
  }
  return BootTimeFromStat(stat_path);
}

}  // namespace usage_log_internal

std::shared_ptr<JQXSystemClock> JQXSystemClock::systemClock() {
  static auto* clock = new std::shared_ptr<JQXSystemClock>(init());
  return *clock;
}

std::shared_ptr<JQXSystemClock> JQXSystemClock::init() {
  auto clock = std::make_shared<JQXSystemClock>();
  clock->StartObserving();
  return clock;
}

JQXSystemClock::JQXSystemClock() : cached_boot_time_milliseconds_(extractBootTimeMilliseconds()) {}

JQXSystemClock::~JQXSystemClock() { NSNotificationCenter::defaultCenter()->removeObserver(this); }

void JQXSystemClock::StartObserving() {
  auto center = NSNotificationCenter::defaultCenter();
  std::weak_ptr<JQXSystemClock> weak = weak_from_this();
  center->addObserver(
      this,
      [weak](const std::shared_ptr<NSNotification>&) {
        if (auto clock = weak.lock()) clock->timeZoneDidChange();
      },
      NSSystemTimeZoneDidChangeNotification, nullptr);
  center->addObserver(
      this,
      [weak](const std::shared_ptr<NSNotification>&) {
        if (auto clock = weak.lock()) clock->handleSignificantTimeChange();
      },
      UIApplicationSignificantTimeChangeNotification, nullptr);
}

int64_t JQXSystemClock::extractBootTimeMilliseconds() {
  return usage_log_internal::BootTimeMilliseconds(
      [](struct timespec* realtime, struct timespec* boottime) {
        return clock_gettime(CLOCK_REALTIME, realtime) == 0 &&
               clock_gettime(CLOCK_BOOTTIME, boottime) == 0;
      },
      "/proc/stat");
}

double JQXSystemClock::elapsedTimeSince(const NSDate& date) {
  return now()->timeIntervalSinceDate(date);
}

std::shared_ptr<NSDate> JQXSystemClock::now() { return NSDate::date(); }

void JQXSystemClock::scheduleAfterTimeInterval(double seconds, std::function<void()> block) {
  NSAssert(false, "scheduleAfterTimeInterval is not supported by the system clock");
}

int64_t JQXSystemClock::currentTimeMilliseconds() {
  return static_cast<int64_t>(platform::foundation::WallClockNow() * 1000.0);
}

int64_t JQXSystemClock::bootTimeMilliseconds() { return cachedBootTimeMilliseconds(); }

int64_t JQXSystemClock::uptimeMilliseconds() {
  return currentTimeMilliseconds() - bootTimeMilliseconds();
}

int64_t JQXSystemClock::timezoneOffsetSeconds() {
  return NSTimeZone::defaultTimeZone()->secondsFromGMT();
}

void JQXSystemClock::handleSignificantTimeChange() {
  setCachedBootTimeMilliseconds(extractBootTimeMilliseconds());
}

void JQXSystemClock::timeZoneDidChange() { NSTimeZone::resetSystemTimeZone(); }
