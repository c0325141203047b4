#include "graph_config/options_map.h"

#include <thread>
#include <vector>

#include "graph_config/calculator.pb.h"
#include "graph_config/testdata/test_options.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using ::pellumo::CalculatorGraphConfig_Node;
using ::pellumo::testing::TestCalculatorOptions;
using ::pellumo::testing::TestOtherCalculatorOptions;

TEST(OptionsMapTest, AbsentOptionsGiveOneDefaultObject) {
  CalculatorGraphConfig_Node node;
  OptionsMap map;
  map.Initialize(node);
  const TestCalculatorOptions& options = map.Get<TestCalculatorOptions>();
  EXPECT_EQ(options.value(), 7);
  EXPECT_FALSE(options.has_value());
  EXPECT_EQ(&map.Get<TestCalculatorOptions>(), &options);
}

TEST(OptionsMapTest, ReadsTheExtensionOnceAndKeepsIt) {
  CalculatorGraphConfig_Node node;
  node.mutable_options()->MutableExtension(TestCalculatorOptions::ext)->set_value(3);
  OptionsMap map;
  map.Initialize(node);
  EXPECT_EQ(map.Get<TestCalculatorOptions>().value(), 3);
  // The first request fixed the value; later edits of the configuration are not seen.
  node.mutable_options()->MutableExtension(TestCalculatorOptions::ext)->set_value(4);
  EXPECT_EQ(map.Get<TestCalculatorOptions>().value(), 3);
}

TEST(OptionsMapTest, OtherExtensionsLeaveTheTypeAtItsDefault) {
  CalculatorGraphConfig_Node node;
  node.mutable_options()->set_flag(true);
  OptionsMap map;
  map.Initialize(node);
  EXPECT_EQ(map.Get<TestCalculatorOptions>().value(), 7);
  EXPECT_TRUE(node.options().flag());

  TestCalculatorOptions untouched;
  untouched.set_label("kept");
  GetExtension(node.options(), &untouched);
  EXPECT_EQ(untouched.label(), "kept");
}

TEST(OptionsMapTest, ConcurrentFirstRequestsSeeOneObject) {
  CalculatorGraphConfig_Node node;
  node.mutable_options()->MutableExtension(TestCalculatorOptions::ext)->set_label("shared");
  OptionsMap map;
  map.Initialize(node);
  constexpr int kThreads = 8;
  std::vector<const TestCalculatorOptions*> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&map, &seen, i] {
      seen[i] = &map.Get<TestCalculatorOptions>();
      map.Get<TestOtherCalculatorOptions>();
    });
  }
  for (auto& t : threads) t.join();
  for (const TestCalculatorOptions* options : seen) {
    EXPECT_EQ(options, seen[0]);
    EXPECT_EQ(options->label(), "shared");
  }
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
