#include "platform/foundation/ns_data.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/foundation/file_system.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_process_info.h"

namespace platform::foundation {
namespace {

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

AtomicWriteFaultHook& Hook() {
  static auto* hook = new AtomicWriteFaultHook();
  return *hook;
}

bool StopsAt(AtomicWriteStep step, const std::string& path) {
  AtomicWriteFaultHook hook;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    hook = Hook();
  }
  return hook && hook(step, path);
}

bool WriteBytes(int fd, const uint8_t* data, size_t size) {
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::pair<std::string, std::string> SplitFolderAndName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool WritePlain(const std::vector<uint8_t>& data, const std::string& path, bool exclusive,
                std::shared_ptr<NSError>* error) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) {
    NSErrorAssign(error, internal::WriteError("write", path));
    return false;
  }
  bool written = WriteBytes(fd, data.data(), data.size());
  if (!written) NSErrorAssign(error, internal::WriteError("write", path));
  if (close(fd) != 0 && written) {
    NSErrorAssign(error, internal::WriteError("write", path));
    written = false;
  }
  return written;
}

bool WriteAtomically(const std::vector<uint8_t>& data, const std::string& path, bool exclusive,
                     std::shared_ptr<NSError>* error) {
  auto [folder, name] = SplitFolderAndName(path);
  auto stopped = [&](AtomicWriteStep step, const std::string& temporary) {
    if (!StopsAt(step, temporary)) return false;
    NSErrorAssign(error, internal::FileError(NSFileWriteUnknownError, path, 0,
                                             "The write of \u201c" + path + "\u201d was stopped"));
    return true;
  };
  // The temporary name keeps at most 100 bytes of the destination's name, well inside the
  // file-name limit.
  std::string temporary;
  int fd = -1;
  do {
    temporary = folder + "/." + name.substr(0, 100) + "." +
                NSProcessInfo::processInfo()->globallyUniqueString() + ".tmp";
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EEXIST);
  if (fd < 0) {
    NSErrorAssign(error, internal::WriteError("write", path));
    return false;
  }
  auto fail = [&](const char* operation) {
    NSErrorAssign(error, internal::WriteError(operation, path));
    if (fd >= 0) close(fd);
    unlink(temporary.c_str());
    return false;
  };
  if (stopped(AtomicWriteStep::kTemporaryFileCreated, temporary)) return false;
  size_t half = data.size() / 2;
  if (!WriteBytes(fd, data.data(), half)) return fail("write");
  if (stopped(AtomicWriteStep::kHalfWritten, temporary)) return false;
  if (!WriteBytes(fd, data.data() + half, data.size() - half)) return fail("write");
  if (stopped(AtomicWriteStep::kWritten, temporary)) return false;
  if (fsync(fd) != 0) return fail("flush");
  int closed = close(fd);
  fd = -1;
  if (closed != 0) return fail("write");
  if (stopped(AtomicWriteStep::kFlushed, temporary)) return false;
  int renamed =
      exclusive ? renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE)
                : rename(temporary.c_str(), path.c_str());
  if (renamed != 0) return fail("replace");
  if (stopped(AtomicWriteStep::kRenamed, path)) return false;
  int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0 || fsync(folder_fd) != 0) {
    NSErrorAssign(error, internal::WriteError("flush the folder of", path));
    if (folder_fd >= 0) close(folder_fd);
    return false;
  }
  close(folder_fd);
  return !stopped(AtomicWriteStep::kFolderFlushed, path);
}

// The process id inside the unique part "<32 hex digits>-<pid>-<hex>" of a temporary's name
// ".<name>.<unique>.tmp"; none for a name of another form.
std::optional<pid_t> TemporaryWriterProcess(const std::string& name) {
  constexpr std::string_view kSuffix = ".tmp";
  if (name.size() < 2 + kSuffix.size() || name[0] != '.' ||
      name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
    return std::nullopt;
  }
  const std::string stem = name.substr(0, name.size() - kSuffix.size());
  const size_t dot = stem.rfind('.');
  if (dot == 0 || dot == std::string::npos) return std::nullopt;
  const std::string unique = stem.substr(dot + 1);
  const size_t first = unique.find('-');
  const size_t second = unique.find('-', first + 1);
  auto all_of = [](std::string_view text, const char* set) {
    return !text.empty() && text.find_first_not_of(set) == std::string_view::npos;
  };
  constexpr char kHex[] = "0123456789ABCDEF";
  if (first != 32 || second == std::string::npos || !all_of(unique.substr(0, 32), kHex) ||
      !all_of(std::string_view(unique).substr(first + 1, second - first - 1), "0123456789") ||
      !all_of(std::string_view(unique).substr(second + 1), kHex) || second - first - 1 > 9) {
    return std::nullopt;
  }
  return static_cast<pid_t>(std::stol(unique.substr(first + 1, second - first - 1)));
}

}  // namespace

int RemoveStaleAtomicWriteTemporaries(const std::string& folder, int depth) {
  constexpr auto kStaleAge = std::chrono::hours(1);
  int removed = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::filesystem::directory_entry& entry = *it;
    std::error_code entry_ec;
    if (entry.is_directory(entry_ec) && !entry.is_symlink(entry_ec)) {
      if (depth > 0) removed += RemoveStaleAtomicWriteTemporaries(entry.path(), depth - 1);
      continue;
    }
    if (!entry.is_regular_file(entry_ec)) continue;
    std::optional<pid_t> writer = TemporaryWriterProcess(entry.path().filename());
    if (!writer.has_value()) continue;
    const bool writer_gone = kill(*writer, 0) != 0 && errno == ESRCH;
    const auto modified = entry.last_write_time(entry_ec);
    const bool old = !entry_ec && std::filesystem::file_time_type::clock::now() - modified > kStaleAge;
    if ((writer_gone || old) && unlink(entry.path().c_str()) == 0) ++removed;
  }
  return removed;
}

void SetAtomicWriteFaultHook(AtomicWriteFaultHook hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  Hook() = std::move(hook);
}

}  // namespace platform::foundation

std::optional<std::vector<uint8_t>> NSDataWithContentsOfFile(const std::string& path,
                                                             std::shared_ptr<NSError>* error) {
  auto bytes = NSFileManager::defaultManager()->contentsAtPath(path);
  if (!bytes.has_value())
    NSErrorAssign(error, platform::foundation::internal::ReadError("read", path));
  return bytes;
}

std::optional<std::vector<uint8_t>> NSDataWithContentsOfURL(const NSURL& url,
                                                            std::shared_ptr<NSError>* error) {
  if (!url.isFileURL()) {
    NSErrorAssign(error, platform::foundation::internal::FileError(
                             NSFileReadUnsupportedSchemeError, url.absoluteString(), 0,
                             "Not a file URL: " + url.absoluteString()));
    return std::nullopt;
  }
  return NSDataWithContentsOfFile(url.path(), error);
}

namespace {

bool IsValidUTF8(const std::vector<uint8_t>& bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    uint8_t lead = bytes[i];
    int length = lead < 0x80           ? 1
                 : (lead >> 5) == 0x6  ? 2
                 : (lead >> 4) == 0xE  ? 3
                 : (lead >> 3) == 0x1E ? 4
                                       : 0;
    if (length == 0 || i + length > bytes.size()) return false;
    uint32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (int k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (bytes[i + k] & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += static_cast<size_t>(length);
  }
  return true;
}

}  // namespace

std::optional<std::string> NSStringWithContentsOfFile(const std::string& path,
                                                      std::shared_ptr<NSError>* error) {
  auto bytes = NSDataWithContentsOfFile(path, error);
  if (!bytes.has_value()) return std::nullopt;
  if (!IsValidUTF8(*bytes)) {
    NSErrorAssign(error, platform::foundation::internal::FileError(
                             NSFileReadInapplicableStringEncodingError, path, 0,
                             "The file \u201c" + path + "\u201d is not UTF-8 text"));
    return std::nullopt;
  }
  return std::string(bytes->begin(), bytes->end());
}

std::optional<std::string> NSStringWithContentsOfURL(const NSURL& url,
                                                     std::shared_ptr<NSError>* error) {
  if (!url.isFileURL()) {
    NSDataWithContentsOfURL(url, error);  // fills in the error
    return std::nullopt;
  }
  return NSStringWithContentsOfFile(url.path(), error);
}

bool NSDataWriteToFile(const std::vector<uint8_t>& data, const std::string& path,
                       unsigned long options, std::shared_ptr<NSError>* error) {
  bool exclusive = (options & NSDataWritingWithoutOverwriting) != 0;
  if ((options & NSDataWritingAtomic) != 0) {
    return platform::foundation::WriteAtomically(data, path, exclusive, error);
  }
  return platform::foundation::WritePlain(data, path, exclusive, error);
}

bool NSDataWriteToURL(const std::vector<uint8_t>& data, const NSURL& url, unsigned long options,
                      std::shared_ptr<NSError>* error) {
  if (!url.isFileURL()) {
    NSErrorAssign(error, platform::foundation::internal::FileError(
                             NSFileWriteUnknownError, url.absoluteString(), 0,
                             "Not a file URL: " + url.absoluteString()));
    return false;
  }
  return NSDataWriteToFile(data, url.path(), options, error);
}

bool NSDataWriteToFile(const std::vector<uint8_t>& data, const std::string& path, bool atomically) {
  return NSDataWriteToFile(
      data, path, atomically ? static_cast<unsigned long>(NSDataWritingAtomic) : 0UL, nullptr);
}
