// Many runs of chains, fan-out/fan-in and throttled graphs on thread pools of 1, 2 and 8
// workers and on the application thread. Every run must deliver every packet, in timestamp
// order, with the values its path computes, and end cleanly; the pool's workers must be gone
// once the graph is destroyed. None of these graphs can deadlock, so the graph must never
// claim to have resolved a throttling deadlock in them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/strings/match.h"
#include "base/logging.h"
#include "base/status.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_graph.h"
#include "graph/calculator_static_access.h"
#include "graph/packet.h"
#include "graph/registration_macros.h"
#include "graph/timestamp.h"
#include "graph/tool/sink.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/status_util.h"
#include "gtest/gtest.h"
#include "tests/graph_test_calculators.h"

namespace kaldren {

// Adds one to every input packet; fails when its input's timestamps do not increase.
class StressIncrementCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).Set<int64_t>();
    cc->Outputs().Index(0).Set<int64_t>();
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    const Timestamp timestamp = cc->InputTimestamp();
    if (timestamp <= last_) {
      return absl::InternalError(absl::StrCat("input at ", timestamp.Value(), " after ",
                                              last_.Value()));
    }
    last_ = timestamp;
    cc->Outputs().Index(0).AddPacket(
        MakePacket<int64_t>(cc->Inputs().Index(0).Value().Get<int64_t>() + 1).At(timestamp));
    return absl::OkStatus();
  }

 private:
  Timestamp last_ = Timestamp::Unset();
};
REGISTER_CALCULATOR(StressIncrementCalculator);

// Sums its inputs, which must all hold a packet at every timestamp it runs for.
class StressSumCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    for (CollectionItemId id = cc->Inputs().BeginId(); id < cc->Inputs().EndId(); ++id) {
      cc->Inputs().Get(id).Set<int64_t>();
    }
    cc->Outputs().Index(0).Set<int64_t>();
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    int64_t sum = 0;
    for (CollectionItemId id = cc->Inputs().BeginId(); id < cc->Inputs().EndId(); ++id) {
      if (cc->Inputs().Get(id).Value().IsEmpty()) {
        return absl::InternalError(
            absl::StrCat("input ", id.Value(), " empty at ", cc->InputTimestamp().Value()));
      }
      sum += cc->Inputs().Get(id).Value().Get<int64_t>();
    }
    cc->Outputs().Index(0).AddPacket(MakePacket<int64_t>(sum).At(cc->InputTimestamp()));
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(StressSumCalculator);

// Emits 0..N-1 at timestamps 0..N-1 (side packet "N") and stops.
class StressSourceCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Tag("N").Set<int64_t>();
    cc->Outputs().Index(0).Set<int64_t>();
    return absl::OkStatus();
  }
  absl::Status Open(CalculatorContext* cc) override {
    next_ = 0;
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    if (next_ >= cc->InputSidePackets().Tag("N").Get<int64_t>()) return tool::StatusStop();
    cc->Outputs().Index(0).AddPacket(MakePacket<int64_t>(next_).At(Timestamp(next_)));
    ++next_;
    return absl::OkStatus();
  }

 private:
  int64_t next_ = 0;
};
REGISTER_CALCULATOR(StressSourceCalculator);

namespace {

constexpr int64_t kPackets = 150;
constexpr int kRuns = 20;

// Counts the graph's reports of a resolved throttling deadlock.
class DeadlockReportCounter : public absl::LogSink {
 public:
  DeadlockReportCounter() { absl::AddLogSink(this); }
  ~DeadlockReportCounter() override { absl::RemoveLogSink(this); }
  void Send(const absl::LogEntry& entry) override {
    if (absl::StrContains(entry.text_message(), "Resolved a deadlock")) ++count_;
  }
  int count() const { return count_.load(); }

 private:
  std::atomic<int> count_{0};
};

// Which executor runs the graph: a default pool of `threads` workers, or (0) the thread that
// waits in the graph.
struct ExecutorCase {
  const char* name;
  int threads;
};

// A graph's shape: its configuration, whether a source node feeds it (else the graph input
// stream "in"), and the value its output carries for an input value v.
struct Shape {
  const char* name;
  std::function<pellumo::CalculatorGraphConfig(std::string* callback)> config;
  bool has_source;
  std::function<int64_t(int64_t)> expected;
};

pellumo::CalculatorGraphConfig::Node* AddNode(pellumo::CalculatorGraphConfig* config,
                                              const std::string& calculator,
                                              const std::vector<std::string>& inputs,
                                              const std::string& output) {
  pellumo::CalculatorGraphConfig::Node* node = config->add_node();
  node->set_calculator(calculator);
  for (const std::string& input : inputs) node->add_input_stream(input);
  node->add_output_stream(output);
  return node;
}

// `length` increments after `from`; returns the last stream.
std::string AddChain(pellumo::CalculatorGraphConfig* config, const std::string& from,
                     int length, const std::string& prefix) {
  std::string stream = from;
  for (int i = 0; i < length; ++i) {
    std::string next = absl::StrCat(prefix, i);
    AddNode(config, "StressIncrementCalculator", {stream}, next);
    stream = next;
  }
  return stream;
}

// Chains of the given lengths from `from`, summed.
std::string AddFanOutFanIn(pellumo::CalculatorGraphConfig* config, const std::string& from,
                           const std::vector<int>& lengths) {
  std::vector<std::string> ends;
  for (size_t b = 0; b < lengths.size(); ++b) {
    ends.push_back(AddChain(config, from, lengths[b], absl::StrCat("b", b, "_")));
  }
  AddNode(config, "StressSumCalculator", ends, "sum");
  return "sum";
}

const Shape kShapes[] = {
    {"Chain",
     [](std::string* callback) {
       pellumo::CalculatorGraphConfig config;
       config.add_input_stream("in");
       tool::AddCallbackCalculator(AddChain(&config, "in", 8, "s"), &config, callback, true);
       return config;
     },
     false, [](int64_t v) { return v + 8; }},
    {"FanOutFanIn",
     [](std::string* callback) {
       pellumo::CalculatorGraphConfig config;
       config.add_input_stream("in");
       tool::AddCallbackCalculator(AddFanOutFanIn(&config, "in", {1, 2, 3, 4}), &config,
                                   callback, true);
       return config;
     },
     false, [](int64_t v) { return 4 * v + 10; }},
    // Branches of one length: with queues of one packet, unequal ones would deadlock.
    {"ThrottledFanOutFanIn",
     [](std::string* callback) {
       pellumo::CalculatorGraphConfig config;
       config.add_input_stream("in");
       config.set_max_queue_size(1);
       tool::AddCallbackCalculator(AddFanOutFanIn(&config, "in", {2, 2, 2, 2}), &config,
                                   callback, true);
       return config;
     },
     false, [](int64_t v) { return 4 * v + 8; }},
    {"ThrottledSourceChain",
     [](std::string* callback) {
       pellumo::CalculatorGraphConfig config;
       config.set_max_queue_size(1);
       AddNode(&config, "StressSourceCalculator", {}, "source")->add_input_side_packet("N:n");
       tool::AddCallbackCalculator(AddChain(&config, "source", 4, "s"), &config, callback,
                                   true);
       return config;
     },
     true, [](int64_t v) { return v + 4; }},
};

const ExecutorCase kExecutors[] = {
    {"Pool1", 1}, {"Pool2", 2}, {"Pool8", 8}, {"ApplicationThread", 0}};

class GraphStressTest
    : public testing::TestWithParam<std::tuple<const Shape*, const ExecutorCase*>> {};

TEST_P(GraphStressTest, EveryRunDeliversEveryPacketInOrderAndEndsCleanly) {
  const Shape& shape = *std::get<0>(GetParam());
  const ExecutorCase& executor = *std::get<1>(GetParam());

  std::mutex mutex;
  std::vector<std::pair<int64_t, int64_t>> received;  // (timestamp, value)
  DeadlockReportCounter deadlock_reports;
  {
    std::string callback_name;
    pellumo::CalculatorGraphConfig config = shape.config(&callback_name);
    if (executor.threads == 0) {
      config.add_executor()->set_type("ApplicationThreadExecutor");
    } else {
      config.set_num_threads(executor.threads);
    }
    std::map<std::string, Packet> side_packets;
    side_packets[callback_name] =
        MakePacket<std::function<void(const Packet&)>>([&](const Packet& packet) {
          std::lock_guard<std::mutex> lock(mutex);
          received.emplace_back(packet.Timestamp().Value(), packet.Get<int64_t>());
        });
    side_packets["n"] = MakePacket<int64_t>(kPackets);

    CalculatorGraph graph;
    ASSERT_TRUE(graph.Initialize(config).ok());
    for (int run = 0; run < kRuns; ++run) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        received.clear();
      }
      absl::Status status = graph.StartRun(side_packets);
      ASSERT_TRUE(status.ok()) << status;
      if (!shape.has_source) {
        for (int64_t t = 0; t < kPackets; ++t) {
          status = graph.AddPacketToInputStream("in", MakePacket<int64_t>(t).At(Timestamp(t)));
          ASSERT_TRUE(status.ok()) << "run " << run << " packet " << t << ": " << status;
        }
      }
      status = graph.CloseAllInputStreams();
      ASSERT_TRUE(status.ok()) << status;
      status = graph.WaitUntilDone();
      ASSERT_TRUE(status.ok()) << "run " << run << ": " << status;

      std::lock_guard<std::mutex> lock(mutex);
      ASSERT_EQ(received.size(), static_cast<size_t>(kPackets)) << "run " << run;
      for (int64_t t = 0; t < kPackets; ++t) {
        ASSERT_EQ(received[t], std::make_pair(t, shape.expected(t)))
            << "run " << run << " position " << t;
      }
    }
  }
  // Every worker has been joined; the kernel may still list a joined thread for a moment.
  EXPECT_EQ(graph_test::CountThreadsNamedWhenSettled("pellumo", 0), 0);
  EXPECT_EQ(deadlock_reports.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    ShapesAndExecutors, GraphStressTest,
    testing::Combine(testing::ValuesIn([] {
                       std::vector<const Shape*> shapes;
                       for (const Shape& shape : kShapes) shapes.push_back(&shape);
                       return shapes;
                     }()),
                     testing::ValuesIn([] {
                       std::vector<const ExecutorCase*> executors;
                       for (const ExecutorCase& executor : kExecutors) {
                         executors.push_back(&executor);
                       }
                       return executors;
                     }())),
    [](const testing::TestParamInfo<GraphStressTest::ParamType>& info) {
      return absl::StrCat(std::get<0>(info.param)->name, "On",
                          std::get<1>(info.param)->name);
    });

}  // namespace
}  // namespace kaldren
