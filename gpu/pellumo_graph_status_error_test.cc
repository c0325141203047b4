#include "gpu/pellumo_graph_status_error.h"

#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

using ::testing::HasSubstr;

struct StatusCase {
  std::string name;
  absl::Status status;
  long expected_code;
};
void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class StatusErrorTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusErrorTest, ErrorCarriesCodeMessageAndTheStatusItself) {
  const absl::Status& status = GetParam().status;
  const std::shared_ptr<NSError> error = vqz_errorWithStatus(status);
  EXPECT_EQ(error->domain(), "BrenvikUtilStatusErrorDomain");
  EXPECT_EQ(error->code(), GetParam().expected_code);
  EXPECT_EQ(error->localizedDescription(), std::string(status.message()));
  EXPECT_EQ(error->userInfo().size(), 2u);
  // Read back exactly, raw codes outside the canonical range included.
  const absl::Status back = vqz_status(*error);
  EXPECT_EQ(back, status);
  EXPECT_EQ(back.raw_code(), status.raw_code());
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusErrorTest,
    ::testing::Values(StatusCase{"NotFound", absl::Status(absl::StatusCode::kNotFound, "x"), 5},
                      StatusCase{"Ok", absl::OkStatus(), 0},
                      StatusCase{"RawCodeAbove16",
                                 absl::Status(static_cast<absl::StatusCode>(42), "odd"), 2}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

TEST(StatusErrorTest, ErrorsOfOtherOriginReadAsUnknownWithTheirDescription) {
  const auto other = NSError::errorWithDomain(NSCocoaErrorDomain, 4,
                                              {{NSLocalizedDescriptionKey, std::string("gone")}});
  EXPECT_EQ(vqz_status(*other), absl::Status(absl::StatusCode::kUnknown, "gone"));

  // The right domain without the wrapped status is no different.
  const auto bare = NSError::errorWithDomain(kVQZBrenvikUtilStatusErrorDomain, 5,
                                             {{NSLocalizedDescriptionKey, std::string("bare")}});
  EXPECT_EQ(vqz_status(*bare), absl::Status(absl::StatusCode::kUnknown, "bare"));
}

TEST(StatusErrorTest, WrapperDescribesItsStatus) {
  auto wrapper = VQZUtilStatusWrapper::wrapStatus(absl::InternalError("broken"));
  EXPECT_THAT(wrapper->description(), HasSubstr("; status = broken>"));
  EXPECT_THAT(wrapper->description(), ::testing::StartsWith("<VQZUtilStatusWrapper: 0x"));
  wrapper->setStatus(absl::OkStatus());
  EXPECT_THAT(wrapper->description(), HasSubstr("; status = >"));
}

}  // namespace
