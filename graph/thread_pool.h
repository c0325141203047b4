// A fixed set of named worker threads that take tasks from one first-in-first-out queue.

#ifndef QUILLMERE_GRAPH_THREAD_POOL_H_
#define QUILLMERE_GRAPH_THREAD_POOL_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/status.h"

namespace kaldren {

// Settings of a pool's worker threads. Workers are created with the platform's default thread
// attributes: a stack size is carried but not applied, and a priority or a processor set only
// makes each worker log that the platform does not support them.
class ThreadOptions {
 public:
  ThreadOptions& set_stack_size(size_t stack_size) {
    stack_size_ = stack_size;
    return *this;
  }
  ThreadOptions& set_nice_level(int nice_level) {
    nice_level_ = nice_level;
    return *this;
  }
  ThreadOptions& set_cpu_set(const std::set<int>& cpu_ids) {
    cpu_ids_ = cpu_ids;
    return *this;
  }
  ThreadOptions& set_name_prefix(const std::string& name_prefix) {
    name_prefix_ = name_prefix;
    return *this;
  }

  size_t stack_size() const { return stack_size_; }
  int nice_level() const { return nice_level_; }
  const std::set<int>& cpu_set() const { return cpu_ids_; }
  const std::string& name_prefix() const { return name_prefix_; }

 private:
  size_t stack_size_ = 0;  // 0: not set.
  int nice_level_ = 0;
  std::set<int> cpu_ids_;
  std::string name_prefix_;
};

class ThreadPool {
 public:
  // A pool of `num_threads` workers (0 means 1) named "<name_prefix>/<thread id>". No thread
  // starts before `StartWorkers`.
  explicit ThreadPool(int num_threads);
  ThreadPool(const std::string& name_prefix, int num_threads);
  ThreadPool(const ThreadOptions& thread_options, const std::string& name_prefix,
             int num_threads);

  // Lets the workers finish every queued task, then joins them.
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Starts the workers; call once. When the system refuses to create a worker thread, the
  // workers already started are stopped (after running what was queued) and the result is
  // RESOURCE_EXHAUSTED with the system's text; the pool then runs nothing more.
  absl::Status StartWorkers();

  // Queues `task`; tasks start in the order they were scheduled, on any worker. The first task
  // that a running task schedules while its worker holds no other is that worker's
  // continuation: it waits in the worker's own slot, without the pool's lock and without a
  // wake-up, and the worker runs it once its task returns (after any earlier queued task);
  // should the worker not come back for a millisecond, an idle worker takes it over.
  void Schedule(std::function<void()> task);
  int num_threads() const { return num_threads_; }
  const ThreadOptions& thread_options() const { return thread_options_; }

 private:
  class WorkerThread;
  // A task and its place in the scheduling order.
  struct QueuedTask {
    uint64_t sequence;
    std::function<void()> task;
    // Whether an idle worker may take it at once: a task from outside the pool, or a
    // continuation taken over from a blocked worker. A task that a running task scheduled is
    // left to the workers that come back from their tasks until it has waited in the queue a
    // little: its worker usually comes back for it sooner than another could take it over.
    bool ripe = true;
    // The order in which tasks entered the queue, from 1; an idle worker tells by it how long
    // a task has waited, without reading the clock for every task queued.
    uint64_t entry = 0;
  };
  // A worker's continuation slot, on a cache line of its own. Only the worker fills it, when
  // it is empty; whoever takes the task out (the worker, or an idle worker taking it over)
  // moves it from full to taken, moves the task out, and empties it. The state word counts
  // the fillings above its two low bits, so that a watcher can tell whether a slot it saw
  // full still holds the same task.
  struct alignas(64) ContinuationSlot {
    enum State : uint64_t { kEmpty = 0, kFull = 1, kTaken = 2, kStateMask = 3, kFilling = 4 };
    std::atomic<uint64_t> state{kEmpty};
    QueuedTask queued;  // valid while full
    // The state the continuation watcher saw when its watch began. Guarded by mutex_.
    uint64_t watched_state = kEmpty;
  };
  // An atomic alone on its cache line: the counters below are written by different workers
  // at different times, and sharing a line would make each write evict the others.
  template <typename T>
  struct alignas(64) Padded {
    std::atomic<T> value;
  };

  void RunWorker(ContinuationSlot* slot);
  // Runs `task`, then, while the slot holds the next one and no earlier task waits in the
  // queue, that one. Called without the lock.
  void RunTaskAndContinuations(std::function<void()> task, ContinuationSlot* slot);
  // Moves the slot's task out when it is full; false when it is not (or was taken over).
  bool TakeContinuation(ContinuationSlot* slot, QueuedTask* queued);
  // The same when the slot's state is still `full_state`: the same filling, not taken since.
  bool TakeContinuationIf(ContinuationSlot* slot, uint64_t full_state, QueuedTask* queued);
  // Whether a continuation waits in any slot.
  bool AnyContinuationWaits() const;
  // Appends a task, or puts one back at its place in the scheduling order, unclaimed. With
  // mutex_ held.
  void InsertInOrder(QueuedTask queued);
  // The same without counting it unclaimed: for a task that takes the place of one the
  // caller took out without claiming it. With mutex_ held.
  void PutInOrder(QueuedTask queued);
  // Claims one queued task for the caller, who then pops the queue's front with mutex_ held.
  // False when every queued task is claimed already.
  bool ClaimTask();
  // Pops the front task, which the caller claimed. With mutex_ held.
  std::function<void()> PopClaimedTask();
  // Watches the queue for a short while without the lock, until another worker takes the
  // spinning over from this one's `turn`; true when it claimed a task, which it does once the
  // front task is ripe.
  bool SpinForTask(uint64_t turn);
  // Whether an idle worker may take the queue's front task, when tasks that entered the
  // queue before `entered_before` have waited long enough.
  bool FrontIsRipe(uint64_t entered_before) const;
  // Stores the front task's sequence and ripeness for lock-free readers. With mutex_ held.
  void PublishFront();
  // Whether the calling idle worker should spin for a task: only while the workers that
  // run tasks, with this one spinning, leave a processor this process may use to the threads
  // that make the work. On fewer processors than workers a spinner takes its processor from a
  // busy thread, and waiting costs that thread more than a wake-up call.
  bool SpinningPaysNow() const;
  // Wakes a sleeping worker for a queued task nobody is about to take. Without mutex_.
  void WakeWorkerForUnclaimedTasks();
  // Wakes one sleeping worker, if there is one. Without mutex_.
  void WakeSleepingWorker();
  // Sets the stop flag, wakes every worker and joins them in creation order.
  void StopWorkers();

  const std::string name_prefix_;
  std::vector<std::unique_ptr<WorkerThread>> threads_;
  const int num_threads_;
  // The processors this process may run on, read when the pool is made.
  const int usable_processors_;
  // One slot per worker, allocated before any worker starts.
  std::vector<std::unique_ptr<ContinuationSlot>> slots_;

  // Standard mutexes, not Abseil's: the thread sanitizer sees through them.
  std::mutex mutex_;
  std::condition_variable condition_;
  bool stopped_ = false;               // guarded by mutex_
  std::deque<QueuedTask> tasks_;       // guarded by mutex_, in scheduling order
  Padded<uint64_t> next_sequence_{0};
  // Queued tasks that no worker has claimed yet. Raised under mutex_ as tasks are queued;
  // a worker claims a task by lowering it, with or without the lock, and then pops the
  // front. Idle workers watch it without the lock.
  Padded<int> unclaimed_tasks_{0};
  // What lock-free readers learn of the queue, written under mutex_ whenever it changes, on
  // one cache line since the same worker writes them together.
  struct alignas(64) QueueFront {
    // The scheduling sequence of the front task (none: the largest value): a continuation
    // runs at once only when it comes before it.
    std::atomic<uint64_t> sequence{UINT64_MAX};
    // 0 when an idle worker may take the front task now, else its entry (none: the largest
    // value).
    std::atomic<uint64_t> unripe_entry{UINT64_MAX};
    // The entry the next task to enter the queue gets.
    std::atomic<uint64_t> next_entry{1};
  };
  QueueFront front_;
  // Idle workers that watch `unclaimed_tasks_` for a short while before they sleep: one, or
  // two while a worker that just went idle takes the spinning over. While one spins, a
  // queued task needs no wake-up call.
  Padded<int> spinning_workers_{0};
  // Counts the spinning turns: a worker spins while the last turn is its own.
  Padded<uint64_t> spinner_turn_{0};
  // Workers waiting on `condition_`. A worker counts itself, with mutex_ held, before it
  // looks for work one last time; so whoever makes work and then reads 0 here needs to wake
  // nobody, and whoever reads more takes mutex_ before notifying.
  Padded<int> sleeping_workers_{0};
  // While the queue holds tasks that idle workers may not take yet, one idle worker looks at
  // it now and then, and takes a task that waited there all the time between two looks.
  // Written under mutex_.
  Padded<bool> ripening_watch_{false};
  // An idle worker watches over the continuations, to take one over from a blocked worker;
  // it watches on while workers keep using their slots. Written under mutex_.
  Padded<bool> watching_{false};

  const ThreadOptions thread_options_;
};

namespace internal {

// "<prefix>/<thread_id>", cut to the 15 characters a thread name may have.
std::string CreateThreadName(const std::string& prefix, int thread_id);

}  // namespace internal

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_THREAD_POOL_H_
