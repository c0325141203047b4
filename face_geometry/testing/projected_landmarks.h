// Landmarks of a face model seen by a camera under a known pose, for tests and benchmarks.
#ifndef FACE_GEOMETRY_TESTING_PROJECTED_LANDMARKS_H_
#define FACE_GEOMETRY_TESTING_PROJECTED_LANDMARKS_H_

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <vector>

#include "face_geometry/face_model_generated.h"
#include "face_geometry/space_parameters.h"

namespace quorrel {
namespace face_transform {
namespace testing {

// R = Rz * Ry * Rx of the angles in degrees.
inline Eigen::Matrix3f EulerRotation(float x_degrees, float y_degrees, float z_degrees) {
  constexpr float kDegrees = 3.14159265358979323846f / 180.0f;
  return (Eigen::AngleAxisf(z_degrees * kDegrees, Eigen::Vector3f::UnitZ()) *
          Eigen::AngleAxisf(y_degrees * kDegrees, Eigen::Vector3f::UnitY()) *
          Eigen::AngleAxisf(x_degrees * kDegrees, Eigen::Vector3f::UnitX()))
      .toRotationMatrix();
}

// Screen position, in pixels of a `width` x `height` frame, of a camera-space point through
// the camera's projection matrix.
inline Eigen::Vector2f ProjectToScreen(const CameraParameters& camera, const Eigen::Vector3f& point,
                                       int width, int height) {
  const Eigen::Vector4f clip = camera.projection_matrix * point.homogeneous();
  return {(clip.x() / clip.w() + 1) * width / 2, (clip.y() / clip.w() + 1) * height / 2};
}

// One landmark per model vertex under the pose (rotation, translation in model units): x and
// y through the camera's projection, z the depth behind the face origin on the x scale.
inline std::vector<Eigen::Vector3f> ProjectedLandmarks(const FaceModelT& model,
                                                       const CameraParameters& camera, int width,
                                                       int height, const Eigen::Matrix3f& rotation,
                                                       const Eigen::Vector3f& translation) {
  const float reference_depth = -translation.z();
  const float pixels_per_unit =
      width / (camera.right - camera.left) * camera.near / reference_depth;
  std::vector<Eigen::Vector3f> landmarks;
  for (size_t i = 0; i + 2 < model.vertex_positions.size(); i += 3) {
    const Eigen::Vector3f p(model.vertex_positions[i], model.vertex_positions[i + 1],
                            model.vertex_positions[i + 2]);
    const Eigen::Vector3f c = rotation * p + translation;
    const Eigen::Vector2f screen = ProjectToScreen(camera, c, width, height);
    landmarks.emplace_back(screen.x(), screen.y(), (-c.z() - reference_depth) * pixels_per_unit);
  }
  return landmarks;
}

}  // namespace testing
}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_TESTING_PROJECTED_LANDMARKS_H_
