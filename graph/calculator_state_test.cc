#include "graph/calculator_state.h"

#include <memory>
#include <string>

#include "graph_config/calculator.pb.h"
#include "graph_config/testdata/test_options.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::pellumo::CalculatorGraphConfig_Node;
using ::pellumo::testing::TestCalculatorOptions;

// Counts the names it is asked for.
class RecordingCounterFactory : public CounterFactory {
 public:
  Counter* GetCounter(const std::string& name) override {
    last_name = name;
    return counters.Emplace(name);
  }
  std::string last_name;
  CounterSet counters;
};


TEST(CalculatorStateTest, CountersAreNamedAfterTheNode) {
  CalculatorGraphConfig_Node node;
  CalculatorState state("detector", 3, "FaceDetector", node, nullptr);
  RecordingCounterFactory factory;
  state.SetCounterFactory(&factory);
  state.GetCounter("frames")->Increment();
  EXPECT_EQ(factory.last_name, "detector-frames");
  EXPECT_EQ(factory.counters.Get("detector-frames")->Get(), 1);
  state.ResetBetweenRuns();
  EXPECT_DEATH(state.GetCounter("frames"), "Check failed: counter_factory_");
}

TEST(CalculatorStateTest, OptionsComeFromTheNodeConfiguration) {
  CalculatorGraphConfig_Node node;
  node.mutable_options()->MutableExtension(TestCalculatorOptions::ext)->set_value(3);
  CalculatorState state("detector", 3, "FaceDetector", node, nullptr);
  EXPECT_EQ(state.Options<TestCalculatorOptions>().value(), 3);
  EXPECT_TRUE(state.Options().HasExtension(TestCalculatorOptions::ext));

  CalculatorGraphConfig_Node bare;
  CalculatorState bare_state("bare", 0, "Bare", bare, nullptr);
  EXPECT_EQ(&bare_state.Options(), &pellumo::CalculatorOptions::default_instance());
  EXPECT_EQ(bare_state.Options<TestCalculatorOptions>().value(), 7);
}

TEST(CalculatorStateTest, ServiceObjectsAreReadFromTheirPackets) {
  CalculatorGraphConfig_Node node;
  CalculatorState state("detector", 3, "FaceDetector", node, nullptr);
  GraphService<std::string> cache("cache");
  EXPECT_DEATH(state.GetServiceObject(cache), "Check failed: it != service_packets_.end\\(\\)");
  state.SetServicePacket("cache", MakePacket<std::shared_ptr<std::string>>(
                                      std::make_shared<std::string>("first")));
  state.SetServicePacket("cache", MakePacket<std::shared_ptr<std::string>>(
                                      std::make_shared<std::string>("second")));
  EXPECT_EQ(*state.GetServiceObject(cache), "second");
}

TEST(CalculatorStateTest, NullSetsAreFatal) {
  CalculatorGraphConfig_Node node;
  CalculatorState state("detector", 3, "FaceDetector", node, nullptr);
  EXPECT_DEATH(state.SetInputStreamSet(nullptr), "Check failed: input_stream_set");
  EXPECT_DEATH(state.SetOutputStreamSet(nullptr), "Check failed: output_stream_set");
  EXPECT_DEATH(state.SetInputSidePackets(nullptr), "Check failed: input_side_packets");
  EXPECT_DEATH(state.SetOutputSidePackets(nullptr), "Check failed: output_side_packets");
}

}  // namespace
}  // namespace kaldren
