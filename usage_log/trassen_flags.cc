#include "usage_log/trassen_flags.h"

#include "platform/foundation/ns_bundle.h"
#include "usage_log/file_utility.h"

std::shared_ptr<JQXTrassenFlags> JQXTrassenFlags::sharedInstance() {
  static const std::shared_ptr<JQXTrassenFlags> shared = initWithMarovicFlags(nullptr);
  return shared;
}

std::shared_ptr<JQXTrassenFlags> JQXTrassenFlags::initWithMarovicFlags(
    std::shared_ptr<ZQLMarovicFlagsProtocol> flags) {
  return std::make_shared<JQXTrassenFlags>(std::move(flags));
}

std::string JQXTrassenFlags::marovicPackageName() {
  return std::string(kJQXTrassenFlagsPackagePrefix) + "#" +
         NSBundle::mainBundle()->bundleIdentifier();
}

std::shared_ptr<ZQLMarovicFlagsProtocol> JQXTrassenFlags::allFlags() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (all_flags_ == nullptr) {
    all_flags_ = ZQLMarovicFlags::initWithPackageName(marovicPackageName(), "",
                                                      ZQLMarovic::sharedInstance(), false);
  }
  return all_flags_;
}

void JQXTrassenFlags::update() { allFlags()->update(); }

std::optional<std::string> JQXTrassenFlags::serverToken() { return allFlags()->serverToken(); }

ZQLMarovicNumber JQXTrassenFlags::number(const char* name, ZQLMarovicNumber defaultValue) {
  return allFlags()->numberForFlagName(name, defaultValue);
}

namespace {
ZQLMarovicNumber I(int64_t value) { return ZQLMarovicNumber::Integer(value); }
ZQLMarovicNumber B(bool value) { return ZQLMarovicNumber::Boolean(value); }
}  // namespace

int64_t JQXTrassenFlags::autoUploadPeriodSeconds() {
  return number("auto_upload_period_seconds", I(900)).longLongValue();
}
int64_t JQXTrassenFlags::autoUploadLeewaySeconds() {
  return number("auto_upload_leeway_seconds", I(300)).longLongValue();
}
int64_t JQXTrassenFlags::autoUploadOnForegroundDelaySeconds() {
  return number("auto_upload_on_foreground_delay_seconds", I(45)).longLongValue();
}
int64_t JQXTrassenFlags::defaultUploadPeriodMilliseconds() {
  return number("default_upload_period_milliseconds", I(900000)).longLongValue();
}
int64_t JQXTrassenFlags::onForegroundUploadPeriodMilliseconds() {
  return number("on_foreground_upload_period_milliseconds", I(14400000)).longLongValue();
}
int64_t JQXTrassenFlags::unmeteredOrDailyPeriodMilliseconds() {
  return number("unmetered_or_daily_period_milliseconds", I(86400000)).longLongValue();
}
int64_t JQXTrassenFlags::marovicUpdatePeriodMilliseconds() {
  return number("marovic_update_period_milliseconds", I(7200000)).longLongValue();
}
int64_t JQXTrassenFlags::directoryConsideredOldPeriodMilliseconds() {
  return number("directory_considered_old_period_milliseconds", I(1209600000)).longLongValue();
}
int64_t JQXTrassenFlags::logFileAgeCutoffMilliseconds() {
  return number("log_file_age_cutoff_milliseconds", I(604800000)).longLongValue();
}
int64_t JQXTrassenFlags::maxMetaCountersCount() {
  return number("max_meta_counters_count", I(200)).longLongValue();
}
int64_t JQXTrassenFlags::maxStorageSizeBytes() {
  return number("max_storage_size_bytes", I(10485760)).longLongValue();
}
bool JQXTrassenFlags::shouldLogMetaCounters() {
  return number("log_meta_counters", B(true)).boolValue();
}
bool JQXTrassenFlags::shouldFlushMetaCounters() {
  return number("flush_meta_counters", B(true)).boolValue();
}
bool JQXTrassenFlags::shouldLogMetaEvents() {
  return number("log_meta_events", B(true)).boolValue();
}
bool JQXTrassenFlags::batchUpload() { return number("batch_upload_v2", B(true)).boolValue(); }
bool JQXTrassenFlags::shouldSampleAllLogSources() {
  return number("sample_all_log_sources", B(false)).boolValue();
}
uint64_t JQXTrassenFlags::collectForDebugUploadIntervalSeconds() {
  return number("collect_for_debug_upload_interval_seconds", I(5)).unsignedLongLongValue();
}
uint64_t JQXTrassenFlags::collectForDebugCheckOnForegroundDelaySeconds() {
  // The flag's name is spelt this way in the service's configuration.
  return number("collect_for_debug_check_on_forground_delay_seconds", I(10))
      .unsignedLongLongValue();
}
bool JQXTrassenFlags::logSamplingRulesEnabled() {
  return number("enable_log_sampling_rules", B(false)).boolValue();
}

std::shared_ptr<const LogSamplingRules> JQXTrassenFlags::logSamplingRulesForLogSource(
    int64_t logSource) {
  std::shared_ptr<ZQLMarovicMessageFlag> flag;
  {
    std::shared_ptr<ZQLMarovicFlagsProtocol> flags = allFlags();
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = log_source_to_sampling_rules_[logSource];
    if (slot == nullptr) {
      slot = std::make_shared<ZQLMarovicMessageFlag>(
          "sampling_rules_for_log_source_" + std::to_string(logSource), nullptr,
          LogSamplingRules::default_instance(), std::move(flags));
    }
    flag = slot;
  }
  // The flag parses with LogSamplingRules' prototype, so the message is one.
  return std::static_pointer_cast<const LogSamplingRules>(flag->message());
}

// --- JQXQosTierOverrides -------------------------------------------------------------------------

std::shared_ptr<JQXQosTierOverrides> JQXQosTierOverrides::initWithLogDirectory(
    std::shared_ptr<NSURL> url) {
  auto overrides = std::make_shared<JQXQosTierOverrides>(std::move(url));
  overrides->loadFromFile();
  return overrides;
}

void JQXQosTierOverrides::loadFromFile() {
  std::map<int64_t, int64_t> overrides;
  if (log_directory_ != nullptr) {
    auto state = JQXTrassenFileUtility::uploaderStateInLogDirectory(*log_directory_);
    if (state->has_qos_tier()) {
      for (const QosTierConfiguration& entry : state->qos_tier().qos_tier_configuration()) {
        overrides[entry.log_source()] = entry.qos_tier();
      }
    }
  }
  overrides_ = std::move(overrides);
}

std::optional<int64_t> JQXQosTierOverrides::overrideForLogSource(int64_t logSource) const {
  auto it = overrides_.find(logSource);
  if (it == overrides_.end()) return std::nullopt;
  return it->second;
}
