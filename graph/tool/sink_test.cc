#include "graph/tool/sink.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph/calculators/callback_packet_calculator.pb.h"
#include "graph/calculators/callback_packet_calculator.h"
#include "graph/tool/calculator_test_harness.h"
#include "graph/tool/legacy_callback.h"
#include "graph_config/status_util.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using pellumo::CalculatorGraphConfig;
using pellumo::CalculatorGraphConfig_Node;
using pellumo::CallbackPacketCalculatorOptions;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> NodeNames(const CalculatorGraphConfig& config) {
  std::vector<std::string> names;
  for (const auto& node : config.node()) names.push_back(node.name());
  return names;
}

std::string AddressText(const void* address) {
  char text[32];
  std::snprintf(text, sizeof(text), "%p", address);
  return text;
}

TEST(SinkTest, CallbackCalculatorNamesNodeAndSidePacketAndAvoidsCollisions) {
  CalculatorGraphConfig config;
  std::string first, second, legacy;
  AddCallbackCalculator("foo", &config, &first, /*use_std_function=*/true);
  AddCallbackCalculator("foo", &config, &second, /*use_std_function=*/true);
  AddCallbackCalculator("foo", &config, &legacy);

  EXPECT_EQ(first, "foo_callback");
  EXPECT_EQ(second, "foo_callback_02");
  EXPECT_EQ(legacy, "foo_callback_03");
  EXPECT_THAT(NodeNames(config),
              ElementsAre("callback_calculator_that_collects_stream_foo",
                          "callback_calculator_that_collects_stream_foo_02",
                          "callback_calculator_that_collects_stream_foo_03"));
  for (const auto& node : config.node()) {
    EXPECT_EQ(node.calculator(), "CallbackCalculator");
    EXPECT_THAT(node.input_stream(), ElementsAre("foo"));
    EXPECT_TRUE(node.output_stream().empty());
  }
  EXPECT_THAT(config.node(0).input_side_packet(), ElementsAre("CALLBACK:foo_callback"));
  EXPECT_THAT(config.node(1).input_side_packet(), ElementsAre("CALLBACK:foo_callback_02"));
  EXPECT_THAT(config.node(2).input_side_packet(), ElementsAre("foo_callback_03"));
}

TEST(SinkTest, SinksAddCallbackPacketNodeWithRegisteredAddress) {
  CalculatorGraphConfig config;
  std::vector<Packet> dumped;
  Packet post_stream;
  AddVectorSink("foo", &config, &dumped);
  AddPostStreamPacketSink("foo", &config, &post_stream);

  EXPECT_THAT(NodeNames(config),
              ElementsAre("callback_calculator_that_collects_stream_foo",
                          "callback_packet_calculator_that_generators_foo_callback",
                          "callback_calculator_that_collects_stream_foo_02",
                          "callback_packet_calculator_that_generators_foo_callback_02"));
  struct Expected {
    int node;
    std::string side_packet;
    CallbackPacketCalculatorOptions::PointerType type;
    const void* target;
  };
  const Expected expected[] = {
      {1, "foo_callback", CallbackPacketCalculatorOptions::VECTOR_PACKET, &dumped},
      {3, "foo_callback_02", CallbackPacketCalculatorOptions::POST_STREAM_PACKET, &post_stream},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.side_packet);
    const CalculatorGraphConfig_Node& node = config.node(e.node);
    EXPECT_THAT(config.node(e.node - 1).input_side_packet(),
                ElementsAre("CALLBACK:" + e.side_packet));
    EXPECT_EQ(node.calculator(), "CallbackPacketCalculator");
    EXPECT_TRUE(node.input_stream().empty());
    EXPECT_TRUE(node.input_side_packet().empty());
    EXPECT_THAT(node.output_side_packet(), ElementsAre(e.side_packet));
    const auto& options = node.options().GetExtension(CallbackPacketCalculatorOptions::ext);
    EXPECT_EQ(options.type(), e.type);
    EXPECT_EQ(options.pointer(), AddressText(e.target));
    EXPECT_TRUE(IsRegisteredCallbackPacketTarget(e.type, e.target));
  }
  // Each address is registered for its own kind of target only.
  EXPECT_FALSE(
      IsRegisteredCallbackPacketTarget(CallbackPacketCalculatorOptions::VECTOR_PACKET, &post_stream));
  EXPECT_FALSE(
      IsRegisteredCallbackPacketTarget(CallbackPacketCalculatorOptions::POST_STREAM_PACKET, &dumped));
}

TEST(SinkTest, SidePacketSinkConvertsSidePacketToStream) {
  CalculatorGraphConfig config;
  // Another node already reads a side packet named "x".
  config.add_node()->add_input_side_packet("TAG:x");
  Packet dumped;
  AddSidePacketSink("x", &config, &dumped);

  ASSERT_EQ(config.node_size(), 4);
  const CalculatorGraphConfig_Node& converter = config.node(1);
  EXPECT_EQ(converter.name(), "calculator_converts_side_packet_x");
  EXPECT_EQ(converter.calculator(), "PellumoInternalSidePacketToPacketStreamCalculator");
  EXPECT_THAT(converter.input_side_packet(), ElementsAre("x_02"));
  EXPECT_THAT(converter.output_stream(),
              ElementsAre("calculator_converts_side_packet_x_output_stream"));
  EXPECT_EQ(config.node(2).name(),
            "callback_calculator_that_collects_stream_calculator_converts_side_packet_x_output_"
            "stream");
  EXPECT_THAT(config.node(2).input_stream(),
              ElementsAre("calculator_converts_side_packet_x_output_stream"));
  EXPECT_EQ(config.node(3).calculator(), "CallbackPacketCalculator");
  EXPECT_EQ(config.node(3)
                .options()
                .GetExtension(CallbackPacketCalculatorOptions::ext)
                .type(),
            CallbackPacketCalculatorOptions::POST_STREAM_PACKET);
}

TEST(SinkTest, MultiStreamCallbackNamesSidePacketAfterNode) {
  CalculatorGraphConfig config;
  config.add_node()->set_name("multi_callback_a_b");
  std::vector<std::vector<Packet>> calls;
  std::pair<std::string, Packet> side_packet;
  AddMultiStreamCallback(
      {"a", "b"}, [&calls](const std::vector<Packet>& packets) { calls.push_back(packets); },
      &config, &side_packet);

  const CalculatorGraphConfig_Node& node = config.node(1);
  EXPECT_EQ(node.name(), "multi_callback_a_b_02");
  EXPECT_EQ(node.calculator(), "CallbackCalculator");
  EXPECT_THAT(node.input_stream(), ElementsAre("a", "b"));
  EXPECT_EQ(side_packet.first, "multi_callback_a_b_02_callback");
  EXPECT_THAT(node.input_side_packet(),
              ElementsAre("VECTOR_CALLBACK:multi_callback_a_b_02_callback"));
  side_packet.second.Get<std::function<void(const std::vector<Packet>&)>>()(
      {MakePacket<int>(1)});
  ASSERT_EQ(calls.size(), 1);
  EXPECT_EQ(calls[0][0].Get<int>(), 1);
}

TEST(SinkTest, CallbackWithHeaderNamesStreamsByTag) {
  CalculatorGraphConfig config;
  std::string tagged, legacy;
  AddCallbackWithHeaderCalculator("s", "h", &config, &tagged, /*use_std_function=*/true);
  AddCallbackWithHeaderCalculator("s", "h", &config, &legacy);

  EXPECT_THAT(NodeNames(config),
              ElementsAre("callback_calculator_that_collects_stream_and_header_s_h",
                          "callback_calculator_that_collects_stream_and_header_s_h_02"));
  EXPECT_EQ(config.node(0).calculator(), "CallbackWithHeaderCalculator");
  EXPECT_THAT(config.node(0).input_stream(), ElementsAre("INPUT:s", "HEADER:h"));
  EXPECT_EQ(tagged, "s_h_callback");
  EXPECT_EQ(legacy, "s_h_callback_02");
  EXPECT_THAT(config.node(0).input_side_packet(), ElementsAre("CALLBACK:s_h_callback"));
  EXPECT_THAT(config.node(1).input_side_packet(), ElementsAre("s_h_callback_02"));
}

Packet IntAt(int value, int64_t t) { return MakePacket<int>(value).At(Timestamp(t)); }

using PacketCallback = std::function<void(const Packet&)>;
using VectorCallback = std::function<void(const std::vector<Packet>&)>;
using HeaderCallback = std::function<void(const Packet&, const Packet&)>;

// The only node of a configuration that a helper built.
CalculatorGraphConfig_Node OnlyNode(const CalculatorGraphConfig& config) {
  CHECK_EQ(config.node_size(), 1);
  return config.node(0);
}

class RecordingCallback : public Callback1<const Packet&> {
 public:
  explicit RecordingCallback(std::vector<int>* values) : values_(values) {}
  void Run(const Packet& packet) override { values_->push_back(packet.Get<int>()); }

 private:
  std::vector<int>* values_;
};

class RecordingHeaderCallback : public Callback2<const Packet&, const Packet&> {
 public:
  explicit RecordingHeaderCallback(std::vector<std::string>* calls) : calls_(calls) {}
  void Run(const Packet& packet, const Packet& header) override {
    calls_->push_back(std::to_string(packet.Get<int>()) + "/" +
                      std::to_string(header.Get<int>()));
  }

 private:
  std::vector<std::string>* calls_;
};

TEST(CallbackCalculatorTest, CallsTheFunctionOrTheLegacyCallbackForEveryPacket) {
  for (bool use_std_function : {true, false}) {
    SCOPED_TRACE(use_std_function);
    CalculatorGraphConfig config;
    std::string side_packet_name;
    AddCallbackCalculator("s", &config, &side_packet_name, use_std_function);
    std::vector<int> values;
    Packet callback =
        use_std_function
            ? MakePacket<PacketCallback>(
                  [&values](const Packet& packet) { values.push_back(packet.Get<int>()); })
            : Adopt(new std::unique_ptr<Callback1<const Packet&>>(
                  std::make_unique<RecordingCallback>(&values)));

    CalculatorTestHarness harness(OnlyNode(config));
    ASSERT_TRUE(harness.Open({{side_packet_name, callback}}).ok());
    ASSERT_TRUE(harness.Process({IntAt(1, 10)}).ok());
    ASSERT_TRUE(harness.Process({IntAt(2, 20)}).ok());
    ASSERT_TRUE(harness.Close().ok());
    EXPECT_THAT(values, ElementsAre(1, 2));
  }
}

TEST(CallbackCalculatorTest, EmptyCallbackFailsOpen) {
  const std::pair<bool, Packet> cases[] = {
      {true, MakePacket<PacketCallback>()},
      {false, Adopt(new std::unique_ptr<Callback1<const Packet&>>())},
  };
  for (const auto& [use_std_function, callback] : cases) {
    SCOPED_TRACE(use_std_function);
    CalculatorGraphConfig config;
    std::string side_packet_name;
    AddCallbackCalculator("s", &config, &side_packet_name, use_std_function);
    CalculatorTestHarness harness(OnlyNode(config));
    absl::Status status = harness.Open({{side_packet_name, callback}});
    EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(status.message(), "missing callback.");
  }
}

TEST(CallbackCalculatorTest, VectorCallbackGetsOnePacketPerStream) {
  CalculatorGraphConfig config;
  std::pair<std::string, Packet> side_packet;
  std::vector<std::vector<Packet>> calls;
  AddMultiStreamCallback(
      {"a", "b"}, [&calls](const std::vector<Packet>& packets) { calls.push_back(packets); },
      &config, &side_packet);
  CalculatorTestHarness harness(OnlyNode(config));
  ASSERT_TRUE(harness.Open({{side_packet.first, side_packet.second}}).ok());
  ASSERT_TRUE(harness.Process({IntAt(1, 10), IntAt(2, 10)}).ok());
  ASSERT_TRUE(harness.Process({Packet(), IntAt(3, 20)}).ok());

  ASSERT_EQ(calls.size(), 2);
  ASSERT_EQ(calls[1].size(), 2);
  EXPECT_EQ(calls[0][0].Get<int>(), 1);
  EXPECT_EQ(calls[0][1].Get<int>(), 2);
  EXPECT_TRUE(calls[1][0].IsEmpty());
  EXPECT_EQ(calls[1][1].Get<int>(), 3);
}

TEST(CallbackCalculatorTest, ContractRefusesNodesThatDoNotFit) {
  struct Case {
    std::string name;
    std::vector<std::string> inputs;
    std::vector<std::string> side_packets;
  };
  const Case cases[] = {
      {"both callback kinds", {"a"}, {"CALLBACK:f", "VECTOR_CALLBACK:g"}},
      {"a tagged input", {"IN:a"}, {"CALLBACK:f"}},
      {"two inputs for a single-packet callback", {"a", "b"}, {"CALLBACK:f"}},
      {"a legacy callback beside another side packet", {"a"}, {"f", "g"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CalculatorGraphConfig_Node node;
    node.set_calculator("CallbackCalculator");
    for (const std::string& input : c.inputs) node.add_input_stream(input);
    for (const std::string& side_packet : c.side_packets) node.add_input_side_packet(side_packet);
    absl::Status status = CalculatorTestHarness(node).GetContract();
    EXPECT_FALSE(status.ok());
    EXPECT_THAT(std::string(status.message()), HasSubstr("ValidatePacketTypeSet failed"));
  }
}

class CallbackWithHeaderTest : public ::testing::Test {
 protected:
  // Opens a header callback node whose callback records "value/header".
  absl::Status Open(bool use_std_function, const Packet& input_header = Packet()) {
    CalculatorGraphConfig config;
    std::string side_packet_name;
    AddCallbackWithHeaderCalculator("s", "h", &config, &side_packet_name, use_std_function);
    Packet callback =
        use_std_function
            ? MakePacket<HeaderCallback>([this](const Packet& packet, const Packet& header) {
                calls_.push_back(std::to_string(packet.Get<int>()) + "/" +
                                 std::to_string(header.Get<int>()));
              })
            : Adopt(new std::unique_ptr<Callback2<const Packet&, const Packet&>>(
                  std::make_unique<RecordingHeaderCallback>(&calls_)));
    harness_ = std::make_unique<CalculatorTestHarness>(OnlyNode(config));
    // Input ids: "HEADER" 0, "INPUT" 1.
    if (!input_header.IsEmpty()) harness_->SetInputHeader(CollectionItemId(1), input_header);
    return harness_->Open({{side_packet_name, callback}});
  }

  // Inputs in id order: "HEADER" then "INPUT".
  absl::Status Process(const Packet& input, const Packet& header) {
    return harness_->Process({header, input});
  }

  std::unique_ptr<CalculatorTestHarness> harness_;
  std::vector<std::string> calls_;
};

TEST_F(CallbackWithHeaderTest, FirstHeaderPacketGoesWithEveryLaterInput) {
  for (bool use_std_function : {true, false}) {
    SCOPED_TRACE(use_std_function);
    calls_.clear();
    ASSERT_TRUE(Open(use_std_function).ok());
    ASSERT_TRUE(Process(Packet(), MakePacket<int>(100).At(Timestamp::PreStream())).ok());
    ASSERT_TRUE(Process(IntAt(1, 10), Packet()).ok());
    // Later header packets are ignored.
    ASSERT_TRUE(Process(IntAt(2, 20), IntAt(200, 20)).ok());
    EXPECT_THAT(calls_, ElementsAre("1/100", "2/100"));
  }
}

TEST_F(CallbackWithHeaderTest, HeaderOfTheInputStreamNeedsNoHeaderPacket) {
  ASSERT_TRUE(Open(true, MakePacket<int>(7)).ok());
  ASSERT_TRUE(Process(IntAt(1, 10), Packet()).ok());
  ASSERT_TRUE(Process(IntAt(2, 20), IntAt(200, 20)).ok());
  EXPECT_THAT(calls_, ElementsAre("1/7", "2/7"));
}

TEST_F(CallbackWithHeaderTest, InputBeforeAnyHeaderFails) {
  ASSERT_TRUE(Open(true).ok());
  // Also when the first header packet comes at the same timestamp.
  absl::Status status = Process(IntAt(1, 10), IntAt(100, 10));
  EXPECT_EQ(status.code(), absl::StatusCode::kUnknown);
  EXPECT_EQ(status.message(), "Header not available!");
  EXPECT_THAT(calls_, ::testing::IsEmpty());
}

TEST_F(CallbackWithHeaderTest, EmptyCallbackFailsOpen) {
  CalculatorGraphConfig config;
  std::string side_packet_name;
  AddCallbackWithHeaderCalculator("s", "h", &config, &side_packet_name, true);
  CalculatorTestHarness harness(OnlyNode(config));
  absl::Status status = harness.Open({{side_packet_name, MakePacket<HeaderCallback>()}});
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(), "callback is nullptr.");
}

TEST(SidePacketToStreamTest, EmitsTheSidePacketOnceAtPostStreamAndCloses) {
  CalculatorGraphConfig config;
  Packet dumped;
  AddSidePacketSink("x", &config, &dumped);
  CalculatorTestHarness harness(config.node(0));
  ASSERT_TRUE(harness.Open({{"x", MakePacket<int>(5)}}).ok());

  const std::vector<Packet>& emitted = harness.Emitted(CollectionItemId(0));
  ASSERT_EQ(emitted.size(), 1);
  EXPECT_EQ(emitted[0].Get<int>(), 5);
  EXPECT_EQ(emitted[0].Timestamp(), Timestamp::PostStream());
  EXPECT_TRUE(harness.OutputClosed(CollectionItemId(0)));
  EXPECT_EQ(harness.Process({}), StatusStop());
  EXPECT_TRUE(harness.errors().empty());
}

TEST(SinkDeathTest, NullArgumentsAndEmptyStreamListAreFatal) {
  CalculatorGraphConfig config;
  std::string name;
  std::vector<Packet> vector;
  Packet packet;
  std::pair<std::string, Packet> side_packet;
  auto callback = [](const std::vector<Packet>&) {};
  EXPECT_DEATH(AddCallbackCalculator("s", nullptr, &name), "Check failed: config");
  EXPECT_DEATH(AddCallbackCalculator("s", &config, nullptr),
               "Check failed: callback_side_packet_name");
  EXPECT_DEATH(AddVectorSink("s", &config, nullptr), "Check failed: dumped_data");
  EXPECT_DEATH(AddPostStreamPacketSink("s", &config, nullptr),
               "Check failed: post_stream_packet");
  EXPECT_DEATH(AddSidePacketSink("s", nullptr, &packet), "Check failed: config");
  EXPECT_DEATH(AddSidePacketSink("s", &config, nullptr), "Check failed: dumped_packet");
  EXPECT_DEATH(AddMultiStreamCallback({"a"}, callback, &config, nullptr),
               "Check failed: side_packet");
  EXPECT_DEATH(AddMultiStreamCallback({}, callback, &config, &side_packet),
               "needs at least one stream");
  EXPECT_DEATH(AddCallbackWithHeaderCalculator("s", "h", &config, nullptr),
               "Check failed: callback_side_packet_name");
  EXPECT_EQ(config.node_size(), 0);
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
