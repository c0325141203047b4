#include "usage_log/log_transformers.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "experiment_flags/marovic_error.h"
#include "platform/foundation/device.h"
#include "usage_log/farmhash.h"

std::shared_ptr<JQXLogSampler> JQXLogSampler::init() {
  return initWithFlags(JQXTrassenFlags::sharedInstance(), std::nullopt);
}

std::shared_ptr<JQXLogSampler> JQXLogSampler::initWithFlags(
    std::shared_ptr<JQXTrassenFlags> flags, const std::optional<std::string>& idfv) {
  if (flags == nullptr) return nullptr;
  if (idfv.has_value() && idfv->empty()) return nullptr;
  return std::make_shared<JQXLogSampler>(
      std::move(flags), idfv ? std::make_shared<const std::string>(*idfv) : nullptr);
}

std::shared_ptr<JQXTrassenLogEvent> JQXLogSampler::transform(
    std::shared_ptr<JQXTrassenLogEvent> event) {
  if (event == nullptr) return nullptr;
  if (flags_->shouldSampleAllLogSources()) return nullptr;
  if (flags_->logSamplingRulesEnabled() && shouldSampleLocally(*event)) return nullptr;
  return event;
}

bool JQXLogSampler::shouldSampleLocally(const JQXTrassenLogEvent& event) {
  std::shared_ptr<const LogSamplingRules> rules =
      flags_->logSamplingRulesForLogSource(event.logSource());

  std::shared_ptr<const std::string> key = idfv_.load();
  if (key == nullptr) {
    auto vendor = UIDevice::currentDevice()->identifierForVendor();
    if (vendor == nullptr) return false;
    std::string text = vendor->UUIDString();
    if (text.empty()) return false;
    key = std::make_shared<const std::string>(std::move(text));
    idfv_.store(key);
  }
  if (rules == nullptr) return false;

  for (const LogSamplingRules::Rule& rule : rules->rules()) {
    if (rule.has_event_code() && rule.event_code() != event.eventCode()) continue;
    if (rule.keep_denominator() == 0) return false;
    if (rule.keep_numerator() > rule.keep_denominator()) return false;
    std::string hash_key = *key;
    if (!rule.correlation_token().empty()) hash_key += rule.correlation_token();
    uint64_t h = JQXFarmHash::fingerprint64ForString(hash_key);
    uint64_t r = h % static_cast<uint64_t>(rule.keep_denominator());
    if (r >= static_cast<uint64_t>(rule.keep_numerator())) return true;
  }
  return false;
}

std::shared_ptr<JQXTrassenLogEvent> JQXMarovicLogTransformer::transform(
    std::shared_ptr<JQXTrassenLogEvent> event) {
  if (event == nullptr || event->isAnonymousLog()) return event;
  std::shared_ptr<ZQLMarovic> store = marovic_ != nullptr ? marovic_ : ZQLMarovic::sharedInstance();

  // The store answers on its own queue (or at once on this thread); wait without a time limit.
  struct Answer {
    std::mutex mutex;
    std::condition_variable done_condition;
    bool done = false;
  };
  auto answer = std::make_shared<Answer>();
  store->experimentTokens(
      event->logSource(), event->obfuscatedHollinID(),
      [answer, event](std::shared_ptr<ZQLMarovicExperimentTokens> tokens,
                      std::shared_ptr<NSError> error) {
        if (error != nullptr) {
          bool quiet = error->domain() == kZQLMarovicErrorDomain &&
                       (error->code() == ZQLMarovicErrorCodeNotCommitted ||
                        error->code() == ZQLMarovicErrorCodeNotRegistered);
          if (!quiet) event->addExperimentID(kJQXMarovicTokenErrorExperimentID);
        } else if (tokens != nullptr) {
          event->addExperimentTokens(std::move(tokens));
        }
        std::lock_guard<std::mutex> lock(answer->mutex);
        answer->done = true;
        answer->done_condition.notify_all();
      });
  std::unique_lock<std::mutex> lock(answer->mutex);
  answer->done_condition.wait(lock, [&] { return answer->done; });
  return event;
}

uint64_t JQXFarmHash::fingerprint64ForString(const std::string& text) {
  return util::Fingerprint64(text.c_str(), std::strlen(text.c_str()));
}
