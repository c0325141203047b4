#ifndef PLATFORM_METAL_TEXEL_CODEC_H_
#define PLATFORM_METAL_TEXEL_CODEC_H_

// Reading texels of a known format and blending four of them, as templates, so that shader code
// which knows its texture's format inlines them. The pixel format table instantiates the same
// templates, so both give the same bits.

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/metal/half.h"
#include "platform/metal/pixel_format.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace platform::metal::texel_codec {

// i / 255 for every byte, so that reading an unorm channel is one load.
inline constexpr std::array<float, 256> kUnormValues = [] {
  std::array<float, 256> values{};
  for (int i = 0; i < 256; ++i) values[i] = static_cast<float>(i) / 255.0f;
  return values;
}();

template <ChannelType kType>
inline float ReadChannel(const uint8_t* p, int i) {
  if constexpr (kType == ChannelType::kUnorm8) {
    return kUnormValues[p[i]];
  } else if constexpr (kType == ChannelType::kUint8) {
    return static_cast<float>(p[i]);
  } else if constexpr (kType == ChannelType::kFloat16) {
    uint16_t h;
    std::memcpy(&h, p + 2 * i, 2);
    return HalfToFloat(h);
  } else {
    float f;
    std::memcpy(&f, p + 4 * i, 4);
    return f;
  }
}

// kBlueFirst: memory holds (b, g, r, a).
template <ChannelType kType, int kChannels, bool kBlueFirst = false>
inline TexelVector Decode(const uint8_t* texel) {
#if defined(__x86_64__)
  if constexpr (kType == ChannelType::kUnorm8 && kChannels == 4) {
    // All four bytes at once: widened to 32-bit integers, converted and divided by 255, which
    // rounds exactly as the scalar i / 255.0f of the table does.
    uint32_t bytes;
    std::memcpy(&bytes, texel, 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ints =
        _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(bytes)), zero), zero);
    __m128 values = _mm_div_ps(_mm_cvtepi32_ps(ints), _mm_set1_ps(255.0f));
    if constexpr (kBlueFirst) values = _mm_shuffle_ps(values, values, _MM_SHUFFLE(3, 0, 1, 2));
    return reinterpret_cast<TexelVector&>(values);
  }
#endif
  const auto channel = [texel](int i) { return ReadChannel<kType>(texel, i); };
  return TexelVector{channel(kBlueFirst ? 2 : 0), kChannels > 1 ? channel(1) : 0.0f,
                kChannels > 2 ? channel(kBlueFirst ? 0 : 2) : 0.0f, kChannels > 3 ? channel(3) : 1.0f};
}

template <ChannelType kType, int kChannels, bool kBlueFirst = false>
inline TexelVector Bilinear(const uint8_t* top, const uint8_t* bottom, int left, int right, float wx, float wy) {
  constexpr int kBytes = kChannels * (kType == ChannelType::kFloat32 ? 4 : kType == ChannelType::kFloat16 ? 2 : 1);
  const TexelVector t00 = Decode<kType, kChannels, kBlueFirst>(top + left * kBytes);
  const TexelVector t10 = Decode<kType, kChannels, kBlueFirst>(top + right * kBytes);
  const TexelVector t01 = Decode<kType, kChannels, kBlueFirst>(bottom + left * kBytes);
  const TexelVector t11 = Decode<kType, kChannels, kBlueFirst>(bottom + right * kBytes);
  const TexelVector upper = t00 + (t10 - t00) * wx;
  const TexelVector lower = t01 + (t11 - t01) * wx;
  return upper + (lower - upper) * wy;
}

}  // namespace platform::metal::texel_codec

#endif  // PLATFORM_METAL_TEXEL_CODEC_H_
