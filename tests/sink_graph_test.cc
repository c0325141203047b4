// What leaves and enters running graphs around the nodes: the sink and callback helpers,
// the side-packets-to-streams calculator, graph output streams and packet generators.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "graph/calculator_graph.h"
#include "graph/graph_output_stream.h"
#include "graph/packet.h"
#include "graph/packet_generator.h"
#include "graph/tool/sink.h"
#include "graph_config/calculator.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using ::testing::ElementsAre;

Packet IntAt(int value, int64_t t) { return MakePacket<int>(value).At(Timestamp(t)); }

std::vector<int> Values(const std::vector<Packet>& packets) {
  std::vector<int> values;
  for (const Packet& packet : packets) values.push_back(packet.Get<int>());
  return values;
}

std::vector<int64_t> Times(const std::vector<Packet>& packets) {
  std::vector<int64_t> times;
  for (const Packet& packet : packets) times.push_back(packet.Timestamp().Value());
  return times;
}

pellumo::CalculatorGraphConfig InputGraph() {
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("in");
  return config;
}

// Runs `config` with `side_packets`, feeding `inputs` to its graph input stream "in", if
// any, and closing it.
void RunGraph(CalculatorGraph* graph, const pellumo::CalculatorGraphConfig& config,
              const std::map<std::string, Packet>& side_packets,
              const std::vector<Packet>& inputs = {}) {
  absl::Status status = graph->Initialize(config);
  ASSERT_TRUE(status.ok()) << status;
  status = graph->StartRun(side_packets);
  ASSERT_TRUE(status.ok()) << status;
  for (const Packet& packet : inputs) ASSERT_TRUE(graph->AddPacketToInputStream("in", packet).ok());
  ASSERT_TRUE(graph->CloseAllInputStreams().ok());
  status = graph->WaitUntilDone();
  ASSERT_TRUE(status.ok()) << status;
}

TEST(SinkGraphTest, VectorSinkAndCallbackSeeEveryPacketInOrder) {
  pellumo::CalculatorGraphConfig config = InputGraph();
  std::vector<Packet> dumped;
  AddVectorSink("in", &config, &dumped);
  std::string callback_name;
  AddCallbackCalculator("in", &config, &callback_name, /*use_std_function=*/true);
  std::mutex mutex;
  std::vector<int64_t> called;
  std::function<void(const Packet&)> callback = [&](const Packet& packet) {
    std::lock_guard<std::mutex> lock(mutex);
    called.push_back(packet.Timestamp().Value());
  };

  CalculatorGraph graph;
  RunGraph(&graph, config, {{callback_name, MakePacket<std::function<void(const Packet&)>>(callback)}},
           {IntAt(1, 10), IntAt(2, 20), IntAt(3, 30)});
  EXPECT_THAT(Values(dumped), ElementsAre(1, 2, 3));
  EXPECT_THAT(called, ElementsAre(10, 20, 30));
}

TEST(SinkGraphTest, SidePacketSinkKeepsTheSidePacketAtPostStream) {
  pellumo::CalculatorGraphConfig config;
  Packet dumped;
  AddSidePacketSink("x", &config, &dumped);
  CalculatorGraph graph;
  RunGraph(&graph, config, {{"x", MakePacket<int>(5)}});
  ASSERT_FALSE(dumped.IsEmpty());
  EXPECT_EQ(dumped.Get<int>(), 5);
  EXPECT_EQ(dumped.Timestamp(), Timestamp::PostStream());
}

TEST(SinkGraphTest, SidePacketsToStreamsFeedsStreams) {
  pellumo::CalculatorGraphConfig config;
  pellumo::CalculatorGraphConfig_Node* node = config.add_node();
  node->set_calculator("SidePacketsToStreamsCalculator");
  node->add_input_side_packet("values");
  node->add_output_stream("out");
  std::vector<Packet> dumped;
  AddVectorSink("out", &config, &dumped);

  CalculatorGraph graph;
  RunGraph(&graph, config,
           {{"values", MakePacket<std::vector<Packet>>(
                           std::vector<Packet>{MakePacket<int>(4), MakePacket<int>(5),
                                               MakePacket<int>(6)})}});
  EXPECT_THAT(Values(dumped), ElementsAre(4, 5, 6));
  EXPECT_THAT(Times(dumped), ElementsAre(0, 1, 2));
}

TEST(GraphOutputStreamGraphTest, ObserverAndPollerOfAGraph) {
  CalculatorGraph graph;
  ASSERT_TRUE(graph.Initialize(InputGraph()).ok());
  std::vector<int> observed;
  ASSERT_TRUE(graph
                  .ObserveOutputStream("in",
                                       [&observed](const Packet& packet) {
                                         observed.push_back(packet.Get<int>());
                                         return absl::OkStatus();
                                       })
                  .ok());
  util::StatusOr<OutputStreamPoller> poller = graph.AddOutputStreamPoller("in");
  ASSERT_TRUE(poller.ok());

  ASSERT_TRUE(graph.StartRun({}).ok());
  for (int t = 1; t <= 3; ++t) ASSERT_TRUE(graph.AddPacketToInputStream("in", IntAt(t, t)).ok());
  ASSERT_TRUE(graph.CloseAllInputStreams().ok());
  ASSERT_TRUE(graph.WaitUntilDone().ok());
  EXPECT_THAT(observed, ElementsAre(1, 2, 3));

  // The run is over; the poller still hands out what it queued, then ends.
  std::vector<int> polled;
  Packet packet;
  while (poller->Next(&packet)) polled.push_back(packet.Get<int>());
  EXPECT_THAT(polled, ElementsAre(1, 2, 3));
}

// Makes its int side packet plus one.
struct PlusOneGenerator {
  static absl::Status FillExpectations(const pellumo::PacketGeneratorOptions&,
                                       PacketTypeSet* inputs, PacketTypeSet* outputs) {
    inputs->Index(0).Set<int>();
    outputs->Index(0).Set<int>();
    return absl::OkStatus();
  }
  static absl::Status Generate(const pellumo::PacketGeneratorOptions&, const PacketSet& inputs,
                               PacketSet* outputs) {
    outputs->Index(0) = MakePacket<int>(inputs.Index(0).Get<int>() + 1);
    return absl::OkStatus();
  }
};
REGISTER_PACKET_GENERATOR(PlusOneGenerator);

TEST(PacketGeneratorGraphTest, GeneratorsRunAtInitializationOrAtRunStart) {
  pellumo::CalculatorGraphConfig config;
  for (const auto& [input, output] :
       std::vector<std::pair<std::string, std::string>>{{"a", "b"}, {"r", "s"}}) {
    pellumo::PacketGeneratorConfig* generator = config.add_packet_generator();
    generator->set_packet_generator("PlusOneGenerator");
    generator->add_input_side_packet(input);
    generator->add_output_side_packet(output);
  }
  Packet dumped;
  AddSidePacketSink("s", &config, &dumped);

  CalculatorGraph graph;
  ASSERT_TRUE(graph.Initialize(config, {{"a", MakePacket<int>(1)}}).ok());
  // "b" was made at initialisation; "s" waits for "r".
  util::StatusOr<Packet> b = graph.GetOutputSidePacket("b");
  ASSERT_TRUE(b.ok()) << b.status();
  EXPECT_EQ(b->Get<int>(), 2);
  EXPECT_FALSE(graph.GetOutputSidePacket("s").ok());

  for (int r : {10, 20}) {
    absl::Status status = graph.Run({{"r", MakePacket<int>(r)}});
    ASSERT_TRUE(status.ok()) << status;
    ASSERT_FALSE(dumped.IsEmpty());
    EXPECT_EQ(dumped.Get<int>(), r + 1);
  }
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
