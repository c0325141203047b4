#ifndef PLATFORM_COREGRAPHICS_BITMAP_INFO_H_
#define PLATFORM_COREGRAPHICS_BITMAP_INFO_H_

// How a bitmap stores alpha and orders the bytes of a pixel.
//
// The low five bits are a CGImageAlphaInfo; the byte order bits say how a 32-bit pixel
// is stored: kCGBitmapByteOrder32Little on an ARGB ("alpha first") pixel puts B, G, R, A in
// memory, the default (big-endian) order puts A, R, G, B.

#include <cstdint>

using CGBitmapInfo = uint32_t;

enum CGImageAlphaInfo : uint32_t {
  kCGImageAlphaNone = 0,
  kCGImageAlphaPremultipliedLast = 1,
  kCGImageAlphaPremultipliedFirst = 2,
  kCGImageAlphaLast = 3,
  kCGImageAlphaFirst = 4,
  kCGImageAlphaNoneSkipLast = 5,
  kCGImageAlphaNoneSkipFirst = 6,
  kCGImageAlphaOnly = 7,
};

inline constexpr CGBitmapInfo kCGBitmapAlphaInfoMask = 0x1F;
inline constexpr CGBitmapInfo kCGBitmapFloatComponents = 1u << 8;
inline constexpr CGBitmapInfo kCGBitmapByteOrderMask = 0x7000;
inline constexpr CGBitmapInfo kCGBitmapByteOrderDefault = 0;
inline constexpr CGBitmapInfo kCGBitmapByteOrder16Little = 1u << 12;
inline constexpr CGBitmapInfo kCGBitmapByteOrder32Little = 2u << 12;
inline constexpr CGBitmapInfo kCGBitmapByteOrder16Big = 3u << 12;
inline constexpr CGBitmapInfo kCGBitmapByteOrder32Big = 4u << 12;

#endif  // PLATFORM_COREGRAPHICS_BITMAP_INFO_H_
