#include "face_geometry/mesh_estimator.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <utility>

#include "absl/types/optional.h"
#include "base/status_macros.h"

namespace quorrel {
namespace face_transform {
namespace {

constexpr float kAbsoluteErrorEps = 1e-9f;

// Triangles are processed in blocks whose arithmetic runs on SIMD lanes.
constexpr int kLanes = 16;
using Lanes = Eigen::Array<float, kLanes, 1>;

struct Vector3Lanes {
  Lanes x, y, z;

  Lanes Dot(const Vector3Lanes& o) const { return x * o.x + y * o.y + z * o.z; }
  Lanes Length() const { return Dot(*this).sqrt(); }
  Vector3Lanes Cross(const Vector3Lanes& o) const {
    return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
  }
};

// acos within 2e-8 of the exact value (a minimax polynomial in sqrt(1 - |x|) form).
Lanes Acos(const Lanes& x) {
  const Lanes t = x.abs();
  Lanes p = Lanes::Constant(-0.0012624911f);
  p = p * t + 0.0066700901f;
  p = p * t - 0.0170881256f;
  p = p * t + 0.0308918810f;
  p = p * t - 0.0501743046f;
  p = p * t + 0.0889789874f;
  p = p * t - 0.2145988016f;
  p = p * t + 1.5707963050f;
  const Lanes angle = (1.0f - t).sqrt() * p;
  return (x < 0.0f).select(static_cast<float>(M_PI) - angle, angle);
}

// The angle between two vectors of the given lengths and dot product; 0 when either is zero
// or the cosine is not a number.
Lanes AngleBetween(const Lanes& dot, const Lanes& length_u, const Lanes& length_v) {
  const Lanes lengths = length_u * length_v;
  const Lanes cosine = dot / lengths;
  const auto usable = (lengths != 0.0f) && (cosine <= 1.0f);
  return usable.select(Acos(cosine.max(-1.0f)), 0.0f);
}

}  // namespace

MeshEstimator::MeshEstimator(std::vector<Eigen::Vector2f> mesh_vertex_tex_coords,
                             std::vector<uint16_t> mesh_triangle_indices,
                             std::vector<uint16_t> tangent_space_triangles)
    : mesh_vertex_tex_coords_(std::move(mesh_vertex_tex_coords)),
      mesh_triangle_indices_(std::move(mesh_triangle_indices)),
      tangent_space_triangles_(std::move(tangent_space_triangles)) {}

util::StatusOr<std::unique_ptr<MeshEstimator>> MeshEstimator::Create(const FaceModelT& face_model) {
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
          << "Face mesh texture coordinate ID is too large! Face ID #" << i << ", vertex id #" << j;
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
        << "Tangent space triangle vertex ID is too large! Triangle #" << k / 3 << ", vertex id #"
        << k % 3;
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
  const int vertices_num = static_cast<int>(vertex_positions.size());
  vertex_normals->assign(vertices_num, Eigen::Vector3f::Zero());
  vertex_tangents->assign(vertices_num, Eigen::Vector4f::Zero());
  if (tangent_space_triangles_.empty()) return absl::OkStatus();
  // Angle-weighted sums, one row per vertex: normal x, y, z, tangent x, y, z, bitangent x,
  // y, z and padding, so that a corner's contribution is one SIMD row update.
  using Sums = Eigen::Array<float, Eigen::Dynamic, 12, Eigen::RowMajor>;
  Sums sums = Sums::Zero(vertices_num, 12);

  const std::vector<Eigen::Vector3f>& p = vertex_positions;
  const std::vector<Eigen::Vector2f>& uv = mesh_vertex_tex_coords_;
  const int triangles_num = static_cast<int>(tangent_space_triangles_.size() / 3);
  for (int first = 0; first < triangles_num; first += kLanes) {
    const int n = std::min(kLanes, triangles_num - first);
    // Edges E1 = P[b] - P[a], E2 = P[c] - P[a], E3 = P[c] - P[b] and the texture deltas;
    // unused lanes stay zero and are never read.
    Vector3Lanes e1{Lanes::Zero(), Lanes::Zero(), Lanes::Zero()}, e2 = e1, e3 = e1;
    Lanes du1 = Lanes::Zero(), dv1 = du1, du2 = du1, dv2 = du1;
    for (int i = 0; i < n; ++i) {
      const uint16_t* corners = &tangent_space_triangles_[3 * (first + i)];
      const Eigen::Vector3f& pa = p[corners[0]];
      const Eigen::Vector3f& pb = p[corners[1]];
      const Eigen::Vector3f& pc = p[corners[2]];
      e1.x[i] = pb.x() - pa.x(), e1.y[i] = pb.y() - pa.y(), e1.z[i] = pb.z() - pa.z();
      e2.x[i] = pc.x() - pa.x(), e2.y[i] = pc.y() - pa.y(), e2.z[i] = pc.z() - pa.z();
      e3.x[i] = pc.x() - pb.x(), e3.y[i] = pc.y() - pb.y(), e3.z[i] = pc.z() - pb.z();
      const Eigen::Vector2f d1 = uv[corners[1]] - uv[corners[0]];
      const Eigen::Vector2f d2 = uv[corners[2]] - uv[corners[0]];
      du1[i] = d1.x(), dv1[i] = d1.y(), du2[i] = d2.x(), dv2[i] = d2.y();
    }
    // Texture-space orientation; NaN counts as positive.
    const Lanes r = (dv1 * du2 - du1 * dv2 < 0.0f).select(Lanes::Constant(-1.0f), 1.0f);
    const Vector3Lanes normal = e1.Cross(e2);
    const Vector3Lanes tangent{r * (dv1 * e2.x - dv2 * e1.x), r * (dv1 * e2.y - dv2 * e1.y),
                               r * (dv1 * e2.z - dv2 * e1.z)};
    const Vector3Lanes bitangent{r * (du1 * e2.x - du2 * e1.x), r * (du1 * e2.y - du2 * e1.y),
                                 r * (du1 * e2.z - du2 * e1.z)};
    const Lanes normal_length = normal.Length();
    const Lanes tangent_length = tangent.Length();
    const Lanes bitangent_length = bitangent.Length();
    // Corner angles at a (between E1 and E2) and b (between -E1 and E3).
    const Lanes length1 = e1.Length(), length2 = e2.Length(), length3 = e3.Length();
    const Lanes angle_a = AngleBetween(e1.Dot(e2), length1, length2);
    const Lanes angle_b = AngleBetween(-e1.Dot(e3), length1, length3);
    // The unit vectors of each triangle, transposed into rows of the sums' layout.
    const Lanes normal_scale = normal_length.inverse();
    const Lanes tangent_scale = tangent_length.inverse();
    const Lanes bitangent_scale = bitangent_length.inverse();
    const Lanes unit_components[9] = {normal.x * normal_scale,       normal.y * normal_scale,
                                      normal.z * normal_scale,       tangent.x * tangent_scale,
                                      tangent.y * tangent_scale,     tangent.z * tangent_scale,
                                      bitangent.x * bitangent_scale, bitangent.y * bitangent_scale,
                                      bitangent.z * bitangent_scale};
    Eigen::Array<float, kLanes, 12, Eigen::RowMajor> unit_vectors;
    for (int d = 0; d < 9; ++d) unit_vectors.col(d) = unit_components[d];
    unit_vectors.rightCols<3>().setZero();

    for (int i = 0; i < n; ++i) {
      // A degenerate triangle, or one without texture-space extent, adds nothing.
      if (normal_length[i] < kAbsoluteErrorEps || tangent_length[i] < kAbsoluteErrorEps ||
          bitangent_length[i] < kAbsoluteErrorEps) {
        continue;
      }
      const float angle_c = static_cast<float>(M_PI - static_cast<double>(angle_a[i]) -
                                               static_cast<double>(angle_b[i]));
      const float angles[3] = {angle_a[i], angle_b[i], angle_c};
      const uint16_t* corners = &tangent_space_triangles_[3 * (first + i)];
      for (int k = 0; k < 3; ++k) sums.row(corners[k]) += angles[k] * unit_vectors.row(i);
    }
  }

  auto length = [&sums](int first_column) {
    return (sums.col(first_column).square() + sums.col(first_column + 1).square() +
            sums.col(first_column + 2).square())
        .sqrt()
        .eval();
  };
  const Eigen::ArrayXf normal_length = length(0);
  const Eigen::ArrayXf tangent_length = length(3);
  const Eigen::ArrayXf bitangent_length = length(6);
  const auto usable = (normal_length > kAbsoluteErrorEps) && (tangent_length > kAbsoluteErrorEps) &&
                      (bitangent_length > kAbsoluteErrorEps);
  if (!usable.all()) {
    // The first vertex without a normal, tangent or bitangent, in that order.
    for (int k = 0; k < vertices_num; ++k) {
      RET_CHECK_GT(normal_length[k], kAbsoluteErrorEps)
          << "Failed to compute normal for vertex #" << k << "!";
      RET_CHECK_GT(tangent_length[k], kAbsoluteErrorEps)
          << "Failed to compute tangent for vertex #" << k << "!";
      RET_CHECK_GT(bitangent_length[k], kAbsoluteErrorEps)
          << "Failed to compute bitangent for vertex #" << k << "!";
    }
  }
  const Eigen::ArrayXf normal_scale = normal_length.inverse();
  const Eigen::ArrayXf tangent_scale = tangent_length.inverse();
  for (int d = 0; d < 3; ++d) {
    sums.col(d) *= normal_scale;
    sums.col(3 + d) *= tangent_scale;
  }
  // Handedness: the sign of bitangent . (normal x tangent); the bitangent's length does not
  // change it.
  const Eigen::ArrayXf handedness =
      sums.col(6) * (sums.col(1) * sums.col(5) - sums.col(2) * sums.col(4)) +
      sums.col(7) * (sums.col(2) * sums.col(3) - sums.col(0) * sums.col(5)) +
      sums.col(8) * (sums.col(0) * sums.col(4) - sums.col(1) * sums.col(3));
  for (int k = 0; k < vertices_num; ++k) {
    (*vertex_normals)[k] = {sums(k, 0), sums(k, 1), sums(k, 2)};
    (*vertex_tangents)[k] = {sums(k, 3), sums(k, 4), sums(k, 5),
                             handedness[k] < 0.0f ? -1.0f : 1.0f};
  }
  return absl::OkStatus();
}

}  // namespace face_transform
}  // namespace quorrel
