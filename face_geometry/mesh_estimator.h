// Turns the face-space vertex positions of one face into its renderable mesh: every vertex
// gets its texture coordinate, a unit normal and a unit tangent with handedness; the face
// model's triangles are passed on.
#ifndef FACE_GEOMETRY_MESH_ESTIMATOR_H_
#define FACE_GEOMETRY_MESH_ESTIMATOR_H_

#include <Eigen/Core>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/status.h"
#include "base/statusor.h"
#include "face_geometry/face_model_generated.h"
#include "face_geometry/face_transform_records.h"

namespace quorrel {
namespace face_transform {

class MeshEstimator {
 public:
  // Fails when a mesh face names a vertex or texture coordinate that does not exist, when
  // one vertex is given two texture coordinates, or when the tangent-space triangles are
  // not whole triangles of existing vertices.
  static util::StatusOr<std::unique_ptr<MeshEstimator>> Create(const FaceModelT& face_model);

  // `vertex_positions` holds one position per face-model vertex. Fails when a vertex lies
  // on no usable tangent-space triangle (unless there are none at all: then every normal
  // and tangent is zero). Several threads may estimate at once: the working memory is kept
  // per thread.
  util::StatusOr<Mesh> Estimate(const std::vector<Eigen::Vector3f>& vertex_positions) const;

  // Angle-weighted normals and tangents of every vertex over the tangent-space triangles.
  // On failure the lists are partly filled and must not be used.
  absl::Status ComputeVertexNormalsAndTangents(const std::vector<Eigen::Vector3f>& vertex_positions,
                                               std::vector<Eigen::Vector3f>* vertex_normals,
                                               std::vector<Eigen::Vector4f>* vertex_tangents) const;

 private:
  MeshEstimator(std::vector<Eigen::Vector2f> mesh_vertex_tex_coords,
                std::vector<uint16_t> mesh_triangle_indices,
                std::vector<uint16_t> tangent_space_triangles,
                std::vector<float> texture_terms,
                std::vector<uint32_t> vertex_corner_offsets, std::vector<uint32_t> vertex_corners);

  // Sums the angle-weighted unit normal, tangent and bitangent of the tangent-space
  // triangles at every vertex and hands each vertex's unit normal and signed unit tangent
  // to `write(vertex_id, normal, tangent)`, in vertex order.
  template <typename Write>
  absl::Status ComputeNormalsAndTangents(const std::vector<Eigen::Vector3f>& vertex_positions,
                                         Write write) const;

  // One per face-model vertex; (0, 0) for a vertex that no mesh face uses.
  const std::vector<Eigen::Vector2f> mesh_vertex_tex_coords_;
  // Three vertex ids per output triangle.
  const std::vector<uint16_t> mesh_triangle_indices_;
  // Three vertex ids per triangle over which normals and tangents are accumulated.
  const std::vector<uint16_t> tangent_space_triangles_;
  // Texture-space terms of the tangent-space triangles, fixed by the model's UVs: per group
  // of four triangles (a, b, c), the four du1, four dv1, four du2 and four dv2, where
  // UV[b] - UV[a] = (du1, dv1) and UV[c] - UV[a] = (du2, dv2), each multiplied by the
  // triangle's texture-space orientation sign.
  const std::vector<float> texture_terms_;
  // The tangent-space triangle corners at vertex k, in triangle order, are
  // vertex_corners_[vertex_corner_offsets_[k]] up to vertex_corners_[vertex_corner_offsets_[k + 1]]
  // (exclusive); a corner is 12 times its triangle's index plus its place (0 to 2).
  const std::vector<uint32_t> vertex_corner_offsets_;
  const std::vector<uint32_t> vertex_corners_;
};

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_MESH_ESTIMATOR_H_
