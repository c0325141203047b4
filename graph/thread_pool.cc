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

// The pool whose worker the calling thread is, and that worker's continuation slot.
thread_local const ThreadPool* current_pool = nullptr;
thread_local void* current_slot = nullptr;

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
  WorkerThread(ThreadPool* pool, const std::string& name_prefix, ContinuationSlot* slot)
      : pool_(pool), name_prefix_(name_prefix), slot_(slot) {}

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
    thread->pool_->RunWorker(thread->slot_);
    return nullptr;
  }

  ThreadPool* const pool_;
  const std::string name_prefix_;
  ContinuationSlot* const slot_;
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
  for (int i = 0; i < num_threads_; ++i) slots_.push_back(std::make_unique<ContinuationSlot>());
  for (int i = 0; i < num_threads_; ++i) {
    auto thread = std::make_unique<WorkerThread>(this, name_prefix_, slots_[i].get());
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
  if (current_pool == this) {
    auto* slot = static_cast<ContinuationSlot*>(current_slot);
    if (slot->state.load(std::memory_order_acquire) == ContinuationSlot::kEmpty) {
      slot->queued = {next_sequence_.fetch_add(1), std::move(task)};
      slot->state.store(ContinuationSlot::kFull, std::memory_order_release);
      full_slots_.fetch_add(1);
      // Nobody needs waking for it, except a worker to watch over it, in case this one
      // blocks in its task. A spinning worker becomes the watcher by itself.
      if (!watching_.load() && spinning_workers_.load() == 0) {
        { std::lock_guard<std::mutex> lock(mutex_); }
        condition_.notify_one();
      }
      return;
    }
  }
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back({next_sequence_.fetch_add(1), std::move(task)});
    const int queued = static_cast<int>(tasks_.size());
    queued_tasks_.store(queued, std::memory_order_relaxed);
    // Each spinning worker takes the lock again and runs a queued task or sees the queue
    // empty; only tasks beyond their number need a sleeping worker.
    wake = queued > spinning_workers_.load();
  }
  if (wake) condition_.notify_one();
}

bool ThreadPool::TakeContinuation(ContinuationSlot* slot, QueuedTask* queued) {
  int expected = ContinuationSlot::kFull;
  if (!slot->state.compare_exchange_strong(expected, ContinuationSlot::kTaken,
                                           std::memory_order_acquire)) {
    return false;
  }
  *queued = std::move(slot->queued);
  slot->queued.task = nullptr;
  slot->state.store(ContinuationSlot::kEmpty, std::memory_order_release);
  full_slots_.fetch_sub(1);
  return true;
}

void ThreadPool::InsertInOrder(QueuedTask queued) {
  auto it = tasks_.end();
  while (it != tasks_.begin() && std::prev(it)->sequence > queued.sequence) --it;
  tasks_.insert(it, std::move(queued));
  queued_tasks_.store(static_cast<int>(tasks_.size()), std::memory_order_relaxed);
}

void ThreadPool::RunTaskAndContinuations(std::function<void()> task, ContinuationSlot* slot) {
  while (true) {
    task();
    task = nullptr;
    // An earlier task in the queue goes first: the locked loop puts the continuation in its
    // place.
    if (queued_tasks_.load(std::memory_order_relaxed) > 0) return;
    QueuedTask next;
    if (!TakeContinuation(slot, &next)) return;
    continuations_released_.fetch_add(1);
    task = std::move(next.task);
  }
}

void ThreadPool::RunWorker(ContinuationSlot* slot) {
  current_pool = this;
  current_slot = slot;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    {
      QueuedTask own;
      if (TakeContinuation(slot, &own)) {
        continuations_released_.fetch_add(1);
        InsertInOrder(std::move(own));
      }
    }
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front().task);
      tasks_.pop_front();
      queued_tasks_.store(static_cast<int>(tasks_.size()), std::memory_order_relaxed);
      lock.unlock();
      RunTaskAndContinuations(std::move(task), slot);
      lock.lock();
      continue;
    }
    if (!stopped_) {
      spinning_workers_.fetch_add(1);
      lock.unlock();
      const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
      while (queued_tasks_.load(std::memory_order_relaxed) == 0) {
        for (int i = 0; i < 16; ++i) CpuRelax();
        if (std::chrono::steady_clock::now() >= deadline) break;
      }
      lock.lock();
      spinning_workers_.fetch_sub(1);
      if (!tasks_.empty()) continue;
    }
    if (full_slots_.load() == 0) {
      if (stopped_) return;
      condition_.wait(lock);
      continue;
    }
    // Only continuations wait. One idle worker watches them and takes one over when no
    // worker came back for its continuation during a whole grace period.
    if (watching_.load()) {
      // Nobody signals the end of the last continuation: once stopped, look again now and
      // then, so as to end.
      if (stopped_) {
        condition_.wait_for(lock, kContinuationGrace);
      } else {
        condition_.wait(lock);
      }
      continue;
    }
    watching_.store(true);
    const uint64_t released = continuations_released_.load();
    const bool timed_out =
        condition_.wait_for(lock, kContinuationGrace) == std::cv_status::timeout;
    watching_.store(false);
    if (!timed_out || continuations_released_.load() != released) continue;
    for (const std::unique_ptr<ContinuationSlot>& other : slots_) {
      QueuedTask taken;
      if (TakeContinuation(other.get(), &taken)) {
        InsertInOrder(std::move(taken));
        break;
      }
    }
    // Another idle worker takes over the watch while this one runs what it took.
    if (full_slots_.load() > 0) condition_.notify_one();
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
