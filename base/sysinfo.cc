#include "base/sysinfo.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "base/logging.h"
#include "base/raw_logging.h"

namespace {

std::mutex physical_mem_lock;
int64_t physical_mem = 0;
bool physical_mem_initialized = false;

// Logs "<message>" for a query this system cannot answer, the first three times only.
#define QM_NOT_SUPPORTED_(message) LOG_FIRST_N(ERROR, 3) << message

}  // namespace

int64_t PhysicalMem() {
  std::lock_guard<std::mutex> lock(physical_mem_lock);
  if (!physical_mem_initialized) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    physical_mem = (pages > 0 && page_size > 0) ? static_cast<int64_t>(pages) * page_size : 0;
    physical_mem_initialized = true;
  }
  return physical_mem;
}

int64_t MaxVMArea() {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  uint64_t size = 0;
  for (uint64_t step = uint64_t{1} << 62; step >= page && step != 0; step >>= 1) {
    void* p = mmap(nullptr, size + step, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, 0, 0);
    if (p != MAP_FAILED) {
      munmap(p, size + step);
      size += step;
    }
  }
  LOG(INFO) << "Max VM Area = " << size;
  return static_cast<int64_t>(size);
}

int Nice() {
  errno = 0;
  const int result = getpriority(PRIO_PROCESS, 0);
  if (result != -1 || errno == 0) return result;
  static absl::logging_internal::LogFirstNState state;
  if (state.ShouldLog(3)) PLOG(ERROR) << "Nice():getpriority()";
  return -2147483647;
}

time_t BootTime() {
  // The kernel states its boot time as the "btime" line of /proc/stat.
  std::ifstream stat("/proc/stat");
  std::string line;
  while (stat && std::getline(stat, line)) {
    long long seconds = 0;
    if (std::sscanf(line.c_str(), "btime %lld", &seconds) == 1) return static_cast<time_t>(seconds);
  }
  if (errno == 0) errno = ENOENT;
  static absl::logging_internal::LogFirstNState state;
  if (state.ShouldLog(3)) PLOG(ERROR) << "BootTime(): sysctl kern.boottime failed";
  return 0;
}

bool IsDebuggerAttached() {
  const int fd = open("/proc/self/status", O_RDONLY);
  if (fd < 0) return false;
  char buffer[151];
  const ssize_t n = read(fd, buffer, 150);
  close(fd);
  if (n <= 0) return false;
  buffer[n] = '\0';
  static constexpr char kTracer[] = "TracerPid:\t";
  const char* found = std::strstr(buffer, kTracer);
  if (found == nullptr) return false;
  return std::strncmp(found + sizeof(kTracer) - 1, "0\n", 2) != 0;
}

bool HasPosixThreads() { return true; }
double GetIdleTime() { return -1.0; }
int64_t NonKernelMem64() { return 0; }

int64_t VirtualProcessSize() {
  QM_NOT_SUPPORTED_("VirtualProcessSize(): OS not supported");
  return 0;
}

bool GetMemoryStats(pid_t, MemoryStats*) {
  QM_NOT_SUPPORTED_("GetMemoryStats(): OS not supported");
  return false;
}

int GetProcessThreadCount(pid_t) {
  QM_NOT_SUPPORTED_("GetProcessThreadCount(): OS not supported");
  return -1;
}

double SystemLoadAverageForTimeRange(int) {
  QM_NOT_SUPPORTED_("SystemLoadAverageForTimeRange(): OS not supported");
  return 0.0;
}

double SystemLoadAverage() { return SystemLoadAverageForTimeRange(0); }

int64_t FreeMem() {
  QM_NOT_SUPPORTED_("FreeMem(): OS not supported");
  return -1;
}

int64_t MemoryUsage(pid_t) {
  QM_NOT_SUPPORTED_("MemoryUsage(): OS not supported");
  return -1;
}

int64_t VirtualMemorySize(pid_t) {
  QM_NOT_SUPPORTED_("VirtualMemorySize(): OS not supported");
  return -1;
}

int CommandLine(pid_t, char*, int) {
  QM_NOT_SUPPORTED_("CommandLine(): OS not supported");
  return 0;
}

bool ProcessList(std::vector<pid_t>*) {
  QM_NOT_SUPPORTED_("ProcessList: OS not supported");
  return false;
}

pid_t ProcessGroup(pid_t) {
  QM_NOT_SUPPORTED_("ProcessGroup(): OS not supported");
  return 0;
}

pid_t ProcessParent(pid_t) {
  QM_NOT_SUPPORTED_("ProcessParent(): OS not supported");
  return 0;
}

std::string ProcessExePath(pid_t) {
  QM_NOT_SUPPORTED_("ProcessExePath(): OS not supported");
  return "";
}

pid_t ThreadGroup(pid_t) {
  QM_NOT_SUPPORTED_("ThreadGroup(): OS not supported");
  return 0;
}

std::string ProcessName(pid_t) {
  QM_NOT_SUPPORTED_("ProcessName(): OS not supported");
  return "";
}

bool ProcessPageFaults(pid_t, int64_t*, int64_t*, int64_t*, int64_t*) {
  QM_NOT_SUPPORTED_("ProcessPageFaults(): OS not supported");
  return false;
}

int NumOpenFDs() {
  QM_NOT_SUPPORTED_("NumOpenFDs: OS not supported");
  return -1;
}

int64_t VirtualProcessSizeForExport() {
  static std::mutex* when_measured_lock = new std::mutex;
  static time_t when_measured = 0;
  std::lock_guard<std::mutex> lock(*when_measured_lock);
  const time_t now = time(nullptr);
  if (now - when_measured >= 300) {
    when_measured = now;
    VirtualProcessSize();
  }
  return 0;
}

int64_t MemoryUsageForExport() {
  static std::mutex mem_usage_lock;
  static time_t when_memory_usage_last_measured = 0;
  static int64_t cached_memory_usage = -1;
  std::lock_guard<std::mutex> lock(mem_usage_lock);
  const time_t now = time(nullptr);
  if (now - when_memory_usage_last_measured >= 300) {
    when_memory_usage_last_measured = now;
    cached_memory_usage = MemoryUsage(getpid());
  }
  return cached_memory_usage;
}

int64_t UncachedMemoryUsageForExport() { return MemoryUsage(getpid()); }

bool GetMemoryStatsForExport(MemoryStats* stats, int max_age_seconds) {
  if (time(nullptr) < max_age_seconds) {
    *stats = MemoryStats();
    return true;
  }
  GetMemoryStats(getpid(), stats);
  return false;
}

namespace base {

absl::Duration CPUUsage(pid_t) {
  RAW_LOG(ERROR, "OS not supported");
  return absl::ZeroDuration();
}

absl::Duration CPUUsage() {
  RAW_LOG(ERROR, "OS not supported");
  return absl::ZeroDuration();
}

absl::Duration ThreadCPUUsage() {
  RAW_LOG(ERROR, "OS not supported");
  return absl::ZeroDuration();
}

absl::Duration ReapedCPUUsage() {
  RAW_LOG(ERROR, "OS not supported");
  return absl::ZeroDuration();
}

absl::Time ProcessStartTime() {
  RAW_LOG(ERROR, "OS not supported");
  return absl::InfinitePast();
}

}  // namespace base
