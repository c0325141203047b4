// Least-squares similarity fits (rotation, uniform scale, translation) between two point
// sets, optionally with a weight per point, and the collection that hands the solvers
// out by algorithm id.

#ifndef FACE_GEOMETRY_PROCRUSTES_SOLVER_H_
#define FACE_GEOMETRY_PROCRUSTES_SOLVER_H_

#include <cstdint>
#include <memory>

#include <Eigen/Core>

#include "absl/types/span.h"
#include "base/statusor.h"

namespace quorrel {
namespace face_transform {

// Solves the orthogonal Procrustes problem ("EOP") and its weighted form ("WEOP"): the
// 4x4 column-major result [s·R t; 0 0 0 1] carries each source point p to s·R·p + t, as
// close to its target point as possible in the least-squares sense. R is always a proper
// rotation, even when the data are mirrored. Degenerate input (a single point, coincident
// points, zero weights) fails instead of producing non-finite transforms.
//
// Stateless: one solver may be used from several threads at once.
class ProcrustesSolver {
 public:
  virtual ~ProcrustesSolver() = default;

  virtual util::StatusOr<Eigen::Matrix4f> SolveOrthogonalProblem(
      absl::Span<const Eigen::Vector3f> source_points,
      absl::Span<const Eigen::Vector3f> target_points) const = 0;

  // `point_weights` holds one non-negative weight per point.
  virtual util::StatusOr<Eigen::Matrix4f> SolveWeightedOrthogonalProblem(
      absl::Span<const Eigen::Vector3f> source_points,
      absl::Span<const Eigen::Vector3f> target_points,
      absl::Span<const float> point_weights) const = 0;
};

// Owns one solver per algorithm id:
//   0  the spatial point fitter (single precision; no weighted form),
//   1  the closed-form solver in single precision,
//   2  the closed-form solver in double precision.
class ProcrustesSolverCollection {
 public:
  virtual ~ProcrustesSolverCollection() = default;

  // The solver stays owned by the collection. Fails for an id outside [0, 2].
  virtual util::StatusOr<const ProcrustesSolver*> GetProcrustesSolver(
      int32_t algorithm) const = 0;
};

std::unique_ptr<ProcrustesSolver> CreateFloatProcrustesSolver();
std::unique_ptr<ProcrustesSolver> CreateDoubleProcrustesSolver();
std::unique_ptr<ProcrustesSolver> CreateSorvantiProcrustesSolver();
std::unique_ptr<ProcrustesSolverCollection> CreateAllExistingProcrustesSolverCollection();

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_PROCRUSTES_SOLVER_H_
