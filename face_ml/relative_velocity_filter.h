// A low-pass filter of one scalar signal whose smoothing follows the signal's velocity:
// a still value is smoothed strongly, a fast-moving one passes almost unchanged. Values
// are scaled by `value_scale` (the reciprocal of the object's size) before the velocity is
// measured, so the velocity is in object sizes per second.

#ifndef FACE_ML_RELATIVE_VELOCITY_FILTER_H_
#define FACE_ML_RELATIVE_VELOCITY_FILTER_H_

#include <cstddef>
#include <cstdint>

#include "absl/time/time.h"
#include "face_ml/circular_buffer.h"
#include "face_ml/low_pass_filter.h"

namespace research {
namespace sorvanti {

class RelativeVelocityFilter {
 public:
  // One step of the signal: the scaled change and how long it took.
  struct WindowElement {
    float distance = 0;
    int64_t duration = 0;  // nanoseconds
  };

  // The velocity is averaged over at most `window_size` earlier steps.
  RelativeVelocityFilter(size_t window_size, float velocity_scale);

  // The filtered value. A timestamp not after the previous one is logged at WARNING and the
  // value returned unchanged, without touching the filter's state.
  float Apply(absl::Duration timestamp, float value_scale, float value);

 private:
  float last_value_ = 0;
  float last_value_scale_ = 1;
  int64_t last_timestamp_ = -1;  // nanoseconds; -1 before the first sample
  qsx::CircularBuffer<WindowElement> window_;
  LowPassFilter low_pass_filter_;
  float velocity_scale_;
};

}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_RELATIVE_VELOCITY_FILTER_H_
