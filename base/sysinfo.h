// Questions to the operating system about memory, processes and time.
//
// Most process queries are not answered on this system: they log "<name>: OS not supported"
// at ERROR (the first three times per query) and return a fixed value; the CPU-usage and
// start-time queries raw-log "OS not supported" every time. Physical memory, the largest
// mappable area, the scheduling priority, the boot time and the debugger test are real.
//
//   int64_t bytes = PhysicalMem();   // cached after the first call; 0 if the query failed

#ifndef BASE_SYSINFO_H_
#define BASE_SYSINFO_H_

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "absl/time/time.h"

// What GetMemoryStats would fill in, in bytes.
struct MemoryStats {
  int64_t vsize = 0;
  int64_t rss = 0;
  int64_t shared = 0;
  int64_t text = 0;
  int64_t data = 0;
};

// Bytes of physical memory; asked once, a failed query is cached as 0.
int64_t PhysicalMem();
// The largest anonymous read-only mapping the process can make, found by halving steps.
int64_t MaxVMArea();
// The process's scheduling priority; -2147483647 when it cannot be read.
int Nice();
// Seconds since the epoch at which the machine booted; 0 when unknown.
time_t BootTime();
bool IsDebuggerAttached();
bool HasPosixThreads();
double GetIdleTime();
int64_t NonKernelMem64();

int64_t VirtualProcessSize();
bool GetMemoryStats(pid_t pid, MemoryStats* stats);
int GetProcessThreadCount(pid_t pid);
double SystemLoadAverageForTimeRange(int range);
double SystemLoadAverage();
int64_t FreeMem();
int64_t MemoryUsage(pid_t pid);
int64_t VirtualMemorySize(pid_t pid);
int CommandLine(pid_t pid, char* buffer, int size);
bool ProcessList(std::vector<pid_t>* pids);
pid_t ProcessGroup(pid_t pid);
pid_t ProcessParent(pid_t pid);
std::string ProcessExePath(pid_t pid);
pid_t ThreadGroup(pid_t pid);
std::string ProcessName(pid_t pid);
bool ProcessPageFaults(pid_t pid, int64_t* minor, int64_t* major, int64_t* child_minor,
                       int64_t* child_major);
int NumOpenFDs();

// Measures at most once per 300 seconds; always 0.
int64_t VirtualProcessSizeForExport();
// Measures at most once per 300 seconds and returns the cached measurement.
int64_t MemoryUsageForExport();
int64_t UncachedMemoryUsageForExport();
// When time() is below `max_age_seconds`, fills zeros and returns true; otherwise asks
// GetMemoryStats for this process and returns false.
bool GetMemoryStatsForExport(MemoryStats* stats, int max_age_seconds);

namespace base {
absl::Duration CPUUsage(pid_t pid);
absl::Duration CPUUsage();
absl::Duration ThreadCPUUsage();
absl::Duration ReapedCPUUsage();
absl::Time ProcessStartTime();
}  // namespace base

#endif  // BASE_SYSINFO_H_
