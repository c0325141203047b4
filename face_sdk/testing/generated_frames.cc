#include "face_sdk/testing/generated_frames.h"

#include <cstdint>
#include <cstdio>

#include "platform/corevideo/pixel_format.h"
#include "tools/face_models/face_layout.h"

namespace face_sdk_testing {

namespace {

struct Bgr {
  uint8_t b, g, r;
};

constexpr Bgr kBackground{35, 30, 30};
constexpr Bgr kSkin{170, 195, 230};
constexpr Bgr kEye{45, 40, 40};
constexpr Bgr kMouth{70, 60, 140};

// Whether (x, y) lies in the ellipse of centre (cx, cy) and semi-axes (rx, ry).
bool InEllipse(double x, double y, double cx, double cy, double rx, double ry) {
  const double dx = (x - cx) / rx;
  const double dy = (y - cy) / ry;
  return dx * dx + dy * dy <= 1.0;
}

}  // namespace

std::string GeneratedFrames::name(size_t index) const {
  char text[32];
  std::snprintf(text, sizeof(text), "frame_%04zu", index);
  return text;
}

void GeneratedFrames::patchCenter(size_t index, double* x, double* y) const {
  // Left to right over the first half of the frames, back over the second.
  const double phase = count_ > 1 ? double(index) / double(count_ - 1) : 0.0;
  const double sweep = phase <= 0.5 ? phase * 2 : (1 - phase) * 2;
  *x = double(width_) * (0.3 + 0.4 * sweep);
  *y = double(height_) * 0.5;
}

CFHolder<CVPixelBufferRef> GeneratedFrames::frame(size_t index, std::string* error) const {
  CVPixelBufferRef created = nullptr;
  if (CVPixelBufferCreate(nullptr, width_, height_, kCVPixelFormatType_32BGRA, nullptr,
                          &created) != kCVReturnSuccess) {
    *error = name(index) + ": could not allocate a pixel buffer";
    return {};
  }
  CFHolder<CVPixelBufferRef> buffer = MakeCFHolderAdopting(created);
  if (CVPixelBufferLockBaseAddress(buffer.get(), 0) != kCVReturnSuccess) {
    *error = name(index) + ": could not lock its pixel buffer";
    return {};
  }
  double cx, cy;
  patchCenter(index, &cx, &cy);
  const tools::face_models::FacePatch patch =
      tools::face_models::FacePatchOfHeight(cx, cy, double(height_) * 0.5);
  const double rx = patch.half_width;
  const double ry = patch.half_height;
  auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(buffer.get()));
  const size_t stride = CVPixelBufferGetBytesPerRow(buffer.get());
  for (size_t row = 0; row < height_; ++row) {
    uint8_t* pixel = base + row * stride;
    const double y = double(row) + 0.5;
    for (size_t column = 0; column < width_; ++column, pixel += 4) {
      const double x = double(column) + 0.5;
      Bgr colour = kBackground;
      if (tools::face_models::InsideFacePatch(patch, int(column), int(row))) {
        colour = kSkin;
        if (InEllipse(x, y, cx - 0.38 * rx, cy - 0.22 * ry, 0.15 * rx, 0.09 * ry) ||
            InEllipse(x, y, cx + 0.38 * rx, cy - 0.22 * ry, 0.15 * rx, 0.09 * ry)) {
          colour = kEye;
        } else if (InEllipse(x, y, cx, cy + 0.48 * ry, 0.35 * rx, 0.08 * ry)) {
          colour = kMouth;
        }
      }
      pixel[0] = colour.b;
      pixel[1] = colour.g;
      pixel[2] = colour.r;
      pixel[3] = 255;
    }
  }
  CVPixelBufferUnlockBaseAddress(buffer.get(), 0);
  return buffer;
}

}  // namespace face_sdk_testing
