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
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    queued_tasks_.store(tasks_.size(), std::memory_order_relaxed);
    // Each spinning worker takes the lock again and runs a queued task or sees the queue
    // empty; only tasks beyond their number need a sleeping worker.
    wake = tasks_.size() > static_cast<size_t>(spinning_workers_);
  }
  if (wake) condition_.notify_one();
}

void ThreadPool::RunWorker() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      queued_tasks_.store(tasks_.size(), std::memory_order_relaxed);
      lock.unlock();
      task();
      lock.lock();
      // `task` is destroyed here, with the lock held.
    } else if (stopped_) {
      return;
    } else {
      ++spinning_workers_;
      lock.unlock();
      const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
      while (queued_tasks_.load(std::memory_order_relaxed) == 0) {
        for (int i = 0; i < 16; ++i) CpuRelax();
        if (std::chrono::steady_clock::now() >= deadline) break;
      }
      lock.lock();
      --spinning_workers_;
      if (tasks_.empty() && !stopped_) condition_.wait(lock);
    }
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
