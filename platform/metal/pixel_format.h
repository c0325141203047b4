#ifndef PLATFORM_METAL_PIXEL_FORMAT_H_
#define PLATFORM_METAL_PIXEL_FORMAT_H_

// The texel layouts of the pixel formats a texture can have on the CPU Metal device, and the
// conversion of one texel to and from the four floats shaders see.
//
// Reading gives (r, g, b, a) with the components a format lacks filled in as (0, 0, 0, 1):
// an R8Unorm texel of 255 reads as (1, 0, 0, 1). Unorm channels map 0..255 to 0..1 and are
// written back clamped and rounded to nearest; the integer format R8Uint reads its value as
// a float (200 reads as 200.0) and is written clamped to 0..255 and rounded; half channels
// are binary16 (half.h), rounded to nearest even when written. BGRA8Unorm keeps blue first
// in memory, as its name says.

#include <cstdint>

#include "platform/metal/types.h"

namespace platform::metal {

// Four floats in one SIMD register: how texels travel inside the device (returning a
// std::array of four floats splits it over two registers and stalls where it is put back).
typedef float TexelVector __attribute__((vector_size(16)));

enum class ChannelType { kUnorm8, kUint8, kFloat16, kFloat32 };

struct PixelFormatInfo {
  MTLPixelFormat format;
  const char* name;  // without the "MTLPixelFormat" prefix
  int channels;      // 1, 2 or 4
  ChannelType type;
  int bytes_per_pixel;
  // The conversions of one texel, specialised for the format (what DecodeTexel and
  // EncodeTexel call).
  TexelVector (*decode)(const uint8_t* texel);
  void (*encode)(const float4& value, uint8_t* texel);
  // The bilinear blend of four texels: texels `left` and `right` of the rows at `top` and
  // `bottom`, weighted wx towards the right and wy towards the bottom (top-left + (top-right -
  // top-left) * wx, the same below, then blended by wy). One call per sample, with the texel
  // conversions inlined.
  TexelVector (*bilinear)(const uint8_t* top, const uint8_t* bottom, int left, int right, float wx, float wy);
};

// The layout of `format`, or null for a format no texture can have here.
const PixelFormatInfo* FindPixelFormatInfo(MTLPixelFormat format);

inline float4 DecodeTexel(const PixelFormatInfo& info, const uint8_t* texel) {
  const TexelVector v = info.decode(texel);
  return float4{v[0], v[1], v[2], v[3]};
}
inline void EncodeTexel(const PixelFormatInfo& info, const float4& value, uint8_t* texel) {
  info.encode(value, texel);
}

}  // namespace platform::metal

#endif  // PLATFORM_METAL_PIXEL_FORMAT_H_
