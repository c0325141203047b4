#include "infra/rerouting_shared_logger.h"

#include "platform/foundation/assertion_handler.h"

namespace {
inline void KeepFrame() { asm volatile("" ::: "memory"); }
}  // namespace

std::shared_ptr<ZRBReroutingSharedLogger> ZRBReroutingSharedLogger::initWithLogMultiplexer(
    std::shared_ptr<ZRBLogMultiplexer> multiplexer,
    std::shared_ptr<platform::utility::LogFilter> stackTraceFilter) {
  if (multiplexer == nullptr) return nullptr;
  multiplexer->stopForwardingMessagesToSharedLogger();
  return std::make_shared<ZRBReroutingSharedLogger>(std::move(multiplexer),
                                                    std::move(stackTraceFilter));
}

std::shared_ptr<ZRBReroutingSharedLogger> ZRBReroutingSharedLogger::initWithLogMultiplexer(
    std::shared_ptr<ZRBLogMultiplexer> multiplexer) {
  return initWithLogMultiplexer(
      std::move(multiplexer),
      std::make_shared<platform::utility::MinimumLevelFilter>(platform::utility::kLogLevelError));
}

__attribute__((noinline)) void ZRBReroutingSharedLogger::logInternal(
    const char* function, const std::string& format,
    const platform::utility::FormatArguments& arguments, unsigned level) {
  std::string text = platform::utility::StringWithFormat(format, arguments);
  std::shared_ptr<ZRBLogCallstack> callstack;
  if (stack_trace_filter_ != nullptr && stack_trace_filter_->allowText(text, level) &&
      multiplexer_->captureCallStack()) {
    // Drops this entry and the reporting function that called it.
    if (multiplexer_->captureCallStackAddresses()) {
      callstack = ZRBLogAddressCallstack::addressCallstackIgnoringFrameCount(2);
    } else {
      callstack = ZRBLogSymbolCallstack::symbolCallstackIgnoringFrameCount(2);
    }
  }
  uint64_t message_level = level >= 1 && level <= 4 ? level : 4;
  multiplexer_->logWithMessage(ZRBLogMessage::initWithLevel(
      message_level, format, std::move(text), std::nullopt,
      function == nullptr ? std::nullopt : std::optional<std::string>(function), 0,
      infra::internal::CurrentThreadName(), ZRBCurrentDispatchQueueLabel(), std::move(callstack),
      std::nullopt, nullptr));
  KeepFrame();
}

void ZRBReroutingSharedLogger::setFilter(std::shared_ptr<platform::utility::LogFilter> filter) {
  NSAssert(filter == nullptr, "ZRBReroutingSharedLogger will not use a filter");
}

void ZRBReroutingSharedLogger::setFormatter(
    std::shared_ptr<platform::utility::LogFormatter> formatter) {
  NSAssert(formatter == nullptr, "ZRBReroutingSharedLogger will not use a formatter");
}

void ZRBReroutingSharedLogger::setWriter(std::shared_ptr<platform::utility::LogWriter> writer) {
  NSAssert(writer == nullptr, "ZRBReroutingSharedLogger will not use a writer");
}

void ZRBAppSwitchFromSharedLoggerToZRBLogger() {
  platform::utility::BaseLogger::setSharedLogger(
      ZRBReroutingSharedLogger::initWithLogMultiplexer(ZRBLogMultiplexer::sharedInstance()));
}

void ZRBAppSwitchFromSharedLoggerToZRBLoggerWithStackTraceFilter(
    std::shared_ptr<platform::utility::LogFilter> stackTraceFilter) {
  platform::utility::BaseLogger::setSharedLogger(ZRBReroutingSharedLogger::initWithLogMultiplexer(
      ZRBLogMultiplexer::sharedInstance(), std::move(stackTraceFilter)));
}
