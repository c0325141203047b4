#include "face_sdk/logger.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "face_sdk/pseudonymous_id.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "experiment_flags/dunsfell_syncer.h"
#include "platform/fetcher/http_fetcher.h"
#include "platform/fetcher/recording_http_server_test_util.h"
#include "platform/foundation/system_log.h"
#include "platform/uikit/ui_application.h"
#include "usage_base/app_groups.h"
#include "usage_log/log_writer.h"

namespace {

using ::testing::SizeIs;

class QVXLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    // The flag store's shared files, for loggers made before the SDK's start-up moves them.
    platform::foundation::SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(),
                                               folder_.Path("group"));
    platform::foundation::SetWallClock([this] { return now_.load(); });
    // First-party loggers write to the library's default log directory, which needs a base.
    JQXTrassenLogger::setDefaultDirectory(NSURL::fileURLWithPath(folder_.Path("trassen"), true));
  }
  void TearDown() override {
    JQXTrassenLogger::setDefaultDirectory(nullptr);
    platform::foundation::SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(), "");
    platform::foundation::SetWallClock(nullptr);
    platform::foundation::SetSandboxRoot("");
  }

  std::string Caches() const {
    return platform::foundation::SandboxDirectory(NSCachesDirectory);
  }

  platform::foundation::ScopedTestFolder folder_;
  std::atomic<double> now_{1.5};
};

std::shared_ptr<JQXFakeTrassenLogger> Fake(const QVXLogger& logger) {
  return std::dynamic_pointer_cast<JQXFakeTrassenLogger>(logger.logger());
}

std::shared_ptr<QVXLOGOstrellLog> LostEvent() {
  auto event = std::make_shared<QVXLOGOstrellLog>();
  event->mutable_facemesh_faces_lost();
  return event;
}

TEST_F(QVXLoggerTest, UnixTimeNanosFromTheWallClock) {
  struct Case {
    double seconds;
    uint64_t nanos;
  };
  const Case cases[] = {
      {1.5, 1500000000ull},
      {0, 0},
      {1700000000.25, 1700000000250000000ull},
  };
  auto logger = QVXLogger::fakeThirdPartyLogger();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    now_ = c.seconds;
    EXPECT_EQ(logger->unixTimeNanos(), c.nanos);
    auto event = LostEvent();
    logger->logEvent(event);
    EXPECT_EQ(event->timestamp(), c.nanos);
  }
}

// What each kind of logger stamps into the event and asks of the library.
TEST_F(QVXLoggerTest, TheThreeKindsOfIdentity) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<QVXLogger>()> make;
    unsigned long type;
    bool pseudonymous;
    bool anonymous;
    std::string account;
  };
  const Case cases[] = {
      {"anonymous", QVXLogger::fakeThirdPartyLogger, 0, false, true, ""},
      {"pseudonymous", QVXLogger::fakeThirdPartyLoggerWithPseudonymousID, 1, true, true, ""},
      {"account", [] { return QVXLogger::fakeFirstPartyLogger("account-7"); }, 2, false, false,
       "account-7"},
      {"no account", [] { return QVXLogger::fakeFirstPartyLogger(std::nullopt); }, 2, false,
       false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto logger = c.make();
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->loggerIDType(), c.type);
    auto library = std::dynamic_pointer_cast<JQXFakeTrassenLogger>(logger->logger());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->logSource(), 700);
    EXPECT_EQ(library->obfuscatedHollinID(), c.account);
    EXPECT_EQ(logger->pseudonymousID().has_value(), c.pseudonymous);

    auto event = LostEvent();
    event->set_ios_pseudonymous_id("set by the caller");
    logger->logEvent(event);
    EXPECT_EQ(event->session_id(), logger->sessionId()->UUIDString());
    EXPECT_EQ(event->timestamp(), 1500000000u);
    if (c.pseudonymous) {
      EXPECT_EQ(event->ios_pseudonymous_id(), *logger->pseudonymousID());
      EXPECT_EQ(event->ios_pseudonymous_id(), QVXPseudonymousIDStore::loadPseudonymousID());
    } else {
      EXPECT_EQ(event->ios_pseudonymous_id(), "set by the caller");
    }

    auto logged = library->logEvents();
    ASSERT_THAT(logged, SizeIs(1));
    EXPECT_EQ(logged[0]->isAnonymousLog(), c.anonymous);
    EXPECT_EQ(logged[0]->obfuscatedHollinID(), c.anonymous ? "" : c.account);
    EXPECT_EQ(logged[0]->logSource(), 700);
    auto payload = std::dynamic_pointer_cast<const QVXLOGOstrellLog>(logged[0]->extension());
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->SerializeAsString(), event->SerializeAsString());
  }
}

TEST_F(QVXLoggerTest, LibraryLoggersAndDirectories) {
  auto third = QVXLogger::thirdPartyLogger();
  auto pseudonymous = QVXLogger::thirdPartyLoggerWithPseudonymousID();
  auto first = QVXLogger::firstPartyLogger("account-7");
  const std::string ostrell = Caches() + "/OstrellLogger";
  EXPECT_EQ(QVXLogger::logDirectory()->path(), ostrell);
  for (const auto& logger : {third, pseudonymous}) {
    ASSERT_NE(logger->logger(), nullptr);
    EXPECT_EQ(std::dynamic_pointer_cast<JQXFakeTrassenLogger>(logger->logger()), nullptr);
    EXPECT_EQ(logger->logger()->logDirectory()->path(), ostrell);
    EXPECT_EQ(logger->logger()->obfuscatedHollinID(), "");
  }
  EXPECT_EQ(third->loggerIDType(), 0u);
  EXPECT_EQ(pseudonymous->loggerIDType(), 1u);
  EXPECT_EQ(first->loggerIDType(), 2u);
  EXPECT_EQ(first->logger()->obfuscatedHollinID(), "account-7");

  // Every logger is a session of its own.
  std::set<std::string> sessions;
  for (const auto& logger : {third, pseudonymous, first}) {
    sessions.insert(logger->sessionId()->UUIDString());
  }
  EXPECT_THAT(sessions, SizeIs(3));

  // The real library writes the event into a log file below the face SDK's directory.
  JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();  // the main thread fills it
  third->logEvent(LostEvent());
  JQXLogWriter::sharedInstance()->flush();
  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(ostrell)) {
    if (entry.is_regular_file() && entry.path().filename() != "context") {
      logs.push_back(entry.path());
    }
  }
  ASSERT_THAT(logs, SizeIs(1));
  std::ifstream file(logs[0], std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  LogEvent record;
  ASSERT_GT(bytes.size(), 1u);
  ASSERT_EQ(static_cast<size_t>(bytes[0]), bytes.size() - 1);  // one record
  ASSERT_TRUE(record.ParseFromString(bytes.substr(1)));
  QVXLOGOstrellLog payload;
  ASSERT_TRUE(payload.ParseFromString(record.source_extension()));
  EXPECT_TRUE(payload.has_facemesh_faces_lost());
  EXPECT_EQ(payload.session_id(), third->sessionId()->UUIDString());
}

TEST_F(QVXLoggerTest, IncognitoAndNullEventsLogNothing) {
  auto incognito = QVXLogger::incognitoLogger();
  EXPECT_EQ(incognito->logger(), nullptr);
  EXPECT_EQ(incognito->loggerIDType(), 0u);
  EXPECT_EQ(incognito->pseudonymousID(), std::nullopt);
  incognito->logEvent(LostEvent());
  incognito->logEvent(nullptr);

  auto logger = QVXLogger::fakeThirdPartyLogger();
  logger->logEvent(nullptr);
  EXPECT_TRUE(Fake(*logger)->logEvents().empty());
}

// Without an identifier (its folder cannot be made) a pseudonymous logger's events carry none.
TEST_F(QVXLoggerTest, PseudonymousLoggerWithoutIdentifier) {
  const std::string support =
      platform::foundation::SandboxDirectory(NSApplicationSupportDirectory);
  ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(support, true, {}, nullptr));
  std::ofstream(support + "/Brenvik") << "in the way";
  platform::foundation::SystemLogCapture capture;  // the store reports the folder
  auto logger = QVXLogger::fakeThirdPartyLoggerWithPseudonymousID();
  EXPECT_EQ(logger->pseudonymousID(), std::nullopt);
  auto event = LostEvent();
  event->set_ios_pseudonymous_id("stale");
  logger->logEvent(event);
  EXPECT_EQ(event->ios_pseudonymous_id(), "");
  EXPECT_THAT(Fake(*logger)->logEvents(), SizeIs(1));
}

TEST_F(QVXLoggerTest, EventsFromManyThreads) {
  auto logger = QVXLogger::fakeThirdPartyLoggerWithPseudonymousID();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&logger] {
      for (int i = 0; i < 50; ++i) logger->logEvent(LostEvent());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_THAT(Fake(*logger)->logEvents(), SizeIs(200));
}

// The set-up runs once per process, so this is the only test that calls it.
TEST_F(QVXLoggerTest, SetUpOncePerProcess) {
  RecordingHttpServer server;
  LogResponse accepted;
  server.Script("/log/batch", {200, accepted.SerializeAsString()});
  // Both services the start-up may reach answer from the local server.
  platform::fetcher::SetHostMap(
      {{NSURL::URLWithString(JQXTrassenUploader::kDefaultServerURL)->host(), server.Base()},
       {kZQLDunsfellServiceHost, server.Base()}});
  const int64_t uploaders_before = JQXTrassenUploader::totalUploaderInstanceCount();
  QVXLogger::setUpForThirdPartyLogging();
  QVXLogger::setUpForThirdPartyLogging();
  auto manager = NSFileManager::defaultManager();
  bool is_directory = false;
  EXPECT_TRUE(manager->fileExistsAtPath(Caches() + "/OstrellLogger", &is_directory));
  EXPECT_TRUE(is_directory);
  EXPECT_EQ(ZQLMarovic::defaultDirectory()->path(), Caches() + "/ZQLMarovic");

  // One uploader, started, of the face SDK's own folder, which no other process shares (no
  // lock file): entering the background sends a finished log file there and deletes it.
  // The uploader is made and started off the calling thread: enter the background until it
  // has taken the file.
  JQXLogContext context;
  context.set_log_source(static_cast<LogRequest_LogSource>(kQVXLoggerLogSource));
  const std::string folder = Caches() + "/OstrellLogger/0/ctx";
  manager->createDirectoryAtPath(folder, true, {}, nullptr);
  std::ofstream(folder + "/context") << context.SerializeAsString();
  std::ofstream(folder + "/1700000000000") << std::string("\x02\x08\x01", 3);
  // The uploader's clock reads the wall clock: the real time, by which the file is recent.
  now_ = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  for (int i = 0; i < 500 && manager->fileExistsAtPath(folder + "/1700000000000"); ++i) {
    platform::uikit::MoveApplicationToState(UIApplicationStateBackground);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    platform::uikit::MoveApplicationToState(UIApplicationStateActive);
  }
  EXPECT_EQ(JQXTrassenUploader::totalUploaderInstanceCount(), uploaders_before + 1);
  platform::uikit::MoveApplicationToState(UIApplicationStateActive);
  platform::fetcher::SetHostMap({});
  EXPECT_FALSE(manager->fileExistsAtPath(folder + "/1700000000000"));
  int uploads = 0;
  for (const auto& request : server.Requests()) uploads += request.path == "/log/batch";
  EXPECT_EQ(uploads, 1);
  EXPECT_FALSE(manager->fileExistsAtPath(Caches() + "/OstrellLogger/uploader.lock"));

  // First-party loggers write to the library's default log directory, now below Caches.
  EXPECT_EQ(QVXLogger::firstPartyLogger(std::nullopt)->logger()->logDirectory()->path(),
            Caches() + "/JQXTrassenLogger/JQXTrassenLogger");
}

}  // namespace
