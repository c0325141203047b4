#include "platform/simd/simd.h"

#include <cmath>
#include <random>
#include <string>

#include "Eigen/Geometry"
#include "gtest/gtest.h"

namespace {

simd_float4x4 FromColumns3(simd_float3 c0, simd_float3 c1, simd_float3 c2) {
  return {{{c0.x, c0.y, c0.z, 0}, {c1.x, c1.y, c1.z, 0}, {c2.x, c2.y, c2.z, 0}, {0, 0, 0, 1}}};
}

Eigen::Matrix4f ToEigen(const simd_float4x4& m) {
  Eigen::Matrix4f e;
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) e(r, c) = m.columns[c][r];
  return e;
}

void ExpectNear(const simd_float4x4& m, const Eigen::Matrix4f& e, float tol) {
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) EXPECT_NEAR(m.columns[c][r], e(r, c), tol) << r << "," << c;
}

struct QuaternionCase {
  std::string name;
  simd_float4x4 matrix;
  simd_float4 expected;
};

void PrintTo(const QuaternionCase& c, std::ostream* os) { *os << c.name; }

class QuaternionFromMatrix : public testing::TestWithParam<QuaternionCase> {};

TEST_P(QuaternionFromMatrix, GivesExpectedComponents) {
  const simd_quatf q = simd_quaternion(GetParam().matrix);
  for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(q.vector[i], GetParam().expected[i]) << i;
}

const float kHalfSqrt2 = 0.70710678f;

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, QuaternionFromMatrix,
    testing::Values(
        QuaternionCase{"Identity", matrix_identity_float4x4, {0, 0, 0, 1}},
        // Trace exactly 0 (a third of a turn about (1, 1, 1)): still the trace branch, r = 2.
        QuaternionCase{"TraceZero",
                       FromColumns3({0, 1, 0}, {0, 0, 1}, {1, 0, 0}),
                       {0.5f, 0.5f, 0.5f, 0.5f}},
        QuaternionCase{"QuarterTurnAboutZ",
                       FromColumns3({0, 1, 0}, {-1, 0, 0}, {0, 0, 1}),
                       {0, 0, kHalfSqrt2, kHalfSqrt2}},
        QuaternionCase{"HalfTurnAboutX", simd_diagonal_matrix(simd_make_float4(1, -1, -1, 1)),
                       {1, 0, 0, 0}},
        QuaternionCase{"HalfTurnAboutY", simd_diagonal_matrix(simd_make_float4(-1, 1, -1, 1)),
                       {0, 1, 0, 0}},
        QuaternionCase{"HalfTurnAboutZ", simd_diagonal_matrix(simd_make_float4(-1, -1, 1, 1)),
                       {0, 0, 1, 0}},
        // Scale is neither removed nor normalised away.
        QuaternionCase{"UniformScaleTwo", simd_diagonal_matrix(simd_make_float4(2, 2, 2, 1)),
                       {0, 0, 0, std::sqrt(7.0f) / 2}},
        // Translation and the fourth row are not read.
        QuaternionCase{"IgnoresColumn3AndRow3",
                       {{{1, 0, 0, 9}, {0, 1, 0, 9}, {0, 0, 1, 9}, {5, 6, 7, 0}}},
                       {0, 0, 0, 1}}),
    [](const testing::TestParamInfo<QuaternionCase>& info) { return info.param.name; });

TEST(QuaternionFromMatrixTies, EqualDiagonalGoesToEarlierBranch) {
  // Negative trace with c0.x == c1.y == c2.z would be no rotation; use c0.x == c1.y > c2.z so
  // the tie between the x and y branches picks x: r = 2·sqrt(1 - c1.y - c2.z + c0.x).
  const simd_float4x4 m = simd_diagonal_matrix(simd_make_float4(-0.25f, -0.25f, -1, 1));
  const simd_quatf q = simd_quaternion(m);
  EXPECT_FLOAT_EQ(q.vector.x, 2 * std::sqrt(1 + 0.25f + 1 - 0.25f) / 4);
  EXPECT_FLOAT_EQ(q.vector.y, 0);
}

TEST(QuaternionFromMatrix, MatchesEigenUpToSignOnRandomRotations) {
  std::mt19937 rng(7);
  std::normal_distribution<double> normal;
  for (int i = 0; i < 2000; ++i) {
    Eigen::Quaterniond truth(normal(rng), normal(rng), normal(rng), normal(rng));
    truth.normalize();
    const Eigen::Matrix3d r = truth.toRotationMatrix();
    simd_float4x4 m = matrix_identity_float4x4;
    for (int c = 0; c < 3; ++c)
      for (int row = 0; row < 3; ++row) m.columns[c][row] = static_cast<float>(r(row, c));
    const Eigen::Quaterniond eig(r);
    const simd_quatf q = simd_quaternion(m);
    const double sign = (eig.w() * q.vector.w + eig.x() * q.vector.x + eig.y() * q.vector.y +
                         eig.z() * q.vector.z) < 0 ? -1 : 1;
    ASSERT_NEAR(q.vector.x, sign * eig.x(), 1e-5) << i;
    ASSERT_NEAR(q.vector.y, sign * eig.y(), 1e-5) << i;
    ASSERT_NEAR(q.vector.z, sign * eig.z(), 1e-5) << i;
    ASSERT_NEAR(q.vector.w, sign * eig.w(), 1e-5) << i;
  }
}

TEST(Quaternion, RoundTripsThroughMatrixAndActsLikeIt) {
  const simd_quatf q = simd_quaternion(1.1f, simd_make_float3(1, -2, 0.5f));
  EXPECT_NEAR(simd_length(q), 1, 1e-6);
  EXPECT_NEAR(simd_angle(q), 1.1f, 1e-6);
  const simd_float4x4 m = simd_matrix4x4(q);
  const simd_quatf back = simd_quaternion(m);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(back.vector[i], q.vector[i], 1e-6);

  const simd_float3 v = simd_make_float3(0.3f, 2, -1);
  const simd_float3 acted = simd_act(q, v);
  const simd_float4 multiplied = simd_mul(m, simd_make_float4(v, 0));
  EXPECT_NEAR(acted.x, multiplied.x, 1e-5);
  EXPECT_NEAR(acted.y, multiplied.y, 1e-5);
  EXPECT_NEAR(acted.z, multiplied.z, 1e-5);

  // Products compose like matrices: (p·q) as a matrix is P·Q.
  const simd_quatf p = simd_quaternion(-0.4f, simd_make_float3(0, 1, 1));
  const Eigen::Matrix4f pq = ToEigen(simd_matrix4x4(p)) * ToEigen(m);
  ExpectNear(simd_matrix4x4(simd_mul(p, q)), pq, 1e-5f);

  const simd_quatf id = simd_mul(q, simd_inverse(q));
  EXPECT_NEAR(id.vector.w, 1, 1e-6);
  EXPECT_NEAR(simd_length(simd_imag(id)), 0, 1e-6);
  // Inverse of a non-unit quaternion divides by the squared length.
  const simd_quatf two = simd_quaternion(0.0f, 0.0f, 0.0f, 2.0f);
  EXPECT_FLOAT_EQ(simd_inverse(two).vector.w, 0.5f);
}

TEST(Matrix, MultiplyInverseTransposeMatchEigen) {
  const simd_float4x4 a = {{{2, 0.5f, 0, 0}, {1, 3, -1, 0}, {0, 0.25f, 1.5f, 0}, {4, -2, 7, 1}}};
  const simd_float4x4 b = {{{1, 2, 3, 4}, {0, 1, 0, 2}, {-1, 0, 2, 0}, {0.5f, 0, 0, 1}}};
  ExpectNear(simd_mul(a, b), ToEigen(a) * ToEigen(b), 1e-5f);
  ExpectNear(simd_inverse(a), ToEigen(a).inverse(), 1e-5f);
  ExpectNear(simd_inverse(b), ToEigen(b).inverse(), 1e-5f);
  ExpectNear(simd_transpose(b), ToEigen(b).transpose(), 0);
  const simd_float4 v = simd_mul(a, simd_make_float4(1, 2, 3, 1));
  const Eigen::Vector4f ev = ToEigen(a) * Eigen::Vector4f(1, 2, 3, 1);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(v[i], ev[i], 1e-5f);

  simd_double4x4 d = matrix_identity_double4x4;
  d.columns[3] = {1, 2, 3, 1};
  const simd_double4x4 di = simd_inverse(d);
  EXPECT_EQ(di.columns[3].x, -1);
  EXPECT_EQ(di.columns[3].z, -3);
  EXPECT_TRUE(simd_mul(d, di) == matrix_identity_double4x4);
}

TEST(Matrix, SingularInverseIsNotFinite) {
  const simd_float4x4 inv = simd_inverse(simd_diagonal_matrix(simd_make_float4(1, 0, 1, 1)));
  EXPECT_FALSE(std::isfinite(inv.columns[1].y));
}

TEST(Vector, LengthNormalizeCross) {
  EXPECT_FLOAT_EQ(simd_length(simd_make_float2(3, 4)), 5);
  const simd_float3 n = simd_normalize(simd_make_float3(0, 0, -4));
  EXPECT_TRUE(n == simd_make_float3(0, 0, -1));
  EXPECT_TRUE(simd_cross(simd_make_float3(1, 0, 0), simd_make_float3(0, 1, 0)) ==
              simd_make_float3(0, 0, 1));
  EXPECT_FLOAT_EQ(simd_distance(simd_make_float3(1, 1, 1), simd_make_float3(1, 4, 5)), 5);
}

}  // namespace
