// PellumoTimestampConverter: media times to strictly increasing graph timestamps.
//
// Each media time becomes microseconds (its seconds rounded to single precision first) plus an
// offset; when that is not above the last result, the result is the last one plus one
// microsecond and the offset grows to match, so later times keep their spacing.
//
//   auto converter = PellumoTimestampConverter::init();
//   converter->timestampForMediaTime(CMTimeMake(1, 1));      // 1000000
//   converter->timestampForMediaTime(CMTimeMake(1, 1));      // 1000001
//   converter->timestampForMediaTime(CMTimeMake(1, 2));      // 1000002
//
// An invalid media time counts as 0 seconds. A time that gives no representable timestamp (not
// finite, beyond the 64-bit range, a reserved timestamp value) or an overflowing sum ends the
// process. Not thread-safe.

#ifndef GPU_PELLUMO_GRAPH_TIMESTAMP_CONVERTER_H_
#define GPU_PELLUMO_GRAPH_TIMESTAMP_CONVERTER_H_

#include <memory>

#include "graph/timestamp.h"
#include "platform/coremedia/media_time.h"

class PellumoTimestampConverter {
 public:
  // A converter after `reset`.
  static std::shared_ptr<PellumoTimestampConverter> init();

  // Forgets every earlier time: the last timestamp becomes Timestamp::Min() and the offset 0.
  void reset();
  kaldren::Timestamp timestampForMediaTime(CMTime mediaTime);
  kaldren::Timestamp lastTimestamp() const { return lastTimestamp_; }

 private:
  kaldren::Timestamp pellumoTimestamp_ = kaldren::Timestamp::Unset();
  kaldren::Timestamp lastTimestamp_ = kaldren::Timestamp::Unset();
  kaldren::TimestampDiff timestampOffset_{int64_t{0}};
};

#endif  // GPU_PELLUMO_GRAPH_TIMESTAMP_CONVERTER_H_
