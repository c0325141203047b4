#include "tools/face_models/network.h"

#include <algorithm>
#include <utility>

#include "tools/require.h"

namespace tools {
namespace face_models {
namespace {


void Require(bool condition, const char* what) {
  tools::Require(condition, "face model network", what);
}

int OutputSize(int in, int kernel, int stride, tflite::Padding padding) {
  return padding == tflite::Padding_SAME ? (in + stride - 1) / stride
                                         : (in - kernel + stride) / stride;
}

}  // namespace

Tensor Network::NewTensor(std::vector<int32_t> shape) {
  const int id = builder_.AddTensor(shape);
  return {id, std::move(shape)};
}

int Network::Constant(std::vector<int32_t> shape, const std::vector<float>& values) {
  return builder_.AddConstTensor(std::move(shape), values);
}

Tensor Network::Input(std::vector<int32_t> shape, const std::string& name) {
  const int id = builder_.AddTensor(shape, name);
  return {id, std::move(shape)};
}

void Network::SetInputs(const std::vector<Tensor>& inputs) {
  std::vector<int32_t> ids;
  for (const Tensor& t : inputs) ids.push_back(t.id);
  builder_.SetInputs(std::move(ids));
}

void Network::SetOutputs(const std::vector<Tensor>& outputs) {
  std::vector<int32_t> ids;
  for (const Tensor& t : outputs) ids.push_back(t.id);
  builder_.SetOutputs(std::move(ids));
}

void Network::Name(const Tensor& t, const std::string& name) {
  builder_.subgraphs.back().tensors[t.id].name = name;
}

Tensor Network::Conv(const Tensor& in, int out_channels, int kernel_h, int kernel_w,
                     const std::vector<float>& weights, const std::vector<float>& bias,
                     int stride, tflite::Padding padding,
                     tflite::ActivationFunctionType activation) {
  Require(in.shape.size() == 4, "convolution of a tensor that is not NHWC");
  const int c = in.shape[3];
  Require(weights.size() == static_cast<size_t>(out_channels) * kernel_h * kernel_w * c,
          "convolution weights of the wrong size");
  Require(bias.size() == static_cast<size_t>(out_channels), "convolution bias of the wrong size");
  const int f = Constant({out_channels, kernel_h, kernel_w, c}, weights);
  const int b = Constant({out_channels}, bias);
  Tensor out = NewTensor({in.shape[0], OutputSize(in.shape[1], kernel_h, stride, padding),
                          OutputSize(in.shape[2], kernel_w, stride, padding), out_channels});
  builder_.AddOperator(tflite::BuiltinOperator_CONV_2D, {in.id, f, b}, {out.id},
                       tflite::BuiltinOptions_Conv2DOptions,
                       tflite::testing::Conv2D(padding, stride, stride, activation));
  return out;
}

Tensor Network::Pointwise(const Tensor& in, int out_channels, const std::vector<float>& weights,
                          const std::vector<float>& bias,
                          tflite::ActivationFunctionType activation) {
  return Conv(in, out_channels, 1, 1, weights, bias, 1, tflite::Padding_VALID, activation);
}

Tensor Network::Depthwise(const Tensor& in, int kernel, const std::vector<float>& weights,
                          const std::vector<float>& bias, int stride, tflite::Padding padding,
                          tflite::ActivationFunctionType activation) {
  Require(in.shape.size() == 4, "depthwise convolution of a tensor that is not NHWC");
  const int c = in.shape[3];
  Require(weights.size() == static_cast<size_t>(kernel) * kernel * c,
          "depthwise weights of the wrong size");
  Require(bias.size() == static_cast<size_t>(c), "depthwise bias of the wrong size");
  const int f = Constant({1, kernel, kernel, c}, weights);
  const int b = Constant({c}, bias);
  Tensor out = NewTensor({in.shape[0], OutputSize(in.shape[1], kernel, stride, padding),
                          OutputSize(in.shape[2], kernel, stride, padding), c});
  builder_.AddOperator(tflite::BuiltinOperator_DEPTHWISE_CONV_2D, {in.id, f, b}, {out.id},
                       tflite::BuiltinOptions_DepthwiseConv2DOptions,
                       tflite::testing::DepthwiseConv2D(padding, stride, stride, 1, activation));
  return out;
}

Tensor Network::AveragePool(const Tensor& in, int size, int stride, tflite::Padding padding) {
  Tensor out = NewTensor({in.shape[0], OutputSize(in.shape[1], size, stride, padding),
                          OutputSize(in.shape[2], size, stride, padding), in.shape[3]});
  builder_.AddOperator(tflite::BuiltinOperator_AVERAGE_POOL_2D, {in.id}, {out.id},
                       tflite::BuiltinOptions_Pool2DOptions,
                       tflite::testing::Pool2D(padding, stride, stride, size, size));
  return out;
}

Tensor Network::MaxPool(const Tensor& in, int size, int stride, tflite::Padding padding) {
  Tensor out = NewTensor({in.shape[0], OutputSize(in.shape[1], size, stride, padding),
                          OutputSize(in.shape[2], size, stride, padding), in.shape[3]});
  builder_.AddOperator(tflite::BuiltinOperator_MAX_POOL_2D, {in.id}, {out.id},
                       tflite::BuiltinOptions_Pool2DOptions,
                       tflite::testing::Pool2D(padding, stride, stride, size, size));
  return out;
}

Tensor Network::FullyConnected(const Tensor& in, int units, const std::vector<float>& weights,
                               const std::vector<float>& bias) {
  int64_t depth = 1;
  for (int32_t d : in.shape) depth *= d;
  Require(weights.size() == static_cast<size_t>(units * depth),
          "fully connected weights of the wrong size");
  Require(bias.size() == static_cast<size_t>(units), "fully connected bias of the wrong size");
  const int w = Constant({units, static_cast<int32_t>(depth)}, weights);
  const int b = Constant({units}, bias);
  Tensor out = NewTensor({1, units});
  builder_.AddOperator(tflite::BuiltinOperator_FULLY_CONNECTED, {in.id, w, b}, {out.id},
                       tflite::BuiltinOptions_FullyConnectedOptions,
                       tflite::testing::FullyConnected());
  return out;
}

Tensor Network::Pad(const Tensor& in, int top, int bottom, int left, int right) {
  Require(in.shape.size() == 4, "padding of a tensor that is not NHWC");
  const int p = builder_.AddConstIntTensor({4, 2}, {0, 0, top, bottom, left, right, 0, 0});
  Tensor out =
      NewTensor({in.shape[0], in.shape[1] + top + bottom, in.shape[2] + left + right, in.shape[3]});
  builder_.AddOperator(tflite::BuiltinOperator_PAD, {in.id, p}, {out.id},
                       tflite::BuiltinOptions_PadOptions, tflite::testing::Pad());
  return out;
}

Tensor Network::Reshape(const Tensor& in, std::vector<int32_t> shape) {
  Tensor out = NewTensor(shape);
  builder_.AddOperator(tflite::BuiltinOperator_RESHAPE, {in.id}, {out.id},
                       tflite::BuiltinOptions_ReshapeOptions,
                       tflite::testing::Reshape(std::move(shape)));
  return out;
}

Tensor Network::Concat(const std::vector<Tensor>& parts, int axis) {
  Require(!parts.empty(), "concatenation of nothing");
  std::vector<int32_t> shape = parts[0].shape;
  const int a = axis < 0 ? axis + static_cast<int>(shape.size()) : axis;
  shape[a] = 0;
  std::vector<int32_t> ids;
  for (const Tensor& t : parts) {
    shape[a] += t.shape[a];
    ids.push_back(t.id);
  }
  Tensor out = NewTensor(shape);
  builder_.AddOperator(tflite::BuiltinOperator_CONCATENATION, std::move(ids), {out.id},
                       tflite::BuiltinOptions_ConcatenationOptions,
                       tflite::testing::Concatenation(axis));
  return out;
}

Tensor Network::Add(const Tensor& a, const Tensor& b) {
  Require(a.shape == b.shape, "addition of tensors of different shapes");
  Require(a.id != b.id, "a GPU graph node takes a value once");
  Tensor out = NewTensor(a.shape);
  builder_.AddOperator(tflite::BuiltinOperator_ADD, {a.id, b.id}, {out.id},
                       tflite::BuiltinOptions_AddOptions, tflite::testing::Add());
  return out;
}

Tensor Network::Mul(const Tensor& a, const Tensor& b) {
  Require(a.shape == b.shape, "product of tensors of different shapes");
  Require(a.id != b.id, "a GPU graph node takes a value once: square by two products");
  Tensor out = NewTensor(a.shape);
  builder_.AddOperator(tflite::BuiltinOperator_MUL, {a.id, b.id}, {out.id},
                       tflite::BuiltinOptions_MulOptions, tflite::testing::Mul());
  return out;
}

Tensor Network::Affine(const Tensor& a, float scale, float offset) {
  Tensor t = a;
  if (scale != 1.0f) {
    Tensor out = NewTensor(t.shape);
    builder_.AddOperator(tflite::BuiltinOperator_MUL, {t.id, Constant({1}, {scale})}, {out.id},
                         tflite::BuiltinOptions_MulOptions, tflite::testing::Mul());
    t = out;
  }
  if (offset != 0.0f) {
    Tensor out = NewTensor(t.shape);
    builder_.AddOperator(tflite::BuiltinOperator_ADD, {t.id, Constant({1}, {offset})}, {out.id},
                         tflite::BuiltinOptions_AddOptions, tflite::testing::Add());
    t = out;
  }
  return t;
}

Tensor Network::Relu(const Tensor& a) {
  Tensor out = NewTensor(a.shape);
  builder_.AddOperator(tflite::BuiltinOperator_RELU, {a.id}, {out.id});
  return out;
}

Tensor Network::Logistic(const Tensor& a) {
  Tensor out = NewTensor(a.shape);
  builder_.AddOperator(tflite::BuiltinOperator_LOGISTIC, {a.id}, {out.id});
  return out;
}

Tensor Network::PRelu(const Tensor& a, const std::vector<float>& alpha) {
  Require(!a.shape.empty() && alpha.size() == static_cast<size_t>(a.shape.back()),
          "one PReLU slope per channel");
  Tensor out = NewTensor(a.shape);
  builder_.AddOperator(tflite::BuiltinOperator_PRELU,
                       {a.id, Constant({static_cast<int32_t>(alpha.size())}, alpha)}, {out.id});
  return out;
}

Tensor Network::Reciprocal(const Tensor& a, float start, int iterations) {
  Require(iterations >= 1, "a reciprocal needs at least one iteration");
  // The first step from the constant start is affine in a.
  Tensor y = Affine(a, -start * start, 2.0f * start);
  const Tensor minus_a = Affine(a, -1.0f, 0.0f);
  for (int i = 1; i < iterations; ++i) {
    y = Mul(y, Affine(Mul(minus_a, y), 1.0f, 2.0f));
  }
  return y;
}

Tensor Network::InverseSqrt(const Tensor& a, float start, int iterations) {
  Require(iterations >= 1, "an inverse square root needs at least one iteration");
  Tensor y = Affine(a, -0.5f * start * start * start, 1.5f * start);
  const Tensor minus_half_a = Affine(a, -0.5f, 0.0f);
  for (int i = 1; i < iterations; ++i) {
    y = Mul(y, Affine(Mul(Mul(minus_half_a, y), y), 1.0f, 1.5f));
  }
  return y;
}

}  // namespace face_models
}  // namespace tools
