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
using KernelFunctionImpl = std::function<void(const ComputeGrid& grid, const ArgumentTable& arguments)>;

// One registered function; make it with VertexShader, FragmentShader or KernelShader.
struct ShaderFunction {
  std::string name;
  MTLFunctionType type;
  VertexFunctionImpl vertex;
  FragmentFunctionImpl fragment;
  KernelFunctionImpl kernel;
};

ShaderFunction VertexShader(std::string name, VertexFunctionImpl impl);
ShaderFunction FragmentShader(std::string name, FragmentFunctionImpl impl);
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
