#include "face_geometry/high_res_timer.h"

#include <chrono>

#include "face_geometry/core_logging.h"

namespace vrk {

HighResTimer::HighResTimer(bool start_now) : start_(start_now ? NowNano() : 0) {}

int64_t HighResTimer::NowNano() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void HighResTimer::Reset() { start_ = NowNano(); }

int64_t HighResTimer::ElapsedNano() const { return NowNano() - start_; }

int64_t HighResTimer::ElapsedMillis() const { return ElapsedNano() / 1000000; }

double HighResTimer::ElapsedSeconds() const {
  return static_cast<double>(ElapsedNano()) / 1e9;
}

void HighResTimer::LogElapsedSeconds(const std::string& name) {
  const double seconds = ElapsedSeconds();
  Reset();
  VRK_LOG(INFO, name, " (Timer, secs): ", seconds);
}

std::time_t SecondsSinceEpochToTimeT(uint64_t seconds) {
  using std::chrono::system_clock;
  const std::chrono::microseconds since_epoch(static_cast<int64_t>(seconds) * 1000000);
  return system_clock::to_time_t(
      system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(since_epoch)));
}

uint64_t TimeTToSecondsSinceEpoch(std::time_t t) {
  const auto since_epoch = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::from_time_t(t).time_since_epoch());
  return static_cast<uint64_t>(since_epoch.count() / 1000000);
}

}  // namespace vrk
