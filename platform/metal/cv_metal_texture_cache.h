#ifndef PLATFORM_METAL_CV_METAL_TEXTURE_CACHE_H_
#define PLATFORM_METAL_CV_METAL_TEXTURE_CACHE_H_

// The Core Video Metal texture cache: Metal textures over pixel-buffer planes.
//
//   CVMetalTextureCacheRef cache = NULL;
//   CVMetalTextureCacheCreate(kCFAllocatorDefault, NULL, device, NULL, &cache);
//   CVMetalTextureRef cv_texture = NULL;
//   CVMetalTextureCacheCreateTextureFromImage(kCFAllocatorDefault, cache, pixel_buffer, NULL,
//       MTLPixelFormatBGRA8Unorm, width, height, 0, &cv_texture);
//   std::shared_ptr<MTLTexture> texture = CVMetalTextureGetTexture(cv_texture);
//   CFRelease(cv_texture);   // the texture stays usable: it holds the pixel buffer itself
//
// The cache and its textures are Core Foundation objects (CFRetain / CFRelease, type ids
// below). A texture is the plane's own memory, never a copy: what work committed on the device
// writes into it is in the pixel buffer, and what the CPU writes into the pixel buffer is what
// the device reads. The Metal texture retains the pixel buffer for as long as it lives, so it
// may outlive both the Core Video texture and the caller's reference to the buffer. No pixel
// buffer lock is taken (a GPU does not take one either); the caller orders its CPU access
// against committed work.
//
// Since nothing is copied, the cache keeps nothing: flushing does nothing, and textures of the
// same plane are distinct objects over the same memory.
//
// All functions are thread-safe.

#include <cstddef>
#include <memory>

#include "platform/corefoundation/dictionary.h"
#include "platform/corefoundation/object.h"
#include "platform/corevideo/cv_return.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/metal/device.h"
#include "platform/metal/types.h"

struct CVMetalTextureCacheObject;
struct CVMetalTextureObject;
using CVMetalTextureCacheRef = CVMetalTextureCacheObject*;
using CVMetalTextureRef = CVMetalTextureObject*;

// The pixel format does not fit the plane (its bytes per pixel differ from the plane's).
inline constexpr CVReturn kCVReturnPixelBufferNotMetalCompatible = -6684;

CFTypeID CVMetalTextureCacheGetTypeID();
CFTypeID CVMetalTextureGetTypeID();

// A new cache (count 1) for `device` in *cacheOut. kCVReturnInvalidArgument, with *cacheOut left
// unchanged, for a null device or a null `cacheOut`. The attribute dictionaries are accepted and
// ignored.
CVReturn CVMetalTextureCacheCreate(CFAllocatorRef allocator, CFDictionaryRef cacheAttributes,
                                   std::shared_ptr<MTLDevice> metalDevice, CFDictionaryRef textureAttributes,
                                   CVMetalTextureCacheRef* cacheOut);

// A new texture (count 1) of `width` x `height` texels of `pixelFormat` over plane `planeIndex`
// of `sourceImage`, starting at the plane's first pixel, in *textureOut. Errors (nothing made,
// *textureOut unchanged):
//   a null cache, image or textureOut                          kCVReturnInvalidArgument
//   a plane the buffer lacks (single-plane buffers have plane 0 only)  kCVReturnInvalidArgument
//   a pixel format no texture can have here                    kCVReturnInvalidPixelFormat
//   a format whose texel size differs from the plane's pixels  kCVReturnPixelBufferNotMetalCompatible
//   a zero size, or one larger than the plane                  kCVReturnInvalidSize
// The texture's usage is shader read, shader write and render target.
CVReturn CVMetalTextureCacheCreateTextureFromImage(CFAllocatorRef allocator, CVMetalTextureCacheRef textureCache,
                                                   CVImageBufferRef sourceImage, CFDictionaryRef textureAttributes,
                                                   MTLPixelFormat pixelFormat, size_t width, size_t height,
                                                   size_t planeIndex, CVMetalTextureRef* textureOut);

// The Metal texture of a Core Video texture; null for NULL.
std::shared_ptr<MTLTexture> CVMetalTextureGetTexture(CVMetalTextureRef image);

// Does nothing (the cache keeps no textures); accepts NULL.
void CVMetalTextureCacheFlush(CVMetalTextureCacheRef textureCache, CVOptionFlags options);

#endif  // PLATFORM_METAL_CV_METAL_TEXTURE_CACHE_H_
