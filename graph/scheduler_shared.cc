#include "graph/scheduler_shared.h"

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

int64_t SchedulerTimer::StartMeasurement() { return NowMicros(); }

void SchedulerTimer::EndMeasurement(int64_t start_time_us) {
  total_run_time_.fetch_add(NowMicros() - start_time_us, std::memory_order_relaxed);
}

}  // namespace internal
}  // namespace kaldren
