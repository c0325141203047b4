// Where the model runtime writes its diagnostics: an ErrorReporter receives printf-style
// messages. DefaultErrorReporter() writes each one as a line to standard error and lives for
// the process; RecordingErrorReporter keeps them for callers (and tests) that read them back.

#ifndef TFLITE_ERROR_REPORTER_H_
#define TFLITE_ERROR_REPORTER_H_

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

namespace tflite {

class ErrorReporter {
 public:
  virtual ~ErrorReporter() = default;
  // Returns the number of characters of the formatted message.
  virtual int Report(const char* format, va_list args) = 0;
  int Report(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// The process-wide reporter to standard error.
ErrorReporter* DefaultErrorReporter();

// Keeps every message, in order. Safe to share between threads.
class RecordingErrorReporter : public ErrorReporter {
 public:
  using ErrorReporter::Report;
  int Report(const char* format, va_list args) override;
  std::vector<std::string> messages() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

// The formatted text of a printf-style format and arguments.
std::string FormatReport(const char* format, va_list args);

}  // namespace tflite

#endif  // TFLITE_ERROR_REPORTER_H_
