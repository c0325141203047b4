// The front ends' model-independent parts over fake runners: metadata handling, the
// assembly of results, the adapters between the detectors and the face detector's resize
// rules. The GPU runners themselves run in the end-to-end graph test.

#include "face_ml/landmarks_detector_metal.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/status_test_util.h"
#include "face_ml/landmark_geometry.h"
#include "face_ml/testing/log_capture.h"
#include "face_ml/testing/metadata_builders.h"
#include "face_ml/zelkor_face_detector_metal.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/metal/device.h"
#include "tflite/model.h"
#include "tflite/testing/model_builder.h"

namespace research {
namespace sorvanti {
namespace api {
namespace {

using testing::Bytes;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A model file that carries `metadata` (no metadata when empty).
Bytes ModelWith(const Bytes& metadata) {
  tflite::testing::ModelBuilder b;
  const int in = b.AddTensor({1, 4, 4, 3});
  b.SetInputs({in});
  b.SetOutputs({in});
  if (!metadata.empty()) b.AddMetadata("metadata", metadata);
  return b.Finish();
}

absl::Span<const char> Chars(const Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

Bytes ContoursMetadata(int dimensions, int landmarks, int roi_a = 0, int roi_b = 0) {
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<flatbuffers::Offset<fb::ContourSet>> sets = {
      fb::CreateContourSet(fbb, 3, 0, 0, fbb.CreateVector(std::vector<int32_t>{0, 2}))};
  const auto sets_offset = fbb.CreateVector(sets);
  fb::ContoursMetadataBuilder m(fbb);
  m.add_contour_sets(sets_offset);
  m.add_num_landmarks(landmarks);
  m.add_num_dimensions(static_cast<int8_t>(dimensions));
  m.add_roi_landmark_a(roi_a);
  m.add_roi_landmark_b(roi_b);
  fb::FinishContoursMetadataBuffer(fbb, m.Finish());
  return testing::Finish(fbb);
}

// Answers `count` landmarks spread over the crop, normalised to the frame it reads.
class FakeLandmarkRunner : public internal::LandmarksRunner {
 public:
  FakeLandmarkRunner(int count, const MetalRGBABufferFrame* frame) : count_(count), frame_(frame) {}
  bool Run(utils::RotatedRect roi, std::vector<Landmark>* landmarks, bool* has_face) override {
    landmarks->clear();
    for (int i = 0; i < count_; ++i) {
      const float t = count_ == 1 ? 0.5f : static_cast<float>(i) / (count_ - 1) - 0.5f;
      landmarks->push_back({(roi.center_x + t * roi.width) / frame_->width,
                            (roi.center_y + t * roi.height) / frame_->height, 0});
    }
    *has_face = true;
    return true;
  }
  bool GetBound(const std::vector<Landmark>& landmarks, Bound* bound,
                utils::RotatedRect* roi) const override {
    internal::CalculateBoundingBox(landmarks, bound);
    roi->center_x = (bound->left + bound->right) / 2 * frame_->width;
    roi->center_y = (bound->top + bound->bottom) / 2 * frame_->height;
    roi->width = (bound->right - bound->left) / 1.2f * frame_->width;
    roi->height = (bound->bottom - bound->top) / 1.2f * frame_->height;
    return true;
  }

 private:
  int count_;
  const MetalRGBABufferFrame* frame_;
};

// A face detector that finds faces at fixed places, two key points each.
class FakeFaceDetector : public MetalFrameDetector {
 public:
  explicit FakeFaceDetector(std::vector<Bound> faces) : faces_(std::move(faces)) {}
  bool Detect(const MetalRGBABufferFrame&, LandmarksDetectionResult* result) override {
    *result = {};
    for (const Bound& b : faces_) {
      const int32_t begin = static_cast<int32_t>(result->landmarks.size());
      result->landmarks.push_back({b.left, b.top, 0});
      result->landmarks.push_back({b.right, b.top, 0});  // level eyes: no rotation
      result->faces.push_back({b, begin, begin + 2, -1});
    }
    return true;
  }
  std::vector<ContourSet> GetContoursSets() const override { return {}; }
  int GetNDimensions() const override { return 2; }
  void StartNewSequence() override {}

 private:
  std::vector<Bound> faces_;
};

MetalRGBABufferFrame Frame(int width = 200, int height = 100, int rotation = 0) {
  MetalRGBABufferFrame frame;
  frame.width = width;
  frame.height = height;
  frame.rotation_degrees = rotation;
  frame.timestamp = absl::Milliseconds(33);
  return frame;
}

struct RunnerCall {
  const fb::ContoursMetadata* metadata;
  bool flip;
};

// A landmarks detector over fake runners of `landmarks` landmarks each, whose face detector
// finds `faces`; records the runner factory's calls.
util::StatusOr<std::unique_ptr<LandmarksDetectorMetal>> MakeDetector(
    const Bytes& model, const LandmarksOptions& options, std::vector<Bound> faces, int landmarks,
    std::vector<RunnerCall>* calls) {
  return LandmarksDetectorMetal::Make(
      Chars(model), {},
      std::make_unique<internal::ObjectDetectorFromZelkorFace>(
          std::make_unique<FakeFaceDetector>(std::move(faces))),
      options,
      [=](const tflite::Model*, const fb::ContoursMetadata* metadata, bool flip,
          const MetalRGBABufferFrame* frame)
          -> util::StatusOr<std::unique_ptr<internal::LandmarksRunner>> {
        calls->push_back({metadata, flip});
        return std::make_unique<FakeLandmarkRunner>(landmarks, frame);
      });
}

TEST(LandmarksDetectorMetalTest, ResultsHoldAdjacentRangesAndIdsOnlyWhenAskedFor) {
  const Bytes model = ModelWith(ContoursMetadata(3, 5));
  for (bool ids : {false, true}) {
    SCOPED_TRACE(ids);
    LandmarksOptions options;
    options.num_faces = 2;
    options.output_face_ids = ids;
    std::vector<RunnerCall> calls;
    auto made = MakeDetector(model, options, {{0.1f, 0.1f, 0.3f, 0.5f}, {0.6f, 0.4f, 0.9f, 0.9f}},
                             5, &calls);
    ASSERT_OK(made.status());
    std::unique_ptr<LandmarksDetectorMetal> detector = std::move(made).value();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].flip);
    EXPECT_EQ(calls[0].metadata->num_landmarks(), 5);
    EXPECT_EQ(detector->GetNDimensions(), 3);
    ASSERT_EQ(detector->GetContoursSets().size(), 1u);
    EXPECT_THAT(detector->GetContoursSets()[0].indices, ElementsAre(0, 2));

    LandmarksDetectionResult result;
    result.landmarks.resize(7);  // stale contents are replaced
    ASSERT_TRUE(detector->Detect(Frame(), &result));
    ASSERT_EQ(result.faces.size(), 2u);
    EXPECT_EQ(result.faces[0].landmarks_begin, 0);
    EXPECT_EQ(result.faces[0].landmarks_end, 5);
    EXPECT_EQ(result.faces[1].landmarks_begin, 5);
    EXPECT_EQ(result.faces[1].landmarks_end, 10);
    EXPECT_EQ(result.landmarks.size(), 10u);
    EXPECT_EQ(result.faces[0].face_id, ids ? 1 : -1);
    EXPECT_EQ(result.faces[1].face_id, ids ? 2 : -1);
    // The landmarks follow the face detector's regions into the frame.
    EXPECT_NEAR(result.landmarks[2].x, 0.2f, 1e-5);
    EXPECT_NEAR(result.landmarks[7].y, 0.65f, 1e-5);
  }
}

TEST(LandmarksDetectorMetalTest, ModelsWithoutLandmarkMetadataAreRefused) {
  std::vector<RunnerCall> calls;
  const Bytes no_metadata = ModelWith({});
  EXPECT_THAT(MakeDetector(no_metadata, {}, {}, 1, &calls).status().message(),
              HasSubstr("Failed to parse metadata"));
  const Bytes garbage = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_THAT(MakeDetector(garbage, {}, {}, 1, &calls).status().message(),
              HasSubstr("Failed to parse flatbuffer"));
  const Bytes detector_model = ModelWith(testing::DetectorMetadata({}));
  EXPECT_THAT(MakeDetector(detector_model, {}, {}, 1, &calls).status().message(),
              HasSubstr("Failed to parse metadata"));
  EXPECT_TRUE(calls.empty());
}

TEST(LandmarksDetectorMetalTest, TheObjectDetectorAdapterOrientsRegionsAndStampsTheFrameTime) {
  internal::ObjectDetectorFromZelkorFace adapter(
      std::make_unique<FakeFaceDetector>(std::vector<Bound>{{0.1f, 0.2f, 0.5f, 0.6f}}));
  std::vector<utils::RectAndBound> rois;
  ASSERT_TRUE(adapter.Detect(Frame(200, 100), &rois));
  ASSERT_EQ(rois.size(), 1u);
  EXPECT_FLOAT_EQ(rois[0].rect.center_x, 60);
  EXPECT_FLOAT_EQ(rois[0].rect.center_y, 40);
  EXPECT_FLOAT_EQ(rois[0].rect.width, 80);
  EXPECT_FLOAT_EQ(rois[0].rect.rotation, 0);
  EXPECT_EQ(rois[0].bound.right, 0.5f);
  EXPECT_EQ(rois[0].time, absl::Milliseconds(33));

  std::vector<utils::RectAndBound> shared = rois;
  internal::ForwardObjectDetector forward(&shared);
  std::vector<utils::RectAndBound> out;
  ASSERT_TRUE(forward.Detect(Frame(), &out));
  EXPECT_EQ(out.size(), 1u);
  ASSERT_TRUE(forward.Detect(Frame(), &shared));  // the same list stays as it is
  EXPECT_EQ(shared.size(), 1u);
}

// A detector whose Detect gives one face of `landmarks` landmarks at a fixed place, counting
// the calls and the sequence restarts; it keeps the object detector it was made with.
class CountingDetector : public MetalFrameDetector {
 public:
  CountingDetector(int landmarks, float value, std::unique_ptr<MetalFrameObjectDetector> source)
      : landmarks_(landmarks), value_(value), source_(std::move(source)) {}
  bool Detect(const MetalRGBABufferFrame& frame, LandmarksDetectionResult* result) override {
    ++detects;
    if (source_ != nullptr) source_->Detect(frame, &seen_rois);
    result->faces = {{{0.2f, 0.2f, 0.8f, 0.8f}, 0, landmarks_, 7}};
    result->landmarks.clear();
    for (int i = 0; i < landmarks_; ++i) {
      result->landmarks.push_back(
          {0.3f + 0.4f * (i % 20) / 20, 0.3f + 0.4f * (i / 20) / 24.f, value_});
    }
    return true;
  }
  std::vector<ContourSet> GetContoursSets() const override { return {{5, {1}}}; }
  int GetNDimensions() const override { return 3; }
  void StartNewSequence() override { ++restarts; }

  int detects = 0;
  int restarts = 0;
  std::vector<utils::RectAndBound> seen_rois;

 private:
  int landmarks_;
  float value_;
  std::unique_ptr<MetalFrameObjectDetector> source_;
};

TEST(RefineLandmarksDetectorTest, TheRefineDetectorGetsTheLipsRegionsAndWritesItsLandmarksBack) {
  auto base_owned = std::make_unique<CountingDetector>(468, 0.0f, nullptr);
  CountingDetector* base = base_owned.get();
  CountingDetector* refine = nullptr;
  std::unique_ptr<RefineLandmarksDetector> detector = RefineLandmarksDetector::Make(
      std::move(base_owned), [&](std::unique_ptr<MetalFrameObjectDetector> source) {
        auto made = std::make_unique<CountingDetector>(80, 1.0f, std::move(source));
        refine = made.get();
        return made;
      });
  ASSERT_NE(detector, nullptr);
  EXPECT_EQ(detector->GetNDimensions(), 3);
  EXPECT_EQ(detector->GetContoursSets()[0].type, 5);

  LandmarksDetectionResult result;
  ASSERT_TRUE(detector->Detect(Frame(), &result));
  EXPECT_EQ(refine->detects, 1);
  ASSERT_EQ(refine->seen_rois.size(), 1u);  // one lips region for the one face
  EXPECT_EQ(refine->seen_rois[0].time, absl::Milliseconds(33));
  ASSERT_EQ(result.landmarks.size(), 468u);
  int refined = 0;
  for (const Landmark& l : result.landmarks) refined += l.z == 1.0f;
  EXPECT_EQ(refined, 80);

  detector->StartNewSequence();
  EXPECT_EQ(base->restarts, 1);
  EXPECT_EQ(refine->restarts, 1);

  EXPECT_EQ(RefineLandmarksDetector::Make(std::make_unique<CountingDetector>(468, 0, nullptr),
                                          [](auto) { return nullptr; }),
            nullptr);
}

// A face-detector runner for the default test metadata (stride 16, two anchors per cell, six
// key points) that records its tensor sizes and never finds a face.
class FakeZelkorFaceRunner : public internal::ZelkorFaceInferenceRunner {
 public:
  explicit FakeZelkorFaceRunner(std::vector<std::pair<int, int>>* resizes) : resizes_(resizes) {}
  bool ResizeInputTensor(int width, int height) override {
    resizes_->push_back({width, height});
    anchors_ = (width / 16) * (height / 16) * 2;
    boxes_.assign(anchors_ * 16, 0.0f);
    scores_.assign(anchors_, -100.0f);
    return true;
  }
  int GetBoxesSize() override { return anchors_ * 16; }
  int GetScoresSize() override { return anchors_; }
  bool Run(const utils::RotatedRect&, absl::Span<const float>* boxes,
           absl::Span<const float>* scores) override {
    *boxes = boxes_;
    *scores = scores_;
    return true;
  }

 private:
  std::vector<std::pair<int, int>>* resizes_;
  int anchors_ = 0;
  std::vector<float> boxes_, scores_;
};

TEST(ZelkorFaceDetectorMetalTest, ResizesOnChangesOnlyAndRefusesBadFramesUntouched) {
  testing::DetectorMetadataSpec spec;
  spec.input_sizes = {{128, 64}, {64, 128}};  // landscape and portrait tensors
  const Bytes model = ModelWith(testing::DetectorMetadata(spec));
  std::vector<std::pair<int, int>> resizes;
  const MetalRGBABufferFrame* runner_frame = nullptr;
  auto made = internal::MakeZelkorFaceDetector(
      ZelkorFaceOptions{}, Chars(model),
      [&](const MetalRGBABufferFrame* frame, const tflite::Model* m)
          -> util::StatusOr<std::unique_ptr<internal::ZelkorFaceInferenceRunner>> {
        EXPECT_NE(m, nullptr);
        runner_frame = frame;
        return std::make_unique<FakeZelkorFaceRunner>(&resizes);
      });
  ASSERT_OK(made.status());
  std::unique_ptr<ZelkorFaceDetectorMetal> detector = std::move(made).value();
  EXPECT_EQ(detector->GetNDimensions(), 2);
  LandmarksDetectionResult result;
  for (const MetalRGBABufferFrame& bad :
       {Frame(200, 100, 45), Frame(200, 100, 100), Frame(0, 100), Frame(200, 0), Frame(-5, 100)}) {
    EXPECT_FALSE(detector->Detect(bad, &result));
  }
  EXPECT_TRUE(resizes.empty());
  EXPECT_EQ(runner_frame->width, 0);  // the runner's frame is filled only by good frames

  for (int rotation : {0, 0, -90, 270, 180}) {
    ASSERT_TRUE(detector->Detect(Frame(200, 100, rotation), &result)) << rotation;
    EXPECT_EQ(runner_frame->rotation_degrees, rotation);
  }
  EXPECT_THAT(resizes, ElementsAre(std::pair(128, 64), std::pair(64, 128), std::pair(128, 64)));
  EXPECT_TRUE(result.faces.empty());
}

TEST(ZelkorFaceDetectorMetalTest, ModelsWithoutDetectorMetadataAreRefused) {
  int runners = 0;
  auto make_runner = [&](const MetalRGBABufferFrame*, const tflite::Model*)
      -> util::StatusOr<std::unique_ptr<internal::ZelkorFaceInferenceRunner>> {
    ++runners;
    return absl::InternalError("not reached");
  };
  for (const Bytes& model : {ModelWith({}), ModelWith(ContoursMetadata(2, 3))}) {
    EXPECT_THAT(internal::MakeZelkorFaceDetector({}, Chars(model), make_runner).status().message(),
                HasSubstr("Failed to parse metadata"));
  }
  EXPECT_EQ(runners, 0);
  const Bytes model = ModelWith(testing::DetectorMetadata({}));
  EXPECT_THAT(internal::MakeZelkorFaceDetector({}, Chars(model), make_runner).status().message(),
              HasSubstr("not reached"));
}

TEST(ZelkorFaceDetectorMetalTest, PHWC4OutputsReadBackInHWCOrder) {
  // A boxes output of (1, 1, 2, 16): each anchor's 16 values together.
  std::vector<float> phwc4(2 * 4 * 4);
  for (int slice = 0; slice < 4; ++slice) {
    for (int x = 0; x < 2; ++x) {
      for (int k = 0; k < 4; ++k) phwc4[(slice * 2 + x) * 4 + k] = x * 100 + slice * 4 + k;
    }
  }
  std::vector<float> hwc = {42};
  ASSERT_TRUE(internal::ConvertPHWC4ToHWC(phwc4, {1, 1, 2, 16}, &hwc));
  ASSERT_EQ(hwc.size(), 32u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(hwc[i], i / 16 * 100 + i % 16) << i;

  // Three channels take a slice of four; the padding is skipped.
  const std::vector<float> image = {1, 2, 3, -1, 4, 5, 6, -1};
  ASSERT_TRUE(internal::ConvertPHWC4ToHWC(image, {1, 2, 1, 3}, &hwc));
  EXPECT_THAT(hwc, ElementsAre(1, 2, 3, 4, 5, 6));
  EXPECT_FALSE(
      internal::ConvertPHWC4ToHWC(absl::MakeConstSpan(image).subspan(1), {1, 2, 1, 3}, &hwc));
  EXPECT_EQ(hwc.size(), 6u);
}

// Tensors of the given shapes, as a compiled model shows them.
struct FakeTensor {
  tflite::gpu::BHWC shape;
  const tflite::gpu::BHWC& GetShape() const { return shape; }
};
struct FakeCompiledModel {
  std::vector<FakeTensor> inputs, outputs;
  const std::vector<FakeTensor>& GetInputs() const { return inputs; }
  const std::vector<FakeTensor>& GetOutputs() const { return outputs; }
};

struct TensorCase {
  std::string name;
  FakeCompiledModel model;
  int dimensions;
  std::string error;  // empty: accepted
};
void PrintTo(const TensorCase& c, std::ostream* os) { *os << c.name; }

class LandmarkModelTensorsTest : public ::testing::TestWithParam<TensorCase> {};

TEST_P(LandmarkModelTensorsTest, MustFitTheMetadata) {
  const TensorCase& c = GetParam();
  absl::Status status = internal::CheckLandmarkModelTensors(&c.model, c.dimensions, 468);
  if (c.error.empty()) {
    EXPECT_OK(status);
  } else {
    EXPECT_THAT(status.message(), HasSubstr(c.error));
  }
}

const FakeTensor kImage{{1, 192, 192, 3}};
const FakeTensor kPoints3{{1, 1, 1, 1404}};
const FakeTensor kPresence{{1, 1, 1, 1}};

INSTANTIATE_TEST_SUITE_P(
    Cases, LandmarkModelTensorsTest,
    ::testing::Values(
        TensorCase{"PointsIn3D", {{kImage}, {kPoints3}}, 3, ""},
        TensorCase{"WithPresence", {{kImage}, {kPoints3, kPresence}}, 3, ""},
        TensorCase{"PointsIn2D", {{kImage}, {kPoints3}}, 2, "Invalid points output, actual: "},
        TensorCase{"WrongPresence",
                   {{kImage}, {kPoints3, {{1, 1, 1, 2}}}},
                   3,
                   "Invalid has_face output, actual: "},
        TensorCase{"TwoInputs",
                   {{kImage, kImage}, {kPoints3}},
                   3,
                   "(1)==(metal_runner->GetInputs().size())"},
        TensorCase{"FourChannels",
                   {{{{1, 192, 192, 4}}}, {kPoints3}},
                   3,
                   "(3)==(metal_runner->GetInputs()[0].GetShape().c)"},
        TensorCase{"NoOutput", {{kImage}, {}}, 3, "Expecting at least one output"}),
    [](const ::testing::TestParamInfo<TensorCase>& info) { return info.param.name; });

// A BGRA camera frame of one grey level, as the front ends get it.
class GreyFrame {
 public:
  GreyFrame(int width, int height, uint8_t level) {
    EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, kCVPixelFormatType_32BGRA,
                                  nullptr, &buffer_),
              kCVReturnSuccess);
    CVPixelBufferLockBaseAddress(buffer_, 0);
    std::memset(CVPixelBufferGetBaseAddress(buffer_), level, CVPixelBufferGetDataSize(buffer_));
    CVPixelBufferUnlockBaseAddress(buffer_, 0);
    frame_ = Frame(width, height);
    frame_.pixel_buffer = buffer_;
  }
  ~GreyFrame() { CVPixelBufferRelease(buffer_); }
  const MetalRGBABufferFrame& frame() const { return frame_; }

 private:
  CVPixelBufferRef buffer_ = nullptr;
  MetalRGBABufferFrame frame_;
};

// input [1, 6, 6, 3] -> relu (boxes) and, for two or three outputs, tanh (scores) and
// logistic.
Bytes DetectorModel(int outputs) {
  tflite::testing::ModelBuilder b;
  const int in = b.AddTensor({1, 6, 6, 3}, "input");
  std::vector<int32_t> outs;
  const tflite::BuiltinOperator ops[] = {tflite::BuiltinOperator_RELU,
                                         tflite::BuiltinOperator_TANH,
                                         tflite::BuiltinOperator_LOGISTIC};
  for (int i = 0; i < outputs; ++i) {
    outs.push_back(b.AddTensor({1, 6, 6, 3}));
    b.AddOperator(ops[i], {in}, {outs.back()});
  }
  b.SetInputs({in});
  b.SetOutputs(outs);
  b.AddMetadata("metadata", testing::DetectorMetadata({}));
  return b.Finish();
}

TEST(ZelkorFaceInferenceRunnerMetalTest, CompilesPerSizeAndReadsBothOutputsOfTheCrop) {
  const auto device = MTLCreateSystemDefaultDevice();
  const GreyFrame white(32, 24, 255);
  const Bytes model = DetectorModel(2);
  auto made = internal::MakeZelkorFaceInferenceRunnerMetal(
      device, &white.frame(), tflite::VerifiedModel(model.data(), model.size()));
  ASSERT_OK(made.status());
  internal::ZelkorFaceInferenceRunner& runner = **made;
  const utils::RotatedRect whole{16, 12, 32, 24, 0};
  absl::Span<const float> boxes, scores;
  EXPECT_EQ(runner.GetBoxesSize(), -1);
  EXPECT_EQ(runner.GetScoresSize(), -1);
  EXPECT_FALSE(runner.Run(whole, &boxes, &scores));

  ASSERT_TRUE(runner.ResizeInputTensor(8, 4));
  ASSERT_TRUE(runner.ResizeInputTensor(8, 4));
  EXPECT_EQ(runner.GetBoxesSize(), 4 * 8 * 3);
  ASSERT_TRUE(runner.Run(whole, &boxes, &scores));
  // White maps to 1 in the model input: relu gives 1, tanh about 0.76.
  ASSERT_EQ(boxes.size(), 96u);
  ASSERT_EQ(scores.size(), 96u);
  for (size_t i = 0; i < boxes.size(); ++i) {
    ASSERT_EQ(boxes[i], 1.0f) << i;
    ASSERT_NEAR(scores[i], std::tanh(1.0f), 1e-3) << i;
  }
  ASSERT_TRUE(runner.ResizeInputTensor(6, 10));
  EXPECT_EQ(runner.GetScoresSize(), 6 * 10 * 3);
}

TEST(ZelkorFaceInferenceRunnerMetalTest, ModelsWithoutTwoOutputsNeverRun) {
  const auto device = MTLCreateSystemDefaultDevice();
  const GreyFrame white(32, 24, 255);
  for (int outputs : {1, 3}) {
    const Bytes model = DetectorModel(outputs);
    auto made = internal::MakeZelkorFaceInferenceRunnerMetal(
        device, &white.frame(), tflite::VerifiedModel(model.data(), model.size()));
    ASSERT_OK(made.status());
    absl::Span<const float> boxes, scores;
    for (int attempt = 0; attempt < 2; ++attempt) {  // the same size again is no success
      EXPECT_FALSE((*made)->ResizeInputTensor(8, 4)) << outputs;
      EXPECT_EQ((*made)->GetBoxesSize(), -1);
      EXPECT_FALSE((*made)->Run({16, 12, 32, 24, 0}, &boxes, &scores));
    }
  }
}

// input [1, 8, 8, 3] -> fully connected with zero weights: the points output is its bias, in
// model-input pixels; a presence output of `presence` when given, of `presence_size` values.
Bytes LandmarkModel(const std::vector<float>& points, absl::optional<float> presence,
                    int presence_size = 1) {
  tflite::testing::ModelBuilder b;
  const int in = b.AddTensor({1, 8, 8, 3}, "input");
  const int flat = b.AddTensor({1, 192});
  b.AddOperator(tflite::BuiltinOperator_RESHAPE, {in}, {flat},
                tflite::BuiltinOptions_ReshapeOptions, tflite::testing::Reshape({1, 192}));
  auto fully_connected = [&](const std::vector<float>& bias) {
    const int n = static_cast<int>(bias.size());
    const int out = b.AddTensor({1, n});
    b.AddOperator(tflite::BuiltinOperator_FULLY_CONNECTED,
                  {flat, b.AddConstTensor({n, 192}, std::vector<float>(n * 192, 0.0f)),
                   b.AddConstTensor({n}, bias)},
                  {out}, tflite::BuiltinOptions_FullyConnectedOptions,
                  [](flatbuffers::FlatBufferBuilder& fbb) {
                    return tflite::CreateFullyConnectedOptions(fbb).Union();
                  });
    return out;
  };
  std::vector<int32_t> outputs = {fully_connected(points)};
  if (presence) outputs.push_back(fully_connected(std::vector<float>(presence_size, *presence)));
  b.SetInputs({in});
  b.SetOutputs(outputs);
  return b.Finish();
}

struct LandmarkRunnerCase {
  std::string name;
  int dimensions;
  absl::optional<float> presence;
  int presence_size;
  std::string error;  // empty: builds
  bool has_face;
};
void PrintTo(const LandmarkRunnerCase& c, std::ostream* os) { *os << c.name; }

class LandmarkRunnerMetalTest : public ::testing::TestWithParam<LandmarkRunnerCase> {};

TEST_P(LandmarkRunnerMetalTest, FitsTheMetadataAndMapsItsOutputIntoTheFrame) {
  const LandmarkRunnerCase& c = GetParam();
  // Three landmarks: the input's centre, its right edge and its bottom-left corner.
  const Bytes model = LandmarkModel({4, 4, 1, 8, 4, 2, 0, 8, 3}, c.presence, c.presence_size);
  const Bytes metadata = ContoursMetadata(c.dimensions, c.dimensions == 3 ? 3 : 4, 0, 1);
  const auto* comd = flatbuffers::GetRoot<fb::ContoursMetadata>(metadata.data());
  const GreyFrame grey(80, 60, 128);
  auto runner = internal::MakeRunnerFromFb(MTLCreateSystemDefaultDevice(),
                                           tflite::VerifiedModel(model.data(), model.size()),
                                           comd, /*flip=*/false, &grey.frame());
  if (!c.error.empty()) {
    EXPECT_THAT(runner.status().message(), HasSubstr(c.error));
    return;
  }
  ASSERT_OK(runner.status());
  std::vector<Landmark> landmarks;
  bool has_face = !c.has_face;
  ASSERT_TRUE((*runner)->Run({40, 30, 20, 20, 0}, &landmarks, &has_face));
  EXPECT_EQ(has_face, c.has_face);
  ASSERT_EQ(landmarks.size(), 3u);
  EXPECT_NEAR(landmarks[0].x, 0.5f, 1e-3);  // the crop's centre is the roi's
  EXPECT_NEAR(landmarks[0].y, 0.5f, 1e-3);
  EXPECT_GT(landmarks[1].x, landmarks[0].x);
  EXPECT_NEAR(landmarks[1].y, 0.5f, 1e-3);
  EXPECT_LT(landmarks[2].x, landmarks[0].x);
  EXPECT_GT(landmarks[2].y, landmarks[0].y);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LandmarkRunnerMetalTest,
    ::testing::Values(
        LandmarkRunnerCase{"ThreeDimensions", 3, absl::nullopt, 1, "", true},
        LandmarkRunnerCase{"NoFace", 3, 0.0f, 1, "", false},
        LandmarkRunnerCase{"Face", 3, 0.25f, 1, "", true},
        LandmarkRunnerCase{"PointsIn2D", 2, absl::nullopt, 1, "Invalid points output, actual: ",
                           true},
        LandmarkRunnerCase{"WidePresence", 3, 1.0f, 2, "Invalid has_face output, actual: ",
                           true}),
    [](const ::testing::TestParamInfo<LandmarkRunnerCase>& info) { return info.param.name; });

TEST(LandmarkRunnerMetalTest, AFlippedRunnerOrientsTheNextRegionTheOtherWay) {
  const Bytes model = LandmarkModel({4, 4, 0, 8, 4, 0, 0, 8, 0}, absl::nullopt);
  const Bytes metadata = ContoursMetadata(3, 3, 0, 1);
  const auto* comd = flatbuffers::GetRoot<fb::ContoursMetadata>(metadata.data());
  const GreyFrame grey(80, 60, 128);
  const std::vector<Landmark> level = {{0.25f, 0.5f, 0}, {0.75f, 0.5f, 0}, {0.5f, 0.7f, 0}};
  float rotations[2];
  for (bool flip : {false, true}) {
    auto runner = internal::MakeRunnerFromFb(MTLCreateSystemDefaultDevice(),
                                             tflite::VerifiedModel(model.data(), model.size()),
                                             comd, flip, &grey.frame());
    ASSERT_OK(runner.status());
    Bound bound;
    utils::RotatedRect roi;
    ASSERT_TRUE((*runner)->GetBound(level, &bound, &roi));
    rotations[flip] = roi.rotation;
  }
  EXPECT_NEAR(rotations[0], 0, 1e-5);
  EXPECT_NEAR(std::abs(rotations[1]), M_PI, 1e-5);
}

TEST(LandmarksFrontEndFactoriesTest, RefusalsAreLoggedAndNull) {
  const auto device = MTLCreateSystemDefaultDevice();
  const Bytes landmarks = LandmarkModel({4, 4, 0}, absl::nullopt);
  const Bytes no_detector_metadata = DetectorModel(1);  // carries FDMD, but one output only
  const Bytes garbage = {1, 2, 3};
  testing::LogCapture log;
  LandmarksOptions two_faces;
  two_faces.num_faces = 2;
  EXPECT_EQ(MakeLandmarksDetectorWithRefinementMetal(device, Chars(landmarks), Chars(garbage),
                                                     Chars(landmarks), two_faces),
            nullptr);
  EXPECT_EQ(log.Count(absl::LogSeverity::kError,
                      "Only one face is supported for refined detector right now"),
            1);
  EXPECT_EQ(MakeObjectDetectorFromZelkorFaceModelData(device, Chars(garbage), 1), nullptr);
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "Failed to initialize zelkor face"), 1);
  EXPECT_EQ(MakeLandmarksDetectorMetal(device, Chars(landmarks), Chars(garbage), {}), nullptr);
  EXPECT_EQ(MakeZelkorFaceMetal(device, {}, Chars(landmarks)), nullptr);  // no "FDMD"
  // A face detector is made once: its model is compiled at the first frame.
  EXPECT_NE(MakeZelkorFaceMetal(device, {}, Chars(no_detector_metadata)), nullptr);
}

}  // namespace
}  // namespace api
}  // namespace sorvanti
}  // namespace research
