#include "graph/tool/sink.h"

#include <cstdio>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph/calculators/callback_packet_calculator.pb.h"
#include "graph/calculators/callback_packet_target.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using pellumo::CalculatorGraphConfig;
using pellumo::CalculatorGraphConfig_Node;
using pellumo::CallbackPacketCalculatorOptions;
using ::testing::ElementsAre;

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
