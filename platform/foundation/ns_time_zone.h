// NSTimeZone: the process's time zone and its offset from UTC.
//
// The system time zone is the C library's local zone. The C library reads its rules once and
// keeps them; `resetSystemTimeZone` makes it read them again (tzset), so that a zone changed
// while the process runs (a new TZ value, a new /etc/localtime) counts from the next question
// on. Until then every answer comes from the rules read before:
//
//   auto zone = NSTimeZone::defaultTimeZone();
//   zone->secondsFromGMT();            // e.g. 3600 in Central European winter time
//   // ... the zone of the machine changes; the system posts
//   // NSSystemTimeZoneDidChangeNotification, and its observer calls:
//   NSTimeZone::resetSystemTimeZone();
//   NSTimeZone::defaultTimeZone()->secondsFromGMT();   // the new zone's offset
//
// Offsets follow daylight-saving time: each question converts an instant (now, from the wall
// clock of ns_date.h, unless a date is given) with localtime_r and answers its tm_gmtoff.
// Every function may be called from any thread.
#ifndef PLATFORM_FOUNDATION_NS_TIME_ZONE_H_
#define PLATFORM_FOUNDATION_NS_TIME_ZONE_H_

#include <memory>

#include "platform/foundation/ns_date.h"

class NSTimeZone {
 public:
  // The local zone of the C library. The same object until `resetSystemTimeZone`.
  static std::shared_ptr<NSTimeZone> systemTimeZone();
  // The zone date calculations use: here always the system time zone.
  static std::shared_ptr<NSTimeZone> defaultTimeZone();
  // Makes the C library read the zone's rules again; the next `systemTimeZone` is a new object.
  static void resetSystemTimeZone();

  // Seconds east of UTC at this moment, or at `date`.
  long secondsFromGMT() const;
  long secondsFromGMTForDate(const NSDate& date) const;

  // Use the factories above.
  NSTimeZone() = default;
};

#endif  // PLATFORM_FOUNDATION_NS_TIME_ZONE_H_
