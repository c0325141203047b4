#include "base/walltime.h"

#include <cmath>
#include <limits>

#include "gtest/gtest.h"

namespace {

TEST(WallTimeTest, SecondsSinceEpochWithFraction) {
  EXPECT_EQ(base::ToWallTime(absl::FromUnixMicros(1500000)), 1.5);
  EXPECT_EQ(base::ToWallTime(absl::FromUnixMicros(-250000)), -0.25);
  EXPECT_EQ(base::ToWallTime(absl::InfiniteFuture()), std::numeric_limits<double>::infinity());
  EXPECT_EQ(base::ToWallTime(absl::InfinitePast()), -std::numeric_limits<double>::infinity());
}

}  // namespace
