#include "base/sysinfo.h"

#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/build_data.h"
#include "base/once.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

using ::testing::HasSubstr;

std::string StderrOf(const std::function<void()>& statement) {
  testing::internal::CaptureStderr();
  statement();
  return testing::internal::GetCapturedStderr();
}

int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

struct NotSupportedCase {
  const char* message;
  std::function<bool()> answers_fixed_value;
};

TEST(SysinfoTest, UnsupportedQueriesLogTheFirstThreeTimesAndAnswerFixedValues) {
  const pid_t pid = getpid();
  char buffer[16];
  std::vector<pid_t> pids;
  MemoryStats stats;
  int64_t a, b, c, d;
  const std::vector<NotSupportedCase> cases = {
      {"VirtualProcessSize(): OS not supported", [] { return VirtualProcessSize() == 0; }},
      {"GetMemoryStats(): OS not supported", [&] { return !GetMemoryStats(pid, &stats); }},
      {"GetProcessThreadCount(): OS not supported",
       [&] { return GetProcessThreadCount(pid) == -1; }},
      {"SystemLoadAverageForTimeRange(): OS not supported",
       [] { return SystemLoadAverage() == 0.0; }},
      {"FreeMem(): OS not supported", [] { return FreeMem() == -1; }},
      {"MemoryUsage(): OS not supported", [&] { return MemoryUsage(pid) == -1; }},
      {"VirtualMemorySize(): OS not supported", [&] { return VirtualMemorySize(pid) == -1; }},
      {"CommandLine(): OS not supported",
       [&] { return CommandLine(pid, buffer, sizeof(buffer)) == 0; }},
      {"ProcessList: OS not supported", [&] { return !ProcessList(&pids); }},
      {"ProcessGroup(): OS not supported", [&] { return ProcessGroup(pid) == 0; }},
      {"ProcessParent(): OS not supported", [&] { return ProcessParent(pid) == 0; }},
      {"ProcessExePath(): OS not supported", [&] { return ProcessExePath(pid).empty(); }},
      {"ThreadGroup(): OS not supported", [&] { return ThreadGroup(pid) == 0; }},
      {"ProcessName(): OS not supported", [&] { return ProcessName(pid).empty(); }},
      {"ProcessPageFaults(): OS not supported",
       [&] { return !ProcessPageFaults(pid, &a, &b, &c, &d); }},
      {"NumOpenFDs: OS not supported", [] { return NumOpenFDs() == -1; }},
  };
  for (const NotSupportedCase& query : cases) {
    SCOPED_TRACE(query.message);
    const std::string out = StderrOf([&] {
      for (int i = 0; i < 5; ++i) EXPECT_TRUE(query.answers_fixed_value());
    });
    EXPECT_EQ(CountOf(out, query.message), 3);
  }
}

TEST(SysinfoTest, RawQueriesLogEveryTime) {
  const std::string out = StderrOf([] {
    EXPECT_EQ(base::CPUUsage(), absl::ZeroDuration());
    EXPECT_EQ(base::ThreadCPUUsage(), absl::ZeroDuration());
    EXPECT_EQ(base::ProcessStartTime(), absl::InfinitePast());
    EXPECT_EQ(base::ProcessStartTime(), absl::InfinitePast());
  });
  EXPECT_EQ(CountOf(out, "RAW: OS not supported"), 4);
}

TEST(SysinfoTest, RealAnswers) {
  const int64_t mem = PhysicalMem();
  EXPECT_GT(mem, 0);
  EXPECT_EQ(PhysicalMem(), mem);
  EXPECT_GT(BootTime(), 0);
  EXPECT_LE(BootTime(), time(nullptr));
  EXPECT_GE(Nice(), -20);
  EXPECT_TRUE(HasPosixThreads());
  EXPECT_EQ(GetIdleTime(), -1.0);
  EXPECT_EQ(NonKernelMem64(), 0);
  EXPECT_FALSE(IsDebuggerAttached());
}

TEST(SysinfoTest, MaxVMAreaIsPageAlignedAndLogged) {
  int64_t size = 0;
  const std::string out = StderrOf([&] { size = MaxVMArea(); });
  EXPECT_GT(size, 0);
  EXPECT_EQ(size % sysconf(_SC_PAGESIZE), 0);
  EXPECT_THAT(out, HasSubstr("Max VM Area = " + std::to_string(size)));
}

TEST(SysinfoTest, CachedExports) {
  StderrOf([] {
    EXPECT_EQ(VirtualProcessSizeForExport(), 0);
    EXPECT_EQ(MemoryUsageForExport(), -1);
    EXPECT_EQ(MemoryUsageForExport(), -1);
    EXPECT_EQ(UncachedMemoryUsageForExport(), -1);
    MemoryStats stats;
    stats.rss = 7;
    // The clock is far past a small maximum age: the live (unsupported) query answers.
    EXPECT_FALSE(GetMemoryStatsForExport(&stats, 10));
    EXPECT_TRUE(GetMemoryStatsForExport(&stats, INT32_MAX));
    EXPECT_EQ(stats.rss, 0);
  });
}

TEST(BuildDataTest, StampInForce) {
  EXPECT_EQ(BuildData::BuildInfo(), "<fake build info>@<fake build info>:<fake build info>");
  EXPECT_EQ(BuildData::TargetName(), "<fake build info>");
  EXPECT_EQ(BuildData::Changelist(), "");
  EXPECT_EQ(BuildData::ChangelistAsInt(), -1);
  EXPECT_EQ(BuildData::BaselineChangelistAsInt(), -1);
  EXPECT_EQ(BuildData::ClientStatus(), 2);
  EXPECT_EQ(BuildData::ClientStatusAsString(), "unknown");
  EXPECT_EQ(BuildData::TimestampAsInt(), 0);
  EXPECT_TRUE(BuildData::IsCoverageEnabled());
  EXPECT_FALSE(BuildData::IsVerifiable());
  EXPECT_FALSE(BuildData::BuildDebugMode());
}

std::atomic<int> once_runs{0};
void SlowInit() {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  once_runs.fetch_add(1);
}

TEST(OnceTest, RunsOnceAndLateCallersWaitForTheFirst) {
  std::atomic<uint32_t> control{0};
  std::vector<std::thread> threads;
  std::atomic<int> saw_unfinished{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      BrenvikOnceInternalInitSchedCoopAndKernel(&control, &SlowInit);
      if (once_runs.load() != 1) saw_unfinished.fetch_add(1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(once_runs.load(), 1);
  EXPECT_EQ(saw_unfinished.load(), 0);

  std::atomic<uint32_t> other{0};
  int calls = 0;
  auto count = [](void* arg) { ++*static_cast<int*>(arg); };
  BrenvikOnceInternalInit(&other, nullptr, count, &calls, base::OnceSchedulingMode::kKernelOnly);
  BrenvikOnceInternalInit(&other, nullptr, count, &calls, base::OnceSchedulingMode::kKernelOnly);
  EXPECT_EQ(calls, 1);
}

}  // namespace
