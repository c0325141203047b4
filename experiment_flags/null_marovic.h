// A flag store with nothing in it: every token lookup answers "nothing committed" (-3),
// registrations succeed and a sync is never attempted. Every callback runs at once on the
// calling thread. It is the shared store until the file-based store takes its place.
#ifndef EXPERIMENT_FLAGS_NULL_MAROVIC_H_
#define EXPERIMENT_FLAGS_NULL_MAROVIC_H_

#include "experiment_flags/marovic.h"

class ZQLNullMarovic : public ZQLMarovic {
 public:
  void syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService> accounts,
                                 SyncCallback callback) override;
  void syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService>,
                                 std::shared_ptr<const ZQLMarovicSyncAfterConfiguration>,
                                 SyncCallback callback) override;
  void registerPackage(const std::string&, int64_t, const std::vector<int64_t>&,
                       const std::optional<std::string>&, ErrorCallback callback) override;
  void registerPackage(const std::string& packageName, const std::vector<int64_t>& logSources,
                       const std::optional<std::string>& params, ErrorCallback callback) override;
  void unregisterPackage(const std::string&, ErrorCallback callback) override;
  bool packageRegistered(const std::string&, std::shared_ptr<NSError>*) override;
  void commitConfiguration(const std::string&, const std::string&,
                           const std::optional<std::string>&, Committer committer) override;
  void peekConfiguration(const std::string&, const std::string&,
                         const std::optional<std::string>&,
                         ConfigurationCallback callback) override;
  void experimentTokens(int64_t logSource, const std::string& user,
                        TokensCallback callback) override;
  void experimentTokens(int64_t, TokensCallback callback) override;
  void experimentTokensForCurrentBundleWithCallback(TokensCallback callback) override;
  void committedConfiguration(const std::string&, const std::string&,
                              ConfigurationCallback callback) override;
  void committedConfiguration(const std::string&, ConfigurationCallback callback) override;
  void setExternalExperimentIDs(const std::vector<int64_t>&, const std::string&, int64_t,
                                ErrorCallback callback) override;
  void addCommitObserver(const std::shared_ptr<ZQLCommitObserver>&) override {}
  void removeCommitObserver(const std::shared_ptr<ZQLCommitObserver>&) override {}
  bool debugForceSyncs() const override { return false; }
  void setDebugForceSyncs(bool) override {}
  std::optional<std::string> overrideServerURL() const override { return std::nullopt; }
  void setOverrideServerURL(std::optional<std::string>) override {}
};

#endif  // EXPERIMENT_FLAGS_NULL_MAROVIC_H_
