#include "platform/simd/simd.h"

#include <cmath>

namespace {

// Inverse by the adjugate, computed in double whatever the element type.
template <typename T>
platform::simd::Mat4<T> Inverse(const platform::simd::Mat4<T>& m) {
  double a[16];  // row-major copy: a[r * 4 + c]
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) a[r * 4 + c] = m.columns[c][r];
  double inv[16];
  inv[0] = a[5] * a[10] * a[15] - a[5] * a[11] * a[14] - a[9] * a[6] * a[15] +
           a[9] * a[7] * a[14] + a[13] * a[6] * a[11] - a[13] * a[7] * a[10];
  inv[4] = -a[4] * a[10] * a[15] + a[4] * a[11] * a[14] + a[8] * a[6] * a[15] -
           a[8] * a[7] * a[14] - a[12] * a[6] * a[11] + a[12] * a[7] * a[10];
  inv[8] = a[4] * a[9] * a[15] - a[4] * a[11] * a[13] - a[8] * a[5] * a[15] +
           a[8] * a[7] * a[13] + a[12] * a[5] * a[11] - a[12] * a[7] * a[9];
  inv[12] = -a[4] * a[9] * a[14] + a[4] * a[10] * a[13] + a[8] * a[5] * a[14] -
            a[8] * a[6] * a[13] - a[12] * a[5] * a[10] + a[12] * a[6] * a[9];
  inv[1] = -a[1] * a[10] * a[15] + a[1] * a[11] * a[14] + a[9] * a[2] * a[15] -
           a[9] * a[3] * a[14] - a[13] * a[2] * a[11] + a[13] * a[3] * a[10];
  inv[5] = a[0] * a[10] * a[15] - a[0] * a[11] * a[14] - a[8] * a[2] * a[15] +
           a[8] * a[3] * a[14] + a[12] * a[2] * a[11] - a[12] * a[3] * a[10];
  inv[9] = -a[0] * a[9] * a[15] + a[0] * a[11] * a[13] + a[8] * a[1] * a[15] -
           a[8] * a[3] * a[13] - a[12] * a[1] * a[11] + a[12] * a[3] * a[9];
  inv[13] = a[0] * a[9] * a[14] - a[0] * a[10] * a[13] - a[8] * a[1] * a[14] +
            a[8] * a[2] * a[13] + a[12] * a[1] * a[10] - a[12] * a[2] * a[9];
  inv[2] = a[1] * a[6] * a[15] - a[1] * a[7] * a[14] - a[5] * a[2] * a[15] +
           a[5] * a[3] * a[14] + a[13] * a[2] * a[7] - a[13] * a[3] * a[6];
  inv[6] = -a[0] * a[6] * a[15] + a[0] * a[7] * a[14] + a[4] * a[2] * a[15] -
           a[4] * a[3] * a[14] - a[12] * a[2] * a[7] + a[12] * a[3] * a[6];
  inv[10] = a[0] * a[5] * a[15] - a[0] * a[7] * a[13] - a[4] * a[1] * a[15] +
            a[4] * a[3] * a[13] + a[12] * a[1] * a[7] - a[12] * a[3] * a[5];
  inv[14] = -a[0] * a[5] * a[14] + a[0] * a[6] * a[13] + a[4] * a[1] * a[14] -
            a[4] * a[2] * a[13] - a[12] * a[1] * a[6] + a[12] * a[2] * a[5];
  inv[3] = -a[1] * a[6] * a[11] + a[1] * a[7] * a[10] + a[5] * a[2] * a[11] -
           a[5] * a[3] * a[10] - a[9] * a[2] * a[7] + a[9] * a[3] * a[6];
  inv[7] = a[0] * a[6] * a[11] - a[0] * a[7] * a[10] - a[4] * a[2] * a[11] +
           a[4] * a[3] * a[10] + a[8] * a[2] * a[7] - a[8] * a[3] * a[6];
  inv[11] = -a[0] * a[5] * a[11] + a[0] * a[7] * a[9] + a[4] * a[1] * a[11] -
            a[4] * a[3] * a[9] - a[8] * a[1] * a[7] + a[8] * a[3] * a[5];
  inv[15] = a[0] * a[5] * a[10] - a[0] * a[6] * a[9] - a[4] * a[1] * a[10] +
            a[4] * a[2] * a[9] + a[8] * a[1] * a[6] - a[8] * a[2] * a[5];
  const double det = a[0] * inv[0] + a[1] * inv[4] + a[2] * inv[8] + a[3] * inv[12];
  platform::simd::Mat4<T> r;
  for (int c = 0; c < 4; ++c)
    for (int row = 0; row < 4; ++row) r.columns[c][row] = static_cast<T>(inv[row * 4 + c] / det);
  return r;
}

template <typename T>
platform::simd::Quat<T> FromAngleAxis(T angle, platform::simd::Vec3<T> axis) {
  const platform::simd::Vec3<T> u = simd_normalize(axis);
  const T s = std::sin(angle / 2);
  return {{u.x * s, u.y * s, u.z * s, std::cos(angle / 2)}};
}

// The quaternion of a rotation matrix, branch by the largest diagonal term so that r stays away
// from zero. Only the trace comparison is made in double; every division by r multiplies by the
// reciprocal, as the platform does.
template <typename T>
platform::simd::Quat<T> FromMatrix(const platform::simd::Mat4<T>& m) {
  const auto& c0 = m.columns[0];
  const auto& c1 = m.columns[1];
  const auto& c2 = m.columns[2];
  const T trace = c0.x + c1.y + c2.z;
  if (static_cast<double>(trace) >= 0.0) {
    const T r = 2 * std::sqrt(trace + 1);
    const T inv = T(1) / r;
    return {{(c1.z - c2.y) * inv, (c2.x - c0.z) * inv, (c0.y - c1.x) * inv, r / T(4)}};
  }
  if (c0.x >= c1.y && c0.x >= c2.z) {
    const T r = 2 * std::sqrt(((1 - c1.y) - c2.z) + c0.x);
    const T inv = T(1) / r;
    return {{r / T(4), (c0.y + c1.x) * inv, (c0.z + c2.x) * inv, (c1.z - c2.y) * inv}};
  }
  if (c1.y >= c2.z) {
    const T r = 2 * std::sqrt(((1 - c0.x) - c2.z) + c1.y);
    const T inv = T(1) / r;
    return {{(c0.y + c1.x) * inv, r / T(4), (c1.z + c2.y) * inv, (c2.x - c0.z) * inv}};
  }
  const T r = 2 * std::sqrt(((1 - c0.x) - c1.y) + c2.z);
  const T inv = T(1) / r;
  return {{(c0.z + c2.x) * inv, (c1.z + c2.y) * inv, r / T(4), (c0.y - c1.x) * inv}};
}

}  // namespace

simd_float4x4 simd_inverse(const simd_float4x4& m) { return Inverse(m); }
simd_double4x4 simd_inverse(const simd_double4x4& m) { return Inverse(m); }

simd_quatf simd_quaternion(float angle, simd_float3 axis) { return FromAngleAxis(angle, axis); }
simd_quatd simd_quaternion(double angle, simd_double3 axis) { return FromAngleAxis(angle, axis); }

simd_quatf simd_quaternion(const simd_float4x4& m) { return FromMatrix(m); }
simd_quatd simd_quaternion(const simd_double4x4& m) { return FromMatrix(m); }
