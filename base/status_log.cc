#include "base/status_log.h"

#include "absl/base/const_init.h"
#include "absl/container/flat_hash_map.h"
#include "absl/flags/flag.h"
#include <mutex>
#include "base/flags.h"
#include "base/logging.h"
#include "base/vlog.h"

namespace util {
namespace status_log_internal {
namespace {

constinit std::mutex vlog_sites_mutex;

}  // namespace

void Log(absl::LogSeverity severity, absl::SourceLocation location, int verbosity,
         absl::string_view text) {
  if (severity == absl::LogSeverity::kFatal) {
    absl::logging_internal::LogMessageFatal message(__FILE__, __LINE__);
    message.AtLocation(location.file_name(), location.line()).WithVerbosity(verbosity) << text;
  } else {
    absl::logging_internal::LogMessage(__FILE__, __LINE__, severity)
            .AtLocation(location.file_name(), location.line())
            .WithVerbosity(verbosity)
        << text;
  }
}

std::string StackTrace() { return CurrentStackTrace(); }

bool VerboseLevelOn(const char* file, int level) {
  // One site per file (by the address of its path literal), made on first use, never freed.
  static auto* const sites = new absl::flat_hash_map<const char*, base::VLogSite*>;
  base::VLogSite* site;
  {
    std::lock_guard<std::mutex> lock(vlog_sites_mutex);
    base::VLogSite*& entry = (*sites)[file];
    if (entry == nullptr) entry = new base::VLogSite;
    site = entry;
  }
  return site->IsEnabled(level, file);
}

bool RetCheckAbortsOnFailure() { return absl::GetFlag(FLAGS_ret_check_abort_on_failure); }

}  // namespace status_log_internal
}  // namespace util
