// The POSIX layer under the file manager, URLs and data files: file status with birth time,
// the excluded-from-backup attribute, and NSError values for failed calls. Internal to this
// folder.
#ifndef PLATFORM_FOUNDATION_FILE_SYSTEM_H_
#define PLATFORM_FOUNDATION_FILE_SYSTEM_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/ns_error.h"

namespace platform::foundation::internal {

// The extended attribute that marks an item excluded from backup (value "1").
inline constexpr char kExcludedFromBackupAttribute[] = "user.quillmere.excluded_from_backup";

// An NSCocoaErrorDomain error with `code`, the path under NSFilePathErrorKey, `description`
// under NSLocalizedDescriptionKey and, when `posix_errno` is not 0, an NSPOSIXErrorDomain error
// with that number as NSUnderlyingErrorKey.
std::shared_ptr<NSError> FileError(long code, const std::string& path, int posix_errno,
                                   const std::string& description);

// NSCocoaErrorDomain codes for an errno of a failed read or write.
long ReadErrorCode(int posix_errno);
long WriteErrorCode(int posix_errno);

// `FileError` for the current errno of a failed `operation` ("remove", "read", ...).
std::shared_ptr<NSError> ReadError(const std::string& operation, const std::string& path);
std::shared_ptr<NSError> WriteError(const std::string& operation, const std::string& path);

struct FileStatus {
  bool is_directory = false;
  bool is_regular = false;
  bool is_symbolic_link = false;
  unsigned long long size = 0;
  unsigned permissions = 0;
  double modification_time = 0;  // seconds since 1970
  // Seconds since 1970; none when the file system does not record birth times.
  std::optional<double> birth_time;
};

// statx of `path`, following a final symbolic link when `follow` is set.
std::optional<FileStatus> StatFile(const std::string& path, bool follow,
                                   std::shared_ptr<NSError>* error);

// None with an error when the file is missing or the file system has no user attributes.
std::optional<bool> IsExcludedFromBackup(const std::string& path, std::shared_ptr<NSError>* error);
bool SetExcludedFromBackup(const std::string& path, bool excluded, std::shared_ptr<NSError>* error);

}  // namespace platform::foundation::internal

#endif  // PLATFORM_FOUNDATION_FILE_SYSTEM_H_
