// Event transformers: what the log writer runs on each event, in the logger's order, before the
// event is written. A transformer returns the event (perhaps with additions) or null, which
// drops it.
//
// `JQXLogSampler` drops events by the sampling settings: every event while
// "sample_all_log_sources" is on, and, while "enable_log_sampling_rules" is on, events that the
// log source's rules do not keep for this device. A rule keeps numerator/denominator of the
// devices, chosen by a stable hash of the device's vendor identifier and the rule's correlation
// token, so a device keeps or drops the same events on every run:
//
//   auto sampler = JQXLogSampler::initWithFlags(JQXTrassenFlags::sharedInstance(), std::nullopt);
//   if (sampler->transform(event) == nullptr) ...   // dropped
//
// `JQXMarovicLogTransformer` attaches the experiment tokens of a non-anonymous event's log
// source and account from the flag store, blocking until the store answers.
#ifndef USAGE_LOG_LOG_TRANSFORMERS_H_
#define USAGE_LOG_LOG_TRANSFORMERS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "experiment_flags/marovic.h"
#include "usage_log/trassen_flags.h"
#include "usage_log/trassen_logger.h"

class JQXTrassenLogTransformer {
 public:
  virtual ~JQXTrassenLogTransformer() = default;
  virtual std::shared_ptr<JQXTrassenLogEvent> transform(std::shared_ptr<JQXTrassenLogEvent> event) = 0;
};

class JQXLogSampler : public JQXTrassenLogTransformer {
 public:
  // The shared settings and the device's vendor identifier.
  static std::shared_ptr<JQXLogSampler> init();
  // Null when `flags` is null or `idfv` is given but empty.
  static std::shared_ptr<JQXLogSampler> initWithFlags(std::shared_ptr<JQXTrassenFlags> flags,
                                                      const std::optional<std::string>& idfv);

  std::shared_ptr<JQXTrassenLogEvent> transform(std::shared_ptr<JQXTrassenLogEvent> event) override;
  // Whether the rules of the event's log source drop it on this device.
  bool shouldSampleLocally(const JQXTrassenLogEvent& event);

  const std::shared_ptr<JQXTrassenFlags>& flags() const { return flags_; }
  std::shared_ptr<const std::string> idfv() const { return idfv_.load(); }

  JQXLogSampler(std::shared_ptr<JQXTrassenFlags> flags, std::shared_ptr<const std::string> idfv)
      : flags_(std::move(flags)), idfv_(std::move(idfv)) {}

 private:
  const std::shared_ptr<JQXTrassenFlags> flags_;
  // A sampler may be shared by loggers used from several threads.
  std::atomic<std::shared_ptr<const std::string>> idfv_;
};

class JQXMarovicLogTransformer : public JQXTrassenLogTransformer {
 public:
  // The store asked for tokens: `marovic`, or the shared store when null.
  static std::shared_ptr<JQXMarovicLogTransformer> init() { return initWithMarovic(nullptr); }
  static std::shared_ptr<JQXMarovicLogTransformer> initWithMarovic(
      std::shared_ptr<ZQLMarovic> marovic) {
    return std::make_shared<JQXMarovicLogTransformer>(std::move(marovic));
  }

  // Anonymous events pass unchanged. Otherwise waits for the store's answer: tokens are added;
  // "not registered" and "nothing committed" add nothing; any other error adds the experiment
  // id kJQXMarovicTokenErrorExperimentID. Never drops an event.
  std::shared_ptr<JQXTrassenLogEvent> transform(std::shared_ptr<JQXTrassenLogEvent> event) override;

  const std::shared_ptr<ZQLMarovic>& marovic() const { return marovic_; }

  explicit JQXMarovicLogTransformer(std::shared_ptr<ZQLMarovic> marovic)
      : marovic_(std::move(marovic)) {}

 private:
  const std::shared_ptr<ZQLMarovic> marovic_;
};

// The experiment id that marks events whose tokens could not be read.
inline constexpr int32_t kJQXMarovicTokenErrorExperimentID = 14900290;

class JQXFarmHash {
 public:
  // The fingerprint of the text's bytes up to its first zero byte.
  static uint64_t fingerprint64ForString(const std::string& text);
};

#endif  // USAGE_LOG_LOG_TRANSFORMERS_H_
