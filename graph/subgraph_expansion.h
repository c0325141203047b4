// Subgraph expansion: every node whose `calculator` names a registered subgraph is replaced
// by the nodes, packet generators and status handlers of the subgraph's configuration. The
// subgraph's internal names get the prefix "__sg<n>_" (n counts the subgraph nodes expanded
// in one call), and its graph-level inputs and outputs are connected to the streams and
// side packets that the subgraph node names, matched by tag and index. Expansion runs in
// passes until no node names a subgraph, so subgraphs may contain subgraphs; a subgraph that
// contains itself, directly or through others, fails with FAILED_PRECONDITION.

#ifndef QUILLMERE_GRAPH_SUBGRAPH_EXPANSION_H_
#define QUILLMERE_GRAPH_SUBGRAPH_EXPANSION_H_

#include <functional>
#include <map>
#include <set>
#include <string>

#include "absl/strings/string_view.h"
#include "base/status.h"
#include "google/protobuf/repeated_ptr_field.h"
#include "graph/subgraph.h"
#include "graph_config/calculator.pb.h"

namespace kaldren {
namespace tool {

using NameTransform = std::function<std::string(absl::string_view)>;
using StreamList = google::protobuf::RepeatedPtrField<std::string>;

// Replaces the name part (after the last ':') of every entry by transform(name).
absl::Status TransformStreamNames(StreamList* streams, const NameTransform& transform);

// Applies `transform` to every stream and side-packet name of `config` and to every
// non-empty node name. The packet factory list must be empty.
absl::Status TransformNames(pellumo::CalculatorGraphConfig* config,
                            const NameTransform& transform);

// TransformNames with the prefix "__sg<subgraph_index>_".
absl::Status PrefixNames(int subgraph_index, pellumo::CalculatorGraphConfig* config);

// Maps the subgraph configuration's name of every TAG:index the node lists to the node's
// name of it. A tag or index the subgraph lacks is INVALID_ARGUMENT.
absl::Status FindCorrespondingStreams(std::map<std::string, std::string>* stream_map,
                                      const StreamList& src_streams,
                                      const StreamList& dst_streams);

// Adds to `missing_streams` every name of `src_streams` that `dst_streams` does not name.
absl::Status FindIgnoredStreams(const StreamList& src_streams, const StreamList& dst_streams,
                                std::set<std::string>* missing_streams);

// Deletes the entries whose whole text is in `missing_streams`.
absl::Status RemoveIgnoredStreams(StreamList* streams,
                                  const std::set<std::string>& missing_streams);

// INVALID_ARGUMENT when a subgraph node sets a field that only calculators can use.
absl::Status ValidateSubgraphFields(const pellumo::CalculatorGraphConfig_Node& subgraph_node);

// Renames the subgraph's connected inputs and outputs to the node's names and drops the
// inputs the node leaves unconnected.
absl::Status ConnectSubgraphStreams(const pellumo::CalculatorGraphConfig_Node& subgraph_node,
                                    pellumo::CalculatorGraphConfig* subgraph_config);

// Expands every subgraph node of `config` in place, looking types up in `graph_registry`
// (the process-wide graph registry when null).
absl::Status ExpandSubgraphs(pellumo::CalculatorGraphConfig* config,
                             const GraphRegistry* graph_registry = nullptr);

}  // namespace tool
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_SUBGRAPH_EXPANSION_H_
