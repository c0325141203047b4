// The usage-logging library's settings and the per-log-source QoS tier overrides.
//
// Every setting is an experiment flag of the library's own package (its prefix, "#", the main
// bundle's identifier), read through the flag store at each call with a compiled-in default, so
// a new configuration changes later reads:
//
//   auto flags = JQXTrassenFlags::sharedInstance();
//   int64_t period = flags->autoUploadPeriodSeconds();                  // 900 by default
//   auto rules = flags->logSamplingRulesForLogSource(700);              // null: no rules
//
// `JQXQosTierOverrides` holds the tiers the usage-logging service asked for, as the uploader
// stored them in a log directory's state file; the log writer applies them to events. It reads
// the file once, when made.
#ifndef USAGE_LOG_TRASSEN_FLAGS_H_
#define USAGE_LOG_TRASSEN_FLAGS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "experiment_flags/marovic_flags.h"
#include "platform/foundation/ns_url.h"
#include "usage_base/log_wire.pb.h"

// The prefix of the library's flag package.
inline constexpr char kJQXTrassenFlagsPackagePrefix[] = "com.brenvik.trassen";

class JQXTrassenFlags {
 public:
  static std::shared_ptr<JQXTrassenFlags> sharedInstance();
  // `flags` null: the package's flag set is made on first use.
  static std::shared_ptr<JQXTrassenFlags> initWithMarovicFlags(
      std::shared_ptr<ZQLMarovicFlagsProtocol> flags);

  // The package's flag set (made on first use, served by the shared store).
  std::shared_ptr<ZQLMarovicFlagsProtocol> allFlags();
  // Commits the package again, so that later reads see new values.
  void update();

  int64_t autoUploadPeriodSeconds();
  int64_t autoUploadLeewaySeconds();
  int64_t autoUploadOnForegroundDelaySeconds();
  int64_t defaultUploadPeriodMilliseconds();
  int64_t onForegroundUploadPeriodMilliseconds();
  int64_t unmeteredOrDailyPeriodMilliseconds();
  int64_t marovicUpdatePeriodMilliseconds();
  int64_t directoryConsideredOldPeriodMilliseconds();
  int64_t logFileAgeCutoffMilliseconds();
  int64_t maxMetaCountersCount();
  int64_t maxStorageSizeBytes();
  bool shouldLogMetaCounters();
  bool shouldFlushMetaCounters();
  bool shouldLogMetaEvents();
  bool batchUpload();
  bool shouldSampleAllLogSources();
  uint64_t collectForDebugUploadIntervalSeconds();
  uint64_t collectForDebugCheckOnForegroundDelaySeconds();
  bool logSamplingRulesEnabled();

  std::string marovicPackageName();
  std::optional<std::string> serverToken();

  // The rules of the flag "sampling_rules_for_log_source_<logSource>"; null when the flag has no
  // value or its bytes are not rules. One flag object per log source, made on first use.
  std::shared_ptr<const LogSamplingRules> logSamplingRulesForLogSource(int64_t logSource);

  explicit JQXTrassenFlags(std::shared_ptr<ZQLMarovicFlagsProtocol> flags)
      : all_flags_(std::move(flags)) {}

 private:
  ZQLMarovicNumber number(const char* name, ZQLMarovicNumber defaultValue);

  std::mutex mutex_;
  std::shared_ptr<ZQLMarovicFlagsProtocol> all_flags_;
  std::map<int64_t, std::shared_ptr<ZQLMarovicMessageFlag>> log_source_to_sampling_rules_;
};

class JQXQosTierOverrides {
 public:
  // Reads the directory's state file.
  static std::shared_ptr<JQXQosTierOverrides> initWithLogDirectory(std::shared_ptr<NSURL> url);

  // Reads the overrides of the state file: a later entry for a log source replaces an earlier.
  void loadFromFile();
  std::optional<int64_t> overrideForLogSource(int64_t logSource) const;

  const std::shared_ptr<NSURL>& logDirectory() const { return log_directory_; }
  const std::map<int64_t, int64_t>& overrides() const { return overrides_; }

  explicit JQXQosTierOverrides(std::shared_ptr<NSURL> url) : log_directory_(std::move(url)) {}

 private:
  std::shared_ptr<NSURL> log_directory_;
  std::map<int64_t, int64_t> overrides_;
};

#endif  // USAGE_LOG_TRASSEN_FLAGS_H_
