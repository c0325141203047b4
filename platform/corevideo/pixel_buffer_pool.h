#ifndef PLATFORM_COREVIDEO_PIXEL_BUFFER_POOL_H_
#define PLATFORM_COREVIDEO_PIXEL_BUFFER_POOL_H_

// Core Video pixel-buffer pools: recycle pixel buffers of one size and format.
//
//   // pixel-buffer attributes: format, width and height (and any creation attribute)
//   // pool attributes: minimum buffer count, maximum buffer age (both optional)
//   CVPixelBufferPoolRef pool = NULL;
//   CVPixelBufferPoolCreate(kCFAllocatorDefault, pool_attrs, buffer_attrs, &pool);
//   CVPixelBufferRef buffer = NULL;
//   CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &buffer);
//   ...
//   CVPixelBufferRelease(buffer);   // back into the pool, free for the next request
//   CVPixelBufferPoolRelease(pool);
//
// Behaviour of this stand-in:
// - A request reuses the free buffer that was returned most recently, else allocates a new
//   one (zero-filled; a reused buffer keeps its old pixels). Either way the caller gets a
//   buffer with count 1 and no locks.
// - A buffer whose last reference goes returns to its pool as a free buffer, stamped with the
//   pool clock's time. Buffers of a pool that has itself been released are destroyed instead;
//   buffers handed out stay valid after their pool goes.
// - Ageing: a free buffer that has been free for longer than the maximum age
//   (kCVPixelBufferPoolMaximumBufferAgeKey, seconds; 1 second when absent, never when 0) is
//   destroyed, oldest first, as long as more free buffers than the minimum count
//   (kCVPixelBufferPoolMinimumBufferCountKey, default 0) remain: the pool always keeps that
//   many free buffers once it has had them. Ageing happens at every pool request, at every
//   return of a buffer and at CVPixelBufferPoolFlush; nothing happens between those calls.
// - Allocation threshold: a request with auxiliary attributes holding
//   kCVPixelBufferPoolAllocationThresholdKey = N, that finds no free buffer while N or more
//   buffers of the pool are in use, returns kCVReturnWouldExceedAllocationThreshold (-6689)
//   and allocates nothing.
// - Pools take the time from a clock that tests may replace (SetPoolClock below).
// All functions are thread-safe; a pool serialises its requests and returns with one mutex.

#include <cstddef>
#include <functional>

#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/dictionary.h"
#include "platform/corefoundation/object.h"
#include "platform/corevideo/cv_return.h"
#include "platform/corevideo/pixel_buffer.h"

struct CVPixelBufferPoolObject;
using CVPixelBufferPoolRef = CVPixelBufferPoolObject*;

// Pool attribute keys.
extern const CFStringRef kCVPixelBufferPoolMinimumBufferCountKey;  // number, >= 0
extern const CFStringRef kCVPixelBufferPoolMaximumBufferAgeKey;    // number of seconds, >= 0
// Auxiliary attribute key of a request: number, the threshold (values below 1 mean none).
extern const CFStringRef kCVPixelBufferPoolAllocationThresholdKey;

using CVPixelBufferPoolFlushFlags = CVOptionFlags;
// Destroy every free buffer beyond the minimum count, whatever its age.
inline constexpr CVPixelBufferPoolFlushFlags kCVPixelBufferPoolFlushExcessBuffers = 1;

CFTypeID CVPixelBufferPoolGetTypeID();

// A new pool with count 1 in *out. `pixel_buffer_attributes` must hold the format, width and
// height keys as numbers (kCVReturnInvalidPixelBufferAttributes otherwise; a size or format
// that CVPixelBufferCreate refuses gives its code); bad pool attributes give
// kCVReturnInvalidPoolAttributes; NULL `out` kCVReturnInvalidArgument. Both dictionaries are
// retained by the pool.
CVReturn CVPixelBufferPoolCreate(CFAllocatorRef allocator, CFDictionaryRef pool_attributes,
                                 CFDictionaryRef pixel_buffer_attributes, CVPixelBufferPoolRef* out);
CVPixelBufferPoolRef CVPixelBufferPoolRetain(CVPixelBufferPoolRef pool);  // NULL-safe
void CVPixelBufferPoolRelease(CVPixelBufferPoolRef pool);                 // NULL-safe

// A buffer of the pool in *out, owned by the caller. NULL pool or `out`:
// kCVReturnInvalidArgument.
CVReturn CVPixelBufferPoolCreatePixelBuffer(CFAllocatorRef allocator, CVPixelBufferPoolRef pool,
                                            CVPixelBufferRef* out);
// The same, honouring an allocation threshold in `auxiliary_attributes` (may be NULL).
CVReturn CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(CFAllocatorRef allocator,
                                                             CVPixelBufferPoolRef pool,
                                                             CFDictionaryRef auxiliary_attributes,
                                                             CVPixelBufferRef* out);
// Ages out free buffers now; with kCVPixelBufferPoolFlushExcessBuffers drops every free buffer
// beyond the minimum count.
void CVPixelBufferPoolFlush(CVPixelBufferPoolRef pool, CVPixelBufferPoolFlushFlags options);

// The dictionaries the pool was made with (not retained for the caller; NULL for a NULL pool
// or when none was given).
CFDictionaryRef CVPixelBufferPoolGetAttributes(CVPixelBufferPoolRef pool);
CFDictionaryRef CVPixelBufferPoolGetPixelBufferAttributes(CVPixelBufferPoolRef pool);

// Stand-in controls for tests.
namespace platform::corevideo {

// The clock of every pool, in seconds (any origin, never decreasing). An empty function
// restores the default, the steady clock. Pools read it during their operations, so set it
// before the pools that should see it work.
void SetPoolClock(std::function<double()> now_seconds);

struct PoolCounts {
  int free = 0;    // buffers waiting in the pool
  int in_use = 0;  // buffers handed out and not yet returned
};
// A snapshot; does not age anything.
PoolCounts GetPoolCounts(CVPixelBufferPoolRef pool);

}  // namespace platform::corevideo

#endif  // PLATFORM_COREVIDEO_PIXEL_BUFFER_POOL_H_
