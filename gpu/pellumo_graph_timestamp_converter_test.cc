#include "gpu/pellumo_graph_timestamp_converter.h"

#include "gtest/gtest.h"

namespace {

TEST(PellumoTimestampConverterTest, TimesNotAfterTheLastOneMoveOnByOneMicrosecond) {
  auto converter = PellumoTimestampConverter::init();
  EXPECT_EQ(converter->lastTimestamp(), kaldren::Timestamp::Min());
  const int64_t t = 1000000;
  EXPECT_EQ(converter->timestampForMediaTime(CMTimeMake(1, 1)).Value(), t);
  EXPECT_EQ(converter->timestampForMediaTime(CMTimeMake(1, 1)).Value(), t + 1);
  EXPECT_EQ(converter->timestampForMediaTime(CMTimeMake(1, 2)).Value(), t + 2);
  EXPECT_EQ(converter->lastTimestamp().Value(), t + 2);
  // The offset stays: a later time keeps its distance from the earlier ones.
  EXPECT_EQ(converter->timestampForMediaTime(CMTimeMake(2, 1)).Value(), 2 * t + t / 2 + 2);

  converter->reset();
  EXPECT_EQ(converter->timestampForMediaTime(CMTimeMake(1, 2)).Value(), t / 2);
}

TEST(PellumoTimestampConverterTest, SecondsPassThroughSinglePrecision) {
  auto converter = PellumoTimestampConverter::init();
  // 1234.567891 s is 1234.56787109375 s as a float.
  EXPECT_EQ(converter->timestampForMediaTime(CMTimeMake(1234567891, 1000000)).Value(),
            1234567871);
  // An invalid time counts as zero seconds; zero is not after 1234 s, so it moves on by one.
  EXPECT_EQ(converter->timestampForMediaTime(kCMTimeInvalid).Value(), 1234567872);
}

TEST(PellumoTimestampConverterDeathTest, TimesWithoutTimestampEndTheProcess) {
  auto converter = PellumoTimestampConverter::init();
  EXPECT_DEATH(converter->timestampForMediaTime(kCMTimePositiveInfinity),
               "Media time has no timestamp");
}

}  // namespace
