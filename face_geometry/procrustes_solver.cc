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

// The sums that the closed-form solution needs, gathered in two passes over the points
// without forming any 3xN matrix. With r the square root of a point's weight (1 without
// weights), S its source and T its target point:
//   centre          c = sum(r·r·S) / W, W = sum(r·r);
//   design matrix   D = sum((r·T) (r·(S - c))ᵀ), the cross-covariance of the centred sets;
//   denominator     sum((r·(S - c)) · (r·S)), the scale expression's denominator;
//   weighted sums   sum(r·r·S) and sum(r·r·T), for the translation.
// The scale expression's numerator, sum((R·r·(S - c)) · (r·T)), equals the entry-wise
// product of R and D summed, so it needs no further pass.
template <typename Scalar>
struct ProblemSums {
  using Vector3 = Eigen::Matrix<Scalar, 3, 1>;

  Scalar total_weight = 0;
  Vector3 weighted_source_sum = Vector3::Zero();
  Vector3 weighted_target_sum = Vector3::Zero();
  Vector3 source_center = Vector3::Zero();
  Matrix3<Scalar> design_matrix = Matrix3<Scalar>::Zero();
  Scalar denominator = 0;

  // `sqrt_weight(i)` gives r of point i. Fills everything but the centre-dependent terms
  // when the total weight is zero; the caller checks the total first.
  template <typename SqrtWeight>
  void Gather(absl::Span<const Eigen::Vector3f> source_points,
              absl::Span<const Eigen::Vector3f> target_points, SqrtWeight sqrt_weight) {
    for (size_t i = 0; i < source_points.size(); ++i) {
      const Scalar r = sqrt_weight(i);
      const Vector3 weighted_source = source_points[i].cast<Scalar>() * r;
      total_weight += r * r;
      weighted_source_sum += weighted_source * r;
      weighted_target_sum += target_points[i].cast<Scalar>() * r * r;
    }
  }

  template <typename SqrtWeight>
  void Center(absl::Span<const Eigen::Vector3f> source_points,
              absl::Span<const Eigen::Vector3f> target_points, SqrtWeight sqrt_weight) {
    source_center = weighted_source_sum / total_weight;
    for (size_t i = 0; i < source_points.size(); ++i) {
      const Scalar r = sqrt_weight(i);
      const Vector3 weighted_source = source_points[i].cast<Scalar>() * r;
      const Vector3 weighted_target = target_points[i].cast<Scalar>() * r;
      const Vector3 centered = weighted_source - source_center * r;
      design_matrix.noalias() += weighted_target * centered.transpose();
      denominator += centered.dot(weighted_source);
    }
  }
};

// Closed-form solution: centring, 3x3 cross-covariance, its SVD with a reflection fix,
// and the least-squares scale. `Scalar` is the working precision.
template <typename Scalar>
class ProcrustesSolverImpl : public ProcrustesSolver {
 public:
  util::StatusOr<Eigen::Matrix4f> SolveOrthogonalProblem(
      absl::Span<const Eigen::Vector3f> source_points,
      absl::Span<const Eigen::Vector3f> target_points) const override {
    RETURN_IF_ERROR(ValidateOrthogonalProblemInputs(source_points, target_points));
    const auto unit_weight = [](size_t) { return Scalar(1); };
    ProblemSums<Scalar> sums;
    sums.Gather(source_points, target_points, unit_weight);
    sums.Center(source_points, target_points, unit_weight);
    Eigen::Matrix4f result;
    RETURN_IF_ERROR(InternalSolve(sums, &result)) << "while solving the EOP problem!";
    return result;
  }

  util::StatusOr<Eigen::Matrix4f> SolveWeightedOrthogonalProblem(
      absl::Span<const Eigen::Vector3f> source_points,
      absl::Span<const Eigen::Vector3f> target_points,
      absl::Span<const float> point_weights) const override {
    RETURN_IF_ERROR(
        ValidateWeightedOrthogonalProblemInputs(source_points, target_points, point_weights));
    const auto sqrt_weight = [point_weights](size_t i) {
      return std::sqrt(static_cast<Scalar>(point_weights[i]));
    };
    ProblemSums<Scalar> sums;
    sums.Gather(source_points, target_points, sqrt_weight);
    Eigen::Matrix4f result;
    const absl::Status status = [&]() -> absl::Status {
      const Scalar total_weight = sums.total_weight;
      RET_CHECK_GT(total_weight, kAbsoluteErrorEps) << "Total point weight is too small!";
      sums.Center(source_points, target_points, sqrt_weight);
      return InternalSolve(sums, &result);
    }();
    RETURN_IF_ERROR(status) << "while solving the WEOP problem!";
    return result;
  }

 private:
  // Every "too small" test fails for values at or below this, and for NaN.
  static constexpr Scalar kAbsoluteErrorEps = std::is_same_v<Scalar, float> ? 1e-9 : 1e-12;

  static absl::Status InternalSolve(const ProblemSums<Scalar>& sums, Eigen::Matrix4f* result) {
    Matrix3<Scalar> rotation = Matrix3<Scalar>::Identity();
    RETURN_IF_ERROR(ComputeOptimalRotation(sums.design_matrix, &rotation)).LogError();
    Scalar scale = 0;
    RETURN_IF_ERROR(ComputeOptimalScale(sums, rotation, &scale)).LogError();
    const Matrix3<Scalar> rotation_and_scale = scale * rotation;
    // The weighted mean of target - s·R·source.
    const Eigen::Matrix<Scalar, 3, 1> translation =
        (sums.weighted_target_sum - rotation_and_scale * sums.weighted_source_sum) /
        sums.total_weight;
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

  static absl::Status ComputeOptimalScale(const ProblemSums<Scalar>& sums,
                                          const Matrix3<Scalar>& rotation, Scalar* scale) {
    const Scalar numerator = rotation.cwiseProduct(sums.design_matrix).sum();
    const Scalar denominator = sums.denominator;
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
