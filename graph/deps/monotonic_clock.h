// A clock whose readings never go backwards.
//
// A `MonotonicClock` wraps a raw clock; when the raw clock goes back, it keeps returning
// the largest time it has returned so far and counts the correction. Several monotonic
// clocks may share one `State`, and then they never go backwards relative to each other:
// the synchronized monotonic clocks all share one process-wide state over the real clock.

#ifndef QUILLMERE_GRAPH_DEPS_MONOTONIC_CLOCK_H_
#define QUILLMERE_GRAPH_DEPS_MONOTONIC_CLOCK_H_

#include <mutex>

#include "absl/base/thread_annotations.h"
#include "absl/time/time.h"
#include "graph/deps/clock.h"

namespace kaldren {

class MonotonicClock : public Clock {
 public:
  // Shared by every monotonic clock built on it. Must outlive those clocks.
  struct State {
    explicit State(Clock* clock) : raw_clock(clock) {}
    Clock* const raw_clock;  // Not owned.
    // A standard mutex so that thread sanitizer builds see the locking.
    std::mutex lock;
    // The largest time any clock on this state has returned.
    absl::Time max_time ABSL_GUARDED_BY(lock) = absl::UnixEpoch();
  };

  // A new clock (caller owns) with a state of its own over `clock`.
  static MonotonicClock* CreateMonotonicClock(Clock* clock);
  // A new clock (caller owns) on the process-wide state over the real clock.
  static MonotonicClock* CreateSynchronizedMonotonicClock();

  // How many readings found the raw clock behind this clock's previous raw reading, and
  // the largest correction in seconds. A null pointer skips that value.
  virtual void GetCorrectionMetrics(int* correction_count, double* max_correction) = 0;
  virtual void ResetCorrectionMetrics() = 0;
};

// For tools that share states explicitly.
class MonotonicClockAccess {
 public:
  // A new state over `clock` (caller owns).
  static MonotonicClock::State* CreateMonotonicClockState(Clock* clock);
  // Deletes a state; null is ignored.
  static void DeleteMonotonicClockState(MonotonicClock::State* state);
  // A new clock (caller owns) on `state`, which it does not own.
  static MonotonicClock* CreateMonotonicClock(MonotonicClock::State* state);
  // Sets the synchronized state's max time back to the Unix epoch. A synchronized clock
  // that was read before must not be read again afterwards.
  static void SynchronizedMonotonicClockReset();
};

class MonotonicClockImpl : public MonotonicClock {
 public:
  MonotonicClockImpl(State* state, bool state_owned);
  ~MonotonicClockImpl() override;

  absl::Time TimeNow() override;
  void Sleep(absl::Duration d) override;
  void SleepUntil(absl::Time t) override;
  void GetCorrectionMetrics(int* correction_count, double* max_correction) override;
  void ResetCorrectionMetrics() override;

  // Gives up ownership of the state; the clock must own it.
  void ReleaseState();

 private:
  State* const state_;
  bool state_owned_;
  // Guarded by state_->lock.
  absl::Time last_raw_time_ = absl::UnixEpoch();
  int correction_count_ = 0;
  absl::Duration max_correction_ = absl::ZeroDuration();
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_DEPS_MONOTONIC_CLOCK_H_
