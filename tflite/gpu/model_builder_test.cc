#include "tflite/gpu/model_builder.h"

#include <any>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tflite/gpu/operations.h"
#include "tflite/gpu/transformations.h"
#include "tflite/interpreter.h"
#include "tflite/testing/model_builder.h"

namespace tflite {
namespace gpu {
namespace {

using ::testing::ElementsAre;
using testing::ModelBuilder;

// Builds the GPU graph of a whole model through a delegate, as the conversion does.
struct Converted {
  std::vector<uint8_t> file;
  RecordingErrorReporter reporter;
  std::unique_ptr<FlatBufferModel> model;
  std::unique_ptr<Interpreter> interpreter;
  GraphFloat32 graph;
  absl::Status status;
};

std::unique_ptr<Converted> Convert(const ModelBuilder& b) {
  auto c = std::make_unique<Converted>();
  c->file = b.Finish();
  c->model = FlatBufferModel::BuildFromBuffer(reinterpret_cast<const char*>(c->file.data()),
                                              c->file.size(), &c->reporter);
  ops::builtin::BuiltinOpResolver resolver;
  EXPECT_EQ(InterpreterBuilder(*c->model, resolver)(&c->interpreter), kTfLiteOk);
  TfLiteDelegate delegate;
  delegate.data_ = c.get();
  delegate.Prepare = [](TfLiteContext* context, TfLiteDelegate* d) {
    TfLiteRegistration r;
    r.init = [](TfLiteContext* context, const char* buffer, size_t) -> void* {
      const auto* params = reinterpret_cast<const TfLiteDelegateParams*>(buffer);
      auto* c = static_cast<Converted*>(params->delegate->data_);
      c->status = BuildModel(context, params, &c->graph);
      return nullptr;
    };
    TfLiteIntArray* ops = GetOpsToReplace(context);
    const TfLiteStatus s = context->ReplaceNodeSubsetsWithDelegateKernels(context, r, ops, d);
    TfLiteIntArrayFree(ops);
    return s;
  };
  c->interpreter->ModifyGraphWithDelegate(&delegate);
  return c;
}

TEST(BuildModelTest, DepthwiseWeightsPaddingAndFusedActivation) {
  ModelBuilder b;
  const int in = b.AddTensor({1, 5, 5, 2}, "input");
  // Filter [1, 1, 2, 4]: input channel c, multiplier m at file channel c * 2 + m.
  const int w = b.AddConstTensor({1, 1, 2, 4}, {0, 1, 2, 3, 4, 5, 6, 7});
  const int out = b.AddTensor({1, 3, 3, 4}, "output");
  b.AddOperator(BuiltinOperator_DEPTHWISE_CONV_2D, {in, w}, {out},
                BuiltinOptions_DepthwiseConv2DOptions,
                testing::DepthwiseConv2D(Padding_SAME, 2, 2, 2, ActivationFunctionType_RELU6));
  b.SetInputs({in});
  b.SetOutputs({out});
  auto c = Convert(b);
  ASSERT_TRUE(c->status.ok()) << c->status;

  const auto nodes = c->graph.nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0]->operation.type, "depthwise_convolution");
  const auto& attr =
      std::any_cast<const DepthwiseConvolution2DAttributes&>(nodes[0]->operation.attributes);
  // Reordered to (multiplier, h, w, input channels).
  EXPECT_EQ(attr.weights.o, 2);
  EXPECT_EQ(attr.weights.i, 2);
  EXPECT_THAT(attr.weights.data, ElementsAre(0, 2, 4, 6, 1, 3, 5, 7));
  // SAME over 5 with stride 2 and a 1x2 window: width needs (3 - 1) * 2 + 2 - 5 = 1 extra.
  EXPECT_EQ(attr.padding.prepended, HW(0, 0));
  EXPECT_EQ(attr.padding.appended, HW(0, 1));

  // The activation follows as its own node and produces the model's output tensor.
  EXPECT_EQ(nodes[1]->operation.type, "relu");
  EXPECT_EQ(std::any_cast<const ReLUAttributes&>(nodes[1]->operation.attributes).clip, 6);
  ASSERT_EQ(c->graph.outputs().size(), 1u);
  EXPECT_EQ(c->graph.outputs()[0]->tensor.ref, out);
  EXPECT_EQ(c->graph.FindProducer(c->graph.outputs()[0]->id), nodes[1]);
  EXPECT_EQ(c->graph.FindInputs(nodes[1]->id)[0]->tensor.ref, -1);
}

TEST(BuildModelTest, ConstantOperandsBecomeAttributesByBroadcastKind) {
  ModelBuilder b;
  const int in = b.AddTensor({1, 2, 2, 3}, "input");
  const int scalar = b.AddConstTensor({1}, {2});
  const int channels = b.AddConstTensor({3}, {1, 2, 3});
  const int a = b.AddTensor({1, 2, 2, 3}), m = b.AddTensor({1, 2, 2, 3});
  const int fc_w = b.AddConstTensor({5, 12}, std::vector<float>(60, 1));
  const int reshaped = b.AddTensor({1, 12}), out = b.AddTensor({1, 5}, "output");
  b.AddOperator(BuiltinOperator_ADD, {scalar, in}, {a});
  b.AddOperator(BuiltinOperator_MUL, {a, channels}, {m});
  b.AddOperator(BuiltinOperator_RESHAPE, {m}, {reshaped}, BuiltinOptions_ReshapeOptions,
                testing::Reshape({1, 12}));
  b.AddOperator(BuiltinOperator_FULLY_CONNECTED, {reshaped, fc_w, -1}, {out});
  b.SetInputs({in});
  b.SetOutputs({out});
  auto c = Convert(b);
  ASSERT_TRUE(c->status.ok()) << c->status;
  const auto nodes = c->graph.nodes();
  ASSERT_EQ(nodes.size(), 4u);
  const auto& add = std::any_cast<const ElementwiseAttributes&>(nodes[0]->operation.attributes);
  EXPECT_EQ(add.kind, ElementwiseAttributes::Kind::kScalar);
  EXPECT_EQ(add.scalar, 2);
  const auto& mul = std::any_cast<const ElementwiseAttributes&>(nodes[1]->operation.attributes);
  EXPECT_EQ(mul.kind, ElementwiseAttributes::Kind::kPerChannel);
  EXPECT_EQ(std::any_cast<const ReshapeAttributes&>(nodes[2]->operation.attributes).new_shape,
            BHWC(1, 1, 1, 12));
  EXPECT_EQ(c->graph.outputs()[0]->tensor.shape, BHWC(1, 1, 1, 5));
  EXPECT_EQ(ToString(c->graph.outputs()[0]->tensor.shape), "{1, 1, 1, 5}");
}

TEST(TransformationsTest, IdentityReshapeGoesUnlessItMakesAGraphOutput) {
  ModelBuilder b;
  const int in = b.AddTensor({1, 2, 2, 3}, "input");
  const int r1 = b.AddTensor({1, 2, 2, 3}), t = b.AddTensor({1, 2, 2, 3});
  const int r2 = b.AddTensor({1, 2, 2, 3}, "output");
  b.AddOperator(BuiltinOperator_RESHAPE, {in}, {r1}, BuiltinOptions_ReshapeOptions,
                testing::Reshape({1, 2, 2, 3}));
  b.AddOperator(BuiltinOperator_TANH, {r1}, {t});
  b.AddOperator(BuiltinOperator_RESHAPE, {t}, {r2}, BuiltinOptions_ReshapeOptions,
                testing::Reshape({1, 2, 2, 3}));
  b.SetInputs({in});
  b.SetOutputs({r2});
  auto c = Convert(b);
  ASSERT_TRUE(c->status.ok()) << c->status;
  NullTransformationReporter reporter;
  ModelTransformer transformer(&c->graph, &reporter);
  ASSERT_TRUE(ApplyGeneralTransformations(&transformer));
  std::vector<std::string> types;
  for (const Node* n : c->graph.nodes()) types.push_back(n->operation.type);
  EXPECT_THAT(types, ElementsAre("tanh", "reshape"));
  EXPECT_EQ(c->graph.inputs()[0]->tensor.ref, in);
  EXPECT_EQ(c->graph.outputs()[0]->tensor.ref, r2);
}

TEST(TransformationsTest, AnInvalidGraphFailsTheTransformations) {
  GraphFloat32 graph;
  Value* in = graph.NewValue();
  Value* out = graph.NewValue();
  Node* pad = graph.NewNode();
  pad->operation.type = ToString(OperationType::PAD);  // without its attributes
  ASSERT_TRUE(graph.AddConsumer(pad->id, in->id).ok());
  ASSERT_TRUE(graph.SetProducer(pad->id, out->id).ok());
  NullTransformationReporter reporter;
  ModelTransformer transformer(&graph, &reporter);
  EXPECT_FALSE(ApplyGeneralTransformations(&transformer));
}

TEST(TransformationsTest, ANodeReadingItsOwnOutputFailsTheTransformations) {
  GraphFloat32 graph;
  Value* v = graph.NewValue();
  Value* out = graph.NewValue();
  Node* reshape = graph.NewNode();
  reshape->operation = {ToString(OperationType::RESHAPE), ReshapeAttributes{}};
  ASSERT_TRUE(graph.AddConsumer(reshape->id, v->id).ok());
  ASSERT_TRUE(graph.SetProducer(reshape->id, v->id).ok());
  Node* tanh = graph.NewNode();
  tanh->operation.type = ToString(OperationType::TANH);
  ASSERT_TRUE(graph.AddConsumer(tanh->id, v->id).ok());
  ASSERT_TRUE(graph.SetProducer(tanh->id, out->id).ok());
  NullTransformationReporter reporter;
  ModelTransformer transformer(&graph, &reporter);
  EXPECT_FALSE(ApplyGeneralTransformations(&transformer));
}

TEST(ShapeTest, PhwcElementsPadChannelsToSlicesOfFour) {
  EXPECT_EQ(GetElementsSizeForPHWC4(BHWC(1, 192, 192, 3)), 192 * 192 * 4);
  EXPECT_EQ(GetElementsSizeForPHWC4(BHWC(1, 1, 1, 1404)), 1404);
  EXPECT_EQ(GetElementsSizeForPHWC4(BHWC(2, 1, 1, 5)), 16);
}

}  // namespace
}  // namespace gpu
}  // namespace tflite
