#include "gpu/pellumo_graph_timestamp_converter.h"

#include <cmath>
#include <cstdint>

#include "base/logging.h"

std::shared_ptr<PellumoTimestampConverter> PellumoTimestampConverter::init() {
  auto converter = std::make_shared<PellumoTimestampConverter>();
  converter->reset();
  return converter;
}

void PellumoTimestampConverter::reset() {
  pellumoTimestamp_ = kaldren::Timestamp::Min();
  lastTimestamp_ = kaldren::Timestamp::Min();
  timestampOffset_ = kaldren::TimestampDiff(int64_t{0});
}

kaldren::Timestamp PellumoTimestampConverter::timestampForMediaTime(CMTime mediaTime) {
  const double seconds = CMTIME_IS_VALID(mediaTime) ? CMTimeGetSeconds(mediaTime) : 0.0;
  // Seconds go through single precision before the scaling, so nearby media times that differ
  // below float resolution give the same microseconds.
  const double microseconds = std::trunc(static_cast<double>(static_cast<float>(seconds)) * 1e6);
  // Converting a value outside the 64-bit range (or NaN) would be undefined: refuse it here.
  CHECK(microseconds >= -9223372036854775808.0 && microseconds < 9223372036854775808.0)
      << "Media time has no timestamp: " << seconds << " s";
  kaldren::Timestamp t =
      kaldren::Timestamp(static_cast<int64_t>(microseconds)) + timestampOffset_;
  pellumoTimestamp_ = t;
  if (t <= lastTimestamp_) {
    timestampOffset_ = timestampOffset_ + (lastTimestamp_ - t) + kaldren::TimestampDiff(int64_t{1});
    t = lastTimestamp_ + kaldren::TimestampDiff(int64_t{1});
    pellumoTimestamp_ = t;
  }
  lastTimestamp_ = t;
  return t;
}
