#include "graph/calculator_node.h"

#include <map>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "absl/strings/str_cat.h"
#include "base/status_macros.h"
#include "gmock/gmock.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_context_manager.h"
#include "graph/calculator_static_access.h"
#include "graph/config_test_util.h"
#include "graph/counter_factory.h"
#include "graph/graph_service.h"
#include "graph/output_side_packet_impl.h"
#include "graph/output_stream_manager.h"
#include "graph/registration_macros.h"
#include "graph/scheduler.h"
#include "graph/scheduler_test_node.h"
#include "graph/stream_handler/default_input_stream_handler.h"
#include "graph/stream_handler/in_order_output_stream_handler.h"
#include "graph/thread_pool_executor.h"
#include "graph/validated_graph_config.h"
#include "graph_config/default_input_stream_handler.pb.h"
#include "graph_config/status_util.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing_util::AddNode;

internal::testing::EventLog& Log() {
  static auto* log = new internal::testing::EventLog;
  return *log;
}

const GraphService<int> kRequiredService("node_test_required");
const GraphService<int> kOptionalService("node_test_optional");

// What a test calculator does wrong, from its optional side packet "FAIL".
std::string FailMode(CalculatorContext* cc) {
  return cc->InputSidePackets().HasTag("FAIL") ? cc->InputSidePackets().Tag("FAIL").Get<std::string>()
                                               : "";
}

std::string StatusWord(const absl::Status& status) {
  return status.ok() ? "ok" : absl::StrCat("error ", static_cast<int>(status.code()));
}

// Emits 0 .. COUNT-1 at the timestamps of the same value, then stops; COUNT -1 never stops.
class NodeTestSource : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Outputs().Index(0).Set<int>();
    cc->InputSidePackets().Tag("COUNT").Set<int>();
    return absl::OkStatus();
  }
  absl::Status Open(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("open ", cc->NodeName()));
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    EXPECT_EQ(cc->InputTimestamp(), Timestamp(0)) << "a source always sees timestamp 0";
    if (next_ == cc->InputSidePackets().Tag("COUNT").Get<int>()) return tool::StatusStop();
    cc->Outputs().Index(0).AddPacket(MakePacket<int>(next_).At(Timestamp(next_)));
    ++next_;
    return absl::OkStatus();
  }
  absl::Status Close(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("close ", cc->NodeName(), " ", StatusWord(cc->GraphStatus())));
    return absl::OkStatus();
  }

 private:
  int next_ = 0;
};
REGISTER_CALCULATOR(NodeTestSource);

// Doubles its input; fails in the phase its "FAIL" side packet names.
class NodeTestDouble : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).Set<int>();
    cc->Outputs().Index(0).Set<int>();
    if (cc->InputSidePackets().HasTag("FAIL")) cc->InputSidePackets().Tag("FAIL").Set<std::string>();
    return absl::OkStatus();
  }
  absl::Status Open(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("open ", cc->NodeName()));
    if (FailMode(cc) == "open") return absl::NotFoundError("no model");
    if (FailMode(cc) == "open_stop") return tool::StatusStop();
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    if (FailMode(cc) == "process") return absl::DataLossError("bad frame");
    const int value = cc->Inputs().Index(0).Value().Get<int>();
    cc->Outputs().Index(0).AddPacket(MakePacket<int>(2 * value).At(cc->InputTimestamp()));
    return absl::OkStatus();
  }
  absl::Status Close(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("close ", cc->NodeName(), " ", StatusWord(cc->GraphStatus())));
    if (FailMode(cc) == "close") return absl::AbortedError("flush failed");
    if (FailMode(cc) == "close_stop") return tool::StatusStop();
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(NodeTestDouble);

// Logs every input; with "STOP_AFTER" returns the stop status after that many.
class NodeTestSink : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).Set<int>();
    if (cc->InputSidePackets().HasTag("STOP_AFTER")) {
      cc->InputSidePackets().Tag("STOP_AFTER").Set<int>();
    }
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("sink ", cc->Inputs().Index(0).Value().Get<int>(), "@",
                           cc->InputTimestamp().Value()));
    ++seen_;
    if (cc->InputSidePackets().HasTag("STOP_AFTER") &&
        seen_ == cc->InputSidePackets().Tag("STOP_AFTER").Get<int>()) {
      return tool::StatusStop();
    }
    return absl::OkStatus();
  }
  absl::Status Close(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("close ", cc->NodeName(), " ", StatusWord(cc->GraphStatus())));
    return absl::OkStatus();
  }

 private:
  int seen_ = 0;
};
REGISTER_CALCULATOR(NodeTestSink);

// No streams: turns side packet IN into OUT = IN + 1 when opened.
class NodeTestSidePacketMaker : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Tag("IN").Set<int>();
    cc->OutputSidePackets().Tag("OUT").Set<int>();
    return absl::OkStatus();
  }
  absl::Status Open(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("open ", cc->NodeName()));
    cc->OutputSidePackets().Tag("OUT").Set(
        MakePacket<int>(cc->InputSidePackets().Tag("IN").Get<int>() + 1));
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override { return absl::OkStatus(); }
  absl::Status Close(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("close ", cc->NodeName(), " ", StatusWord(cc->GraphStatus())));
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(NodeTestSidePacketMaker);

// Reads a side packet made by another node.
class NodeTestSidePacketReader : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Tag("VALUE").Set<int>();
    cc->Outputs().Index(0).Set<int>();
    return absl::OkStatus();
  }
  absl::Status Open(CalculatorContext* cc) override {
    Log().Add(absl::StrCat("read ", cc->InputSidePackets().Tag("VALUE").Get<int>()));
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override { return tool::StatusStop(); }
};
REGISTER_CALCULATOR(NodeTestSidePacketReader);

// Asks for an input stream handler in its contract.
class NodeTestHandlerChooser : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).Set<int>();
    cc->SetInputStreamHandler("NodeTestMissingHandler");
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override { return absl::OkStatus(); }
};
REGISTER_CALCULATOR(NodeTestHandlerChooser);

class NodeTestServiceUser : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).Set<int>();
    cc->UseService(kRequiredService);
    cc->UseService(kOptionalService).Optional();
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override { return absl::OkStatus(); }
};
REGISTER_CALCULATOR(NodeTestServiceUser);

// The graph around the nodes, as small as the nodes need: stream and side-packet arrays,
// a scheduler, and the callbacks a graph binds.
class MiniGraph : public internal::SchedulerGraph {
 public:
  explicit MiniGraph(Executor* executor = nullptr) : scheduler_(this) {
    scheduler_.SetExecutor(executor != nullptr ? executor : &app_thread_executor_);
  }

  absl::Status Initialize(const pellumo::CalculatorGraphConfig& config) {
    RETURN_IF_ERROR(validated_.Initialize(config));
    const auto& inputs = validated_.InputStreamInfos();
    input_streams_ = std::make_unique<InputStreamManager[]>(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
      RETURN_IF_ERROR(input_streams_[i].Initialize(inputs[i].name, inputs[i].packet_type,
                                                   inputs[i].back_edge));
    }
    const auto& outputs = validated_.OutputStreamInfos();
    num_output_streams_ = outputs.size();
    output_streams_ = std::make_unique<OutputStreamManager[]>(outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i) {
      RETURN_IF_ERROR(output_streams_[i].Initialize(outputs[i].name, outputs[i].packet_type));
    }
    const auto& side_packets = validated_.OutputSidePacketInfos();
    num_side_packets_ = side_packets.size();
    side_packets_ = std::make_unique<OutputSidePacketImpl[]>(side_packets.size());
    for (size_t i = 0; i < side_packets.size(); ++i) {
      RETURN_IF_ERROR(
          side_packets_[i].Initialize(side_packets[i].name, side_packets[i].packet_type));
    }
    for (size_t i = 0; i < validated_.CalculatorInfos().size(); ++i) {
      nodes_.push_back(std::make_unique<CalculatorNode>());
      int buffer_size_hint = 0;
      RETURN_IF_ERROR(nodes_.back()->Initialize(&validated_, i, input_streams_.get(),
                                                output_streams_.get(), side_packets_.get(),
                                                &buffer_size_hint, nullptr));
    }
    return absl::OkStatus();
  }

  // One whole run; the combined errors, or OK.
  absl::Status Run(const std::map<std::string, Packet>& side_packets,
                   const std::map<std::string, Packet>& services = {}) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      errors_.clear();
    }
    scheduler_.Reset();
    auto record = [this](const absl::Status& error) { RecordError(error); };
    for (int i = 0; i < num_output_streams_; ++i) output_streams_[i].PrepareForRun(record);
    for (int i = 0; i < num_side_packets_; ++i) side_packets_[i].PrepareForRun(record);
    for (auto& node : nodes_) {
      CalculatorNode* n = node.get();
      scheduler_.AssignNodeToSchedulerQueue(n);
      if (n->IsSource()) scheduler_.AddUnopenedSourceNode(n);
      n->SetQueueSizeCallbacks([](InputStreamManager*, bool*) {},
                               [](InputStreamManager*, bool*) {});
      RETURN_IF_ERROR(n->PrepareForRun(
          side_packets, services, [this, n] { scheduler_.ScheduleNodeForOpen(n); },
          [this, n] { scheduler_.AddNodeToSourcesQueue(n); },
          [this, n](CalculatorContext* cc) { scheduler_.ScheduleNodeIfNotThrottled(n, cc); },
          [this](absl::Status error) { RecordError(error); }, &counters_));
    }
    for (auto& node : nodes_) node->SetMaxInputStreamQueueSize(-1);
    for (auto& node : nodes_) {
      if (node->ReadyForOpen()) scheduler_.ScheduleNodeForOpen(node.get());
    }
    scheduler_.Start();
    RETURN_IF_ERROR(scheduler_.WaitUntilDone());
    absl::Status status;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      status = tool::CombinedStatus("run failed:", errors_);
    }
    for (auto& node : nodes_) node->CleanupAfterRun(status);
    scheduler_.CleanupAfterRun();
    return status;
  }

  void RecordError(const absl::Status& error) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      errors_.push_back(error);
    }
    scheduler_.SetHasError(true);
  }
  bool UnthrottleSources() override { return false; }
  bool IsNodeThrottled(int) override { return false; }
  bool GraphInputStreamsClosed() const override { return true; }

  CalculatorNode& node(int i) { return *nodes_[i]; }
  const OutputSidePacketImpl& side_packet(int i) const { return side_packets_[i]; }
  std::vector<absl::Status> errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }

 private:
  internal::DelegatingExecutor app_thread_executor_{
      [this](std::function<void()> task) { scheduler_.AddApplicationThreadTask(std::move(task)); }};
  ValidatedGraphConfig validated_;
  std::unique_ptr<InputStreamManager[]> input_streams_;
  std::unique_ptr<OutputStreamManager[]> output_streams_;
  std::unique_ptr<OutputSidePacketImpl[]> side_packets_;
  int num_output_streams_ = 0;
  int num_side_packets_ = 0;
  BasicCounterFactory counters_;
  std::mutex mutex_;
  std::vector<absl::Status> errors_;
  std::vector<std::unique_ptr<CalculatorNode>> nodes_;
  internal::Scheduler scheduler_;  // first to go: it waits for a started run
};

// source -> double -> sink
pellumo::CalculatorGraphConfig Pipeline(const std::string& double_fail = "") {
  pellumo::CalculatorGraphConfig config;
  AddNode(&config, "NodeTestSource", {}, {"numbers"}, "source", {"COUNT:count"});
  auto* dbl = AddNode(&config, "NodeTestDouble", {"numbers"}, {"doubled"}, "double");
  if (!double_fail.empty()) dbl->add_input_side_packet("FAIL:fail");
  AddNode(&config, "NodeTestSink", {"doubled"}, {}, "sink");
  return config;
}

std::map<std::string, Packet> SidePackets(int count, const std::string& fail = "") {
  std::map<std::string, Packet> side_packets = {{"count", MakePacket<int>(count)}};
  if (!fail.empty()) side_packets["fail"] = MakePacket<std::string>(fail);
  return side_packets;
}

class CalculatorNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Links in the stream handlers, which register themselves by name.
    ASSERT_STRNE(typeid(DefaultInputStreamHandler).name(), "");
    ASSERT_STRNE(typeid(InOrderOutputStreamHandler).name(), "");
    Log().Take();
  }
};

TEST_F(CalculatorNodeTest, PipelineRunsInTimestampOrderAndClosesWithDone) {
  MiniGraph graph;
  ASSERT_TRUE(graph.Initialize(Pipeline()).ok());
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_TRUE(graph.Run(SidePackets(3)).ok());
    // Each run has a calculator of its own: the source counts from 0 again.
    EXPECT_THAT(Log().Take(),
                ElementsAre("open source", "open double", "sink 0@0", "sink 2@1", "sink 4@2",
                            "close source ok", "close double ok", "close sink ok"));
  }
  EXPECT_TRUE(graph.node(0).IsSource());
  EXPECT_FALSE(graph.node(1).IsSource());
  EXPECT_FALSE(graph.node(2).IsSource());
  EXPECT_EQ(graph.node(0).DebugName(),
            "[source, NodeTestSource with output stream: numbers]");
  EXPECT_EQ(graph.node(2).DebugName(),
            "[sink, NodeTestSink with node ID: 2 and input stream: <doubled>]");
  EXPECT_FALSE(graph.node(1).Prepared()) << "cleaned up after the run";
}

struct FailureCase {
  const char* mode;
  absl::StatusCode code;
  const char* message;
  std::vector<std::string> log;
};

TEST_F(CalculatorNodeTest, CalculatorFailuresKeepTheirCodeAndNameTheNode) {
  const std::vector<FailureCase> cases = {
      {"open", absl::StatusCode::kNotFound,
       "Calculator::Open() for node \"[double, NodeTestDouble with output stream: doubled]\" "
       "failed: no model",
       // Close is not called for a node that did not open; the others see the error.
       {"open source", "open double", "close source error 5"}},
      {"process", absl::StatusCode::kDataLoss,
       "Calculator::Process() for node \"[double, NodeTestDouble with output stream: "
       "doubled]\" failed: bad frame",
       {"open source", "open double", "close source error 15", "close double error 15",
        "close sink error 15"}},
      {"close", absl::StatusCode::kAborted,
       "Calculator::Close() for node \"[double, NodeTestDouble with output stream: doubled]\" "
       "failed: flush failed",
       {"open source", "open double", "close source ok", "close double ok", "close sink ok"}},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.mode);
    MiniGraph graph;
    ASSERT_TRUE(graph.Initialize(Pipeline(c.mode)).ok());
    const absl::Status status = graph.Run(SidePackets(2, c.mode));
    EXPECT_EQ(status.code(), c.code);
    ASSERT_FALSE(graph.errors().empty());
    EXPECT_EQ(graph.errors()[0].code(), c.code);
    EXPECT_EQ(graph.errors()[0].message(), c.message);
    std::vector<std::string> log;
    for (std::string& line : Log().Take()) {
      if (line.rfind("sink ", 0) != 0) log.push_back(std::move(line));
    }
    EXPECT_EQ(log, c.log);
  }
}

TEST_F(CalculatorNodeTest, StopStatusOfASinkStopsTheSourceAndEndsTheRun) {
  pellumo::CalculatorGraphConfig config = Pipeline();
  config.mutable_node(2)->add_input_side_packet("STOP_AFTER:stop_after");
  MiniGraph graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  std::map<std::string, Packet> side_packets = SidePackets(-1);  // never stops by itself
  side_packets["stop_after"] = MakePacket<int>(2);
  ASSERT_TRUE(graph.Run(side_packets).ok());
  const std::vector<std::string> log = Log().Take();
  EXPECT_THAT(log, ::testing::Contains("close source ok"));
  EXPECT_THAT(log, ::testing::Contains("sink 2@1"));
}

TEST_F(CalculatorNodeTest, SidePacketsFlowBetweenNodesAndConstantNodesAreNotReopened) {
  pellumo::CalculatorGraphConfig config;
  AddNode(&config, "NodeTestSidePacketMaker", {}, {}, "maker", {"IN:in"}, {"OUT:made"});
  AddNode(&config, "NodeTestSidePacketReader", {}, {"unused"}, "reader", {"VALUE:made"});
  MiniGraph graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  const std::map<std::string, Packet> side_packets = {{"in", MakePacket<int>(41)}};
  ASSERT_TRUE(graph.Run(side_packets).ok());
  EXPECT_THAT(Log().Take(), ElementsAre("open maker", "read 42", "close maker ok"));
  EXPECT_FALSE(graph.node(0).IsSource()) << "no streams at all: not a source";

  // Same side packets again: the maker's outputs cannot change, so it is neither opened nor
  // closed, and its side packet is handed on again.
  ASSERT_TRUE(graph.Run(side_packets).ok());
  EXPECT_THAT(Log().Take(), ElementsAre("read 42"));

  ASSERT_TRUE(graph.Run({{"in", MakePacket<int>(9)}}).ok());
  EXPECT_THAT(Log().Take(), ElementsAre("open maker", "read 10", "close maker ok"));
}

TEST_F(CalculatorNodeTest, RequiredServicesMustBeSupplied) {
  pellumo::CalculatorGraphConfig config;
  AddNode(&config, "NodeTestSource", {}, {"numbers"}, "source", {"COUNT:count"});
  AddNode(&config, "NodeTestServiceUser", {"numbers"}, {}, "user");
  MiniGraph graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  const absl::Status missing = graph.Run(SidePackets(1));
  EXPECT_EQ(missing.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(missing.message()),
              HasSubstr("req.IsOptional() required service 'node_test_required' was not "
                        "provided"));
  // The optional one may be absent; unrequested ones are ignored.
  EXPECT_TRUE(graph
                  .Run(SidePackets(1), {{"node_test_required", MakePacket<int>(1)},
                                        {"unrequested", MakePacket<int>(2)}})
                  .ok());
}

TEST_F(CalculatorNodeTest, InitializeRefusesUnknownHandlersAndANullHint) {
  for (const bool input_side : {true, false}) {
    pellumo::CalculatorGraphConfig config = Pipeline();
    auto* node = config.mutable_node(1);
    if (input_side) {
      node->mutable_input_stream_handler()->set_input_stream_handler("NoSuchInputHandler");
    } else {
      node->mutable_output_stream_handler()->set_output_stream_handler("NoSuchOutputHandler");
    }
    MiniGraph graph;
    const absl::Status status = graph.Initialize(config);
    EXPECT_THAT(std::string(status.message()),
                HasSubstr(input_side
                              ? "\"NoSuchInputHandler\" is not a registered input stream handler."
                              : "\"NoSuchOutputHandler\" is not a registered output stream "
                                "handler."));
  }
  ValidatedGraphConfig validated;
  ASSERT_TRUE(validated.Initialize(Pipeline()).ok());
  CalculatorNode node;
  const absl::Status status = node.Initialize(&validated, 0, nullptr, nullptr, nullptr,
                                              /*buffer_size_hint=*/nullptr, nullptr);
  EXPECT_THAT(std::string(status.message()), HasSubstr("buffer_size_hint buffer_size_hint is NULL"));
}

TEST_F(CalculatorNodeTest, TheContractsInputStreamHandlerYieldsToTheConfigurations) {
  pellumo::CalculatorGraphConfig config;
  AddNode(&config, "NodeTestSource", {}, {"numbers"}, "source", {"COUNT:count"});
  AddNode(&config, "NodeTestHandlerChooser", {"numbers"}, {}, "chooser");
  {
    MiniGraph graph;
    EXPECT_THAT(std::string(graph.Initialize(config).message()),
                HasSubstr("\"NodeTestMissingHandler\" is not a registered input stream "
                          "handler."));
  }
  config.mutable_node(1)->mutable_input_stream_handler()->set_input_stream_handler(
      "DefaultInputStreamHandler");
  MiniGraph graph;
  EXPECT_TRUE(graph.Initialize(config).ok());
}

pellumo::CalculatorGraphConfig BatchingPipeline(int batch_size, int max_in_flight) {
  pellumo::CalculatorGraphConfig config = Pipeline();
  pellumo::CalculatorGraphConfig_Node* dbl = config.mutable_node(1);
  dbl->set_max_in_flight(max_in_flight);
  pellumo::InputStreamHandlerConfig* handler = dbl->mutable_input_stream_handler();
  handler->set_input_stream_handler("DefaultInputStreamHandler");
  handler->mutable_options()->MutableExtension(pellumo::DefaultInputStreamHandlerOptions::ext)
      ->set_batch_size(batch_size);
  return config;
}

// A handler that gathers two timestamps per invocation: the node runs Process once for
// each, in order, and a batch cut short by the end of the input is processed before Close.
TEST_F(CalculatorNodeTest, BatchedContextsAreProcessedOneTimestampAtATime) {
  MiniGraph graph;
  ASSERT_TRUE(graph.Initialize(BatchingPipeline(2, 1)).ok());
  ASSERT_TRUE(graph.Run(SidePackets(3)).ok());
  EXPECT_THAT(Log().Take(),
              ElementsAre("open source", "open double", "sink 0@0", "sink 2@1",
                          "close source ok", "close double ok", "sink 4@2", "close sink ok"));

  // Batching and parallel invocations do not mix: the node refuses the configuration.
  MiniGraph parallel;
  EXPECT_THAT(std::string(parallel.Initialize(BatchingPipeline(2, 2)).message()),
              HasSubstr("Batching cannot be combined with parallel execution."));
}

// Drives one prepared node by hand, as the scheduler's queues would.
TEST_F(CalculatorNodeTest, DirectCallsOnAPreparedNode) {
  pellumo::CalculatorGraphConfig config = Pipeline();
  config.mutable_node(1)->set_max_in_flight(0);  // means 1
  MiniGraph graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  ASSERT_TRUE(graph.Run(SidePackets(0)).ok());
  CalculatorNode& dbl = graph.node(1);
  ASSERT_TRUE(dbl.PrepareForRun({}, {}, [] {}, nullptr, [](CalculatorContext*) {},
                                [](absl::Status) {}, nullptr)
                  .ok());
  EXPECT_TRUE(dbl.Prepared());
  EXPECT_FALSE(dbl.ReadyForOpen()) << "its input header has not arrived";
  EXPECT_TRUE(dbl.TryToBeginScheduling());
  EXPECT_FALSE(dbl.TryToBeginScheduling()) << "max_in_flight 0 runs one at a time";

  // A context without input timestamps, then one with a timestamp no stream carries.
  CalculatorContext* cc = dbl.DefaultContext();
  EXPECT_EQ(dbl.ProcessNode(cc), absl::InternalError("Calculator context has no input packets."));
  CalculatorContextManager().PushInputTimestampToContext(cc, Timestamp::Unstarted());
  const absl::Status invalid = dbl.ProcessNode(cc);
  EXPECT_THAT(std::string(invalid.message()),
              HasSubstr("Invalid input timestamp in ProcessNode(). timestamp: "
                        "Timestamp::Unstarted()"));
  CalculatorContextManager().PopInputTimestampFromContext(cc);

  ASSERT_TRUE(dbl.CloseNode(absl::OkStatus(), /*graph_run_ended=*/false).ok());
  EXPECT_TRUE(dbl.Closed());
  const absl::Status again = dbl.CloseNode(absl::OkStatus(), false);
  EXPECT_THAT(std::string(again.message()),
              HasSubstr("(status_)!=(kStateClosed) CloseNode() must only be called once."));
  EXPECT_TRUE(dbl.Closed());
  dbl.CleanupAfterRun(absl::OkStatus());
  EXPECT_FALSE(dbl.Prepared());
  Log().Take();
}

using CalculatorNodeDeathTest = CalculatorNodeTest;

TEST_F(CalculatorNodeDeathTest, StopStatusFromOpenOrCloseEndsTheProcess) {
  for (const std::string mode : {"open_stop", "close_stop"}) {
    const std::string which = mode == "open_stop" ? "Open" : "Close";
    EXPECT_DEATH(
        {
          MiniGraph graph;
          CHECK(graph.Initialize(Pipeline(mode)).ok());
          graph.Run(SidePackets(1, mode)).IgnoreError();
        },
        which + "\\(\\) on node \"\\[double, NodeTestDouble with output stream: doubled\\]\" "
                "returned tool::StatusStop\\(\\) which should only be used to signal that a "
                "source node is done producing data.");
  }
}

TEST_F(CalculatorNodeDeathTest, ActivatingANodeThatIsNotOpenedIsFatal) {
  MiniGraph graph;
  ASSERT_TRUE(graph.Initialize(Pipeline()).ok());
  EXPECT_DEATH(graph.node(0).ActivateNode(),
               "Check failed: status_ == kStateOpened \\(0 vs. 2\\) \\[source, NodeTestSource");
}

// Many invocations of the middle node in flight on a thread pool: outputs still leave in
// timestamp order.
TEST_F(CalculatorNodeTest, ParallelInvocationsOnAThreadPoolKeepTheOrder) {
  pellumo::CalculatorGraphConfig config = Pipeline();
  config.mutable_node(1)->set_max_in_flight(4);
  ThreadPoolExecutor pool(4);
  MiniGraph graph(&pool);
  ASSERT_TRUE(graph.Initialize(config).ok());
  constexpr int kCount = 200;
  ASSERT_TRUE(graph.Run(SidePackets(kCount)).ok());
  std::vector<std::string> expected;
  for (int i = 0; i < kCount; ++i) expected.push_back(absl::StrCat("sink ", 2 * i, "@", i));
  std::vector<std::string> sink_lines;
  for (std::string& line : Log().Take()) {
    if (line.rfind("sink ", 0) == 0) sink_lines.push_back(std::move(line));
  }
  EXPECT_EQ(sink_lines, expected);
}

}  // namespace
}  // namespace kaldren
