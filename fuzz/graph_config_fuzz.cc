// Parses arbitrary bytes as a graph configuration, validates it against a few small
// calculators, generators, a status handler and subgraphs (one of which contains itself, one
// of which is a template), and creates the executors it declares. The same bytes, read as a
// graph template, are expanded with the arguments of their first node's template options and
// the result validated. Any crash, hang, leak or sanitizer report is a fault; failing
// validation or executor creation is expected.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/flags.h"
#include "google/protobuf/stubs/logging.h"
#include "graph/calculator_static_access.h"
#include "graph/executor.h"
#include "graph/packet_generator.h"
#include "graph/registration_macros.h"
#include "graph/status_handler.h"
#include "graph/subgraph.h"
#include "graph/thread_pool_executor.pb.h"
#include "graph/validated_graph_config.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/calculator_graph_template.pb.h"
#include "graph_config/proto_descriptor.pb.h"
#include "graph_config/template_expander.h"

namespace {

// Executors with more workers than this are not created: thousands of threads per input would
// make the fuzzer crawl. Refused thread creation is tested under an address-space limit.
constexpr int kMaxFuzzedThreads = 8;

using kaldren::CalculatorContract;
using kaldren::PacketSet;
using kaldren::PacketType;
using kaldren::PacketTypeSet;

// Accepts any packets on every entry.
struct AnyCalculator {
  static absl::Status GetContract(CalculatorContract* cc) {
    for (PacketTypeSet* set : {&cc->Inputs(), &cc->Outputs(), &cc->InputSidePackets(),
                               &cc->OutputSidePackets()}) {
      for (PacketType& type : *set) type.SetAny();
    }
    return absl::OkStatus();
  }
};
// Outputs follow the type of the input of the same index; side packets are optional ints.
struct SameAsCalculator {
  static absl::Status GetContract(CalculatorContract* cc) {
    for (kaldren::CollectionItemId id = cc->Inputs().BeginId(); id < cc->Inputs().EndId(); ++id) {
      cc->Inputs().Get(id).SetAny();
    }
    for (kaldren::CollectionItemId id = cc->Outputs().BeginId(); id < cc->Outputs().EndId();
         ++id) {
      if (id < cc->Inputs().EndId()) {
        cc->Outputs().Get(id).SetSameAs(&cc->Inputs().Get(id));
      } else {
        cc->Outputs().Get(id).SetNone();
      }
    }
    cc->InputSidePackets().Tag("OPTION").Set<int>().Optional();
    return absl::OkStatus();
  }
};
struct IntSource {
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Outputs().Index(0).Set<int>();
    return absl::OkStatus();
  }
};
struct IntSink {
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).Set<int>();
    cc->InputSidePackets().Tag("SIDE").Set<std::string>();
    return absl::OkStatus();
  }
};
struct Failing {
  static absl::Status GetContract(CalculatorContract*) {
    return absl::InvalidArgumentError("refused");
  }
};
struct LegacyAny {
  static absl::Status FillExpectations(const pellumo::CalculatorOptions&, PacketTypeSet* inputs,
                                       PacketTypeSet* outputs, PacketTypeSet* side_packets) {
    for (PacketTypeSet* set : {inputs, outputs, side_packets}) {
      for (PacketType& type : *set) type.SetAny();
    }
    return absl::OkStatus();
  }
};
struct StringGenerator {
  static absl::Status FillExpectations(const pellumo::PacketGeneratorOptions&,
                                       PacketTypeSet* inputs, PacketTypeSet* outputs) {
    for (PacketType& type : *inputs) type.SetAny();
    outputs->Index(0).Set<std::string>();
    return absl::OkStatus();
  }
  static absl::Status Generate(const pellumo::PacketGeneratorOptions&, const PacketSet&,
                               PacketSet*) {
    return absl::OkStatus();
  }
};
struct TestStatusHandler {
  static absl::Status FillExpectations(const pellumo::PellumoOptions&, PacketTypeSet* inputs) {
    for (PacketType& type : *inputs) type.SetAny();
    return absl::OkStatus();
  }
  static absl::Status HandlePreRunStatus(const pellumo::PellumoOptions&, const PacketSet&,
                                         const absl::Status&) {
    return absl::OkStatus();
  }
  static absl::Status HandleStatus(const pellumo::PellumoOptions&, const PacketSet&,
                                   const absl::Status&) {
    return absl::OkStatus();
  }
};

template <typename T>
void RegisterCalculator(const std::string& name) {
  kaldren::internal::StaticAccessToCalculatorBaseRegistry::Register(name, [] {
    return std::make_unique<kaldren::internal::StaticAccessToCalculatorBaseTyped<T>>();
  });
}

pellumo::CalculatorGraphConfig_Node* AddNode(pellumo::CalculatorGraphConfig* config,
                                             const std::string& calculator,
                                             const std::string& input,
                                             const std::string& output) {
  auto* node = config->add_node();
  node->set_calculator(calculator);
  if (!input.empty()) node->add_input_stream(input);
  if (!output.empty()) node->add_output_stream(output);
  return node;
}

const kaldren::GraphRegistry& Registry() {
  static kaldren::GraphRegistry* const registry = [] {
    google::protobuf::SetLogHandler([](google::protobuf::LogLevel, const char*, int,
                                       const std::string&) {});
    // Expansion logs every error it records; only fatal messages matter here.
    absl::SetFlag(&FLAGS_minloglevel, 3);
    RegisterCalculator<AnyCalculator>("AnyCalculator");
    RegisterCalculator<SameAsCalculator>("SameAsCalculator");
    RegisterCalculator<IntSource>("IntSource");
    RegisterCalculator<IntSink>("IntSink");
    RegisterCalculator<Failing>("::pkg::Failing");
    pellumo::internal::StaticAccessToCalculatorRegistry::Register("LegacyAny", [] {
      return std::make_unique<pellumo::internal::StaticAccessToCalculatorTyped<LegacyAny>>();
    });
    kaldren::PacketGeneratorRegistry::Register("StringGenerator", [] {
      return std::make_unique<kaldren::internal::StaticAccessToGeneratorTyped<StringGenerator>>();
    });
    kaldren::StatusHandlerRegistry::Register("TestStatusHandler", [] {
      return std::make_unique<
          kaldren::internal::StaticAccessToStatusHandlerTyped<TestStatusHandler>>();
    });

    auto* shared = new kaldren::GraphRegistry::FunctionRegistry;
    auto* graphs = new kaldren::GraphRegistry(shared);
    pellumo::CalculatorGraphConfig filter;
    filter.add_input_stream("IN:x");
    filter.add_input_stream("AUX:aux");
    filter.add_output_stream("OUT:y");
    filter.add_input_side_packet("SIDE:s");
    AddNode(&filter, "AnyCalculator", "x", "z")->add_input_side_packet("s");
    AddNode(&filter, "SameAsCalculator", "z", "y")->add_input_stream("aux");
    filter.add_packet_generator()->set_packet_generator("StringGenerator");
    filter.mutable_packet_generator(0)->add_output_side_packet("made");
    graphs->Register("Filter", filter);

    pellumo::CalculatorGraphConfig nested;
    nested.add_input_stream("IN:a");
    nested.add_output_stream("OUT:b");
    AddNode(&nested, "Filter", "IN:a", "OUT:mid");
    AddNode(&nested, "Filter", "IN:mid", "OUT:b");
    graphs->Register("Nested", nested);

    pellumo::CalculatorGraphConfig self;
    AddNode(&self, "AnyCalculator", "", "");
    AddNode(&self, "SelfContaining", "", "");
    graphs->Register("SelfContaining", self);

    // IN:x -> AnyCalculator -> OUT:y, and one more AnyCalculator reading x per element of
    // the argument "stages", named after it.
    pellumo::CalculatorGraphTemplate stages;
    stages.mutable_config()->add_input_stream("IN:x");
    stages.mutable_config()->add_output_stream("OUT:y");
    AddNode(stages.mutable_config(), "AnyCalculator", "x", "y");
    AddNode(stages.mutable_config(), "AnyCalculator", "x", "");
    pellumo::TemplateExpression* loop = stages.add_rule();
    loop->set_path("/1[1]");
    loop->set_field_type(pellumo::FieldDescriptorProto::TYPE_MESSAGE);
    loop->set_op("for");
    loop->add_arg()->set_param("stage");
    loop->add_arg()->set_param("stages");
    pellumo::TemplateExpression* name = stages.add_rule();
    name->set_path("/1[1]/1[0]");
    name->set_field_type(pellumo::FieldDescriptorProto::TYPE_STRING);
    name->set_field_value("");
    name->set_param("stage");
    graphs->Register("Stages", stages);
    return graphs;
  }();
  return *registry;
}

// Counts the expressions of `expression` (itself included) into `*count`, and its rule
// kinds among them into `*loops` and `*declarations`.
void CountExpressions(const pellumo::TemplateExpression& expression, int* count, int* loops,
                      int* declarations) {
  ++*count;
  if (expression.op() == "for") ++*loops;
  if (expression.op() == "param") ++*declarations;
  for (const pellumo::TemplateExpression& arg : expression.arg()) {
    CountExpressions(arg, count, loops, declarations);
  }
}

// The template language can describe exponentially large results (nested loops, defaults
// built from doubled lists); those are not faults. Only templates whose work stays small
// are expanded.
bool SmallEnoughToExpand(const pellumo::CalculatorGraphTemplate& graph_template) {
  int count = 0;
  int loops = 0;
  int declarations = 0;
  for (const pellumo::TemplateExpression& rule : graph_template.rule()) {
    CountExpressions(rule, &count, &loops, &declarations);
  }
  return count <= 256 && loops <= 2 && declarations <= 4;
}

void ExpandTemplate(const uint8_t* data, size_t size, const kaldren::GraphRegistry& registry) {
  pellumo::CalculatorGraphTemplate graph_template;
  if (!graph_template.ParseFromArray(data, static_cast<int>(size))) return;
  if (!SmallEnoughToExpand(graph_template)) return;
  pellumo::TemplateDict args;
  if (graph_template.config().node_size() > 0) {
    args = kaldren::Subgraph::GetOptions<pellumo::TemplateSubgraphOptions>(
               graph_template.config().node(0))
               .dict();
  }
  kaldren::tool::TemplateExpander expander;
  pellumo::CalculatorGraphConfig expanded;
  if (!expander.ExpandTemplates(args, graph_template, &expanded).ok()) return;
  kaldren::ValidatedGraphConfig graph;
  (void)graph.Initialize(expanded, &registry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kaldren::GraphRegistry& registry = Registry();
  ExpandTemplate(data, size, registry);

  pellumo::CalculatorGraphConfig config;
  if (!config.ParseFromArray(data, static_cast<int>(size))) return 0;

  kaldren::ValidatedGraphConfig graph;
  if (!graph.Initialize(config, &registry).ok()) return 0;

  // Queries of a valid graph.
  std::map<std::string, kaldren::Packet> side_packets;
  (void)graph.ValidateRequiredSidePackets(side_packets);
  (void)graph.CanAcceptSidePackets(side_packets);
  for (const kaldren::EdgeInfo& edge : graph.OutputStreamInfos()) {
    (void)graph.RegisteredStreamTypeName(edge.name);
    (void)graph.OutputStreamToNode(edge.name);
  }
  for (const kaldren::EdgeInfo& edge : graph.InputSidePacketInfos()) {
    (void)graph.RegisteredSidePacketTypeName(edge.name);
  }
  for (int i = 0; i < graph.Config().node_size(); ++i) {
    (void)kaldren::CanonicalNodeName(graph.Config(), i);
  }

  // The executors the configuration declares, created as the graph creates them.
  for (const pellumo::ExecutorConfig& executor_config : graph.Config().executor()) {
    const auto& pool_options =
        executor_config.options().GetExtension(pellumo::ThreadPoolExecutorOptions::ext);
    if (pool_options.num_threads() > kMaxFuzzedThreads) continue;
    util::StatusOr<kaldren::Executor*> executor =
        kaldren::ExecutorRegistry::CreateByNameInNamespace(
            graph.Package(), executor_config.type(), executor_config.options());
    if (!executor.ok()) continue;
    std::unique_ptr<kaldren::Executor> owned(*executor);
    owned->Schedule([] {});
  }
  return 0;
}
