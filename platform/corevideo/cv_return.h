#ifndef PLATFORM_COREVIDEO_CV_RETURN_H_
#define PLATFORM_COREVIDEO_CV_RETURN_H_

// Result codes of the Core Video functions: 0 for success, a negative code otherwise.

#include <cstdint>

using CVReturn = int32_t;
using CVOptionFlags = uint64_t;

enum : CVReturn {
  kCVReturnSuccess = 0,
  kCVReturnError = -6660,
  kCVReturnInvalidArgument = -6661,
  kCVReturnAllocationFailed = -6662,
  kCVReturnUnsupported = -6663,
  kCVReturnInvalidPixelFormat = -6680,
  kCVReturnInvalidSize = -6681,
  kCVReturnInvalidPixelBufferAttributes = -6682,
  // A pool request carrying an allocation threshold found that many buffers of the pool in
  // use already; nothing was allocated.
  kCVReturnWouldExceedAllocationThreshold = -6689,
  kCVReturnPoolAllocationFailed = -6690,
  kCVReturnInvalidPoolAttributes = -6691,
};

#endif  // PLATFORM_COREVIDEO_CV_RETURN_H_
