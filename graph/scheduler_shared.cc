#include "graph/scheduler_shared.h"

#include <chrono>

#include "absl/time/time.h"
#include "graph/deps/monotonic_clock.h"

namespace kaldren {
namespace internal {

SchedulerTimer::SchedulerTimer() : clock_(MonotonicClock::CreateSynchronizedMonotonicClock()) {}

SchedulerTimer::~SchedulerTimer() = default;

int64_t SchedulerTimer::NowMicros() { return absl::ToUnixMicros(clock_->TimeNow()); }

void SchedulerTimer::StartRun() {
  start_time_ = NowMicros();
  total_run_time_.store(0, std::memory_order_relaxed);
}

void SchedulerTimer::EndRun() { total_time_ = NowMicros() - start_time_; }

namespace {

// Microseconds on the steady clock, which never goes backwards and takes no lock.
int64_t SteadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int64_t SchedulerTimer::StartMeasurement() { return SteadyMicros(); }

void SchedulerTimer::EndMeasurement(int64_t start_time_us) {
  total_run_time_.fetch_add(SteadyMicros() - start_time_us, std::memory_order_relaxed);
}

}  // namespace internal
}  // namespace kaldren
