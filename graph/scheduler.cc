#include "graph/scheduler.h"

#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/calculator_node.h"
#include "graph/scheduler_lock.h"

namespace kaldren {
namespace internal {

namespace {

// While a caller waits in a scheduler, the tasks that its thread schedules on that scheduler
// (those of the tasks it runs) go to the wait's private list, which needs no lock: the same
// thread runs them next.
struct LocalApplicationThreadTasks {
  const Scheduler* scheduler;
  RingDeque<TaskQueue*>* tasks;
  // The wait's condition when it may be evaluated without the state mutex, else null.
  const void* lock_free_condition;
  bool (*condition_holds)(const void* condition);
  // Whether a task other than a request to run the default queue's next item has gone to
  // `tasks` during the wait.
  bool has_other_tasks;
};
thread_local LocalApplicationThreadTasks local_app_thread_tasks = {nullptr, nullptr, nullptr,
                                                                   nullptr, false};

template <typename Condition>
bool ConditionHolds(const void* condition) {
  return (*static_cast<const Condition*>(condition))();
}

// The private lists of this thread's waits by nesting depth (a task may wait, too). Each wait
// reuses the slots of the waits before it at its depth, so a wait allocates nothing once the
// thread has waited.
thread_local std::vector<std::unique_ptr<RingDeque<TaskQueue*>>> wait_task_lists;
thread_local size_t wait_depth = 0;

// A function queued on the application thread: a task queue of one task, which frees itself
// (and the function's captures) once the function has run.
class FunctionTask : public TaskQueue {
 public:
  explicit FunctionTask(std::function<void()> function) : function_(std::move(function)) {}
  void RunNextTask() override {
    std::unique_ptr<FunctionTask> self(this);
    function_();
  }

 private:
  std::function<void()> function_;
};

// Moves every task of `from` to the back of `to`, in order.
void MoveTasks(RingDeque<TaskQueue*>* from, RingDeque<TaskQueue*>* to) {
  while (!from->empty()) to->push_back(from->take_front());
}

// How long a waiting caller watches for a change of the run's state before it sleeps.
constexpr std::chrono::microseconds kWaitSpinTime(50);

}  // namespace

void Scheduler::NotifyStateChanged() {
  state_changes_.fetch_add(1);
  state_cond_var_.notify_all();
}

void Scheduler::NotifyStateChangedUnlocked() {
  state_changes_.fetch_add(1);
  if (state_sleepers_.load() == 0) return;
  // A caller that counted itself asleep holds the mutex until it waits.
  { std::lock_guard<std::mutex> lock(state_mutex_); }
  state_cond_var_.notify_all();
}

bool Scheduler::SourceLayerCompare::operator()(const CalculatorNode* a,
                                               const CalculatorNode* b) const {
  if (a->SourceLayer() != b->SourceLayer()) return a->SourceLayer() < b->SourceLayer();
  return a->Id() < b->Id();
}

Scheduler::Scheduler(SchedulerGraph* graph) : graph_(graph), default_queue_(&shared_) {
  shared_.error_callback = [graph](const absl::Status& error) { graph->RecordError(error); };
  default_queue_.SetIdleCallback([this](bool idle) { QueueIdleStateChanged(idle); });
  scheduler_queues_.push_back(&default_queue_);
}

Scheduler::~Scheduler() {
  bool started;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    started = state_ != STATE_NOT_STARTED;
  }
  if (started) {
    Cancel();
    WaitUntilDone().IgnoreError();
  }
  // Functions nobody waited for; the other tasks are requests to queues that are not ours.
  std::lock_guard<std::mutex> lock(state_mutex_);
  while (!app_thread_tasks_.empty()) {
    delete dynamic_cast<FunctionTask*>(app_thread_tasks_.take_front());
  }
}

void Scheduler::SetExecutor(Executor* executor) {
  CHECK_EQ(state_, STATE_NOT_STARTED)
      << "SetExecutor must not be called after the scheduler has started";
  default_queue_.SetExecutor(executor);
  // The application thread runs the tasks its own tasks queue one after the other anyway:
  // let it go on with the next one directly when the wait would have run it next.
  const bool on_application_thread = dynamic_cast<ApplicationThreadExecutor*>(executor) != nullptr;
  default_queue_.SetContinuationGate(on_application_thread ? &MayRunNextTaskDirectly : nullptr,
                                     this);
}

bool Scheduler::MayRunNextTaskDirectly(void* scheduler) {
  // Exactly when ApplicationThreadAwait would run this thread's next private task without
  // retaking the state mutex: in a wait of this scheduler whose condition reads only
  // atomics, with no shared task waiting (those go first), and while the condition does not
  // hold yet. The private tasks must all be requests to run the default queue's next item:
  // those are interchangeable with running it now, which leaves them as they were, while a
  // function queued among them must keep its turn.
  const LocalApplicationThreadTasks& local = local_app_thread_tasks;
  const Scheduler* const self = static_cast<const Scheduler*>(scheduler);
  return local.scheduler == self && local.lock_free_condition != nullptr &&
         !local.has_other_tasks &&
         self->num_app_thread_tasks_.load(std::memory_order_relaxed) == 0 &&
         !local.condition_holds(local.lock_free_condition);
}

absl::Status Scheduler::SetNonDefaultExecutor(const std::string& name, Executor* executor) {
  RET_CHECK_EQ(state_, STATE_NOT_STARTED)
      << "SetNonDefaultExecutor must not be called after the scheduler has started";
  auto inserted = non_default_queues_.emplace(name, std::make_unique<SchedulerQueue>(&shared_));
  RET_CHECK(inserted.second)
      << "SetNonDefaultExecutor must be called only once for the executor \"" << name << "\"";
  SchedulerQueue* queue = inserted.first->second.get();
  queue->SetIdleCallback([this](bool idle) { QueueIdleStateChanged(idle); });
  queue->SetExecutor(executor);
  scheduler_queues_.push_back(queue);
  return absl::OkStatus();
}

void Scheduler::AssignNodeToSchedulerQueue(CalculatorNode* node) {
  SchedulerQueue* queue;
  if (node->ExecutorName().empty()) {
    queue = &default_queue_;
  } else {
    auto iter = non_default_queues_.find(node->ExecutorName());
    CHECK(iter != non_default_queues_.end());
    queue = iter->second.get();
  }
  node->SetSchedulerQueue(queue);
}

void Scheduler::Reset() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_ = STATE_NOT_STARTED;
    graph_input_streams_closed_ = graph_->GraphInputStreamsClosed();
    observed_output_signal_ = false;
    throttled_graph_input_stream_count_ = 0;
    unthrottle_seq_num_ = 0;
  }
  for (SchedulerQueue* queue : scheduler_queues_) queue->Reset();
  shared_.stopping = false;
  shared_.has_error = false;
}

void Scheduler::AddUnopenedSourceNode(CalculatorNode* node) {
  CHECK_EQ(state_, STATE_NOT_STARTED)
      << "AddUnopenedSourceNode can only be called before starting the scheduler";
  unopened_sources_.insert(node);
}

void Scheduler::AddNodeToSourcesQueue(CalculatorNode* node) {
  // The item asks the calculator for its source process order: done before locking.
  SchedulerQueue::Item item(node, node->DefaultContext());
  std::lock_guard<std::mutex> lock(state_mutex_);
  sources_queue_.push(std::move(item));
  unopened_sources_.erase(node);
}

void Scheduler::ScheduleNodeForOpen(CalculatorNode* node) {
  VLOG(1) << "Scheduling OpenNode of calculator " << node->DebugName();
  node->GetSchedulerQueue()->AddNodeForOpen(node);
}

void Scheduler::ScheduleNodeIfNotThrottled(CalculatorNode* node, CalculatorContext* cc) {
  // A throttled node is scheduled again when the graph unthrottles it.
  if (graph_->IsNodeThrottled(node->Id())) return;
  node->GetSchedulerQueue()->AddNode(node, cc);
}

void Scheduler::ScheduleUnthrottledReadyNodes(const std::vector<CalculatorNode*>& nodes) {
  for (CalculatorNode* node : nodes) {
    CHECK(node->IsSource());
    node->GetSchedulerQueue()->AddNode(node, node->DefaultContext());
  }
}

void Scheduler::SetQueuesRunning(bool running) {
  for (SchedulerQueue* queue : scheduler_queues_) queue->SetRunning(running);
}

void Scheduler::SubmitWaitingTasksOnQueues() {
  for (SchedulerQueue* queue : scheduler_queues_) queue->SubmitWaitingTasksToExecutor();
}

void Scheduler::Start() {
  VLOG(2) << "Starting scheduler";
  shared_.timer.StartRun();
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    CHECK_EQ(state_, STATE_NOT_STARTED);
    state_ = STATE_RUNNING;
    SetQueuesRunning(true);
    HandleIdle();
  }
  SubmitWaitingTasksOnQueues();
}

void Scheduler::QueueIdleStateChanged(bool idle) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  const int count = non_idle_queue_count_.fetch_add(idle ? -1 : 1) + (idle ? -1 : 1);
  VLOG(2) << "active queues: " << count;
  if (count == 0) {
    NotifyStateChanged();
    HandleIdle();
  }
}

void Scheduler::HandleIdle() {
  if (handling_idle_) {
    // The thread inside re-examines the state when it takes the mutex again.
    VLOG(2) << "HandleIdle: already in progress";
    return;
  }
  handling_idle_ = true;
  while (IsIdle() && (state_ == STATE_RUNNING || state_ == STATE_CANCELLING)) {
    CleanupActiveSources();
    if (shared_.has_error) {
      VLOG(2) << "HandleIdle: quitting";
      Quit();
      break;
    }
    if (active_sources_.empty()) {
      if (!sources_queue_.empty()) {
        VLOG(2) << "HandleIdle: activating sources";
        const bool did_activate = TryToScheduleNextSourceLayer();
        CHECK(did_activate || active_sources_.empty());
        if (!did_activate && !shared_.has_error) {
          // A source of a lower layer is not open yet and graph input may still come.
          // Nothing here can change that: retry at the next idle transition, graph input
          // or close, rather than spin with the mutex held.
          break;
        }
        continue;
      }
      if (graph_input_streams_closed_) {
        VLOG(2) << "HandleIdle: quitting";
        Quit();
        break;
      }
      if (throttled_graph_input_stream_count_ == 0) break;  // wait for more input
    }
    // A caller is still delivering graph input; the end of its delivery looks again.
    if (graph_input_deliveries_.load() > 0) break;
    VLOG(2) << "HandleIdle: unthrottling";
    state_mutex_.unlock();
    const bool relieved = graph_->UnthrottleSources();
    state_mutex_.lock();
    // Only the reader of a poller can drain its queue; trying again would spin, on this
    // caller's thread, until then. The reading itself unthrottles what the queue held
    // back, which schedules the sources again or lets the blocked graph input through.
    if (!relieved) break;
  }
  handling_idle_ = false;
}

bool Scheduler::TryToScheduleNextSourceLayer() {
  VLOG(3) << "TryToScheduleNextSourceLayer";
  CHECK(active_sources_.empty());
  CHECK(!sources_queue_.empty());
  if (!unopened_sources_.empty() &&
      (*unopened_sources_.begin())->SourceLayer() < sources_queue_.top().Layer()) {
    if (graph_input_streams_closed_) {
      graph_->RecordError(absl::UnknownError(
          "Detected a deadlock because source nodes cannot be activated when a source node "
          "at a lower layer is still not opened."));
    }
    return false;
  }
  std::vector<CalculatorNode*> nodes;
  std::vector<CalculatorContext*> contexts;
  const int layer = sources_queue_.top().Layer();
  while (!sources_queue_.empty() && sources_queue_.top().Layer() == layer) {
    const SchedulerQueue::Item& item = sources_queue_.top();
    nodes.push_back(item.Node());
    contexts.push_back(item.Context());
    sources_queue_.pop();
  }
  active_sources_ = nodes;
  state_mutex_.unlock();
  // The whole layer is queued before any of its tasks reaches an executor.
  SetQueuesRunning(false);
  for (size_t i = 0; i < nodes.size(); ++i) {
    nodes[i]->ActivateNode();
    ScheduleNodeIfNotThrottled(nodes[i], contexts[i]);
  }
  SetQueuesRunning(true);
  SubmitWaitingTasksOnQueues();
  state_mutex_.lock();
  return true;
}

void Scheduler::CleanupActiveSources() {
  while (!active_sources_.empty() && active_sources_.back()->Closed()) {
    active_sources_.pop_back();
  }
}

void Scheduler::Quit() {
  CHECK(state_ == STATE_RUNNING || state_ == STATE_CANCELLING);
  SetQueuesRunning(false);
  shared_.timer.EndRun();
  VLOG(2) << "Signaling scheduler termination";
  state_ = STATE_TERMINATED;
  NotifyStateChanged();
}

void Scheduler::GraphInputDeliveryStarted() { graph_input_deliveries_.fetch_add(1); }

void Scheduler::AddedPacketToGraphInputStream() { GraphInputDeliveryFinished(); }

void Scheduler::GraphInputDeliveryFinished() {
  // While a queue is busy its going idle examines the graph: that one sees this delivery
  // ended, or this one sees the queues idle (both counts are sequentially consistent).
  const int deliveries_left = graph_input_deliveries_.fetch_sub(1) - 1;
  if (state_ == STATE_TERMINATED || deliveries_left > 0 || non_idle_queue_count_.load() > 0) {
    return;
  }
  std::lock_guard<std::mutex> lock(state_mutex_);
  HandleIdle();
}

void Scheduler::ClosedAllGraphInputStreams() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  graph_input_streams_closed_ = true;
  HandleIdle();
}

void Scheduler::CloseAllSourceNodes() { shared_.stopping = true; }

void Scheduler::ThrottledGraphInputStream() { throttled_graph_input_stream_count_.fetch_add(1); }

void Scheduler::UnthrottledGraphInputStream() {
  throttled_graph_input_stream_count_.fetch_sub(1);
  unthrottle_seq_num_.fetch_add(1);
  NotifyStateChangedUnlocked();
}

void Scheduler::AddApplicationThreadTask(std::function<void()> task) {
  AddApplicationThreadTask(new FunctionTask(std::move(task)));
}

void Scheduler::AddApplicationThreadTask(TaskQueue* task_queue) {
  if (local_app_thread_tasks.scheduler == this) {
    local_app_thread_tasks.tasks->push_back(task_queue);
    if (task_queue != &default_queue_) local_app_thread_tasks.has_other_tasks = true;
    return;
  }
  std::lock_guard<std::mutex> lock(state_mutex_);
  app_thread_tasks_.push_back(task_queue);
  num_app_thread_tasks_.store(app_thread_tasks_.size(), std::memory_order_relaxed);
  if (app_thread_tasks_.size() == 1) NotifyStateChanged();
}

template <typename Condition>
void Scheduler::ApplicationThreadAwait(const Condition& condition, ConditionLocking locking) {
  // Tasks scheduled by the tasks this thread runs. They are interchangeable requests to run a
  // queue's next item, so running them after the shared ones keeps every item's order.
  if (wait_task_lists.size() == wait_depth) {
    wait_task_lists.push_back(std::make_unique<RingDeque<TaskQueue*>>());
  }
  RingDeque<TaskQueue*>& local_tasks = *wait_task_lists[wait_depth++];
  const LocalApplicationThreadTasks outer = local_app_thread_tasks;
  std::unique_lock<std::mutex> lock(state_mutex_);
  // A wait inside a running task (a callback that adds to a graph input stream, say) may
  // need the tasks its caller's task scheduled: they go where this wait can take them.
  if (outer.scheduler == this) {
    MoveTasks(outer.tasks, &app_thread_tasks_);
    num_app_thread_tasks_.store(app_thread_tasks_.size(), std::memory_order_relaxed);
  }
  local_app_thread_tasks = {this, &local_tasks,
                            locking == ConditionLocking::kLockFree ? &condition : nullptr,
                            &ConditionHolds<Condition>, false};
  while (true) {
    // Read before the condition: a change made without the mutex after this read, even one
    // the condition missed, shows as a different count below.
    const uint64_t seen = state_changes_.load();
    if (condition()) break;
    TaskQueue* task = nullptr;
    if (!app_thread_tasks_.empty()) {
      task = app_thread_tasks_.take_front();
      num_app_thread_tasks_.store(app_thread_tasks_.size(), std::memory_order_relaxed);
    } else if (!local_tasks.empty()) {
      task = local_tasks.take_front();
    }
    if (task != nullptr) {
      lock.unlock();
      task->RunNextTask();
      // The tasks of this thread's own list need no lock, and neither does a lock-free
      // condition: run them one after the other until a shared task arrives (it goes first),
      // or the condition holds (confirmed under the mutex above). The shared count is read
      // relaxed: a task added just after the read is one that came a moment later, and the
      // next read sees it.
      while (locking == ConditionLocking::kLockFree && !local_tasks.empty() &&
             num_app_thread_tasks_.load(std::memory_order_relaxed) == 0 && !condition()) {
        local_tasks.take_front()->RunNextTask();
      }
      lock.lock();
      continue;
    }
    // The change awaited usually comes within microseconds (a worker unthrottles the stream
    // this thread feeds, say): watch for it a little before sleeping, which spares both this
    // thread's sleep and the notifier's wake-up call.
    lock.unlock();
    const auto deadline = std::chrono::steady_clock::now() + kWaitSpinTime;
    while (internal::SpinningPays() && state_changes_.load(std::memory_order_relaxed) == seen) {
      for (int i = 0; i < 16; ++i) CpuRelax();
      if (std::chrono::steady_clock::now() >= deadline) break;
    }
    lock.lock();
    state_sleepers_.fetch_add(1);
    if (state_changes_.load() == seen) state_cond_var_.wait(lock);
    state_sleepers_.fetch_sub(1);
  }
  // What is left runs in the next wait, on whichever thread that is.
  if (!local_tasks.empty()) {
    MoveTasks(&local_tasks, &app_thread_tasks_);
    num_app_thread_tasks_.store(app_thread_tasks_.size(), std::memory_order_relaxed);
    NotifyStateChanged();
  }
  local_app_thread_tasks = outer;
  --wait_depth;
}

void Scheduler::WaitUntilGraphInputStreamUnthrottled(std::mutex* mutex) {
  const int seq_num = unthrottle_seq_num_.load();
  mutex->unlock();
  ApplicationThreadAwait(
      [this, seq_num] { return unthrottle_seq_num_ != seq_num || state_ == STATE_TERMINATED; },
      ConditionLocking::kLockFree);
  mutex->lock();
}

absl::Status Scheduler::WaitUntilIdle() {
  RET_CHECK_NE(state_, STATE_NOT_STARTED);
  // The idle count is one atomic: reading it without the mutex sees the same transitions.
  ApplicationThreadAwait([this]() ABSL_NO_THREAD_SAFETY_ANALYSIS { return IsIdle(); },
                         ConditionLocking::kLockFree);
  return absl::OkStatus();
}

absl::Status Scheduler::WaitUntilDone() {
  RET_CHECK_NE(state_, STATE_NOT_STARTED);
  ApplicationThreadAwait([this] { return state_ == STATE_TERMINATED; },
                         ConditionLocking::kLockFree);
  return absl::OkStatus();
}

void Scheduler::EmittedObservedOutput() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  observed_output_signal_ = true;
  if (waiting_for_observed_output_) NotifyStateChanged();
}

absl::Status Scheduler::WaitForObservedOutput() {
  bool observed = false;
  ApplicationThreadAwait([this, &observed]() ABSL_NO_THREAD_SAFETY_ANALYSIS {
    observed = std::exchange(observed_output_signal_, false);
    waiting_for_observed_output_ = !observed && state_ != STATE_TERMINATED;
    return !waiting_for_observed_output_;
  }, ConditionLocking::kNeedsLock);
  return observed ? absl::OkStatus() : absl::OutOfRangeError("Graph is done.");
}

void Scheduler::Pause() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (state_ != STATE_RUNNING) return;
  state_ = STATE_PAUSED;
  SetQueuesRunning(false);
}

void Scheduler::Resume() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (state_ != STATE_PAUSED) return;
    state_ = STATE_RUNNING;
    SetQueuesRunning(true);
    HandleIdle();
  }
  SubmitWaitingTasksOnQueues();
}

void Scheduler::Cancel() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (state_ != STATE_RUNNING && state_ != STATE_PAUSED) return;
    graph_->RecordError(absl::CancelledError(""));
    if (state_ == STATE_PAUSED) SetQueuesRunning(true);
    state_ = STATE_CANCELLING;
    HandleIdle();
  }
  SubmitWaitingTasksOnQueues();
}

bool Scheduler::IsPaused() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return state_ == STATE_PAUSED;
}

bool Scheduler::IsTerminated() { return state_ == STATE_TERMINATED; }

void Scheduler::CleanupAfterRun() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    while (!sources_queue_.empty()) sources_queue_.pop();
    CHECK(app_thread_tasks_.empty());
  }
  for (SchedulerQueue* queue : scheduler_queues_) queue->CleanupAfterRun();
  unopened_sources_.clear();
  active_sources_.clear();
  shared_.has_error = false;
}

SchedulerTimes Scheduler::GetSchedulerTimes() {
  CHECK_EQ(state_, STATE_TERMINATED);
  return shared_.timer.GetSchedulerTimes();
}

}  // namespace internal
}  // namespace kaldren
