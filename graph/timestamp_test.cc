#include "graph/timestamp.h"

#include <cstdint>
#include <limits>
#include <sstream>

#include "gtest/gtest.h"

namespace kaldren {
namespace {

constexpr int64_t kLowest = std::numeric_limits<int64_t>::min();
constexpr int64_t kHighest = std::numeric_limits<int64_t>::max();

TEST(TimestampTest, SpecialValuesOrderClassesAndDebugStrings) {
  struct Case {
    Timestamp t;
    int64_t value;
    const char* debug;
    bool range;
    bool allowed;
  };
  const Case cases[] = {
      {Timestamp::Unset(), kLowest, "Timestamp::Unset()", false, false},
      {Timestamp::Unstarted(), kLowest + 1, "Timestamp::Unstarted()", false, false},
      {Timestamp::PreStream(), kLowest + 2, "Timestamp::PreStream()", false, true},
      {Timestamp::Min(), kLowest + 3, "Timestamp::Min()", true, true},
      {Timestamp::Max(), kHighest - 3, "Timestamp::Max()", true, true},
      {Timestamp::PostStream(), kHighest - 2, "Timestamp::PostStream()", false, true},
      {Timestamp::OneOverPostStream(), kHighest - 1, "Timestamp::OneOverPostStream()", false,
       false},
      {Timestamp::Done(), kHighest, "Timestamp::Done()", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.debug);
    EXPECT_EQ(c.t.Value(), c.value);
    EXPECT_EQ(c.t.DebugString(), c.debug);
    EXPECT_TRUE(c.t.IsSpecialValue());
    EXPECT_EQ(c.t.IsRangeValue(), c.range);
    EXPECT_EQ(c.t.IsAllowedInStream(), c.allowed);
  }
  EXPECT_EQ(Timestamp(), Timestamp::Unset());
  EXPECT_LT(Timestamp::Min(), Timestamp(-5));
  EXPECT_LT(Timestamp(-5), Timestamp::Max());
  EXPECT_FALSE(Timestamp(0).IsSpecialValue());
  EXPECT_TRUE(Timestamp(0).IsRangeValue());
}

TEST(TimestampTest, TextForms) {
  EXPECT_EQ(Timestamp(-42).DebugString(), "-42");
  EXPECT_EQ(Timestamp(1500).DebugString(), "1500");
  EXPECT_EQ(TimestampDiff(-3).DebugString(), "-3");
  std::ostringstream os;
  os << Timestamp::Done() << " " << Timestamp(7) << " " << TimestampDiff(9);
  EXPECT_EQ(os.str(), "Timestamp::Done() 7 9");
}

TEST(TimestampTest, AdditionSaturatesAtTheRangeEnds) {
  EXPECT_EQ(Timestamp::Max() + TimestampDiff(1), Timestamp::Max());
  EXPECT_EQ(Timestamp::Max() + TimestampDiff(0), Timestamp::Max());
  EXPECT_EQ(Timestamp::Min() + TimestampDiff(-1), Timestamp::Min());
  EXPECT_EQ(Timestamp(5) + TimestampDiff(9223372036854775800), Timestamp::Max());
  EXPECT_EQ(Timestamp(-5) - TimestampDiff(kHighest), Timestamp::Min());
  EXPECT_EQ(Timestamp(3) + TimestampDiff(kLowest), Timestamp::Min());
  EXPECT_EQ(Timestamp(4) + TimestampDiff(kLowest), Timestamp(kLowest + 4));
  EXPECT_EQ(Timestamp(10) + TimestampDiff(-4), Timestamp(6));
  EXPECT_EQ(TimestampDiff(3) + Timestamp(10), Timestamp(13));
  // One below the saturation point is still an ordinary sum.
  EXPECT_EQ(Timestamp(0) + TimestampDiff(Timestamp::Max().Value() - 1),
            Timestamp(Timestamp::Max().Value() - 1));

  Timestamp t = Timestamp::Max();
  EXPECT_EQ(t++, Timestamp::Max());
  EXPECT_EQ(t, Timestamp::Max());
  t = Timestamp::Min();
  EXPECT_EQ(--t, Timestamp::Min());
  t = Timestamp(3);
  t += TimestampDiff(4);
  t -= TimestampDiff(1);
  EXPECT_EQ(t, Timestamp(6));
  EXPECT_EQ(t--, Timestamp(6));
  EXPECT_EQ(++t, Timestamp(6));
}

TEST(TimestampTest, Differences) {
  EXPECT_EQ(Timestamp(10) - Timestamp(3), TimestampDiff(7));
  EXPECT_EQ(Timestamp(3) - Timestamp(10), TimestampDiff(-7));
  EXPECT_EQ(TimestampDiff(5) - TimestampDiff(8), TimestampDiff(-3));
  EXPECT_EQ(TimestampDiff(5) + TimestampDiff(8), TimestampDiff(13));
  EXPECT_EQ(Timestamp::Max() - Timestamp(0), TimestampDiff(Timestamp::Max().Value()));
}

TEST(TimestampTest, StreamNeighbours) {
  EXPECT_EQ(Timestamp::PreStream().NextAllowedInStream(), Timestamp::OneOverPostStream());
  EXPECT_EQ(Timestamp::Max().NextAllowedInStream(), Timestamp::OneOverPostStream());
  EXPECT_EQ(Timestamp::PostStream().NextAllowedInStream(), Timestamp::OneOverPostStream());
  EXPECT_EQ(Timestamp::Min().NextAllowedInStream().Value(), Timestamp::Min().Value() + 1);
  EXPECT_EQ(Timestamp(7).NextAllowedInStream(), Timestamp(8));

  for (Timestamp t : {Timestamp::Unset(), Timestamp::Unstarted(), Timestamp::PreStream(),
                      Timestamp::Min(), Timestamp::PostStream()}) {
    EXPECT_EQ(t.PreviousAllowedInStream(), Timestamp::Unstarted()) << t;
  }
  EXPECT_EQ(Timestamp::OneOverPostStream().PreviousAllowedInStream(), Timestamp::Max());
  EXPECT_EQ(Timestamp::Done().PreviousAllowedInStream(), Timestamp::Max());
  EXPECT_EQ(Timestamp::Max().PreviousAllowedInStream().Value(), Timestamp::Max().Value() - 1);
  EXPECT_EQ(Timestamp(7).PreviousAllowedInStream(), Timestamp(6));
}

TEST(TimestampTest, FromSecondsRoundsHalfAwayFromZero) {
  struct Case {
    double seconds;
    int64_t micros;
  };
  for (const Case& c : {Case{1.5, 1500000}, Case{-2.0000005, -2000001}, Case{0.0000005, 1},
                        Case{0.0000025, 3}, Case{-0.0000005, -1}, Case{0.0000004, 0},
                        Case{0.0, 0}}) {
    EXPECT_EQ(Timestamp::FromSeconds(c.seconds).Value(), c.micros) << c.seconds;
  }
}

using TimestampDeathTest = ::testing::Test;

TEST_F(TimestampDeathTest, ReservedValuesCannotBeConstructed) {
  EXPECT_DEATH(Timestamp{kHighest},
               "Check failed: !IsSpecialValue\\(\\) Cannot directly create a Timestamp with a "
               "special value: Timestamp::Done\\(\\)");
  EXPECT_DEATH(Timestamp(kLowest + 3), "special value: Timestamp::Min\\(\\)");
}

TEST_F(TimestampDeathTest, ArithmeticOnNonRangeValues) {
  EXPECT_DEATH(Timestamp::PostStream() + TimestampDiff(1),
               "Check failed: IsRangeValue\\(\\) Timestamp is: Timestamp::PostStream\\(\\)");
  EXPECT_DEATH(
      {
        Timestamp t = Timestamp::Unset();
        ++t;
      },
      "Timestamp is: Timestamp::Unset\\(\\)");
  EXPECT_DEATH(Timestamp::PreStream() - Timestamp(1),
               "Check failed: IsRangeValue\\(\\) && other.IsRangeValue\\(\\) This timestamp is "
               "Timestamp::PreStream\\(\\) and other was 1");
  EXPECT_DEATH(Timestamp::Done().NextAllowedInStream(),
               "Check failed: IsAllowedInStream\\(\\) Timestamp is: Timestamp::Done\\(\\)");
  EXPECT_DEATH(Timestamp::Unstarted().NextAllowedInStream(),
               "Timestamp is: Timestamp::Unstarted\\(\\)");
}

TEST_F(TimestampDeathTest, CheckedArithmeticOverflows) {
  EXPECT_DEATH(Timestamp::Min() - Timestamp::Max(),
               "SafeInt: underflow: \\(-9223372036854775805 - 9223372036854775804\\)");
  EXPECT_DEATH(Timestamp(0) - TimestampDiff(kLowest),
               "SafeInt: overflow: \\(-9223372036854775808 \\* -1\\)");
  EXPECT_DEATH(TimestampDiff(kHighest) + TimestampDiff(1),
               "SafeInt: overflow: \\(9223372036854775807 \\+ 1\\)");
  EXPECT_DEATH(TimestampDiff(kLowest) + TimestampDiff(-1),
               "SafeInt: underflow: \\(-9223372036854775808 \\+ -1\\)");
  EXPECT_DEATH(TimestampDiff(kHighest) - TimestampDiff(-1),
               "SafeInt: overflow: \\(9223372036854775807 - -1\\)");
}

TEST_F(TimestampDeathTest, FromSecondsOutOfBoundsOrSpecial) {
  EXPECT_DEATH(Timestamp::FromSeconds(1e14),
               "SafeInt: init from out of bounds float: \\(=1e\\+20\\)");
  EXPECT_DEATH(Timestamp::FromSeconds(-1e14),
               "SafeInt: init from out of bounds float: \\(=-1e\\+20\\)");
  EXPECT_DEATH(Timestamp::FromSeconds(std::numeric_limits<double>::quiet_NaN()),
               "SafeInt: init from out of bounds float: \\(=-?nan\\)");
  // 2^63 microseconds is in bounds and saturates to Done, which cannot be constructed.
  EXPECT_DEATH(Timestamp::FromSeconds(9223372036854.775808),
               "special value: Timestamp::Done\\(\\)");
}

}  // namespace
}  // namespace kaldren
