#include "face_ml/relative_velocity_filter.h"

#include <cmath>

#include "base/logging.h"

namespace research {
namespace sorvanti {
namespace {

// The window reaches back (n + 1) frames of 30 per second for n stored steps.
constexpr int64_t kAssumedMaxDuration = 33333333;  // nanoseconds

}  // namespace

RelativeVelocityFilter::RelativeVelocityFilter(size_t window_size, float velocity_scale)
    : window_(window_size), low_pass_filter_(1.0f), velocity_scale_(velocity_scale) {}

float RelativeVelocityFilter::Apply(absl::Duration timestamp, float value_scale, float value) {
  const int64_t new_timestamp = absl::ToInt64Nanoseconds(timestamp);
  if (new_timestamp - last_timestamp_ <= 0) {
    LOG(WARNING) << "New timestamp is equal or less than the last one.";
    return value;
  }

  float alpha = 1.0f;
  if (last_timestamp_ != -1) {
    const float distance = value * value_scale - last_value_ * last_value_scale_;
    const int64_t duration = new_timestamp - last_timestamp_;

    float cumulative_distance = distance;
    int64_t cumulative_duration = duration;
    const int64_t max_duration =
        static_cast<int64_t>(window_.size() + 1) * kAssumedMaxDuration;
    for (const WindowElement& element : window_) {
      if (cumulative_duration + element.duration > max_duration) break;
      cumulative_distance += element.distance;
      cumulative_duration += element.duration;
    }
    const float velocity = static_cast<float>(
        cumulative_distance / (static_cast<double>(cumulative_duration) * 1e-9));
    alpha = 1.0f - 1.0f / (1.0f + velocity_scale_ * std::abs(velocity));
    window_.push_front({distance, duration});
  }

  last_value_ = value;
  last_value_scale_ = value_scale;
  last_timestamp_ = new_timestamp;
  return low_pass_filter_.ApplyWithAlpha(value, alpha);
}

}  // namespace sorvanti
}  // namespace research
