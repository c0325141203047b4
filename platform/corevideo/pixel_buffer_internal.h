#ifndef PLATFORM_COREVIDEO_PIXEL_BUFFER_INTERNAL_H_
#define PLATFORM_COREVIDEO_PIXEL_BUFFER_INTERNAL_H_

// The pixel-buffer object behind CVPixelBufferRef, shared by the buffer and pool sources of
// this folder. Not for use outside platform/corevideo.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/corefoundation/object.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"

namespace platform::corevideo::internal {

class PoolCore;

// What a buffer to allocate looks like, from the creation arguments and attributes.
struct BufferSpec {
  size_t width = 0;
  size_t height = 0;
  OSType format = 0;
  size_t row_alignment = 64;
  bool surface_backed = false;
};

// Reads the alignment and surface attributes into `spec`; kCVReturnInvalidPixelBufferAttributes
// for an alignment that is not a positive number.
CVReturn ReadBufferAttributes(CFDictionaryRef attributes, BufferSpec* spec);
// Checks the size and format of `spec`.
CVReturn ValidateBufferSpec(const BufferSpec& spec);
// A new zero-filled buffer (count 1) of a validated spec, or NULL when memory runs out.
CVPixelBufferObject* AllocateBuffer(const BufferSpec& spec);
// Hands a pool buffer whose count reached zero back to its pool (pixel_buffer_pool.cc).
void ReturnToPool(PoolCore& pool, CVPixelBufferObject* buffer);

}  // namespace platform::corevideo::internal

struct CVPixelBufferObject final : platform::corefoundation::Object {
  struct PlaneGeometry {
    size_t offset = 0;
    size_t width = 0;
    size_t height = 0;
    size_t bytes_per_row = 0;
  };

  CVPixelBufferObject() : Object(CVPixelBufferGetTypeID()) {}
  ~CVPixelBufferObject() override;

  // Brings a buffer kept by its pool back into use with count 1.
  void Reuse() { Revive(); }

  size_t width = 0;
  size_t height = 0;
  OSType format = 0;
  const platform::corevideo::PixelFormatLayout* layout = nullptr;
  int stored_planes = 1;  // 1, or 2 for the bi-planar formats
  PlaneGeometry planes[2];
  uint8_t* memory = nullptr;
  size_t data_size = 0;
  bool owns_memory = false;
  CVPixelBufferReleaseBytesCallback release_callback = nullptr;
  void* release_ref_con = nullptr;
  bool surface_backed = false;

  std::mutex lock_mutex;
  platform::corevideo::LockState locks;  // guarded by lock_mutex

  // Set for buffers made by a pool: the last release hands the buffer back to it.
  std::shared_ptr<platform::corevideo::internal::PoolCore> pool;

 protected:
  void LastRelease() override;
};

#endif  // PLATFORM_COREVIDEO_PIXEL_BUFFER_INTERNAL_H_
