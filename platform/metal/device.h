#ifndef PLATFORM_METAL_DEVICE_H_
#define PLATFORM_METAL_DEVICE_H_

// The CPU Metal device: the object that makes every other Metal object.
//
//   std::shared_ptr<MTLDevice> device = MTLCreateSystemDefaultDevice();   // null: no GPU
//   auto queue = device->newCommandQueue();
//   auto buffer = device->newBufferWithLength(1024, MTLResourceStorageModeShared);
//   std::shared_ptr<NSError> error;
//   auto library = device->newLibraryWithSource(kShaderSource, nullptr, &error);
//
// Everything runs on the CPU: buffers and textures are CPU memory, committing a command buffer
// runs its render passes through a small triangle rasteriser and its compute passes as C++
// calls (command_buffer.h), and shader functions are C++ implementations registered next to
// their source text (library.h).
//
// How the platform's objects are shaped here: each protocol (MTLDevice, MTLBuffer, MTLTexture,
// MTLCommandQueue, MTLCommandBuffer, the encoders, MTLLibrary, MTLFunction, the pipeline and
// sampler states) is one concrete class, since this device is the only implementation. Objects
// are held by std::shared_ptr; a "new..." method returns a new object the caller holds, null
// where the platform answers nil. Selectors are methods named by their first keyword;
// NSError** parameters are std::shared_ptr<NSError>* (may be null).
//
// Every method of MTLDevice is thread-safe.

#include <memory>
#include <string>

#include "platform/foundation/ns_error.h"
#include "platform/metal/buffer.h"
#include "platform/metal/command_buffer.h"
#include "platform/metal/library.h"
#include "platform/metal/pipeline.h"
#include "platform/metal/texture.h"
#include "platform/metal/types.h"

class MTLDevice : public std::enable_shared_from_this<MTLDevice> {
 public:
  const std::string& name() const { return name_; }

  std::shared_ptr<MTLCommandQueue> newCommandQueue();

  // A zero-filled, page-aligned buffer of exactly `length` bytes; null for length 0.
  std::shared_ptr<MTLBuffer> newBufferWithLength(NSUInteger length, MTLResourceOptions options);
  // The same, filled with a copy of `length` bytes from `pointer`.
  std::shared_ptr<MTLBuffer> newBufferWithBytes(const void* pointer, NSUInteger length, MTLResourceOptions options);
  // A buffer that is the caller's memory, not a copy of it. As on the platform, `pointer` must be
  // page-aligned and `length` a non-zero multiple of the page size, else the result is null (and
  // the deallocator does not run). The memory stays the caller's; `deallocator` (may be empty)
  // runs once, with pointer and length, when the buffer is destroyed.
  std::shared_ptr<MTLBuffer> newBufferWithBytesNoCopy(void* pointer, NSUInteger length, MTLResourceOptions options,
                                                      MTLBuffer::Deallocator deallocator);

  // A zero-filled texture with rows packed; null when the descriptor is null, not 2D, has a zero
  // size, asks for more than one mipmap level or a pixel format pixel_format.h does not list.
  std::shared_ptr<MTLTexture> newTextureWithDescriptor(const std::shared_ptr<MTLTextureDescriptor>& descriptor);

  // Null when the descriptor asks for an address mode other than clamp-to-edge.
  std::shared_ptr<MTLSamplerState> newSamplerStateWithDescriptor(
      const std::shared_ptr<MTLSamplerDescriptor>& descriptor);

  // The library registered for this source text (library.h); an unregistered text fails with
  // MTLLibraryErrorDomain / MTLLibraryErrorCompileFailure. `options` may be null.
  std::shared_ptr<MTLLibrary> newLibraryWithSource(const std::string& source,
                                                   const std::shared_ptr<MTLCompileOptions>& options,
                                                   std::shared_ptr<NSError>* error);
  // A "metallib" file: it holds the text of a registered source. A missing or unreadable file
  // fails with MTLLibraryErrorFileNotFound, an unregistered text as above.
  std::shared_ptr<MTLLibrary> newLibraryWithFile(const std::string& path, std::shared_ptr<NSError>* error);

  // Needs a vertex and a fragment function of those kinds and a texture pixel format for colour
  // attachment 0; otherwise null with an MTLLibraryErrorDomain error whose description says
  // what is missing.
  std::shared_ptr<MTLRenderPipelineState> newRenderPipelineStateWithDescriptor(
      const std::shared_ptr<MTLRenderPipelineDescriptor>& descriptor, std::shared_ptr<NSError>* error);
  // Needs a kernel function; otherwise null with an MTLLibraryErrorDomain error.
  std::shared_ptr<MTLComputePipelineState> newComputePipelineStateWithFunction(
      const std::shared_ptr<MTLFunction>& function, std::shared_ptr<NSError>* error);

  // Made by MTLCreateSystemDefaultDevice.
  explicit MTLDevice(std::string name) : name_(std::move(name)) {}

 private:
  const std::string name_;
};

// The system's one device, the same object on every call; null while the test hook below says
// there is none.
std::shared_ptr<MTLDevice> MTLCreateSystemDefaultDevice();

namespace platform::metal {

// Test hook: while false, MTLCreateSystemDefaultDevice returns null (a machine without a Metal
// GPU). Thread-safe; true at start.
void SetSystemDefaultDeviceAvailable(bool available);

// Sets the hook for its lifetime and restores the previous value.
class ScopedSystemDefaultDeviceAvailable {
 public:
  explicit ScopedSystemDefaultDeviceAvailable(bool available);
  ~ScopedSystemDefaultDeviceAvailable();
  ScopedSystemDefaultDeviceAvailable(const ScopedSystemDefaultDeviceAvailable&) = delete;
  ScopedSystemDefaultDeviceAvailable& operator=(const ScopedSystemDefaultDeviceAvailable&) = delete;

 private:
  bool previous_;
};

}  // namespace platform::metal

#endif  // PLATFORM_METAL_DEVICE_H_
