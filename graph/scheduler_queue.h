// The task queue of one executor: node opens and invocations in priority order.
//
// A `SchedulerQueue` holds the ready tasks of the nodes that run on one executor. For every
// queued task it asks the executor once to run "the next task"; when the executor calls
// back (`RunNextTask`) the queue runs whichever task is on top at that moment, on the
// calling thread. The queue tells its scheduler when it goes from idle to busy and back,
// reports node failures through the scheduler's error callback, and carries out a stop
// request: once a non-source node returns the stop status, scheduled sources are closed
// instead of run.

#ifndef QUILLMERE_GRAPH_SCHEDULER_QUEUE_H_
#define QUILLMERE_GRAPH_SCHEDULER_QUEUE_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "graph/executor.h"
#include "graph/light_mutex.h"
#include "graph/priority_heap.h"
#include "graph/scheduler_shared.h"
#include "graph/timestamp.h"

namespace kaldren {

class CalculatorContext;
class CalculatorNode;

namespace internal {

class SchedulerQueue : public TaskQueue {
 public:
  // One queued task: opening a node, or one invocation of it with a prepared context.
  class Item {
   public:
    // An invocation of `node` with `cc`; both non-null.
    Item(CalculatorNode* node, CalculatorContext* cc);
    // Opening `node`; non-null.
    explicit Item(CalculatorNode* node);

    CalculatorNode* Node() const { return node_; }
    CalculatorContext* Context() const { return cc_; }
    bool IsOpenNode() const { return is_open_node_; }
    int Id() const { return id_; }
    int Layer() const { return layer_; }
    bool IsSource() const { return is_source_; }
    Timestamp SourceProcessOrder() const { return source_process_order_; }

    // True when `this` runs after `other`: open tasks first (lower id first), then
    // invocations of non-sources (higher id first, so later nodes drain first), then
    // invocations of sources (lower layer, then earlier source process order, then lower
    // id first).
    bool operator<(const Item& other) const {
      if (is_open_node_ || other.is_open_node_) {
        if (!is_open_node_) return true;
        if (!other.is_open_node_) return false;
        return id_ > other.id_;
      }
      if (!is_source_ && !other.is_source_) return id_ < other.id_;
      if (!is_source_) return false;
      if (!other.is_source_) return true;
      if (layer_ != other.layer_) return layer_ > other.layer_;
      if (source_process_order_ != other.source_process_order_) {
        return source_process_order_ > other.source_process_order_;
      }
      return id_ > other.id_;
    }

   private:
    Timestamp source_process_order_;
    CalculatorNode* node_;
    CalculatorContext* cc_;
    int id_ = 0;
    int layer_ = 0;
    bool is_source_ = false;
    bool is_open_node_ = false;
  };

  // `shared` belongs to the scheduler and outlives the queue.
  explicit SchedulerQueue(SchedulerShared* shared) : shared_(shared) {}
  ~SchedulerQueue() override = default;

  SchedulerQueue(const SchedulerQueue&) = delete;
  SchedulerQueue& operator=(const SchedulerQueue&) = delete;

  // Not owned. Set before the first task is added.
  void SetExecutor(Executor* executor) { executor_ = executor; }

  // Called with false when the queue goes from idle to busy and with true when it goes back,
  // never with the queue's lock held. Set before the first task is added.
  void SetIdleCallback(std::function<void(bool)> idle_callback) {
    idle_callback_ = std::move(idle_callback);
  }

  // Whether the thread that has just run one of the queue's tasks may go on with the next one
  // itself, called with the argument given along with it.
  using ContinuationGate = bool (*)(void* arg);
  // With a gate, a task that makes a node of this queue ready keeps the first such item for
  // its own thread instead of asking the executor for a run: when the task ends and `gate`
  // allows it, the thread runs the item next, exactly as if it had gone through the heap (an
  // item waiting in the heap that ranks higher goes first and the kept one takes its place);
  // otherwise the item goes to the heap and the executor as usual. For an executor whose
  // tasks run one after the other on the thread that queues them anyway (the application
  // thread's), this saves the heap's lock and the executor's queue. Set before the first
  // task is added; null (the default) turns it off.
  void SetContinuationGate(ContinuationGate gate, void* arg) {
    continuation_gate_ = gate;
    continuation_gate_arg_ = arg;
  }

  // Queues one invocation of `node` with `cc` if the node grants an in-flight slot; a
  // refusal is legal only for a source node. Does nothing once the run has an error.
  void AddNode(CalculatorNode* node, CalculatorContext* cc);
  // Queues the opening of `node`. Does nothing once the run has an error.
  void AddNodeForOpen(CalculatorNode* node);

  // Hands the executor the tasks queued while the queue was not running.
  void SubmitWaitingTasksToExecutor();

  // Runs the top task on the calling thread. Called by the executor.
  void RunNextTask() override;

  // Raises (true) or lowers (false) the running count; tasks go to the executor only while
  // it is above 0.
  void SetRunning(bool running);

  // Clears the three counters; queued items stay.
  void Reset();

  // Drops the items left after a run. Every handed-over task must have finished. Reports
  // idle when the queue was busy.
  void CleanupAfterRun();

 private:
  // What a run of RunNextTask takes from an item.
  struct Task {
    CalculatorNode* node;
    CalculatorContext* cc;
    bool is_open_node;
  };
  // The item a running task of this queue made ready and keeps for its own thread, in a
  // slot registered for the thread while the task runs.
  struct ContinuationSlot;

  // Queues the item made of `args`: in the running task's continuation slot when it may
  // take it, else in the heap. The item is built in place, where it stays.
  template <typename... Args>
  void AddItemToQueue(Args... args);
  // Puts `item` in the heap and asks the executor to run it. `takes_over_count`: the item
  // inherits the unfinished count of a task that has just ended without lowering it.
  void PushItem(Item&& item, bool takes_over_count);
  Task PopTopLocked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // What `top_rank_` holds: kEmptyHeap; the top's node id when it is an invocation of a
  // non-source, which any such invocation of a higher id outranks; kSourceOnTop, which every
  // such invocation outranks; kOpenOnTop, which none does.
  static constexpr int kEmptyHeap = -2;
  static constexpr int kSourceOnTop = -1;
  static constexpr int kOpenOnTop = 0x7fffffff;
  // Updates `top_rank_` after a change of the heap.
  void PublishTopLocked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void RunTask(const Task& task);
  // Runs `task`, then the items it and its successors kept for this thread while the gate
  // allows. Returns false when the last of them went to the heap instead, taking over the
  // unfinished count that the caller would otherwise lower; the time since `start_ticks`
  // has then gone to the scheduler timer already.
  bool RunTaskAndContinuations(Task task, int64_t start_ticks);
  // Adds the ticks since `start_ticks` to the scheduler timer.
  void AddRunTimeSince(int64_t start_ticks);
  void OpenCalculatorNode(CalculatorNode* node);
  void RunCalculatorNode(CalculatorNode* node, CalculatorContext* cc);
  bool IsIdle() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Tasks handed to the executor and not finished. Not kept as a count of its own, which
  // every finishing task would have to lower: it is what remains of the unfinished items
  // once the waiting and the stranded ones are taken away.
  int NumPendingTasks() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Moves the waiting tasks to the executor's side when the queue is running; returns how
  // many the executor must be asked to run.
  int TakeTasksToAdd() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  LightMutex mutex_;
  Executor* executor_ = nullptr;
  std::function<void(bool)> idle_callback_;
  int running_count_ ABSL_GUARDED_BY(mutex_) = 0;
  // Whether `running_count_` is above 0, and the rank of the heap's top (see
  // PublishTopLocked): written with mutex_ held, read without it by a task deciding whether
  // to run its continuation.
  std::atomic<bool> running_{false};
  std::atomic<int> top_rank_{kEmptyHeap};
  ContinuationGate continuation_gate_ = nullptr;
  void* continuation_gate_arg_ = nullptr;
  // Items in the heap plus tasks running: the queue is idle when it is 0. A finishing task
  // lowers it without the lock and learns from the decrement alone whether it left the queue
  // idle; everything else changes it with mutex_ held.
  std::atomic<int> num_unfinished_items_{0};
  // Queued and not yet handed to the executor.
  int num_tasks_to_add_ ABSL_GUARDED_BY(mutex_) = 0;
  // Items that `Reset` found in the heap: counted as unfinished, but neither waiting nor
  // handed over. Zero in every run that starts from an empty queue.
  int num_stranded_items_ ABSL_GUARDED_BY(mutex_) = 0;
  PriorityHeap<Item> queue_ ABSL_GUARDED_BY(mutex_);
  SchedulerShared* const shared_;
};

// An executor that hands every task to a function (the application-thread executor).
class DelegatingExecutor : public Executor {
 public:
  explicit DelegatingExecutor(std::function<void(std::function<void()>)> delegate)
      : delegate_(std::move(delegate)) {}
  ~DelegatingExecutor() override = default;

  void Schedule(std::function<void()> task) override { delegate_(std::move(task)); }

 private:
  std::function<void(std::function<void()>)> delegate_;
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_SCHEDULER_QUEUE_H_
