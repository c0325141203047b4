#include "usage_log/marovic_logger.h"

#include "usage_log/file_utility.h"
#include "usage_log/log_writer.h"
#include "usage_log/trassen_logger.h"

namespace {

bool InstallFlagStoreLogger() {
  ZQLMarovicLoggerProtocol::setMaker(
      [](std::shared_ptr<JQXClockProtocol> clock,
         std::shared_ptr<ZRBPseudonymousIDStore> ids) -> std::shared_ptr<ZQLMarovicLoggerProtocol> {
        // The logger reads the store's own flags, which the store makes.
        return ZQLMarovicLogger::initWithClock(std::move(clock), nullptr, std::move(ids), nullptr);
      });
  return true;
}

}  // namespace

// Every flag store made by default logs through usage logging. The CMake target asks the linker
// for this name, so the object stays in binaries that never name the logger.
extern "C" const bool qm_flag_store_logs_to_usage_log = InstallFlagStoreLogger();

std::shared_ptr<ZQLMarovicLogger> ZQLMarovicLogger::initWithClock(
    std::shared_ptr<JQXClockProtocol> clock, std::shared_ptr<NSURL> trassenLogDirectory,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
    std::shared_ptr<ZQLMarovicFlagsProtocol> flags) {
  auto logger = std::make_shared<ZQLMarovicLogger>(clock, std::move(trassenLogDirectory),
                                                   std::move(pseudonymousIDStore),
                                                   std::move(flags));
  logger->auto_counters_ = JQXTrassenAutoCounters::initWithDelegate(logger, clock, true);
  return logger;
}

bool ZQLMarovicLogger::logEvents() {
  return flags_->numberForFlagName("log_events", ZQLMarovicNumber::Boolean(true)).boolValue();
}

bool ZQLMarovicLogger::shouldLogCounters() {
  return flags_->numberForFlagName("log_counters", ZQLMarovicNumber::Boolean(true)).boolValue();
}

int64_t ZQLMarovicLogger::maxCounterCount() {
  return flags_->numberForFlagName("api_counters_max_count", ZQLMarovicNumber::Integer(200))
      .longLongValue();
}

void ZQLMarovicLogger::logOperationEventWithExtension(
    std::shared_ptr<const ZQLMarovicLogEvent> event, int32_t eventCode) {
  if (!logEvents()) return;
  logWithLogSource(kZQLMarovicOperationLogSource, std::move(event), eventCode);
}

void ZQLMarovicLogger::increaseCounterWithName(const std::string& name, int64_t bucket,
                                               int64_t amount) {
  if (auto_counters_ != nullptr) {
    auto_counters_->increaseCounterWithName(name, nullptr, bucket, amount);
  }
}

void ZQLMarovicLogger::flushCountersToLogger() {
  if (auto_counters_ != nullptr) auto_counters_->flushCountersToLogger();
}

void ZQLMarovicLogger::logCounters(const std::shared_ptr<JQXTrassenCounters>& counters) {
  auto sets = counters->countersProtosAndReset(true);
  if (!sets.has_value()) return;
  for (const auto& set : *sets) logWithLogSource(kZQLMarovicCountersLogSource, set, std::nullopt);
}

void ZQLMarovicLogger::logWithLogSource(
    int64_t logSource, std::shared_ptr<const google::protobuf::MessageLite> extension,
    std::optional<int32_t> eventCode) {
  auto event = JQXTrassenLogEvent::initWithLogSource(logSource, false, clock_);
  if (eventCode.has_value()) event->setEventCode(*eventCode);
  event->setExtension(std::move(extension));
  if (auto tokens = flags_->tokens()) event->addExperimentTokens(tokens);
  std::shared_ptr<NSURL> directory;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (trassen_log_directory_ == nullptr) {
      trassen_log_directory_ = JQXTrassenFileUtility::defaultLogDirectory();
    }
    directory = trassen_log_directory_;
  }
  JQXLogWriter::sharedInstance()->writeLog(event, pseudonymous_id_store_, directory, clock_, {});
}
