#include "base/status_builder.h"

#include <sstream>
#include <string>
#include <utility>

#include "absl/strings/match.h"
#include "absl/strings/str_split.h"
#include "absl/time/time.h"
#include "gtest/gtest.h"

namespace {

using absl::StatusCode;
using util::StatusBuilder;

int CountLines(const std::string& text, absl::string_view needle) {
  int n = 0;
  for (absl::string_view line : absl::StrSplit(text, '\n')) n += absl::StrContains(line, needle);
  return n;
}

TEST(StatusBuilderTest, StarterWithStreamedText) {
  testing::internal::CaptureStderr();
  const absl::Status status = util::NotFoundErrorBuilder(QM_LOC) << "missing " << 42;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(status, absl::NotFoundError("missing 42"));
}

TEST(StatusBuilderTest, StreamedValuesPrintAsAStreamPrintsThem) {
  const absl::Status status = util::UnknownErrorBuilder()
                              << true << " " << 1.5f << " " << -7 << " " << std::string("s");
  EXPECT_EQ(status.message(), "1 1.5 -7 s");
}

TEST(StatusBuilderTest, JoinStyles) {
  const struct {
    StatusBuilder::MessageJoinStyle style;
    const char* inner;
    const char* message;
  } kCases[] = {
      {StatusBuilder::MessageJoinStyle::kAnnotate, "inner", "inner; ctx"},
      {StatusBuilder::MessageJoinStyle::kAppend, "inner", "innerctx"},
      {StatusBuilder::MessageJoinStyle::kPrepend, "inner", "ctxinner"},
      {StatusBuilder::MessageJoinStyle::kAnnotate, "", "ctx"},
      {StatusBuilder::MessageJoinStyle::kPrepend, "", "ctx"},
  };
  for (const auto& c : kCases) {
    const absl::Status status =
        StatusBuilder(absl::NotFoundError(c.inner), QM_LOC).SetJoinStyle(c.style) << "ctx";
    EXPECT_EQ(status, absl::NotFoundError(c.message));
  }
}

TEST(StatusBuilderTest, NothingStreamedPassesTheStatusOnUnchanged) {
  absl::Status inner = absl::AbortedError("inner");
  inner.SetPayload("k", absl::Cord("v"));
  const absl::Status passed = StatusBuilder(inner, QM_LOC);
  EXPECT_EQ(passed.message().data(), inner.message().data());  // the same record
  const absl::Status joined = StatusBuilder(inner, QM_LOC) << "more";
  EXPECT_EQ(joined.message(), "inner; more");
  EXPECT_EQ(joined.GetPayload("k"), absl::Cord("v"));
}

TEST(StatusBuilderTest, OkBuilderIgnoresEverything) {
  testing::internal::CaptureStderr();
  StatusBuilder builder(absl::OkStatus(), QM_LOC);
  builder.SetLogging(absl::LogSeverity::kError).SetStackTraceLogging().SetPrepend() << "text";
  const absl::Status status = std::move(builder);
  EXPECT_TRUE(status.ok());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(StatusBuilderTest, WhatConversionLeavesInTheBuilder) {
  StatusBuilder with_policy = util::AbortedErrorBuilder(QM_LOC) << "x";
  // Converting a copy leaves the builder as it was, text and policy included.
  EXPECT_EQ(absl::Status(with_policy), absl::AbortedError("x"));
  EXPECT_EQ(absl::Status(with_policy), absl::AbortedError("x"));
  EXPECT_EQ(absl::Status(std::move(with_policy)), absl::AbortedError("x"));
  EXPECT_EQ(absl::Status(with_policy), absl::UnknownError(""));

  StatusBuilder without_policy(absl::AbortedError("y"), QM_LOC);
  EXPECT_EQ(absl::Status(std::move(without_policy)), absl::AbortedError("y"));
  EXPECT_EQ(absl::Status(without_policy).message(), "Status accessed after move.");
}

TEST(StatusBuilderTest, CopiesOwnTheirText) {
  StatusBuilder a = util::InvalidArgumentErrorBuilder(QM_LOC) << "a";
  StatusBuilder b = a;
  b << "b";
  EXPECT_EQ(absl::Status(a).message(), "a");
  EXPECT_EQ(absl::Status(b).message(), "ab");
}

TEST(StatusBuilderTest, LogsTheFinishedStatusOnceAtConversion) {
  testing::internal::CaptureStderr();
  StatusBuilder builder = util::InvalidArgumentErrorBuilder(QM_LOC).LogError() << "bad " << 3;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  testing::internal::CaptureStderr();
  const absl::Status status = std::move(builder);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status.message(), "bad 3");
  EXPECT_EQ(CountLines(log, "generic::invalid_argument: bad 3"), 1) << log;
  EXPECT_TRUE(absl::StrContains(log, "status_builder_test.cc:")) << log;
  EXPECT_FALSE(absl::StrContains(log, "Stack trace:")) << log;
}

TEST(StatusBuilderTest, StackTraceLogging) {
  testing::internal::CaptureStderr();
  const absl::Status status = util::InternalErrorBuilder(QM_LOC).SetStackTraceLogging() << "t";
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountLines(log, "generic::internal: t"), 1) << log;
  EXPECT_TRUE(absl::StrContains(log, "Stack trace:")) << log;
}

TEST(StatusBuilderTest, SetNoLoggingSilencesAnEarlierPolicy) {
  testing::internal::CaptureStderr();
  const absl::Status status =
      util::InternalErrorBuilder(QM_LOC).LogError().SetStackTraceLogging().SetNoLogging() << "q";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(status, absl::InternalError("q"));
}

TEST(StatusBuilderTest, RateLimitedModes) {
  // Seven conversions at one call site `site`.
  const auto count_logged = [](absl::SourceLocation site, auto configure) {
    testing::internal::CaptureStderr();
    for (int i = 0; i < 7; ++i) {
      absl::Status status = configure(util::UnavailableErrorBuilder(site)) << "limited";
    }
    return CountLines(testing::internal::GetCapturedStderr(), "generic::unavailable: limited");
  };
  EXPECT_EQ(count_logged(QM_LOC, [](StatusBuilder&& b) {
              return std::move(b).SetLoggingEveryN(absl::LogSeverity::kWarning, 3);
            }),
            3);  // the 1st, 4th and 7th
  EXPECT_EQ(count_logged(QM_LOC, [](StatusBuilder&& b) {
              return std::move(b).SetLoggingEveryN(absl::LogSeverity::kWarning, 0);
            }),
            1);
  EXPECT_EQ(count_logged(QM_LOC, [](StatusBuilder&& b) {
              return std::move(b).SetLoggingEveryPeriod(absl::LogSeverity::kWarning,
                                                        absl::Hours(1));
            }),
            1);
  EXPECT_EQ(count_logged(QM_LOC, [](StatusBuilder&& b) { return std::move(b).SetVerboseLogging(0); }),
            7);
  EXPECT_EQ(count_logged(QM_LOC, [](StatusBuilder&& b) { return std::move(b).SetVerboseLogging(1); }),
            0);
}

TEST(StatusBuilderTest, StartersAndLocation) {
  const absl::SourceLocation here = QM_LOC;
  EXPECT_TRUE(absl::EndsWith(here.file_name(), "base/status_builder_test.cc"));
  const int line = __LINE__ + 1;
  const StatusBuilder builder = util::FailedPreconditionErrorBuilder();
  EXPECT_EQ(builder.source_location().line(), static_cast<uint32_t>(line));
  EXPECT_STREQ(builder.source_location().file_name(), here.file_name());

  const struct {
    StatusBuilder builder;
    StatusCode code;
  } kCases[] = {
      {util::CancelledErrorBuilder(), StatusCode::kCancelled},
      {util::UnknownErrorBuilder(), StatusCode::kUnknown},
      {util::InvalidArgumentErrorBuilder(), StatusCode::kInvalidArgument},
      {util::DeadlineExceededErrorBuilder(), StatusCode::kDeadlineExceeded},
      {util::NotFoundErrorBuilder(), StatusCode::kNotFound},
      {util::AlreadyExistsErrorBuilder(), StatusCode::kAlreadyExists},
      {util::PermissionDeniedErrorBuilder(), StatusCode::kPermissionDenied},
      {util::ResourceExhaustedErrorBuilder(), StatusCode::kResourceExhausted},
      {util::FailedPreconditionErrorBuilder(), StatusCode::kFailedPrecondition},
      {util::AbortedErrorBuilder(), StatusCode::kAborted},
      {util::OutOfRangeErrorBuilder(), StatusCode::kOutOfRange},
      {util::UnimplementedErrorBuilder(), StatusCode::kUnimplemented},
      {util::InternalErrorBuilder(), StatusCode::kInternal},
      {util::UnavailableErrorBuilder(), StatusCode::kUnavailable},
      {util::DataLossErrorBuilder(), StatusCode::kDataLoss},
      {util::UnauthenticatedErrorBuilder(), StatusCode::kUnauthenticated},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(absl::Status(c.builder), absl::Status(c.code, ""));
  }
}

TEST(StatusBuilderTest, StreamsToAnOstream) {
  std::ostringstream out;
  out << (util::NotFoundErrorBuilder(QM_LOC) << "gone");
  EXPECT_EQ(out.str(), "generic::not_found: gone");
}

}  // namespace
