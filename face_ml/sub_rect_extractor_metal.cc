#include "face_ml/sub_rect_extractor_metal.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/cpu_features.h"
#include "base/status_macros.h"
#include "face_ml/landmark_geometry.h"
#include "platform/objc/nil.h"
#include "platform/metal/half.h"
#include "platform/metal/texel_codec.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using flow::metal::MetalBuffer;
using flow::metal::MetalTexture;
using platform::metal::float4;

// Two triangles over the whole target, in clip space.
constexpr float kBasicSquareVertices[24] = {
    -1, 1, 0, 1, 1, 1, 0, 1, 1, -1, 0, 1, -1, 1, 0, 1, 1, -1, 0, 1, -1, -1, 0, 1,
};
// Their texture coordinates: (0, 0) at the target's top-left, v growing downwards.
constexpr float kBasicTextureVertices[24] = {
    0, 0, 0, 1, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1,
};

constexpr char kShaderLibrary[] = R"(
#include <metal_stdlib>
using namespace metal;

struct TextureVertex {
  float4 position [[position]];
  float2 uv;
};

vertex TextureVertex vertexShader(uint vid [[vertex_id]],
                                  constant float4* position [[buffer(0)]],
                                  device float4* tex_coords [[buffer(1)]],
                                  constant float4x4& transform_matrix [[buffer(2)]]) {
  TextureVertex vert;
  vert.position = position[vid];
  vert.uv = (tex_coords[vid] * transform_matrix).xy;
  return vert;
}

fragment half4 fragmentShader(TextureVertex vertex_output [[stage_in]],
                              texture2d<half> texture [[texture(0)]],
                              constant float* parameters [[buffer(1)]],
                              texture2d<half> alpha_texture [[texture(2)]]) {
  constexpr sampler linear_sampler(address::clamp_to_edge, min_filter::linear,
                                   mag_filter::linear);
  const float alpha = parameters[0];
  const float beta = parameters[1];
  const half3 rgb = texture.sample(linear_sampler, vertex_output.uv).rgb;
  const half a = is_null_texture(alpha_texture)
                     ? half(0)
                     : alpha_texture.sample(linear_sampler, vertex_output.uv).a;
  return half4(half3(alpha * float3(rgb) + beta), a);
}
)";

// The nearest binary16 value (ties to even), as a float: what a sample keeps as a half. In the
// range of normal halves this is a rounding of the float's mantissa to 10 bits, done on the
// bits; the rest takes the exact conversion.
float RoundToHalf(float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const uint32_t magnitude = bits & 0x7fffffffu;
  if (magnitude < 0x38800000u || magnitude >= 0x477ff000u) {
    return platform::metal::HalfToFloat(platform::metal::FloatToHalf(value));
  }
  const uint32_t rounded = (bits + 0xfffu + ((bits >> 13) & 1u)) & ~0x1fffu;
  return std::bit_cast<float>(rounded);
}

using platform::metal::FragmentSpan;
using platform::metal::TexelVector;

// The colour of one output pixel from the input's sample at the pixel's uv. The sample is a
// half3; the scaling is done in float.
inline float4 CropColour(const TexelVector& rgb, float a, float alpha, float beta) {
  return float4{alpha * RoundToHalf(rgb[0]) + beta, alpha * RoundToHalf(rgb[1]) + beta,
                alpha * RoundToHalf(rgb[2]) + beta, a};
}

// CropColour stored to `out`. Where red, green and blue are all zeros or normal halves (as every
// unorm sample but the tiniest is), their rounding to halves is done on the four lanes at once.
inline void StoreCropColour(const TexelVector& rgb, float a, float alpha, float beta, float* out) {
#if defined(__x86_64__)
  const __m128i bits = _mm_castps_si128(reinterpret_cast<const __m128&>(rgb));
  const __m128i magnitude = _mm_and_si128(bits, _mm_set1_epi32(0x7fffffff));
  // magnitude - 0x38800000 < 0x477ff000 - 0x38800000, unsigned, via the signed compare of the
  // values offset by 2^31.
  const __m128i offset = _mm_sub_epi32(magnitude, _mm_set1_epi32(static_cast<int>(0x38800000u + 0x80000000u)));
  const __m128i normal = _mm_cmplt_epi32(offset, _mm_set1_epi32(static_cast<int>(0x477ff000u - 0x38800000u + 0x80000000u)));
  const __m128i zero = _mm_cmpeq_epi32(magnitude, _mm_setzero_si128());
  if ((_mm_movemask_ps(_mm_castsi128_ps(_mm_or_si128(normal, zero))) & 7) == 7) {
    const __m128i odd = _mm_and_si128(_mm_srli_epi32(bits, 13), _mm_set1_epi32(1));
    const __m128i rounded = _mm_and_si128(_mm_add_epi32(_mm_add_epi32(bits, _mm_set1_epi32(0xfff)), odd),
                                          _mm_set1_epi32(static_cast<int>(~0x1fffu)));
    const __m128 scaled =
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(alpha), _mm_castsi128_ps(rounded)), _mm_set1_ps(beta));
    _mm_storeu_ps(out, scaled);
    out[3] = a;
    return;
  }
#endif
  const float4 colour = CropColour(rgb, a, alpha, beta);
  std::memcpy(out, colour.data(), sizeof(colour));
}

float4 ShadeCropPixel(const platform::metal::FragmentIn& in, const platform::metal::ArgumentTable& args) {
  static const MTLSamplerState& sampler = platform::metal::LinearClampSampler();
  const float* parameters = static_cast<const float*>(args.buffer(1));
  const float4 rgb = args.texture(0)->sample(sampler, in.varyings[0], in.varyings[1]);
  float a = 0;
  if (const MTLTexture* alpha_texture = args.texture(2); alpha_texture != nullptr) {
    a = alpha_texture->sample(sampler, in.varyings[0], in.varyings[1])[3];
  }
  return CropColour(TexelVector{rgb[0], rgb[1], rgb[2], rgb[3]}, a, parameters[0], parameters[1]);
}

// A row's run of output pixels: the same colours as ShadeCropPixel, with the input's texel
// blend inlined by `blend` and the halves stored in bulk.
template <typename Blend>
void ShadeCropSpanWith(const FragmentSpan& span, const MTLTexture& texture, const MTLTexture* alpha_texture,
                       float alpha, float beta, Blend&& blend) {
  static const MTLSamplerState& sampler = platform::metal::LinearClampSampler();
  constexpr int kChunk = 64;
  float colours[4 * kChunk];
  const bool half_target = span.format->format == MTLPixelFormatRGBA16Float;
  const int bytes_per_pixel = span.format->bytes_per_pixel;
  for (int start = 0; start < span.count; start += kChunk) {
    const int n = std::min(kChunk, span.count - start);
    for (int j = 0; j < n; ++j) {
      float l0, l1, l2;
      span.weights(start + j, &l0, &l1, &l2);
      const float u = span.active_varyings > 0 ? span.varying(0, l0, l1, l2) : 0.0f;
      const float v = span.active_varyings > 1 ? span.varying(1, l0, l1, l2) : 0.0f;
      const TexelVector rgb = texture.sampleLinearClamp(u, v, blend);
      const float a = alpha_texture != nullptr ? alpha_texture->sample(sampler, u, v)[3] : 0.0f;
      StoreCropColour(rgb, a, alpha, beta, colours + 4 * j);
    }
    uint8_t* const texels = span.texels + static_cast<ptrdiff_t>(start) * bytes_per_pixel;
    if (half_target) {
      platform::metal::FloatsToHalves(colours, 4 * static_cast<size_t>(n), reinterpret_cast<uint16_t*>(texels));
    } else {
      for (int j = 0; j < n; ++j) {
        float4 colour;
        std::memcpy(colour.data(), colours + 4 * j, sizeof(colour));
        span.format->encode(colour, texels + j * bytes_per_pixel);
      }
    }
  }
}

#if defined(__x86_64__)
// Eight pixels of a run at a time. Every lane computes what ShadeCropSpanWith computes for its
// pixel, operation for operation in the same order, so each lane gets the same IEEE result:
// the barycentric weights in double, uv and the texel-unit position in float, the four texels'
// unorm channels, the bilinear blend, the rounding to halves and alpha · sample + beta. The
// target carries no "fma", so the compiler cannot fuse a multiply and an add (which would round
// once where the scalar code rounds twice).
#define QM_CROP_AVX2 __attribute__((target("avx2,f16c")))

// The vector form blends unorm channels scaled by 2^16: 65536 · i / 255 = 257i + 257i / 65535,
// and 257i (the byte in both bytes of a 16-bit integer) plus 257i times the float nearest
// 1/65535 rounds to exactly 65536 times the float nearest i / 255, for every byte (checked
// below). That takes a multiply and an add where the division takes several times as long. A
// power-of-two scale commutes with every rounding of the blend (nothing comes near the
// overflow or subnormal range), so the blend of scaled channels, scaled back by 2^-16, has the
// scalar blend's bits.
constexpr float kUnormScale = 65536.0f;
constexpr float kUnormFraction = static_cast<float>(1.0 / 65535.0);
static_assert([] {
  for (int i = 0; i < 256; ++i) {
    const float twice = static_cast<float>(257 * i);
    if (twice + twice * kUnormFraction != kUnormScale * platform::metal::texel_codec::kUnormValues[i]) return false;
  }
  return true;
}());

// What the vector form needs of an input texture: the texels, and the sizes as the sampler
// holds them.
struct CropInput {
  const uint8_t* texels;
  int bytes_per_row;
  int width_in_texels, height_in_texels;
  float width, height;
};

// Whether runs over `texture` may take the vector form: a BGRA camera frame at least two texels
// wide whose byte offsets fit in 32 bits.
bool VectorFormInput(const MTLTexture& texture, CropInput* input) {
  if (texture.pixelFormat() != MTLPixelFormatBGRA8Unorm) return false;
  if (texture.width() < 2 || texture.bytesPerRow() * texture.height() > static_cast<NSUInteger>(INT32_MAX)) {
    return false;
  }
  *input = CropInput{texture.texelAddress(0, 0), static_cast<int>(texture.bytesPerRow()),
                     static_cast<int>(texture.width()), static_cast<int>(texture.height()),
                     static_cast<float>(texture.width()), static_cast<float>(texture.height())};
  return true;
}

// Whether every edge value of the span, padded to whole groups of eight, is an integer a
// double holds exactly, so that the double sums of the vector form are the exact edge values
// the scalar form converts.
bool EdgesExactInDoubles(const FragmentSpan& span) {
  constexpr int64_t kLimit = int64_t{1} << 50;
  const int64_t padded = int64_t{span.count} + 8;
  for (int k = 0; k < 3; ++k) {
    // Both ends within ±2^50 (the values are linear, so all between are), with steps small
    // enough that nothing on the way overflows.
    const int64_t edge = span.edge[k], step = span.edge_step[k];
    if (edge > kLimit || edge < -kLimit || step > kLimit / padded || step < -kLimit / padded) return false;
    const int64_t end = edge + padded * step;
    if (end > kLimit || end < -kLimit) return false;
  }
  return true;
}

// t held to [0, size]: t > 0 ? (t < size ? t : size) : 0, where a NaN fails both tests. The
// instructions' own rules match: max gives its second operand unless the first is greater (so
// NaNs and −0 give +0), min its second unless the first is less.
QM_CROP_AVX2 inline __m256 Hold(__m256 t, __m256 size) {
  return _mm256_min_ps(_mm256_max_ps(t, _mm256_setzero_ps()), size);
}

// The barycentric weights of eight pixels from their edge values, which then advance by a
// group's step.
QM_CROP_AVX2 inline __m256 NextWeights(__m256d inverse_area, __m256d group_step, __m256d* low, __m256d* high) {
  const __m256 weights = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_mul_pd(*high, inverse_area)),
                                         _mm256_cvtpd_ps(_mm256_mul_pd(*low, inverse_area)));
  *low = _mm256_add_pd(*low, group_step);
  *high = _mm256_add_pd(*high, group_step);
  return weights;
}

// l0 · of0 + l1 · of1 + l2 · of2, summed from the left.
QM_CROP_AVX2 inline __m256 Varying(const __m256* l, const __m256* of) {
  return _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(l[0], of[0]), _mm256_mul_ps(l[1], of[1])),
                       _mm256_mul_ps(l[2], of[2]));
}

// 65536 times the unorm value of byte `byte` of each texel.
QM_CROP_AVX2 inline __m256 ScaledUnormChannel(__m256i texels, int byte) {
  const auto at = [byte](int texel) { return static_cast<char>(4 * texel + byte); };
  constexpr char kZero = static_cast<char>(0x80);
  const __m256i twice = _mm256_setr_epi8(at(0), at(0), kZero, kZero, at(1), at(1), kZero, kZero, at(2), at(2), kZero,
                                         kZero, at(3), at(3), kZero, kZero, at(0), at(0), kZero, kZero, at(1), at(1),
                                         kZero, kZero, at(2), at(2), kZero, kZero, at(3), at(3), kZero, kZero);
  const __m256 scaled = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(texels, twice));
  return _mm256_add_ps(scaled, _mm256_mul_ps(scaled, _mm256_set1_ps(kUnormFraction)));
}

// Where the pixels of a chunk sample, from the first pass for the second. Each input row's two
// texels are read as one eight-byte pair; the pair offsets of a group of eight pixels are kept
// in the order (0, 1, 4, 5, 2, 3, 6, 7), which splitting the pairs into first and second
// texels (vshufps works within 128-bit halves) puts back in pixel order.
constexpr int kChunkGroups = 8;
constexpr int kChunkPixels = 8 * kChunkGroups;
struct ChunkSamples {
  alignas(32) float wx[kChunkPixels];
  alignas(32) float wy[kChunkPixels];
  alignas(32) int32_t left_is_second[kChunkPixels];   // all ones where the left texel is the pair's second
  alignas(32) int32_t right_is_second[kChunkPixels];  // likewise for the right texel
  alignas(32) uint32_t top_offsets[kChunkPixels];     // byte offsets of the pairs, in pair order
  alignas(32) uint32_t bottom_offsets[kChunkPixels];
};

// The texel pairs at eight byte offsets (in pair order) split into their first and second
// texels, in pixel order, and then into left and right texels.
QM_CROP_AVX2 inline void LoadPairs(const uint8_t* texels, const uint32_t* offsets, __m256i left_is_second,
                                   __m256i right_is_second, __m256i* left, __m256i* right) {
  const auto two = [&](int i) {
    const __m128d one = _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(texels + offsets[i])));
    return _mm_castpd_ps(_mm_loadh_pd(one, reinterpret_cast<const double*>(texels + offsets[i + 1])));
  };
  const __m256 low = _mm256_set_m128(two(2), two(0));
  const __m256 high = _mm256_set_m128(two(6), two(4));
  const __m256i first = _mm256_castps_si256(_mm256_shuffle_ps(low, high, 0x88));
  const __m256i second = _mm256_castps_si256(_mm256_shuffle_ps(low, high, 0xdd));
  *left = _mm256_blendv_epi8(first, second, left_is_second);
  *right = _mm256_blendv_epi8(first, second, right_is_second);
}

// One output channel of eight pixels as halves: the bilinear blend of byte `byte` of the four
// texels, rounded to a half, then alpha · value + beta.
QM_CROP_AVX2 inline __m128i CropChannel(__m256i t00, __m256i t10, __m256i t01, __m256i t11, __m256 wx, __m256 wy,
                                        int byte, __m256 alpha, __m256 beta) {
  const __m256 c00 = ScaledUnormChannel(t00, byte), c10 = ScaledUnormChannel(t10, byte);
  const __m256 c01 = ScaledUnormChannel(t01, byte), c11 = ScaledUnormChannel(t11, byte);
  const __m256 upper = _mm256_add_ps(c00, _mm256_mul_ps(_mm256_sub_ps(c10, c00), wx));
  const __m256 lower = _mm256_add_ps(c01, _mm256_mul_ps(_mm256_sub_ps(c11, c01), wx));
  const __m256 scaled = _mm256_add_ps(upper, _mm256_mul_ps(_mm256_sub_ps(lower, upper), wy));
  const __m256 value = _mm256_mul_ps(scaled, _mm256_set1_ps(1.0f / kUnormScale));
  const __m256 sample = _mm256_cvtph_ps(_mm256_cvtps_ph(value, _MM_FROUND_TO_NEAREST_INT));
  return _mm256_cvtps_ph(_mm256_add_ps(_mm256_mul_ps(alpha, sample), beta), _MM_FROUND_TO_NEAREST_INT);
}

// The span into an RGBA half-float target from a BGRA input, with a fourth component of 0 (no
// alpha texture). Chunks of the span go in two passes: the sample positions, then the texel reads
// and colours. The reads' offsets are ready when the second pass starts, so the processor issues
// them early and overlaps the groups, where one long chain per group would wait on its loads.
QM_CROP_AVX2 void ShadeCropSpanAvx2(const FragmentSpan& span, const CropInput& input, float alpha, float beta) {
  // Lane j's edge value is the group's first one plus j steps: integers held exactly (see
  // EdgesExactInDoubles), so the sums are exact, and so are the steps from group to group.
  __m256d edges_low[3], edges_high[3], group_steps[3];
  for (int k = 0; k < 3; ++k) {
    const int64_t s = span.edge_step[k];
    const double e = static_cast<double>(span.edge[k]);
    edges_low[k] = _mm256_add_pd(_mm256_set1_pd(e), _mm256_setr_pd(0.0, static_cast<double>(s),
                                                                   static_cast<double>(2 * s),
                                                                   static_cast<double>(3 * s)));
    edges_high[k] = _mm256_add_pd(_mm256_set1_pd(e), _mm256_setr_pd(static_cast<double>(4 * s),
                                                                    static_cast<double>(5 * s),
                                                                    static_cast<double>(6 * s),
                                                                    static_cast<double>(7 * s)));
    group_steps[k] = _mm256_set1_pd(static_cast<double>(8 * s));
  }
  const __m256d inverse_area = _mm256_set1_pd(span.inverse_area);
  __m256 u_of[3], v_of[3];
  for (int k = 0; k < 3; ++k) {
    u_of[k] = _mm256_set1_ps(span.varyings[k][0]);
    v_of[k] = _mm256_set1_ps(span.varyings[k][1]);
  }
  const __m256 width = _mm256_set1_ps(input.width), height = _mm256_set1_ps(input.height);
  const __m256i last_row = _mm256_set1_epi32(input.height_in_texels - 1);
  const __m256i last_pair_column = _mm256_set1_epi32(input.width_in_texels - 2);
  const __m256i zero = _mm256_setzero_si256(), minus_one = _mm256_set1_epi32(-1);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 alphas = _mm256_set1_ps(alpha), betas = _mm256_set1_ps(beta);
  const __m256i bytes_per_row = _mm256_set1_epi32(input.bytes_per_row);
  constexpr int kRed = 2, kGreen = 1, kBlue = 0;  // byte positions in a BGRA texel
  ChunkSamples samples;

  for (int chunk = 0; chunk < span.count; chunk += kChunkPixels) {
    const int groups = std::min(kChunkGroups, (span.count - chunk + 7) / 8);
    for (int g = 0; g < groups; ++g) {
      const __m256 weights[3] = {
          NextWeights(inverse_area, group_steps[0], &edges_low[0], &edges_high[0]),
          NextWeights(inverse_area, group_steps[1], &edges_low[1], &edges_high[1]),
          NextWeights(inverse_area, group_steps[2], &edges_low[2], &edges_high[2]),
      };
      const __m256 x = Hold(_mm256_mul_ps(Varying(weights, u_of), width), width);
      const __m256 y = Hold(_mm256_mul_ps(Varying(weights, v_of), height), height);
      const __m256 fx = _mm256_sub_ps(x, half), fy = _mm256_sub_ps(y, half);
      const __m256 x0 = _mm256_floor_ps(fx), y0 = _mm256_floor_ps(fy);
      _mm256_store_ps(samples.wx + 8 * g, _mm256_sub_ps(fx, x0));
      _mm256_store_ps(samples.wy + 8 * g, _mm256_sub_ps(fy, y0));
      // x and y are held to [0, size], so x0 and y0 are integers from -1 to the last column or
      // row. A row's pair starts at x0 held to [0, width - 2]: the left texel is the pair's
      // second one only at the last column, the right one is the second unless x0 is -1.
      const __m256i column = _mm256_cvttps_epi32(x0), row = _mm256_cvttps_epi32(y0);
      const __m256i pair = _mm256_min_epi32(_mm256_max_epi32(column, zero), last_pair_column);
      _mm256_store_si256(reinterpret_cast<__m256i*>(samples.left_is_second + 8 * g),
                         _mm256_cmpgt_epi32(column, last_pair_column));
      _mm256_store_si256(reinterpret_cast<__m256i*>(samples.right_is_second + 8 * g),
                         _mm256_cmpgt_epi32(column, minus_one));
      const __m256i pair_offset = _mm256_slli_epi32(pair, 2);
      const __m256i top = _mm256_mullo_epi32(_mm256_max_epi32(row, zero), bytes_per_row);
      const __m256i bottom =
          _mm256_mullo_epi32(_mm256_min_epi32(_mm256_sub_epi32(row, minus_one), last_row), bytes_per_row);
      _mm256_store_si256(reinterpret_cast<__m256i*>(samples.top_offsets + 8 * g),
                         _mm256_permute4x64_epi64(_mm256_add_epi32(top, pair_offset), 0xd8));
      _mm256_store_si256(reinterpret_cast<__m256i*>(samples.bottom_offsets + 8 * g),
                         _mm256_permute4x64_epi64(_mm256_add_epi32(bottom, pair_offset), 0xd8));
    }
    for (int g = 0; g < groups; ++g) {
      const __m256i left_is_second = _mm256_load_si256(reinterpret_cast<const __m256i*>(samples.left_is_second + 8 * g));
      const __m256i right_is_second =
          _mm256_load_si256(reinterpret_cast<const __m256i*>(samples.right_is_second + 8 * g));
      __m256i t00, t10, t01, t11;
      LoadPairs(input.texels, samples.top_offsets + 8 * g, left_is_second, right_is_second, &t00, &t10);
      LoadPairs(input.texels, samples.bottom_offsets + 8 * g, left_is_second, right_is_second, &t01, &t11);
      const __m256 wx = _mm256_load_ps(samples.wx + 8 * g), wy = _mm256_load_ps(samples.wy + 8 * g);
      const __m128i red = CropChannel(t00, t10, t01, t11, wx, wy, kRed, alphas, betas);
      const __m128i green = CropChannel(t00, t10, t01, t11, wx, wy, kGreen, alphas, betas);
      const __m128i blue = CropChannel(t00, t10, t01, t11, wx, wy, kBlue, alphas, betas);
      const __m128i fourth = _mm_setzero_si128();  // +0.0
      const __m128i rg_low = _mm_unpacklo_epi16(red, green), rg_high = _mm_unpackhi_epi16(red, green);
      const __m128i ba_low = _mm_unpacklo_epi16(blue, fourth), ba_high = _mm_unpackhi_epi16(blue, fourth);
      const __m256i first_four = _mm256_set_m128i(_mm_unpackhi_epi32(rg_low, ba_low), _mm_unpacklo_epi32(rg_low, ba_low));
      const __m256i last_four =
          _mm256_set_m128i(_mm_unpackhi_epi32(rg_high, ba_high), _mm_unpacklo_epi32(rg_high, ba_high));
      const int start = chunk + 8 * g;
      auto* const out = reinterpret_cast<long long*>(span.texels + static_cast<ptrdiff_t>(start) * 8);
      const int n = span.count - start;
      if (n >= 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), first_four);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4), last_four);
      } else {  // the run's last pixels: lanes below n
        const __m256i count = _mm256_set1_epi64x(n);
        _mm256_maskstore_epi64(out, _mm256_cmpgt_epi64(count, _mm256_setr_epi64x(0, 1, 2, 3)), first_four);
        _mm256_maskstore_epi64(out + 4, _mm256_cmpgt_epi64(count, _mm256_setr_epi64x(4, 5, 6, 7)), last_four);
      }
    }
  }
}

const bool kHasAvx2 = base::CpuHasAvx2FmaF16c();

// Shades the span in the vector form where it applies; false leaves it to the scalar form.
bool ShadeCropSpanVector(const FragmentSpan& span, const MTLTexture& texture, const MTLTexture* alpha_texture,
                         float alpha, float beta) {
  if (!kHasAvx2 || alpha_texture != nullptr || span.format->format != MTLPixelFormatRGBA16Float ||
      span.active_varyings < 2 || !EdgesExactInDoubles(span)) {
    return false;
  }
  CropInput input;
  if (!VectorFormInput(texture, &input)) return false;
  ShadeCropSpanAvx2(span, input, alpha, beta);
  return true;
}
#else
bool ShadeCropSpanVector(const FragmentSpan&, const MTLTexture&, const MTLTexture*, float, float) { return false; }
#endif

void ShadeCropSpan(const FragmentSpan& span, const platform::metal::ArgumentTable& args) {
  namespace codec = platform::metal::texel_codec;
  using platform::metal::ChannelType;
  const float* parameters = static_cast<const float*>(args.buffer(1));
  const MTLTexture& texture = *args.texture(0);
  const MTLTexture* alpha_texture = args.texture(2);
  const float alpha = parameters[0], beta = parameters[1];
  if (ShadeCropSpanVector(span, texture, alpha_texture, alpha, beta)) return;
  // The common input formats get their blend as a lambda, which the compiler inlines.
  const auto run = [&](auto&& blend) { ShadeCropSpanWith(span, texture, alpha_texture, alpha, beta, blend); };
  switch (texture.pixelFormat()) {
    case MTLPixelFormatBGRA8Unorm:
      return run([](const uint8_t* top, const uint8_t* bottom, int left, int right, float wx, float wy) {
        return codec::Bilinear<ChannelType::kUnorm8, 4, true>(top, bottom, left, right, wx, wy);
      });
    case MTLPixelFormatRGBA8Unorm:
      return run([](const uint8_t* top, const uint8_t* bottom, int left, int right, float wx, float wy) {
        return codec::Bilinear<ChannelType::kUnorm8, 4>(top, bottom, left, right, wx, wy);
      });
    case MTLPixelFormatRGBA16Float:
      return run([](const uint8_t* top, const uint8_t* bottom, int left, int right, float wx, float wy) {
        return codec::Bilinear<ChannelType::kFloat16, 4>(top, bottom, left, right, wx, wy);
      });
    default:
      return run(texture.formatInfo().bilinear);
  }
}

// The C++ forms of the shader functions. The varyings carry uv.
const bool kShadersRegistered = platform::metal::RegisterShaderLibrary(
    kShaderLibrary,
    {
        platform::metal::VertexShader(
            "vertexShader",
            [](uint32_t vid, const platform::metal::ArgumentTable& args) {
              platform::metal::VertexOut out;
              const float* position = static_cast<const float*>(args.buffer(0)) + 4 * vid;
              const float* t = static_cast<const float*>(args.buffer(1)) + 4 * vid;
              // The 64 bytes are a column-major float4x4; the row vector t times it.
              const float* m = static_cast<const float*>(args.buffer(2));
              out.position = {position[0], position[1], position[2], position[3]};
              for (int c = 0; c < 2; ++c) {
                out.varyings[c] =
                    t[0] * m[4 * c] + t[1] * m[4 * c + 1] + t[2] * m[4 * c + 2] + t[3] * m[4 * c + 3];
              }
              return out;
            }),
        platform::metal::FragmentShader("fragmentShader", ShadeCropPixel, ShadeCropSpan),
    });

// An RGBA half-float texture over the buffer: one PHWC4 pixel per texel.
std::shared_ptr<MTLTexture> MTLTextureWithBuffer(const tflite::gpu::HW& size,
                                                 const std::shared_ptr<MTLBuffer>& buffer) {
  if (buffer == nullptr || size.h <= 0 || size.w <= 0) return nullptr;
  auto descriptor = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(
      MTLPixelFormatRGBA16Float, size.w, size.h, false);
  descriptor->setUsage(MTLTextureUsageRenderTarget);
  return buffer->newTextureWithDescriptor(descriptor, 0, static_cast<NSUInteger>(size.w) * 8);
}

class SubRectExtractorMetalImpl : public SubRectExtractorMetal {
 public:
  SubRectExtractorMetalImpl(std::shared_ptr<MTLBuffer> positions,
                            std::shared_ptr<MTLBuffer> tex_coords,
                            std::shared_ptr<MTLBuffer> transform,
                            std::shared_ptr<MTLDevice> device,
                            std::shared_ptr<MTLRenderPipelineState> pipeline)
      : positions_(std::move(positions)),
        tex_coords_(std::move(tex_coords)),
        transform_buffer_(std::move(transform)),
        device_(std::move(device)),
        pipeline_(std::move(pipeline)) {}

  absl::Status Execute(MetalCommandBuffer* command_buffer, const MetalTexture& input,
                       const tflite::gpu::HW& output_size, const utils::RotatedRect& rect,
                       bool flip, float alpha, float beta, MetalBuffer* output) override {
    return InternalExecute(command_buffer, input, nullptr,
                           MTLTextureWithBuffer(output_size, output ? output->buffer() : nullptr),
                           rect, flip, alpha, beta);
  }
  absl::Status Execute(MetalCommandBuffer* command_buffer, const MetalTexture& input,
                       const tflite::gpu::HW& /*output_size*/, const utils::RotatedRect& rect,
                       bool flip, float alpha, float beta, MetalTexture* output) override {
    return InternalExecute(command_buffer, input, nullptr,
                           output != nullptr ? output->texture() : nullptr, rect, flip, alpha,
                           beta);
  }
  absl::Status Execute(MetalCommandBuffer* command_buffer, const MetalTexture& input,
                       const MetalTexture& alpha_input, const tflite::gpu::HW& output_size,
                       const utils::RotatedRect& rect, bool flip, float alpha, float beta,
                       MetalBuffer* output) override {
    return InternalExecute(command_buffer, input, alpha_input.texture(),
                           MTLTextureWithBuffer(output_size, output ? output->buffer() : nullptr),
                           rect, flip, alpha, beta);
  }

 private:
  absl::Status InternalExecute(MetalCommandBuffer* command_buffer, const MetalTexture& input,
                               const std::shared_ptr<MTLTexture>& alpha_texture,
                               const std::shared_ptr<MTLTexture>& output_texture,
                               const utils::RotatedRect& rect, bool flip, float alpha,
                               float beta) {
    RET_CHECK(command_buffer != nullptr);
    RET_CHECK(output_texture != nil);
    RET_CHECK(input.texture() != nil);
    // Drawing into another format would stop the device's validation.
    RET_CHECK(output_texture->pixelFormat() == MTLPixelFormatRGBA16Float);

    GetRotatedSubRectToRectTransformMatrix(rect, static_cast<int>(input.texture()->width()),
                                           static_cast<int>(input.texture()->height()), flip,
                                           &transform_);
    std::memcpy(transform_buffer_->contents(), transform_.data(), sizeof(transform_));

    auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
    pass->colorAttachments()[0].setTexture(output_texture);
    pass->colorAttachments()[0].setLoadAction(MTLLoadActionClear);
    pass->colorAttachments()[0].setStoreAction(MTLStoreActionStore);
    auto encoder = command_buffer->command_buffer()->renderCommandEncoderWithDescriptor(pass);
    RET_CHECK(encoder != nullptr);
    encoder->setRenderPipelineState(pipeline_);
    encoder->setVertexBuffer(positions_, 0, 0);
    encoder->setVertexBuffer(tex_coords_, 0, 1);
    encoder->setVertexBuffer(transform_buffer_, 0, 2);
    encoder->setFragmentTexture(input.texture(), 0);
    const float parameters[2] = {alpha, beta};
    encoder->setFragmentBytes(parameters, sizeof(parameters), 1);
    if (alpha_texture != nullptr) encoder->setFragmentTexture(alpha_texture, 2);
    encoder->drawPrimitives(MTLPrimitiveTypeTriangle, 0, 6);
    encoder->endEncoding();
    return absl::OkStatus();
  }

  std::shared_ptr<MTLBuffer> positions_;
  std::shared_ptr<MTLBuffer> tex_coords_;
  std::shared_ptr<MTLBuffer> transform_buffer_;
  std::shared_ptr<MTLDevice> device_;
  std::shared_ptr<MTLRenderPipelineState> pipeline_;
  Matrix4 transform_{};
};

util::StatusOr<std::unique_ptr<SubRectExtractorMetal>> MakeExtractor(const std::shared_ptr<MTLDevice>& device,
                                                                     bool span_shading);

}  // namespace

util::StatusOr<std::unique_ptr<SubRectExtractorMetal>> SubRectExtractorMetal::Make(
    const std::shared_ptr<MTLDevice>& device) {
  return MakeExtractor(device, /*span_shading=*/true);
}

util::StatusOr<std::unique_ptr<SubRectExtractorMetal>> SubRectExtractorMetal::MakePerPixel(
    const std::shared_ptr<MTLDevice>& device) {
  return MakeExtractor(device, /*span_shading=*/false);
}

namespace {

util::StatusOr<std::unique_ptr<SubRectExtractorMetal>> MakeExtractor(const std::shared_ptr<MTLDevice>& device,
                                                                     bool span_shading) {
  (void)kShadersRegistered;
  RET_CHECK(device != nullptr);
  std::shared_ptr<NSError> error;
  auto library = device->newLibraryWithSource(kShaderLibrary, nullptr, &error);
  RET_CHECK(library != nil) << "Couldn't create a shader library"
                            << (error ? error->localizedDescription() : std::string());
  auto vertex_function = library->newFunctionWithName("vertexShader");
  RET_CHECK(vertex_function != nil) << "Failed creating a new vertex function!";
  auto fragment_function = library->newFunctionWithName("fragmentShader");
  RET_CHECK(fragment_function != nil) << "Failed creating a new fragment function!";
  if (!span_shading) {
    platform::metal::ShaderFunction per_pixel = fragment_function->implementation();
    per_pixel.fragment_span = nullptr;
    fragment_function = std::make_shared<MTLFunction>(std::move(per_pixel));
  }

  auto descriptor = std::make_shared<MTLRenderPipelineDescriptor>();
  descriptor->setVertexFunction(vertex_function);
  descriptor->setFragmentFunction(fragment_function);
  descriptor->colorAttachments()[0].setPixelFormat(MTLPixelFormatRGBA16Float);
  error = nullptr;
  auto pipeline = device->newRenderPipelineStateWithDescriptor(descriptor, &error);
  RET_CHECK(error == nil) << "Couldn't create a pipeline state"
                          << error->localizedDescription();

  auto positions = device->newBufferWithBytes(kBasicSquareVertices, sizeof(kBasicSquareVertices),
                                              MTLResourceStorageModeShared);
  auto tex_coords = device->newBufferWithBytes(
      kBasicTextureVertices, sizeof(kBasicTextureVertices), MTLResourceStorageModeShared);
  auto transform = device->newBufferWithLength(sizeof(Matrix4), MTLResourceStorageModeShared);
  return std::unique_ptr<SubRectExtractorMetal>(new SubRectExtractorMetalImpl(
      std::move(positions), std::move(tex_coords), std::move(transform), device,
      std::move(pipeline)));
}

}  // namespace

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
