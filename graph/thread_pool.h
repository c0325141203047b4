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
  // that a running task schedules is its worker's continuation: no other worker is woken for
  // it, and the worker runs it (or an earlier queued task) once its task returns; should the
  // worker not come back for a millisecond, an idle worker takes it over. A task object is
  // destroyed with the pool's lock held, so its captured state must not use this pool from
  // its destructor.
  void Schedule(std::function<void()> task);

  int num_threads() const { return num_threads_; }
  const ThreadOptions& thread_options() const { return thread_options_; }

 private:
  class WorkerThread;

  void RunWorker();
  // Queued tasks that are no worker's continuation.
  int UnownedTasks() const;
  // Sets the stop flag, wakes every worker and joins them in creation order.
  void StopWorkers();

  const std::string name_prefix_;
  std::vector<std::unique_ptr<WorkerThread>> threads_;
  const int num_threads_;

  // Standard mutexes, not Abseil's: the thread sanitizer sees through them.
  std::mutex mutex_;
  std::condition_variable condition_;
  bool stopped_ = false;                      // guarded by mutex_
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
  // Idle workers that watch `queued_tasks_` for a short while before they sleep; a task they
  // will pick up needs no wake-up call.
  int spinning_workers_ = 0;                  // guarded by mutex_
  std::atomic<int> queued_tasks_{0};          // UnownedTasks(), written under mutex_
  // Queued tasks that their workers will run when their current tasks return.
  int owed_tasks_ = 0;                        // guarded by mutex_
  // Counts the continuations whose workers came back for them.
  uint64_t continuations_released_ = 0;       // guarded by mutex_
  bool watching_ = false;                     // guarded by mutex_

  const ThreadOptions thread_options_;
};

namespace internal {

// "<prefix>/<thread_id>", cut to the 15 characters a thread name may have.
std::string CreateThreadName(const std::string& prefix, int thread_id);

}  // namespace internal

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_THREAD_POOL_H_
