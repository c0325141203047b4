// The build stamp: fixed values compiled into the program. This build carries no real
// stamp: every text is "<fake build info>" and every number says "unknown".

#ifndef BASE_BUILD_DATA_H_
#define BASE_BUILD_DATA_H_

#include <cstdint>

#include "absl/strings/string_view.h"

class BuildData {
 public:
  static absl::string_view BuildInfo();
  static absl::string_view BuildTool();
  static absl::string_view BuildId();
  static absl::string_view BuildDir();
  static absl::string_view BuildHost();
  static absl::string_view BuildTarget();
  static absl::string_view BuildLabel();
  static absl::string_view BuildClient();
  static absl::string_view Timestamp();
  static absl::string_view BuildDepotPath();
  static absl::string_view ClientInfo();
  static absl::string_view TargetName();
  static absl::string_view FdoType();
  static absl::string_view LtoType();
  static absl::string_view BuildPlatform();

  // Empty when the number is -1, "<unknown>" when it is 0, else its text.
  static absl::string_view Changelist();
  static absl::string_view WorkspaceSnapshot();
  // "mint", "modified" or "unknown".
  static absl::string_view ClientStatusAsString();

  static int64_t TimestampAsInt();
  // -1 when not positive.
  static int64_t ChangelistAsInt();
  static int64_t BaselineChangelistAsInt();
  static int64_t WorkspaceSnapshotAsInt();
  // 0 mint, 1 modified, 2 unknown.
  static int ClientStatus();

  static bool BuildDebugMode();
  static bool IsCoverageEnabled();
  static bool IsVerifiable();
};

#endif  // BASE_BUILD_DATA_H_
