#ifndef PLATFORM_COREVIDEO_FAILURE_INJECTION_H_
#define PLATFORM_COREVIDEO_FAILURE_INJECTION_H_

// Stand-in control: makes Core Video calls fail on purpose, so that the error paths of their
// callers can be tested. The real platform has nothing like it.
//
//   platform::corevideo::InjectFailures(platform::corevideo::Operation::kCreatePixelBuffer,
//                                       1, kCVReturnAllocationFailed);
//   CVPixelBufferCreate(...)   // returns kCVReturnAllocationFailed, *out untouched
//   CVPixelBufferCreate(...)   // works again
//
// An injected failure is consumed by the next call of its operation that gets past argument
// checking, on any thread; such a call changes nothing and returns the injected code.
// Process-wide and thread-safe.

#include "platform/corevideo/cv_return.h"

namespace platform::corevideo {

enum class Operation {
  // CVPixelBufferCreate, CVPixelBufferCreateWithBytes and every pool request
  // (CVPixelBufferPoolCreatePixelBuffer[WithAuxAttributes]), also one that would reuse a
  // free buffer.
  kCreatePixelBuffer,
  // CVPixelBufferPoolCreate.
  kCreatePool,
  kLockBaseAddress,
  kUnlockBaseAddress,
};

// The next `count` calls of `operation` fail with `code` (replacing any earlier injection of
// that operation; a count of 0 removes it).
void InjectFailures(Operation operation, int count, CVReturn code);
void ClearInjectedFailures();

// For the Core Video stand-in itself: consumes one injected failure of `operation` and
// returns its code, or kCVReturnSuccess when none is pending.
CVReturn TakeInjectedFailure(Operation operation);

}  // namespace platform::corevideo

#endif  // PLATFORM_COREVIDEO_FAILURE_INJECTION_H_
