// A cheap clock for timing short stretches of code, such as one calculator call.
//
// A `TickClock` counts ticks of an unspecified length; `ToMicros` turns a number of ticks
// measured on it into microseconds. Where the processor's time-stamp counter runs at a
// constant rate in every power state (an "invariant" counter, reported by CPUID), the
// ticks are that counter: reading it takes a single instruction, while the steady clock
// costs a call into the kernel's time page, two to three times as long. Elsewhere the
// ticks are nanoseconds of the steady clock.
//
// The counter's rate is learnt against the steady clock: the clock remembers one reading of
// both when it is made, and each conversion compares them with a fresh reading of both. The
// longer the clock has existed, the closer the rate; the error of a converted duration is
// bounded by the few hundred nanoseconds that separate the two reads of one pair, not by
// the length of the duration.
//
//   const TickClock& clock = TickClock::Default();
//   const int64_t start = clock.Now();
//   DoWork();
//   const int64_t micros = clock.ToMicros(clock.Now() - start);

#ifndef QUILLMERE_GRAPH_TICK_CLOCK_H_
#define QUILLMERE_GRAPH_TICK_CLOCK_H_

#include <chrono>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define QUILLMERE_HAS_TIME_STAMP_COUNTER 1
#else
#define QUILLMERE_HAS_TIME_STAMP_COUNTER 0
#endif

namespace kaldren {
namespace internal {

class TickClock {
 public:
  enum class Source {
    kTimeStampCounter,  // the processor's invariant time-stamp counter
    kSteadyClock,       // nanoseconds of std::chrono::steady_clock
  };

  // The clock of the process, made on first use: the time-stamp counter where it is
  // invariant, else the steady clock. Lives for the process.
  static const TickClock& Default();

  // Whether this processor has a time-stamp counter whose rate never changes.
  static bool TimeStampCounterIsInvariant();

  // `source` must be available: the time-stamp counter only where it is invariant.
  explicit TickClock(Source source);

  TickClock(const TickClock&) = delete;
  TickClock& operator=(const TickClock&) = delete;

  Source source() const { return source_; }

  // The current reading, in ticks from an arbitrary origin. Readings on different threads
  // are comparable.
  int64_t Now() const {
#if QUILLMERE_HAS_TIME_STAMP_COUNTER
    if (source_ == Source::kTimeStampCounter) return static_cast<int64_t>(__rdtsc());
#endif
    return SteadyNanos();
  }

  // A duration of `ticks` of this clock, in whole microseconds (rounded down).
  int64_t ToMicros(int64_t ticks) const;

 private:
  // One reading of the ticks and of the steady clock, taken as close together as possible.
  struct Pair {
    int64_t ticks;
    int64_t nanos;
  };

  static int64_t SteadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  Pair ReadPair() const;

  const Source source_;
  // Both clocks as read when this one was made; the counter's rate is measured from here.
  const Pair origin_;
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_TICK_CLOCK_H_
