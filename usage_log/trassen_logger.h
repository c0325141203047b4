// Usage loggers and their events: the entry of usage logging.
//
// A logger stands for one log source writing into one log directory. Code that records a usage
// event asks the logger for a new event, fills in a code and a payload, and hands it back; the
// process-wide log writer (log_writer.h) later runs the logger's transformers on its own queue
// and appends the event to the log file of its context:
//
//   auto logger = JQXTrassenLogger::initWithLogSource(700, kJQXTrassenNoAccount, directory);
//   auto event = logger->newEvent();
//   event->setEventCode(3);
//   event->setExtension(std::make_shared<MyPayload>(payload));
//   logger->log(event);   // returns at once; the event must not be changed afterwards
//
// Every logger has a sampler first in its transformer chain and, unless it is anonymous, the
// experiment-token transformer last; both are added when the caller's list lacks them. An
// anonymous event carries no account, cookie override, experiment ids or tokens: operations
// that would add them are refused (reported to the assertion handler and logged) and change
// nothing. `JQXTrassenLogger::setEnabled(false)` drops every later event silently.
//
// `JQXFakeTrassenLogger` keeps the events it is given in memory instead, for tests.
#ifndef USAGE_LOG_TRASSEN_LOGGER_H_
#define USAGE_LOG_TRASSEN_LOGGER_H_

#include <google/protobuf/message_lite.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "experiment_flags/experiment_tokens.h"
#include "platform/foundation/ns_url.h"
#include "usage_base/log_wire.pb.h"
#include "usage_base/pseudonymous_id_store.h"
#include "usage_base/system_clock.h"

// The account identifier meaning "no account".
inline constexpr char kJQXTrassenNoAccount[] = "";

class JQXTrassenLogTransformer;
using JQXTrassenLogTransformers = std::vector<std::shared_ptr<JQXTrassenLogTransformer>>;

class JQXTrassenLogEvent {
 public:
  using TokensList = std::vector<std::shared_ptr<const ZQLMarovicExperimentTokens>>;

  static std::shared_ptr<JQXTrassenLogEvent> initWithLogSource(int64_t logSource, bool isAnonymous,
                                                               int64_t eventTimeMilliseconds,
                                                               int64_t eventUptimeMilliseconds,
                                                               int64_t eventTimeZoneOffsetSeconds);
  // Times from `clock`: the uptime is the time minus the clock's boot time.
  static std::shared_ptr<JQXTrassenLogEvent> initWithLogSource(
      int64_t logSource, bool isAnonymous, const std::shared_ptr<JQXClockProtocol>& clock);
  static std::shared_ptr<JQXTrassenLogEvent> initWithLogSource(int64_t logSource,
                                                               bool isAnonymous);
  static std::shared_ptr<JQXTrassenLogEvent> initWithLogSource(int64_t logSource);

  // A new event with the same values and lists of its own.
  std::shared_ptr<JQXTrassenLogEvent> copy() const;
  // The record written to the log file.
  std::unique_ptr<LogEvent> toLogEventProto() const;

  bool isAnonymousLog() const { return is_anonymous_log_; }
  // Making an event anonymous also drops its account, cookie override, ids and tokens.
  void setIsAnonymousLog(bool isAnonymousLog);
  const std::string& obfuscatedHollinID() const { return obfuscated_hollin_id_; }
  // None and "none" store the empty string. Refused on an anonymous event, unless empty.
  void setObfuscatedHollinID(const std::optional<std::string>& obfuscatedHollinID);
  const std::optional<std::string>& tovrickOverride() const { return tovrick_override_; }
  void setTovrickOverride(const std::optional<std::string>& tovrickOverride);
  std::optional<std::vector<int32_t>> experimentIDs() const { return experiment_ids_; }
  void addExperimentIDs(const std::vector<int32_t>& experimentIDs);
  void addExperimentID(int32_t experimentID);
  std::optional<TokensList> experimentTokens() const { return experiment_tokens_; }
  void addExperimentTokens(std::shared_ptr<const ZQLMarovicExperimentTokens> tokens);
  std::optional<std::vector<int32_t>> testCodes() const { return test_codes_; }
  void addTestCodes(const std::vector<int32_t>& testCodes);
  void addTestCode(int32_t testCode);

  int64_t eventTimeMilliseconds() const { return event_time_milliseconds_; }
  int64_t eventUptimeMilliseconds() const { return event_uptime_milliseconds_; }
  int64_t eventTimeZoneOffsetSeconds() const { return event_time_zone_offset_seconds_; }

  bool isUserInitiated() const { return is_user_initiated_; }
  void setIsUserInitiated(bool value) { is_user_initiated_ = value; }
  int32_t eventCode() const { return event_code_; }
  void setEventCode(int32_t value) { event_code_ = value; }
  const std::shared_ptr<const google::protobuf::MessageLite>& extension() const {
    return extension_;
  }
  void setExtension(std::shared_ptr<const google::protobuf::MessageLite> value) {
    extension_ = std::move(value);
  }
  const std::optional<std::string>& extensionData() const { return extension_data_; }
  void setExtensionData(std::optional<std::string> value) { extension_data_ = std::move(value); }
  int64_t logSource() const { return log_source_; }
  void setLogSource(int64_t value) { log_source_ = value; }
  const std::optional<std::string>& componentID() const { return component_id_; }
  void setComponentID(std::optional<std::string> value) { component_id_ = std::move(value); }
  int64_t qosTier() const { return qos_tier_; }
  void setQosTier(int64_t value) { qos_tier_ = value; }
  int64_t eventFlowID() const { return event_flow_id_; }
  void setEventFlowID(int64_t value) { event_flow_id_ = value; }
  const std::optional<std::string>& clientVisualElements() const {
    return client_visual_elements_;
  }
  void setClientVisualElements(std::optional<std::string> value) {
    client_visual_elements_ = std::move(value);
  }
  const std::shared_ptr<const NetworkConnectionInfo>& networkConnectionInfo() const {
    return network_connection_info_;
  }
  void setNetworkConnectionInfo(std::shared_ptr<const NetworkConnectionInfo> value);
  const std::optional<std::string>& testID() const { return test_id_; }
  void setTestID(std::optional<std::string> value) { test_id_ = std::move(value); }

  // Use the factories above.
  JQXTrassenLogEvent(int64_t logSource, bool isAnonymous, int64_t time, int64_t uptime,
                     int64_t offset)
      : is_anonymous_log_(isAnonymous),
        event_time_milliseconds_(time),
        event_uptime_milliseconds_(uptime),
        event_time_zone_offset_seconds_(offset),
        log_source_(logSource) {}

 private:
  std::optional<std::string> tovrick_override_;
  bool is_user_initiated_ = false;
  bool is_anonymous_log_;
  int32_t event_code_ = 0;
  std::optional<std::vector<int32_t>> experiment_ids_;
  std::optional<std::vector<int32_t>> test_codes_;
  int64_t event_time_milliseconds_;
  int64_t event_uptime_milliseconds_;
  int64_t event_time_zone_offset_seconds_;
  std::shared_ptr<const google::protobuf::MessageLite> extension_;
  std::optional<std::string> extension_data_;
  int64_t log_source_;
  std::optional<std::string> component_id_;
  std::string obfuscated_hollin_id_;
  int64_t qos_tier_ = 0;
  int64_t event_flow_id_ = 0;
  std::optional<std::string> client_visual_elements_;
  std::shared_ptr<const NetworkConnectionInfo> network_connection_info_;
  std::optional<std::string> test_id_;
  std::optional<TokensList> experiment_tokens_;
};

class JQXTrassenLogger {
 public:
  // The designated form. Null after an assertion when the account (kJQXTrassenNoAccount for
  // none), the transformer list, the directory (none available as default either), the clock or
  // the store is missing. A missing directory means the default log directory.
  static std::shared_ptr<JQXTrassenLogger> initWithLogSource(
      int64_t logSource, const std::optional<std::string>& obfuscatedHollinID, bool isAnonymous,
      const std::optional<JQXTrassenLogTransformers>& logTransformers,
      std::shared_ptr<NSURL> logDirectory, std::shared_ptr<JQXClockProtocol> clock,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore);
  // The conveniences: no account, not anonymous, no transformers and the default directory
  // unless given; the system clock and the shared pseudonymous-identifier store.
  static std::shared_ptr<JQXTrassenLogger> initWithLogSource(int64_t logSource);
  static std::shared_ptr<JQXTrassenLogger> initWithLogSource(
      int64_t logSource, const std::optional<std::string>& obfuscatedHollinID);
  static std::shared_ptr<JQXTrassenLogger> initWithLogSource(
      int64_t logSource, const std::optional<std::string>& obfuscatedHollinID,
      std::shared_ptr<NSURL> logDirectory);
  static std::shared_ptr<JQXTrassenLogger> initWithLogSource(
      int64_t logSource, const std::optional<std::string>& obfuscatedHollinID,
      std::shared_ptr<NSURL> logDirectory, const JQXTrassenLogTransformers& logTransformers);
  static std::shared_ptr<JQXTrassenLogger> initWithLogSource(
      int64_t logSource, const std::optional<std::string>& obfuscatedHollinID, bool isAnonymous,
      std::shared_ptr<NSURL> logDirectory, const JQXTrassenLogTransformers& logTransformers);
  static std::shared_ptr<JQXTrassenLogger> initAnonymousLoggerWithLogSource(int64_t logSource);

  virtual ~JQXTrassenLogger() = default;

  bool isAnonymous() const { return is_anonymous_; }
  int64_t logSource() const { return log_source_; }
  const std::shared_ptr<NSURL>& logDirectory() const { return log_directory_; }
  const std::string& obfuscatedHollinID() const { return obfuscated_hollin_id_; }
  int64_t qosTier() const { return 0; }
  const std::shared_ptr<JQXClockProtocol>& clock() const { return clock_; }
  const JQXTrassenLogTransformers& logTransformers() const { return log_transformers_; }
  const std::shared_ptr<ZRBPseudonymousIDStore>& pseudonymousIDStore() const {
    return pseudonymous_id_store_;
  }

  // A new event of this logger's source, anonymity, clock, account and tier.
  std::shared_ptr<JQXTrassenLogEvent> newEvent() const;
  // Hands the event to the log writer (nothing while logging is disabled).
  virtual void log(std::shared_ptr<JQXTrassenLogEvent> event);
  void logWithExtension(std::shared_ptr<const google::protobuf::MessageLite> extension);
  void logWithBlock(const std::function<void(JQXTrassenLogEvent&)>& block);

  // The process-wide switch (on at start).
  static void setEnabled(bool enabled);
  static void disableLogging() { setEnabled(false); }
  static bool isEnabled();
  static void setDefaultDirectory(std::shared_ptr<NSURL> url);
  // The default directory's base becomes Caches/"JQXTrassenLogger".
  static void useLocalCachesDirectory();
  // Refused: there are no process-wide transformers.
  static void addGlobalLogTransformer(std::shared_ptr<JQXTrassenLogTransformer> transformer);

  // The completed fields of a logger (used by the factories).
  struct Fields {
    int64_t logSource;
    std::string obfuscatedHollinID;
    bool isAnonymous;
    JQXTrassenLogTransformers logTransformers;
    std::shared_ptr<NSURL> logDirectory;
    std::shared_ptr<JQXClockProtocol> clock;
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore;
  };
  static std::optional<Fields> completeFields(
      int64_t logSource, const std::optional<std::string>& obfuscatedHollinID, bool isAnonymous,
      const std::optional<JQXTrassenLogTransformers>& logTransformers,
      std::shared_ptr<NSURL> logDirectory, std::shared_ptr<JQXClockProtocol> clock,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore);

  explicit JQXTrassenLogger(Fields fields);

 private:
  const bool is_anonymous_;
  const int64_t log_source_;
  const std::shared_ptr<NSURL> log_directory_;
  const std::string obfuscated_hollin_id_;
  const std::shared_ptr<JQXClockProtocol> clock_;
  const JQXTrassenLogTransformers log_transformers_;
  const std::shared_ptr<ZRBPseudonymousIDStore> pseudonymous_id_store_;
  // Set once the first event of an unknown log source was refused and reported.
  std::atomic<bool> reported_unknown_log_source_{false};
};

// A logger whose `log` keeps the events in memory, for tests.
class JQXFakeTrassenLogger : public JQXTrassenLogger {
 public:
  static std::shared_ptr<JQXFakeTrassenLogger> initWithLogSource(
      int64_t logSource, const std::optional<std::string>& obfuscatedHollinID,
      std::shared_ptr<NSURL> logDirectory);
  static std::shared_ptr<JQXFakeTrassenLogger> initWithLogSource(
      int64_t logSource, const std::optional<std::string>& obfuscatedHollinID);

  void log(std::shared_ptr<JQXTrassenLogEvent> event) override;
  std::vector<std::shared_ptr<JQXTrassenLogEvent>> logEvents() const;
  std::vector<std::shared_ptr<JQXTrassenLogEvent>> logEventsWithEventCode(int32_t code) const;
  void clearLoggedEvents();

  using JQXTrassenLogger::JQXTrassenLogger;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<JQXTrassenLogEvent>> events_;
};

#endif  // USAGE_LOG_TRASSEN_LOGGER_H_
