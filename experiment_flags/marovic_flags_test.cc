#include "experiment_flags/marovic_flags.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "infra/log_multiplexer.h"
#include "usage_log/fake_flags_test_util.h"
#include "usage_log/log_wire.pb.h"

namespace {

class Recorder : public ZRBSyncLogger {
 public:
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override {
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back(message);
  }
  std::mutex mutex;
  std::vector<std::shared_ptr<ZRBLogMessage>> messages;
};

TEST(MarovicFlagsTest, DefaultsOnlyFlagSetAnswersDefaults) {
  auto flags = ZQLMarovicFlags::initWithPackageName("pkg#app", "", nullptr, false);
  EXPECT_EQ(flags->numberForFlagName("n", ZQLMarovicNumber::Integer(4)).longLongValue(), 4);
  EXPECT_EQ(flags->dataForFlagName("d", std::nullopt), std::nullopt);
  EXPECT_EQ(flags->stringForFlagName("s", "x"), "x");
  EXPECT_EQ(flags->serverToken(), std::nullopt);
  EXPECT_EQ(flags->tokens(), nullptr);
}

TEST(MarovicMessageFlagTest, ParsesEachDistinctValueOnce) {
  auto fake = std::make_shared<FakeMarovicFlags>();
  auto fallback = std::make_shared<LogSamplingRules>();
  ZQLMarovicMessageFlag flag("rules", fallback, LogSamplingRules::default_instance(), fake);
  EXPECT_EQ(flag.message(), fallback);  // no bytes

  LogSamplingRules rules;
  rules.add_rules()->set_event_code(5);
  fake->setData("rules", rules.SerializeAsString());
  auto first = flag.message();
  ASSERT_NE(first, fallback);
  EXPECT_EQ(flag.message(), first);  // same bytes, same message

  auto recorder = std::make_shared<Recorder>();
  ZRBLogMultiplexer::sharedInstance()->addSyncLogger(recorder);
  fake->setData("rules", "\x0a\x09");  // a field cut short
  EXPECT_EQ(flag.message(), fallback);
  ZRBLogMultiplexer::sharedInstance()->removeSyncLogger(recorder);
  ASSERT_EQ(recorder->messages.size(), 1u);
  EXPECT_EQ(recorder->messages[0]->level(), 3u);
  EXPECT_THAT(recorder->messages[0]->formattedString().value_or(""),
              ::testing::StartsWith("Could not parse data message from Marovic: "));

  fake->setData("rules", rules.SerializeAsString());
  EXPECT_NE(flag.message(), fallback);  // parsed again after the failure
  auto override_message = std::make_shared<LogSamplingRules>();
  flag.setTestOverrideMessage(override_message);
  EXPECT_EQ(flag.message(), override_message);
}

}  // namespace
