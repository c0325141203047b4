#include "experiment_flags/dunsfell_syncer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <limits>
#include <string>

#include "experiment_flags/marovic_error.h"
#include "experiment_flags/store_test_util.h"
#include "platform/fetcher/http_fetcher.h"
#include "platform/fetcher/recording_http_server_test_util.h"
#include "platform/utility/gzip.h"
#include "usage_base/app_groups.h"
#include "usage_base/manual_clock_test_util.h"
#include "usage_base/wire_test_util.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr int64_t kNowSeconds = 1700000000;  // the manual clock's default time

class Account : public ZQLMarovicAccount {
 public:
  explicit Account(std::string id, bool authorized = true)
      : id_(std::move(id)), authorized_(authorized) {}
  std::shared_ptr<platform::fetcher::Authorizer> authorization(std::shared_ptr<NSError>*) override {
    return authorized_ ? std::make_shared<Signer>() : nullptr;
  }
  std::string obfuscatedHollinID() const override { return id_; }
  std::string email() const override { return id_ + "@example.com"; }

 private:
  class Signer : public platform::fetcher::Authorizer {
    bool authorizeRequest(NSMutableURLRequest& request, std::shared_ptr<NSError>*) override {
      request.setValue("Bearer x", "Authorization");
      return true;
    }
  };
  std::string id_;
  bool authorized_;
};

struct RunResult {
  bool attempted = false;
  std::shared_ptr<NSError> error;
  bool aborted = false;
  std::shared_ptr<ZQLDunsfellSyncInfo> info;
};

YRXParam IntParam(const std::string& name, int64_t value) {
  YRXParam param;
  param.set_name(name);
  param.set_value_type(YRXParam::IntValue);
  param.set_int_value(value);
  return param;
}

class SyncerTest : public StoreFolderTest {
 protected:
  void SetUp() override {
    StoreFolderTest::SetUp();
    platform::fetcher::SetHostMap({{kZQLDunsfellServiceHost, server_.Base()}});
    platform::foundation::SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(),
                                               folder_.Path("group"));
    clock_ = std::make_shared<ManualClock>();
    queue_ = dispatch_queue_create("ZQLFlatFileMarovic", DISPATCH_QUEUE_SERIAL);
  }
  void TearDown() override {
    platform::fetcher::SetHostMap({});
    platform::fetcher::ScriptErrors({});
    platform::foundation::SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(), "");
    StoreFolderTest::TearDown();
  }

  void Register(const std::string& package, int64_t version) {
    XVNRegistrationData registration;
    registration.set_config_package(package);
    registration.set_version_code(version);
    Write(Shared("registration/" + package + ".pb"), registration.SerializeAsString());
  }
  void WriteMetadata(const XVNSyncMetadata& metadata) {
    Write(Shared("uncommitted/sync_metadata.pb"), metadata.SerializeAsString());
  }
  std::shared_ptr<ZQLDunsfellSyncer> Syncer(
      std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts = {},
      std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> after = nullptr) {
    return ZQLDunsfellSyncer::initWithAccounts(std::move(accounts), nullptr, false, clock_,
                                               ZRBPseudonymousIDStore::init(), std::move(after),
                                               false, queue_);
  }
  RunResult Run(const std::shared_ptr<ZQLDunsfellSyncer>& syncer) {
    std::promise<RunResult> done;
    dispatch_async(queue_, [&] {
      syncer->syncWithCallback([&](bool attempted, auto error, bool aborted, auto info) {
        done.set_value({attempted, error, aborted, info});
      });
    });
    return done.get_future().get();
  }
  // The request bodies, gunzipped.
  std::vector<YRXExperimentsAndConfigsRequest> Requests() {
    std::vector<YRXExperimentsAndConfigsRequest> requests;
    for (const auto& request : server_.Requests()) {
      auto body = platform::utility::GunzipData(
          std::vector<uint8_t>(request.body.begin(), request.body.end()), nullptr);
      EXPECT_TRUE(body.has_value());
      requests.emplace_back();
      EXPECT_TRUE(requests.back().ParseFromArray(body->data(), static_cast<int>(body->size())));
    }
    return requests;
  }
  static std::string ServerAnswer(const YRXExperimentsAndConfigsResponse& response) {
    return response.SerializeAsString();
  }

  RecordingHttpServer server_;
  std::shared_ptr<ManualClock> clock_;
  dispatch_queue_t queue_;
};

TEST_F(SyncerTest, RequestCarriesWhatTheClientHoldsAndTheAnswerBecomesSnapshots) {
  Register("com.a#app", 3);
  // The store's own committed logged-out snapshot supplies the server token.
  XVNConfigurationSnapshot own;
  own.mutable_dunsfell_response()->set_server_trigger_token("srv-tok");
  Write(Local("committed/" + ZQLMarovicUtil::marovicPackageName() + ".pb"),
        own.SerializeAsString());

  YRXExperimentsAndConfigsResponse response;
  response.set_server_configuration_version(12);
  response.set_pseudonymous_cookie("cookie-1");
  YRXApplicationResponse* app = response.add_application_response();
  app->mutable_scope()->set_config_package("com.a#app");
  app->mutable_scope()->set_version_code(3);
  app->set_experiment_token("ET");
  app->set_tokens_tag("TT");
  YRXParamPartition* partition = app->add_param_partition();
  partition->mutable_param_partition_tag()->set_id(1);
  partition->mutable_param_partition_tag()->set_tag("v1");
  *partition->add_param() = IntParam("n", 5);
  YRXCrossAppDescriptor* cross = app->add_cross_app_descriptor();
  cross->mutable_from_scope()->set_config_package("com.a#app");
  cross->set_experiment_token("X");
  cross->set_provenance(YRXCrossAppDescriptor::Other);
  server_.Script(kZQLDunsfellServicePath, {200, ServerAnswer(response)});

  RunResult run = Run(Syncer());
  EXPECT_TRUE(run.attempted);
  EXPECT_EQ(run.error, nullptr);
  EXPECT_FALSE(run.aborted);
  ASSERT_NE(run.info, nullptr);
  EXPECT_EQ(run.info->fetch_reason(), YRXExperimentsAndConfigsRequest::NewApplication);
  ASSERT_EQ(run.info->single_sync_size(), 1);
  EXPECT_EQ(run.info->single_sync(0).request_type(), ZQLDunsfellSingleSync::LoggedOut);

  auto raw = server_.Requests();
  ASSERT_EQ(raw.size(), 1u);
  EXPECT_EQ(raw[0].method, "POST");
  EXPECT_EQ(raw[0].path, kZQLDunsfellServicePath);
  EXPECT_EQ(raw[0].headers["content-type"], "application/x-protobuf");
  EXPECT_EQ(raw[0].headers["content-encoding"], "gzip");
  EXPECT_EQ(raw[0].headers["x-server-token"], "srv-tok");
  EXPECT_EQ(raw[0].headers.count("authorization"), 0u);
  auto body = platform::utility::GunzipData(
      std::vector<uint8_t>(raw[0].body.begin(), raw[0].body.end()), nullptr);
  const std::string bytes(body->begin(), body->end());
  EXPECT_THAT(qm_wire_test::Hex(bytes), HasSubstr("20 06 28 41"));
  const std::string decoded = qm_wire_test::DecodeRaw(bytes);
  EXPECT_THAT(decoded, HasSubstr("1 {\n  2: 0\n"));  // user id 0
  EXPECT_THAT(decoded, HasSubstr("  4 {\n"));        // client info
  EXPECT_THAT(decoded, HasSubstr("2 {\n  1 {\n    1: \"com.a#app\"\n    2: 3\n  }\n}\n"));
  EXPECT_THAT(decoded, Not(HasSubstr("\n6:")));

  // The answer is the package's uncommitted snapshot of the logged-out account.
  std::shared_ptr<NSError> error;
  auto snapshot = ZQLSnapshot::uncommittedSnapshotForPackage("com.a#app", "", &error);
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->snapshot_token().size(), 36u);
  EXPECT_EQ(snapshot->server_configuration_version(), 12);
  EXPECT_EQ(snapshot->sync_time_seconds(), kNowSeconds);
  EXPECT_EQ(snapshot->dunsfell_response().experiment_token(), "ET");
  ASSERT_EQ(snapshot->cross_tokens().count("com.a#app"), 1u);
  EXPECT_EQ(snapshot->cross_tokens().at("com.a#app").token(0).experiment_token(), "X");
  auto configuration = ZQLSnapshot::snapshotToConfiguration(*snapshot);
  EXPECT_EQ(std::get<int64_t>(configuration->flags()->at("n")->value()), 5);

  // The next request names the partitions and tokens the client holds; the run is recorded.
  clock_->advance(14401 * 1000);
  Run(Syncer());
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].fetch_reason(), YRXExperimentsAndConfigsRequest::Periodic);
  ASSERT_EQ(requests[1].application_request_size(), 1);
  EXPECT_EQ(requests[1].application_request(0).tokens_tag(), "TT");
  EXPECT_EQ(requests[1].application_request(0).param_partition_tag(0).tag(), "v1");
  EXPECT_EQ(requests[1].client_properties().pseudonymous_cookie(), "cookie-1");
}

TEST_F(SyncerTest, FetchReasons) {
  const int64_t now = kNowSeconds;
  struct Case {
    const char* name;
    std::optional<int64_t> logged_out_time;  // none: no metadata file
    int64_t synced_version;
    std::vector<std::string> accounts;
    int64_t serving_version;  // 0: no sync-after configuration
    int64_t last_requested;
    int64_t reason;
  } cases[] = {
      {"first sync", std::nullopt, 0, {}, 0, 0, 6},
      {"14,400 s after the last", now - 14400, 3, {}, 0, 0, 0},
      {"14,401 s after the last", now - 14401, 3, {}, 0, 0, 1},
      {"last sync in the future", now + 5, 3, {}, 0, 0, 1},
      // Another application may have stored any time.
      {"lowest stored time", std::numeric_limits<int64_t>::min(), 3, {}, 0, 0, 1},
      {"highest stored time", std::numeric_limits<int64_t>::max(), 3, {}, 0, 0, 1},
      {"stored time 0", 0, 3, {}, 0, 0, 1},
      {"negative stored time", -14400, 3, {}, 0, 0, 1},
      {"registered version changed", now, 2, {}, 0, 0, 7},
      {"new signed-in account", now, 3, {"acct"}, 0, 0, 5},
      {"serving version newer than snapshots", now, 3, {}, 9, 0, 4},
      {"serving version requested before", now - 99999, 3, {"acct"}, 9, 9, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(Shared("uncommitted/sync_metadata.pb").c_str());
    Register("p", 3);
    if (c.logged_out_time) {
      XVNSyncMetadata metadata;
      metadata.set_logged_out_sync_time_seconds(*c.logged_out_time);
      metadata.set_full_sync_time_seconds(*c.logged_out_time);
      YRXScope* scope = metadata.add_synced_scope();
      scope->set_config_package("p");
      scope->set_version_code(c.synced_version);
      metadata.set_last_requested_serving_version(c.last_requested);
      WriteMetadata(metadata);
    }
    std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts;
    for (const auto& id : c.accounts) accounts.push_back(std::make_shared<Account>(id));
    std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> after;
    if (c.serving_version > 0) {
      after = std::make_shared<ZQLMarovicSyncAfterConfiguration>("p", c.serving_version);
    }
    std::shared_ptr<NSError> error;
    EXPECT_EQ(Syncer(accounts, after)->fetchReason(&error), c.reason);
    EXPECT_EQ(error, nullptr);
  }
  // No reason, no request.
  RunResult run = Run(Syncer({}, std::make_shared<ZQLMarovicSyncAfterConfiguration>("p", 9)));
  EXPECT_FALSE(run.attempted);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(SyncerTest, FailedRequestsAreRecordedAndAMissingNetworkAbortsTheRun) {
  Register("p", 1);
  server_.Script(kZQLDunsfellServicePath, {500, "broken"});
  RunResult run =
      Run(Syncer({std::make_shared<Account>("a"), std::make_shared<Account>("b", false)}));
  EXPECT_TRUE(run.attempted);
  EXPECT_FALSE(run.aborted);
  ASSERT_NE(run.error, nullptr);
  EXPECT_EQ(run.error->code(), 500);
  ASSERT_EQ(run.info->single_sync_size(), 3);
  EXPECT_EQ(run.info->single_sync(0).server_status_code(), 500);
  EXPECT_EQ(run.info->single_sync(0).single_sync_error_type(), ZQLDunsfellSingleSync::UnknownError);
  EXPECT_EQ(run.info->single_sync(1).request_type(), ZQLDunsfellSingleSync::LoggedIn);
  // Without credentials the account's request is not made.
  EXPECT_EQ(run.info->single_sync(2).single_sync_error_type(),
            ZQLDunsfellSingleSync::AuthTokenInvalid);
  EXPECT_EQ(server_.Requests().size(), 2u);
  EXPECT_EQ(server_.Requests()[1].headers["authorization"], "Bearer x");
  // Not aborted: the run is recorded.
  EXPECT_TRUE(Exists(Shared("uncommitted/sync_metadata.pb")));

  unlink(Shared("uncommitted/sync_metadata.pb").c_str());
  platform::fetcher::ScriptErrors({NSURLErrorNotConnectedToInternet});
  run = Run(Syncer({std::make_shared<Account>("a")}));
  EXPECT_TRUE(run.attempted);
  EXPECT_TRUE(run.aborted);
  EXPECT_EQ(run.error->code(), NSURLErrorNotConnectedToInternet);
  ASSERT_EQ(run.info->single_sync_size(), 1);
  EXPECT_EQ(run.info->single_sync(0).single_sync_error_type(), ZQLDunsfellSingleSync::Network);
  EXPECT_FALSE(Exists(Shared("uncommitted/sync_metadata.pb")));
  EXPECT_FALSE(Exists(Shared("global/lock.pb")));  // released
}

TEST_F(SyncerTest, ALockBrokenDuringTheRunAbortsIt) {
  Register("p", 1);
  XVNBreakableLockData other;
  other.set_lock_uptime_milliseconds(123456);
  const std::string lock = Shared("global/lock.pb");
  server_.Script(kZQLDunsfellServicePath,
                 {200, YRXExperimentsAndConfigsResponse().SerializeAsString(), false,
                  [&] { Write(lock, other.SerializeAsString()); }});
  RunResult run = Run(Syncer());
  EXPECT_TRUE(run.attempted);
  EXPECT_TRUE(run.aborted);
  EXPECT_EQ(run.error->code(), ZQLMarovicErrorCodeLockHeldElsewhere);
  EXPECT_FALSE(Exists(Shared("uncommitted/sync_metadata.pb")));
  EXPECT_FALSE(Exists(Shared("uncommitted/logged_out/p.pb")));
  EXPECT_EQ(Read(lock), other.SerializeAsString());  // the new holder's file stays
}

TEST_F(SyncerTest, ALockStampedByAnotherProgramHoldsTheSyncOff) {
  Register("p", 1);
  Write(Shared("global/.keep"), "");
  // A current stamp (the manual clock's uptime is 7), written as raw bytes 08 07.
  const std::string command =
      "python3 -c \"open('" + Shared("global/lock.pb") + "', 'wb').write(bytes([0x08, 0x07]))\"";
  ASSERT_EQ(std::system(command.c_str()), 0);
  RunResult run = Run(Syncer());
  EXPECT_FALSE(run.attempted);
  EXPECT_EQ(run.error->code(), ZQLMarovicErrorCodeLockHeldElsewhere);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(SyncerTest, ServerAnswersOnlySomePackages) {
  Register("p", 1);
  Register("q", 1);
  Register("r", 1);
  // q and r hold an earlier answer and cross tokens from it.
  for (const std::string package : {"q", "r"}) {
    XVNConfigurationSnapshot old;
    old.set_snapshot_token("old-token");
    old.set_server_configuration_version(3);
    old.mutable_dunsfell_response()->set_experiment_token("old-" + package);
    XVNCrossExperimentTokens& stale = (*old.mutable_cross_tokens())["stale"];
    stale.set_from_config_package(package);
    stale.add_token()->set_experiment_token("STALE");
    Write(Shared("uncommitted/logged_out/" + package + ".pb"), old.SerializeAsString());
  }
  // The answer covers p only; one of its descriptors hands a token from q to p.
  YRXExperimentsAndConfigsResponse response;
  response.set_server_configuration_version(12);
  YRXApplicationResponse* app = response.add_application_response();
  app->mutable_scope()->set_config_package("p");
  app->mutable_scope()->set_version_code(1);
  YRXCrossAppDescriptor* cross = app->add_cross_app_descriptor();
  cross->mutable_from_scope()->set_config_package("q");
  cross->set_experiment_token("Q2P");
  cross->set_provenance(YRXCrossAppDescriptor::AlwaysCross);
  server_.Script(kZQLDunsfellServicePath, {200, response.SerializeAsString()});

  RunResult run = Run(Syncer());
  EXPECT_TRUE(run.attempted);
  EXPECT_EQ(run.error, nullptr);
  for (const std::string package : {"q", "r"}) {
    SCOPED_TRACE(package);
    std::shared_ptr<NSError> error;
    auto snapshot = ZQLSnapshot::uncommittedSnapshotForPackage(package, "", &error);
    ASSERT_NE(snapshot, nullptr);
    // The earlier answer stays; the rest of the snapshot is this run's.
    EXPECT_EQ(snapshot->dunsfell_response().experiment_token(), "old-" + package);
    EXPECT_NE(snapshot->snapshot_token(), "old-token");
    EXPECT_EQ(snapshot->server_configuration_version(), 12);
    EXPECT_EQ(snapshot->sync_time_seconds(), kNowSeconds);
    // Cross tokens are this answer's: q's token for p, nothing for r.
    EXPECT_EQ(snapshot->cross_tokens().count("stale"), 0u);
    if (package == "q") {
      ASSERT_EQ(snapshot->cross_tokens().size(), 1u);
      ASSERT_EQ(snapshot->cross_tokens().at("p").token_size(), 1);
      EXPECT_EQ(snapshot->cross_tokens().at("p").token(0).experiment_token(), "Q2P");
    } else {
      EXPECT_TRUE(snapshot->cross_tokens().empty());
    }
  }
}

TEST_F(SyncerTest, AnswersForPackagesThatAreNotFilesWriteNothing) {
  Register("p", 1);
  // A registration written by another program with a name that would leave the folder.
  XVNRegistrationData bad;
  bad.set_config_package("../escape");
  bad.set_version_code(1);
  Write(Shared("registration/bad.pb"), bad.SerializeAsString());
  YRXExperimentsAndConfigsResponse response;
  const std::string packages[] = {"../escape", "a/b", "..", "", std::string("n\0l", 3)};
  for (const std::string& package : packages) {
    YRXApplicationResponse* app = response.add_application_response();
    app->mutable_scope()->set_config_package(package);
    app->mutable_scope()->set_version_code(1);
  }
  server_.Script(kZQLDunsfellServicePath, {200, response.SerializeAsString()});
  RunResult run = Run(Syncer());
  EXPECT_TRUE(run.attempted);
  ASSERT_NE(run.error, nullptr);
  EXPECT_EQ(run.error->code(), ZQLMarovicErrorCodeFileError);
  EXPECT_TRUE(Exists(Shared("uncommitted/logged_out/p.pb")));
  EXPECT_FALSE(Exists(Shared("uncommitted/escape.pb")));
  EXPECT_EQ(
      *NSFileManager::defaultManager()->contentsOfDirectoryAtPath(Shared("uncommitted"), nullptr),
      (std::vector<std::string>{"logged_out", "sync_metadata.pb"}));
}

TEST(SyncMergeTest, PartitionsAreReplacedPatchedOrDeleted) {
  auto partition = [](int64_t id, YRXParamPartition::UpdateType type,
                      std::vector<YRXParam> params) {
    YRXParamPartition result;
    result.mutable_param_partition_tag()->set_id(id);
    result.set_update_type(type);
    for (auto& param : params) *result.add_param() = param;
    return result;
  };
  YRXParam gone = IntParam("b", 0);
  gone.set_deleted(true);
  YRXApplicationResponse old;
  old.set_tokens_tag("T");
  old.set_experiment_token("old-token");
  *old.add_param_partition() =
      partition(1, YRXParamPartition::Replace, {IntParam("a", 1), IntParam("b", 2)});
  *old.add_param_partition() = partition(2, YRXParamPartition::Replace, {IntParam("c", 3)});
  *old.add_param_partition() = partition(3, YRXParamPartition::Replace, {IntParam("d", 4)});
  YRXApplicationResponse update;
  *update.add_param_partition() = partition(1, YRXParamPartition::Patch, {gone, IntParam("a", 9)});
  *update.add_param_partition() = partition(2, YRXParamPartition::Delete, {});
  *update.add_param_partition() = partition(3, YRXParamPartition::Replace, {IntParam("e", 5)});

  YRXApplicationResponse merged = ZQLDunsfellSyncer::mergeResponse(old, update);
  // Without a tokens tag in the answer the old response's tokens stay.
  EXPECT_EQ(merged.experiment_token(), "old-token");
  ASSERT_EQ(merged.param_partition_size(), 2);
  EXPECT_EQ(merged.param_partition(0).param_size(), 1);
  EXPECT_EQ(merged.param_partition(0).param(0).name(), "a");
  EXPECT_EQ(merged.param_partition(0).param(0).int_value(), 9);
  EXPECT_FALSE(merged.param_partition(0).has_update_type());
  EXPECT_EQ(merged.param_partition(1).param(0).name(), "e");

  update.set_tokens_tag("U");
  EXPECT_EQ(ZQLDunsfellSyncer::mergeResponse(old, update).experiment_token(), "");
}

TEST_F(SyncerTest, TwoProcessesOneRequest) {
  Register("p", 1);
  server_.Script(kZQLDunsfellServicePath,
                 {200, YRXExperimentsAndConfigsResponse().SerializeAsString()});
  int barrier[2];
  ASSERT_EQ(pipe(barrier), 0);
  pid_t children[2];
  for (pid_t& child : children) {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(barrier[1]);
      std::string program = QM_SYNC_CHILD;
      std::string fd = std::to_string(barrier[0]);
      std::string root = folder_.Path("default");
      std::string sandbox = folder_.Path("sandbox");
      std::string base = server_.Base();
      execl(program.c_str(), program.c_str(), root.c_str(), sandbox.c_str(), base.c_str(),
            fd.c_str(), static_cast<char*>(nullptr));
      _exit(9);
    }
  }
  close(barrier[0]);
  close(barrier[1]);
  std::vector<int> codes;
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    codes.push_back(WEXITSTATUS(status));
  }
  // One process made the request; the other found the lock held, or (when it came later) no
  // sync due any more.
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ(codes[0], 0);
  EXPECT_NE(codes[1], 0);
  EXPECT_NE(codes[1], 9);
  EXPECT_EQ(server_.Requests().size(), 1u);
}

}  // namespace
