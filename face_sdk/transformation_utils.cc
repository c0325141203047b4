#include "face_sdk/transformation_utils.h"

#include <cmath>

namespace {

template <typename To, typename From>
platform::simd::Mat4<To> CastMatrix(const platform::simd::Mat4<From>& m) {
  platform::simd::Mat4<To> r;
  for (int c = 0; c < 4; ++c)
    for (int row = 0; row < 4; ++row) r.columns[c][row] = static_cast<To>(m.columns[c][row]);
  return r;
}

// Rotation by +90° about x: (x, y, z) -> (x, -z, y).
constexpr simd_float4x4 kQuarterTurnX = {{{1, 0, 0, 0}, {0, 0, 1, 0}, {0, -1, 0, 0}, {0, 0, 0, 1}}};
// Rotation by -90° about x: (x, y, z) -> (x, z, -y).
constexpr simd_float4x4 kQuarterTurnBackX = {
    {{1, 0, 0, 0}, {0, 0, -1, 0}, {0, 1, 0, 0}, {0, 0, 0, 1}}};
// Rotation by 180° about x.
constexpr simd_float4x4 kFlipYZ = {{{1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}, {0, 0, 0, 1}}};

}  // namespace

simd_float4x4 QVXTransformationUtils::matrixToFloat(const simd_double4x4& m) {
  return CastMatrix<float>(m);
}

simd_double4x4 QVXTransformationUtils::matrixToDouble(const simd_float4x4& m) {
  return CastMatrix<double>(m);
}

QVXTransformationUtils::Transformation QVXTransformationUtils::transformationFromDoubleMatrix(
    const simd_double4x4* m) {
  Eigen::Matrix3d rotation;
  for (int c = 0; c < 3; ++c)
    for (int row = 0; row < 3; ++row) rotation(row, c) = m->columns[c][row];
  Eigen::Vector3d translation(m->columns[3].x, m->columns[3].y, m->columns[3].z);
  return Transformation(geometry_toolbox::RotationMatrixToQuaternion(rotation), translation);
}

QVXTransformationUtils::Transformation QVXTransformationUtils::transformationFromFloatMatrix(
    const simd_float4x4* m) {
  simd_double4x4 d = matrixToDouble(*m);
  return transformationFromDoubleMatrix(&d);
}

simd_double4x4 QVXTransformationUtils::transformationToDoubleMatrix(const Transformation* t) {
  Eigen::Matrix4d e = t->T();
  simd_double4x4 r;
  for (int c = 0; c < 4; ++c)
    for (int row = 0; row < 4; ++row) r.columns[c][row] = e(row, c);
  return r;
}

simd_float4x4 QVXTransformationUtils::transformationToFloatMatrix(const Transformation* t) {
  return matrixToFloat(transformationToDoubleMatrix(t));
}

simd_float4x4 QVXTransformationUtils::eigenMatrix4fToFloatMatrix(const Eigen::Matrix4f* m) {
  simd_float4x4 r;
  for (int c = 0; c < 4; ++c)
    for (int row = 0; row < 4; ++row) r.columns[c][row] = (*m)(row, c);
  return r;
}

QVXTransformationUtils::Transformation QVXTransformationUtils::pelvanePoseFromARKitPose(
    const simd_float4x4* pose) {
  simd_float4x4 n = simd_mul(simd_mul(kQuarterTurnX, *pose), kFlipYZ);
  return transformationFromFloatMatrix(&n);
}

simd_float4x4 QVXTransformationUtils::ARKitPoseFromPelvanePose(const Transformation* pose) {
  simd_float4x4 f = transformationToFloatMatrix(pose);
  return simd_mul(simd_mul(kQuarterTurnBackX, f), kFlipYZ);
}

simd_float3 QVXGetScale(simd_float4x4 m) {
  return {simd_length(m.columns[0].xyz()), simd_length(m.columns[1].xyz()),
          simd_length(m.columns[2].xyz())};
}

simd_float4x4 QVXRemoveScale(simd_float4x4 m) {
  simd_float3 scale = QVXGetScale(m);
  for (int c = 0; c < 3; ++c) {
    m.columns[c].x /= scale[c];
    m.columns[c].y /= scale[c];
    m.columns[c].z /= scale[c];
  }
  return m;
}

float QVXConvertFovWithAspect(float angle, float aspect) {
  return 2.0f * std::atan(std::tan(angle * 0.5f) * aspect);
}

int64_t QVXRecognitionRotationFromOrientation(int64_t orientation) {
  switch (orientation) {
    case 2:
      return 90;
    case 3:
      return 180;
    case 4:
      return 0;
    default:
      return 270;
  }
}
