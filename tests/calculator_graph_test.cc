// End-to-end tests of the calculator graph: runs through registered calculators, graph input
// streams with throttling, error recording and the combined run status, cancellation,
// destruction of a running graph, executors and the GPU resources' graph side.

#include "graph/calculator_graph.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "absl/strings/match.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "base/status.h"
#include "base/status_test_util.h"
#include "gmock/gmock.h"
#include "graph/calculator_node.h"
#include "graph/executor.h"
#include "graph/gpu_resources.h"
#include "graph/packet.h"
#include "graph/thread_pool_cpu_util.h"
#include "graph/thread_pool_executor.h"
#include "graph/thread_pool_executor.pb.h"
#include "graph/tool/sink.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/calculator_graph_template.pb.h"
#include "graph_config/proto_descriptor.pb.h"
#include "gtest/gtest.h"
#include "tests/graph_test_calculators.h"

namespace kaldren {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using graph_test::Gate;
using graph_test::ThreadLog;

using PacketCallback = std::function<void(const Packet&)>;

// Collects the packets a callback node delivers, from any thread.
class PacketLog {
 public:
  PacketCallback Callback() {
    return [this](const Packet& packet) {
      std::lock_guard<std::mutex> lock(mutex_);
      timestamps_.push_back(packet.Timestamp().Value());
    };
  }
  std::vector<int64_t> Timestamps() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timestamps_;
  }
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timestamps_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<int64_t> timestamps_;
};

// A callback node's side packet name and what it delivered.
struct Callback {
  std::string name;
  PacketLog log;
  // The run's side packets: the callback's and `extra`.
  std::map<std::string, Packet> SidePackets(std::map<std::string, Packet> extra = {}) {
    extra[name] = MakePacket<PacketCallback>(log.Callback());
    return extra;
  }
};

// "in" through the calculators `calculators`, one after another, into a callback node.
pellumo::CalculatorGraphConfig ChainConfig(const std::vector<std::string>& calculators,
                                           int max_queue_size, Callback* callback) {
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("in");
  config.set_max_queue_size(max_queue_size);
  std::string previous = "in";
  for (size_t i = 0; i < calculators.size(); ++i) {
    pellumo::CalculatorGraphConfig::Node* node = config.add_node();
    node->set_name(absl::StrCat("node", i));
    node->set_calculator(calculators[i]);
    node->add_input_stream(previous);
    previous = absl::StrCat("s", i);
    node->add_output_stream(previous);
  }
  tool::AddCallbackCalculator(previous, &config, &callback->name, /*use_std_function=*/true);
  return config;
}

Packet IntAt(int64_t timestamp) { return MakePacket<int>(0).At(Timestamp(timestamp)); }

// "in" into `count` pass-through nodes side by side.
pellumo::CalculatorGraphConfig PassThroughNodes(int count) {
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("in");
  for (int i = 0; i < count; ++i) {
    pellumo::CalculatorGraphConfig::Node* node = config.add_node();
    node->set_calculator("GraphTestPassThroughCalculator");
    node->add_input_stream("in");
    node->add_output_stream(absl::StrCat("out", i));
  }
  return config;
}

std::vector<int64_t> Range(int64_t begin, int64_t end) {
  std::vector<int64_t> values;
  for (int64_t v = begin; v < end; ++v) values.push_back(v);
  return values;
}

// Standard error written while `body` runs.
std::string StderrOf(const std::function<void()>& body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

// Waits (bounded) until the pool's workers have named themselves or are gone, then counts
// them.
int CountPoolThreads(int expected) {
  return graph_test::CountThreadsNamedWhenSettled("pellumo", expected);
}

// ---- Runs. ----

TEST(CalculatorGraphRunTest, TenThousandPacketsThroughAThrottledChainArriveInOrder) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig(std::vector<std::string>(5, "GraphTestPassThroughCalculator"),
                  /*max_queue_size=*/2, &callback);
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  for (int64_t t = 0; t < 10000; ++t) {
    ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(t))) << t;
  }
  ASSERT_OK(graph.CloseAllInputStreams());
  EXPECT_OK(graph.WaitUntilDone());
  EXPECT_EQ(callback.log.Timestamps(), Range(0, 10000));
}

TEST(CalculatorGraphRunTest, FailWhenFullRefusesWhileThrottledAndDeliversEveryAcceptedPacket) {
  Gate::Reset();
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestGatedCalculator"}, /*max_queue_size=*/2, &callback);
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  graph.SetGraphInputStreamAddMode(CalculatorGraph::FAIL_WHEN_FULL);
  EXPECT_EQ(graph.GetGraphInputStreamAddMode(), CalculatorGraph::FAIL_WHEN_FULL);
  ASSERT_OK(graph.StartRun(callback.SidePackets()));

  // The gated node holds at most one packet; its queue takes two more.
  std::vector<int64_t> accepted;
  int64_t t = 0;
  absl::Status refused;
  for (; t < 10 && refused.ok(); ++t) {
    absl::Status status = graph.AddPacketToInputStream("in", IntAt(t));
    if (status.ok()) {
      accepted.push_back(t);
    } else {
      refused = status;
    }
  }
  EXPECT_EQ(refused.code(), absl::StatusCode::kUnavailable);
  EXPECT_EQ(std::string(refused.message()), "Graph is throttled.");
  EXPECT_LE(accepted.size(), 3u);

  Gate::Open();
  int refusals_after_opening = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (; t < 200; ++t) {
    for (;;) {
      absl::Status status = graph.AddPacketToInputStream("in", IntAt(t));
      if (status.ok()) break;
      ASSERT_EQ(status.message(), "Graph is throttled.");
      ++refusals_after_opening;
      ASSERT_LT(std::chrono::steady_clock::now(), give_up)
          << "the open graph still refuses packet " << t << " after 30 s";
      std::this_thread::yield();
    }
    accepted.push_back(t);
  }
  ASSERT_OK(graph.CloseAllInputStreams());
  EXPECT_OK(graph.WaitUntilDone());
  EXPECT_EQ(callback.log.Timestamps(), accepted);
}

TEST(CalculatorGraphRunTest, FailingNodeStopsTheRunWithTheCombinedStatus) {
  Callback callback;
  pellumo::CalculatorGraphConfig config = ChainConfig(
      {"GraphTestPassThroughCalculator", "GraphTestFailingCalculator"}, 100, &callback);
  config.mutable_node(1)->add_input_side_packet("FAIL_AT:fail_at");
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  ASSERT_OK(graph
                  .StartRun(callback.SidePackets({{"fail_at", MakePacket<int64_t>(5)}}))
                  );
  // Adds succeed until the failure is recorded; from then on they report it.
  absl::Status add_status;
  for (int64_t t = 0; t < 100000 && add_status.ok(); ++t) {
    add_status = graph.AddPacketToInputStream("in", IntAt(t));
    if (t >= 10) std::this_thread::yield();
  }
  EXPECT_EQ(add_status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_THAT(std::string(add_status.message()), StartsWith("Graph has errors: \n"));
  EXPECT_THAT(std::string(add_status.message()), HasSubstr("failing on purpose"));

  // The run ends although "in" is still open.
  absl::Status run_status = graph.WaitUntilDone();
  EXPECT_EQ(run_status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(std::string(run_status.message()),
            "CalculatorGraph::Run() failed in Run: \n"
            "Calculator::Process() for node \"[node1, GraphTestFailingCalculator with output "
            "stream: s1]\" failed: failing on purpose");
  // Packets before the failing one arrive in order unless the error stopped their node
  // first; none from the failing timestamp on.
  const std::vector<int64_t> delivered = callback.log.Timestamps();
  EXPECT_LE(delivered.size(), 5u);
  EXPECT_EQ(delivered, Range(0, delivered.size()));
}

struct CombinedCodeCase {
  absl::StatusCode first;
  absl::StatusCode second;
  absl::StatusCode combined;
};

TEST(CalculatorGraphRunTest, CombinedStatusKeepsASharedCodeAndIsUnknownForMixedCodes) {
  const CombinedCodeCase cases[] = {
      {absl::StatusCode::kNotFound, absl::StatusCode::kNotFound, absl::StatusCode::kNotFound},
      {absl::StatusCode::kNotFound, absl::StatusCode::kInvalidArgument,
       absl::StatusCode::kUnknown},
  };
  for (const CombinedCodeCase& c : cases) {
    pellumo::CalculatorGraphConfig config;
    for (const char* name : {"a", "b"}) {
      pellumo::CalculatorGraphConfig::Node* node = config.add_node();
      node->set_name(name);
      node->set_calculator("GraphTestFailingOpenCalculator");
      node->add_input_side_packet(absl::StrCat("CODE:code_", name));
    }
    CalculatorGraph graph;
    ASSERT_OK(graph.Initialize(config));
    absl::Status status;
    std::string log = StderrOf([&] {
      status = graph.Run({{"code_a", MakePacket<int>(static_cast<int>(c.first))},
                          {"code_b", MakePacket<int>(static_cast<int>(c.second))}});
    });
    EXPECT_EQ(status.code(), c.combined) << status;
    // The two opens may run on different workers, in either order.
    std::vector<std::string> lines = absl::StrSplit(status.message(), '\n');
    ASSERT_EQ(lines.size(), 3u) << status;
    EXPECT_EQ(lines[0], "CalculatorGraph::Run() failed in Run: ");
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 1, lines.end()),
                testing::UnorderedElementsAre(
                    "Calculator::Open() for node \"[a, GraphTestFailingOpenCalculator with node "
                    "ID: 0 and no input streams]\" failed: open failed",
                    "Calculator::Open() for node \"[b, GraphTestFailingOpenCalculator with node "
                    "ID: 1 and no input streams]\" failed: open failed"));
  }
}

TEST(CalculatorGraphRunTest, CancelledRunEndsWithTheCancelOnlyStatus) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestPassThroughCalculator"}, 100, &callback);
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  // Moving a packet in leaves the caller's packet empty.
  Packet moved = IntAt(0);
  ASSERT_OK(graph.AddPacketToInputStream("in", std::move(moved)));
  EXPECT_TRUE(moved.IsEmpty());
  graph.Cancel();
  absl::Status status = graph.WaitUntilDone();
  EXPECT_EQ(status.code(), absl::StatusCode::kCancelled);
  EXPECT_EQ(std::string(status.message()), "CalculatorGraph::Run() failed in Run: \n");
  // Cancelling a finished run changes nothing; the graph can run again.
  graph.Cancel();
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  ASSERT_OK(graph.CloseAllInputStreams());
  EXPECT_OK(graph.WaitUntilDone());
}

TEST(CalculatorGraphRunTest, DestroyingARunningGraphStopsItAndCallsNoCallbackAfterwards) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestSlowCalculator"}, -1, &callback);
  {
    CalculatorGraph graph;
    ASSERT_OK(graph.Initialize(config));
    ASSERT_OK(graph.StartRun(callback.SidePackets()));
    for (int64_t t = 0; t < 1000; ++t) {
      ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(t)));
    }
  }
  const size_t delivered = callback.log.Size();
  EXPECT_LT(delivered, 1000u);
  EXPECT_EQ(CountPoolThreads(0), 0) << "the graph's workers are joined";
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(callback.log.Size(), delivered);
}

TEST(CalculatorGraphRunTest, TooManyErrorsAreCountedNotKeptAndWarnedAboutOnce) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestSpammingCalculator"}, 100, &callback);
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  absl::Status status;
  std::string output = StderrOf([&] {
    ASSERT_OK(graph.StartRun(callback.SidePackets()));
    (void)graph.AddPacketToInputStream("in", IntAt(0));
    status = graph.WaitUntilDone();
  });
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  std::vector<std::string> lines = absl::StrSplit(status.message(), '\n');
  ASSERT_EQ(lines.size(), 1001u);
  EXPECT_EQ(lines[0], "CalculatorGraph::Run() failed in Run: ");
  EXPECT_EQ(lines[1], "Empty packet sent to stream \"s0\".");
  size_t warnings = 0;
  for (size_t pos = output.find("errors were recorded in this run"); pos != std::string::npos;
       pos = output.find("errors were recorded in this run", pos + 1)) {
    ++warnings;
  }
  EXPECT_EQ(warnings, 1u);
}

// "a" and "b" into one node that needs both at each timestamp; only "a" is fed, so its queue
// fills while every calculator is idle.
pellumo::CalculatorGraphConfig DeadlockConfig(bool report_deadlock, Callback* callback) {
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("a");
  config.add_input_stream("b");
  config.set_max_queue_size(2);
  config.set_report_deadlock(report_deadlock);
  pellumo::CalculatorGraphConfig::Node* node = config.add_node();
  node->set_calculator("GraphTestPassThroughCalculator");
  node->add_input_stream("a");
  node->add_input_stream("b");
  node->add_output_stream("out_a");
  node->add_output_stream("out_b");
  tool::AddCallbackCalculator("out_a", &config, &callback->name, true);
  return config;
}

TEST(CalculatorGraphRunTest, ThrottlingDeadlockIsReportedWhenAsked) {
  Callback callback;
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(DeadlockConfig(/*report_deadlock=*/true, &callback)));
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  absl::Status add_status;
  for (int64_t t = 0; t < 10 && add_status.ok(); ++t) {
    add_status = graph.AddPacketToInputStream("a", IntAt(t));
  }
  const std::string deadlock =
      "Detected a deadlock due to input throttling for: \"a\". All calculators are idle while "
      "packet sources remain active and throttled.  Consider adjusting \"max_queue_size\" or "
      "\"resolve_deadlock\".";
  EXPECT_EQ(add_status.code(), absl::StatusCode::kUnavailable);
  EXPECT_EQ(std::string(add_status.message()), "Graph has errors: \n" + deadlock);
  absl::Status run_status = graph.WaitUntilDone();
  EXPECT_EQ(run_status.code(), absl::StatusCode::kUnavailable);
  EXPECT_EQ(std::string(run_status.message()),
            "CalculatorGraph::Run() failed in Run: \n" + deadlock);
}

TEST(CalculatorGraphRunTest, ThrottlingDeadlockIsResolvedByGrowingTheQueue) {
  Callback callback;
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(DeadlockConfig(/*report_deadlock=*/false, &callback)));
  std::string output = StderrOf([&] {
    ASSERT_OK(graph.StartRun(callback.SidePackets()));
    for (int64_t t = 0; t < 10; ++t) ASSERT_OK(graph.AddPacketToInputStream("a", IntAt(t)));
  });
  // The warning is rate-limited process-wide (the 1st, 101st, ... time), so only the first
  // run of this test in a process sees it.
  static bool first_run_in_process = true;
  if (first_run_in_process) {
    EXPECT_THAT(output, HasSubstr("Resolved a deadlock by increasing max_queue_size of input "
                                  "stream: a to: 3. Consider increasing max_queue_size for "
                                  "better performance."));
    first_run_in_process = false;
  }
  for (int64_t t = 0; t < 10; ++t) ASSERT_OK(graph.AddPacketToInputStream("b", IntAt(t)));
  ASSERT_OK(graph.CloseAllInputStreams());
  EXPECT_OK(graph.WaitUntilDone());
  EXPECT_EQ(callback.log.Timestamps(), Range(0, 10));
}

TEST(CalculatorGraphRunTest, GraphChosenByTypeAmongSeveralConfigurations) {
  Callback callback;
  pellumo::CalculatorGraphConfig chosen =
      ChainConfig({"GraphTestPassThroughCalculator"}, 100, &callback);
  chosen.set_type("GraphTestChosenGraph");
  pellumo::CalculatorGraphConfig other = PassThroughNodes(1);
  other.set_type("GraphTestOtherGraph");
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize({other, chosen}, {}, {}, "GraphTestChosenGraph"));
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(7)));
  ASSERT_OK(graph.CloseAllInputStreams());
  EXPECT_OK(graph.WaitUntilDone());
  EXPECT_EQ(callback.log.Timestamps(), std::vector<int64_t>{7});
}

TEST(CalculatorGraphRunTest, GraphFromATemplateRuns) {
  // The chain's calculator is a template argument, given through the options node.
  Callback callback;
  pellumo::CalculatorGraphTemplate graph_template;
  *graph_template.mutable_config() = ChainConfig({"Unset"}, 100, &callback);
  graph_template.mutable_config()->set_type("GraphTestTemplateGraph");
  pellumo::TemplateExpression* rule = graph_template.add_rule();
  rule->set_path("/1[0]/2[0]");
  rule->set_field_type(pellumo::FieldDescriptorProto::TYPE_STRING);
  rule->set_param("calculator");

  pellumo::CalculatorGraphConfig::Node options;
  pellumo::TemplateDict::Parameter* argument =
      options.mutable_options()
          ->MutableExtension(pellumo::TemplateSubgraphOptions::ext)
          ->mutable_dict()
          ->add_arg();
  argument->set_key("calculator");
  argument->mutable_value()->set_str("GraphTestPassThroughCalculator");

  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize({}, {graph_template}, {}, "GraphTestTemplateGraph", &options));
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  for (int64_t t : {3, 5}) ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(t)));
  ASSERT_OK(graph.CloseAllInputStreams());
  EXPECT_OK(graph.WaitUntilDone());
  EXPECT_EQ(callback.log.Timestamps(), (std::vector<int64_t>{3, 5}));

  // Without the argument the expansion's error is the initialisation's.
  CalculatorGraph unexpanded;
  EXPECT_EQ(unexpanded.Initialize({}, {graph_template}, {}, "GraphTestTemplateGraph"),
            absl::NotFoundError("param: calculator"));
}

TEST(CalculatorGraphRunTest, QueueLimitComesFromTheConfigurationAndTheLargestNodeHint) {
  struct Case {
    int max_queue_size;
    int buffer_size_hint;
    int expected;
  };
  const Case cases[] = {{0, 0, 100}, {5, 8, 8}, {5, 3, 5}, {-1, 0, -1}, {-1, 4, 4}};
  for (const Case& c : cases) {
    pellumo::CalculatorGraphConfig config = PassThroughNodes(2);
    config.set_max_queue_size(c.max_queue_size);
    config.mutable_node(1)->set_buffer_size_hint(c.buffer_size_hint);
    CalculatorGraph graph;
    ASSERT_OK(graph.Initialize(config));
    EXPECT_EQ(graph.GetMaxInputStreamQueueSize(), c.expected)
        << c.max_queue_size << " " << c.buffer_size_hint;
  }
}

TEST(CalculatorGraphRunTest, CalculatorProfilesLeaveTheCallersListAlone) {
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(PassThroughNodes(1)));
  std::vector<CalculatorProfile> profiles(2);
  EXPECT_OK(graph.GetCalculatorProfiles(&profiles));
  EXPECT_EQ(profiles.size(), 2);
}

// ---- Misuse and fixed texts. ----

TEST(CalculatorGraphMisuseTest, RefusalsAreInternalAndNotLogged) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestPassThroughCalculator"}, 100, &callback);
  const std::map<std::string, Packet> side_packets = callback.SidePackets();

  CalculatorGraph graph;
  struct Refusal {
    std::string what;
    std::function<absl::Status()> call;
    std::string message_end;
  };
  const std::vector<Refusal> before_initialize = {
      {"StartRun", [&] { return graph.StartRun(side_packets); },
       "initialized_ CalculatorGraph is not initialized."},
      {"add", [&] { return graph.AddPacketToInputStream("in", IntAt(0)); },
       "stream AddPacketToInputStream called on input stream \"in\" which is not a graph input "
       "stream."},
      {"close", [&] { return graph.CloseInputStream("in"); },
       "stream CloseInputStream called on input stream \"in\" which is not a graph input "
       "stream."},
  };
  const std::vector<Refusal> initialized = {
      {"second Initialize", [&] { return graph.Initialize(config); },
       "!initialized_ CalculatorGraph can be initialized only once."},
      {"add before a run", [&] { return graph.AddPacketToInputStream("in", IntAt(0)); },
       "AddPacketToInputStream called on input stream \"in\" while no run is in progress."},
      {"Run with graph input streams", [&] { return graph.Run(side_packets); },
       "graph_input_streams_.empty() When using graph input streams, call StartRun() instead of "
       "Run() so that AddPacketToInputStream() and CloseInputStream() can be called."},
      {"unknown stream", [&] { return graph.AddPacketToInputStream("nope", IntAt(0)); },
       "AddPacketToInputStream called on input stream \"nope\" which is not a graph input "
       "stream."},
  };
  const std::vector<Refusal> running = {
      {"StartRun while running", [&] { return graph.StartRun(side_packets); },
       "StartRun called while a run is in progress; finish it with WaitUntilDone() first."},
  };
  const std::vector<Refusal> finished = {
      {"add after the run", [&] { return graph.AddPacketToInputStream("in", IntAt(1)); },
       "AddPacketToInputStream called on input stream \"in\" while no run is in progress."},
  };
  auto check = [](const std::vector<Refusal>& refusals) {
    for (const Refusal& refusal : refusals) {
      absl::Status status;
      std::string output = StderrOf([&] { status = refusal.call(); });
      EXPECT_EQ(status.code(), absl::StatusCode::kInternal) << refusal.what;
      EXPECT_THAT(std::string(status.message()), StartsWith("RET_CHECK failure (")) << refusal.what;
      EXPECT_THAT(std::string(status.message()), testing::EndsWith(refusal.message_end))
          << refusal.what;
      EXPECT_EQ(output, "") << refusal.what;
    }
  };
  check(before_initialize);
  ASSERT_OK(graph.Initialize(config));
  check(initialized);
  ASSERT_OK(graph.StartRun(side_packets));
  check(running);
  ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(0)));
  ASSERT_OK(graph.CloseInputStream("in"));
  ASSERT_OK(graph.CloseInputStream("in"));
  ASSERT_OK(graph.WaitUntilDone());
  check(finished);
  EXPECT_EQ(callback.log.Timestamps(), Range(0, 1));
}

TEST(CalculatorGraphMisuseTest, QueueSizeForAnUnknownStreamFailsEveryRunStart) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestPassThroughCalculator"}, 100, &callback);
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  ASSERT_OK(graph.SetInputStreamMaxQueueSize("nope", 3));
  for (int attempt = 0; attempt < 2; ++attempt) {
    absl::Status status = graph.StartRun(callback.SidePackets());
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(status.message()),
                testing::EndsWith("SetInputStreamMaxQueueSize called on \"nope\" which is not a "
                                  "graph input stream."));
  }
}

TEST(CalculatorGraphMisuseTest, WaitUntilIdleIsRefusedForGraphsWithSources) {
  pellumo::CalculatorGraphConfig config;
  pellumo::CalculatorGraphConfig::Node* node = config.add_node();
  node->set_calculator("GraphTestCountingSourceCalculator");
  node->add_input_side_packet("N:n");
  node->add_output_stream("out");
  Callback callback;
  tool::AddCallbackCalculator("out", &config, &callback.name, true);
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  ASSERT_OK(graph
                  .StartRun(callback.SidePackets({{"n", MakePacket<int>(20)}}))
                  );
  absl::Status idle = graph.WaitUntilIdle();
  EXPECT_EQ(idle.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(std::string(idle.message()), "WaitUntilIdle called on a graph with source nodes.");
  EXPECT_OK(graph.WaitUntilDone());
  EXPECT_EQ(callback.log.Timestamps(), Range(0, 20));
}

TEST(CalculatorGraphStatusHandlerTest, HandlersSeeTheRunAndTheirFailuresStopIt) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestPassThroughCalculator"}, 100, &callback);
  pellumo::StatusHandlerConfig* handler = config.add_status_handler();
  handler->set_status_handler("GraphTestStatusHandler");
  handler->add_input_side_packet("FLAG:flag");
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));

  absl::Status status;
  // A missing side packet fails the run's side-packet setup, whose status is returned as is.
  StderrOf([&] { status = graph.StartRun(callback.SidePackets()); });
  EXPECT_THAT(std::string(status.message()),
              HasSubstr("Side packet \"flag\" is required but was not provided."));

  StderrOf([&] {
    status = graph.StartRun(callback.SidePackets({{"flag", MakePacket<int>(1)}}));
  });
  EXPECT_EQ(status.code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(std::string(status.message()),
            "CalculatorGraph::Run() failed in Run: \nGraphTestStatusHandler::HandlePreRunStatus "
            "failed: pre-run refused");

  ASSERT_OK(graph.StartRun(callback.SidePackets({{"flag", MakePacket<int>(0)}})));
  ASSERT_OK(graph.CloseAllInputStreams());
  EXPECT_OK(graph.WaitUntilDone());
  EXPECT_OK(graph_test::LastRunStatus());
}

TEST(CalculatorGraphObserverTest, ObserversAndPollersAttachToExistingStreamsOnly) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestPassThroughCalculator"}, 100, &callback);
  CalculatorGraph graph;
  auto ignore = [](const Packet&) { return absl::OkStatus(); };
  absl::Status early = graph.ObserveOutputStream("s0", ignore);
  EXPECT_THAT(std::string(early.message()),
              testing::EndsWith("CalculatorGraph is not initialized."));
  ASSERT_OK(graph.Initialize(config));
  absl::Status missing = graph.ObserveOutputStream("nope", ignore);
  EXPECT_EQ(missing.code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(std::string(missing.message()),
            "Unable to attach observer to output stream \"nope\" because it doesn't exist.");
  EXPECT_EQ(graph.AddOutputStreamPoller("nope").status().code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(std::string(graph.GetOutputSidePacket("nope").status().message()),
            "Unable to get the output side packet \"nope\" because it doesn't exist.");

  std::vector<int64_t> observed;
  ASSERT_OK(graph.ObserveOutputStream("s0", [&observed](const Packet& packet) {
    observed.push_back(packet.Timestamp().Value());
    return absl::OkStatus();
  }));
  auto poller = graph.AddOutputStreamPoller("s0");
  ASSERT_OK(poller.status());
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  for (int64_t t = 0; t < 5; ++t) ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(t)));
  ASSERT_OK(graph.CloseAllInputStreams());
  std::vector<int64_t> polled;
  Packet packet;
  while (poller->Next(&packet)) polled.push_back(packet.Timestamp().Value());
  EXPECT_OK(graph.WaitUntilDone());
  EXPECT_EQ(observed, Range(0, 5));
  EXPECT_EQ(polled, Range(0, 5));
}

// ---- Executors. ----



TEST(CalculatorGraphExecutorTest, DefaultPoolHasOneWorkerPerNodeUpToTheCoreCount) {
  const int cores = NumCPUCores();
  struct Case {
    int nodes;
    int num_threads;  // 0: unset
    int expected;
  };
  const Case cases[] = {
      {0, 0, 1},
      {2, 0, std::min(cores, 2)},
      {10, 0, std::min(cores, 10)},
      {2, -1, std::min(cores, 2)},
      {1, 12, 12},
  };
  ASSERT_EQ(CountPoolThreads(0), 0);
  for (const Case& c : cases) {
    pellumo::CalculatorGraphConfig config = PassThroughNodes(c.nodes);
    if (c.num_threads != 0) config.set_num_threads(c.num_threads);
    {
      CalculatorGraph graph;
      ASSERT_OK(graph.Initialize(config));
      EXPECT_EQ(CountPoolThreads(c.expected), c.expected) << c.nodes << " " << c.num_threads;
    }
    EXPECT_EQ(CountPoolThreads(0), 0) << "workers are joined with the graph";
  }
}

class RecordingExecutor : public Executor {
 public:
  void Schedule(std::function<void()> task) override { task(); }
};

TEST(CalculatorGraphExecutorTest, ConfigurationErrors) {
  struct Case {
    std::string what;
    std::function<absl::Status()> run;
    absl::StatusCode code;
    std::string message;
  };
  auto with_executor = [](const std::string& name, const std::string& type) {
    pellumo::CalculatorGraphConfig config = PassThroughNodes(1);
    pellumo::ExecutorConfig* executor = config.add_executor();
    executor->set_name(name);
    executor->set_type(type);
    return config;
  };
  const std::vector<Case> cases = {
      {"named executor without type",
       [&] { return CalculatorGraph().Initialize(with_executor("mine", "")); },
       absl::StatusCode::kInvalidArgument,
       "ExecutorConfig for \"mine\" does not have a \"type\" field. The executor \"mine\" must be "
       "provided to the graph with a CalculatorGraph::SetExecutor() call."},
      {"typed executor also given",
       [&] {
         CalculatorGraph graph;
         EXPECT_OK(graph.SetExecutor("mine", std::make_shared<RecordingExecutor>()));
         return graph.Initialize(with_executor("mine", "ThreadPoolExecutor"));
       },
       absl::StatusCode::kInvalidArgument,
       "ExecutorConfig for \"mine\" has a \"type\" field but is also provided to the graph with "
       "a CalculatorGraph::SetExecutor() call."},
      {"negative thread count",
       [&] {
         pellumo::CalculatorGraphConfig config = PassThroughNodes(1);
         config.set_num_threads(-2);
         return CalculatorGraph().Initialize(config);
       },
       absl::StatusCode::kInvalidArgument,
       "The num_threads field in ThreadPoolExecutorOptions should be positive but is -2"},
      {"reserved names",
       [&] {
         CalculatorGraph graph;
         for (const char* name : {"gpu", "default"}) {
           EXPECT_EQ(graph.SetExecutor(name, std::make_shared<RecordingExecutor>()).message(),
                     absl::StrCat("\"", name, "\" is a reserved executor name."));
         }
         return graph.SetExecutor("__gpu", std::make_shared<RecordingExecutor>());
       },
       absl::StatusCode::kInvalidArgument, "\"__gpu\" is a reserved executor name."},
      {"executor given twice",
       [&] {
         CalculatorGraph graph;
         EXPECT_OK(graph.SetExecutor("mine", std::make_shared<RecordingExecutor>()));
         return graph.SetExecutor("mine", std::make_shared<RecordingExecutor>());
       },
       absl::StatusCode::kAlreadyExists,
       "SetExecutor must be called only once for the executor \"mine\""},
  };
  for (const Case& c : cases) {
    absl::Status status = c.run();
    EXPECT_EQ(status.code(), c.code) << c.what;
    EXPECT_EQ(std::string(status.message()), c.message) << c.what;
  }

  // After initialization SetExecutor is a logged RET_CHECK failure.
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(PassThroughNodes(1)));
  absl::Status late;
  std::string output = StderrOf(
      [&] { late = graph.SetExecutor("mine", std::make_shared<RecordingExecutor>()); });
  EXPECT_EQ(late.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(late.message()),
              testing::EndsWith(
                  "!initialized_ SetExecutor can only be called before Initialize()"));
  EXPECT_THAT(output, HasSubstr("SetExecutor can only be called before Initialize()"));
}

TEST(CalculatorGraphExecutorTest, ApplicationThreadRunsTasksOnlyOnTheWaitingCaller) {
  Callback callback;
  pellumo::CalculatorGraphConfig config = ChainConfig(
      {"GraphTestThreadRecorderCalculator", "GraphTestThreadRecorderCalculator"},
      /*max_queue_size=*/1, &callback);
  pellumo::ExecutorConfig* executor = config.add_executor();
  executor->set_type("ApplicationThreadExecutor");
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  EXPECT_EQ(CountPoolThreads(0), 0);
  ThreadLog::Take();
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  // The first add fills the one-packet queue; nothing runs until the caller waits.
  ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(0)));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(ThreadLog::Take().empty());
  EXPECT_EQ(callback.log.Size(), 0u);

  ASSERT_OK(graph.WaitUntilIdle());
  EXPECT_EQ(callback.log.Timestamps(), Range(0, 1));
  // Later adds wait on the full queue and run the graph's tasks while they wait.
  for (int64_t t = 1; t < 50; ++t) {
    ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(t)));
  }
  ASSERT_OK(graph.CloseAllInputStreams());
  ASSERT_OK(graph.WaitUntilDone());
  EXPECT_EQ(callback.log.Timestamps(), Range(0, 50));
  std::vector<std::thread::id> threads = ThreadLog::Take();
  EXPECT_EQ(threads.size(), 100u);
  for (const std::thread::id& id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

// The waiting caller sleeps once the graph is idle; a packet added from another thread queues
// an application-thread task, which must wake it, or the wait never ends.
TEST(CalculatorGraphExecutorTest, ApplicationThreadWaiterWakesForWorkAddedByAnotherThread) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestPassThroughCalculator"}, /*max_queue_size=*/-1, &callback);
  config.add_executor()->set_type("ApplicationThreadExecutor");
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  std::future<absl::Status> waited =
      std::async(std::launch::async, [&graph] { return graph.WaitUntilDone(); });
  // Gives the waiter time to run the opening tasks and fall asleep; the test holds either way.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(0)));
  ASSERT_OK(graph.CloseAllInputStreams());
  if (waited.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "WaitUntilDone did not return after the packet and the close";
    // This thread's own wait runs the queued task and ends the run, which frees the other.
    graph.WaitUntilDone().IgnoreError();
  }
  EXPECT_OK(waited.get());
  EXPECT_EQ(callback.log.Timestamps(), Range(0, 1));
}

// ---- GPU resources, through a double. ----

// Runs tasks on one worker and remembers the threads they ran on.
class RecordingGpuExecutor : public Executor {
 public:
  void Schedule(std::function<void()> task) override {
    pool_.Schedule([this, task = std::move(task)] {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        threads_.insert(std::this_thread::get_id());
      }
      task();
    });
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::set<std::thread::id> threads_;
  ThreadPoolExecutor pool_{1};
};

class FakeGpuResources : public pellumo::GpuResources {
 public:
  FakeGpuResources() { ReplaceExecutor(); }

  // GPU nodes run on the GL context executor.
  void PrepareGpuNode(CalculatorNode* node) override {
    node->SetExecutor("__gpu");
    ++prepared_nodes;
  }
  const std::map<std::string, std::shared_ptr<Executor>>& GetGpuExecutors() const override {
    return executors_;
  }
  void ReplaceExecutor() {
    gpu_executor = std::make_shared<RecordingGpuExecutor>();
    executors_["__gpu"] = gpu_executor;
  }

  int prepared_nodes = 0;
  std::shared_ptr<RecordingGpuExecutor> gpu_executor;

 private:
  std::map<std::string, std::shared_ptr<Executor>> executors_;
};

// One node that takes the legacy GPU shared data.
pellumo::CalculatorGraphConfig GpuSharedNodeConfig() {
  pellumo::CalculatorGraphConfig config;
  pellumo::CalculatorGraphConfig::Node* shared = config.add_node();
  shared->set_calculator("GraphTestGpuSharedCalculator");
  shared->add_input_side_packet("GPU_SHARED:gpu_shared");
  return config;
}

// Installs a creator of FakeGpuResources for one test and counts its calls.
class GpuResourcesTest : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = pellumo::GpuResources::SetCreator(
        [this](const std::shared_ptr<EAGLContext>&)
            -> util::StatusOr<std::shared_ptr<pellumo::GpuResources>> {
          ++created_;
          last_ = std::make_shared<FakeGpuResources>();
          return std::shared_ptr<pellumo::GpuResources>(last_);
        });
  }
  void TearDown() override { pellumo::GpuResources::SetCreator(previous_); }

  pellumo::GpuResources::Creator previous_;
  int created_ = 0;
  std::shared_ptr<FakeGpuResources> last_;
};

TEST_F(GpuResourcesTest, FirstRunMakesResourcesAndLaterRunsReuseTheirExecutor) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestGpuCalculator"}, 100, &callback);
  pellumo::CalculatorGraphConfig::Node* shared = config.add_node();
  shared->set_calculator("GraphTestGpuSharedCalculator");
  shared->add_input_side_packet("GPU_SHARED:gpu_shared");
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  EXPECT_EQ(graph.GetGpuResources(), nullptr);
  ThreadLog::Take();
  for (int run = 0; run < 2; ++run) {
    ASSERT_OK(graph.StartRun(callback.SidePackets())) << run;
    ASSERT_OK(graph.AddPacketToInputStream("in", IntAt(run)));
    ASSERT_OK(graph.CloseAllInputStreams());
    ASSERT_OK(graph.WaitUntilDone());
  }
  EXPECT_EQ(created_, 1);
  EXPECT_EQ(graph.GetGpuResources(), last_);
  EXPECT_EQ(last_->prepared_nodes, 4);
  ASSERT_NE(graph_test::LastGpuSharedData(), nullptr);
  EXPECT_EQ(static_cast<const pellumo::GpuSharedData*>(graph_test::LastGpuSharedData())
                ->physical_gpu_resources,
            last_);
  EXPECT_EQ(callback.log.Timestamps(), Range(0, 2));
  const std::set<std::thread::id> gpu_threads = last_->gpu_executor->Threads();
  ASSERT_EQ(gpu_threads.size(), 1u);
  std::vector<std::thread::id> processed_on = ThreadLog::Take();
  EXPECT_EQ(processed_on.size(), 2u);
  for (const std::thread::id& id : processed_on) EXPECT_EQ(gpu_threads.count(id), 1u);

  // Resources that change their executor under a taken name are refused.
  last_->ReplaceExecutor();
  absl::Status status = graph.StartRun(callback.SidePackets());
  EXPECT_EQ(status.code(), absl::StatusCode::kAlreadyExists);
  EXPECT_EQ(std::string(status.message()),
            "SetExecutor must be called only once for the executor \"__gpu\"");
}

TEST_F(GpuResourcesTest, GraphWithoutGpuNodesMakesNoResources) {
  Callback callback;
  pellumo::CalculatorGraphConfig config =
      ChainConfig({"GraphTestPassThroughCalculator"}, 100, &callback);
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  ASSERT_OK(graph.StartRun(callback.SidePackets()));
  ASSERT_OK(graph.CloseAllInputStreams());
  ASSERT_OK(graph.WaitUntilDone());
  EXPECT_EQ(created_, 0);
  EXPECT_EQ(graph.GetGpuResources(), nullptr);
}

TEST_F(GpuResourcesTest, ServiceResourcesWinOverACallersGpuSharedSidePacket) {
  pellumo::CalculatorGraphConfig config = GpuSharedNodeConfig();
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  auto service_resources = std::make_shared<FakeGpuResources>();
  ASSERT_OK(graph.SetGpuResources(service_resources));
  EXPECT_EQ(graph.SetGpuResources(service_resources).code(), absl::StatusCode::kInternal);

  pellumo::GpuSharedData callers(std::make_shared<FakeGpuResources>());
  absl::Status status;
  std::string output = StderrOf([&] {
    status = graph.Run({{"gpu_shared", MakePacket<pellumo::GpuSharedData*>(&callers)}});
  });
  ASSERT_OK(status) << status;
  EXPECT_THAT(output, HasSubstr("::pellumo::GpuSharedData provided as a side packet while the "
                                "graph already had one; ignoring side packet"));
  EXPECT_NE(graph_test::LastGpuSharedData(), &callers);
  EXPECT_EQ(static_cast<const pellumo::GpuSharedData*>(graph_test::LastGpuSharedData())
                ->physical_gpu_resources,
            service_resources);
  EXPECT_EQ(graph.GetGpuResources(), service_resources);
  EXPECT_EQ(created_, 0);
}

TEST_F(GpuResourcesTest, ACallersGpuSharedSidePacketSuppliesTheResourcesWithoutAService) {
  pellumo::CalculatorGraphConfig config = GpuSharedNodeConfig();
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  auto callers_resources = std::make_shared<FakeGpuResources>();
  pellumo::GpuSharedData callers(callers_resources);
  ASSERT_OK(graph.Run({{"gpu_shared", MakePacket<pellumo::GpuSharedData*>(&callers)}}));
  EXPECT_EQ(graph_test::LastGpuSharedData(), &callers);
  EXPECT_EQ(graph.GetGpuResources(), callers_resources);
  EXPECT_EQ(callers_resources->prepared_nodes, 1);
  EXPECT_EQ(created_, 0);
}

TEST(GpuResourcesUnavailableTest, RunStartFailsWhenNoResourcesCanBeMade) {
  pellumo::GpuResources::Creator previous = pellumo::GpuResources::SetCreator(nullptr);
  pellumo::CalculatorGraphConfig config = GpuSharedNodeConfig();
  CalculatorGraph graph;
  ASSERT_OK(graph.Initialize(config));
  absl::Status status = graph.StartRun({});
  EXPECT_EQ(status.code(), absl::StatusCode::kUnavailable);
  EXPECT_EQ(graph.GetGpuResources(), nullptr);
  pellumo::GpuResources::SetCreator(previous);
}

}  // namespace
}  // namespace kaldren
