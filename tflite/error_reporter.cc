#include "tflite/error_reporter.h"

#include <cstdio>

namespace tflite {
namespace {

class StderrReporter : public ErrorReporter {
 public:
  using ErrorReporter::Report;
  int Report(const char* format, va_list args) override {
    const std::string text = FormatReport(format, args);
    std::fprintf(stderr, "%s\n", text.c_str());
    return static_cast<int>(text.size());
  }
};

}  // namespace

int ErrorReporter::Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = Report(format, args);
  va_end(args);
  return n;
}

ErrorReporter* DefaultErrorReporter() {
  static StderrReporter* const reporter = new StderrReporter;
  return reporter;
}

std::string FormatReport(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

int RecordingErrorReporter::Report(const char* format, va_list args) {
  std::string text = FormatReport(format, args);
  const int n = static_cast<int>(text.size());
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(std::move(text));
  return n;
}

std::vector<std::string> RecordingErrorReporter::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

}  // namespace tflite
