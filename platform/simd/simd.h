#ifndef PLATFORM_SIMD_SIMD_H_
#define PLATFORM_SIMD_SIMD_H_

// Small vectors, 4x4 matrices and quaternions under the platform's simd names.
//
//   simd_float4x4 m = matrix_identity_float4x4;
//   m.columns[3] = simd_make_float4(1, 2, 3, 1);            // translation
//   simd_quatf q = simd_quaternion(float(M_PI / 2), simd_make_float3(0, 0, 1));
//   simd_float4x4 r = simd_mul(m, simd_matrix4x4(q));
//   simd_quatf back = simd_quaternion(r);                    // same rotation as q
//
// Matrices are column-major: `columns[c]` is column c and `m.columns[c][r]` is row r of it, so
// simd_mul(m, v) is m·v with v a column vector and the translation lives in columns[3].
// A quaternion keeps its imaginary part first: vector = (x, y, z, w), w real.
// Everything here is plain values and free functions: thread-safe, no allocation.
// The float and double flavours share one template; the names below are what callers use.

#include <cmath>
#include <cstddef>

namespace platform::simd {

template <typename T>
struct Vec2 {
  T x = 0, y = 0;
  T& operator[](size_t i) { return i == 0 ? x : y; }
  T operator[](size_t i) const { return i == 0 ? x : y; }
};

template <typename T>
struct Vec3 {
  T x = 0, y = 0, z = 0;
  T& operator[](size_t i) { return i == 0 ? x : i == 1 ? y : z; }
  T operator[](size_t i) const { return i == 0 ? x : i == 1 ? y : z; }
};

template <typename T>
struct Vec4 {
  T x = 0, y = 0, z = 0, w = 0;
  T& operator[](size_t i) { return i == 0 ? x : i == 1 ? y : i == 2 ? z : w; }
  T operator[](size_t i) const { return i == 0 ? x : i == 1 ? y : i == 2 ? z : w; }
  Vec3<T> xyz() const { return {x, y, z}; }
};

template <typename T>
struct Mat4 {
  Vec4<T> columns[4];
};

template <typename T>
struct Quat {
  Vec4<T> vector;  // (ix, iy, iz, r)
};

// Component-wise arithmetic for the three vector sizes.
#define QM_SIMD_VECTOR_OPS(V, N)                                                        \
  template <typename T>                                                                 \
  V<T> operator+(V<T> a, V<T> b) {                                                      \
    for (size_t i = 0; i < N; ++i) a[i] += b[i];                                        \
    return a;                                                                           \
  }                                                                                     \
  template <typename T>                                                                 \
  V<T> operator-(V<T> a, V<T> b) {                                                      \
    for (size_t i = 0; i < N; ++i) a[i] -= b[i];                                        \
    return a;                                                                           \
  }                                                                                     \
  template <typename T>                                                                 \
  V<T> operator*(V<T> a, V<T> b) {                                                      \
    for (size_t i = 0; i < N; ++i) a[i] *= b[i];                                        \
    return a;                                                                           \
  }                                                                                     \
  template <typename T>                                                                 \
  V<T> operator*(V<T> a, T s) {                                                         \
    for (size_t i = 0; i < N; ++i) a[i] *= s;                                           \
    return a;                                                                           \
  }                                                                                     \
  template <typename T>                                                                 \
  V<T> operator*(T s, V<T> a) {                                                         \
    return a * s;                                                                       \
  }                                                                                     \
  template <typename T>                                                                 \
  V<T> operator/(V<T> a, T s) {                                                         \
    for (size_t i = 0; i < N; ++i) a[i] /= s;                                           \
    return a;                                                                           \
  }                                                                                     \
  template <typename T>                                                                 \
  V<T> operator-(V<T> a) {                                                              \
    for (size_t i = 0; i < N; ++i) a[i] = -a[i];                                        \
    return a;                                                                           \
  }                                                                                     \
  template <typename T>                                                                 \
  bool operator==(const V<T>& a, const V<T>& b) {                                       \
    for (size_t i = 0; i < N; ++i)                                                      \
      if (a[i] != b[i]) return false;                                                   \
    return true;                                                                        \
  }                                                                                     \
  template <typename T>                                                                 \
  T simd_dot(V<T> a, V<T> b) {                                                          \
    T s = 0;                                                                            \
    for (size_t i = 0; i < N; ++i) s += a[i] * b[i];                                    \
    return s;                                                                           \
  }

QM_SIMD_VECTOR_OPS(Vec2, 2)
QM_SIMD_VECTOR_OPS(Vec3, 3)
QM_SIMD_VECTOR_OPS(Vec4, 4)
#undef QM_SIMD_VECTOR_OPS

template <typename T>
bool operator==(const Mat4<T>& a, const Mat4<T>& b) {
  for (int c = 0; c < 4; ++c)
    if (!(a.columns[c] == b.columns[c])) return false;
  return true;
}

template <typename T>
bool operator==(const Quat<T>& a, const Quat<T>& b) {
  return a.vector == b.vector;
}

}  // namespace platform::simd

using simd_float2 = platform::simd::Vec2<float>;
using simd_float3 = platform::simd::Vec3<float>;
using simd_float4 = platform::simd::Vec4<float>;
using simd_double2 = platform::simd::Vec2<double>;
using simd_double3 = platform::simd::Vec3<double>;
using simd_double4 = platform::simd::Vec4<double>;
using simd_float4x4 = platform::simd::Mat4<float>;
using simd_double4x4 = platform::simd::Mat4<double>;
using simd_quatf = platform::simd::Quat<float>;
using simd_quatd = platform::simd::Quat<double>;
using matrix_float4x4 = simd_float4x4;
using matrix_double4x4 = simd_double4x4;
using vector_float2 = simd_float2;
using vector_float3 = simd_float3;
using vector_float4 = simd_float4;

using platform::simd::simd_dot;

inline constexpr simd_float4x4 matrix_identity_float4x4 = {
    {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
inline constexpr simd_double4x4 matrix_identity_double4x4 = {
    {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

inline simd_float2 simd_make_float2(float x, float y) { return {x, y}; }
inline simd_float3 simd_make_float3(float x, float y, float z) { return {x, y, z}; }
inline simd_float4 simd_make_float4(float x, float y, float z, float w) { return {x, y, z, w}; }
inline simd_float4 simd_make_float4(simd_float3 v, float w) { return {v.x, v.y, v.z, w}; }
inline simd_double3 simd_make_double3(double x, double y, double z) { return {x, y, z}; }
inline simd_double4 simd_make_double4(double x, double y, double z, double w) {
  return {x, y, z, w};
}

// Vectors.
template <typename V>
auto simd_length_squared(V v) {
  return simd_dot(v, v);
}
template <typename V>
auto simd_length(V v) {
  return std::sqrt(simd_dot(v, v));
}
template <typename V>
auto simd_distance(V a, V b) {
  return simd_length(a - b);
}
// A zero vector has no direction: it normalises to NaN components, as on the platform.
template <typename V>
V simd_normalize(V v) {
  return v / simd_length(v);
}
template <typename T>
platform::simd::Vec3<T> simd_cross(platform::simd::Vec3<T> a, platform::simd::Vec3<T> b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Matrices.
template <typename T>
platform::simd::Mat4<T> simd_diagonal_matrix(platform::simd::Vec4<T> d) {
  platform::simd::Mat4<T> m{};
  for (int i = 0; i < 4; ++i) m.columns[i][i] = d[i];
  return m;
}
template <typename T>
platform::simd::Mat4<T> simd_matrix(platform::simd::Vec4<T> c0, platform::simd::Vec4<T> c1,
                                    platform::simd::Vec4<T> c2, platform::simd::Vec4<T> c3) {
  return {{c0, c1, c2, c3}};
}
template <typename T>
platform::simd::Vec4<T> simd_mul(const platform::simd::Mat4<T>& m, platform::simd::Vec4<T> v) {
  return m.columns[0] * v.x + m.columns[1] * v.y + m.columns[2] * v.z + m.columns[3] * v.w;
}
template <typename T>
platform::simd::Mat4<T> simd_mul(const platform::simd::Mat4<T>& a,
                                 const platform::simd::Mat4<T>& b) {
  platform::simd::Mat4<T> r;
  for (int c = 0; c < 4; ++c) r.columns[c] = simd_mul(a, b.columns[c]);
  return r;
}
template <typename T>
platform::simd::Mat4<T> simd_transpose(const platform::simd::Mat4<T>& m) {
  platform::simd::Mat4<T> r;
  for (int c = 0; c < 4; ++c)
    for (int row = 0; row < 4; ++row) r.columns[c][row] = m.columns[row][c];
  return r;
}
// The inverse by cofactors. A singular matrix gives non-finite elements (no error is raised,
// as on the platform); callers that may pass one check with std::isfinite.
simd_float4x4 simd_inverse(const simd_float4x4& m);
simd_double4x4 simd_inverse(const simd_double4x4& m);

// Quaternions.
inline simd_quatf simd_quaternion(float ix, float iy, float iz, float r) {
  return {{ix, iy, iz, r}};
}
inline simd_quatd simd_quaternion(double ix, double iy, double iz, double r) {
  return {{ix, iy, iz, r}};
}
inline simd_quatf simd_quaternion(simd_float4 v) { return {v}; }
// The rotation by `angle` radians about `axis` (normalised here).
simd_quatf simd_quaternion(float angle, simd_float3 axis);
simd_quatd simd_quaternion(double angle, simd_double3 axis);
// The quaternion of the upper-left 3x3 block (the rotation part). Column 3 and the fourth row
// are not read; scale is not removed and the result is not normalised, so a rotation scaled by
// s gives a quaternion of length about sqrt(3s + 1) / 2.
simd_quatf simd_quaternion(const simd_float4x4& m);
simd_quatd simd_quaternion(const simd_double4x4& m);

template <typename T>
T simd_real(platform::simd::Quat<T> q) {
  return q.vector.w;
}
template <typename T>
platform::simd::Vec3<T> simd_imag(platform::simd::Quat<T> q) {
  return q.vector.xyz();
}
template <typename T>
T simd_length(platform::simd::Quat<T> q) {
  return simd_length(q.vector);
}
template <typename T>
platform::simd::Quat<T> simd_normalize(platform::simd::Quat<T> q) {
  return {simd_normalize(q.vector)};
}
template <typename T>
platform::simd::Quat<T> simd_conjugate(platform::simd::Quat<T> q) {
  return {{-q.vector.x, -q.vector.y, -q.vector.z, q.vector.w}};
}
template <typename T>
platform::simd::Quat<T> simd_inverse(platform::simd::Quat<T> q) {
  platform::simd::Quat<T> c = simd_conjugate(q);
  return {c.vector / simd_dot(q.vector, q.vector)};
}
// Hamilton product: simd_mul(p, q) rotates by q first, then by p.
template <typename T>
platform::simd::Quat<T> simd_mul(platform::simd::Quat<T> p, platform::simd::Quat<T> q) {
  const auto& a = p.vector;
  const auto& b = q.vector;
  return {{a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
           a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
           a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
           a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z}};
}
template <typename T>
T simd_angle(platform::simd::Quat<T> q) {
  return 2 * std::atan2(simd_length(simd_imag(q)), simd_real(q));
}
// The unit rotation axis; (1, 0, 0) for a rotation by zero.
template <typename T>
platform::simd::Vec3<T> simd_axis(platform::simd::Quat<T> q) {
  platform::simd::Vec3<T> v = simd_imag(q);
  T len = simd_length(v);
  if (len == 0) return {1, 0, 0};
  return v / len;
}
// Rotates v by the unit quaternion q.
template <typename T>
platform::simd::Vec3<T> simd_act(platform::simd::Quat<T> q, platform::simd::Vec3<T> v) {
  platform::simd::Quat<T> p{{v.x, v.y, v.z, 0}};
  return simd_imag(simd_mul(simd_mul(q, p), simd_conjugate(q)));
}
// The rotation matrix of a unit quaternion, with column 3 = (0, 0, 0, 1).
template <typename T>
platform::simd::Mat4<T> simd_matrix4x4(platform::simd::Quat<T> q) {
  T x = q.vector.x, y = q.vector.y, z = q.vector.z, w = q.vector.w;
  platform::simd::Mat4<T> m{};
  m.columns[0] = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w), 0};
  m.columns[1] = {2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w), 0};
  m.columns[2] = {2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y), 0};
  m.columns[3] = {0, 0, 0, 1};
  return m;
}

#endif  // PLATFORM_SIMD_SIMD_H_
