#include "graph/tool/retrieve_options.h"

#include <memory>
#include <string>
#include <vector>

#include "graph_config/tag_map.h"
#include "graph_config/testdata/test_options.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using ::pellumo::CalculatorOptions;
using ::pellumo::testing::TestCalculatorOptions;
using ::pellumo::testing::TestOtherCalculatorOptions;

// Side packets "OPTIONS:options" (holding `packet`) and "OTHER:other" (an int).
std::unique_ptr<PacketSet> SidePackets(Packet packet) {
  std::vector<std::string> entries = {"OPTIONS:options", "OTHER:other"};
  auto tag_map = TagMap::Create({entries.begin(), entries.end()});
  EXPECT_TRUE(tag_map.ok()) << tag_map.status();
  auto set = std::make_unique<PacketSet>(tag_map.value());
  set->Tag("OPTIONS") = std::move(packet);
  set->Tag("OTHER") = MakePacket<int>(1);
  return set;
}

TestCalculatorOptions NodeOptions() {
  TestCalculatorOptions options;
  options.set_value(3);
  options.set_label("node");
  options.add_item(1);
  return options;
}

TEST(RetrieveOptionsTest, SidePacketOptionsWinOverTheNodes) {
  TestCalculatorOptions direct;
  direct.set_label("packet");
  direct.add_item(2);

  CalculatorOptions carrier;
  *carrier.MutableExtension(TestCalculatorOptions::ext) = direct;
  CalculatorOptions other_carrier;
  other_carrier.MutableExtension(TestOtherCalculatorOptions::ext)->set_name("x");

  const struct {
    const char* name;
    Packet packet;
    const char* label;
    int items;
  } cases[] = {
      {"the options message", MakePacket<TestCalculatorOptions>(direct), "packet", 2},
      {"node options carrying the extension", MakePacket<CalculatorOptions>(carrier), "packet", 2},
      {"node options without it", MakePacket<CalculatorOptions>(other_carrier), "node", 1},
      {"another payload type", MakePacket<int>(5), "node", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TestCalculatorOptions merged = RetrieveOptions(NodeOptions(), *SidePackets(c.packet));
    EXPECT_EQ(merged.value(), 3) << "a field the packet leaves unset keeps the node's value";
    EXPECT_EQ(merged.label(), c.label);
    EXPECT_EQ(merged.item_size(), c.items);
  }
}

TEST(RetrieveOptionsTest, WithoutTheTagTheNodesOptionsStand) {
  const auto side_packets = SidePackets(MakePacket<TestCalculatorOptions>());
  const TestCalculatorOptions options =
      RetrieveOptions(NodeOptions(), *side_packets, "ABSENT");
  EXPECT_EQ(options.SerializeAsString(), NodeOptions().SerializeAsString());
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
