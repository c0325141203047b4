#include "platform/coregraphics/pixel_layout.h"

#include <algorithm>
#include <cmath>

namespace platform::coregraphics {
namespace {

uint8_t Unpremultiply(uint8_t c, uint8_t a) {
  if (a == 0) return 0;
  return static_cast<uint8_t>(std::min(255, (c * 255 + a / 2) / a));
}

uint8_t Premultiply(uint8_t c, uint8_t a) { return static_cast<uint8_t>((c * a + 127) / 255); }

uint8_t Mix(uint8_t x, uint8_t y, int weight_x) {
  return static_cast<uint8_t>((x * weight_x + y * (255 - weight_x) + 127) / 255);
}

}  // namespace

Rgba PixelLayout::Read(const uint8_t* p) const {
  Rgba c;
  if (gray >= 0) {
    c.r = c.g = c.b = p[gray];
  } else {
    c.r = p[red];
    c.g = p[green];
    c.b = p[blue];
  }
  if (alpha >= 0) {
    c.a = p[alpha];
    if (premultiplied) {
      c.r = Unpremultiply(c.r, c.a);
      c.g = Unpremultiply(c.g, c.a);
      c.b = Unpremultiply(c.b, c.a);
    }
  }
  return c;
}

void PixelLayout::Write(const Rgba& c, uint8_t* p) const {
  Rgba out = c;
  if (alpha >= 0 && premultiplied) {
    out.r = Premultiply(c.r, c.a);
    out.g = Premultiply(c.g, c.a);
    out.b = Premultiply(c.b, c.a);
  }
  if (gray >= 0) {
    p[gray] = Luma(out);
  } else {
    p[red] = out.r;
    p[green] = out.g;
    p[blue] = out.b;
  }
  if (alpha >= 0) p[alpha] = c.a;
  if (skipped >= 0) p[skipped] = 255;
}

bool LayoutForBitmap(size_t bits_per_component, size_t bits_per_pixel, size_t color_components,
                     CGBitmapInfo bitmap_info, PixelLayout* layout) {
  if (bits_per_component != 8 || (bitmap_info & kCGBitmapFloatComponents) != 0) return false;
  const uint32_t alpha_info = bitmap_info & kCGBitmapAlphaInfoMask;
  const CGBitmapInfo order = bitmap_info & kCGBitmapByteOrderMask;
  PixelLayout l;
  if (color_components == 1) {
    if (bits_per_pixel != 8 || alpha_info != kCGImageAlphaNone ||
        (order != kCGBitmapByteOrderDefault)) {
      return false;
    }
    l.bytes_per_pixel = 1;
    l.gray = 0;
  } else if (color_components == 3 && bits_per_pixel == 24) {
    if (alpha_info != kCGImageAlphaNone || order != kCGBitmapByteOrderDefault) return false;
    l = {.bytes_per_pixel = 3, .red = 0, .green = 1, .blue = 2};
  } else if (color_components == 3 && bits_per_pixel == 32) {
    bool first;
    switch (alpha_info) {
      case kCGImageAlphaPremultipliedFirst:
      case kCGImageAlphaFirst:
      case kCGImageAlphaNoneSkipFirst: first = true; break;
      case kCGImageAlphaPremultipliedLast:
      case kCGImageAlphaLast:
      case kCGImageAlphaNoneSkipLast: first = false; break;
      default: return false;
    }
    bool little;
    if (order == kCGBitmapByteOrder32Little) {
      little = true;
    } else if (order == kCGBitmapByteOrderDefault || order == kCGBitmapByteOrder32Big) {
      little = false;
    } else {
      return false;
    }
    // Big-endian memory order: A R G B (first) or R G B A (last); little-endian reverses it.
    int a = first ? 0 : 3;
    int r = first ? 1 : 0;
    int g = r + 1;
    int b = r + 2;
    if (little) {
      a = 3 - a;
      r = 3 - r;
      g = 3 - g;
      b = 3 - b;
    }
    l = {.bytes_per_pixel = 4, .red = r, .green = g, .blue = b};
    const bool skip = alpha_info == kCGImageAlphaNoneSkipFirst || alpha_info == kCGImageAlphaNoneSkipLast;
    (skip ? l.skipped : l.alpha) = a;
    l.premultiplied = alpha_info == kCGImageAlphaPremultipliedFirst ||
                      alpha_info == kCGImageAlphaPremultipliedLast;
  } else {
    return false;
  }
  *layout = l;
  return true;
}

uint8_t Luma(const Rgba& c) {
  return static_cast<uint8_t>(std::lround(0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b));
}

Rgba Flatten(const Rgba& c, const Rgba& background) {
  return Rgba{Mix(c.r, background.r, c.a), Mix(c.g, background.g, c.a),
              Mix(c.b, background.b, c.a), 255};
}

Rgba SourceOver(const Rgba& src, const Rgba& dst) {
  if (src.a == 255 || dst.a == 0) return src;
  if (src.a == 0) return dst;
  const double sa = src.a / 255.0;
  const double da = dst.a / 255.0 * (1 - sa);
  const double out_a = sa + da;
  auto channel = [&](uint8_t s, uint8_t d) {
    return static_cast<uint8_t>(std::lround((s * sa + d * da) / out_a));
  };
  return Rgba{channel(src.r, dst.r), channel(src.g, dst.g), channel(src.b, dst.b),
              static_cast<uint8_t>(std::lround(out_a * 255))};
}

}  // namespace platform::coregraphics
