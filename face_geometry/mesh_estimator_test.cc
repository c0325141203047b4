#include "face_geometry/mesh_estimator.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tools/canonical_face_model.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;

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
              AllOf(HasSubstr("(vertex_normal.Length())>(kAbsoluteErrorEps)"),
                    EndsWith("Failed to compute normal for vertex #4!; while computing vertex "
                             "normal & tangents!")));
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

// Angle-weighted normals and tangents of every vertex, one triangle and one vertex at a time
// in double precision.
void ReferenceNormalsAndTangents(const std::vector<Eigen::Vector3f>& positions,
                                 const std::vector<Eigen::Vector2f>& uv,
                                 const std::vector<uint16_t>& triangles,
                                 std::vector<Eigen::Vector3d>* normals,
                                 std::vector<Eigen::Vector4d>* tangents) {
  std::vector<Eigen::Vector3d> n(positions.size(), Eigen::Vector3d::Zero()), t = n, b = n;
  const auto angle = [](const Eigen::Vector3d& u, const Eigen::Vector3d& v) {
    return std::acos(std::clamp(u.dot(v) / (u.norm() * v.norm()), -1.0, 1.0));
  };
  for (size_t m = 0; m + 2 < triangles.size(); m += 3) {
    const uint16_t a = triangles[m], c1 = triangles[m + 1], c2 = triangles[m + 2];
    const Eigen::Vector3d pa = positions[a].cast<double>(), pb = positions[c1].cast<double>(),
                          pc = positions[c2].cast<double>();
    const Eigen::Vector2d d1 = (uv[c1] - uv[a]).cast<double>(), d2 = (uv[c2] - uv[a]).cast<double>();
    const double r = d1.y() * d2.x() - d1.x() * d2.y() < 0 ? -1 : 1;
    const Eigen::Vector3d e1 = pb - pa, e2 = pc - pa;
    const Eigen::Vector3d normal = e1.cross(e2);
    const Eigen::Vector3d tangent = r * (d1.y() * e2 - d2.y() * e1);
    const Eigen::Vector3d bitangent = r * (d1.x() * e2 - d2.x() * e1);
    if (normal.norm() < 1e-9 || tangent.norm() < 1e-9 || bitangent.norm() < 1e-9) continue;
    const double angle_a = angle(e1, e2), angle_b = angle(pa - pb, pc - pb);
    const double angles[3] = {angle_a, angle_b, M_PI - angle_a - angle_b};
    const uint16_t corners[3] = {a, c1, c2};
    for (int k = 0; k < 3; ++k) {
      n[corners[k]] += angles[k] * normal.normalized();
      t[corners[k]] += angles[k] * tangent.normalized();
      b[corners[k]] += angles[k] * bitangent.normalized();
    }
  }
  for (size_t k = 0; k < positions.size(); ++k) {
    normals->push_back(n[k].normalized());
    const Eigen::Vector3d unit_tangent = t[k].normalized();
    tangents->emplace_back(unit_tangent.x(), unit_tangent.y(), unit_tangent.z(),
                           b[k].dot(normals->back().cross(unit_tangent)) < 0 ? -1 : 1);
  }
}

TEST(MeshEstimatorTest, CanonicalFaceMatchesAPlainReference) {
  std::unique_ptr<FaceModelT> model = tools::MakeCanonicalFaceModel();
  // A bent copy of the canonical face, with one triangle made degenerate and one left
  // without texture-space extent, so that skipped triangles sit among counted ones.
  std::vector<Eigen::Vector3f> positions;
  for (size_t i = 0; i + 2 < model->vertex_positions.size(); i += 3) {
    const Eigen::Vector3f p(model->vertex_positions[i], model->vertex_positions[i + 1],
                            model->vertex_positions[i + 2]);
    positions.push_back(p + Eigen::Vector3f(0, 0, 0.05f * p.x() * p.x()));
  }
  std::vector<uint16_t>& triangles = model->tangent_space_triangles;
  ASSERT_GT(triangles.size(), 3u * 40);
  triangles[3 * 17 + 2] = triangles[3 * 17 + 1];
  triangles.insert(triangles.end(), {triangles[3 * 30], triangles[3 * 30], triangles[3 * 30 + 1]});
  auto estimator = MeshEstimator::Create(*model);
  ASSERT_TRUE(estimator.ok()) << estimator.status();
  auto mesh = (*estimator)->Estimate(positions);
  ASSERT_TRUE(mesh.ok()) << mesh.status();
  std::vector<Eigen::Vector2f> uv;
  for (const Vertex& v : mesh->vertices) uv.push_back(v.tex_coord);
  std::vector<Eigen::Vector3d> normals;
  std::vector<Eigen::Vector4d> tangents;
  ReferenceNormalsAndTangents(positions, uv, triangles, &normals, &tangents);
  for (size_t k = 0; k < positions.size(); ++k) {
    const Vertex& v = mesh->vertices[k];
    ASSERT_TRUE(v.normal.cast<double>().isApprox(normals[k], 1e-5))
        << "vertex " << k << ": " << v.normal.transpose() << " vs " << normals[k].transpose();
    ASSERT_TRUE(v.tangent.cast<double>().isApprox(tangents[k], 1e-5))
        << "vertex " << k << ": " << v.tangent.transpose() << " vs " << tangents[k].transpose();
  }
}

TEST(MeshEstimatorTest, ThreadsEstimatingAtOnceGetTheSameMesh) {
  const std::unique_ptr<FaceModelT> model = tools::MakeCanonicalFaceModel();
  auto estimator = MeshEstimator::Create(*model);
  ASSERT_TRUE(estimator.ok()) << estimator.status();
  std::vector<Eigen::Vector3f> positions[2];
  for (size_t i = 0; i + 2 < model->vertex_positions.size(); i += 3) {
    const Eigen::Vector3f p(model->vertex_positions[i], model->vertex_positions[i + 1],
                            model->vertex_positions[i + 2]);
    positions[0].push_back(p);
    positions[1].push_back(Eigen::Vector3f(p.y(), -p.x(), p.z()));
  }
  Mesh expected[2];
  for (int t = 0; t < 2; ++t) expected[t] = *(*estimator)->Estimate(positions[t]);
  bool same[2] = {true, true};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int run = 0; run < 50; ++run) {
        const util::StatusOr<Mesh> mesh = (*estimator)->Estimate(positions[t]);
        for (size_t k = 0; mesh.ok() && k < mesh->vertices.size(); ++k) {
          same[t] = same[t] && mesh->vertices[k].normal == expected[t].vertices[k].normal &&
                    mesh->vertices[k].tangent == expected[t].vertices[k].tangent;
        }
        same[t] = same[t] && mesh.ok();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(same[0]);
  EXPECT_TRUE(same[1]);
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
