#ifndef PLATFORM_COREGRAPHICS_PIXEL_LAYOUT_H_
#define PLATFORM_COREGRAPHICS_PIXEL_LAYOUT_H_

// Reading and writing 8-bit pixels of the bitmap layouts this stand-in supports; shared by
// Core Graphics and the Accelerate stand-in.
//
//   PixelLayout layout;
//   LayoutForBitmap(8, 32, 3, kCGImageAlphaFirst | kCGBitmapByteOrder32Little, &layout);  // BGRA
//   Rgba colour = layout.Read(pixel);      // straight (not premultiplied) R, G, B, A
//   gray_layout.Write(colour, out);        // luminance
//
// Supported: 8 bits per component; gray without alpha (8 bits a pixel); RGB without alpha
// (24 bits, R, G, B); RGB with an alpha or skipped byte first or last (32 bits), in default
// (big-endian) or 32-bit little-endian byte order, straight or premultiplied.
//
// No colour management: gray from RGB is the Rec. 709 luma of the stored values,
// round(0.2126 R + 0.7152 G + 0.0722 B), and RGB from gray repeats the gray value.

#include <cstddef>
#include <cstdint>

#include "platform/coregraphics/bitmap_info.h"

namespace platform::coregraphics {

struct Rgba {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  uint8_t a = 255;
};

struct PixelLayout {
  int bytes_per_pixel = 0;
  // Byte offsets within a pixel, -1 when absent. A gray layout has only `gray`.
  int gray = -1;
  int red = -1;
  int green = -1;
  int blue = -1;
  int alpha = -1;
  int skipped = -1;  // a byte that holds nothing; written as 255
  bool premultiplied = false;

  bool has_alpha() const { return alpha >= 0; }
  // The straight colour of the pixel at `p`; alpha 255 when the layout has none.
  Rgba Read(const uint8_t* p) const;
  // Stores `c` (straight); its alpha is dropped when the layout has none.
  void Write(const Rgba& c, uint8_t* p) const;
};

// The layout of a bitmap with `color_components` colour channels (1 gray, 3 RGB); false when
// the combination is not supported.
bool LayoutForBitmap(size_t bits_per_component, size_t bits_per_pixel, size_t color_components,
                     CGBitmapInfo bitmap_info, PixelLayout* layout);

uint8_t Luma(const Rgba& c);
// `c` composited over an opaque `background` (result alpha 255).
Rgba Flatten(const Rgba& c, const Rgba& background);
// Source-over compositing of straight colours.
Rgba SourceOver(const Rgba& src, const Rgba& dst);

}  // namespace platform::coregraphics

#endif  // PLATFORM_COREGRAPHICS_PIXEL_LAYOUT_H_
