// One sync run of the flag store against the experiment-configuration service.
//
// A run decides whether a sync is due and why (the fetch reason), takes the store-wide breakable
// lock so that one process syncs at a time, sends one request per account (the logged-out
// account first, then each signed-in account) naming every registered package with what the
// client holds, merges each answer into the package's uncommitted snapshot, keeps the
// pseudonymous cookie the service hands out, and records the run in the sync metadata:
//
//   auto syncer = ZQLDunsfellSyncer::initWithAccounts(accounts, nullptr, false, clock, idStore,
//                                                     nullptr, false, workQueue);
//   syncer->syncWithCallback([](bool attempted, auto error, bool aborted, auto info) { ... });
//
// The callback runs exactly once, on the callback queue or (when no request was made) on the
// calling thread. Fetch completions move to the callback queue, so all file work of a run is
// serialised with the store's other file work when the store passes its work queue. A missing
// network connection, or the lock broken by another process, aborts the run: the sync metadata
// is then left as it was, so the next check asks for a sync again.
#ifndef EXPERIMENT_FLAGS_DUNSFELL_SYNCER_H_
#define EXPERIMENT_FLAGS_DUNSFELL_SYNCER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "experiment_flags/breakable_lock.h"
#include "experiment_flags/configuration.h"
#include "experiment_flags/flag_store_log_event.pb.h"
#include "experiment_flags/flat_file_records.pb.h"
#include "experiment_flags/marovic.h"
#include "platform/dispatch/dispatch.h"
#include "usage_base/pseudonymous_id_store.h"
#include "usage_base/system_clock.h"

// The service's endpoint; tests reach the host through platform::fetcher::SetHostMap.
inline constexpr char kZQLDunsfellServiceHost[] = "dunsfell.brenvik.com";
inline constexpr char kZQLDunsfellServicePath[] =
    "/experimentsandconfigs/v1/getExperimentsAndConfigs";
// Accounts of this e-mail domain may be internal users.
inline constexpr char kZQLInternalEmailDomain[] = "@brenvik.com";

class ZQLDunsfellSyncer : public std::enable_shared_from_this<ZQLDunsfellSyncer> {
 public:
  // A scope as a comparable value: package and version.
  using Scope = std::pair<std::string, int64_t>;
  using Scopes = std::set<Scope>;
  using Packages = std::map<Scope, XVNPackageData>;
  using SyncCallback = std::function<void(bool attempted, std::shared_ptr<NSError> error,
                                          bool aborted,
                                          std::shared_ptr<ZQLDunsfellSyncInfo> syncInfo)>;

  // `overrideServerURL` and `allowHTTP` are kept but not used: requests always go to the
  // service's endpoint.
  static std::shared_ptr<ZQLDunsfellSyncer> initWithAccounts(
      std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts,
      std::shared_ptr<NSURL> overrideServerURL, bool allowHTTP,
      std::shared_ptr<JQXClockProtocol> clock,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
      std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> syncAfterConfiguration,
      bool debugForceSyncs, dispatch_queue_t callbackQueue);

  void syncWithCallback(SyncCallback callback);
  // The fetch reason of a run now; 0 when none is due or the metadata cannot be read (*error).
  int64_t fetchReason(std::shared_ptr<NSError>* error);
  std::shared_ptr<XVNSyncMetadata> syncMetadataWithError(std::shared_ptr<NSError>* error);
  std::shared_ptr<NSError> updateMetadataWithSyncedScopes(const Scopes& scopes);
  YRXClientProperties createClientProperties(const ZQLMarovicAccount& account);

  using ProcessCallback = std::function<void(std::shared_ptr<NSError> error, bool stop)>;
  // Writes the snapshots of the requested packages the answer covers (and of those it does not,
  // with their old answer); the callback runs before this returns.
  void processResponse(const YRXExperimentsAndConfigsResponse& response,
                       const ZQLMarovicAccount& account, Scopes& syncedScopes, Packages requested,
                       std::shared_ptr<NSError> requestError, ProcessCallback callback);

  static YRXApplicationResponse mergeResponse(const YRXApplicationResponse& old,
                                              const YRXApplicationResponse& update);
  static YRXParamPartition mergePartition(const YRXParamPartition* old,
                                          const YRXParamPartition& update);
  static bool isNoInternetError(const std::shared_ptr<NSError>& error);

  const std::shared_ptr<NSURL>& serverURL() const { return server_url_; }

  ZQLDunsfellSyncer(std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts, bool allowHTTP,
                    std::shared_ptr<JQXClockProtocol> clock,
                    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
                    std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> syncAfterConfiguration,
                    bool debugForceSyncs, dispatch_queue_t callbackQueue);

 private:
  using AccountCallback =
      std::function<void(std::shared_ptr<NSError> error, bool stop, ZQLDunsfellSingleSync sync)>;
  using AllAccountsCallback =
      std::function<void(bool attempted, std::shared_ptr<NSError> error, bool aborted)>;

  void syncAllAccounts(std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts, size_t index,
                       std::shared_ptr<Scopes> syncedScopes, int64_t reason,
                       std::shared_ptr<ZQLDunsfellSyncInfo> info,
                       std::shared_ptr<NSError> lastError, AllAccountsCallback callback);
  void syncAccount(std::shared_ptr<ZQLMarovicAccount> account,
                   std::shared_ptr<Scopes> syncedScopes, int64_t reason,
                   AccountCallback callback);
  // Whether the run still holds its lock (always true without one).
  bool StillLocked();
  void FinishRun(std::shared_ptr<Scopes> scopes, SyncCallback callback, bool attempted,
                 std::shared_ptr<NSError> error, bool aborted,
                 std::shared_ptr<ZQLDunsfellSyncInfo> info);

  const std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts_;
  const std::shared_ptr<NSURL> server_url_;
  const bool allow_http_;
  const std::shared_ptr<JQXClockProtocol> clock_;
  const std::shared_ptr<ZRBPseudonymousIDStore> pseudonymous_id_store_;
  const dispatch_queue_t callback_queue_;
  const std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> sync_after_configuration_;
  const bool debug_force_syncs_;
  std::shared_ptr<ZQLBreakableLock> lock_;
};

#endif  // EXPERIMENT_FLAGS_DUNSFELL_SYNCER_H_
