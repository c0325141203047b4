#include "graph/counter_factory.h"

#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace kaldren {
namespace {

TEST(CounterFactoryTest, CountersByName) {
  BasicCounterFactory factory;
  Counter* counter = factory.GetCounter("node-frames");
  EXPECT_EQ(factory.GetCounter("node-frames"), counter);
  EXPECT_EQ(counter->Get(), 0);
  counter->Increment();
  counter->Increment();
  counter->IncrementBy(-3);
  EXPECT_EQ(counter->Get(), -1);

  CounterSet* set = factory.GetCounterSet();
  EXPECT_EQ(set->Get("node-frames"), counter);
  EXPECT_EQ(set->Get("absent"), nullptr);
  factory.GetCounter("a")->IncrementBy(5);
  EXPECT_EQ(set->GetCountersValues(), (std::map<std::string, int64_t>{{"a", 5}, {"node-frames", -1}}));

  set->PublishCounters();
  EXPECT_EQ(set->Get("a"), nullptr);
  EXPECT_TRUE(set->GetCountersValues().empty());
}

TEST(CounterFactoryTest, ConcurrentIncrementsAreNotLost) {
  BasicCounterFactory factory;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&factory] {
      for (int i = 0; i < 1000; ++i) factory.GetCounter("shared")->Increment();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(factory.GetCounter("shared")->Get(), 4000);
}

TEST(CounterFactoryTest, PrintsInNameOrder) {
  CounterSet set;
  testing::internal::CaptureStderr();
  set.PrintCounters();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  set.Emplace("b")->IncrementBy(2);
  set.Emplace("a")->IncrementBy(5);
  testing::internal::CaptureStderr();
  set.PrintCounters();
  const std::string log = testing::internal::GetCapturedStderr();
  const size_t header = log.find("Pellumo Counters:");
  const size_t a = log.find("a: 5");
  const size_t b = log.find("b: 2");
  ASSERT_NE(header, std::string::npos) << log;
  ASSERT_NE(a, std::string::npos) << log;
  ASSERT_NE(b, std::string::npos) << log;
  EXPECT_LT(header, a);
  EXPECT_LT(a, b);
}

}  // namespace
}  // namespace kaldren
