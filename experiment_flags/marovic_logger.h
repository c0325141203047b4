// The flag store's own usage logging: one usage-log event (log source 69) per store operation,
// whose event code names the operation and whose extension is a ZQLMarovicLogEvent, written
// through the process's log writer into the default log directory. The switch "log_events" of
// the store's own flag package turns the events off.
//
//   logger->logOperationEventWithExtension(event, ZQLMarovicLogEvent::CommitConfig);
//   logger->increaseCounterWithName("FlatFile-Commit");
//
// Counters (log source 70) are counted by the usage log's counter set; until that set exists in
// this tree, increments are accepted and not recorded.
//
// Reading a switch or the events' tokens waits until the store's own flags have loaded, so the
// logger must not be called on a queue that serves the store's callbacks before that.
#ifndef EXPERIMENT_FLAGS_MAROVIC_LOGGER_H_
#define EXPERIMENT_FLAGS_MAROVIC_LOGGER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <google/protobuf/message_lite.h>

#include "experiment_flags/flag_store_log_event.pb.h"
#include "experiment_flags/marovic_flags.h"
#include "usage_log/pseudonymous_id_store.h"
#include "usage_log/system_clock.h"

inline constexpr int64_t kZQLMarovicOperationLogSource = 69;
inline constexpr int64_t kZQLMarovicCountersLogSource = 70;

class ZQLMarovicLogger {
 public:
  static std::shared_ptr<ZQLMarovicLogger> initWithClock(
      std::shared_ptr<JQXClockProtocol> clock, std::shared_ptr<NSURL> trassenLogDirectory,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
      std::shared_ptr<ZQLMarovicFlagsProtocol> flags);
  virtual ~ZQLMarovicLogger() = default;

  virtual void logOperationEventWithExtension(std::shared_ptr<const ZQLMarovicLogEvent> event,
                                              int32_t eventCode);
  void increaseCounterWithName(const std::string& name) { increaseCounterWithName(name, 0, 1); }
  virtual void increaseCounterWithName(const std::string& name, int64_t bucket, int64_t amount);
  virtual void flushCountersToLogger();

  bool logEvents();
  bool shouldLogCounters();
  int64_t maxCounterCount();

  // Writes one event of `logSource` carrying `extension` and, when given, `eventCode`.
  void logWithLogSource(int64_t logSource,
                        std::shared_ptr<const google::protobuf::MessageLite> extension,
                        std::optional<int32_t> eventCode);

  const std::shared_ptr<ZQLMarovicFlagsProtocol>& flags() const { return flags_; }
  void setFlags(std::shared_ptr<ZQLMarovicFlagsProtocol> flags) { flags_ = std::move(flags); }

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
  std::mutex mutex_;
  std::shared_ptr<NSURL> trassen_log_directory_;
};

#endif  // EXPERIMENT_FLAGS_MAROVIC_LOGGER_H_
