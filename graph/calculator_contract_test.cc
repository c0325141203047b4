#include "graph/calculator_contract.h"

#include <string>
#include <vector>

#include "graph_config/calculator.pb.h"
#include "graph_config/tag_map.h"
#include "graph_config/testdata/test_options.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::pellumo::CalculatorGraphConfig_Node;
using ::pellumo::testing::TestCalculatorOptions;

TEST(CalculatorContractTest, NodeContractHasOneTypePerEntryAndTheNodeOptions) {
  CalculatorGraphConfig_Node node;
  node.add_input_stream("VIDEO:frames");
  node.add_input_stream("rotation");
  node.add_output_stream("faces");
  node.add_input_side_packet("MODEL:model");
  CalculatorContract contract;
  ASSERT_TRUE(contract.Initialize(node).ok());
  EXPECT_EQ(contract.Inputs().NumEntries(), 2);
  EXPECT_EQ(contract.Outputs().NumEntries(), 1);
  EXPECT_EQ(contract.InputSidePackets().NumEntries(), 1);
  EXPECT_EQ(contract.OutputSidePackets().NumEntries(), 0);
  EXPECT_FALSE(contract.Inputs().Tag("VIDEO").IsInitialized());
  // Options come from the node itself, not a copy; absent options read as defaults.
  EXPECT_EQ(&contract.Options(), &node.options());
  EXPECT_EQ(&contract.Options(), &pellumo::CalculatorOptions::default_instance());
  EXPECT_EQ(contract.Options<TestCalculatorOptions>().value(), 7);
  EXPECT_TRUE(contract.GetInputStreamHandler().empty());
}

TEST(CalculatorContractTest, TypedOptionsAreReadFromTheNode) {
  CalculatorGraphConfig_Node node;
  node.mutable_options()->MutableExtension(TestCalculatorOptions::ext)->set_value(3);
  CalculatorContract contract;
  ASSERT_TRUE(contract.Initialize(node).ok());
  EXPECT_EQ(contract.Options<TestCalculatorOptions>().value(), 3);
  // A move keeps the packet type sets where they were.
  PacketTypeSet* inputs = &contract.Inputs();
  CalculatorContract moved = std::move(contract);
  EXPECT_EQ(&moved.Inputs(), inputs);
  EXPECT_EQ(moved.Options<TestCalculatorOptions>().value(), 3);
}

TEST(CalculatorContractTest, EveryBadListIsReportedOnItsOwnLine) {
  CalculatorGraphConfig_Node node;
  node.add_input_stream("Bad:name");
  node.add_output_stream("fine");
  node.add_output_side_packet("TAG:1:gap");
  CalculatorContract contract;
  absl::Status status = contract.Initialize(node);
  EXPECT_EQ(status.code(), absl::StatusCode::kUnknown);
  // Each failure is the tag map's own text, in list order.
  absl::Status input_failure = tool::TagMap::Create(node.input_stream()).status();
  absl::Status side_failure = tool::TagMap::Create(node.output_side_packet()).status();
  ASSERT_FALSE(input_failure.ok());
  ASSERT_FALSE(side_failure.ok());
  EXPECT_EQ(status.message(), "Unable to initialize TagMaps for node.\n" +
                                  std::string(input_failure.message()) + "\n" +
                                  std::string(side_failure.message()));
}

TEST(CalculatorContractTest, GeneratorsAndStatusHandlersHaveOnlySidePacketSets) {
  pellumo::PacketGeneratorConfig generator;
  generator.add_input_side_packet("in");
  generator.add_output_side_packet("OUT:out");
  CalculatorContract generator_contract;
  ASSERT_TRUE(generator_contract.Initialize(generator).ok());
  EXPECT_EQ(generator_contract.InputSidePackets().NumEntries(), 1);
  EXPECT_TRUE(generator_contract.OutputSidePackets().HasTag("OUT"));

  pellumo::StatusHandlerConfig handler;
  handler.add_input_side_packet("in");
  CalculatorContract handler_contract;
  ASSERT_TRUE(handler_contract.Initialize(handler).ok());
  EXPECT_EQ(handler_contract.InputSidePackets().NumEntries(), 1);

  generator.add_output_side_packet("Bad");
  CalculatorContract failed;
  absl::Status status = failed.Initialize(generator);
  EXPECT_EQ(status.code(), absl::StatusCode::kUnknown);
  EXPECT_EQ(std::string(status.message()).rfind("NodeTypeInfo Initialization failed.\n", 0), 0u)
      << status.message();
}

TEST(CalculatorContractTest, ServiceRequestsAreKeptOncePerKeyInKeyOrder) {
  GraphService<int> zeta("zeta");
  GraphService<int> alpha("alpha");
  CalculatorContract contract;
  contract.UseService(zeta);
  EXPECT_FALSE(contract.ServiceRequests().at("zeta").IsOptional());
  contract.UseService(zeta).Optional();
  contract.UseService(alpha);
  ASSERT_EQ(contract.ServiceRequests().size(), 2u);
  EXPECT_EQ(contract.ServiceRequests().begin()->first, "alpha");
  EXPECT_TRUE(contract.ServiceRequests().at("zeta").IsOptional());
  EXPECT_FALSE(contract.ServiceRequests().at("alpha").IsOptional());
}

}  // namespace
}  // namespace kaldren
