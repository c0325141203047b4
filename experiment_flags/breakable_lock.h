// A lock between processes that share the flag store's files, for one sync at a time.
//
// The lock is the file global/lock.pb of the shared root holding the holder's device uptime
// (in milliseconds) when it took the lock. Taking the lock creates the file exclusively (a
// stamp written to a temporary file and moved onto the lock's name, a move that fails when
// the name exists). A lock whose stamp is more than 600,000 ms behind the current uptime, or
// ahead of it (written before the device restarted), or that does not parse, is broken: the
// new stamp replaces it. Two processes breaking one stale lock at once may both succeed; the
// later stamp wins, and the other finds out at its next `haveLock`, which a holder calls before
// every step that matters.
//
//   auto lock = ZQLBreakableLock::initWithFile(lockURL, clock);
//   std::shared_ptr<NSError> error;
//   if (!lock->lockWithError(&error)) return;   // -11: another holder's lease is running
//   ...
//   if (!lock->haveLock()) return;              // broken by another process
//   lock->unlock();
//
// An object is used from one serial queue; it has no lock of its own.
#ifndef EXPERIMENT_FLAGS_BREAKABLE_LOCK_H_
#define EXPERIMENT_FLAGS_BREAKABLE_LOCK_H_

#include <cstdint>
#include <memory>

#include "experiment_flags/flat_file_records.pb.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"
#include "usage_base/system_clock.h"

class ZQLBreakableLock {
 public:
  // How long a holder's stamp keeps the lock.
  static constexpr int64_t kLeaseMilliseconds = 600000;

  static std::shared_ptr<ZQLBreakableLock> initWithFile(std::shared_ptr<NSURL> file,
                                                        std::shared_ptr<ZRBClock> clock);

  // Takes the lock: false with -11 while another holder's lease runs, -10 when a file cannot
  // be written. Locking while holding is a misuse (reported; then -1).
  bool lockWithError(std::shared_ptr<NSError>* error);
  // Whether the lock file still carries this object's stamp; forgets the stamp when not.
  bool haveLock();
  // Removes the lock file if this object still holds the lock.
  void unlock();
  // The record in the lock file, or none. A record that does not parse is reported and deleted.
  std::shared_ptr<XVNBreakableLockData> fileLockData();
  // A fresh name in a temporary folder on the lock file's file system.
  std::shared_ptr<NSURL> temporaryFileWithError(std::shared_ptr<NSError>* error);

  const std::shared_ptr<NSURL>& file() const { return file_; }
  const std::shared_ptr<XVNBreakableLockData>& lockData() const { return lock_data_; }

  ZQLBreakableLock(std::shared_ptr<NSURL> file, std::shared_ptr<ZRBClock> clock)
      : file_(std::move(file)), clock_(std::move(clock)) {}

 private:
  bool Take(const std::shared_ptr<XVNBreakableLockData>& stamp, std::shared_ptr<NSError>* error);

  const std::shared_ptr<NSURL> file_;
  const std::shared_ptr<ZRBClock> clock_;
  std::shared_ptr<XVNBreakableLockData> lock_data_;
};

#endif  // EXPERIMENT_FLAGS_BREAKABLE_LOCK_H_
