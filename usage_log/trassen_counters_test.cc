#include "usage_log/trassen_counters.h"

#include <cstdio>
#include <memory>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/quartzcore/media_time.h"
#include "usage_base/manual_clock_test_util.h"
#include "usage_base/wire_test_util.h"

namespace {

using ::testing::HasSubstr;
using qm_wire_test::DecodeRaw;

std::string PythonMetricHash(const std::string& name) {
  std::string command =
      "python3 -c 'import hashlib,sys; "
      "print(int.from_bytes(hashlib.md5(sys.argv[1].encode()).digest()[:8], \"big\"))' '" +
      name + "'";
  FILE* pipe = popen(command.c_str(), "r");
  char line[64] = {};
  std::string out = fgets(line, sizeof(line), pipe) ? line : "";
  pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

MetalogCounterDimensions Dimension(int64_t logSource) {
  MetalogCounterDimensions dimension;
  dimension.set_log_source(static_cast<LogRequest_LogSource>(logSource));
  return dimension;
}

TEST(TrassenCountersTest, MetricHashIsTheBigEndianMD5PrefixOnTheWire) {
  EXPECT_EQ(JQXTrassenCountersNRWMetricHashForString("abc"), 10376663631224000432ull);
  auto counters = JQXTrassenCounters::initWithClock(std::make_shared<ManualClock>());
  for (const char* name : {"abc", "UploadFailedDuration", "RequestSize"}) {
    counters->incrementCounterWithName(name, nullptr, 0, 1);
  }
  auto sets = counters->countersProtosAndReset(false);
  ASSERT_TRUE(sets.has_value());
  std::string decoded = DecodeRaw((*sets)[0]->SerializeAsString());
  for (const char* name : {"abc", "UploadFailedDuration", "RequestSize"}) {
    char hex[32];
    std::snprintf(hex, sizeof(hex), "1: 0x%016llx",
                  static_cast<unsigned long long>(std::stoull(PythonMetricHash(name))));
    EXPECT_THAT(decoded, HasSubstr(hex)) << name;
  }
  EXPECT_THAT(decoded, HasSubstr("1: 7"));  // the clock's uptime
  EXPECT_THAT(decoded, ::testing::Not(HasSubstr("\n  2: \"")));  // never the name as text
}

TEST(TrassenCountersTest, SetsCountersAndBucketsAreFoundOrMadeOnce) {
  auto counters = JQXTrassenCounters::initWithClock(std::make_shared<ManualClock>());
  MetalogCounterDimensions a = Dimension(700), b = Dimension(357);
  MetalogCounterDimensions empty;  // serialises to no bytes, still a dimension
  counters->incrementCounterWithName("x", &a, 5, 2);
  counters->incrementCounterWithName("x", &a, 5, 3);
  counters->incrementCounterWithName("x", &a, 6, -1);
  counters->incrementCounterWithName("y", &a, 5, 1);
  counters->incrementCounterWithName("x", &b, 5, 1);
  counters->incrementCounterWithName("x", nullptr, 5, 1);
  counters->incrementCounterWithName("x", &empty, 5, 1);

  auto sets = counters->countersProtosAndReset(true);
  ASSERT_TRUE(sets.has_value());
  ASSERT_EQ(sets->size(), 4u);
  const ZVKCCounters& first = *(*sets)[0];
  EXPECT_EQ(first.dimensions_instance(), a.SerializeAsString());
  ASSERT_EQ(first.counter_size(), 2);
  EXPECT_EQ(first.counter(0).hashed_name(), JQXTrassenCountersNRWMetricHashForString("x"));
  ASSERT_EQ(first.counter(0).bucket_size(), 2);
  EXPECT_EQ(first.counter(0).bucket(0).key(), 5);
  EXPECT_EQ(first.counter(0).bucket(0).count(), 5);
  EXPECT_EQ(first.counter(0).bucket(1).count(), -1);
  EXPECT_EQ((*sets)[1]->dimensions_instance(), b.SerializeAsString());
  EXPECT_FALSE((*sets)[2]->has_dimensions_instance());
  EXPECT_TRUE((*sets)[3]->has_dimensions_instance());
  EXPECT_EQ((*sets)[3]->dimensions_instance(), "");

  EXPECT_FALSE(counters->countersProtosAndReset(true).has_value());
  counters->incrementCounterWithName("x", nullptr, 0, 1);
  auto fresh = counters->countersProtosAndReset(false);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ((*fresh)[0]->counter(0).bucket(0).count(), 1);  // a new message, not the old one
  EXPECT_EQ((*sets)[2]->counter(0).bucket(0).count(), 1);
}

TEST(TrassenCountersTest, HandlesCountIntoTheirBuckets) {
  auto counters = JQXTrassenCounters::initWithClock(std::make_shared<ManualClock>());
  auto instance = JQXTrassenCounterInstance::initWithName("plain", counters);
  instance->increment();
  instance->increment();
  JQXTrassenIntegerHistogram::initWithName("histogram", counters)->incrementBucket(42);
  EXPECT_EQ(*instance, *JQXTrassenCounterInstance::initWithName("plain", counters));
  EXPECT_EQ(instance->hash(), JQXTrassenCounterInstance::initWithName("plain", counters)->hash());
  EXPECT_FALSE(*instance == *JQXTrassenCounterInstance::initWithName("plain", JQXTrassenCounters::init()));
  EXPECT_THAT(instance->description(), ::testing::MatchesRegex("<JQXTrassenCounterInstance: 0x[0-9a-f]+, plain>"));

  const ZVKCCounters& set = *(*counters->countersProtosAndReset(false))[0];
  EXPECT_EQ(set.counter(0).bucket(0).key(), 0);
  EXPECT_EQ(set.counter(0).bucket(0).count(), 2);
  EXPECT_EQ(set.counter(1).bucket(0).key(), 42);
}

TEST(TrassenCountersTest, TimerCountsWholeElapsedMilliseconds) {
  double now = 100.0;
  platform::quartzcore::SetMediaTimeSource([&now] { return now; });
  auto counters = JQXTrassenCounters::initWithClock(std::make_shared<ManualClock>());
  auto timer = JQXTrassenTimerHistogram::initWithName("timer", counters);

  timer->stopAndLogTime();  // never started: nothing
  timer->start();
  now += 0.001;
  timer->start();  // keeps the first start
  now += 0.0005;
  EXPECT_TRUE(timer->isTimerRunning());
  timer->stopAndLogTime();
  EXPECT_FALSE(timer->isTimerRunning());
  timer->stopAndLogTime();  // stopped: nothing
  timer->start();
  timer->cancel();
  timer->stopAndLogTime();  // cancelled: nothing
  timer->start();
  auto copy = timer->copy();
  EXPECT_FALSE(copy->isTimerRunning());
  EXPECT_EQ(copy->name(), "timer");
  platform::quartzcore::SetMediaTimeSource(nullptr);

  auto sets = counters->countersProtosAndReset(true);
  ASSERT_TRUE(sets.has_value());
  const ZVKCCounter& counter = (*sets)[0]->counter(0);
  ASSERT_EQ(counter.bucket_size(), 1);
  EXPECT_EQ(counter.bucket(0).key(), 1);
  EXPECT_EQ(counter.bucket(0).count(), 1);
}

}  // namespace
