// The fixed layout of a usage-log directory and the small file operations that the log writer
// and the uploader share.
//
// A log directory D holds the uploader state D/"state", the uploader lock D/"uploader.lock" (only
// used for directories that several processes share) and one folder per log context with its
// log files. The default log directory is a base folder plus "JQXTrassenLogger"; the base is
// the folder given to setDefaultDirectory, else the maker's shared app-group container.
//
//   JQXTrassenFileUtility::setDefaultDirectory(caches->URLByAppendingPathComponent("JQXTrassenLogger"));
//   auto directory = JQXTrassenFileUtility::defaultLogDirectory();   // .../JQXTrassenLogger/JQXTrassenLogger
//   if (JQXTrassenFileUtility::ensureLogDirectory(directory)) ...    // made and kept from backups
//
// Problems are logged at error level through the shared base logger and end in false or null.
//
// `JQXFileLock` lets one uploader at a time work on a shared directory: it holds an exclusive
// advisory lock (flock) on the lock file, taken without waiting, so a second lock on the same file
// fails, in this process or in another, until the first is unlocked:
//
//   auto lock = JQXFileLockProvider().makeUploaderLockForFile(*lockFile);
//   std::shared_ptr<NSError> error;
//   if (!lock->lock(&error)) return;   // error: kJQXTrassenErrorDomain, -2
//   ...
//   lock->unlock();
#ifndef USAGE_LOG_FILE_UTILITY_H_
#define USAGE_LOG_FILE_UTILITY_H_

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"
#include "usage_log/log_local.pb.h"

// The usage-logging library's error domain and codes.
inline constexpr char kJQXTrassenErrorDomain[] = "com.brenvik.trassen";
enum JQXTrassenErrorCode : long {
  JQXTrassenErrorCodeUploaderLockHeld = -2,
  JQXTrassenErrorCodeLogDirectory = -3,
  JQXTrassenErrorCodeBackgroundTaskRefused = -4,
};

class JQXTrassenFileUtility {
 public:
  static void setDefaultDirectory(std::shared_ptr<NSURL> url);
  // The base plus "JQXTrassenLogger"; null (logged) when there is no base.
  static std::shared_ptr<NSURL> defaultLogDirectory();
  // Creates the directory (with its parents) and marks it excluded from backups. False, after a
  // log line, when either fails; false without one for a URL that is not a file URL.
  static bool ensureLogDirectory(const std::shared_ptr<NSURL>& url);
  static std::shared_ptr<NSURL> uploaderStateFileInLogDirectory(const NSURL& directory);
  static std::shared_ptr<NSURL> uploaderLockFileInLogDirectory(const NSURL& directory);
  // The parsed state file; an empty state when it is missing or empty, and (logged) when it does
  // not parse.
  static std::unique_ptr<JQXUploaderState> uploaderStateInLogDirectory(const NSURL& directory);
  // The folder's entries, hidden ones included; none (logged) when it cannot be read.
  static std::optional<std::vector<std::shared_ptr<NSURL>>> directoryContents(const NSURL& url);
};

// One log file found on disk, with its status taken when the object is made.
class JQXLogFile {
 public:
  // Null when the file's status cannot be read (it is gone).
  static std::shared_ptr<JQXLogFile> initWithContext(std::shared_ptr<const JQXLogContext> context,
                                                     std::shared_ptr<NSURL> url);

  const struct statx& statInfo() const { return stat_info_; }
  const std::shared_ptr<const JQXLogContext>& context() const { return context_; }
  const std::shared_ptr<NSURL>& url() const { return url_; }
  // The file's birth time in milliseconds since 1970; its modification time where the file
  // system reports no birth time.
  int64_t creationTimeMilliseconds() const;
  // The size in bytes, 0 when the recorded size is negative.
  uint64_t fileSize() const;

  JQXLogFile(std::shared_ptr<const JQXLogContext> context, std::shared_ptr<NSURL> url,
             const struct statx& info)
      : stat_info_(info), context_(std::move(context)), url_(std::move(url)) {}

 private:
  struct statx stat_info_;
  std::shared_ptr<const JQXLogContext> context_;
  std::shared_ptr<NSURL> url_;
};

class JQXUploaderLock {
 public:
  virtual ~JQXUploaderLock() = default;
  virtual bool lock(std::shared_ptr<NSError>* error) = 0;
  virtual void unlock() = 0;
};

class JQXUploaderLockProvider {
 public:
  virtual ~JQXUploaderLockProvider() = default;
  virtual std::shared_ptr<JQXUploaderLock> makeUploaderLockForFile(const NSURL& file) = 0;
};

class JQXFileLock : public JQXUploaderLock {
 public:
  explicit JQXFileLock(std::shared_ptr<NSURL> file) : file_(std::move(file)) {}
  ~JQXFileLock() override { unlock(); }

  // Opens (creating it with mode 0600) and locks the file without waiting. False with -2 when
  // another open file holds the lock. Locking again while held is a misuse that answers true.
  bool lock(std::shared_ptr<NSError>* error) override;
  void unlock() override;

  int fd() const { return fd_; }
  const std::shared_ptr<NSURL>& file() const { return file_; }

 private:
  int fd_ = -1;
  const std::shared_ptr<NSURL> file_;
};

class JQXNoOpLock : public JQXUploaderLock {
 public:
  bool lock(std::shared_ptr<NSError>*) override { return true; }
  void unlock() override {}
};

class JQXFileLockProvider : public JQXUploaderLockProvider {
 public:
  std::shared_ptr<JQXUploaderLock> makeUploaderLockForFile(const NSURL& file) override;
};

class JQXNoOpLockProvider : public JQXUploaderLockProvider {
 public:
  std::shared_ptr<JQXUploaderLock> makeUploaderLockForFile(const NSURL& file) override;
};

#endif  // USAGE_LOG_FILE_UTILITY_H_
