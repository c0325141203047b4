// The experiment-flag store as usage logging sees it: the process-wide store and the operations
// usage logging calls on it, and the store's default directory.
//
//   ZQLMarovic::useLocalCachesDirectory();   // once, before the store is first used
//   ZQLMarovic::sharedInstance()->experimentTokens(700, "account",
//       [](std::shared_ptr<ZQLMarovicExperimentTokens> tokens, std::shared_ptr<NSError> error) {
//         ...   // called exactly once, on a queue of the store's choosing
//       });
//
// Until the file-based store exists the shared instance is a null store (null_marovic.h): it has
// nothing committed, accepts registrations and never syncs. Tests hand their own stores to the
// classes that take one.
#ifndef EXPERIMENT_FLAGS_MAROVIC_H_
#define EXPERIMENT_FLAGS_MAROVIC_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "experiment_flags/experiment_tokens.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"

// The signed-in accounts a sync serves.
class ZQLMarovicAccountService {
 public:
  virtual ~ZQLMarovicAccountService() = default;
};

class ZQLMarovic {
 public:
  using ErrorCallback = std::function<void(std::shared_ptr<NSError> error)>;
  using SyncCallback = std::function<void(bool attempted, std::shared_ptr<NSError> error)>;
  using TokensCallback = std::function<void(std::shared_ptr<ZQLMarovicExperimentTokens> tokens,
                                            std::shared_ptr<NSError> error)>;

  virtual ~ZQLMarovic() = default;

  // Asks the experiment-configuration service for new configurations of every registered
  // package; `attempted` tells whether a request was made.
  virtual void syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService> accounts,
                                         SyncCallback callback) = 0;
  // Registers a package with the log sources whose events carry its tokens; the version is the
  // app version as an integer of three 6-digit fields.
  virtual void registerPackage(const std::string& packageName,
                               const std::vector<int64_t>& logSources,
                               const std::string& params, ErrorCallback callback) = 0;
  // The experiment tokens for events of `logSource` and `user` ("" when logged out).
  virtual void experimentTokens(int64_t logSource, const std::string& user,
                                TokensCallback callback) = 0;

  // The process-wide store, made at the first call.
  static std::shared_ptr<ZQLMarovic> sharedInstance();
  // Sets the store's default directory; a misuse once the shared store exists (the directory is
  // set anyway).
  static void setDefaultDirectory(std::shared_ptr<NSURL> url);
  // Once per process: the default directory becomes Caches/"ZQLMarovic". When the Caches folder
  // cannot be had, the failure is reported and the directory stays as it was.
  static void useLocalCachesDirectory();
  // The default directory set, or null while none was set.
  static std::shared_ptr<NSURL> defaultDirectory();
};

#endif  // EXPERIMENT_FLAGS_MAROVIC_H_
