// Subgraphs: graph configurations that a node of another configuration can stand for, and
// the registry that finds them by type name.
//
// A node names a subgraph's type in its `calculator` field; subgraph expansion asks a
// `GraphRegistry` whether the name is a subgraph and, if so, for its configuration, which
// then replaces the node.

#ifndef QUILLMERE_GRAPH_SUBGRAPH_H_
#define QUILLMERE_GRAPH_SUBGRAPH_H_

#include <memory>
#include <string>

#include "base/statusor.h"
#include "graph/registration.h"
#include "graph/registration_macros.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/calculator_graph_template.pb.h"
#include "graph_config/options_map.h"

namespace kaldren {

class Subgraph {
 public:
  virtual ~Subgraph() = default;

  // The subgraph's configuration for the node `node` that stands for it.
  virtual util::StatusOr<pellumo::CalculatorGraphConfig> GetConfig(
      const pellumo::CalculatorGraphConfig_Node& node) = 0;

  // The options of type T that `node` carries; an empty T when it has none.
  template <typename T>
  static T GetOptions(pellumo::CalculatorGraphConfig_Node node) {
    tool::OptionsMap options;
    options.Initialize(node);
    return options.Get<T>();
  }
};

// A subgraph given as a fixed configuration; every node gets a copy of it.
class ProtoSubgraph : public Subgraph {
 public:
  explicit ProtoSubgraph(const pellumo::CalculatorGraphConfig& config) : config_(config) {}

  util::StatusOr<pellumo::CalculatorGraphConfig> GetConfig(
      const pellumo::CalculatorGraphConfig_Node& node) override {
    return config_;
  }

 private:
  pellumo::CalculatorGraphConfig config_;
};

// A subgraph given as a graph template: each node gets the template expanded with the
// arguments of its `pellumo::TemplateSubgraphOptions` (none when it has no such options).
class TemplateSubgraph : public Subgraph {
 public:
  explicit TemplateSubgraph(const pellumo::CalculatorGraphTemplate& graph_template)
      : graph_template_(graph_template) {}

  // The expanded template, or the expansion's error.
  util::StatusOr<pellumo::CalculatorGraphConfig> GetConfig(
      const pellumo::CalculatorGraphConfig_Node& node) override;

 private:
  pellumo::CalculatorGraphTemplate graph_template_;
};

// Subgraph factories by type name, in two layers: the registry's own entries, then a shared
// registry (by default the process-wide one) consulted for names the own layer lacks.
class GraphRegistry {
 public:
  using FunctionRegistry = kaldren::FunctionRegistry<std::unique_ptr<Subgraph>>;

  GraphRegistry();
  // `factories` is the shared layer; it must outlive this registry.
  explicit GraphRegistry(FunctionRegistry* factories);

  GraphRegistry(const GraphRegistry&) = delete;
  GraphRegistry& operator=(const GraphRegistry&) = delete;

  // Registers a copy of `config` as the subgraph `type_name` in this registry's own layer. A
  // name registered before ends the process.
  void Register(const std::string& type_name, const pellumo::CalculatorGraphConfig& config);
  // The same for a copy of the template `graph_template`.
  void Register(const std::string& type_name,
                const pellumo::CalculatorGraphTemplate& graph_template);

  // Whether `type_name`, resolved within the package `ns`, is a subgraph of either layer.
  bool IsRegistered(const std::string& ns, const std::string& type_name) const;

  // The configuration of the subgraph `type_name` for `node` (an empty node when null): from
  // the own layer when it has the name, else from the shared one. NOT_FOUND when neither has
  // it.
  util::StatusOr<pellumo::CalculatorGraphConfig> CreateByName(
      const std::string& ns, const std::string& type_name,
      const pellumo::CalculatorGraphConfig_Node* node = nullptr) const;

  // The process-wide graph registry; its shared layer is the process-wide subgraph registry.
  static GraphRegistry global_graph_registry;

 private:
  // Mutable: lookups create subgraph objects but change no registration.
  mutable FunctionRegistry local_factories_;
  FunctionRegistry* global_factories_;
};

}  // namespace kaldren

// Registers the subgraph class `T` (default-constructible) in the process-wide subgraph
// registry under its class name.
#define REGISTER_PELLUMO_GRAPH(T)                                                         \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(::kaldren::SubgraphRegistry, subgraph_registration, \
                                      #T, [] { return std::make_unique<T>(); })

#endif  // QUILLMERE_GRAPH_SUBGRAPH_H_
