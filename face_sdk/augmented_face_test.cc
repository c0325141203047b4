#include "face_sdk/augmented_face.h"

#include <gtest/gtest.h>

#include <cmath>

#include <Eigen/Geometry>

#include "face_sdk/transformation_utils.h"

namespace {

using quorrel::face_transform::FaceRegion;
using quorrel::face_transform::Transform;

Eigen::Matrix4f Pose(const Eigen::Matrix3f& rotation, float scale, const Eigen::Vector3f& t) {
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  m.block<3, 3>(0, 0) = scale * rotation;
  m.block<3, 1>(0, 3) = t;
  return m;
}

Eigen::Matrix3f RotationZ(double degrees) {
  return Eigen::AngleAxisf(float(degrees * M_PI / 180), Eigen::Vector3f::UnitZ()).matrix();
}

// Every region at the same pose.
Transform TransformWithRegions(const Eigen::Matrix4f& pose) {
  Transform t;
  for (int region = 0; region < 4; ++region) t.region_transforms[FaceRegion(region)] = pose;
  return t;
}

Eigen::Matrix3f RotationOf(const simd_float4x4& m) {
  Eigen::Matrix3f r;
  for (int c = 0; c < 3; ++c)
    for (int row = 0; row < 3; ++row) r(row, c) = m.columns[c][row];
  return r;
}

Eigen::Vector3f TranslationOf(const simd_float4x4& m) {
  return {m.columns[3].x, m.columns[3].y, m.columns[3].z};
}

TEST(AugmentedFaceTest, CenterPoseUndoesPreRotationAndScaleInMetres) {
  const float scale = 2.5f;
  const Eigen::Vector3f t(10, -4, -50);
  Transform transform = TransformWithRegions(Pose(Eigen::Matrix3f::Identity(), scale, t));
  for (float rotation : {0.0f, 90.0f}) {
    SCOPED_TRACE(rotation);
    auto face = QVXAugmentedFace::initWithFaceTransform(&transform, rotation);
    Eigen::Matrix3f expected_rotation = RotationZ(-rotation);
    simd_float4x4 center = face->centerTransform();
    EXPECT_TRUE(RotationOf(center).isApprox(expected_rotation, 1e-6f)) << RotationOf(center);
    EXPECT_TRUE(TranslationOf(center).isApprox(expected_rotation * (0.01f * t / scale), 1e-6f))
        << TranslationOf(center);
    EXPECT_EQ(center.columns[3].w, 1);
  }
}

TEST(AugmentedFaceTest, RegionOffsetsComposeOnTheRight) {
  Eigen::Matrix3f rotation =
      Eigen::AngleAxisf(0.4f, Eigen::Vector3f(1, -2, 0.5f).normalized()).matrix();
  Transform transform = TransformWithRegions(Pose(rotation, 1, Eigen::Vector3f(3, 1, -40)));
  auto face = QVXAugmentedFace::initWithFaceTransform(&transform, 0);

  Eigen::Vector3f center_t = TranslationOf(face->centerTransform());
  Eigen::Matrix3f center_r = RotationOf(face->centerTransform());
  EXPECT_TRUE(center_r.isApprox(rotation, 1e-6f));

  Eigen::Vector3f nose_t = TranslationOf(face->cameraToNoseTransform());
  EXPECT_TRUE(nose_t.isApprox(center_t + center_r * (0.01f * Eigen::Vector3f(0, -0.46317f, 7.58658f)),
                              1e-6f))
      << nose_t;
  EXPECT_TRUE(RotationOf(face->cameraToNoseTransform()).isApprox(center_r, 1e-6f));

  // The forehead offsets turn the pose too; left and right mirror each other in x.
  Eigen::Vector3f left_t = TranslationOf(face->cameraToForeheadLeftTransform());
  EXPECT_TRUE(left_t.isApprox(center_t + center_r * (0.01f * Eigen::Vector3f(3.70885f, 6.96401f,
                                                                             3.98086f)),
                              1e-6f));
  Eigen::Vector3f left_x = RotationOf(face->cameraToForeheadLeftTransform()).col(0);
  // (The offset's columns are unit length only to about 1e-4; the pose's are made exact.)
  EXPECT_TRUE(left_x.isApprox(
      center_r * Eigen::Vector3f(0.848504f, -0.159224f, -0.50453603f).normalized(), 1e-6f));
  Eigen::Vector3f right_t = TranslationOf(face->cameraToForeheadRightTransform());
  EXPECT_TRUE(right_t.isApprox(center_t + center_r * (0.01f * Eigen::Vector3f(-3.70885f, 6.96401f,
                                                                              3.98086f)),
                               1e-6f));

  EXPECT_EQ(face->transformForRegion(0), face->cameraToNoseTransform());
  EXPECT_EQ(face->transformForRegion(1), face->cameraToForeheadLeftTransform());
  EXPECT_EQ(face->transformForRegion(2), face->cameraToForeheadRightTransform());
}

TEST(AugmentedFaceTest, RegionPosesHaveUnitScale) {
  Transform transform = TransformWithRegions(Pose(RotationZ(30), 3.0f, Eigen::Vector3f(0, 0, -60)));
  auto face = QVXAugmentedFace::initWithFaceTransform(&transform, 180);
  for (uint64_t region = 0; region < 3; ++region) {
    simd_float3 scale = QVXGetScale(face->transformForRegion(region));
    EXPECT_NEAR(scale.x, 1, 1e-6);
    EXPECT_NEAR(scale.y, 1, 1e-6);
    EXPECT_NEAR(scale.z, 1, 1e-6);
  }
}

TEST(AugmentedFaceTest, MeshIsInTheFaceFrameInMetres) {
  Eigen::Matrix3f rotation = RotationZ(40);
  Eigen::Matrix4f center = Pose(rotation, 2.0f, Eigen::Vector3f(1, 2, -30));
  Transform transform = TransformWithRegions(center);
  // Face-model points (centimetres) placed by the centre pose, normals turned with it.
  const Eigen::Vector3f model_points[] = {{0, 0, 0}, {1, 2, 3}, {-4, 5, 0.5f}, {2, -1, 1}};
  for (const Eigen::Vector3f& q : model_points) {
    quorrel::face_transform::Vertex vertex;
    vertex.position = (center * q.homogeneous()).head<3>();
    vertex.normal = rotation * q.normalized();
    if (q.isZero()) vertex.normal = rotation * Eigen::Vector3f::UnitZ();
    transform.mesh.vertices.push_back(vertex);
  }
  transform.mesh.triangle_indices = {0, 1, 2, 1, 2, 3, 0, 3};  // two triangles and a rest

  auto face = QVXAugmentedFace::initWithFaceTransform(&transform, 90);
  auto mesh = face->mesh();
  ASSERT_EQ(mesh->vertexCount(), 4u);
  EXPECT_EQ(mesh->triangleCount(), 2u);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    simd_float4 v = mesh->vertices()[i];
    EXPECT_LT((Eigen::Vector3f(v.x, v.y, v.z) - 0.01f * model_points[i]).norm(), 1e-6f);
    simd_float4 n = mesh->normals()[i];
    Eigen::Vector3f expected_normal =
        model_points[i].isZero() ? Eigen::Vector3f::UnitZ() : model_points[i].normalized();
    EXPECT_TRUE(Eigen::Vector3f(n.x, n.y, n.z).isApprox(expected_normal, 1e-5f));
    EXPECT_EQ(n.w, 0);
  }
  EXPECT_EQ(mesh->vertexBufferData()->size(), 4 * 16u);
  EXPECT_EQ(mesh->normalsBufferData()->size(), 4 * 16u);
}

TEST(AugmentedFaceTest, ReplacedVertexBufferIsWhatVerticesReads) {
  Transform transform = TransformWithRegions(Eigen::Matrix4f::Identity());
  transform.mesh.vertices.resize(1);
  auto mesh = QVXAugmentedFace::initWithFaceTransform(&transform, 0)->mesh();
  auto replacement = std::make_shared<QVXAugmentedFaceMesh::Buffer>(16);
  mesh->setVertexBufferData(replacement);
  EXPECT_EQ(static_cast<const void*>(mesh->vertices()), replacement->data());
}

}  // namespace
