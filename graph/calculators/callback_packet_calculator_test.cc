#include "graph/calculators/callback_packet_calculator.h"

#include <cstdio>
#include <functional>
#include <type_traits>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph/calculator_context.h"
#include "graph/calculator_state.h"
#include "graph/calculators/callback_packet_calculator.pb.h"
#include "graph/tool/calculator_test_harness.h"
#include "graph/tool/sink.h"
#include "graph_config/tag_map.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using pellumo::CalculatorGraphConfig;
using pellumo::CalculatorGraphConfig_Node;
using pellumo::CallbackPacketCalculatorOptions;
using tool::CalculatorTestHarness;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using PacketCallback = std::function<void(const Packet&)>;

Packet IntAt(int value, Timestamp timestamp) { return MakePacket<int>(value).At(timestamp); }

std::vector<int64_t> Times(const std::vector<Packet>& packets) {
  std::vector<int64_t> times;
  for (const Packet& packet : packets) times.push_back(packet.Timestamp().Value());
  return times;
}

// The callback-packet node that a sink helper adds for `target`.
template <typename Target>
CalculatorGraphConfig_Node SinkNode(Target* target) {
  CalculatorGraphConfig config;
  if constexpr (std::is_same_v<Target, Packet>) {
    tool::AddPostStreamPacketSink("s", &config, target);
  } else {
    tool::AddVectorSink("s", &config, target);
  }
  return config.node(1);
}

CallbackPacketCalculatorOptions* MutableOptions(CalculatorGraphConfig_Node* node) {
  return node->mutable_options()->MutableExtension(CallbackPacketCalculatorOptions::ext);
}

TEST(CallbackPacketCalculatorTest, VectorFormAppendsEveryPacket) {
  std::vector<Packet> dumped;
  CalculatorTestHarness harness(SinkNode(&dumped));
  ASSERT_TRUE(harness.Open({}).ok());
  const Packet& callback = harness.OutputSidePacket(CollectionItemId(0));
  ASSERT_TRUE(callback.ValidateAsType<PacketCallback>().ok());
  EXPECT_TRUE(callback.Timestamp() == Timestamp::Unset());

  for (Timestamp t : {Timestamp(1), Timestamp(2), Timestamp::PostStream()}) {
    callback.Get<PacketCallback>()(IntAt(7, t));
  }
  EXPECT_THAT(Times(dumped), ElementsAre(1, 2, Timestamp::PostStream().Value()));
  EXPECT_TRUE(harness.Process({}).ok());
  EXPECT_TRUE(harness.Process({}).ok());
  EXPECT_TRUE(harness.errors().empty());
}

TEST(CallbackPacketCalculatorTest, PostStreamFormKeepsOnlyThePostStreamPacket) {
  Packet target = IntAt(0, Timestamp(0));
  CalculatorTestHarness harness(SinkNode(&target));
  ASSERT_TRUE(harness.Open({}).ok());
  const auto& callback = harness.OutputSidePacket(CollectionItemId(0)).Get<PacketCallback>();

  callback(IntAt(1, Timestamp(1)));
  callback(IntAt(2, Timestamp(2)));
  EXPECT_EQ(target.Get<int>(), 0);
  callback(IntAt(3, Timestamp::PostStream()));
  EXPECT_EQ(target.Get<int>(), 3);
  EXPECT_EQ(target.Timestamp(), Timestamp::PostStream());
}

TEST(CallbackPacketCalculatorTest, OnlyRegisteredTargetsOfTheRightKindAreWritten) {
  std::vector<Packet> dumped;
  Packet post_stream;
  CalculatorGraphConfig_Node vector_node = SinkNode(&dumped);
  const std::string vector_address = MutableOptions(&vector_node)->pointer();
  CalculatorGraphConfig_Node packet_node = SinkNode(&post_stream);
  const std::string packet_address = MutableOptions(&packet_node)->pointer();
  std::vector<Packet> unregistered;
  char unregistered_address[32];
  std::snprintf(unregistered_address, sizeof(unregistered_address), "%p", &unregistered);

  struct Case {
    std::string pointer;
    CallbackPacketCalculatorOptions::PointerType type;
  };
  const Case cases[] = {
      {"", CallbackPacketCalculatorOptions::VECTOR_PACKET},
      {"not an address", CallbackPacketCalculatorOptions::VECTOR_PACKET},
      // A forged address: a real vector that no sink helper registered.
      {unregistered_address, CallbackPacketCalculatorOptions::VECTOR_PACKET},
      // Registered, but for the other kind of target.
      {packet_address, CallbackPacketCalculatorOptions::VECTOR_PACKET},
      {vector_address, CallbackPacketCalculatorOptions::POST_STREAM_PACKET},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pointer);
    CalculatorGraphConfig_Node node = vector_node;
    MutableOptions(&node)->set_pointer(c.pointer);
    MutableOptions(&node)->set_type(c.type);
    CalculatorTestHarness harness(node);
    absl::Status status = harness.Open({});
    EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(status.message(), "Stored pointer value in options is invalid.");
    EXPECT_TRUE(harness.OutputSidePacket(CollectionItemId(0)).IsEmpty());
  }
}

TEST(CallbackPacketCalculatorTest, ContractNeedsAKnownTypeAndTheSidePacket) {
  std::vector<Packet> dumped;
  CalculatorGraphConfig_Node node = SinkNode(&dumped);
  MutableOptions(&node)->clear_type();
  absl::Status status = CalculatorTestHarness(node).GetContract();
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(), "Invalid type of callback to produce.");

  node = SinkNode(&dumped);
  node.clear_output_side_packet();
  status = CalculatorTestHarness(node).GetContract();
  EXPECT_FALSE(status.ok());
  EXPECT_THAT(std::string(status.message()), HasSubstr("ValidatePacketTypeSet failed"));
}

TEST(CallbackPacketCalculatorTest, OpenRefusesAnUnknownType) {
  // The contract refuses such a node first; Open refuses it on its own too.
  CalculatorGraphConfig_Node node;
  MutableOptions(&node)->set_pointer("0x1234");
  CalculatorState state("node", 0, "CallbackPacketCalculator", node, nullptr);
  auto no_streams = tool::TagMap::Create(google::protobuf::RepeatedPtrField<std::string>()).value();
  CalculatorContext context(&state, no_streams, no_streams);
  CallbackPacketCalculator calculator;
  absl::Status status = calculator.Open(&context);
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(), "Invalid type to dump into.");
}

TEST(CallbackPacketCalculatorOptionsTest, WireFormKeepsUnknownTypeValues) {
  CallbackPacketCalculatorOptions options;
  options.set_type(CallbackPacketCalculatorOptions::VECTOR_PACKET);
  options.set_pointer("0x1");
  EXPECT_EQ(options.SerializeAsString(), std::string("\x08\x01\x12\x03" "0x1", 7));

  // type 7 is no PointerType: the field stays unset and the value is kept.
  const std::string wire("\x08\x07", 2);
  ASSERT_TRUE(options.ParseFromString(wire));
  EXPECT_FALSE(options.has_type());
  EXPECT_EQ(options.type(), CallbackPacketCalculatorOptions::UNKNOWN);
  EXPECT_EQ(options.SerializeAsString(), wire);

  EXPECT_EQ(pellumo::CallbackPacketCalculatorOptions_PointerType_Name(
                CallbackPacketCalculatorOptions::POST_STREAM_PACKET),
            "POST_STREAM_PACKET");
  EXPECT_FALSE(pellumo::CallbackPacketCalculatorOptions_PointerType_IsValid(3));
}

}  // namespace
}  // namespace kaldren
