// NSDate: an immutable instant, counted in seconds from 1 January 1970 00:00 UTC.
//
// Dates are objects handed around as `std::shared_ptr<NSDate>` (null where a date may be
// absent). `NSDate::date()` reads the wall clock of this process, which tests replace with
// `platform::foundation::SetWallClock`; every other factory is a plain conversion.
//
//   platform::foundation::SetWallClock([] { return 1.5; });
//   auto now = NSDate::date();                    // 1.5 s after 1970
//   auto later = now->dateByAddingTimeInterval(2);
//   later->timeIntervalSinceDate(*now);           // 2.0
//
// The reference date is 1 January 2001 00:00 UTC, 978307200 s after 1970.
#ifndef PLATFORM_FOUNDATION_NS_DATE_H_
#define PLATFORM_FOUNDATION_NS_DATE_H_

#include <functional>
#include <memory>

using NSTimeInterval = double;

// The result of comparing two ordered values.
enum NSComparisonResult : long {
  NSOrderedAscending = -1,
  NSOrderedSame = 0,
  NSOrderedDescending = 1,
};

// Seconds from 1970 to the reference date.
inline constexpr NSTimeInterval NSTimeIntervalSince1970 = 978307200.0;

class NSDate {
 public:
  // The wall clock's current instant.
  static std::shared_ptr<NSDate> date();
  static std::shared_ptr<NSDate> dateWithTimeIntervalSince1970(NSTimeInterval seconds);
  static std::shared_ptr<NSDate> dateWithTimeIntervalSinceReferenceDate(NSTimeInterval seconds);
  static std::shared_ptr<NSDate> dateWithTimeIntervalSinceNow(NSTimeInterval seconds);

  std::shared_ptr<NSDate> dateByAddingTimeInterval(NSTimeInterval seconds) const;

  NSTimeInterval timeIntervalSince1970() const { return since1970_; }
  NSTimeInterval timeIntervalSinceReferenceDate() const {
    return since1970_ - NSTimeIntervalSince1970;
  }
  // This date minus `other`: positive when this date is the later one.
  NSTimeInterval timeIntervalSinceDate(const NSDate& other) const {
    return since1970_ - other.since1970_;
  }
  // This date minus the wall clock's current instant: negative for a past date.
  NSTimeInterval timeIntervalSinceNow() const;

  NSComparisonResult compare(const NSDate& other) const;
  bool isEqualToDate(const NSDate& other) const { return since1970_ == other.since1970_; }

  explicit NSDate(NSTimeInterval since1970) : since1970_(since1970) {}

 private:
  NSTimeInterval since1970_;
};

namespace platform::foundation {

// A source of the current wall time in seconds since 1970.
using WallClock = std::function<NSTimeInterval()>;

// Replaces the clock that `NSDate::date()` and every other reader of "now" in this folder use;
// an empty function restores the system clock (CLOCK_REALTIME). Safe to call from any thread;
// a clock that is being called while it is replaced finishes that call.
void SetWallClock(WallClock clock);

// The current wall time in seconds since 1970, from the clock set above.
NSTimeInterval WallClockNow();

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_NS_DATE_H_
