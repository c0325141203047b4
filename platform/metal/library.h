#ifndef PLATFORM_METAL_LIBRARY_H_
#define PLATFORM_METAL_LIBRARY_H_

// Shader libraries and functions of the CPU Metal device.
//
// Shader source cannot be compiled here. Instead, the code that owns a shader source
// registers C++ implementations of its functions under that exact source text, next to it:
//
//   constexpr char kShaderSource[] = R"(
//     vertex VertexOut vertexShader(...) { ... }
//     fragment half4 fragmentShader(...) { ... }
//   )";
//   const bool kShadersRegistered = platform::metal::RegisterShaderLibrary(kShaderSource, {
//       platform::metal::VertexShader("vertexShader", [](uint32_t vertex_id, const auto& args) {
//         platform::metal::VertexOut out;
//         out.position = static_cast<const platform::metal::float4*>(args.buffer(0))[vertex_id];
//         return out;
//       }),
//       platform::metal::FragmentShader("fragmentShader", [](const auto& in, const auto& args) {
//         return args.texture(0)->sample(platform::metal::LinearClampSampler(),
//                                        in.varyings[0], in.varyings[1]);
//       }),
//   });
//
// MTLDevice::newLibraryWithSource(source, ...) then gives a library whose function names are
// those registered for that text (an unregistered text fails as a compile error), and
// newLibraryWithFile(path, ...) does the same for a "metallib" file, which here holds the
// text of a registered source (a build step can copy a shader's source to a .metallib file).
// newFunctionWithName answers null for a name the library lacks.
//
// What the three kinds of function are here:
// - vertex: called once per vertex of a draw with the vertex index; returns the clip-space
//   position and up to kMaxVaryings floats that the rasteriser interpolates linearly in screen
//   space (no perspective correction; the system's draws have w = 1);
// - fragment: called once per covered pixel with the window position of the pixel centre
//   (x + 0.5, y + 0.5), the interpolated depth and varyings; returns the colour written to
//   colour attachment 0 through its pixel format;
// - kernel: called ONCE per dispatch with the whole grid (not once per thread): a CPU kernel
//   loops over the grid itself, or hands the whole grid to a library.
// All of them read their arguments (buffers, inline bytes, textures, samplers, bound by index
// as on the platform) through ArgumentTable. Functions run on the thread that commits the
// command buffer.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/metal/pixel_format.h"
#include "platform/metal/types.h"

class MTLBuffer;
class MTLTexture;
class MTLSamplerState;

extern const char* const MTLLibraryErrorDomain;
enum : long {
  MTLLibraryErrorUnsupported = 1,
  MTLLibraryErrorInternal = 2,
  MTLLibraryErrorCompileFailure = 3,
  MTLLibraryErrorCompileWarning = 4,
  MTLLibraryErrorFunctionNotFound = 5,
  MTLLibraryErrorFileNotFound = 6,
};

namespace platform::metal {

// The arguments bound for one stage of a draw or for one dispatch, as the encoder held them
// when the work was encoded. Buffers are bound by reference (their contents are read when the
// work runs, as on the platform); inline bytes (setVertexBytes, setBytes, ...) are copied at
// encoding time.
class ArgumentTable {
 public:
  static constexpr size_t kMaxBuffers = 31;
  static constexpr size_t kMaxTextures = 31;
  static constexpr size_t kMaxSamplers = 16;

  // The bytes bound at `index` (a buffer's contents plus the offset, or the inline bytes), or
  // null when nothing is bound there. An index beyond the limits is a failed CHECK.
  void* buffer(size_t index) const;
  // Bytes available from buffer(index) on; 0 when unbound.
  size_t bufferLength(size_t index) const;
  MTLTexture* texture(size_t index) const;
  const MTLSamplerState* samplerState(size_t index) const;

  // Used by the encoders. A null buffer, texture or sampler unbinds the index.
  void setBuffer(std::shared_ptr<MTLBuffer> buffer, size_t offset, size_t index);
  void setBytes(const void* bytes, size_t length, size_t index);
  void setTexture(std::shared_ptr<MTLTexture> texture, size_t index);
  void setSamplerState(std::shared_ptr<MTLSamplerState> sampler, size_t index);

 private:
  struct BufferBinding {
    std::shared_ptr<MTLBuffer> buffer;
    size_t offset = 0;
    std::shared_ptr<std::vector<uint8_t>> bytes;
  };
  std::array<BufferBinding, kMaxBuffers> buffers_;
  std::array<std::shared_ptr<MTLTexture>, kMaxTextures> textures_;
  std::array<std::shared_ptr<MTLSamplerState>, kMaxSamplers> samplers_;
};

inline constexpr int kMaxVaryings = 16;

struct VertexOut {
  float4 position = {0, 0, 0, 1};  // clip space
  std::array<float, kMaxVaryings> varyings{};
};

struct FragmentIn {
  float4 position;  // window x, y of the pixel centre; interpolated z; w = 1
  std::array<float, kMaxVaryings> varyings;
};

// A run of covered pixels of one row, for a fragment function that also has a span form: the
// pixels (x + i, y) for i in [0, count), and how the rasteriser interpolates their inputs.
// fragment(i, &in) and weights(i, ...) compute exactly what the per-pixel form receives for pixel x + i
// (they are inline, so a span form that needs only some of the inputs computes only those).
// The span form writes each pixel's colour to `texels` + i * format->bytes_per_pixel through
// the colour attachment's pixel format, with the bits the per-pixel form's colour would give.
struct FragmentSpan {
  int x, y, count;
  int64_t edge[3];       // the three edge values at pixel x, in 1/256-pixel area units
  int64_t edge_step[3];  // their change per pixel to the right
  double inverse_area;
  float z[3];
  const float* varyings[3];  // the three vertices' varyings
  int active_varyings;       // those after it are +0.0
  uint8_t* texels;           // the attachment's texel of (x, y)
  const PixelFormatInfo* format;

  // The barycentric weights of pixel x + i.
  void weights(int i, float* l0, float* l1, float* l2) const {
    *l0 = static_cast<float>((edge[0] + i * edge_step[0]) * inverse_area);
    *l1 = static_cast<float>((edge[1] + i * edge_step[1]) * inverse_area);
    *l2 = static_cast<float>((edge[2] + i * edge_step[2]) * inverse_area);
  }
  // Varying k of pixel x + i from its weights.
  float varying(int k, float l0, float l1, float l2) const {
    return l0 * varyings[0][k] + l1 * varyings[1][k] + l2 * varyings[2][k];
  }
  // The input of pixel x + i; `in` has its varyings from active_varyings on at zero already.
  void fragment(int i, FragmentIn* in) const {
    float l0, l1, l2;
    weights(i, &l0, &l1, &l2);
    in->position = {static_cast<float>(x + i) + 0.5f, y + 0.5f, l0 * z[0] + l1 * z[1] + l2 * z[2], 1.0f};
    for (int k = 0; k < active_varyings; ++k) in->varyings[k] = varying(k, l0, l1, l2);
  }
};

// The grid of one dispatch: dispatchThreadgroups gives threadgroups and their size, and
// threads = threadgroups x threads_per_threadgroup; dispatchThreads gives threads exactly and
// threadgroups = threads / threads_per_threadgroup rounded up.
struct ComputeGrid {
  MTLSize threadgroups;
  MTLSize threads_per_threadgroup;
  MTLSize threads;
};

using VertexFunctionImpl = std::function<VertexOut(uint32_t vertex_id, const ArgumentTable& arguments)>;
using FragmentFunctionImpl = std::function<float4(const FragmentIn& in, const ArgumentTable& arguments)>;
// The span form of a fragment function: shades every pixel of the span in one call.
using FragmentSpanImpl = std::function<void(const FragmentSpan& span, const ArgumentTable& arguments)>;
using KernelFunctionImpl = std::function<void(const ComputeGrid& grid, const ArgumentTable& arguments)>;

// One registered function; make it with VertexShader, FragmentShader or KernelShader.
struct ShaderFunction {
  std::string name;
  MTLFunctionType type;
  VertexFunctionImpl vertex;
  FragmentFunctionImpl fragment;
  KernelFunctionImpl kernel;
  FragmentSpanImpl fragment_span;  // optional, with `fragment`
};

ShaderFunction VertexShader(std::string name, VertexFunctionImpl impl);
ShaderFunction FragmentShader(std::string name, FragmentFunctionImpl impl);
// A fragment function with a span form as well, which draws use in place of calling `impl`
// once per pixel. Both forms must give the same bits: `impl` stays the definition.
ShaderFunction FragmentShader(std::string name, FragmentFunctionImpl impl, FragmentSpanImpl span_impl);
ShaderFunction KernelShader(std::string name, KernelFunctionImpl impl);

// Registers the implementations of the functions of `source`; thread-safe. Registering the
// same source again adds its functions, replacing those of the same name. Returns true, so it
// can initialise a namespace-scope constant.
bool RegisterShaderLibrary(const std::string& source, std::vector<ShaderFunction> functions);

}  // namespace platform::metal

class MTLFunction {
 public:
  explicit MTLFunction(platform::metal::ShaderFunction function) : function_(std::move(function)) {}

  const std::string& name() const { return function_.name; }
  MTLFunctionType functionType() const { return function_.type; }
  // The C++ implementation (used by pipelines).
  const platform::metal::ShaderFunction& implementation() const { return function_; }

 private:
  const platform::metal::ShaderFunction function_;
};

// Options of a source compile; nothing here depends on them.
class MTLCompileOptions {};

class MTLLibrary {
 public:
  explicit MTLLibrary(std::map<std::string, platform::metal::ShaderFunction> functions)
      : functions_(std::move(functions)) {}

  // Null when the library has no function of that name.
  std::shared_ptr<MTLFunction> newFunctionWithName(const std::string& name) const;
  std::vector<std::string> functionNames() const;

 private:
  const std::map<std::string, platform::metal::ShaderFunction> functions_;
};

namespace platform::metal::internal {

// The library registered for `source`, or null with a compile-failure error.
std::shared_ptr<MTLLibrary> LibraryForSource(const std::string& source, std::shared_ptr<NSError>* error);

}  // namespace platform::metal::internal

#endif  // PLATFORM_METAL_LIBRARY_H_
