#include "tools/face_models/brightness_moments.h"

namespace tools {
namespace face_models {
namespace {

// The fill never reaches zero in the reciprocal, and variances are at least this. The floor
// draws centres towards the window centre by the factor fill / (fill + kFillFloor): by 11% at
// the detector's smallest fill of 0.008, where offsets are a few pixels.
constexpr float kFillFloor = 0.001f;
constexpr float kVarianceFloor = 1e-4f;

// fill + kFillFloor lies in [0.001, 1.001]: the reciprocal converges from below 2 / 1.001,
// and within 1e-6 at a fill of 0.008 after 10 steps.
constexpr float kReciprocalStart = 1.9f;
constexpr int kReciprocalSteps = 10;
// Variances lie below 1 (offsets within [-1, 1]): the inverse root converges from below
// sqrt(3), and within 1e-3 at a spread of 0.03 after 10 steps.
constexpr float kInverseSqrtStart = 1.7f;
constexpr int kInverseSqrtSteps = 10;

}  // namespace

Tensor Brightness(Network& net, const Tensor& input, float range_min, float range_max) {
  const float range = range_max - range_min;
  const float w = 1.0f / (3 * range * (1 - kDarkLevel));
  const float bias = (-range_min / range - kDarkLevel) / (1 - kDarkLevel);
  return net.Pointwise(input, 1, {w, w, w}, {bias}, tflite::ActivationFunctionType_RELU);
}

Tensor TwoChannels(Network& net, const Tensor& t) {
  if (t.shape.size() == 4) return net.Pointwise(t, 2, {1, 1}, {0, 0});
  return net.FullyConnected(t, 2, {1, 1}, {0, 0});
}

namespace {

Tensor InverseFill(Network& net, const Tensor& fill) {
  return TwoChannels(
      net, net.Reciprocal(net.Affine(fill, 1, kFillFloor), kReciprocalStart, kReciprocalSteps));
}

}  // namespace

Tensor MeasureCentre(Network& net, const Tensor& fill, const Tensor& mean) {
  return net.Mul(mean, InverseFill(net, fill));
}

CentreAndSpread MeasureBrightContent(Network& net, const Tensor& fill, const Tensor& mean,
                                     const Tensor& square) {
  const Tensor inverse = InverseFill(net, fill);
  const Tensor centre = net.Mul(mean, inverse);
  // centre^2 as centre * (-centre): a node takes each value once.
  const Tensor variance =
      net.Add(net.Mul(square, inverse), net.Mul(centre, net.Affine(centre, -1, 0)));
  const Tensor floored =
      net.Affine(net.Relu(net.Affine(variance, 1, -kVarianceFloor)), 1, kVarianceFloor);
  const Tensor spread =
      net.Mul(floored, net.InverseSqrt(floored, kInverseSqrtStart, kInverseSqrtSteps));
  return {centre, spread};
}

}  // namespace face_models
}  // namespace tools
