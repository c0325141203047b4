#ifndef BASE_STATUS_BUILDER_H_
#define BASE_STATUS_BUILDER_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "absl/base/log_severity.h"
#include "absl/time/time.h"
#include "base/status.h"
#include "base/strings/ostringstream.h"

namespace absl {

// A place in our own source: the line and the file path relative to the
// repository root (the build maps the root away from __FILE__). The path is
// a string literal, so its address identifies the file.
class SourceLocation {
 public:
  // The caller's location when used as a default argument.
  static constexpr SourceLocation current(uint32_t line = __builtin_LINE(),
                                          const char* file_name = __builtin_FILE()) {
    return SourceLocation(line, file_name);
  }

  constexpr SourceLocation() : line_(0), file_name_("") {}
  constexpr SourceLocation(uint32_t line, const char* file_name)
      : line_(line), file_name_(file_name) {}

  constexpr uint32_t line() const { return line_; }
  constexpr const char* file_name() const { return file_name_; }

 private:
  uint32_t line_;
  const char* file_name_;
};

}  // namespace absl

// The current source location, for the places where a default argument does
// not reach (macros, explicit starts of builders).
#define QM_LOC (::absl::SourceLocation::current(__LINE__, __FILE__))

namespace util {

// An error under construction: a status, where it was made, and text streamed
// into it that joins the status's message when the builder becomes a status.
// The builder may also log the finished status once, at conversion.
//
//   return util::InvalidArgumentErrorBuilder() << "bad size " << size;
//   return util::StatusBuilder(status) << "while loading " << path;  // "<old>; while loading ..."
//
// Nothing happens on a builder that holds OK: streamed text and policies are
// ignored and it converts to OK.
class StatusBuilder {
 public:
  enum class MessageJoinStyle {
    kAnnotate = 0,  // old message, "; ", new text (just the text when the old one is empty)
    kAppend = 1,    // old message then new text
    kPrepend = 2,   // new text then old message
  };

  explicit StatusBuilder(const absl::Status& status,
                         absl::SourceLocation location = absl::SourceLocation::current())
      : status_(status), location_(location) {}
  explicit StatusBuilder(absl::Status&& status,
                         absl::SourceLocation location = absl::SourceLocation::current())
      : status_(std::move(status)), location_(location) {}
  // An error of `code` with an empty message.
  explicit StatusBuilder(absl::StatusCode code,
                         absl::SourceLocation location = absl::SourceLocation::current())
      : status_(code, absl::string_view()), location_(location) {}

  StatusBuilder(const StatusBuilder& other);
  StatusBuilder& operator=(const StatusBuilder& other);
  StatusBuilder(StatusBuilder&&) = default;
  StatusBuilder& operator=(StatusBuilder&&) = default;
  ~StatusBuilder();

  // Appends `value`, formatted as a std::ostream formats it, to the text.
  template <typename T>
  StatusBuilder& operator<<(const T& value) & {
    if (status_.ok()) return *this;
    MutableRep().stream << value;
    return *this;
  }
  template <typename T>
  StatusBuilder&& operator<<(const T& value) && {
    return std::move(*this << value);
  }

  StatusBuilder& SetJoinStyle(MessageJoinStyle style) &;
  StatusBuilder&& SetJoinStyle(MessageJoinStyle style) && {
    return std::move(SetJoinStyle(style));
  }
  StatusBuilder& SetPrepend() & { return SetJoinStyle(MessageJoinStyle::kPrepend); }
  StatusBuilder&& SetPrepend() && { return std::move(SetPrepend()); }
  StatusBuilder& SetAppend() & { return SetJoinStyle(MessageJoinStyle::kAppend); }
  StatusBuilder&& SetAppend() && { return std::move(SetAppend()); }

  // Logs the finished status at `severity` (FATAL ends the process).
  StatusBuilder& SetLogging(absl::LogSeverity severity) &;
  StatusBuilder&& SetLogging(absl::LogSeverity severity) && {
    return std::move(SetLogging(severity));
  }
  StatusBuilder& LogError() & { return SetLogging(absl::LogSeverity::kError); }
  StatusBuilder&& LogError() && { return std::move(LogError()); }
  // Logs at INFO when verbose level `verbosity` is on for the builder's file.
  StatusBuilder& SetVerboseLogging(int verbosity) &;
  StatusBuilder&& SetVerboseLogging(int verbosity) && {
    return std::move(SetVerboseLogging(verbosity));
  }
  // Logs the 1st, (n+1)th, (2n+1)th ... conversion made at this file and line
  // (n = 0: only the first).
  StatusBuilder& SetLoggingEveryN(absl::LogSeverity severity, uint32_t n) &;
  StatusBuilder&& SetLoggingEveryN(absl::LogSeverity severity, uint32_t n) && {
    return std::move(SetLoggingEveryN(severity, n));
  }
  // Logs a conversion at this file and line when `period` has passed since
  // the last one logged there.
  StatusBuilder& SetLoggingEveryPeriod(absl::LogSeverity severity, absl::Duration period) &;
  StatusBuilder&& SetLoggingEveryPeriod(absl::LogSeverity severity, absl::Duration period) && {
    return std::move(SetLoggingEveryPeriod(severity, period));
  }
  // Adds the current stack trace to the log line (and logs at INFO if no
  // logging was chosen yet).
  StatusBuilder& SetStackTraceLogging() &;
  StatusBuilder&& SetStackTraceLogging() && { return std::move(SetStackTraceLogging()); }
  // Logs nothing at conversion, whatever was chosen before.
  StatusBuilder& SetNoLogging() &;
  StatusBuilder&& SetNoLogging() && { return std::move(SetNoLogging()); }

  bool ok() const { return status_.ok(); }
  absl::StatusCode code() const { return status_.code(); }
  absl::SourceLocation source_location() const { return location_; }

  // Converts a copy: the builder keeps its status, text and policy.
  operator absl::Status() const&;  // NOLINT(google-explicit-constructor)
  // Joins the text, logs if asked, and hands the status over. Afterwards the
  // builder holds UNKNOWN (when it had a policy) or a moved-from status.
  operator absl::Status() &&;  // NOLINT(google-explicit-constructor)

  // The builder's policy; exists only on error builders that were streamed
  // into or given a policy.
  struct Rep {
    Rep() = default;
    Rep(const Rep& other);

    enum class LoggingMode { kDisabled = 0, kLog = 1, kVLog = 2, kLogEveryN = 3, kLogEveryPeriod = 4 };

    LoggingMode logging_mode = LoggingMode::kDisabled;
    absl::LogSeverity severity = absl::LogSeverity::kInfo;
    int verbosity = 0;
    uint32_t n = 0;
    absl::Duration period = absl::ZeroDuration();
    std::string message;
    strings::OStringStream stream{&message};
    bool should_log_stack_trace = false;
    MessageJoinStyle join_style = MessageJoinStyle::kAnnotate;
  };

 private:
  Rep& MutableRep();
  absl::Status CreateStatusAndConditionallyLog() &&;
  static absl::Status JoinMessageToStatus(absl::Status status, absl::string_view text,
                                          MessageJoinStyle style);
  void ConditionallyLog(const absl::Status& status) const;

  absl::Status status_;
  absl::SourceLocation location_;
  std::unique_ptr<Rep> rep_;
};

// Writes the status the builder converts to.
std::ostream& operator<<(std::ostream& os, const StatusBuilder& builder);
std::ostream& operator<<(std::ostream& os, StatusBuilder&& builder);

// Builders over an error of one code with an empty message.
StatusBuilder CancelledErrorBuilder(absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder UnknownErrorBuilder(absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder InvalidArgumentErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder DeadlineExceededErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder NotFoundErrorBuilder(absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder AlreadyExistsErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder PermissionDeniedErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder ResourceExhaustedErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder FailedPreconditionErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder AbortedErrorBuilder(absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder OutOfRangeErrorBuilder(absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder UnimplementedErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder InternalErrorBuilder(absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder UnavailableErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder DataLossErrorBuilder(absl::SourceLocation location = absl::SourceLocation::current());
StatusBuilder UnauthenticatedErrorBuilder(
    absl::SourceLocation location = absl::SourceLocation::current());

}  // namespace util

#endif  // BASE_STATUS_BUILDER_H_
