// Camera and space parameters of the face transform library.
//
// The library works in one of two output spaces, chosen by a space-parameters value:
//  - camera-frame space: the camera is described in pixels of the camera frame; its focal
//    length follows from the frame height and the vertical field of view, and the near and
//    far planes are multiples of that focal length;
//  - metric space: the near and far planes are distances of their own, in the face model's
//    units.
// Everything here is a pure function of its arguments.
#ifndef FACE_GEOMETRY_SPACE_PARAMETERS_H_
#define FACE_GEOMETRY_SPACE_PARAMETERS_H_

#include <Eigen/Core>
#include <cstdint>

#include "absl/types/optional.h"
#include "absl/types/variant.h"
#include "base/status.h"
#include "base/statusor.h"

namespace quorrel {
namespace face_transform {

// Tolerance of every floating-point comparison of the library.
inline constexpr float kFloatComparisonEps = 1e-9f;

// Where the origin of the landmark coordinates lies.
enum ScreenOriginLocation : int32_t {
  // y grows downward from the top-left corner.
  kTopLeftCorner = 0,
  // The projection's Y row is negated and the space converter flips every landmark y.
  kBottomLeftCorner = 1,
};

struct CameraFrameSpaceParameters {
  int32_t screen_width = 0;
  int32_t screen_height = 0;
  float vertical_fov_degrees = 63.0f;
  // Near and far plane distances as multiples of the focal length.
  float near_z_factor = 0.2f;
  float far_z_factor = 5.0f;
  ScreenOriginLocation screen_origin_location = kBottomLeftCorner;
  // Principal point offset from the frame centre, in pixels.
  float principal_point_x = 0.0f;
  float principal_point_y = 0.0f;
};

struct MetricSpaceParameters {
  int32_t screen_width = 0;
  int32_t screen_height = 0;
  float vertical_fov_degrees = 63.0f;
  // Near and far plane distances in metric units.
  float near_z = 1.0f;
  float far_z = 5000.0f;
  ScreenOriginLocation screen_origin_location = kBottomLeftCorner;
  float principal_point_x = 0.0f;
  float principal_point_y = 0.0f;
};

// Index 0: camera-frame space; index 1: metric space.
using SpaceParameters = absl::variant<CameraFrameSpaceParameters, MetricSpaceParameters>;

// A perspective camera: the projection matrix (column-major, translation in column 3) of
// the frustum whose near-plane bounds are given.
struct CameraParameters {
  Eigen::Matrix4f projection_matrix = Eigen::Matrix4f::Identity();
  // Camera-frame space: the focal length in pixels; metric space: near_z.
  float focal_distance = 0.0f;
  float near = 0.0f;
  float far = 0.0f;
  float left = 0.0f;
  float right = 0.0f;
  float bottom = 0.0f;
  float top = 0.0f;
};

// Fills the defaults of the absent arguments and validates the record. At most one of the
// two fields of view may be given; with neither the vertical one is 63 degrees.
util::StatusOr<CameraFrameSpaceParameters> CreateCameraFrameSpaceParameters(
    int32_t screen_width, int32_t screen_height,
    absl::optional<float> vertical_fov_degrees = absl::nullopt,
    absl::optional<float> horizontal_fov_degrees = absl::nullopt,
    absl::optional<float> near_z_factor = absl::nullopt,
    absl::optional<float> far_z_factor = absl::nullopt,
    absl::optional<ScreenOriginLocation> screen_origin_location = absl::nullopt,
    absl::optional<float> principal_point_x = absl::nullopt,
    absl::optional<float> principal_point_y = absl::nullopt);

util::StatusOr<MetricSpaceParameters> CreateMetricSpaceParameters(
    int32_t screen_width, int32_t screen_height,
    absl::optional<float> vertical_fov_degrees = absl::nullopt,
    absl::optional<float> horizontal_fov_degrees = absl::nullopt,
    absl::optional<float> near_z = absl::nullopt, absl::optional<float> far_z = absl::nullopt,
    absl::optional<ScreenOriginLocation> screen_origin_location = absl::nullopt,
    absl::optional<float> principal_point_x = absl::nullopt,
    absl::optional<float> principal_point_y = absl::nullopt);

absl::Status ValidateSpaceParameters(const SpaceParameters& space_parameters);

// The projection and near-plane frustum of validated space parameters.
util::StatusOr<CameraParameters> CreateCameraParameters(const SpaceParameters& space_parameters);

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_SPACE_PARAMETERS_H_
