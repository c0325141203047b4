#include "face_sdk/augmented_face_frame.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/corefoundation/object.h"

namespace {

constexpr float kFov = 60;
const CGSize kPortraitViewport = {375, 812};
const CGSize kLandscapeViewport = {812, 375};

class AugmentedFaceFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 1280, 720, kCVPixelFormatType_32BGRA,
                                  nullptr, &image_),
              kCVReturnSuccess);
    frame_ = QVXAugmentedFaceFrame::initWithFace(nullptr, image_, 2.5, kFov);
  }
  void TearDown() override {
    frame_.reset();
    CVPixelBufferRelease(image_);
  }

  CVPixelBufferRef image_ = nullptr;
  std::shared_ptr<QVXAugmentedFaceFrame> frame_;
};

float TanHalfFov() { return std::tan(float(kFov * M_PI / 180) / 2); }

TEST_F(AugmentedFaceFrameTest, HoldsOneRetainOnTheImage) {
  EXPECT_EQ(CFGetRetainCount(image_), 2);
  EXPECT_EQ(frame_->capturedImage(), image_);
  EXPECT_EQ(frame_->timestamp(), 2.5);
  EXPECT_EQ(frame_->face(), nullptr);
  frame_->setFieldOfView(45);
  EXPECT_EQ(frame_->fieldOfView(), 45);
  frame_.reset();
  EXPECT_EQ(CFGetRetainCount(image_), 1);
}

TEST_F(AugmentedFaceFrameTest, PortraitProjectionKeepsTheFieldOfView) {
  // The upright image (0.5625) is not narrower than the viewport (0.4618): no crop.
  simd_float4x4 p = frame_->projectionMatrixForViewportSize(kPortraitViewport, 1, false, 0.05, 100);
  float p11 = 1 / TanHalfFov();
  float p00 = p11 / float(375.0 / 812.0);
  // Turned by 270°: column 0 is (0, -p11), column 1 is (p00, 0).
  EXPECT_NEAR(p.columns[0].x, 0, 1e-6);
  EXPECT_NEAR(p.columns[0].y, -p11, 1e-5);
  EXPECT_NEAR(p.columns[1].x, p00, 1e-5);
  EXPECT_NEAR(p.columns[1].y, 0, 1e-6);
  EXPECT_FLOAT_EQ(p.columns[2].z, float(-100.05 / 99.95));
  EXPECT_FLOAT_EQ(p.columns[3].z, float(-10 / 99.95));
  EXPECT_EQ(p.columns[2].w, -1);
  EXPECT_EQ(p.columns[3].w, 0);
}

TEST_F(AugmentedFaceFrameTest, ViewportWiderThanImageNarrowsTheFieldOfView) {
  // Landscape right (180°): image aspect 1.778 is below the viewport's 2.165, so the vertical
  // extent is cropped and the focal length grows by viewport aspect / image aspect.
  simd_float4x4 p = frame_->projectionMatrixForViewportSize(kLandscapeViewport, 3, false, 0.05, 100);
  float viewport_aspect = float(812.0 / 375.0);
  float image_aspect = 1280.0f / 720.0f;
  float p11 = viewport_aspect / (image_aspect * TanHalfFov());
  float p00 = p11 / viewport_aspect;
  EXPECT_NEAR(p.columns[0].x, -p00, 1e-5);
  EXPECT_NEAR(p.columns[1].y, -p11, 1e-5);
  EXPECT_NEAR(p.columns[0].y, 0, 1e-6);
  EXPECT_NEAR(p.columns[1].x, 0, 1e-6);
}

TEST_F(AugmentedFaceFrameTest, MirroringNegatesRowZeroInPortraitAndRowOneInLandscape) {
  for (int64_t orientation : {1, 2, 3, 4}) {
    SCOPED_TRACE(orientation);
    bool portrait = orientation <= 2;
    CGSize viewport = portrait ? kPortraitViewport : kLandscapeViewport;
    simd_float4x4 plain =
        frame_->projectionMatrixForViewportSize(viewport, orientation, false, 0.1, 10);
    simd_float4x4 mirrored =
        frame_->projectionMatrixForViewportSize(viewport, orientation, true, 0.1, 10);
    int negated_row = portrait ? 0 : 1;
    for (int c = 0; c < 4; ++c) {
      for (int r = 0; r < 4; ++r) {
        float expected = r == negated_row ? -plain.columns[c][r] : plain.columns[c][r];
        EXPECT_EQ(mirrored.columns[c][r], expected) << "row " << r << " col " << c;
      }
    }
  }
}

TEST_F(AugmentedFaceFrameTest, DisplayTransformFillsThenTurnsUpright) {
  struct Case {
    const char* name;
    CGSize viewport;
    int64_t orientation;
    bool mirrored;
    double a, b, c, d;
  };
  const double portrait_scale = float(812.0 / 1280.0);
  const double landscape_scale = float(812.0 / 720.0);
  for (const Case& k : {
           Case{"portrait", kPortraitViewport, 1, false, 0, portrait_scale, -portrait_scale, 0},
           Case{"portrait mirrored", kPortraitViewport, 1, true, 0, portrait_scale,
                portrait_scale, 0},
           Case{"landscape right", kLandscapeViewport, 3, false, -landscape_scale, 0, 0,
                -landscape_scale},
           Case{"landscape left mirrored", kLandscapeViewport, 4, true, landscape_scale, 0, 0,
                -landscape_scale},
       }) {
    SCOPED_TRACE(k.name);
    CGAffineTransform t = frame_->displayTransformForViewportSize(k.viewport, k.orientation,
                                                                  k.mirrored);
    EXPECT_NEAR(t.a, k.a, 1e-9);
    EXPECT_NEAR(t.b, k.b, 1e-9);
    EXPECT_NEAR(t.c, k.c, 1e-9);
    EXPECT_NEAR(t.d, k.d, 1e-9);
    EXPECT_EQ(t.tx, 0);
    EXPECT_EQ(t.ty, 0);
  }
}

TEST(AugmentedFaceFrameWithoutImageTest, ProjectionIgnoresTheMissingImage) {
  auto frame = QVXAugmentedFaceFrame::initWithFace(nullptr, nullptr, 0, kFov);
  EXPECT_EQ(frame->capturedImage(), nullptr);
  // A 0 x 0 image has no aspect to crop to: the field of view is used as it is.
  simd_float4x4 p = frame->projectionMatrixForViewportSize({100, 100}, 4, false, 0.05, 100);
  EXPECT_FLOAT_EQ(p.columns[1].y, 1 / TanHalfFov());
  // Scaling a 0 x 0 image to fill the viewport has no finite answer.
  CGAffineTransform t = frame->displayTransformForViewportSize({100, 100}, 4, false);
  EXPECT_FALSE(std::isfinite(t.a));
}

}  // namespace
