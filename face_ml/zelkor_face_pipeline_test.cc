#include "face_ml/zelkor_face_pipeline.h"

#include <cmath>
#include <memory>
#include <vector>

#include "face_ml/face_tracker.h"
#include "face_ml/landmark_geometry.h"
#include "face_ml/testing/log_capture.h"
#include "face_ml/testing/metadata_builders.h"
#include "face_ml/zelkor_face_utils.h"
#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using sorvanti::testing::Bytes;
using sorvanti::testing::DetectorMetadata;
using sorvanti::testing::DetectorMetadataSpec;
using sorvanti::testing::LogCapture;
using utils::RotatedRect;

constexpr float kPi = 3.14159265f;

const fb::FaceDetectorMetadata* Root(const Bytes& bytes) {
  return flatbuffers::GetRoot<fb::FaceDetectorMetadata>(bytes.data());
}

// ---- Frame rectangles and input size ---------------------------------------------------

TEST(ZelkorFaceUtilsTest, ImageRect) {
  struct Case {
    int rotation;
    float width, height, angle;
  } cases[] = {{0, 640, 480, 0}, {90, 480, 640, -kPi / 2}, {180, 640, 480, -kPi},
               {270, 480, 640, -3 * kPi / 2}, {-90, 480, 640, kPi / 2}};
  for (const Case& c : cases) {
    const RotatedRect r = CalculateImageRect(640, 480, c.rotation);
    EXPECT_EQ(r.center_x, 320) << c.rotation;
    EXPECT_EQ(r.center_y, 240) << c.rotation;
    EXPECT_EQ(r.width, c.width) << c.rotation;
    EXPECT_EQ(r.height, c.height) << c.rotation;
    EXPECT_FLOAT_EQ(r.rotation, c.angle) << c.rotation;
  }
}

TEST(ZelkorFaceUtilsTest, FitInsideRectGrowsOneSide) {
  const RotatedRect portrait{320, 240, 480, 640, 0.5f};
  const RotatedRect square = CalculateFitInsideRect(portrait, 128, 128);
  EXPECT_EQ(square.width, 640);
  EXPECT_EQ(square.height, 640);
  EXPECT_EQ(square.center_x, 320);
  EXPECT_EQ(square.rotation, 0.5f);
  const RotatedRect tall = CalculateFitInsideRect(portrait, 100, 300);
  EXPECT_EQ(tall.width, 480);
  EXPECT_EQ(tall.height, 1440);
  const RotatedRect rounded = CalculateFitInsideRect({0, 0, 100, 100, 0}, 3, 4);
  EXPECT_EQ(rounded.height, 133);  // 133.33 rounded
}

Bytes InputSpecWithSizes(std::vector<std::pair<int, int>> sizes) {
  DetectorMetadataSpec spec;
  spec.input_sizes = std::move(sizes);
  return DetectorMetadata(spec);
}

TEST(ZelkorFaceUtilsTest, BestInputSizeKeepsTheEarlierOfNearTies) {
  struct Case {
    const char* name;
    int width, height;
    std::vector<std::pair<int, int>> sizes;
    std::pair<int, int> best;
  } cases[] = {
      {"MostContent", 100, 100, {{128, 64}, {128, 128}, {64, 64}}, {128, 128}},
      {"ExactTie", 100, 100, {{200, 100}, {100, 200}}, {200, 100}},
      {"ExactTieOtherOrder", 100, 100, {{100, 200}, {200, 100}}, {100, 200}},
      // The second scores 9e-13 more than the first, within the tie margin.
      {"WithinMargin", 480, 640, {{64, 1000}, {64, 1007}}, {64, 1000}},
      {"BeyondMargin", 480, 640, {{64, 1000}, {65, 1000}}, {65, 1000}},
  };
  for (const Case& c : cases) {
    const Bytes bytes = InputSpecWithSizes(c.sizes);
    EXPECT_EQ(GetBestInputTensorWidthAndHeight(c.width, c.height, Root(bytes)->input_spec()),
              c.best)
        << c.name;
  }
}

TEST(ZelkorFaceUtilsDeathTest, NoRecommendedSizeIsFatal) {
  const Bytes bytes = InputSpecWithSizes({});
  EXPECT_DEATH(GetBestInputTensorWidthAndHeight(100, 100, Root(bytes)->input_spec()),
               "input_spec->recommended_input_sizes\\(\\)->size\\(\\) > 0 Zelkor face input spec "
               "doesn't specify recommended sizes");
}

TEST(ZelkorFaceUtilsTest, TransformResultReordersCorners) {
  // The whole 640x480 frame seen a quarter turn round.
  Matrix4 m;
  GetRotatedSubRectToRectTransformMatrix(CalculateImageRect(640, 480, 90), 640, 480, false, &m);
  LandmarksDetectionResult result;
  result.faces.push_back({{0.25f, 0.5f, 0.75f, 1.0f}, 0, 1, -1});
  result.landmarks.push_back({0, 0, 0.5f});
  TransformResult(m, &result);
  const Bound& r = result.faces[0].rect;
  EXPECT_LT(r.left, r.right);
  EXPECT_LT(r.top, r.bottom);
  // (u, v) of the turned frame is (v, 1 - u) of the frame.
  EXPECT_NEAR(r.left, 0.5f, 1e-6);
  EXPECT_NEAR(r.right, 1, 1e-6);
  EXPECT_NEAR(r.top, 0.25f, 1e-6);
  EXPECT_NEAR(r.bottom, 0.75f, 1e-6);
  EXPECT_NEAR(result.landmarks[0].x, 0, 1e-6);
  EXPECT_NEAR(result.landmarks[0].y, 1, 1e-6);
  EXPECT_NEAR(result.landmarks[0].z, 0.5f * 480 / 640, 1e-6);
}

// ---- Tracker ---------------------------------------------------------------------------

// One face per bound with six key points, the first two level.
LandmarksDetectionResult Faces(const std::vector<Bound>& bounds) {
  LandmarksDetectionResult result;
  for (const Bound& b : bounds) {
    const int32_t begin = static_cast<int32_t>(result.landmarks.size());
    for (int k = 0; k < 6; ++k) result.landmarks.push_back({b.left + 0.01f * k, b.top, 0});
    result.faces.push_back({b, begin, begin + 6, -1});
  }
  return result;
}

const Bound kA{0.1f, 0.1f, 0.3f, 0.3f};
const Bound kB{0.6f, 0.6f, 0.8f, 0.8f};
const Bound kC{0.6f, 0.1f, 0.8f, 0.3f};

std::vector<int32_t> Ids(const LandmarksDetectionResult& r) {
  std::vector<int32_t> ids;
  for (const auto& f : r.faces) ids.push_back(f.face_id);
  return ids;
}

TEST(FaceTrackerTest, IdsPersistAndRestartAfterReset) {
  auto tracker = MakeSimpleZelkorFaceTracker();
  LandmarksDetectionResult r = Faces({kA, kB});
  ASSERT_TRUE(tracker->Track(640, 480, &r));
  EXPECT_EQ(Ids(r), (std::vector<int32_t>{0, 1}));
  r = Faces({kC, {0.11f, 0.1f, 0.31f, 0.3f}});  // a new face and the first one, moved
  ASSERT_TRUE(tracker->Track(640, 480, &r));
  EXPECT_EQ(Ids(r), (std::vector<int32_t>{2, 0}));
  tracker->Reset();
  r = Faces({kB});
  ASSERT_TRUE(tracker->Track(640, 480, &r));
  EXPECT_EQ(Ids(r), (std::vector<int32_t>{0}));
}

TEST(FaceTrackerTest, TrackSurvives64MissedCallsNot65) {
  for (int missed : {64, 65}) {
    auto tracker = MakeSimpleZelkorFaceTracker();
    LandmarksDetectionResult r = Faces({kA});
    ASSERT_TRUE(tracker->Track(640, 480, &r));
    for (int i = 0; i < missed; ++i) {
      r = Faces({kB});
      ASSERT_TRUE(tracker->Track(640, 480, &r));
      LandmarksDetectionResult none;  // calls without faces do not age tracks
      ASSERT_TRUE(tracker->Track(640, 480, &none));
    }
    r = Faces({kA});
    ASSERT_TRUE(tracker->Track(640, 480, &r));
    EXPECT_EQ(r.faces[0].face_id, missed == 64 ? 0 : 2) << missed;
  }
}

TEST(FaceTrackerTest, TiltDifferenceCanPreventAMatch) {
  auto tracker = MakeSimpleZelkorFaceTracker();
  LandmarksDetectionResult r = Faces({kA});
  ASSERT_TRUE(tracker->Track(640, 480, &r));
  r = Faces({kA});
  // Key point 1 left of key point 0: tilt pi, score 0.8 + 0.2 * 0.5 = 0.9 still matches.
  r.landmarks[1].x = r.landmarks[0].x - 0.01f;
  ASSERT_TRUE(tracker->Track(640, 480, &r));
  EXPECT_EQ(r.faces[0].face_id, 0);
  // IoU 0.6 with the same tilt difference: 0.48 + 0.1 = 0.58 is no match.
  r = Faces({{0.1f, 0.1f, 0.3f, 0.22f}});
  ASSERT_TRUE(tracker->Track(640, 480, &r));
  EXPECT_EQ(r.faces[0].face_id, 1);
}

TEST(FaceTrackerTest, RefusesFacesWithoutSixKeypoints) {
  auto tracker = MakeSimpleZelkorFaceTracker();
  LandmarksDetectionResult r = Faces({kA});
  r.landmarks.pop_back();
  EXPECT_FALSE(tracker->Track(640, 480, &r));
  EXPECT_EQ(r.faces[0].face_id, -1);
}

// ---- Pipeline --------------------------------------------------------------------------

// A V1 detector with one grid of stride 16 and 2 anchors per cell, 6 key points.
class FakeRunner : public ZelkorFaceInferenceRunner {
 public:
  bool ResizeInputTensor(int width, int height) override {
    resizes.push_back({width, height});
    const int anchors = (width / 16) * (height / 16) * 2;
    if (scores.size() != static_cast<size_t>(anchors)) {
      boxes.assign(anchors * 16 + boxes_size_error, 0);
      scores.assign(anchors, -100);
    }
    if (fail_resizes == 0) return true;
    --fail_resizes;
    return false;
  }
  int GetBoxesSize() override { return static_cast<int>(boxes.size()); }
  int GetScoresSize() override { return static_cast<int>(scores.size()); }
  bool Run(const RotatedRect& input_rect, absl::Span<const float>* b,
           absl::Span<const float>* s) override {
    ++runs;
    last_rect = input_rect;
    *b = boxes;
    *s = scores;
    return true;
  }

  // A 32x32 face at the first anchor of cell (x, y) of a 128-wide tensor, its key points
  // spread along a line at `tilt_dy` per point.
  void PlaceFace(int x, int y, float dx = 0, float tilt_dy = 0) {
    const int anchor = (y * 8 + x) * 2;
    scores[anchor] = 5;
    float* row = boxes.data() + anchor * 16;
    row[0] = dx;
    row[2] = row[3] = 32;
    for (int k = 0; k < 6; ++k) {
      row[4 + 2 * k] = dx + 2.0f * k;
      row[5 + 2 * k] = tilt_dy * k;
    }
  }

  std::vector<std::pair<int, int>> resizes;
  int fail_resizes = 0;
  int boxes_size_error = 0;
  int runs = 0;
  RotatedRect last_rect;
  std::vector<float> boxes, scores;
};

struct PipelineFixture {
  explicit PipelineFixture(ZelkorFaceOptions options = {}, int dimensions = 2,
                           DetectorMetadataSpec spec = {}) {
    metadata = DetectorMetadata(spec);
    auto owned = std::make_unique<FakeRunner>();
    runner = owned.get();
    pipeline = ZelkorFacePipeline::Make(options, std::move(owned), Root(metadata),
                                        MakeFilterFactory(NO_FILTER, NO_FILTER, dimensions));
  }
  Bytes metadata;
  FakeRunner* runner;
  std::unique_ptr<ZelkorFacePipeline> pipeline;
};

ZelkorFaceOptions Options(bool tracking, int max_faces) {
  ZelkorFaceOptions options;
  options.enable_tracking = tracking;
  options.max_num_faces = max_faces;
  return options;
}

TEST(ZelkorFacePipelineTest, DetectsAndMapsIntoTheFrame) {
  PipelineFixture f(Options(false, 2));
  ASSERT_TRUE(f.pipeline->ResizeInput(256, 256, 0));
  EXPECT_EQ(f.runner->resizes, (std::vector<std::pair<int, int>>{{128, 128}}));
  f.runner->PlaceFace(3, 3);
  LandmarksDetectionResult result;
  ASSERT_TRUE(f.pipeline->Run(absl::ZeroDuration(), &result));
  EXPECT_EQ(f.runner->last_rect.width, 256);
  ASSERT_EQ(result.faces.size(), 1u);
  EXPECT_EQ(result.faces[0].face_id, -1);  // no tracker
  EXPECT_NEAR(result.faces[0].rect.left, 40.0f / 128, 1e-6);
  EXPECT_NEAR(result.faces[0].rect.bottom, 72.0f / 128, 1e-6);
  ASSERT_EQ(result.landmarks.size(), 6u);
  EXPECT_NEAR(result.landmarks[1].x, 58.0f / 128, 1e-6);

  // The same tensor size keeps the decoder; a rotation only changes the mapping.
  ASSERT_TRUE(f.pipeline->ResizeInput(256, 256, 90));
  EXPECT_EQ(f.runner->resizes.size(), 1u);
  ASSERT_TRUE(f.pipeline->Run(absl::ZeroDuration(), &result));
  EXPECT_NEAR(result.faces[0].rect.left, 40.0f / 128, 1e-5);
  EXPECT_NEAR(result.faces[0].rect.top, 1 - 72.0f / 128, 1e-5);
}

TEST(ZelkorFacePipelineTest, KeepAspectRatioFitsTheInputRectangle) {
  DetectorMetadataSpec spec;
  spec.keep_aspect_ratio = true;
  PipelineFixture f(Options(false, 1), 2, spec);
  ASSERT_TRUE(f.pipeline->ResizeInput(640, 480, 90));
  LandmarksDetectionResult result;
  ASSERT_TRUE(f.pipeline->Run(absl::nullopt, &result));
  EXPECT_EQ(f.runner->last_rect.width, 640);
  EXPECT_EQ(f.runner->last_rect.height, 640);
  EXPECT_FLOAT_EQ(f.runner->last_rect.rotation, -kPi / 2);
}

// A size counts only once the runner and the decoder agree on it; until then Run refuses,
// and each Run retries the last requested size.
TEST(ZelkorFacePipelineTest, ReadyOnlyAfterAResizeSucceeded) {
  PipelineFixture f;
  LandmarksDetectionResult result;
  EXPECT_FALSE(f.pipeline->Run(absl::nullopt, &result));  // never resized

  f.runner->fail_resizes = 1;
  EXPECT_FALSE(f.pipeline->ResizeInput(256, 256, 0));
  f.runner->PlaceFace(1, 1);
  ASSERT_TRUE(f.pipeline->Run(absl::nullopt, &result));  // retried the resize
  EXPECT_EQ(f.runner->resizes.size(), 2u);
  EXPECT_EQ(result.faces.size(), 1u);

  PipelineFixture mismatch;
  mismatch.runner->boxes_size_error = 1;
  LogCapture log;
  EXPECT_FALSE(mismatch.pipeline->ResizeInput(256, 256, 0));
  EXPECT_FALSE(mismatch.pipeline->Run(absl::nullopt, &result));
  EXPECT_FALSE(mismatch.pipeline->ResizeInput(256, 256, 0));  // the same size is tried again
  EXPECT_EQ(mismatch.runner->resizes.size(), 3u);
  EXPECT_EQ(mismatch.runner->runs, 0);
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "Face detector input is not ready"), 1);
}

TEST(ZelkorFacePipelineTest, TrackingGivesIdsAndFiltersKeypoints) {
  PipelineFixture f(Options(true, 2));
  ASSERT_TRUE(f.pipeline->ResizeInput(128, 128, 0));
  f.runner->PlaceFace(1, 1);
  f.runner->PlaceFace(5, 5);
  LandmarksDetectionResult first, second;
  ASSERT_TRUE(f.pipeline->Run(absl::Milliseconds(0), &first));
  EXPECT_EQ(Ids(first), (std::vector<int32_t>{0, 1}));
  // Both faces move a little: the filters hold the key points back, the boxes move.
  f.runner->boxes.assign(f.runner->boxes.size(), 0);
  f.runner->PlaceFace(1, 1, 1);
  f.runner->PlaceFace(5, 5, 1);
  ASSERT_TRUE(f.pipeline->Run(absl::Milliseconds(33), &second));
  EXPECT_EQ(Ids(second), (std::vector<int32_t>{0, 1}));
  EXPECT_NEAR(second.faces[0].rect.left, first.faces[0].rect.left + 1.0f / 128, 1e-6);
  EXPECT_GT(second.landmarks[0].x, first.landmarks[0].x);
  EXPECT_LT(second.landmarks[0].x, first.landmarks[0].x + 1.0f / 128);

  f.pipeline->StartNewSequence();
  ASSERT_TRUE(f.pipeline->Run(absl::Milliseconds(66), &second));
  EXPECT_EQ(Ids(second), (std::vector<int32_t>{0, 1}));
  // A fresh filter. Equal scores put the face of the later anchor, at x = 88, first.
  EXPECT_EQ(second.landmarks[0].x, (88 + 1) / 128.0f);
}

TEST(ZelkorFacePipelineTest, FilterFailureFailsTheFrame) {
  ZelkorFaceOptions options = Options(false, 1);
  options.filter_type = RELATIVE_VELOCITY_FILTER;  // makes a tracker too
  PipelineFixture f(options, /*dimensions=*/4);
  ASSERT_TRUE(f.pipeline->ResizeInput(128, 128, 0));
  f.runner->PlaceFace(2, 2);
  LandmarksDetectionResult result;
  LogCapture log;
  EXPECT_FALSE(f.pipeline->Run(absl::Milliseconds(5), &result));
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "Error applying filter"), 1);
  EXPECT_EQ(result.faces[0].face_id, 0);
  // Without a time nothing is filtered, so nothing fails.
  EXPECT_TRUE(f.pipeline->Run(absl::nullopt, &result));
}

}  // namespace
}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
