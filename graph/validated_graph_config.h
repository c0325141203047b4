// The checked, expanded and ordered form of one graph configuration, from which the graph
// runtime builds its nodes, streams, side packets and executors.
//
// `Initialize` copies the configuration, rewrites older forms, expands subgraphs, settles
// the default executor, gives nodes the graph's input stream handler, fills a contract for
// every packet generator, calculator and status handler, connects every stream and side
// packet to its one producer, sorts the nodes topologically when the configuration lists a
// consumer before its producer, checks that connected packet types agree, records which
// sources feed each calculator and checks executor names. It stops at the first failing
// step. Afterwards the object never changes and may be read from any thread.

#ifndef QUILLMERE_GRAPH_VALIDATED_GRAPH_CONFIG_H_
#define QUILLMERE_GRAPH_VALIDATED_GRAPH_CONFIG_H_

#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "absl/strings/str_cat.h"
#include "base/status.h"
#include "base/statusor.h"
#include "graph/calculator_contract.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph/subgraph.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/status_util.h"

namespace kaldren {

class ValidatedGraphConfig;

// The name a node is known by: its `name`, else its calculator; when several nodes share
// that base name, the base name, "_" and the node's rank among them (from 1).
std::string CanonicalNodeName(const pellumo::CalculatorGraphConfig& graph_config, int node_id);

// The record of one packet generator, calculator node or status handler.
class NodeTypeInfo {
 public:
  enum class NodeType {
    UNKNOWN = 0,
    CALCULATOR = 1,
    PACKET_GENERATOR = 2,
    GRAPH_INPUT_STREAM = 3,
    STATUS_HANDLER = 4,
  };

  // A node of the validated graph. The index counts within the node's own list; a graph
  // input stream's index is the number of calculators plus its position among the graph
  // input streams.
  struct NodeRef {
    NodeRef() = default;
    NodeRef(NodeType node_type, int node_index) : type(node_type), index(node_index) {}
    NodeType type = NodeType::UNKNOWN;
    int index = -1;
  };

  NodeTypeInfo() = default;
  NodeTypeInfo(NodeTypeInfo&&) = default;
  NodeTypeInfo& operator=(NodeTypeInfo&&) = default;

  absl::Status Initialize(const ValidatedGraphConfig& validated_graph,
                          const pellumo::CalculatorGraphConfig_Node& node, int node_index);
  absl::Status Initialize(const ValidatedGraphConfig& validated_graph,
                          const pellumo::PacketGeneratorConfig& generator, int generator_index);
  absl::Status Initialize(const ValidatedGraphConfig& validated_graph,
                          const pellumo::StatusHandlerConfig& handler, int handler_index);

  const CalculatorContract& Contract() const { return contract_; }
  CalculatorContract& Contract() { return contract_; }
  const NodeRef& Node() const { return node_; }

  // Positions of the node's first records in the matching edge lists; -1 until set.
  int InputSidePacketBaseIndex() const { return input_side_packet_base_index_; }
  int OutputSidePacketBaseIndex() const { return output_side_packet_base_index_; }
  int InputStreamBaseIndex() const { return input_stream_base_index_; }
  int OutputStreamBaseIndex() const { return output_stream_base_index_; }
  void SetInputSidePacketBaseIndex(int index) { input_side_packet_base_index_ = index; }
  void SetOutputSidePacketBaseIndex(int index) { output_side_packet_base_index_ = index; }
  void SetInputStreamBaseIndex(int index) { input_stream_base_index_ = index; }
  void SetOutputStreamBaseIndex(int index) { output_stream_base_index_ = index; }
  void SetNodeIndex(int index) { node_.index = index; }

  // The source ids (source calculators and graph input streams) that feed this node.
  const std::unordered_set<int>& AncestorSources() const { return ancestor_sources_; }
  // Adds a source id; whether it was new.
  bool AddSource(int index) { return ancestor_sources_.insert(index).second; }

  static std::string NodeTypeToString(NodeType node_type);

 private:
  CalculatorContract contract_;
  int input_side_packet_base_index_ = -1;
  int output_side_packet_base_index_ = -1;
  int input_stream_base_index_ = -1;
  int output_stream_base_index_ = -1;
  NodeRef node_;
  std::unordered_set<int> ancestor_sources_;
};

// One stream or side-packet endpoint.
struct EdgeInfo {
  // For an input: the position of its producer in the matching output list, or -1.
  int upstream = -1;
  NodeTypeInfo::NodeRef parent_node;
  std::string name;
  // Points into the owning node's contract (or the graph input stream types).
  PacketType* packet_type = nullptr;
  bool back_edge = false;
};

class ValidatedGraphConfig {
 public:
  ValidatedGraphConfig() = default;
  ValidatedGraphConfig(const ValidatedGraphConfig&) = delete;
  ValidatedGraphConfig& operator=(const ValidatedGraphConfig&) = delete;

  // Validates `input_config`; subgraphs are looked up in `graph_registry` (the process-wide
  // graph registry when null).
  absl::Status Initialize(const pellumo::CalculatorGraphConfig& input_config,
                          const GraphRegistry* graph_registry = nullptr);
  // Validates the subgraph registered as `graph_type` in `graph_registry` (the process-wide
  // one when null), made for a node with the options of `options` (none when null).
  absl::Status Initialize(const std::string& graph_type,
                          const pellumo::CalculatorGraphConfig_Node* options = nullptr,
                          const GraphRegistry* graph_registry = nullptr);
  // Registers every configuration of `input_configs` under its `type`, then every template
  // of `input_templates` under the `type` of its configuration, in a local registry, then
  // validates `graph_type` from it.
  absl::Status Initialize(const std::vector<pellumo::CalculatorGraphConfig>& input_configs,
                          const std::vector<pellumo::CalculatorGraphTemplate>& input_templates,
                          const std::string& graph_type,
                          const pellumo::CalculatorGraphConfig_Node* options = nullptr);

  bool Initialized() const { return initialized_; }

  const pellumo::CalculatorGraphConfig& Config() const { return config_; }
  const std::string& Package() const { return config_.package(); }

  const std::vector<NodeTypeInfo>& CalculatorInfos() const { return calculators_; }
  const std::vector<NodeTypeInfo>& GeneratorInfos() const { return generators_; }
  const std::vector<NodeTypeInfo>& StatusHandlerInfos() const { return status_handlers_; }
  const std::vector<EdgeInfo>& InputStreamInfos() const { return input_streams_; }
  const std::vector<EdgeInfo>& OutputStreamInfos() const { return output_streams_; }
  const std::vector<EdgeInfo>& InputSidePacketInfos() const { return input_side_packets_; }
  const std::vector<EdgeInfo>& OutputSidePacketInfos() const { return output_side_packets_; }

  // Position of the producing record of a stream or side packet; -1 when none.
  int OutputStreamIndex(const std::string& name) const;
  int OutputSidePacketIndex(const std::string& name) const;
  // The producing record's node index (a calculator, or a graph input stream's source id).
  int OutputStreamToNode(const std::string& name) const;

  // Generators take sorter indexes 0 to G-1, calculators G onwards.
  int SorterIndexForNode(NodeTypeInfo::NodeRef node) const;
  NodeTypeInfo::NodeRef NodeForSorterIndex(int index) const;

  // "default", "gpu" and names beginning with "__".
  static bool IsReservedExecutorName(const std::string& name);

  // The registered type name of a side packet or stream, from its producer or a consumer.
  util::StatusOr<std::string> RegisteredSidePacketTypeName(const std::string& name) const;
  util::StatusOr<std::string> RegisteredStreamTypeName(const std::string& name) const;

  // Checks that every side packet that nodes consume and no node produces is supplied, and
  // that it suits every consumer.
  absl::Status ValidateRequiredSidePackets(
      const std::map<std::string, Packet>& side_packets) const;
  absl::Status ValidateRequiredSidePacketTypes(
      const std::map<std::string, PacketType>& side_packet_types) const;

  // Fails when a side packet of `side_packets` is also produced by a node.
  template <typename T>
  absl::Status CanAcceptSidePackets(const std::map<std::string, T>& side_packets) const {
    for (const EdgeInfo& output_side_packet : output_side_packets_) {
      if (side_packets.count(output_side_packet.name) > 0) {
        return tool::StatusFail(absl::StrCat("Side packet \"", output_side_packet.name,
                                             "\" is both provided and generated by a "
                                             "PacketGenerator."));
      }
    }
    return absl::OkStatus();
  }

  // The steps of Initialize, in their order.
  absl::Status InitializeGeneratorInfo();
  absl::Status InitializeCalculatorInfo();
  absl::Status InitializeStatusHandlerInfo();
  absl::Status InitializeSidePacketInfo(bool* need_sorting_ptr);
  absl::Status InitializeStreamInfo(bool* need_sorting_ptr);
  absl::Status TopologicalSortNodes();
  absl::Status FillUpstreamFieldForBackEdges();
  absl::Status ResolveAnyTypes(std::vector<EdgeInfo>* input_edges,
                               std::vector<EdgeInfo>* output_edges);
  absl::Status ValidateSidePacketTypes();
  absl::Status ValidateStreamTypes();
  absl::Status ComputeSourceDependence();
  absl::Status ValidateExecutors();

 private:
  absl::Status AddInputSidePacketsForNode(NodeTypeInfo* node_type_info);
  absl::Status AddOutputSidePacketsForNode(NodeTypeInfo* node_type_info, bool* need_sorting_ptr);
  absl::Status AddOutputStream(NodeTypeInfo::NodeRef node, const std::string& name,
                               PacketType* packet_type);
  absl::Status AddInputStreamsForNode(NodeTypeInfo* node_type_info, bool* need_sorting_ptr);
  absl::Status AddOutputStreamsForNode(NodeTypeInfo* node_type_info);
  // How error messages describe a node.
  std::string DebugName(NodeTypeInfo::NodeRef node) const;

  bool initialized_ = false;
  pellumo::CalculatorGraphConfig config_;
  std::vector<NodeTypeInfo> calculators_;
  std::vector<NodeTypeInfo> generators_;
  std::vector<NodeTypeInfo> status_handlers_;
  // Generators, then calculators, in processing order; points into the two lists above.
  std::vector<NodeTypeInfo*> sorted_nodes_;
  std::map<std::string, int> stream_to_producer_;
  std::map<std::string, int> side_packet_to_producer_;
  // The accept-any types of the graph input streams.
  std::vector<std::unique_ptr<PacketType>> owned_packet_types_;
  // Side packets consumed but produced by no node, with their consumers' positions.
  std::map<std::string, std::vector<int>> required_side_packets_;
  std::vector<EdgeInfo> input_streams_;
  // The graph input streams first, then every calculator output.
  std::vector<EdgeInfo> output_streams_;
  std::vector<EdgeInfo> input_side_packets_;
  std::vector<EdgeInfo> output_side_packets_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_VALIDATED_GRAPH_CONFIG_H_
