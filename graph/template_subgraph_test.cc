// Subgraphs given as templates: each node's arguments come from its template subgraph options.

#include <memory>
#include <string>

#include "graph/subgraph.h"
#include "graph_config/calculator_graph_template.pb.h"
#include "graph_config/proto_descriptor.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using pellumo::CalculatorGraphConfig_Node;
using pellumo::CalculatorGraphTemplate;
using pellumo::FieldDescriptorProto;
using pellumo::TemplateExpression;
using pellumo::TemplateSubgraphOptions;

// Node 0 named after the argument "name", "default" when it is not given.
CalculatorGraphTemplate NamingTemplate() {
  CalculatorGraphTemplate graph_template;
  graph_template.mutable_config()->add_node()->set_calculator("C");
  TemplateExpression* declaration = graph_template.add_rule();
  declaration->set_path("/1[0]");
  declaration->set_field_type(FieldDescriptorProto::TYPE_MESSAGE);
  declaration->set_op("param");
  declaration->add_arg()->set_param("name");
  declaration->add_arg()->set_op("literal");
  declaration->mutable_arg(1)->set_param("default");
  TemplateExpression* name = graph_template.add_rule();
  name->set_path("/1[0]/1[0]");
  name->set_field_type(FieldDescriptorProto::TYPE_STRING);
  name->set_field_value("");
  name->set_param("name");
  return graph_template;
}

TEST(TemplateSubgraphTest, ExpandsWithTheArgumentsOfTheNode) {
  GraphRegistry::FunctionRegistry shared;
  GraphRegistry registry(&shared);
  CalculatorGraphTemplate graph_template = NamingTemplate();
  registry.Register("Naming", graph_template);
  // Later changes to the caller's template do not reach the registration.
  graph_template.clear_rule();

  auto expanded = registry.CreateByName("", "Naming");
  ASSERT_TRUE(expanded.ok()) << expanded.status();
  EXPECT_EQ(expanded->node(0).name(), "default");

  CalculatorGraphConfig_Node node;
  node.mutable_options()->set_flag(true);
  EXPECT_EQ(registry.CreateByName("", "Naming", &node)->node(0).name(), "default");

  auto* parameter = node.mutable_options()
                        ->MutableExtension(TemplateSubgraphOptions::ext)
                        ->mutable_dict()
                        ->add_arg();
  parameter->set_key("name");
  parameter->mutable_value()->set_str("given");
  EXPECT_EQ(registry.CreateByName("", "Naming", &node)->node(0).name(), "given");
}

TEST(TemplateSubgraphTest, ExpansionErrorsComeBackUnchanged) {
  CalculatorGraphTemplate graph_template = NamingTemplate();
  graph_template.mutable_rule()->DeleteSubrange(0, 1);
  TemplateSubgraph subgraph(graph_template);
  auto expanded = subgraph.GetConfig(CalculatorGraphConfig_Node());
  EXPECT_EQ(expanded.status(), absl::NotFoundError("param: name"));
}

}  // namespace
}  // namespace kaldren
