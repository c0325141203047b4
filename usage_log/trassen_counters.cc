#include "usage_log/trassen_counters.h"

#include <openssl/evp.h>

#include <functional>

#include "base/logging.h"
#include "platform/foundation/system_log.h"
#include "platform/quartzcore/media_time.h"
#include "usage_log/openssl_init.h"

uint64_t JQXTrassenCountersNRWMetricHashForString(const std::string& name) {
  usage_log_internal::KeepOpenSslPastExit();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  const int digested =
      EVP_Digest(name.data(), name.size(), digest, &digest_size, EVP_md5(), nullptr);
  CHECK(digested == 1 && digest_size >= 8) << "MD5 is not available";
  uint64_t hash = 0;
  for (int i = 0; i < 8; ++i) hash = (hash << 8) | digest[i];
  return hash;
}

namespace {

std::optional<std::string> Serialized(const google::protobuf::MessageLite* dimension) {
  if (dimension == nullptr) return std::nullopt;
  return dimension->SerializeAsString();
}

template <typename T>
std::string HandleDescription(const char* class_name, const T* self, const std::string& name) {
  return platform::foundation::StringWithFormat("<%s: %p, %s>", class_name,
                                                static_cast<const void*>(self), name.c_str());
}

template <typename T>
size_t HandleHash(const T& handle) {
  return std::hash<const void*>()(handle.counters().get()) * 31 +
         std::hash<std::string>()(handle.name());
}

}  // namespace

std::shared_ptr<JQXTrassenCounters> JQXTrassenCounters::init() {
  return initWithClock(JQXSystemClock::systemClock());
}

std::shared_ptr<JQXTrassenCounters> JQXTrassenCounters::initWithClock(
    std::shared_ptr<JQXClockProtocol> clock) {
  return std::make_shared<JQXTrassenCounters>(std::move(clock));
}

void JQXTrassenCounters::incrementCounterWithName(const std::string& name,
                                                  const google::protobuf::MessageLite* dimension,
                                                  int64_t bucket, int64_t amount) {
  const uint64_t hash = JQXTrassenCountersNRWMetricHashForString(name);
  const std::optional<std::string> serialized = Serialized(dimension);
  std::lock_guard<std::mutex> lock(mutex_);
  ZVKCBucket* found = BucketLocked(bucket, hash, serialized);
  found->set_count(found->count() + amount);
}

std::optional<JQXTrassenCounters::CountersList> JQXTrassenCounters::countersProtosAndReset(
    bool reset) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (counters_.empty()) return std::nullopt;
  CountersList list = counters_;
  if (reset) counters_.clear();
  return list;
}

void JQXTrassenCounters::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  counters_.clear();
}

ZVKCBucket* JQXTrassenCounters::bucketProtoWithBucketKey(
    int64_t key, uint64_t nameHash, const std::optional<std::string>& serializedDimension) {
  std::lock_guard<std::mutex> lock(mutex_);
  return BucketLocked(key, nameHash, serializedDimension);
}

ZVKCCounter* JQXTrassenCounters::counterProtoNamed(
    uint64_t nameHash, const std::optional<std::string>& serializedDimension) {
  std::lock_guard<std::mutex> lock(mutex_);
  return CounterLocked(nameHash, serializedDimension);
}

ZVKCCounters* JQXTrassenCounters::countersProtoWithDimension(
    const std::optional<std::string>& serializedDimension) {
  std::lock_guard<std::mutex> lock(mutex_);
  return CountersLocked(serializedDimension);
}

ZVKCBucket* JQXTrassenCounters::BucketLocked(int64_t key, uint64_t nameHash,
                                             const std::optional<std::string>& serializedDimension) {
  ZVKCCounter* counter = CounterLocked(nameHash, serializedDimension);
  for (ZVKCBucket& bucket : *counter->mutable_bucket()) {
    if (bucket.key() == key) return &bucket;
  }
  ZVKCBucket* bucket = counter->add_bucket();
  bucket->set_key(key);
  bucket->set_count(0);
  return bucket;
}

ZVKCCounter* JQXTrassenCounters::CounterLocked(
    uint64_t nameHash, const std::optional<std::string>& serializedDimension) {
  ZVKCCounters* set = CountersLocked(serializedDimension);
  for (ZVKCCounter& counter : *set->mutable_counter()) {
    if (counter.hashed_name() == nameHash) return &counter;
  }
  ZVKCCounter* counter = set->add_counter();
  counter->set_hashed_name(nameHash);
  return counter;
}

ZVKCCounters* JQXTrassenCounters::CountersLocked(
    const std::optional<std::string>& serializedDimension) {
  for (const auto& set : counters_) {
    if (!serializedDimension.has_value()) {
      if (!set->has_dimensions_instance()) return set.get();
    } else if (set->has_dimensions_instance() &&
               set->dimensions_instance() == *serializedDimension) {
      return set.get();
    }
  }
  auto set = std::make_shared<ZVKCCounters>();
  if (serializedDimension.has_value()) set->set_dimensions_instance(*serializedDimension);
  set->set_uptime_millis(clock_->uptimeMilliseconds());
  counters_.push_back(set);
  return set.get();
}

std::shared_ptr<JQXTrassenCounterInstance> JQXTrassenCounterInstance::initWithName(
    std::string name, std::shared_ptr<JQXTrassenCounters> counters) {
  return std::make_shared<JQXTrassenCounterInstance>(std::move(name), std::move(counters));
}

void JQXTrassenCounterInstance::incrementWithDimension(
    const google::protobuf::MessageLite* dimension, int64_t amount) {
  counters_->incrementCounterWithName(name_, dimension, 0, amount);
}

std::string JQXTrassenCounterInstance::description() const {
  return HandleDescription("JQXTrassenCounterInstance", this, name_);
}

size_t JQXTrassenCounterInstance::hash() const { return HandleHash(*this); }

std::shared_ptr<JQXTrassenIntegerHistogram> JQXTrassenIntegerHistogram::initWithName(
    std::string name, std::shared_ptr<JQXTrassenCounters> counters) {
  return std::make_shared<JQXTrassenIntegerHistogram>(std::move(name), std::move(counters));
}

void JQXTrassenIntegerHistogram::incrementBucket(int64_t bucket,
                                                 const google::protobuf::MessageLite* dimension) {
  counters_->incrementCounterWithName(name_, dimension, bucket, 1);
}

std::string JQXTrassenIntegerHistogram::description() const {
  return HandleDescription("JQXTrassenIntegerHistogram", this, name_);
}

size_t JQXTrassenIntegerHistogram::hash() const { return HandleHash(*this); }

std::shared_ptr<JQXTrassenTimerHistogram> JQXTrassenTimerHistogram::initWithName(
    std::string name, std::shared_ptr<JQXTrassenCounters> counters) {
  return std::make_shared<JQXTrassenTimerHistogram>(std::move(name), std::move(counters));
}

void JQXTrassenTimerHistogram::start() {
  if (!isTimerRunning()) start_time_ = CACurrentMediaTime();
}

void JQXTrassenTimerHistogram::stopAndLogTimeWithDimension(
    const google::protobuf::MessageLite* dimension) {
  if (!isTimerRunning()) return;
  const auto elapsed_ms = static_cast<int64_t>((CACurrentMediaTime() - start_time_) * 1000.0);
  counters_->incrementCounterWithName(name_, dimension, elapsed_ms, 1);
  start_time_ = -1.0;
}

std::string JQXTrassenTimerHistogram::description() const {
  return HandleDescription("JQXTrassenTimerHistogram", this, name_);
}
