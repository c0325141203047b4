// Wall time as double seconds since the Unix epoch, and the cycle clock beside it.
//
// The cycle clock of this system is the monotonic clock counted in nanoseconds, so its
// frequency is 1e9 ticks per second on every machine.

#ifndef BASE_WALLTIME_H_
#define BASE_WALLTIME_H_

#include <cstdint>
#include <utility>

#include "absl/time/time.h"

namespace base {

// Seconds since the Unix epoch, with the sub-second part as a fraction; an infinite time
// gives plus or minus infinity.
double ToWallTime(absl::Time t);
absl::Time FromWallTime(double seconds);

}  // namespace base

// The cycle clock's current reading.
int64_t CycleClockNow();
// Ticks per second of the cycle clock, and seconds per tick.
int64_t WallTime_CPS();
double WallTime_SPC();

class WallTimeConverter {
 public:
  // The current wall time and the cycle-clock reading taken right after it.
  static std::pair<double, int64_t> Now();
};

#endif  // BASE_WALLTIME_H_
