#include "infra/log_multiplexer.h"

#include <pthread.h>

#include <algorithm>

#include "platform/foundation/assertion_handler.h"
#include "platform/utility/base_logger.h"

namespace infra::internal {

std::optional<std::string> CurrentThreadName() {
  char name[16] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof(name)) != 0) return std::nullopt;
  return std::string(name);
}

std::string FunctionName(const char* signature) {
  return platform::foundation::internal::MethodNameFromSignature(signature);
}

}  // namespace infra::internal

namespace {

inline void KeepFrame() { asm volatile("" ::: "memory"); }

template <typename T>
using Set = std::shared_ptr<const std::vector<std::shared_ptr<T>>>;

template <typename T>
Set<T> Adding(const Set<T>& set, const std::shared_ptr<T>& member) {
  auto result = std::make_shared<std::vector<std::shared_ptr<T>>>();
  if (set != nullptr) {
    if (std::find(set->begin(), set->end(), member) != set->end()) return set;
    *result = *set;
  }
  result->push_back(member);
  return result;
}

template <typename T>
Set<T> Removing(const Set<T>& set, const std::shared_ptr<T>& member) {
  if (set == nullptr) return set;
  auto result = std::make_shared<std::vector<std::shared_ptr<T>>>(*set);
  std::erase(*result, member);
  return result;
}

bool Allows(const std::shared_ptr<ZRBLogFilter>& filter,
            const std::shared_ptr<ZRBLogMessage>& message) {
  return filter == nullptr || filter->allowLogMessage(message);
}

}  // namespace

// ---- Forwarding sink.

void LogToSharedLogger(unsigned level, const char* function,
                       const platform::utility::FormatArguments& arguments) {
  platform::utility::BaseLogger::sharedLogger()->logInternal(function, "%@", arguments, level);
}

void ZRBSharedLoggerForwarder::logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) {
  if (message == nullptr) return;
  unsigned level = message->level() >= 1 && message->level() <= 4
                       ? static_cast<unsigned>(message->level())
                       : 0;
  const auto& function = message->function();
  LogToSharedLogger(level, function ? function->c_str() : nullptr,
                    {platform::utility::FormatArgument(message->formattedString())});
}

// ---- Multiplexer.

std::shared_ptr<ZRBLogMultiplexer> ZRBLogMultiplexer::sharedInstance() {
  static auto* shared = new std::shared_ptr<ZRBLogMultiplexer>(init());
  return *shared;
}

std::shared_ptr<ZRBLogMultiplexer> ZRBLogMultiplexer::init() {
  return std::make_shared<ZRBLogMultiplexer>();
}

ZRBLogMultiplexer::ZRBLogMultiplexer()
    : forwarder_(std::make_shared<ZRBSharedLoggerForwarder>()),
      logging_queue_(dispatch_queue_create("ZRBLogMultiplexer", DISPATCH_QUEUE_SERIAL)) {
  sync_loggers_ = Adding<ZRBSyncLogger>(nullptr, forwarder_);
  dispatch_set_target_queue(logging_queue_,
                            dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0));
}

void ZRBLogMultiplexer::logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) {
  if (message == nullptr) return;
  Set<ZRBLogFilter> filters;
  Set<ZRBSyncLogger> sync_loggers;
  Set<ZRBAsyncLogger> async_loggers;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    filters = filters_;
    sync_loggers = sync_loggers_;
    async_loggers = async_loggers_;
  }
  if (filters != nullptr) {
    for (const auto& filter : *filters) {
      if (!filter->allowLogMessage(message)) return;
    }
  }
  // The serial logging queue keeps the order in which messages reach each sink's queue.
  dispatch_async(logging_queue_, [async_loggers, message] {
    if (async_loggers == nullptr) return;
    for (const auto& logger : *async_loggers) {
      dispatch_queue_t queue = logger->operationQueue();
      if (queue == nullptr) continue;
      dispatch_async(queue, [logger, message] {
        if (Allows(logger->filter(), message)) logger->logWithMessage(message);
      });
    }
  });
  if (sync_loggers != nullptr) {
    for (const auto& logger : *sync_loggers) {
      if (Allows(logger->filter(), message)) logger->logWithMessage(message);
    }
  }
}

void ZRBLogMultiplexer::addLogFilter(const std::shared_ptr<ZRBLogFilter>& filter) {
  if (filter == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  filters_ = Adding(filters_, filter);
}

void ZRBLogMultiplexer::removeLogFilter(const std::shared_ptr<ZRBLogFilter>& filter) {
  if (filter == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  filters_ = Removing(filters_, filter);
}

void ZRBLogMultiplexer::addSyncLogger(const std::shared_ptr<ZRBSyncLogger>& logger) {
  if (logger == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  sync_loggers_ = Adding(sync_loggers_, logger);
}

void ZRBLogMultiplexer::removeSyncLogger(const std::shared_ptr<ZRBSyncLogger>& logger) {
  if (logger == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  sync_loggers_ = Removing(sync_loggers_, logger);
}

void ZRBLogMultiplexer::addAsyncLogger(const std::shared_ptr<ZRBAsyncLogger>& logger) {
  if (logger == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  async_loggers_ = Adding(async_loggers_, logger);
}

void ZRBLogMultiplexer::removeAsyncLogger(const std::shared_ptr<ZRBAsyncLogger>& logger) {
  if (logger == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  async_loggers_ = Removing(async_loggers_, logger);
}

void ZRBLogMultiplexer::stopForwardingMessagesToSharedLogger() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (forwarder_ == nullptr) return;
  sync_loggers_ = Removing<ZRBSyncLogger>(sync_loggers_, forwarder_);
  forwarder_.reset();
}

// ---- Building and sending reports.

std::shared_ptr<ZRBLogMessage> ZRBGenerateLogMessage(
    uint64_t level, std::optional<std::string> file, std::optional<std::string> function,
    uint64_t line, std::shared_ptr<ZRBLogCallstack> callstack, ZRBFormatOrMetadata formatOrMetadata,
    int32_t argumentCount, const std::vector<uint32_t>& argumentTypes,
    const platform::utility::FormatArguments& arguments) {
  // Never read past what the caller actually handed over.
  size_t count = std::min({static_cast<size_t>(std::max(argumentCount, 0)), argumentTypes.size(),
                           arguments.size()});
  size_t first = 0;  // the first argument after the format
  std::optional<std::string> format;
  std::shared_ptr<ZRBLogMetadata> metadata;
  if (auto* text = std::get_if<std::string>(&formatOrMetadata)) {
    format = std::move(*text);
  } else {
    metadata = std::get<std::shared_ptr<ZRBLogMetadata>>(formatOrMetadata);
    if (count >= 1) {
      if (!arguments[0].isNull()) format = arguments[0].description();
      first = 1;
    }
  }
  platform::utility::FormatArguments values(arguments.begin() + first, arguments.begin() + count);

  std::optional<std::string> formatted = format;
  if (format && argumentCount >= 1) formatted = platform::utility::StringWithFormat(*format, values);

  ZRBSafeParameters safe;
  for (size_t i = first; i < count; ++i) {
    if (argumentTypes[i] != kZRBLogArgumentObject) continue;
    // Only the string and number forms (and their subclasses) count, not the base class.
    auto parameter = std::dynamic_pointer_cast<const ZRBSafeParameter>(arguments[i].object());
    if (dynamic_cast<const ZRBSafeStringParameter*>(parameter.get()) != nullptr ||
        dynamic_cast<const ZRBSafeNumberParameter*>(parameter.get()) != nullptr) {
      // Parameters are immutable; the message shares the caller's object.
      safe[i - first] = std::const_pointer_cast<ZRBSafeParameter>(parameter);
    }
  }
  std::optional<ZRBSafeParameters> safe_parameters;
  if (!safe.empty()) safe_parameters = std::move(safe);

  return ZRBLogMessage::initWithLevel(level, std::move(format), std::move(formatted),
                                      std::move(file), std::move(function), line,
                                      infra::internal::CurrentThreadName(),
                                      ZRBCurrentDispatchQueueLabel(), std::move(callstack),
                                      std::move(safe_parameters), std::move(metadata));
}

int32_t _ZRBLogFaultOnCondition(int32_t condition, std::optional<std::string> file,
                                std::optional<std::string> function, uint64_t line,
                                std::shared_ptr<ZRBLogCallstack> callstack,
                                ZRBFormatOrMetadata formatOrMetadata, int32_t argumentCount,
                                const std::vector<uint32_t>& argumentTypes,
                                const platform::utility::FormatArguments& arguments) {
  if (condition != 0) {
    ZRBLogMultiplexer::sharedInstance()->logWithMessage(ZRBGenerateLogMessage(
        4, std::move(file), std::move(function), line, std::move(callstack),
        std::move(formatOrMetadata), argumentCount, argumentTypes, arguments));
  }
  return condition;
}

namespace {

// The call-site sequence; `ownFrames` is the number of frames between the call site and the
// capture below (this function and the public entry), which the capture drops.
__attribute__((noinline)) void LogFromCallSite(uint64_t ownFrames, uint64_t level,
                                               const char* file, const char* function,
                                               uint64_t line, ZRBFormatOrMetadata formatOrMetadata,
                                               const std::vector<uint32_t>& argumentTypes,
                                               const platform::utility::FormatArguments& arguments) {
  auto multiplexer = ZRBLogMultiplexer::sharedInstance();
  std::shared_ptr<ZRBLogCallstack> callstack;
  if (auto* metadata = std::get_if<std::shared_ptr<ZRBLogMetadata>>(&formatOrMetadata);
      metadata != nullptr && *metadata != nullptr) {
    callstack = (*metadata)->callstack();
  }
  if (callstack == nullptr && multiplexer->captureCallStack()) {
    if (multiplexer->captureCallStackAddresses()) {
      callstack = ZRBLogAddressCallstack::addressCallstackIgnoringFrameCount(ownFrames);
    } else {
      callstack = ZRBLogSymbolCallstack::symbolCallstackIgnoringFrameCount(ownFrames);
    }
  }
  auto message = ZRBGenerateLogMessage(
      level, file == nullptr ? std::nullopt : std::optional<std::string>(file),
      function == nullptr ? std::nullopt : std::optional<std::string>(function), line,
      std::move(callstack), std::move(formatOrMetadata),
      static_cast<int32_t>(argumentTypes.size()), argumentTypes, arguments);
  multiplexer->logWithMessage(message);
  KeepFrame();
}

}  // namespace

__attribute__((noinline)) void ZRBLogFromCallSite(
    uint64_t level, const char* file, const char* function, uint64_t line,
    ZRBFormatOrMetadata formatOrMetadata, const std::vector<uint32_t>& argumentTypes,
    const platform::utility::FormatArguments& arguments) {
  LogFromCallSite(2, level, file, function, line, std::move(formatOrMetadata), argumentTypes,
                  arguments);
  KeepFrame();
}

__attribute__((noinline)) void ZRBLogFromCallSite(
    uint64_t level, const char* file, const char* function, uint64_t line,
    ZRBFormatOrMetadata formatOrMetadata, const platform::utility::FormatArguments& arguments) {
  std::vector<uint32_t> types(arguments.size(), kZRBLogArgumentObject);
  LogFromCallSite(2, level, file, function, line, std::move(formatOrMetadata), types, arguments);
  KeepFrame();
}
