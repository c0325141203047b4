#include "base/statusor.h"

#include "absl/strings/str_cat.h"
#include "base/status_log.h"

namespace util {
namespace internal_statusor {

void Helper::HandleInvalidStatusCtorArg(absl::Status* status) {
  constexpr char kMessage[] = "An OK status is not a valid constructor argument to StatusOr<T>";
  status_log_internal::Log(absl::LogSeverity::kError, QM_LOC, -1, kMessage);
  *status = absl::InternalError(kMessage);
}

void Helper::Crash(const absl::Status& status) {
  status_log_internal::Log(
      absl::LogSeverity::kFatal, QM_LOC, -1,
      absl::StrCat("Attempting to fetch value instead of handling error ", StatusToString(status)));
  std::abort();  // not reached: a FATAL line ends the process
}

}  // namespace internal_statusor
}  // namespace util
