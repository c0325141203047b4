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
  };
  // A worker's continuation slot. Only the worker fills it, when it is empty; whoever takes
  // the task out (the worker, or an idle worker taking it over) moves it from full to taken,
  // moves the task out, and empties it.
  struct ContinuationSlot {
    enum State { kEmpty = 0, kFull = 1, kTaken = 2 };
    std::atomic<int> state{kEmpty};
    QueuedTask queued;  // valid while full
  };

  void RunWorker(ContinuationSlot* slot);
  // Runs `task`, then, while the slot holds the next one and no earlier task waits in the
  // queue, that one. Called without the lock.
  void RunTaskAndContinuations(std::function<void()> task, ContinuationSlot* slot);
  // Moves the slot's task out when it is full; false when it is not (or was taken over).
  bool TakeContinuation(ContinuationSlot* slot, QueuedTask* queued);
  // Puts a task back into the queue at its place in the scheduling order.
  void InsertInOrder(QueuedTask queued);
  // Sets the stop flag, wakes every worker and joins them in creation order.
  void StopWorkers();

  const std::string name_prefix_;
  std::vector<std::unique_ptr<WorkerThread>> threads_;
  const int num_threads_;
  // One slot per worker, allocated before any worker starts.
  std::vector<std::unique_ptr<ContinuationSlot>> slots_;

  // Standard mutexes, not Abseil's: the thread sanitizer sees through them.
  std::mutex mutex_;
  std::condition_variable condition_;
  bool stopped_ = false;               // guarded by mutex_
  std::deque<QueuedTask> tasks_;       // guarded by mutex_, in scheduling order
  std::atomic<uint64_t> next_sequence_{0};
  // Idle workers that watch `queued_tasks_` for a short while before they sleep; a task they
  // will pick up needs no wake-up call. Written under mutex_.
  std::atomic<int> spinning_workers_{0};
  std::atomic<int> queued_tasks_{0};   // tasks_.size(), written under mutex_
  // Continuations waiting in slots, and how many their own workers took so far.
  std::atomic<int> full_slots_{0};
  std::atomic<uint64_t> continuations_released_{0};
  // An idle worker watches over the continuations, to take one over from a blocked worker.
  // Written under mutex_.
  std::atomic<bool> watching_{false};

  const ThreadOptions thread_options_;
};

namespace internal {

// "<prefix>/<thread_id>", cut to the 15 characters a thread name may have.
std::string CreateThreadName(const std::string& prefix, int thread_id);

}  // namespace internal

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_THREAD_POOL_H_
