#include "graph/tick_clock.h"

#if QUILLMERE_HAS_TIME_STAMP_COUNTER
#include <cpuid.h>
#endif

#include "base/logging.h"

namespace kaldren {
namespace internal {

const TickClock& TickClock::Default() {
  static const TickClock* const clock = new TickClock(
      TimeStampCounterIsInvariant() ? Source::kTimeStampCounter : Source::kSteadyClock);
  return *clock;
}

bool TickClock::TimeStampCounterIsInvariant() {
#if QUILLMERE_HAS_TIME_STAMP_COUNTER
  // Leaf 0x80000007 ("advanced power management"), EDX bit 8: the counter ticks at the same
  // rate in every frequency and sleep state.
  constexpr unsigned kPowerManagementLeaf = 0x80000007;
  constexpr unsigned kInvariantCounterBit = 1u << 8;
  if (__get_cpuid_max(0x80000000, nullptr) < kPowerManagementLeaf) return false;
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(kPowerManagementLeaf, &eax, &ebx, &ecx, &edx)) return false;
  return (edx & kInvariantCounterBit) != 0;
#else
  return false;
#endif
}

TickClock::TickClock(Source source) : source_(source), origin_(ReadPair()) {
  CHECK(source != Source::kTimeStampCounter || TimeStampCounterIsInvariant());
}

TickClock::Pair TickClock::ReadPair() const {
  if (source_ == Source::kSteadyClock) {
    const int64_t nanos = SteadyNanos();
    return {nanos, nanos};
  }
  // The thread may be interrupted between the two reads: bracket the steady clock by two
  // tick readings and keep the narrowest of a few tries, paired with its middle.
  Pair best{};
  int64_t best_width = INT64_MAX;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const int64_t before = Now();
    const int64_t nanos = SteadyNanos();
    const int64_t after = Now();
    if (after - before < best_width) {
      best_width = after - before;
      best = {before + (after - before) / 2, nanos};
    }
  }
  return best;
}

int64_t TickClock::ToMicros(int64_t ticks) const {
  if (source_ == Source::kSteadyClock) return ticks / 1000;
  const Pair now = ReadPair();
  const int64_t elapsed_ticks = now.ticks - origin_.ticks;
  const int64_t elapsed_nanos = now.nanos - origin_.nanos;
  // Every duration measured on this clock lies after its origin; while almost no time has
  // passed since, there is nothing to convert.
  if (elapsed_ticks <= 0 || elapsed_nanos <= 0) return 0;
  const double nanos_per_tick =
      static_cast<double>(elapsed_nanos) / static_cast<double>(elapsed_ticks);
  return static_cast<int64_t>(static_cast<double>(ticks) * nanos_per_tick / 1000.0);
}

}  // namespace internal
}  // namespace kaldren
