// Processor counts and core speeds for sizing and placing worker threads.

#ifndef QUILLMERE_GRAPH_THREAD_POOL_CPU_UTIL_H_
#define QUILLMERE_GRAPH_THREAD_POOL_CPU_UTIL_H_

#include <set>

namespace kaldren {

// The number of processors currently online.
int NumCPUCores();

// The number of processors the calling thread may run on (its affinity mask, as set by
// taskset or a container's CPU set); NumCPUCores() when the mask cannot be read.
int NumUsableProcessors();

// The ids of the cores with the lowest (respectively highest) maximum frequency, read from the
// files that the flag `system_cpu_max_freq_file` names ("$0" standing for the core id). Cores
// whose file cannot be read are left out. Empty when no core can be read or when every readable
// core has the same frequency.
std::set<int> InferLowerCoreIds();
std::set<int> InferHigherCoreIds();

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_THREAD_POOL_CPU_UTIL_H_
