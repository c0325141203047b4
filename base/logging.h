// Log statements, fatal checks and stack dumps.
//
//   LOG(INFO) << "opened " << name;      // also WARNING, ERROR, FATAL, QFATAL, DFATAL
//   PLOG(ERROR) << "open failed";        // appends ": <errno text> [<errno>]"
//   CHECK(ptr != nullptr) << "why";      // "Check failed: ptr != nullptr why", stack, abort
//   CHECK_EQ(a, b);                      // "Check failed: a == b (1 vs. 2)"
//   QCHECK(ok);                          // like CHECK but exits with status 1, no stack
//   VLOG(2) << "detail";                 // only when verbose level 2 is on for this file
//   LOG_EVERY_N(INFO, 100) << "...";     // calls 1, 101, 201, ...
//
// One statement makes one absl::logging_internal::LogMessage; the text is streamed into a
// fixed 15000-byte buffer (the excess is dropped) and the line is written to standard error
// when the statement ends, with the prefix
//   <I|W|E|F>MMDD hh:mm:ss.uuuuuu <tid, 7 columns> <file base name>:<line>] <text>
// A log statement never changes errno as its caller sees it. Values are streamed with
// boolalpha and showbase. Stream operators of your own types must be found by
// argument-dependent lookup (declare them in the type's namespace).

#ifndef BASE_LOGGING_H_
#define BASE_LOGGING_H_

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "absl/base/attributes.h"
#include "absl/base/log_severity.h"
#include "absl/base/optimization.h"
#include "absl/strings/string_view.h"
#include "absl/time/time.h"
#include "base/flags.h"
#include "base/vlog.h"

namespace absl {

class LogSink;
namespace logging_internal {
class LogMessage;
}  // namespace logging_internal

// The record of one log line: what sinks receive.
class LogEntry {
 public:
  LogEntry() = default;

  absl::string_view source_filename() const { return source_filename_; }
  absl::string_view source_basename() const { return source_basename_; }
  int source_line() const { return source_line_; }
  bool prefix() const { return prefix_; }
  absl::LogSeverity log_severity() const { return static_cast<absl::LogSeverity>(severity_); }
  int verbosity() const { return verbosity_; }
  absl::Time timestamp() const { return timestamp_; }
  const struct tm& timestamp_as_tm() const { return timestamp_as_tm_; }
  uint32_t tid() const { return tid_; }
  // Empty until the message is flushed.
  absl::string_view text_message() const { return text_message_; }

  // Sets the file name and its base name (the part after the last "/").
  void set_source_filename(absl::string_view filename);
  // Recomputes timestamp_as_tm() from timestamp() in the local time zone.
  void GenerateTimestampAsTm();
  // The line prefix; empty when prefixes are off for this entry or globally, or the line is -1.
  std::string FormatPrefix() const;
  // Prefix followed by the text, without a newline.
  std::string ToString() const;

 private:
  friend class logging_internal::LogMessage;

  absl::string_view source_filename_;  // the literal of the statement, or filename_storage_
  absl::string_view source_basename_;
  std::string filename_storage_;       // set by LogMessage::AtLocation
  int source_line_ = 0;
  bool prefix_ = true;
  int severity_ = 0;
  int verbosity_ = -1;
  absl::Time timestamp_;
  struct tm timestamp_as_tm_ = {};
  uint32_t tid_ = 0;
  absl::string_view text_message_;
};

// Receives every log entry. No sink is registered by default.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Send(const LogEntry& entry) = 0;
  virtual void WaitTillSent() {}
};

// Registers a sink for every message (duplicates allowed) / removes its first registration.
void AddLogSink(LogSink* sink);
void RemoveLogSink(LogSink* sink);

namespace logging_internal {

struct LogMessageData;

// One log statement. Flushed (written) by the destructor at the end of the statement.
class LogMessage {
 public:
  LogMessage(const char* file, int line, absl::LogSeverity severity);
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;
  ~LogMessage();

  // Attributes the line to another source file and line.
  LogMessage& AtLocation(absl::string_view file, int line);
  LogMessage& NoPrefix();
  LogMessage& WithPerror();
  LogMessage& SetFailQuietly();
  // -1 for an ordinary message; otherwise the verbose level (negative levels become 0).
  LogMessage& WithVerbosity(int verbose_level);
  LogMessage& ToSinkAlso(LogSink* sink);
  LogMessage& ToSinkOnly(LogSink* sink);
  LogMessage& OutputToSink(LogSink* sink, bool also);
  // Streams "Check failed: ", `msg` and a blank.
  LogMessage& WithCheckFailureMessage(absl::string_view msg);

  LogMessage& operator<<(const char* s);
  LogMessage& operator<<(char* s) { return *this << static_cast<const char*>(s); }
  LogMessage& operator<<(std::ostream& (*manip)(std::ostream&)) {
    stream() << manip;
    return *this;
  }
  LogMessage& operator<<(std::ios_base& (*manip)(std::ios_base&)) {
    stream() << manip;
    return *this;
  }
  template <typename T>
  LogMessage& operator<<(const T& value) {
    stream() << value;
    return *this;
  }

  std::ostream& stream();

  // Writes the message once (later calls do nothing). Messages below minloglevel are dropped.
  void Flush();

  // Writes the caller's stack to standard error, then FailWithoutStackTrace().
  [[noreturn]] static void Fail();
  // Marks the abort as initiated by logging, then abort().
  [[noreturn]] static void FailWithoutStackTrace();
  // _exit(1): no stack trace, no exit handlers.
  [[noreturn]] static void FailQuietly();

 protected:
  void SendToLog();
  void LogToSinks();
  void PrepareToDieIfFatal();
  void DieIfFatal();

 private:
  void LogBacktraceIfNeeded();

  // Restores errno when the message is destroyed; declared first, so it is destroyed last.
  struct ErrnoSaver {
    ErrnoSaver() : saved_errno(errno) {}
    ~ErrnoSaver() { errno = saved_errno; }
    int saved_errno;
  } errno_saver_;
  std::unique_ptr<LogMessageData> data_;
};

// LOG(FATAL) and failed CHECKs: the process ends when the statement ends.
class LogMessageFatal : public LogMessage {
 public:
  LogMessageFatal(const char* file, int line);
  LogMessageFatal(const char* file, int line, absl::string_view failure_msg);
  [[noreturn]] ~LogMessageFatal();
};

// QCHECK: the line is written, then the process exits with status 1 without a stack trace.
class LogMessageQuietlyFatal : public LogMessage {
 public:
  LogMessageQuietlyFatal(const char* file, int line);
  LogMessageQuietlyFatal(const char* file, int line, absl::string_view failure_msg);
  [[noreturn]] ~LogMessageQuietlyFatal();
};

// --- Check texts ---------------------------------------------------------------------

// Builds "<expression> (<a> vs. <b>)" with the stream's default format (bools print 1/0).
class CheckOpMessageBuilder {
 public:
  explicit CheckOpMessageBuilder(const char* exprtext);
  ~CheckOpMessageBuilder();
  std::ostream* ForVar1() { return stream_; }
  // Writes " vs. " and returns the stream for the second value.
  std::ostream* ForVar2();
  // Writes ")" and returns the text as a new heap string.
  std::string* NewString();

 private:
  std::ostringstream* stream_;
};

template <typename T>
void MakeCheckOpValueString(std::ostream& os, const T& v) {
  if constexpr (std::is_enum_v<T> && !requires { os << v; }) {
    os << static_cast<std::underlying_type_t<T>>(v);
  } else {
    os << v;
  }
}
void MakeCheckOpValueString(std::ostream& os, char v);
void MakeCheckOpValueString(std::ostream& os, signed char v);
void MakeCheckOpValueString(std::ostream& os, unsigned char v);
void MakeCheckOpValueString(std::ostream& os, const char* v);
void MakeCheckOpValueString(std::ostream& os, char* v);
void MakeCheckOpValueString(std::ostream& os, const signed char* v);
void MakeCheckOpValueString(std::ostream& os, signed char* v);
void MakeCheckOpValueString(std::ostream& os, const unsigned char* v);
void MakeCheckOpValueString(std::ostream& os, unsigned char* v);
void MakeCheckOpValueString(std::ostream& os, const void* v);
void MakeCheckOpValueString(std::ostream& os, std::nullptr_t v);
template <typename T>
void MakeCheckOpValueString(std::ostream& os, T* v) {
  MakeCheckOpValueString(os, static_cast<const void*>(v));
}

template <typename T1, typename T2>
ABSL_ATTRIBUTE_NOINLINE std::string* MakeCheckOpString(const T1& v1, const T2& v2,
                                                       const char* exprtext) {
  CheckOpMessageBuilder builder(exprtext);
  MakeCheckOpValueString(*builder.ForVar1(), v1);
  MakeCheckOpValueString(*builder.ForVar2(), v2);
  return builder.NewString();
}

#define QM_DEFINE_CHECK_OP_IMPL_(name, op)                                              \
  template <typename T1, typename T2>                                                   \
  inline std::string* name##Impl(const T1& v1, const T2& v2, const char* exprtext) {    \
    if (ABSL_PREDICT_TRUE(v1 op v2)) return nullptr;                                    \
    return ::absl::logging_internal::MakeCheckOpString(v1, v2, exprtext);               \
  }
QM_DEFINE_CHECK_OP_IMPL_(Check_EQ, ==)
QM_DEFINE_CHECK_OP_IMPL_(Check_NE, !=)
QM_DEFINE_CHECK_OP_IMPL_(Check_LE, <=)
QM_DEFINE_CHECK_OP_IMPL_(Check_LT, <)
QM_DEFINE_CHECK_OP_IMPL_(Check_GE, >=)
QM_DEFINE_CHECK_OP_IMPL_(Check_GT, >)
#undef QM_DEFINE_CHECK_OP_IMPL_

// String checks: null when the check holds, else "<expression> (<a> vs. <b>)" where a null
// string contributes nothing. Two identical pointers (both null included) are equal.
std::string* CheckstrcmptrueImpl(const char* s1, const char* s2, const char* exprtext);
std::string* CheckstrcmpfalseImpl(const char* s1, const char* s2, const char* exprtext);
std::string* CheckstrcasecmptrueImpl(const char* s1, const char* s2, const char* exprtext);
std::string* CheckstrcasecmpfalseImpl(const char* s1, const char* s2, const char* exprtext);

// --- Rate limiting -------------------------------------------------------------------

// One static state per rate-limited statement. The counters are relaxed atomics: statements
// on several threads need no lock, and the count stays approximate under contention.
struct LogEveryNState {
  bool ShouldLog(int n);
  std::atomic<uint32_t> counter{0};
};
struct LogFirstNState {
  bool ShouldLog(int n);
  std::atomic<uint32_t> counter{0};
};
struct LogEveryPow2State {
  bool ShouldLog();
  std::atomic<uint32_t> counter{0};
};
struct LogEveryNSecState {
  bool ShouldLog(double seconds);
  std::atomic<uint32_t> counter{0};
  std::atomic<int64_t> next_log_time_nanos{0};  // deadline on the wall clock
};

}  // namespace logging_internal

// Collects everything streamed into it and logs it as one message at `file`:`line` when
// destroyed. For code that must build a message before it can log (failure handlers).
class LogStreamer {
 public:
  LogStreamer(absl::LogSeverity severity, const char* file, int line);
  LogStreamer(LogStreamer&& other) = default;
  LogStreamer& operator=(LogStreamer&& other) = default;
  ~LogStreamer();
  std::ostream& stream() { return *stream_; }

 private:
  absl::LogSeverity severity_;
  const char* file_;
  int line_;
  std::unique_ptr<std::string> text_;
  std::unique_ptr<std::ostringstream> stream_;
};

}  // namespace absl

// Dies with "Check failed: '<exprtext>' Must be non-null" attributed to file:line.
[[noreturn]] void DieBecauseNull(const char* file, int line, const char* exprtext);

namespace absl {
namespace logging_internal {
template <typename T>
T CheckNotNull(const char* file, int line, const char* exprtext, T&& t) {
  if (ABSL_PREDICT_FALSE(t == nullptr)) DieBecauseNull(file, line, exprtext);
  return std::forward<T>(t);
}
}  // namespace logging_internal
}  // namespace absl

// --- Stack dumps ---------------------------------------------------------------------

// Receives one line of a stack dump.
using DebugWriter = void(const char* text, void* arg);
void DebugWriteToStderr(const char* text, void* arg);         // arg unused
void DebugWriteToFile(const char* text, void* file);          // a FILE*
void DebugWriteToString(const char* text, void* str);         // a std::string*
namespace base {
void DebugWriteToStream(const char* text, void* stream);      // a std::ostream*
}  // namespace base

// Writes up to 32 frames of the caller's stack, one "    @ <address>  <symbol>" line each,
// skipping `skip` frames above the caller.
void DumpStackTrace(int skip, DebugWriter* writer, void* arg);
// Writes one "PC: " line for `pc` (when not null), then one line per frame.
void DumpPCAndStackTrace(void* pc, void* const* frames, int depth, DebugWriter* writer,
                         void* arg);
// "Stack trace:\n" followed by the frame lines of the caller's stack.
std::string CurrentStackTrace();

// For failure-signal handlers: the program counter of the signal context and up to 63
// frames of the interrupted stack.
void DumpPCAndStackTraceForSignalHandler(void* ucontext, DebugWriter* writer, void* arg);
// Register dumps are not supported: writes one line saying so.
void DumpRegisterContext(void* ucontext, DebugWriter* writer, void* arg);
// Write nothing on this platform.
void DumpAddressMap(DebugWriter* writer, void* arg);
void DumpMallocStats(DebugWriter* writer, void* arg);
// Null on this platform.
void* GetSP(void* ucontext);

// Called after every stack dump with the frames, when registered.
using DebugStackTraceHookFn = void (*)(void* const* frames, int depth, DebugWriter* writer,
                                       void* arg);
class DebugStackTraceHook {
 public:
  static void Register(DebugStackTraceHookFn hook);
  static DebugStackTraceHookFn GetHook();
};

// Up to 32 return addresses of the stack, saved for a later dump.
struct SavedStackTrace {
  void CreateCurrent(int skip);
  void* frames[32];
  int depth = 0;
};

// --- Process-wide state ---------------------------------------------------------------

namespace base {
// The text of an errno value; errno is unchanged.
std::string StrError(int errnum);
void SignalThatProcessIsDying();
bool ProcessIsDying();
namespace internal {
void WarnEnumCastError(int value);
}  // namespace internal
}  // namespace base

// The calling thread's id, fetched once per thread.
uint32_t GetCachedTID();

// There are no log files: both do nothing.
void FlushLogFiles(absl::LogSeverity min_severity);
void FlushLogFilesUnsafe(absl::LogSeverity min_severity);

// Existing temporary directories, each ending in "/".
void GetExistingTempDirectories(std::vector<std::string>* list);

namespace base_logging {
// Marks logging as initialised; the flags must have been parsed.
void Initialize();
uint64_t LoggedMessages(absl::LogSeverity severity);
uint64_t LoggedBytes(absl::LogSeverity severity);
namespace logging_internal {
bool LoggingInitialized();
void SetExitOnDFatal(bool value);
bool GetExitOnDFatal();
void ReprintFatalMessage();
void WriteToStderr(const char* text, size_t length);
extern std::atomic<bool> suppress_sigabort_trace;
}  // namespace logging_internal
}  // namespace base_logging

// --- Statements -----------------------------------------------------------------------

#define QM_LOG_INFO_ \
  ::absl::logging_internal::LogMessage(__FILE__, __LINE__, ::absl::LogSeverity::kInfo)
#define QM_LOG_WARNING_ \
  ::absl::logging_internal::LogMessage(__FILE__, __LINE__, ::absl::LogSeverity::kWarning)
#define QM_LOG_ERROR_ \
  ::absl::logging_internal::LogMessage(__FILE__, __LINE__, ::absl::LogSeverity::kError)
#define QM_LOG_FATAL_ ::absl::logging_internal::LogMessageFatal(__FILE__, __LINE__)
#define QM_LOG_QFATAL_ ::absl::logging_internal::LogMessageQuietlyFatal(__FILE__, __LINE__)
#ifdef NDEBUG
#define QM_LOG_DFATAL_ QM_LOG_ERROR_
#else
#define QM_LOG_DFATAL_ QM_LOG_FATAL_
#endif

#define LOG(severity) QM_LOG_##severity##_
#define PLOG(severity) QM_LOG_##severity##_.WithPerror()

// `if (c) LOG(..)` without a dangling else.
#define QM_LOG_IF_IMPL_(condition, message) \
  switch (0)                                \
  case 0:                                   \
  default:                                  \
    if (!(condition)) {                     \
    } else                                  \
      message

#define LOG_IF(severity, condition) QM_LOG_IF_IMPL_(condition, LOG(severity))

#define VLOG(verbose_level)                                                              \
  QM_LOG_IF_IMPL_(VLOG_IS_ON(verbose_level),                                             \
                  ::absl::logging_internal::LogMessage(__FILE__, __LINE__,               \
                                                       ::absl::LogSeverity::kInfo)       \
                      .WithVerbosity(verbose_level))
#define VLOG_IF(verbose_level, condition) \
  QM_LOG_IF_IMPL_((condition) && VLOG_IS_ON(verbose_level), VLOG(verbose_level))

#define QM_LOG_RATE_LIMITED_(state_type, should_log_args, severity)                 \
  QM_LOG_IF_IMPL_(                                                                  \
      ([]() -> ::absl::logging_internal::state_type& {                              \
        static ::absl::logging_internal::state_type qm_log_state;                   \
        return qm_log_state;                                                        \
      }().ShouldLog should_log_args),                                               \
      LOG(severity))
#define LOG_EVERY_N(severity, n) QM_LOG_RATE_LIMITED_(LogEveryNState, (n), severity)
#define LOG_FIRST_N(severity, n) QM_LOG_RATE_LIMITED_(LogFirstNState, (n), severity)
#define LOG_EVERY_POW_2(severity) QM_LOG_RATE_LIMITED_(LogEveryPow2State, (), severity)
#define LOG_EVERY_N_SEC(severity, seconds) \
  QM_LOG_RATE_LIMITED_(LogEveryNSecState, (seconds), severity)

// The loop body never completes: the fatal message ends the process.
#define CHECK(condition)                  \
  while (ABSL_PREDICT_FALSE(!(condition))) \
  ::absl::logging_internal::LogMessageFatal(__FILE__, __LINE__, #condition)
#define QCHECK(condition)                  \
  while (ABSL_PREDICT_FALSE(!(condition))) \
  ::absl::logging_internal::LogMessageQuietlyFatal(__FILE__, __LINE__, #condition)

#define QM_CHECK_OP_(name, op, val1, val2, message_type)                                     \
  while (::std::string* qm_check_op_result = ::absl::logging_internal::name##Impl(            \
             (val1), (val2), #val1 " " #op " " #val2))                                       \
  ::absl::logging_internal::message_type(__FILE__, __LINE__, *qm_check_op_result)

#define CHECK_EQ(val1, val2) QM_CHECK_OP_(Check_EQ, ==, val1, val2, LogMessageFatal)
#define CHECK_NE(val1, val2) QM_CHECK_OP_(Check_NE, !=, val1, val2, LogMessageFatal)
#define CHECK_LE(val1, val2) QM_CHECK_OP_(Check_LE, <=, val1, val2, LogMessageFatal)
#define CHECK_LT(val1, val2) QM_CHECK_OP_(Check_LT, <, val1, val2, LogMessageFatal)
#define CHECK_GE(val1, val2) QM_CHECK_OP_(Check_GE, >=, val1, val2, LogMessageFatal)
#define CHECK_GT(val1, val2) QM_CHECK_OP_(Check_GT, >, val1, val2, LogMessageFatal)
#define QCHECK_EQ(val1, val2) QM_CHECK_OP_(Check_EQ, ==, val1, val2, LogMessageQuietlyFatal)
#define QCHECK_NE(val1, val2) QM_CHECK_OP_(Check_NE, !=, val1, val2, LogMessageQuietlyFatal)
#define QCHECK_LE(val1, val2) QM_CHECK_OP_(Check_LE, <=, val1, val2, LogMessageQuietlyFatal)
#define QCHECK_LT(val1, val2) QM_CHECK_OP_(Check_LT, <, val1, val2, LogMessageQuietlyFatal)
#define QCHECK_GE(val1, val2) QM_CHECK_OP_(Check_GE, >=, val1, val2, LogMessageQuietlyFatal)
#define QCHECK_GT(val1, val2) QM_CHECK_OP_(Check_GT, >, val1, val2, LogMessageQuietlyFatal)

#define QM_CHECK_STROP_(func, op, s1, s2)                                               \
  while (::std::string* qm_check_str_result =                                          \
             ::absl::logging_internal::func##Impl((s1), (s2), #s1 " " #op " " #s2))    \
  ::absl::logging_internal::LogMessageFatal(__FILE__, __LINE__, *qm_check_str_result)
#define CHECK_STREQ(s1, s2) QM_CHECK_STROP_(Checkstrcmptrue, ==, s1, s2)
#define CHECK_STRNE(s1, s2) QM_CHECK_STROP_(Checkstrcmpfalse, !=, s1, s2)
#define CHECK_STRCASEEQ(s1, s2) QM_CHECK_STROP_(Checkstrcasecmptrue, ==, s1, s2)
#define CHECK_STRCASENE(s1, s2) QM_CHECK_STROP_(Checkstrcasecmpfalse, !=, s1, s2)

// The value of `val` when it is not null; otherwise the process dies.
#define CHECK_NOTNULL(val) \
  ::absl::logging_internal::CheckNotNull(__FILE__, __LINE__, #val, (val))

#ifdef NDEBUG
#define QM_DCHECK_NOP_(condition) \
  while (false && (condition)) ::absl::logging_internal::LogMessageFatal(__FILE__, __LINE__)
#define DCHECK(condition) QM_DCHECK_NOP_(condition)
#define DCHECK_EQ(val1, val2) QM_DCHECK_NOP_((val1) == (val2))
#define DCHECK_NE(val1, val2) QM_DCHECK_NOP_((val1) != (val2))
#define DCHECK_LE(val1, val2) QM_DCHECK_NOP_((val1) <= (val2))
#define DCHECK_LT(val1, val2) QM_DCHECK_NOP_((val1) < (val2))
#define DCHECK_GE(val1, val2) QM_DCHECK_NOP_((val1) >= (val2))
#define DCHECK_GT(val1, val2) QM_DCHECK_NOP_((val1) > (val2))
#define DLOG(severity) QM_LOG_IF_IMPL_(false, LOG(severity))
#define DVLOG(verbose_level) QM_LOG_IF_IMPL_(false, VLOG(verbose_level))
#else
#define DCHECK(condition) CHECK(condition)
#define DCHECK_EQ(val1, val2) CHECK_EQ(val1, val2)
#define DCHECK_NE(val1, val2) CHECK_NE(val1, val2)
#define DCHECK_LE(val1, val2) CHECK_LE(val1, val2)
#define DCHECK_LT(val1, val2) CHECK_LT(val1, val2)
#define DCHECK_GE(val1, val2) CHECK_GE(val1, val2)
#define DCHECK_GT(val1, val2) CHECK_GT(val1, val2)
#define DLOG(severity) LOG(severity)
#define DVLOG(verbose_level) VLOG(verbose_level)
#endif

#endif  // BASE_LOGGING_H_
