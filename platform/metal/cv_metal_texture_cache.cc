#include "platform/metal/cv_metal_texture_cache.h"

#include <utility>

#include "base/logging.h"

using platform::corefoundation::Object;

struct CVMetalTextureCacheObject final : Object {
  explicit CVMetalTextureCacheObject(std::shared_ptr<MTLDevice> device)
      : Object(CVMetalTextureCacheGetTypeID()), device(std::move(device)) {}

  const std::shared_ptr<MTLDevice> device;
};

struct CVMetalTextureObject final : Object {
  explicit CVMetalTextureObject(std::shared_ptr<MTLTexture> texture)
      : Object(CVMetalTextureGetTypeID()), texture(std::move(texture)) {}

  const std::shared_ptr<MTLTexture> texture;
};

namespace {

template <typename T>
T* Checked(T* object, CFTypeID type_id, const char* type_name) {
  if (object == nullptr) return nullptr;
  CHECK(Object::FromRef(object)->type_id() == type_id) << "not a " << type_name;
  return object;
}

}  // namespace

CFTypeID CVMetalTextureCacheGetTypeID() {
  static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
  return type_id;
}

CFTypeID CVMetalTextureGetTypeID() {
  static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
  return type_id;
}

CVReturn CVMetalTextureCacheCreate(CFAllocatorRef /*allocator*/, CFDictionaryRef /*cacheAttributes*/,
                                   std::shared_ptr<MTLDevice> metalDevice, CFDictionaryRef /*textureAttributes*/,
                                   CVMetalTextureCacheRef* cacheOut) {
  if (metalDevice == nullptr || cacheOut == nullptr) return kCVReturnInvalidArgument;
  *cacheOut = new CVMetalTextureCacheObject(std::move(metalDevice));
  return kCVReturnSuccess;
}

CVReturn CVMetalTextureCacheCreateTextureFromImage(CFAllocatorRef /*allocator*/, CVMetalTextureCacheRef textureCache,
                                                   CVImageBufferRef sourceImage, CFDictionaryRef /*textureAttributes*/,
                                                   MTLPixelFormat pixelFormat, size_t width, size_t height,
                                                   size_t planeIndex, CVMetalTextureRef* textureOut) {
  Checked(textureCache, CVMetalTextureCacheGetTypeID(), "CVMetalTextureCache");
  if (textureCache == nullptr || sourceImage == nullptr || textureOut == nullptr) return kCVReturnInvalidArgument;
  const size_t planes = CVPixelBufferGetPlaneCount(sourceImage);
  if (planeIndex >= (planes == 0 ? 1 : planes)) return kCVReturnInvalidArgument;
  const platform::metal::PixelFormatInfo* format = platform::metal::FindPixelFormatInfo(pixelFormat);
  if (format == nullptr) return kCVReturnInvalidPixelFormat;
  const platform::corevideo::Plane plane = platform::corevideo::GetPlane(sourceImage, planeIndex);
  if (format->bytes_per_pixel != plane.bytes_per_pixel) return kCVReturnPixelBufferNotMetalCompatible;
  if (width == 0 || height == 0 || width > plane.width || height > plane.height) return kCVReturnInvalidSize;

  MTLTexture::Storage storage;
  storage.data = plane.data;
  storage.bytes_per_row = plane.bytes_per_row;
  storage.owner = std::shared_ptr<void>(CVPixelBufferRetain(sourceImage),
                                        [](void* buffer) { CVPixelBufferRelease(static_cast<CVPixelBufferRef>(buffer)); });
  auto texture = std::make_shared<MTLTexture>(
      *format, width, height, MTLTextureUsageShaderRead | MTLTextureUsageShaderWrite | MTLTextureUsageRenderTarget,
      std::move(storage));
  *textureOut = new CVMetalTextureObject(std::move(texture));
  return kCVReturnSuccess;
}

std::shared_ptr<MTLTexture> CVMetalTextureGetTexture(CVMetalTextureRef image) {
  if (Checked(image, CVMetalTextureGetTypeID(), "CVMetalTexture") == nullptr) return nullptr;
  return image->texture;
}

void CVMetalTextureCacheFlush(CVMetalTextureCacheRef textureCache, CVOptionFlags /*options*/) {
  Checked(textureCache, CVMetalTextureCacheGetTypeID(), "CVMetalTextureCache");
}
