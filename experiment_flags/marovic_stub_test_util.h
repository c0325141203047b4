// A flag store for tests that has nothing: every callback runs at once on the calling thread,
// lookups answer "nothing committed" (-3), registrations succeed and no sync is attempted.
// Tests derive from it and override what they script.
#ifndef EXPERIMENT_FLAGS_MAROVIC_STUB_TEST_UTIL_H_
#define EXPERIMENT_FLAGS_MAROVIC_STUB_TEST_UTIL_H_

#include "experiment_flags/marovic.h"
#include "experiment_flags/marovic_error.h"

class ZQLMarovicStub : public ZQLMarovic {
 public:
  static std::shared_ptr<NSError> NotCommitted() {
    return NSError::errorWithDomain(kZQLMarovicErrorDomain, ZQLMarovicErrorCodeNotCommitted);
  }

  void syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService>,
                                 SyncCallback callback) override {
    if (callback) callback(false, nullptr);
  }
  void syncExperimentsWithServer(std::shared_ptr<ZQLMarovicAccountService>,
                                 std::shared_ptr<const ZQLMarovicSyncAfterConfiguration>,
                                 SyncCallback callback) override {
    if (callback) callback(false, nullptr);
  }
  void registerPackage(const std::string&, int64_t, const std::vector<int64_t>&,
                       const std::optional<std::string>&, ErrorCallback callback) override {
    if (callback) callback(nullptr);
  }
  void registerPackage(const std::string&, const std::vector<int64_t>&,
                       const std::optional<std::string>&, ErrorCallback callback) override {
    if (callback) callback(nullptr);
  }
  void unregisterPackage(const std::string&, ErrorCallback callback) override {
    if (callback) callback(nullptr);
  }
  bool packageRegistered(const std::string&, std::shared_ptr<NSError>*) override { return true; }
  void commitConfiguration(const std::string&, const std::string&,
                           const std::optional<std::string>&, Committer committer) override {
    committer(nullptr, NotCommitted());
  }
  void peekConfiguration(const std::string&, const std::string&,
                         const std::optional<std::string>&,
                         ConfigurationCallback callback) override {
    callback(nullptr, NotCommitted());
  }
  void experimentTokens(int64_t, const std::string&, TokensCallback callback) override {
    callback(nullptr, NotCommitted());
  }
  void experimentTokens(int64_t, TokensCallback callback) override {
    callback(nullptr, NotCommitted());
  }
  void experimentTokensForCurrentBundleWithCallback(TokensCallback callback) override {
    callback(nullptr, NotCommitted());
  }
  void committedConfiguration(const std::string&, const std::string&,
                              ConfigurationCallback callback) override {
    callback(nullptr, NotCommitted());
  }
  void committedConfiguration(const std::string&, ConfigurationCallback callback) override {
    callback(nullptr, NotCommitted());
  }
  void setExternalExperimentIDs(const std::vector<int64_t>&, const std::string&, int64_t,
                                ErrorCallback callback) override {
    if (callback) callback(nullptr);
  }
  void addCommitObserver(const std::shared_ptr<ZQLCommitObserver>&) override {}
  void removeCommitObserver(const std::shared_ptr<ZQLCommitObserver>&) override {}
  bool debugForceSyncs() const override { return false; }
  void setDebugForceSyncs(bool) override {}
  std::optional<std::string> overrideServerURL() const override { return std::nullopt; }
  void setOverrideServerURL(std::optional<std::string>) override {}
};

#endif  // EXPERIMENT_FLAGS_MAROVIC_STUB_TEST_UTIL_H_
