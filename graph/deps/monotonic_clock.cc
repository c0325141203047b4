#include "graph/deps/monotonic_clock.h"

#include "base/logging.h"

namespace kaldren {
namespace {

MonotonicClock::State* SynchronizedState() {
  static MonotonicClock::State* const state = new MonotonicClock::State(Clock::RealClock());
  return state;
}

}  // namespace

MonotonicClockImpl::MonotonicClockImpl(State* state, bool state_owned)
    : state_(state), state_owned_(state_owned) {}

MonotonicClockImpl::~MonotonicClockImpl() {
  if (state_owned_) delete state_;
}

void MonotonicClockImpl::ReleaseState() {
  CHECK(state_owned_);
  state_owned_ = false;
}

absl::Time MonotonicClockImpl::TimeNow() {
  std::lock_guard<std::mutex> lock(state_->lock);
  CHECK_LE(last_raw_time_, state_->max_time)
      << "non-monotonic behavior: last_raw_time_=" << last_raw_time_
      << ", max_time=" << state_->max_time;
  const absl::Time raw = state_->raw_clock->TimeNow();
  if (raw >= state_->max_time) {
    state_->max_time = raw;
    last_raw_time_ = raw;
    return raw;
  }
  // Behind the state: a correction only when this clock's own raw readings went back,
  // not when another clock on the state merely read a later time.
  if (raw < last_raw_time_) {
    ++correction_count_;
    const absl::Duration delta = state_->max_time - raw;
    CHECK_LT(absl::ZeroDuration(), delta);
    if (delta > max_correction_) max_correction_ = delta;
  }
  last_raw_time_ = raw;
  return state_->max_time;
}

void MonotonicClockImpl::Sleep(absl::Duration d) { SleepUntil(TimeNow() + d); }

void MonotonicClockImpl::SleepUntil(absl::Time t) {
  while (TimeNow() < t) state_->raw_clock->SleepUntil(t);
}

void MonotonicClockImpl::GetCorrectionMetrics(int* correction_count, double* max_correction) {
  std::lock_guard<std::mutex> lock(state_->lock);
  if (correction_count != nullptr) *correction_count = correction_count_;
  if (max_correction != nullptr) *max_correction = absl::ToDoubleSeconds(max_correction_);
}

void MonotonicClockImpl::ResetCorrectionMetrics() {
  std::lock_guard<std::mutex> lock(state_->lock);
  correction_count_ = 0;
  max_correction_ = absl::ZeroDuration();
}

MonotonicClock* MonotonicClock::CreateMonotonicClock(Clock* clock) {
  return new MonotonicClockImpl(new State(clock), /*state_owned=*/true);
}

MonotonicClock* MonotonicClock::CreateSynchronizedMonotonicClock() {
  auto* clock = new MonotonicClockImpl(SynchronizedState(), /*state_owned=*/true);
  clock->ReleaseState();
  return clock;
}

MonotonicClock::State* MonotonicClockAccess::CreateMonotonicClockState(Clock* clock) {
  return new MonotonicClock::State(clock);
}

void MonotonicClockAccess::DeleteMonotonicClockState(MonotonicClock::State* state) {
  delete state;
}

MonotonicClock* MonotonicClockAccess::CreateMonotonicClock(MonotonicClock::State* state) {
  return new MonotonicClockImpl(state, /*state_owned=*/false);
}

void MonotonicClockAccess::SynchronizedMonotonicClockReset() {
  LOG(INFO) << "Resetting SynchronizedMonotonicClock";
  MonotonicClock::State* state = SynchronizedState();
  std::lock_guard<std::mutex> lock(state->lock);
  state->max_time = absl::UnixEpoch();
}

}  // namespace kaldren
