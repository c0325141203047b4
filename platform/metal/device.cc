#include "platform/metal/device.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/metal/texture_internal.h"

namespace {

std::atomic<bool> g_device_available{true};

NSUInteger PageSize() {
  static const NSUInteger page_size = static_cast<NSUInteger>(getpagesize());
  return page_size;
}

std::shared_ptr<NSError> LibraryError(long code, std::string description) {
  return NSError::errorWithDomain(MTLLibraryErrorDomain, code,
                                  {{NSLocalizedDescriptionKey, std::move(description)}});
}

std::shared_ptr<MTLBuffer> AllocateBuffer(NSUInteger length, MTLResourceOptions options) {
  if (length == 0) return nullptr;
  const NSUInteger page = PageSize();
  const NSUInteger rounded = (length + page - 1) / page * page;
  void* memory = std::aligned_alloc(page, rounded);
  if (memory == nullptr) return nullptr;
  std::memset(memory, 0, rounded);
  return std::make_shared<MTLBuffer>(memory, length, options, [](void* pointer, NSUInteger) { std::free(pointer); });
}

}  // namespace

std::shared_ptr<MTLCommandQueue> MTLDevice::newCommandQueue() {
  return std::make_shared<MTLCommandQueue>(shared_from_this());
}

std::shared_ptr<MTLBuffer> MTLDevice::newBufferWithLength(NSUInteger length, MTLResourceOptions options) {
  return AllocateBuffer(length, options);
}

std::shared_ptr<MTLBuffer> MTLDevice::newBufferWithBytes(const void* pointer, NSUInteger length,
                                                         MTLResourceOptions options) {
  std::shared_ptr<MTLBuffer> buffer = AllocateBuffer(length, options);
  if (buffer != nullptr) std::memcpy(buffer->contents(), pointer, length);
  return buffer;
}

std::shared_ptr<MTLBuffer> MTLDevice::newBufferWithBytesNoCopy(void* pointer, NSUInteger length,
                                                               MTLResourceOptions options,
                                                               MTLBuffer::Deallocator deallocator) {
  const NSUInteger page = PageSize();
  if (pointer == nullptr || reinterpret_cast<uintptr_t>(pointer) % page != 0 || length == 0 || length % page != 0) {
    return nullptr;
  }
  return std::make_shared<MTLBuffer>(pointer, length, options, std::move(deallocator));
}

std::shared_ptr<MTLTexture> MTLDevice::newTextureWithDescriptor(
    const std::shared_ptr<MTLTextureDescriptor>& descriptor) {
  if (descriptor == nullptr) return nullptr;
  const platform::metal::PixelFormatInfo* format = platform::metal::internal::UsableTextureFormat(*descriptor);
  if (format == nullptr) return nullptr;
  const NSUInteger bytes_per_row = descriptor->width() * format->bytes_per_pixel;
  auto memory = std::make_shared<std::vector<uint8_t>>(bytes_per_row * descriptor->height());
  MTLTexture::Storage storage;
  storage.data = memory->data();
  storage.bytes_per_row = bytes_per_row;
  storage.owner = std::move(memory);
  return std::make_shared<MTLTexture>(*format, descriptor->width(), descriptor->height(), descriptor->usage(),
                                      std::move(storage));
}

std::shared_ptr<MTLSamplerState> MTLDevice::newSamplerStateWithDescriptor(
    const std::shared_ptr<MTLSamplerDescriptor>& descriptor) {
  if (descriptor == nullptr || descriptor->sAddressMode() != MTLSamplerAddressModeClampToEdge ||
      descriptor->tAddressMode() != MTLSamplerAddressModeClampToEdge) {
    return nullptr;
  }
  return std::make_shared<MTLSamplerState>(*descriptor);
}

std::shared_ptr<MTLLibrary> MTLDevice::newLibraryWithSource(const std::string& source,
                                                            const std::shared_ptr<MTLCompileOptions>& /*options*/,
                                                            std::shared_ptr<NSError>* error) {
  return platform::metal::internal::LibraryForSource(source, error);
}

std::shared_ptr<MTLLibrary> MTLDevice::newLibraryWithFile(const std::string& path, std::shared_ptr<NSError>* error) {
  std::ifstream file(path, std::ios::binary);
  if (path.empty() || !file) {
    NSErrorAssign(error, LibraryError(MTLLibraryErrorFileNotFound, "Library file not found: \"" + path + "\""));
    return nullptr;
  }
  std::ostringstream contents;
  contents << file.rdbuf();
  return platform::metal::internal::LibraryForSource(contents.str(), error);
}

std::shared_ptr<MTLRenderPipelineState> MTLDevice::newRenderPipelineStateWithDescriptor(
    const std::shared_ptr<MTLRenderPipelineDescriptor>& descriptor, std::shared_ptr<NSError>* error) {
  const auto fail = [error](std::string description) {
    NSErrorAssign(error, LibraryError(MTLLibraryErrorCompileFailure, std::move(description)));
    return nullptr;
  };
  if (descriptor == nullptr) return fail("No render pipeline descriptor");
  const std::shared_ptr<MTLFunction> vertex = descriptor->vertexFunction();
  const std::shared_ptr<MTLFunction> fragment = descriptor->fragmentFunction();
  if (vertex == nullptr || vertex->functionType() != MTLFunctionTypeVertex) {
    return fail("Render pipeline needs a vertex function");
  }
  if (fragment == nullptr || fragment->functionType() != MTLFunctionTypeFragment) {
    return fail("Render pipeline needs a fragment function");
  }
  const MTLPixelFormat color_format = descriptor->colorAttachments()[0].pixelFormat();
  if (platform::metal::FindPixelFormatInfo(color_format) == nullptr) {
    return fail("Colour attachment 0 has no renderable pixel format (" + std::to_string(color_format) + ")");
  }
  return std::make_shared<MTLRenderPipelineState>(descriptor->label(), vertex->implementation().vertex,
                                                  fragment->implementation().fragment, color_format,
                                                  fragment->implementation().fragment_span);
}

std::shared_ptr<MTLComputePipelineState> MTLDevice::newComputePipelineStateWithFunction(
    const std::shared_ptr<MTLFunction>& function, std::shared_ptr<NSError>* error) {
  if (function == nullptr || function->functionType() != MTLFunctionTypeKernel) {
    NSErrorAssign(error, LibraryError(MTLLibraryErrorCompileFailure, "Compute pipeline needs a kernel function"));
    return nullptr;
  }
  return std::make_shared<MTLComputePipelineState>(function->implementation().kernel);
}

std::shared_ptr<MTLDevice> MTLCreateSystemDefaultDevice() {
  if (!g_device_available.load()) return nullptr;
  static const std::shared_ptr<MTLDevice>* const device =
      new std::shared_ptr<MTLDevice>(std::make_shared<MTLDevice>("Quillmere CPU Metal device"));
  return *device;
}

namespace platform::metal {

void SetSystemDefaultDeviceAvailable(bool available) { g_device_available.store(available); }

ScopedSystemDefaultDeviceAvailable::ScopedSystemDefaultDeviceAvailable(bool available)
    : previous_(g_device_available.exchange(available)) {}

ScopedSystemDefaultDeviceAvailable::~ScopedSystemDefaultDeviceAvailable() { g_device_available.store(previous_); }

}  // namespace platform::metal
