// In-memory counters in the form the usage log carries them (ZVKCCounters messages): one
// counter set per dimension, in it one counter per metric-name hash, in it one bucket per key
// with a running count. Names never travel as text, only as their 64-bit hash.
//
//   auto counters = JQXTrassenCounters::initWithClock(clock);
//   counters->incrementCounterWithName("RequestSize", &dimension, 1234, 1);
//   auto sets = counters->countersProtosAndReset(true);   // none when nothing was counted
//
// `JQXTrassenCounterInstance`, `JQXTrassenIntegerHistogram` and `JQXTrassenTimerHistogram` are
// small handles for one named metric; the timer measures on the media clock (media_time.h) and
// counts the elapsed whole milliseconds as the bucket.
//
// JQXTrassenCounters is thread-safe. The messages handed out by countersProtosAndReset are the
// live ones: without a reset, later increments change them too. A timer belongs to one thread.
#ifndef USAGE_LOG_TRASSEN_COUNTERS_H_
#define USAGE_LOG_TRASSEN_COUNTERS_H_

#include <google/protobuf/message_lite.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usage_log/log_local.pb.h"
#include "usage_base/system_clock.h"

// The first 8 bytes of the MD5 digest of the name's UTF-8 bytes, read big-endian.
uint64_t JQXTrassenCountersNRWMetricHashForString(const std::string& name);

class JQXTrassenCounters {
 public:
  using CountersList = std::vector<std::shared_ptr<ZVKCCounters>>;

  // With the system clock.
  static std::shared_ptr<JQXTrassenCounters> init();
  static std::shared_ptr<JQXTrassenCounters> initWithClock(std::shared_ptr<JQXClockProtocol> clock);

  // Adds `amount` (may be negative) to the bucket `bucket` of the counter `name` in the set of
  // `dimension` (null: the set without dimension), creating what is missing.
  void incrementCounterWithName(const std::string& name,
                                const google::protobuf::MessageLite* dimension, int64_t bucket,
                                int64_t amount);
  // The counter sets in order of first use, or none when there are none; `reset` empties the
  // list, so later increments start new messages.
  std::optional<CountersList> countersProtosAndReset(bool reset);
  void reset();

  // Lookups that create what is missing. `serializedDimension` none: the set without dimension.
  ZVKCBucket* bucketProtoWithBucketKey(int64_t key, uint64_t nameHash,
                                       const std::optional<std::string>& serializedDimension);
  ZVKCCounter* counterProtoNamed(uint64_t nameHash,
                                 const std::optional<std::string>& serializedDimension);
  ZVKCCounters* countersProtoWithDimension(const std::optional<std::string>& serializedDimension);

  std::string descriptionForAllCountersWithName(const std::string& name) const { return name; }

  const std::shared_ptr<JQXClockProtocol>& clock() const { return clock_; }

  explicit JQXTrassenCounters(std::shared_ptr<JQXClockProtocol> clock) : clock_(std::move(clock)) {}

 private:
  ZVKCBucket* BucketLocked(int64_t key, uint64_t nameHash,
                           const std::optional<std::string>& serializedDimension);
  ZVKCCounter* CounterLocked(uint64_t nameHash,
                             const std::optional<std::string>& serializedDimension);
  ZVKCCounters* CountersLocked(const std::optional<std::string>& serializedDimension);

  std::mutex mutex_;
  CountersList counters_;
  std::shared_ptr<JQXClockProtocol> clock_;
};

// A plain counter: each increment adds to bucket 0. Copies are the same object.
class JQXTrassenCounterInstance {
 public:
  static std::shared_ptr<JQXTrassenCounterInstance> initWithName(
      std::string name, std::shared_ptr<JQXTrassenCounters> counters);
  void increment() { incrementWithDimension(nullptr, 1); }
  void incrementWithDimension(const google::protobuf::MessageLite* dimension) {
    incrementWithDimension(dimension, 1);
  }
  void incrementWithDimension(const google::protobuf::MessageLite* dimension, int64_t amount);

  const std::string& name() const { return name_; }
  const std::shared_ptr<JQXTrassenCounters>& counters() const { return counters_; }
  // "<JQXTrassenCounterInstance: 0x..., name>"
  std::string description() const;
  // Same counters object and equal names.
  bool operator==(const JQXTrassenCounterInstance& other) const {
    return counters_ == other.counters_ && name_ == other.name_;
  }
  size_t hash() const;

  JQXTrassenCounterInstance(std::string name, std::shared_ptr<JQXTrassenCounters> counters)
      : name_(std::move(name)), counters_(std::move(counters)) {}

 private:
  std::string name_;
  std::shared_ptr<JQXTrassenCounters> counters_;
};

// An integer histogram: each increment adds 1 to the given bucket. Copies are the same object.
class JQXTrassenIntegerHistogram {
 public:
  static std::shared_ptr<JQXTrassenIntegerHistogram> initWithName(
      std::string name, std::shared_ptr<JQXTrassenCounters> counters);
  void incrementBucket(int64_t bucket) { incrementBucket(bucket, nullptr); }
  void incrementBucket(int64_t bucket, const google::protobuf::MessageLite* dimension);

  const std::string& name() const { return name_; }
  const std::shared_ptr<JQXTrassenCounters>& counters() const { return counters_; }
  std::string description() const;
  bool operator==(const JQXTrassenIntegerHistogram& other) const {
    return counters_ == other.counters_ && name_ == other.name_;
  }
  size_t hash() const;

  JQXTrassenIntegerHistogram(std::string name, std::shared_ptr<JQXTrassenCounters> counters)
      : name_(std::move(name)), counters_(std::move(counters)) {}

 private:
  std::string name_;
  std::shared_ptr<JQXTrassenCounters> counters_;
};

// A timer: start, then stop to count the elapsed whole milliseconds as the bucket. Equality is
// identity; a copy is a new timer of the same name and counters that is not running.
class JQXTrassenTimerHistogram {
 public:
  static std::shared_ptr<JQXTrassenTimerHistogram> initWithName(
      std::string name, std::shared_ptr<JQXTrassenCounters> counters);
  std::shared_ptr<JQXTrassenTimerHistogram> copy() const {
    return initWithName(name_, counters_);
  }

  // A running timer keeps its start.
  void start();
  void cancel() { start_time_ = -1.0; }
  void stopAndLogTime() { stopAndLogTimeWithDimension(nullptr); }
  // Nothing when the timer is not running.
  void stopAndLogTimeWithDimension(const google::protobuf::MessageLite* dimension);
  bool isTimerRunning() const { return start_time_ >= 0; }

  double startTime() const { return start_time_; }
  const std::string& name() const { return name_; }
  const std::shared_ptr<JQXTrassenCounters>& counters() const { return counters_; }
  std::string description() const;

  JQXTrassenTimerHistogram(std::string name, std::shared_ptr<JQXTrassenCounters> counters)
      : name_(std::move(name)), counters_(std::move(counters)) {}

 private:
  double start_time_ = -1.0;
  std::string name_;
  std::shared_ptr<JQXTrassenCounters> counters_;
};

#endif  // USAGE_LOG_TRASSEN_COUNTERS_H_
