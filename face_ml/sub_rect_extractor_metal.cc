#include "face_ml/sub_rect_extractor_metal.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/status_macros.h"
#include "face_ml/landmark_geometry.h"
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

// The platform's null object, so the checks read as the platform code's do.
constexpr std::nullptr_t nil = nullptr;

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

void ShadeCropSpan(const FragmentSpan& span, const platform::metal::ArgumentTable& args) {
  namespace codec = platform::metal::texel_codec;
  using platform::metal::ChannelType;
  const float* parameters = static_cast<const float*>(args.buffer(1));
  const MTLTexture& texture = *args.texture(0);
  const MTLTexture* alpha_texture = args.texture(2);
  const float alpha = parameters[0], beta = parameters[1];
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
