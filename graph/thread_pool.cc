#include "graph/thread_pool.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "absl/strings/str_cat.h"
#include "base/logging.h"
#include "graph/scheduler_lock.h"
#include "graph/thread_pool_cpu_util.h"


namespace kaldren {

using internal::CpuRelax;
using internal::LockSpinning;

namespace {

// Linux allows thread names of at most 15 characters.
constexpr size_t kMaxThreadNameLength = 15;

// How long an idle worker looks for a new task before it sleeps. In a pipeline the next
// task usually follows within microseconds, and waking a sleeping thread costs more.
constexpr std::chrono::microseconds kSpinTime(50);

// One idle worker spins at a time: the one that went idle last, whose cache still holds the
// state that the tasks work on; it takes the next task from outside the pool as soon as
// several would. A worker that goes idle takes the spinning over from the one before it,
// which then sleeps: more spinners would only burn processors that busy threads may want,
// and each of them reads the queue's state, whose cache lines then travel on every change.

// How long a task that a running task scheduled is left to the workers that come back from
// their tasks before a spinning idle worker may take it. Handing a task to another worker
// moves the state it works on between processor caches, which costs more than the task itself
// when tasks are short, as graph node invocations often are; workers that keep finding tasks
// they made keep them.
constexpr std::chrono::microseconds kRipeningTime(20);

// How long the idle worker that watches for ripening tasks sleeps between looks at the queue;
// it takes a task that waited in the queue all that time.
constexpr std::chrono::microseconds kRipeningWatchPeriod(100);

int64_t SteadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// How long a continuation may wait for its worker before an idle worker takes it over. Its
// worker normally comes back for it within microseconds; one that blocks inside its task
// (a callback waiting on the graph, say) must not keep the continuation from running.
constexpr std::chrono::milliseconds kContinuationGrace(1);

// The pool whose worker the calling thread is, and that worker's continuation slot.
thread_local const ThreadPool* current_pool = nullptr;
thread_local void* current_slot = nullptr;

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
      usable_processors_(NumUsableProcessors()),
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
    // The acquire pairs with the release that emptied the slot, when another worker took
    // over the task it held.
    const uint64_t state = slot->state.load(std::memory_order_acquire);
    if ((state & ContinuationSlot::kStateMask) == ContinuationSlot::kEmpty) {
      slot->queued = {next_sequence_.value.fetch_add(1), std::move(task)};
      slot->state.store(state + ContinuationSlot::kFilling + ContinuationSlot::kFull,
                        std::memory_order_release);
      // Nobody needs waking for it, except a worker to watch over it, in case this one
      // blocks in its task. A spinning worker becomes the watcher by itself, and so does a
      // busy one once it is idle; only a sleeping one needs a call.
      if (num_threads_ > 1 && !watching_.value.load() && spinning_workers_.value.load() == 0) {
        WakeSleepingWorker();
      }
      return;
    }
  }
  bool wake;
  {
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    LockSpinning(lock);
    const bool from_worker = current_pool == this;
    InsertInOrder({next_sequence_.value.fetch_add(1), std::move(task), !from_worker});
    // A spinning worker claims the task, or wakes a sleeper when it claims another one; a
    // task that waits for its own worker needs no call while an idle worker watches the
    // queue for tasks that ripen.
    wake = sleeping_workers_.value.load() > 0 && spinning_workers_.value.load() == 0 &&
           !(from_worker && ripening_watch_.value.load());
  }
  if (wake) condition_.notify_one();
}

bool ThreadPool::TakeContinuation(ContinuationSlot* slot, QueuedTask* queued) {
  const uint64_t state = slot->state.load(std::memory_order_relaxed);
  if ((state & ContinuationSlot::kStateMask) != ContinuationSlot::kFull) return false;
  return TakeContinuationIf(slot, state, queued);
}

bool ThreadPool::TakeContinuationIf(ContinuationSlot* slot, uint64_t full_state,
                                    QueuedTask* queued) {
  const uint64_t filling = full_state & ~uint64_t{ContinuationSlot::kStateMask};
  // The acquire pairs with the release that filled the slot.
  if (!slot->state.compare_exchange_strong(full_state, filling + ContinuationSlot::kTaken,
                                           std::memory_order_acquire)) {
    return false;
  }
  *queued = std::move(slot->queued);
  slot->queued.task = nullptr;
  slot->state.store(filling + ContinuationSlot::kEmpty, std::memory_order_release);
  return true;
}

bool ThreadPool::AnyContinuationWaits() const {
  for (const std::unique_ptr<ContinuationSlot>& slot : slots_) {
    if ((slot->state.load(std::memory_order_relaxed) & ContinuationSlot::kStateMask) ==
        ContinuationSlot::kFull) {
      return true;
    }
  }
  return false;
}

void ThreadPool::InsertInOrder(QueuedTask queued) {
  PutInOrder(std::move(queued));
  unclaimed_tasks_.value.fetch_add(1);
}

void ThreadPool::PutInOrder(QueuedTask queued) {
  // Only writers, who hold mutex_, change the entry count.
  queued.entry = front_.next_entry.load(std::memory_order_relaxed);
  front_.next_entry.store(queued.entry + 1, std::memory_order_relaxed);
  auto it = tasks_.end();
  while (it != tasks_.begin() && std::prev(it)->sequence > queued.sequence) --it;
  tasks_.insert(it, std::move(queued));
  PublishFront();
}

void ThreadPool::PublishFront() {
  if (tasks_.empty()) {
    front_.sequence.store(UINT64_MAX, std::memory_order_relaxed);
    front_.unripe_entry.store(UINT64_MAX, std::memory_order_relaxed);
    return;
  }
  const QueuedTask& front = tasks_.front();
  front_.sequence.store(front.sequence, std::memory_order_relaxed);
  front_.unripe_entry.store(front.ripe ? 0 : front.entry, std::memory_order_relaxed);
}

bool ThreadPool::FrontIsRipe(uint64_t entered_before) const {
  const uint64_t unripe_entry = front_.unripe_entry.load(std::memory_order_relaxed);
  return unripe_entry == 0 || unripe_entry < entered_before;
}

bool ThreadPool::ClaimTask() {
  int unclaimed = unclaimed_tasks_.value.load(std::memory_order_relaxed);
  while (unclaimed > 0) {
    if (unclaimed_tasks_.value.compare_exchange_weak(unclaimed, unclaimed - 1)) return true;
  }
  return false;
}

std::function<void()> ThreadPool::PopClaimedTask() {
  std::function<void()> task = std::move(tasks_.front().task);
  tasks_.pop_front();
  PublishFront();
  return task;
}

void ThreadPool::WakeWorkerForUnclaimedTasks() {
  if (unclaimed_tasks_.value.load() == 0 || spinning_workers_.value.load() > 0 ||
      ripening_watch_.value.load()) {
    return;
  }
  WakeSleepingWorker();
}

bool ThreadPool::SpinningPaysNow() const {
  // The caller counts as running: it is neither asleep nor spinning yet.
  const int running = num_threads_ - sleeping_workers_.value.load(std::memory_order_relaxed) -
                      spinning_workers_.value.load(std::memory_order_relaxed);
  return running < usable_processors_;
}

void ThreadPool::WakeSleepingWorker() {
  if (sleeping_workers_.value.load() == 0) return;
  // A worker that counted itself asleep holds the lock until it waits.
  { std::lock_guard<std::mutex> lock(mutex_); }
  condition_.notify_one();
}

bool ThreadPool::SpinForTask(uint64_t turn) {
  const int64_t start = SteadyNanos();
  const int64_t ripening =
      std::chrono::duration_cast<std::chrono::nanoseconds>(kRipeningTime).count();
  int64_t ripe_time = start + ripening;
  const int64_t deadline =
      start + std::chrono::duration_cast<std::chrono::nanoseconds>(kSpinTime).count();
  // Tasks that were queued when the spinning began are ripe once it has lasted kRipeningTime.
  uint64_t queued_at_start = front_.next_entry.load(std::memory_order_relaxed);
  uint64_t entered_before = 0;
  bool claimed = false;
  // A pause costs about 25 ns here and a clock read about 30: look at the count every few
  // pauses, so that one spinner notices a task about as soon as several would, and at the
  // clock every few looks.
  for (int looks = 1;; ++looks) {
    if (unclaimed_tasks_.value.load(std::memory_order_relaxed) > 0 &&
        FrontIsRipe(entered_before) && ClaimTask()) {
      claimed = true;
      break;
    }
    for (int i = 0; i < 4; ++i) CpuRelax();
    if (looks % 4 != 0) continue;
    const int64_t now = SteadyNanos();
    if (now >= ripe_time) {
      // Those queued by then are ripe after the next ripening time.
      entered_before = queued_at_start;
      queued_at_start = front_.next_entry.load(std::memory_order_relaxed);
      ripe_time = now + ripening;
    }
    if (now >= deadline || spinner_turn_.value.load(std::memory_order_relaxed) != turn) break;
  }
  spinning_workers_.value.fetch_sub(1);
  return claimed;
}

void ThreadPool::RunTaskAndContinuations(std::function<void()> task, ContinuationSlot* slot) {
  while (true) {
    task();
    task = nullptr;
    QueuedTask next;
    if (!TakeContinuation(slot, &next)) return;
    // An earlier task in the queue goes first: this worker runs it, and the continuation
    // joins the queue at its place, all under one acquisition of the lock. The number of
    // unclaimed tasks stays as it was.
    if (front_.sequence.load(std::memory_order_relaxed) < next.sequence) {
      std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
      LockSpinning(lock);
      if (!tasks_.empty() && tasks_.front().sequence < next.sequence) {
        task = std::move(tasks_.front().task);
        tasks_.pop_front();
        next.ripe = false;
        PutInOrder(std::move(next));
        continue;
      }
    }
    task = std::move(next.task);
  }
}

void ThreadPool::RunWorker(ContinuationSlot* slot) {
  current_pool = this;
  current_slot = slot;
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  LockSpinning(lock);
  // Whether this worker comes back from a task, and so may take any queued task, or is
  // idle, and so takes only ripe ones (and any once the pool stops).
  bool idle = false;
  // Whether an idle worker watches the queue for a while before it sleeps; not right after
  // a watch for ripening tasks has timed out.
  bool spin = true;
  // Tasks that entered the queue before this entry have waited a whole ripening watch.
  uint64_t ripe_entered_before = 0;
  // Whether this worker, watching the continuations, saw workers use their slots during its
  // last watch, and so watches on.
  bool keep_watching = false;
  while (true) {
    {
      QueuedTask own;
      if (TakeContinuation(slot, &own)) {
        own.ripe = false;
        InsertInOrder(std::move(own));
      }
    }
    bool claimed = (!idle || stopped_ || FrontIsRipe(ripe_entered_before)) && ClaimTask();
    ripe_entered_before = 0;
    if (!claimed && !stopped_ && spin && SpinningPaysNow()) {
      spinning_workers_.value.fetch_add(1);
      const uint64_t turn = spinner_turn_.value.fetch_add(1) + 1;
      lock.unlock();
      claimed = SpinForTask(turn);
      LockSpinning(lock);
    }
    if (claimed) {
      std::function<void()> task = PopClaimedTask();
      lock.unlock();
      // Tasks beyond this one, with nobody watching for them, need another worker.
      WakeWorkerForUnclaimedTasks();
      RunTaskAndContinuations(std::move(task), slot);
      LockSpinning(lock);
      idle = false;
      spin = true;
      continue;
    }
    idle = true;
    spin = true;
    // Counted asleep before the last look, so that whoever makes work now wakes this worker.
    sleeping_workers_.value.fetch_add(1);
    if (unclaimed_tasks_.value.load() > 0) {
      if (stopped_ || FrontIsRipe(0)) {
        sleeping_workers_.value.fetch_sub(1);
        continue;
      }
      // Queued tasks keep one idle worker watching, to take them once ripe: the workers
      // that would come back for them may be blocked. It looks now and then rather than
      // spinning, so that it takes no processor from the workers that keep their tasks.
      if (!ripening_watch_.value.load()) {
        ripening_watch_.value.store(true);
        const uint64_t queued_now = front_.next_entry.load(std::memory_order_relaxed);
        const bool timed_out =
            condition_.wait_for(lock, kRipeningWatchPeriod) == std::cv_status::timeout;
        ripening_watch_.value.store(false);
        sleeping_workers_.value.fetch_sub(1);
        spin = !timed_out;
        if (timed_out) ripe_entered_before = queued_now;
        continue;
      }
    }
    // Only continuations may wait. One idle worker watches them and takes one over when its
    // worker did not come back for it during a whole grace period. It keeps watching while
    // workers fill and empty their slots, even at a moment when all are empty: otherwise a
    // worker filling its slot would have to wake a watcher, a system call for each packet
    // of a pipeline that runs one packet at a time.
    if (!AnyContinuationWaits()) {
      if (stopped_) {
        sleeping_workers_.value.fetch_sub(1);
        return;
      }
      if (!keep_watching || watching_.value.load()) {
        keep_watching = false;
        condition_.wait(lock);
        sleeping_workers_.value.fetch_sub(1);
        continue;
      }
    }
    if (watching_.value.load()) {
      // Nobody signals the end of the last continuation: once stopped, look again now and
      // then, so as to end.
      if (stopped_) {
        condition_.wait_for(lock, kContinuationGrace);
      } else {
        condition_.wait(lock);
      }
      sleeping_workers_.value.fetch_sub(1);
      continue;
    }
    watching_.value.store(true);
    for (const std::unique_ptr<ContinuationSlot>& other : slots_) {
      other->watched_state = other->state.load(std::memory_order_relaxed);
    }
    const bool timed_out =
        condition_.wait_for(lock, kContinuationGrace) == std::cv_status::timeout;
    watching_.value.store(false);
    sleeping_workers_.value.fetch_sub(1);
    keep_watching = !timed_out;
    for (const std::unique_ptr<ContinuationSlot>& other : slots_) {
      if (other->state.load(std::memory_order_relaxed) != other->watched_state) {
        keep_watching = true;
      }
    }
    if (!timed_out) continue;
    for (const std::unique_ptr<ContinuationSlot>& other : slots_) {
      QueuedTask taken;
      if ((other->watched_state & ContinuationSlot::kStateMask) == ContinuationSlot::kFull &&
          TakeContinuationIf(other.get(), other->watched_state, &taken)) {
        InsertInOrder(std::move(taken));
        break;
      }
    }
    // Another idle worker takes over the watch while this one runs what it took.
    if (AnyContinuationWaits()) condition_.notify_one();
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
