#include "face_geometry/mesh_estimator.h"

#include <cmath>
#include <utility>

#include <Eigen/Geometry>

#include "absl/types/optional.h"
#include "base/status_macros.h"

namespace quorrel {
namespace face_transform {
namespace {

constexpr float kAbsoluteErrorEps = 1e-9f;

// The angle between u and v; 0 when either is zero or the cosine is not a number.
float AngleBetween(const Eigen::Vector3f& u, const Eigen::Vector3f& v) {
  const float lengths = u.norm() * v.norm();
  if (lengths == 0.0f) return 0.0f;
  const float cosine = u.dot(v) / lengths;
  if (!(cosine <= 1.0f)) return 0.0f;
  return std::acos(std::max(cosine, -1.0f));
}

}  // namespace

MeshEstimator::MeshEstimator(std::vector<Eigen::Vector2f> mesh_vertex_tex_coords,
                             std::vector<uint16_t> mesh_triangle_indices,
                             std::vector<uint16_t> tangent_space_triangles)
    : mesh_vertex_tex_coords_(std::move(mesh_vertex_tex_coords)),
      mesh_triangle_indices_(std::move(mesh_triangle_indices)),
      tangent_space_triangles_(std::move(tangent_space_triangles)) {}

util::StatusOr<std::unique_ptr<MeshEstimator>> MeshEstimator::Create(
    const FaceModelT& face_model) {
  const size_t vertices_num = face_model.vertex_positions.size() / 3;
  const size_t tex_coords_num = face_model.tex_coords.size() / 2;
  const size_t faces_num = face_model.mesh_faces.size() / 6;

  std::vector<Eigen::Vector2f> tex_coords(vertices_num, Eigen::Vector2f::Zero());
  std::vector<absl::optional<uint16_t>> vertex_tex_coord_ids(vertices_num);
  std::vector<uint16_t> triangle_indices(3 * faces_num);
  for (size_t i = 0; i < faces_num; ++i) {
    for (size_t j = 0; j < 3; ++j) {
      const uint16_t vertex_id = face_model.mesh_faces[6 * i + 2 * j];
      const uint16_t tex_coord_id = face_model.mesh_faces[6 * i + 2 * j + 1];
      RET_CHECK_LT(vertex_id, vertices_num)
          << "Face mesh vertex ID is too large! Face ID #" << i << ", vertex id #" << j;
      RET_CHECK_LT(tex_coord_id, tex_coords_num)
          << "Face mesh texture coordinate ID is too large! Face ID #" << i << ", vertex id #"
          << j;
      if (!vertex_tex_coord_ids[vertex_id].has_value()) {
        vertex_tex_coord_ids[vertex_id] = tex_coord_id;
        tex_coords[vertex_id] = {face_model.tex_coords[2 * tex_coord_id],
                                 face_model.tex_coords[2 * tex_coord_id + 1]};
      } else {
        RET_CHECK_EQ(vertex_tex_coord_ids[vertex_id].value(), tex_coord_id)
            << "Each mesh vertex must have a unique UV coordinate! Face ID #" << i
            << ", vertex id #" << j;
      }
      triangle_indices[3 * i + j] = vertex_id;
    }
  }

  // A tangent-space triangle that is not whole or names a missing vertex would be read out
  // of bounds on every estimate: refuse it here.
  const std::vector<uint16_t>& tangent_space_triangles = face_model.tangent_space_triangles;
  RET_CHECK_EQ(tangent_space_triangles.size() % 3, 0u)
      << "Tangent space triangle list length must be a multiple of 3!";
  for (size_t k = 0; k < tangent_space_triangles.size(); ++k) {
    RET_CHECK_LT(tangent_space_triangles[k], vertices_num)
        << "Tangent space triangle vertex ID is too large! Triangle #" << k / 3
        << ", vertex id #" << k % 3;
  }

  return std::unique_ptr<MeshEstimator>(new MeshEstimator(
      std::move(tex_coords), std::move(triangle_indices), tangent_space_triangles));
}

util::StatusOr<Mesh> MeshEstimator::Estimate(
    const std::vector<Eigen::Vector3f>& vertex_positions) const {
  RET_CHECK_EQ(mesh_vertex_tex_coords_.size(), vertex_positions.size())
      << "Unexpected number of vertices!";
  std::vector<Eigen::Vector3f> normals;
  std::vector<Eigen::Vector4f> tangents;
  RETURN_IF_ERROR(ComputeVertexNormalsAndTangents(vertex_positions, &normals, &tangents))
      << "while computing vertex normal & tangents!";

  Mesh mesh;
  mesh.vertices.resize(vertex_positions.size());
  for (size_t k = 0; k < vertex_positions.size(); ++k) {
    Vertex& vertex = mesh.vertices[k];
    vertex.position = vertex_positions[k];
    vertex.tex_coord = mesh_vertex_tex_coords_[k];
    vertex.normal = normals[k];
    vertex.tangent = tangents[k];
  }
  mesh.triangle_indices = mesh_triangle_indices_;
  return mesh;
}

absl::Status MeshEstimator::ComputeVertexNormalsAndTangents(
    const std::vector<Eigen::Vector3f>& vertex_positions,
    std::vector<Eigen::Vector3f>* vertex_normals,
    std::vector<Eigen::Vector4f>* vertex_tangents) const {
  const size_t vertices_num = vertex_positions.size();
  vertex_normals->assign(vertices_num, Eigen::Vector3f::Zero());
  vertex_tangents->assign(vertices_num, Eigen::Vector4f::Zero());
  if (tangent_space_triangles_.empty()) return absl::OkStatus();
  std::vector<Eigen::Vector3f> vertex_bitangents(vertices_num, Eigen::Vector3f::Zero());

  const std::vector<Eigen::Vector3f>& p = vertex_positions;
  const std::vector<Eigen::Vector2f>& uv = mesh_vertex_tex_coords_;
  for (size_t m = 0; m + 2 < tangent_space_triangles_.size(); m += 3) {
    const uint16_t corners[3] = {tangent_space_triangles_[m], tangent_space_triangles_[m + 1],
                                 tangent_space_triangles_[m + 2]};
    const uint16_t a = corners[0], b = corners[1], c = corners[2];
    const Eigen::Vector3f e1 = p[b] - p[a];
    const Eigen::Vector3f e2 = p[c] - p[a];
    const Eigen::Vector2f d1 = uv[b] - uv[a];
    const Eigen::Vector2f d2 = uv[c] - uv[a];
    // Texture-space orientation; NaN counts as positive.
    const float r = (d1.y() * d2.x() - d1.x() * d2.y() < 0.0f) ? -1.0f : 1.0f;

    Eigen::Vector3f normal = e1.cross(e2);
    if (normal.norm() < kAbsoluteErrorEps) continue;
    Eigen::Vector3f tangent = r * (d1.y() * e2 - d2.y() * e1);
    if (tangent.norm() < kAbsoluteErrorEps) continue;
    Eigen::Vector3f bitangent = r * (d1.x() * e2 - d2.x() * e1);
    if (bitangent.norm() < kAbsoluteErrorEps) continue;

    const float angle_a = AngleBetween(e1, e2);
    const float angle_b = AngleBetween(p[a] - p[b], p[c] - p[b]);
    const float angle_c = static_cast<float>(M_PI - static_cast<double>(angle_a) -
                                             static_cast<double>(angle_b));
    const float angles[3] = {angle_a, angle_b, angle_c};
    normal.normalize();
    tangent.normalize();
    bitangent.normalize();
    for (int k = 0; k < 3; ++k) {
      (*vertex_normals)[corners[k]] += normal * angles[k];
      (*vertex_tangents)[corners[k]].head<3>() += tangent * angles[k];
      vertex_bitangents[corners[k]] += bitangent * angles[k];
    }
  }

  for (size_t k = 0; k < vertices_num; ++k) {
    Eigen::Vector3f& vertex_normal = (*vertex_normals)[k];
    Eigen::Vector4f& vertex_tangent = (*vertex_tangents)[k];
    Eigen::Vector3f& vertex_bitangent = vertex_bitangents[k];
    RET_CHECK_GT(vertex_normal.norm(), kAbsoluteErrorEps)
        << "Failed to compute normal for vertex #" << k << "!";
    RET_CHECK_GT(vertex_tangent.norm(), kAbsoluteErrorEps)
        << "Failed to compute tangent for vertex #" << k << "!";
    RET_CHECK_GT(vertex_bitangent.norm(), kAbsoluteErrorEps)
        << "Failed to compute bitangent for vertex #" << k << "!";
    vertex_normal.normalize();
    vertex_tangent.normalize();
    vertex_bitangent.normalize();
    const Eigen::Vector3f tangent_xyz = vertex_tangent.head<3>();
    vertex_tangent.w() = vertex_bitangent.dot(vertex_normal.cross(tangent_xyz)) < 0.0f ? -1.0f : 1.0f;
  }
  return absl::OkStatus();
}

}  // namespace face_transform
}  // namespace quorrel
