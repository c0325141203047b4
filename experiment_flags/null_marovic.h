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
  void registerPackage(const std::string& packageName, const std::vector<int64_t>& logSources,
                       const std::string& params, ErrorCallback callback) override;
  void experimentTokens(int64_t logSource, const std::string& user,
                        TokensCallback callback) override;
};

#endif  // EXPERIMENT_FLAGS_NULL_MAROVIC_H_
