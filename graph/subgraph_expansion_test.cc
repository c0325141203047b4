#include "graph/subgraph_expansion.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph/config_test_util.h"
#include "graph/subgraph.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using ::pellumo::CalculatorGraphConfig;
using ::pellumo::CalculatorGraphConfig_Node;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

using testing_util::AddNode;
using testing_util::Entries;
using testing_util::List;



// A subgraph: IN:x -> inner node "n" -> OUT:y, plus an internal stream z and an optional
// untagged graph input "aux" read by the inner node both untagged and tagged.
CalculatorGraphConfig FilterSubgraph() {
  CalculatorGraphConfig config;
  config.add_input_stream("IN:x");
  config.add_input_stream("AUX:aux");
  config.add_output_stream("OUT:y");
  config.add_input_side_packet("SIDE:s");
  AddNode(&config, "Inner", {"IN:x", "aux"}, {"z"}, "n", {"SIDE:s"});
  AddNode(&config, "Inner", {"z", "TAGGED:aux"}, {"y"});
  return config;
}

TEST(GraphRegistryTest, LocalLayerFirstAndCopiesAreIndependent) {
  GraphRegistry::FunctionRegistry shared;
  GraphRegistry registry(&shared);
  auto missing = registry.CreateByName("", "Missing");
  EXPECT_EQ(missing.status().code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(missing.status().message(), "No registered object with name: Missing");

  CalculatorGraphConfig shared_config;
  shared_config.set_type("shared");
  shared.Register("Both", [shared_config] {
    return std::unique_ptr<Subgraph>(std::make_unique<ProtoSubgraph>(shared_config));
  });
  CalculatorGraphConfig local_config;
  local_config.set_type("local");
  registry.Register("Both", local_config);
  local_config.set_type("changed after registering");
  EXPECT_TRUE(registry.IsRegistered("", "Both"));

  auto first = registry.CreateByName("", "Both");
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->type(), "local");
  first->set_type("edited");
  EXPECT_EQ(registry.CreateByName("", "Both")->type(), "local");
}

TEST(SubgraphExpansionTest, ConfigWithoutSubgraphsIsUnchanged) {
  GraphRegistry::FunctionRegistry shared;
  GraphRegistry registry(&shared);
  CalculatorGraphConfig config;
  AddNode(&config, "B", {"a"}, {"b"});
  AddNode(&config, "A", {}, {"a"});
  const std::string before = config.SerializeAsString();
  ASSERT_TRUE(ExpandSubgraphs(&config, &registry).ok());
  EXPECT_EQ(config.SerializeAsString(), before);
}

class ExpandTest : public ::testing::Test {
 protected:
  ExpandTest() : registry_(&shared_) { registry_.Register("Filter", FilterSubgraph()); }

  GraphRegistry::FunctionRegistry shared_;
  GraphRegistry registry_;
};

TEST_F(ExpandTest, InlinesPrefixedAndConnectedContents) {
  CalculatorGraphConfig config;
  AddNode(&config, "A", {}, {"video"}, "a");
  AddNode(&config, "Filter", {"IN:video"}, {"OUT:filtered"}, "", {"SIDE:settings"});
  AddNode(&config, "B", {"filtered"}, {}, "b");
  AddNode(&config, "Filter", {"IN:filtered", "AUX:more"}, {"OUT:again"});
  ASSERT_TRUE(ExpandSubgraphs(&config, &registry_).ok());

  ASSERT_EQ(config.node_size(), 6);
  EXPECT_EQ(config.node(0).name(), "a");
  EXPECT_EQ(config.node(1).name(), "b");
  // First subgraph: "aux" is not connected, so the untagged entry is dropped and the tagged
  // one keeps its prefixed name.
  EXPECT_EQ(config.node(2).name(), "__sg0_n");
  EXPECT_THAT(List(config.node(2).input_stream()), ElementsAre("IN:video"));
  EXPECT_THAT(List(config.node(2).output_stream()), ElementsAre("__sg0_z"));
  EXPECT_THAT(List(config.node(2).input_side_packet()), ElementsAre("SIDE:settings"));
  EXPECT_EQ(config.node(3).name(), "");
  EXPECT_THAT(List(config.node(3).input_stream()), ElementsAre("__sg0_z", "TAGGED:__sg0_aux"));
  EXPECT_THAT(List(config.node(3).output_stream()), ElementsAre("filtered"));
  // Second subgraph: its own prefix; "aux" is connected here.
  EXPECT_EQ(config.node(4).name(), "__sg1_n");
  EXPECT_THAT(List(config.node(4).input_stream()), ElementsAre("IN:filtered", "more"));
  // An unconnected input is dropped only where the entry is the bare name.
  EXPECT_THAT(List(config.node(4).input_side_packet()), ElementsAre("SIDE:__sg1_s"));
  EXPECT_THAT(List(config.node(5).input_stream()), ElementsAre("__sg1_z", "TAGGED:more"));
  EXPECT_THAT(List(config.node(5).output_stream()), ElementsAre("again"));
}

TEST_F(ExpandTest, NestedSubgraphsExpandInLaterPasses) {
  CalculatorGraphConfig outer;
  outer.add_input_stream("IN:i");
  outer.add_output_stream("OUT:o");
  AddNode(&outer, "Filter", {"IN:i"}, {"OUT:o"}, "inner");
  outer.add_packet_generator()->add_output_side_packet("made");
  registry_.Register("Outer", outer);

  CalculatorGraphConfig config;
  AddNode(&config, "Outer", {"IN:cam"}, {"OUT:out"});
  ASSERT_TRUE(ExpandSubgraphs(&config, &registry_).ok());
  ASSERT_EQ(config.node_size(), 2);
  EXPECT_EQ(config.node(0).name(), "__sg1_n");
  EXPECT_THAT(List(config.node(0).input_stream()), ElementsAre("IN:cam"));
  EXPECT_THAT(List(config.node(1).output_stream()), ElementsAre("out"));
  ASSERT_EQ(config.packet_generator_size(), 1);
  EXPECT_THAT(List(config.packet_generator(0).output_side_packet()), ElementsAre("__sg0_made"));
}

TEST_F(ExpandTest, Failures) {
  CalculatorGraphConfig self;
  AddNode(&self, "Self", {}, {});
  registry_.Register("Self", self);
  CalculatorGraphConfig ping;
  AddNode(&ping, "Pong", {}, {});
  registry_.Register("Ping", ping);
  CalculatorGraphConfig pong;
  AddNode(&pong, "Calc", {}, {});
  AddNode(&pong, "Ping", {}, {});
  registry_.Register("Pong", pong);

  struct Case {
    const char* name;
    CalculatorGraphConfig_Node node;
    absl::StatusCode code;
    std::string message;
  };
  auto node = [](const std::string& calculator, const Entries& inputs) {
    CalculatorGraphConfig c;
    AddNode(&c, calculator, inputs, {}, "sub");
    return c.node(0);
  };
  CalculatorGraphConfig_Node with_executor = node("Filter", {});
  with_executor.set_executor("other");
  CalculatorGraphConfig_Node with_layer = node("Filter", {});
  with_layer.set_source_layer(1);
  const std::string only_calculators =
      "Subgraph \"sub\" has a field that is only applicable to calculators.";
  const Case cases[] = {
      {"too many indexes", node("Filter", {"IN:0:a", "IN:1:b"}),
       absl::StatusCode::kInvalidArgument,
       "while processing the input streams of subgraph node Filter: Tag \"IN\" has 2 indexes "
       "in the subgraph node but has only 1 indexes in the subgraph config."},
      {"untagged against tagged", node("Filter", {"a"}), absl::StatusCode::kInvalidArgument,
       "while processing the input streams of subgraph node Filter: Tag \"\" does not exist "
       "in the subgraph config."},
      {"executor", with_executor, absl::StatusCode::kInvalidArgument, only_calculators},
      {"source layer", with_layer, absl::StatusCode::kInvalidArgument, only_calculators},
      {"contains itself", node("Self", {}), absl::StatusCode::kFailedPrecondition,
       "Subgraph \"Self\" contains itself: Self -> Self"},
      {"contains itself through another", node("Ping", {}),
       absl::StatusCode::kFailedPrecondition,
       "Subgraph \"Ping\" contains itself: Ping -> Pong -> Ping"},
  };
  for (const Case& c : cases) {
    CalculatorGraphConfig config;
    *config.add_node() = c.node;
    absl::Status status = ExpandSubgraphs(&config, &registry_);
    EXPECT_EQ(status.code(), c.code) << c.name;
    EXPECT_EQ(status.message(), c.message) << c.name;
  }

  // A node with only options set is accepted.
  CalculatorGraphConfig config;
  *config.add_node() = node("Filter", {});
  config.mutable_node(0)->mutable_options();
  EXPECT_TRUE(ExpandSubgraphs(&config, &registry_).ok());
}

TEST(SubgraphExpansionTest, TransformStreamNamesKeepsTagAndIndex) {
  google::protobuf::RepeatedPtrField<std::string> list;
  for (const char* e : {"a", "TAG:b", "TAG:1:c"}) list.Add(e);
  ASSERT_TRUE(TransformStreamNames(&list, [](absl::string_view n) {
                return std::string(n) + "_x";
              }).ok());
  EXPECT_THAT(List(list), ElementsAre("a_x", "TAG:b_x", "TAG:1:c_x"));
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
