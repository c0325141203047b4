#include "face_sdk/augmented_face_frame.h"

#include <cmath>

#include "face_sdk/transformation_utils.h"

std::shared_ptr<QVXAugmentedFaceFrame> QVXAugmentedFaceFrame::initWithFace(
    std::shared_ptr<QVXAugmentedFace> face, CVPixelBufferRef capturedImage, double timestamp,
    float fieldOfView) {
  return std::make_shared<QVXAugmentedFaceFrame>(std::move(face), capturedImage, timestamp,
                                                 fieldOfView);
}

QVXAugmentedFaceFrame::QVXAugmentedFaceFrame(std::shared_ptr<QVXAugmentedFace> face,
                                             CVPixelBufferRef capturedImage, double timestamp,
                                             float fieldOfView)
    : face_(std::move(face)),
      capturedImage_(capturedImage ? CVPixelBufferRetain(capturedImage) : nullptr),
      timestamp_(timestamp),
      fieldOfView_(fieldOfView) {}

QVXAugmentedFaceFrame::~QVXAugmentedFaceFrame() {
  if (capturedImage_) CVPixelBufferRelease(capturedImage_);
}

namespace {

size_t ImageWidth(CVPixelBufferRef image) { return image ? CVPixelBufferGetWidth(image) : 0; }
size_t ImageHeight(CVPixelBufferRef image) { return image ? CVPixelBufferGetHeight(image) : 0; }

}  // namespace

simd_float4x4 QVXAugmentedFaceFrame::projectionMatrixForViewportSize(CGSize viewportSize,
                                                                     int64_t orientation,
                                                                     bool mirrored, double zNear,
                                                                     double zFar) const {
  float image_aspect = float(ImageWidth(capturedImage_)) / float(ImageHeight(capturedImage_));
  float viewport_aspect = float(viewportSize.width / viewportSize.height);
  bool portrait = orientation == 1 || orientation == 2;
  float aspect = portrait ? 1 / image_aspect : image_aspect;

  float fov = float(double(fieldOfView()) * M_PI / 180);
  // A viewport wider than the upright image crops it vertically: narrow the angle to match.
  if (aspect < viewport_aspect) {
    fov = QVXConvertFovWithAspect(QVXConvertFovWithAspect(fov, aspect), 1 / viewport_aspect);
  }
  float focal = 1 / std::tan(fov * 0.5f);
  float p00 = focal / viewport_aspect;
  float p11 = focal;
  if (mirrored) {
    if (portrait) {
      p00 = -p00;
    } else {
      p11 = -p11;
    }
  }
  float depth_a = float((zNear + zFar) / (zNear - zFar));
  float depth_b = float(2 * zFar * zNear / (zNear - zFar));

  // The rotation about z from the unit quaternion (0, 0, sin(θ/2), cos(θ/2)).
  double theta = double(QVXRecognitionRotationFromOrientation(orientation));
  float half = float(theta * M_PI / 180) * 0.5f;
  float s = std::sin(half), c = std::cos(half);
  float cos_theta = 1 - 2 * s * s;
  float sin_theta = 2 * s * c;

  simd_float4x4 m{};
  m.columns[0] = {p00 * cos_theta, p11 * sin_theta, 0, 0};
  m.columns[1] = {-p00 * sin_theta, p11 * cos_theta, 0, 0};
  m.columns[2] = {0, 0, depth_a, -1};
  m.columns[3] = {0, 0, depth_b, 0};
  return m;
}

CGAffineTransform QVXAugmentedFaceFrame::displayTransformForViewportSize(CGSize viewportSize,
                                                                         int64_t orientation,
                                                                         bool mirrored) const {
  double width = double(ImageWidth(capturedImage_));
  double height = double(ImageHeight(capturedImage_));
  float scale;
  if (float(height) / float(width) < float(viewportSize.width / viewportSize.height)) {
    scale = float(viewportSize.width / height);
  } else {
    scale = float(viewportSize.height / width);
  }
  double phi = -double(QVXRecognitionRotationFromOrientation(orientation)) * M_PI / 180;
  double sx = scale;
  double sy = mirrored ? -sx : sx;
  return {sx * std::cos(phi), sx * std::sin(phi), -sy * std::sin(phi), sy * std::cos(phi), 0, 0};
}
