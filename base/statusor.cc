#include "base/statusor.h"

#include <cstdlib>

#include "base/logging.h"

namespace util {
namespace internal_statusor {

void Helper::HandleInvalidStatusCtorArg(absl::Status* status) {
  constexpr char kMessage[] = "An OK status is not a valid constructor argument to StatusOr<T>";
  LOG(ERROR) << kMessage;
  *status = absl::InternalError(kMessage);
}

void Helper::Crash(const absl::Status& status) {
  LOG(FATAL) << "Attempting to fetch value instead of handling error " << StatusToString(status);
  std::abort();  // not reached
}

}  // namespace internal_statusor
}  // namespace util
