// ZRBLogMultiplexer: the process-wide router of the infrastructure libraries' internal log
// reports. A report is a ZRBLogMessage; the multiplexer asks its filters, then delivers the
// message to its synchronous sinks on the logging thread and to its asynchronous sinks on
// their own queues (handed over in logging order through the serial queue "ZRBLogMultiplexer").
// Out of the box its one sink is ZRBSharedLoggerForwarder, which passes every message on to the
// utility package's shared base logger (platform/utility/base_logger.h).
//
// Reporting from a call site (captures the call stack the multiplexer's switches ask for):
//
//   ZRB_LOG_MESSAGE(3, ZRBLogMetadata::metadataWithComponent("ZQLFlatFileMarovic"),
//                   "Could not write %@: %@", path, error);
//
// Adding a sink:
//
//   class Recorder : public ZRBSyncLogger {
//     void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override { ... }
//   };
//   ZRBLogMultiplexer::sharedInstance()->addSyncLogger(std::make_shared<Recorder>());
//
// Filters, sinks and the multiplexer may be used from any thread. Filter and sink sets are
// immutable values swapped under the multiplexer's lock; routing works on a snapshot and calls
// filters and sinks without the lock, so a sink may itself log or change the sets.
#ifndef INFRA_LOG_MULTIPLEXER_H_
#define INFRA_LOG_MULTIPLEXER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "infra/log_filter.h"
#include "infra/log_message.h"
#include "platform/dispatch/dispatch.h"
#include "platform/utility/format.h"

// A sink of log messages.
class ZRBLogger {
 public:
  virtual ~ZRBLogger() = default;
  virtual void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) = 0;
  // The sink's own filter; none accepts everything.
  virtual std::shared_ptr<ZRBLogFilter> filter() { return nullptr; }
};

// A sink called on the thread that logs.
class ZRBSyncLogger : public ZRBLogger {};

// A sink called on its own queue; a sink without a queue receives nothing.
class ZRBAsyncLogger : public ZRBLogger {
 public:
  virtual dispatch_queue_t operationQueue() = 0;
};

class ZRBLogAppControl {
 public:
  virtual ~ZRBLogAppControl() = default;
  virtual void stopForwardingMessagesToSharedLogger() = 0;
  virtual bool captureCallStack() const = 0;
  virtual void setCaptureCallStack(bool capture) = 0;
  virtual bool captureCallStackAddresses() const = 0;
  virtual void setCaptureCallStackAddresses(bool addresses) = 0;
};

class ZRBLogMultiplexing {
 public:
  virtual ~ZRBLogMultiplexing() = default;
  virtual void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) = 0;
  virtual void addLogFilter(const std::shared_ptr<ZRBLogFilter>& filter) = 0;
  virtual void removeLogFilter(const std::shared_ptr<ZRBLogFilter>& filter) = 0;
  virtual void addSyncLogger(const std::shared_ptr<ZRBSyncLogger>& logger) = 0;
  virtual void removeSyncLogger(const std::shared_ptr<ZRBSyncLogger>& logger) = 0;
  virtual void addAsyncLogger(const std::shared_ptr<ZRBAsyncLogger>& logger) = 0;
  virtual void removeAsyncLogger(const std::shared_ptr<ZRBAsyncLogger>& logger) = 0;
};

// Passes each message to the shared base logger: its function, "%@" with its formatted text,
// and its level when that is 1 to 4 (else 0).
class ZRBSharedLoggerForwarder : public ZRBSyncLogger {
 public:
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override;
};

class ZRBLogMultiplexer : public ZRBLogAppControl, public ZRBLogMultiplexing {
 public:
  // The process's multiplexer, made on first use; it lives for the process.
  static std::shared_ptr<ZRBLogMultiplexer> sharedInstance();
  // A new multiplexer whose one sink forwards to the shared base logger.
  static std::shared_ptr<ZRBLogMultiplexer> init();

  // Nil messages and nil arguments are ignored. Adding a member already present keeps one.
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override;
  void addLogFilter(const std::shared_ptr<ZRBLogFilter>& filter) override;
  void removeLogFilter(const std::shared_ptr<ZRBLogFilter>& filter) override;
  void addSyncLogger(const std::shared_ptr<ZRBSyncLogger>& logger) override;
  void removeSyncLogger(const std::shared_ptr<ZRBSyncLogger>& logger) override;
  void addAsyncLogger(const std::shared_ptr<ZRBAsyncLogger>& logger) override;
  void removeAsyncLogger(const std::shared_ptr<ZRBAsyncLogger>& logger) override;

  // Removes the forwarding sink; from then on nothing reaches the base logger through here.
  void stopForwardingMessagesToSharedLogger() override;
  // Read by call sites: whether to capture a call stack (default yes) and whether as raw
  // addresses (default yes) or as symbols.
  bool captureCallStack() const override { return capture_call_stack_.load(); }
  void setCaptureCallStack(bool capture) override { capture_call_stack_.store(capture); }
  bool captureCallStackAddresses() const override { return capture_addresses_.load(); }
  void setCaptureCallStackAddresses(bool addresses) override { capture_addresses_.store(addresses); }

  const dispatch_queue_t& loggingQueue() const { return logging_queue_; }

  ZRBLogMultiplexer();

 private:
  template <typename T>
  using Set = std::shared_ptr<const std::vector<std::shared_ptr<T>>>;

  std::recursive_mutex mutex_;
  Set<ZRBLogFilter> filters_;
  Set<ZRBSyncLogger> sync_loggers_;
  Set<ZRBAsyncLogger> async_loggers_;
  std::shared_ptr<ZRBSharedLoggerForwarder> forwarder_;
  std::atomic<bool> capture_call_stack_{true};
  std::atomic<bool> capture_addresses_{true};
  dispatch_queue_t logging_queue_;
};

// The format, or metadata with the format travelling as the first argument.
using ZRBFormatOrMetadata = std::variant<std::string, std::shared_ptr<ZRBLogMetadata>>;

// Type codes of report arguments: 1 marks an object that may be a safe parameter; 0 and 2 to 6
// (and anything higher) are stepped over.
inline constexpr uint32_t kZRBLogArgumentUnexamined = 0;
inline constexpr uint32_t kZRBLogArgumentObject = 1;

// Builds a report. `argumentCount` counts `arguments` (the format included when it travels as
// the first argument); `argumentTypes` has one code per argument. Only as many arguments as
// the count, the codes and the vector all provide are used. With a count of 0 the format is
// kept as it is; otherwise it is expanded with the arguments after it. Arguments with code 1
// that are ZRBSafeStringParameter or ZRBSafeNumberParameter objects (or of their subclasses)
// become the message's safe parameters under their position after the format.
std::shared_ptr<ZRBLogMessage> ZRBGenerateLogMessage(
    uint64_t level, std::optional<std::string> file, std::optional<std::string> function,
    uint64_t line, std::shared_ptr<ZRBLogCallstack> callstack, ZRBFormatOrMetadata formatOrMetadata,
    int32_t argumentCount, const std::vector<uint32_t>& argumentTypes,
    const platform::utility::FormatArguments& arguments);

// When `condition` is not 0, logs a level-4 report to the shared multiplexer. Returns
// `condition`, so that it can stand in an `if`.
int32_t _ZRBLogFaultOnCondition(int32_t condition, std::optional<std::string> file,
                                std::optional<std::string> function, uint64_t line,
                                std::shared_ptr<ZRBLogCallstack> callstack,
                                ZRBFormatOrMetadata formatOrMetadata, int32_t argumentCount,
                                const std::vector<uint32_t>& argumentTypes,
                                const platform::utility::FormatArguments& arguments);

// Calls the shared base logger's internal logging entry with `function`, the format "%@",
// `arguments` and `level`.
void LogToSharedLogger(unsigned level, const char* function,
                       const platform::utility::FormatArguments& arguments);

// What a call site does: picks the call stack (the metadata's, else a capture whose first
// frame is the caller when the shared multiplexer's switch says so), builds the message and
// logs it to the shared multiplexer.
void ZRBLogFromCallSite(uint64_t level, const char* file, const char* function, uint64_t line,
                        ZRBFormatOrMetadata formatOrMetadata,
                        const std::vector<uint32_t>& argumentTypes,
                        const platform::utility::FormatArguments& arguments);
// The same with every argument examined (code 1).
void ZRBLogFromCallSite(uint64_t level, const char* file, const char* function, uint64_t line,
                        ZRBFormatOrMetadata formatOrMetadata,
                        const platform::utility::FormatArguments& arguments);

namespace infra::internal {
// The calling thread's name, none when it cannot be read.
std::optional<std::string> CurrentThreadName();
// "Class::method" of a compiler signature.
std::string FunctionName(const char* signature);
}  // namespace infra::internal

// Reports from the enclosing function at `level`. With metadata, the format is the first of the
// arguments that follow; every argument is examined for safe parameters.
#define ZRB_LOG_MESSAGE(level, formatOrMetadata, ...)                                       \
  ZRBLogFromCallSite((level), __FILE__, ::infra::internal::FunctionName(__PRETTY_FUNCTION__) \
                                            .c_str(),                                       \
                     __LINE__, (formatOrMetadata),                                          \
                     ::platform::utility::FormatArguments{__VA_ARGS__})

#endif  // INFRA_LOG_MULTIPLEXER_H_
