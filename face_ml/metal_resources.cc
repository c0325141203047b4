#include "face_ml/metal_resources.h"

#include <unistd.h>

#include <atomic>
#include <utility>

#include "base/status_macros.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/objc/nil.h"

namespace research {
namespace sorvanti {
namespace flow {
namespace metal {

size_t RoundUpToPageSize(size_t size) {
  const size_t page = static_cast<size_t>(getpagesize());
  return (size + page - 1) / page * page;
}

util::StatusOr<MTLPixelFormat> GetMetalPixelFormat(CVPixelBufferRef pixel_buffer, int plane,
                                                   int* height, int* width) {
  MTLPixelFormat format = MTLPixelFormatInvalid;
  switch (CVPixelBufferGetPixelFormatType(pixel_buffer)) {
    case kCVPixelFormatType_32BGRA:
      format = MTLPixelFormatBGRA8Unorm;
      break;
    case kCVPixelFormatType_OneComponent8:
      format = MTLPixelFormatR8Uint;
      break;
    case kCVPixelFormatType_OneComponent32Float:
      format = MTLPixelFormatR32Float;
      break;
    case kCVPixelFormatType_64RGBAHalf:
      format = MTLPixelFormatRGBA16Float;
      break;
    case kCVPixelFormatType_TwoComponent16Half:
      format = MTLPixelFormatRG16Float;
      break;
    case kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange:
    case kCVPixelFormatType_420YpCbCr8BiPlanarFullRange:
      if (plane == 0) {
        format = MTLPixelFormatR8Unorm;
      } else if (plane == 1) {
        format = MTLPixelFormatRG8Unorm;
      } else {
        RET_CHECK(false) << "Invalid plane number";
      }
      *height = static_cast<int>(CVPixelBufferGetHeightOfPlane(pixel_buffer, plane));
      *width = static_cast<int>(CVPixelBufferGetWidthOfPlane(pixel_buffer, plane));
      return format;
    default:
      RET_CHECK(false) << "Invalid pixel buffer format";
  }
  RET_CHECK(plane == 0) << "Invalid plane number";
  return format;
}

util::StatusOr<MetalTexture> MetalTexture::Make(CVMetalTextureCacheRef cache,
                                                CVPixelBufferRef pixel_buffer, int plane,
                                                int width, int height) {
  ASSIGN_OR_RETURN(const MTLPixelFormat format,
                   GetMetalPixelFormat(pixel_buffer, plane, &height, &width));
  CVMetalTextureRef cv_texture = nullptr;
  const CVReturn err = CVMetalTextureCacheCreateTextureFromImage(
      kCFAllocatorDefault, cache, pixel_buffer, nullptr, format, width, height, plane,
      &cv_texture);
  RET_CHECK(err == kCVReturnSuccess) << "Can't create CVMetalTextureRef: " << err;
  std::shared_ptr<MTLTexture> texture = CVMetalTextureGetTexture(cv_texture);
  // The Metal texture holds the pixel buffer's memory itself; the Core Video object can go.
  CFRelease(cv_texture);
  RET_CHECK(texture != nil) << "Can't create id<MTLTexture>";
  return MetalTexture(std::move(texture));
}

util::StatusOr<MetalBuffer> MetalBuffer::Make(const std::shared_ptr<MTLDevice>& device,
                                              size_t size) {
  std::shared_ptr<MTLBuffer> buffer;
  if (device != nullptr) {
    buffer = device->newBufferWithLength(RoundUpToPageSize(size), MTLResourceStorageModeShared);
  }
  RET_CHECK(buffer != nil) << "Can't create Metal buffer";
  return MetalBuffer(std::move(buffer));
}

util::StatusOr<MetalBuffer> MetalBuffer::Make(const std::shared_ptr<MTLDevice>& device,
                                              absl::Span<char> memory) {
  std::shared_ptr<MTLBuffer> buffer;
  if (device != nullptr) {
    buffer = device->newBufferWithBytesNoCopy(memory.data(), RoundUpToPageSize(memory.size()),
                                              MTLResourceStorageModeShared, nullptr);
  }
  RET_CHECK(buffer != nil) << "Can't create Metal buffer";
  return MetalBuffer(std::move(buffer));
}

}  // namespace metal
}  // namespace flow

namespace api {
namespace internal {

util::StatusOr<MetalTextureCache> MetalTextureCache::Make(
    const std::shared_ptr<MTLDevice>& device) {
  CVMetalTextureCacheRef cache = nullptr;
  const CVReturn err =
      CVMetalTextureCacheCreate(kCFAllocatorDefault, nullptr, device, nullptr, &cache);
  RET_CHECK(err == kCVReturnSuccess) << "Error at CVMetalTextureCacheCreate: " << err;
  return MetalTextureCache(cache);
}

MetalTextureCache& MetalTextureCache::operator=(MetalTextureCache&& other) noexcept {
  if (this != &other) {
    if (cache_ != nullptr) CFRelease(cache_);
    cache_ = std::exchange(other.cache_, nullptr);
  }
  return *this;
}

MetalTextureCache::~MetalTextureCache() {
  if (cache_ != nullptr) CFRelease(cache_);
}

util::StatusOr<MetalCommandBuffer> MetalCommandBuffer::Make(
    const std::shared_ptr<MTLCommandQueue>& queue) {
  std::shared_ptr<MTLCommandBuffer> buffer;
  if (queue != nullptr) buffer = queue->commandBuffer();
  RET_CHECK(buffer != nil) << "Can't create command buffer";
  return MetalCommandBuffer(std::move(buffer));
}

void MetalCommandBuffer::CommitAndWait(WaitType wait_type) {
  switch (wait_type) {
    case kWaitUntilCompleted:
      buffer_->commit();
      buffer_->waitUntilCompleted();
      break;
    case kSpinUntilCompleted: {
      auto done = std::make_shared<std::atomic<bool>>(false);
      buffer_->addCompletedHandler(
          [done](const std::shared_ptr<MTLCommandBuffer>&) { done->store(true); });
      buffer_->commit();
      while (!done->load()) {
      }
      break;
    }
    case kCommitOnly:
      buffer_->commit();
      break;
  }
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
