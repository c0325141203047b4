#include "base/walltime.h"

#include "absl/time/clock.h"

#include <cmath>
#include <limits>

#include "gtest/gtest.h"

namespace {

TEST(WallTimeTest, SecondsSinceEpochWithFraction) {
  EXPECT_EQ(base::ToWallTime(absl::FromUnixMicros(1500000)), 1.5);
  EXPECT_EQ(base::ToWallTime(absl::FromUnixMicros(-250000)), -0.25);
  EXPECT_EQ(base::ToWallTime(absl::FromUnixNanos(1)), 1e-9);
  EXPECT_EQ(base::ToWallTime(absl::InfiniteFuture()), std::numeric_limits<double>::infinity());
  EXPECT_EQ(base::ToWallTime(absl::InfinitePast()), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(base::FromWallTime(1.5), absl::FromUnixMillis(1500));
  EXPECT_EQ(base::FromWallTime(-0.25), absl::FromUnixMillis(-250));
}

TEST(WallTimeTest, CycleClock) {
  EXPECT_EQ(WallTime_CPS(), 1000000000);
  EXPECT_DOUBLE_EQ(WallTime_SPC(), 1e-9);
  const auto [wall, cycles] = WallTimeConverter::Now();
  EXPECT_NEAR(wall, base::ToWallTime(absl::Now()), 5.0);
  EXPECT_LE(cycles, CycleClockNow());
}

}  // namespace
