#include "usage_log/file_utility.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <any>
#include <mutex>

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/utility/base_logger.h"
#include "usage_base/app_groups.h"

using platform::utility::LogError;

namespace {

std::mutex default_directory_mutex;
std::shared_ptr<NSURL>& DefaultDirectory() {
  static auto* directory = new std::shared_ptr<NSURL>;
  return *directory;
}

}  // namespace

void JQXTrassenFileUtility::setDefaultDirectory(std::shared_ptr<NSURL> url) {
  std::lock_guard<std::mutex> lock(default_directory_mutex);
  DefaultDirectory() = std::move(url);
}

std::shared_ptr<NSURL> JQXTrassenFileUtility::defaultLogDirectory() {
  std::shared_ptr<NSURL> base;
  {
    std::lock_guard<std::mutex> lock(default_directory_mutex);
    base = DefaultDirectory();
  }
  if (base == nullptr) base = zrb_brenvikSharedAppGroupContainer();
  if (base == nullptr) {
    // Logged, not asserted: a host without the app group still runs.
    LogError(__func__, "Trassen could not access Shared App Group: %@",
             {ZRBAppGroups::sharedAppGroupName()});
    return nullptr;
  }
  return base->URLByAppendingPathComponent("JQXTrassenLogger", true);
}

bool JQXTrassenFileUtility::ensureLogDirectory(const std::shared_ptr<NSURL>& url) {
  if (url == nullptr || !url->isFileURL()) return false;
  std::shared_ptr<NSError> error;
  if (!NSFileManager::defaultManager()->createDirectoryAtURL(*url, true, {}, &error)) {
    LogError(__func__, "Failed to create Trassen log directory: %@", {error});
    return false;
  }
  std::any excluded;
  bool known = url->getResourceValue(&excluded, NSURLIsExcludedFromBackupKey, nullptr);
  const bool* flag = std::any_cast<bool>(&excluded);
  if (!known || flag == nullptr || !*flag) {
    error.reset();
    if (!url->setResourceValue(true, NSURLIsExcludedFromBackupKey, &error)) {
      LogError(__func__, "Failed to exclude Trassen log from backup: %@", {error});
      return false;
    }
  }
  return true;
}

std::shared_ptr<NSURL> JQXTrassenFileUtility::uploaderStateFileInLogDirectory(
    const NSURL& directory) {
  return directory.URLByAppendingPathComponent("state", false);
}

std::shared_ptr<NSURL> JQXTrassenFileUtility::uploaderLockFileInLogDirectory(
    const NSURL& directory) {
  return directory.URLByAppendingPathComponent("uploader.lock", false);
}

std::unique_ptr<JQXUploaderState> JQXTrassenFileUtility::uploaderStateInLogDirectory(
    const NSURL& directory) {
  auto state = std::make_unique<JQXUploaderState>();
  auto bytes = NSDataWithContentsOfURL(*uploaderStateFileInLogDirectory(directory), nullptr);
  if (!bytes.has_value() || bytes->empty()) return state;
  if (!state->ParseFromArray(bytes->data(), static_cast<int>(bytes->size()))) {
    LogError(__func__, "Could not read Trassen state file: %@",
             {"the bytes are not a JQXUploaderState"});
    return std::make_unique<JQXUploaderState>();
  }
  return state;
}

std::optional<std::vector<std::shared_ptr<NSURL>>> JQXTrassenFileUtility::directoryContents(
    const NSURL& url) {
  std::shared_ptr<NSError> error;
  auto entries = NSFileManager::defaultManager()->contentsOfDirectoryAtURL(url, 0, &error);
  if (!entries.has_value()) {
    LogError(__func__, "Could not read contents of directory %@. Error: %@", {url, error});
  }
  return entries;
}

// --- JQXLogFile ----------------------------------------------------------------------------------

std::shared_ptr<JQXLogFile> JQXLogFile::initWithContext(
    std::shared_ptr<const JQXLogContext> context, std::shared_ptr<NSURL> url) {
  if (url == nullptr) return nullptr;
  struct statx info {};
  if (statx(AT_FDCWD, url->path().c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    return nullptr;
  }
  return std::make_shared<JQXLogFile>(std::move(context), std::move(url), info);
}

int64_t JQXLogFile::creationTimeMilliseconds() const {
  const struct statx_timestamp& time =
      (stat_info_.stx_mask & STATX_BTIME) != 0 ? stat_info_.stx_btime : stat_info_.stx_mtime;
  return time.tv_sec * 1000 + time.tv_nsec / 1000000;
}

uint64_t JQXLogFile::fileSize() const { return stat_info_.stx_size; }

// --- Locks ---------------------------------------------------------------------------------------

bool JQXFileLock::lock(std::shared_ptr<NSError>* error) {
  if (fd_ != -1) {
    NSAssert(false, "Trassen uploader lock already locked.");
    return true;
  }
  int fd = open(file_->path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd != -1 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    fd = -1;
  }
  if (fd == -1) {
    if (error != nullptr) {
      *error = NSError::errorWithDomain(kJQXTrassenErrorDomain, JQXTrassenErrorCodeUploaderLockHeld);
    }
    return false;
  }
  fd_ = fd;
  return true;
}

void JQXFileLock::unlock() {
  if (fd_ == -1) return;
  close(fd_);
  fd_ = -1;
}

std::shared_ptr<JQXUploaderLock> JQXFileLockProvider::makeUploaderLockForFile(const NSURL& file) {
  return std::make_shared<JQXFileLock>(NSURL::fileURLWithPath(file.path()));
}

std::shared_ptr<JQXUploaderLock> JQXNoOpLockProvider::makeUploaderLockForFile(const NSURL&) {
  return std::make_shared<JQXNoOpLock>();
}
