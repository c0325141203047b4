#include "experiment_flags/flat_file_marovic.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "experiment_flags/marovic_error.h"
#include "experiment_flags/store_test_util.h"
#include "platform/fetcher/http_fetcher.h"
#include "platform/fetcher/recording_http_server_test_util.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/utility/base_logger.h"
#include "usage_base/app_groups.h"
#include "experiment_flags/fake_flags_test_util.h"
#include "usage_base/manual_clock_test_util.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

// Records the store's events and counters instead of writing them.
class RecordingLogger : public ZQLMarovicLoggerProtocol {
 public:
  void logOperationEventWithExtension(std::shared_ptr<const ZQLMarovicLogEvent> event,
                                      int32_t code) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back({code, *event});
  }
  void increaseCounterWithName(const std::string& name, int64_t, int64_t) override {
    std::lock_guard<std::mutex> lock(mutex);
    counters.push_back(name);
  }
  void flushCountersToLogger() override {
    std::lock_guard<std::mutex> lock(mutex);
    flushes.push_back(counters.size());
  }
  std::mutex mutex;
  std::vector<std::pair<int32_t, ZQLMarovicLogEvent>> events;
  std::vector<std::string> counters;
  std::vector<size_t> flushes;  // how many increments had come at each flush
};

class Observer : public ZQLCommitObserver {
 public:
  void didCommitWithMarovic(const std::shared_ptr<ZQLMarovic>&, const std::string& package,
                            const std::shared_ptr<ZQLMarovicConfiguration>&) override {
    std::lock_guard<std::mutex> lock(mutex);
    packages.push_back(package);
  }
  std::mutex mutex;
  std::vector<std::string> packages;
};

struct ConfigAnswer {
  std::shared_ptr<ZQLMarovicConfiguration> configuration;
  std::shared_ptr<NSError> error;
};

struct TokensAnswer {
  std::shared_ptr<ZQLMarovicExperimentTokens> tokens;
  std::shared_ptr<NSError> error;
};

class StoreTest : public StoreFolderTest {
 public:
  void SetUp() override {
    StoreFolderTest::SetUp();
    platform::foundation::SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(),
                                               folder_.Path("group"));
    NewStore();
  }
  void TearDown() override {
    platform::foundation::SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(), "");
    StoreFolderTest::TearDown();
  }
  void NewStore() {
    clock_ = std::make_shared<ManualClock>();
    logger_ = std::make_shared<RecordingLogger>();
    flags_ = std::make_shared<FakeMarovicFlags>();
    ids_ = ZRBPseudonymousIDStore::init();
    store_ = ZQLFlatFileMarovic::initWithClock(clock_, ids_, logger_, flags_);
  }

  std::shared_ptr<NSError> Register(const std::string& package, std::vector<int64_t> sources,
                                    int64_t version = 1) {
    std::promise<std::shared_ptr<NSError>> done;
    store_->registerPackage(package, version, sources, std::nullopt,
                            [&](auto error) { done.set_value(error); });
    return done.get_future().get();
  }
  std::shared_ptr<NSError> Unregister(const std::string& package) {
    std::promise<std::shared_ptr<NSError>> done;
    store_->unregisterPackage(package, [&](auto error) { done.set_value(error); });
    return done.get_future().get();
  }
  ConfigAnswer Commit(const std::string& package, const std::string& user, bool take = true) {
    std::promise<ConfigAnswer> done;
    // `take` is copied: the promise's waiter may leave this frame before the committer returns.
    store_->commitConfiguration(package, user, std::nullopt, [&done, take](auto config, auto error) {
      done.set_value({config, error});
      return take;
    });
    return done.get_future().get();
  }
  TokensAnswer Tokens(int64_t source, const std::string& user) {
    std::promise<TokensAnswer> done;
    store_->experimentTokens(source, user, [&](auto tokens, auto error) {
      done.set_value({tokens, error});
    });
    return done.get_future().get();
  }
  TokensAnswer BundleTokens() {
    std::promise<TokensAnswer> done;
    store_->experimentTokensForCurrentBundleWithCallback([&](auto tokens, auto error) {
      done.set_value({tokens, error});
    });
    return done.get_future().get();
  }
  // Waits until the work queue has run what was queued before.
  void Drain() {
    std::promise<void> done;
    dispatch_async(store_->workQueue(), [&] { done.set_value(); });
    done.get_future().get();
  }
  // Completion blocks run concurrently and in no order: wait for what a test expects of them.
  static bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 5000 && !condition(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
  }
  XVNLogSourceMapping Mapping() {
    XVNLogSourceMapping mapping;
    mapping.ParseFromString(Read(Local("log_sources/all.pb")));
    return mapping;
  }
  std::vector<std::string> PackagesOf(int32_t source) {
    auto mapping = Mapping();
    auto it = mapping.entry().find(source);
    if (it == mapping.entry().end()) return {};
    return {it->second.config_package().begin(), it->second.config_package().end()};
  }
  void WriteUncommitted(const std::string& package, const std::string& user,
                        const XVNConfigurationSnapshot& snapshot) {
    Write(Shared("uncommitted/" + (user.empty() ? std::string("logged_out") : user) + "/" +
                 package + ".pb"),
          snapshot.SerializeAsString());
  }
  void WriteCommitted(const std::string& name, const std::string& user, const std::string& token) {
    XVNConfigurationSnapshot snapshot;
    snapshot.set_obfuscated_hollin_id(user);
    snapshot.set_snapshot_token("s");
    snapshot.mutable_dunsfell_response()->set_experiment_token(token);
    Write(Local("committed/" + name + ".pb"), snapshot.SerializeAsString());
  }
  std::vector<std::string> Listing(const std::string& path) {
    auto names = NSFileManager::defaultManager()->contentsOfDirectoryAtPath(path, nullptr);
    return names ? *names : std::vector<std::string>{};
  }
  static ino_t Inode(const std::string& path) {
    struct stat status {};
    stat(path.c_str(), &status);
    return status.st_ino;
  }

  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<RecordingLogger> logger_;
  std::shared_ptr<FakeMarovicFlags> flags_;
  std::shared_ptr<ZRBPseudonymousIDStore> ids_;
  std::shared_ptr<ZQLFlatFileMarovic> store_;
};

XVNCrossExperimentTokens CrossFile(const std::string& from, const std::string& to,
                                   std::vector<std::pair<std::string, int>> tokens) {
  XVNCrossExperimentTokens file;
  file.set_from_config_package(from);
  file.set_to_config_package(to);
  for (const auto& [token, provenance] : tokens) {
    XVNCrossExperimentToken* added = file.add_token();
    added->set_experiment_token(token);
    added->set_provenance(static_cast<YRXCrossAppDescriptor::DiversionProvenance>(provenance));
  }
  return file;
}

TEST_F(StoreTest, RegistrationsAndCommitsKeepTheirRecords) {
  struct Case {
    const char* name;
    std::function<void(StoreTest&)> run;
  };
  const Case cases[] = {
      {"registering again with other log sources moves the package",
       [](StoreTest& t) {
         ASSERT_EQ(t.Register("p", {5, 6}), nullptr);
         ASSERT_EQ(t.Register("p", {7}), nullptr);
         EXPECT_THAT(t.PackagesOf(5), ElementsAre());
         EXPECT_THAT(t.PackagesOf(6), ElementsAre());
         EXPECT_THAT(t.PackagesOf(7), ElementsAre("p"));
         XVNRegistrationData registration;
         registration.ParseFromString(t.Read(t.Shared("registration/p.pb")));
         EXPECT_EQ(registration.config_package(), "p");
         EXPECT_EQ(registration.bundle_id(), NSBundle::mainBundle()->bundleIdentifier());
       }},
      {"the same log sources leave the mapping file alone when the package is last",
       [](StoreTest& t) {
         t.Register("q", {5});
         t.Register("p", {5});
         const ino_t before = Inode(t.Local("log_sources/all.pb"));
         t.Register("p", {5});
         EXPECT_EQ(Inode(t.Local("log_sources/all.pb")), before);
         t.Register("q", {5});  // not last: moves to the end, rewritten
         EXPECT_NE(Inode(t.Local("log_sources/all.pb")), before);
         EXPECT_THAT(t.PackagesOf(5), ElementsAre("p", "q"));
       }},
      {"log sources [5, 5] list the package twice",
       [](StoreTest& t) {
         t.Register("p", {5, 5});
         EXPECT_THAT(t.PackagesOf(5), ElementsAre("p", "p"));
       }},
      {"unregistering an unknown package answers -2 and changes nothing",
       [](StoreTest& t) {
         auto error = t.Unregister("nope");
         ASSERT_NE(error, nullptr);
         EXPECT_EQ(error->code(), ZQLMarovicErrorCodeNotRegistered);
         EXPECT_FALSE(t.Exists(t.Local("log_sources/all.pb")));
       }},
      {"unregistering removes records by name prefix and keeps the mapping",
       [](StoreTest& t) {
         t.Register("p", {5});
         t.Write(t.Shared("uncommitted/acct/p.pb"), "");
         t.Write(t.Shared("cross/p-q.pb"), "");
         t.Write(t.Shared("cross/q-p.pb"), "");
         t.Write(t.Shared("cross/p-q-x.pb"), "");  // "p-" begins it: it goes too
         t.Write(t.Shared("cross/pp-q.pb"), "");
         t.Write(t.Local("committed/p.pb"), "");
         EXPECT_EQ(t.Unregister("p"), nullptr);
         EXPECT_FALSE(t.Exists(t.Shared("registration/p.pb")));
         EXPECT_FALSE(t.Exists(t.Shared("uncommitted/acct/p.pb")));
         EXPECT_FALSE(t.Exists(t.Local("committed/p.pb")));
         EXPECT_THAT(t.Listing(t.Shared("cross")), ElementsAre("pp-q.pb"));
         EXPECT_THAT(t.PackagesOf(5), ElementsAre("p"));
       }},
      {"committing a registered, never synced package commits the account alone",
       [](StoreTest& t) {
         t.Register("p", {5});
         ConfigAnswer answer = t.Commit("p", "acct");
         ASSERT_EQ(answer.error, nullptr);
         EXPECT_EQ(answer.configuration->userID(), "acct");
         EXPECT_EQ(answer.configuration->flags(), std::nullopt);
         XVNConfigurationSnapshot expected;
         expected.set_obfuscated_hollin_id("acct");
         EXPECT_EQ(t.Read(t.Local("committed/p.pb")), expected.SerializeAsString());
         EXPECT_EQ(t.Read(t.Shared("committed/p.pb")), expected.SerializeAsString());
       }},
      {"a commit leaves exactly the cross files the package hands over now",
       [](StoreTest& t) {
         t.Register("p", {5});
         XVNConfigurationSnapshot snapshot;
         snapshot.set_snapshot_token("s1");
         (*snapshot.mutable_cross_tokens())["A"] = CrossFile("p", "A", {{"a", 1}});
         (*snapshot.mutable_cross_tokens())["C"] = CrossFile("p", "C", {{"c", 1}});
         t.WriteUncommitted("p", "", snapshot);
         t.Commit("p", "");
         snapshot.mutable_cross_tokens()->erase("C");
         (*snapshot.mutable_cross_tokens())["B"] = CrossFile("p", "B", {{"b", 1}});
         t.WriteUncommitted("p", "", snapshot);
         t.Write(t.Shared("cross/p-Z.pb"), "tokens p receives");
         t.Commit("p", "");
         EXPECT_THAT(t.Listing(t.Shared("cross")), ElementsAre("A-p.pb", "B-p.pb", "p-Z.pb"));
       }},
      {"a multi-commit package commits per account and hands over no cross files",
       [](StoreTest& t) {
         t.Register("x#@m", {5});
         XVNConfigurationSnapshot snapshot;
         snapshot.set_snapshot_token("s");
         (*snapshot.mutable_cross_tokens())["A"] = CrossFile("x#@m", "A", {{"a", 1}});
         t.WriteUncommitted("x#@m", "u", snapshot);
         ASSERT_EQ(t.Commit("x#@m", "u").error, nullptr);
         EXPECT_TRUE(t.Exists(t.Local("committed/x#@m-u.pb")));
         EXPECT_TRUE(t.Exists(t.Shared("committed/x#@m-u.pb")));
         EXPECT_THAT(t.Listing(t.Shared("cross")), ElementsAre());
       }},
      {"cross packages from the server that cannot name a file are skipped",
       [](StoreTest& t) {
         t.Register("p", {5});
         XVNConfigurationSnapshot snapshot;
         snapshot.set_snapshot_token("s");
         for (const std::string to : {"../x", "a/b", "..", "", "."}) {
           (*snapshot.mutable_cross_tokens())[to] = CrossFile("p", to, {{"t", 1}});
         }
         (*snapshot.mutable_cross_tokens())[std::string("n\0l", 3)] = CrossFile("p", "", {});
         (*snapshot.mutable_cross_tokens())["ok"] = CrossFile("p", "ok", {{"t", 1}});
         t.WriteUncommitted("p", "", snapshot);
         platform::utility::BaseLoggerCapture capture;
         ConfigAnswer answer = t.Commit("p", "");
         EXPECT_EQ(answer.error, nullptr);  // the committer gets the configuration
         EXPECT_THAT(t.Listing(t.Shared("cross")), ElementsAre("ok-p.pb"));
         EXPECT_THAT(t.Listing(t.Shared("")),
                     ElementsAre("committed", "cross", "registration", "uncommitted"));
         EXPECT_EQ(capture.messages().size(), 6u);
         EXPECT_THAT(capture.messages()[0], HasSubstr("Marovic failed to write cross experiment"));
       }},
      {"a committer that refuses costs one log line",
       [](StoreTest& t) {
         t.Register("p", {5});
         platform::utility::BaseLoggerCapture capture;
         t.Commit("p", "", false);
         EXPECT_TRUE(WaitFor([&] { return !capture.messages().empty(); }));
         EXPECT_THAT(capture.messages(),
                     ElementsAre(HasSubstr("Marovic committer failed to commit")));
       }},
      {"committing and peeking an unregistered package answer -2",
       [](StoreTest& t) {
         EXPECT_EQ(t.Commit("nope", "").error->code(), ZQLMarovicErrorCodeNotRegistered);
         std::promise<ConfigAnswer> peek;
         t.store_->peekConfiguration("nope", "", std::nullopt, [&](auto c, auto e) {
           peek.set_value({c, e});
         });
         EXPECT_EQ(peek.get_future().get().error->code(), ZQLMarovicErrorCodeNotRegistered);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NSFileManager::defaultManager()->removeItemAtPath(folder_.Path("default"), nullptr);
    NSFileManager::defaultManager()->removeItemAtPath(folder_.Path("sandbox"), nullptr);
    NewStore();
    c.run(*this);
    Drain();
  }
}

TEST_F(StoreTest, EveryOperationReportsItselfOnce) {
  auto observer = std::make_shared<Observer>();
  store_->addCommitObserver(observer);
  Register("p", {5}, 42);
  Commit("p", "u");
  Unregister("p");
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(logger_->mutex);
    return logger_->events.size() >= 3;
  }));
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(observer->mutex);
    return !observer->packages.empty();
  }));
  std::lock_guard<std::mutex> lock(logger_->mutex);
  ASSERT_EQ(logger_->events.size(), 3u);
  EXPECT_EQ(logger_->events[0].first, ZQLMarovicLogEvent::RegularRegister);
  EXPECT_EQ(logger_->events[0].second.application_info().package_version(), 42);
  EXPECT_THAT(logger_->events[0].second.application_info().log_source(), ElementsAre(5));
  EXPECT_EQ(logger_->events[1].first, ZQLMarovicLogEvent::CommitConfig);
  EXPECT_EQ(logger_->events[1].second.application_info().user(), "u");
  EXPECT_EQ(logger_->events[2].first, ZQLMarovicLogEvent::Unregister);
  EXPECT_THAT(logger_->counters,
              ElementsAre("FlatFile-Register", "FlatFile-Commit", "FlatFile-Unregister"));
  EXPECT_THAT(observer->packages, ElementsAre("p"));
}

// A reset of the pseudonymous identifier is counted and the count goes out at once.
TEST_F(StoreTest, AnIdentifierResetIsCountedAndFlushed) {
  ids_->setPseudonymousIDWithoutCheckingEnabledStatus("id-1");  // not a reset
  ids_->setPseudonymousIDWithoutCheckingEnabledStatus(std::string());
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(logger_->mutex);
    return !logger_->flushes.empty();
  })) << "no flush within 10 s";
  std::lock_guard<std::mutex> lock(logger_->mutex);
  EXPECT_THAT(logger_->counters, ElementsAre("ResetPseudonymousID"));
  EXPECT_THAT(logger_->flushes, ElementsAre(1u));  // after the increment
}

TEST_F(StoreTest, TokensGatherCommittedCrossAndExternalIds) {
  Register("p", {5});
  Register("q", {5});
  Register("other", {6});
  WriteCommitted("p", "u1", "tp");
  WriteCommitted("q", "u2", "tq");
  Write(Shared("cross/q-z.pb"),
        CrossFile("z", "q", {{"x0", 0}, {"x4", 4}, {"x1", 1}}).SerializeAsString());
  Write(Shared("cross/other-z.pb"), CrossFile("z", "other", {{"no", 1}}).SerializeAsString());
  std::promise<std::shared_ptr<NSError>> set;
  store_->setExternalExperimentIDs({11, 12}, "ns", 5, [&](auto e) { set.set_value(e); });
  ASSERT_EQ(set.get_future().get(), nullptr);

  TokensAnswer answer = Tokens(5, "me");
  ASSERT_EQ(answer.error, nullptr);
  EXPECT_EQ(answer.tokens->user(), "");  // two accounts' snapshots
  EXPECT_THAT(answer.tokens->tokens(), ElementsAre("tp", "tq"));
  ZQLMarovicExperimentTokens::CrossTokens expected{{0, {"x1"}}, {3, {"x4"}}};
  EXPECT_EQ(answer.tokens->crossTokens(), expected);
  YRXDeviceExperimentIds ids;
  ids.add_always(11);
  ids.add_always(12);
  EXPECT_EQ(answer.tokens->externalExperimentIDs()->clear_blob(), ids.SerializeAsString());

  // A log source nobody registered: the requested user, nothing else.
  TokensAnswer none = Tokens(9, "me");
  EXPECT_EQ(none.tokens->user(), "me");
  EXPECT_TRUE(none.tokens->tokens().empty());
  EXPECT_TRUE(none.tokens->crossTokens().empty());
  EXPECT_EQ(none.tokens->externalExperimentIDs()->clear_blob(), "");

  // A committed record that does not parse fails the lookup; one never committed is skipped.
  Register("r", {7});
  Register("s", {7});
  WriteCommitted("s", "", "ts");
  EXPECT_THAT(Tokens(7, "").tokens->tokens(), ElementsAre("ts"));
  Write(Local("committed/r.pb"), "\xff\xff");
  store_->invalidateTokenCache();
  EXPECT_EQ(Tokens(7, "").error->domain(), kZQLRecordParseErrorDomain);
}

TEST_F(StoreTest, RepeatedLookupsStayInMemory) {
  Register("p", {5});
  WriteCommitted("p", "", "t1");
  ASSERT_EQ(Tokens(5, "").error, nullptr);
  const int stats = store_->crossFolderStatCount();
  const int trips = store_->tokenLookupsOnWorkQueue();
  for (int i = 0; i < 20; ++i) {
    clock_->advance(400);  // 8 s in all
    EXPECT_THAT(Tokens(5, "").tokens->tokens(), ElementsAre("t1"));
  }
  EXPECT_LE(store_->crossFolderStatCount() - stats, 1);
  EXPECT_EQ(store_->tokenLookupsOnWorkQueue(), trips);

  // A new cross file is seen once the folder is read again (at most 10 s later).
  Write(Shared("cross/p-z.pb"), CrossFile("z", "p", {{"c", 3}}).SerializeAsString());
  clock_->advance(10000);
  EXPECT_EQ(Tokens(5, "").tokens->crossTokens().at(2), std::vector<std::string>{"c"});
  EXPECT_EQ(store_->tokenLookupsOnWorkQueue(), trips + 1);
}

TEST_F(StoreTest, ExternalIdsAreWrittenOnlyWhenTheyChange) {
  auto set = [&](std::vector<int64_t> ids) {
    std::promise<std::shared_ptr<NSError>> done;
    store_->setExternalExperimentIDs(ids, "ns", 5, [&](auto e) { done.set_value(e); });
    return done.get_future().get();
  };
  ASSERT_EQ(set({1}), nullptr);
  const ino_t first = Inode(Local("log_sources/all.pb"));
  ASSERT_EQ(set({1}), nullptr);
  EXPECT_EQ(Inode(Local("log_sources/all.pb")), first);
  ASSERT_EQ(set({2}), nullptr);
  EXPECT_NE(Inode(Local("log_sources/all.pb")), first);
}

TEST_F(StoreTest, BundleTokensStopAtARecordCutShort) {
  Register("p", {5});
  WriteCommitted("p", "", "tp");
  Write(Shared("cross/p-z.pb"), CrossFile("z", "p", {{"c", 2}}).SerializeAsString());
  TokensAnswer answer = BundleTokens();
  ASSERT_EQ(answer.error, nullptr);
  EXPECT_THAT(answer.tokens->tokens(), ElementsAre("tp"));
  EXPECT_EQ(answer.tokens->crossTokens().at(1), std::vector<std::string>{"c"});
  EXPECT_EQ(answer.tokens->user(), "");

  Write(Local("committed/q.pb"), "");
  answer = BundleTokens();
  EXPECT_EQ(answer.tokens, nullptr);
  ASSERT_NE(answer.error, nullptr);
  EXPECT_EQ(answer.error->code(), ZQLMarovicErrorCodeFileError);
}

TEST_F(StoreTest, MisuseIsReportedAndTheCallGoesOn) {
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  EXPECT_EQ(Register("p", {0, 5}), nullptr);
  EXPECT_THAT(PackagesOf(5), ElementsAre("p"));
  EXPECT_EQ(Mapping().entry().count(0), 0u);  // reported, and left out of the mapping
  std::promise<ConfigAnswer> done;
  store_->committedConfiguration("p", "user", [&](auto c, auto e) { done.set_value({c, e}); });
  EXPECT_EQ(done.get_future().get().error->code(), ZQLMarovicErrorCodeNotCommitted);
  auto failures = handler->failures();
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].description, "Must pass a valid log source enum");
  EXPECT_EQ(failures[1].description, "Can only call this API for multi-commit packages.");
}

TEST_F(StoreTest, SyncedValuesReachFlagReadersAtTheirCommit) {
  RecordingHttpServer server;
  platform::fetcher::SetHostMap({{kZQLDunsfellServiceHost, server.Base()}});
  auto answer = [](YRXParamPartition::UpdateType type, std::vector<YRXParam> params) {
    YRXExperimentsAndConfigsResponse response;
    YRXApplicationResponse* app = response.add_application_response();
    app->mutable_scope()->set_config_package("p");
    app->mutable_scope()->set_version_code(1);
    YRXParamPartition* partition = app->add_param_partition();
    partition->mutable_param_partition_tag()->set_id(1);
    partition->set_update_type(type);
    for (auto& param : params) *partition->add_param() = param;
    return response.SerializeAsString();
  };
  auto param = [](const std::string& name, int64_t value, bool deleted = false) {
    YRXParam result;
    result.set_name(name);
    result.set_value_type(YRXParam::IntValue);
    result.set_int_value(value);
    if (deleted) result.set_deleted(true);
    return result;
  };
  std::mutex mutex;
  std::vector<std::pair<int, bool>> finished;
  auto sync = [&](int index) {
    store_->syncExperimentsWithServer(nullptr, [&, index](bool attempted, auto error) {
      EXPECT_EQ(error, nullptr) << index;
      std::lock_guard<std::mutex> lock(mutex);
      finished.push_back({index, attempted});
    });
  };
  auto wait_for = [&](size_t count) {
    EXPECT_TRUE(WaitFor([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return finished.size() >= count;
    }));
  };

  ASSERT_EQ(Register("p", {5}), nullptr);
  server.Script(kZQLDunsfellServicePath,
                {200, answer(YRXParamPartition::Replace, {param("a", 1), param("b", 2)})});
  // Two requests back to back: the second runs after the first and finds nothing due.
  sync(1);
  sync(2);
  wait_for(2);
  EXPECT_THAT(finished, ElementsAre(std::pair<int, bool>{1, true}, std::pair<int, bool>{2, false}));
  EXPECT_EQ(server.Requests().size(), 1u);

  auto flags = ZQLMarovicFlags::initWithPackageName("p", "", store_, false);
  EXPECT_EQ(flags->numberForFlagName("b", ZQLMarovicNumber::Integer(-1)).longLongValue(), 2);

  server.Script(kZQLDunsfellServicePath,
                {200, answer(YRXParamPartition::Patch, {param("b", 0, true)})});
  clock_->advance(14401 * 1000);
  sync(3);
  wait_for(3);
  // Synced, not yet committed: readers keep the old values until the flags commit.
  EXPECT_EQ(flags->numberForFlagName("b", ZQLMarovicNumber::Integer(-1)).longLongValue(), 2);
  flags->update();
  EXPECT_EQ(flags->numberForFlagName("b", ZQLMarovicNumber::Integer(-1)).longLongValue(), -1);
  EXPECT_EQ(flags->numberForFlagName("a", ZQLMarovicNumber::Integer(-1)).longLongValue(), 1);
  // The store's own package was registered before the first sync.
  EXPECT_TRUE(store_->packageRegistered(ZQLMarovicUtil::marovicPackageName(), nullptr));
  platform::fetcher::SetHostMap({});
}

TEST(MarovicFacadeTest, SharedStoreIsTheFlatFileStoreAndTheDirectoryComesFirst) {
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  auto store = ZQLMarovic::sharedInstance();
  EXPECT_EQ(store, ZQLMarovic::sharedInstance());
  EXPECT_NE(std::dynamic_pointer_cast<ZQLFlatFileMarovic>(store), nullptr);
  // Too late, reported; the directory is set anyway.
  auto late = NSURL::fileURLWithPath("/tmp/late", true);
  ZQLMarovic::setDefaultDirectory(late);
  ASSERT_EQ(handler->failures().size(), 1u);
  EXPECT_EQ(handler->failures()[0].description,
            "setDefaultDirectory should be called beforesharedInstance is initialized.");
  EXPECT_EQ(ZQLMarovic::defaultDirectory()->path(), "/tmp/late");
  ZQLMarovicUtil::setDefaultDirectory(nullptr);
}

// --- Child processes -------------------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
};

Child StartCommitChild(const StoreTest& test, std::vector<std::string> args) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  Child child;
  child.pid = fork();
  if (child.pid == 0) {
    dup2(pipe_fds[1], 1);
    close(pipe_fds[0]);
    std::vector<std::string> all = {QM_COMMIT_CHILD, test.folder_.Path("default"),
                                    test.folder_.Path("sandbox")};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(9);
  }
  close(pipe_fds[1]);
  child.out = fdopen(pipe_fds[0], "r");
  return child;
}

// An uncommitted snapshot of `size` bytes or more.
XVNConfigurationSnapshot BigSnapshot(const std::string& token, size_t size) {
  XVNConfigurationSnapshot snapshot;
  snapshot.set_snapshot_token(token);
  YRXParam* param = snapshot.mutable_dunsfell_response()->add_param_partition()->add_param();
  param->set_name("big");
  param->set_value_type(YRXParam::StringValue);
  param->set_string_value(std::string(size, 'v'));
  return snapshot;
}

TEST_F(StoreTest, ACommitOverTheFileSizeLimitKeepsTheOldCopy) {
  Register("p", {5});
  WriteUncommitted("p", "", BigSnapshot("old", 10));
  ASSERT_EQ(Commit("p", "").error, nullptr);
  const std::string old_copy = Read(Local("committed/p.pb"));
  WriteUncommitted("p", "", BigSnapshot("new", 200000));

  Child child = StartCommitChild(*this, {"limit", "65536"});
  ASSERT_GT(child.pid, 0);
  long code = 1;
  ASSERT_EQ(fscanf(child.out, "%ld", &code), 1);
  fclose(child.out);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(code, ZQLMarovicErrorCodeFileError);  // the committer heard of the failure
  EXPECT_EQ(Read(Local("committed/p.pb")), old_copy);
}

TEST_F(StoreTest, KilledDuringCommitsLeavesWholeRecords) {
  Register("p", {5});
  const XVNConfigurationSnapshot snapshot = BigSnapshot("s", 300000);
  WriteUncommitted("p", "", snapshot);
  const std::string whole = snapshot.SerializeAsString();

  Child child = StartCommitChild(*this, {"loop"});
  ASSERT_GT(child.pid, 0);
  long count = 0;
  while (count < 5 && fscanf(child.out, "%ld", &count) == 1) {
  }
  kill(child.pid, SIGKILL);
  fclose(child.out);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  ASSERT_GE(count, 5);
  EXPECT_EQ(Read(Local("committed/p.pb")), whole);
  EXPECT_EQ(Read(Shared("committed/p.pb")), whole);
  // Whatever a killed write left behind is hidden from the store's listings.
  EXPECT_EQ(ZQLURL::localCommittedURLsWithError(nullptr).size(), 1u);

  // Opening the store removes temporaries of dead writers, ours or planted, at any depth; the
  // temporary of a running writer and files of other names stay.
  const std::string unique = std::string(32, 'A') + "-";
  const std::string dead = unique + std::to_string(child.pid) + "-1F.tmp";
  const std::string live = ".p.pb." + unique + std::to_string(getpid()) + "-2.tmp";
  Write(Local("committed/.p.pb." + dead), "x");
  Write(Shared("uncommitted/logged_out/.p.pb." + dead), "x");
  Write(Shared("committed/" + live), "x");
  Write(Shared("committed/.p.pb.not-a-unique-name.tmp"), "x");
  NewStore();
  auto hidden = [](const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::string name = entry.path().filename();
      if (name[0] == '.') names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_THAT(hidden(Local("committed")), ::testing::IsEmpty());
  EXPECT_THAT(hidden(Shared("uncommitted/logged_out")), ::testing::IsEmpty());
  EXPECT_EQ(hidden(Shared("committed")),
            (std::vector<std::string>{live, ".p.pb.not-a-unique-name.tmp"}));
}

}  // namespace
