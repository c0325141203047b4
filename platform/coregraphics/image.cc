#include "platform/coregraphics/image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/logging.h"
#include "platform/coregraphics/pixel_layout.h"

using platform::coregraphics::PixelLayout;
using platform::coregraphics::Rgba;

namespace {

// Geometry and layout shared by contexts and images.
struct Bitmap {
  size_t width = 0;
  size_t height = 0;
  size_t bits_per_component = 0;
  size_t bytes_per_row = 0;
  CGBitmapInfo bitmap_info = 0;
  CGColorSpaceRef space = nullptr;  // retained
  PixelLayout layout;
};

}  // namespace

struct CGContextObject final : platform::corefoundation::Object {
  CGContextObject() : Object(CGContextGetTypeID()) {}
  ~CGContextObject() override { CGColorSpaceRelease(bitmap.space); }

  Bitmap bitmap;
  uint8_t* data = nullptr;
  std::vector<uint8_t> own_memory;  // when the caller gave no memory
};

struct CGImageObject final : platform::corefoundation::Object {
  CGImageObject() : Object(CGImageGetTypeID()) {}
  ~CGImageObject() override { CGColorSpaceRelease(bitmap.space); }

  Bitmap bitmap;
  std::vector<uint8_t> pixels;
};

namespace {

// The pixel rows and columns that a user-space rectangle covers, clipped to the bitmap.
struct PixelRect {
  long x0, x1, y0, y1;  // columns [x0, x1), memory rows [y0, y1)
};

PixelRect Cover(const Bitmap& bitmap, CGRect rect) {
  const long w = static_cast<long>(bitmap.width);
  const long h = static_cast<long>(bitmap.height);
  const long left = std::lround(rect.origin.x);
  const long right = std::lround(rect.origin.x + rect.size.width);
  // User space grows upwards from the bottom row.
  const long top = h - std::lround(rect.origin.y + rect.size.height);
  const long bottom = h - std::lround(rect.origin.y);
  return PixelRect{std::clamp(left, 0L, w), std::clamp(right, 0L, w), std::clamp(top, 0L, h),
                   std::clamp(bottom, 0L, h)};
}

}  // namespace

CFTypeID CGImageGetTypeID() {
  static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
  return type_id;
}

CFTypeID CGContextGetTypeID() {
  static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
  return type_id;
}

CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height,
                                   size_t bits_per_component, size_t bytes_per_row,
                                   CGColorSpaceRef space, uint32_t bitmap_info) {
  if (space == nullptr || width == 0 || height == 0) return nullptr;
  Bitmap bitmap{width, height, bits_per_component, bytes_per_row, bitmap_info, nullptr, {}};
  // 32 bits a pixel when RGB comes with an alpha or skipped byte.
  const size_t components = CGColorSpaceGetNumberOfComponents(space);
  const bool four_bytes = components == 3 && (bitmap_info & kCGBitmapAlphaInfoMask) != kCGImageAlphaNone;
  const size_t bits_per_pixel = components == 1 ? 8 : (four_bytes ? 32 : 24);
  if (!platform::coregraphics::LayoutForBitmap(bits_per_component, bits_per_pixel, components,
                                               bitmap_info, &bitmap.layout)) {
    return nullptr;
  }
  const size_t packed = width * bitmap.layout.bytes_per_pixel;
  if (bytes_per_row == 0 && data == nullptr) bitmap.bytes_per_row = packed;
  if (bitmap.bytes_per_row < packed) return nullptr;
  auto* context = new CGContextObject;
  bitmap.space = CGColorSpaceRetain(space);
  context->bitmap = bitmap;
  if (data == nullptr) {
    context->own_memory.assign(bitmap.bytes_per_row * height, 0);
    data = context->own_memory.data();
  }
  context->data = static_cast<uint8_t*>(data);
  return context;
}

CGImageRef CGBitmapContextCreateImage(CGContextRef context) {
  if (context == nullptr) return nullptr;
  auto* image = new CGImageObject;
  image->bitmap = context->bitmap;
  CGColorSpaceRetain(image->bitmap.space);
  image->pixels.assign(context->data, context->data + context->bitmap.bytes_per_row * context->bitmap.height);
  return image;
}

void* CGBitmapContextGetData(CGContextRef context) { return context ? context->data : nullptr; }
size_t CGBitmapContextGetWidth(CGContextRef context) { return context ? context->bitmap.width : 0; }
size_t CGBitmapContextGetHeight(CGContextRef context) { return context ? context->bitmap.height : 0; }
size_t CGBitmapContextGetBytesPerRow(CGContextRef context) {
  return context ? context->bitmap.bytes_per_row : 0;
}

void CGContextClearRect(CGContextRef context, CGRect rect) {
  if (context == nullptr) return;
  const Bitmap& b = context->bitmap;
  const PixelRect r = Cover(b, rect);
  if (r.x1 <= r.x0) return;
  for (long y = r.y0; y < r.y1; ++y) {
    memset(context->data + y * b.bytes_per_row + r.x0 * b.layout.bytes_per_pixel, 0,
           (r.x1 - r.x0) * b.layout.bytes_per_pixel);
  }
}

void CGContextDrawImage(CGContextRef context, CGRect rect, CGImageRef image) {
  if (context == nullptr || image == nullptr || rect.size.width <= 0 || rect.size.height <= 0) return;
  const Bitmap& dst = context->bitmap;
  const Bitmap& src = image->bitmap;
  const PixelRect r = Cover(dst, rect);
  const double top = static_cast<double>(dst.height) - (rect.origin.y + rect.size.height);
  for (long y = r.y0; y < r.y1; ++y) {
    const long sy = std::clamp<long>(
        std::floor((y + 0.5 - top) * src.height / rect.size.height), 0, src.height - 1);
    const uint8_t* src_row = image->pixels.data() + sy * src.bytes_per_row;
    uint8_t* dst_row = context->data + y * dst.bytes_per_row;
    for (long x = r.x0; x < r.x1; ++x) {
      const long sx = std::clamp<long>(
          std::floor((x + 0.5 - rect.origin.x) * src.width / rect.size.width), 0, src.width - 1);
      uint8_t* out = dst_row + x * dst.layout.bytes_per_pixel;
      Rgba colour = platform::coregraphics::SourceOver(
          src.layout.Read(src_row + sx * src.layout.bytes_per_pixel), dst.layout.Read(out));
      dst.layout.Write(colour, out);
    }
  }
}

CGContextRef CGContextRetain(CGContextRef context) {
  if (context != nullptr) CFRetain(context);
  return context;
}

void CGContextRelease(CGContextRef context) {
  if (context != nullptr) CFRelease(context);
}

CGImageRef CGImageRetain(CGImageRef image) {
  if (image != nullptr) CFRetain(image);
  return image;
}

void CGImageRelease(CGImageRef image) {
  if (image != nullptr) CFRelease(image);
}

size_t CGImageGetWidth(CGImageRef image) { return image ? image->bitmap.width : 0; }
size_t CGImageGetHeight(CGImageRef image) { return image ? image->bitmap.height : 0; }
size_t CGImageGetBitsPerComponent(CGImageRef image) {
  return image ? image->bitmap.bits_per_component : 0;
}
size_t CGImageGetBitsPerPixel(CGImageRef image) {
  return image ? image->bitmap.layout.bytes_per_pixel * 8 : 0;
}
size_t CGImageGetBytesPerRow(CGImageRef image) { return image ? image->bitmap.bytes_per_row : 0; }
CGColorSpaceRef CGImageGetColorSpace(CGImageRef image) { return image ? image->bitmap.space : nullptr; }
CGBitmapInfo CGImageGetBitmapInfo(CGImageRef image) { return image ? image->bitmap.bitmap_info : 0; }

namespace platform::coregraphics {

const uint8_t* ImageBytes(CGImageRef image) { return image ? image->pixels.data() : nullptr; }

}  // namespace platform::coregraphics
