// State that a graph's scheduler shares with its scheduler queues.

#ifndef QUILLMERE_GRAPH_SCHEDULER_SHARED_H_
#define QUILLMERE_GRAPH_SCHEDULER_SHARED_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/status.h"
#include "graph/deps/clock.h"
#include "graph/tick_clock.h"

namespace kaldren {
namespace internal {

// How long the last run took, and how much of it was spent inside calculator calls.
struct SchedulerTimes {
  int64_t total_time = 0;      // microseconds from Start to the end of the run
  // Microseconds inside Open, Process and Close, summed over the threads. Calls that run
  // back to back as one chain are timed as a whole, with the steps between them.
  int64_t total_run_time = 0;
};

// Times a run and sums the time spent in calculator calls, from any thread.
class SchedulerTimer {
 public:
  // Owns a synchronized monotonic clock.
  SchedulerTimer();
  ~SchedulerTimer();

  // At the start of a run: remembers the start time and clears the calculator time.
  void StartRun();
  // At the end of a run: the total time becomes now minus the start time.
  void EndRun();

  // Calculator calls are timed with the process's tick clock rather than the synchronized
  // clock, whose process-wide lock would otherwise be taken for every reading: only
  // durations are needed. The sum is kept in ticks and turned into microseconds when it is
  // read, so that calls shorter than a microsecond count too. A thread reads `NowTicks`
  // around its calls and adds what they took with `AddTicks`, safely from many threads.
  int64_t NowTicks() const { return tick_clock_.Now(); }
  void AddTicks(int64_t ticks) { total_run_ticks_.fetch_add(ticks, std::memory_order_relaxed); }

  SchedulerTimes GetSchedulerTimes() const;

 private:
  int64_t NowMicros();

  std::unique_ptr<Clock> clock_;
  const TickClock& tick_clock_;
  std::atomic<int64_t> total_run_ticks_{0};
  int64_t start_time_ = 0;
  int64_t total_time_ = 0;
};

// One per scheduler, reached by pointer from each of its queues.
struct SchedulerShared {
  // Set while source nodes are being stopped: queues close a scheduled source instead of
  // running it.
  std::atomic<bool> stopping{false};
  // Set once the run has an error: queues accept no new tasks.
  std::atomic<bool> has_error{false};
  // Records an error of the run (a node's failed open, process or close).
  std::function<void(const absl::Status&)> error_callback;
  SchedulerTimer timer;
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_SCHEDULER_SHARED_H_
