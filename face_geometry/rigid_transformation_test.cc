#include "face_geometry/rigid_transformation.h"

#include <Eigen/Geometry>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace geometry_toolbox {
namespace {

using ::testing::ContainsRegex;

template <typename Scalar>
class RigidTransformationTest : public ::testing::Test {
 protected:
  using Pose = TypedTransformation<Scalar>;
  using Vector3 = typename Pose::Vector3;
  using Vector4 = typename Pose::Vector4;
  using Matrix3 = typename Pose::Matrix3;
  // Generous enough for float, tight enough to catch a wrong convention.
  static constexpr Scalar kTolerance = std::is_same_v<Scalar, float> ? 1e-5 : 1e-12;

  static Vector4 AboutAxis(Scalar angle, const Vector3& axis) {
    Vector4 q;
    q << axis.normalized() * std::sin(angle / 2), std::cos(angle / 2);
    return q;
  }
};
using Scalars = ::testing::Types<float, double>;
TYPED_TEST_SUITE(RigidTransformationTest, Scalars);

TYPED_TEST(RigidTransformationTest, ZRotationsFollowTheTransposedConvention) {
  using Pose = typename TestFixture::Pose;
  using Vector3 = typename TestFixture::Vector3;
  using Vector4 = typename TestFixture::Vector4;
  using Matrix3 = typename TestFixture::Matrix3;
  const TypeParam tol = TestFixture::kTolerance;
  const TypeParam s45 = std::sqrt(TypeParam(0.5));

  // (0, 0, sin 45°, cos 45°) turns x onto −y: −90° about z.
  const Pose quarter(Vector4(0, 0, s45, s45));
  EXPECT_TRUE(quarter.Rotate(Vector3(1, 0, 0)).isApprox(Vector3(0, -1, 0), tol));
  Matrix3 expected;
  expected << 0, 1, 0, -1, 0, 0, 0, 0, 1;
  EXPECT_TRUE(quarter.R().isApprox(expected, tol)) << quarter.R();
  EXPECT_TRUE(RotationMatrixToQuaternion<TypeParam>(expected).isApprox(quarter.q(), tol));

  // Composition multiplies the matrices in the same order.
  const Pose half = quarter * quarter;
  EXPECT_TRUE(half.q().isApprox(Vector4(0, 0, 1, 0), tol)) << half;
  EXPECT_TRUE(half.R().isApprox(expected * expected, tol));

  // w < 0 is stored negated, so (0, 0, 0, −1) is the identity.
  EXPECT_TRUE(Pose(Vector4(0, 0, 0, -1)).IsIdentity());
  EXPECT_TRUE(Pose(Vector4(0, 0, -2, -2)).q().isApprox(Vector4(0, 0, s45, s45), tol));
}

TYPED_TEST(RigidTransformationTest, MatrixToQuaternionBranches) {
  using Vector4 = typename TestFixture::Vector4;
  using Matrix3 = typename TestFixture::Matrix3;
  const auto Diagonal = [](TypeParam x, TypeParam y, TypeParam z) {
    return Matrix3(typename TestFixture::Vector3(x, y, z).asDiagonal());
  };
  const struct {
    Matrix3 m;
    Vector4 q;
  } kCases[] = {
      {Matrix3::Identity(), Vector4(0, 0, 0, 1)},  // w branch
      {Diagonal(1, -1, -1), Vector4(1, 0, 0, 0)},  // 180° about x
      {Diagonal(-1, 1, -1), Vector4(0, 1, 0, 0)},  // about y
      {Diagonal(-1, -1, 1), Vector4(0, 0, 1, 0)},  // about z
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(RotationMatrixToQuaternion<TypeParam>(c.m), c.q) << c.m;
  }

  // Round trip through the matrix, across all branches, with w kept non-negative.
  std::srand(3);
  for (int i = 0; i < 200; ++i) {
    const auto pose = TestFixture::Pose::Random(5);
    ASSERT_TRUE(pose.IsFiniteAndHasUnitQuaternion());
    const typename TestFixture::Pose from_matrix(pose.T());
    EXPECT_TRUE(from_matrix.q().isApprox(pose.q(), 100 * TestFixture::kTolerance)) << pose << "\n"
                                                                                   << from_matrix;
    EXPECT_EQ(from_matrix.p(), pose.p());
    EXPECT_EQ(typename TestFixture::Pose(pose.T3x4()).q(), from_matrix.q());
    EXPECT_GE(from_matrix.q()(3), 0);
  }
}

TYPED_TEST(RigidTransformationTest, ComposeInvertAndCompare) {
  using Pose = typename TestFixture::Pose;
  using Vector3 = typename TestFixture::Vector3;
  const TypeParam tol = TestFixture::kTolerance;
  std::srand(5);
  for (int i = 0; i < 50; ++i) {
    const Pose a = Pose::Random(90, 2);
    const Pose b = Pose::Random(3);
    EXPECT_LE(a.p().norm(), 2 + tol);
    EXPECT_LE(2 * std::acos(std::min<TypeParam>(a.q()(3), 1)), M_PI / 2 + 1e-3);

    EXPECT_TRUE((a * b).T().isApprox(a.T() * b.T(), 10 * tol));
    const Vector3 v(0.3, -2, 5);
    EXPECT_TRUE(((a + v).T().col(3).template head<3>()).isApprox(a.p() + v, tol));
    EXPECT_TRUE(a.Rotate(v).isApprox(a.R() * v, tol));

    TypeParam p_error, theta_error;
    ErrorBetweenTwoTransformation(a.Inverse() * a, Pose::Identity(), &p_error, &theta_error);
    EXPECT_LT(p_error, 10 * tol);
    EXPECT_EQ(theta_error, 0);  // an angle below 1e-4 counts as none
    ErrorBetweenTwoTransformation(a, a, &p_error, &theta_error);
    EXPECT_LT(p_error, 10 * tol);
    EXPECT_EQ(theta_error, 0);
  }

  const Pose a(TestFixture::AboutAxis(0.5, Vector3(0, 0, 1)), Vector3(0, 0, 0));
  const Pose b(TestFixture::AboutAxis(0.75, Vector3(0, 0, 1)), Vector3(3, 4, 0));
  TypeParam p_error, theta_error;
  ErrorBetweenTwoTransformation(a, b, &p_error, &theta_error);
  EXPECT_NEAR(p_error, 5, 10 * tol);
  EXPECT_NEAR(theta_error, 0.25, 1e-5);
  EXPECT_TRUE(AreTwoTransformationsClose(a, b, p_error, theta_error, true));

  testing::internal::CaptureStderr();
  EXPECT_FALSE(AreTwoTransformationsClose<TypeParam>(a, b, 6, 0.125, true));
  const std::string line = testing::internal::GetCapturedStderr();
  EXPECT_THAT(line, ContainsRegex("\nPosition difference: 5 <= 6 \\(m\\)\n"
                                  "Rotation difference: 0\\.2[45][0-9]* > 0\\.125 \\(radians\\)"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(AreTwoTransformationsClose<TypeParam>(a, b, 1, 1, false));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TYPED_TEST(RigidTransformationTest, InterpolateTakesTheShorterArc) {
  using Pose = typename TestFixture::Pose;
  using Vector3 = typename TestFixture::Vector3;
  using Vector4 = typename TestFixture::Vector4;
  const TypeParam tol = TestFixture::kTolerance;
  const Vector3 z(0, 0, 1);
  const Pose a(TestFixture::AboutAxis(0.2, z), Vector3(0, 0, 0));
  const Pose b(TestFixture::AboutAxis(1.0, z), Vector3(2, 4, 6));

  EXPECT_TRUE(Interpolate<TypeParam>(a, b, 0).q().isApprox(a.q(), tol));
  EXPECT_TRUE(Interpolate<TypeParam>(a, b, 1).q().isApprox(b.q(), tol));
  const Pose mid = Interpolate<TypeParam>(a, b, 0.5);
  EXPECT_TRUE(mid.q().isApprox(TestFixture::AboutAxis(0.6, z), tol)) << mid;
  EXPECT_TRUE(mid.p().isApprox(Vector3(1, 2, 3), tol));

  // b stored as −q (raw access bypasses the canonical form): still the short way round.
  Pose negated = b;
  negated.q() = -b.q();
  EXPECT_TRUE(Interpolate<TypeParam>(a, negated, 0.5).q().isApprox(mid.q(), tol));

  // 170° and −170° about z are 20° apart across 180°.
  const Pose c(TestFixture::AboutAxis(170 * M_PI / 180, z));
  const Pose d(TestFixture::AboutAxis(-170 * M_PI / 180, z));
  EXPECT_TRUE(Interpolate<TypeParam>(c, d, 0.5).q().isApprox(Vector4(0, 0, 1, 0), tol));
}

TYPED_TEST(RigidTransformationTest, PrintsQuaternionThenTranslation) {
  using Pose = typename TestFixture::Pose;
  std::ostringstream os;
  os << Pose(typename TestFixture::Vector4(0, 0, 0, 2), typename TestFixture::Vector3(1.5, -2, 0));
  EXPECT_EQ(os.str(), "q = [x: 0, y: 0, z: 0, w: 1], p = [x: 1.5, y: -2, z: 0]");
}

using RigidTransformationDeathTest = RigidTransformationTest<double>;

TEST_F(RigidTransformationDeathTest, FatalChecks) {
  const Pose a = Pose::Identity();
  double error = 0;
  EXPECT_DEATH(ErrorBetweenTwoTransformation<double>(a, a, nullptr, &error), "p_error != nullptr");
  EXPECT_DEATH(ErrorBetweenTwoTransformation<double>(a, a, &error, nullptr),
               "theta_error != nullptr");
  EXPECT_DEATH(Interpolate(a, a, -0.1), "scalar >= 0.*scalar must be in \\[0, 1\\]\\.");
  EXPECT_DEATH(Interpolate(a, a, 1.5), "scalar <= 1.*scalar must be in \\[0, 1\\]\\.");
}

}  // namespace
}  // namespace geometry_toolbox
