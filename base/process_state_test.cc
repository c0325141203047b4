#include "base/process_state.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "absl/flags/flag.h"
#include "base/flags.h"
#include "base/logging.h"
#include "base/sysinfo.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

// The failure handler's second phase logs (and allocates) on purpose, once the signal-safe
// phase has reported; the thread sanitizer is told not to flag that.
extern "C" const char* __tsan_default_options() { return "report_signal_unsafe=0"; }

// This program's allocator, as far as the code under test can tell: one that answers numeric
// properties, and asks for signal stacks three times the usual size.
std::vector<std::string> allocator_property_queries;
extern "C" int MallocExtension_GetNumericProperty(const char* property, size_t* value) {
  allocator_property_queries.push_back(property);
  *value = 3;
  return 1;
}

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

void Note(FailureContext context) {
  const char* text = static_cast<const char*>(context.arg);
  write(STDERR_FILENO, text, strlen(text));
}

TEST(FailureCallbacksTest, TicketsAndCancellation) {
  const int first = RunOnFailure(&Note, const_cast<char*>("a"));
  const int second = RunSignalSafeOnFailure(&Note, const_cast<char*>("b"));
  const int third = RunOnFailure(&Note, const_cast<char*>("c"));
  EXPECT_EQ(second, first + 1);  // one numbering for both lists
  EXPECT_EQ(third, first + 2);
  EXPECT_TRUE(CancelRunOnFailure(first));
  EXPECT_FALSE(CancelRunOnFailure(first));
  EXPECT_FALSE(CancelRunOnFailure(second));  // lives in the other list
  EXPECT_TRUE(CancelRunSignalSafeOnFailure(second));
  EXPECT_TRUE(CancelRunOnFailure(third));
}

struct EnablementCase {
  bool install;
  const char* list;
  const char* group;
  int signal;
  bool enabled;
};

TEST(SignalHandlerFlagsTest, Enablement) {
  const bool saved_install = FLAGS_install_signal_handlers;
  const std::string saved_list = absl::GetFlag(FLAGS_install_named_signal_handlers);
  const EnablementCase cases[] = {
      {true, "failure,profiling,serverselect,stackdump", "failure", SIGSEGV, true},
      {true, "failure,-failure", "failure", SIGSEGV, false},
      {true, "11", "failure", SIGSEGV, true},
      {true, "11", "failure", SIGILL, false},
      {true, "-11,failure", "failure", SIGSEGV, true},
      {false, "failure", "failure", SIGSEGV, false},
      {false, "", "hup", SIGHUP, true},
      {false, "-hup", "hup", SIGHUP, false},
      {false, "-1", "hup", SIGHUP, false},
      {false, "-1", "pipe", SIGPIPE, true},
      {true, "", "stackdump", SIGQUIT, false},
  };
  for (const EnablementCase& c : cases) {
    FLAGS_install_signal_handlers = c.install;
    absl::SetFlag(&FLAGS_install_named_signal_handlers, c.list);
    EXPECT_EQ(DefaultSignalHandlerFlagEnabled(c.group, c.signal), c.enabled)
        << c.install << " [" << c.list << "] " << c.group << " " << c.signal;
  }
  FLAGS_install_signal_handlers = saved_install;
  absl::SetFlag(&FLAGS_install_named_signal_handlers, saved_list);
}

TEST(SignalReportTest, ReportLines) {
  char name[32];
  SigName(SIGBUS, name, sizeof(name));
  EXPECT_STREQ(name, "SIGBUS");
  SigName(SIGUSR1, name, sizeof(name));
  EXPECT_STREQ(name, ("Signal " + std::to_string(SIGUSR1)).c_str());

  const std::string pids =
      " received by PID " + std::to_string(getpid()) + " (TID " + std::to_string(gettid()) + ")";
  siginfo_t info;
  memset(&info, 0, sizeof(info));
  char line[250];

  info.si_addr = reinterpret_cast<void*>(0x10);
  FormatSignalMessage(line, SIGSEGV, &info, true);
  EXPECT_THAT(line, AllOf(HasSubstr("*** SIGSEGV (@0x10), see "), HasSubstr(pids),
                          HasSubstr("; stack trace: ***\n")));
  FormatSignalMessage(line, SIGBUS, &info, false);
  EXPECT_THAT(line, AllOf(HasSubstr("*** SIGBUS (@0x10), see "), HasSubstr("; ***\n")));

  info.si_addr = nullptr;
  info.si_code = SI_KERNEL;
  FormatSignalMessage(line, SIGSEGV, &info, true);
  EXPECT_THAT(line, AllOf(HasSubstr("*** SIGSEGV, see "), Not(HasSubstr("(@"))));
  info.si_code = 1;
  FormatSignalMessage(line, SIGSEGV, &info, true);
  EXPECT_THAT(line, HasSubstr("*** SIGSEGV (@(nil)), see "));

  info.si_pid = 77;
  FormatSignalMessage(line, SIGTERM, &info, true);
  EXPECT_EQ(std::string(line), "*** SIGTERM" + pids + " from PID 77; stack trace: ***\n");
  FormatSignalMessage(line, SIGTERM, nullptr, false);
  EXPECT_EQ(std::string(line), "*** SIGTERM" + pids + "; ***\n");
}

// Sanitizers catch failure signals themselves; the children start from default dispositions.
void ResetFailureSignals() {
  for (int signal : {SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGBUS, SIGTERM, SIGTRAP}) {
    ::signal(signal, SIG_DFL);
  }
}

void NoteCrashData(const base::CrashData* data) {
  if (data->signal == SIGSEGV && data->extra == -1) Note({0, nullptr, nullptr, (void*)"[crash]"});
}

void InstallAndCrash() {
  ResetFailureSignals();
  FLAGS_install_signal_handlers = true;
  RunOnFailure(&Note, const_cast<char*>("[unsafe]"));
  RunSignalSafeOnFailure(&Note, const_cast<char*>("[safe]"));
  base::CrashData::SetCallback(&NoteCrashData);
  InstallSignalHandlers();
  raise(SIGSEGV);
}

TEST(FailureSignalHandlerDeathTest, ReportsRunsCallbacksAndExitsWithTheSignalNumber) {
  EXPECT_EXIT(InstallAndCrash(), testing::ExitedWithCode(SIGSEGV),
              // raise() leaves the sender's id where a fault address would be.
              testing::ContainsRegex("\\*\\*\\* SIGSEGV \\(@0x[0-9a-f]+\\), see [^;]* received by "
                                     "PID [0-9]+ \\(TID [0-9]+\\); stack trace: \\*\\*\\*\n"
                                     "PC: (.|\n)*\\[safe\\](.|\n)*\\[crash\\](.|\n)*"
                                     "Register dump(.|\n)*\\[unsafe\\]"));
}

void InstallAndFailACheck() {
  ResetFailureSignals();
  FLAGS_install_signal_handlers = true;
  InstallSignalHandlers();
  LOG(FATAL) << "deliberate";
}

TEST(FailureSignalHandlerDeathTest, FatalLogAbortPrintsNoSecondTrace) {
  EXPECT_EXIT(InstallAndFailACheck(), testing::ExitedWithCode(SIGABRT),
              AllOf(HasSubstr("deliberate"), HasSubstr("*** Check failure stack trace: ***"),
                    testing::ContainsRegex("\\*\\*\\* SIGABRT received by PID [0-9]+ \\(TID "
                                           "[0-9]+\\) from PID [0-9]+; \\*\\*\\*"),
                    Not(HasSubstr("PC: "))));
}

void CrashAgain(FailureContext) { raise(SIGSEGV); }

void CrashInsideTheHandler() {
  ResetFailureSignals();
  FLAGS_install_signal_handlers = true;
  RunSignalSafeOnFailure(&CrashAgain, nullptr);
  InstallSignalHandlers();
  raise(SIGSEGV);
}

TEST(FailureSignalHandlerDeathTest, ASecondSignalOnTheSameThreadTakesTheDefaultAction) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer delivers a signal raised in a handler after it returns";
#endif
  EXPECT_EXIT(CrashInsideTheHandler(), testing::KilledBySignal(SIGSEGV),
              "Signal 11 raised at PC: .* while already in FailureSignalHandler!");
}

void CrashOnAnotherThread(FailureContext) {
  std::thread([] { raise(SIGSEGV); }).join();
}

void CrashOnTwoThreads() {
  ResetFailureSignals();
  FLAGS_install_signal_handlers = true;
  FLAGS_stacktrace_timeout = 0;
  absl::SetFlag(&FLAGS_coredump_timeout, 0);
  RunSignalSafeOnFailure(&CrashOnAnotherThread, nullptr);
  InstallSignalHandlers();
  raise(SIGSEGV);
}

TEST(FailureSignalHandlerDeathTest, ASecondThreadWaitsForTheFirstThenTakesTheDefaultAction) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer delivers a signal raised in a handler after it returns";
#endif
  EXPECT_EXIT(CrashOnTwoThreads(), testing::KilledBySignal(SIGSEGV),
              "tid: [0-9]+ raised new signal(.|\n)*Raising 11 signal with default behavior");
}

void InstallWithDefaultsAndReport() {
  ResetFailureSignals();
  InstallSignalHandlers();
  struct sigaction hup, pipe, segv;
  sigaction(SIGHUP, nullptr, &hup);
  sigaction(SIGPIPE, nullptr, &pipe);
  sigaction(SIGSEGV, nullptr, &segv);
  const bool ok = hup.sa_handler == SIG_IGN && pipe.sa_handler == SIG_IGN &&
                  segv.sa_handler == SIG_DFL && !SignalHasExistingHandler(SIGSEGV);
  if (!ok) _exit(3);
  // An unhandled failure signal is re-raised for its default action. It stays blocked, as
  // it would while a dispatching handler runs, and strikes once it is unblocked.
  base::HandleOrRaiseFailureSignal(SIGTERM, nullptr, nullptr);
  sigset_t pending;
  sigpending(&pending);
  if (!sigismember(&pending, SIGTERM)) _exit(4);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  _exit(5);
}

TEST(FailureSignalHandlerDeathTest, SettingsInForceOnlyIgnoreHupAndPipe) {
  EXPECT_EXIT(InstallWithDefaultsAndReport(), testing::KilledBySignal(SIGTERM),
              "Raising signal 15 with default behavior");
}

TEST(ProcessStateDeathTest, DebuggerAndMemoryLimitChecks) {
  EXPECT_DEATH(InvokeDebugger(nullptr), "invoker_name != nullptr");
  EXPECT_DEATH(LimitPhysicalMemory(0.005, false), "fraction >= 0.01");
  EXPECT_DEATH(LimitPhysicalMemory(std::nan(""), false), "fraction >= 0.01");
}

void LimitAndReport(double fraction, int64_t expected) {
  const int result = LimitPhysicalMemory(fraction, false);
  _exit(result == 0 && GetPhysicalMemoryLimit() == expected ? 0 : 1);
}

TEST(ProcessStateDeathTest, MemoryLimitIsCappedAtTheLargestRlimitValue) {
  const int64_t mem = PhysicalMem();
  ASSERT_GT(mem, 0);
  const double small = 0.01;
  const int64_t small_limit = static_cast<int64_t>(static_cast<double>(mem) * small);
  if (small_limit < 2147483648LL) {
    EXPECT_EXIT(LimitAndReport(small, small_limit), testing::ExitedWithCode(0), "");
  }
  if (mem > 4 * 2147483648LL) {
    EXPECT_EXIT(LimitAndReport(0.5, 2147483647), testing::ExitedWithCode(0),
                "Memory limit requested \\([0-9]+\\) exceed the maximum possible \\(due rlimit "
                "structure\\)\\. (.|\n)*Enforcing limit of 2147483647 instead\\.");
  }
}

TEST(ProcessStateTest, DebuggerIsNeverStarted) {
  FLAGS_debugger_command = "gdb";
  testing::internal::CaptureStderr();
  InvokeDebugger("test");
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              HasSubstr("InvokeDebuggerWithCommand called but not supported (fork not "
                        "available)."));
  FLAGS_debugger_command = "";
}

TEST(ProcessStateTest, NotificationsAndTimes) {
  EXPECT_FALSE(base::process_state::ReportChange(nullptr, "x"));
  const base::process_state::NotificationMessage started{"started"};
  testing::internal::CaptureStderr();
  EXPECT_TRUE(base::process_state::ReportChange(&started, "quietly"));
  FLAGS_v = 1;
  EXPECT_TRUE(base::process_state::ReportChange(&started, nullptr));
  FLAGS_v = 0;
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_THAT(out, Not(HasSubstr("quietly")));
  EXPECT_THAT(out, HasSubstr("Process state change notification: started \n"));

  StartUpWallTimer();
  EXPECT_LE(GetInitBrenvikTime(), absl::Now());
  EXPECT_GE(GetUptimeInMs(), 0);
  EXPECT_EQ(GetMainThreadPid(), getpid());
  EXPECT_FALSE(IsFailureSignalHandlerRunning());
  EXPECT_FALSE(InFailureSignalHandler());
}

TEST(ProcessStateTest, AlternateStackSizeAsksTheAllocatorForItsMultiplierOnce) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t size = GetRequiredAlternateSignalStackSize();
  EXPECT_EQ(size, (131072 + page - 1) / page * page * 3);
  EXPECT_EQ(GetRequiredAlternateSignalStackSize(), size);
  EXPECT_EQ(allocator_property_queries, (std::vector<std::string>{
                                            "dynamic_tool.stack_size_multiplier"}));
}

}  // namespace
