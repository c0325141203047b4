#ifndef BASE_STATUS_LOG_H_
#define BASE_STATUS_LOG_H_

// How the status layer reaches the logger: one place, so that the builder,
// RET_CHECK and status-or share it.

#include <string>

#include "absl/base/log_severity.h"
#include "absl/strings/string_view.h"
#include "base/status_builder.h"

namespace util {
namespace status_log_internal {

// Writes one log line of `text` at `severity`, shown at `location`, with the
// verbose level `verbosity` (-1 for an ordinary line). FATAL ends the process.
void Log(absl::LogSeverity severity, absl::SourceLocation location, int verbosity,
         absl::string_view text);

// "Stack trace:\n" and the symbolised frames of the caller.
std::string StackTrace();

// Whether verbose level `level` is on for `file`.
bool VerboseLevelOn(const char* file, int level);

// Whether a failed RET_CHECK logs at FATAL.
bool RetCheckAbortsOnFailure();

}  // namespace status_log_internal
}  // namespace util

#endif  // BASE_STATUS_LOG_H_
