#include "platform/dispatch/worker_pool.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

#include "base/logging.h"
#include "platform/dispatch/dispatch.h"

namespace platform::dispatch::internal {

WorkerPool& WorkerPool::Get() {
  // Never destroyed: detached workers may still wait on it while the process exits.
  static WorkerPool* const pool = new WorkerPool;
  return *pool;
}

void WorkerPool::Submit(std::function<void()> task) {
  bool start_thread = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tasks_.push_back(std::move(task));
    // Each waiting task needs a worker of its own; idle workers take the first ones.
    if (static_cast<int>(tasks_.size()) > idle_ && threads_ < kMaxThreads) {
      ++threads_;
      start_thread = true;
    }
  }
  if (!start_thread) {
    work_ready_.notify_one();
    return;
  }
  try {
    std::thread([this] { WorkerMain(); }).detach();
  } catch (const std::system_error& e) {
    std::lock_guard<std::mutex> lock(mu_);
    --threads_;
    // The task stays queued for a busy worker; with none, nothing would ever run it.
    CHECK(threads_ > 0) << "dispatch: cannot start a worker thread: " << e.what();
    LOG(WARNING) << "dispatch: cannot start another worker thread (" << threads_
                 << " running): " << e.what();
  }
}

void WorkerPool::WorkerMain() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // release what the task holds before waiting again
      lock.lock();
      continue;
    }
    // Idle: wait for a task until the idle timeout, counted from the start of idling, passes.
    // A change of the timeout wakes the wait so that the new one applies at once.
    ++idle_;
    const auto idle_since = std::chrono::steady_clock::now();
    for (;;) {
      const uint64_t changes = timeout_changes_;
      work_ready_.wait_until(lock, idle_since + idle_timeout_,
                             [&] { return !tasks_.empty() || timeout_changes_ != changes; });
      if (!tasks_.empty() || timeout_changes_ == changes) break;
    }
    --idle_;
    if (tasks_.empty()) {
      --threads_;
      return;
    }
  }
}

void WorkerPool::SetIdleTimeout(std::chrono::nanoseconds timeout) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Capped so that the wait's deadline cannot overflow.
    idle_timeout_ = std::min<std::chrono::nanoseconds>(timeout, std::chrono::hours(24 * 365));
    ++timeout_changes_;
  }
  work_ready_.notify_all();
}

int WorkerPool::ThreadCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return threads_;
}

}  // namespace platform::dispatch::internal

namespace platform::dispatch {

void SetWorkerIdleTimeout(std::chrono::nanoseconds timeout) {
  internal::WorkerPool::Get().SetIdleTimeout(timeout);
}

int WorkerThreadCount() { return internal::WorkerPool::Get().ThreadCount(); }

}  // namespace platform::dispatch
