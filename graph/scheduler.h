// The scheduler of one graph: run states, source layers, idleness and the waits.
//
// The scheduler owns one `SchedulerQueue` per executor. It keeps the state of the current
// run, activates source nodes one source layer at a time, notices when every queue has gone
// idle and then decides whether to activate the next layer, relieve throttling, wait for
// more graph input or end the run. With the application-thread executor it runs the queued
// tasks on the thread of a caller that waits in the graph.
//
// Locks: the graph's throttling mutex comes before `state_mutex_`, which comes before a
// queue's mutex and the graph's error recording. `state_mutex_` is never held while a
// calculator runs, while sources are unthrottled, while tasks are handed to executors or
// while an application-thread task runs.

#ifndef QUILLMERE_GRAPH_SCHEDULER_H_
#define QUILLMERE_GRAPH_SCHEDULER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/status.h"
#include "graph/executor.h"
#include "graph/ring_deque.h"
#include "graph/scheduler_queue.h"
#include "graph/scheduler_shared.h"

namespace kaldren {

class CalculatorContext;
class CalculatorNode;

namespace internal {

// What the scheduler needs of its graph; CalculatorGraph provides these operations.
class SchedulerGraph {
 public:
  virtual ~SchedulerGraph() = default;

  // Records an error of the run; the graph also calls `Scheduler::SetHasError(true)`.
  virtual void RecordError(const absl::Status& error) = 0;
  // Relieves throttling while every calculator is idle; false when it could relieve nothing
  // (the full queues are drained only by their readers, say). Takes the graph's throttling
  // mutex.
  virtual bool UnthrottleSources() = 0;
  // Whether the node's invocations must wait for full downstream queues to drain. Takes the
  // graph's throttling mutex.
  virtual bool IsNodeThrottled(int node_id) = 0;
  // Every graph input stream is closed (also true without graph input streams).
  virtual bool GraphInputStreamsClosed() const = 0;
};

class Scheduler {
 public:
  // `graph` outlives the scheduler.
  explicit Scheduler(SchedulerGraph* graph);
  // Cancels a started run and waits until it has terminated.
  ~Scheduler();

  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // The executor of the default queue. Only before the run starts.
  void SetExecutor(Executor* executor);
  // Creates the queue of the executor `name`. Only before the run starts, once per name.
  absl::Status SetNonDefaultExecutor(const std::string& name, Executor* executor);
  // Gives the node the queue of its executor, which must exist.
  void AssignNodeToSchedulerQueue(CalculatorNode* node);

  // Back to the state before a run; per-run flags and counters cleared.
  void Reset();
  // Before the run starts: `node` is a source that has not been opened yet.
  void AddUnopenedSourceNode(CalculatorNode* node);
  // Queues the opening of `node`.
  void ScheduleNodeForOpen(CalculatorNode* node);
  // An opened source waits in the sources queue until its layer is activated.
  void AddNodeToSourcesQueue(CalculatorNode* node);
  // Queues one invocation of `node` unless the graph throttles it.
  void ScheduleNodeIfNotThrottled(CalculatorNode* node, CalculatorContext* cc);
  // Queues one invocation of each source of `nodes`, which are no longer throttled.
  void ScheduleUnthrottledReadyNodes(const std::vector<CalculatorNode*>& nodes);

  // Starts the run: queued opens go to the executors.
  void Start();

  // The idle callback of every queue.
  void QueueIdleStateChanged(bool idle);

  // Graph input stream events. A caller that pushes a packet or a close into the graph
  // announces it first with `GraphInputDeliveryStarted`; the delivery ends with
  // `AddedPacketToGraphInputStream` (after a packet) or `GraphInputDeliveryFinished` (after a
  // close). While a delivery is under way an idle graph is not taken for deadlocked: the
  // delivery may still reach the nodes that drain the full queues, and the queues it drains
  // report themselves no longer full only on the delivering thread. Its end examines the
  // idle graph again.
  void GraphInputDeliveryStarted();
  void AddedPacketToGraphInputStream();
  void GraphInputDeliveryFinished();
  void ClosedAllGraphInputStreams();
  // From now on scheduled sources are closed instead of run.
  void CloseAllSourceNodes();
  void ThrottledGraphInputStream();
  void UnthrottledGraphInputStream();
  // Called with `mutex` (the graph's throttling mutex) held: releases it, waits until a
  // graph input stream is unthrottled or the run has terminated, and takes it again. Runs
  // application-thread tasks meanwhile.
  void WaitUntilGraphInputStreamUnthrottled(std::mutex* mutex);

  // A task of the application-thread executor; it runs on a thread that waits in the graph.
  void AddApplicationThreadTask(std::function<void()> task);
  // The same for a request to run the next task of `task_queue`, which outlives the run.
  void AddApplicationThreadTask(TaskQueue* task_queue);

  // Wait until no queue has a queued or running task.
  absl::Status WaitUntilIdle();
  // Wait until the run has terminated.
  absl::Status WaitUntilDone();
  void EmittedObservedOutput();
  // OK once an observed output was emitted; OUT_OF_RANGE "Graph is done." when the run ended
  // without one.
  absl::Status WaitForObservedOutput();

  void Pause();
  void Resume();
  // Records CANCELLED on the graph and lets the run drain and end.
  void Cancel();

  bool IsPaused();
  bool IsTerminated();

  // The run has an error (set by the graph when it records one): queues accept no new
  // tasks, and the run ends when all are idle.
  void SetHasError(bool has_error) { shared_.has_error = has_error; }

  // After a run: drops what is left of it.
  void CleanupAfterRun();

  // Timing of the last run; only after it has terminated.
  SchedulerTimes GetSchedulerTimes();

 private:
  // Lets tests time their calls to the moment a waiting caller falls asleep.
  friend class SchedulerTestPeer;

  enum State {
    STATE_NOT_STARTED = 0,
    STATE_RUNNING = 1,
    STATE_PAUSED = 2,
    STATE_CANCELLING = 3,
    STATE_TERMINATED = 4,
  };

  // Unopened sources by lower source layer, then lower node id.
  struct SourceLayerCompare {
    bool operator()(const CalculatorNode* a, const CalculatorNode* b) const;
  };

  bool IsIdle() ABSL_EXCLUSIVE_LOCKS_REQUIRED(state_mutex_) { return non_idle_queue_count_ == 0; }
  void SetQueuesRunning(bool running);
  void SubmitWaitingTasksOnQueues();
  void HandleIdle() ABSL_EXCLUSIVE_LOCKS_REQUIRED(state_mutex_);
  bool TryToScheduleNextSourceLayer() ABSL_EXCLUSIVE_LOCKS_REQUIRED(state_mutex_);
  void CleanupActiveSources() ABSL_EXCLUSIVE_LOCKS_REQUIRED(state_mutex_);
  void Quit() ABSL_EXCLUSIVE_LOCKS_REQUIRED(state_mutex_);
  // Raises `state_changes_` and wakes every waiting caller. With `state_mutex_` held.
  void NotifyStateChanged() ABSL_EXCLUSIVE_LOCKS_REQUIRED(state_mutex_);
  // The same without `state_mutex_` held: takes it only when a caller sleeps.
  void NotifyStateChangedUnlocked();
  // Whether a wait's condition reads only atomics, so that it may also be evaluated without
  // `state_mutex_`.
  enum class ConditionLocking { kNeedsLock, kLockFree };
  // Runs application-thread tasks on this thread until `condition` is true. The condition is
  // evaluated with `state_mutex_` held; a lock-free one is also looked at without the mutex
  // between the tasks this thread queued itself.
  template <typename Condition>
  void ApplicationThreadAwait(const Condition& condition, ConditionLocking locking);
  // The default queue's continuation gate with the application-thread executor: whether the
  // calling thread may run the task that its last task made ready next, directly.
  static bool MayRunNextTaskDirectly(void* scheduler);

  SchedulerGraph* const graph_;
  SchedulerShared shared_;
  SchedulerQueue default_queue_;
  std::map<std::string, std::unique_ptr<SchedulerQueue>> non_default_queues_;
  // The default queue first, then the others in the order their executors were set.
  std::vector<SchedulerQueue*> scheduler_queues_;

  // Opened sources not yet activated, lowest layer, source order and id on top.
  std::priority_queue<SchedulerQueue::Item> sources_queue_ ABSL_GUARDED_BY(state_mutex_);
  std::set<CalculatorNode*, SourceLayerCompare> unopened_sources_;
  // The sources of the layer activated last; the next layer waits until it is empty.
  std::vector<CalculatorNode*> active_sources_;

  std::condition_variable state_cond_var_;
  // Raised with `state_mutex_` held at every notification of `state_cond_var_`, so that a
  // waiting caller can watch for a change without the mutex before it sleeps.
  std::atomic<uint64_t> state_changes_{0};
  // Callers asleep on `state_cond_var_`; raised with `state_mutex_` held before the last look
  // at `state_changes_`.
  std::atomic<int> state_sleepers_{0};
  // Written with `state_mutex_` held; the end of a graph input delivery reads it without.
  std::atomic<int> non_idle_queue_count_{0};
  // Each task is a request to run the next task of a queue; a function is queued as a task
  // queue of its own, which frees itself when it has run.
  RingDeque<TaskQueue*> app_thread_tasks_ ABSL_GUARDED_BY(state_mutex_);
  // The size of `app_thread_tasks_`, written with `state_mutex_` held: a waiting caller that
  // runs the tasks it queued itself looks here, without the mutex, for tasks that go first.
  std::atomic<size_t> num_app_thread_tasks_{0};
  bool handling_idle_ ABSL_GUARDED_BY(state_mutex_) = false;
  // A standard mutex, so that thread sanitizer builds see the locking.
  std::mutex state_mutex_;
  // Written with `state_mutex_` held; also read without it.
  std::atomic<State> state_{STATE_NOT_STARTED};
  bool graph_input_streams_closed_ ABSL_GUARDED_BY(state_mutex_) = false;
  // Changed without `state_mutex_` by the threads that fill and drain graph input streams;
  // an unthrottling is announced through `NotifyStateChangedUnlocked`.
  std::atomic<int> throttled_graph_input_stream_count_{0};
  std::atomic<int> unthrottle_seq_num_{0};
  // Graph input deliveries under way; lowered with `state_mutex_` held.
  std::atomic<int> graph_input_deliveries_{0};
  bool observed_output_signal_ ABSL_GUARDED_BY(state_mutex_) = false;
  bool waiting_for_observed_output_ ABSL_GUARDED_BY(state_mutex_) = false;
};

// The executor that runs a graph's tasks on the threads that wait in the graph. A queue's
// request to run its next task is kept as the queue's pointer; nothing is wrapped or
// allocated per task.
class ApplicationThreadExecutor : public Executor {
 public:
  // `scheduler` outlives the executor's tasks.
  explicit ApplicationThreadExecutor(Scheduler* scheduler) : scheduler_(scheduler) {}
  ~ApplicationThreadExecutor() override = default;

  void AddTask(TaskQueue* task_queue) override {
    scheduler_->AddApplicationThreadTask(task_queue);
  }
  void Schedule(std::function<void()> task) override {
    scheduler_->AddApplicationThreadTask(std::move(task));
  }

 private:
  Scheduler* const scheduler_;
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_SCHEDULER_H_
