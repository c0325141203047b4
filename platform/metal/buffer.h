#ifndef PLATFORM_METAL_BUFFER_H_
#define PLATFORM_METAL_BUFFER_H_

// MTLBuffer: a block of CPU memory that kernels, shaders and the caller share.
//
//   auto buffer = device->newBufferWithLength(4096, MTLResourceStorageModeShared);
//   std::memcpy(buffer->contents(), data, size);   // visible to work committed afterwards
//
// Buffers are made by MTLDevice (device.h). One the device allocates is zero-filled, starts
// on a page boundary and is exactly as long as asked (no rounding). One made over caller
// memory (newBufferWithBytesNoCopy) is that memory: writes through either side are seen by
// the other, and the deallocator runs once when the last reference goes.
//
// contents() and length() are thread-safe; the bytes themselves are not guarded: the caller
// orders its CPU accesses against committed work (waitUntilCompleted) as on the platform.

#include <functional>
#include <memory>

#include "platform/metal/types.h"

class MTLTexture;
class MTLTextureDescriptor;

class MTLBuffer : public std::enable_shared_from_this<MTLBuffer> {
 public:
  // Called with the buffer's pointer and length when it is destroyed.
  using Deallocator = std::function<void(void* pointer, NSUInteger length)>;

  // Made by MTLDevice; `deallocator` may be empty.
  MTLBuffer(void* memory, NSUInteger length, MTLResourceOptions options, Deallocator deallocator);
  ~MTLBuffer();
  MTLBuffer(const MTLBuffer&) = delete;
  MTLBuffer& operator=(const MTLBuffer&) = delete;

  void* contents() const { return memory_; }
  NSUInteger length() const { return length_; }
  MTLResourceOptions resourceOptions() const { return options_; }

  // A texture whose texels are this buffer's bytes from `offset` on, rows `bytesPerRow` apart;
  // nothing is copied, and the texture keeps the buffer alive. Null when the descriptor is
  // null or unusable (see MTLDevice::newTextureWithDescriptor), when a row is shorter than
  // width texels, or when the texture would reach past the buffer's end.
  std::shared_ptr<MTLTexture> newTextureWithDescriptor(
      const std::shared_ptr<MTLTextureDescriptor>& descriptor, NSUInteger offset, NSUInteger bytesPerRow);

 private:
  void* const memory_;
  const NSUInteger length_;
  const MTLResourceOptions options_;
  Deallocator deallocator_;
};

#endif  // PLATFORM_METAL_BUFFER_H_
