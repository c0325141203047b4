#include "base/logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <streambuf>

#include "absl/base/internal/raw_logging.h"
#include "absl/base/internal/sysinfo.h"
#include "absl/container/inlined_vector.h"
#include "absl/debugging/stacktrace.h"
#include "absl/debugging/symbolize.h"
#include "absl/flags/flag.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/match.h"
#include "absl/strings/str_format.h"
#include "base/raw_logging.h"

namespace {

constexpr size_t kMessageBufferSize = 15000;
constexpr int kMaxStackFrames = 32;

int ClampSeverity(int severity) {
  if (severity < 0) return 0;
  if (severity > 3) return 2;
  return severity;
}

const char* SeverityName(int severity) {
  switch (severity) {
    case 0: return "INFO";
    case 1: return "WARNING";
    case 2: return "ERROR";
    case 3: return "FATAL";
    default: return "UNKNOWN";
  }
}

absl::string_view Basename(absl::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == absl::string_view::npos ? path : path.substr(slash + 1);
}

// Process-wide logging state. Allocated once and never destroyed, so that logging from
// exit-time destructors stays safe. Standard mutexes (over pthreads) keep the logging path
// visible to the thread sanitizer, which cannot see into the prebuilt Abseil library.
struct GlobalLogState {
  std::shared_mutex global_sinks_mutex;
  std::vector<absl::LogSink*>* global_sinks = nullptr;  // created by the first AddLogSink
  std::mutex sink_send_mutex;
  std::mutex stats_mutex;
  uint64_t logged_messages[4] = {};
  uint64_t logged_bytes[4] = {};
};

GlobalLogState& State() {
  static GlobalLogState* state = new GlobalLogState;
  return *state;
}

std::atomic<bool> seen_fatal{false};
char fatal_message[512];
std::atomic<bool> exit_on_dfatal{true};
std::atomic<bool> logging_initialized{false};
std::atomic<bool> process_is_dying{false};
std::atomic<DebugStackTraceHookFn> debug_stack_trace_hook{nullptr};

thread_local bool thread_is_logging = false;

// A stream buffer over a fixed array. A write that does not fit copies what fits and
// reports the shorter count, which puts the stream into its failed state: everything
// after it is dropped.
class SpanStreambuf : public std::streambuf {
 public:
  SpanStreambuf(char* begin, size_t size) { setp(begin, begin + size); }
  absl::string_view written() const { return absl::string_view(pbase(), pptr() - pbase()); }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::streamsize room = epptr() - pptr();
    const std::streamsize count = n < room ? n : room;
    std::memcpy(pptr(), s, static_cast<size_t>(count));
    pbump(static_cast<int>(count));
    return count;
  }
};

void InitializeSymbolizerOnce() {
  static std::once_flag once;
  std::call_once(once, [] { absl::InitializeSymbolizer("/proc/self/exe"); });
}

// Writes one frame line of a stack dump.
void WriteFrameLine(const char* line_prefix, void* pc, DebugWriter* writer, void* arg) {
  char line[1024];
  if (FLAGS_symbolize_stacktrace) {
    char symbol[1024];
    const char* name = "(unknown)";
    // The return address points after the call; the call itself is one byte earlier.
    if (absl::Symbolize(static_cast<char*>(pc) - 1, symbol, sizeof(symbol)) ||
        absl::Symbolize(pc, symbol, sizeof(symbol))) {
      name = symbol;
    }
    snprintf(line, sizeof(line), "%s@ %*p  %s\n", line_prefix, 18, pc, name);
  } else {
    snprintf(line, 100, "%s@ %*p\n", line_prefix, 18, pc);
  }
  writer(line, arg);
}

void WriteBareToStderr(absl::string_view text) {
  const int saved = errno;
  if (!text.empty()) {
    ssize_t unused = write(STDERR_FILENO, text.data(), text.size());
    (void)unused;
  }
  errno = saved;
}

}  // namespace

namespace absl {

// ---------------------------------------------------------------------------------------
// LogEntry

void LogEntry::set_source_filename(absl::string_view filename) {
  filename_storage_.assign(filename.data(), filename.size());
  source_filename_ = filename_storage_;
  source_basename_ = Basename(source_filename_);
}

void LogEntry::GenerateTimestampAsTm() {
  const time_t seconds = absl::ToTimeT(timestamp_);
  localtime_r(&seconds, &timestamp_as_tm_);
}

std::string LogEntry::FormatPrefix() const {
  if (!FLAGS_log_prefix || !prefix_ || source_line_ == -1) return std::string();
  const int64_t micros = absl::ToUnixMicros(timestamp_) % 1000000;
  return absl::StrFormat("%c%02d%02d %02d:%02d:%02d.%06d %7u %s:%d] ",
                         SeverityName(severity_)[0], timestamp_as_tm_.tm_mon + 1,
                         timestamp_as_tm_.tm_mday, timestamp_as_tm_.tm_hour,
                         timestamp_as_tm_.tm_min, timestamp_as_tm_.tm_sec,
                         static_cast<int>(micros < 0 ? micros + 1000000 : micros), tid_,
                         source_basename_, source_line_);
}

std::string LogEntry::ToString() const { return absl::StrCat(FormatPrefix(), text_message_); }

void AddLogSink(LogSink* sink) {
  GlobalLogState& state = State();
  std::unique_lock<std::shared_mutex> lock(state.global_sinks_mutex);
  if (state.global_sinks == nullptr) state.global_sinks = new std::vector<LogSink*>;
  state.global_sinks->push_back(sink);
}

void RemoveLogSink(LogSink* sink) {
  GlobalLogState& state = State();
  std::unique_lock<std::shared_mutex> lock(state.global_sinks_mutex);
  if (state.global_sinks == nullptr) return;
  for (auto it = state.global_sinks->begin(); it != state.global_sinks->end(); ++it) {
    if (*it == sink) {
      state.global_sinks->erase(it);
      return;
    }
  }
}

namespace logging_internal {

struct LogMessageData {
  LogMessageData() : streambuf(message_buf, kMessageBufferSize), stream(&streambuf) {}

  LogEntry entry;
  bool flushed = false;
  bool first_fatal = false;
  bool fail_quietly = false;
  bool with_perror = false;
  absl::InlinedVector<LogSink*, 16> extra_sinks;
  bool sinks_only = false;
  char message_buf[kMessageBufferSize];
  SpanStreambuf streambuf;
  std::ostream stream;
};

// ---------------------------------------------------------------------------------------
// LogMessage

LogMessage::LogMessage(const char* file, int line, absl::LogSeverity severity)
    : data_(std::make_unique<LogMessageData>()) {
  const absl::Time now = absl::Now();
  LogEntry& entry = data_->entry;
  entry.source_filename_ = file != nullptr ? absl::string_view(file) : absl::string_view();
  entry.source_basename_ = Basename(entry.source_filename_);
  entry.source_line_ = line;
  entry.severity_ = ClampSeverity(static_cast<int>(severity));
  entry.timestamp_ = now;
  entry.tid_ = GetCachedTID();
  entry.GenerateTimestampAsTm();
  data_->stream.setf(std::ios_base::boolalpha | std::ios_base::showbase);
  if (entry.severity_ == 3 && exit_on_dfatal.load(std::memory_order_relaxed)) {
    base::SignalThatProcessIsDying();
    data_->first_fatal = !seen_fatal.exchange(true);
  }
  LogBacktraceIfNeeded();
}

LogMessage::~LogMessage() { Flush(); }

std::ostream& LogMessage::stream() { return data_->stream; }

LogMessage& LogMessage::AtLocation(absl::string_view file, int line) {
  data_->entry.set_source_filename(file);
  data_->entry.source_line_ = line;
  LogBacktraceIfNeeded();
  return *this;
}

LogMessage& LogMessage::NoPrefix() {
  data_->entry.prefix_ = false;
  return *this;
}

LogMessage& LogMessage::WithPerror() {
  data_->with_perror = true;
  return *this;
}

LogMessage& LogMessage::SetFailQuietly() {
  data_->fail_quietly = true;
  return *this;
}

LogMessage& LogMessage::WithVerbosity(int verbose_level) {
  data_->entry.verbosity_ = verbose_level == -1 ? -1 : (verbose_level < 0 ? 0 : verbose_level);
  return *this;
}

LogMessage& LogMessage::ToSinkAlso(LogSink* sink) {
  data_->extra_sinks.push_back(sink);
  return *this;
}

LogMessage& LogMessage::ToSinkOnly(LogSink* sink) {
  data_->extra_sinks.clear();
  data_->extra_sinks.shrink_to_fit();
  data_->extra_sinks.push_back(sink);
  data_->sinks_only = true;
  return *this;
}

LogMessage& LogMessage::OutputToSink(LogSink* sink, bool also) {
  if (!also) {
    data_->extra_sinks.clear();
    data_->extra_sinks.shrink_to_fit();
    data_->sinks_only = true;
  }
  if (sink != nullptr) data_->extra_sinks.push_back(sink);
  return *this;
}

LogMessage& LogMessage::WithCheckFailureMessage(absl::string_view msg) {
  data_->stream << "Check failed: " << msg << " ";
  return *this;
}

LogMessage& LogMessage::operator<<(const char* s) {
  data_->stream << (s != nullptr ? s : "(null)");
  return *this;
}

void LogMessage::LogBacktraceIfNeeded() {
  if (!logging_initialized.load(std::memory_order_acquire)) return;
  const std::string& at = FLAGS_log_backtrace_at;
  if (at.empty()) return;
  const absl::string_view basename = data_->entry.source_basename_;
  if (!absl::StartsWith(at, basename)) return;
  char line[13];
  snprintf(line, sizeof(line), ":%d", data_->entry.source_line_);
  if (absl::string_view(at).substr(basename.size()) != line) return;
  data_->stream << " (stacktrace:\n";
  DumpStackTrace(1, base::DebugWriteToStream, &data_->stream);
  data_->stream << ") ";
}

void LogMessage::Flush() {
  LogMessageData& data = *data_;
  if (data.flushed) return;
  if (data.entry.severity_ < absl::GetFlag(FLAGS_minloglevel)) return;
  if (data.with_perror) {
    const int saved = errno_saver_.saved_errno;
    data.stream << ": " << base::StrError(saved) << " [" << saved << "]";
  }
  data.entry.text_message_ = data.streambuf.written();

  if (thread_is_logging) {
    // A message made while this thread is already sending one (from a sink, for example):
    // written bare, so that it cannot recurse into the sending machinery.
    if (!data.sinks_only) WriteBareToStderr(data.entry.text_message_);
    return;
  }
  thread_is_logging = true;
  SendToLog();
  thread_is_logging = false;

  GlobalLogState& state = State();
  {
    std::lock_guard<std::mutex> lock(state.stats_mutex);
    const int severity = data.entry.severity_;
    state.logged_messages[severity] += 1;
    state.logged_bytes[severity] +=
        data.entry.text_message_.size() + data.entry.source_basename_.size() + 30;
  }
  data.flushed = true;
}

void LogMessage::SendToLog() {
  const LogEntry& entry = data_->entry;
  if (!data_->sinks_only &&
      (FLAGS_logtostderr || FLAGS_alsologtostderr || entry.severity_ >= FLAGS_stderrthreshold)) {
    // One call per line, so lines of different threads do not interleave.
    std::string line = entry.FormatPrefix();
    line.append(entry.text_message_.data(), entry.text_message_.size());
    line.push_back('\n');
    fwrite(line.data(), 1, line.size(), stderr);
  }
  PrepareToDieIfFatal();
  LogToSinks();
  DieIfFatal();
}

void LogMessage::PrepareToDieIfFatal() {
  if (data_->entry.severity_ != 3 || !exit_on_dfatal.load(std::memory_order_relaxed) ||
      !data_->first_fatal) {
    return;
  }
  const absl::string_view text = data_->entry.text_message_;
  const size_t n = text.size() < 511 ? text.size() : 510;
  std::memcpy(fatal_message, text.data(), n);
  size_t end = n;
  if (n == 0 || fatal_message[n - 1] != '\n') fatal_message[end++] = '\n';
  fatal_message[end] = '\0';
}

void LogMessage::LogToSinks() {
  GlobalLogState& state = State();
  LogMessageData& data = *data_;
  if (!data.sinks_only) state.global_sinks_mutex.lock_shared();
  const std::vector<LogSink*>* global =
      data.sinks_only ? nullptr : state.global_sinks;
  const bool any_global = global != nullptr && !global->empty();
  if (data.extra_sinks.empty() && !any_global) {
    if (!data.sinks_only) state.global_sinks_mutex.unlock_shared();
    return;
  }
  state.sink_send_mutex.lock();
  for (LogSink* sink : data.extra_sinks) sink->Send(data.entry);
  if (any_global) {
    for (LogSink* sink : *global) sink->Send(data.entry);
  }
  state.sink_send_mutex.unlock();
  for (LogSink* sink : data.extra_sinks) sink->WaitTillSent();
  if (any_global) {
    for (LogSink* sink : *global) sink->WaitTillSent();
  }
  if (!data.sinks_only) state.global_sinks_mutex.unlock_shared();
}

void LogMessage::DieIfFatal() {
  if (data_->entry.severity_ != 3 || !exit_on_dfatal.load(std::memory_order_relaxed)) return;
  if (data_->fail_quietly) _exit(1);
  if (!data_->sinks_only) {
    static constexpr char kHeader[] = "*** Check failure stack trace: ***\n";
    WriteBareToStderr(absl::string_view(kHeader, sizeof(kHeader) - 1));
    DumpStackTrace(0, DebugWriteToStderr, nullptr);
  }
  thread_is_logging = false;
  FailWithoutStackTrace();
}

void LogMessage::Fail() {
  DumpStackTrace(0, DebugWriteToStderr, nullptr);
  FailWithoutStackTrace();
}

void LogMessage::FailWithoutStackTrace() {
  base_logging::logging_internal::suppress_sigabort_trace.store(true);
  abort();
}

void LogMessage::FailQuietly() { _exit(1); }

LogMessageFatal::LogMessageFatal(const char* file, int line)
    : LogMessage(file, line, absl::LogSeverity::kFatal) {}

LogMessageFatal::LogMessageFatal(const char* file, int line, absl::string_view failure_msg)
    : LogMessage(file, line, absl::LogSeverity::kFatal) {
  WithCheckFailureMessage(failure_msg);
}

LogMessageFatal::~LogMessageFatal() {
  Flush();
  FailWithoutStackTrace();
}

LogMessageQuietlyFatal::LogMessageQuietlyFatal(const char* file, int line)
    : LogMessage(file, line, absl::LogSeverity::kFatal) {
  SetFailQuietly();
}

LogMessageQuietlyFatal::LogMessageQuietlyFatal(const char* file, int line,
                                               absl::string_view failure_msg)
    : LogMessage(file, line, absl::LogSeverity::kFatal) {
  SetFailQuietly();
  WithCheckFailureMessage(failure_msg);
}

LogMessageQuietlyFatal::~LogMessageQuietlyFatal() {
  Flush();
  FailQuietly();
}

// ---------------------------------------------------------------------------------------
// Check texts

CheckOpMessageBuilder::CheckOpMessageBuilder(const char* exprtext)
    : stream_(new std::ostringstream) {
  *stream_ << exprtext << " (";
}

CheckOpMessageBuilder::~CheckOpMessageBuilder() { delete stream_; }

std::ostream* CheckOpMessageBuilder::ForVar2() {
  *stream_ << " vs. ";
  return stream_;
}

std::string* CheckOpMessageBuilder::NewString() {
  *stream_ << ")";
  return new std::string(stream_->str());
}

namespace {
void WriteCharValue(std::ostream& os, int value, bool printable, const char* kind) {
  if (printable) {
    os << "'" << static_cast<char>(value) << "'";
  } else {
    os << kind << " value " << value;
  }
}
}  // namespace

void MakeCheckOpValueString(std::ostream& os, char v) {
  WriteCharValue(os, static_cast<signed char>(v), v >= 32 && v <= 126, "char");
}
void MakeCheckOpValueString(std::ostream& os, signed char v) {
  WriteCharValue(os, v, v >= 32 && v <= 126, "signed char");
}
void MakeCheckOpValueString(std::ostream& os, unsigned char v) {
  WriteCharValue(os, v, v >= 32 && v <= 126, "unsigned char");
}
void MakeCheckOpValueString(std::ostream& os, const char* v) {
  os << (v != nullptr ? v : "(null)");
}
void MakeCheckOpValueString(std::ostream& os, char* v) {
  MakeCheckOpValueString(os, static_cast<const char*>(v));
}
void MakeCheckOpValueString(std::ostream& os, const signed char* v) {
  MakeCheckOpValueString(os, reinterpret_cast<const char*>(v));
}
void MakeCheckOpValueString(std::ostream& os, signed char* v) {
  MakeCheckOpValueString(os, reinterpret_cast<const char*>(v));
}
void MakeCheckOpValueString(std::ostream& os, const unsigned char* v) {
  MakeCheckOpValueString(os, reinterpret_cast<const char*>(v));
}
void MakeCheckOpValueString(std::ostream& os, unsigned char* v) {
  MakeCheckOpValueString(os, reinterpret_cast<const char*>(v));
}
void MakeCheckOpValueString(std::ostream& os, const void* v) {
  if (v == nullptr) {
    os << "(null)";
  } else {
    os << v;
  }
}
void MakeCheckOpValueString(std::ostream& os, std::nullptr_t) { os << "(null)"; }

namespace {
bool StringsEqual(const char* s1, const char* s2, bool ignore_case) {
  if (s1 == s2) return true;
  if (s1 == nullptr || s2 == nullptr) return false;
  return (ignore_case ? strcasecmp(s1, s2) : strcmp(s1, s2)) == 0;
}

std::string* CheckStrings(const char* s1, const char* s2, const char* exprtext,
                          bool ignore_case, bool want_equal) {
  if (StringsEqual(s1, s2, ignore_case) == want_equal) return nullptr;
  return new std::string(absl::StrCat(exprtext, " (", s1 != nullptr ? s1 : "", " vs. ",
                                      s2 != nullptr ? s2 : "", ")"));
}
}  // namespace

std::string* CheckstrcmptrueImpl(const char* s1, const char* s2, const char* exprtext) {
  return CheckStrings(s1, s2, exprtext, false, true);
}
std::string* CheckstrcmpfalseImpl(const char* s1, const char* s2, const char* exprtext) {
  return CheckStrings(s1, s2, exprtext, false, false);
}
std::string* CheckstrcasecmptrueImpl(const char* s1, const char* s2, const char* exprtext) {
  return CheckStrings(s1, s2, exprtext, true, true);
}
std::string* CheckstrcasecmpfalseImpl(const char* s1, const char* s2, const char* exprtext) {
  return CheckStrings(s1, s2, exprtext, true, false);
}

// ---------------------------------------------------------------------------------------
// Rate limiting

bool LogEveryNState::ShouldLog(int n) {
  if (n == 0) return false;
  const uint32_t old = counter.fetch_add(1, std::memory_order_relaxed);
  return old % static_cast<uint32_t>(n) == 0;
}

bool LogFirstNState::ShouldLog(int n) {
  if (counter.load(std::memory_order_relaxed) < static_cast<uint32_t>(n)) {
    counter.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  return false;
}

bool LogEveryPow2State::ShouldLog() {
  const uint32_t value = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  return (value & (value - 1)) == 0;
}

bool LogEveryNSecState::ShouldLog(double seconds) {
  counter.fetch_add(1, std::memory_order_relaxed);
  const int64_t now = absl::GetCurrentTimeNanos();
  int64_t deadline = next_log_time_nanos.load(std::memory_order_relaxed);
  // One caller per period wins the exchange.
  while (now > deadline) {
    const int64_t next = now + static_cast<int64_t>(seconds * 1e9);
    if (next_log_time_nanos.compare_exchange_weak(deadline, next, std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

}  // namespace logging_internal

LogStreamer::LogStreamer(absl::LogSeverity severity, const char* file, int line)
    : severity_(static_cast<absl::LogSeverity>(ClampSeverity(static_cast<int>(severity)))),
      file_(file),
      line_(line),
      stream_(std::make_unique<std::ostringstream>()) {}

LogStreamer::~LogStreamer() {
  if (stream_ == nullptr) return;  // moved from
  logging_internal::LogMessage message(__FILE__, __LINE__, severity_);
  message.AtLocation(file_ != nullptr ? file_ : "", line_);
  message << stream_->str();
}

}  // namespace absl

// -----------------------------------------------------------------------------------------
// Null checks

void DieBecauseNull(const char* file, int line, const char* exprtext) {
  absl::logging_internal::LogMessageFatal message(
      __FILE__, __LINE__, absl::StrCat("'", exprtext != nullptr ? exprtext : "", "' Must be non-null"));
  message.AtLocation(file, line);
}

// -----------------------------------------------------------------------------------------
// Stack dumps

void DebugWriteToStderr(const char* text, void*) { WriteBareToStderr(text); }

void DebugWriteToFile(const char* text, void* file) {
  fwrite(text, 1, strlen(text), static_cast<FILE*>(file));
}

void DebugWriteToString(const char* text, void* str) {
  static_cast<std::string*>(str)->append(text);
}

namespace base {
void DebugWriteToStream(const char* text, void* stream) {
  *static_cast<std::ostream*>(stream) << text;
}
}  // namespace base

ABSL_ATTRIBUTE_NOINLINE void DumpStackTrace(int skip, DebugWriter* writer, void* arg) {
  InitializeSymbolizerOnce();
  void* frames[kMaxStackFrames];
  const int depth = absl::GetStackTrace(frames, kMaxStackFrames, skip + 1);
  for (int i = 0; i < depth; ++i) WriteFrameLine("    ", frames[i], writer, arg);
  if (DebugStackTraceHookFn hook = debug_stack_trace_hook.load()) hook(frames, depth, writer, arg);
}

void DumpPCAndStackTrace(void* pc, void* const* frames, int depth, DebugWriter* writer,
                         void* arg) {
  InitializeSymbolizerOnce();
  if (pc != nullptr) WriteFrameLine("PC: ", pc, writer, arg);
  for (int i = 0; i < depth; ++i) WriteFrameLine("    ", frames[i], writer, arg);
}

ABSL_ATTRIBUTE_NOINLINE std::string CurrentStackTrace() {
  std::string trace = "Stack trace:\n";
  DumpStackTrace(0, DebugWriteToString, &trace);
  return trace;
}

void DumpPCAndStackTraceForSignalHandler(void* ucontext, DebugWriter* writer, void* arg) {
  void* pc = nullptr;
  if (ucontext != nullptr) {
    const ucontext_t* context = static_cast<const ucontext_t*>(ucontext);
#if defined(__x86_64__)
    pc = reinterpret_cast<void*>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    pc = reinterpret_cast<void*>(context->uc_mcontext.pc);
#endif
  }
  constexpr int kMaxSignalFrames = 63;
  void* frames[kMaxSignalFrames + 1];
  int sizes[kMaxSignalFrames];
  const int depth = absl::GetStackFramesWithContext(frames + 1, sizes, kMaxSignalFrames, 1,
                                                    ucontext, nullptr);
  DumpPCAndStackTrace(pc, frames + 1, depth, writer, arg);
  if (DebugStackTraceHookFn hook = debug_stack_trace_hook.load()) {
    if (pc != nullptr) {
      frames[0] = pc;
      hook(frames, depth + 1, writer, arg);
    } else {
      hook(frames + 1, depth, writer, arg);
    }
  }
}

void DumpRegisterContext(void*, DebugWriter* writer, void* arg) {
  writer("Register dump on this platform in not yet supported\n", arg);
}

void DumpAddressMap(DebugWriter*, void*) {}
void DumpMallocStats(DebugWriter*, void*) {}
void* GetSP(void*) { return nullptr; }

void DebugStackTraceHook::Register(DebugStackTraceHookFn hook) { debug_stack_trace_hook = hook; }
DebugStackTraceHookFn DebugStackTraceHook::GetHook() { return debug_stack_trace_hook.load(); }

ABSL_ATTRIBUTE_NOINLINE void SavedStackTrace::CreateCurrent(int skip) {
  depth = absl::GetStackTrace(frames, kMaxStackFrames, skip + 1);
}

// -----------------------------------------------------------------------------------------
// Process-wide state

namespace base {

std::string StrError(int errnum) {
  const int saved = errno;
  char buffer[100];
  buffer[0] = '\0';
  // The GNU form returns either a static text or one written into the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof(buffer));
  std::string result = (text != nullptr && text[0] != '\0')
                           ? std::string(text)
                           : absl::StrFormat("Unknown error %d", errnum);
  errno = saved;
  return result;
}

void SignalThatProcessIsDying() { process_is_dying.store(true); }
bool ProcessIsDying() { return process_is_dying.load(); }

namespace internal {
void WarnEnumCastError(int value) {
  absl::logging_internal::LogMessage(__FILE__, __LINE__, absl::LogSeverity::kError)
      << "enum_cast error for value " << value;
}
}  // namespace internal
}  // namespace base

uint32_t GetCachedTID() {
  thread_local uint32_t tid = 0;
  if (tid == 0) tid = static_cast<uint32_t>(absl::base_internal::GetTID());
  return tid;
}

void FlushLogFiles(absl::LogSeverity) {}
void FlushLogFilesUnsafe(absl::LogSeverity) {}

void GetExistingTempDirectories(std::vector<std::string>* list) {
  std::vector<std::string> candidates;
  const char* const env_names[] = {"TEST_TMPDIR", "TMPDIR", "TMP"};
  std::vector<const char*> sources;
  for (const char* name : env_names) sources.push_back(getenv(name));
  sources.push_back("/export/hda3/tmp");
  sources.push_back("/tmp");
  for (const char* source : sources) {
    if (source == nullptr || source[0] == '\0') continue;
    std::string dir = source;
    if (dir.back() != '/') dir.push_back('/');
    candidates.push_back(dir);
    struct stat info;
    if (stat(source, &info) == 0 && S_ISDIR(info.st_mode)) break;
  }
  list->clear();
  for (std::string& dir : candidates) {
    if (access(dir.c_str(), F_OK) == 0) list->push_back(std::move(dir));
  }
}

namespace base_logging {

void Initialize() {
  if (!FlagsParsed()) {
    absl::raw_logging_internal::RawLog(absl::LogSeverity::kFatal, "logging", 1977,
                                       "Check %s failed: %s", "FlagsParsed()",
                                       "base_logging::Initialize() must be called after flag "
                                       "parsing");
  }
  logging_initialized.store(true, std::memory_order_release);
}

uint64_t LoggedMessages(absl::LogSeverity severity) {
  GlobalLogState& state = State();
  std::lock_guard<std::mutex> lock(state.stats_mutex);
  return state.logged_messages[ClampSeverity(static_cast<int>(severity))];
}

uint64_t LoggedBytes(absl::LogSeverity severity) {
  GlobalLogState& state = State();
  std::lock_guard<std::mutex> lock(state.stats_mutex);
  return state.logged_bytes[ClampSeverity(static_cast<int>(severity))];
}

namespace logging_internal {

std::atomic<bool> suppress_sigabort_trace{false};

bool LoggingInitialized() { return logging_initialized.load(std::memory_order_acquire); }
void SetExitOnDFatal(bool value) { exit_on_dfatal.store(value); }
bool GetExitOnDFatal() { return exit_on_dfatal.load(); }

void ReprintFatalMessage() {
  if (fatal_message[0] != '\0') fwrite(fatal_message, 1, strlen(fatal_message), stderr);
}

void WriteToStderr(const char* text, size_t length) { fwrite(text, 1, length, stderr); }

}  // namespace logging_internal
}  // namespace base_logging

// -----------------------------------------------------------------------------------------
// Abseil's own diagnostics go through our log messages.

namespace {

void AbseilInternalLogHook(absl::LogSeverity severity, const char* file, int line,
                           const std::string& message) {
  absl::logging_internal::LogMessage log(__FILE__, __LINE__,
                                         static_cast<absl::LogSeverity>(
                                             ClampSeverity(static_cast<int>(severity))));
  log.AtLocation(file != nullptr ? file : "", line);
  log << message;
}

[[maybe_unused]] const bool logging_module_initialized = [] {
  absl::raw_logging_internal::RegisterInternalLogFunction(AbseilInternalLogHook);
  base_raw_logging::InstallBrenvik3Hooks();
  InitializeSymbolizerOnce();
  return true;
}();

}  // namespace
