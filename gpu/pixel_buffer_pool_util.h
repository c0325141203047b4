// Core Video pool helpers of the GPU layer: pools with the attributes GPU buffers need, and
// requests that respect an allocation threshold.
//
//   CFHolder<CVPixelBufferPoolRef> pool = MakeCFHolderAdopting(
//       CreateCVPixelBufferPool(640, 480, kCVPixelFormatType_32BGRA, /*keep_count=*/2, 0.1));
//   CFDictionaryRef aux = CreateCVPixelBufferPoolAuxiliaryAttributesForThreshold(2);
//   CVPixelBufferRef buffer = nullptr;
//   CVReturn err = CreateCVPixelBufferWithPool(*pool, aux, [&] { /* drop cached textures */ },
//                                              &buffer);
//
// Buffers of these pools are GL-compatible and surface-backed. A request that would pass the
// pool's allocation threshold first runs the flush function (which should release whatever
// keeps the pool's buffers in use, typically the textures of a texture cache) and tries again;
// if that does not help, the buffer is allocated past the threshold. Failures are reported only
// through the CVReturn codes or a null result; nothing is logged.

#ifndef GPU_PIXEL_BUFFER_POOL_UTIL_H_
#define GPU_PIXEL_BUFFER_POOL_UTIL_H_

#include <functional>

#include "platform/corefoundation/dictionary.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_buffer_pool.h"
#include "platform/eagl/cv_opengles_texture_cache.h"

namespace pellumo {

// A pool of `width` x `height` buffers of `pixel_format` that keeps at least `keep_count`
// free buffers and drops older ones after `max_age` seconds (no maximum age when `max_age` is
// 0 or less). Owned by the caller; null when Core Video refuses.
CVPixelBufferPoolRef CreateCVPixelBufferPool(int width, int height, OSType pixel_format,
                                             int keep_count, double max_age);

// Makes up to `count` buffers of `pool` and then releases them all together, so that they
// wait in the pool as free buffers. Returns the first failure, else kCVReturnSuccess.
CVReturn PreallocateCVPixelBufferPoolBuffers(CVPixelBufferPoolRef pool, int count,
                                             CFDictionaryRef auxiliary_attributes);

// Request attributes holding the allocation threshold; owned by the caller. Null when
// `allocation_threshold` is below 1.
CFDictionaryRef CreateCVPixelBufferPoolAuxiliaryAttributesForThreshold(int allocation_threshold);

// A buffer of `pool` in `*out`, owned by the caller. When the threshold of
// `auxiliary_attributes` is reached, calls `flush` (if any) and retries once, then asks
// without the threshold.
CVReturn CreateCVPixelBufferWithPool(CVPixelBufferPoolRef pool, CFDictionaryRef auxiliary_attributes,
                                     const std::function<void()>& flush, CVPixelBufferRef* out);

// The same, where the flush is CVOpenGLESTextureCacheFlush of `cache`.
CVReturn CreateCVPixelBufferWithPool(CVPixelBufferPoolRef pool, CFDictionaryRef auxiliary_attributes,
                                     CVOpenGLESTextureCacheRef cache, CVPixelBufferRef* out);

// A GL-compatible, surface-backed buffer made without a pool; owned by the caller.
CVReturn CreateCVPixelBufferWithoutPool(int width, int height, OSType pixel_format,
                                        CVPixelBufferRef* out);

}  // namespace pellumo

#endif  // GPU_PIXEL_BUFFER_POOL_UTIL_H_
