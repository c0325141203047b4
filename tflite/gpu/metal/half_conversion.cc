#include "tflite/gpu/metal/half_conversion.h"

#include <algorithm>

#include "base/cpu_features.h"
#include "platform/metal/half.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tflite {
namespace gpu {
namespace metal {
namespace {

using platform::metal::FloatToHalf;
using platform::metal::HalfToFloat;

#if defined(__x86_64__)
const bool kHasF16C = base::CpuHasF16c();

__attribute__((target("avx,f16c"))) void HalvesToFloatsF16C(const uint16_t* h, size_t n,
                                                             float* f) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(f + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i))));
  }
  for (; i < n; ++i) f[i] = HalfToFloat(h[i]);
}

__attribute__((target("avx,f16c"))) void FloatsToHalvesF16C(const float* f, size_t n,
                                                             uint16_t* h) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + i),
                     _mm256_cvtps_ph(_mm256_loadu_ps(f + i), _MM_FROUND_TO_NEAREST_INT));
  }
  for (; i < n; ++i) h[i] = FloatToHalf(f[i]);
}

__attribute__((target("avx,f16c"))) void RoundF16C(float* f, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(f + i), _MM_FROUND_TO_NEAREST_INT);
    _mm256_storeu_ps(f + i, _mm256_cvtph_ps(h));
  }
  for (; i < n; ++i) f[i] = HalfToFloat(FloatToHalf(f[i]));
}

// One PHWC4 texel (four halves) to `count` floats, and back with zero padding. The short
// copies are plain loops: a memcpy of a run-time length would be a library call per pixel.
__attribute__((target("f16c"))) inline void TexelToFloats(const uint16_t* texel, int count,
                                                          float* out) {
  const __m128 four = _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(texel)));
  if (count == 4) return _mm_storeu_ps(out, four);
  alignas(16) float values[4];
  _mm_store_ps(values, four);
  for (int k = 0; k < count; ++k) out[k] = values[k];
}
__attribute__((target("f16c"))) inline void FloatsToTexel(const float* in, int count,
                                                          uint16_t* texel) {
  __m128 four;
  if (count == 4) {
    four = _mm_loadu_ps(in);
  } else {
    alignas(16) float values[4] = {0, 0, 0, 0};
    for (int k = 0; k < count; ++k) values[k] = in[k];
    four = _mm_load_ps(values);
  }
  _mm_storel_epi64(reinterpret_cast<__m128i*>(texel),
                   _mm_cvtps_ph(four, _MM_FROUND_TO_NEAREST_INT));
}

__attribute__((target("f16c"))) void PHWC4ToNHWCF16C(const uint16_t* src, const BHWC& s,
                                                      float* dst) {
  const int slices = (s.c + 3) / 4;
  for (int b = 0; b < s.b; ++b) {
    for (int z = 0; z < slices; ++z) {
      const int count = std::min(4, s.c - 4 * z);
      const uint16_t* plane = src + static_cast<size_t>(b * slices + z) * s.h * s.w * 4;
      float* out = dst + static_cast<size_t>(b) * s.h * s.w * s.c + 4 * z;
      for (int p = 0; p < s.h * s.w; ++p) TexelToFloats(plane + 4 * p, count, out + p * s.c);
    }
  }
}

__attribute__((target("f16c"))) void NHWCToPHWC4F16C(const float* src, const BHWC& s,
                                                      uint16_t* dst) {
  const int slices = (s.c + 3) / 4;
  for (int b = 0; b < s.b; ++b) {
    for (int z = 0; z < slices; ++z) {
      const int count = std::min(4, s.c - 4 * z);
      uint16_t* plane = dst + static_cast<size_t>(b * slices + z) * s.h * s.w * 4;
      const float* in = src + static_cast<size_t>(b) * s.h * s.w * s.c + 4 * z;
      for (int p = 0; p < s.h * s.w; ++p) FloatsToTexel(in + p * s.c, count, plane + 4 * p);
    }
  }
}
#endif

void PHWC4ToNHWCScalar(const uint16_t* src, const BHWC& s, float* dst) {
  const int slices = (s.c + 3) / 4;
  for (int b = 0; b < s.b; ++b) {
    for (int y = 0; y < s.h; ++y) {
      for (int x = 0; x < s.w; ++x) {
        for (int k = 0; k < s.c; ++k) {
          dst[((static_cast<size_t>(b) * s.h + y) * s.w + x) * s.c + k] = HalfToFloat(
              src[((static_cast<size_t>(b * slices + k / 4) * s.h + y) * s.w + x) * 4 + k % 4]);
        }
      }
    }
  }
}

void NHWCToPHWC4Scalar(const float* src, const BHWC& s, uint16_t* dst) {
  const int slices = (s.c + 3) / 4;
  for (int b = 0; b < s.b; ++b) {
    for (int y = 0; y < s.h; ++y) {
      for (int x = 0; x < s.w; ++x) {
        for (int k = 0; k < slices * 4; ++k) {
          const float v =
              k < s.c ? src[((static_cast<size_t>(b) * s.h + y) * s.w + x) * s.c + k] : 0.0f;
          dst[((static_cast<size_t>(b * slices + k / 4) * s.h + y) * s.w + x) * 4 + k % 4] =
              FloatToHalf(v);
        }
      }
    }
  }
}

}  // namespace

void HalvesToFloats(const uint16_t* halves, size_t count, float* floats) {
#if defined(__x86_64__)
  if (kHasF16C) return HalvesToFloatsF16C(halves, count, floats);
#endif
  for (size_t i = 0; i < count; ++i) floats[i] = HalfToFloat(halves[i]);
}

void FloatsToHalves(const float* floats, size_t count, uint16_t* halves) {
#if defined(__x86_64__)
  if (kHasF16C) return FloatsToHalvesF16C(floats, count, halves);
#endif
  for (size_t i = 0; i < count; ++i) halves[i] = FloatToHalf(floats[i]);
}

void RoundToHalfPrecision(float* values, size_t count) {
#if defined(__x86_64__)
  if (kHasF16C) return RoundF16C(values, count);
#endif
  for (size_t i = 0; i < count; ++i) values[i] = HalfToFloat(FloatToHalf(values[i]));
}

void PHWC4HalvesToNHWCFloats(const uint16_t* phwc4, const BHWC& shape, float* nhwc) {
#if defined(__x86_64__)
  if (kHasF16C) return PHWC4ToNHWCF16C(phwc4, shape, nhwc);
#endif
  PHWC4ToNHWCScalar(phwc4, shape, nhwc);
}

void NHWCFloatsToPHWC4Halves(const float* nhwc, const BHWC& shape, uint16_t* phwc4) {
#if defined(__x86_64__)
  if (kHasF16C) return NHWCToPHWC4F16C(nhwc, shape, phwc4);
#endif
  NHWCToPHWC4Scalar(nhwc, shape, phwc4);
}

}  // namespace metal
}  // namespace gpu
}  // namespace tflite
