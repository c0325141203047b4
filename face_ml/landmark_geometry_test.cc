#include "face_ml/landmark_geometry.h"

#include <cmath>
#include <vector>

#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using utils::RotatedRect;

constexpr float kPi = 3.14159265f;

struct IouCase {
  const char* name;
  Bound a;
  Bound b;
  float iou;
};
void PrintTo(const IouCase& c, std::ostream* os) { *os << c.name; }

class IouTest : public testing::TestWithParam<IouCase> {};

TEST_P(IouTest, MatchesExpected) {
  const IouCase& c = GetParam();
  EXPECT_FLOAT_EQ(CalculateIOU(c.a, c.b), c.iou);
  EXPECT_FLOAT_EQ(CalculateIOU(c.b, c.a), c.iou);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IouTest,
    testing::Values(IouCase{"Identical", {0.1f, 0.2f, 0.5f, 0.6f}, {0.1f, 0.2f, 0.5f, 0.6f}, 1},
                    IouCase{"Disjoint", {0, 0, 1, 1}, {2, 2, 3, 3}, 0},
                    IouCase{"TouchingEdge", {0, 0, 1, 1}, {1, 0, 2, 1}, 0},
                    IouCase{"HalfOverlap", {0, 0, 2, 1}, {1, 0, 3, 1}, 1.0f / 3.0f},
                    IouCase{"ZeroArea", {0, 0, 0, 1}, {0, 0, 1, 1}, 0},
                    IouCase{"NegativeArea", {1, 1, 0, 0}, {0, 0, 1, 1}, 0},
                    IouCase{"Contained", {0, 0, 2, 2}, {0, 0, 1, 1}, 0.25f}),
    [](const testing::TestParamInfo<IouCase>& info) { return std::string(info.param.name); });

TEST(LandmarkGeometryTest, AreaAndIntersection) {
  EXPECT_FLOAT_EQ(CalculateArea({0, 0, 2, 3}), 6);
  EXPECT_FLOAT_EQ(CalculateArea({2, 0, 0, 3}), -6);
  EXPECT_FLOAT_EQ(CalculateIntersectionArea({0, 0, 2, 2}, {1, 1, 3, 3}), 1);
  EXPECT_FLOAT_EQ(CalculateIntersectionArea({0, 0, 1, 1}, {0, 1, 1, 2}), 0);
}

TEST(LandmarkGeometryTest, ContainsFaceWithBoundNeedsIouAbove085) {
  std::vector<LandmarksDetectionResult::Face> faces(1);
  faces[0].rect = {0, 0, 1, 1};
  EXPECT_TRUE(ContainsFaceWithBound(faces, {0, 0, 1, 0.9f}));   // IoU 0.9
  EXPECT_FALSE(ContainsFaceWithBound(faces, {0, 0, 1, 0.8f}));  // IoU 0.8
  EXPECT_FALSE(ContainsFaceWithBound({}, {0, 0, 1, 1}));
}

struct MatrixCase {
  const char* name;
  bool flip;
  float rotation;
  Landmark in;
  Landmark out;
};
void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }

class TransformMatrixTest : public testing::TestWithParam<MatrixCase> {};

// A 40x20 crop centred at (100, 50) of a 200x100 frame.
TEST_P(TransformMatrixTest, MapsCropCorners) {
  const MatrixCase& c = GetParam();
  Matrix4 m;
  GetRotatedSubRectToRectTransformMatrix({100, 50, 40, 20, c.rotation}, 200, 100, c.flip, &m);
  Landmark l = c.in;
  TransformLandmark(m, &l);
  EXPECT_NEAR(l.x, c.out.x, 1e-6);
  EXPECT_NEAR(l.y, c.out.y, 1e-6);
  EXPECT_NEAR(l.z, c.out.z, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransformMatrixTest,
    testing::Values(
        MatrixCase{"TopLeft", false, 0, {0, 0, 0}, {80.0f / 200, 40.0f / 100, 0}},
        MatrixCase{"BottomRight", false, 0, {1, 1, 0}, {120.0f / 200, 60.0f / 100, 0}},
        MatrixCase{"DepthInCropWidths", false, 0, {0.5f, 0.5f, 1}, {0.5f, 0.5f, 40.0f / 200}},
        MatrixCase{"FlippedTopLeft", true, 0, {0, 0, 0}, {120.0f / 200, 40.0f / 100, 0}},
        // A quarter turn lays the crop's u axis along the frame's y axis.
        MatrixCase{"QuarterTurnU", false, kPi / 2, {1, 0.5f, 0}, {100.0f / 200, 70.0f / 100, 0}},
        MatrixCase{"QuarterTurnV", false, kPi / 2, {0.5f, 1, 0}, {90.0f / 200, 50.0f / 100, 0}}),
    [](const testing::TestParamInfo<MatrixCase>& info) { return std::string(info.param.name); });

TEST(LandmarkGeometryTest, TransformLandmarksScalesByInputSizeFirst) {
  std::vector<Landmark> landmarks = {{0, 0, 0}, {64, 32, 64}};
  TransformLandmarks(200, 100, 64, 32, {100, 50, 40, 20, 0}, false, &landmarks);
  EXPECT_NEAR(landmarks[0].x, 0.4f, 1e-6);
  EXPECT_NEAR(landmarks[0].y, 0.4f, 1e-6);
  EXPECT_NEAR(landmarks[1].x, 0.6f, 1e-6);
  EXPECT_NEAR(landmarks[1].y, 0.6f, 1e-6);
  EXPECT_NEAR(landmarks[1].z, 0.2f, 1e-6);
}

TEST(LandmarkGeometryTest, BoundingBoxGrowsBy12AboutCentre) {
  Bound b;
  CalculateBoundingBox({{0.4f, 0.4f, 0}, {0.6f, 0.5f, 0}}, &b);
  EXPECT_NEAR(b.left, 0.38f, 1e-6);
  EXPECT_NEAR(b.top, 0.39f, 1e-6);
  EXPECT_NEAR(b.right, 0.62f, 1e-6);
  EXPECT_NEAR(b.bottom, 0.51f, 1e-6);
}

TEST(LandmarkGeometryTest, TiltAngleIsInZeroToTwoPi) {
  LandmarksDetectionResult::Face face;
  face.landmarks_begin = 1;
  // Landmarks 1 and 2: B straight above A in the image.
  const std::vector<Landmark> up = {{9, 9, 9}, {0.5f, 0.6f, 0}, {0.5f, 0.4f, 0}};
  EXPECT_NEAR(CalculateTiltAngle(640, 480, face, up, 0, 1), 3 * kPi / 2, 1e-5);
  // Frame scaling matters: equal normalised steps on a 2:1 frame are not 45 degrees.
  const std::vector<Landmark> diagonal = {{9, 9, 9}, {0, 0, 0}, {0.1f, 0.1f, 0}};
  EXPECT_NEAR(CalculateTiltAngle(200, 100, face, diagonal, 0, 1), std::atan2(10.0f, 20.0f),
              1e-6);
}

TEST(LandmarkGeometryTest, ContoursRegionOfInterest) {
  RotatedRect roi{1, 2, 3, 4, 5};
  const std::vector<Landmark> line = {{0.1f, 0.5f, 0}, {0.3f, 0.5f, 0}, {0.2f, 0.5f, 0}};
  EXPECT_FALSE(CalculateContoursRegionOfInterest(line, 100, 100, 0, 3, &roi));
  EXPECT_EQ(roi.center_x, 1);  // untouched
  ASSERT_TRUE(CalculateContoursRegionOfInterest(line, 100, 100, 0, 1, &roi));
  EXPECT_NEAR(roi.rotation, 0, 1e-6);
  EXPECT_NEAR(roi.height, 0, 1e-5);
  EXPECT_NEAR(roi.width, 20, 1e-5);
  EXPECT_NEAR(roi.center_x, 20, 1e-5);
  EXPECT_NEAR(roi.center_y, 50, 1e-5);

  // A vertical line (downwards in the image) with one landmark off to its side: the crop
  // turns by a quarter and its height spans the side offset.
  const std::vector<Landmark> vertical = {{0.5f, 0.2f, 0}, {0.5f, 0.6f, 0}, {0.6f, 0.4f, 0}};
  ASSERT_TRUE(CalculateContoursRegionOfInterest(vertical, 100, 100, 0, 1, &roi));
  EXPECT_NEAR(roi.rotation, kPi / 2, 1e-6);
  EXPECT_NEAR(roi.width, 40, 1e-4);
  EXPECT_NEAR(roi.height, 10, 1e-4);
  EXPECT_NEAR(roi.center_x, 55, 1e-4);
  EXPECT_NEAR(roi.center_y, 40, 1e-4);
}

TEST(LandmarkGeometryTest, ZelkorFaceRegionOfInterestUsesNormalisedKeypointAngle) {
  LandmarksDetectionResult::Face face;
  face.rect = {0.25f, 0.5f, 0.75f, 1.0f};
  face.landmarks_begin = 0;
  // Equal normalised steps: 45 degrees although the frame is 2:1.
  const std::vector<Landmark> keypoints = {{0.4f, 0.6f, 0}, {0.5f, 0.7f, 0}};
  RotatedRect roi;
  ASSERT_TRUE(CalculateZelkorFaceRegionOfInterest(face, keypoints, 200, 100, &roi));
  EXPECT_NEAR(roi.rotation, kPi / 4, 1e-6);
  EXPECT_FLOAT_EQ(roi.width, 100);
  EXPECT_FLOAT_EQ(roi.height, 50);
  EXPECT_FLOAT_EQ(roi.center_x, 100);
  EXPECT_FLOAT_EQ(roi.center_y, 75);

  face.landmarks_begin = 1;  // no second key point
  EXPECT_FALSE(CalculateZelkorFaceRegionOfInterest(face, keypoints, 200, 100, &roi));
}

TEST(LandmarkGeometryTest, LandmarksFromRawOutput) {
  const std::vector<float> raw = {1, 2, 3, 4, 5, 6};
  std::vector<Landmark> out;
  ASSERT_TRUE(LandmarksFromRawOutput(raw, 3, 2, &out));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2].x, 5);
  EXPECT_EQ(out[2].y, 6);
  EXPECT_EQ(out[2].z, 0);
  ASSERT_TRUE(LandmarksFromRawOutput(raw, 2, 3, &out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].x, 4);
  EXPECT_EQ(out[1].z, 6);

  EXPECT_FALSE(LandmarksFromRawOutput(raw, 1, 4, &out));
  EXPECT_TRUE(out.empty());
  // More landmarks than the output holds are refused, not read past its end.
  EXPECT_FALSE(LandmarksFromRawOutput(raw, 4, 2, &out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
