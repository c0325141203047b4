// The uploader: sends the log files that the log writer leaves in one log directory to the
// usage-logging service and deletes what the service accepted.
//
//   auto uploader = JQXTrassenUploader::initWithAuthorizer(nullptr, nullptr, directory, false);
//   uploader->startAutoUpload();   // on entering the background, 45 s after the foreground,
//                                  // and every 15 minutes while active
//   uploader->uploadWithCompletionHandler([](bool success, std::shared_ptr<NSError> error) {
//     ...   // success: a run took place (its last error, if any, in `error`)
//   });
//
// One upload call becomes a run only when no run is going on (else it joins the run and is
// answered when the run ends), the directory can be prepared, the directory's lock can be taken
// and the service's back-off and the upload period allow it. A run takes every eligible log file
// (see logFileIfEligibleForUpload) and sends them one request at a time, grouped by batch context
// to the batch endpoint or one file per request; the answer of each request decides which of its
// files are deleted and updates the state file D/"state" (back-off, last upload times, QoS tier
// overrides). Every run ends in finishUploadAndCallHandlers, which keeps the directory under its
// size limit, removes old empty context folders, releases the lock and the background task and
// answers every waiting handler exactly once.
//
// Run state lives on the serial queue "JQXTrassenUploader"; `cancelUpload`,
// `setServerURL(server, batch)` and `setCollectForDebugExpiryTimeMilliseconds` wait for that
// queue and must not be called on it. A started uploader keeps itself alive through its
// notification observers and its timer until its triggers are stopped.
#ifndef USAGE_LOG_TRASSEN_UPLOADER_H_
#define USAGE_LOG_TRASSEN_UPLOADER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "experiment_flags/marovic.h"
#include "platform/dispatch/dispatch.h"
#include "platform/fetcher/http_fetcher.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_notification_center.h"
#include "platform/foundation/ns_url.h"
#include "platform/uikit/ui_application.h"
#include "usage_log/file_utility.h"
#include "usage_log/log_local.pb.h"
#include "usage_base/log_wire.pb.h"
#include "usage_log/log_writer.h"
#include "usage_log/meta_logger.h"
#include "usage_base/pseudonymous_id_store.h"
#include "usage_log/trassen_flags.h"
#include "usage_log/trassen_logger.h"

class JQXTrassenUploader;

// Supplies the fetcher's authorization for account-bound contexts.
class JQXTrassenAuthorizer {
 public:
  virtual ~JQXTrassenAuthorizer() = default;
  // Null when the account cannot be authorized.
  virtual std::shared_ptr<platform::fetcher::Authorizer> authorizationForObfuscatedHollinID(
      const std::string& obfuscatedHollinID) = 0;
};

// Looks at every request before it is sent: answers it (changed or not), or null to drop the
// log file.
class JQXLogRequestFilter {
 public:
  virtual ~JQXLogRequestFilter() = default;
  virtual std::shared_ptr<LogRequest> filterLogRequest(std::shared_ptr<LogRequest> request) = 0;
};

// Told before each run.
class JQXTrassenUploaderListener {
 public:
  virtual ~JQXTrassenUploaderListener() = default;
  virtual void trassenUploaderWillSendLogs(JQXTrassenUploader& uploader) = 0;
};

using JQXTrassenUploaderCompletionHandler =
    std::function<void(bool success, std::shared_ptr<NSError> error)>;
using JQXTrassenUploaderListeners = std::vector<std::shared_ptr<JQXTrassenUploaderListener>>;

// Collect-for-debug window of an uploader state: set, not yet over and already begun.
bool JQXUploaderStateIsCollectForDebugEnabled(const JQXUploaderState& state,
                                              int64_t nowMilliseconds);

class JQXTrassenUploader : public std::enable_shared_from_this<JQXTrassenUploader> {
 public:
  // The default endpoints.
  static constexpr char kDefaultServerURL[] = "https://trassen.brenvik.com/log";
  static constexpr char kDefaultBatchServerURL[] = "https://trassen.brenvik.com/log/batch";

  // The default log directory, shared between processes.
  static std::shared_ptr<JQXTrassenUploader> initWithAuthorizer(
      std::shared_ptr<JQXTrassenAuthorizer> authorizer,
      const std::optional<JQXTrassenUploaderListeners>& listeners = std::nullopt);
  // The default endpoints and no request filter.
  static std::shared_ptr<JQXTrassenUploader> initWithAuthorizer(
      std::shared_ptr<JQXTrassenAuthorizer> authorizer,
      const std::optional<JQXTrassenUploaderListeners>& listeners,
      std::shared_ptr<NSURL> logDirectory, bool isSharedDirectory);
  // A file lock for a shared directory (else none), a null directory meaning the default one,
  // and the process's pseudonymous-identifier store, clock, settings and flag store; the meta
  // logger writes with log source 103 into the default log directory.
  static std::shared_ptr<JQXTrassenUploader> initWithAuthorizer(
      std::shared_ptr<JQXTrassenAuthorizer> authorizer,
      const std::optional<JQXTrassenUploaderListeners>& listeners,
      std::shared_ptr<NSURL> logDirectory, bool isSharedDirectory, std::shared_ptr<NSURL> serverURL,
      std::shared_ptr<NSURL> batchServerURL, std::shared_ptr<JQXLogRequestFilter> requestFilter);
  // Every collaborator given.
  static std::shared_ptr<JQXTrassenUploader> initWithAuthorizer(
      std::shared_ptr<JQXTrassenAuthorizer> authorizer,
      const std::optional<JQXTrassenUploaderListeners>& listeners,
      std::shared_ptr<NSURL> logDirectory, std::shared_ptr<NSURL> serverURL,
      std::shared_ptr<NSURL> batchServerURL, std::shared_ptr<JQXLogRequestFilter> requestFilter,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
      std::shared_ptr<JQXClockProtocol> clock, std::shared_ptr<JQXUploaderLockProvider> lockProvider,
      std::shared_ptr<JQXTrassenFlags> flags, std::shared_ptr<ZQLMarovic> marovic,
      std::shared_ptr<JQXTrassenLogger> trassenLogger);

  // From now on, more than one uploader in the process is a fatal misuse.
  static void crashIfMultipleUploadersInstantiated();
  // Uploaders made in this process.
  static int64_t totalUploaderInstanceCount();

  // Triggers.
  void startAutoUpload();
  void stopAutoUpload();
  void startAutoUploadOnBackground();
  void stopAutoUploadOnBackground();
  void startAutoUploadOnForegroundWithDelay(uint64_t delaySeconds);
  void stopAutoUploadOnForeground();
  void startPeriodicUploadWithTimeInterval(uint64_t intervalSeconds);
  void startPeriodicUploadWithTimeInterval(uint64_t intervalSeconds, uint64_t leewaySeconds);
  void stopPeriodicUpload();
  void applicationDidEnterBackground(const std::shared_ptr<NSNotification>& notification);
  void applicationWillEnterForeground(const std::shared_ptr<NSNotification>& notification);

  // One upload call; the handler (may be empty) is called exactly once, on the uploader queue.
  void uploadWithCompletionHandler(JQXTrassenUploaderCompletionHandler handler);
  void uploadWithCompletionHandler(JQXTrassenUploaderCompletionHandler handler,
                                   bool isOnForeground);
  // Ends a running run at once (its fetch is stopped, its files kept).
  void cancelUpload();
  void setServerURL(std::shared_ptr<NSURL> serverURL, std::shared_ptr<NSURL> batchServerURL);
  // Accepted and ignored.
  void setServerURL(std::shared_ptr<NSURL>) {}
  void setBatchServerURL(std::shared_ptr<NSURL>) {}
  void setUploadPeriodMilliseconds(int64_t) {}
  // Sets the end of the collect-for-debug window (0 ends it) in the state file.
  void setCollectForDebugExpiryTimeMilliseconds(int64_t expiryTimeMilliseconds);

  const std::shared_ptr<JQXTrassenAuthorizer>& authorizer() const { return authorizer_; }
  const std::shared_ptr<NSURL>& logDirectory() const { return log_directory_; }
  std::shared_ptr<NSURL> serverURL() const;
  std::shared_ptr<NSURL> batchServerURL() const;
  int64_t uploadPeriodMilliseconds() const { return 0; }
  const std::shared_ptr<JQXTrassenMetaLogger>& metaLogger() const { return meta_logger_; }
  const dispatch_queue_t& queue() const { return queue_; }

  // Internal steps, on the uploader queue; public for tests.
  bool startBackgroundTask();
  void endBackgroundTask();
  bool canUploadNow(int64_t periodMilliseconds);
  JQXLogFiles logFiles();
  std::shared_ptr<JQXLogFile> logFileIfEligibleForUpload(
      const std::shared_ptr<NSURL>& url, const std::shared_ptr<const JQXLogContext>& context);
  static std::shared_ptr<JQXLogContext> batchContextFromContext(const JQXLogContext& context);
  using LogFileGroups = std::vector<std::pair<std::shared_ptr<JQXLogContext>, JQXLogFiles>>;
  // Files by batch context (equal contexts share a group), groups and files in list order.
  static LogFileGroups groupLogFiles(const JQXLogFiles& logFiles);
  void uploadNext();
  void finishUploadAndCallHandlers();
  void maybeUpdateWithMarovic();
  void checkCollectForDebug();
  void startCollectForDebugPeriodicUpload();
  void stopCollectForDebugPeriodicUpload();

  // Requests, responses and clean-up, on the uploader queue.
  void uploadNonBatch(const std::shared_ptr<JQXLogFile>& logFile);
  void uploadBatch(const std::shared_ptr<JQXLogContext>& batchContext, const JQXLogFiles& files);
  std::shared_ptr<LogRequest> createLogRequest(const std::shared_ptr<JQXLogFile>& logFile,
                                               const std::vector<uint8_t>& logData,
                                               const JQXUploaderState& uploaderState,
                                               int64_t currentTimeMilliseconds);
  std::shared_ptr<platform::fetcher::Fetcher> createFetcher(
      const std::shared_ptr<NSURL>& url, const JQXLogContext& context,
      const std::string& data, const JQXLogFiles& logFiles, int64_t currentTimeMilliseconds);
  void processResponse(const std::optional<std::vector<uint8_t>>& data,
                       const std::shared_ptr<const JQXLogContext>& context,
                       const JQXLogFiles& logFiles, int64_t requestTime, bool isBatched,
                       const std::shared_ptr<NSError>& error, long statusCode, bool isCurrent);
  void cleanupOldLogFiles();
  void cleanupEmptyDirectories();

  JQXTrassenUploader(std::shared_ptr<JQXTrassenAuthorizer> authorizer,
                     JQXTrassenUploaderListeners listeners, std::shared_ptr<NSURL> logDirectory,
                     std::shared_ptr<NSURL> serverURL, std::shared_ptr<NSURL> batchServerURL,
                     std::shared_ptr<JQXLogRequestFilter> requestFilter,
                     std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
                     std::shared_ptr<JQXClockProtocol> clock,
                     std::shared_ptr<JQXUploaderLockProvider> lockProvider,
                     std::shared_ptr<JQXTrassenFlags> flags, std::shared_ptr<ZQLMarovic> marovic,
                     std::shared_ptr<JQXTrassenLogger> trassenLogger);

 private:
  static bool crashIfNecessary();
  // Walks the tier folders, their context folders (skipping those whose "context" cannot be
  // read or parsed) and the entries there, calling `visit` with each eligible log file.
  void forEachEligibleLogFile(
      const std::function<void(const std::shared_ptr<JQXLogFile>& file)>& visit);
  void beginFetch(const std::shared_ptr<platform::fetcher::Fetcher>& fetch,
                  std::shared_ptr<const JQXLogContext> context, JQXLogFiles files,
                  bool isBatched);
  void deleteLogFiles(const JQXLogFiles& files);
  void updateStateWithResponse(const LogResponse& response, const JQXLogContext& context,
                               int64_t requestTime);

  // Read-only after construction.
  const std::shared_ptr<JQXTrassenAuthorizer> authorizer_;
  const JQXTrassenUploaderListeners listeners_;
  const std::shared_ptr<NSURL> log_directory_;
  const std::shared_ptr<JQXLogRequestFilter> request_filter_;
  const std::shared_ptr<ZRBPseudonymousIDStore> pseudonymous_id_store_;
  const std::shared_ptr<JQXClockProtocol> clock_;
  const std::shared_ptr<JQXUploaderLockProvider> lock_provider_;
  const std::shared_ptr<JQXTrassenFlags> flags_;
  const std::shared_ptr<ZQLMarovic> marovic_;
  const dispatch_queue_t queue_;
  const std::shared_ptr<JQXLogWriter> log_writer_;
  std::shared_ptr<JQXTrassenMetaLogger> meta_logger_;

  // On the uploader queue.
  std::shared_ptr<NSURL> server_url_;
  std::shared_ptr<NSURL> batch_server_url_;
  bool is_uploading_ = false;
  bool collect_for_debug_enabled_ = false;
  UIBackgroundTaskIdentifier background_task_id_ = UIBackgroundTaskInvalid;
  int64_t last_marovic_update_time_milliseconds_ = 0;
  std::shared_ptr<JQXUploaderLock> lock_;
  std::vector<JQXTrassenUploaderCompletionHandler> pending_handlers_;
  JQXLogFiles pending_log_files_;
  LogFileGroups pending_batch_log_files_;
  std::shared_ptr<platform::fetcher::Fetcher> current_fetcher_;
  std::shared_ptr<NSError> last_error_;
  uint64_t start_upload_time_milliseconds_ = 0;
  dispatch_source_t collect_for_debug_timer_;

  // Triggers, set from any thread.
  mutable std::mutex trigger_mutex_;
  uint64_t foreground_upload_delay_seconds_ = 0;
  std::shared_ptr<NSNotificationObserverToken> background_observer_;
  std::shared_ptr<NSNotificationObserverToken> foreground_observer_;
  dispatch_source_t timer_;
};

#endif  // USAGE_LOG_TRASSEN_UPLOADER_H_
