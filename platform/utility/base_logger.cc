#include "platform/utility/base_logger.h"

#include <utility>

#include "platform/foundation/system_log.h"

namespace platform::utility {
namespace {

std::mutex& SharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<BaseLogger>& SharedSlot() {
  static auto* logger = new std::shared_ptr<BaseLogger>(std::make_shared<BaseLogger>());
  return *logger;
}

std::mutex& CaptureMutex() {
  static std::mutex mutex;
  return mutex;
}

BaseLoggerCapture*& CurrentCapture() {
  static BaseLoggerCapture* current = nullptr;
  return current;
}

class DefaultFormatter : public LogFormatter {
 public:
  std::string lineForMessage(const char* function, const std::string& message,
                             unsigned level) const override {
    std::string line = LevelName(level) + " ";
    if (function != nullptr) line += std::string(function) + ": ";
    return line + message;
  }
};

class SystemLogWriter : public LogWriter {
 public:
  void writeLine(const std::string& line, unsigned level) override { NSLog("%s", line.c_str()); }
};

}  // namespace

std::string LevelName(unsigned level) {
  static const char* const kNames[] = {"DEBUG", "INFO", "WARNING", "ERROR", "FAULT"};
  if (level <= kLogLevelFault) return kNames[level];
  return "LEVEL " + std::to_string(level);
}

BaseLogger::BaseLogger() = default;
BaseLogger::~BaseLogger() = default;

std::shared_ptr<BaseLogger> BaseLogger::sharedLogger() {
  std::lock_guard<std::mutex> lock(SharedMutex());
  return SharedSlot();
}

void BaseLogger::setSharedLogger(std::shared_ptr<BaseLogger> logger) {
  if (logger == nullptr) logger = std::make_shared<BaseLogger>();
  std::shared_ptr<BaseLogger> previous;
  std::lock_guard<std::mutex> lock(SharedMutex());
  previous = std::exchange(SharedSlot(), std::move(logger));
}

void BaseLogger::logInternal(const char* function, const std::string& format,
                             const FormatArguments& arguments, unsigned level) {
  std::string message = StringWithFormat(format, arguments);
  if (auto filter = this->filter(); filter != nullptr && !filter->allowText(message, level)) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(CaptureMutex());
    if (BaseLoggerCapture* capture = CurrentCapture()) {
      std::lock_guard<std::mutex> capture_lock(capture->mutex_);
      BaseLoggerCapture::Line line;
      line.level = level;
      if (function != nullptr) line.function = function;
      line.message = std::move(message);
      capture->lines_.push_back(std::move(line));
      return;
    }
  }
  std::shared_ptr<LogFormatter> formatter = this->formatter();
  if (formatter == nullptr) formatter = std::make_shared<DefaultFormatter>();
  std::shared_ptr<LogWriter> writer = this->writer();
  if (writer == nullptr) writer = std::make_shared<SystemLogWriter>();
  writer->writeLine(formatter->lineForMessage(function, message, level), level);
}

std::shared_ptr<LogFilter> BaseLogger::filter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return filter_;
}

void BaseLogger::setFilter(std::shared_ptr<LogFilter> filter) {
  std::lock_guard<std::mutex> lock(mutex_);
  filter_ = std::move(filter);
}

std::shared_ptr<LogFormatter> BaseLogger::formatter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return formatter_;
}

void BaseLogger::setFormatter(std::shared_ptr<LogFormatter> formatter) {
  std::lock_guard<std::mutex> lock(mutex_);
  formatter_ = std::move(formatter);
}

std::shared_ptr<LogWriter> BaseLogger::writer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writer_;
}

void BaseLogger::setWriter(std::shared_ptr<LogWriter> writer) {
  std::lock_guard<std::mutex> lock(mutex_);
  writer_ = std::move(writer);
}

void Log(unsigned level, const char* function, const std::string& format,
         const FormatArguments& arguments) {
  BaseLogger::sharedLogger()->logInternal(function, format, arguments, level);
}

void LogError(const char* function, const std::string& format, const FormatArguments& arguments) {
  Log(kLogLevelError, function, format, arguments);
}

BaseLoggerCapture::BaseLoggerCapture() {
  std::lock_guard<std::mutex> lock(CaptureMutex());
  previous_ = CurrentCapture();
  CurrentCapture() = this;
}

BaseLoggerCapture::~BaseLoggerCapture() {
  std::lock_guard<std::mutex> lock(CaptureMutex());
  if (CurrentCapture() == this) CurrentCapture() = previous_;
}

std::vector<BaseLoggerCapture::Line> BaseLoggerCapture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> BaseLoggerCapture::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> messages;
  for (const Line& line : lines_) messages.push_back(line.message);
  return messages;
}

}  // namespace platform::utility
