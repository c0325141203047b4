#include "graph/scheduler_queue.h"

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

void SchedulerQueue::AddNode(CalculatorNode* node, CalculatorContext* cc) {
  if (shared_->has_error) return;
  if (!node->TryToBeginScheduling()) {
    // Only a source may be refused: it asks again for each of its invocations, while any
    // other node is scheduled only when it has a free slot.
    CHECK(node->IsSource()) << node->DebugName();
    return;
  }
  AddItemToQueue(Item(node, cc));
}

void SchedulerQueue::AddNodeForOpen(CalculatorNode* node) {
  if (shared_->has_error) return;
  AddItemToQueue(Item(node));
}

void SchedulerQueue::AddItemToQueue(Item&& item) {
  const CalculatorNode* node = item.Node();
  bool was_idle;
  int tasks_to_add;
  {
    std::lock_guard<LightMutex> lock(mutex_);
    queue_.push(std::move(item));
    // A finishing task lowers the count without the lock: the increment itself tells.
    was_idle = num_unfinished_items_.fetch_add(1) == 0;
    ++num_tasks_to_add_;
    VLOG(4) << node->DebugName() << " was added to the scheduler queue.";
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

void SchedulerQueue::RunNextTask() {
  CalculatorNode* node;
  CalculatorContext* cc;
  bool is_open_node;
  {
    std::lock_guard<LightMutex> lock(mutex_);
    CHECK(!queue_.empty()) << "Called RunNextTask when the queue is empty. "
                              "This should not happen.";
    const Item& item = queue_.top();
    node = item.Node();
    cc = item.Context();
    is_open_node = item.IsOpenNode();
    queue_.pop();
    CHECK(!node->Closed()) << "Scheduled a node that was closed. This should not happen.";
  }

  {
    ScopedAutoreleasePool pool;
    if (is_open_node) {
      OpenCalculatorNode(node);
    } else {
      RunCalculatorNode(node, cc);
    }
  }

  const bool is_idle = num_unfinished_items_.fetch_sub(1) == 1;
  if (is_idle && idle_callback_) idle_callback_(true);
}

void SchedulerQueue::OpenCalculatorNode(CalculatorNode* node) {
  VLOG(3) << "Opening " << node->DebugName();
  const int64_t start_time = shared_->timer.StartMeasurement();
  const absl::Status result = node->OpenNode();
  shared_->timer.EndMeasurement(start_time);
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
    const int64_t start_time = shared_->timer.StartMeasurement();
    // The run goes on; only this source stops.
    const absl::Status result = node->CloseNode(absl::OkStatus(), /*graph_run_ended=*/false);
    shared_->timer.EndMeasurement(start_time);
    if (!result.ok()) {
      VLOG(3) << node->DebugName() << " had an error while closing due to StatusStop()!";
      shared_->error_callback(result);
    }
  } else {
    const int64_t start_time = shared_->timer.StartMeasurement();
    const absl::Status result = node->ProcessNode(cc);
    shared_->timer.EndMeasurement(start_time);
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
}

void SchedulerQueue::Reset() {
  std::lock_guard<LightMutex> lock(mutex_);
  running_count_ = 0;
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
    num_unfinished_items_ = 0;
  }
  if (!was_idle && idle_callback_) idle_callback_(true);
}

}  // namespace internal
}  // namespace kaldren
