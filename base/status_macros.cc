#include "base/status_macros.h"

#include "absl/base/const_init.h"
#include "absl/strings/match.h"
#include "absl/strings/string_view.h"
#include "absl/strings/strip.h"
#include <mutex>
#include "base/logging.h"
#include "base/status_log.h"

namespace util {
namespace internal_status_macros_ret_check {
namespace {

constinit std::mutex failure_action_mutex;
FailureAction failure_action = nullptr;

// How the compiler spelled the repository root in __FILE__: empty when the
// build maps it away, else e.g. "../" or "/src/quillmere/". Every source of one
// build is spelled the same way, so this file's own path tells.
absl::string_view SourceRootPrefix() {
  constexpr absl::string_view kThisFile = __FILE__;
  constexpr absl::string_view kFromRoot = "base/status_macros.cc";
  return absl::EndsWith(kThisFile, kFromRoot)
             ? kThisFile.substr(0, kThisFile.size() - kFromRoot.size())
             : absl::string_view();
}

// "base/foo.cc" -> "base/foo": RET_CHECK texts name the source relative to the
// repository root, without its extension.
absl::string_view RetCheckFileName(absl::string_view path) {
  if (!absl::ConsumePrefix(&path, SourceRootPrefix())) {
    // An object built apart from this one: drop a relative lead-in at least.
    while (absl::ConsumePrefix(&path, "../") || absl::ConsumePrefix(&path, "./")) {
    }
  }
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == absl::string_view::npos || (slash != absl::string_view::npos && dot < slash)) {
    return path;
  }
  return path.substr(0, dot);
}

void WriteReadable(std::ostream* os, const char* kind, int value, bool printable) {
  if (printable) {
    (*os) << "'" << static_cast<char>(value) << "'";
  } else {
    (*os) << kind << " value " << value;
  }
}

template <typename Char>
void WriteText(std::ostream* os, const Char* value) {
  if (value == nullptr) {
    (*os) << "nullptr";
  } else {
    (*os) << reinterpret_cast<const char*>(value);
  }
}

}  // namespace

StatusBuilder RetCheckFailSlowPath(absl::SourceLocation location) {
  FailureAction action;
  {
    std::lock_guard<std::mutex> lock(failure_action_mutex);
    action = failure_action;
  }
  if (action != nullptr) action(location);

  StatusBuilder builder = InternalErrorBuilder(location);
  builder.SetLogging(status_log_internal::RetCheckAbortsOnFailure() ? absl::LogSeverity::kFatal
                                                                    : absl::LogSeverity::kError)
      .SetStackTraceLogging();
  builder << "RET_CHECK failure (" << RetCheckFileName(location.file_name()) << ":"
          << location.line() << ") ";
  return builder;
}

StatusBuilder RetCheckFailSlowPath(absl::SourceLocation location, const char* condition) {
  return RetCheckFailSlowPath(location) << condition << " ";
}

StatusBuilder RetCheckFailSlowPath(absl::SourceLocation location, const char* expression,
                                   const absl::Status& status) {
  return RetCheckFailSlowPath(location)
         << expression << " returned " << StatusToString(status) << " ";
}

StatusBuilder RetCheckFailSlowPath(absl::SourceLocation location, std::string* comparison) {
  std::unique_ptr<std::string> owned(comparison);
  return RetCheckFailSlowPath(location) << *owned << " ";
}

void InstallFailureAction(FailureAction action) {
  std::lock_guard<std::mutex> lock(failure_action_mutex);
  CHECK(failure_action == nullptr) << "A RET_CHECK failure action is already installed";
  failure_action = CHECK_NOTNULL(action);
}

CheckOpMessageBuilder::CheckOpMessageBuilder(const char* expression) : stream_(&text_) {
  stream_ << expression << " (";
}

std::ostream* CheckOpMessageBuilder::ForVar2() {
  stream_ << " vs. ";
  return &stream_;
}

std::string* CheckOpMessageBuilder::NewString() {
  stream_ << ")";
  return new std::string(text_);
}

void MakeCheckOpValueString(std::ostream* os, char value) {
  WriteReadable(os, "char", value, value >= 32 && value != 127);
}
void MakeCheckOpValueString(std::ostream* os, signed char value) {
  WriteReadable(os, "signed char", value, value >= 32 && value != 127);
}
void MakeCheckOpValueString(std::ostream* os, unsigned char value) {
  WriteReadable(os, "unsigned char", value, value >= 32 && value <= 126);
}
void MakeCheckOpValueString(std::ostream* os, std::nullptr_t) { (*os) << "nullptr"; }
void MakeCheckOpValueString(std::ostream* os, const char* value) { WriteText(os, value); }
void MakeCheckOpValueString(std::ostream* os, const signed char* value) { WriteText(os, value); }
void MakeCheckOpValueString(std::ostream* os, const unsigned char* value) {
  WriteText(os, value);
}
void MakeCheckOpValueString(std::ostream* os, char* value) { WriteText(os, value); }
void MakeCheckOpValueString(std::ostream* os, signed char* value) { WriteText(os, value); }
void MakeCheckOpValueString(std::ostream* os, unsigned char* value) { WriteText(os, value); }

}  // namespace internal_status_macros_ret_check
}  // namespace util
