// A fixture for uploader tests: a log directory in a fresh folder, a recording local server for
// both endpoints, settings the test sets, a manual clock standing at the real time (log files
// carry real creation times), a recording flag store and a fake meta-counter logger.
#ifndef USAGE_LOG_UPLOADER_TEST_UTIL_H_
#define USAGE_LOG_UPLOADER_TEST_UTIL_H_

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "experiment_flags/marovic_stub_test_util.h"
#include "gtest/gtest.h"
#include "platform/fetcher/recording_http_server_test_util.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/utility/gzip.h"
#include "experiment_flags/fake_flags_test_util.h"
#include "usage_log/log_writer.h"
#include "usage_base/manual_clock_test_util.h"
#include "usage_log/trassen_uploader.h"

// Settings with a server token and a count of updates.
class UploaderTestFlags : public FakeMarovicFlags {
 public:
  std::optional<std::string> serverToken() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return token_;
  }
  void setServerToken(std::optional<std::string> token) {
    std::lock_guard<std::mutex> lock(mutex_);
    token_ = std::move(token);
  }
  void update() override { ++updates; }
  std::atomic<int> updates{0};

 private:
  std::mutex mutex_;
  std::optional<std::string> token_;
};

// An empty store, recording registrations and syncs; a registration may be made to fail.
class RecordingMarovic : public ZQLMarovicStub {
 public:
  using ZQLMarovicStub::registerPackage;
  using ZQLMarovicStub::syncExperimentsWithServer;
  void syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService>,
                                 SyncCallback callback) override {
    ++syncs;
    callback(true, nullptr);
  }
  void registerPackage(const std::string& packageName, int64_t version,
                       const std::vector<int64_t>& logSources, const std::optional<std::string>&,
                       ErrorCallback callback) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      packages.push_back(packageName);
      versions.push_back(version);
      sources = logSources;
    }
    callback(registration_error);
  }
  std::mutex mutex;
  std::vector<std::string> packages;
  std::vector<int64_t> versions;
  std::vector<int64_t> sources;
  std::shared_ptr<NSError> registration_error;
  std::atomic<int> syncs{0};
};

struct UploadOutcome {
  bool success = false;
  std::shared_ptr<NSError> error;
};

class UploaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_->set(static_cast<int64_t>(NSDate::date()->timeIntervalSince1970() * 1000));
    flags_ = JQXTrassenFlags::initWithMarovicFlags(fake_);
    LogResponse empty;
    server_.Script("/log", {200, empty.SerializeAsString()});
    server_.Script("/log/batch", {200, empty.SerializeAsString()});
  }

  std::shared_ptr<JQXTrassenUploader> Make(
      std::shared_ptr<JQXUploaderLockProvider> lockProvider = std::make_shared<JQXNoOpLockProvider>(),
      std::shared_ptr<JQXLogRequestFilter> filter = nullptr,
      std::shared_ptr<JQXTrassenAuthorizer> authorizer = nullptr, std::string base = "") {
    if (base.empty()) base = server_.Base();
    return JQXTrassenUploader::initWithAuthorizer(
        std::move(authorizer), std::nullopt, dir_, NSURL::URLWithString(base + "/log"),
        NSURL::URLWithString(base + "/log/batch"), std::move(filter), ids_, clock_,
        std::move(lockProvider), flags_, marovic_, meta_);
  }

  static JQXLogContext Context(int64_t logSource, std::optional<int32_t> tier = std::nullopt) {
    JQXLogContext context;
    context.set_log_source(static_cast<LogRequest_LogSource>(logSource));
    if (tier.has_value()) context.set_qos_tier(*tier);
    return context;
  }

  // D/tier/name with its "context" file; the folder's path.
  std::string ContextFolder(const std::string& tier, const std::string& name,
                            const JQXLogContext& context) {
    std::string folder = dir_->path() + "/" + tier + "/" + name;
    NSFileManager::defaultManager()->createDirectoryAtPath(folder, true, {}, nullptr);
    std::ofstream(folder + "/context", std::ios::binary) << context.SerializeAsString();
    return folder;
  }

  // A log file; files written one after another get distinct creation milliseconds.
  static std::string WriteLog(const std::string& folder, const std::string& name,
                              const std::string& bytes) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
    return folder + "/" + name;
  }

  static bool Exists(const std::string& path) {
    return NSFileManager::defaultManager()->fileExistsAtPath(path);
  }

  static int64_t CreationMs(const std::string& path) {
    return JQXLogFile::initWithContext(nullptr, NSURL::fileURLWithPath(path))
        ->creationTimeMilliseconds();
  }

  static UploadOutcome Upload(const std::shared_ptr<JQXTrassenUploader>& uploader,
                              bool foreground = false) {
    std::promise<UploadOutcome> done;
    uploader->uploadWithCompletionHandler(
        [&done](bool success, std::shared_ptr<NSError> error) {
          done.set_value({success, std::move(error)});
        },
        foreground);
    return done.get_future().get();
  }

  std::unique_ptr<JQXUploaderState> State() const {
    return JQXTrassenFileUtility::uploaderStateInLogDirectory(*dir_);
  }

  void WriteState(const JQXUploaderState& state) {
    JQXTrassenFileUtility::ensureLogDirectory(dir_);
    std::ofstream(dir_->path() + "/state", std::ios::binary) << state.SerializeAsString();
  }

  // The request bodies `server` (by default the fixture's) received at `path`, gunzipped.
  std::vector<std::string> Bodies(const std::string& path,
                                  const RecordingHttpServer* server = nullptr) const {
    std::vector<std::string> bodies;
    for (const auto& request : (server ? server : &server_)->Requests()) {
      if (request.path != path) continue;
      auto plain = platform::utility::GunzipData(
          std::vector<uint8_t>(request.body.begin(), request.body.end()), nullptr);
      bodies.push_back(plain ? std::string(plain->begin(), plain->end()) : "<not gzip>");
    }
    return bodies;
  }

  platform::foundation::ScopedTestFolder folder_;
  std::shared_ptr<NSURL> dir_ = NSURL::fileURLWithPath(folder_.Path("D"), true);
  RecordingHttpServer server_;
  std::shared_ptr<UploaderTestFlags> fake_ = std::make_shared<UploaderTestFlags>();
  std::shared_ptr<JQXTrassenFlags> flags_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<RecordingMarovic> marovic_ = std::make_shared<RecordingMarovic>();
  std::shared_ptr<JQXFakeTrassenLogger> meta_ =
      JQXFakeTrassenLogger::initWithLogSource(103, "", NSURL::fileURLWithPath(folder_.Path("meta")));
  std::shared_ptr<ZRBPseudonymousIDStore> ids_ = ZRBPseudonymousIDStore::init();
};

#endif  // USAGE_LOG_UPLOADER_TEST_UTIL_H_
