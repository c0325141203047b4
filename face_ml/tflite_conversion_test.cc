#include "face_ml/tflite_conversion.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tflite/gpu/operations.h"
#include "tflite/interpreter.h"
#include "tflite/testing/model_builder.h"

namespace research {
namespace sorvanti {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using tflite::gpu::BHWC;
using tflite::gpu::GraphFloat32;
using tflite::gpu::HWC;
using tflite::testing::ModelBuilder;

// input [1, 8, 8, 3] -> pad 1 -> conv 3x3 valid + relu -> max pool 2x2 -> output [1, 4, 4, 4].
ModelBuilder PadConvPool() {
  ModelBuilder b;
  const int in = b.AddTensor({1, 8, 8, 3}, "input");
  const int pads = b.AddConstIntTensor({4, 2}, {0, 0, 1, 1, 1, 1, 0, 0}, "pads");
  const int padded = b.AddTensor({1, 10, 10, 3}, "padded");
  const int w = b.AddConstTensor({4, 3, 3, 3}, std::vector<float>(108, 0.5f), "weights");
  const int conv = b.AddTensor({1, 8, 8, 4}, "conv");
  const int out = b.AddTensor({1, 4, 4, 4}, "output");
  b.AddOperator(tflite::BuiltinOperator_PAD, {in, pads}, {padded});
  b.AddOperator(tflite::BuiltinOperator_CONV_2D, {padded, w}, {conv},
                tflite::BuiltinOptions_Conv2DOptions,
                tflite::testing::Conv2D(tflite::Padding_VALID, 1, 1,
                                        tflite::ActivationFunctionType_RELU));
  b.AddOperator(tflite::BuiltinOperator_MAX_POOL_2D, {conv}, {out},
                tflite::BuiltinOptions_Pool2DOptions,
                tflite::testing::Pool2D(tflite::Padding_VALID, 2, 2, 2, 2));
  b.SetInputs({in});
  b.SetOutputs({out});
  return b;
}

struct Loaded {
  std::vector<uint8_t> file;
  tflite::RecordingErrorReporter reporter;
  std::unique_ptr<tflite::FlatBufferModel> model;
};

std::unique_ptr<Loaded> Load(const ModelBuilder& b) {
  auto loaded = std::make_unique<Loaded>();
  loaded->file = b.Finish();
  loaded->model = tflite::FlatBufferModel::BuildFromBuffer(
      reinterpret_cast<const char*>(loaded->file.data()), loaded->file.size(), &loaded->reporter);
  return loaded;
}

std::vector<std::string> NodeTypes(const GraphFloat32& graph) {
  std::vector<std::string> types;
  for (const tflite::gpu::Node* n : graph.nodes()) types.push_back(n->operation.type);
  return types;
}

TEST(TfliteConversionTest, ConvertsAModelIntoTheGpuGraph) {
  auto loaded = Load(PadConvPool());
  ASSERT_NE(loaded->model, nullptr);
  GraphFloat32 graph;
  ASSERT_TRUE(ConvertTfliteToModel(*loaded->model, &graph).ok());
  EXPECT_THAT(NodeTypes(graph), ElementsAre("pad", "convolution_2d", "relu", "pooling_2d"));
  ASSERT_EQ(graph.inputs().size(), 1u);
  EXPECT_EQ(graph.inputs()[0]->tensor.ref, 0);
  EXPECT_EQ(graph.inputs()[0]->tensor.shape, BHWC(1, 8, 8, 3));
  ASSERT_EQ(graph.outputs().size(), 1u);
  EXPECT_EQ(graph.outputs()[0]->tensor.ref, 5);
  EXPECT_EQ(graph.outputs()[0]->tensor.shape, BHWC(1, 4, 4, 4));
  EXPECT_TRUE(loaded->reporter.messages().empty());
}

TEST(TfliteConversionTest, InputSizesAndTransformationsShapeTheGraph) {
  auto loaded = Load(PadConvPool());
  GraphFloat32 graph;
  ASSERT_TRUE(ConvertTfliteToModelWithTransformsSetInputSizes(*loaded->model, {HWC(16, 12, 3)},
                                                              &graph)
                  .ok());
  // The padding went into the convolution.
  EXPECT_THAT(NodeTypes(graph), ElementsAre("convolution_2d", "relu", "pooling_2d"));
  const auto& conv = std::any_cast<const tflite::gpu::Convolution2DAttributes&>(
      graph.nodes()[0]->operation.attributes);
  EXPECT_EQ(conv.padding.prepended, tflite::gpu::HW(1, 1));
  EXPECT_EQ(conv.padding.appended, tflite::gpu::HW(1, 1));
  EXPECT_EQ(graph.inputs()[0]->tensor.shape, BHWC(1, 16, 12, 3));
  EXPECT_EQ(graph.outputs()[0]->tensor.shape, BHWC(1, 8, 6, 4));
}

// Models that do not convert, with the status and what the error reporter received.
struct FailureCase {
  std::string name;
  std::function<void(ModelBuilder&)> change;
  std::optional<std::vector<HWC>> input_sizes;
  absl::StatusCode code;
  std::string message;
  std::string report;  // a substring of one report; empty for none at all
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class TfliteConversionFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(TfliteConversionFailureTest, FailsWithItsText) {
  const FailureCase& c = GetParam();
  ModelBuilder b = PadConvPool();
  c.change(b);
  auto loaded = Load(b);
  ASSERT_NE(loaded->model, nullptr);
  GraphFloat32 graph;
  const absl::Status status =
      c.input_sizes ? ConvertTfliteToModelWithTransformsSetInputSizes(*loaded->model,
                                                                      *c.input_sizes, &graph)
                    : ConvertTfliteToModelWithTransforms(*loaded->model, &graph);
  EXPECT_EQ(status.code(), c.code);
  EXPECT_EQ(status.message(), c.message);
  if (c.report.empty()) {
    EXPECT_THAT(loaded->reporter.messages(), ::testing::IsEmpty());
  } else {
    EXPECT_THAT(loaded->reporter.messages(), ::testing::Contains(HasSubstr(c.report)));
  }
}

// Puts a custom operator between the pool output and a new model output.
std::function<void(ModelBuilder&)> AppendCustom(const std::string& name) {
  return [name](ModelBuilder& b) {
    const int out = b.AddTensor({1, 4, 4, 4}, "custom");
    b.AddCustomOperator(name, {5}, {out});
    b.SetOutputs({out});
  };
}

INSTANTIATE_TEST_SUITE_P(
    Models, TfliteConversionFailureTest,
    ::testing::Values(
        FailureCase{"UnknownOperator",
                    [](ModelBuilder& b) { b.opcodes[2].code = tflite::BuiltinOperator_GATHER; },
                    std::nullopt, absl::StatusCode::kInternal,
                    "Unable to prepare TfLite interpreter.", "Didn't find op for builtin"},
        FailureCase{"TwoInputsOneSize",
                    [](ModelBuilder& b) {
                      b.SetInputs({0, b.AddTensor({1, 2, 2, 3}, "second")});
                    },
                    std::vector<HWC>{HWC(8, 8, 3)}, absl::StatusCode::kInvalidArgument,
                    "Number of inputs does not match expected", ""},
        FailureCase{"NegativeInputSize", [](ModelBuilder&) {}, std::vector<HWC>{HWC(-8, 8, 3)},
                    absl::StatusCode::kInternal, "Can't resize input", "negative dimension"},
        FailureCase{"InputSizeTheConvolutionCannotTake", [](ModelBuilder&) {},
                    std::vector<HWC>{HWC(8, 8, 5)}, absl::StatusCode::kInternal,
                    "Conversion from TfLite model failed.", "(CONV_2D) failed to prepare"},
        FailureCase{"MaxPoolingWithArgmax2D", AppendCustom("MaxPoolingWithArgmax2D"),
                    std::nullopt, absl::StatusCode::kInternal,
                    "Conversion from TfLite model failed.",
                    "Failed to convert a model: Unsupported op: MaxPoolingWithArgmax2D"},
        FailureCase{"MaxUnpooling2D", AppendCustom("MaxUnpooling2D"), std::nullopt,
                    absl::StatusCode::kInternal, "Conversion from TfLite model failed.",
                    "Failed to convert a model: Unsupported op: MaxUnpooling2D"},
        FailureCase{"Convolution2DTransposeBias", AppendCustom("Convolution2DTransposeBias"),
                    std::nullopt, absl::StatusCode::kInternal,
                    "Conversion from TfLite model failed.",
                    "Failed to convert a model: Unsupported op: Convolution2DTransposeBias"},
        FailureCase{"BuiltinWithoutGpuForm",
                    [](ModelBuilder& b) {
                      const int out = b.AddTensor({1, 4, 4, 4}, "dequantized");
                      b.AddOperator(tflite::BuiltinOperator_DEQUANTIZE, {5}, {out});
                      b.SetOutputs({out});
                    },
                    std::nullopt, absl::StatusCode::kInternal,
                    "Conversion from TfLite model failed.",
                    "Failed to convert a model: Unsupported op: DEQUANTIZE"},
        FailureCase{"RankFiveTensor",
                    [](ModelBuilder& b) {
                      const int in = b.AddTensor({1, 1, 2, 2, 3}, "five");
                      const int out = b.AddTensor({1, 1, 2, 2, 3}, "five_out");
                      b.AddOperator(tflite::BuiltinOperator_RELU, {in}, {out});
                      b.SetInputs({0, in});
                      b.SetOutputs({5, out});
                    },
                    std::nullopt, absl::StatusCode::kInternal,
                    "Conversion from TfLite model failed.",
                    "Tensor \"five\" has bad input dims size: 5."}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(TfliteConversionTest, CustomOperatorsAreRegisteredForVersionOneOnly) {
  const OpResolver resolver;
  for (const char* name : {"MaxPoolingWithArgmax2D", "MaxUnpooling2D",
                           "Convolution2DTransposeBias"}) {
    EXPECT_NE(resolver.FindOp(name, 1), nullptr) << name;
    EXPECT_EQ(resolver.FindOp(name, 2), nullptr) << name;
  }
  EXPECT_NE(resolver.FindOp(tflite::BuiltinOperator_CONV_2D, 1), nullptr);
  EXPECT_EQ(resolver.FindOp("MaxUnpooling2D", 1)->prepare, nullptr);

  // The pooling placeholder's CPU kernel refuses to run.
  const TfLiteRegistration* argmax = resolver.FindOp("MaxPoolingWithArgmax2D", 1);
  tflite::RecordingErrorReporter reporter;
  tflite::Interpreter interpreter(&reporter);
  void* data = argmax->init(interpreter.context(), nullptr, 0);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::memcmp(data, std::vector<char>(16, 0).data(), 16), 0);
  TfLiteNode node;
  EXPECT_EQ(argmax->invoke(interpreter.context(), &node), kTfLiteError);
  EXPECT_THAT(reporter.messages(), ElementsAre("MaxPoolingWithArgmax2D is only available on the GPU."));
  argmax->free(interpreter.context(), data);
}

}  // namespace
}  // namespace sorvanti
}  // namespace research
