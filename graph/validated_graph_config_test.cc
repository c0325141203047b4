#include "graph/validated_graph_config.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph/config_test_util.h"
#include "graph/calculator_static_access.h"
#include "graph/legacy_calculator_support.h"
#include "graph/packet_factory_wrapper_generator.h"
#include "graph/packet_generator.h"
#include "graph/thread_pool_executor.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::pellumo::CalculatorGraphConfig;
using ::pellumo::CalculatorGraphConfig_Node;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

using testing_util::AddNode;
using testing_util::Entries;
using testing_util::List;

// Accepts any packets on every entry it has; checks that helper code can reach the
// contract being filled.
struct AnyCalculator {
  static absl::Status GetContract(CalculatorContract* cc) {
    if (LegacyCalculatorSupport::Scoped<CalculatorContract>::current() != cc) {
      return absl::InternalError("the current contract is not set");
    }
    for (PacketTypeSet* set : {&cc->Inputs(), &cc->Outputs(), &cc->InputSidePackets(),
                               &cc->OutputSidePackets()}) {
      for (PacketType& type : *set) type.SetAny();
    }
    return absl::OkStatus();
  }
};
// Writes ints on its one output.
struct IntSource {
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Outputs().Index(0).Set<int>();
    return absl::OkStatus();
  }
};
// Reads strings on its one input.
struct StringSink {
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).Set<std::string>();
    return absl::OkStatus();
  }
};
// Reads ints on its one input.
struct IntSink {
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).Set<int>();
    return absl::OkStatus();
  }
};
// Needs an int side packet "SIDE".
struct IntSideSink {
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Tag("SIDE").Set<int>();
    return absl::OkStatus();
  }
};
struct BadContract {
  static absl::Status GetContract(CalculatorContract*) {
    return absl::InvalidArgumentError("bad");
  }
};
// Legacy interface; types nothing, so any entry fails the type check.
struct LegacyNothing {
  static absl::Status FillExpectations(const pellumo::CalculatorOptions&, PacketTypeSet*,
                                       PacketTypeSet*, PacketTypeSet*) {
    return absl::OkStatus();
  }
};
// Makes a string side packet from nothing.
struct StringGenerator {
  static absl::Status FillExpectations(const pellumo::PacketGeneratorOptions&, PacketTypeSet*,
                                       PacketTypeSet* outputs) {
    outputs->Index(0).Set<std::string>();
    return absl::OkStatus();
  }
  static absl::Status Generate(const pellumo::PacketGeneratorOptions&, const PacketSet&,
                               PacketSet*) {
    return absl::OkStatus();
  }
};

template <typename T>
Unregister RegisterCalculator(const std::string& name) {
  return Unregister(internal::StaticAccessToCalculatorBaseRegistry::Register(
      name, [] { return std::make_unique<internal::StaticAccessToCalculatorBaseTyped<T>>(); }));
}

const Unregister kRegistrations[] = {
    RegisterCalculator<AnyCalculator>("AnyCalculator"),
    RegisterCalculator<IntSource>("IntSource"),
    RegisterCalculator<StringSink>("StringSink"),
    RegisterCalculator<IntSink>("IntSink"),
    RegisterCalculator<IntSideSink>("IntSideSink"),
    RegisterCalculator<BadContract>("BadContract"),
    Unregister(pellumo::internal::StaticAccessToCalculatorRegistry::Register(
        "LegacyNothing",
        [] { return std::make_unique<pellumo::internal::StaticAccessToCalculatorTyped<LegacyNothing>>(); })),
    Unregister(PacketGeneratorRegistry::Register(
        "StringGenerator",
        [] { return std::make_unique<internal::StaticAccessToGeneratorTyped<StringGenerator>>(); })),
};


std::vector<std::string> NodeNames(const ValidatedGraphConfig& graph) {
  std::vector<std::string> names;
  for (const auto& node : graph.Config().node()) names.push_back(node.name());
  return names;
}

TEST(ValidatedGraphConfigTest, DefaultExecutorAndHandlerRules) {
  ValidatedGraphConfig empty;
  ASSERT_TRUE(empty.Initialize(CalculatorGraphConfig()).ok());
  ASSERT_EQ(empty.Config().executor_size(), 1);
  EXPECT_EQ(empty.Config().executor(0).name(), "");
  EXPECT_FALSE(empty.Config().executor(0).has_options());
  absl::Status again = empty.Initialize(CalculatorGraphConfig());
  EXPECT_EQ(again.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(again.message()),
              HasSubstr("ValidatedGraphConfig can be initialized only once."));

  CalculatorGraphConfig threads;
  threads.set_num_threads(4);
  threads.mutable_input_stream_handler()->set_input_stream_handler("GraphHandler");
  AddNode(&threads, "AnyCalculator", {}, {"a"}, "plain");
  AddNode(&threads, "AnyCalculator", {"a"}, {}, "own")
      ->mutable_input_stream_handler()
      ->set_input_stream_handler("OwnHandler");
  ValidatedGraphConfig graph;
  ASSERT_TRUE(graph.Initialize(threads).ok());
  EXPECT_EQ(graph.Config().num_threads(), 0);
  EXPECT_EQ(graph.Config()
                .executor(0)
                .options()
                .GetExtension(pellumo::ThreadPoolExecutorOptions::ext)
                .num_threads(),
            4);
  EXPECT_EQ(graph.Config().node(0).input_stream_handler().input_stream_handler(),
            "GraphHandler");
  EXPECT_EQ(graph.Config().node(1).input_stream_handler().input_stream_handler(), "OwnHandler");

  threads.add_executor();
  ValidatedGraphConfig both;
  EXPECT_EQ(both.Initialize(threads).message(),
            "ExecutorConfig for the default executor and the graph-level num_threads field "
            "should not both be specified.");
}

TEST(ValidatedGraphConfigTest, CanonicalNodeNames) {
  CalculatorGraphConfig config;
  AddNode(&config, "AnyCalculator", {}, {});
  AddNode(&config, "Other", {}, {}, "unique");
  AddNode(&config, "AnyCalculator", {}, {});
  AddNode(&config, "Single", {}, {});
  std::vector<std::string> names;
  for (int i = 0; i < config.node_size(); ++i) names.push_back(CanonicalNodeName(config, i));
  EXPECT_THAT(names, ElementsAre("AnyCalculator_1", "unique", "AnyCalculator_2", "Single"));
}

TEST(ValidatedGraphConfigTest, ConsumersListedFirstAreSortedAfterTheirProducers) {
  CalculatorGraphConfig config;
  config.add_input_stream("in");
  AddNode(&config, "AnyCalculator", {"b"}, {}, "c", {"side"});
  AddNode(&config, "AnyCalculator", {"a"}, {"b"}, "b");
  AddNode(&config, "AnyCalculator", {"in"}, {"a"}, "a");
  AddNode(&config, "AnyCalculator", {}, {}, "side_maker", {}, {"side"});
  ValidatedGraphConfig graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  EXPECT_THAT(NodeNames(graph), ElementsAre("a", "b", "side_maker", "c"));
  // The records follow the new order and every input found its producer.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(graph.CalculatorInfos()[i].Node().index, i);
  for (const EdgeInfo& edge : graph.InputStreamInfos()) {
    EXPECT_EQ(graph.OutputStreamInfos()[edge.upstream].name, edge.name);
  }
  EXPECT_EQ(graph.OutputStreamToNode("in"), 4);  // a graph input's source id
  EXPECT_EQ(graph.OutputStreamToNode("b"), 1);
  EXPECT_EQ(graph.OutputStreamIndex("missing"), -1);

  // A cycle without a back edge fails with the sorter indexes of the cycle.
  CalculatorGraphConfig cyclic;
  AddNode(&cyclic, "AnyCalculator", {}, {"s"});
  AddNode(&cyclic, "AnyCalculator", {"s", "y"}, {"x"});
  AddNode(&cyclic, "AnyCalculator", {"x"}, {"y"});
  ValidatedGraphConfig cycle_graph;
  absl::Status status = cycle_graph.Initialize(cyclic);
  EXPECT_EQ(status.code(), absl::StatusCode::kUnknown);
  EXPECT_EQ(status.message(),
            "Generator side packet cycle or calculator stream cycle detected in graph.  Cycle "
            "indexes: 1, 2");

  // Marked as a back edge, the same graph is valid and keeps its order.
  auto* info = cyclic.mutable_node(1)->add_input_stream_info();
  info->set_tag_index(":1");
  info->set_back_edge(true);
  ValidatedGraphConfig back_edge_graph;
  ASSERT_TRUE(back_edge_graph.Initialize(cyclic).ok());
  const EdgeInfo& y = back_edge_graph.InputStreamInfos()[1];
  EXPECT_TRUE(y.back_edge);
  EXPECT_EQ(back_edge_graph.OutputStreamInfos()[y.upstream].parent_node.index, 2);
}

TEST(ValidatedGraphConfigTest, SourceDependence) {
  CalculatorGraphConfig config;
  config.add_input_stream("in");
  AddNode(&config, "AnyCalculator", {"in"}, {"a"});
  AddNode(&config, "AnyCalculator", {"a"}, {"b"});
  AddNode(&config, "AnyCalculator", {}, {"c"});
  AddNode(&config, "AnyCalculator", {"b", "c"}, {});
  ValidatedGraphConfig graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  const auto& infos = graph.CalculatorInfos();
  EXPECT_THAT(infos[0].AncestorSources(), UnorderedElementsAre(4));
  EXPECT_THAT(infos[1].AncestorSources(), UnorderedElementsAre(4));
  EXPECT_THAT(infos[2].AncestorSources(), UnorderedElementsAre(2));
  EXPECT_THAT(infos[3].AncestorSources(), UnorderedElementsAre(2, 4));
}

struct FailureCase {
  const char* name;
  std::function<void(CalculatorGraphConfig*)> fill;
  absl::StatusCode code;
  std::string message;  // the whole message, or its start when `prefix_only`
  bool prefix_only = false;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class ValidationFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ValidationFailureTest, ReportsTheFault) {
  const FailureCase& c = GetParam();
  CalculatorGraphConfig config;
  c.fill(&config);
  ValidatedGraphConfig graph;
  absl::Status status = graph.Initialize(config);
  EXPECT_EQ(status.code(), c.code);
  if (c.prefix_only) {
    EXPECT_THAT(std::string(status.message()), StartsWith(c.message));
  } else {
    EXPECT_EQ(std::string(status.message()), c.message);
  }
  EXPECT_FALSE(graph.Initialized());
}

const FailureCase kFailures[] = {
    {"stream defined twice",
     [](CalculatorGraphConfig* c) {
       AddNode(c, "AnyCalculator", {}, {"a"});
       AddNode(c, "AnyCalculator", {}, {"a"});
     },
     absl::StatusCode::kUnknown, "Output Stream \"a\" defined twice."},
    {"calculator output repeats a graph input",
     [](CalculatorGraphConfig* c) {
       c->add_input_stream("in");
       AddNode(c, "AnyCalculator", {}, {"in"});
     },
     absl::StatusCode::kUnknown, "Output Stream \"in\" defined twice."},
    {"side packet defined twice",
     [](CalculatorGraphConfig* c) {
       AddNode(c, "AnyCalculator", {}, {}, "", {}, {"s"});
       AddNode(c, "AnyCalculator", {}, {}, "", {}, {"s"});
     },
     absl::StatusCode::kUnknown, "Output Side Packet \"s\" defined twice."},
    {"missing producer",
     [](CalculatorGraphConfig* c) {
       AddNode(c, "AnyCalculator", {}, {"a"});
       AddNode(c, "AnyCalculator", {"a", "nowhere"}, {});
     },
     absl::StatusCode::kUnknown,
     "Input Stream \"nowhere\" for node with sorted index 1 does not have a corresponding "
     "output stream."},
    {"stream type mismatch",
     [](CalculatorGraphConfig* c) {
       AddNode(c, "IntSource", {}, {"numbers"});
       AddNode(c, "StringSink", {"numbers"}, {}, "sink");
     },
     absl::StatusCode::kUnknown,
     "Input stream \"numbers\" of calculator \"sink\" expects packets of type \"", true},
    {"graph input takes its first concrete consumer's type",
     [](CalculatorGraphConfig* c) {
       c->add_input_stream("in");
       AddNode(c, "AnyCalculator", {"in"}, {});
       AddNode(c, "StringSink", {"in"}, {}, "text");
       AddNode(c, "IntSink", {"in"}, {}, "numbers");
     },
     absl::StatusCode::kUnknown,
     "Input stream \"in\" of calculator \"numbers\" expects packets of type \"", true},
    {"side packet type mismatch",
     [](CalculatorGraphConfig* c) {
       auto* g = c->add_packet_generator();
       g->set_packet_generator("StringGenerator");
       g->add_output_side_packet("s");
       AddNode(c, "IntSideSink", {}, {}, "", {"SIDE:s"});
     },
     absl::StatusCode::kUnknown,
     "Input side packet \"s\" of Calculator \"[IntSideSink, no input streams, and no output "
     "streams]\" expected a packet of type \"",
     true},
    {"every failing calculator is listed",
     [](CalculatorGraphConfig* c) {
       AddNode(c, "Missing", {}, {});
       AddNode(c, "AnyCalculator", {}, {});
       AddNode(c, "BadContract", {}, {});
       AddNode(c, "IntSource", {"extra"}, {"out"});
       AddNode(c, "LegacyNothing", {}, {"out2"});
     },
     absl::StatusCode::kUnknown,
     "ValidatedGraphConfig Initialization failed.\n"
     "No registered object with name: Missing; Unable to find Calculator \"Missing\"\n"
     "BadContract: bad\n"
     "IntSource::GetContract failed to validate: \n"
     "For input streams ValidatePacketTypeSet failed:\n"
     "Tag \"\" index 0 was not expected.\n"
     "LegacyNothing::FillExpectations failed to validate: \n"
     "For output streams ValidatePacketTypeSet failed:\n"
     "Tag \"\" index 0 was not expected."},
    {"an unknown generator hides the calculators",
     [](CalculatorGraphConfig* c) {
       c->add_packet_generator()->set_packet_generator("NoGenerator");
       AddNode(c, "Missing", {}, {});
     },
     absl::StatusCode::kNotFound,
     "ValidatedGraphConfig Initialization failed.\nNo registered object with name: "
     "NoGenerator; Unable to find PacketGenerator \"NoGenerator\""},
    {"packet factories find no factory",
     [](CalculatorGraphConfig* c) {
       auto* f = c->add_packet_factory();
       f->set_packet_factory("SomeFactory");
       f->set_output_side_packet("made");
     },
     absl::StatusCode::kNotFound,
     "ValidatedGraphConfig Initialization failed.\nPacketFactoryWrapperGenerator: No "
     "registered object with name: SomeFactory; Unable to find PacketFactory "
     "\"SomeFactory\""},
    {"input stream info for a missing input",
     [](CalculatorGraphConfig* c) {
       AddNode(c, "AnyCalculator", {}, {})->add_input_stream_info()->set_tag_index("TAG");
     },
     absl::StatusCode::kInvalidArgument,
     "ValidatedGraphConfig Initialization failed.\nInput stream with tag_index \"TAG\" "
     "requested in InputStreamInfo but is not an input stream of the calculator."},
    {"input stream info twice",
     [](CalculatorGraphConfig* c) {
       auto* n = AddNode(c, "AnyCalculator", {"in"}, {});
       n->add_input_stream_info()->set_tag_index(":0");
       n->add_input_stream_info()->set_tag_index("");
     },
     absl::StatusCode::kInvalidArgument,
     "ValidatedGraphConfig Initialization failed.\nInput stream with tag_index \"\" has more "
     "than one InputStreamInfo."},
    {"reserved executor declared",
     [](CalculatorGraphConfig* c) { c->add_executor()->set_name("__gpu"); },
     absl::StatusCode::kInvalidArgument, "\"__gpu\" is a reserved executor name."},
    {"reserved executor on a node",
     [](CalculatorGraphConfig* c) {
       AddNode(c, "AnyCalculator", {}, {})->set_executor("default");
     },
     absl::StatusCode::kInvalidArgument, "\"default\" is a reserved executor name."},
    {"undeclared executor",
     [](CalculatorGraphConfig* c) {
       c->add_executor()->set_name("_single_underscore_is_fine");
       AddNode(c, "AnyCalculator", {}, {})->set_executor("elsewhere");
     },
     absl::StatusCode::kInvalidArgument,
     "The executor \"elsewhere\" is not declared in an ExecutorConfig."},
    {"duplicate default executor",
     [](CalculatorGraphConfig* c) {
       c->add_executor();
       c->add_executor();
     },
     absl::StatusCode::kInvalidArgument, "ExecutorConfig for the default executor is duplicate."},
    {"duplicate named executor",
     [](CalculatorGraphConfig* c) {
       c->add_executor()->set_name("gpu2");
       c->add_executor()->set_name("gpu2");
     },
     absl::StatusCode::kInvalidArgument, "ExecutorConfig for \"gpu2\" is duplicate."},
};

INSTANTIATE_TEST_SUITE_P(All, ValidationFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST(ValidatedGraphConfigTest, RequiredSidePackets) {
  CalculatorGraphConfig config;
  AddNode(&config, "IntSideSink", {}, {}, "", {"SIDE:wanted"});
  AddNode(&config, "IntSideSink", {}, {}, "", {"SIDE:wanted"});
  AddNode(&config, "IntSideSink", {}, {}, "", {"SIDE:other"});
  ValidatedGraphConfig graph;
  ASSERT_TRUE(graph.Initialize(config).ok());

  EXPECT_TRUE(graph
                  .ValidateRequiredSidePackets(
                      {{"wanted", MakePacket<int>(1)}, {"other", MakePacket<int>(2)}})
                  .ok());
  absl::Status status = graph.ValidateRequiredSidePackets(
      {{"wanted", MakePacket<std::string>("text")}, {"unused", MakePacket<int>(3)}});
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  const std::string message(status.message());
  EXPECT_THAT(message, StartsWith("ValidateRequiredSidePackets failed to validate: \n"
                                  "Side packet \"other\" is required but was not provided.\n"
                                  "Side packet \"wanted\" failed validation: "));
  // Both consumers of "wanted" report.
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 3);

  std::map<std::string, PacketType> types;
  types["wanted"].Set<int>();
  types["other"].Set<std::string>();
  EXPECT_EQ(graph.ValidateRequiredSidePacketTypes(types).message(),
            "Side packet \"other\" has incorrect type.");
  EXPECT_TRUE(graph.CanAcceptSidePackets(std::map<std::string, Packet>{{"wanted", Packet()}}).ok());
}

TEST(ValidatedGraphConfigTest, RegisteredTypeNames) {
  CalculatorGraphConfig config;
  config.add_input_stream("in");
  AddNode(&config, "AnyCalculator", {"in"}, {});
  ValidatedGraphConfig graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  EXPECT_EQ(graph.RegisteredStreamTypeName("in").status().code(), absl::StatusCode::kUnknown);
  EXPECT_EQ(graph.RegisteredStreamTypeName("nope").status().message(),
            "Stream \"nope\" is not defined in the config.");
  EXPECT_EQ(graph.RegisteredSidePacketTypeName("nope").status().message(),
            "Side packet \"nope\" is not defined in the config.");
}

TEST(ValidatedGraphConfigTest, ExpandsSubgraphsFromTheGivenRegistry) {
  CalculatorGraphConfig subgraph;
  subgraph.set_type("Twice");
  subgraph.add_input_stream("IN:x");
  subgraph.add_output_stream("OUT:y");
  AddNode(&subgraph, "AnyCalculator", {"x"}, {"mid"}, "first");
  AddNode(&subgraph, "AnyCalculator", {"mid"}, {"y"}, "second");
  CalculatorGraphConfig top;
  top.set_type("Top");
  top.add_input_stream("video");
  AddNode(&top, "Twice", {"IN:video"}, {"OUT:result"});
  AddNode(&top, "AnyCalculator", {"result"}, {}, "consumer");

  ValidatedGraphConfig graph;
  ASSERT_TRUE(graph.Initialize({subgraph, top}, {}, "Top").ok());
  EXPECT_THAT(NodeNames(graph), ElementsAre("__sg0_first", "__sg0_second", "consumer"));
  // Records move with their nodes when the expanded list is sorted.
  EXPECT_EQ(graph.CalculatorInfos()[2].Contract().GetNodeName(), "consumer");
  EXPECT_EQ(graph.Config().node(1).input_stream(0), "__sg0_mid");
}

}  // namespace
}  // namespace kaldren
