#include "experiment_flags/marovic.h"

#include <atomic>
#include <mutex>

#include "experiment_flags/flat_file_marovic.h"
#include "infra/log_multiplexer.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_file_manager.h"

namespace {

std::atomic<bool> shared_instance_made{false};

}  // namespace

std::shared_ptr<ZQLMarovic> ZQLMarovic::sharedInstance() {
  static const std::shared_ptr<ZQLMarovic> store = [] {
    shared_instance_made.store(true);
    return std::shared_ptr<ZQLMarovic>(ZQLFlatFileMarovic::init());
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
