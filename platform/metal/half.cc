#include "platform/metal/half.h"

#include <bit>

#include "base/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace platform::metal {

float HalfToFloat(uint16_t half) {
  const uint32_t sign = uint32_t{half & 0x8000u} << 16;
  const uint32_t exponent = (half >> 10) & 0x1f;
  const uint32_t mantissa = half & 0x3ffu;
  if (exponent == 0) {
    // Zero or subnormal: mantissa * 2^-24 is exact in a float.
    const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
    return std::bit_cast<float>(std::bit_cast<uint32_t>(magnitude) | sign);
  }
  if (exponent == 31) return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
  return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

uint16_t FloatToHalf(float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const uint32_t sign = (bits >> 16) & 0x8000u;
  const uint32_t magnitude = bits & 0x7fffffffu;
  if (magnitude >= 0x7f800000u) {  // infinity or NaN
    if (magnitude == 0x7f800000u) return static_cast<uint16_t>(sign | 0x7c00u);
    return static_cast<uint16_t>(sign | 0x7e00u | ((magnitude >> 13) & 0x3ffu));
  }
  if (magnitude >= 0x477ff000u) return static_cast<uint16_t>(sign | 0x7c00u);  // >= 65520
  if (magnitude >= 0x38800000u) {  // a normal half: rebias, then round at bit 13, ties to even
    uint32_t rebiased = magnitude - 0x38000000u;
    rebiased += 0xfffu + ((rebiased >> 13) & 1u);
    return static_cast<uint16_t>(sign | (rebiased >> 13));
  }
  // Subnormal or zero: adding 0.5 leaves a float whose last mantissa bit weighs 2^-24, the
  // half subnormal step, so the addition itself rounds to nearest even.
  const float shifted = std::bit_cast<float>(magnitude) + 0.5f;
  return static_cast<uint16_t>(sign | (std::bit_cast<uint32_t>(shifted) - 0x3f000000u));
}

namespace {

#if defined(__x86_64__)
// The conversion instruction rounds to nearest even and quiets NaNs as FloatToHalf does (half_test
// checks them against each other).
__attribute__((target("avx,f16c"))) size_t FloatsToHalvesF16C(const float* values, size_t count, uint16_t* halves) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i packed = _mm256_cvtps_ph(_mm256_loadu_ps(values + i), _MM_FROUND_TO_NEAREST_INT);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves + i), packed);
  }
  return i;
}

const bool kHasF16C = base::CpuHasF16c();
#endif

}  // namespace

void FloatsToHalves(const float* values, size_t count, uint16_t* halves) {
  size_t done = 0;
#if defined(__x86_64__)
  if (kHasF16C) done = FloatsToHalvesF16C(values, count, halves);
#endif
  for (size_t i = done; i < count; ++i) halves[i] = FloatToHalf(values[i]);
}

}  // namespace platform::metal
