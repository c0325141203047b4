#include "graph/subgraph.h"

#include <utility>

namespace kaldren {

GraphRegistry GraphRegistry::global_graph_registry;

GraphRegistry::GraphRegistry() : global_factories_(SubgraphRegistry::functions()) {}

GraphRegistry::GraphRegistry(FunctionRegistry* factories) : global_factories_(factories) {}

void GraphRegistry::Register(const std::string& type_name,
                             const pellumo::CalculatorGraphConfig& config) {
  // The token is dropped: the entry lasts as long as this registry.
  local_factories_.Register(type_name, [config] {
    return std::unique_ptr<Subgraph>(std::make_unique<ProtoSubgraph>(config));
  });
}

bool GraphRegistry::IsRegistered(const std::string& ns, const std::string& type_name) const {
  return local_factories_.IsRegistered(ns, type_name) ||
         global_factories_->IsRegistered(ns, type_name);
}

util::StatusOr<pellumo::CalculatorGraphConfig> GraphRegistry::CreateByName(
    const std::string& ns, const std::string& type_name,
    const pellumo::CalculatorGraphConfig_Node* node) const {
  pellumo::CalculatorGraphConfig_Node local_node;
  if (node != nullptr) local_node = *node;
  FunctionRegistry* factories =
      local_factories_.IsRegistered(ns, type_name) ? &local_factories_ : global_factories_;
  util::StatusOr<std::unique_ptr<Subgraph>> subgraph = factories->Invoke(ns, type_name);
  if (!subgraph.ok()) return subgraph.status();
  return (*subgraph)->GetConfig(local_node);
}

}  // namespace kaldren
