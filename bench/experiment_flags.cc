// Experiment-token lookups of the flat-file store answered from its cache against lookups that
// read the log-source mapping and the committed snapshot every time, and flag reads per second
// from a loaded flag set. A usage event waits for its token lookup, so the cached path is the
// one events see.
#include <stdlib.h>

#include <future>
#include <string>

#include "benchmark/benchmark.h"
#include "experiment_flags/flat_file_marovic.h"
#include "experiment_flags/marovic_flags.h"
#include "platform/foundation/sandbox.h"
#include "experiment_flags/fake_flags_test_util.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

std::shared_ptr<ZQLFlatFileMarovic> MakeStore() {
  static std::shared_ptr<ZQLFlatFileMarovic> store = [] {
    static const platform::foundation::ScopedTestFolder folder;
    const std::string base = folder.path();
    platform::foundation::SetSandboxRoot(base + "/sandbox");
    ZQLMarovicUtil::setDefaultDirectory(NSURL::fileURLWithPath(base + "/default", true));
    auto clock = JQXSystemClock::systemClock();
    auto ids = ZRBPseudonymousIDStore::init();
    auto flags = std::make_shared<FakeMarovicFlags>();
    auto store = ZQLFlatFileMarovic::initWithClock(
        clock, ids, std::make_shared<ZQLMarovicLoggerProtocol>(), flags);
    std::promise<void> registered;
    store->registerPackage("p", 1, {700}, std::nullopt, [&](auto) { registered.set_value(); });
    registered.get_future().get();
    XVNConfigurationSnapshot snapshot;
    snapshot.set_snapshot_token("s");
    snapshot.mutable_dunsfell_response()->set_experiment_token(std::string(40, 't'));
    ZQLURL::writeDataToLocalDirectory(snapshot.SerializeAsString(), "committed", "p", nullptr);
    return store;
  }();
  return store;
}

void Lookup(ZQLFlatFileMarovic& store) {
  std::promise<void> done;
  store.experimentTokens(700, "", [&](auto tokens, auto) {
    benchmark::DoNotOptimize(tokens);
    done.set_value();
  });
  done.get_future().get();
}

void BM_TokenLookupCached(benchmark::State& state) {
  auto store = MakeStore();
  Lookup(*store);
  for (auto _ : state) Lookup(*store);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TokenLookupCached)->UseRealTime();

void BM_TokenLookupUncached(benchmark::State& state) {
  auto store = MakeStore();
  for (auto _ : state) {
    store->invalidateTokenCache();
    Lookup(*store);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TokenLookupUncached)->UseRealTime();

// Reads from a flag set whose 50 integer flags are loaded (the first load is marked done by
// hand, so no store answer is waited for).
void BM_FlagReads(benchmark::State& state) {
  ZQLMarovicFlagMap values;
  for (int i = 0; i < 50; ++i) {
    const std::string name = "flag_" + std::to_string(i);
    values[name] = ZQLMarovicConfigurationFlag::initWithName(name, int64_t{i}, 0, 0);
  }
  auto flags = ZQLMarovicFlags::initWithPackageName("p", "", MakeStore(), false, false);
  flags->configsFinishedLoading();
  flags->updateWithConfiguration(
      ZQLMarovicConfiguration::initWithAllFlagsDictionary(values, "d", "s", "", nullptr, 1), "",
      nullptr);
  int64_t sum = 0;
  int i = 0;
  for (auto _ : state) {
    sum += flags->numberForFlagName("flag_" + std::to_string(i++ % 50),
                                    ZQLMarovicNumber::Integer(0))
               .longLongValue();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FlagReads);

}  // namespace

BENCHMARK_MAIN();
