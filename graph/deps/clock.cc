#include "graph/deps/clock.h"

#include "absl/time/clock.h"
#include "base/logging.h"

namespace kaldren {
namespace {

class RealTimeClock : public Clock {
 public:
  ~RealTimeClock() override { LOG(FATAL) << "RealTimeClock should never be destroyed"; }

  absl::Time TimeNow() override { return absl::Now(); }
  void Sleep(absl::Duration d) override { absl::SleepFor(d); }
  void SleepUntil(absl::Time t) override {
    const absl::Duration d = t - TimeNow();
    if (d > absl::ZeroDuration()) Sleep(d);
  }
};

}  // namespace

Clock* Clock::RealClock() {
  static Clock* const clock = new RealTimeClock();
  return clock;
}

}  // namespace kaldren
