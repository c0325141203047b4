#include "platform/metal/pixel_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/metal/half.h"

namespace platform::metal {
namespace {

constexpr PixelFormatInfo kFormats[] = {
    {MTLPixelFormatR8Unorm, "R8Unorm", 1, ChannelType::kUnorm8, 1},
    {MTLPixelFormatR8Uint, "R8Uint", 1, ChannelType::kUint8, 1},
    {MTLPixelFormatR16Float, "R16Float", 1, ChannelType::kFloat16, 2},
    {MTLPixelFormatRG8Unorm, "RG8Unorm", 2, ChannelType::kUnorm8, 2},
    {MTLPixelFormatR32Float, "R32Float", 1, ChannelType::kFloat32, 4},
    {MTLPixelFormatRG16Float, "RG16Float", 2, ChannelType::kFloat16, 4},
    {MTLPixelFormatRGBA8Unorm, "RGBA8Unorm", 4, ChannelType::kUnorm8, 4},
    {MTLPixelFormatBGRA8Unorm, "BGRA8Unorm", 4, ChannelType::kUnorm8, 4},
    {MTLPixelFormatRG32Float, "RG32Float", 2, ChannelType::kFloat32, 8},
    {MTLPixelFormatRGBA16Float, "RGBA16Float", 4, ChannelType::kFloat16, 8},
    {MTLPixelFormatRGBA32Float, "RGBA32Float", 4, ChannelType::kFloat32, 16},
};

float ReadChannel(ChannelType type, const uint8_t* p, int i) {
  switch (type) {
    case ChannelType::kUnorm8:
      return p[i] / 255.0f;
    case ChannelType::kUint8:
      return static_cast<float>(p[i]);
    case ChannelType::kFloat16: {
      uint16_t h;
      std::memcpy(&h, p + 2 * i, 2);
      return HalfToFloat(h);
    }
    case ChannelType::kFloat32: {
      float f;
      std::memcpy(&f, p + 4 * i, 4);
      return f;
    }
  }
  return 0;
}

uint8_t ToByte(float v, float scale) {
  if (!(v > 0)) return 0;  // also NaN
  return static_cast<uint8_t>(std::lround(std::min(v * scale, 255.0f)));
}

void WriteChannel(ChannelType type, float v, uint8_t* p, int i) {
  switch (type) {
    case ChannelType::kUnorm8:
      p[i] = ToByte(v, 255.0f);
      return;
    case ChannelType::kUint8:
      p[i] = ToByte(v, 1.0f);
      return;
    case ChannelType::kFloat16: {
      const uint16_t h = FloatToHalf(v);
      std::memcpy(p + 2 * i, &h, 2);
      return;
    }
    case ChannelType::kFloat32:
      std::memcpy(p + 4 * i, &v, 4);
      return;
  }
}

}  // namespace

const PixelFormatInfo* FindPixelFormatInfo(MTLPixelFormat format) {
  for (const PixelFormatInfo& info : kFormats) {
    if (info.format == format) return &info;
  }
  return nullptr;
}

float4 DecodeTexel(const PixelFormatInfo& info, const uint8_t* texel) {
  float4 value = {0, 0, 0, 1};
  for (int i = 0; i < info.channels; ++i) value[i] = ReadChannel(info.type, texel, i);
  if (info.format == MTLPixelFormatBGRA8Unorm) std::swap(value[0], value[2]);
  return value;
}

void EncodeTexel(const PixelFormatInfo& info, const float4& value, uint8_t* texel) {
  float4 stored = value;
  if (info.format == MTLPixelFormatBGRA8Unorm) std::swap(stored[0], stored[2]);
  for (int i = 0; i < info.channels; ++i) WriteChannel(info.type, stored[i], texel, i);
}

}  // namespace platform::metal
