// The media clock: seconds of the monotonic clock (CLOCK_MONOTONIC), the time base that
// animations and timers of the platform share. Only differences between two readings mean
// anything.
//
//   double start = CACurrentMediaTime();
//   ...
//   int64_t elapsed_ms = static_cast<int64_t>((CACurrentMediaTime() - start) * 1000);
//
// Tests drive it by hand through SetMediaTimeSource.
#ifndef PLATFORM_QUARTZCORE_MEDIA_TIME_H_
#define PLATFORM_QUARTZCORE_MEDIA_TIME_H_

#include <functional>

double CACurrentMediaTime();

namespace platform::quartzcore {

// Replaces the clock CACurrentMediaTime reads; null restores the monotonic clock.
void SetMediaTimeSource(std::function<double()> source);

}  // namespace platform::quartzcore

#endif  // PLATFORM_QUARTZCORE_MEDIA_TIME_H_
