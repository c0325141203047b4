#include "base/walltime.h"

#include <time.h>

#include <limits>

#include "absl/time/clock.h"

namespace base {

double ToWallTime(absl::Time t) {
  if (t == absl::InfiniteFuture()) return std::numeric_limits<double>::infinity();
  if (t == absl::InfinitePast()) return -std::numeric_limits<double>::infinity();
  absl::Duration remainder;
  const int64_t seconds = absl::IDivDuration(t - absl::UnixEpoch(), absl::Seconds(1), &remainder);
  // The remainder in quarter nanoseconds, the finest unit of absl::Duration.
  absl::Duration unused;
  const int64_t quarters = absl::IDivDuration(remainder, absl::Nanoseconds(1) / 4, &unused);
  return static_cast<double>(seconds) + static_cast<double>(quarters) * 2.5e-10;
}

absl::Time FromWallTime(double seconds) { return absl::UnixEpoch() + absl::Seconds(seconds); }

}  // namespace base

int64_t CycleClockNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t WallTime_CPS() { return 1000000000; }
double WallTime_SPC() { return 1.0 / static_cast<double>(WallTime_CPS()); }

std::pair<double, int64_t> WallTimeConverter::Now() {
  const double now = base::ToWallTime(absl::Now());
  return {now, CycleClockNow()};
}
