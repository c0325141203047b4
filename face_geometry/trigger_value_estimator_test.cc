#include "face_geometry/trigger_value_estimator.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "face_geometry/face_model_generated.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::FloatNear;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Pair;
using Vertices = std::vector<Eigen::Vector3f>;

constexpr FaceTriggerId kMouthIsOpen = static_cast<FaceTriggerId>(0);

// Outer contour: ids 0-3, a unit square. Inner contour: ids 4-7, a rectangle of area
// `ratio`, listed clockwise (the outer one runs counter-clockwise). z is ignored.
Vertices Mouth(float ratio) {
  return {{0, 0, 5},
          {1, 0, -5},
          {1, 1, 0},
          {0, 1, 0},
          {0.2f, 0.1f, 3},
          {0.2f, 0.1f + ratio, 1},
          {1.2f, 0.1f + ratio, 0},
          {1.2f, 0.1f, 9}};
}

std::unique_ptr<FaceTriggerModelT> MouthTrigger(float low, float high) {
  auto trigger = std::make_unique<FaceTriggerModelT>();
  trigger->trigger_type = FaceTriggerType_MOUTH_IS_OPEN;
  trigger->mouth_is_open_trigger_model = std::make_unique<MouthIsOpenFaceTriggerModelT>();
  trigger->mouth_is_open_trigger_model->outer_mouth_contour_vertex_ids = {0, 1, 2, 3};
  trigger->mouth_is_open_trigger_model->inner_mouth_contour_vertex_ids = {4, 5, 6, 7};
  trigger->mouth_is_open_trigger_model->relative_inner_mouth_area_low = low;
  trigger->mouth_is_open_trigger_model->relative_inner_mouth_area_high = high;
  return trigger;
}

std::unique_ptr<TriggerValueEstimator> Create(const FaceModelT& model) {
  auto estimator = CreateTriggerValueEstimator(model);
  EXPECT_TRUE(estimator.ok()) << estimator.status();
  return estimator.ok() ? *std::move(estimator) : nullptr;
}

TEST(TriggerValueEstimatorTest, MouthOpenIsSmoothStepOfAreaRatio) {
  FaceModelT model;
  model.triggers.push_back(MouthTrigger(0.2f, 0.6f));
  const auto estimator = Create(model);
  ASSERT_NE(estimator, nullptr);
  const struct {
    float ratio;
    float value;
  } kCases[] = {
      {0.3f, 0.15625f},  // t = 0.25
      {0.2f, 0.0f},     {0.6f, 1.0f}, {0.4f, 0.5f}, {0.05f, 0.0f}, {0.9f, 1.0f},
  };
  for (const auto& c : kCases) {
    auto values = estimator->Estimate(Mouth(c.ratio));
    ASSERT_TRUE(values.ok()) << values.status();
    EXPECT_THAT(*values, ElementsAre(Pair(kMouthIsOpen, FloatNear(c.value, 1e-5f))))
        << "ratio " << c.ratio;
  }
}

TEST(TriggerValueEstimatorTest, LaterTriggerWithTheSameIdWins) {
  FaceModelT model;
  model.triggers.push_back(MouthTrigger(0.2f, 0.6f));
  model.triggers.push_back(MouthTrigger(0.0f, 0.4f));
  auto values = Create(model)->Estimate(Mouth(0.2f));
  ASSERT_TRUE(values.ok()) << values.status();
  EXPECT_THAT(*values, ElementsAre(Pair(kMouthIsOpen, FloatNear(0.5f, 1e-5f))));

  // Without triggers there is nothing to look at.
  values = Create(FaceModelT())->Estimate({});
  ASSERT_TRUE(values.ok());
  EXPECT_THAT(*values, IsEmpty());
}

TEST(TriggerValueEstimatorTest, InvalidTriggersFailCreation) {
  struct Case {
    std::unique_ptr<FaceTriggerModelT> trigger;
    std::string condition;
    std::string message;
  };
  std::vector<Case> cases;
  cases.push_back({MouthTrigger(0.3f, 0.3f),
                   "(relative_inner_mouth_area_high)>(relative_inner_mouth_area_low + "
                   "kAbsoluteErrorEps)",
                   "Trigger #1!"});
  cases.push_back({MouthTrigger(-0.1f, 0.5f),
                   "(relative_inner_mouth_area_low)>=(0.0f - kAbsoluteErrorEps)", "Trigger #1!"});
  cases.push_back({MouthTrigger(0.1f, 1.1f),
                   "(relative_inner_mouth_area_high)<=(1.0f + kAbsoluteErrorEps)", "Trigger #1!"});
  cases.push_back({MouthTrigger(NAN, 0.5f),
                   "(relative_inner_mouth_area_low)>=(0.0f - kAbsoluteErrorEps)", "Trigger #1!"});
  cases.push_back(
      {MouthTrigger(0.1f, 0.5f), "!inner_mouth_contour_vertex_ids.empty()", "Trigger #1!"});
  cases.back().trigger->mouth_is_open_trigger_model->inner_mouth_contour_vertex_ids.clear();
  cases.push_back(
      {MouthTrigger(0.1f, 0.5f), "!outer_mouth_contour_vertex_ids.empty()", "Trigger #1!"});
  cases.back().trigger->mouth_is_open_trigger_model->outer_mouth_contour_vertex_ids.clear();
  cases.push_back({MouthTrigger(0.1f, 0.5f), "trigger.mouth_is_open_trigger_model",
                   "A mouth-is-open trigger must have its `mouth_is_open_trigger_model`!; "
                   "Trigger #1!"});
  cases.back().trigger->mouth_is_open_trigger_model.reset();
  cases.push_back({MouthTrigger(0.1f, 0.5f), "false", "Unknown trigger info type! Trigger #1!"});
  cases.back().trigger->trigger_type = static_cast<FaceTriggerType>(1);

  for (Case& c : cases) {
    FaceModelT model;
    model.triggers.push_back(MouthTrigger(0.1f, 0.5f));  // valid
    model.triggers.push_back(std::move(c.trigger));
    auto estimator = CreateTriggerValueEstimator(model);
    EXPECT_EQ(estimator.status().code(), absl::StatusCode::kInternal) << c.condition;
    EXPECT_THAT(std::string(estimator.status().message()),
                AllOf(HasSubstr("RET_CHECK failure (face_geometry/trigger_value_estimator:"),
                      HasSubstr(") " + c.condition + " "), HasSubstr(c.message)));
  }
}

TEST(TriggerValueEstimatorTest, EstimateFailsForEmptyOuterContourOrShortVertexList) {
  FaceModelT model;
  model.triggers.push_back(MouthTrigger(0.2f, 0.6f));
  const auto estimator = Create(model);
  ASSERT_NE(estimator, nullptr);

  Vertices collinear = Mouth(0.3f);
  for (int i = 0; i < 4; ++i) collinear[i] = Eigen::Vector3f(i, 2 * i, 0);
  auto values = estimator->Estimate(collinear);
  EXPECT_THAT(std::string(values.status().message()),
              AllOf(HasSubstr("(outer_mouth_area)>=(kAbsoluteErrorEps)"),
                    HasSubstr("Outer mouth contour is expected to enclose some non-empty area!")));

  Vertices short_list = Mouth(0.3f);
  short_list.pop_back();
  values = estimator->Estimate(short_list);
  EXPECT_THAT(std::string(values.status().message()),
              HasSubstr("Mouth contour vertex id 7 is out of range: there are 7 vertices!"));
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
