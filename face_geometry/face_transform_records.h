// The records the face transform library returns for one face.
#ifndef FACE_GEOMETRY_FACE_TRANSFORM_RECORDS_H_
#define FACE_GEOMETRY_FACE_TRANSFORM_RECORDS_H_

#include <Eigen/Core>
#include <cstdint>
#include <map>
#include <vector>

#include "face_geometry/space_parameters.h"

namespace quorrel {
namespace face_transform {

// Keys of the region-pose map; the values come from the face-model file.
enum FaceRegion : int32_t {};

// Keys of the trigger-value map; every mouth-open trigger is reported under 0.
enum FaceTriggerId : int32_t {};

struct Vertex {
  // Face-space position.
  Eigen::Vector3f position = Eigen::Vector3f::Zero();
  // (u, v) from the face model.
  Eigen::Vector2f tex_coord = Eigen::Vector2f::Zero();
  // Unit normal.
  Eigen::Vector3f normal = Eigen::Vector3f::Zero();
  // Unit tangent (x, y, z) and handedness w, +1 or -1.
  Eigen::Vector4f tangent = Eigen::Vector4f::Zero();
};

struct Mesh {
  // One per face-model vertex, in face-model order.
  std::vector<Vertex> vertices;
  // Three vertex ids per triangle.
  std::vector<uint16_t> triangle_indices;
};

struct Transform {
  CameraParameters camera_parameters;
  Mesh mesh;
  // Pose of each region: scale times rotation in columns 0 to 2, translation in column 3.
  std::map<FaceRegion, Eigen::Matrix4f> region_transforms;
  // The same poses with each rotation reduced to its rotation about Z; column lengths and
  // translation kept.
  std::map<FaceRegion, Eigen::Matrix4f> region_transforms_z_rotation_only;
  std::map<FaceTriggerId, float> trigger_values;
};

struct SpaceTransform {
  CameraParameters camera_parameters;
  Eigen::Matrix4f space_transform = Eigen::Matrix4f::Identity();
};

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_FACE_TRANSFORM_RECORDS_H_
