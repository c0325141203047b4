// A mutex for the locks that every packet takes: a word in user space, entered and left with
// one atomic instruction each while nobody waits, with the kernel involved only for a thread
// that must sleep.
//
// The standard mutex costs several dozen instructions a pair, out of line, on top of its
// atomic instructions; a packet crossing one node takes four such locks. `LightMutex` takes
// the same atomic instructions and little else, inline. A thread that finds it held tries
// again a few times with growing pauses, where spinning can pay (see `SpinningPays`), and
// then sleeps on the word until the holder wakes it.
//
// It is a plain exclusive mutex: not recursive, not fair, and it meets the standard's
// Lockable requirements, so `std::lock_guard` and `std::unique_lock` take it. Every hand-over
// is an acquire/release pair on the word, which thread sanitizer sees as it sees a mutex.
//
//   LightMutex mutex;
//   {
//     std::lock_guard<LightMutex> lock(mutex);
//     ...
//   }

#ifndef QUILLMERE_GRAPH_LIGHT_MUTEX_H_
#define QUILLMERE_GRAPH_LIGHT_MUTEX_H_

#include <atomic>

#include "absl/base/thread_annotations.h"

namespace kaldren {
namespace internal {

class ABSL_LOCKABLE LightMutex {
 public:
  LightMutex() = default;
  LightMutex(const LightMutex&) = delete;
  LightMutex& operator=(const LightMutex&) = delete;

  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() {
    if (!try_lock()) LockSlow();
  }

  bool try_lock() ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true) {
    int expected = kFree;
    return state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void unlock() ABSL_UNLOCK_FUNCTION() {
    if (state_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers) WakeOne();
  }

 private:
  enum : int {
    kFree = 0,
    kHeld = 1,
    // Held, and a thread may be asleep on the word (or about to be): the holder must wake
    // one when it lets go.
    kHeldWithSleepers = 2,
  };

  [[gnu::noinline]] void LockSlow();
  [[gnu::noinline]] void WakeOne();

  std::atomic<int> state_{kFree};
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_LIGHT_MUTEX_H_
