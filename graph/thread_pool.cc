#include "graph/thread_pool.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "absl/strings/str_cat.h"
#include "base/logging.h"

namespace kaldren {

namespace {

// Linux allows thread names of at most 15 characters.
constexpr size_t kMaxThreadNameLength = 15;

std::string ErrorText(int error_number) {
  char buffer[256];
  // The GNU form returns the text, which need not be in `buffer`.
  return strerror_r(error_number, buffer, sizeof(buffer));
}

}  // namespace

class ThreadPool::WorkerThread {
 public:
  // Starts the thread at once.
  WorkerThread(ThreadPool* pool, const std::string& name_prefix)
      : pool_(pool), name_prefix_(name_prefix) {
    int error = pthread_create(&thread_, nullptr, &WorkerThread::ThreadBody, this);
    CHECK_EQ(error, 0) << "Failed to create a worker thread of the pool \"" << name_prefix_
                       << "\": " << ErrorText(error);
  }

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

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  condition_.notify_all();
  for (std::unique_ptr<WorkerThread>& thread : threads_) {
    thread->Join();
    thread.reset();
  }
}

void ThreadPool::StartWorkers() {
  for (int i = 0; i < num_threads_; ++i) {
    threads_.push_back(std::make_unique<WorkerThread>(this, name_prefix_));
  }
}

void ThreadPool::Schedule(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  condition_.notify_one();
}

void ThreadPool::RunWorker() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
      // `task` is destroyed here, with the lock held.
    } else if (stopped_) {
      return;
    } else {
      condition_.wait(lock);
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
