#include "platform/quartzcore/ca_animation.h"

#include <algorithm>

const CAMediaTimingFunctionName kCAMediaTimingFunctionLinear = "linear";
const CAMediaTimingFunctionName kCAMediaTimingFunctionEaseIn = "easeIn";
const CAMediaTimingFunctionName kCAMediaTimingFunctionEaseOut = "easeOut";
const CAMediaTimingFunctionName kCAMediaTimingFunctionEaseInEaseOut = "easeInEaseOut";
const CAMediaTimingFunctionName kCAMediaTimingFunctionDefault = "default";

std::shared_ptr<CAMediaTimingFunction> CAMediaTimingFunction::functionWithName(
    CAMediaTimingFunctionName name) {
  return std::make_shared<CAMediaTimingFunction>(std::move(name));
}

std::shared_ptr<CAKeyframeAnimation> CAKeyframeAnimation::animationWithKeyPath(
    std::string key_path) {
  auto animation = std::make_shared<CAKeyframeAnimation>();
  animation->setKeyPath(std::move(key_path));
  return animation;
}

double CAKeyframeAnimation::ValueAtFraction(double fraction) const {
  if (values_.empty()) return 0;
  const size_t n = values_.size();
  if (n == 1) return values_[0];
  fraction = std::clamp(fraction, 0.0, 1.0);
  auto time_of = [&](size_t i) {
    return key_times_.size() == n ? key_times_[i] : static_cast<double>(i) / (n - 1);
  };
  if (fraction <= time_of(0)) return values_.front();
  for (size_t i = 1; i < n; ++i) {
    const double t0 = time_of(i - 1);
    const double t1 = time_of(i);
    if (fraction <= t1) {
      const double span = t1 - t0;
      const double u = span > 0 ? (fraction - t0) / span : 1;
      return values_[i - 1] + (values_[i] - values_[i - 1]) * u;
    }
  }
  return values_.back();
}
