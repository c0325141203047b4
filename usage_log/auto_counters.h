// Counters that flush themselves. `JQXTrassenAutoCounters` counts on its own serial queue and
// hands the whole counter set to its delegate to be logged when the delegate's limit of
// increments is reached, when the app terminates (and, with `regularFlush`, when it enters the
// background) or when flushed explicitly:
//
//   auto counters = JQXTrassenAutoCounters::initWithDelegate(delegate, clock, false);
//   counters->increaseCounterWithName("RequestSize", dimension, 1234, 1);   // returns at once
//   counters->flushCountersToLogger();                                       // waits for the queue
//
// The delegate is held weakly and asked on the counters' queue. `JQXTrassenLoggerLogCounters`
// is how a usage logger logs a counter set: one event per dimension, the set emptied.
#ifndef USAGE_LOG_AUTO_COUNTERS_H_
#define USAGE_LOG_AUTO_COUNTERS_H_

#include <google/protobuf/message_lite.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_notification_center.h"
#include "usage_log/trassen_counters.h"
#include "usage_log/trassen_logger.h"

class JQXTrassenAutoCountersDelegate {
 public:
  virtual ~JQXTrassenAutoCountersDelegate() = default;
  virtual void logCounters(const std::shared_ptr<JQXTrassenCounters>& counters) = 0;
  virtual bool shouldLogCounters() = 0;
  virtual int64_t maxCounterCount() = 0;
};

class JQXTrassenAutoCounters : public std::enable_shared_from_this<JQXTrassenAutoCounters> {
 public:
  // With the system clock.
  static std::shared_ptr<JQXTrassenAutoCounters> initWithDelegate(
      std::weak_ptr<JQXTrassenAutoCountersDelegate> delegate, bool regularFlush);
  static std::shared_ptr<JQXTrassenAutoCounters> initWithDelegate(
      std::weak_ptr<JQXTrassenAutoCountersDelegate> delegate,
      std::shared_ptr<JQXClockProtocol> clock, bool regularFlush);
  ~JQXTrassenAutoCounters();

  // Counts asynchronously on the queue, when the delegate wants counters; reaching the
  // delegate's maximum number of increments flushes. `dimension` may be null.
  void increaseCounterWithName(const std::string& name,
                               std::shared_ptr<const google::protobuf::MessageLite> dimension,
                               int64_t bucket, int64_t amount);
  // Flushes synchronously on the queue; must not be called from it.
  void flushCountersToLogger();
  // On the queue: hands the counters to the delegate when anything was counted since the last
  // flush.
  void flushCountersToLoggerInternal();

  const std::shared_ptr<JQXTrassenCounters>& counters() const { return counters_; }
  const dispatch_queue_t& queue() const { return queue_; }

  JQXTrassenAutoCounters(std::weak_ptr<JQXTrassenAutoCountersDelegate> delegate,
                         std::shared_ptr<JQXClockProtocol> clock);

 private:
  void observe(const char* name);

  std::weak_ptr<JQXTrassenAutoCountersDelegate> delegate_;
  std::shared_ptr<JQXTrassenCounters> counters_;
  int64_t total_count_ = 0;  // on the queue
  dispatch_queue_t queue_;
  std::vector<std::shared_ptr<NSNotificationObserverToken>> observers_;
};

// Logs each counter set of `counters` (taken with a reset) as the payload of one new event of
// `logger`, after `modifier` (may be empty) has seen the event.
void JQXTrassenLoggerLogCounters(
    JQXTrassenLogger& logger, JQXTrassenCounters& counters,
    const std::function<void(JQXTrassenLogEvent&)>& modifier = nullptr);

#endif  // USAGE_LOG_AUTO_COUNTERS_H_
