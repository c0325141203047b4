#include "platform/metal/pixel_format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "base/cpu_features.h"
#include "platform/metal/half.h"
#include "platform/metal/texel_codec.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace platform::metal {
namespace {

using texel_codec::Bilinear;
using texel_codec::Decode;

uint8_t ToByte(float v, float scale) {
  if (!(v > 0)) return 0;  // also NaN
  return static_cast<uint8_t>(std::lround(std::min(v * scale, 255.0f)));
}

template <ChannelType kType>
void WriteChannel(float v, uint8_t* p, int i) {
  if constexpr (kType == ChannelType::kUnorm8) {
    p[i] = ToByte(v, 255.0f);
  } else if constexpr (kType == ChannelType::kUint8) {
    p[i] = ToByte(v, 1.0f);
  } else if constexpr (kType == ChannelType::kFloat16) {
    const uint16_t h = FloatToHalf(v);
    std::memcpy(p + 2 * i, &h, 2);
  } else {
    std::memcpy(p + 4 * i, &v, 4);
  }
}

#if defined(__x86_64__)
// Four floats to halves in one instruction where the processor has F16C: the same rounding
// (to nearest even) and NaN handling as FloatToHalf, which half_test checks against it.
//
// The value is read as two 8-byte halves: a float4 returned from a function comes back in two
// registers that are stored as two halves, and one 16-byte load of them would wait for both
// stores to retire instead of taking their bytes straight from the store buffer.
__attribute__((target("f16c"))) void EncodeFourHalvesF16C(const float4& value, uint8_t* texel) {
  const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(value.data()));
  const __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(value.data() + 2));
  const __m128 floats = _mm_castsi128_ps(_mm_unpacklo_epi64(low, high));
  const __m128i halves = _mm_cvtps_ph(floats, _MM_FROUND_TO_NEAREST_INT);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(texel), halves);
}

const bool kHasF16C = base::CpuHasF16c();
#endif

template <ChannelType kType, int kChannels, bool kBlueFirst = false>
void Encode(const float4& value, uint8_t* texel) {
#if defined(__x86_64__)
  if constexpr (kType == ChannelType::kFloat16 && kChannels == 4) {
    if (kHasF16C) return EncodeFourHalvesF16C(value, texel);
  }
#endif
  for (int i = 0; i < kChannels; ++i) {
    const int source = kBlueFirst && (i == 0 || i == 2) ? 2 - i : i;
    WriteChannel<kType>(value[source], texel, i);
  }
}

template <ChannelType kType, int kChannels, bool kBlueFirst = false>
constexpr PixelFormatInfo Format(MTLPixelFormat format, const char* name, int bytes_per_pixel) {
  return PixelFormatInfo{format, name, kChannels, kType, bytes_per_pixel, &Decode<kType, kChannels, kBlueFirst>,
                         &Encode<kType, kChannels, kBlueFirst>, &Bilinear<kType, kChannels, kBlueFirst>};
}

using enum ChannelType;
constexpr PixelFormatInfo kFormats[] = {
    Format<kUnorm8, 1>(MTLPixelFormatR8Unorm, "R8Unorm", 1),
    Format<kUint8, 1>(MTLPixelFormatR8Uint, "R8Uint", 1),
    Format<kFloat16, 1>(MTLPixelFormatR16Float, "R16Float", 2),
    Format<kUnorm8, 2>(MTLPixelFormatRG8Unorm, "RG8Unorm", 2),
    Format<kFloat32, 1>(MTLPixelFormatR32Float, "R32Float", 4),
    Format<kFloat16, 2>(MTLPixelFormatRG16Float, "RG16Float", 4),
    Format<kUnorm8, 4>(MTLPixelFormatRGBA8Unorm, "RGBA8Unorm", 4),
    Format<kUnorm8, 4, true>(MTLPixelFormatBGRA8Unorm, "BGRA8Unorm", 4),
    Format<kFloat32, 2>(MTLPixelFormatRG32Float, "RG32Float", 8),
    Format<kFloat16, 4>(MTLPixelFormatRGBA16Float, "RGBA16Float", 8),
    Format<kFloat32, 4>(MTLPixelFormatRGBA32Float, "RGBA32Float", 16),
};

}  // namespace

const PixelFormatInfo* FindPixelFormatInfo(MTLPixelFormat format) {
  for (const PixelFormatInfo& info : kFormats) {
    if (info.format == format) return &info;
  }
  return nullptr;
}

}  // namespace platform::metal
