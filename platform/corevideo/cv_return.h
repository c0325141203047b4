#ifndef PLATFORM_COREVIDEO_CV_RETURN_H_
#define PLATFORM_COREVIDEO_CV_RETURN_H_

// Result codes of the Core Video functions: 0 for success, a negative code otherwise.

#include <cstdint>

using CVReturn = int32_t;
using CVOptionFlags = uint64_t;

inline constexpr CVReturn kCVReturnSuccess = 0;
inline constexpr CVReturn kCVReturnError = -6660;
inline constexpr CVReturn kCVReturnInvalidArgument = -6661;
inline constexpr CVReturn kCVReturnAllocationFailed = -6662;
inline constexpr CVReturn kCVReturnUnsupported = -6663;
inline constexpr CVReturn kCVReturnInvalidPixelFormat = -6680;
inline constexpr CVReturn kCVReturnInvalidSize = -6681;
inline constexpr CVReturn kCVReturnInvalidPixelBufferAttributes = -6682;
// A pool request carrying an allocation threshold found that many buffers of the pool in
// use already; nothing was allocated.
inline constexpr CVReturn kCVReturnWouldExceedAllocationThreshold = -6689;
inline constexpr CVReturn kCVReturnPoolAllocationFailed = -6690;
inline constexpr CVReturn kCVReturnInvalidPoolAttributes = -6691;

#endif  // PLATFORM_COREVIDEO_CV_RETURN_H_
