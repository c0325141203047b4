#include "infra/rerouting_shared_logger.h"

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/assertion_handler.h"

namespace {

using platform::utility::BaseLogger;
using platform::utility::BaseLoggerCapture;

class Sink : public ZRBSyncLogger {
 public:
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override {
    messages.push_back(message);
  }
  std::vector<std::shared_ptr<ZRBLogMessage>> messages;
};

TEST(ReroutingSharedLoggerTest, RoutesBaseLoggerReportsIntoTheMultiplexer) {
  EXPECT_EQ(ZRBReroutingSharedLogger::initWithLogMultiplexer(nullptr), nullptr);
  auto multiplexer = ZRBLogMultiplexer::init();
  auto sink = std::make_shared<Sink>();
  multiplexer->addSyncLogger(sink);
  auto logger = ZRBReroutingSharedLogger::initWithLogMultiplexer(multiplexer);
  BaseLoggerCapture capture;

  const struct {
    unsigned level;
    uint64_t routed;
    bool stack;  // the default stack-trace filter lets levels 3 and up capture
  } rows[] = {{0, 4, false}, {1, 1, false}, {2, 2, false}, {3, 3, true}, {4, 4, true}, {5, 4, true}};
  for (const auto& row : rows) logger->logInternal("f", "%@ at %d", {"report", row.level}, row.level);

  ASSERT_EQ(sink->messages.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto& message = sink->messages[i];
    EXPECT_EQ(message->level(), rows[i].routed) << rows[i].level;
    EXPECT_EQ(message->callstack() != nullptr, rows[i].stack) << rows[i].level;
    EXPECT_EQ(message->format(), "%@ at %d");
    EXPECT_EQ(message->formattedString(), "report at " + std::to_string(rows[i].level));
    EXPECT_EQ(message->function(), "f");
    EXPECT_EQ(message->file(), std::nullopt);
    EXPECT_EQ(message->line(), 0u);
  }
  // Making the logger stopped the multiplexer's forwarding, so nothing came back round.
  EXPECT_TRUE(capture.lines().empty());
}

TEST(ReroutingSharedLoggerTest, RefusesWriterFormatterAndFilter) {
  auto logger = ZRBReroutingSharedLogger::initWithLogMultiplexer(ZRBLogMultiplexer::init());
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  logger->setFilter(nullptr);
  logger->setWriter(nullptr);
  logger->setFormatter(nullptr);
  EXPECT_TRUE(handler->failures().empty());
  logger->setFilter(std::make_shared<platform::utility::MinimumLevelFilter>(0));
  ASSERT_EQ(handler->failures().size(), 1u);
  EXPECT_EQ(handler->failures()[0].description, "ZRBReroutingSharedLogger will not use a filter");
  EXPECT_EQ(logger->filter(), nullptr);
}

TEST(ReroutingSharedLoggerTest, AppSwitchFeedsTheSharedMultiplexer) {
  auto original = BaseLogger::sharedLogger();
  auto sink = std::make_shared<Sink>();
  ZRBLogMultiplexer::sharedInstance()->addSyncLogger(sink);
  BaseLoggerCapture capture;
  ZRBAppSwitchFromSharedLoggerToZRBLoggerWithStackTraceFilter(nullptr);
  platform::utility::LogError("Uploader::upload", "File missing at %@", {"/x"});
  BaseLogger::setSharedLogger(original);
  ZRBLogMultiplexer::sharedInstance()->removeSyncLogger(sink);

  ASSERT_EQ(sink->messages.size(), 1u);
  EXPECT_EQ(sink->messages[0]->formattedString(), "File missing at /x");
  EXPECT_EQ(sink->messages[0]->callstack(), nullptr) << "no stack-trace filter, no capture";
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
