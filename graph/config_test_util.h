// Building graph configurations in tests without a text format.

#ifndef QUILLMERE_GRAPH_CONFIG_TEST_UTIL_H_
#define QUILLMERE_GRAPH_CONFIG_TEST_UTIL_H_

#include <string>
#include <vector>

#include "graph_config/calculator.pb.h"

namespace kaldren {
namespace testing_util {

using Entries = std::vector<std::string>;

// Appends a node with the given calculator, entry lists and name.
inline pellumo::CalculatorGraphConfig_Node* AddNode(
    pellumo::CalculatorGraphConfig* config, const std::string& calculator,
    const Entries& inputs, const Entries& outputs, const std::string& name = "",
    const Entries& input_side_packets = {}, const Entries& output_side_packets = {}) {
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  node->set_calculator(calculator);
  node->set_name(name);
  for (const auto& e : inputs) node->add_input_stream(e);
  for (const auto& e : outputs) node->add_output_stream(e);
  for (const auto& e : input_side_packets) node->add_input_side_packet(e);
  for (const auto& e : output_side_packets) node->add_output_side_packet(e);
  return node;
}

inline Entries List(const google::protobuf::RepeatedPtrField<std::string>& field) {
  return {field.begin(), field.end()};
}

}  // namespace testing_util
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CONFIG_TEST_UTIL_H_
