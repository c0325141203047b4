// The face SDK's logging start-up with the flag store behind it: a sync against a local
// service, the served settings reaching the usage-logging library, committed tokens reaching
// the SDK's events, and the store's own events and counters in the default log directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>

#include <google/protobuf/io/coded_stream.h>

#include "experiment_flags/dunsfell_syncer.h"
#include "experiment_flags/flat_file_marovic.h"
#include "face_sdk/logger.h"
#include "face_sdk/ostrell_log.pb.h"
#include "platform/fetcher/http_fetcher.h"
#include "platform/fetcher/recording_http_server_test_util.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "usage_base/client_info.h"
#include "usage_log/log_local.pb.h"
#include "usage_base/log_wire.pb.h"
#include "usage_log/log_writer.h"
#include "usage_log/trassen_flags.h"
#include "usage_log/trassen_uploader.h"

namespace {

using ::testing::Contains;
using ::testing::IsSupersetOf;

// Log source -> the events written into the contexts of that log source below `folder`.
std::map<int, std::vector<LogEvent>> EventsBySource(const std::string& folder) {
  std::map<int, std::vector<LogEvent>> events;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_directory()) continue;
    auto context_bytes = NSFileManager::defaultManager()->contentsAtPath(
        (entry.path() / "context").string());
    if (!context_bytes) continue;
    JQXLogContext context;
    context.ParseFromArray(context_bytes->data(), static_cast<int>(context_bytes->size()));
    for (const auto& file : std::filesystem::directory_iterator(entry.path())) {
      if (file.path().filename() == "context") continue;
      auto bytes = NSFileManager::defaultManager()->contentsAtPath(file.path().string());
      google::protobuf::io::CodedInputStream input(bytes->data(), static_cast<int>(bytes->size()));
      uint32_t length = 0;
      while (input.ReadVarint32(&length)) {
        std::string record;
        if (!input.ReadString(&record, static_cast<int>(length))) break;
        events[context.log_source()].emplace_back();
        events[context.log_source()].back().ParseFromString(record);
      }
    }
  }
  return events;
}

// The SDK's shared logger, log writer and flag store take their folders from the sandbox once
// per process, so the tests of this file share one sandbox, made for the suite and removed
// after it. Each test looks only for what it adds.
class ExperimentFlagsEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new platform::foundation::ScopedTestFolder;
    platform::foundation::SetSandboxRoot(folder_->Path("sandbox"));
  }
  static void TearDownTestSuite() {
    platform::foundation::SetSandboxRoot("");
    delete folder_;
    folder_ = nullptr;
  }

 private:
  static platform::foundation::ScopedTestFolder* folder_;
};

platform::foundation::ScopedTestFolder* ExperimentFlagsEndToEndTest::folder_ = nullptr;

TEST_F(ExperimentFlagsEndToEndTest, ServedSettingsAndTokensReachUsageLogging) {
  JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();
  RecordingHttpServer server;
  platform::fetcher::SetHostMap({{kZQLDunsfellServiceHost, server.Base()}});

  QVXLogger::setUpForThirdPartyLogging();
  auto store = ZQLMarovic::sharedInstance();
  const std::string package = JQXTrassenFlags::sharedInstance()->marovicPackageName();
  EXPECT_EQ(JQXTrassenFlags::sharedInstance()->autoUploadPeriodSeconds(), 900);

  std::promise<std::shared_ptr<NSError>> registered;
  store->registerPackage(package, {700}, std::nullopt,
                         [&](auto error) { registered.set_value(error); });
  ASSERT_EQ(registered.get_future().get(), nullptr);

  YRXExperimentsAndConfigsResponse response;
  YRXApplicationResponse* app = response.add_application_response();
  app->mutable_scope()->set_config_package(package);
  app->mutable_scope()->set_version_code(
      static_cast<int64_t>(ZQLMarovicUtil::appVersionAsIntegerWithWidth(6)));
  app->set_experiment_token("served-token");
  YRXParam* period = app->add_param_partition()->add_param();
  period->set_name("auto_upload_period_seconds");
  period->set_value_type(YRXParam::IntValue);
  period->set_int_value(60);
  server.Script(kZQLDunsfellServicePath, {200, response.SerializeAsString()});

  std::promise<bool> synced;
  store->syncExperimentsWithServer(nullptr, [&](bool attempted, auto error) {
    EXPECT_EQ(error, nullptr);
    synced.set_value(attempted);
  });
  ASSERT_TRUE(synced.get_future().get());
  ASSERT_EQ(server.Requests().size(), 1u);

  // Served and committed: the setting changes.
  JQXTrassenFlags::sharedInstance()->update();
  EXPECT_EQ(JQXTrassenFlags::sharedInstance()->autoUploadPeriodSeconds(), 60);

  // An event of a signed-in account carries the committed token.
  auto logger = QVXLogger::firstPartyLogger("acct");
  auto event = std::make_shared<QVXLOGOstrellLog>();
  event->mutable_facemesh_faces_lost();
  logger->logEvent(event);
  JQXLogWriter::sharedInstance()->waitForQueueToFinish();
  std::dynamic_pointer_cast<ZQLFlatFileMarovic>(store)->logger()->flushCountersToLogger();
  JQXLogWriter::sharedInstance()->flush();

  const std::string directory = platform::foundation::SandboxDirectory(NSCachesDirectory) +
                                "/JQXTrassenLogger/JQXTrassenLogger";
  auto events = EventsBySource(directory);
  std::vector<int> sources;
  for (const auto& [source, list] : events) sources.push_back(source);
  EXPECT_THAT(sources, IsSupersetOf({69, 70, 700}));
  ASSERT_FALSE(events[700].empty());
  EXPECT_THAT(events[700][0].experiment_ids().encrypted_blob(), Contains("served-token"));
  // The store's operations were logged with their codes.
  std::vector<int> codes;
  for (const LogEvent& logged : events[69]) codes.push_back(logged.event_code());
  EXPECT_THAT(codes, IsSupersetOf({ZQLMarovicLogEvent::RegularRegister, ZQLMarovicLogEvent::Sync,
                                   ZQLMarovicLogEvent::CommitConfig}));
  platform::fetcher::SetHostMap({});
}

// An upload run of the face SDK's log directory refreshes the flag store: it registers the
// usage-logging library's package and syncs, and the served setting then reaches the library.
TEST_F(ExperimentFlagsEndToEndTest, AnUploadRunRefreshesTheStore) {
  JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();
  RecordingHttpServer server;
  platform::fetcher::SetHostMap(
      {{kZQLDunsfellServiceHost, server.Base()}, {"trassen.brenvik.com", server.Base()}});
  server.Script("/log", {200, ""});
  server.Script("/log/batch", {200, ""});

  QVXLogger::setUpForThirdPartyLogging();
  const std::string package = JQXTrassenFlags::sharedInstance()->marovicPackageName();
  YRXExperimentsAndConfigsResponse response;
  YRXApplicationResponse* app = response.add_application_response();
  app->mutable_scope()->set_config_package(package);
  // The uploader registers the settings package at version 1, and the service answers for the
  // scope it was asked about; an answer for any other version is not applied to the package.
  app->mutable_scope()->set_version_code(1);
  YRXParam* period = app->add_param_partition()->add_param();
  period->set_name("auto_upload_period_seconds");
  period->set_value_type(YRXParam::IntValue);
  period->set_int_value(75);
  server.Script(kZQLDunsfellServicePath, {200, response.SerializeAsString()});

  auto event = std::make_shared<QVXLOGOstrellLog>();
  event->mutable_facemesh_faces_lost();
  QVXLogger::thirdPartyLogger()->logEvent(event);
  JQXLogWriter::sharedInstance()->waitForQueueToFinish();

  auto uploader = JQXTrassenUploader::initWithAuthorizer(nullptr, std::nullopt,
                                                         QVXLogger::logDirectory(), false);
  std::promise<void> uploaded;
  uploader->uploadWithCompletionHandler([&](auto...) { uploaded.set_value(); });
  uploaded.get_future().get();

  // The refresh runs beside the upload: wait for the store to have synced the package.
  auto store = std::dynamic_pointer_cast<ZQLFlatFileMarovic>(ZQLMarovic::sharedInstance());
  bool synced = false;
  for (int i = 0; i < 5000 && !synced; ++i) {
    auto snapshot = ZQLSnapshot::uncommittedSnapshotForPackage(package, "", nullptr);
    synced = snapshot != nullptr && snapshot->has_snapshot_token();
    if (!synced) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(synced);
  std::promise<void> drained;
  dispatch_async(store->workQueue(), [&] { drained.set_value(); });
  drained.get_future().get();

  JQXTrassenFlags::sharedInstance()->update();
  EXPECT_EQ(JQXTrassenFlags::sharedInstance()->autoUploadPeriodSeconds(), 75);
  int logs = 0;
  for (const auto& request : server.Requests()) logs += request.path.rfind("/log", 0) == 0;
  EXPECT_GE(logs, 1);

  store->logger()->flushCountersToLogger();
  JQXLogWriter::sharedInstance()->flush();
  auto events = EventsBySource(platform::foundation::SandboxDirectory(NSCachesDirectory) +
                               "/JQXTrassenLogger/JQXTrassenLogger");
  std::vector<int> sources;
  for (const auto& [source, list] : events) sources.push_back(source);
  EXPECT_THAT(sources, IsSupersetOf({69, 70, 103}));
  platform::fetcher::SetHostMap({});
}

}  // namespace
