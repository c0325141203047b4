// Inside the dispatch stand-in: the queue object and what timers, groups and sources need of it.
// Nothing outside platform/dispatch includes this file.
//
// How blocks flow: a serial queue with work hands one "drain" item to its target queue; the drain
// runs up to a batch of the queue's blocks in order and then hands itself over again, so that a
// serial target interleaves the queues that target it. A concurrent queue hands every block over
// on its own. Global queues hand their items to the worker pool; the main queue keeps them until
// the main thread runs them. Every item runs inside a frame of its queue on the running thread,
// so the thread knows which queues it holds (for the dispatch_sync check) and which queue's block
// it runs (for the current label).
//
// dispatch_sync() runs its block on the calling thread: at once for a concurrent queue, or for an
// idle serial queue (which the caller then drains like a drain item would), when only concurrent
// queues stand above; otherwise it queues a turn item and runs when a thread reaches that item.

#ifndef PLATFORM_DISPATCH_QUEUE_INTERNAL_H_
#define PLATFORM_DISPATCH_QUEUE_INTERNAL_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/dispatch.h"

namespace platform::dispatch::internal {
class SyncTurn;
}  // namespace platform::dispatch::internal

struct dispatch_queue_s : std::enable_shared_from_this<dispatch_queue_s> {
  enum class Kind { kSerial, kConcurrent, kGlobal, kMain };

  // A queue's work: a caller's block (which names the thread after the queue), the stand-in's
  // own forwarding item, or a dispatch_sync() caller's turn, which runs no block: the thread that
  // reaches it lends the caller the queues it holds and waits while the caller runs its block.
  struct Item {
    dispatch_block_t block;
    bool from_caller;
    std::shared_ptr<platform::dispatch::internal::SyncTurn> turn = nullptr;
  };

  dispatch_queue_s(std::string label, Kind kind, dispatch_qos_class_t qos, int relative_priority,
                   dispatch_queue_t target);

  bool IsSerial() const { return kind == Kind::kSerial || kind == Kind::kMain; }

  const std::string label;
  const std::string thread_name;  // the label cut to 15 characters
  const Kind kind;
  const dispatch_qos_class_t qos;
  const int relative_priority;

  std::mutex mu;
  // Serial and main queues: blocks not yet run. Concurrent queues: blocks held while suspended.
  std::deque<Item> items;
  dispatch_queue_t target;  // null for the global and main queues
  int suspend_count = 0;
  bool drain_handed_over = false;  // serial queues: a drain is queued on the target or running
};

namespace platform::dispatch::internal {

// Queues an item on `queue` as dispatch_async() does.
void Enqueue(const dispatch_queue_t& queue, dispatch_queue_s::Item item);

// A serial queue made for a timer source: suspended once, with the label of its target.
dispatch_queue_t NewSourceQueue(const dispatch_queue_t& target);

// True when `queue` or a queue it targets is suspended now.
bool IsSuspendedAlongChain(const dispatch_queue_t& queue);

// Set once a block has finished; lets a thread wait for it.
class Completion {
 public:
  void Set();
  bool IsSet() const { return done_.load(std::memory_order_acquire); }
  // Waits until set. On the main thread, runs main-queue blocks while it waits when asked to.
  void Wait(bool run_main_queue);

 private:
  std::atomic<bool> done_{false};
  std::mutex mu_;
  std::condition_variable cv_;
};

// cv.wait_until(), where time_point::max() means no deadline.
template <typename Predicate>
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
               std::chrono::steady_clock::time_point deadline, Predicate ready) {
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_until(lock, deadline, ready);
}

// Main queue: runs its first block on the calling (main) thread; false when it is empty.
bool RunOneMainQueueBlock();
// Main queue: waits until it has a block, `ready` answers true (asked under the main queue's
// lock) or `deadline` passes.
void WaitForMainQueueWork(const std::function<bool()>& ready,
                          std::chrono::steady_clock::time_point deadline);
// Wakes waiters of WaitForMainQueueWork to ask `ready` again.
void WakeMainQueueWaiters();

}  // namespace platform::dispatch::internal

#endif  // PLATFORM_DISPATCH_QUEUE_INTERNAL_H_
