#include "face_ml/low_pass_filter.h"

#include "base/logging.h"

namespace research {
namespace sorvanti {

LowPassFilter::LowPassFilter(float alpha) { SetAlpha(alpha); }

float LowPassFilter::Apply(float value) {
  float result = value;
  if (initialized_) {
    const float weighted_value = alpha_ * value;
    result = static_cast<float>((1.0 - static_cast<double>(alpha_)) * stored_value_ +
                                static_cast<double>(weighted_value));
  } else {
    initialized_ = true;
  }
  raw_value_ = value;
  stored_value_ = result;
  return result;
}

float LowPassFilter::ApplyWithAlpha(float value, float alpha) {
  SetAlpha(alpha);
  return Apply(value);
}

void LowPassFilter::SetAlpha(float alpha) {
  if (alpha < 0.0f || alpha > 1.0f) {
    LOG(ERROR) << "alpha: " << alpha << " should be in [0.0, 1.0] range";
    return;
  }
  alpha_ = alpha;
}

}  // namespace sorvanti
}  // namespace research
