#include "usage_log/meta_logger.h"

#include <map>
#include <string>

#include "platform/foundation/device.h"
#include "platform/utility/base_logger.h"
#include "usage_log/log_writer.h"

std::shared_ptr<JQXTrassenMetaLogger> JQXTrassenMetaLogger::initWithLogger(
    std::shared_ptr<JQXTrassenLogger> logger, std::shared_ptr<JQXTrassenFlags> flags) {
  return initWithLogger(std::move(logger), std::move(flags), JQXSystemClock::systemClock());
}

std::shared_ptr<JQXTrassenMetaLogger> JQXTrassenMetaLogger::initWithLogger(
    std::shared_ptr<JQXTrassenLogger> logger, std::shared_ptr<JQXTrassenFlags> flags,
    std::shared_ptr<JQXClockProtocol> clock) {
  auto meta = std::make_shared<JQXTrassenMetaLogger>(std::move(logger), std::move(flags), clock);
  meta->auto_counters_ = JQXTrassenAutoCounters::initWithDelegate(
      std::weak_ptr<JQXTrassenAutoCountersDelegate>(meta), clock, false);
  return meta;
}

void JQXTrassenMetaLogger::logCounters(const std::shared_ptr<JQXTrassenCounters>& counters) {
  if (logger_ != nullptr) JQXTrassenLoggerLogCounters(*logger_, *counters);
}

bool JQXTrassenMetaLogger::shouldLogCounters() { return flags_->shouldLogMetaCounters(); }

int64_t JQXTrassenMetaLogger::maxCounterCount() { return flags_->maxMetaCountersCount(); }

namespace {

// A file found without its context (the fast-tier check) counts under an empty context.
const JQXLogContext& ContextOf(const JQXLogFile& file) {
  return file.context() != nullptr ? *file.context() : JQXLogContext::default_instance();
}

}  // namespace

void JQXTrassenMetaLogger::Count(const char* name,
                                 std::shared_ptr<MetalogCounterDimensions> dimension,
                                 int64_t bucket) {
  auto_counters_->increaseCounterWithName(name, std::move(dimension), bucket, 1);
}

void JQXTrassenMetaLogger::logFilesWillBeUploaded(const JQXLogFiles& logFiles) {
  struct Sum {
    std::shared_ptr<const JQXLogContext> context;
    int64_t bytes = 0;
    int64_t count = 0;
  };
  // Contexts compare by value: the deterministic encoding is the key.
  std::map<std::string, Sum> by_context;
  std::map<std::string, int64_t> by_folder;
  int64_t total_bytes = 0;
  for (const auto& file : logFiles) {
    Sum& sum = by_context[JQXLogContextSerialization(ContextOf(*file))];
    sum.context = file->context() != nullptr ? file->context()
                                             : std::make_shared<const JQXLogContext>();
    sum.bytes += static_cast<int64_t>(file->fileSize());
    ++sum.count;
    ++by_folder[file->url()->URLByDeletingLastPathComponent()->path()];
    total_bytes += static_cast<int64_t>(file->fileSize());
  }
  for (const auto& [key, sum] : by_context) {
    Count("StoragePerLogSource", dimensionsOfContext(*sum.context), sum.bytes);
    Count("FileUploadCountPerLogSource", dimensionsOfContext(*sum.context), sum.count);
  }
  for (const auto& [folder, count] : by_folder) Count("FileCountInSameFolder", nullptr, count);
  Count("TotalStorage", nullptr, total_bytes);
  Count("TotalFileUploadCount", nullptr, static_cast<int64_t>(logFiles.size()));
  // Events refused for a log source no context can name, since the previous run: the bucket is
  // the source (the dimension's log-source field could not hold it).
  for (const auto& [source, count] : JQXLogWriter::takeRefusedEventCounts()) {
    auto_counters_->increaseCounterWithName("DroppedEventUnknownLogSource", nullptr, source, count);
  }
}

void JQXTrassenMetaLogger::logRequestContentLength(const JQXLogContext& context,
                                                   const NSURLRequest& request) {
  int64_t header_size = 0;
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    header_size += static_cast<int64_t>(name.size() + value.size() + 3);
  }
  Count("RequestSize", dimensionsOfContext(context),
        static_cast<int64_t>(request.HTTPBody().size()));
  Count("RequestHeaderSize", dimensionsOfContext(context), header_size);
}

void JQXTrassenMetaLogger::logResponse(const NSHTTPURLResponse* response,
                                       const JQXLogContext& context, uint64_t startTime,
                                       uint64_t finishTime) {
  Count("RequestLatency", dimensionsOfContext(context),
        static_cast<int64_t>(finishTime - startTime));
  Count("ResponseStatus", dimensionsOfContext(context),
        response == nullptr ? 0 : response->statusCode());
}

void JQXTrassenMetaLogger::logRequestUploadDelayWithCurrentTime(int64_t currentTime,
                                                                const JQXLogFile& logFile) {
  Count("RequestUploadDelay", dimensionsOfContext(ContextOf(logFile)),
        currentTime - logFile.creationTimeMilliseconds());
}

void JQXTrassenMetaLogger::logDeletingOverSizeLogFiles(const JQXLogFiles& logFiles) {
  if (logFiles.empty()) {
    platform::utility::LogError(__func__, "Could not log 0 deleted files.");
    return;
  }
  Count("CleanupNumFilesDeletedOversize", nullptr, static_cast<int64_t>(logFiles.size()));
  for (const auto& file : logFiles) {
    Count("CleanupSizeofFilesDeletedOversize", dimensionsOfContext(ContextOf(*file)),
          static_cast<int64_t>(file->fileSize()));
  }
}

void JQXTrassenMetaLogger::logDeletingOverTTLLogFiles(const JQXLogFiles& logFiles) {
  if (logFiles.empty()) {
    platform::utility::LogError(__func__, "Could not log 0 deleted files.");
    return;
  }
  Count("CleanupNumFilesDeletedTTLExpired", nullptr, static_cast<int64_t>(logFiles.size()));
  const int64_t now = clock_->currentTimeMilliseconds();
  for (const auto& file : logFiles) {
    Count("CleanupAgeOfFilesDeletedTTLExpired", dimensionsOfContext(ContextOf(*file)),
          now - file->creationTimeMilliseconds());
  }
}

void JQXTrassenMetaLogger::logUploadTime(uint64_t startTime, uint64_t endTime,
                                         const std::shared_ptr<NSError>& error) {
  const char* name = "UploadSuccessDuration";
  if (error != nullptr) {
    name = error->domain() == NSURLErrorDomain && error->code() == NSURLErrorNotConnectedToInternet
               ? "UploadNoInternetDuration"
               : "UploadFailedDuration";
  }
  Count(name, nullptr, static_cast<int64_t>(endTime - startTime));
}

std::shared_ptr<MetalogCounterDimensions> JQXTrassenMetaLogger::dimensionsOfContext(
    const JQXLogContext& context) {
  auto dimension = std::make_shared<MetalogCounterDimensions>();
  dimension->set_log_source(context.log_source());
  dimension->set_is_charging(!isUnplugged());
  dimension->set_qos_tier(qosTierFromContext(context));
  return dimension;
}

QosTierConfiguration_QosTier JQXTrassenMetaLogger::qosTierFromContext(
    const JQXLogContext& context) {
  switch (context.qos_tier()) {
    case 2: return QosTierConfiguration_QosTier_FastIfRadioAwake;
    case 1: return QosTierConfiguration_QosTier_UnmeteredOrDaily;
    default: return QosTierConfiguration_QosTier_Default;
  }
}

bool JQXTrassenMetaLogger::isUnplugged() {
  return UIDevice::currentDevice()->batteryState() == UIDeviceBatteryStateUnplugged;
}

std::shared_ptr<MetalogCounterDimensions>
JQXTrassenMetaLogger::dimensionsForConnectionAndCharging() {
  auto dimension = std::make_shared<MetalogCounterDimensions>();
  dimension->set_is_charging(!isUnplugged());
  return dimension;
}
