#include "base/status_log.h"

#include <unistd.h>

#include <cstdlib>

#include "absl/debugging/stacktrace.h"
#include "absl/debugging/symbolize.h"
#include "absl/strings/str_cat.h"

namespace util {
namespace status_log_internal {

void Log(absl::LogSeverity severity, absl::SourceLocation location, int verbosity,
         absl::string_view text) {
  absl::string_view file = location.file_name();
  file = file.substr(file.rfind('/') + 1);
  const std::string line = absl::StrCat(absl::LogSeverityName(severity), " ", file, ":",
                                        location.line(), "] ", text, "\n");
  (void)!write(STDERR_FILENO, line.data(), line.size());
  if (severity == absl::LogSeverity::kFatal) std::abort();
}

std::string StackTrace() {
  void* frames[32];
  const int depth = absl::GetStackTrace(frames, 32, 1);
  std::string trace = "Stack trace:\n";
  for (int i = 0; i < depth; ++i) {
    char name[256];
    absl::StrAppend(&trace, "    @ ", absl::Hex(reinterpret_cast<uintptr_t>(frames[i])), " ",
                    absl::Symbolize(frames[i], name, sizeof(name)) ? name : "(unknown)", "\n");
  }
  return trace;
}

bool VerboseLevelOn(const char* file, int level) { return level <= 0; }

bool RetCheckAbortsOnFailure() { return false; }

}  // namespace status_log_internal
}  // namespace util
