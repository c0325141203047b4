#include "experiment_flags/dunsfell_syncer.h"

#include <algorithm>
#include <limits>

#include "base/saturating_arithmetic.h"
#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/marovic_error.h"
#include "experiment_flags/zql_url.h"
#include "platform/fetcher/http_fetcher.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/utility/base_logger.h"
#include "platform/utility/gzip.h"
#include "usage_base/client_info.h"

namespace {

constexpr int64_t kPeriodicSyncSeconds = 14400;
constexpr int32_t kClientTypeFlatFileMarovic = 65;
constexpr char kSyncAccountFunction[] = "ZQLDunsfellSyncer::syncAccount";

ZQLDunsfellSyncer::Scope ScopeOf(const YRXScope& scope) {
  return {scope.config_package(), scope.version_code()};
}

int64_t NowSeconds(JQXClockProtocol& clock) { return clock.currentTimeMilliseconds() / 1000; }

int32_t Clamp32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace

ZQLDunsfellSyncer::ZQLDunsfellSyncer(
    std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts, bool allowHTTP,
    std::shared_ptr<JQXClockProtocol> clock,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
    std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> syncAfterConfiguration,
    bool debugForceSyncs, dispatch_queue_t callbackQueue)
    : accounts_(std::move(accounts)),
      server_url_(NSURL::URLWithString(std::string("https://") + kZQLDunsfellServiceHost +
                                       kZQLDunsfellServicePath)),
      allow_http_(allowHTTP),
      clock_(std::move(clock)),
      pseudonymous_id_store_(std::move(pseudonymousIDStore)),
      callback_queue_(std::move(callbackQueue)),
      sync_after_configuration_(std::move(syncAfterConfiguration)),
      debug_force_syncs_(debugForceSyncs) {}

std::shared_ptr<ZQLDunsfellSyncer> ZQLDunsfellSyncer::initWithAccounts(
    std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts, std::shared_ptr<NSURL>,
    bool allowHTTP, std::shared_ptr<JQXClockProtocol> clock,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore,
    std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> syncAfterConfiguration,
    bool debugForceSyncs, dispatch_queue_t callbackQueue) {
  return std::make_shared<ZQLDunsfellSyncer>(std::move(accounts), allowHTTP, std::move(clock),
                                             std::move(pseudonymousIDStore),
                                             std::move(syncAfterConfiguration), debugForceSyncs,
                                             std::move(callbackQueue));
}

// --- Deciding ---------------------------------------------------------------------------------

std::shared_ptr<XVNSyncMetadata> ZQLDunsfellSyncer::syncMetadataWithError(
    std::shared_ptr<NSError>* error) {
  auto url = ZQLURL::sharedSubDirectoryWithName("uncommitted", "sync_metadata", error);
  if (url == nullptr) return nullptr;
  auto metadata = std::make_shared<XVNSyncMetadata>();
  if (!ZQLURL::fileExists(*url)) return metadata;
  auto bytes = ZQLURL::readFile(*url, error);
  if (!bytes.has_value()) return nullptr;
  // A corrupt record is replaced at the end of the next run.
  if (!metadata->ParseFromString(*bytes)) metadata->Clear();
  return metadata;
}

int64_t ZQLDunsfellSyncer::fetchReason(std::shared_ptr<NSError>* error) {
  auto metadata = syncMetadataWithError(error);
  if (metadata == nullptr) return YRXExperimentsAndConfigsRequest::Unspecified;

  if (sync_after_configuration_ != nullptr && sync_after_configuration_->servingVersion() >= 1) {
    const int64_t serving = sync_after_configuration_->servingVersion();
    if (serving == metadata->last_requested_serving_version()) {
      return YRXExperimentsAndConfigsRequest::Unspecified;
    }
    int64_t oldest = std::numeric_limits<int64_t>::max();
    std::vector<std::string> ids{""};
    for (const auto& account : accounts_) ids.push_back(account->obfuscatedHollinID());
    for (const auto& id : ids) {
      auto snapshot = ZQLSnapshot::uncommittedSnapshotForPackage(
          sync_after_configuration_->packageName(), id, nullptr);
      if (snapshot != nullptr) {
        oldest = std::min(oldest, snapshot->server_configuration_version());
      }
    }
    if (oldest < serving) return YRXExperimentsAndConfigsRequest::ApplicationPush;
  }

  const auto& synced_ids = metadata->synced_obfuscated_hollin_id();
  for (const auto& account : accounts_) {
    if (std::find(synced_ids.begin(), synced_ids.end(), account->obfuscatedHollinID()) ==
        synced_ids.end()) {
      return YRXExperimentsAndConfigsRequest::NewUser;
    }
  }

  for (const auto& url : ZQLURL::registrationURLsWithError(nullptr)) {
    auto bytes = ZQLURL::readFile(*url, nullptr);
    XVNRegistrationData registration;
    if (!bytes.has_value() || bytes->empty() || !registration.ParseFromString(*bytes)) continue;
    bool package_known = false;
    bool version_known = false;
    for (const YRXScope& scope : metadata->synced_scope()) {
      if (scope.config_package() != registration.config_package()) continue;
      package_known = true;
      if (scope.version_code() == registration.version_code()) version_known = true;
    }
    if (!package_known) return YRXExperimentsAndConfigsRequest::NewApplication;
    if (!version_known) return YRXExperimentsAndConfigsRequest::NewRegisterVersion;
  }

  const int64_t now = NowSeconds(*clock_);
  const bool has_time = accounts_.empty() ? metadata->has_logged_out_sync_time_seconds()
                                          : metadata->has_full_sync_time_seconds();
  const int64_t last = accounts_.empty() ? metadata->logged_out_sync_time_seconds()
                                         : metadata->full_sync_time_seconds();
  // Another application may have stored any time: the sum saturates at the extremes.
  if (!has_time || now < last || now > base::SaturatingAdd(last, kPeriodicSyncSeconds)) {
    return YRXExperimentsAndConfigsRequest::Periodic;
  }
  return YRXExperimentsAndConfigsRequest::Unspecified;
}

// --- Running ----------------------------------------------------------------------------------

void ZQLDunsfellSyncer::syncWithCallback(SyncCallback callback) {
  std::shared_ptr<NSError> error;
  int64_t reason = fetchReason(&error);
  if (reason == 0) return callback(false, error, false, nullptr);

  auto file = ZQLURL::sharedSubDirectoryWithName("global", "lock", &error);
  if (file == nullptr) return callback(false, error, false, nullptr);
  lock_ = ZQLBreakableLock::initWithFile(file, clock_);
  if (!lock_->lockWithError(&error)) {
    lock_ = nullptr;
    return callback(false, error, false, nullptr);
  }
  // Another process may have synced while this one waited for the lock.
  error = nullptr;
  reason = fetchReason(&error);
  if (reason == 0) {
    lock_->unlock();
    lock_ = nullptr;
    return callback(false, error, false, nullptr);
  }

  std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts{
      std::make_shared<ZQLMarovicLoggedOutAccount>()};
  accounts.insert(accounts.end(), accounts_.begin(), accounts_.end());
  auto info = std::make_shared<ZQLDunsfellSyncInfo>();
  info->set_client_type(YRXExperimentsAndConfigsRequest::IosFlatFileMarovic);
  info->set_fetch_reason(static_cast<YRXExperimentsAndConfigsRequest::FetchReason>(reason));
  info->set_host_application_name(NSBundle::mainBundle()->bundleIdentifier());
  auto scopes = std::make_shared<Scopes>();
  auto self = shared_from_this();
  syncAllAccounts(std::move(accounts), 0, scopes, reason, info, nullptr,
                  [self, scopes, info, callback](bool attempted, std::shared_ptr<NSError> error,
                                                 bool aborted) {
                    self->FinishRun(scopes, callback, attempted, error, aborted, info);
                  });
}

void ZQLDunsfellSyncer::FinishRun(std::shared_ptr<Scopes> scopes, SyncCallback callback,
                                  bool attempted, std::shared_ptr<NSError> error, bool aborted,
                                  std::shared_ptr<ZQLDunsfellSyncInfo> info) {
  std::shared_ptr<NSError> metadata_error;
  if (!aborted) metadata_error = updateMetadataWithSyncedScopes(*scopes);
  if (lock_ != nullptr) lock_->unlock();
  lock_ = nullptr;
  callback(attempted, metadata_error ? metadata_error : error, aborted, std::move(info));
}

bool ZQLDunsfellSyncer::StillLocked() { return lock_ == nullptr || lock_->haveLock(); }

void ZQLDunsfellSyncer::syncAllAccounts(std::vector<std::shared_ptr<ZQLMarovicAccount>> accounts,
                                        size_t index, std::shared_ptr<Scopes> syncedScopes,
                                        int64_t reason,
                                        std::shared_ptr<ZQLDunsfellSyncInfo> info,
                                        std::shared_ptr<NSError> lastError,
                                        AllAccountsCallback callback) {
  if (index >= accounts.size()) return callback(true, lastError, false);
  const int64_t started = clock_->uptimeMilliseconds();
  auto self = shared_from_this();
  auto account = accounts[index];
  syncAccount(account, syncedScopes, reason,
              [self, accounts = std::move(accounts), index, syncedScopes, reason, info, lastError,
               callback, started](std::shared_ptr<NSError> error, bool stop,
                                  ZQLDunsfellSingleSync single) mutable {
                single.set_single_sync_latency_ms(
                    Clamp32(self->clock_->uptimeMilliseconds() - started));
                if (error != nullptr && !single.has_single_sync_error_type()) {
                  single.set_single_sync_error_type(ZQLDunsfellSingleSync::UnknownError);
                }
                *info->add_single_sync() = single;
                if (stop) return callback(true, error, true);
                self->syncAllAccounts(std::move(accounts), index + 1, syncedScopes, reason, info,
                                      error ? error : lastError, callback);
              });
}

void ZQLDunsfellSyncer::syncAccount(std::shared_ptr<ZQLMarovicAccount> account,
                                    std::shared_ptr<Scopes> syncedScopes, int64_t reason,
                                    AccountCallback callback) {
  ZQLDunsfellSingleSync single;
  const std::string id = account->obfuscatedHollinID();
  single.set_request_type(id.empty() ? ZQLDunsfellSingleSync::LoggedOut
                                     : ZQLDunsfellSingleSync::LoggedIn);

  std::shared_ptr<NSError> error;
  auto registrations = ZQLURL::registrationURLsWithError(&error);
  if (error != nullptr) {
    single.set_single_sync_error_type(ZQLDunsfellSingleSync::URLInvalid);
    return callback(error, false, single);
  }
  std::shared_ptr<NSError> request_error;
  Packages packages;
  for (const auto& url : registrations) {
    auto bytes = ZQLURL::readFile(*url, nullptr);
    if (!bytes.has_value() || bytes->empty()) continue;
    XVNRegistrationData registration;
    if (!registration.ParseFromString(*bytes)) {
      request_error = ZQLSnapshot::parseError(*url);
      platform::utility::LogError(kSyncAccountFunction, "Corrupt Marovic registration: %@",
                                  {request_error});
      continue;
    }
    std::shared_ptr<NSError> snapshot_error;
    auto snapshot = ZQLSnapshot::uncommittedSnapshotForPackage(registration.config_package(), id,
                                                               &snapshot_error);
    if (snapshot == nullptr) {
      platform::utility::LogError(kSyncAccountFunction, "Corrupt Marovic snapshot: %@",
                                  {snapshot_error});
      request_error = snapshot_error;
      snapshot = std::make_shared<XVNConfigurationSnapshot>();
      snapshot->set_obfuscated_hollin_id(id);
    }
    XVNPackageData data;
    data.mutable_scope()->set_config_package(registration.config_package());
    data.mutable_scope()->set_version_code(registration.version_code());
    *data.mutable_registration() = registration;
    *data.mutable_snapshot() = *snapshot;
    packages[ScopeOf(data.scope())] = std::move(data);
  }

  YRXExperimentsAndConfigsRequest request;
  *request.mutable_client_properties() = createClientProperties(*account);
  for (const auto& [scope, data] : packages) {
    YRXApplicationRequest* application = request.add_application_request();
    *application->mutable_scope() = data.scope();
    if (data.registration().has_application_properties()) {
      application->set_application_properties(data.registration().application_properties());
    }
    const YRXApplicationResponse& held = data.snapshot().dunsfell_response();
    for (const YRXParamPartition& partition : held.param_partition()) {
      *application->add_param_partition_tag() = partition.param_partition_tag();
    }
    if (held.has_tokens_tag()) application->set_tokens_tag(held.tokens_tag());
  }
  request.set_client_type(kClientTypeFlatFileMarovic);
  request.set_fetch_reason(static_cast<YRXExperimentsAndConfigsRequest::FetchReason>(reason));

  auto http = NSMutableURLRequest::requestWithURL(server_url_->absoluteString());
  http->setValue("application/x-protobuf", "Content-Type");
  http->setValue("gzip", "Content-Encoding");
  if (auto own = ZQLSnapshot::committedSnapshotForPackage(ZQLMarovicUtil::marovicPackageName(),
                                                          "", nullptr)) {
    const std::string& token = own->dunsfell_response().server_trigger_token();
    if (!token.empty()) http->setValue(token, "X-SERVER-TOKEN");
  }
  http->setHTTPMethod("POST");

  std::shared_ptr<platform::fetcher::Authorizer> authorizer;
  if (!id.empty()) {
    std::shared_ptr<NSError> auth_error;
    authorizer = account->authorization(&auth_error);
    if (authorizer == nullptr) {
      platform::utility::LogError(kSyncAccountFunction, "Could not retrieve credentials for %@",
                                  {account->email()});
      single.set_single_sync_error_type(ZQLDunsfellSingleSync::AuthTokenInvalid);
      return callback(auth_error, false, single);
    }
  }

  auto fetcher = platform::fetcher::Fetcher::fetcherWithRequest(http);
  const std::string encoded = request.SerializeAsString();
  std::shared_ptr<NSError> gzip_error;
  auto body = platform::utility::GzipData(std::vector<uint8_t>(encoded.begin(), encoded.end()),
                                          &gzip_error);
  if (!body.has_value()) return callback(gzip_error, false, single);
  fetcher->setBodyData(std::move(*body));
  fetcher->setAuthorizer(authorizer);
  const int64_t sent = clock_->uptimeMilliseconds();
  auto self = shared_from_this();
  fetcher->beginFetchWithCompletionHandler(
      [self, account, syncedScopes, packages = std::move(packages), request_error, callback,
       single, sent](std::optional<std::vector<uint8_t>> data,
                     std::shared_ptr<NSError> fetch_error) mutable {
        dispatch_async(self->callback_queue_, [self, account, syncedScopes,
                                               packages = std::move(packages), request_error,
                                               callback, single, sent, data = std::move(data),
                                               fetch_error]() mutable {
          single.set_network_latency_ms(Clamp32(self->clock_->uptimeMilliseconds() - sent));
          if (fetch_error != nullptr) {
            if (fetch_error->domain() == NSURLErrorDomain) {
              switch (fetch_error->code()) {
                case NSURLErrorBadServerResponse:
                  single.set_single_sync_error_type(ZQLDunsfellSingleSync::ServerError);
                  break;
                case NSURLErrorBadURL:
                  single.set_single_sync_error_type(ZQLDunsfellSingleSync::URLInvalid);
                  break;
                case NSURLErrorNotConnectedToInternet:
                  single.set_single_sync_error_type(ZQLDunsfellSingleSync::Network);
                  break;
              }
            } else if (fetch_error->domain() == platform::fetcher::kFetcherStatusDomain) {
              single.set_server_status_code(static_cast<int32_t>(fetch_error->code()));
            }
          }
          if (!self->StillLocked()) {
            std::shared_ptr<NSError> broken;
            ZQLMarovicError::error(&broken, ZQLMarovicErrorCodeLockHeldElsewhere);
            return callback(broken, true, single);
          }
          if (fetch_error != nullptr) {
            return callback(fetch_error, isNoInternetError(fetch_error), single);
          }
          YRXExperimentsAndConfigsResponse response;
          if (!data.has_value() ||
              !response.ParseFromArray(data->data(), static_cast<int>(data->size()))) {
            return callback(ZQLSnapshot::parseError(*self->server_url_), false, single);
          }
          if (!response.pseudonymous_cookie().empty()) {
            self->pseudonymous_id_store_->setPseudonymousIDWithoutCheckingEnabledStatus(
                response.pseudonymous_cookie());
          }
          self->processResponse(response, *account, *syncedScopes, std::move(packages),
                                request_error,
                                [callback, single](std::shared_ptr<NSError> error, bool stop) {
                                  callback(error, stop, single);
                                });
        });
      });
}

YRXClientProperties ZQLDunsfellSyncer::createClientProperties(const ZQLMarovicAccount& account) {
  YRXClientProperties properties;
  const std::string id = account.obfuscatedHollinID();
  properties.set_user_id(id.empty() ? 0 : 1);
  if (auto cookie = pseudonymous_id_store_->pseudonymousIDWithoutCheckingEnabledStatus()) {
    properties.set_pseudonymous_cookie(*cookie);
  }
  const std::string email = id.empty() ? "" : account.email();
  const std::string domain = kZQLInternalEmailDomain;
  properties.set_is_maybe_internal_user(
      email.size() > domain.size() &&
      email.compare(email.size() - domain.size(), domain.size(), domain) == 0);
  *properties.mutable_client_info() = *JQXClientInfoMaker().makeClientInfo();
  if (auto url = ZQLURL::sharedSubDirectoryWithName("global", "data", nullptr)) {
    if (auto bytes = ZQLURL::readFile(*url, nullptr)) {
      XVNGlobalData global;
      if (global.ParseFromString(*bytes) && global.has_dogfood_token()) {
        properties.set_dogfood_token(global.dogfood_token());
      }
    }
  }
  return properties;
}

// --- Applying an answer -----------------------------------------------------------------------

void ZQLDunsfellSyncer::processResponse(const YRXExperimentsAndConfigsResponse& response,
                                        const ZQLMarovicAccount& account, Scopes& syncedScopes,
                                        Packages requested, std::shared_ptr<NSError> requestError,
                                        ProcessCallback callback) {
  const std::string id = account.obfuscatedHollinID();
  std::shared_ptr<NSError> last_error = std::move(requestError);

  // from package -> to package -> tokens handed over.
  std::map<std::string, std::map<std::string, XVNCrossExperimentTokens>> cross;
  for (const YRXApplicationResponse& application : response.application_response()) {
    const std::string& to = application.scope().config_package();
    for (const YRXCrossAppDescriptor& descriptor : application.cross_app_descriptor()) {
      const std::string& from = descriptor.from_scope().config_package();
      XVNCrossExperimentTokens& tokens = cross[from][to];
      tokens.set_from_config_package(from);
      tokens.set_from_obfuscated_hollin_id(id);
      tokens.set_to_config_package(to);
      XVNCrossExperimentToken* token = tokens.add_token();
      token->set_experiment_token(descriptor.experiment_token());
      token->set_provenance(descriptor.provenance());
    }
  }

  // Updates the package's snapshot and writes it; false when the run must stop.
  auto store = [&](XVNPackageData& data, const YRXApplicationResponse* answer) {
    XVNConfigurationSnapshot& snapshot = *data.mutable_snapshot();
    const std::string& package = data.scope().config_package();
    if (answer != nullptr) {
      *snapshot.mutable_dunsfell_response() = mergeResponse(snapshot.dunsfell_response(), *answer);
    }
    // This answer's tokens replace the old ones, also for a package it leaves out.
    snapshot.clear_cross_tokens();
    if (auto it = cross.find(package); it != cross.end()) {
      for (const auto& [to, tokens] : it->second) (*snapshot.mutable_cross_tokens())[to] = tokens;
    }
    snapshot.set_obfuscated_hollin_id(id);
    snapshot.set_snapshot_token(ZQLMarovicUtil::uuid());
    snapshot.set_server_configuration_version(response.server_configuration_version());
    snapshot.set_sync_time_seconds(NowSeconds(*clock_));
    std::shared_ptr<NSError> error;
    auto url = ZQLURL::uncommittedURLForPackage(package, id, &error);
    if (url == nullptr) {
      last_error = error;
      return true;
    }
    if (!StillLocked()) return false;
    if (!ZQLURL::writeData(snapshot.SerializeAsString(), *url, &error)) {
      last_error = error;
    }
    return true;
  };

  auto stop = [&callback] {
    std::shared_ptr<NSError> broken;
    ZQLMarovicError::error(&broken, ZQLMarovicErrorCodeLockHeldElsewhere);
    callback(broken, true);
  };
  for (const YRXApplicationResponse& application : response.application_response()) {
    auto it = requested.find(ScopeOf(application.scope()));
    if (it == requested.end()) continue;
    XVNPackageData data = std::move(it->second);
    requested.erase(it);
    syncedScopes.insert(ScopeOf(data.scope()));
    if (!store(data, &application)) return stop();
  }
  // Asked for but not answered: the snapshot is renewed with its old response.
  for (auto& [scope, data] : requested) {
    syncedScopes.insert(scope);
    if (!store(data, nullptr)) return stop();
  }
  callback(last_error, false);
}

YRXApplicationResponse ZQLDunsfellSyncer::mergeResponse(const YRXApplicationResponse& old,
                                                        const YRXApplicationResponse& update) {
  std::map<int64_t, YRXParamPartition> partitions;
  for (const YRXParamPartition& partition : old.param_partition()) {
    partitions[partition.param_partition_tag().id()] = partition;
  }
  for (const YRXParamPartition& partition : update.param_partition()) {
    const int64_t id = partition.param_partition_tag().id();
    switch (partition.update_type()) {
      case YRXParamPartition::Replace:
        partitions[id] = partition;
        break;
      case YRXParamPartition::Patch: {
        auto it = partitions.find(id);
        partitions[id] = mergePartition(it == partitions.end() ? nullptr : &it->second, partition);
        break;
      }
      case YRXParamPartition::Delete:
        partitions.erase(id);
        break;
    }
  }
  YRXApplicationResponse merged = old.has_tokens_tag() && !update.has_tokens_tag() ? old : update;
  merged.clear_param_partition();
  for (auto& [id, partition] : partitions) *merged.add_param_partition() = std::move(partition);
  return merged;
}

YRXParamPartition ZQLDunsfellSyncer::mergePartition(const YRXParamPartition* old,
                                                    const YRXParamPartition& update) {
  std::map<std::string, YRXParam> params;
  if (old != nullptr) {
    for (const YRXParam& param : old->param()) params[param.name()] = param;
  }
  for (const YRXParam& param : update.param()) {
    if (param.deleted()) {
      params.erase(param.name());
    } else {
      params[param.name()] = param;
    }
  }
  YRXParamPartition merged;
  *merged.mutable_param_partition_tag() = update.param_partition_tag();
  for (auto& [name, param] : params) *merged.add_param() = std::move(param);
  return merged;
}

std::shared_ptr<NSError> ZQLDunsfellSyncer::updateMetadataWithSyncedScopes(const Scopes& scopes) {
  std::shared_ptr<NSError> error;
  auto metadata = syncMetadataWithError(&error);
  if (metadata == nullptr) return error;
  const int64_t now = NowSeconds(*clock_);
  metadata->set_logged_out_sync_time_seconds(now);
  if (!accounts_.empty()) metadata->set_full_sync_time_seconds(now);
  for (const auto& account : accounts_) {
    const std::string id = account->obfuscatedHollinID();
    const auto& ids = metadata->synced_obfuscated_hollin_id();
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
      metadata->add_synced_obfuscated_hollin_id(id);
    }
  }
  Scopes known;
  for (const YRXScope& scope : metadata->synced_scope()) known.insert(ScopeOf(scope));
  for (const Scope& scope : scopes) {
    if (known.insert(scope).second) {
      YRXScope* added = metadata->add_synced_scope();
      added->set_config_package(scope.first);
      added->set_version_code(scope.second);
    }
  }
  if (sync_after_configuration_ != nullptr && sync_after_configuration_->servingVersion() > 0) {
    metadata->set_last_requested_serving_version(sync_after_configuration_->servingVersion());
  }
  if (!ZQLURL::writeDataToSharedDirectory(metadata->SerializeAsString(), "uncommitted",
                                          "sync_metadata", &error)) {
    return error;
  }
  return nullptr;
}

bool ZQLDunsfellSyncer::isNoInternetError(const std::shared_ptr<NSError>& error) {
  return error != nullptr && error->domain() == NSURLErrorDomain &&
         error->code() == NSURLErrorNotConnectedToInternet;
}
