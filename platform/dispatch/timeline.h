// Inside the dispatch stand-in: the clock and the work that waits for a time (dispatch_after()
// blocks and timer firings).
//
// Work is kept in due-time order on the clock that was current when it was scheduled. Work on the
// monotonic clock is handed over by one thread, "dispatch-timer", started on first use; work on
// the virtual clock is handed over by AdvanceVirtualTime() on the thread that calls it.

#ifndef PLATFORM_DISPATCH_TIMELINE_H_
#define PLATFORM_DISPATCH_TIMELINE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/queue_internal.h"

namespace platform::dispatch::internal {

class Timeline {
 public:
  // Hands due work to its queue; `virtual_clock` tells which clock it was due on. Returns the
  // completion to wait for before the clock may move on, or null when there is nothing to wait for.
  using Fire = std::function<std::shared_ptr<Completion>(bool virtual_clock)>;

  struct Key {
    dispatch_time_t when = 0;
    uint64_t sequence = 0;
    bool virtual_clock = false;
  };

  static Timeline& Get();

  // The current time of the current clock.
  dispatch_time_t Now() const;
  bool IsVirtual() const { return virtual_on_.load(std::memory_order_acquire); }

  // Schedules `fire` at `when` on the current clock.
  Key Schedule(dispatch_time_t when, Fire fire);
  // Drops scheduled work; false when it is no longer scheduled (handed over or cancelled).
  bool Cancel(const Key& key);

  void UseVirtualTime(bool on);
  void AdvanceVirtualTime(std::chrono::nanoseconds delta);

 private:
  using Entries = std::map<std::pair<dispatch_time_t, uint64_t>, Fire>;

  Timeline() = default;
  void TimerThreadMain();

  std::atomic<bool> virtual_on_{false};
  std::atomic<dispatch_time_t> virtual_now_{0};

  std::mutex mu_;
  std::condition_variable real_changed_;
  Entries real_;
  Entries virtual_;
  uint64_t next_sequence_ = 0;
  bool timer_thread_started_ = false;
  bool advancing_ = false;
};

// The monotonic clock in nanoseconds.
dispatch_time_t MonotonicNow();

// The steady-clock time at which the span until `when` (on the current clock) has passed:
// the distant future for DISPATCH_TIME_FOREVER.
std::chrono::steady_clock::time_point RealDeadline(dispatch_time_t when);

}  // namespace platform::dispatch::internal

#endif  // PLATFORM_DISPATCH_TIMELINE_H_
