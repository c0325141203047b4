// A small layer over ModelBuilder for writing networks by hand: each call adds one operator
// (with its constant weights) and returns the new tensor with its shape, so the generators
// read as the computation they describe. Weights are given in the file's layouts: convolution
// filters (out, h, w, in), depthwise filters (1, h, w, channels), fully connected (units,
// depth).
//
//   Network net;
//   Tensor x = net.Input({1, 64, 64, 3}, "input");
//   Tensor y = net.Relu(net.Conv(x, 8, 3, 3, weights, bias, 1, tflite::Padding_SAME));
//   net.SetOutputs({y});
//   std::vector<uint8_t> file = net.builder().Finish();
//
// Besides the operators it offers two iterations built from them, since the operator set has
// no division or square root: Newton's reciprocal and inverse square root.

#ifndef TOOLS_FACE_MODELS_NETWORK_H_
#define TOOLS_FACE_MODELS_NETWORK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tflite/schema_generated.h"
#include "tflite/testing/model_builder.h"

namespace tools {
namespace face_models {

struct Tensor {
  int id = -1;
  std::vector<int32_t> shape;
};

class Network {
 public:
  Network() = default;

  tflite::testing::ModelBuilder& builder() { return builder_; }

  Tensor Input(std::vector<int32_t> shape, const std::string& name);
  void SetInputs(const std::vector<Tensor>& inputs);
  void SetOutputs(const std::vector<Tensor>& outputs);
  // Gives the tensor a name of its own (model outputs are looked up by name in tools).
  void Name(const Tensor& t, const std::string& name);

  Tensor Conv(const Tensor& in, int out_channels, int kernel_h, int kernel_w,
              const std::vector<float>& weights, const std::vector<float>& bias, int stride,
              tflite::Padding padding,
              tflite::ActivationFunctionType activation = tflite::ActivationFunctionType_NONE);
  // A 1x1 convolution: weights (out, in).
  Tensor Pointwise(const Tensor& in, int out_channels, const std::vector<float>& weights,
                   const std::vector<float>& bias,
                   tflite::ActivationFunctionType activation = tflite::ActivationFunctionType_NONE);
  Tensor Depthwise(const Tensor& in, int kernel, const std::vector<float>& weights,
                   const std::vector<float>& bias, int stride, tflite::Padding padding,
                   tflite::ActivationFunctionType activation = tflite::ActivationFunctionType_NONE);
  Tensor AveragePool(const Tensor& in, int size, int stride, tflite::Padding padding);
  Tensor MaxPool(const Tensor& in, int size, int stride, tflite::Padding padding);
  // Input flattened to [1, depth]; output [1, units].
  Tensor FullyConnected(const Tensor& in, int units, const std::vector<float>& weights,
                        const std::vector<float>& bias);
  // Zero padding of the height and width of an NHWC tensor.
  Tensor Pad(const Tensor& in, int top, int bottom, int left, int right);
  Tensor Reshape(const Tensor& in, std::vector<int32_t> shape);
  Tensor Concat(const std::vector<Tensor>& parts, int axis);
  // Element-wise operations of two different computed tensors of one shape (a node of the GPU
  // graph takes each value once).
  Tensor Add(const Tensor& a, const Tensor& b);
  Tensor Mul(const Tensor& a, const Tensor& b);
  // a * scale + offset, with scalar constants; an operator is left out where it would do
  // nothing.
  Tensor Affine(const Tensor& a, float scale, float offset);
  Tensor Relu(const Tensor& a);
  Tensor Logistic(const Tensor& a);
  // Per-channel slopes of the negative part.
  Tensor PRelu(const Tensor& a, const std::vector<float>& alpha);

  // 1 / a by Newton's iteration y <- y (2 - a y) from y = `start`. Converges for
  // 0 < a < 2 / start; the error 1 - a y squares with each of the `iterations`.
  Tensor Reciprocal(const Tensor& a, float start, int iterations);
  // 1 / sqrt(a) by Newton's iteration y <- y (1.5 - 0.5 a y^2) from y = `start`; increases
  // monotonically to the root for 0 < a < 1 / start^2.
  Tensor InverseSqrt(const Tensor& a, float start, int iterations);

 private:
  Tensor NewTensor(std::vector<int32_t> shape);
  int Constant(std::vector<int32_t> shape, const std::vector<float>& values);

  tflite::testing::ModelBuilder builder_;
};

}  // namespace face_models
}  // namespace tools

#endif  // TOOLS_FACE_MODELS_NETWORK_H_
