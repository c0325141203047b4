// Expression trigger values in [0, 1] from a face's landmarks.

#ifndef FACE_GEOMETRY_TRIGGER_VALUE_ESTIMATOR_H_
#define FACE_GEOMETRY_TRIGGER_VALUE_ESTIMATOR_H_

#include <map>
#include <memory>

#include <Eigen/Core>

#include "absl/types/span.h"
#include "base/statusor.h"
#include "face_geometry/face_transform_records.h"

namespace quorrel {
namespace face_transform {

struct FaceModelT;

// Immutable after creation; Estimate may be called from several threads at once.
class TriggerValueEstimator {
 public:
  virtual ~TriggerValueEstimator() = default;

  // The value of every trigger of the face model, keyed by its id. The vertices are the
  // landmarks as received, which the triggers' contour ids index.
  virtual util::StatusOr<std::map<FaceTriggerId, float>> Estimate(
      absl::Span<const Eigen::Vector3f> vertices) const = 0;
};

// Fails for a trigger of unknown type or with invalid parameters.
util::StatusOr<std::unique_ptr<TriggerValueEstimator>> CreateTriggerValueEstimator(
    const FaceModelT& face_model);

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_TRIGGER_VALUE_ESTIMATOR_H_
