#include "graph/light_mutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "graph/scheduler_lock.h"

namespace kaldren {
namespace internal {

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "the kernel waits on the mutex's word as on a plain int");

void LightMutex::LockSlow() {
  // Look before trying: a failed try takes the word's cache line from the holder.
  if (TryWithBackOff(
          [this] { return state_.load(std::memory_order_relaxed) == kFree && try_lock(); })) {
    return;
  }
  // From here this thread may sleep, so whoever holds the word must know to wake it: mark the
  // word as having sleepers while taking it. Taking it that way when nobody else sleeps only
  // costs one needless wake-up call at the unlock.
  while (state_.exchange(kHeldWithSleepers, std::memory_order_acquire) != kFree) {
    // Returns at once if the word changed since the exchange; spurious returns just loop.
    syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAIT_PRIVATE, kHeldWithSleepers,
            nullptr, nullptr, 0);
  }
}

void LightMutex::WakeOne() {
  syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
          0);
}

}  // namespace internal
}  // namespace kaldren
