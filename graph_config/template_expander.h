// Expansion of graph templates: a template's rules, evaluated against a dictionary of named
// arguments, edit its base configuration into a plain graph configuration.
//
//   TemplateExpander expander;
//   pellumo::CalculatorGraphConfig config;
//   RETURN_IF_ERROR(expander.ExpandTemplates(args, graph_template, &config));
//
// A rule has a field path ("/1[0]/2[0]": field number and value index per level), a field
// type and either a rule kind ("for", "if", "param") that applies the rules after it, or an
// expression whose value is written into the field. Errors in evaluation are recorded and
// the expansion goes on with a fallback value; the result is the first recorded error.

#ifndef GRAPH_CONFIG_TEMPLATE_EXPANDER_H_
#define GRAPH_CONFIG_TEMPLATE_EXPANDER_H_

#include <vector>

#include "base/status.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/calculator_graph_template.pb.h"

namespace kaldren {
namespace tool {

// One expansion at a time per object.
class TemplateExpander {
 public:
  TemplateExpander() = default;

  // Expands `graph_template` with `args` into `*output`. Every recorded error is logged; the
  // first one is returned. `*output` may have been written even then.
  absl::Status ExpandTemplates(const pellumo::TemplateDict& args,
                               const pellumo::CalculatorGraphTemplate& graph_template,
                               pellumo::CalculatorGraphConfig* output);

 private:
  // The errors of the last expansion.
  std::vector<absl::Status> errors_;
};

}  // namespace tool
}  // namespace kaldren

#endif  // GRAPH_CONFIG_TEMPLATE_EXPANDER_H_
