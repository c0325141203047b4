#include "face_geometry/procrustes_solver.h"

#include <utility>
#include <vector>

#include <Eigen/LU>
#include <Eigen/SVD>

#include "base/status_macros.h"
#include "face_geometry/spatial_point_fitter.h"

namespace quorrel {
namespace face_transform {
namespace {

template <typename Scalar>
using Matrix3X = Eigen::Matrix<Scalar, 3, Eigen::Dynamic>;
template <typename Scalar>
using Matrix3 = Eigen::Matrix<Scalar, 3, 3>;
template <typename Scalar>
using RowVectorX = Eigen::Matrix<Scalar, 1, Eigen::Dynamic>;

absl::Status ValidateInputPoints(absl::Span<const Eigen::Vector3f> source_points,
                                 absl::Span<const Eigen::Vector3f> target_points) {
  RET_CHECK(!source_points.empty()) << "@source_points must be non-empty!";
  RET_CHECK_EQ(source_points.size(), target_points.size())
      << "@source_points and @target_points must have the same size!";
  return absl::OkStatus();
}

absl::Status ValidateOrthogonalProblemInputs(absl::Span<const Eigen::Vector3f> source_points,
                                             absl::Span<const Eigen::Vector3f> target_points) {
  RETURN_IF_ERROR(ValidateInputPoints(source_points, target_points))
      << "while validating orthogonal problem inputs!";
  return absl::OkStatus();
}

absl::Status ValidatePointWeights(size_t n_points, absl::Span<const float> point_weights) {
  RET_CHECK(!point_weights.empty()) << "@point_weights must be non-empty!";
  RET_CHECK_EQ(point_weights.size(), n_points)
      << "@point_weights and @source_points must have the same size!";
  for (size_t i = 0; i < point_weights.size(); ++i) {
    // A NaN weight fails too.
    RET_CHECK_GE(point_weights[i], 0.0f)
        << "Each element of @point_weights must be non-negative. "
        << "Condition is failed for index = " << i << "!";
  }
  return absl::OkStatus();
}

absl::Status ValidateWeightedOrthogonalProblemInputs(
    absl::Span<const Eigen::Vector3f> source_points,
    absl::Span<const Eigen::Vector3f> target_points, absl::Span<const float> point_weights) {
  RETURN_IF_ERROR(ValidateInputPoints(source_points, target_points))
      << "while validating weighted orthogonal problem input points!";
  RETURN_IF_ERROR(ValidatePointWeights(source_points.size(), point_weights))
      << "while validating weighted orthogonal problem input point weights!";
  return absl::OkStatus();
}

// One point per column, widened to the working precision.
template <typename Scalar>
absl::Status PutPointsToMatrixColwise(absl::Span<const Eigen::Vector3f> points,
                                      Matrix3X<Scalar>* matrix_ptr) {
  RET_CHECK(!points.empty()) << "Input points vector must be non-empty!";
  RET_CHECK(matrix_ptr) << "Matrix pointer must be non-null!";
  matrix_ptr->resize(3, static_cast<Eigen::Index>(points.size()));
  for (size_t i = 0; i < points.size(); ++i) {
    matrix_ptr->col(static_cast<Eigen::Index>(i)) = points[i].cast<Scalar>();
  }
  return absl::OkStatus();
}

Eigen::Matrix4f AssembleResult(const Eigen::Matrix3f& rotation_and_scale,
                               const Eigen::Vector3f& translation) {
  Eigen::Matrix4f result = Eigen::Matrix4f::Identity();
  result.topLeftCorner<3, 3>() = rotation_and_scale;
  result.topRightCorner<3, 1>() = translation;
  return result;
}

// Closed-form solution: centring, 3x3 cross-covariance, its SVD with a reflection fix,
// and the least-squares scale. `Scalar` is the working precision.
template <typename Scalar>
class ProcrustesSolverImpl : public ProcrustesSolver {
 public:
  util::StatusOr<Eigen::Matrix4f> SolveOrthogonalProblem(
      absl::Span<const Eigen::Vector3f> source_points,
      absl::Span<const Eigen::Vector3f> target_points) const override {
    RETURN_IF_ERROR(ValidateOrthogonalProblemInputs(source_points, target_points));
    Matrix3X<Scalar> sources, targets;
    RETURN_IF_ERROR(PutPointsToMatrixColwise(source_points, &sources))
        << "while putting source points before solving the EOP problem!";
    RETURN_IF_ERROR(PutPointsToMatrixColwise(target_points, &targets))
        << "while putting target points before solving the EOP problem!";
    Eigen::Matrix4f result;
    RETURN_IF_ERROR(InternalSolveOrthogonalProblem(sources, targets, &result))
        << "while solving the EOP problem!";
    return result;
  }

  util::StatusOr<Eigen::Matrix4f> SolveWeightedOrthogonalProblem(
      absl::Span<const Eigen::Vector3f> source_points,
      absl::Span<const Eigen::Vector3f> target_points,
      absl::Span<const float> point_weights) const override {
    RETURN_IF_ERROR(
        ValidateWeightedOrthogonalProblemInputs(source_points, target_points, point_weights));
    Matrix3X<Scalar> sources, targets;
    RETURN_IF_ERROR(PutPointsToMatrixColwise(source_points, &sources))
        << "while putting source points before solving the WEOP problem!";
    RETURN_IF_ERROR(PutPointsToMatrixColwise(target_points, &targets))
        << "while putting target points before solving the WEOP problem!";
    RowVectorX<Scalar> sqrt_weights(point_weights.size());
    for (size_t i = 0; i < point_weights.size(); ++i) {
      sqrt_weights(static_cast<Eigen::Index>(i)) =
          std::sqrt(static_cast<Scalar>(point_weights[i]));
    }
    Eigen::Matrix4f result;
    RETURN_IF_ERROR(
        InternalSolveWeightedOrthogonalProblem(sources, targets, sqrt_weights, &result))
        << "while solving the WEOP problem!";
    return result;
  }

 private:
  // Every "too small" test fails for values at or below this, and for NaN.
  static constexpr Scalar kAbsoluteErrorEps = std::is_same_v<Scalar, float> ? 1e-9 : 1e-12;

  static absl::Status InternalSolveOrthogonalProblem(const Matrix3X<Scalar>& sources,
                                                     const Matrix3X<Scalar>& targets,
                                                     Eigen::Matrix4f* result) {
    const Scalar n_points = static_cast<Scalar>(sources.cols());
    const Matrix3X<Scalar> centered_sources =
        sources.colwise() - sources.rowwise().sum() / n_points;
    // The targets need no centring: the centred sources' columns sum to zero.
    const Matrix3<Scalar> design_matrix = targets * centered_sources.transpose();
    Matrix3<Scalar> rotation;
    RETURN_IF_ERROR(ComputeOptimalRotation(design_matrix, &rotation)).LogError();
    Scalar scale;
    RETURN_IF_ERROR(
        ComputeOptimalScale(centered_sources, sources, targets, rotation, &scale))
        .LogError();
    const Matrix3<Scalar> rotation_and_scale = scale * rotation;
    const Eigen::Matrix<Scalar, 3, 1> translation =
        (targets - rotation_and_scale * sources).rowwise().sum() / n_points;
    *result = AssembleResult(rotation_and_scale.template cast<float>(),
                             translation.template cast<float>());
    return absl::OkStatus();
  }

  // Each point's column is multiplied by the square root of its weight, so that the
  // weighted problem becomes an unweighted one over the scaled columns.
  static absl::Status InternalSolveWeightedOrthogonalProblem(
      const Matrix3X<Scalar>& sources, const Matrix3X<Scalar>& targets,
      const RowVectorX<Scalar>& sqrt_weights, Eigen::Matrix4f* result) {
    const Matrix3X<Scalar> weighted_sources = sources.array().rowwise() * sqrt_weights.array();
    const Matrix3X<Scalar> weighted_targets = targets.array().rowwise() * sqrt_weights.array();
    const Scalar total_weight = sqrt_weights.squaredNorm();
    RET_CHECK_GT(total_weight, kAbsoluteErrorEps) << "Total point weight is too small!";

    const Eigen::Matrix<Scalar, 3, 1> source_center =
        weighted_sources * sqrt_weights.transpose() / total_weight;
    const Matrix3X<Scalar> centered_weighted_sources =
        weighted_sources - source_center * sqrt_weights;
    const Matrix3<Scalar> design_matrix =
        weighted_targets * centered_weighted_sources.transpose();
    Matrix3<Scalar> rotation;
    RETURN_IF_ERROR(ComputeOptimalRotation(design_matrix, &rotation)).LogError();
    Scalar scale;
    RETURN_IF_ERROR(ComputeOptimalScale(centered_weighted_sources, weighted_sources,
                                        weighted_targets, rotation, &scale))
        .LogError();
    const Matrix3<Scalar> rotation_and_scale = scale * rotation;
    const Eigen::Matrix<Scalar, 3, 1> translation =
        (weighted_targets - rotation_and_scale * weighted_sources) * sqrt_weights.transpose() /
        total_weight;
    *result = AssembleResult(rotation_and_scale.template cast<float>(),
                             translation.template cast<float>());
    return absl::OkStatus();
  }

  static absl::Status ComputeOptimalRotation(const Matrix3<Scalar>& design_matrix,
                                             Matrix3<Scalar>* rotation) {
    RET_CHECK_GT(design_matrix.norm(), kAbsoluteErrorEps) << "Design matrix norm is too small!";
    Eigen::JacobiSVD<Matrix3<Scalar>> svd(design_matrix,
                                          Eigen::ComputeFullU | Eigen::ComputeFullV);
    Matrix3<Scalar> u = svd.matrixU();
    const Matrix3<Scalar>& v = svd.matrixV();
    // A mirrored fit is turned into the closest proper rotation by flipping the axis of
    // the smallest singular value.
    if (u.determinant() * v.determinant() < 0) u.col(2) *= -1;
    *rotation = u * v.transpose();
    return absl::OkStatus();
  }

  static absl::Status ComputeOptimalScale(const Matrix3X<Scalar>& centered_weighted_sources,
                                          const Matrix3X<Scalar>& weighted_sources,
                                          const Matrix3X<Scalar>& weighted_targets,
                                          const Matrix3<Scalar>& rotation, Scalar* scale) {
    const Scalar numerator =
        (rotation * centered_weighted_sources).cwiseProduct(weighted_targets).sum();
    const Scalar denominator = centered_weighted_sources.cwiseProduct(weighted_sources).sum();
    RET_CHECK_GT(numerator, kAbsoluteErrorEps) << "Scale expression numerator is too small!";
    RET_CHECK_GT(denominator, kAbsoluteErrorEps)
        << "Scale expression denominator is too small!";
    *scale = numerator / denominator;
    return absl::OkStatus();
  }
};

// Delegates to the spatial point fitter, which has no weighted form.
class SorvantiProcrustesSolver : public ProcrustesSolver {
 public:
  util::StatusOr<Eigen::Matrix4f> SolveOrthogonalProblem(
      absl::Span<const Eigen::Vector3f> source_points,
      absl::Span<const Eigen::Vector3f> target_points) const override {
    RETURN_IF_ERROR(ValidateOrthogonalProblemInputs(source_points, target_points));
    Eigen::Matrix3Xf sources_matrix, targets_matrix;
    RETURN_IF_ERROR(PutPointsToMatrixColwise(source_points, &sources_matrix))
        << "while putting source points before solving the EOP problem using Sorvanti "
           "algorithm!";
    RETURN_IF_ERROR(PutPointsToMatrixColwise(target_points, &targets_matrix))
        << "while putting target points before solving the EOP problem using Sorvanti "
           "algorithm!";
    Eigen::Matrix3f rotation_and_scale;
    Eigen::Vector3f translation;
    // The fitter logs its own reason for a failure.
    RET_CHECK(vrk::sdk::mask::FitSpatialPoints(
        sources_matrix, targets_matrix, &rotation_and_scale, &translation));
    return AssembleResult(rotation_and_scale, translation);
  }

  util::StatusOr<Eigen::Matrix4f> SolveWeightedOrthogonalProblem(
      absl::Span<const Eigen::Vector3f> source_points,
      absl::Span<const Eigen::Vector3f> target_points,
      absl::Span<const float> point_weights) const override {
    RET_CHECK_FAIL()
        << "Weighted orthogonal problem solver is not available for SorvantiProcrustesSolver!";
  }
};

class AllExistingProcrustesSolverCollection : public ProcrustesSolverCollection {
 public:
  explicit AllExistingProcrustesSolverCollection(
      std::vector<std::unique_ptr<ProcrustesSolver>> procrustes_solvers)
      : procrustes_solvers_(std::move(procrustes_solvers)) {}

  util::StatusOr<const ProcrustesSolver*> GetProcrustesSolver(
      int32_t algorithm) const override {
    RET_CHECK(0 <= algorithm && algorithm < procrustes_solvers_.size())
        << "Algorithm ID must be in range [ProcrustesAlgorithm_MIN, ProcrustesAlgorithm_MAX]!";
    return procrustes_solvers_[algorithm].get();
  }

 private:
  // Indexed by algorithm id.
  const std::vector<std::unique_ptr<ProcrustesSolver>> procrustes_solvers_;
};

}  // namespace

std::unique_ptr<ProcrustesSolver> CreateFloatProcrustesSolver() {
  return std::make_unique<ProcrustesSolverImpl<float>>();
}

std::unique_ptr<ProcrustesSolver> CreateDoubleProcrustesSolver() {
  return std::make_unique<ProcrustesSolverImpl<double>>();
}

std::unique_ptr<ProcrustesSolver> CreateSorvantiProcrustesSolver() {
  return std::make_unique<SorvantiProcrustesSolver>();
}

std::unique_ptr<ProcrustesSolverCollection> CreateAllExistingProcrustesSolverCollection() {
  std::vector<std::unique_ptr<ProcrustesSolver>> solvers;
  solvers.push_back(CreateSorvantiProcrustesSolver());
  solvers.push_back(CreateFloatProcrustesSolver());
  solvers.push_back(CreateDoubleProcrustesSolver());
  return std::make_unique<AllExistingProcrustesSolverCollection>(std::move(solvers));
}

}  // namespace face_transform
}  // namespace quorrel
