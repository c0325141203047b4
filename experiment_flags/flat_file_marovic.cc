#include "experiment_flags/flat_file_marovic.h"

#include <sys/stat.h>

#include <algorithm>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/marovic_error.h"
#include "experiment_flags/zql_url.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/uikit/ui_application.h"
#include "platform/utility/base_logger.h"
#include "usage_base/log_source.pb.h"

namespace {

constexpr int64_t kModTimeRefreshMilliseconds = 10000;
constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

// The same bytes for equal messages, maps included.
std::string DeterministicBytes(const google::protobuf::MessageLite& message) {
  std::string bytes;
  {
    google::protobuf::io::StringOutputStream stream(&bytes);
    google::protobuf::io::CodedOutputStream coded(&stream);
    coded.SetSerializationDeterministic(true);
    message.SerializeToCodedStream(&coded);
  }
  return bytes;
}

bool IsStoreError(const std::shared_ptr<NSError>& error, long code) {
  return error != nullptr && error->domain() == kZQLMarovicErrorDomain && error->code() == code;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A background task ended at most once, by its owner or by its expiration.
class BackgroundTask {
 public:
  explicit BackgroundTask(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    identifier_ = UIApplication::sharedApplication()->beginBackgroundTaskWithName(
        name, [this] { end(); });
  }
  void end() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (identifier_ == UIBackgroundTaskInvalid) return;
    UIApplication::sharedApplication()->endBackgroundTask(identifier_);
    identifier_ = UIBackgroundTaskInvalid;
  }

 private:
  std::mutex mutex_;
  UIBackgroundTaskIdentifier identifier_ = UIBackgroundTaskInvalid;
};

}  // namespace

// --- Construction -----------------------------------------------------------------------------

ZQLFlatFileMarovic::ZQLFlatFileMarovic(std::shared_ptr<JQXClockProtocol> clock,
                                       std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
                                       std::shared_ptr<ZQLMarovicLoggerProtocol> logger)
    : work_queue_(dispatch_queue_create("ZQLFlatFileMarovic", DISPATCH_QUEUE_SERIAL)),
      completion_queue_(
          dispatch_queue_create("ZQLFlatFileMarovicCompletion", DISPATCH_QUEUE_CONCURRENT)),
      clock_(std::move(clock)),
      pseudonymous_id_store_(std::move(pseudonymousIDStore)),
      logger_(std::move(logger)) {}

std::shared_ptr<ZQLFlatFileMarovic> ZQLFlatFileMarovic::initWithClock(
    std::shared_ptr<JQXClockProtocol> clock,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
    std::shared_ptr<ZQLMarovicLoggerProtocol> logger, std::shared_ptr<ZQLMarovicFlagsProtocol> flags) {
  // Commits of a process killed midway leave hidden temporaries that nothing else removes.
  ZQLURL::removeStaleTemporaries();
  auto store = std::make_shared<ZQLFlatFileMarovic>(std::move(clock), pseudonymousIDStore,
                                                    std::move(logger));
  if (flags == nullptr) {
    flags = ZQLMarovicFlags::initWithPackageName(ZQLMarovicUtil::marovicPackageName(), "", store,
                                                 false, false);
  }
  store->flags_ = std::move(flags);
  if (store->logger_ != nullptr && store->logger_->flags() == nullptr) {
    store->logger_->setFlags(store->flags_);
  }
  if (pseudonymousIDStore != nullptr) pseudonymousIDStore->addObserver(store);
  return store;
}

std::shared_ptr<ZQLFlatFileMarovic> ZQLFlatFileMarovic::init() {
  auto clock = JQXSystemClock::systemClock();
  auto ids = ZRBPseudonymousIDStore::sharedInstance();
  // Usage logging's logger where it is linked; it reads the store's own flags, which the store
  // makes.
  auto logger = ZQLMarovicLoggerProtocol::loggerWithClock(clock, ids);
  return initWithClock(clock, ids, logger, nullptr);
}

// --- Reports ----------------------------------------------------------------------------------

std::shared_ptr<ZQLApplicationInfo> ZQLFlatFileMarovic::applicationInfoWithPackageName(
    const std::optional<std::string>& packageName, const std::optional<std::string>& user,
    const std::vector<int64_t>& logSources) {
  auto info = std::make_shared<ZQLApplicationInfo>();
  if (packageName) info->set_package_name(*packageName);
  if (user) info->set_user(*user);
  for (int64_t source : logSources) {
    if (source >= std::numeric_limits<int>::min() && source <= std::numeric_limits<int>::max() &&
        LogRequest_LogSource_IsValid(static_cast<int>(source))) {
      info->add_log_source(static_cast<LogRequest_LogSource>(source));
    }
  }
  return info;
}

std::shared_ptr<ZQLMarovicLogEvent> ZQLFlatFileMarovic::marovicLogEventWithApplicationInfo(
    const std::shared_ptr<ZQLApplicationInfo>& info, const std::shared_ptr<NSError>& error) {
  auto event = std::make_shared<ZQLMarovicLogEvent>();
  if (info != nullptr) *event->mutable_application_info() = *info;
  if (error != nullptr) {
    event->mutable_marovic_api_error_info()->set_exception(error->domain());
    event->mutable_marovic_api_error_info()->set_error_code(static_cast<int32_t>(error->code()));
  }
  return event;
}

void ZQLFlatFileMarovic::OnCompletionQueue(std::function<void()> block) {
  dispatch_async(completion_queue_, std::move(block));
}

void ZQLFlatFileMarovic::Report(std::shared_ptr<ZQLApplicationInfo> info,
                                std::shared_ptr<NSError> error, int32_t code,
                                std::function<void()> after) {
  auto self = shared_from_this();
  OnCompletionQueue([self, info, error, code, after] {
    if (self->logger_ != nullptr) {
      self->logger_->logOperationEventWithExtension(
          marovicLogEventWithApplicationInfo(info, error), code);
    }
    if (after) after();
  });
}

// --- Registration -----------------------------------------------------------------------------

std::shared_ptr<XVNLogSourceMapping> ZQLFlatFileMarovic::readLogSourceMappingWithError(
    std::shared_ptr<NSError>* error) {
  auto url = ZQLURL::localSubDirectory("log_sources", "all", error);
  if (url == nullptr) return nullptr;
  if (!ZQLURL::fileExists(*url)) return std::make_shared<XVNLogSourceMapping>();
  return ZQLSnapshot::readRecord<XVNLogSourceMapping>(*url, error);
}

bool ZQLFlatFileMarovic::WriteLogSourceMapping(const XVNLogSourceMapping& mapping,
                                               std::shared_ptr<NSError>* error) {
  if (!ZQLURL::writeDataToLocalDirectory(DeterministicBytes(mapping), "log_sources", "all",
                                         error)) {
    return false;
  }
  invalidateTokenCache();
  return true;
}

void ZQLFlatFileMarovic::registerPackage(const std::string& packageName, int64_t version,
                                         const std::vector<int64_t>& logSources,
                                         const std::optional<std::string>& params,
                                         ErrorCallback callback) {
  for (int64_t source : logSources) {
    NSAssert(source >= 1, "Must pass a valid log source enum");
  }
  auto self = shared_from_this();
  dispatch_async(work_queue_, [self, packageName, version, logSources, params, callback] {
    self->logger_->increaseCounterWithName("FlatFile-Register");
    auto info = applicationInfoWithPackageName(packageName, "", logSources);
    info->set_package_version(static_cast<int32_t>(version));
    auto finish = [&](std::shared_ptr<NSError> error) {
      self->Report(info, error, ZQLMarovicLogEvent::RegularRegister, [callback, error] {
        if (callback) callback(error);
      });
    };
    std::shared_ptr<NSError> error;
    auto mapping = self->readLogSourceMappingWithError(&error);
    if (mapping == nullptr) return finish(error);
    const std::string before = DeterministicBytes(*mapping);
    for (auto& [source, entry] : *mapping->mutable_entry()) {
      auto* packages = entry.mutable_config_package();
      packages->erase(std::remove(packages->begin(), packages->end(), packageName),
                      packages->end());
    }
    for (int64_t source : logSources) {
      if (source < 1 || source > std::numeric_limits<int32_t>::max()) continue;
      (*mapping->mutable_entry())[static_cast<int32_t>(source)].add_config_package(packageName);
    }
    if (DeterministicBytes(*mapping) != before && !self->WriteLogSourceMapping(*mapping, &error)) {
      return finish(error);
    }
    XVNRegistrationData registration;
    registration.set_config_package(packageName);
    registration.set_version_code(version);
    if (params) registration.set_application_properties(*params);
    registration.set_bundle_id(NSBundle::mainBundle()->bundleIdentifier());
    ZQLURL::writeDataToSharedDirectory(registration.SerializeAsString(), "registration",
                                       packageName, &error);
    finish(error);
  });
}

void ZQLFlatFileMarovic::registerPackage(const std::string& packageName,
                                         const std::vector<int64_t>& logSources,
                                         const std::optional<std::string>& params,
                                         ErrorCallback callback) {
  registerPackage(packageName,
                  static_cast<int64_t>(ZQLMarovicUtil::appVersionAsIntegerWithWidth(6)),
                  logSources, params, std::move(callback));
}

void ZQLFlatFileMarovic::registerMarovic() {
  if (own_registration_done_.exchange(true)) return;
  registerPackage(ZQLMarovicUtil::marovicPackageName(), 1, {kZQLMarovicOperationLogSource},
                  std::nullopt, nullptr);
}

bool ZQLFlatFileMarovic::packageRegistered(const std::string& packageName,
                                           std::shared_ptr<NSError>* error) {
  auto url = ZQLURL::sharedSubDirectoryWithName("registration", packageName, error);
  return url != nullptr && ZQLURL::fileExists(*url);
}

void ZQLFlatFileMarovic::unregisterPackage(const std::string& packageName,
                                           ErrorCallback callback) {
  auto self = shared_from_this();
  dispatch_async(work_queue_, [self, packageName, callback] {
    self->logger_->increaseCounterWithName("FlatFile-Unregister");
    auto finish = [&](std::shared_ptr<NSError> error) {
      self->Report(applicationInfoWithPackageName(packageName, "", {}), error,
                   ZQLMarovicLogEvent::Unregister, [callback, error] {
                     if (callback) callback(error);
                   });
    };
    std::shared_ptr<NSError> error;
    auto url = ZQLURL::sharedSubDirectoryWithName("registration", packageName, &error);
    if (url == nullptr) return finish(error);
    if (!ZQLURL::fileExists(*url)) {
      ZQLMarovicError::error(&error, ZQLMarovicErrorCodeNotRegistered);
      return finish(error);
    }
    if (!NSFileManager::defaultManager()->removeItemAtURL(*url, &error)) {
      ZQLMarovicError::fileError(&error);
      return finish(error);
    }
    self->invalidateTokenCache();
    std::shared_ptr<NSError> last;
    std::shared_ptr<NSError> step;
    if (!self->removeUncommittedSnapshotsForPackage(packageName, &step)) last = step;
    step = nullptr;
    if (!self->removeCommittedSnapshotsForPackage(packageName, &step)) last = step;
    step = nullptr;
    if (!self->removeCommittedCrossTokensForPackage(packageName, &step)) last = step;
    finish(last);
  });
}

bool ZQLFlatFileMarovic::removeUncommittedSnapshotsForPackage(const std::string& package,
                                                              std::shared_ptr<NSError>* error) {
  auto folder = ZQLURL::sharedSubDirectoryWithName("uncommitted", error);
  if (folder == nullptr) return false;
  auto manager = NSFileManager::defaultManager();
  std::shared_ptr<NSError> cause;
  auto entries =
      manager->contentsOfDirectoryAtURL(*folder, NSDirectoryEnumerationSkipsHiddenFiles, &cause);
  if (!entries.has_value()) {
    if (error != nullptr) *error = cause;
    return ZQLMarovicError::fileError(error);
  }
  if (!ZQLURL::isSafeFileName(package)) return true;
  for (const auto& entry : *entries) {
    manager->removeItemAtPath(entry->path() + "/" + package + ".pb", nullptr);
  }
  return true;
}

bool ZQLFlatFileMarovic::removeCommittedSnapshotsForPackage(const std::string& package,
                                                            std::shared_ptr<NSError>* error) {
  auto manager = NSFileManager::defaultManager();
  auto local = ZQLURL::localSubDirectory("committed", error);
  if (local == nullptr) return false;
  auto shared = ZQLURL::sharedSubDirectoryWithName("committed", error);
  if (shared == nullptr) return false;
  if (!ZQLMarovicUtil::isMultiCommitPackage(package)) {
    if (ZQLURL::isSafeFileName(package)) {
      manager->removeItemAtPath(local->path() + "/" + package + ".pb", nullptr);
      manager->removeItemAtPath(shared->path() + "/" + package + ".pb", nullptr);
    }
    return true;
  }
  for (const auto& folder : {local, shared}) {
    std::shared_ptr<NSError> cause;
    auto entries =
        manager->contentsOfDirectoryAtURL(*folder, NSDirectoryEnumerationSkipsHiddenFiles, &cause);
    if (!entries.has_value()) {
      if (error != nullptr) *error = cause;
      return ZQLMarovicError::fileError(error);
    }
    for (const auto& entry : *entries) {
      if (StartsWith(entry->lastPathComponent(), package + "-")) {
        manager->removeItemAtURL(*entry, nullptr);
      }
    }
  }
  return true;
}

bool ZQLFlatFileMarovic::removeCommittedCrossTokensForPackage(const std::string& package,
                                                              std::shared_ptr<NSError>* error) {
  auto folder = ZQLURL::sharedSubDirectoryWithName("cross", error);
  if (folder == nullptr) return false;
  for (const auto& file : ZQLURL::protoFilesAtURL(*folder, nullptr)) {
    const std::string name = file->lastPathComponent();
    if (StartsWith(name, package + "-") || EndsWith(name, "-" + package + ".pb")) {
      NSFileManager::defaultManager()->removeItemAtURL(*file, nullptr);
    }
  }
  return true;
}

// --- Sync -------------------------------------------------------------------------------------

void ZQLFlatFileMarovic::syncExperimentsWithServer(
    std::shared_ptr<ZQLMarovicAccountService> accounts, SyncCallback callback) {
  syncExperimentsWithServer(std::move(accounts), nullptr, std::move(callback));
}

void ZQLFlatFileMarovic::syncExperimentsWithServer(
    std::shared_ptr<ZQLMarovicAccountService> accounts,
    std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> syncAfterConfiguration,
    SyncCallback callback) {
  registerMarovic();
  std::shared_ptr<NSURL> url;
  if (auto text = overrideServerURL(); text && !text->empty()) url = NSURL::URLWithString(*text);
  auto syncer = ZQLDunsfellSyncer::initWithAccounts(
      accounts ? accounts->ZQLAccounts() : std::vector<std::shared_ptr<ZQLMarovicAccount>>{},
      url, url != nullptr, clock_, pseudonymous_id_store_, std::move(syncAfterConfiguration),
      debugForceSyncs(), work_queue_);
  auto task = std::make_shared<BackgroundTask>("ZQLFlatFileMarovic-sync");
  auto self = shared_from_this();
  SyncCallback completion = [self, callback, task](bool attempted, std::shared_ptr<NSError> error) {
    self->OnCompletionQueue([self, callback, task, attempted, error] {
      if (attempted && error == nullptr && self->flags_ != nullptr) self->flags_->update();
      if (callback) callback(attempted, error);
      task->end();
    });
  };
  dispatch_async(work_queue_, [self, syncer, completion] {
    self->logger_->increaseCounterWithName("FlatFile-Sync");
    self->pending_sync_tasks_.push_back({syncer, completion});
    if (self->pending_sync_tasks_.size() == 1) self->syncNextSyncTask();
  });
}

void ZQLFlatFileMarovic::syncNextSyncTask() {
  const int64_t start = clock_->currentTimeMilliseconds();
  auto self = shared_from_this();
  SyncTask task = pending_sync_tasks_.front();
  task.syncer->syncWithCallback([self, start, task](bool attempted, std::shared_ptr<NSError> error,
                                                    bool aborted,
                                                    std::shared_ptr<ZQLDunsfellSyncInfo> info) {
    const int64_t elapsed = self->clock_->currentTimeMilliseconds() - start;
    if (info != nullptr) {
      info->set_sync_latency_ms(static_cast<int32_t>(
          std::clamp<int64_t>(elapsed, 0, std::numeric_limits<int32_t>::max())));
    }
    const char* outcome = !attempted ? "FlatFile-Sync-NoAttempt"
                          : aborted  ? "FlatFile-Sync-Aborted"
                          : error    ? "FlatFile-Sync-Error"
                                     : "FlatFile-Sync-Success";
    self->logger_->increaseCounterWithName(outcome, elapsed, 1);
    auto event = marovicLogEventWithApplicationInfo(nullptr, error);
    if (info != nullptr) *event->mutable_dunsfell_sync_info() = *info;
    self->OnCompletionQueue([self, event] {
      self->logger_->logOperationEventWithExtension(event, ZQLMarovicLogEvent::Sync);
    });
    task.callback(attempted, error);
    self->pending_sync_tasks_.pop_front();
    if (!self->pending_sync_tasks_.empty()) {
      dispatch_async(self->work_queue_, [self] { self->syncNextSyncTask(); });
    }
  });
}

// --- Commit, peek, committed configurations ---------------------------------------------------

void ZQLFlatFileMarovic::commitConfiguration(const std::string& packageName,
                                             const std::string& user,
                                             const std::optional<std::string>&,
                                             Committer committer) {
  auto self = shared_from_this();
  dispatch_async(work_queue_, [self, packageName, user, committer] {
    self->logger_->increaseCounterWithName("FlatFile-Commit");
    const std::string name = ZQLSnapshot::committedFileName(packageName, user);
    auto info = applicationInfoWithPackageName(packageName, user, {});
    auto fail = [&](std::shared_ptr<NSError> error) {
      self->OnCompletionQueue([committer, error] {
        if (committer) committer(nullptr, error);
      });
      self->Report(info, error, ZQLMarovicLogEvent::CommitConfig);
    };
    std::shared_ptr<NSError> error;
    auto snapshot = ZQLSnapshot::uncommittedSnapshotForPackage(packageName, user, &error);
    if (snapshot == nullptr) return fail(error);
    auto config = ZQLSnapshot::snapshotToConfiguration(*snapshot);
    self->invalidateTokenCache();
    const std::string bytes = snapshot->SerializeAsString();
    if (!ZQLURL::writeDataToLocalDirectory(bytes, "committed", name, &error)) {
      platform::utility::LogError(
          "ZQLFlatFileMarovic::commitConfiguration",
          "Marovic failed to write committed snapshot to local directory: %@", {error});
      return fail(error);
    }
    std::shared_ptr<NSError> last_error;
    if (!ZQLURL::writeDataToSharedDirectory(bytes, "committed", name, &error)) {
      platform::utility::LogError(
          "ZQLFlatFileMarovic::commitConfiguration",
          "Marovic failed to write committed snapshot to shared directory: %@", {error});
      last_error = error;
    }
    if (!ZQLMarovicUtil::isMultiCommitPackage(packageName)) {
      self->CommitCrossTokens(packageName, *snapshot, &last_error);
    }
    self->notifyCommitObserversForPackage(packageName, config);
    self->Report(info, last_error, ZQLMarovicLogEvent::CommitConfig);
    self->OnCompletionQueue([committer, config] {
      if (committer && !committer(config, nullptr)) {
        platform::utility::LogError("ZQLFlatFileMarovic::commitConfiguration",
                                    "Marovic committer failed to commit");
      }
    });
  });
}

void ZQLFlatFileMarovic::CommitCrossTokens(const std::string& package,
                                           const XVNConfigurationSnapshot& snapshot,
                                           std::shared_ptr<NSError>* lastError) {
  std::vector<std::string> written;
  std::map<std::string, const XVNCrossExperimentTokens*> ordered;
  for (const auto& [to, tokens] : snapshot.cross_tokens()) ordered[to] = &tokens;
  for (const auto& [to, tokens] : ordered) {
    std::shared_ptr<NSError> error;
    // A receiving package from the server that could not name a file is skipped.
    if (!ZQLURL::isSafeFileName(to)) {
      error = NSError::errorWithDomain(NSPOSIXErrorDomain, EINVAL);
      ZQLMarovicError::fileError(&error);
    } else if (ZQLURL::writeDataToSharedDirectory(tokens->SerializeAsString(), "cross",
                                                  to + "-" + package, &error)) {
      written.push_back(to + "-" + package + ".pb");
      continue;
    }
    platform::utility::LogError("ZQLFlatFileMarovic::commitConfiguration",
                                "Marovic failed to write cross experiment tokens: %@", {error});
    *lastError = error;
  }
  for (const auto& file : ZQLURL::crossExperimentTokenURLsWithError(nullptr)) {
    const std::string name = file->lastPathComponent();
    if (!EndsWith(name, "-" + package + ".pb") ||
        std::find(written.begin(), written.end(), name) != written.end()) {
      continue;
    }
    std::shared_ptr<NSError> error;
    if (!NSFileManager::defaultManager()->removeItemAtURL(*file, &error)) {
      platform::utility::LogError("ZQLFlatFileMarovic::commitConfiguration",
                                  "Marovic failed to delete cross experiment tokens: %@", {error});
      *lastError = error;
    }
  }
}

void ZQLFlatFileMarovic::notifyCommitObserversForPackage(
    const std::string& package, const std::shared_ptr<ZQLMarovicConfiguration>& config) {
  auto self = shared_from_this();
  OnCompletionQueue([self, package, config] {
    std::vector<std::weak_ptr<ZQLCommitObserver>> observers;
    {
      std::lock_guard<std::mutex> lock(self->observers_mutex_);
      observers = self->commit_observers_;
    }
    for (const auto& held : observers) {
      if (auto observer = held.lock()) observer->didCommitWithMarovic(self, package, config);
    }
  });
}

void ZQLFlatFileMarovic::peekConfiguration(const std::string& packageName,
                                           const std::string& user,
                                           const std::optional<std::string>&,
                                           ConfigurationCallback callback) {
  auto self = shared_from_this();
  dispatch_async(work_queue_, [self, packageName, user, callback] {
    self->logger_->increaseCounterWithName("FlatFile-Peek");
    std::shared_ptr<NSError> error;
    auto snapshot = ZQLSnapshot::uncommittedSnapshotForPackage(packageName, user, &error);
    self->Report(applicationInfoWithPackageName(packageName, user, {}), error,
                 ZQLMarovicLogEvent::PeekConfig);
    if (!callback) return;
    if (snapshot == nullptr) return callback(nullptr, error);
    callback(ZQLSnapshot::snapshotToConfiguration(*snapshot), nullptr);
  });
}

void ZQLFlatFileMarovic::committedConfiguration(const std::string& packageName,
                                                const std::string& user,
                                                ConfigurationCallback callback) {
  NSAssert(ZQLMarovicUtil::isMultiCommitPackage(packageName),
           "Can only call this API for multi-commit packages.");
  committedConfigurationForPackage(packageName, user, std::move(callback));
}

void ZQLFlatFileMarovic::committedConfiguration(const std::string& packageName,
                                                ConfigurationCallback callback) {
  NSAssert(!ZQLMarovicUtil::isMultiCommitPackage(packageName),
           "Can only call this API for single-commit packages.");
  committedConfigurationForPackage(packageName, std::nullopt, std::move(callback));
}

void ZQLFlatFileMarovic::committedConfigurationForPackage(const std::string& packageName,
                                                          const std::optional<std::string>& user,
                                                          ConfigurationCallback callback) {
  auto self = shared_from_this();
  dispatch_async(work_queue_, [self, packageName, user, callback] {
    self->logger_->increaseCounterWithName("FlatFile-CommittedConfiguration");
    self->logger_->increaseCounterWithName(user ? "FlatFile-CommittedConfiguration-MultiCommit"
                                                : "FlatFile-CommittedConfiguration-SingleCommit");
    std::shared_ptr<NSError> error;
    auto snapshot = ZQLSnapshot::committedSnapshotForPackage(packageName, user, &error);
    // The report has a block of its own: it may wait for the flags this answer loads.
    self->Report(applicationInfoWithPackageName(packageName, user, {}), error,
                 ZQLMarovicLogEvent::GetCommittedConfiguration);
    self->OnCompletionQueue([callback, snapshot, error] {
      if (!callback) return;
      if (snapshot == nullptr) return callback(nullptr, error);
      callback(ZQLSnapshot::snapshotToConfiguration(*snapshot), nullptr);
    });
  });
}

// --- Observers and properties -----------------------------------------------------------------

void ZQLFlatFileMarovic::addCommitObserver(const std::shared_ptr<ZQLCommitObserver>& observer) {
  if (observer == nullptr) return;
  std::lock_guard<std::mutex> lock(observers_mutex_);
  for (const auto& held : commit_observers_) {
    if (held.lock() == observer) return;
  }
  commit_observers_.push_back(observer);
}

void ZQLFlatFileMarovic::removeCommitObserver(const std::shared_ptr<ZQLCommitObserver>& observer) {
  std::lock_guard<std::mutex> lock(observers_mutex_);
  std::erase_if(commit_observers_, [&observer](const std::weak_ptr<ZQLCommitObserver>& held) {
    auto strong = held.lock();
    return strong == nullptr || strong == observer;
  });
}

std::optional<std::string> ZQLFlatFileMarovic::overrideServerURL() const {
  std::lock_guard<std::mutex> lock(properties_mutex_);
  return override_server_url_;
}

void ZQLFlatFileMarovic::setOverrideServerURL(std::optional<std::string> value) {
  std::lock_guard<std::mutex> lock(properties_mutex_);
  override_server_url_ = std::move(value);
}

void ZQLFlatFileMarovic::pseudonymousIDDidReset(const std::shared_ptr<ZRBPseudonymousIDStore>&) {
  auto self = shared_from_this();
  dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), [self] {
    self->logger_->increaseCounterWithName("ResetPseudonymousID");
    self->logger_->flushCountersToLogger();
  });
}

// --- Experiment tokens ------------------------------------------------------------------------

int64_t ZQLFlatFileMarovic::crossDirectoryModificationTimeMilliseconds() {
  std::lock_guard<std::mutex> lock(cached_mod_time_data_.mutex);
  const int64_t now = clock_->currentTimeMilliseconds();
  if (now - cached_mod_time_data_.lastTimeModTimeWasUpdated < kModTimeRefreshMilliseconds) {
    return cached_mod_time_data_.lastModTime;
  }
  auto folder = ZQLURL::sharedSubDirectoryWithName("cross", nullptr);
  if (folder == nullptr) return kNoTime;
  ++cross_folder_stats_;
  struct stat status {};
  if (::stat(folder->path().c_str(), &status) != 0) return kNoTime;
  const int64_t result = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000 +
                         status.st_mtim.tv_nsec / 1000000;
  cached_mod_time_data_.lastModTime = result;
  cached_mod_time_data_.lastTimeModTimeWasUpdated = clock_->currentTimeMilliseconds();
  return result;
}

std::shared_ptr<ZQLMarovicExperimentTokens> ZQLFlatFileMarovic::cachedTokensForKey(
    const std::string& key, int64_t modificationTime) {
  if (modificationTime <= 0) return nullptr;
  std::lock_guard<std::mutex> lock(token_cache_mutex_);
  if (cache_time_ <= 0) return nullptr;
  if (modificationTime == cache_time_) {
    auto it = token_cache_.find(key);
    return it == token_cache_.end() ? nullptr : it->second;
  }
  token_cache_.clear();
  cache_time_ = kNoTime;
  return nullptr;
}

void ZQLFlatFileMarovic::setCachedTokens(const std::shared_ptr<ZQLMarovicExperimentTokens>& tokens,
                                         const std::string& key, int64_t modificationTime) {
  if (modificationTime <= 0) return;
  std::lock_guard<std::mutex> lock(token_cache_mutex_);
  if (modificationTime != cache_time_) token_cache_.clear();
  token_cache_[key] = tokens;
  cache_time_ = modificationTime;
}

void ZQLFlatFileMarovic::invalidateTokenCache() {
  std::lock_guard<std::mutex> lock(token_cache_mutex_);
  token_cache_.clear();
  cache_time_ = kNoTime;
}

void ZQLFlatFileMarovic::addCrossTokens(ZQLMarovicExperimentTokens::CrossTokens& cross,
                                        const NSURL& url) {
  std::shared_ptr<NSError> error;
  auto bytes = ZQLURL::readFile(url, &error);
  if (!bytes.has_value()) {
    platform::utility::LogError("ZQLFlatFileMarovic::addCrossTokens",
                                "Failed to read cross experiment token file: %@", {error});
    return;
  }
  XVNCrossExperimentTokens tokens;
  if (!tokens.ParseFromString(*bytes)) {
    platform::utility::LogError("ZQLFlatFileMarovic::addCrossTokens",
                                "Failed to parse cross experiment token file: %@",
                                {ZQLSnapshot::parseError(url)});
    return;
  }
  for (const XVNCrossExperimentToken& token : tokens.token()) {
    if (token.provenance() == YRXCrossAppDescriptor::Unknown) continue;
    cross[static_cast<int64_t>(token.provenance()) - 1].push_back(token.experiment_token());
  }
}

void ZQLFlatFileMarovic::experimentTokens(int64_t logSource, TokensCallback callback) {
  experimentTokens(logSource, "", std::move(callback));
}

void ZQLFlatFileMarovic::experimentTokens(int64_t logSource, const std::string& user,
                                          TokensCallback callback) {
  const std::string key = std::to_string(logSource) + ":" + user;
  auto info = applicationInfoWithPackageName("", user, {logSource});
  if (auto cached = cachedTokensForKey(key, crossDirectoryModificationTimeMilliseconds())) {
    Report(info, nullptr, ZQLMarovicLogEvent::ExperimentToken,
           [callback, cached] { callback(cached, nullptr); });
    return;
  }
  auto self = shared_from_this();
  dispatch_async(work_queue_, [self, logSource, user, key, callback] {
    self->LookUpTokens(logSource, user, key, callback);
  });
}

void ZQLFlatFileMarovic::LookUpTokens(int64_t logSource, const std::string& user,
                                      const std::string& key, TokensCallback callback) {
  ++token_lookups_on_work_queue_;
  logger_->increaseCounterWithName("FlatFile-ExperimentTokens");
  auto info = applicationInfoWithPackageName("", user, {logSource});
  auto answer = [&](std::shared_ptr<ZQLMarovicExperimentTokens> tokens,
                    std::shared_ptr<NSError> error) {
    Report(info, error, ZQLMarovicLogEvent::ExperimentToken,
           [callback, tokens, error] { callback(tokens, error); });
  };
  const int64_t time = crossDirectoryModificationTimeMilliseconds();
  if (auto cached = cachedTokensForKey(key, time)) return answer(cached, nullptr);

  std::shared_ptr<NSError> error;
  auto mapping = readLogSourceMappingWithError(&error);
  if (mapping == nullptr) return answer(nullptr, error);
  static const XVNLogSourceMapping_Entry kNoEntry;
  const XVNLogSourceMapping_Entry* entry = &kNoEntry;
  if (logSource >= std::numeric_limits<int32_t>::min() &&
      logSource <= std::numeric_limits<int32_t>::max()) {
    auto it = mapping->entry().find(static_cast<int32_t>(logSource));
    if (it != mapping->entry().end()) entry = &it->second;
  }

  ZQLMarovicExperimentTokens::Tokens tokens;
  std::optional<std::string> token_user;
  for (const std::string& package : entry->config_package()) {
    std::shared_ptr<NSError> read_error;
    auto snapshot = ZQLSnapshot::committedSnapshotForPackage(package, user, &read_error);
    if (snapshot == nullptr) {
      if (IsStoreError(read_error, ZQLMarovicErrorCodeNotCommitted)) continue;
      return answer(nullptr, read_error);
    }
    if (!token_user.has_value()) {
      token_user = snapshot->obfuscated_hollin_id();
    } else if (*token_user != snapshot->obfuscated_hollin_id()) {
      token_user = "";
    }
    const std::string& token = snapshot->dunsfell_response().experiment_token();
    if (!token.empty()) tokens.push_back(token);
  }

  // Clear blobs join in namespace order, so equal mappings give equal records.
  std::map<std::string, const YRXExperimentIds*> externals;
  for (const auto& [name, ids] : entry->external_experiment_ids()) externals[name] = &ids;
  auto external = std::make_shared<YRXExperimentIds>();
  external->set_clear_blob("");
  for (const auto& [name, ids] : externals) {
    if (ids->has_clear_blob()) external->mutable_clear_blob()->append(ids->clear_blob());
  }

  ZQLMarovicExperimentTokens::CrossTokens cross;
  for (const auto& file : ZQLURL::crossExperimentTokenURLsWithError(nullptr)) {
    const std::string name = file->lastPathComponent();
    for (const std::string& package : entry->config_package()) {
      if (StartsWith(name, package + "-")) {
        addCrossTokens(cross, *file);
        break;
      }
    }
  }
  auto result = ZQLMarovicExperimentTokens::initWithUser(token_user.value_or(user),
                                                         std::move(tokens), std::move(cross),
                                                         external);
  setCachedTokens(result, key, time);
  answer(result, nullptr);
}

void ZQLFlatFileMarovic::experimentTokensForCurrentBundleWithCallback(TokensCallback callback) {
  auto self = shared_from_this();
  dispatch_async(work_queue_, [self, callback] {
    self->logger_->increaseCounterWithName("FlatFile-ExperimentTokensForBundleID");
    auto answer = [&](std::shared_ptr<ZQLMarovicExperimentTokens> tokens,
                      std::shared_ptr<NSError> error) {
      self->Report(nullptr, error, ZQLMarovicLogEvent::ExperimentToken,
                   [callback, tokens, error] { callback(tokens, error); });
    };
    std::shared_ptr<NSError> error;
    if (ZQLURL::localSubDirectory("committed", &error) == nullptr) return answer(nullptr, error);
    ZQLMarovicExperimentTokens::Tokens tokens;
    for (const auto& file : ZQLURL::localCommittedURLsWithError(nullptr)) {
      auto bytes = ZQLURL::readFile(*file, &error);
      if (!bytes.has_value()) return answer(nullptr, error);
      // An empty file is a record cut short, not an empty snapshot.
      if (bytes->empty()) {
        ZQLMarovicError::fileError(&error);
        return answer(nullptr, error);
      }
      XVNConfigurationSnapshot snapshot;
      if (!snapshot.ParseFromString(*bytes)) return answer(nullptr, ZQLSnapshot::parseError(*file));
      if (!snapshot.dunsfell_response().experiment_token().empty()) {
        tokens.push_back(snapshot.dunsfell_response().experiment_token());
      }
    }

    ZQLMarovicExperimentTokens::CrossTokens cross;
    std::shared_ptr<NSError> registration_error;
    auto registrations = ZQLURL::registrationURLsWithError(&registration_error);
    if (!IsStoreError(registration_error, ZQLMarovicErrorCodeNoDefaultDirectory)) {
      std::vector<std::string> packages;
      const std::string bundle = NSBundle::mainBundle()->bundleIdentifier();
      for (const auto& file : registrations) {
        auto bytes = ZQLURL::readFile(*file, nullptr);
        XVNRegistrationData registration;
        if (bytes && !bytes->empty() && registration.ParseFromString(*bytes) &&
            registration.bundle_id() == bundle) {
          packages.push_back(registration.config_package());
        }
      }
      for (const auto& file : ZQLURL::crossExperimentTokenURLsWithError(nullptr)) {
        const std::string name = file->lastPathComponent();
        for (const std::string& package : packages) {
          if (StartsWith(name, package + "-")) {
            self->addCrossTokens(cross, *file);
            break;
          }
        }
      }
    }

    auto mapping = self->readLogSourceMappingWithError(&error);
    if (mapping == nullptr) return answer(nullptr, error);
    std::map<int32_t, const XVNLogSourceMapping_Entry*> entries;
    for (const auto& [source, entry] : mapping->entry()) entries[source] = &entry;
    auto external = std::make_shared<YRXExperimentIds>();
    external->set_clear_blob("");
    for (const auto& [source, entry] : entries) {
      std::map<std::string, const YRXExperimentIds*> values;
      for (const auto& [name, ids] : entry->external_experiment_ids()) values[name] = &ids;
      for (const auto& [name, ids] : values) {
        if (ids->has_clear_blob()) external->mutable_clear_blob()->append(ids->clear_blob());
      }
    }
    answer(ZQLMarovicExperimentTokens::initWithUser("", std::move(tokens), std::move(cross),
                                                    external),
           nullptr);
  });
}

void ZQLFlatFileMarovic::setExternalExperimentIDs(const std::vector<int64_t>& experimentIDs,
                                                  const std::string& moduleNamespace,
                                                  int64_t logSource, ErrorCallback callback) {
  YRXDeviceExperimentIds ids;
  for (int64_t id : experimentIDs) ids.add_always(static_cast<int32_t>(id));
  const std::string blob = ids.SerializeAsString();
  auto self = shared_from_this();
  dispatch_async(work_queue_, [self, blob, moduleNamespace, logSource, callback] {
    self->logger_->increaseCounterWithName("FlatFile-SetExternalExperimentIDs");
    auto finish = [&](std::shared_ptr<NSError> error) {
      self->Report(applicationInfoWithPackageName("", "", {logSource}), error,
                   ZQLMarovicLogEvent::SetExternalExperimentIds, [callback, error] {
                     if (callback) callback(error);
                   });
    };
    std::shared_ptr<NSError> error;
    auto mapping = self->readLogSourceMappingWithError(&error);
    if (mapping == nullptr) return finish(error);
    const std::string before = DeterministicBytes(*mapping);
    auto& entry = (*mapping->mutable_entry())[static_cast<int32_t>(logSource)];
    (*entry.mutable_external_experiment_ids())[moduleNamespace].set_clear_blob(blob);
    if (DeterministicBytes(*mapping) != before) self->WriteLogSourceMapping(*mapping, &error);
    finish(error);
  });
}
