#include "face_ml/bound_predictor.h"

#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace utils {
namespace {

RectAndBound Region(float x, absl::optional<absl::Duration> time) {
  RectAndBound r;
  r.rect = {100 * x, 50, 40, 30, 0.25f};
  r.bound = {x, 0.2f, x + 0.2f, 0.4f};
  r.time = time;
  return r;
}

const absl::Duration t1 = absl::Milliseconds(10);
const absl::Duration t2 = absl::Milliseconds(20);

TEST(BoundPredictorTest, NothingToPredictWithoutLandmarksRegion) {
  auto predictor = MakeBoundTranslationPredictor();
  predictor->AddFaceDetectorBound(Region(0.1f, t1));
  RectAndBound out = Region(0.9f, t1);
  EXPECT_FALSE(predictor->Predict(t1, &out));
  EXPECT_EQ(out.bound.left, 0.9f);
  predictor->AddLandmarksDetectorBound(Region(0.3f, t1));
  EXPECT_FALSE(predictor->Predict(t1, nullptr));
}

struct PredictCase {
  const char* name;
  absl::optional<absl::Duration> landmarks_time;
  absl::optional<absl::Duration> predict_time;
  bool two_detections;
  bool shifted;
};
void PrintTo(const PredictCase& c, std::ostream* os) { *os << c.name; }

class PredictTest : public testing::TestWithParam<PredictCase> {};

// Detections at t1 (left 0.1) and t2 (left 0.15); landmarks region at left 0.3.
TEST_P(PredictTest, ShiftsOnlyForDetectionsOnTheLandmarksFrameAndNow) {
  const PredictCase& c = GetParam();
  auto predictor = MakeBoundTranslationPredictor();
  if (c.two_detections) predictor->AddFaceDetectorBound(Region(0.1f, t1));
  predictor->AddFaceDetectorBound(Region(0.15f, t2));
  predictor->AddLandmarksDetectorBound(Region(0.3f, c.landmarks_time));
  RectAndBound out;
  ASSERT_TRUE(predictor->Predict(c.predict_time, &out));
  EXPECT_EQ(out.time, c.predict_time);
  const float shift = c.shifted ? 0.05f : 0.0f;
  EXPECT_NEAR(out.bound.left, 0.3f + shift, 1e-6);
  EXPECT_NEAR(out.bound.right, 0.5f + shift, 1e-6);
  EXPECT_NEAR(out.bound.top, 0.2f, 1e-6);
  EXPECT_NEAR(out.rect.center_x, 30 + 100 * shift, 1e-4);
  EXPECT_EQ(out.rect.width, 40);
  EXPECT_EQ(out.rect.rotation, 0.25f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PredictTest,
    testing::Values(PredictCase{"Shifted", t1, t2, true, true},
                    PredictCase{"LandmarksLaterThanPreviousDetection", t2, t2, true, false},
                    PredictCase{"OneDetection", t1, t2, false, false},
                    PredictCase{"PredictAtOtherTime", t1, t1, true, false},
                    PredictCase{"NoPredictTime", t1, absl::nullopt, true, false},
                    PredictCase{"NoLandmarksTime", absl::nullopt, t2, true, false}),
    [](const testing::TestParamInfo<PredictCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace utils
}  // namespace api
}  // namespace sorvanti
}  // namespace research
