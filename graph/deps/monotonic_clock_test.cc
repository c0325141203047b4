#include "graph/deps/monotonic_clock.h"

#include <memory>
#include <vector>

#include "absl/time/clock.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

// A raw clock that returns scripted readings in seconds; sleeping moves it to the target.
class ScriptedClock : public Clock {
 public:
  absl::Time TimeNow() override { return absl::FromUnixSeconds(now_); }
  void Sleep(absl::Duration d) override {
    ++sleeps_;
    now_ += absl::ToInt64Seconds(d);
  }
  void SleepUntil(absl::Time t) override {
    ++sleeps_;
    now_ = absl::ToUnixSeconds(t);
  }
  void Set(int64_t seconds) { now_ = seconds; }
  int sleeps() const { return sleeps_; }

 private:
  int64_t now_ = 0;
  int sleeps_ = 0;
};

int64_t Read(MonotonicClock* clock, ScriptedClock* raw, int64_t raw_seconds) {
  raw->Set(raw_seconds);
  return absl::ToUnixSeconds(clock->TimeNow());
}

TEST(MonotonicClockTest, CorrectsARawClockThatGoesBackwards) {
  ScriptedClock raw;
  std::unique_ptr<MonotonicClock> clock(MonotonicClock::CreateMonotonicClock(&raw));
  std::vector<int64_t> readings;
  for (int64_t s : {10, 12, 11, 13}) readings.push_back(Read(clock.get(), &raw, s));
  EXPECT_EQ(readings, (std::vector<int64_t>{10, 12, 12, 13}));

  int count = -1;
  double max_correction = -1;
  clock->GetCorrectionMetrics(&count, &max_correction);
  EXPECT_EQ(count, 1);
  EXPECT_DOUBLE_EQ(max_correction, 1.0);

  clock->GetCorrectionMetrics(nullptr, nullptr);
  clock->ResetCorrectionMetrics();
  clock->GetCorrectionMetrics(&count, &max_correction);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(max_correction, 0.0);
}

TEST(MonotonicClockTest, ClocksOnOneStateNeverGoBackRelativeToEachOther) {
  ScriptedClock raw;
  MonotonicClock::State* state = MonotonicClockAccess::CreateMonotonicClockState(&raw);
  {
    std::unique_ptr<MonotonicClock> a(MonotonicClockAccess::CreateMonotonicClock(state));
    std::unique_ptr<MonotonicClock> b(MonotonicClockAccess::CreateMonotonicClock(state));
    EXPECT_EQ(Read(a.get(), &raw, 20), 20);
    // Behind A's reading, but B's own raw readings have not gone back: no correction.
    EXPECT_EQ(Read(b.get(), &raw, 19), 20);
    int count = -1;
    b->GetCorrectionMetrics(&count, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(Read(b.get(), &raw, 18), 20);
    double max_correction = 0;
    b->GetCorrectionMetrics(&count, &max_correction);
    EXPECT_EQ(count, 1);
    EXPECT_DOUBLE_EQ(max_correction, 2.0);
  }
  MonotonicClockAccess::DeleteMonotonicClockState(state);
  MonotonicClockAccess::DeleteMonotonicClockState(nullptr);
}

TEST(MonotonicClockTest, SleepUntil) {
  ScriptedClock raw;
  raw.Set(100);
  std::unique_ptr<MonotonicClock> clock(MonotonicClock::CreateMonotonicClock(&raw));
  clock->SleepUntil(absl::FromUnixSeconds(50));
  EXPECT_EQ(raw.sleeps(), 0);
  clock->SleepUntil(absl::FromUnixSeconds(130));
  EXPECT_EQ(raw.sleeps(), 1);
  EXPECT_EQ(absl::ToUnixSeconds(clock->TimeNow()), 130);
  clock->Sleep(absl::Seconds(5));
  EXPECT_EQ(absl::ToUnixSeconds(clock->TimeNow()), 135);
}

TEST(MonotonicClockTest, SynchronizedClocksFollowTheRealClock) {
  std::unique_ptr<MonotonicClock> a(MonotonicClock::CreateSynchronizedMonotonicClock());
  std::unique_ptr<MonotonicClock> b(MonotonicClock::CreateSynchronizedMonotonicClock());
  const absl::Time before = absl::Now();
  const absl::Time t1 = a->TimeNow();
  const absl::Time t2 = b->TimeNow();
  EXPECT_LE(before, t1);
  EXPECT_LE(t1, t2);
  Clock* real = Clock::RealClock();
  EXPECT_EQ(real, Clock::RealClock());
  real->SleepUntil(real->TimeNow() - absl::Seconds(1));  // Returns at once.
}

using MonotonicClockDeathTest = ::testing::Test;

TEST_F(MonotonicClockDeathTest, ReleaseStateNeedsOwnership) {
  std::unique_ptr<MonotonicClock> clock(MonotonicClock::CreateSynchronizedMonotonicClock());
  EXPECT_DEATH(static_cast<MonotonicClockImpl*>(clock.get())->ReleaseState(),
               "Check failed: state_owned_");
}

TEST_F(MonotonicClockDeathTest, ReadingAfterAResetOfItsStateIsFatal) {
  ScriptedClock raw;
  MonotonicClock::State* state = MonotonicClockAccess::CreateMonotonicClockState(&raw);
  std::unique_ptr<MonotonicClock> clock(MonotonicClockAccess::CreateMonotonicClock(state));
  Read(clock.get(), &raw, 10);
  {
    std::lock_guard<std::mutex> lock(state->lock);
    state->max_time = absl::UnixEpoch();
  }
  EXPECT_DEATH(clock->TimeNow(), "non-monotonic behavior: last_raw_time_=");
  clock.reset();
  MonotonicClockAccess::DeleteMonotonicClockState(state);
}

}  // namespace
}  // namespace kaldren
