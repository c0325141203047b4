#include "face_sdk/transformation_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include <Eigen/Geometry>

namespace {

using Transformation = QVXTransformationUtils::Transformation;

// A random rigid pose as a float matrix.
simd_float4x4 RandomPose() {
  Transformation t = Transformation::Random(180.0, 5.0);
  return QVXTransformationUtils::transformationToFloatMatrix(&t);
}

void ExpectNear(const simd_float4x4& a, const simd_float4x4& b, float tolerance) {
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r)
      EXPECT_NEAR(a.columns[c][r], b.columns[c][r], tolerance) << "row " << r << " col " << c;
}

TEST(TransformationUtilsTest, MatrixConversionsKeepElementPositions) {
  simd_float4x4 f;
  Eigen::Matrix4f e;
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) f.columns[c][r] = e(r, c) = 0.25f + 10 * r + c;

  simd_double4x4 d = QVXTransformationUtils::matrixToDouble(f);
  EXPECT_EQ(d.columns[3][1], 13.25);
  EXPECT_EQ(d.columns[1][3], 31.25);
  EXPECT_EQ(QVXTransformationUtils::matrixToFloat(d), f);
  EXPECT_EQ(QVXTransformationUtils::eigenMatrix4fToFloatMatrix(&e), f);
}

TEST(TransformationUtilsTest, TransformationFromMatrixReadsRotationAndTranslation) {
  // 90° about z, translated by (1, 2, 3).
  simd_float4x4 m = {{{0, 1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 1, 0}, {1, 2, 3, 1}}};
  Transformation t = QVXTransformationUtils::transformationFromFloatMatrix(&m);
  EXPECT_TRUE(t.p().isApprox(Eigen::Vector3d(1, 2, 3)));
  Eigen::Matrix3d expected = Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitZ()).matrix();
  EXPECT_TRUE(t.R().isApprox(expected, 1e-7)) << t.R();
  ExpectNear(QVXTransformationUtils::transformationToFloatMatrix(&t), m, 1e-6f);

  simd_float4x4 identity = matrix_identity_float4x4;
  EXPECT_TRUE(QVXTransformationUtils::transformationFromFloatMatrix(&identity).IsIdentity());
}

TEST(TransformationUtilsTest, MatrixProductIsTransformationComposition) {
  std::srand(7);
  for (int i = 0; i < 50; ++i) {
    simd_float4x4 a = RandomPose(), b = RandomPose();
    simd_float4x4 ab = simd_mul(a, b);
    Transformation ta = QVXTransformationUtils::transformationFromFloatMatrix(&a);
    Transformation tb = QVXTransformationUtils::transformationFromFloatMatrix(&b);
    Transformation tab = QVXTransformationUtils::transformationFromFloatMatrix(&ab);
    EXPECT_TRUE(geometry_toolbox::AreTwoTransformationsClose(ta * tb, tab, 1e-5, 1e-5, true));
  }
}

TEST(TransformationUtilsTest, PelvanePoseOfIdentityIsQuarterTurnBackAboutX) {
  simd_float4x4 identity = matrix_identity_float4x4;
  Transformation pelvane = QVXTransformationUtils::pelvanePoseFromARKitPose(&identity);
  Eigen::Matrix3d expected = Eigen::AngleAxisd(-M_PI / 2, Eigen::Vector3d::UnitX()).matrix();
  EXPECT_TRUE(pelvane.R().isApprox(expected, 1e-12)) << pelvane.R();
  EXPECT_EQ(pelvane.p(), Eigen::Vector3d::Zero());
  ExpectNear(QVXTransformationUtils::ARKitPoseFromPelvanePose(&pelvane), identity, 1e-7f);
}

TEST(TransformationUtilsTest, PoseConventionsSwapAxesOfTranslation) {
  simd_float4x4 pose = matrix_identity_float4x4;
  pose.columns[3] = simd_make_float4(1, 2, 3, 1);
  Transformation pelvane = QVXTransformationUtils::pelvanePoseFromARKitPose(&pose);
  EXPECT_EQ(pelvane.p(), Eigen::Vector3d(1, -3, 2));
  simd_float4x4 back = QVXTransformationUtils::ARKitPoseFromPelvanePose(&pelvane);
  EXPECT_EQ(back.columns[3], simd_make_float4(1, 2, 3, 1));
}

TEST(TransformationUtilsTest, PoseConversionsRoundTripOnRandomPoses) {
  std::srand(11);
  for (int i = 0; i < 50; ++i) {
    simd_float4x4 pose = RandomPose();
    Transformation pelvane = QVXTransformationUtils::pelvanePoseFromARKitPose(&pose);
    EXPECT_TRUE(pelvane.IsFiniteAndHasUnitQuaternion());
    // Translation (x, y, z) becomes (x, -z, y).
    EXPECT_NEAR(pelvane.p().y(), -pose.columns[3].z, 1e-6);
    EXPECT_NEAR(pelvane.p().z(), pose.columns[3].y, 1e-6);
    ExpectNear(QVXTransformationUtils::ARKitPoseFromPelvanePose(&pelvane), pose, 1e-5f);
  }
}

TEST(TransformationUtilsTest, ScaleIsColumnLengthsAndRemovingItKeepsTheRest) {
  Eigen::Matrix4f e = Eigen::Matrix4f::Identity();
  e.block<3, 3>(0, 0) = Eigen::AngleAxisf(0.7f, Eigen::Vector3f(1, 2, 3).normalized()).matrix() *
                        Eigen::Vector3f(2, 3, 0.5f).asDiagonal();
  e.col(3) << 4, 5, 6, 1;
  e(3, 0) = 0.125f;  // a w that is not 0 stays as it is
  simd_float4x4 m = QVXTransformationUtils::eigenMatrix4fToFloatMatrix(&e);

  simd_float3 scale = QVXGetScale(m);
  EXPECT_NEAR(scale.x, 2, 1e-6);
  EXPECT_NEAR(scale.y, 3, 1e-6);
  EXPECT_NEAR(scale.z, 0.5, 1e-6);

  simd_float4x4 unscaled = QVXRemoveScale(m);
  simd_float3 unit = QVXGetScale(unscaled);
  EXPECT_NEAR(unit.x, 1, 1e-6);
  EXPECT_NEAR(unit.y, 1, 1e-6);
  EXPECT_NEAR(unit.z, 1, 1e-6);
  EXPECT_EQ(unscaled.columns[0].w, 0.125f);
  EXPECT_EQ(unscaled.columns[3], m.columns[3]);
  EXPECT_NEAR(unscaled.columns[1].x, m.columns[1].x / 3, 1e-6);
}

TEST(TransformationUtilsTest, ConvertFovWithAspect) {
  EXPECT_FLOAT_EQ(QVXConvertFovWithAspect(1.0f, 1.0f), 1.0f);
  // 90° across an axis of length 2 is 2·atan(0.5) across an axis of length 1.
  EXPECT_FLOAT_EQ(QVXConvertFovWithAspect(float(M_PI / 2), 0.5f), 2 * std::atan(0.5f));
  // Converting there and back gives the angle again.
  float angle = 1.1f;
  EXPECT_NEAR(QVXConvertFovWithAspect(QVXConvertFovWithAspect(angle, 0.5625f), 1 / 0.5625f),
              angle, 1e-6);
}

TEST(TransformationUtilsTest, RecognitionRotationFromOrientation) {
  struct Case {
    int64_t orientation, degrees;
  };
  for (const Case& c : {Case{0, 270}, Case{1, 270}, Case{2, 90}, Case{3, 180}, Case{4, 0},
                        Case{5, 270}, Case{-1, 270}}) {
    EXPECT_EQ(QVXRecognitionRotationFromOrientation(c.orientation), c.degrees) << c.orientation;
  }
}

}  // namespace
