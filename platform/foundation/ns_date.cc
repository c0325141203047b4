#include "platform/foundation/ns_date.h"

#include <time.h>

#include <mutex>
#include <utility>

namespace platform::foundation {
namespace {

std::mutex& ClockMutex() {
  static std::mutex mutex;
  return mutex;
}

// Shared so that a reader can keep calling a clock that another thread replaces meanwhile.
std::shared_ptr<const WallClock>& ClockSlot() {
  static std::shared_ptr<const WallClock> clock;
  return clock;
}

}  // namespace

void SetWallClock(WallClock clock) {
  auto replacement = clock ? std::make_shared<const WallClock>(std::move(clock)) : nullptr;
  std::lock_guard<std::mutex> lock(ClockMutex());
  ClockSlot() = std::move(replacement);
}

NSTimeInterval WallClockNow() {
  std::shared_ptr<const WallClock> clock;
  {
    std::lock_guard<std::mutex> lock(ClockMutex());
    clock = ClockSlot();
  }
  if (clock != nullptr) return (*clock)();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<NSTimeInterval>(now.tv_sec) + now.tv_nsec / 1e9;
}

}  // namespace platform::foundation

std::shared_ptr<NSDate> NSDate::date() {
  return std::make_shared<NSDate>(platform::foundation::WallClockNow());
}

std::shared_ptr<NSDate> NSDate::dateWithTimeIntervalSince1970(NSTimeInterval seconds) {
  return std::make_shared<NSDate>(seconds);
}

std::shared_ptr<NSDate> NSDate::dateWithTimeIntervalSinceReferenceDate(NSTimeInterval seconds) {
  return std::make_shared<NSDate>(seconds + NSTimeIntervalSince1970);
}

std::shared_ptr<NSDate> NSDate::dateWithTimeIntervalSinceNow(NSTimeInterval seconds) {
  return std::make_shared<NSDate>(platform::foundation::WallClockNow() + seconds);
}

std::shared_ptr<NSDate> NSDate::dateByAddingTimeInterval(NSTimeInterval seconds) const {
  return std::make_shared<NSDate>(since1970_ + seconds);
}

NSTimeInterval NSDate::timeIntervalSinceNow() const {
  return since1970_ - platform::foundation::WallClockNow();
}

NSComparisonResult NSDate::compare(const NSDate& other) const {
  if (since1970_ < other.since1970_) return NSOrderedAscending;
  if (since1970_ > other.since1970_) return NSOrderedDescending;
  return NSOrderedSame;
}
