#include "platform/foundation/ns_time_zone.h"

#include <time.h>

#include <cmath>
#include <mutex>
#include <shared_mutex>

namespace {

// tzset rewrites the C library's zone state that localtime_r reads: readers share the lock,
// a reset takes it alone.
struct ZoneState {
  std::shared_mutex mutex;
  std::shared_ptr<NSTimeZone> system;
};

ZoneState& State() {
  static auto* state = [] {
    auto* s = new ZoneState();
    tzset();
    s->system = std::make_shared<NSTimeZone>();
    return s;
  }();
  return *state;
}

bool LocalTime(double seconds_since_1970, struct tm* out) {
  time_t seconds = static_cast<time_t>(std::floor(seconds_since_1970));
  std::shared_lock<std::shared_mutex> lock(State().mutex);
  return localtime_r(&seconds, out) != nullptr;
}

}  // namespace

std::shared_ptr<NSTimeZone> NSTimeZone::systemTimeZone() {
  ZoneState& state = State();
  std::shared_lock<std::shared_mutex> lock(state.mutex);
  return state.system;
}

std::shared_ptr<NSTimeZone> NSTimeZone::defaultTimeZone() { return systemTimeZone(); }

void NSTimeZone::resetSystemTimeZone() {
  ZoneState& state = State();
  std::unique_lock<std::shared_mutex> lock(state.mutex);
  tzset();
  state.system = std::make_shared<NSTimeZone>();
}

long NSTimeZone::secondsFromGMT() const {
  return secondsFromGMTForDate(NSDate(platform::foundation::WallClockNow()));
}

long NSTimeZone::secondsFromGMTForDate(const NSDate& date) const {
  struct tm local = {};
  if (!LocalTime(date.timeIntervalSince1970(), &local)) return 0;
  return local.tm_gmtoff;
}
