#include "tflite/testing/reference_evaluator.h"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tflite/testing/model_builder.h"

namespace tflite {
namespace testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pointwise;
using ::testing::FloatNear;

// One operator over one runtime input and any number of constants, with hand-worked values.
struct OpCase {
  std::string name;
  FloatTensor input;
  // Adds the operator (and its constants) reading tensor `in` and writing tensor `out`.
  std::function<void(ModelBuilder&, int in, int out)> add;
  std::vector<int32_t> out_shape;
  std::vector<float> expected;
};

void PrintTo(const OpCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> OneOperatorModel(const OpCase& c) {
  ModelBuilder b;
  const int in = b.AddTensor(c.input.shape, "in");
  const int out = b.AddTensor(c.out_shape, "out");
  c.add(b, in, out);
  b.SetInputs({in});
  b.SetOutputs({out});
  return b.Finish();
}

class OperatorTest : public ::testing::TestWithParam<OpCase> {};

TEST_P(OperatorTest, MatchesHandWorkedValues) {
  const OpCase& c = GetParam();
  auto outputs = EvaluateModel(OneOperatorModel(c), {c.input});
  ASSERT_TRUE(outputs.ok()) << outputs.status();
  ASSERT_EQ(outputs->size(), 1u);
  EXPECT_EQ((*outputs)[0].shape, c.out_shape);
  EXPECT_THAT((*outputs)[0].data, Pointwise(FloatNear(1e-5), c.expected));
}

const FloatTensor k3x3{{1, 3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9}};
const FloatTensor k2x2{{1, 2, 2, 1}, {1, 2, 3, 4}};

INSTANTIATE_TEST_SUITE_P(
    Operators, OperatorTest,
    ::testing::Values(
        OpCase{"ConvValid", k3x3,
               [](ModelBuilder& b, int in, int out) {
                 const int f = b.AddConstTensor({1, 2, 2, 1}, {1, 1, 1, 1});
                 b.AddOperator(BuiltinOperator_CONV_2D, {in, f, -1}, {out},
                               BuiltinOptions_Conv2DOptions, Conv2D(Padding_VALID, 1, 1));
               },
               {1, 2, 2, 1}, {12, 16, 24, 28}},
        // SAME with stride 2 pads after, not before: the windows start at rows and columns 0
        // and 2.
        OpCase{"ConvSameStride2Bias", k3x3,
               [](ModelBuilder& b, int in, int out) {
                 const int f = b.AddConstTensor({1, 2, 2, 1}, {1, 1, 1, 1});
                 const int bias = b.AddConstTensor({1}, {1});
                 b.AddOperator(BuiltinOperator_CONV_2D, {in, f, bias}, {out},
                               BuiltinOptions_Conv2DOptions, Conv2D(Padding_SAME, 2, 2));
               },
               {1, 2, 2, 1}, {13, 10, 16, 10}},
        OpCase{"ConvRelu", k2x2,
               [](ModelBuilder& b, int in, int out) {
                 const int f = b.AddConstTensor({2, 1, 1, 1}, {1, -1});
                 b.AddOperator(BuiltinOperator_CONV_2D, {in, f}, {out},
                               BuiltinOptions_Conv2DOptions,
                               Conv2D(Padding_VALID, 1, 1, ActivationFunctionType_RELU));
               },
               {1, 2, 2, 2}, {1, 0, 2, 0, 3, 0, 4, 0}},
        // Output channel k reads input channel k / multiplier.
        OpCase{"DepthwiseMultiplier2", FloatTensor{{1, 1, 2, 2}, {1, 2, 3, 4}},
               [](ModelBuilder& b, int in, int out) {
                 const int f = b.AddConstTensor({1, 1, 1, 4}, {10, 20, 30, 40});
                 b.AddOperator(BuiltinOperator_DEPTHWISE_CONV_2D, {in, f}, {out},
                               BuiltinOptions_DepthwiseConv2DOptions,
                               DepthwiseConv2D(Padding_VALID, 1, 1, 2));
               },
               {1, 1, 2, 4}, {10, 20, 60, 80, 30, 60, 120, 160}},
        // Border windows average only the values inside the input.
        OpCase{"AveragePoolSame", k2x2,
               [](ModelBuilder& b, int in, int out) {
                 b.AddOperator(BuiltinOperator_AVERAGE_POOL_2D, {in}, {out},
                               BuiltinOptions_Pool2DOptions, Pool2D(Padding_SAME, 1, 1, 2, 2));
               },
               {1, 2, 2, 1}, {2.5, 3, 3.5, 4}},
        OpCase{"MaxPoolValid", k3x3,
               [](ModelBuilder& b, int in, int out) {
                 b.AddOperator(BuiltinOperator_MAX_POOL_2D, {in}, {out},
                               BuiltinOptions_Pool2DOptions, Pool2D(Padding_VALID, 1, 1, 2, 2));
               },
               {1, 2, 2, 1}, {5, 6, 8, 9}},
        // The input is flattened to [batch, depth] in NHWC order.
        OpCase{"FullyConnectedFlattens", k2x2,
               [](ModelBuilder& b, int in, int out) {
                 const int w = b.AddConstTensor({2, 4}, {1, 0, 0, 1, 0, 1, 1, 0});
                 const int bias = b.AddConstTensor({2}, {0.5, -0.5});
                 b.AddOperator(BuiltinOperator_FULLY_CONNECTED, {in, w, bias}, {out},
                               BuiltinOptions_FullyConnectedOptions,
                               tflite::testing::FullyConnected());
               },
               {1, 2}, {5.5, 4.5}},
        OpCase{"AddPerChannelRelu", FloatTensor{{1, 2, 2}, {1, -5, 3, -1}},
               [](ModelBuilder& b, int in, int out) {
                 const int k = b.AddConstTensor({2}, {1, 2});
                 b.AddOperator(BuiltinOperator_ADD, {in, k}, {out}, BuiltinOptions_AddOptions,
                               tflite::testing::Add(ActivationFunctionType_RELU));
               },
               {1, 2, 2}, {2, 0, 4, 1}},
        OpCase{"MulScalarFirst", FloatTensor{{1, 3}, {1, -2, 3}},
               [](ModelBuilder& b, int in, int out) {
                 const int k = b.AddConstTensor({1}, {-2});
                 b.AddOperator(BuiltinOperator_MUL, {k, in}, {out});
               },
               {1, 3}, {-2, 4, -6}},
        OpCase{"MulRuntimeOperands", FloatTensor{{1, 3}, {1, -2, 3}},
               [](ModelBuilder& b, int in, int out) {
                 b.AddOperator(BuiltinOperator_MUL, {in, in}, {out});
               },
               {1, 3}, {1, 4, 9}},
        OpCase{"PReluPerChannel", FloatTensor{{1, 2, 2}, {-1, -1, 2, -4}},
               [](ModelBuilder& b, int in, int out) {
                 const int alpha = b.AddConstTensor({2}, {0.5, 0.25});
                 b.AddOperator(BuiltinOperator_PRELU, {in, alpha}, {out});
               },
               {1, 2, 2}, {-0.5, -0.25, 2, -1}},
        OpCase{"Relu", FloatTensor{{3}, {-1, 0, 2}},
               [](ModelBuilder& b, int in, int out) {
                 b.AddOperator(BuiltinOperator_RELU, {in}, {out});
               },
               {3}, {0, 0, 2}},
        OpCase{"LeakyRelu", FloatTensor{{3}, {-1, 0, 2}},
               [](ModelBuilder& b, int in, int out) {
                 b.AddOperator(BuiltinOperator_LEAKY_RELU, {in}, {out},
                               BuiltinOptions_LeakyReluOptions, tflite::testing::LeakyRelu(0.2f));
               },
               {3}, {-0.2f, 0, 2}},
        OpCase{"Logistic", FloatTensor{{3}, {0, 2, -2}},
               [](ModelBuilder& b, int in, int out) {
                 b.AddOperator(BuiltinOperator_LOGISTIC, {in}, {out});
               },
               {3},
               {0.5f, static_cast<float>(1 / (1 + std::exp(-2.0))),
                static_cast<float>(1 / (1 + std::exp(2.0)))}},
        OpCase{"Pad", FloatTensor{{1, 1, 1, 1}, {5}},
               [](ModelBuilder& b, int in, int out) {
                 const int p = b.AddConstIntTensor({4, 2}, {0, 0, 1, 0, 0, 1, 0, 0});
                 b.AddOperator(BuiltinOperator_PAD, {in, p}, {out});
               },
               {1, 2, 2, 1}, {0, 0, 5, 0}},
        OpCase{"Reshape", k2x2,
               [](ModelBuilder& b, int in, int out) {
                 b.AddOperator(BuiltinOperator_RESHAPE, {in}, {out},
                               BuiltinOptions_ReshapeOptions, Reshape({1, 4}));
               },
               {1, 4}, {1, 2, 3, 4}},
        // Along the height, the second operand's rows follow the first's.
        OpCase{"ConcatenationHeight", FloatTensor{{1, 1, 1, 2}, {1, 2}},
               [](ModelBuilder& b, int in, int out) {
                 const int k = b.AddConstTensor({1, 2, 1, 2}, {3, 4, 5, 6});
                 b.AddOperator(BuiltinOperator_CONCATENATION, {in, k}, {out},
                               BuiltinOptions_ConcatenationOptions, Concatenation(1));
               },
               {1, 3, 1, 2}, {1, 2, 3, 4, 5, 6}},
        // Along the last axis, channels interleave per pixel.
        OpCase{"ConcatenationChannels", FloatTensor{{1, 2, 1}, {1, 2}},
               [](ModelBuilder& b, int in, int out) {
                 const int k = b.AddConstTensor({1, 2, 2}, {3, 4, 5, 6});
                 b.AddOperator(BuiltinOperator_CONCATENATION, {in, k}, {out},
                               BuiltinOptions_ConcatenationOptions, Concatenation(-1));
               },
               {1, 2, 3}, {1, 3, 4, 2, 5, 6}}),
    [](const ::testing::TestParamInfo<OpCase>& info) { return info.param.name; });

TEST(ReferenceEvaluatorTest, ChainsOperatorsAndReturnsOutputsInOrder) {
  ModelBuilder b;
  const int in = b.AddTensor({1, 2});
  const int doubled = b.AddTensor({1, 2});
  const int relu = b.AddTensor({1, 2});
  const int two = b.AddConstTensor({1}, {2});
  b.AddOperator(BuiltinOperator_MUL, {in, two}, {doubled});
  b.AddOperator(BuiltinOperator_RELU, {doubled}, {relu});
  b.SetInputs({in});
  b.SetOutputs({relu, doubled});
  auto outputs = EvaluateModel(b.Finish(), {{{1, 2}, {-1, 3}}});
  ASSERT_TRUE(outputs.ok()) << outputs.status();
  ASSERT_EQ(outputs->size(), 2u);
  EXPECT_THAT((*outputs)[0].data, ElementsAre(0, 6));
  EXPECT_THAT((*outputs)[1].data, ElementsAre(-2, 6));
}

TEST(ReferenceEvaluatorTest, RejectsWhatItCannotEvaluate) {
  const OpCase relu{"", FloatTensor{{3}, {1, 2, 3}},
                    [](ModelBuilder& b, int in, int out) {
                      b.AddOperator(BuiltinOperator_RELU, {in}, {out});
                    },
                    {3}, {}};
  const OpCase softmax{"", relu.input,
                       [](ModelBuilder& b, int in, int out) {
                         b.AddOperator(BuiltinOperator_SOFTMAX, {in}, {out});
                       },
                       {3}, {}};
  const OpCase wrong_shape{"", relu.input, relu.add, {4}, {}};

  EXPECT_THAT(EvaluateModel(OneOperatorModel(softmax), {relu.input}).status().message(),
              HasSubstr("Unsupported op: SOFTMAX"));
  EXPECT_THAT(EvaluateModel(OneOperatorModel(wrong_shape), {relu.input}).status().message(),
              HasSubstr("declared [4]"));
  EXPECT_THAT(EvaluateModel(OneOperatorModel(relu), {{{1, 3}, {1, 2, 3}}}).status().message(),
              HasSubstr("Input 0 has shape [1, 3], expected [3]"));
  EXPECT_THAT(EvaluateModel(OneOperatorModel(relu), {}).status().message(),
              HasSubstr("1 inputs, given 0"));

  std::vector<uint8_t> truncated = OneOperatorModel(relu);
  truncated.resize(truncated.size() / 2);
  EXPECT_FALSE(EvaluateModel(truncated, {relu.input}).ok());
}

TEST(ReferenceEvaluatorTest, RoundsToHalfToNearestEven) {
  const struct {
    float in, out;
  } cases[] = {
      {1.0f + 1.0f / 2048, 1.0f},                       // tie, even below
      {1.0f + 3.0f / 2048, 1.0f + 2.0f / 1024},         // tie, even above
      {1.0f + 1.1f / 2048, 1.0f + 1.0f / 1024},         // above the tie
      {-0.1f, -0.0999755859375f},
      {65519.0f, 65504.0f},
      {65520.0f, INFINITY},
      {-70000.0f, -INFINITY},
      {3e-8f, 5.9604644775390625e-8f},                  // nearest subnormal
      {2.9e-8f, 0.0f},
      {6.1e-5f, 6.103515625e-05f - 1.0f / (1 << 24)},  // largest subnormal range
  };
  for (const auto& c : cases) EXPECT_EQ(RoundToHalf(c.in), c.out) << c.in;
  EXPECT_TRUE(std::isnan(RoundToHalf(NAN)));
}

// With half storage every computed value is a half; weights are not rounded.
TEST(ReferenceEvaluatorTest, HalfStorageRoundsInputsAndResults) {
  ModelBuilder b;
  const int in = b.AddTensor({1, 1});
  const int out = b.AddTensor({1, 1});
  b.AddOperator(BuiltinOperator_MUL, {in, b.AddConstTensor({1}, {1.0f + 1.0f / 4096})}, {out});
  b.SetInputs({in});
  b.SetOutputs({out});
  const std::vector<uint8_t> model = b.Finish();
  const FloatTensor input{{1, 1}, {1.0f + 1.5f / 1024}};
  auto plain = EvaluateModel(model, {input});
  auto half = EvaluateModel(model, {input}, {.half_storage = true});
  ASSERT_TRUE(plain.ok() && half.ok());
  EXPECT_FLOAT_EQ((*plain)[0].data[0], (1.0f + 1.5f / 1024) * (1.0f + 1.0f / 4096));
  // The input rounds to 1 + 2/1024; the product, 1 + 2/1024 + ~1/4096, back to 1 + 2/1024.
  EXPECT_EQ((*half)[0].data[0], 1.0f + 2.0f / 1024);
}

TEST(ReferenceEvaluatorTest, CountsMultiplyAddsOfConvolutionsAndFullyConnected) {
  ModelBuilder b;
  const int in = b.AddTensor({1, 4, 4, 3});
  const int conv = b.AddTensor({1, 4, 4, 8});
  const int dw = b.AddTensor({1, 4, 4, 8});
  const int fc = b.AddTensor({1, 10});
  b.AddOperator(BuiltinOperator_CONV_2D,
                {in, b.AddConstTensor({8, 3, 3, 3}, std::vector<float>(216))}, {conv},
                BuiltinOptions_Conv2DOptions, Conv2D(Padding_SAME, 1, 1));
  b.AddOperator(BuiltinOperator_DEPTHWISE_CONV_2D,
                {conv, b.AddConstTensor({1, 3, 3, 8}, std::vector<float>(72))}, {dw},
                BuiltinOptions_DepthwiseConv2DOptions, DepthwiseConv2D(Padding_SAME, 1, 1, 1));
  b.AddOperator(BuiltinOperator_FULLY_CONNECTED,
                {dw, b.AddConstTensor({10, 128}, std::vector<float>(1280))}, {fc});
  b.SetInputs({in});
  b.SetOutputs({fc});
  auto count = CountMultiplyAdds(b.Finish());
  ASSERT_TRUE(count.ok()) << count.status();
  EXPECT_EQ(*count, 4 * 4 * 8 * 27 + 4 * 4 * 8 * 9 + 10 * 128);
}

}  // namespace
}  // namespace testing
}  // namespace tflite
