// Wall-clock timing of code sites, written to the log.
//
//   static ScopedWallTimer::Accumulator* const accumulator = new ScopedWallTimer::Accumulator;
//   {
//     ScopedWallTimer timer(__FILE__, __LINE__, enabled, accumulator);
//     timer << "runner->Run";
//     ...  // the timed work
//   }  // logs "runner->Run TIMES: [Curr: 1.2 ms, Avg: 1.1 ms, Min: 0.9 ms, 12 calls]"
//
// A disabled timer reads no clock and logs nothing. The log line is attributed to the
// timed site's file and line.

#ifndef FACE_ML_SCOPED_WALL_TIMER_H_
#define FACE_ML_SCOPED_WALL_TIMER_H_

#include <cstdint>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "absl/strings/string_view.h"

namespace video {
namespace stabilization {

class ScopedWallTimer {
 public:
  // The running totals of one site; shared by threads.
  class Accumulator {
   public:
    struct Totals {
      double total = 0;  // seconds
      double min = std::numeric_limits<double>::infinity();
      int64_t count = 0;
    };
    // Adds one call of `elapsed` seconds and returns the totals after it.
    Totals Add(double elapsed);

   private:
    std::mutex mu_;
    Totals totals_;
  };

  // `accumulator` must be given when `enabled` (a fatal check otherwise).
  ScopedWallTimer(const char* file, int line, bool enabled, Accumulator* accumulator);
  ScopedWallTimer(const ScopedWallTimer&) = delete;
  ScopedWallTimer& operator=(const ScopedWallTimer&) = delete;
  ~ScopedWallTimer();

  // Appends to the label.
  template <typename T>
  ScopedWallTimer& operator<<(const T& value) {
    if (enabled_) label_ << value;
    return *this;
  }

 private:
  const char* file_;
  int line_;
  bool enabled_;
  Accumulator* accumulator_;
  double start_ = 0;  // wall time in seconds
  std::ostringstream label_;
};

// Which source paths are timed: built from a comma-separated list; a path matches when
// one part is empty or occurs in it.
class MeasureTimeFilter {
 public:
  explicit MeasureTimeFilter(absl::string_view filter);
  // The process-wide filter, built once from the measure_time_filter setting.
  static const MeasureTimeFilter& Get();
  bool Matches(absl::string_view name) const;

 private:
  std::vector<std::string> parts_;
};

}  // namespace stabilization
}  // namespace video

#endif  // FACE_ML_SCOPED_WALL_TIMER_H_
