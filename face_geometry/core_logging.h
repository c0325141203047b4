// Logging and checking of the on-device ML core utilities.
//
// This facility is independent of the foundation logging in base/: it has its own
// process-wide minimum level, a replaceable log-message function, a replaceable assert
// function and an abort level from which a log message also counts as a failed check.
// Under the defaults, messages of level INFO and above go to standard error, and a
// CRITICAL message is followed by an "ASSERT FAILED" block after which the program
// continues.
//
// A statement is written with VRK_LOG(level, args...): the level test comes first, so a
// filtered statement costs one atomic load and builds no text.

#ifndef FACE_GEOMETRY_CORE_LOGGING_H_
#define FACE_GEOMETRY_CORE_LOGGING_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>

namespace vrk {

enum LogLevel : int32_t {
  DEBUG = 0,
  INFO = 1,
  WARNING = 2,
  ERROR = 3,
  CRITICAL = 4,
};

// Where a log statement or check sits. Built on the stack from literals; owns nothing.
struct SrcPoint {
  const char* file;
  int line;
  const char* function;
  // Printed right after the function name; every site passes "()".
  const char* args;

  // Shortens `file` in place so that it keeps only the last directory and the file
  // name ("a/b/c/d.cc" becomes "c/d.cc"); both '/' and '\' separate. A path with fewer
  // than two separators is left whole. At most the first 10,000 characters are scanned.
  void TruncateFileName();
};

using LogMessageFn = void (*)(LogLevel level, const SrcPoint& src,
                              const std::string& message);
using AssertFn = void (*)(const SrcPoint& src, const std::string& text);

// A statement of level L is emitted only when g_LogLevel <= L. Initially INFO.
extern std::atomic<LogLevel> g_LogLevel;
// Messages at or above this level also count as failed checks. Initially CRITICAL.
extern std::atomic<LogLevel> g_LogAbortLevel;
// The active log-message function; initially LogMessageDefault. Replace it before
// other threads log: it is read without synchronisation.
extern LogMessageFn LogMessage;
// The active assert function; initially OnAssertFailedDefault. It runs under
// g_logMutex, so it must not log through LogMessage.
extern AssertFn OnAssertFailed;
// Serialises every log line.
extern std::mutex g_logMutex;

// Writes one line: "LOG TID(<n>) <LEVEL> <seconds> <file>:<line> <function>() <message>".
// A message at or above g_LogAbortLevel is followed by a call of OnAssertFailed.
void LogMessageDefault(LogLevel level, const SrcPoint& src, const std::string& message);
// Writes only the message and a newline; same abort-level handling.
void LogMessageTests(LogLevel level, const SrcPoint& src, const std::string& message);
// Writes "ASSERT FAILED", "<file>:<line>" and `text`, one line each; returns normally.
void OnAssertFailedDefault(const SrcPoint& src, const std::string& text);

// Each stores the new function and returns the previous one.
LogMessageFn SetLogMessageFn(LogMessageFn fn);
AssertFn SetAssertFunction(AssertFn fn);

// Text forms used in log and check messages.
inline std::string DebugPrint(const std::string& value) { return value; }
inline std::string DebugPrint(const char* value) { return value; }
std::string DebugPrint(LogLevel level);  // as its number
std::string DebugPrint(const std::atomic<LogLevel>& level);
// "<file>:<line> <function><args> " when line > 0, else the empty text.
std::string DebugPrint(const SrcPoint& src);
template <typename T, typename = std::enable_if_t<std::is_arithmetic_v<T>>>
std::string DebugPrint(T value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

namespace impl {

// The DebugPrint texts of the arguments joined by single blanks.
template <typename T>
std::string Message(const T& value) {
  return DebugPrint(value);
}
template <typename T, typename... Rest>
std::string Message(const T& value, const Rest&... rest) {
  return DebugPrint(value) + " " + Message(rest...);
}

}  // namespace impl
}  // namespace vrk

#define VRK_LOG(level, ...)                                                       \
  do {                                                                            \
    if (::vrk::g_LogLevel.load(std::memory_order_acquire) <= (level)) {           \
      ::vrk::SrcPoint vrk_src_point{__FILE__, __LINE__, __func__, "()"};         \
      vrk_src_point.TruncateFileName();                                           \
      ::vrk::LogMessage((level), vrk_src_point, ::vrk::impl::Message(__VA_ARGS__)); \
    }                                                                             \
  } while (false)

#endif  // FACE_GEOMETRY_CORE_LOGGING_H_
