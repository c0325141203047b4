#include "usage_log/trassen_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "usage_base/experiment_ids.pb.h"
#include "experiment_flags/experiment_tokens.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/utility/base_logger.h"
#include "usage_base/client_info.h"
#include "usage_log/log_transformers.h"
#include "usage_log/log_writer.h"
#include "usage_base/manual_clock_test_util.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using platform::foundation::ScopedTestFolder;

class PassThrough : public JQXTrassenLogTransformer {
 public:
  std::shared_ptr<JQXTrassenLogEvent> transform(std::shared_ptr<JQXTrassenLogEvent> e) override {
    return e;
  }
};

// "S" sampler, "M" token transformer, "C" anything else.
std::string Kinds(const JQXTrassenLogTransformers& list) {
  std::string kinds;
  for (const auto& t : list) {
    if (dynamic_cast<JQXLogSampler*>(t.get())) {
      kinds += 'S';
    } else if (dynamic_cast<JQXMarovicLogTransformer*>(t.get())) {
      kinds += 'M';
    } else {
      kinds += 'C';
    }
  }
  return kinds;
}

class TrassenLoggerTest : public ::testing::Test {
 protected:
  // Settings come from an empty flag store of the test's own, outside the log folder.
  void SetUp() override {
    platform::foundation::SetSandboxRoot(store_folder_.Path("sandbox"));
    ZQLMarovicUtil::setDefaultDirectory(
        NSURL::fileURLWithPath(store_folder_.Path("marovic"), true));
  }
  void TearDown() override {
    ZQLMarovicUtil::setDefaultDirectory(nullptr);
    platform::foundation::SetSandboxRoot("");
  }
  std::shared_ptr<NSURL> Directory() { return NSURL::fileURLWithPath(folder_.path(), true); }
  std::shared_ptr<JQXTrassenLogger> Logger(bool anonymous, JQXTrassenLogTransformers list = {}) {
    return JQXTrassenLogger::initWithLogSource(700, anonymous ? "" : "acct", anonymous, list,
                                               Directory(), clock_,
                                               ZRBPseudonymousIDStore::sharedInstance());
  }

  ScopedTestFolder store_folder_;
  ScopedTestFolder folder_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
};

TEST_F(TrassenLoggerTest, TransformerChainGetsSamplerFirstAndTokensLast) {
  auto custom = std::make_shared<PassThrough>();
  auto sampler = JQXLogSampler::init();
  auto tokens = JQXMarovicLogTransformer::init();
  struct Case {
    bool anonymous;
    JQXTrassenLogTransformers given;
    const char* expected;
  };
  const Case cases[] = {
      {false, {}, "SM"},
      {true, {}, "S"},
      {false, {custom, sampler}, "CSM"},
      {true, {custom}, "SC"},
      {false, {tokens, custom}, "SMC"},  // the caller's token transformer keeps its place
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    auto logger = Logger(c.anonymous, c.given);
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(Kinds(logger->logTransformers()), c.expected);
  }
  EXPECT_EQ(Logger(false, {custom, sampler})->logTransformers()[1], sampler);
  // An anonymous logger has no account, whatever it was given.
  auto anonymous = JQXTrassenLogger::initWithLogSource(700, "acct", true, JQXTrassenLogTransformers(), Directory(), clock_,
                                                       ZRBPseudonymousIDStore::sharedInstance());
  EXPECT_EQ(anonymous->obfuscatedHollinID(), "");
}

TEST_F(TrassenLoggerTest, MissingPartsAreRefused) {
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  auto store = ZRBPseudonymousIDStore::sharedInstance();
  EXPECT_EQ(JQXTrassenLogger::initWithLogSource(700, std::nullopt, false, JQXTrassenLogTransformers(),
                                                Directory(), clock_, store),
            nullptr);
  EXPECT_EQ(JQXTrassenLogger::initWithLogSource(700, "", false, std::nullopt, Directory(), clock_,
                                                store),
            nullptr);
  EXPECT_EQ(JQXTrassenLogger::initWithLogSource(700, "", false, JQXTrassenLogTransformers(),
                                                Directory(), nullptr, store),
            nullptr);
  EXPECT_EQ(JQXTrassenLogger::initWithLogSource(700, "", false, JQXTrassenLogTransformers(),
                                                Directory(), clock_, nullptr),
            nullptr);
  std::vector<std::string> texts;
  for (const auto& failure : handler->failures()) texts.push_back(failure.description);
  EXPECT_THAT(texts, ElementsAre("obfuscatedHollinID must not be nil. Pass kJQXTrassenNoAccount "
                                 "for no account.",
                                 "logTransformers must not be nil.", "clock must not be nil.",
                                 "pseudonymousIDStore must not be nil."));
}

TEST_F(TrassenLoggerTest, NewEventTakesTheLoggersValuesAndTheClock) {
  auto event = Logger(false)->newEvent();
  EXPECT_EQ(event->logSource(), 700);
  EXPECT_EQ(event->obfuscatedHollinID(), "acct");
  EXPECT_FALSE(event->isAnonymousLog());
  EXPECT_EQ(event->eventTimeMilliseconds(), 1700000000000);
  EXPECT_EQ(event->eventUptimeMilliseconds(), 1000000);  // now minus boot time, not uptime
  EXPECT_EQ(event->eventTimeZoneOffsetSeconds(), -18000);
  event->setObfuscatedHollinID("none");
  EXPECT_EQ(event->obfuscatedHollinID(), "");
  event->setObfuscatedHollinID(std::nullopt);
  EXPECT_EQ(event->obfuscatedHollinID(), "");
}

// On an anonymous event every refused call leaves the event as it was.
TEST_F(TrassenLoggerTest, AnonymousEventsRefuseIdentity) {
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  platform::utility::BaseLoggerCapture capture;
  auto event = Logger(true)->newEvent();
  const std::string before = event->toLogEventProto()->SerializeAsString();
  event->setObfuscatedHollinID("acct");
  event->setTovrickOverride("cookie");
  event->addExperimentID(1);
  event->addExperimentIDs({2, 3});
  event->addExperimentTokens(ZQLMarovicExperimentTokens::initWithUser("", {"t"}, {}));
  event->setObfuscatedHollinID("");  // the empty account is accepted
  EXPECT_EQ(event->obfuscatedHollinID(), "");
  EXPECT_EQ(event->tovrickOverride(), std::nullopt);
  EXPECT_EQ(event->experimentIDs(), std::nullopt);
  EXPECT_EQ(event->experimentTokens(), std::nullopt);
  EXPECT_EQ(event->toLogEventProto()->SerializeAsString(), before);
  EXPECT_EQ(handler->failures().size(), 5u);
  EXPECT_THAT(capture.messages(),
              ElementsAre("Cannot log obfuscatedHollinID when isAnonymousLog is YES.",
                          "Cannot set tovrick override when isAnonymousLog is YES.",
                          "Cannot add experiment IDs when isAnonymousLog is YES.",
                          "Cannot add experiment IDs when isAnonymousLog is YES.",
                          "Cannot add experiment tokens when isAnonymousLog is YES."));
  event->addTestCode(4);  // test codes are fine at any anonymity
  EXPECT_THAT(*event->testCodes(), ElementsAre(4));
}

TEST_F(TrassenLoggerTest, BecomingAnonymousDropsIdentityButKeepsThePayload) {
  auto event = Logger(false)->newEvent();
  event->setExtensionData(std::string("\x08\x01", 2));
  event->setTovrickOverride("cookie");
  event->addExperimentID(9);
  event->addExperimentTokens(ZQLMarovicExperimentTokens::initWithUser("acct", {"t"}, {}));
  auto copy = event->copy();
  event->setIsAnonymousLog(true);
  auto proto = event->toLogEventProto();
  EXPECT_EQ(proto->source_extension(), std::string("\x08\x01", 2));
  EXPECT_FALSE(proto->has_experiment_ids());
  EXPECT_FALSE(proto->has_tovrick_cookie_override());
  EXPECT_EQ(event->obfuscatedHollinID(), "");
  // The copy taken before has lists of its own.
  EXPECT_EQ(copy->tovrickOverride(), "cookie");
  EXPECT_THAT(*copy->experimentIDs(), ElementsAre(9));
  EXPECT_EQ(copy->experimentTokens()->size(), 1u);
}

TEST_F(TrassenLoggerTest, ExperimentIdsBecomeTheClearBlob) {
  auto event = Logger(false)->newEvent();
  event->addExperimentIDs({5, 6});
  auto proto = event->toLogEventProto();
  ASSERT_TRUE(proto->has_experiment_ids());
  EXPECT_EQ(proto->experiment_ids().encrypted_blob_size(), 0);
  EXPECT_FALSE(proto->experiment_ids().has_users_match());
  YRXDeviceExperimentIds device;
  ASSERT_TRUE(device.ParseFromString(proto->experiment_ids().clear_blob()));
  EXPECT_THAT(device.always(), ElementsAre(5, 6));

  // With tokens too, the tokens' record keeps its blobs and gets the ids as its clear blob.
  event->addExperimentTokens(ZQLMarovicExperimentTokens::initWithUser("acct", {"t"}, {}));
  proto = event->toLogEventProto();
  EXPECT_THAT(proto->experiment_ids().encrypted_blob(), ElementsAre("t"));
  EXPECT_TRUE(proto->experiment_ids().users_match());
  EXPECT_EQ(proto->experiment_ids().clear_blob(), device.SerializeAsString());
}

TEST_F(TrassenLoggerTest, DisabledLoggingWritesNothing) {
  JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();
  auto logger = Logger(true);
  JQXTrassenLogger::setEnabled(false);
  EXPECT_FALSE(JQXTrassenLogger::isEnabled());
  auto event = logger->newEvent();
  ASSERT_NE(event, nullptr);
  logger->log(event);
  JQXLogWriter::sharedInstance()->waitForQueueToFinish();
  EXPECT_TRUE(std::filesystem::is_empty(folder_.path()));

  JQXTrassenLogger::setEnabled(true);
  logger->log(event);
  JQXLogWriter::sharedInstance()->waitForQueueToFinish();
  EXPECT_FALSE(std::filesystem::is_empty(folder_.path()));
  JQXLogWriter::sharedInstance()->flush();
}

// A log source outside the enumeration cannot name a log context: its events are refused and
// counted, each logger says so once, and other loggers go on writing.
TEST_F(TrassenLoggerTest, UnknownLogSourcesAreRefusedOncePerLogger) {
  JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();
  JQXLogWriter::takeRefusedEventCounts();
  platform::utility::BaseLoggerCapture capture;
  auto make = [&](int64_t source) {
    return JQXTrassenLogger::initWithLogSource(source, "", true, JQXTrassenLogTransformers{},
                                               Directory(), clock_,
                                               ZRBPseudonymousIDStore::sharedInstance());
  };
  auto gap = make(298);  // between two values of the enumeration
  auto beyond = make(5000);
  auto second_gap = make(298);
  auto good = make(700);
  for (int i = 0; i < 3; ++i) {
    gap->log(gap->newEvent());
    beyond->log(beyond->newEvent());
  }
  second_gap->log(second_gap->newEvent());
  good->log(good->newEvent());
  // An event handed to the writer without a logger is refused there.
  auto direct = JQXTrassenLogEvent::initWithLogSource(int64_t{1} << 40, true, clock_);
  JQXLogWriter::sharedInstance()->writeLog(direct, nullptr, Directory(), clock_, {});
  JQXLogWriter::sharedInstance()->waitForQueueToFinish();
  JQXLogWriter::sharedInstance()->flush();

  std::vector<std::string> refusals;
  for (const auto& message : capture.messages()) {
    if (message.find("Unknown log source") != std::string::npos) refusals.push_back(message);
  }
  EXPECT_THAT(refusals, ::testing::UnorderedElementsAre(
                            ::testing::HasSubstr(" 298,"), ::testing::HasSubstr(" 298,"),
                            ::testing::HasSubstr(" 5000,"), ::testing::HasSubstr(" 1099511627776,")));
  EXPECT_EQ(JQXLogWriter::takeRefusedEventCounts(),
            (std::map<int64_t, int64_t>{{298, 4}, {5000, 3}, {int64_t{1} << 40, 1}}));
  // Only the known source left a log file.
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_.path())) {
    if (entry.is_regular_file() && entry.path().filename() != "context") ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(TrassenLoggerTest, FakeLoggerKeepsEvents) {
  auto fake = JQXFakeTrassenLogger::initWithLogSource(700, "", Directory());
  for (int code : {1, 2, 1}) {
    auto event = fake->newEvent();
    event->setEventCode(code);
    fake->log(event);
  }
  EXPECT_EQ(fake->logEvents().size(), 3u);
  EXPECT_EQ(fake->logEventsWithEventCode(1).size(), 2u);
  fake->clearLoggedEvents();
  EXPECT_THAT(fake->logEvents(), IsEmpty());
}

}  // namespace
