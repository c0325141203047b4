#include "platform/foundation/ns_date.h"

#include "gtest/gtest.h"

namespace {

using platform::foundation::SetWallClock;

class NSDateTest : public ::testing::Test {
 protected:
  void TearDown() override { SetWallClock(nullptr); }
};

TEST_F(NSDateTest, NowComesFromTheInjectedClock) {
  double now = 1000.25;
  SetWallClock([&now] { return now; });
  auto date = NSDate::date();
  EXPECT_EQ(date->timeIntervalSince1970(), 1000.25);
  now = 1002.75;
  EXPECT_EQ(date->timeIntervalSinceNow(), -2.5);  // a past date is negative
  EXPECT_EQ(NSDate::dateWithTimeIntervalSinceNow(10)->timeIntervalSince1970(), 1012.75);

  SetWallClock(nullptr);  // the system clock again: some time after 2020
  EXPECT_GT(NSDate::date()->timeIntervalSince1970(), 1.6e9);
}

TEST_F(NSDateTest, ReferenceDateConversionsAndComparison) {
  auto reference = NSDate::dateWithTimeIntervalSinceReferenceDate(0);
  EXPECT_EQ(reference->timeIntervalSince1970(), 978307200.0);
  auto epoch = NSDate::dateWithTimeIntervalSince1970(0);
  EXPECT_EQ(epoch->timeIntervalSinceReferenceDate(), -978307200.0);

  auto later = epoch->dateByAddingTimeInterval(1.5);
  EXPECT_EQ(later->timeIntervalSinceDate(*epoch), 1.5);
  EXPECT_EQ(epoch->compare(*later), NSOrderedAscending);
  EXPECT_EQ(later->compare(*epoch), NSOrderedDescending);
  EXPECT_EQ(later->compare(*NSDate::dateWithTimeIntervalSince1970(1.5)), NSOrderedSame);
  EXPECT_TRUE(later->isEqualToDate(*NSDate::dateWithTimeIntervalSince1970(1.5)));
  EXPECT_FALSE(later->isEqualToDate(*epoch));
}

}  // namespace
