// The flag store of this system: records in files under the shared and local roots (zql_url.h).
//
// It registers packages (their registration record and their log sources), queues syncs with
// the experiment-configuration service and runs them one at a time, commits a package's synced
// snapshot so that flags read it, peeks at the synced configuration, reads committed ones,
// gathers experiment tokens for usage-log events and keeps external experiment ids. Every
// operation writes one usage-log event and counts itself through the store's logger.
//
//   auto store = ZQLMarovic::sharedInstance();
//   store->registerPackage("com.example#app", {700}, std::nullopt, nullptr);
//   store->syncExperimentsWithServer(accounts, [](bool attempted, auto error) { ... });
//
// File work runs on the serial queue "ZQLFlatFileMarovic"; callbacks, observers and event
// reports run on the concurrent queue "ZQLFlatFileMarovicCompletion" (the peek callback on the
// work queue). Every callback is called exactly once. A caller may wait for a callback on any
// thread except the work queue.
#ifndef EXPERIMENT_FLAGS_FLAT_FILE_MAROVIC_H_
#define EXPERIMENT_FLAGS_FLAT_FILE_MAROVIC_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "experiment_flags/configuration.h"
#include "experiment_flags/dunsfell_syncer.h"
#include "experiment_flags/flag_store_log_event.pb.h"
#include "experiment_flags/flat_file_records.pb.h"
#include "experiment_flags/marovic.h"
#include "experiment_flags/marovic_flags.h"
#include "experiment_flags/marovic_logger_protocol.h"
#include "platform/dispatch/dispatch.h"
#include "usage_base/pseudonymous_id_store.h"
#include "usage_base/system_clock.h"

// The cross folder's modification time, read at most every 10 s.
class ZQLCachedModTimeData {
 public:
  int64_t lastModTime = 0;
  int64_t lastTimeModTimeWasUpdated = 0;
  std::mutex mutex;
};

class ZQLFlatFileMarovic : public ZQLMarovic,
                           public ZRBPseudonymousIDObserver,
                           public std::enable_shared_from_this<ZQLFlatFileMarovic> {
 public:
  // The store of the process: system clock, shared pseudonymous id store, a logger into the
  // default log directory and flags of the store's own package.
  static std::shared_ptr<ZQLFlatFileMarovic> init();
  // `flags` null: flags of the store's own package served by this store, loaded on first use.
  static std::shared_ptr<ZQLFlatFileMarovic> initWithClock(
      std::shared_ptr<JQXClockProtocol> clock,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
      std::shared_ptr<ZQLMarovicLoggerProtocol> logger,
      std::shared_ptr<ZQLMarovicFlagsProtocol> flags);

  void syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService> accounts,
                                 SyncCallback callback) override;
  void syncExperimentsWithServer(
      std::shared_ptr<ZQLMarovicAccountService> accounts,
      std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> syncAfterConfiguration,
      SyncCallback callback) override;
  void registerPackage(const std::string& packageName, int64_t version,
                       const std::vector<int64_t>& logSources,
                       const std::optional<std::string>& params, ErrorCallback callback) override;
  void registerPackage(const std::string& packageName, const std::vector<int64_t>& logSources,
                       const std::optional<std::string>& params, ErrorCallback callback) override;
  void unregisterPackage(const std::string& packageName, ErrorCallback callback) override;
  bool packageRegistered(const std::string& packageName, std::shared_ptr<NSError>* error) override;
  void commitConfiguration(const std::string& packageName, const std::string& user,
                           const std::optional<std::string>& diffToken,
                           Committer committer) override;
  void peekConfiguration(const std::string& packageName, const std::string& user,
                         const std::optional<std::string>& diffToken,
                         ConfigurationCallback callback) override;
  void experimentTokens(int64_t logSource, const std::string& user,
                        TokensCallback callback) override;
  void experimentTokens(int64_t logSource, TokensCallback callback) override;
  void experimentTokensForCurrentBundleWithCallback(TokensCallback callback) override;
  void committedConfiguration(const std::string& packageName, const std::string& user,
                              ConfigurationCallback callback) override;
  void committedConfiguration(const std::string& packageName,
                              ConfigurationCallback callback) override;
  void committedConfigurationForPackage(const std::string& packageName,
                                        const std::optional<std::string>& user,
                                        ConfigurationCallback callback);
  void setExternalExperimentIDs(const std::vector<int64_t>& experimentIDs,
                                const std::string& moduleNamespace, int64_t logSource,
                                ErrorCallback callback) override;
  void addCommitObserver(const std::shared_ptr<ZQLCommitObserver>& observer) override;
  void removeCommitObserver(const std::shared_ptr<ZQLCommitObserver>& observer) override;
  bool debugForceSyncs() const override { return debug_force_syncs_.load(); }
  void setDebugForceSyncs(bool value) override { debug_force_syncs_.store(value); }
  std::optional<std::string> overrideServerURL() const override;
  void setOverrideServerURL(std::optional<std::string> value) override;

  void pseudonymousIDDidReset(const std::shared_ptr<ZRBPseudonymousIDStore>& store) override;

  // The log-source mapping; empty when the file does not exist. Work queue.
  std::shared_ptr<XVNLogSourceMapping> readLogSourceMappingWithError(
      std::shared_ptr<NSError>* error);
  void invalidateTokenCache();
  // Milliseconds of the cross folder's last change, read at most every 10 s; the smallest
  // value when it cannot be read.
  int64_t crossDirectoryModificationTimeMilliseconds();

  static std::shared_ptr<ZQLApplicationInfo> applicationInfoWithPackageName(
      const std::optional<std::string>& packageName, const std::optional<std::string>& user,
      const std::vector<int64_t>& logSources);
  static std::shared_ptr<ZQLMarovicLogEvent> marovicLogEventWithApplicationInfo(
      const std::shared_ptr<ZQLApplicationInfo>& info, const std::shared_ptr<NSError>& error);

  const dispatch_queue_t& workQueue() const { return work_queue_; }
  const dispatch_queue_t& completionQueue() const { return completion_queue_; }
  const std::shared_ptr<ZQLMarovicFlagsProtocol>& flags() const { return flags_; }
  const std::shared_ptr<ZQLMarovicLoggerProtocol>& logger() const { return logger_; }

  // Tests: how often the cross folder's status was read, and how many token lookups reached
  // the work queue.
  int crossFolderStatCount() const { return cross_folder_stats_.load(); }
  int tokenLookupsOnWorkQueue() const { return token_lookups_on_work_queue_.load(); }

  ZQLFlatFileMarovic(std::shared_ptr<JQXClockProtocol> clock,
                     std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
                     std::shared_ptr<ZQLMarovicLoggerProtocol> logger);

 private:
  struct SyncTask {
    std::shared_ptr<ZQLDunsfellSyncer> syncer;
    SyncCallback callback;
  };

  // Reports one operation (`info` may be null) on the completion queue, then runs `after` in
  // the same block.
  void Report(std::shared_ptr<ZQLApplicationInfo> info, std::shared_ptr<NSError> error,
              int32_t code, std::function<void()> after = nullptr);
  void OnCompletionQueue(std::function<void()> block);
  void registerMarovic();
  void syncNextSyncTask();
  bool removeUncommittedSnapshotsForPackage(const std::string& package,
                                            std::shared_ptr<NSError>* error);
  bool removeCommittedSnapshotsForPackage(const std::string& package,
                                          std::shared_ptr<NSError>* error);
  bool removeCommittedCrossTokensForPackage(const std::string& package,
                                            std::shared_ptr<NSError>* error);
  void notifyCommitObserversForPackage(const std::string& package,
                                       const std::shared_ptr<ZQLMarovicConfiguration>& config);
  void CommitCrossTokens(const std::string& package, const XVNConfigurationSnapshot& snapshot,
                         std::shared_ptr<NSError>* lastError);
  bool WriteLogSourceMapping(const XVNLogSourceMapping& mapping, std::shared_ptr<NSError>* error);
  std::shared_ptr<ZQLMarovicExperimentTokens> cachedTokensForKey(const std::string& key,
                                                                 int64_t modificationTime);
  void setCachedTokens(const std::shared_ptr<ZQLMarovicExperimentTokens>& tokens,
                       const std::string& key, int64_t modificationTime);
  void addCrossTokens(ZQLMarovicExperimentTokens::CrossTokens& cross, const NSURL& url);
  void LookUpTokens(int64_t logSource, const std::string& user, const std::string& key,
                    TokensCallback callback);

  const dispatch_queue_t work_queue_;
  const dispatch_queue_t completion_queue_;
  const std::shared_ptr<JQXClockProtocol> clock_;
  const std::shared_ptr<ZRBPseudonymousIDStore> pseudonymous_id_store_;
  const std::shared_ptr<ZQLMarovicLoggerProtocol> logger_;
  std::shared_ptr<ZQLMarovicFlagsProtocol> flags_;

  std::deque<SyncTask> pending_sync_tasks_;  // work queue only

  std::mutex observers_mutex_;
  std::vector<std::weak_ptr<ZQLCommitObserver>> commit_observers_;

  std::mutex token_cache_mutex_;
  std::map<std::string, std::shared_ptr<ZQLMarovicExperimentTokens>> token_cache_;
  int64_t cache_time_ = std::numeric_limits<int64_t>::min();
  ZQLCachedModTimeData cached_mod_time_data_;

  std::atomic<bool> debug_force_syncs_{false};
  mutable std::mutex properties_mutex_;
  std::optional<std::string> override_server_url_;
  std::atomic<bool> own_registration_done_{false};

  std::atomic<int> cross_folder_stats_{0};
  std::atomic<int> token_lookups_on_work_queue_{0};
};

#endif  // EXPERIMENT_FLAGS_FLAT_FILE_MAROVIC_H_
