#ifndef PLATFORM_COREMEDIA_MEDIA_TIME_H_
#define PLATFORM_COREMEDIA_MEDIA_TIME_H_

// Core Media time: a rational number of seconds, value / timescale, with flags.
//
//   CMTime t = CMTimeMake(3003, 30000);        // 0.1001 s
//   if (CMTIME_IS_VALID(t)) seconds = CMTimeGetSeconds(t);
//
// A time is valid when bit 0 of its flags is set. Times made here never have a timescale of
// zero or less: CMTimeMake with such a timescale gives kCMTimeInvalid. CMTimeGetSeconds
// gives NaN for an invalid or indefinite time and plus or minus infinity for the infinite
// ones. Plain values, thread-safe.

#include <cstdint>

using CMTimeValue = int64_t;
using CMTimeScale = int32_t;
using CMTimeEpoch = int64_t;
using CMTimeFlags = uint32_t;

inline constexpr CMTimeFlags kCMTimeFlags_Valid = 1u << 0;
inline constexpr CMTimeFlags kCMTimeFlags_HasBeenRounded = 1u << 1;
inline constexpr CMTimeFlags kCMTimeFlags_PositiveInfinity = 1u << 2;
inline constexpr CMTimeFlags kCMTimeFlags_NegativeInfinity = 1u << 3;
inline constexpr CMTimeFlags kCMTimeFlags_Indefinite = 1u << 4;

struct CMTime {
  CMTimeValue value;
  CMTimeScale timescale;
  CMTimeFlags flags;
  CMTimeEpoch epoch;
};

inline constexpr CMTime kCMTimeInvalid = {0, 0, 0, 0};
inline constexpr CMTime kCMTimeZero = {0, 1, kCMTimeFlags_Valid, 0};
inline constexpr CMTime kCMTimePositiveInfinity = {0, 0, kCMTimeFlags_Valid | kCMTimeFlags_PositiveInfinity, 0};
inline constexpr CMTime kCMTimeNegativeInfinity = {0, 0, kCMTimeFlags_Valid | kCMTimeFlags_NegativeInfinity, 0};

#define CMTIME_IS_VALID(time) ((((time).flags) & kCMTimeFlags_Valid) != 0)
#define CMTIME_IS_INVALID(time) (!CMTIME_IS_VALID(time))

// value / timescale seconds; kCMTimeInvalid when timescale <= 0.
CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale);
// `seconds` rounded to the nearest multiple of 1 / timescale (flagged as rounded when that
// changes it); NaN or a timescale <= 0 gives kCMTimeInvalid, a value beyond the 64-bit range
// the infinity of its sign.
CMTime CMTimeMakeWithSeconds(double seconds, int32_t preferred_timescale);
double CMTimeGetSeconds(CMTime time);

#endif  // PLATFORM_COREMEDIA_MEDIA_TIME_H_
