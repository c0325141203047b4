// Process state: callbacks that run when the process fails, the failure-signal handler, the
// installation of signal dispositions, a debugger hook, a physical-memory limit, start-up
// time and uptime, and process-state notifications.
//
// Nothing installs the handlers unless InstallSignalHandlers() runs with
// --install_signal_handlers. The failure handler then reports the signal on standard error
//   *** SIGSEGV received by PID 1234 (TID 1234) (@0x0), see ...; stack trace: ***
// followed by the stack, runs the failure callbacks (signal-safe ones first) and ends the
// process with _exit(<signal number>).
//
//   int ticket = RunSignalSafeOnFailure(&FlushJournal, journal);
//   ...
//   CancelRunSignalSafeOnFailure(ticket);

#ifndef BASE_PROCESS_STATE_H_
#define BASE_PROCESS_STATE_H_

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "absl/time/time.h"

// What a failure callback learns about the failure.
struct FailureContext {
  int32_t signal;
  siginfo_t* info;
  void* ucontext;
  // The argument given at registration.
  void* arg;
};
using FailureCallback = void (*)(FailureContext context);

// Each returns a ticket (from 1, shared by both lists). Safe callbacks must be
// async-signal-safe; they run before the ordinary ones. Each list runs at most once.
int RunOnFailure(FailureCallback callback, void* arg);
int RunSignalSafeOnFailure(FailureCallback callback, void* arg);
// Whether an entry with the ticket was removed.
bool CancelRunOnFailure(int ticket);
bool CancelRunSignalSafeOnFailure(int ticket);

// Ignores SIGHUP and SIGPIPE and installs the failure handler, each as far as the flags
// --install_signal_handlers and --install_named_signal_handlers enable it.
void InstallSignalHandlers();
// Whether the handler group ("failure", "hup", "pipe", ...) is enabled for the signal by
// the flags. Without --install_signal_handlers only "hup" and "pipe" can be.
bool DefaultSignalHandlerFlagEnabled(const std::string& group, int signal);
// Enabled, and the signal has no handler yet.
bool ShouldInstallDefaultSignalHandler(const std::string& group, int signal);
// A handler other than the default or "ignore" is installed.
bool SignalHasExistingHandler(int signal);

void FailureSignalHandler(int signal, siginfo_t* info, void* ucontext);
void LoopingSignalHandler(int signal, siginfo_t* info, void* ucontext);
void ImmediateAbortSignalHandler(int signal);
void RaiseSignalToDefaultHandler(int signal);

// The report line ("*** <name> received by PID ... ***\n") into a buffer of 250 bytes.
void FormatSignalMessage(char* buffer, int signal, const siginfo_t* info, bool with_stack_trace);
// "SIGSEGV" and the like, or "Signal <n>".
void SigName(int signal, char* buffer, int size);

bool InFailureSignalHandler();
bool IsFailureSignalHandlerRunning();

size_t GetRequiredAlternateSignalStackSize();
bool UseAlternateSignalHandlerStack();
bool UseAlternateStackForSignal(int signal);
void SetStackContentsNumWordsInFailureHandlerForTesting(int words);

// No debugger can be started on this system: both only log that.
void InvokeDebugger(const char* invoker_name);
void InvokeDebuggerWithCommand(const char* command, const char* invoker_name);

// Limits the resident size to `fraction` (at least 0.01) of physical memory, lowered by up
// to 15% by process id when `randomize`; the result of setrlimit.
int LimitPhysicalMemory(double fraction, bool randomize);
// The current soft limit, 0 when it cannot be read.
int64_t GetPhysicalMemoryLimit();

void StartUpWallTimer();
absl::Time GetInitBrenvikTime();
int64_t GetUptimeInMs();
pid_t GetMainThreadPid();

namespace base {

// What the crash-data callback receives.
struct CrashData {
  using Callback = void (*)(const CrashData* data);
  // Stores the callback; it runs at most once, from the failure handler.
  static void SetCallback(Callback callback);

  int32_t signal;
  siginfo_t* info;
  void* ucontext;
  int32_t extra;
};

// Dispatches a failure signal for code that owns the signal: the failure (or looping)
// handler when the signal is handled, otherwise its default action.
void HandleOrRaiseFailureSignal(int signal, siginfo_t* info, void* ucontext);

namespace internal {
enum class CallbackSafety { kSafe, kUnsafe };
void ExecuteFailureCallbacks(int signal, siginfo_t* info, void* ucontext, CallbackSafety safety);
void ExecuteCrashDataCallback(int signal, siginfo_t* info, void* ucontext, int extra);
void EmitSymbolizerURL(void* ucontext);
}  // namespace internal

namespace process_state {
struct NotificationMessage {
  const char* name;
};
// False for a null message; otherwise logs at verbose level 1 and returns true.
bool ReportChange(const NotificationMessage* message, const char* detail);
}  // namespace process_state

}  // namespace base

#endif  // BASE_PROCESS_STATE_H_
