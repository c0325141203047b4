#include "graph/subgraph_expansion.h"

#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/status_macros.h"
#include "graph_config/config_conversion.h"
#include "graph_config/tag_map.h"

namespace kaldren {
namespace tool {

using pellumo::CalculatorGraphConfig;
using pellumo::CalculatorGraphConfig_Node;

absl::Status TransformStreamNames(StreamList* streams, const NameTransform& transform) {
  for (std::string& entry : *streams) {
    const size_t colon = entry.rfind(':');
    const size_t name_start = colon == std::string::npos ? 0 : colon + 1;
    std::string renamed = transform(absl::string_view(entry).substr(name_start));
    entry = absl::StrCat(absl::string_view(entry).substr(0, name_start), renamed);
  }
  return absl::OkStatus();
}

absl::Status TransformNames(CalculatorGraphConfig* config, const NameTransform& transform) {
  RET_CHECK_EQ(config->packet_factory().size(), 0);
  for (StreamList* list :
       {config->mutable_input_stream(), config->mutable_output_stream(),
        config->mutable_input_side_packet(), config->mutable_output_side_packet()}) {
    RETURN_IF_ERROR(TransformStreamNames(list, transform));
  }
  for (CalculatorGraphConfig_Node& node : *config->mutable_node()) {
    for (StreamList* list :
         {node.mutable_input_stream(), node.mutable_output_stream(),
          node.mutable_input_side_packet(), node.mutable_output_side_packet()}) {
      RETURN_IF_ERROR(TransformStreamNames(list, transform));
    }
    if (!node.name().empty()) node.set_name(transform(node.name()));
  }
  for (pellumo::PacketGeneratorConfig& generator : *config->mutable_packet_generator()) {
    RETURN_IF_ERROR(TransformStreamNames(generator.mutable_input_side_packet(), transform));
    RETURN_IF_ERROR(TransformStreamNames(generator.mutable_output_side_packet(), transform));
  }
  for (pellumo::StatusHandlerConfig& handler : *config->mutable_status_handler()) {
    RETURN_IF_ERROR(TransformStreamNames(handler.mutable_input_side_packet(), transform));
  }
  return absl::OkStatus();
}

absl::Status PrefixNames(int subgraph_index, CalculatorGraphConfig* config) {
  const std::string prefix = absl::StrCat("__sg", subgraph_index, "_");
  return TransformNames(config,
                        [&prefix](absl::string_view name) { return absl::StrCat(prefix, name); });
}

absl::Status FindCorrespondingStreams(std::map<std::string, std::string>* stream_map,
                                      const StreamList& src_streams,
                                      const StreamList& dst_streams) {
  ASSIGN_OR_RETURN(std::shared_ptr<TagMap> src_map, TagMap::Create(src_streams));
  ASSIGN_OR_RETURN(std::shared_ptr<TagMap> dst_map, TagMap::Create(dst_streams));
  for (const auto& [tag, dst_data] : dst_map->Mapping()) {
    auto src_it = src_map->Mapping().find(tag);
    if (src_it == src_map->Mapping().end()) {
      return absl::InvalidArgumentError(
          absl::StrCat("Tag \"", tag, "\" does not exist in the subgraph config."));
    }
    const TagMap::TagData& src_data = src_it->second;
    if (dst_data.count > src_data.count) {
      return absl::InvalidArgumentError(absl::StrCat(
          "Tag \"", tag, "\" has ", dst_data.count, " indexes in the subgraph node but has only ",
          src_data.count, " indexes in the subgraph config."));
    }
    for (int k = 0; k < dst_data.count; ++k) {
      const std::string& src_name = src_map->Names()[src_data.id.Value() + k];
      const std::string& dst_name = dst_map->Names()[dst_data.id.Value() + k];
      (*stream_map)[src_name] = dst_name;
    }
  }
  return absl::OkStatus();
}

absl::Status FindIgnoredStreams(const StreamList& src_streams, const StreamList& dst_streams,
                                std::set<std::string>* missing_streams) {
  ASSIGN_OR_RETURN(std::shared_ptr<TagMap> src_map, TagMap::Create(src_streams));
  ASSIGN_OR_RETURN(std::shared_ptr<TagMap> dst_map, TagMap::Create(dst_streams));
  const std::set<std::string> dst_names(dst_map->Names().begin(), dst_map->Names().end());
  for (const std::string& name : src_map->Names()) {
    if (dst_names.count(name) == 0) missing_streams->insert(name);
  }
  return absl::OkStatus();
}

absl::Status RemoveIgnoredStreams(StreamList* streams,
                                  const std::set<std::string>& missing_streams) {
  for (int i = streams->size() - 1; i >= 0; --i) {
    if (missing_streams.count(streams->Get(i)) > 0) streams->DeleteSubrange(i, 1);
  }
  return absl::OkStatus();
}

absl::Status ValidateSubgraphFields(const CalculatorGraphConfig_Node& subgraph_node) {
  if (subgraph_node.source_layer() || subgraph_node.buffer_size_hint() ||
      subgraph_node.has_input_stream_handler() || subgraph_node.has_output_stream_handler() ||
      subgraph_node.input_stream_info_size() != 0 || !subgraph_node.executor().empty()) {
    return absl::InvalidArgumentError(
        absl::StrCat("Subgraph \"", subgraph_node.name(),
                     "\" has a field that is only applicable to calculators."));
  }
  return absl::OkStatus();
}

absl::Status ConnectSubgraphStreams(const CalculatorGraphConfig_Node& subgraph_node,
                                    CalculatorGraphConfig* subgraph_config) {
  std::map<std::string, std::string> stream_map;
  std::map<std::string, std::string> side_packet_map;
  const std::string& type = subgraph_node.calculator();
  RETURN_IF_ERROR(FindCorrespondingStreams(&stream_map, subgraph_config->input_stream(),
                                           subgraph_node.input_stream()))
          .SetPrepend()
      << "while processing the input streams of subgraph node " << type << ": ";
  RETURN_IF_ERROR(FindCorrespondingStreams(&stream_map, subgraph_config->output_stream(),
                                           subgraph_node.output_stream()))
          .SetPrepend()
      << "while processing the output streams of subgraph node " << type << ": ";
  RETURN_IF_ERROR(FindCorrespondingStreams(&side_packet_map,
                                           subgraph_config->input_side_packet(),
                                           subgraph_node.input_side_packet()))
          .SetPrepend()
      << "while processing the input side packets of subgraph node " << type << ": ";
  RETURN_IF_ERROR(FindCorrespondingStreams(&side_packet_map,
                                           subgraph_config->output_side_packet(),
                                           subgraph_node.output_side_packet()))
          .SetPrepend()
      << "while processing the output side packets of subgraph node " << type << ": ";

  std::set<std::string> ignored_input_streams;
  std::set<std::string> ignored_input_side_packets;
  RETURN_IF_ERROR(FindIgnoredStreams(subgraph_config->input_stream(),
                                     subgraph_node.input_stream(), &ignored_input_streams));
  RETURN_IF_ERROR(FindIgnoredStreams(subgraph_config->input_side_packet(),
                                     subgraph_node.input_side_packet(),
                                     &ignored_input_side_packets));

  auto through = [](const std::map<std::string, std::string>& map) {
    return [&map](absl::string_view name) {
      auto it = map.find(std::string(name));
      return it == map.end() ? std::string(name) : it->second;
    };
  };
  const NameTransform stream_transform = through(stream_map);
  const NameTransform side_packet_transform = through(side_packet_map);
  for (CalculatorGraphConfig_Node& node : *subgraph_config->mutable_node()) {
    RETURN_IF_ERROR(TransformStreamNames(node.mutable_input_stream(), stream_transform));
    RETURN_IF_ERROR(TransformStreamNames(node.mutable_output_stream(), stream_transform));
    RETURN_IF_ERROR(
        TransformStreamNames(node.mutable_input_side_packet(), side_packet_transform));
    RETURN_IF_ERROR(
        TransformStreamNames(node.mutable_output_side_packet(), side_packet_transform));
    RETURN_IF_ERROR(RemoveIgnoredStreams(node.mutable_input_stream(), ignored_input_streams));
    RETURN_IF_ERROR(
        RemoveIgnoredStreams(node.mutable_input_side_packet(), ignored_input_side_packets));
  }
  for (pellumo::PacketGeneratorConfig& generator : *subgraph_config->mutable_packet_generator()) {
    RETURN_IF_ERROR(
        TransformStreamNames(generator.mutable_input_side_packet(), side_packet_transform));
    RETURN_IF_ERROR(
        TransformStreamNames(generator.mutable_output_side_packet(), side_packet_transform));
  }
  return absl::OkStatus();
}

absl::Status ExpandSubgraphs(CalculatorGraphConfig* config,
                             const GraphRegistry* graph_registry) {
  RET_CHECK(config);
  const GraphRegistry* registry =
      graph_registry != nullptr ? graph_registry : &GraphRegistry::global_graph_registry;
  int subgraph_counter = 0;
  // The subgraph types each node was expanded from, outermost first, kept parallel to the
  // node list: a subgraph type that shows up again inside its own expansion would expand
  // forever.
  std::vector<std::vector<std::string>> chains(config->node_size());
  while (true) {
    // Stable partition: calculators first, then subgraph nodes.
    std::vector<int> calculator_positions;
    std::vector<int> subgraph_positions;
    for (int i = 0; i < config->node_size(); ++i) {
      if (registry->IsRegistered(config->package(), config->node(i).calculator())) {
        subgraph_positions.push_back(i);
      } else {
        calculator_positions.push_back(i);
      }
    }
    if (subgraph_positions.empty()) return absl::OkStatus();
    google::protobuf::RepeatedPtrField<CalculatorGraphConfig_Node> calculator_nodes;
    google::protobuf::RepeatedPtrField<CalculatorGraphConfig_Node> subgraph_nodes;
    std::vector<std::vector<std::string>> new_chains;
    std::vector<std::vector<std::string>> subgraph_chains;
    for (int i : calculator_positions) {
      calculator_nodes.Add()->Swap(config->mutable_node(i));
      new_chains.push_back(std::move(chains[i]));
    }
    for (int i : subgraph_positions) {
      subgraph_nodes.Add()->Swap(config->mutable_node(i));
      subgraph_chains.push_back(std::move(chains[i]));
    }
    // A failure below leaves the configuration without its subgraph nodes; callers discard
    // it then.
    config->mutable_node()->Swap(&calculator_nodes);
    chains = std::move(new_chains);

    std::vector<CalculatorGraphConfig> subgraphs;
    for (int s = 0; s < subgraph_nodes.size(); ++s) {
      const CalculatorGraphConfig_Node& node = subgraph_nodes.Get(s);
      const std::vector<std::string>& chain = subgraph_chains[s];
      for (const std::string& outer : chain) {
        if (outer != node.calculator()) continue;
        std::vector<std::string> path = chain;
        path.push_back(node.calculator());
        return absl::FailedPreconditionError(
            absl::StrCat("Subgraph \"", node.calculator(),
                         "\" contains itself: ", absl::StrJoin(path, " -> ")));
      }
      RETURN_IF_ERROR(ValidateSubgraphFields(node));
      ASSIGN_OR_RETURN(CalculatorGraphConfig subgraph,
                       registry->CreateByName(config->package(), node.calculator(), &node));
      RETURN_IF_ERROR(pellumo::tool::ConvertExternalInputs(&subgraph));
      RETURN_IF_ERROR(pellumo::tool::ConvertPacketFactories(&subgraph));
      RETURN_IF_ERROR(PrefixNames(subgraph_counter++, &subgraph));
      RETURN_IF_ERROR(ConnectSubgraphStreams(node, &subgraph));
      subgraphs.push_back(std::move(subgraph));
    }

    for (int s = 0; s < static_cast<int>(subgraphs.size()); ++s) {
      std::vector<std::string> chain = subgraph_chains[s];
      chain.push_back(subgraph_nodes.Get(s).calculator());
      for (const CalculatorGraphConfig_Node& inner : subgraphs[s].node()) {
        *config->add_node() = inner;
        chains.push_back(chain);
      }
      for (const pellumo::PacketGeneratorConfig& generator : subgraphs[s].packet_generator()) {
        *config->add_packet_generator() = generator;
      }
      for (const pellumo::StatusHandlerConfig& handler : subgraphs[s].status_handler()) {
        *config->add_status_handler() = handler;
      }
    }
  }
}

}  // namespace tool
}  // namespace kaldren
