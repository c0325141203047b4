// The clock interface of the graph runtime, and the process's real-time clock.

#ifndef QUILLMERE_GRAPH_DEPS_CLOCK_H_
#define QUILLMERE_GRAPH_DEPS_CLOCK_H_

#include "absl/time/time.h"

namespace kaldren {

class Clock {
 public:
  virtual ~Clock() = default;

  virtual absl::Time TimeNow() = 0;
  virtual void Sleep(absl::Duration d) = 0;
  virtual void SleepUntil(absl::Time t) = 0;

  // The wall clock, made on first use and never destroyed.
  static Clock* RealClock();
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_DEPS_CLOCK_H_
