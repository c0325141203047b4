#include "experiment_flags/marovic_flags.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "experiment_flags/config_sync.pb.h"
#include "experiment_flags/marovic_error.h"
#include "experiment_flags/marovic_stub_test_util.h"
#include "infra/log_multiplexer.h"
#include "experiment_flags/fake_flags_test_util.h"
#include "usage_base/log_wire.pb.h"
#include "platform/uikit/ui_application.h"
#include "platform/utility/base_logger.h"
#include "platform/utility/format.h"

namespace {

using Flag = ZQLMarovicConfigurationFlag;
using ::testing::ElementsAre;

std::shared_ptr<ZQLMarovicConfiguration> Config(const std::string& user, ZQLMarovicFlagMap flags,
                                                const std::string& serverToken = "st") {
  return ZQLMarovicConfiguration::initWithAllFlagsDictionary(
      std::move(flags), "diff-" + user, serverToken, user,
      ZQLMarovicExperimentTokens::initWithUser(user, {"tok"}, {}), 1);
}

std::shared_ptr<const Flag> F(const std::string& name, Flag::Value value, int64_t type) {
  return Flag::initWithName(name, std::move(value), type, 0);
}

// A store whose committed configuration the test sets. Answers wait on the test's say-so when
// `hold` is set; commits hand over the committed configuration of the user asked for.
class ScriptedStore : public ZQLMarovicStub {
 public:
  void committedConfiguration(const std::string&, ConfigurationCallback callback) override {
    ++committed_calls;
    Answer([this, callback] { callback(committed, committed ? nullptr : NotCommitted()); });
  }
  void commitConfiguration(const std::string&, const std::string& user,
                           const std::optional<std::string>&, Committer committer) override {
    ++commit_calls;
    last_user = user;
    auto configuration = by_user.count(user) ? by_user[user] : nullptr;
    Answer([configuration, committer] {
      committer(configuration, configuration ? nullptr : NotCommitted());
    });
  }
  void Release() {
    std::deque<std::function<void()>> answers;
    {
      std::lock_guard<std::mutex> lock(mutex);
      answers.swap(held);
      hold = false;
    }
    for (auto& answer : answers) answer();
  }

  std::shared_ptr<ZQLMarovicConfiguration> committed;
  std::map<std::string, std::shared_ptr<ZQLMarovicConfiguration>> by_user;
  std::atomic<int> committed_calls{0};
  std::atomic<int> commit_calls{0};
  std::string last_user;
  bool hold = false;

 private:
  void Answer(std::function<void()> answer) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (hold) {
        held.push_back(std::move(answer));
        return;
      }
    }
    answer();
  }
  std::mutex mutex;
  std::deque<std::function<void()>> held;
};

class Recorder : public ZQLMarovicFlagsListener {
 public:
  void flags(const std::shared_ptr<ZQLMarovicFlags>&,
             const std::shared_ptr<ZQLMarovicConfiguration>& configuration) override {
    configurations.push_back(configuration);
  }
  std::vector<std::shared_ptr<ZQLMarovicConfiguration>> configurations;
};

TEST(MarovicFlagsTest, ReadersWaitForTheFirstLoad) {
  auto store = std::make_shared<ScriptedStore>();
  store->committed = Config("", {{"n", F("n", int64_t{5}, Flag::kInteger)}});
  store->hold = true;
  auto flags = ZQLMarovicFlags::initWithPackageName("com.x#app", "", store, false, false);
  EXPECT_EQ(store->committed_calls, 0);

  std::atomic<bool> read{false};
  int64_t value = 0;
  std::thread reader([&] {
    value = flags->numberForFlagName("n", ZQLMarovicNumber::Integer(-1)).longLongValue();
    read = true;
  });
  while (store->committed_calls == 0) std::this_thread::yield();
  EXPECT_FALSE(read.load());
  store->Release();
  reader.join();
  EXPECT_EQ(value, 5);
  EXPECT_EQ(flags->serverToken(), "st");
  // The user's configuration was committed already: no commit was asked for.
  EXPECT_EQ(store->commit_calls, 0);
}

TEST(MarovicFlagsTest, ACommitForAnotherUserFollowsTheLoad) {
  auto store = std::make_shared<ScriptedStore>();
  store->committed = Config("other", {});
  store->by_user["me"] = Config("me", {{"s", F("s", std::string("mine"), Flag::kString)}});
  auto flags = ZQLMarovicFlags::initWithPackageName("com.x#app", "me", store, false);
  EXPECT_EQ(flags->stringForFlagName("s", std::nullopt), "mine");
  EXPECT_EQ(store->last_user, "me");
  EXPECT_EQ(flags->userID(), "me");
}

TEST(MarovicFlagsTest, TypedLookupsAnswerDefaultsForOtherTypes) {
  StringListParam strings;
  strings.add_element("a");
  strings.add_element("b");
  Int64ListParam numbers;
  numbers.add_element(3);
  numbers.add_element(-4);
  auto store = std::make_shared<ScriptedStore>();
  store->committed = Config("", {
      {"int", F("int", int64_t{7}, Flag::kInteger)},
      {"bool", F("bool", true, Flag::kBoolean)},
      {"double", F("double", 2.5, Flag::kDouble)},
      {"string", F("string", std::string("text"), Flag::kString)},
      {"bytes", F("bytes", std::string("raw"), Flag::kBytes)},
      {"strings", F("strings", strings.SerializeAsString(), Flag::kBytes)},
      {"numbers", F("numbers", numbers.SerializeAsString(), Flag::kBytes)},
      {"junk", F("junk", std::string("\xff\xff", 2), Flag::kBytes)},
  });
  auto flags = ZQLMarovicFlags::initWithPackageName("com.x#app", "", store, false);
  const ZQLMarovicNumber no_number = ZQLMarovicNumber::Integer(-1);

  struct Case {
    const char* name;
    double number;  // -1: the default
    std::optional<std::string> string;
    std::optional<std::string> bytes;
  } cases[] = {
      {"int", 7, "dflt", "dflt"},        {"bool", 1, "dflt", "dflt"},
      {"double", 2.5, "dflt", "dflt"},   {"string", -1, "text", "dflt"},
      {"bytes", -1, "dflt", "raw"},      {"missing", -1, "dflt", "dflt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::utility::BaseLoggerCapture capture;
    EXPECT_EQ(flags->numberForFlagName(c.name, no_number).doubleValue(), c.number);
    EXPECT_EQ(flags->stringForFlagName(c.name, "dflt"), c.string);
    EXPECT_EQ(flags->dataForFlagName(c.name, "dflt"), c.bytes);
    // Each present flag fits one lookup: the other two are reported once each.
    EXPECT_EQ(capture.lines().size(), std::string(c.name) == "missing" ? 0u : 2u)
        << ::testing::PrintToString(capture.messages());
  }
  EXPECT_THAT(flags->stringArrayForFlagName("strings", {"d"}), ElementsAre("a", "b"));
  EXPECT_THAT(flags->numberArrayForFlagName("numbers", {9}), ElementsAre(3, -4));
  EXPECT_THAT(flags->stringArrayForFlagName("junk", {"d"}), ElementsAre("d"));
  EXPECT_THAT(flags->numberArrayForFlagName("missing", {9}), ElementsAre(9));
}

TEST(MarovicFlagsTest, ChangesAreToldOnlyWhenValuesChange) {
  auto store = std::make_shared<ScriptedStore>();
  auto flags = ZQLMarovicFlags::initWithPackageName("com.x#app", "", store, false);
  auto recorder = std::make_shared<Recorder>();
  flags->addListener(recorder);
  auto not_registered = NSError::errorWithDomain(kZQLMarovicErrorDomain, -2);

  // Nothing committed yet: an answer of -2 changes nothing.
  EXPECT_FALSE(flags->updateWithConfiguration(nullptr, "", not_registered));
  auto first = Config("", {{"a", F("a", int64_t{1}, Flag::kInteger)}});
  EXPECT_TRUE(flags->updateWithConfiguration(first, "", nullptr));
  EXPECT_FALSE(flags->updateWithConfiguration(Config("", {{"a", F("a", int64_t{1}, 0)}}), "",
                                              nullptr));
  EXPECT_TRUE(flags->updateWithConfiguration(Config("", {{"a", F("a", int64_t{1}, 0)}}, "new"),
                                             "", nullptr));
  // An empty diff with the same tokens changes nothing and keeps the values.
  auto snapshot = flags->snapshot();
  auto diff = ZQLMarovicConfiguration::initWithDiffDictionary(
      std::nullopt, std::nullopt, "d2", snapshot->serverToken(), "", snapshot->tokens(), 2);
  EXPECT_FALSE(flags->updateWithConfiguration(diff, "", nullptr));
  EXPECT_EQ(flags->numberForFlagName("a", ZQLMarovicNumber::Integer(0)).longLongValue(), 1);
  // Another store error keeps the values; -3 drops them.
  EXPECT_FALSE(flags->updateWithConfiguration(
      nullptr, "", NSError::errorWithDomain(kZQLMarovicErrorDomain, -10)));
  EXPECT_EQ(flags->numberForFlagName("a", ZQLMarovicNumber::Integer(0)).longLongValue(), 1);
  EXPECT_TRUE(flags->updateWithConfiguration(
      nullptr, "", NSError::errorWithDomain(kZQLMarovicErrorDomain, -3)));
  EXPECT_EQ(flags->numberForFlagName("a", ZQLMarovicNumber::Integer(0)).longLongValue(), 0);

  // A commit that brings new values tells listeners once; the same values again do not.
  store->by_user[""] = first;
  flags->update();
  flags->update();
  ASSERT_EQ(recorder->configurations.size(), 1u);
  EXPECT_EQ(recorder->configurations[0], first);
}

TEST(MarovicFlagsTest, SetUserIDCommitsOnlyForAnotherUser) {
  auto store = std::make_shared<ScriptedStore>();
  store->committed = Config("", {});
  store->by_user["b"] = Config("b", {{"x", F("x", std::string("B"), Flag::kString)}});
  auto flags = ZQLMarovicFlags::initWithPackageName("com.x#app", "", store, false);
  flags->setUserID("");
  EXPECT_EQ(store->commit_calls, 0);
  flags->setUserID("b");
  EXPECT_EQ(store->commit_calls, 1);
  // Applied before setUserID returned.
  EXPECT_EQ(flags->snapshot()->userID(), "b");
  EXPECT_EQ(flags->stringForFlagName("x", std::nullopt), "B");
}

class ReportRecorder : public ZRBSyncLogger {
 public:
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override {
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back(message);
  }
  std::mutex mutex;
  std::vector<std::shared_ptr<ZRBLogMessage>> messages;
};

// Waits up to ten seconds for `condition`.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int UpdateTasksRunning() {
  auto tasks = platform::uikit::RunningBackgroundTasks();
  return static_cast<int>(std::count(tasks.begin(), tasks.end(), "ZQLMarovicFlags Update"));
}

TEST(MarovicFlagsTest, EnteringTheBackgroundCommitsAgainInsideABackgroundTask) {
  auto store = std::make_shared<ScriptedStore>();
  store->committed = Config("", {{"n", F("n", int64_t{5}, Flag::kInteger)}});
  store->by_user[""] = Config("", {{"n", F("n", int64_t{7}, Flag::kInteger)}});
  auto flags = ZQLMarovicFlags::initWithPackageName("com.x#app", "", store, /*autoUpdate=*/true,
                                                    /*startLoading=*/true);
  EXPECT_EQ(flags->numberForFlagName("n", ZQLMarovicNumber::Integer(-1)).longLongValue(), 5);
  ASSERT_EQ(store->commit_calls, 0);
  ASSERT_EQ(UpdateTasksRunning(), 0);

  store->hold = true;  // the commit's answer waits
  NSNotificationCenter::defaultCenter()->postNotificationName(
      UIApplicationDidEnterBackgroundNotification);
  ASSERT_TRUE(Eventually([&] { return store->commit_calls == 1; })) << "no commit within 10 s";
  EXPECT_EQ(UpdateTasksRunning(), 1);  // the commit runs inside the task
  store->Release();
  EXPECT_TRUE(Eventually([] { return UpdateTasksRunning() == 0; })) << "the task never ended";
  EXPECT_EQ(flags->numberForFlagName("n", ZQLMarovicNumber::Integer(-1)).longLongValue(), 7);
}

TEST(MarovicFlagsSnapshotTest, DescriptionListsEveryField) {
  ZQLMarovicFlagsSnapshot bare("com.x#app", std::nullopt, std::nullopt, std::nullopt, nullptr, 0,
                               std::nullopt);
  EXPECT_EQ(bare.description(),
            "<ZQLMarovicFlagsSnapshot " + platform::utility::AddressText(&bare) +
                ">: {\n"
                "  packageName: \"com.x#app\"\n"
                "  userID: \"(null)\"\n"
                "  diffToken: \"(null)\"\n"
                "  serverToken: \"(null)\"\n"
                "  tokens: \"(null)\"\n"
                "  configurationVersion: \"0\"\n"
                "  flags: (null)\n"
                "}");
  ZQLMarovicFlagsSnapshot full("p", "st", "u", "d", nullptr, -9000000000,
                               ZQLMarovicFlagMap{{"n", F("n", int64_t{5}, Flag::kInteger)}});
  EXPECT_EQ(full.description(),
            "<ZQLMarovicFlagsSnapshot " + platform::utility::AddressText(&full) +
                ">: {\n"
                "  packageName: \"p\"\n"
                "  userID: \"u\"\n"
                "  diffToken: \"d\"\n"
                "  serverToken: \"st\"\n"
                "  tokens: \"(null)\"\n"
                "  configurationVersion: \"-9000000000\"\n"
                "  flags: {\n"
                "    n = Flag: name:\"n\" value:5 valueType:0 storageType:0;\n"
                "}\n"
                "}");
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

  auto recorder = std::make_shared<ReportRecorder>();
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
