#include "graph/scheduler_shared.h"

#include "absl/time/time.h"
#include "graph/deps/monotonic_clock.h"

namespace kaldren {
namespace internal {

SchedulerTimer::SchedulerTimer()
    : clock_(MonotonicClock::CreateSynchronizedMonotonicClock()),
      tick_clock_(TickClock::Default()) {}

SchedulerTimer::~SchedulerTimer() = default;

int64_t SchedulerTimer::NowMicros() { return absl::ToUnixMicros(clock_->TimeNow()); }

void SchedulerTimer::StartRun() {
  start_time_ = NowMicros();
  total_run_ticks_.store(0, std::memory_order_relaxed);
}

void SchedulerTimer::EndRun() { total_time_ = NowMicros() - start_time_; }

SchedulerTimes SchedulerTimer::GetSchedulerTimes() const {
  return {total_time_, tick_clock_.ToMicros(total_run_ticks_.load(std::memory_order_relaxed))};
}

}  // namespace internal
}  // namespace kaldren
