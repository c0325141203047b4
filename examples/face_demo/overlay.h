// The demo's picture of a result: the face mesh projected through the frame's camera and drawn
// over the camera image.
//
//   CFHolder<CVPixelBufferRef> picture = CopyBgraPixelBuffer(frame->capturedImage());
//   DrawFaceMesh(*frame, picture.get());
//   WritePixelBufferAsPng(picture.get(), "out/frame_0001.png", &error);
//
// The camera is the one the session describes to the face graph for an image that is not turned:
// the frame's field of view across the image width. Points behind the camera are not drawn, and
// lines are clipped to the image.
#ifndef EXAMPLES_FACE_DEMO_OVERLAY_H_
#define EXAMPLES_FACE_DEMO_OVERLAY_H_

#include <cstddef>
#include <cstdint>

#include "face_sdk/augmented_face_frame.h"
#include "gpu/cf_holder.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/simd/simd.h"

namespace face_demo {

struct Colour {
  uint8_t b, g, r;
};

// A new BGRA buffer with the same pixels; empty when `image` is not a BGRA buffer.
CFHolder<CVPixelBufferRef> CopyBgraPixelBuffer(CVPixelBufferRef image);

// A perspective projection (column-major, camera looking down -z) for an image of `width` x
// `height` pixels whose field of view across its width is `fieldOfView` degrees; near 0.05 m,
// far 100 m.
simd_float4x4 CameraProjection(float fieldOfView, double width, double height);

// Where the camera-space point lands in an image of `width` x `height` pixels under
// `projection` (y grows downward). False when the point is behind the camera.
bool ProjectToImage(const simd_float4x4& projection, simd_float4 point, double width,
                    double height, double* x, double* y);

// Draws the straight line from (x0, y0) to (x1, y1), clipped to the image.
void DrawLine(CVPixelBufferRef image, double x0, double y0, double x1, double y1, Colour colour);

// Draws the edges of every triangle of the frame's face mesh (nothing when the frame has no
// face) onto `image`, a BGRA buffer of the frame image's size. Returns how many mesh vertices
// landed inside the image.
size_t DrawFaceMesh(const QVXAugmentedFaceFrame& frame, CVPixelBufferRef image);

}  // namespace face_demo

#endif  // EXAMPLES_FACE_DEMO_OVERLAY_H_
