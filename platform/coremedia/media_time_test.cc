#include "platform/coremedia/media_time.h"

#include <cmath>

#include "gtest/gtest.h"

namespace {

TEST(CMTimeTest, MakeAndSeconds) {
  CMTime t = CMTimeMake(3003, 30000);
  EXPECT_TRUE(CMTIME_IS_VALID(t));
  EXPECT_EQ(t.value, 3003);
  EXPECT_EQ(t.timescale, 30000);
  EXPECT_EQ(t.epoch, 0);
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(t), 0.1001);
  EXPECT_EQ(CMTimeGetSeconds(CMTimeMake(-5, 2)), -2.5);
  EXPECT_EQ(CMTimeGetSeconds(kCMTimeZero), 0.0);
}

TEST(CMTimeTest, InvalidAndInfiniteTimes) {
  EXPECT_TRUE(CMTIME_IS_INVALID(kCMTimeInvalid));
  EXPECT_TRUE(std::isnan(CMTimeGetSeconds(kCMTimeInvalid)));
  // A zero timescale never reaches the division.
  EXPECT_TRUE(CMTIME_IS_INVALID(CMTimeMake(1, 0)));
  EXPECT_TRUE(std::isnan(CMTimeGetSeconds(CMTime{1, 0, kCMTimeFlags_Valid, 0})));
  EXPECT_TRUE(std::isnan(CMTimeGetSeconds(CMTime{1, 1, kCMTimeFlags_Valid | kCMTimeFlags_Indefinite, 0})));
  EXPECT_EQ(CMTimeGetSeconds(kCMTimePositiveInfinity), INFINITY);
  EXPECT_EQ(CMTimeGetSeconds(kCMTimeNegativeInfinity), -INFINITY);
}

TEST(CMTimeTest, MakeWithSecondsRounds) {
  CMTime exact = CMTimeMakeWithSeconds(1.5, 1000);
  EXPECT_EQ(exact.value, 1500);
  EXPECT_EQ(exact.flags, kCMTimeFlags_Valid);
  CMTime rounded = CMTimeMakeWithSeconds(0.1001, 600);
  EXPECT_EQ(rounded.value, 60);
  EXPECT_EQ(rounded.flags, kCMTimeFlags_Valid | kCMTimeFlags_HasBeenRounded);
  EXPECT_TRUE(CMTIME_IS_INVALID(CMTimeMakeWithSeconds(NAN, 600)));
  EXPECT_TRUE(CMTIME_IS_INVALID(CMTimeMakeWithSeconds(1.0, 0)));
  EXPECT_EQ(CMTimeGetSeconds(CMTimeMakeWithSeconds(1e300, 600)), INFINITY);
  EXPECT_EQ(CMTimeGetSeconds(CMTimeMakeWithSeconds(-INFINITY, 600)), -INFINITY);
}

}  // namespace
