#include "face_geometry/procrustes_solver.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "base/status.h"
#include "face_geometry/core_logging.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using Points = std::vector<Eigen::Vector3f>;

enum Algorithm : int32_t { kPointFitter = 0, kFloat = 1, kDouble = 2 };

class ProcrustesSolverTest : public ::testing::Test {
 protected:
  const ProcrustesSolver& Solver(int32_t algorithm) {
    auto solver = collection_->GetProcrustesSolver(algorithm);
    EXPECT_TRUE(solver.ok()) << solver.status();
    return **solver;
  }

  static Points RandomPoints(int n) {
    Points points;
    for (int i = 0; i < n; ++i) points.push_back(Eigen::Vector3f::Random() * 5);
    return points;
  }

  static Eigen::Matrix3Xd ToMatrix(const Points& points) {
    Eigen::Matrix3Xd m(3, points.size());
    for (size_t i = 0; i < points.size(); ++i) m.col(i) = points[i].cast<double>();
    return m;
  }

  std::unique_ptr<ProcrustesSolverCollection> collection_ =
      CreateAllExistingProcrustesSolverCollection();
};

TEST_F(ProcrustesSolverTest, ClosedFormSolversAgreeWithUmeyama) {
  std::srand(17);
  for (int trial = 0; trial < 20; ++trial) {
    const Points source = RandomPoints(3 + trial);
    const Eigen::Matrix3f rotation =
        Eigen::Quaternionf(Eigen::Vector4f::Random()).normalized().toRotationMatrix();
    Points target;
    for (const Eigen::Vector3f& p : source) {
      // Noise keeps the fit from being exact, so the scale formula matters.
      target.push_back(1.7f * rotation * p + Eigen::Vector3f(1, -2, 30) +
                       Eigen::Vector3f::Random() * 0.5f);
    }
    const Eigen::Matrix4d expected = Eigen::umeyama(ToMatrix(source), ToMatrix(target), true);

    for (int32_t algorithm : {kFloat, kDouble}) {
      auto result = Solver(algorithm).SolveOrthogonalProblem(source, target);
      ASSERT_TRUE(result.ok()) << result.status();
      EXPECT_TRUE(result->cast<double>().isApprox(expected, 1e-4))
          << "algorithm " << algorithm << "\n" << *result << "\n" << expected;
    }
  }
}

TEST_F(ProcrustesSolverTest, IntegerWeightsEqualRepeatedPoints) {
  std::srand(23);
  const Points source = RandomPoints(8);
  const Points target = RandomPoints(8);
  const std::vector<std::vector<float>> kWeights = {
      {1, 1, 1, 1, 1, 1, 1, 1},
      {1, 2, 3, 4, 1, 2, 3, 4},
      {0, 5, 1, 0, 2, 1, 1, 3},  // a zero weight drops the point
  };
  for (const std::vector<float>& weights : kWeights) {
    Points repeated_source, repeated_target;
    for (size_t i = 0; i < weights.size(); ++i) {
      for (int k = 0; k < weights[i]; ++k) {
        repeated_source.push_back(source[i]);
        repeated_target.push_back(target[i]);
      }
    }
    for (int32_t algorithm : {kFloat, kDouble}) {
      const ProcrustesSolver& solver = Solver(algorithm);
      auto weighted = solver.SolveWeightedOrthogonalProblem(source, target, weights);
      auto repeated = solver.SolveOrthogonalProblem(repeated_source, repeated_target);
      ASSERT_TRUE(weighted.ok()) << weighted.status();
      ASSERT_TRUE(repeated.ok()) << repeated.status();
      EXPECT_TRUE(weighted->isApprox(*repeated, 1e-5f))
          << "algorithm " << algorithm << "\n" << *weighted << "\n" << *repeated;
    }
  }
}

TEST_F(ProcrustesSolverTest, MirroredTargetGivesProperRotation) {
  std::srand(29);
  const Points source = RandomPoints(10);
  Points target;
  for (const Eigen::Vector3f& p : source) target.push_back({p.x(), -p.y(), p.z()});
  const std::vector<float> weights(source.size(), 2.0f);

  for (int32_t algorithm : {kPointFitter, kFloat, kDouble}) {
    std::vector<util::StatusOr<Eigen::Matrix4f>> results = {
        Solver(algorithm).SolveOrthogonalProblem(source, target)};
    if (algorithm != kPointFitter) {
      results.push_back(Solver(algorithm).SolveWeightedOrthogonalProblem(source, target, weights));
    }
    for (const auto& result : results) {
      ASSERT_TRUE(result.ok()) << result.status();
      const Eigen::Matrix3f sr = result->topLeftCorner<3, 3>();
      const float scale = sr.col(0).norm();
      const Eigen::Matrix3f r = sr / scale;
      EXPECT_TRUE((r * r.transpose()).isIdentity(1e-5f)) << "algorithm " << algorithm;
      EXPECT_NEAR(r.determinant(), 1.0f, 1e-5f) << "algorithm " << algorithm;
    }
  }
}

TEST_F(ProcrustesSolverTest, PointFitterScaleDiffersFromClosedForm) {
  const Points source = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}};
  const Points target = {{2, 0, 0}, {-2, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  const struct {
    int32_t algorithm;
    float scale;
  } kCases[] = {{kPointFitter, 2}, {kFloat, 1}, {kDouble, 1}};
  for (const auto& c : kCases) {
    auto result = Solver(c.algorithm).SolveOrthogonalProblem(source, target);
    ASSERT_TRUE(result.ok()) << result.status();
    EXPECT_NEAR(result->col(0).head<3>().norm(), c.scale, 1e-5f) << c.algorithm;
    EXPECT_NEAR(result->col(3).head<3>().norm(), 0.0f, 1e-6f) << c.algorithm;
    EXPECT_EQ(result->row(3), Eigen::RowVector4f(0, 0, 0, 1));
  }
}

TEST_F(ProcrustesSolverTest, RejectsDegenerateAndMalformedInput) {
  const Points four = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const Points five = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
  const Points one = {{1, 2, 3}};
  const Points same = {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
  const std::vector<float> ones(4, 1.0f);
  const struct {
    std::vector<float> weights;  // empty: the unweighted solve
    const Points& source;
    const Points& target;
    std::string condition;
    std::string message;
  } kCases[] = {
      {{}, five, four, "(source_points.size())==(target_points.size())",
       "@source_points and @target_points must have the same size!; while validating "
       "orthogonal problem inputs!"},
      {{}, Points(), Points(), "!source_points.empty()",
       "@source_points must be non-empty!; while validating orthogonal problem inputs!"},
      {{}, one, one, "(design_matrix.norm())>(kAbsoluteErrorEps)",
       "Design matrix norm is too small!; while solving the EOP problem!"},
      // Coincident targets make the design matrix zero before the scale is reached.
      {{}, four, same, "(design_matrix.norm())>(kAbsoluteErrorEps)",
       "Design matrix norm is too small!; while solving the EOP problem!"},
      {{0, 0, 0, 0}, four, four, "(total_weight)>(kAbsoluteErrorEps)",
       "Total point weight is too small!; while solving the WEOP problem!"},
      {{1, 1, 1, -0.5}, four, four, "(point_weights[i])>=(0.0f)",
       "Each element of @point_weights must be non-negative. Condition is failed for index "
       "= 3!; while validating weighted orthogonal problem input point weights!"},
      {{1, NAN, 1, 1}, four, four, "(point_weights[i])>=(0.0f)",
       "Condition is failed for index = 1!"},
      {{1, 1, 1}, four, four, "(point_weights.size())==(n_points)",
       "@point_weights and @source_points must have the same size!; while validating "
       "weighted orthogonal problem input point weights!"},
      {{1}, five, four, "(source_points.size())==(target_points.size())",
       "same size!; while validating weighted orthogonal problem input points!"},
      {{1}, one, one, "(design_matrix.norm())>(kAbsoluteErrorEps)",
       "Design matrix norm is too small!; while solving the WEOP problem!"},
  };
  for (const auto& c : kCases) {
    for (int32_t algorithm : {kFloat, kDouble}) {
      const ProcrustesSolver& solver = Solver(algorithm);
      const util::StatusOr<Eigen::Matrix4f> result =
          c.weights.empty() ? solver.SolveOrthogonalProblem(c.source, c.target)
                            : solver.SolveWeightedOrthogonalProblem(c.source, c.target, c.weights);
      EXPECT_EQ(result.status().code(), absl::StatusCode::kInternal) << c.message;
      EXPECT_THAT(std::string(result.status().message()),
                  AllOf(HasSubstr("RET_CHECK failure (face_geometry/procrustes_solver:"),
                        HasSubstr(c.condition), HasSubstr(c.message)));
    }
  }
}

TEST_F(ProcrustesSolverTest, CollectionHandsOutSolversById) {
  for (int32_t algorithm : {-1, 3}) {
    auto solver = collection_->GetProcrustesSolver(algorithm);
    EXPECT_THAT(std::string(solver.status().message()),
                AllOf(HasSubstr("0 <= algorithm && algorithm < procrustes_solvers_.size()"),
                      HasSubstr("Algorithm ID must be in range [ProcrustesAlgorithm_MIN, "
                                "ProcrustesAlgorithm_MAX]!")));
  }
  const Points points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  for (int32_t algorithm : {kPointFitter, kFloat, kDouble}) {
    EXPECT_TRUE(Solver(algorithm).SolveOrthogonalProblem(points, points).ok());
  }

  // The point fitter has no weighted form, also for valid input.
  auto weighted = Solver(kPointFitter).SolveWeightedOrthogonalProblem(points, points, {1, 1, 1});
  EXPECT_THAT(std::string(weighted.status().message()),
              HasSubstr("Weighted orthogonal problem solver is not available for "
                        "SorvantiProcrustesSolver!"));

  // A fitter failure carries the fitter's call; the fitter logs its own reason.
  const Points coincident = {{1, 1, 1}, {1, 1, 1}};
  auto failed = Solver(kPointFitter).SolveOrthogonalProblem(coincident, coincident);
  EXPECT_THAT(std::string(failed.status().message()),
              HasSubstr("vrk::sdk::mask::FitSpatialPoints( sources_matrix, targets_matrix, "
                        "&rotation_and_scale, &translation)"));
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
