// Gives every face region of the face model a 4x4 pose in face space: the uniform scale and
// rotation that best map the region's canonical vertices onto the observed ones, and a
// translation that puts the weighted centre of a second vertex set exactly where it is
// observed.
#ifndef FACE_GEOMETRY_REGION_TRANSFORM_ESTIMATOR_H_
#define FACE_GEOMETRY_REGION_TRANSFORM_ESTIMATOR_H_

#include <Eigen/Core>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "base/statusor.h"
#include "face_geometry/face_model_generated.h"
#include "face_geometry/face_transform_records.h"
#include "face_geometry/procrustes_solver.h"

namespace quorrel {
namespace face_transform {

class RegionTransformEstimator {
 public:
  struct RegionData {
    struct RotationAndScale {
      std::vector<uint16_t> vertex_basis;
      // Empty (every weight 1) or one per id.
      std::vector<float> vertex_weights;
      // Canonical positions of the basis, fixed.
      std::vector<Eigen::Vector3f> source_points;
      // Observed positions of the basis, rewritten by every estimate.
      std::vector<Eigen::Vector3f> target_points;
    };
    struct Translation {
      std::vector<uint16_t> vertex_basis;
      std::vector<float> vertex_weights;
      // Weighted means of the canonical (fixed) and observed (per estimate) positions.
      Eigen::Vector3f source_center = Eigen::Vector3f::Zero();
      Eigen::Vector3f target_center = Eigen::Vector3f::Zero();
      float total_weight = 0.0f;
    };

    FaceRegion region;
    RotationAndScale rotation_and_scale;
    Translation translation;
    // Owned by the estimator's solver collection.
    const ProcrustesSolver* procrustes_solver = nullptr;
  };

  // Fails on an empty basis, a weight list of another length than its basis, a vertex id
  // beyond the model, an unknown solver or an unknown estimation method.
  static util::StatusOr<std::unique_ptr<RegionTransformEstimator>> Create(
      const FaceModelT& face_model);

  // `vertices` holds the face-space position of every face-model vertex. Rewrites the
  // observed members of the region data: calls must not overlap.
  util::StatusOr<std::map<FaceRegion, Eigen::Matrix4f>> Estimate(
      const std::vector<Eigen::Vector3f>& vertices);

 private:
  using TransformEstimationFn = std::function<util::StatusOr<Eigen::Matrix4f>(RegionData&)>;

  RegionTransformEstimator(std::unique_ptr<ProcrustesSolverCollection> procrustes_solvers,
                           std::vector<RegionData> region_data,
                           std::vector<TransformEstimationFn> transform_estimation_fns,
                           size_t vertices_num);

  std::unique_ptr<ProcrustesSolverCollection> procrustes_solvers_;
  std::vector<RegionData> region_data_;
  std::vector<TransformEstimationFn> transform_estimation_fns_;
  // Number of face-model vertices; every basis id is below it.
  size_t vertices_num_;
};

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_REGION_TRANSFORM_ESTIMATOR_H_
