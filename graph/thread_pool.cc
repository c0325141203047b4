#include "graph/thread_pool.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <utility>

#include "absl/strings/str_cat.h"
#include "base/logging.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kaldren {

namespace {

// Linux allows thread names of at most 15 characters.
constexpr size_t kMaxThreadNameLength = 15;

// How long an idle worker looks for a new task before it sleeps. In a pipeline the next
// task usually follows within microseconds, and waking a sleeping thread costs more.
constexpr std::chrono::microseconds kSpinTime(50);

// How long a continuation may wait for its worker before an idle worker takes it over. Its
// worker normally comes back for it within microseconds; one that blocks inside its task
// (a callback waiting on the graph, say) must not keep the continuation from running.
constexpr std::chrono::milliseconds kContinuationGrace(1);

// The pool whose worker the calling thread is, and whether the task it runs has already
// reserved a continuation.
thread_local const ThreadPool* current_pool = nullptr;
thread_local bool owes_continuation = false;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

std::string ErrorText(int error_number) {
  char buffer[256];
  // The GNU form returns the text, which need not be in `buffer`.
  return strerror_r(error_number, buffer, sizeof(buffer));
}

}  // namespace

class ThreadPool::WorkerThread {
 public:
  WorkerThread(ThreadPool* pool, const std::string& name_prefix)
      : pool_(pool), name_prefix_(name_prefix) {}

  // Starts the thread; returns 0 or the system's error number.
  int Start() { return pthread_create(&thread_, nullptr, &WorkerThread::ThreadBody, this); }

  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Join() { pthread_join(thread_, nullptr); }

 private:
  static void* ThreadBody(void* arg) {
    auto* thread = static_cast<WorkerThread*>(arg);
    const ThreadOptions& options = thread->pool_->thread_options();
    const std::string name =
        internal::CreateThreadName(thread->name_prefix_, static_cast<int>(syscall(SYS_gettid)));
    if (options.nice_level() != 0 || !options.cpu_set().empty()) {
      LOG(ERROR) << "Thread priority and processor affinity feature aren't supported on the "
                    "current platform.";
    }
    int error = pthread_setname_np(pthread_self(), name.c_str());
    if (error != 0) {
      LOG(ERROR) << "Error : " << ErrorText(error) << "\n"
                 << "Failed to set name for thread: " << name;
    }
    thread->pool_->RunWorker();
    return nullptr;
  }

  ThreadPool* const pool_;
  const std::string name_prefix_;
  pthread_t thread_;
};

ThreadPool::ThreadPool(int num_threads) : ThreadPool(ThreadOptions(), "", num_threads) {}

ThreadPool::ThreadPool(const std::string& name_prefix, int num_threads)
    : ThreadPool(ThreadOptions(), name_prefix, num_threads) {}

ThreadPool::ThreadPool(const ThreadOptions& thread_options, const std::string& name_prefix,
                       int num_threads)
    : name_prefix_(name_prefix),
      num_threads_(num_threads == 0 ? 1 : num_threads),
      thread_options_(thread_options) {}

ThreadPool::~ThreadPool() { StopWorkers(); }

void ThreadPool::StopWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  condition_.notify_all();
  for (std::unique_ptr<WorkerThread>& thread : threads_) {
    thread->Join();
    thread.reset();
  }
  threads_.clear();
}

absl::Status ThreadPool::StartWorkers() {
  for (int i = 0; i < num_threads_; ++i) {
    auto thread = std::make_unique<WorkerThread>(this, name_prefix_);
    if (int error = thread->Start(); error != 0) {
      StopWorkers();
      return absl::ResourceExhaustedError(
          absl::StrCat("Failed to create worker thread ", i + 1, " of ", num_threads_,
                       " of the pool \"", name_prefix_, "\": ", ErrorText(error)));
    }
    threads_.push_back(std::move(thread));
  }
  return absl::OkStatus();
}

void ThreadPool::Schedule(std::function<void()> task) {
  // The first task a worker's task schedules is that worker's continuation: the worker runs
  // it when its task returns, so nobody needs waking for it.
  const bool continuation = current_pool == this && !owes_continuation;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    if (continuation) {
      ++owed_tasks_;
      owes_continuation = true;
    }
    const int unowned = UnownedTasks();
    queued_tasks_.store(unowned, std::memory_order_relaxed);
    // Each spinning worker takes the lock again and runs a queued task or sees the queue
    // empty; only tasks beyond their number need a sleeping worker. A continuation needs an
    // idle worker that watches over it, in case its own worker blocks.
    wake = unowned > spinning_workers_ ||
           (continuation && !watching_ && spinning_workers_ == 0);
  }
  if (wake) condition_.notify_one();
}

int ThreadPool::UnownedTasks() const {
  const int unowned = static_cast<int>(tasks_.size()) - owed_tasks_;
  return unowned > 0 ? unowned : 0;
}

void ThreadPool::RunWorker() {
  current_pool = this;
  std::unique_lock<std::mutex> lock(mutex_);
  bool take_over = false;
  while (true) {
    if (UnownedTasks() > 0 || (take_over && !tasks_.empty())) {
      take_over = false;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      queued_tasks_.store(UnownedTasks(), std::memory_order_relaxed);
      lock.unlock();
      task();
      lock.lock();
      if (owes_continuation) {
        owes_continuation = false;
        --owed_tasks_;
        ++continuations_released_;
        queued_tasks_.store(UnownedTasks(), std::memory_order_relaxed);
      }
      // `task` is destroyed here, with the lock held.
      continue;
    }
    take_over = false;
    if (!stopped_) {
      ++spinning_workers_;
      lock.unlock();
      const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
      while (queued_tasks_.load(std::memory_order_relaxed) == 0) {
        for (int i = 0; i < 16; ++i) CpuRelax();
        if (std::chrono::steady_clock::now() >= deadline) break;
      }
      lock.lock();
      --spinning_workers_;
      if (UnownedTasks() > 0) continue;
    }
    if (tasks_.empty()) {
      if (stopped_) return;
      condition_.wait(lock);
      continue;
    }
    // Only continuations are queued. One idle worker watches them and takes one over when
    // no worker came back for its continuation during a whole grace period.
    if (watching_) {
      condition_.wait(lock);
      continue;
    }
    watching_ = true;
    const uint64_t released = continuations_released_;
    const bool timed_out =
        condition_.wait_for(lock, kContinuationGrace) == std::cv_status::timeout;
    watching_ = false;
    take_over = timed_out && continuations_released_ == released;
  }
}

namespace internal {

std::string CreateThreadName(const std::string& prefix, int thread_id) {
  std::string name = absl::StrCat(prefix, "/", thread_id);
  if (name.size() > kMaxThreadNameLength) name.resize(kMaxThreadNameLength);
  return name;
}

}  // namespace internal

}  // namespace kaldren
