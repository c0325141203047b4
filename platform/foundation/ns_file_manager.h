// NSFileManager: files and folders of the local file system.
//
// Every operation is a thin layer over POSIX calls and may be used from any thread, on the
// shared `defaultManager()` or on an instance of its own. Failures answer false (or none) and
// fill the error out-parameter with an NSCocoaErrorDomain error: the failed path under
// NSFilePathErrorKey and the POSIX cause (NSPOSIXErrorDomain, code = errno) under
// NSUnderlyingErrorKey. Codes:
//   NSFileNoSuchFileError (4)          the item to remove, copy or move is missing
//   NSFileReadNoSuchFileError (260)    a listing or attribute read of a missing item
//   NSFileReadNoPermissionError (257)  a read refused by permissions
//   NSFileWriteFileExistsError (516)   the destination of a copy, move or folder exists
//   NSFileWriteNoPermissionError (513), NSFileWriteOutOfSpaceError (640),
//   NSFileReadUnknownError (256), NSFileWriteUnknownError (512) for everything else.
//
//   auto manager = NSFileManager::defaultManager();
//   std::shared_ptr<NSError> error;
//   auto caches = manager->URLForDirectory(NSCachesDirectory, NSUserDomainMask, nullptr,
//                                          true, &error);
//   auto folder = caches->URLByAppendingPathComponent("JQXTrassenLogger", true);
//   manager->createDirectoryAtURL(*folder, true, {}, &error);
//
// What the platform's behaviour leaves open is fixed here so that tests are deterministic:
// listings come sorted by name; a move never replaces its destination (renameat2 with
// RENAME_NOREPLACE; across file systems a copy, refused the same way, then a removal); a copy
// copies folders recursively, keeps permission bits and copies symbolic links as links.
//
// Backup exclusion is the extended attribute "user.quillmere.excluded_from_backup". File systems
// without user attributes (tmpfs before Linux 6.6, some network file systems) refuse it, and
// reading or writing the resource value then fails with the POSIX cause ENOTSUP.
//
// Birth time comes from statx; file systems that do not record it give no NSFileCreationDate
// (and an empty NSURLCreationDateKey value) rather than a made-up date.
#ifndef PLATFORM_FOUNDATION_NS_FILE_MANAGER_H_
#define PLATFORM_FOUNDATION_NS_FILE_MANAGER_H_

#include <any>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"
#include "platform/foundation/sandbox.h"

// Attribute keys and values.
extern const char* const NSFileType;  // std::string, one of the types below
extern const char* const NSFileTypeDirectory;
extern const char* const NSFileTypeRegular;
extern const char* const NSFileTypeSymbolicLink;
extern const char* const NSFileTypeUnknown;
extern const char* const NSFileSize;              // unsigned long long
extern const char* const NSFileModificationDate;  // std::shared_ptr<NSDate>
extern const char* const NSFileCreationDate;      // std::shared_ptr<NSDate>, when known
extern const char* const NSFilePosixPermissions;  // unsigned long
// Accepted when creating folders; file protection does not exist here and is ignored.
extern const char* const NSFileProtectionKey;
extern const char* const NSFileProtectionNone;

// The attributes of one item, with typed readers for the common keys.
class NSFileAttributes : public std::map<std::string, std::any> {
 public:
  using std::map<std::string, std::any>::map;

  unsigned long long fileSize() const;
  std::string fileType() const;
  std::shared_ptr<NSDate> fileModificationDate() const;
  // Null when the file system does not record birth times.
  std::shared_ptr<NSDate> fileCreationDate() const;
};

enum NSDirectoryEnumerationOptions : unsigned long {
  NSDirectoryEnumerationSkipsHiddenFiles = 1UL << 2,
};

class NSFileManager {
 public:
  // The process's shared manager.
  static std::shared_ptr<NSFileManager> defaultManager();

  // Whether an item exists at `path` (a final symbolic link is followed); `isDirectory`, when
  // given, receives whether it is a folder.
  bool fileExistsAtPath(const std::string& path) const;
  bool fileExistsAtPath(const std::string& path, bool* isDirectory) const;

  // Makes the folder. With `createIntermediates` missing parent folders are made too and an
  // existing folder is success; without, an existing item is NSFileWriteFileExistsError.
  // NSFileProtectionKey in `attributes` is ignored; NSFilePosixPermissions sets the mode of
  // the folders made (default 0755, less the umask).
  bool createDirectoryAtPath(const std::string& path, bool createIntermediates,
                             const NSFileAttributes& attributes,
                             std::shared_ptr<NSError>* error) const;
  bool createDirectoryAtURL(const NSURL& url, bool createIntermediates,
                            const NSFileAttributes& attributes,
                            std::shared_ptr<NSError>* error) const;

  // The names of the folder's entries (hidden ones included), sorted.
  std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
      const std::string& path, std::shared_ptr<NSError>* error) const;
  // The entries as URLs below `url`, sorted by name; entries whose name starts with "." are
  // left out with NSDirectoryEnumerationSkipsHiddenFiles. Sub-folders are not entered.
  std::optional<std::vector<std::shared_ptr<NSURL>>> contentsOfDirectoryAtURL(
      const NSURL& url, unsigned long options, std::shared_ptr<NSError>* error) const;

  // Removes the item; a folder with everything in it. A symbolic link is removed, not followed.
  bool removeItemAtPath(const std::string& path, std::shared_ptr<NSError>* error) const;
  bool removeItemAtURL(const NSURL& url, std::shared_ptr<NSError>* error) const;

  // Copies the item to `destination`, which must not exist (NSFileWriteFileExistsError).
  bool copyItemAtPath(const std::string& source, const std::string& destination,
                      std::shared_ptr<NSError>* error) const;
  bool copyItemAtURL(const NSURL& source, const NSURL& destination,
                     std::shared_ptr<NSError>* error) const;

  // Moves the item to `destination`, which must not exist (NSFileWriteFileExistsError): the
  // check and the move are one step, so two movers to one destination never both succeed.
  bool moveItemAtPath(const std::string& source, const std::string& destination,
                      std::shared_ptr<NSError>* error) const;
  bool moveItemAtURL(const NSURL& source, const NSURL& destination,
                     std::shared_ptr<NSError>* error) const;

  // NSFileType, NSFileSize, NSFileModificationDate, NSFileCreationDate (when known) and
  // NSFilePosixPermissions of the item (a final symbolic link is followed).
  std::optional<NSFileAttributes> attributesOfItemAtPath(const std::string& path,
                                                         std::shared_ptr<NSError>* error) const;

  // Changes attributes of an existing item: NSFilePosixPermissions (unsigned long) sets the
  // mode, NSFileModificationDate (std::shared_ptr<NSDate>) the modification time;
  // NSFileProtectionKey is accepted and ignored. Other keys, or values of another type, are
  // NSFileWriteUnknownError, and nothing is changed for them.
  bool setAttributes(const NSFileAttributes& attributes, const std::string& path,
                     std::shared_ptr<NSError>* error) const;

  // The file's bytes, or none when it cannot be read.
  std::optional<std::vector<uint8_t>> contentsAtPath(const std::string& path) const;

  // The sandbox folders of sandbox.h as directory URLs (user domain only).
  std::vector<std::shared_ptr<NSURL>> URLsForDirectory(NSSearchPathDirectory directory,
                                                       unsigned long domainMask) const;

  // The folder of `directory` in the user domain, made when `create` is set. For
  // NSItemReplacementDirectory every call makes a new empty folder on the file system of
  // `appropriateForURL` (required): below the sandbox's temporary folder when that is on the
  // same file system, else a hidden folder ".item-replacement-<unique>" beside the item, so
  // that moving a file from it onto the item is a rename.
  std::shared_ptr<NSURL> URLForDirectory(NSSearchPathDirectory directory, unsigned long domain,
                                         const NSURL* appropriateForURL, bool create,
                                         std::shared_ptr<NSError>* error) const;

  // NSTemporaryDirectory() as a URL.
  std::shared_ptr<NSURL> temporaryDirectory() const;

  // The container of an app group (set with platform::foundation::SetAppGroupContainer), or
  // null when the process has none for it.
  std::shared_ptr<NSURL> containerURLForSecurityApplicationGroupIdentifier(
      const std::string& groupIdentifier) const;
};

#endif  // PLATFORM_FOUNDATION_NS_FILE_MANAGER_H_
