// The result of one processed camera frame: the tracked face (or none), the camera image it
// was computed from, its time and the camera's field of view, with the projection matrix and
// display transform a renderer needs to draw over the image in a viewport.
//
//   std::shared_ptr<QVXAugmentedFaceFrame> frame = ...;   // from the session's delegate
//   simd_float4x4 projection = frame->projectionMatrixForViewportSize(
//       {375, 812}, /*orientation=*/1, /*mirrored=*/true, 0.05, 100);
//   CGAffineTransform display = frame->displayTransformForViewportSize({375, 812}, 1, true);
//
// Orientations are the interface orientations: 1 portrait, 2 portrait upside down,
// 3 landscape right, 4 landscape left (0 unknown). The image is fitted to fill the viewport
// once turned upright. A frame without an image counts as 0 x 0: its projection uses the field
// of view uncropped and its display transform is not finite.
//
// A frame holds one retain on its image for its lifetime. It is immutable apart from
// fieldOfView, which may be read and written from any thread.
#ifndef FACE_SDK_AUGMENTED_FACE_FRAME_H_
#define FACE_SDK_AUGMENTED_FACE_FRAME_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "face_sdk/augmented_face.h"
#include "platform/coregraphics/geometry.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/simd/simd.h"

class QVXAugmentedFaceFrame {
 public:
  // `face` and `capturedImage` may be null; `fieldOfView` is in degrees across the image's width.
  static std::shared_ptr<QVXAugmentedFaceFrame> initWithFace(
      std::shared_ptr<QVXAugmentedFace> face, CVPixelBufferRef capturedImage, double timestamp,
      float fieldOfView);

  QVXAugmentedFaceFrame(std::shared_ptr<QVXAugmentedFace> face, CVPixelBufferRef capturedImage,
                        double timestamp, float fieldOfView);
  ~QVXAugmentedFaceFrame();
  QVXAugmentedFaceFrame(const QVXAugmentedFaceFrame&) = delete;
  QVXAugmentedFaceFrame& operator=(const QVXAugmentedFaceFrame&) = delete;

  std::shared_ptr<QVXAugmentedFace> face() const { return face_; }
  CVPixelBufferRef capturedImage() const { return capturedImage_; }
  double timestamp() const { return timestamp_; }
  float fieldOfView() const { return fieldOfView_.load(); }
  void setFieldOfView(float degrees) { fieldOfView_.store(degrees); }

  // A perspective projection for the viewport, turned by the orientation's camera rotation
  // about z; mirroring negates x in portrait and y in landscape.
  simd_float4x4 projectionMatrixForViewportSize(CGSize viewportSize, int64_t orientation,
                                                bool mirrored, double zNear, double zFar) const;
  // Scales the image to fill the viewport, then turns it upright (scale, then rotation).
  CGAffineTransform displayTransformForViewportSize(CGSize viewportSize, int64_t orientation,
                                                    bool mirrored) const;

 private:
  const std::shared_ptr<QVXAugmentedFace> face_;
  const CVPixelBufferRef capturedImage_;
  const double timestamp_;
  std::atomic<float> fieldOfView_;
};

#endif  // FACE_SDK_AUGMENTED_FACE_FRAME_H_
