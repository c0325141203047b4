// Each generated face model through the Metal model runner, fed by the rotated crop of a
// camera-sized frame that holds a face-like patch, against the plain float evaluator of the
// same model with half-precision storage on the same input.

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "base/status_test_util.h"
#include "face_ml/metal_runner.h"
#include "face_ml/sub_rect_extractor_metal.h"
#include "gtest/gtest.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"
#include "tflite/gpu/metal/half_conversion.h"
#include "tflite/model.h"
#include "tflite/testing/model_builder.h"
#include "tflite/testing/reference_evaluator.h"
#include "tools/face_models/face_detector_model.h"
#include "tools/face_models/face_layout.h"
#include "tools/face_models/landmark_models.h"

namespace research::sorvanti::api::internal {
namespace {

using tflite::testing::FloatTensor;
namespace models = tools::face_models;

constexpr int kFrameWidth = 320, kFrameHeight = 240;

struct ModelCase {
  std::string name;
  std::function<std::vector<uint8_t>()> make;
  int input_size;
  float alpha, beta;  // the model's input range
  float patch_height;  // in frame pixels, centred in the crop
  float crop_size;
};

void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.name; }

// A dark BGRA frame with a bright face-like patch at (150, 110).
CVPixelBufferRef PatchFrame(float patch_height) {
  CVPixelBufferRef frame = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, kFrameWidth, kFrameHeight,
                                kCVPixelFormatType_32BGRA, nullptr, &frame),
            kCVReturnSuccess);
  const models::FacePatch patch = models::FacePatchOfHeight(150, 110, patch_height);
  CVPixelBufferLockBaseAddress(frame, 0);
  auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(frame));
  for (int y = 0; y < kFrameHeight; ++y) {
    uint8_t* row = base + y * CVPixelBufferGetBytesPerRow(frame);
    for (int x = 0; x < kFrameWidth; ++x) {
      const uint8_t v = models::InsideFacePatch(patch, x, y) ? 230 : 20;
      row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = v;
      row[4 * x + 3] = 255;
    }
  }
  CVPixelBufferUnlockBaseAddress(frame, 0);
  return frame;
}

class FaceModelRunnerTest : public testing::TestWithParam<ModelCase> {};

TEST_P(FaceModelRunnerTest, MatchesTheFloatEvaluatorWithHalfStorage) {
  const ModelCase& c = GetParam();
  const std::vector<uint8_t> file = c.make();
  const tflite::Model* model = tflite::VerifiedModel(file.data(), file.size());
  ASSERT_NE(model, nullptr);
  auto device = MTLCreateSystemDefaultDevice();
  auto runner = MetalRunner::Make(device, absl::nullopt, *model);
  ASSERT_TRUE(runner.ok()) << runner.status();
  auto extractor = SubRectExtractorMetal::Make(device);
  ASSERT_TRUE(extractor.ok());
  auto cache = MetalTextureCache::Make(device);
  ASSERT_TRUE(cache.ok());

  CVPixelBufferRef frame = PatchFrame(c.patch_height);
  auto texture = flow::metal::MetalTexture::Make(cache->cache(), frame, 0, kFrameWidth,
                                                 kFrameHeight);
  ASSERT_TRUE(texture.ok());
  const tflite::gpu::BHWC input_shape = (*runner)->GetInputs()[0].GetShape();
  ASSERT_EQ(input_shape, tflite::gpu::BHWC(1, c.input_size, c.input_size, 3));
  flow::metal::MetalBuffer input = (*runner)->GetInputs()[0].GetBuffer();
  auto commands = MetalCommandBuffer::Make(device->newCommandQueue());
  ASSERT_OK((*extractor)->Execute(&*commands, *texture,
                                  tflite::gpu::HW(c.input_size, c.input_size),
                                  {150, 110, c.crop_size, c.crop_size, 0.2f}, false, c.alpha,
                                  c.beta, &input));
  ASSERT_OK((*runner)->Run(&*commands));
  commands->CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
  CVPixelBufferRelease(frame);

  // The evaluator gets the very crop the model read.
  FloatTensor crop{{1, c.input_size, c.input_size, 3},
                   std::vector<float>(input_shape.DimensionsProduct())};
  tflite::gpu::metal::PHWC4HalvesToNHWCFloats(
      static_cast<const uint16_t*>(input.buffer()->contents()), input_shape, crop.data.data());
  auto expected = tflite::testing::EvaluateModel(file, {crop}, {.half_storage = true});
  ASSERT_TRUE(expected.ok()) << expected.status();
  ASSERT_EQ(expected->size(), (*runner)->GetOutputs().size());

  float largest = 0;
  for (size_t i = 0; i < expected->size(); ++i) {
    const auto& tensor = (*runner)->GetOutputs()[i];
    const tflite::gpu::BHWC s = tensor.GetShape();
    ASSERT_EQ(s.DimensionsProduct(), static_cast<int64_t>((*expected)[i].data.size()));
    std::vector<float> actual(s.DimensionsProduct());
    tflite::gpu::metal::PHWC4HalvesToNHWCFloats(
        static_cast<const uint16_t*>(tensor.GetBuffer().buffer()->contents()), s, actual.data());
    for (size_t k = 0; k < actual.size(); ++k) {
      const float want = (*expected)[i].data[k];
      largest = std::max(largest, std::fabs(want));
      // A few half-precision steps of the value: the two sum in different orders, so a
      // stored intermediate may round the other way.
      ASSERT_NEAR(actual[k], want, 4e-3f * std::max(1.0f, std::fabs(want)))
          << "output " << i << " element " << k;
    }
  }
  EXPECT_GT(largest, 0.5f) << "the outputs should say something about the patch";
}

INSTANTIATE_TEST_SUITE_P(
    Models, FaceModelRunnerTest,
    testing::Values(
        ModelCase{"Detector", [] { return models::MakeFaceDetectorModel(false); },
                  models::kFaceDetectorInputSize, 2.0f, -1.0f, 60, 200},
        ModelCase{"FaceMesh", [] { return models::MakeFaceMeshModel(false); },
                  models::kFaceMeshInputSize, 1.0f, 0.0f, 100, 160},
        ModelCase{"RealisticDetector", [] { return models::MakeFaceDetectorModel(true); },
                  models::kFaceDetectorInputSize, 2.0f, -1.0f, 60, 200},
        ModelCase{"RealisticFaceMesh", [] { return models::MakeFaceMeshModel(true); },
                  models::kFaceMeshInputSize, 1.0f, 0.0f, 100, 160},
        ModelCase{"Lips", [] { return models::MakeLipsModel(); }, models::kLipsInputSize, 1.0f,
                  0.0f, 100, 60},
        ModelCase{"Eyes", [] { return models::MakeEyesModel(); }, models::kEyesInputSize, 1.0f,
                  0.0f, 100, 50}),
    [](const auto& info) { return info.param.name; });

// A leaky rectifier after a convolution must keep its slope on the GPU path: folded into the
// convolution as a plain rectifier, the negative outputs would read 0 instead of 0.2 x.
TEST(ModelRunnerTest, LeakyReluAfterAConvolutionKeepsItsSlope) {
  constexpr int kSide = 5, kIn = 2, kOut = 3;
  tflite::testing::ModelBuilder b;
  const int in = b.AddTensor({1, kSide, kSide, kIn}, "input");
  std::vector<float> weights(kOut * 3 * 3 * kIn);
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = 0.05f * static_cast<float>(i % 7) - 0.2f;
  const int filter = b.AddConstTensor({kOut, 3, 3, kIn}, weights);
  const int bias = b.AddConstTensor({kOut}, {-0.5f, 0.25f, -1.0f});
  const int conv = b.AddTensor({1, kSide, kSide, kOut});
  const int out = b.AddTensor({1, kSide, kSide, kOut}, "output");
  b.AddOperator(tflite::BuiltinOperator_CONV_2D, {in, filter, bias}, {conv},
                tflite::BuiltinOptions_Conv2DOptions,
                tflite::testing::Conv2D(tflite::Padding_SAME, 1, 1));
  b.AddOperator(tflite::BuiltinOperator_LEAKY_RELU, {conv}, {out},
                tflite::BuiltinOptions_LeakyReluOptions, tflite::testing::LeakyRelu(0.2f));
  b.SetInputs({in});
  b.SetOutputs({out});
  const std::vector<uint8_t> file = b.Finish();
  const tflite::Model* model = tflite::VerifiedModel(file.data(), file.size());
  ASSERT_NE(model, nullptr);

  auto device = MTLCreateSystemDefaultDevice();
  auto runner = MetalRunner::Make(device, absl::nullopt, *model);
  ASSERT_TRUE(runner.ok()) << runner.status();
  FloatTensor input{{1, kSide, kSide, kIn}, std::vector<float>(kSide * kSide * kIn)};
  for (size_t i = 0; i < input.data.size(); ++i) {
    input.data[i] = tflite::gpu::metal::RoundToHalf(std::sin(0.7f * static_cast<float>(i)));
  }
  const tflite::gpu::BHWC input_shape(1, kSide, kSide, kIn);
  ASSERT_EQ((*runner)->GetInputs()[0].GetShape(), input_shape);
  tflite::gpu::metal::NHWCFloatsToPHWC4Halves(
      input.data.data(), input_shape,
      static_cast<uint16_t*>((*runner)->GetInputs()[0].GetBuffer().buffer()->contents()));
  auto commands = MetalCommandBuffer::Make(device->newCommandQueue());
  ASSERT_TRUE(commands.ok());
  ASSERT_OK((*runner)->Run(&*commands));
  commands->CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);

  auto expected = tflite::testing::EvaluateModel(file, {input}, {.half_storage = true});
  ASSERT_TRUE(expected.ok()) << expected.status();
  const auto& output = (*runner)->GetOutputs()[0];
  ASSERT_EQ(output.GetShape(), tflite::gpu::BHWC(1, kSide, kSide, kOut));
  std::vector<float> actual(kSide * kSide * kOut);
  tflite::gpu::metal::PHWC4HalvesToNHWCFloats(
      static_cast<const uint16_t*>(output.GetBuffer().buffer()->contents()), output.GetShape(),
      actual.data());
  int negative = 0;
  for (size_t k = 0; k < actual.size(); ++k) {
    const float want = (*expected)[0].data[k];
    negative += want < -0.01f;
    ASSERT_NEAR(actual[k], want, 4e-3f * std::max(1.0f, std::fabs(want))) << "element " << k;
  }
  EXPECT_GT(negative, 10) << "the case needs negative pre-activations";
}

}  // namespace
}  // namespace research::sorvanti::api::internal
