// Choosing names that no node of a configuration uses yet, for code that adds nodes.

#ifndef GRAPH_CONFIG_NAME_UTIL_H_
#define GRAPH_CONFIG_NAME_UTIL_H_

#include <string>

#include "absl/strings/string_view.h"
#include "graph_config/calculator.pb.h"

namespace kaldren {
namespace tool {

// The first of base, base_02, base_03, ... base_99, base_100, ... that no node has as its
// name. Nodes without a name block nothing.
std::string GetUnusedNodeName(const pellumo::CalculatorGraphConfig& config,
                              absl::string_view base);

// The first of the same candidates that no node uses as the name of an input side packet
// (under any tag or index). Output side packets, the graph's own side-packet lists and
// packet generators are not looked at; entries that do not parse are skipped.
std::string GetUnusedSidePacketName(const pellumo::CalculatorGraphConfig& config,
                                    absl::string_view base);

}  // namespace tool
}  // namespace kaldren

#endif  // GRAPH_CONFIG_NAME_UTIL_H_
