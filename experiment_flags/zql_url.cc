#include "experiment_flags/zql_url.h"

#include <errno.h>

#include <mutex>

#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/marovic_error.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/utility/base_logger.h"
#include "usage_base/app_groups.h"

namespace {

constexpr char kRootFolder[] = "ZQLMarovic";
constexpr char kSharedFolder[] = "flat_file";
constexpr char kLocalFolder[] = "flat_file_local";
constexpr char kLoggedOutFolder[] = "logged_out";

std::mutex backup_mutex;
bool excluded_from_backup = false;

// A file error for a name the store refuses; the cause says why.
std::shared_ptr<NSError> UnsafeNameError(const std::string& name) {
  std::shared_ptr<NSError> error = NSError::errorWithDomain(
      NSPOSIXErrorDomain, EINVAL,
      {{NSLocalizedDescriptionKey, std::string("Not a file name of the store: \"") + name + "\""}});
  ZQLMarovicError::fileError(&error);
  return error;
}

bool MakeFolder(const NSURL& url, std::shared_ptr<NSError>* error) {
  std::shared_ptr<NSError> cause;
  if (NSFileManager::defaultManager()->createDirectoryAtURL(url, true, {}, &cause)) return true;
  if (error != nullptr) *error = cause;
  return ZQLMarovicError::fileError(error);
}

std::shared_ptr<NSURL> FileInFolder(std::shared_ptr<NSURL> folder, const std::string& fileName,
                                    std::shared_ptr<NSError>* error) {
  if (folder == nullptr) return nullptr;
  if (!ZQLURL::isSafeFileName(fileName)) {
    if (error != nullptr) *error = UnsafeNameError(fileName);
    return nullptr;
  }
  return folder->URLByAppendingPathComponent(fileName + ".pb", false);
}

ZQLURL::URLs ListFolder(std::shared_ptr<NSURL> folder, std::shared_ptr<NSError>* error) {
  if (folder == nullptr) return {};
  return ZQLURL::protoFilesAtURL(*folder, error);
}

bool WriteRecord(const std::string& data, const std::shared_ptr<NSURL>& url,
                 std::shared_ptr<NSError>* error) {
  if (url == nullptr) return false;
  std::shared_ptr<NSError> cause;
  std::vector<uint8_t> bytes(data.begin(), data.end());
  if (NSDataWriteToURL(bytes, *url, NSDataWritingAtomic, &cause)) return true;
  if (error != nullptr) *error = cause;
  return ZQLMarovicError::fileError(error);
}

}  // namespace

bool ZQLURL::isSafeFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::shared_ptr<NSURL> ZQLURL::sharedDirectoryWithError(std::shared_ptr<NSError>* error) {
  std::shared_ptr<NSURL> base = ZQLMarovicUtil::defaultMarovicDirectory();
  if (base == nullptr) {
    ZQLMarovicError::error(error, ZQLMarovicErrorCodeNoDefaultDirectory);
    return nullptr;
  }
  auto root = base->URLByAppendingPathComponent(kRootFolder, true)
                  ->URLByAppendingPathComponent(kSharedFolder, true);
  if (!MakeFolder(*root, error)) return nullptr;
  std::lock_guard<std::mutex> lock(backup_mutex);
  if (!excluded_from_backup) {
    std::shared_ptr<NSError> cause;
    if (root->setResourceValue(true, NSURLIsExcludedFromBackupKey, &cause)) {
      excluded_from_backup = true;
    } else {
      platform::utility::LogError(
          __func__, "Failed to exclude existing Marovic flat file folder from back up: %@",
          {cause});
    }
  }
  return root;
}

void ZQLURL::removeStaleTemporaries() {
  // The deepest records are uncommitted/<account>/<package>.pb.
  constexpr int kDepth = 2;
  // Quietly: a missing directory is reported where the store first needs it.
  auto base = ZQLMarovicUtil::configuredDefaultDirectory();
  if (base == nullptr) base = zrb_brenvikSharedAppGroupContainer();
  if (base != nullptr) {
    platform::foundation::RemoveStaleAtomicWriteTemporaries(
        base->URLByAppendingPathComponent(kRootFolder, true)
            ->URLByAppendingPathComponent(kSharedFolder, true)
            ->path(),
        kDepth);
  }
  if (auto caches = NSFileManager::defaultManager()->URLForDirectory(
          NSCachesDirectory, NSUserDomainMask, nullptr, false, nullptr)) {
    platform::foundation::RemoveStaleAtomicWriteTemporaries(
        caches->URLByAppendingPathComponent(kRootFolder, true)
            ->URLByAppendingPathComponent(kLocalFolder, true)
            ->path(),
        kDepth);
  }
}

void ZQLURL::resetBackupExclusionForTesting() {
  std::lock_guard<std::mutex> lock(backup_mutex);
  excluded_from_backup = false;
}

std::shared_ptr<NSURL> ZQLURL::sharedSubDirectoryWithName(const std::string& name,
                                                          std::shared_ptr<NSError>* error) {
  auto root = sharedDirectoryWithError(error);
  if (root == nullptr) return nullptr;
  auto folder = root->URLByAppendingPathComponent(name, true);
  return MakeFolder(*folder, error) ? folder : nullptr;
}

std::shared_ptr<NSURL> ZQLURL::sharedSubDirectoryWithName(const std::string& name,
                                                          const std::string& fileName,
                                                          std::shared_ptr<NSError>* error) {
  return FileInFolder(sharedSubDirectoryWithName(name, error), fileName, error);
}

std::shared_ptr<NSURL> ZQLURL::localDirectoryWithError(std::shared_ptr<NSError>* error) {
  std::shared_ptr<NSError> cause;
  auto caches = NSFileManager::defaultManager()->URLForDirectory(NSCachesDirectory,
                                                                 NSUserDomainMask, nullptr, true,
                                                                 &cause);
  if (caches == nullptr) {
    platform::utility::LogError(__func__, "Could not create Marovic cache directory");
    if (error != nullptr) *error = cause;
    ZQLMarovicError::fileError(error);
    return nullptr;
  }
  return caches->URLByAppendingPathComponent(kRootFolder, true)
      ->URLByAppendingPathComponent(kLocalFolder, true);
}

std::shared_ptr<NSURL> ZQLURL::localSubDirectory(const std::string& name,
                                                 std::shared_ptr<NSError>* error) {
  auto root = localDirectoryWithError(error);
  if (root == nullptr) return nullptr;
  auto folder = root->URLByAppendingPathComponent(name, true);
  return MakeFolder(*folder, error) ? folder : nullptr;
}

std::shared_ptr<NSURL> ZQLURL::localSubDirectory(const std::string& name,
                                                 const std::string& fileName,
                                                 std::shared_ptr<NSError>* error) {
  return FileInFolder(localSubDirectory(name, error), fileName, error);
}

std::shared_ptr<NSURL> ZQLURL::uncommittedURLForPackage(const std::string& package,
                                                        const std::string& obfuscatedHollinID,
                                                        std::shared_ptr<NSError>* error) {
  const std::string account = obfuscatedHollinID.empty() ? kLoggedOutFolder : obfuscatedHollinID;
  if (!isSafeFileName(account)) {
    if (error != nullptr) *error = UnsafeNameError(account);
    return nullptr;
  }
  auto uncommitted = sharedSubDirectoryWithName("uncommitted", error);
  if (uncommitted == nullptr) return nullptr;
  auto folder = uncommitted->URLByAppendingPathComponent(account, true);
  if (!MakeFolder(*folder, error)) return nullptr;
  return FileInFolder(folder, package, error);
}

ZQLURL::URLs ZQLURL::registrationURLsWithError(std::shared_ptr<NSError>* error) {
  return ListFolder(sharedSubDirectoryWithName("registration", error), error);
}

ZQLURL::URLs ZQLURL::crossExperimentTokenURLsWithError(std::shared_ptr<NSError>* error) {
  return ListFolder(sharedSubDirectoryWithName("cross", error), error);
}

ZQLURL::URLs ZQLURL::committedURLsWithError(std::shared_ptr<NSError>* error) {
  return ListFolder(sharedSubDirectoryWithName("committed", error), error);
}

ZQLURL::URLs ZQLURL::localCommittedURLsWithError(std::shared_ptr<NSError>* error) {
  return ListFolder(localSubDirectory("committed", error), error);
}

ZQLURL::URLs ZQLURL::protoFilesAtURL(const NSURL& url, std::shared_ptr<NSError>* error) {
  std::shared_ptr<NSError> cause;
  auto entries = NSFileManager::defaultManager()->contentsOfDirectoryAtURL(
      url, NSDirectoryEnumerationSkipsHiddenFiles, &cause);
  if (!entries.has_value()) {
    if (error != nullptr) *error = cause;
    ZQLMarovicError::fileError(error);
    return {};
  }
  URLs files;
  for (auto& entry : *entries) {
    if (entry->pathExtension() == "pb") files.push_back(std::move(entry));
  }
  return files;
}

bool ZQLURL::writeDataToSharedDirectory(const std::string& data, const std::string& directory,
                                        const std::string& fileName,
                                        std::shared_ptr<NSError>* error) {
  return WriteRecord(data, sharedSubDirectoryWithName(directory, fileName, error), error);
}

bool ZQLURL::writeDataToLocalDirectory(const std::string& data, const std::string& directory,
                                       const std::string& fileName,
                                       std::shared_ptr<NSError>* error) {
  return WriteRecord(data, localSubDirectory(directory, fileName, error), error);
}

bool ZQLURL::writeData(const std::string& data, const NSURL& url,
                       std::shared_ptr<NSError>* error) {
  return WriteRecord(data, std::make_shared<NSURL>(url), error);
}

std::optional<std::string> ZQLURL::readFile(const NSURL& url, std::shared_ptr<NSError>* error) {
  std::shared_ptr<NSError> cause;
  auto bytes = NSDataWithContentsOfURL(url, &cause);
  if (!bytes.has_value()) {
    if (error != nullptr) *error = cause;
    ZQLMarovicError::fileError(error);
    return std::nullopt;
  }
  return std::string(bytes->begin(), bytes->end());
}

bool ZQLURL::fileExists(const NSURL& url) {
  return NSFileManager::defaultManager()->fileExistsAtPath(url.path());
}
