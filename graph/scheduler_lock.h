// Taking a briefly held, often contended mutex without going to sleep at once.

#ifndef QUILLMERE_GRAPH_SCHEDULER_LOCK_H_
#define QUILLMERE_GRAPH_SCHEDULER_LOCK_H_

#include <sched.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kaldren {
namespace internal {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Whether waiting by spinning can pay off on the calling thread: only when the thread may run
// on more than one processor. On a single one, whatever it waits for cannot happen while it
// spins, and the spinning takes the processor from the thread that would make it happen. Each
// thread looks once, at its first wait.
inline bool SpinningPays() {
  static thread_local const bool pays = [] {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof(set), &set) != 0 || CPU_COUNT(&set) > 1;
  }();
  return pays;
}

// Calls `try_once` after growing pauses, while spinning pays, until it returns true; false
// when it gave up. For a holder that is usually done within a few dozen instructions: each
// failed try takes the lock's cache line from it, hence the pauses.
template <typename TryOnce>
bool TryWithBackOff(TryOnce try_once) {
  for (int pauses = 1; pauses <= 128 && SpinningPays(); pauses *= 2) {
    for (int i = 0; i < pauses; ++i) CpuRelax();
    if (try_once()) return true;
  }
  return false;
}

// LockSpinning's way when the first try failed.
template <typename Lockable>
[[gnu::noinline]] void LockSpinningSlow(Lockable& lock) {
  if (!TryWithBackOff([&lock] { return lock.try_lock(); })) lock.lock();
}

// Takes `lock` (a mutex, or a lock over one), trying it for a short while before blocking.
// Worker threads hand tasks to each other through mutexes held for a few dozen
// instructions; sleeping on such a mutex and being woken again costs far more than waiting
// for its holder to let go.
template <typename Lockable>
inline void LockSpinning(Lockable& lock) {
  // Mostly the mutex is free: one try, and the back-off only when it is not.
  if (lock.try_lock()) return;
  LockSpinningSlow(lock);
}

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_SCHEDULER_LOCK_H_
