#include "base/once.h"

#include <sched.h>

namespace {
// The states of the control word.
constexpr uint32_t kOnceInit = 0;
constexpr uint32_t kOnceRunning = 0x65C2937B;
constexpr uint32_t kOnceDone = 221;
}  // namespace

void BrenvikOnceInternalInit(std::atomic<uint32_t>* control, void (*func)(),
                             void (*func_with_arg)(void*), void* arg,
                             base::OnceSchedulingMode mode) {
  uint32_t state = control->load(std::memory_order_acquire);
  if (state == kOnceDone) return;
  state = kOnceInit;
  if (control->compare_exchange_strong(state, kOnceRunning, std::memory_order_acq_rel)) {
    if (func != nullptr) {
      func();
    } else {
      func_with_arg(arg);
    }
    control->store(kOnceDone, std::memory_order_release);
    control->notify_all();
    return;
  }
  if (mode == base::OnceSchedulingMode::kCooperativeAndKernel) {
    for (int i = 0; i < 100 && control->load(std::memory_order_acquire) != kOnceDone; ++i) {
      sched_yield();
    }
  }
  while ((state = control->load(std::memory_order_acquire)) != kOnceDone) {
    control->wait(state, std::memory_order_acquire);
  }
}

void BrenvikOnceInternalInitSchedCoopAndKernel(std::atomic<uint32_t>* control, void (*func)()) {
  BrenvikOnceInternalInit(control, func, nullptr, nullptr,
                          base::OnceSchedulingMode::kCooperativeAndKernel);
}
