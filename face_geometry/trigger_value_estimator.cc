#include "face_geometry/trigger_value_estimator.h"

#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "base/status_macros.h"
#include "face_geometry/face_model_generated.h"

namespace quorrel {
namespace face_transform {
namespace {

constexpr float kAbsoluteErrorEps = 1e-5f;

// Every mouth-open trigger reports under this id.
constexpr FaceTriggerId kMouthIsOpenTriggerId = static_cast<FaceTriggerId>(0);

struct MouthIsOpenTriggerData {
  std::vector<uint16_t> inner_mouth_contour_vertex_ids;
  std::vector<uint16_t> outer_mouth_contour_vertex_ids;
  float relative_inner_mouth_area_low;
  float relative_inner_mouth_area_high;
};

struct SingleTriggerValueEstimator {
  FaceTriggerId id;
  std::function<util::StatusOr<float>(absl::Span<const Eigen::Vector3f>)> estimate;
};

// Area of the closed polygon through the contour's vertices, in the x-y plane.
float ComputeAreaEnclosedByContour(absl::Span<const Eigen::Vector3f> vertices,
                                   const std::vector<uint16_t>& contour_vertex_ids) {
  const size_t m = contour_vertex_ids.size();
  float sum = 0;
  for (size_t k = 0; k < m; ++k) {
    const Eigen::Vector3f& a = vertices[contour_vertex_ids[k]];
    const Eigen::Vector3f& b = vertices[contour_vertex_ids[(k + 1) % m]];
    sum += a.x() * b.y() - a.y() * b.x();
  }
  return 0.5f * std::abs(sum);
}

absl::Status ValidateContourVertexIds(absl::Span<const Eigen::Vector3f> vertices,
                                      const std::vector<uint16_t>& contour_vertex_ids) {
  for (uint16_t contour_vertex_id : contour_vertex_ids) {
    RET_CHECK_LT(contour_vertex_id, vertices.size())
        << "Mouth contour vertex id " << contour_vertex_id << " is out of range: there are "
        << vertices.size() << " vertices!";
  }
  return absl::OkStatus();
}

// Grows smoothly from 0 at the low inner/outer area ratio to 1 at the high one.
util::StatusOr<float> EstimateMouthIsOpenTriggerValue(const MouthIsOpenTriggerData& data,
                                                      absl::Span<const Eigen::Vector3f> vertices) {
  RETURN_IF_ERROR(ValidateContourVertexIds(vertices, data.outer_mouth_contour_vertex_ids));
  RETURN_IF_ERROR(ValidateContourVertexIds(vertices, data.inner_mouth_contour_vertex_ids));
  const float outer_mouth_area =
      ComputeAreaEnclosedByContour(vertices, data.outer_mouth_contour_vertex_ids);
  RET_CHECK_GE(outer_mouth_area, kAbsoluteErrorEps)
      << "Outer mouth contour is expected to enclose some non-empty area!";
  const float inner_mouth_area =
      ComputeAreaEnclosedByContour(vertices, data.inner_mouth_contour_vertex_ids);
  float t = (inner_mouth_area / outer_mouth_area - data.relative_inner_mouth_area_low) /
            (data.relative_inner_mouth_area_high - data.relative_inner_mouth_area_low);
  if (t > 1) t = 1;
  if (t < 0) t = 0;
  return t * t * (3 - 2 * t);
}

absl::Status ValidateMouthIsOpenTriggerModel(const FaceTriggerModelT& trigger) {
  RET_CHECK(trigger.mouth_is_open_trigger_model)
      << "A mouth-is-open trigger must have its `mouth_is_open_trigger_model`!";
  const MouthIsOpenFaceTriggerModelT& model = *trigger.mouth_is_open_trigger_model;
  const std::vector<uint16_t>& inner_mouth_contour_vertex_ids =
      model.inner_mouth_contour_vertex_ids;
  const std::vector<uint16_t>& outer_mouth_contour_vertex_ids =
      model.outer_mouth_contour_vertex_ids;
  const float relative_inner_mouth_area_low = model.relative_inner_mouth_area_low;
  const float relative_inner_mouth_area_high = model.relative_inner_mouth_area_high;
  RET_CHECK(!inner_mouth_contour_vertex_ids.empty());
  RET_CHECK(!outer_mouth_contour_vertex_ids.empty());
  // A NaN bound fails these too.
  RET_CHECK_GE(relative_inner_mouth_area_low, 0.0f - kAbsoluteErrorEps);
  RET_CHECK_LE(relative_inner_mouth_area_high, 1.0f + kAbsoluteErrorEps);
  RET_CHECK_GT(relative_inner_mouth_area_high, relative_inner_mouth_area_low + kAbsoluteErrorEps);
  return absl::OkStatus();
}

class TriggerValueEstimatorImpl : public TriggerValueEstimator {
 public:
  explicit TriggerValueEstimatorImpl(std::vector<SingleTriggerValueEstimator> estimators)
      : estimators_(std::move(estimators)) {}

  util::StatusOr<std::map<FaceTriggerId, float>> Estimate(
      absl::Span<const Eigen::Vector3f> vertices) const override {
    std::map<FaceTriggerId, float> values;
    for (const SingleTriggerValueEstimator& estimator : estimators_) {
      util::StatusOr<float> value = estimator.estimate(vertices);
      RETURN_IF_ERROR(value.status()).LogError();
      // Triggers sharing an id: the later one wins.
      values[estimator.id] = *value;
    }
    return values;
  }

 private:
  // In face-model order.
  const std::vector<SingleTriggerValueEstimator> estimators_;
};

absl::Status BuildTriggerValueEstimators(const FaceModelT& face_model,
                                         std::vector<SingleTriggerValueEstimator>* estimators) {
  for (int32_t i = 0; i < static_cast<int32_t>(face_model.triggers.size()); ++i) {
    RET_CHECK(face_model.triggers[i])
        << "All trigger models must be non-null! This condition fails for the item #" << i << "!";
    const FaceTriggerModelT& trigger = *face_model.triggers[i];
    if (trigger.trigger_type != FaceTriggerType_MOUTH_IS_OPEN) {
      RET_CHECK(false) << "Unknown trigger info type! Trigger #" << i << "!";
    }
    RETURN_IF_ERROR(ValidateMouthIsOpenTriggerModel(trigger)).LogError() << "Trigger #" << i << "!";
    const MouthIsOpenFaceTriggerModelT& model = *trigger.mouth_is_open_trigger_model;
    MouthIsOpenTriggerData data{
        model.inner_mouth_contour_vertex_ids, model.outer_mouth_contour_vertex_ids,
        model.relative_inner_mouth_area_low, model.relative_inner_mouth_area_high};
    estimators->push_back({kMouthIsOpenTriggerId,
                           [data = std::move(data)](absl::Span<const Eigen::Vector3f> vertices) {
                             return EstimateMouthIsOpenTriggerValue(data, vertices);
                           }});
  }
  return absl::OkStatus();
}

}  // namespace

util::StatusOr<std::unique_ptr<TriggerValueEstimator>> CreateTriggerValueEstimator(
    const FaceModelT& face_model) {
  std::vector<SingleTriggerValueEstimator> estimators;
  RETURN_IF_ERROR(BuildTriggerValueEstimators(face_model, &estimators));
  return std::unique_ptr<TriggerValueEstimator>(
      std::make_unique<TriggerValueEstimatorImpl>(std::move(estimators)));
}

}  // namespace face_transform
}  // namespace quorrel
