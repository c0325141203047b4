// Raw logging: printf-style lines built in a stack buffer and written with one write(2),
// for code that must not allocate or lock (signal handlers, the logging code itself).
//
//   RAW_LOG(WARNING, "bad descriptor %d", fd);
//   RAW_CHECK(ptr != nullptr, "no buffer");
//
// The writer is Abseil's; this module installs its prefix hook, which writes
//   <I|W|E|F>MMDD hh:mm:ss.uuuuuu <tid, 7 columns> <base name>:<line>] RAW: <text>
// (without a loaded time zone the date and time read 0000 00:00:<Unix seconds>), and its
// abort hook, which dumps the stack and aborts after a FATAL line.

#ifndef BASE_RAW_LOGGING_H_
#define BASE_RAW_LOGGING_H_

#include <cstddef>

#include "absl/base/internal/raw_logging.h"
#include "absl/base/log_severity.h"

#define RAW_LOG(severity, ...)                                                           \
  ::absl::raw_logging_internal::RawLog(ABSL_RAW_LOGGING_INTERNAL_##severity, __FILE__, \
                                       __LINE__, __VA_ARGS__)

#define RAW_CHECK(condition, message)                                      \
  do {                                                                     \
    if (ABSL_PREDICT_FALSE(!(condition))) {                                \
      RAW_LOG(FATAL, "Check %s failed: %s", #condition, message);          \
    }                                                                      \
  } while (0)

namespace base_raw_logging {

// Like RAW_LOG with a plain int severity: below 0 logs as INFO, above 3 as ERROR.
void RawLog(int severity, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Abseil's hooks for raw lines; only the first registration of each takes effect.
using LogPrefixHook = bool (*)(absl::LogSeverity severity, const char* file, int line,
                               char** buffer, int* size);
using AbortHook = void (*)(const char* file, int line, const char* buf_start,
                           const char* prefix_end, const char* buf_end);
void RegisterLogPrefixHook(LogPrefixHook hook);
void RegisterAbortHook(AbortHook hook);

// Decides whether a raw line is written and writes its prefix. False: write nothing.
bool Brenvik3LogPrefixHook(absl::LogSeverity severity, const char* file, int line,
                           char** buffer, int* size);
// Writes the caller's stack to standard error and aborts.
void Brenvik3AbortHook(const char* file, int line, const char* buf_start,
                       const char* prefix_end, const char* buf_end);

// Registers both hooks (also done at load).
void InstallBrenvik3Hooks();
// Loads the local time zone for the date and time of raw lines.
void InitRawLog();

// open(2) for writing (created, truncated, mode 0664); the descriptor or -1.
int RawOpenForWriting(const char* path);
// Writes all bytes, retrying on EINTR; stops silently on another error or a zero write.
void RawWrite(int fd, const char* buffer, size_t length);
void RawClose(int fd);

}  // namespace base_raw_logging

#endif  // BASE_RAW_LOGGING_H_
