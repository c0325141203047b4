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
  // The last elements through the same instruction, so that a signalling NaN is quieted
  // wherever it stands.
  if (i < n) {
    alignas(16) uint16_t in[8] = {};
    alignas(32) float out[8];
    std::copy(h + i, h + n, in);
    _mm256_store_ps(out, _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(in))));
    std::copy(out, out + (n - i), f + i);
  }
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

// PHWC4 <-> NHWC a pixel at a time, all of a pixel's slices in turn, so the NHWC side is
// written (or read) in address order. A last slice of fewer than four channels still moves a
// whole texel: on the NHWC side the extra lanes fall on the next pixel's first channels, which
// following pixels write afterwards (or which are masked off on reading); only texels whose
// four lanes would reach past the tensor's end are moved lane by lane.
// Two pixels of one slice (c <= 4) at a time: their texels widened in one vector, the lanes of
// the channels moved together and stored as eight floats, the lanes past the second pixel
// falling where the next pixels go.
__attribute__((target("avx2,f16c"))) size_t OneSliceToNHWCAvx2(const uint16_t* src, int c,
                                                               size_t pixels, float* dst) {
  alignas(32) static constexpr int32_t kLanes[4][8] = {{0, 4, 0, 0, 0, 0, 0, 0},
                                                       {0, 1, 4, 5, 0, 0, 0, 0},
                                                       {0, 1, 2, 4, 5, 6, 0, 0},
                                                       {0, 1, 2, 3, 4, 5, 6, 7}};
  const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLanes[c - 1]));
  size_t p = 0;
  // The eight floats stored for pixels p and p + 1 must stay inside the tensor.
  for (; p * c + 8 <= pixels * c; p += 2) {
    const __m256 two =
        _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * p)));
    _mm256_storeu_ps(dst + p * c, _mm256_permutevar8x32_ps(two, lanes));
  }
  return p;
}

__attribute__((target("f16c"))) void PHWC4ToNHWCF16C(const uint16_t* src, const BHWC& s,
                                                      float* dst) {
  const int slices = (s.c + 3) / 4;
  if (slices == 1 && base::CpuHasAvx2FmaF16c()) {
    // Batches follow each other on both sides.
    const size_t pixels = static_cast<size_t>(s.b) * s.h * s.w;
    const size_t done = OneSliceToNHWCAvx2(src, s.c, pixels, dst);
    for (size_t p = done; p < pixels; ++p) {
      alignas(16) float values[4];
      _mm_store_ps(values,
                   _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 4 * p))));
      for (int k = 0; k < s.c; ++k) dst[p * s.c + k] = values[k];
    }
    return;
  }
  const size_t plane = static_cast<size_t>(s.h) * s.w * 4;
  const size_t pixels = static_cast<size_t>(s.h) * s.w;
  const float* const end = dst + static_cast<size_t>(s.b) * pixels * s.c;
  for (int b = 0; b < s.b; ++b) {
    const uint16_t* in = src + static_cast<size_t>(b) * slices * plane;
    float* out = dst + static_cast<size_t>(b) * pixels * s.c;
    for (size_t p = 0; p < pixels; ++p, out += s.c) {
      for (int z = 0; z < slices; ++z) {
        const __m128 four = _mm_cvtph_ps(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + z * plane + 4 * p)));
        const int count = std::min(4, s.c - 4 * z);
        if (out + 4 * z + 4 <= end) {
          _mm_storeu_ps(out + 4 * z, four);
        } else {
          alignas(16) float values[4];
          _mm_store_ps(values, four);
          for (int k = 0; k < count; ++k) out[4 * z + k] = values[k];
        }
      }
    }
  }
}

__attribute__((target("f16c"))) void NHWCToPHWC4F16C(const float* src, const BHWC& s,
                                                      uint16_t* dst) {
  const int slices = (s.c + 3) / 4;
  const size_t plane = static_cast<size_t>(s.h) * s.w * 4;
  const size_t pixels = static_cast<size_t>(s.h) * s.w;
  const int tail = s.c - 4 * (slices - 1);  // channels of the last slice
  const __m128 tail_lanes = _mm_castsi128_ps(
      _mm_cmpgt_epi32(_mm_set1_epi32(tail), _mm_setr_epi32(0, 1, 2, 3)));
  const float* const end = src + static_cast<size_t>(s.b) * pixels * s.c;
  for (int b = 0; b < s.b; ++b) {
    const float* in = src + static_cast<size_t>(b) * pixels * s.c;
    uint16_t* out = dst + static_cast<size_t>(b) * slices * plane;
    for (size_t p = 0; p < pixels; ++p, in += s.c) {
      for (int z = 0; z < slices; ++z) {
        __m128 four;
        if (z + 1 < slices || tail == 4) {
          four = _mm_loadu_ps(in + 4 * z);
        } else if (in + 4 * z + 4 <= end) {
          four = _mm_and_ps(_mm_loadu_ps(in + 4 * z), tail_lanes);
        } else {
          alignas(16) float values[4] = {0, 0, 0, 0};
          for (int k = 0; k < tail; ++k) values[k] = in[4 * z + k];
          four = _mm_load_ps(values);
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + z * plane + 4 * p),
                         _mm_cvtps_ph(four, _MM_FROUND_TO_NEAREST_INT));
      }
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

float RoundToHalf(float value) { return HalfToFloat(FloatToHalf(value)); }

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
