#include "examples/face_demo/overlay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "examples/face_demo/image_io.h"
#include "platform/corevideo/pixel_format.h"

namespace face_demo {

namespace {

constexpr Colour kMeshColour{60, 230, 60};

// Clips the segment to [0, width) x [0, height) (Liang-Barsky). False when nothing is left.
bool ClipSegment(double width, double height, double* x0, double* y0, double* x1, double* y1) {
  const double dx = *x1 - *x0;
  const double dy = *y1 - *y0;
  double t0 = 0, t1 = 1;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {*x0, width - 1e-6 - *x0, *y0, height - 1e-6 - *y0};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return false;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0) {
      t0 = std::max(t0, t);
    } else {
      t1 = std::min(t1, t);
    }
    if (t0 > t1) return false;
  }
  const double sx = *x0, sy = *y0;
  *x0 = sx + t0 * dx;
  *y0 = sy + t0 * dy;
  *x1 = sx + t1 * dx;
  *y1 = sy + t1 * dy;
  return true;
}

}  // namespace

CFHolder<CVPixelBufferRef> CopyBgraPixelBuffer(CVPixelBufferRef image) {
  if (image == nullptr || CVPixelBufferGetPixelFormatType(image) != kCVPixelFormatType_32BGRA) {
    return {};
  }
  const size_t width = CVPixelBufferGetWidth(image);
  const size_t height = CVPixelBufferGetHeight(image);
  CFHolder<CVPixelBufferRef> copy = MakeBgraPixelBuffer(width, height);
  if (!copy) return {};
  if (CVPixelBufferLockBaseAddress(image, kCVPixelBufferLock_ReadOnly) != kCVReturnSuccess) {
    return {};
  }
  CVPixelBufferLockBaseAddress(copy.get(), 0);
  const auto* from = static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(image));
  auto* to = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(copy.get()));
  const size_t from_stride = CVPixelBufferGetBytesPerRow(image);
  const size_t to_stride = CVPixelBufferGetBytesPerRow(copy.get());
  for (size_t row = 0; row < height; ++row) {
    std::memcpy(to + row * to_stride, from + row * from_stride, width * 4);
  }
  CVPixelBufferUnlockBaseAddress(copy.get(), 0);
  CVPixelBufferUnlockBaseAddress(image, kCVPixelBufferLock_ReadOnly);
  return copy;
}

simd_float4x4 CameraProjection(float fieldOfView, double width, double height) {
  const double aspect = width / height;
  const double horizontal = fieldOfView * M_PI / 180;
  const double focal_x = 1 / std::tan(horizontal / 2);
  const double focal_y = focal_x * aspect;  // tan(vertical / 2) = tan(horizontal / 2) / aspect
  const double near = 0.05, far = 100;
  simd_float4x4 m = {};
  m.columns[0].x = float(focal_x);
  m.columns[1].y = float(focal_y);
  m.columns[2].z = float((near + far) / (near - far));
  m.columns[2].w = -1;
  m.columns[3].z = float(2 * far * near / (near - far));
  return m;
}

bool ProjectToImage(const simd_float4x4& projection, simd_float4 point, double width,
                    double height, double* x, double* y) {
  const simd_float4 clip = simd_mul(projection, point);
  if (!(clip.w > 0)) return false;
  *x = (double(clip.x) / clip.w + 1) * 0.5 * width;
  *y = (1 - double(clip.y) / clip.w) * 0.5 * height;
  return std::isfinite(*x) && std::isfinite(*y);
}

void DrawLine(CVPixelBufferRef image, double x0, double y0, double x1, double y1, Colour colour) {
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) {
    return;
  }
  const double width = double(CVPixelBufferGetWidth(image));
  const double height = double(CVPixelBufferGetHeight(image));
  if (!ClipSegment(width, height, &x0, &y0, &x1, &y1)) return;
  if (CVPixelBufferLockBaseAddress(image, 0) != kCVReturnSuccess) return;
  auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(image));
  const size_t stride = CVPixelBufferGetBytesPerRow(image);
  const int steps = int(std::ceil(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0)))) + 1;
  for (int i = 0; i <= steps; ++i) {
    const double t = double(i) / steps;
    const auto column = size_t(x0 + (x1 - x0) * t);
    const auto row = size_t(y0 + (y1 - y0) * t);
    if (column >= size_t(width) || row >= size_t(height)) continue;
    uint8_t* pixel = base + row * stride + column * 4;
    pixel[0] = colour.b;
    pixel[1] = colour.g;
    pixel[2] = colour.r;
  }
  CVPixelBufferUnlockBaseAddress(image, 0);
}

size_t DrawFaceMesh(const QVXAugmentedFaceFrame& frame, CVPixelBufferRef image) {
  std::shared_ptr<QVXAugmentedFace> face = frame.face();
  if (face == nullptr || face->mesh() == nullptr || image == nullptr) return 0;
  const double width = double(CVPixelBufferGetWidth(image));
  const double height = double(CVPixelBufferGetHeight(image));
  const simd_float4x4 projection = CameraProjection(frame.fieldOfView(), width, height);
  const simd_float4x4 cameraFromFace = face->centerTransform();

  const QVXAugmentedFaceMesh& mesh = *face->mesh();
  std::vector<double> xs(mesh.vertexCount()), ys(mesh.vertexCount());
  std::vector<bool> visible(mesh.vertexCount());
  size_t inside = 0;
  for (uint64_t i = 0; i < mesh.vertexCount(); ++i) {
    simd_float4 vertex = mesh.vertices()[i];
    vertex.w = 1;
    visible[i] = ProjectToImage(projection, simd_mul(cameraFromFace, vertex), width, height,
                                &xs[i], &ys[i]);
    if (visible[i] && xs[i] >= 0 && xs[i] < width && ys[i] >= 0 && ys[i] < height) ++inside;
  }
  const uint16_t* indices = mesh.triangleIndices();
  for (uint64_t t = 0; t < mesh.triangleCount(); ++t) {
    for (int edge = 0; edge < 3; ++edge) {
      const uint16_t a = indices[3 * t + edge];
      const uint16_t b = indices[3 * t + (edge + 1) % 3];
      if (a >= mesh.vertexCount() || b >= mesh.vertexCount() || !visible[a] || !visible[b]) {
        continue;
      }
      DrawLine(image, xs[a], ys[a], xs[b], ys[b], kMeshColour);
    }
  }
  return inside;
}

}  // namespace face_demo
