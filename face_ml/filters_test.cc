#include <cmath>
#include <vector>

#include "absl/time/time.h"
#include "face_ml/circular_buffer.h"
#include "face_ml/landmarks_filter.h"
#include "face_ml/low_pass_filter.h"
#include "face_ml/relative_velocity_filter.h"
#include "face_ml/testing/log_capture.h"
#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace {

using api::Bound;
using api::Landmark;
using testing::LogCapture;

TEST(CircularBufferTest, IteratesNewestFirstAndOverwritesOldest) {
  qsx::CircularBuffer<int> ring(3);
  for (int i = 1; i <= 4; ++i) ring.push_front(i);
  EXPECT_EQ(std::vector<int>(ring.begin(), ring.end()), (std::vector<int>{4, 3, 2}));
  qsx::CircularBuffer<int> none(0);
  none.push_front(1);
  EXPECT_TRUE(none.empty());
}

TEST(CircularBufferDeathTest, AdvancingPastTheEndIsFatal) {
  qsx::CircularBuffer<int> ring(2);
  ring.push_front(1);
  auto it = ring.end();
  EXPECT_DEATH(++it, "logical <= cb_->size\\(\\) bad Incr by n=1 from 1");
}

TEST(LowPassFilterTest, SmoothsAfterTheFirstValue) {
  LowPassFilter filter(0.25f);
  EXPECT_FLOAT_EQ(filter.Apply(0), 0);
  EXPECT_FLOAT_EQ(filter.Apply(4), 1);
  EXPECT_FLOAT_EQ(filter.LastRawValue(), 4);
  EXPECT_FLOAT_EQ(filter.LastValue(), 1);
  EXPECT_FLOAT_EQ(filter.ApplyWithAlpha(2, 1.0f), 2);
}

TEST(LowPassFilterTest, AlphaOutOfRangeIsLoggedAndIgnored) {
  LowPassFilter filter(0.5f);
  LogCapture log;
  filter.SetAlpha(1.5f);
  filter.SetAlpha(-0.25f);
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "alpha: 1.5 should be in [0.0, 1.0] range"), 1);
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "alpha: -0.25 should be in [0.0, 1.0] range"),
            1);
  filter.Apply(0);
  EXPECT_FLOAT_EQ(filter.Apply(2), 1);  // still 0.5
}

absl::Duration Ns(int64_t ns) { return absl::Nanoseconds(ns); }

TEST(RelativeVelocityFilterTest, FirstSamplePassesAndVelocitySetsAlpha) {
  RelativeVelocityFilter filter(5, 40.0f);
  EXPECT_FLOAT_EQ(filter.Apply(absl::ZeroDuration(), 1, 0.3f), 0.3f);
  // 0.025 per second with velocity scale 40: alpha 0.5.
  EXPECT_FLOAT_EQ(filter.Apply(absl::Seconds(1), 1, 0.325f), 0.3125f);
}

TEST(RelativeVelocityFilterTest, RepeatedTimestampReturnsTheRawValue) {
  RelativeVelocityFilter filter(5, 40.0f);
  filter.Apply(Ns(100), 1, 0);
  LogCapture log;
  EXPECT_EQ(filter.Apply(Ns(100), 1, 7), 7);
  EXPECT_EQ(filter.Apply(Ns(50), 1, 8), 8);
  EXPECT_EQ(log.Count(absl::LogSeverity::kWarning,
                      "New timestamp is equal or less than the last one."),
            2);
  // The state is untouched: the next sample is measured against the value at 100 ns.
  EXPECT_FLOAT_EQ(filter.Apply(Ns(100) + absl::Seconds(1), 1, 0.025f), 0.0125f);
}

// One step of distance 1 followed by four still steps fills the window of 5; the sixth
// step (still again) sees the moving step only if the whole window fits the time limit of
// (5 + 1) * 33,333,333 ns.
struct WindowCase {
  const char* name;
  int64_t step;
  bool sees_moving_step;
};
void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class RelativeVelocityWindowTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(RelativeVelocityWindowTest, SumsStepsWithinTheLimit) {
  const WindowCase& c = GetParam();
  RelativeVelocityFilter filter(5, 1.0f);
  filter.Apply(Ns(0), 1, 0);
  float out = 0;
  for (int i = 1; i <= 5; ++i) out = filter.Apply(Ns(i * c.step), 1, 1);
  const float sixth = filter.Apply(Ns(6 * c.step), 1, 1);
  if (c.sees_moving_step) {
    const double velocity = 1.0 / (6 * c.step * 1e-9);
    const double alpha = 1 - 1 / (1 + velocity);
    EXPECT_NEAR(sixth, (1 - alpha) * out + alpha, 1e-6);
  } else {
    EXPECT_EQ(sixth, out);  // velocity 0: alpha 0
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RelativeVelocityWindowTest,
                         ::testing::Values(WindowCase{"ExactlyAtLimit", 33333333, true},
                                           WindowCase{"JustAboveLimit", 33334000, false}),
                         [](const ::testing::TestParamInfo<WindowCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(RelativeVelocityFilterTest, StepAfterLongPauseUsesOnlyItself) {
  RelativeVelocityFilter filter(5, 40.0f);
  filter.Apply(Ns(0), 1, 0);
  float out = 0;
  for (int i = 1; i <= 5; ++i) out = filter.Apply(Ns(i * 33333333LL), 1, i);
  // 0.025 in one second after a pause: alpha 0.5 from this step alone.
  EXPECT_FLOAT_EQ(filter.Apply(Ns(5 * 33333333LL) + absl::Seconds(1), 1, 5.025f),
                  0.5f * out + 0.5f * 5.025f);
}

namespace internal = api::internal;

std::vector<Landmark> Face(float offset) {
  return {{0.4f + offset, 0.4f, 0.1f}, {0.6f + offset, 0.6f, 0.2f}};
}

TEST(LandmarksFilterTest, FactoryChoosesTheFilter) {
  const Bound unit{0, 0, 1, 1};  // value scale 1
  struct Case {
    api::LandmarksFilterType requested, model_default;
    bool filters;
  } cases[] = {{api::NO_FILTER, api::RELATIVE_VELOCITY_FILTER, false},
               {api::DEFAULT_FILTER, api::DEFAULT_FILTER, false},
               {api::DEFAULT_FILTER, api::RELATIVE_VELOCITY_FILTER, true},
               {api::RELATIVE_VELOCITY_FILTER, api::NO_FILTER, true}};
  for (const Case& c : cases) {
    auto filter = internal::MakeFilterFactory(c.requested, c.model_default, 2)->MakeFilter();
    std::vector<Landmark> first = Face(0), second = Face(0.1f);
    ASSERT_TRUE(filter->Apply(unit, absl::ZeroDuration(), absl::MakeSpan(first)));
    ASSERT_TRUE(filter->Apply(unit, absl::Seconds(1), absl::MakeSpan(second)));
    EXPECT_EQ(second[0].x != Face(0.1f)[0].x, c.filters)
        << c.requested << " over default " << c.model_default;
  }
}

TEST(LandmarksFilterTest, RelativeVelocityFiltersEachCoordinate) {
  const Bound unit{0, 0, 1, 1};
  // Velocity scale 40 and 0.025 per second: every coordinate moves half way.
  for (int dimensions : {2, 3}) {
    auto filter =
        internal::MakeFilterFactory(api::NO_FILTER, api::NO_FILTER, dimensions)
            ->MakeRelativeVelocityFilter(5, 40.0f);
    std::vector<Landmark> l = {{0.5f, 0.5f, 0.5f}};
    ASSERT_TRUE(filter->Apply(unit, absl::ZeroDuration(), absl::MakeSpan(l)));
    l = {{0.525f, 0.475f, 0.525f}};
    ASSERT_TRUE(filter->Apply(unit, absl::Seconds(1), absl::MakeSpan(l)));
    EXPECT_FLOAT_EQ(l[0].x, 0.5125f);
    EXPECT_FLOAT_EQ(l[0].y, 0.4875f);
    EXPECT_FLOAT_EQ(l[0].z, dimensions == 3 ? 0.5125f : 0.525f);
  }
}

TEST(LandmarksFilterTest, NoTimeDegenerateBoundAndNewCountPassThrough) {
  auto filter =
      internal::MakeFilterFactory(api::RELATIVE_VELOCITY_FILTER, api::NO_FILTER, 2)->MakeFilter();
  std::vector<Landmark> l = Face(0);
  ASSERT_TRUE(filter->Apply({0, 0, 1, 1}, absl::ZeroDuration(), absl::MakeSpan(l)));
  l = Face(0.1f);
  EXPECT_TRUE(filter->Apply({0, 0, 1, 1}, absl::nullopt, absl::MakeSpan(l)));
  EXPECT_EQ(l[0].x, Face(0.1f)[0].x);
  EXPECT_TRUE(filter->Apply({0.5f, 0.5f, 0.5f, 0.5f}, absl::Seconds(1), absl::MakeSpan(l)));
  EXPECT_EQ(l[0].x, Face(0.1f)[0].x);
  // A third landmark restarts every scalar filter: the frame passes unchanged.
  l.push_back({0.9f, 0.9f, 0});
  const std::vector<Landmark> raw = l;
  ASSERT_TRUE(filter->Apply({0, 0, 1, 1}, absl::Seconds(2), absl::MakeSpan(l)));
  EXPECT_EQ(l[0].x, raw[0].x);
  EXPECT_EQ(l[2].y, raw[2].y);
}

TEST(LandmarksFilterTest, InvalidDimensionsFail) {
  auto filter = internal::MakeFilterFactory(api::RELATIVE_VELOCITY_FILTER, api::NO_FILTER, 4)
                    ->MakeFilter();
  std::vector<Landmark> l = Face(0);
  LogCapture log;
  EXPECT_FALSE(filter->Apply({0, 0, 1, 1}, absl::ZeroDuration(), absl::MakeSpan(l)));
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "Invalid dimensions 4"), 1);
  // Without a time nothing is checked.
  EXPECT_TRUE(filter->Apply({0, 0, 1, 1}, absl::nullopt, absl::MakeSpan(l)));
}

}  // namespace
}  // namespace sorvanti
}  // namespace research
