// The process-wide texture-coordinate and index buffers. This binary builds no other mesh, so
// the meshes below are the first of the process.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "face_sdk/augmented_face.h"

namespace {

using quorrel::face_transform::Transform;

// A mesh of `vertices` vertices whose texture coordinates and indices carry `tag`.
Transform TaggedTransform(int vertices, int indices, float tag) {
  Transform t;
  t.region_transforms[quorrel::face_transform::FaceRegion(0)] = Eigen::Matrix4f::Identity();
  for (int i = 0; i < vertices; ++i) {
    quorrel::face_transform::Vertex v;
    v.tex_coord = Eigen::Vector2f(tag, float(i));
    t.mesh.vertices.push_back(v);
  }
  for (int i = 0; i < indices; ++i) t.mesh.triangle_indices.push_back(uint16_t(tag) + i);
  return t;
}

TEST(AugmentedFaceSharedBuffersTest, MeshesOfOneSizeShareTheFirstMeshTopology) {
  // Four meshes of the same size built at once: one of them creates the shared buffers and
  // all four read them.
  std::vector<Transform> transforms;
  for (int k = 0; k < 4; ++k) transforms.push_back(TaggedTransform(5, 6, float(10 * (k + 1))));
  std::vector<std::shared_ptr<QVXAugmentedFaceMesh>> meshes(4);
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      meshes[k] = QVXAugmentedFaceMesh::initWithFaceTransform(&transforms[k],
                                                              matrix_identity_float4x4);
    });
  }
  for (auto& thread : threads) thread.join();

  const simd_float2* shared_uv = meshes[0]->textureCoordinates();
  const uint16_t* shared_indices = meshes[0]->triangleIndices();
  float tag = shared_uv[0].x;
  for (const auto& mesh : meshes) {
    EXPECT_EQ(mesh->textureCoordinates(), shared_uv);
    EXPECT_EQ(mesh->triangleIndices(), shared_indices);
    EXPECT_EQ(mesh->triangleCount(), 2u);
  }
  EXPECT_EQ(shared_uv[4].x, tag);
  EXPECT_EQ(shared_uv[4].y, 4);
  // Coordinates and indices are each made once, by whichever mesh gets there first: the two
  // may come from different meshes, but each is one mesh's whole buffer.
  EXPECT_EQ(shared_indices[5], shared_indices[0] + 5);

  // Same counts, other content: the shared content wins.
  Transform later = TaggedTransform(5, 6, 99);
  auto same_size = QVXAugmentedFaceMesh::initWithFaceTransform(&later, matrix_identity_float4x4);
  EXPECT_EQ(same_size->textureCoordinates(), shared_uv);
  EXPECT_EQ(same_size->textureCoordinates()[0].x, tag);

  // Other counts: the mesh reads its own, never past the end of the shared buffers.
  Transform bigger = TaggedTransform(9, 12, 7);
  auto other = QVXAugmentedFaceMesh::initWithFaceTransform(&bigger, matrix_identity_float4x4);
  EXPECT_NE(other->textureCoordinates(), shared_uv);
  EXPECT_NE(other->triangleIndices(), shared_indices);
  EXPECT_EQ(other->textureCoordinates()[8].x, 7);
  EXPECT_EQ(other->textureCoordinates()[8].y, 8);
  EXPECT_EQ(other->triangleIndices()[11], 18);
  EXPECT_EQ(other->triangleCount(), 4u);
  // Same vertex count but other index count: shares the coordinates, owns its indices.
  Transform fewer_indices = TaggedTransform(5, 3, 50);
  auto mixed =
      QVXAugmentedFaceMesh::initWithFaceTransform(&fewer_indices, matrix_identity_float4x4);
  EXPECT_EQ(mixed->textureCoordinates(), shared_uv);
  EXPECT_EQ(mixed->triangleIndices()[2], 52);
  EXPECT_EQ(mixed->triangleCount(), 1u);
}

}  // namespace
