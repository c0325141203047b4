// Every path of the flag store, and its record writes.
//
// The store keeps one encoded record per ".pb" file under two roots: the shared root
// <default directory>/ZQLMarovic/flat_file, which other applications of the app group may read
// and write too, and the local root Caches/ZQLMarovic/flat_file_local of this application:
//
//   registration/<package>.pb        shared   XVNRegistrationData
//   log_sources/all.pb               local    XVNLogSourceMapping
//   uncommitted/sync_metadata.pb     shared   XVNSyncMetadata
//   uncommitted/<account>/<package>.pb  shared  XVNConfigurationSnapshot ("logged_out" for "")
//   committed/<package>[-<account>].pb  local and shared  XVNConfigurationSnapshot
//   cross/<to>-<from>.pb             shared   XVNCrossExperimentTokens
//   global/data.pb, global/lock.pb   shared   XVNGlobalData, XVNBreakableLockData
//
//   std::shared_ptr<NSError> error;
//   auto url = ZQLURL::sharedSubDirectoryWithName("registration", package, &error);
//   ZQLURL::writeDataToSharedDirectory(bytes, "registration", package, &error);
//
// Folders are made when asked for; files never are. Writes are atomic (a reader sees the old
// record or the new one). Package names and account ids name files as they are; a name that
// would leave its folder or name none (empty, ".", "..", or holding "/" or NUL) is refused
// with a file error (-10), so data from the server can never place a file outside the roots.
// Failures are errors of the store's domain: -9 without a default directory, -10 with the
// system error attached.
#ifndef EXPERIMENT_FLAGS_ZQL_URL_H_
#define EXPERIMENT_FLAGS_ZQL_URL_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"

class ZQLURL {
 public:
  using URLs = std::vector<std::shared_ptr<NSURL>>;

  // The shared root, made when missing; marked excluded from backup once per process (a failed
  // marking is logged and tried again at the next call).
  static std::shared_ptr<NSURL> sharedDirectoryWithError(std::shared_ptr<NSError>* error);
  static std::shared_ptr<NSURL> sharedSubDirectoryWithName(const std::string& name,
                                                           std::shared_ptr<NSError>* error);
  // The folder is made; the file is not.
  static std::shared_ptr<NSURL> sharedSubDirectoryWithName(const std::string& name,
                                                           const std::string& fileName,
                                                           std::shared_ptr<NSError>* error);
  // The local root; not made by this call.
  static std::shared_ptr<NSURL> localDirectoryWithError(std::shared_ptr<NSError>* error);
  static std::shared_ptr<NSURL> localSubDirectory(const std::string& name,
                                                  std::shared_ptr<NSError>* error);
  static std::shared_ptr<NSURL> localSubDirectory(const std::string& name,
                                                  const std::string& fileName,
                                                  std::shared_ptr<NSError>* error);
  static std::shared_ptr<NSURL> uncommittedURLForPackage(const std::string& package,
                                                         const std::string& obfuscatedHollinID,
                                                         std::shared_ptr<NSError>* error);

  // Record files of a folder. A folder that cannot be listed gives an empty list and the error;
  // one that cannot be made gives an empty list and its path error.
  static URLs registrationURLsWithError(std::shared_ptr<NSError>* error);
  static URLs crossExperimentTokenURLsWithError(std::shared_ptr<NSError>* error);
  static URLs committedURLsWithError(std::shared_ptr<NSError>* error);
  static URLs localCommittedURLsWithError(std::shared_ptr<NSError>* error);
  // The entries of `url` whose extension is exactly "pb", hidden ones skipped, in listing order.
  static URLs protoFilesAtURL(const NSURL& url, std::shared_ptr<NSError>* error);

  static bool writeDataToSharedDirectory(const std::string& data, const std::string& directory,
                                         const std::string& fileName,
                                         std::shared_ptr<NSError>* error);
  static bool writeDataToLocalDirectory(const std::string& data, const std::string& directory,
                                        const std::string& fileName,
                                        std::shared_ptr<NSError>* error);

  // Writes a record atomically to `url`.
  static bool writeData(const std::string& data, const NSURL& url, std::shared_ptr<NSError>* error);

  // Whether `name` may name a file or folder of the store.
  static bool isSafeFileName(const std::string& name);

  // Reads a whole record file: none with a file error (-10) when it cannot be read.
  static std::optional<std::string> readFile(const NSURL& url, std::shared_ptr<NSError>* error);
  static bool fileExists(const NSURL& url);

  // Removes what atomic writes of processes that died left below both roots (ns_data.h); makes
  // no folder and reports nothing.
  static void removeStaleTemporaries();

  // Tests: forget that the shared root was excluded from backup.
  static void resetBackupExclusionForTesting();
};

#endif  // EXPERIMENT_FLAGS_ZQL_URL_H_
