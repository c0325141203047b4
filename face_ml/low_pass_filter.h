// An exponential low-pass filter of one scalar signal:
//   out = (1 - alpha) * previous out + alpha * value.
// The first value passes through unchanged.

#ifndef FACE_ML_LOW_PASS_FILTER_H_
#define FACE_ML_LOW_PASS_FILTER_H_

namespace research {
namespace sorvanti {

class LowPassFilter {
 public:
  explicit LowPassFilter(float alpha);

  float Apply(float value);
  // SetAlpha(alpha), then Apply(value).
  float ApplyWithAlpha(float value, float alpha);
  // An alpha outside [0, 1] is logged at ERROR and ignored.
  void SetAlpha(float alpha);

  bool HasLastRawValue() const { return initialized_; }
  float LastRawValue() const { return raw_value_; }
  float LastValue() const { return stored_value_; }

 private:
  float raw_value_ = 0;
  float alpha_ = 0;
  float stored_value_ = 0;
  bool initialized_ = false;
};

}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_LOW_PASS_FILTER_H_
