#include "face_ml/metal_runner.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/status_test_util.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/metal/half.h"
#include "tflite/gpu/metal/half_conversion.h"
#include "tflite/model.h"
#include "tflite/testing/model_builder.h"

namespace research::sorvanti::api::internal {
namespace {

using ::testing::HasSubstr;
using tflite::gpu::BHWC;
using tflite::gpu::HWC;
using tflite::testing::ModelBuilder;

size_t PageRounded(size_t bytes) {
  const size_t page = static_cast<size_t>(getpagesize());
  return (bytes + page - 1) / page * page;
}

float Half(float v) { return platform::metal::HalfToFloat(platform::metal::FloatToHalf(v)); }

std::vector<float> Values(size_t n, uint32_t seed, float scale = 1.0f) {
  std::vector<float> v(n);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = Half(scale * (static_cast<float>(seed >> 8) / (1 << 23) - 1.0f));
  }
  return v;
}

ModelBuilder::OptionsWriter FullyConnected() {
  return [](flatbuffers::FlatBufferBuilder& fbb) {
    return tflite::CreateFullyConnectedOptions(fbb).Union();
  };
}

// input [1, 6, 6, 3] -> relu -> output [1, 6, 6, 3]: the smallest model that runs.
ModelBuilder Relu() {
  ModelBuilder b;
  const int in = b.AddTensor({1, 6, 6, 3}, "input");
  const int out = b.AddTensor({1, 6, 6, 3}, "output");
  b.AddOperator(tflite::BuiltinOperator_RELU, {in}, {out});
  b.SetInputs({in});
  b.SetOutputs({out});
  return b;
}

struct Built {
  std::vector<uint8_t> file;
  util::StatusOr<std::unique_ptr<MetalRunner>> runner = absl::UnknownError("not built");
};

Built Build(const ModelBuilder& b,
            const absl::optional<std::vector<HWC>>& input_sizes = absl::nullopt) {
  Built built;
  built.file = b.Finish();
  const tflite::Model* model = tflite::VerifiedModel(built.file.data(), built.file.size());
  EXPECT_NE(model, nullptr);
  built.runner = MetalRunner::Make(MTLCreateSystemDefaultDevice(), input_sizes, *model);
  return built;
}

struct FailureCase {
  std::string name;
  std::function<void(ModelBuilder&)> change;
  absl::optional<std::vector<HWC>> input_sizes;
  absl::StatusCode code;
  std::string message;  // a substring of the status message
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class MetalRunnerFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(MetalRunnerFailureTest, FailsWithItsText) {
  const FailureCase& c = GetParam();
  ModelBuilder b = Relu();
  c.change(b);
  const Built built = Build(b, c.input_sizes);
  ASSERT_FALSE(built.runner.ok());
  EXPECT_EQ(built.runner.status().code(), c.code) << built.runner.status();
  EXPECT_THAT(std::string(built.runner.status().message()), HasSubstr(c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Models, MetalRunnerFailureTest,
    testing::Values(
        FailureCase{"TwoSubgraphs",
                    [](ModelBuilder& b) {
                      b.AddSubgraph();
                      const int in = b.AddTensor({1, 2, 2, 1});
                      const int out = b.AddTensor({1, 2, 2, 1});
                      b.AddOperator(tflite::BuiltinOperator_RELU, {in}, {out});
                      b.SetInputs({in});
                      b.SetOutputs({out});
                    },
                    absl::nullopt, absl::StatusCode::kInternal,
                    "model.subgraphs() != nullptr && model.subgraphs()->size() == 1"},
        FailureCase{"OutputListShorterThanTheGraphs",
                    [](ModelBuilder& b) {
                      // A second result nobody reads is a graph output the model does not list.
                      const int extra = b.AddTensor({1, 6, 6, 3}, "extra");
                      b.AddOperator(tflite::BuiltinOperator_RELU6, {0}, {extra});
                    },
                    absl::nullopt, absl::StatusCode::kInternal,
                    "(flow_tensors.size())==(tflite_tensor_indices.size())"},
        FailureCase{"ListedTensorWithoutGraphValue",
                    [](ModelBuilder& b) {
                      b.AddTensor({1, 6, 6, 3}, "unused");
                      b.SetOutputs({2});
                    },
                    absl::nullopt, absl::StatusCode::kInternal,
                    "(value_it)!=(tensor_idx_to_value.end()) 2"},
        FailureCase{"InputCountMismatch", [](ModelBuilder&) {},
                    std::vector<HWC>{HWC(6, 6, 3), HWC(6, 6, 3)},
                    absl::StatusCode::kInvalidArgument, "Number of inputs does not match expected"},
        FailureCase{"OperatorTheGpuGraphLacks",
                    [](ModelBuilder& b) { b.opcodes[0].code = tflite::BuiltinOperator_DEQUANTIZE; },
                    absl::nullopt, absl::StatusCode::kInternal,
                    "Conversion from TfLite model failed."},
        FailureCase{"OperatorTheDeviceCannotRun",
                    [](ModelBuilder& b) {
                      const int shape = b.AddConstIntTensor({4}, {1, 12, 12, 2});
                      const int w = b.AddConstTensor({2, 2, 2, 3}, std::vector<float>(24, 1.0f));
                      const int out = b.AddTensor({1, 12, 12, 2}, "upsampled");
                      b.AddOperator(tflite::BuiltinOperator_TRANSPOSE_CONV, {shape, w, 1}, {out},
                                    tflite::BuiltinOptions_TransposeConvOptions,
                                    [](flatbuffers::FlatBufferBuilder& fbb) {
                                      return tflite::CreateTransposeConvOptions(
                                                 fbb, tflite::Padding_VALID, 2, 2)
                                          .Union();
                                    });
                      b.SetOutputs({out});
                    },
                    absl::nullopt, absl::StatusCode::kUnimplemented,
                    "Unsupported op: convolution_transposed"}),
    [](const auto& info) { return info.param.name; });

TEST(MetalRunnerTest, TensorsArePageRoundedPHWC4AndFollowTheInputSizes) {
  const Built built = Build(Relu(), std::vector<HWC>{HWC(20, 30, 3)});
  ASSERT_TRUE(built.runner.ok()) << built.runner.status();
  const MetalRunner& runner = **built.runner;
  ASSERT_EQ(runner.GetInputs().size(), 1u);
  EXPECT_EQ(runner.GetInputs()[0].GetShape(), BHWC(1, 20, 30, 3));
  // Three channels take four halves, 8 bytes a pixel, rounded up to pages.
  EXPECT_EQ(runner.GetInputs()[0].GetBuffer().buffer()->length(), PageRounded(20 * 30 * 8));
  EXPECT_EQ(runner.GetOutputs()[0].GetShape(), BHWC(1, 20, 30, 3));
}

TEST(MetalRunnerTest, RunWithoutCommandBufferEncodesNothing) {
  const Built built = Build(Relu());
  ASSERT_TRUE(built.runner.ok());
  const absl::Status status = (*built.runner)->Run(nullptr);
  EXPECT_THAT(std::string(status.message()), HasSubstr("command_buffer != nullptr"));
}

TEST(MetalBufferTensorTest, ReadsEveryHalfOfTheBufferAsFloats) {
  auto tensor = MetalBufferTensorPHWC4<uint16_t>::Make(MTLCreateSystemDefaultDevice(),
                                                       BHWC(1, 1, 1, 5));
  ASSERT_TRUE(tensor.ok());
  auto* halves = static_cast<uint16_t*>(tensor->GetBuffer().buffer()->contents());
  const uint16_t written[] = {0x3C00, 0xC000, 0x0001, 0x7C00, 0xFC00, 0x8000};
  std::copy(std::begin(written), std::end(written), halves);
  std::vector<float> read;
  ASSERT_OK(tensor->ReadDataAs<float>([&](absl::Span<const float> values) {
    read.assign(values.begin(), values.end());
    return absl::OkStatus();
  }));
  // Channels in order, the last slice's padding, then the page's.
  EXPECT_EQ(read.size(), PageRounded(8 * 2) / 2);
  EXPECT_EQ(read[0], 1.0f);
  EXPECT_EQ(read[1], -2.0f);
  EXPECT_EQ(read[2], std::ldexp(1.0f, -24));
  EXPECT_EQ(read[3], std::numeric_limits<float>::infinity());
  EXPECT_EQ(read[4], -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::signbit(read[5]) && read[5] == 0.0f);
  // The callback's status is the answer.
  EXPECT_EQ(tensor->ReadDataAs<float>([](absl::Span<const float>) {
              return absl::DataLossError("stop");
            }).code(),
            absl::StatusCode::kDataLoss);
}

// A small network, end to end through the runner, against plain float loops:
// input [1, 8, 8, 3] -> conv 3x3 same (4) + relu6 -> depthwise 3x3 stride 2 same -> max pool
// 2x2 -> reshape [1, 16] -> fully connected (5) -> logistic, and tanh of the pooled map as a
// second output.
TEST(MetalRunnerTest, SmallNetworkMatchesPlainFloatLoops) {
  const std::vector<float> conv_w = Values(4 * 3 * 3 * 3, 1, 0.5f), conv_b = Values(4, 2);
  const std::vector<float> dw_w = Values(3 * 3 * 4, 3), dw_b = Values(4, 4);
  const std::vector<float> fc_w = Values(5 * 16, 5, 0.5f), fc_b = Values(5, 6);
  ModelBuilder b;
  const int in = b.AddTensor({1, 8, 8, 3}, "input");
  const int t_conv = b.AddTensor({1, 8, 8, 4});
  const int t_dw = b.AddTensor({1, 4, 4, 4});
  const int t_pool = b.AddTensor({1, 2, 2, 4}, "pooled");
  const int t_tanh = b.AddTensor({1, 2, 2, 4}, "pooled_tanh");
  const int t_flat = b.AddTensor({1, 16});
  const int t_fc = b.AddTensor({1, 5});
  const int out = b.AddTensor({1, 5}, "scores");
  b.AddOperator(tflite::BuiltinOperator_CONV_2D,
                {in, b.AddConstTensor({4, 3, 3, 3}, conv_w), b.AddConstTensor({4}, conv_b)},
                {t_conv}, tflite::BuiltinOptions_Conv2DOptions,
                tflite::testing::Conv2D(tflite::Padding_SAME, 1, 1,
                                        tflite::ActivationFunctionType_RELU6));
  b.AddOperator(tflite::BuiltinOperator_DEPTHWISE_CONV_2D,
                {t_conv, b.AddConstTensor({1, 3, 3, 4}, dw_w), b.AddConstTensor({4}, dw_b)},
                {t_dw}, tflite::BuiltinOptions_DepthwiseConv2DOptions,
                tflite::testing::DepthwiseConv2D(tflite::Padding_SAME, 2, 2, 1));
  b.AddOperator(tflite::BuiltinOperator_MAX_POOL_2D, {t_dw}, {t_pool},
                tflite::BuiltinOptions_Pool2DOptions,
                tflite::testing::Pool2D(tflite::Padding_VALID, 2, 2, 2, 2));
  b.AddOperator(tflite::BuiltinOperator_RESHAPE, {t_pool}, {t_flat},
                tflite::BuiltinOptions_ReshapeOptions, tflite::testing::Reshape({1, 16}));
  b.AddOperator(tflite::BuiltinOperator_FULLY_CONNECTED,
                {t_flat, b.AddConstTensor({5, 16}, fc_w), b.AddConstTensor({5}, fc_b)}, {t_fc},
                tflite::BuiltinOptions_FullyConnectedOptions, FullyConnected());
  b.AddOperator(tflite::BuiltinOperator_LOGISTIC, {t_fc}, {out});
  b.AddOperator(tflite::BuiltinOperator_TANH, {t_pool}, {t_tanh});
  b.SetInputs({in});
  b.SetOutputs({out, t_tanh});
  const Built built = Build(b);
  ASSERT_TRUE(built.runner.ok()) << built.runner.status();
  MetalRunner& runner = **built.runner;
  ASSERT_EQ(runner.GetOutputs().size(), 2u);
  EXPECT_EQ(runner.GetOutputs()[0].GetShape(), BHWC(1, 1, 1, 5));
  EXPECT_EQ(runner.GetOutputs()[1].GetShape(), BHWC(1, 2, 2, 4));

  const std::vector<float> x = Values(8 * 8 * 3, 9);
  tflite::gpu::metal::NHWCFloatsToPHWC4Halves(
      x.data(), BHWC(1, 8, 8, 3),
      static_cast<uint16_t*>(runner.GetInputs()[0].GetBuffer().buffer()->contents()));
  auto queue = MTLCreateSystemDefaultDevice()->newCommandQueue();
  auto commands = MetalCommandBuffer::Make(queue);
  ASSERT_OK(runner.Run(&*commands));
  commands->CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);

  // The reference, in float.
  std::vector<float> conv(8 * 8 * 4), dw(4 * 4 * 4), pool(2 * 2 * 4), scores(5);
  for (int y = 0; y < 8; ++y)
    for (int xx = 0; xx < 8; ++xx)
      for (int o = 0; o < 4; ++o) {
        float s = conv_b[o];
        for (int ky = 0; ky < 3; ++ky)
          for (int kx = 0; kx < 3; ++kx)
            for (int c = 0; c < 3; ++c) {
              const int iy = y + ky - 1, ix = xx + kx - 1;
              if (iy < 0 || iy >= 8 || ix < 0 || ix >= 8) continue;
              s += x[(iy * 8 + ix) * 3 + c] * conv_w[((o * 3 + ky) * 3 + kx) * 3 + c];
            }
        conv[(y * 8 + xx) * 4 + o] = std::clamp(s, 0.0f, 6.0f);
      }
  for (int y = 0; y < 4; ++y)
    for (int xx = 0; xx < 4; ++xx)
      for (int c = 0; c < 4; ++c) {
        // SAME with stride 2 on 8: total padding 1, all of it after.
        float s = dw_b[c];
        for (int ky = 0; ky < 3; ++ky)
          for (int kx = 0; kx < 3; ++kx) {
            const int iy = 2 * y + ky, ix = 2 * xx + kx;
            if (iy >= 8 || ix >= 8) continue;
            s += conv[(iy * 8 + ix) * 4 + c] * dw_w[(ky * 3 + kx) * 4 + c];
          }
        dw[(y * 4 + xx) * 4 + c] = s;
      }
  for (int y = 0; y < 2; ++y)
    for (int xx = 0; xx < 2; ++xx)
      for (int c = 0; c < 4; ++c) {
        float m = -1e30f;
        for (int ky = 0; ky < 2; ++ky)
          for (int kx = 0; kx < 2; ++kx) m = std::max(m, dw[((2 * y + ky) * 4 + 2 * xx + kx) * 4 + c]);
        pool[(y * 2 + xx) * 4 + c] = m;
      }
  for (int o = 0; o < 5; ++o) {
    float s = fc_b[o];
    for (int i = 0; i < 16; ++i) s += pool[i] * fc_w[o * 16 + i];
    scores[o] = 1.0f / (1.0f + std::exp(-s));
  }

  auto expect = [](const MetalBufferTensorPHWC4<uint16_t>& tensor,
                   const std::vector<float>& expected) {
    ASSERT_OK(tensor.ReadDataAs<float>([&](absl::Span<const float> values) {
      // Both outputs have one slice, so PHWC4 is the NHWC order with the padding channel.
      const BHWC s = tensor.GetShape();
      for (int p = 0; p < s.h * s.w; ++p) {
        for (int c = 0; c < s.c; ++c) {
          const float want = expected[p * s.c + c];
          EXPECT_NEAR(values[p * 4 + c], want, 1e-2f * std::max(1.0f, std::fabs(want)))
              << "pixel " << p << " channel " << c;
        }
      }
      return absl::OkStatus();
    }));
  };
  expect(runner.GetOutputs()[0], scores);
  for (float& v : pool) v = std::tanh(v);
  expect(runner.GetOutputs()[1], pool);
}

}  // namespace
}  // namespace research::sorvanti::api::internal
