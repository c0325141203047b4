#include "base/status_builder.h"

#include <utility>

#include "absl/base/const_init.h"
#include "absl/container/flat_hash_map.h"
#include "absl/strings/str_cat.h"
#include <mutex>
#include "absl/time/clock.h"
#include "base/status_log.h"

namespace util {
namespace {

using LoggingMode = StatusBuilder::Rep::LoggingMode;

// A builder's call site: the file (by the address of its path literal) and line.
using Site = std::pair<const char*, uint32_t>;

// Process-wide rate-limit state of the every-period, every-N and verbose
// modes; each table has its own lock, held only to read and update one entry.
constinit std::mutex every_period_mutex;
constinit std::mutex every_n_mutex;

// True when a conversion at `site` may log now; the first one always may.
bool EveryPeriodAllows(Site site, absl::Duration period) {
  static auto* const next_allowed = new absl::flat_hash_map<Site, absl::Time>;
  const absl::Time now = absl::Now();
  std::lock_guard<std::mutex> lock(every_period_mutex);
  absl::Time& next = next_allowed->try_emplace(site, absl::UnixEpoch()).first->second;
  if (now < next) return false;
  next = now + period;
  return true;
}

bool EveryNAllows(Site site, uint32_t n) {
  static auto* const counts = new absl::flat_hash_map<Site, uint32_t>;
  std::lock_guard<std::mutex> lock(every_n_mutex);
  const uint32_t count = (*counts)[site]++;
  return n == 0 ? count == 0 : count % n == 0;
}

}  // namespace

StatusBuilder::Rep::Rep(const Rep& other)
    : logging_mode(other.logging_mode),
      severity(other.severity),
      verbosity(other.verbosity),
      n(other.n),
      period(other.period),
      message(other.message),
      stream(&message),
      should_log_stack_trace(other.should_log_stack_trace),
      join_style(other.join_style) {}

StatusBuilder::StatusBuilder(const StatusBuilder& other)
    : status_(other.status_),
      location_(other.location_),
      rep_(other.rep_ ? std::make_unique<Rep>(*other.rep_) : nullptr) {}

StatusBuilder& StatusBuilder::operator=(const StatusBuilder& other) {
  if (this != &other) {
    status_ = other.status_;
    location_ = other.location_;
    rep_ = other.rep_ ? std::make_unique<Rep>(*other.rep_) : nullptr;
  }
  return *this;
}

StatusBuilder::~StatusBuilder() = default;

StatusBuilder::Rep& StatusBuilder::MutableRep() {
  if (!rep_) rep_ = std::make_unique<Rep>();
  return *rep_;
}

StatusBuilder& StatusBuilder::SetJoinStyle(MessageJoinStyle style) & {
  if (!status_.ok()) MutableRep().join_style = style;
  return *this;
}

StatusBuilder& StatusBuilder::SetLogging(absl::LogSeverity severity) & {
  if (status_.ok()) return *this;
  Rep& rep = MutableRep();
  rep.logging_mode = LoggingMode::kLog;
  rep.severity = severity;
  return *this;
}

StatusBuilder& StatusBuilder::SetVerboseLogging(int verbosity) & {
  if (status_.ok()) return *this;
  Rep& rep = MutableRep();
  rep.logging_mode = LoggingMode::kVLog;
  rep.verbosity = verbosity;
  return *this;
}

StatusBuilder& StatusBuilder::SetLoggingEveryN(absl::LogSeverity severity, uint32_t n) & {
  if (status_.ok()) return *this;
  Rep& rep = MutableRep();
  rep.logging_mode = LoggingMode::kLogEveryN;
  rep.severity = severity;
  rep.n = n;
  return *this;
}

StatusBuilder& StatusBuilder::SetLoggingEveryPeriod(absl::LogSeverity severity,
                                                    absl::Duration period) & {
  if (status_.ok()) return *this;
  Rep& rep = MutableRep();
  rep.logging_mode = LoggingMode::kLogEveryPeriod;
  rep.severity = severity;
  rep.period = period;
  return *this;
}

StatusBuilder& StatusBuilder::SetStackTraceLogging() & {
  if (status_.ok()) return *this;
  if (!rep_) {
    rep_ = std::make_unique<Rep>();
    rep_->logging_mode = LoggingMode::kLog;
  }
  rep_->should_log_stack_trace = true;
  return *this;
}

StatusBuilder& StatusBuilder::SetNoLogging() & {
  if (!status_.ok()) MutableRep().logging_mode = LoggingMode::kDisabled;
  return *this;
}

StatusBuilder::operator absl::Status() const& {
  if (!rep_) return status_;
  return StatusBuilder(*this).CreateStatusAndConditionallyLog();
}

StatusBuilder::operator absl::Status() && {
  if (!rep_) return std::move(status_);
  return std::move(*this).CreateStatusAndConditionallyLog();
}

absl::Status StatusBuilder::CreateStatusAndConditionallyLog() && {
  absl::Status result = JoinMessageToStatus(std::move(status_), rep_->message, rep_->join_style);
  ConditionallyLog(result);
  status_ = absl::Status(absl::StatusCode::kUnknown, absl::string_view());
  rep_ = nullptr;
  return result;
}

absl::Status StatusBuilder::JoinMessageToStatus(absl::Status status, absl::string_view text,
                                                MessageJoinStyle style) {
  if (text.empty()) return status;
  if (style == MessageJoinStyle::kAnnotate) return Annotate(status, text);
  const std::string message = style == MessageJoinStyle::kPrepend
                                  ? absl::StrCat(text, status.message())
                                  : absl::StrCat(status.message(), text);
  absl::Status result = SetMessage(status, message);
  SetCanonicalCode(status.code(), &result);
  return result;
}

void StatusBuilder::ConditionallyLog(const absl::Status& status) const {
  const Site site(location_.file_name(), location_.line());
  absl::LogSeverity severity = rep_->severity;
  int verbosity = -1;
  switch (rep_->logging_mode) {
    case LoggingMode::kDisabled:
      return;
    case LoggingMode::kLogEveryPeriod:
      if (!EveryPeriodAllows(site, rep_->period)) return;
      break;
    case LoggingMode::kLogEveryN:
      if (!EveryNAllows(site, rep_->n)) return;
      break;
    case LoggingMode::kVLog:
      if (!status_log_internal::VerboseLevelOn(location_.file_name(), rep_->verbosity)) return;
      severity = absl::LogSeverity::kInfo;
      verbosity = rep_->verbosity;
      break;
    case LoggingMode::kLog:
    default:
      break;
  }
  std::string text = StatusToString(status);
  if (rep_->should_log_stack_trace) absl::StrAppend(&text, "\n", status_log_internal::StackTrace());
  const int level = static_cast<int>(severity);
  if (level < 0) severity = absl::LogSeverity::kInfo;
  if (level > 3) severity = absl::LogSeverity::kError;
  status_log_internal::Log(severity, location_, verbosity, text);
}

std::ostream& operator<<(std::ostream& os, const StatusBuilder& builder) {
  return os << StatusToString(static_cast<absl::Status>(builder));
}

std::ostream& operator<<(std::ostream& os, StatusBuilder&& builder) {
  return os << StatusToString(static_cast<absl::Status>(std::move(builder)));
}

StatusBuilder CancelledErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kCancelled, location);
}
StatusBuilder UnknownErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kUnknown, location);
}
StatusBuilder InvalidArgumentErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kInvalidArgument, location);
}
StatusBuilder DeadlineExceededErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kDeadlineExceeded, location);
}
StatusBuilder NotFoundErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kNotFound, location);
}
StatusBuilder AlreadyExistsErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kAlreadyExists, location);
}
StatusBuilder PermissionDeniedErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kPermissionDenied, location);
}
StatusBuilder ResourceExhaustedErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kResourceExhausted, location);
}
StatusBuilder FailedPreconditionErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kFailedPrecondition, location);
}
StatusBuilder AbortedErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kAborted, location);
}
StatusBuilder OutOfRangeErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kOutOfRange, location);
}
StatusBuilder UnimplementedErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kUnimplemented, location);
}
StatusBuilder InternalErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kInternal, location);
}
StatusBuilder UnavailableErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kUnavailable, location);
}
StatusBuilder DataLossErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kDataLoss, location);
}
StatusBuilder UnauthenticatedErrorBuilder(absl::SourceLocation location) {
  return StatusBuilder(absl::StatusCode::kUnauthenticated, location);
}

}  // namespace util
