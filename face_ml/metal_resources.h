// Small owning wrappers around the Metal and Core Video objects a model runner uses for one
// inference: the runner's texture cache, the camera frame as a texture, tensor buffers and the
// command buffer the crop and the model are encoded into.
//
//   ASSIGN_OR_RETURN(MetalTextureCache cache, MetalTextureCache::Make(device));
//   int height = 0, width = 0;
//   ASSIGN_OR_RETURN(MTLPixelFormat format, GetMetalPixelFormat(pixel_buffer, 0, &height, &width));
//   ASSIGN_OR_RETURN(MetalTexture frame,
//                    MetalTexture::Make(cache.cache(), pixel_buffer, 0, width, height));
//   ASSIGN_OR_RETURN(MetalCommandBuffer commands, MetalCommandBuffer::Make(queue));
//   ... encode the crop and the model ...
//   commands.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
//
// Every factory reports failure as a RET_CHECK status naming the failed condition. Buffer
// lengths are rounded up to whole memory pages.

#ifndef FACE_ML_METAL_RESOURCES_H_
#define FACE_ML_METAL_RESOURCES_H_

#include <memory>

#include "absl/types/span.h"
#include "base/status.h"
#include "base/statusor.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/metal/cv_metal_texture_cache.h"
#include "platform/metal/device.h"

namespace research {
namespace sorvanti {
namespace flow {
namespace metal {

// The Metal pixel format of plane `plane` of `pixel_buffer`. For the two-plane 4:2:0 formats
// *height and *width receive the plane's size; for the others they are left as they are.
util::StatusOr<MTLPixelFormat> GetMetalPixelFormat(CVPixelBufferRef pixel_buffer, int plane,
                                                   int* height, int* width);

// A Metal texture, usually a pixel-buffer plane seen through a texture cache.
class MetalTexture {
 public:
  explicit MetalTexture(std::shared_ptr<MTLTexture> texture) : texture_(std::move(texture)) {}

  // The texture of `width` x `height` texels over plane `plane` of `pixel_buffer`, in the
  // format GetMetalPixelFormat gives. Only the Metal texture is kept; it holds the pixel
  // buffer's memory itself.
  static util::StatusOr<MetalTexture> Make(CVMetalTextureCacheRef cache,
                                           CVPixelBufferRef pixel_buffer, int plane, int width,
                                           int height);

  const std::shared_ptr<MTLTexture>& texture() const { return texture_; }

 private:
  std::shared_ptr<MTLTexture> texture_;
};

// A Metal buffer whose length is a whole number of memory pages.
class MetalBuffer {
 public:
  explicit MetalBuffer(std::shared_ptr<MTLBuffer> buffer) : buffer_(std::move(buffer)) {}

  // A new zero-filled buffer of at least `size` bytes.
  static util::StatusOr<MetalBuffer> Make(const std::shared_ptr<MTLDevice>& device, size_t size);
  // A buffer over the caller's memory, which must be page-aligned, cover `memory`'s size
  // rounded up to a page, and outlive the buffer. Nothing is copied.
  static util::StatusOr<MetalBuffer> Make(const std::shared_ptr<MTLDevice>& device,
                                          absl::Span<char> memory);

  const std::shared_ptr<MTLBuffer>& buffer() const { return buffer_; }

 private:
  std::shared_ptr<MTLBuffer> buffer_;
};

// `size` rounded up to a whole number of memory pages.
size_t RoundUpToPageSize(size_t size);

}  // namespace metal
}  // namespace flow

namespace api {
namespace internal {

// Owns one Core Video Metal texture cache; movable, not copyable.
class MetalTextureCache {
 public:
  static util::StatusOr<MetalTextureCache> Make(const std::shared_ptr<MTLDevice>& device);

  MetalTextureCache(MetalTextureCache&& other) noexcept : cache_(other.cache_) {
    other.cache_ = nullptr;
  }
  MetalTextureCache& operator=(MetalTextureCache&& other) noexcept;
  MetalTextureCache(const MetalTextureCache&) = delete;
  MetalTextureCache& operator=(const MetalTextureCache&) = delete;
  ~MetalTextureCache();

  CVMetalTextureCacheRef cache() const { return cache_; }

 private:
  explicit MetalTextureCache(CVMetalTextureCacheRef cache) : cache_(cache) {}

  CVMetalTextureCacheRef cache_ = nullptr;
};

// One command buffer, used for one commit.
class MetalCommandBuffer {
 public:
  enum WaitType {
    kWaitUntilCompleted = 0,
    // Commits and busy-waits on a flag that the completion handler sets.
    kSpinUntilCompleted = 1,
    kCommitOnly = 2,
  };

  explicit MetalCommandBuffer(std::shared_ptr<MTLCommandBuffer> buffer)
      : buffer_(std::move(buffer)) {}

  static util::StatusOr<MetalCommandBuffer> Make(const std::shared_ptr<MTLCommandQueue>& queue);

  // Commits the buffer and waits as `wait_type` says; another value does nothing.
  void CommitAndWait(WaitType wait_type);

  const std::shared_ptr<MTLCommandBuffer>& command_buffer() const { return buffer_; }

 private:
  std::shared_ptr<MTLCommandBuffer> buffer_;
};

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_METAL_RESOURCES_H_
