// Derivation of the face model's full vertex list from a landmark list by the fixed
// linear combinations that the face model describes.

#ifndef FACE_GEOMETRY_VERTEX_DERIVER_H_
#define FACE_GEOMETRY_VERTEX_DERIVER_H_

#include <memory>
#include <vector>

#include <Eigen/Core>

#include "absl/types/span.h"
#include "base/statusor.h"

namespace quorrel {
namespace face_transform {

struct FaceModelT;

// Immutable after creation; DeriveFrom may be called from several threads at once.
class VertexDeriver {
 public:
  virtual ~VertexDeriver() = default;

  // Fails when the input does not have the number of vertices the deriver expects.
  virtual util::StatusOr<std::vector<Eigen::Vector3f>> DeriveFrom(
      absl::Span<const Eigen::Vector3f> input_vertices) const = 0;
};

// Builds the deriver that the face model describes: a single linear combination
// (`linear_direct_derived_vertices`), or the chain of `vertex_derivation_models` (a model
// without either passes its input through unchanged). Fails for a malformed model.
util::StatusOr<std::unique_ptr<VertexDeriver>> CreateVertexDeriver(const FaceModelT& face_model);

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_VERTEX_DERIVER_H_
