// Helpers of the benchmarks that measure one core's work under a noisy machine: pinning the
// process to one core, and medians, which other load on the machine skews less than means.

#ifndef BENCH_SINGLE_CORE_H_
#define BENCH_SINGLE_CORE_H_

#include <vector>

namespace quillmere_bench {

// Holds the process (and the threads it starts later) to the first core it may run on.
void PinToOneCore();

// The median of `times`; 0 when there are none.
double Median(std::vector<double> times);

}  // namespace quillmere_bench

#endif  // BENCH_SINGLE_CORE_H_
