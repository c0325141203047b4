#include "platform/foundation/ns_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/foundation/file_system.h"
#include "platform/foundation/ns_process_info.h"

const char* const NSFileType = "NSFileType";
const char* const NSFileTypeDirectory = "NSFileTypeDirectory";
const char* const NSFileTypeRegular = "NSFileTypeRegular";
const char* const NSFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
const char* const NSFileTypeUnknown = "NSFileTypeUnknown";
const char* const NSFileSize = "NSFileSize";
const char* const NSFileModificationDate = "NSFileModificationDate";
const char* const NSFileCreationDate = "NSFileCreationDate";
const char* const NSFilePosixPermissions = "NSFilePosixPermissions";
const char* const NSFileProtectionKey = "NSFileProtectionKey";
const char* const NSFileProtectionNone = "NSFileProtectionNone";

namespace {

using platform::foundation::internal::FileError;
using platform::foundation::internal::ReadError;
using platform::foundation::internal::WriteError;

template <typename T>
const T* Attribute(const NSFileAttributes& attributes, const char* key) {
  auto it = attributes.find(key);
  return it == attributes.end() ? nullptr : std::any_cast<T>(&it->second);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string ParentPath(const std::string& path) {
  size_t slash = path.find_last_not_of('/');
  slash = slash == std::string::npos ? std::string::npos : path.rfind('/', slash);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The error for a destination that exists, before anything was written.
std::shared_ptr<NSError> ExistsError(const std::string& operation, const std::string& path) {
  errno = EEXIST;
  return WriteError(operation, path);
}

bool ReadNames(const std::string& path, std::vector<std::string>* names,
               std::shared_ptr<NSError>* error) {
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) {
    NSErrorAssign(error, ReadError("list", path));
    return false;
  }
  while (dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(folder);
  std::sort(names->begin(), names->end());
  return true;
}

bool RemoveTree(const std::string& path, std::shared_ptr<NSError>* error) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    NSErrorAssign(error, WriteError("remove", path));
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    if (unlink(path.c_str()) != 0) {
      NSErrorAssign(error, WriteError("remove", path));
      return false;
    }
    return true;
  }
  std::vector<std::string> names;
  if (!ReadNames(path, &names, error)) return false;
  for (const std::string& name : names) {
    if (!RemoveTree(JoinPath(path, name), error)) return false;
  }
  if (rmdir(path.c_str()) != 0) {
    NSErrorAssign(error, WriteError("remove", path));
    return false;
  }
  return true;
}

bool CopyFileContents(int from, int to) {
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(from, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t written = write(to, buffer + done, static_cast<size_t>(n - done));
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) return false;
      done += written;
    }
  }
}

// Copies one item; every item is created exclusively, so an existing destination fails.
bool CopyTree(const std::string& source, const std::string& destination,
              std::shared_ptr<NSError>* error) {
  struct stat status {};
  if (lstat(source.c_str(), &status) != 0) {
    NSErrorAssign(error, WriteError("copy", source));
    return false;
  }
  if (S_ISLNK(status.st_mode)) {
    std::string target(static_cast<size_t>(status.st_size) + 1, '\0');
    ssize_t length = readlink(source.c_str(), target.data(), target.size());
    if (length < 0) {
      NSErrorAssign(error, WriteError("copy", source));
      return false;
    }
    target.resize(static_cast<size_t>(length));
    if (symlink(target.c_str(), destination.c_str()) != 0) {
      NSErrorAssign(error, WriteError("copy to", destination));
      return false;
    }
    return true;
  }
  if (S_ISDIR(status.st_mode)) {
    if (mkdir(destination.c_str(), status.st_mode & 07777) != 0) {
      NSErrorAssign(error, WriteError("copy to", destination));
      return false;
    }
    std::vector<std::string> names;
    if (!ReadNames(source, &names, error)) return false;
    for (const std::string& name : names) {
      if (!CopyTree(JoinPath(source, name), JoinPath(destination, name), error)) return false;
    }
    return true;
  }
  int from = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) {
    NSErrorAssign(error, WriteError("copy", source));
    return false;
  }
  int to =
      open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 07777);
  if (to < 0) {
    NSErrorAssign(error, WriteError("copy to", destination));
    close(from);
    return false;
  }
  bool copied = CopyFileContents(from, to);
  if (!copied) NSErrorAssign(error, WriteError("copy to", destination));
  close(from);
  if (close(to) != 0 && copied) {
    NSErrorAssign(error, WriteError("copy to", destination));
    copied = false;
  }
  if (!copied) unlink(destination.c_str());
  return copied;
}

// Makes a folder with a name of its own in `parent`, "<prefix><unique>".
std::string MakeUniqueFolder(const std::string& parent, const std::string& prefix,
                             std::shared_ptr<NSError>* error) {
  for (;;) {
    std::string path =
        JoinPath(parent, prefix + NSProcessInfo::processInfo()->globallyUniqueString());
    if (mkdir(path.c_str(), 0700) == 0) return path;
    if (errno != EEXIST) {
      NSErrorAssign(error, WriteError("create", path));
      return std::string();
    }
  }
}

}  // namespace

unsigned long long NSFileAttributes::fileSize() const {
  const auto* size = Attribute<unsigned long long>(*this, NSFileSize);
  return size == nullptr ? 0 : *size;
}

std::string NSFileAttributes::fileType() const {
  const auto* type = Attribute<std::string>(*this, NSFileType);
  return type == nullptr ? std::string() : *type;
}

std::shared_ptr<NSDate> NSFileAttributes::fileModificationDate() const {
  const auto* date = Attribute<std::shared_ptr<NSDate>>(*this, NSFileModificationDate);
  return date == nullptr ? nullptr : *date;
}

std::shared_ptr<NSDate> NSFileAttributes::fileCreationDate() const {
  const auto* date = Attribute<std::shared_ptr<NSDate>>(*this, NSFileCreationDate);
  return date == nullptr ? nullptr : *date;
}

std::shared_ptr<NSFileManager> NSFileManager::defaultManager() {
  static const auto* manager =
      new std::shared_ptr<NSFileManager>(std::make_shared<NSFileManager>());
  return *manager;
}

bool NSFileManager::fileExistsAtPath(const std::string& path) const {
  return fileExistsAtPath(path, nullptr);
}

bool NSFileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0) return false;
  if (isDirectory != nullptr) *isDirectory = S_ISDIR(status.st_mode);
  return true;
}

bool NSFileManager::createDirectoryAtPath(const std::string& path, bool createIntermediates,
                                          const NSFileAttributes& attributes,
                                          std::shared_ptr<NSError>* error) const {
  mode_t mode = 0755;
  if (const auto* permissions = Attribute<unsigned long>(attributes, NSFilePosixPermissions)) {
    mode = static_cast<mode_t>(*permissions & 07777);
  }
  if (path.empty()) {
    errno = ENOENT;
    NSErrorAssign(error, WriteError("create", path));
    return false;
  }
  if (!createIntermediates) {
    if (mkdir(path.c_str(), mode) == 0) return true;
    NSErrorAssign(error, WriteError("create", path));
    return false;
  }
  // Make each missing folder from the top; folders that exist (also when another thread or
  // process just made them) are fine, any other item in the way is an error.
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && prefix.back() != '/' && mkdir(prefix.c_str(), mode) != 0) {
      int saved = errno;
      struct stat status {};
      if (saved != EEXIST || stat(prefix.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        // An item in the way of a parent folder makes the path unreachable.
        errno = saved == EEXIST && slash != std::string::npos ? ENOTDIR : saved;
        NSErrorAssign(error, WriteError("create", path));
        return false;
      }
    }
    if (slash == std::string::npos) break;
  }
  return true;
}

bool NSFileManager::createDirectoryAtURL(const NSURL& url, bool createIntermediates,
                                         const NSFileAttributes& attributes,
                                         std::shared_ptr<NSError>* error) const {
  return createDirectoryAtPath(url.path(), createIntermediates, attributes, error);
}

std::optional<std::vector<std::string>> NSFileManager::contentsOfDirectoryAtPath(
    const std::string& path, std::shared_ptr<NSError>* error) const {
  std::vector<std::string> names;
  if (!ReadNames(path, &names, error)) return std::nullopt;
  return names;
}

std::optional<std::vector<std::shared_ptr<NSURL>>> NSFileManager::contentsOfDirectoryAtURL(
    const NSURL& url, unsigned long options, std::shared_ptr<NSError>* error) const {
  std::vector<std::string> names;
  if (!ReadNames(url.path(), &names, error)) return std::nullopt;
  std::vector<std::shared_ptr<NSURL>> entries;
  for (const std::string& name : names) {
    if ((options & NSDirectoryEnumerationSkipsHiddenFiles) != 0 && name[0] == '.') continue;
    entries.push_back(NSURL::fileURLWithPath(JoinPath(url.path(), name)));
  }
  return entries;
}

bool NSFileManager::removeItemAtPath(const std::string& path,
                                     std::shared_ptr<NSError>* error) const {
  return RemoveTree(path, error);
}

bool NSFileManager::removeItemAtURL(const NSURL& url, std::shared_ptr<NSError>* error) const {
  return RemoveTree(url.path(), error);
}

bool NSFileManager::copyItemAtPath(const std::string& source, const std::string& destination,
                                   std::shared_ptr<NSError>* error) const {
  struct stat status {};
  if (lstat(destination.c_str(), &status) == 0) {
    NSErrorAssign(error, ExistsError("copy to", destination));
    return false;
  }
  return CopyTree(source, destination, error);
}

bool NSFileManager::copyItemAtURL(const NSURL& source, const NSURL& destination,
                                  std::shared_ptr<NSError>* error) const {
  return copyItemAtPath(source.path(), destination.path(), error);
}

bool NSFileManager::moveItemAtPath(const std::string& source, const std::string& destination,
                                   std::shared_ptr<NSError>* error) const {
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  int saved = errno;
  if (saved == EXDEV) {
    // Another file system: copy (refusing an existing destination), then remove the source.
    return copyItemAtPath(source, destination, error) && removeItemAtPath(source, error);
  }
  if (saved == EINVAL) {
    // A file system without RENAME_NOREPLACE: a hard link is made only when the name is free.
    struct stat status {};
    if (lstat(source.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
      if (link(source.c_str(), destination.c_str()) == 0) {
        unlink(source.c_str());
        return true;
      }
      saved = errno;
    }
  }
  errno = saved;
  NSErrorAssign(error, WriteError(saved == EEXIST ? "move to" : "move",
                                  saved == EEXIST ? destination : source));
  return false;
}

bool NSFileManager::moveItemAtURL(const NSURL& source, const NSURL& destination,
                                  std::shared_ptr<NSError>* error) const {
  return moveItemAtPath(source.path(), destination.path(), error);
}

std::optional<NSFileAttributes> NSFileManager::attributesOfItemAtPath(
    const std::string& path, std::shared_ptr<NSError>* error) const {
  auto status = platform::foundation::internal::StatFile(path, true, error);
  if (!status.has_value()) return std::nullopt;
  NSFileAttributes attributes;
  attributes[NSFileType] = std::string(status->is_directory       ? NSFileTypeDirectory
                                       : status->is_regular       ? NSFileTypeRegular
                                       : status->is_symbolic_link ? NSFileTypeSymbolicLink
                                                                  : NSFileTypeUnknown);
  attributes[NSFileSize] = status->size;
  attributes[NSFileModificationDate] =
      NSDate::dateWithTimeIntervalSince1970(status->modification_time);
  if (status->birth_time.has_value()) {
    attributes[NSFileCreationDate] = NSDate::dateWithTimeIntervalSince1970(*status->birth_time);
  }
  attributes[NSFilePosixPermissions] = static_cast<unsigned long>(status->permissions);
  return attributes;
}

bool NSFileManager::setAttributes(const NSFileAttributes& attributes, const std::string& path,
                                  std::shared_ptr<NSError>* error) const {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    NSErrorAssign(error, WriteError("change the attributes of", path));
    return false;
  }
  for (const auto& [key, value] : attributes) {
    if (key == NSFileProtectionKey) continue;
    bool changed = false;
    if (const auto* mode = std::any_cast<unsigned long>(&value);
        mode != nullptr && key == NSFilePosixPermissions) {
      if (chmod(path.c_str(), static_cast<mode_t>(*mode & 07777)) != 0) {
        NSErrorAssign(error, WriteError("change the permissions of", path));
        return false;
      }
      changed = true;
    }
    if (const auto* date = std::any_cast<std::shared_ptr<NSDate>>(&value);
        date != nullptr && *date != nullptr && key == NSFileModificationDate) {
      double seconds = (*date)->timeIntervalSince1970();
      double whole = std::floor(seconds);
      struct timespec times[2] = {
          {0, UTIME_OMIT},
          {static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)}};
      if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        NSErrorAssign(error, WriteError("change the modification date of", path));
        return false;
      }
      changed = true;
    }
    if (!changed) {
      NSErrorAssign(error, FileError(NSFileWriteUnknownError, path, 0,
                                     "Cannot set the attribute " + key + " of " + path));
      return false;
    }
  }
  return true;
}

std::optional<std::vector<uint8_t>> NSFileManager::contentsAtPath(const std::string& path) const {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  uint8_t buffer[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  close(fd);
  return bytes;
}

std::vector<std::shared_ptr<NSURL>> NSFileManager::URLsForDirectory(
    NSSearchPathDirectory directory, unsigned long domainMask) const {
  std::vector<std::shared_ptr<NSURL>> urls;
  for (const std::string& path : NSSearchPathForDirectoriesInDomains(directory, domainMask, true)) {
    urls.push_back(NSURL::fileURLWithPath(path, true));
  }
  return urls;
}

std::shared_ptr<NSURL> NSFileManager::URLForDirectory(NSSearchPathDirectory directory,
                                                      unsigned long domain,
                                                      const NSURL* appropriateForURL, bool create,
                                                      std::shared_ptr<NSError>* error) const {
  if (directory == NSItemReplacementDirectory) {
    if (appropriateForURL == nullptr || !appropriateForURL->isFileURL()) {
      NSErrorAssign(error, FileError(NSFileWriteUnknownError, "", EINVAL,
                                     "An item-replacement folder needs a file URL"));
      return nullptr;
    }
    // The item's folder decides the file system (the item itself may not exist yet).
    std::string item_folder = ParentPath(appropriateForURL->path());
    std::string temporary = NSTemporaryDirectory() + "ItemReplacement";
    struct stat item_status {};
    struct stat temporary_status {};
    if (stat(item_folder.c_str(), &item_status) != 0) {
      NSErrorAssign(error, ReadError("find the folder", item_folder));
      return nullptr;
    }
    std::string parent = item_folder;
    std::string prefix = ".item-replacement-";
    if (createDirectoryAtPath(temporary, true, {}, nullptr) &&
        stat(temporary.c_str(), &temporary_status) == 0 &&
        temporary_status.st_dev == item_status.st_dev) {
      parent = temporary;
      prefix = "";
    }
    std::string folder = MakeUniqueFolder(parent, prefix, error);
    return folder.empty() ? nullptr : NSURL::fileURLWithPath(folder, true);
  }
  std::vector<std::string> paths = NSSearchPathForDirectoriesInDomains(directory, domain, true);
  if (paths.empty()) {
    NSErrorAssign(error, FileError(NSFileNoSuchFileError, "", ENOENT,
                                   "No such folder in the requested domain"));
    return nullptr;
  }
  if (create && !createDirectoryAtPath(paths[0], true, {}, error)) return nullptr;
  return NSURL::fileURLWithPath(paths[0], true);
}

std::shared_ptr<NSURL> NSFileManager::temporaryDirectory() const {
  return NSURL::fileURLWithPath(NSTemporaryDirectory(), true);
}

std::shared_ptr<NSURL> NSFileManager::containerURLForSecurityApplicationGroupIdentifier(
    const std::string& groupIdentifier) const {
  auto container = platform::foundation::AppGroupContainer(groupIdentifier);
  return container.has_value() ? NSURL::fileURLWithPath(*container, true) : nullptr;
}
