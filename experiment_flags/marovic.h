// The experiment-flag store as usage logging sees it: the process-wide store and the operations
// usage logging calls on it, and the store's default directory.
//
//   ZQLMarovic::useLocalCachesDirectory();   // once, before the store is first used
//   ZQLMarovic::sharedInstance()->experimentTokens(700, "account",
//       [](std::shared_ptr<ZQLMarovicExperimentTokens> tokens, std::shared_ptr<NSError> error) {
//         ...   // called exactly once, on a queue of the store's choosing
//       });
//
// The shared instance is the flat-file store (flat_file_marovic.h). Tests hand their own stores to
// the classes that take one.
#ifndef EXPERIMENT_FLAGS_MAROVIC_H_
#define EXPERIMENT_FLAGS_MAROVIC_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "experiment_flags/experiment_tokens.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"

namespace platform::fetcher {
class Authorizer;
}  // namespace platform::fetcher

class ZQLMarovic;
class ZQLMarovicConfiguration;
class ZQLMarovicSyncAfterConfiguration;

// An account a sync serves.
class ZQLMarovicAccount {
 public:
  virtual ~ZQLMarovicAccount() = default;
  // What signs the account's requests, or none (then *error may say why).
  virtual std::shared_ptr<platform::fetcher::Authorizer> authorization(
      std::shared_ptr<NSError>* error) = 0;
  virtual std::string obfuscatedHollinID() const = 0;
  virtual std::string email() const = 0;
};

// The signed-in accounts a sync serves.
class ZQLMarovicAccountService {
 public:
  virtual ~ZQLMarovicAccountService() = default;
  // Empty when nobody is signed in.
  virtual std::vector<std::shared_ptr<ZQLMarovicAccount>> ZQLAccounts() const = 0;
};

// Told after every commit of a package.
class ZQLCommitObserver {
 public:
  virtual ~ZQLCommitObserver() = default;
  virtual void didCommitWithMarovic(
      const std::shared_ptr<ZQLMarovic>& marovic, const std::string& packageName,
      const std::shared_ptr<ZQLMarovicConfiguration>& configuration) = 0;
};

// A flag store. Every callback is called exactly once, on a queue of the store's choosing; a
// caller must not wait for one on the store's own queues.
class ZQLMarovic {
 public:
  using ErrorCallback = std::function<void(std::shared_ptr<NSError> error)>;
  using SyncCallback = std::function<void(bool attempted, std::shared_ptr<NSError> error)>;
  using TokensCallback = std::function<void(std::shared_ptr<ZQLMarovicExperimentTokens> tokens,
                                            std::shared_ptr<NSError> error)>;
  using ConfigurationCallback = std::function<void(
      std::shared_ptr<ZQLMarovicConfiguration> configuration, std::shared_ptr<NSError> error)>;
  // Answers whether the configuration was taken over.
  using Committer = std::function<bool(std::shared_ptr<ZQLMarovicConfiguration> configuration,
                                       std::shared_ptr<NSError> error)>;

  virtual ~ZQLMarovic() = default;

  virtual void setupForTesting() {}

  // Asks the experiment-configuration service for new configurations of every registered
  // package; `attempted` tells whether a request was made.
  virtual void syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService> accounts,
                                         SyncCallback callback) = 0;
  // The same, also when the service serves a newer version of a package than was synced.
  virtual void syncExperimentsWithServer(
      std::shared_ptr<ZQLMarovicAccountService> accounts,
      std::shared_ptr<const ZQLMarovicSyncAfterConfiguration> syncAfterConfiguration,
      SyncCallback callback) = 0;
  // Registers a package with the log sources whose events carry its tokens; `params` are
  // opaque properties sent with the package's requests.
  virtual void registerPackage(const std::string& packageName, int64_t version,
                               const std::vector<int64_t>& logSources,
                               const std::optional<std::string>& params,
                               ErrorCallback callback) = 0;
  // The same with the app version as an integer of three 6-digit fields.
  virtual void registerPackage(const std::string& packageName,
                               const std::vector<int64_t>& logSources,
                               const std::optional<std::string>& params,
                               ErrorCallback callback) = 0;
  virtual void unregisterPackage(const std::string& packageName, ErrorCallback callback) = 0;
  // Whether the package has a registration record; answers on the calling thread.
  virtual bool packageRegistered(const std::string& packageName,
                                 std::shared_ptr<NSError>* error) = 0;
  // Makes the last synced configuration of (package, user) the committed one and hands it to
  // `committer` (required).
  virtual void commitConfiguration(const std::string& packageName, const std::string& user,
                                   const std::optional<std::string>& diffToken,
                                   Committer committer) = 0;
  // The last synced configuration, without committing it.
  virtual void peekConfiguration(const std::string& packageName, const std::string& user,
                                 const std::optional<std::string>& diffToken,
                                 ConfigurationCallback callback) = 0;
  // The experiment tokens for events of `logSource` and `user` ("" when logged out).
  virtual void experimentTokens(int64_t logSource, const std::string& user,
                                TokensCallback callback) = 0;
  virtual void experimentTokens(int64_t logSource, TokensCallback callback) = 0;
  virtual void experimentTokensForCurrentBundleWithCallback(TokensCallback callback) = 0;
  // The committed configuration of a multi-commit package for `user`, or of a single-commit
  // package.
  virtual void committedConfiguration(const std::string& packageName, const std::string& user,
                                      ConfigurationCallback callback) = 0;
  virtual void committedConfiguration(const std::string& packageName,
                                      ConfigurationCallback callback) = 0;
  virtual void setExternalExperimentIDs(const std::vector<int64_t>& experimentIDs,
                                        const std::string& moduleNamespace, int64_t logSource,
                                        ErrorCallback callback) = 0;
  // Observers are held weakly.
  virtual void addCommitObserver(const std::shared_ptr<ZQLCommitObserver>& observer) = 0;
  virtual void removeCommitObserver(const std::shared_ptr<ZQLCommitObserver>& observer) = 0;
  virtual bool debugForceSyncs() const = 0;
  virtual void setDebugForceSyncs(bool value) = 0;
  virtual std::optional<std::string> overrideServerURL() const = 0;
  virtual void setOverrideServerURL(std::optional<std::string> value) = 0;

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
