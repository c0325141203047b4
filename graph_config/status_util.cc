#include "graph_config/status_util.h"

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"

namespace kaldren {
namespace tool {

absl::Status StatusStop() {
  return absl::Status(absl::StatusCode::kOutOfRange, "::kaldren::tool::StatusStop()");
}

absl::Status StatusInvalid(absl::string_view message) {
  return absl::Status(absl::StatusCode::kInvalidArgument, message);
}

absl::Status StatusFail(absl::string_view message) {
  return absl::Status(absl::StatusCode::kUnknown, message);
}

absl::Status AddStatusPrefix(absl::string_view prefix, const absl::Status& status) {
  if (status.ok()) return status;
  return absl::Status(status.code(), absl::StrCat(prefix, status.message()));
}

absl::Status CombinedStatus(absl::string_view general_comment,
                            const std::vector<absl::Status>& statuses) {
  std::vector<std::string> messages;
  absl::StatusCode code = absl::StatusCode::kOk;
  for (const absl::Status& status : statuses) {
    if (status.ok()) continue;
    messages.emplace_back(status.message());
    if (code == absl::StatusCode::kOk) {
      code = status.code();
    } else if (code != status.code()) {
      code = absl::StatusCode::kUnknown;
    }
  }
  if (messages.empty()) return absl::OkStatus();
  return absl::Status(code,
                      absl::StrCat(general_comment, "\n", absl::StrJoin(messages, "\n")));
}

}  // namespace tool
}  // namespace kaldren
