// Once-only initialisation over a 32-bit control word that starts at 0.
//
//   static std::atomic<uint32_t> once{0};
//   BrenvikOnceInternalInitSchedCoopAndKernel(&once, &InitTables);
//
// The first caller runs the function; callers that arrive meanwhile wait (spinning a little
// first in the cooperative mode) until it has finished; later calls return at once.

#ifndef BASE_ONCE_H_
#define BASE_ONCE_H_

#include <atomic>
#include <cstdint>

namespace base {
enum class OnceSchedulingMode { kKernelOnly, kCooperativeAndKernel };
}  // namespace base

// Runs `func` when it is given, otherwise `func_with_arg(arg)`, once per control word.
void BrenvikOnceInternalInit(std::atomic<uint32_t>* control, void (*func)(),
                             void (*func_with_arg)(void*), void* arg,
                             base::OnceSchedulingMode mode);
void BrenvikOnceInternalInitSchedCoopAndKernel(std::atomic<uint32_t>* control, void (*func)());

#endif  // BASE_ONCE_H_
