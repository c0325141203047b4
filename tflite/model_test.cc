#include "tflite/model.h"

#include <cstring>
#include <string>
#include <vector>

#include "face_ml/model_file_generated.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tflite/testing/model_builder.h"

namespace tflite {
namespace {

using ::testing::HasSubstr;
using testing::ModelBuilder;

// One convolution and a custom operator, with constant weights and a metadata buffer.
std::vector<uint8_t> SmallModel() {
  ModelBuilder b;
  const int in = b.AddTensor({1, 4, 4, 3}, "input");
  const int w = b.AddConstTensor({2, 1, 1, 3}, {1, 2, 3, 4, 5, 6}, "weights");
  const int mid = b.AddTensor({1, 4, 4, 2}, "conv");
  const int out = b.AddTensor({1, 2, 2, 2}, "pooled");
  b.AddOperator(BuiltinOperator_CONV_2D, {in, w, -1}, {mid}, BuiltinOptions_Conv2DOptions,
                testing::Conv2D(Padding_SAME, 1, 1, ActivationFunctionType_RELU));
  b.AddCustomOperator("MaxPoolingWithArgmax2D", {mid}, {out});
  b.SetInputs({in});
  b.SetOutputs({out});
  b.AddMetadata("face_metadata", {'x', 'y', 'z', 0, 'C', 'O', 'M', 'D'});
  return b.Finish();
}

TEST(FlatBufferModelTest, ReadsWhatTheBuilderWrote) {
  const std::vector<uint8_t> file = SmallModel();
  ASSERT_TRUE(ModelBufferHasIdentifier(file.data()));
  RecordingErrorReporter reporter;
  auto model = FlatBufferModel::BuildFromBuffer(reinterpret_cast<const char*>(file.data()),
                                                file.size(), &reporter);
  ASSERT_NE(model, nullptr);
  EXPECT_TRUE(reporter.messages().empty());
  const Model* m = model->GetModel();
  ASSERT_EQ(m->subgraphs()->size(), 1u);
  const SubGraph* g = m->subgraphs()->Get(0);
  EXPECT_EQ(g->tensors()->Get(1)->name()->str(), "weights");
  const Buffer* weights = m->buffers()->Get(g->tensors()->Get(1)->buffer());
  ASSERT_EQ(weights->data()->size(), 6 * sizeof(float));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(weights->data()->data()) % 16, 0u)
      << "constant data is aligned for vector loads";
  float w5;
  std::memcpy(&w5, weights->data()->data() + 5 * sizeof(float), sizeof(float));
  EXPECT_EQ(w5, 6.0f);

  const Operator* conv = g->operators()->Get(0);
  EXPECT_EQ(conv->inputs()->Get(2), -1);
  ASSERT_NE(conv->builtin_options_as_Conv2DOptions(), nullptr);
  EXPECT_EQ(conv->builtin_options_as_Conv2DOptions()->fused_activation_function(),
            ActivationFunctionType_RELU);
  EXPECT_EQ(conv->builtin_options_as_Conv2DOptions()->dilation_h_factor(), 1);

  // Both built-in code fields are written.
  const OperatorCode* conv_code = m->operator_codes()->Get(conv->opcode_index());
  EXPECT_EQ(conv_code->deprecated_builtin_code(), BuiltinOperator_CONV_2D);
  EXPECT_EQ(conv_code->builtin_code(), BuiltinOperator_CONV_2D);
  const OperatorCode* custom = m->operator_codes()->Get(g->operators()->Get(1)->opcode_index());
  EXPECT_EQ(GetBuiltinCode(*custom), BuiltinOperator_CUSTOM);
  EXPECT_EQ(custom->custom_code()->str(), "MaxPoolingWithArgmax2D");
}

TEST(FlatBufferModelTest, BuiltinCodeIsTheLargerOfBothFields) {
  // An old file has only the byte field; a new code above 127 has the placeholder there.
  flatbuffers::FlatBufferBuilder fbb;
  const auto old_code = CreateOperatorCode(fbb, BuiltinOperator_PRELU, 0, 1);
  const auto new_code = CreateOperatorCode(
      fbb, BuiltinOperator_PLACEHOLDER_FOR_GREATER_OP_CODES, 0, 1, static_cast<BuiltinOperator>(130));
  fbb.Finish(CreateModel(fbb, 3, fbb.CreateVector(std::vector{old_code, new_code})),
             ModelIdentifier());
  const Model* m = GetModel(fbb.GetBufferPointer());
  EXPECT_EQ(GetBuiltinCode(*m->operator_codes()->Get(0)), BuiltinOperator_PRELU);
  EXPECT_EQ(GetBuiltinCode(*m->operator_codes()->Get(1)), 130);
}

// The face ML code reads metadata through its own minimal schema of the model file: the
// `buffers` and `metadata_buffer` fields must keep their places.
TEST(FlatBufferModelTest, MetadataFieldsMatchTheFaceMlModelFileSchema) {
  const std::vector<uint8_t> file = SmallModel();
  flatbuffers::Verifier verifier(file.data(), file.size());
  ASSERT_TRUE(verifier.VerifyBuffer<research::sorvanti::api::fb::ModelFile>(nullptr));
  const auto* as_face_ml = flatbuffers::GetRoot<research::sorvanti::api::fb::ModelFile>(file.data());
  const Model* m = GetModel(file.data());
  ASSERT_EQ(as_face_ml->metadata_buffer()->size(), 1u);
  const int index = as_face_ml->metadata_buffer()->Get(0);
  EXPECT_EQ(index, m->metadata_buffer()->Get(0));
  const std::string nested(as_face_ml->buffers()->Get(index)->data()->begin(),
                           as_face_ml->buffers()->Get(index)->data()->end());
  EXPECT_EQ(nested, std::string("xyz\0COMD", 8));
  EXPECT_EQ(m->metadata()->Get(0)->name()->str(), "face_metadata");
  EXPECT_EQ(m->metadata()->Get(0)->buffer(), static_cast<uint32_t>(index));
}

TEST(FlatBufferModelTest, RejectsEveryTruncationAndAForeignIdentifier) {
  const std::vector<uint8_t> file = SmallModel();
  for (size_t n = 0; n < file.size(); ++n) {
    // A copy of exactly n bytes, so that reading past them is caught by the sanitizers.
    std::vector<char> prefix(file.begin(), file.begin() + n);
    RecordingErrorReporter reporter;
    EXPECT_EQ(FlatBufferModel::BuildFromBuffer(prefix.data(), n, &reporter), nullptr) << n;
    EXPECT_EQ(reporter.messages().size(), 1u) << n;
  }

  std::vector<char> foreign(file.begin(), file.end());
  std::memcpy(foreign.data() + 4, "TFL2", 4);
  RecordingErrorReporter reporter;
  EXPECT_EQ(FlatBufferModel::BuildFromBuffer(foreign.data(), foreign.size(), &reporter), nullptr);
  EXPECT_THAT(reporter.messages(),
              ::testing::ElementsAre(HasSubstr("is not a valid TensorFlow Lite flat buffer")));
}

TEST(FlatBufferModelTest, CorruptBytesNeverReadOutOfBounds) {
  // Whatever a single damaged byte does, verification either fails or the model reads
  // within its bytes (checked by the sanitizers, which run this test too).
  const std::vector<uint8_t> file = SmallModel();
  for (size_t i = 0; i < file.size(); ++i) {
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0xFF}}) {
      std::vector<char> bad(file.begin(), file.end());
      bad[i] = static_cast<char>(value);
      RecordingErrorReporter reporter;
      auto model = FlatBufferModel::BuildFromBuffer(bad.data(), bad.size(), &reporter);
      if (model == nullptr || model->GetModel()->subgraphs() == nullptr) continue;
      for (const SubGraph* g : *model->GetModel()->subgraphs()) {
        if (g->tensors() == nullptr) continue;
        for (const Tensor* t : *g->tensors()) {
          if (t->name() != nullptr) (void)t->name()->str();
        }
      }
    }
  }
}

TEST(FlatBufferModelTest, BuildFromModelNeedsAModel) {
  RecordingErrorReporter reporter;
  EXPECT_EQ(FlatBufferModel::BuildFromModel(nullptr, &reporter), nullptr);
  EXPECT_EQ(reporter.messages().size(), 1u);

  const std::vector<uint8_t> file = SmallModel();
  const Model* root = VerifiedModel(file.data(), file.size());
  ASSERT_NE(root, nullptr);
  auto model = FlatBufferModel::BuildFromModel(root, &reporter);
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->GetModel(), root);
  EXPECT_EQ(model->error_reporter(), &reporter);
}

}  // namespace
}  // namespace tflite
