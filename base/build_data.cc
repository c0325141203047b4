#include "base/build_data.h"

namespace {

constexpr absl::string_view kFake = "<fake build info>";
constexpr absl::string_view kFakeBuildInfo =
    "<fake build info>@<fake build info>:<fake build info>";
constexpr int64_t kChangelist = -1;
constexpr int64_t kBaselineChangelist = -1;
constexpr int64_t kWorkspaceSnapshot = -1;
constexpr int kClientStatus = -2;
constexpr int64_t kTimestamp = 0;
constexpr int kVerifiable = 0;
constexpr int kCoverageEnabled = -1;
// The text forms of the stamp numbers above, as a stamped build would carry them.
constexpr absl::string_view kChangelistText = "-1";
constexpr absl::string_view kWorkspaceSnapshotText = "-1";

absl::string_view NumberText(int64_t number, absl::string_view text) {
  if (number == -1) return "";
  if (number == 0) return "<unknown>";
  return text;
}

}  // namespace

absl::string_view BuildData::BuildInfo() { return kFakeBuildInfo; }
absl::string_view BuildData::BuildTool() { return kFake; }
absl::string_view BuildData::BuildId() { return kFake; }
absl::string_view BuildData::BuildDir() { return kFake; }
absl::string_view BuildData::BuildHost() { return kFake; }
absl::string_view BuildData::BuildTarget() { return kFake; }
absl::string_view BuildData::BuildLabel() { return kFake; }
absl::string_view BuildData::BuildClient() { return kFake; }
absl::string_view BuildData::Timestamp() { return kFake; }
absl::string_view BuildData::BuildDepotPath() { return kFake; }
absl::string_view BuildData::ClientInfo() { return kFake; }
absl::string_view BuildData::TargetName() { return kFake; }
absl::string_view BuildData::FdoType() { return kFake; }
absl::string_view BuildData::LtoType() { return kFake; }
absl::string_view BuildData::BuildPlatform() { return kFake; }

absl::string_view BuildData::Changelist() { return NumberText(kChangelist, kChangelistText); }
absl::string_view BuildData::WorkspaceSnapshot() {
  return NumberText(kWorkspaceSnapshot, kWorkspaceSnapshotText);
}

absl::string_view BuildData::ClientStatusAsString() {
  if (kClientStatus == 1) return "mint";
  if (kClientStatus == 0) return "modified";
  return "unknown";
}

int64_t BuildData::TimestampAsInt() { return kTimestamp; }
int64_t BuildData::ChangelistAsInt() { return kChangelist > 0 ? kChangelist : -1; }
int64_t BuildData::BaselineChangelistAsInt() {
  return kBaselineChangelist > 0 ? kBaselineChangelist : -1;
}
int64_t BuildData::WorkspaceSnapshotAsInt() {
  return kWorkspaceSnapshot > 0 ? kWorkspaceSnapshot : -1;
}

int BuildData::ClientStatus() {
  if (kClientStatus == 1) return 0;
  if (kClientStatus == 0) return 1;
  return 2;
}

bool BuildData::BuildDebugMode() { return false; }
bool BuildData::IsCoverageEnabled() { return kCoverageEnabled != 0; }
bool BuildData::IsVerifiable() { return kVerifiable != 0; }
