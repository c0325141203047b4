// Steady-clock stopwatch of the on-device ML core utilities, and calendar-time helpers.

#ifndef FACE_GEOMETRY_HIGH_RES_TIMER_H_
#define FACE_GEOMETRY_HIGH_RES_TIMER_H_

#include <cstdint>
#include <ctime>
#include <string>

namespace vrk {

// One steady-clock time point in nanoseconds. Not synchronised: one timer is used by one
// thread at a time.
class HighResTimer {
 public:
  // `start_now` stores the current steady-clock time; otherwise the start is 0, and the
  // elapsed time is the raw steady-clock reading.
  explicit HighResTimer(bool start_now = true);

  // Restarts the timer now.
  void Reset();
  int64_t ElapsedNano() const;
  // Whole milliseconds, truncated toward zero.
  int64_t ElapsedMillis() const;
  double ElapsedSeconds() const;
  // Takes the elapsed seconds and restarts the timer (whatever the log level), then logs
  // "<name>  (Timer, secs):  <seconds>" at INFO.
  void LogElapsedSeconds(const std::string& name);

  int64_t start() const { return start_; }

 private:
  static int64_t NowNano();

  int64_t start_;
};

// Conversions through the system clock; for ordinary values both return their input.
std::time_t SecondsSinceEpochToTimeT(uint64_t seconds);
uint64_t TimeTToSecondsSinceEpoch(std::time_t t);

}  // namespace vrk

#endif  // FACE_GEOMETRY_HIGH_RES_TIMER_H_
