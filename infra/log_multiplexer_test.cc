#include "infra/log_multiplexer.h"

#include <condition_variable>
#include <mutex>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/utility/base_logger.h"

namespace {

using platform::utility::BaseLoggerCapture;
using ::testing::ElementsAre;

// Records what reaches it; thread-safe.
class Recorder {
 public:
  void Add(const std::shared_ptr<ZRBLogMessage>& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
  }
  std::vector<std::shared_ptr<ZRBLogMessage>> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> texts;
    for (const auto& message : messages()) texts.push_back(message->formattedString().value_or("-"));
    return texts;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<ZRBLogMessage>> messages_;
};

class SyncSink : public ZRBSyncLogger, public Recorder {
 public:
  explicit SyncSink(std::shared_ptr<ZRBLogFilter> filter = nullptr) : filter_(std::move(filter)) {}
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override {
    Add(message);
    if (on_message) on_message(message);
  }
  std::shared_ptr<ZRBLogFilter> filter() override { return filter_; }
  std::function<void(const std::shared_ptr<ZRBLogMessage>&)> on_message;

 private:
  std::shared_ptr<ZRBLogFilter> filter_;
};

class AsyncSink : public ZRBAsyncLogger, public Recorder {
 public:
  explicit AsyncSink(bool hasQueue = true)
      : queue_(hasQueue ? dispatch_queue_create("async.sink", DISPATCH_QUEUE_SERIAL) : nullptr) {}
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override { Add(message); }
  dispatch_queue_t operationQueue() override { return queue_; }

  // Waits until every message logged so far through `multiplexer` has reached this sink.
  void Drain(const ZRBLogMultiplexer& multiplexer) {
    dispatch_sync(multiplexer.loggingQueue(), [] {});
    if (queue_ != nullptr) dispatch_sync(queue_, [] {});
  }

 private:
  dispatch_queue_t queue_;
};

std::shared_ptr<ZRBLogMessage> Message(const std::string& text, uint64_t level = 3,
                                       std::optional<std::string> function = "Owner::method") {
  return ZRBGenerateLogMessage(level, "infra/x.cc", std::move(function), 1, nullptr, text, 0, {},
                               {});
}

TEST(LogMultiplexerTest, FiltersDecideForEverySink) {
  auto multiplexer = ZRBLogMultiplexer::init();
  multiplexer->stopForwardingMessagesToSharedLogger();
  auto sync = std::make_shared<SyncSink>();
  auto picky = std::make_shared<SyncSink>(ZRBLogMininumLevelFilter::initWithMinimumLevel(4));
  auto async = std::make_shared<AsyncSink>();
  auto queueless = std::make_shared<AsyncSink>(false);
  multiplexer->addSyncLogger(sync);
  multiplexer->addSyncLogger(sync);  // a member added twice is kept once
  multiplexer->addSyncLogger(picky);
  multiplexer->addAsyncLogger(async);
  multiplexer->addAsyncLogger(queueless);
  multiplexer->addSyncLogger(nullptr);
  multiplexer->logWithMessage(nullptr);

  auto drop = ZRBLogDropAllFilter::init();
  multiplexer->addLogFilter(drop);
  multiplexer->logWithMessage(Message("refused"));
  multiplexer->removeLogFilter(drop);
  multiplexer->logWithMessage(Message("level 3"));
  EXPECT_THAT(sync->texts(), ElementsAre("level 3")) << "sync sinks have it on return";
  multiplexer->logWithMessage(Message("level 4", 4));
  async->Drain(*multiplexer);

  EXPECT_THAT(sync->texts(), ElementsAre("level 3", "level 4"));
  EXPECT_THAT(picky->texts(), ElementsAre("level 4"));
  EXPECT_THAT(async->texts(), ElementsAre("level 3", "level 4"));
  EXPECT_TRUE(queueless->messages().empty());

  multiplexer->removeSyncLogger(sync);
  multiplexer->removeAsyncLogger(async);
  multiplexer->logWithMessage(Message("after removal", 4));
  async->Drain(*multiplexer);
  EXPECT_EQ(sync->messages().size(), 2u);
  EXPECT_EQ(async->messages().size(), 2u);
  EXPECT_EQ(picky->messages().size(), 2u);
}

TEST(LogMultiplexerTest, AsyncSinkReceivesOneThreadsMessagesInOrder) {
  auto multiplexer = ZRBLogMultiplexer::init();
  multiplexer->stopForwardingMessagesToSharedLogger();
  auto async = std::make_shared<AsyncSink>();
  multiplexer->addAsyncLogger(async);
  constexpr int kCount = 10000;
  for (int i = 0; i < kCount; ++i) multiplexer->logWithMessage(Message(std::to_string(i)));
  async->Drain(*multiplexer);
  std::vector<std::string> texts = async->texts();
  ASSERT_EQ(texts.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(texts[i], std::to_string(i));
}

TEST(LogMultiplexerTest, SinksMayLogAndChangeTheSetsWhileBeingCalled) {
  auto multiplexer = ZRBLogMultiplexer::init();
  multiplexer->stopForwardingMessagesToSharedLogger();
  auto sink = std::make_shared<SyncSink>();
  auto late = std::make_shared<SyncSink>();
  sink->on_message = [&](const std::shared_ptr<ZRBLogMessage>& message) {
    if (*message->formattedString() != "outer") return;
    multiplexer->addSyncLogger(late);
    multiplexer->logWithMessage(Message("inner"));
  };
  multiplexer->addSyncLogger(sink);
  multiplexer->logWithMessage(Message("outer"));
  EXPECT_THAT(sink->texts(), ElementsAre("outer", "inner"));
  // The outer routing used its snapshot; the sink added meanwhile saw only the inner message.
  EXPECT_THAT(late->texts(), ElementsAre("inner"));
}

TEST(LogMultiplexerTest, ForwardingToTheBaseLoggerMapsLevels) {
  auto multiplexer = ZRBLogMultiplexer::init();
  BaseLoggerCapture capture;
  const struct {
    uint64_t level;
    unsigned forwarded;
  } levels[] = {{0, 0}, {1, 1}, {3, 3}, {4, 4}, {5, 0}, {UINT64_MAX, 0}};
  for (const auto& row : levels) multiplexer->logWithMessage(Message("m", row.level));
  multiplexer->logWithMessage(Message("no function", 3, std::nullopt));
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), std::size(levels) + 1);
  for (size_t i = 0; i < std::size(levels); ++i) {
    EXPECT_EQ(lines[i].level, levels[i].forwarded) << levels[i].level;
    EXPECT_EQ(lines[i].function, "Owner::method");
    EXPECT_EQ(lines[i].message, "m");
  }
  EXPECT_EQ(lines.back().function, std::nullopt);

  multiplexer->stopForwardingMessagesToSharedLogger();
  multiplexer->stopForwardingMessagesToSharedLogger();
  multiplexer->logWithMessage(Message("gone", 4));
  EXPECT_EQ(capture.lines().size(), std::size(levels) + 1);
}

TEST(LogMultiplexerTest, SharedInstanceIsOneAndStartsWithCaptureSwitchesOn) {
  auto shared = ZRBLogMultiplexer::sharedInstance();
  EXPECT_EQ(shared, ZRBLogMultiplexer::sharedInstance());
  EXPECT_TRUE(shared->captureCallStack());
  EXPECT_TRUE(shared->captureCallStackAddresses());
  EXPECT_STREQ(dispatch_queue_get_label(shared->loggingQueue()), "ZRBLogMultiplexer");
}

// ---- Building messages.

TEST(GenerateLogMessageTest, FormatExpansionAndSafeParameters) {
  auto safe_string = ZRBSafeStringParameter::parameterWithString("secret-free", 2);
  auto safe_number = ZRBSafeNumberParameter::parameterWithNumber(int64_t{5}, 1);
  auto plain_safe = ZRBSafeParameter::initWithType(1);
  auto metadata = ZRBLogMetadata::metadataWithComponent("comp");

  // Count 0 keeps the format as written, percent signs included.
  auto unexpanded = ZRBGenerateLogMessage(3, "f", "g", 2, nullptr, "100%% %d", 0, {}, {});
  EXPECT_EQ(unexpanded->formattedString(), "100%% %d");
  EXPECT_EQ(unexpanded->safeParameters(), std::nullopt);

  // A safe string after the format sits under position 1; a plain object is no parameter.
  auto with_string = ZRBGenerateLogMessage(3, "f", "g", 2, nullptr, "%@ %@", 2, {1, 1},
                                           {"plain", safe_string});
  EXPECT_EQ(with_string->formattedString(), "plain secret-free");
  ASSERT_TRUE(with_string->safeParameters().has_value());
  EXPECT_EQ(with_string->safeParameters()->size(), 1u);
  EXPECT_EQ(with_string->safeParameters()->at(1), safe_string);

  // With metadata the format is the first argument and its code is passed over; code 0, codes
  // above 1 and the base class make no parameter.
  auto with_metadata = ZRBGenerateLogMessage(
      4, "f", "g", 2, nullptr, metadata, 5, {1, 0, 3, 1, 1},
      {"%@ %@ %@ %@", safe_string, safe_number, plain_safe, safe_number});
  EXPECT_EQ(with_metadata->format(), "%@ %@ %@ %@");
  EXPECT_EQ(with_metadata->formattedString(), "secret-free 5 <ZRBSafeParameter type 1> 5");
  EXPECT_EQ(with_metadata->logMetadata(), metadata);
  ASSERT_TRUE(with_metadata->safeParameters().has_value());
  EXPECT_EQ(with_metadata->safeParameters()->size(), 1u);
  EXPECT_EQ(with_metadata->safeParameters()->at(3), safe_number);

  // A count beyond what was handed over reads nothing more.
  auto overcounted = ZRBGenerateLogMessage(3, "f", "g", 2, nullptr, "%@ %@", 9, {1}, {"one", "two"});
  EXPECT_EQ(overcounted->formattedString(), "one %@");
  auto metadata_only = ZRBGenerateLogMessage(3, "f", "g", 2, nullptr, metadata, 0, {}, {});
  EXPECT_EQ(metadata_only->format(), std::nullopt);
  EXPECT_EQ(metadata_only->formattedString(), std::nullopt);
}

TEST(GenerateLogMessageTest, CarriesCallSiteThreadAndQueue) {
  auto queue = dispatch_queue_create("infra.report", DISPATCH_QUEUE_SERIAL);
  std::shared_ptr<ZRBLogMessage> message;
  dispatch_sync(queue, [&] {
    message = ZRBGenerateLogMessage(3, "infra/x.cc", "Owner::method", 12, nullptr, "t", 0, {}, {});
  });
  EXPECT_EQ(message->file(), "infra/x.cc");
  EXPECT_EQ(message->function(), "Owner::method");
  EXPECT_EQ(message->line(), 12u);
  EXPECT_EQ(message->dispatchQueueLabel(), "infra.report");
  EXPECT_TRUE(message->threadName().has_value());
}

// ---- Reporting from call sites through the shared multiplexer.

class SharedMultiplexerTest : public ::testing::Test {
 protected:
  void SetUp() override { shared_->addSyncLogger(sink_); }
  void TearDown() override {
    shared_->removeSyncLogger(sink_);
    shared_->setCaptureCallStack(true);
    shared_->setCaptureCallStackAddresses(true);
  }
  std::shared_ptr<ZRBLogMultiplexer> shared_ = ZRBLogMultiplexer::sharedInstance();
  std::shared_ptr<SyncSink> sink_ = std::make_shared<SyncSink>();
  BaseLoggerCapture capture_;
};

inline void KeepFrame() { asm volatile("" ::: "memory"); }

__attribute__((noinline)) void ReportHere(void** caller) {
  *caller = __builtin_return_address(0);
  ZRB_LOG_MESSAGE(3, "Could not %@ %d", "write", 7);
  KeepFrame();
}

TEST_F(SharedMultiplexerTest, CallSiteReportCapturesFromTheCallSite) {
  void* caller = nullptr;
  ReportHere(&caller);
  ASSERT_EQ(sink_->messages().size(), 1u);
  auto message = sink_->messages()[0];
  EXPECT_EQ(message->formattedString(), "Could not write 7");
  EXPECT_EQ(message->function(), "{anonymous}::ReportHere");
  EXPECT_EQ(message->file(), "infra/log_multiplexer_test.cc");
  auto stack = std::dynamic_pointer_cast<ZRBLogAddressCallstack>(message->callstack());
  ASSERT_NE(stack, nullptr);
  std::vector<void*> addresses;
  stack->enumerateAddressesWithBlock([&](void* address, uint64_t, bool*) {
    addresses.push_back(address);
  });
  // Frame 0 is inside ReportHere, frame 1 is where this test called it.
  ASSERT_GE(addresses.size(), 2u);
  EXPECT_EQ(addresses[1], caller);
  EXPECT_THAT(capture_.messages(), ElementsAre("Could not write 7"));
}

TEST_F(SharedMultiplexerTest, CallStackChoice) {
  auto given = ZRBLogSymbolCallstack::initWithSymbols({"given"});
  ZRB_LOG_MESSAGE(3, ZRBLogMetadata::metadataWithCallstack(given), "with metadata");
  shared_->setCaptureCallStackAddresses(false);
  ZRB_LOG_MESSAGE(3, "symbols");
  shared_->setCaptureCallStack(false);
  ZRB_LOG_MESSAGE(3, "none");
  auto messages = sink_->messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0]->callstack(), given);
  EXPECT_EQ(messages[0]->formattedString(), "with metadata");
  EXPECT_NE(std::dynamic_pointer_cast<ZRBLogSymbolCallstack>(messages[1]->callstack()), nullptr);
  EXPECT_EQ(messages[2]->callstack(), nullptr);
}

TEST_F(SharedMultiplexerTest, FaultOnCondition) {
  EXPECT_EQ(_ZRBLogFaultOnCondition(0, "f", "g", 1, nullptr, "never", 0, {}, {}), 0);
  EXPECT_TRUE(sink_->messages().empty());
  EXPECT_EQ(_ZRBLogFaultOnCondition(7, "f", "g", 1, nullptr, "%@!", 1, {1}, {"broken"}), 7);
  ASSERT_EQ(sink_->messages().size(), 1u);
  EXPECT_EQ(sink_->messages()[0]->level(), 4u);
  EXPECT_EQ(sink_->messages()[0]->formattedString(), "broken!");
}

}  // namespace
