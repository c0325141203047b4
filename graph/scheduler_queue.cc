#include "graph/scheduler_queue.h"

#include <optional>
#include <utility>

#include "base/logging.h"
#include "graph/calculator_node.h"
#include "graph_config/status_util.h"

namespace kaldren {
namespace internal {

namespace {

// Marks the extent of one task. The platform's object runtime would drain the objects a task
// autoreleased here; nothing is autoreleased on this platform.
class ScopedAutoreleasePool {
 public:
  ScopedAutoreleasePool() {}
  ~ScopedAutoreleasePool() {}
  ScopedAutoreleasePool(const ScopedAutoreleasePool&) = delete;
  ScopedAutoreleasePool& operator=(const ScopedAutoreleasePool&) = delete;
};

// The source process order of a task that is not a source's invocation. Made once: each
// construction of a timestamp checks its value out of line.
const Timestamp kNoSourceProcessOrder(0);

void CheckNotClosed(const CalculatorNode* node) {
  CHECK(!node->Closed()) << "Scheduled a node that was closed. This should not happen.";
}

}  // namespace

SchedulerQueue::Item::Item(CalculatorNode* node, CalculatorContext* cc)
    : source_process_order_(kNoSourceProcessOrder), node_(node), cc_(cc) {
  CHECK(node);
  CHECK(cc);
  is_source_ = node->IsSource();
  id_ = node->Id();
  if (is_source_) {
    layer_ = node->SourceLayer();
    source_process_order_ = node->SourceProcessOrder(cc);
  }
}

SchedulerQueue::Item::Item(CalculatorNode* node)
    : source_process_order_(kNoSourceProcessOrder), node_(node), cc_(nullptr) {
  CHECK(node);
  is_open_node_ = true;
  is_source_ = node->IsSource();
  id_ = node->Id();
  if (is_source_) {
    layer_ = node->SourceLayer();
    source_process_order_ = Timestamp::Unstarted();
  }
}

struct SchedulerQueue::ContinuationSlot {
  // Registers the slot for the calling thread until it is destroyed; slots of nested runs
  // (a task that waits in the graph runs tasks itself) stack.
  explicit ContinuationSlot(const SchedulerQueue* queue) : queue(queue), outer(current) {
    current = this;
  }
  ~ContinuationSlot() { current = outer; }
  ContinuationSlot(const ContinuationSlot&) = delete;
  ContinuationSlot& operator=(const ContinuationSlot&) = delete;

  static thread_local ContinuationSlot* current;

  const SchedulerQueue* const queue;
  ContinuationSlot* const outer;
  std::optional<Item> item;
};

thread_local SchedulerQueue::ContinuationSlot* SchedulerQueue::ContinuationSlot::current = nullptr;

template <typename... Args>
void SchedulerQueue::AddItemToQueue(Args... args) {
  if (continuation_gate_ != nullptr) {
    ContinuationSlot* const slot = ContinuationSlot::current;
    if (slot != nullptr && slot->queue == this && !slot->item.has_value()) {
      // Counted as unfinished through the task that keeps it: see RunTaskAndContinuations.
      const Item& item = slot->item.emplace(args...);
      VLOG(4) << item.Node()->DebugName() << " was added to the scheduler queue.";
      return;
    }
  }
  PushItem(Item(args...), /*takes_over_count=*/false);
}

void SchedulerQueue::AddNode(CalculatorNode* node, CalculatorContext* cc) {
  if (shared_->has_error) return;
  if (!node->TryToBeginScheduling()) {
    // Only a source may be refused: it asks again for each of its invocations, while any
    // other node is scheduled only when it has a free slot.
    CHECK(node->IsSource()) << node->DebugName();
    return;
  }
  AddItemToQueue(node, cc);
}

void SchedulerQueue::AddNodeForOpen(CalculatorNode* node) {
  if (shared_->has_error) return;
  AddItemToQueue(node);
}

void SchedulerQueue::PushItem(Item&& item, bool takes_over_count) {
  const CalculatorNode* node = item.Node();
  bool was_idle = false;
  int tasks_to_add;
  {
    std::lock_guard<LightMutex> lock(mutex_);
    queue_.push(std::move(item));
    PublishTopLocked();
    // A finishing task lowers the count without the lock: the increment itself tells.
    if (!takes_over_count) was_idle = num_unfinished_items_.fetch_add(1) == 0;
    ++num_tasks_to_add_;
    if (!takes_over_count) {
      VLOG(4) << node->DebugName() << " was added to the scheduler queue.";
    }
    tasks_to_add = TakeTasksToAdd();
  }
  if (was_idle && idle_callback_) idle_callback_(false);
  for (int i = 0; i < tasks_to_add; ++i) executor_->AddTask(this);
}

int SchedulerQueue::TakeTasksToAdd() {
  if (running_count_ <= 0) return 0;
  const int tasks_to_add = num_tasks_to_add_;
  num_tasks_to_add_ = 0;
  return tasks_to_add;
}

void SchedulerQueue::SubmitWaitingTasksToExecutor() {
  int tasks_to_add;
  {
    std::lock_guard<LightMutex> lock(mutex_);
    tasks_to_add = TakeTasksToAdd();
  }
  for (int i = 0; i < tasks_to_add; ++i) executor_->AddTask(this);
}

void SchedulerQueue::PublishTopLocked() {
  int rank = kEmptyHeap;
  if (!queue_.empty()) {
    const Item& top = queue_.top();
    rank = top.IsOpenNode() ? kOpenOnTop : top.IsSource() ? kSourceOnTop : top.Id();
  }
  top_rank_.store(rank, std::memory_order_relaxed);
}

SchedulerQueue::Task SchedulerQueue::PopTopLocked() {
  const Item& item = queue_.top();
  const Task task{item.Node(), item.Context(), item.IsOpenNode()};
  queue_.pop();
  PublishTopLocked();
  CheckNotClosed(task.node);
  return task;
}

void SchedulerQueue::RunNextTask() {
  Task task;
  {
    std::lock_guard<LightMutex> lock(mutex_);
    CHECK(!queue_.empty()) << "Called RunNextTask when the queue is empty. "
                              "This should not happen.";
    task = PopTopLocked();
  }

  // A run of this function is timed as a whole, and its time goes to the scheduler timer
  // before the count that keeps the run from ending is lowered. The calls of a chain of
  // continuations run back to back, so timing the chain from the start of its first call
  // to the end of its last counts the few steps that hand one call over to the next with
  // the calls, and reads the clock twice per chain rather than twice per call.
  const int64_t start_ticks = shared_->timer.NowTicks();
  if (continuation_gate_ == nullptr) {
    RunTask(task);
  } else if (!RunTaskAndContinuations(task, start_ticks)) {
    return;
  }
  AddRunTimeSince(start_ticks);

  const bool is_idle = num_unfinished_items_.fetch_sub(1) == 1;
  if (is_idle && idle_callback_) idle_callback_(true);
}

void SchedulerQueue::AddRunTimeSince(int64_t start_ticks) {
  // A thread moved to another processor could in principle read a counter a little behind
  // the first: such a run counts as taking no time.
  const int64_t ticks = shared_->timer.NowTicks() - start_ticks;
  if (ticks > 0) shared_->timer.AddTicks(ticks);
}

void SchedulerQueue::RunTask(const Task& task) {
  ScopedAutoreleasePool pool;
  if (task.is_open_node) {
    OpenCalculatorNode(task.node);
  } else {
    RunCalculatorNode(task.node, task.cc);
  }
}

bool SchedulerQueue::RunTaskAndContinuations(Task task, int64_t start_ticks) {
  // The kept item is never counted as unfinished on its own: it takes over the count of the
  // task that kept it, which then ends without lowering it. The queue stays busy throughout,
  // as it would have with the item counted before the task's count was lowered.
  ContinuationSlot slot(this);
  while (true) {
    RunTask(task);
    if (!slot.item.has_value()) return true;
    Item& item = *slot.item;
    // A queue that is not running hands nothing to its executor, and the gate may want the
    // thread back (another thread's task waits, or what its caller waits for has happened):
    // the item goes where it would have gone without a slot. Reading `running_` without the
    // lock places this decision before or after a concurrent change, as taking the lock would.
    if (!running_.load(std::memory_order_relaxed) ||
        !continuation_gate_(continuation_gate_arg_)) {
      // Once the item is in the heap, another thread may run it and end the run.
      AddRunTimeSince(start_ticks);
      PushItem(std::move(item), /*takes_over_count=*/true);
      slot.item.reset();
      return false;
    }
    const int top_rank = top_rank_.load(std::memory_order_relaxed);
    if (top_rank == kEmptyHeap ||
        (!item.IsOpenNode() && !item.IsSource() && item.Id() > top_rank)) {
      // Through the heap it would come straight back out: the heap is empty, or the item
      // outranks its top (a node further down the graph, most often). An item that another
      // thread queues just now is one that came a moment later.
      task = {item.Node(), item.Context(), item.IsOpenNode()};
      slot.item.reset();
      CheckNotClosed(task.node);
    } else {
      // Whatever the heap holds, the next task is its top once the item is in it. The heap
      // keeps as many items as before, so the runs asked of the executor still match them.
      std::lock_guard<LightMutex> lock(mutex_);
      queue_.push(std::move(item));
      slot.item.reset();
      task = PopTopLocked();
    }
  }
}

void SchedulerQueue::OpenCalculatorNode(CalculatorNode* node) {
  VLOG(3) << "Opening " << node->DebugName();
  const absl::Status result = node->OpenNode();
  if (result.ok()) {
    node->NodeOpened();
  } else {
    VLOG(3) << node->DebugName() << " had an error!";
    shared_->error_callback(result);
  }
}

void SchedulerQueue::RunCalculatorNode(CalculatorNode* node, CalculatorContext* cc) {
  VLOG(3) << "Running " << node->DebugName();
  if (shared_->stopping && node->IsSource()) {
    VLOG(4) << "Closing " << node->DebugName() << " due to StatusStop().";
    // The run goes on; only this source stops.
    const absl::Status result = node->CloseNode(absl::OkStatus(), /*graph_run_ended=*/false);
    if (!result.ok()) {
      VLOG(3) << node->DebugName() << " had an error while closing due to StatusStop()!";
      shared_->error_callback(result);
    }
  } else {
    const absl::Status result = node->ProcessNode(cc);
    if (!result.ok()) {
      if (result == tool::StatusStop()) {
        // A source's own stop status closes it inside ProcessNode; from any other node it
        // asks for every source to be stopped.
        CHECK(!node->IsSource());
        shared_->stopping = true;
      } else {
        VLOG(3) << node->DebugName() << " had an error!";
        shared_->error_callback(result);
      }
    }
  }
  VLOG(4) << "Done running " << node->DebugName();
  node->EndScheduling();
}

void SchedulerQueue::SetRunning(bool running) {
  std::lock_guard<LightMutex> lock(mutex_);
  running_count_ += running ? 1 : -1;
  running_.store(running_count_ > 0, std::memory_order_relaxed);
}

void SchedulerQueue::Reset() {
  std::lock_guard<LightMutex> lock(mutex_);
  running_count_ = 0;
  running_.store(false, std::memory_order_relaxed);
  num_tasks_to_add_ = 0;
  num_stranded_items_ = static_cast<int>(queue_.size());
  num_unfinished_items_ = num_stranded_items_;
}

int SchedulerQueue::NumPendingTasks() {
  return num_unfinished_items_.load() - num_tasks_to_add_ - num_stranded_items_;
}

bool SchedulerQueue::IsIdle() {
  VLOG(3) << "Scheduler queue empty: " << queue_.empty()
          << ", # of pending tasks: " << NumPendingTasks();
  return num_unfinished_items_.load() == 0;
}

void SchedulerQueue::CleanupAfterRun() {
  bool was_idle;
  {
    std::lock_guard<LightMutex> lock(mutex_);
    was_idle = IsIdle();
    // Named after the count it stands for, so that a failure reads as that count's check.
    const int num_pending_tasks_ = NumPendingTasks();
    CHECK_EQ(num_pending_tasks_, 0);
    CHECK_EQ(num_tasks_to_add_, queue_.size());
    num_tasks_to_add_ = 0;
    num_stranded_items_ = 0;
    queue_.clear();
    PublishTopLocked();
    num_unfinished_items_ = 0;
  }
  if (!was_idle && idle_callback_) idle_callback_(true);
}

}  // namespace internal
}  // namespace kaldren
