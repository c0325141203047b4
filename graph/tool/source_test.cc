#include "graph/tool/source.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph/tool/calculator_test_harness.h"
#include "graph/tool/source.pb.h"
#include "graph_config/status_util.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using pellumo::CalculatorGraphConfig_Node;
using pellumo::SidePacketsToStreamsCalculatorOptions;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Options = SidePacketsToStreamsCalculatorOptions;

// "value@timestamp" for every packet.
std::vector<std::string> Describe(const std::vector<Packet>& packets) {
  std::vector<std::string> texts;
  for (const Packet& packet : packets) {
    texts.push_back(std::to_string(packet.Get<int>()) + "@" + packet.Timestamp().DebugString());
  }
  return texts;
}

Packet Ints(const std::vector<int>& values) {
  std::vector<Packet> packets;
  for (int value : values) packets.push_back(MakePacket<int>(value));
  return MakePacket<std::vector<Packet>>(std::move(packets));
}

CalculatorGraphConfig_Node MakeNode(int side_packets, int outputs,
                                    void (*set)(Options*) = nullptr) {
  CalculatorGraphConfig_Node node;
  node.set_calculator("SidePacketsToStreamsCalculator");
  for (int i = 0; i < side_packets; ++i) node.add_input_side_packet("side" + std::to_string(i));
  for (int i = 0; i < outputs; ++i) node.add_output_stream("out" + std::to_string(i));
  if (set != nullptr) set(node.mutable_options()->MutableExtension(Options::ext));
  return node;
}

TEST(SidePacketsToStreamsTest, VectorsAreEmittedAtTheirIndexes) {
  CalculatorTestHarness harness(MakeNode(2, 2));
  ASSERT_TRUE(harness.Open({{"side0", Ints({1, 2, 3})}, {"side1", Ints({4, 5, 6})}}).ok());
  EXPECT_EQ(harness.Process({}), StatusStop());
  EXPECT_THAT(Describe(harness.Emitted(CollectionItemId(0))), ElementsAre("1@0", "2@1", "3@2"));
  EXPECT_THAT(Describe(harness.Emitted(CollectionItemId(1))), ElementsAre("4@0", "5@1", "6@2"));
  EXPECT_TRUE(harness.errors().empty());
}

TEST(SidePacketsToStreamsTest, VectorsOfDifferentSizesEmitNothing) {
  CalculatorTestHarness harness(MakeNode(2, 2));
  ASSERT_TRUE(harness.Open({{"side0", Ints({1, 2, 3})}, {"side1", Ints({4, 5})}}).ok());
  absl::Status status = harness.Process({});
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(), "The specified input side packets contain vectors of different sizes.");
  EXPECT_THAT(harness.Emitted(CollectionItemId(0)), IsEmpty());
}

TEST(SidePacketsToStreamsTest, NothingToEmitStopsAtOnce) {
  CalculatorTestHarness empty_vectors(MakeNode(1, 1));
  ASSERT_TRUE(empty_vectors.Open({{"side0", Ints({})}}).ok());
  EXPECT_EQ(empty_vectors.Process({}), StatusStop());
  EXPECT_THAT(empty_vectors.Emitted(CollectionItemId(0)), IsEmpty());

  CalculatorTestHarness no_side_packets(MakeNode(0, 0));
  ASSERT_TRUE(no_side_packets.Open({}).ok());
  EXPECT_EQ(no_side_packets.Process({}), StatusStop());
}

TEST(SidePacketsToStreamsTest, SidePacketsThemselvesAtTheChosenTimestamp) {
  struct Case {
    Options::SetTimestampMode mode;
    std::string expected;
  };
  const Case cases[] = {
      {Options::VECTOR_INDEX, "7@0"},
      {Options::PRE_STREAM, "7@Timestamp::PreStream()"},
      {Options::WHOLE_STREAM, "7@Timestamp::PostStream()"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    CalculatorGraphConfig_Node node = MakeNode(1, 1, [](Options* o) {
      o->set_vectors_of_packets(false);
    });
    node.mutable_options()->MutableExtension(Options::ext)->set_set_timestamp(c.mode);
    CalculatorTestHarness harness(node);
    ASSERT_TRUE(harness.Open({{"side0", MakePacket<int>(7)}}).ok());
    EXPECT_EQ(harness.Process({}), StatusStop());
    EXPECT_THAT(Describe(harness.Emitted(CollectionItemId(0))), ElementsAre(c.expected));
    // The output stream takes the side packet's type.
    EXPECT_EQ(harness.contract().Outputs().Index(0).GetSameAs(),
              &harness.contract().InputSidePackets().Index(0));
  }
}

TEST(SidePacketsToStreamsTest, NoneKeepsEachPacketsOwnTimestamp) {
  CalculatorTestHarness harness(
      MakeNode(1, 1, [](Options* o) { o->set_set_timestamp(Options::NONE); }));
  std::vector<Packet> packets = {MakePacket<int>(1).At(Timestamp(5)),
                                 MakePacket<int>(2).At(Timestamp(9))};
  ASSERT_TRUE(harness.Open({{"side0", MakePacket<std::vector<Packet>>(packets)}}).ok());
  EXPECT_EQ(harness.Process({}), StatusStop());
  EXPECT_THAT(Describe(harness.Emitted(CollectionItemId(0))), ElementsAre("1@5", "2@9"));
}

TEST(SidePacketsToStreamsTest, ContractRefusesMismatchedNodes) {
  struct Case {
    std::string name;
    CalculatorGraphConfig_Node node;
    std::string message;
  };
  const Case cases[] = {
      {"num_inputs differs from the side packets",
       MakeNode(3, 2, [](Options* o) { o->set_num_inputs(2); }),
       "If num_inputs is specified it must be equal to the number of input side packets and "
       "output streams."},
      {"num_inputs differs from the outputs",
       MakeNode(2, 3, [](Options* o) { o->set_num_inputs(2); }),
       "If num_inputs is specified it must be equal to the number of input side packets and "
       "output streams."},
      {"no vectors and no timestamps",
       MakeNode(1, 1,
                [](Options* o) {
                  o->set_vectors_of_packets(false);
                  o->set_set_timestamp(Options::NONE);
                }),
       "If set_timestamp is NONE, vectors_of_packets must not be false."},
      {"an output stream without a side packet", MakeNode(2, 3), "ValidatePacketTypeSet failed"},
      {"a side packet without an output stream", MakeNode(3, 2), "ValidatePacketTypeSet failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    absl::Status status = CalculatorTestHarness(c.node).GetContract();
    EXPECT_FALSE(status.ok());
    EXPECT_THAT(std::string(status.message()), HasSubstr(c.message));
  }
}

TEST(SidePacketsToStreamsTest, ContractOfTheClassMatchesTheRegisteredOne) {
  // Called directly, which also links the registering object into this test.
  const CalculatorGraphConfig_Node node = MakeNode(2, 2);
  CalculatorContract contract;
  ASSERT_TRUE(contract.Initialize(node).ok());
  ASSERT_TRUE(SidePacketsToStreamsCalculator::GetContract(&contract).ok());
  EXPECT_TRUE(contract.InputSidePackets().Index(1).Validate(Ints({1})).ok());
  EXPECT_FALSE(contract.InputSidePackets().Index(1).Validate(MakePacket<int>(1)).ok());
  EXPECT_TRUE(contract.Outputs().Index(1).IsAny());
}

TEST(SidePacketsToStreamsTest, SidePacketThatIsNoVectorIsRefusedBeforeOpen) {
  CalculatorTestHarness harness(MakeNode(1, 1));
  EXPECT_FALSE(harness.Open({{"side0", MakePacket<int>(1)}}).ok());
}

TEST(SidePacketsToStreamsOptionsTest, WireFormKeepsUnknownModes) {
  Options options;
  EXPECT_EQ(options.num_inputs(), 1);
  EXPECT_EQ(options.set_timestamp(), Options::VECTOR_INDEX);
  EXPECT_TRUE(options.vectors_of_packets());

  const std::string wire("\x10\x07", 2);
  ASSERT_TRUE(options.ParseFromString(wire));
  EXPECT_FALSE(options.has_set_timestamp());
  EXPECT_EQ(options.set_timestamp(), Options::VECTOR_INDEX);
  EXPECT_EQ(options.SerializeAsString(), wire);

  options.Clear();
  options.set_num_inputs(-1);
  options.set_vectors_of_packets(false);
  // A negative int32 takes ten bytes.
  EXPECT_EQ(options.SerializeAsString(),
            std::string("\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01\x18\x00", 13));
  EXPECT_EQ(pellumo::SidePacketsToStreamsCalculatorOptions_SetTimestampMode_Name(Options::NONE),
            "NONE");
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
