#include "usage_log/trassen_logger.h"

#include <atomic>

#include "usage_base/experiment_ids.pb.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/utility/base_logger.h"
#include "usage_log/file_utility.h"
#include "usage_log/log_transformers.h"
#include "usage_log/log_writer.h"

using platform::utility::LogError;

// --- JQXTrassenLogEvent --------------------------------------------------------------------------

std::shared_ptr<JQXTrassenLogEvent> JQXTrassenLogEvent::initWithLogSource(
    int64_t logSource, bool isAnonymous, int64_t eventTimeMilliseconds,
    int64_t eventUptimeMilliseconds, int64_t eventTimeZoneOffsetSeconds) {
  return std::make_shared<JQXTrassenLogEvent>(logSource, isAnonymous, eventTimeMilliseconds,
                                              eventUptimeMilliseconds,
                                              eventTimeZoneOffsetSeconds);
}

std::shared_ptr<JQXTrassenLogEvent> JQXTrassenLogEvent::initWithLogSource(
    int64_t logSource, bool isAnonymous, const std::shared_ptr<JQXClockProtocol>& clock) {
  int64_t time = clock->currentTimeMilliseconds();
  // The uptime is taken against the boot time, so it moves with the event's wall time.
  int64_t uptime = time - clock->bootTimeMilliseconds();
  return initWithLogSource(logSource, isAnonymous, time, uptime, clock->timezoneOffsetSeconds());
}

std::shared_ptr<JQXTrassenLogEvent> JQXTrassenLogEvent::initWithLogSource(int64_t logSource,
                                                                          bool isAnonymous) {
  return initWithLogSource(logSource, isAnonymous,
                           std::shared_ptr<JQXClockProtocol>(JQXSystemClock::systemClock()));
}

std::shared_ptr<JQXTrassenLogEvent> JQXTrassenLogEvent::initWithLogSource(int64_t logSource) {
  return initWithLogSource(logSource, false);
}

void JQXTrassenLogEvent::setIsAnonymousLog(bool isAnonymousLog) {
  is_anonymous_log_ = isAnonymousLog;
  if (isAnonymousLog) {
    obfuscated_hollin_id_.clear();
    tovrick_override_.reset();
    experiment_ids_.reset();
    experiment_tokens_.reset();
  }
}

void JQXTrassenLogEvent::setObfuscatedHollinID(const std::optional<std::string>& id) {
  std::string value = id.value_or("");
  if (value == "none") value.clear();
  if (is_anonymous_log_ && !id.value_or("").empty()) {
    NSAssert(false, "Cannot log obfuscatedHollinID when isAnonymousLog is YES.");
    LogError(__PRETTY_FUNCTION__, "Cannot log obfuscatedHollinID when isAnonymousLog is YES.");
    return;
  }
  obfuscated_hollin_id_ = value;
}

void JQXTrassenLogEvent::setTovrickOverride(const std::optional<std::string>& tovrickOverride) {
  if (is_anonymous_log_) {
    NSAssert(false, "Cannot set tovrick override when isAnonymousLog is YES.");
    LogError(__PRETTY_FUNCTION__, "Cannot set tovrick override when isAnonymousLog is YES.");
    return;
  }
  tovrick_override_ = tovrickOverride;
}

void JQXTrassenLogEvent::addExperimentIDs(const std::vector<int32_t>& experimentIDs) {
  if (is_anonymous_log_) {
    NSAssert(false, "Cannot add experiment IDs when isAnonymousLog is YES.");
    LogError(__PRETTY_FUNCTION__, "Cannot add experiment IDs when isAnonymousLog is YES.");
    return;
  }
  if (!experiment_ids_) experiment_ids_.emplace();
  experiment_ids_->insert(experiment_ids_->end(), experimentIDs.begin(), experimentIDs.end());
}

void JQXTrassenLogEvent::addExperimentID(int32_t experimentID) {
  if (is_anonymous_log_) {
    NSAssert(false, "Cannot add experiment IDs when isAnonymousLog is YES.");
    LogError(__PRETTY_FUNCTION__, "Cannot add experiment IDs when isAnonymousLog is YES.");
    return;
  }
  if (!experiment_ids_) experiment_ids_.emplace();
  experiment_ids_->push_back(experimentID);
}

void JQXTrassenLogEvent::addExperimentTokens(
    std::shared_ptr<const ZQLMarovicExperimentTokens> tokens) {
  if (is_anonymous_log_) {
    NSAssert(false, "Cannot add experiment tokens when isAnonymousLog is YES.");
    LogError(__PRETTY_FUNCTION__, "Cannot add experiment tokens when isAnonymousLog is YES.");
    return;
  }
  if (!experiment_tokens_) experiment_tokens_.emplace();
  experiment_tokens_->push_back(std::move(tokens));
}

void JQXTrassenLogEvent::addTestCodes(const std::vector<int32_t>& testCodes) {
  if (!test_codes_) test_codes_.emplace();
  test_codes_->insert(test_codes_->end(), testCodes.begin(), testCodes.end());
}

void JQXTrassenLogEvent::addTestCode(int32_t testCode) {
  if (!test_codes_) test_codes_.emplace();
  test_codes_->push_back(testCode);
}

void JQXTrassenLogEvent::setNetworkConnectionInfo(
    std::shared_ptr<const NetworkConnectionInfo> value) {
  if (value != nullptr) value = std::make_shared<const NetworkConnectionInfo>(*value);
  network_connection_info_ = std::move(value);
}

std::shared_ptr<JQXTrassenLogEvent> JQXTrassenLogEvent::copy() const {
  auto event = initWithLogSource(log_source_, is_anonymous_log_, event_time_milliseconds_,
                                 event_uptime_milliseconds_, event_time_zone_offset_seconds_);
  event->obfuscated_hollin_id_ = obfuscated_hollin_id_;
  if (extension_ != nullptr) {
    std::shared_ptr<google::protobuf::MessageLite> copy(extension_->New());
    copy->CheckTypeAndMergeFrom(*extension_);
    event->extension_ = std::move(copy);
  }
  event->extension_data_ = extension_data_;
  event->component_id_ = component_id_;
  event->qos_tier_ = qos_tier_;
  event->event_code_ = event_code_;
  event->event_flow_id_ = event_flow_id_;
  event->is_user_initiated_ = is_user_initiated_;
  event->client_visual_elements_ = client_visual_elements_;
  event->network_connection_info_ = network_connection_info_;
  event->test_id_ = test_id_;
  if (!is_anonymous_log_) event->tovrick_override_ = tovrick_override_;
  event->experiment_ids_ = experiment_ids_;
  event->test_codes_ = test_codes_;
  event->experiment_tokens_ = experiment_tokens_;
  return event;
}

std::unique_ptr<LogEvent> JQXTrassenLogEvent::toLogEventProto() const {
  auto proto = std::make_unique<LogEvent>();
  proto->set_event_time_ms(event_time_milliseconds_);
  proto->set_event_uptime_ms(event_uptime_milliseconds_);
  proto->set_timezone_offset_seconds(event_time_zone_offset_seconds_);
  if (component_id_) proto->set_component_id(*component_id_);
  if (event_code_ != 0) proto->set_event_code(event_code_);
  if (event_flow_id_ != 0) proto->set_event_flow_id(event_flow_id_);
  if (is_user_initiated_) proto->set_is_user_initiated(true);
  if (client_visual_elements_) proto->set_client_ve(*client_visual_elements_);
  if (network_connection_info_) {
    *proto->mutable_network_connection_info() = *network_connection_info_;
  }
  if (extension_ != nullptr) {
    proto->set_source_extension(extension_->SerializeAsString());
  } else if (extension_data_) {
    proto->set_source_extension(*extension_data_);
  }
  if (test_codes_) {
    for (int32_t code : *test_codes_) proto->add_test_code(code);
  }
  if (test_id_) proto->set_test_id(*test_id_);
  if (!is_anonymous_log_) {
    if (tovrick_override_ && !tovrick_override_->empty()) {
      proto->set_tovrick_cookie_override(*tovrick_override_);
    }
    std::shared_ptr<YRXExperimentIds> ids;
    if (experiment_tokens_) {
      ids = ZQLMarovicExperimentTokens::experimentIDsWithTokensArray(*experiment_tokens_,
                                                                    obfuscated_hollin_id_);
    }
    if (experiment_ids_) {
      YRXDeviceExperimentIds device;
      for (int32_t id : *experiment_ids_) device.add_always(id);
      if (ids == nullptr) ids = std::make_shared<YRXExperimentIds>();
      ids->set_clear_blob(device.SerializeAsString());
    }
    if (ids != nullptr) *proto->mutable_experiment_ids() = *ids;
  }
  return proto;
}

// --- JQXTrassenLogger ----------------------------------------------------------------------------

namespace {

std::mutex enabled_mutex;
std::atomic<bool> logging_enabled{true};

template <typename T>
bool Contains(const JQXTrassenLogTransformers& list) {
  for (const auto& transformer : list) {
    if (dynamic_cast<T*>(transformer.get()) != nullptr) return true;
  }
  return false;
}

}  // namespace

std::optional<JQXTrassenLogger::Fields> JQXTrassenLogger::completeFields(
    int64_t logSource, const std::optional<std::string>& obfuscatedHollinID, bool isAnonymous,
    const std::optional<JQXTrassenLogTransformers>& logTransformers,
    std::shared_ptr<NSURL> logDirectory, std::shared_ptr<JQXClockProtocol> clock,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore) {
  if (logDirectory == nullptr) logDirectory = JQXTrassenFileUtility::defaultLogDirectory();
  JQXTrassenLogTransformers transformers = logTransformers.value_or(JQXTrassenLogTransformers());
  if (!Contains<JQXLogSampler>(transformers)) {
    transformers.insert(transformers.begin(), JQXLogSampler::init());
  }
  if (!isAnonymous && !Contains<JQXMarovicLogTransformer>(transformers)) {
    transformers.push_back(JQXMarovicLogTransformer::init());
  }
  if (!obfuscatedHollinID) {
    NSAssert(false,
             "obfuscatedHollinID must not be nil. Pass kJQXTrassenNoAccount for no account.");
    return std::nullopt;
  }
  if (!logTransformers) {
    NSAssert(false, "logTransformers must not be nil.");
    return std::nullopt;
  }
  if (logDirectory == nullptr) {
    NSAssert(false, "logDirectory must not be nil.");
    return std::nullopt;
  }
  if (clock == nullptr) {
    NSAssert(false, "clock must not be nil.");
    return std::nullopt;
  }
  if (pseudonymousIDStore == nullptr) {
    NSAssert(false, "pseudonymousIDStore must not be nil.");
    return std::nullopt;
  }
  return Fields{logSource,
                isAnonymous ? std::string() : *obfuscatedHollinID,
                isAnonymous,
                std::move(transformers),
                NSURL::fileURLWithPath(logDirectory->path(), true),
                std::move(clock),
                std::move(pseudonymousIDStore)};
}

JQXTrassenLogger::JQXTrassenLogger(Fields fields)
    : is_anonymous_(fields.isAnonymous),
      log_source_(fields.logSource),
      log_directory_(std::move(fields.logDirectory)),
      obfuscated_hollin_id_(std::move(fields.obfuscatedHollinID)),
      clock_(std::move(fields.clock)),
      log_transformers_(std::move(fields.logTransformers)),
      pseudonymous_id_store_(std::move(fields.pseudonymousIDStore)) {}

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initWithLogSource(
    int64_t logSource, const std::optional<std::string>& obfuscatedHollinID, bool isAnonymous,
    const std::optional<JQXTrassenLogTransformers>& logTransformers,
    std::shared_ptr<NSURL> logDirectory, std::shared_ptr<JQXClockProtocol> clock,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore) {
  auto fields = completeFields(logSource, obfuscatedHollinID, isAnonymous, logTransformers,
                               std::move(logDirectory), std::move(clock),
                               std::move(pseudonymousIDStore));
  if (!fields) return nullptr;
  return std::make_shared<JQXTrassenLogger>(std::move(*fields));
}

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initWithLogSource(
    int64_t logSource, const std::optional<std::string>& obfuscatedHollinID, bool isAnonymous,
    std::shared_ptr<NSURL> logDirectory, const JQXTrassenLogTransformers& logTransformers) {
  return initWithLogSource(logSource, obfuscatedHollinID, isAnonymous, logTransformers,
                           std::move(logDirectory), JQXSystemClock::systemClock(),
                           ZRBPseudonymousIDStore::sharedInstance());
}

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initWithLogSource(int64_t logSource) {
  return initWithLogSource(logSource, kJQXTrassenNoAccount, false, nullptr, {});
}

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initWithLogSource(
    int64_t logSource, const std::optional<std::string>& obfuscatedHollinID) {
  return initWithLogSource(logSource, obfuscatedHollinID, false, nullptr, {});
}

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initWithLogSource(
    int64_t logSource, const std::optional<std::string>& obfuscatedHollinID,
    std::shared_ptr<NSURL> logDirectory) {
  return initWithLogSource(logSource, obfuscatedHollinID, false, std::move(logDirectory), {});
}

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initWithLogSource(
    int64_t logSource, const std::optional<std::string>& obfuscatedHollinID,
    std::shared_ptr<NSURL> logDirectory, const JQXTrassenLogTransformers& logTransformers) {
  return initWithLogSource(logSource, obfuscatedHollinID, false, std::move(logDirectory),
                           logTransformers);
}

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initAnonymousLoggerWithLogSource(
    int64_t logSource) {
  return initWithLogSource(logSource, kJQXTrassenNoAccount, true, nullptr, {});
}

std::shared_ptr<JQXTrassenLogEvent> JQXTrassenLogger::newEvent() const {
  auto event = JQXTrassenLogEvent::initWithLogSource(log_source_, is_anonymous_, clock_);
  event->setObfuscatedHollinID(obfuscated_hollin_id_);
  event->setQosTier(qosTier());
  return event;
}

void JQXTrassenLogger::log(std::shared_ptr<JQXTrassenLogEvent> event) {
  if (!logging_enabled.load()) return;
  if (event != nullptr && !JQXLogWriter::isKnownLogSource(event->logSource())) {
    // No log context can name the source: refuse, and say so once per logger.
    JQXLogWriter::countRefusedEvent(event->logSource());
    if (!reported_unknown_log_source_.exchange(true)) {
      LogError(__PRETTY_FUNCTION__, "Unknown log source %lld, dropping its logs.",
               {static_cast<long long>(event->logSource())});
    }
    return;
  }
  JQXLogWriter::sharedInstance()->writeLog(std::move(event), pseudonymous_id_store_,
                                           log_directory_, clock_, log_transformers_);
}

void JQXTrassenLogger::logWithExtension(
    std::shared_ptr<const google::protobuf::MessageLite> extension) {
  auto event = newEvent();
  event->setExtension(std::move(extension));
  log(std::move(event));
}

void JQXTrassenLogger::logWithBlock(const std::function<void(JQXTrassenLogEvent&)>& block) {
  auto event = newEvent();
  block(*event);
  log(std::move(event));
}

void JQXTrassenLogger::setEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(enabled_mutex);
  logging_enabled.store(enabled);
}

bool JQXTrassenLogger::isEnabled() {
  std::lock_guard<std::mutex> lock(enabled_mutex);
  return logging_enabled.load();
}

void JQXTrassenLogger::setDefaultDirectory(std::shared_ptr<NSURL> url) {
  JQXTrassenFileUtility::setDefaultDirectory(std::move(url));
}

void JQXTrassenLogger::useLocalCachesDirectory() {
  std::shared_ptr<NSError> error;
  auto caches = NSFileManager::defaultManager()->URLForDirectory(NSCachesDirectory,
                                                                 NSUserDomainMask, nullptr, true,
                                                                 &error);
  if (caches == nullptr) {
    LogError(__PRETTY_FUNCTION__, "Could not create caches directory: %@", {error});
    return;
  }
  setDefaultDirectory(caches->URLByAppendingPathComponent("JQXTrassenLogger", true));
}

void JQXTrassenLogger::addGlobalLogTransformer(
    std::shared_ptr<JQXTrassenLogTransformer> transformer) {
  JQXLogWriter::addGlobalLogTransformer(std::move(transformer));
}

// --- JQXFakeTrassenLogger ------------------------------------------------------------------------

std::shared_ptr<JQXFakeTrassenLogger> JQXFakeTrassenLogger::initWithLogSource(
    int64_t logSource, const std::optional<std::string>& obfuscatedHollinID,
    std::shared_ptr<NSURL> logDirectory) {
  auto fields = completeFields(logSource, obfuscatedHollinID, false, JQXTrassenLogTransformers(),
                               std::move(logDirectory), JQXSystemClock::systemClock(),
                               ZRBPseudonymousIDStore::sharedInstance());
  if (!fields) return nullptr;
  return std::make_shared<JQXFakeTrassenLogger>(std::move(*fields));
}

std::shared_ptr<JQXFakeTrassenLogger> JQXFakeTrassenLogger::initWithLogSource(
    int64_t logSource, const std::optional<std::string>& obfuscatedHollinID) {
  return initWithLogSource(logSource, obfuscatedHollinID, nullptr);
}

void JQXFakeTrassenLogger::log(std::shared_ptr<JQXTrassenLogEvent> event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<std::shared_ptr<JQXTrassenLogEvent>> JQXFakeTrassenLogger::logEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<std::shared_ptr<JQXTrassenLogEvent>> JQXFakeTrassenLogger::logEventsWithEventCode(
    int32_t code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<JQXTrassenLogEvent>> matching;
  for (const auto& event : events_) {
    if (event->eventCode() == code) matching.push_back(event);
  }
  return matching;
}

void JQXFakeTrassenLogger::clearLoggedEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}
