#include "platform/foundation/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

namespace platform::foundation::internal {

std::shared_ptr<NSError> FileError(long code, const std::string& path, int posix_errno,
                                   const std::string& description) {
  NSErrorUserInfo info{{NSFilePathErrorKey, path}, {NSLocalizedDescriptionKey, description}};
  if (posix_errno != 0) {
    info[NSUnderlyingErrorKey] =
        NSError::errorWithDomain(NSPOSIXErrorDomain, posix_errno,
                                 {{NSLocalizedDescriptionKey, std::string(strerror(posix_errno))}});
  }
  return NSError::errorWithDomain(NSCocoaErrorDomain, code, std::move(info));
}

long ReadErrorCode(int posix_errno) {
  switch (posix_errno) {
    case ENOENT:
    case ENOTDIR:
      return NSFileReadNoSuchFileError;
    case EACCES:
    case EPERM:
      return NSFileReadNoPermissionError;
    default:
      return NSFileReadUnknownError;
  }
}

long WriteErrorCode(int posix_errno) {
  switch (posix_errno) {
    case ENOENT:
    case ENOTDIR:
      return NSFileNoSuchFileError;
    case EEXIST:
    case ENOTEMPTY:
      return NSFileWriteFileExistsError;
    case EACCES:
    case EPERM:
    case EROFS:
      return NSFileWriteNoPermissionError;
    case ENOSPC:
    case EDQUOT:
      return NSFileWriteOutOfSpaceError;
    default:
      return NSFileWriteUnknownError;
  }
}

std::shared_ptr<NSError> ReadError(const std::string& operation, const std::string& path) {
  int saved = errno;
  return FileError(ReadErrorCode(saved), path, saved,
                   "Could not " + operation + " \u201c" + path + "\u201d: " + strerror(saved));
}

std::shared_ptr<NSError> WriteError(const std::string& operation, const std::string& path) {
  int saved = errno;
  return FileError(WriteErrorCode(saved), path, saved,
                   "Could not " + operation + " \u201c" + path + "\u201d: " + strerror(saved));
}

std::optional<FileStatus> StatFile(const std::string& path, bool follow,
                                   std::shared_ptr<NSError>* error) {
  struct statx info {};
  unsigned mask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_BTIME;
  if (statx(AT_FDCWD, path.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, mask, &info) != 0) {
    NSErrorAssign(error, ReadError("read the attributes of", path));
    return std::nullopt;
  }
  FileStatus status;
  status.is_directory = S_ISDIR(info.stx_mode);
  status.is_regular = S_ISREG(info.stx_mode);
  status.is_symbolic_link = S_ISLNK(info.stx_mode);
  status.size = info.stx_size;
  status.permissions = info.stx_mode & 07777;
  status.modification_time = info.stx_mtime.tv_sec + info.stx_mtime.tv_nsec / 1e9;
  if ((info.stx_mask & STATX_BTIME) != 0) {
    status.birth_time = info.stx_btime.tv_sec + info.stx_btime.tv_nsec / 1e9;
  }
  return status;
}

std::optional<bool> IsExcludedFromBackup(const std::string& path, std::shared_ptr<NSError>* error) {
  char value[8];
  ssize_t size = getxattr(path.c_str(), kExcludedFromBackupAttribute, value, sizeof(value));
  if (size >= 0) return size == 1 && value[0] == '1';
  if (errno == ENODATA) return false;
  NSErrorAssign(error, ReadError("read the backup attribute of", path));
  return std::nullopt;
}

bool SetExcludedFromBackup(const std::string& path, bool excluded,
                           std::shared_ptr<NSError>* error) {
  int result = excluded ? setxattr(path.c_str(), kExcludedFromBackupAttribute, "1", 1, 0)
                        : removexattr(path.c_str(), kExcludedFromBackupAttribute);
  if (result == 0 || (!excluded && errno == ENODATA)) return true;
  NSErrorAssign(error, WriteError("set the backup attribute of", path));
  return false;
}

}  // namespace platform::foundation::internal
