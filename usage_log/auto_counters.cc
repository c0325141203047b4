#include "usage_log/auto_counters.h"

std::shared_ptr<JQXTrassenAutoCounters> JQXTrassenAutoCounters::initWithDelegate(
    std::weak_ptr<JQXTrassenAutoCountersDelegate> delegate, bool regularFlush) {
  return initWithDelegate(std::move(delegate), JQXSystemClock::systemClock(), regularFlush);
}

std::shared_ptr<JQXTrassenAutoCounters> JQXTrassenAutoCounters::initWithDelegate(
    std::weak_ptr<JQXTrassenAutoCountersDelegate> delegate,
    std::shared_ptr<JQXClockProtocol> clock, bool regularFlush) {
  auto counters = std::make_shared<JQXTrassenAutoCounters>(std::move(delegate), std::move(clock));
  counters->observe(UIApplicationWillTerminateNotification);
  if (regularFlush) counters->observe(UIApplicationDidEnterBackgroundNotification);
  return counters;
}

JQXTrassenAutoCounters::JQXTrassenAutoCounters(
    std::weak_ptr<JQXTrassenAutoCountersDelegate> delegate, std::shared_ptr<JQXClockProtocol> clock)
    : delegate_(std::move(delegate)),
      counters_(JQXTrassenCounters::initWithClock(std::move(clock))),
      queue_(dispatch_queue_create(
          "JQXTrassenAutoCounters",
          dispatch_queue_attr_make_with_qos_class(DISPATCH_QUEUE_SERIAL, QOS_CLASS_DEFAULT, 0))) {}

JQXTrassenAutoCounters::~JQXTrassenAutoCounters() {
  // The observers only reach this object weakly; dropping them keeps the centre small.
  auto center = NSNotificationCenter::defaultCenter();
  for (const auto& token : observers_) center->removeObserver(token);
}

void JQXTrassenAutoCounters::observe(const char* name) {
  std::weak_ptr<JQXTrassenAutoCounters> weak = weak_from_this();
  observers_.push_back(NSNotificationCenter::defaultCenter()->addObserverForName(
      name, nullptr, [weak](const std::shared_ptr<NSNotification>&) {
        if (auto self = weak.lock()) self->flushCountersToLogger();
      }));
}

void JQXTrassenAutoCounters::increaseCounterWithName(
    const std::string& name, std::shared_ptr<const google::protobuf::MessageLite> dimension,
    int64_t bucket, int64_t amount) {
  auto self = shared_from_this();
  dispatch_async(queue_, [self, name, dimension = std::move(dimension), bucket, amount] {
    auto delegate = self->delegate_.lock();
    if (delegate == nullptr || !delegate->shouldLogCounters()) return;
    self->counters_->incrementCounterWithName(name, dimension.get(), bucket, amount);
    ++self->total_count_;
    if (self->total_count_ >= delegate->maxCounterCount()) self->flushCountersToLoggerInternal();
  });
}

void JQXTrassenAutoCounters::flushCountersToLogger() {
  dispatch_sync(queue_, [this] { flushCountersToLoggerInternal(); });
}

void JQXTrassenAutoCounters::flushCountersToLoggerInternal() {
  if (total_count_ == 0) return;
  total_count_ = 0;
  if (auto delegate = delegate_.lock()) delegate->logCounters(counters_);
}

void JQXTrassenLoggerLogCounters(JQXTrassenLogger& logger, JQXTrassenCounters& counters,
                                 const std::function<void(JQXTrassenLogEvent&)>& modifier) {
  auto sets = counters.countersProtosAndReset(true);
  if (!sets.has_value()) return;
  for (const auto& set : *sets) {
    auto event = logger.newEvent();
    event->setExtension(set);
    if (modifier) modifier(*event);
    logger.log(event);
  }
}
