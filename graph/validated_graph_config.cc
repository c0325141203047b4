#include "graph/validated_graph_config.h"

#include <set>
#include <utility>

#include "absl/strings/str_join.h"
#include "absl/strings/str_replace.h"
#include "absl/strings/substitute.h"
#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/calculator_creation.h"
#include "graph/legacy_calculator_support.h"
#include "graph/packet_factory_wrapper_generator.h"
#include "graph/packet_generator.h"
#include "graph/status_handler.h"
#include "graph/subgraph_expansion.h"
#include "graph/thread_pool_executor.pb.h"
#include "graph_config/config_conversion.h"
#include "graph_config/tag_map.h"
#include "graph_config/topological_sorter.h"
#include "graph_config/validate_name.h"

namespace kaldren {

namespace {

// Configuration conversion turns packet factories into "PacketFactoryWrapperGenerator"
// nodes; this reference keeps that generator's registration in every program that
// validates configurations, even when it links the library without whole-archive.
[[gnu::used]] auto* const kKeepPacketFactoryWrapperGenerator =
    &pellumo::PacketFactoryWrapperGenerator::FillExpectations;

using NodeType = NodeTypeInfo::NodeType;
using NodeRef = NodeTypeInfo::NodeRef;

// "no input streams", "input stream: a" or "input streams: <a,b>".
std::string DebugEdgeNames(const std::string& edge_type,
                           const google::protobuf::RepeatedPtrField<std::string>& edges) {
  if (edges.empty()) return absl::StrCat("no ", edge_type, "s");
  if (edges.size() == 1) return absl::StrCat(edge_type, ": ", edges.Get(0));
  return absl::StrCat(edge_type, "s: <", absl::StrJoin(edges, ","), ">");
}

std::string DebugName(const pellumo::CalculatorGraphConfig_Node& node_config) {
  if (!node_config.name().empty()) return node_config.name();
  return absl::StrCat("[", node_config.calculator(), ", ",
                      DebugEdgeNames("input stream", node_config.input_stream()), ", and ",
                      DebugEdgeNames("output stream", node_config.output_stream()), "]");
}

std::string DebugName(const pellumo::PacketGeneratorConfig& generator) {
  return absl::StrCat("[", generator.packet_generator(), ", ",
                      DebugEdgeNames("input side packet", generator.input_side_packet()),
                      ", and ",
                      DebugEdgeNames("output side packet", generator.output_side_packet()), "]");
}

std::string DebugName(const pellumo::StatusHandlerConfig& handler) {
  return absl::StrCat("[", handler.status_handler(), ", ",
                      DebugEdgeNames("input side packet", handler.input_side_packet()), "]");
}

// Runs `fill` with the thread's current contract set to `contract`.
template <typename Fill>
absl::Status WithCurrentContract(CalculatorContract* contract, Fill fill) {
  LegacyCalculatorSupport::Scoped<CalculatorContract> scope(contract);
  return fill();
}

}  // namespace

std::string CanonicalNodeName(const pellumo::CalculatorGraphConfig& graph_config, int node_id) {
  auto base_name = [](const pellumo::CalculatorGraphConfig_Node& node) -> const std::string& {
    return node.name().empty() ? node.calculator() : node.name();
  };
  const std::string& node_name = base_name(graph_config.node(node_id));
  int count = 0;
  int sequence = 0;
  for (int i = 0; i < graph_config.node_size(); ++i) {
    if (base_name(graph_config.node(i)) != node_name) continue;
    ++count;
    if (i < node_id) ++sequence;
  }
  if (count <= 1) return node_name;
  return absl::StrCat(node_name, "_", sequence + 1);
}

std::string NodeTypeInfo::NodeTypeToString(NodeType node_type) {
  switch (node_type) {
    case NodeType::UNKNOWN:
      return "Unknown Node";
    case NodeType::CALCULATOR:
      return "Calculator";
    case NodeType::PACKET_GENERATOR:
      return "Packet Generator";
    case NodeType::GRAPH_INPUT_STREAM:
      return "Graph Input Stream";
    case NodeType::STATUS_HANDLER:
      return "Status Handler";
  }
  LOG(FATAL) << "Unknown NodeTypeInfo::NodeType: " << static_cast<int>(node_type);
  return "";
}

absl::Status NodeTypeInfo::Initialize(const ValidatedGraphConfig& validated_graph,
                                      const pellumo::CalculatorGraphConfig_Node& node,
                                      int node_index) {
  node_ = NodeRef(NodeType::CALCULATOR, node_index);
  RETURN_IF_ERROR(contract_.Initialize(node));
  contract_.SetNodeName(CanonicalNodeName(validated_graph.Config(), node_index));

  if (node.input_stream_info_size() > 0) {
    std::vector<bool> seen(contract_.Inputs().NumEntries(), false);
    for (const pellumo::InputStreamInfo& info : node.input_stream_info()) {
      std::string tag;
      int index;
      RETURN_IF_ERROR(tool::ParseTagIndex(info.tag_index(), &tag, &index));
      CollectionItemId id = contract_.Inputs().GetId(tag, index);
      if (!id.IsValid()) {
        return absl::InvalidArgumentError(absl::StrCat(
            "Input stream with tag_index \"", info.tag_index(),
            "\" requested in InputStreamInfo but is not an input stream of the calculator."));
      }
      if (seen[id.Value()]) {
        return absl::InvalidArgumentError(absl::StrCat("Input stream with tag_index \"",
                                                       info.tag_index(),
                                                       "\" has more than one InputStreamInfo."));
      }
      seen[id.Value()] = true;
    }
  }
  RET_CHECK_EQ(&node.options(), &contract_.Options());

  const std::string& package = validated_graph.Package();
  RETURN_IF_ERROR(WithCurrentContract(&contract_, [&] {
    return VerifyCalculatorWithContract(package, node.calculator(), &contract_);
  }));

  std::vector<absl::Status> statuses;
  absl::Status status = ValidatePacketTypeSet(contract_.Inputs());
  if (!status.ok()) statuses.push_back(tool::AddStatusPrefix("For input streams ", status));
  status = ValidatePacketTypeSet(contract_.Outputs());
  if (!status.ok()) statuses.push_back(tool::AddStatusPrefix("For output streams ", status));
  status = ValidatePacketTypeSet(contract_.InputSidePackets());
  if (!status.ok()) statuses.push_back(tool::AddStatusPrefix("For input side packets ", status));
  if (statuses.empty()) return absl::OkStatus();
  return tool::CombinedStatus(
      absl::StrCat(node.calculator(),
                   IsLegacyCalculator(package, node.calculator()) ? "::FillExpectations"
                                                                  : "::GetContract",
                   " failed to validate: "),
      statuses);
}

absl::Status NodeTypeInfo::Initialize(const ValidatedGraphConfig& validated_graph,
                                      const pellumo::PacketGeneratorConfig& generator,
                                      int generator_index) {
  node_ = NodeRef(NodeType::PACKET_GENERATOR, generator_index);
  RETURN_IF_ERROR(contract_.Initialize(generator));
  const std::string& type = generator.packet_generator();
  ASSIGN_OR_RETURN(std::unique_ptr<internal::StaticAccessToGenerator> static_access,
                   PacketGeneratorRegistry::CreateByNameInNamespace(validated_graph.Package(),
                                                                    type),
                   _ << "Unable to find PacketGenerator \"" << type << "\"");
  RETURN_IF_ERROR(WithCurrentContract(&contract_, [&] {
    return static_access->FillExpectations(generator.options(), &contract_.InputSidePackets(),
                                           &contract_.OutputSidePackets());
  })).SetPrepend()
      << type << ": ";

  std::vector<absl::Status> statuses;
  absl::Status status = ValidatePacketTypeSet(contract_.InputSidePackets());
  if (!status.ok()) statuses.push_back(status);
  status = ValidatePacketTypeSet(contract_.OutputSidePackets());
  if (!status.ok()) statuses.push_back(status);
  if (statuses.empty()) return absl::OkStatus();
  return tool::CombinedStatus(absl::StrCat(type, "::FillExpectations failed to validate: "),
                              statuses);
}

absl::Status NodeTypeInfo::Initialize(const ValidatedGraphConfig& validated_graph,
                                      const pellumo::StatusHandlerConfig& handler,
                                      int handler_index) {
  node_ = NodeRef(NodeType::STATUS_HANDLER, handler_index);
  RETURN_IF_ERROR(contract_.Initialize(handler));
  const std::string& type = handler.status_handler();
  ASSIGN_OR_RETURN(std::unique_ptr<internal::StaticAccessToStatusHandler> static_access,
                   StatusHandlerRegistry::CreateByNameInNamespace(validated_graph.Package(), type),
                   _ << "Unable to find StatusHandler \"" << type << "\"");
  RETURN_IF_ERROR(WithCurrentContract(&contract_, [&] {
    return static_access->FillExpectations(handler.options(), &contract_.InputSidePackets());
  })).SetPrepend()
      << type << ": ";
  RETURN_IF_ERROR(ValidatePacketTypeSet(contract_.InputSidePackets())).SetPrepend()
      << type << "::FillExpectations failed to validate: ";
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::Initialize(const pellumo::CalculatorGraphConfig& input_config,
                                              const GraphRegistry* graph_registry) {
  RET_CHECK(!initialized_) << "ValidatedGraphConfig can be initialized only once.";
  config_.Clear();
  config_.MergeFrom(input_config);

  RETURN_IF_ERROR(pellumo::tool::ConvertExternalInputs(&config_));
  RETURN_IF_ERROR(pellumo::tool::ConvertPacketFactories(&config_));
  RETURN_IF_ERROR(tool::ExpandSubgraphs(&config_, graph_registry));

  // The default executor (empty name) is always declared; a graph-level thread count moves
  // into its options.
  const pellumo::ExecutorConfig* default_executor = nullptr;
  for (const pellumo::ExecutorConfig& executor : config_.executor()) {
    if (executor.name().empty()) {
      default_executor = &executor;
      break;
    }
  }
  if (default_executor != nullptr) {
    if (config_.num_threads() != 0) {
      return absl::InvalidArgumentError(
          "ExecutorConfig for the default executor and the graph-level num_threads field "
          "should not both be specified.");
    }
  } else {
    pellumo::ExecutorConfig* executor = config_.add_executor();
    if (config_.num_threads() != 0) {
      executor->mutable_options()
          ->MutableExtension(pellumo::ThreadPoolExecutorOptions::ext)
          ->set_num_threads(config_.num_threads());
      config_.set_num_threads(0);
    }
  }

  if (config_.has_input_stream_handler()) {
    for (pellumo::CalculatorGraphConfig_Node& node : *config_.mutable_node()) {
      if (!node.has_input_stream_handler()) {
        *node.mutable_input_stream_handler() = config_.input_stream_handler();
      }
    }
  }

  RETURN_IF_ERROR(InitializeGeneratorInfo());
  RETURN_IF_ERROR(InitializeCalculatorInfo());
  RETURN_IF_ERROR(InitializeStatusHandlerInfo());

  sorted_nodes_.reserve(generators_.size() + calculators_.size());
  for (int index = 0; index < static_cast<int>(generators_.size()); ++index) {
    NodeTypeInfo* node_type_info = &generators_[index];
    RET_CHECK(node_type_info->Node().type == NodeTypeInfo::NodeType::PACKET_GENERATOR);
    RET_CHECK_EQ(node_type_info->Node().index, index);
    sorted_nodes_.push_back(node_type_info);
  }
  for (int index = 0; index < static_cast<int>(calculators_.size()); ++index) {
    NodeTypeInfo* node_type_info = &calculators_[index];
    RET_CHECK(node_type_info->Node().type == NodeTypeInfo::NodeType::CALCULATOR);
    RET_CHECK_EQ(node_type_info->Node().index, index);
    sorted_nodes_.push_back(node_type_info);
  }

  bool need_sorting = false;
  RETURN_IF_ERROR(InitializeSidePacketInfo(&need_sorting));
  RETURN_IF_ERROR(InitializeStreamInfo(&need_sorting));
  if (need_sorting) {
    RETURN_IF_ERROR(TopologicalSortNodes());
    side_packet_to_producer_.clear();
    required_side_packets_.clear();
    input_side_packets_.clear();
    output_side_packets_.clear();
    stream_to_producer_.clear();
    input_streams_.clear();
    output_streams_.clear();
    owned_packet_types_.clear();
    RETURN_IF_ERROR(InitializeSidePacketInfo(nullptr));
    RETURN_IF_ERROR(InitializeStreamInfo(nullptr));
  }

  RETURN_IF_ERROR(FillUpstreamFieldForBackEdges());
  RETURN_IF_ERROR(ResolveAnyTypes(&input_streams_, &output_streams_));
  RETURN_IF_ERROR(ResolveAnyTypes(&input_side_packets_, &output_side_packets_));
  RETURN_IF_ERROR(ValidateSidePacketTypes());
  RETURN_IF_ERROR(ValidateStreamTypes());
  RETURN_IF_ERROR(ComputeSourceDependence());
  RETURN_IF_ERROR(ValidateExecutors());
  initialized_ = true;
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::Initialize(const std::string& graph_type,
                                              const pellumo::CalculatorGraphConfig_Node* options,
                                              const GraphRegistry* graph_registry) {
  const GraphRegistry* registry =
      graph_registry != nullptr ? graph_registry : &GraphRegistry::global_graph_registry;
  ASSIGN_OR_RETURN(pellumo::CalculatorGraphConfig config,
                   registry->CreateByName("", graph_type, options));
  return Initialize(config, registry);
}

absl::Status ValidatedGraphConfig::Initialize(
    const std::vector<pellumo::CalculatorGraphConfig>& input_configs,
    const std::vector<pellumo::CalculatorGraphTemplate>& input_templates,
    const std::string& graph_type, const pellumo::CalculatorGraphConfig_Node* options) {
  GraphRegistry graph_registry;
  for (const pellumo::CalculatorGraphConfig& config : input_configs) {
    graph_registry.Register(config.type(), config);
  }
  for (const pellumo::CalculatorGraphTemplate& graph_template : input_templates) {
    graph_registry.Register(graph_template.config().type(), graph_template);
  }
  return Initialize(graph_type, options, &graph_registry);
}

absl::Status ValidatedGraphConfig::InitializeGeneratorInfo() {
  std::vector<absl::Status> statuses;
  generators_.reserve(config_.packet_generator_size());
  for (int index = 0; index < config_.packet_generator_size(); ++index) {
    generators_.emplace_back();
    absl::Status status =
        generators_.back().Initialize(*this, config_.packet_generator(index), index);
    if (!status.ok()) statuses.push_back(std::move(status));
  }
  return tool::CombinedStatus("ValidatedGraphConfig Initialization failed.", statuses);
}

absl::Status ValidatedGraphConfig::InitializeCalculatorInfo() {
  std::vector<absl::Status> statuses;
  calculators_.reserve(config_.node_size());
  for (int index = 0; index < config_.node_size(); ++index) {
    calculators_.emplace_back();
    absl::Status status = calculators_.back().Initialize(*this, config_.node(index), index);
    if (!status.ok()) statuses.push_back(std::move(status));
  }
  return tool::CombinedStatus("ValidatedGraphConfig Initialization failed.", statuses);
}

absl::Status ValidatedGraphConfig::InitializeStatusHandlerInfo() {
  std::vector<absl::Status> statuses;
  status_handlers_.reserve(config_.status_handler_size());
  for (int index = 0; index < config_.status_handler_size(); ++index) {
    status_handlers_.emplace_back();
    absl::Status status =
        status_handlers_.back().Initialize(*this, config_.status_handler(index), index);
    if (!status.ok()) statuses.push_back(std::move(status));
  }
  return tool::CombinedStatus("ValidatedGraphConfig Initialization failed.", statuses);
}

absl::Status ValidatedGraphConfig::InitializeSidePacketInfo(bool* need_sorting_ptr) {
  for (NodeTypeInfo* node_type_info : sorted_nodes_) {
    RETURN_IF_ERROR(AddInputSidePacketsForNode(node_type_info));
    RETURN_IF_ERROR(AddOutputSidePacketsForNode(node_type_info, need_sorting_ptr));
  }
  // Status handlers are added in the pass after the sort.
  if (need_sorting_ptr != nullptr && *need_sorting_ptr) return absl::OkStatus();
  for (int index = 0; index < static_cast<int>(status_handlers_.size()); ++index) {
    NodeTypeInfo* node_type_info = &status_handlers_[index];
    RET_CHECK(node_type_info->Node().type == NodeTypeInfo::NodeType::STATUS_HANDLER);
    RET_CHECK_EQ(node_type_info->Node().index, index);
    RETURN_IF_ERROR(AddInputSidePacketsForNode(node_type_info));
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::AddInputSidePacketsForNode(NodeTypeInfo* node_type_info) {
  node_type_info->SetInputSidePacketBaseIndex(static_cast<int>(input_side_packets_.size()));
  PacketTypeSet& types = node_type_info->Contract().InputSidePackets();
  const std::vector<std::string>& names = types.GetTagMap()->Names();
  for (CollectionItemId id = types.BeginId(); id < types.EndId(); ++id) {
    const std::string& name = names[id.Value()];
    input_side_packets_.emplace_back();
    EdgeInfo& edge_info = input_side_packets_.back();
    auto it = side_packet_to_producer_.find(name);
    if (it != side_packet_to_producer_.end()) {
      edge_info.upstream = it->second;
    } else {
      required_side_packets_[name].push_back(static_cast<int>(input_side_packets_.size()) - 1);
    }
    edge_info.parent_node = node_type_info->Node();
    edge_info.name = name;
    edge_info.packet_type = &types.Get(id);
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::AddOutputSidePacketsForNode(NodeTypeInfo* node_type_info,
                                                               bool* need_sorting_ptr) {
  node_type_info->SetOutputSidePacketBaseIndex(static_cast<int>(output_side_packets_.size()));
  PacketTypeSet& types = node_type_info->Contract().OutputSidePackets();
  const std::vector<std::string>& names = types.GetTagMap()->Names();
  for (CollectionItemId id = types.BeginId(); id < types.EndId(); ++id) {
    const std::string& name = names[id.Value()];
    output_side_packets_.emplace_back();
    EdgeInfo& edge_info = output_side_packets_.back();
    edge_info.parent_node = node_type_info->Node();
    edge_info.name = name;
    edge_info.packet_type = &types.Get(id);
    if (!side_packet_to_producer_
             .emplace(name, static_cast<int>(output_side_packets_.size()) - 1)
             .second) {
      return tool::StatusFail(absl::StrCat("Output Side Packet \"", name, "\" defined twice."));
    }
    if (required_side_packets_.count(name) > 0) {
      if (need_sorting_ptr == nullptr) {
        return tool::StatusFail(
            absl::StrCat("Side packet \"", name, "\" was produced after it was used."));
      }
      *need_sorting_ptr = true;
    }
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::InitializeStreamInfo(bool* need_sorting_ptr) {
  ASSIGN_OR_RETURN(std::shared_ptr<tool::TagMap> graph_input_streams,
                   tool::TagMap::Create(config_.input_stream()));
  const std::vector<std::string>& names = graph_input_streams->Names();
  for (int k = 0; k < static_cast<int>(names.size()); ++k) {
    owned_packet_types_.push_back(std::make_unique<PacketType>());
    owned_packet_types_.back()->SetAny();
    RETURN_IF_ERROR(AddOutputStream(NodeRef(NodeType::GRAPH_INPUT_STREAM, config_.node_size() + k),
                                    names[k], owned_packet_types_.back().get()));
  }
  for (NodeTypeInfo& node_type_info : calculators_) {
    RET_CHECK(node_type_info.Node().type == NodeTypeInfo::NodeType::CALCULATOR);
    RETURN_IF_ERROR(AddInputStreamsForNode(&node_type_info, need_sorting_ptr));
    RETURN_IF_ERROR(AddOutputStreamsForNode(&node_type_info));
  }
  // Only the syntax of the graph output streams is checked.
  RETURN_IF_ERROR(tool::TagMap::Create(config_.output_stream()).status());
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::AddOutputStream(NodeRef node, const std::string& name,
                                                   PacketType* packet_type) {
  output_streams_.emplace_back();
  EdgeInfo& edge_info = output_streams_.back();
  edge_info.parent_node = node;
  edge_info.name = name;
  edge_info.packet_type = packet_type;
  if (!stream_to_producer_.emplace(name, static_cast<int>(output_streams_.size()) - 1).second) {
    return tool::StatusFail(absl::StrCat("Output Stream \"", name, "\" defined twice."));
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::AddOutputStreamsForNode(NodeTypeInfo* node_type_info) {
  node_type_info->SetOutputStreamBaseIndex(static_cast<int>(output_streams_.size()));
  PacketTypeSet& types = node_type_info->Contract().Outputs();
  const std::vector<std::string>& names = types.GetTagMap()->Names();
  for (CollectionItemId id = types.BeginId(); id < types.EndId(); ++id) {
    RETURN_IF_ERROR(AddOutputStream(node_type_info->Node(), names[id.Value()], &types.Get(id)));
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::AddInputStreamsForNode(NodeTypeInfo* node_type_info,
                                                          bool* need_sorting_ptr) {
  node_type_info->SetInputStreamBaseIndex(static_cast<int>(input_streams_.size()));
  const int node_index = node_type_info->Node().index;
  const pellumo::CalculatorGraphConfig_Node& node_config = config_.node(node_index);
  PacketTypeSet& types = node_type_info->Contract().Inputs();

  std::vector<bool> back_edges;
  if (node_config.input_stream_info_size() > 0) {
    back_edges.assign(types.NumEntries(), false);
    for (const pellumo::InputStreamInfo& info : node_config.input_stream_info()) {
      if (!info.back_edge()) continue;
      std::string tag;
      int index;
      RETURN_IF_ERROR(tool::ParseTagIndex(info.tag_index(), &tag, &index));
      CollectionItemId id = types.GetId(tag, index);
      RET_CHECK(id.IsValid());
      back_edges[id.Value()] = true;
    }
  }

  const std::vector<std::string>& names = types.GetTagMap()->Names();
  for (CollectionItemId id = types.BeginId(); id < types.EndId(); ++id) {
    const std::string& name = names[id.Value()];
    input_streams_.emplace_back();
    EdgeInfo& edge_info = input_streams_.back();
    edge_info.back_edge = !back_edges.empty() && back_edges[id.Value()];
    auto it = stream_to_producer_.find(name);
    if (it != stream_to_producer_.end()) {
      if (!edge_info.back_edge) {
        edge_info.upstream = it->second;
      } else if (need_sorting_ptr == nullptr) {
        LOG(WARNING) << "Input Stream \"" << name << "\" for node with sorted index "
                     << node_index
                     << " is marked as a back edge, but its output stream is already "
                        "available.  This means it was not necessary to mark it as a back "
                        "edge.";
      }
    } else if (edge_info.back_edge) {
      VLOG(1) << "Encountered expected behavior: the back edge \"" << name
              << "\" for node with (possibly sorted) index " << node_index
              << " has an output stream which we have not yet seen.";
    } else if (need_sorting_ptr != nullptr) {
      *need_sorting_ptr = true;
    } else {
      return tool::StatusFail(absl::StrCat("Input Stream \"", name,
                                           "\" for node with sorted index ", node_index,
                                           " does not have a corresponding output stream."));
    }
    edge_info.parent_node = node_type_info->Node();
    edge_info.name = name;
    edge_info.packet_type = &types.Get(id);
  }
  return absl::OkStatus();
}

int ValidatedGraphConfig::SorterIndexForNode(NodeRef node) const {
  switch (node.type) {
    case NodeType::PACKET_GENERATOR:
      return node.index;
    case NodeType::CALCULATOR:
      return static_cast<int>(generators_.size()) + node.index;
    default:
      CHECK(false);
  }
  return -1;
}

NodeRef ValidatedGraphConfig::NodeForSorterIndex(int index) const {
  const int num_generators = static_cast<int>(generators_.size());
  if (index < num_generators) return NodeRef(NodeType::PACKET_GENERATOR, index);
  return NodeRef(NodeType::CALCULATOR, index - num_generators);
}

absl::Status ValidatedGraphConfig::TopologicalSortNodes() {
  const int num_generators = static_cast<int>(generators_.size());
  const int num_calculators = static_cast<int>(calculators_.size());
  util::DenseIntStableTopologicalSorter sorter(num_generators + num_calculators);
  for (const EdgeInfo& stream : input_streams_) {
    auto it = stream_to_producer_.find(stream.name);
    if (it == stream_to_producer_.end()) continue;
    const EdgeInfo& producer = output_streams_[it->second];
    if (producer.parent_node.type == NodeType::GRAPH_INPUT_STREAM || stream.back_edge) continue;
    VLOG(3) << "Adding an edge for stream \"" << stream.name << "\" from "
            << producer.parent_node.index << " to " << stream.parent_node.index;
    sorter.AddEdge(SorterIndexForNode(producer.parent_node),
                   SorterIndexForNode(stream.parent_node));
  }
  for (const EdgeInfo& side_packet : input_side_packets_) {
    if (side_packet.parent_node.type != NodeType::CALCULATOR &&
        side_packet.parent_node.type != NodeType::PACKET_GENERATOR) {
      continue;
    }
    auto it = side_packet_to_producer_.find(side_packet.name);
    if (it == side_packet_to_producer_.end()) continue;
    const EdgeInfo& producer = output_side_packets_[it->second];
    VLOG(3) << "Adding an edge for side packet \"" << side_packet.name << "\" from "
            << producer.parent_node.index << " to " << side_packet.parent_node.index;
    sorter.AddEdge(SorterIndexForNode(producer.parent_node),
                   SorterIndexForNode(side_packet.parent_node));
  }

  std::vector<NodeTypeInfo> new_generators;
  google::protobuf::RepeatedPtrField<pellumo::PacketGeneratorConfig> new_generator_configs;
  std::vector<NodeTypeInfo> new_calculators;
  google::protobuf::RepeatedPtrField<pellumo::CalculatorGraphConfig_Node> new_node_configs;
  new_generators.reserve(num_generators);
  new_generator_configs.Reserve(num_generators);
  new_calculators.reserve(num_calculators);
  new_node_configs.Reserve(num_calculators);
  sorted_nodes_.clear();

  int index;
  bool cyclic = false;
  std::vector<int> cycle_indexes;
  while (sorter.GetNext(&index, &cyclic, &cycle_indexes)) {
    NodeTypeInfo* moved;
    if (index < num_generators) {
      new_generators.push_back(std::move(generators_[index]));
      moved = &new_generators.back();
      moved->SetNodeIndex(static_cast<int>(new_generators.size()) - 1);
      new_generator_configs.Add()->Swap(config_.mutable_packet_generator(index));
      VLOG(3) << "Taking generator with index " << index << " in the original order";
    } else {
      const int calculator = index - num_generators;
      new_calculators.push_back(std::move(calculators_[calculator]));
      moved = &new_calculators.back();
      moved->SetNodeIndex(static_cast<int>(new_calculators.size()) - 1);
      new_node_configs.Add()->Swap(config_.mutable_node(calculator));
      VLOG(3) << "Taking calculator with index " << calculator << " in the original order";
    }
    sorted_nodes_.push_back(moved);
  }
  generators_.swap(new_generators);
  config_.mutable_packet_generator()->Swap(&new_generator_configs);
  calculators_.swap(new_calculators);
  config_.mutable_node()->Swap(&new_node_configs);

  if (cyclic) {
    return tool::StatusFail(absl::StrCat(
        "Generator side packet cycle or calculator stream cycle detected in graph.  Cycle "
        "indexes: ",
        absl::StrJoin(cycle_indexes, ", ")));
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::FillUpstreamFieldForBackEdges() {
  for (EdgeInfo& input_stream : input_streams_) {
    if (!input_stream.back_edge) continue;
    RET_CHECK_EQ(-1, input_stream.upstream)
        << "Shouldn't have been able to know the upstream index for back edge"
        << input_stream.name << ".";
    auto iter = stream_to_producer_.find(input_stream.name);
    RET_CHECK(iter != stream_to_producer_.end())
        << "Unable to find upstream edge for back edge \"" << input_stream.name
        << "\" (shouldn't have passed validation).";
    input_stream.upstream = iter->second;
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::ResolveAnyTypes(std::vector<EdgeInfo>* input_edges,
                                                   std::vector<EdgeInfo>* output_edges) {
  for (EdgeInfo& input_edge : *input_edges) {
    if (input_edge.upstream == -1) continue;
    EdgeInfo& output_edge = (*output_edges)[input_edge.upstream];
    PacketType* input_root = input_edge.packet_type->GetSameAs();
    PacketType* output_root = output_edge.packet_type->GetSameAs();
    if (input_root->IsAny()) {
      input_root->SetSameAs(output_edge.packet_type);
    } else if (output_root->IsAny()) {
      output_root->SetSameAs(input_edge.packet_type);
    }
  }
  return absl::OkStatus();
}

std::string ValidatedGraphConfig::DebugName(NodeRef node) const {
  switch (node.type) {
    case NodeType::CALCULATOR:
      return kaldren::DebugName(config_.node(node.index));
    case NodeType::PACKET_GENERATOR:
      return kaldren::DebugName(config_.packet_generator(node.index));
    case NodeType::STATUS_HANDLER:
      return kaldren::DebugName(config_.status_handler(node.index));
    case NodeType::GRAPH_INPUT_STREAM:
      return config_.input_stream(node.index - config_.node_size());
    default:
      LOG(FATAL) << "Unknown NodeTypeInfo::NodeType: "
                 << NodeTypeInfo::NodeTypeToString(node.type);
  }
  return "";
}

absl::Status ValidatedGraphConfig::ValidateSidePacketTypes() {
  for (const EdgeInfo& side_packet : input_side_packets_) {
    if (side_packet.upstream == -1) continue;
    const EdgeInfo& producer = output_side_packets_[side_packet.upstream];
    if (!side_packet.packet_type->IsConsistentWith(*producer.packet_type)) {
      return tool::StatusFail(absl::Substitute(
          "Input side packet \"$0\" of $1 \"$2\" expected a packet of type \"$3\" but the "
          "connected output side packet will be of type \"$4\"",
          side_packet.name, NodeTypeInfo::NodeTypeToString(side_packet.parent_node.type),
          DebugName(side_packet.parent_node), side_packet.packet_type->DebugTypeName(),
          producer.packet_type->DebugTypeName()));
    }
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::ValidateStreamTypes() {
  for (const EdgeInfo& stream : input_streams_) {
    RET_CHECK_NE(stream.upstream, -1);
    const EdgeInfo& producer = output_streams_[stream.upstream];
    if (!stream.packet_type->IsConsistentWith(*producer.packet_type)) {
      return tool::StatusFail(absl::Substitute(
          "Input stream \"$0\" of calculator \"$1\" expects packets of type \"$2\" but the "
          "connected output stream will contain packets of type \"$3\"",
          stream.name, kaldren::DebugName(config_.node(stream.parent_node.index)),
          stream.packet_type->DebugTypeName(), producer.packet_type->DebugTypeName()));
    }
  }
  return absl::OkStatus();
}

absl::Status ValidatedGraphConfig::ComputeSourceDependence() {
  for (int node_index = 0; node_index < static_cast<int>(calculators_.size()); ++node_index) {
    NodeTypeInfo& node_type_info = calculators_[node_index];
    const int num_inputs = node_type_info.Contract().Inputs().NumEntries();
    if (num_inputs == 0) {
      node_type_info.AddSource(node_index);
      continue;
    }
    const int base = node_type_info.InputStreamBaseIndex();
    for (int stream_index = base; stream_index < base + num_inputs; ++stream_index) {
      RET_CHECK(stream_index >= 0 && static_cast<size_t>(stream_index) < input_streams_.size())
          << "Unable to find input streams for non-source node with index " << node_index
          << " tried to use " << stream_index;
      const EdgeInfo& input_edge_info = input_streams_[stream_index];
      RET_CHECK_LE(0, input_edge_info.upstream)
          << "input stream \"" << input_edge_info.name
          << "\" is not connected to an output stream.";
      const EdgeInfo& output_edge_info = output_streams_[input_edge_info.upstream];
      RET_CHECK_LE(0, output_edge_info.parent_node.index)
          << "output stream \"" << output_edge_info.name
          << "\" does not have a valid node which owns it.";
      RET_CHECK_LE(output_edge_info.parent_node.index,
                   calculators_.size() + config_.input_stream_size())
          << "output stream \"" << output_edge_info.name
          << "\" does not have a valid node which owns it.";
      if (output_edge_info.parent_node.type == NodeType::GRAPH_INPUT_STREAM) {
        node_type_info.AddSource(output_edge_info.parent_node.index);
      } else {
        // Copied first: a back edge may come from this very node.
        const std::unordered_set<int> sources =
            calculators_[output_edge_info.parent_node.index].AncestorSources();
        for (int source : sources) node_type_info.AddSource(source);
      }
    }
  }
  return absl::OkStatus();
}

bool ValidatedGraphConfig::IsReservedExecutorName(const std::string& name) {
  return name == "default" || name == "gpu" ||
         (name.size() >= 2 && name[0] == '_' && name[1] == '_');
}

absl::Status ValidatedGraphConfig::ValidateExecutors() {
  std::set<std::string> declared_names;
  for (const pellumo::ExecutorConfig& executor : config_.executor()) {
    if (IsReservedExecutorName(executor.name())) {
      return absl::InvalidArgumentError(
          absl::StrCat("\"", executor.name(), "\" is a reserved executor name."));
    }
    if (!declared_names.insert(executor.name()).second) {
      if (executor.name().empty()) {
        return absl::InvalidArgumentError("ExecutorConfig for the default executor is duplicate.");
      }
      return absl::InvalidArgumentError(
          absl::StrCat("ExecutorConfig for \"", executor.name(), "\" is duplicate."));
    }
  }
  for (const pellumo::CalculatorGraphConfig_Node& node : config_.node()) {
    const std::string& executor = node.executor();
    if (executor.empty()) continue;
    if (IsReservedExecutorName(executor)) {
      return absl::InvalidArgumentError(
          absl::StrCat("\"", executor, "\" is a reserved executor name."));
    }
    if (declared_names.count(executor) == 0) {
      return absl::InvalidArgumentError(absl::StrCat(
          "The executor \"", executor, "\" is not declared in an ExecutorConfig."));
    }
  }
  return absl::OkStatus();
}

int ValidatedGraphConfig::OutputStreamIndex(const std::string& name) const {
  auto it = stream_to_producer_.find(name);
  return it == stream_to_producer_.end() ? -1 : it->second;
}

int ValidatedGraphConfig::OutputSidePacketIndex(const std::string& name) const {
  auto it = side_packet_to_producer_.find(name);
  return it == side_packet_to_producer_.end() ? -1 : it->second;
}

int ValidatedGraphConfig::OutputStreamToNode(const std::string& name) const {
  auto it = stream_to_producer_.find(name);
  return it == stream_to_producer_.end() ? -1 : output_streams_[it->second].parent_node.index;
}

util::StatusOr<std::string> ValidatedGraphConfig::RegisteredSidePacketTypeName(
    const std::string& name) const {
  bool defined = false;
  auto it = side_packet_to_producer_.find(name);
  if (it != side_packet_to_producer_.end()) {
    defined = true;
    const std::string* type_name =
        output_side_packets_[it->second].packet_type->RegisteredTypeName();
    if (type_name != nullptr) return *type_name;
  }
  for (const EdgeInfo& input_side_packet : input_side_packets_) {
    if (input_side_packet.name != name) continue;
    defined = true;
    const std::string* type_name = input_side_packet.packet_type->RegisteredTypeName();
    if (type_name != nullptr) return *type_name;
  }
  if (!defined) {
    return absl::InvalidArgumentError(
        absl::StrCat("Side packet \"", name, "\" is not defined in the config."));
  }
  return absl::UnknownError(absl::StrCat(
      "Unable to find the type for side packet \"", name,
      "\".  It may be set to AnyType or something else that isn't determinable, or the type "
      "may be defined but not registered."));
}

util::StatusOr<std::string> ValidatedGraphConfig::RegisteredStreamTypeName(
    const std::string& name) const {
  auto it = stream_to_producer_.find(name);
  if (it == stream_to_producer_.end()) {
    return absl::InvalidArgumentError(
        absl::StrCat("Stream \"", name, "\" is not defined in the config."));
  }
  const int producer = it->second;
  const std::string* type_name = output_streams_[producer].packet_type->RegisteredTypeName();
  if (type_name != nullptr) return *type_name;
  for (const EdgeInfo& input_stream : input_streams_) {
    if (input_stream.upstream != producer) continue;
    type_name = input_stream.packet_type->RegisteredTypeName();
    if (type_name != nullptr) return *type_name;
  }
  return absl::UnknownError(absl::StrCat(
      "Unable to find the type for stream \"", name,
      "\".  It may be set to AnyType or something else that isn't determinable, or the type "
      "may be defined but not registered."));
}

absl::Status ValidatedGraphConfig::ValidateRequiredSidePackets(
    const std::map<std::string, Packet>& side_packets) const {
  std::vector<absl::Status> statuses;
  for (const auto& [name, consumers] : required_side_packets_) {
    auto it = side_packets.find(name);
    if (it == side_packets.end()) {
      statuses.push_back(absl::InvalidArgumentError(
          absl::StrCat("Side packet \"", name, "\" is required but was not provided.")));
      continue;
    }
    for (int consumer : consumers) {
      absl::Status status = input_side_packets_[consumer].packet_type->Validate(it->second);
      if (!status.ok()) {
        statuses.push_back(tool::AddStatusPrefix(
            absl::StrCat("Side packet \"", name, "\" failed validation: "), status));
      }
    }
  }
  return tool::CombinedStatus("ValidateRequiredSidePackets failed to validate: ", statuses);
}

absl::Status ValidatedGraphConfig::ValidateRequiredSidePacketTypes(
    const std::map<std::string, PacketType>& side_packet_types) const {
  std::vector<absl::Status> statuses;
  for (const auto& [name, consumers] : required_side_packets_) {
    auto it = side_packet_types.find(name);
    if (it == side_packet_types.end()) {
      statuses.push_back(absl::InvalidArgumentError(
          absl::StrCat("Side packet \"", name, "\" is required but was not provided.")));
      continue;
    }
    for (int consumer : consumers) {
      if (!input_side_packets_[consumer].packet_type->IsConsistentWith(it->second)) {
        return absl::UnknownError(
            absl::StrCat("Side packet \"", name, "\" has incorrect type."));
      }
    }
  }
  return tool::CombinedStatus("ValidateRequiredSidePackets failed to validate: ", statuses);
}

}  // namespace kaldren
