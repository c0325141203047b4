#include "graph/scheduler_queue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/time/clock.h"
#include "gmock/gmock.h"
#include "graph/calculator_node.h"
#include "graph/scheduler_test_node.h"
#include "graph/thread_pool_executor.h"
#include "graph_config/status_util.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace internal {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using testing::EventLog;
using testing::FakeNode;

CalculatorContext* const kContext = testing::FakeContext();

// Keeps every AddTask request until the test runs it.
class ManualExecutor : public Executor {
 public:
  explicit ManualExecutor(EventLog* log) : log_(log) {}
  void Schedule(std::function<void()> task) override {
    log_->Add("executor task");
    tasks_.push_back(std::move(task));
  }
  void RunNext() {
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    task();
  }
  void RunAll() {
    while (!tasks_.empty()) RunNext();
  }
  size_t size() const { return tasks_.size(); }

 private:
  EventLog* log_;
  std::deque<std::function<void()>> tasks_;
};

class SchedulerQueueTest : public ::testing::Test {
 protected:
  SchedulerQueueTest() : executor_(&log_), queue_(&shared_) {
    shared_.error_callback = [this](const absl::Status& status) {
      log_.Add(absl::StrCat("error ", status.message()));
    };
    queue_.SetExecutor(&executor_);
    queue_.SetIdleCallback([this](bool idle) { log_.Add(idle ? "idle" : "busy"); });
  }

  FakeNode* MakeNode(int id, bool is_source = false, int layer = 0, int64_t order = 0) {
    nodes_.push_back(std::make_unique<FakeNode>(&log_, id, is_source, layer, order));
    return nodes_.back().get();
  }

  // The calls that ran the nodes, without the bookkeeping around them.
  std::vector<std::string> NodeCalls() {
    std::vector<std::string> calls;
    for (std::string& event : log_.Take()) {
      if (event.rfind("open ", 0) == 0 || event.rfind("process ", 0) == 0 ||
          event.rfind("close ", 0) == 0) {
        calls.push_back(std::move(event));
      }
    }
    return calls;
  }

  EventLog log_;
  SchedulerShared shared_;
  ManualExecutor executor_;
  SchedulerQueue queue_;
  std::vector<std::unique_ptr<FakeNode>> nodes_;
};

struct OrderCase {
  const char* name;
  // Tasks queued before the queue runs: {id, is source, layer, source order, is open}.
  struct Task {
    int id;
    bool is_source;
    int layer;
    int64_t order;
    bool open;
  };
  std::vector<Task> tasks;
  std::vector<std::string> expected;
};

TEST_F(SchedulerQueueTest, RunsQueuedTasksInPriorityOrder) {
  const std::vector<OrderCase> cases = {
      {"open tasks first, then non-sources with the higher id first",
       {{2, false, 0, 0, false}, {5, false, 0, 0, true}, {7, false, 0, 0, false}},
       {"open 5", "process 7", "process 2"}},
      {"open tasks by lower id",
       {{3, false, 0, 0, true}, {1, false, 0, 0, true}},
       {"open 1", "open 3"}},
      {"non-sources before sources",
       {{9, true, 0, 0, false}, {1, false, 0, 0, false}},
       {"process 1", "process 9"}},
      {"lower layer first regardless of id and order",
       {{1, true, 1, 0, false}, {8, true, 0, 50, false}},
       {"process 8", "process 1"}},
      {"in one layer the earlier source order first",
       {{1, true, 0, 20, false}, {2, true, 0, 10, false}},
       {"process 2", "process 1"}},
      {"equal orders: lower id first",
       {{6, true, 0, 10, false}, {4, true, 0, 10, false}},
       {"process 4", "process 6"}},
      {"opening a source comes before running any node",
       {{1, false, 0, 0, false}, {3, true, 2, 5, true}},
       {"open 3", "process 1"}},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    queue_.Reset();
    for (const OrderCase::Task& t : c.tasks) {
      FakeNode* node = MakeNode(t.id, t.is_source, t.layer, t.order);
      if (t.open) {
        queue_.AddNodeForOpen(node);
      } else {
        queue_.AddNode(node, kContext);
      }
    }
    EXPECT_EQ(executor_.size(), 0u) << "nothing reaches the executor before the queue runs";
    queue_.SetRunning(true);
    queue_.SubmitWaitingTasksToExecutor();
    EXPECT_EQ(executor_.size(), c.tasks.size());
    executor_.RunAll();
    EXPECT_EQ(NodeCalls(), c.expected);
  }
}

TEST_F(SchedulerQueueTest, ReportsBusyBeforeTheExecutorSeesTheTaskAndIdleAfterTheLast) {
  FakeNode* a = MakeNode(1);
  FakeNode* b = MakeNode(2);
  queue_.SetRunning(true);
  queue_.AddNode(a, kContext);
  queue_.AddNode(b, kContext);
  EXPECT_THAT(log_.Take(), ElementsAre("busy", "executor task", "executor task"));
  executor_.RunAll();
  EXPECT_THAT(log_.Take(), ElementsAre("process 2", "end 2", "process 1", "end 1", "idle"));
}

TEST_F(SchedulerQueueTest, WaitingTasksAreHandedOverTogetherOnceRunning) {
  queue_.AddNodeForOpen(MakeNode(1));
  queue_.AddNodeForOpen(MakeNode(2));
  EXPECT_THAT(log_.Take(), ElementsAre("busy"));
  queue_.SubmitWaitingTasksToExecutor();  // not running: nothing moves
  EXPECT_EQ(executor_.size(), 0u);

  queue_.SetRunning(true);
  queue_.SetRunning(true);
  queue_.SetRunning(false);  // the count is still 1
  queue_.AddNodeForOpen(MakeNode(3));  // hands over the two waiting tasks as well
  EXPECT_EQ(executor_.size(), 3u);
  executor_.RunAll();
  EXPECT_THAT(NodeCalls(), ElementsAre("open 1", "open 2", "open 3"));
}

// With a continuation gate, the node that a task makes ready runs next on the same thread
// when the gate allows, in the order the heap would have given, without a run asked of the
// executor; otherwise it is queued as usual.
class SchedulerQueueContinuationTest : public SchedulerQueueTest {
 protected:
  SchedulerQueueContinuationTest() {
    queue_.SetContinuationGate(
        [](void* allow) { return *static_cast<bool*>(allow); }, &allow_continuation_);
  }

  // When `from` ends its invocation, `to` becomes ready.
  void Feed(FakeNode* from, FakeNode* to) {
    from->on_end_scheduling_ = [this, to](FakeNode*) { queue_.AddNode(to, kContext); };
  }

  bool allow_continuation_ = true;
};

TEST_F(SchedulerQueueContinuationTest, ChainRunsInOneExecutorTaskInHeapOrder) {
  // 5 feeds 3 while 4 waits in the heap: 4 outranks 3 and goes first, 3 takes its place.
  // 3 feeds 6, which outranks 2 (waiting since the start) and runs at once.
  FakeNode* n2 = MakeNode(2);
  FakeNode* n3 = MakeNode(3);
  FakeNode* n4 = MakeNode(4);
  FakeNode* n5 = MakeNode(5);
  FakeNode* n6 = MakeNode(6);
  Feed(n5, n3);
  Feed(n3, n6);
  queue_.SetRunning(true);
  queue_.AddNode(n5, kContext);
  queue_.AddNode(n4, kContext);
  queue_.AddNode(n2, kContext);
  EXPECT_THAT(log_.Take(), ElementsAre("busy", "executor task", "executor task", "executor task"));
  executor_.RunAll();
  EXPECT_THAT(log_.Take(),
              ElementsAre("process 5", "end 5", "process 4", "end 4", "process 3", "end 3",
                          "process 6", "end 6", "process 2", "end 2", "idle"));
  EXPECT_EQ(executor_.size(), 0u);
}

TEST_F(SchedulerQueueContinuationTest, ClosedGateOrStoppedQueueQueuesTheNodeAsUsual) {
  FakeNode* n1 = MakeNode(1);
  FakeNode* n2 = MakeNode(2);
  Feed(n1, n2);
  queue_.SetRunning(true);

  allow_continuation_ = false;
  queue_.AddNode(n1, kContext);
  executor_.RunAll();
  EXPECT_THAT(log_.Take(), ElementsAre("busy", "executor task", "process 1", "end 1",
                                       "executor task", "process 2", "end 2", "idle"));

  // Stopped while its task runs: the node waits until the queue runs again, and the queue
  // stays busy meanwhile.
  allow_continuation_ = true;
  n1->on_end_scheduling_ = [this, n2](FakeNode*) {
    queue_.SetRunning(false);
    queue_.AddNode(n2, kContext);
  };
  queue_.AddNode(n1, kContext);
  executor_.RunAll();
  EXPECT_THAT(log_.Take(), ElementsAre("busy", "executor task", "process 1", "end 1"));
  queue_.SetRunning(true);
  queue_.SubmitWaitingTasksToExecutor();
  executor_.RunAll();
  EXPECT_THAT(log_.Take(), ElementsAre("executor task", "process 2", "end 2", "idle"));
}

TEST_F(SchedulerQueueContinuationTest, TimerCountsEveryCallOfAChainAndNothingBetweenTasks) {
  // Three nodes of 2 ms each run as one chain; the gate then sends a fourth through the
  // heap, and the time the thread spends away from the queue before running it is no
  // calculator time.
  FakeNode* n1 = MakeNode(1);
  FakeNode* n2 = MakeNode(2);
  FakeNode* n3 = MakeNode(3);
  FakeNode* n4 = MakeNode(4);
  for (FakeNode* node : {n1, n2, n3, n4}) node->sleep_in_calls_ = absl::Milliseconds(2);
  Feed(n1, n2);
  Feed(n2, n3);
  n3->on_end_scheduling_ = [this, n4](FakeNode*) {
    allow_continuation_ = false;
    queue_.AddNode(n4, kContext);
  };
  shared_.timer.StartRun();
  queue_.SetRunning(true);
  queue_.AddNode(n1, kContext);
  executor_.RunNext();
  absl::SleepFor(absl::Milliseconds(30));
  executor_.RunAll();
  shared_.timer.EndRun();
  const SchedulerTimes times = shared_.timer.GetSchedulerTimes();
  EXPECT_GE(times.total_run_time, 8000);
  EXPECT_LT(times.total_run_time, 30000);
  EXPECT_GE(times.total_time, times.total_run_time + 30000);
}

TEST_F(SchedulerQueueTest, OpenFailureGoesToTheErrorCallbackAndSkipsNodeOpened) {
  FakeNode* ok = MakeNode(1);
  FakeNode* failing = MakeNode(2);
  failing->open_result_ = absl::InternalError("open failed");
  queue_.SetRunning(true);
  queue_.AddNodeForOpen(failing);
  queue_.AddNodeForOpen(ok);
  executor_.RunAll();
  EXPECT_THAT(log_.Take(), ElementsAre("busy", "executor task", "executor task", "open 1",
                                       "opened 1", "open 2", "error open failed", "idle"));
}

TEST_F(SchedulerQueueTest, ProcessFailureIsReportedAndSchedulingStillEnds) {
  FakeNode* node = MakeNode(4);
  node->process_result_ = absl::UnknownError("bad input");
  queue_.SetRunning(true);
  queue_.AddNode(node, kContext);
  executor_.RunAll();
  EXPECT_THAT(log_.Take(), ElementsAre("busy", "executor task", "process 4",
                                       "error bad input", "end 4", "idle"));
  EXPECT_FALSE(shared_.stopping);
  EXPECT_EQ(node->in_flight_, 0);
}

TEST_F(SchedulerQueueTest, StopStatusOfANonSourceClosesSourcesInsteadOfRunningThem) {
  FakeNode* sink = MakeNode(5);
  sink->process_result_ = tool::StatusStop();
  FakeNode* source = MakeNode(1, /*is_source=*/true);
  queue_.SetRunning(true);
  queue_.AddNode(sink, kContext);
  executor_.RunAll();
  EXPECT_TRUE(shared_.stopping);
  EXPECT_THAT(NodeCalls(), ElementsAre("process 5")) << "the stop status is no error";

  queue_.AddNode(source, kContext);
  executor_.RunAll();
  EXPECT_THAT(NodeCalls(), ElementsAre("close 1 ok running"));
  EXPECT_EQ(source->processed_, 0);
  EXPECT_EQ(source->in_flight_, 0) << "scheduling ends after the close";

  // Non-sources still run while sources are being stopped.
  FakeNode* other = MakeNode(6);
  queue_.AddNode(other, kContext);
  executor_.RunAll();
  EXPECT_THAT(NodeCalls(), ElementsAre("process 6"));
}

TEST_F(SchedulerQueueTest, CloseFailureWhileStoppingIsReported) {
  shared_.stopping = true;
  FakeNode* source = MakeNode(1, /*is_source=*/true);
  source->close_result_ = absl::InternalError("close failed");
  queue_.SetRunning(true);
  queue_.AddNode(source, kContext);
  executor_.RunAll();
  EXPECT_THAT(log_.Take(), ElementsAre("busy", "executor task", "close 1 ok running",
                                       "error close failed", "end 1", "idle"));
}

TEST_F(SchedulerQueueTest, NothingIsQueuedOnceTheRunHasAnError) {
  shared_.has_error = true;
  queue_.SetRunning(true);
  queue_.AddNode(MakeNode(1), kContext);
  queue_.AddNodeForOpen(MakeNode(2));
  EXPECT_THAT(log_.Take(), IsEmpty());
  EXPECT_EQ(nodes_[0]->in_flight_, 0) << "no slot is taken for a dropped invocation";
}

TEST_F(SchedulerQueueTest, RefusedSourceIsNotQueued) {
  FakeNode* source = MakeNode(1, /*is_source=*/true);
  source->max_in_flight_ = 0;
  queue_.SetRunning(true);
  queue_.AddNode(source, kContext);
  EXPECT_THAT(log_.Take(), IsEmpty());
}

TEST_F(SchedulerQueueTest, CleanupDropsWaitingItemsAndReportsIdle) {
  queue_.AddNodeForOpen(MakeNode(1));
  queue_.AddNode(MakeNode(2), kContext);
  queue_.CleanupAfterRun();
  EXPECT_THAT(log_.Take(), ElementsAre("busy", "idle"));
  // An idle queue stays quiet.
  queue_.CleanupAfterRun();
  EXPECT_THAT(log_.Take(), IsEmpty());
  // The queue is empty: the next run starts from nothing.
  queue_.SetRunning(true);
  queue_.SubmitWaitingTasksToExecutor();
  EXPECT_EQ(executor_.size(), 0u);
}

TEST_F(SchedulerQueueTest, TimerSumsTheTimeSpentInNodeCalls) {
  FakeNode* node = MakeNode(1);
  node->sleep_in_calls_ = absl::Milliseconds(2);
  shared_.timer.StartRun();
  queue_.SetRunning(true);
  queue_.AddNodeForOpen(node);
  queue_.AddNode(node, kContext);
  executor_.RunAll();
  shared_.timer.EndRun();
  const SchedulerTimes times = shared_.timer.GetSchedulerTimes();
  EXPECT_GE(times.total_run_time, 4000);
  EXPECT_GE(times.total_time, times.total_run_time);
}

TEST(DelegatingExecutorTest, HandsEveryTaskToItsFunction) {
  std::vector<std::function<void()>> handed;
  DelegatingExecutor executor(
      [&handed](std::function<void()> task) { handed.push_back(std::move(task)); });
  int runs = 0;
  executor.Schedule([&runs] { ++runs; });
  executor.Schedule([&runs] { runs += 10; });
  EXPECT_EQ(runs, 0);
  ASSERT_EQ(handed.size(), 2u);
  for (auto& task : handed) task();
  EXPECT_EQ(runs, 11);
}

// Many threads add tasks while pool workers run them: every task runs once, and every report
// of going busy is matched by one of going idle. (The two reports of one transition may
// arrive in either order: they are made after the queue's lock is released.)
TEST(SchedulerQueueThreadsTest, ConcurrentAddsAndRunsKeepTheCountsRight) {
  EventLog log;
  SchedulerShared shared;
  shared.error_callback = [](const absl::Status&) { ADD_FAILURE() << "no error expected"; };
  constexpr int kNodes = 8;
  constexpr int kTasksPerNode = 200;
  std::vector<std::unique_ptr<FakeNode>> nodes;
  for (int i = 0; i < kNodes; ++i) {
    nodes.push_back(std::make_unique<FakeNode>(&log, i));
    nodes.back()->max_in_flight_ = kTasksPerNode;
  }
  std::mutex mutex;
  std::condition_variable cv;
  int busy_reports = 0;
  int idle_reports = 0;
  {
    SchedulerQueue queue(&shared);
    ThreadPoolExecutor executor(4);  // joins its workers before the queue goes
    queue.SetExecutor(&executor);
    queue.SetIdleCallback([&](bool idle) {
      std::lock_guard<std::mutex> lock(mutex);
      ++(idle ? idle_reports : busy_reports);
      cv.notify_all();
    });
    queue.SetRunning(true);
    std::vector<std::thread> adders;
    for (int i = 0; i < kNodes; ++i) {
      adders.emplace_back([&queue, node = nodes[i].get()] {
        for (int t = 0; t < kTasksPerNode; ++t) queue.AddNode(node, kContext);
      });
    }
    for (std::thread& t : adders) t.join();
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] {
      int processed = 0;
      for (const auto& node : nodes) processed += node->processed_;
      return processed == kNodes * kTasksPerNode && busy_reports == idle_reports;
    });
  }
  EXPECT_GE(busy_reports, 1);
  for (const auto& node : nodes) {
    EXPECT_EQ(node->processed_, kTasksPerNode);
    EXPECT_EQ(node->in_flight_, 0);
  }
}

using SchedulerQueueDeathTest = SchedulerQueueTest;

TEST_F(SchedulerQueueDeathTest, BrokenInvariantsEndTheProcess) {
  EXPECT_DEATH(queue_.RunNextTask(),
               "Check failed: !queue_.empty\\(\\) Called RunNextTask when the queue is "
               "empty. This should not happen.");
  EXPECT_DEATH(SchedulerQueue::Item(nullptr), "Check failed: node");
  EXPECT_DEATH(SchedulerQueue::Item(MakeNode(1), nullptr), "Check failed: cc");

  FakeNode* busy = MakeNode(2);
  busy->max_in_flight_ = 0;
  EXPECT_DEATH(queue_.AddNode(busy, kContext), "Check failed: node->IsSource\\(\\) \\[node 2\\]");

  FakeNode* closed = MakeNode(3);
  queue_.AddNodeForOpen(closed);
  closed->closed_ = true;
  EXPECT_DEATH(queue_.RunNextTask(),
               "Check failed: !node->Closed\\(\\) Scheduled a node that was closed. This "
               "should not happen.");
}

TEST_F(SchedulerQueueDeathTest, SourceReturningTheStopStatusIsFatal) {
  FakeNode* source = MakeNode(1, /*is_source=*/true);
  source->process_result_ = tool::StatusStop();
  queue_.SetRunning(true);
  queue_.AddNode(source, kContext);
  EXPECT_DEATH(executor_.RunAll(), "Check failed: !node->IsSource\\(\\)");
}

TEST_F(SchedulerQueueDeathTest, CleanupWithUnfinishedTasksIsFatal) {
  queue_.SetRunning(true);
  queue_.AddNodeForOpen(MakeNode(1));  // handed over, never run
  EXPECT_DEATH(queue_.CleanupAfterRun(), "Check failed: num_pending_tasks_ == 0 \\(1 vs. 0\\)");
  queue_.Reset();
  EXPECT_DEATH(queue_.CleanupAfterRun(),
               "Check failed: num_tasks_to_add_ == queue_.size\\(\\) \\(0 vs. 1\\)");
}

}  // namespace
}  // namespace internal
}  // namespace kaldren
