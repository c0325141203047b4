// The worker threads behind the global queues.
//
// Every submitted task gets a thread at once: an idle worker when there is one, otherwise a new
// thread, up to kMaxThreads (beyond that, tasks wait in submission order for a free worker). A
// worker that finds no task for the idle timeout ends. The pool is created on first use and lives
// for the process; its threads are detached.

#ifndef PLATFORM_DISPATCH_WORKER_POOL_H_
#define PLATFORM_DISPATCH_WORKER_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace platform::dispatch::internal {

class WorkerPool {
 public:
  static constexpr int kMaxThreads = 512;

  static WorkerPool& Get();

  void Submit(std::function<void()> task);
  void SetIdleTimeout(std::chrono::nanoseconds timeout);
  int ThreadCount();

 private:
  WorkerPool() = default;
  void WorkerMain();

  std::mutex mu_;
  std::condition_variable work_ready_;
  std::deque<std::function<void()>> tasks_;
  int threads_ = 0;
  int idle_ = 0;  // workers waiting for a task
  std::chrono::nanoseconds idle_timeout_ = std::chrono::seconds(5);
  uint64_t timeout_changes_ = 0;
};

}  // namespace platform::dispatch::internal

#endif  // PLATFORM_DISPATCH_WORKER_POOL_H_
