// A standard mutex and condition variable that clang's thread-safety analysis can see.
//
// `base::Mutex` is a `std::mutex` carrying Abseil's capability annotations, so members
// marked `ABSL_GUARDED_BY(mutex_)` and functions marked `ABSL_EXCLUSIVE_LOCKS_REQUIRED`
// are checked at compile time (clang, -Wthread-safety). It stays a standard mutex on
// purpose: thread sanitizer understands it, which Debian's `absl::Mutex` is not built for.
//
//   class Counter {
//    public:
//     void Add(int n) {
//       base::MutexLock lock(&mutex_);
//       total_ += n;
//       changed_.SignalAll();
//     }
//     void WaitFor(int total) {
//       base::MutexLock lock(&mutex_);
//       while (total_ < total) changed_.Wait(&mutex_);
//     }
//
//    private:
//     base::Mutex mutex_;
//     base::CondVar changed_;
//     int total_ ABSL_GUARDED_BY(mutex_) = 0;
//   };
//
// Take it with `base::MutexLock`: the standard lock guards carry no annotations, so the
// analysis would not know the mutex is held inside their scope. `Mutex` also meets the
// standard's Lockable requirements for the rare place that needs `std::unique_lock`.

#ifndef BASE_MUTEX_H_
#define BASE_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "absl/base/thread_annotations.h"

namespace base {

class ABSL_LOCKABLE Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { mutex_.lock(); }
  void Unlock() ABSL_UNLOCK_FUNCTION() { mutex_.unlock(); }
  bool TryLock() ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true) { return mutex_.try_lock(); }

  // Tells the analysis that the calling thread holds the mutex (not checked at run time).
  void AssertHeld() const ABSL_ASSERT_EXCLUSIVE_LOCK() {}

  // Lockable, for std::unique_lock and friends.
  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { mutex_.lock(); }
  void unlock() ABSL_UNLOCK_FUNCTION() { mutex_.unlock(); }
  bool try_lock() ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true) { return mutex_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` for its scope.
class ABSL_SCOPED_LOCKABLE MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ABSL_EXCLUSIVE_LOCK_FUNCTION(mutex) : mutex_(mutex) {
    mutex_->Lock();
  }
  ~MutexLock() ABSL_UNLOCK_FUNCTION() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

// A condition variable for `base::Mutex`. Every wait may wake spuriously: wait in a loop
// that tests the condition.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mutex` while asleep and holds it again on return.
  void Wait(Mutex* mutex) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }

  // As Wait, until `deadline` at the latest; true when the deadline has passed.
  template <typename Clock, typename Duration>
  bool WaitUntil(Mutex* mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
    const bool timed_out = cv_.wait_until(lock, deadline) == std::cv_status::timeout;
    lock.release();
    return timed_out;
  }

  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace base

#endif  // BASE_MUTEX_H_
