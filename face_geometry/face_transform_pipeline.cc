#include "face_geometry/face_transform_pipeline.h"

#include <cmath>
#include <utility>

#include "base/status_macros.h"

namespace quorrel {
namespace face_transform {
namespace {

util::StatusOr<Eigen::Matrix4f> CreateSpaceTransform(const CameraParameters& camera_parameters,
                                                     const SpaceModelT* space_model) {
  if (space_model == nullptr) return Eigen::Matrix4f::Identity();
  switch (space_model->transform_type) {
    case SpaceTransformType_IDENTITY:
      return Eigen::Matrix4f::Identity();
    case SpaceTransformType_FOCAL_DISTANCE: {
      RET_CHECK(space_model->focal_distance_transform_model != nullptr)
          << "A focal distance space transform needs its model!";
      const FocalDistanceTransformModelT& model = *space_model->focal_distance_transform_model;
      const float target_focal_distance = model.target_focal_distance;
      if (target_focal_distance < 1e-9f) {
        return util::InvalidArgumentErrorBuilder().LogError()
               << "Target focal distance must be positive! Got " << target_focal_distance;
      }
      const float scale = camera_parameters.focal_distance / target_focal_distance;
      Eigen::Matrix4f transform = Eigen::Matrix4f::Identity();
      transform.topLeftCorner<3, 3>() *= scale;
      transform.block<3, 1>(0, 3) =
          scale * Eigen::Vector3f(model.translation_x, model.translation_y, model.translation_z);
      return transform;
    }
    default:
      RET_CHECK_FAIL() << "Unknown space transform type! Got "
                       << static_cast<int>(space_model->transform_type);
  }
}

}  // namespace

Eigen::Matrix4f KeepZRotationOnly(const Eigen::Matrix4f& transform) {
  float s[3];
  Eigen::Matrix3f r;
  for (int i = 0; i < 3; ++i) {
    s[i] = transform.block<3, 1>(0, i).norm();
    r.col(i) = transform.block<3, 1>(0, i) / s[i];
  }
  // Quaternion (w, x, y, z) of r, not normalised.
  float w, x, y, z;
  const float trace = r(0, 0) + r(1, 1) + r(2, 2);
  if (trace > 0) {
    const float q = 2.0f * std::sqrt(trace + 1.0f);
    w = q / 4;
    x = (r(2, 1) - r(1, 2)) / q;
    y = (r(0, 2) - r(2, 0)) / q;
    z = (r(1, 0) - r(0, 1)) / q;
  } else if (r(0, 0) > r(1, 1) && r(0, 0) > r(2, 2)) {
    const float q = 2.0f * std::sqrt(1.0f + r(0, 0) - r(1, 1) - r(2, 2));
    w = (r(2, 1) - r(1, 2)) / q;
    x = q / 4;
    y = (r(0, 1) + r(1, 0)) / q;
    z = (r(0, 2) + r(2, 0)) / q;
  } else if (r(1, 1) > r(2, 2)) {
    const float q = 2.0f * std::sqrt(1.0f + r(1, 1) - r(0, 0) - r(2, 2));
    w = (r(0, 2) - r(2, 0)) / q;
    x = (r(0, 1) + r(1, 0)) / q;
    y = q / 4;
    z = (r(1, 2) + r(2, 1)) / q;
  } else {
    const float q = 2.0f * std::sqrt(1.0f + r(2, 2) - r(0, 0) - r(1, 1));
    w = (r(1, 0) - r(0, 1)) / q;
    x = (r(0, 2) + r(2, 0)) / q;
    y = (r(1, 2) + r(2, 1)) / q;
    z = q / 4;
  }
  // The angle about Z of R = Rz * Ry * Rx; at gimbal lock it is read from the other terms.
  const float a = 1 - 2 * (y * y + z * z);
  const float b = 2 * (x * y + z * w);
  const float e = a * a + b * b;
  const float z_angle =
      e < 1e-6f ? -std::atan2(2 * (x * y - z * w), 1 - 2 * (x * x + z * z)) : std::atan2(b, a);
  // The rotation about Z alone, from the quaternion (cos(z/2), 0, 0, sin(z/2)).
  const float qw = std::cos(z_angle / 2), qz = std::sin(z_angle / 2);
  Eigen::Matrix3f z_rotation;
  z_rotation << 1 - 2 * qz * qz, -2 * qz * qw, 0,  //
      2 * qz * qw, 1 - 2 * qz * qz, 0,             //
      0, 0, 1;
  Eigen::Matrix4f result = Eigen::Matrix4f::Identity();
  for (int i = 0; i < 3; ++i) result.block<3, 1>(0, i) = s[i] * z_rotation.col(i);
  result.block<3, 1>(0, 3) = transform.block<3, 1>(0, 3);
  return result;
}

Handler::Handler(const CameraParameters& camera_parameters, const Eigen::Matrix4f& space_transform,
                 std::unique_ptr<VertexDeriver> vertex_deriver,
                 std::unique_ptr<SpaceConverter> space_converter,
                 std::unique_ptr<MeshEstimator> mesh_estimator,
                 std::unique_ptr<RegionTransformEstimator> region_transform_estimator,
                 std::unique_ptr<TriggerValueEstimator> trigger_value_estimator)
    : camera_parameters_(camera_parameters),
      space_transform_(space_transform),
      vertex_deriver_(std::move(vertex_deriver)),
      space_converter_(std::move(space_converter)),
      mesh_estimator_(std::move(mesh_estimator)),
      region_transform_estimator_(std::move(region_transform_estimator)),
      trigger_value_estimator_(std::move(trigger_value_estimator)) {}

util::StatusOr<std::unique_ptr<Handler>> Handler::Create(const SpaceParameters& space_parameters,
                                                         const FaceModelT& face_model) {
  ASSIGN_OR_RETURN(const CameraParameters camera_parameters,
                   CreateCameraParameters(space_parameters), _.LogError());
  const SpaceModelT* space_model =
      absl::holds_alternative<CameraFrameSpaceParameters>(space_parameters)
          ? face_model.camera_frame_space_model.get()
          : face_model.metric_space_model.get();
  ASSIGN_OR_RETURN(const Eigen::Matrix4f space_transform,
                   CreateSpaceTransform(camera_parameters, space_model),
                   _.LogError() << "while creating space transform!");
  ASSIGN_OR_RETURN(std::unique_ptr<VertexDeriver> vertex_deriver, CreateVertexDeriver(face_model),
                   _.LogError());
  ASSIGN_OR_RETURN(std::unique_ptr<SpaceConverter> space_converter,
                   SpaceConverter::Create(camera_parameters, space_parameters, face_model),
                   _.LogError());
  ASSIGN_OR_RETURN(std::unique_ptr<MeshEstimator> mesh_estimator, MeshEstimator::Create(face_model),
                   _.LogError());
  ASSIGN_OR_RETURN(std::unique_ptr<RegionTransformEstimator> region_transform_estimator,
                   RegionTransformEstimator::Create(face_model), _.LogError());
  ASSIGN_OR_RETURN(std::unique_ptr<TriggerValueEstimator> trigger_value_estimator,
                   CreateTriggerValueEstimator(face_model), _.LogError());
  return std::unique_ptr<Handler>(
      new Handler(camera_parameters, space_transform, std::move(vertex_deriver),
                  std::move(space_converter), std::move(mesh_estimator),
                  std::move(region_transform_estimator), std::move(trigger_value_estimator)));
}

util::StatusOr<Transform> Handler::GetTransform(const std::vector<Eigen::Vector3f>& landmarks) {
  if (landmarks.empty()) {
    return absl::InvalidArgumentError("Screen space vertex list is empty!");
  }
  ASSIGN_OR_RETURN(const std::vector<Eigen::Vector3f> screen_space_vertices,
                   vertex_deriver_->DeriveFrom(landmarks), _.LogError());
  ASSIGN_OR_RETURN(const std::vector<Eigen::Vector3f> face_space_vertices,
                   space_converter_->ConvertScreenSpaceToFaceSpace(screen_space_vertices),
                   _.LogError());
  Transform transform;
  transform.camera_parameters = camera_parameters_;
  ASSIGN_OR_RETURN(transform.mesh, mesh_estimator_->Estimate(face_space_vertices), _.LogError());
  ASSIGN_OR_RETURN(transform.region_transforms,
                   region_transform_estimator_->Estimate(face_space_vertices), _.LogError());
  for (const auto& [region, pose] : transform.region_transforms) {
    transform.region_transforms_z_rotation_only[region] = KeepZRotationOnly(pose);
  }
  ASSIGN_OR_RETURN(transform.trigger_values, trigger_value_estimator_->Estimate(landmarks),
                   _.LogError());
  return transform;
}

SpaceTransform Handler::GetSpaceTransform() const {
  SpaceTransform result;
  result.camera_parameters = camera_parameters_;
  result.space_transform = space_transform_;
  return result;
}

}  // namespace face_transform
}  // namespace quorrel
