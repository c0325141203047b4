#include "graph/tick_clock.h"

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>

#include "gtest/gtest.h"

namespace kaldren {
namespace internal {
namespace {

int64_t SteadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const char* SourceName(TickClock::Source source) {
  return source == TickClock::Source::kSteadyClock ? "SteadyClock" : "TimeStampCounter";
}

class TickClockTest : public ::testing::TestWithParam<TickClock::Source> {};

// A sleep measured in ticks and converted agrees with the steady clock. The tick readings
// lie inside the steady ones, so however long the sleep really takes, the converted
// duration is at least the requested sleep and at most the steady clock's measure of it; the
// slack only covers the conversion's own error.
TEST_P(TickClockTest, ConvertedDurationAgreesWithTheSteadyClock) {
  if (GetParam() == TickClock::Source::kTimeStampCounter &&
      !TickClock::TimeStampCounterIsInvariant()) {
    GTEST_SKIP() << "no invariant time-stamp counter on this processor";
  }
  const TickClock clock(GetParam());
  constexpr int64_t kSleepMicros = 20000;
  const int64_t steady_start = SteadyMicros();
  const int64_t start = clock.Now();
  std::this_thread::sleep_for(std::chrono::microseconds(kSleepMicros));
  const int64_t end = clock.Now();
  const int64_t steady_micros = SteadyMicros() - steady_start;

  const int64_t micros = clock.ToMicros(end - start);
  const int64_t slack = steady_micros / 50 + 2;
  EXPECT_GE(micros, kSleepMicros - slack);
  EXPECT_LE(micros, steady_micros + slack);
}

INSTANTIATE_TEST_SUITE_P(Sources, TickClockTest,
                         ::testing::Values(TickClock::Source::kTimeStampCounter,
                                           TickClock::Source::kSteadyClock),
                         [](const ::testing::TestParamInfo<TickClock::Source>& info) {
                           return std::string(SourceName(info.param));
                         });

}  // namespace

// Lets ctest list the cases by their source's name.
void PrintTo(TickClock::Source source, std::ostream* os) { *os << SourceName(source); }

}  // namespace internal
}  // namespace kaldren
