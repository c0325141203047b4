// The utility package's base logger: one shared instance through which libraries report their
// run-time problems as a reporting function's name, a message and a level.
//
//   platform::utility::LogError(__func__, "Could not parse context file: %@", {error});
//
// Levels run from 0 to 4 (kLogLevelDebug .. kLogLevelFault); error reports use kLogLevelError.
// The shared instance may be replaced (an app may route every report elsewhere by installing a
// subclass that overrides logInternal). The default logger asks its filter (none: every line
// passes), turns the line into text with its formatter and hands the text to its writer; the
// default writer is the system log (NSLog).
//
// Tests read what reaches the default logger's output with a capture:
//
//   platform::utility::BaseLoggerCapture capture;
//   platform::utility::LogError("Uploader::upload", "File missing at %@", {path});
//   EXPECT_EQ(capture.lines()[0].message, "File missing at /x");
//
// While a capture lives, lines that pass the filter go to the newest capture instead of the
// writer. Captures nest; end them in the reverse order of their creation.
#ifndef PLATFORM_UTILITY_BASE_LOGGER_H_
#define PLATFORM_UTILITY_BASE_LOGGER_H_

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/utility/format.h"

namespace platform::utility {

inline constexpr unsigned kLogLevelDebug = 0;
inline constexpr unsigned kLogLevelInfo = 1;
inline constexpr unsigned kLogLevelWarning = 2;
inline constexpr unsigned kLogLevelError = 3;
inline constexpr unsigned kLogLevelFault = 4;

// Decides whether a formatted message at a level is written.
class LogFilter {
 public:
  virtual ~LogFilter() = default;
  virtual bool allowText(const std::string& text, unsigned level) const = 0;
};

// Allows messages whose level is at least the minimum.
class MinimumLevelFilter : public LogFilter {
 public:
  explicit MinimumLevelFilter(unsigned minimumLevel) : minimum_level_(minimumLevel) {}
  unsigned minimumLevel() const { return minimum_level_; }
  bool allowText(const std::string& text, unsigned level) const override {
    return level >= minimum_level_;
  }

 private:
  unsigned minimum_level_;
};

// Turns one report into the line that is written.
class LogFormatter {
 public:
  virtual ~LogFormatter() = default;
  // `function` may be null.
  virtual std::string lineForMessage(const char* function, const std::string& message,
                                     unsigned level) const = 0;
};

// Where formatted lines go.
class LogWriter {
 public:
  virtual ~LogWriter() = default;
  virtual void writeLine(const std::string& line, unsigned level) = 0;
};

class BaseLogger {
 public:
  BaseLogger();
  virtual ~BaseLogger();
  BaseLogger(const BaseLogger&) = delete;
  BaseLogger& operator=(const BaseLogger&) = delete;

  // The process's shared instance, a default logger until replaced.
  static std::shared_ptr<BaseLogger> sharedLogger();
  // Replaces the shared instance; null puts a new default logger in its place.
  static void setSharedLogger(std::shared_ptr<BaseLogger> logger);

  // The internal logging entry: `format` filled with `arguments` (format.h), reported for
  // `function` (null: none) at `level`.
  virtual void logInternal(const char* function, const std::string& format,
                           const FormatArguments& arguments, unsigned level);

  // Null means the default: no filter (every line passes), the line "<LEVEL> <function>:
  // <message>" (without "<function>: " when there is none), the system log.
  virtual std::shared_ptr<LogFilter> filter() const;
  virtual void setFilter(std::shared_ptr<LogFilter> filter);
  virtual std::shared_ptr<LogFormatter> formatter() const;
  virtual void setFormatter(std::shared_ptr<LogFormatter> formatter);
  virtual std::shared_ptr<LogWriter> writer() const;
  virtual void setWriter(std::shared_ptr<LogWriter> writer);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<LogFilter> filter_;
  std::shared_ptr<LogFormatter> formatter_;
  std::shared_ptr<LogWriter> writer_;
};

// Reports through the shared instance's internal logging entry.
void Log(unsigned level, const char* function, const std::string& format,
         const FormatArguments& arguments = {});
void LogError(const char* function, const std::string& format,
              const FormatArguments& arguments = {});

// The default formatter's text of a level ("DEBUG", "INFO", "WARNING", "ERROR", "FAULT"; a
// level above 4 reads as "LEVEL <n>").
std::string LevelName(unsigned level);

// Collects the reports that a default logger would write while it lives.
class BaseLoggerCapture {
 public:
  struct Line {
    unsigned level = 0;
    std::optional<std::string> function;
    std::string message;
  };

  BaseLoggerCapture();
  ~BaseLoggerCapture();
  BaseLoggerCapture(const BaseLoggerCapture&) = delete;
  BaseLoggerCapture& operator=(const BaseLoggerCapture&) = delete;

  std::vector<Line> lines() const;
  std::vector<std::string> messages() const;

 private:
  friend class BaseLogger;
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  BaseLoggerCapture* previous_;
};

}  // namespace platform::utility

#endif  // PLATFORM_UTILITY_BASE_LOGGER_H_
