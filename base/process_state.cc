#include "base/process_state.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "absl/debugging/stacktrace.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_split.h"
#include "absl/synchronization/mutex.h"
#include "absl/time/clock.h"
#include "base/build_data.h"
#include "base/flags.h"
#include "base/logging.h"
#include "base/raw_logging.h"
#include "base/sysinfo.h"

// The numeric properties of an allocator that provides them (gperftools' C interface); null
// when the process runs on one that does not.
extern "C" int MallocExtension_GetNumericProperty(const char* property, size_t* value)
    __attribute__((weak));

namespace {

struct FailureEntry {
  FailureCallback callback;
  void* arg;
  int ticket;
};
using FailureList = std::vector<FailureEntry>;

std::mutex failure_mutex;
int ticket_number = 0;
std::atomic<FailureList*> safe_failure_functions{nullptr};
std::atomic<FailureList*> failure_functions{nullptr};

std::atomic<base::CrashData::Callback> crash_data_callback{nullptr};
std::atomic<pid_t*> failed_tid_ptr{nullptr};
std::atomic<bool> handle_failure_signal[32];

void DefaultStackDumper(void*) {}
std::atomic<void (*)(void*)> thread_stack_dumper{&DefaultStackDumper};

absl::Time* start_up_time = nullptr;

// The status-request signal of other systems; number 29 is SIGIO here.
constexpr int kBlockedSignal = 29;
constexpr int kFailureSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGBUS, SIGTERM, SIGTRAP};
constexpr int kAlarmSeconds = 6;

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void* ProgramCounter(void* ucontext) {
  if (ucontext == nullptr) return nullptr;
  const ucontext_t* context = static_cast<const ucontext_t*>(ucontext);
#if defined(__x86_64__)
  return reinterpret_cast<void*>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<void*>(context->uc_mcontext.pc);
#else
  return nullptr;
#endif
}

int AddFailureCallback(std::atomic<FailureList*>* list_ptr, FailureCallback callback, void* arg) {
  std::lock_guard<std::mutex> lock(failure_mutex);
  FailureList* list = list_ptr->exchange(nullptr);
  if (list == nullptr) list = new FailureList;  // never freed: the handler may need it
  const int ticket = ++ticket_number;
  list->push_back({callback, arg, ticket});
  list_ptr->store(list);
  return ticket;
}

bool CancelFailureCallback(std::atomic<FailureList*>* list_ptr, int ticket) {
  std::lock_guard<std::mutex> lock(failure_mutex);
  FailureList* list = list_ptr->exchange(nullptr);
  bool removed = false;
  if (list != nullptr) {
    const size_t before = list->size();
    std::erase_if(*list, [ticket](const FailureEntry& e) { return e.ticket == ticket; });
    removed = list->size() != before;
  }
  list_ptr->store(list);
  return removed;
}

void BlockSignal(int signal, sigset_t* old_mask) {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, signal);
  sigprocmask(SIG_BLOCK, &mask, old_mask);
}

void SetDefaultAction(int signal) {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
}

void WriteToStderr(const char* text) {
  base_raw_logging::RawWrite(STDERR_FILENO, text, strlen(text));
}

void IgnoreSignal(const char* group, int signal, const char* message) {
  if (!ShouldInstallDefaultSignalHandler(group, signal)) return;
  if (!FLAGS_silent_init) {
    VLOG(1) << message;
  }
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  sigaction(signal, &action, nullptr);
}

}  // namespace

int RunOnFailure(FailureCallback callback, void* arg) {
  return AddFailureCallback(&failure_functions, callback, arg);
}

int RunSignalSafeOnFailure(FailureCallback callback, void* arg) {
  return AddFailureCallback(&safe_failure_functions, callback, arg);
}

bool CancelRunOnFailure(int ticket) { return CancelFailureCallback(&failure_functions, ticket); }

bool CancelRunSignalSafeOnFailure(int ticket) {
  return CancelFailureCallback(&safe_failure_functions, ticket);
}

bool DefaultSignalHandlerFlagEnabled(const std::string& group, int signal) {
  bool enabled = group == "hup" || group == "pipe";
  if (!FLAGS_install_signal_handlers && !enabled) return false;
  const std::string number = std::to_string(signal);
  for (absl::string_view item :
       absl::StrSplit(absl::GetFlag(FLAGS_install_named_signal_handlers), ',')) {
    const bool negation = !item.empty() && item.front() == '-';
    if (negation) item.remove_prefix(1);
    if (item == group || item == number) enabled = !negation;
  }
  return enabled;
}

bool SignalHasExistingHandler(int signal) {
  struct sigaction current;
  if (sigaction(signal, nullptr, &current) != 0) return false;
  if (current.sa_flags & SA_SIGINFO) return current.sa_sigaction != nullptr;
  return current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
}

bool ShouldInstallDefaultSignalHandler(const std::string& group, int signal) {
  return DefaultSignalHandlerFlagEnabled(group, signal) && !SignalHasExistingHandler(signal);
}

void InstallSignalHandlers() {
  IgnoreSignal("hup", SIGHUP, "Ignoring SIGHUPs");
  IgnoreSignal("pipe", SIGPIPE, "Ignoring SIGPIPEs");

  struct sigaction action;
  memset(&action, 0, sizeof(action));
  sigemptyset(&action.sa_mask);
  if (FLAGS_infinite_loop_on_signal) {
    action.sa_sigaction = &LoopingSignalHandler;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_sigaction = &FailureSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
  }
  for (const int signal : kFailureSignals) {
    if (!DefaultSignalHandlerFlagEnabled("failure", signal)) continue;
    handle_failure_signal[signal].store(true);
    if (SignalHasExistingHandler(signal)) continue;
    char name[32];
    SigName(signal, name, sizeof(name));
    struct sigaction previous;
    if (sigaction(signal, &action, &previous) != 0) {
      LOG(FATAL) << "Could not set " << name << " handler";
    }
    const bool previous_is_handler = (previous.sa_flags & SA_SIGINFO)
                                         ? previous.sa_sigaction != nullptr
                                         : (previous.sa_handler != SIG_DFL &&
                                            previous.sa_handler != SIG_IGN);
    if (previous_is_handler) {
      LOG(FATAL) << "Registration of existing handler for " << name
                 << " races with InstallOneSignalHandler";
    }
  }
}

void SigName(int signal, char* buffer, int size) {
  const char* name = nullptr;
  switch (signal) {
    case SIGILL: name = "SIGILL"; break;
    case SIGTRAP: name = "SIGTRAP"; break;
    case SIGABRT: name = "SIGABRT"; break;
    case SIGFPE: name = "SIGFPE"; break;
    case SIGBUS: name = "SIGBUS"; break;
    case SIGSEGV: name = "SIGSEGV"; break;
    case SIGTERM: name = "SIGTERM"; break;
  }
  if (name != nullptr) {
    snprintf(buffer, size, "%s", name);
  } else {
    snprintf(buffer, size, "Signal %d", signal);
  }
}

void FormatSignalMessage(char* buffer, int signal, const siginfo_t* info, bool with_stack_trace) {
  static constexpr char kFaultDocs[] = ", see docs/reading_stack_traces.md";
  static constexpr char kProtectionDocs[] = ", see docs/general_protection_faults.md";
  char name[128];
  SigName(signal, name, sizeof(name));
  char sender[32] = "";
  if (info != nullptr) {
    const size_t used = strlen(name);
    const bool fault = signal == SIGILL || signal == SIGTRAP || signal == SIGFPE ||
                       signal == SIGBUS ||
                       (signal == SIGSEGV && (info->si_addr != nullptr || info->si_code == 1));
    if (fault) {
      snprintf(name + used, sizeof(name) - used, " (@%p)%s", info->si_addr, kFaultDocs);
    } else if (signal == SIGSEGV) {
      snprintf(name + used, sizeof(name) - used, "%s", kProtectionDocs);
    } else {
      snprintf(sender, sizeof(sender), " from PID %d", static_cast<int>(info->si_pid));
    }
  }
  snprintf(buffer, 250, "*** %s received by PID %d (TID %d)%s; %s***\n", name,
           static_cast<int>(getpid()), static_cast<int>(CurrentTid()), sender,
           with_stack_trace ? "stack trace: " : "");
}

void RaiseSignalToDefaultHandler(int signal) {
  BlockSignal(signal, nullptr);
  SetDefaultAction(signal);
  RAW_LOG(ERROR, "Raising signal %d with default behavior", signal);
  raise(signal);
}

void ImmediateAbortSignalHandler(int) {
  base::SignalThatProcessIsDying();
  SetDefaultAction(SIGABRT);
  raise(SIGABRT);
}

void FailureSignalHandler(int signal, siginfo_t* info, void* ucontext) {
  pid_t my_tid = CurrentTid();
  pid_t* expected = nullptr;
  if (!failed_tid_ptr.compare_exchange_strong(expected, &my_tid)) {
    // A handler is already running, on this thread or another.
    const pid_t running_tid = *expected;
    sigset_t old_mask;
    BlockSignal(kBlockedSignal, &old_mask);
    base::internal::EmitSymbolizerURL(ucontext);
    RAW_LOG(ERROR, "Signal %d raised at PC: %p while already in FailureSignalHandler!", signal,
            ProgramCounter(ucontext));
    if (running_tid != my_tid) {
      RAW_LOG(ERROR, "tid: %d raised new signal", static_cast<int>(my_tid));
      base::internal::ExecuteFailureCallbacks(signal, info, ucontext,
                                              base::internal::CallbackSafety::kSafe);
      // Give the first thread time to finish its report.
      timespec remaining = {absl::GetFlag(FLAGS_coredump_timeout) + FLAGS_stacktrace_timeout, 0};
      while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
      }
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    SetDefaultAction(signal);
    RAW_LOG(ERROR, "Raising %d signal with default behavior", signal);
    raise(signal);
    return;
  }

  InvokeDebugger("FailureSignalHandler");
  if (absl::GetFlag(FLAGS_alarm_on_failure)) {
    alarm(0);
    ::signal(SIGALRM, &ImmediateAbortSignalHandler);
    alarm(kAlarmSeconds);
  }
  sigset_t old_mask;
  BlockSignal(kBlockedSignal, &old_mask);
  const bool abort_from_logging =
      base_logging::logging_internal::suppress_sigabort_trace.exchange(false) &&
      signal == SIGABRT;
  base::internal::EmitSymbolizerURL(ucontext);
  char report[250];
  FormatSignalMessage(report, signal, info, !abort_from_logging);
  WriteToStderr(report);
  if (!abort_from_logging) {
    DumpPCAndStackTraceForSignalHandler(ucontext, DebugWriteToStderr, nullptr);
  }
  base::internal::ExecuteFailureCallbacks(signal, info, ucontext,
                                          base::internal::CallbackSafety::kSafe);
  base::internal::ExecuteCrashDataCallback(signal, info, ucontext, -1);

  RAW_LOG(INFO, "FailureSignalHandler(): starting unsafe phase");
  absl::Mutex::InternalAttemptToUseMutexInFatalSignalHandler();
  if (!FLAGS_suppress_failure_output) {
    {
      absl::LogStreamer registers(absl::LogSeverity::kWarning, __FILE__, __LINE__);
      DumpRegisterContext(ucontext, &base::DebugWriteToStream, &registers.stream());
    }
    if (!abort_from_logging) {
      absl::LogStreamer empty(absl::LogSeverity::kWarning, __FILE__, __LINE__);
    }
    if (absl::GetFlag(FLAGS_alarm_on_failure)) alarm(FLAGS_stacktrace_timeout + kAlarmSeconds);
    thread_stack_dumper.load()(ucontext);
  }
  base::internal::ExecuteFailureCallbacks(signal, info, ucontext,
                                          base::internal::CallbackSafety::kUnsafe);
  base_logging::logging_internal::ReprintFatalMessage();

  if (BuildData::IsCoverageEnabled()) _exit(signal);

  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (FLAGS_test_indicate_sighandler_done) WriteToStderr("Signal handler completed\n");
  RaiseSignalToDefaultHandler(signal);
  RAW_LOG(INFO, "FailureSignalHandler() exiting");
}

void LoopingSignalHandler(int signal, siginfo_t* info, void* ucontext) {
  sigset_t old_mask;
  BlockSignal(kBlockedSignal, &old_mask);
  base::internal::EmitSymbolizerURL(ucontext);
  char report[250];
  FormatSignalMessage(report, signal, info, true);
  WriteToStderr(report);
  DumpPCAndStackTraceForSignalHandler(ucontext, DebugWriteToStderr, nullptr);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  while (true) {
    WriteToStderr("Sleeping for you to attach to me.");
    poll(nullptr, 0, 2147483647);
  }
}

bool InFailureSignalHandler() {
  const pid_t* tid = failed_tid_ptr.load();
  return tid != nullptr && *tid == CurrentTid();
}

bool IsFailureSignalHandlerRunning() { return failed_tid_ptr.load() != nullptr; }

size_t GetRequiredAlternateSignalStackSize() {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t size = (131072 + page - 1) / page * page;
  // An allocator that instruments the program (gperftools' and its kin) may need deeper signal
  // stacks and says so through this property; the C library's allocator has none.
  static const size_t multiplier = [] {
    size_t value = 1;
    if (MallocExtension_GetNumericProperty == nullptr ||
        !MallocExtension_GetNumericProperty("dynamic_tool.stack_size_multiplier", &value) ||
        value == 0) {
      return size_t{1};
    }
    return value;
  }();
  return size * multiplier;
}

bool UseAlternateSignalHandlerStack() { return false; }
bool UseAlternateStackForSignal(int) { return false; }
void SetStackContentsNumWordsInFailureHandlerForTesting(int) {}

void InvokeDebugger(const char* invoker_name) {
  CHECK(invoker_name != nullptr);
  if (!FLAGS_debugger_command.empty()) {
    InvokeDebuggerWithCommand(FLAGS_debugger_command.c_str(), invoker_name);
    return;
  }
  const char* debug_on_failure = getenv("BRENVIK_DEBUG_ON_FAILURE");
  if (debug_on_failure != nullptr && debug_on_failure[0] != '\0' &&
      strcmp(invoker_name, "FailureSignalHandler") == 0) {
    char command[1024];
    snprintf(command, sizeof(command), "%s %%f %%p", debug_on_failure);
    InvokeDebuggerWithCommand(command, invoker_name);
  }
}

void InvokeDebuggerWithCommand(const char*, const char*) {
  LOG(ERROR) << "InvokeDebuggerWithCommand" << " called but not supported (fork not available).";
}

int LimitPhysicalMemory(double fraction, bool randomize) {
  CHECK(fraction >= 0.01);
  double factor = 1.0;
  if (randomize) {
    static constexpr double kFactors[] = {1.0, 0.95, 0.9, 0.85};
    factor = kFactors[getpid() % 4];
  }
  int64_t limit = static_cast<int64_t>(static_cast<double>(PhysicalMem()) * fraction * factor);
  if (limit >= 2147483648LL) {
    LOG(WARNING) << "Memory limit requested (" << limit
                 << ") exceed the maximum possible (due rlimit structure). ";
    limit = static_cast<int64_t>(factor * 2147483647.0);
    LOG(WARNING) << "Enforcing limit of " << limit << " instead.";
  }
  struct rlimit rl;
  rl.rlim_cur = static_cast<rlim_t>(limit);
  rl.rlim_max = static_cast<rlim_t>(limit);
  return setrlimit(RLIMIT_RSS, &rl);
}

int64_t GetPhysicalMemoryLimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_RSS, &rl) != 0) return 0;
  return static_cast<int64_t>(rl.rlim_cur);
}

void StartUpWallTimer() { start_up_time = new absl::Time(absl::Now()); }

absl::Time GetInitBrenvikTime() {
  CHECK(start_up_time != nullptr);
  return *start_up_time;
}

int64_t GetUptimeInMs() { return absl::ToInt64Milliseconds(absl::Now() - GetInitBrenvikTime()); }

pid_t GetMainThreadPid() { return getpid(); }

namespace base {

void CrashData::SetCallback(Callback callback) { crash_data_callback.store(callback); }

void HandleOrRaiseFailureSignal(int signal, siginfo_t* info, void* ucontext) {
  if (signal < 0 || signal >= 32 || !handle_failure_signal[signal].load()) {
    RaiseSignalToDefaultHandler(signal);
  } else if (FLAGS_infinite_loop_on_signal) {
    LoopingSignalHandler(signal, info, ucontext);
  } else {
    FailureSignalHandler(signal, info, ucontext);
  }
}

namespace internal {

void ExecuteFailureCallbacks(int signal, siginfo_t* info, void* ucontext, CallbackSafety safety) {
  const bool safe = safety == CallbackSafety::kSafe;
  if (safe) {
    RAW_LOG(INFO, "ExecuteFailureCallbacks() safe");
  } else {
    RAW_LOG(INFO, "ExecuteFailureCallbacks() unsafe");
  }
  // Taken without a lock and never put back: each list runs at most once.
  FailureList* list = (safe ? safe_failure_functions : failure_functions).exchange(nullptr);
  if (list == nullptr) return;
  for (const FailureEntry& entry : *list) {
    entry.callback(FailureContext{signal, info, ucontext, entry.arg});
  }
}

void ExecuteCrashDataCallback(int signal, siginfo_t* info, void* ucontext, int extra) {
  const CrashData::Callback callback = crash_data_callback.exchange(nullptr);
  if (callback == nullptr) return;
  const CrashData data{signal, info, ucontext, extra};
  callback(&data);
}

void EmitSymbolizerURL(void* ucontext) {
  const DebugStackTraceHookFn hook = DebugStackTraceHook::GetHook();
  if (hook == nullptr) return;
  void* frames[33];
  void* pc = ProgramCounter(ucontext);
  const int depth = absl::GetStackTraceWithContext(frames + 1, 32, 1, ucontext, nullptr);
  if (pc != nullptr) {
    frames[0] = pc;
    hook(frames, depth + 1, DebugWriteToStderr, nullptr);
  } else {
    hook(frames + 1, depth, DebugWriteToStderr, nullptr);
  }
}

}  // namespace internal

namespace process_state {
bool ReportChange(const NotificationMessage* message, const char* detail) {
  if (message == nullptr) return false;
  if (VLOG_IS_ON(1)) {
    LOG(INFO) << "Process state change notification: " << message->name << " "
              << (detail != nullptr ? detail : "");
  }
  return true;
}
}  // namespace process_state

}  // namespace base
