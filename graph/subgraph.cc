#include "graph/subgraph.h"

#include <utility>

#include "base/status_macros.h"
#include "graph_config/template_expander.h"

namespace kaldren {

GraphRegistry GraphRegistry::global_graph_registry;

util::StatusOr<pellumo::CalculatorGraphConfig> TemplateSubgraph::GetConfig(
    const pellumo::CalculatorGraphConfig_Node& node) {
  const pellumo::TemplateSubgraphOptions options =
      Subgraph::GetOptions<pellumo::TemplateSubgraphOptions>(node);
  tool::TemplateExpander expander;
  pellumo::CalculatorGraphConfig config;
  RETURN_IF_ERROR(expander.ExpandTemplates(options.dict(), graph_template_, &config));
  return config;
}

GraphRegistry::GraphRegistry() : global_factories_(SubgraphRegistry::functions()) {}

GraphRegistry::GraphRegistry(FunctionRegistry* factories) : global_factories_(factories) {}

void GraphRegistry::Register(const std::string& type_name,
                             const pellumo::CalculatorGraphConfig& config) {
  // The token is dropped: the entry lasts as long as this registry.
  local_factories_.Register(type_name, [config] {
    return std::unique_ptr<Subgraph>(std::make_unique<ProtoSubgraph>(config));
  });
}

void GraphRegistry::Register(const std::string& type_name,
                             const pellumo::CalculatorGraphTemplate& graph_template) {
  local_factories_.Register(type_name, [graph_template] {
    return std::unique_ptr<Subgraph>(std::make_unique<TemplateSubgraph>(graph_template));
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
