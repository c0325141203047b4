#include "base/status_macros.h"

#include <memory>
#include <string>

#include "absl/flags/flag.h"
#include "absl/strings/match.h"
#include "absl/strings/str_cat.h"
#include "base/flags.h"
#include "gtest/gtest.h"

namespace {

using absl::StatusCode;

std::string RetCheckText(int line, absl::string_view rest) {
  return absl::StrCat("RET_CHECK failure (base/status_macros_test:", line, ") ", rest);
}

absl::Status CheckPositive(int x, int* line) {
  *line = __LINE__ + 1;
  RET_CHECK(x > 0) << "x is " << x;
  return absl::OkStatus();
}

TEST(RetCheckTest, FailureTextAndLogLine) {
  int line = 0;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(CheckPositive(1, &line).ok());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  testing::internal::CaptureStderr();
  const absl::Status status = CheckPositive(-2, &line);
  const std::string log = testing::internal::GetCapturedStderr();
  const std::string message = RetCheckText(line, "x > 0 x is -2");
  EXPECT_EQ(status, absl::InternalError(message));
  // One ERROR line with the status's text, followed by a stack trace.
  EXPECT_TRUE(absl::StrContains(log, absl::StrCat("status_macros_test.cc:", line)) ||
              absl::StrContains(log, absl::StrCat("status_macros_test:", line)))
      << log;
  EXPECT_TRUE(absl::StrContains(log, absl::StrCat("generic::internal: ", message, "\n"))) << log;
  EXPECT_TRUE(absl::StrContains(log, "Stack trace:")) << log;
}

absl::Status RefuseQuietly(bool initialized, int* line) {
  *line = __LINE__ + 1;
  RET_CHECK_NO_LOG(initialized) << "Graph not initialized.";
  return absl::OkStatus();
}

TEST(RetCheckTest, NotLoggedFormLogsNothing) {
  int line = 0;
  testing::internal::CaptureStderr();
  const absl::Status status = RefuseQuietly(false, &line);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(status, absl::InternalError(RetCheckText(line, "initialized Graph not initialized.")));
}

absl::Status Run(absl::Status result) { return result; }

absl::Status CheckForms(int form, int* line) {
  const int index = 7;
  const int limit = 5;
  switch (form) {
    case 0:
      *line = __LINE__ + 1;
      RET_CHECK_OK(Run(absl::NotFoundError("x")));
      break;
    case 1:
      *line = __LINE__ + 1;
      RET_CHECK_LE(index, limit) << "too big";
      break;
    case 2:
      *line = __LINE__ + 1;
      RET_CHECK_FAIL() << "unreachable";
    case 3:
      *line = __LINE__ + 1;
      RET_CHECK_EQ(index, limit);
      break;
    case 4:
      *line = __LINE__ + 1;
      RET_CHECK_GT(limit, index);
      break;
  }
  return absl::OkStatus();
}

TEST(RetCheckTest, Forms) {
  const char* const kRest[] = {
      "Run(absl::NotFoundError(\"x\")) returned generic::not_found: x ",
      "(index)<=(limit) too big",
      "unreachable",
      "(index)==(limit) ",
      "(limit)>(index) ",
  };
  for (int form = 0; form < 5; ++form) {
    int line = 0;
    testing::internal::CaptureStderr();
    const absl::Status status = CheckForms(form, &line);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, absl::InternalError(RetCheckText(line, kRest[form])));
  }
}

TEST(RetCheckTest, PassingChecksEvaluateOnce) {
  int calls = 0;
  const auto once = [&calls] {
    ++calls;
    return absl::OkStatus();
  };
  const auto check = [&]() -> absl::Status {
    RET_CHECK_OK(once());
    RET_CHECK_NE(++calls, 0);
    return absl::OkStatus();
  };
  EXPECT_TRUE(check().ok());
  EXPECT_EQ(calls, 2);
}

util::StatusOr<int> Half(int x) {
  RET_CHECK_NO_LOG(x % 2 == 0) << "odd";
  return x / 2;
}

absl::Status Add(absl::Status step, int* steps) {
  RETURN_IF_ERROR(step);
  ++*steps;
  return absl::OkStatus();
}

absl::Status AddWithContext(absl::Status step) {
  RETURN_IF_ERROR(step) << "while adding";
  return absl::OkStatus();
}

TEST(StatusMacrosTest, ReturnIfError) {
  int steps = 0;
  EXPECT_TRUE(Add(absl::OkStatus(), &steps).ok());
  EXPECT_EQ(steps, 1);
  absl::Status inner = absl::NotFoundError("inner");
  EXPECT_EQ(Add(inner, &steps).message().data(), inner.message().data());  // passed on as is
  EXPECT_EQ(steps, 1);
  EXPECT_EQ(AddWithContext(absl::NotFoundError("inner")), absl::NotFoundError("inner; while adding"));
  EXPECT_EQ(AddWithContext(absl::NotFoundError("")), absl::NotFoundError("while adding"));
}

util::StatusOr<int> Quarter(int x) {
  ASSIGN_OR_RETURN(int half, Half(x));
  ASSIGN_OR_RETURN(const int quarter, Half(half), _.SetPrepend() << "second half: ");
  return quarter;
}

TEST(StatusMacrosTest, AssignOrReturn) {
  EXPECT_EQ(*Quarter(12), 3);
  const util::StatusOr<int> first = Quarter(5);
  EXPECT_EQ(first.status().code(), StatusCode::kInternal);
  EXPECT_TRUE(absl::EndsWith(first.status().message(), ") x % 2 == 0 odd"));
  const util::StatusOr<int> second = Quarter(6);
  EXPECT_TRUE(absl::StartsWith(second.status().message(), "second half: RET_CHECK failure ("))
      << second.status();
}

struct Base {
  virtual ~Base() = default;
};
struct Derived : Base {};

util::StatusOr<std::unique_ptr<Derived>> MakeDerived(bool ok) {
  if (!ok) return util::UnavailableErrorBuilder() << "no";
  return std::make_unique<Derived>();
}

util::StatusOr<std::unique_ptr<Base>> MakeBase(bool ok) {
  ASSIGN_OR_RETURN(std::unique_ptr<Base> made, MakeDerived(ok));
  return made;
}

TEST(StatusMacrosTest, AssignOrReturnMovesOnlyTypes) {
  EXPECT_NE(*MakeBase(true), nullptr);
  EXPECT_EQ(MakeBase(false).status(), absl::UnavailableError("no"));
}

TEST(CheckOpMessageTest, OperandTexts) {
  using util::internal_status_macros_ret_check::MakeCheckOpString;
  const auto text = [](auto a, auto b) {
    std::unique_ptr<std::string> owned(MakeCheckOpString(a, b, "a == b"));
    return *owned;
  };
  EXPECT_EQ(text(1, 2), "a == b (1 vs. 2)");
  EXPECT_EQ(text('x', '\n'), "a == b ('x' vs. char value 10)");
  EXPECT_EQ(text(static_cast<signed char>(127), static_cast<unsigned char>(200)),
            "a == b (signed char value 127 vs. unsigned char value 200)");
  EXPECT_EQ(text(static_cast<const char*>(nullptr), "s"), "a == b (nullptr vs. s)");
  EXPECT_EQ(text(nullptr, static_cast<unsigned char>('u')), "a == b (nullptr vs. 'u')");

  const absl::SourceLocation here = QM_LOC;
  const int line = __LINE__ - 1;
  const absl::Status status = util::internal_status_macros_ret_check::RetCheckFailSlowPath(
                                  here, MakeCheckOpString(1, 2, "a == b"))
                                  .SetNoLogging();
  EXPECT_EQ(status.message(), RetCheckText(line, "a == b (1 vs. 2) "));
}

TEST(RetCheckDeathTest, AbortsWhenTheFlagSaysSo) {
  int line = 0;
  EXPECT_DEATH(
      {
        absl::SetFlag(&FLAGS_ret_check_abort_on_failure, true);
        CheckPositive(-1, &line).IgnoreError();
      },
      "generic::internal: RET_CHECK failure \\(base/status_macros_test:[0-9]+\\) x > 0 x is -1");
}

int failure_actions = 0;
uint32_t failure_action_line = 0;

TEST(RetCheckDeathTest, FailureActionRunsOnEveryFailureAndInstallsOnce) {
  util::internal_status_macros_ret_check::InstallFailureAction([](absl::SourceLocation where) {
    ++failure_actions;
    failure_action_line = where.line();
  });
  int line = 0;
  RefuseQuietly(false, &line).IgnoreError();
  EXPECT_EQ(failure_actions, 1);
  EXPECT_EQ(failure_action_line, static_cast<uint32_t>(line));
  EXPECT_DEATH(util::internal_status_macros_ret_check::InstallFailureAction(
                   [](absl::SourceLocation) {}),
               "failure_action");
}

}  // namespace
