#include "graph/scheduler.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "graph/scheduler_lock.h"
#include "graph/scheduler_test_node.h"
#include "graph/thread_pool_executor.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace internal {

class SchedulerTestPeer {
 public:
  // Callers that have counted themselves asleep on the state condition.
  static int Sleepers(const Scheduler& scheduler) { return scheduler.state_sleepers_.load(); }
};

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::EventLog;
using testing::FakeNode;

// The graph as the scheduler sees it.
class FakeGraph : public SchedulerGraph {
 public:
  void RecordError(const absl::Status& error) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      errors_.push_back(error);
    }
    scheduler_->SetHasError(true);
  }
  bool UnthrottleSources() override {
    ++unthrottle_calls_;
    if (on_unthrottle_) on_unthrottle_();
    return unthrottle_relieves_;
  }
  bool IsNodeThrottled(int node_id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return throttled_.count(node_id) > 0;
  }
  bool GraphInputStreamsClosed() const override { return graph_input_streams_closed_; }

  std::vector<absl::Status> errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  void SetThrottled(int node_id, bool throttled) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (throttled) {
      throttled_.insert(node_id);
    } else {
      throttled_.erase(node_id);
    }
  }

  Scheduler* scheduler_ = nullptr;
  std::atomic<bool> graph_input_streams_closed_{true};
  std::atomic<int> unthrottle_calls_{0};
  std::atomic<bool> unthrottle_relieves_{true};
  std::function<void()> on_unthrottle_;

 private:
  std::mutex mutex_;
  std::vector<absl::Status> errors_;
  std::set<int> throttled_;
};

// The graph's default executor is the application thread: tasks run only inside the waits,
// on the test's thread, in arrival order, so runs are deterministic.
class SchedulerTest : public ::testing::Test {
 protected:
  SchedulerTest()
      : app_thread_executor_([this](std::function<void()> task) {
          ++app_thread_tasks_added_;
          scheduler_->AddApplicationThreadTask(std::move(task));
        }) {
    scheduler_ = std::make_unique<Scheduler>(&graph_);
    graph_.scheduler_ = scheduler_.get();
    scheduler_->SetExecutor(&app_thread_executor_);
  }

  // A node that, like a real one, reports itself as an opened source and asks for its next
  // invocation while its layer is active.
  FakeNode* MakeNode(int id, bool is_source = false, int layer = 0) {
    nodes_.push_back(std::make_unique<FakeNode>(&log_, id, is_source, layer));
    FakeNode* node = nodes_.back().get();
    if (is_source) {
      node->on_opened_ = [this](FakeNode* n) { scheduler_->AddNodeToSourcesQueue(n); };
      node->on_end_scheduling_ = [this](FakeNode* n) {
        if (n->active_ && !n->Closed()) {
          scheduler_->ScheduleNodeIfNotThrottled(n, n->DefaultContext());
        }
      };
    }
    return node;
  }

  // Prepares a run as the graph does; `to_open` are the nodes ready to be opened.
  void PrepareRun(const std::vector<FakeNode*>& to_open) {
    scheduler_->Reset();
    for (const auto& node : nodes_) {
      scheduler_->AssignNodeToSchedulerQueue(node.get());
      if (node->IsSource()) scheduler_->AddUnopenedSourceNode(node.get());
    }
    for (FakeNode* node : to_open) scheduler_->ScheduleNodeForOpen(node);
  }

  // The log without the bookkeeping lines.
  std::vector<std::string> Calls() {
    std::vector<std::string> calls;
    for (std::string& event : log_.Take()) {
      if (event.rfind("opened ", 0) == 0 || event.rfind("end ", 0) == 0) continue;
      calls.push_back(std::move(event));
    }
    return calls;
  }

  EventLog log_;
  FakeGraph graph_;
  DelegatingExecutor app_thread_executor_;
  std::atomic<int> app_thread_tasks_added_{0};
  std::vector<std::unique_ptr<FakeNode>> nodes_;
  std::unique_ptr<Scheduler> scheduler_;  // goes before the nodes and the graph
};

TEST_F(SchedulerTest, RunWithoutSourcesOrGraphInputEndsWhenTheLastTaskFinishes) {
  FakeNode* a = MakeNode(0);
  FakeNode* b = MakeNode(1);
  PrepareRun({a, b});
  scheduler_->Start();
  EXPECT_THAT(log_.Take(), IsEmpty()) << "application-thread tasks wait for a waiting caller";
  EXPECT_FALSE(scheduler_->IsTerminated());
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 0", "open 1"));
  EXPECT_TRUE(scheduler_->IsTerminated());
  EXPECT_THAT(graph_.errors(), IsEmpty());
  const SchedulerTimes times = scheduler_->GetSchedulerTimes();
  EXPECT_GE(times.total_time, times.total_run_time);
  scheduler_->CleanupAfterRun();
}

TEST_F(SchedulerTest, OpenGraphInputKeepsAnIdleRunAliveUntilClosed) {
  graph_.graph_input_streams_closed_ = false;
  FakeNode* a = MakeNode(0);
  PrepareRun({a});
  scheduler_->Start();
  ASSERT_TRUE(scheduler_->WaitUntilIdle().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 0"));
  scheduler_->AddedPacketToGraphInputStream();
  EXPECT_FALSE(scheduler_->IsTerminated());

  scheduler_->ClosedAllGraphInputStreams();
  EXPECT_TRUE(scheduler_->IsTerminated()) << "idle with all input closed: ends at once";
  scheduler_->AddedPacketToGraphInputStream();  // after the end: no effect
  EXPECT_TRUE(scheduler_->IsTerminated());
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
  EXPECT_THAT(graph_.errors(), IsEmpty());
}

TEST_F(SchedulerTest, SourceLayersRunOneAfterAnotherLowestFirst) {
  FakeNode* late = MakeNode(1, /*is_source=*/true, /*layer=*/1);
  FakeNode* early = MakeNode(2, /*is_source=*/true, /*layer=*/0);
  FakeNode* early_too = MakeNode(3, /*is_source=*/true, /*layer=*/0);
  late->close_after_processes_ = 2;
  early->close_after_processes_ = 2;
  early_too->close_after_processes_ = 1;
  PrepareRun({late, early, early_too});
  scheduler_->Start();
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 1", "open 2", "open 3",
                                   // the whole layer 0 is activated before any runs
                                   "activate 2", "activate 3", "process 2", "process 2",
                                   "process 3",
                                   // layer 1 once every source of layer 0 is closed
                                   "activate 1", "process 1", "process 1"));
  EXPECT_THAT(graph_.errors(), IsEmpty());
}

// The lowest unopened layer decides: an unopened source above the opened one does not hide
// the one below it.
TEST_F(SchedulerTest, UnopenedLowerLayerWithInputClosedIsADeadlockError) {
  MakeNode(0, /*is_source=*/true, /*layer=*/0);  // never becomes ready to open
  FakeNode* middle = MakeNode(1, /*is_source=*/true, /*layer=*/1);
  MakeNode(2, /*is_source=*/true, /*layer=*/2);  // never becomes ready to open
  middle->close_after_processes_ = 1;  // were it activated, the run would still end
  PrepareRun({middle});
  scheduler_->Start();
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 1")) << "no layer may be activated";
  ASSERT_EQ(graph_.errors().size(), 1u);
  EXPECT_EQ(graph_.errors()[0],
            absl::UnknownError("Detected a deadlock because source nodes cannot be activated "
                               "when a source node at a lower layer is still not opened."));
}

// With graph input still open, the blocked layer is retried at later events instead of
// being retried in a loop that holds the scheduler's lock (which hung Start here).
TEST_F(SchedulerTest, UnopenedLowerLayerWithInputOpenWaitsAndRetriesLater) {
  graph_.graph_input_streams_closed_ = false;
  FakeNode* lower = MakeNode(0, /*is_source=*/true, /*layer=*/0);
  FakeNode* upper = MakeNode(1, /*is_source=*/true, /*layer=*/1);
  lower->close_after_processes_ = 1;
  upper->close_after_processes_ = 1;
  PrepareRun({upper});
  scheduler_->Start();
  ASSERT_TRUE(scheduler_->WaitUntilIdle().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 1"));
  EXPECT_FALSE(scheduler_->IsTerminated());

  scheduler_->ScheduleNodeForOpen(lower);  // e.g. its side packets arrived
  ASSERT_TRUE(scheduler_->WaitUntilIdle().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 0", "activate 0", "process 0", "activate 1",
                                   "process 1"));
  scheduler_->ClosedAllGraphInputStreams();
  EXPECT_TRUE(scheduler_->IsTerminated());
  EXPECT_THAT(graph_.errors(), IsEmpty());
}

TEST_F(SchedulerTest, CloseAllSourceNodesClosesActiveSourcesAndEndsTheRun) {
  FakeNode* endless = MakeNode(0, /*is_source=*/true);
  endless->on_end_scheduling_ = [this](FakeNode* n) {
    if (n->processed_ == 2) scheduler_->CloseAllSourceNodes();
    if (n->active_ && !n->Closed()) scheduler_->ScheduleNodeIfNotThrottled(n, n->DefaultContext());
  };
  PrepareRun({endless});
  scheduler_->Start();
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 0", "activate 0", "process 0", "process 0",
                                   "close 0 ok running"));
}

TEST_F(SchedulerTest, NodeErrorEndsARunWhoseInputIsStillOpen) {
  graph_.graph_input_streams_closed_ = false;
  FakeNode* failing = MakeNode(0);
  failing->open_result_ = absl::InternalError("broken");
  PrepareRun({failing});
  scheduler_->Start();
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
  EXPECT_THAT(graph_.errors(), ElementsAre(absl::InternalError("broken")));
}

// An activated source that the graph throttles is not queued; with every queue idle the
// scheduler asks the graph to relieve the throttling, which schedules the source again.
TEST_F(SchedulerTest, IdleWithThrottledSourcesAsksTheGraphToUnthrottle) {
  graph_.graph_input_streams_closed_ = false;
  FakeNode* source = MakeNode(0, /*is_source=*/true);
  source->close_after_processes_ = 2;
  graph_.SetThrottled(0, true);
  graph_.on_unthrottle_ = [this, source] {
    graph_.SetThrottled(0, false);
    scheduler_->ScheduleUnthrottledReadyNodes({source});
  };
  PrepareRun({source});
  scheduler_->Start();
  ASSERT_TRUE(scheduler_->WaitUntilIdle().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 0", "activate 0", "process 0", "process 0"));
  EXPECT_EQ(graph_.unthrottle_calls_, 1);
}

TEST_F(SchedulerTest, IdleWithThrottledGraphInputAsksTheGraphToUnthrottle) {
  graph_.graph_input_streams_closed_ = false;
  graph_.on_unthrottle_ = [this] { scheduler_->UnthrottledGraphInputStream(); };
  PrepareRun({});
  scheduler_->Start();
  EXPECT_EQ(graph_.unthrottle_calls_, 0);
  scheduler_->ThrottledGraphInputStream();
  scheduler_->AddedPacketToGraphInputStream();
  EXPECT_EQ(graph_.unthrottle_calls_, 1);
  EXPECT_FALSE(scheduler_->IsTerminated());
}

// Full queues that only their readers drain (pollers): the idle handling asks once and
// returns to the caller, whose thread may be the reader, instead of asking again and again.
TEST_F(SchedulerTest, IdleThrottlingNothingCanRelieveIsLeftToTheReaders) {
  graph_.graph_input_streams_closed_ = false;
  graph_.unthrottle_relieves_ = false;
  PrepareRun({});
  scheduler_->Start();
  scheduler_->ThrottledGraphInputStream();
  scheduler_->GraphInputDeliveryStarted();
  scheduler_->GraphInputDeliveryFinished();
  EXPECT_EQ(graph_.unthrottle_calls_, 1);
  EXPECT_FALSE(scheduler_->IsTerminated());
  // The reader drained its queue; the input is closed and the run ends.
  scheduler_->UnthrottledGraphInputStream();
  scheduler_->ClosedAllGraphInputStreams();
  EXPECT_TRUE(scheduler_->IsTerminated());
  EXPECT_EQ(graph_.unthrottle_calls_, 1);
}

TEST_F(SchedulerTest, WaitForUnthrottlingReleasesAndRetakesTheCallersMutex) {
  graph_.graph_input_streams_closed_ = false;
  PrepareRun({});
  scheduler_->Start();
  std::mutex throttle_mutex;
  std::atomic<bool> waiting{false};
  std::atomic<bool> returned{false};
  std::thread adder([&] {
    std::lock_guard<std::mutex> lock(throttle_mutex);
    scheduler_->ThrottledGraphInputStream();
    waiting = true;
    scheduler_->WaitUntilGraphInputStreamUnthrottled(&throttle_mutex);
    returned = true;
  });
  while (!waiting) std::this_thread::yield();
  // The adder releases the mutex only once it waits for the next unthrottling.
  { std::lock_guard<std::mutex> lock(throttle_mutex); }
  EXPECT_FALSE(returned);
  scheduler_->UnthrottledGraphInputStream();
  adder.join();
  EXPECT_TRUE(returned);
}

// The unthrottling comes from a thread that holds none of the scheduler's locks. Timed to the
// moment the blocked adder has counted itself asleep and takes its last look, its wake-up
// call must not fall between that look and the sleep: round after round, the adder wakes.
TEST_F(SchedulerTest, UnthrottlingWakesAnAdderThatIsFallingAsleep) {
  graph_.graph_input_streams_closed_ = false;
  PrepareRun({});
  scheduler_->Start();
  constexpr int kRounds = 10000;
  std::mutex throttle_mutex;
  std::atomic<int> rounds_done{0};
  std::atomic<bool> stop{false};
  std::thread adder([&] {
    for (int round = 0; round < kRounds && !stop; ++round) {
      std::unique_lock<std::mutex> lock(throttle_mutex);
      scheduler_->ThrottledGraphInputStream();
      scheduler_->WaitUntilGraphInputStreamUnthrottled(&throttle_mutex);
      rounds_done.fetch_add(1);
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // The tightest loop there is: the call must land within the adder's last few steps.
    for (int looks = 1; SchedulerTestPeer::Sleepers(*scheduler_) == 0; ++looks) {
      if (looks % 4096 == 0 && std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "round " << round << ": the adder never went to sleep";
        stop = true;
        break;
      }
    }
    if (stop) break;
    // A pause more in some rounds, so that the call sweeps the adder's last steps.
    if (round % 8 == 7) CpuRelax();
    scheduler_->UnthrottledGraphInputStream();
    while (rounds_done.load() == round) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "round " << round << ": the adder slept through its unthrottling";
        stop = true;
        scheduler_->UnthrottledGraphInputStream();  // a second call finds it asleep
        break;
      }
      std::this_thread::yield();
    }
    if (stop) break;
  }
  adder.join();
  scheduler_->ClosedAllGraphInputStreams();
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
}

// A wait inside an application-thread task runs the tasks that task scheduled before it
// waited, and those its own tasks schedule.
TEST_F(SchedulerTest, WaitInsideAnApplicationThreadTaskRunsTheTasksItsTaskScheduled) {
  std::mutex outer_mutex, inner_mutex;
  std::vector<std::string> ran;
  scheduler_->AddApplicationThreadTask([&] {
    ran.push_back("outer");
    scheduler_->AddApplicationThreadTask([&] {
      ran.push_back("first");
      scheduler_->AddApplicationThreadTask([&] {
        ran.push_back("second");
        scheduler_->UnthrottledGraphInputStream();
      });
    });
    std::lock_guard<std::mutex> lock(inner_mutex);
    scheduler_->WaitUntilGraphInputStreamUnthrottled(&inner_mutex);
    ran.push_back("inner wait returned");
  });
  std::lock_guard<std::mutex> lock(outer_mutex);
  scheduler_->WaitUntilGraphInputStreamUnthrottled(&outer_mutex);
  EXPECT_THAT(ran, ::testing::ElementsAre("outer", "first", "second", "inner wait returned"));
}

// A task queue that logs its name each time it is asked for its next task, then runs `then`.
class NamedTaskQueue : public TaskQueue {
 public:
  NamedTaskQueue(std::string name, std::vector<std::string>* ran,
                 std::function<void()> then = nullptr)
      : name_(std::move(name)), ran_(ran), then_(std::move(then)) {}
  void RunNextTask() override {
    ran_->push_back(name_);
    if (then_) then_();
  }

 private:
  const std::string name_;
  std::vector<std::string>* const ran_;
  const std::function<void()> then_;
};

// Queue requests and functions share one arrival order, in the shared list and in a wait's
// own list alike, past the lists' first slots; a task another thread queues while the waiting
// thread works through its own list runs next.
TEST_F(SchedulerTest, ApplicationThreadExecutorRunsTasksInArrivalOrderSharedOnesFirst) {
  ApplicationThreadExecutor executor(scheduler_.get());
  std::vector<std::string> ran;
  auto log = [&ran](std::string name) { return [&ran, name] { ran.push_back(name); }; };
  NamedTaskQueue from_other_thread("from other thread", &ran);
  NamedTaskQueue last("last", &ran, [&] { scheduler_->UnthrottledGraphInputStream(); });
  NamedTaskQueue own("own", &ran);
  NamedTaskQueue adds_from_other_thread("adds from other thread", &ran, [&] {
    std::thread([&] { executor.AddTask(&from_other_thread); }).join();
  });
  NamedTaskQueue first("first", &ran, [&] {
    executor.AddTask(&adds_from_other_thread);
    executor.AddTask(&own);
    for (int i = 0; i < 20; ++i) executor.Schedule(log("own " + std::to_string(i)));
    executor.AddTask(&last);
  });
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) {
    executor.Schedule(log("queued " + std::to_string(i)));
    expected.push_back("queued " + std::to_string(i));
  }
  executor.AddTask(&first);
  expected.insert(expected.end(), {"first", "adds from other thread", "from other thread", "own"});
  for (int i = 0; i < 20; ++i) expected.push_back("own " + std::to_string(i));
  expected.push_back("last");

  std::mutex throttle_mutex;
  std::lock_guard<std::mutex> lock(throttle_mutex);
  EXPECT_THAT(ran, IsEmpty()) << "nothing runs before a caller waits";
  scheduler_->WaitUntilGraphInputStreamUnthrottled(&throttle_mutex);
  EXPECT_EQ(ran, expected);
}

TEST(ApplicationThreadExecutorTest, FunctionsThatNeverRanAreFreedWithTheScheduler) {
  FakeGraph graph;
  auto captured = std::make_shared<int>(0);
  {
    Scheduler scheduler(&graph);
    graph.scheduler_ = &scheduler;
    ApplicationThreadExecutor executor(&scheduler);
    executor.Schedule([captured] {});
    EXPECT_EQ(captured.use_count(), 2);
  }
  EXPECT_EQ(captured.use_count(), 1);
}

TEST_F(SchedulerTest, CancelRecordsOneCancellationOnlyWhileRunningOrPaused) {
  graph_.graph_input_streams_closed_ = false;
  PrepareRun({});
  scheduler_->Cancel();  // before Start
  EXPECT_THAT(graph_.errors(), IsEmpty());
  scheduler_->Start();
  scheduler_->Cancel();
  EXPECT_TRUE(scheduler_->IsTerminated()) << "idle, so the cancelled run ends at once";
  scheduler_->Cancel();
  ASSERT_EQ(graph_.errors().size(), 1u);
  EXPECT_EQ(graph_.errors()[0].code(), absl::StatusCode::kCancelled);
  EXPECT_EQ(graph_.errors()[0].message(), "");
}

TEST_F(SchedulerTest, PauseHoldsTasksUntilResumeOrCancel) {
  graph_.graph_input_streams_closed_ = false;
  FakeNode* a = MakeNode(0);
  FakeNode* b = MakeNode(1);
  PrepareRun({});
  scheduler_->Pause();  // not running: no effect
  EXPECT_FALSE(scheduler_->IsPaused());
  scheduler_->Resume();  // not paused: no effect
  scheduler_->Start();
  scheduler_->Pause();
  EXPECT_TRUE(scheduler_->IsPaused());
  scheduler_->ScheduleNodeForOpen(a);
  EXPECT_EQ(app_thread_tasks_added_, 0) << "nothing reaches the executor while paused";
  scheduler_->Resume();
  EXPECT_EQ(app_thread_tasks_added_, 1);
  ASSERT_TRUE(scheduler_->WaitUntilIdle().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 0"));

  scheduler_->Pause();
  scheduler_->ScheduleNodeForOpen(b);
  scheduler_->Cancel();  // the queues run again; the run drains and ends
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
  EXPECT_THAT(Calls(), ElementsAre("open 1"));
  EXPECT_EQ(graph_.errors().size(), 1u);
}

TEST_F(SchedulerTest, ObservedOutputWaits) {
  graph_.graph_input_streams_closed_ = false;
  PrepareRun({});
  scheduler_->Start();
  scheduler_->EmittedObservedOutput();
  EXPECT_TRUE(scheduler_->WaitForObservedOutput().ok());
  scheduler_->ClosedAllGraphInputStreams();
  const absl::Status done = scheduler_->WaitForObservedOutput();
  EXPECT_EQ(done, absl::OutOfRangeError("Graph is done."));
}

TEST_F(SchedulerTest, WaitsBeforeStartAreRefused) {
  for (const absl::Status& status : {scheduler_->WaitUntilIdle(), scheduler_->WaitUntilDone()}) {
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(status.message()), HasSubstr("(state_)!=(STATE_NOT_STARTED)"));
  }
}

TEST_F(SchedulerTest, NamedExecutorsGetTheirOwnQueues) {
  testing::EventLog executor_log;
  DelegatingExecutor first([&](std::function<void()> task) {
    executor_log.Add("first");
    task();
  });
  DelegatingExecutor second([&](std::function<void()>) { executor_log.Add("second"); });
  ASSERT_TRUE(scheduler_->SetNonDefaultExecutor("worker", &first).ok());
  const absl::Status again = scheduler_->SetNonDefaultExecutor("worker", &second);
  EXPECT_EQ(again.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(again.message()),
              HasSubstr("inserted.second SetNonDefaultExecutor must be called only once for "
                        "the executor \"worker\""));

  FakeNode* node = MakeNode(0);
  node->executor_name_ = "worker";
  PrepareRun({node});
  scheduler_->Start();
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
  EXPECT_THAT(executor_log.Take(), ElementsAre("first")) << "the first queue stays in use";
  EXPECT_THAT(Calls(), ElementsAre("open 0"));

  const absl::Status late = scheduler_->SetNonDefaultExecutor("other", &second);
  EXPECT_THAT(std::string(late.message()),
              HasSubstr("(state_)==(STATE_NOT_STARTED) SetNonDefaultExecutor must not be called "
                        "after the scheduler has started"));
}

TEST_F(SchedulerTest, DestroyingDuringARunCancelsAndWaits) {
  graph_.graph_input_streams_closed_ = false;
  FakeNode* a = MakeNode(0);
  PrepareRun({a});
  scheduler_->Start();
  scheduler_.reset();  // runs the pending open while it waits for the end
  EXPECT_THAT(Calls(), ElementsAre("open 0"));
  ASSERT_EQ(graph_.errors().size(), 1u);
  EXPECT_EQ(graph_.errors()[0].code(), absl::StatusCode::kCancelled);
}

TEST_F(SchedulerTest, SecondRunStartsClean) {
  FakeNode* source = MakeNode(0, /*is_source=*/true);
  source->close_after_processes_ = 1;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    source->closed_ = false;
    source->active_ = false;
    source->processed_ = 0;
    PrepareRun({source});
    scheduler_->Start();
    ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
    EXPECT_THAT(Calls(), ElementsAre("open 0", "activate 0", "process 0"));
    scheduler_->CleanupAfterRun();
  }
  EXPECT_THAT(graph_.errors(), IsEmpty());
}

using SchedulerDeathTest = SchedulerTest;

TEST_F(SchedulerDeathTest, MisuseEndsTheProcess) {
  FakeNode* sink = MakeNode(0);
  FakeNode* elsewhere = MakeNode(1);
  elsewhere->executor_name_ = "nowhere";
  EXPECT_DEATH(scheduler_->AssignNodeToSchedulerQueue(elsewhere),
               "Check failed: iter != non_default_queues_.end\\(\\)");
  scheduler_->AssignNodeToSchedulerQueue(sink);
  EXPECT_DEATH(scheduler_->ScheduleUnthrottledReadyNodes({sink}),
               "Check failed: node->IsSource\\(\\)");
  EXPECT_DEATH(scheduler_->GetSchedulerTimes(), "Check failed: state_ == STATE_TERMINATED");

  graph_.graph_input_streams_closed_ = false;
  scheduler_->Reset();
  scheduler_->Start();
  EXPECT_DEATH(scheduler_->SetExecutor(&app_thread_executor_),
               "Check failed: state_ == STATE_NOT_STARTED \\(1 vs. 0\\) SetExecutor must not "
               "be called after the scheduler has started");
  EXPECT_DEATH(scheduler_->AddUnopenedSourceNode(sink),
               "AddUnopenedSourceNode can only be called before starting the scheduler");
  scheduler_->AddApplicationThreadTask([] {});
  EXPECT_DEATH(scheduler_->CleanupAfterRun(), "Check failed: app_thread_tasks_.empty\\(\\)");
  scheduler_->Cancel();
  ASSERT_TRUE(scheduler_->WaitUntilDone().ok());
}

// Worker threads drive a run with two source layers, a node on a named executor and graph
// input closed from another thread.
TEST(SchedulerThreadsTest, RunOnThreadPoolsEndsWithEveryTaskDone) {
  EventLog log;
  FakeGraph graph;
  graph.graph_input_streams_closed_ = false;
  ThreadPoolExecutor pool(4);
  ThreadPoolExecutor other_pool(2);
  std::vector<std::unique_ptr<FakeNode>> nodes;
  {
    Scheduler scheduler(&graph);
    graph.scheduler_ = &scheduler;
    scheduler.SetExecutor(&pool);
    ASSERT_TRUE(scheduler.SetNonDefaultExecutor("other", &other_pool).ok());
    for (int i = 0; i < 6; ++i) {
      nodes.push_back(std::make_unique<FakeNode>(&log, i, /*is_source=*/i < 4, /*layer=*/i % 2));
      FakeNode* node = nodes.back().get();
      if (i >= 4) node->executor_name_ = "other";
      if (node->IsSource()) {
        node->close_after_processes_ = 50;
        node->on_opened_ = [&scheduler](FakeNode* n) { scheduler.AddNodeToSourcesQueue(n); };
        node->on_end_scheduling_ = [&scheduler](FakeNode* n) {
          if (n->active_ && !n->Closed()) {
            scheduler.ScheduleNodeIfNotThrottled(n, n->DefaultContext());
          }
        };
      }
    }
    for (int run = 0; run < 2; ++run) {
      scheduler.Reset();
      for (auto& node : nodes) {
        node->closed_ = false;
        node->active_ = false;
        node->processed_ = 0;
        scheduler.AssignNodeToSchedulerQueue(node.get());
        if (node->IsSource()) scheduler.AddUnopenedSourceNode(node.get());
      }
      for (auto& node : nodes) scheduler.ScheduleNodeForOpen(node.get());
      scheduler.Start();
      std::thread closer([&scheduler] {
        ASSERT_TRUE(scheduler.WaitUntilIdle().ok());
        scheduler.ClosedAllGraphInputStreams();
      });
      ASSERT_TRUE(scheduler.WaitUntilDone().ok());
      closer.join();
      scheduler.CleanupAfterRun();
      for (auto& node : nodes) {
        EXPECT_EQ(node->processed_, node->IsSource() ? 50 : 0);
        EXPECT_EQ(node->in_flight_, 0);
      }
    }
  }
  EXPECT_THAT(graph.errors(), IsEmpty());
}

}  // namespace
}  // namespace internal
}  // namespace kaldren
