#include "graph_config/config_conversion.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph_config/packet_factory_wrapper_generator.pb.h"
#include "gtest/gtest.h"

// The tests fill the deprecated external_input/external_output fields that the conversion moves.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace pellumo {
namespace tool {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::vector<std::string> List(const google::protobuf::RepeatedPtrField<std::string>& field) {
  return {field.begin(), field.end()};
}

TEST(ConvertExternalInputsTest, MovesOldListsIntoSidePacketLists) {
  CalculatorGraphConfig config;
  auto* node = config.add_node();
  node->add_external_input("a");
  node->add_external_input("b");
  config.add_node()->add_input_side_packet("kept");
  auto* generator = config.add_packet_generator();
  generator->add_external_input("in");
  generator->add_external_output("out");
  auto* factory = config.add_packet_factory();
  factory->set_external_output("made");
  config.add_status_handler()->add_external_input("status_in");

  ASSERT_TRUE(ConvertExternalInputs(&config).ok());
  EXPECT_THAT(List(config.node(0).input_side_packet()), ElementsAre("a", "b"));
  EXPECT_THAT(List(config.node(0).external_input()), IsEmpty());
  EXPECT_THAT(List(config.node(1).input_side_packet()), ElementsAre("kept"));
  EXPECT_THAT(List(config.packet_generator(0).input_side_packet()), ElementsAre("in"));
  EXPECT_THAT(List(config.packet_generator(0).output_side_packet()), ElementsAre("out"));
  EXPECT_EQ(config.packet_factory(0).output_side_packet(), "made");
  EXPECT_FALSE(config.packet_factory(0).has_external_output());
  EXPECT_THAT(List(config.status_handler(0).input_side_packet()), ElementsAre("status_in"));
}

TEST(ConvertExternalInputsTest, OldAndNewListTogetherFail) {
  struct Case {
    const char* name;
    void (*fill)(CalculatorGraphConfig*);
    const char* message;
  };
  const Case cases[] = {
      {"node",
       [](CalculatorGraphConfig* c) {
         auto* n = c->add_node();
         n->add_external_input("a");
         n->add_input_side_packet("b");
       },
       "node->input_side_packet_size() == 0 A Calculator may only use input_side_packet or "
       "the DEPRECATED external_input, not both."},
      {"generator outputs",
       [](CalculatorGraphConfig* c) {
         auto* g = c->add_packet_generator();
         g->add_external_input("a");
         g->add_external_output("b");
         g->add_output_side_packet("c");
       },
       "A PacketGenerator may only use output_side_packet or the DEPRECATED external_output, "
       "not both."},
      {"factory: presence decides",
       [](CalculatorGraphConfig* c) {
         auto* f = c->add_packet_factory();
         f->set_external_output("a");
         f->set_output_side_packet("");
       },
       "!factory->has_output_side_packet() A PacketFactory may only use output_side_packet"},
      {"status handler",
       [](CalculatorGraphConfig* c) {
         auto* h = c->add_status_handler();
         h->add_external_input("a");
         h->add_input_side_packet("b");
       },
       "A StatusHandler may only use input_side_packet or the DEPRECATED external_input"},
  };
  for (const Case& c : cases) {
    CalculatorGraphConfig config;
    c.fill(&config);
    absl::Status status = ConvertExternalInputs(&config);
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal) << c.name;
    EXPECT_THAT(std::string(status.message()), HasSubstr(c.message)) << c.name;
  }
  // The generator's inputs were exchanged before its outputs conflicted.
  CalculatorGraphConfig config;
  cases[1].fill(&config);
  ASSERT_FALSE(ConvertExternalInputs(&config).ok());
  EXPECT_THAT(List(config.packet_generator(0).input_side_packet()), ElementsAre("a"));
}

TEST(ConvertPacketFactoriesTest, WrappersComeFirstAndCarryFactory) {
  CalculatorGraphConfig config;
  auto* f1 = config.add_packet_factory();
  f1->set_packet_factory("F1");
  f1->set_output_side_packet("one");
  f1->mutable_options();
  config.add_packet_factory()->set_packet_factory("F2");
  config.add_packet_generator()->set_packet_generator("G1");
  config.add_packet_generator()->set_packet_generator("G2");

  ASSERT_TRUE(ConvertPacketFactories(&config).ok());
  EXPECT_EQ(config.packet_factory_size(), 0);
  std::vector<std::string> types;
  for (const auto& g : config.packet_generator()) types.push_back(g.packet_generator());
  EXPECT_THAT(types, ElementsAre("PacketFactoryWrapperGenerator",
                                 "PacketFactoryWrapperGenerator", "G1", "G2"));
  const auto& w1 =
      config.packet_generator(0).options().GetExtension(PacketFactoryWrapperGeneratorOptions::ext);
  EXPECT_TRUE(w1.has_package());  // present even when empty
  EXPECT_EQ(w1.packet_factory(), "F1");
  EXPECT_TRUE(w1.has_options());
  EXPECT_THAT(List(config.packet_generator(0).output_side_packet()), ElementsAre("one"));
  const auto& w2 =
      config.packet_generator(1).options().GetExtension(PacketFactoryWrapperGeneratorOptions::ext);
  EXPECT_FALSE(w2.has_options());
  // A factory without an output side packet gives one empty entry.
  EXPECT_THAT(List(config.packet_generator(1).output_side_packet()), ElementsAre(""));
  EXPECT_TRUE(config.packet_generator(1).input_side_packet().empty());
}

}  // namespace
}  // namespace tool
}  // namespace pellumo
