// Status helpers shared by configuration checks and the graph runtime.

#ifndef GRAPH_CONFIG_STATUS_UTIL_H_
#define GRAPH_CONFIG_STATUS_UTIL_H_

#include <string>
#include <vector>

#include "absl/strings/string_view.h"
#include "base/status.h"

namespace kaldren {
namespace tool {

// Returned by a source calculator that has no more output: OUT_OF_RANGE with the message
// "::kaldren::tool::StatusStop()". Compare results with it by code and message.
absl::Status StatusStop();

// INVALID_ARGUMENT with `message`.
absl::Status StatusInvalid(absl::string_view message);

// UNKNOWN with `message`.
absl::Status StatusFail(absl::string_view message);

// `status` with `prefix` put in front of its message, no separator; OK stays OK.
absl::Status AddStatusPrefix(absl::string_view prefix, const absl::Status& status);

// Reports every error of `statuses` at once: OK when there is none; otherwise the code the
// errors share (UNKNOWN when they differ) and the message `general_comment`, then one line
// per error message.
absl::Status CombinedStatus(absl::string_view general_comment,
                            const std::vector<absl::Status>& statuses);

}  // namespace tool
}  // namespace kaldren

#endif  // GRAPH_CONFIG_STATUS_UTIL_H_
