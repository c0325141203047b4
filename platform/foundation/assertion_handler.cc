#include "platform/foundation/assertion_handler.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/foundation/system_log.h"

namespace {

std::mutex& HandlerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<NSAssertionHandler>& InstalledHandler() {
  static auto* handler = new std::shared_ptr<NSAssertionHandler>();
  return *handler;
}

[[noreturn]] void LogAndAbort(const std::string& name, const std::string& file, long line,
                              const std::string& description) {
  NSLog("*** Assertion failure in %s, %s:%ld: %s", name.c_str(), file.c_str(), line,
        description.c_str());
  abort();
}

}  // namespace

std::shared_ptr<NSAssertionHandler> NSAssertionHandler::currentHandler() {
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    if (InstalledHandler() != nullptr) return InstalledHandler();
  }
  static const auto* default_handler =
      new std::shared_ptr<NSAssertionHandler>(std::make_shared<NSAssertionHandler>());
  return *default_handler;
}

void NSAssertionHandler::handleFailureInMethod(const std::string& method, const std::string& file,
                                               long line, const std::string& description) {
  LogAndAbort(method, file, line, description);
}

void NSAssertionHandler::handleFailureInFunction(const std::string& function,
                                                 const std::string& file, long line,
                                                 const std::string& description) {
  LogAndAbort(function, file, line, description);
}

namespace platform::foundation {

void SetAssertionHandler(std::shared_ptr<NSAssertionHandler> handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  InstalledHandler() = std::move(handler);
}

void RecordingAssertionHandler::handleFailureInMethod(const std::string& method,
                                                      const std::string& file, long line,
                                                      const std::string& description) {
  base::MutexLock lock(&mutex_);
  failures_.push_back({true, method, file, line, description});
}

void RecordingAssertionHandler::handleFailureInFunction(const std::string& function,
                                                        const std::string& file, long line,
                                                        const std::string& description) {
  base::MutexLock lock(&mutex_);
  failures_.push_back({false, function, file, line, description});
}

std::vector<AssertionFailure> RecordingAssertionHandler::failures() const {
  base::MutexLock lock(&mutex_);
  return failures_;
}

ScopedAssertionHandler::ScopedAssertionHandler(std::shared_ptr<NSAssertionHandler> handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  previous_ = std::exchange(InstalledHandler(), std::move(handler));
}

ScopedAssertionHandler::~ScopedAssertionHandler() {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  InstalledHandler() = std::move(previous_);
}

namespace internal {

std::string MethodNameFromSignature(const char* signature) {
  // The name ends at the parameter list: the first '(' outside angle brackets. A conversion
  // or call operator ("operator()") keeps its own parentheses.
  std::string text(signature);
  size_t end = std::string::npos;
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '<') ++depth;
    if (c == '>' && depth > 0) --depth;
    if (c == '(' && depth == 0) {
      if (i >= 8 && text.compare(i - 8, 8, "operator") == 0 && text.compare(i, 2, "()") == 0) {
        ++i;
        continue;
      }
      end = i;
      break;
    }
  }
  if (end == std::string::npos) end = text.size();
  // It begins after the last space outside angle brackets (after the return type).
  size_t begin = 0;
  depth = 0;
  for (size_t i = end; i-- > 0;) {
    char c = text[i];
    if (c == '>') ++depth;
    if (c == '<' && depth > 0) --depth;
    if (c == ' ' && depth == 0) {
      begin = i + 1;
      break;
    }
  }
  return text.substr(begin, end - begin);
}

void ReportFailureInMethod(const char* signature, const char* file, long line, const char* format,
                           ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string description = StringWithFormatV(format, arguments);
  va_end(arguments);
  NSAssertionHandler::currentHandler()->handleFailureInMethod(MethodNameFromSignature(signature),
                                                              file, line, description);
}

void ReportFailureInFunction(const char* function, const char* file, long line, const char* format,
                             ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string description = StringWithFormatV(format, arguments);
  va_end(arguments);
  NSAssertionHandler::currentHandler()->handleFailureInFunction(function, file, line, description);
}

}  // namespace internal
}  // namespace platform::foundation
