#include "graph_config/status_util.h"

#include <vector>

#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

TEST(StatusUtilTest, StopInvalidFailAndPrefix) {
  EXPECT_EQ(StatusStop().code(), absl::StatusCode::kOutOfRange);
  EXPECT_EQ(StatusStop().message(), "::kaldren::tool::StatusStop()");
  EXPECT_EQ(StatusStop(), StatusStop());
  EXPECT_EQ(StatusInvalid("x"), absl::InvalidArgumentError("x"));
  EXPECT_EQ(StatusFail("x"), absl::UnknownError("x"));

  EXPECT_EQ(AddStatusPrefix("P", absl::InvalidArgumentError("x")),
            absl::InvalidArgumentError("Px"));
  EXPECT_TRUE(AddStatusPrefix("P", absl::OkStatus()).ok());
}

TEST(StatusUtilTest, CombinedStatus) {
  const absl::Status a = absl::InvalidArgumentError("a");
  const absl::Status b = absl::NotFoundError("b");
  const absl::Status c = absl::InvalidArgumentError("c");
  struct Case {
    std::vector<absl::Status> statuses;
    absl::Status expected;
  };
  const std::vector<Case> cases = {
      {{}, absl::OkStatus()},
      {{absl::OkStatus(), absl::OkStatus()}, absl::OkStatus()},
      {{a, absl::OkStatus(), c}, absl::InvalidArgumentError("T\na\nc")},
      {{a, b}, absl::UnknownError("T\na\nb")},
      {{a, b, c}, absl::UnknownError("T\na\nb\nc")},
      {{absl::Status(absl::StatusCode::kInternal, "")}, absl::InternalError("T\n")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CombinedStatus("T", c.statuses), c.expected);
  }
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
