#ifndef PLATFORM_QUARTZCORE_CA_ANIMATION_H_
#define PLATFORM_QUARTZCORE_CA_ANIMATION_H_

// Core Animation's animation objects as records: timing functions by name and keyframe
// animations of one key path. Whoever runs them (a scene node, scn_action.h) decides when they
// end; values in between are linear between keyframes, whatever the timing functions say.
//
//   auto bounce = CAKeyframeAnimation::animationWithKeyPath("transform.scale.x");
//   bounce->setValues({0.17, 0.1955, 0.1649});
//   bounce->setKeyTimes({0, 0.5, 1});
//   bounce->setTimingFunctions({CAMediaTimingFunction::functionWithName(
//       kCAMediaTimingFunctionEaseOut), ...});
//   bounce->setDuration(0.7);
//   node->addAnimation(bounce, "transform.scale.x");
//
// Set an animation up before handing it over; after that it is read only, from any thread.

#include <memory>
#include <string>
#include <vector>

using CAMediaTimingFunctionName = std::string;
extern const CAMediaTimingFunctionName kCAMediaTimingFunctionLinear;
extern const CAMediaTimingFunctionName kCAMediaTimingFunctionEaseIn;
extern const CAMediaTimingFunctionName kCAMediaTimingFunctionEaseOut;
extern const CAMediaTimingFunctionName kCAMediaTimingFunctionEaseInEaseOut;
extern const CAMediaTimingFunctionName kCAMediaTimingFunctionDefault;

class CAMediaTimingFunction {
 public:
  static std::shared_ptr<CAMediaTimingFunction> functionWithName(CAMediaTimingFunctionName name);
  explicit CAMediaTimingFunction(CAMediaTimingFunctionName name) : name_(std::move(name)) {}
  const CAMediaTimingFunctionName& name() const { return name_; }

 private:
  const CAMediaTimingFunctionName name_;
};

class CAAnimation {
 public:
  virtual ~CAAnimation() = default;
  // Seconds; 0 means the platform's default of 0.25 s.
  double duration() const { return duration_; }
  void setDuration(double seconds) { duration_ = seconds; }
  // The duration it runs for.
  double effectiveDuration() const { return duration_ > 0 ? duration_ : 0.25; }
  bool isRemovedOnCompletion() const { return removed_on_completion_; }
  void setRemovedOnCompletion(bool removed) { removed_on_completion_ = removed; }

 private:
  double duration_ = 0;
  bool removed_on_completion_ = true;
};

class CAPropertyAnimation : public CAAnimation {
 public:
  const std::string& keyPath() const { return key_path_; }
  void setKeyPath(std::string key_path) { key_path_ = std::move(key_path); }

 private:
  std::string key_path_;
};

class CAKeyframeAnimation : public CAPropertyAnimation {
 public:
  static std::shared_ptr<CAKeyframeAnimation> animationWithKeyPath(std::string key_path);

  const std::vector<double>& values() const { return values_; }
  void setValues(std::vector<double> values) { values_ = std::move(values); }
  // Fractions of the duration, one per value; empty spreads the values evenly.
  const std::vector<double>& keyTimes() const { return key_times_; }
  void setKeyTimes(std::vector<double> key_times) { key_times_ = std::move(key_times); }
  // One per interval between keyframes.
  const std::vector<std::shared_ptr<CAMediaTimingFunction>>& timingFunctions() const {
    return timing_functions_;
  }
  void setTimingFunctions(std::vector<std::shared_ptr<CAMediaTimingFunction>> functions) {
    timing_functions_ = std::move(functions);
  }

  // The animated value at `fraction` (0..1) of the duration, linear between keyframes; 0 without
  // values.
  double ValueAtFraction(double fraction) const;

 private:
  std::vector<double> values_;
  std::vector<double> key_times_;
  std::vector<std::shared_ptr<CAMediaTimingFunction>> timing_functions_;
};

#endif  // PLATFORM_QUARTZCORE_CA_ANIMATION_H_
