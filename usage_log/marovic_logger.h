// The flag store's own usage logging, the logger usage logging installs for the flag store
// (experiment_flags/marovic_logger_protocol.h): one usage-log event (log source 69) per store operation,
// whose event code names the operation and whose extension is a ZQLMarovicLogEvent, written
// through the process's log writer into the default log directory. The switch "log_events" of
// the store's own flag package turns the events off.
//
//   logger->logOperationEventWithExtension(event, ZQLMarovicLogEvent::CommitConfig);
//   logger->increaseCounterWithName("FlatFile-Commit");
//
// Counters go to an auto-flushing counter set of the usage log, of which the logger is the
// delegate: "log_counters" false drops increments, and every "api_counters_max_count" increments
// (200 by default) the counter sets are written as events of log source 70, one per set. They
// are also written when the app enters the background or terminates.
//
// Reading a switch or the events' tokens waits until the store's own flags have loaded, so the
// logger must not be called on a queue that serves the store's callbacks before that.
#ifndef USAGE_LOG_MAROVIC_LOGGER_H_
#define USAGE_LOG_MAROVIC_LOGGER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <google/protobuf/message_lite.h>

#include "experiment_flags/flag_store_log_event.pb.h"
#include "experiment_flags/marovic_flags.h"
#include "experiment_flags/marovic_logger_protocol.h"
#include "usage_log/auto_counters.h"
#include "usage_base/pseudonymous_id_store.h"
#include "usage_base/system_clock.h"

class ZQLMarovicLogger : public ZQLMarovicLoggerProtocol,
                         public JQXTrassenAutoCountersDelegate,
                         public std::enable_shared_from_this<ZQLMarovicLogger> {
 public:
  static std::shared_ptr<ZQLMarovicLogger> initWithClock(
      std::shared_ptr<JQXClockProtocol> clock, std::shared_ptr<NSURL> trassenLogDirectory,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
      std::shared_ptr<ZQLMarovicFlagsProtocol> flags);
  ~ZQLMarovicLogger() override = default;

  void logOperationEventWithExtension(std::shared_ptr<const ZQLMarovicLogEvent> event,
                                      int32_t eventCode) override;
  void increaseCounterWithName(const std::string& name) { increaseCounterWithName(name, 0, 1); }
  void increaseCounterWithName(const std::string& name, int64_t bucket, int64_t amount) override;
  void flushCountersToLogger() override;

  bool logEvents();
  bool shouldLogCounters() override;
  int64_t maxCounterCount() override;
  // Called by the counter set: writes each counter set as one event of log source 70.
  void logCounters(const std::shared_ptr<JQXTrassenCounters>& counters) override;

  // Writes one event of `logSource` carrying `extension` and, when given, `eventCode`.
  void logWithLogSource(int64_t logSource,
                        std::shared_ptr<const google::protobuf::MessageLite> extension,
                        std::optional<int32_t> eventCode);

  std::shared_ptr<ZQLMarovicFlagsProtocol> flags() const override { return flags_; }
  const std::shared_ptr<JQXTrassenAutoCounters>& autoCounters() const { return auto_counters_; }
  void setFlags(std::shared_ptr<ZQLMarovicFlagsProtocol> flags) override {
    flags_ = std::move(flags);
  }

  // Use the factory above; an object made directly has no counter set.
  ZQLMarovicLogger(std::shared_ptr<JQXClockProtocol> clock,
                   std::shared_ptr<NSURL> trassenLogDirectory,
                   std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
                   std::shared_ptr<ZQLMarovicFlagsProtocol> flags)
      : flags_(std::move(flags)),
        clock_(std::move(clock)),
        pseudonymous_id_store_(std::move(pseudonymousIDStore)),
        trassen_log_directory_(std::move(trassenLogDirectory)) {}

 private:
  std::shared_ptr<ZQLMarovicFlagsProtocol> flags_;
  const std::shared_ptr<JQXClockProtocol> clock_;
  const std::shared_ptr<ZRBPseudonymousIDStore> pseudonymous_id_store_;
  std::shared_ptr<JQXTrassenAutoCounters> auto_counters_;
  std::mutex mutex_;
  std::shared_ptr<NSURL> trassen_log_directory_;
};

#endif  // USAGE_LOG_MAROVIC_LOGGER_H_
