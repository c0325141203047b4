// The uploader's account of its own work. `JQXTrassenMetaLogger` turns each observation of an
// upload run (files and bytes taken, request sizes, latencies, statuses, clean-ups, run
// durations) into counter increments whose dimension describes the log context, and logs the
// gathered counters as usage events of its logger (log source 103, the library's meta counters):
//
//   auto meta = JQXTrassenMetaLogger::initWithLogger(JQXTrassenLogger::initWithLogSource(103),
//                                                    flags, clock);
//   meta->logRequestUploadDelayWithCurrentTime(now, *file);
//   meta->flushCountersToLogger();   // one event per dimension
//
// The start of an upload run also records, with no dimension, the events the log writer refused
// for an unknown log source ("DroppedEventUnknownLogSource", bucket: the source, amount: the
// events). Observations only enqueue work on the counters' queue and may come from any thread. The
// settings decide whether anything is counted (shouldLogMetaCounters) and after how many
// increments the counters flush on their own (maxMetaCountersCount); termination flushes too.
#ifndef USAGE_LOG_META_LOGGER_H_
#define USAGE_LOG_META_LOGGER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url_response.h"
#include "usage_log/auto_counters.h"
#include "usage_log/file_utility.h"
#include "usage_log/log_local.pb.h"
#include "usage_log/trassen_flags.h"
#include "usage_log/trassen_logger.h"

using JQXLogFiles = std::vector<std::shared_ptr<JQXLogFile>>;

class JQXTrassenMetaLoggerProtocol {
 public:
  virtual ~JQXTrassenMetaLoggerProtocol() = default;
  virtual void logFilesWillBeUploaded(const JQXLogFiles& logFiles) = 0;
  virtual void logRequestContentLength(const JQXLogContext& context,
                                       const NSURLRequest& request) = 0;
  // `response` null: no HTTP response came (status 0).
  virtual void logResponse(const NSHTTPURLResponse* response, const JQXLogContext& context,
                           uint64_t startTime, uint64_t finishTime) = 0;
  virtual void logRequestUploadDelayWithCurrentTime(int64_t currentTime,
                                                    const JQXLogFile& logFile) = 0;
  virtual void logDeletingOverSizeLogFiles(const JQXLogFiles& logFiles) = 0;
  virtual void logDeletingOverTTLLogFiles(const JQXLogFiles& logFiles) = 0;
  virtual void logUploadTime(uint64_t startTime, uint64_t endTime,
                             const std::shared_ptr<NSError>& error) = 0;
};

class JQXTrassenMetaLogger : public JQXTrassenAutoCountersDelegate,
                             public JQXTrassenMetaLoggerProtocol,
                             public std::enable_shared_from_this<JQXTrassenMetaLogger> {
 public:
  // With the system clock.
  static std::shared_ptr<JQXTrassenMetaLogger> initWithLogger(
      std::shared_ptr<JQXTrassenLogger> logger, std::shared_ptr<JQXTrassenFlags> flags);
  static std::shared_ptr<JQXTrassenMetaLogger> initWithLogger(
      std::shared_ptr<JQXTrassenLogger> logger, std::shared_ptr<JQXTrassenFlags> flags,
      std::shared_ptr<JQXClockProtocol> clock);

  // The counters' delegate.
  void logCounters(const std::shared_ptr<JQXTrassenCounters>& counters) override;
  bool shouldLogCounters() override;
  int64_t maxCounterCount() override;

  void logFilesWillBeUploaded(const JQXLogFiles& logFiles) override;
  void logRequestContentLength(const JQXLogContext& context, const NSURLRequest& request) override;
  void logResponse(const NSHTTPURLResponse* response, const JQXLogContext& context,
                   uint64_t startTime, uint64_t finishTime) override;
  void logRequestUploadDelayWithCurrentTime(int64_t currentTime,
                                            const JQXLogFile& logFile) override;
  void logDeletingOverSizeLogFiles(const JQXLogFiles& logFiles) override;
  void logDeletingOverTTLLogFiles(const JQXLogFiles& logFiles) override;
  void logUploadTime(uint64_t startTime, uint64_t endTime,
                     const std::shared_ptr<NSError>& error) override;
  void flushCountersToLogger() { auto_counters_->flushCountersToLogger(); }

  // The context's dimension: its log source, whether the device charges and its tier as the
  // counters name tiers (2 → 3, 1 → 2, anything else → 0).
  static std::shared_ptr<MetalogCounterDimensions> dimensionsOfContext(const JQXLogContext& context);
  static QosTierConfiguration_QosTier qosTierFromContext(const JQXLogContext& context);
  // Running on battery; an unknown battery state counts as charging.
  static bool isUnplugged();
  static std::shared_ptr<MetalogCounterDimensions> dimensionsForConnectionAndCharging();

  const std::shared_ptr<JQXTrassenLogger>& logger() const { return logger_; }
  void setLogger(std::shared_ptr<JQXTrassenLogger> logger) { logger_ = std::move(logger); }
  const std::shared_ptr<JQXTrassenFlags>& flags() const { return flags_; }
  void setFlags(std::shared_ptr<JQXTrassenFlags> flags) { flags_ = std::move(flags); }
  const std::shared_ptr<JQXTrassenAutoCounters>& autoCounters() const { return auto_counters_; }
  void setAutoCounters(std::shared_ptr<JQXTrassenAutoCounters> counters) {
    auto_counters_ = std::move(counters);
  }
  const std::shared_ptr<JQXClockProtocol>& clock() const { return clock_; }
  void setClock(std::shared_ptr<JQXClockProtocol> clock) { clock_ = std::move(clock); }

  JQXTrassenMetaLogger(std::shared_ptr<JQXTrassenLogger> logger,
                       std::shared_ptr<JQXTrassenFlags> flags,
                       std::shared_ptr<JQXClockProtocol> clock)
      : logger_(std::move(logger)), flags_(std::move(flags)), clock_(std::move(clock)) {}

 private:
  void Count(const char* name, std::shared_ptr<MetalogCounterDimensions> dimension,
             int64_t bucket);

  std::shared_ptr<JQXTrassenLogger> logger_;
  std::shared_ptr<JQXTrassenFlags> flags_;
  std::shared_ptr<JQXTrassenAutoCounters> auto_counters_;
  std::shared_ptr<JQXClockProtocol> clock_;
};

#endif  // USAGE_LOG_META_LOGGER_H_
