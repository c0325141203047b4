#include "experiment_flags/breakable_lock.h"

#include "base/saturating_arithmetic.h"
#include "experiment_flags/configuration.h"
#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/marovic_error.h"
#include "experiment_flags/zql_url.h"
#include "infra/log_multiplexer.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"

namespace {

std::vector<uint8_t> Bytes(const XVNBreakableLockData& stamp) {
  std::string text = stamp.SerializeAsString();
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace

std::shared_ptr<ZQLBreakableLock> ZQLBreakableLock::initWithFile(std::shared_ptr<NSURL> file,
                                                                  std::shared_ptr<ZRBClock> clock) {
  return std::make_shared<ZQLBreakableLock>(std::move(file), std::move(clock));
}

bool ZQLBreakableLock::lockWithError(std::shared_ptr<NSError>* error) {
  NSAssert(lock_data_ == nullptr, "Already locked!");
  if (lock_data_ != nullptr) return ZQLMarovicError::error(error, ZQLMarovicErrorCodeLockMisuse);

  auto stamp = std::make_shared<XVNBreakableLockData>();
  const int64_t now = clock_->uptimeMilliseconds();
  stamp->set_lock_uptime_milliseconds(now);
  return Take(stamp, error);
}

bool ZQLBreakableLock::Take(const std::shared_ptr<XVNBreakableLockData>& stamp,
                            std::shared_ptr<NSError>* error) {
  auto manager = NSFileManager::defaultManager();
  std::shared_ptr<NSError> cause;
  auto temporary = temporaryFileWithError(&cause);
  if (temporary == nullptr || !NSDataWriteToURL(Bytes(*stamp), *temporary, 0, &cause)) {
    if (error != nullptr) *error = cause;
    return ZQLMarovicError::fileError(error);
  }
  // The folder made for this attempt goes with it, whatever happens below.
  auto replacement_folder = temporary->URLByDeletingLastPathComponent()
                                ->URLByDeletingLastPathComponent();
  struct FolderRemover {
    std::shared_ptr<NSURL> folder;
    ~FolderRemover() { NSFileManager::defaultManager()->removeItemAtURL(*folder, nullptr); }
  } remover{replacement_folder};

  if (manager->moveItemAtURL(*temporary, *file_, nullptr)) {
    lock_data_ = stamp;
    return true;
  }
  if (!manager->removeItemAtURL(*temporary, nullptr)) {
    ZRB_LOG_MESSAGE(3, ZQLStandardZRBLogMetadata(), "Couldn't remove temporary file");
  }

  // The uptime now, not the stamp's: a competitor that stamped a moment after this object and
  // won the move must not look like a holder from before a restart.
  const int64_t now = clock_->uptimeMilliseconds();
  if (auto current = fileLockData()) {
    const int64_t held = current->lock_uptime_milliseconds();
    // Another application may have written any stamp: the sum saturates at the extremes.
    if (held <= now && now <= base::SaturatingAdd(held, kLeaseMilliseconds)) {
      return ZQLMarovicError::error(error, ZQLMarovicErrorCodeLockHeldElsewhere);
    }
  }
  // No readable stamp, an expired one, or one from before a restart: break the lock.
  cause = nullptr;
  if (!NSDataWriteToURL(Bytes(*stamp), *file_, NSDataWritingAtomic, &cause)) {
    if (error != nullptr) *error = cause;
    return ZQLMarovicError::fileError(error);
  }
  lock_data_ = stamp;
  return true;
}

bool ZQLBreakableLock::haveLock() {
  if (lock_data_ == nullptr) return false;
  auto current = fileLockData();
  if (current != nullptr &&
      current->lock_uptime_milliseconds() == lock_data_->lock_uptime_milliseconds()) {
    return true;
  }
  lock_data_ = nullptr;
  return false;
}

void ZQLBreakableLock::unlock() {
  if (!haveLock()) return;
  std::shared_ptr<NSError> error;
  if (!NSFileManager::defaultManager()->removeItemAtURL(*file_, &error)) {
    ZRB_LOG_MESSAGE(3, ZQLStandardZRBLogMetadata(), "Could not delete lock file: %@", error);
  }
  lock_data_ = nullptr;
}

std::shared_ptr<XVNBreakableLockData> ZQLBreakableLock::fileLockData() {
  auto bytes = NSDataWithContentsOfURL(*file_, nullptr);
  if (!bytes.has_value()) return nullptr;
  auto record = std::make_shared<XVNBreakableLockData>();
  if (record->ParseFromArray(bytes->data(), static_cast<int>(bytes->size()))) return record;
  ZRB_LOG_MESSAGE(3, ZQLStandardZRBLogMetadata(), "Lock file corrupt. Error = %@",
                  ZQLSnapshot::parseError(*file_));
  std::shared_ptr<NSError> error;
  if (!NSFileManager::defaultManager()->removeItemAtURL(*file_, &error)) {
    ZRB_LOG_MESSAGE(3, ZQLStandardZRBLogMetadata(), "Could not delete corrupt lock file: %@",
                    error);
  }
  return nullptr;
}

std::shared_ptr<NSURL> ZQLBreakableLock::temporaryFileWithError(std::shared_ptr<NSError>* error) {
  auto manager = NSFileManager::defaultManager();
  auto folder = manager->URLForDirectory(NSItemReplacementDirectory, NSUserDomainMask,
                                         file_.get(), true, error);
  if (folder == nullptr) return nullptr;
  folder = folder->URLByAppendingPathComponent("marovic", true);
  if (!manager->createDirectoryAtURL(*folder, true, {}, error)) return nullptr;
  return folder->URLByAppendingPathComponent(ZQLMarovicUtil::uuid(), false);
}
