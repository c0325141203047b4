// Scheduling and file selection of the uploader; requests, responses and clean-up are in
// trassen_uploader_requests.cc.
#include "usage_log/trassen_uploader.h"

#include <cstdlib>
#include <limits>

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/utility/base_logger.h"
#include "usage_log/trassen_uploader_internal.h"

namespace {

using trassen_uploader_internal::IsTierFolderName;
using trassen_uploader_internal::kBatchedRequestLogSource;
using trassen_uploader_internal::kMetaCountersLogSource;
using trassen_uploader_internal::SaturatingAdd;

// A ".tmp" file younger than this may still be written to.
constexpr int64_t kOpenLogFileAgeMilliseconds = 1200000;

std::mutex& ClassMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
int64_t total_uploader_instance_count = 0;   // guarded by ClassMutex()
bool should_crash_if_multiple_instances = false;  // guarded by ClassMutex()

std::shared_ptr<NSError> UploaderError(long code) {
  return NSError::errorWithDomain(kJQXTrassenErrorDomain, code);
}

// The handler of one upload call: ends the call's background task, then answers the caller.
struct CallAnswer {
  std::mutex mutex;
  UIBackgroundTaskIdentifier task = UIBackgroundTaskInvalid;

  void EndTask() {
    UIBackgroundTaskIdentifier task_to_end;
    {
      std::lock_guard<std::mutex> lock(mutex);
      task_to_end = task;
      task = UIBackgroundTaskInvalid;
    }
    if (task_to_end != UIBackgroundTaskInvalid) {
      UIApplication::sharedApplication()->endBackgroundTask(task_to_end);
    }
  }
};

}  // namespace

bool JQXUploaderStateIsCollectForDebugEnabled(const JQXUploaderState& state,
                                              int64_t nowMilliseconds) {
  return state.has_collect_for_debug_expiry_time_milliseconds() &&
         nowMilliseconds < state.collect_for_debug_expiry_time_milliseconds() &&
         (!state.has_collect_for_debug_start_time_milliseconds() ||
          nowMilliseconds >= state.collect_for_debug_start_time_milliseconds());
}

// ---- Construction

std::shared_ptr<JQXTrassenUploader> JQXTrassenUploader::initWithAuthorizer(
    std::shared_ptr<JQXTrassenAuthorizer> authorizer,
    const std::optional<JQXTrassenUploaderListeners>& listeners) {
  return initWithAuthorizer(std::move(authorizer), listeners,
                            JQXTrassenFileUtility::defaultLogDirectory(), true);
}

std::shared_ptr<JQXTrassenUploader> JQXTrassenUploader::initWithAuthorizer(
    std::shared_ptr<JQXTrassenAuthorizer> authorizer,
    const std::optional<JQXTrassenUploaderListeners>& listeners,
    std::shared_ptr<NSURL> logDirectory, bool isSharedDirectory) {
  return initWithAuthorizer(std::move(authorizer), listeners, std::move(logDirectory),
                            isSharedDirectory, NSURL::URLWithString(kDefaultServerURL),
                            NSURL::URLWithString(kDefaultBatchServerURL), nullptr);
}

std::shared_ptr<JQXTrassenUploader> JQXTrassenUploader::initWithAuthorizer(
    std::shared_ptr<JQXTrassenAuthorizer> authorizer,
    const std::optional<JQXTrassenUploaderListeners>& listeners,
    std::shared_ptr<NSURL> logDirectory, bool isSharedDirectory, std::shared_ptr<NSURL> serverURL,
    std::shared_ptr<NSURL> batchServerURL, std::shared_ptr<JQXLogRequestFilter> requestFilter) {
  std::shared_ptr<JQXUploaderLockProvider> lock_provider;
  if (isSharedDirectory) {
    lock_provider = std::make_shared<JQXFileLockProvider>();
  } else {
    lock_provider = std::make_shared<JQXNoOpLockProvider>();
  }
  if (logDirectory == nullptr) logDirectory = JQXTrassenFileUtility::defaultLogDirectory();
  return initWithAuthorizer(std::move(authorizer), listeners, std::move(logDirectory),
                            std::move(serverURL), std::move(batchServerURL),
                            std::move(requestFilter), ZRBPseudonymousIDStore::sharedInstance(),
                            JQXSystemClock::systemClock(), std::move(lock_provider),
                            JQXTrassenFlags::sharedInstance(), ZQLMarovic::sharedInstance(),
                            JQXTrassenLogger::initWithLogSource(kMetaCountersLogSource));
}

std::shared_ptr<JQXTrassenUploader> JQXTrassenUploader::initWithAuthorizer(
    std::shared_ptr<JQXTrassenAuthorizer> authorizer,
    const std::optional<JQXTrassenUploaderListeners>& listeners,
    std::shared_ptr<NSURL> logDirectory, std::shared_ptr<NSURL> serverURL,
    std::shared_ptr<NSURL> batchServerURL, std::shared_ptr<JQXLogRequestFilter> requestFilter,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
    std::shared_ptr<JQXClockProtocol> clock, std::shared_ptr<JQXUploaderLockProvider> lockProvider,
    std::shared_ptr<JQXTrassenFlags> flags, std::shared_ptr<ZQLMarovic> marovic,
    std::shared_ptr<JQXTrassenLogger> trassenLogger) {
  auto uploader = std::make_shared<JQXTrassenUploader>(
      std::move(authorizer), listeners.value_or(JQXTrassenUploaderListeners{}),
      std::move(logDirectory), std::move(serverURL), std::move(batchServerURL),
      std::move(requestFilter), std::move(pseudonymousIDStore), std::move(clock),
      std::move(lockProvider), std::move(flags), std::move(marovic), std::move(trassenLogger));
  {
    std::lock_guard<std::mutex> lock(ClassMutex());
    ++total_uploader_instance_count;
  }
  crashIfNecessary();
  return uploader;
}

JQXTrassenUploader::JQXTrassenUploader(
    std::shared_ptr<JQXTrassenAuthorizer> authorizer, JQXTrassenUploaderListeners listeners,
    std::shared_ptr<NSURL> logDirectory, std::shared_ptr<NSURL> serverURL,
    std::shared_ptr<NSURL> batchServerURL, std::shared_ptr<JQXLogRequestFilter> requestFilter,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
    std::shared_ptr<JQXClockProtocol> clock, std::shared_ptr<JQXUploaderLockProvider> lockProvider,
    std::shared_ptr<JQXTrassenFlags> flags, std::shared_ptr<ZQLMarovic> marovic,
    std::shared_ptr<JQXTrassenLogger> trassenLogger)
    : authorizer_(std::move(authorizer)),
      listeners_(std::move(listeners)),
      log_directory_(std::move(logDirectory)),
      request_filter_(std::move(requestFilter)),
      pseudonymous_id_store_(std::move(pseudonymousIDStore)),
      clock_(std::move(clock)),
      lock_provider_(std::move(lockProvider)),
      flags_(std::move(flags)),
      marovic_(std::move(marovic)),
      queue_(dispatch_queue_create("JQXTrassenUploader", DISPATCH_QUEUE_SERIAL)),
      log_writer_(JQXLogWriter::sharedInstance()),
      meta_logger_(JQXTrassenMetaLogger::initWithLogger(std::move(trassenLogger), flags_, clock_)),
      server_url_(std::move(serverURL)),
      batch_server_url_(std::move(batchServerURL)) {}

void JQXTrassenUploader::crashIfMultipleUploadersInstantiated() {
  {
    std::lock_guard<std::mutex> lock(ClassMutex());
    should_crash_if_multiple_instances = true;
  }
  crashIfNecessary();
}

int64_t JQXTrassenUploader::totalUploaderInstanceCount() {
  std::lock_guard<std::mutex> lock(ClassMutex());
  return total_uploader_instance_count;
}

bool JQXTrassenUploader::crashIfNecessary() {
  bool crash, several;
  {
    std::lock_guard<std::mutex> lock(ClassMutex());
    crash = should_crash_if_multiple_instances;
    several = total_uploader_instance_count > 1;
  }
  if (!several) return false;
  if (crash) {
    NSAssert(false,
             "Multiple instances of JQXTrassenUploader were instantiated, and [JQXTrassenUploader "
             "crashIfMultipleUploadersInstantiated] was enabled");
  } else {
    platform::utility::LogError(
        __func__,
        "Multiple instances of JQXTrassenUploader were instantiated. Multiple uploaders function "
        "correctly but have an adverse affect on battery performance due to lock contention.");
  }
  return false;
}

std::shared_ptr<NSURL> JQXTrassenUploader::serverURL() const {
  std::shared_ptr<NSURL> url;
  dispatch_sync(queue_, [&] { url = server_url_; });
  return url;
}

std::shared_ptr<NSURL> JQXTrassenUploader::batchServerURL() const {
  std::shared_ptr<NSURL> url;
  dispatch_sync(queue_, [&] { url = batch_server_url_; });
  return url;
}

void JQXTrassenUploader::setServerURL(std::shared_ptr<NSURL> serverURL,
                                      std::shared_ptr<NSURL> batchServerURL) {
  dispatch_sync(queue_, [&] {
    server_url_ = std::move(serverURL);
    batch_server_url_ = std::move(batchServerURL);
  });
}

// ---- Triggers

void JQXTrassenUploader::startAutoUpload() {
  startAutoUploadOnBackground();
  startAutoUploadOnForegroundWithDelay(
      static_cast<uint64_t>(flags_->autoUploadOnForegroundDelaySeconds()));
  startPeriodicUploadWithTimeInterval(static_cast<uint64_t>(flags_->autoUploadPeriodSeconds()),
                                      static_cast<uint64_t>(flags_->autoUploadLeewaySeconds()));
}

void JQXTrassenUploader::stopAutoUpload() {
  stopAutoUploadOnBackground();
  stopAutoUploadOnForeground();
  stopPeriodicUpload();
}

void JQXTrassenUploader::startAutoUploadOnBackground() {
  std::lock_guard<std::mutex> lock(trigger_mutex_);
  if (background_observer_ != nullptr) return;
  auto self = shared_from_this();  // a started trigger keeps the uploader
  background_observer_ = NSNotificationCenter::defaultCenter()->addObserverForName(
      UIApplicationDidEnterBackgroundNotification, nullptr,
      [self](const std::shared_ptr<NSNotification>& notification) {
        self->applicationDidEnterBackground(notification);
      });
}

void JQXTrassenUploader::stopAutoUploadOnBackground() {
  std::shared_ptr<NSNotificationObserverToken> observer;
  {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    observer = std::move(background_observer_);
  }
  if (observer != nullptr) NSNotificationCenter::defaultCenter()->removeObserver(observer);
}

void JQXTrassenUploader::startAutoUploadOnForegroundWithDelay(uint64_t delaySeconds) {
  stopAutoUploadOnForeground();
  {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    foreground_upload_delay_seconds_ = delaySeconds;
    auto self = shared_from_this();
    foreground_observer_ = NSNotificationCenter::defaultCenter()->addObserverForName(
        UIApplicationWillEnterForegroundNotification, nullptr,
        [self](const std::shared_ptr<NSNotification>& notification) {
          self->applicationWillEnterForeground(notification);
        });
  }
  // Starting counts as entering the foreground.
  applicationWillEnterForeground(nullptr);
}

void JQXTrassenUploader::stopAutoUploadOnForeground() {
  std::shared_ptr<NSNotificationObserverToken> observer;
  {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    observer = std::move(foreground_observer_);
    foreground_upload_delay_seconds_ = 0;
  }
  if (observer != nullptr) NSNotificationCenter::defaultCenter()->removeObserver(observer);
}

void JQXTrassenUploader::startPeriodicUploadWithTimeInterval(uint64_t intervalSeconds) {
  startPeriodicUploadWithTimeInterval(intervalSeconds, intervalSeconds / 2);
}

void JQXTrassenUploader::startPeriodicUploadWithTimeInterval(uint64_t intervalSeconds,
                                                             uint64_t leewaySeconds) {
  stopPeriodicUpload();
  auto timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
  const auto interval = static_cast<int64_t>(intervalSeconds * NSEC_PER_SEC);
  dispatch_source_set_timer(timer, dispatch_walltime(nullptr, interval),
                            static_cast<uint64_t>(interval), leewaySeconds * NSEC_PER_SEC);
  auto self = shared_from_this();  // the running timer keeps the uploader
  dispatch_source_set_event_handler(timer, [self] {
    if (UIApplication::sharedApplication()->applicationState() == UIApplicationStateActive) {
      self->uploadWithCompletionHandler(nullptr);
    }
  });
  {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    timer_ = timer;
  }
  dispatch_resume(timer);
}

void JQXTrassenUploader::stopPeriodicUpload() {
  dispatch_source_t timer;
  {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    timer = std::move(timer_);
  }
  if (timer != nullptr) dispatch_source_cancel(timer);
}

void JQXTrassenUploader::applicationDidEnterBackground(const std::shared_ptr<NSNotification>&) {
  uploadWithCompletionHandler(nullptr);
}

void JQXTrassenUploader::applicationWillEnterForeground(const std::shared_ptr<NSNotification>&) {
  uint64_t delay;
  {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    delay = foreground_upload_delay_seconds_;
  }
  auto self = shared_from_this();
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(delay * NSEC_PER_SEC)),
                 dispatch_get_main_queue(), [self] {
                   if (UIApplication::sharedApplication()->applicationState() ==
                       UIApplicationStateActive) {
                     self->uploadWithCompletionHandler(nullptr, true);
                   }
                 });
  const uint64_t check_delay = flags_->collectForDebugCheckOnForegroundDelaySeconds();
  dispatch_after(
      dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(check_delay * NSEC_PER_SEC)), queue_,
      [self] { self->checkCollectForDebug(); });
}

// ---- Upload calls

void JQXTrassenUploader::uploadWithCompletionHandler(JQXTrassenUploaderCompletionHandler handler) {
  uploadWithCompletionHandler(std::move(handler), false);
}

void JQXTrassenUploader::uploadWithCompletionHandler(JQXTrassenUploaderCompletionHandler handler,
                                                     bool isOnForeground) {
  auto answer = std::make_shared<CallAnswer>();
  std::weak_ptr<CallAnswer> weak_answer = answer;
  {
    std::lock_guard<std::mutex> lock(answer->mutex);
    answer->task = UIApplication::sharedApplication()->beginBackgroundTaskWithName(
        "JQXTrassenUploader-wrapper", [weak_answer] {
          if (auto expiring = weak_answer.lock()) expiring->EndTask();
        });
  }
  JQXTrassenUploaderCompletionHandler wrapper =
      [answer, handler = std::move(handler)](bool success, std::shared_ptr<NSError> error) {
        answer->EndTask();
        if (handler) handler(success, std::move(error));
      };

  auto self = shared_from_this();
  dispatch_async(queue_, [self, wrapper = std::move(wrapper), isOnForeground] {
    self->maybeUpdateWithMarovic();
    if (self->is_uploading_) {
      self->pending_handlers_.push_back(wrapper);
      return;
    }
    for (const auto& listener : self->listeners_) listener->trassenUploaderWillSendLogs(*self);
    self->log_writer_->flush();
    if (!self->startBackgroundTask()) {
      wrapper(false, UploaderError(JQXTrassenErrorCodeBackgroundTaskRefused));
      return;
    }
    if (!JQXTrassenFileUtility::ensureLogDirectory(self->log_directory_)) {
      self->endBackgroundTask();
      wrapper(false, UploaderError(JQXTrassenErrorCodeLogDirectory));
      return;
    }
    auto lock_file = JQXTrassenFileUtility::uploaderLockFileInLogDirectory(*self->log_directory_);
    self->lock_ = self->lock_provider_->makeUploaderLockForFile(*lock_file);
    std::shared_ptr<NSError> lock_error;
    if (!self->lock_->lock(&lock_error)) {
      self->lock_ = nullptr;
      self->endBackgroundTask();
      wrapper(false, lock_error);
      return;
    }
    const int64_t period = isOnForeground ? self->flags_->onForegroundUploadPeriodMilliseconds()
                                          : self->flags_->defaultUploadPeriodMilliseconds();
    if (!self->canUploadNow(period)) {
      self->lock_->unlock();
      self->lock_ = nullptr;
      self->endBackgroundTask();
      wrapper(false, nullptr);
      return;
    }
    self->flags_->update();
    self->is_uploading_ = true;
    self->pending_handlers_ = {wrapper};
    self->pending_log_files_ = self->logFiles();
    self->last_error_ = nullptr;
    self->start_upload_time_milliseconds_ =
        static_cast<uint64_t>(self->clock_->currentTimeMilliseconds());
    if (self->flags_->batchUpload()) {
      self->pending_batch_log_files_ = groupLogFiles(self->pending_log_files_);
    }
    self->meta_logger_->logFilesWillBeUploaded(self->pending_log_files_);
    self->uploadNext();
  });
}

void JQXTrassenUploader::cancelUpload() {
  dispatch_sync(queue_, [this] { finishUploadAndCallHandlers(); });
}

bool JQXTrassenUploader::startBackgroundTask() {
  std::weak_ptr<JQXTrassenUploader> weak = weak_from_this();
  background_task_id_ = UIApplication::sharedApplication()->beginBackgroundTaskWithName(
      "JQXTrassenUploader", [weak] {
        auto self = weak.lock();
        if (self == nullptr) return;
        self->cancelUpload();
        dispatch_sync(self->queue_, [&self] { self->endBackgroundTask(); });
      });
  return background_task_id_ != UIBackgroundTaskInvalid;
}

void JQXTrassenUploader::endBackgroundTask() {
  if (background_task_id_ == UIBackgroundTaskInvalid) return;
  UIApplication::sharedApplication()->endBackgroundTask(background_task_id_);
  background_task_id_ = UIBackgroundTaskInvalid;
}

// ---- Checks and file selection

bool JQXTrassenUploader::canUploadNow(int64_t periodMilliseconds) {
  if (collect_for_debug_enabled_) return true;
  auto state = JQXTrassenFileUtility::uploaderStateInLogDirectory(*log_directory_);
  const int64_t now = clock_->currentTimeMilliseconds();
  if (now < state->next_upload_time_milliseconds()) return false;  // the service's back-off
  if (now > SaturatingAdd(state->last_default_upload_time_milliseconds(), periodMilliseconds)) {
    return true;
  }
  // Files of the fast tier do not wait for the period.
  auto tier = log_directory_->URLByAppendingPathComponent("2", true);
  bool is_directory = false;
  if (!NSFileManager::defaultManager()->fileExistsAtPath(tier->path(), &is_directory) ||
      !is_directory) {
    return false;
  }
  auto contexts = JQXTrassenFileUtility::directoryContents(*tier);
  if (!contexts.has_value()) return false;
  for (const auto& context_folder : *contexts) {
    auto entries = JQXTrassenFileUtility::directoryContents(*context_folder);
    if (!entries.has_value()) continue;
    for (const auto& entry : *entries) {
      if (logFileIfEligibleForUpload(entry, nullptr) != nullptr) return true;
    }
  }
  return false;
}

void JQXTrassenUploader::forEachEligibleLogFile(
    const std::function<void(const std::shared_ptr<JQXLogFile>& file)>& visit) {
  auto tiers = JQXTrassenFileUtility::directoryContents(*log_directory_);
  if (!tiers.has_value()) return;
  for (const auto& tier : *tiers) {
    if (!IsTierFolderName(tier->lastPathComponent())) continue;
    auto folders = JQXTrassenFileUtility::directoryContents(*tier);
    if (!folders.has_value()) continue;
    for (const auto& folder : *folders) {
      auto bytes = NSDataWithContentsOfURL(*folder->URLByAppendingPathComponent("context"),
                                           nullptr);
      if (!bytes.has_value()) continue;
      auto context = std::make_shared<JQXLogContext>();
      if (!context->ParseFromArray(bytes->data(), static_cast<int>(bytes->size()))) {
        platform::utility::LogError(__func__, "Could not parse context file: %@",
                                    {"the bytes of " + folder->path() + "/context are no context"});
        continue;
      }
      auto entries = JQXTrassenFileUtility::directoryContents(*folder);
      if (!entries.has_value()) continue;
      for (const auto& entry : *entries) {
        if (auto file = logFileIfEligibleForUpload(entry, context)) visit(file);
      }
    }
  }
}

JQXLogFiles JQXTrassenUploader::logFiles() {
  JQXLogFiles files;
  bool has_other_source = false;
  forEachEligibleLogFile([&](const std::shared_ptr<JQXLogFile>& file) {
    files.push_back(file);
    if (file->context()->log_source() != kMetaCountersLogSource) has_other_source = true;
  });
  // The meta counters never make a run by themselves; they travel with other files.
  if (!has_other_source) files.clear();
  return files;
}

std::shared_ptr<JQXLogFile> JQXTrassenUploader::logFileIfEligibleForUpload(
    const std::shared_ptr<NSURL>& url, const std::shared_ptr<const JQXLogContext>& context) {
  if (url->lastPathComponent() == "context") return nullptr;
  auto file = JQXLogFile::initWithContext(context, url);
  if (file == nullptr) return nullptr;
  const int64_t now = clock_->currentTimeMilliseconds();
  const int64_t cutoff = flags_->logFileAgeCutoffMilliseconds();
  if (cutoff > 0 && now > SaturatingAdd(file->creationTimeMilliseconds(), cutoff)) {
    meta_logger_->logDeletingOverTTLLogFiles({file});
    if (!NSFileManager::defaultManager()->removeItemAtURL(*url, nullptr)) {
      platform::utility::LogError(__func__, "Could not delete a file we just read! File: %@",
                                  {url->description()});
    }
    return nullptr;
  }
  if (url->pathExtension() == "tmp" &&
      now <= SaturatingAdd(file->creationTimeMilliseconds(), kOpenLogFileAgeMilliseconds)) {
    return nullptr;
  }
  return file;
}

std::shared_ptr<JQXLogContext> JQXTrassenUploader::batchContextFromContext(
    const JQXLogContext& context) {
  auto batch = std::make_shared<JQXLogContext>();
  if (context.has_obfuscated_hollin_id()) {
    batch->set_obfuscated_hollin_id(context.obfuscated_hollin_id());
  }
  if (context.has_pseudonymous_id()) batch->set_pseudonymous_id(context.pseudonymous_id());
  if (context.has_is_anonymous()) batch->set_is_anonymous(context.is_anonymous());
  if (context.has_qos_tier()) batch->set_qos_tier(context.qos_tier() == 2 ? 0 : context.qos_tier());
  batch->set_log_source(static_cast<LogRequest_LogSource>(kBatchedRequestLogSource));
  return batch;
}

JQXTrassenUploader::LogFileGroups JQXTrassenUploader::groupLogFiles(const JQXLogFiles& logFiles) {
  LogFileGroups groups;
  std::map<std::string, size_t> index_of;  // by the context's deterministic encoding
  for (const auto& file : logFiles) {
    auto batch = batchContextFromContext(*file->context());
    auto [it, inserted] = index_of.emplace(JQXLogContextSerialization(*batch), groups.size());
    if (inserted) groups.emplace_back(batch, JQXLogFiles{});
    groups[it->second].second.push_back(file);
  }
  return groups;
}

// ---- Running

void JQXTrassenUploader::uploadNext() {
  if (!is_uploading_) return;
  if (flags_->batchUpload()) {
    if (!pending_batch_log_files_.empty()) {
      auto [context, files] = std::move(pending_batch_log_files_.front());
      pending_batch_log_files_.erase(pending_batch_log_files_.begin());
      uploadBatch(context, files);
      return;
    }
  } else if (!pending_log_files_.empty()) {
    auto file = pending_log_files_.back();
    pending_log_files_.pop_back();
    uploadNonBatch(file);
    return;
  }
  finishUploadAndCallHandlers();
}

void JQXTrassenUploader::finishUploadAndCallHandlers() {
  if (!is_uploading_) return;
  meta_logger_->logUploadTime(start_upload_time_milliseconds_,
                              static_cast<uint64_t>(clock_->currentTimeMilliseconds()),
                              last_error_);
  if (flags_->shouldFlushMetaCounters()) meta_logger_->flushCountersToLogger();
  if (current_fetcher_ != nullptr) current_fetcher_->stopFetching();
  cleanupOldLogFiles();
  cleanupEmptyDirectories();
  if (lock_ != nullptr) lock_->unlock();
  endBackgroundTask();
  auto handlers = std::move(pending_handlers_);
  auto error = last_error_;
  for (const auto& handler : handlers) handler(true, error);
  is_uploading_ = false;
  lock_ = nullptr;
  pending_handlers_.clear();
  pending_log_files_.clear();
  pending_batch_log_files_.clear();
  current_fetcher_ = nullptr;
  last_error_ = nullptr;
  checkCollectForDebug();
}

void JQXTrassenUploader::maybeUpdateWithMarovic() {
  const int64_t now = clock_->currentTimeMilliseconds();
  if (now < SaturatingAdd(last_marovic_update_time_milliseconds_,
                          flags_->marovicUpdatePeriodMilliseconds())) {
    return;
  }
  last_marovic_update_time_milliseconds_ = now;
  auto task = std::make_shared<CallAnswer>();
  std::weak_ptr<CallAnswer> weak_task = task;
  {
    std::lock_guard<std::mutex> lock(task->mutex);
    task->task = UIApplication::sharedApplication()->beginBackgroundTaskWithName(
        "JQXTrassenUploader-MarovicUpdate", [weak_task] {
          if (auto expiring = weak_task.lock()) expiring->EndTask();
        });
  }
  const std::string package = flags_->marovicPackageName();
  auto marovic = marovic_;
  auto accounts = std::dynamic_pointer_cast<ZQLMarovicAccountService>(authorizer_);
  marovic_->registerPackage(
      package, /*version=*/1, {kMetaCountersLogSource}, std::nullopt,
      [task, package, marovic, accounts](std::shared_ptr<NSError> error) {
        if (error != nullptr) {
          platform::utility::LogError("maybeUpdateWithMarovic",
                                      "Error registering to marovic for package %@: %@",
                                      {package, error->description()});
          task->EndTask();
          return;
        }
        marovic->syncExperimentsWithServer(
            accounts, [task](bool, std::shared_ptr<NSError>) { task->EndTask(); });
      });
}

// ---- Collect for debug

void JQXTrassenUploader::setCollectForDebugExpiryTimeMilliseconds(int64_t expiryTimeMilliseconds) {
  dispatch_sync(queue_, [&] {
    auto state = JQXTrassenFileUtility::uploaderStateInLogDirectory(*log_directory_);
    const int64_t now = clock_->currentTimeMilliseconds();
    if (state->collect_for_debug_start_time_milliseconds() == 0 ||
        state->collect_for_debug_expiry_time_milliseconds() < now) {
      state->set_collect_for_debug_start_time_milliseconds(now);
    }
    state->set_collect_for_debug_expiry_time_milliseconds(expiryTimeMilliseconds);
    if (expiryTimeMilliseconds == 0) state->set_collect_for_debug_start_time_milliseconds(0);
    if (JQXTrassenFileUtility::ensureLogDirectory(log_directory_)) {
      std::string bytes = state->SerializeAsString();
      NSDataWriteToURL(std::vector<uint8_t>(bytes.begin(), bytes.end()),
                       *JQXTrassenFileUtility::uploaderStateFileInLogDirectory(*log_directory_),
                       NSDataWritingAtomic, nullptr);
    }
  });
}

void JQXTrassenUploader::checkCollectForDebug() {
  auto state = JQXTrassenFileUtility::uploaderStateInLogDirectory(*log_directory_);
  const bool enabled =
      JQXUploaderStateIsCollectForDebugEnabled(*state, clock_->currentTimeMilliseconds());
  if (enabled && !collect_for_debug_enabled_) {
    collect_for_debug_enabled_ = true;
    startCollectForDebugPeriodicUpload();
  } else if (!enabled && collect_for_debug_enabled_) {
    collect_for_debug_enabled_ = false;
    stopCollectForDebugPeriodicUpload();
  }
}

void JQXTrassenUploader::startCollectForDebugPeriodicUpload() {
  stopCollectForDebugPeriodicUpload();
  const uint64_t interval_seconds = flags_->collectForDebugUploadIntervalSeconds();
  const auto interval = static_cast<int64_t>(interval_seconds * NSEC_PER_SEC);
  collect_for_debug_timer_ = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue_);
  dispatch_source_set_timer(collect_for_debug_timer_, dispatch_walltime(nullptr, interval),
                            static_cast<uint64_t>(interval),
                            interval_seconds / 2 * NSEC_PER_SEC);
  std::weak_ptr<JQXTrassenUploader> weak = weak_from_this();
  dispatch_source_set_event_handler(collect_for_debug_timer_, [weak] {
    if (auto self = weak.lock()) self->uploadWithCompletionHandler(nullptr);
  });
  dispatch_resume(collect_for_debug_timer_);
}

void JQXTrassenUploader::stopCollectForDebugPeriodicUpload() {
  if (collect_for_debug_timer_ == nullptr) return;
  dispatch_source_cancel(collect_for_debug_timer_);
  collect_for_debug_timer_ = nullptr;
}
