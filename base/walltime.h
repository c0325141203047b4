#ifndef BASE_WALLTIME_H_
#define BASE_WALLTIME_H_

#include "absl/time/time.h"

namespace base {

// Seconds since the Unix epoch, with the sub-second part as a fraction; an infinite time
// gives plus or minus infinity.
inline double ToWallTime(absl::Time t) { return absl::ToDoubleSeconds(t - absl::UnixEpoch()); }

}  // namespace base

#endif  // BASE_WALLTIME_H_
