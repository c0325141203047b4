// Reads arbitrary bytes as one record file of the flag store (the first byte chooses which),
// then runs every reader of that file: registrations, the log-source mapping, uncommitted and
// committed snapshots, cross tokens, the sync metadata, the global data and the lock. Any crash
// or sanitizer report is a fault; readers must answer with an error or a value.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <future>
#include <string>

#include "experiment_flags/breakable_lock.h"
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
};

struct Target {
  bool shared;
  const char* folder;
  const char* name;
};

constexpr Target kTargets[] = {
    {true, "registration", "p"},          {false, "log_sources", "all"},
    {true, "uncommitted/logged_out", "p"}, {false, "committed", "p"},
    {true, "committed", "p"},             {true, "cross", "p-z"},
    {true, "uncommitted", "sync_metadata"}, {true, "global", "data"},
    {true, "global", "lock"},
};

template <typename Call>
void Wait(Call call) {
  std::promise<void> done;
  call([&] { done.set_value(); });
  done.get_future().get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;
  static platform::utility::BaseLoggerCapture* quiet = new platform::utility::BaseLoggerCapture;
  (void)quiet;
  if (size == 0) return 0;
  const Target& target = kTargets[data[0] % (sizeof(kTargets) / sizeof(kTargets[0]))];
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  fs::remove_all(setup->base + "/default");
  fs::remove_all(setup->base + "/sandbox");
  // A registered package with a log source, so that every reader has something to read.
  XVNRegistrationData registration;
  registration.set_config_package("p");
  registration.set_version_code(1);
  ZQLURL::writeDataToSharedDirectory(registration.SerializeAsString(), "registration", "p",
                                     nullptr);
  XVNLogSourceMapping mapping;
  (*mapping.mutable_entry())[5].add_config_package("p");
  ZQLURL::writeDataToLocalDirectory(mapping.SerializeAsString(), "log_sources", "all", nullptr);
  if (target.shared) {
    ZQLURL::writeDataToSharedDirectory(bytes, target.folder, target.name, nullptr);
  } else {
    ZQLURL::writeDataToLocalDirectory(bytes, target.folder, target.name, nullptr);
  }

  auto& store = *setup->store;
  store.invalidateTokenCache();
  store.packageRegistered("p", nullptr);
  Wait([&](auto done) { store.experimentTokens(5, "", [done](auto, auto) { done(); }); });
  Wait([&](auto done) {
    store.experimentTokensForCurrentBundleWithCallback([done](auto, auto) { done(); });
  });
  Wait([&](auto done) { store.committedConfiguration("p", [done](auto, auto) { done(); }); });
  Wait([&](auto done) {
    store.peekConfiguration("p", "", std::nullopt, [done](auto, auto) { done(); });
  });
  Wait([&](auto done) {
    store.commitConfiguration("p", "", std::nullopt, [done](auto, auto) {
      done();
      return true;
    });
  });
  Wait([&](auto done) { store.registerPackage("p", 2, {5, 6}, std::nullopt, [done](auto) { done(); }); });

  auto syncer = ZQLDunsfellSyncer::initWithAccounts({}, nullptr, false, setup->clock, setup->ids,
                                                    nullptr, false, setup->queue);
  syncer->fetchReason(nullptr);
  syncer->createClientProperties(ZQLMarovicLoggedOutAccount());
  auto lock_file = ZQLURL::sharedSubDirectoryWithName("global", "lock", nullptr);
  auto lock = ZQLBreakableLock::initWithFile(lock_file, setup->clock);
  if (lock->lockWithError(nullptr)) lock->unlock();
  return 0;
}
