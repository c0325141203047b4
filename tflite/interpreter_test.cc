#include "tflite/interpreter.h"

#include <functional>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tflite/testing/model_builder.h"

namespace tflite {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using testing::ModelBuilder;

int AddConstInts(ModelBuilder& b, std::vector<int32_t> shape, const std::vector<int32_t>& values) {
  return b.AddConstIntTensor(std::move(shape), values);
}

// A built model and its interpreter; `file` keeps the bytes alive.
struct Built {
  std::vector<uint8_t> file;
  RecordingErrorReporter reporter;
  std::unique_ptr<FlatBufferModel> model;
  std::unique_ptr<Interpreter> interpreter;
  TfLiteStatus status = kTfLiteError;
};

std::unique_ptr<Built> Build(const ModelBuilder& b) {
  auto built = std::make_unique<Built>();
  built->file = b.Finish();
  built->model = FlatBufferModel::BuildFromBuffer(
      reinterpret_cast<const char*>(built->file.data()), built->file.size(), &built->reporter);
  if (built->model == nullptr) return built;
  static const ops::builtin::BuiltinOpResolver* const resolver =
      new ops::builtin::BuiltinOpResolver;
  built->status = InterpreterBuilder(*built->model, *resolver)(&built->interpreter);
  return built;
}

std::vector<int> DimsOf(Interpreter& interpreter, int tensor) {
  return TfLiteIntArrayToVector(interpreter.tensor(tensor)->dims);
}

// Shape inference: each case builds one operator on a 1x8x8x4 input (tensor 0) whose output
// (the returned tensor) the file declares as a scalar, so the shape must be inferred.
struct ShapeCase {
  std::string name;
  std::function<int(ModelBuilder&, int input)> add;
  std::vector<int> expected;
};
void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class ShapeInferenceTest : public ::testing::TestWithParam<ShapeCase> {};

// The single-operator model of a case; `output` receives the operator's output tensor.
std::unique_ptr<Built> BuildCase(const ShapeCase& c, int* output) {
  ModelBuilder b;
  const int input = b.AddTensor({1, 8, 8, 4}, "input");
  *output = c.add(b, input);
  b.SetInputs({input});
  b.SetOutputs({*output});
  return Build(b);
}

TEST_P(ShapeInferenceTest, InfersOutputShape) {
  int output;
  auto built = BuildCase(GetParam(), &output);
  ASSERT_EQ(built->status, kTfLiteOk) << ::testing::PrintToString(built->reporter.messages());
  ASSERT_EQ(built->interpreter->AllocateTensors(), kTfLiteOk)
      << ::testing::PrintToString(built->reporter.messages());
  EXPECT_EQ(DimsOf(*built->interpreter, output), GetParam().expected);
}

int Op(ModelBuilder& b, BuiltinOperator code, std::vector<int32_t> inputs,
       BuiltinOptions type = BuiltinOptions_NONE, ModelBuilder::OptionsWriter options = nullptr) {
  const int out = b.AddTensor({}, "out");
  b.AddOperator(code, std::move(inputs), {out}, type, std::move(options));
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Operators, ShapeInferenceTest,
    ::testing::Values(
        ShapeCase{"ConvSameStride2",
                  [](ModelBuilder& b, int in) {
                    const int w = b.AddConstTensor({6, 3, 3, 4}, std::vector<float>(216));
                    const int bias = b.AddConstTensor({6}, std::vector<float>(6));
                    return Op(b, BuiltinOperator_CONV_2D, {in, w, bias},
                              BuiltinOptions_Conv2DOptions, testing::Conv2D(Padding_SAME, 2, 2));
                  },
                  {1, 4, 4, 6}},
        ShapeCase{"ConvValid",
                  [](ModelBuilder& b, int in) {
                    const int w = b.AddConstTensor({2, 3, 3, 4}, std::vector<float>(72));
                    return Op(b, BuiltinOperator_CONV_2D, {in, w, -1},
                              BuiltinOptions_Conv2DOptions, testing::Conv2D(Padding_VALID, 1, 1));
                  },
                  {1, 6, 6, 2}},
        ShapeCase{"DepthwiseMultiplier2",
                  [](ModelBuilder& b, int in) {
                    const int w = b.AddConstTensor({1, 3, 3, 8}, std::vector<float>(72));
                    return Op(b, BuiltinOperator_DEPTHWISE_CONV_2D, {in, w},
                              BuiltinOptions_DepthwiseConv2DOptions,
                              testing::DepthwiseConv2D(Padding_SAME, 1, 1, 2));
                  },
                  {1, 8, 8, 8}},
        ShapeCase{"MaxPool",
                  [](ModelBuilder& b, int in) {
                    return Op(b, BuiltinOperator_MAX_POOL_2D, {in}, BuiltinOptions_Pool2DOptions,
                              testing::Pool2D(Padding_VALID, 2, 2, 2, 2));
                  },
                  {1, 4, 4, 4}},
        ShapeCase{"AveragePoolSame",
                  [](ModelBuilder& b, int in) {
                    return Op(b, BuiltinOperator_AVERAGE_POOL_2D, {in},
                              BuiltinOptions_Pool2DOptions,
                              testing::Pool2D(Padding_SAME, 3, 3, 3, 3));
                  },
                  {1, 3, 3, 4}},
        ShapeCase{"FullyConnectedFlattens",
                  [](ModelBuilder& b, int in) {
                    const int w = b.AddConstTensor({10, 256}, std::vector<float>(2560));
                    return Op(b, BuiltinOperator_FULLY_CONNECTED, {in, w, -1});
                  },
                  {1, 10}},
        ShapeCase{"ConcatenationLastAxis",
                  [](ModelBuilder& b, int in) {
                    const int other = b.AddConstTensor({1, 8, 8, 2}, std::vector<float>(128));
                    return Op(b, BuiltinOperator_CONCATENATION, {in, other},
                              BuiltinOptions_ConcatenationOptions, testing::Concatenation(-1));
                  },
                  {1, 8, 8, 6}},
        ShapeCase{"ReshapeInfersMinusOne",
                  [](ModelBuilder& b, int in) {
                    const int shape = AddConstInts(b, {3}, {1, -1, 16});
                    return Op(b, BuiltinOperator_RESHAPE, {in, shape});
                  },
                  {1, 16, 16}},
        ShapeCase{"ReshapeFromOptions",
                  [](ModelBuilder& b, int in) {
                    return Op(b, BuiltinOperator_RESHAPE, {in}, BuiltinOptions_ReshapeOptions,
                              testing::Reshape({1, 1, 1, 256}));
                  },
                  {1, 1, 1, 256}},
        ShapeCase{"Pad",
                  [](ModelBuilder& b, int in) {
                    const int pads = AddConstInts(b, {4, 2}, {0, 0, 1, 2, 0, 1, 0, 4});
                    return Op(b, BuiltinOperator_PAD, {in, pads});
                  },
                  {1, 11, 9, 8}},
        ShapeCase{"ResizeBilinear",
                  [](ModelBuilder& b, int in) {
                    const int size = AddConstInts(b, {2}, {16, 12});
                    return Op(b, BuiltinOperator_RESIZE_BILINEAR, {in, size});
                  },
                  {1, 16, 12, 4}},
        ShapeCase{"PreluPerChannel",
                  [](ModelBuilder& b, int in) {
                    const int alpha = b.AddConstTensor({1, 1, 4}, std::vector<float>(4));
                    return Op(b, BuiltinOperator_PRELU, {in, alpha});
                  },
                  {1, 8, 8, 4}},
        ShapeCase{"AddBroadcasts",
                  [](ModelBuilder& b, int in) {
                    const int c = b.AddConstTensor({4}, std::vector<float>(4));
                    return Op(b, BuiltinOperator_ADD, {c, in});
                  },
                  {1, 8, 8, 4}},
        ShapeCase{"SliceToEnd",
                  [](ModelBuilder& b, int in) {
                    const int begin = AddConstInts(b, {4}, {0, 2, 0, 1});
                    const int size = AddConstInts(b, {4}, {-1, 3, -1, 2});
                    return Op(b, BuiltinOperator_SLICE, {in, begin, size});
                  },
                  {1, 3, 8, 2}},
        ShapeCase{"TransposeConv",
                  [](ModelBuilder& b, int in) {
                    const int shape = AddConstInts(b, {4}, {1, 16, 16, 3});
                    const int w = b.AddConstTensor({3, 2, 2, 4}, std::vector<float>(48));
                    return Op(b, BuiltinOperator_TRANSPOSE_CONV, {shape, w, in},
                              BuiltinOptions_TransposeConvOptions,
                              [](flatbuffers::FlatBufferBuilder& fbb) {
                                return CreateTransposeConvOptions(fbb, Padding_SAME, 2, 2).Union();
                              });
                  },
                  {1, 16, 16, 3}}),
    [](const ::testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

// Operators whose inputs or options do not fit fail their prepare with a report, whatever
// the file declares for their output.
class PrepareFaultTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(PrepareFaultTest, FailsAllocation) {
  int output;
  auto built = BuildCase(GetParam(), &output);
  ASSERT_EQ(built->status, kTfLiteOk);
  EXPECT_EQ(built->interpreter->AllocateTensors(), kTfLiteError);
  EXPECT_THAT(built->reporter.messages(),
              ::testing::Contains(HasSubstr("was not true.")));
}

INSTANTIATE_TEST_SUITE_P(
    Operators, PrepareFaultTest,
    ::testing::Values(
        ShapeCase{"ConvWithoutOptions",
                  [](ModelBuilder& b, int in) {
                    const int w = b.AddConstTensor({2, 1, 1, 4}, std::vector<float>(8));
                    return Op(b, BuiltinOperator_CONV_2D, {in, w});
                  }},
        ShapeCase{"ConvStrideZero",
                  [](ModelBuilder& b, int in) {
                    const int w = b.AddConstTensor({2, 1, 1, 4}, std::vector<float>(8));
                    return Op(b, BuiltinOperator_CONV_2D, {in, w}, BuiltinOptions_Conv2DOptions,
                              testing::Conv2D(Padding_SAME, 0, 1));
                  }},
        ShapeCase{"PoolWindowLargerThanInput",
                  [](ModelBuilder& b, int in) {
                    return Op(b, BuiltinOperator_MAX_POOL_2D, {in}, BuiltinOptions_Pool2DOptions,
                              testing::Pool2D(Padding_VALID, 1, 1, 9, 9));
                  }},
        ShapeCase{"FullyConnectedIndivisible",
                  [](ModelBuilder& b, int in) {
                    const int w = b.AddConstTensor({2, 3}, std::vector<float>(6));
                    return Op(b, BuiltinOperator_FULLY_CONNECTED, {in, w});
                  }},
        ShapeCase{"ReshapeLosesElements",
                  [](ModelBuilder& b, int in) {
                    return Op(b, BuiltinOperator_RESHAPE, {in}, BuiltinOptions_ReshapeOptions,
                              testing::Reshape({1, 100}));
                  }},
        ShapeCase{"PadNegative",
                  [](ModelBuilder& b, int in) {
                    const int pads = AddConstInts(b, {4, 2}, {0, 0, -1, 0, 0, 0, 0, 0});
                    return Op(b, BuiltinOperator_PAD, {in, pads});
                  }},
        ShapeCase{"PadNotConstant",
                  [](ModelBuilder& b, int in) {
                    const int pads = b.AddTensor({4, 2}, "", TensorType_INT32);
                    return Op(b, BuiltinOperator_PAD, {in, pads});
                  }},
        ShapeCase{"ConcatenationAxisOutOfRange",
                  [](ModelBuilder& b, int in) {
                    return Op(b, BuiltinOperator_CONCATENATION, {in, in},
                              BuiltinOptions_ConcatenationOptions, testing::Concatenation(4));
                  }},
        ShapeCase{"AddIncompatible",
                  [](ModelBuilder& b, int in) {
                    const int c = b.AddConstTensor({3}, std::vector<float>(3));
                    return Op(b, BuiltinOperator_ADD, {in, c});
                  }},
        ShapeCase{"OutputTooLarge",
                  [](ModelBuilder& b, int in) {
                    const int pads = AddConstInts(b, {4, 2}, {0, 0, 1 << 20, 0, 1 << 20, 0, 0, 0});
                    return Op(b, BuiltinOperator_PAD, {in, pads});
                  }},
        ShapeCase{"SliceBeyondEnd",
                  [](ModelBuilder& b, int in) {
                    const int begin = AddConstInts(b, {4}, {0, 6, 0, 0});
                    const int size = AddConstInts(b, {4}, {1, 3, 8, 4});
                    return Op(b, BuiltinOperator_SLICE, {in, begin, size});
                  }}),
    [](const ::testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

// A chain input -> conv (stride 2) -> relu -> output.
ModelBuilder ConvReluChain() {
  ModelBuilder b;
  const int in = b.AddTensor({1, 8, 8, 3}, "input");
  const int w = b.AddConstTensor({2, 1, 1, 3}, std::vector<float>(6));
  const int mid = b.AddTensor({1, 4, 4, 2}, "conv");
  const int out = b.AddTensor({1, 4, 4, 2}, "relu");
  b.AddOperator(BuiltinOperator_CONV_2D, {in, w}, {mid}, BuiltinOptions_Conv2DOptions,
                testing::Conv2D(Padding_SAME, 2, 2));
  b.AddOperator(BuiltinOperator_RELU, {mid}, {out});
  b.SetInputs({in});
  b.SetOutputs({out});
  return b;
}

TEST(InterpreterTest, ResizedInputPropagatesAndConstantsCannotBeResized) {
  auto built = Build(ConvReluChain());
  ASSERT_EQ(built->status, kTfLiteOk);
  Interpreter& interpreter = *built->interpreter;
  EXPECT_THAT(interpreter.inputs(), ElementsAre(0));
  EXPECT_EQ(interpreter.tensor(1)->allocation_type, kTfLiteMmapRo);
  EXPECT_EQ(std::string(interpreter.tensor(2)->name), "conv");

  ASSERT_EQ(interpreter.ResizeInputTensor(0, {1, 16, 12, 3}), kTfLiteOk);
  ASSERT_EQ(interpreter.AllocateTensors(), kTfLiteOk);
  EXPECT_THAT(DimsOf(interpreter, 3), ElementsAre(1, 8, 6, 2));

  EXPECT_EQ(interpreter.ResizeInputTensor(1, {1, 1, 1, 6}), kTfLiteError);
  EXPECT_EQ(interpreter.ResizeInputTensor(0, {1, -2, 2, 3}), kTfLiteError);
  EXPECT_EQ(interpreter.ResizeInputTensor(9, {1}), kTfLiteError);
  EXPECT_THAT(DimsOf(interpreter, 0), ElementsAre(1, 16, 12, 3));

  // An input of the wrong channel count fails the convolution's prepare.
  ASSERT_EQ(interpreter.ResizeInputTensor(0, {1, 8, 8, 5}), kTfLiteOk);
  EXPECT_EQ(interpreter.AllocateTensors(), kTfLiteError);
  EXPECT_THAT(built->reporter.messages(),
              ::testing::Contains(HasSubstr("Node number 0 (CONV_2D) failed to prepare.")));
}

// Malformed models: every index and size that the file declares is checked when building.
struct BadModelCase {
  std::string name;
  std::function<void(ModelBuilder&)> damage;
  std::string report;
};
void PrintTo(const BadModelCase& c, std::ostream* os) { *os << c.name; }

class BadModelTest : public ::testing::TestWithParam<BadModelCase> {};

TEST_P(BadModelTest, FailsToBuildWithAReport) {
  ModelBuilder b = ConvReluChain();
  GetParam().damage(b);
  auto built = Build(b);
  ASSERT_NE(built->model, nullptr);
  EXPECT_EQ(built->status, kTfLiteError);
  EXPECT_EQ(built->interpreter, nullptr);
  EXPECT_THAT(built->reporter.messages(), ElementsAre(HasSubstr(GetParam().report)));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadModelTest,
    ::testing::Values(
        BadModelCase{"SchemaVersion", [](ModelBuilder& b) { b.version = 2; },
                     "schema version 2"},
        BadModelCase{"NoSubgraph", [](ModelBuilder& b) { b.subgraphs.clear(); }, "no subgraph"},
        BadModelCase{"UnknownBuiltin",
                     [](ModelBuilder& b) { b.opcodes[1].code = BuiltinOperator_GATHER; },
                     "Didn't find op for builtin opcode 'GATHER' version '1'"},
        BadModelCase{"UnsupportedVersion", [](ModelBuilder& b) { b.opcodes[1].version = 99; },
                     "Didn't find op for builtin opcode 'RELU' version '99'"},
        BadModelCase{"UnknownCustom",
                     [](ModelBuilder& b) { b.AddCustomOperator("Mystery", {2}, {3}); },
                     "Didn't find custom operator for name 'Mystery' version '1'"},
        BadModelCase{"OpcodeIndex",
                     [](ModelBuilder& b) { b.subgraphs[0].operators[1].opcode_index = 7; },
                     "Operator 1 has operator code 7 of 2"},
        BadModelCase{"OperatorInputIndex",
                     [](ModelBuilder& b) { b.subgraphs[0].operators[1].inputs = {4}; },
                     "An operator's input list names tensor 4 of 4"},
        BadModelCase{"OmittedOutput",
                     [](ModelBuilder& b) { b.subgraphs[0].operators[0].outputs = {-1}; },
                     "An operator's output list names tensor -1"},
        BadModelCase{"SubgraphInput", [](ModelBuilder& b) { b.SetInputs({-1}); },
                     "The subgraph's input list names tensor -1"},
        BadModelCase{"BufferIndex",
                     [](ModelBuilder& b) { b.subgraphs[0].tensors[1].buffer = 40; },
                     "Tensor 1 names buffer 40 of 2"},
        BadModelCase{"DataSize",
                     [](ModelBuilder& b) { b.subgraphs[0].tensors[1].shape = {2, 1, 1, 4}; },
                     "Tensor 1 has 24 bytes of data; its shape and type need 32"},
        BadModelCase{"NegativeDimension",
                     [](ModelBuilder& b) { b.subgraphs[0].tensors[2].shape = {1, -4, 4, 2}; },
                     "Tensor 2 has a negative dimension"},
        BadModelCase{"OutputIsConstant",
                     [](ModelBuilder& b) { b.subgraphs[0].operators[1].outputs = {1}; },
                     "Operator 1 writes constant tensor 1"},
        BadModelCase{"HugeTensor",
                     [](ModelBuilder& b) {
                       b.subgraphs[0].tensors[2].shape = {65536, 65536, 2};
                     },
                     "Tensor 2 is too large"}),
    [](const ::testing::TestParamInfo<BadModelCase>& info) { return info.param.name; });

// A delegate that claims the nodes in `claim` and records what its kernels receive.
struct RecordingDelegate {
  std::vector<int> claim;
  bool init_succeeds = true;
  std::vector<std::vector<int>> subsets, inputs, outputs;
  TfLiteDelegate delegate;

  RecordingDelegate() {
    delegate.data_ = this;
    delegate.Prepare = [](TfLiteContext* context, TfLiteDelegate* d) {
      auto* self = static_cast<RecordingDelegate*>(d->data_);
      TfLiteRegistration r;
      r.init = [](TfLiteContext*, const char* buffer, size_t) -> void* {
        const auto* params = reinterpret_cast<const TfLiteDelegateParams*>(buffer);
        auto* self = static_cast<RecordingDelegate*>(params->delegate->data_);
        self->subsets.push_back(TfLiteIntArrayToVector(params->nodes_to_replace));
        self->inputs.push_back(TfLiteIntArrayToVector(params->input_tensors));
        self->outputs.push_back(TfLiteIntArrayToVector(params->output_tensors));
        return self->init_succeeds ? new char(1) : nullptr;
      };
      r.free = [](TfLiteContext*, void* buffer) { delete static_cast<char*>(buffer); };
      r.prepare = [](TfLiteContext*, TfLiteNode* node) {
        return node->user_data != nullptr ? kTfLiteOk : kTfLiteError;
      };
      TfLiteIntArray* nodes = TfLiteIntArrayFromVector(self->claim);
      const TfLiteStatus status =
          context->ReplaceNodeSubsetsWithDelegateKernels(context, r, nodes, d);
      TfLiteIntArrayFree(nodes);
      return status;
    };
  }
};

// input -> conv -> relu -> tanh -> output, with the conv output also a model output.
ModelBuilder FourNodeChain() {
  ModelBuilder b = ConvReluChain();
  const int t = b.AddTensor({1, 4, 4, 2}, "tanh");
  const int l = b.AddTensor({1, 4, 4, 2}, "logistic");
  b.AddOperator(BuiltinOperator_TANH, {3}, {t});
  b.AddOperator(BuiltinOperator_LOGISTIC, {t}, {l});
  b.SetOutputs({l, 2});
  return b;
}

TEST(DelegateTest, ClaimedRunsBecomeKernelsWithTheirBoundaryTensors) {
  auto built = Build(FourNodeChain());
  ASSERT_EQ(built->status, kTfLiteOk);
  RecordingDelegate delegate;
  delegate.claim = {0, 1, 3};
  ASSERT_EQ(built->interpreter->ModifyGraphWithDelegate(&delegate.delegate), kTfLiteOk);
  // Nodes 0 and 1 run together; node 3 is separated from them by the unclaimed node 2.
  EXPECT_THAT(delegate.subsets, ElementsAre(ElementsAre(0, 1), ElementsAre(3)));
  EXPECT_THAT(delegate.inputs, ElementsAre(ElementsAre(0, 1), ElementsAre(4)));
  // The conv output is a model output, the relu output feeds node 2.
  EXPECT_THAT(delegate.outputs, ElementsAre(ElementsAre(2, 3), ElementsAre(5)));
  EXPECT_THAT(built->interpreter->execution_plan(), ElementsAre(4, 2, 5));
  EXPECT_EQ(built->interpreter->node(4)->delegate, &delegate.delegate);
}

TEST(DelegateTest, AFailedKernelInitFailsTheModification) {
  auto built = Build(FourNodeChain());
  ASSERT_EQ(built->status, kTfLiteOk);
  RecordingDelegate delegate;
  delegate.claim = {0, 1, 2, 3};
  delegate.init_succeeds = false;
  EXPECT_NE(built->interpreter->ModifyGraphWithDelegate(&delegate.delegate), kTfLiteOk);
  EXPECT_EQ(delegate.subsets.size(), 1u);
}

TEST(DelegateTest, ReplacingNodesOutsidePrepareOrNotInThePlanFails) {
  auto built = Build(FourNodeChain());
  ASSERT_EQ(built->status, kTfLiteOk);
  TfLiteContext* context = built->interpreter->context();
  TfLiteIntArray* nodes = TfLiteIntArrayFromVector({0});
  EXPECT_EQ(context->ReplaceNodeSubsetsWithDelegateKernels(context, TfLiteRegistration(), nodes,
                                                           nullptr),
            kTfLiteError);
  TfLiteIntArrayFree(nodes);

  RecordingDelegate delegate;
  delegate.claim = {17};
  EXPECT_NE(built->interpreter->ModifyGraphWithDelegate(&delegate.delegate), kTfLiteOk);
  EXPECT_THAT(built->reporter.messages(),
              ::testing::Contains(HasSubstr("Node 17 is not in the execution plan.")));
}

}  // namespace
}  // namespace tflite
