// Reads arbitrary bytes as the experiment-configuration service's answer to a sync, applies it
// to the uncommitted snapshots of two registered packages, then commits every package the answer
// or the registrations name. Any crash or sanitizer report is a fault; so is a file anywhere but
// below the store's two roots (an answer must never name a path outside them).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <set>
#include <string>

#include "experiment_flags/dunsfell_syncer.h"
#include "experiment_flags/flat_file_marovic.h"
#include "fuzz/flag_store_fixture.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/utility/base_logger.h"

namespace {

namespace fs = std::filesystem;

struct Setup : fuzz::FlagStoreFixture {
  void Reset() {
    fs::remove_all(base + "/default");
    fs::remove_all(base + "/sandbox");
    for (const std::string package : {"p", "q#@m"}) {
      XVNRegistrationData registration;
      registration.set_config_package(package);
      registration.set_version_code(1);
      ZQLURL::writeDataToSharedDirectory(registration.SerializeAsString(), "registration", package,
                                         nullptr);
    }
  }
};

void Commit(ZQLFlatFileMarovic& store, const std::string& package, const std::string& user) {
  std::promise<void> done;
  store.commitConfiguration(package, user, std::nullopt, [&](auto, auto) {
    done.set_value();
    return true;
  });
  done.get_future().get();
}

// Aborts when a file lies outside the store's roots.
void CheckRoots(const std::string& base) {
  const std::string shared = base + "/default/ZQLMarovic/flat_file/";
  const std::string local = base + "/sandbox/Library/Caches/ZQLMarovic/flat_file_local/";
  const std::string temporary = base + "/sandbox/tmp/";
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    if (entry.is_directory()) continue;
    const std::string path = entry.path().string();
    if (path.rfind(shared, 0) != 0 && path.rfind(local, 0) != 0 &&
        path.rfind(temporary, 0) != 0) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;
  static platform::utility::BaseLoggerCapture* quiet = new platform::utility::BaseLoggerCapture;
  (void)quiet;
  YRXExperimentsAndConfigsResponse response;
  if (!response.ParseFromArray(data, static_cast<int>(size))) return 0;
  setup->Reset();

  for (const std::string account : {"", "acct"}) {
    auto syncer = ZQLDunsfellSyncer::initWithAccounts({}, nullptr, false, setup->clock, setup->ids,
                                                      nullptr, false, setup->queue);
    ZQLDunsfellSyncer::Packages requested;
    for (const std::string package : {"p", "q#@m"}) {
      auto snapshot = ZQLSnapshot::uncommittedSnapshotForPackage(package, account, nullptr);
      if (snapshot == nullptr) continue;
      XVNPackageData entry;
      entry.mutable_scope()->set_config_package(package);
      entry.mutable_scope()->set_version_code(1);
      *entry.mutable_snapshot() = *snapshot;
      requested[{package, 1}] = entry;
    }
    class Account : public ZQLMarovicAccount {
     public:
      explicit Account(std::string id) : id_(std::move(id)) {}
      std::shared_ptr<platform::fetcher::Authorizer> authorization(
          std::shared_ptr<NSError>*) override {
        return nullptr;
      }
      std::string obfuscatedHollinID() const override { return id_; }
      std::string email() const override { return ""; }

     private:
      std::string id_;
    } holder(account);
    ZQLDunsfellSyncer::Scopes scopes;
    syncer->processResponse(response, holder, scopes, requested, nullptr, [](auto, bool) {});
  }

  std::set<std::string> packages = {"p", "q#@m"};
  for (const auto& application : response.application_response()) {
    packages.insert(application.scope().config_package());
  }
  for (const auto& package : packages) {
    Commit(*setup->store, package, "");
    Commit(*setup->store, package, "acct");
  }
  CheckRoots(setup->base);
  return 0;
}
