#include "graph_config/name_util.h"

#include <string>

#include "absl/strings/str_cat.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using ::pellumo::CalculatorGraphConfig;

TEST(NameUtilTest, UnusedNodeName) {
  CalculatorGraphConfig config;
  EXPECT_EQ(GetUnusedNodeName(config, "cb"), "cb");
  for (const char* name : {"cb", "cb_02", "cb_04", ""}) config.add_node()->set_name(name);
  EXPECT_EQ(GetUnusedNodeName(config, "cb"), "cb_03");
  // Nodes without a name block nothing.
  EXPECT_EQ(GetUnusedNodeName(config, ""), "");

  // Past two digits the counter just grows.
  CalculatorGraphConfig many;
  many.add_node()->set_name("n");
  for (int i = 2; i < 100; ++i) {
    many.add_node()->set_name(absl::StrCat("n_", i < 10 ? "0" : "", i));
  }
  EXPECT_EQ(GetUnusedNodeName(many, "n"), "n_100");
}

TEST(NameUtilTest, UnusedSidePacketNameLooksAtInputSidePacketsOnly) {
  CalculatorGraphConfig config;
  config.add_input_side_packet("packet");
  config.add_node()->add_output_side_packet("packet");
  EXPECT_EQ(GetUnusedSidePacketName(config, "packet"), "packet");

  auto* node = config.add_node();
  node->add_input_side_packet("CALLBACK:2:packet");
  node->add_input_side_packet("packet_02");
  // An entry that does not parse names nothing and does not stop the search.
  node->add_input_side_packet("Bad:packet_03");
  EXPECT_EQ(GetUnusedSidePacketName(config, "packet"), "packet_03");
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
