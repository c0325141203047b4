// Rigid transformations (rotation, then translation; no scale) held as a unit quaternion
// and a translation vector.
//
// Rotation convention: the quaternion q = (x, y, z, w) stands for the rotation matrix
//
//   | w²+x²−y²−z²   2(xy+zw)      2(xz−yw)    |
//   | 2(xy−zw)      w²−x²+y²−z²   2(yz+xw)    |
//   | 2(xz+yw)      2(yz−xw)      w²−x²−y²+z² |
//
// which is the transpose of the Hamilton matrix of the same four numbers: (0, 0, sin 45°,
// cos 45°) turns by −90° about z. Every operation here uses this one convention, so
// composition matches matrix products and matrix-to-quaternion conversion round-trips.
//
// Canonical form: every constructor and operation that builds a quaternion normalises it
// (unless it is zero) and keeps w >= 0. Only IsFiniteAndHasUnitQuaternion() verifies it.
//
// Both float and double instantiations exist; the definitions live in the .cc file.

#ifndef FACE_GEOMETRY_RIGID_TRANSFORMATION_H_
#define FACE_GEOMETRY_RIGID_TRANSFORMATION_H_

#include <ostream>

#include <Eigen/Core>

namespace geometry_toolbox {

template <typename Scalar>
class TypedTransformation {
 public:
  using Vector3 = Eigen::Matrix<Scalar, 3, 1>;
  // x, y, z, w: w is the scalar part.
  using Vector4 = Eigen::Matrix<Scalar, 4, 1>;
  using Matrix3 = Eigen::Matrix<Scalar, 3, 3>;
  using Matrix3x4 = Eigen::Matrix<Scalar, 3, 4>;
  using Matrix4 = Eigen::Matrix<Scalar, 4, 4>;

  // The identity.
  TypedTransformation();
  // From the rotation block (taken to be a rotation, not checked) and column 3.
  explicit TypedTransformation(const Matrix4& transform);
  explicit TypedTransformation(const Matrix3x4& transform);
  // Normalises `q` (when not zero) and keeps its w non-negative.
  TypedTransformation(const Vector4& q, const Vector3& p);
  explicit TypedTransformation(const Vector4& q);
  explicit TypedTransformation(const Vector3& p);

  static TypedTransformation Identity();
  void SetIdentity();
  // Exact comparison with the identity.
  bool IsIdentity() const;

  // Random poses from the system's rand(): a rotation of at most `max_angle_degrees`
  // (180 when not given) about a random axis and a translation of at most
  // `max_translation` in a random direction.
  static TypedTransformation Random(Scalar max_translation);
  static TypedTransformation Random(Scalar max_angle_degrees, Scalar max_translation);
  void SetRandom(Scalar max_translation);
  void SetRandom(Scalar max_angle_degrees, Scalar max_translation);

  // [R p; 0 0 0 1], R and [R | p].
  Matrix4 T() const;
  Matrix3 R() const;
  Matrix3x4 T3x4() const;

  Vector3& p() { return p_; }
  const Vector3& p() const { return p_; }
  Vector4& q() { return q_; }
  const Vector4& q() const { return q_; }
  Scalar* p_ptr() { return p_.data(); }
  const Scalar* p_ptr() const { return p_.data(); }
  Scalar* q_ptr() { return q_.data(); }
  const Scalar* q_ptr() const { return q_.data(); }

  void Set_T(const Matrix4& transform);
  void Set_q_and_p(const Vector4& q, const Vector3& p);

  TypedTransformation Inverse() const;
  // this · other: applies `other` first.
  TypedTransformation operator*(const TypedTransformation& other) const;
  // Same rotation, translation moved by `v`.
  TypedTransformation operator+(const Vector3& v) const;
  Vector3 Rotate(const Vector3& v) const;
  // Exact equality of all seven numbers.
  bool operator==(const TypedTransformation& other) const;
  // All seven numbers finite and |q|² within 0.001 of 1.
  bool IsFiniteAndHasUnitQuaternion() const;

 private:
  Vector3 p_;
  Vector4 q_;
};

// The unit quaternion (x, y, z, w) of a rotation matrix, with w >= 0.
template <typename Scalar>
Eigen::Matrix<Scalar, 4, 1> RotationMatrixToQuaternion(const Eigen::Matrix<Scalar, 3, 3>& m);

// E = a⁻¹ · b: *theta_error = rotation angle of E in radians (0 below 1e-4),
// *p_error = length of E's translation. Both pointers must be non-null.
template <typename Scalar>
void ErrorBetweenTwoTransformation(const TypedTransformation<Scalar>& a,
                                   const TypedTransformation<Scalar>& b, Scalar* p_error,
                                   Scalar* theta_error);

// True when both errors are within their maxima; otherwise logs the differences at INFO
// (when `log` is set) and returns false.
template <typename Scalar>
bool AreTwoTransformationsClose(const TypedTransformation<Scalar>& a,
                                const TypedTransformation<Scalar>& b,
                                Scalar max_position_error, Scalar max_rotation_error, bool log);

// Spherical interpolation of the rotation along the shorter arc and linear interpolation of
// the translation; `scalar` must lie in [0, 1].
template <typename Scalar>
TypedTransformation<Scalar> Interpolate(const TypedTransformation<Scalar>& a,
                                        const TypedTransformation<Scalar>& b, Scalar scalar);

// "q = [x: .., y: .., z: .., w: ..], p = [x: .., y: .., z: ..]".
template <typename Scalar>
std::ostream& operator<<(std::ostream& os, const TypedTransformation<Scalar>& t);

}  // namespace geometry_toolbox

#endif  // FACE_GEOMETRY_RIGID_TRANSFORMATION_H_
