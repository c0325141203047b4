#include "platform/coremedia/media_time.h"

#include <cmath>
#include <limits>

CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale) {
  if (timescale <= 0) return kCMTimeInvalid;
  return {value, timescale, kCMTimeFlags_Valid, 0};
}

CMTime CMTimeMakeWithSeconds(double seconds, int32_t preferred_timescale) {
  if (std::isnan(seconds) || preferred_timescale <= 0) return kCMTimeInvalid;
  double scaled = std::round(seconds * preferred_timescale);
  // 2^63 is the first double beyond the value range.
  if (scaled >= 9223372036854775808.0) return kCMTimePositiveInfinity;
  if (scaled < -9223372036854775808.0) return kCMTimeNegativeInfinity;
  CMTime time = CMTimeMake(static_cast<CMTimeValue>(scaled), preferred_timescale);
  if (scaled != seconds * preferred_timescale) time.flags |= kCMTimeFlags_HasBeenRounded;
  return time;
}

double CMTimeGetSeconds(CMTime time) {
  if (!CMTIME_IS_VALID(time) || (time.flags & kCMTimeFlags_Indefinite) != 0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if ((time.flags & kCMTimeFlags_PositiveInfinity) != 0) return std::numeric_limits<double>::infinity();
  if ((time.flags & kCMTimeFlags_NegativeInfinity) != 0) return -std::numeric_limits<double>::infinity();
  if (time.timescale <= 0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(time.value) / static_cast<double>(time.timescale);
}
