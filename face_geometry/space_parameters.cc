#include "face_geometry/space_parameters.h"

#include <cmath>

#include "base/status_macros.h"

namespace quorrel {
namespace face_transform {
namespace {

constexpr double kPi = 3.14159265358979323846;

absl::Status ValidateScreenDimensions(int32_t screen_width, int32_t screen_height) {
  RET_CHECK_GT(screen_width, 0) << "Screen width must be positive!";
  RET_CHECK_GT(screen_height, 0) << "Screen height must be positive!";
  return absl::OkStatus();
}

absl::Status ValidateFovAngle(float fov_degrees) {
  RET_CHECK_GT(fov_degrees, kFloatComparisonEps) << "FOV angle must be greater than 0 degrees!";
  RET_CHECK_LT(fov_degrees + kFloatComparisonEps, 180.0f)
      << "FOV angle must be less than 180 degrees!";
  return absl::OkStatus();
}

util::StatusOr<float> ConvertHorizontalFovDegreesToVertical(int32_t screen_width,
                                                            int32_t screen_height,
                                                            float horizontal_fov_degrees) {
  RETURN_IF_ERROR(ValidateFovAngle(horizontal_fov_degrees))
      << "while validating horizontal FOV angle!";
  const float aspect = static_cast<float>(screen_height) / static_cast<float>(screen_width);
  const double half_tan = std::tan(static_cast<double>(horizontal_fov_degrees) * kPi / 180.0 / 2.0);
  return static_cast<float>(2.0 * std::atan(aspect * half_tan) * 180.0 / kPi);
}

// The fields both kinds of space parameters share.
template <typename Parameters>
absl::Status InitCommonSpaceParameters(int32_t screen_width, int32_t screen_height,
                                       absl::optional<float> vertical_fov_degrees,
                                       absl::optional<float> horizontal_fov_degrees,
                                       absl::optional<ScreenOriginLocation> screen_origin_location,
                                       absl::optional<float> principal_point_x,
                                       absl::optional<float> principal_point_y,
                                       Parameters* parameters) {
  RET_CHECK(!vertical_fov_degrees || !horizontal_fov_degrees)
      << "At least one of {@vertical_fov_degrees, @horizontal_fov_degrees} must be "
         "`absl::nullopt`!";
  parameters->screen_width = screen_width;
  parameters->screen_height = screen_height;
  parameters->screen_origin_location = screen_origin_location.value_or(kBottomLeftCorner);
  parameters->principal_point_x = principal_point_x.value_or(0.0f);
  parameters->principal_point_y = principal_point_y.value_or(0.0f);
  if (horizontal_fov_degrees) {
    ASSIGN_OR_RETURN(
        parameters->vertical_fov_degrees,
        ConvertHorizontalFovDegreesToVertical(screen_width, screen_height, *horizontal_fov_degrees),
        _ << "while converting horizontal FOV to vertical!");
  } else {
    parameters->vertical_fov_degrees = vertical_fov_degrees.value_or(63.0f);
  }
  return absl::OkStatus();
}

template <typename Parameters>
absl::Status ValidateCommonSpaceParameters(const Parameters& parameters) {
  RETURN_IF_ERROR(ValidateScreenDimensions(parameters.screen_width, parameters.screen_height))
      << "while validating screen dimensions!";
  RETURN_IF_ERROR(ValidateFovAngle(parameters.vertical_fov_degrees))
      << "while validating vertical FOV angle!";
  return absl::OkStatus();
}

absl::Status ValidateNearAndFarZFactors(float near_z_factor, float far_z_factor) {
  RET_CHECK_GT(near_z_factor, kFloatComparisonEps) << "Near Z factor must be positive!";
  RET_CHECK_LT(near_z_factor + kFloatComparisonEps, far_z_factor)
      << "Near Z factor must be smaller than Far Z factor!";
  return absl::OkStatus();
}

absl::Status ValidateNearAndFarZ(float near_z, float far_z) {
  RET_CHECK_GT(near_z, kFloatComparisonEps) << "Near Z must be positive!";
  RET_CHECK_LT(near_z + kFloatComparisonEps, far_z) << "Near Z must be smaller than Far Z!";
  return absl::OkStatus();
}

absl::Status ValidateCameraFrameSpaceParameters(const CameraFrameSpaceParameters& parameters) {
  RETURN_IF_ERROR(ValidateCommonSpaceParameters(parameters))
      << "while validating common space parameters!";
  RETURN_IF_ERROR(ValidateNearAndFarZFactors(parameters.near_z_factor, parameters.far_z_factor))
      << "while validating Near- and Far Z factors!";
  return absl::OkStatus();
}

absl::Status ValidateMetricSpaceParameters(const MetricSpaceParameters& parameters) {
  RETURN_IF_ERROR(ValidateCommonSpaceParameters(parameters))
      << "while validating common space parameters!";
  RETURN_IF_ERROR(ValidateNearAndFarZ(parameters.near_z, parameters.far_z))
      << "while validating Near- and Far Z values!";
  return absl::OkStatus();
}

// Projection of the frustum (l, r, b, t, n, f); `y_sign` -1 flips the Y row.
Eigen::Matrix4f FrustumProjection(float l, float r, float b, float t, float n, float f,
                                  float y_sign) {
  Eigen::Matrix4f m = Eigen::Matrix4f::Zero();
  m(0, 0) = 2.0f * n / (r - l);
  m(1, 1) = y_sign * 2.0f * n / (t - b);
  m(0, 2) = (r + l) / (r - l);
  m(1, 2) = y_sign * (t + b) / (t - b);
  m(2, 2) = -(f + n) / (f - n);
  m(3, 2) = -1.0f;
  m(2, 3) = -2.0f * f * n / (f - n);
  return m;
}

double HalfFovTangent(float vertical_fov_degrees) {
  return std::tan(static_cast<double>(vertical_fov_degrees) * kPi / 180.0 * 0.5);
}

void FillFrustum(const CameraFrameSpaceParameters& p, CameraParameters* camera) {
  const float width = static_cast<float>(p.screen_width);
  const float height = static_cast<float>(p.screen_height);
  camera->focal_distance =
      static_cast<float>(height / (2.0 * HalfFovTangent(p.vertical_fov_degrees)));
  camera->near = p.near_z_factor * camera->focal_distance;
  camera->far = p.far_z_factor * camera->focal_distance;
  const float k = camera->near / camera->focal_distance;
  camera->left = (-width / 2 - p.principal_point_x) * k;
  camera->right = (width / 2 - p.principal_point_x) * k;
  camera->bottom = (-height / 2 - p.principal_point_y) * k;
  camera->top = (height / 2 - p.principal_point_y) * k;
}

void FillFrustum(const MetricSpaceParameters& p, CameraParameters* camera) {
  const float width = static_cast<float>(p.screen_width);
  const float height = static_cast<float>(p.screen_height);
  camera->near = p.near_z;
  camera->far = p.far_z;
  camera->focal_distance = p.near_z;
  const float near_height =
      static_cast<float>(2.0 * p.near_z * HalfFovTangent(p.vertical_fov_degrees));
  const float near_width = near_height * width / height;
  camera->left = -near_width / 2 - p.principal_point_x * near_width / width;
  camera->right = near_width / 2 - p.principal_point_x * near_width / width;
  camera->bottom = -near_height / 2 - p.principal_point_y * near_height / height;
  camera->top = near_height / 2 - p.principal_point_y * near_height / height;
}

}  // namespace

util::StatusOr<CameraFrameSpaceParameters> CreateCameraFrameSpaceParameters(
    int32_t screen_width, int32_t screen_height, absl::optional<float> vertical_fov_degrees,
    absl::optional<float> horizontal_fov_degrees, absl::optional<float> near_z_factor,
    absl::optional<float> far_z_factor, absl::optional<ScreenOriginLocation> screen_origin_location,
    absl::optional<float> principal_point_x, absl::optional<float> principal_point_y) {
  CameraFrameSpaceParameters parameters;
  RETURN_IF_ERROR(InitCommonSpaceParameters(screen_width, screen_height, vertical_fov_degrees,
                                            horizontal_fov_degrees, screen_origin_location,
                                            principal_point_x, principal_point_y, &parameters))
      << "while initializing common space parameters!";
  parameters.near_z_factor = near_z_factor.value_or(0.2f);
  parameters.far_z_factor = far_z_factor.value_or(5.0f);
  RETURN_IF_ERROR(ValidateCameraFrameSpaceParameters(parameters))
      << "while validating camera frame space parameters!";
  return parameters;
}

util::StatusOr<MetricSpaceParameters> CreateMetricSpaceParameters(
    int32_t screen_width, int32_t screen_height, absl::optional<float> vertical_fov_degrees,
    absl::optional<float> horizontal_fov_degrees, absl::optional<float> near_z,
    absl::optional<float> far_z, absl::optional<ScreenOriginLocation> screen_origin_location,
    absl::optional<float> principal_point_x, absl::optional<float> principal_point_y) {
  MetricSpaceParameters parameters;
  RETURN_IF_ERROR(InitCommonSpaceParameters(screen_width, screen_height, vertical_fov_degrees,
                                            horizontal_fov_degrees, screen_origin_location,
                                            principal_point_x, principal_point_y, &parameters))
      << "while initializing common space parameters!";
  parameters.near_z = near_z.value_or(1.0f);
  parameters.far_z = far_z.value_or(5000.0f);
  RETURN_IF_ERROR(ValidateMetricSpaceParameters(parameters))
      << "while validating metric space parameters!";
  return parameters;
}

absl::Status ValidateSpaceParameters(const SpaceParameters& space_parameters) {
  if (const auto* camera_frame = absl::get_if<CameraFrameSpaceParameters>(&space_parameters)) {
    RETURN_IF_ERROR(ValidateCameraFrameSpaceParameters(*camera_frame))
        << "while validating camera frame space parameters!";
  } else {
    RETURN_IF_ERROR(
        ValidateMetricSpaceParameters(absl::get<MetricSpaceParameters>(space_parameters)))
        << "while validating metric space parameters!";
  }
  return absl::OkStatus();
}

util::StatusOr<CameraParameters> CreateCameraParameters(const SpaceParameters& space_parameters) {
  RETURN_IF_ERROR(ValidateSpaceParameters(space_parameters))
      << "while validation space parameters!";
  CameraParameters camera;
  ScreenOriginLocation origin = kBottomLeftCorner;
  absl::visit(
      [&](const auto& parameters) {
        FillFrustum(parameters, &camera);
        origin = parameters.screen_origin_location;
      },
      space_parameters);
  camera.projection_matrix =
      FrustumProjection(camera.left, camera.right, camera.bottom, camera.top, camera.near,
                        camera.far, origin == kBottomLeftCorner ? -1.0f : 1.0f);
  return camera;
}

}  // namespace face_transform
}  // namespace quorrel
