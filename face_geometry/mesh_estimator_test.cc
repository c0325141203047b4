#include "face_geometry/mesh_estimator.h"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::EndsWith;

// A face model over `positions` with one texture coordinate per vertex (mesh corners name
// the vertex id twice) and `triangles` as both mesh faces and tangent-space triangles.
FaceModelT MakeModel(const std::vector<Eigen::Vector3f>& positions,
                     const std::vector<Eigen::Vector2f>& tex_coords,
                     const std::vector<std::array<uint16_t, 3>>& triangles) {
  FaceModelT model;
  for (const Eigen::Vector3f& p : positions) {
    model.vertex_positions.insert(model.vertex_positions.end(), {p.x(), p.y(), p.z()});
  }
  for (const Eigen::Vector2f& uv : tex_coords) {
    model.tex_coords.insert(model.tex_coords.end(), {uv.x(), uv.y()});
  }
  for (const auto& t : triangles) {
    for (uint16_t id : t) {
      model.mesh_faces.insert(model.mesh_faces.end(), {id, id});
      model.tangent_space_triangles.push_back(id);
    }
  }
  return model;
}

const std::vector<Eigen::Vector3f> kSquare = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
const std::vector<Eigen::Vector2f> kSquareUv = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};

TEST(MeshEstimatorTest, UnitSquareFacesPlusZWithTangentAlongX) {
  const FaceModelT model = MakeModel(kSquare, kSquareUv, {{0, 1, 2}, {0, 2, 3}});
  auto estimator = MeshEstimator::Create(model);
  ASSERT_TRUE(estimator.ok()) << estimator.status();
  auto mesh = (*estimator)->Estimate(kSquare);
  ASSERT_TRUE(mesh.ok()) << mesh.status();
  ASSERT_EQ(mesh->vertices.size(), 4u);
  EXPECT_THAT(mesh->triangle_indices, ::testing::ElementsAre(0, 1, 2, 0, 2, 3));
  for (int k = 0; k < 4; ++k) {
    const Vertex& v = mesh->vertices[k];
    EXPECT_TRUE(v.position.isApprox(kSquare[k]));
    EXPECT_TRUE(v.tex_coord.isApprox(kSquareUv[k]));
    EXPECT_TRUE(v.normal.isApprox(Eigen::Vector3f(0, 0, 1))) << v.normal.transpose();
    EXPECT_TRUE(v.tangent.isApprox(Eigen::Vector4f(1, 0, 0, -1))) << v.tangent.transpose();
  }
}

// The normal at the corner (1, 1, 1) of the unit cube is the diagonal whichever way each of
// the three faces meeting there is split: the corner's angle is 90 degrees on every face.
TEST(MeshEstimatorTest, CubeCornerNormalIsTheDiagonalForEverySplit) {
  const std::vector<Eigen::Vector3f> positions = {{1, 1, 1}, {0, 1, 1}, {0, 0, 1}, {1, 0, 1},
                                                  {1, 1, 0}, {0, 1, 0}, {1, 0, 0}};
  // A generic linear map keeps every triangle's texture image non-degenerate.
  std::vector<Eigen::Vector2f> uv;
  for (const Eigen::Vector3f& p : positions) {
    uv.emplace_back(p.x() + 0.37f * p.y() - 0.21f * p.z(), p.y() + 0.53f * p.z() - 0.11f * p.x());
  }
  // The three faces at the corner, each counter-clockwise seen from outside.
  const std::array<std::array<uint16_t, 4>, 3> quads = {{{0, 1, 2, 3}, {0, 4, 5, 1}, {0, 3, 6, 4}}};
  for (int splits = 0; splits < 8; ++splits) {
    std::vector<std::array<uint16_t, 3>> triangles;
    for (int f = 0; f < 3; ++f) {
      const auto& q = quads[f];
      if (splits & (1 << f)) {
        triangles.push_back({q[0], q[1], q[2]});
        triangles.push_back({q[0], q[2], q[3]});
      } else {
        triangles.push_back({q[0], q[1], q[3]});
        triangles.push_back({q[1], q[2], q[3]});
      }
    }
    auto estimator = MeshEstimator::Create(MakeModel(positions, uv, triangles));
    ASSERT_TRUE(estimator.ok()) << estimator.status();
    auto mesh = (*estimator)->Estimate(positions);
    ASSERT_TRUE(mesh.ok()) << mesh.status();
    EXPECT_TRUE(mesh->vertices[0].normal.isApprox(Eigen::Vector3f(1, 1, 1).normalized(), 1e-5))
        << "splits " << splits << ": " << mesh->vertices[0].normal.transpose();
  }
}

TEST(MeshEstimatorTest, WithoutTangentSpaceTrianglesNormalsAndTangentsAreZero) {
  FaceModelT model = MakeModel(kSquare, kSquareUv, {{0, 1, 2}, {0, 2, 3}});
  model.tangent_space_triangles.clear();
  auto estimator = MeshEstimator::Create(model);
  ASSERT_TRUE(estimator.ok());
  auto mesh = (*estimator)->Estimate(kSquare);
  ASSERT_TRUE(mesh.ok());
  for (const Vertex& v : mesh->vertices) {
    EXPECT_TRUE(v.normal.isZero());
    EXPECT_TRUE(v.tangent.isZero());
  }
}

TEST(MeshEstimatorTest, VertexUsedByNoFaceKeepsZeroTexCoord) {
  std::vector<Eigen::Vector3f> positions = kSquare;
  positions.push_back({5, 5, 5});
  FaceModelT model = MakeModel(positions, kSquareUv, {{0, 1, 2}, {0, 2, 3}});
  auto estimator = MeshEstimator::Create(model);
  ASSERT_TRUE(estimator.ok());
  // Vertex 4 has no triangle: the estimate fails on its normal.
  auto mesh = (*estimator)->Estimate(positions);
  ASSERT_FALSE(mesh.ok());
  EXPECT_THAT(std::string(mesh.status().message()),
              EndsWith("Failed to compute normal for vertex #4!; while computing vertex normal "
                       "& tangents!"));
  model.tangent_space_triangles.clear();
  estimator = MeshEstimator::Create(model);
  ASSERT_TRUE(estimator.ok());
  mesh = (*estimator)->Estimate(positions);
  ASSERT_TRUE(mesh.ok());
  EXPECT_TRUE(mesh->vertices[4].tex_coord.isZero());
}

TEST(MeshEstimatorTest, EstimateNeedsOnePositionPerVertex) {
  auto estimator = MeshEstimator::Create(MakeModel(kSquare, kSquareUv, {{0, 1, 2}, {0, 2, 3}}));
  ASSERT_TRUE(estimator.ok());
  auto mesh = (*estimator)->Estimate({kSquare[0], kSquare[1], kSquare[2]});
  ASSERT_FALSE(mesh.ok());
  EXPECT_THAT(std::string(mesh.status().message()), EndsWith("Unexpected number of vertices!"));
}

TEST(MeshEstimatorTest, RejectsBrokenModels) {
  struct Case {
    std::string name;
    void (*spoil)(FaceModelT&);
    std::string message_end;
  };
  const Case cases[] = {
      {"vertex id", [](FaceModelT& m) { m.mesh_faces[8] = 4; },
       "Face mesh vertex ID is too large! Face ID #1, vertex id #1"},
      {"texture coordinate id", [](FaceModelT& m) { m.mesh_faces[5] = 9; },
       "Face mesh texture coordinate ID is too large! Face ID #0, vertex id #2"},
      {"second texture coordinate", [](FaceModelT& m) { m.mesh_faces[7] = 1; },
       "Each mesh vertex must have a unique UV coordinate! Face ID #1, vertex id #0"},
      {"tangent-space id", [](FaceModelT& m) { m.tangent_space_triangles[4] = 4; },
       "Tangent space triangle vertex ID is too large! Triangle #1, vertex id #1"},
      {"partial tangent-space triangle",
       [](FaceModelT& m) { m.tangent_space_triangles.pop_back(); },
       "Tangent space triangle list length must be a multiple of 3!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaceModelT model = MakeModel(kSquare, kSquareUv, {{0, 1, 2}, {0, 2, 3}});
    c.spoil(model);
    auto estimator = MeshEstimator::Create(model);
    ASSERT_FALSE(estimator.ok());
    EXPECT_EQ(estimator.status().code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(estimator.status().message()), EndsWith(c.message_end));
  }
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
