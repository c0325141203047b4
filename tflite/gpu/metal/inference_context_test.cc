#include "tflite/gpu/metal/inference_context.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "base/cpu_features.h"
#include "base/status_test_util.h"
#include "gtest/gtest.h"
#include "platform/metal/half.h"
#include "tflite/gpu/metal/api.h"
#include "tflite/gpu/metal/half_conversion.h"
#include "tflite/gpu/metal/testing_util.h"
#include "tflite/gpu/operations.h"

namespace tflite {
namespace gpu {
namespace metal {
namespace {

using testing_util::Outcome;
using testing_util::RunOperation;
using testing_util::Tensor;

float Half(float v) { return platform::metal::HalfToFloat(platform::metal::FloatToHalf(v)); }

// Deterministic values in [-1, 1), already binary16, as the model's input buffers hold them.
Tensor Values(int64_t n, uint32_t seed) {
  Tensor t(n);
  for (float& v : t) {
    seed = seed * 1664525u + 1013904223u;
    v = Half(static_cast<float>(seed >> 8) / (1 << 23) - 1.0f);
  }
  return t;
}

size_t At(const BHWC& s, int b, int y, int x, int c) {
  return ((static_cast<size_t>(b) * s.h + y) * s.w + x) * s.c + c;
}

// Plain loops of the operations, in float, reading the same inputs.
Tensor ReferenceConvolution(const Tensor& x, const BHWC& in, const Convolution2DAttributes& a,
                            bool depthwise, const BHWC& out) {
  Tensor y(out.DimensionsProduct());
  const ConvWeights& w = a.weights;
  for (int b = 0; b < out.b; ++b)
    for (int oy = 0; oy < out.h; ++oy)
      for (int ox = 0; ox < out.w; ++ox)
        for (int oc = 0; oc < out.c; ++oc) {
          double sum = a.bias.empty() ? 0.0 : a.bias[oc];
          for (int ky = 0; ky < w.h; ++ky)
            for (int kx = 0; kx < w.w; ++kx) {
              const int iy = oy * a.strides.h - a.padding.prepended.h + ky * a.dilations.h;
              const int ix = ox * a.strides.w - a.padding.prepended.w + kx * a.dilations.w;
              if (iy < 0 || iy >= in.h || ix < 0 || ix >= in.w) continue;
              if (depthwise) {
                const int ic = oc / w.o, m = oc % w.o;
                sum += x[At(in, b, iy, ix, ic)] * w.data[((m * w.h + ky) * w.w + kx) * w.i + ic];
              } else {
                for (int ic = 0; ic < in.c; ++ic) {
                  sum += x[At(in, b, iy, ix, ic)] * w.data[((oc * w.h + ky) * w.w + kx) * w.i + ic];
                }
              }
            }
          y[At(out, b, oy, ox, oc)] = static_cast<float>(sum);
        }
  return y;
}

Tensor ReferencePooling(const Tensor& x, const BHWC& in, const Pooling2DAttributes& a,
                        const BHWC& out) {
  Tensor y(out.DimensionsProduct());
  for (int b = 0; b < out.b; ++b)
    for (int oy = 0; oy < out.h; ++oy)
      for (int ox = 0; ox < out.w; ++ox)
        for (int c = 0; c < out.c; ++c) {
          double acc = a.type == PoolingType::MAX ? -1e30 : 0.0;
          int count = 0;
          for (int ky = 0; ky < a.kernel.h; ++ky)
            for (int kx = 0; kx < a.kernel.w; ++kx) {
              const int iy = oy * a.strides.h - a.padding.prepended.h + ky;
              const int ix = ox * a.strides.w - a.padding.prepended.w + kx;
              if (iy < 0 || iy >= in.h || ix < 0 || ix >= in.w) continue;
              const float v = x[At(in, b, iy, ix, c)];
              acc = a.type == PoolingType::MAX ? std::max<double>(acc, v) : acc + v;
              ++count;
            }
          y[At(out, b, oy, ox, c)] =
              static_cast<float>(a.type == PoolingType::MAX ? acc : acc / count);
        }
  return y;
}

ConvWeights Weights(int o, int h, int w, int i, uint32_t seed) {
  return {o, h, w, i, Values(int64_t{o} * h * w * i, seed)};
}

void ExpectNear(const Tensor& actual, const Tensor& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    // One rounding to binary16 of the result, plus float accumulation.
    ASSERT_NEAR(actual[i], expected[i], 1e-3f * std::max(1.0f, std::fabs(expected[i])))
        << "element " << i;
    // The stored value is a binary16.
    ASSERT_EQ(actual[i], Half(actual[i])) << "element " << i;
  }
}

struct OpCase {
  std::string name;
  Operation op;
  std::vector<BHWC> inputs;
  BHWC output;
  std::function<Tensor(const std::vector<Tensor>&)> reference;
};

void PrintTo(const OpCase& c, std::ostream* os) { *os << c.name; }

std::vector<OpCase> Cases() {
  std::vector<OpCase> cases;
  {
    Convolution2DAttributes a;
    a.weights = Weights(5, 3, 3, 3, 7);
    a.bias = Values(5, 8);
    a.strides = HW(2, 1);
    a.padding = {HW(1, 1), HW(1, 1)};
    const BHWC in(1, 7, 6, 3), out(1, 4, 6, 5);
    cases.push_back({"Convolution", {ToString(OperationType::CONVOLUTION_2D), a}, {in}, out,
                     [=](const auto& x) { return ReferenceConvolution(x[0], in, a, false, out); }});
  }
  {
    Convolution2DAttributes a;
    a.weights = Weights(4, 2, 3, 2, 9);
    a.dilations = HW(2, 1);
    const BHWC in(2, 6, 5, 2), out(2, 4, 3, 4);
    cases.push_back({"DilatedBatchedConvolutionWithoutBias",
                     {ToString(OperationType::CONVOLUTION_2D), a}, {in}, out,
                     [=](const auto& x) { return ReferenceConvolution(x[0], in, a, false, out); }});
  }
  {
    DepthwiseConvolution2DAttributes a;
    a.weights = Weights(2, 3, 3, 3, 11);  // multiplier 2
    a.bias = Values(6, 12);
    a.padding = {HW(1, 1), HW(1, 1)};
    a.strides = HW(2, 2);
    const BHWC in(1, 6, 6, 3), out(1, 3, 3, 6);
    cases.push_back({"DepthwiseWithMultiplier",
                     {ToString(OperationType::DEPTHWISE_CONVOLUTION), a}, {in}, out,
                     [=](const auto& x) { return ReferenceConvolution(x[0], in, a, true, out); }});
  }
  for (PoolingType type : {PoolingType::MAX, PoolingType::AVERAGE}) {
    Pooling2DAttributes a;
    a.type = type;
    a.kernel = HW(3, 3);
    a.strides = HW(2, 2);
    a.padding = {HW(1, 1), HW(1, 1)};  // the average leaves the padding out
    const BHWC in(1, 6, 6, 5), out(1, 3, 3, 5);
    cases.push_back({type == PoolingType::MAX ? "MaxPooling" : "AveragePooling",
                     {ToString(OperationType::POOLING_2D), a}, {in}, out,
                     [=](const auto& x) { return ReferencePooling(x[0], in, a, out); }});
  }
  {
    FullyConnectedAttributes a;
    a.weights = Weights(7, 1, 1, 24, 13);
    a.bias = Values(7, 14);
    const BHWC in(1, 2, 3, 4), out(1, 1, 1, 7);
    cases.push_back({"FullyConnected", {ToString(OperationType::FULLY_CONNECTED), a}, {in}, out,
                     [=](const auto& x) {
                       Tensor y(7);
                       for (int o = 0; o < 7; ++o) {
                         double s = a.bias[o];
                         for (int i = 0; i < 24; ++i) s += x[0][i] * a.weights.data[o * 24 + i];
                         y[o] = static_cast<float>(s);
                       }
                       return y;
                     }});
  }
  // Element-wise operations over a runtime second operand and each kind of constant.
  const BHWC e(1, 3, 4, 5);
  auto binary = [&](const char* name, OperationType type, ElementwiseAttributes a,
                    std::function<float(float, float)> f) {
    std::vector<BHWC> inputs = {e};
    if (a.kind == ElementwiseAttributes::Kind::kRuntime) inputs.push_back(e);
    cases.push_back({name, {ToString(type), a}, inputs, e, [=](const auto& x) {
                       Tensor y(x[0].size());
                       for (size_t i = 0; i < y.size(); ++i) {
                         float second = 0;
                         switch (a.kind) {
                           case ElementwiseAttributes::Kind::kRuntime: second = x[1][i]; break;
                           case ElementwiseAttributes::Kind::kScalar: second = a.scalar; break;
                           case ElementwiseAttributes::Kind::kPerChannel:
                             second = a.values[i % e.c];
                             break;
                           case ElementwiseAttributes::Kind::kTensor: second = a.values[i]; break;
                         }
                         y[i] = f(x[0][i], second);
                       }
                       return y;
                     }});
  };
  using Kind = ElementwiseAttributes::Kind;
  binary("AddRuntime", OperationType::ADD, {}, std::plus<float>());
  binary("SubScalar", OperationType::SUB, {Kind::kScalar, 0.25f, {}, {}}, std::minus<float>());
  binary("MulPerChannel", OperationType::MUL, {Kind::kPerChannel, 0, Values(5, 21), {}},
         std::multiplies<float>());
  binary("AddTensor", OperationType::ADD, {Kind::kTensor, 0, Values(60, 22), HWC(3, 4, 5)},
         std::plus<float>());
  binary("Maximum", OperationType::MAXIMUM, {}, [](float a, float b) { return std::max(a, b); });
  // A runtime second operand of one pixel: its channels, or its one value, for every pixel.
  for (const int channels : {5, 1}) {
    const BHWC pixel(1, 1, 1, channels);
    cases.push_back({channels == 1 ? "MulRuntimeScalar" : "SubRuntimePerChannel",
                     {ToString(channels == 1 ? OperationType::MUL : OperationType::SUB),
                      ElementwiseAttributes{}},
                     {e, pixel},
                     e,
                     [=](const auto& x) {
                       Tensor y(x[0].size());
                       for (size_t i = 0; i < y.size(); ++i) {
                         const float b = x[1][channels == 1 ? 0 : i % e.c];
                         y[i] = channels == 1 ? x[0][i] * b : x[0][i] - b;
                       }
                       return y;
                     }});
  }

  auto unary = [&](const char* name, Operation op, std::function<float(float, size_t)> f) {
    cases.push_back({name, op, {e}, e, [=](const auto& x) {
                       Tensor y(x[0].size());
                       for (size_t i = 0; i < y.size(); ++i) y[i] = f(x[0][i], i);
                       return y;
                     }});
  };
  // The test feeds these cases inputs in [-4, 4), so clipping and saturation show.
  unary("Relu", {ToString(OperationType::RELU), ReLUAttributes{0, 0}},
        [](float v, size_t) { return std::max(v, 0.0f); });
  unary("Relu6", {ToString(OperationType::RELU), ReLUAttributes{3, 0}},
        [](float v, size_t) { return std::clamp(v, 0.0f, 3.0f); });
  unary("LeakyRelu", {ToString(OperationType::RELU), ReLUAttributes{0, 0.2f}},
        [](float v, size_t) { return v > 0 ? v : 0.2f * v; });
  const Tensor alpha = Values(5, 31);
  unary("PreluPerChannel",
        {ToString(OperationType::PRELU), PReLUAttributes{alpha, HWC(), true}},
        [alpha](float v, size_t i) { return v > 0 ? v : alpha[i % 5] * v; });
  const Tensor full_alpha = Values(60, 32);
  unary("PreluPerElement",
        {ToString(OperationType::PRELU), PReLUAttributes{full_alpha, HWC(3, 4, 5), false}},
        [full_alpha](float v, size_t i) { return v > 0 ? v : full_alpha[i] * v; });
  unary("Sigmoid", {ToString(OperationType::SIGMOID), {}},
        [](float v, size_t) { return 1.0f / (1.0f + std::exp(-v)); });
  unary("Tanh", {ToString(OperationType::TANH), {}}, [](float v, size_t) { return std::tanh(v); });
  {
    PadAttributes a{BHWC(0, 1, 0, 0), BHWC(0, 2, 1, 0)};
    const BHWC in(1, 2, 3, 2), out(1, 5, 4, 2);
    cases.push_back({"Pad", {ToString(OperationType::PAD), a}, {in}, out, [=](const auto& x) {
                       Tensor y(out.DimensionsProduct(), 0.0f);
                       for (int h = 0; h < 2; ++h)
                         for (int w = 0; w < 3; ++w)
                           for (int c = 0; c < 2; ++c)
                             y[At(out, 0, h + 1, w, c)] = x[0][At(in, 0, h, w, c)];
                       return y;
                     }});
  }
  for (Axis axis : {Axis::CHANNELS, Axis::HEIGHT, Axis::WIDTH}) {
    const BHWC a(1, 2, 3, 3);
    BHWC b = a, out = a;
    const char* name = "ConcatChannels";
    if (axis == Axis::CHANNELS) b.c = 6, out.c = 9;
    if (axis == Axis::HEIGHT) b.h = 1, out.h = 3, name = "ConcatHeight";
    if (axis == Axis::WIDTH) b.w = 2, out.w = 5, name = "ConcatWidth";
    cases.push_back({name, {ToString(OperationType::CONCAT), ConcatAttributes{axis}}, {a, b}, out,
                     [=](const auto& x) {
                       Tensor y(out.DimensionsProduct());
                       for (int h = 0; h < out.h; ++h)
                         for (int w = 0; w < out.w; ++w)
                           for (int c = 0; c < out.c; ++c) {
                             const bool first = h < a.h && w < a.w && c < a.c;
                             y[At(out, 0, h, w, c)] =
                                 first ? x[0][At(a, 0, h, w, c)]
                                       : x[1][At(b, 0, axis == Axis::HEIGHT ? h - a.h : h,
                                                 axis == Axis::WIDTH ? w - a.w : w,
                                                 axis == Axis::CHANNELS ? c - a.c : c)];
                           }
                       return y;
                     }});
  }
  {
    SliceAttributes a{BHWC(0, 1, 0, 2), BHWC(1, 4, 5, 7), BHWC(1, 2, 2, 1)};
    const BHWC in(1, 4, 5, 8), out(1, 2, 3, 5);
    cases.push_back({"StridedSlice", {ToString(OperationType::SLICE), a}, {in}, out,
                     [=](const auto& x) {
                       Tensor y;
                       for (int h = 1; h < 4; h += 2)
                         for (int w = 0; w < 5; w += 2)
                           for (int c = 2; c < 7; ++c) y.push_back(x[0][At(in, 0, h, w, c)]);
                       return y;
                     }});
  }
  {
    const BHWC in(1, 2, 3, 4), out(1, 1, 1, 24);
    cases.push_back({"Reshape", {ToString(OperationType::RESHAPE), ReshapeAttributes{out}}, {in},
                     out, [](const auto& x) { return x[0]; }});
  }
  {
    const BHWC in(1, 2, 2, 6);
    cases.push_back({"Softmax", {ToString(OperationType::SOFTMAX), SoftmaxAttributes{}}, {in}, in,
                     [](const auto& x) {
                       Tensor y(x[0].size());
                       for (size_t p = 0; p < y.size(); p += 6) {
                         double sum = 0;
                         for (int c = 0; c < 6; ++c) sum += std::exp(x[0][p + c]);
                         for (int c = 0; c < 6; ++c) y[p + c] = std::exp(x[0][p + c]) / sum;
                       }
                       return y;
                     }});
  }
  return cases;
}

class OperationTest : public testing::TestWithParam<OpCase> {};

TEST_P(OperationTest, MatchesPlainFloatLoop) {
  const OpCase& c = GetParam();
  std::vector<Tensor> inputs;
  for (size_t i = 0; i < c.inputs.size(); ++i) {
    inputs.push_back(Values(c.inputs[i].DimensionsProduct(), 100 + i));
  }
  std::vector<Tensor> fed = inputs;
  const bool scaled = c.op.type == ToString(OperationType::RELU) ||
                      c.op.type == ToString(OperationType::PRELU) ||
                      c.op.type == ToString(OperationType::SIGMOID) ||
                      c.op.type == ToString(OperationType::TANH);
  if (scaled) {
    for (float& v : fed[0]) v *= 4;  // exact in binary16
  }
  const Outcome run = RunOperation(c.op, c.inputs, fed, c.output);
  ASSERT_OK(run.status);
  ExpectNear(run.output, c.reference(fed));
}

INSTANTIATE_TEST_SUITE_P(Operations, OperationTest, testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

TEST(CompileTest, FoldsReluIntoTheConvolutionItFollows) {
  GraphFloat32 graph;
  Value* in = graph.NewValue();
  in->tensor.shape = BHWC(1, 4, 4, 2);
  Value* mid = graph.NewValue();
  mid->tensor.shape = BHWC(1, 4, 4, 3);
  Value* out = graph.NewValue();
  out->tensor.shape = mid->tensor.shape;
  Convolution2DAttributes a;
  a.weights = Weights(3, 1, 1, 2, 5);
  Node* conv = graph.NewNode();
  conv->operation = {ToString(OperationType::CONVOLUTION_2D), a};
  Node* relu = graph.NewNode();
  relu->operation = {ToString(OperationType::RELU), ReLUAttributes{6, 0}};
  ASSERT_OK(graph.AddConsumer(conv->id, in->id));
  ASSERT_OK(graph.SetProducer(conv->id, mid->id));
  ASSERT_OK(graph.AddConsumer(relu->id, mid->id));
  ASSERT_OK(graph.SetProducer(relu->id, out->id));
  CompiledModel compiled;
  ASSERT_OK(Compile(graph, {}, &compiled));
  ASSERT_EQ(compiled.size(), 1u);
  EXPECT_EQ(compiled[0]->output_buffer.id, out->id);
}

TEST(CompileTest, RefusesWhatItCannotRun) {
  // No task for a transposed convolution.
  const Outcome transposed = RunOperation(
      {ToString(OperationType::CONVOLUTION_TRANSPOSED), ConvolutionTransposedAttributes{}},
      {BHWC(1, 2, 2, 1)}, {Tensor(4)}, BHWC(1, 4, 4, 1));
  EXPECT_TRUE(absl::IsUnimplemented(transposed.status));
  EXPECT_EQ(transposed.status.message(), "Unsupported op: convolution_transposed");

  // Declared shapes that do not fit the operation fail instead of overrunning a buffer.
  Convolution2DAttributes a;
  a.weights = Weights(2, 3, 3, 1, 3);
  const Outcome conv = RunOperation({ToString(OperationType::CONVOLUTION_2D), a}, {BHWC(1, 4, 4, 1)},
                                {Tensor(16)}, BHWC(1, 4, 4, 2));
  EXPECT_TRUE(absl::IsInvalidArgument(conv.status)) << conv.status;
  const Outcome reshape = RunOperation({ToString(OperationType::RESHAPE), ReshapeAttributes{}},
                                   {BHWC(1, 2, 2, 1)}, {Tensor(4)}, BHWC(1, 1, 1, 5));
  EXPECT_FALSE(reshape.status.ok());
  const Outcome slice = RunOperation(
      {ToString(OperationType::SLICE), SliceAttributes{BHWC(0, 0, 0, 0), BHWC(1, 3, 2, 1)}},
      {BHWC(1, 2, 2, 1)}, {Tensor(4)}, BHWC(1, 3, 2, 1));
  EXPECT_FALSE(slice.status.ok());
}

TEST(CompileTest, Fp32StorageKeepsFloats) {
  const BHWC s(1, 1, 1, 4);
  const Outcome run = RunOperation({ToString(OperationType::ADD),
                                ElementwiseAttributes{ElementwiseAttributes::Kind::kScalar,
                                                      1.0f / 3, {}, {}}},
                               {s}, {Tensor{0, 0, 0, 0}}, s,
                               {RuntimeOptions::Precision::FP32, RuntimeOptions::Precision::FP32, 1});
  ASSERT_OK(run.status);
  // The model's output buffer is half-float either way.
  EXPECT_EQ(run.output[0], Half(1.0f / 3));
}

// With half storage, a task whose every reader rounds what it reads leaves its results
// unrounded, and those readers round them. Whatever the plan, the graph computes bit for bit
// what its operations give one at a time, each storing halves.
TEST(InferenceContextTest, RoundingLeftToReadersGivesWhatStoringHalvesGives) {
  GraphFloat32 graph;
  auto value = [&](const BHWC& shape) {
    Value* v = graph.NewValue();
    v->tensor.shape = shape;
    return v;
  };
  auto node = [&](const Operation& op, const std::vector<Value*>& in, Value* out) {
    Node* n = graph.NewNode();
    n->operation = op;
    for (Value* v : in) EXPECT_OK(graph.AddConsumer(n->id, v->id));
    EXPECT_OK(graph.SetProducer(n->id, out->id));
  };
  using Kind = ElementwiseAttributes::Kind;
  const BHWC in(1, 4, 5, 3), wide(1, 4, 5, 8), pooled(1, 2, 2, 3);
  Convolution2DAttributes to_wide, to_narrow;
  to_wide.weights = Weights(8, 1, 1, 3, 41);
  to_wide.bias = Values(8, 42);
  to_narrow.weights = Weights(3, 1, 1, 3, 43);
  Pooling2DAttributes pool;
  pool.type = PoolingType::AVERAGE;
  pool.kernel = pool.strides = HW(2, 2);
  const Operation conv_wide{ToString(OperationType::CONVOLUTION_2D), to_wide};
  const Operation conv_narrow{ToString(OperationType::CONVOLUTION_2D), to_narrow};
  const Operation add{ToString(OperationType::ADD), ElementwiseAttributes{}};
  const Operation sub{ToString(OperationType::SUB), ElementwiseAttributes{}};
  const Operation prelu{ToString(OperationType::PRELU),
                        PReLUAttributes{Values(8, 44), HWC(), true}};
  const Operation scale{ToString(OperationType::MUL),
                        ElementwiseAttributes{Kind::kScalar, 0.3f, {}, {}}};
  const Operation average{ToString(OperationType::POOLING_2D), pool};
  const Operation prelu12{ToString(OperationType::PRELU),
                          PReLUAttributes{Values(12, 47), HWC(), true}};
  const Operation relu6{ToString(OperationType::RELU), ReLUAttributes{6, 0}};

  Value* x = value(in);
  Value* y = value(wide);
  // A convolution read only by element-wise operations, as their first and second operand.
  Value* wide_conv = value(wide);
  node(conv_wide, {x}, wide_conv);
  Value* sum = value(wide);
  node(add, {wide_conv, y}, sum);
  Value* difference = value(wide);
  node(sub, {y, wide_conv}, difference);
  Value* activated = value(wide);
  node(prelu, {sum}, activated);
  // A convolution read by an element-wise operation and by an XNNPACK pooling.
  Value* narrow_conv = value(in);
  node(conv_narrow, {x}, narrow_conv);
  Value* scaled = value(in);
  node(scale, {narrow_conv}, scaled);
  Value* averaged = value(pooled);
  node(average, {narrow_conv}, averaged);
  // A run of element-wise operations, each reading the one before, per-channel values repeated
  // past a whole number of vectors.
  const BHWC big(1, 20, 13, 12);
  Value* p = value(big);
  Value* q = value(big);
  Value* chain = value(big);
  node(add, {p, q}, chain);
  for (const Operation* op : {&scale, &prelu12, &relu6}) {
    Value* next = value(big);
    node(*op, {chain}, next);
    chain = next;
  }

  const Tensor xs = Values(in.DimensionsProduct(), 45), ys = Values(wide.DimensionsProduct(), 46);
  Tensor ps = Values(big.DimensionsProduct(), 48), qs = Values(big.DimensionsProduct(), 49);
  for (float& v : ps) v *= 8;  // exact in binary16; some sums pass 6
  const testing_util::GraphOutcome run = testing_util::RunGraph(graph, {xs, ys, ps, qs});
  ASSERT_OK(run.status);

  auto step = [](const Operation& op, const std::vector<BHWC>& shapes,
                 const std::vector<Tensor>& inputs, const BHWC& out) {
    Outcome o = RunOperation(op, shapes, inputs, out);
    EXPECT_OK(o.status);
    return o.output;
  };
  const Tensor w = step(conv_wide, {in}, {xs}, wide);
  const Tensor n = step(conv_narrow, {in}, {xs}, in);
  const std::vector<Tensor> expected = {
      step(sub, {wide, wide}, {ys, w}, wide),
      step(prelu, {wide}, {step(add, {wide, wide}, {w, ys}, wide)}, wide),
      step(scale, {in}, {n}, in),
      step(average, {in}, {n}, pooled),
      step(relu6, {big},
           {step(prelu12, {big}, {step(scale, {big}, {step(add, {big, big}, {ps, qs}, big)}, big)},
                 big)},
           big)};
  ASSERT_EQ(run.outputs.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(run.outputs[i], expected[i]) << i;
}

TEST(InferenceContextTest, RefusesMissingOrShortBuffers) {
  GraphFloat32 graph;
  Value* in = graph.NewValue();
  in->tensor.shape = BHWC(1, 64, 64, 3);
  Value* out = graph.NewValue();
  out->tensor.shape = in->tensor.shape;
  Node* node = graph.NewNode();
  node->operation = {ToString(OperationType::SIGMOID), {}};
  ASSERT_OK(graph.AddConsumer(node->id, in->id));
  ASSERT_OK(graph.SetProducer(node->id, out->id));
  CompiledModel compiled;
  ASSERT_OK(Compile(graph, {}, &compiled));
  auto device = MTLCreateSystemDefaultDevice();
  TFLInferenceContext context;
  ASSERT_OK(context.compileModelWithDevice(device, compiled, {out->id}, {}));
  DimensionsMap dims;
  ASSERT_OK(context.setInputDimensions({{in->id, in->tensor.shape}}, &dims, compiled));
  auto commands = device->newCommandQueue()->commandBuffer();
  auto encoder = commands->computeCommandEncoder();
  const auto enough = device->newBufferWithLength(64 * 64 * 8, 0);
  const auto page = device->newBufferWithLength(4096, 0);
  EXPECT_FALSE(context.encodeWithEncoder(encoder.get(), {{in->id, enough}}).ok());
  const absl::Status short_output =
      context.encodeWithEncoder(encoder.get(), {{in->id, enough}, {out->id, page}});
  EXPECT_NE(short_output.message().find("too short"), std::string::npos) << short_output;
  encoder->endEncoding();
}

TEST(HalfConversionTest, BulkConversionsMatchTheScalarOnes) {
  std::vector<uint16_t> all(65536);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint16_t>(i);
  std::vector<float> floats(all.size());
  HalvesToFloats(all.data(), all.size(), floats.data());
  std::vector<uint16_t> back(all.size());
  FloatsToHalves(floats.data(), floats.size(), back.data());
  for (size_t i = 0; i < all.size(); ++i) {
    const float exact = platform::metal::HalfToFloat(all[i]);
    if (std::isnan(exact)) {
      ASSERT_TRUE(std::isnan(floats[i])) << i;
      ASSERT_EQ(back[i] & 0x7e00, 0x7e00) << i;  // still a (quiet) NaN
    } else {
      ASSERT_EQ(std::memcmp(&floats[i], &exact, sizeof(float)), 0) << i;
      ASSERT_EQ(back[i], all[i]) << i;
    }
  }
  // Halfway cases round to the even neighbour; the rounding helper agrees.
  std::vector<float> ties = {1.0f + 0x1p-11f, 1.0f + 3 * 0x1p-11f, 2049.0f, 2051.0f,
                             65519.0f, 65520.0f, 0x1p-25f, 3 * 0x1p-25f, -2049.0f};
  const std::vector<float> expected = {1.0f, 1.0f + 4 * 0x1p-11f, 2048.0f, 2052.0f, 65504.0f,
                                       std::numeric_limits<float>::infinity(), 0.0f, 0x1p-23f,
                                       -2048.0f};
  std::vector<float> rounded = ties;
  RoundToHalfPrecision(rounded.data(), rounded.size());
  EXPECT_EQ(rounded, expected);
}

// Counts that leave a remainder after the eight-lane steps (one and five elements): every
// pattern class at every position gives the scalar result, except that a signalling NaN is
// quieted wherever the processor's conversion instruction is used.
TEST(HalfConversionTest, HalvesToFloatsTreatsEveryPositionAlike) {
  const std::vector<uint16_t> patterns = {0x0000, 0x8000, 0x0001, 0x83FF, 0x3C00, 0xC001,
                                          0x7BFF, 0x7C00, 0xFC00, 0x7E00, 0xFE01,
                                          0x7C01, 0xFD55, 0x7DFF};  // the last three signal
  const bool quiets = base::CpuHasF16c();
  for (size_t count : {size_t{9}, size_t{13}}) {
    for (uint16_t pattern : patterns) {
      for (size_t at = 0; at < count; ++at) {
        std::vector<uint16_t> halves(count, 0x3555);
        halves[at] = pattern;
        std::vector<float> floats(count, -1.0f);
        HalvesToFloats(halves.data(), count, floats.data());
        uint32_t expected = std::bit_cast<uint32_t>(platform::metal::HalfToFloat(pattern));
        const bool signalling = (pattern & 0x7C00) == 0x7C00 && (pattern & 0x03FF) != 0 &&
                                (pattern & 0x0200) == 0;
        if (signalling && quiets) expected |= 0x00400000u;
        ASSERT_EQ(std::bit_cast<uint32_t>(floats[at]), expected)
            << count << " elements, 0x" << std::hex << pattern << " at " << std::dec << at;
        for (size_t k = 0; k < count; ++k) {
          if (k != at) {
            ASSERT_EQ(floats[k], platform::metal::HalfToFloat(0x3555)) << k;
          }
        }
      }
    }
  }
}

TEST(HalfConversionTest, PHWC4RoundTripPadsTheLastSlice) {
  const BHWC s(2, 2, 3, 6);  // two slices, the second half padding
  const Tensor x = Values(s.DimensionsProduct(), 5);
  std::vector<uint16_t> phwc4(GetElementsSizeForPHWC4(s), 0xffff);
  NHWCFloatsToPHWC4Halves(x.data(), s, phwc4.data());
  // Element (n, y, x, k) sits at (((n * slices + k / 4) * h + y) * w + x) * 4 + k % 4.
  EXPECT_EQ(platform::metal::HalfToFloat(phwc4[(((1 * 2 + 1) * 2 + 1) * 3 + 2) * 4 + 1]),
            x[At(s, 1, 1, 2, 5)]);
  EXPECT_EQ(phwc4[(((1 * 2 + 1) * 2 + 1) * 3 + 2) * 4 + 2], 0);
  Tensor back(x.size());
  PHWC4HalvesToNHWCFloats(phwc4.data(), s, back.data());
  EXPECT_EQ(back, x);
}

// Every channel count of a slice, one and several slices, one and several batches: the bulk
// conversions agree element by element with the layout's formula and touch nothing past the
// tensors' ends.
TEST(HalfConversionTest, PHWC4ConversionsFollowTheLayoutForEveryChannelCount) {
  for (const BHWC s : {BHWC(1, 3, 5, 1), BHWC(1, 4, 3, 2), BHWC(2, 3, 3, 3), BHWC(1, 2, 2, 4),
                       BHWC(2, 2, 3, 7), BHWC(1, 1, 1, 3)}) {
    SCOPED_TRACE(ToString(s));
    const int slices = (s.c + 3) / 4;
    const Tensor x = Values(s.DimensionsProduct(), 11);
    std::vector<uint16_t> phwc4(GetElementsSizeForPHWC4(s) + 4, 0xffff);
    NHWCFloatsToPHWC4Halves(x.data(), s, phwc4.data());
    Tensor back(x.size() + 4, 7.0f);
    PHWC4HalvesToNHWCFloats(phwc4.data(), s, back.data());
    for (int b = 0; b < s.b; ++b)
      for (int y = 0; y < s.h; ++y)
        for (int xx = 0; xx < s.w; ++xx)
          for (int k = 0; k < slices * 4; ++k) {
            const uint16_t half =
                phwc4[((static_cast<size_t>(b * slices + k / 4) * s.h + y) * s.w + xx) * 4 + k % 4];
            if (k >= s.c) {
              ASSERT_EQ(half, 0) << b << " " << y << " " << xx << " " << k;
              continue;
            }
            const size_t i = At(s, b, y, xx, k);
            ASSERT_EQ(platform::metal::HalfToFloat(half), x[i]) << i;
            ASSERT_EQ(back[i], x[i]) << i;
          }
    EXPECT_EQ(std::vector<uint16_t>(phwc4.end() - 4, phwc4.end()),
              std::vector<uint16_t>(4, 0xffff));
    EXPECT_EQ(Tensor(back.end() - 4, back.end()), Tensor(4, 7.0f));
  }
}

}  // namespace
}  // namespace metal
}  // namespace gpu
}  // namespace tflite
