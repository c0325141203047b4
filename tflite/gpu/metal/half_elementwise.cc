#include "tflite/gpu/metal/half_elementwise.h"

#include <cmath>
#include <cstdint>
#include <numeric>

#include "base/cpu_features.h"
#include "tflite/gpu/metal/half_conversion.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tflite {
namespace gpu {
namespace metal {
namespace {

using Op = HalfElementwiseOp;

// The comparisons are written as the x86 max/min instructions decide, so both paths agree.
float Apply(Op op, float x, float y) {
  switch (op) {
    case Op::kAdd: return x + y;
    case Op::kSub: return x - y;
    case Op::kMul: return x * y;
    case Op::kDiv: return x / y;
    case Op::kMaximum: return x > y ? x : y;
    case Op::kMinimum: return x < y ? x : y;
    case Op::kScaleNegative: return std::signbit(x) ? x * y : x;
    case Op::kClamp: return x;
  }
  return x;
}

void RunScalar(const HalfElementwise& e, const float* first, const float* second, float* out) {
  const float* y = e.constant_second ? e.constant.data() : second;
  const size_t n = e.rows * e.channels;
  for (size_t i = 0; i < n; ++i) {
    float b = 0;
    switch (e.second) {
      case SecondOperand::kNone: break;
      case SecondOperand::kScalar: b = y[0]; break;
      case SecondOperand::kPerChannel: b = y[i % e.channels]; break;
      case SecondOperand::kPerElement: b = y[i]; break;
    }
    if (!e.constant_second && e.round_second) b = RoundToHalf(b);
    float v = Apply(e.op, e.round_first ? RoundToHalf(first[i]) : first[i], b);
    v = v > e.min ? v : e.min;
    v = v < e.max ? v : e.max;
    out[i] = RoundToHalf(v);
  }
}

#if defined(__x86_64__)
const bool kHasAvx2 = base::CpuHasAvx2FmaF16c();

// Lanes [8 - k, 16 - k) of this table enable the first k lanes of a vector.
alignas(32) constexpr int32_t kLaneMasks[16] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                0,  0,  0,  0,  0,  0,  0,  0};

__attribute__((target("avx2,f16c"))) inline __m256 Round8(__m256 v) {
  return _mm256_cvtph_ps(_mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
}

template <Op kOp>
__attribute__((target("avx2,f16c"))) inline __m256 Apply8(__m256 x, __m256 y) {
  if constexpr (kOp == Op::kAdd) return _mm256_add_ps(x, y);
  if constexpr (kOp == Op::kSub) return _mm256_sub_ps(x, y);
  if constexpr (kOp == Op::kMul) return _mm256_mul_ps(x, y);
  if constexpr (kOp == Op::kDiv) return _mm256_div_ps(x, y);
  if constexpr (kOp == Op::kMaximum) return _mm256_max_ps(x, y);
  if constexpr (kOp == Op::kMinimum) return _mm256_min_ps(x, y);
  if constexpr (kOp == Op::kScaleNegative) return _mm256_blendv_ps(x, _mm256_mul_ps(x, y), x);
  return x;
}

// The range's second operand: a vector for every lane, or values beside the first operand's,
// which start over every `period` values when that is not 0 (a multiple of 8).
struct Second {
  const float* values = nullptr;  // null: `fixed`
  size_t period = 0;
  bool round = false;
  __m256 fixed;
};

template <Op kOp, bool kRoundFirst>
__attribute__((target("avx2,f16c"))) inline __m256 One8(__m256 a, __m256 b, __m256 lo,
                                                        __m256 hi) {
  const __m256 v = Apply8<kOp>(kRoundFirst ? Round8(a) : a, b);
  return Round8(_mm256_min_ps(_mm256_max_ps(v, lo), hi));
}

template <Op kOp, bool kRoundFirst>
__attribute__((target("avx2,f16c"))) void Range(const float* x, const Second& y, __m256 lo,
                                                __m256 hi, float* out, size_t n) {
  size_t i = 0, j = 0;  // j: where in the second operand's values
  for (; i + 8 <= n; i += 8, j += 8) {
    if (j == y.period) j = 0;
    __m256 b = y.fixed;
    if (y.values != nullptr) {
      b = _mm256_loadu_ps(y.values + j);
      if (y.round) b = Round8(b);
    }
    _mm256_storeu_ps(out + i, One8<kOp, kRoundFirst>(_mm256_loadu_ps(x + i), b, lo, hi));
  }
  if (i == n) return;
  if (j == y.period) j = 0;
  const __m256i mask =
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLaneMasks + 8 - (n - i)));
  __m256 b = y.fixed;
  if (y.values != nullptr) {
    b = _mm256_maskload_ps(y.values + j, mask);
    if (y.round) b = Round8(b);
  }
  _mm256_maskstore_ps(out + i, mask,
                      One8<kOp, kRoundFirst>(_mm256_maskload_ps(x + i, mask), b, lo, hi));
}

template <Op kOp, bool kRoundFirst>
__attribute__((target("avx2,f16c"))) void RunRanges(const HalfElementwise& e, const float* first,
                                                    const float* second, float* out) {
  const __m256 lo = _mm256_set1_ps(e.min), hi = _mm256_set1_ps(e.max);
  const float* values = e.constant_second ? e.constant.data() : second;
  Second y;
  y.fixed = _mm256_setzero_ps();
  y.round = !e.constant_second && e.round_second;
  const size_t n = e.rows * e.channels;
  switch (e.second) {
    case SecondOperand::kNone:
      return Range<kOp, kRoundFirst>(first, y, lo, hi, out, n);
    case SecondOperand::kScalar:
      y.fixed = _mm256_set1_ps(y.round ? RoundToHalf(values[0]) : values[0]);
      return Range<kOp, kRoundFirst>(first, y, lo, hi, out, n);
    case SecondOperand::kPerElement:
      y.values = values;
      return Range<kOp, kRoundFirst>(first, y, lo, hi, out, n);
    case SecondOperand::kPerChannel:
      y.values = values;
      if (e.channels % 8 == 0 || e.constant_second) {
        y.period = e.constant_second ? e.constant.size() : e.channels;
        return Range<kOp, kRoundFirst>(first, y, lo, hi, out, n);
      }
      for (size_t r = 0; r < e.rows; ++r) {
        Range<kOp, kRoundFirst>(first + r * e.channels, y, lo, hi, out + r * e.channels,
                                e.channels);
      }
      return;
  }
}

template <Op kOp>
void RunF16C(const HalfElementwise& e, const float* first, const float* second, float* out) {
  if (e.round_first) return RunRanges<kOp, true>(e, first, second, out);
  RunRanges<kOp, false>(e, first, second, out);
}
#endif

}  // namespace

void HalfElementwise::Prepare() {
  if (second != SecondOperand::kPerChannel || !constant_second || channels == 0) return;
  // Whole vectors of channel values, so that one loop runs over every row, with no tail per row.
  const size_t period = std::lcm(channels, size_t{8});
  std::vector<float> repeated(period);
  for (size_t i = 0; i < period; ++i) repeated[i] = constant[i % channels];
  constant = std::move(repeated);
}

void HalfElementwise::Run(const float* first, const float* second, float* output) const {
#if defined(__x86_64__)
  if (kHasAvx2) {
    switch (op) {
      case Op::kAdd: return RunF16C<Op::kAdd>(*this, first, second, output);
      case Op::kSub: return RunF16C<Op::kSub>(*this, first, second, output);
      case Op::kMul: return RunF16C<Op::kMul>(*this, first, second, output);
      case Op::kDiv: return RunF16C<Op::kDiv>(*this, first, second, output);
      case Op::kMaximum: return RunF16C<Op::kMaximum>(*this, first, second, output);
      case Op::kMinimum: return RunF16C<Op::kMinimum>(*this, first, second, output);
      case Op::kScaleNegative: return RunF16C<Op::kScaleNegative>(*this, first, second, output);
      case Op::kClamp: return RunF16C<Op::kClamp>(*this, first, second, output);
    }
  }
#endif
  RunScalar(*this, first, second, output);
}

}  // namespace metal
}  // namespace gpu
}  // namespace tflite
