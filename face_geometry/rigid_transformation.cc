#include "face_geometry/rigid_transformation.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "base/logging.h"

namespace geometry_toolbox {
namespace {

template <typename Scalar>
using Vector4 = typename TypedTransformation<Scalar>::Vector4;

// Unit length (unless zero) and w >= 0.
template <typename Scalar>
Vector4<Scalar> Canonical(Vector4<Scalar> q) {
  if (q.squaredNorm() > 0) q /= q.norm();
  if (q(3) < 0) q = -q;
  return q;
}

// The product that makes R(a · b) = R(a) R(b) under this file's rotation convention
// (the Hamilton product b ⊗ a).
template <typename Scalar>
Vector4<Scalar> Compose(const Vector4<Scalar>& a, const Vector4<Scalar>& b) {
  const Scalar x1 = a(0), y1 = a(1), z1 = a(2), w1 = a(3);
  const Scalar x2 = b(0), y2 = b(1), z2 = b(2), w2 = b(3);
  return Vector4<Scalar>(w1 * x2 + x1 * w2 - y1 * z2 + z1 * y2,
                         w1 * y2 + y1 * w2 - z1 * x2 + x1 * z2,
                         w1 * z2 + z1 * w2 - x1 * y2 + y1 * x2,
                         w1 * w2 - x1 * x2 - y1 * y2 - z1 * z2);
}

// A uniform value in [-1, 1] from the system's rand().
double UniformFromRand() { return 2.0 * std::rand() / 2147483647.0 - 1.0; }

}  // namespace

template <typename Scalar>
TypedTransformation<Scalar>::TypedTransformation()
    : p_(Vector3::Zero()), q_(0, 0, 0, 1) {}

template <typename Scalar>
TypedTransformation<Scalar>::TypedTransformation(const Matrix4& transform) {
  Set_T(transform);
}

template <typename Scalar>
TypedTransformation<Scalar>::TypedTransformation(const Matrix3x4& transform)
    : p_(transform.col(3)),
      q_(RotationMatrixToQuaternion<Scalar>(transform.template leftCols<3>())) {}

template <typename Scalar>
TypedTransformation<Scalar>::TypedTransformation(const Vector4& q, const Vector3& p) {
  Set_q_and_p(q, p);
}

template <typename Scalar>
TypedTransformation<Scalar>::TypedTransformation(const Vector4& q)
    : TypedTransformation(q, Vector3::Zero()) {}

template <typename Scalar>
TypedTransformation<Scalar>::TypedTransformation(const Vector3& p)
    : p_(p), q_(0, 0, 0, 1) {}

template <typename Scalar>
TypedTransformation<Scalar> TypedTransformation<Scalar>::Identity() {
  return TypedTransformation();
}

template <typename Scalar>
void TypedTransformation<Scalar>::SetIdentity() {
  *this = TypedTransformation();
}

template <typename Scalar>
bool TypedTransformation<Scalar>::IsIdentity() const {
  return p_(0) == 0 && p_(1) == 0 && p_(2) == 0 && q_(0) == 0 && q_(1) == 0 && q_(2) == 0 &&
         q_(3) == 1;
}

template <typename Scalar>
TypedTransformation<Scalar> TypedTransformation<Scalar>::Random(Scalar max_translation) {
  TypedTransformation t;
  t.SetRandom(max_translation);
  return t;
}

template <typename Scalar>
TypedTransformation<Scalar> TypedTransformation<Scalar>::Random(Scalar max_angle_degrees,
                                                                Scalar max_translation) {
  TypedTransformation t;
  t.SetRandom(max_angle_degrees, max_translation);
  return t;
}

template <typename Scalar>
void TypedTransformation<Scalar>::SetRandom(Scalar max_translation) {
  SetRandom(180, max_translation);
}

template <typename Scalar>
void TypedTransformation<Scalar>::SetRandom(Scalar max_angle_degrees, Scalar max_translation) {
  // Drawn one by one, in this order: angle, translation length, axis, direction.
  const Scalar angle = UniformFromRand();
  const Scalar length = UniformFromRand();
  Vector3 axis;
  for (int i = 0; i < 3; ++i) axis(i) = UniformFromRand();
  Vector3 direction;
  for (int i = 0; i < 3; ++i) direction(i) = UniformFromRand();

  const Scalar half_angle = angle * max_angle_degrees * Scalar(M_PI / 180.0) * Scalar(0.5);
  if (axis.norm() > 0) axis /= axis.norm();
  Vector4 q;
  q << axis * std::sin(half_angle), std::cos(half_angle);
  q_ = Canonical<Scalar>(q);
  if (direction.norm() > 0) direction /= direction.norm();
  p_ = direction * max_translation * length;
}

template <typename Scalar>
typename TypedTransformation<Scalar>::Matrix4 TypedTransformation<Scalar>::T() const {
  Matrix4 t = Matrix4::Identity();
  t.template topLeftCorner<3, 3>() = R();
  t.template topRightCorner<3, 1>() = p_;
  return t;
}

template <typename Scalar>
typename TypedTransformation<Scalar>::Matrix3 TypedTransformation<Scalar>::R() const {
  const Scalar x = q_(0), y = q_(1), z = q_(2), w = q_(3);
  Matrix3 r;
  r << w * w + x * x - y * y - z * z, 2 * (x * y + z * w), 2 * (x * z - y * w),
      2 * (x * y - z * w), w * w - x * x + y * y - z * z, 2 * (y * z + x * w),
      2 * (x * z + y * w), 2 * (y * z - x * w), w * w - x * x - y * y + z * z;
  return r;
}

template <typename Scalar>
typename TypedTransformation<Scalar>::Matrix3x4 TypedTransformation<Scalar>::T3x4() const {
  Matrix3x4 t;
  t << R(), p_;
  return t;
}

template <typename Scalar>
void TypedTransformation<Scalar>::Set_T(const Matrix4& transform) {
  q_ = RotationMatrixToQuaternion<Scalar>(transform.template topLeftCorner<3, 3>());
  p_ = transform.template topRightCorner<3, 1>();
}

template <typename Scalar>
void TypedTransformation<Scalar>::Set_q_and_p(const Vector4& q, const Vector3& p) {
  p_ = p;
  q_ = Canonical<Scalar>(q);
}

template <typename Scalar>
TypedTransformation<Scalar> TypedTransformation<Scalar>::Inverse() const {
  return TypedTransformation(Vector4(-q_(0), -q_(1), -q_(2), q_(3)), -(R().transpose() * p_));
}

template <typename Scalar>
TypedTransformation<Scalar> TypedTransformation<Scalar>::operator*(
    const TypedTransformation& other) const {
  return TypedTransformation(Canonical<Scalar>(Compose<Scalar>(q_, other.q_)),
                             p_ + R() * other.p_);
}

template <typename Scalar>
TypedTransformation<Scalar> TypedTransformation<Scalar>::operator+(const Vector3& v) const {
  TypedTransformation t = *this;
  t.p_ += v;
  return t;
}

template <typename Scalar>
typename TypedTransformation<Scalar>::Vector3 TypedTransformation<Scalar>::Rotate(
    const Vector3& v) const {
  return R() * v;
}

template <typename Scalar>
bool TypedTransformation<Scalar>::operator==(const TypedTransformation& other) const {
  return q_ == other.q_ && p_ == other.p_;
}

template <typename Scalar>
bool TypedTransformation<Scalar>::IsFiniteAndHasUnitQuaternion() const {
  if (!p_.allFinite() || !q_.allFinite()) return false;
  const double squared_norm = q_.template cast<double>().squaredNorm();
  return std::abs(squared_norm - 1.0) <= 0.001;
}

template <typename Scalar>
Eigen::Matrix<Scalar, 4, 1> RotationMatrixToQuaternion(const Eigen::Matrix<Scalar, 3, 3>& m) {
  // The branch divides by the largest of |x|, |y|, |z|, |w| (up to the first-match rules),
  // which keeps the conversion well conditioned. The float form decides in double.
  const Scalar tr = m(0, 0) + m(1, 1) + m(2, 2);
  const double a = 2.0 * m(0, 0) - tr;
  const double b = 2.0 * m(1, 1) - tr;
  const double c = 2.0 * m(2, 2) - tr;
  Scalar x, y, z, w;
  bool w_branch = false;
  if (a >= tr && a >= b && a >= c) {
    x = static_cast<Scalar>(std::sqrt((a + 1) * 0.25));
    const Scalar g = 1 / (4 * x);
    y = g * (m(0, 1) + m(1, 0));
    z = g * (m(0, 2) + m(2, 0));
    w = g * (m(1, 2) - m(2, 1));
  } else if (b >= tr && b >= a && b >= c) {
    y = static_cast<Scalar>(std::sqrt((b + 1) * 0.25));
    const Scalar g = 1 / (4 * y);
    x = g * (m(0, 1) + m(1, 0));
    z = g * (m(1, 2) + m(2, 1));
    w = g * (m(2, 0) - m(0, 2));
  } else if (c > tr && c > a && c > b) {
    z = static_cast<Scalar>(std::sqrt((c + 1) * 0.25));
    const Scalar g = 1 / (4 * z);
    x = g * (m(0, 2) + m(2, 0));
    y = g * (m(1, 2) + m(2, 1));
    w = g * (m(0, 1) - m(1, 0));
  } else {
    w_branch = true;
    w = static_cast<Scalar>(std::sqrt((tr + 1) * 0.25));
    const Scalar g = 1 / (4 * w);
    x = g * (m(1, 2) - m(2, 1));
    y = g * (m(2, 0) - m(0, 2));
    z = g * (m(0, 1) - m(1, 0));
  }
  Eigen::Matrix<Scalar, 4, 1> q(x, y, z, w);
  if (!w_branch && w < 0) q = -q;
  return q / q.norm();
}

template <typename Scalar>
void ErrorBetweenTwoTransformation(const TypedTransformation<Scalar>& a,
                                   const TypedTransformation<Scalar>& b, Scalar* p_error,
                                   Scalar* theta_error) {
  CHECK(p_error != nullptr);
  CHECK(theta_error != nullptr);
  const TypedTransformation<Scalar> error = a.Inverse() * b;
  // Rounding can put a normalised w a hair above 1, where acos has no value.
  const Scalar w = std::min<Scalar>(error.q()(3), 1);
  *theta_error = 2 * std::acos(w);
  if (*theta_error < Scalar(1e-4)) *theta_error = 0;
  *p_error = error.p().norm();
}

template <typename Scalar>
bool AreTwoTransformationsClose(const TypedTransformation<Scalar>& a,
                                const TypedTransformation<Scalar>& b,
                                Scalar max_position_error, Scalar max_rotation_error, bool log) {
  Scalar p_error, theta_error;
  ErrorBetweenTwoTransformation(a, b, &p_error, &theta_error);
  const bool position_close = max_position_error >= p_error;
  const bool rotation_close = max_rotation_error >= theta_error;
  if (position_close && rotation_close) return true;
  if (log) {
    LOG(INFO) << "\nPosition difference: " << p_error << (position_close ? " <= " : " > ")
              << max_position_error << " (m)"
              << "\nRotation difference: " << theta_error << (rotation_close ? " <= " : " > ")
              << max_rotation_error << " (radians)";
  }
  return false;
}

template <typename Scalar>
TypedTransformation<Scalar> Interpolate(const TypedTransformation<Scalar>& a,
                                        const TypedTransformation<Scalar>& b, Scalar scalar) {
  CHECK_GE(scalar, 0) << "scalar must be in [0, 1].";
  CHECK_LE(scalar, 1) << "scalar must be in [0, 1].";
  const Scalar d = a.q().dot(b.q());
  Scalar wa, wb;
  if (std::abs(d) >= 1 - std::numeric_limits<Scalar>::epsilon()) {
    // Nearly the same rotation: the sine ratios would divide by almost zero.
    wa = 1 - scalar;
    wb = scalar;
  } else {
    const Scalar theta = std::acos(std::abs(d));
    wa = std::sin((1 - scalar) * theta) / std::sin(theta);
    wb = std::sin(scalar * theta) / std::sin(theta);
  }
  // q and −q are the same rotation: take the shorter arc.
  if (d < 0) wb = -wb;

  TypedTransformation<Scalar> result;
  Vector4<Scalar> q = wa * a.q() + wb * b.q();
  if (q(3) < 0) q = -q;
  result.q() = Canonical<Scalar>(q);
  result.p() = a.p() + (b.p() - a.p()) * scalar;
  return result;
}

template <typename Scalar>
std::ostream& operator<<(std::ostream& os, const TypedTransformation<Scalar>& t) {
  return os << "q = [x: " << t.q()(0) << ", y: " << t.q()(1) << ", z: " << t.q()(2)
            << ", w: " << t.q()(3) << "], p = [x: " << t.p()(0) << ", y: " << t.p()(1)
            << ", z: " << t.p()(2) << "]";
}

#define INSTANTIATE_TYPED_TRANSFORMATION(Scalar)                                         \
  template class TypedTransformation<Scalar>;                                            \
  template Eigen::Matrix<Scalar, 4, 1> RotationMatrixToQuaternion<Scalar>(               \
      const Eigen::Matrix<Scalar, 3, 3>&);                                               \
  template void ErrorBetweenTwoTransformation<Scalar>(                                   \
      const TypedTransformation<Scalar>&, const TypedTransformation<Scalar>&, Scalar*,   \
      Scalar*);                                                                          \
  template bool AreTwoTransformationsClose<Scalar>(const TypedTransformation<Scalar>&,   \
                                                   const TypedTransformation<Scalar>&,   \
                                                   Scalar, Scalar, bool);                \
  template TypedTransformation<Scalar> Interpolate<Scalar>(                              \
      const TypedTransformation<Scalar>&, const TypedTransformation<Scalar>&, Scalar);   \
  template std::ostream& operator<< <Scalar>(std::ostream&, const TypedTransformation<Scalar>&);

INSTANTIATE_TYPED_TRANSFORMATION(float)
INSTANTIATE_TYPED_TRANSFORMATION(double)

#undef INSTANTIATE_TYPED_TRANSFORMATION

}  // namespace geometry_toolbox
