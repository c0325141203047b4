#include "platform/metal/buffer.h"

#include "platform/metal/texture.h"
#include "platform/metal/texture_internal.h"

MTLBuffer::MTLBuffer(void* memory, NSUInteger length, MTLResourceOptions options, Deallocator deallocator)
    : memory_(memory), length_(length), options_(options), deallocator_(std::move(deallocator)) {}

MTLBuffer::~MTLBuffer() {
  if (deallocator_) deallocator_(memory_, length_);
}

std::shared_ptr<MTLTexture> MTLBuffer::newTextureWithDescriptor(
    const std::shared_ptr<MTLTextureDescriptor>& descriptor, NSUInteger offset, NSUInteger bytesPerRow) {
  if (descriptor == nullptr) return nullptr;
  const platform::metal::PixelFormatInfo* format = platform::metal::internal::UsableTextureFormat(*descriptor);
  if (format == nullptr) return nullptr;
  const NSUInteger row_bytes = descriptor->width() * format->bytes_per_pixel;
  if (bytesPerRow < row_bytes || offset > length_) return nullptr;
  // The last row ends row_bytes after its start; rows before it are bytesPerRow apart.
  const NSUInteger rows_before_last = descriptor->height() - 1;
  if (row_bytes > length_ - offset || rows_before_last > (length_ - offset - row_bytes) / bytesPerRow) {
    return nullptr;
  }
  MTLTexture::Storage storage;
  storage.data = static_cast<uint8_t*>(memory_) + offset;
  storage.bytes_per_row = bytesPerRow;
  storage.buffer = shared_from_this();
  storage.buffer_offset = offset;
  return std::make_shared<MTLTexture>(*format, descriptor->width(), descriptor->height(),
                                      descriptor->usage(), std::move(storage));
}
