#include "base/raw_logging.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "absl/base/internal/sysinfo.h"
#include "absl/time/time.h"
#include "base/flags.h"
#include "base/logging.h"

namespace base_raw_logging {
namespace {

// Set only by InitRawLog; until then raw lines carry no date (see the prefix hook).
std::atomic<absl::TimeZone*> local_timezone_ptr{nullptr};

char SeverityLetter(int severity) {
  switch (severity) {
    case 0: return 'I';
    case 1: return 'W';
    case 2: return 'E';
    case 3: return 'F';
    default: return 'U';
  }
}

}  // namespace

void RawLog(int severity, const char* file, int line, const char* format, ...) {
  if (severity < 0) severity = 0;
  if (severity > 3) severity = 2;
  char message[3000];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  absl::raw_logging_internal::RawLog(static_cast<absl::LogSeverity>(severity), file, line, "%s",
                                     message);
}

void RegisterLogPrefixHook(LogPrefixHook hook) {
  absl::raw_logging_internal::RegisterLogFilterAndPrefixHook(hook);
}

void RegisterAbortHook(AbortHook hook) { absl::raw_logging_internal::RegisterAbortHook(hook); }

bool Brenvik3LogPrefixHook(absl::LogSeverity severity, const char* file, int line,
                           char** buffer, int* size) {
  const int level = static_cast<int>(severity);
  if (level < FLAGS_stderrthreshold && !FLAGS_logtostderr && !FLAGS_alsologtostderr &&
      level <= 1 && FlagsParsed()) {
    return false;
  }
  if (level == 0 && FLAGS_silent_init) return false;

  struct timeval now;
  gettimeofday(&now, nullptr);
  int month = 0, day = 0, hours = 0, minutes = 0, seconds;
  if (const absl::TimeZone* zone = local_timezone_ptr.load(std::memory_order_acquire)) {
    const struct tm broken = absl::ToTM(absl::FromTimeT(now.tv_sec), *zone);
    month = broken.tm_mon + 1;
    day = broken.tm_mday;
    hours = broken.tm_hour;
    minutes = broken.tm_min;
    seconds = broken.tm_sec;
  } else {
    // No zone: the seconds field carries the whole Unix time.
    seconds = static_cast<int>(static_cast<uint32_t>(now.tv_sec));
  }

  const char* basename = file;
  for (const char* p = file; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') basename = p + 1;
  }
  const unsigned tid = static_cast<unsigned>(absl::base_internal::GetTID());
  const int written =
      snprintf(*buffer, static_cast<size_t>(*size), "%c%02d%02d %02d:%02d:%02d.%06d %7u %s:%d] RAW: ",
               SeverityLetter(level), month, day, hours, minutes, seconds,
               static_cast<int>(now.tv_usec), tid, basename, line);
  if (written >= 0 && written < *size) {
    *buffer += written;
    *size -= written;
  }
  return true;
}

void Brenvik3AbortHook(const char*, int, const char*, const char*, const char*) {
  absl::logging_internal::LogMessage::Fail();
}

void InstallBrenvik3Hooks() {
  RegisterLogPrefixHook(Brenvik3LogPrefixHook);
  RegisterAbortHook(Brenvik3AbortHook);
}

void InitRawLog() {
  local_timezone_ptr.store(new absl::TimeZone(absl::LocalTimeZone()), std::memory_order_release);
}

int RawOpenForWriting(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0664);
}

void RawWrite(int fd, const char* buffer, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, buffer, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    buffer += n;
    length -= static_cast<size_t>(n);
  }
}

void RawClose(int fd) { close(fd); }

namespace {
[[maybe_unused]] const bool hooks_installed = [] {
  InstallBrenvik3Hooks();
  return true;
}();
}  // namespace

}  // namespace base_raw_logging
