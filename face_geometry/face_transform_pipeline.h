// The face transform library's entry point: turns the screen-space landmarks of one face in
// one frame into a Transform (camera parameters, textured mesh with normals and tangents,
// region poses and trigger values), driven by a face model.
#ifndef FACE_GEOMETRY_FACE_TRANSFORM_PIPELINE_H_
#define FACE_GEOMETRY_FACE_TRANSFORM_PIPELINE_H_

#include <Eigen/Core>
#include <memory>
#include <vector>

#include "base/statusor.h"
#include "face_geometry/face_model_generated.h"
#include "face_geometry/face_transform_records.h"
#include "face_geometry/mesh_estimator.h"
#include "face_geometry/region_transform_estimator.h"
#include "face_geometry/space_converter.h"
#include "face_geometry/space_parameters.h"
#include "face_geometry/trigger_value_estimator.h"
#include "face_geometry/vertex_deriver.h"

namespace quorrel {
namespace face_transform {

class Handler {
 public:
  // Builds every component from the face model once; the model may be released afterwards.
  // A failing component's error is logged and returned.
  static util::StatusOr<std::unique_ptr<Handler>> Create(const SpaceParameters& space_parameters,
                                                         const FaceModelT& face_model);

  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  // `landmarks`: one face's screen-space landmarks. Not const: the region transform
  // estimator keeps per-call working data, so calls on one handler must not overlap.
  util::StatusOr<Transform> GetTransform(const std::vector<Eigen::Vector3f>& landmarks);

  SpaceTransform GetSpaceTransform() const;

 private:
  Handler(const CameraParameters& camera_parameters, const Eigen::Matrix4f& space_transform,
          std::unique_ptr<VertexDeriver> vertex_deriver,
          std::unique_ptr<SpaceConverter> space_converter,
          std::unique_ptr<MeshEstimator> mesh_estimator,
          std::unique_ptr<RegionTransformEstimator> region_transform_estimator,
          std::unique_ptr<TriggerValueEstimator> trigger_value_estimator);

  const CameraParameters camera_parameters_;
  const Eigen::Matrix4f space_transform_;
  const std::unique_ptr<VertexDeriver> vertex_deriver_;
  const std::unique_ptr<SpaceConverter> space_converter_;
  const std::unique_ptr<MeshEstimator> mesh_estimator_;
  const std::unique_ptr<RegionTransformEstimator> region_transform_estimator_;
  const std::unique_ptr<TriggerValueEstimator> trigger_value_estimator_;
};

// The pose `transform` with its rotation reduced to the rotation about Z (from its Euler
// angles for R = Rz * Ry * Rx); column lengths and translation are kept.
Eigen::Matrix4f KeepZRotationOnly(const Eigen::Matrix4f& transform);

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_FACE_TRANSFORM_PIPELINE_H_
