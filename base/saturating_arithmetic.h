// Signed 64-bit sums held at the type's limits instead of wrapping. Times, stamps and waits that
// come from outside the process (files other applications write, server answers) may hold any
// value; comparisons built on these sums stay meaningful at the extremes.
//
//   if (now > base::SaturatingAdd(last_sync, period)) Sync();
#ifndef BASE_SATURATING_ARITHMETIC_H_
#define BASE_SATURATING_ARITHMETIC_H_

#include <cstdint>
#include <limits>

namespace base {

// a + b, or the limit on the side the true sum lies.
inline int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return sum;
}

}  // namespace base

#endif  // BASE_SATURATING_ARITHMETIC_H_
