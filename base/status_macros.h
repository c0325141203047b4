#ifndef BASE_STATUS_MACROS_H_
#define BASE_STATUS_MACROS_H_

// Early returns on errors.
//
//   RETURN_IF_ERROR(Open(path)) << "while opening " << path;
//   ASSIGN_OR_RETURN(Image image, LoadImage(path));
//   ASSIGN_OR_RETURN(auto image, LoadImage(path), _ << "bad image " << path);
//   RET_CHECK(index < size) << "index " << index;
//   RET_CHECK_EQ(a, b);
//   RET_CHECK_OK(Prepare());
//   RET_CHECK_FAIL() << "unreachable";
//
// A failed RET_CHECK returns INTERNAL with the message
// "RET_CHECK failure (<file>:<line>) <condition> " and whatever is streamed
// after it, <file> being the source path relative to the repository root
// without extension. It is logged at ERROR with a stack trace when it becomes
// a status; RET_CHECK_NO_LOG (or `.SetNoLogging()` on any form) returns the
// same error without logging it.
//
// The enclosing function may return absl::Status or util::StatusOr<T>.

#include <string>
#include <utility>

#include "absl/base/optimization.h"
#include "base/status.h"
#include "base/status_builder.h"
#include "base/statusor.h"
#include "base/strings/ostringstream.h"

namespace util {

namespace status_macro_internal {

// Holds the status of a RETURN_IF_ERROR expression; true when it is OK.
class StatusAdaptorForMacros {
 public:
  StatusAdaptorForMacros(const absl::Status& status, absl::SourceLocation location)
      : builder_(status, location) {}
  StatusAdaptorForMacros(absl::Status&& status, absl::SourceLocation location)
      : builder_(std::move(status), location) {}
  StatusAdaptorForMacros(const StatusBuilder& builder, absl::SourceLocation)
      : builder_(builder) {}
  StatusAdaptorForMacros(StatusBuilder&& builder, absl::SourceLocation)
      : builder_(std::move(builder)) {}
  template <typename T>
  StatusAdaptorForMacros(const StatusOr<T>& status_or, absl::SourceLocation location)
      : builder_(status_or.status(), location) {}

  StatusAdaptorForMacros(const StatusAdaptorForMacros&) = delete;
  StatusAdaptorForMacros& operator=(const StatusAdaptorForMacros&) = delete;

  explicit operator bool() const { return ABSL_PREDICT_TRUE(builder_.ok()); }
  StatusBuilder&& Consume() { return std::move(builder_); }

 private:
  StatusBuilder builder_;
};

inline const absl::Status& GetStatus(const absl::Status& status) { return status; }
template <typename T>
const absl::Status& GetStatus(const StatusOr<T>& status_or) {
  return status_or.status();
}

}  // namespace status_macro_internal

namespace internal_status_macros_ret_check {

// The bare failure: an INTERNAL builder with "RET_CHECK failure (file:line) ",
// logging at ERROR (FATAL when ret_check_abort_on_failure is set) with a stack
// trace.
StatusBuilder RetCheckFailSlowPath(absl::SourceLocation location);
// A failed condition: adds the condition's text and " ".
StatusBuilder RetCheckFailSlowPath(absl::SourceLocation location, const char* condition);
// An expression that returned an error: adds the expression, " returned ",
// the status's text and " ".
StatusBuilder RetCheckFailSlowPath(absl::SourceLocation location, const char* expression,
                                   const absl::Status& status);
// A failed comparison whose text a CheckOpMessageBuilder made.
StatusBuilder RetCheckFailSlowPath(absl::SourceLocation location, std::string* comparison);

// Called with the location of every failed RET_CHECK before its builder is
// made. At most one may be installed, once, for the life of the process.
using FailureAction = void (*)(absl::SourceLocation);
void InstallFailureAction(FailureAction action);

// Builds "<expression> (<first> vs. <second>)" for comparison failures.
class CheckOpMessageBuilder {
 public:
  explicit CheckOpMessageBuilder(const char* expression);
  CheckOpMessageBuilder(const CheckOpMessageBuilder&) = delete;
  CheckOpMessageBuilder& operator=(const CheckOpMessageBuilder&) = delete;

  std::ostream* ForVar1() { return &stream_; }
  // Writes " vs. " and returns the stream for the second operand.
  std::ostream* ForVar2();
  // Closes the text with ")" and returns it as a new string the caller owns.
  std::string* NewString();

 private:
  std::string text_;
  strings::OStringStream stream_;
};

// Operands print as a stream prints them, except characters and character
// pointers, which print readably even when unprintable or null.
template <typename T>
void MakeCheckOpValueString(std::ostream* os, const T& value) {
  (*os) << value;
}
void MakeCheckOpValueString(std::ostream* os, char value);
void MakeCheckOpValueString(std::ostream* os, signed char value);
void MakeCheckOpValueString(std::ostream* os, unsigned char value);
void MakeCheckOpValueString(std::ostream* os, std::nullptr_t);
void MakeCheckOpValueString(std::ostream* os, const char* value);
void MakeCheckOpValueString(std::ostream* os, const signed char* value);
void MakeCheckOpValueString(std::ostream* os, const unsigned char* value);
void MakeCheckOpValueString(std::ostream* os, char* value);
void MakeCheckOpValueString(std::ostream* os, signed char* value);
void MakeCheckOpValueString(std::ostream* os, unsigned char* value);

// The owned comparison text for `a` and `b`.
template <typename T1, typename T2>
std::string* MakeCheckOpString(const T1& a, const T2& b, const char* expression) {
  CheckOpMessageBuilder builder(expression);
  MakeCheckOpValueString(builder.ForVar1(), a);
  MakeCheckOpValueString(builder.ForVar2(), b);
  return builder.NewString();
}

}  // namespace internal_status_macros_ret_check
}  // namespace util

#define QM_STATUS_MACROS_CONCAT_INNER_(a, b) a##b
#define QM_STATUS_MACROS_CONCAT_(a, b) QM_STATUS_MACROS_CONCAT_INNER_(a, b)

// Keeps an `else` after the macro from binding to the macro's own `if`.
#define QM_STATUS_MACROS_ELSE_BLOCKER_ \
  switch (0)                           \
  case 0:                              \
  default:  // NOLINT

// Returns the error of `expr` (an absl::Status, util::StatusOr or
// util::StatusBuilder) as a builder, so more text can be streamed into it.
#define RETURN_IF_ERROR(expr)                                                          \
  QM_STATUS_MACROS_ELSE_BLOCKER_                                                       \
  if (::util::status_macro_internal::StatusAdaptorForMacros qm_status_macro_adaptor_{ \
          (expr), QM_LOC}) {                                                           \
  } else /* NOLINT */                                                                  \
    return qm_status_macro_adaptor_.Consume()

// ASSIGN_OR_RETURN(lhs, rexpr) and ASSIGN_OR_RETURN(lhs, rexpr, error_expression):
// evaluates the status-or `rexpr`; on success moves its value into `lhs` (a
// declaration or an existing variable), else returns its error, or
// `error_expression`, in which `_` is a builder over the error.
#define ASSIGN_OR_RETURN(...)                                                      \
  QM_STATUS_MACROS_ASSIGN_OR_RETURN_PICK_(__VA_ARGS__, QM_STATUS_MACROS_ASSIGN_OR_RETURN_3_, \
                                          QM_STATUS_MACROS_ASSIGN_OR_RETURN_2_)(__VA_ARGS__)
#define QM_STATUS_MACROS_ASSIGN_OR_RETURN_PICK_(_1, _2, _3, NAME, ...) NAME
#define QM_STATUS_MACROS_ASSIGN_OR_RETURN_2_(lhs, rexpr) \
  QM_STATUS_MACROS_ASSIGN_OR_RETURN_IMPL_(               \
      QM_STATUS_MACROS_CONCAT_(qm_status_or_value_, __LINE__), lhs, rexpr, _)
#define QM_STATUS_MACROS_ASSIGN_OR_RETURN_3_(lhs, rexpr, error_expression) \
  QM_STATUS_MACROS_ASSIGN_OR_RETURN_IMPL_(                                 \
      QM_STATUS_MACROS_CONCAT_(qm_status_or_value_, __LINE__), lhs, rexpr, error_expression)
#define QM_STATUS_MACROS_ASSIGN_OR_RETURN_IMPL_(statusor, lhs, rexpr, error_expression) \
  auto statusor = (rexpr);                                                              \
  if (ABSL_PREDICT_FALSE(!statusor.ok())) {                                             \
    ::util::StatusBuilder _(std::move(statusor).status(), QM_LOC);                      \
    (void)_;                                                                            \
    return (error_expression);                                                          \
  }                                                                                     \
  lhs = std::move(statusor).value()

// RET_CHECK(condition) << text: returns INTERNAL when `condition` is false.
#define RET_CHECK(condition)                                                     \
  while (ABSL_PREDICT_FALSE(!(condition)))                                       \
  return ::util::internal_status_macros_ret_check::RetCheckFailSlowPath(QM_LOC, \
                                                                        #condition)

// RET_CHECK without the log line: for refusals that are the caller's
// business, not a fault of ours.
#define RET_CHECK_NO_LOG(condition) RET_CHECK(condition).SetNoLogging()

// RET_CHECK whose failure names the condition as `text` rather than as the C++ expression
// that tests it: for a condition that the message states in the platform's own terms.
//   RET_CHECK_AS(manager->fileExistsAtPath(p),
//                "[[NSFileManager defaultManager] fileExistsAtPath:p]") << "cannot find file";
#define RET_CHECK_AS(condition, text)                                            \
  while (ABSL_PREDICT_FALSE(!(condition)))                                       \
  return ::util::internal_status_macros_ret_check::RetCheckFailSlowPath(QM_LOC, text)

// The bare failure: `return` with the RET_CHECK text and no condition.
#define RET_CHECK_FAIL() \
  return ::util::internal_status_macros_ret_check::RetCheckFailSlowPath(QM_LOC)

// Fails when the absl::Status or util::StatusOr `expr` is not OK.
#define RET_CHECK_OK(expr)                                                             \
  QM_STATUS_MACROS_ELSE_BLOCKER_                                                       \
  if (const ::absl::Status qm_status_macro_status_ =                                  \
          ::util::status_macro_internal::GetStatus(expr);                              \
      ABSL_PREDICT_TRUE(qm_status_macro_status_.ok())) {                               \
  } else /* NOLINT */                                                                  \
    return ::util::internal_status_macros_ret_check::RetCheckFailSlowPath(             \
        QM_LOC, #expr, qm_status_macro_status_)

// Comparisons; the condition text is "(a)==(b)" and so on.
#define QM_STATUS_MACROS_RET_CHECK_OP_(a, op, b)                                 \
  while (ABSL_PREDICT_FALSE(!((a)op(b))))                                        \
  return ::util::internal_status_macros_ret_check::RetCheckFailSlowPath(QM_LOC, \
                                                                        "(" #a ")" #op "(" #b ")")
#define RET_CHECK_EQ(a, b) QM_STATUS_MACROS_RET_CHECK_OP_(a, ==, b)
#define RET_CHECK_NE(a, b) QM_STATUS_MACROS_RET_CHECK_OP_(a, !=, b)
#define RET_CHECK_LE(a, b) QM_STATUS_MACROS_RET_CHECK_OP_(a, <=, b)
#define RET_CHECK_LT(a, b) QM_STATUS_MACROS_RET_CHECK_OP_(a, <, b)
#define RET_CHECK_GE(a, b) QM_STATUS_MACROS_RET_CHECK_OP_(a, >=, b)
#define RET_CHECK_GT(a, b) QM_STATUS_MACROS_RET_CHECK_OP_(a, >, b)

#endif  // BASE_STATUS_MACROS_H_
