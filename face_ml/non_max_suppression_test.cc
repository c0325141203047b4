#include "face_ml/non_max_suppression.h"

#include <cmath>
#include <vector>

#include "face_ml/testing/log_capture.h"
#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using sorvanti::testing::LogCapture;

// Boxes given directly; each has one key point at its top-left corner unless `keypoints`
// says otherwise.
class FakeSource : public BoxesSource {
 public:
  struct Box {
    float score;
    Bound bound;
    int keypoints = 1;
  };
  explicit FakeSource(std::vector<Box> boxes) : boxes_(std::move(boxes)) {}

  int num_boxes() const override { return static_cast<int>(boxes_.size()); }
  bool GetScore(int i, float* score) const override {
    if (i == fail_score_at) return false;
    *score = boxes_[i].score;
    return true;
  }
  bool GetBound(int i, Bound* bound) const override {
    *bound = boxes_[i].bound;
    return true;
  }
  bool AppendLandmarks(int i, std::vector<Landmark>* landmarks) const override {
    for (int k = 0; k < boxes_[i].keypoints; ++k) {
      landmarks->push_back({boxes_[i].bound.left, boxes_[i].bound.top, static_cast<float>(i)});
    }
    return true;
  }

  int fail_score_at = -1;

 private:
  std::vector<Box> boxes_;
};

TEST(NonMaxSuppressionTest, WeightedMeanOfMergedBoxes) {
  const FakeSource source({{0.6f, {0.20f, 0.1f, 0.60f, 0.5f}}, {0.9f, {0.10f, 0.1f, 0.50f, 0.5f}}});
  LandmarksDetectionResult result;
  result.faces.resize(3);  // cleared
  ASSERT_TRUE(RunNonMaxSuppression(source, 0.5f, 0.3f, true, 5, &result));
  ASSERT_EQ(result.faces.size(), 1u);
  EXPECT_NEAR(result.faces[0].rect.left, 0.14f, 1e-6);
  EXPECT_NEAR(result.faces[0].rect.right, 0.54f, 1e-6);
  EXPECT_EQ(result.faces[0].face_id, -1);
  ASSERT_EQ(result.landmarks.size(), 1u);
  EXPECT_NEAR(result.landmarks[0].x, 0.14f, 1e-6);
  EXPECT_NEAR(result.landmarks[0].z, 1 + 0.6f * (0 - 1) / 1.5f, 1e-6);
}

TEST(NonMaxSuppressionTest, ThresholdAndTieOrder) {
  // Equal scores: the higher index is kept first.
  const FakeSource source({{0.7f, {0, 0, 0.2f, 0.2f}},
                           {0.7f, {0.5f, 0.5f, 0.7f, 0.7f}},
                           {0.4f, {0.8f, 0.8f, 0.9f, 0.9f}},
                           {NAN, {0.8f, 0, 0.9f, 0.1f}}});
  for (bool weighted : {true, false}) {
    LandmarksDetectionResult result;
    ASSERT_TRUE(RunNonMaxSuppression(source, 0.5f, 0.3f, weighted, 5, &result));
    ASSERT_EQ(result.faces.size(), 2u) << weighted;
    EXPECT_EQ(result.faces[0].rect.left, 0.5f);
    EXPECT_EQ(result.faces[1].rect.left, 0);
    EXPECT_EQ(result.faces[1].landmarks_begin, 1);
    EXPECT_EQ(result.faces[1].landmarks_end, 2);
  }
}

TEST(NonMaxSuppressionTest, IouAtThresholdMergesWhenWeightedOnly) {
  // IoU exactly 0.5.
  const FakeSource source({{0.9f, {0, 0, 2, 1}}, {0.8f, {0, 0, 1, 1}}});
  LandmarksDetectionResult weighted, plain;
  ASSERT_TRUE(RunNonMaxSuppression(source, 0, 0.5f, true, 5, &weighted));
  ASSERT_TRUE(RunNonMaxSuppression(source, 0, 0.5f, false, 5, &plain));
  EXPECT_EQ(weighted.faces.size(), 1u);
  EXPECT_EQ(plain.faces.size(), 2u);
}

TEST(NonMaxSuppressionTest, MergesContinueAfterTheMaximumIsReached) {
  const FakeSource source({{0.9f, {0, 0, 0.4f, 0.4f}},
                           {0.8f, {0.6f, 0.6f, 0.9f, 0.9f}},  // dropped: no room
                           {0.3f, {0.1f, 0, 0.5f, 0.4f}}});   // merged into the first
  LandmarksDetectionResult result;
  ASSERT_TRUE(RunNonMaxSuppression(source, 0.1f, 0.3f, true, 1, &result));
  ASSERT_EQ(result.faces.size(), 1u);
  EXPECT_NEAR(result.faces[0].rect.left, 0.3f * 0.1f / 1.2f, 1e-6);
  // Plain mode stops at the maximum.
  ASSERT_TRUE(RunNonMaxSuppression(source, 0.1f, 0.3f, false, 1, &result));
  ASSERT_EQ(result.faces.size(), 1u);
  EXPECT_EQ(result.faces[0].rect.left, 0);
}

TEST(NonMaxSuppressionTest, Failures) {
  LogCapture log;
  LandmarksDetectionResult result;
  const FakeSource negative(std::vector<FakeSource::Box>{{-0.5f, {0, 0, 1, 1}}});
  EXPECT_FALSE(RunNonMaxSuppression(negative, -1, 0.3f, true, 5, &result));
  EXPECT_EQ(log.Count(absl::LogSeverity::kError,
                      "Invalid score for averaging non max suppression -0.5"),
            1);

  const FakeSource inconsistent({{0.9f, {0, 0, 1, 1}, 2}, {0.8f, {0, 0, 1, 1}, 3}});
  EXPECT_FALSE(RunNonMaxSuppression(inconsistent, 0, 0.3f, true, 5, &result));
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "Inconsistent landmarks size"), 1);
  EXPECT_EQ(result.faces.size(), 1u);  // what was appended before

  FakeSource failing({{0.9f, {0, 0, 1, 1}}, {0.8f, {0, 0, 1, 1}}});
  failing.fail_score_at = 1;
  EXPECT_FALSE(RunNonMaxSuppression(failing, 0, 0.3f, true, 5, &result));
  EXPECT_TRUE(result.faces.empty());
}

}  // namespace
}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
