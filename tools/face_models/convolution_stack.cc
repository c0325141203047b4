#include "tools/face_models/convolution_stack.h"

#include <cmath>

namespace tools {
namespace face_models {
namespace {

// A fixed linear congruential sequence: the same weights on every machine and run.
class WeightSource {
 public:
  explicit WeightSource(uint32_t seed) : state_(seed * 2654435761u + 1u) {}

  // Uniform in [-bound, bound].
  float Next(float bound) {
    state_ = state_ * 1664525u + 1013904223u;
    const double unit = static_cast<double>(state_ >> 8) / static_cast<double>(1u << 24);
    return static_cast<float>((2.0 * unit - 1.0) * bound);
  }

  std::vector<float> Uniform(size_t count, int fan_in) {
    // Variance 2 / fan_in keeps the scale of activations through rectifiers.
    const float bound = static_cast<float>(std::sqrt(6.0 / fan_in));
    std::vector<float> v(count);
    for (float& x : v) x = Next(bound);
    return v;
  }

  std::vector<float> Small(size_t count) {
    std::vector<float> v(count);
    for (float& x : v) x = Next(0.05f);
    return v;
  }

 private:
  uint32_t state_;
};

std::vector<float> Slopes(int channels) { return std::vector<float>(channels, 0.25f); }

}  // namespace

Tensor ConvolutionStack(Network& net, const Tensor& in, int stem_kernel, int stem_channels,
                        const std::vector<StackBlock>& blocks, uint32_t seed) {
  WeightSource w(seed);
  const int in_c = in.shape[3];
  Tensor t = net.Conv(in, stem_channels, stem_kernel, stem_kernel,
                      w.Uniform(size_t{1} * stem_channels * stem_kernel * stem_kernel * in_c,
                                stem_kernel * stem_kernel * in_c),
                      w.Small(stem_channels), 2, tflite::Padding_SAME);
  t = net.PRelu(t, Slopes(stem_channels));
  for (const StackBlock& block : blocks) {
    const int c = t.shape[3];
    Tensor x = t;
    if (block.stride == 2 && block.pool) {
      x = net.MaxPool(x, 2, 2, tflite::Padding_VALID);
    }
    const int dw_stride = block.pool ? 1 : block.stride;
    Tensor y = net.Depthwise(x, 3, w.Uniform(size_t{9} * c, 9), w.Small(c), dw_stride,
                             tflite::Padding_SAME);
    y = net.Pointwise(y, block.out_channels,
                      w.Uniform(size_t{1} * block.out_channels * c, c),
                      w.Small(block.out_channels));
    // Residual where the shapes allow it; the sum keeps its scale through the halving below.
    if (block.out_channels == c && y.shape == x.shape) {
      y = net.Affine(net.Add(y, x), 0.5f, 0.0f);
    }
    t = net.PRelu(y, Slopes(block.out_channels));
  }
  return t;
}

Tensor ZeroWeightedSummary(Network& net, const Tensor& t, uint32_t seed) {
  WeightSource w(seed);
  const int c = t.shape[3];
  Tensor s = net.Pointwise(t, 1, w.Uniform(c, c), {0.0f});
  return net.Affine(net.Logistic(s), 0.0f, 0.0f);
}

}  // namespace face_models
}  // namespace tools
