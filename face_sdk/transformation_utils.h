// Matrix and pose conversions of the face SDK.
//
// QVXTransformationUtils converts 4x4 matrices between the simd float and double types, the
// Eigen float matrix of the geometry code and geometry_toolbox::TypedTransformation<double>,
// and converts camera poses between the AR session's axis convention ("ARKit") and the
// tracker's ("Pelvane"), which differ by a quarter turn about x and a flip of y and z:
//
//   simd_float4x4 pose = matrix_identity_float4x4;
//   pose.columns[3] = simd_make_float4(1, 2, 3, 1);
//   auto pelvane = QVXTransformationUtils::pelvanePoseFromARKitPose(&pose);  // p = (1, -3, 2)
//   simd_float4x4 back = QVXTransformationUtils::ARKitPoseFromPelvanePose(&pelvane);  // pose
//
// Every matrix conversion keeps element (row, column) in place and changes only precision.
// The free functions below are the SDK's exported helpers for scale, field of view and
// camera rotation. Everything here is stateless and thread-safe.
#ifndef FACE_SDK_TRANSFORMATION_UTILS_H_
#define FACE_SDK_TRANSFORMATION_UTILS_H_

#include <cstdint>

#include <Eigen/Core>

#include "face_geometry/rigid_transformation.h"
#include "platform/simd/simd.h"

class QVXTransformationUtils {
 public:
  using Transformation = geometry_toolbox::TypedTransformation<double>;

  static simd_float4x4 matrixToFloat(const simd_double4x4& m);
  static simd_double4x4 matrixToDouble(const simd_float4x4& m);
  // Translation from column 3, rotation from the upper-left 3x3 block (taken to be a rotation).
  static Transformation transformationFromDoubleMatrix(const simd_double4x4* m);
  static Transformation transformationFromFloatMatrix(const simd_float4x4* m);
  static simd_double4x4 transformationToDoubleMatrix(const Transformation* t);
  static simd_float4x4 transformationToFloatMatrix(const Transformation* t);
  static simd_float4x4 eigenMatrix4fToFloatMatrix(const Eigen::Matrix4f* m);
  // Q+ · M · D, with Q+ the rotation by +90° about x and D = diag(1, -1, -1, 1).
  static Transformation pelvanePoseFromARKitPose(const simd_float4x4* pose);
  // Q- · T · D, the inverse of the conversion above up to rounding.
  static simd_float4x4 ARKitPoseFromPelvanePose(const Transformation* pose);
};

// The lengths of the x, y, z parts of columns 0, 1 and 2.
simd_float3 QVXGetScale(simd_float4x4 m);
// Columns 0 to 2 with their x, y, z divided by the matching QVXGetScale length; their w and
// column 3 unchanged.
simd_float4x4 QVXRemoveScale(simd_float4x4 m);
// 2 · atan(tan(angle / 2) · aspect): an angle of view (radians) across one image axis turned
// into the angle across the other axis, `aspect` being the second extent over the first.
float QVXConvertFovWithAspect(float angle, float aspect);
// The camera rotation in degrees for an interface orientation: 2 (portrait upside down) -> 90,
// 3 (landscape right) -> 180, 4 (landscape left) -> 0, anything else -> 270.
int64_t QVXRecognitionRotationFromOrientation(int64_t orientation);

#endif  // FACE_SDK_TRANSFORMATION_UTILS_H_
