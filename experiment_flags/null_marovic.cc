#include "experiment_flags/null_marovic.h"

#include <atomic>
#include <mutex>

#include "experiment_flags/marovic_error.h"
#include "infra/log_multiplexer.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_file_manager.h"

namespace {

std::shared_ptr<NSError> NotCommitted() {
  std::shared_ptr<NSError> error;
  ZQLMarovicError::error(&error, ZQLMarovicErrorCodeNotCommitted);
  return error;
}

}  // namespace

void ZQLNullMarovic::syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService>,
                                               SyncCallback callback) {
  if (callback) callback(false, nullptr);
}

void ZQLNullMarovic::syncExperimentsWithServer(
    std::shared_ptr<ZQLMarovicAccountService>,
    std::shared_ptr<const ZQLMarovicSyncAfterConfiguration>, SyncCallback callback) {
  if (callback) callback(false, nullptr);
}

void ZQLNullMarovic::registerPackage(const std::string&, int64_t, const std::vector<int64_t>&,
                                     const std::optional<std::string>&, ErrorCallback callback) {
  if (callback) callback(nullptr);
}

void ZQLNullMarovic::registerPackage(const std::string&, const std::vector<int64_t>&,
                                     const std::optional<std::string>&, ErrorCallback callback) {
  if (callback) callback(nullptr);
}

void ZQLNullMarovic::unregisterPackage(const std::string&, ErrorCallback callback) {
  if (callback) callback(nullptr);
}

bool ZQLNullMarovic::packageRegistered(const std::string&, std::shared_ptr<NSError>*) {
  return true;
}

void ZQLNullMarovic::commitConfiguration(const std::string&, const std::string&,
                                         const std::optional<std::string>&, Committer committer) {
  committer(nullptr, NotCommitted());
}

void ZQLNullMarovic::peekConfiguration(const std::string&, const std::string&,
                                       const std::optional<std::string>&,
                                       ConfigurationCallback callback) {
  callback(nullptr, NotCommitted());
}

void ZQLNullMarovic::experimentTokens(int64_t, const std::string&, TokensCallback callback) {
  callback(nullptr, NotCommitted());
}

void ZQLNullMarovic::experimentTokens(int64_t, TokensCallback callback) {
  callback(nullptr, NotCommitted());
}

void ZQLNullMarovic::experimentTokensForCurrentBundleWithCallback(TokensCallback callback) {
  callback(nullptr, NotCommitted());
}

void ZQLNullMarovic::committedConfiguration(const std::string&, const std::string&,
                                            ConfigurationCallback callback) {
  callback(nullptr, NotCommitted());
}

void ZQLNullMarovic::committedConfiguration(const std::string&, ConfigurationCallback callback) {
  callback(nullptr, NotCommitted());
}

void ZQLNullMarovic::setExternalExperimentIDs(const std::vector<int64_t>&, const std::string&,
                                              int64_t, ErrorCallback callback) {
  if (callback) callback(nullptr);
}

namespace {

std::atomic<bool> shared_instance_made{false};

}  // namespace

std::shared_ptr<ZQLMarovic> ZQLMarovic::sharedInstance() {
  static const std::shared_ptr<ZQLMarovic> store = [] {
    shared_instance_made.store(true);
    return std::shared_ptr<ZQLMarovic>(std::make_shared<ZQLNullMarovic>());
  }();
  return store;
}

void ZQLMarovic::setDefaultDirectory(std::shared_ptr<NSURL> url) {
  NSAssert(!shared_instance_made.load(),
           "setDefaultDirectory should be called beforesharedInstance is initialized.");
  ZQLMarovicUtil::setDefaultDirectory(std::move(url));
}

void ZQLMarovic::useLocalCachesDirectory() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::shared_ptr<NSError> error;
    auto caches = NSFileManager::defaultManager()->URLForDirectory(
        NSCachesDirectory, NSUserDomainMask, nullptr, true, &error);
    if (caches == nullptr) {
      ZRB_LOG_MESSAGE(3, ZQLStandardZRBLogMetadata(), "Could not create caches directory: %@",
                      error);
      return;
    }
    ZQLMarovicUtil::setDefaultDirectory(caches->URLByAppendingPathComponent("ZQLMarovic", true));
  });
}

std::shared_ptr<NSURL> ZQLMarovic::defaultDirectory() {
  // Read through the utility without its app-group fallback.
  return ZQLMarovicUtil::configuredDefaultDirectory();
}
